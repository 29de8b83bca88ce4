/*
 * Cold-file compression against the codecs it calls. For each compression level
 * (fast: LZ4 acceleration 1, normal: LZ4-HC level 9, both in 64 KiB sub-blocks;
 * max: Zstandard level 9 in 256 KiB sub-blocks) and each kind of data files hold
 * (text: words of a skewed vocabulary in sentences, lines and paragraphs; source:
 * this tree's driver and platform sources; compressed: the Zstandard output of
 * that text; zeros), over 4 extents of 2 MiB, the run prints:
 *   <level> compress <data>: <ratio>x codec, ratio <uncompressed/stored> (driver <n> MB/s, codec <n> MB/s)
 *     the worker's packing (CompressExtent on a node whose extents were just
 *     written raw) against the codec's own call on every sub-block of the same
 *     bytes into a buffer of its bound; then what the packing saved: 1.00 when
 *     no extent gained a page (they stay raw), "released" when all-zero extents
 *     became holes (the worker releases them instead of coding them);
 *   <level> decode on read <data>: <ratio>x codec (driver <n> MB/s, codec <n> MB/s)
 *     1 MiB reads through a handle (NtReadFile by a user program on a mounted
 *     volume) of a file whose extents were packed, against the codec's decoder on
 *     the sub-blocks the same 1 MiB codes into; "nothing packed" after the ratio
 *     when the packing left every extent raw or released it, so the reads are
 *     plain copies or zero fills;
 *   <level> decode on write <data>: <ratio>x codec (driver <n> MB/s, codec <n> MB/s)
 *     a 1-byte write into each packed extent (the store decodes the whole extent
 *     back into memory), against the decoder on all of the extent's sub-blocks;
 *     "no extent packed, nothing to decode" for data the packing left raw or
 *     released.
 * Each figure is the median of three rounds of at least 200 ms of timed work. An
 * argument runs only the measurements whose name contains it.
 */
#include "bench_driver.h"

#include "compress/compress_diagnostics.h"
#include "store/store_diagnostics.h"

#include <lz4.h>
#include <lz4hc.h>
#include <zstd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace {

using Bytes = std::vector<UCHAR>;
using bench::Format;
using bench::UserScratch;

constexpr size_t kExtents = 4;
constexpr size_t kBytes = kExtents * EXTENT_SIZE;
constexpr size_t kReadPiece = 1u << 20;
constexpr int kLz4HcLevel = 9;
constexpr int kZstdLevel = 9;

const VOREL_COMPRESS_DIAGNOSTICS *c;
const VOREL_STORE_DIAGNOSTICS *s;
PSTORE_VOLUME store;
const char *only; /* the command line's filter: only measurements whose name holds it */

bool Wanted(const std::string &what)
{
    return only == nullptr || what.find(only) != std::string::npos;
}

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/*
 * Bytes per second of work a step times itself (what it does to set up is not
 * counted): the median of three rounds of at least 200 ms of timed work. The step
 * returns the seconds it timed, negative when it failed (the rate is 0 then).
 */
double MedianTimedRate(double bytesPerStep, const std::function<double()> &step)
{
    std::vector<double> rates;
    for (int round = 0; round < 3; ++round) {
        double timed = 0;
        size_t count = 0;
        do {
            double seconds = step();
            if (seconds < 0)
                return 0;
            timed += seconds;
            ++count;
        } while (timed < 0.2);
        rates.push_back(bytesPerStep * (double)count / timed);
    }
    std::sort(rates.begin(), rates.end());
    return rates[1];
}

/* ---- The data ------------------------------------------------------------------------------ */

struct Sample {
    const char *name;
    Bytes bytes; /* kBytes */
    bool zeros;
};

Bytes Repeated(const Bytes &unit, size_t length)
{
    Bytes out;
    while (!unit.empty() && out.size() < length)
        out.insert(out.end(), unit.begin(), unit.begin() + (ptrdiff_t)std::min(unit.size(), length - out.size()));
    return out;
}

/*
 * Text as people write it: 4096 made-up words of English letter frequencies and
 * lengths, drawn by Zipf's law (the n-th most common word 1/n as often as the
 * first), in sentences of 4 to 23 words, lines of at most 72 columns and
 * paragraphs of 6 sentences.
 */
