/*
 * Image file records: the geometry of an image file, the header copy, the
 * metadata stream's records and the cursors that write and read them.
 *
 * All integers on disk are little-endian and are moved through byte helpers, so
 * no record here is ever overlaid on disk bytes: the records below are the
 * parsed forms, laid out for the driver, not for the file.
 *
 * File geometry: two header copies of IMAGE_HEADER_SIZE bytes at offsets 0 and
 * 4096, then image slots of 2^21 bytes; slot i starts at (i + 1) * 2^21. An
 * image slot holds one piece of the metadata stream or one data extent, written
 * rounded up to the file's sector size.
 *
 * Synchronization: none. Every record here belongs to the one thread that saves
 * or loads an image; the cursors work on buffers their caller owns.
 */
#pragma once

#define IMAGE_HEADER_SIZE           4096u
#define IMAGE_HEADER_COPIES         2u
#define IMAGE_FORMAT_VERSION        1u
#define IMAGE_FORMAT_COMPAT         2u          /* written at offset 10, never checked */
#define IMAGE_SLOT_SHIFT            21u
#define IMAGE_SLOT_SIZE             (1ull << IMAGE_SLOT_SHIFT)
#define IMAGE_SLOT_LIMIT            0x7FFFFFFFu /* slot numbers and the high-water mark stay below */
#define IMAGE_METADATA_SLOTS_MAX    975u
#define IMAGE_STREAM_LENGTH_MAX     (IMAGE_METADATA_SLOTS_MAX * IMAGE_SLOT_SIZE)
#define IMAGE_DEFAULT_SECTOR_SIZE   4096u
#define IMAGE_WRITER_THIS_SYSTEM    0u
#define IMAGE_LABEL_UNITS           32u

#define IMAGE_FLAG_DATA_CHECKSUMS   0x1ull

#define TAG_IMAGE_HEADER            POOL_TAG('v', 'l', 'I', 'h')   /* a header copy being checked */

/* Header copy byte offsets. */
#define IMAGE_HEADER_MAGIC_OFFSET           0
#define IMAGE_HEADER_VERSION_OFFSET         8
#define IMAGE_HEADER_COMPAT_OFFSET          10
#define IMAGE_HEADER_SIZE_OFFSET            12
#define IMAGE_HEADER_CHECKSUM_OFFSET        16
#define IMAGE_HEADER_GENERATION_OFFSET      24
#define IMAGE_HEADER_IDENTIFIER_OFFSET      32
#define IMAGE_HEADER_FLAGS_OFFSET           48
#define IMAGE_HEADER_SLOT_SHIFT_OFFSET      56
#define IMAGE_HEADER_WRITER_OFFSET          57
#define IMAGE_HEADER_HIGH_WATER_OFFSET      64
#define IMAGE_HEADER_VOLUME_SIZE_OFFSET     72
#define IMAGE_HEADER_SERIAL_OFFSET          80
#define IMAGE_HEADER_SECURITY_OFFSET        84
#define IMAGE_HEADER_COMPRESSION_OFFSET     88
#define IMAGE_HEADER_BUILD_HASH_OFFSET      92
#define IMAGE_HEADER_SAVE_TIME_OFFSET       96
#define IMAGE_HEADER_NEXT_NODE_OFFSET       104
#define IMAGE_HEADER_LABEL_OFFSET           112
#define IMAGE_HEADER_STREAM_LENGTH_OFFSET   176
#define IMAGE_HEADER_STREAM_CHECKSUM_OFFSET 184
#define IMAGE_HEADER_SLOT_COUNT_OFFSET      192
#define IMAGE_HEADER_SLOT_LIST_OFFSET       196

/*
 * IMAGE_HEADER: one header copy, parsed. BuildImageHeaderCopy writes it out and
 * computes the checksum; CheckImageHeaderCopy fills it from a valid copy.
 */
