/*
 * A loaded file's data: its size and tier, and each stored extent of its data
 * map read from its image slot into the store. Raw extents go through the
 * store's own write path (which picks the tier and leaves zeros as holes);
 * compressed ones stay compressed and are attached as they were stored. Either
 * way the extent ends clean: its image word names the slot it came from, its
 * modified bit clear, so that the next save reuses the slot.
 *
 * PASSIVE_LEVEL, the volume's charge suspended. No lock is held across a read
 * of the image file: each extent is read first and installed afterwards under
 * the node's main and paging resources.
 */
#include "vorel.h"

#define PAGE_BYTES 4096u

/*
 * ReadImageSlot: the first Length bytes (1..2 MiB) of Slot into Buffer (page-
 * aligned, with room for Length rounded up to the sector size), read whole
 * sectors as an unbuffered file needs. Returns STATUS_FILE_CORRUPT_ERROR when
 * the file holds fewer than Length bytes there, or the read's status.
 */
NTSTATUS ReadImageSlot(PIMAGE_LOAD Load, ULONG Slot, ULONG Length, PUCHAR Buffer)
{
    PIMAGE_BINDING binding = Load->Binding;
    ULONG read = 0;
    NTSTATUS status = ReadImageFile(binding, ImageSlotOffset(Slot), Buffer,
                                    ImageWrittenLength(Length, binding->SectorSize), &read);
    if (!NT_SUCCESS(status))
        return status;
    return read >= Length ? STATUS_SUCCESS : STATUS_FILE_CORRUPT_ERROR;
}

/* LockNodeData: the node's main and paging resources, exclusively, in a critical region. */
static VOID LockNodeData(PFCB Fcb)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Fcb->MainResource, TRUE);
    ExAcquireResourceExclusiveLite(&Fcb->PagingIoResource, TRUE);
}

static VOID UnlockNodeData(PFCB Fcb)
{
    ExReleaseResourceLite(&Fcb->PagingIoResource);
    ExReleaseResourceLite(&Fcb->MainResource);
    KeLeaveCriticalRegion();
}

/*
 * SizeLoadedFile: the file takes its recorded size before any data arrives, in
 * the extent form when ExtentForm (made while the file is still empty, so it
 * holds no memory yet), else in a slot or single buffer sized for it. Takes
 * the node's resources. Returns the store's status.
 */
NTSTATUS SizeLoadedFile(PFCB Fcb, ULONGLONG FileSize, BOOLEAN ExtentForm)
{
    NTSTATUS status = STATUS_SUCCESS;
    LockNodeData(Fcb);
    if (ExtentForm && Fcb->Data.Extents == NULL)
        status = ConvertToExtentTable(Fcb, FALSE);
    if (NT_SUCCESS(status))
        status = SetDataSize(Fcb, FileSize);
    RecomputeHeaderSizes(Fcb);
    UnlockNodeData(Fcb);
    return status;
}

/* EntryCodec: a data map entry's codec (0 when stored raw). */
static ULONG EntryCodec(PCIMAGE_DATA_MAP_ENTRY Entry)
{
    return (Entry->StorageWord & IMAGE_STORED_CODEC_MASK) >> IMAGE_STORED_CODEC_SHIFT;
}

/* StoredLengthOf: the bytes an entry's slot holds. */
static ULONG StoredLengthOf(PCIMAGE_DATA_MAP_ENTRY Entry)
{
    return EntryCodec(Entry) == CODEC_NONE ? Entry->ExtentLength : Entry->StorageWord & IMAGE_STORED_LENGTH_MASK;
}

/*
 * ReadStoredExtent: an entry's stored bytes into the transfer buffer, checked
 * against the entry's checksum when the image carries them (else
 * STATUS_CRC_ERROR).
 */
static NTSTATUS ReadStoredExtent(PIMAGE_LOAD Load, PCIMAGE_DATA_MAP_ENTRY Entry)
{
    ULONG stored = StoredLengthOf(Entry);
    NTSTATUS status = ReadImageSlot(Load, Entry->SlotNumber, stored, Load->Transfer);
    if (!NT_SUCCESS(status))
        return status;
    if (Load->Binding->Checksums && HashBytes(Load->Transfer, stored) != Entry->Checksum)
        return STATUS_CRC_ERROR;
    return STATUS_SUCCESS;
}

