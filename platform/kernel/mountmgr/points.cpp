/*
 * Mount points: IOCTL_MOUNTMGR_QUERY_POINTS, _DELETE_POINTS, _DELETE_POINTS_DBONLY and
 * _CREATE_POINT. Input records are checked before anything is read from them: every
 * (offset, length) must lie inside the input buffer and every name must have an even
 * length, or the request fails with STATUS_INVALID_PARAMETER and nothing changes.
 *
 * A reply (MOUNTMGR_MOUNT_POINTS) that does not fit fails with STATUS_BUFFER_OVERFLOW,
 * carrying only its needed size in the first ULONG (Information = sizeof(ULONG)); the
 * caller asks again with that size. A delete builds its reply before it deletes, so an
 * overflowing delete deletes nothing and the retry finds the same points.
 */
#include "mountmgr/mountmgr.h"

#include <cstddef>
#include <cstring>

namespace mountmgr {
namespace {

/* "\??\X" names the same link as "\DosDevices\X". */
std::u16string CanonicalLink(const std::u16string &link)
{
    static const std::u16string kShort = u"\\??\\";
    if (link.compare(0, kShort.size(), kShort) == 0)
        return u"\\DosDevices\\" + link.substr(kShort.size());
    return link;
}

bool SameLink(const std::u16string &a, const std::u16string &b)
{
    return SameName(CanonicalLink(a), CanonicalLink(b));
}

/* Bytes [offset, offset + length) of the input, when they lie inside it. */
bool TakeBytes(const UCHAR *input, ULONG inputLength, ULONG offset, USHORT length, std::vector<UCHAR> *bytes)
{
    if ((ULONGLONG)offset + length > inputLength)
        return false;
    bytes->assign(input + offset, input + offset + length);
    return true;
}

bool TakeName(const UCHAR *input, ULONG inputLength, ULONG offset, USHORT length, std::u16string *name)
{
    std::vector<UCHAR> bytes;
    if (length % sizeof(WCHAR) != 0 || !TakeBytes(input, inputLength, offset, length, &bytes))
        return false;
    name->assign(length / sizeof(WCHAR), u'\0');
    std::memcpy(name->data(), bytes.data(), length);
    return true;
}

/* The selection of a MOUNTMGR_MOUNT_POINT input; STATUS_INVALID_PARAMETER when it is malformed. */
NTSTATUS ParseMountPoint(PIRP irp, PIO_STACK_LOCATION stack, PointSelection *selection)
{
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    if (inputLength < sizeof(MOUNTMGR_MOUNT_POINT) ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(MOUNTMGR_MOUNT_POINTS))
        return STATUS_INVALID_PARAMETER;
    auto *input = static_cast<const UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    MOUNTMGR_MOUNT_POINT point;
    std::memcpy(&point, input, sizeof(point));
    selection->hasLink = point.SymbolicLinkNameLength != 0;
    selection->hasId = point.UniqueIdLength != 0;
    selection->hasDevice = point.DeviceNameLength != 0;
    if ((selection->hasLink && !TakeName(input, inputLength, point.SymbolicLinkNameOffset,
                                         point.SymbolicLinkNameLength, &selection->link)) ||
        (selection->hasId &&
         !TakeBytes(input, inputLength, point.UniqueIdOffset, point.UniqueIdLength, &selection->uniqueId)) ||
        (selection->hasDevice &&
         !TakeName(input, inputLength, point.DeviceNameOffset, point.DeviceNameLength, &selection->deviceName)))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

/*
 * The points of the known volumes the selection names, drive letters first within each
 * volume. A device name or unique ID that no known volume has: STATUS_INVALID_PARAMETER;
 * a link alone that no volume holds: STATUS_OBJECT_NAME_NOT_FOUND. Device lock held.
 */
NTSTATUS SelectPoints(const PointSelection &selection, std::vector<Point> *points)
{
    bool volumeFound = false;
    for (const auto &volume : Volumes()) {
        if ((selection.hasDevice && !SameName(volume.deviceName, selection.deviceName)) ||
            (selection.hasId && volume.uniqueId != selection.uniqueId))
            continue;
        volumeFound = true;
        for (const auto &link : volume.links)
            if (!selection.hasLink || SameLink(link, selection.link))
                points->push_back({link, volume.uniqueId, volume.deviceName});
    }
    if ((selection.hasDevice || selection.hasId) && !volumeFound)
        return STATUS_INVALID_PARAMETER;
    if (selection.hasLink && points->empty())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

ULONG AlignName(ULONG offset)
{
    return (offset + 1) & ~1u;
}

/* Appends bytes at the reply's end (aligned for a name); returns their offset. */
ULONG AppendTo(std::vector<UCHAR> *reply, const void *bytes, size_t length)
{
    ULONG offset = AlignName((ULONG)reply->size());
    reply->resize(offset + length);
    if (length != 0)
        std::memcpy(reply->data() + offset, bytes, length);
    return offset;
}

/* The MOUNTMGR_MOUNT_POINTS reply for the points. */
std::vector<UCHAR> BuildReply(const std::vector<Point> &points)
{
    size_t header = FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints) + points.size() * sizeof(MOUNTMGR_MOUNT_POINT);
    std::vector<UCHAR> reply(header, 0);
    for (size_t i = 0; i < points.size(); ++i) {
        const Point &p = points[i];
        MOUNTMGR_MOUNT_POINT entry{};
        entry.SymbolicLinkNameLength = (USHORT)(p.link.size() * sizeof(WCHAR));
        entry.SymbolicLinkNameOffset = AppendTo(&reply, p.link.data(), entry.SymbolicLinkNameLength);
        entry.UniqueIdLength = (USHORT)p.uniqueId.size();
        entry.UniqueIdOffset = AppendTo(&reply, p.uniqueId.data(), entry.UniqueIdLength);
        entry.DeviceNameLength = (USHORT)(p.deviceName.size() * sizeof(WCHAR));
        entry.DeviceNameOffset = AppendTo(&reply, p.deviceName.data(), entry.DeviceNameLength);
        std::memcpy(reply.data() + FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, MountPoints) + i * sizeof(entry), &entry,
                    sizeof(entry));
    }
    ULONG size = (ULONG)reply.size();
    ULONG count = (ULONG)points.size();
    std::memcpy(reply.data() + FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, Size), &size, sizeof(size));
    std::memcpy(reply.data() + FIELD_OFFSET(MOUNTMGR_MOUNT_POINTS, NumberOfMountPoints), &count, sizeof(count));
    return reply;
}

/* Puts a reply in the output buffer, or only its size when it does not fit. */
NTSTATUS ReturnReply(PIRP irp, PIO_STACK_LOCATION stack, const std::vector<UCHAR> &reply)
{
    auto *output = static_cast<UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    ULONG size = (ULONG)reply.size();
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < size) {
        std::memcpy(output, &size, sizeof(size));
        irp->IoStatus.Information = sizeof(ULONG);
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(output, reply.data(), size);
    irp->IoStatus.Information = size;
    return STATUS_SUCCESS;
}

bool Fits(PIO_STACK_LOCATION stack, const std::vector<UCHAR> &reply)
{
    return stack->Parameters.DeviceIoControl.OutputBufferLength >= reply.size();
}

} // namespace

