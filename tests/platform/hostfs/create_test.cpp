/*
 * Opens of host files: dispositions and what each leaves on the disk, the statuses of
 * names that lead nowhere or to the wrong kind of file, names that would leave the
 * drive, share access between the machine's opens, renames and deletes.
 */
#include "hostfs_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace hftest;

namespace {

constexpr ULONG kFileOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
constexpr ULONG kDirectoryOptions = FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE;

} // namespace

TEST_F(HostFsTest, DispositionsCreateOpenAndTruncateAsWindowsDoes)
{
    const Bytes old{1, 2, 3, 4, 5};
    struct Case {
        ULONG disposition;
        bool exists;
        NTSTATUS status;
        ULONG_PTR information;
        size_t sizeAfter; /* of the file, when it exists afterwards */
    };
    const Case cases[] = {
        {FILE_OPEN, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, 0},
        {FILE_OPEN, true, STATUS_SUCCESS, FILE_OPENED, 5},
        {FILE_CREATE, false, STATUS_SUCCESS, FILE_CREATED, 0},
        {FILE_CREATE, true, STATUS_OBJECT_NAME_COLLISION, 0, 5},
        {FILE_OPEN_IF, false, STATUS_SUCCESS, FILE_CREATED, 0},
        {FILE_OPEN_IF, true, STATUS_SUCCESS, FILE_OPENED, 5},
        {FILE_OVERWRITE, false, STATUS_OBJECT_NAME_NOT_FOUND, 0, 0},
        {FILE_OVERWRITE, true, STATUS_SUCCESS, FILE_OVERWRITTEN, 0},
        {FILE_OVERWRITE_IF, false, STATUS_SUCCESS, FILE_CREATED, 0},
        {FILE_OVERWRITE_IF, true, STATUS_SUCCESS, FILE_OVERWRITTEN, 0},
        {FILE_SUPERSEDE, false, STATUS_SUCCESS, FILE_CREATED, 0},
        {FILE_SUPERSEDE, true, STATUS_SUCCESS, FILE_SUPERSEDED, 0},
    };
    int index = 0;
    for (const Case &c : cases) {
        std::string name = "f" + std::to_string(index++);
        if (c.exists)
            MakeHostFile(name, old);
        Opened opened = Open(name, c.disposition);
        EXPECT_EQ(opened.status, c.status) << name;
        EXPECT_EQ(opened.information, c.information) << name;
        if (NT_SUCCESS(opened.status)) {
            FILE_STANDARD_INFORMATION info{};
            EXPECT_EQ(Standard(opened.handle, &info), STATUS_SUCCESS);
            EXPECT_EQ(info.EndOfFile.QuadPart, (LONGLONG)c.sizeAfter) << name;
            EXPECT_EQ(ZwClose(opened.handle), STATUS_SUCCESS);
        }
        EXPECT_EQ(HostExists(name), c.exists || NT_SUCCESS(c.status)) << name;
        if (HostExists(name)) {
            EXPECT_EQ(HostBytes(name).size(), c.sizeAfter) << name;
        }
    }
}