Bytes Text(size_t length)
{
    static const char letters[] = "etaoinshrdlcumwfgypbvkjxqz";
    static const double frequencies[] = {12.7, 9.1, 8.2, 7.5, 7.0, 6.7, 6.3, 6.1, 6.0, 4.3, 4.0, 2.8, 2.8,
                                         2.4,  2.4, 2.2, 2.0, 2.0, 1.9, 1.5, 1.0, 0.8, 0.2, 0.2, 0.1, 0.1};
    std::mt19937 random(5);
    std::discrete_distribution<size_t> letter(std::begin(frequencies), std::end(frequencies));
    std::vector<std::string> words(4096);
    for (std::string &word : words) {
        size_t letterCount = 1 + random() % 3 + random() % 4 + random() % 5;
        for (size_t i = 0; i < letterCount; ++i)
            word += letters[letter(random)];
    }
    std::vector<double> weights(words.size());
    for (size_t rank = 0; rank < weights.size(); ++rank)
        weights[rank] = 1.0 / (double)(rank + 1);
    std::discrete_distribution<size_t> pick(weights.begin(), weights.end());

    std::string text;
    size_t column = 0, left = 0, sentences = 0;
    while (text.size() < length) {
        std::string word = words[pick(random)];
        if (left == 0) {
            left = 4 + random() % 20;
            word[0] = (char)std::toupper((unsigned char)word[0]);
        }
        if (--left == 0)
            word += '.';
        else if (random() % 12 == 0)
            word += ',';
        if (column + 1 + word.size() > 72) {
            text += '\n';
            column = 0;
        } else if (column != 0) {
            text += ' ';
            ++column;
        }
        text += word;
        column += word.size();
        if (left == 0 && ++sentences % 6 == 0) {
            text += "\n\n";
            column = 0;
        }
    }
    return Bytes(text.begin(), text.begin() + (ptrdiff_t)length);
}

