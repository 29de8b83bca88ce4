/*
 * Query, delete and database-only delete of mount points: the selection, the growth
 * protocol of the reply, what each removes; and hostile input records, which are
 * refused with nothing changed.
 */
#include "mountmgr_fixture.h"

#include <cstring>
#include <tuple>

using namespace mmtest;

namespace {

/* A volume that arrived on its suggested letter and got a second one. */
struct TwoLetterVolume {
    PDEVICE_OBJECT device;
    std::u16string name;
    Bytes id;
};

TwoLetterVolume MakeVolume(char16_t first, char16_t second)
{
    PDEVICE_OBJECT device = AddVolume(std::u16string(u"q") + first, first);
    FakeVolume &volume = VolumeOf(device);
    EXPECT_EQ(Call(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, TargetName(volume.deviceName), 0).status,
              STATUS_SUCCESS);
    if (second != 0) {
        EXPECT_EQ(
            Call(IOCTL_MOUNTMGR_CREATE_POINT, CreatePointInput(LetterLink(second), volume.deviceName), 0).status,
            STATUS_SUCCESS);
    }
    return {device, volume.deviceName, volume.uniqueId};
}

/* What the mount manager holds, to compare before and after a refused request. */
struct Snapshot {
    std::vector<std::pair<char16_t, std::u16string>> letters;
    std::vector<bool> values;
    bool operator==(const Snapshot &o) const { return std::tie(letters, values) == std::tie(o.letters, o.values); }
};

Snapshot Take()
{
    Snapshot snapshot;
    for (const auto &drive : machine::DriveLetters())
        snapshot.letters.push_back({drive.letter, drive.deviceName});
    for (char16_t letter = u'A'; letter <= u'Z'; ++letter)
        snapshot.values.push_back(ReadDatabaseValue(LetterLink(letter), nullptr));
    return snapshot;
}

} // namespace

TEST_F(MountManagerTest, QueryFollowsTheGrowthProtocolAndListsDriveLettersFirst)
{
    TwoLetterVolume v = MakeVolume(u'R', u'V');

    // By link: one point, after one overflow.
    bool grew = false;
    Reply byLink = CallGrowing(IOCTL_MOUNTMGR_QUERY_POINTS, MountPoint(LetterLink(u'V'), {}, u""), &grew);
    ASSERT_EQ(byLink.status, STATUS_SUCCESS);
    EXPECT_TRUE(grew);
    std::vector<Point> points = ParsePoints(byLink.output);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].link, LetterLink(u'V'));
    EXPECT_EQ(points[0].uniqueId, v.id);
    EXPECT_EQ(points[0].deviceName, v.name);
    ULONG size;
    std::memcpy(&size, byLink.output.data(), sizeof(size));
    EXPECT_EQ(byLink.information, size);

    // "\??\V:" names the same link.
    EXPECT_EQ(CallGrowing(IOCTL_MOUNTMGR_QUERY_POINTS, MountPoint(u"\\??\\V:", {}, u"")).status, STATUS_SUCCESS);

    // By device name (and by unique ID): every link, drive letters first (the arrival's
    // first), the volume name, made before them, last.
    for (const Bytes &input : {MountPoint(u"", {}, v.name), MountPoint(u"", v.id, u"")}) {
        Reply all = CallGrowing(IOCTL_MOUNTMGR_QUERY_POINTS, input);
        ASSERT_EQ(all.status, STATUS_SUCCESS);
        points = ParsePoints(all.output);
        ASSERT_EQ(points.size(), 3u);
        EXPECT_EQ(points[0].link, LetterLink(u'R'));
        EXPECT_EQ(points[1].link, LetterLink(u'V'));
        EXPECT_TRUE(IsVolumeName(points[2].link));
    }

    EXPECT_EQ(Call(IOCTL_MOUNTMGR_QUERY_POINTS, MountPoint(LetterLink(u'Q'), {}, u""), 4096).status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Call(IOCTL_MOUNTMGR_QUERY_POINTS, MountPoint(u"", {}, u"\\Device\\Unknown"), 4096).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_MOUNTMGR_QUERY_POINTS, MountPoint(LetterLink(u'R'), {}, u""),
                   sizeof(MOUNTMGR_MOUNT_POINTS) - 1)
                  .status,
              STATUS_INVALID_PARAMETER);
}

