/*
 * The host's side of the socket protocol (see server.h and wire.h).
 *
 * Threads: one listener; per connection one reader, which decodes datagrams,
 * welcomes the client, starts a thread for every call and handles cancels; per
 * call one worker, attached to the machine only while it runs the native call in
 * the connection's process. A reader that sees the peer go, or a datagram it must
 * refuse, ends its connection itself: no new call starts, the outstanding
 * requests are cancelled and its waits ended until every worker has returned, and
 * only then is the process terminated (closing its handles) and released. Waiting
 * for the workers first matters: a worker that has not yet looked its handle up must
 * never find the process without a handle table. A request still pending after that
 * (its driver set no cancel routine) keeps the process, and so its user space, until
 * it completes: the machine sees to that.
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
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace transport {

namespace {

/* The user-space window holds this many user spaces per connection the host may have. */
constexpr uint64_t kWindowSlack = 4;

/* One native call in flight. */
struct Call {
    uint64_t id = 0;
    CallBody body;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
};

} // namespace

struct Connection;

struct Server::State {
    ServerOptions options;
    uint64_t windowBase = 0, windowBytes = 0; /* the user-space window; fixed once started */
    int listenFd = -1;
    int wakeFd[2] = {-1, -1};
    std::thread listener;
    mutable std::mutex lock;
    std::condition_variable allGone;
    std::set<std::shared_ptr<Connection>> connections;
    size_t liveConnections = 0; /* connections whose reader has not finished */
    bool stopping = false;
    std::atomic<uint64_t> accepted{0}, refused{0}, served{0}, cancels{0};

    void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));
};

void Server::State::Log(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    if (options.log != nullptr)
        options.log(line);
    else
        std::fprintf(stderr, "transport: %s\n", line);
}

struct Connection : std::enable_shared_from_this<Connection> {
    Server::State *server = nullptr;
    int fd = -1;
    pid_t peerPid = 0;
    uid_t peerUid = 0;
    gid_t peerGid = 0;
    std::vector<uint32_t> groups;
    std::string name;
    void *process = nullptr; /* set once welcomed; read by workers only after that */

    std::mutex lock;
    std::condition_variable idle;
    std::map<uint64_t, std::shared_ptr<Call>> calls;
    int cancellers = 0; /* cancel threads still using the process */
    bool closing = false;
    std::mutex sendLock;

    void Reader();
    bool Welcome(const HelloBody &hello);
    void StartCall(uint64_t id, const CallBody &body);
    void CancelCall(uint64_t id);
    void Worker(std::shared_ptr<Call> call);
    void End();
    bool Send(const void *data, size_t length, int descriptor = -1);
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

std::string ProcessName(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/comm", (int)pid);
    char text[64] = {};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = read(fd, text, sizeof(text) - 1);
        close(fd);
        if (n > 0) {
            text[n] = 0;
            if (char *newline = std::strchr(text, '\n'))
                *newline = 0;
            return text;
        }
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

bool Connection::Send(const void *data, size_t length, int descriptor)
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
    std::lock_guard<std::mutex> guard(sendLock);
    for (;;) {
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent == (ssize_t)length)
            return true;
        if (sent < 0 && errno == EINTR)
            continue;
        return false;
    }
}

bool Connection::Welcome(const HelloBody &hello)
{
    uint8_t buffer[kMaxMessageBytes];
    WelcomeBody welcome;
    welcome.version = kProtocolVersion;
    if (hello.version != kProtocolVersion) {
        welcome.status = STATUS_REVISION_MISMATCH;
        Send(buffer, EncodeWelcome(buffer, welcome));
        server->Log("%s (pid %d): protocol version %u refused", name.c_str(), (int)peerPid, hello.version);
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
            server->Log("%s (pid %d): no process could be made for it", name.c_str(), (int)peerPid);
            return false;
        }
    }
    if (created == nullptr) {
        welcome.status = STATUS_CONFLICTING_ADDRESSES;
        welcome.userSpaceAddress = base;
        welcome.userSpaceBytes = bytes;
        return Send(buffer, EncodeWelcome(buffer, welcome)); /* the client proposes again */
    }
    machine::UserSpace space = machine::ProcessUserSpace(created);
    welcome.userSpaceAddress = (uint64_t)(uintptr_t)space.base;
    welcome.userSpaceBytes = space.bytes;
    welcome.processId = machine::ProcessId(created);
    {
        std::lock_guard<std::mutex> guard(lock);
        process = created;
    }
    return Send(buffer, EncodeWelcome(buffer, welcome), space.descriptor);
}

void Connection::StartCall(uint64_t id, const CallBody &body)
{
    auto call = std::make_shared<Call>();
    call->id = id;
    call->body = body;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (calls.size() >= server->options.maxCallsPerConnection) {
            uint8_t buffer[kMaxMessageBytes];
            Send(buffer, EncodeReply(buffer, id, STATUS_INSUFFICIENT_RESOURCES));
            return;
        }
        calls[id] = call;
    }
    std::thread(&Connection::Worker, shared_from_this(), call).detach();
}

