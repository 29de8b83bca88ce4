/*
 * IRP_MJ_SET_INFORMATION: changes a handle's node (times, attributes, sizes,
 * delete disposition, names) or its file object (the position). This file holds
 * the dispatch of every class and the small ones; the disposition, renames and
 * links have files of their own.
 *
 * Writers hold the node's main resource exclusive, and its paging resource
 * exclusive as well to change the size; readers of times and attributes take no
 * lock, so every field is stored whole on its own (a reader sees each field
 * before or after, never torn). Reports go out after every lock is released.
 */
#include "vorel.h"

/*
 * SetBasicInformation: each time above 0 replaces the stored one (0 and negative
 * leave it); non-zero attributes replace the stored ones, masked to the bits a
 * node keeps, so FILE_ATTRIBUTE_NORMAL alone clears them all. Takes and releases
 * the node's main resource exclusive, then reports what was given.
 */
static NTSTATUS SetBasicInformation(PVCB Vcb, PFCB Fcb, PFILE_BASIC_INFORMATION Record, ULONG Length)
{
    if (Length < sizeof(FILE_BASIC_INFORMATION))
        return STATUS_INFO_LENGTH_MISMATCH;
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    if (Record->CreationTime.QuadPart > 0)
        WriteNoFence64(&Fcb->CreationTime.QuadPart, Record->CreationTime.QuadPart);
    if (Record->LastAccessTime.QuadPart > 0)
        WriteNoFence64(&Fcb->LastAccessTime.QuadPart, Record->LastAccessTime.QuadPart);
    if (Record->LastWriteTime.QuadPart > 0)
        WriteNoFence64(&Fcb->LastWriteTime.QuadPart, Record->LastWriteTime.QuadPart);
    if (Record->ChangeTime.QuadPart > 0)
        WriteNoFence64(&Fcb->ChangeTime.QuadPart, Record->ChangeTime.QuadPart);
    /* Interlocked: a write sets the archive bit with an interlocked OR outside this resource. */
    if (Record->FileAttributes != 0)
        InterlockedExchange(&Fcb->Attributes, (LONG)(Record->FileAttributes & REPORTED_ATTRIBUTE_MASK));
    ExReleaseResourceLite(&Fcb->MainResource);

    /* A change time alone is reported to no one. */
    ULONG filter = 0;
    if (Record->FileAttributes != 0)
        filter |= FILE_NOTIFY_CHANGE_ATTRIBUTES;
    if (Record->LastWriteTime.QuadPart > 0)
        filter |= FILE_NOTIFY_CHANGE_LAST_WRITE;
    if (Record->LastAccessTime.QuadPart > 0)
        filter |= FILE_NOTIFY_CHANGE_LAST_ACCESS;
    if (Record->CreationTime.QuadPart > 0)
        filter |= FILE_NOTIFY_CHANGE_CREATION;
    ReportChange(Vcb, Fcb, filter, FILE_ACTION_MODIFIED);
    return STATUS_SUCCESS;
}

/*
 * SetPositionInformation: the file object's current offset. The I/O manager
 * keeps it itself for synchronous file objects; the others come here.
 */
static NTSTATUS SetPositionInformation(PFILE_OBJECT FileObject, PFILE_POSITION_INFORMATION Record, ULONG Length)
{
    if (Length < sizeof(FILE_POSITION_INFORMATION))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (Record->CurrentByteOffset.QuadPart < 0)
        return STATUS_INVALID_PARAMETER;
    FileObject->CurrentByteOffset = Record->CurrentByteOffset;
    return STATUS_SUCCESS;
}

#define FLUSH_PIECE_BYTES 0x40000000u /* the most one coherency flush is asked to cover */

/*
 * FlushKeptRange: before a file shrinks to Keep bytes, mapped pages of what stays
 * reach the store and leave the cache, in pieces one call can take. A page
 * locked in memory is no failure. The caller holds the node's main resource
 * exclusive. Returns STATUS_SUCCESS or the flush's failure.
 */
static NTSTATUS FlushKeptRange(PFCB Fcb, ULONGLONG Keep)
{
    PSECTION_OBJECT_POINTERS sections = &Fcb->SectionObjectPointers;
    if (sections->DataSectionObject == NULL && sections->SharedCacheMap == NULL)
        return STATUS_SUCCESS;
    for (ULONGLONG offset = 0; offset < Keep; offset += FLUSH_PIECE_BYTES) {
        ULONGLONG left = Keep - offset;
        LARGE_INTEGER at;
        at.QuadPart = (LONGLONG)offset;
        IO_STATUS_BLOCK iosb;
        CcCoherencyFlushAndPurgeCache(sections, &at, left < FLUSH_PIECE_BYTES ? (ULONG)left : FLUSH_PIECE_BYTES,
                                      &iosb, 0);
        if (!NT_SUCCESS(iosb.Status) && iosb.Status != STATUS_CACHE_PAGE_LOCKED)
            return iosb.Status;
    }
    return STATUS_SUCCESS;
}

