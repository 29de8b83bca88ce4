/*
 * Driver modules: load, unload and reload the driver with nothing left behind, and
 * a failing start-up at every allocation leaves nothing loaded and nothing allocated.
 */
#include "driver_test.h"

namespace {

using LoaderTest = DriverTest;

TEST_F(LoaderTest, LoadUnloadReloadLeavesAnEmptyPool)
{
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
        ASSERT_TRUE(machine::IsDriverLoaded(kService));
        const VOREL_DIAGNOSTICS *diagnostics = Diagnostics();
        ASSERT_NE(diagnostics, nullptr);
        EXPECT_EQ(diagnostics->Size, sizeof(VOREL_DIAGNOSTICS));
        EXPECT_NE(diagnostics->Data->MappingCache, nullptr);
        EXPECT_NE(diagnostics->Data->PageSetCache, nullptr);
        EXPECT_GT(machine::PoolTotals().liveBlocks, 0u);
        ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
        EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u) << "round " << round;
        EXPECT_TRUE(machine::Audit().Clean()) << machine::Audit().Text();
    }
}

TEST_F(LoaderTest, EntryRoutineSeesTheServiceKeyPath)
{
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    const UNICODE_STRING &path = Diagnostics()->Data->ServiceKeyPath;
    std::string text;
    for (USHORT i = 0; i < path.Length / sizeof(WCHAR); ++i)
        text += (char)path.Buffer[i];
    EXPECT_EQ(text, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vorel");
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
}

TEST_F(LoaderTest, MissingImageOrEntryIsRefused)
{
    EXPECT_EQ((NTSTATUS)machine::LoadDriver("/nonexistent/vorel.sys", "missing"), STATUS_DRIVER_UNABLE_TO_LOAD);
    EXPECT_EQ((NTSTATUS)machine::UnloadDriver("missing"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(LoaderTest, DriverLeftLoadedIsAnAuditFinding)
{
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    auto report = machine::Audit();
    EXPECT_FALSE(report.Clean());
    EXPECT_NE(report.Text().find("driver 'vorel' is still loaded"), std::string::npos) << report.Text();
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
}

} // namespace
