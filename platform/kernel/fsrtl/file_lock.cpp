/*
 * Byte-range locks of a stream: the FILE_LOCK record a file system keeps per stream,
 * the lock-control requests (FsRtlProcessFileLock), the checks the read and write
 * paths make, and the fast (IRP-less) lock and unlock entries.
 *
 * The record's public part is Windows' FILE_LOCK; its private part (LockInformation)
 * is a LockState made by the first lock request and published with compare-exchange,
 * so an allocated record with no lock ever taken owns nothing. LockState keeps:
 *   - its spin lock, which guards everything below and FastIoIsQuestionable;
 *   - the granted locks, in grant order;
 *   - the waiting lock IRPs, oldest first, linked through Tail.Overlay.ListEntry.
 * Owner of a lock = (file object, process, key). Rules, as Windows has them:
 *   - an exclusive lock conflicts with every overlapping lock; a shared lock with
 *     every overlapping exclusive lock;
 *   - a read conflicts with an overlapping exclusive lock of another owner; a write
 *     with any overlapping shared lock and an overlapping exclusive lock of another
 *     owner;
 *   - ranges overlap when each starts no later than the other's last byte, the last
 *     byte of a zero-length range at X being X - 1: so a zero-length range is
 *     overlapped by a range that holds both X - 1 and X, and the range {0, 0}
 *     overlaps nothing.
 * Callbacks (the unlock routine, the IRP completion routine, IoCompleteRequest) run
 * after the spin lock is dropped: the work is collected under it and done after.
 */
#include "machine.h"

#include "ke/dispatcher.h"

#include <km/fsrtl.h>
#include <km/ke.h>
#include <km/pool.h>
#include <km/ps.h>

#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr ULONG kFileLockTag = POOL_TAG('F', 's', 'L', 'k');
constexpr ULONG kLockStateTag = POOL_TAG('F', 's', 'L', 's');

struct LockState {
    KSPIN_LOCK spinLock;
    std::vector<FILE_LOCK_INFO> granted; // grant order
    LIST_ENTRY waiting;                  // lock IRPs, oldest first
};

/* A completion or unlock notice to give once the spin lock is dropped. */
struct Deferred {
    std::vector<PIRP> completions;        // IoStatus already set
    std::vector<FILE_LOCK_INFO> unlocked; // for the unlock routine
};

/* Slots of a waiting IRP: the record it waits on, the completion context and the
 * requesting process, taken when it was queued (the grant runs under the spin lock). */
PFILE_LOCK &WaiterLock(PIRP irp) { return reinterpret_cast<PFILE_LOCK &>(irp->Tail.Overlay.DriverContext[0]); }
PVOID &WaiterContext(PIRP irp) { return irp->Tail.Overlay.DriverContext[1]; }
PVOID &WaiterProcess(PIRP irp) { return irp->Tail.Overlay.DriverContext[2]; }
PVOID &WaiterExclusive(PIRP irp) { return irp->Tail.Overlay.DriverContext[3]; }

/*
 * Returns the record's private part, making it on first use. The loser of a race to
 * publish frees its own. Returns null when pool is short.
 */
LockState *StateMake(PFILE_LOCK fileLock)
{
    auto *state = static_cast<LockState *>(ReadPointerAcquire(&fileLock->LockInformation));
    if (state != nullptr)
        return state;
    void *memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(LockState), kLockStateTag);
    if (memory == nullptr)
        return nullptr;
    state = new (memory) LockState();
    KeInitializeSpinLock(&state->spinLock);
    InitializeListHead(&state->waiting);
    PVOID winner = InterlockedCompareExchangePointer(&fileLock->LockInformation, state, nullptr);
    if (winner == nullptr)
        return state;
    state->~LockState();
    ExFreePoolWithTag(memory, kLockStateTag);
    return static_cast<LockState *>(winner);
}

/* Whether a range stays within the 64-bit offsets (a zero-length range always does). */
bool RangeValid(ULONG64 start, ULONG64 length) { return length == 0 || start + length - 1 >= start; }

/* Offsets are unsigned: a zero-length range at X ends at X - 1, so it overlaps only a
 * range that holds both X - 1 and X; {0, 0} overlaps nothing. */
