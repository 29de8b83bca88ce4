/*
 * The create dispositions and options against what exists: a table of outcomes
 * over a missing name, a file and a directory, checked against the tree after
 * every open; then the attribute rules, supersede and overwrite of data, names a
 * new entry may not take, and EAs given at create.
 */
#include "fileops_test.h"

namespace {

enum Target { Missing, File, Directory };

struct Case {
    ULONG disposition;
    ULONG options;
    Target target;
    NTSTATUS status;
    ULONG_PTR action;
};

TEST_F(FileOpsTest, DispositionAndOptionMatrix)
{
    const Case cases[] = {
        {FILE_OPEN, 0, Missing, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {FILE_OVERWRITE, 0, Missing, STATUS_OBJECT_NAME_NOT_FOUND, 0},
        {FILE_CREATE, 0, Missing, STATUS_SUCCESS, FILE_CREATED},
        {FILE_OPEN_IF, 0, Missing, STATUS_SUCCESS, FILE_CREATED},
        {FILE_OVERWRITE_IF, 0, Missing, STATUS_SUCCESS, FILE_CREATED},
        {FILE_SUPERSEDE, 0, Missing, STATUS_SUCCESS, FILE_CREATED},
        {FILE_CREATE, FILE_DIRECTORY_FILE, Missing, STATUS_SUCCESS, FILE_CREATED},
        {FILE_OPEN, 0, File, STATUS_SUCCESS, FILE_OPENED},
        {FILE_OPEN_IF, 0, File, STATUS_SUCCESS, FILE_OPENED},
        {FILE_CREATE, 0, File, STATUS_OBJECT_NAME_COLLISION, 0},
        {FILE_SUPERSEDE, 0, File, STATUS_SUCCESS, FILE_SUPERSEDED},
        {FILE_OVERWRITE, 0, File, STATUS_SUCCESS, FILE_OVERWRITTEN},
        {FILE_OVERWRITE_IF, 0, File, STATUS_SUCCESS, FILE_OVERWRITTEN},
        {FILE_OPEN, FILE_DIRECTORY_FILE, File, STATUS_NOT_A_DIRECTORY, 0},
        {FILE_OPEN, FILE_NON_DIRECTORY_FILE, File, STATUS_SUCCESS, FILE_OPENED},
        {FILE_OPEN, 0, Directory, STATUS_SUCCESS, FILE_OPENED},
        {FILE_OPEN, FILE_NON_DIRECTORY_FILE, Directory, STATUS_FILE_IS_A_DIRECTORY, 0},
        {FILE_CREATE, FILE_DIRECTORY_FILE, Directory, STATUS_OBJECT_NAME_COLLISION, 0},
        {FILE_SUPERSEDE, 0, Directory, STATUS_SUCCESS, FILE_OPENED},
        {FILE_OVERWRITE_IF, 0, Directory, STATUS_SUCCESS, FILE_OPENED},
    };
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    int n = 0;
    for (const Case &c : cases) {
        std::string name = "\\e" + std::to_string(n++);
        if (c.target != Missing) {
            ASSERT_EQ(Make(name, c.target == Directory ? FILE_DIRECTORY_FILE : 0), STATUS_SUCCESS);
        }
        OpenRequest rq;
        rq.access = FILE_READ_DATA | FILE_WRITE_DATA;
        rq.disposition = c.disposition;
        rq.options = c.options;
        HANDLE handle = nullptr;
        ULONG_PTR action = 0;
        NTSTATUS status = Open(name, &handle, rq, &action);
        EXPECT_EQ(status, c.status) << name;
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(Exists(name), c.target != Missing) << name << ": a failed create leaves nothing";
            continue;
        }
        EXPECT_EQ(action, c.action) << name;
        PFCB node = NodeOf(handle);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->IsDirectory,
                  c.target == Directory || (c.target == Missing && (c.options & FILE_DIRECTORY_FILE) != 0))
            << name;
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
        EXPECT_TRUE(Exists(name)) << name;
    }
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FileOpsTest, AttributeRulesOnExistingFiles)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\ro", 0, FILE_ATTRIBUTE_READONLY), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\hidden", 0, FILE_ATTRIBUTE_HIDDEN), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\system", 0, FILE_ATTRIBUTE_SYSTEM), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    OpenRequest rq;
    rq.access = FILE_READ_DATA;
    ASSERT_EQ(Open("\\ro", &handle, rq), STATUS_SUCCESS);
    PFCB node = NodeOf(handle);
    EXPECT_EQ((ULONG)node->Attributes, (ULONG)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED));
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);

    rq.access = FILE_WRITE_DATA;
    EXPECT_EQ(Open("\\ro", &handle, rq), STATUS_ACCESS_DENIED);
    rq.access = FILE_READ_DATA;
    rq.disposition = FILE_OVERWRITE_IF;
    EXPECT_EQ(Open("\\ro", &handle, rq), STATUS_ACCESS_DENIED);
    rq.disposition = FILE_OPEN;
    rq.options = FILE_DELETE_ON_CLOSE;
    rq.access = DELETE;
    EXPECT_EQ(Open("\\ro", &handle, rq), STATUS_CANNOT_DELETE);
    rq.options = 0;

    rq.access = FILE_READ_DATA;
    rq.disposition = FILE_OVERWRITE;
    EXPECT_EQ(Open("\\hidden", &handle, rq), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open("\\system", &handle, rq), STATUS_ACCESS_DENIED);
    rq.attributes = FILE_ATTRIBUTE_HIDDEN;
    ASSERT_EQ(Open("\\hidden", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);

    rq.disposition = FILE_CREATE;
    rq.attributes = FILE_ATTRIBUTE_TEMPORARY;
    rq.options = FILE_DIRECTORY_FILE;
    EXPECT_EQ(Open("\\tempdir", &handle, rq), STATUS_INVALID_PARAMETER);
    rq.options = FILE_DELETE_ON_CLOSE;
    rq.attributes = FILE_ATTRIBUTE_READONLY;
    rq.access = DELETE;
    EXPECT_EQ(Open("\\newro", &handle, rq), STATUS_CANNOT_DELETE);
    EXPECT_FALSE(Exists("\\tempdir"));
    EXPECT_FALSE(Exists("\\newro"));
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FileOpsTest, NewEntriesTakeAttributesAndRefuseInvalidAndReservedNames)
{
    ASSERT_EQ(MakeVolume(VOREL_CREATE_NO_RECYCLE), STATUS_SUCCESS);
    EXPECT_EQ(Make("\\a:b"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Make("\\a*b"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Make("\\$recycle.bin", FILE_DIRECTORY_FILE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Make("\\System Volume Information", FILE_DIRECTORY_FILE), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Make("\\sub", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    EXPECT_EQ(Make("\\sub\\$RECYCLE.BIN", FILE_DIRECTORY_FILE), STATUS_SUCCESS) << "reserved in the root only";

    ASSERT_EQ(Make("\\f", 0, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SPARSE_FILE),
              STATUS_SUCCESS);
    HANDLE handle;
    ASSERT_EQ(Open("\\f", &handle), STATUS_SUCCESS);
    EXPECT_EQ((ULONG)NodeOf(handle)->Attributes,               (ULONG)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED))
        << "only the settable attributes are kept; a file is archived and inherits not-indexed from the root";
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);

    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    EXPECT_EQ(Make("\\$RECYCLE.BIN", FILE_DIRECTORY_FILE), STATUS_SUCCESS) << "allowed without the option";
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FileOpsTest, SupersedeAndOverwriteGiveTheDataBack)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    PVCB vcb = VcbOf('R');
    for (ULONG disposition : {FILE_SUPERSEDE, FILE_OVERWRITE, FILE_OVERWRITE_IF}) {
        HANDLE handle;
        OpenRequest rq;
        rq.access = FILE_WRITE_DATA;
        rq.disposition = FILE_OPEN_IF;
        ASSERT_EQ(Open("\\data", &handle, rq), STATUS_SUCCESS);
        ASSERT_EQ(WriteBytes(handle, 0, 300000), STATUS_SUCCESS);
        EXPECT_GT(vcb->Store.ChargedBytes, 0) << disposition;
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);

        rq.disposition = disposition;
        ULONG_PTR action;
        ASSERT_EQ(Open("\\data", &handle, rq, &action), STATUS_SUCCESS);
        EXPECT_EQ(action, (ULONG_PTR)(disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN));
        EXPECT_EQ(NodeOf(handle)->Data.FileSize, 0u);
        EXPECT_EQ(vcb->Store.ChargedBytes, 0) << "the data went back to the volume";
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    }
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
