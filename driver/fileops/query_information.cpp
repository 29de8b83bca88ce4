/*
 * IRP_MJ_QUERY_INFORMATION: what a handle's node reports about itself. Times,
 * sizes and attributes are read one field at a time without a lock, as the fast
 * I/O entries read them; paths and the list of names are read under the tree
 * resource (and the node's main resource for its names), so a rename never shows
 * half done.
 *
 * Buffer rules: a fixed record needs its whole size (STATUS_BUFFER_TOO_SMALL);
 * the name records need their 4-byte length and room for one character; the all
 * and hard-link records fail a buffer shorter than their head with
 * STATUS_INFO_LENGTH_MISMATCH. A variable part that does not fit leaves the head
 * filled, STATUS_BUFFER_OVERFLOW and Information = the bytes written.
 */
#include "vorel.h"

#define ALL_INFORMATION_HEAD    100u    /* FILE_ALL_INFORMATION up to its name */
#define LINK_ENTRY_HEAD         20u     /* FILE_LINK_ENTRY_INFORMATION up to its name */
#define NO_CCB_EFFECTIVE_ACCESS 0x1F01FFu

/*
 * BuildFullPath: the path of a handle's name from the root ("\a\b"), in pool
 * memory the caller frees with FreeLinkPath. The handle's own link names it, else
 * the node's first name. Takes and releases the tree resource shared, which keeps
 * every link on the walk in place. Returns STATUS_INSUFFICIENT_RESOURCES for a
 * path above 65534 bytes or no memory.
 */
static NTSTATUS BuildFullPath(PVCB Vcb, PFCB Fcb, PCCB Ccb, PUNICODE_STRING Path)
{
    USHORT lastName;
    ExAcquireResourceSharedLite(&Vcb->TreeResource, TRUE);
    PLINK start = Ccb != NULL && Ccb->Link != NULL ? Ccb->Link : FirstNameOf(Fcb);
    NTSTATUS status = BuildLinkPath(Fcb->IsRoot ? NULL : start, Path, &lastName);
    ExReleaseResourceLite(&Vcb->TreeResource);
    return status;
}

/*
 * QueryNameRecord: a name record (FILE_NAME_INFORMATION shape) at Record with
 * Room bytes after its length. The length field is always the full length; the
 * name is copied only whole. Sets *Written to the name bytes copied.
 */
static NTSTATUS QueryNameRecord(PVCB Vcb, PFCB Fcb, PCCB Ccb, PFILE_NAME_INFORMATION Record, ULONG Room,
                                PULONG Written)
{
    UNICODE_STRING path;
    *Written = 0;
    NTSTATUS status = BuildFullPath(Vcb, Fcb, Ccb, &path);
    if (!NT_SUCCESS(status))
        return status;
    Record->FileNameLength = path.Length;
    if (path.Length <= Room) {
        RtlCopyMemory(Record->FileName, path.Buffer, path.Length);
        *Written = path.Length;
    } else {
        status = STATUS_BUFFER_OVERFLOW;
    }
    FreeLinkPath(&path);
    return status;
}

/*
 * QueryHardLinks: the node's names in list order. Takes the tree resource and the
 * node's main resource shared. Entries are written while each fits whole; the
 * count needed covers them all. Sets *Written to the bytes written (at most Length).
 */
static NTSTATUS QueryHardLinks(PVCB Vcb, PFCB Fcb, PFILE_LINKS_INFORMATION Record, ULONG Length, PULONG Written)
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG needed = FIELD_OFFSET(FILE_LINKS_INFORMATION, Entry);
    ULONG written = needed;
    ULONG count = 0;
    PFILE_LINK_ENTRY_INFORMATION last = NULL;
    ExAcquireResourceSharedLite(&Vcb->TreeResource, TRUE);
    ExAcquireResourceSharedLite(&Fcb->MainResource, TRUE);
    for (PLIST_ENTRY entry = Fcb->Names.Flink; entry != &Fcb->Names; entry = entry->Flink) {
        PLINK link = CONTAINING_RECORD(entry, LINK, NameLinks);
        ULONG size = (link->Name.Length + 27u) & ~7u;
        if (status == STATUS_SUCCESS && (ULONGLONG)written + LINK_ENTRY_HEAD + link->Name.Length <= Length) {
            PFILE_LINK_ENTRY_INFORMATION out = (PFILE_LINK_ENTRY_INFORMATION)((PUCHAR)Record + written);
            out->NextEntryOffset = size;
            out->ParentFileId = link->Parent != NULL ? (LONGLONG)link->Parent->NodeId : 0;
            out->FileNameLength = link->Name.Length / sizeof(WCHAR);
            RtlCopyMemory(out->FileName, link->Name.Buffer, link->Name.Length);
            last = out;
            written += size;
            count++;
        } else {
            status = STATUS_BUFFER_OVERFLOW;
        }
        needed += size;
    }
    ExReleaseResourceLite(&Fcb->MainResource);
    ExReleaseResourceLite(&Vcb->TreeResource);
    if (last != NULL)
        last->NextEntryOffset = 0;
    Record->BytesNeeded = needed;
    Record->EntriesReturned = count;
    *Written = min(written, Length);
    return status;
}