typedef struct _IMAGE_HEADER {
    USHORT Compat;                  /* offset 10: read back as found */
    ULONGLONG Generation;
    UCHAR Identifier[16];
    ULONGLONG Flags;                /* IMAGE_FLAG_* */
    UCHAR Writer;                   /* IMAGE_WRITER_THIS_SYSTEM for this system */
    ULONGLONG HighWater;            /* one more than the highest slot the image may use */
    ULONGLONG VolumeSize;
    ULONG SerialNumber;
    ULONG PerFileSecurity;          /* 0 or 1 */
    ULONG CompressionLevel;         /* 0..3 */
    ULONG BuildHash;                /* FNV-1a of the writer's build text */
    LONGLONG SaveTime;
    ULONGLONG NextNodeId;
    WCHAR Label[IMAGE_LABEL_UNITS]; /* NUL-padded, not necessarily terminated */
    ULONGLONG StreamLength;
    ULONGLONG StreamChecksum;
    ULONG MetadataSlotCount;
    ULONG MetadataSlots[IMAGE_METADATA_SLOTS_MAX];
} IMAGE_HEADER, *PIMAGE_HEADER;
typedef const IMAGE_HEADER *PCIMAGE_HEADER;

/* Metadata stream record types. Types below the top bit are skipped by a reader. */
#define IMAGE_RECORD_KNOWN_BIT      0x80000000u
#define IMAGE_RECORD_STREAM_START   0x80000001u
#define IMAGE_RECORD_SECURITY_TABLE 0x80000002u
#define IMAGE_RECORD_NODE           0x80000003u
#define IMAGE_RECORD_DIRECTORY      0x80000004u
#define IMAGE_RECORD_STREAM_END     0x80000005u

#define IMAGE_RECORD_HEAD_SIZE      8u
#define IMAGE_RECORD_ALIGNMENT      8u

/* Node sub-record types. */
#define IMAGE_NODE_EAS              1u
#define IMAGE_NODE_REPARSE          2u
#define IMAGE_NODE_RESERVED         3u  /* refused as another system's */
#define IMAGE_NODE_DATA_MAP         4u

/* Node record. */
#define IMAGE_NODE_FIXED_SIZE       72u
#define IMAGE_NODE_ROOT_ID          1ull
#define IMAGE_NODE_SIZE_MAX         (1ull << 53)
#define IMAGE_NODE_ATTRIBUTE_MASK   0x3127u
#define IMAGE_NODE_NO_SECURITY      0xFFFFFFFFu
#define IMAGE_NODE_DIRECTORY        0x01u
#define IMAGE_NODE_SPARSE           0x02u
#define IMAGE_NODE_UNSUPPORTED      0x04u   /* refused by this format version */
#define IMAGE_NODE_OWN_SECURITY     0x08u
#define IMAGE_NODE_KNOWN_FLAGS      0x0Fu

typedef struct _IMAGE_NODE_RECORD {
    ULONGLONG NodeId;
    ULONGLONG FileSize;
    ULONGLONG AllocationSize;
    LONGLONG CreationTime;
    LONGLONG LastWriteTime;
    LONGLONG LastAccessTime;
    LONGLONG ChangeTime;
    ULONG Attributes;               /* as written; a reader masks with IMAGE_NODE_ATTRIBUTE_MASK */
    ULONG LinkCount;
    ULONG SecurityIndex;            /* or IMAGE_NODE_NO_SECURITY */
    UCHAR Flags;                    /* IMAGE_NODE_* */
} IMAGE_NODE_RECORD, *PIMAGE_NODE_RECORD;
typedef const IMAGE_NODE_RECORD *PCIMAGE_NODE_RECORD;

/* Data map entry: one stored extent of a file. */
#define IMAGE_DATA_MAP_HEAD_SIZE    8u
#define IMAGE_DATA_MAP_ENTRY_SIZE   24u
#define IMAGE_STORED_LENGTH_MASK    0x00FFFFFFu
#define IMAGE_STORED_CODEC_SHIFT    24
#define IMAGE_STORED_CODEC_MASK     0x0F000000u
#define IMAGE_STORED_RESERVED_MASK  0x70000000u
#define IMAGE_STORED_COLD           0x80000000u

