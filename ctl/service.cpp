/*
 * install and uninstall: the driver as a kernel service, through the service
 * control manager; uninstall also clears the drive-letter records the driver's
 * volumes left in the mount manager's database.
 */
#include "vorelctl.h"

#include <winreg.h>
#include <winsvc.h>

namespace ctl {

namespace {

const WCHAR kServiceName[] = L"vorel";
const WCHAR kDisplayName[] = L"Quenby Vorel";
const WCHAR kDriversFolder[] = L"\\drivers\\";
const WCHAR kDriverFile[] = L"vorel.sys";

/* The mount manager's database, and the records of this driver's volumes in it: a
 * 16-byte unique identifier whose first word is the letter OR 0x766C0000, then zeros. */
const WCHAR kMountedDevicesKey[] = L"SYSTEM\\MountedDevices";
const DWORD kUniqueIdBytes = 16;
const int kMaxStaleRecords = 64;

void PrintAdministratorHint(DWORD error)
{
    if (error == ERROR_ACCESS_DENIED)
        fprintf(stderr, "          (run this command as administrator)\n");
}

int ServiceManagerUnavailable()
{
    DWORD error = GetLastError();
    fprintf(stderr, "vorelctl: cannot open the service control manager\n");
    PrintAdministratorHint(error);
    PrintWin32Error(error);
    return kExitUnavailable;
}

/* Prints a failure line and the Win32 error line of the last error; returns kExitFailed. */
int ServiceFailed(const char *line)
{
    DWORD error = GetLastError();
    fprintf(stderr, "%s", line);
    PrintWin32Error(error);
    return kExitFailed;
}

/* Appends text to path (MAX_PATH units with the terminator); false when it does not fit. */
bool AppendPath(WCHAR *path, const WCHAR *text)
{
    size_t length = wcslen(path);
    size_t add = wcslen(text);
    if (length + add >= MAX_PATH)
        return false;
    memcpy(path + length, text, (add + 1) * sizeof(WCHAR));
    return true;
}

/* The driver file to register: the argument, or vorel.sys in the system's drivers folder. */
int DriverPath(int argc, char **argv, WCHAR *path)
{
    if (argc < 2) {
        UINT length = GetSystemDirectoryW(path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH || wcslen(path) >= MAX_PATH ||
            !AppendPath(path, kDriversFolder) || !AppendPath(path, kDriverFile)) {
            fprintf(stderr, "vorelctl: cannot determine the driver path\n");
            return kExitFailed;
        }
        return kExitSuccess;
    }
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, argv[1], -1, path, MAX_PATH) <= 0) {
        fprintf(stderr, "vorelctl: driver path too long or invalid\n");
        return kExitFailed;
    }
    return kExitSuccess;
}

/* The service exists: point it at the driver and make sure it runs. */
int UpdateAndStart(SC_HANDLE service, const WCHAR *fullPath)
{
    // A service marked for deletion refuses the change; reporting it installed would
    // hide that it goes away when its driver next stops.
    if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, fullPath, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr))
        return ServiceFailed("vorelctl: could not update the vorel service\n");
    SERVICE_STATUS status;
    if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING) {
        printf("Already installed and running.\n");
        return kExitSuccess;
    }
    if (StartServiceW(service, 0, nullptr)) {
        printf("Already installed; started.\n");
        return kExitSuccess;
    }
    if (GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
        printf("Already installed and running.\n");
        return kExitSuccess;
    }
    return ServiceFailed("vorelctl: service is installed but could not be started\n");
}

/* Whether a MountedDevices value is the record of one of this driver's volumes. */
bool IsStaleRecord(DWORD type, const BYTE *data, DWORD bytes)
{
    if (type != REG_BINARY || bytes != kUniqueIdBytes || data[2] != 0x6C || data[3] != 0x76)
        return false;
    for (DWORD i = 4; i < kUniqueIdBytes; ++i)
        if (data[i] != 0)
            return false;
    return true;
}

