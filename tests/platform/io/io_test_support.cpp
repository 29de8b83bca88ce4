/*
 * The in-process test driver (see io_test_support.h).
 */
#include "io_test_support.h"

#include <cstring>
#include <mutex>

namespace iotest {
namespace {

Driver driver;
std::mutex seenLock; /* requests on an asynchronous handle arrive side by side */

NTSTATUS NTAPI DispatchAny(PDEVICE_OBJECT device, PIRP irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    {
        std::lock_guard<std::mutex> hold(seenLock);
        driver.seen.push_back(major);
    }
    if (major == IRP_MJ_CLEANUP)
        driver.cleanups++;
    if (major == IRP_MJ_CLOSE)
        driver.closes++;
    if (driver.hooks[major])
        return driver.hooks[major](device, irp);
    return Complete(irp, STATUS_SUCCESS);
}

VOID NTAPI UnloadTestDriver(PDRIVER_OBJECT)
{
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\IoTest");
    IoDeleteSymbolicLink(&link);
    if (driver.deleteDeviceOnUnload && driver.device != nullptr)
        IoDeleteDevice(driver.device);
    driver.device = nullptr;
}

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT object, PUNICODE_STRING)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\IoTest");
    UNICODE_STRING sddl = RTL_CONSTANT_STRING(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)");
    NTSTATUS status = IoCreateDeviceSecure(object, 64, &name, FILE_DEVICE_UNKNOWN,
                                           driver.secureOpen ? FILE_DEVICE_SECURE_OPEN : 0, FALSE, &sddl, nullptr,
                                           &driver.device);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\IoTest");
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(driver.device);
        return status;
    }
    for (auto &routine : object->MajorFunction)
        routine = DispatchAny;
    object->DriverUnload = UnloadTestDriver;
    return STATUS_SUCCESS;
}

} // namespace

Driver &TheDriver()
{
    return driver;
}

void ResetDriver(bool secureOpen)
{
    for (auto &hook : driver.hooks)
        hook = nullptr;
    driver.seen.clear();
    driver.device = nullptr;
    driver.secureOpen = secureOpen;
    driver.deleteDeviceOnUnload = true;
    driver.cleanups = 0;
    driver.closes = 0;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Load()
{
    return (NTSTATUS)machine::LoadBuiltInDriver((void *)&TestDriverEntry, "iotest");
}

NTSTATUS Unload()
{
    return (NTSTATUS)machine::UnloadDriver("iotest");
}

} // namespace iotest
