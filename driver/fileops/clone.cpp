/*
 * Block cloning (FSCTL_DUPLICATE_EXTENTS_TO_FILE): a range of one file is made
 * to read as a range of another (or of itself) by sharing the source's extents
 * copy-on-write (sharing.cpp), so a clone of whole extents copies no data and
 * charges nothing more.
 *
 * Deadlock: the two nodes' main resources, and then their paging resources, are
 * each taken in ascending record address, so two clones between the same files
 * in opposite directions take them in one order.
 */
#include "vorel.h"

#define CLONE_ALIGNMENT 4096ull

/* The pair of nodes of one clone, in the order their resources are taken. */
typedef struct _CLONE_PAIR {
    PFCB First;
    PFCB Second;                            /* NULL when source and target are one node */
} CLONE_PAIR, *PCLONE_PAIR;

static CLONE_PAIR ClonePair(PFCB Target, PFCB Source)
{
    CLONE_PAIR pair;
    if (Target == Source) {
        pair.First = Target;
        pair.Second = NULL;
    } else {
        pair.First = (ULONG_PTR)Target < (ULONG_PTR)Source ? Target : Source;
        pair.Second = pair.First == Target ? Source : Target;
    }
    return pair;
}

/* AcquirePair, ReleasePair: both main resources (Paging FALSE) or both paging resources, exclusive. */
static VOID AcquirePair(PCLONE_PAIR Pair, BOOLEAN Paging)
{
    ExAcquireResourceExclusiveLite(Paging ? &Pair->First->PagingIoResource : &Pair->First->MainResource, TRUE);
    if (Pair->Second != NULL)
        ExAcquireResourceExclusiveLite(Paging ? &Pair->Second->PagingIoResource : &Pair->Second->MainResource, TRUE);
}

static VOID ReleasePair(PCLONE_PAIR Pair, BOOLEAN Paging)
{
    if (Pair->Second != NULL)
        ExReleaseResourceLite(Paging ? &Pair->Second->PagingIoResource : &Pair->Second->MainResource);
    ExReleaseResourceLite(Paging ? &Pair->First->PagingIoResource : &Pair->First->MainResource);
}

/* The request, checked: offsets and count as 64-bit unsigned values. */
typedef struct _CLONE_REQUEST {
    HANDLE SourceHandle;
    ULONGLONG SourceOffset;
    ULONGLONG TargetOffset;
    ULONGLONG ByteCount;
} CLONE_REQUEST, *PCLONE_REQUEST;

/*
 * ReadCloneRequest: the input record's fields and the checks that need no
 * node: all non-negative, offsets aligned to 4096, neither end wrapping or
 * beyond MAX_FILE_OFFSET. Returns STATUS_BUFFER_TOO_SMALL,
 * STATUS_INVALID_PARAMETER or STATUS_SUCCESS.
 */
static NTSTATUS ReadCloneRequest(PIRP Irp, PIO_STACK_LOCATION IrpSp, PCLONE_REQUEST Request)
{
    const DUPLICATE_EXTENTS_DATA *input = (const DUPLICATE_EXTENTS_DATA *)Irp->AssociatedIrp.SystemBuffer;
    if (input == NULL)
        return STATUS_INVALID_PARAMETER;
    if (IrpSp->Parameters.FileSystemControl.InputBufferLength < sizeof(DUPLICATE_EXTENTS_DATA))
        return STATUS_BUFFER_TOO_SMALL;
    LONGLONG source = input->SourceFileOffset.QuadPart;
    LONGLONG target = input->TargetFileOffset.QuadPart;
    LONGLONG count = input->ByteCount.QuadPart;
    if (source < 0 || target < 0 || count < 0)
        return STATUS_INVALID_PARAMETER;
    Request->SourceHandle = input->FileHandle;
    Request->SourceOffset = (ULONGLONG)source;
    Request->TargetOffset = (ULONGLONG)target;
    Request->ByteCount = (ULONGLONG)count;
    return STATUS_SUCCESS;
}

