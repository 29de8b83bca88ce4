/*
 * The oplock package as a file system drives it: requests granted or refused by
 * the open count, breaks completing the held request, operations waiting for the
 * owner's acknowledgement or cleanup, cancellation and the completion-routine form.
 */
#include "machine_test.h"

#include <ntifs.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

/* A driver-allocated IRP on a file object whose completion the test observes. */
struct TestIrp {
    TestIrp(UCHAR major, PFILE_OBJECT file, ULONG code = 0)
    {
        irp = IoAllocateIrp(1, FALSE);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->FileObject = file;
        stack->Parameters.FileSystemControl.FsControlCode = code;
        stack->CompletionRoutine = Done;
        stack->Context = this;
        stack->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
        IoSetNextIrpStackLocation(irp);
    }
    virtual ~TestIrp() { IoFreeIrp(irp); }
    TestIrp(const TestIrp &) = delete;
    TestIrp &operator=(const TestIrp &) = delete;

    static NTSTATUS NTAPI Done(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<TestIrp *>(context);
        self->status = irp->IoStatus.Status;
        self->information = irp->IoStatus.Information;
        self->completed = true;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PIO_STACK_LOCATION stack() { return IoGetCurrentIrpStackLocation(irp); }

    PIRP irp;
    std::atomic<bool> completed{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

/* A file system's view of one stream: its oplock and a few handles on it. */
struct Stream {

    NTSTATUS Control(TestIrp &irp, ULONG count = 0) { return FsRtlOplockFsctrl(&oplock, irp.irp, count); }

    OPLOCK oplock;
    FILE_OBJECT files[3]{};
};

/* An open of the stream with the given access, sharing and disposition. */
struct OpenIrp : TestIrp {
    OpenIrp(PFILE_OBJECT file, ACCESS_MASK access, ULONG disposition = FILE_OPEN, USHORT share = FILE_SHARE_READ)
        : TestIrp(IRP_MJ_CREATE, file)
    {
        security.DesiredAccess = access;
        stack()->Parameters.Create.SecurityContext = &security;
        stack()->Parameters.Create.Options = disposition << 24;
        stack()->Parameters.Create.ShareAccess = share;
    }
    IO_SECURITY_CONTEXT security{};
};

/*
 * Every IRP of a test and the stream outlive the test body: the stream is
 * uninitialised first (completing what it holds), then the IRPs are freed.
 */
class OplockTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        FsRtlInitializeOplock(&s.oplock);
    }
    void TearDown() override
    {
        FsRtlUninitializeOplock(&s.oplock);
        irps.clear();
        MachineTest::TearDown();
    }
    template <typename T = TestIrp, typename... Args> T &NewIrp(Args &&...args)
    {
        auto *irp = new T(std::forward<Args>(args)...);
        irps.emplace_back(irp);
        return *irp;
    }
    /* An exclusive request through the given handle, granted (held pending). */
    TestIrp &Grant(int file, ULONG code, ULONG count = 1)
    {
        TestIrp &irp = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[file], code);
        EXPECT_EQ(s.Control(irp, count), STATUS_PENDING);
        return irp;
    }
    NTSTATUS Check(TestIrp &irp) { return FsRtlCheckOplock(&s.oplock, irp.irp, nullptr, nullptr, nullptr); }
    Stream s;
    std::vector<std::unique_ptr<TestIrp>> irps;
};

/* Runs FsRtlCheckOplock synchronously on another thread, as a blocked open would. */
struct BlockedCheck {
    BlockedCheck(Stream &stream, TestIrp &irp)
        : thread([this, &stream, &irp] {
              status = FsRtlCheckOplock(&stream.oplock, irp.irp, nullptr, nullptr, nullptr);
              done = true;
          })
    {
    }
    ~BlockedCheck()
    {
        if (thread.joinable())
            thread.join();
    }
    bool StillWaiting()
    {
        usleep(20000);
        return !done;
    }
    void Join()
    {
        if (thread.joinable())
            thread.join();
    }
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread thread;
};

