/*
 * Opens for user mode run as the requesting process's Linux identity: what its user
 * could not create, open or truncate, the machine refuses for it (the machine itself
 * runs as root here; without root the identity cannot change and the tests skip).
 */
#include "hostfs_fixture.h"

#include "user_process.h"

#include <sys/stat.h>
#include <unistd.h>

using namespace hftest;

namespace {

constexpr uint32_t kUid = 4242;
constexpr uint32_t kGid = 4343;

class HostIdentityTest : public HostFsTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "changing the Linux identity needs root";
        HostFsTest::SetUp();
        // The drive directory: root's, readable and searchable by everyone, writable by root alone.
        ASSERT_EQ(chmod(Directory().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(HostPath("open").c_str(), 0777), 0);
        ASSERT_EQ(chmod(HostPath("open").c_str(), 0777), 0);
        MakeHostFile("roots", {1, 2, 3});
        ASSERT_EQ(chmod(HostPath("roots").c_str(), 0644), 0);
        MakeHostFile("shared", {4, 5});
        ASSERT_EQ(chmod(HostPath("shared").c_str(), 0666), 0);
    }

    /* NtCreateFile of an H: name as a user process (previous mode user). */
    NTSTATUS UserOpen(support::UserProcess &process, const std::string &name, ACCESS_MASK access, ULONG disposition,
                      HANDLE *handle)
    {
        std::u16string text = NtName(name);
        std::string ascii(text.begin(), text.end());
        POBJECT_ATTRIBUTES oa = process.Attributes(ascii.c_str());
        auto *iosb = process.New<IO_STATUS_BLOCK>();
        auto *userHandle = process.New<HANDLE>();
        machine::EnterProcess(process.process());
        NTSTATUS status = NtCreateFile(userHandle, access | SYNCHRONIZE, oa, iosb, nullptr, 0, FILE_SHARE_READ,
                                       disposition, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
        *handle = *userHandle;
        machine::LeaveProcess();
        return status;
    }
    void UserClose(support::UserProcess &process, HANDLE handle)
    {
        machine::EnterProcess(process.process());
        EXPECT_EQ(NtClose(handle), STATUS_SUCCESS);
        machine::LeaveProcess();
    }
};

} // namespace

TEST_F(HostIdentityTest, AUserCannotMakeTheMachineCreateOrTruncateWhatTheyCouldNot)
{
    support::UserProcess user(kUid, kGid);
    HANDLE handle = nullptr;
    // Creating in root's directory, truncating or writing root's file: refused, nothing changed.
    EXPECT_EQ(UserOpen(user, "new", GENERIC_READ | GENERIC_WRITE, FILE_CREATE, &handle), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(HostExists("new"));
    EXPECT_EQ(UserOpen(user, "roots", GENERIC_WRITE, FILE_OVERWRITE, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(UserOpen(user, "roots", GENERIC_READ, FILE_SUPERSEDE, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(HostBytes("roots"), (Bytes{1, 2, 3}));
    EXPECT_EQ(UserOpen(user, "roots", GENERIC_WRITE, FILE_OPEN, &handle), STATUS_ACCESS_DENIED);

    // Reading root's file, and what their identity may do, they may.
    ASSERT_EQ(UserOpen(user, "roots", GENERIC_READ, FILE_OPEN, &handle), STATUS_SUCCESS);
    UserClose(user, handle);
    ASSERT_EQ(UserOpen(user, "shared", GENERIC_READ | GENERIC_WRITE, FILE_OVERWRITE, &handle), STATUS_SUCCESS);
    UserClose(user, handle);
    EXPECT_TRUE(HostBytes("shared").empty());
    ASSERT_EQ(UserOpen(user, "open/mine", GENERIC_READ | GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    UserClose(user, handle);
    struct stat st;
    ASSERT_EQ(stat(HostPath("open/mine").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUid) << "the file is the user's, not the machine's";
    EXPECT_EQ(st.st_gid, kGid);

    // The machine's own opens keep root's rights, and this thread is root again.
    Opened mine = Open("new", FILE_CREATE);
    EXPECT_EQ(mine.status, STATUS_SUCCESS);
    ZwClose(mine.handle);
    ASSERT_EQ(stat(HostPath("new").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(HostIdentityTest, KernelOpensThatForceTheAccessCheckActAsTheCallingProcess)
{
    support::UserProcess user(kUid, kGid);
    std::u16string text = NtName("roots");
    UNICODE_STRING string;
    string.Buffer = reinterpret_cast<PWCH>(text.data());
    string.Length = string.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
    auto open = [&](ULONG attributes) {
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE | attributes, nullptr,
                                   nullptr);
        IO_STATUS_BLOCK iosb{};
        HANDLE handle = nullptr;
        NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                                       FILE_SHARE_READ, FILE_OVERWRITE_IF,
                                       FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
        if (NT_SUCCESS(status))
            ZwClose(handle);
        return status;
    };
    // In the user's process: a forced check acts as the user; without it, as the machine.
    machine::EnterProcess(user.process());
    NTSTATUS forced = open(OBJ_FORCE_ACCESS_CHECK);
    machine::LeaveProcess();
    EXPECT_EQ(forced, STATUS_ACCESS_DENIED);
    EXPECT_EQ(HostBytes("roots"), (Bytes{1, 2, 3}));
    EXPECT_EQ(open(0), STATUS_SUCCESS);
    EXPECT_TRUE(HostBytes("roots").empty());
}
