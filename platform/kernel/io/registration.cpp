/*
 * What drivers register with the I/O manager: file systems, shutdown
 * notification, device-interface notification, filter callbacks. Each
 * registration must be undone before its driver unloads. (Work items: work_items.cpp.)
 */
#include "io/internal.h"

#include "base/spin.h"
#include "ke/dispatcher.h"

#include "machine.h"

#include <km/fsrtl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace io {
namespace {

struct Notification {
    GUID interfaceClass;
    PDRIVER_OBJECT driver;
    PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback;
    PVOID context;
    int running = 0;      /* callbacks in flight */
    bool removed = false;
};

struct Registrations {
    base::SpinLock lock;
    std::vector<PDEVICE_OBJECT> fileSystems;       /* most recent first */
    std::vector<PDEVICE_OBJECT> shutdown;          /* most recent first */
    std::vector<Notification *> notifications;
    std::map<PDRIVER_OBJECT, FS_FILTER_CALLBACKS> filterCallbacks;
};

Registrations &Reg()
{
    static Registrations registrations;
    return registrations;
}

bool Remove(std::vector<PDEVICE_OBJECT> &list, PDEVICE_OBJECT device)
{
    auto it = std::find(list.begin(), list.end(), device);
    if (it == list.end())
        return false;
    list.erase(it);
    return true;
}

void AuditRegistrations(machine::AuditReport &report)
{
    auto &reg = Reg();
    base::SpinGuard guard(reg.lock);
    if (!reg.fileSystems.empty())
        report.findings.push_back("io: a file system is still registered");
    if (!reg.shutdown.empty())
        report.findings.push_back("io: a shutdown notification is still registered");
    if (!reg.notifications.empty())
        report.findings.push_back("io: a device-interface notification is still registered");
    if (!reg.filterCallbacks.empty())
        report.findings.push_back("io: filter callbacks of an unloaded driver are still registered");
}

void ResetRegistrations()
{
    auto &reg = Reg();
    base::SpinGuard guard(reg.lock);
    reg.fileSystems.clear();
    reg.shutdown.clear();
    for (Notification *n : reg.notifications)
        delete n;
    reg.notifications.clear();
    reg.filterCallbacks.clear();
}

const bool registered = [] {
    machine::RegisterComponent({"registrations", machine::kOrderIo + 1, ResetRegistrations, AuditRegistrations,
                                ResetRegistrations});
    return true;
}();

} // namespace

void AuditDriverUnload(PDRIVER_OBJECT driver, std::vector<std::string> *findings)
{
    // A deleted device that is still referenced waits for its references; one the
    // driver never deleted is left behind.
    for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice)
        if (!StateOf(device)->deletePending) {
            findings->push_back("io: the driver left a device behind at unload");
            break;
        }
    auto &reg = Reg();
    base::SpinGuard guard(reg.lock);
    for (PDEVICE_OBJECT device : reg.fileSystems)
        if (device->DriverObject == driver)
            findings->push_back("io: the driver left its file system registered at unload");
    for (PDEVICE_OBJECT device : reg.shutdown)
        if (device->DriverObject == driver)
            findings->push_back("io: the driver left a shutdown notification registered at unload");
    for (Notification *n : reg.notifications)
        if (n->driver == driver)
            findings->push_back("io: the driver left a device-interface notification registered at unload");
    if (reg.filterCallbacks.erase(driver) != 0) {
        // The callbacks end with their driver, as on Windows; nothing is left dangling.
    }
}

bool FilterCallbacksOf(PDRIVER_OBJECT driver, FS_FILTER_CALLBACKS *callbacks)
{
    auto &reg = Reg();
    base::SpinGuard guard(reg.lock);
    auto it = reg.filterCallbacks.find(driver);
    if (it == reg.filterCallbacks.end())
        return false;
    *callbacks = it->second;
    return true;
}

