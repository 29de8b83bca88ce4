/*
 * The codec table and the codec contexts over it.
 *
 * Coding runs in the volume's compression worker and decoding on the reader's
 * thread, both at PASSIVE_LEVEL, neither of them free to fail for lack of memory
 * halfway through an extent: a context therefore gets every byte its codec will
 * touch when it is set up, from the driver's pool, and the codecs are called only
 * through their entry points that take the caller's state (LZ4's *_extState
 * routines, Zstandard's static contexts). The Windows image links codec builds
 * that cannot allocate at all, so an entry point that did would fail there.
 */
#include "vorel.h"

#define ZSTD_STATIC_LINKING_ONLY
#include <lz4.h>
#include <lz4hc.h>
#include <zstd.h>

#define LZ4_ACCELERATION        1
#define LZ4_HC_LEVEL            9
#define ZSTD_LEVEL              9

typedef SIZE_T (*PCODEC_STATE_SIZE)(BOOLEAN ForCompression);
typedef NTSTATUS (*PCODEC_PREPARE)(PVOID State, SIZE_T Size, BOOLEAN ForCompression);
typedef NTSTATUS (*PCODEC_COMPRESS)(PVOID State, const UCHAR *Source, ULONG SourceLength, PUCHAR Destination,
                                    ULONG Capacity, PULONG CodedLength);
typedef BOOLEAN (*PCODEC_DECOMPRESS)(PVOID State, const UCHAR *Source, ULONG SourceLength, PUCHAR Destination,
                                     ULONG ExpectedLength);

/* One row of the codec table; a row without a routine has no coder for that direction. */
typedef struct _CODEC_ROW {
    UCHAR SubBlockShift;
    ULONG CodedBound;                       /* the most a sub-block can code to */
    PCODEC_STATE_SIZE StateSize;
    PCODEC_PREPARE Prepare;
    PCODEC_COMPRESS Compress;
    PCODEC_DECOMPRESS Decompress;
} CODEC_ROW;

/* LZ4 keeps no state for decoding; coding initialises its state on every call. */
static SIZE_T Lz4StateSize(BOOLEAN ForCompression)
{
    return ForCompression ? (SIZE_T)LZ4_sizeofState() : 0;
}

static SIZE_T Lz4HcStateSize(BOOLEAN ForCompression)
{
    return ForCompression ? (SIZE_T)LZ4_sizeofStateHC() : 0;
}

static NTSTATUS Lz4Prepare(PVOID State, SIZE_T Size, BOOLEAN ForCompression)
{
    UNREFERENCED_PARAMETER(State);
    UNREFERENCED_PARAMETER(Size);
    UNREFERENCED_PARAMETER(ForCompression);
    return STATUS_SUCCESS;
}

/* LZ4 answers 0 exactly when the output does not fit: it has no other failure. */
static NTSTATUS Lz4Outcome(int Coded, PULONG CodedLength)
{
    if (Coded <= 0)
        return STATUS_BUFFER_TOO_SMALL;
    *CodedLength = (ULONG)Coded;
    return STATUS_SUCCESS;
}

static NTSTATUS Lz4Compress(PVOID State, const UCHAR *Source, ULONG SourceLength, PUCHAR Destination,
                            ULONG Capacity, PULONG CodedLength)
{
    return Lz4Outcome(LZ4_compress_fast_extState(State, (const char *)Source, (char *)Destination,
                                                 (int)SourceLength, (int)Capacity, LZ4_ACCELERATION),
                      CodedLength);
}

static NTSTATUS Lz4HcCompress(PVOID State, const UCHAR *Source, ULONG SourceLength, PUCHAR Destination,
                              ULONG Capacity, PULONG CodedLength)
{
    return Lz4Outcome(LZ4_compress_HC_extStateHC(State, (const char *)Source, (char *)Destination,
                                                 (int)SourceLength, (int)Capacity, LZ4_HC_LEVEL),
                      CodedLength);
}

/* The safe decoder never reads past the source nor writes past the capacity. */
static BOOLEAN Lz4Decompress(PVOID State, const UCHAR *Source, ULONG SourceLength, PUCHAR Destination,
                             ULONG ExpectedLength)
{
    UNREFERENCED_PARAMETER(State);
    int decoded = LZ4_decompress_safe((const char *)Source, (char *)Destination, (int)SourceLength,
                                      (int)ExpectedLength);
    return decoded >= 0 && (ULONG)decoded == ExpectedLength;
}

/*
 * Zstandard does not tell a full output buffer from other failures without its
 * error header; the encoder always offers at least the compression bound, so
 * every failure here is the codec's own.
 */

