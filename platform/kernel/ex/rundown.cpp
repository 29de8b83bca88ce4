/*
 * Rundown protection. The count word holds twice the number of references, with
 * bit 0 set once a wait for rundown has begun; from then on acquisitions fail.
 * The waiter parks through the dispatcher and the last release wakes it.
 *
 * The cache-aware form is the same word placed in memory the driver provides
 * (ExSizeOfRundownProtectionCacheAware bytes, anywhere in its own records).
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/ex.h>

#include <map>

namespace {

constexpr ULONG_PTR kRundownActive = 1;
constexpr ULONG_PTR kReference = 2;
constexpr SIZE_T kCacheAwareSize = 128;

/* Waiters for rundown by reference word, under the dispatcher lock. */
std::map<const void *, ke::Waiter *> &RundownWaiters()
{
    static std::map<const void *, ke::Waiter *> waiters;
    return waiters;
}

struct CacheAwareRundown {
    EX_RUNDOWN_REF Ref;
    ULONG_PTR Magic;
};
constexpr ULONG_PTR kCacheAwareMagic = 0x4E574452444E5552ull; /* "RUNDRDWN" */

PEX_RUNDOWN_REF RefOf(PEX_RUNDOWN_REF_CACHE_AWARE cacheAware)
{
    auto record = reinterpret_cast<CacheAwareRundown *>(cacheAware);
    if (record->Magic != kCacheAwareMagic)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_UNINITIALIZED_OBJECT, (ULONG_PTR)cacheAware, 0, 0);
    return &record->Ref;
}

bool Acquire(PEX_RUNDOWN_REF ref)
{
    ULONG_PTR value = __atomic_load_n(&ref->Count, __ATOMIC_RELAXED);
    for (;;) {
        if (value & kRundownActive)
            return false;
        if (__atomic_compare_exchange_n(&ref->Count, &value, value + kReference, true, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return true;
    }
}

void Release(PEX_RUNDOWN_REF ref)
{
    ULONG_PTR left = __atomic_sub_fetch(&ref->Count, kReference, __ATOMIC_RELEASE);
    if (left == kRundownActive) {
        base::SpinGuard guard(ke::DispatcherLock());
        auto it = RundownWaiters().find(ref);
        if (it != RundownWaiters().end() && !it->second->done)
            ke::CompleteWait(it->second, STATUS_SUCCESS);
    }
}

void WaitForRelease(PEX_RUNDOWN_REF ref)
{
    ke::ThreadState &state = ke::CurrentThreadState();
    ke::CheckWaitIrql((const void *)&ExWaitForRundownProtectionRelease, false);
    ke::CurrentThread();
    base::SpinGuard guard(ke::DispatcherLock());
    ULONG_PTR value = __atomic_fetch_or(&ref->Count, kRundownActive, __ATOMIC_ACQ_REL) | kRundownActive;
    if (value == kRundownActive)
        return;
    ke::Waiter waiter;
    waiter.thread = &state;
    waiter.kind = ke::WaitKind::Custom;
    RundownWaiters()[ref] = &waiter;
    // The last reference may have gone between the flag and the registration.
    if (__atomic_load_n(&ref->Count, __ATOMIC_ACQUIRE) != kRundownActive)
        ke::BlockOnWaiter(waiter, UINT64_MAX);
    RundownWaiters().erase(ref);
}

const bool registered = [] {
    machine::RegisterComponent({"rundown", machine::kOrderExecutive, nullptr, nullptr, [] {
                                    base::SpinGuard guard(ke::DispatcherLock());
                                    RundownWaiters().clear();
                                }});
    return true;
}();

} // namespace

extern "C" {

NTKERNELAPI VOID NTAPI ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    __atomic_store_n(&RunRef->Count, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

NTKERNELAPI VOID NTAPI ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    __atomic_store_n(&RunRef->Count, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

NTKERNELAPI BOOLEAN NTAPI ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    return Acquire(RunRef) ? TRUE : FALSE;
}

NTKERNELAPI VOID NTAPI ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    Release(RunRef);
}

NTKERNELAPI VOID NTAPI ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef)
{
    WaitForRelease(RunRef);
}

NTKERNELAPI VOID NTAPI ExRundownCompleted(PEX_RUNDOWN_REF RunRef)
{
    __atomic_store_n(&RunRef->Count, kRundownActive, __ATOMIC_RELEASE);
}

NTKERNELAPI SIZE_T NTAPI ExSizeOfRundownProtectionCacheAware(VOID)
{
    return kCacheAwareSize;
}

NTKERNELAPI VOID NTAPI ExInitializeRundownProtectionCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRefCacheAware,
                                                               SIZE_T RunRefSize)
{
    if (RunRefSize < kCacheAwareSize || ((ULONG_PTR)RunRefCacheAware & 7) != 0)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_UNINITIALIZED_OBJECT, (ULONG_PTR)RunRefCacheAware,
                     RunRefSize, kCacheAwareSize);
    auto record = reinterpret_cast<CacheAwareRundown *>(RunRefCacheAware);
    record->Magic = kCacheAwareMagic;
    ExInitializeRundownProtection(&record->Ref);
}

NTKERNELAPI VOID NTAPI ExReInitializeRundownProtectionCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRefCacheAware)
{
    ExReInitializeRundownProtection(RefOf(RunRefCacheAware));
}

NTKERNELAPI BOOLEAN NTAPI ExAcquireRundownProtectionCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRefCacheAware)
{
    return Acquire(RefOf(RunRefCacheAware)) ? TRUE : FALSE;
}

NTKERNELAPI VOID NTAPI ExReleaseRundownProtectionCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRefCacheAware)
{
    Release(RefOf(RunRefCacheAware));
}

NTKERNELAPI VOID NTAPI ExWaitForRundownProtectionReleaseCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRef)
{
    WaitForRelease(RefOf(RunRef));
}

NTKERNELAPI VOID NTAPI ExRundownCompletedCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRefCacheAware)
{
    ExRundownCompleted(RefOf(RunRefCacheAware));
}

} // extern "C"
