/*
 * Walks over a volume's whole tree: collecting nodes (save, teardown), flushing or
 * purging every file's sections, tearing the tree down, and the busy test of a
 * dismount.
 *
 * The walk is pre-order from the root's first child, without recursion: a node is
 * visited at each of its links unless its traversal mark already holds this walk's
 * generation (a file with several names is visited once); a directory's own link
 * is the first entry of its names, which is how the walk climbs back.
 */
#include "vorel.h"

static PLINK FirstChild(PFCB Directory)
{
    if (!Directory->IsDirectory || IsListEmpty(&Directory->Children))
        return NULL;
    return CONTAINING_RECORD(Directory->Children.Flink, LINK, SiblingLinks);
}

/* NextInPreorder: the link after Link in pre-order, or NULL at the end. Tree resource held. */
static PLINK NextInPreorder(PLINK Link)
{
    PLINK child = FirstChild(Link->Node);
    if (child != NULL)
        return child;
    for (;;) {
        PFCB parent = Link->Parent;
        if (Link->SiblingLinks.Flink != &parent->Children)
            return CONTAINING_RECORD(Link->SiblingLinks.Flink, LINK, SiblingLinks);
        if (parent->IsRoot)
            return NULL;
        Link = CONTAINING_RECORD(parent->Names.Flink, LINK, NameLinks);
    }
}

/*
 * NextLinkInTree: the walk's order for a caller that visits the tree itself:
 * the first link below the root when Link is NULL, else the link after Link in
 * pre-order; NULL at the end. Tree resource held.
 */
PLINK NextLinkInTree(PVCB Vcb, PLINK Link)
{
    return Link == NULL ? FirstChild(Vcb->RootFcb) : NextInPreorder(Link);
}

/*
 * VisitTree: one pass over the tree with a new generation, then over the orphan
 * list. Each matching node is counted and, while Nodes has room, referenced into
 * it. Tree resource exclusive. Returns the number of matches.
 */
static ULONG VisitTree(PVCB Vcb, PNODE_PREDICATE Predicate, PVOID Context, PFCB *Nodes, ULONG Capacity)
{
    ULONG matches = 0;
    ULONG generation = ++Vcb->TraversalGeneration;
    for (PLINK link = FirstChild(Vcb->RootFcb); link != NULL; link = NextInPreorder(link)) {
        PFCB fcb = link->Node;
        if (fcb->TraversalMark == generation)
            continue;
        fcb->TraversalMark = generation;
        if (!Predicate(fcb, Context))
            continue;
        if (matches < Capacity) {
            ReferenceNode(fcb);
            Nodes[matches] = fcb;
        }
        matches++;
    }

    /* Orphans are taken only while something still holds them: one whose count
       reached 0 is being torn down by its last holder. */
    KIRQL irql;
    KeAcquireSpinLock(&Vcb->OrphanLock, &irql);
    for (PLIST_ENTRY entry = Vcb->OrphanList.Flink; entry != &Vcb->OrphanList; entry = entry->Flink) {
        PFCB fcb = FcbFromOrphanLinks(entry);
        if (ReadNoFence(&fcb->ReferenceCount) == 0 || !Predicate(fcb, Context))
            continue;
        if (matches < Capacity) {
            if (!ReferenceNodeIfLive(fcb))
                continue;
            Nodes[matches] = fcb;
        }
        matches++;
    }
    KeReleaseSpinLock(&Vcb->OrphanLock, irql);
    return matches;
}

/*
 * CollectNodes: every node of the tree and every live orphan that Predicate
 * accepts, each referenced, in an array ("vlMc") the caller gives back with
 * ReleaseCollectedNodes. Predicate runs with the tree resource exclusive and, for
 * orphans, under the orphan spin lock (so it must only read the node). Nodes that
 * appear between the counting pass and the collecting pass beyond the array's
 * slack of 8 are left out. Returns STATUS_INSUFFICIENT_RESOURCES without an array.
 */
