/*
 * I/O statistics: the running totals against what concurrent readers and writers
 * on two volumes did, the lifetime totals between samples, across dismounts and
 * busy volumes, across a driver reload and a reboot, and the peak speeds under a
 * clock the test moves.
 */
#include "fileops_test.h"
#include "system_threads.h"

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr uint64_t kSecond = 10000000; /* 100 ns units */

/* A kernel handle on X:path, created when missing, for synchronous reads and writes. */
HANDLE OpenData(char letter, const std::string &path)
{
    support::Name name((std::string("\\??\\") + letter + ":" + path).c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(&handle, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_IF,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return NT_SUCCESS(status) ? handle : nullptr;
}

/* NtWriteFile / NtReadFile at an offset; the bytes moved, 0 on failure. */
ULONG WriteAt(HANDLE handle, LONGLONG at, const void *data, ULONG length)
{
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset;
    offset.QuadPart = at;
    NTSTATUS status = ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, const_cast<void *>(data), length,
                                  &offset, nullptr);
    return NT_SUCCESS(status) ? (ULONG)iosb.Information : 0;
}

ULONG ReadAt(HANDLE handle, LONGLONG at, void *data, ULONG length)
{
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset;
    offset.QuadPart = at;
    NTSTATUS status = ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, data, length, &offset, nullptr);
    return NT_SUCCESS(status) ? (ULONG)iosb.Information : 0;
}

/* A REG_QWORD under the driver's service key; empty when the key or the value is missing. */
std::optional<ULONGLONG> ReadServiceQword(const std::string &subkey, const char *value)
{
    support::Name keyName(("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorel\\" + subkey).c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &keyName.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa)))
        return std::nullopt;
    support::Name valueName(value);
    UCHAR buffer[64];
    ULONG length = 0;
    NTSTATUS status =
        ZwQueryValueKey(key, &valueName.string, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    ZwClose(key);
    auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    if (!NT_SUCCESS(status) || info->Type != REG_QWORD || info->DataLength != sizeof(ULONGLONG))
        return std::nullopt;
    ULONGLONG data;
    memcpy(&data, info->Data, sizeof(data));
    return data;
}

/* The driver on a machine whose clock moves only when the test says. */
class StatisticsTest : public VolumeTest {
protected:
    machine::Config BootConfig() override { return ManualClockConfig(); }

    VOREL_IO_STATISTICS Running()
    {
        VOREL_IO_STATISTICS totals{};
        EXPECT_EQ(Control(IOCTL_VOREL_IO_STATISTICS, nullptr, 0, &totals, sizeof(totals)), STATUS_SUCCESS);
        return totals;
    }
    VOREL_LIFETIME_STATISTICS Lifetime()
    {
        VOREL_LIFETIME_STATISTICS totals{};
        EXPECT_EQ(Control(IOCTL_VOREL_LIFETIME_STATISTICS, nullptr, 0, &totals, sizeof(totals)), STATUS_SUCCESS);
        return totals;
    }
    LONG Samples() { return InterlockedCompareExchange(&d->Data->StatisticsSamples, 0, 0); }

    /*
     * Moves the clock by `by` once the statistics service waits (a move before its
     * wait began would only push its deadline), then waits for the sample it takes.
     */
    void Sample(uint64_t by = kSecond)
    {
        ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&d->Data->StatisticsWakeEvent) == 1; }));
        LONG before = Samples();
        machine::AdvanceClock(by);
        ASSERT_TRUE(Eventually([&] { return Samples() > before; }));
    }

    /* Writes bytes to X:path in 1 MiB pieces from offset 0; returns the bytes written. */
    ULONGLONG Fill(char letter, const std::string &path, ULONGLONG bytes)
    {
        HANDLE handle = OpenData(letter, path);
        EXPECT_NE(handle, nullptr);
        std::vector<char> piece(kMiB, 'w');
        ULONGLONG written = 0;
        while (handle != nullptr && written < bytes) {
            ULONG length = (ULONG)std::min<ULONGLONG>(kMiB, bytes - written);
            written += WriteAt(handle, (LONGLONG)written, piece.data(), length);
        }
        if (handle != nullptr)
            ZwClose(handle);
        return written;
    }
    /* Reads bytes of X:path from offset 0; returns the bytes read. */
    ULONGLONG Drain(char letter, const std::string &path, ULONGLONG bytes)
    {
        HANDLE handle = OpenData(letter, path);
        EXPECT_NE(handle, nullptr);
        std::vector<char> piece(kMiB);
        ULONGLONG read = 0;
        while (handle != nullptr && read < bytes) {
            ULONG got = ReadAt(handle, (LONGLONG)read, piece.data(), (ULONG)std::min<ULONGLONG>(kMiB, bytes - read));
            if (got == 0)
                break;
            read += got;
        }
        if (handle != nullptr)
            ZwClose(handle);
        return read;
    }
};

