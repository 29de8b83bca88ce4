/* COM task memory (ole32), as far as the system uses it. */
#pragma once

#include <windows.h>

#define WINOLEAPI_(type) EXTERN_C DECLSPEC_IMPORT type WINAPI

WINOLEAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb);
WINOLEAPI_(VOID) CoTaskMemFree(LPVOID pv);
