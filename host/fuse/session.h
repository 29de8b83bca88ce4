/*
 * One volume mounted for Linux programs: its FUSE session, the threads serving it and
 * the state its operations share. The operations (ops_*.cpp) turn each request into
 * the volume's native calls (volume_calls.h) in the caller's process.
 *
 *   session.cpp          mounting, serving, unmounting; the operations table
 *   ops_nodes.cpp        lookup, attributes, make and remove names, links, statfs
 *   ops_files.cpp        open files: open, create, read, write, sync, allocate, seek, copy
 *   ops_directories.cpp  listings
 *   ops_xattrs.cpp       extended attributes
 *   change_watch.cpp     changes made elsewhere, taken out of the kernel's caches
 */
#pragma once

#include "callers.h"
#include "volume_calls.h"

#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fusebridge {

struct SessionOptions {
    std::string mountRoot;       /* symbolic links into other volumes lead here */
    double cacheSeconds = 1.0;   /* entry and attribute time-outs */
    void (*log)(const char *line) = nullptr;
};

/* A Linux open file or directory: its handle, in the process that opened it. */
struct OpenFile {
    void *process = nullptr;
    Handle handle = 0;
    uint64_t id = 0;
    bool append = false;
    bool writable = false; /* opened with write access (not append-only) */
    /* A directory's listing: entries read but not yet given, and the offset the next one has. */
    std::mutex lock;
    std::vector<DirectoryEntry> pending;
    size_t pendingAt = 0;
    uint64_t nextOffset = 0;
    bool listed = false; /* the driver's listing has begun (later reads continue it) */
    bool ended = false;  /* the driver's listing has no more entries */
};

class Session {
public:
    /* Mounts the volume on letter at mountPoint and starts serving it; null (error set) when it cannot. */
    static std::unique_ptr<Session> Mount(char16_t letter, const std::u16string &deviceName,
                                          const std::string &mountPoint, Callers *callers,
                                          const SessionOptions &options, std::string *error);
    ~Session();

    /* Stops serving and takes the mount away (lazily, so a process with its working
     * directory there does not hold it up). */
    void Unmount();

    /* The volume's dismount asks for the lock (locked) or gave up (not): the change watch
     * lets go of the volume, or takes it again. Called on the dismounting thread, which
     * is attached to the machine; returns once the watch has let go (bounded). */
    void VolumeLock(bool locked);

    char16_t Letter() const { return letter_; }
    const std::u16string &DeviceName() const { return deviceName_; }
    const std::string &MountPoint() const { return mountPoint_; }
    const SessionOptions &Options() const { return options_; }
    Callers *CallersOf() const { return callers_; }
    fuse_session *Fuse() const { return fuse_; }
    /* The open files, by node: a node whose last name went is still reached through them. */
    void Remember(OpenFile *file);
    void Forget(OpenFile *file);
    /* Calls use(file) for one open file of the node, under the registry's lock (a release
     * waits); false when the node has none. */
    template <typename Use>
    bool WithOpenFile(uint64_t id, Use use)
    {
        std::lock_guard<std::mutex> guard(openLock_);
        auto found = openFiles_.find(id);
        if (found == openFiles_.end())
            return false;
        use(found->second);
        return true;
    }

    /*
     * Names this mount made (creates, links, renames' targets): the change watch skips
     * their reports, since the kernel's entry for them is already right, and taking it
     * away would cut the path of a directory a process has entered.
     */
    void NoteOwnName(uint64_t parent, const std::u16string &name);
    bool TakeOwnName(uint64_t parent, const std::u16string &name);

    /* The volume's cluster size, learned at the first statfs or copy (0 until then). */
    std::atomic<uint64_t> clusterBytes{0};

private:
    Session() = default;
    void Serve();
    void StartWatch();
    void StopWatch();
    void Watch();
    void WaitWhileLocked();
    void Invalidate(VolumeCalls *calls, const std::vector<ChangeRecord> &changes);
    void CancelWatchWait();

    char16_t letter_ = 0;
    std::u16string deviceName_;
    std::string mountPoint_;
    SessionOptions options_;
    Callers *callers_ = nullptr;
    fuse_session *fuse_ = nullptr;
    std::mutex openLock_;
    std::multimap<uint64_t, OpenFile *> openFiles_; /* openLock_ */
    std::mutex ownLock_;
    std::map<std::pair<uint64_t, std::u16string>, uint64_t> ownNames_; /* ownLock_: made at (steady ms) */
    std::thread loop_;
    bool mounted_ = false;
    std::mutex serveLock_;
    std::condition_variable serveEnded_;
    bool served_ = false; /* serveLock_: the serving loop has returned */

    /* The change watch (change_watch.cpp). */
    std::thread watcher_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> lockHeld_{false};      /* a dismount asked for the volume's lock */
    std::atomic<bool> watchOpen_{false};     /* the watch holds a handle on the volume */
    std::atomic<bool> watchEnded_{false};
    std::atomic<void *> watchProcess_{nullptr};
    std::atomic<const void *> watchWait_{nullptr}; /* the status block of the wait in progress */
    std::mutex watchLock_;
    std::condition_variable watchWake_;
};

