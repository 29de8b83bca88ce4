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
SIZE_T CompressedExtentSize(ULONG Count);
ULONG SubBlockCountOf(ULONG Codec, ULONG ExtentLength);
NTSTATUS SumCompressedExtent(PCOMPRESSED_EXTENT Form);
BOOLEAN SubBlockIsIntact(PCCOMPRESSED_EXTENT Form, ULONG Index, PCCOMPRESSED_SUB_BLOCK SubBlock);
NTSTATUS DecodeCompressedExtent(PCODEC_CONTEXT Context, PCCOMPRESSED_EXTENT Form, PUCHAR Destination);

/* extent_compression.cpp: one extent of a file packed in place. */
NTSTATUS CompressExtent(PFCB Fcb, ULONG Index, PCODEC_CONTEXT Context, PCOLD_EXTENT_OUTCOME Outcome);

/* cold_queue.cpp: a volume's queue of files waiting to go cold. */
VOID InitializeColdQueue(PCOLD_QUEUE Queue);
VOID OfferColdFile(PFCB Fcb, BOOLEAN MoveToTail);       /* any IRQL <= DISPATCH_LEVEL */
BOOLEAN TakeColdFile(PVCB Vcb, PFCB *Fcb, PULONG Level);
VOID RequeueColdFile(PVCB Vcb, PFCB Fcb);
VOID FinishColdFile(PVCB Vcb);
VOID DrainColdQueue(PVCB Vcb);
VOID PauseColdQueue(PVCB Vcb);
VOID ResumeColdQueue(PVCB Vcb);
BOOLEAN IsColdQueueStopping(PVCB Vcb);

/* cold_file.cpp: the worker's pass over one file. */
BOOLEAN PackColdFile(PVCB Vcb, PFCB Fcb, PCODEC_CONTEXT Context);
BOOLEAN RecentlyDecompressed(PVCB Vcb, PFCB Fcb);

/* compression_worker.cpp: the volume's worker thread. */
NTSTATUS StartCompressionWorker(PVCB Vcb);
VOID StopCompressionWorker(PVCB Vcb);
