/*
 * Appends and writes past the end of a file: new memory is left unzeroed only
 * where the write itself puts its bytes, so a gap before the write, the tail of
 * its last page and the rest of a new buffer or extent read as zeros even when
 * the memory held another file's bytes; and a private single buffer that a file
 * outgrows becomes its extent 0 as it is.
 */
#include "store_test.h"

#include <random>

namespace {

class AppendTest : public StoreTest {
protected:
    /*
     * Leaves freed memory of every size the tests reuse holding non-zero bytes: a
     * file appended through every size of single buffer to three extents and
     * deleted gives its buffers back to the page allocator and its extents to the
     * chunk cache, which keeps their bytes.
     */
    void DirtyMemory()
    {
        PFCB dirty = NewNode();
        auto piece = Pattern(64 * 1024, 0xA5);
        for (ULONGLONG size = 0; size < 3 * kExtent; size += piece.size())
            ASSERT_EQ(Write(dirty, size, piece), STATUS_SUCCESS);
        DeleteNode(dirty);
        ASSERT_GT(CachedChunks(), 0u);
    }

    /* Writes bytes at offset to the file and to its model, then checks every byte. */
    void WriteAndCheck(PFCB file, std::vector<UCHAR> &model, ULONGLONG offset, const std::vector<UCHAR> &bytes,
                       const std::string &where)
    {
        ASSERT_EQ(Write(file, offset, bytes), STATUS_SUCCESS) << where;
        if (model.size() < offset + bytes.size())
            model.resize(offset + bytes.size(), 0);
        std::copy(bytes.begin(), bytes.end(), model.begin() + (ptrdiff_t)offset);
        ASSERT_EQ(file->Data.FileSize, model.size()) << where;
        ASSERT_TRUE(Read(file, 0, model.size()) == model) << where << ": a byte differs from the model";
        CheckInvariants(where);
    }
};

TEST_F(AppendTest, GapsAndPageTailsReadAsZerosAfterTheMemoryHeldOtherBytes)
{
    // Writes at and past the end of a file in every tier, of lengths that end
    // inside a page, with gaps from none to beyond the next extent.
    for (unsigned seed = 1; seed <= 3; ++seed) {
        DirtyMemory();
        if (HasFatalFailure())
            return;
        std::mt19937 random(seed);
        PFCB file = NewNode();
        std::vector<UCHAR> model;
        for (int step = 0; model.size() < 5 * kMiB && step < 80; ++step) {
            ULONGLONG gap;
            switch (random() % 4) {
            case 0: gap = 0; break;
            case 1: gap = random() % 5000; break;
            case 2: gap = random() % (300 * 1024); break;
            default: gap = random() % (kExtent + kExtent / 2); break;
            }
            size_t length = random() % 3 == 0 ? 1 + random() % (1200 * 1024) : 1 + random() % 70000;
            // Now and then the write also overwrites the last bytes of the file.
            ULONGLONG back = random() % 5 == 0 ? std::min<ULONGLONG>(model.size(), random() % 9000) : 0;
            ULONGLONG offset = gap != 0 ? model.size() + gap : model.size() - back;
            std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " +
                                std::to_string(length) + " bytes at " + std::to_string(offset);
            WriteAndCheck(file, model, offset, Pattern(length, (UCHAR)(step + 1)), where);
            if (HasFatalFailure())
                return;
        }
        DeleteNode(file);
    }
}

TEST_F(AppendTest, ASingleBufferGrowsIntoExtentZeroWithoutACopyUnlessShared)
{
    DirtyMemory();
    PFCB file = NewNode();
    std::vector<UCHAR> model;
    for (ULONGLONG size = 0; size < kExtent; size += 256 * 1024)
        WriteAndCheck(file, model, size, Pattern(256 * 1024, (UCHAR)(size >> 18)), "single buffer");
    PDATA_CHUNK single = file->Data.SingleChunk;
    ASSERT_NE(single, nullptr);
    ASSERT_EQ(single->Size, kExtent);
    ULONGLONG charged = Charged();

    WriteAndCheck(file, model, kExtent + 100, Pattern(5000, 3), "past the single buffer");
    ASSERT_NE(file->Data.Extents, nullptr);
    EXPECT_EQ(file->Data.Extents[0].Chunk, single) << "the full buffer is extent 0 as it is";
    EXPECT_EQ(single->ReferenceCount, 1);
    EXPECT_EQ(Charged(), charged + kExtent) << "extent 0 keeps the buffer's charge; extent 1 is new";

    // A buffer shared with a clone stays the clone's; the file takes a copy.
    PFCB source = NewNode();
    PFCB clone = NewNode();
    std::vector<UCHAR> sourceModel;
    WriteAndCheck(source, sourceModel, 0, Pattern(kExtent, 7), "shared source");
    ASSERT_EQ(Write(clone, 0, Pattern(kExtent, 8)), STATUS_SUCCESS);
    ASSERT_EQ(s->ShareRange(clone, 0, source, 0, kExtent), STATUS_SUCCESS);
    PDATA_CHUNK shared = source->Data.SingleChunk;
    ASSERT_EQ(clone->Data.SingleChunk, shared);
    WriteAndCheck(source, sourceModel, kExtent, Pattern(4096, 9), "past a shared buffer");
    ASSERT_NE(source->Data.Extents, nullptr);
    EXPECT_NE(source->Data.Extents[0].Chunk, shared);
    EXPECT_EQ(clone->Data.SingleChunk, shared);
    EXPECT_EQ(shared->ReferenceCount, 1);
    EXPECT_TRUE(Read(clone, 0, kExtent) == std::vector<UCHAR>(sourceModel.begin(), sourceModel.begin() + kExtent));
}

} // namespace
