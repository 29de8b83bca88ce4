/*
 * File-system controls through the native API, as a Windows program sends them:
 *   clone 1 GiB: <time> ns per extent
 *     FSCTL_DUPLICATE_EXTENTS_TO_FILE of a 1 GiB file full of data into another
 *     of the same size, divided by its 512 extents;
 *   punch holes: <count> per second
 *     FSCTL_SET_ZERO_DATA of one whole extent of a sparse 256 MiB file, each
 *     giving the extent's memory back; the file is filled again, untimed,
 *     whenever all its extents are holes.
 * Each figure is the median of three timed rounds of at least 200 ms.
 */
#include "bench_driver.h"

#include <cstring>

namespace {

constexpr ULONGLONG kExtentBytes = 2ull << 20;
constexpr ULONGLONG kCloneBytes = 1ull << 30;
constexpr ULONGLONG kPunchBytes = 256ull << 20;
constexpr size_t kPieceBytes = 4ull << 20;

void *process;

/* The process's calls: a scratch of its own, and a piece of data and a control record in its memory. */
struct UserCalls : bench::UserScratch {
    PUCHAR piece;
    PVOID control;

    UserCalls()
    {
        piece = static_cast<PUCHAR>(machine::UserAlloc(Process, kPieceBytes));
        control = machine::UserAlloc(Process, 64);
        std::memset(piece, 0x5A, kPieceBytes);
    }
    /* Creates R:path for reading and writing; null on failure. */
    HANDLE Create(const char *path)
    {
        HANDLE file = nullptr;
        return Open(path, FILE_READ_DATA | FILE_WRITE_DATA, FILE_CREATE, 0, &file) == STATUS_SUCCESS ? file : nullptr;
    }
    /* Fills [0, bytes) with data. */
    bool Fill(HANDLE file, ULONGLONG bytes)
    {
        for (ULONGLONG at = 0; at < bytes; at += kPieceBytes)
            if (Write(file, piece, kPieceBytes, at) != STATUS_SUCCESS)
                return false;
        return true;
    }
    template <typename T> NTSTATUS Fsctl(HANDLE file, ULONG code, const T &input)
    {
        std::memcpy(control, &input, sizeof(input));
        return NtFsControlFile(file, nullptr, nullptr, nullptr, iosb, code, control, sizeof(input), nullptr, 0);
    }
};

/* Nanoseconds per extent of a 1 GiB clone; 0 on failure. */
double MeasureClone(UserCalls &calls)
{
    HANDLE source = calls.Create("\\clone-source");
    HANDLE target = calls.Create("\\clone-target");
    bool ok = source != nullptr && target != nullptr && calls.Fill(source, kCloneBytes);
    ok = ok && calls.Write(target, calls.piece, 1, kCloneBytes - 1) == STATUS_SUCCESS;
    DUPLICATE_EXTENTS_DATA clone{source, {.QuadPart = 0}, {.QuadPart = 0}, {.QuadPart = (LONGLONG)kCloneBytes}};
    double rate = ok ? bench::MedianRate([&] {
        return calls.Fsctl(target, FSCTL_DUPLICATE_EXTENTS_TO_FILE, clone) == STATUS_SUCCESS;
    })
                     : 0;
    for (HANDLE file : {source, target})
        if (file != nullptr)
            NtClose(file);
    return rate == 0 ? 0 : 1e9 / rate / (double)(kCloneBytes / kExtentBytes);
}

/* Whole extents made holes per second; 0 on failure. */
double MeasurePunch(UserCalls &calls)
{
    HANDLE file = calls.Create("\\punched");
    if (file == nullptr)
        return 0;
    bool ok = calls.Fsctl(file, FSCTL_SET_SPARSE, FILE_SET_SPARSE_BUFFER{TRUE}) == STATUS_SUCCESS;
    std::vector<double> rates;
    for (int round = 0; round < 3 && ok; ++round) {
        double seconds = 0;
        size_t count = 0;
        while (ok && seconds < 0.2) {
            ok = calls.Fill(file, kPunchBytes);
            auto start = std::chrono::steady_clock::now();
            for (ULONGLONG at = 0; at < kPunchBytes && ok; at += kExtentBytes, ++count) {
                FILE_ZERO_DATA_INFORMATION zero{{.QuadPart = (LONGLONG)at},
                                                {.QuadPart = (LONGLONG)(at + kExtentBytes)}};
                ok = calls.Fsctl(file, FSCTL_SET_ZERO_DATA, zero) == STATUS_SUCCESS;
            }
            seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        rates.push_back((double)count / seconds);
    }
    NtClose(file);
    if (!ok)
        return 0;
    std::sort(rates.begin(), rates.end());
    return rates[1];
}

} // namespace

int main()
{
    bench::LoadedDriver driver;
    if (!bench::LoadDriver(driver, "fsctl_bench"))
        return 1;
    KeEnterCriticalRegion();
    bool ok = bench::CreateVolume(driver, 'R', 4ull << 30) == STATUS_SUCCESS;
    machine::ProcessIdentity identity;
    identity.userSpaceBytes = 64ull << 20;
    process = ok ? machine::CreateProcess(identity) : nullptr;
    bench::UserScratch::Process = process;
    ok = ok && process != nullptr;
    if (ok) {
        machine::EnterProcess(process);
        UserCalls calls;
        double clone = MeasureClone(calls);
        double punch = MeasurePunch(calls);
        machine::LeaveProcess();
        if (clone == 0 || punch == 0) {
            std::fprintf(stderr, "fsctl_bench: a control failed\n");
            ok = false;
        } else {
            std::printf("clone 1 GiB: %.0f ns per extent\n", clone);
            std::printf("punch holes: %.0f per second\n", punch);
        }
        machine::ReleaseProcess(process);
    }
    if (bench::DismountVolume(driver, 'R') != STATUS_SUCCESS) {
        std::fprintf(stderr, "fsctl_bench: the volume did not dismount\n");
        ok = false;
    }
    KeLeaveCriticalRegion();
    return bench::UnloadDriver(driver, ok);
}
