/*
 * A volume's life through the control device: create, list, resize, dismount;
 * as a user-mode program and as a kernel caller; with the limits and collisions
 * a create must refuse, and the exclusive hold that keeps a resize away.
 */
#include "volume_test.h"

namespace {

TEST_F(VolumeTest, UserProgramCreatesListsResizesAndDismounts)
{
    ControlClient client(0);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    VOREL_CREATE_VOLUME_INPUT create = CreateRecord('R', 64 * kMiB, "Data", VOREL_CREATE_NO_RECYCLE | (2 << 1));
    ASSERT_EQ(client.Send(IOCTL_VOREL_CREATE_VOLUME, &create, sizeof(create), nullptr, 0), STATUS_SUCCESS);

    auto reply = std::make_unique<VOREL_MOUNTED_VOLUME_LIST>();
    ULONG_PTR information = 0;
    ASSERT_EQ(client.Send(IOCTL_VOREL_QUERY_MOUNTED_VOLUMES, nullptr, 0, reply.get(), sizeof(*reply), &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, sizeof(*reply));
    ASSERT_EQ(reply->Count, 1u);
    const VOREL_MOUNTED_VOLUME &entry = reply->Entries[0];
    EXPECT_EQ(entry.Letter, 'R');
    EXPECT_EQ(entry.SizeBytes, 64 * kMiB);
    EXPECT_EQ(entry.Flags, (VOREL_U32)VOREL_CREATE_NO_RECYCLE);
    EXPECT_EQ(entry.CompressionLevel, 2u);
    EXPECT_EQ(entry.BytesInUse, 0u);
    EXPECT_EQ(Narrow((const char16_t *)entry.Label, VOREL_LABEL_UNITS), "Data");
    EXPECT_EQ(entry.ImagePath[0], 0);

    VOREL_RESIZE_INPUT resize{'R', 0, 0, 128 * kMiB};
    EXPECT_EQ(client.Send(IOCTL_VOREL_RESIZE_VOLUME, &resize, sizeof(resize), nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(List().size(), 1u);
    EXPECT_EQ(List()[0].SizeBytes, 128 * kMiB);

    VOREL_LETTER_INPUT letter{'R', 0};
    EXPECT_EQ(client.Send(IOCTL_VOREL_DISMOUNT_VOLUME, &letter, sizeof(letter), nullptr, 0), STATUS_SUCCESS);
    EXPECT_TRUE(List().empty());
    EXPECT_EQ(client.Send(IOCTL_VOREL_DISMOUNT_VOLUME, &letter, sizeof(letter), nullptr, 0),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ExpectNoVolumeTrace('R');
}

TEST_F(VolumeTest, KernelCallerCreatesResizesAndDismountsSeveralVolumes)
{
    ASSERT_EQ(Create('R', 16 * kMiB, "one"), STATUS_SUCCESS);
    ASSERT_EQ(Create('T', 32 * kMiB, "two", VOREL_CREATE_NO_SECURITY), STATUS_SUCCESS);
    auto volumes = List();
    ASSERT_EQ(volumes.size(), 2u);
    EXPECT_EQ(volumes[0].Letter, 'R');
    EXPECT_EQ(volumes[1].Letter, 'T');
    EXPECT_EQ(volumes[1].Flags, (VOREL_U32)VOREL_CREATE_NO_SECURITY);
    EXPECT_EQ(VolumeLetters().size(), 2u);

    EXPECT_EQ(Resize('T', 4 * kMiB), STATUS_SUCCESS) << "shrinking an empty volume to the minimum";
    EXPECT_EQ(Resize('Q', 8 * kMiB), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Resize('T', 4 * kMiB - 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(List()[1].SizeBytes, 4 * kMiB);

    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    volumes = List();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].Letter, 'T');
    EXPECT_EQ(Dismount('T'), STATUS_SUCCESS);
    ExpectNoVolumeTrace('T');
}

TEST_F(VolumeTest, SizesBelowFourMebibytesAreRefusedWithoutTrace)
{
    EXPECT_EQ(Create('R', 4 * kMiB - 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Create('R', 0), STATUS_INVALID_PARAMETER);
    ExpectNoVolumeTrace('R');
    EXPECT_EQ(Create('R', 4 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(VolumeTest, AnImageThatCannotBeBoundLeavesNoTrace)
{
    VOREL_CREATE_VOLUME_INPUT input = CreateRecord('R', 0);
    std::u16string path = u"Q:\\no-such-drive\\r.img";
    for (size_t i = 0; i < path.size(); ++i)
        input.ImagePath[i] = path[i];
    EXPECT_FALSE(NT_SUCCESS(Control(IOCTL_VOREL_CREATE_VOLUME, &input, sizeof(input))));
    ExpectNoVolumeTrace('R');
}

TEST_F(VolumeTest, LabelFillingTheArrayIsCutToThirtyOneCharacters)
{
    VOREL_CREATE_VOLUME_INPUT input = CreateRecord('R', 8 * kMiB);
    for (auto &unit : input.Label)
        unit = 'L';
    ASSERT_EQ(Control(IOCTL_VOREL_CREATE_VOLUME, &input, sizeof(input)), STATUS_SUCCESS);
    EXPECT_EQ(Narrow((const char16_t *)List()[0].Label, VOREL_LABEL_UNITS), std::string(31, 'L'));

    DiskDevice disk;
    ASSERT_EQ(OpenDisk("\\??\\R:", &disk), STATUS_SUCCESS);
    PVPB vpb = disk.device->Vpb;
    EXPECT_EQ(vpb->VolumeLabelLength, 31 * sizeof(WCHAR));
    EXPECT_EQ(Narrow((const char16_t *)vpb->VolumeLabel, vpb->VolumeLabelLength / 2), std::string(31, 'L'));
}

TEST_F(VolumeTest, LettersInUseAreCollisions)
{
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(Create('R', 8 * kMiB), STATUS_OBJECT_NAME_COLLISION) << "an Online volume";
    EXPECT_EQ(Create('C', 8 * kMiB), STATUS_OBJECT_NAME_COLLISION) << "the system drive";
    ASSERT_EQ(machine::RegisterForeignLetter(u'N'), STATUS_SUCCESS);
    EXPECT_EQ(Create('N', 8 * kMiB), STATUS_OBJECT_NAME_COLLISION) << "another device's drive";
    EXPECT_TRUE(MountedDevicesHolding('N').empty());
    EXPECT_TRUE(MountedDevicesHolding('C').empty());
    EXPECT_EQ(List().size(), 1u);
    EXPECT_EQ(Records().size(), 1u);
    EXPECT_EQ(Dismount('N'), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    ExpectNoVolumeTrace('R');
    EXPECT_EQ(machine::RemoveForeignLetter(u'N'), STATUS_SUCCESS);
}

TEST_F(VolumeTest, ResizeBelowTheBytesInUseIsDiskFull)
{
    ASSERT_EQ(Create('R', 200 * kMiB), STATUS_SUCCESS);
    PVCB vcb = VcbOf('R');
    ASSERT_NE(vcb, nullptr);
    // No file data can be written yet: stand in for 100 MiB of it in the volume's charge.
    InterlockedAdd64(&vcb->Store.ChargedBytes, (LONG64)(100 * kMiB));
    EXPECT_EQ(Resize('R', 100 * kMiB - 1), STATUS_DISK_FULL);
    EXPECT_EQ(List()[0].SizeBytes, 200 * kMiB);
    EXPECT_EQ(List()[0].BytesInUse, 100 * kMiB);
    EXPECT_EQ(Resize('R', 100 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(vcb->Store.SizeBytes, 100 * kMiB) << "the store's limit follows";
    EXPECT_EQ(Resize('R', 300 * kMiB), STATUS_SUCCESS) << "growing is always allowed";
    InterlockedAdd64(&vcb->Store.ChargedBytes, -(LONG64)(100 * kMiB));
    vcb->Store.ReleasedBytes = 0;
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(VolumeTest, ExclusiveOperationKeepsResizeAndDismountAway)
{
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    PVOLUME_DEVICE_RECORD vdr;
    PVCB vcb;
    ASSERT_EQ(d->AcquireVolumeForOperation(L'R', &vdr, &vcb), STATUS_SUCCESS);
    EXPECT_EQ(vcb, VcbOf('R'));
    PVOLUME_DEVICE_RECORD other;
    PVCB otherVcb;
    EXPECT_EQ(d->AcquireVolumeForOperation(L'R', &other, &otherVcb), STATUS_DEVICE_BUSY);
    EXPECT_EQ(d->AcquireVolumeForOperation(L'Q', &other, &otherVcb), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Resize('R', 16 * kMiB), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Dismount('R'), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(List().empty()) << "a Busy volume is not Online";
    EXPECT_EQ(Create('R', 8 * kMiB), STATUS_OBJECT_NAME_COLLISION);
    d->ReleaseVolumeOperation(vdr);
    EXPECT_EQ(List().size(), 1u);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

/* Callers other than the control request (the boot services) get the letter checked too. */
TEST_F(VolumeTest, DirectCreatesCheckTheLetter)
{
    VOLUME_CREATE_PARAMETERS parameters{};
    parameters.Letter = L'r';
    parameters.SizeBytes = 8 * kMiB;
    EXPECT_EQ(d->CreateVolume(&parameters), STATUS_INVALID_PARAMETER);
    ExpectNoVolumeTrace('r');
}

TEST_F(VolumeTest, UnloadDismountsEveryVolume)
{
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Create('S', 8 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(UnloadDriver(), STATUS_SUCCESS);
    EXPECT_TRUE(VolumeLetters().empty());
    EXPECT_TRUE(MountedDevicesHolding('R').empty());
    EXPECT_TRUE(MountedDevicesHolding('S').empty());
}

} // namespace

namespace {

using VolumeDeathTest = VolumeTest;

TEST_F(VolumeDeathTest, BrokenVolumeListLinksStopTheSystem)
{
    EXPECT_FASTFAIL(
        {
            if (Create('R', 8 * kMiB) != STATUS_SUCCESS)
                return;
            LIST_ENTRY stray;
            stray.Flink = stray.Blink = &stray;
            Records()[0]->ListLinks.Flink->Blink = &stray;
            (void)Dismount('R');
        },
        FAST_FAIL_CORRUPT_LIST_ENTRY);
    EXPECT_FASTFAIL(
        {
            LIST_ENTRY stray;
            stray.Flink = stray.Blink = &stray;
            d->Data->VolumeList.Blink = &stray;
            (void)Create('R', 8 * kMiB);
        },
        FAST_FAIL_CORRUPT_LIST_ENTRY);
}

} // namespace

namespace {

/* A mount request as the I/O manager sends it to the file system, for a target and VPB of the test's choosing. */
NTSTATUS SendMount(PDEVICE_OBJECT fileSystem, PDEVICE_OBJECT target, PVPB vpb)
{
    TestRequest request(IRP_MJ_FILE_SYSTEM_CONTROL);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(request.irp);
    stack->MajorFunction = IRP_MJ_FILE_SYSTEM_CONTROL;
    stack->MinorFunction = IRP_MN_MOUNT_VOLUME;
    stack->Parameters.MountVolume.Vpb = vpb;
    stack->Parameters.MountVolume.DeviceObject = target;
    (void)IoCallDriver(fileSystem, request.irp);
    EXPECT_TRUE(request.WaitCompleted());
    return request.status;
}

TEST_F(VolumeTest, MountRefusesWhatIsNotAnUnmountedVolumeOfThisDriver)
{
    ASSERT_EQ(Create('R', 8 * kMiB), STATUS_SUCCESS);
    DiskDevice disk;
    ASSERT_EQ(OpenDisk("\\??\\R:", &disk), STATUS_SUCCESS);
    PDEVICE_OBJECT control = d->Data->ControlDevice;
    EXPECT_EQ(SendMount(control, disk.device, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendMount(control, nullptr, disk.device->Vpb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendMount(control, control, disk.device->Vpb), STATUS_UNRECOGNIZED_VOLUME);
    EXPECT_EQ(SendMount(control, disk.device, disk.device->Vpb), STATUS_DELETE_PENDING) << "already mounted";
    EXPECT_EQ(VolumeDevices(), 2u) << "no second file-system device";
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
