/*
 * Start-up and unload: the driver-wide state, the settings read from the
 * registry, the processor topology, the control device and its registrations,
 * and a failure at any step undoing everything.
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

machine::CoreDescription Core(uint8_t efficiencyClass, uint8_t logical, uint16_t group = 0)
{
    machine::CoreDescription core;
    core.efficiencyClass = efficiencyClass;
    core.logicalProcessors = logical;
    core.group = group;
    return core;
}

TEST_F(StartupTest, WithoutParametersUsersMayChangeStateAndImagesAreUnbuffered)
{
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(Data()->AllowUserAccess, 1);
    EXPECT_EQ(Data()->PersistBufferedIo, 0);
    ULONG value;
    EXPECT_FALSE(ReadServiceDword("Parameters", "AllowUserAccess", &value)) << "start-up only reads";
}

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

TEST_F(StartupTest, ControlDeviceIsSecureBufferedAndOpenOnceStartUpReturns)
{
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    PVOREL_DATA data = Data();
    PDEVICE_OBJECT device = data->ControlDevice;
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_DISK_FILE_SYSTEM);
    EXPECT_NE(device->Characteristics & FILE_DEVICE_SECURE_OPEN, 0u);
    EXPECT_NE(device->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(device->DeviceExtension, nullptr);
    EXPECT_TRUE(data->FileSystemRegistered && data->ShutdownRegistered && data->LinkCreated);

    /* Reached by its name and through the link. */
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Vorel");
    PFILE_OBJECT file;
    PDEVICE_OBJECT found;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, device);
    ObDereferenceObject(file);
    ControlClient user(1000);
    EXPECT_EQ(user.Open("\\??\\Vorel"), STATUS_SUCCESS);
}

TEST_F(StartupTest, DispatchAndFastIoTablesSendUnservedRequestsToTheDefaultHandler)
{
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = static_cast<PDRIVER_OBJECT>(machine::DriverObject(kService));
    PDRIVER_DISPATCH unserved = driver->MajorFunction[IRP_MJ_QUERY_QUOTA];
    for (UCHAR major : {IRP_MJ_SET_INFORMATION, IRP_MJ_PNP, IRP_MJ_SET_QUOTA})
        EXPECT_EQ(driver->MajorFunction[major], unserved) << int(major);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE,
                        IRP_MJ_DEVICE_CONTROL, IRP_MJ_SHUTDOWN, IRP_MJ_QUERY_SECURITY, IRP_MJ_SET_SECURITY})
        EXPECT_NE(driver->MajorFunction[major], unserved) << int(major);

    ASSERT_NE(driver->FastIoDispatch, nullptr);
    EXPECT_EQ(driver->FastIoDispatch->SizeOfFastIoDispatch, 224u);
    EXPECT_EQ(driver->FastIoDispatch->FastIoRead, nullptr);
    EXPECT_EQ(driver->FastIoDispatch->FastIoWrite, nullptr);
    EXPECT_EQ(driver->FastIoDispatch->FastIoCheckIfPossible, nullptr);
}

TEST_F(StartupTest, SystemFactsAndTaggedRoutinesAreLookedUpAndServicesRun)
{
    uint32_t before = machine::LiveSystemThreads();
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    PVOREL_DATA data = Data();
    EXPECT_EQ(data->SystemInformation.PageSize, 4096u);
    EXPECT_EQ(data->SystemInformation.NumberOfProcessors, 4);
    EXPECT_NE(data->ReferenceObjectWithTag, nullptr);
    EXPECT_NE(data->DereferenceObjectWithTag, nullptr);
    EXPECT_NE(data->ReferenceObjectByHandleWithTag, nullptr);
    EXPECT_EQ(machine::LiveSystemThreads(), before + 3) << "auto-mount, auto-save and statistics";
    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(machine::LiveSystemThreads(), before);
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

TEST_F(StartupTest, BigAndLittleCoresCountOnlyTheBigOnesOneProcessorEach)
{
    std::vector<machine::CoreDescription> cores;
    for (int i = 0; i < 4; ++i)
        cores.push_back(Core(1, 2)); /* processors 0-7, two per core */
    for (int i = 0; i < 4; ++i)
        cores.push_back(Core(0, 1)); /* processors 8-11 */
    RebootWithCores(cores);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(Data()->PerformanceCoreCount, 4u);
    EXPECT_EQ(Data()->PerformanceCoreMask, (KAFFINITY)0x55);
    EXPECT_EQ(Data()->Heterogeneous, 1);
}

TEST_F(StartupTest, UniformCoresAllCountAndOtherGroupsDoNot)
{
    std::vector<machine::CoreDescription> cores(6, Core(0, 2));
    cores.push_back(Core(0, 1, 1));
    cores.push_back(Core(0, 1, 1));
    RebootWithCores(cores);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(Data()->PerformanceCoreCount, 6u);
    EXPECT_EQ(Data()->PerformanceCoreMask, (KAFFINITY)0x555);
    EXPECT_EQ(Data()->Heterogeneous, 0);
}

TEST_F(StartupTest, AFailingTopologyQueryFallsBackToEveryActiveProcessor)
{
    std::vector<machine::CoreDescription> cores(3, Core(0, 2));
    cores.push_back(Core(0, 1, 1));
    RebootWithCores(cores);
    machine::ArmFault("KeQueryLogicalProcessorRelationship", 1, true);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(Data()->PerformanceCoreCount, 7u) << "every logical processor of every group";
    EXPECT_EQ(Data()->PerformanceCoreMask, 0u);
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
        {"PsCreateSystemThread", true},
        {"ObReferenceObjectByHandle", true},
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
