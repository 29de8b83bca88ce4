/*
 * Directory listings through the native API, as a program lists a directory:
 * NtQueryDirectoryFile on a user handle with a 64 KiB buffer in the program's
 * own memory, FileIdBothDirectoryInformation (the records a Win32 file search
 * asks for), from a restart to STATUS_NO_MORE_FILES.
 *
 * Directories of 1,000, 100,000 and 1,000,000 entries; for each:
 *   enumerate <N> entries: <count> per second
 * counting entries returned, the median of three timed rounds of at least
 * 200 ms (whole listings). A listing that resumes where it stopped costs the
 * same per entry however large the directory, so the figures should not fall
 * as N grows. An argument runs only the sizes whose line contains it.
 */
#include "bench_driver.h"

#include <cstring>
#include <string>

namespace {

constexpr ULONG kBufferBytes = 64 * 1024;
constexpr size_t kSizes[] = {1000, 100000, 1000000};

void *process;
const char *only;

/* The program's scratch in its own user space: the naming scratch and a listing buffer. */
struct UserScratch : bench::UserNames {
    PUCHAR buffer;

    UserScratch() : bench::UserNames(process)
    {
        buffer = static_cast<PUCHAR>(machine::UserAlloc(process, kBufferBytes));
    }
    /* One whole listing from a restart; the number of entries, or 0 when a call failed. */
    size_t ListAll(HANDLE directory)
    {
        size_t entries = 0;
        BOOLEAN restart = TRUE;
        for (;;) {
            NTSTATUS status = NtQueryDirectoryFile(directory, nullptr, nullptr, nullptr, iosb, buffer, kBufferBytes,
                                                   FileIdBothDirectoryInformation, FALSE, nullptr, restart);
            restart = FALSE;
            if (status == STATUS_NO_MORE_FILES)
                return entries;
            if (status != STATUS_SUCCESS)
                return 0;
            for (ULONG at = 0;;) {
                entries++;
                ULONG next;
                std::memcpy(&next, buffer + at, sizeof(next));
                if (next == 0)
                    break;
                at += next;
            }
        }
    }
};

/* Makes \dN holding N empty files; false when a create failed. */
bool Fill(UserScratch &scratch, size_t count)
{
    char path[64];
    HANDLE handle = nullptr;
    std::snprintf(path, sizeof(path), "\\d%zu", count);
    if (scratch.Open(path, FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE, &handle) != STATUS_SUCCESS ||
        NtClose(handle) != STATUS_SUCCESS)
        return false;
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(path, sizeof(path), "\\d%zu\\entry-%07zu.dat", count, i);
        if (scratch.Open(path, FILE_READ_ATTRIBUTES, FILE_CREATE, 0, &handle) != STATUS_SUCCESS ||
            NtClose(handle) != STATUS_SUCCESS)
            return false;
    }
    return true;
}

/* Entries listed per second in \dN, the median of three rounds of at least 200 ms; 0 on a failure. */
double Measure(UserScratch &scratch, size_t count)
{
    char path[64];
    HANDLE directory = nullptr;
    std::snprintf(path, sizeof(path), "\\d%zu", count);
    if (scratch.Open(path, FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, &directory) != STATUS_SUCCESS)
        return 0;
    /* Whole listings per second, each of the entries and "." and "..". */
    double listings = bench::MedianRate([&] { return scratch.ListAll(directory) == count + 2; });
    NtClose(directory);
    return listings * (double)(count + 2);
}

} // namespace

int main(int argc, char **argv)
{
    only = argc > 1 ? argv[1] : nullptr;
    bench::LoadedDriver driver;
    if (!bench::LoadDriver(driver, "enumerate_bench"))
        return 1;
    KeEnterCriticalRegion();
    bool ok = bench::CreateVolume(driver, 'R', 4ull << 30) == STATUS_SUCCESS;
    machine::ProcessIdentity identity;
    identity.userSpaceBytes = 16ull << 20;
    process = ok ? machine::CreateProcess(identity) : nullptr;
    ok = ok && process != nullptr;
    if (ok) {
        machine::EnterProcess(process);
        UserScratch scratch;
        for (size_t count : kSizes) {
            char line[96];
            std::snprintf(line, sizeof(line), "enumerate %zu entries", count);
            if (only != nullptr && std::strstr(line, only) == nullptr)
                continue;
            double rate = Fill(scratch, count) ? Measure(scratch, count) : 0;
            if (rate == 0) {
                std::fprintf(stderr, "enumerate_bench: listing %zu entries failed\n", count);
                ok = false;
                break;
            }
            std::printf("%s: %.0f per second\n", line, rate);
            std::fflush(stdout);
        }
        machine::LeaveProcess();
    }
    if (process != nullptr)
        machine::ReleaseProcess(process);
    if (bench::DismountVolume(driver, 'R') != STATUS_SUCCESS) {
        std::fprintf(stderr, "enumerate_bench: the volume did not dismount\n");
        ok = false;
    }
    KeLeaveCriticalRegion();
    return bench::UnloadDriver(driver, ok);
}
