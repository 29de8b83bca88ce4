/*
 * A randomised model-based test of the store: thousands of random operations on a
 * few files (writes of data and of zero runs into holes, zeroing and hole punching,
 * size changes, clones between and within files, trims, private copies), each
 * checked against a plain byte array per file and against the accounting
 * invariants. Some operations run with page allocation, pool allocation or the
 * volume size made to fail: a failed operation must leave every file as it was,
 * and a failed write, size change or clone leaves the storage of the files it
 * touches (what they share included) and the charges as they were. Charged
 * bytes never exceed the volume size, however small it is made.
 *
 * The seed is fixed; VOREL_STORE_SEED picks another (and VOREL_STORE_STEPS the
 * number of operations, 20000 by default then) for longer runs.
 */
#include "store_test.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <tuple>

namespace {

constexpr ULONGLONG kMaxSize = 10 * kMiB;
constexpr int kFiles = 3;

struct ModelFile {
    PFCB node = nullptr;
    std::vector<UCHAR> bytes; /* the file's content; its size is the file size */
    bool sparse = false;      /* zeroing may punch holes */
};

class StoreModelTest : public StoreTest {
protected:
    ULONGLONG VolumeSize() override { return 256 * kMiB; }

    void SetUp() override
    {
        StoreTest::SetUp();
        if (HasFatalFailure())
            return;
        const char *seedText = std::getenv("VOREL_STORE_SEED");
        const char *stepsText = std::getenv("VOREL_STORE_STEPS");
        seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 0) : 0x5EED0007;
        steps = stepsText != nullptr ? std::strtoull(stepsText, nullptr, 0) : seedText != nullptr ? 20000 : 2500;
        random.seed(seed);
        noise.resize(4 * kMiB);
        for (size_t i = 0; i < noise.size(); i += sizeof(uint64_t)) {
            uint64_t word = random();
            std::memcpy(noise.data() + i, &word, sizeof(word));
        }
        for (int i = 0; i < kFiles; ++i) {
            files[i].node = NewNode();
            files[i].sparse = i != 0;
        }
    }

    ULONGLONG Uniform(ULONGLONG low, ULONGLONG high) /* inclusive */
    {
        return std::uniform_int_distribution<ULONGLONG>(low, high)(random);
    }
    bool Chance(int percent) { return (int)Uniform(0, 99) < percent; }

    ULONGLONG RandomLength()
    {
        switch (Uniform(0, 9)) {
        case 0: case 1: case 2: case 3: return Uniform(1, 600);
        case 4: case 5: case 6: return Uniform(600, 96 * 1024);
        case 7: case 8: return Uniform(96 * 1024, 1200 * 1024);
        default: return Uniform(kMiB, 3 * kMiB);
        }
    }

    ULONGLONG RandomOffset(const ModelFile &file)
    {
        ULONGLONG size = file.bytes.size();
        switch (Uniform(0, 3)) {
        case 0: return size; /* append */
        case 1: return Uniform(0, size) & ~(ULONGLONG)4095;
        case 2: return (Uniform(0, kMaxSize) & ~(ULONGLONG)EXTENT_MASK) + Uniform(0, 1) * Uniform(0, 8191);
        default: return Uniform(0, size + kMiB);
        }
    }

    /* Bytes to write: noise, a zero run, or noise framed by zero runs. */
    std::vector<UCHAR> RandomBytes(ULONGLONG length)
    {
        std::vector<UCHAR> bytes(length, 0);
        int kind = (int)Uniform(0, 3);
        if (kind == 0)
            return bytes;
        ULONGLONG from = kind == 3 ? Uniform(0, length - 1) : 0;
        ULONGLONG to = kind == 3 ? Uniform(from + 1, length) : length;
        for (ULONGLONG i = from; i < to;) {
            ULONGLONG take = std::min<ULONGLONG>(to - i, noise.size());
            ULONGLONG start = Uniform(0, noise.size() - take);
            std::memcpy(bytes.data() + i, noise.data() + start, take);
            i += take;
        }
        return bytes;
    }

    static bool IsZero(const std::vector<UCHAR> &bytes) { return AllZero(bytes.data(), bytes.size()); }

