/*
 * The create path: names reach the file system as written, root directories,
 * related opens, reparse points, EA buffers, granted access, the status block, and
 * the parameter checks.
 */
#include "fs_fixture.h"

namespace {

NTSTATUS KernelCreate(const char *path, ACCESS_MASK access, HANDLE *handle, HANDLE root = nullptr,
                      ULONG ioOptions = 0, ULONG options = 0, ULONG attributes = OBJ_CASE_INSENSITIVE)
{
    support::Name name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, attributes | OBJ_KERNEL_HANDLE, root, nullptr);
    IO_STATUS_BLOCK iosb;
    return IoCreateFileEx(handle, access, &oa, &iosb, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                          options, nullptr, 0, CreateFileTypeNone, nullptr, ioOptions, nullptr);
}

TEST_F(FsTest, NamesBelowADeviceReachTheFileSystemAsWritten)
{
    HANDLE handle;
    struct Case {
        const char *path;
        const char *seen;
    } cases[] = {
        {"\\??\\T:\\", "\\"},
        {"\\??\\T:\\x\\", "\\x\\"},
        {"\\??\\T:\\d\\\\x", "\\d\\\\x"},
        {"\\DosDevices\\T:\\a\\.\\b", "\\a\\.\\b"},
        {"\\GLOBAL??\\T:", ""},
    };
    for (const Case &c : cases) {
        NTSTATUS status = KernelCreate(c.path, FILE_READ_DATA, &handle);
        EXPECT_EQ(fs().Last(IRP_MJ_CREATE).fileName, U(c.seen)) << c.path;
        if (NT_SUCCESS(status))
            ZwClose(handle);
    }
    EXPECT_EQ(KernelCreate("\\Device\\\\TestDisk0", FILE_READ_DATA, &handle), STATUS_OBJECT_NAME_INVALID)
        << "an empty component among the object directories";
}

TEST_F(FsTest, ARootDirectoryMayBeAnObjectDirectory)
{
    support::Name name("\\Device");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE directory;
    ASSERT_EQ(ZwOpenDirectoryObject(&directory, DIRECTORY_TRAVERSE, &oa), STATUS_SUCCESS);
    HANDLE handle;
    ASSERT_EQ(KernelCreate("TestDisk0\\", FILE_READ_DATA, &handle, directory), STATUS_SUCCESS);
    EXPECT_EQ(fs().Last(IRP_MJ_CREATE).fileName, u"\\");
    ZwClose(handle);
    EXPECT_EQ(KernelCreate("\\TestDisk0", FILE_READ_DATA, &handle, directory), STATUS_OBJECT_PATH_SYNTAX_BAD)
        << "a name relative to a directory cannot begin at the root";
    ZwClose(directory);
}

TEST_F(FsTest, ARelativeOpenHoldsItsRelatedFileOnlyForTheCreate)
{
    fs().Add(u"\\d", "", true);
    fs().Add(u"\\d\\x", "child");
    HANDLE directory, child;
    ASSERT_EQ(Open("\\??\\T:\\d", FILE_LIST_DIRECTORY, &directory), STATUS_SUCCESS);
    ASSERT_EQ(Open("x", FILE_READ_DATA, &child, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, directory),
              STATUS_SUCCESS);
    testfs::Seen create = fs().Last(IRP_MJ_CREATE);
    EXPECT_EQ(create.fileName, u"x");
    EXPECT_NE(create.related, nullptr);
    int closes = fs().closes;
    Close(directory);
    EXPECT_EQ(fs().closes, closes + 1) << "the directory closes while its child stays open";
    Close(child);
}

