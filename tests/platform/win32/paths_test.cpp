/*
 * Path names: full paths against the current directory (drive C: is the Linux root),
 * the system directory, and file attributes of host files.
 */
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string Narrow(const WCHAR *text)
{
    std::string out;
    for (; *text != 0; ++text)
        out += *text < 0x80 ? (char)*text : '?';
    return out;
}

std::u16string Wide(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

LPCWSTR W(const std::u16string &text)
{
    return reinterpret_cast<LPCWSTR>(text.c_str());
}

/* GetFullPathNameW into a MAX_PATH buffer, as text ("" on failure). */
std::string FullPath(const std::string &name)
{
    WCHAR buffer[MAX_PATH];
    std::u16string wide = Wide(name);
    DWORD length = GetFullPathNameW(W(wide), MAX_PATH, buffer, nullptr);
    return length == 0 || length >= MAX_PATH ? std::string() : Narrow(buffer);
}

class Paths : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vorel-paths-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        directory_ = pattern;
        ASSERT_NE(nullptr, getcwd(saved_, sizeof(saved_)));
        ASSERT_EQ(0, chdir(directory_.c_str()));
    }
    void TearDown() override
    {
        EXPECT_EQ(0, chdir(saved_));
        unlink((directory_ + "/file.sys").c_str());
        rmdir((directory_ + "/sub").c_str());
        rmdir(directory_.c_str());
    }
    /* The Win32 form of the test's directory. */
    std::string Win32Directory() const
    {
        std::string path = "C:" + directory_;
        for (char &c : path)
            if (c == '/')
                c = '\\';
        return path;
    }
    std::string directory_;
    char saved_[4096];
};

TEST_F(Paths, RelativeAndRootedNamesResolveAgainstTheCurrentDirectory)
{
    EXPECT_EQ(Win32Directory() + "\\drivers\\vorel.sys", FullPath("drivers\\vorel.sys"));
    EXPECT_EQ(Win32Directory() + "\\vorel.sys", FullPath(".\\sub\\..\\vorel.sys"));
    EXPECT_EQ("C:\\x\\y", FullPath("/x/y"));
    EXPECT_EQ("C:\\x\\y", FullPath("\\x\\\\y"));
    EXPECT_EQ("D:\\a\\c\\", FullPath("d:/a/b/../c/"));
    EXPECT_EQ("C:\\", FullPath("C:\\..\\.."));
}

TEST_F(Paths, ATooSmallBufferGetsTheSizeItNeedsAndNothingElse)
{
    WCHAR buffer[8] = {L'#', 0};
    LPWSTR filePart = nullptr;
    DWORD needed = GetFullPathNameW(L"C:\\abc\\defgh", 8, buffer, &filePart);
    EXPECT_EQ(13u, needed); /* 12 characters and the terminator */
    EXPECT_EQ(L'#', buffer[0]);
    WCHAR room[13];
    EXPECT_EQ(12u, GetFullPathNameW(L"C:\\abc\\defgh", 13, room, &filePart));
    EXPECT_EQ(room + 7, filePart);
    EXPECT_EQ(0u, GetFullPathNameW(L"", MAX_PATH, room, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
}

TEST_F(Paths, TheSystemDirectoryFollowsTheEnvironment)
{
    const char *saved = std::getenv("VOREL_SYSTEM_DIR");
    std::string restore = saved != nullptr ? saved : "";
    setenv("VOREL_SYSTEM_DIR", "/opt/vorel/", 1);
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(12u, GetSystemDirectoryW(buffer, MAX_PATH));
    EXPECT_EQ("C:\\opt\\vorel", Narrow(buffer));
    EXPECT_EQ(13u, GetSystemDirectoryW(buffer, 5));
    unsetenv("VOREL_SYSTEM_DIR");
    ASSERT_NE(0u, GetSystemDirectoryW(buffer, MAX_PATH));
    EXPECT_EQ("C:\\usr\\local\\lib\\vorel", Narrow(buffer));
    if (saved != nullptr)
        setenv("VOREL_SYSTEM_DIR", restore.c_str(), 1);
}

TEST_F(Paths, AttributesTellFilesFromFoldersAndMissingNames)
{
    int fd = open((directory_ + "/file.sys").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(0, mkdir((directory_ + "/sub").c_str(), 0755));
    std::u16string file = Wide(Win32Directory() + "\\file.sys");
    std::u16string folder = Wide(Win32Directory() + "\\sub");
    std::u16string missing = Wide(Win32Directory() + "\\none\\file.sys");
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_ARCHIVE, GetFileAttributesW(W(file)));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(W(folder)));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W(missing)));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
}

} // namespace
