/*
 * The fast I/O entries: calls the I/O manager makes straight into the file
 * system, without a request, for the small queries and for byte-range locks.
 * Any entry may decline by returning FALSE; the I/O manager then sends the
 * request it stands for, which gives the authoritative answer. So an entry
 * declines whenever its answer would need more than it can see cheaply.
 *
 * The query entries take no lock (see file_records.cpp). The lock entries run
 * the lock package inside a critical region, as a request handler would.
 * Reads and writes have no fast entry: they always arrive as requests.
 */
#include "vorel.h"

/* HandleNode: the node a file object opens, or NULL for a volume handle. */
static PFCB HandleNode(PFILE_OBJECT FileObject)
{
    PCCB ccb = HandleCcb(FileObject);
    return ccb != NULL ? ccb->Node : NULL;
}

/*
 * QueryRecord: fills the fixed record of class Class for the handle's node into
 * Buffer, IoStatus success with the record's size. FALSE for a handle without a
 * node. Any IRQL up to APC_LEVEL; no lock taken.
 */
static BOOLEAN QueryRecord(PFILE_OBJECT FileObject, FILE_INFORMATION_CLASS Class, PVOID Buffer,
                           PIO_STATUS_BLOCK IoStatus)
{
    PFCB node = HandleNode(FileObject);
    if (node == NULL)
        return FALSE;
    ULONG_PTR size;
    if (Class == FileBasicInformation) {
        FillBasicInformation(node, (PFILE_BASIC_INFORMATION)Buffer);
        size = sizeof(FILE_BASIC_INFORMATION);
    } else if (Class == FileStandardInformation) {
        FillStandardInformation(node, (PFILE_STANDARD_INFORMATION)Buffer);
        size = sizeof(FILE_STANDARD_INFORMATION);
    } else {
        FillNetworkOpenInformation(node, (PFILE_NETWORK_OPEN_INFORMATION)Buffer);
        size = sizeof(FILE_NETWORK_OPEN_INFORMATION);
    }
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = size;
    return TRUE;
}

/* VorelFastIoQueryBasicInfo: the basic record, or FALSE for a handle without a node. */
BOOLEAN NTAPI VorelFastIoQueryBasicInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_BASIC_INFORMATION Buffer,
                                        PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(Wait);
    UNREFERENCED_PARAMETER(DeviceObject);
    return QueryRecord(FileObject, FileBasicInformation, Buffer, IoStatus);
}

/* VorelFastIoQueryStandardInfo: the standard record, or FALSE for a handle without a node. */
BOOLEAN NTAPI VorelFastIoQueryStandardInfo(PFILE_OBJECT FileObject, BOOLEAN Wait, PFILE_STANDARD_INFORMATION Buffer,
                                           PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(Wait);
    UNREFERENCED_PARAMETER(DeviceObject);
    return QueryRecord(FileObject, FileStandardInformation, Buffer, IoStatus);
}

/* VorelFastIoQueryNetworkOpenInfo: the network-open record, or FALSE for a handle without a node. */
BOOLEAN NTAPI VorelFastIoQueryNetworkOpenInfo(PFILE_OBJECT FileObject, BOOLEAN Wait,
                                              PFILE_NETWORK_OPEN_INFORMATION Buffer, PIO_STATUS_BLOCK IoStatus,
                                              PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(Wait);
    UNREFERENCED_PARAMETER(DeviceObject);
    return QueryRecord(FileObject, FileNetworkOpenInformation, Buffer, IoStatus);
}

/* LockableNode: the file a lock entry works on; NULL (decline) for a volume handle or a directory. */
static PFCB LockableNode(PFILE_OBJECT FileObject)
{
    PFCB node = HandleNode(FileObject);
    return node != NULL && !node->IsDirectory ? node : NULL;
}

/*
 * VorelFastIoLock: PASSIVE_LEVEL. Grants or refuses a lock at once. Declines
 * when the lock record cannot be made, and (through the package) when the lock
 * would have to wait: only a request can wait.
 */
