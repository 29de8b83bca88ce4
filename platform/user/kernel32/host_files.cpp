/*
 * Host files: the Win32 file calls on paths of the host drives (C: is the Linux
 * root, VOREL_HOST_DRIVES maps further letters on host directories). The host
 * refuses native calls on host paths from processes, so a process opens them here,
 * with its own Linux rights, as the design's mapping of host paths says.
 *
 * Handles. A host-file handle is a value the host never gives out (its handles are
 * small multiples of 4), so one handle space serves both kinds and every call asks
 * which kind it has. Each handle keeps its own descriptor and file position.
 *
 * What Linux does not give. Share modes hold between the handles of this process
 * only (Linux has no mandatory share locks across processes); a delete set through
 * the disposition removes the name when the handle that set it is closed, whatever
 * other handles are open (POSIX semantics).
 */
#include "win32_internal.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

/* First host-file handle value: far above any the host's handle tables reach. */
constexpr uintptr_t kFirstHostHandle = 0x40000000;
/* Seconds between 1601 (FILETIME) and 1970 (Linux). */
constexpr int64_t kEpochDifference = 11644473600ll;

struct HostFile {
    int fd = -1;
    std::string path;
    bool read = false;    /* the handle has FILE_READ_DATA */
    bool write = false;   /* FILE_WRITE_DATA */
    bool remove = false;  /* DELETE */
    bool directory = false;
    bool deletePending = false;
    DWORD share = 0;      /* the share mode it was opened with */
    dev_t device = 0;     /* which file it is, for sharing */
    ino_t inode = 0;
};

std::mutex fileLock;
std::map<uintptr_t, HostFile> files; /* guarded by fileLock */
uintptr_t nextHandle = kFirstHostHandle;

