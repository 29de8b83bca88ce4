/*
 * The host's side of the socket protocol (see server.h and wire.h).
 *
 * Threads. One listener accepts connections and admits them (each user's share, the
 * reserve kept for root and the host's own user); it also writes the summary line of
 * a user's suppressed refusals when their window closes. Per connection one reader,
 * the only thread that reads the socket: it waits in poll for datagrams, for room to
 * send queued replies, for its wake-up eventfd and for the hello's deadline; it
 * decodes, welcomes the client, admits and starts every call and handles cancels.
 * Per call one worker, attached to the machine only while it runs the native call in
 * the connection's process. Per cancel of a call that may wait in a driver, one helper,
 * which keeps asking until the request is there to cancel.
 *
 * Nothing waits for a client. Replies go out with non-blocking sends; one that does
 * not fit in the socket joins the connection's queue, the reader sends it when there
 * is room, and the worker returns at once, so a client that stops reading pins no
 * thread. A queue that grows past twice the calls a connection may have means the
 * client has stopped reading: the connection ends. A refused connection is told so
 * with one non-blocking send and closed.
 *
 * Shares. A call is admitted, before it starts, against the bytes its buffer lengths
 * name (per connection and per user) and a call-thread slot (overall and per user);
 * both are given back just before its reply, so that a client's next call finds them
 * (the thread's last steps after that are bounded and take nothing). A cancel helper
 * holds a slot too (without one, the reader makes one attempt itself).
 * What cannot be had is answered STATUS_INSUFFICIENT_RESOURCES at once. Every thread
 * is started, and runs, inside StartThread's guard: nothing is ever thrown out of one,
 * and a thread that cannot be had is a refused connection or call.
 *
 * Ending a connection. A reader that sees the peer go, a datagram it must refuse, a
 * hello that does not come in time or a client that stopped reading, ends its
 * connection itself: no new call starts, queued replies are dropped, the outstanding
 * requests are cancelled and its waits ended until every worker and helper has
 * finished, and only then is the process terminated (closing its handles) and
 * released. Waiting for the workers first matters: a worker that has not yet looked
 * its handle up must never find the process without a handle table. A request still
 * pending after that (its driver set no cancel routine) keeps the process, and so its
 * user space, until it completes: the machine sees to that.
 *
 * Locks. Server::State::lock guards the connection set and every share and count;
 * Connection::lock the connection's calls; Connection::sendLock its queue and socket
 * writes; State::logLock the refusal windows. None is taken while another is held;
 * Log takes none and may be called under any of them.
 */
#include "server.h"

#include "wire.h"

#include "machine.h"

#include <wdm.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace transport {

namespace {

using Clock = std::chrono::steady_clock;

/* The fault-injection site of every thread the server starts (machine::ArmFault). */
constexpr char kThreadSite[] = "transport::StartThread";
/* The user-space window holds this many user spaces per connection the host may have. */
constexpr uint64_t kWindowSlack = 4;

/* One native call in flight. */
struct Call {
    uint64_t id = 0;
    CallBody body;
    uint64_t bytes = 0; /* charged to the connection and its user until the reply */
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
};

/* A datagram waiting for room in its connection's socket. */
struct Outgoing {
    uint8_t bytes[kMaxMessageBytes];
    size_t length = 0;
    int descriptor = -1; /* passed with it (the Welcome's memory); the process keeps it open */
};

/* What one user holds of the host. */
struct UserShare {
    size_t connections = 0;
    uint64_t bytes = 0;
    size_t callThreads = 0;
};

/* The refusal lines of one user in the current window. */
struct RefusalWindow {
    Clock::time_point start;
    unsigned logged = 0;
    uint64_t suppressed = 0;
};

} // namespace

struct Connection;

struct Server::State {
    ServerOptions options;
    uid_t hostUid = 0;
    uint64_t windowBase = 0, windowBytes = 0; /* the user-space window; fixed once started */
    int listenFd = -1;
    int wakeFd[2] = {-1, -1}; /* wakes the listener: to stop, or to watch a new refusal window */
    std::thread listener;

    mutable std::mutex lock;
    std::condition_variable allGone;
    std::set<std::shared_ptr<Connection>> connections; /* lock */
    size_t liveConnections = 0;       /* lock: connections whose reader has not finished */
    size_t untrustedConnections = 0;  /* lock: those of users other than root and the host's */
    std::map<uid_t, UserShare> users; /* lock: only users holding something */
    size_t threads = 0;               /* lock: live threads (StartThread and the listener) */
    size_t callThreads = 0;           /* lock: call-thread slots held */
    uint64_t bytesInFlight = 0;       /* lock */
    bool stopping = false;            /* lock */

    std::mutex logLock;
    std::map<uid_t, RefusalWindow> refusals; /* logLock */

    std::atomic<uint64_t> accepted{0}, refused{0}, served{0}, callsRefused{0}, cancels{0}, suppressed{0};
    std::atomic<uint64_t> queued{0};

    bool Trusted(uid_t uid) const { return uid == 0 || uid == hostUid; }
    void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));
    bool AllowRefusalLine(uid_t uid);
    void Refusal(uid_t uid, const char *format, ...) __attribute__((format(printf, 3, 4)));
    int FlushRefusalWindows(bool all);
    void WakeListener();

    template <typename Body>
    bool StartThread(uid_t uid, bool callThread, Body body);
    void ThreadEnded();
    bool TakeCallThread(uid_t uid);
    void ReleaseCallThread(uid_t uid);
    bool ChargeBytes(uid_t uid, uint64_t *connectionBytes, uint64_t bytes);
    void ReleaseBytes(uid_t uid, uint64_t *connectionBytes, uint64_t bytes);
    void DropUserIfIdle(uid_t uid);
    void Admit(int fd);
    void RefuseConnection(int fd, const ucred &peer, const char *reason);
};

