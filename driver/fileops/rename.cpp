/*
 * FileRenameInformation(Ex): moving a handle's name to a new name, in the same
 * directory or another, replacing an existing file when asked.
 *
 * Locks: the tree resource exclusive throughout. Renames, links, creates of new
 * entries and cleanup unlinks all change a directory's children only under the
 * tree resource, so while it is held exclusive every children list stands still
 * and the checks read them without the directories' resources. Those are taken
 * only to change a list under the readers that do without the tree resource
 * (lookups, listings, cleanup's choice of a name), one directory at a time with
 * the node inside it. Within one directory the name changes in place, keeping
 * its place among the children for listings in progress (RenameLinkInPlace).
 * Across two, the name leaves the old directory, joins the new one as its
 * latest arrival, and is marked whole again under the old one (DetachLink,
 * AttachLink, FinishLinkMove); in between, a lookup finds the name in neither
 * directory, as if it came a moment earlier or later. A replaced file's resource is taken by
 * RemoveLink under the new directory, without the node's.
 */
#include "vorel.h"

/* RENAME_PATHS: the names the reports carry, built under the tree resource. */
typedef struct _RENAME_PATHS {
    UNICODE_STRING OldPath;
    UNICODE_STRING NewPath;
    USHORT OldNameOffset;
    USHORT NewNameOffset;
} RENAME_PATHS, *PRENAME_PATHS;

/*
 * ReferenceSourceLink: the name a rename moves: the handle's own, else the
 * node's first; referenced, with its directory. Takes the tree resource and the
 * node's main resource shared. Returns STATUS_OBJECT_NAME_NOT_FOUND when there is
 * no such name or it is in no directory.
 */
static NTSTATUS ReferenceSourceLink(PVCB Vcb, PCCB Ccb, PLINK *Link, PFCB *Parent)
{
    PFCB node = Ccb->Node;
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    ExAcquireResourceSharedLite(&Vcb->TreeResource, TRUE);
    ExAcquireResourceSharedLite(&node->MainResource, TRUE);
    PLINK link = Ccb->Link != NULL ? Ccb->Link : FirstNameOf(node);
    if (link != NULL && link->Parent != NULL) {
        InterlockedIncrement(&link->ReferenceCount);
        ReferenceNode(link->Parent);
        *Link = link;
        *Parent = link->Parent;
        status = STATUS_SUCCESS;
    }
    ExReleaseResourceLite(&node->MainResource);
    ExReleaseResourceLite(&Vcb->TreeResource);
    return status;
}

/*
 * BreakReplacedOplock: a replace will remove the file the target name holds now;
 * its oplock holders hear of it first. The answer does not stop the rename (the
 * entry is looked up again under the locks). Takes the directory's main resource
 * shared; no lock held.
 */
static VOID BreakReplacedOplock(PIRP Irp, PFCB Directory, PCUNICODE_STRING Name, PFCB Node)
{
    PFCB other = NULL;
    ExAcquireResourceSharedLite(&Directory->MainResource, TRUE);
    PLINK existing = LookupChild(Directory, Name);
    if (existing != NULL && existing->Node != Node && ReadUCharNoFence(&existing->Node->OplockInUse)) {
        other = existing->Node;
        ReferenceNode(other);
    }
    ExReleaseResourceLite(&Directory->MainResource);
    if (other == NULL)
        return;
    (VOID) FsRtlCheckOplock(&other->Oplock, Irp, NULL, NULL, NULL);
    DereferenceNode(other);
}

/*
 * IsWithinDirectory: whether Directory is Ancestor or lies below it, following
 * first names up to the root. The caller holds the tree resource (a directory
 * has one name, which only a rename moves, under the tree resource exclusive).
 */
static BOOLEAN IsWithinDirectory(PFCB Directory, PFCB Ancestor)
{
    for (PFCB at = Directory; at != NULL;) {
        if (at == Ancestor)
            return TRUE;
        PLINK link = FirstNameOf(at);
        at = link != NULL ? link->Parent : NULL;
    }
    return FALSE;
}

