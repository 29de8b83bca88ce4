/*
 * The memory store against memcpy. Every read and write of file data is meant to
 * be a plain copy into memory mapped once, so each measurement runs beside memcpy
 * of the same sizes between the same kinds of buffers (a heap buffer and chunk
 * memory from the page allocator), and the run ends with one line per measurement:
 *   <measurement>: <ratio>x memcpy
 * where the ratio is memcpy's time over the store's (1 = as fast as memcpy):
 *   overwrite     in-place writes into allocated extents;
 *   copy-out      copies out of allocated extents;
 *   first write   sequential writes into holes, each extent allocated by its first
 *                 write (pages already resident, as the page allocator gives them);
 *   append        a file grown from 0 to 64 MiB by appends (single buffer, then
 *                 extents);
 * and the time per extent of sharing the extents of a 1 GiB file (a clone).
 */
#include "machine.h"

#include <vorel.h>
#include "store/store_diagnostics.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr ULONGLONG kMiB = 1024 * 1024;
constexpr ULONGLONG kOverwriteSpan = 64 * kMiB;
constexpr ULONGLONG kFirstWriteSpan = 256 * kMiB;
constexpr ULONGLONG kAppendSize = 64 * kMiB;
constexpr ULONGLONG kShareSize = 1024 * kMiB;

struct Bench {
    const VOREL_STORE_DIAGNOSTICS *s = nullptr;
    PSTORE_VOLUME volume = nullptr;
    PFCB overwriteFile = nullptr;     /* 64 MiB, every extent allocated */
    PFCB firstWriteFile = nullptr;    /* sparse; its holes take the first writes */
    PFCB appendFile = nullptr;
    PFCB shareSource = nullptr;       /* 1 GiB, every extent allocated */
    PFCB shareTarget = nullptr;
    PFCB baselineFile = nullptr;      /* chunk memory for memcpy to write into */
    std::vector<UCHAR *> baseline;    /* its extents, 2 MiB each */
    std::vector<UCHAR> source;        /* heap buffer that writes copy from */
    std::vector<UCHAR> sink;          /* heap buffer that reads copy into */
} g;

UCHAR *Baseline(ULONGLONG offset)
{
    return g.baseline[offset >> EXTENT_SHIFT] + (offset & EXTENT_MASK);
}

PFCB FilledFile(ULONGLONG size)
{
    PFCB file = g.s->CreateNode(g.volume);
    for (ULONGLONG at = 0; at < size; at += EXTENT_SIZE) {
        g.s->WriteData(file, at, g.source.data(), EXTENT_SIZE);
        g.s->SetDataSize(file, at + EXTENT_SIZE);
    }
    return file;
}

/* ---- Overwrite and copy-out ------------------------------------------------------------- */

void BM_Overwrite(benchmark::State &state)
{
    ULONGLONG piece = state.range(0);
    ULONGLONG at = 0;
    for (auto _ : state) {
        if (!g.s->WriteInPlace(g.overwriteFile, at, g.source.data(), piece))
            state.SkipWithError("the write did not go in place");
        at = (at + piece) % kOverwriteSpan;
    }
    state.SetBytesProcessed(state.iterations() * piece);
}

void BM_OverwriteMemcpy(benchmark::State &state)
{
    ULONGLONG piece = state.range(0);
    ULONGLONG at = 0;
    for (auto _ : state) {
        std::memcpy(Baseline(at), g.source.data(), piece);
        benchmark::ClobberMemory();
        at = (at + piece) % kOverwriteSpan;
    }
    state.SetBytesProcessed(state.iterations() * piece);
}

void BM_CopyOut(benchmark::State &state)
{
    ULONGLONG piece = state.range(0);
    ULONGLONG at = 0;
    for (auto _ : state) {
        g.s->CopyFromStorage(g.overwriteFile, at, g.sink.data(), piece);
        benchmark::ClobberMemory();
        at = (at + piece) % kOverwriteSpan;
    }
    state.SetBytesProcessed(state.iterations() * piece);
}

void BM_CopyOutMemcpy(benchmark::State &state)
{
    ULONGLONG piece = state.range(0);
    ULONGLONG at = 0;
    for (auto _ : state) {
        std::memcpy(g.sink.data(), Baseline(at), piece);
        benchmark::ClobberMemory();
        at = (at + piece) % kOverwriteSpan;
    }
    state.SetBytesProcessed(state.iterations() * piece);
}

