/*
 * IRP_MJ_CREATE on a host drive: the name is mapped onto the drive's directory, opened
 * there by Linux, and the file's share access checked against the machine's other opens.
 *
 * Names: '\'-separated components below the drive, relative to the related file object's
 * name when there is one. "." and "..", characters Windows never allows in a name, and
 * components longer than 255 units are invalid names, so no name climbs out of its
 * drive; on a drive other than C: Linux resolves the name with RESOLVE_BENEATH, so a
 * symlink cannot lead out either. Only regular files and directories open: a FIFO or a
 * device node is found with an O_PATH descriptor (which opens nothing) and refused.
 *
 * Native opens from user mode are refused: programs open host files themselves, with
 * their own Linux rights. Kernel code that opens a host file for a user (a forced access
 * check, or any open made while acting for a process other than the system) runs its
 * Linux calls under that process's identity (fsuid, fsgid and groups of this thread
 * alone), so a user can never make the machine create, open or truncate a file their
 * own identity could not.
 */
#include "hostfs/internal.h"

#include "ke/thread.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace hostfs {
namespace {

constexpr size_t kMaxComponent = 255;

/* The drive-relative UTF-8 name of a UTF-16 name; false for an invalid one. */
bool NameFromWindows(const WCHAR *text, size_t units, std::string *out)
{
    std::string name;
    size_t componentUnits = 0;
    size_t componentStart = 0;
    auto endComponent = [&]() {
        std::string component = name.substr(componentStart);
        return component != "." && component != ".." && componentUnits <= kMaxComponent;
    };
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = (uint16_t)text[i];
        if (c == u'\\') {
            if (componentUnits == 0) {
                // Leading, doubled or trailing separators name nothing more.
                continue;
            }
            if (!endComponent())
                return false;
            name.push_back('/');
            componentStart = name.size();
            componentUnits = 0;
            continue;
        }
        if (c < 0x20 || c == u'/' || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<' || c == u'>' ||
            c == u'|')
            return false;
        ++componentUnits;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= units || (uint16_t)text[i + 1] < 0xDC00 || (uint16_t)text[i + 1] > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + ((uint16_t)text[i + 1] - 0xDC00);
            ++i;
            ++componentUnits;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            name.push_back((char)c);
        } else if (c < 0x800) {
            name.push_back((char)(0xC0 | (c >> 6)));
            name.push_back((char)(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            name.push_back((char)(0xE0 | (c >> 12)));
            name.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            name.push_back((char)(0x80 | (c & 0x3F)));
        } else {
            name.push_back((char)(0xF0 | (c >> 18)));
            name.push_back((char)(0x80 | ((c >> 12) & 0x3F)));
            name.push_back((char)(0x80 | ((c >> 6) & 0x3F)));
            name.push_back((char)(0x80 | (c & 0x3F)));
        }
    }
    if (componentUnits != 0 && !endComponent())
        return false;
    if (!name.empty() && name.back() == '/')
        name.pop_back();
    *out = name;
    return true;
}

} // namespace

