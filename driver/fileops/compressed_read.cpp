/*
 * The compressed read: the bytes of a file some of whose extents the
 * compression worker packed, served without changing the extent table (the
 * reader holds the paging resource only shared). A read decodes only the
 * sub-blocks it touches, each into the handle's read window, and a later read
 * inside the same sub-block copies from the window without decoding again.
 *
 * The window moves between its CCB and one reader at a time by interlocked
 * exchange. Two reads through one handle at once find the slot full and empty
 * in turn; the second builds a window of its own, and whichever puts its window
 * back when the slot is already full frees it. Cleanup and close take the
 * window out the same way, so none outlives its handle.
 *
 * A form is checked whole before a byte of it is used and decoded with exact
 * bounds (compressed_form.cpp): a corrupt one fails the read with
 * STATUS_DATA_ERROR and never makes it read outside the form or the window.
 */
#include "vorel.h"

/* FreeReadWindow: frees a window its caller owns, and its decoding context; NULL is left alone. */
static VOID FreeReadWindow(PREAD_WINDOW Window)
{
    if (Window == NULL)
        return;
    TearDownCodecContext(&Window->Decoder);
    VorelData.FreePool(Window, TAG_READ_WINDOW);
}

/* DropReadWindow: cleanup and close: the CCB's window, if one rests there, is freed. */
VOID DropReadWindow(PCCB Ccb)
{
    FreeReadWindow((PREAD_WINDOW)InterlockedExchangePointer((PVOID volatile *)&Ccb->ReadWindow, NULL));
}

/*
 * PutBackReadWindow: the read is done with its window: back into the CCB's
 * slot when it is still empty; freed when another read filled it meanwhile or
 * the read came without a handle.
 */
static VOID PutBackReadWindow(PCCB Ccb, PREAD_WINDOW Window)
{
    if (Window == NULL)
        return;
    if (Ccb == NULL || InterlockedCompareExchangePointer((PVOID volatile *)&Ccb->ReadWindow, Window, NULL) != NULL)
        FreeReadWindow(Window);
}

/*
 * BuildReadWindow: a new, empty window for Codec: the record, its decode buffer
 * of one sub-block behind it, and the codec's decoding context (Zstandard's;
 * LZ4 decodes without one). Returns STATUS_NOT_SUPPORTED for a codec that has
 * no row in the codec table, STATUS_INSUFFICIENT_RESOURCES, or the context's
 * own failure.
 */
