/*
 * Change notification: the notify lists of IRP_MN_NOTIFY_CHANGE_DIRECTORY.
 *
 * A file system keeps one notify list per volume and one synchronisation object for
 * it. Each element of the list is a NOTIFY_WATCH: the watch of one file object on
 * one directory, identified by the file system's FsContext, created by the first
 * request on that file object. The first request fixes the watch's directory name
 * (the caller's STRING, kept by pointer as Windows keeps it: the file system keeps
 * it valid until the watch is cleaned up), its subtree flag, its completion filter
 * and the size of the buffer that holds changes while no request is pending.
 *
 * A report goes to the watch of the changed file's parent directory and to every
 * subtree watch above it, when its FilterMatch meets the watch's filter. A watch
 * with a pending request completes the oldest one with one FILE_NOTIFY_INFORMATION
 * record; a watch without one appends the record to its buffer, which the next
 * request takes whole. A change that does not fit (the request's buffer or the
 * watch's) completes the request with STATUS_NOTIFY_ENUM_DIR and no data: the
 * watcher must enumerate the directory again. Names are Unicode.
 *
 * Synchronisation, in lock order:
 *  1. The notify sync (a fast mutex that its owner may take again) guards the list,
 *     every watch's fields and buffer. Traverse and filter callbacks run under it,
 *     at APC_LEVEL, as on Windows.
 *  2. The package spin lock guards each watch's pending-IRP list and the binding of
 *     an IRP to its watch (DriverContext[0]). It is package-wide because a cancel
 *     routine must find out, under a lock that outlives every watch and every sync,
 *     whether its IRP is still held at all.
 * IRPs are completed only after both are dropped.
 */
#include "base/spin.h"
#include "fsrtl/package_lock.h"
#include "ke/dispatcher.h"

#include <km/fileinfo.h>
#include <km/fsrtl.h>
#include <km/pool.h>
#include <km/se.h>

#include <atomic>
#include <cstring>
#include <new>

struct _REAL_NOTIFY_SYNC {
    CSHORT NodeTypeCode;
    FAST_MUTEX Mutex;
    std::atomic<PKTHREAD> Owner; // written by the owner only; read by others to learn they are not it
    ULONG OwnerCount;            // recursion depth of Owner
};

namespace {

constexpr ULONG kSyncTag = POOL_TAG('F', 's', 'N', 's');
constexpr ULONG kWatchTag = POOL_TAG('F', 's', 'N', 'w');
constexpr ULONG kBufferTag = POOL_TAG('F', 's', 'N', 'b');
constexpr CSHORT kSyncNodeType = 0x0708;
constexpr CSHORT kWatchNodeType = 0x0709;
constexpr ULONG kRecordHeader = FIELD_OFFSET(FILE_NOTIFY_INFORMATION, FileName);

struct NOTIFY_WATCH {
    CSHORT NodeTypeCode;
    LIST_ENTRY Links;                     // in the caller's notify list (sync)
    PVOID FsContext;                      // the watch's identity
    PSTRING Directory;                    // full name of the watched directory, the caller's
    bool WatchTree;
    bool IgnoreBuffer;
    bool DeletePending;                   // the directory is being deleted (sync)
    bool Overflow;                        // buffered changes were lost (sync)
    ULONG Filter;
    PCHECK_FOR_TRAVERSE_ACCESS Traverse;
    PSECURITY_SUBJECT_CONTEXT Subject;    // owned: released and freed with the watch
    PFILTER_REPORT_CHANGE FilterCallback;
    ULONG BufferLength;                   // fixed by the first request
    PUCHAR Buffer;                        // changes between requests (sync)
    ULONG DataLength;                     // bytes of records in Buffer (sync)
    ULONG LastRecord;                     // offset of the last record in Buffer (sync)
    LIST_ENTRY Irps;                      // pending requests (package lock)
};

base::SpinLock gNotifyLock;

/* The package lock, held for a scope. */
class PackageGuard : public fsrtl::PackageGuard {
public:
    PackageGuard() noexcept : fsrtl::PackageGuard(gNotifyLock) {}
};

void CheckSync(PNOTIFY_SYNC sync)
{
    if (sync == nullptr || sync->NodeTypeCode != kSyncNodeType)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x4E53, (ULONG_PTR)sync, 0, 0);
}

