/*
 * Path names: the full path of a name, the system directory, a file's attributes.
 *
 * Drive C: is the Linux root, so the Linux directory /x/y is C:\x\y. A name without a
 * drive resolves against the current directory, which is the process's Linux one.
 */
#include "win32_internal.h"

#include <cstdlib>
#include <vector>

#include <unistd.h>

namespace {

bool IsSeparator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

bool IsDriveLetter(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

/* The Win32 form of an absolute Linux path ("/x/y" -> "C:\x\y"); false when it is not valid UTF-8. */
bool Win32PathOfLinux(const std::string &linuxPath, std::u16string *path)
{
    std::u16string units;
    if (!win32::Utf8ToUtf16(linuxPath.data(), linuxPath.size(), true, &units))
        return false;
    *path = u"C:" + units;
    for (char16_t &c : *path)
        if (c == u'/')
            c = u'\\';
    return true;
}

/*
 * The full form of a name: drive, root, components with "." dropped and ".."
 * climbing (never above the root), single separators. A trailing separator stays.
 * Names that begin with two separators (device and UNC names) keep their form.
 */
bool FullPathOf(const std::u16string &name, std::u16string *full)
{
    if (name.size() >= 2 && IsSeparator(name[0]) && IsSeparator(name[1])) {
        *full = name;
        for (char16_t &c : *full)
            if (c == u'/')
                c = u'\\';
        return true;
    }
    std::u16string drive = u"C:";
    std::u16string rest;
    if (name.size() >= 2 && IsDriveLetter(name[0]) && name[1] == u':') {
        drive.assign(1, (char16_t)(name[0] & ~0x20)); /* upper case */
        drive += u':';
        rest = name.substr(2);
        // "C:name" is relative to C:'s current directory, the process's one; other
        // drives have none of their own here, so their root stands in.
        if (!rest.empty() && !IsSeparator(rest[0]) && drive != u"C:")
            rest = u"\\" + rest;
    } else {
        rest = name;
    }
    if (rest.empty() || !IsSeparator(rest[0])) {
        std::u16string cwd;
        char buffer[4096];
        if (drive != u"C:" || getcwd(buffer, sizeof(buffer)) == nullptr || !Win32PathOfLinux(buffer, &cwd))
            return false;
        rest = cwd.substr(2) + u"\\" + rest;
    }

    std::vector<std::u16string> components;
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && IsSeparator(rest[i]))
            ++i;
        size_t start = i;
        while (i < rest.size() && !IsSeparator(rest[i]))
            ++i;
        std::u16string component = rest.substr(start, i - start);
        if (component.empty() || component == u".")
            continue;
        if (component == u"..") {
            if (!components.empty())
                components.pop_back();
            continue;
        }
        components.push_back(component);
    }
    *full = drive + u"\\";
    for (size_t c = 0; c < components.size(); ++c) {
        if (c != 0)
            *full += u'\\';
        *full += components[c];
    }
    if (!components.empty() && IsSeparator(name.back()))
        *full += u'\\';
    return true;
}

/* Copies a result the way the path routines do: its length without the terminator when
 * it fits, else the size it needs with the terminator (and the buffer is left alone). */
DWORD CopyPathOut(const std::u16string &path, DWORD capacity, LPWSTR buffer)
{
    if (buffer == nullptr || capacity <= path.size())
        return (DWORD)path.size() + 1;
    std::memcpy(buffer, path.data(), path.size() * sizeof(WCHAR));
    buffer[path.size()] = L'\0';
    return (DWORD)path.size();
}

} // namespace

extern "C" {

WINBASEAPI DWORD WINAPI GetFullPathNameW(LPCWSTR lpFileName, DWORD nBufferLength, LPWSTR lpBuffer,
                                         LPWSTR *lpFilePart)
{
    if (lpFileName == nullptr || lpFileName[0] == L'\0') {
        SetLastError(lpFileName == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_NAME);
        return 0;
    }
    std::u16string full;
    if (!FullPathOf(std::u16string(reinterpret_cast<const char16_t *>(lpFileName)), &full)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    if (full.size() >= 32767) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    DWORD result = CopyPathOut(full, nBufferLength, lpBuffer);
    if (lpFilePart != nullptr && result == full.size()) {
        size_t last = full.find_last_of(u'\\');
        bool endsInName = last != std::u16string::npos && last + 1 < full.size();
        *lpFilePart = endsInName ? lpBuffer + last + 1 : nullptr;
    }
    return result;
}

WINBASEAPI UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    const char *configured = std::getenv("VOREL_SYSTEM_DIR");
    std::string directory = configured != nullptr && configured[0] == '/' ? configured : "/usr/local/lib/vorel";
    while (directory.size() > 1 && directory.back() == '/')
        directory.pop_back();
    std::u16string path;
    if (!Win32PathOfLinux(directory, &path)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    return CopyPathOut(path, uSize, lpBuffer);
}

WINBASEAPI DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName)
{
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string linuxPath;
    std::u16string ntName;
    switch (win32::ResolvePath(lpFileName, &linuxPath, &ntName)) {
    case win32::PathKind::Host:
        return win32::HostFileAttributes(linuxPath);
    case win32::PathKind::Machine:
        break;
    case win32::PathKind::Invalid:
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    // A file of the machine: its attributes come from its file system.
    HANDLE file = CreateFileW(lpFileName, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return INVALID_FILE_ATTRIBUTES;
    BY_HANDLE_FILE_INFORMATION information;
    BOOL queried = GetFileInformationByHandle(file, &information);
    DWORD error = GetLastError();
    CloseHandle(file);
    if (!queried) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    return information.dwFileAttributes;
}

} // extern "C"
