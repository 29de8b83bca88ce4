/*
 * Change watches through NtNotifyChangeDirectoryFile on asynchronous handles:
 * each kind of report a program's changes and sets send, subtree watches,
 * filters, a watch whose buffer overflows, and every way a waiting request
 * ends without a change: cancellation, the handle's cleanup, a delete-pending
 * directory, its process's exit before the volume goes.
 */
#include "set_information_test.h"

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr ULONG kNames = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr ULONG kEverything = kNames | FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                              FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_LAST_ACCESS;

using Change = std::pair<ULONG, std::string>; /* action, name relative to the watched directory */

/*
 * One watching handle and its request: the I/O manager writes the status block
 * before it signals the event, so the block is read only once the event says
 * the request is done.
 */
struct Watcher {
    HANDLE dir = nullptr;
    HANDLE event = nullptr;
    IO_STATUS_BLOCK iosb{};
    alignas(8) UCHAR buffer[4096] = {};

    explicit Watcher(const std::string &path, ACCESS_MASK access = FILE_LIST_DIRECTORY)
    {
        EXPECT_EQ(KernelOpen(path, &dir, FILE_DIRECTORY_FILE, access), STATUS_SUCCESS) << path;
        EXPECT_EQ(ZwCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE), STATUS_SUCCESS);
    }
    ~Watcher()
    {
        if (dir != nullptr)
            ZwClose(dir);
        ZwClose(event);
    }
    NTSTATUS Start(ULONG filter, bool tree = false, ULONG length = sizeof(buffer))
    {
        iosb = {};
        return ZwNotifyChangeDirectoryFile(dir, event, nullptr, nullptr, &iosb, buffer, length, filter, tree);
    }
    bool Done() const
    {
        LARGE_INTEGER now{};
        return ZwWaitForSingleObject(event, FALSE, &now) == STATUS_SUCCESS;
    }
    /* Waits for the request and returns its status; the records in *changes. */
    NTSTATUS Finish(std::vector<Change> *changes = nullptr)
    {
        ZwWaitForSingleObject(event, FALSE, nullptr);
        if (changes != nullptr && iosb.Status == STATUS_SUCCESS) {
            changes->clear();
            for (ULONG at = 0; at < iosb.Information;) {
                auto *record = reinterpret_cast<PFILE_NOTIFY_INFORMATION>(buffer + at);
                std::string name;
                for (ULONG i = 0; i < record->FileNameLength / 2; ++i)
                    name.push_back((char)record->FileName[i]);
                changes->emplace_back(record->Action, name);
                if (record->NextEntryOffset == 0)
                    break;
                at += record->NextEntryOffset;
            }
        }
        return iosb.Status;
    }
    void Close()
    {
        ZwClose(dir);
        dir = nullptr;
    }
};

