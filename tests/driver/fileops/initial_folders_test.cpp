/*
 * Initial folders of a new volume: each line-feed separated entry becomes its
 * chain of directories (separators '\' and '/', empty parts skipped); a folder
 * that cannot be made ends only its own entry and never fails the create.
 */
#include "fileops_test.h"

namespace {

TEST_F(FileOpsTest, FoldersOfTheCreateRecordExistAfterTheCreate)
{
    ASSERT_EQ(MakeVolume(0, "temp\n\n/a//b\\c"), STATUS_SUCCESS);
    for (const char *path : {"\\temp", "\\a", "\\a\\b", "\\a\\b\\c"}) {
        HANDLE handle;
        OpenRequest rq;
        rq.options = FILE_DIRECTORY_FILE;
        ASSERT_EQ(Open(path, &handle, rq), STATUS_SUCCESS) << path;
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    }
    EXPECT_FALSE(Exists("\\b"));
    EXPECT_FALSE(Exists("\\c"));
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FileOpsTest, AFolderThatCannotBeMadeFailsNothingElse)
{
    ASSERT_EQ(MakeVolume(VOREL_CREATE_NO_RECYCLE, "bad:name/x\n$RECYCLE.BIN\nok/y"), STATUS_SUCCESS);
    EXPECT_FALSE(Exists("\\bad:name"));
    EXPECT_FALSE(Exists("\\$RECYCLE.BIN"));
    EXPECT_TRUE(Exists("\\ok\\y"));
    EXPECT_EQ(List().size(), 1u);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
