/*
 * Record caches: fixed-size records (chunk mappings, page sets) recycled through
 * non-paged lookaside lists. Each cache counts its own hits and misses in the
 * list's counters under its spin lock, so callers may be at DISPATCH_LEVEL.
 */
#include "vorel.h"

typedef struct _RECORD_CACHE_DESCRIPTION {
    PRECORD_CACHE *Slot;
    ULONG RecordSize;
    ULONG Tag;
} RECORD_CACHE_DESCRIPTION;

/* The caches, in the order they are made. */
static const RECORD_CACHE_DESCRIPTION CacheDescriptions[] = {
    {&VorelData.MappingCache, sizeof(CHUNK_MAPPING), TAG_CHUNK_MAPPING},
    {&VorelData.PageSetCache, sizeof(PAGE_SET), TAG_PAGE_SET},
};

/*
 * CreateCaches: makes every record cache. PASSIVE_LEVEL, at start-up.
 * Returns STATUS_INSUFFICIENT_RESOURCES, with nothing left made, when a control
 * block cannot be had.
 */
NTSTATUS CreateCaches(VOID)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(CacheDescriptions); i++) {
        PRECORD_CACHE cache = (PRECORD_CACHE)AllocateZeroed(sizeof(RECORD_CACHE), TAG_CACHE_CONTROL,
                                                            NonPagedPoolNxCacheAligned);
        if (cache == NULL) {
            DeleteCaches();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        ExInitializeNPagedLookasideList(&cache->List, NULL, NULL, POOL_NX_ALLOCATION, CacheDescriptions[i].RecordSize,
                                        CacheDescriptions[i].Tag, 0);
        KeInitializeSpinLock(&cache->Lock);
        cache->Flags = 0;
        cache->RecordSize = CacheDescriptions[i].RecordSize;
        *CacheDescriptions[i].Slot = cache;
    }
    return STATUS_SUCCESS;
}

/*
 * DeleteCaches: deletes every cache that exists, returning its parked records to
 * the pool. PASSIVE_LEVEL, at unload or a failed start-up; nothing else runs.
 */
VOID DeleteCaches(VOID)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(CacheDescriptions); i++) {
        PRECORD_CACHE cache = *CacheDescriptions[i].Slot;
        if (cache == NULL)
            continue;
        KIRQL oldIrql;
        KeAcquireSpinLock(&cache->Lock, &oldIrql);
        ExDeleteNPagedLookasideList(&cache->List);
        KeReleaseSpinLock(&cache->Lock, oldIrql);
        *CacheDescriptions[i].Slot = NULL;
        VorelData.FreePool(cache, TAG_CACHE_CONTROL);
    }
}

/*
 * CacheAllocate: one record, not zeroed (every user fills all fields), or NULL
 * when the pool is exhausted. IRQL <= DISPATCH_LEVEL; takes the cache's lock.
 */
PVOID CacheAllocate(PRECORD_CACHE Cache)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Cache->Lock, &oldIrql);
    PGENERAL_LOOKASIDE list = &Cache->List.L;
    list->TotalAllocates += 1;
    PVOID record = InterlockedPopEntrySList(&list->ListHead);
    if (record == NULL) {
        list->AllocateMisses += 1;
        record = list->Allocate(list->Type, list->Size, list->Tag);
    }
    KeReleaseSpinLock(&Cache->Lock, oldIrql);
    return record;
}

/*
 * CacheFree: returns the record a slot holds to its cache and empties the slot;
 * an empty slot is left alone. A list already holding its depth sends the record
 * back to the pool. IRQL <= DISPATCH_LEVEL; takes the cache's lock.
 */
VOID CacheFree(PRECORD_CACHE Cache, PVOID *Slot)
{
    if (*Slot == NULL)
        return;
    KIRQL oldIrql;
    KeAcquireSpinLock(&Cache->Lock, &oldIrql);
    PGENERAL_LOOKASIDE list = &Cache->List.L;
    list->TotalFrees += 1;
    if (ExQueryDepthSList(&list->ListHead) >= list->Depth) {
        list->FreeMisses += 1;
        list->Free(*Slot);
    } else {
        InterlockedPushEntrySList(&list->ListHead, (PSLIST_ENTRY)*Slot);
    }
    *Slot = NULL;
    KeReleaseSpinLock(&Cache->Lock, oldIrql);
}
