/*
 * Files through the native API, as a Windows program uses them: a user process
 * on a mounted volume calling NtReadFile, NtWriteFile, NtCreateFile and NtClose
 * with its buffers in its own user space.
 *
 * Data: sequential and random reads and overwrites of a 64 MiB file, and appends
 * that grow a new file to 64 MiB, in pieces of 4 KiB, 64 KiB and 1 MiB, each
 * against memcpy of the same pieces in the same pattern, on 1 and 2 threads:
 *   native <read|overwrite> <size> <sequential|random>[, 2 threads]: <ratio>x memcpy
 *   native append <size>: <ratio>x memcpy
 * Names: create+close of new files and open+close of existing ones, in one
 * directory and across a tree of 64 directories, on 1 and 2 threads:
 *   <create|open>+close <one directory|across a tree>[, 2 threads]: <count> per second
 * Each figure is the median of three timed rounds of at least 200 ms. An argument
 * runs only the measurements whose name contains it.
 */
#include "bench_driver.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

constexpr size_t kFileBytes = 64ull << 20;
constexpr size_t kDirectories = 64;
constexpr size_t kPieces[] = {4096, 64 * 1024, 1024 * 1024};

void *process;
const char *only; /* the command line's filter: only measurements whose name holds it */

bool Wanted(const std::string &what)
{
    return only == nullptr || what.find(only) != std::string::npos;
}

using bench::Format;
using bench::UserScratch;

std::string SizeText(size_t bytes)
{
    return bytes >= (1u << 20) ? Format("%zuMiB", bytes >> 20) : Format("%zuKiB", bytes >> 10);
}

/* Runs body(thread) on Threads system threads acting for the process, released together. */
void RunOnThreads(size_t threads, const std::function<void(size_t)> &body)
{
    std::atomic<size_t> ready{0};
    std::vector<PKTHREAD> started;
    for (size_t t = 0; t < threads; ++t) {
        auto *work = new std::function<void()>([&, t] {
            machine::EnterProcess(process);
            ready++;
            while (ready.load() < threads) {
            }
            body(t);
            machine::LeaveProcess();
        });
        HANDLE handle;
        NTSTATUS status = PsCreateSystemThread(
            &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
            [](PVOID context) {
                auto *heap = static_cast<std::function<void()> *>(context);
                (*heap)();
                delete heap;
            },
            work);
        if (!NT_SUCCESS(status)) {
            delete work;
            std::fprintf(stderr, "file_bench: no thread\n");
            std::abort();
        }
        PVOID object = nullptr;
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
        ZwClose(handle);
        started.push_back(static_cast<PKTHREAD>(object));
    }
    for (PKTHREAD thread : started) {
        KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
    }
}

/*
 * Operations per second over all threads, the median of three rounds of at least
 * 200 ms; step(thread, i) does the i-th operation of a thread and says whether it
 * worked. 0 when any step failed.
 */
double Rate(size_t threads, const std::function<bool(size_t, size_t)> &step)
{
    std::vector<double> rates;
    size_t next[2] = {0, 0};
    for (int round = 0; round < 3; ++round) {
        std::atomic<size_t> done{0};
        std::atomic<bool> failed{false};
        auto start = std::chrono::steady_clock::now();
        RunOnThreads(threads, [&](size_t t) {
            double seconds = 0;
            size_t count = 0;
            while (seconds < 0.2) {
                for (int burst = 0; burst < 16; ++burst, ++count)
                    if (!step(t, next[t]++)) {
                        failed = true;
                        return;
                    }
                seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            }
            done += count;
        });
        if (failed)
            return 0;
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        rates.push_back((double)done / seconds);
    }
    std::sort(rates.begin(), rates.end());
    return rates[1];
}

/* The byte offset of a thread's i-th piece: in order, or at random (fixed seed per thread). */
struct Pattern {
    bool random;
    size_t piece;
    std::vector<std::vector<ULONGLONG>> offsets;

    Pattern(bool random, size_t piece, size_t threads) : random(random), piece(piece)
    {
        size_t count = kFileBytes / piece;
        for (size_t t = 0; t < threads; ++t) {
            std::vector<ULONGLONG> list(count);
            for (size_t i = 0; i < count; ++i)
                list[i] = (ULONGLONG)i * piece;
            if (random)
                std::shuffle(list.begin(), list.end(), std::mt19937(11 + (unsigned)t));
            offsets.push_back(std::move(list));
        }
    }
    ULONGLONG At(size_t thread, size_t i) const { return offsets[thread][i % offsets[thread].size()]; }
};

struct DataFiles {
    HANDLE shared = nullptr;             /* made and filled once */
    std::vector<HANDLE> readers;         /* a handle of each thread on it: synchronous handles serialise */
    std::vector<HANDLE> own;             /* one per thread, overwritten by it */
    std::vector<unsigned char *> buffers; /* one user-space piece buffer per thread */
    unsigned char *source = nullptr;     /* kFileBytes of user space: memcpy's other side */
    std::vector<UserScratch> scratch;
};

