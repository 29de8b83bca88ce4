/*
 * Memory store routines.
 *
 * Unless a routine says otherwise: PASSIVE_LEVEL; a routine that takes a node runs
 * with the node's paging I/O resource held exclusively by the caller; every
 * NTSTATUS is STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES (no memory),
 * STATUS_DISK_FULL (the volume size or a format limit would be exceeded) or what
 * the routine names; and a failure leaves the file's data and the charges as they
 * were.
 */
#pragma once

/* pool.cpp: the driver's generic allocation helpers. */
PVOID AllocateZeroed(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType);
PVOID DuplicateBuffer(const VOID *Source, SIZE_T Length);
VOID FreeAndClear(PVOID *Slot, ULONG Tag);

/* record_cache.cpp */
NTSTATUS CreateCaches(VOID);
VOID DeleteCaches(VOID);
PVOID CacheAllocate(PRECORD_CACHE Cache);
VOID CacheFree(PRECORD_CACHE Cache, PVOID *Slot);

/* page_store.cpp: pages, mappings and data chunks. */
PPAGE_SET AllocatePages(ULONGLONG Bytes, BOOLEAN FullyRequired);
VOID FreePages(PPAGE_SET PageSet);
NTSTATUS MakeChunk(PSTORE_VOLUME Volume, PPAGE_SET PageSet, PDATA_CHUNK *Chunk);
VOID ZeroOutsideWindow(PUCHAR Base, ULONG Size, ULONG KeepOffset, ULONG KeepLength);
NTSTATUS AllocateChunk(PSTORE_VOLUME Volume, ULONG Size, ULONG KeepOffset, ULONG KeepLength, BOOLEAN Charge,
                       BOOLEAN SkipPressureCheck, PDATA_CHUNK *Chunk);
VOID ReferenceChunk(PDATA_CHUNK Chunk);
VOID ReleaseChunk(PDATA_CHUNK Chunk);
VOID DestroyChunk(PDATA_CHUNK Chunk);

/* chunk_cache.cpp */
PDATA_CHUNK PopCachedChunk(PSTORE_VOLUME Volume);
BOOLEAN PushCachedChunk(PSTORE_VOLUME Volume, PDATA_CHUNK Chunk);
VOID TrimChunkCache(PSTORE_VOLUME Volume);

/* pressure.cpp */
BOOLEAN IsLowMemory(PSTORE_VOLUME Volume, ULONGLONG Size);

/* slab.cpp */
NTSTATUS AllocateSlot(PSTORE_VOLUME Volume, ULONG Size, PSLAB *Slab, PULONG Index, PUCHAR *Address,
                      PBOOLEAN Fresh);
VOID FreeSlot(PSTORE_VOLUME Volume, PSLAB Slab, ULONG Index);
VOID FreeAllSlabs(PSTORE_VOLUME Volume);

/* store_volume.cpp: the volume's part of the store and its accounting. */
VOID InitializeStoreVolume(PSTORE_VOLUME Volume, ULONGLONG SizeBytes);
VOID TearDownStoreVolume(PSTORE_VOLUME Volume);
BOOLEAN VolumeSizeAllows(PSTORE_VOLUME Volume, ULONGLONG Growth);
BOOLEAN WouldExceedVolumeSize(PFCB Fcb, ULONGLONG Bytes);
VOID AddCharge(PSTORE_VOLUME Volume, LONG64 Bytes);
VOID AddHeld(PSTORE_VOLUME Volume, LONG64 Bytes);
LONG64 ChargeGrowth(ULONG NewSize, PDATA_CHUNK OldChunk);
VOID TransferCharge(PSTORE_VOLUME Volume, PDATA_CHUNK NewChunk, PDATA_CHUNK OldChunk);

/* file_tiers.cpp: the three tiers of a file and the moves between them. */
VOID RecomputeHeaderSizes(PFCB Fcb);
NTSTATUS EnsureSmallCapacity(PFCB Fcb, ULONGLONG Size);
NTSTATUS EnsureSmallCapacityFor(PFCB Fcb, ULONGLONG Size, ULONGLONG FillOffset, ULONGLONG FillLength);
NTSTATUS GrowSingleBuffer(PFCB Fcb, ULONGLONG Size);
VOID InstallSingleChunk(PFCB Fcb, PDATA_CHUNK Chunk);
LONG64 ConversionGrowth(PFCB Fcb, ULONG Size);
NTSTATUS AllocateFirstExtent(PFCB Fcb, ULONG Size, BOOLEAN SkipPressureCheck, PDATA_CHUNK *Chunk);
VOID InstallFirstExtent(PFCB Fcb, PDATA_CHUNK Chunk, BOOLEAN KeepCapacity);
NTSTATUS ConvertToExtentTable(PFCB Fcb, BOOLEAN KeepCapacity);
NTSTATUS AllocateExtentTable(PFCB Fcb, ULONGLONG Count, PEXTENT_ENTRY *Table, PULONG Capacity);
VOID InstallExtentTable(PFCB Fcb, PEXTENT_ENTRY Table, ULONG Capacity);
NTSTATUS GrowExtentTable(PFCB Fcb, ULONGLONG Count);
VOID InstallExtentChunk(PFCB Fcb, PEXTENT_ENTRY Entry, PDATA_CHUNK Chunk, ULONG CopyLength);
NTSTATUS ReplaceExtentChunk(PFCB Fcb, PEXTENT_ENTRY Entry, ULONG NewSize, ULONG CopyLength,
                            BOOLEAN SkipPressureCheck);
