/*
 * Spin locks. The lock word's low half is the lock state (0 free, 1 held, 2 held
 * with parked waiters); its high half names the owning thread. A waiter parks on a
 * futex instead of spinning: host threads may be preempted while holding a lock,
 * which a real processor at DISPATCH_LEVEL never is.
 */
#include "ke/dispatcher.h"
#include "ke/thread_state.h"
#include "ke/verifier.h"

#include <km/bugcheck.h>
#include <km/ke.h>

#include <climits>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

enum : uint32_t { kFree = 0, kHeld = 1, kContended = 2 };

uint32_t *StateWord(PKSPIN_LOCK lock)
{
    return reinterpret_cast<uint32_t *>(lock);
}

uint32_t *OwnerWord(PKSPIN_LOCK lock)
{
    return reinterpret_cast<uint32_t *>(lock) + 1;
}

void FutexWait(uint32_t *word, uint32_t expected)
{
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void FutexWake(uint32_t *word)
{
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void CheckNotOwned(PKSPIN_LOCK lock, const ke::ThreadState &self)
{
    if (__atomic_load_n(StateWord(lock), __ATOMIC_RELAXED) != kFree &&
        __atomic_load_n(OwnerWord(lock), __ATOMIC_RELAXED) == self.id)
        KeBugCheckEx(SPIN_LOCK_ALREADY_OWNED, (ULONG_PTR)lock, 0, 0, 0);
}

void AcquireLockWord(PKSPIN_LOCK lock, const void *caller)
{
    auto &self = ke::CurrentThreadState();
    ke::CheckNoWaitPending(self, caller);
    CheckNotOwned(lock, self);
    verifier::BeforeAcquire(lock, verifier::kSpinLock, caller);
    uint32_t *state = StateWord(lock);
    uint32_t expected = kFree;
    if (!__atomic_compare_exchange_n(state, &expected, kHeld, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        while (__atomic_exchange_n(state, kContended, __ATOMIC_ACQUIRE) != kFree)
            FutexWait(state, kContended);
    }
    __atomic_store_n(OwnerWord(lock), self.id, __ATOMIC_RELAXED);
    self.spinLocksHeld++;
    verifier::AfterAcquire(lock, verifier::kSpinLock, false);
}

bool TryAcquireLockWord(PKSPIN_LOCK lock, const void *caller)
{
    auto &self = ke::CurrentThreadState();
    ke::CheckNoWaitPending(self, caller);
    CheckNotOwned(lock, self);
    uint32_t expected = kFree;
    if (!__atomic_compare_exchange_n(StateWord(lock), &expected, kHeld, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return false;
    verifier::BeforeAcquire(lock, verifier::kSpinLock, caller);
    __atomic_store_n(OwnerWord(lock), self.id, __ATOMIC_RELAXED);
    self.spinLocksHeld++;
    verifier::AfterAcquire(lock, verifier::kSpinLock, false);
    return true;
}

void ReleaseLockWord(PKSPIN_LOCK lock)
{
    auto &self = ke::CurrentThreadState();
    uint32_t *state = StateWord(lock);
    if (__atomic_load_n(state, __ATOMIC_RELAXED) == kFree ||
        __atomic_load_n(OwnerWord(lock), __ATOMIC_RELAXED) != self.id)
        KeBugCheckEx(SPIN_LOCK_NOT_OWNED, (ULONG_PTR)lock, 0, 0, 0);
    __atomic_store_n(OwnerWord(lock), 0u, __ATOMIC_RELAXED);
    self.spinLocksHeld--;
    verifier::OnRelease(lock);
    if (__atomic_exchange_n(state, kFree, __ATOMIC_RELEASE) == kContended)
        FutexWake(state);
}

void RequireDispatchLevel(PKSPIN_LOCK lock)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql < DISPATCH_LEVEL)
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, irql, DISPATCH_LEVEL, (ULONG_PTR)lock, 0);
}

} // namespace

extern "C" {

NTKERNELAPI VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    __atomic_store_n(SpinLock, (KSPIN_LOCK)0, __ATOMIC_RELAXED);
    verifier::NoteLockInitialized(SpinLock, verifier::kSpinLock, __builtin_return_address(0));
}

static KIRQL AcquireRaisingToDpc(PKSPIN_LOCK SpinLock, const void *caller)
{
    ke::CheckIrql((const void *)&KeAcquireSpinLockRaiseToDpc, DISPATCH_LEVEL);
    KIRQL oldIrql;
    KfRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    AcquireLockWord(SpinLock, caller);
    return oldIrql;
}

NTKERNELAPI KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    return AcquireRaisingToDpc(SpinLock, __builtin_return_address(0));
}

NTKERNELAPI VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    ReleaseLockWord(SpinLock);
    KeLowerIrql(NewIrql);
}

NTKERNELAPI VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatchLevel(SpinLock);
    AcquireLockWord(SpinLock, __builtin_return_address(0));
}

NTKERNELAPI VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    ReleaseLockWord(SpinLock);
}

NTKERNELAPI BOOLEAN NTAPI KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    RequireDispatchLevel(SpinLock);
    return TryAcquireLockWord(SpinLock, __builtin_return_address(0)) ? TRUE : FALSE;
}

NTKERNELAPI BOOLEAN NTAPI KeTestSpinLock(PKSPIN_LOCK SpinLock)
{
    return __atomic_load_n(StateWord(SpinLock), __ATOMIC_RELAXED) == kFree ? TRUE : FALSE;
}

NTKERNELAPI VOID NTAPI KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = AcquireRaisingToDpc(SpinLock, __builtin_return_address(0));
}

NTKERNELAPI VOID NTAPI KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

NTKERNELAPI VOID NTAPI KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->LockQueue.Lock = SpinLock;
    RequireDispatchLevel(SpinLock);
    AcquireLockWord(SpinLock, __builtin_return_address(0));
}

NTKERNELAPI VOID NTAPI KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeReleaseSpinLockFromDpcLevel(LockHandle->LockQueue.Lock);
}

} // extern "C"