NTSTATUS CollectNodes(PVCB Vcb, PNODE_PREDICATE Predicate, PVOID Context, PFCB **Nodes, PULONG Count)
{
    NTSTATUS status = STATUS_SUCCESS;
    *Nodes = NULL;
    *Count = 0;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Vcb->TreeResource, TRUE);
    ULONG capacity = VisitTree(Vcb, Predicate, Context, NULL, 0) + 8;
    PFCB *nodes = (PFCB *)AllocateZeroed(capacity * sizeof(PFCB), TAG_NODE_ARRAY, NonPagedPoolNx);
    if (nodes != NULL) {
        ULONG found = VisitTree(Vcb, Predicate, Context, nodes, capacity);
        *Nodes = nodes;
        *Count = found < capacity ? found : capacity;
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    ExReleaseResourceLite(&Vcb->TreeResource);
    KeLeaveCriticalRegion();
    return status;
}

/* ReleaseCollectedNodes: drops every collected reference and frees the array. */
VOID ReleaseCollectedNodes(PFCB *Nodes, ULONG Count)
{
    if (Nodes == NULL)
        return;
    for (ULONG i = 0; i < Count; ++i)
        DereferenceNode(Nodes[i]);
    VorelData.FreePool(Nodes, TAG_NODE_ARRAY);
}

/*
 * TearDownTree: removes every name, leaves first, then drops the volume's
 * reference on the root. Nodes still referenced by others survive as orphans
 * until their holders let go. Called by volume teardown once no request runs.
 */
VOID TearDownTree(PVCB Vcb)
{
    PFCB root = Vcb->RootFcb;
    if (root == NULL)
        return;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Vcb->TreeResource, TRUE);
    for (PLINK leaf = FirstChild(root); leaf != NULL; leaf = FirstChild(root)) {
        for (PLINK child = FirstChild(leaf->Node); child != NULL; child = FirstChild(leaf->Node))
            leaf = child;
        PFCB parent = leaf->Parent;
        ExAcquireResourceExclusiveLite(&parent->MainResource, TRUE);
        RemoveLink(leaf);
        ExReleaseResourceLite(&parent->MainResource);
    }
    ExReleaseResourceLite(&Vcb->TreeResource);
    Vcb->RootFcb = NULL;
    DereferenceNode(root);
    KeLeaveCriticalRegion();
}

/* HasSection: whether the memory manager or the cache manager holds a section of the file's data. */
static BOOLEAN HasSection(PFCB Fcb)
{
    PSECTION_OBJECT_POINTERS sections = &Fcb->SectionObjectPointers;
    return sections->DataSectionObject != NULL || sections->SharedCacheMap != NULL ||
           sections->ImageSectionObject != NULL;
}

/* Files an image save flushes: those mapped since their section was made. */
static BOOLEAN NeedsCoherencyFlush(PFCB Fcb, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    return !Fcb->IsDirectory && Fcb->SectionCreated && Fcb->SectionObjectPointers.DataSectionObject != NULL;
}

/* Files a teardown purges: no handle left, but some section still holds them. */
static BOOLEAN NeedsSectionPurge(PFCB Fcb, PVOID Context)
{
    UNREFERENCED_PARAMETER(Context);
    return !Fcb->IsDirectory && ReadNoFence(&Fcb->OpenCount) == 0 && HasSection(Fcb);
}

/* AcquirePurgeGate: the file's purge gate, waiting 1 ms at a time while another purge holds it. */
static VOID AcquirePurgeGate(PFCB Fcb)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -10000; /* 1 ms, relative */
    while (InterlockedCompareExchange(&Fcb->PurgeGate, 1, 0) != 0)
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

/* PurgeFileSections: flushes the image section, purges the cache and closes the sections. */
static VOID PurgeFileSections(PFCB Fcb)
{
    PSECTION_OBJECT_POINTERS sections = &Fcb->SectionObjectPointers;
    AcquirePurgeGate(Fcb);
    (VOID)MmFlushImageSection(sections, MmFlushForWrite);
    (VOID)CcPurgeCacheSection(sections, NULL, 0, UNINITIALIZE_CACHE_MAPS);
    (VOID)MmForceSectionClosed(sections, TRUE);
    InterlockedExchange(&Fcb->PurgeGate, 0);
}

