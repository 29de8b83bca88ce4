/*
 * System threads for the stand-in's own use.
 */
#pragma once

#include <km/ps.h>

namespace ps {

/*
 * The body of PsCreateSystemThread without its checks: any IRQL, no fault
 * injection. A null handle pointer starts the thread without a handle.
 */
NTSTATUS StartSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine, PVOID StartContext);

/*
 * A thread of the machine itself (a system worker thread), started at boot and ended
 * before shutdown: as StartSystemThread without a handle, but its thread object is
 * the machine's (host memory, no audit finding) and it is no thread a driver started
 * (machine::LiveSystemThreads leaves it out). PsTerminateSystemThread on it stops the
 * machine. Returns the thread object with a reference for the caller, or null.
 */
struct _KTHREAD *StartMachineThread(PKSTART_ROUTINE StartRoutine, PVOID StartContext, KPRIORITY Priority);

} // namespace ps
