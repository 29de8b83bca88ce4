/*
 * A volume arrives: IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION. The mount manager opens
 * the named device, asks it who it is (IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, _UNIQUE_ID,
 * _SUGGESTED_LINK_NAME, _STABLE_GUID, each retried once with the size the device
 * reported when the first answer overflowed), and gives it a drive letter, in this
 * order of preference:
 *   1. the letter whose "\DosDevices\X:" database value holds its unique ID;
 *   2. its suggested link name, when that is a drive letter;
 *   3. the next letter from C: on, as Windows' automatic assignment does;
 * each only when no \GLOBAL??\X: link exists. Before the letter it gets its volume name,
 * "\??\Volume{GUID}": the one the database holds for its unique ID, else from its stable
 * GUID, else a new one. A volume already known keeps what it has. The device then hears
 * IOCTL_MOUNTDEV_LINK_CREATED for each new link.
 */
#include "mountmgr/mountmgr.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace mountmgr {
namespace {

/* What a device says about itself. */
struct DeviceIdentity {
    std::u16string deviceName;
    std::vector<UCHAR> uniqueId;
    std::u16string suggestedLink;  /* empty when it suggests none */
    bool hasStableGuid = false;
    GUID stableGuid{};
};

const char16_t kVolumeNamePrefix[] = u"\\??\\Volume{";

/*
 * Sends one device control to the device (buffered, through its file object) and waits
 * for it. *information = the bytes it returned.
 */
NTSTATUS SendToDevice(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code, PVOID input, ULONG inputLength,
                      PVOID output, ULONG outputLength, ULONG_PTR *information)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, FALSE, &event,
                                             &iosb);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (information != nullptr)
        *information = NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW ? iosb.Information : 0;
    return status;
}

/*
 * A query whose reply starts with a USHORT length at lengthOffset (the bytes that
 * follow at dataOffset): a reply of the fixed size first, then, on
 * STATUS_BUFFER_OVERFLOW, one of the size the device reported. A reply that claims
 * more than it returned is STATUS_INVALID_DEVICE_STATE.
 */
NTSTATUS QueryCounted(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code, ULONG lengthOffset, ULONG dataOffset,
                      std::vector<UCHAR> *data)
{
    std::vector<UCHAR> reply(dataOffset + sizeof(WCHAR), 0);
    ULONG_PTR returned = 0;
    NTSTATUS status = SendToDevice(device, file, code, nullptr, 0, reply.data(), (ULONG)reply.size(), &returned);
    if (status == STATUS_BUFFER_OVERFLOW) {
        if (returned < lengthOffset + sizeof(USHORT))
            return STATUS_INVALID_DEVICE_STATE;
        USHORT needed;
        std::memcpy(&needed, reply.data() + lengthOffset, sizeof(needed));
        reply.assign(dataOffset + needed, 0);
        status = SendToDevice(device, file, code, nullptr, 0, reply.data(), (ULONG)reply.size(), &returned);
    }
    if (!NT_SUCCESS(status))
        return status;
    USHORT length;
    if (returned < lengthOffset + sizeof(USHORT))
        return STATUS_INVALID_DEVICE_STATE;
    std::memcpy(&length, reply.data() + lengthOffset, sizeof(length));
    if ((ULONG_PTR)dataOffset + length > returned || (ULONG_PTR)dataOffset + length > reply.size())
        return STATUS_INVALID_DEVICE_STATE;
    data->assign(reply.data() + dataOffset, reply.data() + dataOffset + length);
    return STATUS_SUCCESS;
}

std::u16string AsName(const std::vector<UCHAR> &bytes)
{
    std::u16string name(bytes.size() / sizeof(WCHAR), u'\0');
    std::memcpy(name.data(), bytes.data(), name.size() * sizeof(WCHAR));
    return name;
}

