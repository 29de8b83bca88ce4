/*
 * Image file format routines: header copies, the metadata stream's writer and
 * reader, slot geometry. None does I/O; every one works on its caller's buffers
 * and runs at any IRQL.
 *
 * Statuses: a copy or a stream that breaks the format's rules is
 * STATUS_FILE_CORRUPT_ERROR; a stored checksum that does not match is
 * STATUS_CRC_ERROR; what this format version refuses (a reserved node flag or
 * sub-record, another system's writer) is STATUS_INVALID_DEVICE_REQUEST.
 */
#pragma once

/* image_geometry.cpp */
NTSTATUS CheckImageSectorSize(ULONG Reported, PULONG SectorSize);
ULONGLONG ImageSlotOffset(ULONG SlotNumber);
ULONG ImageWrittenLength(ULONG StoredLength, ULONG SectorSize);
BOOLEAN ImageSlotInsideFile(ULONG SlotNumber, ULONG StoredLength, ULONG SectorSize, ULONGLONG FileSize);
ULONG ImageStreamPieceCount(ULONGLONG StreamLength);
VOID InitializeImageSlotClaims(PIMAGE_SLOT_CLAIMS Claims, PULONGLONG Words, ULONGLONG HighWater);
SIZE_T ImageSlotClaimWords(ULONGLONG HighWater);
NTSTATUS ClaimImageSlot(PIMAGE_SLOT_CLAIMS Claims, ULONG SlotNumber);

/* image_header.cpp */
VOID BuildImageHeaderCopy(PCIMAGE_HEADER Header, PUCHAR Copy);
NTSTATUS CheckImageHeaderCopy(const UCHAR *Copy, SIZE_T Length, PULONGLONG Generation);
VOID ParseImageHeaderCopy(const UCHAR *Copy, PIMAGE_HEADER Header);
NTSTATUS ChooseImageHeaderCopy(const UCHAR *Copy0, SIZE_T Length0, const UCHAR *Copy1, SIZE_T Length1,
                               PULONG Active, PIMAGE_HEADER Header);
NTSTATUS CheckImageHeaderContents(PCIMAGE_HEADER Header, PIMAGE_SLOT_CLAIMS Claims);
NTSTATUS CheckImageNextNodeId(PCIMAGE_HEADER Header, ULONGLONG LargestNodeId);
NTSTATUS NextImageGeneration(ULONGLONG Committed, PULONGLONG Next);

/* stream_writer.cpp */
VOID InitializeImageStreamWriter(PIMAGE_STREAM_WRITER Writer, PUCHAR Buffer, SIZE_T Capacity);
NTSTATUS OpenImageRecord(PIMAGE_STREAM_WRITER Writer, ULONG Type);
NTSTATUS AppendImageBytes(PIMAGE_STREAM_WRITER Writer, const VOID *Bytes, SIZE_T Length);
NTSTATUS CloseImageRecord(PIMAGE_STREAM_WRITER Writer);
NTSTATUS AppendImageRecord(PIMAGE_STREAM_WRITER Writer, ULONG Type, const VOID *Payload, ULONG Length);
NTSTATUS AppendImageSecurityTableHead(PIMAGE_STREAM_WRITER Writer, ULONG Count);
NTSTATUS AppendImageSecurityEntry(PIMAGE_STREAM_WRITER Writer, const VOID *Descriptor, ULONG Length);
NTSTATUS AppendImageNodeFixed(PIMAGE_STREAM_WRITER Writer, PCIMAGE_NODE_RECORD Node);
NTSTATUS AppendImageDataMapHead(PIMAGE_STREAM_WRITER Writer, ULONG Count);
NTSTATUS AppendImageDataMapEntry(PIMAGE_STREAM_WRITER Writer, PCIMAGE_DATA_MAP_ENTRY Entry);
NTSTATUS AppendImageDirectoryHead(PIMAGE_STREAM_WRITER Writer, ULONGLONG DirectoryId, ULONG Count);
NTSTATUS AppendImageDirectoryEntry(PIMAGE_STREAM_WRITER Writer, ULONGLONG ChildId, const WCHAR *Name,
                                   USHORT NameLength);
NTSTATUS AppendImageStreamEnd(PIMAGE_STREAM_WRITER Writer, ULONGLONG NodeCount, ULONGLONG EntryCount);