/* Removes the drive-letter records of this driver's volumes; silent when the database
 * cannot be opened. */
void CleanMountedDevices()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMountedDevicesKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) !=
        ERROR_SUCCESS)
        return;
    static WCHAR stale[kMaxStaleRecords][256];
    int count = 0;
    for (DWORD index = 0; count < kMaxStaleRecords; ++index) {
        WCHAR name[256];
        DWORD nameUnits = 256;
        BYTE data[128];
        DWORD bytes = sizeof(data);
        DWORD type = 0;
        LSTATUS error = RegEnumValueW(key, index, name, &nameUnits, nullptr, &type, data, &bytes);
        if (error == ERROR_MORE_DATA)
            continue; /* larger than any record of ours */
        if (error != ERROR_SUCCESS)
            break;
        if (IsStaleRecord(type, data, bytes))
            memcpy(stale[count++], name, (nameUnits + 1) * sizeof(WCHAR));
    }
    for (int i = 0; i < count; ++i)
        RegDeleteValueW(key, stale[i]);
    RegCloseKey(key);
}

} // namespace

int Install(int argc, char **argv)
{
    WCHAR path[MAX_PATH];
    int exitCode = DriverPath(argc, argv, path);
    if (exitCode != kExitSuccess)
        return exitCode;
    WCHAR fullPath[MAX_PATH];
    DWORD length = GetFullPathNameW(path, MAX_PATH, fullPath, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        fprintf(stderr, "vorelctl: cannot resolve the driver path\n");
        return kExitFailed;
    }
    // A folder of that name is no driver file either.
    DWORD attributes = GetFileAttributesW(fullPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        fprintf(stderr, "vorelctl: driver file not found: %ls\n", fullPath);
        return kExitFailed;
    }

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    if (manager == nullptr)
        return ServiceManagerUnavailable();
    SC_HANDLE service =
        OpenServiceW(manager, kServiceName, SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS | SERVICE_START);
    if (service != nullptr) {
        exitCode = UpdateAndStart(service, fullPath);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return exitCode;
    }

    service = CreateServiceW(manager, kServiceName, kDisplayName, SERVICE_START, SERVICE_FILE_SYSTEM_DRIVER,
                             SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL, fullPath, nullptr, nullptr, nullptr,
                             nullptr, nullptr);
    if (service != nullptr) {
        if (StartServiceW(service, 0, nullptr)) {
            printf("Installed and started.\n");
            exitCode = kExitSuccess;
        } else {
            exitCode = ServiceFailed("vorelctl: service created but could not be started\n");
        }
        CloseServiceHandle(service);
    } else if (GetLastError() == ERROR_SERVICE_EXISTS) {
        printf("Already installed.\n");
        exitCode = kExitSuccess;
    } else {
        exitCode = ServiceFailed("vorelctl: could not create the vorel service\n");
    }
    CloseServiceHandle(manager);
    return exitCode;
}

int Uninstall(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    CleanMountedDevices();

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return ServiceManagerUnavailable();
    SC_HANDLE service = OpenServiceW(manager, kServiceName, DELETE);
    if (service == nullptr) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            printf("Already uninstalled.\n");
            return kExitSuccess;
        }
        fprintf(stderr, "vorelctl: cannot open the vorel service\n");
        PrintAdministratorHint(error);
        PrintWin32Error(error);
        return kExitFailed;
    }
    int exitCode;
    if (DeleteService(service)) {
        printf("Uninstalled.\n");
        printf("(the driver unloads and vorel.sys is removed at the next reboot)\n");
        exitCode = kExitSuccess;
    } else if (GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE) {
        printf("Already uninstalled (removal pending a reboot).\n");
        exitCode = kExitSuccess;
    } else {
        exitCode = ServiceFailed("vorelctl: could not delete the vorel service\n");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return exitCode;
}

} // namespace ctl
