/*
 * Mounts that follow letters: the bridge's thread mounts a volume when its letter
 * arrives and unmounts it when the letter goes, one change at a time in the order the
 * mount manager made them.
 */
#include "bridge.h"

#include "errno_map.h"
#include "session.h"

#include "machine.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fusebridge {

namespace {

constexpr char kFileSystemType[] = "fuse.vorel";
constexpr uint32_t kVolumeLock = 3;       /* FSRTL_VOLUME_LOCK */
constexpr uint32_t kVolumeLockFailed = 4; /* FSRTL_VOLUME_LOCK_FAILED */

/* A mountinfo field with its octal escapes (\040 for a space, ...) undone. */
std::string Unescape(const std::string &field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            int value = 0;
            bool octal = true;
            for (size_t k = 1; k <= 3; ++k) {
                char c = field[i + k];
                octal = octal && c >= '0' && c <= '7';
                value = value * 8 + (c - '0');
            }
            if (octal) {
                out.push_back((char)value);
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

bool IsLetter(char16_t letter)
{
    return letter >= u'A' && letter <= u'Z';
}

} // namespace

std::vector<std::string> StaleMounts(const std::string &root)
{
    std::vector<std::string> found;
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    std::string prefix = root + "/";
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, source, point, field;
        if (!(fields >> id >> parent >> device >> source >> point))
            continue;
        while (fields >> field && field != "-") {
        }
        std::string type;
        if (!(fields >> type) || type != kFileSystemType)
            continue;
        point = Unescape(point);
        if (point.compare(0, prefix.size(), prefix) == 0)
            found.push_back(point);
    }
    return found;
}

unsigned ConnectionOf(const std::string &point)
{
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    unsigned connection = 0;
    while (std::getline(mountinfo, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, source, mounted;
        if (!(fields >> id >> parent >> device >> source >> mounted) || Unescape(mounted) != point)
            continue;
        size_t colon = device.find(':');
        if (colon != std::string::npos)
            connection = (unsigned)std::strtoul(device.c_str() + colon + 1, nullptr, 10); /* the last one on top */
    }
    return connection;
}

void AbortConnection(unsigned connection)
{
    if (connection == 0)
        return;
    char path[96];
    std::snprintf(path, sizeof(path), "/sys/fs/fuse/connections/%u/abort", connection);
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        (void)mount("fusectl", "/sys/fs/fuse/connections", "fusectl", 0, nullptr);
    if (fd < 0)
        fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    (void)!write(fd, "1", 1);
    close(fd);
}

Bridge::Bridge(const BridgeOptions &options) : options_(options), callers_(new Callers()) {}

Bridge::~Bridge()
{
    // Stop must have run: it needs a thread attached to the machine.
}

void Bridge::Say(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (options_.log != nullptr)
        options_.log(line);
    else
        std::fprintf(stderr, "%s\n", line);
}

bool Bridge::Start(std::string *error)
{
    // A status the errno table does not know is said where the host says everything else.
    SetStatusLog(options_.log);
    if (mkdir(options_.mountRoot.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot make the mount root " + options_.mountRoot + ": " + std::strerror(errno);
        return false;
    }
    // A host that was killed left its mounts behind, unserved: every access to them
    // would fail. They go lazily, so a process still inside one does not stop the start.
    for (const std::string &point : StaleMounts(options_.mountRoot)) {
        // Programs waiting on the dead host's answers (and a thread of it stuck behind
        // them) are released first.
        AbortConnection(ConnectionOf(point));
        if (umount2(point.c_str(), MNT_DETACH) == 0)
            Say("stale mount %s taken away", point.c_str());
        else
            Say("stale mount %s could not be taken away: %s", point.c_str(), std::strerror(errno));
        (void)rmdir(point.c_str());
    }
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error &) {
        *error = "no thread for the mounts";
        return false;
    }
    return true;
}

void Bridge::LetterChanged(char16_t letter, const std::u16string &deviceName, bool arrived)
{
    // Only volumes of the driver get mounts; their devices are named \Device\Volume{...}.
    if (!IsLetter(letter) || deviceName.compare(0, 15, u"\\Device\\Volume{") != 0)
        return;
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_)
        return;
    changes_.push_back({letter, deviceName, arrived});
    wake_.notify_one();
}

void Bridge::VolumeEvent(const std::u16string &deviceName, uint32_t code)
{
    if (code != kVolumeLock && code != kVolumeLockFailed)
        return;
    // Held across the call: the session cannot be unmounted (which takes the lock) under it.
    std::lock_guard<std::mutex> guard(lock_);
    auto found = byDevice_.find(deviceName);
    if (found != byDevice_.end())
        found->second->VolumeLock(code == kVolumeLock);
}

void Bridge::Run()
{
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [&] { return stopping_ || !changes_.empty(); });
        if (stopping_)
            break;
        Change change = changes_.front();
        changes_.pop_front();
        busy_ = true;
        guard.unlock();
        Apply(change);
        guard.lock();
        busy_ = false;
        if (changes_.empty())
            settled_.notify_all();
    }
    byDevice_.clear();
    guard.unlock();
    for (auto &entry : sessions_) {
        std::string point = entry.second->MountPoint();
        entry.second->Unmount();
        (void)rmdir(point.c_str());
    }
    sessions_.clear();
    guard.lock();
    settled_.notify_all();
}

void Bridge::Apply(const Change &change)
{
    char name[2] = {(char)change.letter, 0};
    std::string point = options_.mountRoot + "/" + name;
    auto existing = sessions_.find(change.letter);
    if (existing != sessions_.end()) {
        // A letter that arrives again (a volume that was resized) gets a fresh mount too.
        {
            std::lock_guard<std::mutex> guard(lock_);
            byDevice_.erase(existing->second->DeviceName());
        }
        existing->second->Unmount();
        sessions_.erase(existing);
        (void)rmdir(point.c_str());
        Say("%s unmounted", point.c_str());
    }
    if (!change.arrived)
        return;
    if (mkdir(point.c_str(), 0755) != 0 && errno != EEXIST) {
        Say("cannot make the mount point %s: %s", point.c_str(), std::strerror(errno));
        return;
    }
    SessionOptions sessionOptions;
    sessionOptions.mountRoot = options_.mountRoot;
    sessionOptions.cacheSeconds = options_.cacheSeconds;
    sessionOptions.log = options_.log;
    std::string error;
    std::unique_ptr<Session> session =
        Session::Mount(change.letter, change.deviceName, point, callers_.get(), sessionOptions, &error);
    if (session == nullptr) {
        Say("%s", error.c_str());
        (void)rmdir(point.c_str());
        return;
    }
    Say("volume %c: mounted at %s", (char)change.letter, point.c_str());
    {
        std::lock_guard<std::mutex> guard(lock_);
        byDevice_[change.deviceName] = session.get();
    }
    sessions_.emplace(change.letter, std::move(session));
}

void Bridge::Settle()
{
    std::unique_lock<std::mutex> guard(lock_);
    settled_.wait(guard, [&] { return stopping_ || (changes_.empty() && !busy_); });
}

void Bridge::Stop()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (stopping_ && !thread_.joinable())
            return;
        stopping_ = true;
        changes_.clear();
        wake_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
    callers_->ReleaseAll();
}

} // namespace fusebridge