/* stream_reader.cpp */
VOID InitializeImageStreamReader(PIMAGE_STREAM_READER Reader, const UCHAR *Buffer, SIZE_T Length);
NTSTATUS ReadImageRecord(PIMAGE_STREAM_READER Reader, PIMAGE_RECORD Record, PBOOLEAN End);
NTSTATUS CheckImageRecordType(ULONG Type, PBOOLEAN Skip);
NTSTATUS ParseImageSecurityTable(const IMAGE_RECORD *Record, PIMAGE_SECURITY_TABLE Table);
NTSTATUS NextImageSecurityEntry(PIMAGE_SECURITY_TABLE Table, const UCHAR **Descriptor, PULONG Length);
NTSTATUS ParseImageNodeRecord(const IMAGE_RECORD *Record, PIMAGE_NODE_RECORD Node, PIMAGE_STREAM_READER SubRecords);
NTSTATUS CheckImageNodeRecord(PCIMAGE_NODE_RECORD Node, ULONG SecurityCount);
NTSTATUS CheckImageSubRecordType(ULONG Type);
NTSTATUS ParseImageDataMap(const IMAGE_RECORD *Record, PCIMAGE_NODE_RECORD Node, ULONGLONG HighWater,
                           PIMAGE_DATA_MAP Map);
NTSTATUS NextImageDataMapEntry(PIMAGE_DATA_MAP Map, PIMAGE_DATA_MAP_ENTRY Entry);
NTSTATUS CheckImageDataMapEntry(PCIMAGE_DATA_MAP_ENTRY Entry, ULONGLONG FileSize, ULONGLONG HighWater);
NTSTATUS ParseImageDirectory(const IMAGE_RECORD *Record, PIMAGE_DIRECTORY Directory);
NTSTATUS NextImageDirectoryEntry(PIMAGE_DIRECTORY Directory, PIMAGE_DIRECTORY_ENTRY Entry);
NTSTATUS CheckImageName(const UCHAR *Name, ULONG NameLength);
NTSTATUS ParseImageStreamEnd(const IMAGE_RECORD *Record, PULONGLONG NodeCount, PULONGLONG EntryCount);

/* Little-endian fields, moved byte by byte: disk bytes are never overlaid by a record. */
FORCEINLINE USHORT ImageGet16(const UCHAR *Bytes)
{
    return (USHORT)(Bytes[0] | (Bytes[1] << 8));
}
FORCEINLINE ULONG ImageGet32(const UCHAR *Bytes)
{
    return (ULONG)Bytes[0] | ((ULONG)Bytes[1] << 8) | ((ULONG)Bytes[2] << 16) | ((ULONG)Bytes[3] << 24);
}
FORCEINLINE ULONGLONG ImageGet64(const UCHAR *Bytes)
{
    return (ULONGLONG)ImageGet32(Bytes) | ((ULONGLONG)ImageGet32(Bytes + 4) << 32);
}
FORCEINLINE VOID ImagePut16(PUCHAR Bytes, USHORT Value)
{
    Bytes[0] = (UCHAR)Value;
    Bytes[1] = (UCHAR)(Value >> 8);
}
FORCEINLINE VOID ImagePut32(PUCHAR Bytes, ULONG Value)
{
    for (ULONG i = 0; i < 4; ++i)
        Bytes[i] = (UCHAR)(Value >> (8 * i));
}
FORCEINLINE VOID ImagePut64(PUCHAR Bytes, ULONGLONG Value)
{
    ImagePut32(Bytes, (ULONG)Value);
    ImagePut32(Bytes + 4, (ULONG)(Value >> 32));
}

/* persistence_error.cpp */
VOID RecordPersistenceError(NTSTATUS Status, ULONG Operation, ULONG Stage, PCUNICODE_STRING Path, PCWSTR Message);

/* image_slot_table.cpp */
VOID FreeImageSlotTable(PIMAGE_SLOT_TABLE Table);
NTSTATUS EnsureImageSlotTable(PIMAGE_SLOT_TABLE Table, ULONGLONG Slots);
BOOLEAN ImageSlotUsed(const IMAGE_SLOT_TABLE *Table, ULONG Slot);
VOID MarkImageSlot(PIMAGE_SLOT_TABLE Table, ULONG Slot, const IMAGE_SLOT_RECORD *Record);
VOID ReplaceImageSlotTable(PIMAGE_SLOT_TABLE Target, PIMAGE_SLOT_TABLE Source);

