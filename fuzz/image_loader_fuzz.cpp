/*
 * Fuzzing the image loader. Every input becomes an image file on the machine's
 * drive H:, and a volume is created on it, which loads the image during its
 * mount. Whatever the file holds, the create must come back with a status (a
 * crash, a hang or a sanitizer report is a find); every file of a volume it
 * made is read (any status will do), and the volume is dismounted; then the driver's pool and pages must be back where they were
 * before (else a leak: trap), and the file must be as written, not one write or
 * flush made to it (the loader only reads).
 *
 * Input encoding. Images put their data slots at multiples of 2 MiB, so an
 * input is not the file itself but a list of pieces mapped onto it sparsely:
 *
 *   input := flags:u8 piece*
 *   piece := place:u8 length:u24le bytes[length]
 *
 *   place 0     header copy 0 at offset 0      (at most 4096 bytes)
 *   place 1     header copy 1 at offset 4096   (at most 4096 bytes)
 *   place p>=2  slot p-2 at offset (p-1)*2 MiB (at most 2 MiB)
 *
 * A piece's bytes go at the start of its place; the rest of the file is zero (a
 * hole); a later piece for the same place overwrites the start of an earlier
 * one; a length past the input's end is cut to what is there. Flags:
 *   0x01  the checksums of each header copy given are recomputed: the stream
 *         checksum over the slots its slot list names (streams up to 32 MiB),
 *         then the copy's own; so mutations reach the stream's parser;
 *   0x02  the file ends at its last byte placed, instead of at the end of the
 *         last place given (a whole slot), so that cut-off slots are tried;
 *   0x04  (with 0x01) the header copies' data-checksum flag is cleared first,
 *         so that changed data slots are loaded rather than refused.
 * Data slot checksums are otherwise left as they are.
 */
#include "image_machine.h"

#include "machine.h"

#include <wdm.h>

#include <cstdio>
#include <cstdlib>
#include <map>

using namespace imagefuzz;

namespace {

Machine *TheMachine = nullptr;
constexpr char kLetter = 'R';
const char *const kImage = "x.img";

[[noreturn]] void Find(const char *what)
{
    std::fprintf(stderr, "image fuzz: %s\n", what);
    __builtin_trap();
}

/*
 * libFuzzer ends with exit(), whose first step runs the main thread's thread-local
 * destructors, the kernel's state of the main thread among them, and only then the
 * static destructors, some of objects the machine's threads still use. So the
 * machine goes in a thread-local destructor of the main thread, made after the boot
 * and so run before the kernel's.
 */
struct MachineOwner {
    ~MachineOwner()
    {
        delete TheMachine;
        TheMachine = nullptr;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    TheMachine = new Machine();
    static thread_local MachineOwner owner;
    (void)owner;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Machine &m = *TheMachine;
    ImageFile image = Decode(data, size);
    std::string hostPath = m.HostPath(kImage);
    if (!WriteImageFile(hostPath, image))
        Find("the image file could not be written");

    m.Settle();
    std::map<uint32_t, uint64_t> before = m.PoolInUse();
    uint64_t pagesBefore = machine::PagesInUse(), listsBefore = machine::PageListsInUse();
    // Every write and flush to a host file counts from here; none may come.
    machine::ArmHostFileFault(machine::HostFileFault::Die, ~0ull);

    int32_t status = m.CreateVolume(kLetter, Machine::WindowsPath(kImage));
    if (machine::HostFileOperations() != 0)
        Find("the load wrote to the image file");
    if (status == STATUS_SUCCESS) {
        // What was loaded must be safe to read, damaged compressed forms included.
        m.ReadEveryFile(kLetter);
        if (m.DismountVolume(kLetter) != STATUS_SUCCESS)
            Find("a volume loaded from an image did not dismount");
    } else if (status >= 0) {
        Find("the create returned an informational status");
    } else if (m.DismountVolume(kLetter) == STATUS_SUCCESS) {
        Find("a refused create left a volume behind");
    }
    uint64_t operations = machine::HostFileOperations();
    machine::DisarmHostFileFaults();
    if (operations != 0)
        Find("the image file was written to after a load");

    m.Settle();
    std::map<uint32_t, uint64_t> after = m.PoolInUse();
    if (after != before) {
        std::fprintf(stderr, "image fuzz: create status 0x%08X; pool blocks by tag, before and after:\n",
                     (unsigned)status);
        for (const auto &[tag, blocks] : after)
            if (blocks != before[tag])
                std::fprintf(stderr, "  %s: %llu, %llu\n", machine::TagText(tag).c_str(),
                             (unsigned long long)before[tag], (unsigned long long)blocks);
        for (const auto &[tag, blocks] : before)
            if (after.count(tag) == 0)
                std::fprintf(stderr, "  %s: %llu, 0\n", machine::TagText(tag).c_str(), (unsigned long long)blocks);
        Find("the driver's pool use did not come back after the volume went");
    }
    if (machine::PagesInUse() != pagesBefore || machine::PageListsInUse() != listsBefore)
        Find("the volume's pages did not come back after it went");
    if (!ImageFileIntact(hostPath, image))
        Find("the image file changed");
    return 0;
}
