/*
 * Executive pool: accounting by tag, alignment, poison, the caller checks and
 * fault injection.
 */
#include "machine_test.h"
#include "system_threads.h"

#include <wdm.h>

#include <vector>

namespace {

const ULONG kTagA = POOL_TAG('T', 's', 't', 'A');
const ULONG kTagB = POOL_TAG('T', 's', 't', 'B');

using PoolTest = MachineTest;

TEST_F(PoolTest, CountsLiveBlocksAndBytesPerTag)
{
    PVOID a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagA);
    PVOID a2 = ExAllocatePoolWithTag(PagedPool, 28, kTagA);
    PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 5000, kTagB);
    ASSERT_TRUE(a1 && a2 && b);

    auto statsA = machine::PoolTag(kTagA);
    EXPECT_EQ(statsA.liveBlocks, 2u);
    EXPECT_EQ(statsA.liveBytes, 128u);
    EXPECT_EQ(machine::PoolTag(kTagB).liveBytes, 5000u);

    ExFreePoolWithTag(a1, kTagA);
    statsA = machine::PoolTag(kTagA);
    EXPECT_EQ(statsA.liveBlocks, 1u);
    EXPECT_EQ(statsA.liveBytes, 28u);
    EXPECT_EQ(statsA.allocations, 2u);
    EXPECT_EQ(statsA.frees, 1u);

    ExFreePool(a2); /* untagged free skips the tag check */
    ExFreePoolWithTag(b, kTagB);
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u);
}

TEST_F(PoolTest, AlignsPagesAndCacheAlignedTypesAndPoisonsFreshBlocks)
{
    auto *small = (unsigned char *)ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagA);
    auto *page = (unsigned char *)ExAllocatePoolWithTag(NonPagedPoolNx, 4096, kTagA);
    auto *big = (unsigned char *)ExAllocatePoolWithTag(PagedPool, 3 * 4096 + 5, kTagA);
    auto *cache = (unsigned char *)ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned, 200, kTagA);
    EXPECT_EQ((uintptr_t)small % 16, 0u);
    EXPECT_EQ((uintptr_t)page % 4096, 0u);
    EXPECT_EQ((uintptr_t)big % 4096, 0u);
    EXPECT_EQ((uintptr_t)cache % 128, 0u);
    for (size_t i = 0; i < 24; ++i)
        ASSERT_EQ(small[i], machine::kPoolPoisonByte) << "byte " << i << " of a fresh block is not poisoned";
    EXPECT_EQ(big[3 * 4096 + 4], machine::kPoolPoisonByte);
    for (auto *p : {small, page, big, cache})
        ExFreePoolWithTag(p, kTagA);
}

TEST_F(PoolTest, AuditReportsLeakedTagsAndShutdownReleasesThem)
{
    ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagB);
    machine::AuditReport report = machine::Audit();
    ASSERT_EQ(report.findings.size(), 1u);
    EXPECT_NE(report.findings[0].find("'TstB' holds 1 block(s), 64 byte(s)"), std::string::npos) << report.Text();
    report = machine::Shutdown();
    EXPECT_FALSE(report.Clean());
    machine::Boot();
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u) << "a new boot starts with an empty pool";
}

TEST_F(PoolTest, FaultInjectionFailsTheNthAllocationOfAMatchingTag)
{
    machine::ArmPoolFault(2, kTagA);
    PVOID b1 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB); /* other tags do not count */
    PVOID a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    PVOID a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    PVOID a3 = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    EXPECT_NE(b1, nullptr);
    EXPECT_NE(a1, nullptr);
    EXPECT_EQ(a2, nullptr);
    EXPECT_NE(a3, nullptr) << "without repeat only the nth call fails";
    EXPECT_EQ(machine::FaultsInjected("ExAllocatePoolWithTag"), 1u);

    machine::ArmFault("ExAllocatePoolWithTag", 1, true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), nullptr);
    machine::DisarmFaults();
    for (PVOID p : {a1, a3})
        ExFreePoolWithTag(p, kTagA);
    ExFreePoolWithTag(b1, kTagB);
}

