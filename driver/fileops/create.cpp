/*
 * IRP_MJ_CREATE: opening a handle.
 *
 * Locks, outermost first: the volume's tree resource (shared, only while a new
 * entry may be made), the parent's main resource, the child's main resource,
 * the child's paging resource. The holder lock is a leaf. Every failure gives
 * back what the create took so far: nothing of a failed create stays visible.
 */
#include "vorel.h"

#define NORECYCLE_NAME_1 L"$RECYCLE.BIN"
#define NORECYCLE_NAME_2 L"System Volume Information"

/* CREATE_CONTEXT: what one create knows about its request, filled once at the start. */
typedef struct _CREATE_CONTEXT {
    PIRP Irp;
    PIO_STACK_LOCATION IrpSp;
    PFILE_OBJECT FileObject;
    PVCB Vcb;
    ACCESS_CHECK_INPUT Access;
    ULONG Disposition;
    ULONG Options;
    ULONG Attributes;
    USHORT ShareAccess;
    ACCESS_MASK Desired;                    /* as asked */
    ACCESS_MASK Required;                   /* asked of the access check */
    ACCESS_MASK Implied;                    /* required but not asked: kept out of share access and the CCB */
    PFILE_FULL_EA_INFORMATION EaBuffer;
    ULONG EaLength;
    PCCB Ccb;                               /* the handle's CCB, taken before anything changes */
} CREATE_CONTEXT, *PCREATE_CONTEXT;

static BOOLEAN MayCreate(ULONG Disposition)
{
    return Disposition == FILE_SUPERSEDE || Disposition == FILE_CREATE || Disposition == FILE_OPEN_IF ||
           Disposition == FILE_OVERWRITE_IF;
}

static BOOLEAN Replaces(ULONG Disposition)
{
    return Disposition == FILE_SUPERSEDE || Disposition == FILE_OVERWRITE || Disposition == FILE_OVERWRITE_IF;
}

/*
 * FillCreateContext: the caller's mode, privileges and the required and implied
 * access of the request.
 */
static VOID FillCreateContext(PCREATE_CONTEXT Ctx, PIRP Irp, PVCB Vcb)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    RtlZeroMemory(Ctx, sizeof(*Ctx));
    Ctx->Irp = Irp;
    Ctx->IrpSp = irpSp;
    Ctx->FileObject = irpSp->FileObject;
    Ctx->Vcb = Vcb;
    Ctx->Disposition = (irpSp->Parameters.Create.Options >> 24) & 0xFF;
    Ctx->Options = irpSp->Parameters.Create.Options & FILE_VALID_OPTION_FLAGS;
    Ctx->Attributes = irpSp->Parameters.Create.FileAttributes;
    Ctx->ShareAccess = irpSp->Parameters.Create.ShareAccess;
    Ctx->Desired = irpSp->Parameters.Create.SecurityContext->DesiredAccess;
    Ctx->EaBuffer = (PFILE_FULL_EA_INFORMATION)Irp->AssociatedIrp.SystemBuffer;
    Ctx->EaLength = irpSp->Parameters.Create.EaLength;

    FillAccessCheckInput(&Ctx->Access, Irp, Vcb);

    ACCESS_MASK required = Ctx->Desired;
    if (Ctx->Disposition == FILE_SUPERSEDE)
        required |= DELETE;
    if (Ctx->Disposition == FILE_OVERWRITE || Ctx->Disposition == FILE_OVERWRITE_IF)
        required |= FILE_WRITE_DATA;
    if (Ctx->Options & FILE_DELETE_ON_CLOSE)
        required |= DELETE;
    ACCESS_MASK asked = (Ctx->Desired & MAXIMUM_ALLOWED) ? (Ctx->Desired | FILE_ALL_ACCESS) : Ctx->Desired;
    Ctx->Required = required;
    Ctx->Implied = required & ~MapGenericAccess(asked);
}

/*
 * CompleteAsReparse: STATUS_REPARSE with a copy of Node's reparse buffer whose
 * Reserved field tells the I/O manager how many bytes of the path follow the
 * point. The caller holds no lock of Node; the buffer is read under its main
 * resource shared. Returns STATUS_REPARSE or STATUS_INSUFFICIENT_RESOURCES.
 */
