/*
 * The page allocator: page lists of resident, 2 MiB-aligned memory that is
 * addressable only while mapped, poisoned when recycled (checking builds), kept on
 * a bounded free list, counted, and made to fall short or fail on demand.
 */
#include "machine_test.h"

#include <wdm.h>

#include <cstring>
#include <set>

namespace {

using PageListTest = MachineTest;

PHYSICAL_ADDRESS Address(LONGLONG value)
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = value;
    return address;
}

PMDL AllocateNode(SIZE_T bytes, ULONG flags = MM_DONT_ZERO_ALLOCATION)
{
    return MmAllocateNodePagesForMdlEx(Address(0), Address(-1), Address(0), bytes, MmCached, 0, flags);
}

unsigned char *Map(PMDL mdl)
{
    return static_cast<unsigned char *>(
        MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority | MdlMappingNoExecute));
}

void Free(PMDL mdl)
{
    if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
        MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
    MmFreePagesFromMdl(mdl);
    ExFreePool(mdl);
}

bool AllBytesAre(const unsigned char *p, size_t n, unsigned char value)
{
    for (size_t i = 0; i < n; ++i)
        if (p[i] != value)
            return false;
    return true;
}

TEST_F(PageListTest, ListsDescribeWholePagesMappedOnceAt2MiBAlignedAddresses)
{
    PMDL mdl = AllocateNode(3 * PAGE_SIZE + 1);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(mdl), 4u * PAGE_SIZE) << "a partial page is a whole page";
    EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) << "no address before it is mapped";
    PPFN_NUMBER frames = MmGetMdlPfnArray(mdl);
    for (int i = 1; i < 4; ++i)
        EXPECT_NE(frames[i], frames[0]);
    EXPECT_EQ(machine::PagesInUse(), 4u);
    EXPECT_EQ(machine::PageListsInUse(), 1u);

    unsigned char *base = Map(mdl);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ((uintptr_t)base % (2u << 20), 0u);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), base) << "mapped once, found again";
    EXPECT_TRUE(!machine::kPagesPoisoned || AllBytesAre(base, 4 * PAGE_SIZE, machine::kPagePoisonByte)) << "unzeroed pages are poisoned when checking";
    memset(base, 0x11, 4 * PAGE_SIZE); /* resident and writable */

    Free(mdl);
    EXPECT_EQ(machine::PagesInUse(), 0u);
    EXPECT_EQ(machine::PageListsInUse(), 0u);
}

TEST_F(PageListTest, PagesAreZeroedUnlessTheCallerSaysNotAndRecycledPagesComeBackPoisoned)
{
    PMDL first = AllocateNode(8 * PAGE_SIZE);
    unsigned char *base = Map(first);
    memset(base, 0x11, 8 * PAGE_SIZE);
    Free(first);

    PMDL again = AllocateNode(8 * PAGE_SIZE);
    unsigned char *reused = Map(again);
    EXPECT_EQ(reused, base) << "a run of the same size is recycled";
    EXPECT_TRUE(!machine::kPagesPoisoned || AllBytesAre(reused, 8 * PAGE_SIZE, machine::kPagePoisonByte)) << "recycled pages come back poisoned when checking";
    memset(reused, 0x22, 8 * PAGE_SIZE);
    Free(again);

    PMDL zeroed = AllocateNode(8 * PAGE_SIZE, 0);
    EXPECT_TRUE(AllBytesAre(Map(zeroed), 8 * PAGE_SIZE, 0));
    Free(zeroed);

    PMDL original = MmAllocatePagesForMdl(Address(0), Address(-1), Address(0), 8 * PAGE_SIZE);
    ASSERT_NE(original, nullptr);
    EXPECT_TRUE(AllBytesAre(Map(original), 8 * PAGE_SIZE, 0)) << "the original routine always zeroes";
    Free(original);

    PMDL ex = MmAllocatePagesForMdlEx(Address(0), Address(-1), Address(0), PAGE_SIZE, MmCached,
                                      MM_DONT_ZERO_ALLOCATION);
    EXPECT_TRUE(!machine::kPagesPoisoned || AllBytesAre(Map(ex), PAGE_SIZE, machine::kPagePoisonByte));
    Free(ex);
}

