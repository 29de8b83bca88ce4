/*
 * The machine's one clock. Interrupt time counts 100 ns units from boot; system
 * time is the boot's system time plus interrupt time. Every deadline (waiters'
 * time-outs, KTIMERs) sits on one queue ordered by interrupt time.
 *
 * A clock thread plays the timer hardware: in Real mode it sleeps until the next
 * deadline and fires it; in every mode it runs the DPCs that timers queue. In
 * AutoAdvance mode the thread that makes the last attached thread block moves the
 * clock to the next deadline itself, under the dispatcher lock, so time jumps only
 * when nothing could otherwise happen.
 */
#include "ke/dispatcher.h"

#include "machine.h"

#include <km/bugcheck.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace ke {
namespace {

constexpr uint64_t kTimeIncrement = 156250; /* 15.625 ms, the Windows default tick */
constexpr uint64_t kUnixEpochIn1601 = 116444736000000000ull;

struct ClockState {
    machine::ClockMode mode = machine::ClockMode::Real;
    std::atomic<uint64_t> virtualTime{0};
    std::atomic<uint64_t> realBaseNs{0};
    uint64_t bootSystemTime = 0;

    /* Under the dispatcher lock. */
    std::multimap<uint64_t, TimerEntry *> timers;
    std::vector<PKDPC> pendingDpcs;
    uint32_t attached = 0;
    uint32_t blocked = 0;
    bool warnedStall = false;
    std::vector<PRKQUEUE> serviceQueues;

    std::atomic<uint32_t> generation{0};
    std::atomic<bool> stop{false};
    std::thread thread;
    bool running = false;
};

ClockState &Clock()
{
    static ClockState clock;
    return clock;
}

uint64_t MonotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

uint64_t HostSystemTime()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return kUnixEpochIn1601 + (uint64_t)ts.tv_sec * 10000000ull + (uint64_t)ts.tv_nsec / 100;
}

