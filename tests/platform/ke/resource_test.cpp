/*
 * Executive resources and fast mutexes: Windows' grant rules and the checks.
 */
#include "ke_test_support.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

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

TEST_F(ResourceTest, AWriterIsNotStarvedByAStreamOfOverlappingReaders)
{
    // Readers come and go so that two always hold the resource: each new reader asks
    // while the two before it hold, then the older of those leaves. A writer that queued
    // behind the first two must get in once they have left, before any later reader.
    constexpr int kReaders = 8;
    KEVENT leave[kReaders];
    PKTHREAD readers[kReaders];
    std::atomic<bool> asked[kReaders] = {};
    std::atomic<int> readerTurn[kReaders] = {};
    std::atomic<int> order{0}, writerTurn{0};
    auto startReader = [&](int i) {
        KeInitializeEvent(&leave[i], NotificationEvent, FALSE);
        readers[i] = StartInRegion([&, i] {
            asked[i] = true;
            ExAcquireResourceSharedLite(&resource, TRUE);
            readerTurn[i] = ++order;
            KeWaitForSingleObject(&leave[i], Executive, KernelMode, FALSE, nullptr);
            ExReleaseResourceLite(&resource);
        });
    };
    auto finishReader = [&](int i) {
        KeSetEvent(&leave[i], 0, FALSE);
        JoinThread(readers[i]);
    };

    for (int i = 0; i < 2; ++i) {
        startReader(i);
        ASSERT_TRUE(Eventually([&] { return readerTurn[i] != 0; }));
    }
    PKTHREAD writer = StartInRegion([&] {
        ExAcquireResourceExclusiveLite(&resource, TRUE);
        writerTurn = ++order;
        ExReleaseResourceLite(&resource);
    });
    ASSERT_TRUE(Eventually([&] { return ExGetExclusiveWaiterCount(&resource) == 1; }));
    for (int i = 2; i < kReaders; ++i) {
        startReader(i);
        // Its request is in: granted, or queued (nothing else can be granted meanwhile).
        ASSERT_TRUE(Eventually(
            [&] { return asked[i] && (readerTurn[i] != 0 || ExGetSharedWaiterCount(&resource) != 0); }));
        finishReader(i - 2);
    }
    for (int i = kReaders - 2; i < kReaders; ++i)
        finishReader(i);
    JoinThread(writer);

    EXPECT_EQ(writerTurn, 3) << "the writer comes right after the two readers it queued behind";
    for (int i = 2; i < kReaders; ++i)
        EXPECT_GT(readerTurn[i], writerTurn) << "reader " << i << " came after the writer queued";
}

TEST_F(ResourceTest, WaitForExclusiveQueuesASharedOwnerBehindAWriter)
{
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, TRUE));
    ASSERT_TRUE(ExAcquireSharedWaitForExclusive(&resource, FALSE)) << "no writer waits: recursion as usual";
    ExReleaseResourceLite(&resource);

    KEVENT leave;
    KeInitializeEvent(&leave, NotificationEvent, FALSE);
    std::atomic<bool> otherIn{false};
    PKTHREAD other = StartInRegion([&] {
        ExAcquireResourceSharedLite(&resource, TRUE);
        otherIn = true;
        KeWaitForSingleObject(&leave, Executive, KernelMode, FALSE, nullptr);
        ExReleaseResourceLite(&resource);
    });
    ASSERT_TRUE(Eventually([&] { return otherIn.load(); }));
    std::atomic<int> order{0}, writerTurn{0};
    PKTHREAD writer = StartInRegion([&] {
        ExAcquireResourceExclusiveLite(&resource, TRUE);
        writerTurn = ++order;
        ExReleaseResourceLite(&resource);
    });
    ASSERT_TRUE(Eventually([&] { return ExGetExclusiveWaiterCount(&resource) == 1; }));
    ASSERT_TRUE(ExAcquireResourceSharedLite(&resource, FALSE)) << "an ordinary recursive request passes the writer";
    ExReleaseResourceLite(&resource);
    EXPECT_FALSE(ExAcquireSharedWaitForExclusive(&resource, FALSE)) << "this one does not";

    // Waiting, this thread can release nothing: the other reader leaves, then a helper
    // releases this thread's hold for it, and only then may the writer run.
    ERESOURCE_THREAD self = ExGetCurrentResourceThread();
    std::atomic<bool> stillQueued{false};
    PKTHREAD helper = StartInRegion([&] {
        Eventually([&] { return ExGetSharedWaiterCount(&resource) == 1; });
        KeSetEvent(&leave, 0, FALSE);
        JoinThread(other);
        stillQueued = ExGetSharedWaiterCount(&resource) == 1 && writerTurn == 0;
        ExReleaseResourceForThreadLite(&resource, self);
    });
    EXPECT_TRUE(ExAcquireSharedWaitForExclusive(&resource, TRUE));
    int myTurn = ++order;
    JoinThread(helper);
    EXPECT_TRUE(stillQueued) << "a reader leaving while this thread's hold remains lets nobody in";
    EXPECT_EQ(writerTurn, 1);
    EXPECT_EQ(myTurn, 2) << "granted once the writer was done";
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&resource), 1u) << "the released hold is gone; this is a new one";
    ExReleaseResourceLite(&resource);
    JoinThread(writer);
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

