/*
 * Kernel queues. Entries are handed out first in, first out; waiting threads are
 * woken last in, first out (the most recent waiter is the warmest). A thread that
 * removes from a queue is associated with it, and the queue counts its associated
 * threads that are running: an entry is handed out only while that count is below
 * the queue's concurrency, and a thread that blocks on anything else gives its
 * place to a waiter.
 */
#include "ke/dispatcher.h"
#include "ke/thread.h"

#include <km/bugcheck.h>
#include <km/list.h>

namespace ke {
namespace {

constexpr UCHAR kQueueRundown = 1; /* in Header.Reserved1 */

bool IsRundown(PRKQUEUE queue)
{
    return queue->Header.Reserved1 == kQueueRundown;
}

void Associate(struct _KTHREAD *thread, PRKQUEUE queue)
{
    thread->Queue = queue;
    InsertTailList(&queue->ThreadListHead, &thread->QueueListEntry);
}

void Disassociate(struct _KTHREAD *thread)
{
    RemoveEntryList(&thread->QueueListEntry);
    thread->Queue = nullptr;
}

/* The most recent waiter of the queue, or null. */
Waiter *FirstWaiter(PRKQUEUE queue)
{
    for (PLIST_ENTRY e = queue->Header.WaitListHead.Flink; e != &queue->Header.WaitListHead; e = e->Flink) {
        Waiter *waiter = CONTAINING_RECORD(e, WaitBlock, entry)->waiter;
        if (!waiter->done)
            return waiter;
    }
    return nullptr;
}

void HandOver(PRKQUEUE queue, Waiter *waiter, PLIST_ENTRY entry)
{
    waiter->queueEntry = entry;
    queue->CurrentCount = queue->CurrentCount + 1;
    CompleteWait(waiter, STATUS_SUCCESS);
}

LONG InsertQueue(PRKQUEUE queue, PLIST_ENTRY entry, bool head)
{
    LONG previous = queue->Header.SignalState;
    Waiter *waiter = FirstWaiter(queue);
    if (waiter != nullptr && queue->CurrentCount < queue->MaximumCount && IsListEmpty(&queue->EntryListHead)) {
        HandOver(queue, waiter, entry);
    } else {
        if (head)
            InsertHeadList(&queue->EntryListHead, entry);
        else
            InsertTailList(&queue->EntryListHead, entry);
        queue->Header.SignalState++;
    }
    return previous;
}

} // namespace

void ActivateQueueWaiters(PRKQUEUE queue)
{
    while (!IsListEmpty(&queue->EntryListHead) && queue->CurrentCount < queue->MaximumCount) {
        Waiter *waiter = FirstWaiter(queue);
        if (waiter == nullptr)
            return;
        PLIST_ENTRY entry = RemoveHeadList(&queue->EntryListHead);
        queue->Header.SignalState--;
        HandOver(queue, waiter, entry);
    }
}

void DisassociateQueue(ThreadState &state)
{
    struct _KTHREAD *thread = state.thread;
    if (thread == nullptr || thread->Queue == nullptr)
        return;
    PRKQUEUE queue = thread->Queue;
    queue->CurrentCount = queue->CurrentCount - 1;
    Disassociate(thread);
    ActivateQueueWaiters(queue);
}

} // namespace ke

