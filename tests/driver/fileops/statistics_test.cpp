/*
 * I/O statistics: the running totals against what concurrent readers and writers
 * on two volumes did, the lifetime totals between samples, across busy volumes,
 * dismounts, a driver reload and a reboot, and the peak speeds under a clock the
 * test moves.
 */
#include "fileops_test.h"
#include "system_threads.h"

#include <atomic>
#include <filesystem>
#include <optional>

#include <unistd.h>

namespace {

constexpr uint64_t kSecond = 10000000; /* 100 ns units */

/* A kernel handle on X:path, created when missing. */
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

/* NtWriteFile or NtReadFile at an offset; the bytes moved, 0 on failure. */
ULONG Transfer(HANDLE handle, bool write, LONGLONG at, void *data, ULONG length)
{
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset;
    offset.QuadPart = at;
    NTSTATUS status = write ? ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, data, length, &offset, nullptr)
                            : ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, data, length, &offset, nullptr);
    return NT_SUCCESS(status) ? (ULONG)iosb.Information : 0;
}

/* A REG_QWORD under the driver's service key; empty when the key or the value is missing. */
std::optional<ULONGLONG> ServiceQword(const std::string &subkey, const char *value)
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

    template <typename Reply>
    Reply Query(ULONG code)
    {
        Reply reply{};
        EXPECT_EQ(Control(code, nullptr, 0, &reply, sizeof(reply)), STATUS_SUCCESS);
        return reply;
    }
    VOREL_IO_STATISTICS Running() { return Query<VOREL_IO_STATISTICS>(IOCTL_VOREL_IO_STATISTICS); }
    VOREL_LIFETIME_STATISTICS Lifetime() { return Query<VOREL_LIFETIME_STATISTICS>(IOCTL_VOREL_LIFETIME_STATISTICS); }
    LONG Samples() { return InterlockedCompareExchange(&d->Data->StatisticsSamples, 0, 0); }

    /* Moves the clock once the service waits (earlier would only push its deadline) and waits for its sample. */
    void Sample(uint64_t by = kSecond)
    {
        ASSERT_TRUE(Eventually([&] { return machine::WaitersOn(&d->Data->StatisticsWakeEvent) == 1; }));
        LONG before = Samples();
        machine::AdvanceClock(by);
        ASSERT_TRUE(Eventually([&] { return Samples() > before; }));
    }
    /* Writes (or reads) bytes of X:path from offset 0 in 1 MiB pieces; returns the bytes moved. */
    ULONGLONG Move(char letter, const std::string &path, ULONGLONG bytes, bool write = true)
    {
        HANDLE handle = OpenData(letter, path);
        std::vector<char> piece(kMiB, 'w');
        ULONGLONG moved = 0;
        for (ULONG got = 1; handle != nullptr && moved < bytes && got != 0; moved += got) {
            ULONG length = (ULONG)std::min<ULONGLONG>(kMiB, bytes - moved);
            got = Transfer(handle, write, (LONGLONG)moved, piece.data(), length);
        }
        if (handle != nullptr)
            ZwClose(handle);
        return moved;
    }
};

TEST_F(StatisticsTest, ConcurrentReadersAndWritersOnTwoVolumesAreCountedExactly)
{
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Create('S', 64 * kMiB), STATUS_SUCCESS);
    constexpr int kThreads = 4;
    std::atomic<ULONGLONG> bytesRead{0}, bytesWritten{0}, reads{0}, writes{0};
    std::atomic<int> running{kThreads}, failures{0};
    std::vector<PKTHREAD> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartThread([&, t] {
            HANDLE handle = OpenData(t % 2 == 0 ? 'R' : 'S', "\\worker" + std::to_string(t));
            std::vector<char> buffer(64 * 1024, (char)('a' + t));
            for (int i = 0; handle != nullptr && i < 60; ++i) {
                ULONG length = 4096u * (1 + (ULONG)(t * 7 + i) % 16);
                ULONG wrote = Transfer(handle, true, (LONGLONG)i * 65536, buffer.data(), length);
                /* Within what this thread wrote, so every read moves bytes. */
                ULONG got = Transfer(handle, false, (LONGLONG)(i / 2) * 65536, buffer.data(), 1000 + 13u * i);
                failures += (wrote != length) + (got == 0);
                bytesWritten += wrote;
                writes += wrote != 0;
                bytesRead += got;
                reads += got != 0;
            }
            failures += handle == nullptr;
            if (handle != nullptr)
                ZwClose(handle);
            running--;
        }));
    }
    /* Samples and queries meanwhile: the lifetime never goes back. */
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
    /* Each sample spans one second: a peak is what one second moved. */
    EXPECT_GT(lifetime.PeakWriteBytesPerSecond, 0u);
    EXPECT_LE(lifetime.PeakWriteBytesPerSecond, bytesWritten.load());
    EXPECT_GT(lifetime.PeakReadBytesPerSecond, 0u);
    EXPECT_LE(lifetime.PeakReadBytesPerSecond, bytesRead.load());
    EXPECT_EQ(ServiceQword("VolatileStatistics", "WriteOps"), writes.load());
    EXPECT_EQ(ServiceQword("VolatileStatistics", "BytesRead"), bytesRead.load());
    EXPECT_GE(ServiceQword("VolatileStatistics", "AllocatedBytes").value_or(0), 4 * 60 * 4096u);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('S'), STATUS_SUCCESS);
}