NTSTATUS ExpandPartialExtent(PFCB Fcb, BOOLEAN CheckLimit);
BOOLEAN EndsBeyondPartialExtent(PFCB Fcb, ULONGLONG End);
VOID EmptyExtentEntry(PFCB Fcb, PEXTENT_ENTRY Entry);
VOID TouchExtent(PEXTENT_ENTRY Entry, ULONG Now);
ULONG ExtentAccessTime(VOID);
VOID MarkModifiedAt(PFCB Fcb, ULONGLONG Offset);

/*
 * reserve.cpp. An EXTENT_USE_ROUTINE tells a reservation what its caller puts
 * into the part [Offset, Offset + Length) of its range that lies in one extent.
 */
typedef enum _EXTENT_USE {
    ExtentGetsData,                         /* bytes not all zero: needs private memory */
    ExtentGetsZeros,                        /* zeros: private where it has memory, none where it has not */
    ExtentTakesChunk,                       /* another file's chunk: needs a table entry only */
    ExtentUntouched                         /* becomes a hole or stays as it is: needs nothing */
} EXTENT_USE;

typedef EXTENT_USE (*EXTENT_USE_ROUTINE)(PVOID Context, ULONGLONG Offset, ULONGLONG Length);

NTSTATUS ReserveExtents(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length, BOOLEAN WriteWillFill,
                        BOOLEAN SkipPressureCheck, EXTENT_USE_ROUTINE Use, PVOID Context);
NTSTATUS ReserveSmallFile(PFCB Fcb, ULONGLONG End, ULONGLONG FillOffset, ULONGLONG FillLength);
NTSTATUS ReserveRange(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length, BOOLEAN WriteWillFill,
                      BOOLEAN SkipPressureCheck);
NTSTATUS AllocateExtentOnDemand(PFCB Fcb, ULONG Index);

/* extent_write.cpp */
BOOLEAN IsAllZero(const VOID *Buffer, SIZE_T Length);
NTSTATUS WriteData(PFCB Fcb, ULONGLONG Offset, const VOID *Buffer, SIZE_T Length);
VOID CopyIntoExtents(PFCB Fcb, ULONGLONG Offset, const VOID *Buffer, SIZE_T Length);

/* data_copy.cpp: the paths that only read the layout (paging resource held shared). */
VOID CopyFromStorage(PFCB Fcb, ULONGLONG Offset, PVOID Buffer, SIZE_T Length);
BOOLEAN WriteInPlace(PFCB Fcb, ULONGLONG Offset, const VOID *Buffer, SIZE_T Length);

/* zeroing.cpp */
NTSTATUS ZeroRange(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length);
NTSTATUS ZeroOrDeallocate(PFCB Fcb, ULONGLONG Offset, ULONGLONG End, BOOLEAN Deallocate);

/* file_size.cpp */
NTSTATUS SetDataSize(PFCB Fcb, ULONGLONG NewSize);
VOID ExtendSizesAfterWrite(PFCB Fcb, ULONGLONG End);
VOID ReleaseAllData(PFCB Fcb);
NTSTATUS TrimToSize(PFCB Fcb);                 /* takes the node's resources itself */

/* sharing.cpp */
NTSTATUS UnshareSingle(PFCB Fcb);
NTSTATUS ShareRange(PFCB Target, ULONGLONG TargetOffset, PFCB Source, ULONGLONG SourceOffset,
                    ULONGLONG Length);
NTSTATUS UnshareRange(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length);
NTSTATUS UnshareAll(PFCB Fcb);

/* compressed_extents.cpp: the store's side of compressed extents. */
struct _COMPRESSION_COUNTERS *CompressionCountersOf(PFCB Fcb);
VOID FreeCompressedExtent(struct _COMPRESSED_EXTENT *Form);
VOID AttachCompressedForm(PFCB Fcb, PEXTENT_ENTRY Entry, struct _COMPRESSED_EXTENT *Form);
struct _COMPRESSED_EXTENT *DetachCompressedForm(PFCB Fcb, PEXTENT_ENTRY Entry);
VOID DropCompressedForm(PFCB Fcb, PEXTENT_ENTRY Entry);
NTSTATUS DecompressExtents(PFCB Fcb, ULONGLONG First, ULONGLONG Last);
NTSTATUS DecompressRange(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length);

/* allocated_ranges.cpp */
VOID QueryAllocatedRanges(PFCB Fcb, ULONGLONG Start, ULONGLONG End, PALLOCATED_RANGE Ranges,
                          ULONG Capacity, PULONG Count, PBOOLEAN Overflow);

/* StoreInvariantFailed: stops the system; Number names the broken invariant. */
DECLSPEC_NORETURN FORCEINLINE VOID StoreInvariantFailed(ULONG Number)
{
    KeBugCheckEx(VOREL_BUGCHECK, Number, 0, 0, 0);
}