bool RangesOverlap(const FILE_LOCK_INFO &lock, ULONG64 start, ULONG64 length)
{
    auto lockStart = (ULONG64)lock.StartingByte.QuadPart, lockLength = (ULONG64)lock.Length.QuadPart;
    if ((start == 0 && length == 0) || (lockStart == 0 && lockLength == 0))
        return false;
    return start <= lockStart + lockLength - 1 && start + length - 1 >= lockStart;
}

bool SameOwner(const FILE_LOCK_INFO &lock, PVOID fileObject, PVOID process, ULONG key)
{
    return lock.FileObject == fileObject && lock.ProcessId == process && lock.Key == key;
}

/* Whether a lock request conflicts with a granted lock. Caller holds the spin lock. */
bool LockConflicts(const LockState *state, ULONG64 start, ULONG64 length, bool exclusive)
{
    for (const FILE_LOCK_INFO &lock : state->granted) {
        if ((exclusive || lock.ExclusiveLock) && RangesOverlap(lock, start, length))
            return true;
    }
    return false;
}

/* Whether a read (or write) by the owner may touch the range. Caller holds the spin lock. */
bool AccessAllowed(const LockState *state, ULONG64 start, ULONG64 length, ULONG key, PVOID fileObject, PVOID process,
                   bool write)
{
    for (const FILE_LOCK_INFO &lock : state->granted) {
        if (!RangesOverlap(lock, start, length))
            continue;
        if (lock.ExclusiveLock ? !SameOwner(lock, fileObject, process, key) : write)
            return false;
    }
    return true;
}

void LockGrant(PFILE_LOCK fileLock, LockState *state, ULONG64 start, ULONG64 length, bool exclusive, ULONG key,
               PFILE_OBJECT fileObject, PVOID process)
{
    FILE_LOCK_INFO info{};
    info.StartingByte.QuadPart = (LONGLONG)start;
    info.Length.QuadPart = (LONGLONG)length;
    info.EndingByte.QuadPart = (LONGLONG)(start + length - 1);
    info.ExclusiveLock = exclusive ? TRUE : FALSE;
    info.Key = key;
    info.FileObject = fileObject;
    info.ProcessId = process;
    state->granted.push_back(info);
    fileLock->FastIoIsQuestionable = TRUE;
}

/* Takes a waiting IRP off the list when its cancel routine has not claimed it. Caller holds the spin lock. */
bool WaiterClaim(PIRP irp)
{
    if (IoSetCancelRoutine(irp, nullptr) == nullptr)
        return false; // IoCancelIrp got there first: the cancel routine takes it off the list
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    return true;
}

/*
 * Grants, oldest first, every waiting lock IRP that no longer conflicts; a waiter that
 * still conflicts does not hold back later ones. Caller holds the spin lock.
 */
void WaitersGrant(PFILE_LOCK fileLock, LockState *state, Deferred *deferred)
{
    PLIST_ENTRY entry = state->waiting.Flink;
    while (entry != &state->waiting) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        ULONG64 start = (ULONG64)stack->Parameters.LockControl.ByteOffset.QuadPart;
        ULONG64 length = (ULONG64)stack->Parameters.LockControl.Length->QuadPart;
        bool exclusive = WaiterExclusive(irp) != nullptr;
        if (LockConflicts(state, start, length, exclusive) || !WaiterClaim(irp))
            continue;
        LockGrant(fileLock, state, start, length, exclusive, stack->Parameters.LockControl.Key, stack->FileObject,
                  WaiterProcess(irp));
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        deferred->completions.push_back(irp);
    }
}

/* Completes an IRP of the package: through the file system's routine when it gave one. */
NTSTATUS LockIrpComplete(PFILE_LOCK fileLock, PIRP irp, PVOID context)
{
    NTSTATUS status = irp->IoStatus.Status;
    if (fileLock->CompleteLockIrpRoutine != nullptr)
        return fileLock->CompleteLockIrpRoutine(context, irp);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Gives the collected notices; the spin lock is no longer held. */
void DeferredRun(PFILE_LOCK fileLock, const Deferred &deferred, PVOID context)
{
    if (fileLock->UnlockRoutine != nullptr) {
        for (FILE_LOCK_INFO info : deferred.unlocked)
            fileLock->UnlockRoutine(context, &info);
    }
    for (PIRP irp : deferred.completions)
        LockIrpComplete(fileLock, irp, WaiterContext(irp));
}

/* Cancel routine of a waiting lock IRP: called with the cancel spin lock held, which it drops. */
VOID NTAPI WaiterCancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PFILE_LOCK fileLock = WaiterLock(irp);
    auto *state = static_cast<LockState *>(fileLock->LockInformation);
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&state->spinLock, &handle);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseInStackQueuedSpinLock(&handle);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    LockIrpComplete(fileLock, irp, WaiterContext(irp));
}

