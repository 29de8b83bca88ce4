/*
 * The driver's record caches and generic pool helpers, reached through the loaded
 * module's diagnostic table.
 */
#include "driver_test.h"

namespace {

class RecordCacheTest : public LoadedDriverTest {};

TEST_F(RecordCacheTest, AllocationFromAnEmptyCacheCountsOneMiss)
{
    PRECORD_CACHE cache = d->Data->PageSetCache;
    PVOID record = d->CacheAllocate(cache);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(cache->List.L.TotalAllocates, 1u);
    EXPECT_EQ(cache->List.L.AllocateMisses, 1u);
    EXPECT_EQ(machine::PoolTag(TAG_PAGE_SET).liveBlocks, 1u);

    d->CacheFree(cache, &record);
    EXPECT_EQ(record, nullptr) << "the slot is cleared";
    EXPECT_EQ(cache->List.L.FreeMisses, 0u);
    record = d->CacheAllocate(cache);
    EXPECT_EQ(cache->List.L.AllocateMisses, 1u) << "the parked record is a hit";
    d->CacheFree(cache, &record);
}

TEST_F(RecordCacheTest, FreeIntoAFullListCountsOneFreeMissAndReturnsTheRecordToPool)
{
    PRECORD_CACHE cache = d->Data->MappingCache;
    const ULONG depth = cache->List.L.Depth;
    std::vector<PVOID> records(depth + 1);
    for (auto &record : records)
        record = d->CacheAllocate(cache);
    EXPECT_EQ(machine::PoolTag(TAG_CHUNK_MAPPING).liveBlocks, depth + 1);
    for (auto &record : records)
        d->CacheFree(cache, &record);
    EXPECT_EQ(cache->List.L.TotalFrees, depth + 1);
    EXPECT_EQ(cache->List.L.FreeMisses, 1u);
    EXPECT_EQ(machine::PoolTag(TAG_CHUNK_MAPPING).liveBlocks, depth);

    PVOID empty = nullptr;
    d->CacheFree(cache, &empty); /* an empty slot changes nothing */
    EXPECT_EQ(cache->List.L.TotalFrees, depth + 1);
}

TEST_F(RecordCacheTest, UnloadReturnsParkedRecords)
{
    PVOID record = d->CacheAllocate(d->Data->MappingCache);
    d->CacheFree(d->Data->MappingCache, &record);
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u);
}

TEST_F(RecordCacheTest, PoolHelpers)
{
    EXPECT_EQ(d->AllocateZeroed(0, TAG_GENERIC, PagedPool), nullptr);
    auto *zeroed = (unsigned char *)d->AllocateZeroed(40, TAG_GENERIC, PagedPool);
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(zeroed[i], 0) << "byte " << i;

    const char source[] = "settings";
    EXPECT_EQ(d->DuplicateBuffer(nullptr, 4), nullptr);
    EXPECT_EQ(d->DuplicateBuffer(source, 0), nullptr);
    PVOID copy = d->DuplicateBuffer(source, sizeof(source));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(memcmp(copy, source, sizeof(source)), 0);
    EXPECT_EQ(machine::PoolTag(TAG_GENERIC).liveBlocks, 2u);

    PVOID slot = copy;
    d->FreeAndClear(&slot, TAG_GENERIC);
    EXPECT_EQ(slot, nullptr);
    uint64_t frees = machine::PoolTag(TAG_GENERIC).frees;
    d->FreeAndClear(&slot, TAG_GENERIC); /* an empty slot frees nothing */
    d->FreeAndClear(nullptr, TAG_GENERIC);
    EXPECT_EQ(machine::PoolTag(TAG_GENERIC).frees, frees);
    slot = zeroed;
    d->FreeAndClear(&slot, TAG_GENERIC);
}

} // namespace