void WaitFor(const std::atomic<bool> &flag)
{
    for (int i = 0; i < 500 && !flag; ++i)
        usleep(2000);
}

TEST_F(OplockTest, GrantsByTheOpenCountAndRefusesConflictingRequests)
{
    {
        TestIrp &two = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_REQUEST_OPLOCK_LEVEL_1);
        EXPECT_EQ(s.Control(two, 2), STATUS_OPLOCK_NOT_GRANTED) << "another handle is open";
        EXPECT_TRUE(two.completed);
        EXPECT_EQ(two.status, STATUS_OPLOCK_NOT_GRANTED);
    }
    {
        TestIrp &locked = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_REQUEST_OPLOCK_LEVEL_2);
        EXPECT_EQ(s.Control(locked, 1), STATUS_OPLOCK_NOT_GRANTED) << "byte-range locks exist";
    }
    {
        FILE_OBJECT synchronous{};
        synchronous.Flags = FO_SYNCHRONOUS_IO;
        TestIrp &sync = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &synchronous, FSCTL_REQUEST_BATCH_OPLOCK);
        EXPECT_EQ(s.Control(sync, 1), STATUS_OPLOCK_NOT_GRANTED) << "legacy oplocks need an asynchronous handle";
    }
    TestIrp &shared1 = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_REQUEST_OPLOCK_LEVEL_2);
    TestIrp &shared2 = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[1], FSCTL_REQUEST_OPLOCK_LEVEL_2);
    EXPECT_EQ(s.Control(shared1), STATUS_PENDING);
    EXPECT_EQ(s.Control(shared2), STATUS_PENDING) << "level 2 oplocks share";
    EXPECT_FALSE(shared1.completed);
    EXPECT_FALSE(FsRtlOplockIsFastIoPossible(&s.oplock)) << "a write must break level 2 first";
    {
        TestIrp &exclusive = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[2], FSCTL_REQUEST_OPLOCK_LEVEL_1);
        EXPECT_EQ(s.Control(exclusive, 1), STATUS_OPLOCK_NOT_GRANTED) << "level 2 oplocks are held";
    }
    {
        TestIrp &ack = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_OPLOCK_BREAK_ACKNOWLEDGE);
        EXPECT_EQ(s.Control(ack), STATUS_INVALID_OPLOCK_PROTOCOL) << "no break to acknowledge";
        TestIrp &unknown = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], 0x90018);
        EXPECT_EQ(s.Control(unknown), STATUS_INVALID_PARAMETER);
        TestIrp &notify = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_OPLOCK_BREAK_NOTIFY);
        EXPECT_EQ(s.Control(notify), STATUS_SUCCESS) << "no break under way";
    }
    // A write through any handle breaks every level 2 oplock to none without waiting.
    TestIrp &write = NewIrp(IRP_MJ_WRITE, &s.files[2]);
    EXPECT_EQ(Check(write), STATUS_SUCCESS);
    for (TestIrp *held : {&shared1, &shared2}) {
        EXPECT_TRUE(held->completed);
        EXPECT_EQ(held->status, STATUS_SUCCESS);
        EXPECT_EQ(held->information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
    }
    EXPECT_TRUE(FsRtlOplockIsFastIoPossible(&s.oplock));
    TestIrp &batch = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_REQUEST_BATCH_OPLOCK);
    EXPECT_EQ(s.Control(batch, 1), STATUS_PENDING) << "granted once the level 2 oplocks are gone";
    EXPECT_TRUE(FsRtlCurrentBatchOplock(&s.oplock));
    TestIrp &second = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_REQUEST_FILTER_OPLOCK);
    EXPECT_EQ(s.Control(second, 1), STATUS_OPLOCK_NOT_GRANTED) << "one exclusive oplock at a time";
    // The owner's own operations break nothing.
    TestIrp &ownWrite = NewIrp(IRP_MJ_WRITE, &s.files[0]);
    EXPECT_EQ(Check(ownWrite), STATUS_SUCCESS);
    EXPECT_FALSE(batch.completed);
}

