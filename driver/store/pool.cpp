/*
 * The driver's generic pool helpers. Every allocation of the driver goes through
 * the routines installed in VorelData at start-up.
 */
#include "vorel.h"

/*
 * AllocateZeroed: a zeroed block of Size bytes, or NULL (also for Size 0).
 * Any IRQL the pool type allows; holds nothing.
 */
PVOID AllocateZeroed(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType)
{
    if (Size == 0)
        return NULL;
    PVOID block = VorelData.AllocatePool(Size, Tag, PoolType);
    if (block != NULL)
        RtlZeroMemory(block, Size);
    return block;
}

/*
 * DuplicateBuffer: a paged-pool copy (tag "X   ") of Length bytes at Source, or
 * NULL for a NULL source, a zero length or an exhausted pool. PASSIVE_LEVEL.
 */
PVOID DuplicateBuffer(const VOID *Source, SIZE_T Length)
{
    if (Source == NULL || Length == 0)
        return NULL;
    PVOID copy = AllocateZeroed(Length, TAG_GENERIC, PagedPool);
    if (copy != NULL)
        RtlCopyMemory(copy, Source, Length);
    return copy;
}

/*
 * FreeAndClear: frees the block a pointer slot holds and empties the slot; a NULL
 * slot or an empty one is left alone.
 */
VOID FreeAndClear(PVOID *Slot, ULONG Tag)
{
    if (Slot == NULL || *Slot == NULL)
        return;
    VorelData.FreePool(*Slot, Tag);
    *Slot = NULL;
}
