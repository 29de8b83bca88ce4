/*
 * IRP_MJ_DIRECTORY_CONTROL: listing a directory's entries and watching it for
 * changes.
 *
 * A listing walks the directory's children list in order of arrival, after "."
 * and ".." for a directory below the root. Between calls the handle keeps its
 * place in its CCB: the last name returned and a referenced resume link, the
 * next candidate. The reference keeps the link record alive when its name goes,
 * so a call can start at it again; a name lookup through the child index finds
 * the last returned entry when the link no longer says where to go on. Either
 * way a call starts where the last one stopped, so listing a directory costs
 * time in proportion to its size however small the caller's buffer.
 *
 * A query holds the directory's main resource from its first look at the
 * children to its last: entries are neither added nor removed under it.
 */
#include "vorel.h"

#define MAXIMUM_RECORD_BYTES    632u    /* no directory record is ever larger */
#define LARGEST_FIXED_PART      120u    /* room for the largest fixed part, rounded to 8 */

/* How a listing candidate fared. */
typedef enum _EMIT_RESULT {
    EmitSkipped,                        /* does not match the pattern */
    EmitWritten,
    EmitFull,                           /* does not fit: the listing stops before it */
} EMIT_RESULT;

/* LISTING: one query's output: the caller's buffer and what has been written to it. */
typedef struct _LISTING {
    PUCHAR Buffer;
    ULONG Length;
    ULONG Used;                         /* bytes of whole records, each rounded to 8 */
    ULONG LastRecord;                   /* offset of the last record written */
    ULONG Count;                        /* records written */
    FILE_INFORMATION_CLASS Class;
    ULONG FixedSize;
} LISTING, *PLISTING;

/* ReleaseEnumerationLink: drops a resume link's reference and the one on its node. */
VOID ReleaseEnumerationLink(PLINK Link)
{
    PFCB node = Link->Node;
    ReleaseLink(Link);
    DereferenceNode(node);
}

/* DirectoryRecordFixedSize: the fixed part of a record of Class, or 0 for a class not served. */
static ULONG DirectoryRecordFixedSize(FILE_INFORMATION_CLASS Class)
{
    switch (Class) {
    case FileDirectoryInformation:
        return FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation:
        return FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation:
        return FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation:
        return FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
    case FileIdBothDirectoryInformation:
        return FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    case FileIdFullDirectoryInformation:
        return FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName);
    case FileIdExtdDirectoryInformation:
        return FIELD_OFFSET(FILE_ID_EXTD_DIR_INFORMATION, FileName);
    case FileIdExtdBothDirectoryInformation:
        return FIELD_OFFSET(FILE_ID_EXTD_BOTH_DIR_INFORMATION, FileName);
    default:
        return 0;
    }
}

/*
 * FillFixedPart: the fixed part of Node's record of Class into Record (zeroed,
 * at least LARGEST_FIXED_PART bytes), with NextEntryOffset 0. Every class but
 * the names record begins with the directory record's fields; the EA size field
 * carries the reparse tag of a reparse point where the class has no field of
 * its own for it. Node's fields are read one at a time, without a lock.
 */
