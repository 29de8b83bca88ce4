/*
 * What reads and writes share: the handle and section checks every request
 * passes before its core runs, the hand-over of large asynchronous requests to
 * the volume's I/O workers, access to the caller's buffer, the byte-range lock
 * test and the per-processor I/O counters.
 */
#include "vorel.h"

#define OFFLOAD_MINIMUM_LENGTH 16384
#define OFFLOAD_MINIMUM_THREADS 2
#define BUFFER_MAPPING_FLAGS ((ULONG)NormalPagePriority | MdlMappingNoExecute) /* 0x40000010 */


/*
 * PurgeUnmappedSection: a file that had a section but has no mapped view left
 * drops the section's cached pages, so later writes may take the fast path
 * again. Takes and releases the node's main resource exclusive; the caller holds
 * none of the node's resources. The test is repeated under the resource, since a
 * view may be mapped between the unlocked test and the acquisition.
 */
VOID PurgeUnmappedSection(PFCB Fcb)
{
    PSECTION_OBJECT_POINTERS sections = &Fcb->SectionObjectPointers;
    if (!ReadUCharNoFence(&Fcb->SectionCreated) || !MmCanFileBeTruncated(sections, NULL))
        return;
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    if (ReadUCharNoFence(&Fcb->SectionCreated) && MmCanFileBeTruncated(sections, NULL)) {
        IO_STATUS_BLOCK iosb;
        CcCoherencyFlushAndPurgeCache(sections, NULL, 0, &iosb, 0);
        if (sections->DataSectionObject == NULL) {
            WriteUCharNoFence(&Fcb->SectionCreated, FALSE);
            WriteUCharNoFence(&Fcb->Mapped, FALSE);
        }
    }
    ExReleaseResourceLite(&Fcb->MainResource);
}

/*
 * AdmitDataRequest: the checks of a read or write admitted on its volume: the
 * handle must open a file; a write of data marks the file object modified; a
 * non-paging request purges a section without views and breaks oplocks (waiting
 * for the break). PASSIVE_LEVEL (paging I/O: APC_LEVEL), no lock held. Returns
 * STATUS_SUCCESS with *Fcb set, STATUS_INVALID_DEVICE_REQUEST for a handle
 * without a node, STATUS_FILE_IS_A_DIRECTORY, or the oplock package's failure.
 */
NTSTATUS AdmitDataRequest(PIRP Irp, PVCB Vcb, BOOLEAN Write, PFCB *Fcb)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = irpSp->FileObject;
    BOOLEAN paging = (Irp->Flags & IRP_PAGING_IO) != 0;
    *Fcb = NULL;

    PFCB fcb = fileObject != NULL ? (PFCB)fileObject->FsContext : NULL;
    if (fcb == NULL || (PVOID)fcb == (PVOID)Vcb || fcb->Signature != FCB_SIGNATURE)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (fcb->IsDirectory)
        return STATUS_FILE_IS_A_DIRECTORY;
    if (Write && !paging && irpSp->Parameters.Write.Length != 0)
        InterlockedOr((volatile LONG *)&fileObject->Flags, FO_FILE_MODIFIED);

    if (!paging) {
        PurgeUnmappedSection(fcb);
        if (ReadUCharNoFence(&fcb->OplockInUse)) {
            NTSTATUS status = FsRtlCheckOplock(&fcb->Oplock, Irp, NULL, NULL, NULL);
            if (!NT_SUCCESS(status))
                return status;
        }
    }
    *Fcb = fcb;
    return STATUS_SUCCESS;
}

/*
 * LockCallerBuffer: describes the request's buffer by an MDL with its pages
 * locked for Operation, and hangs it on the request (the I/O manager unlocks and
 * frees it at completion). The request has no MDL yet. PASSIVE_LEVEL. Returns
 * STATUS_INSUFFICIENT_RESOURCES without an MDL, or the probe's failure.
 */