TEST_F(OplockTest, SecondOpenBreaksLevel1ToLevel2AndWaitsForTheAcknowledgement)
{
    TestIrp &request = Grant(0, FSCTL_REQUEST_OPLOCK_LEVEL_1);
    OpenIrp &open = NewIrp<OpenIrp>(&s.files[1], FILE_READ_DATA);
    BlockedCheck check(s, open);
    WaitFor(request.completed);
    ASSERT_TRUE(request.completed);
    EXPECT_EQ(request.information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_LEVEL_2);
    EXPECT_TRUE(check.StillWaiting()) << "the open waits for the owner";
    EXPECT_FALSE(FsRtlOplockIsFastIoPossible(&s.oplock));
    {
        TestIrp &stranger = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[2], FSCTL_OPLOCK_BREAK_ACKNOWLEDGE);
        EXPECT_EQ(s.Control(stranger), STATUS_INVALID_OPLOCK_PROTOCOL) << "only the owner acknowledges";
    }
    TestIrp &notify = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[2], FSCTL_OPLOCK_BREAK_NOTIFY);
    EXPECT_EQ(s.Control(notify), STATUS_PENDING) << "a break is under way";
    // Acknowledging a break to level 2 keeps the acknowledgement as the level 2 oplock.
    TestIrp &ack = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_OPLOCK_BREAK_ACKNOWLEDGE);
    EXPECT_EQ(s.Control(ack), STATUS_PENDING);
    check.Join();
    EXPECT_EQ(check.status, STATUS_SUCCESS);
    EXPECT_TRUE(notify.completed);
    EXPECT_EQ(notify.status, STATUS_SUCCESS);
    EXPECT_FALSE(ack.completed);
    // The new handle's write then breaks that level 2 oplock without waiting.
    TestIrp &write = NewIrp(IRP_MJ_WRITE, &s.files[1]);
    EXPECT_EQ(Check(write), STATUS_SUCCESS);
    EXPECT_TRUE(ack.completed);
    EXPECT_EQ(ack.information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
}

TEST_F(OplockTest, OverwritingOpenBreaksBatchToNoneAndAckNo2EndsIt)
{
    TestIrp &request = Grant(0, FSCTL_REQUEST_BATCH_OPLOCK);
    OpenIrp &open = NewIrp<OpenIrp>(&s.files[1], FILE_READ_DATA, FILE_OVERWRITE_IF);
    BlockedCheck check(s, open);
    WaitFor(request.completed);
    EXPECT_EQ(request.information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
    EXPECT_TRUE(check.StillWaiting());
    TestIrp &ack = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_OPLOCK_BREAK_ACK_NO_2);
    EXPECT_EQ(s.Control(ack), STATUS_SUCCESS);
    check.Join();
    EXPECT_EQ(check.status, STATUS_SUCCESS);
    EXPECT_FALSE(FsRtlCurrentBatchOplock(&s.oplock));
    TestIrp &again = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[1], FSCTL_REQUEST_OPLOCK_LEVEL_1);
    EXPECT_EQ(s.Control(again, 1), STATUS_PENDING) << "the stream is free again";
}

