/*
 * What the last handle's cleanup gives back. Delete on close: the name goes,
 * the data goes back to the volume, a directory with children stays, and a
 * delete-pending node refuses new opens meanwhile. A kept file gives back the
 * slack its storage has beyond its size.
 */
#include "fileops_test.h"

namespace {

OpenRequest DeleteOnClose(ULONG disposition = FILE_OPEN, ULONG options = 0)
{
    OpenRequest rq;
    rq.access = DELETE | FILE_WRITE_DATA;
    rq.disposition = disposition;
    rq.options = FILE_DELETE_ON_CLOSE | options;
    return rq;
}

TEST_F(FileOpsTest, TheLastHandleRemovesTheNameAndGivesTheDataBack)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    PVCB vcb = VcbOf('R');
    HANDLE first, second, refused = nullptr;
    ASSERT_EQ(Open("\\temp.dat", &first, DeleteOnClose(FILE_CREATE)), STATUS_SUCCESS);
    ASSERT_EQ(WriteBytes(first, 0, 500000), STATUS_SUCCESS);
    EXPECT_GT(vcb->Store.ChargedBytes, 0);
    OpenRequest plain;
    ASSERT_EQ(Open("\\temp.dat", &second, plain), STATUS_SUCCESS);
    PFCB node = NodeOf(second);

    EXPECT_EQ(Close(first), STATUS_SUCCESS);
    EXPECT_TRUE(node->DeletePending);
    EXPECT_FALSE(node->Unlinked) << "another handle is still open";
    EXPECT_EQ(Open("\\temp.dat", &refused, plain), STATUS_DELETE_PENDING);
    OpenRequest create;
    create.disposition = FILE_OPEN_IF;
    EXPECT_EQ(Open("\\temp.dat", &refused, create), STATUS_DELETE_PENDING);

    EXPECT_EQ(Close(second), STATUS_SUCCESS);
    EXPECT_FALSE(Exists("\\temp.dat"));
    EXPECT_EQ(vcb->Store.ChargedBytes, 0) << "the data went back with the last handle";
    ASSERT_EQ(Make("\\temp.dat"), STATUS_SUCCESS) << "the name is free again";
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FileOpsTest, DirectoriesGoOnlyWhenEmptyAndTheRootNever)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\full", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\full\\child"), STATUS_SUCCESS);
    HANDLE handle;
    OpenRequest rq = DeleteOnClose(FILE_OPEN, FILE_DIRECTORY_FILE);
    rq.access = DELETE;
    ASSERT_EQ(Open("\\full", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_TRUE(Exists("\\full\\child")) << "a directory with children stays, without an error";

    ASSERT_EQ(Open("\\full\\child", &handle, DeleteOnClose()), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    ASSERT_EQ(Open("\\full", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_FALSE(Exists("\\full"));

    ASSERT_EQ(Open("\\", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_TRUE(Exists("\\")) << "the root is never deleted";
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FileOpsTest, TheLastCleanupOfAKeptFileGivesItsSlackBack)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    PVCB vcb = VcbOf('R');
    HANDLE first, second;
    OpenRequest rq;
    rq.access = FILE_WRITE_DATA;
    rq.disposition = FILE_CREATE;
    ASSERT_EQ(Open("\\shrunk", &first, rq), STATUS_SUCCESS);
    ASSERT_EQ(WriteBytes(first, 0, 400000), STATUS_SUCCESS);
    ASSERT_EQ(SetDataSize(first, 10000), STATUS_SUCCESS);
    LONG64 charged = vcb->Store.ChargedBytes;
    EXPECT_GE(charged, 400000) << "a shrink keeps the single buffer's memory";

    rq.disposition = FILE_OPEN;
    ASSERT_EQ(Open("\\shrunk", &second, rq), STATUS_SUCCESS);
    EXPECT_EQ(Close(first), STATUS_SUCCESS);
    EXPECT_EQ(vcb->Store.ChargedBytes, charged) << "another handle is open: nothing is trimmed yet";
    EXPECT_EQ(Close(second), STATUS_SUCCESS);
    EXPECT_EQ(vcb->Store.ChargedBytes, (LONG64)ALIGN_UP_BY(10000, PAGE_SIZE)) << "the last cleanup trims";
    ASSERT_EQ(Open("\\shrunk", &first, rq), STATUS_SUCCESS);
    EXPECT_EQ(NodeOf(first)->Data.FileSize, 10000u) << "the data stays";
    EXPECT_EQ(Close(first), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
