/*
 * Opportunistic locks: the legacy kinds (level 1, level 2, batch and filter) and
 * the Windows 7 kinds of FSCTL_REQUEST_OPLOCK (read, read-write, read-handle and
 * read-write-handle caching, one per handle; the handle's file object stands for
 * its oplock key).
 *
 * An OPLOCK is an opaque pointer that stays null until the first request asks for
 * an oplock on the stream; then it points at an OPLOCK_RECORD from non-paged pool
 * that lives until FsRtlUninitializeOplock. A granted request IRP stays pending in
 * the record and completes when the oplock breaks (legacy: Information names the
 * level it was broken to; Windows 7: the output buffer does); operations that
 * conflict with it wait, in FsRtlCheckOplock, until the owner acknowledges the break
 * or cleans up its handle.
 *
 * Synchronisation: one package-wide spin lock guards every record, its pending
 * IRPs and its waiters. It is one lock rather than one per record because a cancel
 * routine must find out, under a lock that outlives the record, whether its IRP is
 * still held by a record at all (DriverContext[0] names the record while it is).
 * IRPs are completed and completion routines called only after the lock is dropped.
 */
#include "base/spin.h"
#include "fsrtl/package_lock.h"
#include "ke/dispatcher.h"

#include <km/fsrtl.h>
#include <km/pool.h>

#include <cstring>

namespace {

constexpr ULONG kOplockTag = POOL_TAG('F', 's', 'O', 'p');
constexpr ULONG kOplockWaiterTag = POOL_TAG('F', 's', 'O', 'w');
constexpr ULONG kCacheOplockTag = POOL_TAG('F', 's', 'O', 'c');
constexpr ULONG kCacheBits = OPLOCK_LEVEL_CACHE_READ | OPLOCK_LEVEL_CACHE_HANDLE | OPLOCK_LEVEL_CACHE_WRITE;
constexpr CSHORT kOplockNodeType = 0x0707;

/* Data-changing controls that break oplocks like a write. */
constexpr ULONG kFsctlSetZeroData = 0x000980C8;
constexpr ULONG kFsctlDuplicateExtents = 0x00098344;

enum class Held { None, Level1, Batch, Filter, Level2 };
enum class Breaking { No, ToLevel2, ToNone };

/* What an operation asks of the oplock. */
enum class Need { Nothing, Level2, None };

struct OPLOCK_WAITER {
    LIST_ENTRY Links;
    PIRP Irp;                                 // the operation that waits, or null
    PVOID Context;                            // for CompletionRoutine
    POPLOCK_WAIT_COMPLETE_ROUTINE Completion; // null: the caller sleeps on Event
    KEVENT Event;
    NTSTATUS Status;
    bool Pooled;
};

struct OPLOCK_RECORD {
    CSHORT NodeTypeCode;
    Held Kind;                 // the oplock granted (level 2 when any level 2 IRP is held)
    Breaking Break;            // an exclusive break waits for acknowledgement
    bool ClosePending;         // batch / filter owner promised to close its handle
    PFILE_OBJECT Owner;        // file object of the exclusive oplock
    PIRP ExclusiveIrp;         // its request, pending until the break (null once completed)
    LIST_ENTRY Level2Irps;     // pending level 2 requests (Tail.Overlay.ListEntry)
    LIST_ENTRY NotifyIrps;     // FSCTL_OPLOCK_BREAK_NOTIFY waiting for the break to end
    LIST_ENTRY Waiters;        // OPLOCK_WAITER records of blocked operations
    LIST_ENTRY CacheOplocks;   // CACHE_OPLOCK records of FSCTL_REQUEST_OPLOCK grants
};

/*
 * A Windows 7 oplock: caching bits granted to one handle. While a break that needs
 * an acknowledgement is under way the handle still holds Level and has no IRP; the
 * acknowledgement names the level it keeps (at most BreakTo).
 */
struct CACHE_OPLOCK {
    LIST_ENTRY Links;
    PFILE_OBJECT File;
    ULONG Level;
    ULONG BreakTo;
    bool Breaking;
    PIRP Irp; // pending request or acknowledgement that holds the level; null while breaking
};

base::SpinLock gOplockLock;

/* The package lock, held for a scope. */
class PackageGuard : public fsrtl::PackageGuard {
public:
    PackageGuard() noexcept : fsrtl::PackageGuard(gOplockLock) {}
};

/* IRPs to complete once the lock is dropped (Tail.Overlay.ListEntry). */
struct Completions {
    Completions() { InitializeListHead(&irps); InitializeListHead(&waiters); }
    LIST_ENTRY irps;
    LIST_ENTRY waiters;
};

OPLOCK_RECORD *RecordOf(POPLOCK oplock) { return static_cast<OPLOCK_RECORD *>(*oplock); }

void CheckRecord(OPLOCK_RECORD *record)
{
    if (record != nullptr && record->NodeTypeCode != kOplockNodeType)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x4F50, (ULONG_PTR)record, 0, 0);
}

/*
 * Answers a question about the stream's oplock under the lock, or gives `empty` for
 * a stream on which no oplock was ever requested.
 */
template <typename Answer, typename Question> Answer Ask(POPLOCK oplock, Answer empty, Question question)
{
    OPLOCK_RECORD *record = RecordOf(oplock);
    CheckRecord(record);
    if (record == nullptr)
        return empty;
    PackageGuard guard;
    return question(record);
}

