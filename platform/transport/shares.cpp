/*
 * The server's threads and each user's share of the host.
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
 * Shares. A call is admitted, before it starts, against the bytes its buffer lengths
 * name (per connection and per user) and a call-thread slot (overall and per user);
 * both are given back just before its reply, so that a client's next call finds them
 * (the thread's last steps after that are bounded and take nothing). A cancel helper
 * holds a slot too (without one, the reader makes one attempt itself).
 * What cannot be had is answered STATUS_INSUFFICIENT_RESOURCES at once. Every thread
 * is started, and runs, inside StartThread's guard (server_internal.h): nothing is
 * ever thrown out of one, and a thread that cannot be had is a refused connection or
 * call.
 */
#include "server_internal.h"

#include <mutex>
#include <new>

namespace transport {

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

} // namespace transport
