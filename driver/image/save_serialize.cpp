/*
 * The save's walk: every node of the tree into a node record, every changed
 * data extent into a slot of the image file, every directory into a directory
 * record. Unchanged extents keep the slots the committed image stores them in.
 *
 * Runs with the volume held and its tree resource exclusive (no name can come
 * or go); each node is serialized under its main resource shared and its paging
 * resource exclusive, so neither a write nor the compression worker changes its
 * data meanwhile. Statuses: STATUS_INSUFFICIENT_RESOURCES for memory, the image
 * file's own status for a failed write, STATUS_DISK_FULL when a write is short or
 * the slot numbers run out, STATUS_FILE_TOO_LARGE when the stream would not fit.
 */
#include "vorel.h"

#define SAVE_WRITER_INITIAL     0x10000u
#define SAVE_DESCRIPTORS_INITIAL 64u
#define NODE_RECORD_SLACK       64u         /* record and sub-record heads and padding */

/*
 * EnsureWriterRoom: the writer can take Bytes more (no record open). Grows its
 * buffer by doubling; the stream's limit caps it.
 */
static NTSTATUS EnsureWriterRoom(PIMAGE_STREAM_WRITER Writer, SIZE_T Bytes)
{
    if (Writer->Capacity - Writer->Length >= Bytes)
        return STATUS_SUCCESS;
    if (Bytes > IMAGE_STREAM_LENGTH_MAX || Writer->Length + Bytes > IMAGE_STREAM_LENGTH_MAX)
        return STATUS_FILE_TOO_LARGE;
    SIZE_T capacity = max(Writer->Capacity, (SIZE_T)SAVE_WRITER_INITIAL);
    while (capacity - Writer->Length < Bytes)
        capacity *= 2;
    PUCHAR buffer = (PUCHAR)VorelData.AllocatePool(capacity, TAG_IMAGE_STREAM, PagedPool);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (Writer->Length != 0)
        RtlCopyMemory(buffer, Writer->Buffer, Writer->Length);
    if (Writer->Buffer != NULL)
        VorelData.FreePool(Writer->Buffer, TAG_IMAGE_STREAM);
    Writer->Buffer = buffer;
    Writer->Capacity = capacity;
    return STATUS_SUCCESS;
}

/* FreeSaveWriter: gives back a writer's buffer. */
VOID FreeSaveWriter(PIMAGE_STREAM_WRITER Writer)
{
    FreeAndClear((PVOID *)&Writer->Buffer, TAG_IMAGE_STREAM);
    Writer->Capacity = Writer->Length = 0;
}

/* FreeSavedDescriptors: the descriptor table and every copy in it. */
VOID FreeSavedDescriptors(PIMAGE_SAVE Save)
{
    for (ULONG i = 0; i < Save->DescriptorCount; ++i)
        VorelData.FreePool(Save->Descriptors[i].Bytes, TAG_IMAGE_STREAM);
    FreeAndClear((PVOID *)&Save->Descriptors, TAG_IMAGE_STREAM);
    FreeAndClear((PVOID *)&Save->DescriptorIndex, TAG_IMAGE_STREAM);
    Save->DescriptorCount = Save->DescriptorCapacity = 0;
}