/*
 * Detaches a held IRP from the record and queues it for completion with the given
 * result. Lock held. When the IRP's cancel routine has already started, it owns the
 * completion: the IRP is only detached, and the cancel routine completes it.
 */
void DetachIrp(PIRP irp, NTSTATUS status, ULONG_PTR information, Completions &out)
{
    irp->Tail.Overlay.DriverContext[0] = nullptr;
    irp->Tail.Overlay.DriverContext[2] = nullptr;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr)
        return;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    InsertTailList(&out.irps, &irp->Tail.Overlay.ListEntry);
}

/* Lock held. Whether no break waits for an acknowledgement any more. */
bool Settled(OPLOCK_RECORD *record)
{
    if (record->Break != Breaking::No)
        return false;
    for (PLIST_ENTRY e = record->CacheOplocks.Flink; e != &record->CacheOplocks; e = e->Flink)
        if (CONTAINING_RECORD(e, CACHE_OPLOCK, Links)->Breaking)
            return false;
    return true;
}

/*
 * Lock held. Once no break waits for an acknowledgement, hands every blocked
 * operation and break-notify IRP on to be released.
 */
void ReleaseWaiters(OPLOCK_RECORD *record, Completions &out)
{
    if (!Settled(record))
        return;
    while (!IsListEmpty(&record->Waiters)) {
        auto *waiter = CONTAINING_RECORD(RemoveHeadList(&record->Waiters), OPLOCK_WAITER, Links);
        if (waiter->Irp != nullptr) {
            waiter->Irp->Tail.Overlay.DriverContext[0] = nullptr;
            waiter->Irp->Tail.Overlay.DriverContext[1] = nullptr;
            if (IoSetCancelRoutine(waiter->Irp, nullptr) == nullptr)
                continue; // its cancel routine runs and releases it
        }
        waiter->Status = STATUS_SUCCESS;
        InsertTailList(&out.waiters, &waiter->Links);
    }
    while (!IsListEmpty(&record->NotifyIrps)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&record->NotifyIrps), IRP, Tail.Overlay.ListEntry);
        DetachIrp(irp, STATUS_SUCCESS, 0, out);
    }
}

/* Lock held. The exclusive oplock is gone: back to no oplock, blocked operations go on. */
void EndExclusive(OPLOCK_RECORD *record, Completions &out)
{
    if (record->ExclusiveIrp != nullptr) {
        DetachIrp(record->ExclusiveIrp, STATUS_SUCCESS, FILE_OPLOCK_BROKEN_TO_NONE, out);
        record->ExclusiveIrp = nullptr;
    }
    record->Kind = Held::None;
    record->Break = Breaking::No;
    record->ClosePending = false;
    record->Owner = nullptr;
    ReleaseWaiters(record, out);
}

/* Lock held. Every level 2 oplock breaks to none; nobody acknowledges those. */
void BreakLevel2(OPLOCK_RECORD *record, PFILE_OBJECT only, Completions &out)
{
    PLIST_ENTRY entry = record->Level2Irps.Flink;
    while (entry != &record->Level2Irps) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if (only != nullptr && IoGetCurrentIrpStackLocation(irp)->FileObject != only)
            continue;
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        DetachIrp(irp, STATUS_SUCCESS, FILE_OPLOCK_BROKEN_TO_NONE, out);
    }
    if (IsListEmpty(&record->Level2Irps))
        record->Kind = Held::None;
}

/*
 * Lock held. Queues a Windows 7 oplock IRP for completion with the output buffer
 * that reports the level it had and the level it keeps.
 */
void CompleteCacheIrp(PIRP irp, NTSTATUS status, ULONG original, ULONG level, bool ackRequired, Completions &out)
{
    auto *output = static_cast<PREQUEST_OPLOCK_OUTPUT_BUFFER>(irp->AssociatedIrp.SystemBuffer);
    memset(output, 0, sizeof(*output));
    output->StructureVersion = REQUEST_OPLOCK_CURRENT_VERSION;
    output->StructureLength = sizeof(*output);
    output->OriginalOplockLevel = original;
    output->NewOplockLevel = level;
    output->Flags = ackRequired ? REQUEST_OPLOCK_OUTPUT_FLAG_ACK_REQUIRED : 0;
    DetachIrp(irp, status, sizeof(*output), out);
}

/* Lock held. Ends one Windows 7 oplock, completing its IRP with the given status. */
void EndCacheOplock(CACHE_OPLOCK *entry, NTSTATUS status, Completions &out)
{
    RemoveEntryList(&entry->Links);
    if (entry->Irp != nullptr)
        CompleteCacheIrp(entry->Irp, status, entry->Level, 0, false, out);
    ExFreePoolWithTag(entry, kCacheOplockTag);
}

/*
 * Lock held. Takes the given caching bits from every Windows 7 oplock of other
 * handles. Losing write or handle caching must be acknowledged (the holder flushes
 * or closes first); losing read caching alone needs none, so such an oplock just
 * ends. Returns whether an acknowledgement is now awaited.
 */
