/*
 * The machine processes of Linux callers.
 */
#include "callers.h"

#include "machine.h"

#include <chrono>
#include <cstdio>

namespace fusebridge {

namespace {

/* Room for the largest request's records and data on every thread that may serve the identity at once. */
constexpr size_t kUserSpaceBytes = 512u * 1024 * 1024;
constexpr uint64_t kGroupsValidMs = 1000;
constexpr size_t kGroupsCacheLimit = 4096;
constexpr uint32_t kTakeOwnershipPrivilege = 9; /* SE_TAKE_OWNERSHIP_PRIVILEGE */
constexpr uint32_t kRestorePrivilege = 18;      /* SE_RESTORE_PRIVILEGE */

uint64_t NowMs()
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

void *Callers::ProcessOf(const Identity &identity)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto found = processes_.find(identity);
    if (found != processes_.end())
        return found->second;
    machine::ProcessIdentity made;
    char name[32];
    std::snprintf(name, sizeof(name), "linux-%u", identity.uid);
    made.name = name;
    made.uid = identity.uid;
    made.gid = identity.gid;
    made.groups = identity.groups;
    made.userSpaceBytes = kUserSpaceBytes;
    // Root may give files away and take them, as CAP_CHOWN and CAP_FOWNER let it on Linux.
    if (identity.uid == 0)
        made.enabledPrivileges = {kRestorePrivilege, kTakeOwnershipPrivilege};
    void *process = machine::CreateProcess(made);
    if (process != nullptr)
        processes_.emplace(identity, process);
    return process;
}

std::vector<uint32_t> Callers::GroupsOf(pid_t pid, std::vector<uint32_t> (*read)(pid_t))
{
    uint64_t now = NowMs();
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = groups_.find(pid);
        if (found != groups_.end() && now - found->second.readAt < kGroupsValidMs)
            return found->second.groups;
    }
    std::vector<uint32_t> groups = read(pid);
    std::lock_guard<std::mutex> guard(lock_);
    if (groups_.size() >= kGroupsCacheLimit)
        groups_.clear();
    groups_[pid] = CachedGroups{groups, now};
    return groups;
}

void Callers::ReleaseAll()
{
    std::map<Identity, void *> processes;
    {
        std::lock_guard<std::mutex> guard(lock_);
        processes.swap(processes_);
        groups_.clear();
    }
    for (auto &entry : processes)
        machine::ReleaseProcess(entry.second);
}

} // namespace fusebridge