TEST_F(FsTest, ReparsePointsAreFollowedByTheIoManager)
{
    fs().Add(u"\\real", "", true);
    fs().Add(u"\\real\\f", "target");
    fs().Add(u"\\d", "", true);
    fs().Add(u"\\R", "");
    fs().Find(u"\\R")->redirect = u"\\??\\T:\\real";
    fs().Add(u"\\M", "", true);
    fs().Find(u"\\M")->reparse = {IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\T:\\real", false};
    fs().Add(u"\\d\\L", "");
    fs().Find(u"\\d\\L")->reparse = {IO_REPARSE_TAG_SYMLINK, u"..\\real", true};
    fs().Add(u"\\loop", "");
    fs().Find(u"\\loop")->reparse = {IO_REPARSE_TAG_SYMLINK, u"\\??\\T:\\loop", false};
    fs().Add(u"\\odd", "");
    fs().Find(u"\\odd")->reparse = {0x8000FFFF, u"x", false};

    HANDLE handle;
    for (const char *path : {"\\??\\T:\\R\\f", "\\??\\T:\\M\\f", "\\??\\T:\\d\\L\\f"}) {
        ASSERT_EQ(KernelCreate(path, FILE_READ_DATA, &handle), STATUS_SUCCESS) << path;
        EXPECT_EQ(fs().Last(IRP_MJ_CREATE).fileName, u"\\real\\f") << path;
        ZwClose(handle);
    }
    ASSERT_EQ(KernelCreate("\\??\\T:\\M", FILE_READ_DATA, &handle, nullptr, 0, FILE_OPEN_REPARSE_POINT),
              STATUS_SUCCESS);
    EXPECT_EQ(fs().Last(IRP_MJ_CREATE).fileName, u"\\M") << "the point itself";
    ZwClose(handle);

    int creates = fs().creates;
    EXPECT_EQ(KernelCreate("\\??\\T:\\loop", FILE_READ_DATA, &handle), STATUS_REPARSE_POINT_NOT_RESOLVED);
    EXPECT_EQ(fs().creates - creates, 64) << "the first open and 63 reparses";
    EXPECT_EQ(KernelCreate("\\??\\T:\\d\\L\\f", FILE_READ_DATA, &handle, nullptr, IO_STOP_ON_SYMLINK),
              STATUS_STOPPED_ON_SYMLINK);
    EXPECT_TRUE(fs().Last(IRP_MJ_CREATE).stack.Flags & SL_STOP_ON_SYMLINK);
    EXPECT_EQ(KernelCreate("\\??\\T:\\odd", FILE_READ_DATA, &handle), STATUS_IO_REPARSE_TAG_NOT_HANDLED);
    EXPECT_EQ(machine::PoolTag(POOL_TAG('T', 'f', 's', 'R')).liveBlocks, 0u) << "every reparse buffer was freed";
}

TEST_F(FsTest, ANameTheFileSystemAllocatedGoesWithTheFileObject)
{
    fs().hooks[IRP_MJ_CREATE] = [](PDEVICE_OBJECT, PIRP irp) {
        PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
        auto *mine = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, 8, POOL_TAG('M', 'i', 'n', 'e')));
        memcpy(mine, L"\\own", 8);
        ExFreePool(file->FileName.Buffer);
        file->FileName.Buffer = mine;
        file->FileName.Length = file->FileName.MaximumLength = 8;
        return testfs::Complete(irp, STATUS_SUCCESS, FILE_OPENED);
    };
    HANDLE handle;
    ASSERT_EQ(KernelCreate("\\??\\T:\\anything", FILE_READ_DATA, &handle), STATUS_SUCCESS);
    EXPECT_EQ(machine::PoolTag(POOL_TAG('M', 'i', 'n', 'e')).liveBlocks, 1u);
    ZwClose(handle);
    EXPECT_EQ(machine::PoolTag(POOL_TAG('M', 'i', 'n', 'e')).liveBlocks, 0u);
}

TEST_F(FsTest, AnEaBufferIsCheckedBeforeTheFileSystemSeesIt)
{
    // One entry whose next offset is not a multiple of four.
    auto *ea = static_cast<PFILE_FULL_EA_INFORMATION>(process->Alloc(32));
    memset(ea, 0, 32);
    ea->NextEntryOffset = 13;
    ea->EaNameLength = 1;
    ea->EaName[0] = 'A';
    POBJECT_ATTRIBUTES oa = process->Attributes("\\??\\T:\\e");
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    auto *handle = process->New<HANDLE>();
    EXPECT_EQ(User([&] {
                  return NtCreateFile(handle, FILE_WRITE_EA | SYNCHRONIZE, oa, iosb, nullptr, 0, 0, FILE_OPEN_IF,
                                      FILE_SYNCHRONOUS_IO_NONALERT, ea, 32);
              }),
              STATUS_EA_LIST_INCONSISTENT);
    EXPECT_EQ(iosb->Information, 0u) << "the offset of the bad entry";
    EXPECT_TRUE(fs().Of(IRP_MJ_CREATE).empty());

    ea->NextEntryOffset = 0;
    ASSERT_EQ(User([&] {
                  return NtCreateFile(handle, FILE_WRITE_EA | SYNCHRONIZE, oa, iosb, nullptr, 0, 0, FILE_OPEN_IF,
                                      FILE_SYNCHRONOUS_IO_NONALERT, ea, 12);
              }),
              STATUS_SUCCESS);
    testfs::Seen create = fs().Last(IRP_MJ_CREATE);
    EXPECT_EQ(create.eaLength, 12u);
    EXPECT_NE(create.systemBuffer, nullptr);
    EXPECT_NE(create.systemBuffer, (void *)ea) << "the file system reads a copy";
    Close(*handle);
}