void WakeClockThread()
{
    auto &clock = Clock();
    clock.generation.fetch_add(1, std::memory_order_release);
    syscall(SYS_futex, &clock.generation, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

/* Fires every timer due at or before now. Dispatcher lock held. */
void FireDue(uint64_t now)
{
    auto &clock = Clock();
    while (!clock.timers.empty() && clock.timers.begin()->first <= now) {
        TimerEntry *entry = clock.timers.begin()->second;
        clock.timers.erase(clock.timers.begin());
        entry->armed = false;
        entry->expire(entry);
    }
}

/* Machine threads blocked idle on a service queue (each such waiter is an attached, blocked thread). */
uint32_t IdleServiceThreads()
{
    uint32_t idle = 0;
    for (PRKQUEUE queue : Clock().serviceQueues)
        for (PLIST_ENTRY e = queue->Header.WaitListHead.Flink; e != &queue->Header.WaitListHead; e = e->Flink)
            idle += !CONTAINING_RECORD(e, WaitBlock, entry)->waiter->done;
    return idle;
}

/*
 * AutoAdvance: while every attached thread is blocked and no DPC is pending, move
 * the clock to the next deadline and fire it. Dispatcher lock held.
 */
void AutoAdvance()
{
    auto &clock = Clock();
    // Idle service threads alone are an idle machine, not a stalled one: the clock waits
    // for a thread of a driver or a test, as it does when no thread is attached.
    while (clock.mode == machine::ClockMode::AutoAdvance && clock.attached > IdleServiceThreads() &&
           clock.blocked >= clock.attached && clock.pendingDpcs.empty()) {
        if (clock.timers.empty()) {
            if (!clock.warnedStall) {
                clock.warnedStall = true;
                std::fprintf(stderr, "machine: every attached thread (%u) is blocked with no deadline pending\n",
                             clock.attached);
            }
            return;
        }
        uint64_t next = clock.timers.begin()->first;
        if (next > clock.virtualTime.load(std::memory_order_relaxed))
            clock.virtualTime.store(next, std::memory_order_release);
        FireDue(next);
    }
    if (!clock.pendingDpcs.empty())
        WakeClockThread();
}

/* A DPC as it was dequeued: once off the queue it may be queued again, with new
 * arguments, while this run of it is still to come. */
struct DpcCall {
    PKDEFERRED_ROUTINE routine;
    PVOID context;
    PVOID argument1;
    PVOID argument2;
    PKDPC dpc;
};

void RunDpcs(std::vector<DpcCall> &dpcs)
{
    if (dpcs.empty())
        return;
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    for (const DpcCall &call : dpcs)
        call.routine(call.dpc, call.context, call.argument1, call.argument2);
    KeLowerIrql(oldIrql);
    dpcs.clear();
}

/* Empties the DPC queue, capturing each call's arguments. Dispatcher lock held. */
std::vector<DpcCall> TakeDpcs()
{
    std::vector<DpcCall> dpcs;
    for (PKDPC dpc : Clock().pendingDpcs) {
        dpcs.push_back({dpc->DeferredRoutine, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2, dpc});
        dpc->DpcData = nullptr;
    }
    Clock().pendingDpcs.clear();
    return dpcs;
}

void ClockThreadMain()
{
    auto &clock = Clock();
    ThreadState &self = CurrentThreadState(); /* the clock is hardware: never attached */
    (void)self;
    for (;;) {
        uint32_t generation = clock.generation.load(std::memory_order_acquire);
        timespec wait{};
        bool timed = false;
        std::vector<DpcCall> dpcs;
        {
            base::SpinGuard guard(DispatcherLock());
            if (clock.stop.load())
                break;
            if (clock.mode == machine::ClockMode::Real) {
                FireDue(InterruptTime());
                if (!clock.timers.empty()) {
                    uint64_t now = InterruptTime();
                    uint64_t next = clock.timers.begin()->first;
                    uint64_t delta = next > now ? (next - now) * 100 : 0;
                    wait.tv_sec = (time_t)(delta / 1000000000ull);
                    wait.tv_nsec = (long)(delta % 1000000000ull);
                    timed = true;
                }
            } else if (clock.mode == machine::ClockMode::AutoAdvance) {
                AutoAdvance();
            }
            dpcs = TakeDpcs();
        }
        if (!dpcs.empty()) {
            RunDpcs(dpcs);
            base::SpinGuard guard(DispatcherLock());
            AutoAdvance();
            continue;
        }
        syscall(SYS_futex, &clock.generation, FUTEX_WAIT_PRIVATE, generation, timed ? &wait : nullptr, nullptr, 0);
    }
}

void BootClock()
{
    auto &clock = Clock();
    const machine::Config &config = machine::CurrentConfig();
    clock.mode = config.clock;
    clock.virtualTime = 0;
    clock.realBaseNs = MonotonicNs();
    clock.bootSystemTime = config.bootSystemTime != 0 ? config.bootSystemTime : HostSystemTime();
    clock.timers.clear();
    clock.pendingDpcs.clear();
    clock.attached = 0;
    clock.blocked = 0;
    clock.warnedStall = false;
    clock.stop = false;
    clock.thread = std::thread([] {
        MarkClockThread();
        ClockThreadMain();
    });
    clock.running = true;
}

void AuditClock(machine::AuditReport &report)
{
    auto &clock = Clock();
    base::SpinGuard guard(DispatcherLock());
    for (const auto &[deadline, entry] : clock.timers) {
        char line[128];
        std::snprintf(line, sizeof(line), "clock: a timer (%p) is still set, due at %llu", entry->context,
                      (unsigned long long)deadline);
        report.findings.push_back(line);
    }
}

void ShutdownClock()
{
    auto &clock = Clock();
    if (!clock.running)
        return;
    clock.stop = true;
    WakeClockThread();
    clock.thread.join();
    clock.running = false;
    base::SpinGuard guard(DispatcherLock());
    for (auto &[deadline, entry] : clock.timers)
        entry->armed = false;
    clock.timers.clear();
    clock.pendingDpcs.clear();
}

const bool registered = [] {
    machine::RegisterComponent({"clock", machine::kOrderClock, BootClock, AuditClock, ShutdownClock});
    return true;
}();

} // namespace

uint64_t InterruptTime()
{
    auto &clock = Clock();
    if (clock.mode == machine::ClockMode::Real)
        return (MonotonicNs() - clock.realBaseNs.load(std::memory_order_relaxed)) / 100;
    return clock.virtualTime.load(std::memory_order_acquire);
}

uint64_t SystemTime()
{
    return Clock().bootSystemTime + InterruptTime();
}

uint64_t DeadlineFromTimeout(LONGLONG timeout)
{
    uint64_t now = InterruptTime();
    if (timeout < 0) {
        uint64_t delta = (uint64_t)(-(timeout + 1)) + 1;
        return delta > UINT64_MAX - now ? UINT64_MAX - 1 : now + delta;
    }
    /* Absolute system time. */
    uint64_t systemNow = Clock().bootSystemTime + now;
    if ((uint64_t)timeout <= systemNow)
        return now;
    return now + ((uint64_t)timeout - systemNow);
}

void ArmTimer(TimerEntry *entry, uint64_t deadline)
{
    auto &clock = Clock();
    if (entry->armed)
        DisarmTimer(entry);
    entry->deadline = deadline;
    entry->position = clock.timers.emplace(deadline, entry);
    entry->armed = true;
    if (clock.mode == machine::ClockMode::Real && entry->position == clock.timers.begin())
        WakeClockThread();
}

void DisarmTimer(TimerEntry *entry)
{
    if (!entry->armed)
        return;
    Clock().timers.erase(entry->position);
    entry->armed = false;
}

void QueueDpc(PKDPC dpc)
{
    if (dpc->DpcData != nullptr)
        return; /* already queued */
    dpc->DpcData = dpc;
    Clock().pendingDpcs.push_back(dpc);
    WakeClockThread();
}

bool DequeueDpc(PKDPC dpc)
{
    auto &pending = Clock().pendingDpcs;
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (*it == dpc) {
            pending.erase(it);
            dpc->DpcData = nullptr;
            return true;
        }
    }
    return false;
}