static VOID FillFixedPart(FILE_INFORMATION_CLASS Class, PFCB Node, ULONG NameLength, PUCHAR Record)
{
    if (Class == FileNamesInformation) {
        ((PFILE_NAMES_INFORMATION)Record)->FileNameLength = NameLength;
        return;
    }
    PFILE_DIRECTORY_INFORMATION common = (PFILE_DIRECTORY_INFORMATION)Record;
    FILE_BASIC_INFORMATION basic;
    FillBasicInformation(Node, &basic);
    common->CreationTime = basic.CreationTime;
    common->LastAccessTime = basic.LastAccessTime;
    common->LastWriteTime = basic.LastWriteTime;
    common->ChangeTime = basic.ChangeTime;
    common->EndOfFile.QuadPart = (LONGLONG)ReadULong64NoFence(&Node->Data.FileSize);
    common->AllocationSize.QuadPart = (LONGLONG)ReportedAllocationSize(Node);
    common->FileAttributes = basic.FileAttributes;
    common->FileNameLength = NameLength;

    ULONG reparseTag = ReadULongNoFence(&Node->ReparseTag);
    ULONG eaSize = ReadULongNoFence(&Node->EaPackedSize);
    ULONG eaOrTag = reparseTag != 0 ? reparseTag : eaSize;
    LONGLONG fileId = (LONGLONG)Node->NodeId;
    switch (Class) {
    case FileFullDirectoryInformation:
        ((PFILE_FULL_DIR_INFORMATION)Record)->EaSize = eaOrTag;
        break;
    case FileBothDirectoryInformation:
        ((PFILE_BOTH_DIR_INFORMATION)Record)->EaSize = eaOrTag;
        break;
    case FileIdBothDirectoryInformation:
        ((PFILE_ID_BOTH_DIR_INFORMATION)Record)->EaSize = eaOrTag;
        ((PFILE_ID_BOTH_DIR_INFORMATION)Record)->FileId.QuadPart = fileId;
        break;
    case FileIdFullDirectoryInformation:
        ((PFILE_ID_FULL_DIR_INFORMATION)Record)->EaSize = eaOrTag;
        ((PFILE_ID_FULL_DIR_INFORMATION)Record)->FileId.QuadPart = fileId;
        break;
    case FileIdExtdDirectoryInformation: {
        PFILE_ID_EXTD_DIR_INFORMATION extended = (PFILE_ID_EXTD_DIR_INFORMATION)Record;
        extended->EaSize = eaSize;
        extended->ReparsePointTag = reparseTag;
        RtlCopyMemory(extended->FileId.Identifier, &fileId, sizeof(fileId));
        break;
    }
    case FileIdExtdBothDirectoryInformation: {
        PFILE_ID_EXTD_BOTH_DIR_INFORMATION extended = (PFILE_ID_EXTD_BOTH_DIR_INFORMATION)Record;
        extended->EaSize = eaSize;
        extended->ReparsePointTag = reparseTag;
        RtlCopyMemory(extended->FileId.Identifier, &fileId, sizeof(fileId));
        break;
    }
    default:
        break;
    }
}

/*
 * StoreRecord: copies one record into the caller's buffer: the fixed part, the
 * name and zeros up to RecordSize; then links the previous record to it. The
 * one call a fault in the caller's memory may interrupt.
 */
static VOID StoreRecord(PUCHAR To, const UCHAR *Fixed, ULONG FixedSize, PCUNICODE_STRING Name, ULONG RecordSize,
                        PULONG PreviousNext, ULONG Distance)
{
    RtlCopyMemory(To, Fixed, FixedSize);
    RtlCopyMemory(To + FixedSize, Name->Buffer, Name->Length);
    RtlZeroMemory(To + FixedSize + Name->Length, RecordSize - FixedSize - Name->Length);
    if (PreviousNext != NULL)
        *PreviousNext = Distance;
}

/*
 * EmitRecord: writes Node's record under Name when it fits. Returns
 * STATUS_SUCCESS with *Result, or the fault of the caller's buffer.
 */
static NTSTATUS EmitRecord(PLISTING Listing, PFCB Node, PCUNICODE_STRING Name, EMIT_RESULT *Result)
{
    DECLSPEC_ALIGN(8) UCHAR fixed[LARGEST_FIXED_PART];
    ULONG recordSize = ALIGN_UP_BY(Listing->FixedSize + Name->Length, 8);
    if (recordSize > Listing->Length - Listing->Used || recordSize > MAXIMUM_RECORD_BYTES) {
        *Result = EmitFull;
        return STATUS_SUCCESS;
    }
    RtlZeroMemory(fixed, sizeof(fixed));
    FillFixedPart(Listing->Class, Node, Name->Length, fixed);
    PULONG previousNext = Listing->Count != 0 ? (PULONG)(Listing->Buffer + Listing->LastRecord) : NULL;
    NTSTATUS status = STATUS_SUCCESS;
    GUARDED_CALL(status, StoreRecord(Listing->Buffer + Listing->Used, fixed, Listing->FixedSize, Name, recordSize,
                                     previousNext, Listing->Used - Listing->LastRecord));
    if (!NT_SUCCESS(status))
        return status;
    Listing->LastRecord = Listing->Used;
    Listing->Used += recordSize;
    Listing->Count++;
    *Result = EmitWritten;
    return STATUS_SUCCESS;
}