/* This tree's driver and platform sources (.cpp and .h) end to end, in path order, repeated to length. */
Bytes Sources(size_t length)
{
    std::vector<std::filesystem::path> paths;
    for (const char *folder : {"driver", "platform"})
        for (const auto &entry :
             std::filesystem::recursive_directory_iterator(std::filesystem::path(VOREL_SOURCE_DIR) / folder))
            if (entry.is_regular_file() && (entry.path().extension() == ".cpp" || entry.path().extension() == ".h"))
                paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    Bytes all;
    for (const auto &path : paths) {
        std::ifstream in(path, std::ios::binary);
        all.insert(all.end(), std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return Repeated(all, length);
}

/* Data a codec cannot shrink: the text as Zstandard codes it, repeated to length (farther apart than any sub-block). */
Bytes AlreadyCompressed(const Bytes &text, size_t length)
{
    Bytes coded(ZSTD_compressBound(text.size()));
    size_t size = ZSTD_compress(coded.data(), coded.size(), text.data(), text.size(), 3);
    if (ZSTD_isError(size))
        return {};
    coded.resize(size);
    return Repeated(coded, length);
}

/* ---- The codecs called directly ------------------------------------------------------------- */

/* A level's codec as the driver calls it: a reusable state, one sub-block at a time. */
class RawCodec {
public:
    RawCodec(ULONG codec, ULONG shift) : codec(codec), subBlock(size_t(1) << shift)
    {
        if (codec == CODEC_ZSTD) {
            cctx = ZSTD_createCCtx();
            dctx = ZSTD_createDCtx();
        } else {
            state.resize(((codec == CODEC_LZ4 ? LZ4_sizeofState() : LZ4_sizeofStateHC()) + 7) / 8);
        }
    }
    ~RawCodec()
    {
        ZSTD_freeCCtx(cctx);
        ZSTD_freeDCtx(dctx);
    }
    RawCodec(const RawCodec &) = delete;
    RawCodec &operator=(const RawCodec &) = delete;

    size_t SubBlock() const { return subBlock; }
    size_t Bound() const
    {
        return codec == CODEC_ZSTD ? ZSTD_compressBound(subBlock) : (size_t)LZ4_compressBound((int)subBlock);
    }

    /* Codes one sub-block into out (Bound() bytes); the coded size, 0 on failure. */
    size_t Compress(const UCHAR *in, UCHAR *out)
    {
        int bound = (int)Bound();
        switch (codec) {
        case CODEC_LZ4:
            return (size_t)std::max(0, LZ4_compress_fast_extState(state.data(), (const char *)in, (char *)out,
                                                                  (int)subBlock, bound, 1));
        case CODEC_LZ4_HC:
            return (size_t)std::max(0, LZ4_compress_HC_extStateHC(state.data(), (const char *)in, (char *)out,
                                                                  (int)subBlock, bound, kLz4HcLevel));
        default: {
            size_t coded = ZSTD_compressCCtx(cctx, out, (size_t)bound, in, subBlock, kZstdLevel);
            return ZSTD_isError(coded) ? 0 : coded;
        }
        }
    }

    /* Decodes one coded sub-block into out (SubBlock() bytes). */
    bool Decompress(const Bytes &coded, UCHAR *out)
    {
        if (codec == CODEC_ZSTD)
            return ZSTD_decompressDCtx(dctx, out, subBlock, coded.data(), coded.size()) == subBlock;
        return LZ4_decompress_safe((const char *)coded.data(), (char *)out, (int)coded.size(), (int)subBlock) ==
               (int)subBlock;
    }

    /* Decodes the sub-blocks [first, first + count) of blocks into out. */
    bool DecompressRun(const std::vector<Bytes> &blocks, size_t first, size_t count, UCHAR *out)
    {
        for (size_t i = 0; i < count; ++i)
            if (!Decompress(blocks[first + i], out + i * subBlock))
                return false;
        return true;
    }

private:
    ULONG codec;
    size_t subBlock;
    std::vector<uint64_t> state; /* LZ4 and LZ4-HC: aligned for the state's pointers */
    ZSTD_CCtx *cctx = nullptr;
    ZSTD_DCtx *dctx = nullptr;
};

/* ---- Packing a node's extents --------------------------------------------------------------- */

/* A node's main and paging resources held exclusively, as the compression worker holds them. */
class NodeLock {
public:
    explicit NodeLock(PFCB fcb) : fcb(fcb)
    {
        ExAcquireResourceExclusiveLite(&fcb->MainResource, TRUE);
        ExAcquireResourceExclusiveLite(&fcb->PagingIoResource, TRUE);
    }
    ~NodeLock()
    {
        ExReleaseResourceLite(&fcb->PagingIoResource);
        ExReleaseResourceLite(&fcb->MainResource);
    }
    NodeLock(const NodeLock &) = delete;
    NodeLock &operator=(const NodeLock &) = delete;

private:
    PFCB fcb;
};

/*
 * Packs every extent of the node as the worker does; false when packing failed
 * or passed over raw data it has not yet found not worth coding (holes, packed
 * extents and extents marked cold are passed over).
 */
bool PackExtents(PFCB node, PCODEC_CONTEXT coder)
{
    NodeLock lock(node);
    if (node->Data.Extents == nullptr)
        return true;
    for (ULONG i = 0; i < kExtents && i < node->Data.ExtentCapacity; ++i) {
        const EXTENT_ENTRY &entry = node->Data.Extents[i];
        bool codable = entry.Data != nullptr && (entry.Flags & EXTENT_COLD) == 0;
        COLD_EXTENT_OUTCOME outcome;
        if (c->CompressExtent(node, i, coder, &outcome) != STATUS_SUCCESS ||
            (outcome == ColdExtentSkipped && codable))
            return false;
    }
    return true;
}

/* Bytes the node's extents hold: a packed one its form, a raw one its memory, a hole none. */
ULONGLONG StoredBytes(PFCB node)
{
    ULONGLONG stored = 0;
    for (ULONG i = 0; node->Data.Extents != nullptr && i < node->Data.ExtentCapacity; ++i) {
        const EXTENT_ENTRY &entry = node->Data.Extents[i];
        stored += entry.Compressed != nullptr ? entry.Compressed->StoredLength : entry.Data != nullptr ? entry.Size : 0;
    }
    return stored;
}

/* The store node's extents written raw again with the sample (zeros: fresh memory that reads as zero). */
bool FillNode(PFCB node, const Sample &sample)
{
    NodeLock lock(node);
    NTSTATUS status = s->SetDataSize(node, 0);
    if (NT_SUCCESS(status) && sample.zeros) {
        status = s->SetDataSize(node, kBytes);
        if (NT_SUCCESS(status))
            status = s->ReserveRange(node, 0, kBytes, FALSE, FALSE);
    } else if (NT_SUCCESS(status)) {
        status = s->WriteData(node, 0, sample.bytes.data(), kBytes);
        if (NT_SUCCESS(status))
            status = s->SetDataSize(node, kBytes);
    }
    if (!NT_SUCCESS(status) || node->Data.Extents == nullptr || node->Data.ExtentCapacity < kExtents)
        return false;
    for (size_t i = 0; i < kExtents; ++i)
        if (node->Data.Extents[i].Data == nullptr || node->Data.Extents[i].Compressed != nullptr)
            return false;
    return true;
}

void PrintRatio(const std::string &what, double driver, double codec, const std::string &extra = "")
{
    std::printf("%s: %.2fx codec%s (driver %.0f MB/s, codec %.0f MB/s)\n", what.c_str(), driver / codec,
                extra.c_str(), driver / 1e6, codec / 1e6);
    std::fflush(stdout);
}

/* One level: its codec, a coding context of the driver's, and the codec called directly. */
struct Level {
    const char *name;
    ULONG codec;
    CODEC_CONTEXT coder;
    RawCodec *raw;
};

/* The worker's packing of freshly written extents against the codec on every sub-block. */
bool MeasureCompress(Level &level, const Sample &sample)
{
    std::string what = Format("%s compress %s", level.name, sample.name);
    if (!Wanted(what))
        return true;
    PFCB node = s->CreateNode(store);
    if (node == nullptr)
        return false;
    ULONGLONG stored = 0;
    double driver = MedianTimedRate((double)kBytes, [&] {
        if (!FillNode(node, sample))
            return -1.0;
        auto start = std::chrono::steady_clock::now();
        if (!PackExtents(node, &level.coder))
            return -1.0;
        double seconds = SecondsSince(start);
        stored = StoredBytes(node);
        return seconds;
    });
    s->DeleteNode(node);
    Bytes out(level.raw->Bound());
    size_t subBlock = level.raw->SubBlock();
    double codec = bench::MedianRate([&] {
        for (size_t at = 0; at < kBytes; at += subBlock)
            if (level.raw->Compress(sample.bytes.data() + at, out.data()) == 0)
                return false;
        return true;
    }) * (double)kBytes;
    if (driver == 0 || codec == 0) {
        std::fprintf(stderr, "compress_bench: %s failed\n", what.c_str());
        return false;
    }
    PrintRatio(what, driver, codec,
               stored == 0 ? std::string(", ratio released") : Format(", ratio %.2f", (double)kBytes / (double)stored));
    return true;
}

/* ---- Decoding through a mounted volume ------------------------------------------------------ */

/* The user program's side: its scratch, a piece buffer in its user space, and the file it made on R:. */
struct Program {
    void *process;
    UserScratch scratch;
    UCHAR *buffer; /* kReadPiece of user space */
    HANDLE file = nullptr;
    PFCB node = nullptr;
};

/* A new file on R: (deleted at its close) written with the sample; its node through the handle. */
bool MakeFile(Program &program, const std::string &name, const Sample &sample)
{
    if (program.scratch.Open(name, FILE_READ_DATA | FILE_WRITE_DATA | DELETE, FILE_CREATE, FILE_DELETE_ON_CLOSE,
                             &program.file) != STATUS_SUCCESS)
        return false;
    for (size_t at = 0; at < kBytes; at += kReadPiece) {
        std::memcpy(program.buffer, sample.bytes.data() + at, kReadPiece);
        if (program.scratch.Write(program.file, program.buffer, kReadPiece, at) != STATUS_SUCCESS)
            return false;
    }
    PVOID object = nullptr;
    if (ObReferenceObjectByHandle(program.file, 0, *IoFileObjectType, KernelMode, &object, nullptr) !=
        STATUS_SUCCESS)
        return false;
    program.node = static_cast<PFCB>(static_cast<PFILE_OBJECT>(object)->FsContext);
    ObDereferenceObject(object); /* the handle keeps the node */
    return true;
}

/* Reads the whole file back in pieces and compares it with the sample: the packing must not change a byte. */
NTSTATUS CheckFile(Program &program, const Sample &sample)
{
    for (size_t at = 0; at < kBytes; at += kReadPiece) {
        NTSTATUS status = program.scratch.Read(program.file, program.buffer, kReadPiece, at);
        if (status != STATUS_SUCCESS)
            return status;
        if (program.scratch.iosb->Information != kReadPiece ||
            std::memcmp(program.buffer, sample.bytes.data() + at, kReadPiece) != 0)
            return STATUS_DATA_ERROR;
    }
    return STATUS_SUCCESS;
}

/* The codec's output for every sub-block of the sample, as the decoder sides decode it. */
std::vector<Bytes> CodeSubBlocks(RawCodec &raw, const Sample &sample)
{
    std::vector<Bytes> blocks;
    Bytes out(raw.Bound());
    for (size_t at = 0; at < kBytes; at += raw.SubBlock()) {
        size_t coded = raw.Compress(sample.bytes.data() + at, out.data());
        blocks.emplace_back(out.begin(), out.begin() + (ptrdiff_t)coded);
    }
    return blocks;
}

/* 1 MiB reads of the packed file, at every 1 MiB of it in turn, against the decoder on the same sub-blocks. */
bool MeasureReads(Level &level, const Sample &sample, Program &program, const std::vector<Bytes> &blocks)
{
    std::string what = Format("%s decode on read %s", level.name, sample.name);
    if (!Wanted(what))
        return true;
    NTSTATUS status = PackExtents(program.node, &level.coder) ? CheckFile(program, sample) : STATUS_INTERNAL_ERROR;
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "compress_bench: %s: the packed file does not read back (0x%08x)\n", what.c_str(),
                     (unsigned)status);
        return false;
    }
    ULONG packed = program.node->Data.CompressedExtentCount;
    size_t pieces = kBytes / kReadPiece;
    size_t next = 0;
    double driver = bench::MedianRate([&] {
        size_t at = (next++ % pieces) * kReadPiece;
        return program.scratch.Read(program.file, program.buffer, kReadPiece, at) == STATUS_SUCCESS &&
               program.scratch.iosb->Information == kReadPiece;
    }) * (double)kReadPiece;
    Bytes out(kReadPiece);
    size_t perPiece = kReadPiece / level.raw->SubBlock();
    next = 0;
    double codec = bench::MedianRate([&] {
        return level.raw->DecompressRun(blocks, (next++ % pieces) * perPiece, perPiece, out.data());
    }) * (double)kReadPiece;
    /* Reads decode into the handle's window: the extents stay packed. */
    if (driver == 0 || codec == 0 || program.node->Data.CompressedExtentCount != packed) {
        std::fprintf(stderr, "compress_bench: %s failed\n", what.c_str());
        return false;
    }
    PrintRatio(what, driver, codec, packed == 0 ? ", nothing packed" : "");
    return true;
}

