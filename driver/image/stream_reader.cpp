/*
 * The metadata stream's reader: bounds-checked cursors over the stream, a
 * node's sub-records and each record's entries. Every length is checked
 * against the bytes left before anything it covers is read, in 64-bit
 * arithmetic that cannot wrap, so no cursor ever reads outside its buffer. What
 * breaks a rule is STATUS_FILE_CORRUPT_ERROR.
 */
#include "vorel.h"

static SIZE_T ImageAlignUp(SIZE_T Offset)
{
    return (Offset + IMAGE_RECORD_ALIGNMENT - 1) & ~(SIZE_T)(IMAGE_RECORD_ALIGNMENT - 1);
}

static VOID InitializeImageFieldCursor(PIMAGE_FIELD_CURSOR Cursor, const UCHAR *Buffer, SIZE_T Length)
{
    Cursor->Buffer = Buffer;
    Cursor->Length = Length;
    Cursor->Offset = 0;
}

/* TakeImageField: the next Length bytes of a payload, or NULL when fewer are left. */
static const UCHAR *TakeImageField(PIMAGE_FIELD_CURSOR Cursor, SIZE_T Length)
{
    if (Length > Cursor->Length - Cursor->Offset)
        return NULL;
    const UCHAR *field = Cursor->Buffer + Cursor->Offset;
    Cursor->Offset += Length;
    return field;
}

/* Padding after an entry: up to the next multiple of 8, or the payload's end when it comes first. */
static VOID SkipImagePadding(PIMAGE_FIELD_CURSOR Cursor)
{
    Cursor->Offset = min(ImageAlignUp(Cursor->Offset), Cursor->Length);
}

/* After the last entry a payload holds nothing more. */
static NTSTATUS CheckImageEntriesEnd(PIMAGE_FIELD_CURSOR Cursor)
{
    return Cursor->Offset == Cursor->Length ? STATUS_NO_MORE_ENTRIES : STATUS_FILE_CORRUPT_ERROR;
}

VOID InitializeImageStreamReader(PIMAGE_STREAM_READER Reader, const UCHAR *Buffer, SIZE_T Length)
{
    Reader->Buffer = Buffer;
    Reader->Length = Length;
    Reader->Offset = 0;
}

/*
 * ReadImageRecord: the next record of the run, its head and payload wholly
 * inside it; End is set, and nothing returned, when the run is used up. Padding
 * that the run's end cuts short is tolerated; a head or payload is not.
 */
NTSTATUS ReadImageRecord(PIMAGE_STREAM_READER Reader, PIMAGE_RECORD Record, PBOOLEAN End)
{
    SIZE_T left = Reader->Length - Reader->Offset;
    *End = left == 0;
    if (left == 0)
        return STATUS_SUCCESS;
    if (left < IMAGE_RECORD_HEAD_SIZE)
        return STATUS_FILE_CORRUPT_ERROR;
    const UCHAR *head = Reader->Buffer + Reader->Offset;
    ULONG length = ImageGet32(head + 4);
    if (length > left - IMAGE_RECORD_HEAD_SIZE)
        return STATUS_FILE_CORRUPT_ERROR;
    Record->Type = ImageGet32(head);
    Record->PayloadLength = length;
    Record->Payload = head + IMAGE_RECORD_HEAD_SIZE;
    Reader->Offset = min(ImageAlignUp(Reader->Offset + IMAGE_RECORD_HEAD_SIZE + length), Reader->Length);
    return STATUS_SUCCESS;
}

/*
 * CheckImageRecordType: a stream record type. Types without the top bit are
 * skipped (Skip set); 0x80000000 and types past the stream end are corrupt.
 */
NTSTATUS CheckImageRecordType(ULONG Type, PBOOLEAN Skip)
{
    *Skip = (Type & IMAGE_RECORD_KNOWN_BIT) == 0;
    if (*Skip)
        return STATUS_SUCCESS;
    return Type >= IMAGE_RECORD_STREAM_START && Type <= IMAGE_RECORD_STREAM_END ? STATUS_SUCCESS
                                                                                 : STATUS_FILE_CORRUPT_ERROR;
}

/* ParseImageSecurityTable: the table's count; entries follow through NextImageSecurityEntry. */
NTSTATUS ParseImageSecurityTable(const IMAGE_RECORD *Record, PIMAGE_SECURITY_TABLE Table)
{
    RtlZeroMemory(Table, sizeof(*Table));
    InitializeImageFieldCursor(&Table->Cursor, Record->Payload, Record->PayloadLength);
    const UCHAR *head = TakeImageField(&Table->Cursor, IMAGE_SECURITY_HEAD_SIZE);
    if (Record->Type != IMAGE_RECORD_SECURITY_TABLE || head == NULL)
        return STATUS_FILE_CORRUPT_ERROR;
    Table->Count = ImageGet32(head);
    return STATUS_SUCCESS;
}

