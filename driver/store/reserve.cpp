/*
 * Reserving memory for a range of a file before it is written, and the paging
 * write path's allocation of one extent while the paging resource is held only
 * shared.
 */
#include "vorel.h"

/*
 * ExtentUseOf: what the caller puts into extent Index of [Offset, End): asked of
 * Use for the part of the range in that extent; without Use, data everywhere.
 */
static EXTENT_USE ExtentUseOf(ULONG Index, ULONGLONG Offset, ULONGLONG End, EXTENT_USE_ROUTINE Use, PVOID Context)
{
    if (Use == NULL)
        return ExtentGetsData;
    ULONGLONG extentStart = (ULONGLONG)Index << EXTENT_SHIFT;
    ULONGLONG from = max(Offset, extentStart);
    ULONGLONG to = min(End, extentStart + EXTENT_SIZE);
    return Use(Context, from, to - from);
}

/*
 * ExtentHasMemory: whether extent Index has memory (after a conversion, only
 * extent 0 of a non-empty file has).
 */
static BOOLEAN ExtentHasMemory(PFCB Fcb, ULONG Index)
{
    PFCB_DATA data = &Fcb->Data;
    if (data->Extents == NULL)
        return Index == 0 && data->FileSize != 0;
    return Index < data->ExtentCapacity && data->Extents[Index].Data != NULL;
}

/*
 * ExtentNeedsMemory: whether an extent that gets data must get memory: it has
 * none. A hole that still holds a compressed form is a broken invariant.
 */
static BOOLEAN ExtentNeedsMemory(PFCB Fcb, ULONG Index, EXTENT_USE Use)
{
    PFCB_DATA data = &Fcb->Data;
    if (Use != ExtentGetsData || ExtentHasMemory(Fcb, Index))
        return FALSE;
    if (data->Extents != NULL && Index < data->ExtentCapacity && data->Extents[Index].Compressed != NULL)
        StoreInvariantFailed(INVARIANT_RESERVE_COMPRESSED);
    return TRUE;
}

/*
 * ExtentIsShared: whether an extent the caller writes into (data or zeros) holds
 * a chunk marked shared, which must become private first. The pending partial
 * extent that Partial names is left out: its new full chunk is private.
 */
static BOOLEAN ExtentIsShared(PFCB Fcb, ULONG Index, EXTENT_USE Use, PEXTENT_ENTRY Partial)
{
    PFCB_DATA data = &Fcb->Data;
    if ((Use != ExtentGetsData && Use != ExtentGetsZeros) || data->Extents == NULL || Index >= data->ExtentCapacity)
        return FALSE;
    PEXTENT_ENTRY entry = &data->Extents[Index];
    return entry->Data != NULL && (entry->Flags & EXTENT_SHARED) != 0 && entry != Partial;
}

/*
 * PRIVATE_COPY: a private copy of a shared extent a reservation obtained and has
 * yet to install. The record lies in the first bytes of the copy's own memory
 * (the bytes the installation overwrites with the extent's), so the copies cost
 * no allocation that could fail of their own.
 */
typedef struct _PRIVATE_COPY {
    struct _PRIVATE_COPY *Next;
    PDATA_CHUNK Chunk;
    ULONG Index;
} PRIVATE_COPY, *PPRIVATE_COPY;

/*
 * ReleaseReservedExtents: gives back the memory a failed reservation put into
 * extents [First, Last] of Table; those entries are the holes they were (with
 * their image words).
 */
static VOID ReleaseReservedExtents(PEXTENT_ENTRY Table, ULONG First, ULONG Last)
{
    for (ULONG i = First; i <= Last; i++) {
        PEXTENT_ENTRY entry = &Table[i];
        if ((entry->Flags & EXTENT_RESERVING) == 0)
            continue;
        ReleaseChunk(entry->Chunk);
        entry->Chunk = NULL;
        entry->Data = NULL;
        entry->Size = 0;
        entry->Flags = 0;
    }
}