/* ClaimDataSlot: the entry's slot is claimed for it and recorded in the loaded slot table. */
static NTSTATUS ClaimDataSlot(PIMAGE_LOAD Load, PCIMAGE_DATA_MAP_ENTRY Entry)
{
    NTSTATUS status = ClaimImageSlot(&Load->Claims, Entry->SlotNumber);
    if (!NT_SUCCESS(status))
        return status;
    IMAGE_SLOT_RECORD record;
    record.Checksum = Entry->Checksum;
    record.StoredLength = StoredLengthOf(Entry);
    record.StorageWord = Entry->StorageWord;
    MarkImageSlot(&Load->Slots, Entry->SlotNumber, &record);
    return STATUS_SUCCESS;
}

/*
 * ExtentIsFresh: whether extent Index of the file has neither data nor an image
 * word yet (a slot or single buffer counts as extent 0: it may hold the memory
 * of the file's size, but no word).
 */
static BOOLEAN ExtentIsFresh(PFCB Fcb, ULONG Index)
{
    PFCB_DATA data = &Fcb->Data;
    if (data->Extents == NULL)
        return Index != 0 || data->SingleImageWord == 0;
    if (Index >= data->ExtentCapacity)
        return TRUE;
    PEXTENT_ENTRY entry = &data->Extents[Index];
    return entry->Data == NULL && entry->Compressed == NULL && entry->ImageWord == 0;
}

/*
 * LoadRawExtent (node resources held): the stored bytes in the transfer buffer become the file's
 * bytes at the extent, through the store's write path; then the extent, or the
 * slot or single buffer that holds it, remembers the slot, clean, and carries
 * the cold mark the entry gives.
 */
static NTSTATUS LoadRawExtent(PIMAGE_LOAD Load, PFCB Fcb, PCIMAGE_DATA_MAP_ENTRY Entry)
{
    PFCB_DATA data = &Fcb->Data;
    if (!ExtentIsFresh(Fcb, Entry->ExtentNumber))
        return STATUS_FILE_CORRUPT_ERROR;
    ULONGLONG start = (ULONGLONG)Entry->ExtentNumber << IMAGE_SLOT_SHIFT;
    NTSTATUS status = WriteData(Fcb, start, Load->Transfer, Entry->ExtentLength);
    if (!NT_SUCCESS(status))
        return status;
    ULONG word = Entry->SlotNumber + 1;
    if (data->Extents == NULL) {
        data->SingleImageWord = word;
        return STATUS_SUCCESS;
    }
    if (Entry->ExtentNumber >= data->ExtentCapacity)
        return STATUS_SUCCESS;      /* zeros past the table: a hole, which no save stores */
    PEXTENT_ENTRY entry = &data->Extents[Entry->ExtentNumber];
    entry->ImageWord = word;
    if ((Entry->StorageWord & IMAGE_STORED_COLD) != 0 && entry->Data != NULL)
        entry->Flags |= EXTENT_COLD;
    return STATUS_SUCCESS;
}

/*
 * MakeLoadedForm: a compressed-extent holder for the stored bytes in the
 * transfer buffer, in pages of the volume's store zero-padded to the page, with
 * the checksums of its sub-blocks taken from those bytes. A form that does not
 * match the extent it claims to hold is corrupt.
 */
