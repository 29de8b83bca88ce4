/*
 * Sparse files: the sparse flag, the query of a file's allocated ranges and
 * zeroing a range (which gives whole extents of a sparse file back to the
 * volume). The layout work is the store's (zeroing.cpp, allocated_ranges.cpp);
 * these routines check the request and hold the node's resources around it.
 */
#include "vorel.h"

#define RANGE_RECORD_BYTES ((ULONG)sizeof(FILE_ALLOCATED_RANGE_BUFFER))
#define RANGE_BATCH 64 /* ranges gathered under the resource before each copy out */

/* FileNodeOf: the node of a handle that opens a file; NULL for a volume handle or a directory. */
static PFCB FileNodeOf(PIO_STACK_LOCATION IrpSp)
{
    PCCB ccb = HandleCcb(IrpSp->FileObject);
    if (ccb == NULL || ccb->Node->IsDirectory)
        return NULL;
    return ccb->Node;
}

/*
 * SetSparseControl: FSCTL_SET_SPARSE. The flag is set when the input is absent
 * or empty, else it is the input's first byte. Takes the node's main resource
 * exclusive. Returns STATUS_INVALID_PARAMETER for a handle without a file node.
 */
NTSTATUS SetSparseControl(PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    PFCB node = FileNodeOf(IrpSp);
    if (node == NULL)
        return STATUS_INVALID_PARAMETER;
    const UCHAR *input = (const UCHAR *)Irp->AssociatedIrp.SystemBuffer;
    BOOLEAN sparse = TRUE;
    if (input != NULL && IrpSp->Parameters.FileSystemControl.InputBufferLength != 0)
        sparse = input[0] != 0;
    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    WriteUCharNoFence(&node->Sparse, sparse);
    ExReleaseResourceLite(&node->MainResource);
    return STATUS_SUCCESS;
}

/* The caller's query of allocated ranges, captured. */
typedef struct _RANGE_QUERY {
    FILE_ALLOCATED_RANGE_BUFFER Input;
    ALLOCATED_RANGE Batch[RANGE_BATCH];
} RANGE_QUERY, *PRANGE_QUERY;

/* Guarded bodies: one probe or one copy each. */
static VOID ProbeRangeBuffers(PVOID Input, PVOID Output, ULONG OutputBytes)
{
    ProbeForRead(Input, RANGE_RECORD_BYTES, sizeof(UCHAR));
    if (OutputBytes != 0)
        ProbeForWrite(Output, OutputBytes, sizeof(UCHAR));
}

static VOID CaptureRangeInput(PRANGE_QUERY Query, const VOID *Input)
{
    RtlCopyMemory(&Query->Input, Input, RANGE_RECORD_BYTES);
}

static VOID CopyRangesOut(PUCHAR Output, const ALLOCATED_RANGE *Ranges, ULONG Count)
{
    RtlCopyMemory(Output, Ranges, (SIZE_T)Count * RANGE_RECORD_BYTES);
}

/*
 * QueryAllocatedRangesControl: FSCTL_QUERY_ALLOCATED_RANGES (METHOD_NEITHER:
 * the input is the caller's Type3InputBuffer, the output its UserBuffer, both
 * probed when the caller runs in user mode). Runs under the node's paging
 * resource shared; the ranges are gathered in batches and copied out, so the
 * output may be of any length and alignment. Returns STATUS_INVALID_PARAMETER,
 * a probe's failure, STATUS_BUFFER_OVERFLOW with the records that fit, or
 * STATUS_SUCCESS; Information is 16 bytes per record written.
 */
