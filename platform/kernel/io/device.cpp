/*
 * Device objects. A device's memory holds, in order, the DEVICE_OBJECT, the
 * driver's extension, the DEVOBJ_EXTENSION and the stand-in's own DeviceState.
 * A named device is entered in the object namespace; deleting it takes the name
 * away at once, while the object lives until its last reference (open files) goes.
 */
#include "io/internal.h"

#include "base/spin.h"

#include "ke/dispatcher.h"
#include "ob/namespace.h"
#include "se/security.h"

#include <wdmsec.h>

#include "machine.h"

#include <km/bugcheck.h>
#include <km/list.h>

#include <cstring>

namespace io {

/* Guards the drivers' device lists and the device stacks. */
base::SpinLock &DeviceListLock()
{
    static base::SpinLock lock;
    return lock;
}

namespace {

constexpr ULONG kVpbTag = POOL_TAG('V', 'p', 'b', ' ');
constexpr ULONG kDescriptorTag = POOL_TAG('I', 'o', 'S', 'd');

/* Devices of these types get a volume parameter block, as on Windows. */
bool NeedsVpb(DEVICE_TYPE type)
{
    return type == FILE_DEVICE_DISK || type == FILE_DEVICE_CD_ROM || type == FILE_DEVICE_VIRTUAL_DISK ||
           type == 0x1F /* FILE_DEVICE_TAPE */;
}

/* The descriptor a device gets when its creator names none. */
const WCHAR kDefaultDeviceSddl[] = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGWGX;;;WD)(A;;GRGX;;;RC)";

size_t ExtensionOffset()
{
    return (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
}

size_t DevobjExtensionOffset(ULONG extensionSize)
{
    return (ExtensionOffset() + extensionSize + 15) & ~size_t(15);
}

size_t StateOffset(ULONG extensionSize)
{
    return (DevobjExtensionOffset(extensionSize) + sizeof(DEVOBJ_EXTENSION) + 15) & ~size_t(15);
}

void UnlinkFromDriver(PDEVICE_OBJECT device)
{
    base::SpinGuard guard(DeviceListLock());
    PDRIVER_OBJECT driver = device->DriverObject;
    if (driver == nullptr)
        return;
    for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            device->NextDevice = nullptr;
            return;
        }
    }
}

/*
 * The last reference to a device is gone. A deleted device stays on its driver's
 * list until now, as on Windows; its going may let an unloading driver's image go.
 */
void DeleteDevice(void *body)
{
    auto *device = static_cast<PDEVICE_OBJECT>(body);
    DeviceState *state = StateOf(device);
    PDRIVER_OBJECT driver = device->DriverObject;
    UnlinkFromDriver(device);
    if (state->descriptor != nullptr && state->machineOwned)
        delete[] static_cast<unsigned char *>(state->descriptor);
    else if (state->descriptor != nullptr)
        ExFreePoolWithTag(state->descriptor, kDescriptorTag);
    // The VPB the device points at now (a spare its file system swapped in, perhaps)
    // goes with it; one that file objects still count stays theirs.
    if (device->Vpb != nullptr && device->Vpb->ReferenceCount == 0)
        ExFreePool(device->Vpb);
    bool deleted = state->deletePending;
    state->~DeviceState();
    if (deleted && driver != nullptr)
        DriverDeviceDeleted(driver);
}

ob::ObjectType deviceType = {"Device", POOL_TAG('D', 'e', 'v', 'i'),
                             {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS},
                             FILE_ALL_ACCESS, DeleteDevice, nullptr};
POBJECT_TYPE deviceTypePointer = reinterpret_cast<POBJECT_TYPE>(&deviceType);

} // namespace

DeviceState *StateOf(PDEVICE_OBJECT device)
{
    auto *devobj = device->DeviceObjectExtension;
    return reinterpret_cast<DeviceState *>(reinterpret_cast<unsigned char *>(devobj) +
                                           ((sizeof(DEVOBJ_EXTENSION) + 15) & ~size_t(15)));
}

