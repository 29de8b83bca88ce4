/*
 * Change reports: the full paths of names and the reports that the change-notify
 * package matches against the volume's directory watches.
 *
 * Paths are built under the volume's tree resource (shared for a report, or the
 * exclusive hold of a rename or unlink), so a path never spans a half-finished
 * move. Reports go out after the caller released its node locks: the package
 * completes waiting requests from inside the report.
 */
#include "vorel.h"

/* FirstNameOf: the first name of a node, or NULL when it has none. Tree resource held. */
PLINK FirstNameOf(PFCB Fcb)
{
    if (IsListEmpty(&Fcb->Names))
        return NULL;
    return CONTAINING_RECORD(Fcb->Names.Flink, LINK, NameLinks);
}

/* NextLinkUp: the link that names Link's parent, or NULL at the root. */
static PLINK NextLinkUp(PLINK Link)
{
    return Link->Parent != NULL ? FirstNameOf(Link->Parent) : NULL;
}

/*
 * BuildLinkPath: the full path of Link ("\a\b"; NULL or a root link gives "\") in
 * pool memory with tag "vlNt", the caller frees Path->Buffer. Each parent is
 * named by its first name. *LastNameOffset is the byte offset of the last name.
 * The caller holds the tree resource. Returns STATUS_INSUFFICIENT_RESOURCES for a
 * path above 65534 bytes or no memory, and then leaves Path empty.
 */
NTSTATUS BuildLinkPath(PLINK Link, PUNICODE_STRING Path, PUSHORT LastNameOffset)
{
    RtlZeroMemory(Path, sizeof(*Path));
    *LastNameOffset = 0;
    ULONG length = 0;
    for (PLINK link = Link; link != NULL && !link->Node->IsRoot; link = NextLinkUp(link)) {
        length += sizeof(WCHAR) + link->Name.Length;
        if (length > MAXIMUM_PATH_BYTES)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (length == 0)
        length = sizeof(WCHAR);
    PWCHAR path = (PWCHAR)VorelData.AllocatePool(length, TAG_FULL_PATH, PagedPool);
    if (path == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    path[0] = L'\\';
    /* Fill from the end: the walk meets the last name first. */
    ULONG at = length;
    for (PLINK link = Link; link != NULL && !link->Node->IsRoot; link = NextLinkUp(link)) {
        at -= link->Name.Length;
        RtlCopyMemory((PUCHAR)path + at, link->Name.Buffer, link->Name.Length);
        if (link == Link)
            *LastNameOffset = (USHORT)at;
        at -= sizeof(WCHAR);
        path[at / sizeof(WCHAR)] = L'\\';
    }
    Path->Buffer = path;
    Path->Length = (USHORT)length;
    Path->MaximumLength = (USHORT)length;
    return STATUS_SUCCESS;
}

/* FreeLinkPath: gives back a path from BuildLinkPath (an empty one is fine). */
VOID FreeLinkPath(PUNICODE_STRING Path)
{
    if (Path->Buffer != NULL)
        VorelData.FreePool(Path->Buffer, TAG_FULL_PATH);
    RtlZeroMemory(Path, sizeof(*Path));
}

/*
 * VolumeHasWatches: whether a report could match anything. Read without a lock:
 * a watch registered while a change is being made may miss that change, as it
 * would had it come a moment later.
 */
BOOLEAN VolumeHasWatches(PVCB Vcb)
{
    return Vcb->NotifySync != NULL && ReadPointerNoFence((PVOID const volatile *)&Vcb->NotifyList.Flink) != &Vcb->NotifyList;
}

/*
 * ReportPathChange: reports Action with Filter for a path the caller built. No
 * lock of the node or its directory may be held: the package completes requests.
 */
VOID ReportPathChange(PVCB Vcb, PUNICODE_STRING Path, USHORT LastNameOffset, ULONG Filter, ULONG Action)
{
    if (Vcb->NotifySync == NULL || Path->Buffer == NULL || Filter == 0)
        return;
    FsRtlNotifyFullReportChange(Vcb->NotifySync, &Vcb->NotifyList, (PSTRING)Path, LastNameOffset, NULL, NULL,
                                Filter, Action, NULL);
}

/*
 * ReportChange: reports Action with Filter for Node, named by its first name.
 * Takes the tree resource shared to build the path; nothing is reported when the
 * volume has no watch, the node has no name left, or no path can be had.
 */
VOID ReportChange(PVCB Vcb, PFCB Node, ULONG Filter, ULONG Action)
{
    if (!VolumeHasWatches(Vcb) || Filter == 0)
        return;
    UNICODE_STRING path;
    USHORT lastName;
    ExAcquireResourceSharedLite(&Vcb->TreeResource, TRUE);
    PLINK link = FirstNameOf(Node);
    NTSTATUS status = link != NULL || Node->IsRoot ? BuildLinkPath(link, &path, &lastName)
                                                   : STATUS_OBJECT_NAME_NOT_FOUND;
    ExReleaseResourceLite(&Vcb->TreeResource);
    if (!NT_SUCCESS(status))
        return;
    ReportPathChange(Vcb, &path, lastName, Filter, Action);
    FreeLinkPath(&path);
}

/* InitializeChangeNotify: the volume's synchronisation and watch list; without memory the volume takes no watches. */
VOID InitializeChangeNotify(PVCB Vcb)
{
    NTSTATUS status = STATUS_SUCCESS;
    Vcb->NotifySync = NULL;
    InitializeListHead(&Vcb->NotifyList);
    GUARDED_CALL(status, FsRtlNotifyInitializeSync(&Vcb->NotifySync));
    if (!NT_SUCCESS(status))
        Vcb->NotifySync = NULL;
}

/* UninitializeChangeNotify: completes every watch's waiting requests and frees the synchronisation. */
VOID UninitializeChangeNotify(PVCB Vcb)
{
    if (Vcb->NotifySync == NULL)
        return;
    FsRtlNotifyCleanupAll(Vcb->NotifySync, &Vcb->NotifyList);
    FsRtlNotifyUninitializeSync(&Vcb->NotifySync);
    Vcb->NotifySync = NULL;
}