struct Connection : std::enable_shared_from_this<Connection> {
    Server::State *server = nullptr;
    int fd = -1;
    int wakeFd = -1; /* eventfd: a reply was queued, or the queue overflowed */
    pid_t peerPid = 0;
    uid_t peerUid = 0;
    gid_t peerGid = 0;
    std::vector<uint32_t> groups;
    std::string name;      /* the process's name, as the machine's process gets it */
    std::string shownName; /* the same, escaped for the log */
    Clock::time_point acceptedAt;
    void *process = nullptr; /* set once welcomed; read by workers only after that */
    uint64_t bytesInFlight = 0; /* server->lock */

    std::mutex lock;
    std::condition_variable idle;
    std::map<uint64_t, std::shared_ptr<Call>> calls; /* lock: calls not yet answered */
    int workers = 0;    /* lock: worker threads started and not finished */
    int cancellers = 0; /* lock: cancel helpers still using the process */
    bool closing = false;

    std::mutex sendLock;
    std::deque<Outgoing> outbox; /* sendLock */
    bool sendClosed = false;     /* sendLock */
    std::atomic<bool> overflowed{false};

    ~Connection()
    {
        if (wakeFd >= 0)
            close(wakeFd);
    }
    void Reader();
    bool ReadLoop();
    bool Receive(bool *welcomed);
    bool Welcome(const HelloBody &hello);
    void StartCall(uint64_t id, const CallBody &body);
    void RefuseCall(uint64_t id);
    void CancelCall(uint64_t id);
    void Worker(const std::shared_ptr<Call> &call);
    void End();
    bool Send(const void *data, size_t length, int descriptor = -1) noexcept;
    bool SendQueued();
    void Wake();
};

namespace {

void *Pointer(uint64_t value)
{
    return reinterpret_cast<void *>((uintptr_t)value);
}

template <typename T>
T *To(uint64_t value)
{
    return static_cast<T *>(Pointer(value));
}

/* A BOOLEAN argument: the routine sees the low byte of its slot, as a Windows system call does. */
BOOLEAN Flag(uint64_t value)
{
    return (BOOLEAN)value;
}

/* Information classes go to the routines as enumerations, and a value outside an
 * enumeration is no value of it: anything past the last class becomes the end marker,
 * which the routines refuse with STATUS_INVALID_INFO_CLASS, as they refuse it for any
 * class they do not know. */
FILE_INFORMATION_CLASS FileClass(uint64_t value)
{
    return value < (uint64_t)FileMaximumInformation ? (FILE_INFORMATION_CLASS)value : FileMaximumInformation;
}

FS_INFORMATION_CLASS VolumeClass(uint64_t value)
{
    return value < (uint64_t)FileFsMaximumInformation ? (FS_INFORMATION_CLASS)value : FileFsMaximumInformation;
}

/* Runs one decoded call in the calling thread's current process (previous mode user). */
NTSTATUS Invoke(const CallBody &c)
{
    const uint64_t *a = c.arguments;
    switch ((CallNumber)c.number) {
    case CallNumber::NtCreateFile:
        return NtCreateFile(To<HANDLE>(a[0]), (ACCESS_MASK)a[1], To<OBJECT_ATTRIBUTES>(a[2]),
                            To<IO_STATUS_BLOCK>(a[3]), To<LARGE_INTEGER>(a[4]), (ULONG)a[5], (ULONG)a[6], (ULONG)a[7],
                            (ULONG)a[8], Pointer(a[9]), (ULONG)a[10]);
    case CallNumber::NtOpenFile:
        return NtOpenFile(To<HANDLE>(a[0]), (ACCESS_MASK)a[1], To<OBJECT_ATTRIBUTES>(a[2]), To<IO_STATUS_BLOCK>(a[3]),
                          (ULONG)a[4], (ULONG)a[5]);
    case CallNumber::NtDeviceIoControlFile:
        return NtDeviceIoControlFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                                     Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), (ULONG)a[5], Pointer(a[6]),
                                     (ULONG)a[7], Pointer(a[8]), (ULONG)a[9]);
    case CallNumber::NtFsControlFile:
        return NtFsControlFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                               Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), (ULONG)a[5], Pointer(a[6]), (ULONG)a[7],
                               Pointer(a[8]), (ULONG)a[9]);
    case CallNumber::NtClose:
        return NtClose(Pointer(a[0]));
    case CallNumber::NtReadFile:
        return NtReadFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                          Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), Pointer(a[5]), (ULONG)a[6],
                          To<LARGE_INTEGER>(a[7]), To<ULONG>(a[8]));
    case CallNumber::NtWriteFile:
        return NtWriteFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                           Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), Pointer(a[5]), (ULONG)a[6],
                           To<LARGE_INTEGER>(a[7]), To<ULONG>(a[8]));
    case CallNumber::NtQueryInformationFile:
        return NtQueryInformationFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3],
                                      FileClass(a[4]));
    case CallNumber::NtSetInformationFile:
        return NtSetInformationFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3],
                                    FileClass(a[4]));
    case CallNumber::NtQueryDirectoryFile:
        return NtQueryDirectoryFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                                    Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), Pointer(a[5]), (ULONG)a[6],
                                    FileClass(a[7]), Flag(a[8]), To<UNICODE_STRING>(a[9]), Flag(a[10]));
    case CallNumber::NtQueryVolumeInformationFile:
        return NtQueryVolumeInformationFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3],
                                            VolumeClass(a[4]));
    case CallNumber::NtSetVolumeInformationFile:
        return NtSetVolumeInformationFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3],
                                          VolumeClass(a[4]));
    case CallNumber::NtLockFile:
        return NtLockFile(Pointer(a[0]), Pointer(a[1]), reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])),
                          Pointer(a[3]), To<IO_STATUS_BLOCK>(a[4]), To<LARGE_INTEGER>(a[5]), To<LARGE_INTEGER>(a[6]),
                          (ULONG)a[7], Flag(a[8]), Flag(a[9]));
    case CallNumber::NtUnlockFile:
        return NtUnlockFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), To<LARGE_INTEGER>(a[2]),
                            To<LARGE_INTEGER>(a[3]), (ULONG)a[4]);
    case CallNumber::NtNotifyChangeDirectoryFile:
        return NtNotifyChangeDirectoryFile(Pointer(a[0]), Pointer(a[1]),
                                           reinterpret_cast<PIO_APC_ROUTINE>(Pointer(a[2])), Pointer(a[3]),
                                           To<IO_STATUS_BLOCK>(a[4]), Pointer(a[5]), (ULONG)a[6], (ULONG)a[7],
                                           Flag(a[8]));
    case CallNumber::NtQueryEaFile:
        return NtQueryEaFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3], Flag(a[4]),
                             Pointer(a[5]), (ULONG)a[6], To<ULONG>(a[7]), Flag(a[8]));
    case CallNumber::NtSetEaFile:
        return NtSetEaFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), Pointer(a[2]), (ULONG)a[3]);
    case CallNumber::NtQuerySecurityObject:
        return NtQuerySecurityObject(Pointer(a[0]), (SECURITY_INFORMATION)a[1], Pointer(a[2]), (ULONG)a[3],
                                     To<ULONG>(a[4]));
    case CallNumber::NtSetSecurityObject:
        return NtSetSecurityObject(Pointer(a[0]), (SECURITY_INFORMATION)a[1], Pointer(a[2]));
    case CallNumber::NtFlushBuffersFile:
        return NtFlushBuffersFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]));
    case CallNumber::NtCancelIoFile:
        return NtCancelIoFile(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]));
    case CallNumber::NtCancelIoFileEx:
        return NtCancelIoFileEx(Pointer(a[0]), To<IO_STATUS_BLOCK>(a[1]), To<IO_STATUS_BLOCK>(a[2]));
    case CallNumber::NtQueryAttributesFile:
        return NtQueryAttributesFile(To<OBJECT_ATTRIBUTES>(a[0]), To<FILE_BASIC_INFORMATION>(a[1]));
    case CallNumber::NtQueryFullAttributesFile:
        return NtQueryFullAttributesFile(To<OBJECT_ATTRIBUTES>(a[0]), To<FILE_NETWORK_OPEN_INFORMATION>(a[1]));
    case CallNumber::NtOpenDirectoryObject:
        return NtOpenDirectoryObject(To<HANDLE>(a[0]), (ACCESS_MASK)a[1], To<OBJECT_ATTRIBUTES>(a[2]));
    case CallNumber::NtCreateEvent:
        // An event type outside the enumeration is no value of it (see FileClass).
        if (a[3] != NotificationEvent && a[3] != SynchronizationEvent)
            return STATUS_INVALID_PARAMETER;
        return NtCreateEvent(To<HANDLE>(a[0]), (ACCESS_MASK)a[1], To<OBJECT_ATTRIBUTES>(a[2]), (EVENT_TYPE)a[3],
                             Flag(a[4]));
    case CallNumber::NtSetEvent:
        return NtSetEvent(Pointer(a[0]), To<LONG>(a[1]));
    case CallNumber::NtClearEvent:
        return NtClearEvent(Pointer(a[0]));
    case CallNumber::NtWaitForSingleObject:
        return NtWaitForSingleObject(Pointer(a[0]), Flag(a[1]), To<LARGE_INTEGER>(a[2]));
    }
    return STATUS_INVALID_SYSTEM_SERVICE;
}