typedef struct _IMAGE_DATA_MAP_ENTRY {
    ULONG ExtentNumber;             /* covers file bytes from ExtentNumber * 2^21 */
    ULONG SlotNumber;
    ULONG ExtentLength;             /* 1..2^21 */
    ULONG StorageWord;              /* stored length, codec, cold mark */
    ULONGLONG Checksum;             /* XXH3 of the stored bytes, or 0 without checksums */
} IMAGE_DATA_MAP_ENTRY, *PIMAGE_DATA_MAP_ENTRY;
typedef const IMAGE_DATA_MAP_ENTRY *PCIMAGE_DATA_MAP_ENTRY;

/* Security table and directory records. */
#define IMAGE_SECURITY_HEAD_SIZE    8u
#define IMAGE_DIRECTORY_HEAD_SIZE   16u
#define IMAGE_DIRECTORY_ENTRY_HEAD  16u
#define IMAGE_NAME_BYTES_MIN        2u
#define IMAGE_NAME_BYTES_MAX        510u
#define IMAGE_STREAM_END_SIZE       16u

/*
 * IMAGE_STREAM_WRITER: appends records to a caller's buffer. A record is opened
 * (its head reserved), filled, and closed (its length patched, its padding
 * zeroed); sub-records nest inside an open record the same way. Nothing is
 * written past Capacity: an append that would not fit fails with
 * STATUS_BUFFER_TOO_SMALL and leaves the writer as it was.
 */
#define IMAGE_WRITER_DEPTH          2u

typedef struct _IMAGE_STREAM_WRITER {
    PUCHAR Buffer;
    SIZE_T Capacity;
    SIZE_T Length;                  /* bytes appended so far */
    ULONG Depth;                    /* records open */
    SIZE_T OpenHeads[IMAGE_WRITER_DEPTH]; /* offset of each open record's head */
} IMAGE_STREAM_WRITER, *PIMAGE_STREAM_WRITER;

/*
 * IMAGE_STREAM_READER: a bounds-checked cursor over a run of records (the whole
 * stream, or a node's sub-records). Each record it hands out lies wholly inside
 * the run; it never reads a byte outside [Buffer, Buffer + Length).
 */
typedef struct _IMAGE_STREAM_READER {
    const UCHAR *Buffer;
    SIZE_T Length;
    SIZE_T Offset;                  /* of the next record head */
} IMAGE_STREAM_READER, *PIMAGE_STREAM_READER;

typedef struct _IMAGE_RECORD {
    ULONG Type;
    ULONG PayloadLength;
    const UCHAR *Payload;
} IMAGE_RECORD, *PIMAGE_RECORD;

/*
 * IMAGE_FIELD_CURSOR: a bounds-checked cursor over one record's payload, for
 * its fixed fields and its entries.
 */
typedef struct _IMAGE_FIELD_CURSOR {
    const UCHAR *Buffer;
    SIZE_T Length;
    SIZE_T Offset;
} IMAGE_FIELD_CURSOR, *PIMAGE_FIELD_CURSOR;

/* The security table: entries handed out one by one. */
typedef struct _IMAGE_SECURITY_TABLE {
    ULONG Count;
    ULONG Next;                     /* entries handed out so far */
    IMAGE_FIELD_CURSOR Cursor;
} IMAGE_SECURITY_TABLE, *PIMAGE_SECURITY_TABLE;

/*
 * A node's data map, its entries handed out one by one and each checked against
 * the node's file size and the image's slot range. Extent numbers rise strictly.
 */
typedef struct _IMAGE_DATA_MAP {
    ULONG Count;
    ULONG Next;
    ULONGLONG FileSize;             /* of the node that holds the map */
    ULONGLONG HighWater;            /* slots at or above are outside the image */
    LONGLONG LastExtent;            /* -1 before the first entry */
    IMAGE_FIELD_CURSOR Cursor;
} IMAGE_DATA_MAP, *PIMAGE_DATA_MAP;