/* One: of an owner's identical ranges the exclusive lock goes first, else the newest shared one. */
enum class Pick { One, All };

/*
 * Removes the granted locks the predicate picks (all, or the one an unlock names) and
 * grants the waiters that no longer conflict. Returns whether any lock went.
 */

template <typename Predicate>
bool LocksRemove(PFILE_LOCK fileLock, Predicate pick, Pick which, PVOID context)
{
    auto *state = static_cast<LockState *>(ReadPointerAcquire(&fileLock->LockInformation));
    if (state == nullptr)
        return false;
    Deferred deferred;
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&state->spinLock, &handle);
    auto &granted = state->granted;
    size_t chosen = granted.size();
    for (size_t i = 0; i < granted.size();) {
        if (!pick(granted[i])) {
            ++i;
        } else if (which == Pick::One) {
            if (chosen == granted.size() || !granted[chosen].ExclusiveLock)
                chosen = i;
            ++i;
        } else {
            deferred.unlocked.push_back(granted[i]);
            granted.erase(granted.begin() + (ptrdiff_t)i);
        }
    }
    if (chosen < granted.size()) {
        deferred.unlocked.push_back(granted[chosen]);
        granted.erase(granted.begin() + (ptrdiff_t)chosen);
    }
    bool removed = !deferred.unlocked.empty();
    if (removed) {
        fileLock->FastIoIsQuestionable = granted.empty() ? FALSE : TRUE;
        WaitersGrant(fileLock, state, &deferred);
    }
    KeReleaseInStackQueuedSpinLock(&handle);
    DeferredRun(fileLock, deferred, context);
    return removed;
}

/* The read or write check on behalf of an owner; no record state means no lock. */
BOOLEAN AccessCheck(PFILE_LOCK fileLock, ULONG64 start, ULONG64 length, ULONG key, PVOID fileObject, PVOID process,
                    bool write)
{
    auto *state = static_cast<LockState *>(ReadPointerAcquire(&fileLock->LockInformation));
    if (state == nullptr)
        return TRUE;
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&state->spinLock, &handle);
    bool allowed = AccessAllowed(state, start, length, key, fileObject, process, write);
    KeReleaseInStackQueuedSpinLock(&handle);
    return allowed ? TRUE : FALSE;
}

} // namespace

