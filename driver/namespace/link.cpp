/*
 * Names: making, adding, removing and releasing link records, and the children
 * list and child index of a directory.
 */
#include "vorel.h"

/*
 * MakeLink: a new name for Fcb, not yet in any directory, with one reference (the
 * caller's). The node's embedded link serves its first name. Returns
 * STATUS_OBJECT_NAME_INVALID for a length outside 1..510 bytes (or an odd one) and
 * STATUS_INSUFFICIENT_RESOURCES.
 */
NTSTATUS MakeLink(PFCB Fcb, PCUNICODE_STRING Name, PLINK *Link)
{
    USHORT length = Name->Length;
    if (length == 0 || length > NAME_MAX_BYTES || (length & 1) != 0)
        return STATUS_OBJECT_NAME_INVALID;

    PWCHAR ownBuffer = NULL;
    if (length > INLINE_NAME_BYTES - sizeof(WCHAR)) {
        ownBuffer = (PWCHAR)AllocateZeroed(length + sizeof(WCHAR), TAG_LONG_NAME, NonPagedPoolNx);
        if (ownBuffer == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }

    PLINK link = &Fcb->EmbeddedLink;
    if (InterlockedCompareExchange(&link->Signature, LINK_SIGNATURE, 0) != 0) {
        link = (PLINK)AllocateZeroed(sizeof(LINK), TAG_LINK, NonPagedPoolNx);
        if (link == NULL) {
            FreeAndClear((PVOID *)&ownBuffer, TAG_LONG_NAME);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        link->Signature = LINK_SIGNATURE;
    }

    link->ReferenceCount = 1;
    link->Node = Fcb;
    link->Parent = NULL;
    link->SiblingLinks.Flink = link->SiblingLinks.Blink = NULL;
    link->NameLinks.Flink = link->NameLinks.Blink = NULL;
    link->IndexEntry.Links.Flink = link->IndexEntry.Links.Blink = NULL;
    link->IndexEntry.Hash = 0;
    link->Removed = FALSE;
    link->Name.Buffer = ownBuffer != NULL ? ownBuffer : link->InlineName;
    link->Name.MaximumLength = ownBuffer != NULL ? (USHORT)(length + sizeof(WCHAR)) : (USHORT)INLINE_NAME_BYTES;
    link->Name.Length = length;
    RtlCopyMemory(link->Name.Buffer, Name->Buffer, length);
    link->Name.Buffer[length / sizeof(WCHAR)] = UNICODE_NULL;
    *Link = link;
    return STATUS_SUCCESS;
}

/*
 * ReleaseLink: drops one reference; the last one frees the name and the record
 * (or frees the node's embedded link for its next name).
 */
VOID ReleaseLink(PLINK Link)
{
    if (InterlockedDecrement(&Link->ReferenceCount) != 0)
        return;
    PFCB node = Link->Node;
    if (Link->Name.Buffer != Link->InlineName)
        VorelData.FreePool(Link->Name.Buffer, TAG_LONG_NAME);
    Link->Name.Buffer = NULL;
    Link->Name.Length = Link->Name.MaximumLength = 0;
    if (Link == &node->EmbeddedLink) {
        InterlockedExchange(&Link->Signature, 0);
        return;
    }
    Link->Signature = 0;
    VorelData.FreePool(Link, TAG_LINK);
}

/*
 * BuildChildIndex: indexes every child of a directory that has just reached
 * CHILD_INDEX_THRESHOLD + 1 names. Without memory the directory goes on without an
 * index and tries again at its next name.
 */
static VOID BuildChildIndex(PFCB Directory)
{
    PHASH_TABLE index = (PHASH_TABLE)AllocateZeroed(sizeof(HASH_TABLE), TAG_CHILD_INDEX, NonPagedPoolNx);
    if (index == NULL)
        return;
    if (!NT_SUCCESS(InitializeHashTable(index, CHILD_INDEX_BUCKETS, TAG_CHILD_INDEX))) {
        VorelData.FreePool(index, TAG_CHILD_INDEX);
        return;
    }
    for (PLIST_ENTRY entry = Directory->Children.Flink; entry != &Directory->Children; entry = entry->Flink) {
        PLINK child = CONTAINING_RECORD(entry, LINK, SiblingLinks);
        child->IndexEntry.Hash = HashName(&child->Name);
        InsertHashEntry(index, &child->IndexEntry);
    }
    Directory->ChildIndex = index;
    Directory->HasChildIndex = TRUE;
}

/* AddToChildIndex: counts a new child (already in Children) and indexes it. */
static VOID AddToChildIndex(PFCB Directory, PLINK Link)
{
    Directory->ChildCount++;
    if (Directory->HasChildIndex) {
        Link->IndexEntry.Hash = HashName(&Link->Name);
        InsertHashEntry(Directory->ChildIndex, &Link->IndexEntry);
    } else if (Directory->ChildCount > CHILD_INDEX_THRESHOLD) {
        BuildChildIndex(Directory);
    }
}

/*
 * AddLink: puts Link into Directory, at the end of its children, and makes it a
 * name of its node. The caller holds the tree resource (shared is enough) and the
 * directory's main resource exclusively; the node's main resource is taken here.
 * Returns STATUS_DELETE_PENDING for an unlinked directory and STATUS_ACCESS_DENIED
 * for a node that has lost its last name (it can never be named again).
 */
NTSTATUS AddLink(PFCB Directory, PLINK Link)
{
    PFCB node = Link->Node;
    if (Directory->Unlinked)
        return STATUS_DELETE_PENDING;
    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    if (node->Unlinked) {
        ExReleaseResourceLite(&node->MainResource);
        return STATUS_ACCESS_DENIED;
    }

    Link->Parent = Directory;
    Link->Arrival = Directory->NextArrival++;
    InsertTailList(&Directory->Children, &Link->SiblingLinks);
    AddToChildIndex(Directory, Link);
    InterlockedIncrement(&Link->ReferenceCount);
    Link->Removed = FALSE;

    InsertTailList(&node->Names, &Link->NameLinks);
    if (++node->LinkCount == 1) {
        ReferenceNode(node);
        node->Unlinked = FALSE;
        if (!node->IsRoot)
            InsertNodeIdIndex(node);
        RemoveOrphan(node);
    }
    ExReleaseResourceLite(&node->MainResource);
    return STATUS_SUCCESS;
}

/*
 * RemoveLink: takes the name out of its directory and off its node. The caller
 * holds the tree resource exclusively (else the system stops: invariant 4481) and
 * the parent's main resource exclusively. A node that loses its last name becomes
 * unlinked, leaves the node-id index and joins the orphan list; the names'
 * reference on it is dropped last, which may end it.
 */
VOID RemoveLink(PLINK Link)
{
    PFCB node = Link->Node;
    PFCB parent = Link->Parent;
    if (!ExIsResourceAcquiredExclusiveLite(&node->Vcb->TreeResource))
        NamespaceInvariantFailed(INVARIANT_REMOVE_WITHOUT_TREE, Link);

    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    if (parent->HasChildIndex)
        RemoveHashEntry(parent->ChildIndex, &Link->IndexEntry);
    if (parent->ChildCount != 0)
        parent->ChildCount--;
    RemoveEntryList(&Link->SiblingLinks);
    Link->SiblingLinks.Flink = Link->SiblingLinks.Blink = NULL;
    Link->Removed = TRUE;
    Link->Parent = NULL;
    RemoveEntryList(&Link->NameLinks);
    Link->NameLinks.Flink = Link->NameLinks.Blink = NULL;
    ULONG left = --node->LinkCount;
    if (left != 0) {
        node->DeletePending = FALSE;
        node->DeleteCompanion = FALSE;
    } else {
        node->Unlinked = TRUE;
        if (!node->IsRoot)
            RemoveNodeIdIndex(node);
        InsertOrphan(node);
    }
    ExReleaseResourceLite(&node->MainResource);

    ReleaseLink(Link);
    if (left == 0)
        DereferenceNode(node);
}

/* AllocateNameBuffer: a pool buffer for a name too long for a link's own; FALSE without memory. */
static BOOLEAN AllocateNameBuffer(PCUNICODE_STRING Name, PWCHAR *Buffer)
{
    *Buffer = NULL;
    if (Name->Length <= INLINE_NAME_BYTES - sizeof(WCHAR))
        return TRUE;
    *Buffer = (PWCHAR)AllocateZeroed(Name->Length + sizeof(WCHAR), TAG_LONG_NAME, NonPagedPoolNx);
    return *Buffer != NULL;
}

/* ReplaceName: Link's text becomes Name, in OwnBuffer (from AllocateNameBuffer) or the link's own. */
static VOID ReplaceName(PLINK Link, PCUNICODE_STRING Name, PWCHAR OwnBuffer)
{
    USHORT length = Name->Length;
    if (Link->Name.Buffer != Link->InlineName)
        VorelData.FreePool(Link->Name.Buffer, TAG_LONG_NAME);
    Link->Name.Buffer = OwnBuffer != NULL ? OwnBuffer : Link->InlineName;
    Link->Name.MaximumLength = OwnBuffer != NULL ? (USHORT)(length + sizeof(WCHAR)) : (USHORT)INLINE_NAME_BYTES;
    /* Name is the request's copy, never the buffer freed above. */
    RtlCopyMemory(Link->Name.Buffer, Name->Buffer, length);
    Link->Name.Buffer[length / sizeof(WCHAR)] = UNICODE_NULL;
    Link->Name.Length = length;
}

/*
 * RenameLinkInPlace: Link takes the name NewName in its own directory, keeping
 * its place (and arrival) among the children, so a listing in progress neither
 * loses the entries after it nor meets it twice. The caller holds the tree
 * resource, the directory and the node exclusive, and has checked NewName.
 * Returns STATUS_INSUFFICIENT_RESOURCES, with nothing changed, when a long name
 * gets no buffer.
 */
NTSTATUS RenameLinkInPlace(PLINK Link, PCUNICODE_STRING NewName)
{
    PFCB directory = Link->Parent;
    PWCHAR ownBuffer = NULL;
    if (!AllocateNameBuffer(NewName, &ownBuffer))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (directory->HasChildIndex)
        RemoveHashEntry(directory->ChildIndex, &Link->IndexEntry);
    ReplaceName(Link, NewName, ownBuffer);
    if (directory->HasChildIndex) {
        Link->IndexEntry.Hash = HashName(&Link->Name);
        InsertHashEntry(directory->ChildIndex, &Link->IndexEntry);
    }
    return STATUS_SUCCESS;
}

/*
 * A move of a name between two directories runs in three steps, never holding
 * the two directories together (an order between two unrelated directories
 * would be inverted by a later move that nests them, against create, which holds
 * a directory while it takes a child's resource):
 *   DetachLink, under the old directory: the name leaves it and takes its new
 *     text; it counts as removed, so a handle's resume point or a cleanup that
 *     reaches it meanwhile leaves it alone;
 *   AttachLink, under the new directory: the name joins it;
 *   FinishLinkMove, under the old directory again: it no longer counts as
 *     removed (a reader of either directory sees either state and does right).
 * The caller holds the tree resource exclusive throughout, so no other name is
 * added or removed in between, and the node's main resource in each step.
 */

/*
 * DetachLink: the first step. The caller holds the tree resource, the link's
 * directory and the node exclusive, and has checked NewName (1..510 bytes, even).
 * Returns STATUS_INSUFFICIENT_RESOURCES, with nothing changed, when a long name
 * gets no buffer.
 */
NTSTATUS DetachLink(PLINK Link, PCUNICODE_STRING NewName)
{
    PFCB source = Link->Parent;
    if (!ExIsResourceAcquiredExclusiveLite(&source->Vcb->TreeResource))
        NamespaceInvariantFailed(INVARIANT_REMOVE_WITHOUT_TREE, Link);
    PWCHAR ownBuffer = NULL;
    if (!AllocateNameBuffer(NewName, &ownBuffer))
        return STATUS_INSUFFICIENT_RESOURCES;
    if (source->HasChildIndex)
        RemoveHashEntry(source->ChildIndex, &Link->IndexEntry);
    if (source->ChildCount != 0)
        source->ChildCount--;
    RemoveEntryList(&Link->SiblingLinks);
    Link->SiblingLinks.Flink = Link->SiblingLinks.Blink = NULL;
    Link->Removed = TRUE;
    ReplaceName(Link, NewName, ownBuffer);
    return STATUS_SUCCESS;
}

/*
 * AttachLink: the second step: Link joins Target at the tail of its children (as
 * the latest arrival) and in its child index. The caller holds the tree resource, Target and the node
 * exclusive, and has made sure Target has no other entry of the link's name. No
 * time changes.
 */
VOID AttachLink(PLINK Link, PFCB Target)
{
    Link->Parent = Target;
    Link->Arrival = Target->NextArrival++; /* the tail of the children: the latest to arrive */
    InsertTailList(&Target->Children, &Link->SiblingLinks);
    AddToChildIndex(Target, Link);
}

/* FinishLinkMove: the last step. The caller holds the tree resource, the old directory and the node exclusive. */
VOID FinishLinkMove(PLINK Link)
{
    Link->Removed = FALSE;
}