static NTSTATUS BuildReadWindow(ULONG Codec, PREAD_WINDOW *Window)
{
    *Window = NULL;
    ULONG shift = CodecSubBlockShift(Codec);
    if (shift == 0)
        return STATUS_NOT_SUPPORTED;
    /* Only the record is zeroed: the decoder fills the buffer before anything reads it. */
    PREAD_WINDOW window = (PREAD_WINDOW)VorelData.AllocatePool(sizeof(READ_WINDOW) + ((SIZE_T)1 << shift),
                                                               TAG_READ_WINDOW, NonPagedPoolNx);
    if (window == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(window, sizeof(*window));
    window->Buffer = (PUCHAR)(window + 1);
    NTSTATUS status = SetUpCodecContext(&window->Decoder, Codec, FALSE);
    if (!NT_SUCCESS(status)) {
        VorelData.FreePool(window, TAG_READ_WINDOW);
        return status == STATUS_INVALID_DEVICE_REQUEST ? STATUS_NOT_SUPPORTED : status;
    }
    *Window = window;
    return STATUS_SUCCESS;
}

/* The sub-block a read needs: its place in the file and what LocateSubBlock found. */
typedef struct _SUB_BLOCK_KEY {
    ULONG Generation;
    ULONG ExtentIndex;
    ULONG BlockIndex;
    ULONG Codec;
} SUB_BLOCK_KEY, *PSUB_BLOCK_KEY;

/*
 * FillReadWindow: makes *Window hold the coded sub-block Key names, taking the
 * CCB's window on first use and building one when there is none or it decodes
 * another codec. A window that already holds it is left as it is: this is what
 * makes a second read in one sub-block free. Paging resource held shared.
 *
 * Returns STATUS_SUCCESS; a window's build failure; STATUS_INTERNAL_ERROR for a
 * sub-block larger than the window or a codec the window does not decode;
 * STATUS_DATA_ERROR when the bytes are damaged (not those of the form's
 * checksum) or do not decode to the sub-block's size (the window then holds
 * nothing).
 */
static NTSTATUS FillReadWindow(PCCB Ccb, PREAD_WINDOW *Window, PSUB_BLOCK_KEY Key, PCCOMPRESSED_EXTENT Form,
                               PCCOMPRESSED_SUB_BLOCK SubBlock)
{
    if (*Window == NULL)
        *Window = Ccb != NULL ? (PREAD_WINDOW)InterlockedExchangePointer((PVOID volatile *)&Ccb->ReadWindow, NULL)
                              : NULL;
    if (*Window != NULL && (*Window)->Decoder.Codec != Key->Codec) {
        FreeReadWindow(*Window);
        *Window = NULL;
    }
    if (*Window == NULL) {
        NTSTATUS status = BuildReadWindow(Key->Codec, Window);
        if (!NT_SUCCESS(status))
            return status;
    }

    PREAD_WINDOW window = *Window;
    if (window->Valid && window->Generation == Key->Generation && window->ExtentIndex == Key->ExtentIndex &&
        window->BlockIndex == Key->BlockIndex)
        return STATUS_SUCCESS;
    if (SubBlock->ExpectedSize > (1u << window->Decoder.SubBlockShift))
        return STATUS_INTERNAL_ERROR;
    window->Valid = FALSE;
    if (!SubBlockIsIntact(Form, Key->BlockIndex, SubBlock))
        return STATUS_DATA_ERROR;
    NTSTATUS status = DecompressSubBlock(&window->Decoder, Key->Codec, SubBlock, window->Buffer);
    if (!NT_SUCCESS(status))
        return status;
    window->Generation = Key->Generation;
    window->ExtentIndex = Key->ExtentIndex;
    window->BlockIndex = Key->BlockIndex;
    window->Valid = TRUE;
    return STATUS_SUCCESS;
}

/*
 * CopyFromForm: copies the bytes at Within of extent Index, held in Form, into
 * the caller's Target, up to *Length bytes and never past the end of their
 * sub-block; *Length becomes what was copied. Raw sub-blocks are copied
 * straight from the form, coded ones through the window. Paging resource held
 * shared; Within is below the form's extent length.
 *
 * Returns STATUS_SUCCESS; STATUS_NOT_SUPPORTED for a codec without a decoder;
 * STATUS_DATA_ERROR for a corrupt form; a window's failure; or the exception
 * status of a caller's buffer that cannot be written.
 */
static NTSTATUS CopyFromForm(PCCB Ccb, PREAD_WINDOW *Window, PFCB Fcb, ULONG Index, PCOMPRESSED_EXTENT Form,
                             ULONG Within, PUCHAR Target, PULONG Length)
{
    ULONG shift = CodecSubBlockShift(Form->Codec);
    if (shift == 0)
        return STATUS_NOT_SUPPORTED;
    SUB_BLOCK_KEY key = {Fcb->Data.CompressionGeneration, Index, Within >> shift, Form->Codec};
    COMPRESSED_SUB_BLOCK subBlock;
    NTSTATUS status =
        LocateSubBlock(shift, Form->Pages->Base, Form->StoredLength, Form->ExtentLength, key.BlockIndex, &subBlock);
    if (!NT_SUCCESS(status))
        return STATUS_DATA_ERROR; /* the index lies inside the extent: only a malformed form fails */

    ULONG inBlock = Within - (key.BlockIndex << shift);
    *Length = min(*Length, subBlock.ExpectedSize - inBlock);
    const UCHAR *source = subBlock.Bytes;
    if (subBlock.Raw && !SubBlockIsIntact(Form, key.BlockIndex, &subBlock))
        return STATUS_DATA_ERROR;
    if (!subBlock.Raw) {
        status = FillReadWindow(Ccb, Window, &key, Form, &subBlock);
        if (!NT_SUCCESS(status))
            return status;
        source = (*Window)->Buffer;
    }
    GUARDED_CALL(status, RtlCopyMemory(Target, source + inBlock, *Length));
    return status;
}

/*
 * ReadCompressedRange: copies [Offset, Offset + Length) of a file holding
 * compressed extents into the caller's Buffer, piece by piece, no piece
 * crossing an extent or sub-block boundary. Extents held in memory are copied
 * as any read copies them; holes, bytes beyond the table and bytes beyond a
 * form's extent length read as zeros. Ccb is the handle's (NULL without one:
 * the window is then the read's own). The caller holds the paging resource
 * shared and has cut the range to the file size.
 *
 * Returns STATUS_SUCCESS, or the first piece's failure (CopyFromForm's); the
 * buffer then holds what the pieces before it copied.
 */
NTSTATUS ReadCompressedRange(PFCB Fcb, PCCB Ccb, ULONGLONG Offset, PUCHAR Buffer, ULONG Length)
{
    PFCB_DATA data = &Fcb->Data;
    PREAD_WINDOW window = NULL;
    NTSTATUS status = STATUS_SUCCESS;
    ULONGLONG end = Offset + Length;
    for (ULONGLONG position = Offset; position < end && NT_SUCCESS(status);) {
        ULONGLONG index = position >> EXTENT_SHIFT;
        ULONG within = (ULONG)(position & EXTENT_MASK);
        ULONG piece = (ULONG)(min(end, (index + 1) << EXTENT_SHIFT) - position);
        PUCHAR target = Buffer + (position - Offset);
        PCOMPRESSED_EXTENT form =
            data->Extents != NULL && index < data->ExtentCapacity ? data->Extents[index].Compressed : NULL;
        if (form == NULL)
            GUARDED_CALL(status, CopyFromStorage(Fcb, position, target, piece));
        else if (within >= form->ExtentLength)
            GUARDED_CALL(status, RtlZeroMemory(target, piece));
        else
            status = CopyFromForm(Ccb, &window, Fcb, (ULONG)index, form, within, target, &piece);
        position += piece;
    }
    PutBackReadWindow(Ccb, window);
    return status;
}
