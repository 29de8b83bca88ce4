/*
 * Memory descriptor lists over caller buffers. A user buffer's MDL is locked after
 * a probe of the issuing process's user space; mapping it to system space makes a
 * second mapping of the same pages (the process's arena is shared memory), so the
 * driver's system address and the program's address see the same bytes.
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ke/verifier.h"
#include "mm/page_lists.h"
#include "mm/user_arena.h"
#include "mm/views.h"

#include "machine.h"

#include <km/ex.h>
#include <km/io.h>
#include <km/pool.h>

#include <cstring>

namespace {

constexpr ULONG kMdlTag = POOL_TAG('M', 'd', 'l', ' ');
/* What makes an MDL's pages mappable: locked by MmProbeAndLockPages or by the page allocator
 * (MmAllocatePagesForMdl*), nonpaged pool described by MmBuildMdlForNonPagedPool, or a part of
 * such an MDL (IoBuildPartialMdl). */
constexpr CSHORT kMappableFlags = MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL;

bool InUserSpace(struct _KPROCESS *process, PMDL mdl)
{
    return process != nullptr && mm::ArenaContains(process->Arena, MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
}

} // namespace

extern "C" {

NTKERNELAPI PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                     BOOLEAN ChargeQuota, PIRP Irp)
{
    (void)ChargeQuota;
    ke::CheckIrql((const void *)&IoAllocateMdl, DISPATCH_LEVEL);
    auto *mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), kMdlTag));
    if (mdl == nullptr)
        return nullptr;
    memset(mdl, 0, sizeof(*mdl));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(VirtualAddress) & ~(ULONG_PTR)(PAGE_SIZE - 1));
    mdl->ByteOffset = (ULONG)(reinterpret_cast<ULONG_PTR>(VirtualAddress) & (PAGE_SIZE - 1));
    mdl->ByteCount = Length;
    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL *tail = &Irp->MdlAddress;
            while (*tail != nullptr)
                tail = &(*tail)->Next;
            *tail = mdl;
        }
    }
    return mdl;
}

NTKERNELAPI VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    ExFreePoolWithTag(Mdl, kMdlTag);
}

NTKERNELAPI VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                           LOCK_OPERATION Operation)
{
    ke::CheckIrql((const void *)&MmProbeAndLockPages, DISPATCH_LEVEL);
    struct _KPROCESS *process = ke::CurrentProcess();
    if (AccessMode == UserMode && !InUserSpace(process, MemoryDescriptorList))
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    if (InUserSpace(process, MemoryDescriptorList)) {
        MemoryDescriptorList->Process = process;
        // Pages of views are made present now: the MDL's system mapping reaches them without faulting.
        mm::LockViewPages(MmGetMdlVirtualAddress(MemoryDescriptorList), MemoryDescriptorList->ByteCount,
                          Operation != IoReadAccess);
    }
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

NTKERNELAPI VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MdlFlags &= ~MDL_PAGES_LOCKED;
}

NTKERNELAPI VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
}

NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                     MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                     ULONG BugCheckOnFailure, ULONG Priority)
{
    (void)CacheType;
    (void)RequestedAddress;
    (void)Priority;
    ke::CheckIrql((const void *)&MmMapLockedPagesSpecifyCache, DISPATCH_LEVEL);
    PMDL mdl = MemoryDescriptorList;
    // Unlocked pages could be paged out or freed under the mapping: the verifier stops the
    // machine (an MDL whose pages were never locked, or a page list after MmFreePagesFromMdl).
    if ((mdl->MdlFlags & kMappableFlags) == 0)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_MAP_UNLOCKED_MDL, (ULONG_PTR)mdl,
                     (ULONG_PTR)(USHORT)mdl->MdlFlags, kMappableFlags);
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return mdl->MappedSystemVa;
    if (machine::ShouldFail("MmMapLockedPagesSpecifyCache")) {
        if (BugCheckOnFailure)
            KeBugCheckEx(0x000000D0 /* DRIVER_CORRUPTED_MMPOOL */, (ULONG_PTR)mdl, 0, 0, 0);
        return nullptr;
    }
    PVOID address;
    if ((address = mm::MapPageList(mdl)) != nullptr) {
        // A list of the page allocator has no address until it is mapped; its run is it.
        if (AccessMode != KernelMode)
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_PAGE_LIST_USER_MAPPING, (ULONG_PTR)mdl, 0, 0);
    } else if (mdl->Process != nullptr) {
        address = mm::MapViewAlias(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
        if (address == nullptr)
            address = verifier::Enabled()
                          ? mm::ArenaMapAlias(mdl->Process->Arena, MmGetMdlVirtualAddress(mdl), mdl->ByteCount)
                          : mm::ArenaLastingAlias(mdl->Process->Arena, MmGetMdlVirtualAddress(mdl));
    }
    else
        address = MmGetMdlVirtualAddress(mdl);
    if (address == nullptr)
        return nullptr;
    mdl->MappedSystemVa = address;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return address;
}

NTKERNELAPI VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    PMDL mdl = MemoryDescriptorList;
    if (mm::UnmapPageList(BaseAddress, mdl)) {
        mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
        mdl->MappedSystemVa = nullptr;
        return;
    }
    if (mdl->Process != nullptr && BaseAddress != MmGetMdlVirtualAddress(mdl) &&
        !mm::IsLastingAlias(mdl->Process->Arena, BaseAddress))
        mm::ArenaUnmapAlias(BaseAddress, mdl->ByteCount);
    mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    mdl->MappedSystemVa = nullptr;
}

} // extern "C"
