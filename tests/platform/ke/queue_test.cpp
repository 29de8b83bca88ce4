/*
 * Kernel queues: order, time-outs, the concurrency limit and rundown.
 */
#include "ke_test_support.h"

#include <atomic>
#include <vector>

namespace {

using QueueTest = AutoClockTest;

struct Item {
    LIST_ENTRY entry;
    int value;
};

TEST_F(QueueTest, EntriesComeOutFirstInFirstOutAndInsertReturnsThePreviousCount)
{
    KQUEUE queue;
    KeInitializeQueue(&queue, 1);
    Item items[3] = {{{}, 1}, {{}, 2}, {{}, 3}};
    EXPECT_EQ(KeInsertQueue(&queue, &items[0].entry), 0);
    EXPECT_EQ(KeInsertQueue(&queue, &items[1].entry), 1);
    EXPECT_EQ(KeInsertHeadQueue(&queue, &items[2].entry), 2);
    std::vector<int> order;
    for (int i = 0; i < 3; ++i) {
        PLIST_ENTRY entry = KeRemoveQueue(&queue, KernelMode, nullptr);
        order.push_back(CONTAINING_RECORD(entry, Item, entry)->value);
    }
    EXPECT_EQ(order, (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(KeRundownQueue(&queue), nullptr);
}

TEST_F(QueueTest, RemoveTimesOutWithStatusTimeout)
{
    KQUEUE queue;
    KeInitializeQueue(&queue, 2);
    LARGE_INTEGER fiveSeconds = RelativeMs(5000);
    uint64_t before = KeQueryInterruptTime();
    PLIST_ENTRY result = KeRemoveQueue(&queue, KernelMode, &fiveSeconds);
    EXPECT_EQ((ULONG_PTR)result, (ULONG_PTR)(ULONG)STATUS_TIMEOUT);
    EXPECT_EQ(KeQueryInterruptTime() - before, 50000000u);
    LARGE_INTEGER zero{};
    EXPECT_EQ((ULONG_PTR)KeRemoveQueue(&queue, KernelMode, &zero), (ULONG_PTR)(ULONG)STATUS_TIMEOUT);
    KeRundownQueue(&queue);
}

TEST_F(QueueTest, ConcurrencyLimitHoldsBackASecondWorkerUntilTheFirstBlocksElsewhere)
{
    KQUEUE queue;
    KeInitializeQueue(&queue, 1);
    KEVENT gate, done;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    std::atomic<int> taken{0};
    auto worker = [&] {
        PLIST_ENTRY entry = KeRemoveQueue(&queue, KernelMode, nullptr);
        if ((ULONG_PTR)entry == (ULONG)STATUS_ABANDONED)
            return;
        if (++taken == 1) {
            KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr); /* gives up its place */
            return;
        }
        KeSetEvent(&done, 0, FALSE);
    };
    PKTHREAD first = StartThread(worker);
    PKTHREAD second = StartThread(worker);
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&queue) == 2; }));

    Item items[2] = {};
    KeInsertQueue(&queue, &items[0].entry);
    ASSERT_TRUE(Eventually([&] { return taken == 1; }));
    // The first worker now waits on the gate, so the queue's one place is free again.
    KeInsertQueue(&queue, &items[1].entry);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(taken, 2);
    KeSetEvent(&gate, 0, FALSE);
    JoinThread(first);
    JoinThread(second);
    KeRundownQueue(&queue);
}

TEST_F(MachineTest, ARunningWorkerKeepsItsPlaceSoANewEntryWaits)
{
    KQUEUE queue;
    KeInitializeQueue(&queue, 1);
    Item items[2] = {};
    KeInsertQueue(&queue, &items[0].entry);
    KeInsertQueue(&queue, &items[1].entry);
    EXPECT_EQ(KeRemoveQueue(&queue, KernelMode, nullptr), &items[0].entry);
    // This thread is now the queue's one running worker; another remover must not get the second entry.
    // The test thread must not block in the dispatcher meanwhile: that would give
    // its place away. It watches on the host clock instead.
    std::atomic<bool> got{false}, finished{false};
    PKTHREAD other = StartThread([&] {
        LARGE_INTEGER shortWhile = RelativeMs(50);
        got = (ULONG_PTR)KeRemoveQueue(&queue, KernelMode, &shortWhile) != (ULONG)STATUS_TIMEOUT;
        finished = true;
    });
    ASSERT_TRUE(Eventually([&] { return finished.load(); }));
    JoinThread(other);
    EXPECT_FALSE(got) << "the concurrency limit of 1 was exceeded";
    EXPECT_EQ(KeRemoveQueue(&queue, KernelMode, nullptr), &items[1].entry)
        << "the running worker coming back takes the next entry";
    KeRundownQueue(&queue);
}

TEST_F(QueueTest, RundownReturnsTheEntriesLeftAsARingAndAbandonsWaiters)
{
    KQUEUE queue;
    KeInitializeQueue(&queue, 4);
    std::atomic<NTSTATUS> waiterResult{STATUS_PENDING};
    KQUEUE other;
    KeInitializeQueue(&other, 1);
    PKTHREAD waiter = StartThread([&] {
        waiterResult = (NTSTATUS)(ULONG_PTR)KeRemoveQueue(&other, KernelMode, nullptr);
    });
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&other) == 1; }));
    EXPECT_EQ(KeRundownQueue(&other), nullptr);
    JoinThread(waiter);
    EXPECT_EQ(waiterResult, STATUS_ABANDONED);
    EXPECT_EQ((ULONG_PTR)KeRemoveQueue(&other, KernelMode, nullptr), (ULONG_PTR)(ULONG)STATUS_ABANDONED)
        << "a wait after rundown fails at once";

    Item items[3] = {{{}, 1}, {{}, 2}, {{}, 3}};
    for (auto &item : items)
        KeInsertQueue(&queue, &item.entry);
    PLIST_ENTRY first = KeRundownQueue(&queue);
    ASSERT_EQ(first, &items[0].entry);
    std::vector<int> seen;
    PLIST_ENTRY entry = first;
    do {
        seen.push_back(CONTAINING_RECORD(entry, Item, entry)->value);
        entry = entry->Flink;
    } while (entry != first);
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(first->Blink, &items[2].entry);
}

} // namespace
