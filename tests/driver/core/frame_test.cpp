/*
 * The dispatch frame and the handlers that need no volume: the default handler,
 * opens and closes of the control device, and the system shutdown request.
 */
#include "core_fixture.h"

namespace {

class FrameTest : public CoreTest {
protected:
    /* Sends one request of a major function to a device; returns its status and reply length. */
    NTSTATUS Send(PDEVICE_OBJECT device, UCHAR major, ULONG_PTR *information = nullptr)
    {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        irp->IoStatus.Information = 77;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr,
            TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(device, irp);
        EXPECT_EQ(status, irp->IoStatus.Status) << "returned and completed statuses agree";
        if (information != nullptr)
            *information = irp->IoStatus.Information;
        IoFreeIrp(irp);
        return status;
    }
};

TEST_F(FrameTest, UnservedRequestsCompleteInvalidWithoutReplyAndLeaveTheThreadAsFound)
{
    PDEVICE_OBJECT control = d->Data->ControlDevice;
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_QUERY_INFORMATION, IRP_MJ_FLUSH_BUFFERS,
                        IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MJ_LOCK_CONTROL}) {
        ULONG_PTR information = 1;
        EXPECT_EQ(Send(control, major, &information), STATUS_INVALID_DEVICE_REQUEST) << int(major);
        EXPECT_EQ(information, 0u);
        EXPECT_EQ(IoGetTopLevelIrp(), nullptr) << "the frame clears the top-level request it set";
        EXPECT_FALSE(KeAreApcsDisabled()) << "the frame leaves its critical region";
    }

    /* A top-level request set by an outer caller belongs to that caller. */
    IoSetTopLevelIrp((PIRP)FSRTL_FSP_TOP_LEVEL_IRP);
    EXPECT_EQ(Send(control, IRP_MJ_READ), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoGetTopLevelIrp(), (PIRP)FSRTL_FSP_TOP_LEVEL_IRP);
    IoSetTopLevelIrp(nullptr);
}

TEST_F(FrameTest, TheControlDeviceOpensAndClosesWithoutTouchingAVolume)
{
    PDEVICE_OBJECT control = d->Data->ControlDevice;
    ULONG_PTR information = 0;
    EXPECT_EQ(Send(control, IRP_MJ_CREATE, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, (ULONG_PTR)FILE_OPENED);
    EXPECT_EQ(Send(control, IRP_MJ_CLEANUP), STATUS_SUCCESS);
    EXPECT_EQ(Send(control, IRP_MJ_CLOSE), STATUS_SUCCESS);

    /* Through the native calls: the file object carries no driver context. */
    ControlClient client(1000);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    EXPECT_EQ(machine::ProcessHandleCount(client.process().process()), 1u);

    /* A volume's open needs the file object and security context the I/O manager sends. */
    TestVolume volume(d, DriverObject());
    EXPECT_EQ(Send(volume.device, IRP_MJ_CREATE), STATUS_INVALID_PARAMETER);
}

TEST_F(FrameTest, ShutdownStopsTheSaveAndStatisticsServicesOnce)
{
    /* With nothing configured the auto-mount pass ends at once; saves and statistics run on. */
    WaitForEndingSystemThreads(2);
    EXPECT_EQ(machine::LiveSystemThreads(), 2u);
    TestVolume volume(d, DriverObject());
    EXPECT_EQ(Send(volume.device, IRP_MJ_SHUTDOWN), STATUS_SUCCESS);
    EXPECT_EQ(machine::LiveSystemThreads(), 2u) << "a volume's shutdown request completes at once";

    machine::SystemShutdown();
    EXPECT_EQ(d->Data->ShutdownDone, 1);
    EXPECT_EQ(d->Data->AutoSaveService.Thread, nullptr);
    EXPECT_EQ(d->Data->StatisticsService.Thread, nullptr);
    EXPECT_NE(d->Data->AutoMountService.Thread, nullptr) << "auto-mount stays started until unload";
    EXPECT_EQ(machine::LiveSystemThreads(), 0u);

    EXPECT_EQ(Send(d->Data->ControlDevice, IRP_MJ_SHUTDOWN), STATUS_SUCCESS) << "a second shutdown does nothing";
    EXPECT_EQ(machine::LiveSystemThreads(), 0u);
}

} // namespace
