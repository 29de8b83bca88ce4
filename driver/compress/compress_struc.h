/*
 * Cold-file compression records: the codec ids, the codec context a compression
 * worker or a reader works with, and the layout of an extent's compressed form.
 *
 * The compressed form of an extent (little-endian, also the stored bytes of a
 * compressed image slot):
 *
 *   0           ULONG   n, the number of sub-blocks: ceil(extent length / 2^shift)
 *   4           ULONG   end of each sub-block's bytes within the payload, cumulative (n of them)
 *   4 + 4n      UCHAR   flags of each sub-block: COMPRESSED_SUB_BLOCK_RAW (n of them)
 *   ...                 zero padding up to a multiple of 8 bytes: the header
 *   header      payload the sub-blocks back to back
 *
 * Every sub-block is 2^shift bytes of the extent except the last, which holds
 * what remains. A sub-block that the codec does not shrink is stored raw, so a
 * form never needs more than its header plus the extent length.
 *
 * Synchronization: a codec context belongs to one thread at a time (the volume's
 * compression worker, or a reader that set it up for itself); nothing in it is
 * shared. A compressed extent belongs to the extent entry that points at it and
 * is guarded as the entry is (the node's paging I/O resource). The cold queue
 * and every node's COLD_FILE links are guarded by the queue's spin lock; the
 * other COLD_FILE fields by the node's main resource, except the times, which
 * are single aligned words read without a lock.
 */
#pragma once

/* Codec ids, as recorded with every compressed form. Ids 0 and 1 have no coder. */
#define CODEC_NONE              0
#define CODEC_LZ4               2   /* LZ4 block, external state, acceleration 1 */
#define CODEC_LZ4_HC            3   /* LZ4 high compression, external state, level 9 */
#define CODEC_ZSTD              4   /* Zstandard one-shot, reusable context, level 9 */
#define CODEC_TABLE_ROWS        5

/* Volume compression levels and the codec each one chooses. */
#define COMPRESSION_LEVEL_NONE      0
#define COMPRESSION_LEVEL_FAST      1
#define COMPRESSION_LEVEL_NORMAL    2
#define COMPRESSION_LEVEL_MAX       3

/* Bounds of the form: sub-block shifts 12..21, extents of 1 byte to 2 MiB. */
#define COMPRESSED_SHIFT_MIN        12
#define COMPRESSED_SHIFT_MAX        21
#define COMPRESSED_EXTENT_MAX       0x200000u
#define COMPRESSED_SUB_BLOCK_RAW    0x01

/*
 * The output buffer of a compression context: a whole form of the largest extent
 * (2 MiB of payload at worst, every sub-block raw) plus its header, which is
 * below 4 KiB for any shift of at least 12.
 */
#define CODEC_SCRATCH_SIZE          0x201000u

#define TAG_COMPRESSED_EXTENT   POOL_TAG('v', 'l', 'C', 'p')   /* a compressed extent's holder */
#define TAG_READ_WINDOW         POOL_TAG('v', 'l', 'C', 'w')   /* a handle's decoded sub-block */
#define TAG_CODEC_STATE         POOL_TAG('v', 'l', 'C', 's')   /* LZ4 states, Zstandard contexts */
#define TAG_CODEC_SCRATCH       POOL_TAG('v', 'l', 'C', 'o')   /* a context's output buffer */

/*
 * CODEC_CONTEXT: everything one codec needs, allocated at setup so that coding
 * and decoding allocate nothing. An empty context (all zero) has Codec
 * CODEC_NONE. A compression context codes with its codec; a decoding context
 * decodes the forms of exactly its codec.
 */
typedef struct _CODEC_CONTEXT {
    ULONG Codec;                            /* CODEC_*; CODEC_NONE when empty */
    BOOLEAN ForCompression;
    UCHAR SubBlockShift;                    /* the codec's sub-block size, as a shift */
    PVOID CoderState;                       /* LZ4 or LZ4-HC state, ZSTD_CCtx or ZSTD_DCtx ("vlCs") */
    SIZE_T CoderStateSize;
    PUCHAR Scratch;                         /* compression only: CODEC_SCRATCH_SIZE bytes ("vlCo") */
    PUCHAR Staging;                         /* compression only: one sub-block's coded bound, after Scratch */
    ULONG StagingSize;
} CODEC_CONTEXT, *PCODEC_CONTEXT;

