/*
 * Image load: a volume being mounted on an image file that holds a committed
 * image is rebuilt from it, whole or not at all. The active header copy is read
 * again and checked, the metadata stream is read into one buffer and checked
 * against its checksum, and the walk (load_stream.cpp) makes every node, its
 * data and its names. A load that succeeds leaves the binding knowing which
 * slots the committed image uses, so the next save is incremental; one that
 * fails leaves nothing behind and never writes the image file.
 *
 * PASSIVE_LEVEL, inside the mount of a volume nobody reaches yet, after its
 * root and default security are in place. The volume's charge is suspended for
 * the duration: the content was within the volume's size when it was saved.
 */
#include "vorel.h"

/* The messages a load records, by stage. */
static const WCHAR MessageReachability[] = L"link-count / reachability mismatch";
static const WCHAR MessageMetadataRead[] = L"metadata slot read failed";
static const WCHAR MessageChecksum[] = L"metadata checksum mismatch";
static const WCHAR MessageMemory[] = L"out of memory during load";
static const WCHAR MessageCorrupt[] = L"corrupt metadata record";
static const WCHAR MessageSlotRead[] = L"image slot read failed";

/* The largest next node identifier a volume can count on from without wrapping. */
#define NEXT_NODE_ID_MAX ((ULONGLONG)MAXLONGLONG)

/*
 * AllocateLoadBuffer: Bytes (a page or more) of non-paged pool for unbuffered
 * reads, which the pool hands out page-aligned; NULL without memory, or should
 * the buffer not be aligned after all.
 */
static PUCHAR AllocateLoadBuffer(SIZE_T Bytes, ULONG Tag)
{
    PUCHAR buffer = (PUCHAR)VorelData.AllocatePool(Bytes, Tag, NonPagedPoolNx);
    if (buffer != NULL && ((ULONG_PTR)buffer & (PAGE_SIZE - 1)) != 0) {
        VorelData.FreePool(buffer, Tag);
        return NULL;
    }
    return buffer;
}

/*
 * ReadActiveHeader: the binding's active header copy, read into the transfer
 * buffer and parsed into the load's header. It must still be valid and be the
 * copy the binding was made from (same generation and identifier), else the
 * file changed behind the volume and is taken as corrupt; another system's copy
 * is refused with STATUS_INVALID_DEVICE_REQUEST.
 */
static NTSTATUS ReadActiveHeader(PIMAGE_LOAD Load)
{
    PIMAGE_BINDING binding = Load->Binding;
    ULONG read = 0;
    NTSTATUS status = ReadImageFile(binding, (ULONGLONG)binding->ActiveCopy * IMAGE_HEADER_SIZE, Load->Transfer,
                                    IMAGE_HEADER_SIZE, &read);
    if (!NT_SUCCESS(status))
        return status;
    ULONGLONG generation = 0;
    status = CheckImageHeaderCopy(Load->Transfer, read, &generation);
    if (status == STATUS_INSUFFICIENT_RESOURCES)
        return status;
    if (!NT_SUCCESS(status))
        return STATUS_FILE_CORRUPT_ERROR;
    ParseImageHeaderCopy(Load->Transfer, Load->Header);
    if (Load->Header->Writer != IMAGE_WRITER_THIS_SYSTEM)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (generation != binding->Generation ||
        RtlCompareMemory(Load->Header->Identifier, binding->Identifier, sizeof(binding->Identifier)) !=
            sizeof(binding->Identifier) ||
        Load->Header->NextNodeId > NEXT_NODE_ID_MAX)
        return STATUS_FILE_CORRUPT_ERROR;
    return STATUS_SUCCESS;
}

/*
 * PrepareSlotClaims: the loaded slot table, whose bits are the claims, for the
 * slots the image may use: below the header's high-water mark and starting
 * inside the file (slot i starts at (i + 1) * 2 MiB), so that a header cannot
 * make the load allocate for slots that no file holds.
 */