/* Holds the notify sync for a scope; the owning thread may take it again. */
class SyncGuard {
public:
    explicit SyncGuard(PNOTIFY_SYNC sync) : sync_(sync)
    {
        CheckSync(sync);
        PKTHREAD self = KeGetCurrentThread();
        if (sync->Owner.load(std::memory_order_relaxed) == self) {
            ++sync->OwnerCount;
            return;
        }
        ExAcquireFastMutex(&sync->Mutex);
        sync->Owner.store(self, std::memory_order_relaxed);
        sync->OwnerCount = 1;
    }
    ~SyncGuard()
    {
        if (--sync_->OwnerCount != 0)
            return;
        sync_->Owner.store(nullptr, std::memory_order_relaxed);
        ExReleaseFastMutex(&sync_->Mutex);
    }
    SyncGuard(const SyncGuard &) = delete;
    SyncGuard &operator=(const SyncGuard &) = delete;

private:
    PNOTIFY_SYNC sync_;
};

/*
 * What waits for every lock to be dropped: IRPs to complete (Tail.Overlay.ListEntry),
 * then watches to free (Links) and a subject context to release, which needs
 * PASSIVE_LEVEL.
 */
struct Completions {
    Completions()
    {
        InitializeListHead(&irps);
        InitializeListHead(&watches);
    }
    ~Completions();
    void Add(PIRP irp, NTSTATUS status, ULONG_PTR information)
    {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        InsertTailList(&irps, &irp->Tail.Overlay.ListEntry);
    }
    Completions(const Completions &) = delete;
    Completions &operator=(const Completions &) = delete;
    LIST_ENTRY irps;
    LIST_ENTRY watches;
    PSECURITY_SUBJECT_CONTEXT subject = nullptr;
};

/*
 * Cancel routine of a pending notify request. Called with the cancel spin lock held,
 * which it drops. A watch that still holds the IRP gives it up; otherwise whoever
 * detached it found this routine started and left the completion to it.
 */
VOID NTAPI CancelNotifyIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    (void)DeviceObject;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    {
        PackageGuard guard;
        if (Irp->Tail.Overlay.DriverContext[0] != nullptr) {
            RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
            Irp->Tail.Overlay.DriverContext[0] = nullptr;
        }
    }
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

/*
 * Sync held. Queues a request on the watch with the cancel routine set. Returns false
 * when it was cancelled already; the caller completes it.
 */
bool HoldIrp(NOTIFY_WATCH *watch, PIRP irp)
{
    PackageGuard guard;
    InsertTailList(&watch->Irps, &irp->Tail.Overlay.ListEntry);
    irp->Tail.Overlay.DriverContext[0] = watch;
    IoSetCancelRoutine(irp, CancelNotifyIrp);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        irp->Tail.Overlay.DriverContext[0] = nullptr;
        return false;
    }
    return true;
}

/*
 * Sync held. Takes the oldest pending request off the watch, or null when none is
 * left. A request whose cancel routine has started is only detached: the routine
 * completes it.
 */
PIRP TakeIrp(NOTIFY_WATCH *watch)
{
    PackageGuard guard;
    while (!IsListEmpty(&watch->Irps)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&watch->Irps), IRP, Tail.Overlay.ListEntry);
        irp->Tail.Overlay.DriverContext[0] = nullptr;
        if (IoSetCancelRoutine(irp, nullptr) != nullptr)
            return irp;
    }
    return nullptr;
}