TEST_F(StatisticsTest, PeaksFollowWhatOneSampledSecondMoved)
{
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    Sample();
    ASSERT_EQ(Move('R', "\\big", 10 * kMiB), 10 * kMiB);
    Sample();
    EXPECT_EQ(Lifetime().PeakWriteBytesPerSecond, 10 * kMiB) << "10 MiB within one sampled second";
    ASSERT_EQ(Move('R', "\\big", 4 * kMiB, false), 4 * kMiB);
    ASSERT_EQ(Move('R', "\\big", 16 * kMiB), 16 * kMiB);
    Sample(2 * kSecond);
    VOREL_LIFETIME_STATISTICS lifetime = Lifetime();
    EXPECT_EQ(lifetime.PeakReadBytesPerSecond, 2 * kMiB);
    EXPECT_EQ(lifetime.PeakWriteBytesPerSecond, 10 * kMiB) << "16 MiB in two seconds is slower";

    /* The stop's last sample comes with no time passed: the bytes count, no speed. */
    ASSERT_EQ(Move('R', "\\small", kMiB), kMiB);
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(ServiceQword("LifetimeStatistics", "BytesWritten"), 27 * kMiB);
    EXPECT_EQ(ServiceQword("LifetimeStatistics", "MaxWriteSpeed"), 10 * kMiB);
    EXPECT_EQ(ServiceQword("LifetimeStatistics", "BytesRead"), 4 * kMiB);
}

TEST_F(StatisticsTest, LifetimeCountsUnsampledBytesAndBusyOrDismountedVolumesOnce)
{
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Create('S', 64 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Move('R', "\\a", 2 * kMiB + 5), 2 * kMiB + 5);
    ASSERT_EQ(Move('S', "\\a", 3 * kMiB), 3 * kMiB);
    EXPECT_EQ(Lifetime().BytesWritten, 5 * kMiB + 5) << "nothing sampled yet";
    Sample();
    EXPECT_EQ(d->Data->LifetimeBaseline[1], 5 * kMiB + 5);

    /* A volume held by a save (Busy) leaves the running totals while held and comes back uncounted. */
    PVOLUME_DEVICE_RECORD vdr = nullptr;
    PVCB vcb = nullptr;
    ASSERT_EQ(d->AcquireVolumeForOperation(L'S', &vdr, &vcb), STATUS_SUCCESS);
    EXPECT_EQ(Running().BytesWritten, 2 * kMiB + 5);
    Sample();
    d->ReleaseVolumeOperation(vdr);
    Sample();
    EXPECT_EQ(Lifetime().BytesWritten, 5 * kMiB + 5) << "the held volume counted twice";

    /* What a volume wrote after the last sample still counts once it is dismounted. */
    ASSERT_EQ(Move('R', "\\b", kMiB), kMiB);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
    EXPECT_EQ(Running().BytesWritten, 3 * kMiB) << "the running totals fall with the volume";
    Sample();
    ASSERT_EQ(Move('S', "\\b", kMiB), kMiB);
    Sample();
    EXPECT_EQ(Lifetime().BytesWritten, 7 * kMiB + 5);
    EXPECT_EQ(Dismount('S'), STATUS_SUCCESS);
}

/* The statistics on a machine with registry files: persistent state, and volatile keys in a runtime directory. */
class PersistedStatisticsTest : public StatisticsTest {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config = ManualClockConfig();
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
    ASSERT_EQ(Move('R', "\\a", 5 * kMiB), 5 * kMiB);
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS) << "unload dismounts the volume";
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    d = Diagnostics();
    EXPECT_EQ(Lifetime().BytesWritten, 5 * kMiB);
    EXPECT_EQ(Running().BytesWritten, 0u) << "the running totals start again";
    ASSERT_EQ(Create('R', 64 * kMiB), STATUS_SUCCESS);
    ASSERT_EQ(Move('R', "\\a", 2 * kMiB), 2 * kMiB);
    Sample();
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);

    Restart(false);
    EXPECT_EQ(ServiceQword("VolatileStatistics", "BytesWritten"), 2 * kMiB) << "kept while the host restarts";
    Restart(true);
    EXPECT_EQ(ServiceQword("VolatileStatistics", "BytesWritten"), std::nullopt) << "gone at a reboot";
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    d = Diagnostics();
    VOREL_LIFETIME_STATISTICS lifetime = Lifetime();
    EXPECT_EQ(lifetime.BytesWritten, 7 * kMiB);
    EXPECT_EQ(lifetime.PeakWriteBytesPerSecond, 2 * kMiB);
}

} // namespace
