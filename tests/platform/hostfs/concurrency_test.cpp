/*
 * Several threads open, write, flush, rename away and delete host files at once, one
 * file shared by all of them, while the fault injector logs every change: the shared
 * file's share state and undo log stay whole and each thread's bytes land where it put them.
 */
#include "hostfs_fixture.h"

#include <atomic>
#include <thread>

using namespace hftest;

TEST_F(HostFsTest, ThreadsShareFilesAndTheInjectorWithoutLosingAWrite)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    constexpr ULONG kBlock = 4096;
    machine::ArmHostFileFault(machine::HostFileFault::Die, UINT64_MAX);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Bytes block(kBlock, (unsigned char)('a' + t));
            std::string own = "own" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                Opened common = Open("common", FILE_OPEN_IF, GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE);
                Opened mine = Open(own, FILE_OVERWRITE_IF, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ);
                if (!NT_SUCCESS(common.status) || !NT_SUCCESS(mine.status)) {
                    ++failures;
                    break;
                }
                if (Write(common.handle, (uint64_t)(round * kThreads + t) * kBlock, block.data(), kBlock) !=
                        STATUS_SUCCESS ||
                    Write(mine.handle, 0, block.data(), kBlock) != STATUS_SUCCESS ||
                    (round % 5 == 0 && Flush(common.handle) != STATUS_SUCCESS))
                    ++failures;
                if (round % 7 == 0) {
                    FILE_DISPOSITION_INFORMATION remove{TRUE};
                    IO_STATUS_BLOCK iosb{};
                    if (ZwSetInformationFile(mine.handle, &iosb, &remove, sizeof(remove),
                                             FileDispositionInformation) != STATUS_SUCCESS)
                        ++failures;
                }
                ZwClose(mine.handle);
                ZwClose(common.handle);
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    // Every write of every thread was counted: two a round, and a flush every fifth.
    EXPECT_GE(machine::HostFileOperations(), (uint64_t)(kThreads * (kRounds * 2 + kRounds / 5)));
    machine::DisarmHostFileFaults();
    Bytes bytes = HostBytes("common");
    ASSERT_EQ(bytes.size(), (size_t)kThreads * kRounds * kBlock);
    for (int slot = 0; slot < kThreads * kRounds; ++slot)
        EXPECT_EQ(bytes[(size_t)slot * kBlock], (unsigned char)('a' + slot % kThreads)) << slot;
}
