/*
 * Damaged images: every few bytes of a small image's metadata stream flipped
 * (and summed again, so that the walk meets the damage), the file cut short and
 * its slots damaged, and the load's pool allocations failed one by one. Each
 * load either brings up exactly what the damaged stream says, by the strict
 * reader's account, or fails with a clean status and no volume; the image file
 * is never written; the teardown's pool audit sees that every failure gave
 * everything back.
 */
#include "image_load_test.h"

namespace {

class ImageLoadSweepTest : public ImageLoadTest {
protected:
    static constexpr ULONGLONG kHighWater = 3; /* data slots 0 and 1, the metadata in slot 2 */

    /* root 1: a (5, 2 links), d (7), r (11); d: b (5), z (9, compressed) */
    ImagePlan Small()
    {
        ImagePlan plan;
        StreamModel &model = plan.model;
        model.HasSecurityTable = true;
        model.Descriptors.push_back(rootDescriptor);
        ModelNode root = Node(1, true);
        root.Fixed.SecurityIndex = 0;
        ModelNode a = Node(5, false, 100, 2);
        a.Fixed.SecurityIndex = 0;
        UCHAR ea[32];
        a.Eas.assign(ea, ea + PackOneEa(ea, "K", "v"));
        a.HasMap = true;
        Bytes bytes(100);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = (UCHAR)(i * 7 + 1);
        a.Map.push_back(Raw(plan, 0, 0, bytes));
        ModelNode z = Node(9, false, 5000);
        z.HasMap = true;
        Bytes text(8192, 0);
        for (size_t i = 0; i < 5000; ++i)
            text[i] = (UCHAR)"image load "[i % 11];
        z.Map.push_back(Compressed(plan, 0, 1, text, CODEC_LZ4));
        ModelNode r = Node(11, false);
        r.Reparse = {0x1B, 0, 0, 0x80, 2, 0, 0, 0, 0xCD, 0xEF};
        model.Nodes = {root, a, Node(7, true), z, r};
        model.Directories = {{1, {{5, u"a"}, {7, u"d"}, {11, u"r"}}}, {7, {{5, u"b"}, {9, u"z"}}}};
        plan.nextNodeId = 12;
        return plan;
    }

    /* What a file holds by the map: raw bytes and decoded extents at their places. */
    Bytes Expected(const ImagePlan &plan, const ModelNode &node)
    {
        Bytes bytes((size_t)node.Fixed.FileSize, 0);
        for (auto &e : node.Map) {
            const Bytes &source = e.StorageWord == 0 || e.StorageWord == IMAGE_STORED_COLD
                                      ? plan.slots.at(e.SlotNumber) : plan.decoded.at(e.SlotNumber);
            size_t at = (size_t)e.ExtentNumber << IMAGE_SLOT_SHIFT;
            for (size_t i = 0; i < e.ExtentLength && at + i < bytes.size(); ++i)
                bytes[at + i] = source[i];
        }
        return bytes;
    }

    /* Whether every compressed extent of the node has the length its stored form was coded for. */
    static bool Recoded(const ImagePlan &plan, const ModelNode &node)
    {
        for (auto &e : node.Map) {
            auto decoded = plan.decoded.find(e.SlotNumber);
            if (decoded != plan.decoded.end() && decoded->second.size() != e.ExtentLength)
                return false;
        }
        return true;
    }

