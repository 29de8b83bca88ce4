/*
 * Writes the image loader's seed corpus: small volumes with varied content
 * (directories, hard links, extended attributes, small, multi-extent, sparse and
 * packed files, an image saved twice) are saved as real images by the driver,
 * and each image is written in the fuzz target's input encoding.
 *   image_corpus <directory>
 */
#include "image_machine.h"

#include "machine.h"

#include <vorel.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

using namespace imagefuzz;

namespace {

constexpr char kLetter = 'R';

[[noreturn]] void Fail(const std::string &what, NTSTATUS status)
{
    std::fprintf(stderr, "image_corpus: %s: 0x%08X\n", what.c_str(), (unsigned)status);
    // Not exit(): the static destructors would run under the machine's threads.
    std::fflush(stderr);
    std::_Exit(1);
}

void Check(NTSTATUS status, const std::string &what)
{
    if (!NT_SUCCESS(status))
        Fail(what, status);
}

/* "\??\R:" and a path on the volume, as a counted string that owns its buffer. */
class VolumePath {
public:
    explicit VolumePath(const std::string &path)
    {
        std::string full = std::string("\\??\\") + kLetter + ":" + path;
        units_.assign(full.begin(), full.end());
        string.Buffer = reinterpret_cast<PWCH>(units_.data());
        string.Length = string.MaximumLength = (USHORT)(units_.size() * sizeof(char16_t));
    }
    UNICODE_STRING string;
    std::u16string units_;
};

HANDLE Open(const std::string &path, ULONG disposition, ULONG options)
{
    VolumePath name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE handle = nullptr;
    Check(ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                       options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
          "open " + path);
    return handle;
}

void Directory(const std::string &path)
{
    ZwClose(Open(path, FILE_CREATE, FILE_DIRECTORY_FILE));
}

void WriteAt(HANDLE handle, uint64_t offset, const std::vector<uint8_t> &bytes)
{
    IO_STATUS_BLOCK io;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    Check(ZwWriteFile(handle, nullptr, nullptr, nullptr, &io, const_cast<uint8_t *>(bytes.data()), (ULONG)bytes.size(),
                      &at, nullptr),
          "write");
}

void File(const std::string &path, const std::vector<uint8_t> &bytes)
{
    HANDLE handle = Open(path, FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE);
    if (!bytes.empty())
        WriteAt(handle, 0, bytes);
    ZwClose(handle);
}

/* Text as people keep it, which the codecs shrink. */
std::vector<uint8_t> Text(size_t bytes, unsigned seed)
{
    static const char *const words[] = {"volume ", "extent ", "image ", "slot ", "the ", "of ", "\n", "0x1F "};
    std::vector<uint8_t> out;
    uint32_t state = seed * 2654435761u + 1;
    while (out.size() < bytes) {
        state = state * 1103515245u + 12345u;
        for (const char *c = words[(state >> 16) % 8]; *c != 0 && out.size() < bytes; ++c)
            out.push_back((uint8_t)*c);
    }
    return out;
}

void Link(const std::string &existing, const std::string &link)
{
    HANDLE handle = Open(existing, FILE_OPEN, FILE_NON_DIRECTORY_FILE);
    std::string target = std::string("\\??\\") + kLetter + ":" + link;
    std::vector<uint8_t> record(sizeof(FILE_LINK_INFORMATION) + target.size() * 2);
    auto *info = reinterpret_cast<FILE_LINK_INFORMATION *>(record.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = (ULONG)(target.size() * 2);
    for (size_t i = 0; i < target.size(); ++i)
        info->FileName[i] = (WCHAR)target[i];
    IO_STATUS_BLOCK io;
    Check(ZwSetInformationFile(handle, &io, info, (ULONG)record.size(), FileLinkInformation), "link " + link);
    ZwClose(handle);
}

void ExtendedAttribute(const std::string &path, const char *name, const std::string &value)
{
    HANDLE handle = Open(path, FILE_OPEN, 0);
    size_t nameLength = std::strlen(name);
    std::vector<uint8_t> record(FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + nameLength + 1 + value.size());
    auto *ea = reinterpret_cast<FILE_FULL_EA_INFORMATION *>(record.data());
    ea->EaNameLength = (UCHAR)nameLength;
    ea->EaValueLength = (USHORT)value.size();
    std::memcpy(ea->EaName, name, nameLength + 1);
    std::memcpy(ea->EaName + nameLength + 1, value.data(), value.size());
    IO_STATUS_BLOCK io;
    Check(ZwSetEaFile(handle, &io, ea, (ULONG)record.size()), std::string("EA on ") + path);
    ZwClose(handle);
}

/* A sparse file of Size bytes with a few bytes written at each offset. */
void SparseFile(const std::string &path, uint64_t size, const std::vector<uint64_t> &offsets)
{
    HANDLE handle = Open(path, FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE);
    IO_STATUS_BLOCK io;
    Check(ZwFsControlFile(handle, nullptr, nullptr, nullptr, &io, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0),
          "sparse " + path);
    for (uint64_t offset : offsets)
        WriteAt(handle, offset, Text(300, (unsigned)offset));
    FILE_END_OF_FILE_INFORMATION end;
    end.EndOfFile.QuadPart = (LONGLONG)size;
    Check(ZwSetInformationFile(handle, &io, &end, sizeof(end), FileEndOfFileInformation), "size of " + path);
    ZwClose(handle);
}

void LetTimePass(ULONG seconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)seconds * 10000000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

/* Makes a volume, fills it, saves it to name.img, and writes the encoded image to Out/name. */
void Seed(Machine &m, const std::string &out, const std::string &name, const std::function<void()> &fill,
          uint8_t flags = kFixChecksums, bool bound = false)
{
    Check(m.CreateVolume(kLetter, "", 16ull << 20), "create for " + name);
    fill();
    // A volume the fill bound to the image already is saved into it again (the other header copy).
    Check(m.SaveVolume(kLetter, bound ? "" : Machine::WindowsPath(name + ".img")), "save of " + name);
    Check(m.DismountVolume(kLetter), "dismount after " + name);
    std::ifstream in(m.HostPath(name + ".img"), std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> input = Encode(file, flags);
    std::ofstream(out + "/" + name, std::ios::binary).write(reinterpret_cast<const char *>(input.data()),
                                                            (std::streamsize)input.size());
    std::printf("%s: image of %zu bytes, input of %zu\n", name.c_str(), file.size(), input.size());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: image_corpus <directory>\n");
        return 2;
    }
    std::string out = argv[1];
    // The clock jumps while every thread waits, so that files go cold at once.
    Machine m(true);

    Seed(m, out, "empty", [] {});
    auto tree = [] {
        Directory("\\docs");
        Directory("\\docs\\old");
        Directory("\\empty dir");
        File("\\docs\\readme.txt", Text(700, 1));
        File("\\docs\\old\\notes.txt", Text(5000, 2));
        File("\\zero-length", {});
        Link("\\docs\\readme.txt", "\\readme link.txt");
        Link("\\docs\\readme.txt", "\\docs\\old\\second link");
        ExtendedAttribute("\\docs\\old\\notes.txt", "AUTHOR", "someone");
        ExtendedAttribute("\\docs", "KIND", "folder");
    };
    Seed(m, out, "tree", tree);
    Seed(m, out, "tree-unchecked", tree, 0);
    Seed(m, out, "extents", [] {
        // Three extents, the middle one only a few bytes; and a sparse file of 7 MiB.
        HANDLE handle = Open("\\large", FILE_OVERWRITE_IF, FILE_NON_DIRECTORY_FILE);
        WriteAt(handle, 0, Text(1000, 3));
        WriteAt(handle, 2ull << 20, Text(200, 4));
        WriteAt(handle, (4ull << 20) + 10, Text(500, 5));
        ZwClose(handle);
        SparseFile("\\sparse", 7ull << 20, {100, 6ull << 20});
    });
    auto packed = [&m] {
        VOREL_COMPRESSION_LEVEL level{(VOREL_U16)kLetter, 0, 1};
        Check(m.Control(IOCTL_VOREL_SET_COMPRESSION_LEVEL, &level, sizeof(level)), "compression level");
        File("\\cold.txt", Text(80 * 1024, 6));
        File("\\small.txt", Text(100, 7));
        LetTimePass(80);
    };
    Seed(m, out, "packed", packed);
    Seed(m, out, "packed-unsummed", packed, kFixChecksums | kNoDataChecksums);
    Seed(m, out, "resaved", [&m] {
        File("\\first", Text(300, 8));
        Directory("\\kept");
        Check(m.SaveVolume(kLetter, Machine::WindowsPath("resaved.img")), "first save");
        File("\\second", Text(400, 9));
        File("\\first", Text(100, 10));
    }, kFixChecksums, true);
    return 0;
}
