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