NTSTATUS QueryPoints(PIRP irp, PIO_STACK_LOCATION stack)
{
    PointSelection selection;
    NTSTATUS status = ParseMountPoint(irp, stack, &selection);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<Point> points;
    AcquireDeviceLock();
    status = SelectPoints(selection, &points);
    ReleaseDeviceLock(nullptr);
    if (!NT_SUCCESS(status))
        return status;
    return ReturnReply(irp, stack, BuildReply(points));
}

/*
 * DeletePoints: removes the selected points' links and database values and replies
 * with them. A volume named by device name or unique ID that is left without links is
 * forgotten. The devices hear IOCTL_MOUNTDEV_LINK_DELETED after the lock is dropped.
 */
NTSTATUS DeletePoints(PIRP irp, PIO_STACK_LOCATION stack)
{
    PointSelection selection;
    NTSTATUS status = ParseMountPoint(irp, stack, &selection);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<Point> points;
    std::vector<LetterChange> changes;
    AcquireDeviceLock();
    status = SelectPoints(selection, &points);
    std::vector<UCHAR> reply = BuildReply(points);
    if (NT_SUCCESS(status) && Fits(stack, reply)) {
        for (const auto &point : points)
            if (MountedVolume *volume = FindVolumeByDevice(point.deviceName))
                RemoveLink(volume, point.link, &changes);
        if (selection.hasDevice || selection.hasId) {
            auto &volumes = Volumes();
            for (size_t i = volumes.size(); i-- > 0;)
                if (volumes[i].links.empty() && !volumes[i].machineOwned &&
                    (!selection.hasDevice || SameName(volumes[i].deviceName, selection.deviceName)) &&
                    (!selection.hasId || volumes[i].uniqueId == selection.uniqueId))
                    volumes.erase(volumes.begin() + (std::ptrdiff_t)i);
        }
    }
    ReleaseDeviceLock(&changes);
    if (!NT_SUCCESS(status))
        return status;
    status = ReturnReply(irp, stack, reply);
    if (NT_SUCCESS(status))
        for (const auto &point : points)
            TellDeviceOfLink(point.deviceName, point.link, false);
    return status;
}

