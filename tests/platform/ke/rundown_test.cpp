/*
 * Rundown protection, plain and cache-aware.
 */
#include "ke_test_support.h"

#include <atomic>

namespace {

using RundownTest = AutoClockTest;

struct alignas(128) CacheAwareBlock {
    unsigned char bytes[256];
};

TEST_F(RundownTest, WaitReturnsWhenTheLastReferenceGoesAndLaterAcquiresFail)
{
    ASSERT_LE(ExSizeOfRundownProtectionCacheAware(), sizeof(CacheAwareBlock));
    CacheAwareBlock block;
    auto ref = reinterpret_cast<PEX_RUNDOWN_REF_CACHE_AWARE>(&block);
    ExInitializeRundownProtectionCacheAware(ref, ExSizeOfRundownProtectionCacheAware());

    ASSERT_TRUE(ExAcquireRundownProtectionCacheAware(ref));
    ASSERT_TRUE(ExAcquireRundownProtectionCacheAware(ref));
    std::atomic<bool> ranDown{false};
    PKTHREAD waiter = StartThread([&] {
        ExWaitForRundownProtectionReleaseCacheAware(ref);
        ranDown = true;
    });
    ASSERT_TRUE(Eventually([&] {
        if (!ExAcquireRundownProtectionCacheAware(ref))
            return true;
        ExReleaseRundownProtectionCacheAware(ref); /* the wait has not begun yet */
        return false;
    })) << "once the wait began, acquisitions fail";
    ExReleaseRundownProtectionCacheAware(ref);
    usleep(20000);
    EXPECT_FALSE(ranDown);
    ExReleaseRundownProtectionCacheAware(ref);
    JoinThread(waiter);
    EXPECT_TRUE(ranDown);

    ExRundownCompletedCacheAware(ref);
    EXPECT_FALSE(ExAcquireRundownProtectionCacheAware(ref));
    ExReInitializeRundownProtectionCacheAware(ref);
    EXPECT_TRUE(ExAcquireRundownProtectionCacheAware(ref)) << "re-initialisation makes acquisitions succeed again";
    ExReleaseRundownProtectionCacheAware(ref);
}

TEST_F(RundownTest, WaitWithNoReferencesReturnsAtOnce)
{
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));
}

TEST_F(RundownTest, ManyThreadsRacingAcquireReleaseAgainstAWait)
{
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    std::atomic<int> inside{0}, maxAfterRundown{0};
    std::atomic<bool> rundownDone{false};
    PKTHREAD workers[4];
    for (auto &worker : workers)
        worker = StartThread([&] {
            for (int i = 0; i < 2000; ++i) {
                if (!ExAcquireRundownProtection(&ref))
                    break;
                inside++;
                if (rundownDone)
                    maxAfterRundown = 1;
                inside--;
                ExReleaseRundownProtection(&ref);
            }
        });
    ExWaitForRundownProtectionRelease(&ref);
    rundownDone = true;
    EXPECT_EQ(inside, 0) << "no reference is held once the wait returns";
    for (auto worker : workers)
        JoinThread(worker);
    EXPECT_EQ(maxAfterRundown, 0);
}

} // namespace
