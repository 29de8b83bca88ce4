/*
 * System threads. Each is a real host thread running its start routine at
 * PASSIVE_LEVEL in the system process; its thread object is signalled when it
 * ends, by returning or by PsTerminateSystemThread. The creator attaches the new
 * thread to the machine before returning, so the clock never sees a moment where
 * the thread exists but does not count.
 *
 * The machine's own threads (the system workers) are made the same way, but their
 * thread objects are the machine's and they are no thread a driver started: the
 * thread audit and LiveSystemThreads leave them out.
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ke/verifier.h"
#include "ob/handles.h"
#include "ps/threads.h"
#include "se/security.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/list.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

namespace {

/* Every process of the machine is of the normal class: base priority 8. */
constexpr LONG kProcessBasePriority = 8;

std::atomic<uint32_t> liveSystemThreads{0};
/* Host threads, drivers' and the machine's own, that have not yet left SystemThreadMain. */
std::atomic<uint32_t> hostFrames{0};
std::atomic<ULONG_PTR> nextThreadId{0x100};

void DeleteThread(void *body)
{
    (void)body;
}

ob::ObjectType threadType = {
    "Thread",
    POOL_TAG('T', 'h', 'r', 'e'),
    {0x00020048, 0x00020037, 0x00120000, 0x001FFFFF}, /* read, write, execute, all */
    0x001FFFFF,
    DeleteThread,
    nullptr,
};
POBJECT_TYPE threadTypePointer = reinterpret_cast<POBJECT_TYPE>(&threadType);

void EndThread(struct _KTHREAD *thread, ke::ThreadState &state)
{
    verifier::CheckThreadExit(state);
    if (thread->ImpersonationToken != nullptr)
        se::SetThreadImpersonation(thread, nullptr, SecurityAnonymous);
    {
        base::SpinGuard guard(ke::DispatcherLock());
        ke::DisassociateQueue(state);
        thread->State = nullptr;
        ke::SignalThreadObject(thread);
        if (state.epoch == ke::MachineEpoch() && state.epoch != 0)
            ke::NoteThreadDetached();
        state.epoch = 0;
    }
    state.thread = nullptr;
    ob::Dereference(thread); /* the thread's own reference */
}

void SystemThreadMain(struct _KTHREAD *thread, bool machineThread)
{
    ke::ThreadState &state = ke::UnattachedThreadState();
    ke::AdoptPreAttachment(state);
    state.thread = thread;
    state.systemThread = true;
    state.machineThread = machineThread;
    thread->State = &state;

    sigjmp_buf exitJump;
    thread->ExitJump = &exitJump;
    if (sigsetjmp(exitJump, 0) == 0)
        thread->StartRoutine(thread->StartContext);
    thread->ExitJump = nullptr;
    EndThread(thread, state);
    if (!machineThread)
        liveSystemThreads.fetch_sub(1);
    hostFrames.fetch_sub(1);
}

/* A new thread object of the system process, not yet running. */
struct _KTHREAD *NewThreadObject(PKSTART_ROUTINE StartRoutine, PVOID StartContext, uint32_t objectFlags)
{
    auto thread = static_cast<struct _KTHREAD *>(ob::CreateObject(&threadType, sizeof(struct _KTHREAD), objectFlags));
    if (thread == nullptr)
        return nullptr;
    thread->Header.Type = ThreadObject;
    thread->Header.Size = sizeof(struct _KTHREAD) / sizeof(LONG);
    thread->Header.SignalState = 0;
    InitializeListHead(&thread->Header.WaitListHead);
    thread->Process = ke::SystemProcess();
    thread->Id = nextThreadId.fetch_add(4);
    thread->Priority = kProcessBasePriority;
    thread->BasePriority = kProcessBasePriority;
    thread->SystemThread = TRUE;
    thread->StartRoutine = StartRoutine;
    thread->StartContext = StartContext;
    thread->ExitStatus = STATUS_PENDING;
    return thread;
}

/*
 * Starts the host thread behind a thread object; the creator attaches it on its
 * behalf. False when the host has no thread to give (its limit on threads or
 * memory): nothing is left attached or counted, and the thread object keeps its own
 * reference for the caller to drop.
 */
bool RunThread(struct _KTHREAD *thread, bool machineThread)
{
    {
        base::SpinGuard guard(ke::DispatcherLock());
        ke::NoteThreadAttached(); /* on behalf of the new thread */
    }
    if (!machineThread)
        liveSystemThreads.fetch_add(1);
    hostFrames.fetch_add(1);
    try {
        if (machine::ShouldFail("ps::HostThread"))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        std::thread([thread, machineThread] { SystemThreadMain(thread, machineThread); }).detach();
        return true;
    } catch (const std::system_error &) {
    } catch (const std::bad_alloc &) {
    }
    if (!machineThread)
        liveSystemThreads.fetch_sub(1);
    hostFrames.fetch_sub(1);
    base::SpinGuard guard(ke::DispatcherLock());
    ke::NoteThreadDetached();
    return false;
}

