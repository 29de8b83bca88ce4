/*
 * The memory store's diagnostic entry points. The stand-in build of the driver
 * exports this table as "VorelStoreDiagnostics" so that the test suite and the
 * benchmarks can drive the store's routines in the loaded module, on volumes and
 * nodes of their own making, before any volume is mounted.
 */
#pragma once

#define VOREL_STORE_DIAGNOSTICS_VERSION 1

typedef struct _VOREL_STORE_DIAGNOSTICS {
    ULONG Size;
    ULONG Version;

    /* A store volume in non-paged pool, and its end (everything must be released first). */
    PSTORE_VOLUME (*CreateVolume)(ULONGLONG SizeBytes);
    VOID (*TearDownVolume)(PSTORE_VOLUME Volume);
    VOID (*DeleteVolume)(PSTORE_VOLUME Volume);
    /* A file node of the volume with initialised resources; deleting it releases its data. */
    PFCB (*CreateNode)(PSTORE_VOLUME Volume);
    VOID (*DeleteNode)(PFCB Fcb);

    PPAGE_SET (*AllocatePages)(ULONGLONG Bytes, BOOLEAN FullyRequired);
    VOID (*FreePages)(PPAGE_SET PageSet);
    NTSTATUS (*AllocateChunk)(PSTORE_VOLUME Volume, ULONG Size, ULONG KeepOffset, ULONG KeepLength, BOOLEAN Charge,
                              BOOLEAN SkipPressureCheck, PDATA_CHUNK *Chunk);
    VOID (*ReferenceChunk)(PDATA_CHUNK Chunk);
    VOID (*ReleaseChunk)(PDATA_CHUNK Chunk);
    VOID (*TrimChunkCache)(PSTORE_VOLUME Volume);
    BOOLEAN (*IsLowMemory)(PSTORE_VOLUME Volume, ULONGLONG Size);
    NTSTATUS (*AllocateSlot)(PSTORE_VOLUME Volume, ULONG Size, PSLAB *Slab, PULONG Index, PUCHAR *Address,
                             PBOOLEAN Fresh);
    VOID (*FreeSlot)(PSTORE_VOLUME Volume, PSLAB Slab, ULONG Index);
    BOOLEAN (*WouldExceedVolumeSize)(PFCB Fcb, ULONGLONG Bytes);

    NTSTATUS (*EnsureSmallCapacity)(PFCB Fcb, ULONGLONG Size);
    NTSTATUS (*ConvertToExtentTable)(PFCB Fcb, BOOLEAN KeepCapacity);
    NTSTATUS (*ReserveRange)(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length, BOOLEAN WriteWillFill,
                             BOOLEAN SkipPressureCheck);
    NTSTATUS (*AllocateExtentOnDemand)(PFCB Fcb, ULONG Index);
    NTSTATUS (*ExpandPartialExtent)(PFCB Fcb, BOOLEAN CheckLimit);
    NTSTATUS (*WriteData)(PFCB Fcb, ULONGLONG Offset, const VOID *Buffer, SIZE_T Length);
    VOID (*CopyIntoExtents)(PFCB Fcb, ULONGLONG Offset, const VOID *Buffer, SIZE_T Length);
    VOID (*CopyFromStorage)(PFCB Fcb, ULONGLONG Offset, PVOID Buffer, SIZE_T Length);
    BOOLEAN (*WriteInPlace)(PFCB Fcb, ULONGLONG Offset, const VOID *Buffer, SIZE_T Length);
    NTSTATUS (*ZeroRange)(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length);
    NTSTATUS (*ZeroOrDeallocate)(PFCB Fcb, ULONGLONG Offset, ULONGLONG End, BOOLEAN Deallocate);
    NTSTATUS (*SetDataSize)(PFCB Fcb, ULONGLONG NewSize);
    VOID (*ExtendSizesAfterWrite)(PFCB Fcb, ULONGLONG End);
    VOID (*ReleaseAllData)(PFCB Fcb);
    NTSTATUS (*TrimToSize)(PFCB Fcb);
    NTSTATUS (*ShareRange)(PFCB Target, ULONGLONG TargetOffset, PFCB Source, ULONGLONG SourceOffset,
                           ULONGLONG Length);
    NTSTATUS (*UnshareRange)(PFCB Fcb, ULONGLONG Offset, ULONGLONG Length);
    NTSTATUS (*UnshareAll)(PFCB Fcb);
    VOID (*QueryAllocatedRanges)(PFCB Fcb, ULONGLONG Start, ULONGLONG End, PALLOCATED_RANGE Ranges,
                                 ULONG Capacity, PULONG Count, PBOOLEAN Overflow);
    BOOLEAN (*IsAllZero)(const VOID *Buffer, SIZE_T Length);
} VOREL_STORE_DIAGNOSTICS, *PVOREL_STORE_DIAGNOSTICS;
