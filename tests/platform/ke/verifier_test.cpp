/*
 * The lock verifier: order inversions (before they deadlock), same-class nesting,
 * spin lock nesting.
 */
#include "ke_test_support.h"

namespace {

using VerifierDeathTest = MachineTest;

struct TwoResources {
    TwoResources()
    {
        ExInitializeResourceLite(&a); /* two initialisation sites: two classes */
        ExInitializeResourceLite(&b);
    }
    ~TwoResources()
    {
        ExDeleteResourceLite(&a);
        ExDeleteResourceLite(&b);
    }
    ERESOURCE a, b;
};

void TakeInOrder(PERESOURCE first, PERESOURCE second)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(first, TRUE);
    ExAcquireResourceExclusiveLite(second, TRUE);
    ExReleaseResourceLite(second);
    ExReleaseResourceLite(first);
    KeLeaveCriticalRegion();
}

TEST_F(VerifierDeathTest, DeadlockBetweenTwoThreadsIsReportedBeforeItHappens)
{
    TwoResources locks;
    // One thread takes A then B; later another takes B then A. They never overlap in
    // time, so nothing hangs, but together they could deadlock: the verifier stops here.
    JoinThread(StartThread([&] { TakeInOrder(&locks.a, &locks.b); }));
    EXPECT_BUGCHECK(JoinThread(StartThread([&] { TakeInOrder(&locks.b, &locks.a); })),
                    DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_LOCK_ORDER_INVERSION});
}

TEST_F(VerifierDeathTest, ConsistentOrderPassesAndInversionThroughAThirdLockIsCaught)
{
    TwoResources ab;
    ERESOURCE c;
    ExInitializeResourceLite(&c);
    TakeInOrder(&ab.a, &ab.b);
    TakeInOrder(&ab.a, &ab.b);
    TakeInOrder(&ab.b, &c);
    EXPECT_BUGCHECK(TakeInOrder(&c, &ab.a), DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_LOCK_ORDER_INVERSION});
    ExDeleteResourceLite(&c);
}

void InitializePair(PERESOURCE pair)
{
    volatile int count = 2; /* keeps the loop (and so its one call site) as written */
    for (int i = 0; i < count; ++i)
        ExInitializeResourceLite(&pair[i]); /* one site: one class */
}

TEST_F(VerifierDeathTest, SameClassNestsOnlyInAscendingAddressOrder)
{
    ERESOURCE pair[2];
    InitializePair(pair);
    TakeInOrder(&pair[0], &pair[1]);
    EXPECT_BUGCHECK(TakeInOrder(&pair[1], &pair[0]), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_SAME_CLASS_ORDER});
    for (auto &r : pair)
        ExDeleteResourceLite(&r);
}

TEST_F(VerifierDeathTest, SpinLocksNeverNest)
{
    KSPIN_LOCK outer, inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeAcquireSpinLock(&outer, &old);
            KeAcquireSpinLockAtDpcLevel(&inner);
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_SPIN_LOCK_NESTED});
}

TEST_F(VerifierDeathTest, SpinLockAcquiredTwiceByItsOwnerStopsTheMachine)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        SPIN_LOCK_ALREADY_OWNED);
}

TEST_F(MachineTest, SpinLockRaisesToDispatchLevelAndRestores)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTestSpinLock(&lock));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&lock, &handle);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_TRUE(KeTestSpinLock(&lock));
}

} // namespace
