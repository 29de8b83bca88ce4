/*
 * The walk over a loaded metadata stream: records strictly in the format's
 * order, each node made and filled as its record arrives, each directory's
 * names inserted as its record arrives, until the stream end. Every rule a
 * record breaks makes the stream corrupt; nothing a record says is used before
 * it is checked.
 *
 * PASSIVE_LEVEL, inside the mount of a volume nobody else reaches yet: the
 * namespace and node resources are taken only because the routines that insert
 * names and set a node's attributes expect them, in the volume's order (tree,
 * directory, node main, node paging), and never across a read of the file.
 */
#include "vorel.h"

/* The least bytes a security table entry takes: its 8-byte head and one byte. */
#define SECURITY_ENTRY_MIN_BYTES    9u
/* A self-relative descriptor's fixed part. */
#define DESCRIPTOR_MIN_BYTES        sizeof(SECURITY_DESCRIPTOR_RELATIVE)

/*
 * AsCorrupt: what a namespace routine's refusal of recorded bytes means for the
 * load: the stream is corrupt, unless memory ran short.
 */
static NTSTATUS AsCorrupt(NTSTATUS Status)
{
    if (NT_SUCCESS(Status) || Status == STATUS_INSUFFICIENT_RESOURCES)
        return Status;
    return STATUS_FILE_CORRUPT_ERROR;
}

/*
 * LoadSecurityTable: the one security table: where each descriptor lies in the
 * stream ("vlIl"). A count that more entries than the record can hold claims is
 * refused before anything is allocated for it.
 */
