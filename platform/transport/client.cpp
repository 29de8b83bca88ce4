/*
 * The client's side of the socket protocol (see client.h and wire.h).
 *
 * The user space: the client reserves an address range (inaccessible anonymous
 * memory), proposes it in its Hello, and once the host has mapped its sealed memfd
 * there and sent the descriptor, maps the same pages over its reservation. The host
 * places user spaces only in slots of its user-space window (see wire.h): the first
 * proposal, made before the client knows the window, is answered with it, and the
 * client then reserves a slot chosen at random in its own address space and proposes
 * that, a bounded number of times (a slot taken here or by another client is passed
 * over). It remembers the window for its next connection. A client inside the host's
 * own process (tests) sees the host's mapping directly: it reserves nothing and maps
 * nothing.
 *
 * Locks: connectLock serialises connecting; lock guards the connection state, the
 * calls waiting and the user-space allocator; sendLock orders datagrams and the
 * descriptor they go out on.
 */
#include "client.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace transport {

namespace {

constexpr size_t kGranule = 16;
/* Hellos on one connection; slots tried for each (a slot this process already uses is skipped). */
constexpr int kHelloAttempts = 16;
constexpr int kSlotTries = 8;
constexpr int kWelcomeTimeoutMs = 10000;

/* One user space this client has had: the current one, or an old one still holding allocations. */
struct UserSpace {
    uint8_t *base = nullptr;
    size_t size = 0;
    bool mappedHere = false; /* mapped by this client (not the host's own mapping) */
    std::map<size_t, size_t> freeRanges; /* offset -> length */
    std::map<size_t, size_t> used;
};

struct Pending {
    uint64_t id = 0;
    uint64_t tag = 0;
    bool done = false;
    int32_t status = 0;
    std::condition_variable wake;
};

void CloseDescriptors(msghdr &message)
{
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
            close(passed);
        }
    }
}

/* Receives one datagram; the first descriptor passed with it (if any) goes to *descriptor.
 * -1 with errno ETIMEDOUT when nothing came within timeoutMs (-1: wait as long as it takes). */
ssize_t ReceiveWithDescriptor(int fd, void *buffer, size_t length, int *descriptor, int timeoutMs)
{
    if (timeoutMs >= 0) {
        pollfd wait{fd, POLLIN, 0};
        int ready;
        do
            ready = poll(&wait, 1, timeoutMs);
        while (ready < 0 && errno == EINTR);
        if (ready == 0)
            errno = ETIMEDOUT;
        if (ready <= 0)
            return -1;
    }
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    iovec part{buffer, length};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    // A host that closes its end with a datagram of ours unread (a hello it refused) makes
    // the next receive fail with ECONNRESET, once, ahead of what it had sent: its answer
    // is still there behind the error.
    ssize_t received;
    bool reset = false;
    do {
        received = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
        if (received < 0 && errno == ECONNRESET && !reset) {
            reset = true;
            errno = EINTR;
        }
    } while (received < 0 && errno == EINTR);
    if (received > 0 && descriptor != nullptr) {
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        if (header != nullptr && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
            header->cmsg_len == CMSG_LEN(sizeof(int))) {
            std::memcpy(descriptor, CMSG_DATA(header), sizeof(int));
            return received;
        }
    }
    if (received >= 0)
        CloseDescriptors(message);
    return received;
}

/* A window the host described: inside the user half, room for one user space at least. */
bool UsableWindow(const WelcomeBody &welcome)
{
    uint64_t base = welcome.userSpaceAddress, bytes = welcome.userSpaceBytes;
    return bytes >= kUserSpaceBytes && base >= kLowestUserAddress && (base & (kPageBytes - 1)) == 0 &&
           base < kUserAddressLimit && kUserAddressLimit - base >= bytes;
}

/* splitmix64: slot choices need spread, not secrecy. */
uint64_t NextRandom(uint64_t *state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t RandomSeed()
{
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof(seed), GRND_NONBLOCK) != (ssize_t)sizeof(seed))
        seed = (uint64_t)getpid() * 0x100000001B3ull ^ (uint64_t)(uintptr_t)&seed;
    return seed;
}

} // namespace

std::string DefaultSocketPath()
{
    const char *directory = std::getenv("VOREL_RUNTIME_DIR");
    std::string path = directory != nullptr && directory[0] != 0 ? directory : "/run/vorel";
    return path + "/vorel.sock";
}

