/*
 * Fault-injection sweeps over a reservation, a write and a clone that span
 * several extents, starting from a sparse table file, a slot file, a
 * single-buffer file and a file sharing extents with another: the nth page
 * allocation, mapping or pool allocation fails, for n = 1, 2, ... until the
 * operation gets through. Every failure must leave every file reading as before,
 * in the storage it had, sharing what it shared (the same chunks, flags and
 * reference counts), every byte of its memory holding what the file says, and
 * nothing more charged.
 */
#include "store_test.h"

#include <functional>

namespace {

class FaultSweepTest : public StoreTest {
protected:
    using Maker = std::function<PFCB(std::vector<UCHAR> &)>;

    /* A sparse 10 MiB file whose second extent holds a few bytes. */
    PFCB MakeSparseFile(std::vector<UCHAR> &model)
    {
        PFCB file = NewNode();
        EXPECT_EQ(s->SetDataSize(file, 10 * kMiB), STATUS_SUCCESS);
        auto bytes = Pattern(100, 3);
        EXPECT_EQ(s->WriteData(file, 2 * kMiB + 5, bytes.data(), bytes.size()), STATUS_SUCCESS);
        model.assign(10 * kMiB, 0);
        std::copy(bytes.begin(), bytes.end(), model.begin() + 2 * kMiB + 5);
        return file;
    }

    /* A file of Size bytes in a slot or single buffer. */
    Maker SmallFile(ULONGLONG size)
    {
        return [this, size](std::vector<UCHAR> &model) {
            PFCB file = NewNode();
            model = Pattern(size, 4);
            EXPECT_EQ(Write(file, 0, model), STATUS_SUCCESS);
            return file;
        };
    }

    /*
     * A 10 MiB file whose extent 0 is its own, extents 1 and 2 are shared with an
     * 8 MiB source file, and the rest holes.
     */
    PFCB MakeSharingFile(std::vector<UCHAR> &model)
    {
        MakeSource();
        PFCB file = NewNode();
        EXPECT_EQ(s->SetDataSize(file, 10 * kMiB), STATUS_SUCCESS);
        auto own = Pattern(kMiB, 22);
        EXPECT_EQ(s->WriteData(file, 0, own.data(), own.size()), STATUS_SUCCESS);
        EXPECT_EQ(s->ShareRange(file, 2 * kMiB, source, 2 * kMiB, 4 * kMiB), STATUS_SUCCESS);
        EXPECT_EQ(file->Data.Extents[1].Chunk, source->Data.Extents[1].Chunk);
        EXPECT_EQ(file->Data.Extents[2].Chunk, source->Data.Extents[2].Chunk);
        model.assign(10 * kMiB, 0);
        std::copy(own.begin(), own.end(), model.begin());
        std::copy(sourceModel.begin() + 2 * kMiB, sourceModel.begin() + 6 * kMiB, model.begin() + 2 * kMiB);
        return file;
    }

    /* The 8 MiB file that others clone from. */
    void MakeSource()
    {
        source = NewNode();
        if (sourceModel.empty())
            sourceModel = Pattern(8 * kMiB, 21);
        EXPECT_EQ(Write(source, 0, sourceModel), STATUS_SUCCESS);
    }

    /* A single-buffer file of 300 KiB whose size a paging write raised to 7 MiB, and the source. */
    PFCB MakeLongSingleBufferFile(std::vector<UCHAR> &model)
    {
        MakeSource();
        PFCB file = SmallFile(300 * 1024)(model);
        s->ExtendSizesAfterWrite(file, 7 * kMiB);
        model.resize(7 * kMiB, 0);
        return file;
    }

    /* What a failure must leave alone: the chunks every file holds, how, and their holders. */
    struct Holding {
        PDATA_CHUNK chunk;
        ULONG size;
        ULONG flags;
        LONG references;
        bool operator==(const Holding &o) const
        {
            return chunk == o.chunk && size == o.size && flags == o.flags && references == o.references;
        }
    };
    std::vector<Holding> Holdings() const
    {
        std::vector<Holding> holdings;
        for (PFCB node : nodes) {
            const FCB_DATA &d = node->Data;
            if (d.SingleChunk != nullptr)
                holdings.push_back({d.SingleChunk, d.SingleChunk->Size, d.SingleFlags, d.SingleChunk->ReferenceCount});
            for (ULONG i = 0; i < d.ExtentCapacity; ++i) {
                const EXTENT_ENTRY &e = d.Extents[i];
                holdings.push_back({e.Chunk, e.Size, e.Flags, e.Chunk != nullptr ? e.Chunk->ReferenceCount : 0});
            }
        }
        return holdings;
    }

