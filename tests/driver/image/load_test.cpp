/*
 * Image load: an image of every kind of content mounted and compared node by
 * node with what it says; the binding it leaves; and each strictness rule
 * broken on its own, each failing with its stage and leaving no volume.
 */
#include "image_load_test.h"

namespace {

constexpr ULONG kReparseTag = 0x8000001B;

Bytes Pattern(size_t length, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(length);
    for (auto &b : bytes)
        b = (UCHAR)(1 + random() % 255);
    return bytes;
}

/* Text followed by zeros up to length: what a compressed tail extent holds past the end of file. */
Bytes TextExtent(size_t text, size_t length, unsigned seed)
{
    Bytes bytes(length, 0);
    static const char *const words[] = {"volume ", "image ", "slot ", "node ", "\n", "extent "};
    std::mt19937 random(seed);
    for (size_t i = 0; i < text;) {
        for (const char *w = words[random() % 6]; *w != 0 && i < text; ++w)
            bytes[i++] = (UCHAR)*w;
    }
    return bytes;
}

class ImageLoadContentTest : public ImageLoadTest {
protected:
    /*
     * root 1: a.txt (5, also dir\link.txt), dir (7), zero (12), single (13), small.z (14)
     * dir 7: link.txt (5), big (9), point (11)
     */
    ImagePlan RichImage()
    {
        ImagePlan plan;
        StreamModel &model = plan.model;
        model.HasSecurityTable = true;
        model.Descriptors.push_back(rootDescriptor);
        model.SkippedRecords = 1;

        ModelNode root = Node(1, true);
        root.Fixed.Attributes = FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_HIDDEN;
        root.Fixed.SecurityIndex = 0;
        ModelNode a = Node(5, false, 100, 2);
        a.Fixed.Attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE | 0x80000; /* a bit no reader keeps */
        a.Fixed.SecurityIndex = 0;
        a.Fixed.Flags |= IMAGE_NODE_OWN_SECURITY;
        UCHAR ea[32];
        a.Eas.assign(ea, ea + PackOneEa(ea, "COLOR", "blue"));
        a.HasMap = true;
        a.Map.push_back(Raw(plan, 0, 0, Pattern(100, 1)));
        ModelNode dir = Node(7, true);
        ModelNode big = Node(9, false, 5 * kMiB + 7);
        big.Fixed.Flags |= IMAGE_NODE_SPARSE;
        big.HasMap = true;
        big.Map.push_back(Raw(plan, 0, 1, Pattern(2 * kMiB, 2), true));
        big.Map.push_back(Compressed(plan, 2, 2, TextExtent(kMiB + 7, kMiB + 4096, 3), CODEC_LZ4));
        ModelNode point = Node(11, false);
        std::vector<UCHAR> reparse(8 + 4, 0);
        memcpy(reparse.data(), &kReparseTag, 4);
        reparse[4] = 4;
        reparse[8] = 0xAB;
        point.Reparse = reparse;
        ModelNode zero = Node(12, false, 3000);
        ModelNode single = Node(13, false, 1536 * 1024);
        single.HasMap = true;
        single.Map.push_back(Raw(plan, 0, 3, Pattern(1536 * 1024, 4)));
        ModelNode small = Node(14, false, 10000);
        small.HasMap = true;
        small.Map.push_back(Compressed(plan, 0, 4, TextExtent(10000, 12288, 5), CODEC_ZSTD));
        model.Nodes = {root, a, dir, big, point, zero, single, small};
        model.Directories = {{1, {{5, u"a.txt"}, {7, u"dir"}, {12, u"zero"}, {13, u"single"}, {14, u"small.z"}}},
                             {7, {{5, u"link.txt"}, {9, u"big"}, {11, u"point"}}}};
        plan.nextNodeId = 15;
        return plan;
    }
};

TEST_F(ImageLoadContentTest, EveryKindOfContentComesBackAsTheImageSaysAndTheImageIsNotWritten)
{
    ImagePlan plan = RichImage();
    WriteImage(plan);
    std::string before = ImageDigest();
    ASSERT_EQ(Load(), STATUS_SUCCESS);

    auto nodes = Nodes();
    ASSERT_EQ(nodes.size(), 8u);
    for (auto &node : plan.model.Nodes) {
        SCOPED_TRACE(node.Fixed.NodeId);
        PFCB fcb = nodes.at(node.Fixed.NodeId);
        EXPECT_EQ(fcb->IsDirectory, (node.Fixed.Flags & IMAGE_NODE_DIRECTORY) != 0);
        EXPECT_EQ(fcb->CreationTime.QuadPart, node.Fixed.CreationTime);
        EXPECT_EQ(fcb->LastWriteTime.QuadPart, node.Fixed.LastWriteTime);
        EXPECT_EQ(fcb->LastAccessTime.QuadPart, node.Fixed.LastAccessTime);
        EXPECT_EQ(fcb->ChangeTime.QuadPart, node.Fixed.ChangeTime);
        EXPECT_EQ((ULONG)fcb->Attributes, node.Fixed.Attributes & IMAGE_NODE_ATTRIBUTE_MASK);
        EXPECT_EQ(fcb->Data.FileSize, node.Fixed.FileSize);
        if (node.Fixed.NodeId != 1) {
            EXPECT_EQ(fcb->LinkCount, node.Fixed.LinkCount);
        }
        EXPECT_EQ(Bytes((UCHAR *)fcb->EaBuffer, (UCHAR *)fcb->EaBuffer + fcb->EaLength), node.Eas);
        EXPECT_EQ(Bytes((UCHAR *)fcb->ReparseBuffer, (UCHAR *)fcb->ReparseBuffer + fcb->ReparseLength), node.Reparse);
        if (node.Fixed.SecurityIndex == 0) {
            EXPECT_TRUE(fcb->SharedSecurity);
            EXPECT_EQ(fcb->DefaultSecurity, (node.Fixed.Flags & IMAGE_NODE_OWN_SECURITY) != 0);
            auto *bytes = (const UCHAR *)fcb->SecurityDescriptor;
            EXPECT_EQ(Bytes(bytes, bytes + fcb->SecurityLength), rootDescriptor);
        }
    }
    for (auto &directory : plan.model.Directories)
        EXPECT_EQ(Entries(nodes.at(directory.Id)), directory.Entries);
    EXPECT_EQ(nodes.at(11)->ReparseTag, kReparseTag);

    /* Clean extents in the tier each file ends in, before anything reads them. */
    PFCB big = nodes.at(9);
    EXPECT_TRUE(big->Sparse);
    ASSERT_NE(big->Data.Extents, nullptr);
    EXPECT_EQ(big->Data.Extents[0].ImageWord, 2u);
    EXPECT_TRUE(big->Data.Extents[0].Flags & EXTENT_COLD);
    EXPECT_EQ(big->Data.Extents[1].Data, nullptr) << "a hole stays a hole";
    EXPECT_EQ(big->Data.Extents[1].Compressed, nullptr);
    ASSERT_NE(big->Data.Extents[2].Compressed, nullptr) << "loaded compressed, not decoded";
    EXPECT_EQ(big->Data.Extents[2].ImageWord, 3u);
    EXPECT_TRUE(big->Data.PartialExtentPending);
    EXPECT_EQ(big->Data.PartialExtentIndex, 2u);
    EXPECT_EQ(nodes.at(5)->Data.SingleImageWord, 1u);
    EXPECT_EQ(nodes.at(5)->Data.Extents, nullptr);
    EXPECT_EQ(nodes.at(13)->Data.SingleImageWord, 4u);
    ASSERT_NE(nodes.at(14)->Data.Extents, nullptr);
    EXPECT_EQ(nodes.at(14)->Data.Extents[0].ImageWord, 5u);
    EXPECT_EQ(MountedVcb()->Store.ChargeSuspended, 0);

    /* The binding knows the committed slots and is synced with the volume. */
    PIMAGE_BINDING binding = MountedVcb()->SyncedBinding;
    ASSERT_NE(binding, nullptr);
    EXPECT_TRUE(binding->SlotsKnown);
    EXPECT_EQ(binding->LastSaveStatus, 0);
    EXPECT_EQ(binding->LastSaveTime, plan.saveTime);
    for (ULONG slot = 0; slot <= 5; ++slot) {
        SCOPED_TRACE(slot);
        ASSERT_LT(slot, binding->CommittedSlots.Capacity);
        EXPECT_TRUE(binding->CommittedSlots.Bits[slot / 64] & (1ull << (slot % 64)));
    }
    EXPECT_FALSE(binding->CommittedSlots.Bits[0] & (1ull << 6));
    const IMAGE_SLOT_RECORD &compressed = binding->CommittedSlots.Records[2];
    EXPECT_EQ(compressed.StorageWord, plan.model.Nodes[3].Map[1].StorageWord);
    EXPECT_EQ(compressed.StoredLength, plan.slots[2].size());
    EXPECT_EQ(compressed.Checksum, plan.model.Nodes[3].Map[1].Checksum);
    EXPECT_EQ(binding->CommittedSlots.Records[1].StorageWord, IMAGE_STORED_COLD);
    EXPECT_EQ(binding->CommittedSlots.Records[1].StoredLength, 2 * kMiB);
    EXPECT_EQ(binding->CommittedSlots.Records[5].StoredLength, 0u) << "a metadata slot";

    /* The data, read through the file system. */
    EXPECT_EQ(FileBytes("\\a.txt"), plan.slots[0]);
    EXPECT_EQ(FileBytes("\\dir\\link.txt"), plan.slots[0]);
    Bytes expected(5 * kMiB + 7, 0);
    std::copy(plan.slots[1].begin(), plan.slots[1].end(), expected.begin());
    std::copy(plan.decoded[2].begin(), plan.decoded[2].begin() + kMiB + 7, expected.begin() + 4 * kMiB);
    EXPECT_TRUE(FileBytes("\\dir\\big") == expected);
    EXPECT_EQ(FileBytes("\\zero"), Bytes(3000, 0));
    EXPECT_TRUE(FileBytes("\\single") == plan.slots[3]);
    EXPECT_EQ(FileBytes("\\small.z"), Bytes(plan.decoded[4].begin(), plan.decoded[4].begin() + 10000));

    /* New nodes take identifiers above every loaded one. */
    ASSERT_EQ(Make("\\new"), STATUS_SUCCESS);
    EXPECT_EQ(IdAt("\\new"), 15u);
    EXPECT_EQ(IdAt("\\dir\\link.txt"), 5u);

    ASSERT_EQ(Dismount('R'), STATUS_SUCCESS);
    EXPECT_EQ(ImageDigest(), before);
}

TEST_F(ImageLoadContentTest, OnAVolumeWithoutSecurityDescriptorsAreNotKept)
{
    ImagePlan plan = RichImage();
    plan.perFileSecurity = 0;
    WriteImage(plan);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    auto nodes = Nodes();
    EXPECT_EQ(nodes.at(5)->SecurityDescriptor, nullptr);
    EXPECT_FALSE(nodes.at(5)->SharedSecurity);
}

/* The smallest image that loads: a file of ten bytes named f, its data in slot 0, metadata in slot 1. */
class ImageLoadRuleTest : public ImageLoadTest {
protected:
    ImagePlan Minimal()
    {
        ImagePlan plan;
        ModelNode file = Node(5, false, 10);
        file.HasMap = true;
        file.Map.push_back(Raw(plan, 0, 0, Pattern(10, 9)));
        plan.model.Nodes = {Node(1, true), file};
        plan.model.Directories = {{1, {{5, u"f"}}}};
        plan.nextNodeId = 6;
        return plan;
    }
};

TEST_F(ImageLoadRuleTest, TheMinimalImageLoadsAndTheFixtureSeesIt)
{
    WriteImage(Minimal());
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(IdAt("\\f"), 5u);
}

/* One rule of the load broken on its own: how the minimal image is damaged, and what the load records. */
struct BrokenRule {
    const char *name;
    std::function<void(ImagePlan &)> damage;
    NTSTATUS status;
    ULONG stage;
};

TEST_F(ImageLoadRuleTest, EachBrokenRuleFailsWithItsStageAndLeavesNoVolume)
{
    const NTSTATUS corrupt = STATUS_FILE_CORRUPT_ERROR;
    const std::vector<BrokenRule> rules = {
        {"stream end counts one node too few",
         [](ImagePlan &p) { p.patchStream = [](Bytes &s) { s[s.size() - 16] = 1; }; }, corrupt, IMAGE_STAGE_CORRUPT},
        {"stream end counts one node too many",
         [](ImagePlan &p) { p.patchStream = [](Bytes &s) { s[s.size() - 16] = 3; }; }, corrupt, IMAGE_STAGE_CORRUPT},
        {"stream end counts one name too many",
         [](ImagePlan &p) { p.patchStream = [](Bytes &s) { s[s.size() - 8] = 2; }; }, corrupt,
         IMAGE_STAGE_REACHABILITY},
        {"a file of two links named once", [](ImagePlan &p) { p.model.Nodes[1].Fixed.LinkCount = 2; }, corrupt,
         IMAGE_STAGE_REACHABILITY},
        {"a directory named twice",
         [](ImagePlan &p) {
             p.model.Nodes.push_back(Node(7, true));
             p.model.Directories[0].Entries.push_back({7, u"d1"});
             p.model.Directories[0].Entries.push_back({7, u"d2"});
         },
         corrupt, IMAGE_STAGE_CORRUPT},
        {"directories naming each other, hanging from nothing",
         [](ImagePlan &p) {
             p.model.Nodes.push_back(Node(7, true));
             p.model.Nodes.push_back(Node(8, true));
             p.model.Nodes.push_back(Node(9, false));
             p.model.Directories.push_back({7, {{8, u"b"}}});
             p.model.Directories.push_back({8, {{7, u"a"}, {9, u"leaf"}}});
         },
         corrupt, IMAGE_STAGE_REACHABILITY},
        {"a directory naming itself",
         [](ImagePlan &p) {
             p.model.Nodes.push_back(Node(7, true));
             p.model.Directories.push_back({7, {{7, u"self"}}});
         },
         corrupt, IMAGE_STAGE_REACHABILITY},
        {"two names of one directory differing only in case",
         [](ImagePlan &p) {
             p.model.Nodes.push_back(Node(6, false));
             p.model.Directories[0].Entries.push_back({6, u"F"});
         },
         corrupt, IMAGE_STAGE_CORRUPT},
        {"a data entry in the metadata slot",
         [](ImagePlan &p) {
             p.metadataSlots = {0};
             p.slots[1] = p.slots[0];
             p.model.Nodes[1].Map[0].SlotNumber = 0;
         },
         corrupt, IMAGE_STAGE_CORRUPT},
        {"an invalid descriptor",
         [](ImagePlan &p) {
             p.model.HasSecurityTable = true;
             p.model.Descriptors.push_back(Bytes(24, 0x77));
             p.model.Nodes[1].Fixed.SecurityIndex = 0;
         },
         corrupt, IMAGE_STAGE_CORRUPT},
        {"a next node identifier not above every node", [](ImagePlan &p) { p.nextNodeId = 5; }, corrupt,
         IMAGE_STAGE_CORRUPT},
        {"a node of a later format version",
         [](ImagePlan &p) { p.model.Nodes[1].Fixed.Flags |= IMAGE_NODE_UNSUPPORTED; }, STATUS_INVALID_DEVICE_REQUEST,
         IMAGE_STAGE_SLOT_IO},
    };
    static const std::map<ULONG, const char *> messages = {{IMAGE_STAGE_CORRUPT, "corrupt metadata record"},
                                                           {IMAGE_STAGE_REACHABILITY,
                                                            "link-count / reachability mismatch"},
                                                           {IMAGE_STAGE_SLOT_IO, "image slot read failed"}};
    for (auto &rule : rules) {
        SCOPED_TRACE(rule.name);
        ImagePlan plan = Minimal();
        rule.damage(plan);
        WriteImage(plan);
        ExpectFailure(rule.status, rule.stage, messages.at(rule.stage));
    }
}

TEST_F(ImageLoadRuleTest, AFlippedByteInADataSlotIsAChecksumMismatchUnlessTheImageCarriesNone)
{
    ImagePlan plan = Minimal();
    plan.slots[0][3] ^= 0x40;
    WriteImage(plan);
    ExpectFailure(STATUS_CRC_ERROR, IMAGE_STAGE_CHECKSUM, "metadata checksum mismatch");

    plan.checksums = false;
    WriteImage(plan);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(FileBytes("\\f"), plan.slots[0]);
}

TEST_F(ImageLoadRuleTest, AFlippedByteInTheStreamIsAChecksumMismatch)
{
    WriteImage(Minimal());
    std::vector<UCHAR> bytes = ImageBytes(kImage);
    bytes[m->ImageSlotOffset(1) + 20] ^= 1;
    WriteImageBytes(kImage, bytes);
    ExpectFailure(STATUS_CRC_ERROR, IMAGE_STAGE_CHECKSUM, "metadata checksum mismatch");
}

TEST_F(ImageLoadRuleTest, RecordsOfUnknownTypesWithoutTheTopBitAreSkipped)
{
    ImagePlan plan = Minimal();
    plan.model.SkippedRecords = 2; /* types 7 and 8 */
    WriteImage(plan);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(FileBytes("\\f"), plan.slots[0]);
}

TEST_F(ImageLoadRuleTest, AHighWaterMarkFarBeyondTheFileSizesNothingByIt)
{
    ImagePlan plan = Minimal();
    plan.highWater = IMAGE_SLOT_LIMIT;
    WriteImage(plan);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_LE(MountedVcb()->SyncedBinding->CommittedSlots.Capacity, 64u);
}

TEST_F(ImageLoadRuleTest, AFileCutShortInsideItsMetadataIsCorrupt)
{
    ImagePlan plan = Minimal();
    WriteImage(plan);
    ASSERT_EQ(truncate(HostPath(kImage).c_str(), (off_t)m->ImageSlotOffset(1) + 8), 0);
    ExpectFailure(STATUS_FILE_CORRUPT_ERROR, IMAGE_STAGE_CORRUPT, "corrupt metadata record");
}

TEST_F(ImageLoadRuleTest, AFailedLoadLeavesTheDriverFreeToMountAgain)
{
    ImagePlan plan = Minimal();
    plan.model.Nodes[1].Fixed.LinkCount = 2;
    WriteImage(plan);
    EXPECT_EQ(Load(), STATUS_FILE_CORRUPT_ERROR);
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    EXPECT_EQ(IdAt("\\f"), 0u);
}

} // namespace
