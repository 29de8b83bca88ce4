/*
 * Cold-file compression on a mounted volume: files left alone are packed by the
 * volume's worker and read, overwritten, truncated, zeroed, cloned and mapped
 * afterwards with exactly their bytes, against a model; the charge of the volume
 * never moves by compression and its held bytes fall by what it saved; hot and
 * recently decoded files are left alone; level none drains the queue; a full
 * volume still takes writes into packed extents; a damaged form is reported, not
 * read past.
 */
#include "cold_volume_test.h"
#include "system_threads.h"

#include <atomic>

namespace {

constexpr ULONG kColdSeconds = 80; /* the cold delay, a round wait and some */

class ColdCompressionTest : public ColdVolumeTest, public ::testing::WithParamInterface<ULONG> {};

/* The files of the model test: what each one holds. */
struct ModelFile {
    std::string path;
    std::vector<UCHAR> bytes;
};

/* Every model file read back whole, byte for byte. */
#define EXPECT_FILES_MATCH(files, step)                                                                            \
    for (auto &file : files) {                                                                                     \
        HANDLE h = OpenFile(file.path);                                                                            \
        std::vector<UCHAR> got;                                                                                    \
        EXPECT_EQ(Get(h, 0, file.bytes.size() + 4096, &got), STATUS_SUCCESS) << file.path << " " << step;        \
        EXPECT_TRUE(got == file.bytes) << file.path << " differs " << step;                                       \
        Close(h);                                                                                                  \
    }

/*
 * The model test, once per level: text, source-like, noise, zeros and a file too
 * small to pack go cold and are packed; then every kind of access runs against
 * the model, and each is followed by a full comparison.
 */
TEST_P(ColdCompressionTest, PackedFilesKeepTheirBytesThroughEveryChange)
{
    const ULONG level = GetParam();
    ASSERT_EQ(SetLevel('R', level), STATUS_SUCCESS);
    std::vector<ModelFile> files = {
        {"\\text", Text(5 * kMiB + 100000, 1)},
        {"\\mixed", Text(6 * kMiB, 2)},
        {"\\noise", Noise(2 * kMiB, 3)},
        {"\\zeros", std::vector<UCHAR>(64 * 1024, 0)},
        {"\\small", Text(63 * 1024, 4)},
        {"\\single", Text(700 * 1024, 5)},
    };
    /* Noise inside the mixed file's middle extent: that one is not worth packing. */
    std::vector<UCHAR> noise = Noise(kExtent, 6);
    std::copy(noise.begin(), noise.end(), files[1].bytes.begin() + kExtent);
    for (auto &file : files)
        MakeFile(file.path, file.bytes);
    LONG64 chargedBefore = VolumeCharged();
    LONG64 heldBefore = VolumeHeld();

    LetTimePass(kColdSeconds);
    VOREL_COMPRESSION_STATISTICS stats = Statistics();
    EXPECT_EQ(stats.ExtentsCompressed, 6u) << "text 3, mixed 2 (one noise), single 1";
    EXPECT_EQ(stats.ExtentsNotWorthCompressing, 2u) << "the noise file and the mixed file's noise extent";
    EXPECT_EQ(stats.ZeroExtentsReleased, 1u);
    EXPECT_EQ(stats.CompressedFiles, 3u);
    EXPECT_EQ(stats.ExtentsDecompressed, 0u);
    EXPECT_EQ(NodeAt("\\small")->Data.CompressedExtentCount, 0u) << "a file below 64 KiB is never packed";
    EXPECT_EQ(NodeAt("\\noise")->Data.CompressedExtentCount, 0u);
    /* Only the released zeros give charge back; packing moves held bytes only. */
    EXPECT_EQ(VolumeCharged(), chargedBefore - (LONG64)(64 * 1024));
    EXPECT_LT(VolumeHeld(), heldBefore - (LONG64)(4 * kMiB));
    EXPECT_EQ((LONG64)stats.HeldBytes, VolumeHeld());
    EXPECT_FILES_MATCH(files, "after packing");
    EXPECT_EQ(Statistics().ExtentsDecompressed, 0u) << "reads decode into the handle's window, not the extent";

    /* Overwrites in part, across an extent boundary of the packed text. */
    std::mt19937 random(level);
    {
        HANDLE h = OpenFile("\\text");
        std::vector<UCHAR> patch = Noise(300000, 7);
        ULONGLONG at = kExtent - 100000;
        Put(h, at, patch);
        std::copy(patch.begin(), patch.end(), files[0].bytes.begin() + (long)at);
        Close(h);
    }
    EXPECT_FILES_MATCH(files, "after the overwrite");
    EXPECT_EQ(Statistics().ExtentsDecompressed, 2u);

    /* Truncation inside a packed extent, then growth back: the cut-off bytes read as zeros. */
    {
        HANDLE h = OpenFile("\\text");
        ASSERT_EQ(SetEndOfFile(h, 4 * kMiB + 12345), STATUS_SUCCESS);
        ASSERT_EQ(SetEndOfFile(h, 5 * kMiB), STATUS_SUCCESS);
        files[0].bytes.resize(4 * kMiB + 12345);
        files[0].bytes.resize(5 * kMiB, 0);
        Close(h);
    }
    EXPECT_FILES_MATCH(files, "after the truncation");

    /* Zeroing a range of the packed single-buffer file and of the mixed file. */
    for (size_t which : {size_t(1), size_t(5)}) {
        HANDLE h = OpenFile(files[which].path);
        ULONGLONG from = random() % files[which].bytes.size();
        ULONGLONG to = std::min<ULONGLONG>(files[which].bytes.size(), from + 1 + random() % (3 * kMiB));
        FILE_ZERO_DATA_INFORMATION zero{{.QuadPart = (LONGLONG)from}, {.QuadPart = (LONGLONG)to}};
        ASSERT_EQ(Fsctl(h, FSCTL_SET_ZERO_DATA, zero).status, STATUS_SUCCESS);
        std::fill(files[which].bytes.begin() + (long)from, files[which].bytes.begin() + (long)to, 0);
        Close(h);
    }
    EXPECT_FILES_MATCH(files, "after zeroing");

    /* Let everything go cold again, then clone packed extents into a new file. */
    LetTimePass(400);
    {
        HANDLE source = OpenFile("\\mixed");
        HANDLE target = OpenFile("\\clone");
        ASSERT_EQ(SetEndOfFile(target, 3 * kMiB), STATUS_SUCCESS);
        DUPLICATE_EXTENTS_DATA clone{source, {.QuadPart = 0}, {.QuadPart = 0}, {.QuadPart = (LONGLONG)(3 * kMiB)}};
        ASSERT_EQ(Fsctl(target, FSCTL_DUPLICATE_EXTENTS_TO_FILE, clone).status, STATUS_SUCCESS);
        Close(source);
        Close(target);
        files.push_back({"\\clone", std::vector<UCHAR>(files[1].bytes.begin(), files[1].bytes.begin() + 3 * kMiB)});
    }
    EXPECT_FILES_MATCH(files, "after the clone");

    /* The allocated ranges of a packed file count its packed extents as allocated. */
    LetTimePass(400);
    {
        HANDLE h = OpenFile("\\text");
        ASSERT_GT(NodeOf(h)->Data.CompressedExtentCount, 0u);
        FILE_ALLOCATED_RANGE_BUFFER query{{.QuadPart = 0}, {.QuadPart = (LONGLONG)(5 * kMiB)}};
        Reply reply = Fsctl(h, FSCTL_QUERY_ALLOCATED_RANGES, query, 64);
        ASSERT_EQ(reply.status, STATUS_SUCCESS);
        ASSERT_EQ(reply.output.size(), 16u);
        auto *range = reinterpret_cast<const FILE_ALLOCATED_RANGE_BUFFER *>(reply.output.data());
        EXPECT_EQ(range->FileOffset.QuadPart, 0);
        EXPECT_EQ(range->Length.QuadPart, (LONGLONG)(5 * kMiB));
        Close(h);
    }
    EXPECT_FILES_MATCH(files, "at the end");
}

INSTANTIATE_TEST_SUITE_P(Levels, ColdCompressionTest,
                         ::testing::Values(COMPRESSION_LEVEL_FAST, COMPRESSION_LEVEL_NORMAL, COMPRESSION_LEVEL_MAX));

class ColdWorkerTest : public ColdVolumeTest {
protected:
    ULONGLONG VolumeBytes() override { return 48 * kMiB; }