/*
 * SetAllocationHint: the allocation size the node reports from now on follows
 * Hint (0: none); the header the memory and cache managers read follows too.
 * The caller holds the paging resource exclusive; queries read the hint
 * without a lock, so it is stored whole.
 */
static VOID SetAllocationHint(PFCB Fcb, ULONGLONG Hint)
{
    WriteNoFence64((volatile LONG64 *)&Fcb->Data.RequestedAllocation, (LONG64)Hint);
    RecomputeHeaderSizes(Fcb);
}

/*
 * ChangeFileSize: makes NewSize the file size and Hint the allocation-size hint.
 * A shrink is refused while a mapped view reaches past the new end
 * (STATUS_USER_MAPPED_FILE) and first flushes the kept range. The caller holds
 * the node's main resource exclusive; the paging resource is taken here. Returns
 * STATUS_SUCCESS, STATUS_USER_MAPPED_FILE, a flush failure or SetDataSize's.
 */
static NTSTATUS ChangeFileSize(PFCB Fcb, ULONGLONG NewSize, ULONGLONG Hint)
{
    PSECTION_OBJECT_POINTERS sections = &Fcb->SectionObjectPointers;
    if (NewSize < ReadULong64NoFence(&Fcb->Data.FileSize)) {
        LARGE_INTEGER newSize;
        newSize.QuadPart = (LONGLONG)NewSize;
        if (sections->DataSectionObject != NULL && !MmCanFileBeTruncated(sections, &newSize))
            return STATUS_USER_MAPPED_FILE;
        NTSTATUS status = FlushKeptRange(Fcb, NewSize);
        if (!NT_SUCCESS(status))
            return status;
    }
    ExAcquireResourceExclusiveLite(&Fcb->PagingIoResource, TRUE);
    NTSTATUS status = SetDataSize(Fcb, NewSize);
    if (NT_SUCCESS(status))
        SetAllocationHint(Fcb, Hint);
    ExReleaseResourceLite(&Fcb->PagingIoResource);
    return status;
}

/* ReadSizeRecord: the 64-bit value of an allocation or end-of-file record, for a file only. */
static NTSTATUS ReadSizeRecord(PFCB Fcb, PLARGE_INTEGER Record, ULONG Length, PULONGLONG Value)
{
    if (Fcb->IsDirectory)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (Length < sizeof(LARGE_INTEGER))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (Record->QuadPart < 0)
        return STATUS_INVALID_PARAMETER;
    *Value = (ULONGLONG)Record->QuadPart;
    return STATUS_SUCCESS;
}

/*
 * SetAllocationInformation: a value at or above the file size is only kept as
 * the hint the reported allocation size follows (nothing is reserved); a smaller
 * one cuts the file there and becomes the hint. Takes the node's resources.
 */
static NTSTATUS SetAllocationInformation(PVCB Vcb, PFCB Fcb, PFILE_ALLOCATION_INFORMATION Record, ULONG Length)
{
    ULONGLONG value = 0;
    NTSTATUS status = ReadSizeRecord(Fcb, &Record->AllocationSize, Length, &value);
    if (!NT_SUCCESS(status))
        return status;
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    if (value >= ReadULong64NoFence(&Fcb->Data.FileSize)) {
        ExAcquireResourceExclusiveLite(&Fcb->PagingIoResource, TRUE);
        SetAllocationHint(Fcb, value);
        ExReleaseResourceLite(&Fcb->PagingIoResource);
    } else {
        status = ChangeFileSize(Fcb, value, value);
    }
    ExReleaseResourceLite(&Fcb->MainResource);
    if (NT_SUCCESS(status))
        ReportChange(Vcb, Fcb, FILE_NOTIFY_CHANGE_SIZE, FILE_ACTION_MODIFIED);
    return status;
}

/*
 * SetEndOfFileInformation: the new file size, growing (new bytes read as zero)
 * or shrinking (the storage beyond goes back); the allocation hint is dropped.
 * AdvanceOnly never shrinks: a value not above the size changes nothing. Takes
 * the node's resources.
 */
static NTSTATUS SetEndOfFileInformation(PVCB Vcb, PFCB Fcb, PFILE_END_OF_FILE_INFORMATION Record, ULONG Length,
                                        BOOLEAN AdvanceOnly)
{
    ULONGLONG value = 0;
    NTSTATUS status = ReadSizeRecord(Fcb, &Record->EndOfFile, Length, &value);
    if (!NT_SUCCESS(status))
        return status;
    if (AdvanceOnly && value <= ReadULong64NoFence(&Fcb->Data.FileSize))
        return STATUS_SUCCESS;
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    status = ChangeFileSize(Fcb, value, 0);
    ExReleaseResourceLite(&Fcb->MainResource);
    if (NT_SUCCESS(status))
        ReportChange(Vcb, Fcb, FILE_NOTIFY_CHANGE_SIZE, FILE_ACTION_MODIFIED);
    return status;
}

