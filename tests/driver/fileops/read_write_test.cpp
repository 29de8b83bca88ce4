/*
 * Reads and writes through the native API: a user program's synchronous handles
 * checked against a byte model across every storage tier and extent boundary,
 * the offsets and sizes at the edges, appends racing each other, holes that stay
 * holes, byte-range locks, paging writes and a volume that fills up.
 */
#include "fileops_test.h"
#include "system_threads.h"

#include <atomic>
#include <random>
#include <vector>

namespace {

constexpr size_t kScratchBytes = 8 * kMiB;
constexpr LONGLONG kMaxFileOffset = 1LL << 53;

class ReadWriteTest : public DataFileOpsTest {
protected:
    void SetUp() override
    {
        FileOpsTest::SetUp();
        ASSERT_EQ(MakeVolume(0, "dir"), STATUS_SUCCESS);
        AllocateScratch(kScratchBytes);
    }
};

/*
 * Random writes and reads against a byte model: the file starts in a slot, grows
 * into a single buffer, converts to an extent table and spans several 2 MiB
 * extents; some writes carry zeros (which leave holes), some reads start beyond
 * the size. Every read must match the model byte for byte.
 */
TEST_F(ReadWriteTest, RandomWritesAndReadsMatchAByteModel)
{
    HANDLE handle = OpenFile("\\model");
    std::mt19937 random(20261207);
    std::vector<UCHAR> model;
    const ULONGLONG reach = 7 * kMiB;
    std::vector<UCHAR> data;
    std::vector<UCHAR> got;
    LONG64 counted[4] = {}; /* write count, bytes written, read count, bytes read */
    for (int step = 0; step < 160; ++step) {
        /* Early steps stay small, so every tier is crossed in order. */
        ULONGLONG limit = step < 20 ? 4096 : step < 50 ? 2 * kMiB : reach;
        ULONGLONG at = random() % limit;
        size_t length = 1 + random() % (step % 7 == 0 ? 3 * kMiB : 70000);
        length = (size_t)std::min<ULONGLONG>(length, reach + kMiB - at);
        if (random() % 2 == 0) {
            data.assign(length, 0);
            if (random() % 3 != 0)
                for (auto &byte : data)
                    byte = (UCHAR)(random() | 1);
            ULONG_PTR written = 0;
            ASSERT_EQ(WriteAt(handle, (LONGLONG)at, data.data(), length, &written), STATUS_SUCCESS) << step;
            ASSERT_EQ(written, length);
            if (model.size() < at + length)
                model.resize(at + length, 0);
            std::copy(data.begin(), data.end(), model.begin() + at);
            ASSERT_EQ(SizeOf(handle), model.size()) << step;
            counted[0] += 1;
            counted[1] += (LONG64)length;
        } else {
            NTSTATUS status = ReadAt(handle, (LONGLONG)at, length, &got);
            if (at >= model.size()) {
                ASSERT_EQ(status, STATUS_END_OF_FILE) << step;
                continue;
            }
            ASSERT_EQ(status, STATUS_SUCCESS) << step;
            size_t expected = (size_t)std::min<ULONGLONG>(length, model.size() - at);
            ASSERT_EQ(got.size(), expected) << step;
            ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin() + at)) << "step " << step << " at " << at;
            counted[2] += 1;
            counted[3] += (LONG64)expected;
        }
    }
    /* The volume's per-processor counters add up to what succeeded. */
    PVCB vcb = NodeOf(handle)->Vcb;
    LONG64 sums[4] = {};
    for (ULONG slot = 0; slot < VOLUME_IO_SLOTS; ++slot)
        for (int i = 0; i < 4; ++i)
            sums[i] += VcbIoSlots(vcb)[slot].Counters[i];
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(sums[i], counted[i]) << "counter " << i;
    ASSERT_NE(NodeOf(handle)->Data.Extents, nullptr) << "the file ends as an extent table";
    for (ULONGLONG at = 0; at < model.size(); at += kScratchBytes / 2) {
        ASSERT_EQ(ReadAt(handle, (LONGLONG)at, kScratchBytes / 2, &got), STATUS_SUCCESS);
        ASSERT_TRUE(std::equal(got.begin(), got.end(), model.begin() + at)) << at;
    }
    Close(handle);
}