    /* A file of bytes left to go cold on a volume of level: a handle on it, its node holding Packed extents. */
    HANDLE PackedFile(const std::string &path, ULONG level, const std::vector<UCHAR> &bytes, ULONG packed)
    {
        EXPECT_EQ(SetLevel('R', level), STATUS_SUCCESS);
        MakeFile(path, bytes);
        LetTimePass(kColdSeconds);
        HANDLE h = OpenFile(path);
        EXPECT_EQ(NodeOf(h)->Data.CompressedExtentCount, packed) << path;
        return h;
    }
};

/*
 * A file written again and again stays unpacked; one whose packed extent was just
 * decoded by a write is left alone for the guard time, then packed again.
 */
TEST_F(ColdWorkerTest, HotAndRecentlyDecodedFilesAreLeftAlone)
{
    ASSERT_EQ(SetLevel('R', COMPRESSION_LEVEL_FAST), STATUS_SUCCESS);
    std::vector<UCHAR> text = Text(4 * kMiB, 11);
    MakeFile("\\hot", text);
    HANDLE h = OpenFile("\\hot");
    for (int i = 0; i < 12; ++i) {
        Put(h, 0, text, 0, 4096);
        Put(h, kExtent, text, kExtent, 4096);
        LetTimePass(10);
    }
    EXPECT_EQ(NodeOf(h)->Data.CompressedExtentCount, 0u) << "both extents touched every 10 s: never cold";
    Close(h);
    LetTimePass(kColdSeconds);
    PFCB node = NodeAt("\\hot");
    ASSERT_EQ(node->Data.CompressedExtentCount, 2u);

    h = OpenFile("\\hot");
    Put(h, 0, text, 0, 10);                       /* decodes extent 0 */
    Close(h);
    EXPECT_EQ(node->Data.CompressedExtentCount, 1u);
    LetTimePass(200);
    EXPECT_EQ(node->Data.CompressedExtentCount, 1u) << "decoded less than 300 s ago";
    LetTimePass(200);
    EXPECT_EQ(node->Data.CompressedExtentCount, 2u);
    EXPECT_EQ(Statistics().ExtentsCompressed, 3u);
}

/* Level none empties the queue at once and decodes nothing; packed extents stay packed. */
TEST_F(ColdWorkerTest, LevelNoneDrainsTheQueueAndDecodesNothing)
{
    ASSERT_EQ(SetLevel('R', COMPRESSION_LEVEL_MAX), STATUS_SUCCESS);
    MakeFile("\\a", Text(3 * kMiB, 21));
    LetTimePass(kColdSeconds);
    ASSERT_EQ(Statistics().CompressedFiles, 1u);
    MakeFile("\\b", Text(3 * kMiB, 22));
    PVCB vcb = MountedVcb();
    ASSERT_EQ(vcb->ColdQueue.Count, 1u);
    ASSERT_EQ(SetLevel('R', COMPRESSION_LEVEL_NONE), STATUS_SUCCESS);
    LetTimePass(1);
    EXPECT_EQ(vcb->ColdQueue.Count, 0u);
    LetTimePass(kColdSeconds);
    VOREL_COMPRESSION_STATISTICS stats = Statistics();
    EXPECT_EQ(stats.CompressedFiles, 1u);
    EXPECT_EQ(stats.ExtentsDecompressed, 0u);
    EXPECT_EQ(NodeAt("\\b")->Data.CompressedExtentCount, 0u);
    MakeFile("\\c", Text(3 * kMiB, 23));
    EXPECT_EQ(vcb->ColdQueue.Count, 0u) << "nothing joins while compression is off";

    /* A level for a letter without a volume, or for one dismounted with packed files, is refused. */
    EXPECT_EQ(SetLevel('Q', COMPRESSION_LEVEL_FAST), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(Dismount('R'), STATUS_SUCCESS);
    EXPECT_EQ(SetLevel('R', COMPRESSION_LEVEL_FAST), STATUS_OBJECT_NAME_NOT_FOUND);
}

/*
 * On a full volume a write into a packed extent still succeeds (the extent kept
 * its charge), and a write that needs a new extent fails with disk full and
 * changes nothing.
 */
TEST_F(ColdWorkerTest, AFullVolumeTakesWritesIntoPackedExtentsAndRefusesNewOnes)
{
    std::vector<UCHAR> text = Text(6 * kMiB, 31);
    Close(PackedFile("\\packed", COMPRESSION_LEVEL_FAST, text, 3));

    /* Fill the volume with noise until it refuses. */
    HANDLE filler = OpenFile("\\filler");
    std::vector<UCHAR> noise = Noise(kExtent, 32);
    ULONGLONG at = 0;
    while (WriteAt(filler, (LONGLONG)at, noise.data(), noise.size()) == STATUS_SUCCESS)
        at += kExtent;
    Close(filler);

    HANDLE h = OpenFile("\\packed");
    std::vector<UCHAR> patch = Noise(8192, 33);
    ASSERT_EQ(WriteAt(h, (LONGLONG)(3 * kMiB), patch.data(), patch.size()), STATUS_SUCCESS);
    std::copy(patch.begin(), patch.end(), text.begin() + (long)(3 * kMiB));
    EXPECT_EQ(WriteAt(h, (LONGLONG)(9 * kMiB), patch.data(), patch.size()), STATUS_DISK_FULL);
    std::vector<UCHAR> got;
    ASSERT_EQ(Get(h, 0, text.size() + 1, &got), STATUS_SUCCESS);
    EXPECT_TRUE(got == text);
    Close(h);
}

/* A stored form damaged in memory: reads and writes of its extent fail with a data error and change nothing. */
TEST_F(ColdWorkerTest, ADamagedFormIsReportedAndNothingChanges)
{
    std::vector<UCHAR> text = Text(4 * kMiB, 41);
    HANDLE h = PackedFile("\\damaged", COMPRESSION_LEVEL_NORMAL, text, 2);
    PFCB node = NodeOf(h);
    ASSERT_EQ(node->Data.CompressedExtentCount, 2u);
    PCOMPRESSED_EXTENT form = node->Data.Extents[1].Compressed;
    form->Pages->Base[form->StoredLength / 2] ^= 0x5A;

    std::vector<UCHAR> got;
    EXPECT_EQ(ReadAt(h, (LONGLONG)kExtent, kExtent, &got), STATUS_DATA_ERROR);
    EXPECT_EQ(WriteAt(h, (LONGLONG)(3 * kMiB), "x", 1), STATUS_DATA_ERROR);
    EXPECT_EQ(node->Data.CompressedExtentCount, 2u);
    ASSERT_EQ(ReadAt(h, 0, 100000, &got), STATUS_SUCCESS) << "the other extent reads as ever";
    EXPECT_TRUE(std::equal(got.begin(), got.end(), text.begin()));
    Close(h);
}

/* Two files sharing one single buffer are left as they are: packing one would first copy it. */
TEST_F(ColdWorkerTest, ASharedSingleBufferIsNotCopiedToBePacked)
{
    ASSERT_EQ(SetLevel('R', COMPRESSION_LEVEL_FAST), STATUS_SUCCESS);
    std::vector<UCHAR> text = Text(kMiB, 81);
    MakeFile("\\a", text);
    HANDLE a = OpenFile("\\a");
    HANDLE b = OpenFile("\\b");
    ASSERT_EQ(SetEndOfFile(b, kMiB), STATUS_SUCCESS);
    DUPLICATE_EXTENTS_DATA clone{a, {.QuadPart = 0}, {.QuadPart = 0}, {.QuadPart = (LONGLONG)kMiB}};
    ASSERT_EQ(Fsctl(b, FSCTL_DUPLICATE_EXTENTS_TO_FILE, clone).status, STATUS_SUCCESS);
    ASSERT_NE(NodeOf(b)->Data.SingleFlags & SINGLE_SHARED, 0u);
    Close(a);
    Close(b);
    LONG64 held = VolumeHeld();
    LetTimePass(kColdSeconds);
    EXPECT_EQ(Statistics().ExtentsCompressed, 0u);
    EXPECT_EQ(VolumeHeld(), held);
    for (const char *path : {"\\a", "\\b"}) {
        HANDLE h = OpenFile(path);
        std::vector<UCHAR> got;
        ASSERT_EQ(Get(h, 0, text.size() + 1, &got), STATUS_SUCCESS);
        EXPECT_TRUE(got == text) << path;
        Close(h);
    }
}

/* A packed file mapped into memory is decoded first: the view shows its bytes. */
TEST_F(ColdWorkerTest, AMappedPackedFileShowsItsBytes)
{
    std::vector<UCHAR> text = Text(3 * kMiB, 51);
    HANDLE h = PackedFile("\\mapped", COMPRESSION_LEVEL_MAX, text, 2);
    auto *section = process->New<HANDLE>();
    ASSERT_EQ(support::AsUser(*process, [&] {
                  return NtCreateSection(section, SECTION_ALL_ACCESS, nullptr, nullptr, PAGE_READONLY, SEC_COMMIT, h);
              }),
              STATUS_SUCCESS);
    EXPECT_EQ(NodeOf(h)->Data.CompressedExtentCount, 0u);
    auto *address = process->New<PVOID>();
    auto *size = process->New<SIZE_T>();
    ASSERT_EQ(support::AsUser(*process, [&] {
                  return NtMapViewOfSection(*section, NtCurrentProcess(), address, 0, 0, nullptr, size, ViewUnmap, 0,
                                            PAGE_READONLY);
              }),
              STATUS_SUCCESS);
    const UCHAR *view = static_cast<const UCHAR *>(*address);
    EXPECT_TRUE(std::equal(text.begin(), text.end(), view));
    support::AsUser(*process, [&] { return NtUnmapViewOfSection(NtCurrentProcess(), *address); });
    Close(*section);
    /* A mapped file is not packed while its section lasts. */
    LetTimePass(kColdSeconds);
    Close(h);
}


/*
 * Writers and readers on their own files while the worker packs them between
 * their bursts: every read matches its writer's model, and both packing and
 * decoding happened.
 */
TEST_F(ColdWorkerTest, RequestsRaceTheWorkerAndKeepTheirBytes)
{
    ASSERT_EQ(SetLevel('R', COMPRESSION_LEVEL_FAST), STATUS_SUCCESS);
    constexpr unsigned kThreads = 3;
    std::vector<std::vector<UCHAR>> models;
    for (unsigned t = 0; t < kThreads; ++t) {
        models.push_back(Text(4 * kMiB + 1000 * t, 60 + t));
        MakeFile("\\race" + std::to_string(t), models.back());
    }
    std::atomic<int> wrong{0};
    std::vector<PKTHREAD> threads;
    for (unsigned t = 0; t < kThreads; ++t)
        threads.push_back(StartModelWriter("\\race" + std::to_string(t), &models[t], 70 + t, 30, 3, true, &wrong));
    for (PKTHREAD thread : threads)
        JoinThread(thread);
    EXPECT_EQ(wrong.load(), 0);
    VOREL_COMPRESSION_STATISTICS stats = Statistics();
    EXPECT_GT(stats.ExtentsCompressed, 0u);
    EXPECT_GT(stats.ExtentsDecompressed, 0u);
}

} // namespace
