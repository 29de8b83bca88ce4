/*
 * A client process using a volume across the socket: the test file system's drive
 * T: opened by name, written, read, queried, listed and locked, with synchronous and
 * asynchronous handles, and what becomes of requests when the client cancels them or
 * goes away.
 */
#include "test_fs.h"

#include "transport_test.h"

#include "server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace transporttest;
using transport::CallNumber;

/* The volume uses direct I/O: a request's data lies behind its MDL, or in its system buffer. */
char *DataOf(PIRP irp)
{
    if (irp->MdlAddress != nullptr)
        return static_cast<char *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    return static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
}

/* Completes a read the file system held with the bytes of text at the read's offset. */
void CompleteRead(PIRP irp, const std::string &text)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    size_t offset = (size_t)stack->Parameters.Read.ByteOffset.QuadPart;
    size_t count = std::min<size_t>(stack->Parameters.Read.Length, text.size() - offset);
    std::memcpy(DataOf(irp), text.data() + offset, count);
    testfs::Complete(irp, STATUS_SUCCESS, count);
}

/* What the tests stage in the client's user space. */
struct Block {
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER offset, length;
    UNICODE_STRING pattern;
    WCHAR text[8];
    union {
        char data[64];
        FILE_STANDARD_INFORMATION standard;
        FILE_END_OF_FILE_INFORMATION end;
        FILE_POSITION_INFORMATION position;
        FILE_FS_SIZE_INFORMATION size;
        FILE_NAMES_INFORMATION names;
    };
};

class FileCalls : public testhost::TestHost {
protected:
    void SetUp() override
    {
        TestHost::SetUp();
        testfs::Reset();
        fs().volumeFlags = DO_DIRECT_IO;
        ASSERT_EQ(STATUS_SUCCESS, testfs::Load());
        client_ = std::make_unique<transport::Client>(socketPath_);
        ASSERT_EQ(transport::kStatusSuccess, client_->Connect());
        b = Stage<Block>(*client_);
    }
    void TearDown() override
    {
        client_.reset(); /* its process ends (its handles close) while the file system is there */
        if (server_ != nullptr)
            server_->Stop();
        machine::DrainSystemWork();
        testfs::Unload();
        TestHost::TearDown();
    }

    testfs::Fs &fs() { return testfs::TheFs(); }

    template <typename... Arguments>
    NTSTATUS Call(CallNumber number, Arguments... arguments)
    {
        return Native(*client_, number, arguments...);
    }

    HANDLE OpenFile(const char *path, ACCESS_MASK access, ULONG options, ULONG disposition = FILE_OPEN)
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, Open(*client_, path, access, disposition, options, &handle)) << path;
        return handle;
    }

    std::unique_ptr<transport::Client> client_;
    Block *b = nullptr;
};

constexpr ULONG kSynchronous = FILE_SYNCHRONOUS_IO_NONALERT;

TEST_F(FileCalls, ASynchronousHandleWritesAndReadsAtItsFilePointer)
{
    HANDLE file =
        OpenFile("\\??\\T:\\notes.txt", GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, kSynchronous, FILE_CREATE);
    std::memcpy(b->data, "hello world", 11);
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtWriteFile, file, nullptr, nullptr, nullptr, &b->iosb, b->data, 6u,
                                   nullptr, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtWriteFile, file, nullptr, nullptr, nullptr, &b->iosb, b->data + 6,
                                   5u, nullptr, nullptr));
    EXPECT_EQ("hello world", fs().Find(u"\\notes.txt")->data);

    b->position.CurrentByteOffset.QuadPart = 6;
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtSetInformationFile, file, &b->iosb, &b->position,
                                   (ULONG)sizeof(b->position), FilePositionInformation));
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtReadFile, file, nullptr, nullptr, nullptr, &b->iosb, b->data,
                                   (ULONG)sizeof(b->data), nullptr, nullptr));
    EXPECT_EQ(5u, b->iosb.Information);
    EXPECT_EQ(0, std::memcmp("world", b->data, 5));
    EXPECT_EQ(STATUS_SUCCESS, Close(*client_, file));
}