/* ---- First writes ------------------------------------------------------------------------ */

void BM_FirstWrite(benchmark::State &state)
{
    ULONGLONG piece = state.range(0);
    ULONGLONG at = 0;
    g.s->SetDataSize(g.firstWriteFile, 0);
    g.s->SetDataSize(g.firstWriteFile, kFirstWriteSpan);
    for (auto _ : state) {
        if (at == kFirstWriteSpan) {
            state.PauseTiming();
            g.s->SetDataSize(g.firstWriteFile, 0);
            g.s->SetDataSize(g.firstWriteFile, kFirstWriteSpan);
            at = 0;
            state.ResumeTiming();
        }
        if (g.s->WriteData(g.firstWriteFile, at, g.source.data(), piece) != STATUS_SUCCESS)
            state.SkipWithError("the write failed");
        at += piece;
    }
    state.SetBytesProcessed(state.iterations() * piece);
}

void BM_FirstWriteMemcpy(benchmark::State &state)
{
    ULONGLONG piece = state.range(0);
    ULONGLONG at = 0;
    for (auto _ : state) {
        std::memcpy(Baseline(at), g.source.data(), piece);
        benchmark::ClobberMemory();
        at = (at + piece) % kFirstWriteSpan;
    }
    state.SetBytesProcessed(state.iterations() * piece);
}

/* ---- Appends ----------------------------------------------------------------------------- */

void BM_Append(benchmark::State &state)
{
    ULONGLONG piece = state.range(0);
    for (auto _ : state) {
        for (ULONGLONG size = 0; size < kAppendSize; size += piece) {
            g.s->WriteData(g.appendFile, size, g.source.data(), piece);
            g.s->SetDataSize(g.appendFile, size + piece);
        }
        state.PauseTiming();
        g.s->SetDataSize(g.appendFile, 0);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * kAppendSize);
}

void BM_AppendMemcpy(benchmark::State &state)
{
    ULONGLONG piece = state.range(0);
    for (auto _ : state) {
        for (ULONGLONG size = 0; size < kAppendSize; size += piece)
            std::memcpy(Baseline(size), g.source.data(), piece);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kAppendSize);
}

/* ---- Sharing ------------------------------------------------------------------------------ */

void BM_Share(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        g.s->SetDataSize(g.shareTarget, kShareSize);
        state.ResumeTiming();
        if (g.s->ShareRange(g.shareTarget, 0, g.shareSource, 0, kShareSize) != STATUS_SUCCESS)
            state.SkipWithError("the clone failed");
        state.PauseTiming();
        g.s->SetDataSize(g.shareTarget, 0);
        state.ResumeTiming();
    }
    state.counters["extents"] = (double)(kShareSize / EXTENT_SIZE);
}

const std::vector<int64_t> kPieces = {4096, 64 * 1024, 1024 * 1024, 2 * 1024 * 1024};

void Register()
{
    using Routine = void (*)(benchmark::State &);
    const std::pair<const char *, Routine> copies[] = {{"overwrite", BM_Overwrite},
                                                       {"overwrite memcpy", BM_OverwriteMemcpy},
                                                       {"copy-out", BM_CopyOut},
                                                       {"copy-out memcpy", BM_CopyOutMemcpy}};
    for (auto [name, routine] : copies)
        for (int64_t piece : kPieces)
            benchmark::RegisterBenchmark(name, routine)->Arg(piece);
    for (int64_t piece : {64 * 1024, 1024 * 1024, 2 * 1024 * 1024}) {
        benchmark::RegisterBenchmark("first write", BM_FirstWrite)->Arg(piece);
        benchmark::RegisterBenchmark("first write memcpy", BM_FirstWriteMemcpy)->Arg(piece);
    }
    for (int64_t piece : {4096, 64 * 1024, 1024 * 1024}) {
        benchmark::RegisterBenchmark("append", BM_Append)->Arg(piece)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("append memcpy", BM_AppendMemcpy)->Arg(piece)->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("share 1GiB", BM_Share)->Unit(benchmark::kMicrosecond);
}

/*
 * Keeps each benchmark's time per iteration, by name, for the ratios printed at
 * the end: the median of the repetitions when there are several (the machine may
 * be busy with other work), else the one run.
 */
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            std::string name = run.benchmark_name();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                name.resize(name.size() - std::strlen("_median"));
                seconds[name] = run.real_accumulated_time / (double)run.iterations;
                medians[name] = true;
            } else if (run.run_type == Run::RT_Iteration && !medians.count(name)) {
                seconds[name] = run.real_accumulated_time / (double)run.iterations;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
    std::map<std::string, bool> medians;
};