/*
 * A 1-byte write into the middle of every packed extent (the byte it holds, so
 * the file stays the sample), each decoding its extent whole, against the decoder
 * on every sub-block of the extents. The extents are packed again before each
 * step, untimed.
 */
bool MeasureWrites(Level &level, const Sample &sample, Program &program, const std::vector<Bytes> &blocks)
{
    std::string what = Format("%s decode on write %s", level.name, sample.name);
    if (!Wanted(what))
        return true;
    if (!PackExtents(program.node, &level.coder))
        return false;
    if (program.node->Data.CompressedExtentCount == 0) {
        std::printf("%s: no extent packed, nothing to decode\n", what.c_str());
        return true;
    }
    double driver = MedianTimedRate((double)kBytes, [&] {
        if (!PackExtents(program.node, &level.coder))
            return -1.0;
        auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < kExtents; ++i) {
            size_t at = i * EXTENT_SIZE + EXTENT_SIZE / 2;
            program.buffer[0] = sample.bytes[at];
            if (program.scratch.Write(program.file, program.buffer, 1, at) != STATUS_SUCCESS)
                return -1.0;
        }
        return SecondsSince(start);
    });
    Bytes out(EXTENT_SIZE);
    size_t perExtent = EXTENT_SIZE / level.raw->SubBlock();
    double codec = bench::MedianRate([&] {
        for (size_t i = 0; i < kExtents; ++i)
            if (!level.raw->DecompressRun(blocks, i * perExtent, perExtent, out.data()))
                return false;
        return true;
    }) * (double)kBytes;
    if (driver == 0 || codec == 0 || CheckFile(program, sample) != STATUS_SUCCESS) {
        std::fprintf(stderr, "compress_bench: %s failed\n", what.c_str());
        return false;
    }
    PrintRatio(what, driver, codec);
    return true;
}

