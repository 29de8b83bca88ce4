/*
 * The dispatcher: one lock over the state of every dispatcher object, wait blocks
 * on the waiters' stacks, one park word per thread, and the timer queue of the
 * machine's one clock.
 *
 * Everything declared here is called with the dispatcher lock held unless its
 * comment says otherwise.
 */
#pragma once

#include "base/spin.h"
#include "ke/thread_state.h"

#include <ntstatus.h>
#include <km/ke.h>

#include <cstdint>
#include <map>
#include <vector>

struct _KTHREAD;

namespace ke {

base::SpinLock &DispatcherLock();

/* ---- Clock and timers (clock.cpp) --------------------------------------------------- */

struct TimerEntry;
using TimerExpiry = void (*)(TimerEntry *entry);

/* A deadline on the clock's queue: a waiter's time-out or a KTIMER. */
struct TimerEntry {
    uint64_t deadline = 0; /* interrupt time, 100 ns */
    bool armed = false;
    TimerExpiry expire = nullptr;
    void *context = nullptr;
    std::multimap<uint64_t, TimerEntry *>::iterator position;
};

/* Interrupt time and system time in 100 ns units (callable without the lock). */
uint64_t InterruptTime();
uint64_t SystemTime();
/* A KeWait-style time-out (negative relative, positive absolute system time) as a deadline. */
uint64_t DeadlineFromTimeout(LONGLONG timeout);

void ArmTimer(TimerEntry *entry, uint64_t deadline);
void DisarmTimer(TimerEntry *entry);

/* DPCs to run at DISPATCH_LEVEL once the dispatcher lock is dropped. */
void QueueDpc(PKDPC dpc);
bool DequeueDpc(PKDPC dpc);

/*
 * Queues the machine's own threads wait on while idle (the system worker queues):
 * machine::AttachedThreads and BlockedThreads leave the threads waiting on them out,
 * so that they report the threads of drivers and tests. The clock still counts them.
 */
void RegisterServiceQueue(PRKQUEUE queue);
void UnregisterServiceQueue(PRKQUEUE queue);

/* Thread accounting for auto-advance. */
void NoteThreadAttached();
void NoteThreadDetached();
void NoteThreadBlocked();
void NoteThreadUnblocked();

/* ---- Waits (dispatcher.cpp) ------------------------------------------------------------ */

struct Waiter;

struct WaitBlock {
    LIST_ENTRY entry; /* on the object's WaitListHead */
    Waiter *waiter;
    DISPATCHER_HEADER *object;
    uint32_t index;
};

enum class WaitKind : uint8_t { Any, All, Queue, Custom };

struct Waiter {
    ThreadState *thread = nullptr;
    WaitKind kind = WaitKind::Any;
    uint32_t count = 0;
    WaitBlock *blocks = nullptr;
    NTSTATUS status = STATUS_PENDING;
    bool done = false;
    PLIST_ENTRY queueEntry = nullptr; /* queue waits: the entry handed over */
    TimerEntry timeout;
    /* A user-mode wait: the process it is made in, and its entry on the process's UserWaits. */
    struct _KPROCESS *userProcess = nullptr;
    LIST_ENTRY userWaitEntry;
};

/* The process whose termination ends a wait the calling thread makes in the given mode
 * (see EndUserWaits), or null: kernel-mode waits, and waits made with kernel APCs
 * disabled, are not interrupted. */
struct _KPROCESS *UserWaitProcess(KPROCESSOR_MODE mode);

/* The process's threads are terminating: its user-mode waits end with STATUS_USER_APC,
 * as a wait interrupted to terminate its thread does, now and from now on. */
void EndUserWaits(struct _KPROCESS *process);

/* Completes a wait: unlinks its blocks, disarms its time-out, wakes the thread. */
void CompleteWait(Waiter *waiter, NTSTATUS status);

/*
 * Blocks the calling thread until its waiter completes (the lock is dropped while
 * parked and held again on return). The waiter must already be linked on its
 * objects; a deadline of UINT64_MAX means no time-out.
 */
void BlockOnWaiter(Waiter &waiter, uint64_t deadline);

/* Satisfies whatever waits the object's state now allows. */
void WakeWaiters(DISPATCHER_HEADER *object);

/* The thread object's header becomes signalled; called when a thread ends. */
void SignalThreadObject(struct _KTHREAD *thread);

/* Hands queued entries to waiting threads while the queue's concurrency allows. */
void ActivateQueueWaiters(PRKQUEUE queue);

/* Leaves the queue a thread is associated with (thread exit). */
void DisassociateQueue(ThreadState &state);

/* Checks that the calling thread may wait at its IRQL (time-out zero allows DISPATCH_LEVEL). */
void CheckWaitIrql(const void *routine, bool zeroTimeout);

/* Stops the machine when a routine is called above its documented maximum IRQL, or while a
 * signal with Wait TRUE still waits for its wait (any routine that checks its IRQL is a call in
 * between). Called without the dispatcher lock. */
void CheckIrql(const void *routine, KIRQL maximum);

/*
 * The Wait TRUE form of a signalling routine, after the signal (without the dispatcher lock):
 * raises the caller to DISPATCH_LEVEL, where Windows returns holding the dispatcher, until the
 * KeWaitXxx call that must come next puts the IRQL back.
 */
void HoldForNextWait(const void *object);
/* Stops the machine when the thread still owes the wait of a Wait TRUE signal; where names the
 * routine called instead (null: the thread, or the request, ended). */
void CheckNoWaitPending(ThreadState &state, const void *where);

} // namespace ke
