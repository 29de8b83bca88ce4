/*
 * The three tiers of a file's data and the moves between them: a slot of a slab
 * (up to 2048 bytes), one single buffer (up to 2 MiB, growing geometrically so
 * that appends copy O(n) bytes in all), and a table of 2 MiB extents. A file only
 * moves forward through them, until ReleaseAllData returns it to no storage.
 *
 * Every routine here runs with the node's paging I/O resource held exclusively.
 * Every byte of memory between the file size and the capacity is zero, so growing
 * the file needs no zeroing.
 */
#include "vorel.h"

/*
 * RecomputeHeaderSizes: the sizes the cache manager reads from the node's header.
 * File size and valid data length are the file size; the allocation size is the
 * file size rounded up to 8 for a small file without a requested allocation, and
 * otherwise the larger of the requested allocation and the file size, rounded up
 * to 4096.
 */
VOID RecomputeHeaderSizes(PFCB Fcb)
{
    PFCB_DATA data = &Fcb->Data;
    ULONGLONG size = data->FileSize;
    ULONGLONG allocation;
    if (data->RequestedAllocation == 0 && size < PAGE_SIZE)
        allocation = ALIGN_UP_BY(size, 8);
    else
        allocation = ALIGN_UP_BY(max(data->RequestedAllocation, size), PAGE_SIZE);
    WriteNoFence64(&Fcb->Header.AllocationSize.QuadPart, (LONG64)allocation);
    WriteNoFence64(&Fcb->Header.FileSize.QuadPart, (LONG64)size);
    WriteNoFence64(&Fcb->Header.ValidDataLength.QuadPart, (LONG64)size);
}

/* ExtentAccessTime: the current time in extent last-access units (2^23 x 100 ns). */
ULONG ExtentAccessTime(VOID)
{
    return (ULONG)(KeQueryInterruptTime() >> 23);
}

/*
 * TouchExtent: an extent was written or zeroed: modified since the last image
 * save, accessed now, and no longer marked cold. Safe under the paging resource
 * held shared (interlocked where two writers may meet).
 */
VOID TouchExtent(PEXTENT_ENTRY Entry, ULONG Now)
{
    if ((ReadULongNoFence(&Entry->ImageWord) & IMAGE_WORD_MODIFIED) == 0)
        InterlockedOr((volatile LONG *)&Entry->ImageWord, (LONG)IMAGE_WORD_MODIFIED);
    if (ReadULongNoFence(&Entry->LastAccess) != Now)
        WriteULongNoFence(&Entry->LastAccess, Now);
    if (ReadULongNoFence(&Entry->Flags) & EXTENT_COLD)
        InterlockedAnd((volatile LONG *)&Entry->Flags, ~(LONG)EXTENT_COLD);
}

/* MarkModifiedAt: the extent, or the slot or single buffer, holding Offset is modified. */
VOID MarkModifiedAt(PFCB Fcb, ULONGLONG Offset)
{
    PFCB_DATA data = &Fcb->Data;
    volatile LONG *word;
    if (data->Extents != NULL) {
        ULONGLONG index = Offset >> EXTENT_SHIFT;
        if (index >= data->ExtentCapacity)
            return;
        word = (volatile LONG *)&data->Extents[index].ImageWord;
    } else {
        word = (volatile LONG *)&data->SingleImageWord;
    }
    InterlockedOr(word, (LONG)IMAGE_WORD_MODIFIED);
}

/*
 * SmallFileBytes: the bytes of a slot or single-buffer file that are in its memory.
 * The file size may lie beyond the memory (sizes raised after paging writes); the
 * bytes there read as zero and need no copying.
 */
static ULONGLONG SmallFileBytes(PFCB_DATA Data)
{
    return Data->DataBase != NULL ? min(Data->FileSize, Data->Capacity) : 0;
}

/*
 * InstallSingleChunk: makes Chunk the file's single buffer in place of the old one
 * (whose charge it takes over when nobody else holds it) and releases the old one.
 * The caller has copied the file's bytes and zeroed the rest.
 */
