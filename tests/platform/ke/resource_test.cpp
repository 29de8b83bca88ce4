/*
 * Executive resources and fast mutexes: Windows' grant rules and the checks.
 */
#include "ke_test_support.h"

#include <atomic>

namespace {

class ResourceTest : public AutoClockTest {
protected:
    void SetUp() override
    {
        AutoClockTest::SetUp();
        ExInitializeResourceLite(&resource);
        KeEnterCriticalRegion();
    }
    void TearDown() override
    {
        KeLeaveCriticalRegion();
        ExDeleteResourceLite(&resource);
        AutoClockTest::TearDown();
    }
    ERESOURCE resource;
};

/* Runs fn on a system thread inside a critical region. */
PKTHREAD StartInRegion(std::function<void()> fn)
{
    return StartThread([fn] {
        KeEnterCriticalRegion();
        fn();
        KeLeaveCriticalRegion();
    });
}

TEST_F(ResourceTest, AcquiredCountsAreTheCallersOwn)
{
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&resource, TRUE));
    EXPECT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE)) << "the exclusive owner may take it shared";
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&resource));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource), 2u);
    std::atomic<ULONG> otherCount{99};
    PKTHREAD other = StartInRegion([&] { otherCount = ExIsResourceAcquiredSharedLite(&resource); });
    JoinThread(other);
    EXPECT_EQ(otherCount, 0u);
    ExReleaseResourceLite(&resource);
    ExReleaseResourceLite(&resource);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource), 0u);
}

TEST_F(ResourceTest, NoWaitFormsFailInsteadOfBlocking)
{
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE));
    std::atomic<int> exclusiveResult{-1}, sharedResult{-1};
    PKTHREAD other = StartInRegion([&] {
        exclusiveResult = ExAcquireResourceExclusiveLite(&resource, FALSE);
        sharedResult = ExAcquireResourceSharedLite(&resource, FALSE);
        if (sharedResult)
            ExReleaseResourceLite(&resource);
    });
    JoinThread(other);
    EXPECT_EQ(exclusiveResult, FALSE);
    EXPECT_EQ(sharedResult, TRUE);
    ExReleaseResourceLite(&resource);
}

TEST_F(ResourceTest, RecursiveSharedAcquireWhileAnExclusiveWaiterQueuesDoesNotDeadlock)
{
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE));
    std::atomic<bool> exclusiveGot{false};
    PKTHREAD writer = StartInRegion([&] {
        ExAcquireResourceExclusiveLite(&resource, TRUE);
        exclusiveGot = true;
        ExReleaseResourceLite(&resource);
    });
    ASSERT_TRUE(Eventually([&] { return ExGetExclusiveWaiterCount(&resource) == 1; }));

    EXPECT_TRUE(ExAcquireResourceSharedLite(&resource, FALSE)) << "a shared owner gets it again at once";
    std::atomic<int> newReader{-1};
    PKTHREAD reader = StartInRegion([&] { newReader = ExAcquireResourceSharedLite(&resource, FALSE); });
    JoinThread(reader);
    EXPECT_EQ(newReader, FALSE) << "a new shared request waits behind the exclusive waiter";

    ExReleaseResourceLite(&resource);
    EXPECT_FALSE(exclusiveGot);
    ExReleaseResourceLite(&resource);
    JoinThread(writer);
    EXPECT_TRUE(exclusiveGot);
}

TEST_F(ResourceTest, StarveExclusiveAdmitsNewSharedOwnersPastExclusiveWaiters)
{
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE));
    PKTHREAD writer = StartInRegion([&] {
        ExAcquireResourceExclusiveLite(&resource, TRUE);
        ExReleaseResourceLite(&resource);
    });
    ASSERT_TRUE(Eventually([&] { return ExGetExclusiveWaiterCount(&resource) == 1; }));
    std::atomic<int> starve{-1};
    PKTHREAD reader = StartInRegion([&] {
        starve = ExAcquireSharedStarveExclusive(&resource, FALSE);
        if (starve)
            ExReleaseResourceLite(&resource);
    });
    JoinThread(reader);
    EXPECT_EQ(starve, TRUE);
    ExReleaseResourceLite(&resource);
    JoinThread(writer);
}

