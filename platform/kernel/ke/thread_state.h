/*
 * Per-thread state the stand-in keeps for every host thread that enters it:
 * interrupt request level, APC-disable counts, the locks it holds (for the
 * verifier), its thread object, and the park word its waits sleep on.
 *
 * A thread that touches the machine is attached to it: it counts as running
 * until it blocks in the dispatcher or detaches. The clock's auto-advance mode
 * moves time only when no attached thread is running.
 */
#pragma once

#include <ntdef.h>
#include <km/ke.h>

#include <atomic>
#include <cstdint>
#include <vector>

struct _KTHREAD;
struct _KPROCESS;
struct _IRP;

namespace ke {

struct Waiter;

/* One lock the thread holds, as the verifier sees it. */
struct HeldLock {
    const void *lock;
    uint8_t kind;   /* verifier::LockKind */
    bool shared;
};

struct ThreadState {
    uint32_t id = 0;                 /* small number, never 0 for a live thread */
    KIRQL irql = PASSIVE_LEVEL;
    uint32_t spinLocksHeld = 0;
    int32_t kernelApcDisable = 0;    /* critical regions (and mutex holds) */
    int32_t specialApcDisable = 0;   /* guarded regions */
    KPROCESSOR_MODE previousMode = 0; /* KernelMode */
    struct _KTHREAD *thread = nullptr;
    struct _KPROCESS *attachedProcess = nullptr; /* process this thread acts for, if not its own */
    struct _IRP *topLevelIrp = nullptr;
    ULONG_PTR topLevelIrpValue = 0;
    uint32_t processor = 0;          /* virtual processor number */
    std::vector<HeldLock> heldLocks;

    /* Waiting. */
    Waiter *waiter = nullptr;        /* set while blocked in the dispatcher */
    /* A signal with Wait TRUE (KeSetEvent, KeReleaseMutex, KeReleaseSemaphore) returns without
     * lowering the IRQL: the next call must be a KeWaitXxx, which goes back to waitIrql. */
    bool waitNext = false;
    KIRQL waitIrql = PASSIVE_LEVEL;
    const void *waitNextObject = nullptr; /* the object signalled, for the report */
    std::atomic<uint32_t> park{0};   /* futex word */

    /* Machine attachment. */
    uint64_t epoch = 0;              /* boot the thread is attached to; 0 = detached */
    uint64_t lastEpoch = 0;          /* boot the thread last attached to */
    bool hardware = false;           /* the clock thread: never attached */
    bool detached = false;           /* detached by request until attached again */
    bool systemThread = false;       /* created by PsCreateSystemThread */
    bool machineThread = false;      /* a thread of the machine itself (a system worker), never a driver's */
};

namespace detail {
/* The calling thread's state once made, and the number of the running boot: read
 * inline on every kernel call, so initial-exec and no TLS wrapper. */
extern __thread ThreadState *threadState __attribute__((tls_model("initial-exec")));
extern std::atomic<uint64_t> currentEpoch;
ThreadState &CurrentThreadStateSlow();
} // namespace detail

/* The calling thread's state (created and attached on first use). */
inline ThreadState &CurrentThreadState()
{
    ThreadState *state = detail::threadState;
    if (state != nullptr && state->epoch == detail::currentEpoch.load(std::memory_order_relaxed))
        return *state; /* attached to the running boot (or, before any boot, to none) */
    return detail::CurrentThreadStateSlow();
}
/* The calling thread's state, or null when it never entered the machine. */
ThreadState *PeekThreadState();
/* The calling thread's state without attaching it (a new system thread adopts its creator's attachment). */
ThreadState &UnattachedThreadState();

/* Attachment for threads that serve the machine only part of the time (socket and FUSE servers). */
void AttachCurrentThread();
void DetachCurrentThread();
/* Marks the calling thread as the clock's: it runs DPCs but never counts as a machine thread. */
void MarkClockThread();
/* The boot number of the running machine (0 when none is booted). */
uint64_t MachineEpoch();

/* Parking. Park returns when Unpark was called since the last park (or spuriously). */
void Park(ThreadState &state);
void Unpark(ThreadState &state);

} // namespace ke

namespace ke {
/* A system thread's state takes over the attachment its creator made for it. */
void AdoptPreAttachment(ThreadState &state);
} // namespace ke
