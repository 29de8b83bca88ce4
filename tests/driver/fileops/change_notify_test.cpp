/*
 * Change watches through NtNotifyChangeDirectoryFile on asynchronous handles:
 * the reports a program's changes send (created, removed at cleanup, modified
 * at cleanup), subtree watches, filters, a watch whose buffer overflows, and
 * every way a waiting request ends without a change: cancellation, the
 * handle's cleanup, its process's exit before the volume goes.
 */
#include "change_watch.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

class ChangeNotifyTest : public DataFileOpsTest {
protected:
    void SetUp() override
    {
        FileOpsTest::SetUp();
        ASSERT_EQ(MakeVolume(0, ""), STATUS_SUCCESS);
        AllocateScratch(4096);
        ASSERT_EQ(Make("\\w", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    }
    /* The one change a watch on \w sees for what action does. */
    template <typename Action>
    std::vector<Change> ChangesOf(Watcher &w, ULONG filter, Action action)
    {
        std::vector<Change> changes;
        EXPECT_EQ(w.Start(filter), STATUS_PENDING);
        action();
        EXPECT_EQ(w.Finish(&changes), STATUS_SUCCESS);
        return changes;
    }
};

/*
 * Each report once: a file and a directory created, a file written and closed
 * (modified, with the size bit only when the size changed), entries deleted at
 * their cleanup. A watch's filter is fixed by its first request.
 */
TEST_F(ChangeNotifyTest, EachReportKind)
{
    Watcher w("\\w");
    EXPECT_EQ(ChangesOf(w, kEverything, [&] { ASSERT_EQ(Make("\\w\\f"), STATUS_SUCCESS); }),
              (std::vector<Change>{{FILE_ACTION_ADDED, "f"}}));
    EXPECT_EQ(ChangesOf(w, kEverything, [&] { ASSERT_EQ(Make("\\w\\sub", FILE_DIRECTORY_FILE), STATUS_SUCCESS); }),
              (std::vector<Change>{{FILE_ACTION_ADDED, "sub"}}));
    auto writeAndClose = [&](LONGLONG at, const char *data) {
        HANDLE f = OpenFile("\\w\\f");
        ASSERT_EQ(WriteAt(f, at, data, strlen(data)), STATUS_SUCCESS);
        ASSERT_EQ(Close(f), STATUS_SUCCESS);
    };
    EXPECT_EQ(ChangesOf(w, kEverything, [&] { writeAndClose(0, "grow"); }),
              (std::vector<Change>{{FILE_ACTION_MODIFIED, "f"}}));

    /* An overwrite in place changes no size: a size-only watch hears nothing of it. */
    Watcher size("\\w");
    ASSERT_EQ(size.Start(FILE_NOTIFY_CHANGE_SIZE), STATUS_PENDING);
    EXPECT_EQ(ChangesOf(w, kEverything, [&] { writeAndClose(0, "GR"); }),
              (std::vector<Change>{{FILE_ACTION_MODIFIED, "f"}}));
    EXPECT_FALSE(size.Done());
    EXPECT_EQ(ChangesOf(w, kEverything, [&] { writeAndClose(4, "er"); }),
              (std::vector<Change>{{FILE_ACTION_MODIFIED, "f"}}));
    std::vector<Change> changes;
    EXPECT_EQ(size.Finish(&changes), STATUS_SUCCESS);
    EXPECT_EQ(changes, (std::vector<Change>{{FILE_ACTION_MODIFIED, "f"}}));

    EXPECT_EQ(ChangesOf(w, kEverything, [&] { Delete("\\w\\f"); }),
              (std::vector<Change>{{FILE_ACTION_REMOVED, "f"}}));
    EXPECT_EQ(ChangesOf(w, kEverything, [&] { Delete("\\w\\sub"); }),
              (std::vector<Change>{{FILE_ACTION_REMOVED, "sub"}}));
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
 * one named), at the cleanup of its handle, or when the directory is gone;
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
    Watcher doomed("\\w\\doomed");
    OpenRequest rq;
    rq.access = DELETE;
    rq.options = FILE_DIRECTORY_FILE | FILE_DELETE_ON_CLOSE;
    HANDLE handle = nullptr;
    ASSERT_EQ(Open("\\w\\doomed", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(doomed.Start(kNames), STATUS_DELETE_PENDING);

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
