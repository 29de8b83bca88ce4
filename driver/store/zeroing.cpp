/*
 * Zeroing ranges of a file and punching holes into sparse files.
 */
#include "vorel.h"

/*
 * ZeroRange: zeroes [Offset, Offset + Length) of the file's memory, touching each
 * extent zeroed. Holes and bytes beyond the memory are zero already and skipped.
 * The range must have been made private (UnshareRange); shared memory here is a
 * broken invariant.
 */
NTSTATUS ZeroRange(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length)
{
    PFCB_DATA data = &Fcb->Data;
    ULONGLONG end = Offset + Length;
    if (Length == 0 || end < Offset)
        return STATUS_SUCCESS;

    if (data->Extents == NULL) {
        if (data->SingleFlags & SINGLE_SHARED)
            StoreInvariantFailed(INVARIANT_ZERO_SHARED_SINGLE);
        if (data->DataBase == NULL || Offset >= data->Capacity)
            return STATUS_SUCCESS;
        InterlockedOr((volatile LONG *)&data->SingleImageWord, (LONG)IMAGE_WORD_MODIFIED);
        RtlZeroMemory(data->DataBase + Offset, (SIZE_T)(min(end, data->Capacity) - Offset));
        return STATUS_SUCCESS;
    }

    ULONG now = ExtentAccessTime();
    for (ULONGLONG position = Offset; position < end;) {
        ULONGLONG index = position >> EXTENT_SHIFT;
        ULONGLONG pieceEnd = min(end, (index + 1) << EXTENT_SHIFT);
        if (index >= data->ExtentCapacity)
            break;
        PEXTENT_ENTRY entry = &data->Extents[index];
        ULONG within = (ULONG)(position & EXTENT_MASK);
        if (entry->Data != NULL && within < entry->Size) {
            if (entry->Flags & EXTENT_SHARED)
                StoreInvariantFailed(INVARIANT_ZERO_SHARED_EXTENT);
            ULONG length = (ULONG)min(pieceEnd - position, (ULONGLONG)(entry->Size - within));
            RtlZeroMemory((PUCHAR)entry->Data + within, length);
            TouchExtent(entry, now);
        }
        position = pieceEnd;
    }
    return STATUS_SUCCESS;
}

/*
 * UnshareAndZero: decodes and makes [Offset, End) private and zeroes it. Returns
 * the failure of decoding or of making it private, with nothing zeroed.
 */
static NTSTATUS UnshareAndZero(PFCB Fcb, ULONGLONG Offset, ULONGLONG End)
{
    if (End <= Offset)
        return STATUS_SUCCESS;
    NTSTATUS status = DecompressRange(Fcb, Offset, End - Offset);
    if (NT_SUCCESS(status))
        status = UnshareRange(Fcb, Offset, End - Offset);
    if (NT_SUCCESS(status))
        ZeroRange(Fcb, Offset, End - Offset);
    return status;
}

/*
 * ZeroOrDeallocate: zeroes [Offset, End) cut to the file size. With Deallocate
 * (the caller's word that the file is sparse and no section maps it) and an
 * extent table, every whole extent inside the range becomes a hole, giving its
 * memory and charge back, and only the partial extents at both ends are zeroed.
 */
NTSTATUS ZeroOrDeallocate(PFCB Fcb, ULONGLONG Offset, ULONGLONG End, BOOLEAN Deallocate)
{
    PFCB_DATA data = &Fcb->Data;
    End = min(End, data->FileSize);
    if (Offset >= End)
        return STATUS_SUCCESS;

    NTSTATUS status;
    ULONGLONG wholeStart = ALIGN_UP_BY(Offset, EXTENT_SIZE);
    ULONGLONG wholeEnd = ALIGN_DOWN_BY(End, EXTENT_SIZE);
    if (Deallocate && data->Extents != NULL && wholeStart < wholeEnd) {
        // Both ends are decoded and made private before anything changes, so a
        // failure leaves the file's bytes as they were.
        status = DecompressRange(Fcb, Offset, wholeStart - Offset);
        if (NT_SUCCESS(status))
            status = DecompressRange(Fcb, wholeEnd, End - wholeEnd);
        if (NT_SUCCESS(status))
            status = UnshareRange(Fcb, Offset, wholeStart - Offset);
        if (NT_SUCCESS(status))
            status = UnshareRange(Fcb, wholeEnd, End - wholeEnd);
        if (!NT_SUCCESS(status))
            return status;
        ZeroRange(Fcb, Offset, wholeStart - Offset);
        ZeroRange(Fcb, wholeEnd, End - wholeEnd);
        ULONGLONG first = wholeStart >> EXTENT_SHIFT;
        ULONGLONG last = min(wholeEnd >> EXTENT_SHIFT, (ULONGLONG)data->ExtentCapacity);
        for (ULONGLONG i = first; i < last; i++)
            EmptyExtentEntry(Fcb, &data->Extents[i]);
    } else {
        status = UnshareAndZero(Fcb, Offset, End);
        if (!NT_SUCCESS(status))
            return status;
    }
    RecomputeHeaderSizes(Fcb);
    return STATUS_SUCCESS;
}
