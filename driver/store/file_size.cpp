/*
 * The size of a file's data: setting it, raising it after paging writes, giving
 * everything back, and giving slack back at the last cleanup.
 */
#include "vorel.h"

/* HasCacheSection: whether the cache manager caches the file's data in a section. */
static BOOLEAN HasCacheSection(PFCB Fcb)
{
    return Fcb->SectionObjectPointers.DataSectionObject != NULL || Fcb->SectionObjectPointers.SharedCacheMap != NULL;
}

/*
 * SetDataSize: makes NewSize the file size. Growing allocates no extent (the new
 * range of a table file is a hole) but a small file's slot or single buffer grows
 * to hold it. Shrinking zeroes what is cut off in memory that stays (a single
 * buffer keeps its memory until TrimToSize) and gives back every extent wholly
 * beyond the new end. Returns STATUS_DISK_FULL beyond MAX_FILE_OFFSET.
 *
 * A shrink allocates nothing, except a private copy of a shared extent (or single
 * buffer) whose tail it must zero: a pending partial extent inside the kept range
 * stays partial, so that a volume that is full can always be made less full. A
 * shrink of a file with a cache section purges the section, whose pages past the
 * new end would otherwise outlive the data they cached.
 */
NTSTATUS SetDataSize(PFCB Fcb, ULONGLONG NewSize)
{
    PFCB_DATA data = &Fcb->Data;
    ULONGLONG oldSize = data->FileSize;
    NTSTATUS status;
    if (NewSize == 0) {
        ReleaseAllData(Fcb);
        return STATUS_SUCCESS;
    }
    if (NewSize == oldSize) {
        RecomputeHeaderSizes(Fcb);
        return STATUS_SUCCESS;
    }
    if (NewSize > MAX_FILE_OFFSET)
        return STATUS_DISK_FULL;

    if (NewSize > oldSize) {
        if (NewSize > EXTENT_SIZE || data->Extents != NULL) {
            if (data->Extents == NULL) {
                status = ConvertToExtentTable(Fcb, FALSE);
                if (!NT_SUCCESS(status))
                    return status;
            }
            if (EndsBeyondPartialExtent(Fcb, NewSize)) {
                status = ExpandPartialExtent(Fcb, TRUE);
                if (!NT_SUCCESS(status))
                    return status;
            }
        } else {
            status = EnsureSmallCapacity(Fcb, NewSize);
            if (!NT_SUCCESS(status))
                return status;
        }
        if ((oldSize & EXTENT_MASK) != 0)
            MarkModifiedAt(Fcb, oldSize - 1);
        data->FileSize = NewSize;
        RecomputeHeaderSizes(Fcb);
        return STATUS_SUCCESS;
    }

    if (data->Extents == NULL) {
        status = UnshareRange(Fcb, NewSize, oldSize - NewSize);
        if (!NT_SUCCESS(status))
            return status;
        ZeroRange(Fcb, NewSize, oldSize - NewSize);
    } else {
        ULONGLONG keep = max((NewSize + EXTENT_SIZE - 1) >> EXTENT_SHIFT, 1ull);
        ULONGLONG keptEnd = keep << EXTENT_SHIFT;
        if ((NewSize & EXTENT_MASK) != 0) {
            status = DecompressExtents(Fcb, keep - 1, keep - 1);
            if (NT_SUCCESS(status))
                status = UnshareRange(Fcb, NewSize, keptEnd - NewSize);
            if (!NT_SUCCESS(status))
                return status;
        }
        for (ULONGLONG i = keep; i < data->ExtentCapacity; i++)
            EmptyExtentEntry(Fcb, &data->Extents[i]);
        ZeroRange(Fcb, NewSize, keptEnd - NewSize);
    }
    data->FileSize = NewSize;
    RecomputeHeaderSizes(Fcb);
    if (HasCacheSection(Fcb))
        CcPurgeCacheSection(&Fcb->SectionObjectPointers, NULL, 0, FALSE);
    return STATUS_SUCCESS;
}

/* RaiseTo: raises *Value to Target unless it is already higher; returns the old value. */
static LONG64 RaiseTo(volatile LONG64 *Value, LONG64 Target)
{
    LONG64 current = ReadNoFence64(Value);
    while (current < Target) {
        LONG64 seen = InterlockedCompareExchange64(Value, Target, current);
        if (seen == current)
            break;
        current = seen;
    }
    return current;
}

/*
 * ExtendSizesAfterWrite: raises, never lowers, the sizes to End after a paging
 * write, with the paging resource held only shared: each size by its own
 * compare-exchange loop. The extent holding the old last byte is marked modified
 * when the old size ended inside it.
 */
VOID ExtendSizesAfterWrite(PFCB Fcb, ULONGLONG End)
{
    PFCB_DATA data = &Fcb->Data;
    if (End > MAX_FILE_OFFSET)
        StoreInvariantFailed(INVARIANT_SIZE_BEYOND_LIMIT);
    RaiseTo(&Fcb->Header.AllocationSize.QuadPart, (LONG64)ALIGN_UP_BY(End, PAGE_SIZE));
    ULONGLONG oldSize = (ULONGLONG)RaiseTo((volatile LONG64 *)&data->FileSize, (LONG64)End);
    RaiseTo(&Fcb->Header.FileSize.QuadPart, (LONG64)End);
    RaiseTo(&Fcb->Header.ValidDataLength.QuadPart, (LONG64)End);
    if (oldSize < End && (oldSize & EXTENT_MASK) != 0)
        MarkModifiedAt(Fcb, oldSize - 1);
}

/*
 * ReleaseAllData: gives every byte of the file's memory back (slot, single buffer,
 * every extent and the table) and leaves the file empty, with no storage.
 */