/* IsLastName: whether Name is the last name the handle's listing returned (case-insensitive). */
static BOOLEAN IsLastName(PCCB Ccb, PCUNICODE_STRING Name)
{
    UNICODE_STRING last;
    last.Buffer = Ccb->LastName;
    last.Length = last.MaximumLength = Ccb->LastNameLength;
    return RtlEqualUnicodeString(&last, Name, TRUE);
}

/*
 * EmitCandidate: tests one candidate against the handle's pattern and writes
 * its record when it matches and fits; a written record becomes the handle's
 * last returned entry.
 */
static NTSTATUS EmitCandidate(PLISTING Listing, PCCB Ccb, PFCB Node, PCUNICODE_STRING Name, EMIT_RESULT *Result)
{
    *Result = EmitSkipped;
    if (!Ccb->MatchAll && Ccb->PatternLength != 0) {
        UNICODE_STRING pattern;
        pattern.Buffer = Ccb->Pattern;
        pattern.Length = pattern.MaximumLength = Ccb->PatternLength;
        if (!FsRtlIsNameInExpression(&pattern, (PUNICODE_STRING)Name, TRUE, NULL))
            return STATUS_SUCCESS;
    }
    NTSTATUS status = EmitRecord(Listing, Node, Name, Result);
    if (NT_SUCCESS(status) && *Result == EmitWritten) {
        RtlCopyMemory(Ccb->LastName, Name->Buffer, Name->Length);
        Ccb->LastNameLength = Name->Length;
        Ccb->LastFileId = Node->NodeId;
    }
    return status;
}

/*
 * ResetEnumeration: starts the handle's listing afresh with the request's
 * pattern, upper-cased; a pattern longer than the CCB holds lists everything.
 * The old resume link is handed back in *Dropped for the caller to release once
 * it holds no lock.
 */
static VOID ResetEnumeration(PCCB Ccb, PCUNICODE_STRING Pattern, PLINK *Dropped)
{
    *Dropped = Ccb->ResumeLink;
    Ccb->ResumeLink = NULL;
    Ccb->EnumerationStarted = FALSE;
    Ccb->EnumerationExhausted = FALSE;
    Ccb->LastNameLength = 0;
    Ccb->LastFileId = 0;
    Ccb->PatternLength = 0;
    if (Pattern != NULL && Pattern->Length != 0 && Pattern->Length <= sizeof(Ccb->Pattern)) {
        for (USHORT i = 0; i < Pattern->Length / sizeof(WCHAR); i++)
            Ccb->Pattern[i] = RtlUpcaseUnicodeChar(Pattern->Buffer[i]);
        Ccb->PatternLength = Pattern->Length & ~1;
    }
    Ccb->MatchAll = Ccb->PatternLength == 0 || (Ccb->PatternLength == sizeof(WCHAR) && Ccb->Pattern[0] == L'*');
}

static const UNICODE_STRING DotName = RTL_CONSTANT_STRING(L".");
static const UNICODE_STRING DotDotName = RTL_CONSTANT_STRING(L"..");

/* IsLiteralPattern: a stored pattern without wildcard characters that names one entry. */
static BOOLEAN IsLiteralPattern(PCCB Ccb)
{
    if (Ccb->PatternLength == 0)
        return FALSE;
    for (ULONG i = 0; i < Ccb->PatternLength / sizeof(WCHAR); i++) {
        WCHAR c = Ccb->Pattern[i];
        if (c == L'*' || c == L'?' || c == L'<' || c == L'>' || c == L'"')
            return FALSE;
    }
    UNICODE_STRING pattern;
    pattern.Buffer = Ccb->Pattern;
    pattern.Length = pattern.MaximumLength = Ccb->PatternLength;
    return !RtlEqualUnicodeString(&pattern, &DotName, FALSE) && !RtlEqualUnicodeString(&pattern, &DotDotName, FALSE);
}

