/*
 * Fixture of the image load tests: images built by hand (a stream model written
 * through the driver's writer, data slots laid out by the image geometry, the
 * header copy from the driver's builder) on drive H:, mounted as volume R: in
 * place of the fixture's own, and the mounted volume's tree read back from its
 * nodes.
 */
#pragma once

#include "image_test.h"
#include "image_volume_test.h"

#include "compress/compress_diagnostics.h"

#include <functional>

/* An image to build: the stream's model, what each data slot holds and the header's settings. */
struct ImagePlan {
    StreamModel model;
    std::map<ULONG, Bytes> slots;           /* data slot -> stored bytes */
    std::map<ULONG, Bytes> decoded;         /* compressed data slot -> the extent it decodes to */
    std::vector<ULONG> metadataSlots;       /* empty: the slots after the data slots */
    ULONGLONG nextNodeId = 100;
    ULONGLONG highWater = 0;                /* 0: one past the last slot used */
    bool checksums = true;
    ULONG perFileSecurity = 1;
    LONGLONG saveTime = 0x01D9123456789ABCll;
    std::function<void(Bytes &)> patchStream; /* damage done to the stream before it is summed */
};

class ImageLoadTest : public ImageVolumeTest {
protected:
    static constexpr const char *kImage = "x.img";

    void SetUp() override
    {
        ImageVolumeTest::SetUp();
        m = static_cast<const VOREL_IMAGE_DIAGNOSTICS *>(machine::DriverSymbol(kService, "VorelImageDiagnostics"));
        c = static_cast<const VOREL_COMPRESS_DIAGNOSTICS *>(
            machine::DriverSymbol(kService, "VorelCompressDiagnostics"));
        ASSERT_NE(m, nullptr);
        ASSERT_NE(c, nullptr);
        PFCB root = NodeAt("\\");
        ASSERT_NE(root, nullptr);
        auto *bytes = static_cast<const UCHAR *>(root->SecurityDescriptor);
        rootDescriptor.assign(bytes, bytes + root->SecurityLength);
        ASSERT_EQ(Dismount('R'), STATUS_SUCCESS);
    }

    static ModelNode Node(ULONGLONG id, bool directory, ULONGLONG size = 0, ULONG links = 1)
    {
        ModelNode node;
        IMAGE_NODE_RECORD &f = node.Fixed;
        f.NodeId = id;
        f.Flags = directory ? IMAGE_NODE_DIRECTORY : 0;
        f.FileSize = size;
        f.LinkCount = links;
        f.SecurityIndex = IMAGE_NODE_NO_SECURITY;
        f.CreationTime = 0x01D8000000000000ll + (LONGLONG)id;
        f.LastWriteTime = f.CreationTime + 10;
        f.LastAccessTime = f.CreationTime + 20;
        f.ChangeTime = f.CreationTime + 30;
        f.Attributes = directory ? 0 : FILE_ATTRIBUTE_ARCHIVE;
        return node;
    }

    /* A raw extent of bytes in slot, with the cold mark when asked. */
    static IMAGE_DATA_MAP_ENTRY Raw(ImagePlan &plan, ULONG extent, ULONG slot, const Bytes &bytes, bool cold = false)
    {
        plan.slots[slot] = bytes;
        IMAGE_DATA_MAP_ENTRY e = {extent, slot, (ULONG)bytes.size(), cold ? IMAGE_STORED_COLD : 0u,
                                  XXH3_64bits(bytes.data(), bytes.size())};
        return e;
    }

    /* A compressed extent holding content (the extent's bytes), coded by the driver's own coder. */
    IMAGE_DATA_MAP_ENTRY Compressed(ImagePlan &plan, ULONG extent, ULONG slot, const Bytes &content, ULONG codec)
    {
        CODEC_CONTEXT context = {};
        EXPECT_EQ(c->SetUpCodecContext(&context, codec, TRUE), STATUS_SUCCESS);
        ULONG stored = 0;
        BOOLEAN worth = FALSE;
        EXPECT_EQ(c->EncodeExtent(&context, content.data(), (ULONG)content.size(), &stored, &worth), STATUS_SUCCESS);
        EXPECT_TRUE(worth);
        Bytes form(context.Scratch, context.Scratch + stored);
        c->TearDownCodecContext(&context);
        plan.slots[slot] = form;
        plan.decoded[slot] = content;
        IMAGE_DATA_MAP_ENTRY e = {extent, slot, (ULONG)content.size(), stored | (codec << IMAGE_STORED_CODEC_SHIFT),
                                  XXH3_64bits(form.data(), form.size())};
        return e;
    }

