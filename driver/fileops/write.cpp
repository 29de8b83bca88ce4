/*
 * The write core. A write into memory the file already has runs under the
 * paging resource shared, beside reads and other such writes; the size is then
 * raised by interlocked compare-exchange. A write that must allocate, extend by
 * append, or keep a mapped section coherent takes the main resource exclusive
 * and then the paging resource exclusive. Paging writes (the memory manager
 * flushing a section) never extend a file and take the paging resource
 * shared-starve-exclusive, so a queue of exclusive waiters cannot stall a flush.
 */
#include "vorel.h"

#define DISK_FULL_RETRIES 100
#define DISK_FULL_STALLS 25
#define DISK_FULL_WAIT_100NS 200000LL /* 20 ms */

/* WRITE_TARGET: where and what one write puts. */
typedef struct _WRITE_TARGET {
    ULONGLONG Offset;
    ULONG Length;
    PVOID Buffer;
    BOOLEAN Written;
} WRITE_TARGET, *PWRITE_TARGET;

/* Guarded bodies: each copies through the caller's buffer and reports through Target. */
static VOID WriteTargetInPlace(PFCB Fcb, PWRITE_TARGET Target)
{
    Target->Written = WriteInPlace(Fcb, Target->Offset, Target->Buffer, Target->Length);
}

/*
 * RaiseSizeAfterWrite: a write that ended beyond the file size makes its end the
 * size and tells the I/O manager so. The paging resource is held, shared or
 * exclusive.
 */
static VOID RaiseSizeAfterWrite(PFILE_OBJECT FileObject, PFCB Fcb, ULONGLONG End)
{
    if (End <= ReadULong64NoFence(&Fcb->Data.FileSize))
        return;
    ExtendSizesAfterWrite(Fcb, End);
    InterlockedOr((volatile LONG *)&FileObject->Flags, FO_FILE_SIZE_CHANGED);
}

/*
 * FinishWrite: the bookkeeping of a successful non-paging write (the file is
 * offered to the compression worker, which packs it once it has gone cold);
 * completes the request. No lock held.
 */
static NTSTATUS FinishWrite(PIRP Irp, PFCB Fcb, ULONGLONG Offset, ULONG Length)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    NoteDataModified(Fcb);
    CountVolumeIo(Fcb->Vcb, TRUE, Length);
    OfferColdFile(Fcb, FALSE);
    if (fileObject->Flags & FO_SYNCHRONOUS_IO)
        fileObject->CurrentByteOffset.QuadPart = (LONGLONG)(Offset + Length);
    return CompleteDataRequest(Irp, STATUS_SUCCESS, Length);
}

/* HasNoStorage: a file with neither a slot, a single buffer nor a table. Paging resource held. */
static BOOLEAN HasNoStorage(PFCB Fcb)
{
    return Fcb->Data.Extents == NULL && Fcb->Data.DataBase == NULL;
}

/*
 * AllocateTouchedExtents: on the paging path, gives memory to every hole of the
 * range that receives bytes other than zeros. Paging resource held shared.
 * Returns FALSE when the range needs the slow paging path: a shared extent, an
 * extent too small for its part, or an allocation that failed (a full volume is
 * tried once more when something was freed since the write began).
 */
