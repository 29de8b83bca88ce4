/*
 * The driver-wide service threads' bodies. Each waits on its stop event; the
 * boot-time mounts, periodic saves and statistics sampling run in these loops.
 */
#include "vorel.h"

/* WaitForStop: the idle loop of a service with no periodic work; returns when stopping. */
static VOID WaitForStop(PSERVICE_THREAD Service)
{
    while (!ServiceStopRequested(Service))
        KeWaitForSingleObject(Service->WakeEvent, Executive, KernelMode, FALSE, NULL);
}

VOID NTAPI AutoMountService(PVOID Context)
{
    WaitForStop((PSERVICE_THREAD)Context);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI AutoSaveService(PVOID Context)
{
    WaitForStop((PSERVICE_THREAD)Context);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
