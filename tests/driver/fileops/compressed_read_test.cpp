/*
 * Reads of compressed files through a user program's handle: every codec
 * against a byte model, the read window that decodes a sub-block once per
 * handle, corrupt forms, and writes into packed extents. No window outlives
 * the handles that built it.
 */
#include "fileops_test.h"
#include "compress/compress_diagnostics.h"
#include "system_threads.h"

#include <atomic>
#include <functional>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<UCHAR>;
const ULONG kCodecs[] = {CODEC_LZ4, CODEC_LZ4_HC, CODEC_ZSTD};
const ULONGLONG kExtent = 2 * kMiB;
const ULONGLONG kFileSize = 3 * kExtent + 700 * 1024 + 123; /* extent 1 a hole, extent 3 partial */
const ULONGLONG kRun = 520 * 1024; /* holds a whole 256 KiB sub-block of either kind */

class CompressedReadTest : public DataFileOpsTest {
protected:
    void SetUp() override
    {
        FileOpsTest::SetUp();
        ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
        AllocateScratch(8 * kMiB);
        c = static_cast<const VOREL_COMPRESS_DIAGNOSTICS *>(machine::DriverSymbol(kService, "VorelCompressDiagnostics"));
        ASSERT_NE(c, nullptr);
        /* Runs of words and of random bytes in turn. */
        static const char *words[] = {"extent ", "cold ", "volume ", "the ", "window ", "of ", "read\n"};
        std::mt19937 random(7);
        model.resize(kFileSize);
        for (ULONGLONG i = 0; i < kFileSize;) {
            if ((i / kRun) % 2 == 1)
                model[i++] = (UCHAR)random();
            for (const char *w = words[random() % 7]; *w != 0 && i < kFileSize && (i / kRun) % 2 == 0; ++w)
                model[i++] = (UCHAR)*w;
        }
        std::fill(model.begin() + kExtent, model.begin() + 2 * kExtent, 0);
    }

    /* Writes the model (extent 1 left a hole), ends the handle (trimming the last extent) and packs a new one's extents. */
    HANDLE MakeCompressed(const std::string &path, ULONG codec)
    {
        HANDLE handle = OpenFile(path);
        for (ULONGLONG at = 0; at < kFileSize; at += kExtent)
            if (at != kExtent) {
                EXPECT_EQ(WriteAt(handle, at, &model[at], std::min(kExtent, kFileSize - at)), STATUS_SUCCESS);
            }
        Close(handle);
        handle = OpenFile(path);
        Pack(handle, codec);
        EXPECT_EQ(NodeOf(handle)->Data.CompressedExtentCount, 3u);
        return handle;
    }

    /* Packs every extent worth it, under the node's main and paging resources exclusive as the worker would. */
    void Pack(HANDLE handle, ULONG codec)
    {
        PFCB node = NodeOf(handle);
        CODEC_CONTEXT coder{};
        EXPECT_EQ(c->SetUpCodecContext(&coder, codec, TRUE), STATUS_SUCCESS);
        Exclusively(node, [&] {
            for (ULONG i = 0; i < node->Data.ExtentCapacity; ++i) {
                COLD_EXTENT_OUTCOME outcome;
                EXPECT_EQ(c->CompressExtent(node, i, &coder, &outcome), STATUS_SUCCESS);
            }
            return STATUS_SUCCESS;
        });
        c->TearDownCodecContext(&coder);
    }

    /* Sub-block index of the form of extent, and its stored bytes (writable, for the corruption tests). */
    COMPRESSED_SUB_BLOCK SubBlock(HANDLE handle, ULONG extent, ULONG index)
    {
        PCOMPRESSED_EXTENT form = NodeOf(handle)->Data.Extents[extent].Compressed;
        COMPRESSED_SUB_BLOCK block{};
        EXPECT_EQ(c->LocateSubBlock(c->CodecSubBlockShift(form->Codec), form->Pages->Base, form->StoredLength,
                                    form->ExtentLength, index, &block),
                  STATUS_SUCCESS);
        return block;
    }

    /* Reads [at, at + length) and compares it with the model; returns the read's status. */
    NTSTATUS Check(HANDLE handle, ULONGLONG at, size_t length)
    {
        Bytes got;
        NTSTATUS status = ReadAt(handle, (LONGLONG)at, length, &got);
        if (status == STATUS_SUCCESS) {
            EXPECT_TRUE(got.size() == std::min<ULONGLONG>(length, kFileSize - at) &&
                        std::equal(got.begin(), got.end(), model.begin() + at))
                << "at " << at << " length " << length;
        }
        return status;
    }

