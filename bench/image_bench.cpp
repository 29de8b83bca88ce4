/*
 * Image save and load against the disk they write to. A volume holding 1 GiB
 * of file data (64 files of 16 MiB, bytes no codec shrinks) is saved fully to a
 * new image and loaded back by a volume created on it; in the same run the same
 * directory gets a plain sequential write of 1 GiB in 2 MiB pieces with a flush
 * at the end, and a read of it back. Before each read the file's cached pages
 * are dropped, so both reads come from the disk. The run prints:
 *   image save: <ratio>x disk write (image <n> MB/s, disk <n> MB/s)
 *   image load: <ratio>x disk read (image <n> MB/s, disk <n> MB/s)
 *   image incremental save, 1% changed: <percent>% of the full save (<ms> ms, full <ms> ms)
 * The incremental save follows writes to 1 % of the data (whole extents spread
 * over the files) after the load.
 *
 * The images go to VOREL_BENCH_DIR, or to a directory next to this program.
 */
#include "bench_driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

using bench::Format;
using bench::UserScratch;

constexpr size_t kFiles = 64;
constexpr size_t kFileBytes = 16u << 20;
constexpr size_t kTotal = kFiles * kFileBytes;
constexpr size_t kPiece = 2u << 20;
constexpr ULONGLONG kVolumeBytes = kTotal + (256ull << 20);

void *process;
std::string directory;

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/* Bytes no codec shrinks, quickly: xorshift words. */
void FillNoise(unsigned char *buffer, size_t bytes, uint64_t seed)
{
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i + 8 <= bytes; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(buffer + i, &x, 8);
    }
}

