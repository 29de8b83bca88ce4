/*
 * The lock verifier: order inversions between lock instances (before they
 * deadlock), locks of one site nested in a consistent order, spin lock nesting.
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

void InitializeTriple(PERESOURCE locks)
{
    volatile int count = 3; /* keeps the loop (and so its one call site) as written */
    for (int i = 0; i < count; ++i)
        ExInitializeResourceLite(&locks[i]); /* one site, as every directory's lock */
}

void DeleteTriple(PERESOURCE locks)
{
    for (int i = 0; i < 3; ++i)
        ExDeleteResourceLite(&locks[i]);
}

/* A parent's lock before its child's, whatever their addresses: a hierarchy, not an inversion. */
TEST_F(VerifierDeathTest, LocksOfOneSiteNestInAnyConsistentOrder)
{
    ERESOURCE tree[3];
    InitializeTriple(tree);
    PERESOURCE parent = &tree[2], child = &tree[0], grandchild = &tree[1];
    JoinThread(StartThread([&] { TakeInOrder(parent, child); }));
    JoinThread(StartThread([&] { TakeInOrder(child, grandchild); }));
    TakeInOrder(parent, grandchild);
    TakeInOrder(parent, child);

    /* The same memory made into new locks carries no order over, reinitialised or made again. */
    ExReinitializeResourceLite(child);
    TakeInOrder(child, parent);
    DeleteTriple(tree);
    InitializeTriple(tree);
    TakeInOrder(grandchild, parent);
    DeleteTriple(tree);
}

TEST_F(VerifierDeathTest, InversionBetweenLocksOfOneSiteIsReported)
{
    ERESOURCE locks[3];
    InitializeTriple(locks);
    JoinThread(StartThread([&] { TakeInOrder(&locks[0], &locks[1]); }));
    EXPECT_BUGCHECK(JoinThread(StartThread([&] { TakeInOrder(&locks[1], &locks[0]); })),
                    DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_LOCK_ORDER_INVERSION});
    DeleteTriple(locks);
}

/* Fast mutexes and mutexes share the graph with resources. */
TEST_F(VerifierDeathTest, InversionAcrossLockKindsIsReported)
{
    ERESOURCE resource;
    FAST_MUTEX mutex;
    ExInitializeResourceLite(&resource);
    ExInitializeFastMutex(&mutex);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&resource, TRUE);
    ExAcquireFastMutex(&mutex);
    ExReleaseFastMutex(&mutex);
    ExReleaseResourceLite(&resource);
    EXPECT_BUGCHECK(
        {
            ExAcquireFastMutex(&mutex);
            ExAcquireResourceExclusiveLite(&resource, TRUE);
        },
        DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_LOCK_ORDER_INVERSION});
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&resource);
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