VOID ReleaseAllData(PFCB Fcb)
{
    PFCB_DATA data = &Fcb->Data;
    if (data->Slab != NULL) {
        FreeSlot(data->Volume, data->Slab, data->SlotIndex);
        data->Slab = NULL;
    }
    if (data->SingleChunk != NULL) {
        ReleaseChunk(data->SingleChunk);
        data->SingleChunk = NULL;
    }
    if (data->Extents != NULL) {
        for (ULONG i = 0; i < data->ExtentCapacity; i++)
            EmptyExtentEntry(Fcb, &data->Extents[i]);
        FreeAndClear((PVOID *)&data->Extents, TAG_EXTENT_TABLE);
    }
    data->ExtentCapacity = 0;
    data->DataBase = NULL;
    data->SingleFlags = 0;
    data->SingleImageWord = 0;
    data->SlotIndex = 0;
    data->PartialExtentPending = FALSE;
    data->PartialExtentIndex = 0;
    data->HasSharedExtents = FALSE;
    data->Capacity = 0;
    data->FileSize = 0;
    WriteNoFence64(&Fcb->Header.AllocationSize.QuadPart, 0);
    WriteNoFence64(&Fcb->Header.FileSize.QuadPart, 0);
    WriteNoFence64(&Fcb->Header.ValidDataLength.QuadPart, 0);
}

/*
 * TrimToSize: gives slack back at the last cleanup of a file that is not empty,
 * not sparse and not mapped (the caller has checked that and holds neither of the
 * node's resources). A private single buffer with 64 KiB or more of slack moves to
 * one of exactly the file size in pages; a table file's last extent, when private
 * and nothing lies beyond it, shrinks to the file's bytes in it (in pages) and
 * becomes the pending partial extent, when that gives back 64 KiB or more.
 * Memory-pressure checks are skipped: the result holds less.
 *
 * Takes the main resource and then the paging I/O resource exclusively. Between
 * the caller's checks and these, a section may have been made on the file (the
 * memory manager maps what the store holds, and would lose the pages it mapped),
 * so the trim gives that case up. It equally gives up when the node meanwhile
 * has an open handle again, is delete pending or has lost its last name: a new
 * opener may be about to write, and a deleted file's data is freed, not trimmed.
 */
static NTSTATUS TrimLockedToSize(PFCB Fcb);

NTSTATUS TrimToSize(PFCB Fcb)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(Fcb->Header.Resource, TRUE);
    ExAcquireResourceExclusiveLite(Fcb->Header.PagingIoResource, TRUE);
    NTSTATUS status = STATUS_SUCCESS;
    if (!HasCacheSection(Fcb) && Fcb->SectionObjectPointers.ImageSectionObject == NULL &&
        ReadNoFence(&Fcb->OpenCount) == 0 && !Fcb->DeletePending && !Fcb->Unlinked)
        status = TrimLockedToSize(Fcb);
    ExReleaseResourceLite(Fcb->Header.PagingIoResource);
    ExReleaseResourceLite(Fcb->Header.Resource);
    KeLeaveCriticalRegion();
    return status;
}

/* TrimLockedToSize: the trim itself, with both resources held exclusively. */
static NTSTATUS TrimLockedToSize(PFCB Fcb)
{
    PFCB_DATA data = &Fcb->Data;
    ULONGLONG size = data->FileSize;
    if (size == 0)
        return STATUS_SUCCESS;

    if (data->Extents == NULL) {
        PDATA_CHUNK chunk = data->SingleChunk;
        if (chunk == NULL || (data->SingleFlags & SINGLE_SHARED) || ReadNoFence(&chunk->ReferenceCount) != 1)
            return STATUS_SUCCESS;
        ULONGLONG target = ALIGN_UP_BY(size, PAGE_SIZE);
        if (data->Capacity < target + SLACK_LIMIT)
            return STATUS_SUCCESS;
        PDATA_CHUNK smaller;
        NTSTATUS status = AllocateChunk(data->Volume, (ULONG)target, 0, (ULONG)size, FALSE, TRUE, &smaller);
        if (!NT_SUCCESS(status))
            return status;
        RtlCopyMemory(smaller->Base, data->DataBase, (SIZE_T)size);
        InstallSingleChunk(Fcb, smaller);
        return STATUS_SUCCESS;
    }

    if (data->PartialExtentPending)
        return STATUS_SUCCESS;
    ULONGLONG index = (size - 1) >> EXTENT_SHIFT;
    if (index >= data->ExtentCapacity)
        return STATUS_SUCCESS;
    PEXTENT_ENTRY entry = &data->Extents[index];
    if (entry->Data == NULL || entry->Size != EXTENT_SIZE || (entry->Flags & EXTENT_SHARED) ||
        ReadNoFence(&entry->Chunk->ReferenceCount) != 1)
        return STATUS_SUCCESS;
    for (ULONGLONG i = index + 1; i < data->ExtentCapacity; i++)
        if (data->Extents[i].Data != NULL || data->Extents[i].Compressed != NULL)
            return STATUS_SUCCESS;
    ULONG inExtent = (ULONG)(size - (index << EXTENT_SHIFT));
    ULONG tail = (ULONG)ALIGN_UP_BY(inExtent, PAGE_SIZE);
    if (tail >= EXTENT_SIZE || EXTENT_SIZE - tail < SLACK_LIMIT)
        return STATUS_SUCCESS;
    NTSTATUS status = ReplaceExtentChunk(Fcb, entry, tail, inExtent, TRUE);
    if (!NT_SUCCESS(status))
        return status;
    data->PartialExtentPending = TRUE;
    data->PartialExtentIndex = (ULONG)index;
    return STATUS_SUCCESS;
}
