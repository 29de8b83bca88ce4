/*
 * Files on the host drives (C: is the Linux root, VOREL_HOST_DRIVES maps more):
 * opened by the process itself, never through the host, with Windows' dispositions,
 * share checks between the process's handles, file pointer, end-of-file and delete
 * semantics, and the disk space of the Linux file system that holds them.
 */
#include <windows.h>
#include <winioctl.h>

#include "test_host.h"
#include "win32_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

/* A Win32 name for a Linux path below the fixture's directory: "/tmp/x" is "C:\tmp\x". */
std::u16string Wide(const std::string &text)
{
    std::u16string wide;
    for (char c : text)
        wide.push_back(c == '/' ? u'\\' : (char16_t)(unsigned char)c);
    return wide;
}

LPCWSTR W(const std::u16string &text)
{
    return reinterpret_cast<LPCWSTR>(text.c_str());
}

bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

off_t SizeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class Win32HostFiles : public testing::Test {
protected:
    void SetUp() override
    {
        directory_ = testhost::MakeTemporaryDirectory("vorel-hostfiles");
        ASSERT_FALSE(directory_.empty());
        setenv("VOREL_RUNTIME_DIR", directory_.c_str(), 1); /* no host: nothing may need one */
    }
    void TearDown() override
    {
        EXPECT_EQ(0u, win32::OpenHandleCount());
        unsetenv("VOREL_HOST_DRIVES");
        testhost::RemoveTree(directory_);
    }
    std::string Linux(const char *name) const { return directory_ + "/" + name; }
    std::u16string Name(const char *name) const { return u"C:" + Wide(Linux(name)); }
    HANDLE Open(const char *name, DWORD access, DWORD creation, DWORD share = 0, DWORD flags = 0) const
    {
        return CreateFileW(W(Name(name)), access, share, nullptr, creation, flags, nullptr);
    }

    std::string directory_;
};

