/*
 * The mount: the second half of a volume's creation. The I/O manager offers the
 * new disk device to the file system when the create opens the drive's root;
 * the mount builds the file-system device and its VCB, the root directory, the
 * worker threads, and fills the VPB. It runs in the opening thread, inside the
 * I/O manager's mount serialisation of the disk device.
 */
#include "vorel.h"

#define COLD_DELAY_MS 60000
#define ROUND_WAIT_MS 15000
#define RECENT_DECOMPRESSION_GUARD_MS 300000
#define ROOT_REFERENCE_INVARIANT 0x1381

/*
 * InitializeVolumeContents: the store, the tree state and the root directory of a
 * zeroed VCB (NoSecurity set beforehand). PASSIVE_LEVEL, inside a critical region.
 * On failure nothing of them is left.
 */
NTSTATUS InitializeVolumeContents(PVCB Vcb, ULONGLONG SizeBytes)
{
    InitializeStoreVolume(&Vcb->Store, SizeBytes);
    NTSTATUS status = InitializeVcbNamespace(Vcb);
    if (!NT_SUCCESS(status))
        goto undo_store;
    status = CreateRootDirectory(Vcb);
    if (!NT_SUCCESS(status))
        goto undo_namespace;
    InitializeChangeNotify(Vcb);
    return STATUS_SUCCESS;

undo_namespace:
    UninitializeVcbNamespace(Vcb);
undo_store:
    TearDownStoreVolume(&Vcb->Store);
    return status;
}

/*
 * InitializeVcb: the VCB of a new file-system device, from its record. PASSIVE_LEVEL,
 * inside a critical region. On failure nothing of it is left but the zeroed extension.
 */
static NTSTATUS InitializeVcb(PVCB Vcb, PDEVICE_OBJECT Device, PVOLUME_DEVICE_RECORD Vdr)
{
    InitializeVcbAdmission(Vcb);
    Vcb->Vdr = Vdr;
    Vcb->DeviceObject = Device;
    Vcb->NoSecurity = !Vdr->PerFileSecurity;
    Vcb->NoRecycle = Vdr->NoRecycle;
    Vcb->CompressionLevel = (LONG)Vdr->CompressionLevel;
    KeInitializeEvent(&Vcb->CompressionEvent, SynchronizationEvent, FALSE);
    Vcb->ColdDelayMs = COLD_DELAY_MS;
    Vcb->RoundWaitMs = ROUND_WAIT_MS;
    Vcb->RecentDecompressionGuardMs = RECENT_DECOMPRESSION_GUARD_MS;
    InitializeColdQueue(&Vcb->ColdQueue);
    KeInitializeSpinLock(&Vcb->HolderLock);

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    Vcb->SpareVpb = (PVPB)AllocateZeroed(sizeof(VPB), TAG_VOLUME_SPARE, NonPagedPoolNx);
    if (Vcb->SpareVpb == NULL)
        goto undo_admission;
    status = InitializeVolumeContents(Vcb, ReadULong64Acquire(&Vdr->SizeBytes));
    if (!NT_SUCCESS(status))
        goto undo_spare;
    return STATUS_SUCCESS;

undo_spare:
    FreeAndClear((PVOID *)&Vcb->SpareVpb, TAG_VOLUME_SPARE);
undo_admission:
    UninitializeVcbAdmission(Vcb);
    return status;
}

/* FillVpb: under the VPB spin lock, the VPB names the new device, its serial number and label. */
static VOID FillVpb(PVPB Vpb, PDEVICE_OBJECT Device, PVOLUME_DEVICE_RECORD Vdr)
{
    USHORT units = 0;
    while (units < VOLUME_LABEL_UNITS - 1 && Vdr->Label[units] != 0)
        units++;
    USHORT bytes = (USHORT)min((ULONG)units * sizeof(WCHAR), (ULONG)sizeof(Vpb->VolumeLabel));

    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    Vpb->DeviceObject = Device;
    Vpb->Flags |= VPB_MOUNTED;
    Vpb->SerialNumber = Vdr->SerialNumber;
    Vpb->VolumeLabelLength = bytes;
    RtlCopyMemory(Vpb->VolumeLabel, Vdr->Label, bytes);
    IoReleaseVpbSpinLock(irql);
}

/*
 * MountVolume: IRP_MN_MOUNT_VOLUME for one of the driver's disk devices.
 * PASSIVE_LEVEL, in the thread whose open started the mount. Returns the
 * request's completion status: STATUS_UNRECOGNIZED_VOLUME for a device that is no
 * volume of this driver, STATUS_DELETE_PENDING for one going or already mounted.
 */
NTSTATUS MountVolume(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVPB vpb = stack->Parameters.MountVolume.Vpb;
    PDEVICE_OBJECT target = stack->Parameters.MountVolume.DeviceObject;
    if (vpb == NULL || target == NULL)
        return STATUS_INVALID_PARAMETER;
    PVOLUME_DEVICE_RECORD vdr = VdrFromDevice(target);
    if (vdr == NULL)
        return STATUS_UNRECOGNIZED_VOLUME;

    KIRQL irql = AcquireVolumeList();
    BOOLEAN refused = vdr->State == VOLUME_REMOVING || vdr->MountedDevice != NULL;
    ReleaseVolumeList(irql);
    if (refused)
        return STATUS_DELETE_PENDING;

    PDEVICE_OBJECT device;
    ULONG extension = (ULONG)VCB_EXTENSION_SIZE(ExSizeOfRundownProtectionCacheAware());
    NTSTATUS status = IoCreateDevice(VorelData.DriverObject, extension, NULL, FILE_DEVICE_DISK_FILE_SYSTEM, 0,
                                     FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->AlignmentRequirement = target->AlignmentRequirement;
    PVCB vcb = (PVCB)device->DeviceExtension;
    RtlZeroMemory(vcb, extension);
    status = InitializeVcb(vcb, device, vdr);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }

    LONG rootReferences = ReadNoFence(&vcb->RootFcb->ReferenceCount);
    if (rootReferences != 1)
        KeBugCheckEx(VOREL_BUGCHECK, ROOT_REFERENCE_INVARIANT, (ULONG_PTR)vcb->RootFcb, (ULONG_PTR)rootReferences,
                     0);

    /* A volume bound to a committed image comes up with its content or not at all. */
    if (vdr->Binding != NULL && vdr->Binding->Committed) {
        status = LoadVolumeImage(vcb, vdr->Binding);
        vdr->LoadStatus = status;
        if (!NT_SUCCESS(status)) {
            KeEnterCriticalRegion();
            UninitializeVolumeContents(vcb);
            KeLeaveCriticalRegion();
            FreeAndClear((PVOID *)&vcb->SpareVpb, TAG_VOLUME_SPARE);
            UninitializeVcbAdmission(vcb);
            IoDeleteDevice(device);
            return status;
        }
    }

    /* Without worker threads the read and write handlers run every request
       inline: the volume works, only large asynchronous transfers lose their
       parallelism. */
    (VOID)WorkerQueueStart(&vcb->WorkerQueue);
    /* Likewise without a compression worker: no file is queued, nothing is packed. */
    (VOID)StartCompressionWorker(vcb);

    FillVpb(vpb, device, vdr);
    irql = AcquireVolumeList();
    vdr->MountedDevice = device;
    ReleaseVolumeList(irql);
    return STATUS_SUCCESS;
}
