/*
 * Memory store routines.
 */
#pragma once

/* pool.cpp: the driver's generic allocation helpers. */
PVOID AllocateZeroed(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType);
PVOID DuplicateBuffer(const VOID *Source, SIZE_T Length);
VOID FreeAndClear(PVOID *Slot, ULONG Tag);

/* record_cache.cpp */
NTSTATUS CreateCaches(VOID);
VOID DeleteCaches(VOID);
PVOID CacheAllocate(PRECORD_CACHE Cache);
VOID CacheFree(PRECORD_CACHE Cache, PVOID *Slot);