TEST_F(PageListTest, TestControlsMakeListsShortOrFail)
{
    machine::ShortenPageLists(2);
    PMDL shortList = AllocateNode(5 * PAGE_SIZE);
    ASSERT_NE(shortList, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(shortList), 2u * PAGE_SIZE) << "the caller must look at what it got";
    EXPECT_EQ(AllocateNode(5 * PAGE_SIZE, MM_DONT_ZERO_ALLOCATION | MM_ALLOCATE_FULLY_REQUIRED), nullptr);
    Free(shortList);
    machine::ClearPageAllocationFaults();

    machine::FailPageAllocationsAfter(3);
    PMDL a = AllocateNode(2 * PAGE_SIZE);
    PMDL b = AllocateNode(2 * PAGE_SIZE);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(MmGetMdlByteCount(b), PAGE_SIZE) << "the request that crosses the limit gets what is left";
    EXPECT_EQ(AllocateNode(PAGE_SIZE), nullptr);
    Free(a);
    Free(b);
    EXPECT_EQ(AllocateNode(PAGE_SIZE), nullptr) << "the limit counts pages granted, not pages held";
    machine::ClearPageAllocationFaults();

    machine::FailPageAllocations();
    EXPECT_EQ(AllocateNode(PAGE_SIZE), nullptr);
    EXPECT_EQ(MmAllocatePagesForMdl(Address(0), Address(-1), Address(0), PAGE_SIZE), nullptr);
    machine::ClearPageAllocationFaults();

    machine::ArmFault("MmAllocateNodePagesForMdlEx", 2);
    PMDL first = AllocateNode(PAGE_SIZE);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(AllocateNode(PAGE_SIZE), nullptr);
    EXPECT_EQ(machine::FaultsInjected("MmAllocateNodePagesForMdlEx"), 1u);
    Free(first);

    EXPECT_EQ(AllocateNode(0), nullptr);
    EXPECT_EQ(machine::PagesInUse(), 0u);
}

TEST_F(PageListTest, MappingCanBeMadeToFail)
{
    PMDL mdl = AllocateNode(PAGE_SIZE);
    machine::ArmFault("MmMapLockedPagesSpecifyCache", 1);
    EXPECT_EQ(Map(mdl), nullptr);
    EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_NE(Map(mdl), nullptr);
    Free(mdl);
}

TEST_F(PageListTest, PagesCanBeTouchedOnlyWhileMappedAndNotPastTheirEnd)
{
    PMDL mdl = AllocateNode(2 * PAGE_SIZE);
    volatile unsigned char *base = Map(mdl);
    base[0] = 1;
    EXPECT_DEATH(base[2 * PAGE_SIZE] = 1, "") << "a guard page follows every run";
    MmUnmapLockedPages((PVOID)base, mdl);
    EXPECT_DEATH(base[0] = 1, "") << "unmapped pages fault";
    MmFreePagesFromMdl(mdl);
    EXPECT_DEATH(base[0] = 1, "") << "freed pages fault";
    ExFreePool(mdl);
}

TEST_F(PageListTest, MisusedListsStopTheMachine)
{
    PMDL mdl = AllocateNode(PAGE_SIZE);
    Map(mdl);
    EXPECT_BUGCHECK(MmFreePagesFromMdl(mdl), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_PAGES_FREED_WHILE_MAPPED, kAnyParameter});
    EXPECT_BUGCHECK(MmUnmapLockedPages((PVOID)((uintptr_t)mdl->MappedSystemVa + PAGE_SIZE), mdl),
                    DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_UNMAP_WRONG_ADDRESS, kAnyParameter});
    MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
    EXPECT_BUGCHECK(ExFreePool(mdl), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_PAGE_LIST_FREED_LIVE, kAnyParameter});
    MmFreePagesFromMdl(mdl);
    EXPECT_BUGCHECK(MmFreePagesFromMdl(mdl), DRIVER_VERIFIER_DETECTED_VIOLATION,
                    {VERIFIER_NOT_A_PAGE_LIST, kAnyParameter});
    ExFreePool(mdl);
}

