/*
 * What renames and hard links share: reading the target part of their record,
 * finding the directory and last name it designates, the access checks of the
 * requester, and taking an existing entry out of the way of a replace.
 *
 * The target is found without the tree resource: the walk references each
 * directory before it lets the previous one go. Everything found here is checked
 * again under the tree resource exclusive before the tree changes.
 */
#include "vorel.h"

#define TARGET_RECORD_HEAD  FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName)     /* 20 */
#define DRIVE_PREFIX_BYTES  (6 * sizeof(WCHAR))                                 /* "\??\X:" */

C_ASSERT(FIELD_OFFSET(FILE_LINK_INFORMATION, FileName) == TARGET_RECORD_HEAD);

/*
 * ReadTargetRecord: the replace flag (the first byte, or bit 0 of the 32-bit
 * flags of the Ex classes), the root handle and the name of a rename or link
 * record of Length bytes. Returns STATUS_INFO_LENGTH_MISMATCH for a record
 * shorter than its head or than the name it claims, STATUS_INVALID_PARAMETER for
 * a name length of 0 or above 65534 bytes. The head's length is tested before
 * the name length is read from it.
 */
NTSTATUS ReadTargetRecord(PVOID Buffer, ULONG Length, BOOLEAN Extended, PTARGET_REQUEST Request)
{
    RtlZeroMemory(Request, sizeof(*Request));
    if (Length < TARGET_RECORD_HEAD)
        return STATUS_INFO_LENGTH_MISMATCH;
    PFILE_RENAME_INFORMATION record = (PFILE_RENAME_INFORMATION)Buffer;
    ULONG nameLength = record->FileNameLength;
    if (nameLength == 0 || nameLength > MAXIMUM_PATH_BYTES)
        return STATUS_INVALID_PARAMETER;
    if (Length < TARGET_RECORD_HEAD + nameLength)
        return STATUS_INFO_LENGTH_MISMATCH;
    Request->ReplaceIfExists = Extended ? (record->Flags & FILE_RENAME_REPLACE_IF_EXISTS) != 0
                                        : record->ReplaceIfExists != FALSE;
    Request->RootDirectory = record->RootDirectory;
    Request->Name.Buffer = record->FileName;
    Request->Name.Length = Request->Name.MaximumLength = (USHORT)nameLength;
    return STATUS_SUCCESS;
}

/* UpcaseLetter: an ASCII letter in upper case; any other unit as it is. */
static WCHAR UpcaseLetter(WCHAR Unit)
{
    return (Unit >= L'a' && Unit <= L'z') ? (WCHAR)(Unit - (L'a' - L'A')) : Unit;
}

/*
 * DropDrivePrefix: a name "\??\X:..." (at least 14 bytes) is a path on drive X:
 * the prefix goes when X is this volume's letter; any other letter is
 * STATUS_NOT_SAME_DEVICE. Other names are left as they are.
 */
static NTSTATUS DropDrivePrefix(PVCB Vcb, PUNICODE_STRING Name)
{
    PWCHAR n = Name->Buffer;
    if (Name->Length < DRIVE_PREFIX_BYTES + sizeof(WCHAR) || n[0] != L'\\' || n[1] != L'?' || n[2] != L'?' ||
        n[3] != L'\\' || UpcaseLetter(n[4]) < L'A' || UpcaseLetter(n[4]) > L'Z' || n[5] != L':')
        return STATUS_SUCCESS;
    if (UpcaseLetter(n[4]) != UpcaseLetter(Vcb->Vdr->Letter))
        return STATUS_NOT_SAME_DEVICE;
    Name->Buffer += DRIVE_PREFIX_BYTES / sizeof(WCHAR);
    Name->Length -= (USHORT)DRIVE_PREFIX_BYTES;
    Name->MaximumLength = Name->Length;
    return STATUS_SUCCESS;
}

/*
 * CurrentParentOf: the directory that holds Node's first name, referenced, or
 * NULL for a node without a name. Takes the tree resource and the node's main
 * resource shared.
 */
static PFCB CurrentParentOf(PVCB Vcb, PFCB Node)
{
    ExAcquireResourceSharedLite(&Vcb->TreeResource, TRUE);
    ExAcquireResourceSharedLite(&Node->MainResource, TRUE);
    PLINK link = FirstNameOf(Node);
    PFCB parent = link != NULL ? link->Parent : NULL;
    if (parent != NULL)
        ReferenceNode(parent);
    ExReleaseResourceLite(&Node->MainResource);
    ExReleaseResourceLite(&Vcb->TreeResource);
    return parent;
}

/*
 * ResolveTargetName: the directory and last name that Request names for Node.
 * Start is the directory of a link's root handle (the name is relative to it),
 * or NULL: then a name with a leading backslash is walked from the root, and any
 * other name is one entry of the directory that holds Node's first name. Walks
 * check no traverse access and do not stop at reparse points. On success
 * Target->Parent is referenced. Returns STATUS_NOT_SAME_DEVICE (another drive),
 * STATUS_OBJECT_NAME_NOT_FOUND (a relative name for a node without a name) or the
 * walk's failure. No lock held.
 */