static BOOLEAN CloneEndFits(ULONGLONG Offset, ULONGLONG Count)
{
    return Offset + Count >= Offset && Offset + Count <= MAX_FILE_OFFSET;
}

/*
 * CloneSourceNode: the file node the source handle opens, when it lies on the
 * target's volume. The file object is referenced with read-data access for the
 * requestor's mode; the caller dereferences *SourceFile whenever it is set.
 * Returns the reference's failure or STATUS_INVALID_PARAMETER.
 */
static NTSTATUS CloneSourceNode(PIRP Irp, PFILE_OBJECT TargetFile, PFCB Target, HANDLE Handle,
                                PFILE_OBJECT *SourceFile, PFCB *Source)
{
    PVOID object = NULL;
    *SourceFile = NULL;
    NTSTATUS status = ObReferenceObjectByHandle(Handle, FILE_READ_DATA, *IoFileObjectType, Irp->RequestorMode,
                                                &object, NULL);
    if (!NT_SUCCESS(status))
        return status;
    PFILE_OBJECT file = (PFILE_OBJECT)object;
    *SourceFile = file;
    // Only once the file object is known to be on this volume's device are its
    // contexts this driver's records.
    if (IoGetRelatedDeviceObject(file) != IoGetRelatedDeviceObject(TargetFile) || file->Vpb != TargetFile->Vpb)
        return STATUS_INVALID_PARAMETER;
    PCCB ccb = HandleCcb(file);
    if (ccb == NULL || ccb->Node->IsDirectory || ccb->Node->Vcb != Target->Vcb)
        return STATUS_INVALID_PARAMETER;
    *Source = ccb->Node;
    return STATUS_SUCCESS;
}

/*
 * CheckCloneRanges: the checks made with both main resources held: each end
 * within its file's size rounded up to 4096 (STATUS_NOT_SUPPORTED), a count
 * that is not a multiple of 4096 only for a range ending at the source's end
 * (STATUS_INVALID_PARAMETER), and no byte-range lock of another holder over
 * either range (STATUS_FILE_LOCK_CONFLICT).
 */
static NTSTATUS CheckCloneRanges(PFILE_OBJECT TargetFile, PFCB Target, PFILE_OBJECT SourceFile, PFCB Source,
                                 PCLONE_REQUEST Request)
{
    ULONGLONG sourceEnd = Request->SourceOffset + Request->ByteCount;
    ULONGLONG targetEnd = Request->TargetOffset + Request->ByteCount;
    if (sourceEnd > ALIGN_UP_BY(Source->Data.FileSize, CLONE_ALIGNMENT) ||
        targetEnd > ALIGN_UP_BY(Target->Data.FileSize, CLONE_ALIGNMENT))
        return STATUS_NOT_SUPPORTED;
    if ((Request->ByteCount & (CLONE_ALIGNMENT - 1)) != 0 && sourceEnd != Source->Data.FileSize)
        return STATUS_INVALID_PARAMETER;

    PEPROCESS process = PsGetCurrentProcess();
    LARGE_INTEGER length;
    length.QuadPart = (LONGLONG)Request->ByteCount;
    if (HasFileLocks(Target)) {
        LARGE_INTEGER at;
        at.QuadPart = (LONGLONG)Request->TargetOffset;
        if (!FsRtlFastCheckLockForWrite(PeekFileLock(Target), &at, &length, 0, TargetFile, process))
            return STATUS_FILE_LOCK_CONFLICT;
    }
    if (HasFileLocks(Source)) {
        LARGE_INTEGER at;
        at.QuadPart = (LONGLONG)Request->SourceOffset;
        if (!FsRtlFastCheckLockForRead(PeekFileLock(Source), &at, &length, 0, SourceFile, process))
            return STATUS_FILE_LOCK_CONFLICT;
    }
    return STATUS_SUCCESS;
}