TEST_F(Win32HostFiles, DispositionsCreateOpenAndTruncateAsOnWindows)
{
    SetLastError(ERROR_BUSY);
    HANDLE created = Open("f", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, created);
    EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(created, "hello", 5, &written, nullptr));
    EXPECT_EQ(5u, written);
    EXPECT_TRUE(CloseHandle(created));

    EXPECT_EQ(INVALID_HANDLE_VALUE, Open("f", GENERIC_WRITE, CREATE_NEW));
    EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
    HANDLE opened = Open("f", GENERIC_READ, OPEN_ALWAYS);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_TRUE(CloseHandle(opened));
    EXPECT_EQ(5, SizeOf(Linux("f")));
    HANDLE replaced = Open("f", GENERIC_WRITE, CREATE_ALWAYS);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ(0, SizeOf(Linux("f")));
    EXPECT_TRUE(CloseHandle(replaced));
    HANDLE fresh = Open("g", GENERIC_WRITE, OPEN_ALWAYS);
    EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
    EXPECT_TRUE(CloseHandle(fresh));

    struct Case {
        const char *name;
        DWORD creation;
        DWORD flags;
        DWORD error;
    };
    ASSERT_EQ(0, mkdir(Linux("d").c_str(), 0755));
    const Case refusals[] = {
        {"missing", OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
        {"missing", TRUNCATE_EXISTING, 0, ERROR_FILE_NOT_FOUND},
        {"nowhere/f", CREATE_ALWAYS, 0, ERROR_PATH_NOT_FOUND},
        {"f/below", OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
        {"d", OPEN_EXISTING, 0, ERROR_ACCESS_DENIED}, /* a directory without backup semantics */
        {"d", CREATE_NEW, FILE_FLAG_BACKUP_SEMANTICS, ERROR_FILE_EXISTS},
        {"d", CREATE_ALWAYS, FILE_FLAG_BACKUP_SEMANTICS, ERROR_ACCESS_DENIED},
    };
    for (const Case &c : refusals) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, Open(c.name, GENERIC_READ | GENERIC_WRITE, c.creation, 0, c.flags)) << c.name;
        EXPECT_EQ(c.error, GetLastError()) << c.name;
    }
    HANDLE directory = Open("d", GENERIC_READ, OPEN_EXISTING, 0, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(INVALID_HANDLE_VALUE, directory);
    char byte;
    DWORD read = 7;
    EXPECT_FALSE(ReadFile(directory, &byte, 1, &read, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    EXPECT_EQ(0u, read);
    EXPECT_TRUE(CloseHandle(directory));
}

TEST_F(Win32HostFiles, EveryFormOfAHostPathNamesTheSameFileAndItsInformationIsLinuxs)
{
    std::ofstream(Linux("same")) << std::string(70000, 'x');
    ASSERT_EQ(0, link(Linux("same").c_str(), Linux("other").c_str()));
    ASSERT_EQ(0, chmod(Linux("same").c_str(), 0444));
    struct stat st;
    ASSERT_EQ(0, stat(Linux("same").c_str(), &st));
    setenv("VOREL_HOST_DRIVES", ("q=" + directory_ + "/").c_str(), 1);
    std::u16string forms[] = {
        Name("same"),
        u"\\\\?\\" + Name("same"),
        u"c:" + Wide(directory_) + u"/./d1/../same",
        u"Q:\\same",
        u"q:\\..\\..\\same", /* ".." stops at the drive's root */
    };
    for (const std::u16string &form : forms) {
        HANDLE handle = CreateFileW(W(form), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        BY_HANDLE_FILE_INFORMATION information;
        ASSERT_TRUE(GetFileInformationByHandle(handle, &information));
        EXPECT_EQ((uint64_t)st.st_ino, ((uint64_t)information.nFileIndexHigh << 32) | information.nFileIndexLow);
        EXPECT_EQ(70000u, information.nFileSizeLow);
        EXPECT_EQ(2u, information.nNumberOfLinks);
        EXPECT_EQ((DWORD)(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY), information.dwFileAttributes);
        uint64_t written = ((uint64_t)information.ftLastWriteTime.dwHighDateTime << 32) |
                           information.ftLastWriteTime.dwLowDateTime;
        EXPECT_EQ((uint64_t)(st.st_mtim.tv_sec + 11644473600ll) * 10000000 + st.st_mtim.tv_nsec / 100, written);
        EXPECT_TRUE(CloseHandle(handle));
    }
}

TEST_F(Win32HostFiles, ReadsFollowTheFilePointerOrTheOverlappedOffset)
{
    std::ofstream(Linux("data")) << "0123456789";
    HANDLE handle = Open("data", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    char buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(handle, buffer, 4, &read, nullptr));
    EXPECT_EQ(4u, read);
    EXPECT_EQ(0, std::memcmp(buffer, "0123", 4));
    OVERLAPPED at{};
    at.Offset = 7;
    ASSERT_TRUE(ReadFile(handle, buffer, 2, &read, &at));
    EXPECT_EQ(0, std::memcmp(buffer, "78", 2));
    EXPECT_EQ(2u, at.InternalHigh);
    ASSERT_TRUE(ReadFile(handle, buffer, 16, &read, nullptr)); /* the positioned read moved the pointer */
    EXPECT_EQ(1u, read);
    EXPECT_EQ('9', buffer[0]);
    // At the end: success with nothing when synchronous, ERROR_HANDLE_EOF when positioned.
    read = 5;
    EXPECT_TRUE(ReadFile(handle, buffer, 16, &read, nullptr));
    EXPECT_EQ(0u, read);
    at.Offset = 10;
    EXPECT_FALSE(ReadFile(handle, buffer, 16, &read, &at));
    EXPECT_EQ((DWORD)ERROR_HANDLE_EOF, GetLastError());
    EXPECT_FALSE(ReadFile(handle, buffer, 1, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(WriteFile(handle, "x", 1, &read, nullptr)); /* no write access */
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(ReadFile(handle, buffer, 1, &read, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

    HANDLE writer = Open("data", GENERIC_WRITE, OPEN_EXISTING);
    OVERLAPPED end{};
    end.Offset = end.OffsetHigh = 0xFFFFFFFF; /* at the end of the file */
    EXPECT_TRUE(WriteFile(writer, "ab", 2, nullptr, &end));
    EXPECT_TRUE(CloseHandle(writer));
    EXPECT_EQ(12, SizeOf(Linux("data")));
}

TEST_F(Win32HostFiles, EndOfFileAndDispositionNeedTheirAccessAndTakeEffectAsDocumented)
{
    std::ofstream(Linux("sized")) << "abcdef";
    HANDLE reader = Open("sized", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = 1 << 20;
    EXPECT_FALSE(SetFileInformationByHandle(reader, FileEndOfFileInfo, &end, sizeof(end)));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    FILE_DISPOSITION_INFO remove = {TRUE};
    EXPECT_FALSE(SetFileInformationByHandle(reader, FileDispositionInfo, &remove, sizeof(remove)));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError()); /* no DELETE access */
    EXPECT_TRUE(CloseHandle(reader));

    HANDLE handle = Open("sized", GENERIC_READ | GENERIC_WRITE | DELETE, OPEN_EXISTING);
    ASSERT_TRUE(SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof(end)));
    EXPECT_EQ(1 << 20, SizeOf(Linux("sized")));
    end.EndOfFile.QuadPart = 2;
    ASSERT_TRUE(SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof(end)));
    EXPECT_EQ(2, SizeOf(Linux("sized")));
    end.EndOfFile.QuadPart = -1;
    EXPECT_FALSE(SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof(end)));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof(end) - 1));
    EXPECT_EQ((DWORD)ERROR_BAD_LENGTH, GetLastError());
    EXPECT_FALSE(SetFileInformationByHandle(handle, FileStandardInfo, &end, sizeof(end))); /* a query class */
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(2, SizeOf(Linux("sized"))); /* refusals changed nothing */

    // A delete is carried out when the handle closes, and can be taken back before.
    ASSERT_TRUE(SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof(remove)));
    remove.DeleteFile = FALSE;
    ASSERT_TRUE(SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof(remove)));
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_TRUE(Exists(Linux("sized")));
    handle = Open("sized", DELETE, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    FILE_DISPOSITION_INFO_EX removeEx = {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    ASSERT_TRUE(SetFileInformationByHandle(handle, FileDispositionInfoEx, &removeEx, sizeof(removeEx)));
    EXPECT_TRUE(Exists(Linux("sized")));
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(Exists(Linux("sized")));

    // A directory with something in it is not deleted; an empty one is.
    ASSERT_EQ(0, mkdir(Linux("full").c_str(), 0755));
    std::ofstream(Linux("full/x")) << "x";
    handle = Open("full", DELETE, OPEN_EXISTING, 0, FILE_FLAG_BACKUP_SEMANTICS);
    remove.DeleteFile = TRUE;
    EXPECT_FALSE(SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof(remove)));
    EXPECT_EQ((DWORD)ERROR_DIR_NOT_EMPTY, GetLastError());
    ASSERT_EQ(0, unlink(Linux("full/x").c_str()));
    EXPECT_TRUE(SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof(remove)));
    EXPECT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(Exists(Linux("full")));
}