    /* Runs body on a packed file of each codec; the handle ends after it, and no window may outlive it. */
    void ForEachCodec(const std::function<void(ULONG, HANDLE, const std::string &)> &body)
    {
        for (ULONG codec : kCodecs) {
            std::string path = "\\f" + std::to_string(codec);
            HANDLE handle = MakeCompressed(path, codec);
            body(codec, handle, path);
            Close(handle);
        }
        EXPECT_EQ(Windows(), 0u);
    }

    static uint64_t Windows() { return machine::PoolTag(machine::TagFromText("vlCw")).liveBlocks; }

    const VOREL_COMPRESS_DIAGNOSTICS *c = nullptr;
    Bytes model;
};

TEST_F(CompressedReadTest, RandomReadsOfEveryCodecMatchTheModel)
{
    ForEachCodec([&](ULONG codec, HANDLE handle, const std::string &) {
        ULONGLONG block = 1ull << c->CodecSubBlockShift(codec);
        for (auto [at, length] : {std::pair<ULONGLONG, size_t>{0, kFileSize}, {block - 1, 2}, {kExtent - 100, 200},
                                  {2 * kExtent - 1, block + 2}, {kFileSize - 10, 100}})
            EXPECT_EQ(Check(handle, at, length), STATUS_SUCCESS) << codec;
        std::mt19937 random(codec);
        for (int i = 0; i < 200; ++i) {
            ULONGLONG at = random() % kFileSize;
            EXPECT_EQ(Check(handle, at, 1 + random() % (i % 4 == 0 ? 600000 : 3000)), STATUS_SUCCESS) << codec;
        }
        EXPECT_EQ(Check(handle, kFileSize, 1), STATUS_END_OF_FILE);
        EXPECT_EQ(NodeOf(handle)->Data.CompressedExtentCount, 3u) << "reads leave the extents packed";
    });
}

/*
 * A read decodes only its sub-block (a broken neighbour does not stop it) and a
 * second read in the same sub-block copies from the window: breaking the
 * sub-block itself afterwards stops only a handle that has not decoded it.
 */
TEST_F(CompressedReadTest, ASubBlockIsDecodedOncePerHandle)
{
    ForEachCodec([&](ULONG codec, HANDLE first, const std::string &path) {
        HANDLE second = OpenFile(path);
        ULONGLONG block = 1ull << c->CodecSubBlockShift(codec);
        COMPRESSED_SUB_BLOCK own = SubBlock(first, 0, 0), next = SubBlock(first, 0, 1);
        ASSERT_FALSE(own.Raw || next.Raw);
        Bytes ownBytes(own.Bytes, own.Bytes + own.StoredSize), nextBytes(next.Bytes, next.Bytes + next.StoredSize);
        memset(const_cast<UCHAR *>(next.Bytes), 0xFF, next.StoredSize);
        EXPECT_EQ(Check(first, 100, 1), STATUS_SUCCESS);
        memset(const_cast<UCHAR *>(own.Bytes), 0xFF, own.StoredSize);
        EXPECT_EQ(Check(first, 101, 1000), STATUS_SUCCESS) << "served from the window";
        EXPECT_EQ(Check(second, 100, 1), STATUS_DATA_ERROR);
        EXPECT_EQ(Check(first, block + 1, 1), STATUS_DATA_ERROR);
        EXPECT_EQ(Windows(), 2u);
        std::copy(ownBytes.begin(), ownBytes.end(), const_cast<UCHAR *>(own.Bytes));
        std::copy(nextBytes.begin(), nextBytes.end(), const_cast<UCHAR *>(next.Bytes));
        EXPECT_EQ(Check(first, block + 1, 1), STATUS_SUCCESS);
        EXPECT_EQ(Check(second, 0, 2 * block), STATUS_SUCCESS);
        Close(second);
    });
}

/*
 * Threads reading through one handle at once pass its window between them or
 * build their own: each gets its own bytes, and no window is lost or kept.
 */
TEST_F(CompressedReadTest, ReadersSharingAHandleEachGetTheirBytes)
{
    ForEachCodec([&](ULONG codec, HANDLE, const std::string &path) {
        HANDLE shared = nullptr; /* asynchronous: the I/O manager does not serialise its requests */
        ASSERT_EQ(KernelOpen(path, &shared), STATUS_SUCCESS);
        std::atomic<int> wrong{0};
        std::vector<PKTHREAD> threads;
        for (unsigned t = 0; t < 3; ++t)
            threads.push_back(StartThread([&, t] {
                std::mt19937 random(t * 10 + codec);
                Bytes got(8000);
                for (int i = 0; i < 300; ++i) {
                    LARGE_INTEGER at;
                    at.QuadPart = random() % (4ull << c->CodecSubBlockShift(codec)); /* a few sub-blocks: contention */
                    ULONG length = 1 + random() % 8000; /* short: served inline, never pending */
                    IO_STATUS_BLOCK io{};
                    if (ZwReadFile(shared, nullptr, nullptr, nullptr, &io, got.data(), length, &at, nullptr) !=
                            STATUS_SUCCESS ||
                        !std::equal(got.begin(), got.begin() + length, model.begin() + at.QuadPart))
                        wrong++;
                }
            }));
        for (PKTHREAD thread : threads)
            JoinThread(thread);
        EXPECT_EQ(wrong.load(), 0) << codec;
        ZwClose(shared);
    });
}

