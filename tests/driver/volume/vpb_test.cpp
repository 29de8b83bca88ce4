/*
 * The VPB a dismount swaps out while file objects still count it: the disk
 * device waits for them (up to 10 seconds) before it goes with the VPB, and past
 * that leaves the VPB to the system, which frees it with the last of them.
 */
#include "volume_test.h"

namespace {

class VpbTest : public AutoClockVolumeTest {
protected:
    /* A volume on R: and a stream file object on its disk device, which counts in the mounted VPB like an open. */
    PFILE_OBJECT CreateVolumeHoldingItsVpb(PVPB *vpb)
    {
        DiskDevice disk;
        if (Create('R', 8 * kMiB) != STATUS_SUCCESS || OpenDisk("\\??\\R:", &disk) != STATUS_SUCCESS)
            return nullptr;
        *vpb = disk.device->Vpb;
        return IoCreateStreamFileObjectLite(nullptr, disk.device);
    }
};

TEST_F(VpbTest, DiskDeviceWaitsForTheLastFileObjectOfItsOldVpb)
{
    PVPB vpb = nullptr;
    PFILE_OBJECT held = CreateVolumeHoldingItsVpb(&vpb);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(vpb->ReferenceCount, 1u);

    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    EXPECT_TRUE(Records().empty());
    EXPECT_TRUE(VolumeLetters().empty());
    EXPECT_EQ(VolumeDevices(), 1u) << "the disk device stays while its old VPB is counted";
    EXPECT_EQ(vpb->DeviceObject, nullptr);
    EXPECT_FALSE(vpb->Flags & VPB_MOUNTED);

    LARGE_INTEGER while_ = RelativeMs(2000);
    KeDelayExecutionThread(KernelMode, FALSE, &while_);
    EXPECT_EQ(VolumeDevices(), 1u);

    ObDereferenceObject(held);
    ASSERT_TRUE(machine::DrainSystemWork());
    EXPECT_EQ(VolumeDevices(), 0u) << "the retry freed the VPB and deleted the disk";
}

TEST_F(VpbTest, FileObjectsOutlivingTheRetriesKeepTheOldVpbToThemselves)
{
    PVPB vpb = nullptr;
    PFILE_OBJECT held = CreateVolumeHoldingItsVpb(&vpb);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    LARGE_INTEGER beyond = RelativeMs(11000);
    KeDelayExecutionThread(KernelMode, FALSE, &beyond);
    ASSERT_TRUE(machine::DrainSystemWork());
    EXPECT_FALSE(vpb->Flags & VPB_PERSISTENT) << "the system frees the VPB with its last file object";
    ObDereferenceObject(held);
    EXPECT_EQ(VolumeDevices(), 0u) << "the disk device was deleted after 200 tries and goes with the file object";
}

TEST_F(VpbTest, LetterCanBeMountedAgainWhileTheOldVpbIsHeld)
{
    PVPB vpb = nullptr;
    PFILE_OBJECT held = CreateVolumeHoldingItsVpb(&vpb);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(List().size(), 1u);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    ObDereferenceObject(held);
    ASSERT_TRUE(machine::DrainSystemWork());
    ExpectNoVolumeTrace('R');
}

} // namespace
