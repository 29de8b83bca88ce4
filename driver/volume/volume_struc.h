/*
 * Volume records: the volume device record of a volume's disk device and the
 * volume control block of its file-system device.
 */
#pragma once

#define VCB_SIGNATURE 0x76434256 /* "VBCv" */
#define VDR_SIGNATURE 0x6B734456 /* "VDsk" */

#define TAG_VOLUME_REQUEST  POOL_TAG('v', 'l', 'M', 'r')   /* mount-manager request buffers */
#define TAG_VOLUME_SPARE    POOL_TAG('v', 'l', 'V', 'p')   /* the spare VPB a mount keeps */
#define TAG_VOLUME_SCRATCH  POOL_TAG('v', 'l', 'V', 's')   /* registry and path scratch buffers */

/* Volume states; changed only under VorelData.VolumeListLock. */
#define VOLUME_CREATING 0
#define VOLUME_ONLINE 1
#define VOLUME_REMOVING 2
#define VOLUME_BUSY 3

#define VOLUME_LABEL_UNITS 32                   /* at most 31 characters and the terminator */
#define VOLUME_DEVICE_NAME_UNITS 64             /* 128 bytes: "\Device\Volume{GUID}" fits */
#define VOLUME_UNIQUE_ID_BYTES 16
#define VOLUME_MINIMUM_SIZE 0x400000ull         /* 4 MiB, without an image */

/*
 * VOLUME_DEVICE_RECORD: the extension of a volume's disk device, from create until
 * the final free. The list links and State are guarded by the volume list lock;
 * MountedDevice is written under it (by mount and teardown) and read under it
 * by everyone but the volume's own lifecycle, which the states keep apart. The
 * other fields are fixed once the record is listed, but SizeBytes (a single
 * aligned 64-bit store, changed by resize) and OldVpb (teardown and final free).
 */
typedef struct _VOLUME_DEVICE_RECORD {
    ULONG Signature;                        /* VDR_SIGNATURE while live */
    LIST_ENTRY ListLinks;                   /* VorelData.VolumeList */
    ULONG State;                            /* VOLUME_CREATING .. VOLUME_BUSY */
    PDEVICE_OBJECT DiskDevice;              /* the device whose extension this is */
    WCHAR Letter;                           /* 'A'..'Z' */
    volatile ULONGLONG SizeBytes;           /* capacity; resize writes it with release semantics */
    WCHAR Label[VOLUME_LABEL_UNITS];
    UCHAR PerFileSecurity;
    UCHAR NoRecycle;
    ULONG CompressionLevel;                 /* 0 none .. 3 max, as created */
    ULONG SerialNumber;
    UCHAR UniqueId[VOLUME_UNIQUE_ID_BYTES]; /* (letter | 0x766C0000) little-endian, then zeros */
    UNICODE_STRING DeviceName;              /* points at DeviceNameBuffer */
    WCHAR DeviceNameBuffer[VOLUME_DEVICE_NAME_UNITS];
    PDEVICE_OBJECT MountedDevice;           /* the file-system device; null until mounted */
    struct _IMAGE_BINDING *Binding;         /* the image file, or null; replaced only by a save while Busy */
    NTSTATUS LoadStatus;                    /* why the last mount's image load failed; the creating thread's */
    PVPB OldVpb;                            /* swapped out by teardown; the final free releases it */
} VOLUME_DEVICE_RECORD, *PVOLUME_DEVICE_RECORD;

/* One holder of handles on a volume: a process and how many handles it has open there. */
typedef struct _VOLUME_HOLDER {
    ULONG ProcessId;
    LONG OpenCount;
} VOLUME_HOLDER, *PVOLUME_HOLDER;

#define VOLUME_HOLDER_SLOTS 64

/* The cold-file compression counters, in the order the statistics request reports them. */
typedef struct _COMPRESSION_COUNTERS {
    volatile LONG64 CompressedFiles;
    volatile LONG64 CompressedExtentBytes;
    volatile LONG64 CompressedMemory;
    volatile LONG64 ExtentsCompressed;
    volatile LONG64 ExtentsDecompressed;
    volatile LONG64 ExtentsNotWorthCompressing;
    volatile LONG64 ZeroExtentsReleased;
} COMPRESSION_COUNTERS, *PCOMPRESSION_COUNTERS;

/*
 * VOLUME_IO_SLOT: one processor's I/O counters of a volume, a cache line of its
 * own so processors never share one. Slots 0..3: write operations, bytes
 * written, read operations, bytes read; interlocked.
 */
#define VOLUME_IO_SLOTS 64
#define VOLUME_IO_SLOT_BYTES 128
#define IO_SLOT_WRITE_COUNT 0                   /* then the bytes written */
#define IO_SLOT_READ_COUNT 2                    /* then the bytes read */

typedef struct _VOLUME_IO_SLOT {
    volatile LONG64 Counters[VOLUME_IO_SLOT_BYTES / sizeof(LONG64)];
} VOLUME_IO_SLOT, *PVOLUME_IO_SLOT;