TEST_F(ResourceTest, ReleasingExclusiveGrantsEveryWaitingReader)
{
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource, TRUE));
    std::atomic<int> readers{0};
    KEVENT allIn;
    KeInitializeEvent(&allIn, NotificationEvent, FALSE);
    PKTHREAD threads[3];
    for (auto &thread : threads)
        thread = StartInRegion([&] {
            ExAcquireResourceSharedLite(&resource, TRUE);
            if (++readers == 3)
                KeSetEvent(&allIn, 0, FALSE);
            KeWaitForSingleObject(&allIn, Executive, KernelMode, FALSE, nullptr);
            ExReleaseResourceLite(&resource);
        });
    ASSERT_TRUE(Eventually([&] { return ExGetSharedWaiterCount(&resource) == 3; }));
    ExReleaseResourceLite(&resource);
    for (auto thread : threads)
        JoinThread(thread);
    EXPECT_EQ(readers, 3);
}

TEST_F(ResourceTest, OwnerPointerLetsAnotherThreadRelease)
{
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource, TRUE));
    static ULONG_PTR token;
    PVOID owner = (PVOID)((ULONG_PTR)&token | 3);
    ExSetResourceOwnerPointer(&resource, owner);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&resource));
    PKTHREAD releaser = StartInRegion([&] { ExReleaseResourceForThreadLite(&resource, (ERESOURCE_THREAD)owner); });
    JoinThread(releaser);
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&resource, FALSE));
    ExReleaseResourceLite(&resource);
}

TEST_F(ResourceTest, ConvertExclusiveToSharedAdmitsWaitingReaders)
{
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&resource, TRUE));
    std::atomic<bool> readerIn{false};
    PKTHREAD reader = StartInRegion([&] {
        ExAcquireResourceSharedLite(&resource, TRUE);
        readerIn = true;
        ExReleaseResourceLite(&resource);
    });
    ASSERT_TRUE(Eventually([&] { return ExGetSharedWaiterCount(&resource) == 1; }));
    ExConvertExclusiveToSharedLite(&resource);
    JoinThread(reader);
    EXPECT_TRUE(readerIn);
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource), 1u);
    ExReleaseResourceLite(&resource);
}

TEST_F(ResourceTest, FastMutexExcludesAndRaisesToApcLevel)
{
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    KEVENT held;
    KeInitializeEvent(&held, NotificationEvent, FALSE);
    std::atomic<int> tried{-1};
    PKTHREAD other = StartThread([&] {
        KeWaitForSingleObject(&held, Executive, KernelMode, FALSE, nullptr);
        tried = ExTryToAcquireFastMutex(&mutex);
        ExAcquireFastMutex(&mutex);
        ExReleaseFastMutex(&mutex);
    });
    ExAcquireFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeSetEvent(&held, 0, FALSE);
    ASSERT_TRUE(Eventually([&] { return tried != -1 && machine::WaitersOn(&mutex.Event) == 1; }));
    EXPECT_EQ(tried, FALSE);
    ExReleaseFastMutex(&mutex);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    JoinThread(other);
    EXPECT_EQ(mutex.Count, 1);
}

using ResourceDeathTest = MachineTest;

TEST_F(ResourceDeathTest, SharedOwnerAskingForExclusiveStopsTheMachine)
{
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(&resource, TRUE);
    EXPECT_BUGCHECK(ExAcquireResourceExclusiveLite(&resource, TRUE), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_SHARED_TO_EXCLUSIVE});
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&resource);
}

TEST_F(ResourceDeathTest, AcquireOutsideACriticalRegionIsAVerifierFinding)
{
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    EXPECT_BUGCHECK(ExAcquireResourceSharedLite(&resource, TRUE), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_RESOURCE_APCS_ENABLED});
    ExDeleteResourceLite(&resource);
}

TEST_F(ResourceDeathTest, ReleasingAResourceNotOwnedStopsTheMachine)
{
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    EXPECT_BUGCHECK(ExReleaseResourceLite(&resource), RESOURCE_NOT_OWNED);
    ExDeleteResourceLite(&resource);
}

TEST_F(ResourceDeathTest, FreeingPoolThatHoldsALiveResourceIsAVerifierFinding)
{
    auto *resource = static_cast<PERESOURCE>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ERESOURCE), POOL_TAG('T', 'R', 'e', 's')));
    ExInitializeResourceLite(resource);
    EXPECT_BUGCHECK(ExFreePoolWithTag(resource, POOL_TAG('T', 'R', 'e', 's')), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_FREED_LIVE_RESOURCE});
    ExDeleteResourceLite(resource);
    ExFreePoolWithTag(resource, POOL_TAG('T', 'R', 'e', 's'));
}

TEST_F(MachineTest, ResourceNotDeletedIsAnAuditFinding)
{
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    EXPECT_NE(machine::Audit().Text().find("was not deleted"), std::string::npos);
    ExDeleteResourceLite(&resource);
    EXPECT_TRUE(machine::Audit().Clean());
}

} // namespace
