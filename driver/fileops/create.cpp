/*
 * IRP_MJ_CREATE: opening a handle.
 */
#include "vorel.h"

/*
 * VorelCreate: PASSIVE_LEVEL. An open of a device that is not a volume (the
 * control device) succeeds at once with no context: it never touches a volume.
 * Opens on a volume are refused until the volume's namespace serves them.
 */
NTSTATUS NTAPI VorelCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IRP_FRAME frame;
    FrameEnter(&frame, Irp);

    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (VcbFromDevice(DeviceObject) == NULL) {
        PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
        if (fileObject != NULL) {
            fileObject->FsContext = NULL;
            fileObject->FsContext2 = NULL;
        }
        Irp->IoStatus.Information = FILE_OPENED;
        status = STATUS_SUCCESS;
    }

    FrameLeave(&frame, status);
    return status;
}
