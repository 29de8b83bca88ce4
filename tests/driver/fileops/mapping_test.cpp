/*
 * Memory-mapped files: a section created on a file goes through the driver's
 * callback, which sets the file's section flags by the section's protection and
 * leaves its resources free once the memory manager is done; bytes written
 * through a view are what NtReadFile reads, and bytes written by NtWriteFile are
 * what the view shows.
 */
#include "fileops_test.h"

namespace {

class MappingTest : public DataFileOpsTest {
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
    /* A view of the whole section in the user program's space. */
    NTSTATUS Map(HANDLE section, ULONG protection, volatile UCHAR **base)
    {
        auto *address = process->New<PVOID>();
        auto *size = process->New<SIZE_T>();
        *address = nullptr;
        *size = 0;
        NTSTATUS status = support::AsUser(*process, [&] {
            return NtMapViewOfSection(section, NtCurrentProcess(), address, 0, 0, nullptr, size, ViewUnmap, 0,
                                      protection);
        });
        *base = static_cast<volatile UCHAR *>(*address);
        return status;
    }
    NTSTATUS Unmap(volatile UCHAR *base)
    {
        return support::AsUser(*process, [&] { return NtUnmapViewOfSection(NtCurrentProcess(), (PVOID)base); });
    }
    /* Gives a file `bytes` of data, its sizes included. */
    NTSTATUS Fill(HANDLE handle, ULONGLONG bytes)
    {
        NTSTATUS status = WriteBytes(handle, 0, bytes);
        return NT_SUCCESS(status) ? SetDataSize(handle, bytes) : status;
    }
};

TEST_F(MappingTest, FlagsFollowTheProtectionAndTheResourcesAreFreeAfterwards)
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

/*
 * Both directions through one file: writes through the view reach NtReadFile
 * without an explicit flush (the read flushes a writable mapping first) and the
 * store itself at NtFlushBuffersFile, an
 * NtWriteFile while the view is mapped shows in the view, and once the view and
 * the section are gone the next write finds the file unmapped and takes the fast
 * path again. The pages were filled by paging reads through the read handler.
 */
TEST_F(MappingTest, ViewsAndNativeReadsAndWritesSeeTheSameBytes)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    AllocateScratch(64 * 1024);
    HANDLE file = nullptr;
    OpenRequest rq;
    rq.access = FILE_READ_DATA | FILE_WRITE_DATA;
    rq.disposition = FILE_CREATE;
    ASSERT_EQ(Open("\\mapped", &file, rq), STATUS_SUCCESS);
    std::vector<UCHAR> model(3 * 4096 + 100, 'a');
    ASSERT_EQ(WriteAt(file, 0, model.data(), model.size()), STATUS_SUCCESS);
    PFCB node = NodeOf(file);

    HANDLE section = nullptr;
    volatile UCHAR *view = nullptr;
    ASSERT_EQ(CreateSection(file, PAGE_READWRITE, &section), STATUS_SUCCESS);
    ASSERT_EQ(Map(section, PAGE_READWRITE, &view), STATUS_SUCCESS);
    EXPECT_EQ(view[0], 'a');
    EXPECT_EQ(view[model.size() - 1], 'a');
    EXPECT_EQ(view[model.size()], 0) << "the last page beyond the size reads as zeros";

