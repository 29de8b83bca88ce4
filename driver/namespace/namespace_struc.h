/*
 * Namespace records: the node (file control block), its names (link records) and
 * the generic hash table that indexes directories, node ids and descriptors.
 *
 * Synchronization (see the driver-wide order in core_struc.h):
 *   - The volume's tree resource guards the shape of the tree: held exclusively to
 *     remove a name and by the whole-tree walks, at least shared to add one.
 *   - A directory's main resource guards its children list, child count and child
 *     index: exclusive to change them, shared to look names up.
 *   - A node's main resource guards its names list, link count, unlinked flag and
 *     metadata (times, attributes, EAs, reparse point, descriptor).
 *   - The node-id index has its own resource (a leaf); the orphan list and the free
 *     control block cache have spin locks, innermost, never held across anything.
 *   - Reference counts of nodes and links are interlocked.
 */
#pragma once

#define FCB_SIGNATURE 0x42434246 /* "FBCB" */
#define LINK_SIGNATURE 0x544E4544 /* "DENT" */

#define NODE_TYPE_DIRECTORY 0x502
#define NODE_TYPE_FILE 0x503

#define TAG_FCB             POOL_TAG('v', 'l', 'F', 'b')
#define TAG_LINK            POOL_TAG('v', 'l', 'L', 'k')
#define TAG_LONG_NAME       POOL_TAG('v', 'l', 'N', 'm')
#define TAG_CHILD_INDEX     POOL_TAG('v', 'l', 'H', 'd')
#define TAG_NODE_ID_INDEX   POOL_TAG('v', 'l', 'H', 'i')
#define TAG_NODE_ARRAY      POOL_TAG('v', 'l', 'M', 'c')
#define TAG_DESCRIPTOR      POOL_TAG('v', 'l', 'S', 'd')
#define TAG_DESCRIPTOR_STORE POOL_TAG('v', 'l', 'H', 's')
#define TAG_EA              POOL_TAG('v', 'l', 'E', 'a')
#define TAG_REPARSE         POOL_TAG('v', 'l', 'R', 'p')

#define NAME_MAX_BYTES          510u    /* longest stored name: 255 UTF-16 units */
#define INLINE_NAME_BYTES       128u    /* a link's own buffer; names up to 126 bytes */
#define UPCASE_NAME_BYTES       512u    /* names up to this are hashed upper-cased */
#define CHILD_INDEX_THRESHOLD   32u     /* directories of more names get a child index */
#define CHILD_INDEX_BUCKETS     32u
#define NODE_ID_INDEX_BUCKETS   256u
#define HASH_TABLE_MAX_BUCKETS  0x40000000u
#define FREE_FCB_CACHE_DEPTH    512u
#define ROOT_NODE_ID            1ull
#define MAX_PATH_COMPONENTS     64u
#define REPORTED_ATTRIBUTE_MASK 0x3127u /* read-only, hidden, system, archive, temporary, offline, not indexed */
#define EA_MAX_PACKED_SIZE      0x10000u /* sum over a node's EAs of name + value + 9 */
#define DESCRIPTOR_STORE_BUCKETS 64u

/* Invariant numbers of the tree (parameter 1 of VOREL_BUGCHECK). */
#define INVARIANT_DESCRIPTOR_UNDERFLOW  5307    /* a stored descriptor released more often than interned */
#define INVARIANT_NAMES_AT_TEARDOWN     3963    /* a node torn down still has names */
#define INVARIANT_EMBEDDED_LINK_IN_USE  4271    /* a node torn down still uses its embedded link */
#define INVARIANT_REMOVE_WITHOUT_TREE   4481    /* a name removed without the tree resource exclusive */

/*
 * HASH_TABLE: power-of-two buckets of list heads. Inserting adds at the head of
 * bucket (hash & (BucketCount - 1)) and doubles the buckets once the entries
 * exceed four per bucket; the table never shrinks. Its user's lock guards it.
 */
typedef struct _HASH_ENTRY {
    LIST_ENTRY Links;
    ULONGLONG Hash;
} HASH_ENTRY, *PHASH_ENTRY;

typedef struct _HASH_TABLE {
    ULONG Tag;                              /* pool tag of the bucket array (and of the header when allocated) */
    ULONG BucketCount;
    ULONG EntryCount;
    PLIST_ENTRY Buckets;
} HASH_TABLE, *PHASH_TABLE;

struct _FCB;
struct _VCB;

/*
 * LINK: one name of a node, in exactly one parent directory while it is linked.
 * Either a separate record ("vlLk") or the node's embedded link, which is free
 * while its signature is 0. The reference count is interlocked: one for the
 * creator, one while in a parent, one per open that went through the name.
 */