    /* Makes the next operation fail somewhere, now and then. */
    void MaybeArmAFault(bool sharing)
    {
        // More often where files share: a failure part-way through making shared
        // extents private is the hardest to leave without a trace.
        faultArmed = Chance(sharing ? 30 : 10);
        if (!faultArmed)
            return;
        Note("a fault is armed");
        // Cached chunks need no pages: without them the allocation faults bite.
        s->TrimChunkCache(volume);
        switch (Uniform(0, 3)) {
        case 0: machine::FailPageAllocationsAfter(Uniform(0, 512)); break;
        case 1: machine::ArmPoolFault(Uniform(1, 4), 0, Chance(50)); break;
        case 2: machine::ShortenPageLists(Uniform(1, 600)); break;
        default: volume->SizeBytes = (ULONGLONG)volume->ChargedBytes + Uniform(0, 2) * kExtent; break;
        }
    }

    void DisarmTheFault()
    {
        machine::ClearPageAllocationFaults();
        machine::DisarmFaults();
        volume->SizeBytes = VolumeSize();
    }

    /* A status an operation may end with: success, or with a fault armed, the failure it caused. */
    void Accept(NTSTATUS status, const char *operation)
    {
        ASSERT_TRUE(status == STATUS_SUCCESS ||
                    (faultArmed && (status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_DISK_FULL)))
            << operation << " returned 0x" << std::hex << (ULONG)status << " at step " << std::dec << step
            << " (seed " << seed << ")";
        if (status != STATUS_SUCCESS)
            failures++;
    }

    void Resize(ModelFile &file, ULONGLONG size) { file.bytes.resize(size, 0); }

    /*
     * The storage of a file and the charges, to compare across a failed operation:
     * its tier, and every chunk it holds with the size, flags and holders.
     */
    struct Storage {
        PSLAB slab;
        PDATA_CHUNK single;
        ULONG singleFlags;
        bool table;
        ULONGLONG capacity;
        ULONGLONG charged;
        std::vector<std::tuple<PDATA_CHUNK, ULONG, ULONG, LONG>> extents;
        bool operator==(const Storage &o) const
        {
            return slab == o.slab && single == o.single && singleFlags == o.singleFlags && table == o.table &&
                   capacity == o.capacity && charged == o.charged && extents == o.extents;
        }
    };
    Storage StorageOf(const ModelFile &file) const
    {
        const FCB_DATA &d = file.node->Data;
        Storage storage = {d.Slab, d.SingleChunk, d.SingleFlags, d.Extents != nullptr, d.Capacity, Charged(), {}};
        for (ULONG i = 0; i < d.ExtentCapacity; ++i) {
            const EXTENT_ENTRY &e = d.Extents[i];
            storage.extents.emplace_back(e.Chunk, e.Size, e.Flags & ~(ULONG)EXTENT_COLD,
                                         e.Chunk != nullptr ? e.Chunk->ReferenceCount : 0);
        }
        return storage;
    }
    void ExpectUnchanged(const ModelFile &file, const Storage &before, NTSTATUS status, const char *operation)
    {
        if (NT_SUCCESS(status))
            return;
        EXPECT_TRUE(StorageOf(file) == before)
            << "a failed " << operation << " changed the storage of file " << Index(file) << " at step " << step
            << " (seed " << seed << ")\n" << History();
    }

    /* The last operations, told on a failure. */
    void Note(const std::string &text)
    {
        history.push_back("step " + std::to_string(step) + ": " + text);
        if (std::getenv("VOREL_STORE_TRACE") != nullptr)
            std::fprintf(stderr, "%s\n", history.back().c_str());
        if (history.size() > 60)
            history.erase(history.begin());
    }
    std::string History() const
    {
        std::string text;
        for (const auto &line : history)
            text += line + "\n";
        return text;
    }
    int Index(const ModelFile &file) const { return (int)(&file - files); }

