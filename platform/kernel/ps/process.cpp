/*
 * Processes. The system process exists from boot; it owns the kernel handle
 * table and every system thread.
 */
#include "ps/process.h"

#include "io/internal.h"
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "mm/user_arena.h"
#include "mm/views.h"
#include "ob/handles.h"
#include "se/security.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/list.h>

#include <atomic>
#include <cstring>

namespace {

constexpr size_t kUserArenaBytes = 64u * 1024 * 1024;
std::atomic<ULONG_PTR> nextProcessId{0x1000};

void DeleteProcess(void *body)
{
    auto *process = static_cast<struct _KPROCESS *>(body);
    if (!process->Exited)
        ps::TerminateProcess(process);
    mm::DestroyUserArena(process->Arena);
    process->Arena = nullptr;
    if (process->Token != nullptr)
        ob::Dereference(process->Token);
    process->Token = nullptr;
}

ob::ObjectType processType = {
    "Process",
    POOL_TAG('P', 'r', 'o', 'c'),
    {0x00020410, 0x00020BEA, 0x00120000, 0x001FFFFF}, /* read, write, execute, all */
    0x001FFFFF,
    DeleteProcess,
    nullptr,
};
POBJECT_TYPE processTypePointer = reinterpret_cast<POBJECT_TYPE>(&processType);

struct SystemProcessObject {
    ob::ObjectHeader header;
    struct _KPROCESS process;
};
SystemProcessObject *systemProcess = nullptr;

void BootProcesses()
{
    systemProcess = new SystemProcessObject();
    struct _KPROCESS *process = &systemProcess->process;
    ob::InitializeEmbeddedObject(&systemProcess->header, &processType, process);
    process->Header.Type = ProcessObject;
    process->Header.Size = sizeof(struct _KPROCESS) / sizeof(LONG);
    InitializeListHead(&process->Header.WaitListHead);
    process->Id = 4;
    process->StartTime = ke::SystemTime();
    process->HandleTable = ob::KernelHandleTable();
    process->System = TRUE;
    InitializeListHead(&process->PendingIrps);
    InitializeListHead(&process->UserWaits);
    std::strcpy(process->Name, "System");
    PsInitialSystemProcess = process;
}

void ShutdownProcesses()
{
    PsInitialSystemProcess = nullptr;
    delete systemProcess;
    systemProcess = nullptr;
}

const bool registered = [] {
    machine::RegisterComponent({"processes", machine::kOrderObjects + 2, BootProcesses, nullptr, ShutdownProcesses});
    return true;
}();

} // namespace

namespace ps {

struct _KPROCESS *CreateUserProcess(const machine::ProcessIdentity &identity)
{
    auto *process = static_cast<struct _KPROCESS *>(ob::CreateObject(&processType, sizeof(struct _KPROCESS)));
    if (process == nullptr)
        return nullptr;
    process->Header.Type = ProcessObject;
    process->Header.Size = sizeof(struct _KPROCESS) / sizeof(LONG);
    InitializeListHead(&process->Header.WaitListHead);
    InitializeListHead(&process->PendingIrps);
    InitializeListHead(&process->UserWaits);
    process->Id = nextProcessId.fetch_add(4);
    process->StartTime = ke::SystemTime();
    process->HandleTable = ob::CreateHandleTable();
    size_t userSpaceBytes = identity.userSpaceBytes != 0 ? identity.userSpaceBytes : kUserArenaBytes;
    process->Arena = identity.userSpaceAddress != nullptr
                         ? mm::CreateSharedUserArena(userSpaceBytes, identity.userSpaceAddress)
                         : mm::CreateUserArena(userSpaceBytes);
    process->Uid = identity.uid;
    process->Gid = identity.gid;
    std::strncpy(process->Name, identity.name.c_str(), sizeof(process->Name) - 1);
    process->Token = se::CreateLinuxUserToken(identity.uid, identity.gid, identity.groups);
    if (process->Token != nullptr)
        for (uint32_t privilege : identity.enabledPrivileges)
            (void)se::AdjustTokenPrivilege(process->Token, RtlConvertLongToLuid((LONG)privilege), true);
    if (process->Arena == nullptr || process->Token == nullptr) {
        process->Exited = TRUE;
        ob::DestroyHandleTable(process->HandleTable, process);
        process->HandleTable = nullptr;
        ob::Dereference(process);
        return nullptr;
    }
    return process;
}

void TerminateProcess(struct _KPROCESS *process)
{
    if (process->Exited)
        return;
    process->Exited = TRUE;
    {
        base::SpinGuard guard(ke::DispatcherLock());
        ke::EndUserWaits(process);
    }
    // The exiting process's own requests are cancelled and its handles closed as if
    // by its last thread.
    ke::ThreadState &state = ke::CurrentThreadState();
    struct _KPROCESS *previousProcess = state.attachedProcess;
    KPROCESSOR_MODE previousMode = state.previousMode;
    state.attachedProcess = process;
    state.previousMode = KernelMode;
    io::CancelProcessRequests(process);
    ob::HandleTable *table = process->HandleTable;
    process->HandleTable = nullptr;
    ob::DestroyHandleTable(table, process);
    // Its views go last, so sections its handles named write their dirty pages back first.
    mm::UnmapProcessViews(process);
    state.attachedProcess = previousProcess;
    state.previousMode = previousMode;
    base::SpinGuard guard(ke::DispatcherLock());
    process->Header.SignalState = 1;
    ke::WakeWaiters(&process->Header);
}

} // namespace ps

