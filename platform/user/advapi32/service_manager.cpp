/*
 * The service control manager. Services live in the registry, as Windows keeps them
 * (HKLM\SYSTEM\CurrentControlSet\Services\<name>: Type, Start, ErrorControl, ImagePath,
 * DisplayName); the machine runs kernel drivers only, and its one running driver is
 * the service "vorel", whose process is the host (service_control.cpp): the service
 * runs while a host holds the runtime directory.
 *
 * Security as Windows' default descriptors give it: everyone may connect, enumerate
 * and query; creating, deleting, starting, stopping and reconfiguring services need
 * an administrator's token, which on this machine is root's.
 *
 * A service deleted while it runs keeps its key, marked with DeleteFlag; the host
 * removes it at its next start and then does not load the driver.
 */
#include <winsvc.h>

#include "advapi32_internal.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include <unistd.h>

namespace {

const char16_t kServicesKey[] = u"SYSTEM\\CurrentControlSet\\Services";
const char16_t kHostService[] = u"vorel";

enum class ScKind { Manager, Service };

struct ScObject {
    ScKind kind;
    DWORD granted;
    std::u16string name; /* services only */
};

std::mutex objectsLock;
std::set<ScObject *> objects;

/* Rights every caller has: connect, enumerate and query. */
constexpr DWORD kManagerOpenRights = SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE |
                                     SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr DWORD kServiceOpenRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                     SERVICE_INTERROGATE | READ_CONTROL;

bool CallerIsAdministrator()
{
    return geteuid() == 0;
}

/* Generic rights as the service control manager maps them. */
DWORD MapManagerAccess(DWORD access)
{
    if (access & GENERIC_READ)
        access |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    if (access & GENERIC_WRITE)
        access |= READ_CONTROL | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    if (access & GENERIC_EXECUTE)
        access |= READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    if (access & GENERIC_ALL)
        access |= SC_MANAGER_ALL_ACCESS;
    return access & ~(DWORD)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

DWORD MapServiceAccess(DWORD access)
{
    if (access & GENERIC_READ)
        access |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    if (access & GENERIC_WRITE)
        access |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
    if (access & GENERIC_EXECUTE)
        access |= READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
    if (access & GENERIC_ALL)
        access |= SERVICE_ALL_ACCESS;
    return access & ~(DWORD)(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

SC_HANDLE Remember(ScObject *object)
{
    std::lock_guard<std::mutex> guard(objectsLock);
    objects.insert(object);
    return reinterpret_cast<SC_HANDLE>(object);
}

ScObject *Find(SC_HANDLE handle, ScKind kind)
{
    auto *object = reinterpret_cast<ScObject *>(handle);
    std::lock_guard<std::mutex> guard(objectsLock);
    return objects.count(object) != 0 && object->kind == kind ? object : nullptr;
}

/* The service object behind a handle, which must grant access; null with the last error set. */
ScObject *ServiceWith(SC_HANDLE handle, DWORD access)
{
    ScObject *service = Find(handle, ScKind::Service);
    if (service == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if ((service->granted & access) != access) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return service;
}

bool Fail(DWORD error)
{
    SetLastError(error);
    return false;
}

std::u16string Text(LPCWSTR text)
{
    return text != nullptr ? std::u16string(reinterpret_cast<const char16_t *>(text)) : std::u16string();
}

LPCWSTR Wide(const std::u16string &text)
{
    return reinterpret_cast<LPCWSTR>(text.c_str());
}

bool SameName(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i] >= u'a' && a[i] <= u'z' ? (char16_t)(a[i] - 32) : a[i];
        char16_t y = b[i] >= u'a' && b[i] <= u'z' ? (char16_t)(b[i] - 32) : b[i];
        if (x != y)
            return false;
    }
    return true;
}

/* A service name: 1..256 characters, no slash or backslash. */
bool ValidServiceName(const std::u16string &name)
{
    return !name.empty() && name.size() <= 256 && name.find_first_of(u"/\\") == std::u16string::npos;
}

bool IsHostService(const std::u16string &name)
{
    return SameName(name, kHostService);
}

/* What the registry knows of a service. */
struct ServiceRecord {
    bool exists = false;
    DWORD type = 0;
    bool markedForDelete = false;
};

DWORD ReadDword(HKEY key, const char16_t *name, DWORD fallback)
{
    DWORD value = 0, type = 0, bytes = sizeof(value);
    if (RegQueryValueExW(key, reinterpret_cast<LPCWSTR>(name), nullptr, &type, reinterpret_cast<LPBYTE>(&value),
                         &bytes) != ERROR_SUCCESS ||
        type != REG_DWORD || bytes != sizeof(value))
        return fallback;
    return value;
}

/* Opens a service's key; ERROR_SERVICE_DOES_NOT_EXIST when there is none. */
DWORD OpenServiceKey(const std::u16string &name, REGSAM access, HKEY *key)
{
    std::u16string path = std::u16string(kServicesKey) + u"\\" + name;
    LSTATUS error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(path), 0, access, key);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return ERROR_SERVICE_DOES_NOT_EXIST;
    return (DWORD)error;
}

DWORD ReadService(const std::u16string &name, ServiceRecord *record)
{
    *record = ServiceRecord();
    HKEY key;
    DWORD error = OpenServiceKey(name, KEY_QUERY_VALUE, &key);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST)
        return ERROR_SUCCESS;
    if (error != ERROR_SUCCESS)
        return error;
    record->type = ReadDword(key, u"Type", 0);
    record->exists = record->type != 0; /* a key without a type is no service (a leftover of one) */
    record->markedForDelete = ReadDword(key, u"DeleteFlag", 0) != 0;
    RegCloseKey(key);
    return ERROR_SUCCESS;
}

/* A service that is there and not marked for deletion: what changes and starts need. */
DWORD ReadLiveService(const std::u16string &name, ServiceRecord *record)
{
    DWORD error = ReadService(name, record);
    if (error == ERROR_SUCCESS && !record->exists)
        error = ERROR_SERVICE_DOES_NOT_EXIST;
    if (error == ERROR_SUCCESS && record->markedForDelete)
        error = ERROR_SERVICE_MARKED_FOR_DELETE;
    return error;
}

DWORD SetDword(HKEY key, const char16_t *name, DWORD value)
{
    return (DWORD)RegSetValueExW(key, reinterpret_cast<LPCWSTR>(name), 0, REG_DWORD,
                                 reinterpret_cast<const BYTE *>(&value), sizeof(value));
}

DWORD SetString(HKEY key, const char16_t *name, DWORD type, const std::u16string &text)
{
    return (DWORD)RegSetValueExW(key, reinterpret_cast<LPCWSTR>(name), 0, type,
                                 reinterpret_cast<const BYTE *>(text.c_str()),
                                 (DWORD)((text.size() + 1) * sizeof(char16_t)));
}

/* A driver's image path as the I/O manager reads it: "C:\x" is stored as "\??\C:\x". */
std::u16string ImagePathOf(const std::u16string &binaryPath)
{
    bool drivePath = binaryPath.size() >= 3 && binaryPath[1] == u':' && binaryPath[2] == u'\\';
    return drivePath ? u"\\??\\" + binaryPath : binaryPath;
}

bool ValidDriverType(DWORD type)
{
    return type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER;
}

/* The configuration a create or change asks for, checked before anything is written. */
struct ServiceConfig {
    DWORD type = SERVICE_NO_CHANGE;
    DWORD start = SERVICE_NO_CHANGE;
    DWORD errorControl = SERVICE_NO_CHANGE;
    LPCWSTR binaryPath = nullptr;
    LPCWSTR displayName = nullptr;
};

DWORD CheckConfig(const ServiceConfig &config)
{
    if (config.type != SERVICE_NO_CHANGE && !ValidDriverType(config.type))
        return ERROR_INVALID_PARAMETER; /* the machine runs drivers only */
    if (config.start != SERVICE_NO_CHANGE && config.start > SERVICE_DISABLED)
        return ERROR_INVALID_PARAMETER;
    if (config.errorControl != SERVICE_NO_CHANGE && config.errorControl > 3)
        return ERROR_INVALID_PARAMETER;
    if (config.binaryPath != nullptr && config.binaryPath[0] == L'\0')
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

/* Writes the values a configuration sets, then makes them durable. */
DWORD WriteConfig(HKEY key, const ServiceConfig &config)
{
    DWORD error = ERROR_SUCCESS;
    if (config.type != SERVICE_NO_CHANGE)
        error = SetDword(key, u"Type", config.type);
    if (error == ERROR_SUCCESS && config.start != SERVICE_NO_CHANGE)
        error = SetDword(key, u"Start", config.start);
    if (error == ERROR_SUCCESS && config.errorControl != SERVICE_NO_CHANGE)
        error = SetDword(key, u"ErrorControl", config.errorControl);
    if (error == ERROR_SUCCESS && config.binaryPath != nullptr)
        error = SetString(key, u"ImagePath", REG_EXPAND_SZ, ImagePathOf(Text(config.binaryPath)));
    if (error == ERROR_SUCCESS && config.displayName != nullptr)
        error = SetString(key, u"DisplayName", REG_SZ, Text(config.displayName));
    if (error == ERROR_SUCCESS)
        error = (DWORD)RegFlushKey(key);
    return error;
}

bool ServiceRunning(const std::u16string &name)
{
    return IsHostService(name) && advapi::HostRunning();
}

void FillStatus(const ServiceRecord &record, bool running, LPSERVICE_STATUS status)
{
    std::memset(status, 0, sizeof(*status));
    status->dwServiceType = record.type;
    status->dwCurrentState = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    status->dwControlsAccepted = running ? SERVICE_ACCEPT_STOP : 0;
}

/*
 * The common start of QueryServiceStatus and ControlService: the service behind the
 * handle (granting access), a status record to fill, and what the registry knows of
 * the service. Null with the last error set on failure.
 */
ScObject *ServiceForStatus(SC_HANDLE handle, DWORD access, LPSERVICE_STATUS status, ServiceRecord *record)
{
    ScObject *service = ServiceWith(handle, access);
    if (service == nullptr)
        return nullptr;
    DWORD error = status == nullptr ? ERROR_INVALID_ADDRESS : ReadService(service->name, record);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    return service;
}

} // namespace

extern "C" {

WINADVAPI SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    if (lpMachineName != nullptr && lpMachineName[0] != L'\0') {
        SetLastError(ERROR_INVALID_NAME); /* no other machine is reachable */
        return nullptr;
    }
    if (lpDatabaseName != nullptr && !SameName(Text(lpDatabaseName), u"ServicesActive")) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    DWORD access = MapManagerAccess(dwDesiredAccess) | SC_MANAGER_CONNECT;
    if ((access & ~kManagerOpenRights) != 0 && !CallerIsAdministrator()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto *manager = new (std::nothrow) ScObject{ScKind::Manager, access, std::u16string()};
    if (manager == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return Remember(manager);
}

WINADVAPI SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess)
{
    if (Find(hSCManager, ScKind::Manager) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    std::u16string name = Text(lpServiceName);
    if (!ValidServiceName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    DWORD access = MapServiceAccess(dwDesiredAccess);
    if ((access & ~kServiceOpenRights) != 0 && !CallerIsAdministrator()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    ServiceRecord record;
    DWORD error = ReadService(name, &record);
    if (error == ERROR_SUCCESS && !record.exists)
        error = ERROR_SERVICE_DOES_NOT_EXIST;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    auto *service = new (std::nothrow) ScObject{ScKind::Service, access, name};
    if (service == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return Remember(service);
}

WINADVAPI SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName,
                                          DWORD dwDesiredAccess, DWORD dwServiceType, DWORD dwStartType,
                                          DWORD dwErrorControl, LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                                          LPDWORD lpdwTagId, LPCWSTR lpDependencies, LPCWSTR lpServiceStartName,
                                          LPCWSTR lpPassword)
{
    ScObject *manager = Find(hSCManager, ScKind::Manager);
    if (manager == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!(manager->granted & SC_MANAGER_CREATE_SERVICE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::u16string name = Text(lpServiceName);
    if (!ValidServiceName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    // Drivers have no load-order groups, tags, dependencies or accounts on this machine.
    ServiceConfig config{dwServiceType, dwStartType, dwErrorControl, lpBinaryPathName,
                         lpDisplayName != nullptr ? lpDisplayName : lpServiceName};
    DWORD error = CheckConfig(config);
    if (error == ERROR_SUCCESS &&
        (lpBinaryPathName == nullptr || lpdwTagId != nullptr || (lpLoadOrderGroup != nullptr && *lpLoadOrderGroup) ||
         (lpDependencies != nullptr && *lpDependencies) || (lpServiceStartName != nullptr && *lpServiceStartName) ||
         (lpPassword != nullptr && *lpPassword)))
        error = ERROR_INVALID_PARAMETER;
    ServiceRecord record;
    if (error == ERROR_SUCCESS)
        error = ReadService(name, &record);
    if (error == ERROR_SUCCESS && record.exists)
        error = record.markedForDelete ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (error == ERROR_SUCCESS) {
        std::u16string path = std::u16string(kServicesKey) + u"\\" + name;
        error = (DWORD)RegCreateKeyExW(HKEY_LOCAL_MACHINE, Wide(path), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_ALL_ACCESS, nullptr, &key, &disposition);
    }
    if (error == ERROR_SUCCESS) {
        error = WriteConfig(key, config);
        RegCloseKey(key);
        if (error != ERROR_SUCCESS)
            advapi::DeleteKeyTree(HKEY_LOCAL_MACHINE, std::u16string(kServicesKey) + u"\\" + name);
    }
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    auto *service = new (std::nothrow) ScObject{ScKind::Service, MapServiceAccess(dwDesiredAccess), name};
    if (service == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return Remember(service);
}

WINADVAPI BOOL WINAPI ChangeServiceConfigW(SC_HANDLE hService, DWORD dwServiceType, DWORD dwStartType,
                                           DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                                           LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                           LPCWSTR lpServiceStartName, LPCWSTR lpPassword, LPCWSTR lpDisplayName)
{
    ScObject *service = ServiceWith(hService, SERVICE_CHANGE_CONFIG);
    if (service == nullptr)
        return FALSE;
    ServiceConfig config{dwServiceType, dwStartType, dwErrorControl, lpBinaryPathName, lpDisplayName};
    DWORD error = CheckConfig(config);
    if (error == ERROR_SUCCESS && (lpdwTagId != nullptr || (lpLoadOrderGroup != nullptr && *lpLoadOrderGroup) ||
                                   (lpDependencies != nullptr && *lpDependencies) ||
                                   (lpServiceStartName != nullptr && *lpServiceStartName) ||
                                   (lpPassword != nullptr && *lpPassword)))
        error = ERROR_INVALID_PARAMETER;
    ServiceRecord record;
    if (error == ERROR_SUCCESS)
        error = ReadLiveService(service->name, &record);
    HKEY key = nullptr;
    if (error == ERROR_SUCCESS)
        error = OpenServiceKey(service->name, KEY_SET_VALUE | KEY_QUERY_VALUE, &key);
    if (error == ERROR_SUCCESS) {
        error = WriteConfig(key, config);
        RegCloseKey(key);
    }
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

WINADVAPI BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus)
{
    ServiceRecord record;
    ScObject *service = ServiceForStatus(hService, SERVICE_QUERY_STATUS, lpServiceStatus, &record);
    if (service == nullptr)
        return FALSE;
    FillStatus(record, ServiceRunning(service->name), lpServiceStatus);
    return TRUE;
}

WINADVAPI BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR *lpServiceArgVectors)
{
    (void)dwNumServiceArgs;
    (void)lpServiceArgVectors; /* drivers take no start arguments */
    ScObject *service = ServiceWith(hService, SERVICE_START);
    if (service == nullptr)
        return FALSE;
    ServiceRecord record;
    DWORD error = ReadLiveService(service->name, &record);
    if (error == ERROR_SUCCESS && !IsHostService(service->name))
        error = ERROR_NOT_SUPPORTED; /* the machine's host runs only its own driver */
    if (error == ERROR_SUCCESS && advapi::HostRunning())
        error = ERROR_SERVICE_ALREADY_RUNNING;
    if (error == ERROR_SUCCESS)
        error = advapi::StartHost();
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

WINADVAPI BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus)
{
    DWORD needed = dwControl == SERVICE_CONTROL_STOP          ? SERVICE_STOP
                   : dwControl == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                                                              : 0;
    if (Find(hService, ScKind::Service) != nullptr && needed == 0)
        return Fail(ERROR_INVALID_SERVICE_CONTROL);
    ServiceRecord record;
    ScObject *service = ServiceForStatus(hService, needed, lpServiceStatus, &record);
    if (service == nullptr)
        return FALSE;
    if (!ServiceRunning(service->name))
        return Fail(ERROR_SERVICE_NOT_ACTIVE);
    if (dwControl == SERVICE_CONTROL_STOP) {
        DWORD error = advapi::StopHost();
        if (error != ERROR_SUCCESS)
            return Fail(error);
    }
    FillStatus(record, ServiceRunning(service->name), lpServiceStatus);
    return TRUE;
}

WINADVAPI BOOL WINAPI DeleteService(SC_HANDLE hService)
{
    ScObject *service = ServiceWith(hService, DELETE);
    if (service == nullptr)
        return FALSE;
    ServiceRecord record;
    DWORD error = ReadLiveService(service->name, &record);
    if (error != ERROR_SUCCESS)
        return Fail(error);
    if (!ServiceRunning(service->name)) {
        error = (DWORD)advapi::DeleteKeyTree(HKEY_LOCAL_MACHINE, std::u16string(kServicesKey) + u"\\" + service->name);
        return error == ERROR_SUCCESS ? TRUE : Fail(error);
    }
    // A running driver keeps its key until the host next starts.
    HKEY key = nullptr;
    error = OpenServiceKey(service->name, KEY_SET_VALUE, &key);
    if (error == ERROR_SUCCESS) {
        error = SetDword(key, u"DeleteFlag", 1);
        if (error == ERROR_SUCCESS)
            error = SetDword(key, u"Start", SERVICE_DISABLED);
        if (error == ERROR_SUCCESS)
            error = (DWORD)RegFlushKey(key);
        RegCloseKey(key);
    }
    return error == ERROR_SUCCESS ? TRUE : Fail(error);
}

WINADVAPI BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    auto *object = reinterpret_cast<ScObject *>(hSCObject);
    {
        std::lock_guard<std::mutex> guard(objectsLock);
        if (objects.erase(object) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    delete object;
    return TRUE;
}

} // extern "C"
