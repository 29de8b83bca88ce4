/*
 * The saves the boot configuration asks for: periodic saves at each letter's
 * period (clamped to 5 s .. a day), counted by the image's generation on the
 * auto-advancing clock; a remounted volume whose period starts again; the saves
 * at shutdown (once) and before a dismount, and a dismount whose save fails,
 * which keeps the volume rather than lose its data.
 */
#include "boot_config_test.h"

#include <atomic>
#include <fstream>

namespace {

/* A periodic configuration whose stored period is written by hand (a set refuses these). */
void StorePeriod(char letter, ULONG period)
{
    std::string key = std::string("Parameters\\Volumes\\") + letter;
    WriteServiceValue(key.c_str(), "AutoSavePeriodSec", REG_DWORD, &period, sizeof(period));
}

} // namespace

TEST_F(BootConfigTest, PeriodicSavesKeepTheirClampedPeriods)
{
    ASSERT_EQ(Set(*Entry('A', 0x14, 64 * kMiB, "H:\\a.img", 3600)), STATUS_SUCCESS);
    ASSERT_EQ(Set(*Entry('B', 0x14, 64 * kMiB, "H:\\b.img", 60)), STATUS_SUCCESS);
    ASSERT_EQ(Set(*Entry('D', 0x14, 64 * kMiB, "H:\\d.img", 60)), STATUS_SUCCESS);
    StorePeriod('B', 1);
    StorePeriod('D', 100000);
    Reload();
    ASSERT_TRUE(WaitOnline('A') && WaitOnline('B') && WaitOnline('D'));
    ULONGLONG a = Generation('A'), b = Generation('B'), d = Generation('D');

    LetTimePass(62);
    EXPECT_EQ(Generation('B') - b, 12u);
    EXPECT_EQ(Generation('A'), a);
    ASSERT_EQ(Dismount('B'), STATUS_SUCCESS);
    // A day: one save an hour, and the clamped period's one save.
    LetTimePass(86400);
    EXPECT_EQ(Generation('A') - a, 24u);
    EXPECT_EQ(Generation('D') - d, 1u);
}

TEST_F(BootConfigTest, ARemountedVolumeIsNotSavedAtOnceItsPeriodRestarts)
{
    ASSERT_EQ(Set(*Entry('A', 0x14, 64 * kMiB, "H:\\a.img", 60)), STATUS_SUCCESS);
    Reload();
    ASSERT_TRUE(WaitOnline('A'));
    LetTimePass(50);
    ASSERT_EQ(Dismount('A'), STATUS_SUCCESS);
    ASSERT_EQ(CreateImaged('A', "H:\\a.img"), STATUS_SUCCESS);
    ULONGLONG remounted = Generation('A');
    // The old volume's save would have been due at 60 s.
    LetTimePass(30);
    EXPECT_EQ(Generation('A'), remounted);
    LetTimePass(35);
    EXPECT_EQ(Generation('A'), remounted + 1);
}

TEST_F(BootConfigTest, ShutdownSavesOnceAndOnlyTheConfiguredVolumes)
{
    ASSERT_EQ(Set(*Entry('A', VOREL_BOOT_AUTO_SAVE, 64 * kMiB, "H:\\a.img")), STATUS_SUCCESS);
    ASSERT_EQ(CreateImaged('A', "H:\\a.img"), STATUS_SUCCESS);
    ASSERT_EQ(CreateImaged('B', "H:\\b.img"), STATUS_SUCCESS);
    ULONGLONG a = Generation('A'), b = Generation('B');
    machine::SystemShutdown();
    EXPECT_EQ(Generation('A'), a + 1);
    EXPECT_EQ(Generation('B'), b);
    machine::SystemShutdown();
    EXPECT_EQ(Generation('A'), a + 1);
    // The volumes stay mounted: the system is going away.
    EXPECT_TRUE(Online('A') && Online('B'));
}

TEST_F(BootConfigTest, ShutdownWaitsAMinuteForAVolumeHeldByAnotherOperation)
{
    for (char letter : {'A', 'B'}) {
        std::string image = std::string("H:\\") + letter + ".img";
        ASSERT_EQ(Set(*Entry(letter, VOREL_BOOT_AUTO_SAVE, 64 * kMiB, image)), STATUS_SUCCESS);
        ASSERT_EQ(CreateImaged(letter, image), STATUS_SUCCESS);
    }
    ULONGLONG a = Generation('A'), b = Generation('B');
    auto setState = [&](char letter, ULONG state) {
        KIRQL irql;
        KeAcquireSpinLock(&d->Data->VolumeListLock, &irql);
        for (PLIST_ENTRY e = d->Data->VolumeList.Flink; e != &d->Data->VolumeList; e = e->Flink) {
            auto *vdr = CONTAINING_RECORD(e, VOLUME_DEVICE_RECORD, ListLinks);
            if (vdr->Letter == (WCHAR)letter)
                vdr->State = state;
        }
        KeReleaseSpinLock(&d->Data->VolumeListLock, irql);
    };
    // Both are held (Busy); A is let go after 30 s, B never.
    setState('A', 3);
    setState('B', 3);
    PKTHREAD shutdown = StartThread([] { machine::SystemShutdown(); });
    LetTimePass(30);
    setState('A', 1);
    double released = Seconds();
    JoinThread(shutdown);
    EXPECT_GE(Seconds() - released, 60.0) << "B was waited for";
    setState('B', 1);
    EXPECT_EQ(Generation('A'), a + 1);
    EXPECT_EQ(Generation('B'), b);
}

