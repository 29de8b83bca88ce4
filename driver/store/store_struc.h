/*
 * Memory store records: the record caches and the page store's small records.
 */
#pragma once

struct _MDL;

/*
 * RECORD_CACHE: a cache of fixed-size records on a lookaside list, with its own
 * lock around the list operation and the counters. Every cache the driver makes is
 * non-paged and guarded by the spin lock; RECORD_CACHE_PAGED is reserved for a
 * pageable cache, which would take a fast mutex instead.
 */
#define RECORD_CACHE_PAGED 0x00000001

typedef struct _RECORD_CACHE {
    ULONG Flags;
    ULONG RecordSize;
    KSPIN_LOCK Lock;                        /* guards List's S-list and counters */
    NPAGED_LOOKASIDE_LIST List;
} RECORD_CACHE, *PRECORD_CACHE;

/* A page set owns the physical pages of a chunk: one or more page lists. */
typedef struct _PAGE_SET {
    ULONG Flags;
    ULONG PageListCount;
    struct _MDL **PageLists;                /* array from the generic pool ("X   ") */
    ULONGLONG TotalBytes;
    PVOID ReservedMapping;                  /* buffer mappings only; zero in the page store */
    SIZE_T ReservedMappingSize;
} PAGE_SET, *PPAGE_SET;

/* A chunk mapping owns the system-space mapping of a page set. */
#define CHUNK_MAPPING_OWNS_PAGE_SET   0x00000001
#define CHUNK_MAPPING_RESERVED        0x00000002

typedef struct _CHUNK_MAPPING {
    ULONG Flags;
    BOOLEAN Locked;
    PPAGE_SET PageSet;
    PVOID SystemAddress;
} CHUNK_MAPPING, *PCHUNK_MAPPING;

/*
 * DATA_CHUNK: one run of RAM that backs data, virtually contiguous. Records come
 * from VorelData.ChunkRecords ("XNT "). The reference count is interlocked.
 */
#define DATA_CHUNK_NO_CACHE 0x00000004      /* never parked in the chunk cache on release */

typedef struct _DATA_CHUNK {
    struct _VCB *Volume;                    /* whose counters account the chunk; may be null */
    PPAGE_SET PageSet;
    PCHUNK_MAPPING Mapping;
    PUCHAR Base;
    volatile LONG ReferenceCount;           /* interlocked; 1 when created */
    ULONG Size;
    ULONG Charged;                          /* bytes counted in the volume's charged bytes */
    ULONG Flags;
} DATA_CHUNK, *PDATA_CHUNK;

/*
 * STORE_VOLUME: the memory store's part of a volume control block (page-store
 * accounting, chunk cache, slab classes). FCB_DATA: the store's part of a node
 * (how its bytes are laid out). The memory store fills both in.
 */
typedef struct _STORE_VOLUME {
    ULONGLONG SizeBytes;                    /* the volume size charges are counted against */
} STORE_VOLUME, *PSTORE_VOLUME;

typedef struct _FCB_DATA {
    ULONG Reserved;
} FCB_DATA, *PFCB_DATA;
