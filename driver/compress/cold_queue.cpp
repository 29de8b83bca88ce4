/*
 * A volume's cold queue: the files its compression worker will look at, oldest
 * first. Writes and cleanups offer files; the worker takes one once it has sat
 * in the queue for the cold delay, and puts it back when it was not done with
 * it. Every queued file holds a node reference, dropped outside the queue lock
 * (the last one tears the node down, which takes its resources).
 *
 * The queue lock is a leaf: nothing else is acquired while it is held.
 */
#include "vorel.h"

#define HUNDRED_NS_PER_MS 10000ull

/* IsQueued: exact under the queue lock; without it, what the node was a moment ago. */
static BOOLEAN IsQueued(PFCB Fcb)
{
    return ReadNoFence(&Fcb->Cold.Queued) != 0;
}

/* AppendLocked: the node joins the tail now. The queue lock is held; the node is not queued. */
static VOID AppendLocked(PCOLD_QUEUE Queue, PFCB Fcb, ULONGLONG Now)
{
    InsertTailList(&Queue->Files, &Fcb->Cold.QueueLinks);
    InterlockedExchange(&Fcb->Cold.Queued, TRUE);
    Fcb->Cold.QueuedAt = Now;
    Queue->Count++;
}

/* UnlinkLocked: the node leaves the queue (its reference goes to the caller). The queue lock is held. */
static VOID UnlinkLocked(PCOLD_QUEUE Queue, PFCB Fcb)
{
    RemoveEntryList(&Fcb->Cold.QueueLinks);
    InterlockedExchange(&Fcb->Cold.Queued, FALSE);
    Queue->Count--;
}

VOID InitializeColdQueue(PCOLD_QUEUE Queue)
{
    KeInitializeSpinLock(&Queue->Lock);
    InitializeListHead(&Queue->Files);
    Queue->Count = 0;
    Queue->Stopping = FALSE;
    Queue->Busy = FALSE;
    Queue->Exit = FALSE;
    Queue->Worker = NULL;
}

/*
 * OfferColdFile: a write (MoveToTail FALSE) or the cleanup of a handle (TRUE)
 * offers a file to its volume's worker. It joins the tail when compression is on,
 * the worker runs, the volume is not stopping and the node is a file of at least
 * COLD_FILE_MIN_SIZE bytes; a cleanup also moves a queued file to the tail, so a
 * file in use keeps its place at the end. Any IRQL <= DISPATCH_LEVEL; no lock held.
 */
VOID OfferColdFile(PFCB Fcb, BOOLEAN MoveToTail)
{
    PVCB vcb = Fcb->Vcb;
    if (vcb == NULL || Fcb->IsDirectory || ReadNoFence(&vcb->CompressionLevel) == COMPRESSION_LEVEL_NONE)
        return;
    if (ReadULong64NoFence(&Fcb->Data.FileSize) < COLD_FILE_MIN_SIZE || (!MoveToTail && IsQueued(Fcb)))
        return;
    PCOLD_QUEUE queue = &vcb->ColdQueue;
    if (ReadPointerNoFence((PVOID *)&queue->Worker) == NULL || ReadUCharAcquire(&vcb->Dismounted))
        return;

    ULONGLONG now = KeQueryInterruptTime();
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    if (!queue->Stopping) {
        if (!IsQueued(Fcb)) {
            ReferenceNode(Fcb);
            AppendLocked(queue, Fcb, now);
        } else if (MoveToTail) {
            UnlinkLocked(queue, Fcb);
            AppendLocked(queue, Fcb, now);
        }
    }
    KeReleaseSpinLock(&queue->Lock, irql);
}

/*
 * TakeColdFile: the worker's next file: the head, at once when the level is none
 * (the queue drains), otherwise only once it has waited ColdDelayMs. The node's
 * reference passes to the caller, who must RequeueColdFile or DereferenceNode it
 * and then call FinishColdFile. Returns FALSE when there is nothing to take or
 * the queue is stopping. *Level is the level read with the decision.
 */
