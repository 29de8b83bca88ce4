/*
 * Drive queries. Drive C: is the Linux root file system, as the system drive is on
 * Windows, and VOREL_HOST_DRIVES ("D=/srv/images,E=/x") maps further letters on
 * host directories; every other letter is the machine's: in use while its link
 * \??\X: exists there (a volume's letter, or one a test made).
 *
 * The machine is asked only for the name, never to open the drive's root: an open of
 * the root would mount the file system of a volume nobody has used yet, just to learn
 * that the letter is taken.
 */
#include "win32_internal.h"

namespace {

/* Object-directory access (DIRECTORY_QUERY): the least a directory open can ask. */
constexpr ACCESS_MASK kDirectoryQuery = 0x0001;

bool IsHostDrive(WCHAR letter)
{
    std::string directory;
    return win32::HostDriveDirectory(letter, &directory);
}

enum class LinkState { Absent, Present, Unknown };

/*
 * Whether the machine's \??\X: exists. It is asked for as an object directory: a
 * drive link leads to a device, so the open fails with a type mismatch after the
 * walk found the name, and nothing is opened. A link whose device is gone leads
 * nowhere and counts as absent, as it does for Windows' drive queries. *status
 * receives the failure of an Unknown answer (the host could not be asked).
 */
LinkState DriveLinkState(WCHAR letter, NTSTATUS *status)
{
    std::u16string name = u"\\??\\";
    name += (char16_t)letter;
    name += u':';
    HANDLE handle;
    *status = win32::OpenNativeDirectoryObject(name, kDirectoryQuery, &handle);
    if (NT_SUCCESS(*status)) {
        win32::CloseNative(handle);
        return LinkState::Present;
    }
    switch (*status) {
    case STATUS_OBJECT_TYPE_MISMATCH: /* the name leads to a device */
        return LinkState::Present;
    case STATUS_OBJECT_NAME_NOT_FOUND: /* no such name, or no host (hence no volume) at all */
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return LinkState::Absent;
    default: /* the host went, refused this process, or could not take the call */
        return LinkState::Unknown;
    }
}

} // namespace

extern "C" {

WINBASEAPI UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName)
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
    NTSTATUS status;
    switch (DriveLinkState(letter, &status)) {
    case LinkState::Present:
        return DRIVE_FIXED; /* the system's volumes are fixed disks */
    case LinkState::Absent:
        return DRIVE_NO_ROOT_DIR;
    default:
        return DRIVE_UNKNOWN;
    }
}

/*
 * GetLogicalDrives: bit 0 for A: up to bit 25 for Z:, set for every letter that has a
 * drive. 0 with the last error set when the machine could not be asked.
 */
WINBASEAPI DWORD WINAPI GetLogicalDrives(VOID)
{
    if (win32::ShouldFailCall("GetLogicalDrives")) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    DWORD mask = 0;
    for (WCHAR letter = L'A'; letter <= L'Z'; ++letter) {
        DWORD bit = 1u << (letter - L'A');
        if (IsHostDrive(letter)) {
            mask |= bit;
            continue;
        }
        NTSTATUS status;
        LinkState state = DriveLinkState(letter, &status);
        if (state == LinkState::Unknown) {
            win32::SetLastNtError(status);
            return 0;
        }
        if (state == LinkState::Present)
            mask |= bit;
    }
    return mask;
}

} // extern "C"
