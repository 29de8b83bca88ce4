/*
 * The read core: copies a file's bytes out of the store into the caller's
 * buffer. Reads hold the paging resource shared, so they run beside each other,
 * beside in-place writes and beside paging writes.
 */
#include "vorel.h"

/*
 * FlushMappedRange: data written through a writable mapping is still in the
 * section's pages; flushing them (no purge) makes the copy that follows see it.
 * Takes and releases the node's main resource exclusive; the caller holds none of
 * the node's resources.
 */
static VOID FlushMappedRange(PFCB Fcb, ULONGLONG Offset, ULONG Length)
{
    if (!ReadUCharNoFence(&Fcb->Mapped) || Fcb->SectionObjectPointers.DataSectionObject == NULL)
        return;
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)Offset;
    IO_STATUS_BLOCK iosb;
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    CcCoherencyFlushAndPurgeCache(&Fcb->SectionObjectPointers, &offset, Length, &iosb, CC_FLUSH_AND_PURGE_NO_PURGE);
    ExReleaseResourceLite(&Fcb->MainResource);
}

/*
 * ReadCore: serves IRP_MJ_READ on a file, from the handler or a volume's I/O
 * worker. PASSIVE_LEVEL (paging I/O: APC_LEVEL); holds no lock on entry; the
 * node is referenced by the caller. Completes the request with the bytes read up
 * to the file size and returns its status: STATUS_END_OF_FILE at or beyond the
 * size, STATUS_FILE_LOCK_CONFLICT, a buffer failure, or for a file holding
 * compressed extents STATUS_DATA_ERROR (a corrupt form), STATUS_NOT_SUPPORTED
 * (a codec without a decoder), STATUS_INTERNAL_ERROR or
 * STATUS_INSUFFICIENT_RESOURCES (no read window).
 */
NTSTATUS ReadCore(PIRP Irp, PFCB Fcb)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = irpSp->FileObject;
    BOOLEAN paging = (Irp->Flags & IRP_PAGING_IO) != 0;
    ULONG length = irpSp->Parameters.Read.Length;
    LARGE_INTEGER byteOffset = irpSp->Parameters.Read.ByteOffset;
    if (byteOffset.QuadPart < 0)
        byteOffset = fileObject->CurrentByteOffset;
    ULONGLONG offset = (ULONGLONG)byteOffset.QuadPart;
    ULONG_PTR bytes = 0;
    NTSTATUS status = STATUS_SUCCESS;
    PVOID buffer;
    if (length == 0)
        return CompleteDataRequest(Irp, STATUS_SUCCESS, 0);

    if (!paging) {
        status = CheckRangeLocks(Irp, Fcb, offset, length, FALSE);
        if (!NT_SUCCESS(status))
            return CompleteDataRequest(Irp, status, 0);
        FlushMappedRange(Fcb, offset, length);
    }
    status = MapRequestBuffer(Irp, length, TRUE, &buffer);
    if (!NT_SUCCESS(status))
        return CompleteDataRequest(Irp, status, 0);

    ExAcquireResourceSharedLite(&Fcb->PagingIoResource, TRUE);
    BOOLEAN compressed = Fcb->Data.CompressedExtentCount != 0;
    /* A section is made only on a file decompressed first, so paging I/O never meets compressed data. */
    if (paging && compressed)
        StoreInvariantFailed(INVARIANT_PAGING_READ_COMPRESSED);
    ULONGLONG fileSize = ReadULong64NoFence(&Fcb->Data.FileSize);
    if (offset >= fileSize) {
        status = STATUS_END_OF_FILE;
    } else {
        bytes = (ULONG_PTR)min((ULONGLONG)length, fileSize - offset);
        if (compressed)
            status = ReadCompressedRange(Fcb, HandleCcb(fileObject), offset, (PUCHAR)buffer, (ULONG)bytes);
        else
            GUARDED_CALL(status, CopyFromStorage(Fcb, offset, buffer, bytes));
    }
    ExReleaseResourceLite(&Fcb->PagingIoResource);
    if (!NT_SUCCESS(status))
        return CompleteDataRequest(Irp, status, 0);

    if (!paging && (fileObject->Flags & FO_SYNCHRONOUS_IO))
        fileObject->CurrentByteOffset.QuadPart = (LONGLONG)(offset + bytes);
    CountVolumeIo(Fcb->Vcb, FALSE, bytes);
    return CompleteDataRequest(Irp, STATUS_SUCCESS, bytes);
}
