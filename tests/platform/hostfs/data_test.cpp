/*
 * Data of host files: a random model of writes, reads, size changes, zeroing and
 * flushes checked against a byte model and the Linux file, the file pointer, the end
 * of file, and the sector rules of unbuffered opens.
 */
#include "hostfs_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <random>

using namespace hftest;

namespace {

void ApplyWrite(Bytes &model, uint64_t offset, const Bytes &data)
{
    if (model.size() < offset + data.size())
        model.resize(offset + data.size(), 0);
    std::copy(data.begin(), data.end(), model.begin() + (std::ptrdiff_t)offset);
}

} // namespace

TEST_F(HostFsTest, RandomChangesMatchAByteModelAndTheLinuxFile)
{
    Opened file = Open("model", FILE_OVERWRITE_IF);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    Bytes model;
    std::mt19937 random(20261207);
    auto pick = [&](uint64_t bound) { return bound == 0 ? 0 : (uint64_t)(random() % bound); };
    for (int step = 0; step < 600; ++step) {
        uint64_t size = model.size();
        switch (pick(7)) {
        case 0:
        case 1: { /* write, often past the end */
            uint64_t offset = pick(size + 20000);
            Bytes data(1 + pick(9000));
            for (auto &b : data)
                b = (unsigned char)random();
            ULONG_PTR moved = 0;
            ASSERT_EQ(Write(file.handle, offset, data.data(), (ULONG)data.size(), &moved), STATUS_SUCCESS);
            EXPECT_EQ(moved, data.size());
            ApplyWrite(model, offset, data);
            break;
        }
        case 2: { /* read, maybe across or beyond the end */
            uint64_t offset = pick(size + 100);
            Bytes data(1 + pick(9000), 0xEE);
            ULONG_PTR moved = 0;
            NTSTATUS status = Read(file.handle, offset, data.data(), (ULONG)data.size(), &moved);
            if (offset >= size) {
                EXPECT_EQ(status, STATUS_END_OF_FILE);
            } else {
                ASSERT_EQ(status, STATUS_SUCCESS);
                uint64_t expected = std::min<uint64_t>(data.size(), size - offset);
                ASSERT_EQ(moved, expected);
                EXPECT_TRUE(std::equal(data.begin(), data.begin() + (std::ptrdiff_t)expected,
                                       model.begin() + (std::ptrdiff_t)offset));
            }
            break;
        }
        case 3: { /* end of file, smaller or larger */
            uint64_t newSize = pick(size + 30000);
            ASSERT_EQ(SetEndOfFile(file.handle, newSize), STATUS_SUCCESS);
            model.resize(newSize, 0);
            break;
        }
        case 4: { /* zero a range, past the end too */
            uint64_t from = pick(size + 10);
            uint64_t to = from + pick(70000);
            ASSERT_EQ(ZeroData(file.handle, from, to), STATUS_SUCCESS);
            for (uint64_t i = from; i < std::min<uint64_t>(to, model.size()); ++i)
                model[i] = 0;
            break;
        }
        case 5:
            ASSERT_EQ(Flush(file.handle), STATUS_SUCCESS);
            break;
        case 6:
            ASSERT_EQ(SetSparse(file.handle), STATUS_SUCCESS);
            break;
        }
        FILE_STANDARD_INFORMATION info{};
        ASSERT_EQ(Standard(file.handle, &info), STATUS_SUCCESS);
        ASSERT_EQ(info.EndOfFile.QuadPart, (LONGLONG)model.size()) << "step " << step;
        if (step % 50 == 0) {
            ASSERT_EQ(HostBytes("model"), model) << "step " << step;
        }
    }
    EXPECT_EQ(HostBytes("model"), model);
    IO_STATUS_BLOCK iosb{};
    FILE_BASIC_INFORMATION basic{};
    EXPECT_EQ(ZwQueryInformationFile(file.handle, &iosb, &basic, sizeof(basic), FileBasicInformation),
              STATUS_SUCCESS);
    EXPECT_NE(basic.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE, 0u);
    EXPECT_EQ(ZwClose(file.handle), STATUS_SUCCESS);
}

TEST_F(HostFsTest, ZeroingPunchesHolesInWholeBlocks)
{
    Opened file = Open("sparse", FILE_OVERWRITE_IF);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    ASSERT_EQ(SetSparse(file.handle), STATUS_SUCCESS);
    Bytes data(4u << 20, 0x5A);
    ASSERT_EQ(Write(file.handle, 0, data.data(), (ULONG)data.size()), STATUS_SUCCESS);
    ASSERT_EQ(Flush(file.handle), STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION before{}, after{};
    ASSERT_EQ(Standard(file.handle, &before), STATUS_SUCCESS);
    ASSERT_EQ(ZeroData(file.handle, 1u << 20, 3u << 20), STATUS_SUCCESS);
    ASSERT_EQ(Standard(file.handle, &after), STATUS_SUCCESS);
    EXPECT_EQ(after.EndOfFile.QuadPart, before.EndOfFile.QuadPart);
    // Where the file system punches holes, the blocks go back (tmpfs and ext4 both do).
    EXPECT_LE(after.AllocationSize.QuadPart, before.AllocationSize.QuadPart - (LONGLONG)(2u << 20));
    Bytes bytes = HostBytes("sparse");
    ASSERT_EQ(bytes.size(), data.size());
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), 0), (std::ptrdiff_t)(2u << 20));
    ZwClose(file.handle);
}