void Connection::Worker(std::shared_ptr<Call> call)
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
    uint8_t buffer[kMaxMessageBytes];
    Send(buffer, EncodeReply(buffer, call->id, status));
    std::lock_guard<std::mutex> guard(lock);
    calls.erase(call->id);
    if (calls.empty() && cancellers == 0)
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
    call->cancelled.store(true);
    const void *iosb = CancellableStatusBlock(call->body);
    if (iosb == nullptr)
        return;
    {
        std::lock_guard<std::mutex> guard(lock);
        cancellers++;
    }
    // The worker may be between its check of the flag and the request it sends; keep
    // asking until the request is there to be cancelled or the call is over.
    std::thread([self = shared_from_this(), call, iosb] {
        machine::AttachCurrentThread();
        for (int attempt = 0; attempt < 400 && !call->finished.load(); ++attempt) {
            if (machine::CancelProcessRequests(self->process, iosb) != 0) {
                self->server->cancels++;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        machine::DetachCurrentThread();
        std::lock_guard<std::mutex> guard(self->lock);
        if (--self->cancellers == 0 && self->calls.empty())
            self->idle.notify_all();
    }).detach();
}

void Connection::End()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        closing = true;
    }
    shutdown(fd, SHUT_RDWR);
    if (process != nullptr) {
        machine::AttachCurrentThread();
        machine::EndProcessWaits(process); /* for good: a wait that starts later ends at once */
        std::unique_lock<std::mutex> guard(lock);
        while (!calls.empty() || cancellers != 0) {
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

void Connection::Reader()
{
    machine::DetachCurrentThread();
    bool welcomed = false;
    for (;;) {
        uint8_t buffer[kMaxMessageBytes + 1];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
        iovec part{buffer, sizeof(buffer)};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        ssize_t received = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            break; /* the peer went (or the server is stopping) */
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
        if (passedDescriptors || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
            server->Log("%s (pid %d): refused an oversized message or one carrying descriptors", name.c_str(),
                        (int)peerPid);
            server->refused++;
            break;
        }
        ClientMessage decoded;
        DecodeError error = DecodeClientMessage(buffer, (size_t)received, &decoded);
        if (error != DecodeError::None) {
            server->Log("%s (pid %d): refused a message: %s", name.c_str(), (int)peerPid, DecodeErrorText(error));
            server->refused++;
            break;
        }
        if (decoded.kind == Kind::Hello) {
            if (welcomed) {
                server->Log("%s (pid %d): refused a second hello", name.c_str(), (int)peerPid);
                server->refused++;
                break;
            }
            if (!Welcome(decoded.hello))
                break;
            welcomed = process != nullptr;
            continue;
        }
        if (!welcomed) {
            server->Log("%s (pid %d): refused a call before the hello", name.c_str(), (int)peerPid);
            server->refused++;
            break;
        }
        if (decoded.kind == Kind::Cancel) {
            CancelCall(decoded.requestId);
            continue;
        }
        bool duplicate;
        {
            std::lock_guard<std::mutex> guard(lock);
            duplicate = calls.count(decoded.requestId) != 0;
        }
        if (duplicate) {
            server->Log("%s (pid %d): refused a request id already in flight", name.c_str(), (int)peerPid);
            server->refused++;
            break;
        }
        StartCall(decoded.requestId, decoded.call);
    }
    End();
    // The descriptor closes under the server's lock: Stop shuts down the descriptors of
    // the connections it finds in the set, never one that was closed and reused.
    std::lock_guard<std::mutex> guard(server->lock);
    server->connections.erase(shared_from_this());
    close(fd);
    server->liveConnections--;
    server->allGone.notify_all();
}

namespace {

void Listen(Server::State *state)
{
    machine::DetachCurrentThread();
    for (;;) {
        pollfd fds[2] = {{state->listenFd, POLLIN, 0}, {state->wakeFd[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            state->Log("poll failed: %s", std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        int fd = accept4(state->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ucred credentials{};
        socklen_t length = sizeof(credentials);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
            close(fd);
            continue;
        }
        auto connection = std::make_shared<Connection>();
        connection->server = state;
        connection->fd = fd;
        connection->peerPid = credentials.pid;
        connection->peerUid = credentials.uid;
        connection->peerGid = credentials.gid;
        connection->groups = PeerGroups(fd);
        connection->name = ProcessName(credentials.pid);
        {
            std::lock_guard<std::mutex> guard(state->lock);
            if (state->stopping || state->connections.size() >= state->options.maxConnections) {
                state->refused++;
                close(fd);
                continue;
            }
            state->connections.insert(connection);
            state->liveConnections++;
        }
        state->accepted++;
        std::thread(&Connection::Reader, connection).detach();
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
        pipe2(state->wakeFd, O_CLOEXEC) != 0) {
        *error = options.socketPath + ": " + std::strerror(errno);
        close(state->listenFd);
        return nullptr;
    }
    State *raw = state.get();
    raw->listener = std::thread(Listen, raw);
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
    char wake = 1;
    (void)!write(state->wakeFd[1], &wake, 1);
    state->listener.join();
    close(state->listenFd);
    state->listenFd = -1;
    close(state->wakeFd[0]);
    close(state->wakeFd[1]);
    unlink(state->options.socketPath.c_str());
    std::unique_lock<std::mutex> guard(state->lock);
    for (const auto &connection : state->connections)
        shutdown(connection->fd, SHUT_RDWR); /* its reader sees the end and ends it */
    state->allGone.wait(guard, [state] { return state->liveConnections == 0; });
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
    statistics.cancelsHonoured = state_->cancels;
    return statistics;
}

} // namespace transport