VOID InstallSingleChunk(PFCB Fcb, PDATA_CHUNK Chunk)
{
    PFCB_DATA data = &Fcb->Data;
    PDATA_CHUNK old = data->SingleChunk;
    TransferCharge(data->Volume, Chunk, old);
    data->SingleChunk = Chunk;
    data->SingleFlags = 0;
    data->DataBase = Chunk->Base;
    if (old != NULL)
        ReleaseChunk(old);
    data->Capacity = Chunk->Size;
    RecomputeHeaderSizes(Fcb);
}

/*
 * GrowSingleBuffer: a single buffer of at least Size bytes (at most EXTENT_SIZE).
 * From the current capacity (or Size) the capacity doubles below 1 MiB and grows
 * by half above, up to EXTENT_SIZE, in whole pages. When memory for that cannot be
 * had, exactly Size is asked for. The file's bytes move to the new buffer.
 */
static NTSTATUS GrowSmallBuffer(PFCB Fcb, ULONGLONG Size, ULONGLONG Carry, ULONGLONG FillOffset,
                                ULONGLONG FillLength);

NTSTATUS GrowSingleBuffer(PFCB Fcb, ULONGLONG Size)
{
    PFCB_DATA data = &Fcb->Data;
    if (Size <= data->Capacity)
        return STATUS_SUCCESS;
    return GrowSmallBuffer(Fcb, Size, SmallFileBytes(data), 0, 0);
}

/*
 * GrowSmallBuffer: the growth itself; Carry bytes move from the data base. The
 * rest of the new buffer is zeroed except the FillLength bytes at FillOffset past
 * the carried ones, which the caller's write fills at once: zeroing them would
 * only be overwritten (a gap between the carried bytes and the write is zeroed).
 */
