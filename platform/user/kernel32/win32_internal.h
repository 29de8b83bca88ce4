/*
 * Internals shared by the files of the stand-in's kernel32.
 */
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <winternl.h>
#include <ntstatus.h>

#include "win32_harness.h"
#include "client.h"

#include <cstring>
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

/* A pointer as a native call's argument. */
inline uint64_t Arg(const void *pointer)
{
    return (uint64_t)(uintptr_t)pointer;
}

/* Memory in user space for one call, zero-filled, released when it goes out of scope. */
class UserBuffer {
public:
    UserBuffer(transport::Client &client, size_t bytes) : client_(client), data_(client.Allocate(bytes))
    {
        if (data_ != nullptr)
            std::memset(data_, 0, bytes);
    }
    ~UserBuffer() { client_.Release(data_); }
    UserBuffer(const UserBuffer &) = delete;
    UserBuffer &operator=(const UserBuffer &) = delete;
    uint8_t *get() const { return static_cast<uint8_t *>(data_); }
    /* Keeps the memory for good (a request still owns it). */
    void Abandon() { data_ = nullptr; }

private:
    transport::Client &client_;
    void *data_;
};

/* A handle the host made for this process's current connection, or false with ERROR_INVALID_HANDLE set. */
bool CheckHandle(HANDLE handle, transport::Client &client);

/*
 * The NT name of a Win32 path: "\\.\X" and "\\?\X" become "\??\X", "C:\x" becomes
 * "\??\C:\x". false for relative, drive-relative and UNC names (ERROR_PATH_NOT_FOUND).
 */
bool NtPathOf(LPCWSTR path, std::u16string *nt);

/*
 * Host files (host_files.cpp). Drive C: is the Linux root and VOREL_HOST_DRIVES maps
 * further letters on host directories; the host refuses native calls on them from
 * processes, so their files are opened here, with the process's own Linux rights.
 * Their handles are this layer's own (values the host never gives out).
 */
/* The host directory behind a drive letter ("" for C:, the root), or false when the letter is the machine's. */
bool HostDriveDirectory(WCHAR letter, std::string *directory);
/* The Linux path of a Win32 path on a host drive ("X:\..." in any of its forms), or false. */
bool HostPathOf(LPCWSTR path, std::string *linuxPath);
/*
 * Where a Win32 path leads: Host, a host file (*linuxPath); Machine, a name of the
 * machine for the native calls (*ntName); Invalid for names without a drive
 * (ERROR_PATH_NOT_FOUND). A host path into the mount root ($VOREL_MOUNT_ROOT/X/...)
 * names the file of volume X: it goes to the machine as X:, never through our own
 * mount.
 */
enum class PathKind { Host, Machine, Invalid };
PathKind ResolvePath(LPCWSTR path, std::string *linuxPath, std::u16string *ntName);
bool IsHostFileHandle(HANDLE handle);
/* CreateFileW on a host path: the handle, or INVALID_HANDLE_VALUE with the last error set. */
HANDLE OpenHostFile(const std::string &path, DWORD access, DWORD share, DWORD creation, DWORD flagsAndAttributes);
/* The Win32 calls on a host-file handle (the caller checked IsHostFileHandle and its arguments). */
BOOL ReadHostFile(HANDLE handle, void *buffer, DWORD length, DWORD *done, LPOVERLAPPED overlapped);
BOOL WriteHostFile(HANDLE handle, const void *buffer, DWORD length, DWORD *done, LPOVERLAPPED overlapped);
BOOL QueryHostFile(HANDLE handle, BY_HANDLE_FILE_INFORMATION *information);
BOOL SetHostFileInformation(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS informationClass, const void *record,
                            DWORD length);
/* GetFileAttributesW on a host path: the attributes, or INVALID_FILE_ATTRIBUTES with the last error set. */
DWORD HostFileAttributes(const std::string &path);
BOOL HostDiskFreeSpace(const std::string &path, ULARGE_INTEGER *callerFree, ULARGE_INTEGER *total,
                       ULARGE_INTEGER *totalFree);
/* Closes a host-file handle (carrying out a pending delete); false when it is none. */
bool CloseHostFile(HANDLE handle);
size_t HostFileCount();

/* Whether an injected failure (FailCall) falls on this call of routine. */
bool ShouldFailCall(const char *routine);

} // namespace win32