/*
 * NextImageSecurityEntry: the next descriptor's bytes, nonzero in length and
 * inside the record; STATUS_NO_MORE_ENTRIES after the last, when the record
 * holds nothing more.
 */
NTSTATUS NextImageSecurityEntry(PIMAGE_SECURITY_TABLE Table, const UCHAR **Descriptor, PULONG Length)
{
    if (Table->Next == Table->Count)
        return CheckImageEntriesEnd(&Table->Cursor);
    const UCHAR *head = TakeImageField(&Table->Cursor, 8);
    if (head == NULL)
        return STATUS_FILE_CORRUPT_ERROR;
    ULONG length = ImageGet32(head);
    const UCHAR *bytes = length == 0 ? NULL : TakeImageField(&Table->Cursor, length);
    if (bytes == NULL)
        return STATUS_FILE_CORRUPT_ERROR;
    SkipImagePadding(&Table->Cursor);
    Table->Next++;
    *Descriptor = bytes;
    *Length = length;
    return STATUS_SUCCESS;
}

/*
 * ParseImageNodeRecord: the fixed part of a node record, and a reader over its
 * sub-records. A node marked with the flag this format version does not know
 * refuses the image with STATUS_INVALID_DEVICE_REQUEST.
 */
NTSTATUS ParseImageNodeRecord(const IMAGE_RECORD *Record, PIMAGE_NODE_RECORD Node, PIMAGE_STREAM_READER SubRecords)
{
    if (Record->Type != IMAGE_RECORD_NODE || Record->PayloadLength < IMAGE_NODE_FIXED_SIZE)
        return STATUS_FILE_CORRUPT_ERROR;
    const UCHAR *fixed = Record->Payload;
    Node->NodeId = ImageGet64(fixed + 0);
    Node->FileSize = ImageGet64(fixed + 8);
    Node->AllocationSize = ImageGet64(fixed + 16);
    Node->CreationTime = (LONGLONG)ImageGet64(fixed + 24);
    Node->LastWriteTime = (LONGLONG)ImageGet64(fixed + 32);
    Node->LastAccessTime = (LONGLONG)ImageGet64(fixed + 40);
    Node->ChangeTime = (LONGLONG)ImageGet64(fixed + 48);
    Node->Attributes = ImageGet32(fixed + 56);
    Node->LinkCount = ImageGet32(fixed + 60);
    Node->SecurityIndex = ImageGet32(fixed + 64);
    Node->Flags = fixed[68];
    InitializeImageStreamReader(SubRecords, fixed + IMAGE_NODE_FIXED_SIZE,
                                Record->PayloadLength - IMAGE_NODE_FIXED_SIZE);
    return (Node->Flags & IMAGE_NODE_UNSUPPORTED) ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS;
}

/*
 * CheckImageNodeRecord: a node's fields against each other and against the
 * security table of SecurityCount entries.
 */
NTSTATUS CheckImageNodeRecord(PCIMAGE_NODE_RECORD Node, ULONG SecurityCount)
{
    BOOLEAN directory = (Node->Flags & IMAGE_NODE_DIRECTORY) != 0;
    if (Node->NodeId == 0 || Node->FileSize > IMAGE_NODE_SIZE_MAX)
        return STATUS_FILE_CORRUPT_ERROR;
    if (Node->NodeId == IMAGE_NODE_ROOT_ID && !directory)
        return STATUS_FILE_CORRUPT_ERROR;
    if (directory && Node->FileSize != 0)
        return STATUS_FILE_CORRUPT_ERROR;
    if (Node->NodeId != IMAGE_NODE_ROOT_ID && (Node->LinkCount == 0 || (directory && Node->LinkCount != 1)))
        return STATUS_FILE_CORRUPT_ERROR;
    if (Node->SecurityIndex != IMAGE_NODE_NO_SECURITY && Node->SecurityIndex >= SecurityCount)
        return STATUS_FILE_CORRUPT_ERROR;
    return STATUS_SUCCESS;
}

/*
 * CheckImageSubRecordType: EAs, reparse data and the data map are known; the
 * reserved type is another system's (STATUS_INVALID_DEVICE_REQUEST); any other
 * is corrupt.
 */
