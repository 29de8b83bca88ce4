/*
 * One client's connection, from its first datagram to its end: sending, the hello,
 * the reader that takes its datagrams, and its end. Its calls are in calls.cpp.
 *
 * Nothing waits for a client. Replies go out with non-blocking sends; one that does
 * not fit in the socket joins the connection's queue, the reader sends it when there
 * is room, and the worker returns at once, so a client that stops reading pins no
 * thread. A queue that grows past twice the calls a connection may have means the
 * client has stopped reading: the connection ends. A refused connection is told so
 * with one non-blocking send and closed (server.cpp).
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
 */
#include "server_internal.h"

#include "machine.h"

#include <ntdef.h>
#include <ntstatus.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace transport {

Connection::~Connection()
{
    if (wakeFd >= 0)
        close(wakeFd);
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
        void *at = reinterpret_cast<void *>((uintptr_t)address);
        machine::ProcessIdentity identity;
        identity.name = name;
        identity.uid = peerUid;
        identity.gid = peerGid;
        identity.groups = groups;
        identity.userSpaceAddress = at;
        identity.userSpaceBytes = kUserSpaceBytes;
        machine::AttachCurrentThread();
        created = machine::CreateProcess(identity);
        machine::DetachCurrentThread();
        if (created == nullptr && !machine::UserSpaceInUse(at, kUserSpaceBytes)) {
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
    server->ForgetConnection(shared_from_this());
    close(fd);
}

} // namespace transport
