/*
 * Changes made elsewhere (Windows programs on the socket, the driver's own work) are
 * taken out of the kernel's caches through the driver's change notification: one
 * watch on the root for the whole tree, whose reports invalidate the entries and
 * attributes the kernel keeps for the names and nodes they touch.
 *
 * The watch holds a handle on the volume, so it lets go when a dismount asks for the
 * volume's lock, as every watcher of a volume does on Windows, and takes the volume
 * again if the dismount gives up.
 */
#include "session.h"

#include "names.h"

#include "machine.h"

#include <chrono>
#include <map>

namespace fusebridge {

namespace {

constexpr int kCancelAttempts = 150;
constexpr auto kCancelPause = std::chrono::milliseconds(10);
constexpr auto kRetryPause = std::chrono::milliseconds(200);
constexpr uint64_t kOwnNameMs = 10000; /* a report comes long before this */
constexpr size_t kOwnNameLimit = 4096;

uint64_t SteadyMs()
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/* Splits "a\b\c" into "a\b" and "c" (the parent of a top-level name is ""). */
void SplitPath(const std::u16string &path, std::u16string *parent, std::u16string *leaf)
{
    size_t slash = path.rfind(u'\\');
    if (slash == std::u16string::npos) {
        parent->clear();
        *leaf = path;
    } else {
        *parent = path.substr(0, slash);
        *leaf = path.substr(slash + 1);
    }
}

} // namespace

void Session::NoteOwnName(uint64_t parent, const std::u16string &name)
{
    uint64_t now = SteadyMs();
    std::lock_guard<std::mutex> guard(ownLock_);
    if (ownNames_.size() >= kOwnNameLimit) {
        for (auto it = ownNames_.begin(); it != ownNames_.end();)
            it = now - it->second > kOwnNameMs ? ownNames_.erase(it) : std::next(it);
        if (ownNames_.size() >= kOwnNameLimit)
            ownNames_.clear(); /* a report missed costs a lookup, nothing more */
    }
    ownNames_[{parent, name}] = now;
}

bool Session::TakeOwnName(uint64_t parent, const std::u16string &name)
{
    std::lock_guard<std::mutex> guard(ownLock_);
    auto found = ownNames_.find({parent, name});
    if (found == ownNames_.end())
        return false;
    ownNames_.erase(found);
    return true;
}

void Session::StartWatch()
{
    try {
        watcher_ = std::thread([this] { Watch(); });
    } catch (const std::system_error &) {
        watchEnded_ = true;
        if (options_.log != nullptr)
            options_.log("no thread for the change watch: changes made elsewhere show after the cache time-out");
    }
}

/* Cancels the watch's wait in progress, if one is. The calling thread is attached. */
void Session::CancelWatchWait()
{
    const void *wait = watchWait_.load();
    void *process = watchProcess_.load();
    if (wait != nullptr && process != nullptr)
        (void)machine::CancelProcessRequests(process, wait);
}

void Session::StopWatch()
{
    {
        std::lock_guard<std::mutex> guard(watchLock_);
        stopping_ = true;
        watchWake_.notify_all();
    }
    if (!watcher_.joinable())
        return;
    machine::AttachCurrentThread();
    // The watcher may be between two waits: ask until it is gone.
    while (!watchEnded_.load()) {
        CancelWatchWait();
        std::this_thread::sleep_for(kCancelPause);
    }
    machine::DetachCurrentThread();
    watcher_.join();
}

void Session::VolumeLock(bool locked)
{
    {
        std::lock_guard<std::mutex> guard(watchLock_);
        lockHeld_ = locked;
        watchWake_.notify_all();
    }
    if (!locked)
        return;
    for (int attempt = 0; attempt < kCancelAttempts && watchOpen_.load(); ++attempt) {
        CancelWatchWait();
        std::this_thread::sleep_for(kCancelPause);
    }
}

/* WaitWhileLocked: a watch that let go waits, detached, until the lock is given up or the session ends. */
void Session::WaitWhileLocked()
{
    machine::LeaveProcess();
    machine::DetachCurrentThread();
    {
        std::unique_lock<std::mutex> guard(watchLock_);
        watchWake_.wait(guard, [&] { return !lockHeld_.load() || stopping_.load(); });
    }
    machine::AttachCurrentThread();
    machine::EnterProcess(watchProcess_.load());
}

void Session::Invalidate(VolumeCalls *calls, const std::vector<ChangeRecord> &changes)
{
    std::map<std::u16string, uint64_t> parents;
    for (const ChangeRecord &change : changes) {
        std::u16string parentPath, leaf;
        SplitPath(change.path, &parentPath, &leaf);
        auto known = parents.find(parentPath);
        uint64_t parent = 0;
        if (known != parents.end()) {
            parent = known->second;
        } else if (calls->IdOfPath(parentPath, &parent) >= 0) {
            parents.emplace(parentPath, parent);
        } else {
            parents.emplace(parentPath, 0);
        }
        if (parent == 0)
            continue; /* the directory went too: its own report covers it */
        bool arrived = change.kind == ChangeRecord::Added || change.kind == ChangeRecord::RenamedNew;
        if (arrived && TakeOwnName(parent, leaf))
            continue; /* made through this mount: the kernel's entry is right */
        if (change.kind != ChangeRecord::Modified) {
            std::string name = Utf8FromName(leaf.data(), leaf.size());
            (void)fuse_lowlevel_notify_inval_entry(fuse_, parent, name.c_str(), name.size());
            (void)fuse_lowlevel_notify_inval_inode(fuse_, parent, -1, 0);
        }
        // A name that went has nothing left to refresh; a new name's node was not known
        // before (a new link's count shows within the cache time).
        if (change.kind == ChangeRecord::Removed || change.kind == ChangeRecord::RenamedOld ||
            change.kind == ChangeRecord::Added)
            continue;
        uint64_t node = 0;
        if (calls->IdOfPath(change.path, &node) >= 0)
            (void)fuse_lowlevel_notify_inval_inode(fuse_, node, 0, 0);
    }
}

void Session::Watch()
{
    machine::AttachCurrentThread();
    void *process = callers_->ProcessOf(Identity());
    watchProcess_ = process;
    if (process == nullptr) {
        machine::DetachCurrentThread();
        watchEnded_ = true;
        return;
    }
    machine::EnterProcess(process);
    std::vector<ChangeRecord> changes;
    while (!stopping_.load()) {
        if (lockHeld_.load()) {
            WaitWhileLocked();
            continue;
        }
        VolumeCalls calls(letter_, process);
        Handle watch = 0;
        if (!calls.Ready() || calls.OpenWatch(&watch) < 0) {
            machine::LeaveProcess();
            machine::DetachCurrentThread();
            std::unique_lock<std::mutex> guard(watchLock_);
            watchWake_.wait_for(guard, kRetryPause, [&] { return stopping_.load(); });
            guard.unlock();
            machine::AttachCurrentThread();
            machine::EnterProcess(process);
            continue;
        }
        watchOpen_ = true;
        watchWait_ = calls.StatusBlock();
        // A lock or stop asked for between the checks and the wait cancels it again.
        while (!stopping_.load() && !lockHeld_.load()) {
            bool overflowed = false;
            if (calls.WaitForChanges(watch, &changes, &overflowed) < 0)
                break;
            Invalidate(&calls, changes);
        }
        watchWait_ = nullptr;
        (void)calls.Close(watch);
        watchOpen_ = false;
    }
    machine::LeaveProcess();
    machine::DetachCurrentThread();
    watchEnded_ = true;
}

} // namespace fusebridge
