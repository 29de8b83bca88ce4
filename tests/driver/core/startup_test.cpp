/*
 * Start-up and unload: the settings read from the registry (malformed values
 * ignored), the processor topology, the untagged routines standing in for
 * missing tagged ones, and a failure at any step undoing everything.
 */
#include "core_fixture.h"

#include <string>
#include <vector>

namespace {

class StartupTest : public DriverTest {
protected:
    void TearDown() override
    {
        machine::DisarmFaults();
        if (machine::IsDriverLoaded(kService)) {
            EXPECT_EQ(UnloadDriver(), STATUS_SUCCESS);
        }
        EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u);
        DriverTest::TearDown();
    }
    /* Boots the machine again with the given processor cores. */
    void RebootWithCores(std::vector<machine::CoreDescription> cores)
    {
        ASSERT_TRUE(machine::Shutdown().Clean());
        machine::Config config;
        config.cores = std::move(cores);
        machine::Boot(config);
    }
    PVOREL_DATA Data() { return Diagnostics()->Data; }
};

TEST_F(StartupTest, ParametersOverrideTheDefaultsAndMalformedValuesAreIgnored)
{
    ULONG off = 0, five = 5;
    WriteServiceValue("Parameters", "AllowUserAccess", REG_DWORD, &off, sizeof(off));
    WriteServiceValue("Parameters", "PersistBufferedIo", REG_DWORD, &five, sizeof(five));
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(Data()->AllowUserAccess, 0);
    EXPECT_EQ(Data()->PersistBufferedIo, 1) << "any non-zero value turns it on";
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);

    const char16_t text[] = u"0";
    WriteServiceValue("Parameters", "AllowUserAccess", REG_SZ, text, sizeof(text));
    ULONGLONG wide = 0;
    WriteServiceValue("Parameters", "PersistBufferedIo", REG_QWORD, &wide, sizeof(wide));
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(Data()->AllowUserAccess, 1) << "a string is not a DWORD: the default stands";
    EXPECT_EQ(Data()->PersistBufferedIo, 0);
}

TEST_F(StartupTest, LifetimeBaselinesComeFromTheRegistryAndMissingOnesAreZero)
{
    ULONGLONG bytesRead = 5000000000ull, maxWrite = 900;
    ULONG shortValue = 7;
    WriteServiceValue("LifetimeStatistics", "BytesRead", REG_QWORD, &bytesRead, sizeof(bytesRead));
    WriteServiceValue("LifetimeStatistics", "BytesWritten", REG_DWORD, &shortValue, sizeof(shortValue));
    WriteServiceValue("LifetimeStatistics", "MaxWriteSpeed", REG_QWORD, &maxWrite, sizeof(maxWrite));
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    PVOREL_DATA data = Data();
    EXPECT_EQ(data->LifetimeBaseline[0], bytesRead);
    EXPECT_EQ(data->LifetimeBaseline[1], 0u) << "a DWORD is not a QWORD";
    EXPECT_EQ(data->LifetimeBaseline[2], 0u);
    EXPECT_EQ(data->LifetimeBaseline[3], maxWrite);
    EXPECT_NE(data->VolatileStatisticsKey, nullptr);
    EXPECT_NE(data->LifetimeStatisticsKey, nullptr);
    EXPECT_LE(data->StartTime, machine::InterruptTimeNow());
}

TEST_F(StartupTest, WithoutTaggedRoutinesTheUntaggedOnesServe)
{
    for (const char *routine : {"ObfReferenceObjectWithTag", "ObfDereferenceObjectWithTag",
                                "ObReferenceObjectByHandleWithTag"})
        machine::HideSystemRoutine(routine);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(Data()->ReferenceObjectWithTag, nullptr);
    EXPECT_EQ(Data()->ReferenceObjectByHandleWithTag, nullptr);
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
    EXPECT_TRUE(machine::Audit().Clean()) << machine::Audit().Text();
    for (const char *routine : {"ObfReferenceObjectWithTag", "ObfDereferenceObjectWithTag",
                                "ObReferenceObjectByHandleWithTag"})
        machine::HideSystemRoutine(routine, false);
}

