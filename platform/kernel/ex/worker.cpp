/*
 * System worker threads: two pools of machine threads, each waiting on a KQUEUE of
 * work items (see ex/worker.h for what runs where).
 *
 * A WORK_QUEUE_ITEM is linked into its pool's queue by its own List entry, as on
 * Windows, so queueing never allocates. List.Flink is null exactly while the item is
 * not queued: ExInitializeWorkItem clears it, the worker clears it again once it has
 * taken the item off the queue and read its routine, and before the routine runs,
 * so a routine may queue or free its own item.
 *
 * Locks. The item table (queued items and their priorities) and the accepting flag sit
 * under a leaf spin lock of their own, which is never held while anything else is
 * taken: the pool's free check takes it from inside ExFreePool. The count of
 * outstanding items (queued or running) and the idle event sit under the dispatcher
 * lock, so that the event's state and the count change together and a drain never
 * sees one without the other.
 */
#include "ex/worker.h"

#include "base/spin.h"
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ke/verifier.h"
#include "ob/object.h"
#include "ps/threads.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/list.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace ex {
namespace {

/* Documented priorities of the queue types. */
constexpr KPRIORITY kCriticalPriority = 13;
constexpr KPRIORITY kDelayedPriority = 12;

constexpr uint32_t kShutdownDrainMs = 5000;
constexpr uint32_t kThreadEndMs = 2000;
constexpr LONGLONG kRealSlice = 50 * 10000;                     /* 50 ms */
constexpr LONGLONG kAutoSlice = 24ll * 3600 * 10000000;         /* a day */
constexpr uint64_t kAutoGiveUp = 7ull * 24 * 3600 * 10000000;   /* a week */

enum Pool { kCriticalPool, kDelayedPool, kPools };

struct WorkerPool {
    KQUEUE queue;
    KPRIORITY priority = 0;                 /* the threads' own, between items */
    std::vector<struct _KTHREAD *> threads; /* referenced; changed only at boot and shutdown */
};

struct Workers {
    WorkerPool pools[kPools];

    /* Dispatcher lock. */
    KEVENT idle;              /* notification event: signalled exactly while outstanding is 0 */
    uint64_t outstanding = 0; /* items queued or running */
    uint64_t running = 0;

    /* Leaf lock. */
    base::SpinLock lock;
    std::map<const WORK_QUEUE_ITEM *, KPRIORITY> queued; /* on a queue, not yet taken up */
    bool accepting = false;
    std::atomic<size_t> queuedCount{0}; /* queued.size(), read without the lock by the free check */

