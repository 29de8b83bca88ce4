/*
 * The dispatcher core: satisfying and completing waits, blocking, and the
 * generic wait routines over events, mutexes, semaphores, timers, threads and
 * processes.
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ke/verifier.h"

#include <km/bugcheck.h>
#include <km/ex.h>
#include <km/list.h>

#include <sched.h>

namespace ke {

base::SpinLock &DispatcherLock()
{
    static base::SpinLock lock;
    return lock;
}

void CheckIrql(const void *routine, KIRQL maximum)
{
    ThreadState &state = CurrentThreadState();
    CheckNoWaitPending(state, routine);
    if (state.irql > maximum)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)routine, state.irql, maximum, 0);
}

void HoldForNextWait(const void *object)
{
    ThreadState &state = CurrentThreadState();
    state.waitNext = true;
    state.waitIrql = state.irql;
    state.waitNextObject = object;
    if (state.irql < DISPATCH_LEVEL)
        state.irql = DISPATCH_LEVEL;
}

void CheckNoWaitPending(ThreadState &state, const void *where)
{
    if (!state.waitNext)
        return;
    state.waitNext = false; /* the halt path may check IRQLs itself */
    KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_WAIT_NEXT_NOT_WAITED, (ULONG_PTR)where,
                 (ULONG_PTR)state.waitNextObject, 0);
}

void CheckWaitIrql(const void *routine, bool zeroTimeout)
{
    CheckIrql(routine, zeroTimeout ? DISPATCH_LEVEL : APC_LEVEL);
}

namespace {

void CheckObject(DISPATCHER_HEADER *object)
{
    if (object->WaitListHead.Flink == nullptr || object->Type > TimerSynchronizationObject)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_UNINITIALIZED_OBJECT, (ULONG_PTR)object, object->Type, 0);
}

bool IsSignalled(DISPATCHER_HEADER *object, ThreadState *thread)
{
    if (object->Type == MutantObject) {
        auto mutant = reinterpret_cast<PKMUTANT>(object);
        return object->SignalState > 0 || (thread != nullptr && mutant->OwnerThread == thread->thread);
    }
    return object->SignalState > 0;
}

/* Applies the side effect of a satisfied wait on the object for the thread. */
void Acquire(DISPATCHER_HEADER *object, ThreadState *thread)
{
    switch (object->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        object->SignalState = 0;
        break;
    case SemaphoreObject:
        object->SignalState--;
        break;
    case MutantObject: {
        auto mutant = reinterpret_cast<PKMUTANT>(object);
        if (mutant->OwnerThread != thread->thread) {
            mutant->OwnerThread = thread->thread;
            thread->kernelApcDisable += mutant->ApcDisable;
        }
        object->SignalState--;
        break;
    }
    default:
        break;
    }
}

bool AllSignalled(Waiter *waiter)
{
    for (uint32_t i = 0; i < waiter->count; ++i)
        if (!IsSignalled(waiter->blocks[i].object, waiter->thread))
            return false;
    return true;
}

void TimeoutExpired(TimerEntry *entry)
{
    auto waiter = static_cast<Waiter *>(entry->context);
    if (!waiter->done)
        CompleteWait(waiter, STATUS_TIMEOUT);
}

/* Waits for ready objects without blocking; returns STATUS_PENDING when none is. */
NTSTATUS TrySatisfy(Waiter &waiter)
{
    if (waiter.kind == WaitKind::Any) {
        for (uint32_t i = 0; i < waiter.count; ++i) {
            if (IsSignalled(waiter.blocks[i].object, waiter.thread)) {
                Acquire(waiter.blocks[i].object, waiter.thread);
                return STATUS_WAIT_0 + (NTSTATUS)i;
            }
        }
        return STATUS_PENDING;
    }
    if (waiter.count != 0 && AllSignalled(&waiter)) {
        for (uint32_t i = 0; i < waiter.count; ++i)
            Acquire(waiter.blocks[i].object, waiter.thread);
        return STATUS_SUCCESS;
    }
    return STATUS_PENDING;
}