static BOOLEAN AllocateTouchedExtents(PFCB Fcb, PWRITE_TARGET Target, LONG64 ReleasedAtStart)
{
    PFCB_DATA data = &Fcb->Data;
    ULONGLONG end = Target->Offset + Target->Length;
    for (ULONGLONG position = Target->Offset; position < end;) {
        ULONGLONG index = position >> EXTENT_SHIFT;
        ULONGLONG pieceEnd = min(end, (index + 1) << EXTENT_SHIFT);
        position = pieceEnd;
        if (index >= data->ExtentCapacity)
            return FALSE;
        PEXTENT_ENTRY entry = &data->Extents[index];
        if (ReadPointerAcquire(&entry->Data) != NULL) {
            if ((ReadULongNoFence(&entry->Flags) & EXTENT_SHARED) ||
                pieceEnd - (index << EXTENT_SHIFT) > ReadULongNoFence(&entry->Size))
                return FALSE;
            continue;
        }
        ULONGLONG pieceStart = max(Target->Offset, index << EXTENT_SHIFT);
        const UCHAR *piece = (const UCHAR *)Target->Buffer + (pieceStart - Target->Offset);
        if (IsAllZero(piece, (SIZE_T)(pieceEnd - pieceStart)))
            continue;
        NTSTATUS status = AllocateExtentOnDemand(Fcb, (ULONG)index);
        if (status == STATUS_DISK_FULL && ReadNoFence64(&data->Volume->ReleasedBytes) != ReleasedAtStart)
            status = AllocateExtentOnDemand(Fcb, (ULONG)index);
        if (!NT_SUCCESS(status))
            return FALSE;
    }
    return TRUE;
}

/*
 * PagingWrite: a section's pages written back. Never extends the file: bytes at
 * or beyond the size are dropped. Runs under the paging resource
 * shared-starve-exclusive; when the range needs more than memory for holes, it
 * retries exclusive, unless this thread already holds the resource (a flush
 * raised inside the file system), which gives STATUS_CANT_WAIT. Completes the
 * request and returns its status.
 */
static NTSTATUS PagingWrite(PIRP Irp, PFCB Fcb, PWRITE_TARGET Target)
{
    PERESOURCE paging = &Fcb->PagingIoResource;
    LONG64 releasedAtStart = ReadNoFence64(&Fcb->Data.Volume->ReleasedBytes);
    if (ReadULongNoFence(&Fcb->Data.CompressedExtentCount) != 0)
        StoreInvariantFailed(INVARIANT_PAGING_WRITE_COMPRESSED);

    ExAcquireSharedStarveExclusive(paging, TRUE);
    ULONGLONG fileSize = ReadULong64NoFence(&Fcb->Data.FileSize);
    if (HasNoStorage(Fcb) || Target->Offset >= fileSize) {
        ExReleaseResourceLite(paging);
        return CompleteDataRequest(Irp, STATUS_SUCCESS, 0);
    }
    Target->Length = (ULONG)min((ULONGLONG)Target->Length, fileSize - Target->Offset);
    WriteTargetInPlace(Fcb, Target);
    if (!Target->Written && Fcb->Data.Extents != NULL && AllocateTouchedExtents(Fcb, Target, releasedAtStart)) {
        CopyIntoExtents(Fcb, Target->Offset, Target->Buffer, Target->Length);
        Target->Written = TRUE;
    }
    ExReleaseResourceLite(paging);
    NTSTATUS status = STATUS_SUCCESS;
    if (!Target->Written) {
        /* The slow paging path: shared copies and partial extents need the resource exclusive. */
        if (ExIsResourceAcquiredSharedLite(paging) != 0)
            return CompleteDataRequest(Irp, STATUS_CANT_WAIT, 0);
        ExAcquireResourceExclusiveLite(paging, TRUE);
        fileSize = ReadULong64NoFence(&Fcb->Data.FileSize);
        if (HasNoStorage(Fcb) || Target->Offset >= fileSize) {
            Target->Length = 0;
        } else {
            Target->Length = (ULONG)min((ULONGLONG)Target->Length, fileSize - Target->Offset);
            status = WriteData(Fcb, Target->Offset, Target->Buffer, Target->Length);
        }
        ExReleaseResourceLite(paging);
        if (!NT_SUCCESS(status))
            return CompleteDataRequest(Irp, status, 0);
    }
    CountVolumeIo(Fcb->Vcb, TRUE, Target->Length);
    return CompleteDataRequest(Irp, STATUS_SUCCESS, Target->Length);
}