TEST_F(FileCalls, InformationDirectoryVolumeAndLockCallsCarryTheirArguments)
{
    fs().Add(u"\\docs", "", true);
    fs().Add(u"\\docs\\a.txt", "0123456789");
    // The directory answers with one entry named as the pattern it was given, the volume
    // with its size; a lock's length lives only as long as its request.
    fs().hooks[IRP_MJ_DIRECTORY_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        PUNICODE_STRING pattern = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDirectory.FileName;
        auto *entry = reinterpret_cast<PFILE_NAMES_INFORMATION>(DataOf(irp));
        entry->NextEntryOffset = entry->FileIndex = 0;
        entry->FileNameLength = pattern->Length;
        std::memcpy(entry->FileName, pattern->Buffer, pattern->Length);
        return testfs::Complete(irp, STATUS_SUCCESS, FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName) + pattern->Length);
    };
    fs().hooks[IRP_MJ_QUERY_VOLUME_INFORMATION] = [](PDEVICE_OBJECT, PIRP irp) {
        FILE_FS_SIZE_INFORMATION size{};
        size.TotalAllocationUnits.QuadPart = 1000;
        size.BytesPerSector = 512;
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &size, sizeof(size));
        return testfs::Complete(irp, STATUS_SUCCESS, sizeof(size));
    };
    LONGLONG lockLength = 0;
    fs().hooks[IRP_MJ_LOCK_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        lockLength = IoGetCurrentIrpStackLocation(irp)->Parameters.LockControl.Length->QuadPart;
        return testfs::Complete(irp, STATUS_SUCCESS);
    };

    HANDLE file = OpenFile("\\??\\T:\\docs\\a.txt", GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, kSynchronous);
    b->end.EndOfFile.QuadPart = 3;
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtSetInformationFile, file, &b->iosb, &b->end, (ULONG)sizeof(b->end),
                                   FileEndOfFileInformation));
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtQueryInformationFile, file, &b->iosb, &b->standard,
                                   (ULONG)sizeof(b->standard), FileStandardInformation));
    EXPECT_EQ(3, b->standard.EndOfFile.QuadPart);
    // A class past the enumeration's end reaches the routine as one it does not know.
    EXPECT_EQ(STATUS_INVALID_INFO_CLASS, Call(CallNumber::NtQueryInformationFile, file, &b->iosb, &b->standard,
                                              (ULONG)sizeof(b->standard), 0xFFFFFFFFu));

    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtQueryVolumeInformationFile, file, &b->iosb, &b->size,
                                   (ULONG)sizeof(b->size), FileFsSizeInformation));
    EXPECT_EQ(1000, b->size.TotalAllocationUnits.QuadPart);
    EXPECT_EQ(512u, b->size.BytesPerSector);

    b->offset.QuadPart = 100;
    b->length.QuadPart = 50;
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtLockFile, file, nullptr, nullptr, nullptr, &b->iosb, &b->offset,
                                   &b->length, 7u, TRUE, FALSE));
    testfs::Seen lock = fs().Last(IRP_MJ_LOCK_CONTROL);
    EXPECT_EQ(100, lock.stack.Parameters.LockControl.ByteOffset.QuadPart);
    EXPECT_EQ(50, lockLength);
    EXPECT_EQ(7u, lock.stack.Parameters.LockControl.Key);
    EXPECT_EQ(SL_FAIL_IMMEDIATELY, lock.stack.Flags) << "fail at once, shared";
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtUnlockFile, file, &b->iosb, &b->offset, &b->length, 7u));
    EXPECT_EQ(IRP_MN_UNLOCK_SINGLE, fs().Last(IRP_MJ_LOCK_CONTROL).minor);
    EXPECT_EQ(STATUS_SUCCESS, Close(*client_, file));

    StagedName *name = StageName(*client_, "\\??\\T:\\docs");
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtOpenFile, &b->handle, FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                   &name->attributes, &b->iosb, FILE_SHARE_READ, FILE_DIRECTORY_FILE | kSynchronous));
    std::memcpy(b->text, u"*.txt", 10);
    b->pattern = {10, 10, b->text};
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtQueryDirectoryFile, b->handle, nullptr, nullptr, nullptr, &b->iosb,
                                   &b->names, (ULONG)sizeof(b->data), FileNamesInformation, TRUE, &b->pattern, TRUE));
    ASSERT_EQ(10u, b->names.FileNameLength);
    EXPECT_EQ(0, std::memcmp(u"*.txt", b->names.FileName, 10));
    testfs::Seen query = fs().Last(IRP_MJ_DIRECTORY_CONTROL);
    EXPECT_EQ(FileNamesInformation, query.stack.Parameters.QueryDirectory.FileInformationClass);
    EXPECT_EQ(SL_RETURN_SINGLE_ENTRY | SL_RESTART_SCAN, query.stack.Flags);
    EXPECT_EQ(STATUS_SUCCESS, Close(*client_, b->handle));
}

TEST_F(FileCalls, AnAsynchronousCallAnswersPendingAndTheClientWaitsOnItsEventAcrossTheSocket)
{
    fs().Add(u"\\data.bin", "0123456789");
    std::atomic<PIRP> held{nullptr};
    fs().hooks[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return (NTSTATUS)STATUS_PENDING;
    };
    HANDLE file = OpenFile("\\??\\T:\\data.bin", GENERIC_READ, 0);
    // An event type that is no value of the enumeration is refused, not passed on.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Call(CallNumber::NtCreateEvent, &b->handle, EVENT_ALL_ACCESS, nullptr, 7u, 0u));
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtCreateEvent, &b->handle, EVENT_ALL_ACCESS, nullptr,
                                   NotificationEvent, FALSE));
    b->offset.QuadPart = 3;
    ASSERT_EQ(STATUS_PENDING, Call(CallNumber::NtReadFile, file, b->handle, nullptr, nullptr, &b->iosb, b->data, 4u,
                                   &b->offset, nullptr));

    NTSTATUS waited = STATUS_PENDING;
    std::thread waiter([&] { waited = Call(CallNumber::NtWaitForSingleObject, b->handle, FALSE, nullptr); });
    ASSERT_TRUE(Eventually([] { return machine::BlockedThreads() == 1; })) << "the host's worker waits";
    CompleteRead(held.exchange(nullptr), "0123456789");
    waiter.join();
    EXPECT_EQ(STATUS_SUCCESS, waited);
    EXPECT_EQ(STATUS_SUCCESS, b->iosb.Status);
    EXPECT_EQ(4u, b->iosb.Information);
    EXPECT_EQ(0, std::memcmp("3456", b->data, 4));
    EXPECT_EQ(STATUS_SUCCESS, Close(*client_, b->handle));
    EXPECT_EQ(STATUS_SUCCESS, Close(*client_, file));
}

