/*
 * The lock verifier, always on in debug builds (machine::Config::verifier).
 *
 * Locks are grouped in classes by the site that initialised them (for a lock used
 * without initialisation, the site of its first acquisition). Each thread keeps
 * the list of locks it holds. Acquiring lock B while holding A records the order
 * class(A) -> class(B); acquiring B while holding A when class(B) already leads to
 * class(A) is an inversion: two threads could deadlock, and the verifier stops the
 * machine before they do. Two locks of one class nest only in ascending address
 * order; spin locks never nest; no lock may be held when a thread ends.
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
/* No spin lock held by the calling thread (completing an IRP: resources may be held). */
void CheckNoSpinLocksHeld(uintptr_t where);

/* Forgets the classes of locks that lived in a block being freed. */
void ForgetLocksIn(const void *block, size_t size);

} // namespace verifier