static NTSTATUS PrepareSlotClaims(PIMAGE_LOAD Load)
{
    NTSTATUS status = QueryImageFileSize(Load->Binding, &Load->FileSize);
    if (!NT_SUCCESS(status))
        return status;
    ULONGLONG inside = Load->FileSize == 0 ? 0 : (Load->FileSize - 1) >> IMAGE_SLOT_SHIFT;
    Load->SlotLimit = min(min(Load->Header->HighWater, inside), (ULONGLONG)IMAGE_SLOT_LIMIT);
    status = EnsureImageSlotTable(&Load->Slots, max(Load->SlotLimit, 1ull));
    if (!NT_SUCCESS(status))
        return status;
    InitializeImageSlotClaims(&Load->Claims, Load->Slots.Bits, Load->SlotLimit);
    return STATUS_SUCCESS;
}

/*
 * ReadMetadataStream: every metadata slot, in list order, straight into the
 * stream buffer (page-aligned, its length rounded up to a page, so each piece
 * reads whole sectors in place), then the stream's checksum. A read error fixes
 * the failure's stage; a slot the file does not hold is corrupt; a checksum
 * that differs is STATUS_CRC_ERROR.
 */
static NTSTATUS ReadMetadataStream(PIMAGE_LOAD Load)
{
    PCIMAGE_HEADER header = Load->Header;
    Load->StreamLength = (SIZE_T)header->StreamLength;
    Load->Stream = AllocateLoadBuffer(ALIGN_UP_BY(Load->StreamLength, PAGE_SIZE), TAG_IMAGE_STREAM);
    if (Load->Stream == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    for (ULONG i = 0; i < header->MetadataSlotCount; ++i) {
        ULONGLONG offset = (ULONGLONG)i << IMAGE_SLOT_SHIFT;
        ULONG length = (ULONG)min(IMAGE_SLOT_SIZE, header->StreamLength - offset);
        NTSTATUS status = ReadImageSlot(Load, header->MetadataSlots[i], length, Load->Stream + offset);
        if (!NT_SUCCESS(status)) {
            if (status != STATUS_FILE_CORRUPT_ERROR)
                Load->Stage = IMAGE_STAGE_METADATA_READ;
            return status;
        }
    }
    return HashBytes(Load->Stream, Load->StreamLength) == header->StreamChecksum ? STATUS_SUCCESS
                                                                                  : STATUS_CRC_ERROR;
}

/* RunLoad: every step of the load up to, not including, installing it. */
static NTSTATUS RunLoad(PIMAGE_LOAD Load)
{
    Load->Transfer = AllocateLoadBuffer(IMAGE_TRANSFER_SIZE, TAG_IMAGE_TRANSFER);
    Load->Header = (PIMAGE_HEADER)VorelData.AllocatePool(sizeof(IMAGE_HEADER), TAG_IMAGE_HEADER, NonPagedPoolNx);
    if (Load->Transfer == NULL || Load->Header == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = ReadActiveHeader(Load);
    if (NT_SUCCESS(status))
        status = PrepareSlotClaims(Load);
    if (NT_SUCCESS(status))
        status = CheckImageHeaderContents(Load->Header, &Load->Claims);
    if (NT_SUCCESS(status))
        status = ReadMetadataStream(Load);
    if (NT_SUCCESS(status))
        status = WalkImageStream(Load);
    if (!NT_SUCCESS(status))
        return status;
    status = CheckLoadedReachability(Load);
    if (!NT_SUCCESS(status)) {
        Load->Stage = IMAGE_STAGE_REACHABILITY;
        return status;
    }
    return CheckImageNextNodeId(Load->Header, Load->LargestNodeId);
}

/*
 * InstallLoad: the binding takes the claimed slots as the committed image's,
 * knows them, and is the one the volume's content is synced with; the volume
 * hands out node identifiers from the header's next one on.
 */
static VOID InstallLoad(PIMAGE_LOAD Load)
{
    PIMAGE_BINDING binding = Load->Binding;
    PCIMAGE_HEADER header = Load->Header;
    ReplaceImageSlotTable(&binding->CommittedSlots, &Load->Slots);
    binding->SlotsKnown = TRUE;
    InterlockedExchange(&binding->LastSaveStatus, 0);
    InterlockedExchange64(&binding->LastSaveTime, header->SaveTime);
    Load->Vcb->SyncedBinding = binding;
    InterlockedExchange64(&Load->Vcb->NextNodeId, (LONG64)(header->NextNodeId - 1));
}

/*
 * RecordLoadFailure: the persistence error record takes the failure, with the
 * stage its place fixed (reachability, a metadata read) or else its status
 * names: checksum, memory, corruption, anything else.
 */
static VOID RecordLoadFailure(PIMAGE_LOAD Load, NTSTATUS Status)
{
    ULONG stage = Load->Stage;
    if (stage == 0) {
        switch (Status) {
        case STATUS_CRC_ERROR:
            stage = IMAGE_STAGE_CHECKSUM;
            break;
        case STATUS_INSUFFICIENT_RESOURCES:
            stage = IMAGE_STAGE_MEMORY;
            break;
        case STATUS_FILE_CORRUPT_ERROR:
            stage = IMAGE_STAGE_CORRUPT;
            break;
        default:
            stage = IMAGE_STAGE_SLOT_IO;
            break;
        }
    }
    PCWSTR message;
    switch (stage) {
    case IMAGE_STAGE_REACHABILITY:
        message = MessageReachability;
        break;
    case IMAGE_STAGE_METADATA_READ:
        message = MessageMetadataRead;
        break;
    case IMAGE_STAGE_CHECKSUM:
        message = MessageChecksum;
        break;
    case IMAGE_STAGE_MEMORY:
        message = MessageMemory;
        break;
    case IMAGE_STAGE_CORRUPT:
        message = MessageCorrupt;
        break;
    default:
        message = MessageSlotRead;
        break;
    }
    RecordPersistenceError(Status, VOREL_OPERATION_LOAD, stage, &Load->Binding->Path, message);
}

/* FreeLoad: the load's buffers and tables (its nodes are released before). */
static VOID FreeLoad(PIMAGE_LOAD Load)
{
    FreeAndClear((PVOID *)&Load->Transfer, TAG_IMAGE_TRANSFER);
    FreeAndClear((PVOID *)&Load->Header, TAG_IMAGE_HEADER);
    FreeAndClear((PVOID *)&Load->Stream, TAG_IMAGE_STREAM);
    FreeAndClear((PVOID *)&Load->Descriptors, TAG_IMAGE_LOAD);
    FreeImageSlotTable(&Load->Slots);
}

/*
 * LoadVolumeImage: rebuilds the volume from its binding's committed image.
 * PASSIVE_LEVEL, no lock held, inside the volume's mount. On success the tree
 * holds the image's content, the binding is synced with the volume and its
 * last save status is 0. On failure the error is recorded (operation load),
 * every node the load made is gone, and the root keeps whatever the load set on
 * it: the mount tears the volume down. Returns STATUS_FILE_CORRUPT_ERROR,
 * STATUS_CRC_ERROR, STATUS_INSUFFICIENT_RESOURCES,
 * STATUS_INVALID_DEVICE_REQUEST (what this format version refuses) or a read's
 * status.
 */
NTSTATUS LoadVolumeImage(PVCB Vcb, PIMAGE_BINDING Binding)
{
    IMAGE_LOAD load;
    RtlZeroMemory(&load, sizeof(load));
    load.Vcb = Vcb;
    load.Binding = Binding;
    WriteUCharNoFence(&Vcb->Store.ChargeSuspended, TRUE);
    NTSTATUS status = RunLoad(&load);
    if (NT_SUCCESS(status))
        InstallLoad(&load);
    else
        RecordLoadFailure(&load, status);
    ReleaseLoadedNodes(&load, !NT_SUCCESS(status));
    FreeLoad(&load);
    WriteUCharNoFence(&Vcb->Store.ChargeSuspended, FALSE);
    return status;
}
