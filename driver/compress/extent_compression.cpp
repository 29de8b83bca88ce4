/*
 * Compressing one extent of a file in place: the step the volume's compression
 * worker repeats for every cold extent.
 */
#include "vorel.h"

#define PAGE_BYTES 4096u

/*
 * MakeCompressedExtent: a holder for the form the context just coded (StoredLength
 * bytes in its scratch buffer), in fresh pages zero-padded to the page. Returns
 * NULL when memory cannot be had.
 */
static PCOMPRESSED_EXTENT MakeCompressedExtent(PFCB Fcb, PCODEC_CONTEXT Context, ULONG StoredLength,
                                              ULONG ExtentLength)
{
    ULONG count = SubBlockCountOf(Context->Codec, ExtentLength);
    PCOMPRESSED_EXTENT form =
        (PCOMPRESSED_EXTENT)AllocateZeroed(CompressedExtentSize(count), TAG_COMPRESSED_EXTENT, NonPagedPoolNx);
    if (form == NULL)
        return NULL;
    // Coding is how memory comes back: it is not refused when memory is low.
    NTSTATUS status = AllocateChunk(Fcb->Data.Volume, ALIGN_UP_BY(StoredLength, PAGE_BYTES), 0, StoredLength,
                                    FALSE, TRUE, &form->Pages);
    if (!NT_SUCCESS(status)) {
        VorelData.FreePool(form, TAG_COMPRESSED_EXTENT);
        return NULL;
    }
    RtlCopyMemory(form->Pages->Base, Context->Scratch, StoredLength);
    form->StoredLength = StoredLength;
    form->ExtentLength = ExtentLength;
    form->Codec = (UCHAR)Context->Codec;
    form->SubBlockCount = count;
    if (!NT_SUCCESS(SumCompressedExtent(form))) {
        FreeCompressedExtent(form);     /* the coder's own form is never malformed */
        return NULL;
    }
    return form;
}

/*
 * CompressExtent: packs extent Index of the node with a compression context, if it
 * is worth it. The caller holds the node's main and paging resources exclusively;
 * the node has an extent table and no section.
 *
 * Returns the outcome; STATUS_SUCCESS with it, STATUS_INSUFFICIENT_RESOURCES when
 * memory for the form cannot be had, or STATUS_INTERNAL_ERROR for a codec
 * failure. On failure the extent is as it was.
 */
NTSTATUS CompressExtent(PFCB Fcb, ULONG Index, PCODEC_CONTEXT Context, PCOLD_EXTENT_OUTCOME Outcome)
{
    PFCB_DATA data = &Fcb->Data;
    PEXTENT_ENTRY entry = &data->Extents[Index];
    PCOMPRESSION_COUNTERS counters = CompressionCountersOf(Fcb);
    *Outcome = ColdExtentSkipped;
    if (entry->Data == NULL || entry->Compressed != NULL)
        return STATUS_SUCCESS;
    if (entry->Flags & EXTENT_SHARED) {
        if (ReadNoFence(&entry->Chunk->ReferenceCount) != 1)
            return STATUS_SUCCESS;
        entry->Flags &= ~EXTENT_SHARED;     /* the other holder let go: it is private now */
    }
    if (entry->Flags & EXTENT_COLD)
        return STATUS_SUCCESS;

    if (IsAllZero(entry->Data, entry->Size)) {
        // A hole reads the same and holds nothing.
        EmptyExtentEntry(Fcb, entry);
        if (counters != NULL)
            InterlockedIncrement64(&counters->ZeroExtentsReleased);
        *Outcome = ColdExtentReleased;
        return STATUS_SUCCESS;
    }

    ULONG stored;
    BOOLEAN worthKeeping;
    NTSTATUS status = EncodeExtent(Context, (const UCHAR *)entry->Data, entry->Size, &stored, &worthKeeping);
    if (!NT_SUCCESS(status))
        return STATUS_INTERNAL_ERROR;
    if (!worthKeeping) {
        entry->Flags |= EXTENT_COLD;
        if (counters != NULL)
            InterlockedIncrement64(&counters->ExtentsNotWorthCompressing);
        *Outcome = ColdExtentNotWorth;
        return STATUS_SUCCESS;
    }
    PCOMPRESSED_EXTENT form = MakeCompressedExtent(Fcb, Context, stored, entry->Size);
    if (form == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    // The extent's charge moves to the form's chunk; the raw chunk then goes.
    PDATA_CHUNK raw = entry->Chunk;
    form->Pages->Charged = raw->Charged;
    raw->Charged = 0;
    entry->Chunk = NULL;
    entry->Data = NULL;
    AttachCompressedForm(Fcb, entry, form);
    ReleaseChunk(raw);
    if (counters != NULL)
        InterlockedIncrement64(&counters->ExtentsCompressed);
    *Outcome = ColdExtentCompressed;
    return STATUS_SUCCESS;
}
