/*
 * The machine's drives at boot, the letter links as a volume driver probes them, and
 * the volume events and stream file objects a volume driver's dismount uses.
 */
#include "mountmgr_fixture.h"
#include "scoped_environment.h"

#include <cstdlib>

using namespace mmtest;

namespace {

class HostDrivesTest : public MountManagerTest {
protected:
    void SetUp() override
    {
        // Lower case, duplicates, C: again and junk are all taken as the host library takes them.
        drives_.Set("VOREL_HOST_DRIVES", "d=/srv/images,E=/x;q=/y,c=/again,D=/twice,7=/no,bad");
        MountManagerTest::SetUp();
    }
    void TearDown() override
    {
        MountManagerTest::TearDown();
        drives_.Restore();
    }

private:
    support::ScopedEnvironment drives_;
};

} // namespace

TEST_F(HostDrivesTest, HostDrivesHoldTheirLettersAndTakeNoVolume)
{
    std::vector<std::pair<char16_t, std::u16string>> letters;
    for (const auto &drive : machine::DriveLetters())
        letters.push_back({drive.letter, drive.deviceName});
    EXPECT_EQ(letters, (std::vector<std::pair<char16_t, std::u16string>>{{u'C', u"\\Device\\HostDisk0"},
                                                                         {u'D', u"\\Device\\HostDisk1"},
                                                                         {u'E', u"\\Device\\HostDisk2"},
                                                                         {u'Q', u"\\Device\\HostDisk3"}}));
    std::u16string target;
    EXPECT_EQ(OpenLetter(u'Q', &target), STATUS_SUCCESS);
    EXPECT_EQ(target, u"\\Device\\HostDisk3");

    // A volume that suggests a host letter gets the next free one.
    PDEVICE_OBJECT device = AddVolume(u"h", u'D');
    ASSERT_EQ(Call(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, TargetName(VolumeOf(device).deviceName), 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(OpenLetter(u'F', &target), STATUS_SUCCESS);
    EXPECT_EQ(target, VolumeOf(device).deviceName);

}

TEST_F(MountManagerTest, LetterLinkOpensExactlyWhenALinkExists)
{
    EXPECT_EQ(OpenLetter(u'C'), STATUS_SUCCESS);
    EXPECT_EQ(OpenLetter(u'G'), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(machine::RegisterForeignLetter(u'G'), STATUS_SUCCESS);
    EXPECT_EQ(machine::RegisterForeignLetter(u'G'), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(machine::RegisterForeignLetter(u'C'), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(machine::RegisterForeignLetter(u'!'), STATUS_INVALID_PARAMETER);
    std::u16string target;
    EXPECT_EQ(OpenLetter(u'G', &target), STATUS_SUCCESS);
    EXPECT_EQ(target, u"\\Device\\ForeignDiskG");

    machine::ArmFault("ZwOpenSymbolicLinkObject", 1);
    EXPECT_EQ(OpenLetter(u'G'), STATUS_INSUFFICIENT_RESOURCES);
    machine::DisarmFaults();

    // A foreign letter left registered goes with the machine, leaving the audit clean.
}

TEST_F(MountManagerTest, VolumeEventsAreRecordedAndTheStreamFileClosesThroughTheDevice)
{
    PDEVICE_OBJECT device = AddVolume(u"ev", 0);
    EXPECT_TRUE(machine::VolumeEvents().empty());
    PFILE_OBJECT file = IoCreateStreamFileObjectLite(nullptr, device);
    ASSERT_NE(file, nullptr);
    file->Vpb = device->Vpb;
    EXPECT_EQ(device->Vpb->ReferenceCount, 1u);

    // The host's watcher hears each event with the volume's device name, and may call
    // back into the machine (it closes handles there) without meeting a lock.
    std::vector<std::pair<std::u16string, uint32_t>> heard;
    machine::SetVolumeEventObserver([&](std::u16string name, uint32_t code) {
        heard.emplace_back(name, code);
        EXPECT_EQ(machine::VolumeEvents().size(), heard.size()) << "recorded before the watcher hears it";
    });
    EXPECT_EQ(FsRtlNotifyVolumeEvent(file, FSRTL_VOLUME_LOCK), STATUS_SUCCESS);
    EXPECT_EQ(FsRtlNotifyVolumeEvent(file, FSRTL_VOLUME_LOCK_FAILED), STATUS_SUCCESS);
    machine::SetVolumeEventObserver(nullptr);
    EXPECT_EQ(FsRtlNotifyVolumeEvent(file, FSRTL_VOLUME_LOCK), STATUS_SUCCESS);
    ASSERT_EQ(heard.size(), 2u) << "no watcher after it was removed";
    EXPECT_EQ(heard[0].first, u"\\Device\\Volume{ev}");
    EXPECT_EQ(heard[0].second, (uint32_t)FSRTL_VOLUME_LOCK);
    EXPECT_EQ(heard[1].second, (uint32_t)FSRTL_VOLUME_LOCK_FAILED);
    auto events = machine::VolumeEvents();
    events.pop_back();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].device, device);
    EXPECT_EQ(events[0].code, (uint32_t)FSRTL_VOLUME_LOCK);
    EXPECT_EQ(events[1].code, (uint32_t)FSRTL_VOLUME_LOCK_FAILED);

    // No cleanup for a lite stream file; its last reference sends the close and gives the VPB back.
    EXPECT_EQ(VolumeOf(device).closes, 0);
    ObDereferenceObject(file);
    EXPECT_EQ(VolumeOf(device).closes, 1);
    EXPECT_EQ(device->Vpb->ReferenceCount, 0u);

    machine::ClearVolumeEvents();
    EXPECT_TRUE(machine::VolumeEvents().empty());
}