typedef struct _LINK {
    volatile LONG Signature;                /* LINK_SIGNATURE; 0 marks the embedded link free */
    volatile LONG ReferenceCount;           /* interlocked */
    struct _FCB *Node;
    struct _FCB *Parent;                    /* parent's main resource; null once removed */
    LIST_ENTRY SiblingLinks;                /* parent's Children, parent's main resource */
    LIST_ENTRY NameLinks;                   /* node's Names, node's main resource */
    HASH_ENTRY IndexEntry;                  /* parent's child index, parent's main resource */
    BOOLEAN Removed;
    ULONG Arrival;                          /* parent's main resource: its NextArrival when the name came in */
    UNICODE_STRING Name;                    /* case preserved, NUL-terminated in its buffer */
    WCHAR InlineName[INLINE_NAME_BYTES / sizeof(WCHAR)];
} LINK, *PLINK;

/*
 * FCB: one per file or directory, alive while it is named or referenced. It begins
 * with the system's advanced FCB header (the memory manager and the cache manager
 * find its resources and sizes there). Records are recycled through the volume's
 * free cache with both resources kept initialised.
 */
typedef struct _FCB {
    FSRTL_ADVANCED_FCB_HEADER Header;

    /* The memory manager's and cache manager's sections of the file's data (set by them). */
    SECTION_OBJECT_POINTERS SectionObjectPointers;

    ULONG Signature;                        /* FCB_SIGNATURE; 0 while in the free cache */
    volatile LONG ReferenceCount;           /* interlocked; the names hold one together */
    struct _VCB *Vcb;
    ULONGLONG NodeId;                       /* fixed at allocation */
    HASH_ENTRY NodeIdEntry;                 /* volume's node-id index, its resource; Hash = NodeId */
    LIST_ENTRY OrphanLinks;                 /* volume's orphan list, its spin lock; Flink null when out */
    LIST_ENTRY Children;                    /* directories: LINK.SiblingLinks, main resource */
    LIST_ENTRY Names;                       /* LINK.NameLinks, main resource */
    ULONG LinkCount;                        /* entries in Names, main resource */
    ULONG TraversalMark;                    /* tree resource exclusive */
    struct _FCB *NextFree;                  /* volume's free cache, its spin lock */
    LINK EmbeddedLink;                      /* the first name's storage */
    ULONG ChildCount;                       /* directories: names in Children, main resource */
    ULONG NextArrival;                      /* directories: numbers the names in Children in order, main resource */
    BOOLEAN HasChildIndex;                  /* main resource */
    PHASH_TABLE ChildIndex;                 /* "vlHd"; main resource */
    volatile LONG OpenCount;                /* interlocked: handles not yet cleaned up */
    BOOLEAN IsDirectory;                    /* fixed at allocation */
    BOOLEAN IsRoot;                         /* fixed at mount */
    BOOLEAN DeletePending;                  /* main resource */
    BOOLEAN DeleteCompanion;                /* main resource; set together with DeletePending */
    BOOLEAN Unlinked;                       /* main resource: no name left, never named again */
    BOOLEAN Sparse;                         /* set under the main resource exclusive; read whole without a lock */
    BOOLEAN SectionCreated;                 /* main resource exclusive: a section was made, views may remain */
    BOOLEAN Mapped;                         /* main resource exclusive: a writable section was made; reads flush it first */
    volatile LONG PurgeGate;                /* 0 or 1, taken by compare-exchange */

    /* Extended attributes (main resource). */
    PFILE_FULL_EA_INFORMATION EaBuffer;     /* "vlEa", non-paged */
    ULONG EaLength;
    ULONG EaPackedSize;
    ULONG EaCount;
    ULONG NeedEaCount;

    /* Reparse point (main resource); a non-zero tag makes the node a reparse point. */
    PVOID ReparseBuffer;                    /* "vlRp", non-paged */
    ULONG ReparseLength;
    ULONG ReparseTag;

    /* Security descriptor (main resource): self-relative, the store's copy or the node's own. */
    PSECURITY_DESCRIPTOR SecurityDescriptor; /* the store's bytes when shared, else "vlSd", paged */
    ULONG SecurityLength;
    BOOLEAN SharedSecurity;                 /* the descriptor belongs to the volume's store */
    BOOLEAN DefaultSecurity;                /* derived from the root's descriptor by inheritance only */

    OPLOCK Oplock;
    BOOLEAN OplockInUse;                    /* set under the main resource exclusive by the first oplock request; never cleared */
    SHARE_ACCESS ShareAccess;               /* main resource exclusive */
    BOOLEAN ShareAccessInitialized;         /* main resource exclusive; cleared when the last handle is cleaned up */
    PFILE_LOCK FileLock;                    /* made on first use, published by compare-exchange */
    ERESOURCE MainResource;                 /* Header.Resource */
    ERESOURCE PagingIoResource;             /* Header.PagingIoResource */
    FAST_MUTEX HeaderMutex;                 /* Header.FastMutex */

    LARGE_INTEGER CreationTime;             /* main resource */
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER ChangeTime;
    volatile LONG Attributes;               /* stored attributes; ARCHIVE set by interlocked OR */

    FCB_DATA Data;                          /* paging I/O resource */
    COLD_FILE Cold;                         /* the volume's compression worker (see COLD_FILE) */
} FCB, *PFCB;

