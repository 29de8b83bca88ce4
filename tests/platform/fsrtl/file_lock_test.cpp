/*
 * Byte-range locks: lock-control requests as a file system hands them to the package,
 * the fast lock and unlock entries, and the checks of the read and write paths.
 */
#include "machine_test.h"
#include "system_threads.h"

#include <ntifs.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <random>
#include <tuple>
#include <vector>

namespace {

using FileLockTest = MachineTest;

LARGE_INTEGER Li(LONGLONG value)
{
    LARGE_INTEGER li;
    li.QuadPart = value;
    return li;
}

/* A lock-control IRP as the I/O manager builds it, kept after completion for inspection. */
class LockIrp {
public:
    LockIrp(UCHAR minor, PFILE_OBJECT file, LONGLONG offset, LONGLONG length, ULONG key, UCHAR flags = 0)
        : length_(Li(length))
    {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp = IoAllocateIrp(2, FALSE);
        irp->Tail.Overlay.Thread = KeGetCurrentThread();
        IoSetCompletionRoutine(irp, OnComplete, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_LOCK_CONTROL;
        stack->MinorFunction = minor;
        stack->Flags = flags;
        stack->FileObject = file;
        stack->Parameters.LockControl.ByteOffset.QuadPart = offset;
        stack->Parameters.LockControl.Length = &length_;
        stack->Parameters.LockControl.Key = key;
    }
    ~LockIrp() { IoFreeIrp(irp); }
    LockIrp(const LockIrp &) = delete;
    LockIrp &operator=(const LockIrp &) = delete;

    void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }

    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    PIRP irp;
    KEVENT done;

private:
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<LockIrp *>(context);
        EXPECT_FALSE(self->completed) << "completed twice";
        self->completed = true;
        self->status = irp->IoStatus.Status;
        KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    LARGE_INTEGER length_;
};

/* A lock request for an IRP: exclusive unless told, waiting unless told. */
NTSTATUS Lock(PFILE_LOCK lock, LockIrp &request)
{
    return FsRtlProcessFileLock(lock, request.irp, nullptr);
}

BOOLEAN FastLock(PFILE_LOCK lock, PFILE_OBJECT file, LONGLONG offset, LONGLONG length, PVOID process, ULONG key,
                 bool exclusive, bool failImmediately, NTSTATUS *status)
{
    LARGE_INTEGER o = Li(offset), l = Li(length);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    BOOLEAN done = FsRtlFastLock(lock, file, &o, &l, (PEPROCESS)process, key, failImmediately, exclusive, &iosb,
                                 nullptr, FALSE);
    *status = iosb.Status;
    return done;
}

bool CanRead(PFILE_LOCK lock, PFILE_OBJECT file, LONGLONG offset, LONGLONG length, PVOID process, ULONG key)
{
    LARGE_INTEGER o = Li(offset), l = Li(length);
    return FsRtlFastCheckLockForRead(lock, &o, &l, key, file, process) != FALSE;
}

bool CanWrite(PFILE_LOCK lock, PFILE_OBJECT file, LONGLONG offset, LONGLONG length, PVOID process, ULONG key)
{
    LARGE_INTEGER o = Li(offset), l = Li(length);
    return FsRtlFastCheckLockForWrite(lock, &o, &l, key, file, process) != FALSE;
}

NTSTATUS UnlockSingle(PFILE_LOCK lock, PFILE_OBJECT file, LONGLONG offset, LONGLONG length, PVOID process,
                      ULONG key)
{
    LARGE_INTEGER o = Li(offset), l = Li(length);
    return FsRtlFastUnlockSingle(lock, file, &o, &l, (PEPROCESS)process, key, nullptr, FALSE);
}

PVOID Me() { return PsGetCurrentProcess(); }

constexpr NTSTATUS kInvalidLockRange = (NTSTATUS)0xC00001A1L; // STATUS_INVALID_LOCK_RANGE

/*
 * The model: granted locks as plain records in grant order. Overlap as Windows
 * decides it, on small signed offsets: the last byte of a zero-length range at X is
 * X - 1, and {0, 0} overlaps nothing.
 */
struct ModelLock {
    int owner;
    LONGLONG offset, length;
    bool exclusive;
};

bool Touches(const ModelLock &lock, LONGLONG offset, LONGLONG length)
{
    if ((offset == 0 && length == 0) || (lock.offset == 0 && lock.length == 0))
        return false;
    return offset <= lock.offset + lock.length - 1 && offset + length - 1 >= lock.offset;
}

TEST_F(FileLockTest, RandomLocksUnlocksAndChecksAgreeWithAModel)
{
    FILE_OBJECT files[2]{};
    PVOID processes[2] = {(PVOID)0x1000, (PVOID)0x2000};
    struct Owner {
        PFILE_OBJECT file;
        PVOID process;
        ULONG key;
    };
    std::vector<Owner> owners;
    for (auto &file : files)
        for (PVOID process : processes)
            for (ULONG key : {0u, 7u})
                owners.push_back({&file, process, key});

    static int unlockCalls;
    unlockCalls = 0;
    PFILE_LOCK lock = FsRtlAllocateFileLock(nullptr, [](PVOID, PFILE_LOCK_INFO) { unlockCalls++; });
    std::vector<ModelLock> model;
    int expectedUnlockCalls = 0;
    std::mt19937 random(1234);
    auto pick = [&](int n) { return (int)(random() % (unsigned)n); };

    for (int step = 0; step < 4000; step++) {
        int who = pick((int)owners.size());
        const Owner &o = owners[who];
        LONGLONG offset = pick(48), length = pick(4) == 0 ? 0 : 1 + pick(10);
        SCOPED_TRACE("step " + std::to_string(step));
        switch (pick(7)) {
        case 0:
        case 1: {
            bool exclusive = pick(2) == 0;
            bool conflict = std::any_of(model.begin(), model.end(), [&](const ModelLock &m) {
                return (exclusive || m.exclusive) && Touches(m, offset, length);
            });
            if (pick(50) == 0)
                offset = -1 - pick(3); // near the last offset, beyond every other lock
            NTSTATUS status;
            ASSERT_TRUE(FastLock(lock, o.file, offset, length, o.process, o.key, exclusive, true, &status));
            if (offset < 0) {
                // A range within the last offsets is fine; one running past them is refused.
                ASSERT_EQ(status, (ULONG64)offset + (ULONG64)length - 1 < (ULONG64)offset && length != 0
                                      ? kInvalidLockRange
                                      : STATUS_SUCCESS);
                if (status == STATUS_SUCCESS) {
                    ASSERT_EQ(UnlockSingle(lock, o.file, offset, length, o.process, o.key), STATUS_SUCCESS);
                    expectedUnlockCalls++;
                }
                break;
            }
            ASSERT_EQ(status, conflict ? STATUS_LOCK_NOT_GRANTED : STATUS_SUCCESS);
            if (!conflict)
                model.push_back({who, offset, length, exclusive});
            break;
        }
        case 2: {
            // Mostly an existing lock of someone, so exact matches happen.
            if (!model.empty() && pick(4) != 0) {
                const ModelLock &m = model[pick((int)model.size())];
                offset = m.offset;
                length = m.length;
            }
            auto same = [&](const ModelLock &m) { return m.owner == who && m.offset == offset && m.length == length; };
            auto it = std::find_if(model.begin(), model.end(), [&](const ModelLock &m) { return same(m) && m.exclusive; });
            if (it == model.end()) {
                auto last = std::find_if(model.rbegin(), model.rend(), same);
                it = last == model.rend() ? model.end() : std::prev(last.base());
            }
            ASSERT_EQ(UnlockSingle(lock, o.file, offset, length, o.process, o.key),
                      it != model.end() ? STATUS_SUCCESS : STATUS_RANGE_NOT_LOCKED);
            if (it != model.end()) {
                model.erase(it);
                expectedUnlockCalls++;
            }
            break;
        }
        case 3: {
            bool byKey = pick(2) == 0;
            auto gone = [&](const ModelLock &m) {
                const Owner &h = owners[m.owner];
                return h.file == o.file && h.process == o.process && (!byKey || h.key == o.key);
            };
            expectedUnlockCalls += (int)std::count_if(model.begin(), model.end(), gone);
            model.erase(std::remove_if(model.begin(), model.end(), gone), model.end());
            ASSERT_EQ(byKey ? FsRtlFastUnlockAllByKey(lock, o.file, (PEPROCESS)o.process, o.key, nullptr)
                            : FsRtlFastUnlockAll(lock, o.file, (PEPROCESS)o.process, nullptr),
                      STATUS_SUCCESS);
            break;
        }
        default: {
            bool write = pick(2) == 0;
            bool allowed = std::none_of(model.begin(), model.end(), [&](const ModelLock &m) {
                if (!Touches(m, offset, length))
                    return false;
                return m.exclusive ? m.owner != who : write;
            });
            ASSERT_EQ(write ? CanWrite(lock, o.file, offset, length, o.process, o.key)
                            : CanRead(lock, o.file, offset, length, o.process, o.key),
                      allowed)
                << (write ? "write " : "read ") << offset << "+" << length;
            break;
        }
        }
        ASSERT_EQ(lock->FastIoIsQuestionable != FALSE, !model.empty());
        ASSERT_EQ(unlockCalls, expectedUnlockCalls);
    }

    // The enumeration lists exactly the model's locks.
    std::vector<std::tuple<PVOID, PVOID, ULONG, LONGLONG, LONGLONG, bool>> listed, expected;
    for (PFILE_LOCK_INFO info = FsRtlGetNextFileLock(lock, TRUE); info != nullptr;
         info = FsRtlGetNextFileLock(lock, FALSE))
        listed.emplace_back(info->FileObject, info->ProcessId, info->Key, info->StartingByte.QuadPart,
                            info->Length.QuadPart, info->ExclusiveLock != FALSE);
    for (const ModelLock &m : model)
        expected.emplace_back(owners[m.owner].file, owners[m.owner].process, owners[m.owner].key, m.offset, m.length,
                              m.exclusive);
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
    FsRtlFreeFileLock(lock);
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u);
}