static NTSTATUS CompleteAsReparse(PIRP Irp, PFCB Node, ULONG Remaining)
{
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    ExAcquireResourceSharedLite(&Node->MainResource, TRUE);
    PREPARSE_DATA_BUFFER copy = NULL;
    if (Node->ReparseBuffer != NULL)
        copy = (PREPARSE_DATA_BUFFER)AllocateZeroed(Node->ReparseLength, TAG_REPARSE, NonPagedPoolNx);
    if (copy != NULL) {
        RtlCopyMemory(copy, Node->ReparseBuffer, Node->ReparseLength);
        copy->Reserved = (USHORT)Remaining;
        Irp->Tail.Overlay.AuxiliaryBuffer = (PCHAR)copy;
        Irp->IoStatus.Information = Node->ReparseTag;
        status = STATUS_REPARSE;
    }
    ExReleaseResourceLite(&Node->MainResource);
    return status;
}

/*
 * CheckExistingAttributes: the attribute rules on opening an existing file
 * (directories pass). The caller holds the node's main resource.
 */
static NTSTATUS CheckExistingAttributes(PCREATE_CONTEXT Ctx, PFCB Node)
{
    if (Node->IsDirectory)
        return STATUS_SUCCESS;
    ULONG attributes = (ULONG)ReadNoFence(&Node->Attributes);
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        if (Ctx->Options & FILE_DELETE_ON_CLOSE)
            return STATUS_CANNOT_DELETE;
        if ((Ctx->Desired & (FILE_WRITE_DATA | FILE_APPEND_DATA)) || Replaces(Ctx->Disposition) ||
            Ctx->Disposition == FILE_OVERWRITE_IF)
            return STATUS_ACCESS_DENIED;
    }
    if (Replaces(Ctx->Disposition)) {
        if ((attributes & FILE_ATTRIBUTE_HIDDEN) && !(Ctx->Attributes & FILE_ATTRIBUTE_HIDDEN))
            return STATUS_ACCESS_DENIED;
        if ((attributes & FILE_ATTRIBUTE_SYSTEM) && !(Ctx->Attributes & FILE_ATTRIBUTE_SYSTEM))
            return STATUS_ACCESS_DENIED;
    }
    if ((Ctx->Options & FILE_DELETE_ON_CLOSE) && Node->SectionObjectPointers.ImageSectionObject != NULL &&
        !MmFlushImageSection(&Node->SectionObjectPointers, MmFlushForDelete))
        return STATUS_CANNOT_DELETE;
    return STATUS_SUCCESS;
}

/*
 * ShareAndCount: the share-access step of every open path with Granted (which
 * may include Implied bits, kept out of the record). The caller holds Node's
 * main resource exclusive. On success the open count has risen by one.
 */
static NTSTATUS ShareAndCount(PCREATE_CONTEXT Ctx, PFCB Node, ACCESS_MASK Granted, ACCESS_MASK Implied)
{
    ACCESS_MASK shared = Granted & ~Implied;
    if (Node->ShareAccessInitialized) {
        NTSTATUS status;
        if (shared != Granted) {
            status = IoCheckShareAccess(Granted, Ctx->ShareAccess, Ctx->FileObject, &Node->ShareAccess, FALSE);
            if (!NT_SUCCESS(status))
                return status;
        }
        status = IoCheckShareAccess(shared, Ctx->ShareAccess, Ctx->FileObject, &Node->ShareAccess, TRUE);
        if (!NT_SUCCESS(status))
            return status;
    } else {
        IoSetShareAccess(shared, Ctx->ShareAccess, Ctx->FileObject, &Node->ShareAccess);
        Node->ShareAccessInitialized = TRUE;
    }
    InterlockedIncrement(&Node->OpenCount);
    return STATUS_SUCCESS;
}

/* UndoShareAndCount: takes back ShareAndCount; takes Node's main resource exclusive. */
static VOID UndoShareAndCount(PCREATE_CONTEXT Ctx, PFCB Node)
{
    ExAcquireResourceExclusiveLite(&Node->MainResource, TRUE);
    IoRemoveShareAccess(Ctx->FileObject, &Node->ShareAccess);
    InterlockedDecrement(&Node->OpenCount);
    ExReleaseResourceLite(&Node->MainResource);
}