/*
 * ListLiteralName: the one entry a literal pattern names, looked up in the
 * child index rather than listed. The directory's main resource is held.
 */
static NTSTATUS ListLiteralName(PLISTING Listing, PCCB Ccb, PFCB Directory, BOOLEAN Started)
{
    if (Started)
        return STATUS_NO_MORE_FILES;
    UNICODE_STRING pattern;
    pattern.Buffer = Ccb->Pattern;
    pattern.Length = pattern.MaximumLength = Ccb->PatternLength;
    PLINK link = LookupChild(Directory, &pattern);
    if (link == NULL)
        return STATUS_NO_SUCH_FILE;
    EMIT_RESULT result;
    NTSTATUS status = EmitRecord(Listing, link->Node, &link->Name, &result);
    if (!NT_SUCCESS(status))
        return status;
    if (result == EmitFull)
        return STATUS_BUFFER_OVERFLOW;
    Ccb->EnumerationStarted = TRUE;
    return STATUS_SUCCESS;
}

/* NextChild: the child after Link in Directory's list, or NULL at its end. */
static PLINK NextChild(PFCB Directory, PLINK Link)
{
    PLIST_ENTRY next = Link->SiblingLinks.Flink;
    return next != &Directory->Children ? CONTAINING_RECORD(next, LINK, SiblingLinks) : NULL;
}

static PLINK FirstChild(PFCB Directory)
{
    return IsListEmpty(&Directory->Children) ? NULL
                                              : CONTAINING_RECORD(Directory->Children.Flink, LINK, SiblingLinks);
}

/*
 * FirstArrivedAfter: the first child that came into Directory after the name
 * numbered Arrival, or NULL. Children are in arrival order; the numbers wrap, so
 * they are compared by their distance. Linear: only a listing that lost both its
 * last entry and its resume link gets here.
 */
static PLINK FirstArrivedAfter(PFCB Directory, ULONG Arrival)
{
    for (PLINK link = FirstChild(Directory); link != NULL; link = NextChild(Directory, link)) {
        if ((LONG)(link->Arrival - Arrival) > 0)
            return link;
    }
    return NULL;
}

/*
 * ResumePoint: where a listing goes on: *FirstDot is the first dot entry to
 * offer (0 for ".", 1 for "..", 2 for none) and *Start the first child (NULL:
 * none). A fresh listing starts at the beginning. Otherwise it starts after the
 * last returned entry: at the resume link when the entry before it is that one,
 * or when that entry is gone (deleted, or replaced by another node of its name);
 * else right after the entry of the last returned name, found through the child
 * index (the candidates up to it have all been offered already). When the last
 * entry and the resume link are both gone, the first child that arrived after
 * the last entry goes on, so no entry that stayed is skipped. The directory's
 * main resource is held.
 */
static VOID ResumePoint(PCCB Ccb, PFCB Directory, BOOLEAN HasDots, PULONG FirstDot, PLINK *Start)
{
    UNICODE_STRING last;
    last.Buffer = Ccb->LastName;
    last.Length = last.MaximumLength = Ccb->LastNameLength;
    *FirstDot = HasDots ? 0 : 2;
    *Start = FirstChild(Directory);
    if (Ccb->LastNameLength == 0)
        return;
    *FirstDot = 2;

    PLINK resume = Ccb->ResumeLink;
    BOOLEAN resumeHere = resume != NULL && !resume->Removed && resume->Parent == Directory;
    if (resumeHere) {
        PLIST_ENTRY before = resume->SiblingLinks.Blink;
        if (before != &Directory->Children && IsLastName(Ccb, &CONTAINING_RECORD(before, LINK, SiblingLinks)->Name)) {
            *Start = resume;
            return;
        }
    }
    if (HasDots && RtlEqualUnicodeString(&last, &DotName, FALSE)) {
        *FirstDot = 1;
        return;
    }
    if (HasDots && RtlEqualUnicodeString(&last, &DotDotName, FALSE))
        return;
    PLINK named = LookupChild(Directory, &last);
    BOOLEAN lastStays = named != NULL && named->Node->NodeId == Ccb->LastFileId && named->Arrival == Ccb->LastArrival;
    if (lastStays)
        *Start = NextChild(Directory, named);
    else if (resumeHere)
        *Start = resume;
    else
        *Start = FirstArrivedAfter(Directory, Ccb->LastArrival);
}

