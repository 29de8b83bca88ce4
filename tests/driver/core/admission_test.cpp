/*
 * Volume admission: the hold a volume-wide operation sets, paging I/O passing it,
 * teardown's rundown and dismounted flag refusing requests, and a file-system
 * device's answer to device-control requests.
 */
#include "core_fixture.h"

#include <atomic>

namespace {

class AdmissionTest : public CoreTest {};

TEST_F(AdmissionTest, AnAdmittedRequestHoldsTheRundownUntilReleased)
{
    TestVolume volume(d, DriverObject());
    ASSERT_NE(volume.vcb, nullptr);
    EXPECT_EQ(((ULONG_PTR)volume.vcb + volume.vcb->RundownOffset) % 128, 0u) << "the rundown block is aligned";
    EXPECT_LE(volume.vcb->RundownOffset + ExSizeOfRundownProtectionCacheAware(),
              VCB_EXTENSION_SIZE(ExSizeOfRundownProtectionCacheAware()));

    PVCB admitted = nullptr;
    ASSERT_EQ(d->AdmitVolumeRequest(volume.device, FALSE, &admitted), STATUS_SUCCESS);
    EXPECT_EQ(admitted, volume.vcb);

    /* Teardown's wait cannot finish while the request runs. */
    std::atomic<bool> drained{false};
    PKTHREAD teardown = StartThread([&] {
        ExWaitForRundownProtectionReleaseCacheAware(VcbRundown(volume.vcb));
        drained = true;
    });
    ASSERT_TRUE(Eventually([&] { return machine::BlockedThreads() >= 1; }));
    EXPECT_FALSE(drained);
    d->ReleaseVolumeRequest(admitted);
    JoinThread(teardown);
    EXPECT_TRUE(drained);

    /* Once run down, nothing more is admitted. */
    EXPECT_EQ(d->AdmitVolumeRequest(volume.device, FALSE, &admitted), STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(admitted, nullptr);
    EXPECT_EQ(d->AdmitVolumeRequest(volume.device, TRUE, &admitted), STATUS_VOLUME_DISMOUNTED);
    ExReInitializeRundownProtectionCacheAware(VcbRundown(volume.vcb));
}

TEST_F(AdmissionTest, PagingIoPassesAHoldWhileOrdinaryRequestsWaitForTheRelease)
{
    TestVolume volume(d, DriverObject());
    d->HoldVolume(volume.vcb);
    EXPECT_EQ(KeReadStateEvent(&volume.vcb->HoldEvent), 0);

    PVCB paging = nullptr;
    ASSERT_EQ(d->AdmitVolumeRequest(volume.device, TRUE, &paging), STATUS_SUCCESS);
    d->ReleaseVolumeRequest(paging);

    std::atomic<NTSTATUS> ordinary{STATUS_PENDING};
    PKTHREAD reader = StartThread([&] {
        PVCB vcb;
        NTSTATUS status = d->AdmitVolumeRequest(volume.device, FALSE, &vcb);
        if (NT_SUCCESS(status))
            d->ReleaseVolumeRequest(vcb);
        ordinary = status;
    });
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&volume.vcb->HoldEvent) == 1; }));
    EXPECT_EQ(ordinary.load(), STATUS_PENDING) << "held back while the volume is held";

    d->ReleaseVolumeHold(volume.vcb);
    JoinThread(reader);
    EXPECT_EQ(ordinary.load(), STATUS_SUCCESS);
    EXPECT_EQ(volume.vcb->HoldCount, 0);
    EXPECT_EQ(KeReadStateEvent(&volume.vcb->HoldEvent), 1);
}

TEST_F(AdmissionTest, ADismountedVolumeRefusesEveryRequest)
{
    TestVolume volume(d, DriverObject());
    volume.vcb->Dismounted = TRUE;
    PVCB vcb = nullptr;
    EXPECT_EQ(d->AdmitVolumeRequest(volume.device, FALSE, &vcb), STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(d->AdmitVolumeRequest(volume.device, TRUE, &vcb), STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(vcb, nullptr);

    /* The refused requests gave their references back: teardown's wait returns at once. */
    ExWaitForRundownProtectionReleaseCacheAware(VcbRundown(volume.vcb));
    ExReInitializeRundownProtectionCacheAware(VcbRundown(volume.vcb));
}

TEST_F(AdmissionTest, ADeviceWithoutAVolumeIsNotAdmitted)
{
    PVCB vcb = nullptr;
    EXPECT_EQ(d->AdmitVolumeRequest(d->Data->ControlDevice, FALSE, &vcb), STATUS_INVALID_DEVICE_REQUEST);

    TestVolume volume(d, DriverObject());
    volume.vcb->Signature = 0;
    EXPECT_EQ(d->AdmitVolumeRequest(volume.device, FALSE, &vcb), STATUS_INVALID_DEVICE_REQUEST);
    volume.vcb->Signature = VCB_SIGNATURE;
}

TEST_F(AdmissionTest, AFileSystemDeviceTakesNoDeviceControlButReportsADismount)
{
    TestVolume volume(d, DriverObject());
    VOREL_PING_REPLY reply;
    ULONG_PTR information = 1;
    EXPECT_EQ(KernelDeviceControl(volume.device, IOCTL_VOREL_PING, nullptr, 0, &reply, sizeof(reply), &information),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(information, 0u);

    /* A held volume makes the request wait, like every other. */
    d->HoldVolume(volume.vcb);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    PKTHREAD sender = StartThread([&] {
        VOREL_PING_REPLY r;
        status = KernelDeviceControl(volume.device, IOCTL_VOREL_PING, nullptr, 0, &r, sizeof(r));
    });
    ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&volume.vcb->HoldEvent) == 1; }));
    volume.vcb->Dismounted = TRUE;
    d->ReleaseVolumeHold(volume.vcb);
    JoinThread(sender);
    EXPECT_EQ(status.load(), STATUS_VOLUME_DISMOUNTED);
}

} // namespace
