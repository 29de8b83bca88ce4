/*
 * The driver as a service: vorelctl install and uninstall against a real vorelhost,
 * the service control manager starting and stopping it, and the drive-letter records
 * uninstall clears.
 */
#include "e2e_fixture.h"

#include <winreg.h>
#include <winsvc.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace e2e {
namespace {

const char kUninstalled[] = "Uninstalled.\n(the driver unloads and vorel.sys is removed at the next reboot)\n";
const char kAdministratorHint[] = "          (run this command as administrator)\n"
                                  "          (Win32 error 5: Access is denied.)\n";

class Service : public EndToEnd {
protected:
    void SetUp() override
    {
        EndToEnd::SetUp();
        // This process speaks to the same machine (the registry, the service control manager).
        for (const auto &[name, value] : options_.environment)
            setenv(name.c_str(), value.c_str(), 1);
        std::string bin = std::filesystem::path(testhost::ProgramPath("vorelhost")).parent_path();
        setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
        std::filesystem::create_directories(base_ + "/system/drivers");
        std::filesystem::copy_file(VOREL_DRIVER_PATH, base_ + "/system/drivers/vorel.sys");
    }
    void TearDown() override
    {
        StopDaemon();
        EndToEnd::TearDown();
    }
    /* Ends a host the service control manager started (it runs detached). */
    void StopDaemon()
    {
        std::string pidFile = base_ + "/run/vorelhost.pid";
        int pid = std::atoi(testhost::ReadFile(pidFile).c_str());
        if (pid > 0 && kill(pid, SIGTERM) == 0) {
            EXPECT_TRUE(WaitFor([&] { return kill(pid, 0) != 0; }, 90));
        }
    }
    /* The Win32 form of a Linux path. */
    static std::string Win32Path(const std::string &path)
    {
        std::string out = "C:" + path;
        for (char &c : out)
            if (c == '/')
                c = '\\';
        return out;
    }
    std::u16string ImagePath()
    {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\vorel", 0, KEY_QUERY_VALUE,
                          &key) != ERROR_SUCCESS)
            return u"(none)";
        WCHAR text[512] = {};
        DWORD bytes = sizeof(text) - sizeof(WCHAR);
        LSTATUS error = RegQueryValueExW(key, L"ImagePath", nullptr, nullptr, reinterpret_cast<BYTE *>(text), &bytes);
        RegCloseKey(key);
        return error == ERROR_SUCCESS ? std::u16string(reinterpret_cast<const char16_t *>(text)) : u"(error)";
    }
    static std::u16string Wide(const std::string &text) { return std::u16string(text.begin(), text.end()); }
};

TEST_F(Service, InstallStartsTheHostAndASecondInstallFindsItRunning)
{
    Outcome first = Vorelctl({"install"});
    EXPECT_EQ(0, first.exitCode) << first.err;
    EXPECT_EQ("Installed and started.\n", first.out);
    ASSERT_TRUE(Serving());
    EXPECT_EQ(u"\\??\\" + Wide(Win32Path(base_ + "/system/drivers/vorel.sys")), ImagePath());
    EXPECT_EQ("No volumes mounted\n", Vorelctl({"list"}).out);

    Outcome second = Vorelctl({"install", VOREL_DRIVER_PATH});
    EXPECT_EQ(0, second.exitCode) << second.err;
    EXPECT_EQ("Already installed and running.\n", second.out);
    EXPECT_EQ(u"\\??\\" + Wide(Win32Path(VOREL_DRIVER_PATH)), ImagePath());
}

TEST_F(Service, ARelativePathResolvesAgainstTheCurrentDirectory)
{
    char saved[4096];
    ASSERT_NE(nullptr, getcwd(saved, sizeof(saved)));
    ASSERT_EQ(0, chdir((base_ + "/system").c_str()));
    Outcome outcome = Vorelctl({"install", "drivers/../drivers/vorel.sys"});
    ASSERT_EQ(0, chdir(saved));
    EXPECT_EQ(0, outcome.exitCode) << outcome.err;
    EXPECT_EQ("Installed and started.\n", outcome.out);
    EXPECT_EQ(u"\\??\\" + Wide(Win32Path(base_ + "/system/drivers/vorel.sys")), ImagePath());
}

TEST_F(Service, PathsThatNameNoDriverFileAreRefusedAndNothingIsInstalled)
{
    Outcome missing = Vorelctl({"install", base_ + "/none.sys"});
    EXPECT_EQ(3, missing.exitCode);
    EXPECT_EQ("vorelctl: driver file not found: " + Win32Path(base_ + "/none.sys") + "\n", missing.err);
    Outcome folder = Vorelctl({"install", base_ + "/system/drivers"});
    EXPECT_EQ(3, folder.exitCode);
    EXPECT_EQ("vorelctl: driver file not found: " + Win32Path(base_ + "/system/drivers") + "\n", folder.err);
    Outcome tooLong = Vorelctl({"install", "/" + std::string(300, 'a')});
    EXPECT_EQ(3, tooLong.exitCode);
    EXPECT_EQ("vorelctl: driver path too long or invalid\n", tooLong.err);
    Outcome unresolvable = Vorelctl({"install", std::string(250, 'b')});
    EXPECT_EQ(3, unresolvable.exitCode);
    EXPECT_EQ("vorelctl: cannot resolve the driver path\n", unresolvable.err);
    EXPECT_FALSE(Serving());
    Outcome uninstall = Vorelctl({"uninstall"});
    EXPECT_EQ(0, uninstall.exitCode) << uninstall.err;
    EXPECT_EQ("Already uninstalled.\n", uninstall.out);
}

