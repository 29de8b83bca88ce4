/*
 * Bitmaps: single bits, ranges, counts, and searches that start at a hint and
 * wrap round.
 */
#include <ntstatus.h>
#include <km/rtl.h>

#include <gtest/gtest.h>

namespace {

constexpr ULONG kNotFound = 0xFFFFFFFF;

TEST(BitmapTest, BitsRangesAndCounts)
{
    ULONG buffer[3] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    RTL_BITMAP map;
    RtlInitializeBitMap(&map, buffer, 70);
    RtlClearAllBits(&map);
    EXPECT_EQ(buffer[2], 0u);
    EXPECT_EQ(RtlNumberOfSetBits(&map), 0u);

    RtlSetBit(&map, 0);
    RtlSetBit(&map, 69);
    RtlSetBits(&map, 30, 4); /* crosses a word */
    EXPECT_TRUE(RtlTestBit(&map, 31) && RtlTestBit(&map, 32) && RtlTestBit(&map, 69));
    EXPECT_FALSE(RtlTestBit(&map, 34));
    EXPECT_EQ(RtlNumberOfSetBits(&map), 6u);
    EXPECT_EQ(RtlNumberOfClearBits(&map), 64u);
    RtlClearBits(&map, 31, 2);
    RtlClearBit(&map, 0);
    EXPECT_EQ(RtlNumberOfSetBits(&map), 3u);

    RtlSetAllBits(&map);
    EXPECT_EQ(RtlNumberOfSetBits(&map), 70u) << "bits past the map's size are not counted";
}

TEST(BitmapTest, SearchesStartAtTheHintAndWrap)
{
    ULONG buffer[4] = {};
    RTL_BITMAP map;
    RtlInitializeBitMap(&map, buffer, 128);
    EXPECT_EQ(RtlFindSetBitsAndClear(&map, 1, 0), kNotFound);

    RtlSetBit(&map, 5);
    RtlSetBit(&map, 100);
    EXPECT_EQ(RtlFindSetBits(&map, 1, 0), 5u);
    EXPECT_EQ(RtlFindSetBits(&map, 1, 6), 100u);
    EXPECT_EQ(RtlFindSetBits(&map, 1, 101), 5u) << "wraps round to the start";
    EXPECT_EQ(RtlFindSetBits(&map, 1, 500), 5u) << "a hint beyond the map starts at 0";

    EXPECT_EQ(RtlFindSetBitsAndClear(&map, 1, 0), 5u);
    EXPECT_EQ(RtlFindSetBitsAndClear(&map, 1, 0), 100u);
    EXPECT_EQ(RtlFindSetBitsAndClear(&map, 1, 0), kNotFound);

    RtlSetBits(&map, 60, 3);
    RtlSetBits(&map, 70, 8);
    EXPECT_EQ(RtlFindSetBits(&map, 5, 0), 70u) << "a run of the length asked for";
    EXPECT_EQ(RtlFindSetBits(&map, 3, 71), 71u);
    EXPECT_EQ(RtlFindSetBits(&map, 9, 0), kNotFound);
    EXPECT_EQ(RtlFindClearBitsAndSet(&map, 60, 0), 0u);
    EXPECT_TRUE(RtlTestBit(&map, 59));
    EXPECT_EQ(RtlFindClearBits(&map, 50, 0), 78u);
}

} // namespace
