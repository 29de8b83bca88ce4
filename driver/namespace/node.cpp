/*
 * Nodes: the file control block's life from allocation to its final dereference,
 * the per-volume free cache that recycles records, and the volume's tree state.
 */
#include "vorel.h"

/* NamespaceInvariantFailed: stops the system; Number names the broken invariant. */
VOID NamespaceInvariantFailed(ULONG Number, PVOID Record)
{
    KeBugCheckEx(VOREL_BUGCHECK, Number, (ULONG_PTR)Record, 0, 0);
}

/*
 * InitializeVcbNamespace: the tree resource, the node-id index with its resource,
 * the orphan list and the free cache of a new volume control block. Returns
 * STATUS_INSUFFICIENT_RESOURCES when the index cannot be had.
 */
NTSTATUS InitializeVcbNamespace(PVCB Vcb)
{
    NTSTATUS status = ExInitializeResourceLite(&Vcb->TreeResource);
    if (!NT_SUCCESS(status))
        return status;
    status = ExInitializeResourceLite(&Vcb->NodeIdResource);
    if (!NT_SUCCESS(status))
        goto undo_tree;
    status = InitializeHashTable(&Vcb->NodeIdIndex, NODE_ID_INDEX_BUCKETS, TAG_NODE_ID_INDEX);
    if (!NT_SUCCESS(status))
        goto undo_index_resource;
    status = InitializeDescriptorStore(Vcb);
    if (!NT_SUCCESS(status))
        goto undo_index;
    KeInitializeSpinLock(&Vcb->OrphanLock);
    InitializeListHead(&Vcb->OrphanList);
    KeInitializeSpinLock(&Vcb->FreeFcbLock);
    Vcb->FreeFcbList = NULL;
    Vcb->FreeFcbCount = 0;
    Vcb->NextNodeId = 0;
    Vcb->TraversalGeneration = 0;
    Vcb->RootFcb = NULL;
    return STATUS_SUCCESS;

undo_index:
    FreeHashTable(&Vcb->NodeIdIndex);
undo_index_resource:
    ExDeleteResourceLite(&Vcb->NodeIdResource);
undo_tree:
    ExDeleteResourceLite(&Vcb->TreeResource);
    return status;
}

/* DeleteNodeRecord: deletes both resources and frees the record. */
static VOID DeleteNodeRecord(PFCB Fcb)
{
    ExDeleteResourceLite(&Fcb->PagingIoResource);
    ExDeleteResourceLite(&Fcb->MainResource);
    VorelData.FreePool(Fcb, TAG_FCB);
}

/*
 * UninitializeVcbNamespace: gives back what InitializeVcbNamespace made and every
 * cached record. The tree must be gone (TearDownTree) and no node referenced.
 */
VOID UninitializeVcbNamespace(PVCB Vcb)
{
    while (Vcb->FreeFcbList != NULL) {
        PFCB fcb = Vcb->FreeFcbList;
        Vcb->FreeFcbList = fcb->NextFree;
        Vcb->FreeFcbCount--;
        DeleteNodeRecord(fcb);
    }
    UninitializeDescriptorStore(Vcb);
    FreeHashTable(&Vcb->NodeIdIndex);
    ExDeleteResourceLite(&Vcb->NodeIdResource);
    ExDeleteResourceLite(&Vcb->TreeResource);
}

/*
 * PopFreeNode: a cached record, cleared but for its two resources, or NULL. The
 * resources stay initialised but are reinitialised: the record takes a new place
 * in the tree, and the lock order its old place had (a directory's lock before its
 * children's) no longer applies to it, as for a record freshly made.
 */
static PFCB PopFreeNode(PVCB Vcb)
{
    KIRQL irql;
    KeAcquireSpinLock(&Vcb->FreeFcbLock, &irql);
    PFCB fcb = Vcb->FreeFcbList;
    if (fcb != NULL) {
        Vcb->FreeFcbList = fcb->NextFree;
        Vcb->FreeFcbCount--;
    }
    KeReleaseSpinLock(&Vcb->FreeFcbLock, irql);
    if (fcb != NULL) {
        PUCHAR start = (PUCHAR)fcb;
        PUCHAR kept = (PUCHAR)&fcb->MainResource;
        PUCHAR rest = (PUCHAR)&fcb->HeaderMutex;
        RtlZeroMemory(start, kept - start);
        RtlZeroMemory(rest, start + sizeof(FCB) - rest);
        /* Nothing holds or waits on a cached record's resources, so these allocate nothing and succeed. */
        (VOID)ExReinitializeResourceLite(&fcb->MainResource);
        (VOID)ExReinitializeResourceLite(&fcb->PagingIoResource);
    }
    return fcb;
}