/* A directory record, its entries handed out one by one. */
typedef struct _IMAGE_DIRECTORY {
    ULONGLONG DirectoryId;
    ULONG Count;
    ULONG Next;
    IMAGE_FIELD_CURSOR Cursor;
} IMAGE_DIRECTORY, *PIMAGE_DIRECTORY;

typedef struct _IMAGE_DIRECTORY_ENTRY {
    ULONGLONG ChildId;
    USHORT NameLength;              /* bytes */
    const UCHAR *Name;              /* UTF-16LE, in the stream; not aligned for WCHAR access */
} IMAGE_DIRECTORY_ENTRY, *PIMAGE_DIRECTORY_ENTRY;

/*
 * IMAGE_SLOT_CLAIMS: one bit per slot number below HighWater, in a caller's
 * buffer of (HighWater + 63) / 64 words, so that no slot is used twice.
 */
typedef struct _IMAGE_SLOT_CLAIMS {
    PULONGLONG Words;
    ULONGLONG HighWater;
} IMAGE_SLOT_CLAIMS, *PIMAGE_SLOT_CLAIMS;

/*
 * IMAGE_SLOT_TABLE: per slot number below Capacity, whether the slot is used
 * and, for a data slot, what it holds. The committed image's table says which
 * slots a save must not overwrite and which stored extents it may reuse; a save
 * and a load build a new one. Grows by doubling ("vlIs").
 */
typedef struct _IMAGE_SLOT_RECORD {
    ULONGLONG Checksum;             /* XXH3 of the stored bytes, or 0 without checksums */
    ULONG StoredLength;             /* bytes of the extent as stored */
    ULONG StorageWord;              /* the data map entry's word; 0 for a metadata slot */
} IMAGE_SLOT_RECORD, *PIMAGE_SLOT_RECORD;

typedef struct _IMAGE_SLOT_TABLE {
    PULONGLONG Bits;                /* one bit per slot, set = used */
    PIMAGE_SLOT_RECORD Records;
    ULONG Capacity;                 /* slots covered, a multiple of 64 */
} IMAGE_SLOT_TABLE, *PIMAGE_SLOT_TABLE;

/* What a successful save did; the persistence state reports SlotsWritten. */
typedef struct _IMAGE_SAVE_STATISTICS {
    ULONGLONG SlotsWritten;         /* data and metadata slots */
    ULONGLONG SlotsReused;          /* data slots kept from the committed image */
    ULONGLONG BytesWritten;         /* slot and header bytes, as written */
    ULONGLONG ReuseMismatches;      /* remembered slots whose committed record no longer matched */
    BOOLEAN Full;                   /* nothing could be reused */
} IMAGE_SAVE_STATISTICS, *PIMAGE_SAVE_STATISTICS;

#define IMAGE_BINDING_SIGNATURE     0x646E4249u     /* "IBnd" */
#define IMAGE_PATH_UNITS_MAX        511u            /* the path as given, without "\??\" */
#define IMAGE_TRANSFER_SIZE         IMAGE_SLOT_SIZE

#define TAG_IMAGE_BINDING           POOL_TAG('v', 'l', 'I', 'b')
#define TAG_IMAGE_PATH              POOL_TAG('v', 'l', 'I', 'p')
#define TAG_IMAGE_SLOTS             POOL_TAG('v', 'l', 'I', 's')
#define TAG_IMAGE_TRANSFER          POOL_TAG('v', 'l', 'I', 't')
#define TAG_IMAGE_STREAM            POOL_TAG('v', 'l', 'I', 'm')
#define TAG_IMAGE_LOAD              POOL_TAG('v', 'l', 'I', 'l')   /* a load's node and security tables */

/*
 * IMAGE_BINDING: a volume's open image file ("vlIb", non-paged), owned by the
 * volume device record from create (or a save to a new path) until teardown or
 * the next rebinding. SaveInProgress changes only by compare-exchange and admits
 * one save at a time; every other field but the last-save ones is changed only
 * by the save that holds it, or before the binding is installed.
 */