/*
 * CloneUnderResources: with both main resources held, the range checks, the
 * coherency of sections (the target's pages flushed and dropped, a mapped
 * source's written back so the store holds what its views wrote), and the
 * sharing itself under both paging resources.
 */
static NTSTATUS CloneUnderResources(PCLONE_PAIR Pair, PFILE_OBJECT TargetFile, PFCB Target, PFILE_OBJECT SourceFile,
                                    PFCB Source, PCLONE_REQUEST Request)
{
    NTSTATUS status = CheckCloneRanges(TargetFile, Target, SourceFile, Source, Request);
    if (!NT_SUCCESS(status))
        return status;
    IO_STATUS_BLOCK iosb;
    if (Target->SectionObjectPointers.DataSectionObject != NULL)
        CcCoherencyFlushAndPurgeCache(&Target->SectionObjectPointers, NULL, 0, &iosb, 0);
    if (Source != Target && Source->Mapped && Source->SectionObjectPointers.DataSectionObject != NULL)
        CcCoherencyFlushAndPurgeCache(&Source->SectionObjectPointers, NULL, 0, &iosb, CC_FLUSH_AND_PURGE_NO_PURGE);

    AcquirePair(Pair, TRUE);
    status = ShareRange(Target, Request->TargetOffset, Source, Request->SourceOffset, Request->ByteCount);
    ReleasePair(Pair, TRUE);
    return status;
}

/*
 * DuplicateExtentsControl: FSCTL_DUPLICATE_EXTENTS_TO_FILE on the target
 * handle. Holds no lock on entry; takes both nodes' main resources and then
 * their paging resources (see the file's header). Returns
 * STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL, the source reference's
 * failure, the oplock package's, STATUS_NOT_SUPPORTED, STATUS_FILE_LOCK_CONFLICT
 * or the store's; a failure changes neither file and leaves nothing held.
 */
NTSTATUS DuplicateExtentsControl(PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    PCCB ccb = HandleCcb(IrpSp->FileObject);
    if (ccb == NULL || ccb->Node->IsDirectory)
        return STATUS_INVALID_PARAMETER;
    PFCB target = ccb->Node;
    CLONE_REQUEST request;
    NTSTATUS status = ReadCloneRequest(Irp, IrpSp, &request);
    if (!NT_SUCCESS(status) || request.ByteCount == 0)
        return status;
    if ((request.SourceOffset & (CLONE_ALIGNMENT - 1)) != 0 || (request.TargetOffset & (CLONE_ALIGNMENT - 1)) != 0 ||
        !CloneEndFits(request.SourceOffset, request.ByteCount) || !CloneEndFits(request.TargetOffset, request.ByteCount))
        return STATUS_INVALID_PARAMETER;

    PFILE_OBJECT sourceFile;
    PFCB source = NULL;
    status = CloneSourceNode(Irp, IrpSp->FileObject, target, request.SourceHandle, &sourceFile, &source);
    if (NT_SUCCESS(status) && source == target && request.SourceOffset < request.TargetOffset + request.ByteCount &&
        request.TargetOffset < request.SourceOffset + request.ByteCount)
        status = STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status) && ReadUCharNoFence(&target->OplockInUse))
        status = FsRtlCheckOplock(&target->Oplock, Irp, NULL, NULL, NULL);
    if (NT_SUCCESS(status)) {
        CLONE_PAIR pair = ClonePair(target, source);
        AcquirePair(&pair, FALSE);
        status = CloneUnderResources(&pair, IrpSp->FileObject, target, sourceFile, source, &request);
        ReleasePair(&pair, FALSE);
    }
    if (sourceFile != NULL)
        ObDereferenceObject(sourceFile);
    if (NT_SUCCESS(status)) {
        NoteDataModified(target);
        InterlockedOr((volatile LONG *)&IrpSp->FileObject->Flags, FO_FILE_MODIFIED);
    }
    return status;
}