/*
 * VCB: the file-system device's extension of a mounted volume. Requests are
 * admitted through the hold count and event and the rundown protection at the end
 * of the extension (VcbRundown); teardown sets the dismounted flag under the main
 * resource. The per-processor I/O counters sit between the VCB and the rundown
 * block (VcbIoSlots), both aligned to 128 bytes.
 */
typedef struct _VCB {
    ULONG Signature;
    volatile LONG HoldCount;                /* interlocked; non-zero: new non-paging requests wait */
    KEVENT HoldEvent;                       /* notification; signalled while not held */
    ERESOURCE Resource;                     /* main resource */
    volatile UCHAR Dismounted;              /* written under Resource with release semantics, read with acquire */
    ULONG RundownOffset;                    /* bytes from the VCB to its rundown block */
    ULONG IoSlotsOffset;                    /* bytes from the VCB to its I/O counters */
    WORKER_QUEUE WorkerQueue;
    STORE_VOLUME Store;

    /* Fixed at mount. */
    PVOLUME_DEVICE_RECORD Vdr;
    PDEVICE_OBJECT DeviceObject;            /* the file-system device */
    BOOLEAN NoRecycle;
    PVPB SpareVpb;                          /* kept for teardown's swap; null once used */

    /* Cold-file compression parameters. */
    volatile LONG CompressionLevel;         /* interlocked */
    KEVENT CompressionEvent;                /* synchronization: wakes the compression worker */
    ULONG ColdDelayMs;
    ULONG RoundWaitMs;
    ULONG RecentDecompressionGuardMs;
    COMPRESSION_COUNTERS CompressionCounters; /* interlocked */
    COLD_QUEUE ColdQueue;

    /* Image persistence: the binding whose committed image matches the volume's
       stored-extent memory (null when none does); written by saves and the load. */
    struct _IMAGE_BINDING *SyncedBinding;

    /* Processes holding handles on the volume. */
    KSPIN_LOCK HolderLock;                  /* Holders and HolderSlotsInUse */
    ULONG HolderSlotsInUse;
    VOLUME_HOLDER Holders[VOLUME_HOLDER_SLOTS];

    /* The node tree. */
    ERESOURCE TreeResource;                 /* shape of the tree; TraversalGeneration */
    PFCB RootFcb;                           /* holds the volume's own reference */
    volatile LONG64 NextNodeId;             /* interlocked, pre-incremented; ids are never reused */
    ULONG TraversalGeneration;              /* TreeResource exclusive */
    PNOTIFY_SYNC NotifySync;                /* change-notify synchronisation; NULL when it could not be made */
    LIST_ENTRY NotifyList;                  /* the change-notify package's watches */
    volatile LONG VolumeOpenCount;          /* interlocked: handles open on the volume itself */
    ERESOURCE NodeIdResource;               /* leaf: NodeIdIndex */
    HASH_TABLE NodeIdIndex;                 /* named nodes but the root, keyed by node id ("vlHi") */
    KSPIN_LOCK OrphanLock;                  /* OrphanList and every FCB.OrphanLinks */
    LIST_ENTRY OrphanList;                  /* referenced nodes that lost their last name */
    KSPIN_LOCK FreeFcbLock;                 /* FreeFcbList and FreeFcbCount */
    PFCB FreeFcbList;                       /* recycled records, resources initialised */
    ULONG FreeFcbCount;                     /* at most FREE_FCB_CACHE_DEPTH */

    /* Security descriptors (none at all on a volume mounted without security). */
    BOOLEAN NoSecurity;                     /* fixed at mount */
    ERESOURCE DescriptorResource;           /* leaf: DescriptorStore, InheritanceCache */
    HASH_TABLE DescriptorStore;             /* DESCRIPTOR_ENTRY by XXH3 of the bytes ("vlHs") */
    INHERITANCE_CACHE InheritanceCache;
} VCB, *PVCB;

/*
 * The extension size a file-system device needs for a VCB, its 128-byte-aligned
 * I/O counters and its 128-byte-aligned rundown block (the extension itself may
 * start anywhere, so each gets 128 bytes of slack).
 */
#define VCB_EXTENSION_SIZE(RundownSize)                                                                      \
    (ALIGN_UP_BY(sizeof(VCB), 128) + 128 + VOLUME_IO_SLOTS * sizeof(VOLUME_IO_SLOT) + 128 + (RundownSize))

FORCEINLINE PEX_RUNDOWN_REF_CACHE_AWARE VcbRundown(PVCB Vcb)
{
    return (PEX_RUNDOWN_REF_CACHE_AWARE)((PUCHAR)Vcb + Vcb->RundownOffset);
}

FORCEINLINE PVOLUME_IO_SLOT VcbIoSlots(PVCB Vcb)
{
    return (PVOLUME_IO_SLOT)((PUCHAR)Vcb + Vcb->IoSlotsOffset);
}
