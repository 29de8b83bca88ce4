/*
 * Codec contexts and round trips: every level's forms of text, random bytes,
 * zeros and mixed extents of awkward lengths decode to the extent, whole and
 * sub-block by sub-block; contexts own all their memory between setup and
 * teardown and nothing after.
 */
#include "compress_test.h"

namespace {

using CodecRoundTripTest = CodecTest;

TEST_F(CodecRoundTripTest, EveryLevelsFormDecodesWholeAndBySubBlock)
{
    for (ULONG level = COMPRESSION_LEVEL_FAST; level <= COMPRESSION_LEVEL_MAX; ++level) {
        ULONG codec = c->CodecForCompressionLevel(level);
        PCODEC_CONTEXT coder = Context(codec, TRUE), decoder = Context(codec, FALSE);
        ULONG shift = coder->SubBlockShift;
        for (size_t length : {size_t(1), size_t(4095), size_t(65537), size_t(300000), size_t(0x200000)}) {
            for (const char *kind : {"text", "random", "zeros", "mixed"}) {
                std::string what = kind;
                Bytes extent = what == "mixed" ? Mixed(length, shift) : Fill(length, what == "text", 9);
                if (what == "zeros")
                    extent.assign(length, 0);
                SCOPED_TRACE(testing::Message() << "codec " << codec << ", " << kind << ", " << length << " bytes");
                BOOLEAN worth;
                Bytes form = Encode(coder, extent, &worth), out;
                /* A form not worth keeping leaves its raw sub-blocks' bytes out: only its shape counts. */
                if (worth) {
                    ASSERT_EQ(Decode(decoder, shift, form, (ULONG)length, out), STATUS_SUCCESS);
                    ASSERT_TRUE(out == extent);
                }

                ULONG count = (ULONG)((length - 1) >> shift) + 1, raw = 0;
                for (ULONG index = 0; index < count; ++index) {
                    COMPRESSED_SUB_BLOCK block;
                    ASSERT_EQ(c->LocateSubBlock(shift, form.data(), (ULONG)form.size(), (ULONG)length, index, &block),
                              STATUS_SUCCESS);
                    size_t start = size_t(index) << shift;
                    Bytes part(std::min(size_t(1) << shift, length - start));
                    ASSERT_EQ(block.ExpectedSize, part.size());
                    ASSERT_EQ(c->DecompressSubBlock(decoder, codec, &block, part.data()), STATUS_SUCCESS);
                    ASSERT_TRUE(!worth || std::equal(part.begin(), part.end(), extent.begin() + start));
                    raw += block.Raw;
                }
                /* What does not shrink (random bytes, a 1-byte tail) is raw; text and zeros are coded. */
                ULONG tiny = length % (1u << shift) == 1 ? 1 : 0;
                EXPECT_EQ(raw, what == "random" ? count : what == "mixed" ? count / 2 + (count % 2 ? tiny : 0) : tiny);
                if (length == 0x200000) {
                    EXPECT_EQ(worth, what != "random") << "a form is kept only when it saves a page";
                }
            }
        }
    }
}

TEST_F(CodecRoundTripTest, KeepsOnlyFormsThatSaveAPage)
{
    PCODEC_CONTEXT coder = Context(CODEC_LZ4, TRUE);
    for (auto [length, keep] : {std::pair{4096u, false}, {4097u, true}, {8192u, true}, {2000u, false}}) {
        BOOLEAN worth = !keep;
        Encode(coder, Bytes(length, 0), &worth);
        EXPECT_EQ(worth, keep) << length << " zero bytes";
    }
}

using CodecContextTest = CodecTest;

TEST_F(CodecContextTest, RefusesCodecsWithoutCoderAndMismatchedUse)
{
    for (ULONG codec : {0u, 1u, ULONG(CODEC_TABLE_ROWS), c->CodecForCompressionLevel(4)}) {
        CODEC_CONTEXT context = {};
        EXPECT_EQ(c->SetUpCodecContext(&context, codec, TRUE), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(c->SetUpCodecContext(&context, codec, FALSE), STATUS_INVALID_DEVICE_REQUEST);
    }
    PCODEC_CONTEXT lz4 = Context(CODEC_LZ4, TRUE), hc = Context(CODEC_LZ4_HC, FALSE);
    Bytes extent = Fill(100000, true, 1), form = Encode(lz4, extent), out(extent.size());
    EXPECT_EQ(c->DecodeCompressedForm(hc, CODEC_LZ4, 16, form.data(), (ULONG)form.size(), (ULONG)extent.size(),
                                      out.data()),
              STATUS_INTERNAL_ERROR);
    EXPECT_EQ(Decode(lz4, 16, form, (ULONG)extent.size(), out), STATUS_INTERNAL_ERROR) << "a coder does not decode";
    COMPRESSED_SUB_BLOCK block;
    ASSERT_EQ(c->LocateSubBlock(16, form.data(), (ULONG)form.size(), (ULONG)extent.size(), 0, &block), STATUS_SUCCESS);
    EXPECT_EQ(c->DecompressSubBlock(hc, CODEC_LZ4, &block, out.data()), STATUS_INTERNAL_ERROR);
    ULONG stored;
    BOOLEAN worth;
    EXPECT_EQ(c->EncodeExtent(hc, extent.data(), 4096, &stored, &worth), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(c->EncodeExtent(lz4, extent.data(), 0, &stored, &worth), STATUS_INVALID_PARAMETER);
}

/* Setup fails cleanly at each of its allocations; teardown frees everything. */
TEST_F(CodecContextTest, SetupSurvivesEveryPoolFailureAndTeardownFreesAll)
{
    const uint64_t baseline = PoolBlocksButKeys();
    for (ULONG codec : kCodecs)
        for (BOOLEAN forCompression : {TRUE, FALSE}) {
            CODEC_CONTEXT context = {};
            NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
            for (uint64_t nth = 1; status == STATUS_INSUFFICIENT_RESOURCES && nth < 10; ++nth) {
                machine::ArmPoolFault(nth, 0);
                status = c->SetUpCodecContext(&context, codec, forCompression);
                machine::DisarmFaults();
                EXPECT_EQ(PoolBlocksButKeys(),
                          baseline + (NT_SUCCESS(status) ? forCompression + (context.CoderState != nullptr) : 0));
            }
            ASSERT_EQ(status, STATUS_SUCCESS);
            /* Only a coder needs an output buffer: a decoder writes into its destination. */
            EXPECT_EQ(machine::PoolTag(TAG_CODEC_SCRATCH).liveBytes > CODEC_SCRATCH_SIZE, (bool)forCompression);
            c->TearDownCodecContext(&context);
            EXPECT_EQ(PoolBlocksButKeys(), baseline);
        }
}

} // namespace
