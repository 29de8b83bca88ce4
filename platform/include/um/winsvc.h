/* The service control manager (advapi32), as far as the system uses it. */
#pragma once

#include <windows.h>

#define WINADVAPI DECLSPEC_IMPORT

typedef struct SC_HANDLE__ *SC_HANDLE;

#define SC_MANAGER_CONNECT 0x0001
#define SC_MANAGER_CREATE_SERVICE 0x0002
#define SC_MANAGER_ENUMERATE_SERVICE 0x0004
#define SC_MANAGER_ALL_ACCESS 0xF003F

EXTERN_C_START
WINADVAPI SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess);
WINADVAPI BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject);
EXTERN_C_END
