/*
 * The auto-mount at driver start: stored, non-manual configurations are mounted
 * (and again after a reload of the driver, with what was saved); an image on a
 * disk that comes later is mounted when the disk arrives, not at the next retry;
 * a path that never comes is given up after the deadline with its status.
 */
#include "boot_config_test.h"

TEST_F(BootConfigTest, ConfiguredVolumesMountAtStartAndManualOrCorruptOnesDoNot)
{
    auto plain = Entry('A', VOREL_BOOT_NO_RECYCLE);
    plain->CompressionLevel = 2;
    Put(plain->Label, "Boot");
    Put(plain->InitialFolders, "x\ny/z");
    ASSERT_EQ(Set(*plain), STATUS_SUCCESS);
    ASSERT_EQ(Set(*Entry('B', VOREL_BOOT_MANUAL_MOUNT)), STATUS_SUCCESS);
    ULONG flags = 0;
    WriteServiceValue("Parameters\\Volumes\\C", "Flags", REG_DWORD, &flags, sizeof(flags));
    // Stored, not mounted: the next start mounts it.
    EXPECT_FALSE(Online('A'));

    Reload();
    ASSERT_TRUE(WaitOnline('A'));
    LetTimePass(130);
    EXPECT_FALSE(Online('B'));
    EXPECT_FALSE(Online('C'));
    auto list = Query();
    ASSERT_EQ(list->Count, 3u);
    EXPECT_EQ(Find(*list, 'A')->Mounted, 1u);
    EXPECT_EQ(Find(*list, 'A')->AutoMountStatus, 0u);
    EXPECT_EQ(Find(*list, 'B')->Mounted, 0u);
    EXPECT_EQ(Find(*list, 'B')->AutoMountStatus, 0u);
    EXPECT_EQ(Find(*list, 'C')->AutoMountStatus, (ULONG)STATUS_FILE_CORRUPT_ERROR);
    auto volumes = List();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].CompressionLevel, 2u);
    EXPECT_EQ(volumes[0].Flags, (ULONG)VOREL_CREATE_NO_RECYCLE);
    EXPECT_EQ(Narrow((const char16_t *)volumes[0].Label, VOREL_LABEL_UNITS), "Boot");
    HANDLE handle;
    ASSERT_EQ(OpenOn('A', "\\y\\z", FILE_OPEN, &handle), STATUS_SUCCESS);
    ZwClose(handle);

    // Deleting the configuration leaves the volume mounted; the next start does not mount it.
    EXPECT_EQ(Delete('A'), STATUS_SUCCESS);
    EXPECT_TRUE(Online('A'));
    Reload();
    LetTimePass(10);
    EXPECT_FALSE(Online('A'));
}

TEST_F(BootConfigTest, AStoreOfALaterVersionMountsNothing)
{
    ASSERT_EQ(Set(*Entry('A', 0)), STATUS_SUCCESS);
    ULONG version = 2;
    WriteServiceValue("Parameters\\Volumes", "ConfigVersion", REG_DWORD, &version, sizeof(version));
    Reload();
    LetTimePass(130);
    EXPECT_FALSE(Online('A'));
    EXPECT_EQ(AutoMountStatus('A'), 0u);
}

TEST_F(BootConfigTest, ReloadMountsTheSavedImageAgain)
{
    ASSERT_EQ(Set(*Entry('A', VOREL_BOOT_AUTO_SAVE, 64 * kMiB, "H:\\a.img")), STATUS_SUCCESS);
    Reload();
    ASSERT_TRUE(WaitOnline('A'));
    ASSERT_EQ(WriteOn('A', "\\kept.txt", "kept across"), STATUS_SUCCESS);
    // The unload's dismount saves the volume, as its configuration asks.
    Reload();
    ASSERT_TRUE(WaitOnline('A'));
    EXPECT_EQ(ReadOn('A', "\\kept.txt"), "kept across");
}

TEST_F(BootConfigTest, AnImageOnADiskThatArrivesLaterMountsAtTheArrival)
{
    std::string later = Directory() + "/later";
    ASSERT_EQ(mkdir(later.c_str(), 0700), 0);
    ASSERT_EQ(Set(*Entry('A', 0, 64 * kMiB, "J:\\a.img")), STATUS_SUCCESS);
    Reload();
    double start = Seconds();
    // Between two retries (every 5 s) the disk comes.
    LetTimePass(32.5);
    EXPECT_FALSE(Online('A'));
    EXPECT_EQ(AutoMountStatus('A'), 0u);
    ASSERT_EQ(machine::AddHostDrive(u'J', later), STATUS_SUCCESS);
    ASSERT_TRUE(WaitOnline('A'));
    EXPECT_LT(Seconds() - start, 34.0);
    EXPECT_EQ(AutoMountStatus('A'), 0u);
}

TEST_F(BootConfigTest, APathThatNeverComesIsGivenUpAfterTheDeadline)
{
    ASSERT_EQ(Set(*Entry('A', 0, 64 * kMiB, "H:\\missing\\a.img")), STATUS_SUCCESS);
    Reload();
    LetTimePass(100);
    EXPECT_EQ(AutoMountStatus('A'), 0u);
    LetTimePass(30);
    EXPECT_EQ(AutoMountStatus('A'), (ULONG)STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_FALSE(Online('A'));
}