TEST_F(Win32HostFiles, TheProcesssHandlesOnOneFileCheckEachOthersShareModes)
{
    std::ofstream(Linux("shared")) << "x";
    HANDLE first = Open("shared", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    ASSERT_NE(INVALID_HANDLE_VALUE, first);
    HANDLE second = Open("shared", GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
    EXPECT_NE(INVALID_HANDLE_VALUE, second);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open("shared", GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open("shared", GENERIC_WRITE, CREATE_ALWAYS)); /* nothing truncated */
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    EXPECT_EQ(1, SizeOf(Linux("shared")));
    HANDLE attributes = Open("shared", FILE_READ_ATTRIBUTES, OPEN_EXISTING); /* takes no part */
    EXPECT_NE(INVALID_HANDLE_VALUE, attributes);
    DWORD returned;
    EXPECT_FALSE(DeviceIoControl(first, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    EXPECT_EQ(3u, win32::OpenHandleCount());
    for (HANDLE handle : {first, second, attributes})
        EXPECT_TRUE(CloseHandle(handle));
    HANDLE writer = Open("shared", GENERIC_WRITE, OPEN_EXISTING);
    EXPECT_NE(INVALID_HANDLE_VALUE, writer);
    EXPECT_TRUE(CloseHandle(writer));
}

TEST_F(Win32HostFiles, DiskSpaceIsTheHostFileSystemsForAFolder)
{
    struct statvfs vfs;
    ASSERT_EQ(0, statvfs(directory_.c_str(), &vfs));
    ULARGE_INTEGER caller, total, free;
    ASSERT_TRUE(GetDiskFreeSpaceExW(W(Name("")), &caller, &total, &free));
    EXPECT_EQ((uint64_t)vfs.f_blocks * vfs.f_frsize, total.QuadPart);
    EXPECT_LE(caller.QuadPart, free.QuadPart);
    EXPECT_TRUE(GetDiskFreeSpaceExW(nullptr, nullptr, &total, nullptr)); /* C:, every output optional */
    setenv("VOREL_HOST_DRIVES", ("D=" + directory_).c_str(), 1);
    ULARGE_INTEGER mapped;
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"D:\\", nullptr, &mapped, nullptr));
    EXPECT_EQ((uint64_t)vfs.f_blocks * vfs.f_frsize, mapped.QuadPart);

    std::ofstream(Linux("file")) << "x";
    EXPECT_FALSE(GetDiskFreeSpaceExW(W(Name("file")), &caller, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_DIRECTORY, GetLastError());
    EXPECT_FALSE(GetDiskFreeSpaceExW(W(Name("missing")), &caller, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_FALSE(GetDiskFreeSpaceExW(W(Name("missing\\deeper")), &caller, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    EXPECT_FALSE(GetDiskFreeSpaceExW(L"relative", &caller, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
}

} // namespace