/*
 * The user status block of a call whose request a Cancel can reach, or null. Every
 * call that sends its file system a request made with the caller's status block can
 * pend there; the machine finds the request by that block. A create's request is not
 * found that way, and NtCancelIoFile's block reports the cancel itself.
 */
const void *CancellableStatusBlock(const CallBody &c)
{
    switch ((CallNumber)c.number) {
    case CallNumber::NtReadFile:
    case CallNumber::NtWriteFile:
    case CallNumber::NtDeviceIoControlFile:
    case CallNumber::NtFsControlFile:
    case CallNumber::NtQueryDirectoryFile:
    case CallNumber::NtNotifyChangeDirectoryFile:
    case CallNumber::NtLockFile:
        return Pointer(c.arguments[4]);
    case CallNumber::NtQueryInformationFile:
    case CallNumber::NtSetInformationFile:
    case CallNumber::NtQueryVolumeInformationFile:
    case CallNumber::NtSetVolumeInformationFile:
    case CallNumber::NtUnlockFile:
    case CallNumber::NtQueryEaFile:
    case CallNumber::NtSetEaFile:
    case CallNumber::NtFlushBuffersFile:
        return Pointer(c.arguments[1]);
    default:
        return nullptr;
    }
}

/*
 * Text a client controls, made fit for a log line: every control byte, DEL, byte
 * outside ASCII and backslash becomes \xNN, so a client can neither break a line nor
 * forge one, nor pass an escape off as its own text.
 */
std::string Printable(const char *text, size_t length)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string shown;
    for (size_t i = 0; i < length; ++i) {
        auto c = (unsigned char)text[i];
        if (c < 0x20 || c >= 0x7F || c == '\\') {
            shown += "\\x";
            shown += kDigits[c >> 4];
            shown += kDigits[c & 15];
        } else {
            shown += (char)c;
        }
    }
    return shown;
}

/* The name the peer's process gives itself (its comm: at most 15 bytes, any of them). */
std::string ProcessName(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/comm", (int)pid);
    char text[64] = {};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = read(fd, text, sizeof(text) - 1);
        close(fd);
        if (n > 0 && text[n - 1] == '\n')
            --n; /* the kernel's own line end */
        if (n > 0)
            return std::string(text, (size_t)n);
    }
    return std::string("pid ").append(std::to_string(pid));
}

std::vector<uint32_t> PeerGroups(int fd)
{
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 4; ++attempt) {
        socklen_t length = (socklen_t)(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            return std::vector<uint32_t>(groups.begin(), groups.end());
        }
        if (errno != ERANGE)
            break;
        groups.resize(length / sizeof(gid_t) + 16);
    }
    return {};
}

} // namespace

