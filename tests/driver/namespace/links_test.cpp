/*
 * Names and nodes where the model test cannot reach: directories past the child
 * index threshold, name length limits, pool failures while adding names,
 * building the index and making nodes and volumes, the final dereference, and
 * the invariants that stop the system when the reference discipline breaks.
 * Link counts, orphans and node ids are the model test's.
 */
#include "namespace_test.h"

#include <algorithm>

namespace {

using LinksTest = NamespaceTest;

/* Without memory for the index the directory goes on with its list and builds it later. */
TEST_F(LinksTest, IndexThatCannotBeBuiltIsTriedAgain)
{
    PFCB dir = Create(root, u"dir", true);
    for (int i = 0; i < 32; ++i)
        ASSERT_NE(Create(dir, NumberedName("n", i)), nullptr);
    machine::ArmPoolFault(1, machine::TagFromText("vlHd"), true);
    ASSERT_NE(Create(dir, u"n32"), nullptr) << "a failed index does not fail the name";
    EXPECT_FALSE(dir->HasChildIndex);
    EXPECT_NE(Lookup(dir, u"N32"), nullptr);
    machine::DisarmFaults();
    ASSERT_NE(Create(dir, u"n33"), nullptr);
    EXPECT_TRUE(dir->HasChildIndex);
    EXPECT_EQ(dir->ChildIndex->EntryCount, 34u);
    for (int i = 0; i < 34; ++i)
        EXPECT_NE(Lookup(dir, NumberedName("N", i)), nullptr) << i;
}

/*
 * Every name of a directory is found in any case before and after its index is
 * built and grown (the model test's directories stay below the index threshold).
 */
TEST_F(LinksTest, ChildIndexGivesTheListsAnswers)
{
    PFCB dir = Create(root, u"dir", true);
    ASSERT_NE(dir, nullptr);
    std::vector<std::u16string> names;
    auto check = [&](const char *when) {
        for (const auto &name : names) {
            std::u16string upper = name, lower = name;
            std::transform(upper.begin(), upper.end(), upper.begin(), [](char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; });
            std::transform(lower.begin(), lower.end(), lower.begin(), [](char16_t c) { return c >= u'A' && c <= u'Z' ? c + 32 : c; });
            for (const auto &asked : {name, upper, lower}) {
                PLINK link = Lookup(dir, asked);
                ASSERT_NE(link, nullptr) << when;
                EXPECT_EQ(ToU16(link->Name), name) << when << ": the stored case is kept";
            }
        }
        EXPECT_EQ(Lookup(dir, u"absent"), nullptr) << when;
        EXPECT_EQ(Lookup(dir, u"File"), nullptr) << when << ": a prefix is no match";
    };
    for (int i = 0; i < 32; ++i) {
        names.push_back(NumberedName("File", i, ".Txt"));
        ASSERT_NE(Create(dir, names.back()), nullptr);
    }
    EXPECT_FALSE(dir->HasChildIndex) << "32 names are searched in the list";
    check("before the index");
    names.push_back(u"MiXeD.case");
    ASSERT_NE(Create(dir, names.back()), nullptr);
    ASSERT_TRUE(dir->HasChildIndex) << "the 33rd name builds the index";
    EXPECT_EQ(dir->ChildIndex->EntryCount, 33u);
    const ULONG buckets = dir->ChildIndex->BucketCount;
    check("after the index");
    for (int i = 33; i < 300; ++i) {
        names.push_back(NumberedName("more", i));
        ASSERT_NE(Create(dir, names.back()), nullptr);
    }
    EXPECT_GT(dir->ChildIndex->BucketCount, buckets) << "the index grows";
    check("after growth");
    EXPECT_EQ(Children(dir), names) << "enumeration keeps the order of adding";
}

/* A name is 1 to 255 characters; a refused name claims nothing, and nothing is left allocated. */
TEST_F(LinksTest, NameLengthLimits)
{
    const struct {
        size_t bytes;
        NTSTATUS status;
    } cases[] = {{2, STATUS_SUCCESS}, {128, STATUS_SUCCESS}, {510, STATUS_SUCCESS},
                 {512, STATUS_OBJECT_NAME_INVALID}, {0, STATUS_OBJECT_NAME_INVALID}};
    for (const auto &c : cases) {
        PFCB node = NewNode(false);
        TestName name(NameOfBytes(c.bytes, u'a' + (char16_t)(c.bytes % 26)));
        PLINK link = nullptr;
        ASSERT_EQ(n->MakeLink(node, &name.string, &link), c.status) << c.bytes;
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(ToU16(link->Name), name.text);
            EXPECT_EQ(link->Name.Buffer[c.bytes / 2], 0) << "stored names are NUL-terminated";
            n->ReleaseLink(link);
        }
        EXPECT_EQ(node->EmbeddedLink.Signature, 0) << c.bytes;
        n->DereferenceNode(node);
        EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlNm")).liveBlocks, 0u) << c.bytes;
    }
}

/* A second name while the first holds the embedded link is a record of its own; running out of pool changes nothing. */
TEST_F(LinksTest, LinkRecordsAndPoolFailures)
{
    PFCB file = NewNode(false);
    ASSERT_EQ(AddName(root, file, u"first"), STATUS_SUCCESS);
    for (const char *tag : {"vlLk", "vlNm"}) {
        machine::ArmPoolFault(1, machine::TagFromText(tag));
        PLINK link = nullptr;
        TestName name(NameOfBytes(200));
        EXPECT_EQ(n->MakeLink(file, &name.string, &link), STATUS_INSUFFICIENT_RESOURCES) << tag;
        machine::DisarmFaults();
    }
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlNm")).liveBlocks, 0u);
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlLk")).liveBlocks, 0u);
    PLINK second = nullptr;
    ASSERT_EQ(AddName(root, file, u"second", &second), STATUS_SUCCESS);
    EXPECT_NE(second, &file->EmbeddedLink);
    EXPECT_EQ(file->LinkCount, 2u);
    EXPECT_EQ(Refs(file), 2) << "one reference for all names, one for the test";
    n->DereferenceNode(file);
}

