/*
 * Change notification: notify requests as a file system hands them to the package,
 * reports of changes, and the ways a pending request ends (cancel, cleanup, a
 * volume going away, its directory deleted).
 */
#include "machine_test.h"
#include "system_threads.h"

#include <ntifs.h>

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using NotifyTest = MachineTest;

/* A counted Unicode name for the package's STRING parameters; ASCII text only. */
class Name {
public:
    explicit Name(const char *text)
    {
        for (const char *c = text; *c; ++c)
            chars_.push_back(static_cast<char16_t>(*c));
        string.Length = string.MaximumLength = static_cast<USHORT>(chars_.size() * sizeof(char16_t));
        string.Buffer = reinterpret_cast<PCHAR>(chars_.data());
    }
    Name(const Name &) = delete;
    Name &operator=(const Name &) = delete;
    /* Byte offset of the final component. */
    USHORT FinalOffset() const
    {
        size_t slash = chars_.size();
        while (slash > 0 && chars_[slash - 1] != u'\\')
            --slash;
        return static_cast<USHORT>(slash * sizeof(char16_t));
    }
    STRING string{};

private:
    std::u16string chars_;
};

struct Change {
    ULONG action;
    std::string name;
    bool operator==(const Change &o) const { return action == o.action && name == o.name; }
};

std::ostream &operator<<(std::ostream &os, const Change &c) { return os << c.action << ":" << c.name; }

/* A notify request as the I/O manager builds it (neither I/O), kept after completion. */
class NotifyIrp {
public:
    explicit NotifyIrp(ULONG length, ULONG filter = FILE_NOTIFY_VALID_MASK) : buffer_(length + 1, 0xCC)
    {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        irp = IoAllocateIrp(2, FALSE);
        irp->Tail.Overlay.Thread = KeGetCurrentThread();
        irp->UserBuffer = buffer_.data();
        IoSetCompletionRoutine(irp, OnComplete, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DIRECTORY_CONTROL;
        stack->MinorFunction = IRP_MN_NOTIFY_CHANGE_DIRECTORY;
        stack->Parameters.NotifyDirectory.Length = length;
        stack->Parameters.NotifyDirectory.CompletionFilter = filter;
    }
    ~NotifyIrp()
    {
        // A request still queued would be freed under the package's feet.
        EXPECT_TRUE(completed) << "request left pending";
        if (!completed)
            IoCancelIrp(irp);
        IoFreeIrp(irp);
    }
    NotifyIrp(const NotifyIrp &) = delete;
    NotifyIrp &operator=(const NotifyIrp &) = delete;

    void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }

    /* The records the request returned, checked for chaining, alignment and bounds. */
    std::vector<Change> Changes() const
    {
        std::vector<Change> out;
        ULONG at = 0;
        for (;;) {
            EXPECT_EQ(at % 4, 0u);
            EXPECT_LE(at + 12, information);
            if (at % 4 != 0 || at + 12 > information)
                break;
            FILE_NOTIFY_INFORMATION record;
            memcpy(&record, buffer_.data() + at, 12);
            EXPECT_LE(at + 12 + record.FileNameLength, information);
            std::string name;
            for (ULONG i = 0; i < record.FileNameLength; i += 2)
                name.push_back(static_cast<char>(buffer_[at + 12 + i]));
            out.push_back(Change{record.Action, name});
            if (record.NextEntryOffset == 0)
                break;
            at += record.NextEntryOffset;
        }
        EXPECT_EQ(buffer_.back(), 0xCC) << "wrote past the request's buffer";
        return out;
    }

    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    PIRP irp;
    KEVENT done;

private:
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<NotifyIrp *>(context);
        EXPECT_FALSE(self->completed) << "completed twice";
        EXPECT_TRUE(irp->PendingReturned);
        self->status = irp->IoStatus.Status;
        self->information = irp->IoStatus.Information;
        self->completed = true;
        KeSetEvent(&self->done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    std::vector<UCHAR> buffer_;
};

/* A volume's notify list and its sync, as a file system keeps them. */
class Volume {
public:
    Volume()
    {
        FsRtlNotifyInitializeSync(&sync);
        InitializeListHead(&list);
    }
    ~Volume()
    {
        FsRtlNotifyCleanupAll(sync, &list);
        EXPECT_TRUE(IsListEmpty(&list));
        FsRtlNotifyUninitializeSync(&sync);
        EXPECT_EQ(sync, nullptr);
    }
    Volume(const Volume &) = delete;
    Volume &operator=(const Volume &) = delete;