TEST_F(OplockTest, FilterOplockSurvivesReadersAndCompleteIfOplockedDoesNotWait)
{
    TestIrp &request = Grant(0, FSCTL_REQUEST_FILTER_OPLOCK);
    OpenIrp &reader = NewIrp<OpenIrp>(&s.files[1], FILE_READ_DATA, FILE_OPEN, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(Check(reader), STATUS_SUCCESS);
    EXPECT_FALSE(request.completed) << "a reader that shares reading leaves a filter oplock alone";
    OpenIrp &writer = NewIrp<OpenIrp>(&s.files[2], FILE_WRITE_DATA);
    writer.stack()->Parameters.Create.Options |= FILE_COMPLETE_IF_OPLOCKED;
    EXPECT_EQ(Check(writer), STATUS_OPLOCK_BREAK_IN_PROGRESS);
    EXPECT_TRUE(request.completed);
    EXPECT_EQ(request.information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
}

TEST_F(OplockTest, BatchClosePendingWaitsForTheOwnersCleanup)
{
    TestIrp &request = Grant(0, FSCTL_REQUEST_BATCH_OPLOCK);
    TestIrp &read = NewIrp(IRP_MJ_READ, &s.files[1]);
    BlockedCheck check(s, read);
    WaitFor(request.completed);
    EXPECT_EQ(request.information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_LEVEL_2) << "a read leaves level 2";
    TestIrp &close = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_OPBATCH_ACK_CLOSE_PENDING);
    EXPECT_EQ(s.Control(close), STATUS_SUCCESS);
    EXPECT_TRUE(check.StillWaiting()) << "the read waits for the handle to close";
    TestIrp &twice = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_OPLOCK_BREAK_ACKNOWLEDGE);
    EXPECT_EQ(s.Control(twice), STATUS_INVALID_OPLOCK_PROTOCOL);
    TestIrp &otherCleanup = NewIrp(IRP_MJ_CLEANUP, &s.files[2]);
    EXPECT_EQ(Check(otherCleanup), STATUS_SUCCESS);
    EXPECT_TRUE(check.StillWaiting()) << "another handle's cleanup changes nothing";
    TestIrp &cleanup = NewIrp(IRP_MJ_CLEANUP, &s.files[0]);
    EXPECT_EQ(Check(cleanup), STATUS_SUCCESS);
    check.Join();
    EXPECT_EQ(check.status, STATUS_SUCCESS);
    EXPECT_FALSE(FsRtlCurrentBatchOplock(&s.oplock));
}

TEST_F(OplockTest, OwnersCleanupReleasesItsOplockAndItsWaiters)
{
    TestIrp &request = Grant(0, FSCTL_REQUEST_OPLOCK_LEVEL_1);
    TestIrp &cleanup = NewIrp(IRP_MJ_CLEANUP, &s.files[0]);
    EXPECT_EQ(Check(cleanup), STATUS_SUCCESS);
    EXPECT_TRUE(request.completed);
    EXPECT_EQ(request.status, STATUS_SUCCESS);
    EXPECT_EQ(request.information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
    TestIrp &write = NewIrp(IRP_MJ_WRITE, &s.files[1]);
    EXPECT_EQ(Check(write), STATUS_SUCCESS);

    // A level 2 holder's cleanup ends only its own oplock.
    TestIrp &mine = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_REQUEST_OPLOCK_LEVEL_2);
    TestIrp &theirs = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[1], FSCTL_REQUEST_OPLOCK_LEVEL_2);
    ASSERT_EQ(s.Control(mine), STATUS_PENDING);
    ASSERT_EQ(s.Control(theirs), STATUS_PENDING);
    TestIrp &cleanup2 = NewIrp(IRP_MJ_CLEANUP, &s.files[0]);
    EXPECT_EQ(Check(cleanup2), STATUS_SUCCESS);
    EXPECT_TRUE(mine.completed);
    EXPECT_FALSE(theirs.completed);
}

TEST_F(OplockTest, CancelledRequestCompletesCancelledAndFreesTheStream)
{
    TestIrp &request = Grant(0, FSCTL_REQUEST_BATCH_OPLOCK);
    EXPECT_TRUE(IoCancelIrp(request.irp));
    EXPECT_TRUE(request.completed);
    EXPECT_EQ(request.status, STATUS_CANCELLED);
    EXPECT_FALSE(FsRtlCurrentBatchOplock(&s.oplock));
    TestIrp &write = NewIrp(IRP_MJ_WRITE, &s.files[1]);
    EXPECT_EQ(Check(write), STATUS_SUCCESS);

    // A request cancelled before it reaches the package is not granted.
    TestIrp &early = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_REQUEST_OPLOCK_LEVEL_2);
    early.irp->Cancel = TRUE;
    EXPECT_EQ(s.Control(early), STATUS_CANCELLED);
    TestIrp &granted = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[1], FSCTL_REQUEST_OPLOCK_LEVEL_1);
    EXPECT_EQ(s.Control(granted, 1), STATUS_PENDING) << "the cancelled request left nothing behind";
}

