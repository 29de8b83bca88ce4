/*
 * Names that lead into the mount root name the machine's own volumes: the open starts
 * again on the volume's letter and never reaches Linux's view of the mount. Here the
 * mount root lies on H: and the "volume" R: is another host drive, so where the data
 * came from shows which way the open went.
 */
#include "hostfs_fixture.h"

#include <sys/stat.h>

using namespace hftest;

namespace {

class MountRootTest : public HostFsTest {
protected:
    std::string MoreDrives(const std::string &directory) const override { return "R=" + directory + "/volume"; }
    std::string MountRoot(const std::string &directory) const override { return directory + "/mnt/"; }
    void SetUp() override
    {
        HostFsTest::SetUp();
        for (const char *dir : {"volume", "volume/sub", "mnt", "mnt/R", "mnt/R/sub", "mnt/Rx"})
            ASSERT_EQ(mkdir(HostPath(dir).c_str(), 0755), 0);
        MakeHostFile("volume/sub/f", {'v'});
        MakeHostFile("mnt/R/sub/f", {'l'});
        MakeHostFile("mnt/Rx/f", {'x'});
    }
    Bytes ReadAll(const std::string &name)
    {
        Opened opened = Open(name, FILE_OPEN, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
        EXPECT_EQ(opened.status, STATUS_SUCCESS) << name;
        if (!NT_SUCCESS(opened.status))
            return {};
        Bytes bytes(16);
        ULONG_PTR moved = 0;
        EXPECT_EQ(Read(opened.handle, 0, bytes.data(), (ULONG)bytes.size(), &moved), STATUS_SUCCESS);
        bytes.resize(moved);
        ZwClose(opened.handle);
        return bytes;
    }
};

} // namespace

TEST_F(MountRootTest, NamesInTheMountRootOpenOnTheVolumeOfTheirLetter)
{
    EXPECT_EQ(ReadAll("mnt/R/sub/f"), Bytes{'v'});
    EXPECT_EQ(ReadAll("mnt\\R\\\\sub\\f"), Bytes{'v'});
    // Relative to an open directory above the mount root, too.
    Opened mnt = Open("mnt", FILE_OPEN, FILE_READ_DATA, FILE_SHARE_READ,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_DIRECTORY_FILE);
    ASSERT_EQ(mnt.status, STATUS_SUCCESS);
    std::u16string relative = u"R\\sub\\f";
    UNICODE_STRING string;
    string.Buffer = reinterpret_cast<PWCH>(relative.data());
    string.Length = string.MaximumLength = (USHORT)(relative.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, mnt.handle, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    ASSERT_EQ(ZwCreateFile(&handle, GENERIC_READ | SYNCHRONIZE, &oa, &iosb, nullptr, 0, FILE_SHARE_READ, FILE_OPEN,
                           FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0),
              STATUS_SUCCESS);
    char byte = 0;
    LARGE_INTEGER zero{};
    EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, &byte, 1, &zero, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(byte, 'v');
    ZwClose(handle);
    ZwClose(mnt.handle);

    // A new file there is made on the volume; a letter that names no drive is not found.
    Opened made = Open("mnt/R/made", FILE_CREATE);
    EXPECT_EQ(made.status, STATUS_SUCCESS);
    ZwClose(made.handle);
    EXPECT_TRUE(HostExists("volume/made"));
    EXPECT_FALSE(HostExists("mnt/R/made"));
    EXPECT_EQ(Open("mnt/Q/f", FILE_OPEN).status, STATUS_OBJECT_PATH_NOT_FOUND);

    // Not a letter's directory: an ordinary name.
    EXPECT_EQ(ReadAll("mnt/Rx/f"), Bytes{'x'});
}

namespace {

class AbsentMediumTest : public HostFsTest {
protected:
    std::string MoreDrives(const std::string &directory) const override { return "M=" + directory + "/medium"; }
};

} // namespace

TEST_F(AbsentMediumTest, ADriveWhoseDirectoryIsMissingHasNoMediumUntilItComes)
{
    std::u16string text = u"\\??\\M:\\f";
    UNICODE_STRING string;
    string.Buffer = reinterpret_cast<PWCH>(text.data());
    string.Length = string.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    auto open = [&] {
        return ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &iosb, nullptr, 0, 0,
                            FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    };
    EXPECT_EQ(open(), STATUS_NO_MEDIA_IN_DEVICE);
    ASSERT_EQ(mkdir(HostPath("medium").c_str(), 0755), 0);
    ASSERT_EQ(open(), STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_TRUE(HostExists("medium/f"));
}