std::vector<PDEVICE_OBJECT> FileSystemsFor(DEVICE_TYPE type)
{
    auto &reg = Reg();
    base::SpinGuard guard(reg.lock);
    std::vector<PDEVICE_OBJECT> found;
    for (PDEVICE_OBJECT device : reg.fileSystems)
        if (device->DeviceType == type) {
            ob::Reference(device);
            found.push_back(device);
        }
    return found;
}

} // namespace io

namespace machine {

void SystemShutdown()
{
    std::vector<PDEVICE_OBJECT> devices;
    {
        auto &reg = io::Reg();
        base::SpinGuard guard(reg.lock);
        devices = reg.shutdown;
        for (PDEVICE_OBJECT device : devices)
            ob::Reference(device);
    }
    for (PDEVICE_OBJECT device : devices) {
        PIO_STACK_LOCATION stack;
        io::Request *request = io::NewRequest(device, nullptr, KernelMode, IRP_MJ_SHUTDOWN, 0, &stack);
        if (request != nullptr) {
            request->irp->Flags |= IRP_SYNCHRONOUS_API;
            io::CallDriverAndWait(device, request);
        }
        ob::Dereference(device);
    }
}

void DeviceInterfaceArrived(const void *interfaceClassGuid, const std::u16string &symbolicLink)
{
    std::vector<io::Notification *> targets;
    {
        auto &reg = io::Reg();
        base::SpinGuard guard(reg.lock);
        for (io::Notification *n : reg.notifications)
            if (!n->removed && memcmp(&n->interfaceClass, interfaceClassGuid, sizeof(GUID)) == 0) {
                n->running++;
                targets.push_back(n);
            }
    }
    std::u16string link = symbolicLink;
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(link.data());
    name.Length = name.MaximumLength = (USHORT)(link.size() * sizeof(WCHAR));
    static const GUID arrival = {0xCB3A4004, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
    for (io::Notification *n : targets) {
        DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{};
        notification.Version = 1;
        notification.Size = sizeof(notification);
        notification.Event = arrival;
        notification.InterfaceClassGuid = n->interfaceClass;
        notification.SymbolicLinkName = &name;
        n->callback(&notification, n->context);
        auto &reg = io::Reg();
        base::SpinGuard guard(reg.lock);
        n->running--;
    }
}

} // namespace machine

extern "C" {

NTKERNELAPI VOID NTAPI IoRegisterFileSystem(PDEVICE_OBJECT DeviceObject)
{
    ke::CheckIrql((const void *)&IoRegisterFileSystem, PASSIVE_LEVEL);
    auto &reg = io::Reg();
    ob::Reference(DeviceObject);
    base::SpinGuard guard(reg.lock);
    reg.fileSystems.insert(reg.fileSystems.begin(), DeviceObject);
}

NTKERNELAPI VOID NTAPI IoUnregisterFileSystem(PDEVICE_OBJECT DeviceObject)
{
    ke::CheckIrql((const void *)&IoUnregisterFileSystem, PASSIVE_LEVEL);
    bool removed;
    {
        auto &reg = io::Reg();
        base::SpinGuard guard(reg.lock);
        removed = io::Remove(reg.fileSystems, DeviceObject);
    }
    if (removed)
        ob::Dereference(DeviceObject);
}

NTKERNELAPI NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject)
{
    ke::CheckIrql((const void *)&IoRegisterShutdownNotification, PASSIVE_LEVEL);
    if (machine::ShouldFail("IoRegisterShutdownNotification"))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto &reg = io::Reg();
    ob::Reference(DeviceObject);
    base::SpinGuard guard(reg.lock);
    reg.shutdown.insert(reg.shutdown.begin(), DeviceObject);
    DeviceObject->Flags |= DO_SHUTDOWN_REGISTERED;
    return STATUS_SUCCESS;
}

NTKERNELAPI VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject)
{
    ke::CheckIrql((const void *)&IoUnregisterShutdownNotification, PASSIVE_LEVEL);
    bool removed;
    {
        auto &reg = io::Reg();
        base::SpinGuard guard(reg.lock);
        removed = io::Remove(reg.shutdown, DeviceObject);
        DeviceObject->Flags &= ~DO_SHUTDOWN_REGISTERED;
    }
    if (removed)
        ob::Dereference(DeviceObject);
}