TEST_F(BootConfigTest, DismountSavesFirstAndKeepsTheVolumeWhenTheSaveFails)
{
    ASSERT_EQ(Set(*Entry('A', VOREL_BOOT_AUTO_SAVE, 64 * kMiB, "H:\\a.img")), STATUS_SUCCESS);
    ASSERT_EQ(CreateImaged('A', "H:\\a.img"), STATUS_SUCCESS);
    ASSERT_EQ(CreateImaged('B', "H:\\b.img"), STATUS_SUCCESS);
    ASSERT_EQ(WriteOn('A', "\\f.txt", "configured"), STATUS_SUCCESS);
    ASSERT_EQ(WriteOn('B', "\\f.txt", "not configured"), STATUS_SUCCESS);

    // The save fails: the volume stays, usable, with its data.
    machine::ArmHostFileFault(machine::HostFileFault::FailDeviceError, 1);
    EXPECT_EQ(Dismount('A'), STATUS_IO_DEVICE_ERROR);
    machine::DisarmHostFileFaults();
    EXPECT_TRUE(Online('A'));
    EXPECT_EQ(ReadOn('A', "\\f.txt"), "configured");

    ASSERT_EQ(Dismount('A'), STATUS_SUCCESS);
    ASSERT_EQ(Dismount('B'), STATUS_SUCCESS);
    ASSERT_EQ(CreateImaged('A', "H:\\a.img"), STATUS_SUCCESS);
    ASSERT_EQ(CreateImaged('B', "H:\\b.img"), STATUS_SUCCESS);
    EXPECT_EQ(ReadOn('A', "\\f.txt"), "configured");
    EXPECT_EQ(ReadOn('B', "\\f.txt"), "<missing>");

    // The unload dismounts whatever its save does.
    machine::ArmHostFileFault(machine::HostFileFault::Die, 1);
    EXPECT_EQ(UnloadDriver(), STATUS_SUCCESS);
    machine::DisarmHostFileFaults();
}

TEST_F(BootConfigTest, AShutdownSaveRacingAWriterLeavesALoadableImage)
{
    ASSERT_EQ(Set(*Entry('A', VOREL_BOOT_AUTO_SAVE, 64 * kMiB, "H:\\a.img")), STATUS_SUCCESS);
    ASSERT_EQ(CreateImaged('A', "H:\\a.img"), STATUS_SUCCESS);
    // Every block of the file is filled with its own number, written whole.
    constexpr ULONG kBlock = 16384;
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, written{0};
    PKTHREAD writer = StartThread([&] {
        HANDLE file;
        if (OpenOn('A', "\\log.bin", FILE_OVERWRITE_IF, &file) != STATUS_SUCCESS) {
            wrong++;
            return;
        }
        std::vector<UCHAR> block(kBlock);
        for (ULONG i = 0; !stop && i < 2000; ++i) {
            std::fill(block.begin(), block.end(), (UCHAR)(i % 251));
            IO_STATUS_BLOCK iosb{};
            LARGE_INTEGER at;
            at.QuadPart = (LONGLONG)(i % 256) * kBlock;
            if (ZwWriteFile(file, nullptr, nullptr, nullptr, &iosb, block.data(), kBlock, &at, nullptr) !=
                STATUS_SUCCESS)
                wrong++;
            written++;
        }
        ZwClose(file);
    });
    // The save meets the writer in full flow.
    while (written < 8 && wrong == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    machine::SystemShutdown();
    stop = true;
    JoinThread(writer);
    EXPECT_EQ(wrong, 0);

    // What the shutdown saved, copied aside before anything saves again, loads whole.
    std::ifstream in(Directory() + "/a.img", std::ios::binary);
    std::ofstream(Directory() + "/copy.img", std::ios::binary) << in.rdbuf();
    ASSERT_EQ(CreateImaged('D', "H:\\copy.img"), STATUS_SUCCESS);
    std::string saved = ReadOn('D', "\\log.bin");
    ASSERT_NE(saved, "<missing>");
    EXPECT_EQ(saved.size() % kBlock, 0u);
    for (size_t at = 0; at < saved.size(); at += kBlock)
        EXPECT_GE(saved.find_first_not_of(saved[at], at), at + kBlock) << "block " << at / kBlock;
}
