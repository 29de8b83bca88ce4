/*
 * Interlocked singly linked lists and lookaside lists. The stand-in keeps a
 * lookaside list's depth at its initial value (ExMinimumLookasideDepth, 4): no
 * balancer adjusts it, so hit and miss counts are reproducible.
 */
#pragma once

#include <ntdef.h>
#include <km/pool.h>

/* Depth in bits 0..15 of Alignment and a sequence number above it; the first entry in Region. */
typedef union DECLSPEC_ALIGN(16) _SLIST_HEADER {
    struct {
        ULONGLONG Alignment;
        ULONGLONG Region;
    };
} SLIST_HEADER, *PSLIST_HEADER;

typedef struct DECLSPEC_ALIGN(16) _SLIST_ENTRY {
    struct _SLIST_ENTRY *Next;
} SLIST_ENTRY, *PSLIST_ENTRY;

#define ExMinimumLookasideDepth 4
#define ExMaximumLookasideDepth 256

typedef struct DECLSPEC_CACHEALIGN _GENERAL_LOOKASIDE {
    union {
        SLIST_HEADER ListHead;
        SINGLE_LIST_ENTRY SingleListHead;
    };
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    union {
        ULONG AllocateMisses;
        ULONG AllocateHits;
    };
    ULONG TotalFrees;
    union {
        ULONG FreeMisses;
        ULONG FreeHits;
    };
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    union {
        ULONG LastAllocateMisses;
        ULONG LastAllocateHits;
    };
    ULONG Future[2];
} GENERAL_LOOKASIDE, *PGENERAL_LOOKASIDE;

typedef struct DECLSPEC_CACHEALIGN _NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

typedef struct DECLSPEC_CACHEALIGN _PAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
} PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;

EXTERN_C_START

NTKERNELAPI VOID NTAPI InitializeSListHead(PSLIST_HEADER SListHead);
NTKERNELAPI PSLIST_ENTRY NTAPI InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry);
NTKERNELAPI PSLIST_ENTRY NTAPI InterlockedPopEntrySList(PSLIST_HEADER ListHead);
NTKERNELAPI PSLIST_ENTRY NTAPI InterlockedFlushSList(PSLIST_HEADER ListHead);
NTKERNELAPI PSLIST_ENTRY NTAPI ExInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry, PVOID Lock);
NTKERNELAPI PSLIST_ENTRY NTAPI ExInterlockedPopEntrySList(PSLIST_HEADER ListHead, PVOID Lock);

NTKERNELAPI VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                       PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                       USHORT Depth);
NTKERNELAPI VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID NTAPI ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                      PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                      USHORT Depth);
NTKERNELAPI VOID NTAPI ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside);

EXTERN_C_END

FORCEINLINE USHORT ExQueryDepthSList(const SLIST_HEADER *SListHead)
{
    return (USHORT)(__atomic_load_n(&SListHead->Alignment, __ATOMIC_RELAXED) & 0xFFFF);
}

#define QueryDepthSList(Head) ExQueryDepthSList(Head)

/* The statistics counters are inexact by design (no interlocks); relaxed atomics keep them race-free here. */
#define LOOKASIDE_COUNT(Counter) ((void)__atomic_fetch_add(&(Counter), 1, __ATOMIC_RELAXED))

FORCEINLINE PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    LOOKASIDE_COUNT(Lookaside->L.TotalAllocates);
    PVOID Entry = InterlockedPopEntrySList(&Lookaside->L.ListHead);
    if (Entry == NULL) {
        LOOKASIDE_COUNT(Lookaside->L.AllocateMisses);
        Entry = (Lookaside->L.Allocate)(Lookaside->L.Type, Lookaside->L.Size, Lookaside->L.Tag);
    }
    return Entry;
}

FORCEINLINE VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    LOOKASIDE_COUNT(Lookaside->L.TotalFrees);
    if (ExQueryDepthSList(&Lookaside->L.ListHead) >= Lookaside->L.Depth) {
        LOOKASIDE_COUNT(Lookaside->L.FreeMisses);
        (Lookaside->L.Free)(Entry);
    } else {
        InterlockedPushEntrySList(&Lookaside->L.ListHead, (PSLIST_ENTRY)Entry);
    }
}

FORCEINLINE PVOID ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    return ExAllocateFromNPagedLookasideList((PNPAGED_LOOKASIDE_LIST)Lookaside);
}

FORCEINLINE VOID ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PVOID Entry)
{
    ExFreeToNPagedLookasideList((PNPAGED_LOOKASIDE_LIST)Lookaside, Entry);
}

#if defined(__cplusplus)
static_assert(sizeof(SLIST_HEADER) == 16 && alignof(SLIST_HEADER) == 16, "SLIST_HEADER");
static_assert(sizeof(GENERAL_LOOKASIDE) == 128, "GENERAL_LOOKASIDE");
static_assert(sizeof(NPAGED_LOOKASIDE_LIST) == 128, "NPAGED_LOOKASIDE_LIST");
static_assert(FIELD_OFFSET(GENERAL_LOOKASIDE, Depth) == 16 && FIELD_OFFSET(GENERAL_LOOKASIDE, Type) == 36 &&
                  FIELD_OFFSET(GENERAL_LOOKASIDE, Allocate) == 48 && FIELD_OFFSET(GENERAL_LOOKASIDE, ListEntry) == 64,
              "GENERAL_LOOKASIDE layout");
#endif