struct Client::State {
    std::string socketPath;
    std::mutex connectLock;
    mutable std::mutex lock;
    std::mutex sendLock;
    int fd = -1;
    bool connected = false;
    uint64_t generation = 0;
    uint32_t processId = 0;
    std::thread reader;
    std::map<uint64_t, Pending *> pending;
    uint64_t nextId = 1;
    std::vector<std::unique_ptr<UserSpace>> spaces; /* the last is current while connected */
    /* The host's user-space window as last described (connectLock); 0 bytes: not known. */
    uint64_t windowBase = 0, windowBytes = 0;
    uint64_t random = RandomSeed(); /* connectLock */

    void Read(int descriptor);
    bool Send(const void *data, size_t length);
    int32_t Handshake(int descriptor, bool inProcess);
    void *ReserveProposal(bool inProcess);
    void ReleaseSpaceIfDone(size_t index);
};

bool Client::State::Send(const void *data, size_t length)
{
    std::lock_guard<std::mutex> guard(sendLock);
    for (;;) {
        ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent == (ssize_t)length)
            return true;
        if (sent < 0 && errno == EINTR)
            continue;
        return false;
    }
}

void Client::State::Read(int descriptor)
{
    for (;;) {
        uint8_t buffer[kMaxMessageBytes + 1];
        ssize_t received = ReceiveWithDescriptor(descriptor, buffer, sizeof(buffer), nullptr, -1);
        if (received <= 0)
            break;
        HostMessage message;
        if (DecodeHostMessage(buffer, (size_t)received, &message) != DecodeError::None ||
            message.kind != Kind::Reply)
            break; /* a host that speaks nonsense is a host we cannot trust with our calls */
        std::lock_guard<std::mutex> guard(lock);
        auto it = pending.find(message.requestId);
        if (it == pending.end())
            continue;
        it->second->status = message.reply.status;
        it->second->done = true;
        it->second->wake.notify_one();
        pending.erase(it);
    }
    // The host went: every call still waiting ends now.
    std::lock_guard<std::mutex> guard(lock);
    connected = false;
    for (auto &[id, call] : pending) {
        call->status = kStatusDisconnected;
        call->done = true;
        call->wake.notify_one();
    }
    pending.clear();
    if (!spaces.empty())
        ReleaseSpaceIfDone(spaces.size() - 1);
}

/*
 * The range to propose next (connectLock held): a random slot of the host's window
 * when it is known, else wherever the kernel puts a reservation. Out of the host's
 * process the range is reserved here, so nothing of this process lands in it before
 * the host's pages do; in the host's own process nothing is reserved, since the host
 * maps it in this very address space. Null when no range could be had.
 */
