/*
 * IRP_MJ_CLEANUP and IRP_MJ_CLOSE: the end of a handle and of a file object.
 *
 * Both run under the volume's main resource shared, so dismount (which takes it
 * exclusive around its busy test) sees every handle either before or after its
 * end, never half-way. Neither takes rundown protection: a handle must be able
 * to end while the volume is being torn down.
 */
#include "vorel.h"

/* HandleContext: the file object's CCB, or NULL for a volume handle (or none at all). */
static PCCB HandleContext(PFILE_OBJECT FileObject, PVCB Vcb)
{
    if (FileObject == NULL || FileObject->FsContext == NULL || FileObject->FsContext == Vcb)
        return NULL;
    PCCB ccb = (PCCB)FileObject->FsContext2;
    if (ccb == NULL || ccb->Signature != CCB_SIGNATURE)
        return NULL;
    return ccb;
}

/*
 * ChooseLinkToRemove: after the handle's open count is given back, the name a
 * delete-pending node loses now, referenced together with its parent; NULL when
 * nothing is to be deleted. The caller holds the node's main resource exclusive.
 */
static PLINK ChooseLinkToRemove(PCCB Ccb, PFCB Node, LONG OpenCount)
{
    if ((OpenCount != 0 && !Node->DeleteCompanion) || !Node->DeletePending || Node->IsRoot || Node->Unlinked)
        return NULL;
    if (Node->IsDirectory && !IsListEmpty(&Node->Children))
        return NULL;
    PLINK link = Ccb->Link;
    if (link == NULL || link->Removed || link->Parent == NULL) {
        if (IsListEmpty(&Node->Names))
            return NULL;
        link = CONTAINING_RECORD(Node->Names.Flink, LINK, NameLinks);
    }
    InterlockedIncrement(&link->ReferenceCount);
    ReferenceNode(link->Parent);
    return link;
}

/*
 * UnlinkNode: removes Link (referenced, as is Parent) from the tree once the
 * state still asks for it: between the choice and the tree resource a rename may
 * have moved the name, or a new name may have been made in the directory.
 * Watchers learn of the removal once every lock is dropped, through the path
 * built while the name was still in place. Drops both references.
 */
static VOID UnlinkNode(PVCB Vcb, PLINK Link, PFCB Parent)
{
    PFCB node = Link->Node;
    UNICODE_STRING path;
    USHORT lastName = 0;
    RtlZeroMemory(&path, sizeof(path));
    ExAcquireResourceExclusiveLite(&Vcb->TreeResource, TRUE);
    ExAcquireResourceExclusiveLite(&Parent->MainResource, TRUE);
    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    BOOLEAN still = !Link->Removed && Link->Parent == Parent && node->DeletePending &&
                    (ReadNoFence(&node->OpenCount) == 0 || node->DeleteCompanion) &&
                    (!node->IsDirectory || IsListEmpty(&node->Children));
    /* RemoveLink takes the node's main resource itself. */
    ExReleaseResourceLite(&node->MainResource);
    if (still) {
        if (VolumeHasWatches(Vcb))
            (VOID) BuildLinkPath(Link, &path, &lastName); /* without memory the removal goes unreported */
        RemoveLink(Link);
    }
    ExReleaseResourceLite(&Parent->MainResource);
    ExReleaseResourceLite(&Vcb->TreeResource);
    DereferenceNode(Parent);
    ReportPathChange(Vcb, &path, lastName, node->IsDirectory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME,
                     FILE_ACTION_REMOVED);
    FreeLinkPath(&path);
    ReleaseLink(Link);
}

/*
 * FreeOrphanData: the storage of a file that lost its last name and its last
 * handle goes back to the volume at once; the record itself lives on while
 * references remain.
 */