BOOLEAN TakeColdFile(PVCB Vcb, PFCB *Fcb, PULONG Level)
{
    PCOLD_QUEUE queue = &Vcb->ColdQueue;
    ULONGLONG now = KeQueryInterruptTime();
    BOOLEAN taken = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    ULONG level = (ULONG)ReadNoFence(&Vcb->CompressionLevel);
    if (!queue->Stopping && !IsListEmpty(&queue->Files)) {
        PFCB head = FcbFromColdQueueLinks(queue->Files.Flink);
        if (level == COMPRESSION_LEVEL_NONE || now - head->Cold.QueuedAt >= Vcb->ColdDelayMs * HUNDRED_NS_PER_MS) {
            UnlinkLocked(queue, head);
            queue->Busy = TRUE;
            *Fcb = head;
            *Level = level;
            taken = TRUE;
        }
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    return taken;
}

/*
 * RequeueColdFile: the worker puts a file it took back at the tail, stamped now;
 * the reference stays with the queue. A stopping queue, or a file queued again
 * meanwhile, takes it no more: the reference is dropped.
 */
VOID RequeueColdFile(PVCB Vcb, PFCB Fcb)
{
    PCOLD_QUEUE queue = &Vcb->ColdQueue;
    ULONGLONG now = KeQueryInterruptTime();
    BOOLEAN keep = FALSE;
    KIRQL irql;
    KeAcquireSpinLock(&queue->Lock, &irql);
    if (!queue->Stopping && !IsQueued(Fcb)) {
        AppendLocked(queue, Fcb, now);
        keep = TRUE;
    }
    KeReleaseSpinLock(&queue->Lock, irql);
    if (!keep)
        DereferenceNode(Fcb);
}

/* FinishColdFile: the worker is done with the file it took last. */
VOID FinishColdFile(PVCB Vcb)
{
    InterlockedExchange(&Vcb->ColdQueue.Busy, FALSE);
}

/*
 * DrainColdQueue: every queued file leaves the queue and drops its reference.
 * PASSIVE_LEVEL; no lock held.
 */
VOID DrainColdQueue(PVCB Vcb)
{
    PCOLD_QUEUE queue = &Vcb->ColdQueue;
    for (;;) {
        PFCB fcb = NULL;
        KIRQL irql;
        KeAcquireSpinLock(&queue->Lock, &irql);
        if (!IsListEmpty(&queue->Files)) {
            fcb = FcbFromColdQueueLinks(queue->Files.Flink);
            UnlinkLocked(queue, fcb);
        }
        KeReleaseSpinLock(&queue->Lock, irql);
        if (fcb == NULL)
            return;
        DereferenceNode(fcb);
    }
}

/*
 * PauseColdQueue: the volume is about to be taken down: no file joins the queue
 * any more, the worker finishes the file it is in (it gives files up as soon as
 * it sees the mark) and every queued file drops its reference, so that nothing
 * of the compression worker holds a node. ResumeColdQueue undoes the mark when
 * the volume stays. PASSIVE_LEVEL; no lock held (the worker needs node
 * resources to finish).
 */
VOID PauseColdQueue(PVCB Vcb)
{
    PCOLD_QUEUE queue = &Vcb->ColdQueue;
    InterlockedExchange(&queue->Stopping, TRUE);
    LARGE_INTEGER interval;
    interval.QuadPart = -10 * (LONGLONG)HUNDRED_NS_PER_MS; /* 10 ms */
    while (ReadNoFence(&queue->Busy))
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    DrainColdQueue(Vcb);
}

VOID ResumeColdQueue(PVCB Vcb)
{
    InterlockedExchange(&Vcb->ColdQueue.Stopping, FALSE);
}

/* IsColdQueueStopping: whether the worker must give up the file it is in. */
BOOLEAN IsColdQueueStopping(PVCB Vcb)
{
    return ReadNoFence(&Vcb->ColdQueue.Stopping) != 0;
}