/* Both decode measurements of one level and sample, on a file of its own. */
bool MeasureDecodes(Level &level, const Sample &sample, Program &program)
{
    if (!Wanted(Format("%s decode on read %s", level.name, sample.name)) &&
        !Wanted(Format("%s decode on write %s", level.name, sample.name)))
        return true;
    std::vector<Bytes> blocks = CodeSubBlocks(*level.raw, sample);
    bool ok = MakeFile(program, Format("\\%s-%s", level.name, sample.name), sample);
    if (!ok)
        std::fprintf(stderr, "compress_bench: the file of %s %s was not made\n", level.name, sample.name);
    bool readOk = ok && MeasureReads(level, sample, program, blocks);
    bool writeOk = ok && MeasureWrites(level, sample, program, blocks);
    if (program.file != nullptr)
        NtClose(program.file);
    program.file = nullptr;
    program.node = nullptr;
    return readOk && writeOk;
}

} // namespace

int main(int argc, char **argv)
{
    only = argc > 1 ? argv[1] : nullptr;
    std::vector<Sample> samples;
    samples.push_back({"text", Text(kBytes), false});
    samples.push_back({"source", Sources(kBytes), false});
    samples.push_back({"compressed", AlreadyCompressed(samples[0].bytes, kBytes), false});
    samples.push_back({"zeros", Bytes(kBytes, 0), true});
    for (const Sample &sample : samples)
        if (sample.bytes.size() != kBytes) {
            std::fprintf(stderr, "compress_bench: no %s to measure\n", sample.name);
            return 1;
        }

    bench::LoadedDriver driver;
    if (!bench::LoadDriver(driver, "compress_bench"))
        return 1;
    c = static_cast<const VOREL_COMPRESS_DIAGNOSTICS *>(machine::DriverSymbol("vorel", "VorelCompressDiagnostics"));
    s = static_cast<const VOREL_STORE_DIAGNOSTICS *>(machine::DriverSymbol("vorel", "VorelStoreDiagnostics"));
    if (c == nullptr || c->Version != VOREL_COMPRESS_DIAGNOSTICS_VERSION || s == nullptr) {
        std::fprintf(stderr, "compress_bench: the driver has no compression or store diagnostics\n");
        return bench::UnloadDriver(driver, false);
    }
    KeEnterCriticalRegion();
    store = s->CreateVolume(1ull << 30);
    bool ok = store != nullptr && bench::CreateVolume(driver, 'R', 1ull << 30) == STATUS_SUCCESS;
    machine::ProcessIdentity identity;
    identity.userSpaceBytes = 64ull << 20;
    void *process = ok ? machine::CreateProcess(identity) : nullptr;
    ok = ok && process != nullptr;
    UserScratch::Process = process;

    std::vector<Level> levels = {{"fast", CODEC_LZ4, {}, nullptr},
                                 {"normal", CODEC_LZ4_HC, {}, nullptr},
                                 {"max", CODEC_ZSTD, {}, nullptr}};
    for (Level &level : levels) {
        ok = ok && c->SetUpCodecContext(&level.coder, level.codec, TRUE) == STATUS_SUCCESS;
        level.raw = new RawCodec(level.codec, c->CodecSubBlockShift(level.codec));
    }
    if (ok) {
        machine::EnterProcess(process);
        Program program{process, UserScratch(), static_cast<UCHAR *>(machine::UserAlloc(process, kReadPiece))};
        for (Level &level : levels)
            for (const Sample &sample : samples) {
                ok = MeasureCompress(level, sample) && ok;
                ok = MeasureDecodes(level, sample, program) && ok;
            }
        machine::LeaveProcess();
    }
    for (Level &level : levels) {
        c->TearDownCodecContext(&level.coder);
        delete level.raw;
    }

    if (process != nullptr)
        machine::ReleaseProcess(process);
    if (store != nullptr)
        s->DeleteVolume(store);
    if (bench::DismountVolume(driver, 'R') != STATUS_SUCCESS) {
        std::fprintf(stderr, "compress_bench: the volume did not dismount\n");
        ok = false;
    }
    KeLeaveCriticalRegion();
    return bench::UnloadDriver(driver, ok);
}
