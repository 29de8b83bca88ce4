/*
 * A volume's FUSE session: mounted with the low-level API (node id = the file's
 * identifier, the root 1 on both sides), served by libfuse's threads, each request
 * made in the caller's process. allow_other and no default_permissions: the driver
 * checks access against the caller's token. No writeback cache: every write reaches
 * the volume at once, where Windows programs see it.
 */
#include "session.h"

#include "bridge.h"

#include "errno_map.h"
#include "link_targets.h"
#include "names.h"

#include "machine.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fusebridge {

namespace {

/* The largest request libfuse's buffer holds: 256 pages, as the kernel allows. */
constexpr unsigned kMaxTransfer = 1024 * 1024;
constexpr unsigned kMaxIdleThreads = 8;
constexpr unsigned kMaxThreads = 32;

/* The supplementary groups of a Linux process, from its status file. */
std::vector<uint32_t> ReadGroups(pid_t pid)
{
    std::vector<uint32_t> groups;
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/status", (int)pid);
    std::ifstream status(path);
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 7, "Groups:") != 0)
            continue;
        std::istringstream values(line.substr(7));
        uint32_t group;
        while (values >> group)
            groups.push_back(group);
        break;
    }
    std::sort(groups.begin(), groups.end());
    groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
    return groups;
}

void OpInit(void *userdata, fuse_conn_info *connection)
{
    (void)userdata;
    connection->max_write = kMaxTransfer;
    connection->max_read = kMaxTransfer;
    connection->max_readahead = kMaxTransfer;
    connection->time_gran = 100; /* Windows file times count 100 ns */
    // Set-user and set-group bits are never kept, so there are none for a write to clear.
    if (connection->capable & FUSE_CAP_HANDLE_KILLPRIV)
        connection->want |= FUSE_CAP_HANDLE_KILLPRIV;
    if (connection->capable & FUSE_CAP_PARALLEL_DIROPS)
        connection->want |= FUSE_CAP_PARALLEL_DIROPS;
    // Locks stay in the Linux kernel; the page cache is filled by reads, never written back.
    connection->want &= ~(FUSE_CAP_POSIX_LOCKS | FUSE_CAP_FLOCK_LOCKS | FUSE_CAP_WRITEBACK_CACHE |
                          FUSE_CAP_ATOMIC_O_TRUNC);
}

void OpForget(fuse_req_t request, fuse_ino_t, uint64_t)
{
    // Nodes hold nothing here: an identifier opens its file again whenever it is needed.
    fuse_reply_none(request);
}

void OpForgetMulti(fuse_req_t request, size_t, fuse_forget_data *)
{
    fuse_reply_none(request);
}

const fuse_lowlevel_ops kOperations = [] {
    fuse_lowlevel_ops ops = {};
    ops.init = OpInit;
    ops.lookup = OpLookup;
    ops.forget = OpForget;
    ops.forget_multi = OpForgetMulti;
    ops.getattr = OpGetattr;
    ops.setattr = OpSetattr;
    ops.readlink = OpReadlink;
    ops.mknod = OpMknod;
    ops.mkdir = OpMkdir;
    ops.unlink = OpUnlink;
    ops.rmdir = OpRmdir;
    ops.symlink = OpSymlink;
    ops.rename = OpRename;
    ops.link = OpLink;
    ops.open = OpOpen;
    ops.read = OpRead;
    ops.write = OpWrite;
    ops.flush = OpFlush;
    ops.release = OpRelease;
    ops.fsync = OpFsync;
    ops.opendir = OpOpendir;
    ops.readdir = OpReaddir;
    ops.readdirplus = OpReaddirplus;
    ops.releasedir = OpReleasedir;
    ops.fsyncdir = OpFsyncdir;
    ops.statfs = OpStatfs;
    ops.setxattr = OpSetxattr;
    ops.getxattr = OpGetxattr;
    ops.listxattr = OpListxattr;
    ops.removexattr = OpRemovexattr;
    ops.create = OpCreate;
    ops.fallocate = OpFallocate;
    ops.lseek = OpLseek;
    ops.copy_file_range = OpCopyFileRange;
    return ops;
}();

} // namespace

std::unique_ptr<Session> Session::Mount(char16_t letter, const std::u16string &deviceName,
                                        const std::string &mountPoint, Callers *callers,
                                        const SessionOptions &options, std::string *error)
{
    std::unique_ptr<Session> session(new Session());
    session->letter_ = letter;
    session->deviceName_ = deviceName;
    session->mountPoint_ = mountPoint;
    session->options_ = options;
    session->callers_ = callers;

    char name[64];
    std::snprintf(name, sizeof(name), "-oallow_other,fsname=vorel:%c,subtype=vorel,max_read=%u", (char)letter,
                  kMaxTransfer);
    const char *arguments[] = {"vorelhost", name};
    fuse_args args = FUSE_ARGS_INIT(2, const_cast<char **>(arguments));
    session->fuse_ = fuse_session_new(&args, &kOperations, sizeof(kOperations), session.get());
    fuse_opt_free_args(&args);
    if (session->fuse_ == nullptr) {
        *error = "the FUSE session could not be made";
        return nullptr;
    }
    if (fuse_session_mount(session->fuse_, mountPoint.c_str()) != 0) {
        *error = "FUSE could not mount " + mountPoint;
        fuse_session_destroy(session->fuse_);
        session->fuse_ = nullptr;
        return nullptr;
    }
    session->mounted_ = true;
    try {
        session->loop_ = std::thread([s = session.get()] { s->Serve(); });
    } catch (const std::system_error &) {
        *error = "no thread to serve the mount";
        fuse_session_unmount(session->fuse_);
        fuse_session_destroy(session->fuse_);
        session->fuse_ = nullptr;
        session->mounted_ = false;
        return nullptr;
    }
    session->StartWatch();
    return session;
}

