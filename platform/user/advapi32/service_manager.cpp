/*
 * The service control manager. This machine's driver is loaded by vorelhost from
 * the service key; a service control manager that registers, starts and removes
 * services is not offered yet, so opening it fails as on a system without one.
 */
#include <winsvc.h>

extern "C" {

WINADVAPI SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess)
{
    (void)lpMachineName;
    (void)lpDatabaseName;
    (void)dwDesiredAccess;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

WINADVAPI BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject)
{
    (void)hSCObject;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

} // extern "C"
