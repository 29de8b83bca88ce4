/*
 * The store's side of compressed extents: an extent entry that holds a
 * compressed form instead of memory, the counters that follow it, and decoding
 * it back into memory before anything changes its bytes.
 *
 * A compressed extent keeps the charge of its uncompressed size (it is carried
 * by the form's chunk), so decoding it back never needs room on the volume, only
 * memory; what compression saves shows in the held bytes alone.
 */
#include "vorel.h"

/* CompressionCountersOf: the counters of the node's volume; NULL for a node of no mounted volume. */
PCOMPRESSION_COUNTERS CompressionCountersOf(PFCB Fcb)
{
    return Fcb->Vcb != NULL ? &Fcb->Vcb->CompressionCounters : NULL;
}

/*
 * FreeCompressedExtent: gives a detached form's memory back, with whatever
 * charge its chunk still carries, and frees its holder. IRQL <= APC_LEVEL.
 */
VOID FreeCompressedExtent(PCOMPRESSED_EXTENT Form)
{
    if (Form == NULL)
        return;
    if (Form->Pages != NULL)
        ReleaseChunk(Form->Pages);
    VorelData.FreePool(Form, TAG_COMPRESSED_EXTENT);
}

/*
 * AttachCompressedForm: Entry, whose chunk and data the caller has taken away
 * (moving the chunk's charge onto the form's chunk first), now holds Form. The
 * entry keeps the uncompressed size; the node and the volume count the form.
 */
VOID AttachCompressedForm(PFCB Fcb, PEXTENT_ENTRY Entry, PCOMPRESSED_EXTENT Form)
{
    PFCB_DATA data = &Fcb->Data;
    Entry->Compressed = Form;
    Entry->Size = Form->ExtentLength;
    InterlockedOr((volatile LONG *)&Entry->ImageWord, (LONG)IMAGE_WORD_MODIFIED);
    data->CompressionGeneration++;
    PCOMPRESSION_COUNTERS counters = CompressionCountersOf(Fcb);
    if (data->CompressedExtentCount++ == 0 && counters != NULL)
        InterlockedIncrement64(&counters->CompressedFiles);
    if (counters != NULL) {
        InterlockedAdd64(&counters->CompressedExtentBytes, Form->ExtentLength);
        InterlockedAdd64(&counters->CompressedMemory, Form->Pages->Size);
    }
}

/*
 * DetachCompressedForm: takes Entry's form away, reversing every count of the
 * attach, and returns it (NULL when the entry holds none). The entry is left
 * without data: the caller gives it memory or empties it.
 */
PCOMPRESSED_EXTENT DetachCompressedForm(PFCB Fcb, PEXTENT_ENTRY Entry)
{
    PCOMPRESSED_EXTENT form = Entry->Compressed;
    if (form == NULL)
        return NULL;
    PFCB_DATA data = &Fcb->Data;
    Entry->Compressed = NULL;
    InterlockedOr((volatile LONG *)&Entry->ImageWord, (LONG)IMAGE_WORD_MODIFIED);
    PCOMPRESSION_COUNTERS counters = CompressionCountersOf(Fcb);
    if (--data->CompressedExtentCount == 0 && counters != NULL)
        InterlockedDecrement64(&counters->CompressedFiles);
    if (counters != NULL) {
        InterlockedAdd64(&counters->CompressedExtentBytes, -(LONG64)form->ExtentLength);
        InterlockedAdd64(&counters->CompressedMemory, -(LONG64)form->Pages->Size);
    }
    return form;
}

/*
 * DropCompressedForm: the entry's bytes are no longer wanted: the form goes with
 * its memory and the extent's charge, and the entry becomes an empty hole. The
 * caller accounts the capacity the entry held.
 */
VOID DropCompressedForm(PFCB Fcb, PEXTENT_ENTRY Entry)
{
    PCOMPRESSED_EXTENT form = DetachCompressedForm(Fcb, Entry);
    Entry->Size = 0;
    Entry->ImageWord = 0;
    Entry->Flags = 0;
    FreeCompressedExtent(form);
}

/*
 * DecodeIntoChunk: decodes Form into Chunk (at least the form's extent length),
 * with Decoder, which is made over for the form's codec when it decodes another.
 * Returns STATUS_SUCCESS; STATUS_DATA_ERROR for a corrupt form or an unknown
 * codec; STATUS_INSUFFICIENT_RESOURCES when the decoder's state cannot be had.
 */
