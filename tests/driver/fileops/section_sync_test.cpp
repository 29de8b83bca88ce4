/*
 * Section synchronisation: a section created on a file goes through the driver's
 * callback, which sets the file's section flags by the section's protection and
 * leaves its resources free once the memory manager is done.
 */
#include "fileops_test.h"

namespace {

class SectionSyncTest : public FileOpsTest {
protected:
    NTSTATUS CreateSection(HANDLE file, ULONG protection, HANDLE *section)
    {
        auto *handle = process->New<HANDLE>();
        NTSTATUS status = support::AsUser(*process, [&] {
            return NtCreateSection(handle, SECTION_ALL_ACCESS, nullptr, nullptr, protection, SEC_COMMIT, file);
        });
        *section = *handle;
        return status;
    }
    /* Gives a file `bytes` of data, its sizes included. */
    NTSTATUS Fill(HANDLE handle, ULONGLONG bytes)
    {
        NTSTATUS status = WriteBytes(handle, 0, bytes);
        PFCB node = NodeOf(handle);
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
        ExAcquireResourceExclusiveLite(&node->PagingIoResource, TRUE);
        if (NT_SUCCESS(status))
            status = s->SetDataSize(node, bytes);
        ExReleaseResourceLite(&node->PagingIoResource);
        ExReleaseResourceLite(&node->MainResource);
        KeLeaveCriticalRegion();
        return status;
    }
};

TEST_F(SectionSyncTest, FlagsFollowTheProtectionAndTheResourcesAreFreeAfterwards)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    for (const char *name : {"\\w", "\\r", "\\empty"})
        ASSERT_EQ(Make(name), STATUS_SUCCESS);
    OpenRequest readWrite;
    readWrite.access = FILE_READ_DATA | FILE_WRITE_DATA;
    HANDLE w, r, empty;
    ASSERT_EQ(Open("\\w", &w, readWrite), STATUS_SUCCESS);
    ASSERT_EQ(Open("\\r", &r), STATUS_SUCCESS);
    ASSERT_EQ(Open("\\empty", &empty, readWrite), STATUS_SUCCESS);
    ASSERT_EQ(Fill(w, 5000), STATUS_SUCCESS);
    ASSERT_EQ(Fill(r, 100), STATUS_SUCCESS);
    PFCB nw = NodeOf(w), nr = NodeOf(r), ne = NodeOf(empty);

    HANDLE sw, sr, se;
    ASSERT_EQ(CreateSection(w, PAGE_READWRITE, &sw), STATUS_SUCCESS);
    EXPECT_TRUE(nw->SectionCreated);
    EXPECT_TRUE(nw->Mapped) << "a writable section reads through the mapping first";
    EXPECT_NE(nw->SectionObjectPointers.DataSectionObject, nullptr);
    ASSERT_EQ(CreateSection(r, PAGE_READONLY, &sr), STATUS_SUCCESS);
    EXPECT_TRUE(nr->SectionCreated);
    EXPECT_FALSE(nr->Mapped);
    // The callback runs before the size is read: an empty file is refused, its flags set.
    EXPECT_EQ(CreateSection(empty, PAGE_READWRITE, &se), STATUS_MAPPED_FILE_SIZE_ZERO);
    EXPECT_TRUE(ne->SectionCreated);
    for (PFCB node : {nw, nr, ne}) {
        EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&node->MainResource));
        EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&node->PagingIoResource));
    }
    EXPECT_FALSE(MmCanFileBeTruncated(&nw->SectionObjectPointers, nullptr));

    EXPECT_EQ(Close(sw), STATUS_SUCCESS);
    EXPECT_EQ(Close(sr), STATUS_SUCCESS);
    EXPECT_EQ(nw->SectionObjectPointers.DataSectionObject, nullptr);
    for (HANDLE handle : {w, r, empty})
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

} // namespace