namespace {

/*
 * A name that leads into the mount root's letter directory ($VOREL_MOUNT_ROOT/R/...) names
 * the machine's own volume R: its open starts again as "\??\R:\..." (true, *target).
 * The machine never reaches its own volumes through Linux: a call into its own FUSE
 * mount from a thread that serves it would wait for itself.
 */
bool MountedVolumeName(const Drive *drive, const std::string &name, std::u16string *target)
{
    // Built by appends: GCC 12 at -O2 warns falsely about overlapping copies in
    // std::string concatenation (-Wrestrict).
    std::string absolute;
    absolute.reserve(drive->directory.size() + 1 + name.size());
    if (drive->directory != "/")
        absolute.append(drive->directory);
    absolute.push_back('/');
    absolute.append(name);
    std::string prefix;
    prefix.reserve(drive->mountRoot.size() + 1);
    prefix.append(drive->mountRoot);
    prefix.push_back('/');
    if (absolute.compare(0, prefix.size(), prefix) != 0 || absolute.size() == prefix.size())
        return false;
    char letter = absolute[prefix.size()];
    if (letter < 'A' || letter > 'Z' || (absolute.size() > prefix.size() + 1 && absolute[prefix.size() + 1] != '/'))
        return false;
    std::string rest = absolute.substr(prefix.size() + 1);
    std::u16string result = u"\\??\\";
    result.push_back((char16_t)letter);
    result += u":";
    if (rest.empty())
        rest.push_back('/');
    // UTF-8 back to UTF-16 ('/' to '\'); the name came from valid UTF-16, so it is valid.
    for (size_t i = 0; i < rest.size();) {
        unsigned char c = (unsigned char)rest[i];
        uint32_t code;
        size_t extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        code = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        for (size_t k = 1; k <= extra && i + k < rest.size(); ++k)
            code = (code << 6) | ((unsigned char)rest[i + k] & 0x3F);
        i += extra + 1;
        if (code == '/') {
            result.push_back(u'\\');
        } else if (code >= 0x10000) {
            code -= 0x10000;
            result.push_back((char16_t)(0xD800 + (code >> 10)));
            result.push_back((char16_t)(0xDC00 + (code & 0x3FF)));
        } else {
            result.push_back((char16_t)code);
        }
    }
    *target = result;
    return true;
}

} // namespace