NTSTATUS ResolveTargetName(PVCB Vcb, PFCB Node, PFCB Start, PTARGET_REQUEST Request, PTARGET_NAME Target)
{
    RtlZeroMemory(Target, sizeof(*Target));
    UNICODE_STRING name = Request->Name;
    NTSTATUS status = STATUS_SUCCESS;
    if (Start == NULL) {
        status = DropDrivePrefix(Vcb, &name);
        if (!NT_SUCCESS(status))
            return status;
        if (name.Buffer[0] != L'\\') {
            Target->Parent = CurrentParentOf(Vcb, Node);
            if (Target->Parent == NULL)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            Target->LastComponent = name;
            return STATUS_SUCCESS;
        }
        Start = Vcb->RootFcb;
    }
    WALK_RESULT walk;
    status = WalkPath(Start, &name, FALSE, TRUE, NULL, NULL, &walk);
    if (!NT_SUCCESS(status))
        return status;
    Target->Parent = walk.Parent;
    Target->LastComponent = walk.LastComponent;
    return STATUS_SUCCESS;
}

/*
 * BeginRequestAccess: captures the requester of Irp when Vcb checks access for
 * it (a user-mode request on a volume with security); otherwise every check
 * below grants. EndRequestAccess gives the capture back.
 */
VOID BeginRequestAccess(PREQUEST_ACCESS Access, PIRP Irp, PVCB Vcb)
{
    RtlZeroMemory(Access, sizeof(*Access));
    Access->Input.AccessMode = Irp->RequestorMode;
    Access->Input.CheckRequired = !Vcb->NoSecurity && Irp->RequestorMode == UserMode;
    if (!Access->Input.CheckRequired)
        return;
    SeCaptureSubjectContext(&Access->Subject);
    Access->Input.SubjectContext = &Access->Subject;
}

VOID EndRequestAccess(PREQUEST_ACCESS Access)
{
    if (Access->Input.SubjectContext != NULL)
        SeReleaseSubjectContext(&Access->Subject);
    Access->Input.SubjectContext = NULL;
}

/*
 * CheckNodeAccess: may the requester have Wanted on Node (in Parent, which may
 * lend DELETE through FILE_DELETE_CHILD; NULL when it lends nothing)? The caller
 * holds Parent's main resource, if any; Node's is taken shared here. Returns
 * STATUS_SUCCESS or the access check's failure.
 */
NTSTATUS CheckNodeAccess(PREQUEST_ACCESS Access, PFCB Node, PFCB Parent, ACCESS_MASK Wanted)
{
    if (!Access->Input.CheckRequired)
        return STATUS_SUCCESS;
    ACCESS_MASK granted = 0;
    ExAcquireResourceSharedLite(&Node->MainResource, TRUE);
    NTSTATUS status = CheckOpenAccess(&Access->Input, Node, Parent, Wanted, &granted);
    ExReleaseResourceLite(&Node->MainResource);
    return status;
}

/*
 * CheckReplaceTarget: may the entry Existing of Parent give way to a new name?
 * Without Replace it stays (STATUS_OBJECT_NAME_COLLISION); a directory is never
 * replaced (STATUS_ACCESS_DENIED); the requester needs DELETE on it or
 * FILE_DELETE_CHILD on Parent. The caller holds the tree resource exclusive and
 * no node's resource; Parent's is taken shared here for the access check (the
 * caller may hold it exclusive already).
 */
NTSTATUS CheckReplaceTarget(PREQUEST_ACCESS Access, PFCB Parent, PLINK Existing, BOOLEAN Replace)
{
    if (!Replace)
        return STATUS_OBJECT_NAME_COLLISION;
    if (Existing->Node->IsDirectory)
        return STATUS_ACCESS_DENIED;
    ExAcquireResourceSharedLite(&Parent->MainResource, TRUE);
    NTSTATUS status = CheckNodeAccess(Access, Existing->Node, Parent, DELETE);
    ExReleaseResourceLite(&Parent->MainResource);
    return status;
}

/*
 * RemoveReplacedTarget: takes a checked entry out of the tree and returns its
 * node, referenced, for FinishReplacedTarget once the locks are gone. The caller
 * holds the tree resource and the entry's directory exclusive, and no node's
 * resource.
 */
PFCB RemoveReplacedTarget(PLINK Existing)
{
    PFCB node = Existing->Node;
    ReferenceNode(node);
    RemoveLink(Existing);
    return node;
}

/*
 * FinishReplacedTarget: a replaced node that has lost its last name and has no
 * handle gives its data back now, as at its last cleanup; then the reference
 * RemoveReplacedTarget took goes. No lock held.
 */
VOID FinishReplacedTarget(PFCB Replaced)
{
    if (Replaced == NULL)
        return;
    if (ReadUCharNoFence(&Replaced->Unlinked) && ReadNoFence(&Replaced->OpenCount) == 0)
        FreeOrphanData(Replaced); /* rechecks both under the node's main resource */
    DereferenceNode(Replaced);
}
