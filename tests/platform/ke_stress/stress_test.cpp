/*
 * Many system threads over mixed primitives at once. Each primitive guards plain
 * data that the threads update without atomics, so a primitive that fails to
 * order memory shows up as a wrong total (and, under ThreadSanitizer, as a race).
 */
#include "../ke/ke_test_support.h"

#include <atomic>
#include <vector>

namespace {

using StressTest = AutoClockTest;

constexpr int kThreads = 8;
constexpr int kRounds = 400;

struct Shared {
    KSPIN_LOCK spinLock;
    long spinGuarded = 0;
    ERESOURCE resource;
    long resourceGuarded = 0;
    long resourceReads = 0;
    KMUTEX mutex;
    long mutexGuarded = 0;
    FAST_MUTEX fastMutex;
    long fastGuarded = 0;
    KSEMAPHORE semaphore;
    std::atomic<int> insideSemaphore{0};
    std::atomic<int> maxInsideSemaphore{0};
    KQUEUE queue;
    EX_RUNDOWN_REF rundown;
    std::atomic<long> consumed{0};
};

struct WorkItem {
    LIST_ENTRY entry;
    long value;
};

void Worker(Shared &s, int index, std::vector<WorkItem> &items)
{
    KeEnterCriticalRegion();
    for (int round = 0; round < kRounds; ++round) {
        KIRQL old;
        KeAcquireSpinLock(&s.spinLock, &old);
        s.spinGuarded++;
        KeReleaseSpinLock(&s.spinLock, old);

        if (round % 4 == 0) {
            ExAcquireResourceExclusiveLite(&s.resource, TRUE);
            s.resourceGuarded++;
            ExReleaseResourceLite(&s.resource);
        } else {
            ExAcquireResourceSharedLite(&s.resource, TRUE);
            long seen = s.resourceGuarded;
            (void)seen;
            ExReleaseResourceLite(&s.resource);
        }

        KeWaitForSingleObject(&s.mutex, Executive, KernelMode, FALSE, nullptr);
        s.mutexGuarded++;
        KeReleaseMutex(&s.mutex, FALSE);

        ExAcquireFastMutexUnsafe(&s.fastMutex);
        s.fastGuarded++;
        ExReleaseFastMutexUnsafe(&s.fastMutex);

        KeWaitForSingleObject(&s.semaphore, Executive, KernelMode, FALSE, nullptr);
        int inside = ++s.insideSemaphore;
        int seenMax = s.maxInsideSemaphore;
        while (inside > seenMax && !s.maxInsideSemaphore.compare_exchange_weak(seenMax, inside))
            ;
        --s.insideSemaphore;
        KeReleaseSemaphore(&s.semaphore, 0, 1, FALSE);

        if (ExAcquireRundownProtection(&s.rundown)) {
            WorkItem &item = items[index * kRounds + round];
            item.value = round;
            KeInsertQueue(&s.queue, &item.entry);
            ExReleaseRundownProtection(&s.rundown);
        }
        if (round % 16 == 0) {
            LARGE_INTEGER tick = RelativeMs(1);
            KeDelayExecutionThread(KernelMode, FALSE, &tick);
        }
    }
    KeLeaveCriticalRegion();
}

TEST_F(StressTest, MixedPrimitivesKeepTheirInvariants)
{
    Shared s;
    KeInitializeSpinLock(&s.spinLock);
    ExInitializeResourceLite(&s.resource);
    KeInitializeMutex(&s.mutex, 0);
    ExInitializeFastMutex(&s.fastMutex);
    KeInitializeSemaphore(&s.semaphore, 3, 3);
    KeInitializeQueue(&s.queue, 2);
    ExInitializeRundownProtection(&s.rundown);
    std::vector<WorkItem> items(kThreads * kRounds);

    // Consumers drain the queue until they see a stop entry.
    WorkItem stops[2];
    std::vector<PKTHREAD> consumers;
    for (int c = 0; c < 2; ++c)
        consumers.push_back(StartThread([&] {
            for (;;) {
                PLIST_ENTRY entry = KeRemoveQueue(&s.queue, KernelMode, nullptr);
                if (entry == &stops[0].entry || entry == &stops[1].entry)
                    return;
                s.consumed += CONTAINING_RECORD(entry, WorkItem, entry)->value >= 0;
            }
        }));

    std::vector<PKTHREAD> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.push_back(StartThread([&, t] { Worker(s, t, items); }));
    for (PKTHREAD worker : workers)
        JoinThread(worker);

    ExWaitForRundownProtectionRelease(&s.rundown);
    KeInsertQueue(&s.queue, &stops[0].entry);
    KeInsertQueue(&s.queue, &stops[1].entry);
    for (PKTHREAD consumer : consumers)
        JoinThread(consumer);

    const long total = (long)kThreads * kRounds;
    EXPECT_EQ(s.spinGuarded, total);
    EXPECT_EQ(s.resourceGuarded, total / 4);
    EXPECT_EQ(s.mutexGuarded, total);
    EXPECT_EQ(s.fastGuarded, total);
    EXPECT_LE(s.maxInsideSemaphore, 3);
    EXPECT_EQ(s.consumed, total);
    EXPECT_EQ(KeRundownQueue(&s.queue), nullptr);
    ExDeleteResourceLite(&s.resource);
}

} // namespace
