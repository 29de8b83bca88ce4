/*
 * Mapping memory descriptor lists: only locked pages (probed and locked, nonpaged
 * pool, or a live page list) may be mapped; anything else stops the machine.
 */
#include "machine_test.h"

#include <wdm.h>

namespace {

constexpr ULONG kBufferTag = POOL_TAG('T', 'M', 'd', 'l');
constexpr ULONG_PTR kMappable = MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL;

PVOID Map(PMDL mdl)
{
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
}

using MdlDeathTest = MachineTest;

TEST_F(MdlDeathTest, OnlyAnMdlWithLockedPagesCanBeMapped)
{
    auto buffer = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPoolNx, 3 * PAGE_SIZE, kBufferTag));
    PMDL mdl = IoAllocateMdl(buffer + 100, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    EXPECT_BUGCHECK(Map(mdl), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_MAP_UNLOCKED_MDL, kAnyParameter, 0, kMappable});
    EXPECT_BUGCHECK(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_MAP_UNLOCKED_MDL});

    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer + 100);
    MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
    MmUnlockPages(mdl);
    EXPECT_BUGCHECK(Map(mdl), DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_MAP_UNLOCKED_MDL}) << "unlocked again";
    MmBuildMdlForNonPagedPool(mdl);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer + 100);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(buffer, kBufferTag);

    PHYSICAL_ADDRESS low{}, high{}, skip{};
    high.QuadPart = -1;
    PMDL list = MmAllocatePagesForMdlEx(low, high, skip, 2 * PAGE_SIZE, MmCached, 0);
    ASSERT_NE(list, nullptr);
    MmFreePagesFromMdl(list);
    EXPECT_BUGCHECK(Map(list), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_MAP_UNLOCKED_MDL, kAnyParameter, MDL_ALLOCATED_FIXED_SIZE, kMappable})
        << "a page list whose pages were freed";
    ExFreePool(list);
}

} // namespace