bool BreakCacheOplocks(OPLOCK_RECORD *record, PFILE_OBJECT file, ULONG strip, Completions &out)
{
    bool awaited = false;
    PLIST_ENTRY e = record->CacheOplocks.Flink;
    while (e != &record->CacheOplocks) {
        auto *entry = CONTAINING_RECORD(e, CACHE_OPLOCK, Links);
        e = e->Flink;
        if (entry->File == file)
            continue;
        if (entry->Breaking) {
            entry->BreakTo &= ~strip;
            awaited = true;
            continue;
        }
        if ((entry->Level & strip) == 0)
            continue;
        ULONG level = entry->Level & ~strip;
        bool ackRequired = (entry->Level & (OPLOCK_LEVEL_CACHE_WRITE | OPLOCK_LEVEL_CACHE_HANDLE)) != 0;
        if (!ackRequired) {
            CompleteCacheIrp(entry->Irp, STATUS_SUCCESS, entry->Level, level, false, out);
            entry->Irp = nullptr;
            EndCacheOplock(entry, STATUS_SUCCESS, out);
            continue;
        }
        CompleteCacheIrp(entry->Irp, STATUS_SUCCESS, entry->Level, level, true, out);
        entry->Irp = nullptr;
        entry->Breaking = true;
        entry->BreakTo = level;
        awaited = true;
    }
    return awaited;
}

CACHE_OPLOCK *CacheOplockOf(OPLOCK_RECORD *record, PFILE_OBJECT file)
{
    for (PLIST_ENTRY e = record->CacheOplocks.Flink; e != &record->CacheOplocks; e = e->Flink) {
        auto *entry = CONTAINING_RECORD(e, CACHE_OPLOCK, Links);
        if (entry->File == file)
            return entry;
    }
    return nullptr;
}

/* Completes what the lock holder queued, after the lock is dropped. */
void FinishCompletions(Completions &out)
{
    while (!IsListEmpty(&out.irps)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&out.irps), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    while (!IsListEmpty(&out.waiters)) {
        auto *waiter = CONTAINING_RECORD(RemoveHeadList(&out.waiters), OPLOCK_WAITER, Links);
        if (waiter->Completion == nullptr) {
            KeSetEvent(&waiter->Event, IO_NO_INCREMENT, FALSE);
            continue;
        }
        PIRP irp = waiter->Irp;
        irp->IoStatus.Status = waiter->Status;
        POPLOCK_WAIT_COMPLETE_ROUTINE routine = waiter->Completion;
        PVOID context = waiter->Context;
        ExFreePoolWithTag(waiter, kOplockWaiterTag);
        routine(context, irp);
    }
}

/*
 * Cancel routine of every IRP the package holds: a pending oplock request, a break
 * notification and an operation waiting for a break. Called with the cancel spin
 * lock held. Whatever DriverContext[0] names under the package lock still holds the
 * IRP; otherwise a break detached it and left its completion to this routine.
 */
VOID NTAPI CancelOplockIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Completions out;
    OPLOCK_WAITER *waiter = nullptr;
    {
        PackageGuard guard;
        auto *record = static_cast<OPLOCK_RECORD *>(Irp->Tail.Overlay.DriverContext[0]);
        waiter = static_cast<OPLOCK_WAITER *>(Irp->Tail.Overlay.DriverContext[1]);
        auto *entry = static_cast<CACHE_OPLOCK *>(Irp->Tail.Overlay.DriverContext[2]);
        if (record != nullptr) {
            Irp->Tail.Overlay.DriverContext[0] = nullptr;
            Irp->Tail.Overlay.DriverContext[1] = nullptr;
            Irp->Tail.Overlay.DriverContext[2] = nullptr;
            if (waiter != nullptr) {
                RemoveEntryList(&waiter->Links);
            } else if (entry != nullptr) {
                entry->Irp = nullptr;
                EndCacheOplock(entry, STATUS_SUCCESS, out);
                ReleaseWaiters(record, out);
            } else if (record->ExclusiveIrp == Irp) {
                // A cancelled request gives up its oplock; operations blocked on the
                // break have nothing left to wait for.
                record->ExclusiveIrp = nullptr;
                EndExclusive(record, out);
            } else {
                RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
                if (record->Kind == Held::Level2 && IsListEmpty(&record->Level2Irps))
                    record->Kind = Held::None;
            }
        } else {
            waiter = nullptr; // released already; the release path found the routine gone
        }
    }
    FinishCompletions(out);
    if (waiter != nullptr) {
        waiter->Status = STATUS_CANCELLED;
        Completions one;
        InsertTailList(&one.waiters, &waiter->Links);
        FinishCompletions(one);
        return;
    }
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

/*
 * Lock held. Keeps an IRP (marked pending when it will be completed later) in the record with the package's cancel routine.
 * Returns false when the IRP was cancelled already; the caller completes it.
 */
bool HoldIrp(OPLOCK_RECORD *record, PIRP irp, OPLOCK_WAITER *waiter, bool pending)
{
    if (pending)
        IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = record;
    irp->Tail.Overlay.DriverContext[1] = waiter;
    irp->Tail.Overlay.DriverContext[2] = nullptr;
    IoSetCancelRoutine(irp, CancelOplockIrp);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        irp->Tail.Overlay.DriverContext[0] = nullptr;
        irp->Tail.Overlay.DriverContext[1] = nullptr;
        return false;
    }
    return true;
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

