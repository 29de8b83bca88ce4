/*
 * IRP_MJ_SET_INFORMATION: changes a handle's node (times and attributes) or its
 * file object (the position). Writers hold the node's main resource exclusive;
 * readers of times and attributes take no lock, so every field is stored whole
 * on its own (a reader sees each field before or after, never torn).
 */
#include "vorel.h"

/*
 * SetBasicInformation: each time above 0 replaces the stored one (0 and negative
 * leave it); non-zero attributes replace the stored ones, masked to the bits a
 * node keeps, so FILE_ATTRIBUTE_NORMAL alone clears them all. Takes and releases
 * the node's main resource exclusive.
 */
static NTSTATUS SetBasicInformation(PFCB Fcb, PFILE_BASIC_INFORMATION Record, ULONG Length)
{
    if (Length < sizeof(FILE_BASIC_INFORMATION))
        return STATUS_INFO_LENGTH_MISMATCH;
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    if (Record->CreationTime.QuadPart > 0)
        WriteNoFence64(&Fcb->CreationTime.QuadPart, Record->CreationTime.QuadPart);
    if (Record->LastAccessTime.QuadPart > 0)
        WriteNoFence64(&Fcb->LastAccessTime.QuadPart, Record->LastAccessTime.QuadPart);
    if (Record->LastWriteTime.QuadPart > 0)
        WriteNoFence64(&Fcb->LastWriteTime.QuadPart, Record->LastWriteTime.QuadPart);
    if (Record->ChangeTime.QuadPart > 0)
        WriteNoFence64(&Fcb->ChangeTime.QuadPart, Record->ChangeTime.QuadPart);
    /* Interlocked: a write sets the archive bit with an interlocked OR outside this resource. */
    if (Record->FileAttributes != 0)
        InterlockedExchange(&Fcb->Attributes, (LONG)(Record->FileAttributes & REPORTED_ATTRIBUTE_MASK));
    ExReleaseResourceLite(&Fcb->MainResource);
    return STATUS_SUCCESS;
}

/*
 * SetPositionInformation: the file object's current offset. The I/O manager
 * keeps it itself for synchronous file objects; the others come here.
 */
static NTSTATUS SetPositionInformation(PFILE_OBJECT FileObject, PFILE_POSITION_INFORMATION Record, ULONG Length)
{
    if (Length < sizeof(FILE_POSITION_INFORMATION))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (Record->CurrentByteOffset.QuadPart < 0)
        return STATUS_INVALID_PARAMETER;
    FileObject->CurrentByteOffset = Record->CurrentByteOffset;
    return STATUS_SUCCESS;
}

/*
 * CommonSetInformation: a set on an admitted volume. PASSIVE_LEVEL; holds no lock.
 * Information is 0. Renames, links, disposition and size changes are not served
 * yet and keep the answer of an unserved request.
 */
static NTSTATUS CommonSetInformation(PIRP Irp, PVCB Vcb)
{
    UNREFERENCED_PARAMETER(Vcb);
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PCCB ccb = HandleCcb(irpSp->FileObject);
    ULONG length = irpSp->Parameters.SetFile.Length;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    Irp->IoStatus.Information = 0;
    if (ccb == NULL)
        return STATUS_INVALID_PARAMETER;

    switch (irpSp->Parameters.SetFile.FileInformationClass) {
    case FileBasicInformation:
        return SetBasicInformation(ccb->Node, (PFILE_BASIC_INFORMATION)buffer, length);
    case FilePositionInformation:
        return SetPositionInformation(irpSp->FileObject, (PFILE_POSITION_INFORMATION)buffer, length);
    case FileRenameInformation:
    case FileRenameInformationEx:
    case FileLinkInformation:
    case FileLinkInformationEx:
    case FileDispositionInformation:
    case FileDispositionInformationEx:
    case FileAllocationInformation:
    case FileEndOfFileInformation:
        return STATUS_INVALID_DEVICE_REQUEST;
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

/* VorelSetInformation: PASSIVE_LEVEL. Admission refusals as for every volume request, else CommonSetInformation. */
NTSTATUS NTAPI VorelSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeRequest(DeviceObject, Irp, CommonSetInformation);
}