namespace machine {

void *CreateProcess(const ProcessIdentity &identity)
{
    return ps::CreateUserProcess(identity);
}

void TerminateProcess(void *process)
{
    ps::TerminateProcess(static_cast<struct _KPROCESS *>(process));
}

void EndProcessWaits(void *process)
{
    base::SpinGuard guard(ke::DispatcherLock());
    ke::EndUserWaits(static_cast<struct _KPROCESS *>(process));
}

void ReleaseProcess(void *process)
{
    ps::TerminateProcess(static_cast<struct _KPROCESS *>(process));
    ob::Dereference(process);
}

void EnterProcess(void *process)
{
    ke::ThreadState &state = ke::CurrentThreadState();
    state.attachedProcess = static_cast<struct _KPROCESS *>(process);
    state.previousMode = UserMode;
}

void LeaveProcess()
{
    ke::ThreadState &state = ke::CurrentThreadState();
    state.attachedProcess = nullptr;
    state.previousMode = KernelMode;
}

void *UserAlloc(void *process, size_t bytes)
{
    return mm::ArenaAllocate(static_cast<struct _KPROCESS *>(process)->Arena, bytes);
}

void UserFree(void *process, void *address)
{
    mm::ArenaFree(static_cast<struct _KPROCESS *>(process)->Arena, address);
}

size_t ProcessHandleCount(void *process)
{
    auto *p = static_cast<struct _KPROCESS *>(process);
    return p->HandleTable == nullptr ? 0 : ob::HandleCount(p->HandleTable);
}

uint32_t ProcessId(void *process)
{
    return (uint32_t)static_cast<struct _KPROCESS *>(process)->Id;
}

UserSpace ProcessUserSpace(void *process)
{
    UserSpace space;
    mm::UserArena *arena = static_cast<struct _KPROCESS *>(process)->Arena;
    if (arena != nullptr) {
        space.base = mm::ArenaBase(arena);
        space.bytes = mm::ArenaSize(arena);
        space.descriptor = mm::ArenaDescriptor(arena);
    }
    return space;
}

size_t CancelProcessRequests(void *process, const void *userIosb)
{
    return io::CancelRequests(static_cast<struct _KPROCESS *>(process), userIosb);
}

} // namespace machine

namespace ob {
ObjectType *ProcessType()
{
    return &processType;
}
} // namespace ob

namespace ke {
struct _KPROCESS *SystemProcess()
{
    return &systemProcess->process;
}
} // namespace ke

extern "C" {

NTKERNELAPI POBJECT_TYPE *PsProcessType = &processTypePointer;
NTKERNELAPI PEPROCESS PsInitialSystemProcess = nullptr;

NTKERNELAPI PEPROCESS NTAPI PsGetCurrentProcess(VOID)
{
    return ke::CurrentProcess();
}

NTKERNELAPI PEPROCESS NTAPI IoGetCurrentProcess(VOID)
{
    return ke::CurrentProcess();
}

NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID)
{
    return (HANDLE)ke::CurrentProcess()->Id;
}

NTKERNELAPI HANDLE NTAPI PsGetProcessId(PEPROCESS Process)
{
    return (HANDLE)Process->Id;
}

NTKERNELAPI KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID)
{
    return ke::CurrentThreadState().previousMode;
}

NTKERNELAPI KPROCESSOR_MODE NTAPI KeGetPreviousMode(VOID)
{
    return ke::CurrentThreadState().previousMode;
}

} // extern "C"