void DropBuffer(NOTIFY_WATCH *watch)
{
    if (watch->Buffer != nullptr)
        ExFreePoolWithTag(watch->Buffer, kBufferTag);
    watch->Buffer = nullptr;
    watch->DataLength = 0;
    watch->LastRecord = 0;
}

/* Sync held. Completes every pending request of the watch with the status. */
void CompleteAll(NOTIFY_WATCH *watch, NTSTATUS status, Completions &out)
{
    while (PIRP irp = TakeIrp(watch))
        out.Add(irp, status, 0);
}

/* Sync held. Completes the watch's requests and unlinks it; it is freed once the locks are dropped. */
void DeleteWatch(NOTIFY_WATCH *watch, Completions &out)
{
    CompleteAll(watch, STATUS_NOTIFY_CLEANUP, out);
    RemoveEntryList(&watch->Links);
    DropBuffer(watch);
    watch->NodeTypeCode = 0;
    InsertTailList(&out.watches, &watch->Links);
}

void ReleaseSubject(PSECURITY_SUBJECT_CONTEXT subject)
{
    if (subject == nullptr)
        return;
    SeReleaseSubjectContext(subject);
    ExFreePool(subject);
}

Completions::~Completions()
{
    while (!IsListEmpty(&irps)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&irps), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    while (!IsListEmpty(&watches)) {
        auto *watch = CONTAINING_RECORD(RemoveHeadList(&watches), NOTIFY_WATCH, Links);
        ReleaseSubject(watch->Subject);
        ExFreePoolWithTag(watch, kWatchTag);
    }
    ReleaseSubject(subject);
}

NOTIFY_WATCH *FindWatch(PLIST_ENTRY list, PVOID fsContext)
{
    for (PLIST_ENTRY e = list->Flink; e != list; e = e->Flink) {
        auto *watch = CONTAINING_RECORD(e, NOTIFY_WATCH, Links);
        if (watch->NodeTypeCode != kWatchNodeType)
            KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x4E57, (ULONG_PTR)watch, 0, 0);
        if (watch->FsContext == fsContext)
            return watch;
    }
    return nullptr;
}

/* Where a request's records go: the I/O manager's system buffer, its MDL, or the caller's buffer. */
PVOID IrpBuffer(PIRP irp)
{
    if ((irp->Flags & IRP_BUFFERED_IO) && irp->AssociatedIrp.SystemBuffer != nullptr)
        return irp->AssociatedIrp.SystemBuffer;
    if (irp->MdlAddress != nullptr)
        return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    // Neither I/O: the stand-in's user buffers are mapped in every thread of the
    // machine, so a completion from another thread may still write the caller's buffer.
    return irp->UserBuffer;
}

ULONG RequestLength(PIRP irp)
{
    return IoGetCurrentIrpStackLocation(irp)->Parameters.NotifyDirectory.Length;
}

/* A counted run of UTF-16 characters. */
struct Piece {
    const WCHAR *chars;
    ULONG bytes;
};

Piece PieceOf(const STRING *s, ULONG fromByte, ULONG toByte)
{
    return Piece{reinterpret_cast<const WCHAR *>(s->Buffer + fromByte), toByte - fromByte};
}

/* The name a record carries: the path below the watched directory, then ":stream". */
struct RecordName {
    Piece parts[5];
    ULONG count = 0;
    ULONG bytes = 0;
    void Add(Piece piece)
    {
        if (piece.bytes == 0)
            return;
        parts[count++] = piece;
        bytes += piece.bytes;
    }
};

const WCHAR kBackslash = L'\\';
const WCHAR kColon = L':';

bool IsRoot(const STRING *dir) { return dir->Length == sizeof(WCHAR) && dir->Buffer[0] == '\\'; }

WCHAR CharAt(const STRING *s, ULONG byte) { return *reinterpret_cast<const WCHAR *>(s->Buffer + byte); }