/* LockDirectoryAndNode: a directory and then a node in it (or moving into it), both exclusive. */
static VOID LockDirectoryAndNode(PFCB Directory, PFCB Node)
{
    ExAcquireResourceExclusiveLite(&Directory->MainResource, TRUE);
    ExAcquireResourceExclusiveLite(&Node->MainResource, TRUE);
}

static VOID UnlockDirectoryAndNode(PFCB Directory, PFCB Node)
{
    ExReleaseResourceLite(&Node->MainResource);
    ExReleaseResourceLite(&Directory->MainResource);
}

/*
 * MoveLocked: the rename itself. The caller holds the tree resource exclusive
 * and no directory's resource. On success *Replaced is the node whose name gave
 * way (referenced), or NULL; *Moved tells whether the name changed at all.
 */
static NTSTATUS MoveLocked(PREQUEST_ACCESS Access, PLINK Link, PFCB SourceParent, PTARGET_NAME Target,
                           BOOLEAN Replace, PFCB *Replaced, PBOOLEAN Moved)
{
    PFCB node = Link->Node;
    PFCB targetParent = Target->Parent;
    PCUNICODE_STRING last = &Target->LastComponent;
    *Replaced = NULL;
    *Moved = FALSE;

    /* A cleanup unlink or another rename may have run since the name was chosen. */
    if (Link->Removed || Link->Parent != SourceParent)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (targetParent->Unlinked)
        return STATUS_DELETE_PENDING;
    if (node->IsDirectory && IsWithinDirectory(targetParent, node))
        return STATUS_INVALID_PARAMETER;
    if (last->Length > NAME_MAX_BYTES)
        return STATUS_OBJECT_NAME_INVALID;
    PLINK existing = LookupChild(targetParent, last);
    if (existing == Link)
        return STATUS_SUCCESS; /* the same name, perhaps in other case: kept as it is */
    if ((last->Length & 1) != 0 || !IsValidNewName(last))
        return STATUS_OBJECT_NAME_INVALID;
    NTSTATUS status = STATUS_SUCCESS;
    if (existing != NULL) {
        status = CheckReplaceTarget(Access, targetParent, existing, Replace);
        if (!NT_SUCCESS(status))
            return status;
    }

    /* The new text first: that alone can fail, and then nothing has changed. */
    LockDirectoryAndNode(SourceParent, node);
    status = SourceParent == targetParent ? RenameLinkInPlace(Link, last) : DetachLink(Link, last);
    if (!NT_SUCCESS(status)) {
        UnlockDirectoryAndNode(SourceParent, node);
        return status;
    }
    if (SourceParent == targetParent) {
        /* In place: the old entry of the name goes under the same hold of the directory. */
        ExReleaseResourceLite(&node->MainResource); /* a replaced file's resource is taken without it */
        if (existing != NULL)
            *Replaced = RemoveReplacedTarget(existing);
        ExReleaseResourceLite(&SourceParent->MainResource);
        *Moved = TRUE;
        return STATUS_SUCCESS;
    }
    UnlockDirectoryAndNode(SourceParent, node);
    ExAcquireResourceExclusiveLite(&targetParent->MainResource, TRUE);
    if (existing != NULL)
        *Replaced = RemoveReplacedTarget(existing);
    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    AttachLink(Link, targetParent);
    UnlockDirectoryAndNode(targetParent, node);
    LockDirectoryAndNode(SourceParent, node);
    FinishLinkMove(Link);
    UnlockDirectoryAndNode(SourceParent, node);
    *Moved = TRUE;
    return STATUS_SUCCESS;
}

/* ReportRename: the pair of reports of a name that moved, within one directory or across two. */
static VOID ReportRename(PVCB Vcb, PFCB Node, PRENAME_PATHS Paths, BOOLEAN SameDirectory)
{
    ULONG filter = Node->IsDirectory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME;
    ReportPathChange(Vcb, &Paths->OldPath, Paths->OldNameOffset, filter,
                     SameDirectory ? FILE_ACTION_RENAMED_OLD_NAME : FILE_ACTION_REMOVED);
    ReportPathChange(Vcb, &Paths->NewPath, Paths->NewNameOffset, filter,
                     SameDirectory ? FILE_ACTION_RENAMED_NEW_NAME : FILE_ACTION_ADDED);
}