/* image_file.cpp: I/O on a bound image file (PASSIVE_LEVEL). */
NTSTATUS ReadImageFile(PIMAGE_BINDING Binding, ULONGLONG Offset, PVOID Buffer, ULONG Length, PULONG Read);
NTSTATUS WriteImageFile(PIMAGE_BINDING Binding, ULONGLONG Offset, const VOID *Buffer, ULONG Length);
NTSTATUS FlushImageFile(PIMAGE_BINDING Binding);
NTSTATUS ZeroImageRange(PIMAGE_BINDING Binding, ULONGLONG From, ULONGLONG To);
NTSTATUS QueryImageFileSize(PIMAGE_BINDING Binding, PULONGLONG Size);
NTSTATUS ReadImageHeaderCopies(PIMAGE_BINDING Binding, PUCHAR Staging, PULONG Active, PIMAGE_HEADER Header);

/* image_binding.cpp (PASSIVE_LEVEL, no lock held) */
NTSTATUS BindImage(PCWSTR Path, BOOLEAN UserMode, BOOLEAN Overwrite, PIMAGE_BINDING *Binding,
                   PIMAGE_LOADED_VALUES Loaded);
VOID CloseImageBinding(PIMAGE_BINDING Binding);

/* save_serialize.cpp: the save's walk and its stream (see image_save.cpp for the context). */
VOID FreeSaveWriter(PIMAGE_STREAM_WRITER Writer);
VOID FreeSavedDescriptors(PIMAGE_SAVE Save);
NTSTATUS TakeNewImageSlot(PIMAGE_SAVE Save, const IMAGE_SLOT_RECORD *Record, PULONG Slot);
NTSTATUS WriteImageSlot(PIMAGE_SAVE Save, ULONG Slot, const UCHAR *Source, ULONG Length, ULONG Readable);
NTSTATUS SerializeTree(PIMAGE_SAVE Save);
NTSTATUS AssembleImageStream(PIMAGE_SAVE Save, PIMAGE_STREAM_WRITER Stream);

/* image_save.cpp: saves a volume (PASSIVE_LEVEL, the volume Busy for its caller). */
NTSTATUS SaveVolumeImage(struct _VOLUME_DEVICE_RECORD *Vdr, struct _VCB *Vcb, PCWSTR NewPath, BOOLEAN UserMode);

/* image_load.cpp: loads the committed image of a volume being mounted (PASSIVE_LEVEL). */
NTSTATUS LoadVolumeImage(struct _VCB *Vcb, PIMAGE_BINDING Binding);

/* load_stream.cpp: the walk over a loaded metadata stream. */
NTSTATUS WalkImageStream(PIMAGE_LOAD Load);

/* load_data.cpp: a file's size and data from its data map (each takes the node's resources as it needs them). */
NTSTATUS SizeLoadedFile(PFCB Fcb, ULONGLONG FileSize, BOOLEAN ExtentForm);
NTSTATUS LoadDataMap(PIMAGE_LOAD Load, PFCB Fcb, PCIMAGE_NODE_RECORD Node, const IMAGE_RECORD *Record);
NTSTATUS ReadImageSlot(PIMAGE_LOAD Load, ULONG Slot, ULONG Length, PUCHAR Buffer);

/* load_node_table.cpp: the nodes a load made. */
NTSTATUS AddLoadedNode(PIMAGE_LOAD Load, ULONGLONG NodeId, PFCB Fcb, ULONG LinkCount);
NTSTATUS SortLoadedNodes(PIMAGE_LOAD Load);
PIMAGE_LOAD_NODE FindLoadedNode(PIMAGE_LOAD Load, ULONGLONG NodeId);
NTSTATUS JoinLoadedDirectory(PIMAGE_LOAD Load, PIMAGE_LOAD_NODE Parent, PIMAGE_LOAD_NODE Child);
NTSTATUS CheckLoadedReachability(PIMAGE_LOAD Load);
VOID ReleaseLoadedNodes(PIMAGE_LOAD Load, BOOLEAN Destroy);
