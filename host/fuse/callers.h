/*
 * The machine processes Linux callers act in. A FUSE request runs in the process of
 * its caller's identity (uid, gid, supplementary groups), whose token the machine
 * makes from that identity; one process serves every Linux process of the same
 * identity, and lives until the bridge stops.
 */
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <tuple>
#include <vector>

namespace fusebridge {

struct Identity {
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<uint32_t> groups; /* sorted, without duplicates */

    bool operator<(const Identity &other) const
    {
        return std::tie(uid, gid, groups) < std::tie(other.uid, other.gid, other.groups);
    }
};

class Callers {
public:
    Callers() = default;
    ~Callers() = default; /* ReleaseAll first */
    Callers(const Callers &) = delete;
    Callers &operator=(const Callers &) = delete;

    /* The process of an identity, made the first time it is asked for; null when the
     * machine could make none. The calling thread must be attached to the machine. */
    void *ProcessOf(const Identity &identity);

    /* The supplementary groups of a Linux process, read at most once a second per pid
     * (reading them costs a look into /proc). */
    std::vector<uint32_t> GroupsOf(pid_t pid, std::vector<uint32_t> (*read)(pid_t));

    /* Ends every process (their handles close). The calling thread must be attached. */
    void ReleaseAll();

private:
    struct CachedGroups {
        std::vector<uint32_t> groups;
        uint64_t readAt = 0; /* monotonic milliseconds */
    };
    std::mutex lock_;
    std::map<Identity, void *> processes_; /* lock_ */
    std::map<pid_t, CachedGroups> groups_; /* lock_ */
};

} // namespace fusebridge
