/*
 * A volume's part of the store: its byte counters, the volume-size test, and the
 * rule by which a chunk that replaces another takes over its charge.
 *
 * The size test is made before allocating and is no reservation: concurrent
 * allocations may pass it together. Memory shared by several files is charged
 * once, to its chunk, wherever the chunk goes.
 */
#include "vorel.h"

/* InitializeStoreVolume: an empty store for a volume of SizeBytes. */
VOID InitializeStoreVolume(PSTORE_VOLUME Volume, ULONGLONG SizeBytes)
{
    RtlZeroMemory(Volume, sizeof(*Volume));
    Volume->SizeBytes = SizeBytes;
    Volume->DiskFullRetryMark = -1;
    KeInitializeSpinLock(&Volume->ChunkCache.Lock);
    for (ULONG i = 0; i < SLAB_CLASS_COUNT; i++) {
        KeInitializeSpinLock(&Volume->SlabClasses[i].Lock);
        InitializeListHead(&Volume->SlabClasses[i].Slabs);
    }
}

/*
 * TearDownStoreVolume: after every file's data was released, gives the slabs and
 * the chunk cache back; charged and held bytes are then zero.
 */
VOID TearDownStoreVolume(PSTORE_VOLUME Volume)
{
    FreeAllSlabs(Volume);
    TrimChunkCache(Volume);
}

/*
 * VolumeSizeAllows: whether Growth more charged bytes fit the volume (equality
 * fits). Always while charge is suspended, for no volume and for no growth.
 */
BOOLEAN VolumeSizeAllows(PSTORE_VOLUME Volume, ULONGLONG Growth)
{
    if (Volume == NULL || Growth == 0 || ReadUCharNoFence(&Volume->ChargeSuspended))
        return TRUE;
    ULONGLONG charged = (ULONGLONG)ReadNoFence64(&Volume->ChargedBytes);
    ULONGLONG size = ReadULong64NoFence(&Volume->SizeBytes);
    return Growth <= size && charged <= size - Growth;
}

/* WouldExceedVolumeSize: whether Bytes more would not fit the node's volume. */
BOOLEAN WouldExceedVolumeSize(PFCB Fcb, ULONGLONG Bytes)
{
    return !VolumeSizeAllows(Fcb->Data.Volume, Bytes);
}

/*
 * AddCharge: Bytes more (or, negative, fewer) charged bytes; charge given back also
 * counts in released bytes.
 */
VOID AddCharge(PSTORE_VOLUME Volume, LONG64 Bytes)
{
    if (Volume == NULL || Bytes == 0)
        return;
    InterlockedAdd64(&Volume->ChargedBytes, Bytes);
    if (Bytes < 0)
        InterlockedAdd64(&Volume->ReleasedBytes, -Bytes);
}

VOID AddHeld(PSTORE_VOLUME Volume, LONG64 Bytes)
{
    if (Volume != NULL)
        InterlockedAdd64(&Volume->HeldBytes, Bytes);
}

/*
 * ChargeGrowth: how much charged bytes grow when a chunk of NewSize replaces
 * OldChunk in its holder: an old chunk with one holder hands its charge over, a
 * shared one keeps it. (Another file can only drop its share concurrently, never
 * add one, so an answer of "shared" errs on the safe side.)
 */
LONG64 ChargeGrowth(ULONG NewSize, PDATA_CHUNK OldChunk)
{
    if (OldChunk != NULL && ReadNoFence(&OldChunk->ReferenceCount) == 1)
        return (LONG64)NewSize - (LONG64)OldChunk->Charged;
    return (LONG64)NewSize;
}

/*
 * TransferCharge: charges NewChunk fully as the replacement of OldChunk (which may
 * be NULL): the old chunk's charge moves over when it has one holder, so that its
 * release gives nothing back twice. The difference is charged or given back. The
 * reference count is read once: a chunk seen shared keeps its charge and gives it
 * back at its own last release.
 */
VOID TransferCharge(PSTORE_VOLUME Volume, PDATA_CHUNK NewChunk, PDATA_CHUNK OldChunk)
{
    LONG64 growth = (LONG64)NewChunk->Size;
    if (OldChunk != NULL && ReadNoFence(&OldChunk->ReferenceCount) == 1) {
        growth -= (LONG64)OldChunk->Charged;
        OldChunk->Charged = 0;
    }
    NewChunk->Charged = NewChunk->Size;
    AddCharge(Volume, growth);
}
