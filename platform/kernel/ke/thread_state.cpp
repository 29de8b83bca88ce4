/*
 * Per-thread state, machine attachment and parking.
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ke/topology.h"
#include "ke/verifier.h"
#include "ob/object.h"
#include "se/security.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/list.h>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ke {

namespace detail {
__thread ThreadState *threadState __attribute__((tls_model("initial-exec"))) = nullptr;
std::atomic<uint64_t> currentEpoch{0};
} // namespace detail

namespace {

using detail::currentEpoch;
std::atomic<uint32_t> nextThreadNumber{1};

/* The thread object of a host thread that entered the machine by itself. */
struct AdoptedThread {
    ob::ObjectHeader header;
    struct _KTHREAD thread;
};

void FreeAdopted(ThreadState &state);

/* Owns the thread's state; its destructor runs at host-thread exit. */
struct ThreadStateHolder {
    ThreadState state;
    AdoptedThread *adopted = nullptr;
    ~ThreadStateHolder()
    {
        if (state.epoch != 0 && state.epoch == currentEpoch.load()) {
            verifier::CheckThreadExit(state);
            base::SpinGuard guard(DispatcherLock());
            DisassociateQueue(state);
            NoteThreadDetached();
            state.epoch = 0;
        }
        FreeAdopted(state);
    }
};

thread_local ThreadStateHolder *holder = nullptr;
thread_local bool clockThread = false;

ThreadStateHolder &Holder()
{
    if (holder == nullptr) {
        static thread_local ThreadStateHolder storage;
        holder = &storage;
        detail::threadState = &storage.state;
        storage.state.id = nextThreadNumber.fetch_add(1);
        storage.state.processor = NextProcessorNumber();
        storage.state.hardware = clockThread;
    }
    return *holder;
}

void FreeAdopted(ThreadState &state)
{
    ThreadStateHolder &h = *holder;
    if (h.adopted != nullptr && state.thread == &h.adopted->thread) {
        if (h.adopted->thread.ImpersonationToken != nullptr && state.lastEpoch == currentEpoch.load())
            se::SetThreadImpersonation(&h.adopted->thread, nullptr, SecurityAnonymous);
        state.thread = nullptr;
        delete h.adopted;
        h.adopted = nullptr;
    }
}

void AttachLocked(ThreadState &state)
{
    state.epoch = currentEpoch.load();
    state.lastEpoch = state.epoch;
    NoteThreadAttached();
}

void BootThreads()
{
    currentEpoch.fetch_add(1);
}

void ShutdownThreads()
{
    currentEpoch.fetch_add(1); /* every thread is detached from the old machine */
}

const bool registered = [] {
    machine::RegisterComponent({"threads", machine::kOrderDispatcher, BootThreads, nullptr, ShutdownThreads});
    return true;
}();

} // namespace

uint64_t MachineEpoch()
{
    return machine::IsBooted() ? currentEpoch.load() : 0;
}

ThreadState *PeekThreadState()
{
    return holder != nullptr ? &holder->state : nullptr;
}

ThreadState &UnattachedThreadState()
{
    return Holder().state;
}

ThreadState &detail::CurrentThreadStateSlow()
{
    ThreadState &state = Holder().state;
    uint64_t epoch = currentEpoch.load(std::memory_order_relaxed);
    if (state.epoch != epoch && !state.hardware && !state.detached && machine::IsBooted()) {
        if (state.lastEpoch != 0 && state.lastEpoch != epoch) {
            // The thread served an earlier boot: its adopted thread object and lock
            // records belong to a machine that is gone.
            FreeAdopted(state);
            state.heldLocks.clear();
        }
        base::SpinGuard guard(DispatcherLock());
        AttachLocked(state);
    }
    return state;
}

void AttachCurrentThread()
{
    ThreadState &state = Holder().state;
    state.detached = false;
    CurrentThreadState();
}

void DetachCurrentThread()
{
    ThreadState &state = Holder().state;
    if (state.epoch == currentEpoch.load()) {
        base::SpinGuard guard(DispatcherLock());
        NoteThreadDetached();
        state.epoch = 0;
    }
    state.detached = true;
}

void MarkClockThread()
{
    clockThread = true;
    Holder().state.hardware = true;
}

/* A system thread's state takes over the attachment its creator made for it. */
void AdoptPreAttachment(ThreadState &state)
{
    state.epoch = currentEpoch.load();
    state.lastEpoch = state.epoch;
}

struct _KTHREAD *CurrentThread()
{
    ThreadState &state = CurrentThreadState();
    if (state.thread != nullptr)
        return state.thread;
    ThreadStateHolder &h = Holder();
    h.adopted = new AdoptedThread();
    struct _KTHREAD *thread = &h.adopted->thread;
    ob::InitializeEmbeddedObject(&h.adopted->header, ob::ThreadType(), thread);
    thread->Header.Type = ThreadObject;
    thread->Header.Size = sizeof(struct _KTHREAD) / sizeof(LONG);
    thread->Header.SignalState = 0;
    InitializeListHead(&thread->Header.WaitListHead);
    thread->State = &state;
    thread->Process = SystemProcess();
    thread->Id = (ULONG_PTR)state.id * 4 + 0x10000;
    thread->Priority = 8;
    thread->BasePriority = 8;
    thread->Adopted = TRUE;
    state.thread = thread;
    return thread;
}

struct _KPROCESS *CurrentProcess()
{
    ThreadState &state = CurrentThreadState();
    if (state.attachedProcess != nullptr)
        return state.attachedProcess;
    return CurrentThread()->Process;
}

void Park(ThreadState &state)
{
    while (state.park.exchange(0, std::memory_order_acquire) == 0)
        syscall(SYS_futex, &state.park, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
}

void Unpark(ThreadState &state)
{
    state.park.store(1, std::memory_order_release);
    syscall(SYS_futex, &state.park, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

} // namespace ke

namespace machine {

void DetachCurrentThread()
{
    ke::DetachCurrentThread();
}

void AttachCurrentThread()
{
    ke::AttachCurrentThread();
}

} // namespace machine
