/*
 * The per-volume cache of free 2 MiB chunks. A cached chunk stays mapped and keeps
 * its pages; its link to the next cached chunk lives in its own first 16 bytes, so
 * the cache costs no memory. Chunks come out of the cache with those bytes dirty:
 * every taker zeroes what it will not overwrite.
 */
#include "vorel.h"

/* PopCachedChunk: a cached chunk (reference count and counters not yet set), or NULL. */
PDATA_CHUNK PopCachedChunk(PSTORE_VOLUME Volume)
{
    PCHUNK_CACHE cache = &Volume->ChunkCache;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&cache->Lock);
    PCACHED_CHUNK_LINK link = cache->Head;
    if (link != NULL) {
        cache->Head = link->Next;
        cache->Count--;
    }
    KeReleaseSpinLock(&cache->Lock, oldIrql);
    return link != NULL ? link->Chunk : NULL;
}

/*
 * PushCachedChunk: parks a released 2 MiB chunk unless the cache is full. Returns
 * whether it was taken.
 */
BOOLEAN PushCachedChunk(PSTORE_VOLUME Volume, PDATA_CHUNK Chunk)
{
    PCHUNK_CACHE cache = &Volume->ChunkCache;
    PCACHED_CHUNK_LINK link = (PCACHED_CHUNK_LINK)Chunk->Base;
    BOOLEAN pushed = FALSE;
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&cache->Lock);
    if (cache->Count < CHUNK_CACHE_DEPTH) {
        link->Next = cache->Head;
        link->Chunk = Chunk;
        cache->Head = link;
        cache->Count++;
        pushed = TRUE;
    }
    KeReleaseSpinLock(&cache->Lock, oldIrql);
    return pushed;
}

/*
 * TrimChunkCache: returns every cached chunk to the system, taking them out one at
 * a time so that the lock is never held while memory is freed. Runs on memory
 * pressure, after a failed page allocation and at volume teardown.
 */
VOID TrimChunkCache(PSTORE_VOLUME Volume)
{
    PDATA_CHUNK chunk;
    while ((chunk = PopCachedChunk(Volume)) != NULL)
        DestroyChunk(chunk);
}
