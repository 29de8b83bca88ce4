/*
 * What a change watch hears of the sets: a rename's pair of names (old and new
 * within one directory, removed and added across two), a new hard link, size
 * and time changes, nothing for a change time alone, and the end of the watches
 * of a directory that becomes delete-pending through their handle.
 */
#include "change_watch.h"
#include "set_information_test.h"

namespace {

class SetInformationReportsTest : public SetInformationTest {
protected:
    /*
     * The changes a watch of filter on w hears of action: the waiting request
     * takes the first record; the rest wait in the watch for the next request.
     */
    template <typename Action>
    std::vector<Change> Hear(Watcher &w, ULONG filter, size_t records, Action action)
    {
        std::vector<Change> all, one;
        EXPECT_EQ(w.Start(filter, true), STATUS_PENDING);
        action();
        for (size_t i = 0; i < records; ++i) {
            if (i != 0)
                w.Start(filter, true);
            if (!w.Done()) {
                ADD_FAILURE() << "report " << i << " of " << records << " did not come";
                break;
            }
            EXPECT_EQ(w.Finish(&one), STATUS_SUCCESS);
            all.insert(all.end(), one.begin(), one.end());
        }
        return all;
    }
};

TEST_F(SetInformationReportsTest, RenamesLinksSizesAndTimes)
{
    for (const char *dir : {"\\w", "\\w\\a", "\\w\\b"})
        ASSERT_EQ(Make(dir, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\w\\a\\f"), STATUS_SUCCESS);
    Watcher w("\\w");
    HANDLE file;
    ASSERT_EQ(OpenForSet("\\w\\a\\f", &file), STATUS_SUCCESS);

    EXPECT_EQ(Hear(w, kNames, 2, [&] { ASSERT_EQ(Rename(file, "g"), STATUS_SUCCESS); }),
              (std::vector<Change>{{FILE_ACTION_RENAMED_OLD_NAME, "a\\f"}, {FILE_ACTION_RENAMED_NEW_NAME, "a\\g"}}));
    EXPECT_EQ(Hear(w, kNames, 2, [&] { ASSERT_EQ(Rename(file, "\\w\\b\\h"), STATUS_SUCCESS); }),
              (std::vector<Change>{{FILE_ACTION_REMOVED, "a\\g"}, {FILE_ACTION_ADDED, "b\\h"}}));
    EXPECT_EQ(Hear(w, kNames, 1, [&] { ASSERT_EQ(Link(file, "\\w\\a\\l"), STATUS_SUCCESS); }),
              (std::vector<Change>{{FILE_ACTION_ADDED, "a\\l"}}));
    HANDLE dir;
    ASSERT_EQ(OpenForSet("\\w\\a", &dir, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    EXPECT_EQ(Hear(w, kNames, 2, [&] { ASSERT_EQ(Rename(dir, "\\w\\b\\a2"), STATUS_SUCCESS); }),
              (std::vector<Change>{{FILE_ACTION_REMOVED, "a"}, {FILE_ACTION_ADDED, "b\\a2"}}));
    EXPECT_EQ(Close(dir), STATUS_SUCCESS);

    /* A watch's filter is fixed by its first request: sizes get a watch of their own. */
    Watcher sizes("\\w");
    LARGE_INTEGER size;
    size.QuadPart = 5000;
    EXPECT_EQ(Hear(sizes, FILE_NOTIFY_CHANGE_SIZE, 1,
                   [&] { ASSERT_EQ(UserSet(file, FileEndOfFileInformation, &size, sizeof(size)), STATUS_SUCCESS); }),
              (std::vector<Change>{{FILE_ACTION_MODIFIED, "b\\h"}}));
    EXPECT_EQ(Hear(sizes, FILE_NOTIFY_CHANGE_SIZE, 1,
                   [&] { ASSERT_EQ(UserSet(file, FileAllocationInformation, &size, sizeof(size)), STATUS_SUCCESS); }),
              (std::vector<Change>{{FILE_ACTION_MODIFIED, "b\\h"}}));

    /* A change time alone is no report; a last write time is. */
    Watcher times("\\w");
    ASSERT_EQ(times.Start(kEverything, true), STATUS_PENDING);
    FILE_BASIC_INFORMATION basic{};
    basic.ChangeTime.QuadPart = 1000;
    ASSERT_EQ(UserSet(file, FileBasicInformation, &basic, sizeof(basic)), STATUS_SUCCESS);
    EXPECT_FALSE(times.Done());
    basic.LastWriteTime.QuadPart = 2000;
    ASSERT_EQ(UserSet(file, FileBasicInformation, &basic, sizeof(basic)), STATUS_SUCCESS);
    std::vector<Change> changes;
    EXPECT_EQ(times.Finish(&changes), STATUS_SUCCESS);
    EXPECT_EQ(changes, (std::vector<Change>{{FILE_ACTION_MODIFIED, "b\\h"}}));
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

/* A directory made delete-pending through a watching handle ends that handle's watch. */
TEST_F(SetInformationReportsTest, DeletePendingDirectoryEndsItsWatches)
{
    ASSERT_EQ(Make("\\doomed", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    Watcher w("\\doomed", FILE_LIST_DIRECTORY | DELETE);
    ASSERT_EQ(w.Start(kEverything), STATUS_PENDING);
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(ZwSetInformationFile(w.dir, &iosb, &disposition, sizeof(disposition), FileDispositionInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(w.Finish(), STATUS_DELETE_PENDING);
    w.Close();
    EXPECT_EQ(IdAt("\\doomed"), 0u);
}

} // namespace