    bool started = false; /* boot and shutdown only */
};

Workers &TheWorkers()
{
    static Workers workers;
    return workers;
}

/* The priority an item of this type runs at, or 0 when the type is no queue. */
KPRIORITY PriorityOf(WORK_QUEUE_TYPE type)
{
    switch (type) {
    case CriticalWorkQueue:
        return kCriticalPriority;
    case DelayedWorkQueue:
        return kDelayedPriority;
    case HyperCriticalWorkQueue:
        return 15;
    case NormalWorkQueue:
        return 8;
    case BackgroundWorkQueue:
        return 7;
    case RealTimeWorkQueue:
        return 18;
    case SuperCriticalWorkQueue:
        return 14;
    default:
        break;
    }
    int custom = (int)type - (int)CustomPriorityWorkQueue;
    return custom >= 1 && custom < 32 ? custom : 0;
}

/* Real-time priorities (the critical queue's and above) go to the real-time pool. */
Pool PoolOf(KPRIORITY priority)
{
    return priority >= kCriticalPriority ? kCriticalPool : kDelayedPool;
}

/* Takes an item the worker has removed from its queue off the table; returns its priority. */
KPRIORITY TakeUp(Workers &w, PWORK_QUEUE_ITEM item)
{
    base::SpinGuard guard(w.lock);
    KPRIORITY priority = kDelayedPriority;
    auto it = w.queued.find(item);
    if (it != w.queued.end()) {
        priority = it->second;
        w.queued.erase(it);
        w.queuedCount.store(w.queued.size(), std::memory_order_relaxed);
    }
    item->List.Flink = nullptr; /* from here on the item is its owner's again */
    return priority;
}

/* One item fewer outstanding; the last one signals the drain. */
void FinishItem(Workers &w, bool ran)
{
    base::SpinGuard guard(ke::DispatcherLock());
    if (ran)
        w.running--;
    if (--w.outstanding == 0) {
        w.idle.Header.SignalState = 1;
        ke::WakeWaiters(&w.idle.Header);
    }
}

/* What Windows checks when a worker routine returns. */
void CheckWorkerReturn(PWORKER_THREAD_ROUTINE routine, PVOID parameter, PWORK_QUEUE_ITEM item)
{
    ke::ThreadState &state = ke::CurrentThreadState();
    if (state.irql != PASSIVE_LEVEL)
        KeBugCheckEx(WORKER_THREAD_RETURNED_AT_BAD_IRQL, (ULONG_PTR)routine, state.irql, (ULONG_PTR)parameter,
                     (ULONG_PTR)item);
    if (state.kernelApcDisable != 0 || state.specialApcDisable != 0) {
        // Windows counts disables downwards: (SpecialApcDisable << 16) | KernelApcDisable.
        ULONG combined = ((ULONG)(USHORT)(-state.specialApcDisable) << 16) | (USHORT)(-state.kernelApcDisable);
        KeBugCheckEx(APC_INDEX_MISMATCH, (ULONG_PTR)routine, 0, combined, 1);
    }
    if (state.thread->ImpersonationToken != nullptr)
        KeBugCheckEx(IMPERSONATING_WORKER_THREAD, (ULONG_PTR)routine, (ULONG_PTR)parameter, (ULONG_PTR)item, 0);
    verifier::CheckNoLocksHeld((uintptr_t)routine);
}

VOID NTAPI WorkerThreadMain(PVOID context)
{
    auto *pool = static_cast<WorkerPool *>(context);
    auto &w = TheWorkers();
    struct _KTHREAD *self = ke::CurrentThread();
    for (;;) {
        PLIST_ENTRY entry = KeRemoveQueue(&pool->queue, KernelMode, nullptr);
        if ((ULONG_PTR)entry == (ULONG_PTR)(ULONG)STATUS_ABANDONED)
            return; /* the queue ran down: the machine is shutting down */
        auto *item = CONTAINING_RECORD(entry, WORK_QUEUE_ITEM, List);
        PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
        PVOID parameter = item->Parameter;
        {
            base::SpinGuard guard(ke::DispatcherLock());
            w.running++; /* before it leaves the table, so the audit always sees it one way */
        }
        KPRIORITY priority = TakeUp(w, item);
        self->Priority = priority;
        routine(parameter);
        CheckWorkerReturn(routine, parameter, item);
        self->Priority = pool->priority;
        FinishItem(w, true);
    }
}

/* ---- The stand-in's own work --------------------------------------------------------------- */

struct SystemWork {
    WORK_QUEUE_ITEM item; /* first: the queue holds the record by it */
    SystemWorkRoutine routine;
    void *context;
};

VOID NTAPI RunSystemWork(PVOID parameter)
{
    auto *work = static_cast<SystemWork *>(parameter);
    SystemWorkRoutine routine = work->routine;
    void *context = work->context;
    delete work;
    routine(context);
}

/* ---- Waiting, bounded in host time ----------------------------------------------------------- */

/*
 * Waits in the dispatcher for an object, giving up after hostMilliseconds of host time
 * or, in AutoAdvance mode, once the clock has moved kAutoGiveUp. The wait is cut in
 * slices so that the host bound holds in every clock mode: in Manual mode time-outs
 * never fire by themselves, so it polls; in AutoAdvance mode a slice ends only when
 * every thread is blocked and nothing is due sooner, so long slices cost nothing.
 */
bool WaitBounded(PVOID object, uint32_t hostMilliseconds)
{
    auto hostLimit = std::chrono::steady_clock::now() + std::chrono::milliseconds(hostMilliseconds);
    uint64_t machineStart = ke::InterruptTime();
    for (;;) {
        machine::ClockMode mode = machine::GetClockMode();
        LARGE_INTEGER slice;
        slice.QuadPart = mode == machine::ClockMode::Manual        ? 0
                         : mode == machine::ClockMode::AutoAdvance ? -kAutoSlice
                                                                   : -kRealSlice;
        if (KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &slice) == STATUS_SUCCESS)
            return true;
        if (std::chrono::steady_clock::now() >= hostLimit)
            return false;
        if (mode == machine::ClockMode::AutoAdvance && ke::InterruptTime() - machineStart >= kAutoGiveUp)
            return false;
        if (mode == machine::ClockMode::Manual)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

/* ---- Boot, audit, shutdown ------------------------------------------------------------------- */

void StartWorkers()
{
    auto &w = TheWorkers();
    const machine::Config &config = machine::CurrentConfig();
    KeInitializeEvent(&w.idle, NotificationEvent, TRUE);
    w.outstanding = 0;
    w.running = 0;
    {
        base::SpinGuard guard(w.lock);
        w.queued.clear();
        w.queuedCount = 0;
    }
    uint32_t counts[kPools] = {config.criticalWorkerThreads, config.delayedWorkerThreads};
    KPRIORITY priorities[kPools] = {kCriticalPriority, kDelayedPriority};
    for (int p = 0; p < kPools; ++p) {
        WorkerPool &pool = w.pools[p];
        uint32_t count = counts[p] != 0 ? counts[p] : 1;
        KeInitializeQueue(&pool.queue, count); /* every thread of the pool may run at once */
        pool.priority = priorities[p];
        pool.threads.clear();
        ke::RegisterServiceQueue(&pool.queue);
        for (uint32_t i = 0; i < count; ++i) {
            struct _KTHREAD *thread = ps::StartMachineThread(WorkerThreadMain, &pool, pool.priority);
            if (thread == nullptr) {
                std::fprintf(stderr, "machine: cannot start a system worker thread\n");
                std::abort();
            }
            pool.threads.push_back(thread);
        }
    }
    w.started = true;
    base::SpinGuard guard(w.lock);
    w.accepting = true;
}

void AuditWorkers(machine::AuditReport &report)
{
    auto &w = TheWorkers();
    uint64_t running;
    {
        base::SpinGuard guard(ke::DispatcherLock());
        running = w.running;
    }
    size_t queued = w.queuedCount.load();
    if (queued != 0)
        report.findings.push_back("ex: " + std::to_string(queued) + " queued work item(s) never ran");
    if (running != 0)
        report.findings.push_back("ex: " + std::to_string(running) + " work item(s) still running");
}

/* Entries a queue still held when it ran down: they never run. The stand-in's own are freed. */
size_t DropEntries(Workers &w, PLIST_ENTRY first)
{
    if (first == nullptr)
        return 0;
    size_t dropped = 0;
    PLIST_ENTRY entry = first;
    do {
        PLIST_ENTRY next = entry->Flink;
        auto *item = CONTAINING_RECORD(entry, WORK_QUEUE_ITEM, List);
        PWORKER_THREAD_ROUTINE routine = item->WorkerRoutine;
        TakeUp(w, item);
        if (routine == RunSystemWork)
            delete static_cast<SystemWork *>(item->Parameter);
        FinishItem(w, false);
        dropped++;
        entry = next;
    } while (entry != first);
    return dropped;
}

void StopWorkers()
{
    auto &w = TheWorkers();
    if (!w.started)
        return;
    // Work queued while the drivers unloaded still runs: the pools go only once idle.
    if (!machine::DrainSystemWork(kShutdownDrainMs))
        std::fprintf(stderr, "machine: system work still outstanding at shutdown\n");
    {
        base::SpinGuard guard(w.lock);
        w.accepting = false;
    }
    size_t dropped = 0;
    for (WorkerPool &pool : w.pools) {
        dropped += DropEntries(w, KeRundownQueue(&pool.queue));
        ke::UnregisterServiceQueue(&pool.queue);
    }
    if (dropped != 0)
        std::fprintf(stderr, "machine: %zu queued work item(s) dropped at shutdown\n", dropped);
    for (WorkerPool &pool : w.pools) {
        for (struct _KTHREAD *thread : pool.threads) {
            if (WaitBounded(thread, kThreadEndMs))
                ob::Dereference(thread);
            else
                std::fprintf(stderr, "machine: a system worker thread is stuck in a work item\n");
        }
        pool.threads.clear();
    }
    w.started = false;
}

/* Freeing pool memory that holds a queued item would corrupt the queue. */
void CheckFreedBlock(const void *block, size_t size)
{
    auto &w = TheWorkers();
    if (w.queuedCount.load(std::memory_order_relaxed) == 0)
        return;
    const WORK_QUEUE_ITEM *hit = nullptr;
    {
        base::SpinGuard guard(w.lock);
        auto it = w.queued.lower_bound(static_cast<const WORK_QUEUE_ITEM *>(block));
        if (it != w.queued.end() &&
            reinterpret_cast<const char *>(it->first) < static_cast<const char *>(block) + size)
            hit = it->first;
    }
    if (hit != nullptr)
        KeBugCheckEx(WORKER_INVALID, 0, (ULONG_PTR)hit, (ULONG_PTR)block, (ULONG_PTR)block + size);
}

const bool registered = [] {
    machine::RegisterComponent({"system-workers", machine::kOrderWorkers, StartWorkers, AuditWorkers, StopWorkers});
    machine::AddPoolFreeCheck("work items", CheckFreedBlock);
    return true;
}();

} // namespace

void QueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE type)
{
    auto &w = TheWorkers();
    KPRIORITY priority = PriorityOf(type);
    ULONG_PTR fault = ~(ULONG_PTR)0;
    {
        base::SpinGuard guard(w.lock);
        if (!w.accepting)
            fault = 5;
        else if (priority == 0)
            fault = 6;
        else if (item->WorkerRoutine == nullptr)
            fault = 7;
        else if (item->List.Flink != nullptr || w.queued.count(item) != 0)
            fault = 1;
        else {
            w.queued.emplace(item, priority);
            w.queuedCount.store(w.queued.size(), std::memory_order_relaxed);
        }
    }
    if (fault != ~(ULONG_PTR)0)
        KeBugCheckEx(WORKER_INVALID, fault, (ULONG_PTR)item, (ULONG_PTR)type, fault == 5 ? ~(ULONG_PTR)0 : 0);
    {
        base::SpinGuard guard(ke::DispatcherLock());
        if (w.outstanding++ == 0)
            w.idle.Header.SignalState = 0;
    }
    KeInsertQueue(&w.pools[PoolOf(priority)].queue, &item->List);
}

void QueueSystemWork(WORK_QUEUE_TYPE type, SystemWorkRoutine routine, void *context)
{
    auto *work = new SystemWork();
    ExInitializeWorkItem(&work->item, RunSystemWork, work);
    work->routine = routine;
    work->context = context;
    QueueWorkItem(&work->item, type);
}

bool IsWorkItemQueued(const WORK_QUEUE_ITEM *item)
{
    auto &w = TheWorkers();
    base::SpinGuard guard(w.lock);
    return w.queued.count(item) != 0;
}

} // namespace ex

namespace machine {

bool DrainSystemWork(uint32_t hostMilliseconds)
{
    auto &w = ex::TheWorkers();
    if (!w.started)
        return true;
    ke::ThreadState *self = ke::PeekThreadState();
    if (self != nullptr && self->machineThread)
        return false; /* it would wait for itself */
    return ex::WaitBounded(&w.idle, hostMilliseconds);
}

} // namespace machine

extern "C" {

NTKERNELAPI VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    ke::CheckIrql((const void *)&ExQueueWorkItem, DISPATCH_LEVEL);
    ex::QueueWorkItem(WorkItem, QueueType);
}

} // extern "C"