/* The Win32 error of a failed Linux call on path (path may be empty when a handle was used). */
DWORD ErrorOfErrno(int error, const std::string &path = std::string())
{
    switch (error) {
    case ENOENT: {
        // A missing directory on the way is "path not found"; a missing last name "file not found".
        size_t slash = path.find_last_of('/');
        struct stat parent;
        if (!path.empty() && slash != std::string::npos &&
            stat(slash == 0 ? "/" : path.substr(0, slash).c_str(), &parent) != 0)
            return ERROR_PATH_NOT_FOUND;
        return ERROR_FILE_NOT_FOUND;
    }
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EBADF: /* the descriptor lacks the access the call needs */
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EBUSY:
        return ERROR_BUSY;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EIO:
        return ERROR_IO_DEVICE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

BOOL FailWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

/* A copy of a handle's record, or false with ERROR_INVALID_HANDLE set. */
bool FindFile(HANDLE handle, HostFile *file)
{
    std::lock_guard<std::mutex> guard(fileLock);
    auto it = files.find((uintptr_t)handle);
    if (it == files.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    *file = it->second;
    return true;
}

/*
 * Whether the handles of this process on the same file let another open with the
 * access and share mode of opening, by the I/O manager's share-access rules: only
 * opens that read, write or delete take part. Caller holds fileLock.
 */
bool SharingAllows(const HostFile &opening)
{
    if (!opening.read && !opening.write && !opening.remove)
        return true;
    for (const auto &[value, file] : files) {
        if (file.device != opening.device || file.inode != opening.inode ||
            (!file.read && !file.write && !file.remove))
            continue;
        bool refused = (opening.read && !(file.share & FILE_SHARE_READ)) ||
                       (opening.write && !(file.share & FILE_SHARE_WRITE)) ||
                       (opening.remove && !(file.share & FILE_SHARE_DELETE));
        bool refusing = (file.read && !(opening.share & FILE_SHARE_READ)) ||
                        (file.write && !(opening.share & FILE_SHARE_WRITE)) ||
                        (file.remove && !(opening.share & FILE_SHARE_DELETE));
        if (refused || refusing)
            return false;
    }
    return true;
}

/* A handle's record for a read (write = false) or a write: a file, opened with that access. */
bool FindDataFile(HANDLE handle, bool write, HostFile *file)
{
    if (!FindFile(handle, file))
        return false;
    if (file->directory)
        SetLastError(ERROR_INVALID_FUNCTION);
    else if (!(write ? file->write : file->read))
        SetLastError(ERROR_ACCESS_DENIED);
    else
        return true;
    return false;
}

FILETIME FileTimeOf(int64_t seconds, int64_t nanoseconds)
{
    uint64_t ticks = (uint64_t)((seconds + kEpochDifference) * 10000000ll + nanoseconds / 100);
    return FILETIME{(DWORD)ticks, (DWORD)(ticks >> 32)};
}

/*
 * A path's lexical form below a host directory: "." and empty names dropped, ".."
 * taking one name back but never above the drive's root, as Windows resolves a full
 * path before the file system sees it.
 */
std::string JoinBelow(const std::string &directory, const std::string &relative)
{
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        std::string name = relative.substr(start, end - start);
        if (name == "..") {
            if (!names.empty())
                names.pop_back();
        } else if (!name.empty() && name != ".") {
            names.push_back(name);
        }
        start = end + 1;
    }
    std::string path = directory;
    for (const std::string &name : names)
        path += "/" + name;
    return path.empty() ? "/" : path;
}

bool IsSeparator(WCHAR c)
{
    return c == L'\\' || c == L'/';
}

} // namespace

namespace win32 {

bool HostDriveDirectory(WCHAR letter, std::string *directory)
{
    if (letter >= L'a' && letter <= L'z')
        letter = (WCHAR)(letter - 32);
    if (letter == L'C') {
        directory->clear();
        return true;
    }
    const char *list = std::getenv("VOREL_HOST_DRIVES");
    if (list == nullptr)
        return false;
    for (const char *p = list; *p != 0;) {
        const char *end = p;
        while (*end != 0 && *end != ',' && *end != ';')
            ++end;
        if ((WCHAR)(*p & ~0x20) == letter && p[1] == '=') {
            directory->assign(p + 2, end);
            while (!directory->empty() && directory->back() == '/')
                directory->pop_back();
            return true;
        }
        p = *end != 0 ? end + 1 : end;
    }
    return false;
}

bool HostPathOf(LPCWSTR path, std::string *linuxPath)
{
    if (path == nullptr)
        return false;
    // "\\.\X:\", "\\?\X:\" and "\??\X:\" name the same file as "X:\".
    if (IsSeparator(path[0]) && (IsSeparator(path[1]) || path[1] == L'?') && (path[2] == L'.' || path[2] == L'?') &&
        IsSeparator(path[3]))
        path += 4;
    WCHAR letter = path[0];
    bool isLetter = (letter >= L'A' && letter <= L'Z') || (letter >= L'a' && letter <= L'z');
    std::string directory;
    if (!isLetter || path[1] != L':' || !IsSeparator(path[2]) || !HostDriveDirectory(letter, &directory))
        return false;
    size_t length = 0;
    while (path[3 + length] != 0)
        ++length;
    std::string relative;
    if (!Utf16ToUtf8(reinterpret_cast<const char16_t *>(path + 3), length, true, &relative))
        return false;
    for (char &c : relative)
        if (c == '\\')
            c = '/';
    *linuxPath = JoinBelow(directory, relative);
    return true;
}

PathKind ResolvePath(LPCWSTR path, std::string *linuxPath, std::u16string *ntName)
{
    if (!HostPathOf(path, linuxPath))
        return NtPathOf(path, ntName) ? PathKind::Machine : PathKind::Invalid;
    const char *variable = std::getenv("VOREL_MOUNT_ROOT");
    std::string root = JoinBelow(std::string(), variable != nullptr && variable[0] != 0 ? variable : "/mnt/vorel");
    const std::string &linux = *linuxPath;
    size_t at = root.size() + 1; /* the letter's folder */
    bool below = root != "/" && linux.size() > at && linux.compare(0, root.size(), root) == 0 &&
                 linux[root.size()] == '/';
    char letter = below ? (char)(linux[at] & ~0x20) : 0;
    if (!below || letter < 'A' || letter > 'Z' || (linux.size() > at + 1 && linux[at + 1] != '/'))
        return PathKind::Host;
    std::u16string rest;
    if (!Utf8ToUtf16(linux.c_str() + at + 1, linux.size() - at - 1, true, &rest))
        return PathKind::Host;
    for (char16_t &c : rest)
        if (c == u'/')
            c = u'\\';
    *ntName = u"\\??\\";
    *ntName += (char16_t)letter;
    *ntName += u":";
    *ntName += rest.empty() ? u"\\" : rest;
    return PathKind::Machine;
}

bool IsHostFileHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(fileLock);
    return files.count((uintptr_t)handle) != 0;
}

HANDLE OpenHostFile(const std::string &path, DWORD access, DWORD share, DWORD creation, DWORD flagsAndAttributes)
{
    HostFile file;
    file.share = share;
    file.path = path;
    file.read = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
    file.write = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file.remove = (access & (GENERIC_ALL | DELETE)) != 0;
    bool backup = (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) != 0;

    // Held across the open, so the share check and the new handle are one step for this process.
    std::lock_guard<std::mutex> guard(fileLock);
    struct stat existing;
    bool exists = stat(path.c_str(), &existing) == 0;
    if (exists) {
        file.device = existing.st_dev;
        file.inode = existing.st_ino;
        if (!SharingAllows(file)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return INVALID_HANDLE_VALUE;
        }
    }
    if (exists && S_ISDIR(existing.st_mode)) {
        // A directory opens only with backup semantics, and only as it is.
        if (creation == CREATE_NEW) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        if (!backup || creation == CREATE_ALWAYS || creation == TRUNCATE_EXISTING) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        file.fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (file.fd < 0)
            file.fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); /* attributes only */
        if (file.fd < 0) {
            SetLastError(ErrorOfErrno(errno, path));
            return INVALID_HANDLE_VALUE;
        }
        file.directory = true;
        file.read = file.write = false;
        SetLastError(creation == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    } else {
        int mode = file.read && file.write ? O_RDWR : file.write ? O_WRONLY : O_RDONLY;
        if (!file.read && !file.write && creation == OPEN_EXISTING)
            mode = O_PATH; /* attributes or delete only: no data access to check */
        mode |= O_CLOEXEC;
        mode_t permissions = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
        bool existed = false;
        switch (creation) {
        case CREATE_NEW:
            file.fd = open(path.c_str(), mode | O_CREAT | O_EXCL, permissions);
            break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS:
            // Created, or else opened as it was: whether it existed is part of the answer.
            for (int attempt = 0; attempt < 3 && file.fd < 0; ++attempt) {
                file.fd = open(path.c_str(), mode | O_CREAT | O_EXCL, permissions);
                if (file.fd >= 0 || errno != EEXIST)
                    break;
                file.fd = open(path.c_str(), mode | (creation == CREATE_ALWAYS ? O_TRUNC : 0));
                existed = file.fd >= 0;
                if (file.fd < 0 && errno != ENOENT)
                    break; /* ENOENT: removed in between, so create it after all */
            }
            break;
        case OPEN_EXISTING:
            file.fd = open(path.c_str(), mode);
            break;
        default: /* TRUNCATE_EXISTING, which CreateFileW checked asks for write access */
            file.fd = open(path.c_str(), mode | O_TRUNC);
            break;
        }
        if (file.fd < 0) {
            SetLastError(ErrorOfErrno(errno, path));
            return INVALID_HANDLE_VALUE;
        }
        struct stat opened;
        if (fstat(file.fd, &opened) == 0 && S_ISDIR(opened.st_mode)) {
            close(file.fd); /* became a directory after the check above */
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        file.device = opened.st_dev;
        file.inode = opened.st_ino;
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    }
    file.deletePending = (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) != 0;
    uintptr_t value = nextHandle;
    nextHandle += 4;
    files[value] = file;
    return (HANDLE)value;
}

BOOL ReadHostFile(HANDLE handle, void *buffer, DWORD length, DWORD *done, LPOVERLAPPED overlapped)
{
    HostFile file;
    if (!FindDataFile(handle, false, &file))
        return FALSE;
    DWORD total = 0;
    off_t offset = -1;
    if (overlapped != nullptr)
        offset = (off_t)(((uint64_t)overlapped->OffsetHigh << 32) | overlapped->Offset);
    while (total < length) {
        auto *at = static_cast<uint8_t *>(buffer) + total;
        ssize_t got =
            offset >= 0 ? pread(file.fd, at, length - total, offset + total) : read(file.fd, at, length - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return FailWith(ErrorOfErrno(errno));
        if (got == 0)
            break;
        total += (DWORD)got;
    }
    if (done != nullptr)
        *done = total;
    if (overlapped != nullptr) {
        // A positioned read on a synchronous handle also moves the file pointer, and
        // reports the end of the file as an error.
        lseek(file.fd, offset + total, SEEK_SET);
        overlapped->InternalHigh = total;
        overlapped->Internal = total == 0 && length != 0 ? 0xC0000011 /* STATUS_END_OF_FILE */ : 0;
        if (total == 0 && length != 0)
            return FailWith(ERROR_HANDLE_EOF);
    }
    return TRUE;
}

BOOL WriteHostFile(HANDLE handle, const void *buffer, DWORD length, DWORD *done, LPOVERLAPPED overlapped)
{
    HostFile file;
    if (!FindDataFile(handle, true, &file))
        return FALSE;
    off_t offset = -1;
    if (overlapped != nullptr) {
        // Offset 0xFFFFFFFF:0xFFFFFFFF writes at the end of the file.
        if (overlapped->Offset == 0xFFFFFFFF && overlapped->OffsetHigh == 0xFFFFFFFF)
            offset = lseek(file.fd, 0, SEEK_END);
        else
            offset = (off_t)(((uint64_t)overlapped->OffsetHigh << 32) | overlapped->Offset);
    }
    DWORD total = 0;
    while (total < length) {
        const auto *at = static_cast<const uint8_t *>(buffer) + total;
        ssize_t put =
            offset >= 0 ? pwrite(file.fd, at, length - total, offset + total) : write(file.fd, at, length - total);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0) {
            if (done != nullptr)
                *done = total;
            return FailWith(ErrorOfErrno(errno));
        }
        total += (DWORD)put;
    }
    if (done != nullptr)
        *done = total;
    if (overlapped != nullptr) {
        lseek(file.fd, offset + total, SEEK_SET);
        overlapped->Internal = 0;
        overlapped->InternalHigh = total;
    }
    return TRUE;
}

BOOL QueryHostFile(HANDLE handle, BY_HANDLE_FILE_INFORMATION *information)
{
    HostFile file;
    if (!FindFile(handle, &file))
        return FALSE;
    struct statx st;
    if (statx(file.fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &st) != 0)
        return FailWith(ErrorOfErrno(errno));
    DWORD attributes = S_ISDIR(st.stx_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.stx_mode & 0222))
        attributes |= FILE_ATTRIBUTE_READONLY;
    information->dwFileAttributes = attributes;
    // No birth time from the file system: the last write stands in, as for a copied file.
    const struct statx_timestamp &born = (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime;
    information->ftCreationTime = FileTimeOf(born.tv_sec, born.tv_nsec);
    information->ftLastAccessTime = FileTimeOf(st.stx_atime.tv_sec, st.stx_atime.tv_nsec);
    information->ftLastWriteTime = FileTimeOf(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
    uint64_t device = ((uint64_t)st.stx_dev_major << 32) | st.stx_dev_minor;
    information->dwVolumeSerialNumber = (DWORD)(device ^ (device >> 32));
    uint64_t size = S_ISDIR(st.stx_mode) ? 0 : st.stx_size;
    information->nFileSizeHigh = (DWORD)(size >> 32);
    information->nFileSizeLow = (DWORD)size;
    information->nNumberOfLinks = st.stx_nlink;
    information->nFileIndexHigh = (DWORD)(st.stx_ino >> 32);
    information->nFileIndexLow = (DWORD)st.stx_ino;
    return TRUE;
}

BOOL SetHostFileInformation(HANDLE handle, FILE_INFO_BY_HANDLE_CLASS informationClass, const void *record,
                            DWORD length)
{
    HostFile file;
    if (!FindFile(handle, &file))
        return FALSE;
    switch (informationClass) {
    case FileEndOfFileInfo: {
        LONGLONG end = static_cast<const FILE_END_OF_FILE_INFO *>(record)->EndOfFile.QuadPart;
        if (end < 0)
            return FailWith(ERROR_INVALID_PARAMETER);
        if (file.directory || !file.write)
            return FailWith(ERROR_ACCESS_DENIED);
        if (ftruncate(file.fd, (off_t)end) != 0)
            return FailWith(errno == EFBIG || errno == EINVAL ? ERROR_DISK_FULL : ErrorOfErrno(errno));
        return TRUE;
    }
    case FileDispositionInfo:
    case FileDispositionInfoEx: {
        DWORD flags = informationClass == FileDispositionInfo
                          ? (static_cast<const FILE_DISPOSITION_INFO *>(record)->DeleteFile ? 1u : 0u)
                          : static_cast<const FILE_DISPOSITION_INFO_EX *>(record)->Flags;
        (void)length;
        if (!file.remove)
            return FailWith(ERROR_ACCESS_DENIED);
        bool remove = (flags & FILE_DISPOSITION_FLAG_DELETE) != 0;
        if (remove) {
            // Checked now, as the file system refuses the disposition: a read-only file
            // (unless told to ignore it), a directory that is not empty, a parent the
            // caller may not change.
            struct stat st;
            if (fstat(file.fd, &st) != 0)
                return FailWith(ErrorOfErrno(errno));
            if (!(st.st_mode & 0222) && !S_ISDIR(st.st_mode) &&
                !(flags & FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE))
                return FailWith(ERROR_ACCESS_DENIED);
            size_t slash = file.path.find_last_of('/');
            std::string parent = slash == 0 ? "/" : file.path.substr(0, slash);
            if (access(parent.c_str(), W_OK | X_OK) != 0)
                return FailWith(ERROR_ACCESS_DENIED);
            if (file.directory) {
                int fd = open(file.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                bool empty = true;
                if (fd >= 0) {
                    // An empty directory has only "." and ".." (a link count of 2 does not
                    // tell on every file system, the listing does).
                    DIR *listing = fdopendir(fd);
                    if (listing != nullptr) {
                        int names = 0;
                        while (readdir(listing) != nullptr)
                            ++names;
                        empty = names <= 2;
                        closedir(listing);
                    } else {
                        close(fd);
                    }
                }
                if (!empty)
                    return FailWith(ERROR_DIR_NOT_EMPTY);
            }
        }
        std::lock_guard<std::mutex> guard(fileLock);
        auto it = files.find((uintptr_t)handle);
        if (it != files.end())
            it->second.deletePending = remove;
        return TRUE;
    }
    default:
        // Times, attributes and allocation of host files are not offered through this layer.
        return FailWith(ERROR_NOT_SUPPORTED);
    }
}

DWORD HostFileAttributes(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        FailWith(ErrorOfErrno(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!(st.st_mode & 0222))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

BOOL HostDiskFreeSpace(const std::string &path, ULARGE_INTEGER *callerFree, ULARGE_INTEGER *total,
                       ULARGE_INTEGER *totalFree)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return FailWith(ErrorOfErrno(errno, path));
    if (!S_ISDIR(st.st_mode))
        return FailWith(ERROR_DIRECTORY);
    if (access(path.c_str(), R_OK) != 0) /* the caller must be able to list it */
        return FailWith(ErrorOfErrno(errno, path));
    struct statvfs vfs;
    if (statvfs(path.c_str(), &vfs) != 0)
        return FailWith(ErrorOfErrno(errno, path));
    uint64_t unit = vfs.f_frsize != 0 ? vfs.f_frsize : vfs.f_bsize;
    if (callerFree != nullptr)
        callerFree->QuadPart = (uint64_t)vfs.f_bavail * unit;
    if (total != nullptr)
        total->QuadPart = (uint64_t)vfs.f_blocks * unit;
    if (totalFree != nullptr)
        totalFree->QuadPart = (uint64_t)vfs.f_bfree * unit;
    return TRUE;
}

bool CloseHostFile(HANDLE handle)
{
    HostFile file;
    {
        std::lock_guard<std::mutex> guard(fileLock);
        auto it = files.find((uintptr_t)handle);
        if (it == files.end())
            return false;
        file = it->second;
        files.erase(it);
    }
    if (file.deletePending) {
        if (file.directory)
            rmdir(file.path.c_str());
        else
            unlink(file.path.c_str());
    }
    close(file.fd);
    return true;
}

size_t HostFileCount()
{
    std::lock_guard<std::mutex> guard(fileLock);
    return files.size();
}

} // namespace win32
