/*
 * Events set and cleared on one thread while another is about to wait on them. A
 * set that finds no waiter takes no lock, so each case here is a window where a
 * wake-up could be lost: a lost one leaves every thread blocked, the automatic
 * clock then ends the wait with STATUS_TIMEOUT, and the test sees it. Each
 * hand-over also carries plain data, so a set that fails to order memory shows up
 * as a wrong value (and, under ThreadSanitizer, as a race).
 */
#include "../ke/ke_test_support.h"

#include <atomic>

namespace {

using EventRaceTest = AutoClockTest;

constexpr int kRounds = 20000;

NTSTATUS WaitLong(PVOID object)
{
    LARGE_INTEGER timeout = RelativeMs(60 * 1000);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}

/* Two threads hand a counter back and forth through two events of one type. */
void PingPong(EVENT_TYPE type)
{
    KEVENT ping, pong;
    KeInitializeEvent(&ping, type, FALSE);
    KeInitializeEvent(&pong, type, FALSE);
    long counter = 0; /* plain: only the events order it */
    std::atomic<int> lost{0};

    PKTHREAD responder = StartThread([&] {
        for (int round = 0; round < kRounds; ++round) {
            if (WaitLong(&ping) != STATUS_SUCCESS) {
                lost++;
                return;
            }
            if (type == NotificationEvent)
                KeClearEvent(&ping);
            counter++;
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        counter++;
        KeSetEvent(&ping, 0, FALSE);
        if (WaitLong(&pong) != STATUS_SUCCESS) {
            lost++;
            break;
        }
        if (type == NotificationEvent)
            KeClearEvent(&pong);
    }
    if (lost != 0) /* free the responder from its wait */
        KeSetEvent(&ping, 0, FALSE);
    JoinThread(responder);
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(counter, 2L * kRounds);
    EXPECT_EQ(KeReadStateEvent(&ping), 0);
    EXPECT_EQ(KeReadStateEvent(&pong), 0);
}

TEST_F(EventRaceTest, SynchronizationEventsHandOverWithoutLosingAWakeUp)
{
    PingPong(SynchronizationEvent);
}

TEST_F(EventRaceTest, NotificationEventsClearedAndSetWithoutLosingAWakeUp)
{
    PingPong(NotificationEvent);
}

/*
 * One thread waits for any of two events that two setters signal; each setter waits
 * for its acknowledgement before setting again. The waiter stays linked on the
 * other event when one satisfies it, which must not hide it from that event's
 * next set.
 */
TEST_F(EventRaceTest, WaitAnyOverEventsSetFromTwoThreads)
{
    KEVENT events[2], acks[2];
    long seen[2] = {0, 0}; /* plain: each setter's count, ordered by its events */
    long written[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
        KeInitializeEvent(&acks[i], SynchronizationEvent, FALSE);
    }
    std::atomic<int> lost{0};
    PKTHREAD setters[2];
    for (int i = 0; i < 2; ++i)
        setters[i] = StartThread([&, i] {
            for (int round = 0; round < kRounds / 2; ++round) {
                written[i]++;
                KeSetEvent(&events[i], 0, FALSE);
                if (WaitLong(&acks[i]) != STATUS_SUCCESS) {
                    lost++;
                    return;
                }
            }
        });
    PVOID objects[2] = {&events[0], &events[1]};
    for (int done = 0; done < kRounds && lost == 0; ++done) {
        LARGE_INTEGER timeout = RelativeMs(60 * 1000);
        NTSTATUS status =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr);
        if (status != STATUS_WAIT_0 && status != STATUS_WAIT_0 + 1) {
            lost++;
            break;
        }
        int which = status - STATUS_WAIT_0;
        seen[which] = written[which];
        KeSetEvent(&acks[which], 0, FALSE);
    }
    if (lost != 0)
        for (PKEVENT ack : {&acks[0], &acks[1]})
            KeSetEvent(ack, 0, FALSE);
    for (PKTHREAD setter : setters)
        JoinThread(setter);
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(seen[0], kRounds / 2);
    EXPECT_EQ(seen[1], kRounds / 2);
}

/*
 * Several waiters on one notification event, set once a round by a thread that
 * does not know whether they have linked themselves yet: every one wakes every
 * round, and the clear between rounds holds them back for the next.
 */
TEST_F(EventRaceTest, NotificationEventWakesEveryWaiterWhetherLinkedOrNot)
{
    constexpr int kWaiters = 3;
    constexpr int kBroadcasts = 3000;
    KEVENT gate;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    KSEMAPHORE arrived, left, go;
    KeInitializeSemaphore(&arrived, 0, kWaiters);
    KeInitializeSemaphore(&left, 0, kWaiters);
    KeInitializeSemaphore(&go, 0, kWaiters);
    std::atomic<int> lost{0};
    std::atomic<long> woken{0};
    PKTHREAD waiters[kWaiters];
    for (PKTHREAD &waiter : waiters)
        waiter = StartThread([&] {
            for (int round = 0; round < kBroadcasts; ++round) {
                KeReleaseSemaphore(&arrived, 0, 1, FALSE);
                if (WaitLong(&gate) != STATUS_SUCCESS) {
                    lost++;
                    return;
                }
                woken++;
                KeReleaseSemaphore(&left, 0, 1, FALSE);
                if (WaitLong(&go) != STATUS_SUCCESS) {
                    lost++;
                    return;
                }
            }
        });
    for (int round = 0; round < kBroadcasts && lost == 0; ++round) {
        for (int i = 0; i < kWaiters && lost == 0; ++i)
            lost += WaitLong(&arrived) != STATUS_SUCCESS;
        KeSetEvent(&gate, 0, FALSE);
        for (int i = 0; i < kWaiters && lost == 0; ++i)
            lost += WaitLong(&left) != STATUS_SUCCESS;
        KeClearEvent(&gate);
        KeReleaseSemaphore(&go, 0, kWaiters, FALSE);
    }
    if (lost != 0) {
        KeSetEvent(&gate, 0, FALSE);
        KeReleaseSemaphore(&go, 0, kWaiters, FALSE);
    }
    for (PKTHREAD waiter : waiters)
        JoinThread(waiter);
    EXPECT_EQ(lost.load(), 0);
    EXPECT_EQ(woken.load(), (long)kWaiters * kBroadcasts);
}

} // namespace
