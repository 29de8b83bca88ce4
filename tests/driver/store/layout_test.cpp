/*
 * The layout of a file's data: the three tiers and the moves between them, holes,
 * the format limits, size changes, zeroing, giving slack back, allocated ranges,
 * and the paths that run with the paging resource held shared.
 */
#include "store_test.h"
#include "system_threads.h"

#include <atomic>

namespace {

using LayoutTest = StoreTest;

TEST_F(LayoutTest, SparseFilesHoldMemoryOnlyWhereNonZeroBytesWereWritten)
{
    PFCB file = NewNode();
    ASSERT_EQ(s->SetDataSize(file, 10ull << 30), STATUS_SUCCESS);
    EXPECT_EQ(Held(), 0u);
    EXPECT_EQ(Charged(), 0u);
    EXPECT_TRUE(AllZero(Read(file, 5ull << 30, 4096).data(), 4096));

    std::vector<UCHAR> zeros(4 * kMiB, 0);
    ASSERT_EQ(s->WriteData(file, 0, zeros.data(), zeros.size()), STATUS_SUCCESS);
    EXPECT_EQ(Held(), 0u) << "zeros written into holes allocate nothing";

    UCHAR one = 1;
    ASSERT_EQ(s->WriteData(file, 3 * kMiB, &one, 1), STATUS_SUCCESS);
    EXPECT_EQ(ExtentsWithData(file), 1u);
    EXPECT_NE(file->Data.Extents[1].Data, nullptr) << "exactly the second extent";
    EXPECT_EQ(Charged(), kExtent);

    // Zeros far beyond the table: nothing to allocate and nothing to copy.
    ASSERT_EQ(s->WriteData(file, 5ull << 30, zeros.data(), kExtent), STATUS_SUCCESS);
    EXPECT_EQ(Held(), kExtent);
    EXPECT_LT(file->Data.ExtentCapacity, 2560u) << "the table did not grow for zeros";

    // A run of zeros between two non-zero pieces stays a hole.
    std::vector<UCHAR> mixed(6 * kMiB, 0);
    mixed[0] = 1;
    mixed[mixed.size() - 1] = 2;
    ASSERT_EQ(s->WriteData(file, 8 * kMiB, mixed.data(), mixed.size()), STATUS_SUCCESS);
    EXPECT_NE(file->Data.Extents[4].Data, nullptr);
    EXPECT_EQ(file->Data.Extents[5].Data, nullptr);
    EXPECT_NE(file->Data.Extents[6].Data, nullptr);
    EXPECT_EQ(Read(file, 8 * kMiB, mixed.size()), mixed);

    ALLOCATED_RANGE ranges[4];
    ULONG count;
    BOOLEAN overflow;
    s->QueryAllocatedRanges(file, 0, ~0ull, ranges, 4, &count, &overflow);
    ASSERT_EQ(count, 3u);
    EXPECT_FALSE(overflow);
    EXPECT_EQ(ranges[0].Offset, 2 * kMiB);
    EXPECT_EQ(ranges[0].Length, 2 * kMiB);
    EXPECT_EQ(ranges[1].Offset, 8 * kMiB);
    EXPECT_EQ(ranges[2].Offset, 12 * kMiB);
    s->QueryAllocatedRanges(file, 3 * kMiB, 9 * kMiB, ranges, 1, &count, &overflow);
    EXPECT_EQ(count, 1u);
    EXPECT_TRUE(overflow);
    EXPECT_EQ(ranges[0].Offset, 3 * kMiB) << "runs are cut to the query";
    EXPECT_EQ(ranges[0].Length, kMiB);
}

TEST_F(LayoutTest, FormatLimitsRefuseWithDiskFullWhateverTheVolumeSize)
{
    volume->SizeBytes = ~0ull >> 1;
    PFCB file = NewNode();
    ASSERT_EQ(s->SetDataSize(file, MAX_FILE_OFFSET), STATUS_SUCCESS);
    EXPECT_EQ(Held(), 0u);
    EXPECT_EQ(s->SetDataSize(file, MAX_FILE_OFFSET + 1), STATUS_DISK_FULL);
    s->ReleaseAllData(file);

    const ULONGLONG tableLimit = (ULONGLONG)MAX_EXTENTS * kExtent; /* 3518435950592 */
    ASSERT_EQ(Write(file, 0, Pattern(5000, 1)), STATUS_SUCCESS);
    UCHAR one = 1;
    EXPECT_EQ(s->WriteData(file, tableLimit, &one, 1), STATUS_DISK_FULL);
    EXPECT_EQ(s->ReserveRange(file, tableLimit - 1, 2, FALSE, FALSE), STATUS_DISK_FULL);
    EXPECT_EQ(file->Data.Extents, nullptr) << "a refused write leaves the file in its tier";
    EXPECT_EQ(Charged(), 8192u);
    EXPECT_EQ(s->WriteData(file, ~0ull - 1, &one, 4), STATUS_DISK_FULL) << "a wrapping range";

    ASSERT_EQ(Write(file, tableLimit - 1, {1}), STATUS_SUCCESS) << "the last extent a table holds";
    EXPECT_EQ(file->Data.ExtentCapacity, MAX_EXTENTS);
    EXPECT_EQ(Charged(), 2 * kExtent);

    // Zeros allocate nothing, but the limit holds for them as for any other bytes.
    std::vector<UCHAR> zeros(4096, 0);
    EXPECT_EQ(s->WriteData(file, tableLimit - 100, zeros.data(), zeros.size()), STATUS_DISK_FULL);
    EXPECT_EQ(s->WriteData(file, tableLimit - 4096, zeros.data(), zeros.size()), STATUS_SUCCESS);
}

TEST_F(LayoutTest, TrimGivesSlackBackAtTheLastCleanup)
{
    PFCB trimmed = NewNode();
    ASSERT_EQ(Write(trimmed, 0, Pattern(256 * 1024, 1)), STATUS_SUCCESS);
    ASSERT_EQ(Write(trimmed, 256 * 1024, Pattern(44 * 1024, 2)), STATUS_SUCCESS);
    ASSERT_EQ(trimmed->Data.Capacity, 512u * 1024);
    auto before = Read(trimmed, 0, 300 * 1024);
    ASSERT_EQ(s->TrimToSize(trimmed), STATUS_SUCCESS);
    EXPECT_EQ(trimmed->Data.Capacity, 300u * 1024);
    EXPECT_EQ(Charged(), 300u * 1024) << "the charge follows the smaller buffer";
    EXPECT_EQ(Read(trimmed, 0, 300 * 1024), before);

    PFCB kept = NewNode();
    ASSERT_EQ(Write(kept, 0, Pattern(256 * 1024, 1)), STATUS_SUCCESS);
    ASSERT_EQ(Write(kept, 256 * 1024, Pattern(224 * 1024, 2)), STATUS_SUCCESS);
    ASSERT_EQ(s->TrimToSize(kept), STATUS_SUCCESS);
    EXPECT_EQ(kept->Data.Capacity, 512u * 1024) << "32 KiB of slack is not worth a copy";

    PFCB tail = NewNode();
    auto bytes = Pattern(4 * kMiB + 100 * 1024, 6);
    ASSERT_EQ(Write(tail, 0, bytes), STATUS_SUCCESS);
    ULONGLONG charged = Charged();
    ASSERT_EQ(s->TrimToSize(tail), STATUS_SUCCESS);
    EXPECT_TRUE(tail->Data.PartialExtentPending);
    EXPECT_EQ(tail->Data.PartialExtentIndex, 2u);
    EXPECT_EQ(tail->Data.Extents[2].Size, 100u * 1024);
    EXPECT_EQ(Charged(), charged - (kExtent - 100 * 1024));
    EXPECT_EQ(Read(tail, 0, bytes.size()), bytes);

    // A shrink inside the partial extent needs no memory, even on a full volume.
    volume->SizeBytes = Charged();
    ASSERT_EQ(s->SetDataSize(tail, 4 * kMiB + 50 * 1024), STATUS_SUCCESS);
    EXPECT_TRUE(tail->Data.PartialExtentPending);
    EXPECT_EQ(tail->Data.Extents[2].Size, 100u * 1024);
    CheckInvariants("after shrinking into the partial extent");
    volume->SizeBytes = 1024 * kMiB;

    // A reservation or write beyond it makes it a full extent again.
    ASSERT_EQ(s->ReserveRange(tail, 4 * kMiB + 99 * 1024, 1024, FALSE, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(tail->Data.PartialExtentPending) << "within its memory";
    ASSERT_EQ(s->ReserveRange(tail, 4 * kMiB + 99 * 1024, 1025, FALSE, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(tail->Data.PartialExtentPending);
    EXPECT_EQ(tail->Data.Extents[2].Size, EXTENT_SIZE);
    ASSERT_EQ(s->TrimToSize(tail), STATUS_SUCCESS);
    ASSERT_EQ(Write(tail, 4 * kMiB + 200 * 1024, {9}), STATUS_SUCCESS);
    EXPECT_FALSE(tail->Data.PartialExtentPending);
    EXPECT_EQ(tail->Data.Extents[2].Size, EXTENT_SIZE);
    EXPECT_EQ(Read(tail, 4 * kMiB, 50 * 1024),
              std::vector<UCHAR>(bytes.begin() + 4 * kMiB, bytes.begin() + 4 * kMiB + 50 * 1024));
}

/*
 * Sections: the trim takes the node's resources itself and leaves a file alone
 * that has a section by then; a shrink purges the file's cache section. (This
 * machine makes no sections yet, so a section here is a stand-in pointer, which
 * its purge refuses to touch: the stop shows that the purge was asked for.)
 */
TEST_F(LayoutTest, TrimLeavesAMappedFileAloneAndAShrinkPurgesTheCacheSection)
{
    PFCB file = NewNode();
    ASSERT_EQ(Write(file, 0, Pattern(300 * 1024, 1)), STATUS_SUCCESS);
    ULONGLONG capacity = file->Data.Capacity;
    int section = 0;
    file->SectionObjectPointers.ImageSectionObject = &section;
    ASSERT_EQ(s->TrimToSize(file), STATUS_SUCCESS);
    EXPECT_EQ(file->Data.Capacity, capacity) << "an image section maps the buffer";
    file->SectionObjectPointers.ImageSectionObject = nullptr;
    file->SectionObjectPointers.DataSectionObject = &section;
    ASSERT_EQ(s->TrimToSize(file), STATUS_SUCCESS);
    EXPECT_EQ(file->Data.Capacity, capacity) << "so does a data section";
    EXPECT_EQ(ExIsResourceAcquiredExclusiveLite(&file->MainResource), FALSE);
    EXPECT_EQ(ExIsResourceAcquiredExclusiveLite(&file->PagingIoResource), FALSE);

    ASSERT_EQ(s->SetDataSize(file, 400 * 1024), STATUS_SUCCESS) << "growing purges nothing";
    /* The death test's child runs the test again in a fresh process, where the node
       may sit at another address: the pointer parameter is not compared. */
    EXPECT_BUGCHECK(s->SetDataSize(file, 100 * 1024), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_NO_CACHE_SECTIONS, kAnyParameter});
    file->SectionObjectPointers.DataSectionObject = nullptr;
    ASSERT_EQ(s->SetDataSize(file, 100 * 1024), STATUS_SUCCESS) << "nothing cached: no purge";
    ASSERT_EQ(s->TrimToSize(file), STATUS_SUCCESS);
    EXPECT_EQ(file->Data.Capacity, 100u * 1024);
}

TEST_F(LayoutTest, ZeroingPunchesHolesOnlyWhenAllowedAndOnlyForWholeExtents)
{
    PFCB file = NewNode();
    auto bytes = Pattern(8 * kMiB, 2);
    ASSERT_EQ(Write(file, 0, bytes), STATUS_SUCCESS);

    ASSERT_EQ(s->ZeroOrDeallocate(file, kMiB, 7 * kMiB, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(ExtentsWithData(file), 4u) << "without leave to deallocate, everything is zero-filled";
    EXPECT_TRUE(AllZero(Read(file, kMiB, 6 * kMiB).data(), 6 * kMiB));

    ASSERT_EQ(Write(file, 0, bytes), STATUS_SUCCESS);
    ULONGLONG charged = Charged();
    ASSERT_EQ(s->ZeroOrDeallocate(file, kMiB, 7 * kMiB, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(file->Data.Extents[1].Data, nullptr);
    EXPECT_EQ(file->Data.Extents[2].Data, nullptr);
    EXPECT_EQ(Charged(), charged - 2 * kExtent);
    EXPECT_EQ(file->Data.Capacity, 2 * kExtent);
    auto after = Read(file, 0, 8 * kMiB);
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + kMiB, bytes.begin()));
    EXPECT_TRUE(AllZero(after.data() + kMiB, 6 * kMiB));
    EXPECT_TRUE(std::equal(after.begin() + 7 * kMiB, after.end(), bytes.begin() + 7 * kMiB));

    EXPECT_EQ(s->ZeroOrDeallocate(file, 9 * kMiB, 20 * kMiB, TRUE), STATUS_SUCCESS) << "beyond the end: nothing";
    ASSERT_EQ(s->ZeroOrDeallocate(file, 0, 100 * kMiB, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Held(), 0u) << "the end is cut to the file size, and the last extent was whole";
}

TEST_F(LayoutTest, WritesMarkTheExtentsTheyTouch)
{
    PFCB file = NewNode();
    ASSERT_EQ(Write(file, 0, Pattern(3 * kMiB, 1)), STATUS_SUCCESS);
    for (ULONG i = 0; i < 2; ++i)
        file->Data.Extents[i].ImageWord = 0x1234;
    file->Data.Extents[1].Flags |= EXTENT_COLD;
    ASSERT_EQ(Write(file, 2 * kMiB + 5, {1, 2, 3}), STATUS_SUCCESS);
    EXPECT_EQ(file->Data.Extents[0].ImageWord, 0x1234u);
    EXPECT_EQ(file->Data.Extents[1].ImageWord, 0x1234u | IMAGE_WORD_MODIFIED) << "bits 0-30 are kept";
    EXPECT_EQ(file->Data.Extents[1].Flags & EXTENT_COLD, 0u);
    EXPECT_NEAR(file->Data.Extents[1].LastAccess, (double)(machine::InterruptTimeNow() >> 23), 1);

    ASSERT_EQ(s->ZeroRange(file, 100, 10), STATUS_SUCCESS);
    EXPECT_TRUE(file->Data.Extents[0].ImageWord & IMAGE_WORD_MODIFIED);

    // Extending from inside an extent marks the extent of the old last byte.
    file->Data.Extents[1].ImageWord = 0;
    s->ExtendSizesAfterWrite(file, 5 * kMiB);
    EXPECT_EQ(file->Data.Extents[1].ImageWord, IMAGE_WORD_MODIFIED);
    EXPECT_EQ(file->Data.FileSize, 5 * kMiB);
    EXPECT_EQ((ULONGLONG)file->Header.ValidDataLength.QuadPart, 5 * kMiB);
    s->ExtendSizesAfterWrite(file, kMiB);
    EXPECT_EQ(file->Data.FileSize, 5 * kMiB) << "sizes are only raised";
    s->ExtendSizesAfterWrite(file, 5 * kMiB + 1);
    EXPECT_EQ(file->Header.AllocationSize.QuadPart, (LONGLONG)(5 * kMiB + PAGE_SIZE));
}

TEST_F(LayoutTest, InPlaceWritesNeedPrivateMemoryForTheWholeRange)
{
    PFCB file = NewNode();
    ASSERT_EQ(Write(file, 0, Pattern(6 * kMiB, 1)), STATUS_SUCCESS);
    ASSERT_EQ(s->ZeroOrDeallocate(file, 2 * kMiB, 4 * kMiB, TRUE), STATUS_SUCCESS);
    auto bytes = Pattern(3 * kMiB, 8);
    EXPECT_FALSE(s->WriteInPlace(file, kMiB, bytes.data(), bytes.size())) << "extent 1 is a hole";
    auto original = Pattern(6 * kMiB, 1);
    EXPECT_EQ(Read(file, kMiB, 16), std::vector<UCHAR>(original.begin() + kMiB, original.begin() + kMiB + 16))
        << "a refused write writes nothing";
    EXPECT_TRUE(s->WriteInPlace(file, 4 * kMiB + 10, bytes.data(), kMiB));
    EXPECT_FALSE(s->WriteInPlace(file, 11 * kMiB, bytes.data(), 1)) << "beyond the table";

    PFCB small = NewNode();
    ASSERT_EQ(Write(small, 0, Pattern(5000, 1)), STATUS_SUCCESS);
    EXPECT_TRUE(s->WriteInPlace(small, 8000, bytes.data(), 192)) << "inside the buffer's memory";
    EXPECT_FALSE(s->WriteInPlace(small, 8000, bytes.data(), 193));
    ASSERT_EQ(s->SetDataSize(small, 8192), STATUS_SUCCESS);
    EXPECT_EQ(Read(small, 8000, 192), std::vector<UCHAR>(bytes.begin(), bytes.begin() + 192));
}

TEST_F(LayoutTest, ThreadsRacingForExtentsOnDemandEachGetOneCopyCharged)
{
    PFCB file = NewNode();
    ASSERT_EQ(s->SetDataSize(file, 64 * kExtent), STATUS_SUCCESS);
    ASSERT_EQ(s->ReserveRange(file, 64 * kExtent - 1, 1, FALSE, FALSE), STATUS_SUCCESS); /* a table of 64 */
    std::vector<PKTHREAD> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.push_back(StartThread([&, t] {
            // The paging write path: paging resource shared, at APC_LEVEL.
            KIRQL oldIrql;
            KeRaiseIrql(APC_LEVEL, &oldIrql);
            ExAcquireResourceSharedLite(file->Header.PagingIoResource, TRUE);
            for (ULONG i = 0; i < 64; ++i)
                if (s->AllocateExtentOnDemand(file, (i * 7 + t * 13) % 64) != STATUS_SUCCESS)
                    failures++;
            ExReleaseResourceLite(file->Header.PagingIoResource);
            KeLowerIrql(oldIrql);
        }));
        ASSERT_NE(threads.back(), nullptr);
    }
    for (PKTHREAD thread : threads)
        JoinThread(thread);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(ExtentsWithData(file), 64u);
    EXPECT_EQ(file->Data.Capacity, 64 * kExtent);
    EXPECT_EQ(Charged(), 64 * kExtent) << "a thread that lost the race charged nothing";
    EXPECT_EQ(Held(), 64 * kExtent);

    EXPECT_EQ(s->AllocateExtentOnDemand(file, file->Data.ExtentCapacity), STATUS_CANT_WAIT) << "beyond the table";
    ASSERT_EQ(s->ZeroOrDeallocate(file, 0, kExtent, TRUE), STATUS_SUCCESS);
    volume->SizeBytes = Charged() + kExtent - 1;
    EXPECT_EQ(s->AllocateExtentOnDemand(file, 0), STATUS_DISK_FULL);
    volume->SizeBytes = 1024 * kMiB;
}

TEST_F(LayoutTest, TheZeroTestLooksAtEveryByte)
{
    EXPECT_FALSE(s->IsAllZero(nullptr, 10));
    std::vector<UCHAR> buffer(1000, 0);
    EXPECT_FALSE(s->IsAllZero(buffer.data(), 0));
    for (size_t start : {0, 1, 7}) {
        for (size_t length : {1, 15, 16, 17, 127, 128, 129, 300, 993}) {
            ASSERT_TRUE(s->IsAllZero(buffer.data() + start, length));
            for (size_t at : {(size_t)0, length / 2, length - 1}) {
                buffer[start + at] = 0x80;
                EXPECT_FALSE(s->IsAllZero(buffer.data() + start, length)) << start << " " << length << " " << at;
                buffer[start + at] = 0;
            }
        }
    }
}

} // namespace
