/*
 * The service control manager: services as registry keys, their access rules, and
 * a running driver service marked for deletion rather than removed.
 */
#include "test_host.h"

#include <winreg.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Services : public testhost::TestHost {
protected:
    void SetUp() override
    {
        TestHost::SetUp();
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
        ASSERT_NE(nullptr, manager_);
    }
    void TearDown() override
    {
        if (pidFd_ >= 0)
            close(pidFd_);
        EXPECT_TRUE(CloseServiceHandle(manager_));
        TestHost::TearDown();
    }
    SC_HANDLE Create(const WCHAR *name)
    {
        return CreateServiceW(manager_, name, nullptr, SERVICE_ALL_ACCESS, SERVICE_FILE_SYSTEM_DRIVER,
                              SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL, L"C:\\drivers\\test.sys", nullptr, nullptr,
                              nullptr, nullptr, nullptr);
    }
    /* Holds the runtime directory's pid file as a running host does. */
    void ActAsRunningHost()
    {
        pidFd_ = open((runtimeDirectory_ + "/vorelhost.pid").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(pidFd_, 0);
        ASSERT_EQ(0, flock(pidFd_, LOCK_EX | LOCK_NB));
        std::string pid = std::to_string(getpid()) + "\n";
        ASSERT_EQ((ssize_t)pid.size(), write(pidFd_, pid.data(), pid.size()));
    }
    DWORD ReadDword(const WCHAR *path, const WCHAR *name)
    {
        DWORD value = 0, bytes = sizeof(value);
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
            return ~0u;
        LSTATUS error = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(&value), &bytes);
        RegCloseKey(key);
        return error == ERROR_SUCCESS ? value : ~0u;
    }
    SC_HANDLE manager_ = nullptr;
    int pidFd_ = -1;
};

TEST_F(Services, AServiceIsItsKeyUntilDeleted)
{
    SC_HANDLE service = Create(L"vtest");
    ASSERT_NE(nullptr, service) << GetLastError();
    EXPECT_EQ((DWORD)SERVICE_FILE_SYSTEM_DRIVER, ReadDword(L"SYSTEM\\CurrentControlSet\\Services\\vtest", L"Type"));
    EXPECT_EQ((DWORD)SERVICE_SYSTEM_START, ReadDword(L"SYSTEM\\CurrentControlSet\\Services\\vtest", L"Start"));

    EXPECT_EQ(nullptr, Create(L"VTEST"));
    EXPECT_EQ((DWORD)ERROR_SERVICE_EXISTS, GetLastError());

    SERVICE_STATUS status;
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState);
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ((DWORD)ERROR_SERVICE_NOT_ACTIVE, GetLastError());

    // A stopped service goes at once, subkeys and all.
    HKEY parameters;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\vtest\\Parameters",
                                             0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &parameters, nullptr));
    RegCloseKey(parameters);
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_EQ(nullptr, OpenServiceW(manager_, L"vtest", SERVICE_QUERY_STATUS));
    EXPECT_EQ((DWORD)ERROR_SERVICE_DOES_NOT_EXIST, GetLastError());
    EXPECT_FALSE(CloseServiceHandle(service));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(Services, TheRunningDriverServiceIsMarkedForDeletion)
{
    SC_HANDLE service = Create(L"vorel");
    ASSERT_NE(nullptr, service) << GetLastError();
    ActAsRunningHost();
    SERVICE_STATUS status;
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, status.dwCurrentState);
    EXPECT_FALSE(StartServiceW(service, 0, nullptr));
    EXPECT_EQ((DWORD)ERROR_SERVICE_ALREADY_RUNNING, GetLastError());

    EXPECT_TRUE(DeleteService(service));
    EXPECT_EQ(1u, ReadDword(L"SYSTEM\\CurrentControlSet\\Services\\vorel", L"DeleteFlag"));
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError());
    EXPECT_FALSE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                      L"C:\\other.sys", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError());
    EXPECT_EQ(nullptr, Create(L"vorel"));
    EXPECT_EQ((DWORD)ERROR_SERVICE_MARKED_FOR_DELETE, GetLastError());
    EXPECT_TRUE(CloseServiceHandle(service));
}

TEST_F(Services, ConfigurationChangesAreCheckedBeforeAnythingIsWritten)
{
    SC_HANDLE service = Create(L"vconfig");
    ASSERT_NE(nullptr, service);
    EXPECT_FALSE(ChangeServiceConfigW(service, 0x10 /* a user-mode process */, SERVICE_DEMAND_START,
                                      SERVICE_NO_CHANGE, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ((DWORD)SERVICE_SYSTEM_START, ReadDword(L"SYSTEM\\CurrentControlSet\\Services\\vconfig", L"Start"));
    EXPECT_TRUE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_DEMAND_START, SERVICE_NO_CHANGE, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, ReadDword(L"SYSTEM\\CurrentControlSet\\Services\\vconfig", L"Start"));
    EXPECT_EQ(nullptr, CreateServiceW(manager_, L"bad\\name", nullptr, 0, SERVICE_KERNEL_DRIVER,
                                      SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL, L"C:\\x.sys", nullptr, nullptr,
                                      nullptr, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_NAME, GetLastError());
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(CloseServiceHandle(service));
}

/* The error a standard user's call gets, from a child process running as nobody. */
template <typename Call>
DWORD AsStandardUser(Call call)
{
    pid_t child = fork();
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(255);
        _exit((int)call());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? (DWORD)WEXITSTATUS(status) : ~0u;
}

TEST_F(Services, AStandardUserMayConnectAndQueryOnly)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    SC_HANDLE service = Create(L"vuser");
    ASSERT_NE(nullptr, service);
    EXPECT_EQ(0u, AsStandardUser([] {
                  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
                  return manager != nullptr && CloseServiceHandle(manager) ? 0u : GetLastError();
              }));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, AsStandardUser([] {
                  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
                  return manager != nullptr ? 0u : GetLastError();
              }));
    SC_HANDLE manager = manager_;
    for (DWORD access : {(DWORD)DELETE, (DWORD)SERVICE_START, (DWORD)SERVICE_STOP, (DWORD)SERVICE_CHANGE_CONFIG}) {
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, AsStandardUser([manager, access] {
                      return OpenServiceW(manager, L"vuser", access) != nullptr ? 0u : GetLastError();
                  })) << access;
    }
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(CloseServiceHandle(service));
}

} // namespace