/* Length of a directory path as compared: without a trailing backslash, except for the root. */
ULONG PathBytes(const STRING *s, ULONG bytes)
{
    if (bytes > sizeof(WCHAR) && CharAt(s, bytes - sizeof(WCHAR)) == kBackslash)
        bytes -= sizeof(WCHAR);
    return bytes;
}

/* A changed file, as the report describes it. */
struct Target {
    const STRING *full;
    ULONG parentBytes;       // its parent directory's path in `full`
    ULONG finalByte;         // where its final component starts
    const STRING *normalized; // the parent with long names, or null
    const STRING *stream;
};

/*
 * Where the target stands to the watch: true with `direct` when the watched
 * directory is its parent, true without when a subtree watch holds it deeper down.
 */
bool Covers(NOTIFY_WATCH *watch, const Target &t, bool *direct)
{
    const STRING *dir = watch->Directory;
    ULONG dirBytes = PathBytes(dir, dir->Length);
    if (t.parentBytes < dirBytes || memcmp(t.full->Buffer, dir->Buffer, dirBytes) != 0)
        return false;
    *direct = t.parentBytes == dirBytes;
    if (*direct)
        return true;
    if (!watch->WatchTree)
        return false;
    return IsRoot(dir) || CharAt(t.full, dirBytes) == kBackslash;
}

RecordName NameFor(NOTIFY_WATCH *watch, const Target &t, bool direct)
{
    RecordName name;
    if (!direct) {
        ULONG skip = PathBytes(watch->Directory, watch->Directory->Length);
        if (!IsRoot(watch->Directory))
            skip += sizeof(WCHAR);
        const STRING *parent = t.full;
        ULONG parentBytes = t.parentBytes;
        if (t.normalized != nullptr) {
            ULONG normalizedBytes = PathBytes(t.normalized, t.normalized->Length);
            if (normalizedBytes > skip) {
                parent = t.normalized;
                parentBytes = normalizedBytes;
            }
        }
        name.Add(PieceOf(parent, skip, parentBytes));
        name.Add(Piece{&kBackslash, sizeof(WCHAR)});
    }
    name.Add(PieceOf(t.full, t.finalByte, t.full->Length));
    if (t.stream != nullptr && t.stream->Length != 0) {
        name.Add(Piece{&kColon, sizeof(WCHAR)});
        name.Add(PieceOf(t.stream, 0, t.stream->Length));
    }
    return name;
}

ULONG RecordBytes(const RecordName &name) { return kRecordHeader + name.bytes; }

void WriteRecord(PUCHAR at, ULONG action, const RecordName &name)
{
    FILE_NOTIFY_INFORMATION header{};
    header.Action = action;
    header.FileNameLength = name.bytes;
    memcpy(at, &header, kRecordHeader);
    PUCHAR chars = at + kRecordHeader;
    for (ULONG i = 0; i < name.count; ++i) {
        memcpy(chars, name.parts[i].chars, name.parts[i].bytes);
        chars += name.parts[i].bytes;
    }
}

/*
 * Sync held. Keeps a record in the watch's buffer until the next request, records
 * aligned on four bytes and chained by NextEntryOffset. When it does not fit, the
 * buffered records are dropped and the next request learns that changes were lost.
 */
void BufferRecord(NOTIFY_WATCH *watch, ULONG action, const RecordName &name)
{
    if (watch->Overflow)
        return;
    ULONG start = watch->DataLength == 0 ? 0 : (watch->DataLength + 3) & ~3u;
    ULONG bytes = RecordBytes(name);
    if (watch->IgnoreBuffer || watch->BufferLength == 0 || start + bytes > watch->BufferLength) {
        DropBuffer(watch);
        watch->Overflow = true;
        return;
    }
    if (watch->Buffer == nullptr) {
        watch->Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, watch->BufferLength, kBufferTag));
        if (watch->Buffer == nullptr) {
            watch->Overflow = true;
            return;
        }
    }
    if (watch->DataLength != 0) {
        ULONG next = start - watch->LastRecord;
        memcpy(watch->Buffer + watch->LastRecord + FIELD_OFFSET(FILE_NOTIFY_INFORMATION, NextEntryOffset), &next,
               sizeof(next));
    }
    memset(watch->Buffer + watch->DataLength, 0, start - watch->DataLength);
    WriteRecord(watch->Buffer + start, action, name);
    watch->LastRecord = start;
    watch->DataLength = start + bytes;
}