/* Opens a drive-relative name under the drive's directory ("" is the directory itself). */
int OpenBeneath(Drive *drive, const std::string &name, int flags, mode_t mode)
{
    const char *path = name.empty() ? "." : name.c_str();
    int directoryFd = DirectoryOf(drive);
    if (directoryFd < 0) {
        errno = ENOENT;
        return -1;
    }
    if (!drive->confined)
        return ::openat(directoryFd, path, flags | O_CLOEXEC, mode);
    struct open_how how {};
    how.flags = (uint64_t)(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return (int)syscall(SYS_openat2, directoryFd, path, &how, sizeof(how));
}

namespace {

/* The Linux identity of the requesting process, on this thread, while the scope lasts. */
class IdentityScope {
public:
    IdentityScope() = default;
    IdentityScope(const IdentityScope &) = delete;
    IdentityScope &operator=(const IdentityScope &) = delete;

    /* Takes on uid/gid; false when this thread cannot act as them. */
    bool Assume(uid_t uid, gid_t gid)
    {
        if (uid == geteuid() && gid == getegid())
            return true;
        int count = getgroups(0, nullptr);
        savedGroups_.resize(count > 0 ? (size_t)count : 0);
        if (count > 0 && getgroups(count, savedGroups_.data()) < 0)
            return false;
        std::vector<gid_t> groups{gid};
        struct passwd entry {}, *found = nullptr;
        char text[4096];
        if (getpwuid_r(uid, &entry, text, sizeof(text), &found) == 0 && found != nullptr) {
            int n = 64;
            std::vector<gid_t> list((size_t)n);
            if (getgrouplist(found->pw_name, gid, list.data(), &n) >= 0)
                groups.assign(list.begin(), list.begin() + n);
        }
        // The raw system calls change this thread alone (glibc's wrappers would change every thread).
        if (syscall(SYS_setgroups, groups.size(), groups.data()) != 0)
            return false;
        changed_ = true;
        savedGid_ = (gid_t)setfsgid(gid);
        savedUid_ = (uid_t)setfsuid(uid);
        return (uid_t)setfsuid((uid_t)-1) == uid && (gid_t)setfsgid((gid_t)-1) == gid;
    }
    ~IdentityScope()
    {
        if (!changed_)
            return;
        setfsuid(savedUid_);
        setfsgid(savedGid_);
        syscall(SYS_setgroups, savedGroups_.size(), savedGroups_.data());
    }

private:
    bool changed_ = false;
    uid_t savedUid_ = 0;
    gid_t savedGid_ = 0;
    std::vector<gid_t> savedGroups_;
};

int Reopen(int pathFd, int flags)
{
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/self/fd/%d", pathFd);
    return ::open(path, flags | O_CLOEXEC);
}

/* The last component of a name and the name of its directory. */
void SplitName(const std::string &name, std::string *parent, std::string *last)
{
    size_t slash = name.rfind('/');
    *parent = slash == std::string::npos ? std::string() : name.substr(0, slash);
    *last = slash == std::string::npos ? name : name.substr(slash + 1);
}

/* Missing name: not found when its directory exists, path not found otherwise. */
NTSTATUS MissingStatus(Drive *drive, const std::string &name)
{
    std::string parent, last;
    SplitName(name, &parent, &last);
    int fd = OpenBeneath(drive, parent, O_PATH | O_DIRECTORY, 0);
    if (fd < 0)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    ::close(fd);
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

struct CreateRequest {
    Drive *drive;
    PFILE_OBJECT fileObject;
    std::string name;
    ULONG disposition;
    ULONG options;
    ACCESS_MASK access;   /* mapped, as granted */
    ULONG shareAccess;
    bool targetDirectory; /* SL_OPEN_TARGET_DIRECTORY */
};

/* The open of a rename's target: the directory, and whether the last component exists. */
NTSTATUS OpenTargetDirectory(CreateRequest &r, int *fd, struct stat *st, ULONG_PTR *information)
{
    std::string parent, last;
    SplitName(r.name, &parent, &last);
    if (last.empty())
        return STATUS_OBJECT_NAME_INVALID;
    *fd = OpenBeneath(r.drive, parent, O_RDONLY | O_DIRECTORY, 0);
    if (*fd < 0)
        return errno == ENOENT ? STATUS_OBJECT_PATH_NOT_FOUND : StatusFromErrno(errno);
    fstat(*fd, st);
    struct stat target;
    *information = fstatat(*fd, last.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0 ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
    // The file object's name becomes the last component alone, as the rename expects.
    UNICODE_STRING &fileName = r.fileObject->FileName;
    USHORT units = fileName.Length / sizeof(WCHAR);
    while (units > 0 && fileName.Buffer[units - 1] == L'\\')
        --units;
    USHORT start = units;
    while (start > 0 && fileName.Buffer[start - 1] != L'\\')
        --start;
    memmove(fileName.Buffer, fileName.Buffer + start, (units - start) * sizeof(WCHAR));
    fileName.Length = (USHORT)((units - start) * sizeof(WCHAR));
    r.name = parent;
    return STATUS_SUCCESS;
}

/* The Linux open of a create: a descriptor and what it found, or a status. */
NTSTATUS OpenHost(CreateRequest &r, int *fd, struct stat *st, ULONG_PTR *information, bool *truncate)
{
    bool wantWrite = (r.access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    bool wantRead = (r.access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    bool overwrite = r.disposition == FILE_OVERWRITE || r.disposition == FILE_OVERWRITE_IF ||
                     r.disposition == FILE_SUPERSEDE;
    int dataFlags = (wantWrite || overwrite) ? (wantRead || !wantWrite ? O_RDWR : O_WRONLY)
                                             : (wantRead ? O_RDONLY : O_PATH);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int pathFd = OpenBeneath(r.drive, r.name, O_PATH, 0);
        if (pathFd >= 0) {
            fstat(pathFd, st);
            NTSTATUS status = STATUS_SUCCESS;
            bool directory = S_ISDIR(st->st_mode);
            if (!directory && !S_ISREG(st->st_mode))
                status = STATUS_ACCESS_DENIED; /* FIFOs, sockets and devices are no files of a drive */
            else if (r.disposition == FILE_CREATE)
                status = STATUS_OBJECT_NAME_COLLISION;
            else if (directory && (r.options & FILE_NON_DIRECTORY_FILE))
                status = STATUS_FILE_IS_A_DIRECTORY;
            else if (!directory && (r.options & FILE_DIRECTORY_FILE))
                status = STATUS_NOT_A_DIRECTORY;
            else if (directory && overwrite)
                status = STATUS_FILE_IS_A_DIRECTORY;
            if (!NT_SUCCESS(status)) {
                ::close(pathFd);
                return status;
            }
            int flags = directory ? (O_RDONLY | O_DIRECTORY) : dataFlags;
            *fd = flags == O_PATH ? pathFd : Reopen(pathFd, flags);
            if (*fd != pathFd)
                ::close(pathFd);
            if (*fd < 0)
                return StatusFromErrno(errno);
            fstat(*fd, st);
            *truncate = overwrite;
            *information = r.disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED
                                                           : overwrite ? FILE_OVERWRITTEN : FILE_OPENED;
            return STATUS_SUCCESS;
        }
        if (errno != ENOENT)
            return errno == ENOTDIR ? STATUS_OBJECT_PATH_NOT_FOUND : StatusFromErrno(errno);
        if (r.disposition == FILE_OPEN || r.disposition == FILE_OVERWRITE)
            return MissingStatus(r.drive, r.name);
        if (r.name.empty())
            return STATUS_OBJECT_NAME_INVALID;
        std::string parent, last;
        SplitName(r.name, &parent, &last);
        int parentFd = OpenBeneath(r.drive, parent, O_PATH | O_DIRECTORY, 0);
        if (parentFd < 0)
            return errno == ENOENT || errno == ENOTDIR ? STATUS_OBJECT_PATH_NOT_FOUND : StatusFromErrno(errno);
        int error = 0;
        if (r.options & FILE_DIRECTORY_FILE) {
            if (mkdirat(parentFd, last.c_str(), 0777) == 0)
                *fd = ::openat(parentFd, last.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            else
                *fd = -1;
        } else {
            *fd = ::openat(parentFd, last.c_str(),
                           (dataFlags == O_PATH || dataFlags == O_RDONLY ? O_RDWR : dataFlags) | O_CREAT | O_EXCL |
                               O_NOFOLLOW | O_CLOEXEC,
                           0666);
        }
        error = errno;
        ::close(parentFd);
        if (*fd >= 0) {
            fstat(*fd, st);
            *truncate = false;
            *information = FILE_CREATED;
            return STATUS_SUCCESS;
        }
        if (error != EEXIST)
            return StatusFromErrno(error);
        // Made by someone else in between: open what is there now.
    }
    return STATUS_OBJECT_NAME_COLLISION;
}

} // namespace

NTSTATUS Create(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    Drive *drive = DriveOf(device);
    if (drive == nullptr)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    // User mode opens host files itself, with its own Linux rights: the machine serves
    // native opens of them to kernel code alone.
    if (irp->RequestorMode == UserMode && (fileObject->FileName.Length != 0 || fileObject->RelatedFileObject))
        return Complete(irp, STATUS_ACCESS_DENIED);
    PFILE_OBJECT related = fileObject->RelatedFileObject;
    Open *relatedOpen = OpenOf(related);
    // A direct open of the drive's device: nothing of the host is opened.
    if (fileObject->FileName.Length == 0 && relatedOpen == nullptr && related == nullptr &&
        !(stack->Flags & SL_OPEN_TARGET_DIRECTORY) && stack->Parameters.Create.SecurityContext->DesiredAccess ==
                                                          (stack->Parameters.Create.SecurityContext->DesiredAccess &
                                                           (SYNCHRONIZE | FILE_READ_ATTRIBUTES | READ_CONTROL)))
        return Complete(irp, STATUS_SUCCESS, FILE_OPENED);

    CreateRequest r{};
    r.drive = drive;
    r.fileObject = fileObject;
    r.disposition = (stack->Parameters.Create.Options >> 24) & 0xFF;
    r.options = stack->Parameters.Create.Options & FILE_VALID_OPTION_FLAGS;
    r.shareAccess = stack->Parameters.Create.ShareAccess;
    r.targetDirectory = (stack->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
    PACCESS_STATE accessState = stack->Parameters.Create.SecurityContext->AccessState;
    r.access = accessState->PreviouslyGrantedAccess | accessState->RemainingDesiredAccess;
    if (r.access & MAXIMUM_ALLOWED)
        r.access |= FILE_ALL_ACCESS;
    if (r.disposition > FILE_MAXIMUM_DISPOSITION ||
        ((r.options & FILE_DIRECTORY_FILE) && (r.options & FILE_NON_DIRECTORY_FILE)) ||
        ((r.options & FILE_DIRECTORY_FILE) && r.disposition != FILE_CREATE && r.disposition != FILE_OPEN &&
         r.disposition != FILE_OPEN_IF))
        return Complete(irp, STATUS_INVALID_PARAMETER);

    std::string name;
    if (!NameFromWindows(fileObject->FileName.Buffer, fileObject->FileName.Length / sizeof(WCHAR), &name))
        return Complete(irp, STATUS_OBJECT_NAME_INVALID);
    if (related != nullptr) {
        if (relatedOpen == nullptr || !relatedOpen->file->directory)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        std::string base;
        {
            std::lock_guard<std::mutex> guard(Lock());
            base = relatedOpen->file->name;
        }
        name = base.empty() ? name : name.empty() ? base : base + "/" + name;
    }
    r.name = name;
    std::u16string volumeName;
    if (MountedVolumeName(drive, name, &volumeName)) {
        NTSTATUS replaced = IoReplaceFileObjectName(fileObject, reinterpret_cast<PWSTR>(volumeName.data()),
                                                    (USHORT)(volumeName.size() * sizeof(WCHAR)));
        return Complete(irp, NT_SUCCESS(replaced) ? STATUS_REPARSE : replaced, NT_SUCCESS(replaced) ? IO_REPARSE : 0);
    }

    int fd = -1;
    struct stat st {};
    ULONG_PTR information = 0;
    bool truncate = false;
    NTSTATUS status;
    // A drive whose directory is not there is a drive without its medium.
    if (DirectoryOf(drive) < 0)
        return Complete(irp, STATUS_NO_MEDIA_IN_DEVICE);
    {
        IdentityScope identity;
        struct _KPROCESS *process = ke::CurrentProcess();
        bool checked = (stack->Flags & SL_FORCE_ACCESS_CHECK) || (process != nullptr && !process->System);
        if (checked && process != nullptr && !identity.Assume(process->Uid, process->Gid))
            status = STATUS_ACCESS_DENIED;
        else
            status = r.targetDirectory ? OpenTargetDirectory(r, &fd, &st, &information)
                                       : OpenHost(r, &fd, &st, &information, &truncate);
    }
    if (!NT_SUCCESS(status))
        return Complete(irp, status);

    Open *open = new (std::nothrow) Open;
    if (open == nullptr) {
        ::close(fd);
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    open->fd = fd;
    open->readable = (r.access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    open->writable = (r.access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0 || information == FILE_CREATED;
    open->deleteOnClose = (r.options & FILE_DELETE_ON_CLOSE) != 0;

    // Share access first, then the truncation it allows (outside the lock: it is I/O).
    HostFile *file;
    bool shared = false;
    {
        std::lock_guard<std::mutex> guard(Lock());
        file = FindOrAddHostFile(drive, st, r.name);
        file->opens++;
        if (file->deletePending)
            status = STATUS_DELETE_PENDING;
        else if (file->handles == 0)
            IoSetShareAccess(r.access, r.shareAccess, fileObject, &file->share);
        else
            status = IoCheckShareAccess(r.access, r.shareAccess, fileObject, &file->share, TRUE);
        if (NT_SUCCESS(status)) {
            file->handles++;
            shared = true;
        }
    }
    if (NT_SUCCESS(status) && truncate)
        status = ResizeHostFile(file, fd, 0);
    {
        std::lock_guard<std::mutex> guard(Lock());
        if (!NT_SUCCESS(status)) {
            if (shared) {
                IoRemoveShareAccess(fileObject, &file->share);
                file->handles--;
            }
            ReleaseHostFile(file);
        } else {
            if (information == FILE_CREATED)
                file->nameDirty = true;
            open->file = file;
            fileObject->FsContext = file;
            fileObject->FsContext2 = open;
        }
    }
    if (!NT_SUCCESS(status)) {
        ::close(fd);
        delete open;
    }
    return Complete(irp, status, NT_SUCCESS(status) ? information : 0);
}

} // namespace hostfs
