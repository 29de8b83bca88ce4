/*
 * Fast mutexes: Count 1 means free; each acquirer decrements it, and one that
 * finds it taken waits on the embedded synchronization event. Acquisition raises
 * to APC_LEVEL (the unsafe forms leave the IRQL to the caller).
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ke/verifier.h"

#include <km/bugcheck.h>
#include <km/ex.h>
#include <km/interlocked.h>

namespace {

void AcquireBody(PFAST_MUTEX FastMutex, const void *caller)
{
    PKTHREAD self = ke::CurrentThread();
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == self)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FAST_MUTEX_RECURSION, (ULONG_PTR)FastMutex, 0, 0);
    verifier::BeforeAcquire(FastMutex, verifier::kFastMutex, caller);
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        InterlockedIncrement((LONG volatile *)&FastMutex->Contention);
        KeWaitForSingleObject(&FastMutex->Event, WrFastMutex, KernelMode, FALSE, nullptr);
    }
    __atomic_store_n(&FastMutex->Owner, (PVOID)self, __ATOMIC_RELAXED);
    verifier::AfterAcquire(FastMutex, verifier::kFastMutex, false);
}

void ReleaseBody(PFAST_MUTEX FastMutex)
{
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != ke::CurrentThread())
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_FAST_MUTEX_RECURSION, (ULONG_PTR)FastMutex, 1, 0);
    __atomic_store_n(&FastMutex->Owner, (PVOID) nullptr, __ATOMIC_RELAXED);
    verifier::OnRelease(FastMutex);
    if (InterlockedIncrement(&FastMutex->Count) != 1)
        KeSetEvent(&FastMutex->Event, 0, FALSE);
}

} // namespace

extern "C" {

NTKERNELAPI VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = 0;
    verifier::NoteLockInitialized(FastMutex, verifier::kFastMutex, __builtin_return_address(0));
}

NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    ke::CheckIrql((const void *)&ExAcquireFastMutex, APC_LEVEL);
    KIRQL oldIrql;
    KeRaiseIrql(APC_LEVEL, &oldIrql);
    AcquireBody(FastMutex, __builtin_return_address(0));
    FastMutex->OldIrql = oldIrql;
}

NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    KIRQL oldIrql = (KIRQL)FastMutex->OldIrql;
    ReleaseBody(FastMutex);
    KeLowerIrql(oldIrql);
}

NTKERNELAPI BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    ke::CheckIrql((const void *)&ExTryToAcquireFastMutex, APC_LEVEL);
    KIRQL oldIrql;
    KeRaiseIrql(APC_LEVEL, &oldIrql);
    if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) {
        KeLowerIrql(oldIrql);
        return FALSE;
    }
    verifier::BeforeAcquire(FastMutex, verifier::kFastMutex, __builtin_return_address(0));
    __atomic_store_n(&FastMutex->Owner, (PVOID)ke::CurrentThread(), __ATOMIC_RELAXED);
    FastMutex->OldIrql = oldIrql;
    verifier::AfterAcquire(FastMutex, verifier::kFastMutex, false);
    return TRUE;
}

NTKERNELAPI VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    ke::CheckIrql((const void *)&ExAcquireFastMutexUnsafe, APC_LEVEL);
    AcquireBody(FastMutex, __builtin_return_address(0));
}

NTKERNELAPI VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    ReleaseBody(FastMutex);
}

} // extern "C"