TEST_F(FileLockTest, ReadAndWriteChecksOfRequestsTakeRangeKeyHandleAndProcessFromTheIrp)
{
    FILE_OBJECT mine{}, other{};
    PFILE_LOCK lock = FsRtlAllocateFileLock(nullptr, nullptr);
    NTSTATUS status;
    ASSERT_TRUE(FastLock(lock, &other, 0, 10, (PVOID)0x2000, 0, false, true, &status));
    ASSERT_TRUE(FastLock(lock, &mine, 100, 10, Me(), 5, true, true, &status));
    ASSERT_EQ(status, STATUS_SUCCESS);

    PIRP irp = IoAllocateIrp(1, FALSE);
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->FileObject = &mine;
    stack->Parameters.Read.ByteOffset.QuadPart = 100;
    stack->Parameters.Read.Length = 4;
    stack->Parameters.Read.Key = 5;
    EXPECT_TRUE(FsRtlCheckLockForReadAccess(lock, irp));
    EXPECT_TRUE(FsRtlCheckLockForWriteAccess(lock, irp));
    stack->Parameters.Write.Key = 4;
    EXPECT_FALSE(FsRtlCheckLockForWriteAccess(lock, irp)) << "another key is another owner";
    stack->FileObject = &other;
    stack->Parameters.Read.Key = 5;
    EXPECT_FALSE(FsRtlCheckLockForReadAccess(lock, irp)) << "another handle is another owner";
    stack->Parameters.Read.ByteOffset.QuadPart = 0;
    EXPECT_TRUE(FsRtlCheckLockForReadAccess(lock, irp));
    EXPECT_FALSE(FsRtlCheckLockForWriteAccess(lock, irp)) << "a shared lock blocks even its owner's writes";
    IoFreeIrp(irp);

    // A zero-length range at X ends at X - 1: only a range holding X - 1 and X overlaps it.
    ASSERT_TRUE(FastLock(lock, &other, 105, 0, Me(), 0, true, true, &status));
    EXPECT_EQ(status, STATUS_LOCK_NOT_GRANTED);
    ASSERT_TRUE(FastLock(lock, &other, 110, 0, Me(), 0, true, true, &status));
    EXPECT_EQ(status, STATUS_SUCCESS);
    FsRtlFreeFileLock(lock);
}

