/*
 * The FUSE bridge: every drive letter the mount manager gives a Vorel volume appears
 * to Linux programs at <mount root>/<letter>, and goes when the letter goes.
 *
 * Mounting and unmounting happen on the bridge's own thread: the letter observer only
 * queues the change, since it is called inside the mount manager's request, where a
 * mount (which opens the volume) must not run.
 */
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace fusebridge {

class Callers;
class Session;

struct BridgeOptions {
    std::string mountRoot;
    double cacheSeconds = 1.0;
    void (*log)(const char *line) = nullptr;
};

class Bridge {
public:
    explicit Bridge(const BridgeOptions &options);
    ~Bridge();
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;

    /* Lazily unmounts what a host that died left under the mount root, and starts the
     * bridge's thread. False (error set) when the mount root cannot be used. */
    bool Start(std::string *error);
    /* A letter given to (arrived) or taken from a volume. Only queues. */
    void LetterChanged(char16_t letter, const std::u16string &deviceName, bool arrived);
    /* A volume event (FSRTL_VOLUME_*) on the volume with this device name: the mount's
     * change watch lets go of the volume for a dismount, or takes it again. */
    void VolumeEvent(const std::u16string &deviceName, uint32_t code);
    /* Unmounts everything and ends the callers' processes. The calling thread is
     * attached to the machine. */
    void Stop();
    /* Waits until every change queued so far is done (for tests). */
    void Settle();

private:
    struct Change {
        char16_t letter;
        std::u16string deviceName;
        bool arrived;
    };
    void Run();
    void Apply(const Change &change);
    void Say(const char *format, ...) __attribute__((format(printf, 2, 3)));

    BridgeOptions options_;
    std::unique_ptr<Callers> callers_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable settled_;
    std::deque<Change> changes_; /* lock_ */
    bool stopping_ = false;      /* lock_ */
    bool busy_ = false;          /* lock_: a change is being applied */
    std::map<char16_t, std::unique_ptr<Session>> sessions_; /* the bridge's thread only */
    std::map<std::u16string, Session *> byDevice_;          /* lock_: the mounted ones */
};

/* The mount points under root that a FUSE file system of this bridge holds (from /proc/self/mountinfo). */
std::vector<std::string> StaleMounts(const std::string &root);

/* The FUSE connection number of the mount at point (its device's minor), from
 * mountinfo: the host never makes a system call into its own mounts. 0 if not found. */
unsigned ConnectionOf(const std::string &point);

/* Ends a FUSE connection through the control file system (mounted for it when it is
 * not): every request waiting on it fails, so no process stays hung on a dead host. */
void AbortConnection(unsigned connection);

} // namespace fusebridge
