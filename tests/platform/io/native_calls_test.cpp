/*
 * The native calls on file handles: the access each needs, the checks the I/O
 * manager makes itself, what it answers without the file system, the fast I/O
 * entries it tries first, and the stack location and buffers of the IRP it builds,
 * compared with Windows' documented fields.
 */
#include "fs_fixture.h"

namespace {

class NativeCallTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        fs().Add(u"\\f", "0123456789");
        fs().Add(u"\\d", "", true);
        iosb = process->New<IO_STATUS_BLOCK>();
        offset = process->New<LARGE_INTEGER>();
    }
    NTSTATUS Read(HANDLE h, char *buffer, ULONG length, PLARGE_INTEGER at)
    {
        return User([&] { return NtReadFile(h, nullptr, nullptr, nullptr, iosb, buffer, length, at, nullptr); });
    }
    NTSTATUS Write(HANDLE h, const char *text, PLARGE_INTEGER at)
    {
        char *buffer = UserBytes(text);
        return User([&] {
            return NtWriteFile(h, nullptr, nullptr, nullptr, iosb, buffer, (ULONG)strlen(text), at, nullptr);
        });
    }
    NTSTATUS Query(HANDLE h, void *buffer, ULONG length, FILE_INFORMATION_CLASS c)
    {
        return User([&] { return NtQueryInformationFile(h, iosb, buffer, length, c); });
    }
    NTSTATUS Set(HANDLE h, void *buffer, ULONG length, FILE_INFORMATION_CLASS c)
    {
        return User([&] { return NtSetInformationFile(h, iosb, buffer, length, c); });
    }
    size_t Count(UCHAR major) { return fs().Of(major).size(); }

    PIO_STATUS_BLOCK iosb = nullptr;
    PLARGE_INTEGER offset = nullptr;
};

TEST_F(NativeCallTest, ASynchronousHandleReadsAndWritesAtItsFilePointer)
{
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA | FILE_WRITE_DATA, &h), STATUS_SUCCESS);
    char *buffer = UserBytes("", 16);
    ASSERT_EQ(Read(h, buffer, 4, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    testfs::Seen read = fs().Last(IRP_MJ_READ);
    EXPECT_EQ(read.stack.Parameters.Read.ByteOffset.QuadPart, 0) << "no offset: the file pointer";
    EXPECT_EQ(read.stack.Parameters.Read.Length, 4u);
    EXPECT_EQ(read.irpFlags & (IRP_READ_OPERATION | IRP_DEFER_IO_COMPLETION),
              (ULONG)(IRP_READ_OPERATION | IRP_DEFER_IO_COMPLETION));
    EXPECT_EQ(read.userBuffer, (void *)buffer) << "a neither-I/O device gets the caller's buffer";
    EXPECT_EQ(read.userIosb, iosb);
    EXPECT_EQ(iosb->Information, 4u);

    offset->LowPart = FILE_USE_FILE_POINTER_POSITION;
    offset->HighPart = -1;
    ASSERT_EQ(Read(h, buffer, 2, offset), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 2), "45") << "the file system advanced the pointer";
    EXPECT_EQ(fs().Last(IRP_MJ_READ).stack.Parameters.Read.ByteOffset.QuadPart, 4);
    offset->QuadPart = 8;
    ASSERT_EQ(Write(h, "XY", offset), STATUS_SUCCESS);
    EXPECT_EQ(fs().Find(u"\\f")->data, "01234567XY");
    Close(h);
}