TEST_F(StatisticsTest, ConcurrentReadersAndWritersOnTwoVolumesAreCountedExactly)
{
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Create('S', 64 * kMiB), STATUS_SUCCESS);
    constexpr int kThreads = 4;
    constexpr int kRounds = 60;
    std::atomic<ULONGLONG> bytesRead{0}, bytesWritten{0}, reads{0}, writes{0};
    std::atomic<int> running{kThreads}, failures{0};
    std::vector<PKTHREAD> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartThread([&, t] {
            HANDLE handle = OpenData(t % 2 == 0 ? 'R' : 'S', "\\worker" + std::to_string(t));
            std::vector<char> buffer(64 * 1024, (char)('a' + t));
            for (int i = 0; handle != nullptr && i < kRounds; ++i) {
                ULONG length = 4096u * (1 + (ULONG)(t * 7 + i) % 16);
                ULONG wrote = WriteAt(handle, (LONGLONG)i * 65536, buffer.data(), length);
                failures += wrote != length;
                bytesWritten += wrote;
                writes += wrote != 0;
                /* Within what this thread wrote, so every read moves bytes. */
                ULONG got = ReadAt(handle, (LONGLONG)(i / 2) * 65536, buffer.data(), 1000 + 13u * (ULONG)i);
                failures += got == 0;
                bytesRead += got;
                reads += got != 0;
            }
            failures += handle == nullptr;
            if (handle != nullptr)
                ZwClose(handle);
            running--;
        }));
    }
    /* Samples and queries meanwhile: neither total ever goes back. */
    VOREL_LIFETIME_STATISTICS previous{};
    while (running.load() > 0) {
        Sample();
        VOREL_LIFETIME_STATISTICS now = Lifetime();
        EXPECT_GE(now.BytesWritten, previous.BytesWritten);
        EXPECT_GE(now.BytesRead, previous.BytesRead);
        previous = now;
    }
    for (PKTHREAD thread : threads)
        JoinThread(thread);
    ASSERT_EQ(failures.load(), 0);

    VOREL_IO_STATISTICS counted = Running();
    EXPECT_EQ(counted.BytesWritten, bytesWritten.load());
    EXPECT_EQ(counted.BytesRead, bytesRead.load());
    EXPECT_EQ(counted.WriteOperations, writes.load());
    EXPECT_EQ(counted.ReadOperations, reads.load());

    Sample();
    VOREL_LIFETIME_STATISTICS lifetime = Lifetime();
    EXPECT_EQ(lifetime.BytesWritten, bytesWritten.load()) << "a fresh machine starts from nothing";
    EXPECT_EQ(lifetime.BytesRead, bytesRead.load());
    /* Every sample spans exactly one second: a peak is what one second moved. */
    EXPECT_GT(lifetime.PeakWriteBytesPerSecond, 0u);
    EXPECT_LE(lifetime.PeakWriteBytesPerSecond, bytesWritten.load());
    EXPECT_GT(lifetime.PeakReadBytesPerSecond, 0u);
    EXPECT_LE(lifetime.PeakReadBytesPerSecond, bytesRead.load());

    EXPECT_EQ(ReadServiceQword("VolatileStatistics", "BytesWritten"), bytesWritten.load());
    EXPECT_EQ(ReadServiceQword("VolatileStatistics", "BytesRead"), bytesRead.load());
    EXPECT_EQ(ReadServiceQword("VolatileStatistics", "WriteOps"), writes.load());
    EXPECT_EQ(ReadServiceQword("VolatileStatistics", "ReadOps"), reads.load());
    auto allocated = ReadServiceQword("VolatileStatistics", "AllocatedBytes");
    ASSERT_TRUE(allocated.has_value());
    EXPECT_GE(*allocated, (ULONGLONG)kThreads * kRounds * 4096) << "the bytes in use of both volumes";

    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('S'), STATUS_SUCCESS);
}

