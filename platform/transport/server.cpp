/*
 * The host's side of the socket protocol (see server.h and wire.h): Start and Stop,
 * the listener, the admission of each connection against the connections shared out
 * per user, and the statistics. A connection's own life is in connection.cpp; the
 * records and the lock order are in server_internal.h.
 */
#include "server_internal.h"

#include "machine.h"

#include <ntdef.h>
#include <ntstatus.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
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

/* The user-space window holds this many user spaces per connection the host may have. */
constexpr uint64_t kWindowSlack = 4;

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

/* The peer's supplementary groups, or none when they cannot be had. */
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
        ForgetConnection(connection);
    }
    accepted--;
    connection->fd = -1;
    RefuseConnection(fd, peer, "no thread to serve it");
}

/* Undoes what Admit counted for a connection and drops it from the set (lock held). */
void Server::State::ForgetConnection(const std::shared_ptr<Connection> &connection)
{
    uid_t uid = connection->peerUid;
    connections.erase(connection);
    liveConnections--;
    if (!Trusted(uid))
        untrustedConnections--;
    auto it = users.find(uid);
    if (it != users.end())
        it->second.connections--;
    DropUserIfIdle(uid);
    allGone.notify_all();
}

/* ---- The listener and the server's life ----------------------------------------------------- */

void Server::State::WakeListener()
{
    char wake = 1;
    (void)!write(wakeFd[1], &wake, 1); /* non-blocking: a full pipe wakes it as well */
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