TEST_F(OplockTest, CancelRacingABreakCompletesTheRequestExactlyOnce)
{
    // Either the break or the cancel completes the held request; the loser must
    // neither complete it a second time (a bug check) nor leave it pending.
    for (int round = 0; round < 200; ++round) {
        TestIrp &held = Grant(0, round % 2 ? FSCTL_REQUEST_OPLOCK_LEVEL_2 : FSCTL_REQUEST_BATCH_OPLOCK, round % 2 ? 0 : 1);
        TestIrp &write = NewIrp(IRP_MJ_WRITE, &s.files[1]);
        std::thread canceller([&] { IoCancelIrp(held.irp); });
        std::thread writer([&] { EXPECT_EQ(Check(write), STATUS_SUCCESS); });
        WaitFor(held.completed);
        EXPECT_TRUE(held.completed) << "round " << round;
        EXPECT_TRUE(held.status == STATUS_SUCCESS || held.status == STATUS_CANCELLED) << "round " << round;
        // However the race went, the owner's cleanup lets a waiting writer go.
        canceller.join();
        TestIrp &cleanup = NewIrp(IRP_MJ_CLEANUP, &s.files[0]);
        EXPECT_EQ(Check(cleanup), STATUS_SUCCESS);
        writer.join();
    }
}

struct Posted {
    std::atomic<int> posts{0};
    std::atomic<bool> completed{false};
    NTSTATUS status = STATUS_PENDING;
    PIRP irp = nullptr;
};

VOID NTAPI PostIrp(PVOID context, PIRP) { static_cast<Posted *>(context)->posts++; }

VOID NTAPI WaitComplete(PVOID context, PIRP irp)
{
    auto *posted = static_cast<Posted *>(context);
    posted->status = irp->IoStatus.Status;
    posted->irp = irp;
    posted->completed = true;
}

TEST_F(OplockTest, CompletionRoutineFormReturnsPendingAndCallsBackOnAcknowledgeOrCancel)
{
    TestIrp &request = Grant(0, FSCTL_REQUEST_OPLOCK_LEVEL_1);
    Posted first;
    TestIrp &read = NewIrp(IRP_MJ_READ, &s.files[1]);
    EXPECT_EQ(FsRtlCheckOplock(&s.oplock, read.irp, &first, WaitComplete, PostIrp), STATUS_PENDING);
    EXPECT_EQ(request.information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_LEVEL_2);
    EXPECT_EQ(first.posts, 1);
    EXPECT_TRUE(read.stack()->Control & SL_PENDING_RETURNED);
    EXPECT_FALSE(first.completed);
    Posted second;
    TestIrp &write = NewIrp(IRP_MJ_SET_INFORMATION, &s.files[2]);
    write.stack()->Parameters.SetFile.FileInformationClass = FileEndOfFileInformation;
    EXPECT_EQ(FsRtlCheckOplock(&s.oplock, write.irp, &second, WaitComplete, PostIrp), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(write.irp));
    EXPECT_TRUE(second.completed);
    EXPECT_EQ(second.status, STATUS_CANCELLED);
    EXPECT_FALSE(first.completed) << "cancelling one waiter releases no other";
    // The size change came after the offer of level 2, so the acknowledgement ends at none.
    TestIrp &ack = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_OPLOCK_BREAK_ACKNOWLEDGE);
    EXPECT_EQ(s.Control(ack), STATUS_SUCCESS);
    EXPECT_TRUE(first.completed);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(first.irp, read.irp);
}

/* A post routine that may wait and lock buffers, and here acknowledges the break. */
struct PostProbe : Posted {
    KIRQL irql = HIGH_LEVEL;
    BOOLEAN fastIo = TRUE;
    std::function<void()> meanwhile;
};

VOID NTAPI ProbePost(PVOID context, PIRP irp)
{
    auto *probe = static_cast<PostProbe *>(context);
    PostIrp(context, irp);
    probe->irql = KeGetCurrentIrql();
    if (probe->meanwhile)
        probe->meanwhile();
}

