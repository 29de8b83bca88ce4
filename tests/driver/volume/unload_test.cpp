/*
 * Prepare-unload and unload: a volume in use keeps the driver running with its
 * services back; an idle driver gives up its control device and then unloads
 * with nothing left to find; a shutdown and two prepare-unloads at once end each
 * service thread once and remove the device once.
 */
#include "volume_test.h"

#include "system_threads.h"

#include <atomic>
#include <memory>

namespace {

/* A kernel handle on path (a volume's file or the control device), opened or created. */
HANDLE KernelHandle(const std::string &path, ULONG disposition = FILE_OPEN_IF)
{
    support::Name name(path.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return NT_SUCCESS(status) ? handle : nullptr;
}

class UnloadTest : public AutoClockVolumeTest {
protected:
    LONG Samples() { return InterlockedCompareExchange(&d->Data->StatisticsSamples, 0, 0); }
};

TEST_F(UnloadTest, AVolumeInUseKeepsTheDriverRunningAndAnIdleDriverGivesUpItsDevice)
{
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Create('S', 8 * kMiB), STATUS_SUCCESS);
    HANDLE held = KernelHandle("\\??\\R:\\held");
    ASSERT_NE(held, nullptr);
    auto client = std::make_unique<ControlClient>(0);
    ASSERT_EQ(client->Open(), STATUS_SUCCESS);

    VOREL_PREPARE_UNLOAD_REPLY reply{0xFFFFFFFF};
    ULONG_PTR information = 0;
    EXPECT_EQ(client->Send(IOCTL_VOREL_PREPARE_UNLOAD, nullptr, 0, &reply, sizeof(reply), &information),
              STATUS_DEVICE_BUSY);
    EXPECT_EQ(information, sizeof(reply)) << "the warning carries the count";
    EXPECT_EQ(reply.VolumesNotDismounted, 1u);
    auto volumes = List();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].Letter, 'R') << "the idle volume went, the held one stayed";
    EXPECT_EQ(d->Data->StatisticsService.Started, 1);
    EXPECT_EQ(d->Data->AutoSaveService.Started, 1);
    EXPECT_EQ(d->Data->AutoMountService.Started, 1);
    LONG samples = Samples();
    LARGE_INTEGER interval = RelativeMs(3500);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_GE(Samples(), samples + 3) << "the statistics keep sampling";
    EXPECT_EQ(client->Send(IOCTL_VOREL_PREPARE_UNLOAD, nullptr, 0, nullptr, 0, &information), STATUS_DEVICE_BUSY);
    EXPECT_EQ(information, 0u) << "no room, no count";

    /* Let go: the next request takes the last volume and the device with it. */
    EXPECT_EQ(ZwClose(held), STATUS_SUCCESS);
    samples = Samples();
    EXPECT_EQ(client->Send(IOCTL_VOREL_PREPARE_UNLOAD, nullptr, 0, &reply, sizeof(reply), &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, sizeof(reply));
    EXPECT_EQ(reply.VolumesNotDismounted, 0u);
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(d->Data->ControlDevice, nullptr);
    EXPECT_FALSE(d->Data->FileSystemRegistered || d->Data->ShutdownRegistered);
    EXPECT_EQ(KernelHandle("\\Device\\Vorel", FILE_OPEN), nullptr);
    WaitForEndingSystemThreads();
    EXPECT_EQ(machine::LiveSystemThreads(), 0u) << "no service runs";
    EXPECT_EQ(Samples(), samples + 1) << "the statistics' stop took one last sample";

    /* The handle opened before still reaches the deleted device, which refuses it; its
       close lets the device object go, and unload finds nothing to keep its image. */
    VOREL_PING_REPLY ping;
    EXPECT_EQ(client->Send(IOCTL_VOREL_PING, nullptr, 0, &ping, sizeof(ping)), STATUS_INVALID_DEVICE_REQUEST);
    client.reset();
    EXPECT_EQ(DriverObject()->DeviceObject, nullptr);
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
    EXPECT_FALSE(machine::IsDriverLoaded(kService));
}

class UnloadRaceTest : public UnloadTest {
protected:
    /* No sample but the stop's. */
    machine::Config BootConfig() override { return ManualClockConfig(); }
};

TEST_F(UnloadRaceTest, ShutdownAndPrepareUnloadRacingStopEachServiceOnce)
{
    for (int round = 0; round < 8; ++round) {
        if (round != 0) {
            ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
            d = Diagnostics();
        }
        PDEVICE_OBJECT control = d->Data->ControlDevice;
        ObReferenceObject(control);
        HANDLE handles[2] = {KernelHandle("\\Device\\Vorel", FILE_OPEN), KernelHandle("\\Device\\Vorel", FILE_OPEN)};
        ASSERT_TRUE(handles[0] != nullptr && handles[1] != nullptr);
        LONG samples = Samples();
        std::atomic<int> ready{0};
        NTSTATUS prepared[2] = {STATUS_PENDING, STATUS_PENDING};
        NTSTATUS shutdown = STATUS_PENDING;
        auto together = [&] {
            for (ready++; ready.load() < 3;)
                usleep(50);
        };
        PKTHREAD threads[3];
        for (int i = 0; i < 2; ++i) {
            threads[i] = StartThread([&, i] {
                together();
                IO_STATUS_BLOCK iosb{};
                prepared[i] = ZwDeviceIoControlFile(handles[i], nullptr, nullptr, nullptr, &iosb,
                                                    IOCTL_VOREL_PREPARE_UNLOAD, nullptr, 0, nullptr, 0);
            });
        }
        threads[2] = StartThread([&] {
            together();
            KEVENT event;
            IO_STATUS_BLOCK iosb{};
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_SHUTDOWN, control, nullptr, 0, nullptr, &event, &iosb);
            shutdown = irp != nullptr ? IoCallDriver(control, irp) : STATUS_INSUFFICIENT_RESOURCES;
        });
        for (PKTHREAD thread : threads)
            JoinThread(thread);

        EXPECT_EQ(shutdown, STATUS_SUCCESS) << round;
        /* The later prepare-unload finds nothing left, or arrives after the device went. */
        int succeeded = (prepared[0] == STATUS_SUCCESS) + (prepared[1] == STATUS_SUCCESS);
        int refused = (prepared[0] == STATUS_INVALID_DEVICE_REQUEST) + (prepared[1] == STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_TRUE(succeeded >= 1 && succeeded + refused == 2)
            << std::hex << prepared[0] << " " << prepared[1] << " in round " << std::dec << round;
        EXPECT_EQ(Samples(), samples + 1) << "the statistics thread ended more than once in round " << round;
        WaitForEndingSystemThreads();
        EXPECT_EQ(machine::LiveSystemThreads(), 0u) << round;
        for (HANDLE handle : handles)
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        ObDereferenceObject(control);
        ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS) << round;
        EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u) << round;
    }
}

} // namespace