/*
 * WriteWithRoomWait: WriteData, waiting for room while the volume is full: other
 * files may be deleted or truncated meanwhile. The wait gives up after 25 tries
 * in a row in which nothing was freed, and remembers where it gave up, so the
 * next write on an unchanged full volume fails at once. A file no one can reach
 * any more does not wait at all. Main and paging resources held exclusive.
 */
static NTSTATUS WriteWithRoomWait(PFCB Fcb, PWRITE_TARGET Target)
{
    PSTORE_VOLUME volume = Fcb->Data.Volume;
    NTSTATUS status = WriteData(Fcb, Target->Offset, Target->Buffer, Target->Length);
    if (status != STATUS_DISK_FULL)
        return status;
    if ((Fcb->DeletePending || Fcb->Unlinked) && ReadNoFence(&Fcb->OpenCount) == 0)
        return status;
    LONG64 released = ReadNoFence64(&volume->ReleasedBytes);
    if (released == ReadNoFence64(&volume->DiskFullRetryMark))
        return status;

    ULONG stalls = 0;
    for (ULONG attempt = 0; attempt < DISK_FULL_RETRIES; attempt++) {
        if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
            LARGE_INTEGER interval;
            interval.QuadPart = -DISK_FULL_WAIT_100NS;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
        status = WriteData(Fcb, Target->Offset, Target->Buffer, Target->Length);
        if (status != STATUS_DISK_FULL)
            return status;
        LONG64 now = ReadNoFence64(&volume->ReleasedBytes);
        if (now != released) {
            released = now;
            stalls = 0;
        } else if (++stalls >= DISK_FULL_STALLS) {
            InterlockedExchange64(&volume->DiskFullRetryMark, now);
            return STATUS_DISK_FULL;
        }
    }
    return STATUS_DISK_FULL;
}

/*
 * SlowWrite: a write that allocates, appends or must keep a section coherent.
 * The caller's buffer is locked first (no page fault may be taken under the
 * exclusive resources). Takes the main resource exclusive, purges the section's
 * pages over the range (the whole file for an append, whose range is not known
 * yet), then the paging resource exclusive; an append's offset is the size
 * found there. Returns with the request completed.
 */
static NTSTATUS SlowWrite(PIRP Irp, PFCB Fcb, PWRITE_TARGET Target, BOOLEAN Append)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (Irp->MdlAddress == NULL) {
        status = LockCallerBuffer(Irp, Target->Length, IoReadAccess);
        if (NT_SUCCESS(status))
            status = MapRequestBuffer(Irp, Target->Length, FALSE, &Target->Buffer);
        if (!NT_SUCCESS(status))
            return CompleteDataRequest(Irp, status, 0);
    }

    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    if (Fcb->SectionObjectPointers.DataSectionObject != NULL) {
        LARGE_INTEGER offset;
        offset.QuadPart = (LONGLONG)Target->Offset;
        IO_STATUS_BLOCK iosb;
        CcCoherencyFlushAndPurgeCache(&Fcb->SectionObjectPointers, Append ? NULL : &offset,
                                      Append ? 0 : Target->Length, &iosb, 0);
    }
    ExAcquireResourceExclusiveLite(&Fcb->PagingIoResource, TRUE);
    if (Append)
        Target->Offset = Fcb->Data.FileSize;
    ULONGLONG end = Target->Offset + Target->Length;
    if (end > MAX_FILE_OFFSET)
        status = STATUS_DISK_FULL;
    else
        status = WriteWithRoomWait(Fcb, Target);
    if (NT_SUCCESS(status))
        RaiseSizeAfterWrite(fileObject, Fcb, end);
    ExReleaseResourceLite(&Fcb->PagingIoResource);
    ExReleaseResourceLite(&Fcb->MainResource);
    if (!NT_SUCCESS(status))
        return CompleteDataRequest(Irp, status, 0);
    return FinishWrite(Irp, Fcb, Target->Offset, Target->Length);
}