/* Creates the record on first use. Returns null when pool is exhausted. */
OPLOCK_RECORD *EnsureRecord(POPLOCK oplock)
{
    if (*oplock != nullptr)
        return RecordOf(oplock);
    auto *record = static_cast<OPLOCK_RECORD *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(OPLOCK_RECORD), kOplockTag));
    if (record == nullptr)
        return nullptr;
    memset(record, 0, sizeof(*record));
    record->NodeTypeCode = kOplockNodeType;
    InitializeListHead(&record->Level2Irps);
    InitializeListHead(&record->NotifyIrps);
    InitializeListHead(&record->Waiters);
    InitializeListHead(&record->CacheOplocks);
    // Requests on one stream arrive under the file system's node lock, so two
    // threads never race to create the record.
    *oplock = record;
    return record;
}

/* Lock held. Whether some Windows 7 oplock has all the bits of `with` and none of `without`. */
bool AnyCacheLevel(OPLOCK_RECORD *record, ULONG with, ULONG without)
{
    for (PLIST_ENTRY e = record->CacheOplocks.Flink; e != &record->CacheOplocks; e = e->Flink) {
        ULONG level = CONTAINING_RECORD(e, CACHE_OPLOCK, Links)->Level;
        if ((level & with) == with && (level & without) == 0)
            return true;
    }
    return false;
}

bool AnyCacheWrite(OPLOCK_RECORD *record) { return AnyCacheLevel(record, OPLOCK_LEVEL_CACHE_WRITE, 0); }

/*
 * Grants or refuses a request for an oplock. Level 1, batch and filter need the
 * caller's open count to be 1 and no oplock on the stream; level 2 needs a count of
 * 0 (no byte-range locks) and no exclusive oplock. Legacy oplocks are granted only
 * to asynchronous requests. Returns STATUS_PENDING (granted, the IRP is held) or
 * completes the IRP with STATUS_OPLOCK_NOT_GRANTED.
 */
NTSTATUS RequestOplock(POPLOCK oplock, PIRP irp, ULONG code, ULONG openCount)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    bool shared = code == FSCTL_REQUEST_OPLOCK_LEVEL_2;
    if (IoIsOperationSynchronous(irp) || (shared ? openCount != 0 : openCount != 1))
        return CompleteNow(irp, STATUS_OPLOCK_NOT_GRANTED);
    OPLOCK_RECORD *record = EnsureRecord(oplock);
    if (record == nullptr)
        return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
    NTSTATUS status = STATUS_OPLOCK_NOT_GRANTED;
    {
        PackageGuard guard;
        bool grant = shared ? (record->Kind == Held::None || record->Kind == Held::Level2) && !AnyCacheWrite(record)
                            : record->Kind == Held::None && IsListEmpty(&record->CacheOplocks);
        if (grant) {
            if (!HoldIrp(record, irp, nullptr, true)) {
                status = STATUS_CANCELLED;
            } else if (shared) {
                record->Kind = Held::Level2;
                InsertTailList(&record->Level2Irps, &irp->Tail.Overlay.ListEntry);
                return STATUS_PENDING;
            } else {
                record->Kind = code == FSCTL_REQUEST_OPLOCK_LEVEL_1 ? Held::Level1
                               : code == FSCTL_REQUEST_BATCH_OPLOCK ? Held::Batch
                                                                    : Held::Filter;
                record->Owner = file;
                record->ExclusiveIrp = irp;
                return STATUS_PENDING;
            }
        }
    }
    return CompleteNow(irp, status);
}

bool IsExclusive(Held kind) { return kind == Held::Level1 || kind == Held::Batch || kind == Held::Filter; }

/*
 * The three acknowledgements of an exclusive break, from the owner's handle:
 * acknowledge (take what the break offered: level 2 keeps this IRP pending as the
 * new level 2 oplock), acknowledge without level 2, and close pending (a batch or
 * filter owner will close: blocked operations go on waiting for its cleanup; for
 * level 1 it is a full acknowledgement to none). Anything else is a protocol error.
 */
NTSTATUS AcknowledgeBreak(OPLOCK_RECORD *record, PIRP irp, ULONG code)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    Completions out;
    NTSTATUS status = STATUS_SUCCESS;
    {
        PackageGuard guard;
        if (record == nullptr || !IsExclusive(record->Kind) || record->Break == Breaking::No ||
            record->Owner != file || record->ClosePending) {
            status = STATUS_INVALID_OPLOCK_PROTOCOL;
        } else if (code == FSCTL_OPBATCH_ACK_CLOSE_PENDING && record->Kind != Held::Level1) {
            record->ClosePending = true;
        } else if (code == FSCTL_OPLOCK_BREAK_ACKNOWLEDGE && record->Break == Breaking::ToLevel2) {
            EndExclusive(record, out);
            if (HoldIrp(record, irp, nullptr, true)) {
                record->Kind = Held::Level2;
                InsertTailList(&record->Level2Irps, &irp->Tail.Overlay.ListEntry);
                status = STATUS_PENDING;
            } else {
                status = STATUS_CANCELLED;
            }
        } else {
            EndExclusive(record, out);
        }
    }
    FinishCompletions(out);
    if (status == STATUS_PENDING)
        return status;
    return CompleteNow(irp, status);
}