NTKERNELAPI NTSTATUS NTAPI IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory,
                                                          ULONG EventCategoryFlags, PVOID EventCategoryData,
                                                          PDRIVER_OBJECT DriverObject,
                                                          PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                                          PVOID Context, PVOID *NotificationEntry)
{
    (void)EventCategoryFlags;
    ke::CheckIrql((const void *)&IoRegisterPlugPlayNotification, PASSIVE_LEVEL);
    if (EventCategory != EventCategoryDeviceInterfaceChange || EventCategoryData == nullptr)
        return STATUS_NOT_SUPPORTED;
    if (machine::ShouldFail("IoRegisterPlugPlayNotification"))
        return STATUS_INSUFFICIENT_RESOURCES;
    auto *n = new io::Notification();
    memcpy(&n->interfaceClass, EventCategoryData, sizeof(GUID));
    n->driver = DriverObject;
    n->callback = CallbackRoutine;
    n->context = Context;
    auto &reg = io::Reg();
    base::SpinGuard guard(reg.lock);
    reg.notifications.push_back(n);
    *NotificationEntry = n;
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI IoUnregisterPlugPlayNotificationEx(PVOID NotificationEntry)
{
    ke::CheckIrql((const void *)&IoUnregisterPlugPlayNotificationEx, PASSIVE_LEVEL);
    auto *n = static_cast<io::Notification *>(NotificationEntry);
    auto &reg = io::Reg();
    {
        base::SpinGuard guard(reg.lock);
        auto it = std::find(reg.notifications.begin(), reg.notifications.end(), n);
        if (it == reg.notifications.end())
            return STATUS_INVALID_PARAMETER;
        n->removed = true;
    }
    // Returns only once no callback of this registration is running.
    for (;;) {
        {
            base::SpinGuard guard(reg.lock);
            if (n->running == 0) {
                reg.notifications.erase(std::find(reg.notifications.begin(), reg.notifications.end(), n));
                break;
            }
        }
        LARGE_INTEGER oneMs;
        oneMs.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
    }
    delete n;
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI IoUnregisterPlugPlayNotification(PVOID NotificationEntry)
{
    return IoUnregisterPlugPlayNotificationEx(NotificationEntry);
}

NTKERNELAPI NTSTATUS NTAPI FsRtlRegisterFileSystemFilterCallbacks(PDRIVER_OBJECT FilterDriverObject,
                                                                  PFS_FILTER_CALLBACKS Callbacks)
{
    ke::CheckIrql((const void *)&FsRtlRegisterFileSystemFilterCallbacks, PASSIVE_LEVEL);
    if (Callbacks == nullptr || Callbacks->SizeOfFsFilterCallbacks < RTL_SIZEOF_THROUGH_FIELD(FS_FILTER_CALLBACKS,
                                                                                              PostReleaseForSectionSynchronization))
        return STATUS_INVALID_PARAMETER;
    if (machine::ShouldFail("FsRtlRegisterFileSystemFilterCallbacks"))
        return STATUS_INSUFFICIENT_RESOURCES;
    FS_FILTER_CALLBACKS copy{};
    memcpy(&copy, Callbacks, Callbacks->SizeOfFsFilterCallbacks < sizeof(copy) ? Callbacks->SizeOfFsFilterCallbacks
                                                                               : sizeof(copy));
    auto &reg = io::Reg();
    base::SpinGuard guard(reg.lock);
    reg.filterCallbacks[FilterDriverObject] = copy;
    return STATUS_SUCCESS;
}

} // extern "C"