BOOLEAN NTAPI VorelFastIoLock(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                              PEPROCESS ProcessId, ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock,
                              PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PFCB node = LockableNode(FileObject);
    if (node == NULL)
        return FALSE;
    PFILE_LOCK lock = GetFileLock(node);
    if (lock == NULL)
        return FALSE;
    KeEnterCriticalRegion();
    BOOLEAN done = FsRtlPrivateLock(lock, FileObject, FileOffset, Length, ProcessId, Key, FailImmediately,
                                    ExclusiveLock, IoStatus, NULL, NULL, FALSE);
    KeLeaveCriticalRegion();
    return done;
}

/* VorelFastIoUnlockSingle: PASSIVE_LEVEL. Without a record nothing is locked: STATUS_RANGE_NOT_LOCKED. */
BOOLEAN NTAPI VorelFastIoUnlockSingle(PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                                      PEPROCESS ProcessId, ULONG Key, PIO_STATUS_BLOCK IoStatus,
                                      PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PFCB node = LockableNode(FileObject);
    if (node == NULL)
        return FALSE;
    IoStatus->Information = 0;
    PFILE_LOCK lock = PeekFileLock(node);
    if (lock == NULL) {
        IoStatus->Status = STATUS_RANGE_NOT_LOCKED;
        return TRUE;
    }
    KeEnterCriticalRegion();
    IoStatus->Status = FsRtlFastUnlockSingle(lock, FileObject, FileOffset, Length, ProcessId, Key, NULL, FALSE);
    KeLeaveCriticalRegion();
    return TRUE;
}

/*
 * UnlockAll: releases the locks ProcessId holds through FileObject (only those
 * taken with Key when ByKey). Success when the file never had a lock. FALSE
 * for a volume handle or a directory. PASSIVE_LEVEL.
 */
static BOOLEAN UnlockAll(PFILE_OBJECT FileObject, PEPROCESS ProcessId, BOOLEAN ByKey, ULONG Key,
                         PIO_STATUS_BLOCK IoStatus)
{
    PFCB node = LockableNode(FileObject);
    if (node == NULL)
        return FALSE;
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = 0;
    PFILE_LOCK lock = PeekFileLock(node);
    if (lock != NULL) {
        KeEnterCriticalRegion();
        IoStatus->Status = ByKey ? FsRtlFastUnlockAllByKey(lock, FileObject, ProcessId, Key, NULL)
                                 : FsRtlFastUnlockAll(lock, FileObject, ProcessId, NULL);
        KeLeaveCriticalRegion();
    }
    return TRUE;
}

/* VorelFastIoUnlockAll: the process's locks through this file object. */
BOOLEAN NTAPI VorelFastIoUnlockAll(PFILE_OBJECT FileObject, PEPROCESS ProcessId, PIO_STATUS_BLOCK IoStatus,
                                   PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return UnlockAll(FileObject, ProcessId, FALSE, 0, IoStatus);
}

/* VorelFastIoUnlockAllByKey: the process's locks through this file object taken with Key. */
BOOLEAN NTAPI VorelFastIoUnlockAllByKey(PFILE_OBJECT FileObject, PVOID ProcessId, ULONG Key,
                                        PIO_STATUS_BLOCK IoStatus, PDEVICE_OBJECT DeviceObject)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return UnlockAll(FileObject, (PEPROCESS)ProcessId, TRUE, Key, IoStatus);
}

/*
 * IsQueryOpenPlain: the create in Irp is one the fast query may answer: an
 * absolute name (not the root itself, no trailing backslash), no related file
 * object, a security context with an access state, no directory option to check.
 */
static BOOLEAN IsQueryOpenPlain(PIO_STACK_LOCATION IrpSp)
{
    PFILE_OBJECT fileObject = IrpSp->FileObject;
    if (fileObject == NULL || fileObject->RelatedFileObject != NULL)
        return FALSE;
    PUNICODE_STRING name = &fileObject->FileName;
    USHORT units = name->Length / sizeof(WCHAR);
    if (units < 2 || name->Buffer[0] != L'\\' || name->Buffer[units - 1] == L'\\')
        return FALSE;
    if (IrpSp->Parameters.Create.SecurityContext == NULL ||
        IrpSp->Parameters.Create.SecurityContext->AccessState == NULL)
        return FALSE;
    return (IrpSp->Parameters.Create.Options & (FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE)) == 0;
}

