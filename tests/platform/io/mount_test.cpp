/*
 * The mount path and volume parameter blocks: which opens mount, how file objects
 * count in the VPB, stream file objects, a VPB swapped out of its device, device
 * stacks, and a file system unloaded while files are open.
 */
#include "fs_fixture.h"

#include "system_threads.h"

#include <thread>

namespace {

/* A kernel open of a path with the given access and options (a kernel handle). */
NTSTATUS KernelOpen(const char *path, ACCESS_MASK access, HANDLE *handle, ULONG options = 0)
{
    support::Name name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwCreateFile(handle, access, &oa, &iosb, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, options,
                        nullptr, 0);
}

TEST_F(FsTest, TheFirstOpenMountsTheVolumeAndEveryFileObjectCountsInTheVpb)
{
    fs().Add(u"\\a.txt", "data");
    PVPB vpb = fs().disk->Vpb;
    EXPECT_FALSE(vpb->Flags & VPB_MOUNTED);

    HANDLE root, file;
    ASSERT_EQ(Open("\\??\\T:\\", FILE_READ_DATA, &root, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    EXPECT_EQ(fs().mounts, 1);
    testfs::Seen mount = fs().Last(IRP_MJ_FILE_SYSTEM_CONTROL);
    EXPECT_EQ(mount.minor, IRP_MN_MOUNT_VOLUME);
    EXPECT_EQ(mount.stack.Parameters.MountVolume.Vpb, vpb);
    EXPECT_EQ(mount.stack.Parameters.MountVolume.DeviceObject, fs().disk);
    EXPECT_EQ(mount.irpFlags & (IRP_MOUNT_COMPLETION | IRP_SYNCHRONOUS_PAGING_IO),
              (ULONG)(IRP_MOUNT_COMPLETION | IRP_SYNCHRONOUS_PAGING_IO));
    EXPECT_TRUE(vpb->Flags & VPB_MOUNTED);
    EXPECT_EQ(vpb->DeviceObject, fs().volume);

    ASSERT_EQ(Open("\\??\\T:\\a.txt", FILE_READ_DATA, &file), STATUS_SUCCESS);
    EXPECT_EQ(fs().mounts, 1) << "mounted once";
    EXPECT_EQ(vpb->ReferenceCount, 2u);
    testfs::Seen create = fs().Last(IRP_MJ_CREATE);
    EXPECT_EQ(create.stack.DeviceObject, fs().volume) << "the create goes to the file system's volume device";
    EXPECT_EQ(create.file->Vpb, vpb);
    EXPECT_EQ(create.file->DeviceObject, fs().disk) << "the file object stays on the real device";

    Close(file);
    EXPECT_EQ(vpb->ReferenceCount, 1u) << "the count goes with the file object";
    Close(root);
    EXPECT_EQ(vpb->ReferenceCount, 0u);
}

TEST_F(FsTest, ADirectOpenOfTheDeviceReachesTheDiskWithoutMounting)
{
    HANDLE handle;
    ASSERT_EQ(KernelOpen("\\Device\\TestDisk0", FILE_READ_ATTRIBUTES | SYNCHRONIZE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(fs().mounts, 0);
    PFILE_OBJECT file;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&file, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(file->Flags & FO_DIRECT_DEVICE_OPEN);
    EXPECT_EQ(file->Vpb, nullptr);
    EXPECT_EQ(IoGetRelatedDeviceObject(file), fs().disk);
    ObDereferenceObject(file);
    ZwClose(handle);

    // Data access to the device itself is an open of its volume.
    ASSERT_EQ(KernelOpen("\\Device\\TestDisk0", FILE_READ_DATA, &handle), STATUS_SUCCESS);
    EXPECT_EQ(fs().mounts, 1);
    EXPECT_EQ(fs().Last(IRP_MJ_CREATE).fileName, u"") << "a volume open: no name";
    ZwClose(handle);
}

TEST_F(FsTest, AVolumeNoFileSystemRecognisesCannotBeOpened)
{
    fs().refuseMounts = true;
    HANDLE handle;
    EXPECT_EQ(Open("\\??\\T:\\", FILE_READ_DATA, &handle), STATUS_UNRECOGNIZED_VOLUME);
    EXPECT_TRUE(fs().Of(IRP_MJ_CREATE).empty());
    EXPECT_FALSE(fs().disk->Vpb->Flags & VPB_MOUNTED);
    EXPECT_EQ(fs().disk->Vpb->ReferenceCount, 0u);
    fs().refuseMounts = false;
    EXPECT_EQ(Open("\\??\\T:\\", FILE_READ_DATA, &handle), STATUS_SUCCESS) << "the next open offers it again";
    Close(handle);
}

TEST_F(FsTest, OpensRacingForAnUnmountedVolumeMountItOnce)
{
    fs().duringMount = [] { usleep(20000); }; /* a slow mount: the others arrive meanwhile */
    std::vector<std::thread> threads;
    std::atomic<int> opened{0};
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            HANDLE handle;
            if (KernelOpen("\\??\\T:\\", FILE_READ_DATA, &handle) == STATUS_SUCCESS) {
                opened++;
                ZwClose(handle);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(opened, 4);
    EXPECT_EQ(fs().mounts, 1);
}

TEST_F(FsTest, StreamFileObjectsCountInTheVpbAndOnlyTheFullOneGetsACleanup)
{
    HANDLE root;
    ASSERT_EQ(Open("\\??\\T:\\", FILE_READ_DATA, &root), STATUS_SUCCESS);
    PVPB vpb = fs().disk->Vpb;
    int cleanups = fs().cleanups, closes = fs().closes;

    PFILE_OBJECT full = IoCreateStreamFileObject(nullptr, fs().disk);
    EXPECT_EQ(fs().cleanups, cleanups + 1) << "its handle is closed at once";
    EXPECT_TRUE(full->Flags & FO_STREAM_FILE);
    PFILE_OBJECT lite = IoCreateStreamFileObjectLite(nullptr, fs().disk);
    EXPECT_EQ(fs().cleanups, cleanups + 1);
    EXPECT_EQ(vpb->ReferenceCount, 3u);
    EXPECT_EQ(IoGetRelatedDeviceObject(lite), fs().volume);

    ObDereferenceObject(full);
    ObDereferenceObject(lite);
    EXPECT_EQ(fs().closes, closes + 2);
    EXPECT_EQ(fs().cleanups, cleanups + 1);
    EXPECT_EQ(vpb->ReferenceCount, 1u);
    Close(root);
}

TEST_F(FsTest, AVpbSwappedOutOfItsDeviceGoesWithItsLastFileObjectAndTheDeviceMountsAgain)
{
    HANDLE file;
    ASSERT_EQ(Open("\\??\\T:\\", FILE_READ_DATA, &file), STATUS_SUCCESS);
    PVPB old = fs().disk->Vpb;
    // What a file system does at dismount while files are open: a fresh VPB for the device.
    auto *spare = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VPB), POOL_TAG('T', 's', 'V', 'p')));
    memset(spare, 0, sizeof(*spare));
    spare->Type = IO_TYPE_VPB;
    spare->Size = sizeof(VPB);
    spare->RealDevice = fs().disk;
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    fs().disk->Vpb = spare;
    old->DeviceObject = nullptr;
    old->Flags &= ~VPB_MOUNTED;
    IoReleaseVpbSpinLock(irql);

    HANDLE again;
    ASSERT_EQ(Open("\\??\\T:\\", FILE_READ_DATA, &again), STATUS_SUCCESS);
    EXPECT_EQ(fs().mounts, 2) << "the device mounts its new VPB";
    Close(again);
    uint64_t live = machine::PoolTag(POOL_TAG('V', 'p', 'b', ' ')).liveBlocks;
    Close(file);
    EXPECT_EQ(machine::PoolTag(POOL_TAG('V', 'p', 'b', ' ')).liveBlocks, live - 1)
        << "the old VPB went with its last file object";
}

/* A filter on top of the volume: sees each request first, passes it down with a completion routine. */
struct Filter {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    std::atomic<int> passed{0}, completions{0}, pendingSeen{0};
};
Filter filter;

NTSTATUS NTAPI FilterCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    filter.completions++;
    if (irp->PendingReturned) {
        filter.pendingSeen++;
        IoMarkIrpPending(irp);
    }
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT, PIRP irp)
{
    filter.passed++;
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, FilterCompletion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(filter.lower, irp);
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (auto &routine : driver->MajorFunction)
        routine = FilterDispatch;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &filter.device);
    if (!NT_SUCCESS(status))
        return status;
    filter.lower = IoAttachDeviceToDeviceStack(filter.device, testfs::TheFs().volume);
    if (filter.lower == nullptr) {
        IoDeleteDevice(filter.device);
        return STATUS_NO_SUCH_DEVICE;
    }
    filter.device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->DriverUnload = [](PDRIVER_OBJECT) {
        IoDetachDevice(filter.lower);
        IoDeleteDevice(filter.device);
    };
    return STATUS_SUCCESS;
}

TEST_F(FsTest, AFilterOnTheVolumeSeesRequestsFirstAndPendingTravelsUpTheStack)
{
    fs().Add(u"\\f", "filtered");
    HANDLE root;
    ASSERT_EQ(Open("\\??\\T:\\", FILE_READ_DATA, &root), STATUS_SUCCESS);
    filter.passed = filter.completions = filter.pendingSeen = 0;
    ASSERT_EQ(machine::LoadBuiltInDriver((void *)&FilterEntry, "tfilter"), STATUS_SUCCESS);
    EXPECT_EQ(filter.device->StackSize, fs().volume->StackSize + 1);

    // The file system pends the read and completes it on another thread.
    std::thread completer;
    fs().hooks[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        completer = std::thread([irp] {
            memcpy(irp->UserBuffer, "late", 4);
            testfs::Complete(irp, STATUS_SUCCESS, 4);
        });
        return (NTSTATUS)STATUS_PENDING;
    };
    HANDLE file;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA, &file), STATUS_SUCCESS);
    EXPECT_GE(filter.passed, 1) << "the create went through the filter";
    char *buffer = UserBytes("", 8);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    auto *offset = process->New<LARGE_INTEGER>();
    offset->QuadPart = 0;
    EXPECT_EQ(User([&] { return NtReadFile(file, nullptr, nullptr, nullptr, iosb, buffer, 8, offset, nullptr); }),
              STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(std::string(buffer, 4), "late");
    EXPECT_EQ(filter.pendingSeen, 1) << "the filter's routine saw PendingReturned";
    Close(file);
    Close(root);
    EXPECT_EQ(machine::UnloadDriver("tfilter"), STATUS_SUCCESS);
}

} // namespace