/* FlushMappedFile: writes a mapped file's dirty pages back and drops them, under its main resource. */
static VOID FlushMappedFile(PFCB Fcb)
{
    IO_STATUS_BLOCK iosb;
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    CcCoherencyFlushAndPurgeCache(&Fcb->SectionObjectPointers, NULL, 0, &iosb, 0);
    ExReleaseResourceLite(&Fcb->MainResource);
}

/*
 * FlushAllFiles: with Purge FALSE (before an image is saved) flushes and purges
 * every mapped file, so that the save reads what the mappings wrote; with Purge
 * TRUE (volume teardown) purges and closes the sections of every file no handle
 * holds, so that the section references on the nodes go. Directories have no data
 * and are skipped. The files are collected first and worked on after the tree
 * resource is dropped; each collected reference is dropped after its file.
 * PASSIVE_LEVEL, no namespace lock held. Returns STATUS_INSUFFICIENT_RESOURCES
 * when the collection array cannot be allocated (nothing is flushed).
 */
NTSTATUS FlushAllFiles(PVCB Vcb, BOOLEAN Purge)
{
    PFCB *nodes;
    ULONG count;
    KeEnterCriticalRegion();
    NTSTATUS status = CollectNodes(Vcb, Purge ? NeedsSectionPurge : NeedsCoherencyFlush, NULL, &nodes, &count);
    if (NT_SUCCESS(status)) {
        for (ULONG i = 0; i < count; ++i) {
            if (Purge)
                PurgeFileSections(nodes[i]);
            else
                FlushMappedFile(nodes[i]);
        }
        ReleaseCollectedNodes(nodes, count);
    }
    KeLeaveCriticalRegion();
    return status;
}

/*
 * NodeHoldsVolume: whether a node keeps the volume from going: an open handle, or
 * references beyond its names' from a section the memory manager cannot let go.
 * Sets *NeedsPurge for a node held beyond its names with sections that could go.
 */
static BOOLEAN NodeHoldsVolume(PFCB Fcb, PBOOLEAN NeedsPurge)
{
    if (ReadNoFence(&Fcb->OpenCount) > 0)
        return TRUE;
    if (ReadNoFence(&Fcb->ReferenceCount) < 2)
        return FALSE;
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    if (!MmCanFileBeTruncated(&Fcb->SectionObjectPointers, &zero) ||
        !MmFlushImageSection(&Fcb->SectionObjectPointers, MmFlushForWrite))
        return TRUE;
    if (HasSection(Fcb))
        *NeedsPurge = TRUE;
    return FALSE;
}

/*
 * IsVolumeBusy: whether anything still holds the volume: a handle on the volume
 * itself, a node with an open handle or a section in use, or an orphan with an
 * open handle. NeedsPurge reports nodes held only by sections that a purge can
 * close, and orphans held without a handle.
 */
BOOLEAN IsVolumeBusy(PVCB Vcb, PBOOLEAN NeedsPurge)
{
    BOOLEAN busy = FALSE;
    *NeedsPurge = FALSE;
    if (ReadNoFence(&Vcb->VolumeOpenCount) > 0)
        return TRUE;

    /* Exclusive: a create adds names with the tree resource shared, which would
       change a children list under a shared walk. */
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Vcb->TreeResource, TRUE);
    busy = NodeHoldsVolume(Vcb->RootFcb, NeedsPurge);
    for (PLINK link = FirstChild(Vcb->RootFcb); link != NULL && !busy; link = NextInPreorder(link))
        busy = NodeHoldsVolume(link->Node, NeedsPurge);
    ExReleaseResourceLite(&Vcb->TreeResource);
    KeLeaveCriticalRegion();
    if (busy)
        return TRUE;

    KIRQL irql;
    KeAcquireSpinLock(&Vcb->OrphanLock, &irql);
    for (PLIST_ENTRY entry = Vcb->OrphanList.Flink; entry != &Vcb->OrphanList; entry = entry->Flink) {
        PFCB fcb = FcbFromOrphanLinks(entry);
        if (ReadNoFence(&fcb->OpenCount) > 0) {
            busy = TRUE;
            break;
        }
        *NeedsPurge = TRUE;
    }
    KeReleaseSpinLock(&Vcb->OrphanLock, irql);
    return busy;
}