bool FillFile(UserScratch &scratch, HANDLE file, const unsigned char *source)
{
    for (size_t at = 0; at < kFileBytes; at += 1u << 20)
        if (scratch.Write(file, source + at, 1u << 20, at) != STATUS_SUCCESS)
            return false;
    return true;
}

bool PrepareData(DataFiles &data)
{
    machine::EnterProcess(process);
    data.source = static_cast<unsigned char *>(machine::UserAlloc(process, kFileBytes));
    for (size_t i = 0; i < kFileBytes; ++i)
        data.source[i] = (unsigned char)(i * 131 + (i >> 12));
    data.scratch.resize(2);
    bool ok = data.scratch[0].Open("\\data", FILE_READ_DATA | FILE_WRITE_DATA, FILE_CREATE, 0, &data.shared) ==
                  STATUS_SUCCESS &&
              FillFile(data.scratch[0], data.shared, data.source);
    for (size_t t = 0; ok && t < 2; ++t) {
        HANDLE own = nullptr;
        ok = data.scratch[t].Open(Format("\\own%zu", t), FILE_READ_DATA | FILE_WRITE_DATA, FILE_CREATE, 0,
                                  &own) == STATUS_SUCCESS &&
             FillFile(data.scratch[t], own, data.source);
        data.own.push_back(own);
        HANDLE reader = nullptr;
        ok = ok && data.scratch[t].Open("\\data", FILE_READ_DATA, FILE_OPEN, 0, &reader) == STATUS_SUCCESS;
        data.readers.push_back(reader);
        /* Data as programs write it: not zeros, which a file keeps as holes. */
        auto *buffer = static_cast<unsigned char *>(machine::UserAlloc(process, 1u << 20));
        std::memcpy(buffer, data.source, 1u << 20);
        data.buffers.push_back(buffer);
    }
    machine::LeaveProcess();
    return ok;
}

void PrintRatio(const std::string &what, double native, double copies)
{
    std::printf("%s: %.2fx memcpy\n", what.c_str(), copies > 0 ? native / copies : 0.0);
    std::fflush(stdout);
}

/* Reads and overwrites in each size and pattern, on 1 and 2 threads. */
bool MeasureData(DataFiles &data)
{
    for (size_t threads : {1, 2})
        for (bool write : {false, true})
            for (size_t piece : kPieces)
                for (bool random : {false, true}) {
                    std::string what = Format("native %s %s %s%s", write ? "overwrite" : "read",
                                              SizeText(piece).c_str(), random ? "random" : "sequential",
                                              threads == 2 ? ", 2 threads" : "");
                    if (!Wanted(what))
                        continue;
                    Pattern pattern(random, piece, threads);
                    double copies = Rate(threads, [&](size_t t, size_t i) {
                        ULONGLONG at = pattern.At(t, i);
                        if (write)
                            std::memcpy(data.source + at, data.buffers[t], piece);
                        else
                            std::memcpy(data.buffers[t], data.source + at, piece);
                        return true;
                    });
                    double native = Rate(threads, [&](size_t t, size_t i) {
                        ULONGLONG at = pattern.At(t, i);
                        return write ? data.scratch[t].Write(data.own[t], data.buffers[t], piece, at) ==
                                           STATUS_SUCCESS
                                     : data.scratch[t].Read(data.readers[t], data.buffers[t], piece, at) ==
                                           STATUS_SUCCESS;
                    });
                    if (native == 0)
                        return false;
                    PrintRatio(what, native * (double)piece, copies * (double)piece);
                }
    return true;
}

/*
 * Appends: a new file grows to 64 MiB in pieces and is deleted at its close; the
 * rate counts pieces, including the create and delete every 64 MiB.
 */
bool MeasureAppends(DataFiles &data)
{
    UserScratch &scratch = data.scratch[0];
    for (size_t piece : kPieces) {
        std::string what = Format("native append %s", SizeText(piece).c_str());
        if (!Wanted(what))
            continue;
        size_t perFile = kFileBytes / piece;
        double copies = Rate(1, [&](size_t, size_t i) {
            std::memcpy(data.source + (i % perFile) * piece, data.buffers[0], piece);
            return true;
        });
        HANDLE file = nullptr;
        size_t files = 0;
        double native = Rate(1, [&](size_t, size_t i) {
            if (i % perFile == 0) {
                if (file != nullptr && NtClose(file) != STATUS_SUCCESS)
                    return false;
                if (scratch.Open(Format("\\append%zu", files++), FILE_APPEND_DATA | DELETE, FILE_CREATE,
                                 FILE_DELETE_ON_CLOSE, &file) != STATUS_SUCCESS)
                    return false;
            }
            scratch.offset->QuadPart = -1; /* FILE_WRITE_TO_END_OF_FILE in both halves */
            return NtWriteFile(file, nullptr, nullptr, nullptr, scratch.iosb, data.buffers[0], (ULONG)piece,
                               scratch.offset, nullptr) == STATUS_SUCCESS;
        });
        machine::EnterProcess(process);
        if (file != nullptr)
            NtClose(file);
        machine::LeaveProcess();
        if (native == 0)
            return false;
        PrintRatio(what, native * (double)piece, copies * (double)piece);
    }
    return true;
}

