/*
 * The host-file fault injector: a fixed random program of writes, size changes, zeroing
 * and flushes over two files runs once per fault kind and position, and each file must
 * hold exactly what that fault lets survive: the failed change missing, a torn write's
 * prefix, nothing after the process died, and after a power loss only what each file's
 * own flushes made durable.
 */
#include "hostfs_fixture.h"

#include <algorithm>
#include <random>

using namespace hftest;
using machine::HostFileFault;

namespace {

enum class Kind { Write, Resize, Zero, Flush };

struct Step {
    int file;
    Kind kind;
    uint64_t offset = 0; /* write, zero */
    uint64_t length = 0; /* zero; the new size for a resize */
    Bytes data;          /* write */
};

/* Two files' bytes and what each last flush left. */
struct Model {
    Bytes files[2];
    Bytes durable[2];

    void Apply(const Step &step, uint64_t allowed)
    {
        Bytes &bytes = files[step.file];
        switch (step.kind) {
        case Kind::Write: {
            uint64_t end = step.offset + allowed;
            if (bytes.size() < end)
                bytes.resize(end, 0);
            std::copy(step.data.begin(), step.data.begin() + (std::ptrdiff_t)allowed,
                      bytes.begin() + (std::ptrdiff_t)step.offset);
            break;
        }
        case Kind::Resize:
            bytes.resize(step.length, 0);
            break;
        case Kind::Zero:
            for (uint64_t i = step.offset; i < std::min<uint64_t>(step.offset + step.length, bytes.size()); ++i)
                bytes[i] = 0;
            break;
        case Kind::Flush:
            durable[step.file] = bytes;
            break;
        }
    }
};

/* A program in which every step is one counted operation (zeroing always inside the file). */
std::vector<Step> MakeProgram(unsigned seed, size_t count)
{
    std::mt19937 random(seed);
    uint64_t sizes[2] = {0, 0};
    std::vector<Step> program;
    while (program.size() < count) {
        Step step;
        step.file = (int)(random() % 2);
        uint64_t &size = sizes[step.file];
        switch (random() % 6) {
        case 0:
        case 1:
        case 2:
            step.kind = Kind::Write;
            step.offset = random() % (size + 3000);
            step.data.resize(1 + random() % 5000);
            for (auto &b : step.data)
                b = (unsigned char)(1 + random() % 255);
            size = std::max<uint64_t>(size, step.offset + step.data.size());
            break;
        case 3:
            step.kind = Kind::Resize;
            step.length = random() % (size + 4000);
            size = step.length;
            break;
        case 4:
            if (size == 0)
                continue;
            step.kind = Kind::Zero;
            step.offset = random() % size;
            step.length = 1 + random() % 9000;
            break;
        default:
            step.kind = Kind::Flush;
            break;
        }
        program.push_back(std::move(step));
    }
    return program;
}

class HostFaultTest : public HostFsTest {
protected:
    void OpenFiles()
    {
        for (int i = 0; i < 2; ++i) {
            Opened opened = Open(Name(i), FILE_OVERWRITE_IF);
            ASSERT_EQ(opened.status, STATUS_SUCCESS);
            handles_[i] = opened.handle;
        }
    }
    void CloseFiles()
    {
        for (HANDLE &handle : handles_) {
            if (handle != nullptr) {
                EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
            }
            handle = nullptr;
        }
    }
    static std::string Name(int i) { return i == 0 ? "image-a" : "image-b"; }

    NTSTATUS Run(const Step &step)
    {
        HANDLE handle = handles_[step.file];
        switch (step.kind) {
        case Kind::Write:
            return Write(handle, step.offset, step.data.data(), (ULONG)step.data.size());
        case Kind::Resize:
            return SetEndOfFile(handle, step.length);
        case Kind::Zero:
            return ZeroData(handle, step.offset, step.offset + step.length);
        case Kind::Flush:
            return Flush(handle);
        }
        return STATUS_UNSUCCESSFUL;
    }

    HANDLE handles_[2] = {nullptr, nullptr};
};

constexpr uint64_t kTorn = 777;

} // namespace