/* Break notification: completes at once unless an exclusive break is under way. */
NTSTATUS BreakNotify(OPLOCK_RECORD *record, PIRP irp)
{
    {
        PackageGuard guard;
        if (record != nullptr && !Settled(record)) {
            if (HoldIrp(record, irp, nullptr, true)) {
                InsertTailList(&record->NotifyIrps, &irp->Tail.Overlay.ListEntry);
                return STATUS_PENDING;
            }
            return CompleteNow(irp, STATUS_CANCELLED);
        }
    }
    return CompleteNow(irp, STATUS_SUCCESS);
}

/*
 * FSCTL_REQUEST_OPLOCK: a request for a Windows 7 oplock (R, RW, RH or RWH) or the
 * acknowledgement of its break. Shared levels (no write caching) need an open count
 * of 0 (no byte-range locks) and no write caching elsewhere; the exclusive ones need
 * the count 1, unless the caller vouches that all oplock keys match, and no other
 * oplock. One oplock per handle. A granted request and an acknowledgement that
 * keeps a level stay pending (STATUS_PENDING) until the next break.
 */
NTSTATUS RequestCacheOplock(POPLOCK oplock, PIRP irp, ULONG openCount, ULONG fsctrlFlags)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    auto *input = static_cast<PREQUEST_OPLOCK_INPUT_BUFFER>(irp->AssociatedIrp.SystemBuffer);
    if (input == nullptr || stack->Parameters.FileSystemControl.InputBufferLength < sizeof(REQUEST_OPLOCK_INPUT_BUFFER) ||
        stack->Parameters.FileSystemControl.OutputBufferLength < sizeof(REQUEST_OPLOCK_OUTPUT_BUFFER))
        return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
    ULONG level = input->RequestedOplockLevel;
    ULONG kind = input->Flags & (REQUEST_OPLOCK_INPUT_FLAG_REQUEST | REQUEST_OPLOCK_INPUT_FLAG_ACK);
    bool request = kind == REQUEST_OPLOCK_INPUT_FLAG_REQUEST;
    bool validLevel = (level & ~kCacheBits) == 0 &&
                      (level == 0 ? !request : (level & OPLOCK_LEVEL_CACHE_READ) != 0);
    if ((kind != REQUEST_OPLOCK_INPUT_FLAG_REQUEST && kind != REQUEST_OPLOCK_INPUT_FLAG_ACK) || !validLevel)
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    bool exclusive = (level & OPLOCK_LEVEL_CACHE_WRITE) != 0;
    if (request && (exclusive ? openCount != 1 && !(fsctrlFlags & OPLOCK_FSCTRL_FLAG_ALL_KEYS_MATCH) : openCount != 0))
        return CompleteNow(irp, STATUS_OPLOCK_NOT_GRANTED);
    OPLOCK_RECORD *record = request ? EnsureRecord(oplock) : RecordOf(oplock);
    if (request && record == nullptr)
        return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
    CACHE_OPLOCK *fresh = nullptr;
    if (request) {
        fresh = static_cast<CACHE_OPLOCK *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CACHE_OPLOCK), kCacheOplockTag));
        if (fresh == nullptr)
            return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
        memset(fresh, 0, sizeof(*fresh));
        fresh->File = file;
        fresh->Level = level;
    }
    Completions out;
    NTSTATUS status;
    {
        PackageGuard guard;
        CACHE_OPLOCK *entry = record != nullptr ? CacheOplockOf(record, file) : nullptr;
        if (request) {
            bool others = !IsListEmpty(&record->CacheOplocks);
            bool grant = entry == nullptr && !IsExclusive(record->Kind) &&
                         (exclusive ? !others && record->Kind == Held::None
                                    : !AnyCacheWrite(record) && Settled(record));
            if (!grant) {
                status = STATUS_OPLOCK_NOT_GRANTED;
            } else if (!HoldIrp(record, irp, nullptr, true)) {
                status = STATUS_CANCELLED;
            } else {
                fresh->Irp = irp;
                irp->Tail.Overlay.DriverContext[2] = fresh;
                InsertTailList(&record->CacheOplocks, &fresh->Links);
                return STATUS_PENDING;
            }
        } else if (entry == nullptr || !entry->Breaking) {
            status = STATUS_INVALID_OPLOCK_PROTOCOL;
        } else if ((level & ~entry->BreakTo) != 0) {
            status = STATUS_INVALID_PARAMETER; // more than the break left
        } else {
            entry->Breaking = false;
            entry->Level = level;
            if (level == 0) {
                EndCacheOplock(entry, STATUS_SUCCESS, out);
                status = STATUS_SUCCESS;
            } else if (HoldIrp(record, irp, nullptr, true)) {
                entry->Irp = irp;
                irp->Tail.Overlay.DriverContext[2] = entry;
                status = STATUS_PENDING;
            } else {
                EndCacheOplock(entry, STATUS_SUCCESS, out);
                status = STATUS_CANCELLED;
            }
            ReleaseWaiters(record, out);
        }
    }
    FinishCompletions(out);
    if (fresh != nullptr && status != STATUS_PENDING)
        ExFreePoolWithTag(fresh, kCacheOplockTag);
    if (status == STATUS_PENDING)
        return status;
    return CompleteNow(irp, status);
}

