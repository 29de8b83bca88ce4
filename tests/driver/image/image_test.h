/*
 * Test support for the image format: the loaded driver's format routines, a
 * model of a metadata stream that writes itself through the driver's writer,
 * and a strict walk of a stream through the driver's reader that rebuilds the
 * model (ordering and counting as the loader does). Buffers are vectors of
 * exactly their length, so the address sanitizer sees any access past them.
 */
#pragma once

#include "driver_test.h"

#include "image/image_diagnostics.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<UCHAR>;

struct ModelNode {
    IMAGE_NODE_RECORD Fixed = {};
    Bytes Eas, Reparse;
    bool HasMap = false;
    std::vector<IMAGE_DATA_MAP_ENTRY> Map;
};

struct ModelDirectory {
    ULONGLONG Id = 0;
    std::vector<std::pair<ULONGLONG, std::u16string>> Entries;
};

struct StreamModel {
    bool HasSecurityTable = false;
    std::vector<Bytes> Descriptors;
    std::vector<ModelNode> Nodes;
    std::vector<ModelDirectory> Directories;
    ULONG SkippedRecords = 0;   /* records without the top bit put in between */
};

inline bool operator==(const IMAGE_DATA_MAP_ENTRY &a, const IMAGE_DATA_MAP_ENTRY &b)
{
    return a.ExtentNumber == b.ExtentNumber && a.SlotNumber == b.SlotNumber && a.ExtentLength == b.ExtentLength &&
           a.StorageWord == b.StorageWord && a.Checksum == b.Checksum;
}
inline bool operator==(const IMAGE_NODE_RECORD &a, const IMAGE_NODE_RECORD &b)
{
    return a.NodeId == b.NodeId && a.FileSize == b.FileSize && a.AllocationSize == b.AllocationSize &&
           a.CreationTime == b.CreationTime && a.LastWriteTime == b.LastWriteTime &&
           a.LastAccessTime == b.LastAccessTime && a.ChangeTime == b.ChangeTime && a.Attributes == b.Attributes &&
           a.LinkCount == b.LinkCount && a.SecurityIndex == b.SecurityIndex && a.Flags == b.Flags;
}
inline bool operator==(const ModelNode &a, const ModelNode &b)
{
    return a.Fixed == b.Fixed && a.Eas == b.Eas && a.Reparse == b.Reparse && a.HasMap == b.HasMap && a.Map == b.Map;
}
inline bool operator==(const ModelDirectory &a, const ModelDirectory &b)
{
    return a.Id == b.Id && a.Entries == b.Entries;
}

/* A header copy's checksum as the format defines it, computed here independently. */
inline void Rechecksum(Bytes &copy)
{
    std::fill(copy.begin() + 16, copy.begin() + 24, 0);
    ULONGLONG sum = XXH3_64bits(copy.data(), IMAGE_HEADER_SIZE);
    for (int i = 0; i < 8; ++i)
        copy[16 + i] = (UCHAR)(sum >> (8 * i));
}

class ImageTest : public LoadedDriverTest {
protected:
    void SetUp() override
    {
        LoadedDriverTest::SetUp();
        m = static_cast<const VOREL_IMAGE_DIAGNOSTICS *>(machine::DriverSymbol(kService, "VorelImageDiagnostics"));
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(m->Size, sizeof(VOREL_IMAGE_DIAGNOSTICS));
    }

    /* A header with every field set from the seed, as a save fills it in. */
    static std::unique_ptr<IMAGE_HEADER> RandomHeader(unsigned seed)
    {
        std::mt19937_64 random(seed);
        auto h = std::make_unique<IMAGE_HEADER>();
        *h = {};
        h->Compat = IMAGE_FORMAT_COMPAT;
        h->Generation = random();
        for (auto &b : h->Identifier)
            b = (UCHAR)random();
        h->Flags = random() % 2;
        h->HighWater = 1000 + random() % 100000;
        h->VolumeSize = random();
        h->SerialNumber = (ULONG)random();
        h->PerFileSecurity = (ULONG)(random() % 2);
        h->CompressionLevel = (ULONG)(random() % 4);
        h->BuildHash = (ULONG)random();
        h->SaveTime = (LONGLONG)(random() >> 1);
        h->NextNodeId = 2 + random() % 1000000;
        for (ULONG i = 0; i < IMAGE_LABEL_UNITS; ++i)
            h->Label[i] = i < random() % 33 ? (WCHAR)(0x41 + random() % 0x3000) : 0;
        h->MetadataSlotCount = 1 + (ULONG)(random() % 20);
        h->StreamLength = (ULONGLONG)(h->MetadataSlotCount - 1) * IMAGE_SLOT_SIZE + 1 + random() % IMAGE_SLOT_SIZE;
        h->StreamChecksum = random();
        for (ULONG i = 0; i < h->MetadataSlotCount; ++i)
            h->MetadataSlots[i] = (ULONG)(i * 7 + 3); /* distinct, below the high-water mark */
        return h;
    }

    Bytes Build(const IMAGE_HEADER &header)
    {
        Bytes copy(IMAGE_HEADER_SIZE);
        m->BuildImageHeaderCopy(&header, copy.data());
        return copy;
    }

    NTSTATUS CheckContents(const IMAGE_HEADER &header)
    {
        std::vector<ULONGLONG> words(m->ImageSlotClaimWords(header.HighWater) + 1);
        IMAGE_SLOT_CLAIMS claims;
        m->InitializeImageSlotClaims(&claims, words.data(), std::min<ULONGLONG>(header.HighWater, IMAGE_SLOT_LIMIT));
        return m->CheckImageHeaderContents(&header, &claims);
    }

public:
    /* Writes the model; the status of the first append that failed, or success with the stream. */
    NTSTATUS Write(const StreamModel &model, Bytes &stream, size_t capacity = 1 << 22);
    /* Reads a stream strictly (as a load walks it) into a model. */
    NTSTATUS Read(const Bytes &stream, ULONGLONG highWater, StreamModel &model);

protected:

    const VOREL_IMAGE_DIAGNOSTICS *m = nullptr;
};

/* Writes a model through the driver's writer (see ImageTest::Write). */
NTSTATUS WriteStreamModel(const VOREL_IMAGE_DIAGNOSTICS *m, const StreamModel &model, Bytes &stream,
                          size_t capacity = 1 << 22);
/* Reads a stream strictly into a model (see ImageTest::Read). */
NTSTATUS ReadStreamModel(const VOREL_IMAGE_DIAGNOSTICS *m, const Bytes &stream, ULONGLONG highWater,
                         StreamModel &model);

/* A consistent random stream: a tree of directories, files with hard links, EAs, reparse data and maps. */
StreamModel RandomModel(unsigned seed, ULONGLONG highWater);
