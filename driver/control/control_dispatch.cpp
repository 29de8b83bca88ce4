/*
 * IRP_MJ_DEVICE_CONTROL. One entry point receives device-control requests for
 * three kinds of device: a volume's disk device, a volume's file-system device
 * (which takes none) and the control device, whose requests are checked against
 * the request table and then handed to their workers.
 */
#include "vorel.h"

/* Who may send a request. */
#define GATE_NONE 0             /* anyone who could open the control device */
#define GATE_USER_ACCESS 1      /* anyone while AllowUserAccess is on; else administrators and the kernel */
#define GATE_ADMINISTRATOR 2    /* administrators and the kernel only */

/*
 * CONTROL_REQUEST: one row per control code. The checks run in this order: gate,
 * sizes (input and output at least the minimums), drive letter at offset 0 of the
 * input, the request's own record check; then the worker. A row without a worker
 * is a request the driver knows but does not serve yet: it passes every check and
 * then answers STATUS_INVALID_DEVICE_REQUEST.
 */
typedef struct _CONTROL_REQUEST {
    ULONG Code;
    UCHAR Gate;
    BOOLEAN TakesLetter;
    ULONG MinimumInput;
    ULONG MinimumOutput;
    PCONTROL_REQUEST_ROUTINE Check;
    PCONTROL_REQUEST_ROUTINE Routine;
} CONTROL_REQUEST;

static const CONTROL_REQUEST ControlRequests[] = {
    {IOCTL_VOREL_PING, GATE_NONE, FALSE, 0, sizeof(VOREL_PING_REPLY), NULL, PingRequest},
    {IOCTL_VOREL_CREATE_VOLUME, GATE_USER_ACCESS, TRUE, sizeof(VOREL_CREATE_VOLUME_INPUT), 0, CheckCreateVolume,
     CreateVolumeRequest},
    {IOCTL_VOREL_DISMOUNT_VOLUME, GATE_USER_ACCESS, TRUE, sizeof(VOREL_LETTER_INPUT), 0, NULL,
     DismountVolumeRequest},
    {IOCTL_VOREL_GET_SETTINGS, GATE_NONE, FALSE, 0, sizeof(VOREL_SETTINGS), NULL, GetSettingsRequest},
    {IOCTL_VOREL_SET_SETTINGS, GATE_ADMINISTRATOR, FALSE, sizeof(VOREL_SETTINGS), 0, NULL, SetSettingsRequest},
    {IOCTL_VOREL_SET_COMPRESSION_LEVEL, GATE_USER_ACCESS, TRUE, sizeof(VOREL_COMPRESSION_LEVEL), 0,
     CheckSetCompressionLevel, SetCompressionLevelRequest},
    {IOCTL_VOREL_GET_COMPRESSION_LEVEL, GATE_NONE, TRUE, sizeof(VOREL_COMPRESSION_LEVEL),
     sizeof(VOREL_COMPRESSION_LEVEL), NULL, GetCompressionLevelRequest},
    {IOCTL_VOREL_COMPRESSION_STATISTICS, GATE_NONE, TRUE, sizeof(VOREL_LETTER_INPUT),
     sizeof(VOREL_COMPRESSION_STATISTICS), NULL, CompressionStatisticsRequest},
    {IOCTL_VOREL_SAVE_VOLUME, GATE_USER_ACCESS, TRUE, sizeof(VOREL_SAVE_INPUT), 0, CheckSaveVolume,
     SaveVolumeRequest},
    {IOCTL_VOREL_PERSISTENCE_STATE, GATE_NONE, TRUE, sizeof(VOREL_PERSISTENCE_STATE), sizeof(VOREL_PERSISTENCE_STATE),
     NULL, PersistenceStateRequest},
    {IOCTL_VOREL_LAST_PERSISTENCE_ERROR, GATE_NONE, FALSE, 0, sizeof(VOREL_PERSISTENCE_ERROR), NULL,
     LastPersistenceErrorRequest},
    {IOCTL_VOREL_PREPARE_UNLOAD, GATE_USER_ACCESS, FALSE, 0, 0, NULL, PrepareUnloadRequest},
    {IOCTL_VOREL_SET_BOOT_CONFIGURATION, GATE_USER_ACCESS, TRUE, sizeof(VOREL_BOOT_CONFIGURATION), 0,
     CheckSetBootConfiguration, SetBootConfigurationRequest},
    {IOCTL_VOREL_DELETE_BOOT_CONFIGURATION, GATE_USER_ACCESS, TRUE, sizeof(VOREL_LETTER_INPUT), 0, NULL,
     DeleteBootConfigurationRequest},
    {IOCTL_VOREL_QUERY_BOOT_CONFIGURATION, GATE_NONE, FALSE, 0, sizeof(VOREL_BOOT_CONFIGURATION_LIST), NULL,
     QueryBootConfigurationRequest},
    {IOCTL_VOREL_QUERY_MOUNTED_VOLUMES, GATE_NONE, FALSE, 0, sizeof(VOREL_MOUNTED_VOLUME_LIST), NULL,
     QueryMountedVolumesRequest},
    {IOCTL_VOREL_IO_STATISTICS, GATE_NONE, FALSE, 0, sizeof(VOREL_IO_STATISTICS), NULL, IoStatisticsRequest},
    {IOCTL_VOREL_RESIZE_VOLUME, GATE_USER_ACCESS, TRUE, sizeof(VOREL_RESIZE_INPUT), 0, CheckResizeVolume,
     ResizeVolumeRequest},
    {IOCTL_VOREL_LIFETIME_STATISTICS, GATE_NONE, FALSE, 0, sizeof(VOREL_LIFETIME_STATISTICS), NULL,
     LifetimeStatisticsRequest},
    {IOCTL_VOREL_VOLUME_HOLDERS, GATE_NONE, TRUE, sizeof(VOREL_LETTER_INPUT), sizeof(VOREL_VOLUME_HOLDERS), NULL,
     VolumeHoldersRequest},
};