NTSTATUS CheckImageSubRecordType(ULONG Type)
{
    switch (Type) {
    case IMAGE_NODE_EAS:
    case IMAGE_NODE_REPARSE:
    case IMAGE_NODE_DATA_MAP:
        return STATUS_SUCCESS;
    case IMAGE_NODE_RESERVED:
        return STATUS_INVALID_DEVICE_REQUEST;
    default:
        return STATUS_FILE_CORRUPT_ERROR;
    }
}

/*
 * ParseImageDataMap: the head of a node's data map sub-record. Its entries fill
 * the rest exactly; a directory's map is empty. Entries follow through
 * NextImageDataMapEntry, each checked against the node and HighWater.
 */
NTSTATUS ParseImageDataMap(const IMAGE_RECORD *Record, PCIMAGE_NODE_RECORD Node, ULONGLONG HighWater,
                           PIMAGE_DATA_MAP Map)
{
    RtlZeroMemory(Map, sizeof(*Map));
    InitializeImageFieldCursor(&Map->Cursor, Record->Payload, Record->PayloadLength);
    const UCHAR *head = TakeImageField(&Map->Cursor, IMAGE_DATA_MAP_HEAD_SIZE);
    if (Record->Type != IMAGE_NODE_DATA_MAP || head == NULL)
        return STATUS_FILE_CORRUPT_ERROR;
    Map->Count = ImageGet32(head);
    Map->FileSize = Node->FileSize;
    Map->HighWater = HighWater;
    Map->LastExtent = -1;
    if ((ULONGLONG)Map->Count * IMAGE_DATA_MAP_ENTRY_SIZE != Record->PayloadLength - IMAGE_DATA_MAP_HEAD_SIZE)
        return STATUS_FILE_CORRUPT_ERROR;
    if ((Node->Flags & IMAGE_NODE_DIRECTORY) && Map->Count != 0)
        return STATUS_FILE_CORRUPT_ERROR;
    return STATUS_SUCCESS;
}

/*
 * CheckImageDataMapEntry: one stored extent of a file of FileSize bytes.
 *   - 1..2^21 bytes, starting inside the file, in a slot below HighWater;
 *   - raw: no stored length, no codec, and not reaching past the end of file (a
 *     raw extent is written cut at the end of file);
 *   - compressed: codec 2..4, no cold mark, a stored length that is nonzero
 *     (there is no empty form) and below the extent length, an extent length
 *     that is a multiple of 4096 and covers the file to the extent's end.
 */
NTSTATUS CheckImageDataMapEntry(PCIMAGE_DATA_MAP_ENTRY Entry, ULONGLONG FileSize, ULONGLONG HighWater)
{
    ULONGLONG start = (ULONGLONG)Entry->ExtentNumber << IMAGE_SLOT_SHIFT;
    ULONG stored = Entry->StorageWord & IMAGE_STORED_LENGTH_MASK;
    ULONG codec = (Entry->StorageWord & IMAGE_STORED_CODEC_MASK) >> IMAGE_STORED_CODEC_SHIFT;
    if (Entry->ExtentLength == 0 || Entry->ExtentLength > IMAGE_SLOT_SIZE || start >= FileSize)
        return STATUS_FILE_CORRUPT_ERROR;
    if (Entry->SlotNumber >= HighWater || Entry->SlotNumber >= IMAGE_SLOT_LIMIT ||
        (Entry->StorageWord & IMAGE_STORED_RESERVED_MASK) != 0)
        return STATUS_FILE_CORRUPT_ERROR;
    if (codec == CODEC_NONE)
        return stored == 0 && start + Entry->ExtentLength <= FileSize ? STATUS_SUCCESS : STATUS_FILE_CORRUPT_ERROR;

    if (codec < CODEC_LZ4 || codec > CODEC_ZSTD || (Entry->StorageWord & IMAGE_STORED_COLD) != 0)
        return STATUS_FILE_CORRUPT_ERROR;
    if (stored == 0 || stored >= Entry->ExtentLength || Entry->ExtentLength % 4096 != 0 ||
        Entry->ExtentLength < min(IMAGE_SLOT_SIZE, FileSize - start))
        return STATUS_FILE_CORRUPT_ERROR;
    return STATUS_SUCCESS;
}

