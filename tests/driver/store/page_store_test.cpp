/*
 * The page store: chunks and their keep window, charges and the volume size, the
 * cache of 2 MiB chunks, the memory-pressure check, page allocation and its
 * failures.
 */
#include "store_test.h"

namespace {

using PageStoreTest = StoreTest;

bool AllBytesAre(const UCHAR *p, size_t n, UCHAR value)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != value)
            return false;
    return true;
}

TEST_F(PageStoreTest, ChunksZeroEverythingOutsideTheKeepWindowAndChargeOnlyWhenAsked)
{
    PDATA_CHUNK chunk;
    ASSERT_EQ(s->AllocateChunk(volume, 64 * 1024, 4096, 4096, TRUE, FALSE, &chunk), STATUS_SUCCESS);
    EXPECT_EQ(chunk->Size, 64u * 1024);
    EXPECT_EQ(chunk->ReferenceCount, 1);
    EXPECT_TRUE(AllZero(chunk->Base, 4096));
    EXPECT_TRUE(!machine::kPagesPoisoned || AllBytesAre(chunk->Base + 4096, 4096, machine::kPagePoisonByte)) << "the window is the caller's";
    EXPECT_TRUE(AllZero(chunk->Base + 8192, 56 * 1024));
    EXPECT_EQ(Charged(), 64u * 1024);
    EXPECT_EQ(Held(), 64u * 1024);

    PDATA_CHUNK overflowing;
    ASSERT_EQ(s->AllocateChunk(volume, 64 * 1024, 60 * 1024, 0xFFFFFFFF, FALSE, FALSE, &overflowing), STATUS_SUCCESS);
    EXPECT_TRUE(AllZero(overflowing->Base, 60 * 1024));
    EXPECT_TRUE(!machine::kPagesPoisoned || AllBytesAre(overflowing->Base + 60 * 1024, 4096, machine::kPagePoisonByte))
        << "a window that overflows reaches to the end";
    EXPECT_EQ(overflowing->Charged, 0u);
    EXPECT_EQ(Charged(), 64u * 1024);
    EXPECT_EQ(Held(), 128u * 1024);

    s->ReferenceChunk(chunk);
    s->ReleaseChunk(chunk);
    EXPECT_EQ(Charged(), 64u * 1024) << "a chunk with a holder left keeps its charge";
    s->ReleaseChunk(chunk);
    s->ReleaseChunk(overflowing);
    EXPECT_EQ(Charged(), 0u);
    EXPECT_EQ(Held(), 0u);
    EXPECT_EQ(Released(), 64u * 1024) << "only charge given back counts";
    EXPECT_EQ(CachedChunks(), 0u) << "only 2 MiB chunks are cached";
    EXPECT_EQ(machine::PagesInUse(), 0u);

    EXPECT_EQ(s->AllocateChunk(volume, 0, 0, 0, FALSE, FALSE, &chunk), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(chunk, nullptr);
}

TEST_F(PageStoreTest, ChargeStopsAtTheVolumeSizeAndComesBackAsReleasedBytes)
{
    volume->SizeBytes = 64 * kMiB;
    PFCB big = NewNode();
    PFCB small = NewNode();
    ASSERT_EQ(s->ReserveRange(big, 0, 62 * kMiB, FALSE, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Charged(), 62 * kMiB);
    EXPECT_FALSE(s->WouldExceedVolumeSize(small, kExtent));
    EXPECT_TRUE(s->WouldExceedVolumeSize(small, kExtent + 1));

    ASSERT_EQ(s->ReserveRange(small, 0, 4 * kMiB, FALSE, FALSE), STATUS_DISK_FULL) << "two extents do not fit";
    EXPECT_EQ(Charged(), 62 * kMiB) << "a refused reservation charges nothing";
    ASSERT_EQ(s->ReserveRange(small, 2 * kMiB, 1, FALSE, FALSE), STATUS_SUCCESS) << "equality fits";
    EXPECT_EQ(Charged(), 64 * kMiB);
    EXPECT_EQ(s->ReserveRange(small, 4 * kMiB, 1, FALSE, FALSE), STATUS_DISK_FULL);

    volume->ChargeSuspended = TRUE;
    EXPECT_FALSE(s->WouldExceedVolumeSize(small, kExtent));
    volume->ChargeSuspended = FALSE;
    EXPECT_FALSE(s->WouldExceedVolumeSize(small, 0));

    ULONGLONG released = Released();
    DeleteNode(big);
    EXPECT_EQ(Released(), released + 62 * kMiB) << "deleting a file gives its charge back";
    EXPECT_EQ(Charged(), 2 * kMiB);
}

TEST_F(PageStoreTest, PagesComeFromTheOlderRoutineWhenTheNodeRoutineIsMissing)
{
    machine::HideSystemRoutine("MmAllocateNodePagesForMdlEx");
    machine::ArmFault("MmAllocatePagesForMdl", 1, true);
    PDATA_CHUNK chunk;
    EXPECT_EQ(s->AllocateChunk(volume, 64 * 1024, 0, 0, TRUE, FALSE, &chunk), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(machine::FaultsInjected("MmAllocatePagesForMdl"), 2u) << "asked once, and again after a trim";
    machine::DisarmFaults();
    ASSERT_EQ(s->AllocateChunk(volume, 64 * 1024, 0, 0, TRUE, FALSE, &chunk), STATUS_SUCCESS);
    s->ReleaseChunk(chunk);
    EXPECT_EQ(Charged(), 0u) << "nothing was charged by the failures";
}

TEST_F(PageStoreTest, ShortListsFailFullyRequiredRequestsAndReturnWhatWasObtainedOtherwise)
{
    machine::ShortenPageLists(100);
    PPAGE_SET partial = s->AllocatePages(1 * kMiB, FALSE);
    ASSERT_NE(partial, nullptr);
    EXPECT_EQ(partial->PageListCount, 1u) << "a short list ends the requests";
    EXPECT_EQ(partial->TotalBytes, 100u * PAGE_SIZE);
    s->FreePages(partial);

    EXPECT_EQ(s->AllocatePages(1 * kMiB, TRUE), nullptr);
    EXPECT_EQ(machine::PagesInUse(), 0u) << "what was obtained went back";

    machine::ClearPageAllocationFaults();
    machine::FailPageAllocations();
    PPAGE_SET empty = s->AllocatePages(kMiB, FALSE);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->PageListCount, 0u);
    s->FreePages(empty);
}

TEST_F(PageStoreTest, AFailedAllocationTrimsTheCacheAndTriesOnceMore)
{
    std::vector<PDATA_CHUNK> chunks(3);
    for (auto &chunk : chunks)
        ASSERT_EQ(s->AllocateChunk(volume, EXTENT_SIZE, 0, 0, TRUE, FALSE, &chunk), STATUS_SUCCESS);
    for (auto chunk : chunks)
        s->ReleaseChunk(chunk);
    ASSERT_EQ(CachedChunks(), 3u);

    machine::ArmFault("MmAllocateNodePagesForMdlEx", 1);
    PDATA_CHUNK chunk;
    ASSERT_EQ(s->AllocateChunk(volume, 64 * 1024, 0, 0, TRUE, FALSE, &chunk), STATUS_SUCCESS);
    EXPECT_EQ(CachedChunks(), 0u);
    s->ReleaseChunk(chunk);
}

TEST_F(PageStoreTest, EveryFailedStepLeavesNothingBehind)
{
    PDATA_CHUNK chunk = nullptr;
    machine::ArmFault("MmMapLockedPagesSpecifyCache", 1);
    EXPECT_EQ(s->AllocateChunk(volume, 64 * 1024, 0, 0, TRUE, FALSE, &chunk), STATUS_INSUFFICIENT_RESOURCES);
    // Records parked in their lookaside lists serve without the pool, so only the
    // allocations that reach the pool every time, and the first chunk record, can fail here.
    for (ULONG tag : {TAG_DATA_CHUNK, TAG_GENERIC, POOL_TAG('M', 'd', 'l', ' ')}) {
        machine::ArmPoolFault(1, tag, true);
        EXPECT_EQ(s->AllocateChunk(volume, 64 * 1024, 0, 0, TRUE, FALSE, &chunk), STATUS_INSUFFICIENT_RESOURCES)
            << machine::TagText(tag);
        EXPECT_GE(machine::FaultsInjected("ExAllocatePoolWithTag"), 1u) << machine::TagText(tag);
        machine::DisarmFaults();
    }
    EXPECT_EQ(chunk, nullptr);
    EXPECT_EQ(Charged(), 0u);
    EXPECT_EQ(Held(), 0u);
    EXPECT_EQ(machine::PagesInUse(), 0u);
    EXPECT_EQ(machine::PoolTag(POOL_TAG('M', 'd', 'l', ' ')).liveBlocks, 0u);
}

class PressureTest : public StoreTest {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config;
        config.clock = machine::ClockMode::Manual;
        return config;
    }
};

TEST_F(PressureTest, LowMeansOneToJustUnderAGibibyteOfPagesAndANotLowAnswerLasts100ms)
{
    machine::SetAvailablePages(LOW_MEMORY_PAGES);
    EXPECT_TRUE(s->IsLowMemory(volume, 4096)) << "the first question is always asked";
    machine::SetAvailablePages(LOW_MEMORY_PAGES + 1);
    EXPECT_FALSE(s->IsLowMemory(volume, 4096)) << "a low answer is never reused";

    machine::SetAvailablePages(1);
    EXPECT_FALSE(s->IsLowMemory(volume, EXTENT_SIZE - 1)) << "not low, 0 ms ago";
    machine::AdvanceClock(PRESSURE_CACHE_TIME);
    EXPECT_FALSE(s->IsLowMemory(volume, 4096)) << "not low, 100 ms ago";
    EXPECT_TRUE(s->IsLowMemory(volume, EXTENT_SIZE)) << "2 MiB requests always ask";
    machine::SetAvailablePages(LOW_MEMORY_PAGES + 1);
    EXPECT_FALSE(s->IsLowMemory(volume, 4096));
    machine::SetAvailablePages(1);
    machine::AdvanceClock(PRESSURE_CACHE_TIME + 1);
    EXPECT_TRUE(s->IsLowMemory(volume, 4096)) << "the answer is stale after 100 ms";

    machine::SetAvailablePages(0);
    EXPECT_FALSE(s->IsLowMemory(volume, EXTENT_SIZE)) << "0 pages means the system does not know";
}

TEST_F(PressureTest, AFailedQueryCountsAsNotLow)
{
    machine::SetAvailablePages(1);
    machine::ArmFault("ZwQuerySystemInformation", 1);
    EXPECT_FALSE(s->IsLowMemory(volume, EXTENT_SIZE));
    EXPECT_FALSE(s->IsLowMemory(volume, 4096)) << "the failure is remembered as unknown";
    EXPECT_TRUE(s->IsLowMemory(volume, EXTENT_SIZE));
}

TEST_F(PressureTest, TheCacheServesEvenWhileMemoryIsLow)
{
    std::vector<PDATA_CHUNK> chunks(2);
    for (auto &chunk : chunks)
        ASSERT_EQ(s->AllocateChunk(volume, EXTENT_SIZE, 0, 0, TRUE, FALSE, &chunk), STATUS_SUCCESS);
    for (auto chunk : chunks)
        s->ReleaseChunk(chunk);

    machine::SetAvailablePages(1000);
    PDATA_CHUNK chunk;
    ASSERT_EQ(s->AllocateChunk(volume, EXTENT_SIZE, 0, 0, TRUE, FALSE, &chunk), STATUS_SUCCESS);
    EXPECT_EQ(CachedChunks(), 1u);
    PDATA_CHUNK refused;
    machine::AdvanceClock(PRESSURE_CACHE_TIME + 1); /* the last answer, not low, has gone stale */
    EXPECT_EQ(s->AllocateChunk(volume, 64 * 1024, 0, 0, TRUE, FALSE, &refused), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(CachedChunks(), 0u) << "low memory gives the cache back";
    ASSERT_EQ(s->AllocateChunk(volume, 64 * 1024, 0, 0, TRUE, TRUE, &refused), STATUS_SUCCESS)
        << "unless the check is skipped";
    s->ReleaseChunk(refused);
    s->ReleaseChunk(chunk);
}

TEST_F(PressureTest, APagingPathReservationNeverAsksAboutMemoryEvenToExpandThePartialExtent)
{
    PFCB file = NewNode();
    auto bytes = Pattern(4 * kMiB + 100 * 1024, 3);
    ASSERT_EQ(Write(file, 0, bytes), STATUS_SUCCESS);
    ASSERT_EQ(s->TrimToSize(file), STATUS_SUCCESS);
    ASSERT_TRUE(file->Data.PartialExtentPending);
    s->TrimChunkCache(volume);
    machine::SetAvailablePages(1000);
    machine::AdvanceClock(PRESSURE_CACHE_TIME + 1);

    // The paging path runs at APC_LEVEL, where the memory query must not be made.
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    NTSTATUS status = s->ReserveRange(file, 4 * kMiB + 99 * 1024, 64 * 1024, FALSE, TRUE);
    KeLowerIrql(old);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(file->Data.PartialExtentPending);
    EXPECT_EQ(file->Data.Extents[2].Size, EXTENT_SIZE);
    EXPECT_EQ(Read(file, 0, bytes.size()), bytes);
}

} // namespace
