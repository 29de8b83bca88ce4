/*
 * Renames through the native API, as a Windows program makes them: a user
 * process holds a handle on one file of a directory of 1000 files and renames it
 * again and again to a new name in the same directory (a relative name, so the
 * I/O manager opens no target directory and the figure is the file system's):
 *   rename in one directory: <count> per second
 * The figure is the median of three timed rounds of at least 200 ms.
 */
#include "bench_driver.h"

#include <cstdio>
#include <string>

namespace {

constexpr size_t kFiles = 1000;

void *process;

/* The program's naming scratch and a rename record in its user space. */
struct UserScratch : bench::UserNames {
    PFILE_RENAME_INFORMATION rename;

    UserScratch() : bench::UserNames(process)
    {
        rename = static_cast<PFILE_RENAME_INFORMATION>(machine::UserAlloc(process, 512));
    }
    /* NtSetInformationFile renaming what file opens to newName in its own directory. */
    NTSTATUS Rename(HANDLE file, const std::string &newName)
    {
        rename->Flags = 0;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = (ULONG)(newName.size() * sizeof(WCHAR));
        for (size_t i = 0; i < newName.size(); ++i)
            rename->FileName[i] = (WCHAR)newName[i];
        ULONG length = (ULONG)std::max<size_t>(sizeof(FILE_RENAME_INFORMATION),
                                               FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + rename->FileNameLength);
        return NtSetInformationFile(file, iosb, rename, length, FileRenameInformation);
    }
};

/* A directory of kFiles files, then renames of one of them; false when a call failed. */
bool MeasureRenames()
{
    machine::EnterProcess(process);
    UserScratch scratch;
    HANDLE handle = nullptr;
    bool ok = scratch.Open("\\flat", FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE, &handle) ==
                  STATUS_SUCCESS &&
              NtClose(handle) == STATUS_SUCCESS;
    for (size_t i = 0; ok && i < kFiles; ++i)
        ok = scratch.Open("\\flat\\file" + std::to_string(i), FILE_READ_ATTRIBUTES, FILE_CREATE, 0, &handle) ==
                 STATUS_SUCCESS &&
             NtClose(handle) == STATUS_SUCCESS;
    HANDLE moving = nullptr;
    ok = ok && scratch.Open("\\flat\\file0", DELETE, FILE_OPEN, 0, &moving) == STATUS_SUCCESS;
    size_t next = 0;
    double rate = ok ? bench::MedianRate([&] { return scratch.Rename(moving, "moved" + std::to_string(next++)) ==
                                                      STATUS_SUCCESS; })
                     : 0;
    if (moving != nullptr)
        NtClose(moving);
    machine::LeaveProcess();
    if (rate == 0)
        return false;
    std::printf("rename in one directory: %.0f per second\n", rate);
    std::fflush(stdout);
    return true;
}

} // namespace

int main()
{
    bench::LoadedDriver driver;
    if (!bench::LoadDriver(driver, "rename_bench"))
        return 1;
    KeEnterCriticalRegion();
    bool ok = bench::CreateVolume(driver, 'R', 256ull << 20) == STATUS_SUCCESS;
    machine::ProcessIdentity identity;
    identity.userSpaceBytes = 16ull << 20;
    process = ok ? machine::CreateProcess(identity) : nullptr;
    ok = ok && process != nullptr;
    if (ok && !MeasureRenames()) {
        std::fprintf(stderr, "rename_bench: a create or rename failed\n");
        ok = false;
    }
    if (process != nullptr)
        machine::ReleaseProcess(process);
    if (bench::DismountVolume(driver, 'R') != STATUS_SUCCESS) {
        std::fprintf(stderr, "rename_bench: the volume did not dismount\n");
        ok = false;
    }
    KeLeaveCriticalRegion();
    return bench::UnloadDriver(driver, ok);
}