typedef struct _IMAGE_BINDING {
    ULONG Signature;                /* IMAGE_BINDING_SIGNATURE while live */
    HANDLE File;                    /* kernel handle */
    UNICODE_STRING Path;            /* "\??\" and the path as given ("vlIp") */
    ULONG SectorSize;               /* the target's bytes per sector, 4096 when it reports 0 */
    BOOLEAN Checksums;              /* data slots carry XXH3 checksums */
    BOOLEAN Committed;              /* the file holds a committed image */
    ULONG ActiveCopy;               /* header copy of the committed image */
    ULONGLONG Generation;
    UCHAR Identifier[16];
    ULONGLONG HighWater;
    IMAGE_SLOT_TABLE CommittedSlots; /* empty until a load or a save learns them */
    BOOLEAN SlotsKnown;             /* CommittedSlots describes the committed image */
    IMAGE_SAVE_STATISTICS Statistics;
    BOOLEAN StatisticsValid;
    volatile LONG SaveInProgress;
    volatile LONG LastSaveStatus;
    volatile LONG64 LastSaveTime;   /* after a load: the header's save time */
} IMAGE_BINDING, *PIMAGE_BINDING;

/* The committed header's volume settings, which replace the requested ones at create. */
typedef struct _IMAGE_LOADED_VALUES {
    BOOLEAN Valid;                  /* the file holds a committed image */
    ULONGLONG VolumeSize;
    ULONG SerialNumber;
    ULONG PerFileSecurity;
    ULONG CompressionLevel;
    WCHAR Label[IMAGE_LABEL_UNITS]; /* at most 31 units, terminated */
} IMAGE_LOADED_VALUES, *PIMAGE_LOADED_VALUES;
typedef const IMAGE_LOADED_VALUES *PCIMAGE_LOADED_VALUES;

/*
 * IMAGE_LOAD_NODE: one node a load made (the root is not among them), with the
 * names the stream gave it so far. For a directory, Up is the table index + 1
 * of a directory above it as the names given so far link them (0: none, it is
 * the topmost of its group), so that a name that would hang a directory below
 * itself is found at once.
 */
typedef struct _IMAGE_LOAD_NODE {
    ULONGLONG NodeId;
    PFCB Fcb;                       /* the load's reference */
    ULONG Linked;                   /* names given so far */
    ULONG LinkCount;                /* names the node record promises */
    ULONG Up;
} IMAGE_LOAD_NODE, *PIMAGE_LOAD_NODE;

/* IMAGE_LOAD_DESCRIPTOR: where one security table entry lies in the stream. */
typedef struct _IMAGE_LOAD_DESCRIPTOR {
    const UCHAR *Bytes;
    ULONG Length;
} IMAGE_LOAD_DESCRIPTOR, *PIMAGE_LOAD_DESCRIPTOR;

#define IMAGE_LOAD_NODES_INITIAL    1024u

/*
 * IMAGE_LOAD: the state of one load, owned by the mount that runs it ("vlIl"
 * for the node and descriptor tables). Slots.Bits doubles as the claims' words,
 * so that every slot met (metadata and data) is claimed once and the table that
 * results is the committed one. SlotLimit bounds every slot number: below the
 * header's high-water mark and starting inside the file, so that no table is
 * sized by what a header claims but by what the file holds.
 */