/*
 * MakeHandle: binds the create's CCB for Node (whose reference and Link's pass to
 * the handle) to the file object, after the oplock check: an open that conflicts
 * with an oplock waits here, with no lock held, until its owner acknowledges the
 * break (FILE_COMPLETE_IF_OPLOCKED opens at once with STATUS_OPLOCK_BREAK_IN_PROGRESS).
 * The CCB was allocated before the create changed anything, so a new entry is never
 * left behind for want of memory. On failure the share access and open count are
 * undone; the caller still owns its references. Returns STATUS_SUCCESS or
 * STATUS_OPLOCK_BREAK_IN_PROGRESS on success.
 */
static NTSTATUS MakeHandle(PCREATE_CONTEXT Ctx, PFCB Node, PLINK Link, ACCESS_MASK Granted, ULONG_PTR Action)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (Node->OplockInUse) {
        status = FsRtlCheckOplock(&Node->Oplock, Ctx->Irp, NULL, NULL, NULL);
        if (!NT_SUCCESS(status)) {
            UndoShareAndCount(Ctx, Node);
            return status;
        }
    }
    PCCB ccb = Ctx->Ccb;
    Ctx->Ccb = NULL;
    ACCESS_MASK handleAccess = Granted & ~Ctx->Implied;
    ccb->Signature = CCB_SIGNATURE;
    ccb->Node = Node;
    ccb->Link = Link;
    ccb->DeleteOnClose = (Ctx->Options & FILE_DELETE_ON_CLOSE) != 0;
    ccb->RequestorProcess = IoGetRequestorProcessId(Ctx->Irp);
    ccb->GrantedAccess = handleAccess;

    PACCESS_STATE accessState = Ctx->Access.AccessState;
    accessState->PreviouslyGrantedAccess |= handleAccess;
    accessState->RemainingDesiredAccess &= ~(handleAccess | MAXIMUM_ALLOWED);

    Ctx->FileObject->FsContext = Node;
    Ctx->FileObject->FsContext2 = ccb;
    Ctx->FileObject->SectionObjectPointer = &Node->SectionObjectPointers;
    RecordHolder(Ctx->Vcb, ccb->RequestorProcess);
    Ctx->Irp->IoStatus.Information = Action;
    return status;
}

/*
 * OpenNodeItself: an open of a node found without a name (by identifier, or the
 * start directory of a path that names it). Takes the node's main resource
 * exclusive. Consumes the caller's reference on Node on every path.
 */
static NTSTATUS OpenNodeItself(PCREATE_CONTEXT Ctx, PFCB Node, BOOLEAN CheckAttributes)
{
    ACCESS_MASK granted = 0;
    ExAcquireResourceExclusiveLite(&Node->MainResource, TRUE);
    NTSTATUS status = (Node->DeletePending || Node->Unlinked) ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
    if (NT_SUCCESS(status) && CheckAttributes)
        status = CheckExistingAttributes(Ctx, Node);
    if (NT_SUCCESS(status))
        status = CheckOpenAccess(&Ctx->Access, Node, NULL, Ctx->Required, &granted);
    if (NT_SUCCESS(status))
        status = ShareAndCount(Ctx, Node, granted, Ctx->Implied);
    ExReleaseResourceLite(&Node->MainResource);
    if (NT_SUCCESS(status))
        status = MakeHandle(Ctx, Node, NULL, granted, FILE_OPENED);
    if (!NT_SUCCESS(status))
        DereferenceNode(Node);
    return status;
}

/* CheckDirectoryOptions: FILE_DIRECTORY_FILE and FILE_NON_DIRECTORY_FILE against what the node is. */
static NTSTATUS CheckDirectoryOptions(PCREATE_CONTEXT Ctx, PFCB Node)
{
    if ((Ctx->Options & FILE_DIRECTORY_FILE) && !Node->IsDirectory)
        return STATUS_NOT_A_DIRECTORY;
    if ((Ctx->Options & FILE_NON_DIRECTORY_FILE) && Node->IsDirectory)
        return STATUS_FILE_IS_A_DIRECTORY;
    return STATUS_SUCCESS;
}

/*
 * OpenById: FILE_OPEN_BY_FILE_ID; the name carries a 64-bit identifier, or a
 * 128-bit one whose upper half is 0.
 */