void RegisterServiceQueue(PRKQUEUE queue)
{
    base::SpinGuard guard(DispatcherLock());
    Clock().serviceQueues.push_back(queue);
}

void UnregisterServiceQueue(PRKQUEUE queue)
{
    base::SpinGuard guard(DispatcherLock());
    auto &queues = Clock().serviceQueues;
    queues.erase(std::remove(queues.begin(), queues.end(), queue), queues.end());
}

void NoteThreadAttached()
{
    Clock().attached++;
}

void NoteThreadDetached()
{
    auto &clock = Clock();
    clock.attached--;
    AutoAdvance();
}

void NoteThreadBlocked()
{
    auto &clock = Clock();
    clock.blocked++;
    AutoAdvance();
}

void NoteThreadUnblocked()
{
    auto &clock = Clock();
    clock.blocked--;
    clock.warnedStall = false;
}

} // namespace ke

namespace machine {

void SetClockMode(ClockMode mode)
{
    auto &clock = ke::Clock();
    base::SpinGuard guard(ke::DispatcherLock());
    uint64_t now = ke::InterruptTime();
    if (mode == ClockMode::Real)
        clock.realBaseNs = ke::MonotonicNs() - now * 100;
    else
        clock.virtualTime = now;
    clock.mode = mode;
    ke::WakeClockThread();
    ke::AutoAdvance();
}

ClockMode GetClockMode()
{
    return ke::Clock().mode;
}

void AdvanceClock(uint64_t hundredNanoseconds)
{
    auto &clock = ke::Clock();
    std::vector<ke::DpcCall> dpcs;
    {
        base::SpinGuard guard(ke::DispatcherLock());
        if (clock.mode == ClockMode::Real)
            return;
        uint64_t target = clock.virtualTime.load() + hundredNanoseconds;
        // Fire in deadline order, with the clock showing each timer's own time.
        while (!clock.timers.empty() && clock.timers.begin()->first <= target) {
            uint64_t next = clock.timers.begin()->first;
            if (next > clock.virtualTime.load())
                clock.virtualTime.store(next, std::memory_order_release);
            ke::FireDue(next);
        }
        clock.virtualTime.store(target, std::memory_order_release);
        dpcs = ke::TakeDpcs();
    }
    ke::RunDpcs(dpcs);
}

uint64_t InterruptTimeNow()
{
    return ke::InterruptTime();
}

uint32_t AttachedThreads()
{
    base::SpinGuard guard(ke::DispatcherLock());
    return ke::Clock().attached - ke::IdleServiceThreads();
}

uint32_t BlockedThreads()
{
    base::SpinGuard guard(ke::DispatcherLock());
    return ke::Clock().blocked - ke::IdleServiceThreads();
}

uint32_t WaitersOn(const void *dispatcherObject)
{
    auto header = static_cast<const DISPATCHER_HEADER *>(dispatcherObject);
    base::SpinGuard guard(ke::DispatcherLock());
    uint32_t count = 0;
    for (PLIST_ENTRY e = header->WaitListHead.Flink; e != &header->WaitListHead; e = e->Flink)
        count += !CONTAINING_RECORD(e, ke::WaitBlock, entry)->waiter->done;
    return count;
}

} // namespace machine

extern "C" {

NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = (LONGLONG)ke::SystemTime();
}

NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID)
{
    return ke::InterruptTime();
}

NTKERNELAPI LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency)
{
    if (PerformanceFrequency != nullptr)
        PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER counter;
    counter.QuadPart = (LONGLONG)ke::InterruptTime();
    return counter;
}

NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(VOID)
{
    return (ULONG)ke::kTimeIncrement;
}

NTKERNELAPI VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount)
{
    CurrentCount->QuadPart = (LONGLONG)(ke::InterruptTime() / ke::kTimeIncrement);
}

} // extern "C"
