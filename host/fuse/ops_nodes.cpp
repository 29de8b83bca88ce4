/*
 * Nodes: lookup, attributes, making and removing names, links and the volume's
 * figures. A node is reached by its identifier or by name under its parent's; the
 * handles opened for a request are closed before it is answered.
 */
#include "session.h"

#include "link_targets.h"
#include "names.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <sys/stat.h>
#include <sys/statvfs.h>

namespace fusebridge {

namespace {

constexpr Status kNameNotFound = (Status)0xC0000034; /* STATUS_OBJECT_NAME_NOT_FOUND */
constexpr Status kDeletePending = (Status)0xC0000056; /* STATUS_DELETE_PENDING */
constexpr Status kFileDeleted = (Status)0xC0000123;   /* STATUS_FILE_DELETED */
constexpr Status kAccessDenied = (Status)0xC0000022;  /* STATUS_ACCESS_DENIED */
constexpr Status kPrivilegeNotHeld = (Status)0xC0000061; /* STATUS_PRIVILEGE_NOT_HELD */
constexpr Status kAnswered = 1; /* the request was answered already (no process or frame) */

PosixOwnership OwnershipOfCaller(const RequestScope &scope, mode_t mode)
{
    PosixOwnership ownership;
    ownership.mode = mode & 0777;
    ownership.uid = scope.Uid();
    ownership.gid = scope.Gid();
    return ownership;
}

void ReplyEntry(fuse_req_t request, const RequestScope &scope, const NodeAttributes &attributes)
{
    fuse_entry_param entry;
    FillEntry(scope.Of(), attributes, &entry);
    fuse_reply_entry(request, &entry);
}

int64_t FileTimeNow()
{
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    return FileTimeOfUnix(nanoseconds / 1000000000, (long)(nanoseconds % 1000000000));
}

} // namespace

void OpLookup(fuse_req_t request, fuse_ino_t parent, const char *name)
{
    // A name the volume cannot hold is a name it does not have; making one is what fails.
    std::u16string volumeName;
    int error = NameFromUtf8(name, &volumeName);
    if (error != 0)
        return (void)fuse_reply_err(request, error == EINVAL ? ENOENT : error);
    Request r(request);
    if (!r.Ready())
        return;
    NodeAttributes attributes;
    Status status = r.calls.Lookup(parent, volumeName, &attributes);
    if (status == kNameNotFound) {
        // The kernel may remember that the name is not there: a name made elsewhere ends
        // that through the change watch, one made here replaces it.
        fuse_entry_param negative;
        std::memset(&negative, 0, sizeof(negative));
        negative.entry_timeout = r.scope.Of()->Options().cacheSeconds;
        fuse_reply_entry(request, &negative);
    } else if (status < 0) {
        ReplyStatus(request, status);
    } else {
        ReplyEntry(request, r.scope, attributes);
    }
}

/* StatOpenFile: a node's attributes through an open file's handle, in its process. */
static Status StatOpenFile(fuse_req_t request, OpenFile *file, NodeAttributes *attributes)
{
    Request r(request, file->process);
    if (!r.Ready())
        return kAnswered;
    return r.calls.StatHandle(file->handle, attributes);
}

/*
 * ReplyAttributes: answers with a node's attributes: through the request's open file
 * when it has one, else by identifier; a node whose last name went (an unlinked file
 * still open) is reached through any of its open files, as Linux reaches its inode.
 */
static void ReplyAttributes(fuse_req_t request, uint64_t node, OpenFile *file)
{
    Session *session = static_cast<Session *>(fuse_req_userdata(request));
    NodeAttributes attributes;
    Status status;
    if (file != nullptr) {
        status = StatOpenFile(request, file, &attributes);
    } else {
        {
            Request r(request);
            if (!r.Ready())
                return;
            status = r.calls.Stat(node, &attributes);
        }
        if (status == kNameNotFound || status == kDeletePending || status == kFileDeleted)
            session->WithOpenFile(node, [&](OpenFile *open) { status = StatOpenFile(request, open, &attributes); });
    }
    if (status == kAnswered)
        return;
    if (status < 0)
        return ReplyStatus(request, status);
    struct stat out;
    FillStat(session, attributes, &out);
    fuse_reply_attr(request, &out, session->Options().cacheSeconds);
}

void OpGetattr(fuse_req_t request, fuse_ino_t node, fuse_file_info *info)
{
    ReplyAttributes(request, node, info != nullptr ? FileOf(info) : nullptr);
}

static bool SetAttributes(fuse_req_t request, fuse_ino_t node, struct stat *attributes, int toSet);

void OpSetattr(fuse_req_t request, fuse_ino_t node, struct stat *attributes, int toSet, fuse_file_info *info)
{
    OpenFile *file = info != nullptr ? FileOf(info) : nullptr;
    if (toSet & FUSE_SET_ATTR_SIZE) {
        if (attributes->st_size < 0)
            return (void)fuse_reply_err(request, EINVAL);
        // Truncating an open file needs only the file's own write access, as on Linux.
        bool byHandle = file != nullptr && file->writable;
        Request r(request, byHandle ? file->process : nullptr);
        if (!r.Ready())
            return;
        Status status = r.calls.SetSize(node, byHandle ? file->handle : 0, (uint64_t)attributes->st_size);
        if (status < 0)
            return ReplyStatus(request, status);
    }
    if (!SetAttributes(request, node, attributes, toSet))
        return;
    ReplyAttributes(request, node, file);
}

/* SetAttributes: mode, owners and times, as the caller; false when the request was answered (a failure). */
static bool SetAttributes(fuse_req_t request, fuse_ino_t node, struct stat *attributes, int toSet)
{
    Request r(request);
    if (!r.Ready())
        return false;
    Status status = 0;
    bool setMode = (toSet & FUSE_SET_ATTR_MODE) != 0;
    bool setOwner = (toSet & FUSE_SET_ATTR_UID) != 0;
    bool setGroup = (toSet & FUSE_SET_ATTR_GID) != 0;
    if (setMode || setOwner || setGroup) {
        PosixOwnership ownership;
        ownership.mode = attributes->st_mode & 0777;
        ownership.uid = attributes->st_uid;
        ownership.gid = attributes->st_gid;
        status = r.calls.SetOwnership(node, 0, ownership, setMode, setOwner, setGroup);
        // Only the owner changes a mode, only root an owner: not permitted, as Linux says.
        if (status == kAccessDenied)
            status = kPrivilegeNotHeld;
        if (status < 0)
            return ReplyStatus(request, status), false;
    }
    if (toSet & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) {
        int64_t now = FileTimeNow();
        int64_t accessTime = 0, writeTime = 0;
        if (toSet & FUSE_SET_ATTR_ATIME)
            accessTime = (toSet & FUSE_SET_ATTR_ATIME_NOW)
                             ? now
                             : FileTimeOfUnix(attributes->st_atim.tv_sec, attributes->st_atim.tv_nsec);
        if (toSet & FUSE_SET_ATTR_MTIME)
            writeTime = (toSet & FUSE_SET_ATTR_MTIME_NOW)
                            ? now
                            : FileTimeOfUnix(attributes->st_mtim.tv_sec, attributes->st_mtim.tv_nsec);
        status = r.calls.SetTimes(node, 0, accessTime, writeTime);
        if (status < 0)
            return ReplyStatus(request, status), false;
    }
    return true;
}

void OpReadlink(fuse_req_t request, fuse_ino_t node)
{
    Request r(request);
    if (!r.Ready())
        return;
    LinkTarget target;
    Status status = r.calls.ReadLink(node, &target);
    if (status < 0)
        return ReplyStatus(request, status);
    std::string linux = LinuxOfLinkTarget(target, r.scope.Of()->Options().mountRoot);
    fuse_reply_readlink(request, linux.c_str());
}

/* Make a file or directory (mknod of a regular file, mkdir). */
static void MakeNode(fuse_req_t request, fuse_ino_t parent, const char *name, mode_t mode, bool directory)
{
    std::u16string volumeName;
    if (!VolumeNameOrReply(request, name, &volumeName))
        return;
    Request r(request);
    if (!r.Ready())
        return;
    NodeAttributes attributes;
    // Noted first: the report of the new name may reach the watch before the reply.
    r.scope.Of()->NoteOwnName(parent, volumeName);
    Status status = r.calls.Create(parent, volumeName, OwnershipOfCaller(r.scope, mode), directory,
                                 CreateMode::Exclusive, OpenIntent(), nullptr, &attributes);
    if (status < 0)
        return ReplyStatus(request, status);
    ReplyEntry(request, r.scope, attributes);
}

void OpMknod(fuse_req_t request, fuse_ino_t parent, const char *name, mode_t mode, dev_t)
{
    // Devices, pipes and sockets have no Windows form.
    if (!S_ISREG(mode))
        return (void)fuse_reply_err(request, EPERM);
    MakeNode(request, parent, name, mode, false);
}

void OpMkdir(fuse_req_t request, fuse_ino_t parent, const char *name, mode_t mode)
{
    MakeNode(request, parent, name, mode, true);
}

static void RemoveName(fuse_req_t request, fuse_ino_t parent, const char *name, bool directory)
{
    std::u16string volumeName;
    int error = NameFromUtf8(name, &volumeName);
    if (error != 0)
        return (void)fuse_reply_err(request, error == EINVAL ? ENOENT : error);
    Request r(request);
    if (!r.Ready())
        return;
    Status status = r.calls.Unlink(parent, volumeName, directory);
    if (status < 0)
        ReplyStatus(request, status);
    else
        fuse_reply_err(request, 0);
}

void OpUnlink(fuse_req_t request, fuse_ino_t parent, const char *name)
{
    RemoveName(request, parent, name, false);
}

void OpRmdir(fuse_req_t request, fuse_ino_t parent, const char *name)
{
    RemoveName(request, parent, name, true);
}

void OpSymlink(fuse_req_t request, const char *link, fuse_ino_t parent, const char *name)
{
    std::u16string volumeName;
    if (!VolumeNameOrReply(request, name, &volumeName))
        return;
    Request r(request);
    if (!r.Ready())
        return;
    LinkTarget target;
    int error = LinkTargetOfLinux(link, r.scope.Of()->Options().mountRoot, &target);
    if (error != 0)
        return (void)fuse_reply_err(request, error);
    NodeAttributes attributes;
    r.scope.Of()->NoteOwnName(parent, volumeName);
    Status status = r.calls.Symlink(parent, volumeName, target, OwnershipOfCaller(r.scope, 0777), &attributes);
    if (status < 0)
        return ReplyStatus(request, status);
    ReplyEntry(request, r.scope, attributes);
}

void OpRename(fuse_req_t request, fuse_ino_t parent, const char *name, fuse_ino_t newParent, const char *newName,
              unsigned int flags)
{
    if (flags & ~RENAME_NOREPLACE)
        return (void)fuse_reply_err(request, EINVAL); /* RENAME_EXCHANGE, RENAME_WHITEOUT */
    std::u16string from, to;
    int error = NameFromUtf8(name, &from);
    if (error == 0)
        error = NameFromUtf8(newName, &to);
    if (error != 0)
        return (void)fuse_reply_err(request, error);
    Request r(request);
    if (!r.Ready())
        return;
    bool noReplace = (flags & RENAME_NOREPLACE) != 0;
    NodeAttributes source, target;
    Status status = r.calls.Lookup(parent, from, &source);
    if (status < 0)
        return ReplyStatus(request, status);
    Status found = r.calls.Lookup(newParent, to, &target);
    if (found >= 0 && !noReplace) {
        // Linux's rules for an existing target, which Windows' rename does not share: a
        // directory replaces only an empty directory, and a name of the same file is a no-op.
        if (target.id == source.id && !(parent == newParent && from != to))
            return (void)fuse_reply_err(request, 0);
        if (target.directory && !source.directory)
            return (void)fuse_reply_err(request, EISDIR);
        if (!target.directory && source.directory)
            return (void)fuse_reply_err(request, ENOTDIR);
        if (target.directory) {
            status = r.calls.Unlink(newParent, to, true);
            if (status < 0)
                return ReplyStatus(request, status);
        }
    }
    r.scope.Of()->NoteOwnName(newParent, to);
    status = r.calls.Rename(parent, from, newParent, to, noReplace);
    if (status < 0)
        return ReplyStatus(request, status);
    fuse_reply_err(request, 0);
}

void OpLink(fuse_req_t request, fuse_ino_t node, fuse_ino_t newParent, const char *newName)
{
    std::u16string volumeName;
    if (!VolumeNameOrReply(request, newName, &volumeName))
        return;
    Request r(request);
    if (!r.Ready())
        return;
    NodeAttributes attributes;
    r.scope.Of()->NoteOwnName(newParent, volumeName);
    Status status = r.calls.Link(node, newParent, volumeName, &attributes);
    if (status < 0)
        ReplyStatus(request, status);
    else
        ReplyEntry(request, r.scope, attributes);
}

void OpStatfs(fuse_req_t request, fuse_ino_t)
{
    Request r(request);
    if (!r.Ready())
        return;
    VolumeSize size;
    Status status = r.calls.QueryVolumeSize(&size);
    if (status < 0)
        return ReplyStatus(request, status);
    r.scope.Of()->clusterBytes.store(size.clusterBytes);
    struct statvfs out;
    std::memset(&out, 0, sizeof(out));
    out.f_bsize = size.clusterBytes;
    out.f_frsize = size.clusterBytes;
    out.f_blocks = size.totalClusters;
    out.f_bfree = size.freeClusters;
    out.f_bavail = size.callerFreeClusters;
    // Nodes are made from the same memory as data: as many as there are free clusters.
    out.f_files = size.totalClusters;
    out.f_ffree = size.freeClusters;
    out.f_favail = size.callerFreeClusters;
    out.f_namemax = 255;
    fuse_reply_statfs(request, &out);
}

} // namespace fusebridge
