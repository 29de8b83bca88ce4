/*
 * IRP_MJ_FILE_SYSTEM_CONTROL: the mount request the I/O manager sends to the
 * registered file system, and the file-system controls of a volume.
 */
#include "vorel.h"

/*
 * VorelFileSystemControl: PASSIVE_LEVEL. A mount request goes to the volume
 * mount; every other minor function is refused with STATUS_INVALID_DEVICE_REQUEST.
 * Completes the request with its status.
 */
NTSTATUS NTAPI VorelFileSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    Irp->IoStatus.Information = 0;

    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_MOUNT_VOLUME)
        status = MountVolume(Irp);

    FrameLeave(&frame, status);
    return status;
}
