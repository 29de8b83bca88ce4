/*
 * Files on a volume of a real vorelhost, from a process of their own: the Win32 file
 * calls reach the volume through the socket, the library's free space comes from the
 * volume's size, and a clone shares the source's data.
 */
#include "e2e_fixture.h"

#include <vorellib.h>
#include <windows.h>

#include "win32_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using e2e::EndToEnd;
using testhost::Outcome;

/* This process as a client of the fixture's host, with volume R: of 64 MiB. */
class VolumeFiles : public EndToEnd {
protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        setenv("VOREL_RUNTIME_DIR", options_.environment.at("VOREL_RUNTIME_DIR").c_str(), 1);
        StartHost();
        Outcome created = Vorelctl({"create", "R", "64M", "files"});
        ASSERT_EQ(0, created.exitCode) << created.err;
    }
    void TearDown() override
    {
        EXPECT_EQ(0u, win32::OpenHandleCount());
        if (host_.pid > 0) {
            Outcome stopped = StopHost();
            EXPECT_EQ(0, stopped.exitCode) << stopped.err;
        }
        EndToEnd::TearDown();
    }
    /* Writes a file on the volume through the Win32 calls. */
    static void Make(LPCWSTR name, const std::vector<uint8_t> &bytes)
    {
        HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr)) << GetLastError();
        EXPECT_EQ(bytes.size(), written);
        EXPECT_TRUE(CloseHandle(file));
    }
    /* A file's bytes and what GetFileInformationByHandle says of it. */
    static std::vector<uint8_t> Contents(LPCWSTR name, BY_HANDLE_FILE_INFORMATION *information = nullptr)
    {
        std::vector<uint8_t> bytes;
        HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
        if (file == INVALID_HANDLE_VALUE)
            return bytes;
        BY_HANDLE_FILE_INFORMATION local;
        EXPECT_TRUE(GetFileInformationByHandle(file, information != nullptr ? information : &local));
        uint8_t chunk[65536];
        DWORD read = 0;
        while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read != 0)
            bytes.insert(bytes.end(), chunk, chunk + read);
        EXPECT_TRUE(CloseHandle(file));
        return bytes;
    }
};

TEST_F(VolumeFiles, TheWin32CallsAndTheFreeSpaceReachTheVolume)
{
    std::vector<uint8_t> data(300000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (uint8_t)(i * 7 + i / 4096);
    Make(L"R:\\data.bin", data);
    BY_HANDLE_FILE_INFORMATION information;
    EXPECT_EQ(data, Contents(L"r:\\DATA.BIN", &information));
    EXPECT_EQ(300000u, information.nFileSizeLow);
    EXPECT_EQ(1u, information.nNumberOfLinks);
    EXPECT_EQ(0u, information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);

    ULARGE_INTEGER caller, total;
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"R:\\", &caller, &total, nullptr)) << GetLastError();
    EXPECT_EQ(64ull << 20, total.QuadPart);
    EXPECT_LE(caller.QuadPart, (64ull << 20) - data.size());
    unsigned long long free = 0;
    ASSERT_EQ(VOREL_OK, vorel_free_space_query("R:\\images\\later\\r.img", &free));
    EXPECT_EQ(caller.QuadPart, free);
    EXPECT_FALSE(GetDiskFreeSpaceExW(L"R:\\data.bin", &caller, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_DIRECTORY, GetLastError());

    // An empty file clones without asking the file system for anything but the target.
    Make(L"R:\\empty", {});
    EXPECT_EQ(VOREL_OK, vorel_file_clone("R:\\empty", "R:\\empty-copy"));
    EXPECT_TRUE(Contents(L"R:\\empty-copy").empty());
    EXPECT_EQ(VOREL_ERR_NOT_FOUND, vorel_file_clone("R:\\missing", "R:\\copy"));
    EXPECT_EQ(VOREL_ERR_NOT_FOUND, vorel_file_clone("R:\\data.bin", "R:\\no\\copy"));
}

TEST_F(VolumeFiles, ACloneSharesTheDataAndAFailedOneLeavesNoTarget)
{
    /* Three whole extents: a last extent left partial by the trim at the last cleanup (which may
       come from the host's own mount, whenever it looks at the new file) would be copied. */
    std::vector<uint8_t> data(6 << 20);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (uint8_t)(i ^ (i >> 13));
    Make(L"R:\\source.bin", data);
    unsigned long long before = 0, after = 0;
    ASSERT_EQ(VOREL_OK, vorel_free_space_query("R:\\", &before));
    ASSERT_EQ(VOREL_OK, vorel_file_clone("R:\\source.bin", "R:\\clone.bin"));
    ASSERT_EQ(VOREL_OK, vorel_free_space_query("R:\\", &after));
    EXPECT_GE(after + (1 << 20), before); /* shared, not copied */
    BY_HANDLE_FILE_INFORMATION source, clone;
    EXPECT_EQ(data, Contents(L"R:\\clone.bin", &clone));
    Contents(L"R:\\source.bin", &source);
    EXPECT_EQ(source.nFileSizeLow, clone.nFileSizeLow);
    EXPECT_NE(source.nFileIndexLow, clone.nFileIndexLow);

    // Writing the clone leaves the source as it was.
    HANDLE file = CreateFileW(L"R:\\clone.bin", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "changed", 7, &written, nullptr));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(data, Contents(L"R:\\source.bin"));
    std::vector<uint8_t> changed = Contents(L"R:\\clone.bin");
    ASSERT_EQ(data.size(), changed.size());
    EXPECT_EQ(0, std::memcmp(changed.data(), "changed", 7));

    // A clone across volumes is refused by the file system after the target was made
    // and sized: the target goes again.
    Outcome second = Vorelctl({"create", "S", "16M"});
    ASSERT_EQ(0, second.exitCode) << second.err;
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_file_clone("R:\\source.bin", "S:\\clone.bin"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(L"S:\\clone.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

} // namespace