/*
 * SetResumeLink: makes Link (or none) the handle's resume link, referencing it
 * and its node; the old one is handed back in *Dropped.
 */
static VOID SetResumeLink(PCCB Ccb, PLINK Link, PLINK *Dropped)
{
    if (Link == Ccb->ResumeLink)
        return;
    if (Link != NULL) {
        InterlockedIncrement(&Link->ReferenceCount);
        ReferenceNode(Link->Node);
    }
    *Dropped = Ccb->ResumeLink;
    Ccb->ResumeLink = Link;
}

/*
 * ListEntries: offers the candidates from the resume point on until the buffer
 * is full, a single entry was asked and written, or the list ends. The
 * directory's main resource is held. Returns STATUS_SUCCESS or a fault of the
 * caller's buffer; *Full when a record did not fit.
 */
static NTSTATUS ListEntries(PLISTING Listing, PCCB Ccb, PFCB Directory, BOOLEAN Single, PLINK *Dropped,
                            PBOOLEAN Full)
{
    EMIT_RESULT result = EmitSkipped;
    NTSTATUS status = STATUS_SUCCESS;
    *Full = FALSE;
    PLINK parentLink = !Directory->IsRoot ? FirstNameOf(Directory) : NULL;
    ULONG dot;
    PLINK link;
    ResumePoint(Ccb, Directory, parentLink != NULL, &dot, &link);

    /* A stop among the dot entries leaves the resume link as it was. */
    for (; dot < 2; dot++) {
        PFCB node = dot == 0 ? Directory : parentLink->Parent;
        status = EmitCandidate(Listing, Ccb, node, dot == 0 ? &DotName : &DotDotName, &result);
        if (!NT_SUCCESS(status))
            return status;
        if (result == EmitFull) {
            *Full = TRUE;
            return STATUS_SUCCESS;
        }
        if (result == EmitWritten && Single)
            return STATUS_SUCCESS;
    }

    for (; link != NULL; link = NextChild(Directory, link)) {
        status = EmitCandidate(Listing, Ccb, link->Node, &link->Name, &result);
        if (!NT_SUCCESS(status))
            return status;
        if (result == EmitWritten)
            Ccb->LastArrival = link->Arrival;
        if (result == EmitFull) {
            *Full = TRUE;
            SetResumeLink(Ccb, link, Dropped);
            return STATUS_SUCCESS;
        }
        if (result == EmitWritten && Single) {
            SetResumeLink(Ccb, NextChild(Directory, link), Dropped);
            return STATUS_SUCCESS;
        }
    }
    Ccb->EnumerationExhausted = TRUE;
    SetResumeLink(Ccb, NULL, Dropped);
    return STATUS_SUCCESS;
}

/*
 * QueryBuffer: the caller's output buffer: the MDL's system address, else the
 * user buffer (probed for a user-mode caller).
 */
static NTSTATUS QueryBuffer(PIRP Irp, ULONG Length, PUCHAR *Buffer)
{
    *Buffer = NULL;
    if (Irp->MdlAddress == NULL && Irp->UserBuffer == NULL)
        return Length != 0 ? STATUS_INVALID_USER_BUFFER : STATUS_INVALID_PARAMETER;
    return MapRequestBuffer(Irp, Length, TRUE, (PVOID *)Buffer);
}