    void Watch(PVOID fsContext, Name &dir, bool tree, NotifyIrp &request, ULONG filter = FILE_NOTIFY_VALID_MASK)
    {
        FsRtlNotifyFullChangeDirectory(sync, &list, fsContext, &dir.string, tree, FALSE, filter, request.irp, nullptr,
                                       nullptr);
    }
    void Report(const char *path, ULONG match, ULONG action, const char *stream = nullptr)
    {
        Name target(path);
        Name streamName(stream != nullptr ? stream : "");
        FsRtlNotifyFullReportChange(sync, &list, &target.string, target.FinalOffset(),
                                    stream != nullptr ? &streamName.string : nullptr, nullptr, match, action, nullptr);
    }

    PNOTIFY_SYNC sync = nullptr;
    LIST_ENTRY list;
};

int gContexts[8];
PVOID Ctx(int i) { return &gContexts[i]; }

TEST_F(NotifyTest, AReportReachesItsParentsWatchAndEverySubtreeWatchAboveWithNamesRelativeToEach)
{
    Volume volume;
    Name root("\\"), a("\\a"), ab("\\a\\b"), abc("\\a\\b\\c");
    NotifyIrp rootTree(256), aTree(256), aOnly(256), abOnly(256), abcOnly(256);
    volume.Watch(Ctx(0), root, true, rootTree);
    volume.Watch(Ctx(1), a, true, aTree);
    volume.Watch(Ctx(2), a, false, aOnly);
    volume.Watch(Ctx(3), ab, false, abOnly);
    volume.Watch(Ctx(4), abc, false, abcOnly);
    for (NotifyIrp *r : {&rootTree, &aTree, &aOnly, &abOnly, &abcOnly})
        EXPECT_FALSE(r->completed);

    volume.Report("\\a\\b\\f.txt", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
    EXPECT_EQ(rootTree.status, STATUS_SUCCESS);
    EXPECT_EQ(rootTree.Changes(), (std::vector<Change>{{FILE_ACTION_ADDED, "a\\b\\f.txt"}}));
    EXPECT_EQ(aTree.Changes(), (std::vector<Change>{{FILE_ACTION_ADDED, "b\\f.txt"}}));
    EXPECT_EQ(abOnly.Changes(), (std::vector<Change>{{FILE_ACTION_ADDED, "f.txt"}}));
    EXPECT_EQ(abOnly.information, 12u + 10u);
    EXPECT_FALSE(aOnly.completed) << "a plain watch sees only its own entries";
    EXPECT_FALSE(abcOnly.completed) << "a watch on the target's child is not its parent";

    // A sibling whose name starts with the watched one is not below it.
    NotifyIrp aTree2(256);
    volume.Watch(Ctx(1), a, true, aTree2);
    volume.Report("\\ab\\x", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_REMOVED);
    EXPECT_FALSE(aTree2.completed);
    // A stream change carries "name:stream"; the direct watch gets it too.
    volume.Report("\\a\\g", FILE_NOTIFY_CHANGE_STREAM_WRITE, FILE_ACTION_MODIFIED_STREAM, "s1");
    EXPECT_EQ(aTree2.Changes(), (std::vector<Change>{{FILE_ACTION_MODIFIED_STREAM, "g:s1"}}));
    EXPECT_EQ(aOnly.Changes(), (std::vector<Change>{{FILE_ACTION_MODIFIED_STREAM, "g:s1"}}));
    EXPECT_FALSE(abcOnly.completed);
    FsRtlNotifyCleanupAll(volume.sync, &volume.list);
    EXPECT_EQ(abcOnly.status, STATUS_NOTIFY_CLEANUP);
}

TEST_F(NotifyTest, OnlyChangesMeetingTheWatchsFilterAreReported)
{
    Volume volume;
    Name dir("\\d");
    NotifyIrp sizeOnly(128, FILE_NOTIFY_CHANGE_SIZE), names(128, FILE_NOTIFY_CHANGE_FILE_NAME);
    volume.Watch(Ctx(0), dir, false, sizeOnly, FILE_NOTIFY_CHANGE_SIZE);
    volume.Watch(Ctx(1), dir, false, names, FILE_NOTIFY_CHANGE_FILE_NAME);
    volume.Report("\\d\\f", FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_ATTRIBUTES, FILE_ACTION_MODIFIED);
    volume.Report("\\d\\f", FILE_NOTIFY_CHANGE_DIR_NAME, FILE_ACTION_ADDED);
    EXPECT_FALSE(sizeOnly.completed);
    EXPECT_FALSE(names.completed);
    volume.Report("\\d\\f", FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE, FILE_ACTION_MODIFIED);
    EXPECT_EQ(sizeOnly.Changes(), (std::vector<Change>{{FILE_ACTION_MODIFIED, "f"}}));
    EXPECT_FALSE(names.completed);
    volume.Report("\\d\\f", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_REMOVED);
    EXPECT_EQ(names.Changes(), (std::vector<Change>{{FILE_ACTION_REMOVED, "f"}}));

    // A malformed report changes nothing.
    NotifyIrp next(128, FILE_NOTIFY_CHANGE_FILE_NAME);
    volume.Watch(Ctx(1), dir, false, next, FILE_NOTIFY_CHANGE_FILE_NAME);
    Name target("\\d\\f");
    for (USHORT offset : {USHORT(0), USHORT(3), USHORT(8), USHORT(40)})
        FsRtlNotifyFullReportChange(volume.sync, &volume.list, &target.string, offset, nullptr, nullptr,
                                    FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED, nullptr);
    EXPECT_FALSE(next.completed);
    FsRtlNotifyCleanup(volume.sync, &volume.list, Ctx(1));
    EXPECT_EQ(next.status, STATUS_NOTIFY_CLEANUP);
}

TEST_F(NotifyTest, ChangesBetweenRequestsAreBufferedInOrderAndTheFirstRequestFixesTheBuffer)
{
    Volume volume;
    Name dir("\\d"), sub("\\d\\s");
    NotifyIrp first(64);
    volume.Watch(Ctx(0), dir, true, first);
    volume.Report("\\d\\one", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
    EXPECT_EQ(first.Changes(), (std::vector<Change>{{FILE_ACTION_ADDED, "one"}}));

    // No request pending: a rename's two halves wait, in order, for the next one.
    volume.Report("\\d\\s\\old", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_RENAMED_OLD_NAME);
    volume.Report("\\d\\s\\newer", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_RENAMED_NEW_NAME);
    NotifyIrp second(4096);
    volume.Watch(Ctx(0), dir, true, second);
    ASSERT_TRUE(second.completed) << "buffered changes answer the request at once";
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(second.Changes(), (std::vector<Change>{{FILE_ACTION_RENAMED_OLD_NAME, "s\\old"},
                                                    {FILE_ACTION_RENAMED_NEW_NAME, "s\\newer"}}));
    EXPECT_EQ(second.information, 12u + 10u + 2u + 12u + 14u) << "records padded to four bytes, the last one not";

    // The buffer stays the first request's size (64): a third change overflows it,
    // although the next request is large.
    volume.Report("\\d\\aaaaaaaaaa", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED); // 32 bytes
    volume.Report("\\d\\bbbbbbbbbb", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED); // 64 in all: fits
    NotifyIrp third(4096);
    volume.Watch(Ctx(0), dir, true, third);
    EXPECT_EQ(third.Changes().size(), 2u);
    for (int i = 0; i < 3; i++)
        volume.Report("\\d\\aaaaaaaaaa", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
    NotifyIrp fourth(4096);
    volume.Watch(Ctx(0), dir, true, fourth);
    EXPECT_EQ(fourth.status, STATUS_NOTIFY_ENUM_DIR);
    EXPECT_EQ(fourth.information, 0u);
    // After the overflow is reported the watch starts afresh.
    NotifyIrp fifth(4096);
    volume.Watch(Ctx(0), dir, true, fifth);
    EXPECT_FALSE(fifth.completed);
    volume.Report("\\d\\z", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_REMOVED);
    EXPECT_EQ(fifth.Changes(), (std::vector<Change>{{FILE_ACTION_REMOVED, "z"}}));
    (void)sub;
}

TEST_F(NotifyTest, ARequestTooSmallForItsChangesCompletesWithEnumDirAndNoData)
{
    Volume volume;
    Name dir("\\d");
    NotifyIrp small(20);
    volume.Watch(Ctx(0), dir, false, small);
    volume.Report("\\d\\long-name", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
    EXPECT_EQ(small.status, STATUS_NOTIFY_ENUM_DIR);
    EXPECT_EQ(small.information, 0u);

    // Buffered changes larger than the next request: the same answer, and they are gone.
    volume.Report("\\d\\x", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
    NotifyIrp tiny(8);
    volume.Watch(Ctx(0), dir, false, tiny);
    EXPECT_EQ(tiny.status, STATUS_NOTIFY_ENUM_DIR);
    NotifyIrp after(20);
    volume.Watch(Ctx(0), dir, false, after);
    EXPECT_FALSE(after.completed);

    // A request without a buffer learns of any change only that there was one.
    NotifyIrp none(0);
    volume.Watch(Ctx(1), dir, false, none);
    volume.Report("\\d\\x", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_REMOVED);
    EXPECT_EQ(none.status, STATUS_NOTIFY_ENUM_DIR);
    EXPECT_EQ(after.Changes(), (std::vector<Change>{{FILE_ACTION_REMOVED, "x"}}));
}

TEST_F(NotifyTest, CancelCleanupDeleteAndVolumeTeardownEndPendingRequests)
{
    Volume volume;
    Name dir("\\d"), other("\\e");
    NotifyIrp cancelled(64), kept(64), elsewhere(64);
    volume.Watch(Ctx(0), dir, false, cancelled);
    volume.Watch(Ctx(0), dir, false, kept);
    EXPECT_TRUE(IoCancelIrp(cancelled.irp));
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    // The watch lives on: the next change goes to the request still pending.
    volume.Report("\\d\\f", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
    EXPECT_EQ(kept.Changes(), (std::vector<Change>{{FILE_ACTION_ADDED, "f"}}));

    // A request already cancelled when it arrives is not queued.
    NotifyIrp early(64);
    early.irp->Cancel = TRUE;
    volume.Watch(Ctx(0), dir, false, early);
    EXPECT_EQ(early.status, STATUS_CANCELLED);

    // A request that arrives after its file object's cleanup creates no watch.
    FILE_OBJECT cleanedUp{};
    cleanedUp.Flags = FO_CLEANUP_COMPLETE;
    NotifyIrp late(64);
    IoGetCurrentIrpStackLocation(late.irp)->FileObject = &cleanedUp;
    volume.Watch(Ctx(5), dir, false, late);
    EXPECT_EQ(late.status, STATUS_NOTIFY_CLEANUP);

    // Cleanup ends the file object's requests only, and its watch: later reports do not touch it.
    NotifyIrp two(64), three(64);
    volume.Watch(Ctx(0), dir, false, two);
    volume.Watch(Ctx(0), dir, false, three);
    volume.Watch(Ctx(1), other, false, elsewhere);
    FsRtlNotifyCleanup(volume.sync, &volume.list, Ctx(0));
    EXPECT_EQ(two.status, STATUS_NOTIFY_CLEANUP);
    EXPECT_EQ(three.status, STATUS_NOTIFY_CLEANUP);
    EXPECT_FALSE(elsewhere.completed);
    volume.Report("\\d\\g", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
    FsRtlNotifyCleanup(volume.sync, &volume.list, Ctx(0)); // nothing left: no effect

    // The watched directory is deleted: pending and later requests say so.
    NotifyIrp later(64);
    FsRtlNotifyFullChangeDirectory(volume.sync, &volume.list, Ctx(1), nullptr, FALSE, FALSE, 0, nullptr, nullptr,
                                   nullptr);
    EXPECT_EQ(elsewhere.status, STATUS_DELETE_PENDING);
    volume.Watch(Ctx(1), other, false, later);
    EXPECT_EQ(later.status, STATUS_DELETE_PENDING);

    // The volume goes away with requests pending on several watches.
    NotifyIrp x(64), y(64);
    volume.Watch(Ctx(2), dir, true, x);
    volume.Watch(Ctx(3), other, false, y);
    FsRtlNotifyCleanupAll(volume.sync, &volume.list);
    EXPECT_EQ(x.status, STATUS_NOTIFY_CLEANUP);
    EXPECT_EQ(y.status, STATUS_NOTIFY_CLEANUP);
    EXPECT_TRUE(IsListEmpty(&volume.list));
}

TEST_F(NotifyTest, PoolExhaustionFailsTheRequestOrLosesTheBufferedChangesCleanly)
{
    Name dir("\\d");
    {
        // No watch without pool: the request fails and nothing is left on the list.
        Volume volume;
        machine::ArmPoolFault(1, POOL_TAG('F', 's', 'N', 'w'));
        NotifyIrp refused(64);
        volume.Watch(Ctx(0), dir, false, refused);
        machine::DisarmFaults();
        EXPECT_EQ(refused.status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(IsListEmpty(&volume.list));
    }
    {
        // No buffer for a change between requests: the next request learns it was lost.
        Volume volume;
        NotifyIrp first(64);
        volume.Watch(Ctx(0), dir, false, first);
        volume.Report("\\d\\a", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
        machine::ArmPoolFault(1, POOL_TAG('F', 's', 'N', 'b'));
        volume.Report("\\d\\b", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
        volume.Report("\\d\\c", FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED);
        EXPECT_EQ(machine::FaultsInjected("ExAllocatePoolWithTag"), 1u);
        machine::DisarmFaults();
        NotifyIrp second(64);
        volume.Watch(Ctx(0), dir, false, second);
        EXPECT_EQ(second.status, STATUS_NOTIFY_ENUM_DIR) << "a later change must not hide the lost one";
        EXPECT_EQ(second.information, 0u);
    }
}

struct CallbackLog {
    std::vector<std::pair<PVOID, PVOID>> traverse, filter;
    PSECURITY_SUBJECT_CONTEXT subject = nullptr;
    bool allowTraverse = false, allowFilter = false;
} gLog;

BOOLEAN NTAPI Traverse(PVOID notifyContext, PVOID targetContext, PSECURITY_SUBJECT_CONTEXT subject)
{
    gLog.traverse.emplace_back(notifyContext, targetContext);
    EXPECT_EQ(subject, gLog.subject);
    return gLog.allowTraverse;
}

BOOLEAN NTAPI Filter(PVOID notifyContext, PVOID filterContext)
{
    gLog.filter.emplace_back(notifyContext, filterContext);
    return gLog.allowFilter;
}

TEST_F(NotifyTest, TraverseCallbackGuardsDeeperChangesAndFilterCallbackGuardsEveryOne)
{
    gLog = CallbackLog{};
    Volume volume;
    Name dir("\\d");
    auto *subject = static_cast<PSECURITY_SUBJECT_CONTEXT>(
        ExAllocatePoolWithTag(PagedPool, sizeof(SECURITY_SUBJECT_CONTEXT), 0x744E7354));
    SeCaptureSubjectContext(subject);
    gLog.subject = subject;
    NotifyIrp request(128);
    FsRtlNotifyFilterChangeDirectory(volume.sync, &volume.list, Ctx(0), &dir.string, TRUE, FALSE,
                                     FILE_NOTIFY_CHANGE_FILE_NAME, request.irp, Traverse, subject, Filter);
    int target = 0, filter = 0;
    Name deep("\\d\\s\\f"), direct("\\d\\f");
    auto report = [&](Name &n) {
        FsRtlNotifyFilterReportChange(volume.sync, &volume.list, &n.string, n.FinalOffset(), nullptr, nullptr,
                                      FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED, &target, &filter);
    };
    report(deep);
    EXPECT_EQ(gLog.traverse.size(), 1u);
    EXPECT_EQ(gLog.traverse[0], std::make_pair(Ctx(0), (PVOID)&target));
    EXPECT_TRUE(gLog.filter.empty()) << "a change the watcher may not see is not filtered";
    gLog.allowTraverse = true;
    report(deep);
    report(direct);
    EXPECT_EQ(gLog.traverse.size(), 2u) << "a change in the watched directory needs no traverse check";
    EXPECT_EQ(gLog.filter.size(), 2u);
    EXPECT_EQ(gLog.filter[1], std::make_pair(Ctx(0), (PVOID)&filter));
    EXPECT_FALSE(request.completed);
    gLog.allowFilter = true;
    report(direct);
    EXPECT_EQ(request.Changes(), (std::vector<Change>{{FILE_ACTION_ADDED, "f"}}));
    // The subject context is the package's: cleanup releases and frees it (the audit checks).
}

TEST_F(NotifyTest, ReportsRacingRequestsCancelsAndCleanupsLoseNothingAndLeakNothing)
{
    Volume volume;
    Name dir("\\d");
    constexpr int kWatchers = 3, kReporters = 2, kRounds = 200;
    std::atomic<int> stop{0}, bad{0};
    std::vector<PKTHREAD> threads;
    // Requests outlive every thread: a completing thread may still be inside
    // KeSetEvent on a request's event when its waiter has already woken.
    std::vector<std::unique_ptr<NotifyIrp>> requests[kWatchers];
    for (int r = 0; r < kReporters; r++) {
        threads.push_back(StartThread([&, r] {
            char path[32];
            for (int i = 0; !stop.load(); i++) {
                snprintf(path, sizeof(path), "\\d\\s%d\\f%d", r, i % 10);
                volume.Report(path, FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_MODIFIED);
            }
        }));
    }
    for (int w = 0; w < kWatchers; w++) {
        threads.push_back(StartThread([&, w] {
            for (int round = 0; round < kRounds; round++) {
                requests[w].push_back(std::make_unique<NotifyIrp>(round % 2 ? 64 : 256));
                NotifyIrp &request = *requests[w].back();
                volume.Watch(Ctx(w), dir, true, request);
                if (round % 3 == 0)
                    IoCancelIrp(request.irp);
                else if (round % 7 == 0)
                    FsRtlNotifyCleanup(volume.sync, &volume.list, Ctx(w));
                else if (round % 5 == 0)
                    FsRtlNotifyCleanupAll(volume.sync, &volume.list);
                request.Wait();
                NTSTATUS s = request.status;
                if (s == STATUS_SUCCESS) {
                    for (const Change &c : request.Changes())
                        if (c.action != FILE_ACTION_MODIFIED || c.name.size() != 5 || c.name[0] != 's')
                            bad++;
                } else if (s != STATUS_CANCELLED && s != STATUS_NOTIFY_CLEANUP && s != STATUS_NOTIFY_ENUM_DIR) {
                    bad++;
                }
            }
        }));
    }
    for (size_t i = kReporters; i < threads.size(); i++)
        JoinThread(threads[i]);
    stop = 1;
    for (int i = 0; i < kReporters; i++)
        JoinThread(threads[i]);
    EXPECT_EQ(bad.load(), 0);
}

} // namespace
