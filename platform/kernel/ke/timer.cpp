/*
 * Timers and deferred procedure calls. A KTIMER's deadline lives on the clock's
 * queue through an entry the stand-in keeps beside the timer (the timer's own
 * memory holds only its Windows-visible state). A set timer found in memory being
 * freed is a verifier finding, as on Windows.
 */
#include "ke/dispatcher.h"
#include "ke/verifier.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/list.h>

#include <map>
#include <memory>

namespace ke {
namespace {

/* Timer entries by timer address, under the dispatcher lock. */
std::map<const void *, std::unique_ptr<TimerEntry>> &TimerEntries()
{
    static std::map<const void *, std::unique_ptr<TimerEntry>> entries;
    return entries;
}

void TimerExpired(TimerEntry *entry)
{
    auto timer = static_cast<PKTIMER>(entry->context);
    timer->Header.SignalState = 1;
    WakeWaiters(&timer->Header);
    if (timer->Dpc != nullptr && timer->Dpc->DpcData == nullptr) { /* a queued DPC keeps its arguments */
        LARGE_INTEGER now;
        now.QuadPart = (LONGLONG)SystemTime();
        timer->Dpc->SystemArgument1 = (PVOID)(ULONG_PTR)now.LowPart;
        timer->Dpc->SystemArgument2 = (PVOID)(ULONG_PTR)(ULONG)now.HighPart;
        QueueDpc(timer->Dpc);
    }
    if (timer->Period != 0) {
        uint64_t next = entry->deadline + (uint64_t)timer->Period * 10000;
        timer->DueTime.QuadPart = next;
        ArmTimer(entry, next);
    }
}

TimerEntry &EntryFor(PKTIMER timer)
{
    auto &slot = TimerEntries()[timer];
    if (!slot) {
        slot = std::make_unique<TimerEntry>();
        slot->expire = TimerExpired;
        slot->context = timer;
    }
    return *slot;
}

/*
 * A set timer must not be freed; an idle one is forgotten with its memory. Without the
 * verifier the check is skipped and an idle entry outlives its timer: it is disarmed
 * and reused when a timer is initialised at that address again, and dropped at
 * shutdown. Every pool free calls this, so the common case must not take the lock.
 */
void CheckFreedTimers(const void *block, size_t size)
{
    if (!verifier::Enabled())
        return;
    base::SpinGuard guard(DispatcherLock());
    auto &entries = TimerEntries();
    auto it = entries.lower_bound(block);
    while (it != entries.end() && (const char *)it->first < (const char *)block + size) {
        if (it->second->armed) {
            const void *timer = it->first;
            DispatcherLock().unlock();
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FREED_ACTIVE_TIMER, (ULONG_PTR)timer, 0,
                         (ULONG_PTR)block);
        }
        it = entries.erase(it);
    }
}


void ResetTimers()
{
    base::SpinGuard guard(DispatcherLock());
    TimerEntries().clear();
}

const bool registered = [] {
    machine::RegisterComponent({"timers", machine::kOrderClock + 1, ResetTimers, nullptr, ResetTimers});
    machine::AddPoolFreeCheck("timers", CheckFreedTimers);
    return true;
}();

} // namespace
} // namespace ke

extern "C" {

NTKERNELAPI VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    Timer->Header.Lock = 0;
    Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    InitializeListHead(&Timer->TimerListEntry);
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
    base::SpinGuard guard(ke::DispatcherLock());
    ke::TimerEntry &entry = ke::EntryFor(Timer);
    ke::DisarmTimer(&entry);
}

NTKERNELAPI VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

NTKERNELAPI BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    ke::CheckIrql((const void *)&KeSetTimerEx, DISPATCH_LEVEL);
    base::SpinGuard guard(ke::DispatcherLock());
    ke::TimerEntry &entry = ke::EntryFor(Timer);
    BOOLEAN wasSet = entry.armed ? TRUE : FALSE;
    ke::DisarmTimer(&entry);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = (ULONG)Period;
    uint64_t deadline = ke::DeadlineFromTimeout(DueTime.QuadPart);
    Timer->DueTime.QuadPart = deadline;
    ke::ArmTimer(&entry, deadline);
    return wasSet;
}

NTKERNELAPI BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

NTKERNELAPI BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    ke::CheckIrql((const void *)&KeCancelTimer, DISPATCH_LEVEL);
    base::SpinGuard guard(ke::DispatcherLock());
    ke::TimerEntry &entry = ke::EntryFor(Timer);
    BOOLEAN wasSet = entry.armed ? TRUE : FALSE;
    ke::DisarmTimer(&entry);
    return wasSet;
}

NTKERNELAPI BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    return __atomic_load_n(&Timer->Header.SignalState, __ATOMIC_ACQUIRE) != 0 ? TRUE : FALSE;
}

NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    Dpc->Type = 19; /* DpcObject */
    Dpc->Importance = 1;
    Dpc->Number = 0;
    Dpc->DpcListEntry.Next = nullptr;
    Dpc->ProcessorHistory = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    base::SpinGuard guard(ke::DispatcherLock());
    if (Dpc->DpcData != nullptr)
        return FALSE;
    Dpc->SystemArgument1 = SystemArgument1;
    Dpc->SystemArgument2 = SystemArgument2;
    ke::QueueDpc(Dpc);
    return TRUE;
}

NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    base::SpinGuard guard(ke::DispatcherLock());
    return ke::DequeueDpc(Dpc) ? TRUE : FALSE;
}

} // extern "C"