void AuditThreads(machine::AuditReport &report)
{
    // A thread that has just signalled its end may still be leaving its host frame.
    for (int i = 0; i < 200 && liveSystemThreads.load() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    uint32_t live = liveSystemThreads.load();
    if (live != 0)
        report.findings.push_back("ps: " + std::to_string(live) + " system thread(s) still running");
}

/*
 * A thread that signalled its end (its waiter has gone on) still drops its own
 * reference to the thread object; the objects below go down only after it has.
 */
void WaitForHostFrames()
{
    for (int i = 0; i < 1000 && hostFrames.load() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

const bool registered = [] {
    machine::RegisterComponent(
        {"system-threads", machine::kOrderObjects + 3, nullptr, AuditThreads, WaitForHostFrames});
    return true;
}();

} // namespace

namespace ob {
ObjectType *ThreadType()
{
    return &threadType;
}
} // namespace ob

namespace machine {
uint32_t LiveSystemThreads()
{
    return liveSystemThreads.load();
}
} // namespace machine

extern "C" {

NTKERNELAPI POBJECT_TYPE *PsThreadType = &threadTypePointer;

NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                                PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                                PVOID StartContext)
{
    (void)ProcessHandle;
    ke::CheckIrql((const void *)&PsCreateSystemThread, PASSIVE_LEVEL);
    if (machine::ShouldFail("PsCreateSystemThread"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return ps::StartSystemThread(ThreadHandle, DesiredAccess, ObjectAttributes, ClientId, StartRoutine,
                                 StartContext);
}

} // extern "C"

namespace ps {

NTSTATUS StartSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    ke::CurrentThreadState();
    struct _KTHREAD *thread = NewThreadObject(StartRoutine, StartContext, 0);
    if (thread == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;

    bool kernelHandle = ThreadHandle == nullptr ||
                        (ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE));
    HANDLE handle = nullptr;
    if (ThreadHandle != nullptr) {
        NTSTATUS status = ob::InsertHandle(thread, DesiredAccess, 0, kernelHandle, &handle);
        if (!NT_SUCCESS(status)) {
            ob::Dereference(thread);
            return status;
        }
    }

    if (!RunThread(thread, false)) {
        if (ThreadHandle != nullptr)
            ob::CloseHandle(handle, KernelMode);
        ob::Dereference(thread); /* the reference the thread would have dropped at its end */
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    if (ClientId != nullptr) {
        ClientId->UniqueProcess = (HANDLE)thread->Process->Id;
        ClientId->UniqueThread = (HANDLE)thread->Id;
    }
    if (ThreadHandle != nullptr)
        *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

struct _KTHREAD *StartMachineThread(PKSTART_ROUTINE StartRoutine, PVOID StartContext, KPRIORITY Priority)
{
    ke::CurrentThreadState();
    struct _KTHREAD *thread = NewThreadObject(StartRoutine, StartContext, ob::kHostMemory | ob::kBootObject);
    if (thread == nullptr)
        return nullptr;
    thread->Priority = Priority;
    thread->BasePriority = Priority;
    if (!RunThread(thread, true)) {
        ob::Dereference(thread);
        return nullptr;
    }
    ob::Reference(thread); /* the caller's */
    return thread;
}

} // namespace ps

extern "C" {

NTKERNELAPI DECLSPEC_NORETURN NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    struct _KTHREAD *thread = ke::CurrentThread();
    if (!thread->SystemThread || thread->ExitJump == nullptr)
        KeBugCheckEx(INVALID_PROCESS_ATTACH_ATTEMPT, (ULONG_PTR)thread, 0, 0, 0);
    // A worker routine may not end the system worker thread that runs it.
    if (ke::CurrentThreadState().machineThread)
        KeBugCheckEx(ACTIVE_EX_WORKER_THREAD_TERMINATION, (ULONG_PTR)thread, 0, 0, 0);
    thread->ExitStatus = ExitStatus;
    siglongjmp(*thread->ExitJump, 1);
}

NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID)
{
    return ke::CurrentThread();
}

NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread(VOID)
{
    return ke::CurrentThread();
}

NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID)
{
    return (HANDLE)ke::CurrentThread()->Id;
}

NTKERNELAPI HANDLE NTAPI PsGetThreadId(PETHREAD Thread)
{
    return (HANDLE)Thread->Id;
}

NTKERNELAPI PEPROCESS NTAPI PsGetThreadProcess(PETHREAD Thread)
{
    return Thread->Process;
}

NTKERNELAPI BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread)
{
    return Thread->SystemThread;
}

NTKERNELAPI KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    ke::CheckIrql((const void *)&KeSetPriorityThread, DISPATCH_LEVEL);
    KPRIORITY previous = Thread->Priority;
    Thread->Priority = Priority;
    return previous;
}

NTKERNELAPI KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread)
{
    return Thread->Priority;
}

/*
 * The new base priority is the process's base priority plus Increment, kept
 * inside the thread's class (variable 1..15, real-time 16..31); the thread runs
 * at it from now on. Returns the old base priority less the process's.
 */
NTKERNELAPI LONG NTAPI KeSetBasePriorityThread(PKTHREAD Thread, LONG Increment)
{
    ke::CheckIrql((const void *)&KeSetBasePriorityThread, PASSIVE_LEVEL);
    LONG previous = Thread->BasePriority;
    bool realTime = previous >= LOW_REALTIME_PRIORITY;
    LONG base = kProcessBasePriority + Increment;
    base = realTime ? std::clamp<LONG>(base, LOW_REALTIME_PRIORITY, HIGH_PRIORITY)
                    : std::clamp<LONG>(base, 1, LOW_REALTIME_PRIORITY - 1);
    Thread->BasePriority = base;
    Thread->Priority = base;
    return previous - kProcessBasePriority;
}

} // extern "C"
