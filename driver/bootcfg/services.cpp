/*
 * The statistics service thread's body (the boot-time mounts and the periodic
 * saves have files of their own).
 */
#include "vorel.h"

/* WaitForStop: the idle loop of a service with no periodic work; returns when stopping. */
static VOID WaitForStop(PSERVICE_THREAD Service)
{
    while (!ServiceStopRequested(Service))
        KeWaitForSingleObject(Service->WakeEvent, Executive, KernelMode, FALSE, NULL);
}

VOID NTAPI StatisticsService(PVOID Context)
{
    WaitForStop((PSERVICE_THREAD)Context);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
