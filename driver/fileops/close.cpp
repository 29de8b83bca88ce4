/*
 * IRP_MJ_CLEANUP and IRP_MJ_CLOSE: the end of a handle and of a file object.
 */
#include "vorel.h"

/*
 * EndHandle: the common worker of cleanup and close. A handle on a device that is
 * not a volume carries no context: nothing to undo; nor does a stream file object
 * the driver made on a volume to report a volume event. Volume handles do not
 * exist until the volume's namespace opens them.
 */
static NTSTATUS EndHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    BOOLEAN noContext = fileObject == NULL || fileObject->FsContext == NULL;
    NTSTATUS status =
        VcbFromDevice(DeviceObject) == NULL || noContext ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    FrameLeave(&frame, status);
    return status;
}

/* VorelCleanup: PASSIVE_LEVEL; the last user handle of a file object was closed. */
NTSTATUS NTAPI VorelCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return EndHandle(DeviceObject, Irp);
}

/* VorelClose: PASSIVE_LEVEL or APC_LEVEL; the last reference to a file object went away. */
NTSTATUS NTAPI VorelClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return EndHandle(DeviceObject, Irp);
}