/* Without pool a node or a volume's tree state is refused cleanly; a cached record needs none. */
TEST_F(LinksTest, NodesAndVolumesWithoutPool)
{
    PFCB node = nullptr;
    machine::ArmPoolFault(1, machine::TagFromText("vlFb"), true);
    EXPECT_EQ(n->AllocateNode(vcb, FALSE, &node), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(node, nullptr);
    machine::DisarmFaults();
    node = NewNode(FALSE);
    n->DereferenceNode(node);
    machine::ArmPoolFault(1, machine::TagFromText("vlFb"), true);
    PFCB recycled = nullptr;
    EXPECT_EQ(n->AllocateNode(vcb, TRUE, &recycled), STATUS_SUCCESS) << "the free cache serves without pool";
    EXPECT_EQ(recycled, node);
    EXPECT_TRUE(recycled->IsDirectory);
    EXPECT_EQ(recycled->Header.NodeTypeCode, NODE_TYPE_DIRECTORY);
    EXPECT_EQ(Refs(recycled), 1);
    n->DereferenceNode(recycled);

    for (const char *tag : {"vlHi", "vlFb"}) {
        machine::ArmPoolFault(1, machine::TagFromText(tag), true);
        EXPECT_EQ(n->CreateVolume(64ull << 20), nullptr) << tag;
        machine::DisarmFaults();
        EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlHi")).liveBlocks, 1u) << "only this test's volume";
    }
}

/* The final dereference gives back what a node owns: data, EAs, reparse buffer, descriptor, contexts and locks. */
TEST_F(LinksTest, FinalDereferenceFreesWhatTheNodeOwns)
{
    static int freed;
    freed = 0;
    const uint64_t rootDescriptors = machine::PoolTag(machine::TagFromText("vlSd")).liveBlocks;
    PFCB file = NewNode(false);
    file->EaBuffer = (PFILE_FULL_EA_INFORMATION)ExAllocatePoolWithTag(NonPagedPoolNx, 64, machine::TagFromText("vlEa"));
    file->EaLength = 64;
    file->ReparseBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, 32, machine::TagFromText("vlRp"));
    file->ReparseTag = IO_REPARSE_TAG_SYMLINK;
    file->SecurityDescriptor = ExAllocatePoolWithTag(PagedPool, 20, machine::TagFromText("vlSd"));
    file->FileLock = FsRtlAllocateFileLock(nullptr, nullptr);
    FSRTL_PER_STREAM_CONTEXT context;
    FsRtlInitPerStreamContext(&context, &freed, nullptr, [](PVOID) { freed++; });
    ASSERT_EQ(FsRtlInsertPerStreamContext(&file->Header, &context), STATUS_SUCCESS);
    n->DereferenceNode(file);
    EXPECT_EQ(freed, 1) << "the filter's context was handed back";
    for (const char *tag : {"vlEa", "vlRp", "FsLk"}) {
        EXPECT_EQ(machine::PoolTag(machine::TagFromText(tag)).liveBlocks, 0u) << tag;
    }
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlSd")).liveBlocks, rootDescriptors) << "only the root's own";
}

using LinksDeathTest = NamespaceTest;

TEST_F(LinksDeathTest, RemovingANameWithoutTheTreeResourceStops)
{
    PFCB file = NewNode(false);
    PLINK link = nullptr;
    ASSERT_EQ(AddName(root, file, u"x", &link), STATUS_SUCCESS);
    EXPECT_BUGCHECK(n->RemoveLink(link), VOREL_BUGCHECK, {4481, kAnyParameter, 0, 0});
    n->DereferenceNode(file);
}

TEST_F(LinksDeathTest, TearingDownANodeWhoseEmbeddedLinkIsInUseStops)
{
    PFCB file = NewNode(false);
    PLINK link = nullptr;
    TestName name(u"claimed");
    ASSERT_EQ(n->MakeLink(file, &name.string, &link), STATUS_SUCCESS);
    EXPECT_BUGCHECK(n->DereferenceNode(file), VOREL_BUGCHECK, {4271, kAnyParameter, 0, 0});
    n->ReleaseLink(link);
    n->DereferenceNode(file);
}

TEST_F(LinksDeathTest, TearingDownANodeThatStillHasNamesStops)
{
    PFCB file = NewNode(false);
    PLINK first = nullptr;
    ASSERT_EQ(AddName(root, file, u"first", &first), STATUS_SUCCESS);
    ASSERT_EQ(AddName(root, file, u"second"), STATUS_SUCCESS);
    Remove(first);
    n->DereferenceNode(file);
    /* Only the names' reference is left; a stray dereference would end a named node. */
    EXPECT_BUGCHECK(n->DereferenceNode(file), VOREL_BUGCHECK, {3963, kAnyParameter, 0, 0});
}

TEST_F(LinksDeathTest, BrokenSiblingLinksFastFail)
{
    PFCB file = Create(root, u"victim");
    PLINK link = Lookup(root, u"victim");
    ASSERT_NE(link, nullptr);
    (void)file;
    EXPECT_FASTFAIL(
        {
            link->SiblingLinks.Blink->Flink = nullptr;
            Remove(link);
        },
        FAST_FAIL_CORRUPT_LIST_ENTRY);
}

} // namespace