TEST_F(ReadWriteTest, OffsetsAndLengthsAtTheEdges)
{
    HANDLE handle = OpenFile("\\edges");
    std::vector<UCHAR> got;
    ASSERT_EQ(WriteAt(handle, 0, "0123456789", 10), STATUS_SUCCESS);

    /* At the size: end of file; across it: the bytes up to it. */
    EXPECT_EQ(ReadAt(handle, 10, 4, &got), STATUS_END_OF_FILE);
    EXPECT_EQ(ReadAt(handle, 1000, 4, &got), STATUS_END_OF_FILE);
    ASSERT_EQ(ReadAt(handle, 7, 100, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::string(got.begin(), got.end()), "789");
    EXPECT_EQ(ReadAt(handle, 3, 0, &got), STATUS_SUCCESS);
    EXPECT_TRUE(got.empty());

    /* An append lands at the size, whatever else the request says. */
    ULONG_PTR written = 0;
    EXPECT_EQ(WriteAt(handle, -1 /* FILE_WRITE_TO_END_OF_FILE */, "ab", 2, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 2u);
    ASSERT_EQ(ReadAt(handle, 0, 100, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::string(got.begin(), got.end()), "0123456789ab");

    /* Refused before anything changes: a negative offset, an end beyond the largest file or one that wraps. */
    LONG64 charged = Charged(handle);
    EXPECT_EQ(WriteAt(handle, -3, "x", 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WriteAt(handle, kMaxFileOffset - 8, "123456789", 9), STATUS_DISK_FULL);
    EXPECT_EQ(WriteAt(handle, LLONG_MAX - 2, "123456789", 9), STATUS_DISK_FULL);
    EXPECT_EQ(SizeOf(handle), 12u);
    EXPECT_EQ(Charged(handle), charged);
    EXPECT_EQ(WriteAt(handle, 0, "", 0, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 0u);
    Close(handle);

    /* The file pointer of a synchronous handle: where a read or write without an offset goes, and moved by both. */
    handle = OpenFile("\\pointer");
    ASSERT_EQ(Write(handle, nullptr, "hello", 5), STATUS_SUCCESS);
    ASSERT_EQ(Write(handle, nullptr, " world", 6), STATUS_SUCCESS);
    PFILE_OBJECT file = FileObjectOf(handle, *process);
    EXPECT_EQ(file->CurrentByteOffset.QuadPart, 11);
    LONGLONG pointer = -2; /* FILE_USE_FILE_POINTER_POSITION */
    ASSERT_EQ(ReadAt(handle, 4, 3, &got), STATUS_SUCCESS);
    EXPECT_EQ(file->CurrentByteOffset.QuadPart, 7);
    ASSERT_EQ(Read(handle, &pointer, 100, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::string(got.begin(), got.end()), "orld");
    EXPECT_EQ(file->CurrentByteOffset.QuadPart, 11);
    Close(handle);

    /* A directory has no data. */
    OpenRequest rq;
    rq.access = FILE_LIST_DIRECTORY | FILE_ADD_FILE;
    rq.options = FILE_DIRECTORY_FILE;
    ASSERT_EQ(Open("\\dir", &handle, rq), STATUS_SUCCESS);
    EXPECT_EQ(ReadAt(handle, 0, 16, &got), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(WriteAt(handle, 0, "x", 1), STATUS_FILE_IS_A_DIRECTORY);
    Close(handle);
}

TEST_F(ReadWriteTest, ZerosIntoAHoleAllocateNothing)
{
    HANDLE handle = OpenFile("\\sparse");
    LONG64 charged = Charged(handle);
    std::vector<UCHAR> zeros(2 * kMiB, 0);
    const LONGLONG gib = 1LL << 30;
    ASSERT_EQ(WriteAt(handle, gib, zeros.data(), zeros.size()), STATUS_SUCCESS);
    EXPECT_EQ(SizeOf(handle), (ULONGLONG)gib + 2 * kMiB);
    EXPECT_EQ(Charged(handle), charged) << "zeros written into holes take no memory";
    std::vector<UCHAR> got;
    ASSERT_EQ(ReadAt(handle, gib - 100, 4096, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, std::vector<UCHAR>(4096, 0));

    /* One non-zero byte takes one extent, and only that one. */
    ASSERT_EQ(WriteAt(handle, gib + kMiB, "z", 1), STATUS_SUCCESS);
    EXPECT_EQ(Charged(handle), charged + (LONG64)(2 * kMiB));
    Close(handle);
}

/*
 * A write that converts a small file to an extent table and spans two extents,
 * with its nth pool allocation failing in turn until one runs with nothing
 * injected: each failure is a clean status and leaves the file as it was.
 */
TEST_F(ReadWriteTest, FailedAllocationsLeaveTheFileAsItWas)
{
    HANDLE handle = OpenFile("\\sweep");
    ASSERT_EQ(WriteAt(handle, 0, "0123456789", 10), STATUS_SUCCESS);
    std::vector<UCHAR> data(3 * kMiB, 0x77);
    std::vector<UCHAR> got;
    uint64_t n = 1;
    for (; n < 200; ++n) {
        machine::ArmPoolFault(n, 0);
        NTSTATUS status = WriteAt(handle, (LONGLONG)kMiB, data.data(), data.size());
        uint64_t injected = machine::FaultsInjected("ExAllocatePoolWithTag");
        machine::DisarmFaults();
        if (NT_SUCCESS(status))
            break;
        SCOPED_TRACE("allocation #" + std::to_string(n));
        ASSERT_NE(injected, 0u) << "only an injected failure may fail the write";
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(SizeOf(handle), 10u);
        ASSERT_EQ(ReadAt(handle, 0, 100, &got), STATUS_SUCCESS);
        EXPECT_EQ(std::string(got.begin(), got.end()), "0123456789");
    }
    EXPECT_GT(n, 1u);
    EXPECT_EQ(SizeOf(handle), 4 * kMiB);
    ASSERT_EQ(ReadAt(handle, 0, 4 * kMiB, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 10), "0123456789");
    EXPECT_TRUE(std::all_of(got.begin() + 10, got.begin() + kMiB, [](UCHAR b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(got.begin() + kMiB, got.end(), [](UCHAR b) { return b == 0x77; }));
    Close(handle);
}

/* Appends from several threads each land whole, one after another, never over each other. */
TEST_F(ReadWriteTest, ConcurrentAppendsNeverOverlap)
{
    HANDLE handle = OpenFile("\\log");
    ASSERT_EQ(WriteAt(handle, 0, "0123456789", 10), STATUS_SUCCESS);
    constexpr int kThreads = 4, kRecords = 40, kRecordBytes = 3000;
    std::atomic<int> failures{0};
    std::vector<PKTHREAD> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartThread([&, t] {
            std::vector<UCHAR> record(kRecordBytes, (UCHAR)('A' + t));
            IO_STATUS_BLOCK io{};
            HANDLE kernelHandle = nullptr;
            support::Name name("\\??\\R:\\log");
            OBJECT_ATTRIBUTES oa;
            InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
            if (!NT_SUCCESS(ZwCreateFile(&kernelHandle, FILE_WRITE_DATA | SYNCHRONIZE, &oa, &io, nullptr, 0,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                         nullptr, 0))) {
                failures++;
                return;
            }
            for (int i = 0; i < kRecords; ++i) {
                LARGE_INTEGER end;
                end.HighPart = -1;
                end.LowPart = FILE_WRITE_TO_END_OF_FILE;
                if (ZwWriteFile(kernelHandle, nullptr, nullptr, nullptr, &io, record.data(), kRecordBytes, &end,
                                nullptr) != STATUS_SUCCESS)
                    failures++;
            }
            ZwClose(kernelHandle);
        }));
    }
    for (PKTHREAD thread : threads)
        JoinThread(thread);
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(SizeOf(handle), 10u + kThreads * kRecords * kRecordBytes);

    std::vector<UCHAR> got;
    ASSERT_EQ(ReadAt(handle, 0, 10 + kThreads * kRecords * kRecordBytes, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::string(got.begin(), got.begin() + 10), "0123456789") << "appends start at the size";
    std::vector<int> records(kThreads, 0);
    for (size_t at = 10; at < got.size(); at += kRecordBytes) {
        UCHAR first = got[at];
        ASSERT_TRUE(std::all_of(got.begin() + at, got.begin() + at + kRecordBytes, [&](UCHAR b) { return b == first; }))
            << "a torn record at " << at;
        ASSERT_GE(first, 'A');
        ASSERT_LT(first, 'A' + kThreads);
        records[first - 'A']++;
    }
    EXPECT_EQ(records, std::vector<int>(kThreads, kRecords));
    Close(handle);
}

/* An exclusive byte-range lock held through one handle refuses reads and writes through another. */
TEST_F(ReadWriteTest, ByteRangeLocksRefuseOtherHandles)
{
    HANDLE owner = OpenFile("\\locked");
    HANDLE other = OpenFile("\\locked");
    ASSERT_EQ(WriteAt(owner, 0, "0123456789", 10), STATUS_SUCCESS);

    auto *iosb = process->New<IO_STATUS_BLOCK>();
    auto *at = process->New<LARGE_INTEGER>();
    auto *bytes = process->New<LARGE_INTEGER>();
    at->QuadPart = 4;
    bytes->QuadPart = 2;
    ASSERT_EQ(support::AsUser(*process,
                              [&] { return NtLockFile(owner, nullptr, nullptr, nullptr, iosb, at, bytes, 0, TRUE, TRUE); }),
              STATUS_SUCCESS);

    std::vector<UCHAR> got;
    EXPECT_EQ(ReadAt(other, 5, 1, &got), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(WriteAt(other, 3, "zz", 2), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(WriteAt(other, -1, "zz", 2), STATUS_SUCCESS) << "an append is tested at the size, beyond the lock";
    ASSERT_EQ(ReadAt(other, 0, 4, &got), STATUS_SUCCESS) << "outside the range";
    ASSERT_EQ(ReadAt(owner, 0, 100, &got), STATUS_SUCCESS) << "the owner's own handle";
    EXPECT_EQ(std::string(got.begin(), got.end()), "0123456789zz");
    Close(other);
    Close(owner);
}

/* The memory manager's write-back: never beyond the size, cut at it. */
TEST_F(ReadWriteTest, PagingWritesNeverExtendTheFile)
{
    HANDLE handle = OpenFile("\\paged");
    ASSERT_EQ(WriteAt(handle, 0, "0123456789", 10), STATUS_SUCCESS);
    PFILE_OBJECT file = FileObjectOf(handle, *process);
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    auto pagingWrite = [&](LONGLONG at, const char *data, ULONG length, ULONG_PTR *bytes) {
        char buffer[16] = {};
        memcpy(buffer, data, length);
        LARGE_INTEGER where;
        where.QuadPart = at;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK io{};
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, device, buffer, length, &where, &event, &io);
        EXPECT_NE(irp, nullptr);
        irp->Flags |= IRP_PAGING_IO | IRP_NOCACHE;
        IoGetNextIrpStackLocation(irp)->FileObject = file;
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        NTSTATUS status = IoCallDriver(device, irp);
        KeLowerIrql(old);
        if (status == STATUS_PENDING)
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        *bytes = io.Information;
        return io.Status;
    };
    ULONG_PTR bytes = 99;
    EXPECT_EQ(pagingWrite(10, "beyond", 6, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(pagingWrite(8, "XYZW", 4, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 2u) << "cut at the size";
    EXPECT_EQ(SizeOf(handle), 10u);
    std::vector<UCHAR> got;
    ASSERT_EQ(ReadAt(handle, 0, 100, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::string(got.begin(), got.end()), "01234567XY");
    Close(handle);
}

/* A volume that stays full: the write waits for room, gives up with disk full and leaves the file as it was. */
TEST_F(ReadWriteTest, AFullVolumeRefusesTheWriteAndKeepsTheSize)
{
    HANDLE handle = OpenFile("\\fill");
    std::vector<UCHAR> data(4 * kMiB, 0x5A);
    ULONGLONG size = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (int i = 0; i < 32 && NT_SUCCESS(status); ++i) {
        status = WriteAt(handle, (LONGLONG)size, data.data(), data.size());
        if (NT_SUCCESS(status))
            size += data.size();
    }
    EXPECT_EQ(status, STATUS_DISK_FULL);
    EXPECT_EQ(SizeOf(handle), size);
    EXPECT_EQ(WriteAt(handle, (LONGLONG)size, data.data(), data.size()), STATUS_DISK_FULL) << "again, at once";
    EXPECT_EQ(SizeOf(handle), size);
    std::vector<UCHAR> got;
    ASSERT_EQ(ReadAt(handle, (LONGLONG)size - 4096, 4096, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, std::vector<UCHAR>(4096, 0x5A));
    Close(handle);
}

} // namespace
