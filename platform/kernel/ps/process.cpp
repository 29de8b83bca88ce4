/*
 * Processes. The system process exists from boot; it owns the kernel handle
 * table and every system thread.
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ob/handles.h"

#include "machine.h"

#include <km/list.h>

namespace {

ob::ObjectType processType = {
    "Process",
    POOL_TAG('P', 'r', 'o', 'c'),
    {0x00020410, 0x00020BEA, 0x00120000, 0x001FFFFF}, /* read, write, execute, all */
    0x001FFFFF,
    nullptr,
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
