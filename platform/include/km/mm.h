/*
 * Memory manager: memory descriptor lists, probes and system information.
 */
#pragma once

#include <ntdef.h>

struct _KPROCESS;

typedef struct _MDL {
    struct _MDL *Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _KPROCESS *Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA     0x0001
#define MDL_PAGES_LOCKED            0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE    0x0008
#define MDL_PARTIAL                 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ            0x0040
#define MDL_WRITE_OPERATION         0x0080
#define MDL_LOCKED_PAGE_TABLES      0x0100
#define MDL_FREE_EXTRA_PTES         0x0200
#define MDL_DESCRIBES_AWE           0x0400
#define MDL_IO_SPACE                0x0800
#define MDL_NETWORK_HEADER          0x1000
#define MDL_MAPPING_CAN_FAIL        0x2000
#define MDL_PAGE_CONTENTS_INVARIANT 0x4000
#define MDL_INTERNAL                0x8000

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached,
    MmNonCachedUnordered,
    MmUSWCCached,
    MmMaximumCacheType,
    MmNotMapped = -1
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY { LowPagePriority, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;

#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

/* A page list's page frame numbers follow its header. */
typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;
#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))

/* Flags of MmAllocatePagesForMdlEx and MmAllocateNodePagesForMdlEx. */
#define MM_DONT_ZERO_ALLOCATION                 0x00000001
#define MM_ALLOCATE_FROM_LOCAL_NODE_ONLY        0x00000002
#define MM_ALLOCATE_FULLY_REQUIRED              0x00000004
#define MM_ALLOCATE_NO_WAIT                     0x00000008
#define MM_ALLOCATE_PREFER_CONTIGUOUS           0x00000010
#define MM_ALLOCATE_REQUIRE_CONTIGUOUS_CHUNKS   0x00000020
#define MM_ALLOCATE_FAST_LARGE_PAGES            0x00000040
#define MM_ALLOCATE_TRIM_IF_NECESSARY           0x00000080
#define MM_ALLOCATE_AND_HOT_REMOVE              0x00000100

/* The node form, found at run time with MmGetSystemRoutineAddress. */
typedef struct _MDL *(NTAPI *PMM_ALLOCATE_NODE_PAGES_FOR_MDL_EX)(PHYSICAL_ADDRESS LowAddress,
                                                                PHYSICAL_ADDRESS HighAddress,
                                                                PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes,
                                                                MEMORY_CACHING_TYPE CacheType, ULONG IdealNode,
                                                                ULONG Flags);

/* System information (ZwQuerySystemInformation). */
typedef enum _SYSTEM_INFORMATION_CLASS {
    SystemBasicInformation = 0,
    SystemProcessorInformation = 1,
    SystemPerformanceInformation = 2,
} SYSTEM_INFORMATION_CLASS;

typedef struct _SYSTEM_BASIC_INFORMATION {
    ULONG Reserved;
    ULONG TimerResolution;
    ULONG PageSize;
    ULONG NumberOfPhysicalPages;
    ULONG LowestPhysicalPageNumber;
    ULONG HighestPhysicalPageNumber;
    ULONG AllocationGranularity;
    ULONG_PTR MinimumUserModeAddress;
    ULONG_PTR MaximumUserModeAddress;
    ULONG_PTR ActiveProcessorsAffinityMask;
    CCHAR NumberOfProcessors;
} SYSTEM_BASIC_INFORMATION, *PSYSTEM_BASIC_INFORMATION;

/* The fields before AvailablePages and the record's Windows size (312 bytes on 64-bit). */
typedef struct _SYSTEM_PERFORMANCE_INFORMATION {
    LARGE_INTEGER IdleProcessTime;
    LARGE_INTEGER IoReadTransferCount;
    LARGE_INTEGER IoWriteTransferCount;
    LARGE_INTEGER IoOtherTransferCount;
    ULONG IoReadOperationCount;
    ULONG IoWriteOperationCount;
    ULONG IoOtherOperationCount;
    ULONG AvailablePages;
    ULONG CommittedPages;
    ULONG CommitLimit;
    ULONG PeakCommitment;
    ULONG Reserved[63];
} SYSTEM_PERFORMANCE_INFORMATION, *PSYSTEM_PERFORMANCE_INFORMATION;

EXTERN_C_START

NTKERNELAPI VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                           LOCK_OPERATION Operation);
NTKERNELAPI VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList);
NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                     MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                     ULONG BugCheckOnFailure, ULONG Priority);
NTKERNELAPI VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
NTKERNELAPI VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
NTKERNELAPI PMDL NTAPI MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                             PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes);
NTKERNELAPI PMDL NTAPI MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                               PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes,
                                               MEMORY_CACHING_TYPE CacheType, ULONG Flags);
NTKERNELAPI PMDL NTAPI MmAllocateNodePagesForMdlEx(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                                   PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes,
                                                   MEMORY_CACHING_TYPE CacheType, ULONG IdealNode, ULONG Flags);
NTKERNELAPI VOID NTAPI MmFreePagesFromMdl(PMDL MemoryDescriptorList);
NTKERNELAPI VOID NTAPI MmUnmapReservedMapping(PVOID BaseAddress, ULONG PoolTag, PMDL MemoryDescriptorList);
NTKERNELAPI VOID NTAPI MmFreeMappingAddress(PVOID BaseAddress, ULONG PoolTag);
NTKERNELAPI VOID NTAPI ProbeForRead(const volatile VOID *Address, SIZE_T Length, ULONG Alignment);
NTKERNELAPI VOID NTAPI ProbeForWrite(volatile VOID *Address, SIZE_T Length, ULONG Alignment);
NTKERNELAPI PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);
NTSYSAPI NTSTATUS NTAPI ZwQuerySystemInformation(SYSTEM_INFORMATION_CLASS SystemInformationClass,
                                                 PVOID SystemInformation, ULONG SystemInformationLength,
                                                 PULONG ReturnLength);

EXTERN_C_END

#define MmGetSystemAddressForMdlSafe(Mdl, Priority)                                                   \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))                      \
         ? ((Mdl)->MappedSystemVa)                                                                     \
         : MmMapLockedPagesSpecifyCache((Mdl), KernelMode, MmCached, NULL, FALSE, (Priority)))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))

#if defined(__cplusplus)
static_assert(sizeof(MDL) == 48, "MDL");
static_assert(sizeof(SYSTEM_BASIC_INFORMATION) == 64, "SYSTEM_BASIC_INFORMATION");
static_assert(sizeof(SYSTEM_PERFORMANCE_INFORMATION) == 312, "SYSTEM_PERFORMANCE_INFORMATION");
static_assert(FIELD_OFFSET(SYSTEM_PERFORMANCE_INFORMATION, AvailablePages) == 44, "AvailablePages");
#endif