/* ---- Log ------------------------------------------------------------------------------ */

void Server::State::Log(const char *format, ...)
{
    char line[512]; /* a line is never longer */
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (options.log != nullptr)
        options.log(line);
    else
        std::fprintf(stderr, "transport: %s\n", line);
}

/*
 * Whether a line about one more refusal of this user's may be written. Each user has
 * logBurst lines in a window of logWindowMs that opens with its first refusal; the
 * refusals past them are counted, and the count is written in one line when the
 * window closes (the listener sees to that) or at the user's next refusal after it,
 * whichever comes first.
 */
bool Server::State::AllowRefusalLine(uid_t uid)
{
    Clock::time_point now = Clock::now();
    uint64_t summary = 0;
    bool allowed = false, firstSuppressed = false;
    {
        std::lock_guard<std::mutex> guard(logLock);
        try {
            RefusalWindow &window = refusals[uid];
            if (window.logged == 0 && window.suppressed == 0) {
                window.start = now;
            } else if (now - window.start >= std::chrono::milliseconds(options.logWindowMs)) {
                summary = window.suppressed;
                window = RefusalWindow();
                window.start = now;
            }
            if (window.logged < options.logBurst) {
                window.logged++;
                allowed = true;
            } else {
                firstSuppressed = window.suppressed++ == 0;
                suppressed++;
            }
        } catch (const std::bad_alloc &) {
            suppressed++; /* no room to keep count: the line is lost, never the host */
        }
    }
    if (summary != 0)
        Log("%llu more refusals from uid %u suppressed", (unsigned long long)summary, (unsigned)uid);
    if (firstSuppressed)
        WakeListener(); /* it writes the count when the window closes */
    return allowed;
}

void Server::State::Refusal(uid_t uid, const char *format, ...)
{
    if (!AllowRefusalLine(uid))
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    Log("%s", line);
}

/*
 * Writes the count of every window that has closed (every window, when all) and
 * forgets those windows. Returns the milliseconds until the next window with
 * suppressed lines closes, or -1 when there is none.
 */
int Server::State::FlushRefusalWindows(bool all)
{
    Clock::time_point now = Clock::now();
    auto length = std::chrono::milliseconds(options.logWindowMs);
    int next = -1;
    std::lock_guard<std::mutex> guard(logLock);
    for (auto it = refusals.begin(); it != refusals.end();) {
        if (all || now - it->second.start >= length) {
            if (it->second.suppressed != 0)
                Log("%llu more refusals from uid %u suppressed", (unsigned long long)it->second.suppressed,
                    (unsigned)it->first);
            it = refusals.erase(it);
            continue;
        }
        if (it->second.suppressed != 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(it->second.start + length - now);
            int wait = (int)left.count() + 1;
            if (next < 0 || wait < next)
                next = wait;
        }
        ++it;
    }
    return next;
}

void Server::State::WakeListener()
{
    char wake = 1;
    (void)!write(wakeFd[1], &wake, 1); /* non-blocking: a full pipe wakes it as well */
}

/* ---- Threads and shares ---------------------------------------------------------------- */

/*
 * Starts a detached thread that runs body, counted among the server's threads. A call
 * thread's body owns the call-thread slot its starter took for it, and gives it back
 * (ReleaseCallThread) once its work is done. Never throws: false when no thread could be
 * had, and then body never runs and the slot is given back here. Inside the thread
 * nothing body throws gets out.
 */
template <typename Body>
bool Server::State::StartThread(uid_t uid, bool callThread, Body body)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        threads++;
    }
    try {
        if (machine::ShouldFail(kThreadSite))
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        std::thread([this, body = std::move(body)]() mutable {
            try {
                body();
            } catch (const std::exception &error) {
                Log("a server thread stopped: %s", error.what());
            } catch (...) {
                Log("a server thread stopped");
            }
            ThreadEnded();
        }).detach();
        return true;
    } catch (const std::exception &) { /* std::system_error, std::bad_alloc */
        if (callThread)
            ReleaseCallThread(uid);
        ThreadEnded();
        return false;
    }
}

void Server::State::ThreadEnded()
{
    std::lock_guard<std::mutex> guard(lock);
    threads--;
    allGone.notify_all();
}

void Server::State::ReleaseCallThread(uid_t uid)
{
    std::lock_guard<std::mutex> guard(lock);
    callThreads--;
    auto it = users.find(uid);
    if (it != users.end())
        it->second.callThreads--;
    DropUserIfIdle(uid);
}

/* A call-thread slot: within the overall limit and, for other users than root and the
 * host's, within the user's share. */
bool Server::State::TakeCallThread(uid_t uid)
{
    std::lock_guard<std::mutex> guard(lock);
    if (callThreads >= options.maxCallThreads)
        return false;
    UserShare *share;
    try {
        share = &users[uid];
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (!Trusted(uid) && share->callThreads >= options.maxCallThreadsPerUser) {
        DropUserIfIdle(uid);
        return false;
    }
    share->callThreads++;
    callThreads++;
    return true;
}

/* Charges a call's bytes to its connection and its user, unless either budget would be overdrawn. */
bool Server::State::ChargeBytes(uid_t uid, uint64_t *connectionBytes, uint64_t bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    UserShare *share;
    try {
        share = &users[uid];
    } catch (const std::bad_alloc &) {
        return false;
    }
    if (*connectionBytes + bytes > options.maxBytesInFlightPerConnection ||
        share->bytes + bytes > options.maxBytesInFlightPerUser) {
        DropUserIfIdle(uid);
        return false;
    }
    *connectionBytes += bytes;
    share->bytes += bytes;
    bytesInFlight += bytes;
    return true;
}

void Server::State::ReleaseBytes(uid_t uid, uint64_t *connectionBytes, uint64_t bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    *connectionBytes -= bytes;
    bytesInFlight -= bytes;
    auto it = users.find(uid);
    if (it != users.end())
        it->second.bytes -= bytes;
    DropUserIfIdle(uid);
}

/* Forgets a user who holds nothing (lock held), so the table grows with active users only. */
void Server::State::DropUserIfIdle(uid_t uid)
{
    auto it = users.find(uid);
    if (it != users.end() && it->second.connections == 0 && it->second.bytes == 0 && it->second.callThreads == 0)
        users.erase(it);
}

/* ---- Sending ----------------------------------------------------------------------------- */

namespace {

/* One sendmsg that never waits, with a descriptor passed along when there is one. */
ssize_t SendDatagram(int fd, const void *data, size_t length, int descriptor)
{
    msghdr message{};
    iovec part{const_cast<void *>(data), length};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (descriptor >= 0) {
        std::memset(control, 0, sizeof(control));
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &descriptor, sizeof(int));
    }
    ssize_t sent;
    do
        sent = sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent;
}

} // namespace

