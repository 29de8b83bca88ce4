/*
 * S-lists and lookaside lists: LIFO order and depth, the fixed depth of the
 * stand-in's lookaside lists, their counters, and their registration audit.
 */
#include "machine_test.h"

#include <wdm.h>

#include <thread>
#include <vector>

namespace {

using LookasideTest = MachineTest;
const ULONG kTag = POOL_TAG('L', 'k', 'T', 's');

TEST_F(LookasideTest, SListIsLastInFirstOutAndCountsDepth)
{
    SLIST_HEADER head;
    InitializeSListHead(&head);
    SLIST_ENTRY entries[3];
    for (auto &entry : entries)
        InterlockedPushEntrySList(&head, &entry);
    EXPECT_EQ(ExQueryDepthSList(&head), 3);
    EXPECT_EQ(InterlockedPopEntrySList(&head), &entries[2]);
    EXPECT_EQ(InterlockedPopEntrySList(&head), &entries[1]);
    EXPECT_EQ(ExQueryDepthSList(&head), 1);
    EXPECT_EQ(InterlockedFlushSList(&head), &entries[0]);
    EXPECT_EQ(ExQueryDepthSList(&head), 0);
    EXPECT_EQ(InterlockedPopEntrySList(&head), nullptr);
}

TEST_F(LookasideTest, SListSurvivesConcurrentPushAndPop)
{
    SLIST_HEADER head;
    InitializeSListHead(&head);
    constexpr int kThreads = 4, kPerThread = 2000;
    std::vector<SLIST_ENTRY> entries(kThreads * kPerThread);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                InterlockedPushEntrySList(&head, &entries[t * kPerThread + i]);
                if (i % 2)
                    InterlockedPushEntrySList(&head, InterlockedPopEntrySList(&head));
            }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(ExQueryDepthSList(&head), kThreads * kPerThread);
    int popped = 0;
    while (InterlockedPopEntrySList(&head))
        ++popped;
    EXPECT_EQ(popped, kThreads * kPerThread);
}

TEST_F(LookasideTest, ListKeepsAtMostItsDepthAndCountsMisses)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 48, kTag, 0);
    EXPECT_EQ(list.L.Depth, ExMinimumLookasideDepth);
    EXPECT_EQ(list.L.Type, NonPagedPoolNx);

    PVOID records[ExMinimumLookasideDepth + 1];
    for (auto &record : records)
        record = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(list.L.TotalAllocates, 5u);
    EXPECT_EQ(list.L.AllocateMisses, 5u);
    EXPECT_EQ(machine::PoolTag(kTag).liveBlocks, 5u);

    for (auto record : records)
        ExFreeToNPagedLookasideList(&list, record);
    EXPECT_EQ(list.L.TotalFrees, 5u);
    EXPECT_EQ(list.L.FreeMisses, 1u) << "the fifth record finds the list at its depth";
    EXPECT_EQ(machine::PoolTag(kTag).liveBlocks, 4u) << "four records stay parked";

    PVOID again = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(again, records[3]) << "a hit returns the most recently parked record";
    EXPECT_EQ(list.L.AllocateMisses, 5u);
    ExFreeToNPagedLookasideList(&list, again);

    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(machine::PoolTag(kTag).liveBlocks, 0u) << "deletion returns parked records to the pool";
}

TEST_F(LookasideTest, ListLeftInitialisedIsAnAuditFinding)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, kTag, 0);
    auto report = machine::Audit();
    ASSERT_EQ(report.findings.size(), 1u);
    EXPECT_NE(report.findings[0].find("tag 'LkTs'"), std::string::npos) << report.Text();
    ExDeleteNPagedLookasideList(&list);
    EXPECT_TRUE(machine::Audit().Clean());
}

} // namespace