TEST_F(MountManagerTest, DeleteRemovesLinkAndValueOnlyOnceTheReplyFits)
{
    TwoLetterVolume v = MakeVolume(u'R', u'V');
    FakeVolume &volume = VolumeOf(v.device);

    // The overflowing first call deletes nothing.
    Reply first = Call(IOCTL_MOUNTMGR_DELETE_POINTS, MountPoint(LetterLink(u'R'), {}, u""), 32);
    ASSERT_EQ(first.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(first.information, sizeof(ULONG));
    EXPECT_EQ(OpenLetter(u'R'), STATUS_SUCCESS);
    EXPECT_TRUE(volume.deleted.empty());

    Reply deleted = CallGrowing(IOCTL_MOUNTMGR_DELETE_POINTS, MountPoint(LetterLink(u'R'), {}, u""));
    ASSERT_EQ(deleted.status, STATUS_SUCCESS);
    std::vector<Point> points = ParsePoints(deleted.output);
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].link, LetterLink(u'R'));
    EXPECT_EQ(OpenLetter(u'R'), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(ReadDatabaseValue(LetterLink(u'R'), nullptr));
    EXPECT_EQ(volume.deleted, std::vector<std::u16string>{LetterLink(u'R')});

    // The other letter stays, now first for the device.
    Reply rest = CallGrowing(IOCTL_MOUNTMGR_QUERY_POINTS, MountPoint(u"", {}, v.name));
    ASSERT_EQ(rest.status, STATUS_SUCCESS);
    points = ParsePoints(rest.output);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_EQ(points[0].link, LetterLink(u'V'));
    EXPECT_TRUE(ReadDatabaseValue(LetterLink(u'V'), nullptr));

    // Deleting by device name and unique ID forgets the volume once its links are gone.
    ASSERT_EQ(CallGrowing(IOCTL_MOUNTMGR_DELETE_POINTS, MountPoint(u"", v.id, v.name)).status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_MOUNTMGR_QUERY_POINTS, MountPoint(u"", {}, v.name), 4096).status, STATUS_INVALID_PARAMETER);
}

