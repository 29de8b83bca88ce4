/*
 * Oplocks through the volume: requests arrive as file-system controls on kernel
 * handles opened for asynchronous I/O, conflicting opens from other threads wait in
 * create for the owner's acknowledgement or cleanup, and refused requests complete
 * at once with the package's or the control handler's status.
 */
#include "fileops_test.h"
#include "system_threads.h"

#include <atomic>
#include <unistd.h>

namespace {

/*
 * An oplock control on an asynchronous handle; its result lands in iosb. The I/O
 * manager writes iosb before it signals the call's event, so iosb is read only
 * once the event says the call is done.
 */
struct OplockCall {
    IO_STATUS_BLOCK iosb{};
    HANDLE event = nullptr;
    OplockCall() { EXPECT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS); }
    ~OplockCall()
    {
        if (event != nullptr)
            ZwClose(event);
    }
    NTSTATUS Send(HANDLE handle, ULONG code, void *in = nullptr, ULONG inLength = 0, void *out = nullptr,
                  ULONG outLength = 0)
    {
        return ZwFsControlFile(handle, event, nullptr, nullptr, &iosb, code, in, inLength, out, outLength);
    }
    bool Done() const
    {
        LARGE_INTEGER now{};
        return ZwWaitForSingleObject(event, FALSE, &now) == STATUS_SUCCESS;
    }
    void Wait() const { ZwWaitForSingleObject(event, FALSE, nullptr); }
};

/* A second open of path on a system thread; it may wait in create for a break. */
struct RivalOpen {
    explicit RivalOpen(const std::string &path)
    {
        thread = StartThread([this, path] {
            status = KernelOpen(path, &handle, FILE_SYNCHRONOUS_IO_NONALERT);
            done = true;
        });
    }
    void Join()
    {
        JoinThread(thread);
        if (NT_SUCCESS(status))
            ZwClose(handle);
    }
    PKTHREAD thread;
    HANDLE handle = nullptr;
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<bool> done{false};
};

class OplockUseTest : public FileOpsTest {
protected:
    void SetUp() override
    {
        FileOpsTest::SetUp();
        ASSERT_EQ(MakeVolume(0, "dir"), STATUS_SUCCESS);
        ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    }
    /* Lets a waiting thread run far enough to block; its not being done then is the check. */
    static void Settle() { usleep(20000); }
};

