/*
 * The metadata stream's writer: records appended to a caller's buffer, each at
 * an 8-byte-aligned offset, with its length patched when it is closed. Every
 * append checks the room left first, so a full buffer is refused with
 * STATUS_BUFFER_TOO_SMALL and nothing is written past it.
 */
#include "vorel.h"

VOID InitializeImageStreamWriter(PIMAGE_STREAM_WRITER Writer, PUCHAR Buffer, SIZE_T Capacity)
{
    RtlZeroMemory(Writer, sizeof(*Writer));
    Writer->Buffer = Buffer;
    Writer->Capacity = Capacity;
}

static BOOLEAN ImageWriterHasRoom(PIMAGE_STREAM_WRITER Writer, SIZE_T Length)
{
    return Length <= Writer->Capacity - Writer->Length;
}

/* AppendImageBytes: payload bytes of the innermost open record. */
NTSTATUS AppendImageBytes(PIMAGE_STREAM_WRITER Writer, const VOID *Bytes, SIZE_T Length)
{
    if (Writer->Depth == 0)
        return STATUS_INVALID_PARAMETER;
    if (!ImageWriterHasRoom(Writer, Length))
        return STATUS_BUFFER_TOO_SMALL;
    if (Length != 0)
        RtlCopyMemory(Writer->Buffer + Writer->Length, Bytes, Length);
    Writer->Length += Length;
    return STATUS_SUCCESS;
}

/* Zero bytes up to the next multiple of 8: the padding after a record or an entry. */
static NTSTATUS AppendImagePadding(PIMAGE_STREAM_WRITER Writer)
{
    SIZE_T padding = (IMAGE_RECORD_ALIGNMENT - Writer->Length % IMAGE_RECORD_ALIGNMENT) % IMAGE_RECORD_ALIGNMENT;
    if (!ImageWriterHasRoom(Writer, padding))
        return STATUS_BUFFER_TOO_SMALL;
    RtlZeroMemory(Writer->Buffer + Writer->Length, padding);
    Writer->Length += padding;
    return STATUS_SUCCESS;
}

/*
 * OpenImageRecord: reserves the head of a record (or, inside an open node
 * record, of a sub-record). Records open at aligned offsets: the previous one
 * was closed with its padding.
 */
NTSTATUS OpenImageRecord(PIMAGE_STREAM_WRITER Writer, ULONG Type)
{
    if (Writer->Depth == IMAGE_WRITER_DEPTH || Writer->Length % IMAGE_RECORD_ALIGNMENT != 0)
        return STATUS_INVALID_PARAMETER;
    if (!ImageWriterHasRoom(Writer, IMAGE_RECORD_HEAD_SIZE))
        return STATUS_BUFFER_TOO_SMALL;
    PUCHAR head = Writer->Buffer + Writer->Length;
    ImagePut32(head, Type);
    ImagePut32(head + 4, 0);
    Writer->OpenHeads[Writer->Depth++] = Writer->Length;
    Writer->Length += IMAGE_RECORD_HEAD_SIZE;
    return STATUS_SUCCESS;
}

/*
 * CloseImageRecord: patches the innermost open record's payload length and pads
 * it. A payload longer than a length field holds is refused.
 */
NTSTATUS CloseImageRecord(PIMAGE_STREAM_WRITER Writer)
{
    if (Writer->Depth == 0)
        return STATUS_INVALID_PARAMETER;
    SIZE_T head = Writer->OpenHeads[Writer->Depth - 1];
    SIZE_T payload = Writer->Length - head - IMAGE_RECORD_HEAD_SIZE;
    if (payload > MAXULONG)
        return STATUS_BUFFER_OVERFLOW;
    NTSTATUS status = AppendImagePadding(Writer);
    if (!NT_SUCCESS(status))
        return status;
    ImagePut32(Writer->Buffer + head + 4, (ULONG)payload);
    Writer->Depth--;
    return STATUS_SUCCESS;
}

/* AppendImageRecord: a whole record (or sub-record) of Length payload bytes. */
NTSTATUS AppendImageRecord(PIMAGE_STREAM_WRITER Writer, ULONG Type, const VOID *Payload, ULONG Length)
{
    SIZE_T start = Writer->Length;
    ULONG depth = Writer->Depth;
    NTSTATUS status = OpenImageRecord(Writer, Type);
    if (NT_SUCCESS(status))
        status = AppendImageBytes(Writer, Payload, Length);
    if (NT_SUCCESS(status))
        status = CloseImageRecord(Writer);
    if (!NT_SUCCESS(status)) {
        Writer->Length = start;
        Writer->Depth = depth;
    }
    return status;
}

/* Two 32-bit words, the second 0: the head of a security table or a data map. */
static NTSTATUS AppendImageCountHead(PIMAGE_STREAM_WRITER Writer, ULONG Count)
{
    UCHAR head[8];
    ImagePut32(head, Count);
    ImagePut32(head + 4, 0);
    return AppendImageBytes(Writer, head, sizeof(head));
}