NTSTATUS OplockFsctrl(POPLOCK oplock, PIRP irp, ULONG openCount, ULONG flags)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_FILE_SYSTEM_CONTROL)
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    ULONG code = stack->Parameters.FileSystemControl.FsControlCode;
    OPLOCK_RECORD *record = RecordOf(oplock);
    CheckRecord(record);
    switch (code) {
    case FSCTL_REQUEST_OPLOCK_LEVEL_1:
    case FSCTL_REQUEST_OPLOCK_LEVEL_2:
    case FSCTL_REQUEST_BATCH_OPLOCK:
    case FSCTL_REQUEST_FILTER_OPLOCK:
        return RequestOplock(oplock, irp, code, openCount);
    case FSCTL_OPLOCK_BREAK_ACKNOWLEDGE:
    case FSCTL_OPLOCK_BREAK_ACK_NO_2:
    case FSCTL_OPBATCH_ACK_CLOSE_PENDING:
        return AcknowledgeBreak(record, irp, code);
    case FSCTL_OPLOCK_BREAK_NOTIFY:
        return BreakNotify(record, irp);
    case FSCTL_REQUEST_OPLOCK:
        return RequestCacheOplock(oplock, irp, openCount, flags);
    default:
        return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    }
}

/*
 * What an operation from a handle asks of the oplock: a read breaks an exclusive
 * oplock of another handle to level 2; a write, a size change, a lock or a data-
 * changing control breaks everything to none; an open breaks to level 2, or to none
 * when it supersedes or overwrites; a filter oplock survives opens that neither
 * write nor deny reading; rename, link and disposition break batch and filter
 * oplocks (the handle they cache is in the way).
 */
Need NeedOf(PIO_STACK_LOCATION stack, Held kind, bool *handleOnly)
{
    *handleOnly = false;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
        ULONG disposition = stack->Parameters.Create.Options >> 24;
        if (disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF)
            return Need::None;
        if (kind == Held::Filter) {
            ACCESS_MASK access = stack->Parameters.Create.SecurityContext != nullptr
                                     ? stack->Parameters.Create.SecurityContext->DesiredAccess
                                     : 0;
            constexpr ACCESS_MASK kWriting = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE | GENERIC_WRITE | GENERIC_ALL;
            if ((access & kWriting) == 0 && (stack->Parameters.Create.ShareAccess & FILE_SHARE_READ))
                return Need::Nothing;
            return Need::None;
        }
        return Need::Level2;
    }
    case IRP_MJ_READ:
        return Need::Level2;
    case IRP_MJ_WRITE:
    case IRP_MJ_LOCK_CONTROL:
        return Need::None;
    case IRP_MJ_SET_INFORMATION:
        switch (stack->Parameters.SetFile.FileInformationClass) {
        case FileEndOfFileInformation:
            return stack->Parameters.SetFile.AdvanceOnly ? Need::Nothing : Need::None;
        case FileAllocationInformation:
            return Need::None;
        case FileRenameInformation:
        case FileLinkInformation:
        case FileDispositionInformation:
        case FileRenameInformationEx:
        case FileLinkInformationEx:
        case FileDispositionInformationEx:
            *handleOnly = true;
            return Need::None;
        default:
            return Need::Nothing;
        }
    case IRP_MJ_FILE_SYSTEM_CONTROL: {
        ULONG code = stack->Parameters.FileSystemControl.FsControlCode;
        return code == kFsctlSetZeroData || code == kFsctlDuplicateExtents ? Need::None : Need::Nothing;
    }
    default:
        return Need::Nothing;
    }
}

/*
 * Lock held. Holds the waiting operation's IRP and lists its waiter for release at
 * the end of the break. Returns STATUS_PENDING (completion routine form) or
 * STATUS_SUCCESS (the caller sleeps on the waiter's event), or STATUS_CANCELLED
 * when the IRP was cancelled already; the waiter is then freed when pooled.
 */
NTSTATUS QueueWaiter(OPLOCK_RECORD *record, PIRP irp, OPLOCK_WAITER *waiter, POPLOCK_WAIT_COMPLETE_ROUTINE completion)
{
    if (irp != nullptr && !HoldIrp(record, irp, waiter, completion != nullptr)) {
        if (waiter->Pooled)
            ExFreePoolWithTag(waiter, kOplockWaiterTag);
        return STATUS_CANCELLED;
    }
    InsertTailList(&record->Waiters, &waiter->Links);
    return completion != nullptr ? STATUS_PENDING : STATUS_SUCCESS;
}

/*
 * Breaks what the operation conflicts with and makes it wait for the owner's
 * acknowledgement: synchronously when no completion routine is given, otherwise the
 * IRP is marked pending, PostIrpRoutine runs, STATUS_PENDING is returned and the
 * completion routine is called when the wait ends (IoStatus.Status says how).
 * handleOnly limits the break to batch and filter oplocks.
 */