void Connection::Wake()
{
    uint64_t one = 1;
    (void)!write(wakeFd, &one, sizeof(one));
}

/*
 * Sends one datagram without waiting: at once when the socket has room and nothing is
 * queued before it, else queued for the reader. False when it will never go: the
 * connection is ending or broken, or the queue is full (the reader then ends the
 * connection). Any thread; never blocks.
 */
bool Connection::Send(const void *data, size_t length, int descriptor) noexcept
{
    std::lock_guard<std::mutex> guard(sendLock);
    if (sendClosed)
        return false;
    if (outbox.empty()) {
        ssize_t sent = SendDatagram(fd, data, length, descriptor);
        if (sent == (ssize_t)length)
            return true;
        if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false; /* the peer went: the reader sees the end */
    }
    size_t limit = 2 * server->options.maxCallsPerConnection;
    if (outbox.size() >= (limit < 2 ? 2 : limit)) {
        overflowed = true;
        Wake();
        return false;
    }
    try {
        outbox.emplace_back();
    } catch (const std::bad_alloc &) {
        overflowed = true;
        Wake();
        return false;
    }
    Outgoing &out = outbox.back();
    std::memcpy(out.bytes, data, length < sizeof(out.bytes) ? length : sizeof(out.bytes));
    out.length = length;
    out.descriptor = descriptor;
    server->queued++;
    Wake();
    return true;
}

/* Sends what the queue holds while the socket has room (the reader). False when the peer is gone. */
bool Connection::SendQueued()
{
    std::lock_guard<std::mutex> guard(sendLock);
    while (!outbox.empty() && !sendClosed) {
        Outgoing &out = outbox.front();
        ssize_t sent = SendDatagram(fd, out.bytes, out.length, out.descriptor);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (sent != (ssize_t)out.length)
            return false;
        outbox.pop_front();
        server->queued--;
    }
    return true;
}

/* ---- The hello ---------------------------------------------------------------------------- */

bool Connection::Welcome(const HelloBody &hello)
{
    uint8_t buffer[kMaxMessageBytes];
    WelcomeBody welcome;
    welcome.version = kProtocolVersion;
    if (hello.version != kProtocolVersion) {
        welcome.status = STATUS_REVISION_MISMATCH;
        Send(buffer, EncodeWelcome(buffer, welcome));
        server->Refusal(peerUid, "%s (pid %d): protocol version %u refused", shownName.c_str(), (int)peerPid,
                        hello.version);
        return false;
    }
    // Only a slot of the window will do. Whatever the proposal meets elsewhere, the answer
    // is the same: the window, so no answer tells anything of the host's own memory.
    uint64_t address = hello.userSpaceAddress;
    uint64_t base = server->windowBase, bytes = server->windowBytes;
    bool slot = address >= base && address - base <= bytes - kUserSpaceBytes &&
                (address - base) % kUserSpaceBytes == 0;
    void *created = nullptr;
    if (slot) {
        machine::ProcessIdentity identity;
        identity.name = name;
        identity.uid = peerUid;
        identity.gid = peerGid;
        identity.groups = groups;
        identity.userSpaceAddress = Pointer(address);
        identity.userSpaceBytes = kUserSpaceBytes;
        machine::AttachCurrentThread();
        created = machine::CreateProcess(identity);
        machine::DetachCurrentThread();
        if (created == nullptr && !machine::UserSpaceInUse(Pointer(address), kUserSpaceBytes)) {
            welcome.status = STATUS_INSUFFICIENT_RESOURCES;
            Send(buffer, EncodeWelcome(buffer, welcome));
            server->refused++;
            server->Refusal(peerUid, "%s (pid %d): no process could be made for it", shownName.c_str(),
                            (int)peerPid);
            return false;
        }
    }
    if (created == nullptr) {
        welcome.status = STATUS_CONFLICTING_ADDRESSES;
        welcome.userSpaceAddress = base;
        welcome.userSpaceBytes = bytes;
        Send(buffer, EncodeWelcome(buffer, welcome));
        return true; /* the client proposes again, on this connection */
    }
    machine::UserSpace space = machine::ProcessUserSpace(created);
    welcome.userSpaceAddress = (uint64_t)(uintptr_t)space.base;
    welcome.userSpaceBytes = space.bytes;
    welcome.processId = machine::ProcessId(created);
    {
        std::lock_guard<std::mutex> guard(lock);
        process = created;
    }
    Send(buffer, EncodeWelcome(buffer, welcome), space.descriptor);
    return true;
}

/* ---- Calls ---------------------------------------------------------------------------------- */

void Connection::RefuseCall(uint64_t id)
{
    server->callsRefused++;
    uint8_t buffer[kMaxMessageBytes];
    Send(buffer, EncodeReply(buffer, id, STATUS_INSUFFICIENT_RESOURCES));
}

/*
 * Admits a call and starts its worker (the reader): room among the connection's calls,
 * its bytes within the connection's and the user's budgets, a call-thread slot, and a
 * thread. Whatever is missing, the call is answered STATUS_INSUFFICIENT_RESOURCES at once.
 */