/* One sub-block of a checked form, as a read that needs only it decodes it. */
typedef struct _COMPRESSED_SUB_BLOCK {
    const UCHAR *Bytes;                     /* inside the form's payload */
    ULONG StoredSize;                       /* bytes at Bytes */
    ULONG ExpectedSize;                     /* bytes it decodes to */
    BOOLEAN Raw;                            /* stored as is: StoredSize == ExpectedSize */
} COMPRESSED_SUB_BLOCK, *PCOMPRESSED_SUB_BLOCK;
typedef const COMPRESSED_SUB_BLOCK *PCCOMPRESSED_SUB_BLOCK;

/*
 * COMPRESSED_EXTENT: the holder of one extent's compressed form ("vlCp"). The
 * form lives in a chunk of whole pages of the volume's store (its held bytes);
 * the chunk also carries the extent's charge (ExtentLength), so a compressed
 * extent stays counted at its uncompressed size and its release gives both back.
 * The codecs cannot tell every damaged input from a valid one (an LZ4 literal
 * decodes whatever it holds), so each sub-block's stored bytes carry a checksum,
 * taken when the form was made and checked before the sub-block is decoded.
 */
typedef struct _COMPRESSED_EXTENT {
    PDATA_CHUNK Pages;                      /* Base holds the form, zero-padded to the page */
    ULONG StoredLength;                     /* bytes of the form */
    ULONG ExtentLength;                     /* bytes it decodes to */
    UCHAR Codec;                            /* CODEC_* */
    ULONG SubBlockCount;                    /* entries in SubBlockSums */
    ULONG SubBlockSums[ANYSIZE_ARRAY];      /* low 32 bits of XXH3 of each sub-block's stored bytes */
} COMPRESSED_EXTENT, *PCOMPRESSED_EXTENT;
typedef const COMPRESSED_EXTENT *PCCOMPRESSED_EXTENT;

/* What CompressExtent did with one extent. */
typedef enum _COLD_EXTENT_OUTCOME {
    ColdExtentSkipped,                      /* a hole, compressed already, shared or marked cold */
    ColdExtentReleased,                     /* all zero: now a hole */
    ColdExtentCompressed,
    ColdExtentNotWorth                      /* coded but saving no page: marked cold */
} COLD_EXTENT_OUTCOME, *PCOLD_EXTENT_OUTCOME;

/*
 * COLD_FILE: a node's place in its volume's cold queue and its compression
 * history. Times are interrupt time in 100 ns units; 0 = never.
 */
typedef struct _COLD_FILE {
    LIST_ENTRY QueueLinks;                  /* the volume's cold queue, its lock */
    volatile LONG Queued;                   /* set under the queue lock; read without it as a hint */
    ULONGLONG QueuedAt;                     /* queue lock */
    volatile LONG64 LastDecompression;      /* when one of its extents was last decoded back */
    ULONG PurgeAttempts;                    /* 0..COLD_PURGE_ATTEMPTS, the worker's */
} COLD_FILE, *PCOLD_FILE;

#define COLD_PURGE_ATTEMPTS     3
#define COLD_FILE_MIN_SIZE      0x10000u    /* smaller files are never compressed */

/*
 * COLD_QUEUE: a volume's compression worker and the files waiting for it. Files
 * join at the tail with the time they joined (each holding a node reference);
 * the worker takes the head once it has waited the cold delay.
 */
typedef struct _COLD_QUEUE {
    KSPIN_LOCK Lock;                        /* Files, Count, every queued node's QueueLinks and QueuedAt */
    LIST_ENTRY Files;
    ULONG Count;
    volatile LONG Stopping;                 /* set: no file joins, the worker gives files up */
    volatile LONG Busy;                     /* the worker holds a file it took (teardown lets it settle) */
    volatile LONG Exit;                     /* set: the worker thread ends */
    PKTHREAD Worker;                        /* referenced; NULL when the volume has none */
} COLD_QUEUE, *PCOLD_QUEUE;
