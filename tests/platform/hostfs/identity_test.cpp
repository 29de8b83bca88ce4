/*
 * Host files and users: native opens from user mode are refused outright, and kernel
 * opens made for a user process run as its Linux identity, so what its user could not
 * create, open or truncate the machine refuses for it (the machine runs as root here;
 * without root the identity cannot change and those tests skip).
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

    /* ZwCreateFile of an H: name by kernel code acting for the process. */
    NTSTATUS KernelOpenFor(support::UserProcess &process, const std::string &name, ACCESS_MASK access,
                           ULONG disposition, ULONG attributes = OBJ_FORCE_ACCESS_CHECK)
    {
        machine::EnterProcess(process.process());
        Opened opened = Open(name, disposition, access, FILE_SHARE_READ,
                             FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, attributes);
        machine::LeaveProcess();
        if (NT_SUCCESS(opened.status)) {
            EXPECT_EQ(ZwClose(opened.handle), STATUS_SUCCESS);
        }
        return opened.status;
    }
};

} // namespace

TEST_F(HostIdentityTest, NativeOpensFromUserModeAreRefused)
{
    support::UserProcess user(0, 0);
    HANDLE handle = nullptr;
    std::u16string text = NtName("made-by-a-client");
    std::string ascii(text.begin(), text.end());
    EXPECT_EQ(user.Open(ascii.c_str(), GENERIC_READ, &handle), STATUS_ACCESS_DENIED);
    POBJECT_ATTRIBUTES oa = user.Attributes(ascii.c_str());
    auto *iosb = user.New<IO_STATUS_BLOCK>();
    auto *userHandle = user.New<HANDLE>();
    EXPECT_EQ(support::AsUser(user,
                              [&] {
                                  return NtCreateFile(userHandle, GENERIC_WRITE | SYNCHRONIZE, oa, iosb, nullptr, 0, 0,
                                                      FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
                              }),
              STATUS_ACCESS_DENIED);
    EXPECT_FALSE(HostExists("made-by-a-client"));
}

TEST_F(HostIdentityTest, KernelOpensForAUserCannotDoWhatTheUserCouldNot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "changing the Linux identity needs root";
    support::UserProcess user(kUid, kGid);
    // Creating in root's directory, truncating or writing root's file: refused, nothing changed.
    EXPECT_EQ(KernelOpenFor(user, "new", GENERIC_READ | GENERIC_WRITE, FILE_CREATE), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(HostExists("new"));
    EXPECT_EQ(KernelOpenFor(user, "roots", GENERIC_WRITE, FILE_OVERWRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(KernelOpenFor(user, "roots", GENERIC_READ, FILE_SUPERSEDE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(KernelOpenFor(user, "roots", GENERIC_READ | GENERIC_WRITE, FILE_OVERWRITE_IF, 0),
              STATUS_ACCESS_DENIED)
        << "acting for a user process is enough, forced check or not";
    EXPECT_EQ(HostBytes("roots"), (Bytes{1, 2, 3}));
    EXPECT_EQ(KernelOpenFor(user, "roots", GENERIC_WRITE, FILE_OPEN), STATUS_ACCESS_DENIED);

    // Reading root's file, and what their identity may do, they may.
    EXPECT_EQ(KernelOpenFor(user, "roots", GENERIC_READ, FILE_OPEN), STATUS_SUCCESS);
    EXPECT_EQ(KernelOpenFor(user, "shared", GENERIC_READ | GENERIC_WRITE, FILE_OVERWRITE), STATUS_SUCCESS);
    EXPECT_TRUE(HostBytes("shared").empty());
    EXPECT_EQ(KernelOpenFor(user, "open/mine", GENERIC_READ | GENERIC_WRITE, FILE_CREATE), STATUS_SUCCESS);
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
    // A forced check from the system process acts as the machine.
    Opened forced = Open("roots", FILE_OPEN, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, OBJ_FORCE_ACCESS_CHECK);
    EXPECT_EQ(forced.status, STATUS_SUCCESS);
    ZwClose(forced.handle);
}
