/*
 * The dispatch frame: every request handler runs between FrameEnter and
 * FrameLeave. The frame keeps normal kernel APCs away while the handler holds
 * resources, makes the request the thread's top-level request when no outer file
 * system call is on the stack (so nested calls, such as paging I/O raised by a
 * copy, can tell they are recursive), and completes the request.
 */
#include "vorel.h"

/* FrameEnter: any IRQL up to APC_LEVEL. Takes the request; holds nothing on return. */
VOID FrameEnter(PIRP_FRAME Frame, PIRP Irp)
{
    KeEnterCriticalRegion();
    Frame->Irp = Irp;
    Frame->SetTopLevel = FALSE;
    if (IoGetTopLevelIrp() == NULL) {
        IoSetTopLevelIrp(Irp);
        Frame->SetTopLevel = TRUE;
    }
}

/*
 * FrameLeave: completes the request with Status, unless Status is STATUS_PENDING
 * (the request was handed on, or someone else has completed it: the frame then
 * never touches it again). A failure carries no reply bytes; success and warnings
 * keep the Information the handler set.
 */
VOID FrameLeave(PIRP_FRAME Frame, NTSTATUS Status)
{
    if (Status != STATUS_PENDING) {
        Frame->Irp->IoStatus.Status = Status;
        if (NT_ERROR(Status))
            Frame->Irp->IoStatus.Information = 0;
        IofCompleteRequest(Frame->Irp, IO_NO_INCREMENT);
    }
    if (Frame->SetTopLevel)
        IoSetTopLevelIrp(NULL);
    Frame->Irp = NULL;
    KeLeaveCriticalRegion();
}

/*
 * VorelDefaultDispatch: every major function the driver does not serve.
 * PASSIVE_LEVEL or APC_LEVEL; completes with STATUS_INVALID_DEVICE_REQUEST.
 */
NTSTATUS NTAPI VorelDefaultDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    FrameLeave(&frame, STATUS_INVALID_DEVICE_REQUEST);
    return STATUS_INVALID_DEVICE_REQUEST;
}
