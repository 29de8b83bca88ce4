/*
 * I/O work items: an executive work item tied to a device object. Queueing one
 * references the device and the reference goes only once the routine has returned,
 * so neither the device object nor (through it) its driver can go while the routine
 * runs; the work item itself may be freed by its own routine, since the worker has
 * taken it off its queue first.
 *
 * Misuse stops the machine as Windows' checks do (WORKER_INVALID): a work item for
 * something that is no device object (3), queued again while still queued (1), freed
 * while queued (2), queued without a routine (7). Work items a driver never frees are
 * an audit finding.
 */
#include "io/internal.h"

#include "ex/worker.h"
#include "ke/dispatcher.h"

#include "machine.h"

#include <km/bugcheck.h>

#include <atomic>
#include <string>

namespace io {
namespace {

struct WorkItem {
    WORK_QUEUE_ITEM item; /* first: the address drivers hold is the queued entry's */
    PDEVICE_OBJECT device;
    PIO_WORKITEM_ROUTINE routine; /* set when queued */
    PVOID context;
};

constexpr ULONG kWorkItemTag = POOL_TAG('I', 'o', 'W', 'i');

std::atomic<int64_t> liveWorkItems{0}; /* allocated and not freed */

void AuditWorkItems(machine::AuditReport &report)
{
    int64_t live = liveWorkItems.load();
    if (live != 0)
        report.findings.push_back("io: " + std::to_string(live) + " work item(s) not freed");
}

void ResetWorkItems()
{
    liveWorkItems = 0;
}

const bool registered = [] {
    machine::RegisterComponent({"io-work-items", machine::kOrderIo + 2, ResetWorkItems, AuditWorkItems,
                                ResetWorkItems});
    return true;
}();

bool IsDeviceObject(PDEVICE_OBJECT device)
{
    // The I/O manager's objects open with their type code (a driver object's is IO_TYPE_DRIVER);
    // only what claims to be a device is looked at as an object, since only objects have a header.
    if (device == nullptr || device->Type != IO_TYPE_DEVICE || (uintptr_t)device % alignof(ob::ObjectHeader) != 0)
        return false;
    const ob::ObjectHeader *header = ob::HeaderOf(device);
    return header->magic == ob::kHeaderMagic && header->type == DeviceType();
}

/* The worker routine of every I/O work item. */
VOID NTAPI RunIoWorkItem(PVOID parameter)
{
    auto *work = static_cast<WorkItem *>(parameter);
    PDEVICE_OBJECT device = work->device;
    PIO_WORKITEM_ROUTINE routine = work->routine;
    PVOID context = work->context;
    routine(device, context); /* may free the work item */
    ob::Dereference(device);  /* the queueing reference: the device (and its driver) may go now */
}

} // namespace
} // namespace io

extern "C" {

NTKERNELAPI PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
{
    ke::CheckIrql((const void *)&IoAllocateWorkItem, DISPATCH_LEVEL);
    auto *work = static_cast<io::WorkItem *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(io::WorkItem),
                                                                   io::kWorkItemTag));
    if (work == nullptr)
        return nullptr;
    if (!io::IsDeviceObject(DeviceObject))
        KeBugCheckEx(WORKER_INVALID, 3, (ULONG_PTR)work, (ULONG_PTR)DeviceObject, 0);
    ExInitializeWorkItem(&work->item, io::RunIoWorkItem, work);
    work->device = DeviceObject;
    work->routine = nullptr;
    work->context = nullptr;
    io::liveWorkItems.fetch_add(1);
    return reinterpret_cast<PIO_WORKITEM>(work);
}

NTKERNELAPI VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
{
    ke::CheckIrql((const void *)&IoFreeWorkItem, DISPATCH_LEVEL);
    auto *work = reinterpret_cast<io::WorkItem *>(IoWorkItem);
    if (ex::IsWorkItemQueued(&work->item))
        KeBugCheckEx(WORKER_INVALID, 2, (ULONG_PTR)work, (ULONG_PTR)work->routine, 0);
    ExFreePoolWithTag(work, io::kWorkItemTag);
    io::liveWorkItems.fetch_sub(1);
}

NTKERNELAPI VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                       WORK_QUEUE_TYPE QueueType, PVOID Context)
{
    ke::CheckIrql((const void *)&IoQueueWorkItem, DISPATCH_LEVEL);
    auto *work = reinterpret_cast<io::WorkItem *>(IoWorkItem);
    // Caught before the queued item's routine and context are overwritten.
    if (ex::IsWorkItemQueued(&work->item))
        KeBugCheckEx(WORKER_INVALID, 1, (ULONG_PTR)work, (ULONG_PTR)QueueType, 0);
    if (WorkerRoutine == nullptr)
        KeBugCheckEx(WORKER_INVALID, 7, (ULONG_PTR)work, (ULONG_PTR)QueueType, 0);
    work->routine = WorkerRoutine;
    work->context = Context;
    ob::Reference(work->device);
    ex::QueueWorkItem(&work->item, QueueType);
}

} // extern "C"