/*
 * A Zstandard compression context is sized for the parameters level 9 takes for
 * one sub-block (2^18 bytes); a shorter source only needs less.
 */
static SIZE_T ZstdStateSize(BOOLEAN ForCompression)
{
    if (!ForCompression)
        return ZSTD_estimateDCtxSize();
    return ZSTD_estimateCCtxSize_usingCParams(ZSTD_getCParams(ZSTD_LEVEL, 1ull << 18, 0));
}

/* The static contexts live at the start of the block handed to them. */
static NTSTATUS ZstdPrepare(PVOID State, SIZE_T Size, BOOLEAN ForCompression)
{
    PVOID context = ForCompression ? (PVOID)ZSTD_initStaticCCtx(State, Size) : (PVOID)ZSTD_initStaticDCtx(State, Size);
    return context == State ? STATUS_SUCCESS : STATUS_INTERNAL_ERROR;
}

static NTSTATUS ZstdCompress(PVOID State, const UCHAR *Source, ULONG SourceLength, PUCHAR Destination,
                             ULONG Capacity, PULONG CodedLength)
{
    size_t coded = ZSTD_compressCCtx((ZSTD_CCtx *)State, Destination, Capacity, Source, SourceLength, ZSTD_LEVEL);
    if (ZSTD_isError(coded) || coded == 0)
        return STATUS_INTERNAL_ERROR;
    *CodedLength = (ULONG)coded;
    return STATUS_SUCCESS;
}

static BOOLEAN ZstdDecompress(PVOID State, const UCHAR *Source, ULONG SourceLength, PUCHAR Destination,
                              ULONG ExpectedLength)
{
    size_t decoded = ZSTD_decompressDCtx((ZSTD_DCtx *)State, Destination, ExpectedLength, Source, SourceLength);
    return !ZSTD_isError(decoded) && decoded == ExpectedLength;
}

static const CODEC_ROW CodecTable[CODEC_TABLE_ROWS] = {
    {0, 0, NULL, NULL, NULL, NULL},                                                         /* none */
    {0, 0, NULL, NULL, NULL, NULL},                                                         /* reserved */
    {16, LZ4_COMPRESSBOUND(1 << 16), Lz4StateSize, Lz4Prepare, Lz4Compress, Lz4Decompress}, /* fast */
    {16, LZ4_COMPRESSBOUND(1 << 16), Lz4HcStateSize, Lz4Prepare, Lz4HcCompress, Lz4Decompress}, /* normal */
    {18, ZSTD_COMPRESSBOUND(1 << 18), ZstdStateSize, ZstdPrepare, ZstdCompress, ZstdDecompress}, /* max */
};

static const CODEC_ROW *CodecRow(ULONG Codec)
{
    return Codec < CODEC_TABLE_ROWS ? &CodecTable[Codec] : NULL;
}

/*
 * CodecForCompressionLevel: the codec a volume's compression level chooses,
 * CODEC_NONE for level none and for a level that does not exist.
 */
ULONG CodecForCompressionLevel(ULONG Level)
{
    switch (Level) {
    case COMPRESSION_LEVEL_FAST:
        return CODEC_LZ4;
    case COMPRESSION_LEVEL_NORMAL:
        return CODEC_LZ4_HC;
    case COMPRESSION_LEVEL_MAX:
        return CODEC_ZSTD;
    default:
        return CODEC_NONE;
    }
}

/* CodecSubBlockShift: the sub-block shift a codec codes with; 0 for a codec without a coder. */
UCHAR CodecSubBlockShift(ULONG Codec)
{
    const CODEC_ROW *row = CodecRow(Codec);
    return row != NULL ? row->SubBlockShift : 0;
}

/*
 * SetUpCodecContext: makes an empty context ready to code (ForCompression) or
 * to decode with Codec: the codec's state and, to code, the output scratch
 * buffer with a staging area of one sub-block's coded bound behind it, both
 * non-paged (decoding writes straight into its destination).
 *
 * Returns STATUS_SUCCESS; STATUS_INVALID_DEVICE_REQUEST for a codec without a
 * coder in that direction; STATUS_INVALID_PARAMETER for a context that is not
 * empty; STATUS_INSUFFICIENT_RESOURCES. A failure leaves the context empty.
 */
