/*
 * Waits on events, mutexes, semaphores and thread objects, and signals with Wait TRUE.
 */
#include "ke_test_support.h"

#include <atomic>

namespace {

using EventTest = MachineTest;

TEST_F(EventTest, SynchronizationEventWakesExactlyOneWaiterPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    PKTHREAD threads[3];
    for (auto &thread : threads)
        thread = StartThread([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            woken++;
        });
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&event) == 3; }));

    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    ASSERT_TRUE(Eventually([&] { return woken == 1; }));
    EXPECT_EQ(machine::WaitersOn(&event), 2u);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the wait consumed the signal";

    KeSetEvent(&event, 0, FALSE);
    KeSetEvent(&event, 0, FALSE);
    for (auto thread : threads)
        JoinThread(thread);
    EXPECT_EQ(woken, 3);
}

TEST_F(EventTest, NotificationEventWakesEveryWaiterAndStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    PKTHREAD threads[4];
    for (auto &thread : threads)
        thread = StartThread([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            woken++;
        });
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&event) == 4; }));
    KeSetEvent(&event, 0, FALSE);
    for (auto thread : threads)
        JoinThread(thread);
    EXPECT_EQ(woken, 4);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1) << "KeSetEvent returns the previous state";
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, WaitAnyReturnsTheIndexOfTheSignalledObjectAndWaitAllNeedsAll)
{
    KEVENT events[3];
    for (auto &event : events)
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    PVOID objects[3] = {&events[0], &events[1], &events[2]};
    KWAIT_BLOCK blocks[3];
    LARGE_INTEGER zero{};

    KeSetEvent(&events[2], 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, blocks),
              STATUS_WAIT_0 + 2);
    EXPECT_EQ(KeReadStateEvent(&events[2]), 0);

    KeSetEvent(&events[0], 0, FALSE);
    KeSetEvent(&events[1], 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &zero, blocks),
              STATUS_TIMEOUT) << "wait-all with one object unsignalled";
    EXPECT_EQ(KeReadStateEvent(&events[0]), 1) << "a failed wait-all consumes nothing";

    PKTHREAD setter = StartThread([&] { KeSetEvent(&events[2], 0, FALSE); });
    EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, blocks),
              STATUS_SUCCESS);
    for (auto &event : events)
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    JoinThread(setter);
}

TEST_F(EventTest, TimeoutsReturnStatusTimeout)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(20);
    uint64_t before = KeQueryInterruptTime();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(KeQueryInterruptTime() - before, 200000u);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

TEST_F(EventTest, MutexIsRecursiveForItsOwnerAndPassesToTheNextWaiter)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(KeAreApcsDisabled()) << "holding a mutex disables normal kernel APCs";

    std::atomic<bool> acquired{false};
    PKTHREAD other = StartThread([&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&mutex) == 1; }));
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_FALSE(acquired) << "one release of a twice-acquired mutex keeps it";
    KeReleaseMutex(&mutex, FALSE);
    JoinThread(other);
    EXPECT_TRUE(acquired);
    EXPECT_FALSE(KeAreApcsDisabled());
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(EventTest, SemaphoreCountsAndWaitersTakeUnits)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 2, 3);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 3, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 3);
}

TEST_F(EventTest, ThreadObjectIsSignalledWhenTheThreadEnds)
{
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    PKTHREAD thread = StartThread([&] {
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
        PsTerminateSystemThread(STATUS_SUCCESS);
    });
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&go, 0, FALSE);
    JoinThread(thread);
    EXPECT_EQ(machine::LiveSystemThreads(), 0u);
}

TEST_F(EventTest, SignalWithWaitKeepsTheIrqlRaisedUntilTheWaitThatFollows)
{
    KEVENT request, reply;
    KeInitializeEvent(&request, SynchronizationEvent, FALSE);
    KeInitializeEvent(&reply, SynchronizationEvent, FALSE);
    PKTHREAD server = StartThread([&] {
        for (int i = 0; i < 2; ++i) {
            KeWaitForSingleObject(&request, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&reply, 0, FALSE);
        }
    });
    EXPECT_EQ(KeSetEvent(&request, 0, TRUE), 0);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "returned without lowering the IRQL";
    EXPECT_EQ(KeWaitForSingleObject(&reply, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS)
        << "checked at the caller's own IRQL, where it may wait";
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the wait restores the IRQL of the signal's caller";

    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    KeSetEvent(&request, 0, TRUE);
    PVOID objects[1] = {&reply};
    LARGE_INTEGER timeout = RelativeMs(60000);
    EXPECT_EQ(KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr),
              STATUS_WAIT_0);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
    JoinThread(server);
}