static NTSTATUS GrowSmallBuffer(PFCB Fcb, ULONGLONG Size, ULONGLONG Carry, ULONGLONG FillOffset,
                                ULONGLONG FillLength)
{
    PFCB_DATA data = &Fcb->Data;

    ULONGLONG capacity = data->Capacity != 0 ? data->Capacity : Size;
    while (capacity < Size) {
        ULONGLONG step = capacity < 0x100000 ? capacity : capacity / 2;
        if (capacity + step < capacity) {
            capacity = Size;
            break;
        }
        capacity += step;
    }
    capacity = ALIGN_UP_BY(min(capacity, (ULONGLONG)EXTENT_SIZE), PAGE_SIZE);

    LONG64 growth = ChargeGrowth((ULONG)capacity, data->SingleChunk);
    if (growth > 0 && !VolumeSizeAllows(data->Volume, (ULONGLONG)growth))
        return STATUS_DISK_FULL;
    if (IsLowMemory(data->Volume, capacity))
        return STATUS_INSUFFICIENT_RESOURCES;

    PPAGE_SET pageSet = AllocatePages(capacity, FALSE);
    if (pageSet == NULL || pageSet->TotalBytes < Size) {
        if (pageSet != NULL)
            FreePages(pageSet);
        pageSet = AllocatePages(Size, TRUE);
        if (pageSet == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    PDATA_CHUNK chunk;
    NTSTATUS status = MakeChunk(data->Volume, pageSet, &chunk);
    if (!NT_SUCCESS(status)) {
        FreePages(pageSet);
        return status;
    }

    ULONGLONG keep = Carry;
    if (keep != 0)
        RtlCopyMemory(chunk->Base, data->DataBase, keep);
    // The fill window, made relative to the first byte after the carried ones.
    ULONGLONG fillEnd = FillOffset + FillLength;
    ULONG windowOffset = 0;
    ULONG windowLength = 0;
    if (FillLength != 0 && fillEnd > keep && FillOffset < chunk->Size) {
        windowOffset = (ULONG)(max(FillOffset, keep) - keep);
        windowLength = (ULONG)(min(fillEnd, (ULONGLONG)chunk->Size) - keep - windowOffset);
    }
    ZeroOutsideWindow(chunk->Base + keep, chunk->Size - (ULONG)keep, windowOffset, windowLength);
    InstallSingleChunk(Fcb, chunk);
    return STATUS_SUCCESS;
}

/*
 * EnsureSmallCapacity: memory for Size bytes (at most EXTENT_SIZE) in a slot or
 * the single buffer, all of it beyond the file's bytes zero. A file leaves its
 * slot for a single buffer when it needs more than 2048 bytes and never returns
 * to one.
 */
NTSTATUS EnsureSmallCapacity(PFCB Fcb, ULONGLONG Size)
{
    return EnsureSmallCapacityFor(Fcb, Size, 0, 0);
}

/*
 * EnsureSmallCapacityFor: EnsureSmallCapacity for a write that at once fills the
 * FillLength bytes at FillOffset (within Size): a new single buffer leaves those
 * bytes unzeroed. With FillLength 0 every new byte is zeroed.
 */
NTSTATUS EnsureSmallCapacityFor(PFCB Fcb, ULONGLONG Size, ULONGLONG FillOffset, ULONGLONG FillLength)
{
    PFCB_DATA data = &Fcb->Data;
    if (data->SingleChunk != NULL || (Size > SMALL_FILE_LIMIT && data->Slab == NULL)) {
        if (Size <= data->Capacity)
            return STATUS_SUCCESS;
        return GrowSmallBuffer(Fcb, Size, SmallFileBytes(data), FillOffset, FillLength);
    }

    if (Size > SMALL_FILE_LIMIT) {
        PSLAB slab = data->Slab;
        // The slot's bytes are copied out of it (the data base still points there)
        // before it is freed; on failure the file keeps its slot.
        ULONG index = data->SlotIndex;
        ULONGLONG capacity = data->Capacity;
        ULONGLONG carry = SmallFileBytes(data);
        data->Slab = NULL;
        data->Capacity = 0;
        NTSTATUS status = GrowSmallBuffer(Fcb, Size, carry, FillOffset, FillLength);
        if (!NT_SUCCESS(status)) {
            data->Slab = slab;
            data->SlotIndex = index;
            data->Capacity = capacity;
            return status;
        }
        FreeSlot(data->Volume, slab, index);
        return STATUS_SUCCESS;
    }

    if (data->Slab != NULL && Size <= data->Capacity)
        return STATUS_SUCCESS;

    ULONGLONG carry = data->Slab != NULL ? SmallFileBytes(data) : 0;
    PSLAB slab;
    ULONG index;
    PUCHAR address;
    BOOLEAN fresh;
    NTSTATUS status = AllocateSlot(data->Volume, (ULONG)Size, &slab, &index, &address, &fresh);
    if (!NT_SUCCESS(status))
        return status;
    if (!fresh)
        RtlZeroMemory(address + carry, slab->SlotSize - carry);
    if (carry != 0)
        RtlCopyMemory(address, data->DataBase, carry);

    PSLAB oldSlab = data->Slab;
    ULONG oldIndex = data->SlotIndex;
    data->DataBase = address;
    data->Slab = slab;
    data->SlotIndex = index;
    data->Capacity = slab->SlotSize;
    RecomputeHeaderSizes(Fcb);
    if (oldSlab != NULL)
        FreeSlot(data->Volume, oldSlab, oldIndex);
    return STATUS_SUCCESS;
}

/*
 * AllocateExtentTable: a new extent table of at least Count entries holding a copy
 * of the file's entries, the rest holes; the file's own table is left as it is
 * (InstallExtentTable makes the new one the file's). The table grows by half of
 * itself from 8; never beyond MAX_EXTENTS (STATUS_DISK_FULL past it).
 */
NTSTATUS AllocateExtentTable(PFCB Fcb, ULONGLONG Count, PEXTENT_ENTRY *Table, PULONG Capacity)
{
    PFCB_DATA data = &Fcb->Data;
    if (Count > MAX_EXTENTS)
        return STATUS_DISK_FULL;
    ULONGLONG capacity = data->ExtentCapacity != 0 ? data->ExtentCapacity : 8;
    while (capacity < Count)
        capacity += capacity / 2;
    capacity = min(capacity, (ULONGLONG)MAX_EXTENTS);

    PEXTENT_ENTRY table = (PEXTENT_ENTRY)AllocateZeroed((SIZE_T)capacity * sizeof(EXTENT_ENTRY), TAG_EXTENT_TABLE,
                                                        NonPagedPoolNx);
    if (table == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (data->Extents != NULL)
        RtlCopyMemory(table, data->Extents, (SIZE_T)data->ExtentCapacity * sizeof(EXTENT_ENTRY));
    *Table = table;
    *Capacity = (ULONG)capacity;
    return STATUS_SUCCESS;
}

/*
 * InstallExtentTable: makes a table from AllocateExtentTable the file's, freeing
 * the old array. The entries of the old one must not have changed since the copy.
 */
VOID InstallExtentTable(PFCB Fcb, PEXTENT_ENTRY Table, ULONG Capacity)
{
    PFCB_DATA data = &Fcb->Data;
    if (data->Extents != NULL)
        VorelData.FreePool(data->Extents, TAG_EXTENT_TABLE);
    data->Extents = Table;
    data->ExtentCapacity = Capacity;
}

/* GrowExtentTable: an extent table of at least Count entries (see AllocateExtentTable). */
NTSTATUS GrowExtentTable(PFCB Fcb, ULONGLONG Count)
{
    if (Count <= Fcb->Data.ExtentCapacity)
        return STATUS_SUCCESS;
    PEXTENT_ENTRY table;
    ULONG capacity;
    NTSTATUS status = AllocateExtentTable(Fcb, Count, &table, &capacity);
    if (!NT_SUCCESS(status))
        return status;
    InstallExtentTable(Fcb, table, capacity);
    return STATUS_SUCCESS;
}

/*
 * ConversionGrowth: how much charged bytes grow when the file's bytes move to a
 * first extent of Size (a slot's charge stays with its slab; a private single
 * buffer hands its charge over). Nothing for an empty file, which gets no extent.
 */
LONG64 ConversionGrowth(PFCB Fcb, ULONG Size)
{
    PFCB_DATA data = &Fcb->Data;
    if (data->FileSize == 0)
        return 0;
    return data->Slab != NULL ? (LONG64)Size : ChargeGrowth(Size, data->SingleChunk);
}

/*
 * AllocateFirstExtent: a chunk of Size holding the bytes of a slot or
 * single-buffer file, the rest zero, for InstallFirstExtent, which the caller
 * releases if it does not install it. The file is unchanged. A private single
 * buffer of exactly Size is that chunk itself, with one more reference (its bytes
 * past the file's are zero already, and its charge stays): a file that grows past
 * its single buffer copies nothing. Any other chunk is new and uncharged.
 */
NTSTATUS AllocateFirstExtent(PFCB Fcb, ULONG Size, BOOLEAN SkipPressureCheck, PDATA_CHUNK *Chunk)
{
    PFCB_DATA data = &Fcb->Data;
    PDATA_CHUNK single = data->SingleChunk;
    if (single != NULL && single->Size == Size && (data->SingleFlags & SINGLE_SHARED) == 0 &&
        ReadNoFence(&single->ReferenceCount) == 1) {
        ReferenceChunk(single);
        *Chunk = single;
        return STATUS_SUCCESS;
    }
    ULONGLONG bytes = min(SmallFileBytes(data), (ULONGLONG)Size);
    NTSTATUS status = AllocateChunk(data->Volume, Size, 0, (ULONG)bytes, FALSE, SkipPressureCheck, Chunk);
    if (!NT_SUCCESS(status))
        return status;
    if (bytes != 0)
        RtlCopyMemory((*Chunk)->Base, data->DataBase, (SIZE_T)bytes);
    return STATUS_SUCCESS;
}

/*
 * InstallFirstExtent: completes the move of a slot or single-buffer file to its
 * extent table, which the caller has installed: Chunk (from AllocateFirstExtent,
 * or NULL for an empty file) becomes extent 0 and takes over the old buffer's
 * charge (or keeps it, being the old buffer), and the slot or single buffer is
 * given back. The other entries are the caller's (a reservation may have filled
 * them, extent 0 included for an empty file, and charges them itself). With
 * KeepCapacity an extent smaller than EXTENT_SIZE is the pending partial extent.
 * Cannot fail.
 */
VOID InstallFirstExtent(PFCB Fcb, PDATA_CHUNK Chunk, BOOLEAN KeepCapacity)
{
    PFCB_DATA data = &Fcb->Data;
    PEXTENT_ENTRY entry = &data->Extents[0];
    PDATA_CHUNK old = data->SingleChunk;
    if (Chunk != NULL) {
        entry->Chunk = Chunk;
        entry->Compressed = NULL;
        entry->Data = Chunk->Base;
        entry->Size = Chunk->Size;
        entry->ImageWord = data->SingleImageWord;
        entry->Flags = 0;
        entry->LastAccess = 0;
    }
    data->SingleImageWord = 0;
    if (data->Slab != NULL) {
        FreeSlot(data->Volume, data->Slab, data->SlotIndex);
        data->Slab = NULL;
        data->Capacity = 0;
    }
    if (Chunk != NULL && Chunk != old)
        TransferCharge(data->Volume, Chunk, old);
    if (old != NULL)
        ReleaseChunk(old);     /* the single buffer made extent 0 drops only its extra reference */
    data->DataBase = NULL;
    data->SingleChunk = NULL;
    data->SingleFlags = 0;
    data->Capacity = Chunk != NULL ? Chunk->Size : 0;
    if (KeepCapacity && Chunk != NULL && Chunk->Size < EXTENT_SIZE) {
        data->PartialExtentPending = TRUE;
        data->PartialExtentIndex = 0;
    }
}

/*
 * ConvertToExtentTable: moves a slot or single-buffer file to an extent table.
 * Its bytes go to extent 0: a full extent, or with KeepCapacity one of the current
 * capacity, which then is the pending partial extent. An empty file gets an empty
 * table. On failure the file keeps its slot or single buffer.
 */
NTSTATUS ConvertToExtentTable(PFCB Fcb, BOOLEAN KeepCapacity)
{
    PFCB_DATA data = &Fcb->Data;
    ULONG size = KeepCapacity ? (ULONG)data->Capacity : EXTENT_SIZE;
    LONG64 growth = ConversionGrowth(Fcb, size);
    if (growth > 0 && !VolumeSizeAllows(data->Volume, (ULONGLONG)growth))
        return STATUS_DISK_FULL;

    PDATA_CHUNK chunk = NULL;
    NTSTATUS status;
    if (data->FileSize != 0) {
        status = AllocateFirstExtent(Fcb, size, FALSE, &chunk);
        if (!NT_SUCCESS(status))
            return status;
    }
    status = GrowExtentTable(Fcb, 1);
    if (!NT_SUCCESS(status)) {
        if (chunk != NULL)
            ReleaseChunk(chunk);
        return status;
    }
    InstallFirstExtent(Fcb, chunk, KeepCapacity);
    return STATUS_SUCCESS;
}

/*
 * InstallExtentChunk: gives an extent Chunk (uncharged, from AllocateChunk) in
 * place of its old one, with the first CopyLength bytes of the old one; the chunk
 * is charged in its place. The entry keeps its image word and becomes private.
 */
VOID InstallExtentChunk(PFCB Fcb, PEXTENT_ENTRY Entry, PDATA_CHUNK Chunk, ULONG CopyLength)
{
    PFCB_DATA data = &Fcb->Data;
    PDATA_CHUNK old = Entry->Chunk;
    TransferCharge(data->Volume, Chunk, old);
    if (CopyLength != 0)
        RtlCopyMemory(Chunk->Base, Entry->Data, CopyLength);
    ULONG oldSize = Entry->Size;
    Entry->Chunk = Chunk;
    Entry->Compressed = NULL;
    Entry->Data = Chunk->Base;
    Entry->Size = Chunk->Size;
    Entry->Flags = 0;
    Entry->LastAccess = 0;
    if (old != NULL)
        ReleaseChunk(old);
    data->Capacity = data->Capacity - oldSize + Chunk->Size;
}

/*
 * ReplaceExtentChunk: gives an extent a new chunk of NewSize holding the first
 * CopyLength bytes of the old one (the rest zero), charged in its place; the
 * entry keeps its image word and becomes private.
 */
NTSTATUS ReplaceExtentChunk(PFCB Fcb, PEXTENT_ENTRY Entry, ULONG NewSize, ULONG CopyLength,
                            BOOLEAN SkipPressureCheck)
{
    PDATA_CHUNK chunk;
    NTSTATUS status = AllocateChunk(Fcb->Data.Volume, NewSize, 0, CopyLength, FALSE, SkipPressureCheck, &chunk);
    if (!NT_SUCCESS(status))
        return status;
    InstallExtentChunk(Fcb, Entry, chunk, CopyLength);
    return STATUS_SUCCESS;
}

/* EndsBeyondPartialExtent: whether End passes the memory of the pending partial extent. */
BOOLEAN EndsBeyondPartialExtent(PFCB Fcb, ULONGLONG End)
{
    PFCB_DATA data = &Fcb->Data;
    if (!data->PartialExtentPending)
        return FALSE;
    ULONG index = data->PartialExtentIndex;
    return End > ((ULONGLONG)index << EXTENT_SHIFT) + data->Extents[index].Size;
}

/*
 * ExpandPartialExtent: makes the pending partial extent a full one again (its
 * bytes kept, decoded first when compressed, the rest zero). With CheckLimit the
 * growth must fit the volume.
 */
NTSTATUS ExpandPartialExtent(PFCB Fcb, BOOLEAN CheckLimit)
{
    PFCB_DATA data = &Fcb->Data;
    if (!data->PartialExtentPending)
        return STATUS_SUCCESS;
    NTSTATUS status = DecompressExtents(Fcb, data->PartialExtentIndex, data->PartialExtentIndex);
    if (!NT_SUCCESS(status))
        return status;
    PEXTENT_ENTRY entry = &data->Extents[data->PartialExtentIndex];
    if (entry->Data != NULL) {
        LONG64 growth = ChargeGrowth(EXTENT_SIZE, entry->Chunk);
        if (CheckLimit && growth > 0 && !VolumeSizeAllows(data->Volume, (ULONGLONG)growth))
            return STATUS_DISK_FULL;
        status = ReplaceExtentChunk(Fcb, entry, EXTENT_SIZE, entry->Size, FALSE);
        if (!NT_SUCCESS(status))
            return status;
    }
    data->PartialExtentPending = FALSE;
    data->PartialExtentIndex = 0;
    return STATUS_SUCCESS;
}

/*
 * EmptyExtentEntry: turns an entry into a hole, releasing its chunk (and its charge
 * with the last reference) or its compressed form; the capacity shrinks by what
 * the entry held.
 */
VOID EmptyExtentEntry(PFCB Fcb, PEXTENT_ENTRY Entry)
{
    PFCB_DATA data = &Fcb->Data;
    if (Entry->Chunk != NULL) {
        data->Capacity -= Entry->Size;
        ReleaseChunk(Entry->Chunk);
    } else if (Entry->Compressed != NULL) {
        data->Capacity -= Entry->Size;
        DropCompressedForm(Fcb, Entry);
    }
    if (data->PartialExtentPending && Entry == &data->Extents[data->PartialExtentIndex]) {
        data->PartialExtentPending = FALSE;
        data->PartialExtentIndex = 0;
    }
    RtlZeroMemory(Entry, sizeof(*Entry));
}