NTSTATUS BreakAndWait(OPLOCK_RECORD *record, PIRP irp, PFILE_OBJECT file, Need need, bool handleOnly,
                      ULONG flags, PVOID context, POPLOCK_WAIT_COMPLETE_ROUTINE completion,
                      POPLOCK_FS_PREPOST_IRP post)
{
    if (record == nullptr || need == Need::Nothing)
        return STATUS_SUCCESS;
    Completions out;
    OPLOCK_WAITER local;
    OPLOCK_WAITER *waiter = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    bool posting = false;
    {
        PackageGuard guard;
        if (record->Kind == Held::Level2 && need == Need::None && !handleOnly)
            BreakLevel2(record, nullptr, out);
        bool conflicts = IsExclusive(record->Kind) && record->Owner != file &&
                         (!handleOnly || record->Kind != Held::Level1);
        if (conflicts) {
            if (record->Break == Breaking::No) {
                // Batch and filter owners cache the handle: a level 2 oplock
                // cannot keep that promise, so only level 1 is offered level 2.
                bool toLevel2 = need == Need::Level2 && record->Kind != Held::Filter;
                record->Break = toLevel2 ? Breaking::ToLevel2 : Breaking::ToNone;
                if (record->ExclusiveIrp != nullptr)
                    DetachIrp(record->ExclusiveIrp, STATUS_SUCCESS,
                              toLevel2 ? FILE_OPLOCK_BROKEN_TO_LEVEL_2 : FILE_OPLOCK_BROKEN_TO_NONE, out);
                record->ExclusiveIrp = nullptr;
            } else if (need == Need::None) {
                // Offered level 2 already; whatever the owner acknowledges now ends at none.
                record->Break = Breaking::ToNone;
            }
        }
        // Windows 7 oplocks lose write caching to readers and opens, handle caching
        // to namespace changes, everything to writers.
        ULONG strip = handleOnly               ? OPLOCK_LEVEL_CACHE_HANDLE
                      : need == Need::Level2 ? OPLOCK_LEVEL_CACHE_WRITE
                                             : kCacheBits;
        if (BreakCacheOplocks(record, file, strip, out))
            conflicts = true;
        if (conflicts) {
            if (flags & OPLOCK_FLAG_COMPLETE_IF_OPLOCKED) {
                status = STATUS_OPLOCK_BREAK_IN_PROGRESS;
            } else {
                waiter = completion != nullptr ? static_cast<OPLOCK_WAITER *>(ExAllocatePoolWithTag(
                                                     NonPagedPoolNx, sizeof(OPLOCK_WAITER), kOplockWaiterTag))
                                               : &local;
                if (waiter == nullptr) {
                    status = STATUS_INSUFFICIENT_RESOURCES;
                } else {
                    memset(waiter, 0, sizeof(*waiter));
                    waiter->Irp = irp;
                    waiter->Context = context;
                    waiter->Completion = completion;
                    waiter->Pooled = completion != nullptr;
                    KeInitializeEvent(&waiter->Event, NotificationEvent, FALSE);
                    // The post routine runs at the caller's IRQL (it may lock user
                    // buffers), so it runs after the lock is dropped; until then the
                    // IRP is neither held nor listed, and no break can complete it.
                    if (completion != nullptr && post != nullptr)
                        posting = true;
                    else if ((status = QueueWaiter(record, irp, waiter, completion)) == STATUS_CANCELLED)
                        waiter = nullptr;
                }
            }
        }
    }
    FinishCompletions(out);
    if (posting) {
        post(context, irp);
        Completions released;
        {
            PackageGuard guard;
            if (Settled(record)) {
                // Acknowledged while the routine ran: nothing is left to wait for.
                IoMarkIrpPending(irp);
                waiter->Status = STATUS_SUCCESS;
                InsertTailList(&released.waiters, &waiter->Links);
                status = STATUS_PENDING;
            } else {
                status = QueueWaiter(record, irp, waiter, completion);
            }
        }
        FinishCompletions(released);
        return status;
    }
    if (waiter != nullptr && completion == nullptr) {
        KeWaitForSingleObject(&waiter->Event, Executive, KernelMode, FALSE, nullptr);
        status = waiter->Status;
    }
    return status;
}

/* The owner's cleanup: its exclusive oplock ends, its level 2 oplocks break. */
void CleanupOwner(OPLOCK_RECORD *record, PFILE_OBJECT file)
{
    if (record == nullptr)
        return;
    Completions out;
    {
        PackageGuard guard;
        if (IsExclusive(record->Kind) && record->Owner == file)
            EndExclusive(record, out);
        else if (record->Kind == Held::Level2)
            BreakLevel2(record, file, out);
        // A closed handle ends its Windows 7 oplock, acknowledged or not.
        if (CACHE_OPLOCK *entry = CacheOplockOf(record, file)) {
            EndCacheOplock(entry, STATUS_OPLOCK_HANDLE_CLOSED, out);
            ReleaseWaiters(record, out);
        }
    }
    FinishCompletions(out);
}

NTSTATUS CheckOplock(POPLOCK oplock, PIRP irp, ULONG flags, PVOID context, POPLOCK_WAIT_COMPLETE_ROUTINE completion,
                     POPLOCK_FS_PREPOST_IRP post)
{
    OPLOCK_RECORD *record = RecordOf(oplock);
    CheckRecord(record);
    if (record == nullptr)
        return STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CLEANUP) {
        CleanupOwner(record, stack->FileObject);
        return STATUS_SUCCESS;
    }
    Held kind = Ask(oplock, Held::None, [](OPLOCK_RECORD *r) { return r->Kind; });
    bool handleOnly;
    Need need = NeedOf(stack, kind, &handleOnly);
    return BreakAndWait(record, irp, stack->FileObject, need, handleOnly, flags, context, completion, post);
}

} // namespace

