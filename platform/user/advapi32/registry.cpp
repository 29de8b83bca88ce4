/*
 * The registry API: Win32's view of the registry's native calls. Predefined keys
 * name the roots of the machine's tree (HKEY_LOCAL_MACHINE is \Registry\Machine);
 * every other key is one this process opened (registry_access.h says where the
 * calls go). The routines return their Win32 error and leave the last error alone,
 * as Windows' do.
 */
#include <winreg.h>
#include <winternl.h>

#include "advapi32_internal.h"
#include "registry_access.h"

#include <cstring>
#include <mutex>
#include <set>

namespace {

std::mutex keysLock;
std::set<HKEY> openKeys; /* keys this process opened and has not closed */

bool IsPredefined(HKEY key, std::u16string *root)
{
    if (key == HKEY_LOCAL_MACHINE)
        *root = u"\\Registry\\Machine";
    else if (key == HKEY_USERS)
        *root = u"\\Registry\\User";
    else
        return false;
    return true;
}

advapi::RegistryKey *KeyOf(HKEY key)
{
    std::lock_guard<std::mutex> guard(keysLock);
    return openKeys.count(key) != 0 ? reinterpret_cast<advapi::RegistryKey *>(key) : nullptr;
}

HKEY Remember(advapi::RegistryKey *key)
{
    HKEY handle = reinterpret_cast<HKEY>(key);
    std::lock_guard<std::mutex> guard(keysLock);
    openKeys.insert(handle);
    return handle;
}

LSTATUS ErrorOf(int32_t status)
{
    return status >= 0 ? ERROR_SUCCESS : (LSTATUS)RtlNtStatusToDosError(status);
}

std::u16string Text(LPCWSTR text)
{
    return text != nullptr ? std::u16string(reinterpret_cast<const char16_t *>(text)) : std::u16string();
}

/* The common worker of RegOpenKeyExW and RegCreateKeyExW. */
LSTATUS OpenOrCreate(HKEY parent, LPCWSTR subKey, REGSAM access, bool create, DWORD options, PHKEY result,
                     LPDWORD disposition)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::u16string root;
    std::u16string name = Text(subKey);
    advapi::RegistryKey *opened = nullptr;
    uint32_t how = 0;
    int32_t status;
    if (IsPredefined(parent, &root)) {
        status = advapi::OpenRegistryKey(name.empty() ? root : root + u"\\" + name, access, create, options, &opened,
                                         &how);
    } else {
        advapi::RegistryKey *key = KeyOf(parent);
        if (key == nullptr)
            return ERROR_INVALID_HANDLE;
        status = advapi::OpenRegistrySubkey(key, name, access, create, options, &opened, &how);
    }
    if (status < 0)
        return ErrorOf(status);
    *result = Remember(opened);
    if (disposition != nullptr)
        *disposition = how;
    return ERROR_SUCCESS;
}

/*
 * Hands out a value's data under the rules of RegQueryValueExW and RegEnumValueW: with
 * no buffer only the size; a buffer too small gets nothing and ERROR_MORE_DATA, with
 * the size it needs.
 */
LSTATUS CopyData(const std::vector<uint8_t> &data, LPBYTE buffer, LPDWORD bytes)
{
    if (bytes == nullptr)
        return ERROR_SUCCESS;
    DWORD capacity = *bytes;
    *bytes = (DWORD)data.size();
    if (buffer == nullptr)
        return ERROR_SUCCESS;
    if (capacity < data.size())
        return ERROR_MORE_DATA;
    if (!data.empty())
        std::memcpy(buffer, data.data(), data.size());
    return ERROR_SUCCESS;
}

} // namespace

