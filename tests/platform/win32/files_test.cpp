/*
 * CreateFileW, DeviceIoControl, CancelIoEx and CloseHandle against a host: the
 * control device reached by its Win32 name, replies copied back as Windows copies
 * them (warnings included), "file not found" whenever no host answers, and a broken
 * pipe when it goes mid-request.
 */
#include <windows.h>
#include <ntstatus.h>

#include "server.h"
#include "test_host.h"
#include "win32_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

HANDLE OpenControlDevice(LPCWSTR name = L"\\\\.\\Vorel")
{
    return CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

class Win32Files : public testhost::TestHost {};

TEST_F(Win32Files, TheControlDeviceOpensByEachFormOfItsName)
{
    for (LPCWSTR name : {L"\\\\.\\Vorel", L"\\\\?\\Vorel", L"//./Vorel", L"\\\\.\\VOREL"}) {
        SetLastError(ERROR_BUSY);
        HANDLE handle = OpenControlDevice(name);
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        EXPECT_EQ((DWORD)ERROR_SUCCESS, GetLastError());
        EXPECT_TRUE(CloseHandle(handle));
        EXPECT_FALSE(CloseHandle(handle));
        EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    }
    EXPECT_EQ(4, testhost::Count().creates);
    EXPECT_EQ(4, testhost::Count().closes);
    // Share mode 0 does not keep a second connection out.
    HANDLE first = OpenControlDevice(), second = OpenControlDevice();
    EXPECT_NE(INVALID_HANDLE_VALUE, first);
    EXPECT_NE(INVALID_HANDLE_VALUE, second);
    CloseHandle(first);
    CloseHandle(second);
}

TEST_F(Win32Files, NamesThatLeadNowhereFailAsOnWindows)
{
    struct Case {
        LPCWSTR name;
        DWORD error;
    };
    const Case cases[] = {
        {L"\\\\.\\NoSuchDevice", ERROR_FILE_NOT_FOUND},
        {L"relative\\name", ERROR_PATH_NOT_FOUND},
        {L"", ERROR_PATH_NOT_FOUND},
        {nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(INVALID_HANDLE_VALUE, OpenControlDevice(c.name));
        EXPECT_EQ(c.error, GetLastError());
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CreateFileW(L"\\\\.\\Vorel", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(L"\\\\.\\Vorel", GENERIC_READ, 0, nullptr, 77, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(Win32Files, ADeviceControlReturnsTheReplyAndItsSize)
{
    HANDLE handle = OpenControlDevice();
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    char in[6] = "hello", out[16];
    std::memset(out, '.', sizeof(out));
    DWORD returned = 99;
    ASSERT_TRUE(DeviceIoControl(handle, testhost::kEcho, in, sizeof(in), out, sizeof(out), &returned, nullptr));
    EXPECT_EQ(sizeof(in), returned);
    EXPECT_STREQ("hello", out);
    EXPECT_EQ('.', out[6]); /* past the bytes returned the caller's buffer is untouched */
    // One buffer as input and output.
    char both[8] = "shared";
    ASSERT_TRUE(DeviceIoControl(handle, testhost::kEcho, both, sizeof(both), both, sizeof(both), &returned, nullptr));
    EXPECT_STREQ("shared", both);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(Win32Files, AWarningFailsTheCallYetDeliversWhatCameBack)
{
    testhost::ScriptReply(testhost::TestCode(0x900), {STATUS_BUFFER_OVERFLOW, {'a', 'b', 'c', 'd', 'e', 'f'}, 6});
    HANDLE handle = OpenControlDevice();
    char out[8];
    std::memset(out, '.', sizeof(out));
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(handle, testhost::TestCode(0x900), nullptr, 0, out, sizeof(out), &returned, nullptr));
    EXPECT_EQ((DWORD)ERROR_MORE_DATA, GetLastError());
    EXPECT_EQ(6u, returned);
    EXPECT_EQ(0, std::memcmp(out, "abcdef..", 8));
    CloseHandle(handle);
}

TEST_F(Win32Files, AnErrorDeliversNothing)
{
    testhost::ScriptReply(testhost::TestCode(0x901), {STATUS_ACCESS_DENIED, {'x', 'x', 'x', 'x'}, 4});
    HANDLE handle = OpenControlDevice();
    char out[4] = {'.', '.', '.', '.'};
    DWORD returned = 99;
    EXPECT_FALSE(DeviceIoControl(handle, testhost::TestCode(0x901), nullptr, 0, out, sizeof(out), &returned, nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(99u, returned);
    EXPECT_EQ(0, std::memcmp(out, "....", 4));
    CloseHandle(handle);
}

TEST_F(Win32Files, BadArgumentsAreRefusedWithTheirErrors)
{
    HANDLE handle = OpenControlDevice();
    char buffer[8] = {};
    DWORD returned;
    EXPECT_FALSE(DeviceIoControl(handle, testhost::kEcho, buffer, 8, buffer, 8, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    OVERLAPPED overlapped{};
    EXPECT_FALSE(DeviceIoControl(handle, testhost::kEcho, buffer, 8, buffer, 8, &returned, &overlapped));
    EXPECT_EQ((DWORD)ERROR_NOT_SUPPORTED, GetLastError());
    EXPECT_FALSE(DeviceIoControl((HANDLE)0x7777, testhost::kEcho, buffer, 8, buffer, 8, &returned, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    // A missing buffer with a length: the I/O manager's probe refuses it.
    EXPECT_FALSE(DeviceIoControl(handle, testhost::kEcho, nullptr, 8, buffer, 8, &returned, nullptr));
    EXPECT_EQ((DWORD)ERROR_NOACCESS, GetLastError());
    CloseHandle(handle);
}

TEST_F(Win32Files, CancelIoExEndsARequestWaitingOnAnotherThread)
{
    HANDLE handle = OpenControlDevice();
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    EXPECT_FALSE(CancelIoEx(handle, nullptr));
    EXPECT_EQ((DWORD)ERROR_NOT_FOUND, GetLastError());
    BOOL result = TRUE;
    DWORD error = 0;
    std::thread waiter([&] {
        DWORD returned;
        result = DeviceIoControl(handle, testhost::kPendUntilCancelled, nullptr, 0, nullptr, 0, &returned, nullptr);
        error = GetLastError();
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (testhost::Count().pending == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(1, testhost::Count().pending);
    EXPECT_TRUE(CancelIoEx(handle, nullptr));
    waiter.join();
    EXPECT_FALSE(result);
    EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, error);
    EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(Win32Files, ARequestTheHostNeverAnswersFailsWithABrokenPipe)
{
    HANDLE handle = OpenControlDevice();
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    BOOL result = TRUE;
    DWORD error = 0;
    std::thread waiter([&] {
        DWORD returned;
        result = DeviceIoControl(handle, testhost::kPendUntilCancelled, nullptr, 0, nullptr, 0, &returned, nullptr);
        error = GetLastError();
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (testhost::Count().pending == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(1, testhost::Count().pending);
    server_->Stop(); /* the host goes */
    waiter.join();
    EXPECT_FALSE(result);
    EXPECT_EQ((DWORD)ERROR_BROKEN_PIPE, error);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

class Win32NoDriver : public testhost::TestHost {
protected:
    bool LoadsDriver() override { return false; }
};

TEST_F(Win32NoDriver, AHostWithoutTheDriverHasNoSuchDevice)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenControlDevice());
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

class Win32NoHost : public testing::Test {
protected:
    void SetUp() override
    {
        directory_ = testhost::MakeTemporaryDirectory("vorel-nohost");
        setenv("VOREL_RUNTIME_DIR", directory_.c_str(), 1);
    }
    void TearDown() override { testhost::RemoveTree(directory_); }
    std::string directory_;
};

TEST_F(Win32NoHost, NoSocketIsFileNotFound)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenControlDevice());
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(Win32NoHost, ASocketNobodyServesIsFileNotFound)
{
    // What a host that was killed leaves behind.
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = directory_ + "/vorel.sock";
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)));
    close(fd);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenControlDevice());
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(0u, win32::OpenHandleCount());
}

} // namespace
