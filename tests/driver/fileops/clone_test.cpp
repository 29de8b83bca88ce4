/*
 * Block cloning through FSCTL_DUPLICATE_EXTENTS_TO_FILE from a user program:
 * random clones between two files and within one, followed by writes to
 * either side, against a model of both files' bytes; a 1 GiB range of whole
 * extents cloned without new charge; and every malformed or refused
 * request answered with its status and changing neither file.
 */
#include "fsctl_test.h"

#include <map>

namespace {

constexpr ULONGLONG kPage = 4096;

class CloneTest : public FsctlTest {
protected:
    ULONGLONG VolumeBytes() override { return 4096 * kMiB; }

    Reply Clone(HANDLE target, HANDLE source, LONGLONG sourceOffset, LONGLONG targetOffset, LONGLONG count,
                ULONG inLength = sizeof(DUPLICATE_EXTENTS_DATA))
    {
        DUPLICATE_EXTENTS_DATA input{source, {.QuadPart = sourceOffset}, {.QuadPart = targetOffset},
                                     {.QuadPart = count}};
        return Fsctl(target, FSCTL_DUPLICATE_EXTENTS_TO_FILE, &input, inLength, 0);
    }
    /* The model of a clone: target bytes below its size take the source's, zeros beyond the source's end. */
    static void ModelClone(std::vector<UCHAR> *target, const std::vector<UCHAR> &source, ULONGLONG from, ULONGLONG to,
                           ULONGLONG count)
    {
        std::vector<UCHAR> bytes(count, 0);
        for (ULONGLONG i = 0; i < count && from + i < source.size(); ++i)
            bytes[i] = source[from + i];
        for (ULONGLONG i = 0; i < count && to + i < target->size(); ++i)
            (*target)[to + i] = bytes[i];
    }
};

/*
 * Random page-aligned clones from A to B and within B, each followed by
 * writes to either file: both always read as the model says, so a shared
 * extent written by one side never shows in the other.
 */
TEST_F(CloneTest, ClonesAndLaterWritesMatchTheModel)
{
    std::vector<UCHAR> a, b;
    HANDLE fileA = MakeFile("\\a", 4 * kExtent + 5000, &a);
    HANDLE fileB = MakeFile("\\b", 5 * kExtent, &b);
    for (int step = 0; step < 30; ++step) {
        SCOPED_TRACE(step);
        bool within = random() % 4 == 0;
        HANDLE source = within ? fileB : fileA;
        const std::vector<UCHAR> sourceModel = within ? b : a;
        ULONGLONG sourceLimit = (sourceModel.size() + kPage - 1) / kPage * kPage;
        ULONGLONG targetLimit = (b.size() + kPage - 1) / kPage * kPage;
        ULONGLONG from = random() % (sourceLimit / kPage) * kPage;
        ULONGLONG to = random() % (targetLimit / kPage) * kPage;
        if (random() % 2) { /* whole extents at matching places: these are shared, not copied */
            from = from / kExtent * kExtent;
            to = from % targetLimit / kExtent * kExtent;
        }
        ULONGLONG count = 1 + random() % std::min(sourceLimit - from, targetLimit - to);
        count = (count + kPage - 1) / kPage * kPage;
        if (from + count > sourceModel.size() && random() % 2)
            count = sourceModel.size() - from; /* an unaligned count ending at the source's end */
        if (within && from < to + count && to < from + count)
            continue;
        ASSERT_EQ(Clone(fileB, source, (LONGLONG)from, (LONGLONG)to, (LONGLONG)count).status, STATUS_SUCCESS)
            << from << " " << to << " " << count;
        ModelClone(&b, sourceModel, from, to, count);

        for (int w = 0; w < 2; ++w) {
            bool toA = random() % 2;
            std::vector<UCHAR> &model = toA ? a : b;
            size_t length = 1 + random() % (kExtent / 2);
            ULONGLONG at = random() % (model.size() - length);
            std::vector<UCHAR> bytes = RandomBytes(length);
            WriteAll(toA ? fileA : fileB, at, bytes.data(), length);
            std::copy(bytes.begin(), bytes.end(), model.begin() + at);
        }
        ASSERT_EQ(Contents(fileA), a);
        ASSERT_EQ(Contents(fileB), b);
    }
}

/* A 1 GiB clone between files of 1 GiB shares every extent: nothing is copied or charged. */
TEST_F(CloneTest, OneGibibyteCloneCopiesNothing)
{
    const ULONGLONG size = 1024 * kMiB;
    HANDLE source = Keep("\\big-source");
    HANDLE target = Keep("\\big-target");
    std::vector<std::vector<UCHAR>> marks;
    for (ULONGLONG at = 0; at < size; at += 64 * kExtent) {
        marks.push_back(RandomBytes(kExtent));
        WriteAll(source, at, marks.back().data(), kExtent);
    }
    UCHAR last = 1;
    ASSERT_EQ(WriteAt(source, (LONGLONG)size - 1, &last, 1), STATUS_SUCCESS);
    ASSERT_EQ(WriteAt(target, (LONGLONG)size - 1, &last, 1), STATUS_SUCCESS);
    LONG64 charged = Charged(source);

    ASSERT_EQ(Clone(target, source, 0, 0, (LONGLONG)size).status, STATUS_SUCCESS);
    EXPECT_EQ(Charged(source), charged - (LONG64)kExtent) << "the target's own last extent went";
    EXPECT_NE(FileObjectOf(target, *process)->Flags & FO_FILE_MODIFIED, 0u);
    std::vector<UCHAR> got;
    for (size_t i = 0; i < marks.size(); ++i) {
        ASSERT_EQ(ReadAt(target, (LONGLONG)(i * 64 * kExtent), kExtent, &got), STATUS_SUCCESS);
        ASSERT_EQ(got, marks[i]) << "extent " << i * 64;
    }
    std::vector<UCHAR> fresh = RandomBytes(kExtent);
    WriteAll(target, 0, fresh.data(), kExtent);
    ASSERT_EQ(ReadAt(source, 0, kExtent, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, marks[0]);
}

/* Malformed and refused clones: each gets its status and changes neither file. */
TEST_F(CloneTest, RefusedClonesChangeNothing)
{
    std::vector<UCHAR> a, b;
    HANDLE fileA = MakeFile("\\a", 2 * kExtent + 10000, &a);
    HANDLE fileB = MakeFile("\\b", 3 * kExtent, &b);
    HANDLE noRead = Keep("\\a", FILE_READ_ATTRIBUTES);
    HANDLE directory = Keep("\\dir", FILE_READ_DATA | FILE_WRITE_DATA, FILE_DIRECTORY_FILE);
    ASSERT_EQ(Create('S', 64 * kMiB), STATUS_SUCCESS);
    letters.push_back('S');
    HANDLE elsewhere = nullptr;
    {
        auto *userHandle = process->New<HANDLE>();
        POBJECT_ATTRIBUTES oa = process->Attributes("\\??\\S:\\other");
        ASSERT_EQ(support::AsUser(*process,
                                  [&] {
                                      return NtCreateFile(userHandle, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE,
                                                          oa, controlIosb, nullptr, 0, FILE_SHARE_READ, FILE_CREATE,
                                                          FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
                                  }),
                  STATUS_SUCCESS);
        elsewhere = *userHandle;
    }
    handles.push_back(elsewhere);
    std::vector<UCHAR> other = RandomBytes(kExtent);
    WriteAll(elsewhere, 0, other.data(), other.size());
    LONG64 charged = Charged(fileA);

    struct Case {
        const char *what;
        HANDLE target, source;
        LONGLONG from, to, count;
        ULONG inLength;
        NTSTATUS status;
    };
    const LONGLONG e = (LONGLONG)kExtent;
    const Case cases[] = {
        {"short input", fileB, fileA, 0, 0, e, 31, STATUS_BUFFER_TOO_SMALL},
        {"negative source offset", fileB, fileA, -4096, 0, e, 32, STATUS_INVALID_PARAMETER},
        {"negative count", fileB, fileA, 0, 0, -1, 32, STATUS_INVALID_PARAMETER},
        {"misaligned source", fileB, fileA, 512, 0, 4096, 32, STATUS_INVALID_PARAMETER},
        {"misaligned target", fileB, fileA, 0, 100, 4096, 32, STATUS_INVALID_PARAMETER},
        {"end beyond 2^53", fileB, fileA, 0, (LONGLONG)(MAX_FILE_OFFSET - 4096), 8192, 32, STATUS_INVALID_PARAMETER},
        {"source end wraps", fileB, fileA, LLONG_MAX - 4095, 0, 8192, 32, STATUS_INVALID_PARAMETER},
        {"source without read access", fileB, noRead, 0, 0, e, 32, STATUS_ACCESS_DENIED},
        {"source on another volume", fileB, elsewhere, 0, 0, e, 32, STATUS_INVALID_PARAMETER},
        {"source is a directory", fileB, directory, 0, 0, 4096, 32, STATUS_INVALID_PARAMETER},
        {"target is a directory", directory, fileA, 0, 0, 4096, 32, STATUS_INVALID_PARAMETER},
        {"no handle at all", fileB, (HANDLE)(ULONG_PTR)0x7FF0, 0, 0, 4096, 32, STATUS_INVALID_HANDLE},
        {"overlap within one file", fileB, fileB, 0, 4096, 8192, 32, STATUS_INVALID_PARAMETER},
        {"target too short", fileB, fileA, 0, 3 * e - 4096, 8192, 32, STATUS_NOT_SUPPORTED},
        {"source too short", fileB, fileA, 2 * e + 8192, 0, 8192, 32, STATUS_NOT_SUPPORTED},
        {"odd count from the middle", fileB, fileA, 0, 0, 10000, 32, STATUS_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        DUPLICATE_EXTENTS_DATA input{c.source, {.QuadPart = c.from}, {.QuadPart = c.to}, {.QuadPart = c.count}};
        EXPECT_EQ(Fsctl(c.target, FSCTL_DUPLICATE_EXTENTS_TO_FILE, &input, c.inLength, 0).status, c.status)
            << c.what;
        EXPECT_EQ(Charged(fileA), charged) << c.what;
    }
    EXPECT_EQ(Fsctl(fileB, FSCTL_DUPLICATE_EXTENTS_TO_FILE, nullptr, 0, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Fsctl(fileB, FSCTL_DUPLICATE_EXTENTS_TO_FILE, nullptr, 32, 0).status, STATUS_ACCESS_VIOLATION)
        << "the I/O manager refuses a missing buffer";
    EXPECT_EQ(Clone(fileB, fileA, 0, 0, 0).status, STATUS_SUCCESS) << "nothing to clone";
    EXPECT_EQ(Contents(fileA), a);
    EXPECT_EQ(Contents(fileB), b);

    /* The tail of a source that ends inside a page clones when the range ends at its end. */
    ASSERT_EQ(Clone(fileB, fileA, 2 * e, e, 10000).status, STATUS_SUCCESS);
    ModelClone(&b, a, 2 * kExtent, kExtent, 10000);
    EXPECT_EQ(Contents(fileB), b);

    /* A lock another handle holds on the target's range refuses the clone. */
    HANDLE locker = Keep("\\b");
    auto *at = process->New<LARGE_INTEGER>();
    auto *bytes = process->New<LARGE_INTEGER>();
    at->QuadPart = 0;
    bytes->QuadPart = 100;
    ASSERT_EQ(support::AsUser(*process, [&] {
                  return NtLockFile(locker, nullptr, nullptr, nullptr, controlIosb, at, bytes, 0, TRUE, TRUE);
              }),
              STATUS_SUCCESS);
    charged = Charged(fileA);
    EXPECT_EQ(Clone(fileB, fileA, 0, 0, 4096).status, STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(Clone(fileA, fileB, 0, 0, 4096).status, STATUS_FILE_LOCK_CONFLICT) << "nor may the range be read";
    EXPECT_EQ(Charged(fileA), charged);
    EXPECT_EQ(Clone(fileB, fileA, 0, 4096, 4096).status, STATUS_SUCCESS) << "outside the lock";
}

/*
 * Clones and a zeroing under injected failures: the nth pool allocation, or
 * the nth and every later page allocation or mapping, of each step fails in
 * turn, until a run injects nothing. A step that fails leaves both files' bytes and the volume's charge
 * as they were; a step that succeeds matches the model.
 */
TEST_F(CloneTest, FailedAllocationsLeaveBothFilesAsTheyWere)
{
    const char *sites[] = {"ExAllocatePoolWithTag", "MmAllocateNodePagesForMdlEx", "MmAllocatePagesForMdl",
                           "MmMapLockedPagesSpecifyCache"};
    std::map<std::string, uint64_t> failures;
    for (const char *site : sites) {
        for (uint64_t nth = 1; nth < 100; ++nth) {
            SCOPED_TRACE(std::string(site) + " #" + std::to_string(nth));
            std::string suffix = std::string(site).substr(0, 6) + std::to_string(nth);
            std::vector<UCHAR> a;
            HANDLE source = MakeFile("\\s" + suffix, 2 * kExtent + 5000, &a);
            HANDLE target = Keep("\\t" + suffix);
            std::vector<UCHAR> b(3 * kExtent, 0);
            b.back() = 1;
            WriteAll(target, b.size() - 1, &b.back(), 1);

            struct Step {
                HANDLE file, from;
                LONGLONG sourceOffset, targetOffset, count; /* a zeroing when from is null */
            };
            const Step steps[] = {
                {target, source, 0, 0, (LONGLONG)a.size()},
                {target, source, 0, 4096, 8192},
                {source, nullptr, 100, 300, 0},
            };
            uint64_t injected = 0;
            for (const Step &step : steps) {
                LONG64 charged = Charged(source);
                if (std::string(site) == "ExAllocatePoolWithTag")
                    machine::ArmPoolFault(nth, 0);
                else
                    machine::ArmFault(site, nth, true); /* a page allocation that fails is retried smaller */
                NTSTATUS status;
                if (step.from != nullptr) {
                    status = Clone(step.file, step.from, step.sourceOffset, step.targetOffset, step.count).status;
                } else {
                    FILE_ZERO_DATA_INFORMATION zero{{.QuadPart = step.sourceOffset}, {.QuadPart = step.targetOffset}};
                    status = Fsctl(step.file, FSCTL_SET_ZERO_DATA, zero).status;
                }
                uint64_t now = machine::FaultsInjected(site);
                machine::DisarmFaults();
                injected += now;
                if (NT_SUCCESS(status)) {
                    if (step.from != nullptr)
                        ModelClone(&b, a, (ULONGLONG)step.sourceOffset, (ULONGLONG)step.targetOffset,
                                   (ULONGLONG)step.count);
                    else
                        std::fill(a.begin() + step.sourceOffset, a.begin() + step.targetOffset, 0);
                } else {
                    ++failures[site];
                    EXPECT_NE(now, 0u) << "only an injected failure may fail a step";
                    EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_DISK_FULL)
                        << std::hex << status;
                    EXPECT_EQ(Charged(source), charged);
                }
                ASSERT_EQ(Contents(source), a);
                ASSERT_EQ(Contents(target), b);
            }
            if (injected == 0)
                break;
        }
    }
    EXPECT_GT(failures["ExAllocatePoolWithTag"], 0u);
    EXPECT_GT(failures["MmAllocateNodePagesForMdlEx"] + failures["MmAllocatePagesForMdl"], 0u);
}

} // namespace
