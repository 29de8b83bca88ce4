/*
 * The codec layer's diagnostic table (see compress_diagnostics.h).
 */
#include "vorel.h"
#include "compress/compress_diagnostics.h"

EXTERN_C DECLSPEC_EXPORT const VOREL_COMPRESS_DIAGNOSTICS VorelCompressDiagnostics = {
    sizeof(VOREL_COMPRESS_DIAGNOSTICS),
    VOREL_COMPRESS_DIAGNOSTICS_VERSION,
    CodecForCompressionLevel,
    CodecSubBlockShift,
    SetUpCodecContext,
    TearDownCodecContext,
    EncodeExtent,
    LocateSubBlock,
    DecompressSubBlock,
    DecodeCompressedForm,
    CompressExtent,
    DecompressExtents,
};
