/*
 * Cold-file compression routines: the codec layer.
 *
 * Unless a routine says otherwise: PASSIVE_LEVEL; the caller owns the codec
 * context it passes (no other thread uses it meanwhile) and holds whatever keeps
 * the buffers it passes alive; nothing here takes a lock or allocates, apart
 * from setting a context up.
 */
#pragma once

/* codec_context.cpp: the codec table and the contexts over it. */
ULONG CodecForCompressionLevel(ULONG Level);
UCHAR CodecSubBlockShift(ULONG Codec);
NTSTATUS SetUpCodecContext(PCODEC_CONTEXT Context, ULONG Codec, BOOLEAN ForCompression);
VOID TearDownCodecContext(PCODEC_CONTEXT Context);
NTSTATUS CompressSubBlock(PCODEC_CONTEXT Context, const UCHAR *Source, ULONG SourceLength, PUCHAR Destination,
                          ULONG Capacity, PULONG CodedLength);
NTSTATUS DecompressSubBlock(PCODEC_CONTEXT Context, ULONG Codec, PCCOMPRESSED_SUB_BLOCK SubBlock,
                            PUCHAR Destination);

/* compressed_form.cpp: the compressed form of an extent. */
ULONG CompressedHeaderLength(ULONG Count);
BOOLEAN IsWorthKeeping(ULONG StoredLength, ULONG ExtentLength);
NTSTATUS EncodeExtent(PCODEC_CONTEXT Context, const UCHAR *Extent, ULONG ExtentLength, PULONG StoredLength,
                      PBOOLEAN WorthKeeping);
NTSTATUS LocateSubBlock(ULONG Shift, const UCHAR *Form, ULONG FormLength, ULONG ExtentLength, ULONG Index,
                        PCOMPRESSED_SUB_BLOCK SubBlock);
NTSTATUS DecodeCompressedForm(PCODEC_CONTEXT Context, ULONG Codec, ULONG Shift, const UCHAR *Form,
                              ULONG FormLength, ULONG ExtentLength, PUCHAR Destination);

/* extent_compression.cpp: one extent of a file packed in place. */
NTSTATUS CompressExtent(PFCB Fcb, ULONG Index, PCODEC_CONTEXT Context, PCOLD_EXTENT_OUTCOME Outcome);
