/*
 * The node table of a load: every node the load made, in stream order while node
 * records arrive, then sorted by identifier (heap sort, in place) for the binary
 * searches of the directory records. It ends with the load: released into the
 * tree when the load succeeds, destroyed with every name it got when it fails.
 * The table is the load's alone; the node resources are taken only where the
 * namespace routines expect them.
 */
#include "vorel.h"

/* GrowLoadedNodes: room for one more node; the table starts at 1024 entries and doubles. */
static NTSTATUS GrowLoadedNodes(PIMAGE_LOAD Load)
{
    if (Load->NodeCount < Load->NodeCapacity)
        return STATUS_SUCCESS;
    ULONGLONG capacity = Load->NodeCapacity == 0 ? IMAGE_LOAD_NODES_INITIAL : 2ull * Load->NodeCapacity;
    if (capacity > MAXULONG)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIMAGE_LOAD_NODE nodes = (PIMAGE_LOAD_NODE)AllocateZeroed((SIZE_T)capacity * sizeof(IMAGE_LOAD_NODE),
                                                              TAG_IMAGE_LOAD, NonPagedPoolNx);
    if (nodes == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (Load->NodeCount != 0)
        RtlCopyMemory(nodes, Load->Nodes, (SIZE_T)Load->NodeCount * sizeof(IMAGE_LOAD_NODE));
    FreeAndClear((PVOID *)&Load->Nodes, TAG_IMAGE_LOAD);
    Load->Nodes = nodes;
    Load->NodeCapacity = (ULONG)capacity;
    return STATUS_SUCCESS;
}

/*
 * AddLoadedNode: Fcb (the load's reference, which the table takes over) joins
 * the table with no name yet. Returns STATUS_INSUFFICIENT_RESOURCES, the node
 * still the caller's, when the table cannot grow.
 */
NTSTATUS AddLoadedNode(PIMAGE_LOAD Load, ULONGLONG NodeId, PFCB Fcb, ULONG LinkCount)
{
    NTSTATUS status = GrowLoadedNodes(Load);
    if (!NT_SUCCESS(status))
        return status;
    PIMAGE_LOAD_NODE entry = &Load->Nodes[Load->NodeCount++];
    RtlZeroMemory(entry, sizeof(*entry));
    entry->NodeId = NodeId;
    entry->Fcb = Fcb;
    entry->LinkCount = LinkCount;
    return STATUS_SUCCESS;
}

static VOID SwapLoadedNodes(PIMAGE_LOAD_NODE Nodes, ULONG A, ULONG B)
{
    IMAGE_LOAD_NODE swap = Nodes[A];
    Nodes[A] = Nodes[B];
    Nodes[B] = swap;
}

/* SiftDown: restores the max-heap below Root within the first Count entries. */
static VOID SiftDown(PIMAGE_LOAD_NODE Nodes, ULONG Root, ULONG Count)
{
    for (;;) {
        ULONGLONG child = 2ull * Root + 1;
        if (child >= Count)
            return;
        if (child + 1 < Count && Nodes[child + 1].NodeId > Nodes[child].NodeId)
            child++;
        if (Nodes[Root].NodeId >= Nodes[child].NodeId)
            return;
        SwapLoadedNodes(Nodes, Root, (ULONG)child);
        Root = (ULONG)child;
    }
}

/*
 * SortLoadedNodes: sorts the table by identifier, once, when the first directory
 * record arrives (no node record may follow). Two nodes of one identifier make
 * the stream corrupt.
 */
NTSTATUS SortLoadedNodes(PIMAGE_LOAD Load)
{
    PIMAGE_LOAD_NODE nodes = Load->Nodes;
    ULONG count = Load->NodeCount;
    Load->Sorted = TRUE;
    for (ULONG i = count / 2; i-- > 0;)
        SiftDown(nodes, i, count);
    for (ULONG end = count; end > 1; --end) {
        SwapLoadedNodes(nodes, 0, end - 1);
        SiftDown(nodes, 0, end - 1);
    }
    for (ULONG i = 1; i < count; ++i) {
        if (nodes[i - 1].NodeId == nodes[i].NodeId)
            return STATUS_FILE_CORRUPT_ERROR;
    }
    return STATUS_SUCCESS;
}

/* FindLoadedNode: the sorted table's entry of NodeId, or NULL. */
PIMAGE_LOAD_NODE FindLoadedNode(PIMAGE_LOAD Load, ULONGLONG NodeId)
{
    ULONG low = 0;
    ULONG high = Load->NodeCount;
    while (low < high) {
        ULONG middle = low + (high - low) / 2;
        ULONGLONG id = Load->Nodes[middle].NodeId;
        if (id == NodeId)
            return &Load->Nodes[middle];
        if (id < NodeId)
            low = middle + 1;
        else
            high = middle;
    }
    return NULL;
}

/* TopOf: the topmost directory above entry Index, halving the way up for later climbs. */
static ULONG TopOf(PIMAGE_LOAD_NODE Nodes, ULONG Index)
{
    while (Nodes[Index].Up != 0) {
        ULONG up = Nodes[Index].Up - 1;
        if (Nodes[up].Up != 0)
            Nodes[Index].Up = Nodes[up].Up;
        Index = up;
    }
    return Index;
}

/*
 * JoinLoadedDirectory: the directory Child (a table entry not yet named) gets
 * its name in the directory Parent (a table entry; the root needs no join).
 * Returns STATUS_FILE_CORRUPT_ERROR when Child is above Parent already: the
 * name would close a ring of directories naming each other, which no path from
 * the root enters, and whose resources would be taken in both orders.
 */
NTSTATUS JoinLoadedDirectory(PIMAGE_LOAD Load, PIMAGE_LOAD_NODE Parent, PIMAGE_LOAD_NODE Child)
{
    ULONG child = (ULONG)(Child - Load->Nodes);
    ULONG top = TopOf(Load->Nodes, (ULONG)(Parent - Load->Nodes));
    if (top == child)
        return STATUS_FILE_CORRUPT_ERROR;
    Child->Up = top + 1;
    return STATUS_SUCCESS;
}

/*
 * CheckLoadedReachability: every node got exactly the names its record
 * promises, and the stream end counted every name. With no ring of directories
 * (JoinLoadedDirectory), every node then hangs from the root. Returns
 * STATUS_FILE_CORRUPT_ERROR otherwise.
 */
NTSTATUS CheckLoadedReachability(PIMAGE_LOAD Load)
{
    ULONGLONG linked = 0;
    for (ULONG i = 0; i < Load->NodeCount; ++i) {
        PIMAGE_LOAD_NODE node = &Load->Nodes[i];
        if (node->Linked != node->LinkCount)
            return STATUS_FILE_CORRUPT_ERROR;
        linked += node->Linked;
    }
    return linked == Load->EndEntryCount && linked == Load->EntriesSeen ? STATUS_SUCCESS : STATUS_FILE_CORRUPT_ERROR;
}

/* RemoveLoadedNames: every name the load gave Fcb, each under its directory. Tree resource exclusive. */
static VOID RemoveLoadedNames(PFCB Fcb)
{
    while (!IsListEmpty(&Fcb->Names)) {
        PLINK link = CONTAINING_RECORD(Fcb->Names.Flink, LINK, NameLinks);
        PFCB parent = link->Parent;
        ExAcquireResourceExclusiveLite(&parent->MainResource, TRUE);
        RemoveLink(link);
        ExReleaseResourceLite(&parent->MainResource);
    }
}

/*
 * ReleaseLoadedNodes: drops the load's reference on every node and frees the
 * table. On success the nodes' names keep them; with Destroy (a failed load)
 * every name is removed first, so every node goes, named or not, however its
 * names were arranged.
 */
VOID ReleaseLoadedNodes(PIMAGE_LOAD Load, BOOLEAN Destroy)
{
    if (Destroy && Load->NodeCount != 0) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&Load->Vcb->TreeResource, TRUE);
        for (ULONG i = 0; i < Load->NodeCount; ++i)
            RemoveLoadedNames(Load->Nodes[i].Fcb);
        ExReleaseResourceLite(&Load->Vcb->TreeResource);
        KeLeaveCriticalRegion();
    }
    for (ULONG i = 0; i < Load->NodeCount; ++i)
        DereferenceNode(Load->Nodes[i].Fcb);
    Load->NodeCount = 0;
    Load->NodeCapacity = 0;
    FreeAndClear((PVOID *)&Load->Nodes, TAG_IMAGE_LOAD);
}