/* PushFreeNode: parks a dead record in the cache; FALSE when the cache is full. */
static BOOLEAN PushFreeNode(PVCB Vcb, PFCB Fcb)
{
    BOOLEAN pushed = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&Vcb->FreeFcbLock, &irql);
    if (Vcb->FreeFcbCount < FREE_FCB_CACHE_DEPTH) {
        Fcb->NextFree = Vcb->FreeFcbList;
        Vcb->FreeFcbList = Fcb;
        Vcb->FreeFcbCount++;
        pushed = TRUE;
    }
    KeReleaseSpinLock(&Vcb->FreeFcbLock, irql);
    return pushed;
}

/*
 * InitializeNodeResources: the main and paging I/O resources of a new record; on
 * failure neither is left initialised.
 */
NTSTATUS InitializeNodeResources(PFCB Fcb)
{
    NTSTATUS status = ExInitializeResourceLite(&Fcb->MainResource);
    if (!NT_SUCCESS(status))
        return status;
    status = ExInitializeResourceLite(&Fcb->PagingIoResource);
    if (!NT_SUCCESS(status))
        ExDeleteResourceLite(&Fcb->MainResource);
    return status;
}

/*
 * InitializeNodeHeader: the advanced header of a node (version 3): its type and
 * size, fast I/O possible, its two resources, a fast mutex and no filter context.
 */
VOID InitializeNodeHeader(PFCB Fcb, BOOLEAN IsDirectory)
{
    Fcb->Header.NodeTypeCode = IsDirectory ? NODE_TYPE_DIRECTORY : NODE_TYPE_FILE;
    Fcb->Header.NodeByteSize = (CSHORT)sizeof(FCB);
    Fcb->Header.IsFastIoPossible = FastIoIsPossible;
    Fcb->Header.Resource = &Fcb->MainResource;
    Fcb->Header.PagingIoResource = &Fcb->PagingIoResource;
    ExInitializeFastMutex(&Fcb->HeaderMutex);
    FsRtlSetupAdvancedHeader(&Fcb->Header, &Fcb->HeaderMutex);
}

/* NewNodeRecord: a zeroed record with both resources initialised, or NULL. */
static PFCB NewNodeRecord(VOID)
{
    PFCB fcb = (PFCB)AllocateZeroed(sizeof(FCB), TAG_FCB, NonPagedPoolNx);
    if (fcb != NULL && !NT_SUCCESS(InitializeNodeResources(fcb)))
        FreeAndClear((PVOID *)&fcb, TAG_FCB);
    return fcb;
}

/*
 * AllocateNode: a new node of the volume with one reference (the caller's), no
 * name, the next node id and all four times set to now. Returns
 * STATUS_INSUFFICIENT_RESOURCES when no record can be had.
 */