/* The i-th name of a thread: one directory, or spread over the tree. */
std::string NameOf(bool tree, size_t threads, size_t thread, size_t i)
{
    return tree ? Format("\\tree\\d%zu\\f%zu-%zu-%zu", i % kDirectories, threads, thread, i)
                : Format("\\flat\\f%zu-%zu-%zu", threads, thread, i);
}

bool MakeDirectories()
{
    UserScratch scratch;
    machine::EnterProcess(process);
    HANDLE handle = nullptr;
    bool ok = true;
    for (const std::string &path : {std::string("\\flat"), std::string("\\tree")})
        ok = ok && scratch.Open(path, FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE, &handle) ==
                       STATUS_SUCCESS &&
             NtClose(handle) == STATUS_SUCCESS;
    for (size_t d = 0; ok && d < kDirectories; ++d)
        ok = scratch.Open(Format("\\tree\\d%zu", d), FILE_LIST_DIRECTORY, FILE_CREATE, FILE_DIRECTORY_FILE,
                          &handle) == STATUS_SUCCESS &&
             NtClose(handle) == STATUS_SUCCESS;
    machine::LeaveProcess();
    return ok;
}

/*
 * Creates and opens: each thread creates new names (counting on from the last
 * round), then opens the names it made, round robin.
 */
bool MeasureNames()
{
    std::vector<UserScratch> scratch(2);
    for (size_t threads : {1, 2})
        for (bool tree : {false, true}) {
            std::string where = tree ? "across a tree" : "one directory";
            std::string suffix = threads == 2 ? ", 2 threads" : "";
            if (!Wanted("create+close " + where + suffix) && !Wanted("open+close " + where + suffix))
                continue;
            size_t made[2] = {0, 0};
            double creates = Rate(threads, [&](size_t t, size_t) {
                HANDLE handle = nullptr;
                if (scratch[t].Open(NameOf(tree, threads, t, made[t]), FILE_READ_DATA, FILE_CREATE, 0, &handle) !=
                    STATUS_SUCCESS)
                    return false;
                made[t]++;
                return NtClose(handle) == STATUS_SUCCESS;
            });
            double opens = Rate(threads, [&](size_t t, size_t i) {
                HANDLE handle = nullptr;
                if (scratch[t].Open(NameOf(tree, threads, t, i % made[t]), FILE_READ_DATA, FILE_OPEN, 0,
                                    &handle) != STATUS_SUCCESS)
                    return false;
                return NtClose(handle) == STATUS_SUCCESS;
            });
            if (creates == 0 || opens == 0)
                return false;
            std::printf("create+close %s%s: %.0f per second\n", where.c_str(), suffix.c_str(), creates);
            std::printf("open+close %s%s: %.0f per second\n", where.c_str(), suffix.c_str(), opens);
            std::fflush(stdout);
        }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    only = argc > 1 ? argv[1] : nullptr;
    bench::LoadedDriver driver;
    if (!bench::LoadDriver(driver, "file_bench"))
        return 1;
    KeEnterCriticalRegion();
    bool ok = bench::CreateVolume(driver, 'R', 2ull << 30) == STATUS_SUCCESS;
    machine::ProcessIdentity identity;
    identity.userSpaceBytes = 256ull << 20;
    process = ok ? machine::CreateProcess(identity) : nullptr;
    UserScratch::Process = process;
    ok = ok && process != nullptr;
    {
        DataFiles data;
        bool dataOk = ok && PrepareData(data) && MeasureData(data) && MeasureAppends(data);
        if (ok && !dataOk)
            std::fprintf(stderr, "file_bench: a read or write failed\n");
        ok = dataOk;
        machine::EnterProcess(process);
        if (data.shared != nullptr)
            NtClose(data.shared);
        for (HANDLE reader : data.readers)
            if (reader != nullptr)
                NtClose(reader);
        for (HANDLE own : data.own)
            if (own != nullptr)
                NtClose(own);
        machine::LeaveProcess();
    }
    bool namesOk = process != nullptr && MakeDirectories() && MeasureNames();
    if (!namesOk)
        std::fprintf(stderr, "file_bench: a create or open failed\n");
    ok = ok && namesOk;
    if (process != nullptr)
        machine::ReleaseProcess(process);
    if (bench::DismountVolume(driver, 'R') != STATUS_SUCCESS) {
        std::fprintf(stderr, "file_bench: the volume did not dismount\n");
        ok = false;
    }
    KeLeaveCriticalRegion();
    return bench::UnloadDriver(driver, ok);
}
