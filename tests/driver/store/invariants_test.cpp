/*
 * Broken layout invariants stop the system with bug check 0xE0F11500 and the
 * invariant's number. Ordinary input never reaches them; these tests break the
 * layout on purpose (or call the copy routines out of turn) to show each guard.
 */
#include "store_test.h"

namespace {

using InvariantTest = StoreTest;

/* A file of two extents whose first is shared with a second file. */
class SharedExtentTest : public InvariantTest {
protected:
    void SetUp() override
    {
        InvariantTest::SetUp();
        source = NewNode();
        target = NewNode();
        ASSERT_EQ(Write(source, 0, Pattern(4 * kMiB, 1)), STATUS_SUCCESS);
        ASSERT_EQ(s->SetDataSize(target, 4 * kMiB), STATUS_SUCCESS);
        ASSERT_EQ(s->ShareRange(target, 0, source, 0, 2 * kMiB), STATUS_SUCCESS);
    }
    PFCB source = nullptr;
    PFCB target = nullptr;
};

TEST_F(SharedExtentTest, CopyingOrZeroingIntoASharedExtentStops)
{
    UCHAR byte = 1;
    EXPECT_BUGCHECK(s->CopyIntoExtents(target, 10, &byte, 1), VOREL_BUGCHECK, {1382, 0, 0, 0});
    EXPECT_BUGCHECK(s->ZeroRange(source, 10, 1), VOREL_BUGCHECK, {636, 0, 0, 0});
}

TEST_F(InvariantTest, ZeroingASharedSingleBufferStops)
{
    PFCB source = NewNode();
    PFCB target = NewNode();
    ASSERT_EQ(Write(source, 0, Pattern(10000, 1)), STATUS_SUCCESS);
    ASSERT_EQ(Write(target, 0, Pattern(10000, 2)), STATUS_SUCCESS);
    ASSERT_EQ(s->ShareRange(target, 0, source, 0, 10000), STATUS_SUCCESS);
    EXPECT_BUGCHECK(s->ZeroRange(target, 0, 10), VOREL_BUGCHECK, {1400, 0, 0, 0});
}

TEST_F(InvariantTest, NonZeroDataBeyondTheTableStops)
{
    PFCB file = NewNode();
    ASSERT_EQ(s->SetDataSize(file, 100 * kMiB), STATUS_SUCCESS);
    UCHAR zero = 0;
    UCHAR one = 1;
    s->CopyIntoExtents(file, 90 * kMiB, &zero, 1); /* zeros beyond the table are fine */
    EXPECT_BUGCHECK(s->CopyIntoExtents(file, 90 * kMiB, &one, 1), VOREL_BUGCHECK, {1366, 0, 0, 0});
}

TEST_F(InvariantTest, CompressedFormsInHolesStop)
{
    PFCB file = NewNode();
    ASSERT_EQ(s->SetDataSize(file, 8 * kMiB), STATUS_SUCCESS);
    COMPRESSED_EXTENT form = {};
    file->Data.Extents[1].Compressed = &form;
    EXPECT_BUGCHECK(s->AllocateExtentOnDemand(file, 1), VOREL_BUGCHECK, {550, 0, 0, 0});
    EXPECT_BUGCHECK(s->ReserveRange(file, 2 * kMiB, 10, FALSE, FALSE), VOREL_BUGCHECK, {1917, 0, 0, 0});
    file->Data.Extents[1].Compressed = nullptr;
}

TEST_F(InvariantTest, SizesBeyondTheLimitStop)
{
    PFCB file = NewNode();
    s->ExtendSizesAfterWrite(file, MAX_FILE_OFFSET);
    EXPECT_EQ(file->Data.FileSize, MAX_FILE_OFFSET);
    EXPECT_BUGCHECK(s->ExtendSizesAfterWrite(file, MAX_FILE_OFFSET + 1), VOREL_BUGCHECK, {3365, 0, 0, 0});
    s->ReleaseAllData(file);
}

} // namespace
