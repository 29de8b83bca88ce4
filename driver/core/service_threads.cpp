/*
 * The driver-wide service threads: auto-mount, auto-save and statistics. Each
 * runs until its stop event is set. They start last in start-up, so every lock
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

/* StartServiceThread: PASSIVE_LEVEL. Returns the thread creation's status; on failure nothing runs. */
static NTSTATUS StartServiceThread(PSERVICE_THREAD Service, PKSTART_ROUTINE Routine)
{
    KeInitializeEvent(&Service->StopEvent, NotificationEvent, FALSE);
    HANDLE unreferenced;
    NTSTATUS status = StartReferencedThread(Routine, Service, &Service->Thread, &unreferenced);
    if (unreferenced != NULL) {
        KeSetEvent(&Service->StopEvent, IO_NO_INCREMENT, FALSE);
        ZwWaitForSingleObject(unreferenced, FALSE, NULL);
        ZwClose(unreferenced);
    }
    return status;
}

/* StopServiceThread: PASSIVE_LEVEL. Sets the stop event and waits for the thread; a stopped service is left alone. */
VOID StopServiceThread(PSERVICE_THREAD Service)
{
    if (Service->Thread == NULL)
        return;
    KeSetEvent(&Service->StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(Service->Thread, Executive, KernelMode, FALSE, NULL);
    DereferenceObject(Service->Thread);
    Service->Thread = NULL;
}

/*
 * StartDriverServices: PASSIVE_LEVEL. Starts the three services; on failure the
 * ones started are stopped again and the creation's status is returned.
 */
NTSTATUS StartDriverServices(VOID)
{
    NTSTATUS status = StartServiceThread(&VorelData.AutoMountService, AutoMountService);
    if (NT_SUCCESS(status))
        status = StartServiceThread(&VorelData.AutoSaveService, AutoSaveService);
    if (NT_SUCCESS(status))
        status = StartServiceThread(&VorelData.StatisticsService, StatisticsService);
    if (!NT_SUCCESS(status))
        StopDriverServices();
    return status;
}

/* StopDriverServices: PASSIVE_LEVEL. Stops every service that runs. */
VOID StopDriverServices(VOID)
{
    StopServiceThread(&VorelData.AutoMountService);
    StopServiceThread(&VorelData.AutoSaveService);
    StopServiceThread(&VorelData.StatisticsService);
}