/*
 * A request in its caller's process: attaches the serving thread to the machine and
 * enters the process of the caller's identity (or of the open file). Not ready when
 * no process could be had; the request has then been answered with an error.
 */
class RequestScope {
public:
    /* process: an open file's; null for the caller's own. */
    explicit RequestScope(fuse_req_t request, void *process = nullptr);
    ~RequestScope();
    RequestScope(const RequestScope &) = delete;
    RequestScope &operator=(const RequestScope &) = delete;

    bool Ready() const { return process_ != nullptr; }
    Session *Of() const { return session_; }
    void *Process() const { return process_; }
    uid_t Uid() const { return uid_; }
    gid_t Gid() const { return gid_; }

private:
    Session *session_;
    void *process_ = nullptr;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

/*
 * A request's native side: its scope and the volume calls made in it (with room for
 * dataBytes of data). Ready answers the request itself when either could not be had.
 */
struct Request {
    explicit Request(fuse_req_t request, void *process = nullptr, size_t dataBytes = 0)
        : fuse(request), scope(request, process),
          calls(scope.Of()->Letter(), scope.Ready() ? scope.Process() : nullptr, dataBytes)
    {
    }
    bool Ready() const
    {
        if (!scope.Ready())
            return false;
        if (!calls.Ready()) {
            fuse_reply_err(fuse, ENOMEM);
            return false;
        }
        return true;
    }
    fuse_req_t fuse;
    RequestScope scope;
    VolumeCalls calls;
};

/* A Linux name as the volume's; false (the request answered) when it cannot be one. */
bool VolumeNameOrReply(fuse_req_t request, const char *name, std::u16string *out);

/* Answers a request with the errno of a failed status. */
void ReplyStatus(fuse_req_t request, Status status);
/* The Linux attributes of a node on the session's volume. */
void FillStat(const Session *session, const NodeAttributes &attributes, struct stat *out);
/* An entry reply's record, with the session's time-outs. */
void FillEntry(const Session *session, const NodeAttributes &attributes, fuse_entry_param *entry);
/* The OpenFile behind a request's file info. */
inline OpenFile *FileOf(const fuse_file_info *info)
{
    return reinterpret_cast<OpenFile *>((uintptr_t)info->fh);
}

/* The operations (ops_*.cpp), collected into the table in session.cpp. */
void OpLookup(fuse_req_t, fuse_ino_t, const char *);
void OpGetattr(fuse_req_t, fuse_ino_t, fuse_file_info *);
void OpSetattr(fuse_req_t, fuse_ino_t, struct stat *, int, fuse_file_info *);
void OpReadlink(fuse_req_t, fuse_ino_t);
void OpMknod(fuse_req_t, fuse_ino_t, const char *, mode_t, dev_t);
void OpMkdir(fuse_req_t, fuse_ino_t, const char *, mode_t);
void OpUnlink(fuse_req_t, fuse_ino_t, const char *);
void OpRmdir(fuse_req_t, fuse_ino_t, const char *);
void OpSymlink(fuse_req_t, const char *, fuse_ino_t, const char *);
void OpRename(fuse_req_t, fuse_ino_t, const char *, fuse_ino_t, const char *, unsigned int);
void OpLink(fuse_req_t, fuse_ino_t, fuse_ino_t, const char *);
void OpStatfs(fuse_req_t, fuse_ino_t);
void OpOpen(fuse_req_t, fuse_ino_t, fuse_file_info *);
void OpCreate(fuse_req_t, fuse_ino_t, const char *, mode_t, fuse_file_info *);
void OpRead(fuse_req_t, fuse_ino_t, size_t, off_t, fuse_file_info *);
void OpWrite(fuse_req_t, fuse_ino_t, const char *, size_t, off_t, fuse_file_info *);
void OpFlush(fuse_req_t, fuse_ino_t, fuse_file_info *);
void OpRelease(fuse_req_t, fuse_ino_t, fuse_file_info *);
void OpFsync(fuse_req_t, fuse_ino_t, int, fuse_file_info *);
void OpFallocate(fuse_req_t, fuse_ino_t, int, off_t, off_t, fuse_file_info *);
void OpLseek(fuse_req_t, fuse_ino_t, off_t, int, fuse_file_info *);
void OpCopyFileRange(fuse_req_t, fuse_ino_t, off_t, fuse_file_info *, fuse_ino_t, off_t, fuse_file_info *, size_t,
                     int);
void OpOpendir(fuse_req_t, fuse_ino_t, fuse_file_info *);
void OpReaddir(fuse_req_t, fuse_ino_t, size_t, off_t, fuse_file_info *);
void OpReaddirplus(fuse_req_t, fuse_ino_t, size_t, off_t, fuse_file_info *);
void OpReleasedir(fuse_req_t, fuse_ino_t, fuse_file_info *);
void OpFsyncdir(fuse_req_t, fuse_ino_t, int, fuse_file_info *);
void OpSetxattr(fuse_req_t, fuse_ino_t, const char *, const char *, size_t, int);
void OpGetxattr(fuse_req_t, fuse_ino_t, const char *, size_t);
void OpListxattr(fuse_req_t, fuse_ino_t, size_t);
void OpRemovexattr(fuse_req_t, fuse_ino_t, const char *);

} // namespace fusebridge