TEST_F(FsTest, VolumeControlsOnAVolumeOpenReachItsFileSystemAndVolumeEventsNameTheDisk)
{
    HANDLE volume;
    ASSERT_EQ(KernelOpen("\\??\\T:", FILE_READ_DATA | SYNCHRONIZE, &volume, FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    EXPECT_EQ(fs().Last(IRP_MJ_CREATE).fileName, u"") << "a volume open";
    IO_STATUS_BLOCK iosb;
    for (ULONG code : {FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME, FSCTL_DISMOUNT_VOLUME, FSCTL_IS_VOLUME_MOUNTED}) {
        ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, code, nullptr, 0, nullptr, 0);
        testfs::Seen seen = fs().Last(IRP_MJ_FILE_SYSTEM_CONTROL);
        EXPECT_EQ(seen.minor, IRP_MN_USER_FS_REQUEST);
        EXPECT_EQ(seen.stack.Parameters.FileSystemControl.FsControlCode, code);
        EXPECT_EQ(seen.stack.DeviceObject, fs().volume) << std::hex << code;
    }
    ZwClose(volume);

    // The stream file a dismount reports its lock on: the event names the disk, the
    // close goes to the file system.
    machine::ClearVolumeEvents();
    PFILE_OBJECT lite = IoCreateStreamFileObjectLite(nullptr, fs().disk);
    lite->Vpb = fs().disk->Vpb;
    EXPECT_EQ(FsRtlNotifyVolumeEvent(lite, FSRTL_VOLUME_LOCK), STATUS_SUCCESS);
    ASSERT_EQ(machine::VolumeEvents().size(), 1u);
    EXPECT_EQ(machine::VolumeEvents()[0].device, fs().disk);
    int closes = fs().closes;
    ObDereferenceObject(lite);
    EXPECT_EQ(fs().closes, closes + 1);
    EXPECT_EQ(fs().Last(IRP_MJ_CLOSE).stack.DeviceObject, fs().volume);
    EXPECT_EQ(fs().disk->Vpb->ReferenceCount, 0u);
}
