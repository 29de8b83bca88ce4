/*
 * When hives reach their files: the lazy writer puts changes on disk within a
 * moment, retries what failed, and leaves the machine's clock alone; FlushRegistry
 * writes at once and says what it could not; a failed final write is known.
 */
#include "hive_test.h"

#include <chrono>
#include <thread>

namespace {

namespace fs = std::filesystem;

/* Waits, on host time and for at most 30 seconds, until the file holds the bytes. */
bool WaitForFileToHold(const std::string &path, const std::string &bytes)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (FileBytes(path).find(bytes) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return FileBytes(path).find(bytes) != std::string::npos;
}

class RegistryLazyWriteTest : public RegistryFilesTest {
protected:
    RegistryLazyWriteTest() { lazyWriteMilliseconds_ = 50; }
};

TEST_F(RegistryLazyWriteTest, ChangesReachTheDiskUnaskedAndAFailedWriteIsRetried)
{
    Key vorel, statistics;
    ASSERT_EQ(CreateKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(vorel.get(), u"AllowUserAccess", 0), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(statistics, u"Statistics", REG_OPTION_VOLATILE, vorel.get()), STATUS_SUCCESS);
    EXPECT_TRUE(WaitForFileToHold(Hive(), Utf16Bytes(u"AllowUserAccess")));
    EXPECT_TRUE(WaitForFileToHold(VolatileHive(), Utf16Bytes(u"Statistics")));

    machine::ArmFault("RegistryLazyWrite", 1, true);
    ASSERT_EQ(SetDword(vorel.get(), u"Retried", 1), STATUS_SUCCESS);
    for (int i = 0; i < 3000 && machine::FaultsInjected("RegistryLazyWrite") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(machine::FaultsInjected("RegistryLazyWrite"), 2u) << "tried again after a failure";
    machine::DisarmFaults();
    EXPECT_TRUE(WaitForFileToHold(Hive(), Utf16Bytes(u"Retried")));
}

TEST_F(RegistryLazyWriteTest, TheLazyWriterNeitherHoldsNorFollowsAnAutoAdvancingClock)
{
    Shutdown();
    machine::Config config = BootConfig();
    config.clock = machine::ClockMode::AutoAdvance;
    machine::Boot(config);
    Key vorel;
    ASSERT_EQ(CreateKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
    // The writer waits out its delay; every machine thread is waiting, so the clock jumps.
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER day = RelativeMs(24ll * 3600 * 1000);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &day), STATUS_TIMEOUT);
    EXPECT_TRUE(WaitForFileToHold(Hive(), Utf16Bytes(u"vorel"))) << "written on host time";
}

using RegistryFlushTest = RegistryFilesTest;

TEST_F(RegistryFlushTest, FlushRegistryWritesNowAndAFailedFinalWriteIsKnownAfterShutdown)
{
    Key vorel, lost;
    ASSERT_EQ(CreateKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
    EXPECT_TRUE(machine::FlushRegistry());
    EXPECT_NE(ReadFile(Hive()).find(Utf16Bytes(u"vorel")), std::string::npos);

    ASSERT_TRUE(fs::create_directory(Hive() + ".tmp")); /* no write can clear this name */
    ASSERT_EQ(CreateKey(lost, SERVICES u"\\lost"), STATUS_SUCCESS);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(machine::FlushRegistry());
    EXPECT_NE(testing::internal::GetCapturedStderr().find(Hive() + ".tmp: "), std::string::npos);
    vorel.Close();
    lost.Close();
    testing::internal::CaptureStderr();
    Shutdown();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("shutdown could not write"), std::string::npos);
    EXPECT_FALSE(machine::RegistryWrittenAtShutdown());

    fs::remove(Hive() + ".tmp");
    machine::Boot(BootConfig());
    EXPECT_TRUE(machine::RegistryWrittenAtShutdown()) << "a boot starts afresh";
    EXPECT_EQ(OpenKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
    EXPECT_EQ(OpenKey(lost, SERVICES u"\\lost"), STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