/* GrowSavedDescriptors: twice the room (64 at first), the index rebuilt. */
static NTSTATUS GrowSavedDescriptors(PIMAGE_SAVE Save)
{
    ULONG capacity = Save->DescriptorCapacity == 0 ? SAVE_DESCRIPTORS_INITIAL : Save->DescriptorCapacity * 2;
    PIMAGE_SAVED_DESCRIPTOR entries = (PIMAGE_SAVED_DESCRIPTOR)AllocateZeroed(
        capacity * sizeof(IMAGE_SAVED_DESCRIPTOR), TAG_IMAGE_STREAM, PagedPool);
    PULONG index = (PULONG)AllocateZeroed(2 * capacity * sizeof(ULONG), TAG_IMAGE_STREAM, PagedPool);
    if (entries == NULL || index == NULL) {
        FreeAndClear((PVOID *)&entries, TAG_IMAGE_STREAM);
        FreeAndClear((PVOID *)&index, TAG_IMAGE_STREAM);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (Save->DescriptorCount != 0)
        RtlCopyMemory(entries, Save->Descriptors, Save->DescriptorCount * sizeof(IMAGE_SAVED_DESCRIPTOR));
    for (ULONG i = 0; i < Save->DescriptorCount; ++i) {
        ULONG cell = (ULONG)entries[i].Hash & (2 * capacity - 1);
        while (index[cell] != 0)
            cell = (cell + 1) & (2 * capacity - 1);
        index[cell] = i + 1;
    }
    FreeAndClear((PVOID *)&Save->Descriptors, TAG_IMAGE_STREAM);
    FreeAndClear((PVOID *)&Save->DescriptorIndex, TAG_IMAGE_STREAM);
    Save->Descriptors = entries;
    Save->DescriptorIndex = index;
    Save->DescriptorCapacity = capacity;
    return STATUS_SUCCESS;
}

/*
 * SecurityIndexOf: the number of Descriptor in the save's table, found by hash,
 * length and bytes, or added (copied) when new.
 */
static NTSTATUS SecurityIndexOf(PIMAGE_SAVE Save, const VOID *Descriptor, ULONG Length, PULONG Index)
{
    ULONGLONG hash = HashBytes(Descriptor, Length);
    if (Save->DescriptorCount == Save->DescriptorCapacity) {
        NTSTATUS status = GrowSavedDescriptors(Save);
        if (!NT_SUCCESS(status))
            return status;
    }
    ULONG mask = 2 * Save->DescriptorCapacity - 1;
    ULONG cell = (ULONG)hash & mask;
    for (; Save->DescriptorIndex[cell] != 0; cell = (cell + 1) & mask) {
        PIMAGE_SAVED_DESCRIPTOR entry = &Save->Descriptors[Save->DescriptorIndex[cell] - 1];
        if (entry->Hash == hash && entry->Length == Length &&
            RtlCompareMemory(entry->Bytes, Descriptor, Length) == Length) {
            *Index = Save->DescriptorIndex[cell] - 1;
            return STATUS_SUCCESS;
        }
    }
    SIZE_T payload = ALIGN_UP_BY((SIZE_T)Length, IMAGE_RECORD_ALIGNMENT) + 8;
    if (Save->DescriptorBytes + payload > IMAGE_STREAM_LENGTH_MAX)
        return STATUS_FILE_TOO_LARGE;
    PUCHAR copy = (PUCHAR)VorelData.AllocatePool(Length, TAG_IMAGE_STREAM, PagedPool);
    if (copy == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(copy, Descriptor, Length);
    PIMAGE_SAVED_DESCRIPTOR entry = &Save->Descriptors[Save->DescriptorCount];
    entry->Hash = hash;
    entry->Length = Length;
    entry->Bytes = copy;
    Save->DescriptorIndex[cell] = ++Save->DescriptorCount;
    Save->DescriptorBytes += payload;
    *Index = Save->DescriptorCount - 1;
    return STATUS_SUCCESS;
}

/*
 * TakeNewImageSlot: the lowest slot at or above the cursor that neither the
 * committed image nor this save uses; claimed for this save. STATUS_DISK_FULL
 * when the slot numbers run out.
 */
NTSTATUS TakeNewImageSlot(PIMAGE_SAVE Save, const IMAGE_SLOT_RECORD *Record, PULONG Slot)
{
    const IMAGE_SLOT_TABLE *committed = &Save->Binding->CommittedSlots;
    ULONG slot = Save->Cursor;
    while (slot < IMAGE_SLOT_LIMIT &&
           (ImageSlotUsed(committed, slot) || ImageSlotUsed(&Save->Claimed, slot)))
        slot++;
    if (slot >= IMAGE_SLOT_LIMIT)
        return STATUS_DISK_FULL;
    NTSTATUS status = EnsureImageSlotTable(&Save->Claimed, (ULONGLONG)slot + 1);
    if (!NT_SUCCESS(status))
        return status;
    MarkImageSlot(&Save->Claimed, slot, Record);
    Save->Cursor = slot + 1;
    *Slot = slot;
    return STATUS_SUCCESS;
}

/*
 * WriteImageSlot: Length stored bytes into a slot, rounded up to the sector
 * size. Bytes readable at Source beyond Length (Readable in all, page-aligned
 * Source) let the write go straight from memory; otherwise the bytes pass
 * through the transfer buffer, zero-padded.
 */
NTSTATUS WriteImageSlot(PIMAGE_SAVE Save, ULONG Slot, const UCHAR *Source, ULONG Length, ULONG Readable)
{
    PIMAGE_BINDING binding = Save->Binding;
    ULONG written = ImageWrittenLength(Length, binding->SectorSize);
    const UCHAR *from = Source;
    if (Readable < written || ((ULONG_PTR)Source & (PAGE_SIZE - 1)) != 0) {
        RtlCopyMemory(Save->Transfer, Source, Length);
        RtlZeroMemory(Save->Transfer + Length, written - Length);
        from = Save->Transfer;
    }
    NTSTATUS status = WriteImageFile(binding, ImageSlotOffset(Slot), from, written);
    if (!NT_SUCCESS(status))
        return status;
    Save->Statistics.SlotsWritten++;
    Save->Statistics.BytesWritten += written;
    return STATUS_SUCCESS;
}

/* One extent of a file as the save sees it. */
typedef struct _SAVED_EXTENT {
    ULONG Number;
    const UCHAR *Bytes;             /* the stored bytes */
    ULONG Readable;                 /* bytes readable at Bytes */
    ULONG StoredLength;
    ULONG ExtentLength;
    ULONG StorageWord;
    volatile ULONG *ImageWord;
} SAVED_EXTENT, *PSAVED_EXTENT;

/*
 * ReuseStoredExtent: whether the extent's remembered slot still holds exactly
 * what it would write: clean since stored, a slot of the committed image not
 * yet claimed by this save, with the same length and storage word (the cold
 * mark aside). On reuse the slot is claimed again and Entry gets its checksum.
 */
static NTSTATUS ReuseStoredExtent(PIMAGE_SAVE Save, PSAVED_EXTENT Extent, PIMAGE_DATA_MAP_ENTRY Entry,
                                  PBOOLEAN Reused)
{
    *Reused = FALSE;
    ULONG word = *Extent->ImageWord;
    if (Save->Full || (word & IMAGE_WORD_MODIFIED) != 0 || word == 0)
        return STATUS_SUCCESS;
    ULONG slot = (word & ~IMAGE_WORD_MODIFIED) - 1;
    const IMAGE_SLOT_TABLE *committed = &Save->Binding->CommittedSlots;
    if (!ImageSlotUsed(committed, slot) || ImageSlotUsed(&Save->Claimed, slot)) {
        Save->Statistics.ReuseMismatches++;
        return STATUS_SUCCESS;
    }
    const IMAGE_SLOT_RECORD *record = &committed->Records[slot];
    if (record->StoredLength != Extent->StoredLength ||
        ((record->StorageWord ^ Extent->StorageWord) & ~IMAGE_STORED_COLD) != 0) {
        Save->Statistics.ReuseMismatches++;
        return STATUS_SUCCESS;
    }
    NTSTATUS status = EnsureImageSlotTable(&Save->Claimed, (ULONGLONG)slot + 1);
    if (!NT_SUCCESS(status))
        return status;
    IMAGE_SLOT_RECORD kept = *record;
    kept.StorageWord = Extent->StorageWord;
    MarkImageSlot(&Save->Claimed, slot, &kept);
    Entry->SlotNumber = slot;
    Entry->Checksum = kept.Checksum;
    Save->Statistics.SlotsReused++;
    *Reused = TRUE;
    return STATUS_SUCCESS;
}

/*
 * StoreExtent: the data map entry of one extent: its remembered slot when it can
 * be reused, else a new slot written now. The extent then remembers its slot,
 * clean.
 */
static NTSTATUS StoreExtent(PIMAGE_SAVE Save, PSAVED_EXTENT Extent, PIMAGE_DATA_MAP_ENTRY Entry)
{
    RtlZeroMemory(Entry, sizeof(*Entry));
    Entry->ExtentNumber = Extent->Number;
    Entry->ExtentLength = Extent->ExtentLength;
    Entry->StorageWord = Extent->StorageWord;
    BOOLEAN reused;
    NTSTATUS status = ReuseStoredExtent(Save, Extent, Entry, &reused);
    if (!NT_SUCCESS(status) || reused)
        goto remember;

    IMAGE_SLOT_RECORD record;
    record.Checksum = Save->Binding->Checksums ? HashBytes(Extent->Bytes, Extent->StoredLength) : 0;
    record.StoredLength = Extent->StoredLength;
    record.StorageWord = Extent->StorageWord;
    status = TakeNewImageSlot(Save, &record, &Entry->SlotNumber);
    if (NT_SUCCESS(status))
        status = WriteImageSlot(Save, Entry->SlotNumber, Extent->Bytes, Extent->StoredLength, Extent->Readable);
    Entry->Checksum = record.Checksum;

remember:
    if (NT_SUCCESS(status))
        InterlockedExchange((volatile LONG *)Extent->ImageWord, (LONG)(Entry->SlotNumber + 1));
    return status;
}

/*
 * NextSavedExtent: the extent of Fcb at or after *Index that holds data and
 * starts inside the file, as the save stores it; FALSE when none is left.
 * Paging resource exclusive.
 */
static BOOLEAN NextSavedExtent(PFCB Fcb, PULONG Index, PSAVED_EXTENT Extent)
{
    PFCB_DATA data = &Fcb->Data;
    ULONGLONG fileSize = data->FileSize;
    RtlZeroMemory(Extent, sizeof(*Extent));
    if (data->Extents == NULL) {
        /* A slot or a single buffer: one extent numbered 0 of the file's size. */
        if (*Index != 0 || fileSize == 0 || data->DataBase == NULL)
            return FALSE;
        *Index = 1;
        Extent->Bytes = data->DataBase;
        Extent->Readable = data->SingleChunk != NULL ? data->SingleChunk->Size : (ULONG)fileSize;
        Extent->StoredLength = Extent->ExtentLength = (ULONG)fileSize;
        Extent->ImageWord = &data->SingleImageWord;
        return TRUE;
    }
    for (; *Index < data->ExtentCapacity; ++*Index) {
        PEXTENT_ENTRY entry = &data->Extents[*Index];
        ULONGLONG start = (ULONGLONG)*Index << EXTENT_SHIFT;
        if ((entry->Data == NULL && entry->Compressed == NULL) || start >= fileSize)
            continue;
        Extent->Number = *Index;
        Extent->ImageWord = &entry->ImageWord;
        PCOMPRESSED_EXTENT form = entry->Compressed;
        if (form != NULL) {
            Extent->Bytes = form->Pages->Base;
            Extent->Readable = form->Pages->Size;
            Extent->StoredLength = form->StoredLength;
            Extent->ExtentLength = form->ExtentLength;
            Extent->StorageWord = form->StoredLength | ((ULONG)form->Codec << IMAGE_STORED_CODEC_SHIFT);
        } else {
            Extent->Bytes = (const UCHAR *)entry->Data;
            Extent->Readable = entry->Chunk->Size;
            Extent->StoredLength = Extent->ExtentLength = (ULONG)min((ULONGLONG)entry->Size, fileSize - start);
            Extent->StorageWord = (entry->Flags & EXTENT_COLD) != 0 ? IMAGE_STORED_COLD : 0;
        }
        ++*Index;
        return TRUE;
    }
    return FALSE;
}

/*
 * CountSavedExtents: how many extents NextSavedExtent will hand out. An extent
 * wholly beyond the end of file is not stored and forgets its slot, so that it
 * cannot claim it once the file grows over it again. Paging resource exclusive.
 */
static ULONG CountSavedExtents(PFCB Fcb)
{
    PFCB_DATA data = &Fcb->Data;
    if (data->Extents == NULL)
        return data->FileSize != 0 && data->DataBase != NULL ? 1 : 0;
    ULONG count = 0;
    for (ULONG i = 0; i < data->ExtentCapacity; ++i) {
        PEXTENT_ENTRY entry = &data->Extents[i];
        if (entry->Data == NULL && entry->Compressed == NULL)
            continue;
        if (((ULONGLONG)i << EXTENT_SHIFT) < data->FileSize)
            count++;
        else
            InterlockedExchange((volatile LONG *)&entry->ImageWord, 0);
    }
    return count;
}

/* FillNodeRecord: the fixed part of a node's record. Main resource held. */
static NTSTATUS FillNodeRecord(PIMAGE_SAVE Save, PFCB Fcb, PIMAGE_NODE_RECORD Record)
{
    RtlZeroMemory(Record, sizeof(*Record));
    Record->NodeId = Fcb->IsRoot ? IMAGE_NODE_ROOT_ID : Fcb->NodeId;
    Record->FileSize = Fcb->IsDirectory ? 0 : Fcb->Data.FileSize;
    Record->AllocationSize = Fcb->IsDirectory ? 0 : ReportedAllocationSize(Fcb);
    Record->CreationTime = Fcb->CreationTime.QuadPart;
    Record->LastWriteTime = Fcb->LastWriteTime.QuadPart;
    Record->LastAccessTime = Fcb->LastAccessTime.QuadPart;
    Record->ChangeTime = Fcb->ChangeTime.QuadPart;
    Record->Attributes = (ULONG)Fcb->Attributes & IMAGE_NODE_ATTRIBUTE_MASK;
    Record->LinkCount = Fcb->IsDirectory ? 1 : Fcb->LinkCount;
    Record->SecurityIndex = IMAGE_NODE_NO_SECURITY;
    Record->Flags = (UCHAR)((Fcb->IsDirectory ? IMAGE_NODE_DIRECTORY : 0) | (Fcb->Sparse ? IMAGE_NODE_SPARSE : 0));
    if (Save->Vcb->NoSecurity || Fcb->SecurityDescriptor == NULL)
        return STATUS_SUCCESS;
    if (Fcb->DefaultSecurity)
        Record->Flags |= IMAGE_NODE_OWN_SECURITY;
    return SecurityIndexOf(Save, Fcb->SecurityDescriptor, Fcb->SecurityLength, &Record->SecurityIndex);
}

/*
 * SerializeNode: one node's record, its extended attributes, reparse data and
 * data map, its changed extents written to the image. Takes the node's main
 * resource shared and its paging resource exclusive.
 */
static NTSTATUS SerializeNode(PIMAGE_SAVE Save, PFCB Fcb)
{
    PIMAGE_STREAM_WRITER writer = &Save->Nodes;
    ExAcquireResourceSharedLite(&Fcb->MainResource, TRUE);
    ExAcquireResourceExclusiveLite(&Fcb->PagingIoResource, TRUE);

    IMAGE_NODE_RECORD record;
    ULONG extents = Fcb->IsDirectory ? 0 : CountSavedExtents(Fcb);
    SIZE_T bound = IMAGE_NODE_FIXED_SIZE + NODE_RECORD_SLACK + Fcb->EaLength + Fcb->ReparseLength +
                   IMAGE_DATA_MAP_HEAD_SIZE + (SIZE_T)extents * IMAGE_DATA_MAP_ENTRY_SIZE;
    NTSTATUS status = FillNodeRecord(Save, Fcb, &record);
    if (NT_SUCCESS(status))
        status = EnsureWriterRoom(writer, bound);
    if (NT_SUCCESS(status))
        status = OpenImageRecord(writer, IMAGE_RECORD_NODE);
    if (NT_SUCCESS(status))
        status = AppendImageNodeFixed(writer, &record);
    if (NT_SUCCESS(status) && Fcb->EaBuffer != NULL && Fcb->EaLength != 0)
        status = AppendImageRecord(writer, IMAGE_NODE_EAS, Fcb->EaBuffer, Fcb->EaLength);
    if (NT_SUCCESS(status) && Fcb->ReparseBuffer != NULL && Fcb->ReparseLength != 0)
        status = AppendImageRecord(writer, IMAGE_NODE_REPARSE, Fcb->ReparseBuffer, Fcb->ReparseLength);
    if (NT_SUCCESS(status) && extents != 0) {
        status = OpenImageRecord(writer, IMAGE_NODE_DATA_MAP);
        if (NT_SUCCESS(status))
            status = AppendImageDataMapHead(writer, extents);
        SAVED_EXTENT extent;
        ULONG index = 0;
        for (ULONG stored = 0; NT_SUCCESS(status) && stored < extents && NextSavedExtent(Fcb, &index, &extent);
             ++stored) {
            IMAGE_DATA_MAP_ENTRY entry;
            status = StoreExtent(Save, &extent, &entry);
            if (NT_SUCCESS(status))
                status = AppendImageDataMapEntry(writer, &entry);
        }
        if (NT_SUCCESS(status))
            status = CloseImageRecord(writer);
    }
    if (NT_SUCCESS(status))
        status = CloseImageRecord(writer);
    if (NT_SUCCESS(status))
        Save->NodeCount++;

    ExReleaseResourceLite(&Fcb->PagingIoResource);
    ExReleaseResourceLite(&Fcb->MainResource);
    return status;
}

/* SerializeDirectory: a directory's record: every name in it. Takes its main resource shared. */
static NTSTATUS SerializeDirectory(PIMAGE_SAVE Save, PFCB Directory)
{
    PIMAGE_STREAM_WRITER writer = &Save->Directories;
    ExAcquireResourceSharedLite(&Directory->MainResource, TRUE);
    SIZE_T bound = IMAGE_RECORD_HEAD_SIZE + IMAGE_DIRECTORY_HEAD_SIZE;
    ULONG count = 0;
    for (PLIST_ENTRY e = Directory->Children.Flink; e != &Directory->Children; e = e->Flink) {
        PLINK link = CONTAINING_RECORD(e, LINK, SiblingLinks);
        bound += IMAGE_DIRECTORY_ENTRY_HEAD + ALIGN_UP_BY((SIZE_T)link->Name.Length, IMAGE_RECORD_ALIGNMENT);
        count++;
    }
    ULONGLONG id = Directory->IsRoot ? IMAGE_NODE_ROOT_ID : Directory->NodeId;
    NTSTATUS status = EnsureWriterRoom(writer, bound);
    if (NT_SUCCESS(status))
        status = OpenImageRecord(writer, IMAGE_RECORD_DIRECTORY);
    if (NT_SUCCESS(status))
        status = AppendImageDirectoryHead(writer, id, count);
    for (PLIST_ENTRY e = Directory->Children.Flink; NT_SUCCESS(status) && e != &Directory->Children;
         e = e->Flink) {
        PLINK link = CONTAINING_RECORD(e, LINK, SiblingLinks);
        status = AppendImageDirectoryEntry(writer, link->Node->NodeId, link->Name.Buffer, link->Name.Length);
    }
    if (NT_SUCCESS(status))
        status = CloseImageRecord(writer);
    if (NT_SUCCESS(status))
        Save->EntryCount += count;
    ExReleaseResourceLite(&Directory->MainResource);
    return status;
}

/*
 * SerializeTree: the root, then every node once in pre-order, then the records of
 * the root and of every directory in the same order. The volume's tree resource
 * is held exclusively by the caller.
 */
NTSTATUS SerializeTree(PIMAGE_SAVE Save)
{
    PVCB vcb = Save->Vcb;
    ULONG epoch = ++vcb->TraversalGeneration;
    NTSTATUS status = SerializeNode(Save, vcb->RootFcb);
    for (PLINK link = NextLinkInTree(vcb, NULL); NT_SUCCESS(status) && link != NULL;
         link = NextLinkInTree(vcb, link)) {
        PFCB fcb = link->Node;
        if (fcb->TraversalMark == epoch)
            continue;
        fcb->TraversalMark = epoch;
        status = SerializeNode(Save, fcb);
    }
    if (NT_SUCCESS(status))
        status = SerializeDirectory(Save, vcb->RootFcb);
    for (PLINK link = NextLinkInTree(vcb, NULL); NT_SUCCESS(status) && link != NULL;
         link = NextLinkInTree(vcb, link)) {
        if (link->Node->IsDirectory)
            status = SerializeDirectory(Save, link->Node);
    }
    return status;
}

/* AppendRecords: whole records gathered by another writer (room made beforehand). */
static VOID AppendRecords(PIMAGE_STREAM_WRITER Stream, const IMAGE_STREAM_WRITER *Records)
{
    RtlCopyMemory(Stream->Buffer + Stream->Length, Records->Buffer, Records->Length);
    Stream->Length += Records->Length;
}

/*
 * AssembleImageStream: the whole metadata stream in one buffer ("vlIm") the
 * caller frees: stream start, the security table, the node records, the
 * directory records, stream end.
 */
NTSTATUS AssembleImageStream(PIMAGE_SAVE Save, PIMAGE_STREAM_WRITER Stream)
{
    RtlZeroMemory(Stream, sizeof(*Stream));
    SIZE_T length = 64 + Save->Nodes.Length + Save->Directories.Length +
                    (Save->DescriptorCount != 0 ? IMAGE_RECORD_HEAD_SIZE + IMAGE_SECURITY_HEAD_SIZE +
                                                      Save->DescriptorBytes
                                                : 0);
    NTSTATUS status = EnsureWriterRoom(Stream, length);
    if (NT_SUCCESS(status))
        status = AppendImageRecord(Stream, IMAGE_RECORD_STREAM_START, NULL, 0);
    if (NT_SUCCESS(status) && Save->DescriptorCount != 0) {
        status = OpenImageRecord(Stream, IMAGE_RECORD_SECURITY_TABLE);
        if (NT_SUCCESS(status))
            status = AppendImageSecurityTableHead(Stream, Save->DescriptorCount);
        for (ULONG i = 0; NT_SUCCESS(status) && i < Save->DescriptorCount; ++i)
            status = AppendImageSecurityEntry(Stream, Save->Descriptors[i].Bytes, Save->Descriptors[i].Length);
        if (NT_SUCCESS(status))
            status = CloseImageRecord(Stream);
    }
    if (NT_SUCCESS(status)) {
        AppendRecords(Stream, &Save->Nodes);
        AppendRecords(Stream, &Save->Directories);
        status = AppendImageStreamEnd(Stream, Save->NodeCount, Save->EntryCount);
    }
    if (status == STATUS_BUFFER_TOO_SMALL)
        status = STATUS_INTERNAL_ERROR;
    if (!NT_SUCCESS(status))
        FreeSaveWriter(Stream);
    return status;
}
