/*
 * Renames racing each other and the opens, links and cleanup unlinks that share
 * the tree: files crossing between two directories in both directions at once,
 * a directory moving back and forth under them (so each directory is in turn
 * the old and the new one of a move), hard links and POSIX deletes on a shared
 * name. Afterwards every file is at exactly one of its two names and the
 * teardown finds nothing left over.
 */
#include "fileops_test.h"
#include "system_threads.h"

#include <atomic>
#include <vector>

namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 200;

/* A kernel-mode open of R:path with delete access. */
NTSTATUS KernelCreate(const std::string &path, ULONG disposition, ULONG options, HANDLE *handle)
{
    return KernelOpen(path, handle, options | FILE_SYNCHRONOUS_IO_NONALERT, FILE_READ_DATA | FILE_WRITE_DATA | DELETE,
                      disposition);
}

/* ZwSetInformationFile with a rename or link record naming R:path. */
NTSTATUS KernelRename(HANDLE handle, const std::string &path, bool replace, FILE_INFORMATION_CLASS c)
{
    std::string full = "\\??\\R:" + path;
    std::vector<UCHAR> record(sizeof(FILE_RENAME_INFORMATION) + full.size() * 2, 0);
    auto *info = reinterpret_cast<FILE_RENAME_INFORMATION *>(record.data());
    info->ReplaceIfExists = replace;
    info->FileNameLength = (ULONG)(full.size() * 2);
    for (size_t i = 0; i < full.size(); ++i)
        info->FileName[i] = (WCHAR)full[i];
    IO_STATUS_BLOCK iosb{};
    return ZwSetInformationFile(handle, &iosb, record.data(), (ULONG)record.size(), c);
}

bool Opens(const std::string &path)
{
    HANDLE handle;
    if (!NT_SUCCESS(KernelCreate(path, FILE_OPEN, 0, &handle)))
        return false;
    ZwClose(handle);
    return true;
}

TEST_F(FileOpsTest, RenamesRaceOpensLinksAndDeletes)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    KeEnterCriticalRegion();
    for (const char *dir : {"\\a", "\\b", "\\a\\sub"}) {
        HANDLE handle;
        ASSERT_EQ(KernelCreate(dir, FILE_CREATE, FILE_DIRECTORY_FILE, &handle), STATUS_SUCCESS);
        ZwClose(handle);
    }
    std::atomic<int> failures{0};
    std::vector<PKTHREAD> threads;
    std::atomic<int> go{0};
    const int total = kThreads + 2;
    auto start = [&](std::function<void()> body) {
        threads.push_back(StartThread([&, body] {
            KeEnterCriticalRegion();
            go++;
            while (go.load() < total)
                usleep(100);
            body();
            KeLeaveCriticalRegion();
        }));
    };
    /* Movers: file t crosses between \a and \b, even threads starting in \a, odd in \b. */
    for (int t = 0; t < kThreads; ++t) {
        start([&, t] {
            std::string name = "\\f" + std::to_string(t);
            std::string here = (t % 2 ? "\\b" : "\\a") + name, there = (t % 2 ? "\\a" : "\\b") + name;
            HANDLE handle;
            if (KernelCreate(here, FILE_CREATE, 0, &handle) != STATUS_SUCCESS) {
                failures++;
                return;
            }
            for (int i = 0; i < kRounds; ++i) {
                if (KernelRename(handle, there, false, FileRenameInformation) != STATUS_SUCCESS)
                    failures++;
                std::swap(here, there);
            }
            ZwClose(handle);
        });
    }
    /* A directory moving between \a and \b under the movers. */
    start([&] {
        HANDLE handle;
        if (KernelCreate("\\a\\sub", FILE_OPEN, FILE_DIRECTORY_FILE, &handle) != STATUS_SUCCESS) {
            failures++;
            return;
        }
        for (int i = 0; i < kRounds; ++i)
            if (KernelRename(handle, i % 2 ? "\\a\\sub" : "\\b\\sub", false, FileRenameInformation) !=
                STATUS_SUCCESS)
                failures++;
        ZwClose(handle);
    });
    /* A shared name: made, linked into the other directory over whatever is there, POSIX-deleted. */
    start([&] {
        for (int i = 0; i < kRounds; ++i) {
            HANDLE handle;
            NTSTATUS status = KernelCreate("\\a\\shared", FILE_OPEN_IF, 0, &handle);
            if (status != STATUS_SUCCESS) {
                failures++;
                continue;
            }
            if (KernelRename(handle, "\\b\\shared", true, FileLinkInformation) != STATUS_SUCCESS)
                failures++;
            FILE_DISPOSITION_INFORMATION_EX disposition{FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS};
            IO_STATUS_BLOCK iosb{};
            if (ZwSetInformationFile(handle, &iosb, &disposition, sizeof(disposition),
                                     FileDispositionInformationEx) != STATUS_SUCCESS)
                failures++;
            ZwClose(handle);
        }
    });
    for (PKTHREAD thread : threads)
        JoinThread(thread);

    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        std::string name = "\\f" + std::to_string(t);
        EXPECT_NE(Opens("\\a" + name), Opens("\\b" + name)) << name;
    }
    EXPECT_TRUE(Opens("\\a\\sub"));
    EXPECT_FALSE(Opens("\\b\\sub"));
    EXPECT_FALSE(Opens("\\a\\shared"));
    EXPECT_TRUE(Opens("\\b\\shared"));
    KeLeaveCriticalRegion();
}

} // namespace