/* The device's identity. Its name and unique ID must come; the rest may fail. */
NTSTATUS QueryIdentity(PDEVICE_OBJECT device, PFILE_OBJECT file, DeviceIdentity *identity)
{
    std::vector<UCHAR> bytes;
    NTSTATUS status = QueryCounted(device, file, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, 0,
                                   FIELD_OFFSET(MOUNTDEV_NAME, Name), &bytes);
    if (!NT_SUCCESS(status))
        return status;
    if (bytes.empty() || bytes.size() % sizeof(WCHAR) != 0)
        return STATUS_INVALID_DEVICE_STATE;
    identity->deviceName = AsName(bytes);
    status = QueryCounted(device, file, IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, 0, FIELD_OFFSET(MOUNTDEV_UNIQUE_ID, UniqueId),
                          &identity->uniqueId);
    if (!NT_SUCCESS(status))
        return status;
    if (identity->uniqueId.empty())
        return STATUS_INVALID_DEVICE_STATE;
    if (NT_SUCCESS(QueryCounted(device, file, IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME,
                                FIELD_OFFSET(MOUNTDEV_SUGGESTED_LINK_NAME, NameLength),
                                FIELD_OFFSET(MOUNTDEV_SUGGESTED_LINK_NAME, Name), &bytes)) &&
        bytes.size() % sizeof(WCHAR) == 0)
        identity->suggestedLink = AsName(bytes);
    ULONG_PTR returned = 0;
    identity->hasStableGuid = NT_SUCCESS(SendToDevice(device, file, IOCTL_MOUNTDEV_QUERY_STABLE_GUID, nullptr, 0,
                                                      &identity->stableGuid, sizeof(GUID), &returned)) &&
                              returned >= sizeof(GUID);
    return STATUS_SUCCESS;
}

bool IsVolumeName(const std::u16string &link)
{
    return link.compare(0, std::char_traits<char16_t>::length(kVolumeNamePrefix), kVolumeNamePrefix) == 0;
}

/*
 * The volume's "\??\Volume{GUID}" name: the one the database holds for its unique ID,
 * else one from its stable GUID, else a new GUID. Device lock held.
 */
NTSTATUS VolumeNameFor(const DeviceIdentity &identity, const std::vector<DatabaseValue> &values,
                       std::u16string *name)
{
    for (const auto &value : values) {
        if (IsVolumeName(value.name) && value.data == identity.uniqueId) {
            *name = value.name;
            return STATUS_SUCCESS;
        }
    }
    GUID guid = identity.stableGuid;
    if (!identity.hasStableGuid) {
        NTSTATUS status = ExUuidCreate(&guid);
        if (!NT_SUCCESS(status))
            return status;
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)guid.Data1,
                  guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    *name = kVolumeNamePrefix;
    for (const char *p = text; *p != 0; ++p)
        *name += (char16_t)*p;
    return STATUS_SUCCESS;
}

/* The letter a volume gets now (0: none is free). Device lock held. */
char16_t ChooseLetter(const DeviceIdentity &identity, const std::vector<DatabaseValue> &values)
{
    char16_t best = 0;
    for (const auto &value : values) {
        char16_t letter = DriveLetterOf(value.name);
        if (letter != 0 && value.data == identity.uniqueId && !LetterTaken(letter) && (best == 0 || letter < best))
            best = letter;
    }
    if (best != 0)
        return best;
    char16_t suggested = DriveLetterOf(identity.suggestedLink);
    if (suggested != 0 && !LetterTaken(suggested))
        return suggested;
    for (char16_t letter = u'C'; letter <= u'Z'; ++letter)
        if (!LetterTaken(letter))
            return letter;
    return 0;
}

} // namespace