    /* Deletes every node of the attempt: the file and the source it shares with. */
    void DeleteAll()
    {
        while (!nodes.empty())
            DeleteNode(nodes.back());
        source = nullptr;
    }

    /* Every byte of memory the file holds is what the model says (or zero past its end). */
    void CheckMemory(PFCB file, const std::vector<UCHAR> &model, const std::string &where)
    {
        EXPECT_EQ(Read(file, 0, model.size()), model) << where;
        if (file->Data.Extents == nullptr)
            return;
        for (ULONG i = 0; i < file->Data.ExtentCapacity; ++i) {
            const EXTENT_ENTRY &e = file->Data.Extents[i];
            if (e.Data == nullptr)
                continue;
            ULONGLONG start = (ULONGLONG)i << EXTENT_SHIFT;
            size_t inModel = start < model.size() ? (size_t)std::min<ULONGLONG>(e.Size, model.size() - start) : 0;
            if (inModel != 0) {
                EXPECT_EQ(memcmp(e.Data, model.data() + start, inModel), 0) << where << ": extent " << i;
            }
            EXPECT_TRUE(AllZero((const UCHAR *)e.Data + inModel, e.Size - inModel)) << where << ": extent " << i;
        }
    }

    /* What the slab classes keep charged for their empty slabs once every file is gone. */
    ULONGLONG EmptySlabCharge() const
    {
        ULONGLONG charged = 0;
        for (const SLAB_CLASS &cls : volume->SlabClasses)
            if (cls.EmptySlab != nullptr)
                charged += cls.EmptySlab->Chunk->Charged;
        return charged;
    }

    struct Site {
        const char *name;
        std::function<void(uint64_t)> arm;
        std::function<bool()> injected;
    };

    void Sweep(const std::function<NTSTATUS(PFCB, std::vector<UCHAR> &)> &operation, const char *what)
    {
        Sweep([this](std::vector<UCHAR> &model) { return MakeSparseFile(model); }, operation, what);
    }

    void Sweep(const Maker &makeFile, const std::function<NTSTATUS(PFCB, std::vector<UCHAR> &)> &operation,
               const char *what)
    {
        const Site sites[] = {
            {"page lists", [](uint64_t n) { machine::ArmFault("MmAllocateNodePagesForMdlEx", n, true); },
             [] { return machine::FaultsInjected("MmAllocateNodePagesForMdlEx") != 0; }},
            {"short lists", [](uint64_t n) { machine::ShortenPageLists(n * 64); },
             [] { return false; }},
            {"page budget", [](uint64_t n) { machine::FailPageAllocationsAfter((n - 1) * 200); },
             [] { return false; }},
            {"mapping", [](uint64_t n) { machine::ArmFault("MmMapLockedPagesSpecifyCache", n); },
             [] { return machine::FaultsInjected("MmMapLockedPagesSpecifyCache") != 0; }},
            {"pool", [](uint64_t n) { machine::ArmPoolFault(n, 0, true); },
             [] { return machine::FaultsInjected("ExAllocatePoolWithTag") != 0; }},
        };
        for (const Site &site : sites) {
            uint64_t failures = 0;
            for (uint64_t n = 1;; ++n) {
                ASSERT_LT(n, 200u) << what << ", " << site.name << ": the sweep does not end";
                std::vector<UCHAR> model;
                PFCB file = makeFile(model);
                std::vector<UCHAR> expected = model;
                ULONGLONG charged = Charged();
                FCB_DATA before = file->Data;
                std::vector<Holding> holdings = Holdings();
                site.arm(n);
                NTSTATUS status = operation(file, expected);
                bool injected = site.injected();
                machine::DisarmFaults();
                machine::ClearPageAllocationFaults();
                std::string where = std::string(what) + ", " + site.name + " failing at " + std::to_string(n);
                if (source != nullptr) {
                    EXPECT_EQ(Read(source, 0, sourceModel.size()), sourceModel) << where << ": the source changed";
                }
                if (NT_SUCCESS(status)) {
                    CheckMemory(file, expected, where);
                    CheckInvariants(where);
                    DeleteAll();
                    s->TrimChunkCache(volume); /* every attempt starts without cached chunks */
                    if (!injected)
                        break;
                    continue;
                }
                failures++;
                EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_DISK_FULL) << where;
                CheckMemory(file, model, where);
                CheckInvariants(where);
                EXPECT_EQ(Charged(), charged) << where << ": a failure charged more";
                EXPECT_EQ(file->Data.Slab, before.Slab) << where;
                EXPECT_EQ(file->Data.SingleChunk, before.SingleChunk) << where;
                EXPECT_EQ(file->Data.Extents == nullptr, before.Extents == nullptr) << where;
                EXPECT_EQ(file->Data.Capacity, before.Capacity) << where << ": the file's storage changed";
                EXPECT_TRUE(Holdings() == holdings) << where << ": what the files hold or share changed";
                DeleteAll();
                s->TrimChunkCache(volume);
                EXPECT_EQ(Charged(), EmptySlabCharge()) << where;
            }
            EXPECT_GT(failures, 0u) << what << ", " << site.name << ": nothing failed";
        }
        EXPECT_EQ(machine::PagesInUse(), EmptySlabCharge() / PAGE_SIZE);
    }

