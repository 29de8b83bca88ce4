/*
 * Test support for the memory store: a loaded driver, one store volume, nodes on
 * it, and a check of the accounting invariants that every test ends with:
 * charged bytes are the sum of the chunks' charges, held bytes the memory the
 * chunks hold, every chunk is referenced once per holder and read-only when
 * shared, every byte of memory past the end of a file is zero, and after the
 * volume's teardown every chunk, slab, page and pool block is returned.
 */
#pragma once

#include "driver_test.h"

#include "store/store_diagnostics.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

constexpr ULONGLONG kMiB = 1024 * 1024;
constexpr ULONGLONG kExtent = EXTENT_SIZE;

class StoreTest : public LoadedDriverTest {
protected:
    void SetUp() override
    {
        LoadedDriverTest::SetUp();
        if (HasFatalFailure())
            return;
        s = static_cast<const VOREL_STORE_DIAGNOSTICS *>(machine::DriverSymbol(kService, "VorelStoreDiagnostics"));
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s->Size, sizeof(VOREL_STORE_DIAGNOSTICS));
        volume = s->CreateVolume(VolumeSize());
        ASSERT_NE(volume, nullptr);
    }

    void TearDown() override
    {
        if (volume != nullptr) {
            CheckInvariants("at the end of the test");
            for (PFCB node : nodes)
                s->DeleteNode(node);
            nodes.clear();
            s->TearDownVolume(volume);
            EXPECT_EQ(Charged(), 0u) << "charge left after every file and slab was released";
            EXPECT_EQ(Held(), 0u);
            EXPECT_EQ(CachedChunks(), 0u);
            s->DeleteVolume(volume);
            volume = nullptr;
            EXPECT_EQ(machine::PagesInUse(), 0u) << "every chunk and slab gives its pages back";
            EXPECT_EQ(machine::PageListsInUse(), 0u);
        }
        LoadedDriverTest::TearDown();
    }

    virtual ULONGLONG VolumeSize() { return 1024 * kMiB; }

    PFCB NewNode()
    {
        PFCB node = s->CreateNode(volume);
        EXPECT_NE(node, nullptr);
        nodes.push_back(node);
        return node;
    }

    void DeleteNode(PFCB node)
    {
        for (auto it = nodes.begin(); it != nodes.end(); ++it)
            if (*it == node) {
                nodes.erase(it);
                break;
            }
        s->DeleteNode(node);
    }

    /* A write with allocation followed by the size raise the write path makes. */
    NTSTATUS Write(PFCB node, ULONGLONG offset, const std::vector<UCHAR> &bytes)
    {
        NTSTATUS status = s->WriteData(node, offset, bytes.data(), bytes.size());
        if (NT_SUCCESS(status) && offset + bytes.size() > node->Data.FileSize)
            status = s->SetDataSize(node, offset + bytes.size());
        return status;
    }

    std::vector<UCHAR> Read(PFCB node, ULONGLONG offset, size_t length)
    {
        std::vector<UCHAR> bytes(length, 0xCC);
        s->CopyFromStorage(node, offset, bytes.data(), length);
        return bytes;
    }

    static std::vector<UCHAR> Pattern(size_t length, UCHAR seed)
    {
        std::vector<UCHAR> bytes(length);
        for (size_t i = 0; i < length; ++i)
            bytes[i] = (UCHAR)(seed + i * 7 + (i >> 12));
        if (length != 0 && bytes[0] == 0)
            bytes[0] = 1;
        return bytes;
    }

    static bool AllZero(const UCHAR *p, size_t n)
    {
        static const UCHAR zeros[64 * 1024] = {};
        for (size_t done = 0; done < n; done += sizeof(zeros))
            if (memcmp(p + done, zeros, std::min(sizeof(zeros), n - done)) != 0)
                return false;
        return true;
    }

    ULONGLONG Charged() const { return (ULONGLONG)volume->ChargedBytes; }
    ULONGLONG Held() const { return (ULONGLONG)volume->HeldBytes; }
    ULONGLONG Released() const { return (ULONGLONG)volume->ReleasedBytes; }
    ULONG CachedChunks() const { return volume->ChunkCache.Count; }

    /* Extents of a table file that hold memory. */
    static ULONG ExtentsWithData(PFCB node)
    {
        ULONG count = 0;
        for (ULONG i = 0; i < node->Data.ExtentCapacity; ++i)
            count += node->Data.Extents[i].Data != nullptr;
        return count;
    }

    /*
     * CheckInvariants: the accounting and layout invariants over every node of the
     * test and the volume's slabs and cache. Reports through EXPECT (with where).
     */
    void CheckInvariants(const std::string &where)
    {
        std::map<PDATA_CHUNK, LONG> holders;
        std::set<PSLAB> slabs;
        std::map<PDATA_CHUNK, bool> sharedSeen;
        for (PFCB node : nodes) {
            const FCB_DATA &d = node->Data;
            ULONGLONG capacity = 0;
            if (d.Slab != nullptr) {
                slabs.insert(d.Slab);
                capacity = d.Slab->SlotSize;
                EXPECT_EQ(d.DataBase, d.Slab->DataBase + (size_t)d.SlotIndex * d.Slab->SlotSize) << where;
            }
            if (d.SingleChunk != nullptr) {
                holders[d.SingleChunk]++;
                capacity = d.SingleChunk->Size;
                EXPECT_EQ(d.DataBase, d.SingleChunk->Base) << where;
                bool shared = (d.SingleFlags & SINGLE_SHARED) != 0;
                if (shared) {
                    EXPECT_TRUE(d.HasSharedExtents) << where;
                }
                sharedSeen[d.SingleChunk] = sharedSeen.count(d.SingleChunk) ? (sharedSeen[d.SingleChunk] && shared)
                                                                            : shared;
            }
            EXPECT_FALSE(d.Slab != nullptr && d.SingleChunk != nullptr) << where << ": two small tiers at once";
            if (d.Extents != nullptr) {
                EXPECT_TRUE(d.Slab == nullptr && d.SingleChunk == nullptr && d.DataBase == nullptr) << where;
                ULONG partials = 0;
                for (ULONG i = 0; i < d.ExtentCapacity; ++i) {
                    const EXTENT_ENTRY &e = d.Extents[i];
                    if (e.Data == nullptr) {
                        EXPECT_EQ(e.Chunk, nullptr) << where << ": hole " << i << " holds a chunk";
                        continue;
                    }
                    holders[e.Chunk]++;
                    capacity += e.Size;
                    EXPECT_EQ(e.Data, e.Chunk->Base) << where;
                    EXPECT_LE(e.Size, e.Chunk->Size) << where;
                    if (e.Size != EXTENT_SIZE) {
                        partials++;
                        EXPECT_TRUE(d.PartialExtentPending && d.PartialExtentIndex == i)
                            << where << ": extent " << i << " is partial but not the pending one";
                    }
                    bool shared = (e.Flags & EXTENT_SHARED) != 0;
                    if (shared) {
                        EXPECT_TRUE(d.HasSharedExtents) << where;
                    }
                    sharedSeen[e.Chunk] = sharedSeen.count(e.Chunk) ? (sharedSeen[e.Chunk] && shared) : shared;
                }
                EXPECT_LE(partials, 1u) << where;
            }
            EXPECT_EQ(d.Capacity, capacity) << where << ": capacity is not the memory the file holds";
            CheckZeroBeyondEnd(node, where);
            EXPECT_EQ((ULONGLONG)node->Header.FileSize.QuadPart, d.FileSize) << where;
            EXPECT_EQ((ULONGLONG)node->Header.ValidDataLength.QuadPart, d.FileSize) << where;
            EXPECT_GE((ULONGLONG)node->Header.AllocationSize.QuadPart, d.FileSize) << where;
        }

        for (ULONG c = 0; c < SLAB_CLASS_COUNT; ++c) {
            const SLAB_CLASS &cls = volume->SlabClasses[c];
            if (cls.EmptySlab != nullptr)
                slabs.insert(cls.EmptySlab);
            for (PLIST_ENTRY e = cls.Slabs.Flink; e != &cls.Slabs; e = e->Flink)
                slabs.insert(CONTAINING_RECORD(e, SLAB, Links));
        }
        ULONG slabsCounted = 0;
        for (ULONG c = 0; c < SLAB_CLASS_COUNT; ++c)
            slabsCounted += volume->SlabClasses[c].SlabCount;
        EXPECT_EQ(slabs.size(), slabsCounted) << where << ": a slab is neither listed nor held by a file";
        for (PSLAB slab : slabs)
            holders[slab->Chunk]++;

        ULONGLONG charged = 0;
        ULONGLONG held = 0;
        for (auto &[chunk, count] : holders) {
            charged += chunk->Charged;
            held += chunk->Size;
            EXPECT_EQ(chunk->ReferenceCount, count) << where << ": chunk references are not its holders";
            if (count > 1 && sharedSeen.count(chunk)) {
                EXPECT_TRUE(sharedSeen[chunk]) << where << ": a chunk with " << count << " holders is writable";
            }
        }
        EXPECT_EQ(Charged(), charged) << where << ": charged bytes are not the sum of the charges";
        EXPECT_EQ(Held(), held) << where << ": held bytes are not the memory held";
        EXPECT_LE(CachedChunks(), CHUNK_CACHE_DEPTH) << where;
        EXPECT_GE(Released(), lastReleased) << where << ": released bytes went down";
        lastReleased = Released();
    }

    /* Every byte of memory from the file size to the end of the memory reads zero. */
    void CheckZeroBeyondEnd(PFCB node, const std::string &where)
    {
        const FCB_DATA &d = node->Data;
        if (d.Extents == nullptr) {
            if (d.DataBase != nullptr && d.Capacity > d.FileSize) {
                EXPECT_TRUE(AllZero(d.DataBase + d.FileSize, d.Capacity - d.FileSize))
                    << where << ": stale bytes past the end of a small file";
            }
            return;
        }
        for (ULONG i = 0; i < d.ExtentCapacity; ++i) {
            const EXTENT_ENTRY &e = d.Extents[i];
            ULONGLONG start = (ULONGLONG)i << EXTENT_SHIFT;
            if (e.Data == nullptr || start + e.Size <= d.FileSize)
                continue;
            ULONGLONG from = d.FileSize > start ? d.FileSize - start : 0;
            EXPECT_TRUE(AllZero((const UCHAR *)e.Data + from, e.Size - from))
                << where << ": stale bytes past the end in extent " << i;
        }
    }

    const VOREL_STORE_DIAGNOSTICS *s = nullptr;
    PSTORE_VOLUME volume = nullptr;
    std::vector<PFCB> nodes;
    ULONGLONG lastReleased = 0;
};
