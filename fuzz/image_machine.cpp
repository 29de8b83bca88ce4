/*
 * The image loader's fuzz support: the input encoding and the machine (see
 * image_machine.h).
 */
#include "image_machine.h"

#include "machine.h"

#include <vorel.h>
#include "core/diagnostics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace imagefuzz {

namespace {

/* Waits (bounded) until a running service thread blocks on its wake event. */
void WaitUntilWaiting(const KEVENT *event, PKTHREAD thread)
{
    for (int wait = 0; thread != nullptr && machine::WaitersOn(event) == 0 && wait < 2000; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

constexpr const char *kService = "vorel";
/* Streams longer than this keep their checksum as given: hashing them would cost too much. */
constexpr uint64_t kFixableStream = 32ull << 20;

uint32_t Get32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
uint64_t Get64(const uint8_t *p)
{
    return (uint64_t)Get32(p) | ((uint64_t)Get32(p + 4) << 32);
}
void Put64(uint8_t *p, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        p[i] = (uint8_t)(value >> (8 * i));
}

[[noreturn]] void Fail(const char *what)
{
    std::fprintf(stderr, "image fuzz: %s\n", what);
    std::abort();
}

/* The stream checksum a header copy's slot list and length call for; false when not worth it. */
bool StreamChecksum(const ImageFile &image, const uint8_t *copy, uint64_t *checksum)
{
    uint64_t length = Get64(copy + IMAGE_HEADER_STREAM_LENGTH_OFFSET);
    uint32_t count = std::min(Get32(copy + IMAGE_HEADER_SLOT_COUNT_OFFSET), IMAGE_METADATA_SLOTS_MAX);
    if (length == 0 || length > kFixableStream || (length + kSlotBytes - 1) / kSlotBytes > count)
        return false;
    static const std::vector<uint8_t> zeros(kSlotBytes);
    XXH3_state_t *state = XXH3_createState();
    XXH3_64bits_reset(state);
    for (uint32_t i = 0; (uint64_t)i * kSlotBytes < length; ++i) {
        uint64_t piece = std::min(kSlotBytes, length - (uint64_t)i * kSlotBytes);
        uint64_t place = (uint64_t)Get32(copy + IMAGE_HEADER_SLOT_LIST_OFFSET + 4 * i) + 2;
        auto found = place < kPlaces ? image.places.find((unsigned)place) : image.places.end();
        uint64_t held = found == image.places.end() ? 0 : std::min<uint64_t>(piece, found->second.size());
        if (held != 0)
            XXH3_64bits_update(state, found->second.data(), held);
        if (held < piece)
            XXH3_64bits_update(state, zeros.data(), piece - held);
    }
    *checksum = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    return true;
}

NTSTATUS KernelDeviceControl(PDEVICE_OBJECT device, ULONG code, const void *input, ULONG inputLength, void *output,
                             ULONG outputLength)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, const_cast<void *>(input), inputLength, output,
                                             outputLength, FALSE, &event, &iosb);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    return status;
}

void CopyPath(const std::string &path, VOREL_WCHAR *target)
{
    for (size_t i = 0; i < path.size() && i + 1 < VOREL_PATH_UNITS; ++i)
        target[i] = (VOREL_WCHAR)(unsigned char)path[i];
}

/* What one walk of a volume may still read: nodes opened and file bytes. */
struct ReadBudget {
    unsigned nodes = 256;
    uint64_t bytes = 4ull << 20;
};

HANDLE OpenOnVolume(const std::u16string &path, bool directory)
{
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t *>(path.data()));
    name.Length = name.MaximumLength = (USHORT)(path.size() * sizeof(char16_t));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE handle = nullptr;
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | (directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
    NTSTATUS status = ZwCreateFile(&handle, (directory ? FILE_LIST_DIRECTORY : FILE_READ_DATA) | SYNCHRONIZE, &oa,
                                   &io, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                   options, nullptr, 0);
    return NT_SUCCESS(status) ? handle : nullptr;
}

void ReadFileBytes(const std::u16string &path, ReadBudget *budget)
{
    HANDLE handle = OpenOnVolume(path, false);
    if (handle == nullptr)
        return;
    static std::vector<uint8_t> buffer(1u << 20);
    for (LONGLONG at = 0; budget->bytes != 0;) {
        IO_STATUS_BLOCK io{};
        LARGE_INTEGER offset;
        offset.QuadPart = at;
        ULONG length = (ULONG)std::min<uint64_t>(buffer.size(), budget->bytes);
        if (!NT_SUCCESS(ZwReadFile(handle, nullptr, nullptr, nullptr, &io, buffer.data(), length, &offset, nullptr)) ||
            io.Information == 0)
            break;
        budget->bytes -= std::min<uint64_t>(io.Information, budget->bytes);
        at += (LONGLONG)io.Information;
    }
    ZwClose(handle);
}

void ReadDirectory(const std::u16string &path, unsigned depth, ReadBudget *budget)
{
    HANDLE handle = OpenOnVolume(path, true);
    if (handle == nullptr)
        return;
    std::vector<std::pair<std::u16string, bool>> children;
    alignas(8) static uint8_t buffer[16384];
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK io{};
        if (!NT_SUCCESS(ZwQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &io, buffer, sizeof(buffer),
                                             FileDirectoryInformation, FALSE, nullptr, restart)))
            break;
        for (ULONG at = 0;;) {
            auto *entry = reinterpret_cast<FILE_DIRECTORY_INFORMATION *>(buffer + at);
            std::u16string name((const char16_t *)entry->FileName, entry->FileNameLength / sizeof(char16_t));
            if (name != u"." && name != u"..")
                children.emplace_back(name, (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
            if (entry->NextEntryOffset == 0)
                break;
            at += entry->NextEntryOffset;
        }
    }
    ZwClose(handle);
    for (const auto &[name, directory] : children) {
        if (budget->nodes == 0)
            return;
        budget->nodes--;
        std::u16string child = path + (path.back() == u'\\' ? u"" : u"\\") + name;
        if (!directory)
            ReadFileBytes(child, budget);
        else if (depth < 16)
            ReadDirectory(child, depth + 1, budget);
    }
}

} // namespace

