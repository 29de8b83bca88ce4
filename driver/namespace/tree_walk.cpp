/*
 * Walks over a volume's whole tree: collecting nodes (save, teardown), tearing the
 * tree down, and the busy test of a dismount.
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

/*
 * IsVolumeBusy: whether anything still holds the volume: a handle on the volume
 * itself, or a node or orphan with an open handle. NeedsPurge reports orphans held
 * without a handle, which only a purge of their sections can let go.
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
    busy = ReadNoFence(&Vcb->RootFcb->OpenCount) > 0;
    for (PLINK link = FirstChild(Vcb->RootFcb); link != NULL && !busy; link = NextInPreorder(link))
        busy = ReadNoFence(&link->Node->OpenCount) > 0;
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