ob::ObjectType *DeviceType()
{
    return &deviceType;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    base::SpinGuard guard(DeviceListLock());
    while (device->AttachedDevice != nullptr)
        device = device->AttachedDevice;
    return device;
}

bool AcceptsOpens(PDEVICE_OBJECT device)
{
    return !(device->Flags & DO_DEVICE_INITIALIZING) && !StateOf(device)->deletePending;
}

} // namespace io

extern "C" {

NTKERNELAPI POBJECT_TYPE *IoDeviceObjectType = &io::deviceTypePointer;

} // extern "C"

namespace io {

/*
 * The body of IoCreateDevice. A machine-owned device (the stand-in's own drivers'
 * devices, made at boot) lives in host memory and is no audit finding; it may not be
 * of a type that gets a VPB.
 */
NTSTATUS CreateDeviceObject(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                            DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                            bool machineOwned, PDEVICE_OBJECT *DeviceObject)
{
    *DeviceObject = nullptr;
    if (machineOwned && NeedsVpb(DeviceType))
        return STATUS_INVALID_PARAMETER;
    size_t total = StateOffset(DeviceExtensionSize) + sizeof(DeviceState);
    uint32_t objectFlags = machineOwned ? ob::kHostMemory | ob::kBootObject : 0;
    auto *device = static_cast<PDEVICE_OBJECT>(ob::CreateObject(&deviceType, total, objectFlags));
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto *bytes = reinterpret_cast<unsigned char *>(device);
    auto *devobj = reinterpret_cast<PDEVOBJ_EXTENSION>(bytes + DevobjExtensionOffset(DeviceExtensionSize));
    device->DeviceObjectExtension = devobj;
    new (StateOf(device)) DeviceState();
    StateOf(device)->machineOwned = machineOwned;
    StateOf(device)->creator = KeGetCurrentThread();

    device->Type = IO_TYPE_DEVICE;
    device->Size = (USHORT)(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (DeviceName != nullptr ? DO_DEVICE_HAS_NAME : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize != 0 ? bytes + ExtensionOffset() : nullptr;
    device->SectorSize = (DeviceType == FILE_DEVICE_DISK || DeviceType == FILE_DEVICE_DISK_FILE_SYSTEM) ? 512 : 0;
    InitializeListHead(&device->Queue.ListEntry);
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    devobj->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
    devobj->Size = sizeof(DEVOBJ_EXTENSION);
    devobj->DeviceObject = device;

    NTSTATUS status = STATUS_SUCCESS;
    if (NeedsVpb(DeviceType)) {
        auto *vpb = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VPB), kVpbTag));
        if (vpb == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            memset(vpb, 0, sizeof(*vpb));
            vpb->Type = IO_TYPE_VPB;
            vpb->Size = sizeof(VPB);
            vpb->RealDevice = device;
            device->Vpb = vpb;
        }
    }
    if (NT_SUCCESS(status)) {
        ULONG length = 0;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        status = se::SecurityDescriptorFromSddl(kDefaultDeviceSddl, NonPagedPoolNx, kDescriptorTag, &descriptor,
                                                &length);
        if (NT_SUCCESS(status) && machineOwned) {
            // The machine's own copy, outside the pool the drivers' audits count.
            auto *copy = new unsigned char[length];
            memcpy(copy, descriptor, length);
            ExFreePoolWithTag(descriptor, kDescriptorTag);
            descriptor = copy;
        }
        StateOf(device)->descriptor = descriptor;
        device->SecurityDescriptor = descriptor;
    }
    if (NT_SUCCESS(status) && DeviceName != nullptr)
        status = ob::InsertNamedObject(device, ob::FromCounted(DeviceName));
    if (!NT_SUCCESS(status)) {
        device->DriverObject = nullptr; /* never on the driver's list */
        ob::Dereference(device);
        return status;
    }
    {
        base::SpinGuard guard(DeviceListLock());
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

} // namespace io

extern "C" {

NTKERNELAPI NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PDEVICE_OBJECT *DeviceObject)
{
    ke::CheckIrql((const void *)&IoCreateDevice, PASSIVE_LEVEL);
    *DeviceObject = nullptr;
    if (machine::ShouldFail("IoCreateDevice"))
        return STATUS_INSUFFICIENT_RESOURCES;
    return io::CreateDeviceObject(DriverObject, DeviceExtensionSize, DeviceName, DeviceType, DeviceCharacteristics,
                                  Exclusive, false, DeviceObject);
}

NTKERNELAPI NTSTATUS NTAPI IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                                PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                                ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                                PCUNICODE_STRING DefaultSDDLString, LPCGUID DeviceClassGuid,
                                                PDEVICE_OBJECT *DeviceObject)
{
    (void)DeviceClassGuid;
    ke::CheckIrql((const void *)&IoCreateDeviceSecure, PASSIVE_LEVEL);
    std::u16string sddl = ob::FromCounted(DefaultSDDLString);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG length = 0;
    NTSTATUS status = se::SecurityDescriptorFromSddl(reinterpret_cast<PCWSTR>(sddl.c_str()), NonPagedPoolNx,
                                                     io::kDescriptorTag, &descriptor, &length);
    if (!NT_SUCCESS(status))
        return STATUS_INVALID_PARAMETER;
    status = IoCreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType, DeviceCharacteristics,
                            Exclusive, DeviceObject);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(descriptor, io::kDescriptorTag);
        return status;
    }
    io::DeviceState *state = io::StateOf(*DeviceObject);
    ExFreePoolWithTag(state->descriptor, io::kDescriptorTag);
    state->descriptor = descriptor;
    (*DeviceObject)->SecurityDescriptor = descriptor;
    return STATUS_SUCCESS;
}