    /* The mounted volume holds exactly what parsed (the damaged stream, read strictly) says. */
    void ExpectVolumeHolds(const ImagePlan &plan, const StreamModel &parsed)
    {
        auto nodes = Nodes();
        ASSERT_EQ(nodes.size(), parsed.Nodes.size() + (parsed.Nodes[0].Fixed.NodeId == 1 ? 0 : 1));
        std::map<ULONGLONG, std::string> paths{{1, ""}};
        for (auto &directory : parsed.Directories) {
            EXPECT_EQ(Entries(nodes.at(directory.Id)), directory.Entries);
            for (auto &[child, name] : directory.Entries) {
                bool ascii = paths.count(directory.Id) != 0 &&
                             std::all_of(name.begin(), name.end(), [](char16_t u) { return u > 32 && u < 127; });
                if (ascii && paths.count(child) == 0)
                    paths[child] = paths[directory.Id] + "\\" + std::string(name.begin(), name.end());
            }
        }
        for (auto &node : parsed.Nodes) {
            SCOPED_TRACE(node.Fixed.NodeId);
            PFCB fcb = nodes.at(node.Fixed.NodeId);
            EXPECT_EQ(fcb->CreationTime.QuadPart, node.Fixed.CreationTime);
            EXPECT_EQ(fcb->ChangeTime.QuadPart, node.Fixed.ChangeTime);
            EXPECT_EQ((ULONG)fcb->Attributes, node.Fixed.Attributes & IMAGE_NODE_ATTRIBUTE_MASK);
            EXPECT_EQ(fcb->Data.FileSize, node.Fixed.FileSize);
            EXPECT_EQ(Bytes((UCHAR *)fcb->EaBuffer, (UCHAR *)fcb->EaBuffer + fcb->EaLength), node.Eas);
            if (fcb->IsDirectory || !node.Reparse.empty() || node.Fixed.FileSize > kMiB ||
                paths.count(node.Fixed.NodeId) == 0)
                continue;
            if (Recoded(plan, node)) {
                EXPECT_TRUE(FileBytes(paths[node.Fixed.NodeId]) == Expected(plan, node));
                continue;
            }
            /* A compressed form is not decoded at load: one given another extent length
               by the damage is refused when a read decodes it. */
            HANDLE handle = nullptr;
            ASSERT_EQ(Open(paths[node.Fixed.NodeId], &handle, OpenRequest{}), STATUS_SUCCESS);
            Bytes bytes;
            NTSTATUS status = ReadAt(handle, 0, (size_t)node.Fixed.FileSize, &bytes);
            EXPECT_TRUE(status == STATUS_DATA_ERROR || (NT_SUCCESS(status) && bytes == Expected(plan, node)))
                << std::hex << (ULONG)status;
            Close(handle);
        }
    }