/*
 * RenameUnderLocks: takes the locks, moves the name and gives the locks back;
 * then a replaced node is finished and the move reported. No lock held.
 */
static NTSTATUS RenameUnderLocks(PVCB Vcb, PREQUEST_ACCESS Access, PLINK Link, PFCB SourceParent,
                                 PTARGET_NAME Target, BOOLEAN Replace)
{
    RENAME_PATHS paths;
    RtlZeroMemory(&paths, sizeof(paths));
    PFCB replaced = NULL;
    BOOLEAN moved = FALSE;

    ExAcquireResourceExclusiveLite(&Vcb->TreeResource, TRUE);
    BOOLEAN watched = VolumeHasWatches(Vcb);
    if (watched)
        (VOID) BuildLinkPath(Link, &paths.OldPath, &paths.OldNameOffset); /* no path, no report */
    NTSTATUS status = MoveLocked(Access, Link, SourceParent, Target, Replace, &replaced, &moved);
    if (moved && watched)
        (VOID) BuildLinkPath(Link, &paths.NewPath, &paths.NewNameOffset);
    ExReleaseResourceLite(&Vcb->TreeResource);

    FinishReplacedTarget(replaced);
    if (moved)
        ReportRename(Vcb, Link->Node, &paths, SourceParent == Target->Parent);
    FreeLinkPath(&paths.OldPath);
    FreeLinkPath(&paths.NewPath);
    return status;
}

/*
 * SetRenameInformation: renames the handle's node as the record of Length bytes
 * asks (Extended: the Ex class, whose flags carry replace-if-exists).
 * PASSIVE_LEVEL, no lock held. Returns the first rule the request breaks, or
 * STATUS_SUCCESS (also for a name that is already the node's, in any case).
 */
NTSTATUS SetRenameInformation(PIRP Irp, PVCB Vcb, PCCB Ccb, PVOID Buffer, ULONG Length, BOOLEAN Extended)
{
    PFCB node = Ccb->Node;
    if (node->IsRoot)
        return STATUS_INVALID_PARAMETER;
    TARGET_REQUEST request;
    NTSTATUS status = ReadTargetRecord(Buffer, Length, Extended, &request);
    if (!NT_SUCCESS(status))
        return status;
    if (request.RootDirectory != NULL)
        return STATUS_NOT_SUPPORTED;
    TARGET_NAME target;
    status = ResolveTargetName(Vcb, node, NULL, &request, &target);
    if (!NT_SUCCESS(status))
        return status;

    PLINK link = NULL;
    PFCB sourceParent = NULL;
    REQUEST_ACCESS access;
    BeginRequestAccess(&access, Irp, Vcb);
    if (target.LastComponent.Length == 0 || target.Parent == node)
        status = STATUS_INVALID_PARAMETER;
    else if (!target.Parent->IsDirectory)
        status = STATUS_OBJECT_PATH_NOT_FOUND;
    if (NT_SUCCESS(status))
        status = ReferenceSourceLink(Vcb, Ccb, &link, &sourceParent);
    if (NT_SUCCESS(status))
        status = CheckNodeAccess(&access, target.Parent, NULL,
                                 node->IsDirectory ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE);
    if (NT_SUCCESS(status)) {
        if (request.ReplaceIfExists)
            BreakReplacedOplock(Irp, target.Parent, &target.LastComponent, node);
        status = RenameUnderLocks(Vcb, &access, link, sourceParent, &target, request.ReplaceIfExists);
    }
    EndRequestAccess(&access);
    if (link != NULL) {
        ReleaseLink(link);
        DereferenceNode(sourceParent);
    }
    DereferenceNode(target.Parent);
    return status;
}
