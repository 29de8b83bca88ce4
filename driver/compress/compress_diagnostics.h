/*
 * The codec layer's diagnostic entry points. The driver exports this table as
 * "VorelCompressDiagnostics" so that the test suite and the benchmarks can drive
 * the codec contexts, the compressed form and the packing of a node's extents in
 * the loaded module without a mounted volume.
 */
#pragma once

#define VOREL_COMPRESS_DIAGNOSTICS_VERSION 2

typedef struct _VOREL_COMPRESS_DIAGNOSTICS {
    ULONG Size;
    ULONG Version;

    ULONG (*CodecForCompressionLevel)(ULONG Level);
    UCHAR (*CodecSubBlockShift)(ULONG Codec);
    NTSTATUS (*SetUpCodecContext)(PCODEC_CONTEXT Context, ULONG Codec, BOOLEAN ForCompression);
    VOID (*TearDownCodecContext)(PCODEC_CONTEXT Context);
    NTSTATUS (*EncodeExtent)(PCODEC_CONTEXT Context, const UCHAR *Extent, ULONG ExtentLength, PULONG StoredLength,
                             PBOOLEAN WorthKeeping);
    NTSTATUS (*LocateSubBlock)(ULONG Shift, const UCHAR *Form, ULONG FormLength, ULONG ExtentLength, ULONG Index,
                               PCOMPRESSED_SUB_BLOCK SubBlock);
    NTSTATUS (*DecompressSubBlock)(PCODEC_CONTEXT Context, ULONG Codec, PCCOMPRESSED_SUB_BLOCK SubBlock,
                                   PUCHAR Destination);
    NTSTATUS (*DecodeCompressedForm)(PCODEC_CONTEXT Context, ULONG Codec, ULONG Shift, const UCHAR *Form,
                                     ULONG FormLength, ULONG ExtentLength, PUCHAR Destination);

    /* A node's extents: packed one at a time, decoded back over a range of indexes. */
    NTSTATUS (*CompressExtent)(PFCB Fcb, ULONG Index, PCODEC_CONTEXT Context, PCOLD_EXTENT_OUTCOME Outcome);
    NTSTATUS (*DecompressExtents)(PFCB Fcb, ULONGLONG First, ULONGLONG Last);
} VOREL_COMPRESS_DIAGNOSTICS, *PVOREL_COMPRESS_DIAGNOSTICS;