/* Sync held. Answers a new request from what the watch buffered, when it has anything. */
bool AnswerFromBuffer(NOTIFY_WATCH *watch, PIRP irp, Completions &out)
{
    if (watch->DeletePending) {
        out.Add(irp, STATUS_DELETE_PENDING, 0);
        return true;
    }
    if (watch->Overflow) {
        watch->Overflow = false;
        out.Add(irp, STATUS_NOTIFY_ENUM_DIR, 0);
        return true;
    }
    if (watch->DataLength == 0)
        return false;
    PVOID to = RequestLength(irp) >= watch->DataLength ? IrpBuffer(irp) : nullptr;
    if (to != nullptr) {
        memcpy(to, watch->Buffer, watch->DataLength);
        out.Add(irp, STATUS_SUCCESS, watch->DataLength);
    } else {
        out.Add(irp, STATUS_NOTIFY_ENUM_DIR, 0);
    }
    DropBuffer(watch);
    return true;
}

/* Sync held. Gives one change to a watch: to its oldest request, or to its buffer. */
void Deliver(NOTIFY_WATCH *watch, ULONG action, const RecordName &name, Completions &out)
{
    PIRP irp = TakeIrp(watch);
    if (irp == nullptr) {
        BufferRecord(watch, action, name);
        return;
    }
    PVOID to = nullptr;
    if (!watch->IgnoreBuffer && RecordBytes(name) <= RequestLength(irp))
        to = IrpBuffer(irp);
    if (to == nullptr) {
        out.Add(irp, STATUS_NOTIFY_ENUM_DIR, 0);
        return;
    }
    WriteRecord(static_cast<PUCHAR>(to), action, name);
    out.Add(irp, STATUS_SUCCESS, RecordBytes(name));
}

bool ValidName(const STRING *s)
{
    return s == nullptr || ((s->Length & 1) == 0 && (s->Length == 0 || s->Buffer != nullptr));
}

} // namespace

extern "C" {

NTKERNELAPI VOID NTAPI FsRtlNotifyInitializeSync(PNOTIFY_SYNC *NotifySync)
{
    ke::CheckIrql((const void *)&FsRtlNotifyInitializeSync, APC_LEVEL);
    *NotifySync = nullptr;
    auto *sync = static_cast<PNOTIFY_SYNC>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_REAL_NOTIFY_SYNC), kSyncTag));
    if (sync == nullptr)
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    sync->NodeTypeCode = kSyncNodeType;
    ExInitializeFastMutex(&sync->Mutex);
    new (&sync->Owner) std::atomic<PKTHREAD>(nullptr);
    sync->OwnerCount = 0;
    *NotifySync = sync;
}

NTKERNELAPI VOID NTAPI FsRtlNotifyUninitializeSync(PNOTIFY_SYNC *NotifySync)
{
    ke::CheckIrql((const void *)&FsRtlNotifyUninitializeSync, APC_LEVEL);
    PNOTIFY_SYNC sync = *NotifySync;
    if (sync == nullptr)
        return;
    CheckSync(sync);
    if (sync->Owner.load(std::memory_order_relaxed) != nullptr)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, 0x4E55, (ULONG_PTR)sync, 0, 0);
    sync->NodeTypeCode = 0;
    ExFreePoolWithTag(sync, kSyncTag);
    *NotifySync = nullptr;
}