/* Security table, inside an open IMAGE_RECORD_SECURITY_TABLE record. */
NTSTATUS AppendImageSecurityTableHead(PIMAGE_STREAM_WRITER Writer, ULONG Count)
{
    return AppendImageCountHead(Writer, Count);
}

NTSTATUS AppendImageSecurityEntry(PIMAGE_STREAM_WRITER Writer, const VOID *Descriptor, ULONG Length)
{
    SIZE_T start = Writer->Length;
    if (Length == 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = AppendImageCountHead(Writer, Length);
    if (NT_SUCCESS(status))
        status = AppendImageBytes(Writer, Descriptor, Length);
    if (NT_SUCCESS(status))
        status = AppendImagePadding(Writer);
    if (!NT_SUCCESS(status))
        Writer->Length = start;
    return status;
}

/* AppendImageNodeFixed: the fixed part of an open node record; sub-records follow. */
NTSTATUS AppendImageNodeFixed(PIMAGE_STREAM_WRITER Writer, PCIMAGE_NODE_RECORD Node)
{
    UCHAR fixed[IMAGE_NODE_FIXED_SIZE] = {};
    ImagePut64(fixed + 0, Node->NodeId);
    ImagePut64(fixed + 8, Node->FileSize);
    ImagePut64(fixed + 16, Node->AllocationSize);
    ImagePut64(fixed + 24, (ULONGLONG)Node->CreationTime);
    ImagePut64(fixed + 32, (ULONGLONG)Node->LastWriteTime);
    ImagePut64(fixed + 40, (ULONGLONG)Node->LastAccessTime);
    ImagePut64(fixed + 48, (ULONGLONG)Node->ChangeTime);
    ImagePut32(fixed + 56, Node->Attributes);
    ImagePut32(fixed + 60, Node->LinkCount);
    ImagePut32(fixed + 64, Node->SecurityIndex);
    fixed[68] = Node->Flags;
    return AppendImageBytes(Writer, fixed, sizeof(fixed));
}

/* Data map, inside an open IMAGE_NODE_DATA_MAP sub-record. */
NTSTATUS AppendImageDataMapHead(PIMAGE_STREAM_WRITER Writer, ULONG Count)
{
    return AppendImageCountHead(Writer, Count);
}

NTSTATUS AppendImageDataMapEntry(PIMAGE_STREAM_WRITER Writer, PCIMAGE_DATA_MAP_ENTRY Entry)
{
    UCHAR bytes[IMAGE_DATA_MAP_ENTRY_SIZE];
    ImagePut32(bytes + 0, Entry->ExtentNumber);
    ImagePut32(bytes + 4, Entry->SlotNumber);
    ImagePut32(bytes + 8, Entry->ExtentLength);
    ImagePut32(bytes + 12, Entry->StorageWord);
    ImagePut64(bytes + 16, Entry->Checksum);
    return AppendImageBytes(Writer, bytes, sizeof(bytes));
}

/* Directory record, inside an open IMAGE_RECORD_DIRECTORY record. */
NTSTATUS AppendImageDirectoryHead(PIMAGE_STREAM_WRITER Writer, ULONGLONG DirectoryId, ULONG Count)
{
    UCHAR head[IMAGE_DIRECTORY_HEAD_SIZE] = {};
    ImagePut64(head, DirectoryId);
    ImagePut32(head + 8, Count);
    return AppendImageBytes(Writer, head, sizeof(head));
}

NTSTATUS AppendImageDirectoryEntry(PIMAGE_STREAM_WRITER Writer, ULONGLONG ChildId, const WCHAR *Name,
                                   USHORT NameLength)
{
    SIZE_T start = Writer->Length;
    UCHAR head[IMAGE_DIRECTORY_ENTRY_HEAD] = {};
    ImagePut64(head, ChildId);
    ImagePut16(head + 8, NameLength);
    NTSTATUS status = AppendImageBytes(Writer, head, sizeof(head));
    if (NT_SUCCESS(status))
        status = AppendImageBytes(Writer, Name, NameLength);
    if (NT_SUCCESS(status))
        status = AppendImagePadding(Writer);
    if (!NT_SUCCESS(status))
        Writer->Length = start;
    return status;
}

/* AppendImageStreamEnd: the closing record with the node-record and entry counts. */
NTSTATUS AppendImageStreamEnd(PIMAGE_STREAM_WRITER Writer, ULONGLONG NodeCount, ULONGLONG EntryCount)
{
    UCHAR payload[IMAGE_STREAM_END_SIZE];
    ImagePut64(payload, NodeCount);
    ImagePut64(payload + 8, EntryCount);
    return AppendImageRecord(Writer, IMAGE_RECORD_STREAM_END, payload, sizeof(payload));
}
