/*
 * The compressed form of an extent (layout in compress_struc.h): coding an
 * extent into it, and checking and decoding it.
 *
 * A form comes back from memory the driver wrote, but also from an image file
 * that anyone may have edited: every count, offset and flag is checked against
 * the extent it claims to hold before a byte of payload is used, and the codecs
 * are given exact source and destination bounds, so a lying form is refused
 * with STATUS_DATA_ERROR and never makes the driver read or write outside the
 * form or the destination.
 */
#include "vorel.h"

#define PAGE_BYTES 4096u

/* Little-endian fields, read and written byte by byte: a form has no alignment. */
static ULONG ReadFormUlong(const UCHAR *Field)
{
    return (ULONG)Field[0] | ((ULONG)Field[1] << 8) | ((ULONG)Field[2] << 16) | ((ULONG)Field[3] << 24);
}

static VOID WriteFormUlong(PUCHAR Field, ULONG Value)
{
    Field[0] = (UCHAR)Value;
    Field[1] = (UCHAR)(Value >> 8);
    Field[2] = (UCHAR)(Value >> 16);
    Field[3] = (UCHAR)(Value >> 24);
}

/* CompressedHeaderLength: bytes before the payload of a form of Count sub-blocks (4 + 5 Count, rounded up to 8). */
ULONG CompressedHeaderLength(ULONG Count)
{
    return ALIGN_UP_BY(4 + 5 * Count, 8);
}

/* The size of sub-block Index of an extent: 2^Shift, the last one what remains. */
static ULONG SubBlockExpectedSize(ULONG Shift, ULONG ExtentLength, ULONG Index)
{
    ULONG start = Index << Shift;
    ULONG rest = ExtentLength - start;
    return rest < (1u << Shift) ? rest : (1u << Shift);
}

/*
 * IsWorthKeeping: a form is kept only when it frees at least one page of the
 * extent's memory: its length rounded up to 4 KiB, plus 4 KiB, must not exceed
 * the extent length rounded up to 4 KiB.
 */
BOOLEAN IsWorthKeeping(ULONG StoredLength, ULONG ExtentLength)
{
    return (ULONGLONG)ALIGN_UP_BY(StoredLength, PAGE_BYTES) + PAGE_BYTES <=
           (ULONGLONG)ALIGN_UP_BY(ExtentLength, PAGE_BYTES);
}

/*
 * EncodeExtent: codes ExtentLength bytes (1 to 2 MiB) into the context's
 * scratch buffer as a compressed form of the context's codec, one sub-block at
 * a time: a sub-block the codec shrinks is kept coded, one it does not (or
 * whose coded bytes would not be smaller) is stored raw.
 *
 * Returns STATUS_SUCCESS with the form's length and whether it is worth keeping
 * (a form that is not holds its header and coded sub-blocks, but not the bytes
 * of its raw ones: it is for nothing but to be dropped);
 * STATUS_INVALID_PARAMETER for a context that does not compress or a length out
 * of range; STATUS_INTERNAL_ERROR when the codec fails otherwise (the extent is
 * then left as it is). The form is valid until the context codes again.
 */