uint64_t PlaceOffset(unsigned place)
{
    return place < 2 ? place * kHeaderBytes : (uint64_t)(place - 1) * kSlotBytes;
}

uint64_t PlaceBytes(unsigned place)
{
    return place < 2 ? kHeaderBytes : kSlotBytes;
}

ImageFile Decode(const uint8_t *data, size_t size)
{
    ImageFile image;
    if (size == 0)
        return image;
    image.flags = data[0];
    uint64_t end = 0;
    for (size_t at = 1; at + 4 <= size;) {
        unsigned place = data[at];
        size_t length = (size_t)data[at + 1] | ((size_t)data[at + 2] << 8) | ((size_t)data[at + 3] << 16);
        at += 4;
        length = std::min({length, size - at, (size_t)PlaceBytes(place)});
        std::vector<uint8_t> &bytes = image.places[place];
        if (bytes.size() < length)
            bytes.resize(length);
        if (length != 0)
            std::memcpy(bytes.data(), data + at, length);
        at += length;
        uint64_t placed = PlaceOffset(place) + ((image.flags & kTightEnd) ? bytes.size() : PlaceBytes(place));
        end = std::max(end, placed);
    }
    image.size = end;
    if (image.flags & kFixChecksums)
        FixChecksums(&image);
    return image;
}

std::vector<uint8_t> Encode(const std::vector<uint8_t> &file, uint8_t flags)
{
    std::vector<uint8_t> out{flags};
    for (unsigned place = 0; place < kPlaces && PlaceOffset(place) < file.size(); ++place) {
        size_t from = (size_t)PlaceOffset(place);
        size_t to = (size_t)std::min<uint64_t>(file.size(), from + PlaceBytes(place));
        while (to > from && file[to - 1] == 0)
            --to;
        if (to == from)
            continue;
        size_t length = to - from;
        out.push_back((uint8_t)place);
        for (int i = 0; i < 3; ++i)
            out.push_back((uint8_t)(length >> (8 * i)));
        out.insert(out.end(), file.begin() + (ptrdiff_t)from, file.begin() + (ptrdiff_t)to);
    }
    return out;
}

void FixChecksums(ImageFile *image)
{
    for (unsigned place = 0; place < 2; ++place) {
        auto found = image->places.find(place);
        if (found == image->places.end())
            continue;
        std::vector<uint8_t> &copy = found->second;
        copy.resize(kHeaderBytes);
        if (image->flags & kNoDataChecksums)
            copy[IMAGE_HEADER_FLAGS_OFFSET] &= (uint8_t)~IMAGE_FLAG_DATA_CHECKSUMS;
        uint64_t checksum = 0;
        if (StreamChecksum(*image, copy.data(), &checksum))
            Put64(copy.data() + IMAGE_HEADER_STREAM_CHECKSUM_OFFSET, checksum);
        Put64(copy.data() + IMAGE_HEADER_CHECKSUM_OFFSET, 0);
        Put64(copy.data() + IMAGE_HEADER_CHECKSUM_OFFSET, XXH3_64bits(copy.data(), copy.size()));
    }
}

bool WriteImageFile(const std::string &path, const ImageFile &image)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    for (const auto &[place, bytes] : image.places)
        ok = ok && ::pwrite(fd, bytes.data(), bytes.size(), (off_t)PlaceOffset(place)) == (ssize_t)bytes.size();
    ok = ok && ::ftruncate(fd, (off_t)image.size) == 0;
    return ::close(fd) == 0 && ok;
}

bool ImageFileIntact(const std::string &path, const ImageFile &image)
{
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && (uint64_t)st.st_size == image.size;
    std::vector<uint8_t> found;
    for (const auto &[place, bytes] : image.places) {
        if (!ok)
            break;
        uint64_t offset = PlaceOffset(place);
        size_t expected = offset >= image.size ? 0 : (size_t)std::min<uint64_t>(bytes.size(), image.size - offset);
        found.resize(expected);
        ok = expected == 0 || (::pread(fd, found.data(), expected, (off_t)offset) == (ssize_t)expected &&
                               std::memcmp(found.data(), bytes.data(), expected) == 0);
    }
    ::close(fd);
    return ok;
}