NTSTATUS LockCallerBuffer(PIRP Irp, ULONG Length, LOCK_OPERATION Operation)
{
    PMDL mdl = IoAllocateMdl(Irp->UserBuffer, Length, FALSE, FALSE, NULL);
    if (mdl == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    GUARDED_CALL(status, MmProbeAndLockPages(mdl, Irp->RequestorMode, Operation));
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(mdl);
        return status;
    }
    Irp->MdlAddress = mdl;
    return STATUS_SUCCESS;
}

/*
 * MapRequestBuffer: the address the core copies through: the system address of
 * the request's MDL, else the caller's buffer, probed (ProbeForWrite when the
 * device writes into it) when the caller runs in user mode. Returns
 * STATUS_INSUFFICIENT_RESOURCES when an MDL cannot be mapped,
 * STATUS_INVALID_USER_BUFFER when there is no buffer, or the probe's failure.
 */
NTSTATUS MapRequestBuffer(PIRP Irp, ULONG Length, BOOLEAN DeviceWrites, PVOID *Buffer)
{
    *Buffer = NULL;
    if (Irp->MdlAddress != NULL) {
        *Buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, BUFFER_MAPPING_FLAGS);
        return *Buffer != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID buffer = Irp->UserBuffer;
    if (buffer == NULL)
        return STATUS_INVALID_USER_BUFFER;
    NTSTATUS status = STATUS_SUCCESS;
    if (Irp->RequestorMode == UserMode) {
        if (DeviceWrites)
            GUARDED_CALL(status, ProbeForWrite(buffer, Length, sizeof(UCHAR)));
        else
            GUARDED_CALL(status, ProbeForRead(buffer, Length, sizeof(UCHAR)));
    }
    if (NT_SUCCESS(status))
        *Buffer = buffer;
    return status;
}

/*
 * OffloadDataRequest: hands a large asynchronous request to the volume's I/O
 * workers. Paging I/O, synchronous requests, short ones and appends stay on the
 * calling thread (an append must see the size at the moment it runs, in order).
 * The caller's buffer is locked first, since a worker runs in no caller's
 * address space. Sets *Posted when the queue took the request (it is then
 * pending and no longer the caller's); a queue that refuses leaves it to run
 * inline. Returns the buffer lock's failure, else STATUS_SUCCESS.
 */
NTSTATUS OffloadDataRequest(PIRP Irp, PVCB Vcb, PFCB Fcb, BOOLEAN Write, PBOOLEAN Posted)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PWORKER_QUEUE queue = &Vcb->WorkerQueue;
    ULONG length = irpSp->Parameters.Read.Length;
    *Posted = FALSE;
    if ((Irp->Flags & IRP_PAGING_IO) || IoIsOperationSynchronous(Irp) || length < OFFLOAD_MINIMUM_LENGTH ||
        InterlockedCompareExchange(&queue->State, 0, 0) != WORKER_QUEUE_RUNNING ||
        ReadULongNoFence(&queue->ThreadCount) < OFFLOAD_MINIMUM_THREADS)
        return STATUS_SUCCESS;
    if (Write) {
        LARGE_INTEGER offset = irpSp->Parameters.Write.ByteOffset;
        if (offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION)
            offset = irpSp->FileObject->CurrentByteOffset;
        if (ReadULongNoFence(&Fcb->Data.CompressedExtentCount) != 0 || offset.QuadPart < 0)
            return STATUS_SUCCESS;
    }
    if (Irp->MdlAddress == NULL) {
        NTSTATUS status = LockCallerBuffer(Irp, length, Write ? IoReadAccess : IoWriteAccess);
        if (!NT_SUCCESS(status))
            return status;
    }
    *Posted = WorkerQueuePost(queue, Irp, Fcb) == STATUS_PENDING;
    return STATUS_SUCCESS;
}

/*
 * CheckRangeLocks: whether the byte-range locks on the file let this handle read
 * (or write) [Offset, Offset + Length). Any IRQL up to APC_LEVEL; the lock
 * package has its own lock. Returns STATUS_FILE_LOCK_CONFLICT or STATUS_SUCCESS.
 */