/* The queue a thread stays active on while it waits elsewhere gets its place. */
void LeaveQueueWhileBlocked(Waiter &waiter);
void ReturnToQueueAfterBlock(Waiter &waiter);

} // namespace

void WakeWaiters(DISPATCHER_HEADER *object)
{
    // Satisfy waiters in arrival order until none can be; each completion changes
    // the list (and maybe the object's state), so the scan restarts from the head.
    for (bool completed = true; completed;) {
        completed = false;
        for (PLIST_ENTRY e = object->WaitListHead.Flink; e != &object->WaitListHead; e = e->Flink) {
            auto block = CONTAINING_RECORD(e, WaitBlock, entry);
            Waiter *waiter = block->waiter;
            if (waiter->done || waiter->kind == WaitKind::Queue || waiter->kind == WaitKind::Custom)
                continue;
            if (waiter->kind == WaitKind::Any) {
                if (!IsSignalled(object, waiter->thread))
                    continue;
                Acquire(object, waiter->thread);
                CompleteWait(waiter, STATUS_WAIT_0 + (NTSTATUS)block->index);
            } else {
                if (!AllSignalled(waiter))
                    continue;
                for (uint32_t i = 0; i < waiter->count; ++i)
                    Acquire(waiter->blocks[i].object, waiter->thread);
                CompleteWait(waiter, STATUS_SUCCESS);
            }
            completed = true;
            break;
        }
    }
}

void CompleteWait(Waiter *waiter, NTSTATUS status)
{
    for (uint32_t i = 0; i < waiter->count; ++i)
        RemoveEntryList(&waiter->blocks[i].entry);
    if (waiter->userProcess != nullptr) {
        RemoveEntryList(&waiter->userWaitEntry);
        waiter->userProcess = nullptr;
    }
    DisarmTimer(&waiter->timeout);
    waiter->status = status;
    waiter->done = true;
    ThreadState *thread = waiter->thread;
    if (thread->waiter == waiter) {
        ReturnToQueueAfterBlock(*waiter);
        NoteThreadUnblocked();
        Unpark(*thread);
    }
}

namespace {

/* Queue accounting for a thread that blocks on something other than its own queue. */
void LeaveQueueWhileBlocked(Waiter &waiter)
{
    struct _KTHREAD *thread = waiter.thread->thread;
    if (thread == nullptr || thread->Queue == nullptr || waiter.kind == WaitKind::Queue)
        return;
    PRKQUEUE queue = thread->Queue;
    queue->CurrentCount = queue->CurrentCount - 1;
    ActivateQueueWaiters(queue);
}

void ReturnToQueueAfterBlock(Waiter &waiter)
{
    struct _KTHREAD *thread = waiter.thread->thread;
    if (thread == nullptr || thread->Queue == nullptr || waiter.kind == WaitKind::Queue)
        return;
    thread->Queue->CurrentCount = thread->Queue->CurrentCount + 1;
}

} // namespace

struct _KPROCESS *UserWaitProcess(KPROCESSOR_MODE mode)
{
    const ThreadState &state = CurrentThreadState();
    if (mode != UserMode || state.kernelApcDisable != 0 || state.specialApcDisable != 0)
        return nullptr;
    struct _KPROCESS *process = CurrentProcess();
    return process->System ? nullptr : process;
}

void EndUserWaits(struct _KPROCESS *process)
{
    process->ThreadsTerminating = TRUE;
    while (!IsListEmpty(&process->UserWaits))
        CompleteWait(CONTAINING_RECORD(process->UserWaits.Flink, Waiter, userWaitEntry), STATUS_USER_APC);
}

