/*
 * The host's side of the socket protocol, internals shared by its files: the records
 * of the server, its connections and their calls, and the routines one file calls in
 * another. The files:
 *   server.cpp        admission, the listener, Start and Stop, statistics
 *   connection.cpp    a connection's life: sending, the hello, its reader, its end
 *   calls.cpp         a client's calls: admitted, run by their workers, cancelled
 *   shares.cpp        the server's threads and each user's share of the host
 *   server_log.cpp    log lines, and the windows that bound each user's refusal lines
 *   native_calls.cpp  a decoded call made into the native routine's call (native_calls.h)
 *
 * Locks, outermost first:
 *   1. Connection::lock      the connection's calls and its worker and helper counts;
 *   2. Connection::sendLock  its reply queue and every write to its socket. Only a call
 *                            refused for want of room among the connection's calls is
 *                            sent under (1).
 *   Server::State::lock (the connection set, every share and count) and State::logLock
 *   (the refusal windows) are taken with no other lock held, and take none.
 * Log takes no lock and may be called under any of them.
 */
#pragma once

#include "server.h"

#include "wire.h"

#include "machine.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/types.h>

namespace transport {

using Clock = std::chrono::steady_clock;

/* The fault-injection site of every thread the server starts (machine::ArmFault). */
constexpr char kThreadSite[] = "transport::StartThread";

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

    /* interlocked */
    std::atomic<uint64_t> accepted{0}, refused{0}, served{0}, callsRefused{0}, cancels{0}, suppressed{0};
    std::atomic<uint64_t> queued{0};

    bool Trusted(uid_t uid) const { return uid == 0 || uid == hostUid; }

    /* The log and the refusal windows (server_log.cpp). */
    void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));
    bool AllowRefusalLine(uid_t uid);
    void Refusal(uid_t uid, const char *format, ...) __attribute__((format(printf, 3, 4)));
    int FlushRefusalWindows(bool all);

    /* Threads and shares (shares.cpp; StartThread below). */
    template <typename Body>
    bool StartThread(uid_t uid, bool callThread, Body body);
    void ThreadEnded();
    bool TakeCallThread(uid_t uid);
    void ReleaseCallThread(uid_t uid);
    bool ChargeBytes(uid_t uid, uint64_t *connectionBytes, uint64_t bytes);
    void ReleaseBytes(uid_t uid, uint64_t *connectionBytes, uint64_t bytes);
    void DropUserIfIdle(uid_t uid);

    /* Admission and the listener (server.cpp). */
    void WakeListener();
    void Admit(int fd);
    void RefuseConnection(int fd, const ucred &peer, const char *reason);
    void ForgetConnection(const std::shared_ptr<Connection> &connection);
};

/* One client's connection (connection.cpp; its calls in calls.cpp). */
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
    bool closing = false; /* lock */

    std::mutex sendLock;
    std::deque<Outgoing> outbox; /* sendLock */
    bool sendClosed = false;     /* sendLock */
    std::atomic<bool> overflowed{false};

    ~Connection();
    void Reader();
    bool ReadLoop();
    bool Receive(bool *welcomed);
    bool Welcome(const HelloBody &hello);
    void End();
    bool Send(const void *data, size_t length, int descriptor = -1) noexcept;
    bool SendQueued();
    void Wake();

    /* calls.cpp */
    void StartCall(uint64_t id, const CallBody &body);
    void RefuseCall(uint64_t id);
    void CancelCall(uint64_t id);
    void Worker(const std::shared_ptr<Call> &call);
};

/*
 * Text a client controls, made fit for a log line (server_log.cpp): every control
 * byte, DEL, byte outside ASCII and backslash becomes \xNN.
 */
std::string Printable(const char *text, size_t length);

/*
 * Starts a detached thread that runs body, counted among the server's threads. A call
 * thread's body owns the call-thread slot its starter took for it, and gives it back
 * (ReleaseCallThread) once its work is done. Never throws: false when no thread could be
 * had, and then body never runs and the slot is given back here. Inside the thread
 * nothing body throws gets out.
 *
 * Here rather than in shares.cpp because its callers pass lambdas: wrapping them for a
 * routine of fixed type would allocate at the call site, outside the guard.
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

} // namespace transport
