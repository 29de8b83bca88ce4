/*
 * Volume-information queries: every class swept over buffer lengths against a
 * model of the buffer rules, from a user program (where the I/O manager holds
 * back lengths below a class's minimum) and from kernel mode (where they reach
 * the file system); the size classes following writes and resizes; the label
 * as created, and the refusal to set it.
 */
#include "fileops_test.h"

#include <vector>

namespace {

constexpr ULONG kUnit = 4096;
constexpr ULONG kAttributesBase = 0x098000C6;

/* What a query of a class with a buffer of a length should give. */
struct Outcome {
    NTSTATUS status;
    ULONG_PTR information;
};

/* The model: fixed parts, all-or-nothing variable tails, and the I/O manager's own length check from user mode. */
Outcome Expected(FS_INFORMATION_CLASS c, ULONG length, ULONG labelBytes, bool user)
{
    ULONG fixed = 0;
    ULONG head = 0;
    ULONG tail = 0;
    switch (c) {
    case FileFsVolumeInformation:
        fixed = 24, head = 18, tail = labelBytes;
        break;
    case FileFsSizeInformation:
        fixed = head = 24;
        break;
    case FileFsDeviceInformation:
        fixed = head = 8;
        break;
    case FileFsAttributeInformation:
        fixed = 16, head = 12, tail = 10;
        break;
    case FileFsFullSizeInformation:
        fixed = head = 32;
        break;
    case FileFsVolumeFlagsInformation:
        /* Not served: a user caller's length is checked against the record's size first. */
        return {user && length < sizeof(FILE_FS_VOLUME_FLAGS_INFORMATION) ? STATUS_INFO_LENGTH_MISMATCH
                                                                          : STATUS_INVALID_INFO_CLASS,
                0};
    case FileFsSectorSizeInformation:
        return {user && length < sizeof(FILE_FS_SECTOR_SIZE_INFORMATION) ? STATUS_INFO_LENGTH_MISMATCH
                                                                         : STATUS_INVALID_INFO_CLASS,
                0};
    default:
        return {STATUS_INVALID_INFO_CLASS, 0};
    }
    if (length < fixed)
        return {user ? STATUS_INFO_LENGTH_MISMATCH : STATUS_BUFFER_TOO_SMALL, 0};
    if (length < head + tail)
        return {STATUS_BUFFER_OVERFLOW, head};
    return {STATUS_SUCCESS, head + tail};
}

class VolumeInformationTest : public DataFileOpsTest {
protected:
    void SetUp() override
    {
        DataFileOpsTest::SetUp();
        buffer = static_cast<UCHAR *>(process->Alloc(kBufferBytes));
        userIosb = process->New<IO_STATUS_BLOCK>();
        ASSERT_NE(buffer, nullptr);
    }
    void TearDown() override
    {
        if (kernelHandle != nullptr)
            ZwClose(kernelHandle);
        for (HANDLE h : handles)
            Close(h);
        Dismount('R');
        DataFileOpsTest::TearDown();
    }