VOID FreeOrphanData(PFCB Node)
{
    PSECTION_OBJECT_POINTERS sections = &Node->SectionObjectPointers;
    if (sections->DataSectionObject != NULL || sections->SharedCacheMap != NULL ||
        sections->ImageSectionObject != NULL) {
        while (InterlockedCompareExchange(&Node->PurgeGate, 1, 0) != 0) {
            LARGE_INTEGER interval;
            interval.QuadPart = -10000; /* 1 ms */
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
        CcPurgeCacheSection(sections, NULL, 0, TRUE);
        MmForceSectionClosed(sections, TRUE);
        InterlockedExchange(&Node->PurgeGate, 0);
    }
    ExAcquireResourceExclusiveLite(&Node->MainResource, TRUE);
    if (Node->Unlinked && ReadNoFence(&Node->OpenCount) == 0 &&
        (sections->ImageSectionObject == NULL || MmFlushImageSection(sections, MmFlushForDelete)) &&
        MmCanFileBeTruncated(sections, NULL)) {
        ExAcquireResourceExclusiveLite(&Node->PagingIoResource, TRUE);
        ReleaseAllData(Node);
        ExReleaseResourceLite(&Node->PagingIoResource);
    }
    ExReleaseResourceLite(&Node->MainResource);
}

/*
 * MayHaveSlack: the unlocked first test of the trim at the last cleanup: a
 * non-sparse file with data and no section (a mapped file's pages would outlive
 * memory moved under them).
 */
static BOOLEAN MayHaveSlack(PFCB Node)
{
    PSECTION_OBJECT_POINTERS sections = &Node->SectionObjectPointers;
    return !Node->Sparse && ReadNoFence64((volatile LONG64 *)&Node->Data.FileSize) != 0 &&
           sections->DataSectionObject == NULL && sections->ImageSectionObject == NULL;
}

/*
 * CleanupNode: the last user handle of the file object on Node ends: its share
 * access goes, delete-on-close takes effect, the last handle of a
 * delete-pending node removes its name, an orphan's data is freed and a kept
 * file's slack is given back.
 */
static VOID CleanupNode(PVCB Vcb, PFILE_OBJECT FileObject, PCCB Ccb, PFCB Node)
{
    ExAcquireResourceExclusiveLite(&Node->MainResource, TRUE);
    if (Node->ShareAccessInitialized)
        IoRemoveShareAccess(FileObject, &Node->ShareAccess);
    if (Ccb->DeleteOnClose && !Node->IsRoot) {
        if (Node->IsDirectory ? IsListEmpty(&Node->Children)
                              : (Node->SectionObjectPointers.ImageSectionObject == NULL ||
                                 MmFlushImageSection(&Node->SectionObjectPointers, MmFlushForDelete)))
            Node->DeletePending = TRUE;
    }
    LONG openCount = InterlockedDecrement(&Node->OpenCount);
    if (openCount == 0)
        Node->ShareAccessInitialized = FALSE;
    PLINK link = ChooseLinkToRemove(Ccb, Node, openCount);
    ExReleaseResourceLite(&Node->MainResource);

    /*
     * The handle's watches end with it; their waiting requests complete with
     * STATUS_NOTIFY_CLEANUP. The full barrier of the read pairs with the one that
     * publishes the path: a first watch request racing with this cleanup either
     * published its path before (and its watch is cleaned up here) or sees the
     * file object cleaned up when the package takes it (and completes it at once).
     */
    if (Node->IsDirectory && Vcb->NotifySync != NULL &&
        InterlockedCompareExchangePointer((PVOID volatile *)&Ccb->NotifyPath.Buffer, NULL, NULL) != NULL)
        FsRtlNotifyCleanup(Vcb->NotifySync, &Vcb->NotifyList, Ccb);
    if (link != NULL)
        UnlinkNode(Vcb, link, link->Parent);
    if (Node->IsDirectory)
        return;
    if (openCount == 0) {
        if (Node->Unlinked)
            FreeOrphanData(Node);
        else if (MayHaveSlack(Node))
            TrimToSize(Node); /* rechecks under the node's resources; a failed trim only keeps the slack */
    }
    /* The file goes (back) to the end of the compression worker's queue: just used, it is not cold. */
    if (!ReadUCharNoFence(&Node->Unlinked))
        OfferColdFile(Node, TRUE);
    /* A file changed through this handle: its watchers hear of it once, at the end of the handle. */
    if (FlagOn(FileObject->Flags, FO_FILE_MODIFIED))
        ReportChange(Vcb, Node,
                     FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_LAST_ACCESS | FILE_NOTIFY_CHANGE_ATTRIBUTES |
                         (FlagOn(FileObject->Flags, FO_FILE_SIZE_CHANGED) ? FILE_NOTIFY_CHANGE_SIZE : 0),
                     FILE_ACTION_MODIFIED);
}

/*
 * CommonCleanup: the volume's main resource is held shared. The handle's oplock
 * ends here (a batch owner that promised to close releases the opens waiting on it).
 */
static VOID CommonCleanup(PVCB Vcb, PIRP Irp)
{
    PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (FileObject == NULL)
        return;
    SetFlag(FileObject->Flags, FO_CLEANUP_COMPLETE);
    PCCB ccb = HandleContext(FileObject, Vcb);
    if (ccb == NULL)
        return;
    ReleaseHolder(Vcb, ccb->RequestorProcess);
    DropReadWindow(ccb);
    PFILE_LOCK lock = PeekFileLock(ccb->Node);
    if (lock != NULL && !ccb->Node->IsDirectory)
        (VOID) FsRtlFastUnlockAll(lock, FileObject, IoGetRequestorProcess(Irp), NULL);
    if (ccb->Node->OplockInUse)
        (VOID) FsRtlCheckOplock(&ccb->Node->Oplock, Irp, NULL, NULL, NULL); /* cleanup never waits or fails */
    CleanupNode(Vcb, FileObject, ccb, ccb->Node);
}

/* CommonClose: the volume's main resource is held shared. Frees the CCB and drops the handle's references. */
static VOID CommonClose(PVCB Vcb, PIRP Irp)
{
    PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    if (FileObject == NULL || FileObject->FsContext == NULL)
        return;
    PCCB ccb = HandleContext(FileObject, Vcb);
    BOOLEAN volumeOpen = FileObject->FsContext == Vcb;
    FileObject->FsContext = NULL;
    FileObject->FsContext2 = NULL;
    if (volumeOpen) {
        InterlockedDecrement(&Vcb->VolumeOpenCount);
        return;
    }
    if (ccb == NULL)
        return;
    PFCB node = ccb->Node;
    if (ccb->Link != NULL)
        ReleaseLink(ccb->Link);
    if (ccb->ResumeLink != NULL)
        ReleaseEnumerationLink(ccb->ResumeLink);
    FreeLinkPath(&ccb->NotifyPath);
    DropReadWindow(ccb); /* a read that ran after cleanup may have put one back */
    ccb->Signature = 0;
    VorelData.FreePool(ccb, TAG_CCB);
    DereferenceNode(node);
}

/*
 * EndHandle: the frame of cleanup and close. A device that is not a volume has no
 * context to undo. Waits while the volume is held, then runs Common under the
 * volume's main resource shared.
 */
static NTSTATUS EndHandle(PDEVICE_OBJECT DeviceObject, PIRP Irp, VOID (*Common)(PVCB, PIRP))
{
    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    PVCB vcb = VcbFromDevice(DeviceObject);
    if (vcb != NULL) {
        WaitWhileVolumeHeld(vcb);
        ExAcquireResourceSharedLite(&vcb->Resource, TRUE);
        Common(vcb, Irp);
        ExReleaseResourceLite(&vcb->Resource);
    }
    Irp->IoStatus.Information = 0;
    FrameLeave(&frame, STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

/* VorelCleanup: PASSIVE_LEVEL; the last user handle of a file object was closed. */
NTSTATUS NTAPI VorelCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return EndHandle(DeviceObject, Irp, CommonCleanup);
}

/* VorelClose: PASSIVE_LEVEL or APC_LEVEL; the last reference to a file object went away. */
NTSTATUS NTAPI VorelClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return EndHandle(DeviceObject, Irp, CommonClose);
}
