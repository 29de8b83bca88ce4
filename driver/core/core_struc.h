/*
 * Driver core: the driver-wide state.
 *
 * Synchronization (outermost first). A thread may take a lock only when it holds
 * no lock that comes later in this list; two locks of one rank are taken in
 * ascending address order.
 *
 *   1. configuration mutex (VorelData.ConfigurationMutex)   boot configuration store
 *   2. volume main resource (Vcb->Resource)                 dismounted flag, teardown
 *   3. volume tree resource                                 directory tree shape
 *   4. directory main resources, ascending record address   a directory's children
 *   5. node main resource (Fcb->Header.Resource)            a node's metadata
 *   6. node paging I/O resource                             a node's data layout
 *   7. leaf resources: node-id index, security store, last-assignment cache
 *   8. spin locks, never nested: volume list lock, chunk cache, slab classes,
 *      open-process table, cold queue, orphan list, record caches
 *
 * The volume list lock is never held across I/O, registry or mount-manager calls.
 */
#pragma once

/* Pool tags of the driver's own records ("vl..") and of the record caches ("X..."). */
#define TAG_GENERIC         POOL_TAG('X', ' ', ' ', ' ')
#define TAG_CACHE_CONTROL   POOL_TAG('X', 'l', 'a', 'l')
#define TAG_CHUNK_MAPPING   POOL_TAG('X', 'm', 'm', 'h')
#define TAG_PAGE_SET        POOL_TAG('X', 'm', 'd', 'h')
#define TAG_DATA_CHUNK      POOL_TAG('X', 'N', 'T', ' ')
#define TAG_SERVICE_KEY     POOL_TAG('v', 'l', 'K', 'p')

typedef PVOID (*PVOREL_ALLOCATE_POOL)(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType);
typedef VOID (*PVOREL_FREE_POOL)(PVOID Block, ULONG Tag);

struct _RECORD_CACHE;

/*
 * VOREL_DATA: one instance, from start-up to unload. Written only by the entry
 * and unload routines, which run alone; read by everyone.
 */
typedef struct _VOREL_DATA {
    PDRIVER_OBJECT DriverObject;
    UNICODE_STRING ServiceKeyPath;          /* \Registry\Machine\...\Services\<name> */

    PVOREL_ALLOCATE_POOL AllocatePool;      /* the whole driver allocates through these */
    PVOREL_FREE_POOL FreePool;

    struct _RECORD_CACHE *MappingCache;     /* chunk mappings ("Xmmh") */
    struct _RECORD_CACHE *PageSetCache;     /* page sets ("Xmdh") */
} VOREL_DATA, *PVOREL_DATA;

extern VOREL_DATA VorelData;