/* Drops a file's cached pages (written back first), so that its next read goes to the disk. */
void DropCached(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    (void)fdatasync(fd);
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

/* The plain disk: 1 GiB written in pieces and flushed, then read back; seconds of each. */
bool MeasureDisk(double *writeSeconds, double *readSeconds)
{
    std::string path = directory + "/plain.bin";
    std::vector<unsigned char> piece(kPiece);
    FillNoise(piece.data(), piece.size(), 7);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    auto start = std::chrono::steady_clock::now();
    bool ok = true;
    for (size_t at = 0; ok && at < kTotal; at += kPiece)
        ok = ::pwrite(fd, piece.data(), kPiece, (off_t)at) == (ssize_t)kPiece;
    ok = ok && fsync(fd) == 0;
    *writeSeconds = Seconds(start);
    ::close(fd);
    DropCached(path);
    fd = ::open(path.c_str(), O_RDONLY);
    start = std::chrono::steady_clock::now();
    for (size_t at = 0; ok && fd >= 0 && at < kTotal; at += kPiece)
        ok = ::pread(fd, piece.data(), kPiece, (off_t)at) == (ssize_t)kPiece;
    *readSeconds = Seconds(start);
    if (fd >= 0)
        ::close(fd);
    ::unlink(path.c_str());
    return ok && fd >= 0;
}

/* Writes bytes at an offset of R:\f<index>, as the user program. */
bool WriteFile(UserScratch &scratch, size_t index, const unsigned char *bytes, size_t length, size_t at,
               ULONG disposition)
{
    HANDLE file = nullptr;
    if (scratch.Open(Format("\\f%zu", index), FILE_READ_DATA | FILE_WRITE_DATA, disposition, 0, &file) !=
        STATUS_SUCCESS)
        return false;
    bool ok = true;
    for (size_t done = 0; ok && done < length; done += kPiece)
        ok = scratch.Write(file, bytes + done, std::min(kPiece, length - done), at + done) == STATUS_SUCCESS;
    NtClose(file);
    return ok;
}

bool FillVolume()
{
    machine::EnterProcess(process);
    auto *source = static_cast<unsigned char *>(machine::UserAlloc(process, kFileBytes));
    UserScratch scratch;
    bool ok = source != nullptr;
    for (size_t i = 0; ok && i < kFiles; ++i) {
        FillNoise(source, kFileBytes, 100 + i);
        ok = WriteFile(scratch, i, source, kFileBytes, 0, FILE_CREATE);
    }
    machine::LeaveProcess();
    return ok;
}

/* 1 % of the data rewritten: whole extents spread over the files. */
bool ChangeOnePercent()
{
    machine::EnterProcess(process);
    auto *source = static_cast<unsigned char *>(machine::UserAlloc(process, kPiece));
    UserScratch scratch;
    FillNoise(source, kPiece, 999);
    size_t extents = kTotal / kPiece / 100 + 1;
    bool ok = true;
    for (size_t e = 0; ok && e < extents; ++e)
        ok = WriteFile(scratch, (e * 13) % kFiles, source, kPiece, (e % (kFileBytes / kPiece)) * kPiece, FILE_OPEN);
    machine::LeaveProcess();
    return ok;
}

NTSTATUS Save(const bench::LoadedDriver &driver, const char *path)
{
    auto input = std::make_unique<VOREL_SAVE_INPUT>();
    input->Letter = 'R';
    for (size_t i = 0; path != nullptr && path[i] != 0; ++i)
        input->NewImagePath[i] = (VOREL_WCHAR)path[i];
    return bench::SendControl(driver, IOCTL_VOREL_SAVE_VOLUME, input.get(), sizeof(*input));
}

NTSTATUS CreateFromImage(const bench::LoadedDriver &driver, const char *path)
{
    auto input = std::make_unique<VOREL_CREATE_VOLUME_INPUT>();
    input->Letter = 'R';
    for (size_t i = 0; path[i] != 0; ++i)
        input->ImagePath[i] = (VOREL_WCHAR)path[i];
    return bench::SendControl(driver, IOCTL_VOREL_CREATE_VOLUME, input.get(), sizeof(*input));
}

void PrintRatio(const char *what, const char *against, double mine, double disk)
{
    double mbMine = (double)kTotal / mine / 1e6;
    double mbDisk = (double)kTotal / disk / 1e6;
    std::printf("%s: %.2fx %s (image %.0f MB/s, disk %.0f MB/s)\n", what, mbMine / mbDisk, against, mbMine, mbDisk);
    std::fflush(stdout);
}

bool Run(const bench::LoadedDriver &driver)
{
    double diskWrite = 0, diskRead = 0;
    if (!MeasureDisk(&diskWrite, &diskRead)) {
        std::fprintf(stderr, "image_bench: the plain disk run failed in %s\n", directory.c_str());
        return false;
    }
    if (bench::CreateVolume(driver, 'R', kVolumeBytes) != STATUS_SUCCESS || !FillVolume()) {
        std::fprintf(stderr, "image_bench: the volume could not be filled\n");
        return false;
    }
    auto start = std::chrono::steady_clock::now();
    NTSTATUS status = Save(driver, "H:\\bench.img");
    double save = Seconds(start);
    if (status != STATUS_SUCCESS || bench::DismountVolume(driver, 'R') != STATUS_SUCCESS) {
        std::fprintf(stderr, "image_bench: the full save failed (0x%08X)\n", (unsigned)status);
        return false;
    }
    PrintRatio("image save", "disk write", save, diskWrite);

    DropCached(directory + "/bench.img");
    start = std::chrono::steady_clock::now();
    status = CreateFromImage(driver, "H:\\bench.img");
    double load = Seconds(start);
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "image_bench: the load failed (0x%08X)\n", (unsigned)status);
        return false;
    }
    PrintRatio("image load", "disk read", load, diskRead);

    if (!ChangeOnePercent())
        return false;
    start = std::chrono::steady_clock::now();
    status = Save(driver, nullptr);
    double incremental = Seconds(start);
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "image_bench: the incremental save failed (0x%08X)\n", (unsigned)status);
        return false;
    }
    std::printf("image incremental save, 1%% changed: %.1f%% of the full save (%.0f ms, full %.0f ms)\n",
                100.0 * incremental / save, incremental * 1e3, save * 1e3);
    return bench::DismountVolume(driver, 'R') == STATUS_SUCCESS;
}

} // namespace

int main(int, char **argv)
{
    const char *chosen = std::getenv("VOREL_BENCH_DIR");
    std::filesystem::path base = chosen != nullptr ? std::filesystem::path(chosen)
                                                   : std::filesystem::absolute(argv[0]).parent_path() / "bench-images";
    directory = base.string();
    std::error_code error;
    std::filesystem::create_directories(base, error);
    setenv("VOREL_HOST_DRIVES", ("H=" + directory).c_str(), 1);

    bench::LoadedDriver driver;
    if (!bench::LoadDriver(driver, "image_bench"))
        return 1;
    KeEnterCriticalRegion();
    machine::ProcessIdentity identity;
    identity.userSpaceBytes = 256ull << 20;
    process = machine::CreateProcess(identity);
    UserScratch::Process = process;
    bool ok = process != nullptr && Run(driver);
    if (process != nullptr)
        machine::ReleaseProcess(process);
    KeLeaveCriticalRegion();
    std::filesystem::remove(base / "bench.img", error);
    return bench::UnloadDriver(driver, ok);
}