TEST_F(HostFaultTest, EachFaultAtEachPositionLeavesWhatMustSurvive)
{
    const std::vector<Step> program = MakeProgram(7, 40);
    const HostFileFault kinds[] = {HostFileFault::FailDiskFull, HostFileFault::FailDeviceError, HostFileFault::Tear,
                                   HostFileFault::Die, HostFileFault::PowerLoss};
    for (HostFileFault kind : kinds) {
        for (uint64_t position = 1; position <= program.size() + 1; ++position) {
            SCOPED_TRACE("kind " + std::to_string((int)kind) + " position " + std::to_string(position));
            OpenFiles();
            machine::ArmHostFileFault(kind, position, kTorn);
            Model model;
            bool dead = false;
            for (size_t i = 0; i < program.size(); ++i) {
                const Step &step = program[i];
                NTSTATUS status = Run(step);
                bool hit = i + 1 == position;
                if (dead) {
                    EXPECT_FALSE(NT_SUCCESS(status)) << "step " << i;
                    continue;
                }
                if (!hit) {
                    ASSERT_EQ(status, STATUS_SUCCESS) << "step " << i;
                    model.Apply(step, step.data.size());
                    continue;
                }
                EXPECT_EQ(status, kind == HostFileFault::FailDiskFull ? STATUS_DISK_FULL : STATUS_IO_DEVICE_ERROR);
                if (kind == HostFileFault::Tear && step.kind == Kind::Write)
                    model.Apply(step, std::min<uint64_t>(kTorn, step.data.size() - 1));
                if (kind == HostFileFault::Die || kind == HostFileFault::PowerLoss)
                    dead = true;
                if (kind == HostFileFault::PowerLoss)
                    for (int f = 0; f < 2; ++f)
                        model.files[f] = model.durable[f];
            }
            EXPECT_EQ(machine::HostFileOperations(), std::min<uint64_t>(program.size(), dead ? position : 1000));
            machine::DisarmHostFileFaults();
            CloseFiles();
            for (int f = 0; f < 2; ++f)
                ASSERT_EQ(HostBytes(Name(f)), model.files[f]) << Name(f);
        }
    }
}

TEST_F(HostFaultTest, PowerLossOnDemandRollsBackEveryFileToItsLastFlushEvenAClosedOne)
{
    const std::vector<Step> program = MakeProgram(11, 30);
    OpenFiles();
    machine::ArmHostFileFault(HostFileFault::Die, UINT64_MAX);
    Model model;
    for (const Step &step : program) {
        ASSERT_EQ(Run(step), STATUS_SUCCESS);
        model.Apply(step, step.data.size());
    }
    // One file closes before the power goes: its unflushed changes go all the same.
    EXPECT_EQ(ZwClose(handles_[1]), STATUS_SUCCESS);
    handles_[1] = nullptr;
    machine::LoseHostPower();
    EXPECT_EQ(Write(handles_[0], 0, "x", 1), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Flush(handles_[0]), STATUS_IO_DEVICE_ERROR);
    for (int f = 0; f < 2; ++f)
        EXPECT_EQ(HostBytes(Name(f)), model.durable[f]) << Name(f);
    machine::DisarmHostFileFaults();
    // Disarmed, the machine writes again.
    EXPECT_EQ(Write(handles_[0], 0, "y", 1), STATUS_SUCCESS);
    CloseFiles();
}

/* Out of order: of the writes since the last flush only the latest reached the disk. */
TEST_F(HostFaultTest, PowerLossOutOfOrderKeepsOnlyTheLatestUnflushedWrite)
{
    Opened a = Open("ordered-a", FILE_OVERWRITE_IF);
    Opened b = Open("ordered-b", FILE_OVERWRITE_IF);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    ASSERT_EQ(b.status, STATUS_SUCCESS);
    const Bytes one(100, 1), two(50, 2), three(10, 3);
    ASSERT_EQ(Write(a.handle, 0, one.data(), 100), STATUS_SUCCESS);
    ASSERT_EQ(Flush(a.handle), STATUS_SUCCESS);
    machine::ArmHostFileFault(HostFileFault::PowerLossOutOfOrder, 4);
    ASSERT_EQ(Write(a.handle, 200, two.data(), 50), STATUS_SUCCESS);   /* lost */
    ASSERT_EQ(Write(b.handle, 0, two.data(), 50), STATUS_SUCCESS);     /* lost */
    ASSERT_EQ(Write(a.handle, 100, three.data(), 10), STATUS_SUCCESS); /* the latest: kept */
    EXPECT_EQ(Flush(a.handle), STATUS_IO_DEVICE_ERROR);
    machine::DisarmHostFileFaults();
    Bytes expected(110, 1);
    std::fill(expected.begin() + 100, expected.end(), 3);
    EXPECT_EQ(HostBytes("ordered-a"), expected);
    EXPECT_EQ(HostBytes("ordered-b"), Bytes());
    ZwClose(a.handle);
    ZwClose(b.handle);
}
