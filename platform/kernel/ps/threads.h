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

} // namespace ps