    for (size_t i = 10; i < 20; ++i)
        view[i] = model[i] = 'M';
    view[2 * 4096 + 50] = model[2 * 4096 + 50] = 'N';
    std::vector<UCHAR> got;
    ASSERT_EQ(ReadAt(file, 0, model.size() + 10, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, model) << "bytes written through the view are read without a flush";

    ASSERT_EQ(WriteAt(file, 4096 + 5, "WWW", 3), STATUS_SUCCESS);
    memcpy(&model[4096 + 5], "WWW", 3);
    EXPECT_EQ(view[4096 + 5], 'W') << "a native write shows in the mapped view";
    EXPECT_EQ(view[4096 + 7], 'W');
    EXPECT_EQ(view[10], 'M') << "the view's own earlier writes are kept";

    /* A flush writes the view's dirty pages to the store itself. */
    view[3 * 4096 + 7] = model[3 * 4096 + 7] = 'F';
    auto *flushIosb = process->New<IO_STATUS_BLOCK>();
    ASSERT_EQ(support::AsUser(*process, [&] { return NtFlushBuffersFile(file, flushIosb); }), STATUS_SUCCESS);
    char stored = 0;
    s->CopyFromStorage(node, 3 * 4096 + 7, &stored, 1);
    EXPECT_EQ(stored, 'F');

    EXPECT_FALSE(MmCanFileBeTruncated(&node->SectionObjectPointers, nullptr));
    ASSERT_EQ(Unmap(view), STATUS_SUCCESS);
    ASSERT_EQ(Close(section), STATUS_SUCCESS);
    EXPECT_EQ(node->SectionObjectPointers.DataSectionObject, nullptr);
    ASSERT_EQ(WriteAt(file, 0, "z", 1), STATUS_SUCCESS);
    model[0] = 'z';
    EXPECT_FALSE(node->SectionCreated) << "the first write after the last view clears the section flags";
    ASSERT_EQ(ReadAt(file, 0, model.size(), &got), STATUS_SUCCESS);
    EXPECT_EQ(got, model);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

/*
 * Zeroing a file that a section maps: bytes written through a view are flushed
 * before the range is zeroed and its pages dropped, so neither a new view nor
 * the write-back at the section's end brings them back into the zeroed range,
 * while those outside it survive; a sparse file with a section is zeroed in
 * place and keeps its extents.
 */
TEST_F(MappingTest, ZeroingFlushesAndDropsMappedPagesAndKeepsExtents)
{
    constexpr ULONGLONG kExtentBytes = 2 * kMiB;
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    AllocateScratch(64 * 1024);
    OpenRequest rq;
    rq.access = FILE_READ_DATA | FILE_WRITE_DATA;
    rq.disposition = FILE_CREATE;
    HANDLE file = nullptr;
    ASSERT_EQ(Open("\\z", &file, rq), STATUS_SUCCESS);
    ASSERT_EQ(Fill(file, 3 * kExtentBytes), STATUS_SUCCESS);
    auto *zero = process->New<FILE_ZERO_DATA_INFORMATION>();
    auto control = [&](ULONG code, PVOID input, ULONG length) {
        return support::AsUser(*process, [&] {
            return NtFsControlFile(file, nullptr, nullptr, nullptr, iosb, code, input, length, nullptr, 0);
        });
    };
    ASSERT_EQ(control(FSCTL_SET_SPARSE, nullptr, 0), STATUS_SUCCESS);

    HANDLE section;
    volatile UCHAR *view;
    ASSERT_EQ(CreateSection(file, PAGE_READWRITE, &section), STATUS_SUCCESS);
    ASSERT_EQ(Map(section, PAGE_READWRITE, &view), STATUS_SUCCESS);
    view[10] = 'v';
    view[kExtentBytes + 5] = 'v';
    ASSERT_EQ(Unmap(view), STATUS_SUCCESS);
    LONG64 charged = NodeOf(file)->Vcb->Store.ChargedBytes;
    zero->FileOffset.QuadPart = (LONGLONG)kExtentBytes;
    zero->BeyondFinalZero.QuadPart = (LONGLONG)(3 * kExtentBytes);
    ASSERT_EQ(control(FSCTL_SET_ZERO_DATA, zero, sizeof(*zero)), STATUS_SUCCESS);
    EXPECT_EQ(NodeOf(file)->Vcb->Store.ChargedBytes, charged) << "a mapped file keeps its extents";

    ASSERT_EQ(Map(section, PAGE_READWRITE, &view), STATUS_SUCCESS);
    EXPECT_EQ(view[10], 'v');
    EXPECT_EQ(view[kExtentBytes + 5], 0);
    EXPECT_EQ(view[2 * kExtentBytes + 7], 0);
    ASSERT_EQ(Unmap(view), STATUS_SUCCESS);
    EXPECT_EQ(Close(section), STATUS_SUCCESS);
    std::vector<UCHAR> got;
    ASSERT_EQ(ReadAt(file, 0, 16, &got), STATUS_SUCCESS);
    EXPECT_EQ(got[10], 'v');
    ASSERT_EQ(ReadAt(file, (LONGLONG)kExtentBytes, 16, &got), STATUS_SUCCESS);
    EXPECT_EQ(got[5], 0);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

} // namespace
