/*
 * What a driver leaves behind at unload is caught; the rest of the executive's
 * small services.
 */
#include "io_fixture.h"

#include <set>

namespace {

TEST_F(MachineTest, DriverThatLeaksAHandleOrADeviceFailsTheAudit)
{
    iotest::ResetDriver();
    iotest::TheDriver().deleteDeviceOnUnload = false;
    ASSERT_EQ(iotest::Load(), STATUS_SUCCESS);
    iotest::Name name("\\Device\\IoTest");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    HANDLE leaked;
    ASSERT_EQ(ZwCreateFile(&leaked, GENERIC_READ, &oa, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0),
              STATUS_SUCCESS);
    ASSERT_EQ(iotest::Unload(), STATUS_SUCCESS);

    std::string text = machine::Audit().Text();
    EXPECT_NE(text.find("left a device behind"), std::string::npos) << text;
    EXPECT_NE(text.find("kernel handle"), std::string::npos) << text;
    EXPECT_NE(text.find("name \\DEVICE\\IOTEST still exists"), std::string::npos) << text;
    // The driver is gone, so nothing may be sent to it any more: the machine goes down as it
    // is, and its shutdown reclaims what was left.
    EXPECT_FALSE(machine::Shutdown().Clean());
}

TEST_F(MachineTest, UuidsAreFreshVersionFourAndTheirFailureIsInjectable)
{
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        GUID uuid;
        ASSERT_EQ(ExUuidCreate(&uuid), STATUS_SUCCESS);
        EXPECT_EQ(uuid.Data3 >> 12, 4);
        EXPECT_EQ(uuid.Data4[0] & 0xC0, 0x80);
        seen.insert(std::string(reinterpret_cast<char *>(&uuid), sizeof(uuid)));
    }
    EXPECT_EQ(seen.size(), 100u);
    machine::ArmFault("ExUuidCreate", 1);
    GUID uuid;
    EXPECT_FALSE(NT_SUCCESS(ExUuidCreate(&uuid)));
}

TEST_F(MachineTest, SystemInformationAndRoutineLookup)
{
    SYSTEM_BASIC_INFORMATION basic;
    ULONG length = 0;
    ASSERT_EQ(ZwQuerySystemInformation(SystemBasicInformation, &basic, sizeof(basic), &length), STATUS_SUCCESS);
    EXPECT_EQ(basic.PageSize, 4096u);
    EXPECT_EQ(basic.NumberOfProcessors, 4);
    EXPECT_EQ(ZwQuerySystemInformation(SystemBasicInformation, &basic, sizeof(basic) - 1, &length),
              STATUS_INFO_LENGTH_MISMATCH);
    SYSTEM_PERFORMANCE_INFORMATION performance;
    ASSERT_EQ(ZwQuerySystemInformation(SystemPerformanceInformation, &performance, sizeof(performance), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(performance.AvailablePages, machine::CurrentConfig().availablePages);

    iotest::Name present("ObfReferenceObjectWithTag");
    EXPECT_EQ(MmGetSystemRoutineAddress(&present.string), (PVOID)&ObfReferenceObjectWithTag);
    iotest::Name absent("NoSuchRoutine");
    EXPECT_EQ(MmGetSystemRoutineAddress(&absent.string), nullptr);
    machine::HideSystemRoutine("ObfReferenceObjectWithTag");
    EXPECT_EQ(MmGetSystemRoutineAddress(&present.string), nullptr);
}

TEST_F(IoTest, ShutdownNotificationAndDeviceInterfaceArrivalReachTheirRegistrations)
{
    ASSERT_EQ(IoRegisterShutdownNotification(driver().device), STATUS_SUCCESS);
    machine::SystemShutdown();
    int shutdowns = 0;
    for (UCHAR major : driver().seen)
        shutdowns += major == IRP_MJ_SHUTDOWN;
    EXPECT_EQ(shutdowns, 1);
    IoUnregisterShutdownNotification(driver().device);
    machine::SystemShutdown();
    EXPECT_EQ(driver().seen.size(), 1u);

    static const GUID volumeClass = {0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    static int arrivals = 0;
    PVOID entry;
    ASSERT_EQ(IoRegisterPlugPlayNotification(
                  EventCategoryDeviceInterfaceChange, 0, (PVOID)&volumeClass, nullptr,
                  [](PVOID notification, PVOID) {
                      auto *change = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(notification);
                      EXPECT_TRUE(IsEqualGUID(change->InterfaceClassGuid, volumeClass));
                      arrivals++;
                      return (NTSTATUS)STATUS_SUCCESS;
                  },
                  nullptr, &entry),
              STATUS_SUCCESS);
    machine::DeviceInterfaceArrived(&volumeClass, u"\\??\\Volume{x}");
    EXPECT_EQ(arrivals, 1);
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(entry), STATUS_SUCCESS);
    machine::DeviceInterfaceArrived(&volumeClass, u"\\??\\Volume{x}");
    EXPECT_EQ(arrivals, 1);
}

} // namespace

namespace {

TEST_F(IoTest, ADriverUnloadedWithAFileOpenKeepsItsDriverObjectUntilTheLastClose)
{
    iotest::Name name("\\Device\\IoTest");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    HANDLE handle;
    ASSERT_EQ(ZwCreateFile(&handle, GENERIC_READ, &oa, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(iotest::Unload(), STATUS_SUCCESS);
    EXPECT_TRUE(machine::IsDriverLoaded("iotest")) << "the deleted device is still referenced";
    std::string audit = machine::Audit().Text();
    EXPECT_NE(audit.find("waits to unload"), std::string::npos) << audit;

    // The cleanup and close still reach the driver through its driver object.
    int cleanups = driver().cleanups, closes = driver().closes;
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(driver().cleanups, cleanups + 1);
    EXPECT_EQ(driver().closes, closes + 1);
    machine::DrainSystemWork();
    EXPECT_FALSE(machine::IsDriverLoaded("iotest")) << "the last device took the driver with it";
}

} // namespace