void Session::Serve()
{
    fuse_loop_config *config = fuse_loop_cfg_create();
    if (config == nullptr) {
        (void)fuse_session_loop(fuse_);
    } else {
        fuse_loop_cfg_set_idle_threads(config, kMaxIdleThreads);
        fuse_loop_cfg_set_max_threads(config, kMaxThreads);
        fuse_loop_cfg_set_clone_fd(config, 0);
        (void)fuse_session_loop_mt(fuse_, config);
        fuse_loop_cfg_destroy(config);
    }
    std::lock_guard<std::mutex> guard(serveLock_);
    served_ = true;
    serveEnded_.notify_all();
}

void Session::Unmount()
{
    if (!mounted_)
        return;
    StopWatch();
    unsigned connection = ConnectionOf(mountPoint_);
    fuse_session_exit(fuse_);
    // Lazily: once nothing uses the mount the kernel ends the connection, and with it the
    // serving threads' reads of the device. A process with its working directory inside
    // keeps it alive: then the connection is aborted.
    (void)umount2(mountPoint_.c_str(), MNT_DETACH);
    {
        std::unique_lock<std::mutex> guard(serveLock_);
        if (!serveEnded_.wait_for(guard, std::chrono::seconds(2), [&] { return served_; })) {
            guard.unlock();
            if (connection != 0)
                AbortConnection(connection);
        }
    }
    if (loop_.joinable())
        loop_.join();
    fuse_session_unmount(fuse_);
    fuse_session_destroy(fuse_);
    fuse_ = nullptr;
    mounted_ = false;
}

Session::~Session()
{
    Unmount();
}

void Session::Remember(OpenFile *file)
{
    std::lock_guard<std::mutex> guard(openLock_);
    openFiles_.emplace(file->id, file);
}

void Session::Forget(OpenFile *file)
{
    std::lock_guard<std::mutex> guard(openLock_);
    auto range = openFiles_.equal_range(file->id);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == file) {
            openFiles_.erase(it);
            return;
        }
    }
}

RequestScope::RequestScope(fuse_req_t request, void *process)
    : session_(static_cast<Session *>(fuse_req_userdata(request))), process_(process)
{
    const fuse_ctx *context = fuse_req_ctx(request);
    uid_ = context->uid;
    gid_ = context->gid;
    machine::AttachCurrentThread();
    if (process_ == nullptr) {
        Identity identity;
        identity.uid = context->uid;
        identity.gid = context->gid;
        identity.groups = session_->CallersOf()->GroupsOf(context->pid, ReadGroups);
        process_ = session_->CallersOf()->ProcessOf(identity);
        if (process_ == nullptr) {
            machine::DetachCurrentThread();
            fuse_reply_err(request, ENOMEM);
            return;
        }
    }
    machine::EnterProcess(process_);
}

RequestScope::~RequestScope()
{
    if (process_ == nullptr)
        return;
    machine::LeaveProcess();
    machine::DetachCurrentThread();
}

void ReplyStatus(fuse_req_t request, Status status)
{
    int error = ErrnoOfStatus(status);
    fuse_reply_err(request, error != 0 ? error : EIO);
}

void FillStat(const Session *session, const NodeAttributes &attributes, struct stat *out)
{
    std::memset(out, 0, sizeof(*out));
    out->st_ino = attributes.id;
    mode_t type = attributes.symlink ? S_IFLNK : attributes.directory ? S_IFDIR : S_IFREG;
    mode_t bits = attributes.ownershipKnown ? (attributes.ownership.mode & 0777) : 0777;
    if (attributes.symlink)
        bits = 0777;
    out->st_mode = type | bits;
    out->st_nlink = attributes.links; /* 0 for an open file whose last name went */
    out->st_uid = attributes.ownershipKnown ? attributes.ownership.uid : 0;
    out->st_gid = attributes.ownershipKnown ? attributes.ownership.gid : 0;
    // A link's size is the length of the target Linux reads from it.
    out->st_size = attributes.symlink
                       ? (off_t)LinuxOfLinkTarget(attributes.link, session->Options().mountRoot).size()
                       : (off_t)attributes.size;
    out->st_blksize = 64 * 1024;
    out->st_blocks = (blkcnt_t)((attributes.allocation + 511) / 512);
    int64_t seconds;
    long nanoseconds;
    UnixOfFileTime(attributes.accessTime, &seconds, &nanoseconds);
    out->st_atim = {seconds, nanoseconds};
    UnixOfFileTime(attributes.writeTime, &seconds, &nanoseconds);
    out->st_mtim = {seconds, nanoseconds};
    UnixOfFileTime(attributes.changeTime, &seconds, &nanoseconds);
    out->st_ctim = {seconds, nanoseconds};
}

void FillEntry(const Session *session, const NodeAttributes &attributes, fuse_entry_param *entry)
{
    std::memset(entry, 0, sizeof(*entry));
    entry->ino = attributes.id;
    entry->generation = 0;
    FillStat(session, attributes, &entry->attr);
    entry->attr_timeout = session->Options().cacheSeconds;
    entry->entry_timeout = session->Options().cacheSeconds;
}

bool VolumeNameOrReply(fuse_req_t request, const char *name, std::u16string *out)
{
    int error = NameFromUtf8(name, out);
    if (error != 0)
        fuse_reply_err(request, error);
    return error == 0;
}

} // namespace fusebridge