/*
 * QueryDirectory: IRP_MN_QUERY_DIRECTORY on an admitted volume for a directory
 * handle. Takes the directory's main resource (shared for a synchronous
 * handle, else exclusive). Sets Information to the
 * bytes of the records written. Returns STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW
 * when not even the first record fits (nothing written), STATUS_NO_MORE_FILES
 * once a started listing has nothing more, STATUS_NO_SUCH_FILE when nothing
 * matches at all, STATUS_INVALID_INFO_CLASS, or a buffer's fault.
 */
static NTSTATUS QueryDirectory(PIRP Irp, PCCB Ccb, PFCB Directory)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    LISTING listing;
    RtlZeroMemory(&listing, sizeof(listing));
    listing.Class = irpSp->Parameters.QueryDirectory.FileInformationClass;
    listing.Length = irpSp->Parameters.QueryDirectory.Length;
    listing.FixedSize = DirectoryRecordFixedSize(listing.Class);
    if (listing.FixedSize == 0)
        return STATUS_INVALID_INFO_CLASS;
    NTSTATUS status = QueryBuffer(Irp, listing.Length, &listing.Buffer);
    if (!NT_SUCCESS(status))
        return status;

    PLINK dropped = NULL;
    PLINK reset = NULL;
    BOOLEAN full = FALSE;
    /*
     * The I/O manager runs one request at a time on a synchronous file object,
     * so its listing state is this request's alone under the shared hold. An
     * asynchronous handle may have two queries running at once: the exclusive
     * hold keeps them from interleaving in the CCB.
     */
    if (FlagOn(irpSp->FileObject->Flags, FO_SYNCHRONOUS_IO))
        ExAcquireResourceSharedLite(&Directory->MainResource, TRUE);
    else
        ExAcquireResourceExclusiveLite(&Directory->MainResource, TRUE);
    if ((irpSp->Flags & SL_RESTART_SCAN) != 0 || !Ccb->EnumerationStarted)
        ResetEnumeration(Ccb, irpSp->Parameters.QueryDirectory.FileName, &reset);
    BOOLEAN started = Ccb->EnumerationStarted;
    if (started && Ccb->EnumerationExhausted) {
        status = STATUS_NO_MORE_FILES;
    } else if (IsLiteralPattern(Ccb)) {
        status = ListLiteralName(&listing, Ccb, Directory, started);
    } else {
        status = ListEntries(&listing, Ccb, Directory, (irpSp->Flags & SL_RETURN_SINGLE_ENTRY) != 0, &dropped,
                             &full);
        if (NT_SUCCESS(status)) {
            if (listing.Count != 0) {
                Ccb->EnumerationStarted = TRUE;
                status = STATUS_SUCCESS;
            } else if (full) {
                status = STATUS_BUFFER_OVERFLOW;
            } else {
                status = started ? STATUS_NO_MORE_FILES : STATUS_NO_SUCH_FILE;
            }
        }
    }
    ExReleaseResourceLite(&Directory->MainResource);

    /* A resume link may hold the last reference on a deleted node: let it go without the directory held. */
    if (reset != NULL)
        ReleaseEnumerationLink(reset);
    if (dropped != NULL)
        ReleaseEnumerationLink(dropped);
    if (status == STATUS_SUCCESS)
        Irp->IoStatus.Information = listing.Used;
    return status;
}

/*
 * EnsureNotifyPath: the directory's full path in the handle's CCB, built on the
 * first watch request under the tree resource shared. The directory's main
 * resource exclusive keeps two first requests on one handle from both building
 * it. Returns STATUS_INSUFFICIENT_RESOURCES when no path can be had.
 */