void BlockOnWaiter(Waiter &waiter, uint64_t deadline)
{
    ThreadState &state = *waiter.thread;
    if (waiter.userProcess != nullptr) {
        // A terminating thread's user-mode waits end before they start.
        InsertTailList(&waiter.userProcess->UserWaits, &waiter.userWaitEntry);
        if (waiter.userProcess->ThreadsTerminating) {
            CompleteWait(&waiter, STATUS_USER_APC);
            return;
        }
    }
    if (deadline != UINT64_MAX) {
        waiter.timeout.expire = TimeoutExpired;
        waiter.timeout.context = &waiter;
        ArmTimer(&waiter.timeout, deadline);
    }
    state.waiter = &waiter;
    LeaveQueueWhileBlocked(waiter);
    NoteThreadBlocked(); /* may advance the clock and complete this very wait */
    while (!waiter.done) {
        DispatcherLock().unlock();
        Park(state);
        DispatcherLock().lock();
    }
    state.waiter = nullptr;
}

void SignalThreadObject(struct _KTHREAD *thread)
{
    thread->Header.SignalState = 1;
    WakeWaiters(&thread->Header);
}

/*
 * WaitForObjects: the body of KeWaitForSingleObject and KeWaitForMultipleObjects.
 * Takes the objects, the wait kind and the time-out; returns the wait status.
 */
NTSTATUS WaitForObjects(ULONG count, PVOID objects[], WaitKind kind, KPROCESSOR_MODE mode, PLARGE_INTEGER timeout,
                        const void *routine, const void *caller)
{
    ThreadState &state = CurrentThreadState();
    if (state.waitNext) {
        // The wait a Wait TRUE signal announced: the IRQL goes back to where the signal found it,
        // and that level is the one this wait is checked against.
        state.waitNext = false;
        state.waitNextObject = nullptr;
        state.irql = state.waitIrql;
    }
    bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
    CheckWaitIrql(routine, zeroTimeout);
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS)
        KeBugCheckEx(0x0000000C /* MAXIMUM_WAIT_OBJECTS_EXCEEDED */, count, 0, 0, 0);
    CurrentThread(); /* make sure the thread object exists before the lock is taken */

    for (ULONG i = 0; i < count; ++i) {
        auto object = static_cast<DISPATCHER_HEADER *>(objects[i]);
        if (object->Type == MutantObject)
            verifier::BeforeAcquire(object, verifier::kMutex, caller);
    }

    WaitBlock blocks[MAXIMUM_WAIT_OBJECTS];
    Waiter waiter;
    waiter.thread = &state;
    waiter.kind = kind;
    waiter.count = count;
    waiter.blocks = blocks;
    waiter.userProcess = UserWaitProcess(mode);
    NTSTATUS status;
    {
        base::SpinGuard guard(DispatcherLock());
        for (ULONG i = 0; i < count; ++i) {
            auto object = static_cast<DISPATCHER_HEADER *>(objects[i]);
            CheckObject(object);
            blocks[i].waiter = &waiter;
            blocks[i].object = object;
            blocks[i].index = i;
        }
        status = TrySatisfy(waiter);
        if (status == STATUS_PENDING && zeroTimeout) {
            status = STATUS_TIMEOUT;
        } else if (status == STATUS_PENDING) {
            for (ULONG i = 0; i < count; ++i)
                InsertTailList(&blocks[i].object->WaitListHead, &blocks[i].entry);
            uint64_t deadline = timeout == nullptr ? UINT64_MAX : DeadlineFromTimeout(timeout->QuadPart);
            BlockOnWaiter(waiter, deadline);
            status = waiter.status;
        }
    }

    // Record the mutexes this wait acquired.
    for (ULONG i = 0; i < count; ++i) {
        auto object = static_cast<DISPATCHER_HEADER *>(objects[i]);
        if (object->Type != MutantObject)
            continue;
        bool acquired = (kind == WaitKind::All && status == STATUS_SUCCESS) ||
                        (kind == WaitKind::Any && status == STATUS_WAIT_0 + (NTSTATUS)i);
        if (acquired)
            verifier::AfterAcquire(object, verifier::kMutex, false);
    }
    return status;
}

} // namespace ke

extern "C" {

NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)Alertable;
    PVOID objects[1] = {Object};
    return ke::WaitForObjects(1, objects, ke::WaitKind::Any, WaitMode, Timeout, (const void *)&KeWaitForSingleObject,
                              __builtin_return_address(0));
}

