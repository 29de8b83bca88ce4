/*
 * Image save: a volume into its image file, copy-on-write. Changed extents and
 * the metadata stream go into slots the committed image does not use; one
 * header copy, the one that is not active, commits the new image; slots only
 * the old image used are deallocated afterwards. Whatever fails before the
 * header write leaves the committed image as it was; a header write that fails
 * leaves either header copy valid, and each describes a whole image.
 *
 * Order on the disk: data slots, flush, metadata slots, flush, header, flush.
 *
 * PASSIVE_LEVEL. The caller keeps the volume Busy (no other save, resize or
 * dismount of it); one save per binding is admitted by its SaveInProgress flag.
 */
#include "vorel.h"

static const WCHAR MessageNotBound[] = L"save requested but no image is bound (pass a path)";
static const WCHAR MessageBusy[] = L"a save is already in progress";
static const WCHAR MessageSlotSpace[] = L"image slot space exhausted";
static const WCHAR MessageMemory[] = L"out of memory during save";
static const WCHAR MessageStreamSize[] = L"metadata stream too large";
static const WCHAR MessageFailed[] = L"save failed";

/* How far a save got: a failure at or after the header write may have committed. */
typedef enum _SAVE_PHASE {
    SaveBeforeHeader,
    SaveHeaderWritten
} SAVE_PHASE;

/* RecordSaveFailure: the failure's stage and message follow from its status. */
static VOID RecordSaveFailure(NTSTATUS Status, PIMAGE_BINDING Binding)
{
    ULONG stage = IMAGE_STAGE_SLOT_IO;
    PCWSTR message = MessageFailed;
    if (Status == STATUS_DISK_FULL) {
        stage = IMAGE_STAGE_SLOT_SPACE;
        message = MessageSlotSpace;
    } else if (Status == STATUS_INSUFFICIENT_RESOURCES) {
        stage = IMAGE_STAGE_MEMORY;
        message = MessageMemory;
    } else if (Status == STATUS_FILE_TOO_LARGE) {
        stage = IMAGE_STAGE_STREAM_SIZE;
        message = MessageStreamSize;
    }
    RecordPersistenceError(Status, VOREL_OPERATION_SAVE, stage, &Binding->Path, message);
}

/*
 * QuiesceVolume: cached data of mapped and cached files back into the store,
 * then the volume held (new requests but paging I/O wait at admission) and its
 * posted requests finished.
 */
static VOID QuiesceVolume(PVCB Vcb)
{
    (VOID)FlushAllFiles(Vcb, FALSE);
    HoldVolume(Vcb);
    WorkerQueueDrainWait(&Vcb->WorkerQueue);
}

/*
 * CheckCommittedImage: whether the committed image is still the one the binding
 * knows. When the file changed behind the volume's back (its active copy is no
 * longer the binding's image), the save becomes full and may not write below the
 * high-water mark of any valid copy, since it cannot tell which slots that copy
 * uses; the binding then takes the newest valid copy as its committed one.
 */
static NTSTATUS CheckCommittedImage(PIMAGE_SAVE Save)
{
    PIMAGE_BINDING binding = Save->Binding;
    Save->PreviousHighWater = binding->HighWater;
    if (!binding->Committed)
        return STATUS_SUCCESS;
    PUCHAR staging = Save->Transfer;
    ULONG read = 0;
    NTSTATUS status = ReadImageFile(binding, (ULONGLONG)binding->ActiveCopy * IMAGE_HEADER_SIZE, staging,
                                    IMAGE_HEADER_SIZE, &read);
    if (!NT_SUCCESS(status))
        return status;
    ULONGLONG generation = 0;
    if (binding->SlotsKnown && NT_SUCCESS(CheckImageHeaderCopy(staging, read, &generation)) &&
        generation == binding->Generation &&
        RtlCompareMemory(staging + IMAGE_HEADER_IDENTIFIER_OFFSET, binding->Identifier, 16) == 16)
        return STATUS_SUCCESS;

    Save->Full = TRUE;
    Save->Vcb->SyncedBinding = NULL;
    FreeImageSlotTable(&binding->CommittedSlots);
    binding->SlotsKnown = FALSE;
    binding->Committed = FALSE;
    binding->Generation = 0;
    ULONGLONG highWater = binding->HighWater;
    for (ULONG copy = 0; copy < IMAGE_HEADER_COPIES; ++copy) {
        status = ReadImageFile(binding, (ULONGLONG)copy * IMAGE_HEADER_SIZE, staging, IMAGE_HEADER_SIZE, &read);
        if (!NT_SUCCESS(status))
            return status;
        if (!NT_SUCCESS(CheckImageHeaderCopy(staging, read, &generation)))
            continue;
        highWater = max(highWater, ImageGet64(staging + IMAGE_HEADER_HIGH_WATER_OFFSET));
        if (!binding->Committed || generation > binding->Generation) {
            binding->Committed = TRUE;
            binding->ActiveCopy = copy;
            binding->Generation = generation;
        }
    }
    /* Every slot below the mark is kept away from, since any may be in use. */
    Save->PreviousHighWater = highWater;
    Save->Cursor = (ULONG)min(highWater, (ULONGLONG)IMAGE_SLOT_LIMIT);
    return STATUS_SUCCESS;
}