void Connection::StartCall(uint64_t id, const CallBody &body)
{
    std::shared_ptr<Call> call;
    try {
        call = std::make_shared<Call>();
    } catch (const std::bad_alloc &) {
        RefuseCall(id);
        return;
    }
    call->id = id;
    call->body = body;
    call->bytes = BufferBytesOf(body);
    {
        std::lock_guard<std::mutex> guard(lock);
        if (calls.size() >= server->options.maxCallsPerConnection) {
            RefuseCall(id);
            return;
        }
    }
    if (!server->ChargeBytes(peerUid, &bytesInFlight, call->bytes)) {
        RefuseCall(id);
        return;
    }
    if (!server->TakeCallThread(peerUid)) {
        server->ReleaseBytes(peerUid, &bytesInFlight, call->bytes);
        RefuseCall(id);
        return;
    }
    try {
        std::lock_guard<std::mutex> guard(lock);
        calls[id] = call;
        workers++;
    } catch (const std::bad_alloc &) {
        server->ReleaseCallThread(peerUid);
        server->ReleaseBytes(peerUid, &bytesInFlight, call->bytes);
        RefuseCall(id);
        return;
    }
    auto self = shared_from_this();
    if (!server->StartThread(peerUid, true, [self, call] { self->Worker(call); })) {
        server->ReleaseBytes(peerUid, &bytesInFlight, call->bytes);
        {
            std::lock_guard<std::mutex> guard(lock);
            calls.erase(id);
            workers--;
        }
        RefuseCall(id);
    }
}

void Connection::Worker(const std::shared_ptr<Call> &call)
{
    NTSTATUS status = STATUS_CANCELLED;
    if (!call->cancelled.load()) {
        machine::AttachCurrentThread();
        machine::EnterProcess(process);
        status = Invoke(call->body);
        machine::LeaveProcess();
        machine::DetachCurrentThread();
    }
    call->finished.store(true);
    server->served++;
    // The bytes and the slot go back before the reply, and the id is free again: a client
    // that sends its next call the moment it has this reply must find all three.
    server->ReleaseBytes(peerUid, &bytesInFlight, call->bytes);
    server->ReleaseCallThread(peerUid);
    {
        std::lock_guard<std::mutex> guard(lock);
        calls.erase(call->id);
    }
    uint8_t buffer[kMaxMessageBytes];
    Send(buffer, EncodeReply(buffer, call->id, status));
    std::lock_guard<std::mutex> guard(lock);
    if (--workers == 0 && cancellers == 0)
        idle.notify_all();
}

void Connection::CancelCall(uint64_t id)
{
    std::shared_ptr<Call> call;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = calls.find(id);
        if (it == calls.end())
            return; /* finished already: its reply is on its way */
        call = it->second;
    }
    if (call->cancelled.exchange(true))
        return; /* asked already: one helper per call */
    const void *iosb = CancellableStatusBlock(call->body);
    if (iosb == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(lock);
        cancellers++;
    }
    // The worker may be between its check of the flag and the request it sends; keep
    // asking until the request is there to be cancelled or the call is over.
    auto self = shared_from_this();
    auto helper = [self, call, iosb] {
        machine::AttachCurrentThread();
        for (int attempt = 0; attempt < 400 && !call->finished.load(); ++attempt) {
            if (machine::CancelProcessRequests(self->process, iosb) != 0) {
                self->server->cancels++;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        machine::DetachCurrentThread();
        self->server->ReleaseCallThread(self->peerUid);
        std::lock_guard<std::mutex> guard(self->lock);
        if (--self->cancellers == 0 && self->workers == 0)
            self->idle.notify_all();
    };
    if (server->TakeCallThread(peerUid) && server->StartThread(peerUid, true, helper))
        return;
    // No thread to spare: one attempt here, which finds the request unless the worker has
    // not sent it yet.
    machine::AttachCurrentThread();
    if (machine::CancelProcessRequests(process, iosb) != 0)
        server->cancels++;
    machine::DetachCurrentThread();
    std::lock_guard<std::mutex> guard(lock);
    if (--cancellers == 0 && workers == 0)
        idle.notify_all();
}

/* ---- The connection's life ------------------------------------------------------------------ */

void Connection::End()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        closing = true;
    }
    shutdown(fd, SHUT_RDWR);
    {
        std::lock_guard<std::mutex> guard(sendLock);
        sendClosed = true;
        server->queued -= outbox.size();
        outbox.clear();
    }
    if (process != nullptr) {
        machine::AttachCurrentThread();
        machine::EndProcessWaits(process); /* for good: a wait that starts later ends at once */
        std::unique_lock<std::mutex> guard(lock);
        while (workers != 0 || cancellers != 0) {
            guard.unlock();
            machine::CancelProcessRequests(process);
            guard.lock();
            idle.wait_for(guard, std::chrono::milliseconds(20));
        }
        guard.unlock();
        machine::ReleaseProcess(process); /* terminates it: handles closed, requests cancelled */
        process = nullptr;
        machine::DetachCurrentThread();
    }
}

/*
 * Takes one datagram off the socket and acts on it. False when the connection must
 * end: the peer went, or sent what the host refuses.
 */
