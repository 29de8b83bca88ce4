/*
 * Walks over the whole tree: collecting nodes, tearing the tree down, and the
 * busy test a dismount runs.
 */
#include "namespace_test.h"

#include <set>

namespace {

using WalksTest = NamespaceTest;

struct Collected {
    PFCB *nodes = nullptr;
    ULONG count = 0;
    std::set<PFCB> Set() const { return std::set<PFCB>(nodes, nodes + count); }
};

/* Every node once (a file with several names too), directories and files alike, orphans last. */
TEST_F(WalksTest, CollectVisitsEachNodeOnceAndIncludesLiveOrphans)
{
    PFCB a = Create(root, u"a", true);
    PFCB b = Create(a, u"b", true);
    PFCB deep = Create(b, u"deep");
    PFCB shared = Create(a, u"shared");
    ASSERT_EQ(AddName(b, shared, u"shared-too"), STATUS_SUCCESS);
    ASSERT_EQ(AddName(root, shared, u"shared-three"), STATUS_SUCCESS);
    PFCB empty = Create(root, u"empty", true);
    PFCB orphan = NewNode(false);
    PLINK orphanName = nullptr;
    ASSERT_EQ(AddName(root, orphan, u"orphan", &orphanName), STATUS_SUCCESS);
    Remove(orphanName);

    auto all = [](PFCB, PVOID) -> BOOLEAN { return TRUE; };
    Collected c;
    ASSERT_EQ(n->CollectNodes(vcb, all, nullptr, &c.nodes, &c.count), STATUS_SUCCESS);
    ASSERT_EQ(c.count, 6u);
    std::vector<PFCB> order(c.nodes, c.nodes + c.count);
    EXPECT_EQ(order, (std::vector<PFCB>{a, b, deep, shared, empty, orphan})) << "pre-order, then orphans";
    EXPECT_EQ(Refs(shared), 2) << "collected once, with one reference";
    EXPECT_EQ(Refs(orphan), 2);
    n->ReleaseCollectedNodes(c.nodes, c.count);
    EXPECT_EQ(Refs(shared), 1);

    auto files = [](PFCB fcb, PVOID) -> BOOLEAN { return !fcb->IsDirectory; };
    ASSERT_EQ(n->CollectNodes(vcb, files, nullptr, &c.nodes, &c.count), STATUS_SUCCESS);
    EXPECT_EQ(c.Set(), (std::set<PFCB>{deep, shared, orphan}));
    n->ReleaseCollectedNodes(c.nodes, c.count);

    machine::ArmPoolFault(1, machine::TagFromText("vlMc"));
    EXPECT_EQ(n->CollectNodes(vcb, all, nullptr, &c.nodes, &c.count), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(c.count, 0u);
    EXPECT_EQ(Refs(a), 1) << "a failed collection holds nothing";
    n->DereferenceNode(orphan);
}

/* Teardown removes every name leaves first and frees every node the tree held. */
TEST_F(WalksTest, TearDownEmptiesTheTreeAndThePool)
{
    std::vector<PFCB> dirs{root};
    for (int i = 0; i < 200; ++i) {
        PFCB parent = dirs[(i * 7) % dirs.size()];
        if (i % 3 == 0)
            dirs.push_back(Create(parent, NumberedName("d", i), true));
        else
            Create(parent, NumberedName("f", i));
    }
    PFCB linked = Create(dirs[1], u"linked");
    ASSERT_EQ(AddName(dirs[2], linked, u"linked-again"), STATUS_SUCCESS);
    PFCB held = Create(dirs.back(), u"held");
    n->ReferenceNode(held);

    n->TearDownTree(vcb);
    EXPECT_EQ(vcb->RootFcb, nullptr);
    EXPECT_TRUE(held->Unlinked) << "a referenced file outlives the tree as an orphan";
    EXPECT_EQ(vcb->OrphanList.Flink, &held->OrphanLinks);
    EXPECT_EQ(vcb->NodeIdIndex.EntryCount, 0u);
    n->DereferenceNode(held);
    EXPECT_TRUE(IsListEmpty(&vcb->OrphanList));
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlLk")).liveBlocks, 0u);
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlHd")).liveBlocks, 0u);
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlFb")).liveBlocks, vcb->FreeFcbCount)
        << "only cached records are left";
}

/* Open handles anywhere, on the volume, in the tree or on an orphan, keep the volume busy. */
TEST_F(WalksTest, BusyWhileAnythingIsOpen)
{
    PFCB dir = Create(root, u"dir", true);
    PFCB file = Create(dir, u"file");
    BOOLEAN needsPurge = TRUE;
    EXPECT_FALSE(n->IsVolumeBusy(vcb, &needsPurge));
    EXPECT_FALSE(needsPurge);

    vcb->VolumeOpenCount = 1;
    EXPECT_TRUE(n->IsVolumeBusy(vcb, &needsPurge));
    vcb->VolumeOpenCount = 0;
    root->OpenCount = 1;
    EXPECT_TRUE(n->IsVolumeBusy(vcb, &needsPurge));
    root->OpenCount = 0;
    file->OpenCount = 1;
    EXPECT_TRUE(n->IsVolumeBusy(vcb, &needsPurge));

    n->ReferenceNode(file);
    Remove(Lookup(dir, u"file"));
    EXPECT_TRUE(n->IsVolumeBusy(vcb, &needsPurge)) << "an orphan with a handle";
    file->OpenCount = 0;
    EXPECT_FALSE(n->IsVolumeBusy(vcb, &needsPurge));
    EXPECT_TRUE(needsPurge) << "an orphan held without a handle waits for a purge";
    n->DereferenceNode(file);
    EXPECT_FALSE(n->IsVolumeBusy(vcb, &needsPurge));
    EXPECT_FALSE(needsPurge);
}

} // namespace