TEST_F(FileLockTest, WaitingLocksPendAndAreGrantedInOrderAsUnlocksAndCleanupReleaseBlockers)
{
    FILE_OBJECT a{}, b{}, c{};
    PFILE_LOCK lock = FsRtlAllocateFileLock(nullptr, nullptr);
    LockIrp holder(IRP_MN_LOCK, &a, 0, 10, 0, SL_EXCLUSIVE_LOCK);
    ASSERT_EQ(Lock(lock, holder), STATUS_SUCCESS);
    EXPECT_TRUE(holder.completed);

    LockIrp first(IRP_MN_LOCK, &b, 0, 10, 0, SL_EXCLUSIVE_LOCK);
    LockIrp second(IRP_MN_LOCK, &c, 5, 10, 0);
    LockIrp third(IRP_MN_LOCK, &c, 8, 1, 1);
    ASSERT_EQ(Lock(lock, first), STATUS_PENDING);
    ASSERT_EQ(Lock(lock, second), STATUS_PENDING);
    ASSERT_EQ(Lock(lock, third), STATUS_PENDING);
    EXPECT_FALSE(first.completed || second.completed || third.completed);
    EXPECT_TRUE(IoGetCurrentIrpStackLocation(first.irp)->Control & SL_PENDING_RETURNED);
    NTSTATUS status;
    ASSERT_FALSE(FastLock(lock, &c, 0, 1, Me(), 0, false, false, &status))
        << "without an IRP a lock that would wait goes to the IRP path";

    LockIrp unlock(IRP_MN_UNLOCK_SINGLE, &a, 0, 10, 0);
    ASSERT_EQ(Lock(lock, unlock), STATUS_SUCCESS);
    EXPECT_TRUE(first.completed);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_FALSE(second.completed) << "the oldest waiter got the range first";
    EXPECT_FALSE(third.completed);

    LockIrp unlockAll(IRP_MN_UNLOCK_ALL, &b, 0, 0, 0);
    ASSERT_EQ(Lock(lock, unlockAll), STATUS_SUCCESS);
    EXPECT_TRUE(second.completed && third.completed);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(third.status, STATUS_SUCCESS) << "shared waiters are granted together";
    EXPECT_FALSE(CanWrite(lock, &c, 9, 1, Me(), 0));

    LockIrp byKey(IRP_MN_UNLOCK_ALL_BY_KEY, &c, 0, 0, 1);
    ASSERT_EQ(Lock(lock, byKey), STATUS_SUCCESS);
    LockIrp missing(IRP_MN_UNLOCK_SINGLE, &c, 8, 1, 1);
    EXPECT_EQ(Lock(lock, missing), STATUS_RANGE_NOT_LOCKED);
    EXPECT_EQ(missing.status, STATUS_RANGE_NOT_LOCKED);
    LockIrp bogus(9, &c, 0, 0, 0);
    EXPECT_EQ(Lock(lock, bogus), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(lock->FastIoIsQuestionable) << "the key-0 shared lock remains";

    // Cleanup of handle c in this process releases its locks of every key, and only
    // those: another process's lock through the same file object stays.
    ASSERT_TRUE(FastLock(lock, &c, 50, 10, (PVOID)0x2000, 0, true, true, &status));
    LockIrp blocked(IRP_MN_LOCK, &a, 14, 1, 0, SL_EXCLUSIVE_LOCK);
    ASSERT_EQ(Lock(lock, blocked), STATUS_PENDING);
    EXPECT_EQ(FsRtlFastUnlockAll(lock, &c, (PEPROCESS)Me(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(blocked.status, STATUS_SUCCESS);
    EXPECT_FALSE(CanRead(lock, &c, 55, 1, Me(), 0));
    FsRtlFreeFileLock(lock);
}

TEST_F(FileLockTest, FailImmediatelyIsRefusedAtOnceAndCancelledWaitersLeaveNoTrace)
{
    FILE_OBJECT a{}, b{};
    PFILE_LOCK lock = FsRtlAllocateFileLock(nullptr, nullptr);
    LockIrp holder(IRP_MN_LOCK, &a, 0, 10, 0);
    ASSERT_EQ(Lock(lock, holder), STATUS_SUCCESS);
    LockIrp refused(IRP_MN_LOCK, &b, 9, 2, 0, SL_EXCLUSIVE_LOCK | SL_FAIL_IMMEDIATELY);
    EXPECT_EQ(Lock(lock, refused), STATUS_LOCK_NOT_GRANTED);
    EXPECT_TRUE(refused.completed);
    EXPECT_EQ(refused.status, STATUS_LOCK_NOT_GRANTED);

    LockIrp waiter(IRP_MN_LOCK, &b, 9, 2, 0, SL_EXCLUSIVE_LOCK);
    ASSERT_EQ(Lock(lock, waiter), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(waiter.irp));
    EXPECT_TRUE(waiter.completed);
    EXPECT_EQ(waiter.status, STATUS_CANCELLED);
    EXPECT_EQ(FsRtlFastUnlockAll(lock, &a, (PEPROCESS)Me(), nullptr), STATUS_SUCCESS);
    EXPECT_FALSE(lock->FastIoIsQuestionable);
    EXPECT_FALSE(FsRtlAreThereCurrentOrWaitingFileLocks(lock)) << "the cancelled request was never granted";

    // A request cancelled before it reaches the package is completed rather than queued.
    LockIrp blocker(IRP_MN_LOCK, &a, 0, 1, 0, SL_EXCLUSIVE_LOCK);
    ASSERT_EQ(Lock(lock, blocker), STATUS_SUCCESS);
    LockIrp early(IRP_MN_LOCK, &b, 0, 1, 0);
    early.irp->Cancel = TRUE;
    EXPECT_EQ(Lock(lock, early), STATUS_CANCELLED);
    EXPECT_TRUE(early.completed);
    EXPECT_EQ(UnlockSingle(lock, &a, 0, 1, Me(), 0), STATUS_SUCCESS);
    EXPECT_FALSE(FsRtlAreThereCurrentOrWaitingFileLocks(lock));
    FsRtlFreeFileLock(lock);
}

TEST_F(FileLockTest, UninitializeCompletesWaitersAndCompletionRoutineGetsTheContext)
{
    FILE_OBJECT a{}, b{};
    static std::vector<std::pair<PVOID, NTSTATUS>> completions;
    completions.clear();
    auto complete = [](PVOID context, PIRP irp) -> NTSTATUS {
        completions.emplace_back(context, irp->IoStatus.Status);
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
    FILE_LOCK lock;
    FsRtlInitializeFileLock(&lock, complete, nullptr);

    // No pool for the record's lock state: the request fails cleanly and nothing is held.
    NTSTATUS status;
    machine::ArmFault("ExAllocatePoolWithTag", 1);
    ASSERT_TRUE(FastLock(&lock, &a, 0, 1, Me(), 0, true, true, &status));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(lock.LockInformation, nullptr);
    EXPECT_FALSE(FsRtlAreThereCurrentOrWaitingFileLocks(&lock));
    LockIrp holder(IRP_MN_LOCK, &a, 0, 10, 0, SL_EXCLUSIVE_LOCK);
    LockIrp waiter(IRP_MN_LOCK, &b, 0, 1, 0);
    const size_t irpBlocks = machine::PoolTotals().liveBlocks;
    ASSERT_EQ(FsRtlProcessFileLock(&lock, holder.irp, (PVOID)0x11), STATUS_SUCCESS);
    ASSERT_EQ(FsRtlProcessFileLock(&lock, waiter.irp, (PVOID)0x22), STATUS_PENDING);
    EXPECT_TRUE(FsRtlAreThereCurrentOrWaitingFileLocks(&lock));
    FsRtlUninitializeFileLock(&lock);
    EXPECT_TRUE(waiter.completed);
    EXPECT_EQ(waiter.status, STATUS_RANGE_NOT_LOCKED);
    std::vector<std::pair<PVOID, NTSTATUS>> expected = {{(PVOID)0x11, STATUS_SUCCESS},
                                                        {(PVOID)0x22, STATUS_RANGE_NOT_LOCKED}};
    EXPECT_EQ(completions, expected);
    EXPECT_EQ(lock.LockInformation, nullptr);
    EXPECT_FALSE(lock.FastIoIsQuestionable);
    EXPECT_EQ(machine::PoolTotals().liveBlocks, irpBlocks);

    // The record can be initialised again for reuse.
    FsRtlInitializeFileLock(&lock, nullptr, nullptr);
    ASSERT_TRUE(FastLock(&lock, &a, 0, 1, Me(), 0, true, true, &status));
    EXPECT_EQ(status, STATUS_SUCCESS);
    FsRtlUninitializeFileLock(&lock);
    EXPECT_EQ(machine::PoolTotals().liveBlocks, irpBlocks);
}

TEST_F(FileLockTest, ThreadsContendingForOneRangeHoldItOneAtATimeAndCancelsRaceGrantsCleanly)
{
    PFILE_LOCK lock = FsRtlAllocateFileLock(nullptr, nullptr);
    std::atomic<int> inside{0}, overlaps{0}, granted{0}, cancelled{0};
    constexpr int kThreads = 4, kRounds = 150;
    FILE_OBJECT files[kThreads]{};
    std::vector<PKTHREAD> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.push_back(StartThread([&, t] {
            PFILE_OBJECT file = &files[t];
            PVOID process = PsGetCurrentProcess();
            for (int round = 0; round < kRounds; round++) {
                LockIrp request(IRP_MN_LOCK, file, 0, 16, 0, SL_EXCLUSIVE_LOCK);
                NTSTATUS status = FsRtlProcessFileLock(lock, request.irp, nullptr);
                // Every third waiting request is cancelled: it may be granted first.
                if (status == STATUS_PENDING && round % 3 == 0)
                    IoCancelIrp(request.irp);
                request.Wait();
                if (request.status == STATUS_CANCELLED) {
                    cancelled++;
                    continue;
                }
                if (request.status != STATUS_SUCCESS) {
                    overlaps += 1000;
                    continue;
                }
                granted++;
                if (inside.fetch_add(1) != 0)
                    overlaps++;
                if (!CanWrite(lock, file, 4, 4, process, 0) || CanRead(lock, &files[(t + 1) % kThreads], 4, 4, process, 0))
                    overlaps++;
                inside.fetch_sub(1);
                if (UnlockSingle(lock, file, 0, 16, process, 0) != STATUS_SUCCESS)
                    overlaps++;
            }
        }));
    }
    for (PKTHREAD thread : threads)
        JoinThread(thread);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(granted.load() + cancelled.load(), kThreads * kRounds);
    EXPECT_FALSE(FsRtlAreThereCurrentOrWaitingFileLocks(lock));
    EXPECT_FALSE(lock->FastIoIsQuestionable);
    FsRtlFreeFileLock(lock);
}

} // namespace