void TellDeviceOfLink(const std::u16string &deviceName, const std::u16string &link, bool created)
{
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t *>(deviceName.data()));
    name.Length = name.MaximumLength = (USHORT)(deviceName.size() * sizeof(WCHAR));
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device)))
        return; /* the device is gone: nobody to tell */
    std::vector<UCHAR> input(FIELD_OFFSET(MOUNTDEV_NAME, Name) + link.size() * sizeof(WCHAR));
    USHORT length = (USHORT)(link.size() * sizeof(WCHAR));
    std::memcpy(input.data(), &length, sizeof(length));
    std::memcpy(input.data() + FIELD_OFFSET(MOUNTDEV_NAME, Name), link.data(), length);
    SendToDevice(device, file, created ? IOCTL_MOUNTDEV_LINK_CREATED : IOCTL_MOUNTDEV_LINK_DELETED, input.data(),
                 (ULONG)input.size(), nullptr, 0, nullptr);
    ObDereferenceObject(file);
}

/*
 * VolumeArrival: input MOUNTMGR_TARGET_NAME (a USHORT byte length, then the name).
 * Queries the device without the lock (it may take its own locks), then chooses and
 * makes the letter under it. Returns the open's or a query's failure, or success (a
 * volume no letter is left for is known without one).
 */
NTSTATUS VolumeArrival(PIRP irp, PIO_STACK_LOCATION stack)
{
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    auto *input = static_cast<const UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    USHORT nameLength = 0;
    if (inputLength >= sizeof(USHORT))
        std::memcpy(&nameLength, input, sizeof(nameLength));
    if (inputLength < sizeof(USHORT) || nameLength == 0 || nameLength % sizeof(WCHAR) != 0 ||
        FIELD_OFFSET(MOUNTMGR_TARGET_NAME, DeviceName) + (ULONG)nameLength > inputLength)
        return STATUS_INVALID_PARAMETER;
    std::u16string target(nameLength / sizeof(WCHAR), u'\0');
    std::memcpy(target.data(), input + FIELD_OFFSET(MOUNTMGR_TARGET_NAME, DeviceName), nameLength);

    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(target.data());
    name.Length = name.MaximumLength = nameLength;
    PFILE_OBJECT file;
    PDEVICE_OBJECT device;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device);
    if (!NT_SUCCESS(status))
        return status;
    DeviceIdentity identity;
    status = QueryIdentity(device, file, &identity);
    ObDereferenceObject(file);
    if (!NT_SUCCESS(status))
        return status;

    std::vector<LetterChange> changes;
    std::u16string newLink;
    AcquireDeviceLock();
    MountedVolume *volume = FindVolumeByDevice(identity.deviceName);
    bool known = volume != nullptr;
    if (!known) {
        Volumes().push_back(MountedVolume{identity.deviceName, identity.uniqueId, {}, false});
        volume = &Volumes().back();
    }
    volume->uniqueId = identity.uniqueId;
    bool hasLetter = false, hasName = false;
    for (const auto &link : volume->links) {
        hasLetter |= DriveLetterOf(link) != 0;
        hasName |= IsVolumeName(link);
    }
    std::vector<DatabaseValue> values;
    ReadDatabase(&values); /* an unreadable database holds nothing */
    // The volume name first, then the letter, as Windows makes them; a failure undoes both.
    std::u16string volumeName;
    if (!hasName)
        status = VolumeNameFor(identity, values, &volumeName);
    if (NT_SUCCESS(status) && !hasName)
        status = AddLink(volume, volumeName, &changes);
    bool madeName = NT_SUCCESS(status) && !hasName;
    char16_t letter = NT_SUCCESS(status) && !hasLetter ? ChooseLetter(identity, values) : 0;
    if (letter != 0)
        status = AddLink(volume, DriveLetterLink(letter), &changes);
    if (NT_SUCCESS(status) && letter != 0)
        newLink = DriveLetterLink(letter);
    if (!NT_SUCCESS(status) && madeName)
        RemoveLink(volume, volumeName, nullptr);
    if (!NT_SUCCESS(status) && !known)
        Volumes().pop_back();
    ReleaseDeviceLock(&changes);
    if (madeName && NT_SUCCESS(status))
        TellDeviceOfLink(identity.deviceName, volumeName, true);
    if (!newLink.empty())
        TellDeviceOfLink(identity.deviceName, newLink, true);
    return status;
}

} // namespace mountmgr
