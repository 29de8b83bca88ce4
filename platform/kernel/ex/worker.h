/*
 * System worker threads, as the rest of the stand-in uses them.
 *
 * The machine starts a bounded pool of worker threads per queue at boot: the real-time
 * pool takes Critical, HyperCritical, SuperCritical and RealTime items (and custom
 * priorities of 13 and above), the delayed pool takes Delayed, Normal and Background
 * items (and lower custom priorities). Each pool hands its items out first in, first
 * out; an item runs at PASSIVE_LEVEL in the system process, at its queue type's
 * documented priority, on a thread that is no driver's. A worker returning from an item
 * at a raised IRQL, inside a critical or guarded region, impersonating, or holding a lock
 * stops the machine, as on Windows.
 */
#pragma once

#include <km/ex.h>

namespace ex {

using SystemWorkRoutine = void (*)(void *context);

/*
 * Runs routine(context) later on a worker thread of the pool that serves type, after
 * what was queued before it on that pool has been taken up. Never runs the routine on
 * the caller's stack and never waits, so it serves callers at DISPATCH_LEVEL, holding
 * spin locks, or inside a driver frame that the routine must outlive (finishing a
 * driver's unload once its last device is gone, deleting an object whose last
 * reference went at a raised IRQL). The record is the stand-in's own (host memory,
 * never a pool finding); it is freed before routine runs. IRQL <= DISPATCH_LEVEL.
 *
 * The pools run from boot until the machine's shutdown has drained them: work queued
 * outside that time stops the machine (WORKER_INVALID, 5). Work queued before or while
 * the shutdown drains still runs.
 */
void QueueSystemWork(WORK_QUEUE_TYPE type, SystemWorkRoutine routine, void *context);

/*
 * ExQueueWorkItem without its IRQL check: queues an initialised WORK_QUEUE_ITEM. Stops
 * the machine (WORKER_INVALID) when the item is still queued (1), the type is no queue
 * (6), the routine is null (7), or the pools are not running (5).
 */
void QueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE type);

/* Whether the item is on a queue (queued and not yet taken up by a worker). */
bool IsWorkItemQueued(const WORK_QUEUE_ITEM *item);

} // namespace ex