    /* A volume on R: of size bytes with a label, and handles on its root for the user program and the kernel. */
    void MakeLabelled(ULONGLONG size, const char *label, ULONG flags = 0)
    {
        ASSERT_EQ(Create('R', size, label, flags), STATUS_SUCCESS);
        OpenRequest rq;
        rq.access = FILE_READ_ATTRIBUTES | FILE_WRITE_DATA;
        rq.options = FILE_DIRECTORY_FILE;
        ASSERT_EQ(Open("\\", &root, rq), STATUS_SUCCESS);
        handles.push_back(root);
        support::Name name("\\??\\R:\\");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        ASSERT_EQ(ZwCreateFile(&kernelHandle, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                               FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
                  STATUS_SUCCESS);
    }

    /* NtQueryVolumeInformationFile as the user program or ZwQueryVolumeInformationFile; the record lands in buffer. */
    Outcome Query(FS_INFORMATION_CLASS c, ULONG length, bool user = true)
    {
        memset(buffer, 0xCC, kBufferBytes);
        NTSTATUS status;
        ULONG_PTR information = 0;
        if (user) {
            userIosb->Information = ~(ULONG_PTR)0;
            status = support::AsUser(
                *process, [&] { return NtQueryVolumeInformationFile(root, userIosb, buffer, length, c); });
            information = NT_ERROR(status) ? 0 : userIosb->Information;
        } else {
            IO_STATUS_BLOCK iosb{};
            iosb.Information = ~(ULONG_PTR)0;
            status = ZwQueryVolumeInformationFile(kernelHandle, &iosb, buffer, length, c);
            information = NT_ERROR(status) ? 0 : iosb.Information;
        }
        return {status, information};
    }

    FILE_FS_FULL_SIZE_INFORMATION FullSize()
    {
        EXPECT_EQ(Query(FileFsFullSizeInformation, sizeof(FILE_FS_FULL_SIZE_INFORMATION)).status, STATUS_SUCCESS);
        FILE_FS_FULL_SIZE_INFORMATION full;
        memcpy(&full, buffer, sizeof(full));
        EXPECT_EQ(Query(FileFsSizeInformation, sizeof(FILE_FS_SIZE_INFORMATION)).status, STATUS_SUCCESS);
        FILE_FS_SIZE_INFORMATION size;
        memcpy(&size, buffer, sizeof(size));
        /* Both classes read the same counters, and nothing moves between the two queries. */
        EXPECT_EQ(size.TotalAllocationUnits.QuadPart, full.TotalAllocationUnits.QuadPart);
        EXPECT_EQ(size.AvailableAllocationUnits.QuadPart, full.CallerAvailableAllocationUnits.QuadPart);
        EXPECT_EQ(full.CallerAvailableAllocationUnits.QuadPart, full.ActualAvailableAllocationUnits.QuadPart);
        EXPECT_EQ(size.SectorsPerAllocationUnit * size.BytesPerSector, kUnit);
        return full;
    }
    LONGLONG ChargedBytes() { return NodeOf(root)->Vcb->Store.ChargedBytes; }

    static constexpr size_t kBufferBytes = 128;
    UCHAR *buffer = nullptr;
    IO_STATUS_BLOCK *userIosb = nullptr;
    HANDLE root = nullptr;
    HANDLE kernelHandle = nullptr;
    std::vector<HANDLE> handles;
};

/*
 * Every class at every length up to past its full record, from both modes,
 * against the model; a served answer's fixed part is checked too, so a record
 * written at the wrong offset or a tail copied into too short a buffer shows.
 */
TEST_F(VolumeInformationTest, LengthSweepFollowsTheBufferRules)
{
    const char *label = "Scratch";
    ULONG labelBytes = 7 * sizeof(WCHAR);
    MakeLabelled(64 * kMiB, label);
    const FS_INFORMATION_CLASS classes[] = {FileFsVolumeInformation,   FileFsSizeInformation,
                                            FileFsDeviceInformation,   FileFsAttributeInformation,
                                            FileFsFullSizeInformation, FileFsSectorSizeInformation,
                                            FileFsVolumeFlagsInformation};
    for (bool user : {true, false}) {
        for (FS_INFORMATION_CLASS c : classes) {
            for (ULONG length = 0; length <= 48; ++length) {
                SCOPED_TRACE(::testing::Message() << "class " << c << " length " << length << " user " << user);
                Outcome want = Expected(c, length, labelBytes, user);
                Outcome got = Query(c, length, user);
                ASSERT_EQ(got.status, want.status);
                ASSERT_EQ(got.information, want.information);
                if (NT_ERROR(got.status))
                    continue;
                /* Nothing is reported past what was returned. */
                for (ULONG i = (ULONG)got.information; i < length; ++i)
                    ASSERT_EQ(buffer[i], 0xCC) << "byte " << i;
                if (c == FileFsVolumeInformation) {
                    auto *info = reinterpret_cast<PFILE_FS_VOLUME_INFORMATION>(buffer);
                    EXPECT_EQ(info->VolumeLabelLength, labelBytes);
                    EXPECT_EQ(info->VolumeCreationTime.QuadPart, 0);
                    EXPECT_FALSE(info->SupportsObjects);
                    if (got.status == STATUS_SUCCESS) {
                        EXPECT_EQ(Narrow(reinterpret_cast<const char16_t *>(info->VolumeLabel), 7), label);
                    }
                } else if (c == FileFsAttributeInformation) {
                    auto *info = reinterpret_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(buffer);
                    EXPECT_EQ(info->FileSystemNameLength, 10u);
                    EXPECT_EQ(info->MaximumComponentNameLength, 255);
                    if (got.status == STATUS_SUCCESS) {
                        EXPECT_EQ(Narrow(reinterpret_cast<const char16_t *>(info->FileSystemName), 5), "VOREL");
                    }
                } else if (c == FileFsDeviceInformation) {
                    EXPECT_EQ(reinterpret_cast<PFILE_FS_DEVICE_INFORMATION>(buffer)->DeviceType,
                              (DEVICE_TYPE)FILE_DEVICE_DISK);
                }
            }
        }
    }
}

/* The driver's own answer to the device class, sent straight to the volume (the I/O manager answers it otherwise). */
TEST_F(VolumeInformationTest, DeviceClassFromTheFileSystem)
{
    MakeLabelled(64 * kMiB, "");
    PFILE_OBJECT file = FileObjectOf(root, *process);
    ASSERT_NE(file, nullptr);
    FILE_FS_DEVICE_INFORMATION info;
    memset(&info, 0xCC, sizeof(info));
    for (ULONG length : {0u, 7u, 8u}) {
        SCOPED_TRACE(length);
        ULONG_PTR information = ~(ULONG_PTR)0;
        NTSTATUS status = SendFileRequest(
            file, IRP_MJ_QUERY_VOLUME_INFORMATION,
            [&](PIRP irp, PIO_STACK_LOCATION stack) {
                irp->AssociatedIrp.SystemBuffer = &info;
                stack->Parameters.QueryVolume.Length = length;
                stack->Parameters.QueryVolume.FsInformationClass = FileFsDeviceInformation;
            },
            &information);
        if (length < 8) {
            EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(information, 0u);
            EXPECT_EQ(info.DeviceType, 0xCCCCCCCCu);
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(information, 8u);
            EXPECT_EQ(info.DeviceType, (DEVICE_TYPE)FILE_DEVICE_DISK);
            EXPECT_EQ(info.Characteristics, 0u);
        }
    }
}

/* Free space is the size less what the store charged: it follows writes and both resizes. */
TEST_F(VolumeInformationTest, SizesFollowChargeAndResize)
{
    AllocateScratch(kMiB);
    MakeLabelled(64 * kMiB, "");
    auto check = [&](ULONGLONG size) {
        FILE_FS_FULL_SIZE_INFORMATION full = FullSize();
        EXPECT_EQ(full.TotalAllocationUnits.QuadPart, (LONGLONG)(size / kUnit));
        LONGLONG charged = ChargedBytes();
        LONGLONG free = charged < (LONGLONG)size ? ((LONGLONG)size - charged) / kUnit : 0;
        EXPECT_EQ(full.CallerAvailableAllocationUnits.QuadPart, free);
        return full.CallerAvailableAllocationUnits.QuadPart;
    };
    LONGLONG empty = check(64 * kMiB);

    HANDLE file = OpenFile("\\data");
    handles.push_back(file);
    std::vector<UCHAR> data(kMiB, 0x5A);
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(WriteAt(file, (LONGLONG)i * kMiB, data.data(), data.size()), STATUS_SUCCESS);
    LONGLONG written = check(64 * kMiB);
    EXPECT_LE(written, empty - (LONGLONG)(6 * kMiB / kUnit));

    ASSERT_EQ(Resize('R', 128 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(check(128 * kMiB), written + (LONGLONG)(64 * kMiB / kUnit));
    ASSERT_EQ(Resize('R', 16 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(check(16 * kMiB), written - (LONGLONG)(48 * kMiB / kUnit));

}

/* The label comes back as created, up to its 31 characters; setting one is refused and changes nothing. */
TEST_F(VolumeInformationTest, LabelAsCreatedAndNotSettable)
{
    const char *longest = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234"; /* 31 characters */
    MakeLabelled(64 * kMiB, longest);
    ASSERT_EQ(Query(FileFsVolumeInformation, kBufferBytes).status, STATUS_SUCCESS);
    auto *info = reinterpret_cast<PFILE_FS_VOLUME_INFORMATION>(buffer);
    ASSERT_EQ(info->VolumeLabelLength, 62u);
    EXPECT_EQ(Narrow(reinterpret_cast<const char16_t *>(info->VolumeLabel), 31), longest);
    ULONG serial = info->VolumeSerialNumber;

    auto *set = static_cast<PFILE_FS_LABEL_INFORMATION>(process->Alloc(64));
    set->VolumeLabelLength = 8;
    memcpy(set->VolumeLabel, u"Next", 8);
    EXPECT_EQ(support::AsUser(*process,
                              [&] {
                                  return NtSetVolumeInformationFile(root, userIosb, set, 64,
                                                                    FileFsLabelInformation);
                              }),
              STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(Query(FileFsVolumeInformation, kBufferBytes).status, STATUS_SUCCESS);
    EXPECT_EQ(info->VolumeLabelLength, 62u);
    EXPECT_EQ(info->VolumeSerialNumber, serial);
    EXPECT_EQ(Narrow(reinterpret_cast<const char16_t *>(info->VolumeLabel), 31), longest);
}

/* Persistent ACLs are reported only by a volume that keeps security descriptors. */
TEST_F(VolumeInformationTest, AttributesFollowTheSecurityOption)
{
    for (ULONG flags : {0u, (ULONG)VOREL_CREATE_NO_SECURITY}) {
        SCOPED_TRACE(flags);
        MakeLabelled(64 * kMiB, "", flags);
        ASSERT_EQ(Query(FileFsAttributeInformation, 22).status, STATUS_SUCCESS);
        auto *info = reinterpret_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(buffer);
        EXPECT_EQ(info->FileSystemAttributes, flags == 0 ? kAttributesBase | FILE_PERSISTENT_ACLS : kAttributesBase);
        ZwClose(kernelHandle);
        kernelHandle = nullptr;
        for (HANDLE h : handles)
            Close(h);
        handles.clear();
        ASSERT_EQ(Dismount('R'), STATUS_SUCCESS);
    }
}

} // namespace