class ChangeNotifyTest : public SetInformationTest {
protected:
    void SetUp() override
    {
        SetInformationTest::SetUp();
        ASSERT_EQ(Make("\\w", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    }
};

/*
 * Each kind of report, one change at a time, through a fresh subtree watch on
 * \w with the row's filter (a watch's filter is fixed by its first request):
 * the waiting request takes the first record, the rest wait for the next
 * request. A row that expects nothing finds its request still waiting.
 */
TEST_F(ChangeNotifyTest, EachReportKind)
{
    ASSERT_EQ(Make("\\w\\b", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\w\\e", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    HANDLE file = nullptr, dir = nullptr;
    auto writeAndClose = [&](LONGLONG at, const char *data) {
        HANDLE f = OpenFile("\\w\\f");
        ASSERT_EQ(WriteAt(f, at, data, strlen(data)), STATUS_SUCCESS);
        ASSERT_EQ(Close(f), STATUS_SUCCESS);
    };
    auto setSize = [&](FILE_INFORMATION_CLASS c) {
        LARGE_INTEGER size{.QuadPart = 5000};
        ASSERT_EQ(UserSet(file, c, &size, sizeof(size)), STATUS_SUCCESS);
    };
    auto setTimes = [&](LONGLONG change, LONGLONG write) {
        FILE_BASIC_INFORMATION basic{};
        basic.ChangeTime.QuadPart = change;
        basic.LastWriteTime.QuadPart = write;
        ASSERT_EQ(UserSet(file, FileBasicInformation, &basic, sizeof(basic)), STATUS_SUCCESS);
    };
    const ULONG size = FILE_NOTIFY_CHANGE_SIZE;
    const struct {
        const char *what;
        ULONG filter;
        std::function<void()> action;
        std::vector<Change> heard;
    } kinds[] = {
        {"file created", kEverything, [&] { ASSERT_EQ(Make("\\w\\f"), STATUS_SUCCESS); }, {{FILE_ACTION_ADDED, "f"}}},
        {"directory created", kEverything, [&] { ASSERT_EQ(Make("\\w\\a", FILE_DIRECTORY_FILE), STATUS_SUCCESS); },
         {{FILE_ACTION_ADDED, "a"}}},
        {"written and closed", kEverything, [&] { writeAndClose(0, "grow"); }, {{FILE_ACTION_MODIFIED, "f"}}},
        {"overwritten in place", size, [&] { writeAndClose(0, "GR"); }, {}},
        {"grown by a write", size, [&] { writeAndClose(4, "er"); }, {{FILE_ACTION_MODIFIED, "f"}}},
        {"renamed in place", kNames,
         [&] {
             ASSERT_EQ(OpenForSet("\\w\\f", &file), STATUS_SUCCESS);
             ASSERT_EQ(Rename(file, "g"), STATUS_SUCCESS);
         },
         {{FILE_ACTION_RENAMED_OLD_NAME, "f"}, {FILE_ACTION_RENAMED_NEW_NAME, "g"}}},
        {"moved", kNames, [&] { ASSERT_EQ(Rename(file, "\\w\\a\\h"), STATUS_SUCCESS); },
         {{FILE_ACTION_REMOVED, "g"}, {FILE_ACTION_ADDED, "a\\h"}}},
        {"linked", kNames, [&] { ASSERT_EQ(Link(file, "\\w\\l"), STATUS_SUCCESS); }, {{FILE_ACTION_ADDED, "l"}}},
        {"directory moved", kNames,
         [&] {
             ASSERT_EQ(OpenForSet("\\w\\a", &dir, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
             ASSERT_EQ(Rename(dir, "\\w\\b\\a2"), STATUS_SUCCESS);
             ASSERT_EQ(Close(dir), STATUS_SUCCESS);
         },
         {{FILE_ACTION_REMOVED, "a"}, {FILE_ACTION_ADDED, "b\\a2"}}},
        {"end of file set", size, [&] { setSize(FileEndOfFileInformation); }, {{FILE_ACTION_MODIFIED, "b\\a2\\h"}}},
        {"allocation set", size, [&] { setSize(FileAllocationInformation); }, {{FILE_ACTION_MODIFIED, "b\\a2\\h"}}},
        {"change time alone", kEverything, [&] { setTimes(1000, 0); }, {}},
        {"last write time", kEverything, [&] { setTimes(0, 2000); }, {{FILE_ACTION_MODIFIED, "b\\a2\\h"}}},
        {"name deleted", kEverything,
         [&] {
             ASSERT_EQ(Close(file), STATUS_SUCCESS);
             Delete("\\w\\l");
         },
         {{FILE_ACTION_REMOVED, "l"}}},
        {"directory deleted", kEverything, [&] { Delete("\\w\\e"); }, {{FILE_ACTION_REMOVED, "e"}}},
    };
    for (const auto &kind : kinds) {
        SCOPED_TRACE(kind.what);
        Watcher w("\\w");
        std::vector<Change> all, one;
        ASSERT_EQ(w.Start(kind.filter, true), STATUS_PENDING);
        kind.action();
        for (size_t i = 0; i < kind.heard.size(); ++i) {
            if (i != 0)
                w.Start(kind.filter, true);
            ASSERT_TRUE(w.Done()) << "report " << i << " did not come";
            EXPECT_EQ(w.Finish(&one), STATUS_SUCCESS);
            all.insert(all.end(), one.begin(), one.end());
        }
        EXPECT_EQ(all, kind.heard);
        if (kind.heard.empty()) {
            EXPECT_FALSE(w.Done());
            w.Close();
            EXPECT_EQ(w.Finish(), STATUS_NOTIFY_CLEANUP);
        }
    }
}

/*
 * A subtree watch hears changes deep below it with their path from the watched
 * directory; a plain watch hears only its own entries, and a filter that does
 * not meet the change hears nothing.
 */
TEST_F(ChangeNotifyTest, SubtreeAndFilters)
{
    ASSERT_EQ(Make("\\w\\a", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\w\\a\\b", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    Watcher tree("\\");
    Watcher plain("\\w");
    Watcher dirsOnly("\\w\\a\\b");
    ASSERT_EQ(tree.Start(kNames, true), STATUS_PENDING);
    ASSERT_EQ(plain.Start(kNames), STATUS_PENDING);
    ASSERT_EQ(dirsOnly.Start(FILE_NOTIFY_CHANGE_DIR_NAME), STATUS_PENDING);

    ASSERT_EQ(Make("\\w\\a\\b\\deep"), STATUS_SUCCESS);
    std::vector<Change> changes;
    EXPECT_EQ(tree.Finish(&changes), STATUS_SUCCESS);
    EXPECT_EQ(changes, (std::vector<Change>{{FILE_ACTION_ADDED, "w\\a\\b\\deep"}}));
    EXPECT_FALSE(plain.Done()) << "a plain watch hears nothing below its own entries";
    EXPECT_FALSE(dirsOnly.Done()) << "a file is not a directory name";

    ASSERT_EQ(Make("\\w\\a\\b\\inner", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    EXPECT_EQ(dirsOnly.Finish(&changes), STATUS_SUCCESS);
    EXPECT_EQ(changes, (std::vector<Change>{{FILE_ACTION_ADDED, "inner"}}));
    ASSERT_EQ(Make("\\w\\top"), STATUS_SUCCESS);
    EXPECT_EQ(plain.Finish(&changes), STATUS_SUCCESS);
    EXPECT_EQ(changes, (std::vector<Change>{{FILE_ACTION_ADDED, "top"}}));
}

/*
 * Changes between requests wait in the watch's buffer and come whole with the
 * next request; more than the buffer holds are dropped, and the next request
 * learns with STATUS_NOTIFY_ENUM_DIR that it must list the directory again.
 */
TEST_F(ChangeNotifyTest, BufferedChangesAndOverflow)
{
    Watcher w("\\w");
    ASSERT_EQ(w.Start(kNames, false, 128), STATUS_PENDING);
    ASSERT_EQ(Make("\\w\\first"), STATUS_SUCCESS);
    EXPECT_EQ(w.Finish(), STATUS_SUCCESS);

    ASSERT_EQ(Make("\\w\\b1"), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\w\\b2"), STATUS_SUCCESS);
    std::vector<Change> changes;
    ASSERT_EQ(w.Start(kNames, false, 128), STATUS_PENDING);
    EXPECT_EQ(w.Finish(&changes), STATUS_SUCCESS);
    EXPECT_EQ(changes, (std::vector<Change>{{FILE_ACTION_ADDED, "b1"}, {FILE_ACTION_ADDED, "b2"}}));

    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(Make("\\w\\many" + std::to_string(i)), STATUS_SUCCESS);
    ASSERT_EQ(w.Start(kNames, false, 128), STATUS_PENDING);
    EXPECT_EQ(w.Finish(), STATUS_NOTIFY_ENUM_DIR);
    ASSERT_EQ(w.Start(kNames, false, 128), STATUS_PENDING);
    EXPECT_FALSE(w.Done()) << "the overflow is told once";
    ASSERT_EQ(Make("\\w\\after"), STATUS_SUCCESS);
    EXPECT_EQ(w.Finish(&changes), STATUS_SUCCESS);
    EXPECT_EQ(changes, (std::vector<Change>{{FILE_ACTION_ADDED, "after"}}));
}

/*
 * A waiting request ends without a change: cancelled (all of a handle's, or the
 * one named), at the cleanup of its handle, when the directory is gone or
 * made delete-pending through the watching handle;
 * a watch on a volume handle or a file is refused.
 */
TEST_F(ChangeNotifyTest, RequestsEndWithoutChanges)
{
    Watcher all("\\w");
    Watcher one("\\w");
    Watcher closing("\\w");
    ASSERT_EQ(all.Start(kNames), STATUS_PENDING);
    ASSERT_EQ(one.Start(kNames), STATUS_PENDING);
    ASSERT_EQ(closing.Start(kNames), STATUS_PENDING);
    IO_STATUS_BLOCK cancel{};
    EXPECT_EQ(ZwCancelIoFile(all.dir, &cancel), STATUS_SUCCESS);
    EXPECT_EQ(all.Finish(), STATUS_CANCELLED);
    EXPECT_EQ(NtCancelIoFileEx(one.dir, &one.iosb, &cancel), STATUS_SUCCESS);
    EXPECT_EQ(one.Finish(), STATUS_CANCELLED);
    closing.Close();
    EXPECT_EQ(closing.Finish(), STATUS_NOTIFY_CLEANUP);

    /* The watch itself outlives a cancelled request: changes meanwhile wait for the next. */
    ASSERT_EQ(Make("\\w\\meanwhile"), STATUS_SUCCESS);
    std::vector<Change> changes;
    ASSERT_EQ(all.Start(kNames), STATUS_PENDING);
    EXPECT_EQ(all.Finish(&changes), STATUS_SUCCESS);
    EXPECT_EQ(changes, (std::vector<Change>{{FILE_ACTION_ADDED, "meanwhile"}}));

    /* A directory being deleted takes no new watch: the watcher's own handle keeps it in place. */
    ASSERT_EQ(Make("\\w\\doomed", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\w\\doomed2", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    Watcher doomed("\\w\\doomed");
    OpenRequest rq;
    rq.access = DELETE;
    rq.options = FILE_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE;
    HANDLE handle = nullptr;
    ASSERT_EQ(Open("\\w\\doomed", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(doomed.Start(kNames), STATUS_DELETE_PENDING);

    /* A directory made delete-pending through a watching handle ends that handle's watch. */
    Watcher pending("\\w\\doomed2", FILE_LIST_DIRECTORY | DELETE);
    ASSERT_EQ(pending.Start(kEverything), STATUS_PENDING);
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(ZwSetInformationFile(pending.dir, &iosb, &disposition, sizeof(disposition), FileDispositionInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(pending.Finish(), STATUS_DELETE_PENDING);
    pending.Close();
    EXPECT_FALSE(Exists("\\w\\doomed2"));

    ASSERT_EQ(Make("\\w\\file"), STATUS_SUCCESS);
    HANDLE file = nullptr;
    ASSERT_EQ(KernelOpen("\\w\\file", &file, 0, FILE_LIST_DIRECTORY), STATUS_SUCCESS);
    Watcher onFile("\\w");
    HANDLE kept = onFile.dir;
    onFile.dir = file;
    EXPECT_EQ(onFile.Start(kNames), STATUS_INVALID_PARAMETER);
    onFile.dir = kept;
    ZwClose(file);
}

/*
 * A program that ends with a watch waiting: the request is cancelled and the
 * handle cleaned up with its process, and the volume then dismounts with every
 * pool block of the watch given back (the fixture's teardown checks).
 */
TEST_F(ChangeNotifyTest, ProcessEndsWithAWatchWaiting)
{
    auto program = std::make_unique<support::UserProcess>(0, 0);
    HANDLE dir = nullptr;
    ASSERT_EQ(program->Open("\\??\\R:\\w", FILE_LIST_DIRECTORY, &dir, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    auto *event = program->New<HANDLE>();
    auto *status = program->New<IO_STATUS_BLOCK>();
    void *buffer = program->Alloc(512);
    ASSERT_EQ(support::AsUser(*program,
                              [&] { return NtCreateEvent(event, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE); }),
              STATUS_SUCCESS);
    ASSERT_EQ(support::AsUser(*program,
                              [&] {
                                  return NtNotifyChangeDirectoryFile(dir, *event, nullptr, nullptr, status, buffer,
                                                                     512, kEverything, TRUE);
                              }),
              STATUS_PENDING);
    program.reset();
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