typedef struct _IMAGE_LOAD {
    struct _VCB *Vcb;
    PIMAGE_BINDING Binding;
    PIMAGE_HEADER Header;           /* the active copy ("vlIh") */
    PUCHAR Transfer;                /* IMAGE_TRANSFER_SIZE bytes, page-aligned ("vlIt") */
    PUCHAR Stream;                  /* the metadata stream, page-aligned ("vlIm") */
    SIZE_T StreamLength;
    ULONGLONG FileSize;
    ULONGLONG SlotLimit;
    IMAGE_SLOT_CLAIMS Claims;
    IMAGE_SLOT_TABLE Slots;
    PIMAGE_LOAD_DESCRIPTOR Descriptors;
    ULONG DescriptorCount;
    BOOLEAN SecurityTableSeen;
    BOOLEAN RootSeen;
    BOOLEAN Sorted;                 /* the node table is sorted: directory records have begun */
    BOOLEAN EndSeen;
    PIMAGE_LOAD_NODE Nodes;
    ULONG NodeCount;
    ULONG NodeCapacity;
    ULONGLONG NodeRecords;          /* node records met, the root's included */
    ULONGLONG LargestNodeId;
    ULONGLONG EntriesSeen;          /* directory entries inserted */
    ULONGLONG EndEntryCount;        /* the stream end's count */
    ULONG Stage;                    /* a stage fixed by where the failure happened; 0: by its status */
} IMAGE_LOAD, *PIMAGE_LOAD;

/* Stages of the persistence error record. */
#define IMAGE_STAGE_OPEN            1u      /* the path or the open */
#define IMAGE_STAGE_DEVICE          2u
#define IMAGE_STAGE_SECTOR_SIZE     3u
#define IMAGE_STAGE_SPARSE          4u
#define IMAGE_STAGE_FILE_SIZE       5u
#define IMAGE_STAGE_UUID            6u
#define IMAGE_STAGE_NO_HEADER       7u
#define IMAGE_STAGE_METADATA_READ   8u
#define IMAGE_STAGE_CHECKSUM        9u
#define IMAGE_STAGE_CORRUPT         10u
#define IMAGE_STAGE_REACHABILITY    11u
#define IMAGE_STAGE_SLOT_IO         12u     /* load: "image slot read failed"; save: "save failed" */
#define IMAGE_STAGE_SLOT_SPACE      13u
#define IMAGE_STAGE_STREAM_SIZE     14u
#define IMAGE_STAGE_MEMORY          15u
#define IMAGE_STAGE_NOT_BOUND       16u
#define IMAGE_STAGE_SAVE_BUSY       17u
#define IMAGE_STAGE_OTHER_SYSTEM    19u

/*
 * IMAGE_SAVE: one save in progress, owned by the thread that runs it. Node
 * records and directory records are gathered in two growable writers while the
 * tree is walked; the descriptors they name are gathered in a table (each
 * distinct descriptor copied once, numbered in order of first use) so that the
 * stream can be assembled with the table in front.
 */
typedef struct _IMAGE_SAVED_DESCRIPTOR {
    ULONGLONG Hash;
    ULONG Length;
    PUCHAR Bytes;                   /* the save's own copy ("vlIm") */
} IMAGE_SAVED_DESCRIPTOR, *PIMAGE_SAVED_DESCRIPTOR;

typedef struct _IMAGE_SAVE {
    struct _VCB *Vcb;
    struct _VOLUME_DEVICE_RECORD *Vdr;
    PIMAGE_BINDING Binding;
    BOOLEAN Full;                   /* no stored extent may be reused */
    PUCHAR Transfer;                /* IMAGE_TRANSFER_SIZE bytes, page-aligned */
    IMAGE_SLOT_TABLE Claimed;       /* every slot the new image uses */
    ULONG Cursor;                   /* new slots are looked for from here (at first: above every slot
                                       a committed image of unknown table may use) */
    ULONGLONG PreviousHighWater;
    IMAGE_STREAM_WRITER Nodes;      /* node records ("vlIm") */
    IMAGE_STREAM_WRITER Directories; /* directory records ("vlIm") */
    ULONGLONG NodeCount;
    ULONGLONG EntryCount;
    PIMAGE_SAVED_DESCRIPTOR Descriptors; /* in index order ("vlIm") */
    PULONG DescriptorIndex;         /* open addressing: entry + 1, 0 free ("vlIm") */
    ULONG DescriptorCount;
    ULONG DescriptorCapacity;       /* a power of two; the index has twice as many cells */
    SIZE_T DescriptorBytes;         /* the security table's payload so far */
    IMAGE_SAVE_STATISTICS Statistics;
} IMAGE_SAVE, *PIMAGE_SAVE;
