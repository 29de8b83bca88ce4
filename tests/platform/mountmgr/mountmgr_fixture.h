/*
 * The mount manager's tests: a fake volume driver whose disk devices answer the
 * mount-device queries, the requests a volume driver sends to the mount manager
 * (built and sent as a driver does), and the records they carry.
 */
#pragma once

#include "machine_test.h"
#include "mount_manager.h"

#include <ntifs.h>
#include <mountdev.h>

#include <string>
#include <vector>

namespace mmtest {

using Bytes = std::vector<UCHAR>;

/* A fake volume: the extension of its disk device. */
struct FakeVolume {
    std::u16string deviceName;
    Bytes uniqueId;
    char16_t suggested = 0;              /* suggested drive letter; 0 = none */
    NTSTATUS uniqueIdStatus = STATUS_SUCCESS; /* what the unique-ID query answers when not success */
    std::vector<std::u16string> created; /* links the mount manager told it of */
    std::vector<std::u16string> deleted;
    int closes = 0;
};

/* Loads the fake volume driver ("mmvol"); Unload deletes its devices. */
NTSTATUS Load();
NTSTATUS Unload();
/* A disk device \Device\Volume{<tag>} of the driver with a 16-byte unique ID made from the tag. */
PDEVICE_OBJECT AddVolume(const std::u16string &tag, char16_t suggested);
FakeVolume &VolumeOf(PDEVICE_OBJECT device);

/* A request to \Device\MountPointManager, sent as a volume driver sends it. */
struct Reply {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    Bytes output;
};
Reply Call(ULONG code, const Bytes &input, ULONG outputLength);

Bytes TargetName(const std::u16string &deviceName);
Bytes MountPoint(const std::u16string &link, const Bytes &uniqueId, const std::u16string &deviceName);
Bytes CreatePointInput(const std::u16string &link, const std::u16string &deviceName);

/* A point of a MOUNTMGR_MOUNT_POINTS reply. */
struct Point {
    std::u16string link;
    Bytes uniqueId;
    std::u16string deviceName;
};
std::vector<Point> ParsePoints(const Bytes &reply);

/*
 * Query or delete with the growth protocol: first a 32-byte reply, then the size the
 * mount manager asked for. Checks the overflow answer's shape on the way.
 */
Reply CallGrowing(ULONG code, const Bytes &input, bool *grew = nullptr);

/* The MountedDevices database: set, read, delete a value. */
NTSTATUS SetDatabaseValue(const std::u16string &name, const Bytes &data);
bool ReadDatabaseValue(const std::u16string &name, Bytes *data);
void DeleteDatabaseValue(const std::u16string &name);

/* Whether a path opens as a symbolic link, and \GLOBAL??\X: for a letter; the target when it does. */
NTSTATUS OpenLink(const std::u16string &path, std::u16string *target = nullptr);
NTSTATUS OpenLetter(char16_t letter, std::u16string *target = nullptr);

/* "\??\Volume{...}": a volume name the mount manager gives. */
inline bool IsVolumeName(const std::u16string &link)
{
    return link.rfind(u"\\??\\Volume{", 0) == 0 && link.size() == 48 && link.back() == u'}';
}

inline std::u16string LetterLink(char16_t letter)
{
    return std::u16string(u"\\DosDevices\\") + letter + u":";
}

} // namespace mmtest

/* A machine with the fake volume driver loaded. */
class MountManagerTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_EQ(mmtest::Load(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        machine::SetLetterObserver(nullptr);
        if (machine::IsDriverLoaded("mmvol")) {
            EXPECT_EQ(mmtest::Unload(), STATUS_SUCCESS);
        }
        MachineTest::TearDown();
    }
};
