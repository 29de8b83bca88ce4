/*
 * Interlocked singly linked lists. Windows swaps a 16-byte header with one
 * compare-exchange; here a small table of leaf locks, picked by the header's
 * address, makes push, pop and flush atomic with the same results (LIFO order,
 * depth in the low 16 bits, a sequence number that changes on every operation).
 */
#include "base/spin.h"

#include <km/lookaside.h>

namespace {

constexpr size_t kStripes = 64;

base::SpinLock &StripeFor(const void *header)
{
    static base::SpinLock stripes[kStripes];
    return stripes[((uintptr_t)header >> 4) % kStripes];
}

constexpr ULONGLONG kDepthMask = 0xFFFF;
constexpr ULONGLONG kSequenceUnit = 0x10000;

void SetHeader(PSLIST_HEADER head, PSLIST_ENTRY first, ULONGLONG depth)
{
    ULONGLONG sequence = (head->Alignment & ~kDepthMask) + kSequenceUnit;
    __atomic_store_n(&head->Region, (ULONGLONG)first, __ATOMIC_RELAXED);
    __atomic_store_n(&head->Alignment, sequence | (depth & kDepthMask), __ATOMIC_RELAXED);
}

} // namespace

extern "C" {

NTKERNELAPI VOID NTAPI InitializeSListHead(PSLIST_HEADER SListHead)
{
    __atomic_store_n(&SListHead->Alignment, 0ull, __ATOMIC_RELAXED);
    __atomic_store_n(&SListHead->Region, 0ull, __ATOMIC_RELAXED);
}

NTKERNELAPI PSLIST_ENTRY NTAPI InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry)
{
    base::SpinGuard guard(StripeFor(ListHead));
    auto first = (PSLIST_ENTRY)ListHead->Region;
    ListEntry->Next = first;
    SetHeader(ListHead, ListEntry, (ListHead->Alignment & kDepthMask) + 1);
    return first;
}

NTKERNELAPI PSLIST_ENTRY NTAPI InterlockedPopEntrySList(PSLIST_HEADER ListHead)
{
    base::SpinGuard guard(StripeFor(ListHead));
    auto first = (PSLIST_ENTRY)ListHead->Region;
    if (first == nullptr)
        return nullptr;
    SetHeader(ListHead, first->Next, (ListHead->Alignment & kDepthMask) - 1);
    return first;
}

NTKERNELAPI PSLIST_ENTRY NTAPI InterlockedFlushSList(PSLIST_HEADER ListHead)
{
    base::SpinGuard guard(StripeFor(ListHead));
    auto first = (PSLIST_ENTRY)ListHead->Region;
    SetHeader(ListHead, nullptr, 0);
    return first;
}

NTKERNELAPI PSLIST_ENTRY NTAPI ExInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry, PVOID Lock)
{
    (void)Lock;
    return InterlockedPushEntrySList(ListHead, ListEntry);
}

NTKERNELAPI PSLIST_ENTRY NTAPI ExInterlockedPopEntrySList(PSLIST_HEADER ListHead, PVOID Lock)
{
    (void)Lock;
    return InterlockedPopEntrySList(ListHead);
}

} // extern "C"