void PrintRatio(const RatioReporter &reporter, const char *measurement, const char *label, int64_t piece)
{
    char storeName[96];
    char copyName[96];
    std::snprintf(storeName, sizeof(storeName), "%s/%lld", measurement, (long long)piece);
    std::snprintf(copyName, sizeof(copyName), "%s memcpy/%lld", measurement, (long long)piece);
    auto store = reporter.seconds.find(storeName);
    auto copy = reporter.seconds.find(copyName);
    if (store == reporter.seconds.end() || copy == reporter.seconds.end())
        return;
    if (piece >= (int64_t)kMiB)
        std::printf("%s %lldMiB: %.2fx memcpy\n", label, (long long)(piece / kMiB), copy->second / store->second);
    else
        std::printf("%s %lldKiB: %.2fx memcpy\n", label, (long long)(piece / 1024), copy->second / store->second);
}

void SetUpStore()
{
    g.s = static_cast<const VOREL_STORE_DIAGNOSTICS *>(machine::DriverSymbol("vorel", "VorelStoreDiagnostics"));
    if (g.s == nullptr) {
        std::fprintf(stderr, "store_bench: the driver has no store diagnostics\n");
        std::exit(1);
    }
    g.volume = g.s->CreateVolume(16ull << 30);
    g.source.resize(EXTENT_SIZE);
    std::mt19937_64 random(7);
    for (auto &b : g.source)
        b = (UCHAR)(random() | 1); /* never zero: every write carries data */
    g.sink.resize(EXTENT_SIZE);
    g.overwriteFile = FilledFile(kOverwriteSpan);
    g.baselineFile = FilledFile(kFirstWriteSpan);
    for (ULONG i = 0; i < kFirstWriteSpan / EXTENT_SIZE; ++i)
        g.baseline.push_back((UCHAR *)g.baselineFile->Data.Extents[i].Data);
    g.firstWriteFile = g.s->CreateNode(g.volume);
    g.appendFile = g.s->CreateNode(g.volume);
    g.shareSource = FilledFile(kShareSize);
    g.shareTarget = g.s->CreateNode(g.volume);
}

void TearDownStore()
{
    for (PFCB file : {g.overwriteFile, g.baselineFile, g.firstWriteFile, g.appendFile, g.shareTarget, g.shareSource})
        g.s->DeleteNode(file);
    g.s->DeleteVolume(g.volume);
}

} // namespace

int main(int argc, char **argv)
{
    // Three repetitions and their median by default; flags given on the command line win.
    std::vector<char *> arguments = {argv[0], (char *)"--benchmark_repetitions=3",
                                     (char *)"--benchmark_display_aggregates_only=true"};
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    int count = (int)arguments.size();
    arguments.push_back(nullptr);
    benchmark::Initialize(&count, arguments.data());
    machine::Config config;
    config.verifier = false;
    machine::Boot(config);
    if (machine::LoadDriver(VOREL_DRIVER_PATH, "vorel") != 0) {
        std::fprintf(stderr, "store_bench: the driver did not load\n");
        return 1;
    }
    SetUpStore();
    Register();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n");
    for (int64_t piece : kPieces)
        PrintRatio(reporter, "overwrite", "overwrite", piece);
    for (int64_t piece : kPieces)
        PrintRatio(reporter, "copy-out", "copy-out", piece);
    for (int64_t piece : {64 * 1024, 1024 * 1024, 2 * 1024 * 1024})
        PrintRatio(reporter, "first write", "first write", piece);
    for (int64_t piece : {4096, 64 * 1024, 1024 * 1024})
        PrintRatio(reporter, "append", "append to 64MiB in pieces of", piece);
    auto share = reporter.seconds.find("share 1GiB");
    if (share != reporter.seconds.end())
        std::printf("share 1GiB: %.0f ns per extent\n", share->second * 1e9 / (double)(kShareSize / EXTENT_SIZE));

    TearDownStore();
    machine::UnloadDriver("vorel");
    machine::AuditReport report = machine::Shutdown();
    if (!report.Clean())
        std::fprintf(stderr, "store_bench: the machine was not left clean:\n%s", report.Text().c_str());
    benchmark::Shutdown();
    return report.Clean() ? 0 : 1;
}
