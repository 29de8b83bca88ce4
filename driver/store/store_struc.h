/*
 * Memory store records: the record caches, the page store (pages, chunks, the
 * per-volume accounting, chunk cache and slabs) and the layout of a file's data.
 *
 * Synchronization (see the driver-wide order in core_struc.h):
 *   - STORE_VOLUME counters change only by interlocked 64-bit adds; the chunk
 *     cache and each slab class have their own spin lock, never nested, and
 *     nothing allocates, maps or frees pages while holding one.
 *   - A DATA_CHUNK's reference count is interlocked; a chunk held by more than one
 *     file (shared) is read-only.
 *   - FCB_DATA is guarded by the node's paging I/O resource: held exclusively for
 *     every change of size, tier, extent table or sharing; held shared by reads,
 *     in-place writes and the paging write path, which change only what their
 *     fields say (interlocked or published by compare-exchange).
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
 * Sizes and limits of the store.
 */
#define EXTENT_SIZE             0x200000u           /* extent, slab and cached chunk */
#define EXTENT_SHIFT            21
#define EXTENT_MASK             (EXTENT_SIZE - 1)
#define SMALL_FILE_LIMIT        2048u               /* largest data kept in a slot */
#define MAX_FILE_OFFSET         0x20000000000000ull /* largest end of file data (2^53) */
#define MAX_EXTENTS             1677721u            /* extent table of at most 64 MiB */
#define PAGE_LIST_LIMIT         0xFFFFE000u         /* largest run one page list describes */
#define CHUNK_CACHE_DEPTH       16u
#define LOW_MEMORY_PAGES        0x3FFFFu            /* available pages at or below: memory is low */
#define PRESSURE_CACHE_TIME     1000000ull          /* 100 ms in 100 ns units */
#define SLAB_CLASS_COUNT        4u
#define SLACK_LIMIT             0x10000u            /* slack below this is not worth giving back */

#define TAG_SLAB            POOL_TAG('v', 'l', 'S', 'b')
#define TAG_EXTENT_TABLE    POOL_TAG('v', 'l', 'E', 'x')

/* Invariant numbers of the data layout (parameter 1 of VOREL_BUGCHECK). */
#define INVARIANT_ON_DEMAND_COMPRESSED      550     /* an extent allocated on demand holds a compressed form */
#define INVARIANT_COPY_ACROSS_MISSING       626     /* a copy across extents found no memory */
#define INVARIANT_COPY_ACROSS_SHARED        629     /* a copy across extents reached a shared extent */
#define INVARIANT_ZERO_SHARED_EXTENT        636     /* zeroing reached a shared extent */
#define INVARIANT_WRITE_NO_DATA_BASE        1362    /* a write to a slot or single buffer found no memory */
#define INVARIANT_WRITE_SHARED_OR_BEYOND    1366    /* a write reached a shared single buffer, or data beyond the table */
#define INVARIANT_WRITE_EXTENT_NO_DATA      1381    /* a write within one extent found no memory */
#define INVARIANT_WRITE_EXTENT_SHARED       1382    /* a write within one extent found it shared */
#define INVARIANT_ZERO_SHARED_SINGLE        1400    /* zeroing reached a shared single buffer */
#define INVARIANT_RESERVE_COMPRESSED        1917    /* a reservation found a hole that holds a compressed form */
#define INVARIANT_DECOMPRESS_UNLOCKED       2690    /* extents decompressed without the paging resource exclusive */
#define INVARIANT_SIZE_BEYOND_LIMIT         3365    /* sizes extended beyond MAX_FILE_OFFSET */

struct _STORE_VOLUME;

/*
 * DATA_CHUNK: one run of RAM that backs data, mapped once into system space and
 * virtually contiguous. Records come from VorelData.ChunkRecords ("XNT "). The
 * reference count is interlocked; the other fields belong to whoever holds the
 * only reference, or are fixed while the chunk is shared.
 */
#define DATA_CHUNK_NO_CACHE 0x00000004      /* never parked in the chunk cache on release */

typedef struct _DATA_CHUNK {
    struct _STORE_VOLUME *Volume;           /* whose counters account the chunk; may be null */
    PPAGE_SET PageSet;
    PCHUNK_MAPPING Mapping;
    PUCHAR Base;
    volatile LONG ReferenceCount;           /* interlocked; 1 when created */
    ULONG Size;
    ULONG Charged;                          /* bytes counted in the volume's charged bytes */
    ULONG Flags;
} DATA_CHUNK, *PDATA_CHUNK;

/*
 * CACHED_CHUNK_LINK: the link of a free 2 MiB chunk in a volume's chunk cache. It
 * is written into the first 16 bytes of the chunk's own memory, so the cache costs
 * no memory of its own.
 */
typedef struct _CACHED_CHUNK_LINK {
    struct _CACHED_CHUNK_LINK *Next;
    PDATA_CHUNK Chunk;
} CACHED_CHUNK_LINK, *PCACHED_CHUNK_LINK;

typedef struct _CHUNK_CACHE {
    KSPIN_LOCK Lock;                        /* guards Head and Count */
    PCACHED_CHUNK_LINK Head;
    ULONG Count;                            /* at most CHUNK_CACHE_DEPTH */
} CHUNK_CACHE, *PCHUNK_CACHE;

/*
 * SLAB: a 2 MiB chunk cut into equal slots for files of up to 2048 bytes. The
 * header (non-paged pool, "vlSb") ends in the bitmap of freed slots, one bit per
 * slot. Every field is guarded by the lock of the slab's class.
 */