VOID NTAPI CancelNotify(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    testfs::Complete(irp, STATUS_CANCELLED);
}

TEST_F(FileCalls, APendedChangeNotificationIsCancelledByTheClientsCancelAndTheConnectionGoesOn)
{
    fs().Add(u"\\watched", "", true);
    std::atomic<int> pended{0};
    fs().hooks[IRP_MJ_DIRECTORY_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelNotify);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
            testfs::Complete(irp, STATUS_CANCELLED);
        pended++;
        return (NTSTATUS)STATUS_PENDING;
    };
    HANDLE directory = OpenFile("\\??\\T:\\watched", FILE_LIST_DIRECTORY | SYNCHRONIZE, kSynchronous);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread watcher([&] {
        status = Call(CallNumber::NtNotifyChangeDirectoryFile, directory, nullptr, nullptr, nullptr, &b->iosb, b->data,
                      (ULONG)sizeof(b->data), (ULONG)FILE_NOTIFY_CHANGE_FILE_NAME, FALSE);
    });
    EXPECT_TRUE(Eventually([&] { return pended == 1; }));
    EXPECT_EQ(1u, client_->CancelTagged(Arg(directory)));
    bool cancelled = Eventually([&] { return status != STATUS_PENDING; });
    if (!cancelled)
        client_->Disconnect(); /* the process ends, and the request with it */
    watcher.join();
    ASSERT_TRUE(cancelled);
    EXPECT_EQ(STATUS_CANCELLED, status.load());
    EXPECT_EQ(STATUS_CANCELLED, b->iosb.Status);
    EXPECT_EQ(STATUS_SUCCESS, Close(*client_, directory));
}

TEST_F(FileCalls, AClientThatGoesWhileItsWaitCannotEndIsEndedAllTheSame)
{
    // Neither wait can end by its object: the client's own process ends only after its
    // calls, and nothing sets the event. Ending the process ends them, as it ends the
    // waits of a process's threads on Windows.
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtCreateEvent, &b->handle, EVENT_ALL_ACCESS, nullptr,
                                   SynchronizationEvent, FALSE));
    std::thread onEvent([&] { Call(CallNumber::NtWaitForSingleObject, b->handle, FALSE, nullptr); });
    std::thread onProcess([&] { Call(CallNumber::NtWaitForSingleObject, (HANDLE)-1, FALSE, nullptr); });
    ASSERT_TRUE(Eventually([] { return machine::BlockedThreads() == 2; }));
    client_->Disconnect();
    onEvent.join();
    onProcess.join();
    EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
}

/* The exit's bounded wait for requests that cannot be cancelled passes at once. */
class ClientExit : public FileCalls {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config;
        config.clock = machine::ClockMode::AutoAdvance;
        return config;
    }
};

TEST_F(ClientExit, ARequestPendingWithoutACancelRoutineOutlivesItsClientAndCompletesIntoLiveMemory)
{
    fs().Add(u"\\slow", "late data");
    std::atomic<PIRP> held{nullptr};
    fs().hooks[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp); /* no cancel routine */
        held = irp;
        return (NTSTATUS)STATUS_PENDING;
    };
    HANDLE file = OpenFile("\\??\\T:\\slow", GENERIC_READ, 0);
    ASSERT_EQ(STATUS_PENDING, Call(CallNumber::NtReadFile, file, nullptr, nullptr, nullptr, &b->iosb, b->data, 9u,
                                   &b->offset, nullptr));

    // This thread stands aside so that the clock moves while the host ends the process.
    machine::DetachCurrentThread();
    client_->Disconnect();
    bool ended = Eventually([&] { return server_->ConnectionCount() == 0; });
    machine::AttachCurrentThread();
    ASSERT_TRUE(ended);
    EXPECT_EQ(1, fs().cleanups.load()) << "the handle closed with the process";
    EXPECT_EQ(0, fs().closes.load()) << "the request still holds the file object";
    // Data and status block go into the ended process's user space.
    CompleteRead(held.exchange(nullptr), "late data");
    EXPECT_TRUE(Eventually([&] { return fs().closes == 1; }));

    transport::Client next(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, next.Connect());
    HANDLE again = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, Open(next, "\\??\\T:\\slow", GENERIC_READ, FILE_OPEN, 0, &again));
}

} // namespace
