/*
 * Drive queries. Drive C: is the Linux root file system, as the system drive is on
 * Windows, and VOREL_HOST_DRIVES ("D=/srv/images,E=/x") maps further letters on
 * host directories; every other letter is the machine's: in use when its root
 * opens there.
 */
#include "win32_internal.h"

#include <cstdlib>

namespace {

bool IsHostDrive(WCHAR letter)
{
    if (letter == L'C')
        return true;
    const char *list = std::getenv("VOREL_HOST_DRIVES");
    if (list == nullptr)
        return false;
    for (const char *p = list; *p != 0;) {
        if ((WCHAR)(*p & ~0x20) == letter && p[1] == '=')
            return true;
        while (*p != 0 && *p != ',' && *p != ';')
            ++p;
        if (*p != 0)
            ++p;
    }
    return false;
}

} // namespace

extern "C" WINBASEAPI UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName)
{
    if (lpRootPathName == nullptr)
        return DRIVE_FIXED; /* the current directory is on the Linux root, drive C: */
    WCHAR letter = lpRootPathName[0];
    if (letter >= L'a' && letter <= L'z')
        letter = (WCHAR)(letter - 32);
    if (letter < L'A' || letter > L'Z' || lpRootPathName[1] != L':' ||
        (lpRootPathName[2] != L'\\' && lpRootPathName[2] != L'/') || lpRootPathName[3] != 0)
        return DRIVE_NO_ROOT_DIR;
    if (IsHostDrive(letter))
        return DRIVE_FIXED;
    std::u16string root = u"\\??\\";
    root += (char16_t)letter;
    root += u":\\";
    HANDLE handle;
    ULONG_PTR information;
    NTSTATUS status = win32::OpenNative(root, FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, OBJ_CASE_INSENSITIVE,
                                        &handle, &information);
    if (NT_SUCCESS(status)) {
        win32::CloseNative(handle);
        return DRIVE_FIXED;
    }
    switch (status) {
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_PATH_NOT_FOUND:
    case STATUS_OBJECT_NAME_INVALID: /* a root name the namespace cannot walk leads nowhere */
    case STATUS_NO_SUCH_DEVICE:
        return DRIVE_NO_ROOT_DIR;
    case STATUS_INVALID_HANDLE: /* the host went while this process held handles: cannot tell */
        return DRIVE_UNKNOWN;
    default:
        return DRIVE_FIXED; /* the root is there, whatever kept it from opening */
    }
}
