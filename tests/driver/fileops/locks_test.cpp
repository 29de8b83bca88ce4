/*
 * Byte-range locks through the volume: user programs lock and unlock with
 * NtLockFile and NtUnlockFile on handles of one or two processes. Conflicting
 * requests fail at once or wait until the holder unlocks or closes; requests on
 * a file that never had a lock answer without making the lock record; directories
 * and volume handles carry no locks.
 */
#include "fileops_test.h"
#include "system_threads.h"

#include <atomic>

namespace {

class LocksTest : public FileOpsTest {
protected:
    void SetUp() override
    {
        FileOpsTest::SetUp();
        other = std::make_unique<support::UserProcess>(0, 0);
        ASSERT_EQ(MakeVolume(0, "dir"), STATUS_SUCCESS);
        ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        other.reset();
        FileOpsTest::TearDown();
    }

    HANDLE OpenFile(support::UserProcess &who, const std::string &path = "\\f")
    {
        OpenRequest rq;
        rq.access = FILE_READ_DATA | FILE_WRITE_DATA;
        HANDLE handle = nullptr;
        EXPECT_EQ(OpenAs(who, path, &handle, rq), STATUS_SUCCESS) << path;
        return handle;
    }

    /* NtLockFile as who; the offset, length and status block live in its user space. */
    static NTSTATUS Lock(support::UserProcess &who, HANDLE handle, LONGLONG offset, LONGLONG length, bool exclusive,
                         bool failImmediately = true, ULONG key = 0)
    {
        auto *at = who.New<LARGE_INTEGER>();
        auto *bytes = who.New<LARGE_INTEGER>();
        auto *iosb = who.New<IO_STATUS_BLOCK>();
        at->QuadPart = offset;
        bytes->QuadPart = length;
        return support::AsUser(who, [&] {
            return NtLockFile(handle, nullptr, nullptr, nullptr, iosb, at, bytes, key, failImmediately, exclusive);
        });
    }
    static NTSTATUS Unlock(support::UserProcess &who, HANDLE handle, LONGLONG offset, LONGLONG length, ULONG key = 0)
    {
        auto *at = who.New<LARGE_INTEGER>();
        auto *bytes = who.New<LARGE_INTEGER>();
        auto *iosb = who.New<IO_STATUS_BLOCK>();
        at->QuadPart = offset;
        bytes->QuadPart = length;
        return support::AsUser(who, [&] { return NtUnlockFile(handle, iosb, at, bytes, key); });
    }

    /* A lock that may wait, on a system thread acting for who. */
    struct WaitingLock {
        WaitingLock(support::UserProcess &who, HANDLE handle, LONGLONG offset, LONGLONG length)
        {
            thread = StartThread([this, &who, handle, offset, length] {
                status = Lock(who, handle, offset, length, true, false);
                done = true;
            });
        }
        NTSTATUS Join()
        {
            JoinThread(thread);
            return status;
        }
        PKTHREAD thread;
        std::atomic<NTSTATUS> status{STATUS_PENDING};
        std::atomic<bool> done{false};
    };
    /* Lets a waiting thread run far enough to block; its not being done then is the check. */
    static void Settle() { usleep(20000); }

