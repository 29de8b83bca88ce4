/*
 * Memory-mapped files: sections of the test file system's files, views in a user
 * process, demand paging by paging reads, write-back by paging writes, and the
 * questions and orders a file system gives about them.
 */
#include "section_fixture.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace {

using Offsets = std::vector<LONGLONG>;

TEST_F(SectionTest, TouchedPagesAndOnlyThoseArriveAsPagingReads)
{
    std::string content = Pattern(5 * kPage + 100);
    fs().Add(u"\\f", content);
    HANDLE file = OpenFile("\\??\\T:\\f", false);
    HANDLE section;
    ASSERT_EQ(CreateSection(file, PAGE_READONLY, &section), STATUS_SUCCESS);
    unsigned char *view;
    ASSERT_EQ(Map(section, PAGE_READONLY, &view), STATUS_SUCCESS);
    EXPECT_EQ(Paging(IRP_MJ_READ), Offsets{}) << "mapping reads nothing";

    EXPECT_EQ(view[3 * kPage + 7], 'd');
    EXPECT_EQ(view[10], 'a');
    EXPECT_EQ(view[5 * kPage + 99], 'f');
    EXPECT_EQ(view[5 * kPage + 100], 0) << "beyond the end of file within the last page reads zeros";
    EXPECT_EQ(view[6 * kPage - 1], 0);
    EXPECT_EQ(view[3 * kPage + 4000], 'd') << "a present page is not read again";
    EXPECT_EQ(Paging(IRP_MJ_READ), (Offsets{0, 3 * (LONGLONG)kPage, 5 * (LONGLONG)kPage}));

    // Each one as the memory manager sends it.
    for (const testfs::Seen &seen : fs().Of(IRP_MJ_READ)) {
        EXPECT_EQ(seen.irpFlags & (IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO),
                  (ULONG)(IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO));
        EXPECT_EQ(seen.requestorMode, KernelMode);
        EXPECT_TRUE(seen.hasMdl);
        EXPECT_EQ(seen.stack.Parameters.Read.Length, kPage);
    }
    EXPECT_EQ(memcmp(view, content.data(), content.size()), 0) << "every page equals the file";
    EXPECT_EQ(Paging(IRP_MJ_READ).size(), 3u);
    EXPECT_EQ(Unmap(view), STATUS_SUCCESS);
    EXPECT_EQ(Unmap(view), STATUS_NOT_MAPPED_VIEW);
    EXPECT_EQ(Paging(IRP_MJ_WRITE), Offsets{}) << "nothing was dirty";
    EXPECT_EQ(Close(section), STATUS_SUCCESS);
    EXPECT_EQ(PointersOf(file)->DataSectionObject, nullptr);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(SectionTest, FlushWritesExactlyTheDirtyPagesAndWritesDirtyThemAgain)
{
    auto [file, pointers, section, view] = MapNewFile(6 * kPage);
    ASSERT_NE(view, nullptr);
    memcpy(view + kPage + 10, "ONE", 3);
    EXPECT_EQ(view[2 * kPage], 'c') << "a read leaves its page clean";
    memcpy(view + 4 * kPage, "FOUR", 4);
    EXPECT_EQ(Paging(IRP_MJ_READ), (Offsets{(LONGLONG)kPage, 2 * (LONGLONG)kPage, 4 * (LONGLONG)kPage}));

    ASSERT_EQ(Flush(view, 0), STATUS_SUCCESS);
    EXPECT_EQ(Paging(IRP_MJ_WRITE), (Offsets{(LONGLONG)kPage, 4 * (LONGLONG)kPage}));
    std::string data = Data(u"\\f");
    EXPECT_EQ(data.substr(kPage + 10, 3), "ONE");
    EXPECT_EQ(data.substr(4 * kPage, 4), "FOUR");
    EXPECT_EQ(data.size(), 6 * kPage) << "paging writes never change the size";

    // What NtReadFile returns is what was written through the view.
    char *buffer = UserBytes("", 4);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    auto *offset = process->New<LARGE_INTEGER>();
    offset->QuadPart = 4 * kPage;
    ASSERT_EQ(User([&] { return NtReadFile(file, nullptr, nullptr, nullptr, iosb, buffer, 4, offset, nullptr); }),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 4), "FOUR");

    ASSERT_EQ(Flush(view, 0), STATUS_SUCCESS);
    EXPECT_EQ(Paging(IRP_MJ_WRITE), Offsets{}) << "flushed pages are clean";
    view[4 * kPage + 1] = 'X';
    ASSERT_EQ(Flush(view + 4 * kPage, 1), STATUS_SUCCESS) << "a flush of part of the view";
    EXPECT_EQ(Paging(IRP_MJ_WRITE), Offsets{4 * (LONGLONG)kPage}) << "a write after a flush dirties again";
    EXPECT_EQ(Data(u"\\f")[4 * kPage + 1], 'X');
    EXPECT_EQ(Flush(buffer, 4), STATUS_NOT_MAPPED_VIEW);

    EXPECT_EQ(Unmap(view), STATUS_SUCCESS);
    EXPECT_EQ(Close(section), STATUS_SUCCESS);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(SectionTest, ViewsOfOneFileShareItsPagesAndTheLastUnmapWritesThemBack)
{
    fs().Add(u"\\f", Pattern(3 * kPage));
    HANDLE file = OpenFile("\\??\\T:\\f", true);
    HANDLE first, second;
    ASSERT_EQ(CreateSection(file, PAGE_READWRITE, &first), STATUS_SUCCESS);
    ASSERT_EQ(CreateSection(file, PAGE_READONLY, &second, kPage), STATUS_SUCCESS);
    unsigned char *a, *b, *c;
    ASSERT_EQ(Map(first, PAGE_READWRITE, &a), STATUS_SUCCESS);
    ASSERT_EQ(Map(second, PAGE_READONLY, &b), STATUS_SUCCESS);
    ASSERT_EQ(Map(first, PAGE_READONLY, &c, kPage, 0x10000), STATUS_INVALID_VIEW_SIZE) << "beyond the section";
    ASSERT_EQ(Map(second, PAGE_READWRITE, &c), STATUS_SECTION_PROTECTION);
    EXPECT_EQ(b[0], 'a');
    a[0] = 'Z';
    a[2 * kPage] = 'Y';
    EXPECT_EQ(b[0], 'Z') << "the other view sees the write";
    EXPECT_EQ(Paging(IRP_MJ_READ), (Offsets{0, 2 * (LONGLONG)kPage})) << "one page for both views";

    EXPECT_EQ(Unmap(a), STATUS_SUCCESS);
    EXPECT_EQ(Paging(IRP_MJ_WRITE), Offsets{}) << "a view is left: nothing written yet";
    EXPECT_EQ(Unmap(b), STATUS_SUCCESS);
    EXPECT_EQ(Paging(IRP_MJ_WRITE), (Offsets{0, 2 * (LONGLONG)kPage})) << "the last unmap writes back";
    EXPECT_EQ(Data(u"\\f")[0], 'Z');
    EXPECT_EQ(Data(u"\\f")[2 * kPage], 'Y');
    EXPECT_EQ(Close(first), STATUS_SUCCESS);
    EXPECT_EQ(Close(second), STATUS_SUCCESS);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(SectionTest, ReadAndWriteRequestsUseViewsAsTheirBuffers)
{
    for (ULONG method : {(ULONG)0, (ULONG)DO_BUFFERED_IO, (ULONG)DO_DIRECT_IO}) {
        SCOPED_TRACE(method);
        fs().volumeFlags = method;
        fs().Add(u"\\src", Pattern(2 * kPage));
        fs().Add(u"\\dst", std::string(2 * kPage, '.'));
        HANDLE src = OpenFile("\\??\\T:\\src", false);
        HANDLE dst = OpenFile("\\??\\T:\\dst", true);
        HANDLE section;
        ASSERT_EQ(CreateSection(dst, PAGE_READWRITE, &section), STATUS_SUCCESS);
        unsigned char *view;
        ASSERT_EQ(Map(section, PAGE_READWRITE, &view), STATUS_SUCCESS);
        auto *iosb = process->New<IO_STATUS_BLOCK>();
        auto *offset = process->New<LARGE_INTEGER>();
        offset->QuadPart = kPage;
        // The read fills the view (faulting its page in first), the write sends the view out.
        ASSERT_EQ(User([&] { return NtReadFile(src, nullptr, nullptr, nullptr, iosb, view + 8, 100, offset, nullptr); }),
                  STATUS_SUCCESS);
        EXPECT_EQ(memcmp(view + 8, Pattern(2 * kPage).data() + kPage, 100), 0);
        EXPECT_EQ(view[0], '.') << "the rest of the page came from the file";
        ASSERT_EQ(Flush(view, 0), STATUS_SUCCESS);
        EXPECT_EQ(Data(u"\\dst").substr(8, 100), std::string(100, 'b'));
        ASSERT_EQ(User([&] { return NtWriteFile(src, nullptr, nullptr, nullptr, iosb, view, 8, offset, nullptr); }),
                  STATUS_ACCESS_DENIED)
            << "a read-only handle";
        EXPECT_EQ(Unmap(view), STATUS_SUCCESS);
        EXPECT_EQ(Close(section), STATUS_SUCCESS);
        EXPECT_EQ(Close(src), STATUS_SUCCESS);
        EXPECT_EQ(Close(dst), STATUS_SUCCESS);
    }
}

TEST_F(SectionTest, BadRequestsAreRefusedAndLeaveNoSection)
{
    fs().Add(u"\\empty", "");
    fs().Add(u"\\f", Pattern(kPage));
    HANDLE empty = OpenFile("\\??\\T:\\empty", true);
    HANDLE file = OpenFile("\\??\\T:\\f", false);
    HANDLE section;
    EXPECT_EQ(CreateSection(empty, PAGE_READWRITE, &section), STATUS_MAPPED_FILE_SIZE_ZERO);
    EXPECT_EQ(CreateSection(file, PAGE_READWRITE, &section), STATUS_ACCESS_DENIED) << "a handle that cannot write";
    EXPECT_EQ(CreateSection(file, PAGE_READONLY, &section, 2 * kPage), STATUS_SECTION_TOO_BIG);
    EXPECT_EQ(CreateSection(file, 0x3, &section), STATUS_INVALID_PAGE_PROTECTION);
    EXPECT_EQ(User([&] {
                  return NtCreateSection(process->New<HANDLE>(), SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READONLY,
                                         SEC_IMAGE, file);
              }),
              STATUS_NOT_SUPPORTED);
    HANDLE kernel = nullptr;
    EXPECT_EQ(User([&] {
                  return NtCreateSection(&kernel, SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READONLY, SEC_COMMIT, file);
              }),
              STATUS_ACCESS_VIOLATION)
        << "a handle outside user space";
    EXPECT_EQ(PointersOf(file)->DataSectionObject, nullptr);
    EXPECT_EQ(PointersOf(empty)->DataSectionObject, nullptr);
    EXPECT_EQ(Close(empty), STATUS_SUCCESS);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(SectionTest, TruncationPurgeAndWritableReferencesFollowViewsAndSections)
{
    auto [file, pointers, section, view] = MapNewFile(4 * kPage, kPage); /* the view: only the first page */
    ASSERT_NE(view, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = kPage;
    EXPECT_FALSE(MmCanFileBeTruncated(pointers, nullptr)) << "the view maps what would go";
    EXPECT_FALSE(MmCanFileBeTruncated(pointers, &size)) << "the section is still referenced";
    EXPECT_EQ(MmDoesFileHaveUserWritableReferences(pointers), 2u) << "the section and its view";
    EXPECT_FALSE(MmForceSectionClosed(pointers, FALSE));
    EXPECT_TRUE(MmFlushImageSection(pointers, MmFlushForDelete)) << "no image section";

    LARGE_INTEGER from;
    from.QuadPart = 2 * kPage;
    EXPECT_FALSE(CcPurgeCacheSection(pointers, nullptr, 0, FALSE)) << "the view maps the file";
    EXPECT_TRUE(CcPurgeCacheSection(pointers, &from, 0, FALSE)) << "no view maps pages 2 and 3";
    EXPECT_EQ(view[5], 'a');
    EXPECT_EQ(Paging(IRP_MJ_READ), Offsets{0});

    ASSERT_EQ(Unmap(view), STATUS_SUCCESS);
    EXPECT_EQ(MmDoesFileHaveUserWritableReferences(pointers), 1u);
    EXPECT_FALSE(MmCanFileBeTruncated(pointers, nullptr)) << "the section handle is still open";
    EXPECT_TRUE(CcPurgeCacheSection(pointers, nullptr, 0, TRUE)) << "nothing maps the file now";
    {
        std::lock_guard<std::mutex> guard(fs().lock);
        fs().Find(u"\\f")->data[5] = '!';
    }
    ASSERT_EQ(Map(section, PAGE_READONLY, &view), STATUS_SUCCESS);
    EXPECT_EQ(view[5], '!') << "a purged page is read again";
    EXPECT_EQ(Paging(IRP_MJ_READ), Offsets{0});
    ASSERT_EQ(Unmap(view), STATUS_SUCCESS);

    ASSERT_EQ(Close(section), STATUS_SUCCESS);
    EXPECT_EQ(pointers->DataSectionObject, nullptr);
    EXPECT_TRUE(MmCanFileBeTruncated(pointers, nullptr));
    EXPECT_TRUE(MmForceSectionClosed(pointers, TRUE));
    EXPECT_EQ(MmDoesFileHaveUserWritableReferences(pointers), 0u);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(SectionTest, CoherencyFlushWritesDirtyPagesAndPurgesUnlessAskedNotTo)
{
    auto [file, pointers, section, view] = MapNewFile(3 * kPage);
    ASSERT_NE(view, nullptr);
    view[1] = 'P';
    view[2 * kPage] = 'Q';
    EXPECT_EQ(Paging(IRP_MJ_READ).size(), 2u);

    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    CcCoherencyFlushAndPurgeCache(pointers, &offset, 10, &iosb, CC_FLUSH_AND_PURGE_NO_PURGE);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(Paging(IRP_MJ_WRITE), Offsets{0}) << "only the range";
    EXPECT_EQ(Data(u"\\f")[1], 'P');
    EXPECT_EQ(view[1], 'P');
    EXPECT_EQ(Paging(IRP_MJ_READ), Offsets{}) << "not purged: the page stays";

    // The file system changes the file under the mapping, then purges: the view reads it again.
    {
        std::lock_guard<std::mutex> guard(fs().lock);
        fs().Find(u"\\f")->data[2] = '#';
    }
    PFILE_OBJECT object = FileOf(file);
    PERESOURCE resource = static_cast<PFSRTL_COMMON_FCB_HEADER>(object->FsContext)->Resource;
    ObDereferenceObject(object);
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(resource, TRUE); /* as a file system calls it */
    CcCoherencyFlushAndPurgeCache(pointers, nullptr, 0, &iosb, 0);
    ExReleaseResourceLite(resource);
    KeLeaveCriticalRegion();
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_EQ(Paging(IRP_MJ_WRITE), Offsets{2 * (LONGLONG)kPage}) << "the other dirty page first";
    EXPECT_EQ(view[2], '#');
    EXPECT_EQ(view[2 * kPage], 'Q');
    EXPECT_EQ(Paging(IRP_MJ_READ), (Offsets{0, 2 * (LONGLONG)kPage})) << "both pages read again";

    EXPECT_EQ(Unmap(view), STATUS_SUCCESS);
    EXPECT_EQ(Paging(IRP_MJ_WRITE), Offsets{}) << "nothing dirty is left";
    EXPECT_EQ(Close(section), STATUS_SUCCESS);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

TEST_F(SectionTest, AnEndingProcessUnmapsItsViewsWritesThemBackAndLeavesNothing)
{
    auto [file, pointers, section, view] = MapNewFile(2 * kPage);
    ASSERT_NE(view, nullptr);
    view[kPage] = 'E';
    process.reset(); /* exits with its handles and its view */
    EXPECT_EQ(Paging(IRP_MJ_WRITE), Offsets{(LONGLONG)kPage});
    EXPECT_EQ(Data(u"\\f")[kPage], 'E');
    EXPECT_EQ(pointers->DataSectionObject, nullptr) << "the control area went with the last reference";
    // The machine's audit at teardown finds no pool, handle, section or view left.
}

/* Section synchronisation: how the file system is asked to hold the file while a section is made. */
struct SyncRecord {
    int filterCalls = 0;
    ULONG syncType = 0;
    ULONG protection = 0;
    UCHAR operation = 0;
    NTSTATUS answer = STATUS_FILE_LOCKED_WITH_ONLY_READERS;
    int acquires = 0;
    int releases = 0;
    bool heldDuringFilter = false;
};
SyncRecord syncRecord;

PERESOURCE ResourceOf(PFILE_OBJECT file)
{
    return static_cast<PFSRTL_COMMON_FCB_HEADER>(file->FsContext)->Resource;
}

NTSTATUS NTAPI PreAcquire(PFS_FILTER_CALLBACK_DATA data, PVOID *)
{
    syncRecord.filterCalls++;
    syncRecord.syncType = data->Parameters.AcquireForSectionSynchronization.SyncType;
    syncRecord.protection = data->Parameters.AcquireForSectionSynchronization.PageProtection;
    syncRecord.operation = data->Operation;
    if (NT_SUCCESS(syncRecord.answer) && syncRecord.answer != STATUS_SUCCESS)
        ExAcquireResourceExclusiveLite(ResourceOf(data->FileObject), TRUE);
    return syncRecord.answer;
}

VOID NTAPI AcquireForSection(PFILE_OBJECT file)
{
    syncRecord.acquires++;
    ExAcquireResourceExclusiveLite(ResourceOf(file), TRUE);
}

VOID NTAPI ReleaseForSection(PFILE_OBJECT file)
{
    syncRecord.releases++;
    ExReleaseResourceLite(ResourceOf(file));
}

TEST_F(SectionTest, CreationHoldsTheFileThroughTheFileSystemsOwnCallbacks)
{
    fs().Add(u"\\f", Pattern(kPage));
    HANDLE file = OpenFile("\\??\\T:\\f", true);
    PFILE_OBJECT object = FileOf(file);
    PERESOURCE resource = ResourceOf(object);
    ObDereferenceObject(object);
    syncRecord = SyncRecord{};
    HANDLE section;

    // The header's resource when the file system offers nothing.
    ASSERT_EQ(CreateSection(file, PAGE_READONLY, &section), STATUS_SUCCESS);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(resource));
    EXPECT_EQ(Close(section), STATUS_SUCCESS);

    // Its fast I/O pair.
    fs().fastIo.AcquireFileForNtCreateSection = AcquireForSection;
    fs().fastIo.ReleaseFileForNtCreateSection = ReleaseForSection;
    ASSERT_EQ(CreateSection(file, PAGE_READWRITE, &section), STATUS_SUCCESS);
    EXPECT_EQ(syncRecord.acquires, 1);
    EXPECT_EQ(syncRecord.releases, 1);
    EXPECT_EQ(Close(section), STATUS_SUCCESS);

    // Its filter callback comes first; its success statuses mean the file is held, and the
    // release is the fast I/O one.
    FS_FILTER_CALLBACKS callbacks{};
    callbacks.SizeOfFsFilterCallbacks = sizeof(callbacks);
    callbacks.PreAcquireForSectionSynchronization = PreAcquire;
    ASSERT_EQ(FsRtlRegisterFileSystemFilterCallbacks(fs().fsDriver, &callbacks), STATUS_SUCCESS);
    for (NTSTATUS answer : {STATUS_FILE_LOCKED_WITH_ONLY_READERS, STATUS_FILE_LOCKED_WITH_WRITERS,
                            STATUS_FSFILTER_OP_COMPLETED_SUCCESSFULLY}) {
        syncRecord = SyncRecord{};
        syncRecord.answer = answer;
        ASSERT_EQ(CreateSection(file, PAGE_READWRITE, &section), STATUS_SUCCESS);
        EXPECT_EQ(syncRecord.filterCalls, 1);
        EXPECT_EQ(syncRecord.syncType, (ULONG)SyncTypeCreateSection);
        EXPECT_EQ(syncRecord.protection, (ULONG)PAGE_READWRITE);
        EXPECT_EQ(syncRecord.operation, FS_FILTER_ACQUIRE_FOR_SECTION_SYNCHRONIZATION);
        EXPECT_EQ(syncRecord.acquires, 0);
        EXPECT_EQ(syncRecord.releases, 1);
        EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(resource));
        EXPECT_EQ(Close(section), STATUS_SUCCESS);
    }

    // Without a release entry the header's resource is released.
    fs().fastIo.AcquireFileForNtCreateSection = nullptr;
    fs().fastIo.ReleaseFileForNtCreateSection = nullptr;
    syncRecord = SyncRecord{};
    ASSERT_EQ(CreateSection(file, PAGE_READONLY, &section), STATUS_SUCCESS);
    EXPECT_EQ(syncRecord.protection, (ULONG)PAGE_READONLY);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(resource));
    EXPECT_EQ(Close(section), STATUS_SUCCESS);

    // A failure aborts the creation with its status.
    syncRecord = SyncRecord{};
    syncRecord.answer = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(CreateSection(file, PAGE_READONLY, &section), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PointersOf(file)->DataSectionObject, nullptr);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

using SectionDeathTest = SectionTest;

void MarkPreviousHandler(int)
{
    static const char text[] = "previous handler reached\n";
    (void)!write(2, text, sizeof(text) - 1);
    _exit(3);
}

TEST_F(SectionDeathTest, FaultsOutsideViewsAndWritesToReadOnlyViewsReachThePreviousHandler)
{
    fs().Add(u"\\f", Pattern(kPage));
    auto run = [&](bool intoView) {
        signal(SIGSEGV, MarkPreviousHandler);
        HANDLE file = OpenFile("\\??\\T:\\f", false);
        HANDLE section;
        unsigned char *view;
        if (CreateSection(file, PAGE_READONLY, &section) != STATUS_SUCCESS ||
            Map(section, PAGE_READONLY, &view) != STATUS_SUCCESS)
            _exit(1);
        if (view[0] != 'a')
            _exit(2); /* views still page in with the handler chained */
        volatile unsigned char *target = intoView ? view : reinterpret_cast<unsigned char *>(16);
        *target = 1;
    };
    EXPECT_EXIT(run(false), testing::ExitedWithCode(3), "previous handler reached");
    EXPECT_EXIT(run(true), testing::ExitedWithCode(3), "previous handler reached");
}

} // namespace

namespace {

TEST_F(SectionTest, ThreadsTouchingOnePageTogetherGetOnePagingReadAndWritesDuringFlushesAreNotLost)
{
    constexpr size_t kPages = 16;
    auto [file, pointers, section, view] = MapNewFile(kPages * kPage);
    ASSERT_NE(view, nullptr);
    HANDLE readOnly;
    ASSERT_EQ(CreateSection(file, PAGE_READONLY, &readOnly), STATUS_SUCCESS);
    unsigned char *reader;
    ASSERT_EQ(Map(readOnly, PAGE_READONLY, &reader), STATUS_SUCCESS);

    // Readers race for every page of a read-only view: each page is read in once.
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < kPages; i++) {
                size_t page = (i + (size_t)t) % kPages;
                if (reader[page * kPage + 5] != (unsigned char)('a' + page))
                    wrong++;
            }
        });
    for (auto &thread : threads)
        thread.join();
    threads.clear();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(Paging(IRP_MJ_READ).size(), kPages);

    // A writer keeps writing while the view is flushed: what it wrote last reaches the file.
    std::atomic<bool> stop{false};
    std::atomic<unsigned> last{0};
    std::thread writer([&] {
        for (unsigned n = 1; !stop.load(); n++) {
            for (size_t page = 0; page < kPages; page += 3)
                memcpy(view + page * kPage, &n, sizeof(n));
            last.store(n);
        }
    });
    for (int round = 0; round < 20; round++) {
        unsigned before = last.load();
        EXPECT_EQ(Flush(view, 0), STATUS_SUCCESS);
        while (last.load() == before)
            std::this_thread::yield(); /* the writer wrote all its pages again meanwhile */
    }
    stop.store(true);
    writer.join();
    ASSERT_EQ(Flush(view, 0), STATUS_SUCCESS);
    std::string data = Data(u"\\f");
    for (size_t page = 0; page < kPages; page += 3) {
        unsigned seen;
        memcpy(&seen, data.data() + page * kPage, sizeof(seen));
        EXPECT_EQ(seen, last.load()) << "page " << page;
        EXPECT_EQ(reader[page * kPage + 1], (unsigned char)data[page * kPage + 1]) << "the other view agrees";
    }
    EXPECT_EQ(Unmap(reader), STATUS_SUCCESS);
    EXPECT_EQ(Unmap(view), STATUS_SUCCESS);
    EXPECT_EQ(Close(readOnly), STATUS_SUCCESS);
    EXPECT_EQ(Close(section), STATUS_SUCCESS);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

} // namespace

namespace {

TEST_F(SectionTest, APageBeingReadInCannotBePurgedAndTheCoherencyFlushSaysSo)
{
    auto [file, pointers, section, view] = MapNewFile(2 * kPage);
    ASSERT_NE(view, nullptr);
    std::atomic<bool> entered{false}, release{false};
    fs().hooks[IRP_MJ_READ] = [&](PDEVICE_OBJECT, PIRP irp) {
        if (irp->Flags & IRP_PAGING_IO) {
            entered = true;
            while (!release.load())
                std::this_thread::yield();
        }
        return testfs::kNotHandled;
    };
    unsigned char seen = 0;
    std::thread toucher([&] { seen = view[kPage + 3]; });
    while (!entered.load())
        std::this_thread::yield();
    IO_STATUS_BLOCK iosb{};
    CcCoherencyFlushAndPurgeCache(pointers, nullptr, 0, &iosb, 0);
    EXPECT_EQ(iosb.Status, STATUS_CACHE_PAGE_LOCKED) << "the page in transition stays";
    EXPECT_TRUE(NT_SUCCESS(iosb.Status));
    release = true;
    toucher.join();
    fs().hooks[IRP_MJ_READ] = nullptr;
    EXPECT_EQ(seen, 'b');
    CcCoherencyFlushAndPurgeCache(pointers, nullptr, 0, &iosb, 0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS) << "nothing in transition now";
    EXPECT_EQ(Unmap(view), STATUS_SUCCESS);
    EXPECT_EQ(Close(section), STATUS_SUCCESS);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

} // namespace