TEST_F(EventTest, ATerminatingProcessEndsItsUserModeWaitsButNotKernelModeOnesOrThoseWithApcsDisabled)
{
    void *process = machine::CreateProcess(machine::ProcessIdentity());
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    auto waitIn = [&](KPROCESSOR_MODE mode, bool criticalRegion, std::atomic<NTSTATUS> &status) {
        return StartThread([&, mode, criticalRegion] {
            machine::EnterProcess(process);
            if (criticalRegion)
                KeEnterCriticalRegion();
            status = KeWaitForSingleObject(&never, UserRequest, mode, FALSE, nullptr);
            if (criticalRegion)
                KeLeaveCriticalRegion();
            machine::LeaveProcess();
        });
    };
    std::atomic<NTSTATUS> user{STATUS_PENDING}, kernel{STATUS_PENDING}, shielded{STATUS_PENDING};
    PKTHREAD userThread = waitIn(UserMode, false, user);
    PKTHREAD kernelThread = waitIn(KernelMode, false, kernel);
    PKTHREAD shieldedThread = waitIn(UserMode, true, shielded);
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&never) == 3; }));

    machine::EndProcessWaits(process);
    JoinThread(userThread);
    EXPECT_EQ(user.load(), STATUS_USER_APC);
    EXPECT_EQ(machine::WaitersOn(&never), 2u) << "kernel-mode waits and waits with kernel APCs disabled go on";
    EXPECT_EQ(KeReadStateEvent(&never), 0) << "the object was not signalled to end the wait";

    // Later user-mode waits in the process end before they block; other processes' do not.
    machine::EnterProcess(process);
    LARGE_INTEGER hour;
    hour.QuadPart = -36000000000LL;
    EXPECT_EQ(KeWaitForSingleObject(&never, UserRequest, UserMode, FALSE, nullptr), STATUS_USER_APC);
    EXPECT_EQ(KeDelayExecutionThread(UserMode, FALSE, &hour), STATUS_USER_APC);
    machine::LeaveProcess();
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&never, UserRequest, UserMode, FALSE, &zero), STATUS_TIMEOUT);

    KeSetEvent(&never, 0, FALSE);
    JoinThread(kernelThread);
    JoinThread(shieldedThread);
    EXPECT_EQ(kernel.load(), STATUS_SUCCESS);
    EXPECT_EQ(shielded.load(), STATUS_SUCCESS);
    machine::ReleaseProcess(process);
}

using EventDeathTest = MachineTest;

TEST_F(EventDeathTest, SignalWithWaitNeedsAnIrqlAtWhichTheCallerMayWait)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeSetEvent(&event, 0, TRUE);
        },
        IRQL_NOT_LESS_OR_EQUAL, {kAnyParameter, DISPATCH_LEVEL, APC_LEVEL});
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 1);
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            KeReleaseSemaphore(&semaphore, 0, 1, TRUE);
        },
        IRQL_NOT_LESS_OR_EQUAL, {kAnyParameter, APC_LEVEL, PASSIVE_LEVEL});

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0) << "without the wait, DISPATCH_LEVEL is allowed";
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 1, FALSE), 0);
    KeLowerIrql(old);
}

TEST_F(EventDeathTest, ASignalWithWaitNotFollowedByTheWaitStopsTheMachine)
{
    KEVENT event, other;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeEvent(&other, NotificationEvent, FALSE);
    EXPECT_BUGCHECK(
        {
            KeSetEvent(&event, 0, TRUE);
            KeClearEvent(&other);
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_WAIT_NEXT_NOT_WAITED, kAnyParameter, kAnyParameter});
    EXPECT_BUGCHECK(
        {
            KeSetEvent(&event, 0, TRUE);
            KeLowerIrql(PASSIVE_LEVEL);
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_WAIT_NEXT_NOT_WAITED})
        << "the wait, not the caller, puts the IRQL back";
    EXPECT_BUGCHECK(JoinThread(StartThread([&] { KeSetEvent(&event, 0, TRUE); })),
                    DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_WAIT_NEXT_NOT_WAITED, 0, kAnyParameter})
        << "a thread that ends owing the wait";
}

TEST_F(EventDeathTest, TimedWaitAtDispatchLevelStopsTheMachine)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER timeout = RelativeMs(1);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        IRQL_NOT_LESS_OR_EQUAL, {kAnyParameter, DISPATCH_LEVEL, APC_LEVEL});
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT)
        << "a zero time-out is allowed at DISPATCH_LEVEL";
    KeLowerIrql(old);
}

TEST_F(EventDeathTest, ReleasingAMutexOneDoesNotOwnStopsTheMachine)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_BUGCHECK(KeReleaseMutex(&mutex, FALSE), THREAD_NOT_MUTEX_OWNER);
}

TEST_F(EventDeathTest, SemaphoreOverLimitRaisesAnUnhandledException)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 1, 1);
    EXPECT_BUGCHECK(KeReleaseSemaphore(&semaphore, 0, 1, FALSE), KMODE_EXCEPTION_NOT_HANDLED,
                    {(uint64_t)(ULONG)STATUS_SEMAPHORE_LIMIT_EXCEEDED});
}

} // namespace
