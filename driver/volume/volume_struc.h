/*
 * Volume records: the volume control block.
 */
#pragma once

#define VCB_SIGNATURE 0x76434256 /* "VBCv" */

/*
 * VCB: the file-system device's extension of a mounted volume. Requests are
 * admitted through the hold count and event and the rundown protection at the end
 * of the extension (VcbRundown); teardown sets the dismounted flag under the main
 * resource.
 */
typedef struct _VCB {
    ULONG Signature;
    volatile LONG HoldCount;                /* interlocked; non-zero: new non-paging requests wait */
    KEVENT HoldEvent;                       /* notification; signalled while not held */
    ERESOURCE Resource;                     /* main resource */
    volatile UCHAR Dismounted;              /* set under Resource, read without it */
    ULONG RundownOffset;                    /* bytes from the VCB to its rundown block */
    WORKER_QUEUE WorkerQueue;
    STORE_VOLUME Store;

    /* The node tree. */
    ERESOURCE TreeResource;                 /* shape of the tree; TraversalGeneration */
    PFCB RootFcb;                           /* holds the volume's own reference */
    volatile LONG64 NextNodeId;             /* interlocked, pre-incremented; ids are never reused */
    ULONG TraversalGeneration;              /* TreeResource exclusive */
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

/* The extension size a file-system device needs for a VCB and its 128-byte-aligned rundown block. */
#define VCB_EXTENSION_SIZE(RundownSize) (ALIGN_UP_BY(sizeof(VCB), 128) + 128 + (RundownSize))

FORCEINLINE PEX_RUNDOWN_REF_CACHE_AWARE VcbRundown(PVCB Vcb)
{
    return (PEX_RUNDOWN_REF_CACHE_AWARE)((PUCHAR)Vcb + Vcb->RundownOffset);
}