/* An exempt thread's allocations neither fail nor move the count on; other threads' still do. */
TEST_F(PoolTest, AnExemptThreadPassesArmedFaultsByWithoutCountingThem)
{
    KEVENT go, done;
    KeInitializeEvent(&go, SynchronizationEvent, FALSE);
    KeInitializeEvent(&done, SynchronizationEvent, FALSE);
    PVOID exempt[2] = {};
    PKTHREAD background = StartThread([&] {
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        for (PVOID &p : exempt)
            p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
        KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    ASSERT_NE(background, nullptr);
    machine::ExemptFromFaults(background);
    machine::ArmPoolFault(2, kTagA);
    PVOID first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    PVOID second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    machine::DisarmFaults();
    JoinThread(background);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(exempt[0], nullptr);
    EXPECT_NE(exempt[1], nullptr);
    EXPECT_EQ(second, nullptr) << "the exempt thread's calls did not count: this is still the 2nd";
    for (PVOID p : {first, exempt[0], exempt[1]})
        if (p != nullptr)
            ExFreePoolWithTag(p, kTagA);
}

/*
 * Many blocks of several tags, freed in a scrambled order between new
 * allocations, from two threads at once: every live block stays findable as
 * the records of freed ones come and go, and the counts per tag match a model.
 */
TEST_F(PoolTest, CountsStayExactThroughChurnOnTwoThreads)
{
    constexpr ULONG kTags[] = {kTagA, kTagB, POOL_TAG('T', 's', 't', 'C')};
    constexpr int kBlocks = 6000, kRounds = 4;
    struct Model {
        uint64_t blocks = 0, bytes = 0, allocations = 0, frees = 0;
    };
    Model model[2][3];
    auto churn = [&](int thread) {
        std::vector<std::pair<PVOID, int>> live; /* block, tag index */
        std::vector<size_t> sizes;
        unsigned seed = 12345u + (unsigned)thread;
        auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
        for (int round = 0; round < kRounds; ++round) {
            while (live.size() < (size_t)kBlocks) {
                int tag = (int)(next() % 3);
                size_t size = 1 + next() % 300;
                PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, size, kTags[tag]);
                ASSERT_NE(p, nullptr);
                live.push_back({p, tag});
                sizes.push_back(size);
                model[thread][tag].blocks++, model[thread][tag].bytes += size, model[thread][tag].allocations++;
            }
            for (size_t i = 0; i < live.size() * 3 / 4; ++i) {
                size_t pick = next() % live.size();
                auto [p, tag] = live[pick];
                ExFreePoolWithTag(p, kTags[tag]);
                model[thread][tag].blocks--, model[thread][tag].bytes -= sizes[pick], model[thread][tag].frees++;
                live[pick] = live.back(), live.pop_back();
                sizes[pick] = sizes.back(), sizes.pop_back();
            }
        }
        for (size_t i = 0; i < live.size(); ++i) {
            ExFreePoolWithTag(live[i].first, kTags[live[i].second]);
            model[thread][live[i].second].blocks--, model[thread][live[i].second].bytes -= sizes[i];
            model[thread][live[i].second].frees++;
        }
    };
    PKTHREAD other = StartThread([&] { churn(1); });
    churn(0);
    JoinThread(other);
    for (int tag = 0; tag < 3; ++tag) {
        auto stats = machine::PoolTag(kTags[tag]);
        EXPECT_EQ(stats.liveBlocks, 0u);
        EXPECT_EQ(stats.liveBytes, 0u);
        EXPECT_EQ(stats.allocations, model[0][tag].allocations + model[1][tag].allocations);
        EXPECT_EQ(stats.frees, model[0][tag].frees + model[1][tag].frees);
    }
}

using PoolDeathTest = MachineTest;

TEST_F(PoolDeathTest, FreeWithWrongTagIsBadPoolCaller0A)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTagA);
    EXPECT_BUGCHECK(ExFreePoolWithTag(p, kTagB), BAD_POOL_CALLER, {0x0A, kAnyParameter, kTagA, kTagB});
    ExFreePoolWithTag(p, kTagA);
}

TEST_F(PoolDeathTest, DoubleFreeIsBadPoolCaller07)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTagA);
    ExFreePoolWithTag(p, kTagA);
    EXPECT_BUGCHECK(ExFreePoolWithTag(p, kTagA), BAD_POOL_CALLER, {0x07, 0, 0, kAnyParameter});
}

TEST_F(PoolDeathTest, DoubleFreeIsToldAfterOtherBlocksCameAndWent)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTagA);
    ExFreePoolWithTag(p, kTagA);
    std::vector<PVOID> others;
    for (int i = 0; i < 2000; ++i)
        others.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 16 + i % 64, kTagB));
    for (PVOID other : others)
        ExFreePoolWithTag(other, kTagB);
    EXPECT_BUGCHECK(ExFreePoolWithTag(p, kTagA), BAD_POOL_CALLER, {0x07, 0, 0, kAnyParameter});
}

TEST_F(PoolDeathTest, FreeOfAnAddressNeverAllocatedIsBadPoolCaller42)
{
    static char notPool[32];
    EXPECT_BUGCHECK(ExFreePool(notPool), BAD_POOL_CALLER, {0x42, kAnyParameter});
}

TEST_F(PoolDeathTest, ZeroByteAllocationAndPagedPoolAtDispatchLevelAreRefused)
{
    EXPECT_BUGCHECK(ExAllocatePoolWithTag(PagedPool, 0, kTagA), BAD_POOL_CALLER, {0x00, 0, PagedPool, kTagA});
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 16, kTagA);
        },
        BAD_POOL_CALLER, {0x08, DISPATCH_LEVEL, PagedPool, 16});
}

TEST_F(PoolDeathTest, FreeChecksSeeTheBlockBeforeItGoes)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagA);
    machine::AddPoolFreeCheck("test", [p](const void *block, size_t size) {
        if (block == p && size == 64)
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x17, (ULONG_PTR)block, 0, 0);
    });
    EXPECT_BUGCHECK(ExFreePoolWithTag(p, kTagA), DRIVER_VERIFIER_DETECTED_VIOLATION, {0x17, kAnyParameter});
    machine::AddPoolFreeCheck("test", [](const void *, size_t) {});
    ExFreePoolWithTag(p, kTagA);
}

} // namespace