TEST_F(NativeCallTest, AnAsynchronousHandleNeedsAnOffsetAndAnAppendOnlyHandleWritesAtTheEnd)
{
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA, &h, FILE_OPEN, 0), STATUS_SUCCESS);
    char *buffer = UserBytes("", 4);
    EXPECT_EQ(Read(h, buffer, 4, nullptr), STATUS_INVALID_PARAMETER);
    offset->LowPart = FILE_USE_FILE_POINTER_POSITION;
    offset->HighPart = -1;
    EXPECT_EQ(Read(h, buffer, 4, offset), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Write(h, "no", nullptr), STATUS_ACCESS_DENIED) << "a read handle cannot write";
    EXPECT_EQ(Count(IRP_MJ_READ) + Count(IRP_MJ_WRITE), 0u);
    Close(h);

    HANDLE append;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_APPEND_DATA, &append, FILE_OPEN, 0), STATUS_SUCCESS);
    offset->QuadPart = 0;
    ASSERT_EQ(Write(append, "++", offset), STATUS_SUCCESS);
    testfs::Seen write = fs().Last(IRP_MJ_WRITE);
    EXPECT_EQ(write.stack.Parameters.Write.ByteOffset.HighPart, -1);
    EXPECT_EQ(write.stack.Parameters.Write.ByteOffset.LowPart, (ULONG)FILE_WRITE_TO_END_OF_FILE);
    EXPECT_EQ(fs().Find(u"\\f")->data, "0123456789++");
    Close(append);
}