    void DoWrite(ModelFile &file)
    {
        ULONGLONG offset = std::min(RandomOffset(file), kMaxSize - 1);
        ULONGLONG length = std::min(RandomLength(), kMaxSize - offset);
        auto bytes = RandomBytes(length);
        if (Chance(15)) {
            Note("in-place write file " + std::to_string(Index(file)) + " at " + std::to_string(offset) +
                 " length " + std::to_string(length));
            if (s->WriteInPlace(file.node, offset, bytes.data(), bytes.size())) {
                if (offset + length > file.bytes.size()) {
                    s->ExtendSizesAfterWrite(file.node, offset + length);
                    Resize(file, offset + length);
                }
                std::memcpy(file.bytes.data() + offset, bytes.data(), length);
            }
            return;
        }
        Storage before = StorageOf(file);
        NTSTATUS status = Write(file.node, offset, bytes);
        ExpectUnchanged(file, before, status, "write");
        Note("write file " + std::to_string(Index(file)) + " at " + std::to_string(offset) + " length " +
             std::to_string(length) + (IsZero(bytes) ? " (zeros)" : "") + " -> " + std::to_string(status));
        Accept(status, "a write");
        if (NT_SUCCESS(status)) {
            if (offset + length > file.bytes.size())
                Resize(file, offset + length);
            std::memcpy(file.bytes.data() + offset, bytes.data(), length);
        }
    }

    void DoZero(ModelFile &file)
    {
        ULONGLONG size = file.bytes.size();
        ULONGLONG offset = Uniform(0, size);
        ULONGLONG end = offset + RandomLength() * Uniform(1, 4);
        NTSTATUS status = s->ZeroOrDeallocate(file.node, offset, end, file.sparse);
        Note("zero file " + std::to_string(Index(file)) + " from " + std::to_string(offset) + " to " +
             std::to_string(end) + (file.sparse ? " deallocating" : "") + " -> " + std::to_string(status));
        Accept(status, "zeroing");
        if (NT_SUCCESS(status) && offset < size)
            std::memset(file.bytes.data() + offset, 0, std::min(end, size) - offset);
    }

    void DoSetSize(ModelFile &file)
    {
        ULONGLONG size = Chance(30) ? Uniform(0, 3000) : Uniform(0, kMaxSize);
        if (Chance(10))
            size = 0;
        Storage before = StorageOf(file);
        NTSTATUS status = s->SetDataSize(file.node, size);
        ExpectUnchanged(file, before, status, "size change");
        Note("size file " + std::to_string(Index(file)) + " to " + std::to_string(size) + " -> " +
             std::to_string(status));
        Accept(status, "a size change");
        if (NT_SUCCESS(status))
            Resize(file, size);
    }

    /* A clone with the rules of the duplicate-extents request. */
    void DoShare(ModelFile &target, ModelFile &source)
    {
        ULONGLONG sourceSize = source.bytes.size();
        ULONGLONG targetSize = target.bytes.size();
        if (sourceSize == 0 || targetSize == 0)
            return;
        ULONGLONG sourceLimit = (sourceSize + 4095) & ~4095ull;
        ULONGLONG targetLimit = (targetSize + 4095) & ~4095ull;
        ULONGLONG sourceOffset = Uniform(0, (sourceSize - 1) / 4096) * 4096;
        ULONGLONG targetOffset;
        if (Chance(60)) /* at the same place within an extent, so that extents can be shared */
            targetOffset = (Uniform(0, targetSize / kExtent) << EXTENT_SHIFT) + (sourceOffset & EXTENT_MASK);
        else
            targetOffset = Uniform(0, (targetSize - 1) / 4096) * 4096;
        if (targetOffset >= targetLimit)
            return;
        ULONGLONG room = std::min(sourceLimit - sourceOffset, targetLimit - targetOffset);
        ULONGLONG length = Chance(50) ? room : std::min(room, Uniform(1, 2 * kExtent / 4096 + 1) * 4096);
        if (length % 4096 != 0 && sourceOffset + length != sourceSize)
            length &= ~4095ull;
        if (length == 0)
            return;
        if (&target == &source && targetOffset < sourceOffset + length && sourceOffset < targetOffset + length)
            return;
        Note("clone to file " + std::to_string(Index(target)) + " (size " + std::to_string(targetSize) + ") at " +
             std::to_string(targetOffset) + " from file " + std::to_string(Index(source)) + " (size " +
             std::to_string(sourceSize) + ") at " + std::to_string(sourceOffset) + " length " +
             std::to_string(length));
        Storage targetBefore = StorageOf(target);
        Storage sourceBefore = StorageOf(source);
        NTSTATUS status = s->ShareRange(target.node, targetOffset, source.node, sourceOffset, length);
        ExpectUnchanged(target, targetBefore, status, "clone (target)");
        ExpectUnchanged(source, sourceBefore, status, "clone (source)");
        Note("clone to file " + std::to_string(Index(target)) + " at " + std::to_string(targetOffset) +
             " from file " + std::to_string(Index(source)) + " at " + std::to_string(sourceOffset) + " length " +
             std::to_string(length) + " -> " + std::to_string(status));
        Accept(status, "a clone");
        if (!NT_SUCCESS(status))
            return;
        std::vector<UCHAR> copied(length, 0);
        if (sourceOffset < sourceSize)
            std::memcpy(copied.data(), source.bytes.data() + sourceOffset,
                        std::min(length, sourceSize - sourceOffset));
        ULONGLONG count = std::min(length, targetSize - targetOffset);
        std::memcpy(target.bytes.data() + targetOffset, copied.data(), count);
    }

