/*
 * How requests and file objects end: cleanup and close, the unlock-all a process's
 * last handle sends, what an error does to the caller's status block and event,
 * and a process that exits while a request of it is still with a driver.
 */
#include "fs_fixture.h"

#include "system_threads.h"

#include <thread>

namespace {

TEST_F(FsTest, CleanupAndCloseAreCloseOperationsAndOnlyTheFileSystemMarksCleanupComplete)
{
    fs().Add(u"\\f", "x");
    fs().hooks[IRP_MJ_CLEANUP] = [](PDEVICE_OBJECT, PIRP irp) { return testfs::Complete(irp, STATUS_SUCCESS); };
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA, &h), STATUS_SUCCESS);
    PFILE_OBJECT file = FileOf(h);
    Close(h);
    testfs::Seen cleanup = fs().Last(IRP_MJ_CLEANUP);
    EXPECT_EQ(cleanup.irpFlags & (IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API),
              (ULONG)(IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API));
    EXPECT_FALSE(file->Flags & FO_CLEANUP_COMPLETE) << "the file system did not set it; nobody else may";
    EXPECT_TRUE(fs().Of(IRP_MJ_CLOSE).empty()) << "a reference keeps the file object";
    ObDereferenceObject(file);
    testfs::Seen close = fs().Last(IRP_MJ_CLOSE);
    EXPECT_EQ(close.irpFlags & (IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API),
              (ULONG)(IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API));
}

TEST_F(FsTest, AProcessClosingItsLastHandleOfALockedFileReleasesItsLocks)
{
    fs().Add(u"\\f", "0123456789");
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA, &h), STATUS_SUCCESS);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    auto *offset = process->New<LARGE_INTEGER>();
    auto *length = process->New<LARGE_INTEGER>();
    offset->QuadPart = 0;
    length->QuadPart = 4;
    ASSERT_EQ(User([&] { return NtLockFile(h, nullptr, nullptr, nullptr, iosb, offset, length, 0, TRUE, TRUE); }),
              STATUS_SUCCESS);
    // The system holds a handle of the same file object too.
    PFILE_OBJECT file = FileOf(h);
    HANDLE system;
    ASSERT_EQ(ObOpenObjectByPointer(file, OBJ_KERNEL_HANDLE, nullptr, FILE_READ_DATA, *IoFileObjectType, KernelMode,
                                    &system),
              STATUS_SUCCESS);
    ObDereferenceObject(file);
    Close(h);
    testfs::Seen unlock = fs().Last(IRP_MJ_LOCK_CONTROL);
    EXPECT_EQ(unlock.minor, IRP_MN_UNLOCK_ALL) << "the closing process's locks go";
    EXPECT_TRUE(fs().Of(IRP_MJ_CLEANUP).empty()) << "the file object still has a handle";
    ZwClose(system);
    EXPECT_EQ(fs().Of(IRP_MJ_CLEANUP).size(), 1u);
    EXPECT_EQ(fs().Of(IRP_MJ_LOCK_CONTROL).size(), 2u) << "the last handle's cleanup releases the rest";
}