namespace advapi {

LSTATUS DeleteKeyTree(HKEY parent, const std::u16string &subKey)
{
    HKEY key = nullptr;
    LSTATUS error = OpenOrCreate(parent, reinterpret_cast<LPCWSTR>(subKey.c_str()),
                                 DELETE | KEY_ENUMERATE_SUB_KEYS, false, 0, &key, nullptr);
    if (error != ERROR_SUCCESS)
        return error;
    // Each deleted subkey shifts the next one to index 0.
    std::u16string child;
    int32_t status;
    while ((status = EnumerateRegistrySubkey(KeyOf(key), 0, &child)) >= 0) {
        error = DeleteKeyTree(key, child);
        if (error != ERROR_SUCCESS)
            break;
    }
    if (error == ERROR_SUCCESS && ErrorOf(status) != ERROR_NO_MORE_ITEMS)
        error = ErrorOf(status);
    if (error == ERROR_SUCCESS)
        error = ErrorOf(DeleteRegistryKey(KeyOf(key)));
    LSTATUS closed = RegCloseKey(key);
    return error != ERROR_SUCCESS ? error : closed;
}

} // namespace advapi

extern "C" {

WINADVAPI LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                       PHKEY phkResult)
{
    (void)ulOptions; /* REG_OPTION_OPEN_LINK names symbolic-link keys, which the registry does not have */
    return OpenOrCreate(hKey, lpSubKey, samDesired, false, 0, phkResult, nullptr);
}

WINADVAPI LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                         DWORD dwOptions, REGSAM samDesired, LPVOID lpSecurityAttributes,
                                         PHKEY phkResult, LPDWORD lpdwDisposition)
{
    (void)lpClass;
    (void)lpSecurityAttributes; /* the registry keeps no security */
    if (Reserved != 0 || lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    return OpenOrCreate(hKey, lpSubKey, samDesired, true, dwOptions, phkResult, lpdwDisposition);
}

WINADVAPI LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                          LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    advapi::RegistryKey *key = KeyOf(hKey);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    int32_t status = advapi::QueryRegistryValue(key, Text(lpValueName), &type, &data);
    if (status < 0)
        return ErrorOf(status);
    if (lpType != nullptr)
        *lpType = type;
    return CopyData(data, lpData, lpcbData);
}

WINADVAPI LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                       LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
        (lpData != nullptr && lpcbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    advapi::RegistryKey *key = KeyOf(hKey);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    std::u16string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
    int32_t status = advapi::EnumerateRegistryValue(key, dwIndex, &name, &type, &data);
    if (status < 0)
        return ErrorOf(status);
    // The name and its terminator must fit in the caller's count of characters.
    if (*lpcchValueName <= name.size())
        return ERROR_MORE_DATA;
    std::memcpy(lpValueName, name.data(), name.size() * sizeof(WCHAR));
    lpValueName[name.size()] = L'\0';
    *lpcchValueName = (DWORD)name.size();
    if (lpType != nullptr)
        *lpType = type;
    return CopyData(data, lpData, lpcbData);
}

WINADVAPI LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                        const BYTE *lpData, DWORD cbData)
{
    if (Reserved != 0 || (lpData == nullptr && cbData != 0))
        return ERROR_INVALID_PARAMETER;
    advapi::RegistryKey *key = KeyOf(hKey);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    return ErrorOf(advapi::SetRegistryValue(key, Text(lpValueName), dwType, lpData, cbData));
}

WINADVAPI LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    advapi::RegistryKey *key = KeyOf(hKey);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    return ErrorOf(advapi::DeleteRegistryValue(key, Text(lpValueName)));
}

WINADVAPI LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    if (lpSubKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    HKEY doomed = nullptr;
    LSTATUS error = OpenOrCreate(hKey, lpSubKey, DELETE, false, 0, &doomed, nullptr);
    if (error != ERROR_SUCCESS)
        return error;
    error = ErrorOf(advapi::DeleteRegistryKey(KeyOf(doomed)));
    LSTATUS closed = RegCloseKey(doomed);
    return error != ERROR_SUCCESS ? error : closed;
}

WINADVAPI LSTATUS WINAPI RegFlushKey(HKEY hKey)
{
    advapi::RegistryKey *key = KeyOf(hKey);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    return ErrorOf(advapi::FlushRegistryKey(key));
}

WINADVAPI LSTATUS WINAPI RegCloseKey(HKEY hKey)
{
    std::u16string root;
    if (IsPredefined(hKey, &root))
        return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(keysLock);
        if (openKeys.erase(hKey) == 0)
            return ERROR_INVALID_HANDLE;
    }
    return ErrorOf(advapi::CloseRegistryKey(reinterpret_cast<advapi::RegistryKey *>(hKey)));
}

} // extern "C"