TEST_F(Service, AStandardUserIsSentToAnAdministrator)
{
    RequireRoot();
    Outcome install = Vorelctl({"install", base_ + "/system/drivers/vorel.sys"}, kNobody);
    EXPECT_EQ(2, install.exitCode);
    EXPECT_EQ(std::string("vorelctl: cannot open the service control manager\n") + kAdministratorHint, install.err);
    EXPECT_FALSE(Serving());

    ASSERT_EQ("Installed and started.\n", Vorelctl({"install"}).out);
    HKEY devices;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\MountedDevices", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &devices, nullptr));
    const BYTE record[16] = {'Q', 0, 0x6C, 0x76};
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(devices, L"\\DosDevices\\Q:", 0, REG_BINARY, record, sizeof(record)));
    Outcome uninstall = Vorelctl({"uninstall"}, kNobody);
    EXPECT_EQ(3, uninstall.exitCode);
    EXPECT_EQ(std::string("vorelctl: cannot open the vorel service\n") + kAdministratorHint, uninstall.err);
    // The host refused the standard user's write: the record and the service are still there.
    DWORD bytes = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(devices, L"\\DosDevices\\Q:", nullptr, nullptr, nullptr, &bytes));
    RegCloseKey(devices);
    EXPECT_TRUE(Serving());
}

TEST_F(Service, UninstallRemovesOnlyThisDriversDriveRecords)
{
    ASSERT_EQ("Installed and started.\n", Vorelctl({"install"}).out);
    HKEY devices;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\MountedDevices", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &devices, nullptr));
    auto set = [&](const WCHAR *name, DWORD type, std::vector<BYTE> data) {
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(devices, name, 0, type, data.data(), (DWORD)data.size()));
    };
    std::vector<BYTE> ours(16, 0);
    ours[0] = 'Q';
    ours[2] = 0x6C;
    ours[3] = 0x76;
    set(L"\\DosDevices\\A:", REG_BINARY, std::vector<BYTE>(200, 0x6C)); /* too large to read: skipped */
    set(L"\\DosDevices\\Q:", REG_BINARY, ours);
    std::vector<BYTE> anyLetter = ours;
    anyLetter[0] = 0xEE;
    anyLetter[1] = 0xFF;
    set(L"\\??\\Volume{stale}", REG_BINARY, anyLetter);
    std::vector<BYTE> byteNine = ours;
    byteNine[9] = 1;
    set(L"\\DosDevices\\P:", REG_BINARY, byteNine);
    std::vector<BYTE> longer = ours;
    longer.push_back(0);
    set(L"\\DosDevices\\O:", REG_BINARY, longer);
    set(L"\\DosDevices\\N:", REG_NONE, ours);

    Outcome uninstall = Vorelctl({"uninstall"});
    EXPECT_EQ(0, uninstall.exitCode) << uninstall.err;
    EXPECT_EQ(kUninstalled, uninstall.out);

    std::vector<std::string> left;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD units = 256;
        LSTATUS error = RegEnumValueW(devices, index, name, &units, nullptr, nullptr, nullptr, nullptr);
        if (error != ERROR_SUCCESS)
            break;
        left.emplace_back(name, name + units);
    }
    RegCloseKey(devices);
    EXPECT_EQ((std::vector<std::string>{"\\DosDevices\\A:", "\\DosDevices\\P:", "\\DosDevices\\O:",
                                        "\\DosDevices\\N:"}),
              left);

    // Still running: the removal waits for the host's next start, which then loads nothing.
    Outcome again = Vorelctl({"uninstall"});
    EXPECT_EQ(0, again.exitCode);
    EXPECT_EQ("Already uninstalled (removal pending a reboot).\n", again.out);
    Outcome reinstall = Vorelctl({"install"});
    EXPECT_EQ(3, reinstall.exitCode);
    EXPECT_EQ("vorelctl: could not update the vorel service\n"
              "          (Win32 error 1072: The specified service has been marked for deletion.)\n",
              reinstall.err);
    StopDaemon();
    Outcome host = Vorelhost({"--daemon"});
    EXPECT_EQ(1, host.exitCode);
    EXPECT_NE(std::string::npos, host.err.find("the service 'vorel' was deleted; its key is removed"));
    EXPECT_EQ("Already uninstalled.\n", Vorelctl({"uninstall"}).out);
    EXPECT_EQ("Installed and started.\n", Vorelctl({"install"}).out);
}

TEST_F(Service, AStoppedServiceStartsAgainWithItsSettings)
{
    ASSERT_EQ("Installed and started.\n", Vorelctl({"install"}).out);
    ASSERT_EQ(0, Vorelctl({"settings", "allowuser", "on"}).exitCode);

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = OpenServiceW(manager, L"vorel", SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS);
    ASSERT_NE(nullptr, service) << GetLastError();
    SERVICE_STATUS status;
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState);
    EXPECT_FALSE(Serving());
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState);

    ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, status.dwCurrentState);
    EXPECT_EQ("AllowUserAccess = on  (any user may create/dismount volumes)\n", Vorelctl({"settings"}).out);
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_TRUE(CloseServiceHandle(manager));

    // Ended by SIGTERM, as systemd stops it, and started again by install.
    StopDaemon();
    Outcome install = Vorelctl({"install"});
    EXPECT_EQ("Already installed; started.\n", install.out) << install.err;
    EXPECT_EQ("AllowUserAccess = on  (any user may create/dismount volumes)\n", Vorelctl({"settings"}).out);
}

} // namespace
} // namespace e2e
