/*
 * Fault-injection sweeps over a reservation and a write that span several
 * extents: the nth page allocation, mapping or pool allocation fails, for n = 1,
 * 2, ... until the operation gets through. Every failure must leave the file
 * reading as before, every byte of its memory (new extents included) holding what
 * the file says, with no unwritten page exposed, and the charges consistent.
 */
#include "store_test.h"

#include <functional>

namespace {

class FaultSweepTest : public StoreTest {
protected:
    /* A sparse 10 MiB file whose second extent holds a few bytes. */
    PFCB MakeFile(std::vector<UCHAR> &model)
    {
        PFCB file = NewNode();
        EXPECT_EQ(s->SetDataSize(file, 10 * kMiB), STATUS_SUCCESS);
        auto bytes = Pattern(100, 3);
        EXPECT_EQ(s->WriteData(file, 2 * kMiB + 5, bytes.data(), bytes.size()), STATUS_SUCCESS);
        model.assign(10 * kMiB, 0);
        std::copy(bytes.begin(), bytes.end(), model.begin() + 2 * kMiB + 5);
        return file;
    }

    /* Every byte of memory the file holds is what the model says (or zero past its end). */
    void CheckMemory(PFCB file, const std::vector<UCHAR> &model, const std::string &where)
    {
        EXPECT_EQ(Read(file, 0, model.size()), model) << where;
        for (ULONG i = 0; i < file->Data.ExtentCapacity; ++i) {
            const EXTENT_ENTRY &e = file->Data.Extents[i];
            if (e.Data == nullptr)
                continue;
            ULONGLONG start = (ULONGLONG)i << EXTENT_SHIFT;
            ASSERT_LE(start + e.Size, model.size()) << where;
            EXPECT_EQ(memcmp(e.Data, model.data() + start, e.Size), 0) << where << ": extent " << i;
        }
    }

    struct Site {
        const char *name;
        std::function<void(uint64_t)> arm;
        std::function<bool()> injected;
    };

    void Sweep(const std::function<NTSTATUS(PFCB, std::vector<UCHAR> &)> &operation, const char *what)
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
                PFCB file = MakeFile(model);
                std::vector<UCHAR> expected = model;
                ULONGLONG charged = Charged();
                site.arm(n);
                NTSTATUS status = operation(file, expected);
                bool injected = site.injected();
                machine::DisarmFaults();
                machine::ClearPageAllocationFaults();
                std::string where = std::string(what) + ", " + site.name + " failing at " + std::to_string(n);
                if (NT_SUCCESS(status)) {
                    CheckMemory(file, expected, where);
                    CheckInvariants(where);
                    DeleteNode(file);
                    s->TrimChunkCache(volume); /* every attempt starts without cached chunks */
                    if (!injected)
                        break;
                    continue;
                }
                failures++;
                EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_DISK_FULL) << where;
                CheckMemory(file, model, where);
                CheckInvariants(where);
                EXPECT_EQ((Charged() - charged) % kExtent, 0u) << where << ": a chunk is half charged";
                DeleteNode(file);
                s->TrimChunkCache(volume);
                EXPECT_EQ(Charged(), 0u) << where;
            }
            EXPECT_GT(failures, 0u) << what << ", " << site.name << ": nothing failed";
        }
        EXPECT_EQ(machine::PagesInUse(), 0u);
    }
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

} // namespace
