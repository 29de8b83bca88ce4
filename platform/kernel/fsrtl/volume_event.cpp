/*
 * FsRtlNotifyVolumeEvent: a file system tells the watchers of a volume that it is being
 * locked, dismounted, mounted, ... On Windows the event goes, as a target-device-change
 * notification, to the device a target-device-relations query on the file object's
 * device names. This machine has no plug-and-play manager: it records the event (the
 * real device of the file object's volume and the code) for the tests to read, tells
 * the host's watcher, and succeeds.
 */
#include "machine.h"

#include "base/spin.h"
#include "ke/dispatcher.h"
#include "ob/namespace.h"

#include <ntifs.h>

#include <mutex>
#include <vector>

namespace {

struct EventLog {
    base::SpinLock lock;
    std::vector<machine::VolumeEvent> events; /* lock */
    std::mutex observerLock;
    machine::VolumeEventObserver observer; /* observerLock */
};

EventLog &Log()
{
    static EventLog log;
    return log;
}

const bool registered = [] {
    machine::RegisterComponent({"volume-events", machine::kOrderIo + 3, [] { machine::ClearVolumeEvents(); },
                                nullptr, [] { machine::ClearVolumeEvents(); }});
    return true;
}();

} // namespace

namespace machine {

std::vector<VolumeEvent> VolumeEvents()
{
    base::SpinGuard guard(Log().lock);
    return Log().events;
}

void ClearVolumeEvents()
{
    base::SpinGuard guard(Log().lock);
    Log().events.clear();
}

void SetVolumeEventObserver(VolumeEventObserver observer)
{
    std::lock_guard<std::mutex> guard(Log().observerLock);
    Log().observer = std::move(observer);
}

} // namespace machine

extern "C" {

NTKERNELAPI NTSTATUS NTAPI FsRtlNotifyVolumeEvent(PFILE_OBJECT FileObject, ULONG EventCode)
{
    ke::CheckIrql((const void *)&FsRtlNotifyVolumeEvent, PASSIVE_LEVEL);
    if (FileObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    // The event is about the volume: the real device behind the file object's VPB, or the
    // device the file object was opened on.
    PDEVICE_OBJECT device = FileObject->Vpb != nullptr ? FileObject->Vpb->RealDevice : FileObject->DeviceObject;
    {
        base::SpinGuard guard(Log().lock);
        Log().events.push_back({device, EventCode});
    }
    std::lock_guard<std::mutex> guard(Log().observerLock);
    if (Log().observer)
        Log().observer(ob::NameOf(device), EventCode);
    return STATUS_SUCCESS;
}

} // extern "C"
