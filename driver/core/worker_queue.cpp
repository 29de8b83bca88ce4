/*
 * A volume's I/O worker queue: up to eight high-priority threads on performance
 * cores that run large asynchronous reads and writes handed over by the read and
 * write handlers. The kernel queue's concurrency equals the thread count, so no
 * more workers wake than there are threads.
 *
 * State, closing, exit and pending change with interlocked operations only. Start
 * and stop run from the volume's mount and teardown, which never overlap.
 */
#include "vorel.h"

#define WORKER_PRIORITY 31
#define WORKER_IDLE_TIMEOUT_100NS (5LL * 1000 * 1000 * 10)
#define DRAIN_POLL_100NS (10000LL)
#define DRAIN_POLL_LIMIT 10000

static KSTART_ROUTINE WorkerThread;

static BOOLEAN IsStopEntry(PWORKER_QUEUE Queue, PLIST_ENTRY Entry)
{
    return Entry >= &Queue->StopEntries[0] && Entry < &Queue->StopEntries[WORKER_QUEUE_MAX_THREADS];
}

/* RunDownQueue: completes every request still queued with STATUS_VOLUME_DISMOUNTED. */
static VOID RunDownQueue(PWORKER_QUEUE Queue)
{
    PLIST_ENTRY first = KeRundownQueue(&Queue->Queue);
    if (first == NULL)
        return;

    /* The entries form a ring without a head; each request is gone once completed,
       so the next link is read first. */
    PLIST_ENTRY entry = first;
    do {
        PLIST_ENTRY next = entry->Flink;
        if (!IsStopEntry(Queue, entry)) {
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            PFCB fcb = (PFCB)irp->Tail.Overlay.DriverContext[0];
            irp->IoStatus.Status = STATUS_VOLUME_DISMOUNTED;
            irp->IoStatus.Information = 0;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            DereferenceNode(fcb);
            InterlockedDecrement(&Queue->Pending);
        }
        entry = next;
    } while (entry != first);
}

/*
 * StopThreads: makes the first Count workers (and an unreferenced one, when Unreferenced
 * is a thread handle) leave, waits for them, drops their references and completes
 * what is still queued. Any worker may take any stop entry; one per thread suffices.
 */
static VOID StopThreads(PWORKER_QUEUE Queue, ULONG Count, HANDLE Unreferenced)
{
    InterlockedExchange(&Queue->Closing, 1);
    InterlockedExchange(&Queue->Exit, 1);
    ULONG entries = Count + (Unreferenced != NULL ? 1 : 0);
    for (ULONG i = 0; i < entries; i++)
        KeInsertQueue(&Queue->Queue, &Queue->StopEntries[i]);
    for (ULONG i = 0; i < Count; i++) {
        KeWaitForSingleObject(Queue->Threads[i], Executive, KernelMode, FALSE, NULL);
        DereferenceObject(Queue->Threads[i]);
        Queue->Threads[i] = NULL;
    }
    if (Unreferenced != NULL) {
        ZwWaitForSingleObject(Unreferenced, FALSE, NULL);
        ZwClose(Unreferenced);
    }
    RunDownQueue(Queue);
    Queue->ThreadCount = 0;
    InterlockedExchange(&Queue->State, WORKER_QUEUE_STOPPED);
}

/*
 * WorkerQueueStart: PASSIVE_LEVEL, from the mount. Returns STATUS_SUCCESS when
 * the queue runs (or already ran), STATUS_UNSUCCESSFUL otherwise, with every
 * thread made so far ended.
 */
NTSTATUS WorkerQueueStart(PWORKER_QUEUE Queue)
{
    LONG state = InterlockedCompareExchange(&Queue->State, WORKER_QUEUE_STARTING, WORKER_QUEUE_STOPPED);
    if (state != WORKER_QUEUE_STOPPED)
        return state == WORKER_QUEUE_RUNNING ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;

    ULONG count = VorelData.PerformanceCoreCount;
    count = max(count, 1UL);
    count = min(count, (ULONG)WORKER_QUEUE_MAX_THREADS);
    KeInitializeQueue(&Queue->Queue, count);
    Queue->Closing = 0;
    Queue->Exit = 0;
    Queue->Pending = 0;
    Queue->ThreadCount = 0;

    ULONG started = 0;
    HANDLE unreferenced = NULL;
    for (; started < count; started++) {
        if (!NT_SUCCESS(StartReferencedThread(WorkerThread, Queue, &Queue->Threads[started], &unreferenced)))
            break;
    }
    if (started < count) {
        StopThreads(Queue, started, unreferenced);
        return STATUS_UNSUCCESSFUL;
    }

    Queue->ThreadCount = count;
    InterlockedExchange(&Queue->State, WORKER_QUEUE_RUNNING);
    return STATUS_SUCCESS;
}