TEST_F(MountManagerTest, DatabaseOnlyDeleteLeavesTheLinks)
{
    TwoLetterVolume v = MakeVolume(u'R', u'V');
    ASSERT_EQ(SetDatabaseValue(u"\\DosDevices\\K:", v.id), STATUS_SUCCESS); /* a stale value of the same ID */

    Reply reply = CallGrowing(IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY, MountPoint(u"", v.id, u""));
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(ParsePoints(reply.output).size(), 4u); /* K:, R:, V: and the volume name */
    for (char16_t letter : {u'K', u'R', u'V'})
        EXPECT_FALSE(ReadDatabaseValue(LetterLink(letter), nullptr)) << (char)letter;
    EXPECT_EQ(OpenLetter(u'R'), STATUS_SUCCESS);
    EXPECT_EQ(OpenLetter(u'V'), STATUS_SUCCESS);
    EXPECT_TRUE(VolumeOf(v.device).deleted.empty());

    // The database decides the next arrival: with the values gone the suggestion wins again.
    ASSERT_EQ(CallGrowing(IOCTL_MOUNTMGR_DELETE_POINTS, MountPoint(u"", v.id, v.name)).status, STATUS_SUCCESS);
    ASSERT_EQ(SetDatabaseValue(LetterLink(u'M'), v.id), STATUS_SUCCESS);
    ASSERT_EQ(Call(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, TargetName(v.name), 0).status, STATUS_SUCCESS);
    EXPECT_EQ(OpenLetter(u'M'), STATUS_SUCCESS);
    EXPECT_EQ(OpenLetter(u'R'), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(MountManagerTest, HostileRecordsAreRefusedWithNothingChanged)
{
    TwoLetterVolume v = MakeVolume(u'R', 0);
    Snapshot before = Take();

    // Mount-point records with each field bent out of shape, for every request that reads one.
    std::vector<Bytes> points;
    Bytes good = MountPoint(LetterLink(u'R'), v.id, v.name);
    auto bent = [&](size_t fieldOffset, const void *value, size_t size) {
        Bytes bytes = good;
        std::memcpy(bytes.data() + fieldOffset, value, size);
        points.push_back(bytes);
    };
    ULONG huge = 0xFFFFFFFF, past = (ULONG)good.size() - 1;
    USHORT odd = 3, tooLong = 0xFFFE;
    for (size_t offsetField : {FIELD_OFFSET(MOUNTMGR_MOUNT_POINT, SymbolicLinkNameOffset),
                               FIELD_OFFSET(MOUNTMGR_MOUNT_POINT, UniqueIdOffset),
                               FIELD_OFFSET(MOUNTMGR_MOUNT_POINT, DeviceNameOffset)}) {
        bent(offsetField, &huge, sizeof(huge));
        bent(offsetField, &past, sizeof(past));
        bent(offsetField + sizeof(ULONG), &tooLong, sizeof(tooLong));
    }
    bent(FIELD_OFFSET(MOUNTMGR_MOUNT_POINT, SymbolicLinkNameLength), &odd, sizeof(odd));
    bent(FIELD_OFFSET(MOUNTMGR_MOUNT_POINT, DeviceNameLength), &odd, sizeof(odd));
    points.push_back(Bytes(good.begin(), good.begin() + sizeof(MOUNTMGR_MOUNT_POINT) - 1));
    for (const auto &input : points)
        for (ULONG code : {IOCTL_MOUNTMGR_QUERY_POINTS, IOCTL_MOUNTMGR_DELETE_POINTS,
                           IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY})
            EXPECT_EQ(Call(code, input, 4096).status, STATUS_INVALID_PARAMETER) << std::hex << code;

    // Create-point records: offsets past the end, odd lengths, empty names, a link that is no letter.
    Bytes create = CreatePointInput(LetterLink(u'V'), v.name);
    std::vector<Bytes> creates;
    for (size_t field = 0; field < 4; ++field) {
        bool isLength = field % 2 == 1;
        for (USHORT value : {(USHORT)0xFFFF, (USHORT)create.size(), (USHORT)(isLength ? 0 : 0xFFFF)}) {
            Bytes bytes = create;
            std::memcpy(bytes.data() + field * sizeof(USHORT), &value, sizeof(value));
            creates.push_back(bytes);
        }
    }
    creates.push_back(CreatePointInput(u"\\DosDevices\\v:", v.name));
    creates.push_back(CreatePointInput(u"\\DosDevices\\VV", v.name));
    creates.push_back(CreatePointInput(u"\\Device\\Other", v.name));
    creates.push_back(Bytes(create.begin(), create.begin() + 7));
    for (const auto &input : creates)
        EXPECT_EQ(Call(IOCTL_MOUNTMGR_CREATE_POINT, input, 0).status, STATUS_INVALID_PARAMETER);

    // Target names: empty, odd, longer than the buffer.
    Bytes target = TargetName(v.name);
    for (USHORT length : {(USHORT)0, (USHORT)3, (USHORT)(target.size() - 1)}) {
        Bytes bytes = target;
        std::memcpy(bytes.data(), &length, sizeof(length));
        EXPECT_EQ(Call(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, bytes, 0).status, STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(Call(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, Bytes(1, 0), 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_MOUNTMGR_QUERY_DOS_VOLUME_PATH, good, 4096).status, STATUS_INVALID_DEVICE_REQUEST);

    EXPECT_EQ(Take(), before);
    EXPECT_EQ(VolumeOf(v.device).created.size(), 2u);
    EXPECT_TRUE(VolumeOf(v.device).deleted.empty());
}
