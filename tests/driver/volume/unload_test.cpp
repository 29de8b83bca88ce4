/*
 * Prepare-unload and unload: a volume in use keeps the driver running with its
 * services back, an idle driver gives up its control device and then unloads
 * with nothing left to find, and stops of the services that race (shutdown and
 * prepare-unload at once) end each service thread once.
 */
#include "volume_test.h"

#include "system_threads.h"

#include <atomic>
#include <memory>

namespace {

constexpr uint32_t kRoot = 0;

/* A kernel handle on X:path, created when missing. */
HANDLE HoldFile(char letter, const char *path)
{
    support::Name name((std::string("\\??\\") + letter + ":" + path).c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(&handle, FILE_READ_DATA | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_IF,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return NT_SUCCESS(status) ? handle : nullptr;
}

/* Whether \Device\Vorel can be opened (by the kernel). */
bool ControlDeviceOpens()
{
    support::Name name("\\Device\\Vorel");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle;
    if (!NT_SUCCESS(ZwCreateFile(&handle, GENERIC_READ, &oa, &iosb, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_OPEN, 0, nullptr, 0)))
        return false;
    ZwClose(handle);
    return true;
}

class UnloadTest : public AutoClockVolumeTest {
protected:
    LONG Samples() { return InterlockedCompareExchange(&d->Data->StatisticsSamples, 0, 0); }
    LONG Started(SERVICE_THREAD &service) { return InterlockedCompareExchange(&service.Started, 0, 0); }
};

TEST_F(UnloadTest, AVolumeInUseKeepsTheDriverRunningWithItsServicesBack)
{
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Create('S', 8 * kMiB), STATUS_SUCCESS);
    HANDLE held = HoldFile('R', "\\held");
    ASSERT_NE(held, nullptr);
    ControlClient client(kRoot);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);

    VOREL_PREPARE_UNLOAD_REPLY reply{0xFFFFFFFF};
    ULONG_PTR information = 0;
    EXPECT_EQ(client.Send(IOCTL_VOREL_PREPARE_UNLOAD, nullptr, 0, &reply, sizeof(reply), &information),
              STATUS_DEVICE_BUSY);
    EXPECT_EQ(information, sizeof(reply)) << "the warning carries the count";
    EXPECT_EQ(reply.VolumesNotDismounted, 1u);
    auto volumes = List();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].Letter, 'R') << "the idle volume went, the held one stayed";

    /* The driver runs on: its device answers, its services are back and sampling. */
    EXPECT_TRUE(ControlDeviceOpens());
    EXPECT_EQ(Started(d->Data->StatisticsService), 1);
    EXPECT_EQ(Started(d->Data->AutoSaveService), 1);
    EXPECT_EQ(Started(d->Data->AutoMountService), 1);
    LONG samples = Samples();
    LARGE_INTEGER interval = RelativeMs(3500);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    EXPECT_GE(Samples(), samples + 3) << "the statistics keep sampling";

    /* Without room for the reply, the count stays home. */
    information = 7;
    EXPECT_EQ(client.Send(IOCTL_VOREL_PREPARE_UNLOAD, nullptr, 0, nullptr, 0, &information), STATUS_DEVICE_BUSY);
    EXPECT_EQ(information, 0u);

    /* Let go: the next request takes the last volume and the device with it. */
    EXPECT_EQ(ZwClose(held), STATUS_SUCCESS);
    reply.VolumesNotDismounted = 0xFFFFFFFF;
    EXPECT_EQ(client.Send(IOCTL_VOREL_PREPARE_UNLOAD, nullptr, 0, &reply, sizeof(reply), &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, sizeof(reply));
    EXPECT_EQ(reply.VolumesNotDismounted, 0u);
    EXPECT_TRUE(Records().empty());
}

TEST_F(UnloadTest, AnIdleDriverGivesUpItsDeviceAndUnloadFindsNothing)
{
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    auto client = std::make_unique<ControlClient>(kRoot);
    ASSERT_EQ(client->Open(), STATUS_SUCCESS);
    LONG samples = Samples();

    VOREL_PREPARE_UNLOAD_REPLY reply{0xFFFFFFFF};
    EXPECT_EQ(client->Send(IOCTL_VOREL_PREPARE_UNLOAD, nullptr, 0, &reply, sizeof(reply)), STATUS_SUCCESS);
    EXPECT_EQ(reply.VolumesNotDismounted, 0u);
    EXPECT_TRUE(Records().empty());
    EXPECT_TRUE(VolumeLetters().empty());
    EXPECT_EQ(d->Data->ControlDevice, nullptr);
    EXPECT_FALSE(d->Data->FileSystemRegistered);
    EXPECT_FALSE(d->Data->ShutdownRegistered);
    EXPECT_FALSE(ControlDeviceOpens());
    WaitForEndingSystemThreads();
    EXPECT_EQ(machine::LiveSystemThreads(), 0u) << "no service runs";
    EXPECT_EQ(Samples(), samples + 1) << "the statistics' stop took one last sample";
    EXPECT_NE(d->Data->VolatileStatisticsKey, nullptr) << "the keys stay until unload";

    /* The handle opened before still reaches the deleted device, which refuses it;
       its close lets the device object go. */
    VOREL_PING_REPLY ping;
    EXPECT_EQ(client->Send(IOCTL_VOREL_PING, nullptr, 0, &ping, sizeof(ping)), STATUS_INVALID_DEVICE_REQUEST);
    client.reset();
    EXPECT_EQ(DriverObject()->DeviceObject, nullptr);

    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
    EXPECT_FALSE(machine::IsDriverLoaded(kService)) << "nothing kept the image";
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u);
}

/*
 * A shutdown request and two prepare-unload requests at once, over several driver
 * lifetimes: every service thread ends once (one last sample), the control device
 * goes once, and the second prepare-unload finds nothing left to do (or arrives
 * after the device went and is refused).
 */
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
        HANDLE handles[2] = {};
        support::Name name("\\Device\\Vorel");
        for (HANDLE &handle : handles) {
            OBJECT_ATTRIBUTES oa;
            InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE, nullptr, nullptr);
            IO_STATUS_BLOCK iosb{};
            ASSERT_EQ(ZwCreateFile(&handle, GENERIC_READ | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                   nullptr, 0),
                      STATUS_SUCCESS);
        }
        LONG samples = Samples();
        std::atomic<int> ready{0};
        NTSTATUS prepared[2] = {STATUS_PENDING, STATUS_PENDING};
        NTSTATUS shutdown = STATUS_PENDING;
        auto together = [&] {
            ready++;
            while (ready.load() < 3)
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
        int succeeded = 0;
        for (NTSTATUS status : prepared) {
            succeeded += status == STATUS_SUCCESS;
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INVALID_DEVICE_REQUEST)
                << std::hex << status << " in round " << std::dec << round;
        }
        EXPECT_GE(succeeded, 1) << round;
        EXPECT_EQ(Samples(), samples + 1) << "the statistics thread ended more than once in round " << round;
        WaitForEndingSystemThreads();
        EXPECT_EQ(machine::LiveSystemThreads(), 0u) << round;
        EXPECT_EQ(d->Data->ControlDevice, nullptr) << round;
        for (HANDLE handle : handles)
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        ObDereferenceObject(control);
        ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS) << round;
        EXPECT_FALSE(machine::IsDriverLoaded(kService)) << round;
        EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u) << round;
    }
}

} // namespace
