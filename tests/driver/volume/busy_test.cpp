/*
 * Dismount of a volume that is in use: watchers are asked to let go (a lock
 * event), the volume is tested again after the grace, and a volume still in use
 * stays listed and usable, with the watchers told to resume.
 */
#include "volume_test.h"

#include "system_threads.h"

namespace {

std::vector<ULONG> EventsOf(PDEVICE_OBJECT disk)
{
    std::vector<ULONG> codes;
    for (const machine::VolumeEvent &event : machine::VolumeEvents()) {
        if (event.device == disk)
            codes.push_back(event.code);
    }
    return codes;
}

class BusyTest : public AutoClockVolumeTest {
protected:
    /* A volume on R: held by one handle on the volume itself (as a volume open counts it), events cleared. */
    PVCB CreateHeldVolume()
    {
        if (Create('R', 8 * kMiB) != STATUS_SUCCESS)
            return nullptr;
        PVCB vcb = VcbOf('R');
        if (vcb != nullptr)
            InterlockedIncrement(&vcb->VolumeOpenCount);
        machine::ClearVolumeEvents();
        return vcb;
    }
};

TEST_F(BusyTest, VolumeOpenHandleMakesDismountBusyAndLeavesItUsable)
{
    PVCB vcb = CreateHeldVolume();
    ASSERT_NE(vcb, nullptr);
    PDEVICE_OBJECT disk = vcb->Vdr->DiskDevice;
    uint64_t before = machine::InterruptTimeNow();
    EXPECT_EQ(Dismount('R'), STATUS_DEVICE_BUSY);
    uint64_t waited = machine::InterruptTimeNow() - before;
    EXPECT_GE(waited, 15000000u) << "the lock request gives the watchers 1.5 s";
    EXPECT_EQ(EventsOf(disk), (std::vector<ULONG>{FSRTL_VOLUME_LOCK, FSRTL_VOLUME_LOCK_FAILED}));

    // Still listed, still mounted, still admitting requests.
    auto volumes = List();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].Letter, 'R');
    EXPECT_EQ(VcbOf('R'), vcb);
    EXPECT_EQ(vcb->Dismounted, 0);
    PVCB admitted;
    ASSERT_EQ(d->AdmitVolumeRequest(vcb->DeviceObject, FALSE, &admitted), STATUS_SUCCESS);
    d->ReleaseVolumeRequest(admitted);
    EXPECT_EQ(Resize('R', 16 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(VolumeLetters().size(), 1u);

    InterlockedDecrement(&vcb->VolumeOpenCount);
    machine::ClearVolumeEvents();
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    EXPECT_TRUE(EventsOf(disk).empty()) << "an idle volume goes without asking anyone";
    ExpectNoVolumeTrace('R');
}

TEST_F(BusyTest, HandleClosedDuringTheGraceLetsTheDismountProceed)
{
    PVCB vcb = CreateHeldVolume();
    ASSERT_NE(vcb, nullptr);
    // A watcher that closes its handle when it hears of the lock request.
    PKTHREAD watcher = StartThread([&] {
        LARGE_INTEGER poll = RelativeMs(100);
        for (int i = 0; i < 1000; ++i) {
            auto events = machine::VolumeEvents();
            if (!events.empty() && events.back().code == FSRTL_VOLUME_LOCK)
                break;
            KeDelayExecutionThread(KernelMode, FALSE, &poll);
        }
        InterlockedDecrement(&vcb->VolumeOpenCount);
    });
    ASSERT_NE(watcher, nullptr);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    JoinThread(watcher);
    ExpectNoVolumeTrace('R');
}

TEST_F(AutoClockVolumeTest, RequestsAfterTeardownFindTheVolumeDismounted)
{
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    PVCB vcb = VcbOf('R');
    ASSERT_NE(vcb, nullptr);
    // An admitted request in flight holds the teardown at its rundown wait.
    PVCB admitted;
    ASSERT_EQ(d->AdmitVolumeRequest(vcb->DeviceObject, FALSE, &admitted), STATUS_SUCCESS);
    NTSTATUS dismounted = STATUS_PENDING;
    PKTHREAD dismounter = StartThread([&] { dismounted = Dismount('R'); });
    ASSERT_NE(dismounter, nullptr);
    ASSERT_TRUE(Eventually([&] { return ReadUCharAcquire(&vcb->Dismounted) != 0; }));
    PVCB late;
    EXPECT_EQ(d->AdmitVolumeRequest(vcb->DeviceObject, FALSE, &late), STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(dismounted, STATUS_PENDING) << "the teardown waits for the request in flight";
    d->ReleaseVolumeRequest(admitted);
    JoinThread(dismounter);
    EXPECT_EQ(dismounted, STATUS_SUCCESS);
    ExpectNoVolumeTrace('R');
}

TEST_F(BusyTest, BootConfigurationWithAutoSaveWaitsForABusyVolume)
{
    ULONG flags = VOREL_BOOT_AUTO_SAVE, version = 1;
    WriteServiceValue("Parameters", "AllowUserAccess", REG_DWORD, &version, sizeof(version));
    WriteServiceValue("Parameters\\Volumes", "ConfigVersion", REG_DWORD, &version, sizeof(version));
    WriteServiceValue("Parameters\\Volumes\\R", "Flags", REG_DWORD, &flags, sizeof(flags));
    PVCB vcb = CreateHeldVolume();
    ASSERT_NE(vcb, nullptr);
    PDEVICE_OBJECT disk = vcb->Vdr->DiskDevice;
    EXPECT_EQ(Dismount('R'), STATUS_DEVICE_BUSY);
    EXPECT_EQ(EventsOf(disk), (std::vector<ULONG>{FSRTL_VOLUME_LOCK, FSRTL_VOLUME_LOCK_FAILED}))
        << "given up before the save, without a second round";
    EXPECT_EQ(List().size(), 1u);
    InterlockedDecrement(&vcb->VolumeOpenCount);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