/*
 * Queues a notify request on the file object's watch, creating the watch on its
 * first request. The IRP is marked pending and the caller returns STATUS_PENDING:
 * a request for which changes are buffered already completes before this returns.
 * Without an IRP, the call says that the directory of FsContext's watch is being
 * deleted: its requests, now and later, complete with STATUS_DELETE_PENDING.
 * The package owns SubjectContext from here on.
 */
NTKERNELAPI VOID NTAPI FsRtlNotifyFilterChangeDirectory(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
                                                        PVOID FsContext, PSTRING FullDirectoryName,
                                                        BOOLEAN WatchTree, BOOLEAN IgnoreBuffer,
                                                        ULONG CompletionFilter, PIRP NotifyIrp,
                                                        PCHECK_FOR_TRAVERSE_ACCESS TraverseCallback,
                                                        PSECURITY_SUBJECT_CONTEXT SubjectContext,
                                                        PFILTER_REPORT_CHANGE FilterCallback)
{
    ke::CheckIrql((const void *)&FsRtlNotifyFilterChangeDirectory, APC_LEVEL);
    Completions out;
    SyncGuard sync(NotifySync);
    NOTIFY_WATCH *watch = FindWatch(NotifyList, FsContext);
    if (NotifyIrp == nullptr) {
        if (watch != nullptr) {
            watch->DeletePending = true;
            DropBuffer(watch);
            CompleteAll(watch, STATUS_DELETE_PENDING, out);
        }
        out.subject = SubjectContext;
        return;
    }
    IoMarkIrpPending(NotifyIrp);
    // A request that reaches the file system after its handle's cleanup would
    // create a watch nobody ever cleans up.
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(NotifyIrp)->FileObject;
    if (file != nullptr && (file->Flags & FO_CLEANUP_COMPLETE)) {
        out.Add(NotifyIrp, STATUS_NOTIFY_CLEANUP, 0);
        out.subject = SubjectContext;
        return;
    }
    if (watch == nullptr) {
        if (FullDirectoryName == nullptr || !ValidName(FullDirectoryName) || FullDirectoryName->Length == 0) {
            out.Add(NotifyIrp, STATUS_INVALID_PARAMETER, 0);
        } else {
            watch = static_cast<NOTIFY_WATCH *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(NOTIFY_WATCH), kWatchTag));
            if (watch == nullptr)
                out.Add(NotifyIrp, STATUS_INSUFFICIENT_RESOURCES, 0);
        }
        if (watch == nullptr) {
            out.subject = SubjectContext;
            return;
        }
        memset(watch, 0, sizeof(*watch));
        watch->NodeTypeCode = kWatchNodeType;
        watch->FsContext = FsContext;
        watch->Directory = FullDirectoryName;
        watch->WatchTree = WatchTree != FALSE;
        watch->IgnoreBuffer = IgnoreBuffer != FALSE;
        watch->Filter = CompletionFilter;
        watch->Traverse = TraverseCallback;
        watch->Subject = SubjectContext;
        watch->FilterCallback = FilterCallback;
        watch->BufferLength = IgnoreBuffer ? 0 : RequestLength(NotifyIrp);
        InitializeListHead(&watch->Irps);
        InsertTailList(NotifyList, &watch->Links);
    } else if (SubjectContext != nullptr) {
        out.subject = SubjectContext; // the watch keeps the subject of its first request
    }
    if (AnswerFromBuffer(watch, NotifyIrp, out))
        return;
    if (!HoldIrp(watch, NotifyIrp))
        out.Add(NotifyIrp, STATUS_CANCELLED, 0);
}

NTKERNELAPI VOID NTAPI FsRtlNotifyFullChangeDirectory(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
                                                      PVOID FsContext, PSTRING FullDirectoryName, BOOLEAN WatchTree,
                                                      BOOLEAN IgnoreBuffer, ULONG CompletionFilter, PIRP NotifyIrp,
                                                      PCHECK_FOR_TRAVERSE_ACCESS TraverseCallback,
                                                      PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    FsRtlNotifyFilterChangeDirectory(NotifySync, NotifyList, FsContext, FullDirectoryName, WatchTree, IgnoreBuffer,
                                     CompletionFilter, NotifyIrp, TraverseCallback, SubjectContext, nullptr);
}

