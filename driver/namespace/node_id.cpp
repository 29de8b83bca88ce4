/*
 * The volume's node-id index (open by id) and its orphan list (nodes that lost
 * their last name while still referenced).
 */
#include "vorel.h"

/* InsertNodeIdIndex: the node gained its first name. Node main resource exclusive. */
VOID InsertNodeIdIndex(PFCB Fcb)
{
    PVCB vcb = Fcb->Vcb;
    ExAcquireResourceExclusiveLite(&vcb->NodeIdResource, TRUE);
    InsertHashEntry(&vcb->NodeIdIndex, &Fcb->NodeIdEntry);
    ExReleaseResourceLite(&vcb->NodeIdResource);
}

/* RemoveNodeIdIndex: the node lost its last name. Node main resource exclusive. */
VOID RemoveNodeIdIndex(PFCB Fcb)
{
    PVCB vcb = Fcb->Vcb;
    ExAcquireResourceExclusiveLite(&vcb->NodeIdResource, TRUE);
    RemoveHashEntry(&vcb->NodeIdIndex, &Fcb->NodeIdEntry);
    ExReleaseResourceLite(&vcb->NodeIdResource);
}

/*
 * LookupNodeById: the named node with NodeId, referenced, or NULL. Id 1 is the
 * root (the first node a volume allocates), which is never in the index; a node
 * without names is never found.
 */
PFCB LookupNodeById(PVCB Vcb, ULONGLONG NodeId)
{
    if (NodeId == ROOT_NODE_ID) {
        ReferenceNode(Vcb->RootFcb);
        return Vcb->RootFcb;
    }
    PFCB found = NULL;
    ExAcquireResourceSharedLite(&Vcb->NodeIdResource, TRUE);
    PLIST_ENTRY bucket = HashBucket(&Vcb->NodeIdIndex, NodeId);
    for (PLIST_ENTRY entry = bucket->Flink; entry != bucket; entry = entry->Flink) {
        PFCB fcb = FcbFromNodeIdLinks(entry);
        if (fcb->NodeIdEntry.Hash == NodeId && fcb->NodeId == NodeId) {
            /* In the index means named, and the names hold a reference. */
            ReferenceNode(fcb);
            found = fcb;
            break;
        }
    }
    ExReleaseResourceLite(&Vcb->NodeIdResource);
    return found;
}

/* InsertOrphan: appends the node to the orphan list unless it is there already. */
VOID InsertOrphan(PFCB Fcb)
{
    PVCB vcb = Fcb->Vcb;
    KIRQL irql;
    KeAcquireSpinLock(&vcb->OrphanLock, &irql);
    if (Fcb->OrphanLinks.Flink == NULL)
        InsertTailList(&vcb->OrphanList, &Fcb->OrphanLinks);
    KeReleaseSpinLock(&vcb->OrphanLock, irql);
}

/* RemoveOrphan: takes the node off the orphan list if it is on it. */
VOID RemoveOrphan(PFCB Fcb)
{
    PVCB vcb = Fcb->Vcb;
    KIRQL irql;
    KeAcquireSpinLock(&vcb->OrphanLock, &irql);
    if (Fcb->OrphanLinks.Flink != NULL) {
        RemoveEntryList(&Fcb->OrphanLinks);
        Fcb->OrphanLinks.Flink = Fcb->OrphanLinks.Blink = NULL;
    }
    KeReleaseSpinLock(&vcb->OrphanLock, irql);
}