/*
 * AppendLockOffset: the offset an append's byte-range lock test uses: the size
 * now, read under the paging resource shared. No lock held.
 */
static ULONGLONG AppendLockOffset(PFCB Fcb)
{
    ExAcquireResourceSharedLite(&Fcb->PagingIoResource, TRUE);
    ULONGLONG size = ReadULong64NoFence(&Fcb->Data.FileSize);
    ExReleaseResourceLite(&Fcb->PagingIoResource);
    return size;
}

/*
 * WriteCore: serves IRP_MJ_WRITE on a file, from the handler or a volume's I/O
 * worker. PASSIVE_LEVEL (paging I/O: APC_LEVEL); holds no lock on entry; the node
 * is referenced by the caller. Completes the request and returns its status:
 * STATUS_INVALID_PARAMETER for a negative offset other than the two special ones,
 * STATUS_DISK_FULL for an end beyond the largest file or no room,
 * STATUS_FILE_LOCK_CONFLICT, STATUS_CANT_WAIT (paging), or a buffer failure. A
 * failed write leaves the size as it was.
 */
NTSTATUS WriteCore(PIRP Irp, PFCB Fcb)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PFILE_OBJECT fileObject = irpSp->FileObject;
    LARGE_INTEGER byteOffset = irpSp->Parameters.Write.ByteOffset;
    BOOLEAN append = FALSE;
    WRITE_TARGET target;
    target.Length = irpSp->Parameters.Write.Length;
    target.Buffer = NULL;
    target.Written = FALSE;

    if (byteOffset.HighPart == -1 && byteOffset.LowPart == FILE_WRITE_TO_END_OF_FILE)
        append = TRUE;
    else if (byteOffset.HighPart == -1 && byteOffset.LowPart == FILE_USE_FILE_POINTER_POSITION)
        byteOffset = fileObject->CurrentByteOffset;
    if (!append && byteOffset.QuadPart < 0)
        return CompleteDataRequest(Irp, STATUS_INVALID_PARAMETER, 0);
    target.Offset = append ? 0 : (ULONGLONG)byteOffset.QuadPart;
    if (target.Length == 0)
        return CompleteDataRequest(Irp, STATUS_SUCCESS, 0);
    if (!append && target.Offset + target.Length > MAX_FILE_OFFSET)
        return CompleteDataRequest(Irp, STATUS_DISK_FULL, 0);

    NTSTATUS status = MapRequestBuffer(Irp, target.Length, FALSE, &target.Buffer);
    if (!NT_SUCCESS(status))
        return CompleteDataRequest(Irp, status, 0);
    if (Irp->Flags & IRP_PAGING_IO)
        return PagingWrite(Irp, Fcb, &target);

    // An append's lock test needs the size, which costs the paging resource: only
    // a file with byte-range locks pays it (the test passes at once without any).
    ULONGLONG lockOffset = append && HasFileLocks(Fcb) ? AppendLockOffset(Fcb) : target.Offset;
    status = CheckRangeLocks(Irp, Fcb, lockOffset, target.Length, TRUE);
    if (!NT_SUCCESS(status))
        return CompleteDataRequest(Irp, status, 0);

    if (!append && !ReadUCharNoFence(&Fcb->SectionCreated)) {
        ExAcquireResourceSharedLite(&Fcb->PagingIoResource, TRUE);
        if (!Fcb->Data.PartialExtentPending) {
            GUARDED_CALL(status, WriteTargetInPlace(Fcb, &target));
            if (NT_SUCCESS(status) && target.Written)
                RaiseSizeAfterWrite(fileObject, Fcb, target.Offset + target.Length);
        }
        ExReleaseResourceLite(&Fcb->PagingIoResource);
        if (!NT_SUCCESS(status))
            return CompleteDataRequest(Irp, status, 0);
        if (target.Written)
            return FinishWrite(Irp, Fcb, target.Offset, target.Length);
    }
    return SlowWrite(Irp, Fcb, &target, append);
}
