/*
 * Malformed forms: every header byte flipped, lying counts, offsets and sizes,
 * wrong bounds, random bytes. Decode and locate refuse them with
 * STATUS_DATA_ERROR (or decode the extent when only bytes they never interpret
 * changed) and never touch memory outside the form or the destination.
 */
#include "compress_test.h"

namespace {

class CorruptionTest : public CodecTest {
protected:
    /* Decodes whole and sub-block by sub-block: both ways must agree on whether the form is sound. */
    NTSTATUS Check(PCODEC_CONTEXT decoder, ULONG shift, const Bytes &form, ULONG length, Bytes &out)
    {
        NTSTATUS status = Decode(decoder, shift, form, length, out);
        bool sound = true;
        for (ULONG index = 0; sound; ++index) {
            COMPRESSED_SUB_BLOCK block;
            NTSTATUS located = c->LocateSubBlock(shift, form.data(), (ULONG)form.size(), length, index, &block);
            if (located == STATUS_INVALID_PARAMETER)
                break; /* past the last sub-block */
            Bytes part(block.ExpectedSize);
            sound = located == STATUS_SUCCESS && c->DecompressSubBlock(decoder, decoder->Codec, &block, part.data()) == 0;
        }
        EXPECT_EQ(sound, status == STATUS_SUCCESS);
        return status;
    }
};

TEST_F(CorruptionTest, EveryHeaderByteFlippedIsRefusedOrHarmless)
{
    for (ULONG codec : kCodecs) {
        PCODEC_CONTEXT coder = Context(codec, TRUE), decoder = Context(codec, FALSE);
        ULONG shift = coder->SubBlockShift, length = 5 * (1u << shift) / 2 + 1234;
        Bytes extent = Mixed(length, shift), form = Encode(coder, extent), out;
        ULONG flags = 4 + 4 * 3;
        for (ULONG at = 0; at < 24; ++at)
            for (UCHAR mask : {0x01, 0x02, 0x80, 0xFF}) {
                Bytes bad = form;
                bad[at] ^= mask;
                bool interpreted = at < flags || (at < flags + 3 && (mask & COMPRESSED_SUB_BLOCK_RAW));
                EXPECT_EQ(Check(decoder, shift, bad, length, out), interpreted ? STATUS_DATA_ERROR : STATUS_SUCCESS)
                    << "codec " << codec << ", byte " << at << " ^ " << (int)mask;
                EXPECT_TRUE(interpreted || out == extent) << "padding and unknown flag bits change nothing";
            }
    }
}

TEST_F(CorruptionTest, LyingCountsOffsetsSizesAndBounds)
{
    PCODEC_CONTEXT coder = Context(CODEC_LZ4, TRUE), decoder = Context(CODEC_LZ4, FALSE);
    const ULONG length = 3 * 65536; /* text, random, text: coded, raw, coded */
    Bytes extent = Mixed(length, 16), form = Encode(coder, extent), out;
    ULONG end0, end1, payload = (ULONG)form.size() - 24;
    memcpy(&end0, &form[4], 4);
    memcpy(&end1, &form[8], 4);
    auto lie = [&](size_t at, ULONG value) { Bytes bad = form; memcpy(&bad[at], &value, 4); return bad; };
    Bytes trailing = form, shortened = form, unflagged = form, garbled = form;
    trailing.push_back(0);
    shortened.pop_back();
    unflagged[17] = 0;
    for (ULONG at = 24; at < 24 + end0; at += 7)
        garbled[at] ^= 0x5A;
    const std::pair<const char *, Bytes> lies[] = {
        {"count one more", lie(0, 4)}, {"count one less", lie(0, 2)}, {"offsets decrease", lie(8, end0 - 1)},
        {"offset past the payload", lie(12, payload + 1)}, {"raw sub-block too short", lie(8, end1 - 1)},
        {"coded sub-block empty", lie(4, 0)}, {"payload not used up", trailing}, {"payload cut short", shortened},
        {"coded sub-block as long as raw", unflagged}, {"coded bytes that do not decode", garbled},
        {"form shorter than its header", Bytes(form.begin(), form.begin() + 23)}, {"empty form", Bytes()}};
    for (const auto &[what, bad] : lies)
        EXPECT_EQ(Check(decoder, 16, bad, length, out), STATUS_DATA_ERROR) << what;
    for (auto [shift, extentLength] : {std::pair{16u, length - 1}, {16u, length + 1}, {17u, length},
                                       {11u, length}, {22u, length}, {16u, 0u}, {16u, 0x200001u}})
        EXPECT_EQ(Check(decoder, shift, form, extentLength, out), STATUS_DATA_ERROR) << shift << " " << extentLength;
}

/* Random bytes as forms and as payload damage. No checksum guards a payload: damaged literals may decode. */
TEST_F(CorruptionTest, RandomBytesAreRefusedWithoutStrayAccess)
{
    std::mt19937 random(7);
    for (ULONG codec : kCodecs) {
        PCODEC_CONTEXT coder = Context(codec, TRUE), decoder = Context(codec, FALSE);
        ULONG shift = coder->SubBlockShift, length = 2 * (1u << shift) + 4096;
        Bytes form = Encode(coder, Fill(length, true, codec)), out;
        for (int round = 0; round < 200; ++round) {
            Bytes bad = round % 2 ? form : Fill(random() % 600, false, round);
            if (round % 2 == 0 && bad.size() >= 4)
                memcpy(bad.data(), "\3\0\0\0", 4);
            for (int hits = 1 + random() % 8; round % 2 && hits > 0; --hits)
                bad[24 + random() % (bad.size() - 24)] = (UCHAR)random();
            NTSTATUS status = Check(decoder, shift, bad, length, out);
            EXPECT_TRUE(status == STATUS_DATA_ERROR || status == STATUS_SUCCESS) << codec << " " << round;
        }
    }
}

} // namespace