/* FillStatInformation: the stat record; the handle's granted access is its effective access. */
static VOID FillStatInformation(PFCB Fcb, PCCB Ccb, PFILE_STAT_INFORMATION Record)
{
    FILE_NETWORK_OPEN_INFORMATION open;
    FillNetworkOpenInformation(Fcb, &open);
    Record->FileId.QuadPart = (LONGLONG)Fcb->NodeId;
    Record->CreationTime = open.CreationTime;
    Record->LastAccessTime = open.LastAccessTime;
    Record->LastWriteTime = open.LastWriteTime;
    Record->ChangeTime = open.ChangeTime;
    Record->AllocationSize = open.AllocationSize;
    Record->EndOfFile = open.EndOfFile;
    Record->FileAttributes = open.FileAttributes;
    Record->ReparseTag = ReadULongNoFence(&Fcb->ReparseTag);
    Record->NumberOfLinks = ReadULongNoFence(&Fcb->LinkCount);
    Record->EffectiveAccess = Ccb != NULL ? Ccb->GrantedAccess : NO_CCB_EFFECTIVE_ACCESS;
}

/* FixedRecordSize: the size of a fixed record this handler serves, or 0 for the other classes. */
static ULONG FixedRecordSize(FILE_INFORMATION_CLASS Class)
{
    switch (Class) {
    case FileBasicInformation:
        return sizeof(FILE_BASIC_INFORMATION);
    case FileStandardInformation:
        return sizeof(FILE_STANDARD_INFORMATION);
    case FileInternalInformation:
        return sizeof(FILE_INTERNAL_INFORMATION);
    case FileEaInformation:
        return sizeof(FILE_EA_INFORMATION);
    case FilePositionInformation:
        return sizeof(FILE_POSITION_INFORMATION);
    case FileNetworkOpenInformation:
        return sizeof(FILE_NETWORK_OPEN_INFORMATION);
    case FileAttributeTagInformation:
        return sizeof(FILE_ATTRIBUTE_TAG_INFORMATION);
    case FileStandardLinkInformation:
        return sizeof(FILE_STANDARD_LINK_INFORMATION);
    case FileIdInformation:
        return sizeof(FILE_ID_INFORMATION);
    case FileStatInformation:
        return sizeof(FILE_STAT_INFORMATION);
    case FileStatLxInformation:
        return sizeof(FILE_STAT_LX_INFORMATION);
    default:
        return 0;
    }
}

/* QueryFixedRecord: fills a fixed record of Class (the buffer holds its whole size). */
static VOID QueryFixedRecord(PVCB Vcb, PFILE_OBJECT FileObject, PFCB Fcb, PCCB Ccb, FILE_INFORMATION_CLASS Class,
                             PVOID Buffer)
{
    switch (Class) {
    case FileBasicInformation:
        FillBasicInformation(Fcb, (PFILE_BASIC_INFORMATION)Buffer);
        break;
    case FileStandardInformation:
        FillStandardInformation(Fcb, (PFILE_STANDARD_INFORMATION)Buffer);
        break;
    case FileInternalInformation:
        ((PFILE_INTERNAL_INFORMATION)Buffer)->IndexNumber.QuadPart = (LONGLONG)Fcb->NodeId;
        break;
    case FileEaInformation:
        ((PFILE_EA_INFORMATION)Buffer)->EaSize = ReadULongNoFence(&Fcb->EaPackedSize);
        break;
    case FilePositionInformation:
        ((PFILE_POSITION_INFORMATION)Buffer)->CurrentByteOffset = FileObject->CurrentByteOffset;
        break;
    case FileNetworkOpenInformation:
        FillNetworkOpenInformation(Fcb, (PFILE_NETWORK_OPEN_INFORMATION)Buffer);
        break;
    case FileAttributeTagInformation: {
        PFILE_ATTRIBUTE_TAG_INFORMATION record = (PFILE_ATTRIBUTE_TAG_INFORMATION)Buffer;
        record->FileAttributes = ReportedAttributes(Fcb);
        record->ReparseTag = ReadULongNoFence(&Fcb->ReparseTag);
        break;
    }
    case FileStandardLinkInformation: {
        PFILE_STANDARD_LINK_INFORMATION record = (PFILE_STANDARD_LINK_INFORMATION)Buffer;
        record->NumberOfAccessibleLinks = ReadULongNoFence(&Fcb->LinkCount);
        record->TotalNumberOfLinks = record->NumberOfAccessibleLinks;
        record->DeletePending = ReadUCharNoFence(&Fcb->DeletePending);
        record->Directory = Fcb->IsDirectory;
        break;
    }
    case FileIdInformation: {
        PFILE_ID_INFORMATION record = (PFILE_ID_INFORMATION)Buffer;
        ULONGLONG id = Fcb->NodeId;
        record->VolumeSerialNumber = Vcb->Vdr->SerialNumber;
        RtlZeroMemory(&record->FileId, sizeof(record->FileId));
        RtlCopyMemory(record->FileId.Identifier, &id, sizeof(id));
        break;
    }
    case FileStatInformation:
        FillStatInformation(Fcb, Ccb, (PFILE_STAT_INFORMATION)Buffer);
        break;
    case FileStatLxInformation:
        /* The extended fields have no meaning here: zeros. */
        RtlZeroMemory(Buffer, sizeof(FILE_STAT_LX_INFORMATION));
        FillStatInformation(Fcb, Ccb, (PFILE_STAT_INFORMATION)Buffer);
        break;
    default:
        break;
    }
}