static const CONTROL_REQUEST *FindControlRequest(ULONG Code)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(ControlRequests); i++) {
        if (ControlRequests[i].Code == Code)
            return &ControlRequests[i];
    }
    return NULL;
}

/* CheckGate: STATUS_SUCCESS when the caller may send a request of this row. */
static NTSTATUS CheckGate(const CONTROL_REQUEST *Request, PIRP Irp)
{
    BOOLEAN allowed = TRUE;
    if (Request->Gate == GATE_USER_ACCESS)
        allowed = CallerGateAllows(Irp);
    else if (Request->Gate == GATE_ADMINISTRATOR)
        allowed = CallerIsAdministratorOrKernel(Irp);
    return allowed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

/*
 * ControlDeviceRequest: a request of the control device. PASSIVE_LEVEL, in the
 * caller's thread. Returns the completion status; the worker sets the reply length.
 */
static NTSTATUS ControlDeviceRequest(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;

    const CONTROL_REQUEST *request = FindControlRequest(code);
    if (request == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;

    NTSTATUS status = CheckGate(request, Irp);
    if (!NT_SUCCESS(status))
        return status;
    if (inputLength < request->MinimumInput || outputLength < request->MinimumOutput)
        return STATUS_BUFFER_TOO_SMALL;
    if (request->TakesLetter) {
        VOREL_U16 letter = ((const VOREL_LETTER_INPUT *)buffer)->Letter;
        if (letter < L'A' || letter > L'Z')
            return STATUS_INVALID_PARAMETER;
    }
    if (request->Check != NULL) {
        status = request->Check(Irp, buffer, inputLength, outputLength);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (request->Routine == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;
    return request->Routine(Irp, buffer, inputLength, outputLength);
}

/*
 * FileSystemDeviceRequest: a volume's file-system device takes no device-control
 * request. It still passes admission, so a dismounted volume says so.
 */
static NTSTATUS FileSystemDeviceRequest(PDEVICE_OBJECT DeviceObject)
{
    PVCB vcb;
    NTSTATUS status = AdmitVolumeRequest(DeviceObject, FALSE, &vcb);
    if (!NT_SUCCESS(status))
        return status;
    ReleaseVolumeRequest(vcb);
    return STATUS_INVALID_DEVICE_REQUEST;
}

/*
 * VorelDeviceControl: IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL, in the caller's
 * thread; any number at a time. The target is told apart by its extension: a
 * volume device record (a disk device), a VCB (a file-system device), or the
 * control device. Completes the request with its status.
 */
NTSTATUS NTAPI VorelDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    Irp->IoStatus.Information = 0;

    NTSTATUS status;
    PVOLUME_DEVICE_RECORD vdr = VdrFromDevice(DeviceObject);
    if (vdr != NULL)
        status = DiskDeviceRequest(vdr, Irp);
    else if (VcbFromDevice(DeviceObject) != NULL)
        status = FileSystemDeviceRequest(DeviceObject);
    else if (IsControlDevice(DeviceObject))
        status = ControlDeviceRequest(Irp);
    else
        status = STATUS_INVALID_DEVICE_REQUEST;

    FrameLeave(&frame, status);
    return status;
}
