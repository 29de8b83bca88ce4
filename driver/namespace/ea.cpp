/*
 * A node's extended attributes: one packed FILE_FULL_EA_INFORMATION chain
 * ("vlEa", non-paged pool) with its length and counts, guarded by the node's main
 * resource.
 *
 * Entries the driver writes are aligned to 4 bytes with zeroed padding, each
 * linked from the one before, the last with a next-entry offset of 0. The chain
 * walk below still trusts nothing but what it checks, so a damaged chain stops the
 * walk instead of leading it out of the buffer.
 */
#include "vorel.h"

#define EA_FIXED_PART FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) /* 8 */

/* EaEntrySize: fixed part, name, its NUL and the value. */
static ULONG EaEntrySize(const FILE_FULL_EA_INFORMATION *Entry)
{
    return EA_FIXED_PART + Entry->EaNameLength + 1 + Entry->EaValueLength;
}

/* EaEntryAt: the complete entry at Offset of a chain of Length bytes, or NULL. */
static PFILE_FULL_EA_INFORMATION EaEntryAt(PVOID Chain, ULONG Length, ULONG Offset)
{
    if (Chain == NULL || Offset > Length || Length - Offset < EA_FIXED_PART)
        return NULL;
    PFILE_FULL_EA_INFORMATION entry = (PFILE_FULL_EA_INFORMATION)((PUCHAR)Chain + Offset);
    return EaEntrySize(entry) <= Length - Offset ? entry : NULL;
}

/*
 * EaNextOffset: the offset of the entry after the complete one at Offset, or 0
 * when the walk stops there (last entry, an offset inside the entry itself, or
 * one leading past the chain).
 */
static ULONG EaNextOffset(PVOID Chain, ULONG Length, ULONG Offset)
{
    PFILE_FULL_EA_INFORMATION entry = (PFILE_FULL_EA_INFORMATION)((PUCHAR)Chain + Offset);
    ULONG next = entry->NextEntryOffset;
    if (next == 0 || next < EaEntrySize(entry) || next > Length - Offset || Offset + next > Length - EA_FIXED_PART)
        return 0;
    return Offset + next;
}

/* EA_SUMMARY: what one walk over a chain finds. */
typedef struct _EA_SUMMARY {
    ULONG Count;
    ULONG PackedSize;       /* sum of name + value + 9 */
    ULONG AlignedSize;      /* sum of (name + value + 12) rounded down to 4 */
    ULONG NeedEaCount;
    ULONG Length;           /* end of the last entry, without padding */
} EA_SUMMARY, *PEA_SUMMARY;

static VOID SummarizeEas(PVOID Chain, ULONG Length, PEA_SUMMARY Summary)
{
    RtlZeroMemory(Summary, sizeof(*Summary));
    ULONG offset = 0;
    for (PFILE_FULL_EA_INFORMATION entry; (entry = EaEntryAt(Chain, Length, offset)) != NULL;) {
        ULONG bytes = (ULONG)entry->EaNameLength + entry->EaValueLength;
        Summary->Count++;
        Summary->PackedSize += bytes + 9;
        Summary->AlignedSize += (bytes + 12) & ~3u;
        if (entry->Flags & FILE_NEED_EA)
            Summary->NeedEaCount++;
        Summary->Length = offset + EaEntrySize(entry);
        offset = EaNextOffset(Chain, Length, offset);
        if (offset == 0)
            break;
    }
}

/* EaNamesEqual: equal lengths and equal bytes with only ASCII a-z folded to upper case. */
static BOOLEAN EaNamesEqual(const CHAR *Left, ULONG LeftLength, const CHAR *Right, ULONG RightLength)
{
    if (LeftLength != RightLength)
        return FALSE;
    for (ULONG i = 0; i < LeftLength; i++) {
        CHAR l = Left[i], r = Right[i];
        if (l >= 'a' && l <= 'z')
            l = (CHAR)(l - 'a' + 'A');
        if (r >= 'a' && r <= 'z')
            r = (CHAR)(r - 'a' + 'A');
        if (l != r)
            return FALSE;
    }
    return TRUE;
}