extern "C" {

NTKERNELAPI VOID NTAPI KeInitializeQueue(PRKQUEUE Queue, ULONG Count)
{
    Queue->Header.Lock = 0;
    Queue->Header.Type = QueueObject;
    Queue->Header.Size = sizeof(KQUEUE) / sizeof(LONG);
    Queue->Header.SignalState = 0;
    InitializeListHead(&Queue->Header.WaitListHead);
    InitializeListHead(&Queue->EntryListHead);
    Queue->CurrentCount = 0;
    Queue->MaximumCount = Count != 0 ? Count : KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    InitializeListHead(&Queue->ThreadListHead);
}

NTKERNELAPI LONG NTAPI KeInsertQueue(PRKQUEUE Queue, PLIST_ENTRY Entry)
{
    ke::CheckIrql((const void *)&KeInsertQueue, DISPATCH_LEVEL);
    base::SpinGuard guard(ke::DispatcherLock());
    return ke::InsertQueue(Queue, Entry, false);
}

NTKERNELAPI LONG NTAPI KeInsertHeadQueue(PRKQUEUE Queue, PLIST_ENTRY Entry)
{
    ke::CheckIrql((const void *)&KeInsertHeadQueue, DISPATCH_LEVEL);
    base::SpinGuard guard(ke::DispatcherLock());
    return ke::InsertQueue(Queue, Entry, true);
}

NTKERNELAPI PLIST_ENTRY NTAPI KeRemoveQueue(PRKQUEUE Queue, KPROCESSOR_MODE WaitMode, PLARGE_INTEGER Timeout)
{
    (void)WaitMode;
    ke::ThreadState &state = ke::CurrentThreadState();
    bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
    ke::CheckWaitIrql((const void *)&KeRemoveQueue, zeroTimeout);
    struct _KTHREAD *thread = ke::CurrentThread();

    base::SpinGuard guard(ke::DispatcherLock());
    // A run-down queue takes no thread in: associating the caller would leave it tied to
    // a queue whose memory its owner is free to reuse once the rundown has returned.
    if (ke::IsRundown(Queue))
        return (PLIST_ENTRY)(ULONG_PTR)(ULONG)STATUS_ABANDONED;
    if (thread->Queue != Queue) {
        if (thread->Queue != nullptr) {
            PRKQUEUE previous = thread->Queue;
            previous->CurrentCount = previous->CurrentCount - 1;
            ke::Disassociate(thread);
            ke::ActivateQueueWaiters(previous);
        }
        ke::Associate(thread, Queue);
    } else {
        Queue->CurrentCount = Queue->CurrentCount - 1; /* done with the previous entry */
    }

    if (!IsListEmpty(&Queue->EntryListHead) && Queue->CurrentCount < Queue->MaximumCount) {
        Queue->Header.SignalState--;
        Queue->CurrentCount = Queue->CurrentCount + 1;
        return RemoveHeadList(&Queue->EntryListHead);
    }
    if (zeroTimeout) {
        Queue->CurrentCount = Queue->CurrentCount + 1;
        return (PLIST_ENTRY)(ULONG_PTR)(ULONG)STATUS_TIMEOUT;
    }

    ke::WaitBlock block;
    ke::Waiter waiter;
    waiter.thread = &state;
    waiter.kind = ke::WaitKind::Queue;
    waiter.count = 1;
    waiter.blocks = &block;
    block.waiter = &waiter;
    block.object = &Queue->Header;
    block.index = 0;
    InsertHeadList(&Queue->Header.WaitListHead, &block.entry); /* last in, first woken */
    ke::BlockOnWaiter(waiter, Timeout == nullptr ? UINT64_MAX : ke::DeadlineFromTimeout(Timeout->QuadPart));
    if (waiter.status == STATUS_SUCCESS)
        return waiter.queueEntry; /* the inserter counted this thread as running */
    Queue->CurrentCount = Queue->CurrentCount + 1;
    return (PLIST_ENTRY)(ULONG_PTR)(ULONG)waiter.status;
}

NTKERNELAPI PLIST_ENTRY NTAPI KeRundownQueue(PRKQUEUE Queue)
{
    ke::CheckIrql((const void *)&KeRundownQueue, DISPATCH_LEVEL);
    base::SpinGuard guard(ke::DispatcherLock());
    Queue->Header.Reserved1 = ke::kQueueRundown;
    while (ke::Waiter *waiter = ke::FirstWaiter(Queue))
        ke::CompleteWait(waiter, STATUS_ABANDONED);
    while (!IsListEmpty(&Queue->ThreadListHead)) {
        auto thread = CONTAINING_RECORD(Queue->ThreadListHead.Flink, struct _KTHREAD, QueueListEntry);
        ke::Disassociate(thread);
    }
    Queue->CurrentCount = 0;
    Queue->Header.SignalState = 0;
    if (IsListEmpty(&Queue->EntryListHead))
        return nullptr;
    // The entries stay linked in a ring of their own, without the head.
    PLIST_ENTRY first = Queue->EntryListHead.Flink;
    RemoveEntryList(&Queue->EntryListHead);
    InitializeListHead(&Queue->EntryListHead);
    return first;
}

NTKERNELAPI LONG NTAPI KeReadStateQueue(PRKQUEUE Queue)
{
    return __atomic_load_n(&Queue->Header.SignalState, __ATOMIC_ACQUIRE);
}

} // extern "C"
