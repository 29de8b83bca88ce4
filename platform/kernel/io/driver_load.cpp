/*
 * Loading and unloading driver modules. A driver is an ELF shared object
 * (vorel.sys) opened with dlopen, as Windows maps a driver image: its entry
 * routine gets a fresh driver object and the service's registry path; unload
 * calls the driver's unload routine and closes the module with dlclose, so every
 * load starts from the image's pristine state.
 *
 * As on Windows, a device the driver deleted while something still references it
 * (an open file, a stream file object) stays delete-pending, and the driver object
 * and its image stay with it: cleanup and close still reach the driver's code. The
 * image goes when the last such device does, on a system worker thread, off any
 * stack that could still return into it. Until then the audit names what keeps it.
 */
#include "io/internal.h"

#include "base/spin.h"
#include "ex/worker.h"

#include "machine.h"

#include <ntdef.h>
#include <ntstatus.h>
#include <km/driver.h>
#include <km/io.h>
#include <km/pool.h>

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <map>
#include <memory>

namespace {

const char kRegistryServices[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

/* UTF-16 copy of an ASCII name, kept alive with the driver. */
std::u16string Widen(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

void SetCounted(UNICODE_STRING &counted, std::u16string &text)
{
    counted.Buffer = reinterpret_cast<PWCH>(text.data());
    counted.Length = (USHORT)(text.size() * sizeof(WCHAR));
    counted.MaximumLength = counted.Length;
}

struct LoadedDriver {
    void *module = nullptr;
    bool unloadPending = false; /* DriverUnload ran; deleted devices are still referenced */
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string serviceName;
    std::u16string driverName;
    std::u16string registryPath;
    UNICODE_STRING registryPathString{};
};

std::map<std::string, std::unique_ptr<LoadedDriver>> &Drivers()
{
    static std::map<std::string, std::unique_ptr<LoadedDriver>> drivers;
    return drivers;
}

/* Guards Drivers() and the findings: unloads finish on worker threads. */
base::SpinLock &DriversLock()
{
    static base::SpinLock lock;
    return lock;
}

/* What drivers left behind when they unloaded. */
std::vector<std::string> &UnloadFindings()
{
    static std::vector<std::string> findings;
    return findings;
}

/* Every major function a driver leaves unset completes with STATUS_INVALID_DEVICE_REQUEST. */
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

/* What keeps an unloading driver's image: its deleted devices and their references. */
std::string WhatKeeps(const LoadedDriver &driver)
{
    std::string text;
    for (PDEVICE_OBJECT device = driver.object.DeviceObject; device != nullptr; device = device->NextDevice) {
        text += text.empty() ? "" : ", ";
        text += "a deleted device still referenced by " + std::to_string(device->ReferenceCount) + " file object(s)";
    }
    return text;
}

void AuditDrivers(machine::AuditReport &report)
{
    base::SpinGuard guard(DriversLock());
    for (const auto &[name, driver] : Drivers()) {
        if (driver->unloadPending)
            report.findings.push_back("io: driver '" + name + "' waits to unload: " + WhatKeeps(*driver));
        else
            report.findings.push_back("io: driver '" + name + "' is still loaded");
    }
    for (const auto &finding : UnloadFindings())
        report.findings.push_back(finding);
}

void UnloadAll()
{
    base::SpinGuard guard(DriversLock());
    for (auto &[name, driver] : Drivers())
        if (driver->module != nullptr)
            dlclose(driver->module);
    Drivers().clear();
    UnloadFindings().clear();
}

/* The driver's last device went after its unload: its image goes (on a worker thread). */
void FinishUnload(void *context)
{
    auto *object = static_cast<PDRIVER_OBJECT>(context);
    std::unique_ptr<LoadedDriver> gone;
    {
        base::SpinGuard guard(DriversLock());
        for (auto it = Drivers().begin(); it != Drivers().end(); ++it) {
            if (&it->second->object == object) {
                gone = std::move(it->second);
                Drivers().erase(it);
                break;
            }
        }
    }
    if (gone != nullptr && gone->module != nullptr)
        dlclose(gone->module);
}

const bool registered = [] {
    machine::RegisterComponent({"drivers", machine::kOrderDrivers, nullptr, AuditDrivers, UnloadAll});
    return true;
}();

} // namespace

namespace machine {

namespace {

/* Calls a driver's entry routine with a fresh driver object; keeps the driver when it succeeds. */
int32_t StartDriver(std::unique_ptr<LoadedDriver> driver, PDRIVER_INITIALIZE entry, const std::string &serviceName)
{

    driver->serviceName = Widen(serviceName);
    driver->driverName = Widen("\\FileSystem\\" + serviceName);
    driver->registryPath = Widen(kRegistryServices + serviceName);
    SetCounted(driver->registryPathString, driver->registryPath);

    PDRIVER_OBJECT object = &driver->object;
    for (auto &routine : object->MajorFunction)
        routine = InvalidDeviceRequest;
    object->Type = IO_TYPE_DRIVER;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = &driver->extension;
    object->DriverInit = entry;
    driver->extension.DriverObject = object;
    SetCounted(driver->extension.ServiceKeyName, driver->serviceName);
    SetCounted(object->DriverName, driver->driverName);

    NTSTATUS status = entry(object, &driver->registryPathString);
    if (!NT_SUCCESS(status)) {
        std::vector<std::string> findings;
        io::AuditDriverUnload(object, &findings);
        for (auto &finding : findings)
            UnloadFindings().push_back(finding + " (after a failed start of '" + serviceName + "')");
        if (driver->module != nullptr)
            dlclose(driver->module);
        return status;
    }
    // Devices the entry routine made accept opens only once it has returned. A thread
    // the driver started meanwhile may be making devices of its own: those are its
    // to make ready, and the list is walked under the lock their insertion takes.
    {
        base::SpinGuard guard(io::DeviceListLock());
        for (PDEVICE_OBJECT device = object->DeviceObject; device != nullptr; device = device->NextDevice)
            if (io::StateOf(device)->creator == KeGetCurrentThread())
                device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    base::SpinGuard guard(DriversLock());
    Drivers()[serviceName] = std::move(driver);
    return STATUS_SUCCESS;
}

/*
 * The image's entry point, as the loader finds a driver's on Windows: in the image
 * header, not among its exports (a driver exports nothing to be started). A shared
 * object's header is the first thing mapped, at its load base.
 */
PDRIVER_INITIALIZE EntryPointOf(void *module)
{
    struct link_map *map = nullptr;
    if (dlinfo(module, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
        return nullptr;
    auto *header = reinterpret_cast<const ElfW(Ehdr) *>(map->l_addr);
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_entry == 0)
        return nullptr;
    return reinterpret_cast<PDRIVER_INITIALIZE>(map->l_addr + header->e_entry);
}

} // namespace

int32_t LoadDriver(const std::string &imagePath, const std::string &serviceName)
{
    if (IsDriverLoaded(serviceName))
        return STATUS_IMAGE_ALREADY_LOADED;
    auto driver = std::make_unique<LoadedDriver>();
    driver->module = dlopen(imagePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (driver->module == nullptr) {
        std::fprintf(stderr, "io: cannot load %s: %s\n", imagePath.c_str(), dlerror());
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    PDRIVER_INITIALIZE entry = EntryPointOf(driver->module);
    if (entry == nullptr) {
        dlclose(driver->module);
        return STATUS_DRIVER_ENTRYPOINT_NOT_FOUND;
    }
    return StartDriver(std::move(driver), entry, serviceName);
}

int32_t LoadBuiltInDriver(void *entry, const std::string &serviceName)
{
    if (IsDriverLoaded(serviceName))
        return STATUS_IMAGE_ALREADY_LOADED;
    return StartDriver(std::make_unique<LoadedDriver>(), reinterpret_cast<PDRIVER_INITIALIZE>(entry), serviceName);
}

int32_t UnloadDriver(const std::string &serviceName)
{
    LoadedDriver *driver;
    {
        base::SpinGuard guard(DriversLock());
        auto it = Drivers().find(serviceName);
        if (it == Drivers().end() || it->second->unloadPending)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        driver = it->second.get();
    }
    if (driver->object.DriverUnload == nullptr)
        return STATUS_INVALID_DEVICE_REQUEST; /* a driver without an unload routine stays */
    driver->object.Flags |= DRVO_UNLOAD_INVOKED;
    driver->object.DriverUnload(&driver->object);
    std::vector<std::string> findings;
    io::AuditDriverUnload(&driver->object, &findings);
    bool keep;
    {
        base::SpinGuard guard(DriversLock());
        for (auto &finding : findings)
            UnloadFindings().push_back(finding + " ('" + serviceName + "')");
        // Deleted devices that are still referenced keep the image; the last one to go
        // finishes the unload.
        keep = driver->object.DeviceObject != nullptr;
        driver->unloadPending = keep;
    }
    if (!keep)
        FinishUnload(&driver->object);
    return STATUS_SUCCESS;
}

bool IsDriverLoaded(const std::string &serviceName)
{
    base::SpinGuard guard(DriversLock());
    return Drivers().count(serviceName) != 0;
}

void *DriverSymbol(const std::string &serviceName, const char *symbol)
{
    base::SpinGuard guard(DriversLock());
    auto it = Drivers().find(serviceName);
    return it == Drivers().end() || it->second->module == nullptr ? nullptr : dlsym(it->second->module, symbol);
}

void *DriverObject(const std::string &serviceName)
{
    base::SpinGuard guard(DriversLock());
    auto it = Drivers().find(serviceName);
    return it == Drivers().end() ? nullptr : &it->second->object;
}

} // namespace io

namespace io {

void InitializeMachineDriver(PDRIVER_OBJECT driver, PDRIVER_EXTENSION extension, PCWSTR name,
                             PDRIVER_DISPATCH unsupported)
{
    *driver = DRIVER_OBJECT{};
    *extension = DRIVER_EXTENSION{};
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension;
    extension->DriverObject = driver;
    RtlInitUnicodeString(&driver->DriverName, name);
    for (auto &routine : driver->MajorFunction)
        routine = unsupported;
}

void DriverDeviceDeleted(PDRIVER_OBJECT object)
{
    bool finish = false;
    {
        base::SpinGuard guard(DriversLock());
        for (auto &[name, driver] : Drivers())
            if (&driver->object == object)
                finish = driver->unloadPending && object->DeviceObject == nullptr;
    }
    if (finish)
        ex::QueueSystemWork(DelayedWorkQueue, FinishUnload, object);
}

} // namespace io