TEST_F(FsTest, TheHandleGetsWhatWasGrantedAndWhatRemainedAndKernelOpensLeaveTheCheckToTheFileSystem)
{
    fs().Add(u"\\f", "x");
    HANDLE handle;
    ASSERT_EQ(Open("\\??\\T:\\f", GENERIC_READ, &handle, FILE_OPEN, 0), STATUS_SUCCESS);
    testfs::Seen create = fs().Last(IRP_MJ_CREATE);
    EXPECT_EQ(create.remainingAccess, (ACCESS_MASK)FILE_GENERIC_READ) << "mapped, still to be granted";
    EXPECT_EQ(create.previouslyGranted, 0u);
    auto *access = process->New<FILE_ACCESS_INFORMATION>();
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    ASSERT_EQ(User([&] {
                  return NtQueryInformationFile(handle, iosb, access, sizeof(*access), FileAccessInformation);
              }),
              STATUS_SUCCESS);
    EXPECT_EQ(access->AccessFlags, (ACCESS_MASK)FILE_GENERIC_READ);
    Close(handle);

    ASSERT_EQ(KernelCreate("\\??\\T:\\f", FILE_READ_DATA | FILE_WRITE_DATA, &handle), STATUS_SUCCESS);
    create = fs().Last(IRP_MJ_CREATE);
    EXPECT_EQ(create.requestorMode, KernelMode);
    EXPECT_EQ(create.remainingAccess, (ACCESS_MASK)(FILE_READ_DATA | FILE_WRITE_DATA));
    EXPECT_EQ(create.previouslyGranted, 0u);
    EXPECT_FALSE(create.stack.Flags & SL_FORCE_ACCESS_CHECK);
    ZwClose(handle);
    ASSERT_EQ(KernelCreate("\\??\\T:\\f", FILE_READ_DATA, &handle, nullptr, IO_FORCE_ACCESS_CHECK), STATUS_SUCCESS);
    EXPECT_TRUE(fs().Last(IRP_MJ_CREATE).stack.Flags & SL_FORCE_ACCESS_CHECK);
    ZwClose(handle);

    // The device itself checks a user's open of it, before its driver sees it.
    ASSERT_EQ(Open("\\Device\\TestDisk0", FILE_READ_ATTRIBUTES, &handle, FILE_OPEN, 0), STATUS_SUCCESS);
    create = fs().Last(IRP_MJ_CREATE);
    EXPECT_EQ(create.previouslyGranted, (ACCESS_MASK)FILE_READ_ATTRIBUTES);
    EXPECT_EQ(create.remainingAccess, 0u);
    Close(handle);
}

TEST_F(FsTest, TheStatusBlockCarriesTheFileSystemsOutcome)
{
    HANDLE handle;
    IO_STATUS_BLOCK result;
    ASSERT_EQ(Open("\\??\\T:\\new", FILE_READ_DATA, &handle, FILE_OPEN_IF, 0, 0, &result), STATUS_SUCCESS);
    EXPECT_EQ(result.Information, (ULONG_PTR)FILE_CREATED);
    Close(handle);
    ASSERT_EQ(Open("\\??\\T:\\new", FILE_READ_DATA, &handle, FILE_OPEN_IF, 0, 0, &result), STATUS_SUCCESS);
    EXPECT_EQ(result.Information, (ULONG_PTR)FILE_OPENED);
    Close(handle);
    EXPECT_EQ(Open("\\??\\T:\\new", FILE_READ_DATA, &handle, FILE_CREATE, 0, 0, &result),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(result.Status, STATUS_OBJECT_NAME_COLLISION) << "a create's failure is the file system's to report";
}

TEST_F(FsTest, OpensAreCaseInsensitiveByTheSystemsDefault)
{
    fs().Add(u"\\f", "x");
    HANDLE handle;
    ASSERT_EQ(KernelCreate("\\??\\t:\\F", FILE_READ_DATA, &handle, nullptr, 0, 0, 0), STATUS_SUCCESS);
    testfs::Seen create = fs().Last(IRP_MJ_CREATE);
    EXPECT_FALSE(create.stack.Flags & SL_CASE_SENSITIVE);
    EXPECT_FALSE(create.file->Flags & FO_OPENED_CASE_SENSITIVE);
    ZwClose(handle);
}

TEST_F(FsTest, TheIoManagerRefusesContradictoryCreateParameters)
{
    struct Case {
        ACCESS_MASK access;
        ULONG disposition;
        ULONG options;
    } cases[] = {
        {FILE_READ_DATA | SYNCHRONIZE, FILE_OVERWRITE, FILE_DIRECTORY_FILE},
        {FILE_READ_DATA | SYNCHRONIZE, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE},
        {FILE_READ_DATA | SYNCHRONIZE, FILE_OPEN, FILE_DELETE_ON_CLOSE},
        {FILE_READ_DATA, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT},
        {FILE_APPEND_DATA | SYNCHRONIZE, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING},
        {FILE_READ_DATA, 6, 0},
    };
    POBJECT_ATTRIBUTES oa = process->Attributes("\\??\\T:\\p");
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    auto *handle = process->New<HANDLE>();
    for (const Case &c : cases)
        EXPECT_EQ(User([&] {
                      return NtCreateFile(handle, c.access, oa, iosb, nullptr, 0, 0, c.disposition, c.options, nullptr, 0);
                  }),
                  STATUS_INVALID_PARAMETER)
            << c.options;
    EXPECT_TRUE(fs().Of(IRP_MJ_CREATE).empty());
}

} // namespace