    PFCB source = nullptr;              /* the file a sharing file shares with, while it lives */
    std::vector<UCHAR> sourceModel;
};

TEST_F(FaultSweepTest, AReservationOfFiveExtentsFailsCleanlyAtEveryStep)
{
    Sweep(
        [this](PFCB file, std::vector<UCHAR> &) {
            return s->ReserveRange(file, kMiB / 2, 9 * kMiB, TRUE, FALSE);
        },
        "a reservation over holes and data");
    Sweep(
        [this](PFCB file, std::vector<UCHAR> &expected) {
            // Every extent is new, so the range itself is left for the writer to fill.
            NTSTATUS status = s->ReserveRange(file, 4 * kMiB + 7, 5 * kMiB, TRUE, FALSE);
            if (NT_SUCCESS(status)) {
                auto bytes = Pattern(5 * kMiB, 5);
                s->CopyIntoExtents(file, 4 * kMiB + 7, bytes.data(), bytes.size());
                std::copy(bytes.begin(), bytes.end(), expected.begin() + 4 * kMiB + 7);
            }
            return status;
        },
        "a reservation over holes");
}

TEST_F(FaultSweepTest, AWriteOverHolesAndDataFailsCleanlyAtEveryStep)
{
    auto bytes = Pattern(9 * kMiB, 11);
    Sweep(
        [&](PFCB file, std::vector<UCHAR> &expected) {
            std::copy(bytes.begin(), bytes.end(), expected.begin() + kMiB / 2);
            return s->WriteData(file, kMiB / 2, bytes.data(), bytes.size());
        },
        "a write");
}

TEST_F(FaultSweepTest, AWriteThatConvertsASlotOrSingleBufferFailsCleanlyAtEveryStep)
{
    auto bytes = Pattern(5 * kMiB, 13);
    auto write = [&](PFCB file, std::vector<UCHAR> &expected) {
        expected.resize(std::max<size_t>(expected.size(), 100 + bytes.size()), 0);
        std::copy(bytes.begin(), bytes.end(), expected.begin() + 100);
        return Write(file, 100, bytes);
    };
    Sweep(SmallFile(1500), write, "a write converting a slot file");
    Sweep(SmallFile(300 * 1024), write, "a write converting a single-buffer file");
    Sweep(
        SmallFile(300 * 1024),
        [this](PFCB file, std::vector<UCHAR> &) { return s->ReserveRange(file, kMiB, 6 * kMiB, FALSE, FALSE); },
        "a reservation converting a single-buffer file");
}

TEST_F(FaultSweepTest, AWriteOrCloneOverSharedExtentsFailsCleanlyAtEveryStep)
{
    Maker sharing = [this](std::vector<UCHAR> &model) { return MakeSharingFile(model); };
    auto bytes = Pattern(6 * kMiB, 23);
    Sweep(
        sharing,
        [&](PFCB file, std::vector<UCHAR> &expected) {
            std::copy(bytes.begin(), bytes.end(), expected.begin() + kMiB);
            return s->WriteData(file, kMiB, bytes.data(), bytes.size());
        },
        "a write over own, shared and missing extents");
    Sweep(
        sharing,
        [this](PFCB file, std::vector<UCHAR> &expected) {
            // Not at the same place within extents: every piece is copied, into
            // private copies of the shared extents and new ones for the holes.
            std::copy(sourceModel.begin() + 3 * kMiB, sourceModel.begin() + 8 * kMiB,
                      expected.begin() + kMiB + 4096);
            return s->ShareRange(file, kMiB + 4096, source, 3 * kMiB, 5 * kMiB);
        },
        "an unaligned clone over own, shared and missing extents");
    Sweep(
        [this](std::vector<UCHAR> &model) { return MakeLongSingleBufferFile(model); },
        [this](PFCB file, std::vector<UCHAR> &expected) {
            // The file converts to take extents 1 and 2; extent 0 and a new extent 3
            // get copies (the source has bytes past the file's end in extent 3).
            std::copy(sourceModel.begin() + kMiB, sourceModel.begin() + 7 * kMiB, expected.begin() + kMiB);
            return s->ShareRange(file, kMiB, source, kMiB, 6 * kMiB);
        },
        "a clone converting a single-buffer file");
}

} // namespace
