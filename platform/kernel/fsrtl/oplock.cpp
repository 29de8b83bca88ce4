/*
 * Opportunistic locks: the legacy kinds (level 1, level 2, batch and filter).
 *
 * An OPLOCK is an opaque pointer that stays null until the first request asks for
 * an oplock on the stream; then it points at an OPLOCK_RECORD from non-paged pool
 * that lives until FsRtlUninitializeOplock. A granted request IRP stays pending in
 * the record and completes when the oplock breaks (Information names the level it
 * was broken to); operations that conflict with it wait, in FsRtlCheckOplock, until
 * the owner acknowledges the break or cleans up its handle.
 *
 * Synchronisation: one package-wide spin lock guards every record, its pending
 * IRPs and its waiters. It is one lock rather than one per record because a cancel
 * routine must find out, under a lock that outlives the record, whether its IRP is
 * still held by a record at all (DriverContext[0] names the record while it is).
 * IRPs are completed and completion routines called only after the lock is dropped.
 */
#include "base/spin.h"
#include "ke/dispatcher.h"

#include <km/fsrtl.h>
#include <km/pool.h>

#include <cstring>

namespace {

constexpr ULONG kOplockTag = POOL_TAG('F', 's', 'O', 'p');
constexpr ULONG kOplockWaiterTag = POOL_TAG('F', 's', 'O', 'w');
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
};

base::SpinLock gOplockLock;

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

/* The oplock held on a stream and whether a break is under way, read under the lock. */
Held HeldOn(POPLOCK oplock, Breaking *breaking)
{
    OPLOCK_RECORD *record = RecordOf(oplock);
    CheckRecord(record);
    Held kind = Held::None;
    Breaking state = Breaking::No;
    if (record != nullptr) {
        base::SpinGuard guard(gOplockLock);
        kind = record->Kind;
        state = record->Break;
    }
    if (breaking != nullptr)
        *breaking = state;
    return kind;
}

/*
 * Detaches a held IRP from the record and queues it for completion with the given
 * result. Lock held. When the IRP's cancel routine has already started, it owns the
 * completion: the IRP is only detached, and the cancel routine completes it.
 */
void DetachIrp(PIRP irp, NTSTATUS status, ULONG_PTR information, Completions &out)
{
    irp->Tail.Overlay.DriverContext[0] = nullptr;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr)
        return;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    InsertTailList(&out.irps, &irp->Tail.Overlay.ListEntry);
}

/* Lock held. Hands every blocked operation and break-notify IRP on to be released. */
void ReleaseWaiters(OPLOCK_RECORD *record, Completions &out)
{
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
        base::SpinGuard guard(gOplockLock);
        auto *record = static_cast<OPLOCK_RECORD *>(Irp->Tail.Overlay.DriverContext[0]);
        waiter = static_cast<OPLOCK_WAITER *>(Irp->Tail.Overlay.DriverContext[1]);
        if (record != nullptr) {
            Irp->Tail.Overlay.DriverContext[0] = nullptr;
            Irp->Tail.Overlay.DriverContext[1] = nullptr;
            if (waiter != nullptr) {
                RemoveEntryList(&waiter->Links);
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
    // Requests on one stream arrive under the file system's node lock, so two
    // threads never race to create the record.
    *oplock = record;
    return record;
}

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
        base::SpinGuard guard(gOplockLock);
        bool grant = shared ? (record->Kind == Held::None || record->Kind == Held::Level2)
                            : record->Kind == Held::None;
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
        base::SpinGuard guard(gOplockLock);
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
        base::SpinGuard guard(gOplockLock);
        if (record != nullptr && record->Break != Breaking::No) {
            if (HoldIrp(record, irp, nullptr, true)) {
                InsertTailList(&record->NotifyIrps, &irp->Tail.Overlay.ListEntry);
                return STATUS_PENDING;
            }
            return CompleteNow(irp, STATUS_CANCELLED);
        }
    }
    return CompleteNow(irp, STATUS_SUCCESS);
}

NTSTATUS OplockFsctrl(POPLOCK oplock, PIRP irp, ULONG openCount)
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
    {
        base::SpinGuard guard(gOplockLock);
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
                    if (completion != nullptr && post != nullptr)
                        post(context, irp);
                    if (irp != nullptr && !HoldIrp(record, irp, waiter, completion != nullptr)) {
                        status = STATUS_CANCELLED;
                        if (waiter->Pooled)
                            ExFreePoolWithTag(waiter, kOplockWaiterTag);
                        waiter = nullptr;
                    } else {
                        InsertTailList(&record->Waiters, &waiter->Links);
                        status = completion != nullptr ? STATUS_PENDING : STATUS_SUCCESS;
                    }
                }
            }
        }
    }
    FinishCompletions(out);
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
        base::SpinGuard guard(gOplockLock);
        if (IsExclusive(record->Kind) && record->Owner == file)
            EndExclusive(record, out);
        else if (record->Kind == Held::Level2)
            BreakLevel2(record, file, out);
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
    Held kind = HeldOn(oplock, nullptr);
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
            base::SpinGuard guard(gOplockLock);
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
    return OplockFsctrl(Oplock, Irp, OpenCount);
}

NTKERNELAPI NTSTATUS NTAPI FsRtlOplockFsctrlEx(POPLOCK Oplock, PIRP Irp, ULONG OpenCount, ULONG Flags)
{
    ke::CheckIrql((const void *)&FsRtlOplockFsctrlEx, APC_LEVEL);
    (void)Flags; // keys matter only to the Windows 7 kinds
    return OplockFsctrl(Oplock, Irp, OpenCount);
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

/* Fast I/O would bypass the break a level 2 oplock or a break under way needs. */
NTKERNELAPI BOOLEAN NTAPI FsRtlOplockIsFastIoPossible(POPLOCK Oplock)
{
    Breaking breaking;
    Held kind = HeldOn(Oplock, &breaking);
    return kind != Held::Level2 && breaking == Breaking::No;
}

NTKERNELAPI BOOLEAN NTAPI FsRtlCurrentBatchOplock(POPLOCK Oplock)
{
    Held kind = HeldOn(Oplock, nullptr);
    return kind == Held::Batch || kind == Held::Filter;
}

} // extern "C"
