/*
 * What the image loader's fuzz target and its corpus writer share: the input
 * encoding that maps a compact input onto a sparse image file, and a booted
 * machine with the driver loaded and a host drive H: in a temporary directory.
 * The encoding is described at the top of image_loader_fuzz.cpp.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace imagefuzz {

constexpr uint64_t kHeaderBytes = 4096;
constexpr uint64_t kSlotBytes = 2ull << 20;
/* Places: 0 and 1 are the header copies, place p >= 2 is slot p - 2. */
constexpr unsigned kPlaces = 256;
/* Flags of an input's first byte. */
constexpr uint8_t kFixChecksums = 0x01; /* header and stream checksums made to match */
constexpr uint8_t kTightEnd = 0x02;     /* the file ends at its last byte placed */
constexpr uint8_t kNoDataChecksums = 0x04; /* the header copies' data-checksum flag cleared first */

/* An image file as an input describes it: the bytes at the start of each place given, and its size. */
struct ImageFile {
    uint8_t flags = 0;
    std::map<unsigned, std::vector<uint8_t>> places;
    uint64_t size = 0;
};

uint64_t PlaceOffset(unsigned place);
uint64_t PlaceBytes(unsigned place);

/* Decodes an input (never fails: a cut-off piece keeps what is there). */
ImageFile Decode(const uint8_t *data, size_t size);
/* Encodes an image file's bytes (each place's trailing zeros dropped). */
std::vector<uint8_t> Encode(const std::vector<uint8_t> &file, uint8_t flags);
/* The checksums of every header copy the pieces hold, recomputed over the file as placed. */
void FixChecksums(ImageFile *image);
/* Writes the file at a Linux path (replacing it); false on a host error. */
bool WriteImageFile(const std::string &path, const ImageFile &image);
/* Whether the file at path holds exactly what WriteImageFile wrote. */
bool ImageFileIntact(const std::string &path, const ImageFile &image);

/* The machine with the driver and H: (a fresh temporary directory). Aborts on failure. */
class Machine {
public:
    explicit Machine(bool autoClock = false);
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    /* A request to the driver's control device from kernel mode; its status. */
    int32_t Control(uint32_t code, const void *input, uint32_t inputLength, void *output = nullptr,
                    uint32_t outputLength = 0);
    /* A volume on letter; bound to the image at the Windows path when one is given. */
    int32_t CreateVolume(char letter, const std::string &imagePath, uint64_t size = 0);
    int32_t SaveVolume(char letter, const std::string &newImagePath);
    int32_t DismountVolume(char letter);
    /* Reads every file of the volume on letter (within bounds), whatever each read returns. */
    void ReadEveryFile(char letter);
    /* Live pool blocks by tag, less the freed records the driver keeps parked in its lookaside lists. */
    std::map<uint32_t, uint64_t> PoolInUse() const;
    /* Waits for the driver's threads (down to those it runs while loaded) and the system's work to settle. */
    void Settle();

    /* "H:\name" and the Linux path of the same file. */
    static std::string WindowsPath(const std::string &name) { return "H:\\" + name; }
    std::string HostPath(const std::string &name) const { return directory_ + "/" + name; }

private:
    std::string directory_;
    const void *diagnostics_ = nullptr;
    void *controlDevice_ = nullptr;
    uint32_t threads_ = 0;
};

} // namespace imagefuzz