static NTSTATUS EnsureNotifyPath(PVCB Vcb, PCCB Ccb, PFCB Directory)
{
    /* Acquire: pairs with the publishing exchange, so the length is seen with the buffer. */
    if (ReadPointerAcquire((PVOID const volatile *)&Ccb->NotifyPath.Buffer) != NULL)
        return STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    ExAcquireResourceSharedLite(&Vcb->TreeResource, TRUE);
    ExAcquireResourceExclusiveLite(&Directory->MainResource, TRUE);
    if (Ccb->NotifyPath.Buffer == NULL) {
        UNICODE_STRING path;
        USHORT lastName;
        PLINK link = Directory->IsRoot ? NULL : FirstNameOf(Directory);
        status = Directory->IsRoot || link != NULL ? BuildLinkPath(link, &path, &lastName)
                                                   : STATUS_INSUFFICIENT_RESOURCES;
        if (NT_SUCCESS(status)) {
            Ccb->NotifyPath.Length = path.Length;
            Ccb->NotifyPath.MaximumLength = path.MaximumLength;
            /* A full barrier: cleanup reads the buffer after marking the file object cleaned up. */
            InterlockedExchangePointer((PVOID volatile *)&Ccb->NotifyPath.Buffer, path.Buffer);
        }
    }
    ExReleaseResourceLite(&Directory->MainResource);
    ExReleaseResourceLite(&Vcb->TreeResource);
    return status;
}

/*
 * NotifyChangeDirectory: IRP_MN_NOTIFY_CHANGE_DIRECTORY on an admitted volume
 * for a directory handle: the request goes to the change-notify package, which
 * completes it when a change comes (or the handle or volume ends); *HandedOn is
 * then set. Returns STATUS_PENDING, STATUS_INVALID_DEVICE_REQUEST on a volume
 * that takes no watches, STATUS_DELETE_PENDING, or STATUS_INSUFFICIENT_RESOURCES.
 */
static NTSTATUS NotifyChangeDirectory(PIRP Irp, PVCB Vcb, PCCB Ccb, PFCB Directory, PBOOLEAN HandedOn)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    if (Vcb->NotifySync == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (ReadUCharNoFence(&Directory->DeletePending))
        return STATUS_DELETE_PENDING;
    NTSTATUS status = EnsureNotifyPath(Vcb, Ccb, Directory);
    if (!NT_SUCCESS(status))
        return status;
    *HandedOn = TRUE;
    FsRtlNotifyFilterChangeDirectory(Vcb->NotifySync, &Vcb->NotifyList, Ccb, (PSTRING)&Ccb->NotifyPath,
                                     (irpSp->Flags & SL_WATCH_TREE) != 0, FALSE,
                                     irpSp->Parameters.NotifyDirectory.CompletionFilter, Irp, NULL, NULL, NULL);
    return STATUS_PENDING;
}

/*
 * CommonDirectoryControl: a directory request on an admitted volume. Returns
 * STATUS_INVALID_DEVICE_REQUEST for a handle without a node (the volume's),
 * STATUS_INVALID_PARAMETER for one on a file, STATUS_NOT_IMPLEMENTED for other
 * minor functions, else the query's or the watch's status.
 */
static NTSTATUS CommonDirectoryControl(PIRP Irp, PVCB Vcb, PBOOLEAN HandedOn)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = irpSp->FileObject;
    if (fileObject == NULL || fileObject->FsContext == NULL || fileObject->FsContext == Vcb)
        return STATUS_INVALID_DEVICE_REQUEST;
    PCCB ccb = HandleCcb(fileObject);
    if (ccb == NULL || !ccb->Node->IsDirectory)
        return STATUS_INVALID_PARAMETER;
    switch (irpSp->MinorFunction) {
    case IRP_MN_QUERY_DIRECTORY:
        return QueryDirectory(Irp, ccb, ccb->Node);
    case IRP_MN_NOTIFY_CHANGE_DIRECTORY:
        return NotifyChangeDirectory(Irp, Vcb, ccb, ccb->Node, HandedOn);
    default:
        return STATUS_NOT_IMPLEMENTED;
    }
}

/* VorelDirectoryControl: PASSIVE_LEVEL. Admission refusals as for every volume request, else CommonDirectoryControl. */
NTSTATUS NTAPI VorelDirectoryControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeHandOff(DeviceObject, Irp, CommonDirectoryControl);
}
