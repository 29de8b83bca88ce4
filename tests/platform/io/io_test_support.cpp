/*
 * The in-process test driver (see io_test_support.h).
 */
#include "io_test_support.h"

#include <cstring>

namespace iotest {
namespace {

Driver driver;

NTSTATUS NTAPI DispatchAny(PDEVICE_OBJECT device, PIRP irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    driver.seen.push_back(major);
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

Name::Name(const char *ascii) : text(ascii, ascii + strlen(ascii))
{
    string.Buffer = reinterpret_cast<PWCH>(text.data());
    string.Length = string.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
}

UserProcess::UserProcess(uint32_t uid, uint32_t gid)
{
    machine::ProcessIdentity identity;
    identity.uid = uid;
    identity.gid = gid;
    process_ = machine::CreateProcess(identity);
}

UserProcess::~UserProcess()
{
    machine::ReleaseProcess(process_);
}

POBJECT_ATTRIBUTES UserProcess::Attributes(const char *name, ULONG attributes)
{
    size_t length = strlen(name);
    auto *buffer = static_cast<WCHAR *>(Alloc(length * sizeof(WCHAR)));
    for (size_t i = 0; i < length; ++i)
        buffer[i] = (WCHAR)name[i];
    auto *string = New<UNICODE_STRING>();
    string->Buffer = buffer;
    string->Length = string->MaximumLength = (USHORT)(length * sizeof(WCHAR));
    auto *oa = New<OBJECT_ATTRIBUTES>();
    InitializeObjectAttributes(oa, string, attributes, nullptr, nullptr);
    return oa;
}

NTSTATUS UserProcess::Open(const char *name, ACCESS_MASK access, HANDLE *handle, ULONG options)
{
    POBJECT_ATTRIBUTES oa = Attributes(name);
    auto *iosb = New<IO_STATUS_BLOCK>();
    auto *userHandle = New<HANDLE>();
    machine::EnterProcess(process_);
    NTSTATUS status = NtCreateFile(userHandle, access | SYNCHRONIZE, oa, iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, options, nullptr, 0);
    machine::LeaveProcess();
    *handle = *userHandle;
    return status;
}

} // namespace iotest
