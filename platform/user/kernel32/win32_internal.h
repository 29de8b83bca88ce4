/*
 * Internals shared by the files of the stand-in's kernel32.
 */
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <winternl.h>
#include <ntstatus.h>

#include "win32_harness.h"

#include <string>

namespace win32 {

/* The Win32 error for an NTSTATUS (RtlNtStatusToDosError). */
DWORD Win32ErrorOf(NTSTATUS status);
/* Sets the calling thread's last error from a status (BaseSetLastNTError). */
void SetLastNtError(NTSTATUS status);

/* UTF-8 <-> UTF-16 conversion with Windows' rules (codepages.cpp). On invalid input:
 * strict -> false; otherwise each bad sequence becomes U+FFFD. */
bool Utf8ToUtf16(const char *text, size_t length, bool strict, std::u16string *out);
bool Utf16ToUtf8(const char16_t *text, size_t length, bool strict, std::string *out);

/*
 * Opens an NT name through the host as the calling process (synchronous I/O, case
 * insensitive). *information receives the status block's Information. Connects
 * first when needed; the caller sets no last error.
 */
NTSTATUS OpenNative(const std::u16string &name, ACCESS_MASK access, ULONG attributes, ULONG share,
                    ULONG disposition, ULONG options, ULONG objectAttributes, HANDLE *handle, ULONG_PTR *information);
/* Closes a handle OpenNative returned (one the Win32 layer does not keep). */
NTSTATUS CloseNative(HANDLE handle);
/*
 * Opens an object directory by NT name through the host (NtOpenDirectoryObject), as
 * the calling process. A name that leads to an object of another kind fails with
 * STATUS_OBJECT_TYPE_MISMATCH, so this also asks, without opening anything, whether
 * a name exists. The caller closes a handle it gets with CloseNative.
 */
NTSTATUS OpenNativeDirectoryObject(const std::u16string &name, ACCESS_MASK access, HANDLE *handle);

/* Whether an injected failure (FailCall) falls on this call of routine. */
bool ShouldFailCall(const char *routine);

} // namespace win32