TEST_F(OplockTest, PostRoutineRunsOutsideThePackageLockAndSeesAnAcknowledgementMadeMeanwhile)
{
    TestIrp &request = Grant(0, FSCTL_REQUEST_OPLOCK_LEVEL_1);
    PostProbe probe;
    TestIrp &ack = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[0], FSCTL_OPLOCK_BREAK_ACKNOWLEDGE);
    probe.meanwhile = [&] {
        probe.fastIo = FsRtlOplockIsFastIoPossible(&s.oplock);
        EXPECT_EQ(s.Control(ack), STATUS_PENDING) << "the acknowledgement keeps level 2";
    };
    TestIrp &read = NewIrp(IRP_MJ_READ, &s.files[1]);
    EXPECT_EQ(FsRtlCheckOplock(&s.oplock, read.irp, &probe, WaitComplete, ProbePost), STATUS_PENDING);
    EXPECT_TRUE(request.completed);
    EXPECT_EQ(probe.posts, 1);
    EXPECT_LT(probe.irql, DISPATCH_LEVEL);
    EXPECT_FALSE(probe.fastIo) << "the break was still waiting when the routine ran";
    EXPECT_TRUE(probe.completed) << "the acknowledgement made during the post releases the operation";
    EXPECT_EQ(probe.status, STATUS_SUCCESS);
    EXPECT_TRUE(read.stack()->Control & SL_PENDING_RETURNED);
}

TEST_F(OplockTest, UninitialiseCompletesHeldRequestsAndReleasesWaiters)
{
    TestIrp &exclusive = Grant(0, FSCTL_REQUEST_OPLOCK_LEVEL_1);
    Posted waiter;
    TestIrp &read = NewIrp(IRP_MJ_READ, &s.files[2]);
    EXPECT_EQ(FsRtlCheckOplock(&s.oplock, read.irp, &waiter, WaitComplete, nullptr), STATUS_PENDING);
    EXPECT_TRUE(exclusive.completed);
    FsRtlUninitializeOplock(&s.oplock);
    EXPECT_EQ(s.oplock, nullptr);
    EXPECT_TRUE(waiter.completed);
    EXPECT_EQ(waiter.status, STATUS_SUCCESS);

    TestIrp &level2 = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[1], FSCTL_REQUEST_OPLOCK_LEVEL_2);
    ASSERT_EQ(s.Control(level2), STATUS_PENDING);
    FsRtlUninitializeOplock(&s.oplock);
    EXPECT_TRUE(level2.completed);
    EXPECT_EQ(level2.information, (ULONG_PTR)FILE_OPLOCK_BROKEN_TO_NONE);
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 3u) << "only the test IRPs remain";
}

} // namespace

