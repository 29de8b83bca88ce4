/*
 * Reserving memory for a range of a file before it is written, and the paging
 * write path's allocation of one extent while the paging resource is held only
 * shared.
 */
#include "vorel.h"

/* ZeroWindows: zeroes the part of [Offset, End) in each extent of [First, Last). */
static VOID ZeroWindows(PFCB Fcb, ULONGLONG Offset, ULONGLONG End, ULONG First, ULONG Last)
{
    for (ULONG i = First; i < Last; i++) {
        ULONGLONG extentStart = (ULONGLONG)i << EXTENT_SHIFT;
        ULONGLONG from = max(Offset, extentStart);
        ULONGLONG to = min(End, extentStart + EXTENT_SIZE);
        RtlZeroMemory((PUCHAR)Fcb->Data.Extents[i].Data + (from - extentStart), (SIZE_T)(to - from));
    }
}

/*
 * ReserveRange: memory for every byte of [Offset, Offset + Length). Small files
 * grow in their slot or single buffer; others get an extent table whose missing
 * extents in the range are allocated and charged (a pending partial extent the
 * range passes is made full first). New memory reads as zero, except that with
 * WriteWillFill, when every extent of the range is new, the bytes of the range
 * itself are left for the caller's copy.
 * Returns STATUS_DISK_FULL for an end beyond MAX_FILE_OFFSET or the last extent
 * the table can hold, or when the new extents do not fit the volume. If an
 * allocation fails part-way the extents already made stay, zero-filled and
 * charged: the file reads as before.
 */
NTSTATUS ReserveRange(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length, BOOLEAN WriteWillFill, BOOLEAN SkipPressureCheck)
{
    PFCB_DATA data = &Fcb->Data;
    if (Length == 0)
        return STATUS_SUCCESS;
    ULONGLONG end = Offset + Length;
    if (end < Offset || end > MAX_FILE_OFFSET)
        return STATUS_DISK_FULL;
    if (data->Extents == NULL && end <= EXTENT_SIZE)
        return EnsureSmallCapacity(Fcb, end);

    // The limit is tested before a conversion, which a failure must not leave behind.
    ULONGLONG last = (end - 1) >> EXTENT_SHIFT;
    if (last >= MAX_EXTENTS)
        return STATUS_DISK_FULL;
    NTSTATUS status;
    if (data->Extents == NULL) {
        status = ConvertToExtentTable(Fcb, FALSE);
        if (!NT_SUCCESS(status))
            return status;
    }
    status = GrowExtentTable(Fcb, last + 1);
    if (!NT_SUCCESS(status))
        return status;
    if (EndsBeyondPartialExtent(Fcb, end)) {
        status = ExpandPartialExtent(Fcb, TRUE);
        if (!NT_SUCCESS(status))
            return status;
    }

    ULONG first = (ULONG)(Offset >> EXTENT_SHIFT);
    ULONG missing = 0;
    for (ULONG i = first; i <= (ULONG)last; i++) {
        PEXTENT_ENTRY entry = &data->Extents[i];
        if (entry->Data != NULL)
            continue;
        if (entry->Compressed != NULL)
            StoreInvariantFailed(INVARIANT_RESERVE_COMPRESSED);
        missing++;
    }
    if (missing == 0) {
        RecomputeHeaderSizes(Fcb);
        return STATUS_SUCCESS;
    }
    if (!VolumeSizeAllows(data->Volume, (ULONGLONG)missing * EXTENT_SIZE))
        return STATUS_DISK_FULL;

    BOOLEAN skipWindows = WriteWillFill && missing == (ULONG)last - first + 1;
    for (ULONG i = first; i <= (ULONG)last; i++) {
        PEXTENT_ENTRY entry = &data->Extents[i];
        if (entry->Data != NULL)
            continue;
        ULONG keepOffset = 0;
        ULONG keepLength = 0;
        if (skipWindows) {
            ULONGLONG extentStart = (ULONGLONG)i << EXTENT_SHIFT;
            ULONGLONG from = max(Offset, extentStart);
            ULONGLONG to = min(end, extentStart + EXTENT_SIZE);
            keepOffset = (ULONG)(from - extentStart);
            keepLength = (ULONG)(to - from);
        }
        RtlZeroMemory(entry, sizeof(*entry));
        PDATA_CHUNK chunk;
        status = AllocateChunk(data->Volume, EXTENT_SIZE, keepOffset, keepLength, TRUE, SkipPressureCheck, &chunk);
        if (!NT_SUCCESS(status)) {
            // No unwritten memory may stay readable.
            if (skipWindows)
                ZeroWindows(Fcb, Offset, end, first, i);
            RecomputeHeaderSizes(Fcb);
            return status;
        }
        entry->Chunk = chunk;
        entry->Data = chunk->Base;
        entry->Size = chunk->Size;
        data->Capacity += EXTENT_SIZE;
    }
    RecomputeHeaderSizes(Fcb);
    return STATUS_SUCCESS;
}

/*
 * AllocateExtentOnDemand: memory for extent Index on the paging write path, with
 * the paging resource held only shared. The extent is published by a
 * compare-exchange on its data field; a thread that loses the race frees its
 * chunk. Returns STATUS_CANT_WAIT for an index beyond the table (the caller takes
 * the path that grows it) and STATUS_DISK_FULL when the extent does not fit.
 * IRQL <= APC_LEVEL.
 */
NTSTATUS AllocateExtentOnDemand(PFCB Fcb, ULONG Index)
{
    PFCB_DATA data = &Fcb->Data;
    if (Index >= data->ExtentCapacity)
        return STATUS_CANT_WAIT;
    PEXTENT_ENTRY entry = &data->Extents[Index];
    if (ReadPointerAcquire(&entry->Data) != NULL)
        return STATUS_SUCCESS;
    if (entry->Compressed != NULL)
        StoreInvariantFailed(INVARIANT_ON_DEMAND_COMPRESSED);
    if (!VolumeSizeAllows(data->Volume, EXTENT_SIZE))
        return STATUS_DISK_FULL;

    PDATA_CHUNK chunk;
    NTSTATUS status = AllocateChunk(data->Volume, EXTENT_SIZE, 0, 0, FALSE, TRUE, &chunk);
    if (!NT_SUCCESS(status))
        return status;
    if (InterlockedCompareExchangePointer(&entry->Data, chunk->Base, NULL) != NULL) {
        ReleaseChunk(chunk);
        return STATUS_SUCCESS;
    }
    // Readers beside this thread see the data first and the size a moment later;
    // until then they read the new extent as the zeros it holds.
    WritePointerNoFence((PVOID volatile *)&entry->Chunk, chunk);
    WriteULongRelease(&entry->Size, chunk->Size);
    chunk->Charged = chunk->Size;
    AddCharge(data->Volume, chunk->Size);
    InterlockedAdd64((volatile LONG64 *)&data->Capacity, EXTENT_SIZE);
    return STATUS_SUCCESS;
}
