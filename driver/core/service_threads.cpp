/*
 * The driver-wide service threads: auto-mount, auto-save and statistics. Each
 * runs until stop is requested. They start last in start-up, so every lock
 * and table they use exists before they run.
 */
#include "vorel.h"

/*
 * StartReferencedThread: PASSIVE_LEVEL. Creates a system thread running
 * Routine(Context) and returns its thread object referenced. When the thread runs
 * but cannot be referenced, the status is the failure and *Unreferenced holds the
 * thread's handle: the caller makes the thread leave, waits on the handle and
 * closes it. Otherwise *Unreferenced is null.
 */
NTSTATUS StartReferencedThread(PKSTART_ROUTINE Routine, PVOID Context, PKTHREAD *Thread, PHANDLE Unreferenced)
{
    *Thread = NULL;
    *Unreferenced = NULL;
    HANDLE handle;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, Routine, Context);
    if (!NT_SUCCESS(status))
        return status;

    PVOID thread;
    status = ReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, &thread);
    if (!NT_SUCCESS(status)) {
        *Unreferenced = handle;
        return status;
    }
    ZwClose(handle);
    *Thread = (PKTHREAD)thread;
    return STATUS_SUCCESS;
}

/*
 * LockServiceControl / UnlockServiceControl: the service control mutex (rank 0).
 * PASSIVE_LEVEL. It may be held across start and stop (prepare-unload does):
 * they take it again recursively.
 */
VOID LockServiceControl(VOID)
{
    KeWaitForSingleObject(&VorelData.ServiceControlMutex, Executive, KernelMode, FALSE, NULL);
}

VOID UnlockServiceControl(VOID)
{
    KeReleaseMutex(&VorelData.ServiceControlMutex, FALSE);
}

/* WakeService: asks the thread to leave; it sees the flag after its wait ends. */
static VOID WakeServiceToStop(PSERVICE_THREAD Service)
{
    InterlockedExchange(&Service->StopRequested, 1);
    KeSetEvent(Service->WakeEvent, IO_NO_INCREMENT, FALSE);
}

/*
 * StartServiceThread: PASSIVE_LEVEL. Claims the started flag (a started service
 * is left alone and STATUS_SUCCESS returned), clears the stop flag and starts the
 * thread waiting on WakeEvent. Returns the thread creation's status; on failure
 * nothing runs and the started flag is released.
 */
NTSTATUS StartServiceThread(PSERVICE_THREAD Service, PKSTART_ROUTINE Routine, PKEVENT WakeEvent)
{
    LockServiceControl();
    if (InterlockedCompareExchange(&Service->Started, 1, 0) != 0) {
        UnlockServiceControl();
        return STATUS_SUCCESS;
    }
    Service->WakeEvent = WakeEvent;
    InterlockedExchange(&Service->StopRequested, 0);
    PKTHREAD thread;
    HANDLE unreferenced;
    NTSTATUS status = StartReferencedThread(Routine, Service, &thread, &unreferenced);
    if (unreferenced != NULL) {
        WakeServiceToStop(Service);
        ZwWaitForSingleObject(unreferenced, FALSE, NULL);
        ZwClose(unreferenced);
    }
    if (NT_SUCCESS(status))
        InterlockedExchangePointer((PVOID volatile *)&Service->Thread, thread);
    else
        InterlockedExchange(&Service->Started, 0);
    UnlockServiceControl();
    return status;
}

/*
 * ServiceStopRequested: for the service's own thread, after each wait: whether
 * it should leave now.
 */
BOOLEAN ServiceStopRequested(PSERVICE_THREAD Service)
{
    return InterlockedCompareExchange(&Service->StopRequested, 0, 0) != 0;
}

/*
 * StopServiceThread: PASSIVE_LEVEL, never from the service's own thread. Takes
 * the thread pointer, sets the stop flag, signals the wake event, waits for the
 * thread to end and releases the started flag. A second stop that races this one
 * waits for it on the service control mutex; a stopped service is left alone.
 */
VOID StopServiceThread(PSERVICE_THREAD Service)
{
    LockServiceControl();
    PKTHREAD thread = (PKTHREAD)InterlockedExchangePointer((PVOID volatile *)&Service->Thread, NULL);
    if (thread != NULL) {
        WakeServiceToStop(Service);
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
        DereferenceObject(thread);
    }
    InterlockedExchange(&Service->Started, 0);
    UnlockServiceControl();
}

/*
 * StartDriverServices: PASSIVE_LEVEL. Starts the three services. A service that
 * cannot start is left off; the driver runs without it.
 */
VOID StartDriverServices(VOID)
{
    StartAutoMount();
    (VOID)StartServiceThread(&VorelData.AutoSaveService, AutoSaveService, &VorelData.VolumeSetChangeEvent);
    (VOID)StartServiceThread(&VorelData.StatisticsService, StatisticsService, &VorelData.StatisticsWakeEvent);
}

/* StopDriverServices: PASSIVE_LEVEL. Stops every service that runs. */
VOID StopDriverServices(VOID)
{
    StopAutoMount();
    StopServiceThread(&VorelData.AutoSaveService);
    StopServiceThread(&VorelData.StatisticsService);
}