NTSTATUS EncodeExtent(PCODEC_CONTEXT Context, const UCHAR *Extent, ULONG ExtentLength, PULONG StoredLength,
                      PBOOLEAN WorthKeeping)
{
    if (!Context->ForCompression || Context->Scratch == NULL || Extent == NULL || ExtentLength == 0 ||
        ExtentLength > COMPRESSED_EXTENT_MAX)
        return STATUS_INVALID_PARAMETER;

    ULONG shift = Context->SubBlockShift;
    ULONG count = (ULONG)(((ULONGLONG)ExtentLength + (1u << shift) - 1) >> shift);
    ULONG header = CompressedHeaderLength(count);
    PUCHAR form = Context->Scratch;
    PUCHAR ends = form + 4;
    PUCHAR flags = ends + 4 * (SIZE_T)count;
    PUCHAR payload = form + header;

    /*
     * Each sub-block is coded into the staging area, which holds the codec's
     * bound of one sub-block and stays in the cache, and only coded bytes smaller
     * than the sub-block move on into the form: a sub-block that does not shrink
     * costs the codec's pass and nothing more. A full staging area is not
     * expected; it, like coded bytes that are not smaller, stores it raw.
     */
    RtlZeroMemory(form, header);
    WriteFormUlong(form, count);
    ULONG used = 0;
    for (ULONG index = 0; index < count; ++index) {
        const UCHAR *source = Extent + ((SIZE_T)index << shift);
        ULONG size = SubBlockExpectedSize(shift, ExtentLength, index);
        ULONG coded = 0;
        NTSTATUS status = CompressSubBlock(Context, source, size, Context->Staging, Context->StagingSize, &coded);
        if (status == STATUS_BUFFER_TOO_SMALL || (NT_SUCCESS(status) && (coded == 0 || coded >= size))) {
            flags[index] = COMPRESSED_SUB_BLOCK_RAW;    /* its bytes are copied below, if the form is kept */
            coded = size;
        } else if (!NT_SUCCESS(status)) {
            return STATUS_INTERNAL_ERROR;
        } else {
            RtlCopyMemory(payload + used, Context->Staging, coded);
        }
        used += coded;
        WriteFormUlong(ends + 4 * (SIZE_T)index, used);
    }

    *StoredLength = header + used;
    *WorthKeeping = IsWorthKeeping(header + used, ExtentLength);
    if (!*WorthKeeping)
        return STATUS_SUCCESS;
    // Raw sub-blocks are copied only into a form that is kept: an extent that does
    // not compress would otherwise be copied whole just to be thrown away.
    for (ULONG index = 0, start = 0; index < count; ++index) {
        ULONG end = ReadFormUlong(ends + 4 * (SIZE_T)index);
        if (flags[index] & COMPRESSED_SUB_BLOCK_RAW)
            RtlCopyMemory(payload + start, Extent + ((SIZE_T)index << shift), end - start);
        start = end;
    }
    return STATUS_SUCCESS;
}

/*
 * The checked shape of a form: what CheckCompressedForm proved about it. Every
 * sub-block's stored bytes lie inside the payload and have a size its raw flag
 * allows, and together they use the whole payload.
 */
typedef struct _FORM_SHAPE {
    ULONG Shift;
    ULONG ExtentLength;
    ULONG Count;
    const UCHAR *Ends;
    const UCHAR *Flags;
    const UCHAR *Payload;
} FORM_SHAPE, *PFORM_SHAPE;

/*
 * CheckCompressedForm: checks a whole form's header against the extent it is
 * said to hold: shift 12..21, extent length 1 to 2 MiB, the form at least as
 * long as its header, the count that length needs, end offsets that never
 * decrease nor pass the payload, raw sub-blocks of exactly their size, coded
 * ones non-empty and smaller than it, and the payload used to its last byte.
 * Returns STATUS_SUCCESS with the shape, or STATUS_DATA_ERROR.
 */
static NTSTATUS CheckCompressedForm(ULONG Shift, const UCHAR *Form, ULONG FormLength, ULONG ExtentLength,
                                    PFORM_SHAPE Shape)
{
    if (Form == NULL || Shift < COMPRESSED_SHIFT_MIN || Shift > COMPRESSED_SHIFT_MAX || ExtentLength == 0 ||
        ExtentLength > COMPRESSED_EXTENT_MAX)
        return STATUS_DATA_ERROR;
    ULONG count = (ExtentLength + (1u << Shift) - 1) >> Shift;
    ULONG header = CompressedHeaderLength(count);
    if (FormLength < header || ReadFormUlong(Form) != count)
        return STATUS_DATA_ERROR;

    const UCHAR *ends = Form + 4;
    const UCHAR *flags = ends + 4 * (SIZE_T)count;
    ULONG payloadLength = FormLength - header;
    ULONG start = 0;
    for (ULONG index = 0; index < count; ++index) {
        ULONG end = ReadFormUlong(ends + 4 * (SIZE_T)index);
        if (end < start || end > payloadLength)
            return STATUS_DATA_ERROR;
        ULONG stored = end - start;
        ULONG expected = SubBlockExpectedSize(Shift, ExtentLength, index);
        if ((flags[index] & COMPRESSED_SUB_BLOCK_RAW) != 0 ? stored != expected : stored == 0 || stored >= expected)
            return STATUS_DATA_ERROR;
        start = end;
    }
    if (start != payloadLength)
        return STATUS_DATA_ERROR;

    Shape->Shift = Shift;
    Shape->ExtentLength = ExtentLength;
    Shape->Count = count;
    Shape->Ends = ends;
    Shape->Flags = flags;
    Shape->Payload = Form + header;
    return STATUS_SUCCESS;
}