extern "C" {

NTKERNELAPI VOID NTAPI FsRtlInitializeFileLock(PFILE_LOCK FileLock, PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine,
                                               PUNLOCK_ROUTINE UnlockRoutine)
{
    ke::CheckIrql((const void *)&FsRtlInitializeFileLock, APC_LEVEL);
    memset(FileLock, 0, sizeof(*FileLock));
    FileLock->CompleteLockIrpRoutine = CompleteLockIrpRoutine;
    FileLock->UnlockRoutine = UnlockRoutine;
}

/*
 * Ends the record's use: waiting lock IRPs complete with STATUS_RANGE_NOT_LOCKED,
 * granted locks are dropped without the unlock routine (the file system is tearing
 * the stream down), and the private part is freed. The caller guarantees no other
 * call on the record runs or follows.
 */
NTKERNELAPI VOID NTAPI FsRtlUninitializeFileLock(PFILE_LOCK FileLock)
{
    ke::CheckIrql((const void *)&FsRtlUninitializeFileLock, APC_LEVEL);
    auto *state = static_cast<LockState *>(ReadPointerAcquire(&FileLock->LockInformation));
    if (state == nullptr)
        return;
    for (;;) {
        // A waiter whose cancel routine is running is left to it; wait for it to
        // leave the list before the state goes.
        Deferred deferred;
        bool cancelling = false;
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&state->spinLock, &handle);
        PLIST_ENTRY entry = state->waiting.Flink;
        while (entry != &state->waiting) {
            PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            entry = entry->Flink;
            if (!WaiterClaim(irp)) {
                cancelling = true;
                continue;
            }
            irp->IoStatus.Status = STATUS_RANGE_NOT_LOCKED;
            irp->IoStatus.Information = 0;
            deferred.completions.push_back(irp);
        }
        KeReleaseInStackQueuedSpinLock(&handle);
        for (PIRP irp : deferred.completions)
            LockIrpComplete(FileLock, irp, WaiterContext(irp));
        if (!cancelling)
            break;
        LARGE_INTEGER interval;
        interval.QuadPart = -10000; // 1 ms
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    state->~LockState();
    ExFreePoolWithTag(state, kLockStateTag);
    FileLock->LockInformation = nullptr;
    FileLock->FastIoIsQuestionable = FALSE;
    FileLock->LastReturnedLock = nullptr;
}

NTKERNELAPI PFILE_LOCK NTAPI FsRtlAllocateFileLock(PCOMPLETE_LOCK_IRP_ROUTINE CompleteLockIrpRoutine,
                                                   PUNLOCK_ROUTINE UnlockRoutine)
{
    ke::CheckIrql((const void *)&FsRtlAllocateFileLock, APC_LEVEL);
    auto lock = static_cast<PFILE_LOCK>(ExAllocatePoolWithTag(PagedPool, sizeof(FILE_LOCK), kFileLockTag));
    if (lock == nullptr)
        return nullptr;
    FsRtlInitializeFileLock(lock, CompleteLockIrpRoutine, UnlockRoutine);
    return lock;
}

NTKERNELAPI VOID NTAPI FsRtlFreeFileLock(PFILE_LOCK FileLock)
{
    ke::CheckIrql((const void *)&FsRtlFreeFileLock, APC_LEVEL);
    FsRtlUninitializeFileLock(FileLock);
    ExFreePoolWithTag(FileLock, kFileLockTag);
}

/*
 * Asks for a lock on (FileOffset, Length) for the owner (FileObject, ProcessId, Key).
 * With an IRP, the IRP is completed (granted, refused) or left pending with a cancel
 * routine until the conflict goes; Iosb then says STATUS_PENDING. Without an IRP a
 * conflicting request that may wait cannot be queued: FALSE sends the caller to the
 * IRP path. Otherwise TRUE, with the outcome in Iosb: STATUS_SUCCESS,
 * STATUS_LOCK_NOT_GRANTED, STATUS_INVALID_LOCK_RANGE for a range past the last offset,
 * STATUS_INSUFFICIENT_RESOURCES.
 */
NTKERNELAPI BOOLEAN NTAPI FsRtlPrivateLock(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PLARGE_INTEGER FileOffset,
                                           PLARGE_INTEGER Length, PEPROCESS ProcessId, ULONG Key,
                                           BOOLEAN FailImmediately, BOOLEAN ExclusiveLock, PIO_STATUS_BLOCK Iosb,
                                           PIRP Irp, PVOID Context, BOOLEAN)
{
    ke::CheckIrql((const void *)&FsRtlPrivateLock, APC_LEVEL);
    ULONG64 start = (ULONG64)FileOffset->QuadPart;
    ULONG64 length = (ULONG64)Length->QuadPart;
    NTSTATUS status = STATUS_SUCCESS;
    LockState *state = nullptr;
    if (!RangeValid(start, length))
        status = STATUS_INVALID_LOCK_RANGE;
    else if ((state = StateMake(FileLock)) == nullptr)
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (state != nullptr) {
        KLOCK_QUEUE_HANDLE handle;
        KeAcquireInStackQueuedSpinLock(&state->spinLock, &handle);
        if (!LockConflicts(state, start, length, ExclusiveLock != FALSE)) {
            LockGrant(FileLock, state, start, length, ExclusiveLock != FALSE, Key, FileObject, ProcessId);
        } else if (FailImmediately) {
            status = STATUS_LOCK_NOT_GRANTED;
        } else if (Irp == nullptr) {
            KeReleaseInStackQueuedSpinLock(&handle);
            return FALSE;
        } else {
            // Iosb may be the IRP's own status block, so it is written before the IRP
            // can be granted and completed by another thread. Queue first, then arm
            // cancellation: a cancel that finds the routine set must find the IRP on
            // the list; one that came earlier left Irp->Cancel for the test below.
            Iosb->Status = STATUS_PENDING;
            Iosb->Information = 0;
            WaiterLock(Irp) = FileLock;
            WaiterContext(Irp) = Context;
            WaiterProcess(Irp) = ProcessId;
            WaiterExclusive(Irp) = ExclusiveLock ? (PVOID)1 : nullptr;
            IoMarkIrpPending(Irp);
            InsertTailList(&state->waiting, &Irp->Tail.Overlay.ListEntry);
            IoSetCancelRoutine(Irp, WaiterCancel);
            status = STATUS_PENDING;
            if (Irp->Cancel && WaiterClaim(Irp))
                status = STATUS_CANCELLED;
        }
        KeReleaseInStackQueuedSpinLock(&handle);
    }
    if (status == STATUS_PENDING)
        return TRUE;
    Iosb->Status = status;
    Iosb->Information = 0;
    if (Irp != nullptr) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        LockIrpComplete(FileLock, Irp, Context);
    }
    return TRUE;
}

