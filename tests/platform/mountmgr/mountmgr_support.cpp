/*
 * The fake volume driver and the request builders of the mount manager's tests.
 */
#include "mountmgr_fixture.h"

#include <cstring>
#include <new>

namespace mmtest {
namespace {

PDRIVER_OBJECT TheDriver()
{
    return static_cast<PDRIVER_OBJECT>(machine::DriverObject("mmvol"));
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* A counted reply: the length at lengthOffset, the bytes at dataOffset; overflow carries the header. */
NTSTATUS ReplyCounted(PIRP irp, ULONG outputLength, ULONG lengthOffset, ULONG dataOffset, const void *data,
                      USHORT length, UCHAR firstByte = 0)
{
    auto *out = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    if (outputLength < dataOffset)
        return Complete(irp, STATUS_INVALID_PARAMETER);
    std::memset(out, 0, dataOffset);
    out[0] = firstByte;
    std::memcpy(out + lengthOffset, &length, sizeof(length));
    if (outputLength < dataOffset + (ULONG)length)
        return Complete(irp, STATUS_BUFFER_OVERFLOW, dataOffset);
    std::memcpy(out + dataOffset, data, length);
    return Complete(irp, STATUS_SUCCESS, dataOffset + length);
}

std::u16string NameFromInput(PIRP irp, ULONG inputLength)
{
    auto *in = static_cast<const UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    USHORT length = 0;
    if (inputLength >= sizeof(USHORT))
        std::memcpy(&length, in, sizeof(length));
    if (inputLength < sizeof(USHORT) + (ULONG)length)
        return u"?";
    std::u16string name(length / 2, u'\0');
    std::memcpy(name.data(), in + sizeof(USHORT), length & ~1u);
    return name;
}

NTSTATUS NTAPI FakeCreateCleanup(PDEVICE_OBJECT, PIRP irp)
{
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI FakeClose(PDEVICE_OBJECT device, PIRP irp)
{
    VolumeOf(device).closes++;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI FakeDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    FakeVolume &volume = VolumeOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOUNTDEV_QUERY_DEVICE_NAME:
        return ReplyCounted(irp, out, 0, 2, volume.deviceName.data(), (USHORT)(volume.deviceName.size() * 2));
    case IOCTL_MOUNTDEV_QUERY_UNIQUE_ID:
        if (volume.uniqueIdStatus != STATUS_SUCCESS)
            return Complete(irp, volume.uniqueIdStatus);
        return ReplyCounted(irp, out, 0, 2, volume.uniqueId.data(), (USHORT)volume.uniqueId.size());
    case IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME: {
        if (volume.suggested == 0)
            return Complete(irp, STATUS_NOT_FOUND);
        std::u16string link = LetterLink(volume.suggested);
        return ReplyCounted(irp, out, 2, 4, link.data(), (USHORT)(link.size() * 2), 1);
    }
    case IOCTL_MOUNTDEV_QUERY_STABLE_GUID:
        return Complete(irp, STATUS_NOT_FOUND);
    case IOCTL_MOUNTDEV_LINK_CREATED:
        volume.created.push_back(NameFromInput(irp, in));
        return Complete(irp, STATUS_SUCCESS);
    case IOCTL_MOUNTDEV_LINK_DELETED:
        volume.deleted.push_back(NameFromInput(irp, in));
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

VOID NTAPI FakeUnload(PDRIVER_OBJECT driver)
{
    while (driver->DeviceObject != nullptr) {
        PDEVICE_OBJECT device = driver->DeviceObject;
        VolumeOf(device).~FakeVolume();
        IoDeleteDevice(device);
    }
}

NTSTATUS NTAPI FakeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_CREATE] = FakeCreateCleanup;
    driver->MajorFunction[IRP_MJ_CLEANUP] = FakeCreateCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = FakeClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FakeDeviceControl;
    driver->DriverUnload = FakeUnload;
    return STATUS_SUCCESS;
}

void Append(Bytes *bytes, const void *data, size_t length)
{
    auto *p = static_cast<const UCHAR *>(data);
    bytes->insert(bytes->end(), p, p + length);
}

UNICODE_STRING Counted(const std::u16string &text)
{
    UNICODE_STRING counted;
    counted.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t *>(text.data()));
    counted.Length = counted.MaximumLength = (USHORT)(text.size() * 2);
    return counted;
}

NTSTATUS OpenDatabase(HANDLE *key)
{
    std::u16string path = u"\\Registry\\Machine\\System\\MountedDevices";
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

} // namespace

NTSTATUS Load()
{
    return (NTSTATUS)machine::LoadBuiltInDriver((void *)&FakeEntry, "mmvol");
}

NTSTATUS Unload()
{
    // The volumes leave the mount manager as a volume driver's dismount makes them leave.
    for (PDEVICE_OBJECT device = TheDriver()->DeviceObject; device != nullptr; device = device->NextDevice)
        CallGrowing(IOCTL_MOUNTMGR_DELETE_POINTS, MountPoint(u"", {}, VolumeOf(device).deviceName));
    return (NTSTATUS)machine::UnloadDriver("mmvol");
}

PDEVICE_OBJECT AddVolume(const std::u16string &tag, char16_t suggested)
{
    std::u16string name = u"\\Device\\Volume{" + tag + u"}";
    UNICODE_STRING counted = Counted(name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(TheDriver(), sizeof(FakeVolume), &counted, FILE_DEVICE_DISK, 0, FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!NT_SUCCESS(status))
        return nullptr;
    auto *volume = new (device->DeviceExtension) FakeVolume();
    volume->deviceName = name;
    volume->uniqueId.assign(16, 0);
    for (size_t i = 0; i < tag.size() && i < 16; ++i)
        volume->uniqueId[i] = (UCHAR)tag[i];
    volume->suggested = suggested;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

FakeVolume &VolumeOf(PDEVICE_OBJECT device)
{
    return *static_cast<FakeVolume *>(device->DeviceExtension);
}

Reply Call(ULONG code, const Bytes &input, ULONG outputLength)
{
    Reply reply;
    std::u16string managerName = u"\\Device\\MountPointManager";
    UNICODE_STRING name = Counted(managerName);
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    reply.status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device);
    if (!NT_SUCCESS(reply.status))
        return reply;
    Bytes in = input;
    reply.output.assign(outputLength, 0xCC);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, in.empty() ? nullptr : in.data(), (ULONG)in.size(),
                                             outputLength ? reply.output.data() : nullptr, outputLength, FALSE,
                                             &event, &iosb);
    if (irp == nullptr) {
        ObDereferenceObject(file);
        reply.status = STATUS_INSUFFICIENT_RESOURCES;
        return reply;
    }
    reply.status = IoCallDriver(device, irp);
    if (reply.status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        reply.status = iosb.Status;
    }
    reply.information = iosb.Information;
    ObDereferenceObject(file);
    return reply;
}

Reply CallGrowing(ULONG code, const Bytes &input, bool *grew)
{
    Reply reply = Call(code, input, sizeof(MOUNTMGR_MOUNT_POINTS));
    if (grew != nullptr)
        *grew = reply.status == STATUS_BUFFER_OVERFLOW;
    if (reply.status != STATUS_BUFFER_OVERFLOW)
        return reply;
    EXPECT_EQ(reply.information, sizeof(ULONG));
    ULONG size;
    std::memcpy(&size, reply.output.data(), sizeof(size));
    EXPECT_GT(size, sizeof(MOUNTMGR_MOUNT_POINTS));
    return Call(code, input, size);
}

Bytes TargetName(const std::u16string &deviceName)
{
    Bytes bytes;
    USHORT length = (USHORT)(deviceName.size() * 2);
    Append(&bytes, &length, sizeof(length));
    Append(&bytes, deviceName.data(), length);
    return bytes;
}

Bytes MountPoint(const std::u16string &link, const Bytes &uniqueId, const std::u16string &deviceName)
{
    MOUNTMGR_MOUNT_POINT point{};
    Bytes strings;
    ULONG base = sizeof(point);
    if (!deviceName.empty()) {
        point.DeviceNameOffset = base + (ULONG)strings.size();
        point.DeviceNameLength = (USHORT)(deviceName.size() * 2);
        Append(&strings, deviceName.data(), point.DeviceNameLength);
    }
    if (!uniqueId.empty()) {
        point.UniqueIdOffset = base + (ULONG)strings.size();
        point.UniqueIdLength = (USHORT)uniqueId.size();
        Append(&strings, uniqueId.data(), uniqueId.size());
    }
    if (!link.empty()) {
        point.SymbolicLinkNameOffset = base + (ULONG)strings.size();
        point.SymbolicLinkNameLength = (USHORT)(link.size() * 2);
        Append(&strings, link.data(), point.SymbolicLinkNameLength);
    }
    Bytes bytes;
    Append(&bytes, &point, sizeof(point));
    bytes.insert(bytes.end(), strings.begin(), strings.end());
    return bytes;
}

Bytes CreatePointInput(const std::u16string &link, const std::u16string &deviceName)
{
    MOUNTMGR_CREATE_POINT_INPUT record{};
    record.DeviceNameOffset = sizeof(record);
    record.DeviceNameLength = (USHORT)(deviceName.size() * 2);
    record.SymbolicLinkNameOffset = (USHORT)(sizeof(record) + record.DeviceNameLength);
    record.SymbolicLinkNameLength = (USHORT)(link.size() * 2);
    Bytes bytes;
    Append(&bytes, &record, sizeof(record));
    Append(&bytes, deviceName.data(), record.DeviceNameLength);
    Append(&bytes, link.data(), record.SymbolicLinkNameLength);
    return bytes;
}

std::vector<Point> ParsePoints(const Bytes &reply)
{
    std::vector<Point> points;
    MOUNTMGR_MOUNT_POINTS header;
    if (reply.size() < sizeof(header))
        return points;
    std::memcpy(&header, reply.data(), sizeof(header));
    EXPECT_LE(header.Size, reply.size());
    for (ULONG i = 0; i < header.NumberOfMountPoints; ++i) {
        MOUNTMGR_MOUNT_POINT entry;
        size_t at = FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints) + i * sizeof(entry);
        if (at + sizeof(entry) > reply.size())
            break;
        std::memcpy(&entry, reply.data() + at, sizeof(entry));
        Point point;
        point.link.assign(entry.SymbolicLinkNameLength / 2, u'\0');
        std::memcpy(point.link.data(), reply.data() + entry.SymbolicLinkNameOffset, entry.SymbolicLinkNameLength);
        point.uniqueId.assign(reply.data() + entry.UniqueIdOffset,
                              reply.data() + entry.UniqueIdOffset + entry.UniqueIdLength);
        point.deviceName.assign(entry.DeviceNameLength / 2, u'\0');
        std::memcpy(point.deviceName.data(), reply.data() + entry.DeviceNameOffset, entry.DeviceNameLength);
        points.push_back(point);
    }
    return points;
}

NTSTATUS SetDatabaseValue(const std::u16string &name, const Bytes &data)
{
    HANDLE key;
    NTSTATUS status = OpenDatabase(&key);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING valueName = Counted(name);
    status = ZwSetValueKey(key, &valueName, 0, REG_BINARY, const_cast<UCHAR *>(data.data()), (ULONG)data.size());
    ZwClose(key);
    return status;
}

bool ReadDatabaseValue(const std::u16string &name, Bytes *data)
{
    HANDLE key;
    if (!NT_SUCCESS(OpenDatabase(&key)))
        return false;
    UNICODE_STRING valueName = Counted(name);
    UCHAR buffer[512];
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    ZwClose(key);
    if (!NT_SUCCESS(status))
        return false;
    auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (data != nullptr)
        data->assign(info->Data, info->Data + info->DataLength);
    return true;
}

void DeleteDatabaseValue(const std::u16string &name)
{
    HANDLE key;
    if (!NT_SUCCESS(OpenDatabase(&key)))
        return;
    UNICODE_STRING valueName = Counted(name);
    ZwDeleteValueKey(key, &valueName);
    ZwClose(key);
}

NTSTATUS OpenLetter(char16_t letter, std::u16string *target)
{
    return OpenLink(std::u16string(u"\\GLOBAL??\\") + letter + u":", target);
}

NTSTATUS OpenLink(const std::u16string &path, std::u16string *target)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    NTSTATUS status = ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &attributes);
    if (!NT_SUCCESS(status))
        return status;
    if (target != nullptr) {
        WCHAR buffer[256];
        UNICODE_STRING text{0, sizeof(buffer), buffer};
        ULONG length = 0;
        if (NT_SUCCESS(ZwQuerySymbolicLinkObject(handle, &text, &length)))
            target->assign(reinterpret_cast<const char16_t *>(buffer), text.Length / 2);
    }
    ZwClose(handle);
    return STATUS_SUCCESS;
}

} // namespace mmtest