Machine::Machine(bool autoClock)
{
    char pattern[] = "/tmp/vorel-image-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        Fail("no temporary directory");
    directory_ = pattern;
    setenv("VOREL_HOST_DRIVES", ("H=" + directory_).c_str(), 1);
    machine::Config config;
    if (autoClock)
        config.clock = machine::ClockMode::AutoAdvance;
    machine::Boot(config);
    if ((NTSTATUS)machine::LoadDriver(VOREL_DRIVER_PATH, kService) != STATUS_SUCCESS)
        Fail("the driver did not load");
    auto *diagnostics = static_cast<const VOREL_DIAGNOSTICS *>(machine::DriverSymbol(kService, "VorelDiagnostics"));
    if (diagnostics == nullptr || diagnostics->Version != VOREL_DIAGNOSTICS_VERSION)
        Fail("the driver's diagnostics table is missing");
    diagnostics_ = diagnostics;
    controlDevice_ = diagnostics->Data->ControlDevice;
    threads_ = machine::LiveSystemThreads();
}

Machine::~Machine()
{
    if ((NTSTATUS)machine::UnloadDriver(kService) != STATUS_SUCCESS)
        Fail("the driver did not unload");
    diagnostics_ = nullptr; /* went with the driver */
    threads_ = 0;
    Settle();
    machine::AuditReport report = machine::Shutdown();
    if (!report.Clean())
        std::fprintf(stderr, "image fuzz: the machine shut down unclean:\n%s\n", report.Text().c_str());
    std::string command = "rm -rf '" + directory_ + "'";
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "image fuzz: %s left behind\n", directory_.c_str());
}

int32_t Machine::Control(uint32_t code, const void *input, uint32_t inputLength, void *output, uint32_t outputLength)
{
    return KernelDeviceControl(static_cast<PDEVICE_OBJECT>(controlDevice_), code, input, inputLength, output,
                               outputLength);
}

int32_t Machine::CreateVolume(char letter, const std::string &imagePath, uint64_t size)
{
    VOREL_CREATE_VOLUME_INPUT input{};
    input.Letter = (VOREL_U16)letter;
    input.SizeBytes = size;
    CopyPath(imagePath, input.ImagePath);
    return Control(IOCTL_VOREL_CREATE_VOLUME, &input, sizeof(input));
}

int32_t Machine::SaveVolume(char letter, const std::string &newImagePath)
{
    auto input = std::make_unique<VOREL_SAVE_INPUT>();
    *input = {};
    input->Letter = (VOREL_U16)letter;
    CopyPath(newImagePath, input->NewImagePath);
    return Control(IOCTL_VOREL_SAVE_VOLUME, input.get(), sizeof(*input));
}

int32_t Machine::DismountVolume(char letter)
{
    VOREL_LETTER_INPUT input{(VOREL_U16)letter, 0};
    return Control(IOCTL_VOREL_DISMOUNT_VOLUME, &input, sizeof(input));
}

std::map<uint32_t, uint64_t> Machine::PoolInUse() const
{
    /* Registry key objects are left out: the statistics service opens the
       configuration keys every minute, at times a fuzz input cannot know. A key
       left open is still found by the audit at the machine's shutdown. */
    const uint32_t keyTag = machine::TagFromText("Key ");
    std::map<uint32_t, uint64_t> blocks;
    for (const machine::PoolTagStats &tag : machine::PoolSnapshot())
        if (tag.liveBlocks != 0 && tag.tag != keyTag)
            blocks[tag.tag] = tag.liveBlocks;
    PVOREL_DATA data = static_cast<const VOREL_DIAGNOSTICS *>(diagnostics_)->Data;
    for (PNPAGED_LOOKASIDE_LIST list : {&data->ChunkRecords, &data->MappingCache->List, &data->PageSetCache->List})
        if ((blocks[list->L.Tag] -= ExQueryDepthSList(&list->L.ListHead)) == 0)
            blocks.erase(list->L.Tag);
    return blocks;
}

void Machine::ReadEveryFile(char letter)
{
    ReadBudget budget;
    ReadDirectory(std::u16string(u"\\??\\") + (char16_t)letter + u":\\", 0, &budget);
}

void Machine::Settle()
{
    for (int wait = 0; wait < 400 && machine::LiveSystemThreads() > threads_; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    machine::DrainSystemWork();
    /* A volume coming or going wakes the periodic saves to re-read the store, which
       holds a value buffer for a moment: wait until both services block again. */
    if (diagnostics_ == nullptr)
        return;
    PVOREL_DATA data = static_cast<const VOREL_DIAGNOSTICS *>(diagnostics_)->Data;
    WaitUntilWaiting(&data->VolumeSetChangeEvent, data->AutoSaveService.Thread);
    WaitUntilWaiting(&data->StatisticsWakeEvent, data->StatisticsService.Thread);
}

} // namespace imagefuzz