extern "C" {

NTKERNELAPI VOID NTAPI FsRtlInitializeOplock(POPLOCK Oplock)
{
    ke::CheckIrql((const void *)&FsRtlInitializeOplock, APC_LEVEL);
    *Oplock = nullptr;
}

/*
 * Ends the stream's oplock: the pending requests complete (broken to none), blocked
 * operations go on, and the record is freed. An IRP whose cancel routine has begun
 * is only detached here; that routine finds no record named in it and completes it
 * without touching the freed record.
 */
NTKERNELAPI VOID NTAPI FsRtlUninitializeOplock(POPLOCK Oplock)
{
    ke::CheckIrql((const void *)&FsRtlUninitializeOplock, APC_LEVEL);
    OPLOCK_RECORD *record = RecordOf(Oplock);
    CheckRecord(record);
    if (record != nullptr) {
        Completions out;
        {
            PackageGuard guard;
            while (!IsListEmpty(&record->CacheOplocks))
                EndCacheOplock(CONTAINING_RECORD(record->CacheOplocks.Flink, CACHE_OPLOCK, Links), STATUS_SUCCESS,
                               out);
            EndExclusive(record, out);
            BreakLevel2(record, nullptr, out);
        }
        FinishCompletions(out);
        record->NodeTypeCode = 0;
        ExFreePoolWithTag(record, kOplockTag);
    }
    *Oplock = nullptr;
}

NTKERNELAPI NTSTATUS NTAPI FsRtlOplockFsctrl(POPLOCK Oplock, PIRP Irp, ULONG OpenCount)
{
    ke::CheckIrql((const void *)&FsRtlOplockFsctrl, APC_LEVEL);
    return OplockFsctrl(Oplock, Irp, OpenCount, 0);
}

NTKERNELAPI NTSTATUS NTAPI FsRtlOplockFsctrlEx(POPLOCK Oplock, PIRP Irp, ULONG OpenCount, ULONG Flags)
{
    ke::CheckIrql((const void *)&FsRtlOplockFsctrlEx, APC_LEVEL);
    return OplockFsctrl(Oplock, Irp, OpenCount, Flags);
}

NTKERNELAPI NTSTATUS NTAPI FsRtlCheckOplock(POPLOCK Oplock, PIRP Irp, PVOID Context,
                                            POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine,
                                            POPLOCK_FS_PREPOST_IRP PostIrpRoutine)
{
    ke::CheckIrql((const void *)&FsRtlCheckOplock, APC_LEVEL);
    ULONG flags = 0;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_CREATE && (stack->Parameters.Create.Options & FILE_COMPLETE_IF_OPLOCKED))
        flags |= OPLOCK_FLAG_COMPLETE_IF_OPLOCKED;
    return CheckOplock(Oplock, Irp, flags, Context, CompletionRoutine, PostIrpRoutine);
}

NTKERNELAPI NTSTATUS NTAPI FsRtlCheckOplockEx(POPLOCK Oplock, PIRP Irp, ULONG Flags, PVOID Context,
                                              POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine,
                                              POPLOCK_FS_PREPOST_IRP PostIrpRoutine)
{
    ke::CheckIrql((const void *)&FsRtlCheckOplockEx, APC_LEVEL);
    return CheckOplock(Oplock, Irp, Flags, Context, CompletionRoutine, PostIrpRoutine);
}

NTKERNELAPI NTSTATUS NTAPI FsRtlOplockBreakToNone(POPLOCK Oplock, PIO_STACK_LOCATION IrpSp, PIRP Irp, PVOID Context,
                                                  POPLOCK_WAIT_COMPLETE_ROUTINE CompletionRoutine,
                                                  POPLOCK_FS_PREPOST_IRP PostIrpRoutine)
{
    ke::CheckIrql((const void *)&FsRtlOplockBreakToNone, APC_LEVEL);
    OPLOCK_RECORD *record = RecordOf(Oplock);
    CheckRecord(record);
    return BreakAndWait(record, Irp, IrpSp->FileObject, Need::None, false, 0, Context, CompletionRoutine,
                        PostIrpRoutine);
}

/*
 * Fast I/O would bypass the break that a level 2 or read-caching oplock, or a break
 * under way, needs before the next write.
 */
NTKERNELAPI BOOLEAN NTAPI FsRtlOplockIsFastIoPossible(POPLOCK Oplock)
{
    return Ask(Oplock, (BOOLEAN)TRUE, [](OPLOCK_RECORD *r) -> BOOLEAN {
        return r->Kind != Held::Level2 && Settled(r) && !AnyCacheLevel(r, 0, OPLOCK_LEVEL_CACHE_WRITE);
    });
}

/* Batch and filter oplocks and handle caching: whoever holds them keeps a handle open. */
NTKERNELAPI BOOLEAN NTAPI FsRtlCurrentBatchOplock(POPLOCK Oplock)
{
    return Ask(Oplock, (BOOLEAN)FALSE, [](OPLOCK_RECORD *r) -> BOOLEAN {
        return r->Kind == Held::Batch || r->Kind == Held::Filter || AnyCacheLevel(r, OPLOCK_LEVEL_CACHE_HANDLE, 0);
    });
}

} // extern "C"