/*
 * Reports a change of FullTargetName (its final component at TargetNameOffset) to
 * every watch that covers it and whose filter meets FilterMatch. A subtree watch
 * deeper than the parent asks its traverse callback first; a watch with a filter
 * callback asks it last. A malformed name changes nothing.
 */
NTKERNELAPI VOID NTAPI FsRtlNotifyFilterReportChange(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
                                                     PSTRING FullTargetName, USHORT TargetNameOffset,
                                                     PSTRING StreamName, PSTRING NormalizedParentName,
                                                     ULONG FilterMatch, ULONG Action, PVOID TargetContext,
                                                     PVOID FilterContext)
{
    ke::CheckIrql((const void *)&FsRtlNotifyFilterReportChange, APC_LEVEL);
    if (FullTargetName == nullptr || !ValidName(FullTargetName) || !ValidName(StreamName) ||
        !ValidName(NormalizedParentName) || (TargetNameOffset & 1) || TargetNameOffset < sizeof(WCHAR) ||
        TargetNameOffset >= FullTargetName->Length)
        return;
    Target target{FullTargetName, PathBytes(FullTargetName, TargetNameOffset), TargetNameOffset, NormalizedParentName,
                  StreamName};
    Completions out;
    SyncGuard sync(NotifySync);
    for (PLIST_ENTRY e = NotifyList->Flink; e != NotifyList; e = e->Flink) {
        auto *watch = CONTAINING_RECORD(e, NOTIFY_WATCH, Links);
        bool direct = false;
        if (watch->DeletePending || (watch->Filter & FilterMatch) == 0 || !Covers(watch, target, &direct))
            continue;
        if (!direct && watch->Traverse != nullptr && !watch->Traverse(watch->FsContext, TargetContext, watch->Subject))
            continue;
        if (watch->FilterCallback != nullptr && !watch->FilterCallback(watch->FsContext, FilterContext))
            continue;
        Deliver(watch, Action, NameFor(watch, target, direct), out);
    }
}

NTKERNELAPI VOID NTAPI FsRtlNotifyFullReportChange(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList,
                                                   PSTRING FullTargetName, USHORT TargetNameOffset,
                                                   PSTRING StreamName, PSTRING NormalizedParentName,
                                                   ULONG FilterMatch, ULONG Action, PVOID TargetContext)
{
    FsRtlNotifyFilterReportChange(NotifySync, NotifyList, FullTargetName, TargetNameOffset, StreamName,
                                  NormalizedParentName, FilterMatch, Action, TargetContext, nullptr);
}

/* The last handle of FsContext's file object is gone: its requests complete with STATUS_NOTIFY_CLEANUP. */
NTKERNELAPI VOID NTAPI FsRtlNotifyCleanup(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList, PVOID FsContext)
{
    ke::CheckIrql((const void *)&FsRtlNotifyCleanup, APC_LEVEL);
    Completions out;
    SyncGuard sync(NotifySync);
    if (NOTIFY_WATCH *watch = FindWatch(NotifyList, FsContext))
        DeleteWatch(watch, out);
}

/* The volume goes away: every watch on the list is completed and freed. */
NTKERNELAPI VOID NTAPI FsRtlNotifyCleanupAll(PNOTIFY_SYNC NotifySync, PLIST_ENTRY NotifyList)
{
    ke::CheckIrql((const void *)&FsRtlNotifyCleanupAll, APC_LEVEL);
    Completions out;
    SyncGuard sync(NotifySync);
    while (!IsListEmpty(NotifyList))
        DeleteWatch(CONTAINING_RECORD(NotifyList->Flink, NOTIFY_WATCH, Links), out);
}

} // extern "C"
