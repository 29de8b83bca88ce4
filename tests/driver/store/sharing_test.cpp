/*
 * Sharing data between files (block cloning): whole extents and whole single
 * buffers are shared copy-on-write and charged once; everything else is copied.
 */
#include "store_test.h"

namespace {

class SharingTest : public StoreTest {
protected:
    /* A source holding Bytes and an empty target of TargetSize that clones all of them. */
    void ClonePair(const std::vector<UCHAR> &bytes, ULONGLONG targetSize)
    {
        source = NewNode();
        target = NewNode();
        ASSERT_EQ(Write(source, 0, bytes), STATUS_SUCCESS);
        ASSERT_EQ(s->SetDataSize(target, targetSize), STATUS_SUCCESS);
        ASSERT_EQ(s->ShareRange(target, 0, source, 0, bytes.size()), STATUS_SUCCESS);
    }
    PFCB source = nullptr;
    PFCB target = nullptr;
};

TEST_F(SharingTest, ClonedExtentsAreSharedAndCopiedAtTheFirstWriteOnly)
{
    auto bytes = Pattern(6 * kMiB, 1);
    ClonePair(bytes, 6 * kMiB);
    ULONGLONG charged = Charged();
    EXPECT_EQ(charged, 3 * kExtent) << "shared memory is charged once";
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(target->Data.Extents[i].Chunk, source->Data.Extents[i].Chunk);
        EXPECT_EQ(source->Data.Extents[i].Chunk->ReferenceCount, 2);
        EXPECT_TRUE(source->Data.Extents[i].Flags & EXTENT_SHARED);
        EXPECT_TRUE(target->Data.Extents[i].Flags & EXTENT_SHARED);
        EXPECT_TRUE(target->Data.Extents[i].ImageWord & IMAGE_WORD_MODIFIED);
    }
    EXPECT_TRUE(source->Data.HasSharedExtents && target->Data.HasSharedExtents);
    EXPECT_EQ(target->Data.Capacity, 3 * kExtent);
    EXPECT_EQ(Read(target, 0, bytes.size()), bytes);
    CheckInvariants("after the clone");

    ASSERT_EQ(Write(source, 2 * kMiB + 1, {0xEE}), STATUS_SUCCESS);
    EXPECT_EQ(Charged(), charged + kExtent) << "the first write takes a private copy";
    EXPECT_EQ(Read(target, 2 * kMiB + 1, 1)[0], bytes[2 * kMiB + 1]) << "the other file keeps the old bytes";
    EXPECT_EQ(Read(source, 2 * kMiB + 1, 1)[0], 0xEE);

    ASSERT_EQ(Write(target, 2 * kMiB + 2, {0xDD}), STATUS_SUCCESS);
    EXPECT_EQ(Charged(), charged + kExtent) << "the last holder only clears its flag";
    EXPECT_EQ(target->Data.Extents[1].Flags & EXTENT_SHARED, 0u);
    CheckInvariants("after both writes");

    // The charge stays with the chunks: the target holds them once the source is gone.
    DeleteNode(source);
    EXPECT_EQ(Charged(), 3 * kExtent);
    EXPECT_EQ(Read(target, 0, 2 * kMiB), std::vector<UCHAR>(bytes.begin(), bytes.begin() + 2 * kMiB));
}

TEST_F(SharingTest, AWholeSingleBufferIsSharedAndCopiedOnWrite)
{
    PFCB source = NewNode();
    PFCB target = NewNode();
    auto bytes = Pattern(100 * 1024, 4);
    ASSERT_EQ(Write(source, 0, bytes), STATUS_SUCCESS);
    ASSERT_EQ(Write(target, 0, Pattern(100 * 1024, 9)), STATUS_SUCCESS);
    ULONGLONG charged = Charged();

    ASSERT_EQ(s->ShareRange(target, 0, source, 0, 100 * 1024), STATUS_SUCCESS);
    EXPECT_EQ(target->Data.SingleChunk, source->Data.SingleChunk);
    EXPECT_TRUE(target->Data.SingleFlags & SINGLE_SHARED);
    EXPECT_TRUE(target->Data.SingleImageWord & IMAGE_WORD_MODIFIED);
    EXPECT_EQ(Charged(), charged - 100 * 1024) << "the target's own buffer was given back";
    EXPECT_EQ(Read(target, 0, bytes.size()), bytes);

    ASSERT_EQ(Write(target, 10, {1}), STATUS_SUCCESS);
    EXPECT_NE(target->Data.SingleChunk, source->Data.SingleChunk);
    EXPECT_EQ(Charged(), charged);
    EXPECT_EQ(Read(source, 0, bytes.size()), bytes);

    // Shrinking a shared buffer takes a private copy to zero its tail.
    ASSERT_EQ(s->ShareRange(target, 0, source, 0, 100 * 1024), STATUS_SUCCESS);
    ASSERT_EQ(s->SetDataSize(target, 50), STATUS_SUCCESS);
    EXPECT_EQ(Read(source, 0, bytes.size()), bytes);
    EXPECT_EQ(Read(target, 0, 50), std::vector<UCHAR>(bytes.begin(), bytes.begin() + 50));
}

TEST_F(SharingTest, AFileCanShareWithItselfButNotOverlapping)
{
    PFCB file = NewNode();
    auto bytes = Pattern(8 * kMiB, 5);
    ASSERT_EQ(Write(file, 0, bytes), STATUS_SUCCESS);
    EXPECT_EQ(s->ShareRange(file, 2 * kMiB, file, 0, 4 * kMiB), STATUS_INVALID_PARAMETER);
    ULONGLONG charged = Charged();
    ASSERT_EQ(s->ShareRange(file, 4 * kMiB, file, 0, 4 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(file->Data.Extents[2].Chunk, file->Data.Extents[0].Chunk);
    EXPECT_EQ(file->Data.Extents[0].Chunk->ReferenceCount, 2);
    EXPECT_EQ(Charged(), charged - 2 * kExtent) << "two extents were let go for shared ones";
    auto expected = bytes;
    std::copy(bytes.begin(), bytes.begin() + 4 * kMiB, expected.begin() + 4 * kMiB);
    EXPECT_EQ(Read(file, 0, expected.size()), expected);
    CheckInvariants("after sharing with itself");
}

TEST_F(SharingTest, HolesCloneAsHolesAndTheTargetsEndOfFileIsRespected)
{
    PFCB source = NewNode();
    PFCB target = NewNode();
    auto bytes = Pattern(6 * kMiB, 1);
    ASSERT_EQ(Write(source, 0, bytes), STATUS_SUCCESS);
    ASSERT_EQ(s->ZeroOrDeallocate(source, 2 * kMiB, 4 * kMiB, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(Write(target, 0, Pattern(5 * kMiB, 3)), STATUS_SUCCESS);
    ULONGLONG charged = Charged();

    ASSERT_EQ(s->ShareRange(target, 0, source, 0, 6 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(target->Data.Extents[1].Data, nullptr) << "a hole clones as a hole";
    EXPECT_EQ(target->Data.Extents[0].Chunk, source->Data.Extents[0].Chunk);
    EXPECT_NE(target->Data.Extents[2].Chunk, source->Data.Extents[2].Chunk)
        << "the source has bytes beyond the target's end in that extent: copied";
    EXPECT_EQ(Charged(), charged - 2 * kExtent);
    auto expected = bytes;
    std::fill(expected.begin() + 2 * kMiB, expected.begin() + 4 * kMiB, 0);
    expected.resize(5 * kMiB);
    EXPECT_EQ(Read(target, 0, expected.size()), expected);
    CheckInvariants("after cloning holes");
}

} // namespace