namespace {

/* FSCTL_REQUEST_OPLOCK with its buffered input and output. */
struct CacheIrp : TestIrp {
    CacheIrp(PFILE_OBJECT file, ULONG level, ULONG flags = REQUEST_OPLOCK_INPUT_FLAG_REQUEST)
        : TestIrp(IRP_MJ_FILE_SYSTEM_CONTROL, file, FSCTL_REQUEST_OPLOCK)
    {
        buffer.input = {REQUEST_OPLOCK_CURRENT_VERSION, sizeof(REQUEST_OPLOCK_INPUT_BUFFER), level, flags};
        irp->AssociatedIrp.SystemBuffer = &buffer;
        stack()->Parameters.FileSystemControl.InputBufferLength = sizeof(buffer.input);
        stack()->Parameters.FileSystemControl.OutputBufferLength = sizeof(buffer.output);
    }
    union {
        REQUEST_OPLOCK_INPUT_BUFFER input;
        REQUEST_OPLOCK_OUTPUT_BUFFER output;
    } buffer;
};

using CacheOplockTest = OplockTest;

TEST_F(CacheOplockTest, RequestsAreCheckedAndGrantedByLevelAndCount)
{
    struct Case {
        ULONG level, flags, inLength, outLength, count;
        NTSTATUS status;
    } cases[] = {
        {1, 1, 11, 24, 0, STATUS_BUFFER_TOO_SMALL},
        {1, 1, 12, 23, 0, STATUS_BUFFER_TOO_SMALL},
        {1, 3, 12, 24, 0, STATUS_INVALID_PARAMETER},         // request and acknowledgement
        {1, 0, 12, 24, 0, STATUS_INVALID_PARAMETER},         // neither
        {4, 1, 12, 24, 1, STATUS_INVALID_PARAMETER},         // write caching without read caching
        {0, 1, 12, 24, 0, STATUS_INVALID_PARAMETER},         // nothing requested
        {9, 1, 12, 24, 0, STATUS_INVALID_PARAMETER},         // unknown bit
        {0, 2, 12, 24, 0, STATUS_INVALID_OPLOCK_PROTOCOL},   // no break to acknowledge
        {5, 1, 12, 24, 2, STATUS_OPLOCK_NOT_GRANTED},        // RW with another handle open
        {3, 1, 12, 24, 1, STATUS_OPLOCK_NOT_GRANTED},        // RH with byte-range locks
    };
    for (const Case &c : cases) {
        CacheIrp &irp = NewIrp<CacheIrp>(&s.files[0], c.level, c.flags);
        irp.stack()->Parameters.FileSystemControl.InputBufferLength = c.inLength;
        irp.stack()->Parameters.FileSystemControl.OutputBufferLength = c.outLength;
        EXPECT_EQ(s.Control(irp, c.count), c.status) << "level " << c.level << " flags " << c.flags;
        EXPECT_TRUE(irp.completed);
    }
    CacheIrp &keys = NewIrp<CacheIrp>(&s.files[0], 7u);
    EXPECT_EQ(FsRtlOplockFsctrlEx(&s.oplock, keys.irp, 2, OPLOCK_FSCTRL_FLAG_ALL_KEYS_MATCH), STATUS_PENDING)
        << "matching keys allow RWH with several handles";
    EXPECT_TRUE(FsRtlCurrentBatchOplock(&s.oplock)) << "handle caching";
    CacheIrp &shared = NewIrp<CacheIrp>(&s.files[1], 1u);
    EXPECT_EQ(s.Control(shared), STATUS_OPLOCK_NOT_GRANTED) << "another handle caches writes";
    TestIrp &legacy = NewIrp(IRP_MJ_FILE_SYSTEM_CONTROL, &s.files[1], FSCTL_REQUEST_OPLOCK_LEVEL_2);
    EXPECT_EQ(s.Control(legacy), STATUS_OPLOCK_NOT_GRANTED);
    EXPECT_TRUE(IoCancelIrp(keys.irp));
    EXPECT_EQ(keys.status, STATUS_CANCELLED);
    EXPECT_FALSE(FsRtlCurrentBatchOplock(&s.oplock));
    CacheIrp &again = NewIrp<CacheIrp>(&s.files[1], 1u);
    EXPECT_EQ(s.Control(again), STATUS_PENDING) << "the cancelled oplock left nothing behind";
    CacheIrp &twice = NewIrp<CacheIrp>(&s.files[1], 3u);
    EXPECT_EQ(s.Control(twice), STATUS_OPLOCK_NOT_GRANTED) << "one oplock per handle";
}

TEST_F(CacheOplockTest, WriteBreaksReadCachingAtOnceAndWaitsForHandleCachingAck)
{
    CacheIrp &read = NewIrp<CacheIrp>(&s.files[0], 1u);
    CacheIrp &readHandle = NewIrp<CacheIrp>(&s.files[1], 3u);
    ASSERT_EQ(s.Control(read), STATUS_PENDING);
    ASSERT_EQ(s.Control(readHandle), STATUS_PENDING);
    TestIrp &legacy = Grant(2, FSCTL_REQUEST_OPLOCK_LEVEL_2, 0);
    EXPECT_FALSE(FsRtlOplockIsFastIoPossible(&s.oplock));
    TestIrp &write = NewIrp(IRP_MJ_WRITE, &s.files[2]);
    BlockedCheck check(s, write);
    WaitFor(readHandle.completed);
    ASSERT_TRUE(read.completed);
    EXPECT_EQ(read.information, sizeof(REQUEST_OPLOCK_OUTPUT_BUFFER));
    EXPECT_EQ(read.buffer.output.OriginalOplockLevel, 1u);
    EXPECT_EQ(read.buffer.output.NewOplockLevel, 0u);
    EXPECT_EQ(read.buffer.output.Flags, 0u) << "losing read caching needs no acknowledgement";
    EXPECT_TRUE(legacy.completed);
    EXPECT_EQ(readHandle.buffer.output.OriginalOplockLevel, 3u);
    EXPECT_EQ(readHandle.buffer.output.NewOplockLevel, 0u);
    EXPECT_EQ(readHandle.buffer.output.Flags, (ULONG)REQUEST_OPLOCK_OUTPUT_FLAG_ACK_REQUIRED);
    EXPECT_TRUE(check.StillWaiting());
    CacheIrp &tooMuch = NewIrp<CacheIrp>(&s.files[1], 1u, REQUEST_OPLOCK_INPUT_FLAG_ACK);
    EXPECT_EQ(s.Control(tooMuch), STATUS_INVALID_PARAMETER) << "the break left nothing to keep";
    CacheIrp &ack = NewIrp<CacheIrp>(&s.files[1], 0u, REQUEST_OPLOCK_INPUT_FLAG_ACK);
    EXPECT_EQ(s.Control(ack), STATUS_SUCCESS);
    check.Join();
    EXPECT_EQ(check.status, STATUS_SUCCESS);
    EXPECT_TRUE(FsRtlOplockIsFastIoPossible(&s.oplock));
}

TEST_F(CacheOplockTest, ReadKeepsHandleCachingAndTheOwnersCloseEndsALaterBreak)
{
    CacheIrp &rwh = NewIrp<CacheIrp>(&s.files[0], 7u);
    ASSERT_EQ(s.Control(rwh, 1), STATUS_PENDING);
    TestIrp &read = NewIrp(IRP_MJ_READ, &s.files[1]);
    {
        BlockedCheck check(s, read);
        WaitFor(rwh.completed);
        EXPECT_EQ(rwh.buffer.output.NewOplockLevel, 3u) << "a reader takes only write caching";
        EXPECT_TRUE(check.StillWaiting());
        CacheIrp &ack = NewIrp<CacheIrp>(&s.files[0], 3u, REQUEST_OPLOCK_INPUT_FLAG_ACK);
        EXPECT_EQ(s.Control(ack), STATUS_PENDING) << "the acknowledgement holds RH now";
        check.Join();
        EXPECT_EQ(check.status, STATUS_SUCCESS);

        TestIrp &rename = NewIrp(IRP_MJ_SET_INFORMATION, &s.files[1]);
        rename.stack()->Parameters.SetFile.FileInformationClass = FileRenameInformation;
        BlockedCheck renaming(s, rename);
        WaitFor(ack.completed);
        EXPECT_EQ(ack.buffer.output.OriginalOplockLevel, 3u);
        EXPECT_EQ(ack.buffer.output.NewOplockLevel, 1u) << "a rename takes handle caching";
        EXPECT_TRUE(renaming.StillWaiting());
        TestIrp &cleanup = NewIrp(IRP_MJ_CLEANUP, &s.files[0]);
        EXPECT_EQ(Check(cleanup), STATUS_SUCCESS);
        renaming.Join();
        EXPECT_EQ(renaming.status, STATUS_SUCCESS);
    }
    CacheIrp &late = NewIrp<CacheIrp>(&s.files[0], 1u, REQUEST_OPLOCK_INPUT_FLAG_ACK);
    EXPECT_EQ(s.Control(late), STATUS_INVALID_OPLOCK_PROTOCOL) << "the closed handle holds nothing";
    CacheIrp &next = NewIrp<CacheIrp>(&s.files[1], 5u);
    EXPECT_EQ(s.Control(next, 1), STATUS_PENDING);
    TestIrp &nextCleanup = NewIrp(IRP_MJ_CLEANUP, &s.files[1]);
    EXPECT_EQ(Check(nextCleanup), STATUS_SUCCESS);
    EXPECT_EQ(next.status, STATUS_OPLOCK_HANDLE_CLOSED);
}

} // namespace