NTKERNELAPI NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                    KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                    BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                                    PKWAIT_BLOCK WaitBlockArray)
{
    (void)WaitReason;
    (void)Alertable;
    if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)
        KeBugCheckEx(0x0000000C /* MAXIMUM_WAIT_OBJECTS_EXCEEDED */, Count, 0, 0, 0);
    return ke::WaitForObjects(Count, Object, WaitType == WaitAll ? ke::WaitKind::All : ke::WaitKind::Any, WaitMode, Timeout,
                              (const void *)&KeWaitForMultipleObjects, __builtin_return_address(0));
}

NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval)
{
    (void)Alertable;
    ke::ThreadState &state = ke::CurrentThreadState();
    ke::CheckWaitIrql((const void *)&KeDelayExecutionThread, false);
    if (Interval->QuadPart == 0) {
        sched_yield();
        return STATUS_SUCCESS;
    }
    ke::CurrentThread();
    ke::Waiter waiter;
    waiter.thread = &state;
    waiter.kind = ke::WaitKind::Any;
    waiter.userProcess = ke::UserWaitProcess(WaitMode);
    base::SpinGuard guard(ke::DispatcherLock());
    ke::BlockOnWaiter(waiter, ke::DeadlineFromTimeout(Interval->QuadPart));
    return waiter.status == STATUS_USER_APC ? waiter.status : STATUS_SUCCESS;
}

/* ---- Events ---------------------------------------------------------------------------- */

NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Event->Header.Lock = 0;
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    // With Wait TRUE the caller goes on to wait at the raised IRQL: it must be one that may wait.
    ke::CheckIrql((const void *)&KeSetEvent, Wait ? APC_LEVEL : DISPATCH_LEVEL);
    LONG previous;
    {
        base::SpinGuard guard(ke::DispatcherLock());
        previous = Event->Header.SignalState;
        if (previous == 0) {
            Event->Header.SignalState = 1;
            ke::WakeWaiters(&Event->Header);
        }
    }
    if (Wait)
        ke::HoldForNextWait(Event);
    return previous;
}

NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    // Under the dispatcher lock, as every other change of a signal state: a clear that
    // raced a KeSetEvent on another processor would otherwise be a torn update of the
    // state the set reads and writes under the lock.
    ke::CheckIrql((const void *)&KeClearEvent, DISPATCH_LEVEL);
    base::SpinGuard guard(ke::DispatcherLock());
    Event->Header.SignalState = 0;
}

NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    ke::CheckIrql((const void *)&KeResetEvent, DISPATCH_LEVEL);
    base::SpinGuard guard(ke::DispatcherLock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE);
}

NTKERNELAPI LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    (void)Increment;
    (void)Wait;
    base::SpinGuard guard(ke::DispatcherLock());
    LONG previous = Event->Header.SignalState;
    if (previous == 0) {
        Event->Header.SignalState = 1;
        ke::WakeWaiters(&Event->Header);
    }
    Event->Header.SignalState = 0;
    return previous;
}

/* ---- Mutexes --------------------------------------------------------------------------- */

NTKERNELAPI VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level)
{
    (void)Level;
    Mutex->Header.Lock = 0;
    Mutex->Header.Type = MutantObject;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.SignalState = 1;
    InitializeListHead(&Mutex->Header.WaitListHead);
    Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = nullptr;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
    verifier::NoteLockInitialized(Mutex, verifier::kMutex, __builtin_return_address(0));
}

NTKERNELAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait)
{
    // Wait TRUE is allowed at DISPATCH_LEVEL too; the wait that follows then needs a zero time-out.
    ke::CheckIrql((const void *)&KeReleaseMutex, DISPATCH_LEVEL);
    ke::ThreadState &state = ke::CurrentThreadState();
    struct _KTHREAD *self = ke::CurrentThread();
    LONG previous;
    {
        base::SpinGuard guard(ke::DispatcherLock());
        if (Mutex->OwnerThread != self)
            KeBugCheckEx(THREAD_NOT_MUTEX_OWNER, (ULONG_PTR)self, (ULONG_PTR)Mutex->OwnerThread, (ULONG_PTR)Mutex, 0);
        previous = Mutex->Header.SignalState;
        Mutex->Header.SignalState++;
        if (Mutex->Header.SignalState == 1) {
            Mutex->OwnerThread = nullptr;
            state.kernelApcDisable -= Mutex->ApcDisable;
            ke::WakeWaiters(&Mutex->Header);
        }
    }
    verifier::OnRelease(Mutex);
    if (Wait)
        ke::HoldForNextWait(Mutex);
    return previous;
}

NTKERNELAPI LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex)
{
    return __atomic_load_n(&Mutex->Header.SignalState, __ATOMIC_ACQUIRE);
}

/* ---- Semaphores ------------------------------------------------------------------------- */

NTKERNELAPI VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit)
{
    Semaphore->Header.Lock = 0;
    Semaphore->Header.Type = SemaphoreObject;
    Semaphore->Header.Size = sizeof(KSEMAPHORE) / sizeof(LONG);
    Semaphore->Header.SignalState = Count;
    InitializeListHead(&Semaphore->Header.WaitListHead);
    Semaphore->Limit = Limit;
}

NTKERNELAPI LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                                          BOOLEAN Wait)
{
    (void)Increment;
    ke::CheckIrql((const void *)&KeReleaseSemaphore, Wait ? PASSIVE_LEVEL : DISPATCH_LEVEL);
    LONG previous;
    {
        base::SpinGuard guard(ke::DispatcherLock());
        previous = Semaphore->Header.SignalState;
        LONG next;
        if (Adjustment <= 0 || __builtin_add_overflow(previous, Adjustment, &next) || next > Semaphore->Limit) {
            ke::DispatcherLock().unlock();
            ExRaiseStatus(STATUS_SEMAPHORE_LIMIT_EXCEEDED);
        }
        Semaphore->Header.SignalState = next;
        if (previous == 0)
            ke::WakeWaiters(&Semaphore->Header);
    }
    if (Wait)
        ke::HoldForNextWait(Semaphore);
    return previous;
}

NTKERNELAPI LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore)
{
    return __atomic_load_n(&Semaphore->Header.SignalState, __ATOMIC_ACQUIRE);
}

/* ---- Critical and guarded regions ------------------------------------------------------- */

NTKERNELAPI VOID NTAPI KeEnterCriticalRegion(VOID)
{
    ke::CurrentThreadState().kernelApcDisable++;
}

NTKERNELAPI VOID NTAPI KeLeaveCriticalRegion(VOID)
{
    ke::ThreadState &state = ke::CurrentThreadState();
    if (--state.kernelApcDisable < 0)
        KeBugCheckEx(APC_INDEX_MISMATCH, 0, 0, (ULONG_PTR)(LONG_PTR)state.kernelApcDisable, 0);
}

NTKERNELAPI VOID NTAPI KeEnterGuardedRegion(VOID)
{
    ke::CurrentThreadState().specialApcDisable++;
}

NTKERNELAPI VOID NTAPI KeLeaveGuardedRegion(VOID)
{
    ke::ThreadState &state = ke::CurrentThreadState();
    if (--state.specialApcDisable < 0)
        KeBugCheckEx(APC_INDEX_MISMATCH, 0, 0, 0, (ULONG_PTR)(LONG_PTR)state.specialApcDisable);
}

NTKERNELAPI BOOLEAN NTAPI KeAreApcsDisabled(VOID)
{
    ke::ThreadState &state = ke::CurrentThreadState();
    return state.kernelApcDisable > 0 || state.specialApcDisable > 0 || state.irql >= APC_LEVEL;
}

NTKERNELAPI BOOLEAN NTAPI KeAreAllApcsDisabled(VOID)
{
    ke::ThreadState &state = ke::CurrentThreadState();
    return state.specialApcDisable > 0 || state.irql >= APC_LEVEL;
}

} // extern "C"