/* Sub-block Index of a checked form. */
static VOID ShapeSubBlock(PFORM_SHAPE Shape, ULONG Index, PCOMPRESSED_SUB_BLOCK SubBlock)
{
    ULONG start = Index == 0 ? 0 : ReadFormUlong(Shape->Ends + 4 * (SIZE_T)(Index - 1));
    ULONG end = ReadFormUlong(Shape->Ends + 4 * (SIZE_T)Index);
    SubBlock->Bytes = Shape->Payload + start;
    SubBlock->StoredSize = end - start;
    SubBlock->ExpectedSize = SubBlockExpectedSize(Shape->Shift, Shape->ExtentLength, Index);
    SubBlock->Raw = (Shape->Flags[Index] & COMPRESSED_SUB_BLOCK_RAW) != 0;
}

/*
 * LocateSubBlock: finds sub-block Index of the form of an extent of
 * ExtentLength bytes, so that a read decodes only the sub-block it needs. The
 * whole form is checked as DecodeCompressedForm checks it.
 *
 * Returns STATUS_SUCCESS with the sub-block; STATUS_DATA_ERROR for a malformed
 * form; STATUS_INVALID_PARAMETER for an index beyond the extent.
 */
NTSTATUS LocateSubBlock(ULONG Shift, const UCHAR *Form, ULONG FormLength, ULONG ExtentLength, ULONG Index,
                        PCOMPRESSED_SUB_BLOCK SubBlock)
{
    FORM_SHAPE shape;
    NTSTATUS status = CheckCompressedForm(Shift, Form, FormLength, ExtentLength, &shape);
    if (!NT_SUCCESS(status))
        return status;
    if (Index >= shape.Count)
        return STATUS_INVALID_PARAMETER;
    ShapeSubBlock(&shape, Index, SubBlock);
    return STATUS_SUCCESS;
}

/*
 * DecodeCompressedForm: decodes the form of an extent of ExtentLength bytes,
 * coded with Codec, into ExtentLength bytes at Destination, with a decoding
 * context of that codec. The header is checked whole before anything is
 * written.
 *
 * Returns STATUS_SUCCESS; STATUS_INTERNAL_ERROR when the context does not decode
 * Codec; STATUS_DATA_ERROR for a malformed form or a sub-block that does not
 * decode to its size (Destination then holds what was decoded so far and is
 * the caller's to discard).
 */