/*
 * QueryOpenNode: the node Name leads to from the root, referenced, or NULL when
 * a component is missing or traverse is denied. Reparse points met on the way do
 * not stop the walk. Inside a critical region; no lock held.
 */
static PFCB QueryOpenNode(PVCB Vcb, PIO_STACK_LOCATION IrpSp, PACCESS_CHECK_INPUT Access)
{
    WALK_RESULT walk;
    NTSTATUS status = WalkPath(Vcb->RootFcb, &IrpSp->FileObject->FileName, FALSE, FALSE,
                               SelectTraverseCheck(Vcb, Access), Access, &walk);
    if (!NT_SUCCESS(status))
        return NULL;
    PFCB parent = walk.Parent;
    PFCB node = NULL;
    if (parent->IsDirectory) {
        ExAcquireResourceSharedLite(&parent->MainResource, TRUE);
        PLINK link = LookupChild(parent, &walk.LastComponent);
        if (link != NULL) {
            node = link->Node;
            ReferenceNode(node);
        }
        ExReleaseResourceLite(&parent->MainResource);
    }
    DereferenceNode(parent);
    return node;
}

/*
 * AnswerQueryOpen: on an admitted volume, fills Record for the create in Irp.
 * FALSE when the create must decide: the name is missing, access is refused,
 * the node is a reparse point the open would follow, or it is going away.
 */
static BOOLEAN AnswerQueryOpen(PVCB Vcb, PIRP Irp, PFILE_NETWORK_OPEN_INFORMATION Record)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    ACCESS_CHECK_INPUT access;
    FillAccessCheckInput(&access, Irp, Vcb);
    PFCB node = QueryOpenNode(Vcb, irpSp, &access);
    if (node == NULL)
        return FALSE;
    BOOLEAN answered = FALSE;
    ExAcquireResourceSharedLite(&node->MainResource, TRUE);
    BOOLEAN follows = node->ReparseTag != 0 && !(irpSp->Parameters.Create.Options & FILE_OPEN_REPARSE_POINT);
    if (!follows && !node->DeletePending && !node->Unlinked && CheckReadAttributes(node, &access)) {
        FillNetworkOpenInformation(node, Record);
        answered = TRUE;
    }
    ExReleaseResourceLite(&node->MainResource);
    DereferenceNode(node);
    return answered;
}

/*
 * VorelFastIoQueryOpen: PASSIVE_LEVEL. Answers an open made only to read a
 * file's attributes (NtQueryFullAttributesFile) without a file object: walks
 * the name from the root as create does, checks read-attributes access where
 * the volume enforces it, and fills the network-open record. Returns TRUE with
 * IoStatus success and the record's size, or FALSE (nothing changed) whenever
 * the create request must decide, missing names and refusals included.
 */
BOOLEAN NTAPI VorelFastIoQueryOpen(PIRP Irp, PFILE_NETWORK_OPEN_INFORMATION NetworkInformation,
                                   PDEVICE_OBJECT DeviceObject)
{
    PVCB vcb = VcbFromDevice(DeviceObject);
    if (vcb == NULL || !IsQueryOpenPlain(IoGetCurrentIrpStackLocation(Irp)) || ReadUCharAcquire(&vcb->Dismounted) != 0)
        return FALSE;

    BOOLEAN answered = FALSE;
    KeEnterCriticalRegion();
    if (NT_SUCCESS(AdmitVolumeRequest(DeviceObject, FALSE, &vcb))) {
        answered = AnswerQueryOpen(vcb, Irp, NetworkInformation);
        ReleaseVolumeRequest(vcb);
    }
    KeLeaveCriticalRegion();
    if (answered) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = sizeof(FILE_NETWORK_OPEN_INFORMATION);
    }
    return answered;
}