/* FindEaByName: the stored entry named Name, or NULL. Main resource held. */
static PFILE_FULL_EA_INFORMATION FindEaByName(PVOID Chain, ULONG Length, const CHAR *Name, ULONG NameLength)
{
    ULONG offset = 0;
    for (PFILE_FULL_EA_INFORMATION entry; (entry = EaEntryAt(Chain, Length, offset)) != NULL;) {
        if (EaNamesEqual(entry->EaName, entry->EaNameLength, Name, NameLength))
            return entry;
        offset = EaNextOffset(Chain, Length, offset);
        if (offset == 0)
            break;
    }
    return NULL;
}

/*
 * EA_WRITER: places entries one after another in a buffer, each at a 4-byte
 * aligned position with the padding before it zeroed, and links each from the
 * one before. Used is the end of the last entry written, without padding.
 */
typedef struct _EA_WRITER {
    PUCHAR Buffer;
    ULONG Capacity;
    ULONG Used;
    ULONG LastOffset;
    BOOLEAN Any;
} EA_WRITER, *PEA_WRITER;

static VOID InitializeEaWriter(PEA_WRITER Writer, PVOID Buffer, ULONG Capacity)
{
    RtlZeroMemory(Writer, sizeof(*Writer));
    Writer->Buffer = (PUCHAR)Buffer;
    Writer->Capacity = Capacity;
}

/* PutEa: writes one entry; FALSE (nothing written) when it does not fit. */
static BOOLEAN PutEa(PEA_WRITER Writer, UCHAR Flags, const CHAR *Name, UCHAR NameLength, const VOID *Value,
                     USHORT ValueLength)
{
    ULONG position = Writer->Any ? (ULONG)ALIGN_UP_BY(Writer->Used, sizeof(ULONG)) : 0;
    ULONG size = EA_FIXED_PART + NameLength + 1 + ValueLength;
    if (position > Writer->Capacity || size > Writer->Capacity - position)
        return FALSE;
    RtlZeroMemory(Writer->Buffer + Writer->Used, position - Writer->Used);
    PFILE_FULL_EA_INFORMATION entry = (PFILE_FULL_EA_INFORMATION)(Writer->Buffer + position);
    entry->NextEntryOffset = 0;
    entry->Flags = Flags;
    entry->EaNameLength = NameLength;
    entry->EaValueLength = ValueLength;
    RtlCopyMemory(entry->EaName, Name, NameLength);
    entry->EaName[NameLength] = '\0';
    if (ValueLength != 0)
        RtlCopyMemory(entry->EaName + NameLength + 1, Value, ValueLength);
    if (Writer->Any)
        ((PFILE_FULL_EA_INFORMATION)(Writer->Buffer + Writer->LastOffset))->NextEntryOffset =
            position - Writer->LastOffset;
    Writer->LastOffset = position;
    Writer->Used = position + size;
    Writer->Any = TRUE;
    return TRUE;
}

static BOOLEAN PutStoredEa(PEA_WRITER Writer, const FILE_FULL_EA_INFORMATION *Entry)
{
    return PutEa(Writer, Entry->Flags, Entry->EaName, Entry->EaNameLength, Entry->EaName + Entry->EaNameLength + 1,
                 Entry->EaValueLength);
}

/* InstallEaChain: Chain (or NULL) becomes the node's set; the old one is freed. Main resource exclusive. */
static VOID InstallEaChain(PFCB Fcb, PFILE_FULL_EA_INFORMATION Chain, PEA_SUMMARY Summary)
{
    RemoveEas(Fcb);
    if (Chain == NULL)
        return;
    Fcb->EaBuffer = Chain;
    Fcb->EaLength = Summary->Length;
    Fcb->EaPackedSize = Summary->PackedSize;
    Fcb->EaCount = Summary->Count;
    Fcb->NeedEaCount = Summary->NeedEaCount;
}