bool Connection::Receive(bool *welcomed)
{
    uint8_t buffer[kMaxMessageBytes + 1];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
    iovec part{buffer, sizeof(buffer)};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    ssize_t received = recvmsg(fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return true;
    if (received <= 0)
        return false; /* the peer went (or the server is stopping) */
    bool passedDescriptors = false;
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
            size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int passed;
                std::memcpy(&passed, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
                close(passed);
            }
            passedDescriptors = true;
        }
    }
    const char *shown = shownName.c_str();
    if (passedDescriptors || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
        server->refused++;
        server->Refusal(peerUid, "%s (pid %d): refused an oversized message or one carrying descriptors", shown,
                        (int)peerPid);
        return false;
    }
    ClientMessage decoded;
    DecodeError error = DecodeClientMessage(buffer, (size_t)received, &decoded);
    if (error != DecodeError::None) {
        server->refused++;
        server->Refusal(peerUid, "%s (pid %d): refused a message: %s", shown, (int)peerPid, DecodeErrorText(error));
        return false;
    }
    if (decoded.kind == Kind::Hello) {
        if (*welcomed) {
            server->refused++;
            server->Refusal(peerUid, "%s (pid %d): refused a second hello", shown, (int)peerPid);
            return false;
        }
        if (!Welcome(decoded.hello))
            return false;
        *welcomed = process != nullptr;
        return true;
    }
    if (!*welcomed) {
        server->refused++;
        server->Refusal(peerUid, "%s (pid %d): refused a call before the hello", shown, (int)peerPid);
        return false;
    }
    if (decoded.kind == Kind::Cancel) {
        CancelCall(decoded.requestId);
        return true;
    }
    bool duplicate;
    {
        std::lock_guard<std::mutex> guard(lock);
        duplicate = calls.count(decoded.requestId) != 0;
    }
    if (duplicate) {
        server->refused++;
        server->Refusal(peerUid, "%s (pid %d): refused a request id already in flight", shown, (int)peerPid);
        return false;
    }
    StartCall(decoded.requestId, decoded.call);
    return true;
}

/* The reader's loop; returns when the connection must end. */
bool Connection::ReadLoop()
{
    bool welcomed = false;
    Clock::time_point helloDeadline = acceptedAt + std::chrono::milliseconds(server->options.helloTimeoutMs);
    for (;;) {
        if (overflowed) {
            server->refused++;
            server->Refusal(peerUid, "%s (pid %d): ended: it does not read its replies", shownName.c_str(),
                            (int)peerPid);
            return false;
        }
        int timeout = -1;
        if (!welcomed) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(helloDeadline - Clock::now()).count();
            if (left <= 0) {
                server->refused++;
                server->Refusal(peerUid, "%s (pid %d): no hello within %u ms", shownName.c_str(), (int)peerPid,
                                server->options.helloTimeoutMs);
                return false;
            }
            timeout = (int)left;
        }
        bool queued;
        {
            std::lock_guard<std::mutex> guard(sendLock);
            queued = !outbox.empty();
        }
        pollfd fds[2] = {{fd, (short)(POLLIN | (queued ? POLLOUT : 0)), 0}, {wakeFd, POLLIN, 0}};
        int ready = poll(fds, 2, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            server->Log("%s (pid %d): poll failed: %s", shownName.c_str(), (int)peerPid, std::strerror(errno));
            return false;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            (void)!read(wakeFd, &count, sizeof(count));
        }
        if ((fds[0].revents & POLLOUT) && !SendQueued())
            return false;
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !Receive(&welcomed))
            return false;
    }
}

void Connection::Reader()
{
    machine::DetachCurrentThread();
    try {
        ReadLoop();
    } catch (const std::exception &error) {
        server->Log("%s (pid %d): ended: %s", shownName.c_str(), (int)peerPid, error.what());
    }
    End();
    // The descriptor closes under the server's lock: Stop shuts down the descriptors of
    // the connections it finds in the set, never one that was closed and reused.
    std::lock_guard<std::mutex> guard(server->lock);
    server->connections.erase(shared_from_this());
    close(fd);
    server->liveConnections--;
    if (!server->Trusted(peerUid))
        server->untrustedConnections--;
    auto it = server->users.find(peerUid);
    if (it != server->users.end())
        it->second.connections--;
    server->DropUserIfIdle(peerUid);
    server->allGone.notify_all();
}

/* ---- Admission ------------------------------------------------------------------------------ */

/* Tells a connection the host will not take it, without waiting, and closes it. */
void Server::State::RefuseConnection(int fd, const ucred &peer, const char *reason)
{
    uint8_t buffer[kMaxMessageBytes];
    WelcomeBody welcome;
    welcome.version = kProtocolVersion;
    welcome.status = STATUS_DEVICE_BUSY;
    (void)send(fd, buffer, EncodeWelcome(buffer, welcome), MSG_DONTWAIT | MSG_NOSIGNAL);
    close(fd);
    refused++;
    if (!AllowRefusalLine(peer.uid))
        return;
    try {
        std::string name = ProcessName(peer.pid);
        Log("%s (pid %d, uid %u): connection refused: %s", Printable(name.data(), name.size()).c_str(),
            (int)peer.pid, (unsigned)peer.uid, reason);
    } catch (const std::bad_alloc &) {
        Log("pid %d, uid %u: connection refused: %s", (int)peer.pid, (unsigned)peer.uid, reason);
    }
}

/* Takes or refuses one accepted connection (the listener). */
void Server::State::Admit(int fd)
{
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        close(fd);
        return;
    }
    bool trusted = Trusted(peer.uid);
    std::shared_ptr<Connection> connection;
    int wake = -1;
    try {
        connection = std::make_shared<Connection>();
        wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    } catch (const std::bad_alloc &) {
    }
    if (connection == nullptr || wake < 0) {
        if (wake >= 0)
            close(wake);
        RefuseConnection(fd, peer, "out of resources");
        return;
    }
    connection->server = this;
    connection->fd = fd;
    connection->wakeFd = wake;
    connection->peerPid = peer.pid;
    connection->peerUid = peer.uid;
    connection->peerGid = peer.gid;
    connection->acceptedAt = Clock::now();
    const char *reason = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        size_t untrustedLimit =
            options.maxConnections > options.reservedConnections ? options.maxConnections - options.reservedConnections : 0;
        if (stopping)
            reason = "the host is stopping";
        else if (connections.size() >= options.maxConnections)
            reason = "the host has all the connections it takes";
        else if (!trusted && untrustedConnections >= untrustedLimit)
            reason = "the connections left are kept for root";
        else if (!trusted && users.count(peer.uid) != 0 && users[peer.uid].connections >= options.maxConnectionsPerUser)
            reason = "its user has all the connections a user may have";
        if (reason == nullptr) {
            try {
                connections.insert(connection);
                try {
                    users[peer.uid].connections++;
                } catch (const std::bad_alloc &) {
                    connections.erase(connection);
                    throw;
                }
                liveConnections++;
                if (!trusted)
                    untrustedConnections++;
            } catch (const std::bad_alloc &) {
                reason = "out of resources";
            }
        }
    }
    if (reason != nullptr) {
        connection->fd = -1; /* it is this one's to close */
        RefuseConnection(fd, peer, reason);
        return;
    }
    try {
        connection->groups = PeerGroups(fd);
        connection->name = ProcessName(peer.pid);
        connection->shownName = Printable(connection->name.data(), connection->name.size());
    } catch (const std::bad_alloc &) {
        connection->name.clear(); /* a process without a name is still one */
    }
    accepted++;
    if (StartThread(peer.uid, false, [connection] { connection->Reader(); }))
        return;
    // No reader, no connection: undo the admission and tell the client.
    {
        std::lock_guard<std::mutex> guard(lock);
        connections.erase(connection);
        liveConnections--;
        if (!trusted)
            untrustedConnections--;
        auto it = users.find(peer.uid);
        if (it != users.end())
            it->second.connections--;
        DropUserIfIdle(peer.uid);
        allGone.notify_all();
    }
    accepted--;
    connection->fd = -1;
    RefuseConnection(fd, peer, "no thread to serve it");
}