NTSTATUS CheckRangeLocks(PIRP Irp, PFCB Fcb, ULONGLONG Offset, ULONG Length, BOOLEAN Write)
{
    if (!HasFileLocks(Fcb))
        return STATUS_SUCCESS;
    PFILE_LOCK fileLock = PeekFileLock(Fcb);
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    LARGE_INTEGER start, length;
    start.QuadPart = (LONGLONG)Offset;
    length.QuadPart = Length;
    PVOID process = IoGetRequestorProcess(Irp);
    BOOLEAN allowed =
        Write ? FsRtlFastCheckLockForWrite(fileLock, &start, &length, irpSp->Parameters.Write.Key, irpSp->FileObject,
                                           process)
              : FsRtlFastCheckLockForRead(fileLock, &start, &length, irpSp->Parameters.Read.Key, irpSp->FileObject,
                                          process);
    return allowed ? STATUS_SUCCESS : STATUS_FILE_LOCK_CONFLICT;
}

/* CountVolumeIo: adds one operation of Bytes to this processor's read or write pair. Any IRQL. */
VOID CountVolumeIo(PVCB Vcb, BOOLEAN Write, ULONG_PTR Bytes)
{
    if (Bytes == 0)
        return;
    PVOLUME_IO_SLOT slot = &VcbIoSlots(Vcb)[KeGetCurrentProcessorNumberEx(NULL) % VOLUME_IO_SLOTS];
    ULONG first = Write ? IO_SLOT_WRITE_COUNT : IO_SLOT_READ_COUNT;
    InterlockedIncrement64(&slot->Counters[first]);
    InterlockedAdd64(&slot->Counters[first + 1], (LONG64)Bytes);
}

/* CompleteDataRequest: completes a read or write with Status and Bytes; returns Status. No lock held. */
NTSTATUS CompleteDataRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Bytes)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = NT_ERROR(Status) ? 0 : Bytes;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* DataCore: the read or write core; both complete the request. */
typedef NTSTATUS DATA_CORE(PIRP Irp, PFCB Fcb);

/*
 * DispatchDataRequest: the frame of a read or write: enter, admit on the volume
 * (paging I/O neither waits for a hold nor is refused for one), check the handle,
 * then hand the request to the workers or run the core, which completes it. The
 * rundown reference is dropped once the request is completed or queued; teardown
 * drains the queue itself. Returns the core's status, STATUS_PENDING when queued,
 * or the refusal the frame completed.
 */
static NTSTATUS DispatchDataRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN Write, DATA_CORE *Core)
{
    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    BOOLEAN completed = FALSE;
    PVCB vcb;
    NTSTATUS status = AdmitVolumeRequest(DeviceObject, (Irp->Flags & IRP_PAGING_IO) != 0, &vcb);
    if (NT_SUCCESS(status)) {
        PFCB fcb;
        BOOLEAN posted = FALSE;
        status = AdmitDataRequest(Irp, vcb, Write, &fcb);
        if (NT_SUCCESS(status))
            status = OffloadDataRequest(Irp, vcb, fcb, Write, &posted);
        if (posted) {
            status = STATUS_PENDING;
            completed = TRUE;
        } else if (NT_SUCCESS(status)) {
            status = Core(Irp, fcb);
            completed = TRUE;
        }
        ReleaseVolumeRequest(vcb);
    }
    FrameLeave(&frame, completed ? STATUS_PENDING : status);
    return status;
}

/* VorelRead, VorelWrite: IRP_MJ_READ and IRP_MJ_WRITE on a volume. PASSIVE_LEVEL (paging I/O: APC_LEVEL). */
NTSTATUS NTAPI VorelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchDataRequest(DeviceObject, Irp, FALSE, ReadCore);
}

NTSTATUS NTAPI VorelWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchDataRequest(DeviceObject, Irp, TRUE, WriteCore);
}