NTSTATUS SetUpCodecContext(PCODEC_CONTEXT Context, ULONG Codec, BOOLEAN ForCompression)
{
    NTSTATUS status;
    const CODEC_ROW *row = CodecRow(Codec);
    if (row == NULL || (ForCompression ? row->Compress == NULL : row->Decompress == NULL))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (Context->Codec != CODEC_NONE || Context->CoderState != NULL || Context->Scratch != NULL)
        return STATUS_INVALID_PARAMETER;

    SIZE_T stateSize = row->StateSize(ForCompression);
    PVOID state = NULL;
    if (stateSize != 0) {
        state = VorelData.AllocatePool(stateSize, TAG_CODEC_STATE, NonPagedPoolNx);
        if (state == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    PUCHAR scratch = NULL;
    if (ForCompression) {
        scratch = (PUCHAR)VorelData.AllocatePool(CODEC_SCRATCH_SIZE + row->CodedBound, TAG_CODEC_SCRATCH,
                                                 NonPagedPoolNx);
        if (scratch == NULL) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            goto free_state;
        }
    }
    status = row->Prepare(state, stateSize, ForCompression);
    if (!NT_SUCCESS(status))
        goto free_scratch;

    Context->Codec = Codec;
    Context->ForCompression = ForCompression;
    Context->SubBlockShift = row->SubBlockShift;
    Context->CoderState = state;
    Context->CoderStateSize = stateSize;
    Context->Scratch = scratch;
    Context->Staging = scratch != NULL ? scratch + CODEC_SCRATCH_SIZE : NULL;
    Context->StagingSize = scratch != NULL ? row->CodedBound : 0;
    return STATUS_SUCCESS;

free_scratch:
    if (scratch != NULL)
        VorelData.FreePool(scratch, TAG_CODEC_SCRATCH);
free_state:
    if (state != NULL)
        VorelData.FreePool(state, TAG_CODEC_STATE);
    return status;
}

/* TearDownCodecContext: frees what setup allocated and leaves the context empty; an empty one is left alone. */
VOID TearDownCodecContext(PCODEC_CONTEXT Context)
{
    FreeAndClear(&Context->CoderState, TAG_CODEC_STATE);
    FreeAndClear((PVOID *)&Context->Scratch, TAG_CODEC_SCRATCH);
    RtlZeroMemory(Context, sizeof(*Context));
}

/*
 * CompressSubBlock: codes SourceLength bytes into at most Capacity bytes with a
 * compression context's codec.
 *
 * Returns STATUS_SUCCESS with a positive CodedLength; STATUS_BUFFER_TOO_SMALL
 * when the coded bytes would not fit (the caller stores the bytes raw);
 * STATUS_INVALID_PARAMETER for a context that does not compress;
 * STATUS_INTERNAL_ERROR for any other codec failure.
 */
NTSTATUS CompressSubBlock(PCODEC_CONTEXT Context, const UCHAR *Source, ULONG SourceLength, PUCHAR Destination,
                          ULONG Capacity, PULONG CodedLength)
{
    const CODEC_ROW *row = CodecRow(Context->Codec);
    if (!Context->ForCompression || row == NULL || row->Compress == NULL)
        return STATUS_INVALID_PARAMETER;
    return row->Compress(Context->CoderState, Source, SourceLength, Destination, Capacity, CodedLength);
}

/*
 * DecompressSubBlock: decodes one sub-block that LocateSubBlock found in a
 * form of Codec into ExpectedSize bytes at Destination (a raw one is copied).
 *
 * Returns STATUS_SUCCESS; STATUS_INTERNAL_ERROR when Codec is not the codec of
 * this decoding context; STATUS_DATA_ERROR when the bytes do not decode to
 * exactly the expected size. Writes nothing outside the ExpectedSize bytes.
 */
NTSTATUS DecompressSubBlock(PCODEC_CONTEXT Context, ULONG Codec, PCCOMPRESSED_SUB_BLOCK SubBlock,
                            PUCHAR Destination)
{
    const CODEC_ROW *row = CodecRow(Context->Codec);
    if (Context->ForCompression || Codec != Context->Codec || row == NULL || row->Decompress == NULL)
        return STATUS_INTERNAL_ERROR;
    if (SubBlock->Raw) {
        if (SubBlock->StoredSize != SubBlock->ExpectedSize)
            return STATUS_DATA_ERROR;
        RtlCopyMemory(Destination, SubBlock->Bytes, SubBlock->ExpectedSize);
        return STATUS_SUCCESS;
    }
    return row->Decompress(Context->CoderState, SubBlock->Bytes, SubBlock->StoredSize, Destination,
                           SubBlock->ExpectedSize)
               ? STATUS_SUCCESS
               : STATUS_DATA_ERROR;
}
