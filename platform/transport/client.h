/*
 * The client's side of the socket protocol (see wire.h): one connection to the
 * host, the process's user space shared with it, and native calls made from any
 * number of threads at once. Each call waits for its own reply; a reader thread
 * hands replies to their callers in whatever order they come.
 *
 * The Win32 layer keeps one client per Linux process (its "system call"
 * boundary); tests make several to act as several processes.
 */
#pragma once

#include "wire.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace transport {

/* NTSTATUS values the client produces itself (the native routines produce the rest). */
constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusHostNotRunning = (int32_t)0xC0000034;    /* STATUS_OBJECT_NAME_NOT_FOUND */
constexpr int32_t kStatusAccessDenied = (int32_t)0xC0000022;      /* STATUS_ACCESS_DENIED */
constexpr int32_t kStatusInvalidHandle = (int32_t)0xC0000008;     /* STATUS_INVALID_HANDLE */
/* The host went (or broke the connection) before answering: STATUS_PIPE_BROKEN, which
 * Win32 reports as ERROR_BROKEN_PIPE. */
constexpr int32_t kStatusDisconnected = (int32_t)0xC000014B;
/* The host takes no more connections now: STATUS_DEVICE_BUSY (ERROR_BUSY). */
constexpr int32_t kStatusBusy = (int32_t)0x80000011;
/* The host could not take a call now (its budgets or threads): STATUS_INSUFFICIENT_RESOURCES. */
constexpr int32_t kStatusInsufficientResources = (int32_t)0xC000009A;
constexpr int32_t kStatusNoMemory = (int32_t)0xC0000017;          /* STATUS_NO_MEMORY */
constexpr int32_t kStatusConflictingAddresses = (int32_t)0xC0000018;
constexpr int32_t kStatusTimeout = (int32_t)0xC00000B5;           /* STATUS_IO_TIMEOUT */
constexpr int32_t kStatusUnsuccessful = (int32_t)0xC0000001;

/* The socket path clients and the host use: $VOREL_RUNTIME_DIR (default /run/vorel)/vorel.sock. */
std::string DefaultSocketPath();

class Client {
public:
    explicit Client(std::string socketPath);
    /* Ends the connection (the host ends the process); calls still waiting fail. */
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    /*
     * Connects and sets up the shared user space, unless connected already.
     * kStatusHostNotRunning when no host answers at the path (no socket, or a stale
     * one); kStatusAccessDenied when the socket may not be used, or the host runs as
     * neither root nor the caller's own user; kStatusBusy when the host takes no more
     * connections; kStatusDisconnected when it closed the connection without a welcome;
     * kStatusTimeout when it never answered. None of them waits: only a host that is
     * there and silent makes Connect wait, for a bounded time.
     */
    int32_t Connect();
    /* Where the next Connect goes (a client that is connected keeps its connection). */
    void SetSocketPath(const std::string &socketPath);
    bool Connected() const;
    /* Counts connections made: handles of an earlier one mean nothing to the host now. */
    uint64_t Generation() const;
    /* The machine's id for this process; 0 before connecting. */
    uint32_t ProcessId() const;

    /*
     * One native call; blocks until its reply. tag (the Win32 layer passes the file
     * handle) lets CancelTagged find it; *requestId receives its id before it is sent.
     * kStatusInvalidHandle when not connected, kStatusDisconnected when the connection
     * broke before the reply came.
     */
    int32_t Call(CallNumber number, const uint64_t *arguments, uint32_t argumentCount, uint64_t tag = 0,
                 uint64_t *requestId = nullptr);
    /* Asks the host to cancel one call, or every call in flight with this tag; returns how many were asked. */
    size_t Cancel(uint64_t requestId);
    size_t CancelTagged(uint64_t tag);
    /* Calls waiting for their reply. */
    size_t CallsInFlight() const;

    /* Memory in the shared user space (16-byte aligned), or null when there is none left
     * or no connection. */
    void *Allocate(size_t bytes);
    void Release(void *address);

    /* Drops the connection as a crashing process would (tests). */
    void Disconnect();

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace transport
