/*
 * The object namespace: aliases, case-insensitive lookups, symbolic links, and a
 * link whose device is gone.
 */
#include "io_test_support.h"

namespace {

using iotest::Name;

class NamespaceTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        iotest::ResetDriver();
        ASSERT_EQ(iotest::Load(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (machine::IsDriverLoaded("iotest")) {
            EXPECT_EQ(iotest::Unload(), STATUS_SUCCESS);
        }
        MachineTest::TearDown();
    }

    NTSTATUS KernelOpen(const char *path, HANDLE *handle)
    {
        Name name(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        return ZwCreateFile(handle, GENERIC_READ | SYNCHRONIZE, &oa, &iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                            FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    }
};

TEST_F(NamespaceTest, EveryAliasAndSpellingReachesTheDevice)
{
    for (const char *path : {"\\Device\\IoTest", "\\??\\IoTest", "\\DosDevices\\IoTest", "\\GLOBAL??\\IoTest",
                             "\\device\\iotest", "\\dOSdEVICES\\IOTEST"}) {
        HANDLE handle;
        ASSERT_EQ(KernelOpen(path, &handle), STATUS_SUCCESS) << path;
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }
    EXPECT_EQ(iotest::TheDriver().cleanups, 6);
    EXPECT_EQ(iotest::TheDriver().closes, 6);
}

TEST_F(NamespaceTest, MissingNamesAndPathsHaveTheirOwnStatuses)
{
    HANDLE handle;
    EXPECT_EQ(KernelOpen("\\Device\\NoSuchDevice", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(KernelOpen("\\NoSuchDirectory\\IoTest", &handle), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(KernelOpen("\\Device\\\\IoTest", &handle), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(KernelOpen("Device\\IoTest", &handle), STATUS_OBJECT_PATH_SYNTAX_BAD) << "relative without a root";
    EXPECT_EQ(iotest::TheDriver().seen.size(), 0u) << "no request reached the driver";
}

TEST_F(NamespaceTest, SymbolicLinksOpenQueryAndCollide)
{
    Name link("\\GLOBAL??\\IoTest");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &link.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    ASSERT_EQ(ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &oa), STATUS_SUCCESS);
    WCHAR buffer[64];
    UNICODE_STRING target{0, sizeof(buffer), buffer};
    ULONG length = 0;
    ASSERT_EQ(ZwQuerySymbolicLinkObject(handle, &target, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(target.Buffer), target.Length / 2), u"\\Device\\IoTest");
    ZwClose(handle);

    Name device("\\Device\\IoTest");
    EXPECT_EQ(IoCreateSymbolicLink(&link.string, &device.string), STATUS_OBJECT_NAME_COLLISION);
    Name notALink("\\Device\\IoTest");
    InitializeObjectAttributes(&oa, &notALink.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &oa), STATUS_OBJECT_TYPE_MISMATCH);
    Name missing("\\GLOBAL??\\Q:");
    InitializeObjectAttributes(&oa, &missing.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &oa), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(NamespaceTest, ALinkToADeletedDeviceFindsNothingAndOpenFilesKeepTheDevice)
{
    HANDLE handle;
    ASSERT_EQ(KernelOpen("\\??\\IoTest", &handle), STATUS_SUCCESS);
    Name extra("\\DosDevices\\IoTestToo");
    Name device("\\Device\\IoTest");
    ASSERT_EQ(IoCreateSymbolicLink(&extra.string, &device.string), STATUS_SUCCESS);

    PDEVICE_OBJECT deviceObject = iotest::TheDriver().device;
    IoDeleteDevice(deviceObject);
    iotest::TheDriver().device = nullptr;
    HANDLE second;
    EXPECT_EQ(KernelOpen("\\??\\IoTestToo", &second), STATUS_OBJECT_NAME_NOT_FOUND) << "the name went at once";
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS) << "the open file still reaches its driver";
    EXPECT_EQ(iotest::TheDriver().closes, 1);
    EXPECT_EQ(IoDeleteSymbolicLink(&extra.string), STATUS_SUCCESS);
}

TEST_F(MachineTest, DeviceOpenedWhileItsDriverStartsIsRefused)
{
    // A device still marked as initialising refuses opens.
    iotest::ResetDriver();
    ASSERT_EQ(iotest::Load(), STATUS_SUCCESS);
    iotest::TheDriver().device->Flags |= DO_DEVICE_INITIALIZING;
    Name name("\\Device\\IoTest");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    HANDLE handle;
    EXPECT_EQ(ZwCreateFile(&handle, GENERIC_READ, &oa, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0),
              STATUS_NO_SUCH_DEVICE);
    iotest::TheDriver().device->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(iotest::Unload(), STATUS_SUCCESS);
}

} // namespace

namespace {

/*
 * Opens through the same names again and again while the names change under them:
 * a lookup must never reach an object that left its directory, nor miss one that
 * came, however often the same walk was made before.
 */
TEST_F(NamespaceTest, RepeatedOpensFollowEveryChangeOfTheNames)
{
    Name link("\\GLOBAL??\\IoTestLink");
    Name device("\\Device\\IoTest");
    Name nowhere("\\Device\\IoTestMissing");
    HANDLE handle;
    int opened = 0;
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ(KernelOpen("\\??\\IoTestLink", &handle), STATUS_OBJECT_NAME_NOT_FOUND) << round;
        ASSERT_EQ(IoCreateSymbolicLink(&link.string, &device.string), STATUS_SUCCESS);
        for (int again = 0; again < 3; ++again) {
            ASSERT_EQ(KernelOpen("\\??\\IoTestLink", &handle), STATUS_SUCCESS) << round;
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
            opened++;
        }
        /* The same name, now a link to a device that does not exist. */
        ASSERT_EQ(IoDeleteSymbolicLink(&link.string), STATUS_SUCCESS);
        ASSERT_EQ(IoCreateSymbolicLink(&link.string, &nowhere.string), STATUS_SUCCESS);
        EXPECT_EQ(KernelOpen("\\??\\IoTestLink", &handle), STATUS_OBJECT_NAME_NOT_FOUND) << round;
        ASSERT_EQ(IoDeleteSymbolicLink(&link.string), STATUS_SUCCESS);
    }
    EXPECT_EQ(iotest::TheDriver().closes, opened);

    /* The device itself goes: the walk that reached it a moment ago finds nothing. */
    ASSERT_EQ(KernelOpen("\\Device\\IoTest", &handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    IoDeleteDevice(iotest::TheDriver().device);
    iotest::TheDriver().device = nullptr;
    EXPECT_EQ(KernelOpen("\\Device\\IoTest", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
