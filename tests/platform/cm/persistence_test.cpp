/*
 * Hives: persistent keys outlive a restart of the machine, volatile keys outlive it
 * while the runtime directory is kept, a write cut short leaves the previous hive,
 * damaged hives are set aside, and one machine at a time owns a state directory.
 */
#include "hive_test.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

using RegistryPersistenceTest = RegistryFilesTest;

TEST_F(RegistryPersistenceTest, PersistentKeysOutliveARebootAndVolatileKeysOnlyARestart)
{
    std::string before;
    {
        Key vorel, parameters, statistics, volumes;
        ASSERT_EQ(CreateKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(parameters, u"Parameters", 0, vorel.get()), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(volumes, u"Volumes", 0, parameters.get()), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(statistics, u"VolatileStatistics", REG_OPTION_VOLATILE, vorel.get()), STATUS_SUCCESS);
        const WCHAR label[] = L"RAM\0disk";
        ULONGLONG size = 1ull << 40;
        ASSERT_EQ(SetValue(parameters.get(), u"Label", REG_SZ, label, sizeof(label)), STATUS_SUCCESS);
        ASSERT_EQ(SetValue(parameters.get(), u"SizeBytes", REG_QWORD, &size, sizeof(size)), STATUS_SUCCESS);
        ASSERT_EQ(SetValue(parameters.get(), u"", REG_NONE, nullptr, 0), STATUS_SUCCESS);
        ASSERT_EQ(SetDword(vorel.get(), u"Start", 3), STATUS_SUCCESS);
        ASSERT_EQ(SetDword(statistics.get(), u"Mounts", 9), STATUS_SUCCESS);
        before = Dump(vorel.get());
    }
    Restart();
    {
        Key vorel, statistics, child;
        ASSERT_EQ(OpenKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
        EXPECT_EQ(Dump(vorel.get()), before);
        ASSERT_EQ(OpenKey(statistics, u"VolatileStatistics", vorel.get()), STATUS_SUCCESS);
        EXPECT_EQ(CreateKey(child, u"Stable", 0, statistics.get()), STATUS_CHILD_MUST_BE_VOLATILE)
            << "still volatile after the restart";
    }
    Reboot();
    Key vorel, statistics;
    ASSERT_EQ(OpenKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
    EXPECT_EQ(OpenKey(statistics, u"VolatileStatistics", vorel.get()), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(SubkeyNames(vorel.get()), std::vector<std::string>{"Parameters"});
    EXPECT_EQ(QueryValue(vorel.get(), u"Start").data, (std::vector<uint8_t>{3, 0, 0, 0}));
}

TEST(RegistryMemoryOnlyTest, WithoutDirectoriesNothingOutlivesTheMachine)
{
    machine::Boot();
    {
        Key vorel;
        ASSERT_EQ(CreateKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
        EXPECT_EQ(ZwFlushKey(vorel.get()), STATUS_SUCCESS);
    }
    EXPECT_TRUE(machine::Shutdown().Clean());
    machine::Boot();
    Key vorel;
    EXPECT_EQ(OpenKey(vorel, SERVICES u"\\vorel"), STATUS_OBJECT_NAME_NOT_FOUND);
    vorel.Close();
    EXPECT_TRUE(machine::Shutdown().Clean());
}

TEST_F(RegistryPersistenceTest, AWriteCutShortLeavesTheLastFlushedHive)
{
    std::string flushed;
    {
        Key vorel;
        ASSERT_EQ(CreateKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
        ASSERT_EQ(SetDword(vorel.get(), u"Flushed", 1), STATUS_SUCCESS);
        machine::ArmFault("RegistryHiveWrite", 1);
        EXPECT_EQ(ZwFlushKey(vorel.get()), STATUS_REGISTRY_IO_FAILED);
        machine::DisarmFaults();
        EXPECT_FALSE(fs::exists(Hive()));
        ASSERT_EQ(ZwFlushKey(vorel.get()), STATUS_SUCCESS) << "the hive stays dirty after a failed write";
        flushed = ReadFile(Hive());
        ASSERT_FALSE(flushed.empty());
        ASSERT_EQ(SetDword(vorel.get(), u"Unflushed", 2), STATUS_SUCCESS);
    }
    machine::ArmFault("RegistryHiveWrite", 1);
    testing::internal::CaptureStderr();
    Shutdown(); /* the shutdown write dies half way through its temporary file */
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("registry.hive"), std::string::npos) << log;
    EXPECT_EQ(ReadFile(Hive()), flushed);
    EXPECT_TRUE(fs::exists(Hive() + ".tmp"));

    machine::Boot(BootConfig());
    EXPECT_FALSE(fs::exists(Hive() + ".tmp")) << "the leftover of the cut write is removed";
    Key vorel;
    ASSERT_EQ(OpenKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
    EXPECT_EQ(ValueNames(vorel.get()), std::vector<std::string>{"Flushed"});
}

TEST_F(RegistryPersistenceTest, DamagedHivesAreSetAsideAndTheMachineStartsWithoutThem)
{
    {
        Key vorel, statistics;
        ASSERT_EQ(CreateKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(statistics, u"VolatileStatistics", REG_OPTION_VOLATILE, vorel.get()), STATUS_SUCCESS);
    }
    Shutdown();
    const std::string good = ReadFile(Hive());
    const std::string volatileHive = VolatileHive();
    ASSERT_FALSE(ReadFile(volatileHive).empty());

    std::string flipped = good;
    flipped[flipped.size() - 3] ^= 0x40;
    struct Case {
        const char *what;
        std::string path;
        std::string bytes;
    } cases[] = {
        {"a flipped payload bit", Hive(), flipped},
        {"a truncated file", Hive(), good.substr(0, good.size() - 5)},
        {"a stranger's file", Hive(), std::string("VORELREG") + std::string(40, '\0')},
        {"a persistent hive in the volatile place", volatileHive, good},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(Hive(), good);
        WriteFile(c.path, c.bytes);
        testing::internal::CaptureStderr();
        machine::Boot(BootConfig());
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("is damaged"), std::string::npos) << log;
        EXPECT_EQ(ReadFile(c.path + ".corrupt"), c.bytes) << "the damaged file is kept, not dropped";
        EXPECT_FALSE(fs::exists(c.path));
        {
            Key vorel, services;
            bool persistentLost = c.path == Hive();
            EXPECT_EQ(OpenKey(vorel, SERVICES u"\\vorel"),
                      persistentLost ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS);
            EXPECT_EQ(OpenKey(services, SERVICES), STATUS_SUCCESS) << "the predefined keys are always there";
            if (!persistentLost) {
                EXPECT_EQ(SubkeyNames(vorel.get()).size(), 0u) << "the volatile hive started empty";
            }
        }
        Shutdown();
        fs::remove(c.path + ".corrupt");
    }
}

TEST_F(RegistryPersistenceTest, KeysNestAtMost512LevelsDeepAndDeeperHivesAreDamaged)
{
    // \REGISTRY\MACHINE\SOFTWARE is the third level; "Nest" keys go down to the 512th.
    std::u16string path = u"\\Registry\\Machine\\Software";
    for (int depth = 4; depth <= 512; ++depth) {
        path += u"\\Nest";
        Key key;
        ASSERT_EQ(CreateKey(key, path.c_str()), STATUS_SUCCESS) << depth;
    }
    Key deepest, tooDeep;
    ASSERT_EQ(OpenKey(deepest, path.c_str()), STATUS_SUCCESS);
    ULONG disposition = 0;
    EXPECT_EQ(CreateKey(tooDeep, u"Nest", 0, deepest.get(), &disposition), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(CreateKey(tooDeep, u"Nest", REG_OPTION_VOLATILE, deepest.get()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(disposition, 0u);
    ASSERT_EQ(SetDword(deepest.get(), u"Level", 512), STATUS_SUCCESS);
    deepest.Close();
    Restart();
    ASSERT_EQ(OpenKey(deepest, path.c_str()), STATUS_SUCCESS);
    EXPECT_EQ(QueryValue(deepest.get(), u"Level").data, (std::vector<uint8_t>{0, 2, 0, 0}));
    deepest.Close();
    Shutdown();

    // Hand-made hives that nest deeper, by one level or by a hundred thousand.
    auto chain = [](uint32_t records, bool isVolatile) {
        HiveImage image;
        if (isVolatile)
            image.AddKey(0xFFFFFFFF, u"Nest", true, u"MACHINE\\SOFTWARE"); /* the fourth level */
        else
            image.AddKey(0xFFFFFFFF, u"REGISTRY", false);
        while (image.count < records)
            image.AddKey(image.count - 1, u"Nest", isVolatile);
        return image.File(isVolatile ? 2 : 1);
    };
    for (auto [path, bytes] : {std::pair{Hive(), chain(513, false)}, std::pair{Hive(), chain(100000, false)},
                               std::pair{VolatileHive(), chain(510, true)}}) {
        WriteFile(path, bytes);
        testing::internal::CaptureStderr();
        machine::Boot(BootConfig());
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_NE(log.find("nests deeper than 512 levels"), std::string::npos) << log;
        EXPECT_EQ(ReadFile(path + ".corrupt"), bytes);
        Key software;
        ASSERT_EQ(OpenKey(software, u"\\Registry\\Machine\\Software"), STATUS_SUCCESS);
        EXPECT_TRUE(SubkeyNames(software.get()).empty());
        software.Close();
        Shutdown();
        fs::remove(path + ".corrupt");
    }
}

TEST_F(RegistryPersistenceTest, AVolatileKeyWhoseParentWentWithThePersistentHiveIsDropped)
{
    {
        Key vorel, statistics;
        ASSERT_EQ(CreateKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(statistics, u"VolatileStatistics", REG_OPTION_VOLATILE, vorel.get()), STATUS_SUCCESS);
    }
    Shutdown();
    fs::remove(Hive());
    testing::internal::CaptureStderr();
    machine::Boot(BootConfig());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("VolatileStatistics has no place"), std::string::npos) << log;
    Key services;
    ASSERT_EQ(OpenKey(services, SERVICES), STATUS_SUCCESS);
    EXPECT_TRUE(SubkeyNames(services.get()).empty());
}

TEST_F(RegistryPersistenceTest, OneMachineAtATimeOwnsTheStateDirectory)
{
    const std::string lockPath = base_ + "/state/registry.lock";
    int fd = open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0) << "the running machine holds the lock";
    Shutdown();
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "shutdown releases it";

    // Another owner (a tool editing the hive) holds it now: a boot refuses to run.
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_DEATH(machine::Boot(BootConfig()), "registry.lock is held by another machine or tool");
    close(fd);
}

} // namespace