/* WriteImageStream: the stream in pieces of one slot each, through the transfer buffer. */
static NTSTATUS WriteImageStream(PIMAGE_SAVE Save, const IMAGE_STREAM_WRITER *Stream, PIMAGE_HEADER Header)
{
    ULONG pieces = ImageStreamPieceCount(Stream->Length);
    if (pieces > IMAGE_METADATA_SLOTS_MAX)
        return STATUS_FILE_TOO_LARGE;
    Header->StreamLength = Stream->Length;
    Header->StreamChecksum = HashBytes(Stream->Buffer, Stream->Length);
    Header->MetadataSlotCount = pieces;
    for (ULONG i = 0; i < pieces; ++i) {
        SIZE_T offset = (SIZE_T)i << IMAGE_SLOT_SHIFT;
        ULONG length = (ULONG)min((SIZE_T)IMAGE_SLOT_SIZE, Stream->Length - offset);
        NTSTATUS status = TakeNewImageSlot(Save, NULL, &Header->MetadataSlots[i]);
        if (NT_SUCCESS(status))
            status = WriteImageSlot(Save, Header->MetadataSlots[i], Stream->Buffer + offset, length, length);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

/* FillImageHeader: the new header's fields from the volume and the binding. */
static NTSTATUS FillImageHeader(PIMAGE_SAVE Save, PIMAGE_HEADER Header)
{
    PIMAGE_BINDING binding = Save->Binding;
    PVOLUME_DEVICE_RECORD vdr = Save->Vdr;
    NTSTATUS status = NextImageGeneration(binding->Committed ? binding->Generation : 0, &Header->Generation);
    if (!NT_SUCCESS(status))
        return status;
    RtlCopyMemory(Header->Identifier, binding->Identifier, sizeof(Header->Identifier));
    Header->Compat = IMAGE_FORMAT_COMPAT;
    Header->Flags = binding->Checksums ? IMAGE_FLAG_DATA_CHECKSUMS : 0;
    Header->Writer = IMAGE_WRITER_THIS_SYSTEM;
    Header->HighWater = max((ULONGLONG)Save->Cursor, Save->PreviousHighWater);
    Header->VolumeSize = ReadULong64Acquire(&vdr->SizeBytes);
    Header->SerialNumber = vdr->SerialNumber;
    Header->PerFileSecurity = vdr->PerFileSecurity ? 1 : 0;
    Header->CompressionLevel = (ULONG)ReadNoFence(&Save->Vcb->CompressionLevel);
    Header->BuildHash = BuildStampSerial();
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    Header->SaveTime = now.QuadPart;
    Header->NextNodeId = (ULONGLONG)ReadNoFence64(&Save->Vcb->NextNodeId) + 1;
    RtlCopyMemory(Header->Label, vdr->Label, sizeof(Header->Label));
    Header->Label[IMAGE_LABEL_UNITS - 1] = 0;
    return STATUS_SUCCESS;
}

/* WriteImageHeader: the commit: the header into the copy that is not active, flushed. */
static NTSTATUS WriteImageHeader(PIMAGE_SAVE Save, PCIMAGE_HEADER Header, PULONG Copy)
{
    PIMAGE_BINDING binding = Save->Binding;
    *Copy = binding->Committed ? 1 - binding->ActiveCopy : 0;
    BuildImageHeaderCopy(Header, Save->Transfer);
    NTSTATUS status = WriteImageFile(binding, (ULONGLONG)*Copy * IMAGE_HEADER_SIZE, Save->Transfer, IMAGE_HEADER_SIZE);
    if (NT_SUCCESS(status))
        status = FlushImageFile(binding);
    if (NT_SUCCESS(status))
        Save->Statistics.BytesWritten += IMAGE_HEADER_SIZE;
    return status;
}

/*
 * ReleaseOldSlots: after the commit, the slots the old image used (or, when its
 * table was not known, every slot below its high-water mark) that the new one
 * does not use are deallocated, run by run. Failures are of no consequence: the
 * slots only stay allocated.
 */
static VOID ReleaseOldSlots(PIMAGE_SAVE Save)
{
    PIMAGE_BINDING binding = Save->Binding;
    ULONGLONG limit = binding->SlotsKnown ? binding->CommittedSlots.Capacity : Save->PreviousHighWater;
    /* Slots past the end of the file hold nothing to give back. */
    ULONGLONG fileSize;
    if (!NT_SUCCESS(QueryImageFileSize(binding, &fileSize)))
        return;
    limit = min(limit, fileSize >> IMAGE_SLOT_SHIFT);
    ULONGLONG first = 0;
    BOOLEAN inRun = FALSE;
    for (ULONGLONG slot = 0; slot <= limit; ++slot) {
        BOOLEAN old = slot < limit && (!binding->SlotsKnown || ImageSlotUsed(&binding->CommittedSlots, (ULONG)slot));
        BOOLEAN released = old && !ImageSlotUsed(&Save->Claimed, (ULONG)slot);
        if (released && !inRun) {
            first = slot;
            inRun = TRUE;
        } else if (!released && inRun) {
            (VOID)ZeroImageRange(binding, ImageSlotOffset((ULONG)first), ImageSlotOffset((ULONG)slot));
            inRun = FALSE;
        }
    }
}

/*
 * TakeNewImage: the binding now describes the committed new image; the volume's
 * stored-extent memory matches it.
 */
static VOID TakeNewImage(PIMAGE_SAVE Save, PCIMAGE_HEADER Header, ULONG Copy)
{
    PIMAGE_BINDING binding = Save->Binding;
    ReplaceImageSlotTable(&binding->CommittedSlots, &Save->Claimed);
    binding->SlotsKnown = TRUE;
    binding->Committed = TRUE;
    binding->ActiveCopy = Copy;
    binding->Generation = Header->Generation;
    binding->HighWater = Header->HighWater;
    Save->Statistics.Full = Save->Full;
    binding->Statistics = Save->Statistics;
    binding->StatisticsValid = TRUE;
    InterlockedExchange64(&binding->LastSaveTime, Header->SaveTime);
    Save->Vcb->SyncedBinding = binding;
}

/*
 * KeepUncertainImage: a header write that failed may still have reached the
 * disk, so the copy it went to may hold a valid newer image. The next save must
 * keep away from that image's slots as well as the committed one's, and must
 * outnumber its generation: its slots join the committed table and its
 * generation becomes the binding's. The active copy, untouched, stays active.
 */
static VOID KeepUncertainImage(PIMAGE_SAVE Save, PCIMAGE_HEADER Header)
{
    PIMAGE_BINDING binding = Save->Binding;
    IMAGE_SLOT_TABLE *committed = &binding->CommittedSlots;
    if (!binding->SlotsKnown || !NT_SUCCESS(EnsureImageSlotTable(committed, Save->Claimed.Capacity))) {
        /* Without a table every slot below the mark is kept away from. */
        binding->SlotsKnown = FALSE;
        Save->Vcb->SyncedBinding = NULL;
    } else {
        for (ULONG slot = 0; slot < Save->Claimed.Capacity; ++slot) {
            if (ImageSlotUsed(&Save->Claimed, slot))
                MarkImageSlot(committed, slot, &Save->Claimed.Records[slot]);
        }
    }
    binding->HighWater = max(binding->HighWater, Header->HighWater);
    binding->Generation = Header->Generation;
    if (!binding->Committed) {
        /* Copy 0 was written and may be the file's only image: copy 1 is the one to write next. */
        binding->Committed = TRUE;
        binding->ActiveCopy = 0;
    }
}

/*
 * RunSave: steps from the quiesced volume to the committed image. Returns the
 * status and how far it got.
 */
static NTSTATUS RunSave(PIMAGE_SAVE Save, SAVE_PHASE *Phase)
{
    PVCB vcb = Save->Vcb;
    PIMAGE_BINDING binding = Save->Binding;
    PIMAGE_HEADER header = NULL;
    IMAGE_STREAM_WRITER stream;
    RtlZeroMemory(&stream, sizeof(stream));
    *Phase = SaveBeforeHeader;

    if (vcb->SyncedBinding != binding || !binding->SlotsKnown) {
        Save->Full = TRUE;
        vcb->SyncedBinding = NULL;
    }
    Save->Transfer = (PUCHAR)VorelData.AllocatePool(IMAGE_TRANSFER_SIZE, TAG_IMAGE_TRANSFER, NonPagedPoolNx);
    header = (PIMAGE_HEADER)AllocateZeroed(sizeof(IMAGE_HEADER), TAG_IMAGE_HEADER, NonPagedPoolNx);
    NTSTATUS status = Save->Transfer != NULL && header != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
        status = CheckCommittedImage(Save);
    if (!NT_SUCCESS(status))
        goto done;

    /* The tree cannot change shape while it is written out. */
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&vcb->TreeResource, TRUE);
    status = SerializeTree(Save);
    ExReleaseResourceLite(&vcb->TreeResource);
    KeLeaveCriticalRegion();
    if (NT_SUCCESS(status))
        status = AssembleImageStream(Save, &stream);
    if (NT_SUCCESS(status))
        status = FlushImageFile(binding);
    if (NT_SUCCESS(status))
        status = WriteImageStream(Save, &stream, header);
    if (NT_SUCCESS(status))
        status = FlushImageFile(binding);
    if (NT_SUCCESS(status))
        status = FillImageHeader(Save, header);
    if (!NT_SUCCESS(status))
        goto done;

    ULONG copy;
    *Phase = SaveHeaderWritten;
    status = WriteImageHeader(Save, header, &copy);
    if (!NT_SUCCESS(status)) {
        KeepUncertainImage(Save, header);
        goto done;
    }
    ReleaseOldSlots(Save);
    TakeNewImage(Save, header, copy);

done:
    FreeSaveWriter(&stream);
    if (header != NULL)
        VorelData.FreePool(header, TAG_IMAGE_HEADER);
    return status;
}

/* FreeSave: everything a save allocated but what the binding took. */
static VOID FreeSave(PIMAGE_SAVE Save)
{
    FreeSaveWriter(&Save->Nodes);
    FreeSaveWriter(&Save->Directories);
    FreeSavedDescriptors(Save);
    FreeImageSlotTable(&Save->Claimed);
    if (Save->Transfer != NULL)
        VorelData.FreePool(Save->Transfer, TAG_IMAGE_TRANSFER);
    VorelData.FreePool(Save, TAG_IMAGE_STREAM);
}

/*
 * SaveVolumeImage: saves the volume to its image or, with NewPath, fully to
 * that file (replaced), which becomes the volume's image on success. UserMode
 * makes the new file's open subject to the requester's rights. Returns
 * STATUS_INVALID_DEVICE_STATE without an image and without a path,
 * STATUS_DEVICE_BUSY when the binding is being saved, or the save's status;
 * every failure is recorded (operation save).
 */
NTSTATUS SaveVolumeImage(PVOLUME_DEVICE_RECORD Vdr, PVCB Vcb, PCWSTR NewPath, BOOLEAN UserMode)
{
    PIMAGE_BINDING binding = Vdr->Binding;
    PIMAGE_BINDING fresh = NULL;
    if (NewPath != NULL) {
        NTSTATUS status = BindImage(NewPath, UserMode, TRUE, &fresh, NULL);
        if (!NT_SUCCESS(status))
            return status;
        binding = fresh;
    } else if (binding == NULL) {
        RecordPersistenceError(STATUS_INVALID_DEVICE_STATE, VOREL_OPERATION_SAVE, IMAGE_STAGE_NOT_BOUND, NULL,
                               MessageNotBound);
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (InterlockedCompareExchange(&binding->SaveInProgress, 1, 0) != 0) {
        RecordPersistenceError(STATUS_DEVICE_BUSY, VOREL_OPERATION_SAVE, IMAGE_STAGE_SAVE_BUSY, &binding->Path,
                               MessageBusy);
        CloseImageBinding(fresh);
        return STATUS_DEVICE_BUSY;
    }

    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    SAVE_PHASE phase = SaveBeforeHeader;
    PIMAGE_SAVE save = (PIMAGE_SAVE)AllocateZeroed(sizeof(IMAGE_SAVE), TAG_IMAGE_STREAM, NonPagedPoolNx);
    if (save != NULL) {
        save->Vcb = Vcb;
        save->Vdr = Vdr;
        save->Binding = binding;
        QuiesceVolume(Vcb);
        status = RunSave(save, &phase);
        ReleaseVolumeHold(Vcb);
        FreeSave(save);
    }
    if (!NT_SUCCESS(status))
        RecordSaveFailure(status, binding);

    InterlockedExchange(&binding->LastSaveStatus, status);
    InterlockedExchange(&binding->SaveInProgress, 0);
    if (fresh == NULL)
        return status;
    if (!NT_SUCCESS(status)) {
        if (Vcb->SyncedBinding == fresh)
            Vcb->SyncedBinding = NULL;
        CloseImageBinding(fresh);
        return status;
    }
    PIMAGE_BINDING old = Vdr->Binding;
    Vdr->Binding = fresh;
    CloseImageBinding(old);
    return status;
}
