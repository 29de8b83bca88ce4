/*
 * Opening what exists: by absolute path, relative to an open directory, the
 * volume itself, the start directory, and the handle bound to its file object.
 */
#include "fileops_test.h"

namespace {

TEST_F(FileOpsTest, OpensByAbsoluteAndRelativePathAndBindsTheHandle)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir\\file.txt"), STATUS_SUCCESS);

    HANDLE dir, file, relative;
    OpenRequest rq;
    rq.options = FILE_DIRECTORY_FILE;
    ULONG_PTR action = 0;
    ASSERT_EQ(Open("\\DIR\\", &dir, rq, &action), STATUS_SUCCESS) << "lookups ignore case; one trailing backslash";
    EXPECT_EQ(action, (ULONG_PTR)FILE_OPENED);
    ASSERT_EQ(Open("\\dir\\file.txt", &file), STATUS_SUCCESS);
    OpenRequest related;
    related.root = dir;
    ASSERT_EQ(Open("FILE.TXT", &relative, related), STATUS_SUCCESS);

    PFCB node = NodeOf(file);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(NodeOf(relative), node) << "both names lead to one node";
    EXPECT_EQ(node->OpenCount, 2);
    PFILE_OBJECT fileObject = FileObjectOf(file, *process);
    auto *ccb = static_cast<PCCB>(fileObject->FsContext2);
    ASSERT_NE(ccb, nullptr);
    EXPECT_EQ(ccb->Node, node);
    ASSERT_NE(ccb->Link, nullptr);
    EXPECT_EQ(std::u16string((const char16_t *)ccb->Link->Name.Buffer, ccb->Link->Name.Length / 2), u"file.txt");
    EXPECT_EQ(fileObject->SectionObjectPointer, &node->SectionObjectPointers);

    EXPECT_EQ(Close(relative), STATUS_SUCCESS);
    EXPECT_EQ(node->OpenCount, 1);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
    EXPECT_EQ(node->OpenCount, 0);
    EXPECT_EQ(Close(dir), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FileOpsTest, RefusesBadNamesAndPaths)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\file"), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    EXPECT_EQ(Open("\\missing", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open("\\missing\\x", &handle), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open("\\file\\x", &handle), STATUS_OBJECT_PATH_NOT_FOUND) << "a file is no directory to pass";
    EXPECT_EQ(Open("\\dir\\\\x", &handle), STATUS_OBJECT_NAME_INVALID) << "an empty component";
    std::string deep;
    for (int i = 0; i < 65; ++i)
        deep += "\\d";
    EXPECT_EQ(Open(deep, &handle), STATUS_OBJECT_NAME_INVALID) << "65 components";

    HANDLE file;
    ASSERT_EQ(Open("\\file", &file), STATUS_SUCCESS);
    OpenRequest related;
    related.root = file;
    EXPECT_EQ(Open("x", &handle, related), STATUS_OBJECT_PATH_NOT_FOUND) << "relative to a file";
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
    HANDLE dir;
    ASSERT_EQ(Open("\\dir", &dir), STATUS_SUCCESS);
    related.root = dir;
    EXPECT_EQ(Open("\\x", &handle, related), STATUS_INVALID_PARAMETER) << "a relative name starting at the root";
    EXPECT_EQ(Close(dir), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FileOpsTest, VolumeOpenCountsAndHoldsNoNode)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    PVCB vcb = VcbOf('R');
    ASSERT_NE(vcb, nullptr);
    HANDLE volume, again;
    OpenRequest rq; /* reading data: an attributes-only open would reach the disk device directly */
    ULONG_PTR action = 0;
    ASSERT_EQ(Open("", &volume, rq, &action), STATUS_SUCCESS);
    EXPECT_EQ(action, (ULONG_PTR)FILE_OPENED);
    EXPECT_EQ(vcb->VolumeOpenCount, 1);
    ASSERT_EQ(Open("", &again, rq), STATUS_SUCCESS);
    EXPECT_EQ(vcb->VolumeOpenCount, 2);
    EXPECT_EQ(NodeOf(volume), (PFCB)vcb) << "a volume handle names the volume, not a node";
    EXPECT_EQ(vcb->HolderSlotsInUse, 0u) << "volume opens are not file holders";
    EXPECT_EQ(Dismount('R'), STATUS_DEVICE_BUSY) << "a volume handle keeps the volume busy";
    EXPECT_EQ(Close(volume), STATUS_SUCCESS);
    EXPECT_EQ(Close(again), STATUS_SUCCESS);
    EXPECT_EQ(vcb->VolumeOpenCount, 0);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FileOpsTest, RootOpensAsTheStartDirectoryButNeverAsAFileOrAsNew)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    HANDLE root, handle = nullptr;
    OpenRequest rq;
    ASSERT_EQ(Open("\\", &root, rq), STATUS_SUCCESS);
    PFCB node = NodeOf(root);
    ASSERT_NE(node, nullptr);
    EXPECT_TRUE(node->IsRoot);
    rq.options = FILE_NON_DIRECTORY_FILE;
    EXPECT_EQ(Open("\\", &handle, rq), STATUS_FILE_IS_A_DIRECTORY);
    rq.options = 0;
    rq.disposition = FILE_CREATE;
    EXPECT_EQ(Open("\\", &handle, rq), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(node->OpenCount, 1) << "failed opens leave no count";
    EXPECT_EQ(Close(root), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
