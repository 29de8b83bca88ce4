/*
 * One file system for both worlds: what a Linux program does on the mount a Windows
 * program sees through the socket, and what a Windows program changes shows on the
 * mount at once, although the host caches names and attributes for half a minute
 * here (the change watch ends the cache early). The watch lets go of the volume when
 * a dismount asks for it.
 */
#include "e2e_fixture.h"

#include <windows.h>

#include "win32_harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using e2e::EndToEnd;
using testhost::Outcome;

bool Mounted(const std::string &point)
{
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        if (line.find(" " + point + " ") != std::string::npos)
            return true;
    }
    return false;
}

class BothWorlds : public EndToEnd {
protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "needs root and /dev/fuse to mount volumes";
        setenv("VOREL_RUNTIME_DIR", options_.environment.at("VOREL_RUNTIME_DIR").c_str(), 1);
        StartHost({"--driver", VOREL_DRIVER_PATH, "--cache", "30"});
        Outcome created = Vorelctl({"create", "R", "64M", "both"});
        ASSERT_EQ(0, created.exitCode) << created.err;
        mount_ = options_.environment.at("VOREL_MOUNT_ROOT") + "/R";
        ASSERT_TRUE(WaitFor([&] { return Mounted(mount_); }, 10));
    }
    void TearDown() override
    {
        if (host_.pid > 0) {
            EXPECT_EQ(0u, win32::OpenHandleCount());
            Outcome stopped = StopHost();
            EXPECT_EQ(0, stopped.exitCode) << stopped.err;
            EXPECT_FALSE(Mounted(mount_)) << "the mount goes with the host";
        }
        EndToEnd::TearDown();
    }
    static bool WindowsWrite(LPCWSTR name, DWORD disposition, const std::string &text)
    {
        // Append-only: every write lands at the end.
        HANDLE file = CreateFileW(name, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  disposition, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        DWORD written = 0;
        bool ok = WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) && written == text.size();
        return CloseHandle(file) && ok;
    }
    static std::string WindowsRead(LPCWSTR name)
    {
        HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return "<" + std::to_string(GetLastError()) + ">";
        char buffer[256];
        DWORD read = 0;
        std::string text;
        if (ReadFile(file, buffer, sizeof(buffer), &read, nullptr))
            text.assign(buffer, read);
        CloseHandle(file);
        return text;
    }
    static long long SizeOf(const std::string &path)
    {
        struct stat status;
        return stat(path.c_str(), &status) == 0 ? (long long)status.st_size : -1;
    }

    std::string mount_;
};

TEST_F(BothWorlds, EachSeesWhatTheOtherDoes)
{
    {
        std::ofstream linux(mount_ + "/from-linux.txt");
        linux << "made on Linux";
    }
    EXPECT_EQ("made on Linux", WindowsRead(L"R:\\FROM-LINUX.TXT")) << "one volume, case-insensitive";

    // Linux caches what it looked up; a Windows write ends the cache at once.
    ASSERT_TRUE(WindowsWrite(L"R:\\from-windows.txt", CREATE_NEW, "abc"));
    EXPECT_EQ(3, SizeOf(mount_ + "/from-windows.txt"));
    ASSERT_TRUE(WindowsWrite(L"R:\\from-windows.txt", OPEN_EXISTING, "defg"));
    EXPECT_TRUE(WaitFor([&] { return SizeOf(mount_ + "/from-windows.txt") == 7; }, 5))
        << "the size Linux sees follows the Windows write well before the 30-second cache ends";

    // A name Windows removes goes from Linux's cache too.
    HANDLE doomed = CreateFileW(L"R:\\from-windows.txt", DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, doomed) << GetLastError();
    FILE_DISPOSITION_INFO disposition = {TRUE};
    ASSERT_TRUE(SetFileInformationByHandle(doomed, FileDispositionInfo, &disposition, sizeof(disposition)));
    ASSERT_TRUE(CloseHandle(doomed));
    EXPECT_TRUE(WaitFor([&] { return SizeOf(mount_ + "/from-windows.txt") == -1; }, 5));
    // So does a name Linux found missing (and may remember so) once Windows makes it.
    EXPECT_EQ(-1, SizeOf(mount_ + "/late.txt"));
    ASSERT_TRUE(WindowsWrite(L"R:\\late.txt", CREATE_NEW, "x"));
    EXPECT_TRUE(WaitFor([&] { return SizeOf(mount_ + "/late.txt") == 1; }, 5));
}

TEST_F(BothWorlds, TheWatchLetsGoForADismountButLinuxFilesHoldTheVolume)
{
    {
        std::ofstream(mount_ + "/held") << "x";
    }
    int held = open((mount_ + "/held").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    Outcome busy = Vorelctl({"dismount", "R"});
    EXPECT_NE(0, busy.exitCode) << "a file open on Linux holds the volume";
    EXPECT_NE(std::string::npos, busy.err.find("busy")) << busy.err;
    close(held);
    // The watch let go for the first attempt and took the volume again; it lets go again.
    Outcome gone = Vorelctl({"dismount", "R"});
    EXPECT_EQ(0, gone.exitCode) << gone.err;
    EXPECT_TRUE(WaitFor([&] { return !Mounted(mount_); }, 5));
}

} // namespace