namespace {

void Listen(Server::State *state)
{
    machine::DetachCurrentThread();
    for (;;) {
        int timeout = state->FlushRefusalWindows(false);
        pollfd fds[2] = {{state->listenFd, POLLIN, 0}, {state->wakeFd[0], POLLIN, 0}};
        int ready = poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            state->Log("poll failed: %s", std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) {
            char drained[64];
            while (read(state->wakeFd[0], drained, sizeof(drained)) > 0)
                ;
            std::lock_guard<std::mutex> guard(state->lock);
            if (state->stopping)
                return;
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        int fd = accept4(state->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // The connection waits in the backlog; try again once something has closed.
                if (state->AllowRefusalLine((uid_t)-1))
                    state->Log("cannot accept a connection: %s", std::strerror(errno));
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            continue;
        }
        state->Admit(fd);
    }
}

} // namespace

Server::Server(std::unique_ptr<State> state) : state_(std::move(state)) {}

Server::~Server()
{
    Stop();
}

std::unique_ptr<Server> Server::Start(const ServerOptions &options, std::string *error)
{
    auto state = std::make_unique<State>();
    state->options = options;
    state->hostUid = geteuid();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (options.socketPath.empty() || options.socketPath.size() >= sizeof(address.sun_path)) {
        *error = "socket path empty or too long: " + options.socketPath;
        return nullptr;
    }
    machine::UserSpaceWindow window =
        machine::ReserveUserSpaceWindow(kWindowSlack * (options.maxConnections + 1) * kUserSpaceBytes, kUserSpaceBytes);
    if (window.bytes < kUserSpaceBytes) {
        *error = "cannot reserve the address range for user spaces";
        return nullptr;
    }
    state->windowBase = (uint64_t)(uintptr_t)window.base;
    state->windowBytes = window.bytes - window.bytes % kUserSpaceBytes;
    std::memcpy(address.sun_path, options.socketPath.c_str(), options.socketPath.size() + 1);
    state->listenFd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (state->listenFd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return nullptr;
    }
    // A file left at the path by a host that is gone is replaced; the caller makes sure
    // no other host serves it (the host holds its pid file's lock first).
    unlink(options.socketPath.c_str());
    if (bind(state->listenFd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        chmod(options.socketPath.c_str(), options.socketMode) != 0 || listen(state->listenFd, 64) != 0 ||
        pipe2(state->wakeFd, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = options.socketPath + ": " + std::strerror(errno);
        close(state->listenFd);
        return nullptr;
    }
    State *raw = state.get();
    raw->threads = 1;
    try {
        raw->listener = std::thread([raw] {
            try {
                Listen(raw);
            } catch (const std::exception &failure) {
                raw->Log("the listener stopped: %s", failure.what());
            }
            std::lock_guard<std::mutex> guard(raw->lock);
            raw->threads--;
        });
    } catch (const std::exception &failure) {
        *error = std::string("no thread to listen on: ") + failure.what();
        close(raw->listenFd);
        close(raw->wakeFd[0]);
        close(raw->wakeFd[1]);
        unlink(options.socketPath.c_str());
        return nullptr;
    }
    return std::unique_ptr<Server>(new Server(std::move(state)));
}

void Server::Stop()
{
    State *state = state_.get();
    if (state == nullptr || state->listenFd < 0)
        return;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->stopping = true;
    }
    state->WakeListener();
    state->listener.join();
    close(state->listenFd);
    state->listenFd = -1;
    unlink(state->options.socketPath.c_str());
    {
        std::unique_lock<std::mutex> guard(state->lock);
        for (const auto &connection : state->connections)
            shutdown(connection->fd, SHUT_RDWR); /* its reader sees the end and ends it */
        state->allGone.wait(guard, [state] { return state->liveConnections == 0 && state->threads == 0; });
    }
    // Readers may wake the listener until the last has gone.
    close(state->wakeFd[0]);
    close(state->wakeFd[1]);
    state->FlushRefusalWindows(true);
}

size_t Server::ConnectionCount() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->connections.size();
}

ServerStatistics Server::Statistics() const
{
    ServerStatistics statistics;
    statistics.connectionsAccepted = state_->accepted;
    statistics.connectionsRefused = state_->refused;
    statistics.callsServed = state_->served;
    statistics.callsRefused = state_->callsRefused;
    statistics.cancelsHonoured = state_->cancels;
    statistics.logLinesSuppressed = state_->suppressed;
    statistics.repliesQueued = state_->queued;
    std::lock_guard<std::mutex> guard(state_->lock);
    statistics.threads = state_->threads;
    statistics.callThreads = state_->callThreads;
    statistics.bytesInFlight = state_->bytesInFlight;
    return statistics;
}

} // namespace transport