/*
 * ReserveExtents: the reservation of a range of a file that gets (or has) an
 * extent table, as one step: everything it needs is obtained before anything
 * changes, so a failure leaves the file's storage, its sharing and the charges
 * as they were. Use says, extent by extent, what the caller puts there (NULL:
 * data everywhere). The needs are a conversion of a slot or single-buffer file,
 * a larger table (up to the last extent that gets data or another file's
 * chunk), a pending partial extent the range passes made full, memory for the
 * extents that get data and have none, and a private copy of each shared extent
 * that gets data or zeros (an extent whose chunk has no other holder left only
 * loses its mark). The volume size is tested once, for all of it, first.
 *
 * New memory reads as zero, except that with WriteWillFill the bytes of the range
 * in new extents are left for the caller's copy when every extent of the range
 * is new, or when Use is given (the caller then writes every byte of the range).
 */
NTSTATUS ReserveExtents(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length, BOOLEAN WriteWillFill,
                        BOOLEAN SkipPressureCheck, EXTENT_USE_ROUTINE Use, PVOID Context)
{
    PFCB_DATA data = &Fcb->Data;
    ULONGLONG end = Offset + Length;
    ULONGLONG last = (end - 1) >> EXTENT_SHIFT;
    if (last >= MAX_EXTENTS)
        return STATUS_DISK_FULL;
    ULONG first = (ULONG)(Offset >> EXTENT_SHIFT);

    BOOLEAN convert = data->Extents == NULL;
    PEXTENT_ENTRY partial = NULL;
    if (!convert && EndsBeyondPartialExtent(Fcb, end)) {
        // Not when the partial extent itself is to take another file's chunk or
        // become a hole: its memory goes then.
        ULONG index = data->PartialExtentIndex;
        EXTENT_USE use = index >= first && index <= last ? ExtentUseOf(index, Offset, end, Use, Context)
                                                          : ExtentGetsData;
        if (use == ExtentGetsData || use == ExtentGetsZeros)
            partial = &data->Extents[index];
    }
    ULONG missing = 0;
    ULONG shared = 0;
    LONG64 growth = 0;
    ULONGLONG tableNeeded = convert ? 1 : 0;
    for (ULONG i = first; i <= (ULONG)last; i++) {
        EXTENT_USE use = ExtentUseOf(i, Offset, end, Use, Context);
        if (use == ExtentTakesChunk)
            tableNeeded = (ULONGLONG)i + 1;
        if (ExtentIsShared(Fcb, i, use, partial)) {
            shared++;
            growth += ChargeGrowth(data->Extents[i].Chunk->Size, data->Extents[i].Chunk);
        }
        if (!ExtentNeedsMemory(Fcb, i, use))
            continue;
        missing++;
        tableNeeded = (ULONGLONG)i + 1;
    }
    if (Use == NULL)
        tableNeeded = last + 1;
    if (!convert && partial == NULL && missing == 0 && shared == 0 && tableNeeded <= data->ExtentCapacity) {
        RecomputeHeaderSizes(Fcb);
        return STATUS_SUCCESS;
    }

    // A copy of a chunk with a single holder is no growth: ChargeGrowth counted
    // the charge it hands over, and no copy is made of it below.
    growth += (LONG64)missing * EXTENT_SIZE;
    if (convert)
        growth += ConversionGrowth(Fcb, EXTENT_SIZE);
    if (partial != NULL && partial->Data != NULL)
        growth += ChargeGrowth(EXTENT_SIZE, partial->Chunk);
    if (growth > 0 && !VolumeSizeAllows(data->Volume, (ULONGLONG)growth))
        return STATUS_DISK_FULL;

    // Obtain: the table (a new one, or the file's own), extent 0 of a conversion,
    // the full chunk for the partial extent, the private copies, the missing
    // extents (uncharged, marked as this reservation's). Nothing the file reads
    // changes before the last one.
    PEXTENT_ENTRY table = data->Extents;
    ULONG tableCapacity = data->ExtentCapacity;
    PDATA_CHUNK firstChunk = NULL;
    PDATA_CHUNK fullChunk = NULL;
    PPRIVATE_COPY copies = NULL;
    PPRIVATE_COPY *copiesTail = &copies;
    ULONG done = first;
    NTSTATUS status = STATUS_SUCCESS;
    if (tableNeeded > tableCapacity) {
        status = AllocateExtentTable(Fcb, tableNeeded, &table, &tableCapacity);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (convert && data->FileSize != 0) {
        status = AllocateFirstExtent(Fcb, EXTENT_SIZE, SkipPressureCheck, &firstChunk);
        if (!NT_SUCCESS(status))
            goto unwind;
    }
    if (partial != NULL && partial->Data != NULL) {
        status = AllocateChunk(data->Volume, EXTENT_SIZE, 0, partial->Size, FALSE, SkipPressureCheck, &fullChunk);
        if (!NT_SUCCESS(status))
            goto unwind;
    }
    // The caller's routine is asked again only where the answer can matter.
    for (ULONG i = first; i <= (ULONG)last && i < data->ExtentCapacity && shared != 0; i++) {
        if ((data->Extents[i].Flags & EXTENT_SHARED) == 0 ||
            !ExtentIsShared(Fcb, i, ExtentUseOf(i, Offset, end, Use, Context), partial) ||
            ReadNoFence(&data->Extents[i].Chunk->ReferenceCount) == 1)
            continue;
        PEXTENT_ENTRY entry = &data->Extents[i];
        PDATA_CHUNK chunk;
        status = AllocateChunk(data->Volume, entry->Chunk->Size, 0, entry->Size, FALSE, SkipPressureCheck, &chunk);
        if (!NT_SUCCESS(status))
            goto unwind;
        PPRIVATE_COPY copy = (PPRIVATE_COPY)chunk->Base;
        copy->Next = NULL;
        copy->Chunk = chunk;
        copy->Index = i;
        *copiesTail = copy;
        copiesTail = &copy->Next;
    }
    {
        BOOLEAN skipWindows = WriteWillFill && (Use != NULL || missing == (ULONG)last - first + 1);
        for (; done <= (ULONG)last && missing != 0; done++) {
            if (ExtentHasMemory(Fcb, done) ||
                !ExtentNeedsMemory(Fcb, done, ExtentUseOf(done, Offset, end, Use, Context)))
                continue;
            ULONG keepOffset = 0;
            ULONG keepLength = 0;
            if (skipWindows) {
                ULONGLONG extentStart = (ULONGLONG)done << EXTENT_SHIFT;
                ULONGLONG from = max(Offset, extentStart);
                ULONGLONG to = min(end, extentStart + EXTENT_SIZE);
                keepOffset = (ULONG)(from - extentStart);
                keepLength = (ULONG)(to - from);
            }
            PDATA_CHUNK chunk;
            status = AllocateChunk(data->Volume, EXTENT_SIZE, keepOffset, keepLength, FALSE, SkipPressureCheck,
                                   &chunk);
            if (!NT_SUCCESS(status))
                goto unwind;
            PEXTENT_ENTRY entry = &table[done];
            entry->Chunk = chunk;
            entry->Data = chunk->Base;
            entry->Size = chunk->Size;
            entry->Flags = EXTENT_RESERVING;
        }
    }

    // Install, which cannot fail.
    if (table != data->Extents)
        InstallExtentTable(Fcb, table, tableCapacity);
    if (convert)
        InstallFirstExtent(Fcb, firstChunk, FALSE);
    if (partial != NULL) {
        partial = &data->Extents[data->PartialExtentIndex];
        if (fullChunk != NULL)
            InstallExtentChunk(Fcb, partial, fullChunk, partial->Size);
        data->PartialExtentPending = FALSE;
        data->PartialExtentIndex = 0;
    }
    while (copies != NULL) {
        // The copy of the extent's bytes overwrites the record: read it first.
        PPRIVATE_COPY next = copies->Next;
        PEXTENT_ENTRY entry = &data->Extents[copies->Index];
        InstallExtentChunk(Fcb, entry, copies->Chunk, entry->Size);
        copies = next;
    }
    for (ULONG i = first; i <= (ULONG)last && i < data->ExtentCapacity; i++) {
        PEXTENT_ENTRY entry = &data->Extents[i];
        if (shared != 0 && (entry->Flags & EXTENT_SHARED) &&
            ExtentIsShared(Fcb, i, ExtentUseOf(i, Offset, end, Use, Context), NULL)) {
            entry->Flags &= ~EXTENT_SHARED;     /* its chunk has no other holder left */
        }
        if ((entry->Flags & EXTENT_RESERVING) == 0)
            continue;
        entry->Flags = 0;
        entry->ImageWord = 0;
        entry->LastAccess = 0;
        entry->Chunk->Charged = entry->Chunk->Size;
        AddCharge(data->Volume, entry->Chunk->Size);
        data->Capacity += EXTENT_SIZE;
    }
    RecomputeHeaderSizes(Fcb);
    return STATUS_SUCCESS;

unwind:
    if (done > first)
        ReleaseReservedExtents(table, first, done - 1);
    while (copies != NULL) {
        PPRIVATE_COPY next = copies->Next;
        ReleaseChunk(copies->Chunk);
        copies = next;
    }
    if (fullChunk != NULL)
        ReleaseChunk(fullChunk);
    if (firstChunk != NULL)
        ReleaseChunk(firstChunk);
    if (table != data->Extents)
        VorelData.FreePool(table, TAG_EXTENT_TABLE);
    return status;
}

/*
 * ReserveSmallFile: private memory for End bytes (at most EXTENT_SIZE) of a slot
 * or single-buffer file: a larger slot or buffer, which is private, or a private
 * copy of a shared single buffer that is large enough. One step either way. A
 * larger buffer leaves unzeroed the FillLength bytes at FillOffset, which the
 * caller writes at once (0: the caller writes nothing).
 */
NTSTATUS ReserveSmallFile(PFCB Fcb, ULONGLONG End, ULONGLONG FillOffset, ULONGLONG FillLength)
{
    if (End > Fcb->Data.Capacity)
        return EnsureSmallCapacityFor(Fcb, End, FillOffset, FillLength);
    return UnshareSingle(Fcb);
}

/*
 * ReserveRange: private memory for every byte of [Offset, Offset + Length). Small
 * files grow in their slot or single buffer; others get an extent table whose
 * missing extents in the range are allocated and charged (a pending partial
 * extent the range passes is made full, and shared extents of the range become
 * private). New memory reads as zero, except that with WriteWillFill the bytes
 * of the range itself are left for the caller's copy in a new single buffer, and
 * in new extents when every extent of the range is new.
 * Returns STATUS_DISK_FULL for an end beyond MAX_FILE_OFFSET or the last extent
 * the table can hold, or when what the range needs does not fit the volume. On
 * any failure the file keeps its storage and nothing more is charged.
 */
NTSTATUS ReserveRange(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length, BOOLEAN WriteWillFill, BOOLEAN SkipPressureCheck)
{
    if (Length == 0)
        return STATUS_SUCCESS;
    ULONGLONG end = Offset + Length;
    if (end < Offset || end > MAX_FILE_OFFSET)
        return STATUS_DISK_FULL;
    if (Fcb->Data.Extents == NULL && end <= EXTENT_SIZE)
        return ReserveSmallFile(Fcb, end, Offset, WriteWillFill ? Length : 0);
    return ReserveExtents(Fcb, Offset, Length, WriteWillFill, SkipPressureCheck, NULL, NULL);
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
