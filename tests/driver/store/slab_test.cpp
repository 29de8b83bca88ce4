/*
 * Slabs: files of up to 2048 bytes in slots of four classes; one empty slab kept
 * per class; the charge of 2 MiB per slab.
 */
#include "store_test.h"

namespace {

using SlabTest = StoreTest;

struct Slot {
    PSLAB slab;
    ULONG index;
    PUCHAR address;
    BOOLEAN fresh;
};

TEST_F(SlabTest, The8193rdSmallFileMakesASecondSlab)
{
    std::vector<Slot> slots(8193);
    for (auto &slot : slots)
        ASSERT_EQ(s->AllocateSlot(volume, 1, &slot.slab, &slot.index, &slot.address, &slot.fresh), STATUS_SUCCESS);
    EXPECT_EQ(slots[8191].slab, slots[0].slab);
    EXPECT_NE(slots[8192].slab, slots[0].slab);
    EXPECT_EQ(volume->SlabClasses[0].SlabCount, 2u);
    EXPECT_EQ(volume->SlabClasses[0].UsedSlots, 8193u);
    EXPECT_EQ(Charged(), 2 * kExtent);
    EXPECT_TRUE(slots[0].fresh && slots[8192].fresh);

    // Freeing every slot of the first slab keeps it as the class's empty slab.
    for (ULONG i = 0; i < 8192; ++i)
        s->FreeSlot(volume, slots[i].slab, slots[i].index);
    EXPECT_EQ(volume->SlabClasses[0].EmptySlab, slots[0].slab);
    EXPECT_EQ(Charged(), 2 * kExtent) << "the empty slab keeps its memory and charge";

    // The second one, once empty, goes back to the system, bypassing the chunk cache.
    uint64_t pages = machine::PagesInUse();
    s->FreeSlot(volume, slots[8192].slab, slots[8192].index);
    EXPECT_EQ(volume->SlabClasses[0].SlabCount, 1u);
    EXPECT_EQ(machine::PagesInUse(), pages - EXTENT_SIZE / PAGE_SIZE);
    EXPECT_EQ(CachedChunks(), 0u);
    EXPECT_EQ(Charged(), kExtent);
    EXPECT_EQ(Released(), kExtent);

    // The empty slab serves again; its slots have been used, so they are not fresh.
    Slot again;
    ASSERT_EQ(s->AllocateSlot(volume, 200, &again.slab, &again.index, &again.address, &again.fresh), STATUS_SUCCESS);
    EXPECT_EQ(again.slab, slots[0].slab);
    EXPECT_EQ(again.index, 0u) << "the lowest freed slot";
    EXPECT_FALSE(again.fresh);
    EXPECT_EQ(volume->SlabClasses[0].EmptySlab, nullptr);
    s->FreeSlot(volume, again.slab, again.index);
}

TEST_F(SlabTest, NeverUsedSlotsGoFirstAndAReusedSlotIsZeroedPastTheBytesAFileCarriesIn)
{
    PFCB first = NewNode();
    ASSERT_EQ(Write(first, 0, Pattern(2000, 9)), STATUS_SUCCESS);
    PUCHAR slot = first->Data.DataBase;
    std::vector<Slot> others(1023);
    for (auto &other : others)
        ASSERT_EQ(s->AllocateSlot(volume, 2048, &other.slab, &other.index, &other.address, &other.fresh),
                  STATUS_SUCCESS);
    EXPECT_EQ(volume->SlabClasses[3].SlabCount, 1u);
    DeleteNode(first);

    PFCB second = NewNode();
    ASSERT_EQ(Write(second, 0, Pattern(1500, 1)), STATUS_SUCCESS);
    EXPECT_EQ(second->Data.DataBase, slot) << "the freed slot is reused once no slot is new";
    CheckInvariants("after reusing a slot"); /* bytes 1500..2047 must read zero */

    // Growing from a smaller class carries the bytes over and frees the old slot.
    PFCB third = NewNode();
    ASSERT_EQ(Write(third, 0, Pattern(10, 1)), STATUS_SUCCESS);
    ASSERT_EQ(Write(third, 10, Pattern(300, 2)), STATUS_SUCCESS);
    EXPECT_EQ(third->Data.Slab->SlotSize, 512u);
    std::vector<UCHAR> expected = Pattern(10, 1);
    auto tail = Pattern(300, 2);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(Read(third, 0, 310), expected);
    EXPECT_EQ(volume->SlabClasses[0].UsedSlots, 0u);
    for (auto &other : others)
        s->FreeSlot(volume, other.slab, other.index);
}

TEST_F(SlabTest, ANewSlabMustFitTheVolume)
{
    volume->SizeBytes = 3 * kMiB;
    PFCB a = NewNode();
    PFCB b = NewNode();
    ASSERT_EQ(Write(a, 0, Pattern(100, 1)), STATUS_SUCCESS);
    EXPECT_EQ(Write(b, 0, Pattern(1000, 1)), STATUS_DISK_FULL) << "a second slab would pass the size";
    EXPECT_EQ(b->Data.Slab, nullptr);
    EXPECT_EQ(Write(b, 0, Pattern(100, 1)), STATUS_SUCCESS) << "the first slab has room";
    EXPECT_EQ(Charged(), kExtent);
}

} // namespace
