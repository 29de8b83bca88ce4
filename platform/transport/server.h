/*
 * The host's side of the socket protocol (see wire.h): it listens on a Unix
 * socket, gives every client connection a process of the machine made from the
 * peer's Linux credentials, and runs the client's native calls in that process,
 * each on a thread of its own, so replies go back in completion order.
 *
 * The machine must be booted while a server runs; Stop ends every connection the
 * way a process exit ends a Windows process (its requests cancelled, its handles
 * closed) before it returns.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace transport {

struct ServerOptions {
    std::string socketPath;
    /* Who may connect is for the device's security descriptor and the driver to decide. */
    unsigned socketMode = 0666;
    size_t maxConnections = 256;
    size_t maxCallsPerConnection = 64;
    /* Diagnostics (refused messages, ended connections) go here; null = standard error. */
    void (*log)(const char *line) = nullptr;
};

struct ServerStatistics {
    uint64_t connectionsAccepted = 0;
    uint64_t connectionsRefused = 0;   /* refused messages or over the connection limit */
    uint64_t callsServed = 0;
    uint64_t cancelsHonoured = 0;      /* cancels that reached an outstanding request */
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