    void Step()
    {
        ModelFile &file = files[Uniform(0, kFiles - 1)];
        ModelFile &other = files[Uniform(0, kFiles - 1)];
        MaybeArmAFault(file.node->Data.HasSharedExtents || other.node->Data.HasSharedExtents);
        int choice = (int)Uniform(0, 99);
        if (choice < 40)
            DoWrite(file);
        else if (choice < 52)
            DoZero(file);
        else if (choice < 64)
            DoSetSize(file);
        else if (choice < 80)
            DoShare(file, other);
        else if (choice < 86) {
            Note("trim file " + std::to_string(Index(file)));
            Accept(s->TrimToSize(file.node), "a trim");
        } else if (choice < 90) {
            Note("unshare file " + std::to_string(Index(file)));
            Accept(s->UnshareAll(file.node), "making a file private");
        }
        else if (choice < 95 && file.bytes.size() < kMaxSize) {
            ULONGLONG end = std::min(kMaxSize, file.bytes.size() + Uniform(1, kMiB));
            s->ExtendSizesAfterWrite(file.node, end);
            Note("extend file " + std::to_string(Index(file)) + " to " + std::to_string(end));
            Resize(file, end);
        } else if (choice < 97) {
            s->ReleaseAllData(file.node);
            Note("release file " + std::to_string(Index(file)));
            Resize(file, 0);
        } else {
            file.sparse = !file.sparse;
        }
        EXPECT_LE(Charged(), volume->SizeBytes) << "charged beyond the volume size at step " << step << " (seed "
                                                << seed << ")\n" << History();
        DisarmTheFault();
    }

    void Compare(const ModelFile &file, ULONGLONG offset, ULONGLONG length)
    {
        length = std::min(length, file.bytes.size() - std::min(offset, (ULONGLONG)file.bytes.size()));
        if (length == 0)
            return;
        auto stored = Read(file.node, offset, length);
        if (std::memcmp(stored.data(), file.bytes.data() + offset, length) != 0) {
            size_t at = 0;
            while (stored[at] == file.bytes[offset + at])
                ++at;
            FAIL() << "file " << (&file - files) << " differs at byte " << offset + at << " after step " << step
                   << " (seed " << seed << ")\n" << History();
        }
    }

    ModelFile files[kFiles];
    std::mt19937_64 random;
    std::vector<UCHAR> noise;
    uint64_t seed = 0;
    uint64_t steps = 0;
    uint64_t step = 0;
    uint64_t failures = 0;
    bool faultArmed = false;
    std::vector<std::string> history;
};

TEST_F(StoreModelTest, RandomOperationsKeepEveryByteAndEveryCharge)
{
    for (step = 0; step < steps; ++step) {
        Step();
        ASSERT_FALSE(HasFatalFailure());
        for (auto &file : files) {
            ASSERT_EQ(file.node->Data.FileSize, file.bytes.size()) << "step " << step << " (seed " << seed << ")";
            ULONGLONG size = file.bytes.size();
            ULONGLONG at = Uniform(0, size);
            Compare(file, at, 64 * 1024);
            Compare(file, size > 4096 ? size - 4096 : 0, 4096);
        }
        if (step % 50 == 49 || step + 1 == steps) {
            for (auto &file : files)
                Compare(file, 0, file.bytes.size());
            CheckInvariants("after step " + std::to_string(step) + " (seed " + std::to_string(seed) + ")");
            ASSERT_FALSE(HasFailure());
        }
    }
    EXPECT_GT(failures, 0u) << "some operations should have met an injected failure";
    RecordProperty("steps", std::to_string(steps));
}

} // namespace