/*
 * DESCRIPTOR_ENTRY: one distinct descriptor of a volume's store ("vlSd", paged).
 * Holders point at Bytes; the entry is found in front of them. The reference count
 * is interlocked, so a lookup under the store resource shared may add one; it
 * drops to 0 only under the resource exclusive, where the entry leaves the store.
 */
typedef struct _DESCRIPTOR_ENTRY {
    HASH_ENTRY StoreEntry;                  /* volume's DescriptorStore, DescriptorResource */
    volatile LONG ReferenceCount;           /* interlocked */
    ULONG Length;
    DECLSPEC_ALIGN(8) UCHAR Bytes[1];
} DESCRIPTOR_ENTRY, *PDESCRIPTOR_ENTRY;

/*
 * INHERITANCE_CACHE: the last descriptor computed for a new node, so that a user
 * creating many nodes in one directory computes it once. Guarded by the volume's
 * DescriptorResource: read shared, replaced exclusive. While valid it holds store
 * references on ParentDescriptor and Result and a reference on Token.
 */
typedef struct _INHERITANCE_CACHE {
    BOOLEAN Valid;
    BOOLEAN IsDirectory;                    /* the child's */
    BOOLEAN DefaultSecurity;                /* the child's */
    PSECURITY_DESCRIPTOR ParentDescriptor;  /* store bytes */
    PSECURITY_DESCRIPTOR Result;            /* store bytes */
    ULONG ResultLength;
    PACCESS_TOKEN Token;                    /* referenced */
    LUID ModifiedId;                        /* the token's when the result was computed */
} INHERITANCE_CACHE, *PINHERITANCE_CACHE;

/*
 * ACCESS_CHECK_INPUT: what an open's access check knows about the requester,
 * filled by the create path from the request's access state.
 */
typedef struct _ACCESS_CHECK_INPUT {
    PACCESS_STATE AccessState;
    PSECURITY_SUBJECT_CONTEXT SubjectContext;
    KPROCESSOR_MODE AccessMode;             /* UserMode also when the request forces a check */
    BOOLEAN TraversePrivilege;
    BOOLEAN BackupPrivilege;
    BOOLEAN RestorePrivilege;
    BOOLEAN BackupIntent;                   /* FILE_OPEN_FOR_BACKUP_INTENT */
    BOOLEAN OpenTargetDirectory;
    BOOLEAN CheckRequired;                  /* the volume enforces security and the mode is user */
    BOOLEAN OrdinaryToken;                  /* not restricted, not write-restricted, not low-box */
} ACCESS_CHECK_INPUT, *PACCESS_CHECK_INPUT;

/*
 * TRAVERSE_CHECK: the walker's question for each directory it passes: TRUE when
 * traverse access to Directory is denied. Called with the directory's main
 * resource held shared.
 */
typedef BOOLEAN (*PTRAVERSE_CHECK)(PFCB Directory, PVOID Context);

/* WALK_RESULT: what WalkPath hands back. */
typedef struct _WALK_RESULT {
    PFCB Parent;                            /* referenced: the caller drops it */
    UNICODE_STRING LastComponent;           /* points into the path; empty when the path names Parent */
    ULONG RemainingLength;                  /* STATUS_REPARSE: bytes of the path after the reparse point */
} WALK_RESULT, *PWALK_RESULT;

/* NODE_PREDICATE: what a collecting walk keeps (tree resource held exclusively). */
typedef BOOLEAN (*PNODE_PREDICATE)(PFCB Fcb, PVOID Context);

/*
 * The FCB begins with the system's header, which extends another record, so the
 * FCB is not a standard-layout type and offsetof on it is only conditionally
 * supported; both compilers the driver is built with support it for a type
 * without virtual bases, and these are the only places that need it.
 */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
FORCEINLINE PFCB FcbFromOrphanLinks(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(Entry, FCB, OrphanLinks);
}

FORCEINLINE PFCB FcbFromColdQueueLinks(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(CONTAINING_RECORD(Entry, COLD_FILE, QueueLinks), FCB, Cold);
}

FORCEINLINE PFCB FcbFromNodeIdLinks(PLIST_ENTRY Entry)
{
    return CONTAINING_RECORD(Entry, FCB, NodeIdEntry.Links);
}

FORCEINLINE PDESCRIPTOR_ENTRY DescriptorEntryFromBytes(PSECURITY_DESCRIPTOR Descriptor)
{
    return CONTAINING_RECORD(Descriptor, DESCRIPTOR_ENTRY, Bytes);
}
#pragma GCC diagnostic pop