/*
 * IRP_MJ_LOCK_CONTROL for a file system: takes over the IRP and completes it (now or,
 * for a lock that waits, later). Returns the request's status, STATUS_PENDING for a
 * waiting lock.
 */
NTKERNELAPI NTSTATUS NTAPI FsRtlProcessFileLock(PFILE_LOCK FileLock, PIRP Irp, PVOID Context)
{
    ke::CheckIrql((const void *)&FsRtlProcessFileLock, APC_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PEPROCESS process = IoGetRequestorProcess(Irp);
    auto &params = stack->Parameters.LockControl;
    NTSTATUS status;
    switch (stack->MinorFunction) {
    case IRP_MN_LOCK: {
        IO_STATUS_BLOCK iosb{};
        FsRtlPrivateLock(FileLock, stack->FileObject, &params.ByteOffset, params.Length, process, params.Key,
                         (stack->Flags & SL_FAIL_IMMEDIATELY) ? TRUE : FALSE,
                         (stack->Flags & SL_EXCLUSIVE_LOCK) ? TRUE : FALSE, &iosb, Irp, Context, FALSE);
        return iosb.Status;
    }
    case IRP_MN_UNLOCK_SINGLE:
        status = FsRtlFastUnlockSingle(FileLock, stack->FileObject, &params.ByteOffset, params.Length, process,
                                       params.Key, Context, FALSE);
        break;
    case IRP_MN_UNLOCK_ALL:
        status = FsRtlFastUnlockAll(FileLock, stack->FileObject, process, Context);
        break;
    case IRP_MN_UNLOCK_ALL_BY_KEY:
        status = FsRtlFastUnlockAllByKey(FileLock, stack->FileObject, process, params.Key, Context);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    return LockIrpComplete(FileLock, Irp, Context);
}

NTKERNELAPI NTSTATUS NTAPI FsRtlFastUnlockSingle(PFILE_LOCK FileLock, PFILE_OBJECT FileObject,
                                                 PLARGE_INTEGER FileOffset, PLARGE_INTEGER Length,
                                                 PEPROCESS ProcessId, ULONG Key, PVOID Context, BOOLEAN)
{
    ke::CheckIrql((const void *)&FsRtlFastUnlockSingle, APC_LEVEL);
    LONGLONG start = FileOffset->QuadPart;
    LONGLONG length = Length->QuadPart;
    if (!RangeValid((ULONG64)start, (ULONG64)length))
        return STATUS_INVALID_LOCK_RANGE;
    auto exact = [&](const FILE_LOCK_INFO &lock) {
        return SameOwner(lock, FileObject, ProcessId, Key) && lock.StartingByte.QuadPart == start &&
               lock.Length.QuadPart == length;
    };
    return LocksRemove(FileLock, exact, Pick::One, Context) ? STATUS_SUCCESS : STATUS_RANGE_NOT_LOCKED;
}

NTKERNELAPI NTSTATUS NTAPI FsRtlFastUnlockAll(PFILE_LOCK FileLock, PFILE_OBJECT FileObject, PEPROCESS ProcessId,
                                              PVOID Context)
{
    ke::CheckIrql((const void *)&FsRtlFastUnlockAll, APC_LEVEL);
    auto mine = [&](const FILE_LOCK_INFO &lock) { return lock.FileObject == FileObject && lock.ProcessId == ProcessId; };
    LocksRemove(FileLock, mine, Pick::All, Context);
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI FsRtlFastUnlockAllByKey(PFILE_LOCK FileLock, PFILE_OBJECT FileObject,
                                                   PEPROCESS ProcessId, ULONG Key, PVOID Context)
{
    ke::CheckIrql((const void *)&FsRtlFastUnlockAllByKey, APC_LEVEL);
    auto mine = [&](const FILE_LOCK_INFO &lock) { return SameOwner(lock, FileObject, ProcessId, Key); };
    LocksRemove(FileLock, mine, Pick::All, Context);
    return STATUS_SUCCESS;
}

NTKERNELAPI BOOLEAN NTAPI FsRtlFastCheckLockForRead(PFILE_LOCK FileLock, PLARGE_INTEGER StartingByte,
                                                    PLARGE_INTEGER Length, ULONG Key, PFILE_OBJECT FileObject,
                                                    PVOID ProcessId)
{
    ke::CheckIrql((const void *)&FsRtlFastCheckLockForRead, APC_LEVEL);
    return AccessCheck(FileLock, (ULONG64)StartingByte->QuadPart, (ULONG64)Length->QuadPart, Key, FileObject,
                       ProcessId, false);
}

NTKERNELAPI BOOLEAN NTAPI FsRtlFastCheckLockForWrite(PFILE_LOCK FileLock, PLARGE_INTEGER StartingByte,
                                                     PLARGE_INTEGER Length, ULONG Key, PVOID FileObject,
                                                     PVOID ProcessId)
{
    ke::CheckIrql((const void *)&FsRtlFastCheckLockForWrite, APC_LEVEL);
    return AccessCheck(FileLock, (ULONG64)StartingByte->QuadPart, (ULONG64)Length->QuadPart, Key, FileObject,
                       ProcessId, true);
}

/* The read check for an IRP_MJ_READ: its range and key, its file object and requesting process. */
NTKERNELAPI BOOLEAN NTAPI FsRtlCheckLockForReadAccess(PFILE_LOCK FileLock, PIRP Irp)
{
    ke::CheckIrql((const void *)&FsRtlCheckLockForReadAccess, APC_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return AccessCheck(FileLock, (ULONG64)stack->Parameters.Read.ByteOffset.QuadPart, stack->Parameters.Read.Length,
                       stack->Parameters.Read.Key, stack->FileObject, IoGetRequestorProcess(Irp), false);
}

/* The write check for an IRP_MJ_WRITE, as the read check. */
NTKERNELAPI BOOLEAN NTAPI FsRtlCheckLockForWriteAccess(PFILE_LOCK FileLock, PIRP Irp)
{
    ke::CheckIrql((const void *)&FsRtlCheckLockForWriteAccess, APC_LEVEL);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    return AccessCheck(FileLock, (ULONG64)stack->Parameters.Write.ByteOffset.QuadPart,
                       stack->Parameters.Write.Length, stack->Parameters.Write.Key, stack->FileObject,
                       IoGetRequestorProcess(Irp), true);
}

/*
 * Enumerates the granted locks: Restart gives the first, later calls the next, null
 * after the last. The lock is copied into LastReturnedLockInfo, whose address is
 * returned; LastReturnedLock holds the position. The caller keeps the locks still.
 */
NTKERNELAPI PFILE_LOCK_INFO NTAPI FsRtlGetNextFileLock(PFILE_LOCK FileLock, BOOLEAN Restart)
{
    ke::CheckIrql((const void *)&FsRtlGetNextFileLock, APC_LEVEL);
    auto *state = static_cast<LockState *>(ReadPointerAcquire(&FileLock->LockInformation));
    if (state == nullptr)
        return nullptr;
    size_t next = Restart ? 0 : (size_t)(ULONG_PTR)FileLock->LastReturnedLock;
    PFILE_LOCK_INFO found = nullptr;
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&state->spinLock, &handle);
    if (next < state->granted.size()) {
        FileLock->LastReturnedLockInfo = state->granted[next];
        FileLock->LastReturnedLock = (PVOID)(ULONG_PTR)(next + 1);
        found = &FileLock->LastReturnedLockInfo;
    }
    KeReleaseInStackQueuedSpinLock(&handle);
    return found;
}

NTKERNELAPI BOOLEAN NTAPI FsRtlAreThereCurrentOrWaitingFileLocks(PFILE_LOCK FileLock)
{
    auto *state = static_cast<LockState *>(ReadPointerAcquire(&FileLock->LockInformation));
    if (state == nullptr)
        return FALSE;
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&state->spinLock, &handle);
    bool any = !state->granted.empty() || !IsListEmpty(&state->waiting);
    KeReleaseInStackQueuedSpinLock(&handle);
    return any ? TRUE : FALSE;
}

} // extern "C"
