/*
 * A volume's disk device as the mount manager and programs see it: the
 * mount-device and disk queries, the letter it is given and the MountedDevices
 * values it leaves (none, once it is gone).
 */
#include "volume_test.h"

#include <regex>

namespace {

bool LinkExists(const char *path)
{
    support::Name name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE link;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &oa)))
        return false;
    ZwClose(link);
    return true;
}

/* The disk's length and cylinders (of 1 MiB) follow the volume's size, a resize at once; short buffers are refused. */
TEST_F(VolumeTest, LengthAndGeometryFollowTheSize)
{
    ASSERT_EQ(Create('F', 4 * kMiB), STATUS_SUCCESS);
    for (ULONGLONG size : {4 * kMiB, 7 * kMiB + 5, 1024 * kMiB}) {
        if (size != 4 * kMiB) {
            ASSERT_EQ(Resize('F', size), STATUS_SUCCESS);
        }
        DiskDevice disk;
        ASSERT_EQ(OpenDisk("\\??\\F:", &disk), STATUS_SUCCESS);
        DISK_GEOMETRY geometry{};
        ASSERT_EQ(DiskControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, &geometry, sizeof(geometry)), STATUS_SUCCESS);
        EXPECT_EQ((ULONGLONG)geometry.Cylinders.QuadPart, size / kMiB) << size;
        GET_LENGTH_INFORMATION length{};
        ASSERT_EQ(DiskControl(disk, IOCTL_DISK_GET_LENGTH_INFO, &length, sizeof(length)), STATUS_SUCCESS);
        EXPECT_EQ((ULONGLONG)length.Length.QuadPart, size);
        EXPECT_EQ(DiskControl(disk, IOCTL_DISK_GET_LENGTH_INFO, &length, sizeof(length) - 1), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(DiskControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, &geometry, sizeof(geometry) - 1),
                  STATUS_BUFFER_TOO_SMALL);
    }
    EXPECT_EQ(Dismount('F'), STATUS_SUCCESS);
}

