/*
 * The host's side of the socket protocol (see wire.h): it listens on a Unix
 * socket, gives every client connection a process of the machine made from the
 * peer's Linux credentials, and runs the client's native calls in that process,
 * each on a thread of its own, so replies go back in completion order.
 *
 * Every local user reaches the socket, so every resource a client can make the host
 * hold is shared out per user (keyed by uid) and bounded overall: connections,
 * threads, and the bytes calls may make the host buffer. Root and the user the host
 * runs as are trusted with more: a reserve of connections only they may use, and no
 * per-user share of connections or threads (the overall limits still hold).
 *
 * The machine must be booted while a server runs; Stop ends every connection the
 * way a process exit ends a Windows process (its requests cancelled, its handles
 * closed) before it returns.
 */
#pragma once

#include "wire.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace transport {

struct ServerOptions {
    std::string socketPath;
    /* Who may connect is for the device's security descriptor and the driver to decide. */
    unsigned socketMode = 0666;
    /* Connections: all together, each user's share, and how many of all only root and the
     * host's own user may have (the others together get at most maxConnections minus these). */
    size_t maxConnections = 256;
    size_t maxConnectionsPerUser = 32;
    size_t reservedConnections = 16;
    /* A connection not welcomed this long after it was accepted is closed. */
    unsigned helloTimeoutMs = 3000;
    size_t maxCallsPerConnection = 64;
    /* What the buffer lengths of running calls add up to (see wire.h), per connection and per user. */
    uint64_t maxBytesInFlightPerConnection = 2 * kUserSpaceBytes;
    uint64_t maxBytesInFlightPerUser = 256ull << 20;
    /* Threads running calls or helping to cancel them: all together, and each user's share. */
    size_t maxCallThreads = 1024;
    size_t maxCallThreadsPerUser = 256;
    /* Lines about refused connections and messages: at most logBurst per user in any
     * logWindowMs; the rest are counted and summed up in one line. */
    unsigned logBurst = 10;
    unsigned logWindowMs = 10000;
    /* Diagnostics (refused messages, ended connections) go here; null = standard error. */
    void (*log)(const char *line) = nullptr;
};

struct ServerStatistics {
    uint64_t connectionsAccepted = 0;
    uint64_t connectionsRefused = 0;   /* connections refused, and those ended for a refused message */
    uint64_t callsServed = 0;
    uint64_t callsRefused = 0;         /* answered STATUS_INSUFFICIENT_RESOURCES without running */
    uint64_t cancelsHonoured = 0;      /* cancels that reached an outstanding request */
    uint64_t logLinesSuppressed = 0;   /* refusal lines left out to keep the log bounded */
    /* Now: */
    uint64_t threads = 0;              /* every thread the server runs: listener, readers, calls, cancels */
    uint64_t callThreads = 0;          /* of those, the threads running calls and helping to cancel them */
    uint64_t bytesInFlight = 0;        /* charged to calls not yet answered */
    uint64_t repliesQueued = 0;        /* replies waiting for room in their connection's socket */
};

class Server {
public:
    /* Binds the socket (replacing a stale file at the path), listens and starts
     * accepting. The first server of a process also reserves the user-space window
     * (machine::ReserveUserSpaceWindow), sized for its maxConnections with room to
     * spare; later ones share it. Null on failure, with the reason in *error. */
    static std::unique_ptr<Server> Start(const ServerOptions &options, std::string *error);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    /* Stops accepting, ends every connection and waits for them; removes the socket file. */
    void Stop();
    size_t ConnectionCount() const;
    ServerStatistics Statistics() const;

    struct State;

private:
    explicit Server(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

} // namespace transport