    /* Writes the image file: header copy 0 (copy 1 empty), the data slots, the metadata pieces. */
    void WriteImage(const ImagePlan &plan, const std::string &name = kImage)
    {
        Bytes stream;
        ASSERT_EQ(WriteStreamModel(m, plan.model, stream), STATUS_SUCCESS);
        if (plan.patchStream)
            plan.patchStream(stream);
        ULONG pieces = (ULONG)((stream.size() + IMAGE_SLOT_SIZE - 1) / IMAGE_SLOT_SIZE);
        std::vector<ULONG> metadata = plan.metadataSlots;
        ULONG next = plan.slots.empty() ? 0 : plan.slots.rbegin()->first + 1;
        while (metadata.size() < pieces)
            metadata.push_back(next++);
        auto header = std::make_unique<IMAGE_HEADER>();
        *header = {};
        header->Compat = IMAGE_FORMAT_COMPAT;
        header->Generation = 1;
        for (ULONG i = 0; i < 16; ++i)
            header->Identifier[i] = (UCHAR)(0xA0 + i);
        header->Flags = plan.checksums ? IMAGE_FLAG_DATA_CHECKSUMS : 0;
        header->HighWater = plan.highWater != 0 ? plan.highWater : std::max(next, *std::max_element(metadata.begin(), metadata.end()) + 1);
        header->VolumeSize = 64 * kMiB;
        header->SerialNumber = 0x1234ABCD;
        header->PerFileSecurity = plan.perFileSecurity;
        header->SaveTime = plan.saveTime;
        header->NextNodeId = plan.nextNodeId;
        header->Label[0] = L'L';
        header->StreamLength = stream.size();
        header->StreamChecksum = XXH3_64bits(stream.data(), stream.size());
        header->MetadataSlotCount = pieces;
        for (ULONG i = 0; i < pieces; ++i)
            header->MetadataSlots[i] = metadata[i];

        std::ofstream out(HostPath(name), std::ios::binary | std::ios::trunc);
        Bytes copy(IMAGE_HEADER_SIZE);
        m->BuildImageHeaderCopy(header.get(), copy.data());
        Put(out, 0, copy);
        Put(out, IMAGE_HEADER_SIZE, Bytes(IMAGE_HEADER_SIZE, 0));
        for (auto &[slot, bytes] : plan.slots)
            Put(out, m->ImageSlotOffset(slot), bytes);
        for (ULONG i = 0; i < pieces; ++i) {
            size_t from = (size_t)i * IMAGE_SLOT_SIZE;
            size_t to = std::min<size_t>(stream.size(), from + IMAGE_SLOT_SIZE);
            Put(out, m->ImageSlotOffset(metadata[i]), Bytes(stream.begin() + from, stream.begin() + to));
        }
    }

    /* Mounts the image on R:. */
    NTSTATUS Load(const std::string &name = kImage) { return CreateFromImage('R', ImagePath(name)); }

    /* The load failed with status, recording stage and message, and R: does not exist. */
    void ExpectFailure(NTSTATUS status, ULONG stage, const char *message)
    {
        EXPECT_EQ(Load(), status);
        VOREL_PERSISTENCE_ERROR error = LastError();
        EXPECT_EQ(error.Operation, (VOREL_U32)VOREL_OPERATION_LOAD);
        EXPECT_EQ(error.Stage, stage);
        EXPECT_EQ((NTSTATUS)error.Status, status);
        EXPECT_EQ(Message(error), message);
        EXPECT_EQ(IdAt("\\"), 0u) << "no volume came up";
    }

    /* Every node of the mounted volume's tree by identifier (the root's children down). */
    std::map<ULONGLONG, PFCB> Nodes()
    {
        std::map<ULONGLONG, PFCB> nodes;
        std::vector<PFCB> pending{MountedVcb()->RootFcb};
        while (!pending.empty()) {
            PFCB directory = pending.back();
            pending.pop_back();
            nodes[directory->NodeId] = directory;
            for (PLIST_ENTRY e = directory->Children.Flink; e != &directory->Children; e = e->Flink) {
                PFCB child = CONTAINING_RECORD(e, LINK, SiblingLinks)->Node;
                if (child->IsDirectory)
                    pending.push_back(child);
                else
                    nodes[child->NodeId] = child;
            }
        }
        return nodes;
    }

    /* A directory's entries as (child, name), in order. */
    static std::vector<std::pair<ULONGLONG, std::u16string>> Entries(PFCB directory)
    {
        std::vector<std::pair<ULONGLONG, std::u16string>> entries;
        for (PLIST_ENTRY e = directory->Children.Flink; e != &directory->Children; e = e->Flink) {
            PLINK link = CONTAINING_RECORD(e, LINK, SiblingLinks);
            entries.push_back({link->Node->NodeId, std::u16string((const char16_t *)link->Name.Buffer,
                                                                   link->Name.Length / 2)});
        }
        return entries;
    }

    /* The file's bytes as a reader sees them. */
    Bytes FileBytes(const std::string &path)
    {
        HANDLE handle = nullptr;
        OpenRequest rq;
        EXPECT_EQ(Open(path, &handle, rq), STATUS_SUCCESS) << path;
        if (handle == nullptr)
            return {};
        Bytes bytes = Contents(handle);
        Close(handle);
        return bytes;
    }

    /*
     * A digest of the image file, to show that nothing wrote it: its size, its
     * modification time (which any write moves) and its header copies.
     */
    std::string ImageDigest(const std::string &name = kImage)
    {
        struct stat info = {};
        EXPECT_EQ(stat(HostPath(name).c_str(), &info), 0);
        std::ifstream in(HostPath(name), std::ios::binary);
        Bytes headers(2 * IMAGE_HEADER_SIZE, 0);
        in.read(reinterpret_cast<char *>(headers.data()), (std::streamsize)headers.size());
        return std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
               std::to_string(info.st_mtim.tv_nsec) + ":" + std::to_string(XXH3_64bits(headers.data(), headers.size()));
    }

    const VOREL_IMAGE_DIAGNOSTICS *m = nullptr;
    const VOREL_COMPRESS_DIAGNOSTICS *c = nullptr;
    Bytes rootDescriptor;

private:
    /* Writes bytes at offset, zero-padded to whole 4096-byte sectors. */
    static void Put(std::ofstream &out, ULONGLONG offset, Bytes bytes)
    {
        bytes.resize((bytes.size() + 4095) / 4096 * 4096, 0);
        out.seekp((std::streamoff)offset);
        out.write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
    }
};
