/*
 * Slabs: 2 MiB chunks cut into equal slots, so that files of up to 2048 bytes share
 * memory instead of taking pages of their own. Four classes of 256, 512, 1024 and
 * 2048-byte slots. A class lists its slabs that have a free slot and keeps at most
 * one wholly free slab for reuse; the rest go back to the system.
 *
 * A slab is charged 2 MiB against the volume while it exists; the files in its
 * slots are not charged themselves.
 */
#include "vorel.h"

static const ULONG SlotSizes[SLAB_CLASS_COUNT] = {256, 512, 1024, 2048};

/*
 * MakeSlab: a new slab of class ClassIndex, charged against the volume, with every
 * slot never used (its memory zero). Takes no lock.
 */
static NTSTATUS MakeSlab(PSTORE_VOLUME Volume, ULONG ClassIndex, PSLAB *Slab)
{
    ULONG slotSize = SlotSizes[ClassIndex];
    ULONG slotCount = EXTENT_SIZE / slotSize;
    *Slab = NULL;
    if (!VolumeSizeAllows(Volume, EXTENT_SIZE))
        return STATUS_DISK_FULL;

    SIZE_T headerSize = FIELD_OFFSET(SLAB, FreeSlotBits) + ((slotCount + 31) / 32) * sizeof(ULONG);
    PSLAB slab = (PSLAB)AllocateZeroed(headerSize, TAG_SLAB, NonPagedPoolNx);
    if (slab == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    PDATA_CHUNK chunk;
    NTSTATUS status = AllocateChunk(Volume, EXTENT_SIZE, 0, 0, TRUE, FALSE, &chunk);
    if (!NT_SUCCESS(status)) {
        VorelData.FreePool(slab, TAG_SLAB);
        return status;
    }
    slab->Chunk = chunk;
    slab->DataBase = chunk->Base;
    slab->ClassIndex = ClassIndex;
    slab->SlotSize = slotSize;
    slab->SlotCount = slotCount;
    slab->FreeCount = slotCount;
    slab->NextUnused = 0;
    RtlInitializeBitMap(&slab->FreeSlots, slab->FreeSlotBits, slotCount);
    RtlClearAllBits(&slab->FreeSlots);
    *Slab = slab;
    return STATUS_SUCCESS;
}

/* DestroySlab: returns a slab no class knows any more; its chunk bypasses the chunk cache. */
static VOID DestroySlab(PSLAB Slab)
{
    Slab->Chunk->Flags |= DATA_CHUNK_NO_CACHE;
    ReleaseChunk(Slab->Chunk);
    VorelData.FreePool(Slab, TAG_SLAB);
}

/*
 * AllocateSlot: a slot of the smallest class that holds Size bytes (at most 2048).
 * Fresh tells that the slot was never used, so its memory is zero. Returns
 * STATUS_DISK_FULL when a new slab would not fit the volume.
 */
NTSTATUS AllocateSlot(PSTORE_VOLUME Volume, ULONG Size, PSLAB *Slab, PULONG Index, PUCHAR *Address,
                      PBOOLEAN Fresh)
{
    ULONG classIndex = 0;
    while (classIndex < SLAB_CLASS_COUNT - 1 && SlotSizes[classIndex] < Size)
        classIndex++;
    PSLAB_CLASS slabClass = &Volume->SlabClasses[classIndex];

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&slabClass->Lock);
    if (IsListEmpty(&slabClass->Slabs) && slabClass->EmptySlab != NULL) {
        InsertHeadList(&slabClass->Slabs, &slabClass->EmptySlab->Links);
        slabClass->EmptySlab = NULL;
    }
    if (IsListEmpty(&slabClass->Slabs)) {
        // No slab has room: make one without the lock (it allocates pages).
        KeReleaseSpinLock(&slabClass->Lock, oldIrql);
        PSLAB fresh;
        NTSTATUS status = MakeSlab(Volume, classIndex, &fresh);
        if (!NT_SUCCESS(status))
            return status;
        oldIrql = KeAcquireSpinLockRaiseToDpc(&slabClass->Lock);
        InsertHeadList(&slabClass->Slabs, &fresh->Links);
        slabClass->SlabCount++;
    }

    PSLAB slab = CONTAINING_RECORD(slabClass->Slabs.Flink, SLAB, Links);
    ULONG index;
    BOOLEAN fresh;
    if (slab->NextUnused < slab->SlotCount) {
        index = slab->NextUnused++;
        fresh = TRUE;
    } else {
        index = RtlFindSetBitsAndClear(&slab->FreeSlots, 1, 0);
        if (index == 0xFFFFFFFF) {
            KeReleaseSpinLock(&slabClass->Lock, oldIrql);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        fresh = FALSE;
    }
    slab->FreeCount--;
    slabClass->UsedSlots++;
    if (slab->FreeCount == 0)
        RemoveEntryList(&slab->Links);
    KeReleaseSpinLock(&slabClass->Lock, oldIrql);

    *Slab = slab;
    *Index = index;
    *Address = slab->DataBase + (SIZE_T)index * slab->SlotSize;
    *Fresh = fresh;
    return STATUS_SUCCESS;
}

/*
 * FreeSlot: gives a slot back. A slab that was full returns to the tail of its
 * class list; one that becomes wholly free is kept as the class's empty slab if
 * that place is vacant, and otherwise goes back to the system.
 */
VOID FreeSlot(PSTORE_VOLUME Volume, PSLAB Slab, ULONG Index)
{
    PSLAB_CLASS slabClass = &Volume->SlabClasses[Slab->ClassIndex];
    PSLAB release = NULL;

    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&slabClass->Lock);
    RtlSetBit(&Slab->FreeSlots, Index);
    BOOLEAN wasFull = Slab->FreeCount == 0;
    Slab->FreeCount++;
    slabClass->UsedSlots--;
    if (wasFull)
        InsertTailList(&slabClass->Slabs, &Slab->Links);
    if (Slab->FreeCount == Slab->SlotCount) {
        RemoveEntryList(&Slab->Links);
        if (slabClass->EmptySlab == NULL) {
            slabClass->EmptySlab = Slab;
        } else {
            slabClass->SlabCount--;
            release = Slab;
        }
    }
    KeReleaseSpinLock(&slabClass->Lock, oldIrql);

    if (release != NULL)
        DestroySlab(release);
}

/*
 * FreeAllSlabs: at volume teardown, after every file's data was released: every
 * class's empty slab and every slab still on its list go back to the system.
 */
VOID FreeAllSlabs(PSTORE_VOLUME Volume)
{
    for (ULONG i = 0; i < SLAB_CLASS_COUNT; i++) {
        PSLAB_CLASS slabClass = &Volume->SlabClasses[i];
        for (;;) {
            PSLAB slab = NULL;
            KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&slabClass->Lock);
            if (slabClass->EmptySlab != NULL) {
                slab = slabClass->EmptySlab;
                slabClass->EmptySlab = NULL;
            } else if (!IsListEmpty(&slabClass->Slabs)) {
                slab = CONTAINING_RECORD(RemoveHeadList(&slabClass->Slabs), SLAB, Links);
            }
            if (slab != NULL)
                slabClass->SlabCount--;
            KeReleaseSpinLock(&slabClass->Lock, oldIrql);
            if (slab == NULL)
                break;
            DestroySlab(slab);
        }
    }
}
