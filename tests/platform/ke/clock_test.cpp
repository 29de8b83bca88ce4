/*
 * The clock in its three modes, timers and DPCs.
 */
#include "ke_test_support.h"

#include <atomic>
#include <chrono>

namespace {

constexpr LONGLONG kDay = 24LL * 3600 * 1000;

using ClockTest = AutoClockTest;

TEST_F(ClockTest, TwentyFourHourTimerFiresInMillisecondsWhenEveryThreadWaits)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due = RelativeMs(kDay);
    EXPECT_FALSE(KeSetTimer(&timer, due, nullptr));
    uint64_t before = KeQueryInterruptTime();
    auto wallBefore = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryInterruptTime() - before, (uint64_t)kDay * 10000) << "the clock jumped exactly to the deadline";
    EXPECT_LT(std::chrono::steady_clock::now() - wallBefore, std::chrono::seconds(5));
    EXPECT_TRUE(KeReadStateTimer(&timer));
}

TEST_F(ClockTest, ClockDoesNotJumpWhileAnyAttachedThreadRuns)
{
    KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    std::atomic<bool> spinning{true};
    uint64_t start = KeQueryInterruptTime();
    PKTHREAD busy = StartThread([&] {
        while (spinning)
            ;
    });
    PKTHREAD sleeper = StartThread([&] {
        LARGE_INTEGER hour = RelativeMs(3600 * 1000);
        KeDelayExecutionThread(KernelMode, FALSE, &hour);
        KeSetEvent(&release, 0, FALSE);
    });
    // The test thread, the busy thread and the sleeper: only the sleeper waits.
    usleep(50000);
    EXPECT_EQ(KeQueryInterruptTime(), start) << "time moved while threads were running";
    spinning = false;
    JoinThread(busy);
    EXPECT_EQ(KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(KeQueryInterruptTime() - start, 3600ull * 10000000);
    JoinThread(sleeper);
}

TEST_F(ClockTest, SystemTimeAndInterruptTimeMoveTogether)
{
    LARGE_INTEGER system1, system2;
    KeQuerySystemTime(&system1);
    uint64_t interrupt1 = KeQueryInterruptTime();
    LARGE_INTEGER second = RelativeMs(1000);
    KeDelayExecutionThread(KernelMode, FALSE, &second);
    KeQuerySystemTime(&system2);
    EXPECT_EQ(system2.QuadPart - system1.QuadPart, 10000000);
    EXPECT_EQ(KeQueryInterruptTime() - interrupt1, 10000000u);
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10000000);
    EXPECT_EQ((uint64_t)counter.QuadPart, KeQueryInterruptTime());
}

TEST_F(ClockTest, AbsoluteDeadlinesUseSystemTime)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = now.QuadPart + 5 * 10000000LL; /* five seconds from now, absolute */
    KeSetTimer(&timer, due, nullptr);
    KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER after;
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart, due.QuadPart);
}

struct DpcCount {
    std::atomic<int> runs{0};
    std::atomic<KIRQL> irql{0};
};

VOID NTAPI CountDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto *count = static_cast<DpcCount *>(context);
    count->irql = KeGetCurrentIrql();
    count->runs++;
}

TEST_F(ClockTest, PeriodicTimerQueuesItsDpcEveryPeriodAndCancelStopsIt)
{
    DpcCount count;
    KDPC dpc;
    KeInitializeDpc(&dpc, CountDpc, &count);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    LARGE_INTEGER due = RelativeMs(100);
    KeSetTimerEx(&timer, due, 100, &dpc);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(Eventually([&] { return count.runs >= 3; }));
    EXPECT_EQ(count.irql, DISPATCH_LEVEL);
    EXPECT_FALSE(KeReadStateTimer(&timer)) << "a synchronization timer resets when a wait takes it";
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
}

class ManualClockTest : public MachineTest {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config;
        config.clock = machine::ClockMode::Manual;
        config.bootSystemTime = 132000000000000000ull;
        return config;
    }
};

TEST_F(ManualClockTest, TimeMovesOnlyWhenAdvancedAndDueTimersFireInOrder)
{
    LARGE_INTEGER system;
    KeQuerySystemTime(&system);
    EXPECT_EQ(system.QuadPart, 132000000000000000LL);
    KTIMER early, late;
    KeInitializeTimer(&early);
    KeInitializeTimer(&late);
    KeSetTimer(&early, RelativeMs(10), nullptr);
    KeSetTimer(&late, RelativeMs(30), nullptr);
    usleep(20000);
    EXPECT_EQ(KeQueryInterruptTime(), 0u);
    machine::AdvanceClock(200000);
    EXPECT_TRUE(KeReadStateTimer(&early));
    EXPECT_FALSE(KeReadStateTimer(&late));
    machine::AdvanceClock(100000);
    EXPECT_TRUE(KeReadStateTimer(&late));
    EXPECT_EQ(KeQueryInterruptTime(), 300000u);
}

TEST_F(ManualClockTest, AWaitTimesOutOnlyWhenTheClockIsAdvanced)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    PKTHREAD waiter = StartThread([&] {
        LARGE_INTEGER timeout = RelativeMs(50);
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&event) == 1; }));
    usleep(100000);
    EXPECT_EQ(result, STATUS_PENDING);
    machine::AdvanceClock(500000);
    JoinThread(waiter);
    EXPECT_EQ(result, STATUS_TIMEOUT);
}

TEST_F(MachineTest, RealClockTimersFireOnTheirOwn)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    /* The stopwatch starts before the timer is set: the set itself may be preempted. */
    auto start = std::chrono::steady_clock::now();
    KeSetTimer(&timer, RelativeMs(20), nullptr);
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(19));
}

using TimerDeathTest = MachineTest;

TEST_F(TimerDeathTest, FreeingPoolThatHoldsASetTimerIsAVerifierFinding)
{
    auto *timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KTIMER), POOL_TAG('T', 's', 'T', 'm')));
    KeInitializeTimer(timer);
    KeSetTimer(timer, RelativeMs(60000), nullptr);
    EXPECT_BUGCHECK(ExFreePoolWithTag(timer, POOL_TAG('T', 's', 'T', 'm')), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_FREED_ACTIVE_TIMER});
    KeCancelTimer(timer);
    ExFreePoolWithTag(timer, POOL_TAG('T', 's', 'T', 'm'));
}

} // namespace
