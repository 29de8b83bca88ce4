/*
 * Test support for the codec layer: a loaded driver, its codec entry points,
 * contexts torn down at the end of every test, and extents of the kinds of data
 * files hold. Forms and destinations live in buffers of exactly their length,
 * so the address sanitizer sees any access past them.
 */
#pragma once

#include "driver_test.h"

#include "compress/compress_diagnostics.h"

#include <memory>
#include <random>
#include <vector>

using Bytes = std::vector<UCHAR>;
inline const ULONG kCodecs[] = {CODEC_LZ4, CODEC_LZ4_HC, CODEC_ZSTD};

class CodecTest : public LoadedDriverTest {
protected:
    void SetUp() override
    {
        LoadedDriverTest::SetUp();
        c = static_cast<const VOREL_COMPRESS_DIAGNOSTICS *>(machine::DriverSymbol(kService, "VorelCompressDiagnostics"));
        ASSERT_NE(c, nullptr);
    }

    void TearDown() override
    {
        for (auto &context : contexts)
            c->TearDownCodecContext(context.get());
        LoadedDriverTest::TearDown();
    }

    PCODEC_CONTEXT Context(ULONG codec, bool forCompression)
    {
        contexts.push_back(std::make_unique<CODEC_CONTEXT>());
        EXPECT_EQ(c->SetUpCodecContext(contexts.back().get(), codec, forCompression), STATUS_SUCCESS);
        return contexts.back().get();
    }

    Bytes Encode(PCODEC_CONTEXT coder, const Bytes &extent, BOOLEAN *worth = nullptr)
    {
        ULONG stored = 0;
        BOOLEAN keep;
        EXPECT_EQ(c->EncodeExtent(coder, extent.data(), (ULONG)extent.size(), &stored, worth ? worth : &keep),
                  STATUS_SUCCESS);
        return Bytes(coder->Scratch, coder->Scratch + stored);
    }

    NTSTATUS Decode(PCODEC_CONTEXT decoder, ULONG shift, const Bytes &form, ULONG length, Bytes &out)
    {
        out.assign(length, 0xCC);
        return c->DecodeCompressedForm(decoder, decoder->Codec, shift, form.data(), (ULONG)form.size(), length,
                                       out.data());
    }

    /* Text (runs from a small vocabulary, as logs and sources are) or random bytes. */
    static Bytes Fill(size_t length, bool text, unsigned seed)
    {
        static const char words[] = "the volume extent is cold; compress it\nread a file of memory ";
        std::mt19937 random(seed);
        Bytes bytes(length);
        for (size_t i = 0, at = 0; i < length; ++i, at = (at + 1) % (sizeof(words) - 1)) {
            if (words[at] == ' ')
                at = random() % (sizeof(words) - 1); /* the next word may be any */
            bytes[i] = text ? (UCHAR)words[at] : (UCHAR)random();
        }
        return bytes;
    }

    /* Sub-blocks alternating between text and random bytes. */
    static Bytes Mixed(size_t length, ULONG shift)
    {
        Bytes bytes(length);
        for (size_t i = 0; i < length; i += size_t(1) << shift) {
            Bytes part = Fill(std::min(size_t(1) << shift, length - i), (i >> shift) % 2 == 0, (unsigned)i);
            std::copy(part.begin(), part.end(), bytes.begin() + i);
        }
        return bytes;
    }

    const VOREL_COMPRESS_DIAGNOSTICS *c = nullptr;
    std::vector<std::unique_ptr<CODEC_CONTEXT>> contexts;
};