void *Client::State::ReserveProposal(bool inProcess)
{
    if (windowBytes >= kUserSpaceBytes) {
        uint64_t slots = windowBytes / kUserSpaceBytes;
        for (int attempt = 0; attempt < kSlotTries; ++attempt) {
            auto *slot = reinterpret_cast<void *>(
                (uintptr_t)(windowBase + (NextRandom(&random) % slots) * kUserSpaceBytes));
            if (inProcess)
                return slot;
            void *reserved = mmap(slot, kUserSpaceBytes, PROT_NONE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
            if (reserved == slot)
                return slot;
            if (reserved != MAP_FAILED)
                munmap(reserved, kUserSpaceBytes); /* a kernel that took the address as a mere hint */
        }
        return nullptr;
    }
    void *reserved = mmap(nullptr, kUserSpaceBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED)
        return nullptr;
    if (inProcess)
        munmap(reserved, kUserSpaceBytes); /* only a first proposal: the host answers with its window */
    return reserved;
}

int32_t Client::State::Handshake(int descriptor, bool inProcess)
{
    std::vector<void *> rejected; /* kept reserved, so that a host naming no window is offered others */
    int32_t status = kStatusConflictingAddresses;
    void *reservation = nullptr;
    for (int attempt = 0; attempt < kHelloAttempts && status == kStatusConflictingAddresses; ++attempt) {
        reservation = ReserveProposal(inProcess);
        if (reservation == nullptr) {
            status = kStatusNoMemory;
            break;
        }
        uint8_t buffer[kMaxMessageBytes + 1];
        size_t length = EncodeHello(buffer, (uint64_t)(uintptr_t)reservation);
        bool sent;
        {
            std::lock_guard<std::mutex> guard(sendLock);
            sent = send(descriptor, buffer, length, MSG_NOSIGNAL) == (ssize_t)length;
        }
        // A host that refused the connection sent its answer before closing it: the
        // answer is there to read even when the hello could not be sent.
        int memory = -1;
        ssize_t received =
            ReceiveWithDescriptor(descriptor, buffer, sizeof(buffer), &memory, sent ? kWelcomeTimeoutMs : 0);
        bool timedOut = received < 0 && errno == ETIMEDOUT && sent;
        HostMessage message;
        if (received <= 0 || DecodeHostMessage(buffer, (size_t)received, &message) != DecodeError::None ||
            message.kind != Kind::Welcome) {
            if (memory >= 0)
                close(memory);
            if (timedOut)
                status = kStatusTimeout;
            else if (received <= 0)
                status = kStatusDisconnected; /* the host closed the connection: nothing to wait for */
            else
                status = kStatusUnsuccessful;
            break;
        }
        status = message.welcome.status;
        if (status == kStatusConflictingAddresses) {
            if (memory >= 0)
                close(memory);
            if (UsableWindow(message.welcome)) {
                windowBase = message.welcome.userSpaceAddress;
                windowBytes = message.welcome.userSpaceBytes;
                if (!inProcess)
                    munmap(reservation, kUserSpaceBytes);
            } else {
                windowBytes = 0;
                if (!inProcess)
                    rejected.push_back(reservation);
            }
            reservation = nullptr;
            continue;
        }
        if (status != kStatusSuccess || memory < 0 ||
            message.welcome.userSpaceAddress != (uint64_t)(uintptr_t)reservation ||
            message.welcome.userSpaceBytes != kUserSpaceBytes) {
            if (memory >= 0)
                close(memory);
            if (status == kStatusSuccess)
                status = kStatusUnsuccessful;
            break;
        }
        if (!inProcess &&
            mmap(reservation, kUserSpaceBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, memory, 0) == MAP_FAILED)
            status = kStatusNoMemory;
        close(memory);
        if (status == kStatusSuccess) {
            auto space = std::make_unique<UserSpace>();
            space->base = static_cast<uint8_t *>(reservation);
            space->size = kUserSpaceBytes;
            space->mappedHere = !inProcess;
            // The first page stays unused: no user buffer starts at the space's base.
            space->freeRanges[kPageBytes] = kUserSpaceBytes - kPageBytes;
            std::lock_guard<std::mutex> guard(lock);
            spaces.push_back(std::move(space));
            processId = message.welcome.processId;
            reservation = nullptr;
        }
    }
    if (reservation != nullptr && !inProcess)
        munmap(reservation, kUserSpaceBytes);
    for (void *address : rejected)
        munmap(address, kUserSpaceBytes);
    return status;
}

/* Frees a user space that is no longer current and holds no allocation (lock held). */
void Client::State::ReleaseSpaceIfDone(size_t index)
{
    UserSpace *space = spaces[index].get();
    bool current = connected && index + 1 == spaces.size();
    if (current || !space->used.empty())
        return;
    if (space->mappedHere)
        munmap(space->base, space->size);
    spaces.erase(spaces.begin() + (ptrdiff_t)index);
}

Client::Client(std::string socketPath) : state_(std::make_unique<State>())
{
    state_->socketPath = std::move(socketPath);
}

Client::~Client()
{
    Disconnect();
    if (state_->reader.joinable())
        state_->reader.join();
    if (state_->fd >= 0)
        close(state_->fd);
    for (auto &space : state_->spaces)
        if (space->mappedHere)
            munmap(space->base, space->size);
}

int32_t Client::Connect()
{
    State &s = *state_;
    std::lock_guard<std::mutex> connecting(s.connectLock);
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.connected)
            return kStatusSuccess;
    }
    // An earlier connection that broke: its reader has finished or is finishing.
    if (s.reader.joinable())
        s.reader.join();
    {
        std::lock_guard<std::mutex> guard(s.sendLock);
        if (s.fd >= 0)
            close(s.fd);
        s.fd = -1;
    }

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (s.socketPath.size() >= sizeof(address.sun_path))
        return kStatusHostNotRunning;
    std::memcpy(address.sun_path, s.socketPath.c_str(), s.socketPath.size() + 1);
    int descriptor = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (descriptor < 0)
        return kStatusNoMemory;
    if (connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        int error = errno;
        close(descriptor);
        if (error == EACCES || error == EPERM)
            return kStatusAccessDenied;
        // No socket, or one nobody listens on (a host that is gone left it): not running.
        return kStatusHostNotRunning;
    }
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        close(descriptor);
        return kStatusUnsuccessful;
    }
    // Whoever answers here sees every request and shapes every reply: only a host run by
    // root or by this very user is trusted with them.
    if (peer.uid != 0 && peer.uid != geteuid()) {
        close(descriptor);
        return kStatusAccessDenied;
    }
    int32_t status = s.Handshake(descriptor, peer.pid == getpid());
    if (status != kStatusSuccess) {
        close(descriptor);
        return status;
    }
    std::thread reader;
    try {
        reader = std::thread(&State::Read, &s, descriptor);
    } catch (const std::system_error &) {
        close(descriptor); /* the host ends the process it made */
        return kStatusNoMemory;
    }
    {
        std::lock_guard<std::mutex> sending(s.sendLock);
        s.fd = descriptor;
    }
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.connected = true;
        s.generation++;
    }
    s.reader = std::move(reader);
    return kStatusSuccess;
}