/* RemoveEas: the node has no attributes left. Main resource exclusive (or the last reference). */
VOID RemoveEas(PFCB Fcb)
{
    FreeAndClear((PVOID *)&Fcb->EaBuffer, TAG_EA);
    Fcb->EaLength = 0;
    Fcb->EaPackedSize = 0;
    Fcb->EaCount = 0;
    Fcb->NeedEaCount = 0;
}

/*
 * ReplaceEas: the chain at Buffer (Length bytes, a captured system copy) becomes
 * the node's whole set; an empty buffer removes them all. Main resource exclusive.
 * Returns the validator's status with *ErrorOffset naming the bad entry,
 * STATUS_EA_TOO_LARGE above 64 KiB packed, STATUS_INSUFFICIENT_RESOURCES; any
 * failure leaves the old set in place.
 */
NTSTATUS ReplaceEas(PFCB Fcb, PFILE_FULL_EA_INFORMATION Buffer, ULONG Length, PULONG ErrorOffset)
{
    *ErrorOffset = 0;
    if (Buffer == NULL || Length == 0) {
        RemoveEas(Fcb);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = IoCheckEaBufferValidity(Buffer, Length, ErrorOffset);
    if (!NT_SUCCESS(status))
        return status;

    EA_SUMMARY summary;
    SummarizeEas(Buffer, Length, &summary);
    if (summary.PackedSize > EA_MAX_PACKED_SIZE)
        return STATUS_EA_TOO_LARGE;
    PFILE_FULL_EA_INFORMATION copy =
        (PFILE_FULL_EA_INFORMATION)AllocateZeroed(summary.Length, TAG_EA, NonPagedPoolNx);
    if (copy == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, Buffer, summary.Length);
    InstallEaChain(Fcb, copy, &summary);
    return STATUS_SUCCESS;
}

/*
 * MergeEas: the set a set-EA request leaves: every stored entry whose name the
 * input does not carry, in stored order, then every input entry with a value, in
 * input order (an empty value deletes its name). Input has passed the validator.
 * Main resource exclusive. STATUS_EA_TOO_LARGE and STATUS_INSUFFICIENT_RESOURCES
 * leave the old set in place.
 */
NTSTATUS MergeEas(PFCB Fcb, PFILE_FULL_EA_INFORMATION Input, ULONG InputLength)
{
    EA_SUMMARY stored, input;
    SummarizeEas(Fcb->EaBuffer, Fcb->EaLength, &stored);
    SummarizeEas(Input, InputLength, &input);
    ULONG capacity = stored.AlignedSize + input.AlignedSize + 8;
    PVOID chain = AllocateZeroed(capacity, TAG_EA, NonPagedPoolNx);
    if (chain == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    EA_WRITER writer;
    InitializeEaWriter(&writer, chain, capacity);
    ULONG offset = 0;
    for (PFILE_FULL_EA_INFORMATION entry; (entry = EaEntryAt(Fcb->EaBuffer, Fcb->EaLength, offset)) != NULL;) {
        if (FindEaByName(Input, InputLength, entry->EaName, entry->EaNameLength) == NULL)
            PutStoredEa(&writer, entry);
        offset = EaNextOffset(Fcb->EaBuffer, Fcb->EaLength, offset);
        if (offset == 0)
            break;
    }
    offset = 0;
    for (PFILE_FULL_EA_INFORMATION entry; (entry = EaEntryAt(Input, InputLength, offset)) != NULL;) {
        if (entry->EaValueLength != 0)
            PutStoredEa(&writer, entry);
        offset = EaNextOffset(Input, InputLength, offset);
        if (offset == 0)
            break;
    }

    if (!writer.Any) {
        FreeAndClear(&chain, TAG_EA);
        RemoveEas(Fcb);
        return STATUS_SUCCESS;
    }
    EA_SUMMARY merged;
    SummarizeEas(chain, writer.Used, &merged);
    if (merged.PackedSize > EA_MAX_PACKED_SIZE) {
        FreeAndClear(&chain, TAG_EA);
        return STATUS_EA_TOO_LARGE;
    }
    InstallEaChain(Fcb, (PFILE_FULL_EA_INFORMATION)chain, &merged);
    return STATUS_SUCCESS;
}

/* EaEntryByIndex: the stored entry with a 1-based index, or NULL. Main resource held. */
static PFILE_FULL_EA_INFORMATION EaEntryByIndex(PFCB Fcb, ULONG Index)
{
    ULONG offset = 0;
    for (ULONG i = 1; Index != 0; i++) {
        PFILE_FULL_EA_INFORMATION entry = EaEntryAt(Fcb->EaBuffer, Fcb->EaLength, offset);
        if (entry == NULL)
            return NULL;
        if (i == Index)
            return entry;
        offset = EaNextOffset(Fcb->EaBuffer, Fcb->EaLength, offset);
        if (offset == 0)
            return NULL;
    }
    return NULL;
}

/*
 * EaNodeOfRequest: the live node behind a request's file object, on the volume
 * that admitted the request, or NULL (a volume handle, a foreign or dead record).
 */
static PFCB EaNodeOfRequest(PIO_STACK_LOCATION IrpSp, PVCB Vcb)
{
    PFILE_OBJECT fileObject = IrpSp->FileObject;
    if (fileObject == NULL)
        return NULL;
    PFCB fcb = (PFCB)fileObject->FsContext;
    if (fcb == NULL || fcb->Signature != FCB_SIGNATURE || fcb->Vcb != Vcb)
        return NULL;
    return fcb;
}

/* HandleEaCursor: the handle's enumeration cursor, or NULL when the handle has no context. */
static PULONG HandleEaCursor(PFILE_OBJECT FileObject)
{
    PCCB ccb = (PCCB)FileObject->FsContext2;
    if (ccb == NULL || ccb->Signature != CCB_SIGNATURE)
        return NULL;
    return &ccb->EaCursor;
}

/*
 * MapEaBuffer: the system address of a request's data buffer: its MDL's system
 * mapping, its system buffer, or a kernel-mode caller's own buffer. A user-mode
 * caller's buffer is locked into an MDL first (probed for Operation), so the
 * copies under the node's resource never touch user memory directly.
 */
static NTSTATUS MapEaBuffer(PIRP Irp, ULONG Length, LOCK_OPERATION Operation, PVOID *Buffer)
{
    *Buffer = NULL;
    if (Length == 0)
        return STATUS_SUCCESS;
    if (Irp->MdlAddress == NULL && Irp->AssociatedIrp.SystemBuffer == NULL && Irp->RequestorMode == UserMode &&
        Irp->UserBuffer != NULL) {
        NTSTATUS status = LockCallerBuffer(Irp, Length, Operation);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (Irp->MdlAddress != NULL) {
        *Buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute);
        return *Buffer != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Irp->AssociatedIrp.SystemBuffer != NULL) {
        *Buffer = Irp->AssociatedIrp.SystemBuffer;
        return STATUS_SUCCESS;
    }
    if (Irp->RequestorMode == KernelMode && Irp->UserBuffer != NULL) {
        *Buffer = Irp->UserBuffer;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_USER_BUFFER;
}

/*
 * CheckGetEaList: walks a FILE_GET_EA_INFORMATION list of Length bytes; on a bad
 * entry returns STATUS_EA_LIST_INCONSISTENT with *ErrorOffset at it.
 */
static NTSTATUS CheckGetEaList(const UCHAR *List, ULONG Length, PULONG ErrorOffset)
{
    const ULONG fixedPart = FIELD_OFFSET(FILE_GET_EA_INFORMATION, EaName);
    ULONG offset = 0;
    *ErrorOffset = 0;
    if (List == NULL || Length < fixedPart)
        return STATUS_EA_LIST_INCONSISTENT;
    for (;;) {
        *ErrorOffset = offset;
        if (Length - offset < fixedPart)
            return STATUS_EA_LIST_INCONSISTENT;
        const FILE_GET_EA_INFORMATION *entry = (const FILE_GET_EA_INFORMATION *)(List + offset);
        ULONG size = fixedPart + entry->EaNameLength + 1;
        if (fixedPart + entry->EaNameLength > Length - offset)
            return STATUS_EA_LIST_INCONSISTENT;
        ULONG next = entry->NextEntryOffset;
        if (next == 0)
            return STATUS_SUCCESS;
        if (next < size || next >= Length - offset)
            return STATUS_EA_LIST_INCONSISTENT;
        offset += next;
    }
}

/*
 * QueryEaList: answers a list of names in list order, a missing name with an empty
 * value. Main resource exclusive. The list has passed CheckGetEaList.
 */
static NTSTATUS QueryEaList(PFCB Fcb, PEA_WRITER Writer, const UCHAR *List, BOOLEAN Single)
{
    for (ULONG offset = 0;;) {
        const FILE_GET_EA_INFORMATION *asked = (const FILE_GET_EA_INFORMATION *)(List + offset);
        PFILE_FULL_EA_INFORMATION stored = FindEaByName(Fcb->EaBuffer, Fcb->EaLength, asked->EaName,
                                                        asked->EaNameLength);
        BOOLEAN written = stored != NULL ? PutStoredEa(Writer, stored)
                                         : PutEa(Writer, 0, asked->EaName, asked->EaNameLength, NULL, 0);
        if (!written)
            return STATUS_BUFFER_OVERFLOW;
        if (Single || asked->NextEntryOffset == 0)
            return STATUS_SUCCESS;
        offset += asked->NextEntryOffset;
    }
}

/*
 * QueryEaFromCursor: enumerates stored entries from the handle's cursor (1 when
 * restarting or without a handle context) while they fit. Main resource exclusive.
 */
static NTSTATUS QueryEaFromCursor(PFCB Fcb, PEA_WRITER Writer, PULONG Cursor, BOOLEAN Restart, BOOLEAN Single)
{
    ULONG index = (Restart || Cursor == NULL || *Cursor == 0) ? 1 : *Cursor;
    if (index > Fcb->EaCount)
        return STATUS_NO_MORE_EAS;
    NTSTATUS status = STATUS_SUCCESS;
    PFILE_FULL_EA_INFORMATION entry = EaEntryByIndex(Fcb, index);
    while (entry != NULL) {
        if (!PutStoredEa(Writer, entry)) {
            status = STATUS_BUFFER_OVERFLOW;
            break;
        }
        index++;
        ULONG next = EaNextOffset(Fcb->EaBuffer, Fcb->EaLength, (ULONG)((PUCHAR)entry - (PUCHAR)Fcb->EaBuffer));
        if (Single || next == 0)
            break;
        entry = EaEntryAt(Fcb->EaBuffer, Fcb->EaLength, next);
    }
    if (Cursor != NULL)
        *Cursor = index;
    return status;
}

/*
 * BeginEaRequest: the first steps of both EA requests: no reply bytes yet, the
 * request's live node (STATUS_INVALID_PARAMETER without one) and its data buffer
 * of Length bytes mapped.
 */
static NTSTATUS BeginEaRequest(PIRP Irp, PVCB Vcb, ULONG Length, LOCK_OPERATION Operation, PFCB *Fcb,
                               PVOID *Buffer)
{
    Irp->IoStatus.Information = 0;
    *Fcb = EaNodeOfRequest(IoGetCurrentIrpStackLocation(Irp), Vcb);
    if (*Fcb == NULL)
        return STATUS_INVALID_PARAMETER;
    return MapEaBuffer(Irp, Length, Operation, Buffer);
}

/* QueryEaCommon: the work of IRP_MJ_QUERY_EA on an admitted volume. Sets Information. */
static NTSTATUS QueryEaCommon(PIRP Irp, PVCB Vcb)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PFCB fcb;
    PVOID buffer;
    NTSTATUS status = BeginEaRequest(Irp, Vcb, irpSp->Parameters.QueryEa.Length, IoWriteAccess, &fcb, &buffer);
    if (!NT_SUCCESS(status))
        return status;

    EA_WRITER writer;
    InitializeEaWriter(&writer, buffer, irpSp->Parameters.QueryEa.Length);
    BOOLEAN single = BooleanFlagOn(irpSp->Flags, SL_RETURN_SINGLE_ENTRY);
    const UCHAR *list = (const UCHAR *)irpSp->Parameters.QueryEa.EaList;
    ULONG listLength = irpSp->Parameters.QueryEa.EaListLength;

    ExAcquireResourceExclusiveLite(&fcb->MainResource, TRUE);
    if (list != NULL || listLength != 0) {
        ULONG errorOffset;
        status = CheckGetEaList(list, listLength, &errorOffset);
        if (!NT_SUCCESS(status)) {
            Irp->IoStatus.Information = errorOffset;
            goto release;
        }
        status = QueryEaList(fcb, &writer, list, single);
    } else if (fcb->EaCount == 0) {
        status = STATUS_NO_EAS_ON_FILE;
    } else if (FlagOn(irpSp->Flags, SL_INDEX_SPECIFIED)) {
        PFILE_FULL_EA_INFORMATION entry = EaEntryByIndex(fcb, irpSp->Parameters.QueryEa.EaIndex);
        if (entry == NULL)
            status = STATUS_NONEXISTENT_EA_ENTRY;
        else if (!PutStoredEa(&writer, entry))
            status = STATUS_BUFFER_OVERFLOW;
    } else {
        status = QueryEaFromCursor(fcb, &writer, HandleEaCursor(irpSp->FileObject),
                                   BooleanFlagOn(irpSp->Flags, SL_RESTART_SCAN), single);
    }
    if (status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW)
        Irp->IoStatus.Information = writer.Used;
release:
    ExReleaseResourceLite(&fcb->MainResource);
    return status;
}

/* NoteEaChange: a set-EA request changed (or touched) the node. Main resource exclusive. */
static VOID NoteEaChange(PFCB Fcb)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    Fcb->LastWriteTime = now;
    Fcb->ChangeTime = now;
}

/*
 * SetEaCommon: the work of IRP_MJ_SET_EA on an admitted volume. The input is
 * captured first: a locked user page can change under the validator, the copy
 * cannot. Sets Information (the bad entry's offset when the validator refuses).
 */
static NTSTATUS SetEaCommon(PIRP Irp, PVCB Vcb)
{
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.SetEa.Length;
    PFCB fcb;
    PVOID buffer;
    NTSTATUS status = BeginEaRequest(Irp, Vcb, length, IoReadAccess, &fcb, &buffer);
    if (!NT_SUCCESS(status))
        return status;
    PVOID input = NULL;
    if (length != 0) {
        input = AllocateZeroed(length, TAG_EA, PagedPool);
        if (input == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(input, buffer, length);
    }

    ExAcquireResourceExclusiveLite(&fcb->MainResource, TRUE);
    if (length != 0) {
        ULONG errorOffset = 0;
        status = IoCheckEaBufferValidity((PFILE_FULL_EA_INFORMATION)input, length, &errorOffset);
        if (!NT_SUCCESS(status)) {
            Irp->IoStatus.Information = errorOffset;
            goto release;
        }
        status = MergeEas(fcb, (PFILE_FULL_EA_INFORMATION)input, length);
    }
    if (NT_SUCCESS(status))
        NoteEaChange(fcb);
release:
    ExReleaseResourceLite(&fcb->MainResource);
    FreeAndClear(&input, TAG_EA);
    return status;
}

/* VorelQueryEa: IRP_MJ_QUERY_EA. PASSIVE_LEVEL. */
NTSTATUS NTAPI VorelQueryEa(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeRequest(DeviceObject, Irp, QueryEaCommon);
}

/* VorelSetEa: IRP_MJ_SET_EA. PASSIVE_LEVEL. */
NTSTATUS NTAPI VorelSetEa(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeRequest(DeviceObject, Irp, SetEaCommon);
}
