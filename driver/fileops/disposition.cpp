/*
 * The delete disposition of a node: set or cleared through any handle, acted on
 * at cleanup (close.cpp): at the last handle's cleanup, or, with POSIX
 * semantics, at the cleanup of the handle that set it, while other handles go on
 * reading and writing the nameless file.
 */
#include "vorel.h"

/*
 * SetDisposition: makes Node delete-pending (Delete) or not, through the handle
 * Ccb; Posix asks for the name to go at this handle's cleanup. Setting it from
 * user mode on a volume with security needs DELETE granted to the handle (the
 * read-only attribute does not stand in the way). PASSIVE_LEVEL, no lock held;
 * the node's main resource is taken exclusive. Returns STATUS_CANNOT_DELETE (the
 * root, or a file whose image section is in use), STATUS_ACCESS_DENIED or
 * STATUS_DIRECTORY_NOT_EMPTY.
 */
NTSTATUS SetDisposition(PVCB Vcb, PFCB Node, PCCB Ccb, BOOLEAN Delete, BOOLEAN Posix, KPROCESSOR_MODE RequestorMode)
{
    if (Node->IsRoot)
        return STATUS_CANNOT_DELETE;
    if (Delete && RequestorMode == UserMode && !Vcb->NoSecurity && !(Ccb->GrantedAccess & DELETE))
        return STATUS_ACCESS_DENIED;

    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN directoryGoing = FALSE;
    ExAcquireResourceExclusiveLite(&Node->MainResource, TRUE);
    if (Delete && Node->IsDirectory && !IsListEmpty(&Node->Children))
        status = STATUS_DIRECTORY_NOT_EMPTY;
    else if (Delete && !Node->IsDirectory && Node->SectionObjectPointers.ImageSectionObject != NULL &&
             !MmFlushImageSection(&Node->SectionObjectPointers, MmFlushForDelete))
        status = STATUS_CANNOT_DELETE;
    if (NT_SUCCESS(status)) {
        directoryGoing = Node->IsDirectory && Delete && !Node->DeletePending;
        Node->DeletePending = Delete;
        Node->DeleteCompanion = Delete && Posix;
    }
    ExReleaseResourceLite(&Node->MainResource);

    /* The watches made through this handle end: their requests complete with STATUS_DELETE_PENDING. */
    if (directoryGoing && Vcb->NotifySync != NULL)
        FsRtlNotifyFullChangeDirectory(Vcb->NotifySync, &Vcb->NotifyList, Ccb, NULL, FALSE, FALSE, 0, NULL, NULL,
                                       NULL);
    return status;
}