/*
 * WorkerQueuePost: hands a request to the workers. Any IRQL up to DISPATCH_LEVEL.
 * Returns STATUS_PENDING when queued (the request is marked pending and the node
 * referenced), STATUS_DEVICE_NOT_READY when the queue does not take requests; the
 * caller then runs the request itself.
 */
NTSTATUS WorkerQueuePost(PWORKER_QUEUE Queue, PIRP Irp, PFCB Fcb)
{
    if (InterlockedCompareExchange(&Queue->Closing, 0, 0) != 0 ||
        InterlockedCompareExchange(&Queue->State, 0, 0) != WORKER_QUEUE_RUNNING)
        return STATUS_DEVICE_NOT_READY;

    Irp->Tail.Overlay.DriverContext[0] = Fcb;
    ReferenceNode(Fcb);
    IoMarkIrpPending(Irp);
    InterlockedIncrement(&Queue->Pending);
    KeInsertQueue(&Queue->Queue, &Irp->Tail.Overlay.ListEntry);
    return STATUS_PENDING;
}

/*
 * WorkerQueueDrainWait: waits until every posted request has finished, polling
 * every millisecond for at most 10000 polls (no sleeping at DISPATCH_LEVEL).
 */
VOID WorkerQueueDrainWait(PWORKER_QUEUE Queue)
{
    if (InterlockedCompareExchange(&Queue->State, 0, 0) != WORKER_QUEUE_RUNNING)
        return;
    for (ULONG poll = 0; poll < DRAIN_POLL_LIMIT; poll++) {
        if (InterlockedCompareExchange(&Queue->Pending, 0, 0) == 0)
            return;
        if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
            LARGE_INTEGER interval;
            interval.QuadPart = -DRAIN_POLL_100NS;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
    }
}

/*
 * WorkerQueueStop: PASSIVE_LEVEL, from teardown. Ends every worker and completes
 * what is still queued with STATUS_VOLUME_DISMOUNTED.
 */
VOID WorkerQueueStop(PWORKER_QUEUE Queue)
{
    if (InterlockedCompareExchange(&Queue->State, 0, 0) == WORKER_QUEUE_STOPPED)
        return;
    StopThreads(Queue, min(Queue->ThreadCount, (ULONG)WORKER_QUEUE_MAX_THREADS), NULL);
}

/* RunQueuedRequest: one posted request, inside its own dispatch frame; the core completes it. */
static VOID RunQueuedRequest(PWORKER_QUEUE Queue, PIRP Irp)
{
    PFCB fcb = (PFCB)Irp->Tail.Overlay.DriverContext[0];
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    if (major == IRP_MJ_WRITE)
        WriteCore(Irp, fcb);
    else
        ReadCore(Irp, fcb);
    FrameLeave(&frame, STATUS_PENDING);
    DereferenceNode(fcb);
    InterlockedDecrement(&Queue->Pending);
}

/* WorkerThread: a worker's life, at priority 31 on the performance cores. */
static VOID NTAPI WorkerThread(PVOID Context)
{
    PWORKER_QUEUE queue = (PWORKER_QUEUE)Context;
    KeSetPriorityThread(KeGetCurrentThread(), WORKER_PRIORITY);
    if (VorelData.PerformanceCoreMask != 0) {
        GROUP_AFFINITY affinity;
        RtlZeroMemory(&affinity, sizeof(affinity));
        affinity.Mask = VorelData.PerformanceCoreMask;
        affinity.Group = 0;
        KeSetSystemGroupAffinityThread(&affinity, NULL);
    }

    LARGE_INTEGER timeout;
    timeout.QuadPart = -WORKER_IDLE_TIMEOUT_100NS;
    for (;;) {
        PLIST_ENTRY entry = KeRemoveQueue(&queue->Queue, KernelMode, &timeout);
        NTSTATUS waitStatus = (NTSTATUS)(ULONG_PTR)entry;
        if (waitStatus == STATUS_TIMEOUT || waitStatus == STATUS_USER_APC || waitStatus == STATUS_ALERTED) {
            if (InterlockedCompareExchange(&queue->Exit, 0, 0) != 0)
                break;
            continue;
        }
        if (IsStopEntry(queue, entry))
            break;
        RunQueuedRequest(queue, CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}