/* NextImageDataMapEntry: the next entry, checked, its extent number above the last one's. */
NTSTATUS NextImageDataMapEntry(PIMAGE_DATA_MAP Map, PIMAGE_DATA_MAP_ENTRY Entry)
{
    if (Map->Next == Map->Count)
        return CheckImageEntriesEnd(&Map->Cursor);
    const UCHAR *bytes = TakeImageField(&Map->Cursor, IMAGE_DATA_MAP_ENTRY_SIZE);
    if (bytes == NULL)
        return STATUS_FILE_CORRUPT_ERROR;
    Entry->ExtentNumber = ImageGet32(bytes + 0);
    Entry->SlotNumber = ImageGet32(bytes + 4);
    Entry->ExtentLength = ImageGet32(bytes + 8);
    Entry->StorageWord = ImageGet32(bytes + 12);
    Entry->Checksum = ImageGet64(bytes + 16);
    if ((LONGLONG)Entry->ExtentNumber <= Map->LastExtent)
        return STATUS_FILE_CORRUPT_ERROR;
    NTSTATUS status = CheckImageDataMapEntry(Entry, Map->FileSize, Map->HighWater);
    if (!NT_SUCCESS(status))
        return status;
    Map->LastExtent = Entry->ExtentNumber;
    Map->Next++;
    return STATUS_SUCCESS;
}

/* ParseImageDirectory: the directory's identifier and entry count; entries follow. */
NTSTATUS ParseImageDirectory(const IMAGE_RECORD *Record, PIMAGE_DIRECTORY Directory)
{
    RtlZeroMemory(Directory, sizeof(*Directory));
    InitializeImageFieldCursor(&Directory->Cursor, Record->Payload, Record->PayloadLength);
    const UCHAR *head = TakeImageField(&Directory->Cursor, IMAGE_DIRECTORY_HEAD_SIZE);
    if (Record->Type != IMAGE_RECORD_DIRECTORY || head == NULL)
        return STATUS_FILE_CORRUPT_ERROR;
    Directory->DirectoryId = ImageGet64(head);
    Directory->Count = ImageGet32(head + 8);
    return Directory->DirectoryId == 0 ? STATUS_FILE_CORRUPT_ERROR : STATUS_SUCCESS;
}

/*
 * CheckImageName: 2..510 bytes of UTF-16, even, without '\', '/' or NUL. The
 * names "." and ".." are refused as well: no directory holds them as entries.
 */
NTSTATUS CheckImageName(const UCHAR *Name, ULONG NameLength)
{
    if (NameLength < IMAGE_NAME_BYTES_MIN || NameLength > IMAGE_NAME_BYTES_MAX || NameLength % 2 != 0)
        return STATUS_FILE_CORRUPT_ERROR;
    ULONG dots = 0;
    for (ULONG i = 0; i < NameLength; i += 2) {
        USHORT unit = ImageGet16(Name + i);
        if (unit == L'\\' || unit == L'/' || unit == 0)
            return STATUS_FILE_CORRUPT_ERROR;
        dots += unit == L'.';
    }
    return dots * 2 == NameLength && dots <= 2 ? STATUS_FILE_CORRUPT_ERROR : STATUS_SUCCESS;
}

/* NextImageDirectoryEntry: the next entry, its name inside the record and checked. */
NTSTATUS NextImageDirectoryEntry(PIMAGE_DIRECTORY Directory, PIMAGE_DIRECTORY_ENTRY Entry)
{
    if (Directory->Next == Directory->Count)
        return CheckImageEntriesEnd(&Directory->Cursor);
    const UCHAR *head = TakeImageField(&Directory->Cursor, IMAGE_DIRECTORY_ENTRY_HEAD);
    if (head == NULL)
        return STATUS_FILE_CORRUPT_ERROR;
    Entry->ChildId = ImageGet64(head);
    Entry->NameLength = ImageGet16(head + 8);
    Entry->Name = TakeImageField(&Directory->Cursor, Entry->NameLength);
    if (Entry->Name == NULL || Entry->ChildId == 0)
        return STATUS_FILE_CORRUPT_ERROR;
    NTSTATUS status = CheckImageName(Entry->Name, Entry->NameLength);
    if (!NT_SUCCESS(status))
        return status;
    SkipImagePadding(&Directory->Cursor);
    Directory->Next++;
    return STATUS_SUCCESS;
}

/* ParseImageStreamEnd: the node-record and directory-entry counts. */
NTSTATUS ParseImageStreamEnd(const IMAGE_RECORD *Record, PULONGLONG NodeCount, PULONGLONG EntryCount)
{
    if (Record->Type != IMAGE_RECORD_STREAM_END || Record->PayloadLength < IMAGE_STREAM_END_SIZE)
        return STATUS_FILE_CORRUPT_ERROR;
    *NodeCount = ImageGet64(Record->Payload);
    *EntryCount = ImageGet64(Record->Payload + 8);
    return STATUS_SUCCESS;
}
