/*
 * FileLinkInformation(Ex): one more name for a handle's file, replacing an
 * existing file when asked.
 *
 * Locks, outermost first: the tree resource exclusive (so the node cannot lose
 * its last name meanwhile: that takes the tree resource exclusive too), the
 * target directory exclusive, then the node inside AddLink. A replaced file's
 * node main resource is taken by RemoveLink, before the node's own.
 */
#include "vorel.h"

/*
 * ReferenceRootDirectory: the directory a link's root handle opens, referenced.
 * The handle is the requester's, referenced with its mode. Returns the object
 * manager's refusal, or STATUS_INVALID_PARAMETER for a handle that is not a
 * directory of this volume.
 */
static NTSTATUS ReferenceRootDirectory(PIRP Irp, PVCB Vcb, HANDLE Handle, PFCB *Directory)
{
    PVOID object = NULL;
    NTSTATUS status = ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, Irp->RequestorMode, &object, NULL);
    if (!NT_SUCCESS(status))
        return status;
    PFILE_OBJECT fileObject = (PFILE_OBJECT)object;
    /* The VPB tells this volume's file objects from others' before their context is read. */
    PFCB fcb = (PFCB)fileObject->FsContext;
    status = STATUS_INVALID_PARAMETER;
    if (fileObject->Vpb != NULL && fileObject->Vpb->DeviceObject == Vcb->DeviceObject && fcb != NULL &&
        (PVOID)fcb != (PVOID)Vcb && fcb->Signature == FCB_SIGNATURE && fcb->Vcb == Vcb && fcb->IsDirectory) {
        ReferenceNode(fcb); /* the file object keeps the node until then */
        *Directory = fcb;
        status = STATUS_SUCCESS;
    }
    ObDereferenceObject(object);
    return status;
}

/* StampNewLink: a new name changes the node's change time and its directory's write and change times. */
static VOID StampNewLink(PFCB Node, PFCB Directory)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    WriteNoFence64(&Directory->LastWriteTime.QuadPart, now.QuadPart);
    WriteNoFence64(&Directory->ChangeTime.QuadPart, now.QuadPart);
    ExAcquireResourceExclusiveLite(&Node->MainResource, TRUE);
    WriteNoFence64(&Node->ChangeTime.QuadPart, now.QuadPart);
    ExReleaseResourceLite(&Node->MainResource);
}

/*
 * AddLinkLocked: puts the new name Link of Node into Directory. The caller holds
 * the tree resource and the directory exclusive. On success *Added tells whether
 * the name was added (an entry naming Node already is success without a change)
 * and *Replaced is the node whose name gave way (referenced), or NULL.
 */
static NTSTATUS AddLinkLocked(PREQUEST_ACCESS Access, PFCB Node, PFCB Directory, PLINK Link, BOOLEAN Replace,
                              PFCB *Replaced, PBOOLEAN Added)
{
    *Replaced = NULL;
    *Added = FALSE;
    if (Directory->Unlinked)
        return STATUS_DELETE_PENDING;
    if (Node->Unlinked)
        return STATUS_ACCESS_DENIED;
    PLINK existing = LookupChild(Directory, &Link->Name);
    if (existing != NULL && existing->Node == Node)
        return STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    if (existing != NULL) {
        status = CheckReplaceTarget(Access, Directory, existing, Replace);
        if (!NT_SUCCESS(status))
            return status;
        *Replaced = RemoveReplacedTarget(existing);
    }
    /* Neither refusal of AddLink can happen now: both states change only under the tree resource. */
    status = AddLink(Directory, Link);
    if (!NT_SUCCESS(status))
        return status;
    StampNewLink(Node, Directory);
    *Added = TRUE;
    return STATUS_SUCCESS;
}

/*
 * LinkUnderLocks: makes the name, takes the locks, adds it and gives the locks
 * back; then a replaced node is finished and the new name reported. No lock held.
 */
static NTSTATUS LinkUnderLocks(PVCB Vcb, PREQUEST_ACCESS Access, PFCB Node, PTARGET_NAME Target, BOOLEAN Replace)
{
    PLINK link = NULL;
    NTSTATUS status = MakeLink(Node, &Target->LastComponent, &link);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING path = {0, 0, NULL};
    USHORT lastName = 0;
    PFCB replaced = NULL;
    BOOLEAN added = FALSE;

    ExAcquireResourceExclusiveLite(&Vcb->TreeResource, TRUE);
    ExAcquireResourceExclusiveLite(&Target->Parent->MainResource, TRUE);
    status = AddLinkLocked(Access, Node, Target->Parent, link, Replace, &replaced, &added);
    if (added && VolumeHasWatches(Vcb))
        (VOID) BuildLinkPath(link, &path, &lastName); /* no path, no report */
    ExReleaseResourceLite(&Target->Parent->MainResource);
    ExReleaseResourceLite(&Vcb->TreeResource);

    ReleaseLink(link); /* the maker's reference: a name not added goes with it */
    FinishReplacedTarget(replaced);
    if (added)
        ReportPathChange(Vcb, &path, lastName, FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
    FreeLinkPath(&path);
    return status;
}

/*
 * SetLinkInformation: gives the handle's node the name the record of Length
 * bytes asks (Extended: the Ex class, whose flags carry replace-if-exists).
 * PASSIVE_LEVEL, no lock held. Returns the first rule the request breaks, or
 * STATUS_SUCCESS (also when the name already names the node).
 */
NTSTATUS SetLinkInformation(PIRP Irp, PVCB Vcb, PCCB Ccb, PVOID Buffer, ULONG Length, BOOLEAN Extended)
{
    PFCB node = Ccb->Node;
    if (node->IsDirectory)
        return STATUS_FILE_IS_A_DIRECTORY;
    TARGET_REQUEST request;
    NTSTATUS status = ReadTargetRecord(Buffer, Length, Extended, &request);
    if (!NT_SUCCESS(status))
        return status;
    PFCB start = NULL;
    if (request.RootDirectory != NULL) {
        if (request.Name.Buffer[0] == L'\\')
            return STATUS_INVALID_PARAMETER;
        status = ReferenceRootDirectory(Irp, Vcb, request.RootDirectory, &start);
        if (!NT_SUCCESS(status))
            return status;
    }
    TARGET_NAME target;
    status = ResolveTargetName(Vcb, node, start, &request, &target);
    if (start != NULL)
        DereferenceNode(start);
    if (!NT_SUCCESS(status))
        return status;

    PCUNICODE_STRING last = &target.LastComponent;
    if (last->Length == 0)
        status = STATUS_INVALID_PARAMETER;
    else if (!target.Parent->IsDirectory)
        status = STATUS_OBJECT_PATH_NOT_FOUND;
    else if (target.Parent->Vcb != Vcb)
        status = STATUS_NOT_SAME_DEVICE;
    else if (last->Length > NAME_MAX_BYTES || (last->Length & 1) != 0 || !IsValidNewName(last))
        status = STATUS_OBJECT_NAME_INVALID;
    if (NT_SUCCESS(status)) {
        REQUEST_ACCESS access;
        BeginRequestAccess(&access, Irp, Vcb);
        status = CheckNodeAccess(&access, target.Parent, NULL, FILE_ADD_FILE);
        if (NT_SUCCESS(status))
            status = LinkUnderLocks(Vcb, &access, node, &target, request.ReplaceIfExists);
        EndRequestAccess(&access);
    }
    DereferenceNode(target.Parent);
    return status;
}