TEST_F(HostFsTest, NamesThatLeadNowhereOrToTheWrongKindAreRefused)
{
    ASSERT_EQ(mkdir(HostPath("dir").c_str(), 0755), 0);
    MakeHostFile("file", {7});
    ASSERT_EQ(mkfifo(HostPath("fifo").c_str(), 0644), 0);

    EXPECT_EQ(Open("missing/file").status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open("file/below").status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open("dir/missing", FILE_OPEN).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open("dir").status, STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Open("file", FILE_OPEN, FILE_READ_DATA, FILE_SHARE_READ, kDirectoryOptions).status,
              STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Open("fifo", FILE_OPEN).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open("bad:name").status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(std::string(256, 'n')).status, STATUS_OBJECT_NAME_INVALID);
    Opened longest = Open(std::string(255, 'n'));
    EXPECT_EQ(longest.status, STATUS_SUCCESS);
    ZwClose(longest.handle);
    EXPECT_EQ(Open("dir", FILE_OPEN, FILE_READ_DATA, FILE_SHARE_READ, kFileOptions | FILE_DIRECTORY_FILE).status,
              STATUS_INVALID_PARAMETER);

    // A directory opens as one, and a new one is made by FILE_DIRECTORY_FILE.
    Opened dir = Open("dir", FILE_OPEN, FILE_READ_DATA, FILE_SHARE_READ, kDirectoryOptions);
    EXPECT_EQ(dir.status, STATUS_SUCCESS);
    Opened made = Open("made", FILE_CREATE, FILE_READ_DATA, FILE_SHARE_READ, kDirectoryOptions);
    EXPECT_EQ(made.status, STATUS_SUCCESS);
    EXPECT_EQ(made.information, (ULONG_PTR)FILE_CREATED);
    struct stat st;
    ASSERT_EQ(stat(HostPath("made").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ZwClose(dir.handle);
    ZwClose(made.handle);
}

TEST_F(HostFsTest, NoNameLeavesTheDrive)
{
    std::string outside = Directory() + "-outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    ASSERT_EQ(symlink(outside.c_str(), HostPath("escape").c_str()), 0);
    ASSERT_EQ(symlink("/etc/hostname", HostPath("absolute").c_str()), 0);

    std::string outsideName = outside.substr(outside.rfind('/') + 1);
    EXPECT_EQ(Open("../" + outsideName + "/x").status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open("dir/../../x").status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open("./x").status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_NE(Open("escape/x").status, STATUS_SUCCESS);
    EXPECT_NE(Open("absolute", FILE_OPEN, FILE_READ_DATA).status, STATUS_SUCCESS);
    struct stat st;
    EXPECT_NE(stat((outside + "/x").c_str(), &st), 0);
    rmdir(outside.c_str());
}

TEST_F(HostFsTest, ShareAccessIsCheckedBetweenTheMachinesOpens)
{
    Opened first = Open("shared", FILE_OPEN_IF, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    // A second writer is refused; a reader that shares writing is allowed.
    EXPECT_EQ(Open("shared", FILE_OPEN, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ).status,
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Open("shared", FILE_OPEN, GENERIC_READ, FILE_SHARE_READ).status, STATUS_SHARING_VIOLATION);
    Opened reader = Open("shared", FILE_OPEN, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(reader.status, STATUS_SUCCESS);
    // An overwrite that sharing refuses leaves the data alone.
    ASSERT_EQ(Write(first.handle, 0, "abcd", 4), STATUS_SUCCESS);
    EXPECT_EQ(Open("shared", FILE_OVERWRITE, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE).status,
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(HostBytes("shared").size(), 4u);
    ZwClose(reader.handle);
    ZwClose(first.handle);
    // Everything closed: anyone may open it again.
    Opened again = Open("shared", FILE_OPEN, GENERIC_READ | GENERIC_WRITE, 0);
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    ZwClose(again.handle);
}

TEST_F(HostFsTest, DeleteAndRenameChangeTheHostNames)
{
    MakeHostFile("old", {1, 2, 3});
    ASSERT_EQ(mkdir(HostPath("sub").c_str(), 0755), 0);
    Opened file = Open("old", FILE_OPEN, GENERIC_READ | GENERIC_WRITE | DELETE);
    ASSERT_EQ(file.status, STATUS_SUCCESS);

    // Beside the file, then into another directory by its full name.
    std::u16string simple = u"renamed";
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFORMATION) + 512);
    auto *info = reinterpret_cast<FILE_RENAME_INFORMATION *>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = (ULONG)(simple.size() * sizeof(WCHAR));
    memcpy(info->FileName, simple.data(), info->FileNameLength);
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(ZwSetInformationFile(file.handle, &iosb, info, (ULONG)buffer.size(), FileRenameInformation),
              STATUS_SUCCESS);
    EXPECT_FALSE(HostExists("old"));
    EXPECT_TRUE(HostExists("renamed"));

    MakeHostFile("sub/taken", {9});
    std::u16string full = NtName("sub/taken");
    info->FileNameLength = (ULONG)(full.size() * sizeof(WCHAR));
    memcpy(info->FileName, full.data(), info->FileNameLength);
    EXPECT_EQ(ZwSetInformationFile(file.handle, &iosb, info, (ULONG)buffer.size(), FileRenameInformation),
              STATUS_OBJECT_NAME_COLLISION);
    info->ReplaceIfExists = TRUE;
    EXPECT_EQ(ZwSetInformationFile(file.handle, &iosb, info, (ULONG)buffer.size(), FileRenameInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(HostBytes("sub/taken"), (Bytes{1, 2, 3}));
    EXPECT_EQ(Flush(file.handle), STATUS_SUCCESS);

    // Delete: the name goes with the last handle, and a pending delete refuses new opens.
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    EXPECT_EQ(ZwSetInformationFile(file.handle, &iosb, &disposition, sizeof(disposition), FileDispositionInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(Open("sub/taken", FILE_OPEN, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
                  .status,
              STATUS_DELETE_PENDING);
    EXPECT_TRUE(HostExists("sub/taken"));
    ZwClose(file.handle);
    EXPECT_FALSE(HostExists("sub/taken"));

    // A directory that holds something cannot be deleted.
    MakeHostFile("sub/keep", {1});
    Opened dir = Open("sub", FILE_OPEN, FILE_READ_DATA | DELETE, FILE_SHARE_READ, kDirectoryOptions);
    ASSERT_EQ(dir.status, STATUS_SUCCESS);
    EXPECT_EQ(ZwSetInformationFile(dir.handle, &iosb, &disposition, sizeof(disposition), FileDispositionInformation),
              STATUS_DIRECTORY_NOT_EMPTY);
    ZwClose(dir.handle);
    EXPECT_TRUE(HostExists("sub"));
}

TEST_F(HostFsTest, VolumeInformationDescribesALocalDiskWithItsSectorSize)
{
    Opened file = Open("v");
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    FILE_FS_DEVICE_INFORMATION device{};
    EXPECT_EQ(ZwQueryVolumeInformationFile(file.handle, &iosb, &device, sizeof(device), FileFsDeviceInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(device.DeviceType, (DEVICE_TYPE)FILE_DEVICE_DISK);
    EXPECT_EQ(device.Characteristics & FILE_REMOTE_DEVICE, 0u);

    for (uint32_t sector : {512u, 4096u, 8192u, 0u}) {
        ASSERT_TRUE(machine::SetHostDriveSectorSize(u'H', sector));
        FILE_FS_SIZE_INFORMATION size{};
        EXPECT_EQ(ZwQueryVolumeInformationFile(file.handle, &iosb, &size, sizeof(size), FileFsSizeInformation),
                  STATUS_SUCCESS);
        EXPECT_EQ(size.BytesPerSector, sector);
        EXPECT_GT(size.TotalAllocationUnits.QuadPart, 0);
        FILE_FS_SECTOR_SIZE_INFORMATION sectors{};
        EXPECT_EQ(ZwQueryVolumeInformationFile(file.handle, &iosb, &sectors, sizeof(sectors),
                                               FileFsSectorSizeInformation),
                  STATUS_SUCCESS);
        EXPECT_EQ(sectors.LogicalBytesPerSector, sector);
    }
    EXPECT_FALSE(machine::SetHostDriveSectorSize(u'H', 3000));
    EXPECT_FALSE(machine::SetHostDriveSectorSize(u'Z', 512));

    FILE_FS_FULL_SIZE_INFORMATION full{};
    EXPECT_EQ(ZwQueryVolumeInformationFile(file.handle, &iosb, &full, sizeof(full), FileFsFullSizeInformation),
              STATUS_SUCCESS);
    EXPECT_GE(full.TotalAllocationUnits.QuadPart, full.ActualAvailableAllocationUnits.QuadPart);
    unsigned char attributeBuffer[64] = {};
    auto *attributes = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(attributeBuffer);
    EXPECT_EQ(ZwQueryVolumeInformationFile(file.handle, &iosb, attributes, sizeof(attributeBuffer),
                                           FileFsAttributeInformation),
              STATUS_SUCCESS);
    EXPECT_NE(attributes->FileSystemAttributes & FILE_SUPPORTS_SPARSE_FILES, 0u);
    ZwClose(file.handle);
}

TEST_F(HostFsTest, TheAuditFindsAHostFileLeftOpen)
{
    Opened file = Open("left");
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    machine::AuditReport report = machine::Audit();
    EXPECT_FALSE(report.Clean());
    EXPECT_NE(report.Text().find("left"), std::string::npos) << report.Text();
    ZwClose(file.handle);
    EXPECT_TRUE(machine::Audit().Clean()) << machine::Audit().Text();
}