NTSTATUS DecodeCompressedForm(PCODEC_CONTEXT Context, ULONG Codec, ULONG Shift, const UCHAR *Form,
                              ULONG FormLength, ULONG ExtentLength, PUCHAR Destination)
{
    if (Context->ForCompression || Context->Codec == CODEC_NONE || Codec != Context->Codec)
        return STATUS_INTERNAL_ERROR;
    FORM_SHAPE shape;
    NTSTATUS status = CheckCompressedForm(Shift, Form, FormLength, ExtentLength, &shape);
    if (!NT_SUCCESS(status))
        return status;
    for (ULONG index = 0; index < shape.Count; ++index) {
        COMPRESSED_SUB_BLOCK subBlock;
        ShapeSubBlock(&shape, index, &subBlock);
        status = DecompressSubBlock(Context, Codec, &subBlock, Destination + ((SIZE_T)index << Shift));
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

/* SubBlockSum: the checksum a compressed extent keeps of one sub-block's stored bytes. */
static ULONG SubBlockSum(PCCOMPRESSED_SUB_BLOCK SubBlock)
{
    return (ULONG)HashBytes(SubBlock->Bytes, SubBlock->StoredSize);
}

/*
 * CompressedExtentSize: bytes of a COMPRESSED_EXTENT holding Count sub-block
 * checksums; 0 for a count no form of an extent can have.
 */
SIZE_T CompressedExtentSize(ULONG Count)
{
    if (Count == 0 || Count > (COMPRESSED_EXTENT_MAX >> COMPRESSED_SHIFT_MIN))
        return 0;
    return FIELD_OFFSET(COMPRESSED_EXTENT, SubBlockSums) + (SIZE_T)Count * sizeof(ULONG);
}

/* SubBlockCountOf: the sub-blocks of an extent of ExtentLength bytes coded by Codec; 0 for a codec without a row. */
ULONG SubBlockCountOf(ULONG Codec, ULONG ExtentLength)
{
    ULONG shift = CodecSubBlockShift(Codec);
    if (shift == 0 || ExtentLength == 0 || ExtentLength > COMPRESSED_EXTENT_MAX)
        return 0;
    return (ExtentLength + (1u << shift) - 1) >> shift;
}

/* ShapeCompressedExtent: the checked shape of a holder's form, which must have the holder's count of sub-blocks. */
static NTSTATUS ShapeCompressedExtent(PCCOMPRESSED_EXTENT Form, PFORM_SHAPE Shape)
{
    NTSTATUS status = CheckCompressedForm(CodecSubBlockShift(Form->Codec), Form->Pages->Base, Form->StoredLength,
                                          Form->ExtentLength, Shape);
    return NT_SUCCESS(status) && Shape->Count == Form->SubBlockCount ? STATUS_SUCCESS : STATUS_DATA_ERROR;
}

/*
 * SumCompressedExtent: records the checksum of every sub-block of a form just
 * made (or loaded and found well formed). Returns STATUS_SUCCESS, or
 * STATUS_DATA_ERROR for a malformed form or a holder of the wrong count.
 */
NTSTATUS SumCompressedExtent(PCOMPRESSED_EXTENT Form)
{
    FORM_SHAPE shape;
    if (!NT_SUCCESS(ShapeCompressedExtent(Form, &shape)))
        return STATUS_DATA_ERROR;
    for (ULONG index = 0; index < shape.Count; ++index) {
        COMPRESSED_SUB_BLOCK subBlock;
        ShapeSubBlock(&shape, index, &subBlock);
        Form->SubBlockSums[index] = SubBlockSum(&subBlock);
    }
    return STATUS_SUCCESS;
}

/*
 * SubBlockIsIntact: whether sub-block Index of a compressed extent, as
 * LocateSubBlock found it, still holds the bytes its checksum was taken of. A
 * reader checks a sub-block before it uses it, not on every read of a sub-block
 * it decoded already.
 */
BOOLEAN SubBlockIsIntact(PCCOMPRESSED_EXTENT Form, ULONG Index, PCCOMPRESSED_SUB_BLOCK SubBlock)
{
    return Index < Form->SubBlockCount && SubBlockSum(SubBlock) == Form->SubBlockSums[Index];
}

/*
 * DecodeCompressedExtent: decodes a whole compressed extent into ExtentLength
 * bytes at Destination with a decoding context of its codec, checking every
 * sub-block's bytes first. Returns as DecodeCompressedForm, and
 * STATUS_DATA_ERROR for a damaged sub-block (nothing is written then).
 */
NTSTATUS DecodeCompressedExtent(PCODEC_CONTEXT Context, PCCOMPRESSED_EXTENT Form, PUCHAR Destination)
{
    FORM_SHAPE shape;
    if (!NT_SUCCESS(ShapeCompressedExtent(Form, &shape)))
        return STATUS_DATA_ERROR;
    for (ULONG index = 0; index < shape.Count; ++index) {
        COMPRESSED_SUB_BLOCK subBlock;
        ShapeSubBlock(&shape, index, &subBlock);
        if (SubBlockSum(&subBlock) != Form->SubBlockSums[index])
            return STATUS_DATA_ERROR;
    }
    return DecodeCompressedForm(Context, Form->Codec, shape.Shift, Form->Pages->Base, Form->StoredLength,
                                Form->ExtentLength, Destination);
}
