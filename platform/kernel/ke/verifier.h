/*
 * The lock verifier, always on in debug builds (machine::Config::verifier), after
 * Driver Verifier's deadlock detection.
 *
 * It reasons about lock instances, not about where they were made: every spin
 * lock, resource, mutex and fast mutex is a node of one order graph. Acquiring
 * lock B while holding lock A records the edge A -> B; acquiring B while holding A
 * when B already leads to A along recorded edges (B then A on some thread, or
 * through other locks) is a hierarchy violation: threads taking them in those
 * orders at once would deadlock, and the verifier stops the machine before they
 * do. Locks of one kind made at one site nest freely in any order that is
 * consistent (a directory's lock before its child's). A lock's edges are forgotten
 * when it is deleted or the memory holding it is freed. Spin locks never nest; no
 * lock may be held when a thread ends.
 */
#pragma once

#include "ke/thread_state.h"

#include <cstddef>
#include <cstdint>

namespace verifier {

enum LockKind : uint8_t { kSpinLock, kResource, kMutex, kFastMutex };

bool Enabled();

void NoteLockInitialized(const void *lock, LockKind kind, const void *site);
/* Checks an acquisition about to happen (before any wait). */
void BeforeAcquire(const void *lock, LockKind kind, const void *site);
/* Records a granted acquisition (a recursive one is recorded too, and released once). */
void AfterAcquire(const void *lock, LockKind kind, bool shared);
/* Removes the most recent hold of lock by the calling thread. */
void OnRelease(const void *lock);
/* Moves a hold from the calling thread to no thread (resources whose owner was reassigned). */
void ForgetHold(const void *lock);

/* The thread-exit rules: no lock (nor a wait owed for a Wait TRUE signal), PASSIVE_LEVEL, no
 * critical or guarded region. */
void CheckThreadExit(ke::ThreadState &state);
/* No lock held by the calling thread at this point, nor a wait owed (where: a code for the report). */
void CheckNoLocksHeld(uintptr_t where);
/* The locks the calling thread holds now (a mark for CheckNoLocksHeldBeyond). */
size_t HeldLockCount();
/* As CheckNoLocksHeld, for a call its caller made holding `count` locks: none more may be held. */
void CheckNoLocksHeldBeyond(size_t count, uintptr_t where);
/* No spin lock held by the calling thread (completing an IRP: resources may be held). */
void CheckNoSpinLocksHeld(uintptr_t where);

/* Forgets the locks that lived in a block being freed, and their order. */
void ForgetLocksIn(const void *block, size_t size);

} // namespace verifier