TEST_F(PageListTest, AuditReportsListsStillAllocatedAndShutdownReturnsThem)
{
    PMDL mdl = AllocateNode(3 * PAGE_SIZE);
    machine::AuditReport report = machine::Audit();
    EXPECT_NE(report.Text().find("mm: 1 page list(s) with 3 page(s) still allocated"), std::string::npos)
        << report.Text();
    Free(mdl);
    EXPECT_TRUE(machine::Audit().Clean());
}

TEST_F(PageListTest, AvailablePagesFigureIsFixedUntilATestSetsIt)
{
    SYSTEM_PERFORMANCE_INFORMATION info;
    ASSERT_EQ(ZwQuerySystemInformation(SystemPerformanceInformation, &info, sizeof(info), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(info.AvailablePages, machine::CurrentConfig().availablePages);
    PMDL mdl = AllocateNode(64 * PAGE_SIZE);
    ASSERT_EQ(ZwQuerySystemInformation(SystemPerformanceInformation, &info, sizeof(info), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(info.AvailablePages, machine::CurrentConfig().availablePages) << "allocations leave it alone";
    Free(mdl);
    machine::SetAvailablePages(1234);
    ASSERT_EQ(ZwQuerySystemInformation(SystemPerformanceInformation, &info, sizeof(info), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(info.AvailablePages, 1234u);
}

TEST_F(PageListTest, TheNodeRoutineCanBeHiddenFromTheLookup)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"MmAllocateNodePagesForMdlEx");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), (PVOID)&MmAllocateNodePagesForMdlEx);
    machine::HideSystemRoutine("MmAllocateNodePagesForMdlEx");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
}

TEST_F(PageListTest, FreedRunsWaitOnABoundedFreeListAndTheOldestGoBackFirst)
{
    const uint64_t run = 4 * PAGE_SIZE;
    machine::SetRetainedPageLimit(0);
    EXPECT_EQ(machine::RetainedPageBytes(), 0u) << "a bound of 0 keeps nothing";
    machine::SetRetainedPageLimit(3 * run);

    PMDL lists[4];
    unsigned char *bases[4];
    for (int i = 0; i < 4; ++i) {
        lists[i] = AllocateNode(run);
        ASSERT_NE(lists[i], nullptr);
        bases[i] = Map(lists[i]);
        memset(bases[i], 0x30 + i, run);
    }
    for (PMDL list : lists)
        Free(list);
    EXPECT_EQ(machine::PagesInUse(), 0u) << "kept runs are free pages, not pages in use";
    EXPECT_EQ(machine::RetainedPageBytes(), 3 * run) << "the fourth run freed pushed the first one out";

    PMDL other = AllocateNode(run / 2);
    EXPECT_EQ(machine::RetainedPageBytes(), 3 * run) << "only a run of the same size is reused";
    Free(other);
    EXPECT_EQ(machine::RetainedPageBytes(), 2 * run + run / 2) << "the bound holds: the oldest went back for it";

    PMDL zeroed = AllocateNode(run, 0);
    PMDL kept = AllocateNode(run);
    ASSERT_TRUE(zeroed != nullptr && kept != nullptr);
    unsigned char *zeroedBase = Map(zeroed);
    std::set<unsigned char *> reused = {zeroedBase, Map(kept)};
    EXPECT_EQ(reused, (std::set<unsigned char *>{bases[2], bases[3]})) << "the two newest runs were kept";
    EXPECT_TRUE(AllBytesAre(zeroedBase, run, 0)) << "a reused run is zeroed unless the caller says not to";
    EXPECT_EQ(machine::RetainedPageBytes(), run / 2);

    Free(zeroed);
    Free(kept);
    EXPECT_EQ(machine::RetainedPageBytes(), 2 * run + run / 2);
    machine::SetRetainedPageLimit(run);
    EXPECT_EQ(machine::RetainedPageBytes(), run) << "a lower bound gives the oldest back at once";
    EXPECT_EQ(machine::PagesInUse(), 0u);
    EXPECT_EQ(machine::PageListsInUse(), 0u);
}

} // namespace
