/*
 * Opening a device from user mode: its security descriptor decides, for the
 * device itself and (with FILE_DEVICE_SECURE_OPEN) for every name under it.
 */
#include "io_fixture.h"

namespace {

using iotest::UserProcess;

TEST_F(IoTest, AdministratorMayReadAndWriteAStandardUserOnlyRead)
{
    UserProcess root(0, 0), user(1000, 1000);
    HANDLE handle;
    EXPECT_EQ(root.Open("\\??\\IoTest", GENERIC_READ | GENERIC_WRITE, &handle), STATUS_SUCCESS);
    EXPECT_EQ(user.Open("\\??\\IoTest", GENERIC_READ, &handle), STATUS_SUCCESS);
    EXPECT_EQ(user.Open("\\??\\IoTest", GENERIC_READ | GENERIC_WRITE, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(user.Open("\\??\\IoTest", GENERIC_WRITE, &handle), STATUS_ACCESS_DENIED);
    // Process exit closed the handles: each open got its cleanup and close.
    int opens = 0;
    for (UCHAR major : driver().seen)
        opens += major == IRP_MJ_CREATE;
    EXPECT_EQ(opens, 2) << "refused opens never reach the driver";
}

TEST_F(IoTest, SecureOpenAppliesTheDescriptorToNamesUnderTheDevice)
{
    UserProcess user(1000, 1000);
    HANDLE handle;
    EXPECT_EQ(user.Open("\\Device\\IoTest\\anything", GENERIC_WRITE, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(user.Open("\\Device\\IoTest\\anything", GENERIC_READ, &handle), STATUS_SUCCESS);
}

class InsecureOpenTest : public IoTest {
protected:
    bool SecureOpen() override { return false; }
};

TEST_F(InsecureOpenTest, WithoutSecureOpenTheDriverAloneDecidesForNamesUnderTheDevice)
{
    UserProcess user(1000, 1000);
    HANDLE handle;
    EXPECT_EQ(user.Open("\\Device\\IoTest", GENERIC_WRITE, &handle), STATUS_ACCESS_DENIED)
        << "the device itself is still checked";
    ACCESS_MASK remaining = 0;
    driver().hooks[IRP_MJ_CREATE] = [&](PDEVICE_OBJECT, PIRP irp) {
        PACCESS_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Create.SecurityContext->AccessState;
        remaining = state->RemainingDesiredAccess;
        state->PreviouslyGrantedAccess |= state->RemainingDesiredAccess; /* this driver grants anything */
        state->RemainingDesiredAccess = 0;
        return iotest::Complete(irp, STATUS_SUCCESS);
    };
    EXPECT_EQ(user.Open("\\Device\\IoTest\\x", GENERIC_WRITE, &handle), STATUS_SUCCESS)
        << "this is the hole FILE_DEVICE_SECURE_OPEN closes";
    EXPECT_NE(remaining & FILE_WRITE_DATA, 0u) << "the driver was left to decide";
}

TEST_F(IoTest, KernelOpensAreNotCheckedUnlessForced)
{
    UserProcess user(1000, 1000);
    iotest::Name name("\\Device\\IoTest");
    IO_STATUS_BLOCK iosb;
    HANDLE handle;
    OBJECT_ATTRIBUTES oa;
    // Zw calls run in kernel mode whoever the thread acts for: the device check is skipped
    // unless the caller forces it, and then the acting process's token decides.
    auto open = [&](ULONG attributes) {
        InitializeObjectAttributes(&oa, &name.string, attributes, nullptr, nullptr);
        return iotest::AsUser(user, [&] {
            return ZwCreateFile(&handle, GENERIC_WRITE, &oa, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0);
        });
    };
    ASSERT_EQ(open(OBJ_KERNEL_HANDLE), STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(open(OBJ_KERNEL_HANDLE | OBJ_FORCE_ACCESS_CHECK), STATUS_ACCESS_DENIED);
}

TEST_F(IoTest, UserModeArgumentsOutsideUserSpaceAreRefused)
{
    UserProcess user(0, 0);
    iotest::Name name("\\Device\\IoTest"); /* kernel memory */
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, 0, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    HANDLE handle;
    NTSTATUS status = iotest::AsUser(user, [&] {
        return NtCreateFile(&handle, GENERIC_READ, &oa, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0);
    });
    EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);
    EXPECT_TRUE(driver().seen.empty());
}

TEST_F(IoTest, InvalidCreateParametersChangeNothing)
{
    UserProcess user(0, 0);
    POBJECT_ATTRIBUTES oa = user.Attributes("\\Device\\IoTest");
    auto *iosb = user.New<IO_STATUS_BLOCK>();
    auto *handle = user.New<HANDLE>();
    auto open = [&](ACCESS_MASK access, ULONG disposition, ULONG options) {
        return iotest::AsUser(user, [&] {
            return NtCreateFile(handle, access, oa, iosb, nullptr, 0, 0, disposition, options, nullptr, 0);
        });
    };
    EXPECT_EQ(open(GENERIC_READ, 7, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(open(GENERIC_READ, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(open(GENERIC_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT), STATUS_INVALID_PARAMETER)
        << "synchronous I/O needs SYNCHRONIZE";
    EXPECT_EQ(open(GENERIC_READ, FILE_OPEN, 0x80000000u), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(driver().seen.empty());
}

} // namespace