typedef struct _SLAB {
    LIST_ENTRY Links;                       /* in the class list while a slot is free */
    PDATA_CHUNK Chunk;
    PUCHAR DataBase;
    ULONG ClassIndex;
    ULONG SlotSize;
    ULONG SlotCount;
    ULONG FreeCount;
    ULONG NextUnused;                       /* slots from here on were never handed out */
    RTL_BITMAP FreeSlots;                   /* set = freed and reusable */
    ULONG FreeSlotBits[1];                  /* SlotCount bits */
} SLAB, *PSLAB;

typedef struct _SLAB_CLASS {
    KSPIN_LOCK Lock;                        /* guards this record and its slabs */
    LIST_ENTRY Slabs;                       /* slabs with a free slot, fullest use first */
    PSLAB EmptySlab;                        /* one wholly free slab kept for reuse */
    ULONG SlabCount;
    ULONG UsedSlots;
} SLAB_CLASS, *PSLAB_CLASS;

/*
 * STORE_VOLUME: the memory store's part of a volume control block. The three byte
 * counters change only by interlocked adds:
 *   ChargedBytes  counted against SizeBytes (the sum of every chunk's Charged);
 *   HeldBytes     memory held by chunks in use, charged or not;
 *   ReleasedBytes every byte of charge ever given back; never decreases.
 * DiskFullRetryMark is the ReleasedBytes value at which a write last gave up
 * waiting for room (-1 before any did): later writes that meet a full volume
 * with the counter still there fail at once instead of waiting again.
 */
typedef struct _STORE_VOLUME {
    ULONGLONG SizeBytes;                    /* the volume size; written by create and resize */
    volatile LONG64 ChargedBytes;
    volatile LONG64 HeldBytes;
    volatile LONG64 ReleasedBytes;
    volatile LONG64 DiskFullRetryMark;      /* interlocked */
    volatile UCHAR ChargeSuspended;         /* set while an image loads: the size check passes */
    CHUNK_CACHE ChunkCache;
    SLAB_CLASS SlabClasses[SLAB_CLASS_COUNT];
} STORE_VOLUME, *PSTORE_VOLUME;

/*
 * EXTENT_ENTRY: 2 MiB of a file, indexed by file offset >> EXTENT_SHIFT. An entry
 * with neither data nor compressed form is a hole: it reads as zeros and holds no
 * memory and no charge. Data is published by compare-exchange on the paging write
 * path; ImageWord and Flags change by interlocked operations where the paging
 * resource is held shared.
 */
#define EXTENT_SHARED           0x00000001  /* shares its chunk with another file (copy-on-write) */
#define EXTENT_COLD             0x00000002  /* did not compress well; cleared by every access */
#define EXTENT_RESERVING        0x00000004  /* new, uncharged memory of a reservation in progress; seen
                                               only by the holder of the paging resource exclusively */
#define IMAGE_WORD_MODIFIED     0x80000000  /* modified since the last image save */

typedef struct _EXTENT_ENTRY {
    PDATA_CHUNK Chunk;
    struct _COMPRESSED_EXTENT *Compressed;  /* the compressed form while compressed (Data is null) */
    PVOID Data;                             /* the chunk's base */
    ULONG Size;                             /* EXTENT_SIZE, except for the one partial extent */
    ULONG ImageWord;
    ULONG Flags;
    ULONG LastAccess;                       /* interrupt time >> 23 of the last write, zeroing or decoding */
} EXTENT_ENTRY, *PEXTENT_ENTRY;

/*
 * FCB_DATA: the store's part of a node, guarded by its paging I/O resource. A
 * file's data lives in one of three tiers: a slot of a slab (at most 2048 bytes),
 * one single buffer (at most EXTENT_SIZE) or a table of extents; it moves only
 * forward through them until ReleaseAllData. Every byte of memory between the file
 * size and the capacity reads as zero.
 */
#define SINGLE_SHARED 0x00000001            /* the single buffer is shared (copy-on-write) */

typedef struct _FCB_DATA {
    struct _STORE_VOLUME *Volume;           /* set when the node is made */
    PDATA_CHUNK SingleChunk;
    PUCHAR DataBase;                        /* the slot's or single buffer's memory */
    PEXTENT_ENTRY Extents;                  /* "vlEx"; null before conversion */
    PSLAB Slab;
    ULONGLONG Capacity;                     /* bytes of memory reserved; interlocked on the paging path */
    ULONGLONG FileSize;                     /* raised by compare-exchange on the paging path */
    ULONGLONG RequestedAllocation;          /* allocation size set by the user; 0 = none */
    ULONG ExtentCapacity;                   /* entries in Extents */
    ULONG SingleFlags;
    ULONG SingleImageWord;                  /* image word of the slot or single buffer; interlocked */
    ULONG SlotIndex;
    ULONG PartialExtentIndex;
    ULONG CompressedExtentCount;
    ULONG CompressionGeneration;            /* grows with every extent compressed: keys decoded sub-blocks */
    BOOLEAN PartialExtentPending;           /* one entry holds less than EXTENT_SIZE */
    BOOLEAN HasSharedExtents;
} FCB_DATA, *PFCB_DATA;

/* ALLOCATED_RANGE: one run of allocated data, as the allocated-ranges query reports it. */
typedef struct _ALLOCATED_RANGE {
    ULONGLONG Offset;
    ULONGLONG Length;
} ALLOCATED_RANGE, *PALLOCATED_RANGE;

C_ASSERT(sizeof(EXTENT_ENTRY) == 40);         /* MAX_EXTENTS entries fit in 64 MiB */
C_ASSERT(sizeof(CACHED_CHUNK_LINK) == 16);    /* the cache link fills a chunk's first 16 bytes */