static NTSTATUS OpenById(PCREATE_CONTEXT Ctx)
{
    if (Ctx->Access.CheckRequired && !Ctx->Access.TraversePrivilege)
        return STATUS_ACCESS_DENIED;
    PUNICODE_STRING name = &Ctx->FileObject->FileName;
    if (name->Buffer == NULL || (name->Length != 8 && name->Length != 16) ||
        (Ctx->Disposition != FILE_OPEN && Ctx->Disposition != FILE_OPEN_IF))
        return STATUS_INVALID_PARAMETER;
    ULONGLONG id[2] = {0, 0};
    RtlCopyMemory(id, name->Buffer, name->Length);
    if (id[1] != 0 || id[0] == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    PFCB node;
    if (id[0] == ROOT_NODE_ID) {
        node = Ctx->Vcb->RootFcb;
        ReferenceNode(node);
    } else {
        node = LookupNodeById(Ctx->Vcb, id[0]);
        if (node == NULL)
            return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (ReadNoFence((volatile LONG *)&node->ReparseTag) != 0 && !(Ctx->Options & FILE_OPEN_REPARSE_POINT))
        status = CompleteAsReparse(Ctx->Irp, node, 0);
    else
        status = CheckDirectoryOptions(Ctx, node);
    if (status != STATUS_SUCCESS) {
        DereferenceNode(node);
        return status;
    }
    return OpenNodeItself(Ctx, node, TRUE);
}

/*
 * OpenTargetDirectory: opens the parent of the last component (rename and link
 * targets) and tells whether that component exists. Consumes the reference on
 * Parent.
 */
static NTSTATUS OpenTargetDirectory(PCREATE_CONTEXT Ctx, PFCB Parent, PCUNICODE_STRING Last)
{
    if (Last->Length == 0 || !Parent->IsDirectory) {
        DereferenceNode(Parent);
        return Last->Length == 0 ? STATUS_INVALID_PARAMETER : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    ACCESS_MASK granted = 0;
    ExAcquireResourceSharedLite(&Parent->MainResource, TRUE);
    NTSTATUS status = CheckOpenAccess(&Ctx->Access, Parent, NULL, Ctx->Desired, &granted);
    ULONG_PTR action = LookupChild(Parent, Last) != NULL ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
    PLINK link = NULL;
    if (!Parent->IsRoot && !IsListEmpty(&Parent->Names)) {
        link = CONTAINING_RECORD(Parent->Names.Flink, LINK, NameLinks);
        InterlockedIncrement(&link->ReferenceCount);
    }
    ExReleaseResourceLite(&Parent->MainResource);
    if (NT_SUCCESS(status)) {
        /* The name moves to the front of the same buffer: the caller learns the target's last name. */
        PUNICODE_STRING name = &Ctx->FileObject->FileName;
        RtlMoveMemory(name->Buffer, Last->Buffer, Last->Length);
        name->Length = Last->Length;
        ExAcquireResourceExclusiveLite(&Parent->MainResource, TRUE);
        Ctx->Implied = 0;
        status = ShareAndCount(Ctx, Parent, granted, 0);
        ExReleaseResourceLite(&Parent->MainResource);
    }
    if (NT_SUCCESS(status))
        status = MakeHandle(Ctx, Parent, link, granted, action);
    if (!NT_SUCCESS(status)) {
        if (link != NULL)
            ReleaseLink(link);
        DereferenceNode(Parent);
    }
    return status;
}

/* IsReservedRootName: the names a "norecycle" volume keeps out of its root. */
static BOOLEAN IsReservedRootName(PCUNICODE_STRING Name)
{
    UNICODE_STRING recycle = RTL_CONSTANT_STRING(NORECYCLE_NAME_1);
    UNICODE_STRING volumeInformation = RTL_CONSTANT_STRING(NORECYCLE_NAME_2);
    return RtlEqualUnicodeString(Name, &recycle, TRUE) || RtlEqualUnicodeString(Name, &volumeInformation, TRUE);
}

/*
 * CheckAddAccess: may the caller add a file or directory to Parent? The caller
 * holds Parent's main resource exclusive.
 */
static NTSTATUS CheckAddAccess(PCREATE_CONTEXT Ctx, PFCB Parent)
{
    PACCESS_CHECK_INPUT access = &Ctx->Access;
    if (!access->CheckRequired || (access->RestorePrivilege && access->BackupIntent))
        return STATUS_SUCCESS;
    if (Parent->DefaultSecurity && access->OrdinaryToken)
        return STATUS_SUCCESS;
    ACCESS_MASK wanted = (Ctx->Options & FILE_DIRECTORY_FILE) ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE;
    ACCESS_MASK granted = 0;
    return CheckOpenAccess(access, Parent, NULL, wanted, &granted);
}

/*
 * SetNewAttributes: the attributes of a created, superseded or overwritten file.
 * The caller holds Node's main resource exclusive (or owns the new node alone).
 */
static VOID SetNewAttributes(PCREATE_CONTEXT Ctx, PFCB Node, PFCB Parent)
{
    ULONG attributes = Ctx->Attributes & REPORTED_ATTRIBUTE_MASK;
    if (ReadNoFence(&Parent->Attributes) & FILE_ATTRIBUTE_NOT_CONTENT_INDEXED)
        attributes |= FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if (!Node->IsDirectory)
        attributes |= FILE_ATTRIBUTE_ARCHIVE;
    InterlockedExchange(&Node->Attributes, (LONG)attributes);
    Node->Sparse = FALSE;
}

/* StoreCreateEas: the request's EA buffer replaces Node's EAs (main resource taken exclusive here). */
static NTSTATUS StoreCreateEas(PCREATE_CONTEXT Ctx, PFCB Node)
{
    if (Ctx->EaLength == 0)
        return STATUS_SUCCESS;
    ULONG errorOffset = 0;
    ExAcquireResourceExclusiveLite(&Node->MainResource, TRUE);
    NTSTATUS status = ReplaceEas(Node, Ctx->EaBuffer, Ctx->EaLength, &errorOffset);
    ExReleaseResourceLite(&Node->MainResource);
    return status;
}

/*
 * CreateEntry: makes Last in Parent. The caller holds the tree resource shared
 * and Parent's main resource exclusive. On success *Node (referenced) and *Link
 * (referenced) belong to the caller, the node is in the tree with its share
 * access set and its open count raised, and *Granted is the creator's access.
 */
static NTSTATUS CreateEntry(PCREATE_CONTEXT Ctx, PFCB Parent, PCUNICODE_STRING Last, PFCB *Node, PLINK *Link,
                            PACCESS_MASK Granted)
{
    if (!IsValidNewName(Last))
        return STATUS_OBJECT_NAME_INVALID;
    if (Ctx->Disposition == FILE_OPEN || Ctx->Disposition == FILE_OVERWRITE)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Parent->IsRoot && Ctx->Vcb->NoRecycle && IsReservedRootName(Last))
        return STATUS_ACCESS_DENIED;
    if (Parent->Unlinked)
        return STATUS_DELETE_PENDING;
    NTSTATUS status = CheckAddAccess(Ctx, Parent);
    if (!NT_SUCCESS(status))
        return status;

    ACCESS_MASK asked = (Ctx->Desired & MAXIMUM_ALLOWED) ? (Ctx->Desired | FILE_ALL_ACCESS) : Ctx->Desired;
    *Granted = MapGenericAccess(asked) & ~(ACCESS_MASK)MAXIMUM_ALLOWED;
    PFCB node = NULL;
    PLINK link = NULL;
    status = AllocateNode(Ctx->Vcb, (Ctx->Options & FILE_DIRECTORY_FILE) != 0, &node);
    if (!NT_SUCCESS(status))
        return status;
    status = MakeLink(node, Last, &link);
    if (!NT_SUCCESS(status))
        goto fail_node;
    SetNewAttributes(Ctx, node, Parent);
    if (!Ctx->Vcb->NoSecurity) {
        status = AssignNewNodeDescriptor(Ctx->Vcb, Parent, node, Ctx->Access.AccessState);
        if (!NT_SUCCESS(status))
            goto fail_link;
    }
    status = StoreCreateEas(Ctx, node);
    if (!NT_SUCCESS(status))
        goto fail_link;
    /* The last cleanup of another handle may have made the node delete-pending meanwhile. */
    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    status = node->DeletePending || node->Unlinked ? STATUS_DELETE_PENDING
                                                   : ShareAndCount(Ctx, node, *Granted, Ctx->Implied);
    ExReleaseResourceLite(&node->MainResource);
    if (!NT_SUCCESS(status))
        goto fail_link;
    status = AddLink(Parent, link);
    if (!NT_SUCCESS(status)) {
        UndoShareAndCount(Ctx, node);
        goto fail_link;
    }
    *Node = node;
    *Link = link;
    return STATUS_SUCCESS;

fail_link:
    ReleaseLink(link);
fail_node:
    DereferenceNode(node);
    return status;
}

/*
 * ReplaceData: supersede or overwrite of an existing file: its data goes, its
 * attributes are set anew. Takes the node's main and paging resources exclusive.
 */
static NTSTATUS ReplaceData(PCREATE_CONTEXT Ctx, PFCB Node, PFCB Parent, ACCESS_MASK Granted)
{
    NTSTATUS status = STATUS_SUCCESS;
    ExAcquireResourceExclusiveLite(&Node->MainResource, TRUE);
    ExAcquireResourceExclusiveLite(&Node->PagingIoResource, TRUE);
    if (Node->ShareAccessInitialized)
        status = IoCheckShareAccess(Granted & ~Ctx->Implied, Ctx->ShareAccess, Ctx->FileObject, &Node->ShareAccess,
                                    FALSE);
    if (NT_SUCCESS(status))
        status = SetDataSize(Node, 0);
    if (NT_SUCCESS(status))
        SetNewAttributes(Ctx, Node, Parent);
    ExReleaseResourceLite(&Node->PagingIoResource);
    ExReleaseResourceLite(&Node->MainResource);
    return status;
}

/* IsNodeGoing: whether Node is delete-pending or has lost its last name (read under its main resource). */
static BOOLEAN IsNodeGoing(PFCB Node)
{
    ExAcquireResourceSharedLite(&Node->MainResource, TRUE);
    BOOLEAN going = Node->DeletePending || Node->Unlinked;
    ExReleaseResourceLite(&Node->MainResource);
    return going;
}

/*
 * OpenExisting: the found entry Link of Parent. The caller holds Parent's main
 * resource. On success the node is referenced, the link referenced, share access
 * set and *Action filled.
 */
static NTSTATUS OpenExisting(PCREATE_CONTEXT Ctx, PFCB Parent, PLINK Link, BOOLEAN TrailingBackslash,
                             PACCESS_MASK Granted, PULONG_PTR Action)
{
    PFCB node = Link->Node;
    if (IsNodeGoing(node))
        return STATUS_DELETE_PENDING;
    if (ReadNoFence((volatile LONG *)&node->ReparseTag) != 0 && !(Ctx->Options & FILE_OPEN_REPARSE_POINT))
        return CompleteAsReparse(Ctx->Irp, node, TrailingBackslash ? sizeof(WCHAR) : 0);
    if (Ctx->Disposition == FILE_CREATE)
        return STATUS_OBJECT_NAME_COLLISION;
    NTSTATUS status = CheckDirectoryOptions(Ctx, node);
    if (!NT_SUCCESS(status))
        return status;

    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    status = CheckExistingAttributes(Ctx, node);
    if (NT_SUCCESS(status))
        status = CheckOpenAccess(&Ctx->Access, node, Parent, Ctx->Required, Granted);
    ExReleaseResourceLite(&node->MainResource);
    if (!NT_SUCCESS(status))
        return status;

    *Action = FILE_OPENED;
    if (Replaces(Ctx->Disposition) && !node->IsDirectory) {
        status = ReplaceData(Ctx, node, Parent, *Granted);
        if (!NT_SUCCESS(status))
            return status;
        *Action = Ctx->Disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
    }
    status = StoreCreateEas(Ctx, node);
    if (!NT_SUCCESS(status))
        return status;
    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    status = ShareAndCount(Ctx, node, *Granted, Ctx->Implied);
    ExReleaseResourceLite(&node->MainResource);
    if (!NT_SUCCESS(status))
        return status;
    ReferenceNode(node);
    InterlockedIncrement(&Link->ReferenceCount);
    return STATUS_SUCCESS;
}

/*
 * OpenInDirectory: the last component Last of a path in Parent: found, it is
 * opened; missing, it may be made. Consumes the reference on Parent.
 */
static NTSTATUS OpenInDirectory(PCREATE_CONTEXT Ctx, PFCB Parent, PCUNICODE_STRING Last, BOOLEAN TrailingBackslash)
{
    if (!Parent->IsDirectory) {
        DereferenceNode(Parent);
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    BOOLEAN mayCreate = MayCreate(Ctx->Disposition);
    BOOLEAN treeHeld = mayCreate;
    if (treeHeld)
        ExAcquireResourceSharedLite(&Ctx->Vcb->TreeResource, TRUE);
    if (mayCreate || Ctx->Disposition == FILE_OVERWRITE)
        ExAcquireResourceExclusiveLite(&Parent->MainResource, TRUE);
    else
        ExAcquireResourceSharedLite(&Parent->MainResource, TRUE);

    PFCB node = NULL;
    PLINK link = LookupChild(Parent, Last);
    ACCESS_MASK granted = 0;
    ULONG_PTR action = FILE_OPENED;
    NTSTATUS status;
    if (link != NULL) {
        /* An existing entry cannot be made anew: renames and deletions need not wait on this open. */
        if (treeHeld) {
            ExReleaseResourceLite(&Ctx->Vcb->TreeResource);
            treeHeld = FALSE;
        }
        status = OpenExisting(Ctx, Parent, link, TrailingBackslash, &granted, &action);
        if (status == STATUS_SUCCESS)
            node = link->Node;
    } else {
        status = CreateEntry(Ctx, Parent, Last, &node, &link, &granted);
        action = FILE_CREATED;
    }
    ExReleaseResourceLite(&Parent->MainResource);
    if (treeHeld)
        ExReleaseResourceLite(&Ctx->Vcb->TreeResource);

    if (status == STATUS_SUCCESS) {
        if (action == FILE_CREATED)
            ReportChange(Ctx->Vcb, node, node->IsDirectory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME,
                         FILE_ACTION_ADDED);
        status = MakeHandle(Ctx, node, link, granted, action);
        if (!NT_SUCCESS(status)) {
            ReleaseLink(link);
            DereferenceNode(node);
        }
    }
    DereferenceNode(Parent);
    return status;
}

/*
 * OpenByName: an absolute path from the root, or a relative one from the related
 * file object's directory.
 */
static NTSTATUS OpenByName(PCREATE_CONTEXT Ctx)
{
    PUNICODE_STRING name = &Ctx->FileObject->FileName;
    PFILE_OBJECT related = Ctx->FileObject->RelatedFileObject;
    PFCB start = Ctx->Vcb->RootFcb;
    if (related != NULL) {
        PFCB relatedNode = (PFCB)related->FsContext;
        if (relatedNode == NULL || relatedNode->Signature != FCB_SIGNATURE || relatedNode->Vcb != Ctx->Vcb ||
            !relatedNode->IsDirectory)
            return STATUS_OBJECT_PATH_NOT_FOUND;
        if (name->Length >= sizeof(WCHAR) && name->Buffer[0] == L'\\')
            return STATUS_INVALID_PARAMETER;
        start = relatedNode;
    } else if (name->Length < sizeof(WCHAR) || name->Buffer[0] != L'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }

    WALK_RESULT walk;
    NTSTATUS status = WalkPath(start, name, TRUE, Ctx->Access.OpenTargetDirectory,
                               SelectTraverseCheck(Ctx->Vcb, &Ctx->Access), &Ctx->Access, &walk);
    if (status == STATUS_REPARSE) {
        status = CompleteAsReparse(Ctx->Irp, walk.Parent, walk.RemainingLength);
        DereferenceNode(walk.Parent);
        return status;
    }
    if (!NT_SUCCESS(status))
        return status;
    if (Ctx->Access.OpenTargetDirectory)
        return OpenTargetDirectory(Ctx, walk.Parent, &walk.LastComponent);
    if (walk.LastComponent.Length == 0) {
        status = STATUS_SUCCESS;
        if (Ctx->Options & FILE_NON_DIRECTORY_FILE)
            status = STATUS_FILE_IS_A_DIRECTORY;
        else if (Ctx->Disposition == FILE_CREATE)
            status = STATUS_OBJECT_NAME_COLLISION;
        if (!NT_SUCCESS(status)) {
            DereferenceNode(walk.Parent);
            return status;
        }
        return OpenNodeItself(Ctx, walk.Parent, FALSE);
    }
    BOOLEAN trailing = name->Length >= sizeof(WCHAR) && name->Buffer[name->Length / sizeof(WCHAR) - 1] == L'\\';
    return OpenInDirectory(Ctx, walk.Parent, &walk.LastComponent, trailing);
}

/* CommonCreate: an admitted create on the volume. */
static NTSTATUS CommonCreate(PIRP Irp, PVCB Vcb)
{
    /* The I/O manager always sends both; a request built without them names nothing to open. */
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    if (irpSp->FileObject == NULL || irpSp->Parameters.Create.SecurityContext == NULL ||
        irpSp->Parameters.Create.SecurityContext->AccessState == NULL)
        return STATUS_INVALID_PARAMETER;
    CREATE_CONTEXT ctx;
    FillCreateContext(&ctx, Irp, Vcb);
    PFILE_OBJECT related = ctx.FileObject->RelatedFileObject;

    if ((ctx.Access.CheckRequired && (ctx.Desired & ACCESS_SYSTEM_SECURITY)) &&
        !(ctx.Access.BackupIntent && (ctx.Access.BackupPrivilege || ctx.Access.RestorePrivilege))) {
        PRIVILEGE_SET privileges = {1, PRIVILEGE_SET_ALL_NECESSARY, {{SeExports->SeSecurityPrivilege, 0}}};
        if (!SePrivilegeCheck(&privileges, ctx.Access.SubjectContext, ctx.Access.AccessMode))
            return STATUS_PRIVILEGE_NOT_HELD;
    }
    /* A volume open holds no node and no CCB; FsContext names the volume so that
       close tells it from the driver's own stream file objects, which carry none. */
    if ((ctx.FileObject->FileName.Length == 0 && related == NULL) || (related != NULL && related->FsContext == Vcb)) {
        ctx.FileObject->FsContext = Vcb;
        ctx.FileObject->FsContext2 = NULL;
        InterlockedIncrement(&Vcb->VolumeOpenCount);
        Irp->IoStatus.Information = FILE_OPENED;
        return STATUS_SUCCESS;
    }
    if (ctx.EaLength != 0) {
        ULONG errorOffset = 0;
        NTSTATUS status = IoCheckEaBufferValidity(ctx.EaBuffer, ctx.EaLength, &errorOffset);
        if (!NT_SUCCESS(status)) {
            Irp->IoStatus.Information = errorOffset;
            return status;
        }
    }
    if ((ctx.Options & FILE_DIRECTORY_FILE) && ctx.Disposition != FILE_OPEN &&
        (ctx.Attributes & FILE_ATTRIBUTE_TEMPORARY))
        return STATUS_INVALID_PARAMETER;
    if (!(ctx.Options & FILE_DIRECTORY_FILE) && (ctx.Options & FILE_DELETE_ON_CLOSE) &&
        (ctx.Attributes & FILE_ATTRIBUTE_READONLY))
        return STATUS_CANNOT_DELETE;
    if (ctx.Disposition > FILE_MAXIMUM_DISPOSITION)
        return STATUS_INVALID_PARAMETER;
    ctx.Ccb = (PCCB)AllocateZeroed(sizeof(CCB), TAG_CCB, NonPagedPoolNx);
    if (ctx.Ccb == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = (ctx.Options & FILE_OPEN_BY_FILE_ID) ? OpenById(&ctx) : OpenByName(&ctx);
    if (ctx.Ccb != NULL)
        VorelData.FreePool(ctx.Ccb, TAG_CCB);
    return status;
}

/*
 * VorelCreate: PASSIVE_LEVEL. An open of a device that is not a volume (the
 * control device) succeeds at once with no context: it never touches a volume.
 */
NTSTATUS NTAPI VorelCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (VcbFromDevice(DeviceObject) != NULL)
        return DispatchVolumeRequest(DeviceObject, Irp, CommonCreate);

    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (fileObject != NULL) {
        fileObject->FsContext = NULL;
        fileObject->FsContext2 = NULL;
    }
    Irp->IoStatus.Information = FILE_OPENED;
    FrameLeave(&frame, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
