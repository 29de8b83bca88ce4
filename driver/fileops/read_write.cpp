/*
 * The read and write cores: called by the read and write handlers and by a
 * volume's I/O workers for posted requests. Each completes its request.
 */
#include "vorel.h"

/* CompleteUnserved: a request whose data path the volume does not serve yet. */
static VOID CompleteUnserved(PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
}

/* ReadCore: PASSIVE_LEVEL or APC_LEVEL. Takes the request and its node (referenced by the caller). */
VOID ReadCore(PIRP Irp, PFCB Fcb)
{
    UNREFERENCED_PARAMETER(Fcb);
    CompleteUnserved(Irp);
}

/* WriteCore: PASSIVE_LEVEL or APC_LEVEL. Takes the request and its node (referenced by the caller). */
VOID WriteCore(PIRP Irp, PFCB Fcb)
{
    UNREFERENCED_PARAMETER(Fcb);
    CompleteUnserved(Irp);
}