/*
 * Performance cores: on big and little cores only the big ones count, one
 * processor each; uniform cores all count, other groups never; a failing
 * topology query falls back to every active processor of every group.
 */
TEST_F(StartupTest, PerformanceCoresFollowTheTopology)
{
    std::vector<machine::CoreDescription> bigLittle(4, CpuCore(1, 2)); /* processors 0-7, two per core */
    bigLittle.insert(bigLittle.end(), 4, CpuCore(0, 1));                 /* processors 8-11 */
    std::vector<machine::CoreDescription> uniform(6, CpuCore(0, 2));
    uniform.insert(uniform.end(), 2, CpuCore(0, 1, 1));
    std::vector<machine::CoreDescription> small(3, CpuCore(0, 2));
    small.push_back(CpuCore(0, 1, 1));
    const struct {
        const std::vector<machine::CoreDescription> &cores;
        bool failQuery;
        ULONG count;
        KAFFINITY mask;
        UCHAR heterogeneous;
    } cases[] = {{bigLittle, false, 4, 0x55, 1}, {uniform, false, 6, 0x555, 0}, {small, true, 7, 0, 0}};
    for (const auto &c : cases) {
        if (machine::IsDriverLoaded(kService)) {
            ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
        }
        RebootWithCores(c.cores);
        if (c.failQuery)
            machine::ArmFault("KeQueryLogicalProcessorRelationship", 1, true);
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
        machine::DisarmFaults();
        EXPECT_EQ(Data()->PerformanceCoreCount, c.count);
        EXPECT_EQ(Data()->PerformanceCoreMask, c.mask);
        EXPECT_EQ(Data()->Heterogeneous, c.heterogeneous);
    }
}

/*
 * Every failure start-up can meet, at every call: the driver either refuses to
 * start with a failure status and leaves nothing behind, or starts (the failure
 * was one it tolerates) and unloads clean.
 */
TEST_F(StartupTest, AFailureAtAnyStepUndoesEverythingBuilt)
{
    struct Site {
        const char *name;
        bool canBeFatal;
    };
    const Site sites[] = {
        {"ExAllocatePoolWithTag", true},
        {"ZwQuerySystemInformation", true},
        {"IoCreateDevice", true},
        {"IoCreateSymbolicLink", true},
        {"FsRtlRegisterFileSystemFilterCallbacks", true},
        {"PsCreateSystemThread", false},
        {"ObReferenceObjectByHandle", false},
        {"IoRegisterShutdownNotification", false},
        {"ZwCreateKey", false},
        {"ZwOpenKey", false},
        {"ZwQueryValueKey", false},
        {"KeQueryLogicalProcessorRelationship", false},
    };
    for (const Site &site : sites) {
        int fatal = 0;
        for (uint64_t n = 1;; ++n) {
            machine::ArmFault(site.name, n);
            NTSTATUS status = LoadDriver();
            bool injected = machine::FaultsInjected(site.name) != 0;
            machine::DisarmFaults();
            if (NT_SUCCESS(status)) {
                ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS) << site.name << " #" << n;
            } else {
                ++fatal;
                EXPECT_TRUE(injected) << site.name << " #" << n;
                EXPECT_FALSE(machine::IsDriverLoaded(kService));
            }
            ASSERT_EQ(machine::PoolTotals().liveBlocks, 0u) << site.name << " #" << n;
            machine::AuditReport report = machine::Audit();
            ASSERT_TRUE(report.Clean()) << site.name << " #" << n << "\n" << report.Text();
            if (!injected)
                break;
        }
        EXPECT_EQ(fatal > 0, site.canBeFatal) << site.name;
    }
}

TEST_F(StartupTest, UnloadAndReloadLeaveAnEmptyPool)
{
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
        ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
        EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u) << "round " << round;
        EXPECT_EQ(machine::LiveSystemThreads(), 0u);
        EXPECT_TRUE(machine::Audit().Clean()) << machine::Audit().Text();
    }
}

} // namespace