TEST_F(StatisticsTest, PeaksFollowWhatOneSampledSecondMoved)
{
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    Sample();
    ASSERT_EQ(Fill('R', "\\big", 10 * kMiB), 10 * kMiB);
    Sample();
    VOREL_LIFETIME_STATISTICS lifetime = Lifetime();
    EXPECT_EQ(lifetime.PeakWriteBytesPerSecond, 10 * kMiB) << "10 MiB within one sampled second";
    EXPECT_EQ(lifetime.PeakReadBytesPerSecond, 0u);

    ASSERT_EQ(Drain('R', "\\big", 4 * kMiB), 4 * kMiB);
    Sample();
    lifetime = Lifetime();
    EXPECT_EQ(lifetime.PeakReadBytesPerSecond, 4 * kMiB);
    EXPECT_EQ(lifetime.PeakWriteBytesPerSecond, 10 * kMiB) << "a quiet second lowers no peak";

    /* 16 MiB over two seconds is 8 MiB/s: below the peak. */
    ASSERT_EQ(Fill('R', "\\big", 16 * kMiB), 16 * kMiB);
    Sample(2 * kSecond);
    EXPECT_EQ(Lifetime().PeakWriteBytesPerSecond, 10 * kMiB);

    /* Growth over a stall of ten minutes still counts. */
    ASSERT_EQ(Fill('R', "\\big", 16 * kMiB), 16 * kMiB);
    Sample(600 * kSecond);
    lifetime = Lifetime();
    EXPECT_EQ(lifetime.PeakWriteBytesPerSecond, 10 * kMiB);
    EXPECT_EQ(lifetime.BytesWritten, 42 * kMiB);

    /* The stop's last sample comes at once (no time passed): bytes count, no speed. */
    ASSERT_EQ(Fill('R', "\\small", kMiB), kMiB);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(ReadServiceQword("LifetimeStatistics", "BytesWritten"), 43 * kMiB);
    EXPECT_EQ(ReadServiceQword("LifetimeStatistics", "MaxWriteSpeed"), 10 * kMiB);
    EXPECT_EQ(ReadServiceQword("LifetimeStatistics", "MaxReadSpeed"), 4 * kMiB);
}

TEST_F(StatisticsTest, TheLifetimeBetweenSamplesIncludesWhatWasNotSampledYet)
{
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Fill('R', "\\a", 3 * kMiB + 5), 3 * kMiB + 5);
    ASSERT_EQ(Drain('R', "\\a", kMiB), kMiB);
    EXPECT_EQ(Samples(), 0);
    VOREL_LIFETIME_STATISTICS lifetime = Lifetime();
    EXPECT_EQ(lifetime.BytesWritten, 3 * kMiB + 5);
    EXPECT_EQ(lifetime.BytesRead, kMiB);
    EXPECT_EQ(d->Data->LifetimeBaseline[1], 0u) << "nothing sampled yet";

    Sample();
    ASSERT_EQ(Fill('R', "\\b", 7), 7u);
    lifetime = Lifetime();
    EXPECT_EQ(lifetime.BytesWritten, 3 * kMiB + 12);
    EXPECT_EQ(d->Data->LifetimeBaseline[1], 3 * kMiB + 5);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(StatisticsTest, VolumesThatLeaveOrAreBusyAcrossASampleAreCountedOnce)
{
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Create('S', 64 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Fill('R', "\\a", 2 * kMiB), 2 * kMiB);
    ASSERT_EQ(Fill('S', "\\a", 3 * kMiB), 3 * kMiB);
    Sample();
    EXPECT_EQ(Lifetime().BytesWritten, 5 * kMiB);

    /* A volume held by a save (Busy) leaves the running totals while it is held, and
       comes back without being counted again. */
    PVOLUME_DEVICE_RECORD vdr = nullptr;
    PVCB vcb = nullptr;
    ASSERT_EQ(d->AcquireVolumeForOperation(L'S', &vdr, &vcb), STATUS_SUCCESS);
    EXPECT_EQ(Running().BytesWritten, 2 * kMiB);
    Sample();
    EXPECT_EQ(Lifetime().BytesWritten, 5 * kMiB);
    d->ReleaseVolumeOperation(vdr);
    Sample();
    EXPECT_EQ(Lifetime().BytesWritten, 5 * kMiB) << "the held volume's bytes counted twice";

    /* What a volume wrote after the last sample still counts once it is dismounted. */
    ASSERT_EQ(Fill('R', "\\b", kMiB), kMiB);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    EXPECT_EQ(Running().BytesWritten, 3 * kMiB) << "the running totals fall with the volume";
    EXPECT_EQ(Lifetime().BytesWritten, 6 * kMiB);
    Sample();
    EXPECT_EQ(Lifetime().BytesWritten, 6 * kMiB);
    ASSERT_EQ(Fill('S', "\\b", kMiB), kMiB);
    Sample();
    EXPECT_EQ(Lifetime().BytesWritten, 7 * kMiB) << "growth counts on from the lower running total";
    EXPECT_EQ(Dismount('S'), STATUS_SUCCESS);
}