/*
 * Corrupt forms fail the reads of their extent with STATUS_DATA_ERROR and
 * nothing else: flipped payload bytes of a coded sub-block, an end offset that
 * goes backwards, and a window that cannot be allocated.
 */
TEST_F(CompressedReadTest, CorruptFormsFailOnlyTheirExtent)
{
    ForEachCodec([&](ULONG codec, HANDLE handle, const std::string &path) {
        ULONG index = 0;
        while (SubBlock(handle, 2, index).Raw)
            ++index;
        COMPRESSED_SUB_BLOCK coded = SubBlock(handle, 2, index);
        ULONGLONG start = 2 * kExtent + ((ULONGLONG)index << c->CodecSubBlockShift(codec));
        int refused = 0;
        for (ULONG at : {0u, 1u, 2u, 7u, 40u, coded.StoredSize / 2, coded.StoredSize - 1}) {
            const_cast<UCHAR *>(coded.Bytes)[at] ^= 0xFF;
            Bytes got; /* a flipped literal may decode, to other bytes */
            NTSTATUS status = ReadAt(handle, (LONGLONG)start, coded.ExpectedSize, &got);
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DATA_ERROR) << std::hex << status;
            refused += status == STATUS_DATA_ERROR;
            const_cast<UCHAR *>(coded.Bytes)[at] ^= 0xFF;
            EXPECT_EQ(Check(handle, 0, 1), STATUS_SUCCESS); /* another sub-block: the next try decodes again */
        }
        EXPECT_GT(refused, 0) << codec;

        PUCHAR ends = NodeOf(handle)->Data.Extents[2].Compressed->Pages->Base + 4;
        ULONG saved, lie;
        memcpy(&saved, ends + 4, 4);
        memcpy(&lie, ends, 4);
        lie -= 1; /* the second sub-block would end before the first */
        memcpy(ends + 4, &lie, 4);
        EXPECT_EQ(Check(handle, 2 * kExtent + kExtent - 1, 1), STATUS_DATA_ERROR);
        EXPECT_EQ(Check(handle, 0, kFileSize), STATUS_DATA_ERROR);
        EXPECT_EQ(Check(handle, kExtent - 5, kExtent), STATUS_SUCCESS);
        EXPECT_EQ(Check(handle, 3 * kExtent, kExtent), STATUS_SUCCESS);
        memcpy(ends + 4, &saved, 4);

        HANDLE other = OpenFile(path);
        machine::ArmPoolFault(1, machine::TagFromText("vlCw"));
        EXPECT_EQ(Check(other, start, 1), STATUS_INSUFFICIENT_RESOURCES);
        machine::DisarmFaults();
        EXPECT_EQ(Check(other, 0, kFileSize), STATUS_SUCCESS);
        Close(other);
    });
}

/*
 * A write decodes the extent it lands in and leaves its other bytes alone; once
 * the extent is packed again, a window that still holds its old bytes is not used.
 */
TEST_F(CompressedReadTest, WritesIntoPackedExtentsKeepTheirOtherBytes)
{
    const ULONGLONG at = 2 * kExtent + 60000;
    ForEachCodec([&](ULONG codec, HANDLE handle, const std::string &) {
        EXPECT_EQ(Check(handle, at, 10), STATUS_SUCCESS); /* a window over the bytes rewritten */
        Bytes data(5000, (UCHAR)(0x40 + codec));
        ASSERT_EQ(WriteAt(handle, at, data.data(), data.size()), STATUS_SUCCESS);
        std::copy(data.begin(), data.end(), model.begin() + at);
        EXPECT_EQ(NodeOf(handle)->Data.CompressedExtentCount, 2u) << "only the written extent is decoded";
        EXPECT_EQ(Check(handle, at, 10), STATUS_SUCCESS);
        Pack(handle, codec);
        EXPECT_EQ(Check(handle, at, 10), STATUS_SUCCESS) << "packed again: the window is stale";
        EXPECT_EQ(Check(handle, 0, kFileSize), STATUS_SUCCESS);
    });
}

} // namespace