TEST_F(OplockUseTest, RivalOpenBreaksLevel1AndBatchAndWaitsForTheAcknowledgement)
{
    for (ULONG code : {FSCTL_REQUEST_OPLOCK_LEVEL_1, FSCTL_REQUEST_BATCH_OPLOCK}) {
        SCOPED_TRACE(code);
        HANDLE owner;
        ASSERT_EQ(KernelOpen("\\f", &owner), STATUS_SUCCESS);
        OplockCall request;
        ASSERT_EQ(request.Send(owner, code), STATUS_PENDING);
        EXPECT_FALSE(request.Done());

        RivalOpen rival("\\f");
        request.Wait();
        EXPECT_EQ(request.iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(request.iosb.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_LEVEL_2);
        Settle();
        EXPECT_FALSE(rival.done) << "the open waits for the owner's acknowledgement";

        OplockCall ack;
        EXPECT_EQ(ack.Send(owner, FSCTL_OPLOCK_BREAK_ACKNOWLEDGE), STATUS_PENDING) << "the owner keeps level 2";
        rival.Join();
        EXPECT_EQ(rival.status, STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(owner), STATUS_SUCCESS);
        ack.Wait(); // the owner's cleanup ends its level 2 oplock
    }
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(OplockUseTest, BatchClosePendingReleasesTheRivalAtTheOwnersCleanup)
{
    HANDLE owner;
    ASSERT_EQ(KernelOpen("\\f", &owner), STATUS_SUCCESS);
    OplockCall request;
    ASSERT_EQ(request.Send(owner, FSCTL_REQUEST_BATCH_OPLOCK), STATUS_PENDING);
    RivalOpen rival("\\f");
    request.Wait();
    OplockCall closing;
    EXPECT_EQ(closing.Send(owner, FSCTL_OPBATCH_ACK_CLOSE_PENDING), STATUS_SUCCESS);
    Settle();
    EXPECT_FALSE(rival.done) << "a close-pending acknowledgement keeps the open waiting";
    EXPECT_EQ(ZwClose(owner), STATUS_SUCCESS);
    rival.Join();
    EXPECT_EQ(rival.status, STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(OplockUseTest, RefusedRequestsCompleteAtOnceAndChangeNothing)
{
    HANDLE first, second, dir, volume;
    ASSERT_EQ(KernelOpen("\\f", &first), STATUS_SUCCESS);
    ASSERT_EQ(KernelOpen("\\f", &second), STATUS_SUCCESS);
    OplockCall call;
    EXPECT_EQ(call.Send(first, FSCTL_REQUEST_OPLOCK_LEVEL_1), STATUS_OPLOCK_NOT_GRANTED) << "two handles are open";
    EXPECT_EQ(call.Send(first, FSCTL_REQUEST_BATCH_OPLOCK), STATUS_OPLOCK_NOT_GRANTED);

    REQUEST_OPLOCK_INPUT_BUFFER in{REQUEST_OPLOCK_CURRENT_VERSION, sizeof(in), OPLOCK_LEVEL_CACHE_READ,
                                   REQUEST_OPLOCK_INPUT_FLAG_REQUEST | REQUEST_OPLOCK_INPUT_FLAG_ACK};
    REQUEST_OPLOCK_OUTPUT_BUFFER out{};
    EXPECT_EQ(call.Send(first, FSCTL_REQUEST_OPLOCK, &in, sizeof(in), &out, sizeof(out)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(call.Send(first, FSCTL_REQUEST_OPLOCK, &in, sizeof(in) - 1, &out, sizeof(out)),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(call.Send(first, FSCTL_LOCK_VOLUME), STATUS_INVALID_DEVICE_REQUEST);

    ASSERT_EQ(KernelOpen("\\dir", &dir, FILE_DIRECTORY_FILE, FILE_LIST_DIRECTORY), STATUS_SUCCESS);
    for (ULONG code : {FSCTL_REQUEST_OPLOCK_LEVEL_1, FSCTL_REQUEST_BATCH_OPLOCK, FSCTL_REQUEST_FILTER_OPLOCK})
        EXPECT_EQ(call.Send(dir, code), STATUS_INVALID_PARAMETER) << code;
    ASSERT_EQ(KernelOpen("", &volume), STATUS_SUCCESS);
    EXPECT_EQ(call.Send(volume, FSCTL_REQUEST_OPLOCK_LEVEL_2), STATUS_INVALID_PARAMETER) << "a volume has no oplock";

    // Nothing was granted: a third open neither breaks nor waits.
    HANDLE third;
    EXPECT_EQ(KernelOpen("\\f", &third, FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
    for (HANDLE h : {first, second, third, dir, volume})
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(OplockUseTest, CompleteIfOplockedOpensAtOnceWithBreakInProgress)
{
    HANDLE owner, rival;
    ASSERT_EQ(KernelOpen("\\f", &owner), STATUS_SUCCESS);
    OplockCall request;
    ASSERT_EQ(request.Send(owner, FSCTL_REQUEST_BATCH_OPLOCK), STATUS_PENDING);
    EXPECT_EQ(KernelOpen("\\f", &rival, FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED),
              STATUS_OPLOCK_BREAK_IN_PROGRESS);
    EXPECT_TRUE(request.Done());
    EXPECT_EQ(ZwClose(owner), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(rival), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

/*
 * Data changes break oplocks: a write through another handle breaks a level 2
 * oplock to none at once (nothing to acknowledge) and goes ahead; a rival that
 * opens a level 1 holder's file to write waits until the holder acknowledges, and
 * then writes.
 */
TEST_F(OplockUseTest, WritesBreakLevel2AtOnceAndWaitForALevel1Acknowledgement)
{
    HANDLE reader, writer;
    ASSERT_EQ(KernelOpen("\\f", &reader), STATUS_SUCCESS);
    OplockCall level2;
    ASSERT_EQ(level2.Send(reader, FSCTL_REQUEST_OPLOCK_LEVEL_2), STATUS_PENDING);
    ASSERT_EQ(KernelOpen("\\f", &writer, FILE_SYNCHRONOUS_IO_NONALERT, FILE_WRITE_DATA), STATUS_SUCCESS);
    EXPECT_FALSE(level2.Done()) << "opening for writing does not break level 2";
    char data[5] = {'a', 'b', 'c', 'd', 'e'};
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at{};
    EXPECT_EQ(ZwWriteFile(writer, nullptr, nullptr, nullptr, &iosb, data, sizeof(data), &at, nullptr), STATUS_SUCCESS);
    level2.Wait();
    EXPECT_EQ(level2.iosb.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
    EXPECT_EQ(ZwClose(reader), STATUS_SUCCESS);

    /* Level 1 needs the only handle: the writer's is the owner, a second one writes. */
    EXPECT_EQ(ZwClose(writer), STATUS_SUCCESS);
    HANDLE owner;
    ASSERT_EQ(KernelOpen("\\f", &owner), STATUS_SUCCESS);
    OplockCall level1;
    ASSERT_EQ(level1.Send(owner, FSCTL_REQUEST_OPLOCK_LEVEL_1), STATUS_PENDING);
    std::atomic<bool> written{false};
    std::atomic<NTSTATUS> writeStatus{STATUS_PENDING};
    PKTHREAD thread = StartThread([&] {
        HANDLE second = nullptr;
        NTSTATUS status = KernelOpen("\\f", &second, FILE_SYNCHRONOUS_IO_NONALERT, FILE_WRITE_DATA);
        if (NT_SUCCESS(status)) {
            IO_STATUS_BLOCK io{};
            LARGE_INTEGER where{};
            char byte = 'z';
            status = ZwWriteFile(second, nullptr, nullptr, nullptr, &io, &byte, 1, &where, nullptr);
            ZwClose(second);
        }
        writeStatus = status;
        written = true;
    });
    level1.Wait();
    EXPECT_EQ(level1.iosb.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_LEVEL_2);
    Settle();
    EXPECT_FALSE(written) << "the rival waits for the acknowledgement";
    OplockCall ack;
    EXPECT_EQ(ack.Send(owner, FSCTL_OPLOCK_BREAK_ACK_NO_2), STATUS_SUCCESS) << "the owner gives up its oplock";
    JoinThread(thread);
    EXPECT_EQ(writeStatus, STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(owner), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

/*
 * Zeroing a file and cloning into it break its level 2 oplock before they
 * touch it (a clone that is then refused for the target's size still breaks it).
 */
TEST_F(OplockUseTest, ZeroingAndCloningBreakLevel2First)
{
    ASSERT_EQ(Make("\\g"), STATUS_SUCCESS);
    HANDLE source;
    ASSERT_EQ(KernelOpen("\\g", &source, FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
    for (ULONG code : {(ULONG)FSCTL_SET_ZERO_DATA, (ULONG)FSCTL_DUPLICATE_EXTENTS_TO_FILE}) {
        SCOPED_TRACE(code);
        HANDLE owner, writer;
        ASSERT_EQ(KernelOpen("\\f", &owner), STATUS_SUCCESS);
        ASSERT_EQ(KernelOpen("\\f", &writer, FILE_SYNCHRONOUS_IO_NONALERT, FILE_READ_DATA | FILE_WRITE_DATA),
                  STATUS_SUCCESS);
        OplockCall level2;
        ASSERT_EQ(level2.Send(owner, FSCTL_REQUEST_OPLOCK_LEVEL_2), STATUS_PENDING);
        FILE_ZERO_DATA_INFORMATION zero{{.QuadPart = 0}, {.QuadPart = 100}};
        DUPLICATE_EXTENTS_DATA clone{source, {.QuadPart = 0}, {.QuadPart = 0}, {.QuadPart = 4096}};
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = code == FSCTL_SET_ZERO_DATA
                              ? ZwFsControlFile(writer, nullptr, nullptr, nullptr, &iosb, code, &zero, sizeof(zero),
                                                nullptr, 0)
                              : ZwFsControlFile(writer, nullptr, nullptr, nullptr, &iosb, code, &clone,
                                                sizeof(clone), nullptr, 0);
        EXPECT_EQ(status, code == FSCTL_SET_ZERO_DATA ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
        EXPECT_TRUE(level2.Done()) << "the oplock was broken";
        level2.Wait();
        EXPECT_EQ(level2.iosb.Information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
        ZwClose(writer);
        ZwClose(owner);
    }
    ZwClose(source);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