void Client::SetSocketPath(const std::string &socketPath)
{
    std::lock_guard<std::mutex> connecting(state_->connectLock);
    state_->socketPath = socketPath;
}

bool Client::Connected() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->connected;
}

uint64_t Client::Generation() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->generation;
}

uint32_t Client::ProcessId() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->connected ? state_->processId : 0;
}

int32_t Client::Call(CallNumber number, const uint64_t *arguments, uint32_t argumentCount, uint64_t tag,
                     uint64_t *requestId)
{
    State &s = *state_;
    Pending call;
    call.tag = tag;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.connected)
            return kStatusInvalidHandle;
        call.id = s.nextId++;
        s.pending[call.id] = &call;
    }
    if (requestId != nullptr)
        *requestId = call.id;
    uint8_t buffer[kMaxMessageBytes];
    if (!s.Send(buffer, EncodeCall(buffer, call.id, number, arguments, argumentCount))) {
        std::lock_guard<std::mutex> guard(s.lock);
        s.pending.erase(call.id);
        return kStatusDisconnected;
    }
    std::unique_lock<std::mutex> guard(s.lock);
    call.wake.wait(guard, [&call] { return call.done; });
    return call.status;
}

size_t Client::Cancel(uint64_t requestId)
{
    State &s = *state_;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.connected || s.pending.count(requestId) == 0)
            return 0;
    }
    uint8_t buffer[kMaxMessageBytes];
    return s.Send(buffer, EncodeCancel(buffer, requestId)) ? 1 : 0;
}

size_t Client::CancelTagged(uint64_t tag)
{
    State &s = *state_;
    std::vector<uint64_t> ids;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        for (const auto &[id, call] : s.pending)
            if (call->tag == tag)
                ids.push_back(id);
    }
    size_t asked = 0;
    for (uint64_t id : ids)
        asked += Cancel(id);
    return asked;
}

size_t Client::CallsInFlight() const
{
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->pending.size();
}

void *Client::Allocate(size_t bytes)
{
    State &s = *state_;
    size_t need = (bytes + kGranule - 1) & ~(kGranule - 1);
    if (need == 0)
        need = kGranule;
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.connected || s.spaces.empty())
        return nullptr;
    UserSpace &space = *s.spaces.back();
    for (auto it = space.freeRanges.begin(); it != space.freeRanges.end(); ++it) {
        if (it->second < need)
            continue;
        size_t offset = it->first;
        size_t left = it->second - need;
        space.freeRanges.erase(it);
        if (left != 0)
            space.freeRanges[offset + need] = left;
        space.used[offset] = need;
        return space.base + offset;
    }
    return nullptr;
}

void Client::Release(void *address)
{
    if (address == nullptr)
        return;
    State &s = *state_;
    auto *p = static_cast<uint8_t *>(address);
    std::lock_guard<std::mutex> guard(s.lock);
    for (size_t index = 0; index < s.spaces.size(); ++index) {
        UserSpace &space = *s.spaces[index];
        if (p < space.base || p >= space.base + space.size)
            continue;
        size_t offset = (size_t)(p - space.base);
        auto it = space.used.find(offset);
        if (it == space.used.end())
            return;
        size_t length = it->second;
        space.used.erase(it);
        auto next = space.freeRanges.lower_bound(offset);
        if (next != space.freeRanges.end() && next->first == offset + length) {
            length += next->second;
            space.freeRanges.erase(next);
        }
        auto previous = space.freeRanges.lower_bound(offset);
        if (previous != space.freeRanges.begin() && std::prev(previous)->first + std::prev(previous)->second == offset)
            std::prev(previous)->second += length;
        else
            space.freeRanges[offset] = length;
        s.ReleaseSpaceIfDone(index);
        return;
    }
}

void Client::Disconnect()
{
    std::lock_guard<std::mutex> guard(state_->sendLock);
    if (state_->fd >= 0)
        shutdown(state_->fd, SHUT_RDWR);
}

} // namespace transport