/*
 * DeletePointsDatabaseOnly: removes the MountedDevices values the selection names (by
 * link, by unique ID, or by the unique ID of a known device) and replies with them;
 * links stay. STATUS_INVALID_PARAMETER for a device name no known volume has.
 */
NTSTATUS DeletePointsDatabaseOnly(PIRP irp, PIO_STACK_LOCATION stack)
{
    PointSelection selection;
    NTSTATUS status = ParseMountPoint(irp, stack, &selection);
    if (!NT_SUCCESS(status))
        return status;
    AcquireDeviceLock();
    std::vector<UCHAR> deviceId;
    if (selection.hasDevice) {
        MountedVolume *volume = FindVolumeByDevice(selection.deviceName);
        if (volume == nullptr)
            status = STATUS_INVALID_PARAMETER;
        else
            deviceId = volume->uniqueId;
    }
    std::vector<DatabaseValue> values;
    if (NT_SUCCESS(status))
        status = ReadDatabase(&values);
    std::vector<Point> points;
    for (const auto &value : values) {
        if ((selection.hasLink && !SameLink(value.name, selection.link)) ||
            (selection.hasId && value.data != selection.uniqueId) || (selection.hasDevice && value.data != deviceId))
            continue;
        Point point{value.name, value.data, {}};
        for (const auto &volume : Volumes())
            if (volume.uniqueId == value.data)
                point.deviceName = volume.deviceName;
        points.push_back(std::move(point));
    }
    std::vector<UCHAR> reply = BuildReply(points);
    if (NT_SUCCESS(status) && Fits(stack, reply))
        for (const auto &point : points)
            DeleteDatabaseValue(point.link);
    ReleaseDeviceLock(nullptr);
    if (!NT_SUCCESS(status))
        return status;
    return ReturnReply(irp, stack, reply);
}

/*
 * CreatePoint: input MOUNTMGR_CREATE_POINT_INPUT (USHORT offsets and lengths of the
 * link and the device name). Only drive-letter links ("\DosDevices\X:", X upper case)
 * are made here. STATUS_OBJECT_NAME_NOT_FOUND for a device the mount manager does not
 * know, STATUS_OBJECT_NAME_COLLISION when the letter's link exists.
 */
NTSTATUS CreatePoint(PIRP irp, PIO_STACK_LOCATION stack)
{
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    if (inputLength < sizeof(MOUNTMGR_CREATE_POINT_INPUT))
        return STATUS_INVALID_PARAMETER;
    auto *input = static_cast<const UCHAR *>(irp->AssociatedIrp.SystemBuffer);
    MOUNTMGR_CREATE_POINT_INPUT record;
    std::memcpy(&record, input, sizeof(record));
    std::u16string link, deviceName;
    if (record.SymbolicLinkNameLength == 0 || record.DeviceNameLength == 0 ||
        !TakeName(input, inputLength, record.SymbolicLinkNameOffset, record.SymbolicLinkNameLength, &link) ||
        !TakeName(input, inputLength, record.DeviceNameOffset, record.DeviceNameLength, &deviceName))
        return STATUS_INVALID_PARAMETER;
    char16_t letter = DriveLetterOf(link);
    if (letter == 0)
        return STATUS_INVALID_PARAMETER;
    std::vector<LetterChange> changes;
    AcquireDeviceLock();
    MountedVolume *volume = FindVolumeByDevice(deviceName);
    NTSTATUS status = volume == nullptr ? STATUS_OBJECT_NAME_NOT_FOUND : AddLink(volume, DriveLetterLink(letter), &changes);
    std::u16string knownName = volume != nullptr ? volume->deviceName : std::u16string();
    ReleaseDeviceLock(&changes);
    if (NT_SUCCESS(status))
        TellDeviceOfLink(knownName, DriveLetterLink(letter), true);
    return status;
}

} // namespace mountmgr
