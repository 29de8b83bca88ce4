/*
 * Names and nodes: adding and removing names, the child index, name storage, the
 * node-id index, orphans and the final dereference, and the invariants that stop
 * the system when the reference discipline breaks.
 */
#include "namespace_test.h"

#include <algorithm>

namespace {

using LinksTest = NamespaceTest;

/* Every name of a directory is found in any case before and after its index is built. */
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
    EXPECT_EQ(dir->ChildIndex->BucketCount, 32u);
    EXPECT_EQ(dir->ChildIndex->EntryCount, 33u);
    check("after the index");
    for (int i = 33; i < 300; ++i) {
        names.push_back(NumberedName("more", i));
        ASSERT_NE(Create(dir, names.back()), nullptr);
    }
    EXPECT_EQ(dir->ChildIndex->BucketCount, 128u) << "the index doubles past four names per bucket";
    check("after growth");
    EXPECT_EQ(Children(dir), names) << "enumeration keeps the order of adding";
}

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

/* Names up to 126 bytes live in the link; longer ones get their own buffer; 510 is the limit. */
TEST_F(LinksTest, NameStorageAndLengthLimits)
{
    struct Case {
        size_t bytes;
        NTSTATUS status;
        bool inlineName;
    } cases[] = {{2, STATUS_SUCCESS, true},       {126, STATUS_SUCCESS, true}, {128, STATUS_SUCCESS, false},
                 {510, STATUS_SUCCESS, false},    {512, STATUS_OBJECT_NAME_INVALID, false},
                 {0, STATUS_OBJECT_NAME_INVALID, false}};
    for (const Case &c : cases) {
        PFCB node = NewNode(false);
        TestName name(NameOfBytes(c.bytes, u'a' + (char16_t)(c.bytes % 26)));
        PLINK link = nullptr;
        ULONGLONG namesBefore = machine::PoolTag(machine::TagFromText("vlNm")).liveBlocks;
        ASSERT_EQ(n->MakeLink(node, &name.string, &link), c.status) << c.bytes;
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(link, &node->EmbeddedLink) << "a node's first name uses its embedded link";
            EXPECT_EQ(link->Name.Buffer == link->InlineName, c.inlineName) << c.bytes;
            EXPECT_EQ(link->Name.MaximumLength, c.inlineName ? 128 : c.bytes + 2) << c.bytes;
            EXPECT_EQ(link->Name.Buffer[c.bytes / 2], 0) << "stored names are NUL-terminated";
            EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlNm")).liveBlocks, namesBefore + (c.inlineName ? 0 : 1));
            n->ReleaseLink(link);
            EXPECT_EQ(node->EmbeddedLink.Signature, 0) << "releasing the name frees the embedded link";
        } else {
            EXPECT_EQ(node->EmbeddedLink.Signature, 0) << "a refused name claims nothing";
        }
        n->DereferenceNode(node);
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

/*
 * A file with two names loses both while referenced: it becomes an orphan, is not
 * found by id, cannot be named again, and goes at its last dereference.
 */
TEST_F(LinksTest, OrphanLivesUntilItsLastReference)
{
    PFCB file = NewNode(false);
    PLINK first = nullptr, second = nullptr;
    ASSERT_EQ(AddName(root, file, u"a.txt", &first), STATUS_SUCCESS);
    ASSERT_EQ(AddName(root, file, u"b.txt", &second), STATUS_SUCCESS);
    ULONGLONG id = file->NodeId;
    PFCB byId = n->LookupNodeById(vcb, id);
    EXPECT_EQ(byId, file);
    n->DereferenceNode(byId);

    file->DeletePending = TRUE;
    Remove(first);
    EXPECT_FALSE(file->DeletePending) << "a node that keeps a name is no longer being deleted";
    EXPECT_FALSE(file->Unlinked);
    EXPECT_EQ(n->LookupNodeById(vcb, id), file);
    n->DereferenceNode(file);

    Remove(second);
    EXPECT_TRUE(file->Unlinked);
    EXPECT_EQ(file->LinkCount, 0u);
    EXPECT_EQ(Refs(file), 1) << "the test's reference keeps it";
    EXPECT_EQ(vcb->OrphanList.Flink, &file->OrphanLinks);
    EXPECT_EQ(n->LookupNodeById(vcb, id), nullptr) << "a node without names is not found by id";
    EXPECT_EQ(AddName(root, file, u"again"), STATUS_ACCESS_DENIED) << "an unlinked node is never named again";
    EXPECT_EQ(Lookup(root, u"a.txt"), nullptr);

    ULONG cached = vcb->FreeFcbCount;
    n->DereferenceNode(file);
    EXPECT_TRUE(IsListEmpty(&vcb->OrphanList));
    EXPECT_EQ(vcb->FreeFcbCount, cached + 1) << "the record goes back to the free cache";
}

/* Naming something inside a directory whose own name is gone fails with STATUS_DELETE_PENDING. */
TEST_F(LinksTest, DeletedDirectoryTakesNoNames)
{
    PFCB dir = NewNode(true);
    PLINK name = nullptr;
    ASSERT_EQ(AddName(root, dir, u"doomed", &name), STATUS_SUCCESS);
    Remove(name);
    PFCB file = NewNode(false);
    EXPECT_EQ(AddName(dir, file, u"inside"), STATUS_DELETE_PENDING);
    EXPECT_EQ(file->EmbeddedLink.Signature, 0) << "the refused name was released";
    n->DereferenceNode(file);
    n->DereferenceNode(dir);
}

/* Node ids grow with every allocation and are never handed out again, also when records are recycled. */
TEST_F(LinksTest, NodeIdsAreNeverReused)
{
    EXPECT_EQ(root->NodeId, 1u);
    PFCB byId = n->LookupNodeById(vcb, 1);
    EXPECT_EQ(byId, root) << "id 1 names the root";
    n->DereferenceNode(byId);
    ULONGLONG last = 1;
    for (int round = 0; round < 3; ++round) {
        std::vector<PFCB> nodes;
        for (int i = 0; i < 600; ++i) {
            nodes.push_back(NewNode(i % 7 == 0));
            EXPECT_GT(nodes.back()->NodeId, last);
            last = nodes.back()->NodeId;
        }
        for (PFCB node : nodes)
            n->DereferenceNode(node);
        EXPECT_EQ(vcb->FreeFcbCount, 512u) << "the free cache keeps at most 512 records";
    }
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlFb")).liveBlocks, 513u) << "the root and the cache";
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

/* Reported attributes: the stored ones that may be reported, plus what the node is; nothing is NORMAL. */
TEST_F(LinksTest, AttributesAndTimes)
{
    PFCB file = Create(root, u"file");
    PFCB dir = Create(root, u"dir", true);
    EXPECT_EQ(root->Attributes, FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    EXPECT_EQ(n->ReportedAttributes(root), (ULONG)(FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(n->ReportedAttributes(file), (ULONG)FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(n->ReportedAttributes(dir), (ULONG)FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(file->CreationTime.QuadPart, file->ChangeTime.QuadPart) << "all four times start equal";
    EXPECT_EQ(file->LastWriteTime.QuadPart, file->LastAccessTime.QuadPart);

    file->Attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE |
                       FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_HIDDEN;
    EXPECT_EQ(n->ReportedAttributes(file), (ULONG)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN))
        << "stored bits outside 0x3127 are never reported";
    file->Sparse = TRUE;
    file->ReparseTag = IO_REPARSE_TAG_SYMLINK;
    EXPECT_EQ(n->ReportedAttributes(file), (ULONG)(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                   FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_REPARSE_POINT));
    file->ReparseTag = 0;

    LARGE_INTEGER created = file->CreationTime;
    machine::AdvanceClock(10'000'000);
    n->NoteDataModified(file);
    EXPECT_GT(file->LastWriteTime.QuadPart, created.QuadPart);
    EXPECT_EQ(file->ChangeTime.QuadPart, file->LastWriteTime.QuadPart);
    EXPECT_EQ(file->CreationTime.QuadPart, created.QuadPart);
    EXPECT_TRUE(file->Attributes & FILE_ATTRIBUTE_ARCHIVE) << "a data change sets the archive bit";
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
