/*
 * Drive and memory queries: GetDriveTypeW and GetLogicalDrives answer from the
 * machine's drive links and the host drives without opening any drive, and
 * GlobalMemoryStatusEx reports the machine's memory to a caller that sized its record.
 */
#include <windows.h>

#include "test_host.h"
#include "win32_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

class Win32Drives : public testhost::TestHost {
protected:
    void TearDown() override
    {
        unsetenv("VOREL_HOST_DRIVES");
        TestHost::TearDown();
    }
};

/* The model: C:, the host drives, and the letters with a link are in use. */
TEST_F(Win32Drives, LettersInUseFollowTheHostDrivesAndTheMachinesLinks)
{
    setenv("VOREL_HOST_DRIVES", "e=/tmp;G=/srv", 1);
    testhost::MakeDriveLink('M');
    testhost::MakeDriveLink('Y');
    DWORD expected = (1u << 2) | (1u << 4) | (1u << 6) | (1u << ('M' - 'A')) | (1u << ('Y' - 'A'));
    int creates = testhost::Count().creates;
    EXPECT_EQ(expected, GetLogicalDrives());
    for (WCHAR letter = L'A'; letter <= L'Z'; ++letter) {
        WCHAR root[4] = {letter, L':', L'\\', 0};
        UINT type = GetDriveTypeW(root);
        bool used = (expected >> (letter - L'A')) & 1;
        EXPECT_EQ(used ? (UINT)DRIVE_FIXED : (UINT)DRIVE_NO_ROOT_DIR, type) << (char)letter;
        root[0] = (WCHAR)(letter + 32); /* lower case names the same drive */
        EXPECT_EQ(type, GetDriveTypeW(root)) << (char)letter;
    }
    EXPECT_EQ(creates, testhost::Count().creates); /* no drive was opened to answer */
    testhost::RemoveDriveLink('M');
    EXPECT_EQ(expected & ~(1u << ('M' - 'A')), GetLogicalDrives());
    EXPECT_EQ((UINT)DRIVE_NO_ROOT_DIR, GetDriveTypeW(L"M:\\"));
}

TEST_F(Win32Drives, RootPathsMustBeALetterAColonAndASeparator)
{
    EXPECT_EQ((UINT)DRIVE_FIXED, GetDriveTypeW(L"C:/"));
    EXPECT_EQ((UINT)DRIVE_FIXED, GetDriveTypeW(nullptr)); /* the current directory's drive */
    for (LPCWSTR path : {L"C:", L"C", L"C:\\x", L"1:\\", L"", L"\\\\.\\Vorel"})
        EXPECT_EQ((UINT)DRIVE_NO_ROOT_DIR, GetDriveTypeW(path));
}

TEST_F(Win32Drives, InjectedFailureIsZeroWithTheLastError)
{
    win32::FailCall("GetLogicalDrives", 1);
    SetLastError(0);
    EXPECT_EQ(0u, GetLogicalDrives());
    EXPECT_NE(0u, GetLastError());
    EXPECT_NE(0u, GetLogicalDrives());
}

/* MemTotal of /proc/meminfo, in bytes. */
unsigned long long MachineTotal()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key, unit;
    unsigned long long kilobytes = 0;
    while (meminfo >> key >> kilobytes >> unit)
        if (key == "MemTotal:")
            return kilobytes << 10;
    return 0;
}

TEST(Win32Memory, TheRecordMustBeSizedAndGetsTheMachinesMemory)
{
    MEMORYSTATUSEX status;
    for (DWORD length : {0u, (DWORD)sizeof(status) - 1, (DWORD)sizeof(status) + 1, 32u}) {
        std::memset(&status, 0x5A, sizeof(status));
        status.dwLength = length;
        SetLastError(0);
        EXPECT_FALSE(GlobalMemoryStatusEx(&status)) << length;
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
        EXPECT_EQ(0x5A5A5A5A5A5A5A5Aull, status.ullTotalPhys); /* nothing written */
    }
    status.dwLength = sizeof(status);
    ASSERT_TRUE(GlobalMemoryStatusEx(&status));
    EXPECT_EQ(MachineTotal(), status.ullTotalPhys);
    EXPECT_GT(status.ullAvailPhys, 0u);
    EXPECT_LE(status.ullAvailPhys, status.ullTotalPhys);
    EXPECT_LE(status.dwMemoryLoad, 100u);
    EXPECT_GE(status.ullTotalPageFile, status.ullTotalPhys);
    EXPECT_EQ(0u, status.ullAvailExtendedVirtual);
    win32::FailCall("GlobalMemoryStatusEx", 1);
    EXPECT_FALSE(GlobalMemoryStatusEx(&status));
    EXPECT_TRUE(GlobalMemoryStatusEx(&status));
}

} // namespace