static NTSTATUS MakeLoadedForm(PIMAGE_LOAD Load, PFCB Fcb, PCIMAGE_DATA_MAP_ENTRY Entry,
                               PCOMPRESSED_EXTENT *Result)
{
    ULONG codec = EntryCodec(Entry);
    ULONG stored = StoredLengthOf(Entry);
    SIZE_T size = CompressedExtentSize(SubBlockCountOf(codec, Entry->ExtentLength));
    if (size == 0)
        return STATUS_FILE_CORRUPT_ERROR;
    PCOMPRESSED_EXTENT form = (PCOMPRESSED_EXTENT)AllocateZeroed(size, TAG_COMPRESSED_EXTENT, NonPagedPoolNx);
    if (form == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = AllocateChunk(Fcb->Data.Volume, ALIGN_UP_BY(stored, PAGE_BYTES), 0, stored, FALSE, FALSE,
                                    &form->Pages);
    if (!NT_SUCCESS(status)) {
        VorelData.FreePool(form, TAG_COMPRESSED_EXTENT);
        return status;
    }
    RtlCopyMemory(form->Pages->Base, Load->Transfer, stored);
    form->StoredLength = stored;
    form->ExtentLength = Entry->ExtentLength;
    form->Codec = (UCHAR)codec;
    form->SubBlockCount = SubBlockCountOf(codec, Entry->ExtentLength);
    if (!NT_SUCCESS(SumCompressedExtent(form))) {
        FreeCompressedExtent(form);
        return STATUS_FILE_CORRUPT_ERROR;
    }
    *Result = form;
    return STATUS_SUCCESS;
}

/*
 * LoadCompressedExtent (node resources held): the stored form in the transfer buffer becomes the
 * extent's compressed form, charged at its extent length, without decoding. The
 * file is in the extent form already (SizeLoadedFile saw the entry); a shorter
 * extent is the file's partial tail.
 */
static NTSTATUS LoadCompressedExtent(PIMAGE_LOAD Load, PFCB Fcb, PCIMAGE_DATA_MAP_ENTRY Entry)
{
    PFCB_DATA data = &Fcb->Data;
    ULONG index = Entry->ExtentNumber;
    if (data->Extents == NULL)
        return STATUS_FILE_CORRUPT_ERROR;
    NTSTATUS status = GrowExtentTable(Fcb, (ULONGLONG)index + 1);
    if (!NT_SUCCESS(status))
        return status;
    if (!ExtentIsFresh(Fcb, index))
        return STATUS_FILE_CORRUPT_ERROR;
    if (WouldExceedVolumeSize(Fcb, Entry->ExtentLength))
        return STATUS_DISK_FULL;
    PCOMPRESSED_EXTENT form;
    status = MakeLoadedForm(Load, Fcb, Entry, &form);
    if (!NT_SUCCESS(status))
        return status;

    PEXTENT_ENTRY entry = &data->Extents[index];
    form->Pages->Charged = Entry->ExtentLength;
    AddCharge(data->Volume, Entry->ExtentLength);
    AttachCompressedForm(Fcb, entry, form);
    data->Capacity += Entry->ExtentLength;
    if (Entry->ExtentLength < EXTENT_SIZE) {
        data->PartialExtentPending = TRUE;
        data->PartialExtentIndex = index;
    }
    entry->ImageWord = Entry->SlotNumber + 1;
    entry->LastAccess = ExtentAccessTime();
    return STATUS_SUCCESS;
}

/*
 * LoadDataMapEntry: one checked entry: its slot claimed, its bytes read, then
 * installed under the node's resources.
 */
static NTSTATUS LoadDataMapEntry(PIMAGE_LOAD Load, PFCB Fcb, PCIMAGE_DATA_MAP_ENTRY Entry)
{
    NTSTATUS status = ClaimDataSlot(Load, Entry);
    if (NT_SUCCESS(status))
        status = ReadStoredExtent(Load, Entry);
    if (!NT_SUCCESS(status))
        return status;
    LockNodeData(Fcb);
    status = EntryCodec(Entry) == CODEC_NONE ? LoadRawExtent(Load, Fcb, Entry) : LoadCompressedExtent(Load, Fcb, Entry);
    UnlockNodeData(Fcb);
    return status;
}

/*
 * LoadDataMap: a node's data map sub-record. A file is sized first: in the
 * extent form when it is larger than one extent or its first stored extent is
 * compressed (a file of one extent has at most that one entry). Then every
 * entry is loaded in order. Returns STATUS_FILE_CORRUPT_ERROR for a map or
 * entry that breaks a rule, STATUS_CRC_ERROR for stored bytes that do not match
 * their checksum, or the read's or the store's status.
 */
NTSTATUS LoadDataMap(PIMAGE_LOAD Load, PFCB Fcb, PCIMAGE_NODE_RECORD Node, const IMAGE_RECORD *Record)
{
    IMAGE_DATA_MAP map;
    NTSTATUS status = ParseImageDataMap(Record, Node, Load->SlotLimit, &map);
    if (!NT_SUCCESS(status) || Fcb->IsDirectory)
        return status;

    IMAGE_DATA_MAP peek = map;
    IMAGE_DATA_MAP_ENTRY entry;
    BOOLEAN extentForm = Node->FileSize > EXTENT_SIZE ||
                         (NextImageDataMapEntry(&peek, &entry) == STATUS_SUCCESS && EntryCodec(&entry) != CODEC_NONE);
    status = SizeLoadedFile(Fcb, Node->FileSize, extentForm);
    if (!NT_SUCCESS(status))
        return status;
    while ((status = NextImageDataMapEntry(&map, &entry)) == STATUS_SUCCESS) {
        status = LoadDataMapEntry(Load, Fcb, &entry);
        if (!NT_SUCCESS(status))
            return status;
    }
    return status == STATUS_NO_MORE_ENTRIES ? STATUS_SUCCESS : status;
}