TEST_F(VolumeTest, MountDeviceQueriesAnswerWithNamesAndOverflow)
{
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    DiskDevice disk;
    ASSERT_EQ(OpenDisk("\\??\\R:", &disk), STATUS_SUCCESS);
    std::u16string deviceName = DeviceNameOf('R');
    std::string narrowName(deviceName.begin(), deviceName.end());
    EXPECT_TRUE(std::regex_match(narrowName, std::regex(R"(\\Device\\Volume\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-)"
                                                        R"([0-9a-f]{4}-[0-9a-f]{12}\})")))
        << narrowName;

    UCHAR buffer[256];
    ULONG_PTR information = 0;
    memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(DiskControl(disk, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, buffer, 4, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(reinterpret_cast<PMOUNTDEV_NAME>(buffer)->NameLength, deviceName.size() * 2);
    EXPECT_EQ(DiskControl(disk, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, buffer, 3), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(DiskControl(disk, IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, buffer, sizeof(buffer), &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 18u);
    const UCHAR id[18] = {16, 0, 'R', 0, 0x6C, 0x76};
    EXPECT_EQ(memcmp(buffer, id, sizeof(id)), 0);
    EXPECT_EQ(DiskControl(disk, IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, buffer, 17, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 4u);

    ASSERT_EQ(DiskControl(disk, IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, buffer, sizeof(buffer), &information),
              STATUS_SUCCESS);
    auto *suggested = reinterpret_cast<PMOUNTDEV_SUGGESTED_LINK_NAME>(buffer);
    EXPECT_TRUE(suggested->UseOnlyIfThereAreNoOtherLinks);
    EXPECT_EQ(std::u16string((const char16_t *)suggested->Name, suggested->NameLength / 2), u"\\DosDevices\\R:");
    EXPECT_EQ(information, 4u + 28);
    EXPECT_EQ(DiskControl(disk, IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, buffer, 10, &information),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 6u);
    EXPECT_EQ(DiskControl(disk, IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, buffer, 5), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(DiskControl(disk, IOCTL_MOUNTDEV_QUERY_STABLE_GUID, buffer, sizeof(buffer)), STATUS_NOT_FOUND);
    for (ULONG code : {IOCTL_MOUNTDEV_LINK_CREATED, IOCTL_MOUNTDEV_LINK_DELETED, IOCTL_DISK_IS_WRITABLE,
                       IOCTL_DISK_CHECK_VERIFY, IOCTL_STORAGE_CHECK_VERIFY2, IOCTL_STORAGE_CHECK_VERIFY,
                       IOCTL_STORAGE_MEDIA_REMOVAL, IOCTL_VOLUME_ONLINE, IOCTL_VOLUME_POST_ONLINE}) {
        EXPECT_EQ(DiskControl(disk, code, buffer, sizeof(buffer), &information), STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(information, 0u);
    }
    EXPECT_EQ(DiskControl(disk, IOCTL_VOLUME_IS_PARTITION, buffer, sizeof(buffer)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DiskControl(disk, IOCTL_VOLUME_IS_DYNAMIC, buffer, sizeof(buffer)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DiskControl(disk, IOCTL_VOREL_PING, buffer, sizeof(buffer)), STATUS_INVALID_DEVICE_REQUEST)
        << "the disk device is no control device";
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(VolumeTest, LetterAndMountedDevicesValuesComeAndGoWithTheVolume)
{
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    auto letters = VolumeLetters();
    ASSERT_EQ(letters.size(), 1u);
    EXPECT_EQ(letters[0].letter, u'R');
    EXPECT_EQ(letters[0].deviceName, DeviceNameOf('R'));
    auto values = MountedDevicesHolding('R');
    EXPECT_NE(std::find(values.begin(), values.end(), u"\\DosDevices\\R:"), values.end());
    auto volumeName = std::find_if(values.begin(), values.end(),
                                   [](const std::u16string &value) { return value.rfind(u"\\??\\Volume{", 0) == 0; });
    ASSERT_NE(volumeName, values.end()) << "the mount manager names the volume too";
    std::string link(volumeName->begin(), volumeName->end());
    EXPECT_TRUE(LinkExists(link.c_str()));

    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    EXPECT_TRUE(VolumeLetters().empty());
    EXPECT_TRUE(MountedDevicesHolding('R').empty());
    EXPECT_FALSE(LinkExists(link.c_str())) << "every point of the device went with it";
    DiskDevice disk;
    EXPECT_NE(OpenDisk("\\??\\R:", &disk), STATUS_SUCCESS);

    // The letter can be had again at once, by a new device.
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(VolumeLetters().size(), 1u);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    ExpectNoVolumeTrace('R');
}

} // namespace

namespace {

/* Writes a MountedDevices value as a former volume would have left it. */
void WriteMountedDevicesValue(const char *name, const UCHAR *data, ULONG size)
{
    support::Name keyName("\\Registry\\Machine\\System\\MountedDevices");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &keyName.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key;
    ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
    support::Name valueName(name);
    EXPECT_EQ(ZwSetValueKey(key, &valueName.string, 0, REG_BINARY, const_cast<UCHAR *>(data), size), STATUS_SUCCESS);
    ZwClose(key);
}

TEST_F(VolumeTest, StaleDatabaseEntriesOfTheUniqueIdAreForgottenBeforeTheArrival)
{
    // A volume of an earlier run with R's unique ID that the database remembers on Q:.
    UCHAR id[16] = {'R', 0, 0x6C, 0x76};
    WriteMountedDevicesValue("\\DosDevices\\Q:", id, sizeof(id));
    WriteMountedDevicesValue("\\??\\Volume{00000000-0000-0000-0000-000000000000}", id, sizeof(id));
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    auto letters = VolumeLetters();
    ASSERT_EQ(letters.size(), 1u);
    EXPECT_EQ(letters[0].letter, u'R') << "the volume gets the letter asked for, not the remembered one";
    auto values = MountedDevicesHolding('R');
    EXPECT_EQ(std::find(values.begin(), values.end(), u"\\DosDevices\\Q:"), values.end());
    EXPECT_EQ(std::find(values.begin(), values.end(), u"\\??\\Volume{00000000-0000-0000-0000-000000000000}"),
              values.end());
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    ExpectNoVolumeTrace('R');
}

} // namespace