    std::unique_ptr<support::UserProcess> other;
};

TEST_F(LocksTest, ExclusiveAndSharedLocksAcrossHandlesAndProcesses)
{
    HANDLE a1 = OpenFile(*process);
    HANDLE a2 = OpenFile(*process);
    HANDLE b = OpenFile(*other);
    ASSERT_EQ(NodeOf(a1)->FileLock, nullptr) << "the record is made on first use";

    /* Range and sharing rules are the lock package's; the volume must hand every request to the node's record. */
    EXPECT_EQ(Lock(*process, a1, 0, 10, true), STATUS_SUCCESS);
    ASSERT_NE(NodeOf(a1)->FileLock, nullptr);
    EXPECT_EQ(Lock(*process, a2, 5, 10, false), STATUS_LOCK_NOT_GRANTED) << "another handle of the same process";
    EXPECT_EQ(Lock(*other, b, 9, 1, false), STATUS_LOCK_NOT_GRANTED);
    EXPECT_EQ(Lock(*process, a2, 15, 10, false), STATUS_SUCCESS);
    EXPECT_EQ(Lock(*other, b, 16, 1, false), STATUS_SUCCESS) << "shared locks share";

    EXPECT_EQ(Unlock(*process, a2, 0, 10), STATUS_RANGE_NOT_LOCKED) << "the owner is the handle's file object";
    EXPECT_EQ(Unlock(*process, a1, 0, 10), STATUS_SUCCESS);
    EXPECT_EQ(Unlock(*process, a1, 0, 10), STATUS_RANGE_NOT_LOCKED);
    EXPECT_EQ(Lock(*other, b, 0, 10, true), STATUS_SUCCESS);

    EXPECT_EQ(Close(a1), STATUS_SUCCESS);
    EXPECT_EQ(Close(a2), STATUS_SUCCESS);
    EXPECT_EQ(CloseAs(*other, b), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(LocksTest, AWaitingLockIsGrantedWhenTheHolderUnlocksOrCloses)
{
    HANDLE a = OpenFile(*process);
    HANDLE b = OpenFile(*other);
    ASSERT_EQ(Lock(*process, a, 0, 100, true), STATUS_SUCCESS);

    WaitingLock unlocked(*other, b, 50, 10);
    Settle();
    EXPECT_FALSE(unlocked.done) << "the lock waits for the holder";
    EXPECT_EQ(Unlock(*process, a, 0, 100), STATUS_SUCCESS);
    EXPECT_EQ(unlocked.Join(), STATUS_SUCCESS);

    /* Now the other process holds [50, 60); closing its handle ends its locks. */
    WaitingLock closed(*process, a, 55, 1);
    Settle();
    EXPECT_FALSE(closed.done);
    EXPECT_EQ(CloseAs(*other, b), STATUS_SUCCESS);
    EXPECT_EQ(closed.Join(), STATUS_SUCCESS);

    HANDLE c = OpenFile(*other);
    EXPECT_EQ(Lock(*other, c, 55, 1, false), STATUS_LOCK_NOT_GRANTED) << "the granted waiter holds its lock";
    EXPECT_EQ(Close(a), STATUS_SUCCESS);
    EXPECT_EQ(Lock(*other, c, 55, 1, false), STATUS_SUCCESS) << "the holder's cleanup unlocked it";
    EXPECT_EQ(CloseAs(*other, c), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(LocksTest, WithoutALockRecordUnlocksAnswerAndNoRecordIsMade)
{
    HANDLE a = OpenFile(*process);
    PFILE_OBJECT file = FileObjectOf(a, *process);
    EXPECT_EQ(Unlock(*process, a, 0, 1), STATUS_RANGE_NOT_LOCKED);
    EXPECT_EQ(support::AsUser(*process, [&] { return SendUnlockAll(file, IRP_MN_UNLOCK_ALL); }), STATUS_SUCCESS);
    EXPECT_EQ(support::AsUser(*process, [&] { return SendUnlockAll(file, IRP_MN_UNLOCK_ALL_BY_KEY, 7); }),
              STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    PFAST_IO_DISPATCH fastIo = FastIoOf(file);
    EXPECT_TRUE(fastIo->FastIoUnlockAll(file, PsGetCurrentProcess(), &iosb, nullptr));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_TRUE(fastIo->FastIoUnlockAllByKey(file, PsGetCurrentProcess(), 7, &iosb, nullptr));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(NodeOf(a)->FileLock, nullptr);

    /* Once a record exists the package answers. The requests below come from this
       thread's process, so the lock is taken through the fast entry for it. */
    LARGE_INTEGER offset{}, length{};
    length.QuadPart = 1;
    ASSERT_TRUE(fastIo->FastIoLock(file, &offset, &length, PsGetCurrentProcess(), 0, TRUE, TRUE, &iosb, nullptr));
    ASSERT_EQ(iosb.Status, STATUS_SUCCESS);
    ASSERT_NE(NodeOf(a)->FileLock, nullptr);
    HANDLE b = OpenFile(*other);
    EXPECT_EQ(Lock(*other, b, 0, 1, false), STATUS_LOCK_NOT_GRANTED);
    EXPECT_EQ(CloseAs(*other, b), STATUS_SUCCESS);
    EXPECT_EQ(SendUnlockAll(file, IRP_MN_UNLOCK_ALL), STATUS_SUCCESS);
    EXPECT_TRUE(fastIo->FastIoUnlockSingle(file, &offset, &length, PsGetCurrentProcess(), 0, &iosb, nullptr));
    EXPECT_EQ(iosb.Status, STATUS_RANGE_NOT_LOCKED) << "the unlock-all request released it";
    EXPECT_EQ(Close(a), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(LocksTest, DirectoriesAndVolumeHandlesRefuseLocks)
{
    OpenRequest rq;
    rq.access = FILE_LIST_DIRECTORY;
    rq.options = FILE_DIRECTORY_FILE;
    HANDLE dir;
    ASSERT_EQ(Open("\\dir", &dir, rq), STATUS_SUCCESS);
    EXPECT_EQ(Lock(*process, dir, 0, 1, true), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Unlock(*process, dir, 0, 1), STATUS_INVALID_PARAMETER);
    PFILE_OBJECT file = FileObjectOf(dir, *process);
    IO_STATUS_BLOCK iosb{};
    EXPECT_FALSE(FastIoOf(file)->FastIoUnlockAll(file, PsGetCurrentProcess(), &iosb, nullptr));
    EXPECT_EQ(SendUnlockAll(file, IRP_MN_UNLOCK_ALL), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NodeOf(dir)->FileLock, nullptr);
    EXPECT_EQ(Close(dir), STATUS_SUCCESS);

    HANDLE volume;
    rq = OpenRequest();
    ASSERT_EQ(Open("", &volume, rq), STATUS_SUCCESS);
    EXPECT_EQ(Lock(*process, volume, 0, 1, true), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Close(volume), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(LocksTest, LocksBelongToTheirKey)
{
    HANDLE a = OpenFile(*process);
    HANDLE b = OpenFile(*other);
    ASSERT_EQ(Lock(*process, a, 0, 10, true, true, 1), STATUS_SUCCESS);
    EXPECT_EQ(Unlock(*process, a, 0, 10, 2), STATUS_RANGE_NOT_LOCKED) << "another key does not own it";
    EXPECT_EQ(Unlock(*process, a, 0, 10, 1), STATUS_SUCCESS);

    /* Unlocking by key: the locks are taken for this thread's process, which the request names. */
    PFILE_OBJECT file = FileObjectOf(a, *process);
    PFAST_IO_DISPATCH fastIo = FastIoOf(file);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at{}, length{};
    length.QuadPart = 10;
    for (ULONG key : {1u, 2u, 3u}) {
        at.QuadPart = key * 20;
        ASSERT_TRUE(fastIo->FastIoLock(file, &at, &length, PsGetCurrentProcess(), key, TRUE, TRUE, &iosb, nullptr));
        ASSERT_EQ(iosb.Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(SendUnlockAll(file, IRP_MN_UNLOCK_ALL_BY_KEY, 1), STATUS_SUCCESS);
    EXPECT_EQ(Lock(*other, b, 20, 10, true), STATUS_SUCCESS) << "key 1's lock is gone";
    EXPECT_EQ(Lock(*other, b, 40, 10, true), STATUS_LOCK_NOT_GRANTED) << "key 2's stays";
    EXPECT_TRUE(fastIo->FastIoUnlockAllByKey(file, PsGetCurrentProcess(), 2, &iosb, nullptr));
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(Lock(*other, b, 40, 10, true), STATUS_SUCCESS);
    EXPECT_EQ(Lock(*other, b, 60, 10, true), STATUS_LOCK_NOT_GRANTED) << "key 3's stays";
    EXPECT_TRUE(fastIo->FastIoUnlockAll(file, PsGetCurrentProcess(), &iosb, nullptr));
    EXPECT_EQ(Lock(*other, b, 60, 10, true), STATUS_SUCCESS);

    EXPECT_EQ(Close(a), STATUS_SUCCESS);
    EXPECT_EQ(CloseAs(*other, b), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(LocksTest, EveryPoolFailureOfAFirstLockLeavesNoRecordBehind)
{
    HANDLE a = OpenFile(*process);
    bool injected = true;
    for (uint64_t n = 1; injected; ++n) {
        machine::ArmPoolFault(n, 0);
        NTSTATUS status = Lock(*process, a, 0, 10, true);
        injected = machine::FaultsInjected("ExAllocatePoolWithTag") != 0;
        machine::DisarmFaults();
        SCOPED_TRACE("allocation #" + std::to_string(n));
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(Unlock(*process, a, 0, 10), STATUS_SUCCESS);
        } else {
            EXPECT_TRUE(injected);
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(Unlock(*process, a, 0, 10), STATUS_RANGE_NOT_LOCKED);
        }
        ASSERT_LT(n, 50u);
    }
    EXPECT_EQ(Close(a), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