static NTSTATUS DecodeIntoChunk(PCODEC_CONTEXT Decoder, PCOMPRESSED_EXTENT Form, PDATA_CHUNK Chunk)
{
    NTSTATUS status;
    if (Decoder->Codec != Form->Codec) {
        TearDownCodecContext(Decoder);
        status = SetUpCodecContext(Decoder, Form->Codec, FALSE);
        if (status == STATUS_INVALID_DEVICE_REQUEST)
            return STATUS_DATA_ERROR;
        if (!NT_SUCCESS(status))
            return status;
    }
    status = DecodeCompressedExtent(Decoder, Form, Chunk->Base);
    return status == STATUS_INTERNAL_ERROR ? STATUS_DATA_ERROR : status;
}

/* DecompressEntry: gives one compressed entry its memory back, decoded with Decoder. */
static NTSTATUS DecompressEntry(PFCB Fcb, PEXTENT_ENTRY Entry, PCODEC_CONTEXT Decoder, ULONG Now)
{
    PFCB_DATA data = &Fcb->Data;
    PCOMPRESSED_EXTENT form = Entry->Compressed;
    PDATA_CHUNK chunk;
    NTSTATUS status = AllocateChunk(data->Volume, Entry->Size, 0, form->ExtentLength, FALSE, TRUE, &chunk);
    if (!NT_SUCCESS(status))
        return status;
    status = DecodeIntoChunk(Decoder, form, chunk);
    if (!NT_SUCCESS(status)) {
        ReleaseChunk(chunk);
        return status;
    }
    // The extent's charge moves from the form's chunk to the new one.
    TransferCharge(data->Volume, chunk, form->Pages);
    DetachCompressedForm(Fcb, Entry);
    Entry->Chunk = chunk;
    Entry->Data = chunk->Base;
    Entry->Size = chunk->Size;
    Entry->LastAccess = Now;
    InterlockedAnd((volatile LONG *)&Entry->Flags, ~(LONG)EXTENT_COLD);
    FreeCompressedExtent(form);
    WriteNoFence64(&Fcb->Cold.LastDecompression, (LONG64)KeQueryInterruptTime());
    PCOMPRESSION_COUNTERS counters = CompressionCountersOf(Fcb);
    if (counters != NULL)
        InterlockedIncrement64(&counters->ExtentsDecompressed);
    return STATUS_SUCCESS;
}

/*
 * DecompressExtents: decodes every compressed entry in [First, Last] (cut to the
 * table) back into memory. Returns the first failure (the entries before it stay
 * decoded, the one that failed and those after stay compressed):
 * STATUS_INSUFFICIENT_RESOURCES, or STATUS_DATA_ERROR for a corrupt form.
 */
NTSTATUS DecompressExtents(PFCB Fcb, ULONGLONG First, ULONGLONG Last)
{
    PFCB_DATA data = &Fcb->Data;
    if (data->CompressedExtentCount == 0 || data->Extents == NULL)
        return STATUS_SUCCESS;
    if (!ExIsResourceAcquiredExclusiveLite(&Fcb->PagingIoResource))
        StoreInvariantFailed(INVARIANT_DECOMPRESS_UNLOCKED);
    ULONG now = ExtentAccessTime();
    CODEC_CONTEXT decoder;
    RtlZeroMemory(&decoder, sizeof(decoder));
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONGLONG i = First; i <= Last && i < data->ExtentCapacity && NT_SUCCESS(status); i++) {
        if (data->Extents[i].Compressed != NULL)
            status = DecompressEntry(Fcb, &data->Extents[i], &decoder, now);
    }
    TearDownCodecContext(&decoder);
    return status;
}

/*
 * DecompressRange: decodes every compressed extent that [Offset, Offset + Length)
 * touches and, when the range ends beyond the pending partial extent (which a
 * change there makes full), that extent too.
 */
NTSTATUS DecompressRange(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length)
{
    if (Length == 0 || Fcb->Data.CompressedExtentCount == 0)
        return STATUS_SUCCESS;
    ULONGLONG end = Offset + Length;
    if (end < Offset)
        end = ~0ull;
    PFCB_DATA data = &Fcb->Data;
    if (EndsBeyondPartialExtent(Fcb, end)) {
        NTSTATUS status = DecompressExtents(Fcb, data->PartialExtentIndex, data->PartialExtentIndex);
        if (!NT_SUCCESS(status))
            return status;
    }
    return DecompressExtents(Fcb, Offset >> EXTENT_SHIFT, (end - 1) >> EXTENT_SHIFT);
}