/*
 * QueryAllInformation: the 100-byte head (basic, standard, internal, EA size,
 * position, zero access flags, mode and alignment, name length) and the path
 * when it fits. The caller checked the buffer holds the head.
 */
static NTSTATUS QueryAllInformation(PVCB Vcb, PFILE_OBJECT FileObject, PFCB Fcb, PCCB Ccb,
                                    PFILE_ALL_INFORMATION Record, ULONG Length, PULONG Written)
{
    RtlZeroMemory(Record, ALL_INFORMATION_HEAD);
    FillBasicInformation(Fcb, &Record->BasicInformation);
    FillStandardInformation(Fcb, &Record->StandardInformation);
    Record->InternalInformation.IndexNumber.QuadPart = (LONGLONG)Fcb->NodeId;
    Record->EaInformation.EaSize = ReadULongNoFence(&Fcb->EaPackedSize);
    Record->PositionInformation.CurrentByteOffset = FileObject->CurrentByteOffset;
    ULONG nameBytes;
    NTSTATUS status = QueryNameRecord(Vcb, Fcb, Ccb, &Record->NameInformation, Length - ALL_INFORMATION_HEAD,
                                      &nameBytes);
    *Written = ALL_INFORMATION_HEAD + nameBytes;
    return status;
}

/*
 * CommonQueryInformation: a query on an admitted volume. PASSIVE_LEVEL; holds no
 * lock. Sets Information to the bytes written and returns the status.
 */
static NTSTATUS CommonQueryInformation(PIRP Irp, PVCB Vcb)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = irpSp->FileObject;
    PCCB ccb = HandleCcb(fileObject);
    FILE_INFORMATION_CLASS infoClass = irpSp->Parameters.QueryFile.FileInformationClass;
    ULONG length = irpSp->Parameters.QueryFile.Length;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG written = 0;
    NTSTATUS status;
    Irp->IoStatus.Information = 0;
    if (ccb == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;
    PFCB fcb = ccb->Node;

    ULONG fixed = FixedRecordSize(infoClass);
    if (fixed != 0) {
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        QueryFixedRecord(Vcb, fileObject, fcb, ccb, infoClass, buffer);
        Irp->IoStatus.Information = fixed;
        return STATUS_SUCCESS;
    }
    switch (infoClass) {
    case FileNameInformation:
    case FileNormalizedNameInformation: {
        ULONG head = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
        if (length < sizeof(FILE_NAME_INFORMATION))
            return STATUS_BUFFER_TOO_SMALL;
        status = QueryNameRecord(Vcb, fcb, ccb, (PFILE_NAME_INFORMATION)buffer, length - head, &written);
        written += head;
        break;
    }
    case FileAllInformation:
        if (length < ALL_INFORMATION_HEAD)
            return STATUS_INFO_LENGTH_MISMATCH;
        status = QueryAllInformation(Vcb, fileObject, fcb, ccb, (PFILE_ALL_INFORMATION)buffer, length, &written);
        break;
    case FileHardLinkInformation:
        if (length < FIELD_OFFSET(FILE_LINKS_INFORMATION, Entry))
            return STATUS_INFO_LENGTH_MISMATCH;
        status = QueryHardLinks(Vcb, fcb, (PFILE_LINKS_INFORMATION)buffer, length, &written);
        break;
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
    if (NT_ERROR(status))
        return status;
    Irp->IoStatus.Information = written;
    return status;
}

/* VorelQueryInformation: PASSIVE_LEVEL. Admission refusals as for every volume request, else CommonQueryInformation. */
NTSTATUS NTAPI VorelQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeRequest(DeviceObject, Irp, CommonQueryInformation);
}