TEST_F(NativeCallTest, TheDevicesIoMethodDecidesHowBuffersTravel)
{
    HANDLE h;
    fs().volumeFlags = DO_BUFFERED_IO;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA, &h), STATUS_SUCCESS);
    char *buffer = UserBytes("", 10);
    ASSERT_EQ(Read(h, buffer, 10, nullptr), STATUS_SUCCESS);
    testfs::Seen read = fs().Last(IRP_MJ_READ);
    EXPECT_NE(read.systemBuffer, nullptr);
    EXPECT_TRUE(read.irpFlags & IRP_INPUT_OPERATION);
    EXPECT_EQ(std::string(buffer, 10), "0123456789") << "copied back at completion";
    Close(h);

    // A volume mounted with direct I/O gets an MDL; its system mapping writes the caller's pages.
    testfs::Unload();
    testfs::Reset();
    testfs::TheFs().volumeFlags = DO_DIRECT_IO;
    ASSERT_EQ(testfs::Load(), STATUS_SUCCESS);
    fs().Add(u"\\g", "direct");
    ASSERT_EQ(Open("\\??\\T:\\g", FILE_READ_DATA, &h), STATUS_SUCCESS);
    ASSERT_EQ(Read(h, buffer, 6, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(fs().Last(IRP_MJ_READ).hasMdl);
    EXPECT_EQ(std::string(buffer, 6), "direct");
    Close(h);
}

TEST_F(NativeCallTest, InformationClassesAreCheckedAndSomeAnsweredByTheIoManager)
{
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA, &h), STATUS_SUCCESS);
    auto *basic = process->New<FILE_BASIC_INFORMATION>();
    EXPECT_EQ(Query(h, basic, sizeof(*basic) - 1, FileBasicInformation), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(Query(h, basic, sizeof(*basic), (FILE_INFORMATION_CLASS)99), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(Query(h, basic, sizeof(*basic), FileRenameInformation), STATUS_INVALID_INFO_CLASS)
        << "a class that can only be set";
    EXPECT_EQ(Query(h, basic, sizeof(*basic), FileBasicInformation), STATUS_ACCESS_DENIED)
        << "basic information needs FILE_READ_ATTRIBUTES";
    EXPECT_EQ(Count(IRP_MJ_QUERY_INFORMATION), 0u);

    auto *standard = process->New<FILE_STANDARD_INFORMATION>();
    ASSERT_EQ(Query(h, standard, sizeof(*standard), FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(standard->EndOfFile.QuadPart, 10);
    testfs::Seen query = fs().Last(IRP_MJ_QUERY_INFORMATION);
    EXPECT_EQ(query.stack.Parameters.QueryFile.FileInformationClass, FileStandardInformation);
    EXPECT_EQ(query.stack.Parameters.QueryFile.Length, sizeof(*standard));
    EXPECT_NE(query.systemBuffer, (void *)standard) << "information travels in a system buffer";

    // Position, mode, alignment and access: the I/O manager's own.
    auto *position = process->New<FILE_POSITION_INFORMATION>();
    position->CurrentByteOffset.QuadPart = -1;
    EXPECT_EQ(Set(h, position, sizeof(*position), FilePositionInformation), STATUS_INVALID_PARAMETER);
    position->CurrentByteOffset.QuadPart = 7;
    ASSERT_EQ(Set(h, position, sizeof(*position), FilePositionInformation), STATUS_SUCCESS);
    position->CurrentByteOffset.QuadPart = 0;
    ASSERT_EQ(Query(h, position, sizeof(*position), FilePositionInformation), STATUS_SUCCESS);
    EXPECT_EQ(position->CurrentByteOffset.QuadPart, 7);
    auto *mode = process->New<FILE_MODE_INFORMATION>();
    mode->Mode = FILE_WRITE_THROUGH | FILE_SYNCHRONOUS_IO_NONALERT;
    ASSERT_EQ(Set(h, mode, sizeof(*mode), FileModeInformation), STATUS_SUCCESS);
    mode->Mode = 0;
    EXPECT_EQ(Set(h, mode, sizeof(*mode), FileModeInformation), STATUS_INVALID_PARAMETER)
        << "a synchronous file object stays synchronous";
    ASSERT_EQ(Query(h, mode, sizeof(*mode), FileModeInformation), STATUS_SUCCESS);
    EXPECT_EQ(mode->Mode, (ULONG)(FILE_WRITE_THROUGH | FILE_SYNCHRONOUS_IO_NONALERT));
    auto *alignment = process->New<FILE_ALIGNMENT_INFORMATION>();
    ASSERT_EQ(Query(h, alignment, sizeof(*alignment), FileAlignmentInformation), STATUS_SUCCESS);
    EXPECT_EQ(Count(IRP_MJ_QUERY_INFORMATION) + Count(IRP_MJ_SET_INFORMATION), 1u);
    Close(h);
}

BOOLEAN NTAPI FastBasic(PFILE_OBJECT, BOOLEAN wait, PFILE_BASIC_INFORMATION info, PIO_STATUS_BLOCK status,
                        PDEVICE_OBJECT)
{
    EXPECT_TRUE(wait);
    memset(info, 0, sizeof(*info));
    info->FileAttributes = FILE_ATTRIBUTE_TEMPORARY;
    status->Status = STATUS_SUCCESS;
    status->Information = sizeof(*info);
    return TRUE;
}

BOOLEAN NTAPI NoFastStandard(PFILE_OBJECT, BOOLEAN, PFILE_STANDARD_INFORMATION, PIO_STATUS_BLOCK, PDEVICE_OBJECT)
{
    return FALSE;
}

TEST_F(NativeCallTest, FastIoEntriesAreTriedFirstAndAFalseAnswerFallsBackToAnIrp)
{
    fs().fastIo.FastIoQueryBasicInfo = FastBasic;
    fs().fastIo.FastIoQueryStandardInfo = NoFastStandard;
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_ATTRIBUTES, &h), STATUS_SUCCESS);
    auto *basic = process->New<FILE_BASIC_INFORMATION>();
    ASSERT_EQ(Query(h, basic, sizeof(*basic), FileBasicInformation), STATUS_SUCCESS);
    EXPECT_EQ(basic->FileAttributes, (ULONG)FILE_ATTRIBUTE_TEMPORARY);
    EXPECT_EQ(iosb->Information, sizeof(*basic));
    EXPECT_EQ(Count(IRP_MJ_QUERY_INFORMATION), 0u);
    auto *standard = process->New<FILE_STANDARD_INFORMATION>();
    ASSERT_EQ(Query(h, standard, sizeof(*standard), FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(Count(IRP_MJ_QUERY_INFORMATION), 1u);
    Close(h);
}

TEST_F(NativeCallTest, ARenameToAFullNameOpensTheTargetDirectoryFirst)
{
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", DELETE, &h), STATUS_SUCCESS);
    const char16_t target[] = u"\\??\\T:\\d\\moved";
    ULONG bytes = (ULONG)(sizeof(target) - 2);
    auto *info = static_cast<PFILE_RENAME_INFORMATION>(process->Alloc(sizeof(FILE_RENAME_INFORMATION) + bytes));
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = bytes;
    memcpy(info->FileName, target, bytes);
    ULONG length = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + bytes;
    EXPECT_EQ(Set(h, info, length - 2, FileRenameInformation), STATUS_INVALID_PARAMETER) << "the name overruns";
    ASSERT_EQ(Set(h, info, length, FileRenameInformation), STATUS_SUCCESS);
    testfs::Seen open = fs().Last(IRP_MJ_CREATE);
    EXPECT_TRUE(open.stack.Flags & SL_OPEN_TARGET_DIRECTORY);
    EXPECT_TRUE(open.stack.Flags & SL_FORCE_ACCESS_CHECK) << "opened as the user would";
    testfs::Seen rename = fs().Last(IRP_MJ_SET_INFORMATION);
    EXPECT_EQ(rename.targetName, u"moved");
    EXPECT_EQ(rename.stack.Parameters.SetFile.FileObject, open.file);
    EXPECT_NE(fs().Find(u"\\d\\moved"), nullptr);
    Close(h);
}

TEST_F(NativeCallTest, EachCallBuildsItsStackLocationAsWindowsDoes)
{
    HANDLE d, f;
    ASSERT_EQ(Open("\\??\\T:\\d", FILE_LIST_DIRECTORY | FILE_READ_EA | FILE_WRITE_EA | READ_CONTROL | WRITE_DAC, &d),
              STATUS_SUCCESS);
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA | FILE_WRITE_DATA, &f), STATUS_SUCCESS);
    char *buffer = UserBytes("", 256);

    auto *pattern = process->New<UNICODE_STRING>();
    auto *text = static_cast<WCHAR *>(process->Alloc(6));
    memcpy(text, L"a*", 4);
    pattern->Buffer = text;
    pattern->Length = pattern->MaximumLength = 4;
    ASSERT_EQ(User([&] {
                  return NtQueryDirectoryFile(d, nullptr, nullptr, nullptr, iosb, buffer, 256,
                                              FileDirectoryInformation, TRUE, pattern, TRUE);
              }),
              STATUS_SUCCESS);
    testfs::Seen query = fs().Last(IRP_MJ_DIRECTORY_CONTROL);
    EXPECT_EQ(query.minor, IRP_MN_QUERY_DIRECTORY);
    EXPECT_EQ(query.stack.Flags, SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY);
    EXPECT_EQ(query.stack.Parameters.QueryDirectory.FileInformationClass, FileDirectoryInformation);
    EXPECT_NE(query.stack.Parameters.QueryDirectory.FileName, pattern) << "the pattern is captured";

    EXPECT_EQ(User([&] {
                  return NtNotifyChangeDirectoryFile(d, nullptr, nullptr, nullptr, iosb, buffer, 256, 0x10000, TRUE);
              }),
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(User([&] {
                  return NtNotifyChangeDirectoryFile(d, nullptr, nullptr, nullptr, iosb, buffer, 256,
                                                     FILE_NOTIFY_CHANGE_FILE_NAME, TRUE);
              }),
              STATUS_SUCCESS);
    testfs::Seen notify = fs().Last(IRP_MJ_DIRECTORY_CONTROL);
    EXPECT_EQ(notify.minor, IRP_MN_NOTIFY_CHANGE_DIRECTORY);
    EXPECT_EQ(notify.stack.Flags, SL_WATCH_TREE);
    EXPECT_EQ(notify.stack.Parameters.NotifyDirectory.CompletionFilter, (ULONG)FILE_NOTIFY_CHANGE_FILE_NAME);

    constexpr ULONG kFsctl = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
    ASSERT_EQ(User([&] { return NtFsControlFile(f, nullptr, nullptr, nullptr, iosb, kFsctl, buffer, 4, buffer, 8); }),
              STATUS_SUCCESS);
    testfs::Seen fsctl = fs().Last(IRP_MJ_FILE_SYSTEM_CONTROL);
    EXPECT_EQ(fsctl.minor, IRP_MN_USER_FS_REQUEST);
    EXPECT_EQ(fsctl.stack.Parameters.FileSystemControl.FsControlCode, kFsctl);
    EXPECT_EQ(fsctl.stack.Parameters.FileSystemControl.OutputBufferLength, 8u);

    offset->QuadPart = 2;
    auto *length = process->New<LARGE_INTEGER>();
    length->QuadPart = 3;
    PFILE_OBJECT file = FileOf(f);
    ASSERT_EQ(User([&] { return NtLockFile(f, nullptr, nullptr, nullptr, iosb, offset, length, 7, TRUE, TRUE); }),
              STATUS_SUCCESS);
    testfs::Seen lock = fs().Last(IRP_MJ_LOCK_CONTROL);
    EXPECT_EQ(lock.minor, IRP_MN_LOCK);
    EXPECT_EQ(lock.stack.Flags, SL_FAIL_IMMEDIATELY | SL_EXCLUSIVE_LOCK);
    EXPECT_EQ(lock.stack.Parameters.LockControl.Key, 7u);
    EXPECT_EQ(lock.stack.Parameters.LockControl.ByteOffset.QuadPart, 2);
    EXPECT_NE(lock.stack.Parameters.LockControl.Length, length) << "the length is a kernel copy";
    EXPECT_TRUE(file->LockOperation);
    ObDereferenceObject(file);
    ASSERT_EQ(User([&] { return NtUnlockFile(f, iosb, offset, length, 7); }), STATUS_SUCCESS);
    EXPECT_EQ(fs().Last(IRP_MJ_LOCK_CONTROL).minor, IRP_MN_UNLOCK_SINGLE);

    auto *volume = process->New<FILE_FS_DEVICE_INFORMATION>();
    ASSERT_EQ(User([&] {
                  return NtQueryVolumeInformationFile(f, iosb, volume, sizeof(*volume), FileFsDeviceInformation);
              }),
              STATUS_SUCCESS);
    EXPECT_EQ(volume->DeviceType, (ULONG)FILE_DEVICE_DISK) << "answered from the device the file was opened on";
    EXPECT_TRUE(volume->Characteristics & FILE_DEVICE_IS_MOUNTED);
    auto *size = process->New<FILE_FS_SIZE_INFORMATION>();
    ASSERT_EQ(User([&] { return NtQueryVolumeInformationFile(f, iosb, size, sizeof(*size), FileFsSizeInformation); }),
              STATUS_SUCCESS);
    EXPECT_EQ(fs().Of(IRP_MJ_QUERY_VOLUME_INFORMATION).size(), 1u);

    EXPECT_EQ(User([&] { return NtQueryEaFile(d, iosb, buffer, 64, FALSE, nullptr, 0, nullptr, FALSE); }),
              STATUS_SUCCESS);
    EXPECT_EQ(fs().Last(IRP_MJ_QUERY_EA).stack.Parameters.QueryEa.Length, 64u);
    EXPECT_EQ(User([&] { return NtFlushBuffersFile(d, iosb); }), STATUS_ACCESS_DENIED) << "a flush needs write access";
    ASSERT_EQ(User([&] { return NtFlushBuffersFile(f, iosb); }), STATUS_SUCCESS);
    EXPECT_EQ(fs().Of(IRP_MJ_FLUSH_BUFFERS).size(), 1u);
    Close(d);
    Close(f);
}

TEST_F(NativeCallTest, SecurityQueriesReportTheLengthNeededAndSetsCarryACapturedDescriptor)
{
    fs().hooks[IRP_MJ_QUERY_SECURITY] = [](PDEVICE_OBJECT, PIRP irp) {
        return testfs::Complete(irp, STATUS_BUFFER_OVERFLOW, 92);
    };
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", READ_CONTROL | WRITE_DAC | WRITE_OWNER, &h), STATUS_SUCCESS);
    char *buffer = UserBytes("", 128);
    auto *needed = process->New<ULONG>();
    EXPECT_EQ(User([&] { return NtQuerySecurityObject(h, DACL_SECURITY_INFORMATION, buffer, 16, needed); }),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(*needed, 92u);
    testfs::Seen query = fs().Last(IRP_MJ_QUERY_SECURITY);
    EXPECT_EQ(query.userBuffer, (void *)buffer);
    EXPECT_EQ(query.stack.Parameters.QuerySecurity.SecurityInformation, (ULONG)DACL_SECURITY_INFORMATION);
    EXPECT_EQ(User([&] { return NtQuerySecurityObject(h, SACL_SECURITY_INFORMATION, buffer, 128, needed); }),
              STATUS_ACCESS_DENIED);

    // A descriptor with a DACL but no owner.
    auto *sd = static_cast<SECURITY_DESCRIPTOR_RELATIVE *>(process->Alloc(sizeof(SECURITY_DESCRIPTOR_RELATIVE) + 8));
    memset(sd, 0, sizeof(*sd) + 8);
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    sd->Control = SE_SELF_RELATIVE | SE_DACL_PRESENT;
    sd->Dacl = sizeof(*sd);
    ASSERT_EQ(RtlCreateAcl(reinterpret_cast<PACL>(sd + 1), 8, ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(User([&] { return NtSetSecurityObject(h, OWNER_SECURITY_INFORMATION, sd); }), STATUS_INVALID_OWNER);
    ASSERT_EQ(User([&] { return NtSetSecurityObject(h, DACL_SECURITY_INFORMATION, sd); }), STATUS_SUCCESS);
    testfs::Seen set = fs().Last(IRP_MJ_SET_SECURITY);
    EXPECT_NE(set.stack.Parameters.SetSecurity.SecurityDescriptor, (void *)sd) << "the file system gets a copy";
    Close(h);
}

BOOLEAN NTAPI QueryOpen(PIRP irp, PFILE_NETWORK_OPEN_INFORMATION info, PDEVICE_OBJECT)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (file->FileName.Length != 4 || file->FileName.Buffer[1] != L'q') /* only "\q" is answered here */
        return FALSE;
    memset(info, 0, sizeof(*info));
    info->EndOfFile.QuadPart = 42;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return TRUE;
}

TEST_F(NativeCallTest, AttributesByNameTryTheQuickOpenFirstThenOpenQueryAndClose)
{
    fs().fastIo.FastIoQueryOpen = QueryOpen;
    fs().Add(u"\\q", "");
    POBJECT_ATTRIBUTES oa = process->Attributes("\\??\\T:\\q");
    auto *info = process->New<FILE_NETWORK_OPEN_INFORMATION>();
    ASSERT_EQ(User([&] { return NtQueryFullAttributesFile(oa, info); }), STATUS_SUCCESS);
    EXPECT_EQ(info->EndOfFile.QuadPart, 42);
    EXPECT_EQ(fs().creates, 0) << "answered without a create";

    oa = process->Attributes("\\??\\T:\\f");
    int cleanups = fs().cleanups, closes = fs().closes;
    ASSERT_EQ(User([&] { return NtQueryFullAttributesFile(oa, info); }), STATUS_SUCCESS);
    EXPECT_EQ(info->EndOfFile.QuadPart, 10);
    EXPECT_EQ(fs().creates, 1);
    EXPECT_EQ(fs().Last(IRP_MJ_CREATE).remainingAccess, (ACCESS_MASK)FILE_READ_ATTRIBUTES);
    EXPECT_EQ(fs().cleanups, cleanups + 1) << "an open without a handle still gets its cleanup";
    EXPECT_EQ(fs().closes, closes + 1);
}

} // namespace

namespace {

BOOLEAN NTAPI FastRead(PFILE_OBJECT, PLARGE_INTEGER offset, ULONG length, BOOLEAN wait, ULONG, PVOID buffer,
                       PIO_STATUS_BLOCK status, PDEVICE_OBJECT)
{
    EXPECT_TRUE(wait);
    memset(buffer, 'c', length);
    status->Status = offset->QuadPart == 0 ? STATUS_SUCCESS : STATUS_END_OF_FILE;
    status->Information = length;
    return offset->QuadPart == 0; /* only the start of the file is cached */
}

BOOLEAN NTAPI FastLock(PFILE_OBJECT, PLARGE_INTEGER, PLARGE_INTEGER, PEPROCESS process, ULONG, BOOLEAN, BOOLEAN,
                       PIO_STATUS_BLOCK status, PDEVICE_OBJECT)
{
    EXPECT_EQ(process, PsGetCurrentProcess()) << "the requesting process";
    status->Status = STATUS_LOCK_NOT_GRANTED;
    status->Information = 0;
    return TRUE;
}

TEST_F(NativeCallTest, CachedReadsAndLocksMayBeAnsweredByFastIo)
{
    fs().fastIo.FastIoRead = FastRead;
    fs().fastIo.FastIoLock = FastLock;
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA, &h), STATUS_SUCCESS);
    char *buffer = UserBytes("", 4);
    offset->QuadPart = 0;
    ASSERT_EQ(Read(h, buffer, 4, offset), STATUS_SUCCESS);
    EXPECT_EQ(Count(IRP_MJ_READ), 1u) << "no caching yet: no fast read";
    PFILE_OBJECT file = FileOf(h);
    file->PrivateCacheMap = file; /* caching has begun, as the cache manager would mark it */
    ASSERT_EQ(Read(h, buffer, 4, offset), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 4), "cccc");
    EXPECT_EQ(Count(IRP_MJ_READ), 1u);
    offset->QuadPart = 4;
    ASSERT_EQ(Read(h, buffer, 2, offset), STATUS_SUCCESS) << "FALSE: the IRP goes after all";
    EXPECT_EQ(Count(IRP_MJ_READ), 2u);
    file->PrivateCacheMap = nullptr;

    auto *length = process->New<LARGE_INTEGER>();
    length->QuadPart = 1;
    EXPECT_EQ(User([&] { return NtLockFile(h, nullptr, nullptr, nullptr, iosb, offset, length, 0, TRUE, TRUE); }),
              STATUS_LOCK_NOT_GRANTED);
    EXPECT_EQ(iosb->Status, STATUS_LOCK_NOT_GRANTED) << "a fast answer is reported whatever it is";
    EXPECT_EQ(Count(IRP_MJ_LOCK_CONTROL), 0u);
    EXPECT_TRUE(file->LockOperation);
    ObDereferenceObject(file);
    Close(h);
}

VOID NTAPI CancelRead(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    testfs::Complete(irp, STATUS_CANCELLED);
}

TEST_F(NativeCallTest, CancelIoFileCancelsWhatTheThreadStartedOnTheFile)
{
    fs().hooks[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelRead);
        return (NTSTATUS)STATUS_PENDING;
    };
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA, &h, FILE_OPEN, 0), STATUS_SUCCESS);
    char *buffer = UserBytes("", 4);
    offset->QuadPart = 0;
    ASSERT_EQ(Read(h, buffer, 4, offset), STATUS_PENDING);
    auto *cancel = process->New<IO_STATUS_BLOCK>();
    ASSERT_EQ(User([&] { return NtCancelIoFile(h, cancel); }), STATUS_SUCCESS);
    EXPECT_EQ(iosb->Status, STATUS_CANCELLED);
    EXPECT_EQ(User([&] { return NtCancelIoFileEx(h, nullptr, cancel); }), STATUS_NOT_FOUND) << "nothing left";
    Close(h);
}

} // namespace