static NTSTATUS LoadSecurityTable(PIMAGE_LOAD Load, const IMAGE_RECORD *Record)
{
    if (Load->SecurityTableSeen)
        return STATUS_FILE_CORRUPT_ERROR;
    Load->SecurityTableSeen = TRUE;
    IMAGE_SECURITY_TABLE table;
    NTSTATUS status = ParseImageSecurityTable(Record, &table);
    if (!NT_SUCCESS(status))
        return status;
    if (table.Count > Record->PayloadLength / SECURITY_ENTRY_MIN_BYTES)
        return STATUS_FILE_CORRUPT_ERROR;
    if (table.Count != 0) {
        Load->Descriptors = (PIMAGE_LOAD_DESCRIPTOR)AllocateZeroed(
            (SIZE_T)table.Count * sizeof(IMAGE_LOAD_DESCRIPTOR), TAG_IMAGE_LOAD, NonPagedPoolNx);
        if (Load->Descriptors == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < table.Count; ++i) {
        status = NextImageSecurityEntry(&table, &Load->Descriptors[i].Bytes, &Load->Descriptors[i].Length);
        if (!NT_SUCCESS(status))
            return status;
    }
    const UCHAR *bytes;
    ULONG length;
    if (NextImageSecurityEntry(&table, &bytes, &length) != STATUS_NO_MORE_ENTRIES)
        return STATUS_FILE_CORRUPT_ERROR;
    Load->DescriptorCount = table.Count;
    return STATUS_SUCCESS;
}

/*
 * MakeLoadedNode: a new file or directory carrying the record's identifier, in
 * the node table (which holds its one reference) with no name yet.
 */
static NTSTATUS MakeLoadedNode(PIMAGE_LOAD Load, PCIMAGE_NODE_RECORD Node, PFCB *Fcb)
{
    PFCB fcb;
    NTSTATUS status = AllocateNode(Load->Vcb, (Node->Flags & IMAGE_NODE_DIRECTORY) != 0, &fcb);
    if (!NT_SUCCESS(status))
        return status;
    fcb->NodeId = Node->NodeId;
    fcb->NodeIdEntry.Hash = Node->NodeId;
    status = AddLoadedNode(Load, Node->NodeId, fcb, Node->LinkCount);
    if (!NT_SUCCESS(status)) {
        DereferenceNode(fcb);
        return status;
    }
    *Fcb = fcb;
    return STATUS_SUCCESS;
}

/*
 * ApplyNodeFixed: the times, attributes, sparse mark and allocation size of the
 * record. An allocation size is kept as the file's request only when it exceeds
 * what the file's size gives anyway, so that a save and a load leave it as it
 * was. The caller owns the node alone (or it is the root of a volume being
 * mounted).
 */
static VOID ApplyNodeFixed(PFCB Fcb, PCIMAGE_NODE_RECORD Node)
{
    Fcb->CreationTime.QuadPart = Node->CreationTime;
    Fcb->LastWriteTime.QuadPart = Node->LastWriteTime;
    Fcb->LastAccessTime.QuadPart = Node->LastAccessTime;
    Fcb->ChangeTime.QuadPart = Node->ChangeTime;
    InterlockedExchange(&Fcb->Attributes, (LONG)(Node->Attributes & IMAGE_NODE_ATTRIBUTE_MASK));
    if (Fcb->IsDirectory)
        return;
    Fcb->Sparse = (Node->Flags & IMAGE_NODE_SPARSE) != 0;
    if (Node->AllocationSize > ALIGN_UP_BY(Node->FileSize, PAGE_SIZE))
        Fcb->Data.RequestedAllocation = min(Node->AllocationSize, (ULONGLONG)MAX_FILE_OFFSET);
}

/*
 * ApplyNodeSecurity: on a volume with per-file security, the node's descriptor
 * from the table entry it names, stored through the volume's descriptor store
 * with the record's own-security mark. A descriptor that is not a valid
 * self-relative one is corrupt. On a volume without it, descriptors are not
 * kept.
 */
static NTSTATUS ApplyNodeSecurity(PIMAGE_LOAD Load, PFCB Fcb, PCIMAGE_NODE_RECORD Node)
{
    PVCB vcb = Load->Vcb;
    if (vcb->NoSecurity || Node->SecurityIndex == IMAGE_NODE_NO_SECURITY)
        return STATUS_SUCCESS;
    PIMAGE_LOAD_DESCRIPTOR entry = &Load->Descriptors[Node->SecurityIndex];
    PSECURITY_DESCRIPTOR bytes = (PSECURITY_DESCRIPTOR)entry->Bytes;
    if (entry->Length < DESCRIPTOR_MIN_BYTES || !RtlValidRelativeSecurityDescriptor(bytes, entry->Length, 0))
        return STATUS_FILE_CORRUPT_ERROR;

    KeEnterCriticalRegion();
    PSECURITY_DESCRIPTOR stored = InternDescriptor(vcb, bytes, entry->Length);
    if (stored != NULL) {
        ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
        FreeNodeDescriptor(Fcb);
        Fcb->SecurityDescriptor = stored;
        Fcb->SecurityLength = entry->Length;
        Fcb->SharedSecurity = TRUE;
        Fcb->DefaultSecurity = (Node->Flags & IMAGE_NODE_OWN_SECURITY) != 0;
        ExReleaseResourceLite(&Fcb->MainResource);
        if (Fcb->IsRoot)
            DropInheritanceCache(vcb);
    }
    KeLeaveCriticalRegion();
    return stored != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

/*
 * LoadNodeAttribute: the node's EA list or reparse point, under its main
 * resource; bytes the namespace refuses are corrupt.
 */
static NTSTATUS LoadNodeAttribute(PFCB Fcb, const IMAGE_RECORD *Sub)
{
    ULONG errorOffset;
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    NTSTATUS status = Sub->Type == IMAGE_NODE_EAS
                          ? ReplaceEas(Fcb, (PFILE_FULL_EA_INFORMATION)Sub->Payload, Sub->PayloadLength, &errorOffset)
                          : SetReparse(Fcb, (PVOID)Sub->Payload, Sub->PayloadLength);
    ExReleaseResourceLite(&Fcb->MainResource);
    KeLeaveCriticalRegion();
    return AsCorrupt(status);
}

/* LoadSubRecord: one checked sub-record of a node: its EAs, its reparse point or its data map. */
static NTSTATUS LoadSubRecord(PIMAGE_LOAD Load, PFCB Fcb, PCIMAGE_NODE_RECORD Node, const IMAGE_RECORD *Sub,
                              PBOOLEAN MapSeen)
{
    if (Sub->Type != IMAGE_NODE_DATA_MAP)
        return LoadNodeAttribute(Fcb, Sub);
    if (*MapSeen)
        return STATUS_FILE_CORRUPT_ERROR;
    *MapSeen = TRUE;
    return LoadDataMap(Load, Fcb, Node, Sub);
}

/*
 * LoadSubRecords: every sub-record of a node; a file without a data map still
 * takes its size (all of it a hole).
 */
static NTSTATUS LoadSubRecords(PIMAGE_LOAD Load, PFCB Fcb, PCIMAGE_NODE_RECORD Node, PIMAGE_STREAM_READER SubRecords)
{
    BOOLEAN mapSeen = FALSE;
    NTSTATUS status;
    for (;;) {
        IMAGE_RECORD sub;
        BOOLEAN end;
        status = ReadImageRecord(SubRecords, &sub, &end);
        if (!NT_SUCCESS(status) || end)
            break;
        status = CheckImageSubRecordType(sub.Type);
        if (NT_SUCCESS(status))
            status = LoadSubRecord(Load, Fcb, Node, &sub, &mapSeen);
        if (!NT_SUCCESS(status))
            break;
    }
    if (NT_SUCCESS(status) && !mapSeen && !Fcb->IsDirectory)
        status = SizeLoadedFile(Fcb, Node->FileSize, Node->FileSize > EXTENT_SIZE);
    return status;
}

/*
 * LoadNodeRecord: a node record (only before the first directory record): the
 * root's fills the volume's root, any other makes a node, which joins the table
 * before anything else can fail, so a failed load finds it.
 */
static NTSTATUS LoadNodeRecord(PIMAGE_LOAD Load, const IMAGE_RECORD *Record)
{
    IMAGE_NODE_RECORD node;
    IMAGE_STREAM_READER subRecords;
    if (Load->Sorted)
        return STATUS_FILE_CORRUPT_ERROR;
    NTSTATUS status = ParseImageNodeRecord(Record, &node, &subRecords);
    if (NT_SUCCESS(status))
        status = CheckImageNodeRecord(&node, Load->DescriptorCount);
    if (!NT_SUCCESS(status))
        return status;
    Load->NodeRecords++;
    Load->LargestNodeId = max(Load->LargestNodeId, node.NodeId);

    PFCB fcb = Load->Vcb->RootFcb;
    if (node.NodeId == IMAGE_NODE_ROOT_ID) {
        if (Load->RootSeen)
            return STATUS_FILE_CORRUPT_ERROR;
        Load->RootSeen = TRUE;
    } else {
        status = MakeLoadedNode(Load, &node, &fcb);
        if (!NT_SUCCESS(status))
            return status;
    }
    ApplyNodeFixed(fcb, &node);
    status = ApplyNodeSecurity(Load, fcb, &node);
    if (!NT_SUCCESS(status))
        return status;
    return LoadSubRecords(Load, fcb, &node, &subRecords);
}

/*
 * InsertLoadedName: one directory entry: the child, a node of the table with a
 * name still to come, gets the name in Directory (Parent its table entry, NULL
 * for the root), which must not hold it yet in any case. A directory child must
 * not be above Directory: that ring is a reachability failure.
 */
static NTSTATUS InsertLoadedName(PIMAGE_LOAD Load, PFCB Directory, PIMAGE_LOAD_NODE Parent,
                                 const IMAGE_DIRECTORY_ENTRY *Entry)
{
    PIMAGE_LOAD_NODE child = FindLoadedNode(Load, Entry->ChildId);
    if (child == NULL || child->Linked >= child->LinkCount)
        return STATUS_FILE_CORRUPT_ERROR;
    NTSTATUS status;
    if (child->Fcb->IsDirectory && Parent != NULL) {
        status = JoinLoadedDirectory(Load, Parent, child);
        if (!NT_SUCCESS(status)) {
            Load->Stage = IMAGE_STAGE_REACHABILITY;
            return status;
        }
    }
    UNICODE_STRING name;
    name.Buffer = (PWCH)Entry->Name;
    name.Length = name.MaximumLength = Entry->NameLength;
    PLINK link;
    status = MakeLink(child->Fcb, &name, &link);
    if (!NT_SUCCESS(status))
        return AsCorrupt(status);

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Load->Vcb->TreeResource, TRUE);
    ExAcquireResourceExclusiveLite(&Directory->MainResource, TRUE);
    status = LookupChild(Directory, &name) != NULL ? STATUS_FILE_CORRUPT_ERROR : AddLink(Directory, link);
    ExReleaseResourceLite(&Directory->MainResource);
    ExReleaseResourceLite(&Load->Vcb->TreeResource);
    KeLeaveCriticalRegion();
    ReleaseLink(link);      /* the maker's reference; an inserted name keeps the directory's */
    if (!NT_SUCCESS(status))
        return AsCorrupt(status);
    child->Linked++;
    Load->EntriesSeen++;
    return STATUS_SUCCESS;
}

/*
 * LoadDirectoryRecord: a directory's names. The first directory record sorts
 * the node table; the directory is the root or a directory of the table.
 */
static NTSTATUS LoadDirectoryRecord(PIMAGE_LOAD Load, const IMAGE_RECORD *Record)
{
    NTSTATUS status;
    if (!Load->Sorted) {
        status = SortLoadedNodes(Load);
        if (!NT_SUCCESS(status))
            return status;
    }
    IMAGE_DIRECTORY directory;
    status = ParseImageDirectory(Record, &directory);
    if (!NT_SUCCESS(status))
        return status;
    PFCB parent = Load->Vcb->RootFcb;
    PIMAGE_LOAD_NODE found = NULL;
    if (directory.DirectoryId != IMAGE_NODE_ROOT_ID) {
        found = FindLoadedNode(Load, directory.DirectoryId);
        if (found == NULL || !found->Fcb->IsDirectory)
            return STATUS_FILE_CORRUPT_ERROR;
        parent = found->Fcb;
    }
    IMAGE_DIRECTORY_ENTRY entry;
    while ((status = NextImageDirectoryEntry(&directory, &entry)) == STATUS_SUCCESS) {
        status = InsertLoadedName(Load, parent, found, &entry);
        if (!NT_SUCCESS(status))
            return status;
    }
    return status == STATUS_NO_MORE_ENTRIES ? STATUS_SUCCESS : status;
}

/* LoadStreamEnd: the counts that close the stream; the node count must be the records met. */
static NTSTATUS LoadStreamEnd(PIMAGE_LOAD Load, const IMAGE_RECORD *Record)
{
    ULONGLONG nodes;
    NTSTATUS status = ParseImageStreamEnd(Record, &nodes, &Load->EndEntryCount);
    if (!NT_SUCCESS(status))
        return status;
    if (nodes != Load->NodeRecords)
        return STATUS_FILE_CORRUPT_ERROR;
    Load->EndSeen = TRUE;
    return STATUS_SUCCESS;
}

/*
 * WalkImageStream: the whole stream, from its first record to its stream end
 * (what follows that is not read). A type without the top bit is skipped; a
 * stream that ends without a stream end is corrupt. Returns the first failure:
 * STATUS_FILE_CORRUPT_ERROR, STATUS_CRC_ERROR, STATUS_INVALID_DEVICE_REQUEST (a
 * node of another format version), STATUS_INSUFFICIENT_RESOURCES, or a slot
 * read's status.
 */
NTSTATUS WalkImageStream(PIMAGE_LOAD Load)
{
    IMAGE_STREAM_READER reader;
    InitializeImageStreamReader(&reader, Load->Stream, Load->StreamLength);
    while (!Load->EndSeen) {
        IMAGE_RECORD record;
        BOOLEAN end, skip;
        NTSTATUS status = ReadImageRecord(&reader, &record, &end);
        if (!NT_SUCCESS(status))
            return status;
        if (end)
            return STATUS_FILE_CORRUPT_ERROR;
        status = CheckImageRecordType(record.Type, &skip);
        if (!NT_SUCCESS(status))
            return status;
        if (skip)
            continue;
        switch (record.Type) {
        case IMAGE_RECORD_SECURITY_TABLE:
            status = LoadSecurityTable(Load, &record);
            break;
        case IMAGE_RECORD_NODE:
            status = LoadNodeRecord(Load, &record);
            break;
        case IMAGE_RECORD_DIRECTORY:
            status = LoadDirectoryRecord(Load, &record);
            break;
        case IMAGE_RECORD_STREAM_END:
            status = LoadStreamEnd(Load, &record);
            break;
        default:    /* the stream start */
            break;
        }
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}