TEST_F(HostFsTest, TheFilePointerMovesWithSynchronousTransfers)
{
    Opened file = Open("pointer", FILE_OVERWRITE_IF);
    ASSERT_EQ(file.status, STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    // No offset: at the file pointer, which advances.
    ASSERT_EQ(ZwWriteFile(file.handle, nullptr, nullptr, nullptr, &iosb, (PVOID) "hello", 5, nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(ZwWriteFile(file.handle, nullptr, nullptr, nullptr, &iosb, (PVOID) "world", 5, nullptr, nullptr),
              STATUS_SUCCESS);
    FILE_POSITION_INFORMATION position{};
    ASSERT_EQ(ZwQueryInformationFile(file.handle, &iosb, &position, sizeof(position), FilePositionInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, 10);
    // Written at the end of file whatever the pointer.
    LARGE_INTEGER end;
    end.HighPart = -1;
    end.LowPart = FILE_WRITE_TO_END_OF_FILE;
    ASSERT_EQ(ZwWriteFile(file.handle, nullptr, nullptr, nullptr, &iosb, (PVOID) "!", 1, &end, nullptr),
              STATUS_SUCCESS);
    position.CurrentByteOffset.QuadPart = 5;
    ASSERT_EQ(ZwSetInformationFile(file.handle, &iosb, &position, sizeof(position), FilePositionInformation),
              STATUS_SUCCESS);
    char text[16] = {};
    ASSERT_EQ(ZwReadFile(file.handle, nullptr, nullptr, nullptr, &iosb, text, sizeof(text), nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(std::string(text), "world!");
    EXPECT_EQ(ZwReadFile(file.handle, nullptr, nullptr, nullptr, &iosb, text, sizeof(text), nullptr, nullptr),
              STATUS_END_OF_FILE);
    // Allocation: less than the end of file cuts it, more keeps the size.
    FILE_ALLOCATION_INFORMATION allocation{};
    allocation.AllocationSize.QuadPart = 1u << 20;
    EXPECT_EQ(ZwSetInformationFile(file.handle, &iosb, &allocation, sizeof(allocation), FileAllocationInformation),
              STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION standard{};
    ASSERT_EQ(Standard(file.handle, &standard), STATUS_SUCCESS);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 11);
    FILE_NETWORK_OPEN_INFORMATION network{};
    ASSERT_EQ(ZwQueryInformationFile(file.handle, &iosb, &network, sizeof(network), FileNetworkOpenInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(network.EndOfFile.QuadPart, 11);
    EXPECT_GE(network.AllocationSize.QuadPart, 1 << 20);
    EXPECT_NE(network.LastWriteTime.QuadPart, 0);
    // A handle without write access writes nothing.
    Opened reader = Open("pointer", FILE_OPEN, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_EQ(reader.status, STATUS_SUCCESS);
    EXPECT_EQ(Write(reader.handle, 0, "x", 1), STATUS_ACCESS_DENIED);
    ZwClose(reader.handle);
    EXPECT_EQ(HostBytes("pointer"), (Bytes{'h', 'e', 'l', 'l', 'o', 'w', 'o', 'r', 'l', 'd', '!'}));
    allocation.AllocationSize.QuadPart = 5;
    EXPECT_EQ(ZwSetInformationFile(file.handle, &iosb, &allocation, sizeof(allocation), FileAllocationInformation),
              STATUS_SUCCESS);
    ZwClose(file.handle);
    EXPECT_EQ(HostBytes("pointer"), (Bytes{'h', 'e', 'l', 'l', 'o'}));
}

TEST_F(HostFsTest, UnbufferedTransfersMoveWholeSectorsOnly)
{
    for (uint32_t sector : {512u, 4096u}) {
        ASSERT_TRUE(machine::SetHostDriveSectorSize(u'H', sector));
        Opened file = Open("unbuffered", FILE_OVERWRITE_IF, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | FILE_NO_INTERMEDIATE_BUFFERING);
        ASSERT_EQ(file.status, STATUS_SUCCESS);
        void *memory = ExAllocatePoolWithTag(NonPagedPoolNx, 3 * 8192, POOL_TAG('H', 'f', 's', 't'));
        ASSERT_NE(memory, nullptr);
        auto *aligned = reinterpret_cast<unsigned char *>(((ULONG_PTR)memory + 8191) & ~(ULONG_PTR)8191);
        memset(aligned, 0x33, 8192);
        EXPECT_EQ(Write(file.handle, 0, aligned, 2 * sector), STATUS_SUCCESS) << sector;
        EXPECT_EQ(Write(file.handle, sector / 2, aligned, sector), STATUS_INVALID_PARAMETER) << sector;
        EXPECT_EQ(Write(file.handle, sector, aligned, sector - 1), STATUS_INVALID_PARAMETER) << sector;
        EXPECT_EQ(Write(file.handle, sector, aligned + 8, sector), STATUS_INVALID_PARAMETER) << sector;
        EXPECT_EQ(Read(file.handle, 0, aligned, sector + 1), STATUS_INVALID_PARAMETER) << sector;
        EXPECT_EQ(Read(file.handle, 1, aligned, sector), STATUS_INVALID_PARAMETER) << sector;
        ULONG_PTR moved = 0;
        // A read of whole sectors across the end returns what is there.
        EXPECT_EQ(Read(file.handle, sector, aligned, 2 * sector, &moved), STATUS_SUCCESS) << sector;
        EXPECT_EQ(moved, sector);
        IO_STATUS_BLOCK iosb{};
        FILE_POSITION_INFORMATION position{};
        position.CurrentByteOffset.QuadPart = sector / 2;
        EXPECT_EQ(ZwSetInformationFile(file.handle, &iosb, &position, sizeof(position), FilePositionInformation),
                  STATUS_INVALID_PARAMETER);
        ExFreePoolWithTag(memory, POOL_TAG('H', 'f', 's', 't'));
        ZwClose(file.handle);
        EXPECT_EQ(HostBytes("unbuffered").size(), 2 * sector);
    }
}
