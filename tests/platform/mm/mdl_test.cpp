/*
 * Mapping memory descriptor lists: only locked pages (probed and locked, nonpaged
 * pool, or a live page list) may be mapped; anything else stops the machine.
 */
#include "machine_test.h"
#include "user_process.h"

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

/*
 * A user buffer's MDL maps to a system address of its own that shows the same
 * pages both ways; unmapping and mapping again works any number of times. With
 * the verifier each mapping is made and ended by its own calls; without it the
 * mappings come from one lasting second view of the process's space.
 */
class UserMdlTest : public MachineTest, public ::testing::WithParamInterface<bool> {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config;
        config.verifier = GetParam();
        return config;
    }
};

TEST_P(UserMdlTest, SystemMappingsOfUserPagesShowTheSameBytes)
{
    support::UserProcess process(1000);
    auto *buffer = static_cast<unsigned char *>(process.Alloc(3 * PAGE_SIZE));
    memset(buffer, 'u', 3 * PAGE_SIZE);
    for (int round = 0; round < 3; ++round) {
        PMDL mdl = IoAllocateMdl(buffer + 100 + round, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
        ASSERT_NE(mdl, nullptr);
        support::AsUser(process, [&] {
            MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
            return 0;
        });
        auto *system = static_cast<unsigned char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        ASSERT_NE(system, nullptr);
        EXPECT_NE(system, buffer + 100 + round) << "a system address of its own";
        EXPECT_EQ(system[0], 'u');
        system[0] = (unsigned char)('0' + round);
        EXPECT_EQ(buffer[100 + round], '0' + round) << "the same page";
        buffer[100 + round + PAGE_SIZE] = 'x';
        EXPECT_EQ(system[PAGE_SIZE], 'x');
        MmUnmapLockedPages(system, mdl);
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
}

INSTANTIATE_TEST_SUITE_P(VerifierOnAndOff, UserMdlTest, ::testing::Bool());

} // namespace