/*
 * Threads mixing every acquire form, recursion and the no-wait forms on one
 * resource, with the verifier on and off (its checks change the path each call
 * takes): an exclusive owner is always alone, readers never meet a writer, the
 * caller's own counts are right, and the resource ends free with no waiters.
 */
class ResourceRaceTest : public MachineTest, public testing::WithParamInterface<bool> {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config = AutoClockConfig();
        config.verifier = GetParam();
        return config;
    }
};

TEST_P(ResourceRaceTest, OwnersNeverOverlapAndCountsStayRight)
{
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    std::atomic<int> writers{0}, readers{0}, violations{0}, started{0};
    constexpr int kThreads = 4, kRounds = 1500;
    auto hold = [&](bool exclusive, ULONG depth) {
        if (exclusive) {
            if (writers.fetch_add(1) != 0 || readers.load() != 0)
                violations++;
            if (!ExIsResourceAcquiredExclusiveLite(&resource) || ExIsResourceAcquiredSharedLite(&resource) != depth)
                violations++;
            std::this_thread::yield(); /* let the others pile up behind */
            if (writers.load() != 1 || readers.load() != 0)
                violations++;
            writers.fetch_sub(1);
        } else {
            readers.fetch_add(1);
            if (writers.load() != 0 || ExIsResourceAcquiredExclusiveLite(&resource) ||
                ExIsResourceAcquiredSharedLite(&resource) != depth)
                violations++;
            std::this_thread::yield();
            if (writers.load() != 0)
                violations++;
            readers.fetch_sub(1);
        }
    };
    std::vector<PKTHREAD> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.push_back(StartInRegion([&, t] {
            unsigned seed = 2654435761u * (unsigned)(t + 1);
            started++;
            while (started.load() < kThreads) /* all at once, or they would merely take turns */
                std::this_thread::yield();
            for (int round = 0; round < kRounds; ++round) {
                seed = seed * 1103515245u + 12345u;
                unsigned kind = (seed >> 16) % 6;
                bool exclusive = kind <= 1;
                BOOLEAN got = TRUE;
                switch (kind) {
                case 0: got = ExAcquireResourceExclusiveLite(&resource, TRUE); break;
                case 1: got = ExAcquireResourceExclusiveLite(&resource, FALSE); break;
                case 2: got = ExAcquireResourceSharedLite(&resource, TRUE); break;
                case 3: got = ExAcquireSharedStarveExclusive(&resource, TRUE); break;
                case 4: got = ExAcquireSharedWaitForExclusive(&resource, TRUE); break;
                default: got = ExAcquireResourceSharedLite(&resource, FALSE); break;
                }
                if (!got)
                    continue;
                hold(exclusive, 1);
                if ((seed >> 8) % 3 == 0) { /* recursion: the owner gets it again at once, in either mode */
                    if (exclusive ? !ExAcquireResourceExclusiveLite(&resource, FALSE)
                                  : !ExAcquireResourceSharedLite(&resource, FALSE))
                        violations++;
                    else {
                        hold(exclusive, 2);
                        ExReleaseResourceLite(&resource);
                    }
                }
                hold(exclusive, 1);
                ExReleaseResourceLite(&resource);
            }
        }));
    for (PKTHREAD thread : threads)
        JoinThread(thread);
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(resource.ActiveEntries, 0u);
    EXPECT_EQ(ExGetExclusiveWaiterCount(&resource), 0u);
    EXPECT_EQ(ExGetSharedWaiterCount(&resource), 0u);
    KeEnterCriticalRegion();
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&resource, FALSE)); /* nothing left behind */
    ExReleaseResourceLite(&resource);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&resource);
}

INSTANTIATE_TEST_SUITE_P(Verifier, ResourceRaceTest, testing::Bool());

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

TEST_F(ResourceDeathTest, UsingADeletedResourceStopsTheMachine)
{
    ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    ExDeleteResourceLite(&resource);
    KeEnterCriticalRegion();
    EXPECT_BUGCHECK(ExAcquireResourceSharedLite(&resource, TRUE), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_UNINITIALIZED_OBJECT});
    KeLeaveCriticalRegion();
}

TEST_F(ResourceDeathTest, ACopiedResourceIsNotALiveOneToTheVerifier)
{
    ERESOURCE resource, copy;
    ExInitializeResourceLite(&resource);
    std::memcpy(&copy, &resource, sizeof(copy));
    KeEnterCriticalRegion();
    EXPECT_BUGCHECK(ExAcquireResourceExclusiveLite(&copy, TRUE), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_UNINITIALIZED_OBJECT});
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&resource);
}

/* Checks Windows makes only under Driver Verifier cost nothing without it. */
class ResourceNoVerifierTest : public MachineTest {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config;
        config.verifier = false;
        return config;
    }
};

TEST_F(ResourceNoVerifierTest, FreeingPoolThatHoldsALiveResourceIsNotChecked)
{
    constexpr ULONG kTag = POOL_TAG('T', 'R', 'e', 's');
    auto *resource = static_cast<PERESOURCE>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ERESOURCE), kTag));
    ExInitializeResourceLite(resource);
    ExFreePoolWithTag(resource, kTag);
    /* the resource was never deleted: the audit still says so */
    machine::AuditReport report = machine::Shutdown();
    EXPECT_NE(report.Text().find("was not deleted"), std::string::npos);
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