    /*
     * One load of the image as it is on disk: exactly what stream (the stream
     * the file holds) says, or, and always without a stream, a clean failure;
     * the file unchanged either way.
     */
    void LoadOnce(const ImagePlan &plan, const Bytes *stream)
    {
        std::string before = ImageDigest();
        NTSTATUS status = Load();
        if (NT_SUCCESS(status)) {
            ASSERT_NE(stream, nullptr) << "a damaged slot must not load";
            StreamModel parsed;
            ASSERT_EQ(ReadStreamModel(m, *stream, kHighWater, parsed), STATUS_SUCCESS)
                << "the load accepted what the strict reader refuses";
            ExpectVolumeHolds(plan, parsed);
            EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
        } else {
            EXPECT_TRUE(status == STATUS_FILE_CORRUPT_ERROR || status == STATUS_CRC_ERROR ||
                        status == STATUS_INVALID_DEVICE_REQUEST)
                << std::hex << (ULONG)status;
            EXPECT_EQ(IdAt("\\"), 0u);
        }
        EXPECT_EQ(ImageDigest(), before) << "the load wrote the image";
    }
};

TEST_F(ImageLoadSweepTest, AFlippedStreamByteLoadsExactlyWhatItSaysOrFailsCleanly)
{
    ImagePlan plan = Small();
    Bytes clean;
    ASSERT_EQ(WriteStreamModel(m, plan.model, clean), STATUS_SUCCESS);
    std::mt19937 random(7);
    size_t runs = 0;
    for (size_t offset = 0; offset < clean.size(); offset += 1 + random() % 12, ++runs) {
        UCHAR flip = (UCHAR)(1u << (random() % 8));
        SCOPED_TRACE("offset " + std::to_string(offset) + " xor " + std::to_string(flip));
        Bytes damaged = clean;
        damaged[offset] ^= flip;
        plan.patchStream = [&](Bytes &stream) { stream = damaged; };
        WriteImage(plan);
        LoadOnce(plan, &damaged);
        if (HasFailure())
            break;
    }
    EXPECT_GT(runs, 60u);
}

TEST_F(ImageLoadSweepTest, ACutFileOrADamagedSlotFailsCleanly)
{
    ImagePlan plan = Small();
    WriteImage(plan);
    Bytes whole = ImageBytes(kImage);
    Bytes stream;
    ASSERT_EQ(WriteStreamModel(m, plan.model, stream), STATUS_SUCCESS);
    std::vector<size_t> cuts = {100, IMAGE_HEADER_SIZE, 2 * IMAGE_HEADER_SIZE}; /* (an empty file is a new image) */
    for (ULONG slot = 0; slot < kHighWater; ++slot) {
        size_t start = (size_t)m->ImageSlotOffset(slot);
        for (size_t at : {start, start + 1, start + 99, start + 4095})
            cuts.push_back(at);
    }
    for (size_t cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        WriteImageBytes(kImage, Bytes(whole.begin(), whole.begin() + std::min(cut, whole.size())));
        LoadOnce(plan, &stream); /* a cut into a slot's padding leaves what the load needs */
    }
    for (ULONG slot = 0; slot < kHighWater; ++slot) {
        for (size_t at : {0, 5, 63}) {
            SCOPED_TRACE("slot " + std::to_string(slot) + " byte " + std::to_string(at));
            Bytes damaged = whole;
            damaged[m->ImageSlotOffset(slot) + at] ^= 0x10;
            WriteImageBytes(kImage, damaged);
            LoadOnce(plan, nullptr);
            EXPECT_EQ((NTSTATUS)LastError().Status, STATUS_CRC_ERROR);
        }
    }
}

TEST_F(ImageLoadSweepTest, EveryAllocationOfTheLoadFailsInTurnAndGivesEverythingBack)
{
    static const ULONG tags[] = {TAG_IMAGE_LOAD,  TAG_IMAGE_STREAM, TAG_IMAGE_TRANSFER, TAG_IMAGE_HEADER,
                                 TAG_IMAGE_SLOTS, TAG_FCB,          TAG_LINK,           TAG_EA,
                                 TAG_REPARSE,     TAG_DESCRIPTOR,   TAG_COMPRESSED_EXTENT, TAG_EXTENT_TABLE};
    ImagePlan plan = Small();
    WriteImage(plan);
    Bytes stream;
    ASSERT_EQ(WriteStreamModel(m, plan.model, stream), STATUS_SUCCESS);
    size_t failures = 0;
    for (ULONG tag : tags) {
        for (uint64_t n = 1; n < 100; ++n) {
            SCOPED_TRACE("tag " + std::to_string(tag) + " allocation #" + std::to_string(n));
            machine::ArmPoolFault(n, tag);
            NTSTATUS status = Load();
            bool injected = machine::FaultsInjected("ExAllocatePoolWithTag") != 0;
            machine::DisarmFaults();
            if (NT_SUCCESS(status)) {
                EXPECT_EQ(IdAt("\\d\\b"), 5u);
                EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
            } else {
                EXPECT_TRUE(injected);
                /* A mount that fails before its load is refused by the I/O manager as unrecognized. */
                EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNRECOGNIZED_VOLUME)
                    << std::hex << (ULONG)status;
                VOREL_PERSISTENCE_ERROR error = LastError();
                if (status == STATUS_INSUFFICIENT_RESOURCES && error.Operation == VOREL_OPERATION_LOAD) {
                    EXPECT_EQ(error.Stage, IMAGE_STAGE_MEMORY);
                    EXPECT_EQ(Message(error), "out of memory during load");
                }
                EXPECT_EQ(IdAt("\\"), 0u);
                failures++;
            }
            if (!injected || HasFailure())
                break;
        }
    }
    EXPECT_GT(failures, 10u);
}

} // namespace