/* SetDispositionRecord: the plain record (a byte) or the Ex one (flags); ON_CLOSE is not served. */
static NTSTATUS SetDispositionRecord(PIRP Irp, PVCB Vcb, PCCB Ccb, PVOID Buffer, ULONG Length, BOOLEAN Extended)
{
    if (!Extended) {
        if (Length == 0)
            return STATUS_INFO_LENGTH_MISMATCH;
        BOOLEAN remove = ((PFILE_DISPOSITION_INFORMATION)Buffer)->DeleteFile != FALSE;
        return SetDisposition(Vcb, Ccb->Node, Ccb, remove, FALSE, Irp->RequestorMode);
    }
    if (Length < sizeof(FILE_DISPOSITION_INFORMATION_EX))
        return STATUS_INFO_LENGTH_MISMATCH;
    ULONG flags = ((PFILE_DISPOSITION_INFORMATION_EX)Buffer)->Flags;
    if (flags & FILE_DISPOSITION_ON_CLOSE)
        return STATUS_INVALID_PARAMETER;
    return SetDisposition(Vcb, Ccb->Node, Ccb, (flags & FILE_DISPOSITION_DELETE) != 0,
                          (flags & FILE_DISPOSITION_POSIX_SEMANTICS) != 0, Irp->RequestorMode);
}

/* BreaksOplocks: the classes that change what an oplock holder relies on. */
static BOOLEAN BreaksOplocks(FILE_INFORMATION_CLASS Class, BOOLEAN AdvanceOnly)
{
    switch (Class) {
    case FileRenameInformation:
    case FileRenameInformationEx:
    case FileLinkInformation:
    case FileLinkInformationEx:
    case FileDispositionInformation:
    case FileDispositionInformationEx:
    case FileAllocationInformation:
        return TRUE;
    case FileEndOfFileInformation:
        return !AdvanceOnly;
    default:
        return FALSE;
    }
}

/*
 * CommonSetInformation: a set on an admitted volume. PASSIVE_LEVEL; holds no lock.
 * Information is 0. The oplock holders of the node hear of a change to its
 * names, size or disposition before it is made; the wait for their
 * acknowledgement runs here, with no lock held.
 */
static NTSTATUS CommonSetInformation(PIRP Irp, PVCB Vcb)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PCCB ccb = HandleCcb(irpSp->FileObject);
    ULONG length = irpSp->Parameters.SetFile.Length;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    FILE_INFORMATION_CLASS infoClass = irpSp->Parameters.SetFile.FileInformationClass;
    BOOLEAN advanceOnly = irpSp->Parameters.SetFile.AdvanceOnly;
    Irp->IoStatus.Information = 0;
    if (ccb == NULL)
        return STATUS_INVALID_PARAMETER;
    PFCB node = ccb->Node;
    if (ReadUCharNoFence(&node->OplockInUse) && BreaksOplocks(infoClass, advanceOnly)) {
        NTSTATUS status = FsRtlCheckOplock(&node->Oplock, Irp, NULL, NULL, NULL);
        if (!NT_SUCCESS(status))
            return status;
    }

    switch (infoClass) {
    case FileBasicInformation:
        return SetBasicInformation(Vcb, node, (PFILE_BASIC_INFORMATION)buffer, length);
    case FilePositionInformation:
        return SetPositionInformation(irpSp->FileObject, (PFILE_POSITION_INFORMATION)buffer, length);
    case FileAllocationInformation:
        return SetAllocationInformation(Vcb, node, (PFILE_ALLOCATION_INFORMATION)buffer, length);
    case FileEndOfFileInformation:
        return SetEndOfFileInformation(Vcb, node, (PFILE_END_OF_FILE_INFORMATION)buffer, length, advanceOnly);
    case FileDispositionInformation:
    case FileDispositionInformationEx:
        return SetDispositionRecord(Irp, Vcb, ccb, buffer, length, infoClass == FileDispositionInformationEx);
    case FileRenameInformation:
    case FileRenameInformationEx:
        return SetRenameInformation(Irp, Vcb, ccb, buffer, length, infoClass == FileRenameInformationEx);
    case FileLinkInformation:
    case FileLinkInformationEx:
        return SetLinkInformation(Irp, Vcb, ccb, buffer, length, infoClass == FileLinkInformationEx);
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

/* VorelSetInformation: PASSIVE_LEVEL. Admission refusals as for every volume request, else CommonSetInformation. */
NTSTATUS NTAPI VorelSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeRequest(DeviceObject, Irp, CommonSetInformation);
}