NTSTATUS AllocateNode(PVCB Vcb, BOOLEAN IsDirectory, PFCB *Fcb)
{
    PFCB fcb = PopFreeNode(Vcb);
    if (fcb == NULL) {
        fcb = NewNodeRecord();
        if (fcb == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }

    fcb->Vcb = Vcb;
    fcb->Signature = FCB_SIGNATURE;
    fcb->ReferenceCount = 1;
    fcb->IsDirectory = IsDirectory;
    fcb->NodeId = (ULONGLONG)InterlockedIncrement64(&Vcb->NextNodeId);
    fcb->NodeIdEntry.Hash = fcb->NodeId;
    InitializeListHead(&fcb->Children);
    InitializeListHead(&fcb->Names);

    InitializeNodeHeader(fcb, IsDirectory);
    FsRtlInitializeOplock(&fcb->Oplock);
    fcb->Data.Volume = &Vcb->Store;

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    fcb->CreationTime = fcb->LastWriteTime = fcb->LastAccessTime = fcb->ChangeTime = now;
    *Fcb = fcb;
    return STATUS_SUCCESS;
}

/*
 * CreateRootDirectory: the volume's root, the first node it allocates (node id
 * 1), with the volume's default descriptor unless the volume has no security.
 * The root has no name, is never in the node-id index, and its one reference
 * is the volume's own.
 */
NTSTATUS CreateRootDirectory(PVCB Vcb)
{
    PFCB root;
    NTSTATUS status = AllocateNode(Vcb, TRUE, &root);
    if (!NT_SUCCESS(status))
        return status;
    root->IsRoot = TRUE;
    root->Attributes = FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (!Vcb->NoSecurity) {
        status = CreateRootDescriptor(root);
        if (!NT_SUCCESS(status)) {
            DereferenceNode(root);
            return status;
        }
    }
    Vcb->RootFcb = root;
    return STATUS_SUCCESS;
}

VOID ReferenceNode(PFCB Fcb)
{
    InterlockedIncrement(&Fcb->ReferenceCount);
}

/*
 * ReferenceNodeIfLive: takes a reference unless the count already reached 0 (a
 * node found on the orphan list while its last holder is tearing it down).
 */
BOOLEAN ReferenceNodeIfLive(PFCB Fcb)
{
    LONG count = ReadNoFence(&Fcb->ReferenceCount);
    while (count > 0) {
        LONG seen = InterlockedCompareExchange(&Fcb->ReferenceCount, count + 1, count);
        if (seen == count)
            return TRUE;
        count = seen;
    }
    return FALSE;
}

/* FreeChildIndex: a directory's index goes with the directory, buckets first. */
static VOID FreeChildIndex(PFCB Fcb)
{
    if (Fcb->ChildIndex != NULL) {
        FreeHashTable(Fcb->ChildIndex);
        FreeAndClear((PVOID *)&Fcb->ChildIndex, TAG_CHILD_INDEX);
    }
    Fcb->HasChildIndex = FALSE;
}

/*
 * TearDownNode: the last reference is gone; nothing else can reach the node but
 * the orphan list, which collecting walks enter only with a live reference.
 */
static VOID TearDownNode(PFCB Fcb)
{
    PVCB vcb = Fcb->Vcb;
    RemoveOrphan(Fcb);
    if (ReadNoFence(&Fcb->EmbeddedLink.Signature) != 0 || Fcb->EmbeddedLink.Name.Buffer != NULL)
        NamespaceInvariantFailed(INVARIANT_EMBEDDED_LINK_IN_USE, Fcb);
    if (Fcb->IsDirectory)
        FreeChildIndex(Fcb);
    RemoveEas(Fcb);
    RemoveReparse(Fcb);
    FreeNodeDescriptor(Fcb);
    ReleaseAllData(Fcb);
    FsRtlTeardownPerStreamContexts(&Fcb->Header);
    if (Fcb->FileLock != NULL) {
        FsRtlFreeFileLock(Fcb->FileLock);
        Fcb->FileLock = NULL;
    }
    FsRtlUninitializeOplock(&Fcb->Oplock);
    if (Fcb->LinkCount != 0 || !IsListEmpty(&Fcb->Names))
        NamespaceInvariantFailed(INVARIANT_NAMES_AT_TEARDOWN, Fcb);
    Fcb->Signature = 0;
    if (!PushFreeNode(vcb, Fcb))
        DeleteNodeRecord(Fcb);
}

/* DereferenceNode: drops one holder's reference; the last one tears the node down. */
VOID DereferenceNode(PFCB Fcb)
{
    if (InterlockedDecrement(&Fcb->ReferenceCount) == 0)
        TearDownNode(Fcb);
}

/*
 * NoteDataModified: a data change stamps the write and change times and the
 * archive bit. In-place writes call it under the paging resource shared only, so
 * each time is one whole 64-bit store, left alone when it already holds the
 * time, and the archive bit is set by interlocked OR.
 */
VOID NoteDataModified(PFCB Fcb)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (ReadNoFence64(&Fcb->LastWriteTime.QuadPart) != now.QuadPart)
        WriteNoFence64(&Fcb->LastWriteTime.QuadPart, now.QuadPart);
    if (ReadNoFence64(&Fcb->ChangeTime.QuadPart) != now.QuadPart)
        WriteNoFence64(&Fcb->ChangeTime.QuadPart, now.QuadPart);
    if ((ReadNoFence(&Fcb->Attributes) & FILE_ATTRIBUTE_ARCHIVE) == 0)
        InterlockedOr(&Fcb->Attributes, FILE_ATTRIBUTE_ARCHIVE);
}

/* ReportedAttributes: the attributes a query reports for the node. */
ULONG ReportedAttributes(PFCB Fcb)
{
    ULONG attributes = (ULONG)ReadNoFence(&Fcb->Attributes) & REPORTED_ATTRIBUTE_MASK;
    if (Fcb->IsDirectory)
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (Fcb->ReparseTag != 0)
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    if (Fcb->Sparse)
        attributes |= FILE_ATTRIBUTE_SPARSE_FILE;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}
