/*
 * IRP_MJ_LOCK_CONTROL: byte-range locks, kept by the file-system runtime's lock
 * package in one FILE_LOCK record per file.
 *
 * The record is made on first use and lives until the node is torn down. It is
 * published with a compare-exchange and never replaced, so a reader that sees it
 * may use it without a lock; the package serialises its own state. Directories
 * carry no locks.
 */
#include "vorel.h"

/* PeekFileLock: the node's lock record, or NULL while it has none. Any IRQL; no lock needed. */
PFILE_LOCK PeekFileLock(PFCB Fcb)
{
    /* Acquire: pairs with the publishing compare-exchange, so the record is seen initialised. */
    return (PFILE_LOCK)ReadPointerAcquire((PVOID const volatile *)&Fcb->FileLock);
}

/* HasFileLocks: whether the node's byte ranges are locked, or locks wait for them. */
BOOLEAN HasFileLocks(PFCB Fcb)
{
    PFILE_LOCK lock = PeekFileLock(Fcb);
    return lock != NULL && FsRtlAreThereCurrentOrWaitingFileLocks(lock);
}

/*
 * GetFileLock: the node's lock record, made when there is none. Any IRQL up to
 * APC_LEVEL, no lock held. Two first users may race: the loser frees its own
 * record and takes the winner's. Returns NULL only when no record existed and
 * none could be made.
 */
PFILE_LOCK GetFileLock(PFCB Fcb)
{
    PFILE_LOCK lock = PeekFileLock(Fcb);
    if (lock != NULL)
        return lock;
    PFILE_LOCK made = FsRtlAllocateFileLock(NULL, NULL);
    if (made == NULL)
        return NULL;
    lock = (PFILE_LOCK)InterlockedCompareExchangePointer((PVOID volatile *)&Fcb->FileLock, made, NULL);
    if (lock == NULL)
        return made;
    FsRtlFreeFileLock(made);
    return lock;
}

/*
 * CommonLockControl: a lock request on an admitted volume. A lock, or any request
 * once the record exists, goes to the lock package, which completes it (a waiting
 * lock pends there until granted or cancelled): *HandedOn is then set. Without a
 * record nothing is locked, so the unlocks answer here. Returns the package's
 * status, STATUS_INVALID_PARAMETER for a volume handle or a directory,
 * STATUS_INSUFFICIENT_RESOURCES when no record can be made, or the unlock's answer.
 */
static NTSTATUS CommonLockControl(PIRP Irp, PVCB Vcb, PBOOLEAN HandedOn)
{
    UNREFERENCED_PARAMETER(Vcb);
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PCCB ccb = HandleCcb(irpSp->FileObject);
    if (ccb == NULL || ccb->Node->IsDirectory)
        return STATUS_INVALID_PARAMETER;
    PFCB node = ccb->Node;

    PFILE_LOCK lock = PeekFileLock(node);
    if (irpSp->MinorFunction == IRP_MN_LOCK || lock != NULL) {
        lock = GetFileLock(node);
        if (lock == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        *HandedOn = TRUE;
        return FsRtlProcessFileLock(lock, Irp, NULL);
    }
    switch (irpSp->MinorFunction) {
    case IRP_MN_UNLOCK_SINGLE:
        return STATUS_RANGE_NOT_LOCKED;
    case IRP_MN_UNLOCK_ALL:
    case IRP_MN_UNLOCK_ALL_BY_KEY:
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

/*
 * VorelLockControl: PASSIVE_LEVEL. Refuses a device that is not a volume with
 * STATUS_INVALID_DEVICE_REQUEST and a dismounted volume with
 * STATUS_VOLUME_DISMOUNTED; otherwise CommonLockControl.
 */
NTSTATUS NTAPI VorelLockControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeHandOff(DeviceObject, Irp, CommonLockControl);
}