TEST_F(FsTest, AnErrorCompletedAtOnceLeavesStatusBlockAndEventAloneButAPendedOneReportsThrough)
{
    fs().Add(u"\\f", "x");
    std::thread completer;
    bool pend = false;
    fs().hooks[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        if (!pend)
            return testfs::Complete(irp, STATUS_DATA_ERROR);
        IoMarkIrpPending(irp);
        completer = std::thread([irp] { testfs::Complete(irp, STATUS_DATA_ERROR); });
        return (NTSTATUS)STATUS_PENDING;
    };
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\f", FILE_READ_DATA, &h, FILE_OPEN, 0), STATUS_SUCCESS);
    auto *event = process->New<HANDLE>();
    ASSERT_EQ(User([&] { return NtCreateEvent(event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, TRUE); }),
              STATUS_SUCCESS);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    auto *offset = process->New<LARGE_INTEGER>();
    auto *zero = process->New<LARGE_INTEGER>();
    offset->QuadPart = zero->QuadPart = 0;
    char *buffer = UserBytes("", 4);
    iosb->Status = 12345;
    EXPECT_EQ(User([&] { return NtReadFile(h, *event, nullptr, nullptr, iosb, buffer, 4, offset, nullptr); }),
              STATUS_DATA_ERROR);
    EXPECT_EQ(iosb->Status, 12345);
    EXPECT_EQ(User([&] { return NtWaitForSingleObject(*event, FALSE, zero); }), STATUS_TIMEOUT)
        << "the event was cleared for the call and never set";

    pend = true;
    EXPECT_EQ(User([&] { return NtReadFile(h, *event, nullptr, nullptr, iosb, buffer, 4, offset, nullptr); }),
              STATUS_PENDING);
    EXPECT_EQ(User([&] { return NtWaitForSingleObject(*event, FALSE, nullptr); }), STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(iosb->Status, STATUS_DATA_ERROR);
    User([&] { return NtClose(*event); });
    Close(h);
}

class ExitTest : public FsTest {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config;
        config.clock = machine::ClockMode::AutoAdvance; /* the exit's bounded wait passes at once */
        return config;
    }
};

TEST_F(ExitTest, AProcessThatExitsWithARequestStillPendingKeepsItsMemoryUntilTheRequestCompletes)
{
    fs().Add(u"\\f", "late");
    PIRP held = nullptr;
    fs().hooks[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp); /* no cancel routine: it cannot be cancelled */
        held = irp;
        return (NTSTATUS)STATUS_PENDING;
    };
    machine::ProcessIdentity identity;
    void *exiting = machine::CreateProcess(identity);
    POBJECT_ATTRIBUTES oa;
    auto *handle = static_cast<HANDLE *>(machine::UserAlloc(exiting, sizeof(HANDLE)));
    auto *iosb = static_cast<PIO_STATUS_BLOCK>(machine::UserAlloc(exiting, sizeof(IO_STATUS_BLOCK)));
    auto *offset = static_cast<PLARGE_INTEGER>(machine::UserAlloc(exiting, sizeof(LARGE_INTEGER)));
    auto *buffer = static_cast<char *>(machine::UserAlloc(exiting, 8));
    {
        auto *name = static_cast<WCHAR *>(machine::UserAlloc(exiting, 16));
        memcpy(name, L"\\??\\T:\\f", 16);
        auto *string = static_cast<PUNICODE_STRING>(machine::UserAlloc(exiting, sizeof(UNICODE_STRING)));
        string->Buffer = name;
        string->Length = string->MaximumLength = 16;
        oa = static_cast<POBJECT_ATTRIBUTES>(machine::UserAlloc(exiting, sizeof(OBJECT_ATTRIBUTES)));
        InitializeObjectAttributes(oa, string, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    }
    offset->QuadPart = 0;
    machine::EnterProcess(exiting);
    ASSERT_EQ(NtCreateFile(handle, FILE_READ_DATA, oa, iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN, 0, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(NtReadFile(*handle, nullptr, nullptr, nullptr, iosb, buffer, 4, offset, nullptr), STATUS_PENDING);
    machine::LeaveProcess();
    ASSERT_NE(held, nullptr);

    machine::ReleaseProcess(exiting); /* exits: the request cannot be cancelled, its handle closes */
    EXPECT_NE(machine::ProcessUserSpace(exiting).base, nullptr) << "the request keeps the process and its memory";
    memcpy(held->UserBuffer, "late", 4);
    testfs::Complete(held, STATUS_SUCCESS, 4); /* writes the status block in the exited process's memory */
    EXPECT_EQ(fs().Of(IRP_MJ_CLOSE).size(), 1u) << "the file object went with the request";
}

} // namespace
