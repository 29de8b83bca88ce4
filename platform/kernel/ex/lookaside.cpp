/*
 * Lookaside lists. Every initialised list is registered with the machine, as
 * Windows keeps them on its system lookaside list; one left registered when its
 * driver goes is an audit finding (its memory is about to disappear under it).
 */
#include "machine.h"

#include "base/spin.h"

#include <km/list.h>
#include <km/lookaside.h>
#include <km/pool.h>

#include <cstdio>

namespace {

struct LookasideRegistry {
    LookasideRegistry() { InitializeListHead(&head); }
    base::SpinLock lock;
    LIST_ENTRY head;
};

LookasideRegistry &Registry()
{
    static LookasideRegistry registry;
    return registry;
}

PVOID NTAPI DefaultAllocate(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, Tag);
}

VOID NTAPI DefaultFree(PVOID Buffer)
{
    ExFreePool(Buffer);
}

void InitializeLookaside(PGENERAL_LOOKASIDE L, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free, POOL_TYPE type,
                         SIZE_T Size, ULONG Tag)
{
    InitializeSListHead(&L->ListHead);
    L->Depth = ExMinimumLookasideDepth;
    L->MaximumDepth = ExMaximumLookasideDepth;
    L->TotalAllocates = 0;
    L->AllocateMisses = 0;
    L->TotalFrees = 0;
    L->FreeMisses = 0;
    L->Type = type;
    L->Tag = Tag;
    L->Size = (ULONG)Size;
    L->Allocate = Allocate != nullptr ? Allocate : DefaultAllocate;
    L->Free = Free != nullptr ? Free : DefaultFree;
    L->LastTotalAllocates = 0;
    L->LastAllocateMisses = 0;
    L->Future[0] = L->Future[1] = 0;
    auto &registry = Registry();
    base::SpinGuard guard(registry.lock);
    InsertTailList(&registry.head, &L->ListEntry);
}

void DeleteLookaside(PGENERAL_LOOKASIDE L)
{
    {
        auto &registry = Registry();
        base::SpinGuard guard(registry.lock);
        RemoveEntryList(&L->ListEntry);
    }
    while (PSLIST_ENTRY entry = InterlockedPopEntrySList(&L->ListHead))
        (L->Free)(entry);
}

void AuditLookaside(machine::AuditReport &report)
{
    auto &registry = Registry();
    base::SpinGuard guard(registry.lock);
    for (PLIST_ENTRY entry = registry.head.Flink; entry != &registry.head; entry = entry->Flink) {
        auto L = CONTAINING_RECORD(entry, GENERAL_LOOKASIDE, ListEntry);
        char line[128];
        std::snprintf(line, sizeof(line), "lookaside: list at %p (tag '%s', %u-byte records) was not deleted",
                      (void *)L, machine::TagText(L->Tag).c_str(), L->Size);
        report.findings.push_back(line);
    }
}

void ResetLookaside()
{
    auto &registry = Registry();
    base::SpinGuard guard(registry.lock);
    InitializeListHead(&registry.head);
}

const bool registered = [] {
    machine::RegisterComponent({"lookaside", machine::kOrderExecutive, ResetLookaside, AuditLookaside,
                                ResetLookaside});
    return true;
}();

} // namespace

extern "C" {

NTKERNELAPI VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                       PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                       USHORT Depth)
{
    (void)Depth; /* reserved: the system chooses the depth */
    InitializeLookaside(&Lookaside->L, Allocate, Free, (POOL_TYPE)(NonPagedPool | (Flags & POOL_NX_ALLOCATION)),
                        Size, Tag);
}

NTKERNELAPI VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST Lookaside)
{
    DeleteLookaside(&Lookaside->L);
}

NTKERNELAPI VOID NTAPI ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                                      PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                                      USHORT Depth)
{
    (void)Depth;
    (void)Flags;
    InitializeLookaside(&Lookaside->L, Allocate, Free, PagedPool, Size, Tag);
}

NTKERNELAPI VOID NTAPI ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST Lookaside)
{
    DeleteLookaside(&Lookaside->L);
}

} // extern "C"