/* The statistics on a machine with registry files: persistent state, and volatile keys in a runtime directory. */
class PersistedStatisticsTest : public StatisticsTest {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config = StatisticsTest::BootConfig();
        config.stateDirectory = base_ + "/state";
        config.runtimeDirectory = base_ + "/run";
        return config;
    }
    void TearDown() override
    {
        StatisticsTest::TearDown();
        std::filesystem::remove_all(base_);
    }
    /* The machine goes down and comes up again; a reboot also loses the runtime directory. */
    void Restart(bool reboot)
    {
        machine::AuditReport report = machine::Shutdown();
        EXPECT_TRUE(report.Clean()) << report.Text();
        if (reboot)
            std::filesystem::remove_all(base_ + "/run");
        machine::Boot(BootConfig());
    }
    std::string base_ = "/tmp/vorel-statistics-" + std::to_string(getpid());
};

TEST_F(PersistedStatisticsTest, LifetimeOutlivesReloadsAndRebootsTheVolatileKeyOnlyReloads)
{
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Fill('R', "\\a", 5 * kMiB), 5 * kMiB);
    ASSERT_EQ(Drain('R', "\\a", kMiB), kMiB);
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS) << "unload dismounts the volume";
    EXPECT_EQ(ReadServiceQword("LifetimeStatistics", "BytesWritten"), 5 * kMiB);
    EXPECT_EQ(ReadServiceQword("VolatileStatistics", "BytesWritten"), 5 * kMiB);

    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    d = Diagnostics();
    VOREL_LIFETIME_STATISTICS lifetime = Lifetime();
    EXPECT_EQ(lifetime.BytesWritten, 5 * kMiB);
    EXPECT_EQ(lifetime.BytesRead, kMiB);
    EXPECT_EQ(lifetime.PeakWriteBytesPerSecond, 0u) << "all of it came in the stop's instant";
    EXPECT_EQ(Running().BytesWritten, 0u) << "the running totals start again";
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Fill('R', "\\a", 2 * kMiB), 2 * kMiB);
    Sample();
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);

    Restart(false);
    EXPECT_EQ(ReadServiceQword("VolatileStatistics", "BytesWritten"), 2 * kMiB) << "kept while the host restarts";
    Restart(true);
    EXPECT_EQ(ReadServiceQword("VolatileStatistics", "BytesWritten"), std::nullopt) << "gone at a reboot";
    EXPECT_EQ(ReadServiceQword("LifetimeStatistics", "BytesWritten"), 7 * kMiB);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    d = Diagnostics();
    lifetime = Lifetime();
    EXPECT_EQ(lifetime.BytesWritten, 7 * kMiB);
    EXPECT_EQ(lifetime.BytesRead, kMiB);
    EXPECT_EQ(lifetime.PeakWriteBytesPerSecond, 2 * kMiB);
}

} // namespace