NTSTATUS QueryAllocatedRangesControl(PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    PFCB node = FileNodeOf(IrpSp);
    PVOID input = IrpSp->Parameters.FileSystemControl.Type3InputBuffer;
    PUCHAR output = (PUCHAR)Irp->UserBuffer;
    ULONG capacity = IrpSp->Parameters.FileSystemControl.OutputBufferLength / RANGE_RECORD_BYTES;
    if (node == NULL || input == NULL || IrpSp->Parameters.FileSystemControl.InputBufferLength < RANGE_RECORD_BYTES)
        return STATUS_INVALID_PARAMETER;
    if (output == NULL)
        capacity = 0;

    PRANGE_QUERY query = (PRANGE_QUERY)AllocateZeroed(sizeof(RANGE_QUERY), TAG_RANGE_BATCH, NonPagedPoolNx);
    if (query == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    ExAcquireResourceSharedLite(&node->PagingIoResource, TRUE);
    if (Irp->RequestorMode == UserMode)
        GUARDED_CALL(status, ProbeRangeBuffers(input, output, capacity * RANGE_RECORD_BYTES));
    if (NT_SUCCESS(status))
        GUARDED_CALL(status, CaptureRangeInput(query, input));
    LONGLONG offset = query->Input.FileOffset.QuadPart;
    LONGLONG length = query->Input.Length.QuadPart;
    if (NT_SUCCESS(status) && (offset < 0 || length < 0))
        status = STATUS_INVALID_PARAMETER;

    // Both are below 2^63, so their sum cannot wrap. Each batch resumes at the
    // end of the last range it stored: runs are maximal, so the next run starts
    // beyond a hole after it.
    ULONGLONG start = (ULONGLONG)offset;
    ULONGLONG end = (ULONGLONG)offset + (ULONGLONG)length;
    ULONG written = 0;
    BOOLEAN overflow = TRUE;
    while (NT_SUCCESS(status) && overflow) {
        ULONG count;
        ULONG room = min(capacity - written, (ULONG)RANGE_BATCH);
        QueryAllocatedRanges(node, start, end, query->Batch, room, &count, &overflow);
        if (count == 0 && overflow) {
            status = STATUS_BUFFER_OVERFLOW;
            break;
        }
        if (count == 0)
            break;
        GUARDED_CALL(status, CopyRangesOut(output + (SIZE_T)written * RANGE_RECORD_BYTES, query->Batch, count));
        if (!NT_SUCCESS(status))
            break;
        written += count;
        start = query->Batch[count - 1].Offset + query->Batch[count - 1].Length;
    }
    ExReleaseResourceLite(&node->PagingIoResource);
    ExFreePoolWithTag(query, TAG_RANGE_BATCH);
    if (!NT_ERROR(status))
        Irp->IoStatus.Information = (ULONG_PTR)written * RANGE_RECORD_BYTES;
    return status;
}

/*
 * FlushAndPurgeMappedRange: the mapped pages of [Offset, End) are written back
 * and dropped, so the store's change is what a view sees next. Main resource
 * exclusive. A page still locked in a view keeps it and counts as done.
 */
static NTSTATUS FlushAndPurgeMappedRange(PFCB Fcb, ULONGLONG Offset, ULONGLONG End)
{
    if (Fcb->SectionObjectPointers.DataSectionObject == NULL)
        return STATUS_SUCCESS;
    while (Offset < End) {
        ULONG piece = (ULONG)min(End - Offset, (ULONGLONG)0x40000000);
        LARGE_INTEGER at;
        at.QuadPart = (LONGLONG)Offset;
        IO_STATUS_BLOCK iosb;
        CcCoherencyFlushAndPurgeCache(&Fcb->SectionObjectPointers, &at, piece, &iosb, 0);
        if (!NT_SUCCESS(iosb.Status) && iosb.Status != STATUS_CACHE_PAGE_LOCKED)
            return iosb.Status;
        Offset += piece;
    }
    return STATUS_SUCCESS;
}

/*
 * SetZeroDataControl: FSCTL_SET_ZERO_DATA. Breaks oplocks first, then under the
 * node's main resource exclusive flushes and purges the mapped range and under
 * the paging resource exclusive zeroes it, cut to the file size. A sparse file
 * without a section gives its whole extents inside the range back. Holds no lock
 * on entry. Returns STATUS_INVALID_PARAMETER, the oplock package's or the
 * flush's failure, or the store's (STATUS_DISK_FULL when a shared end cannot be
 * made private); a failure leaves the bytes as they were.
 */
NTSTATUS SetZeroDataControl(PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    PFCB node = FileNodeOf(IrpSp);
    PFILE_ZERO_DATA_INFORMATION input = (PFILE_ZERO_DATA_INFORMATION)Irp->AssociatedIrp.SystemBuffer;
    if (node == NULL || input == NULL ||
        IrpSp->Parameters.FileSystemControl.InputBufferLength < sizeof(FILE_ZERO_DATA_INFORMATION))
        return STATUS_INVALID_PARAMETER;
    LONGLONG offset = input->FileOffset.QuadPart;
    LONGLONG beyond = input->BeyondFinalZero.QuadPart;
    if (offset < 0 || beyond < 0 || beyond < offset)
        return STATUS_INVALID_PARAMETER;

    NTSTATUS status;
    if (ReadUCharNoFence(&node->OplockInUse)) {
        status = FsRtlCheckOplock(&node->Oplock, Irp, NULL, NULL, NULL);
        if (!NT_SUCCESS(status))
            return status;
    }

    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    ULONGLONG end = min((ULONGLONG)beyond, node->Data.FileSize);
    status = FlushAndPurgeMappedRange(node, (ULONGLONG)offset, end);
    if (NT_SUCCESS(status)) {
        ExAcquireResourceExclusiveLite(&node->PagingIoResource, TRUE);
        BOOLEAN unmapped = node->SectionObjectPointers.DataSectionObject == NULL &&
                           node->SectionObjectPointers.ImageSectionObject == NULL;
        status = ZeroOrDeallocate(node, (ULONGLONG)offset, (ULONGLONG)beyond, node->Sparse && unmapped);
        ExReleaseResourceLite(&node->PagingIoResource);
    }
    ExReleaseResourceLite(&node->MainResource);
    if (NT_SUCCESS(status)) {
        NoteDataModified(node);
        InterlockedOr((volatile LONG *)&IrpSp->FileObject->Flags, FO_FILE_MODIFIED);
    }
    return status;
}