NTKERNELAPI VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    ke::CheckIrql((const void *)&IoDeleteDevice, PASSIVE_LEVEL);
    io::DeviceState *state = io::StateOf(DeviceObject);
    if (state->deletePending)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x04, (ULONG_PTR)DeviceObject, 0, 0);
    state->deletePending = true;
    ob::RemoveNamedObject(DeviceObject);
    ob::Dereference(DeviceObject); /* the creation reference; open files keep it until they close */
}

NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT lower = DeviceObject->DeviceObjectExtension->AttachedTo;
    if (lower != nullptr)
        ob::Reference(lower);
    return lower;
}

NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_OBJECT top = io::TopOfStack(DeviceObject);
    ob::Reference(top);
    return top;
}

NTKERNELAPI PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject)
{
    return io::TopOfStack(DeviceObject);
}

/*
 * Puts a device on top of another's stack: requests for the stack reach it first. It
 * takes the stack's size plus one location, its alignment and sector size, and a
 * reference on the device it lies on (IoDetachDevice drops it). A stack whose top is
 * being deleted takes nothing: null.
 */
NTKERNELAPI PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    ke::CheckIrql((const void *)&IoAttachDeviceToDeviceStack, DISPATCH_LEVEL);
    base::SpinGuard guard(io::DeviceListLock());
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    if (io::StateOf(top)->deletePending || (top->Flags & DO_DEVICE_INITIALIZING && top != TargetDevice))
        return nullptr;
    ob::Reference(top);
    top->AttachedDevice = SourceDevice;
    SourceDevice->DeviceObjectExtension->AttachedTo = top;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

NTKERNELAPI VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    {
        base::SpinGuard guard(io::DeviceListLock());
        PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
        if (attached == nullptr)
            return;
        attached->DeviceObjectExtension->AttachedTo = nullptr;
        TargetDevice->AttachedDevice = nullptr;
    }
    ob::Dereference(TargetDevice);
}

} // extern "C"
