/*
 * hostile-client: a local user misbehaving against a running host, for the
 * end-to-end defence tests. It reaches the host at $VOREL_RUNTIME_DIR/vorel.sock.
 *
 *   hostile-client MODE COUNT SECONDS [NAME]
 *     idle      COUNT connections that never say hello; held SECONDS
 *     held      COUNT connections that say hello, then nothing; held SECONDS
 *     badhello  COUNT connections, each sending a malformed datagram and going
 *     huge      COUNT threads sending 63 MiB buffered device controls for SECONDS
 *     unread    COUNT welcomed connections sending calls for SECONDS, never reading a reply
 *     wait      COUNT connections, each with 64 waits that never end; held SECONDS
 *     hang      one call that waits forever; prints its status when it ends (the host went)
 *   NAME sets the process name the host sees (control characters included).
 *
 * It prints one line of counts when it is done, "key=value ...".
 */
#include <wdm.h>

#include "client.h"
#include "wire.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using transport::CallNumber;

std::string SocketPath()
{
    return transport::DefaultSocketPath();
}

int ConnectRaw()
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = SocketPath();
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

/* The next datagram from the host within the time; closes any descriptor it carries. */
bool ReceiveHostMessage(int fd, int milliseconds, transport::HostMessage *message)
{
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, milliseconds) != 1)
        return false;
    uint8_t buffer[transport::kMaxMessageBytes];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    iovec part{buffer, sizeof(buffer)};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
    ssize_t received = recvmsg(fd, &header, MSG_CMSG_CLOEXEC);
    for (cmsghdr *c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(c), sizeof(int));
            close(passed);
        }
    }
    return received > 0 && transport::DecodeHostMessage(buffer, (size_t)received, message) ==
                               transport::DecodeError::None;
}

/* A raw connection the host has welcomed (its user space is never mapped here); -1 when refused. */
int ConnectWelcomed()
{
    int fd = ConnectRaw();
    if (fd < 0)
        return -1;
    void *probe = mmap(nullptr, transport::kUserSpaceBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    uint64_t address = (uint64_t)(uintptr_t)probe;
    munmap(probe, transport::kUserSpaceBytes);
    for (int attempt = 0; attempt < 16; ++attempt) {
        uint8_t buffer[transport::kMaxMessageBytes];
        size_t length = transport::EncodeHello(buffer, address);
        transport::HostMessage answer;
        if (send(fd, buffer, length, MSG_NOSIGNAL) != (ssize_t)length || !ReceiveHostMessage(fd, 5000, &answer))
            break;
        if (answer.welcome.status == 0)
            return fd;
        if (answer.welcome.status != transport::kStatusConflictingAddresses || answer.welcome.userSpaceBytes == 0)
            break;
        // The host keeps user spaces in a window of its own and said where it is.
        uint64_t slots = answer.welcome.userSpaceBytes / transport::kUserSpaceBytes;
        address = answer.welcome.userSpaceAddress + (uint64_t)(random() % (long)slots) * transport::kUserSpaceBytes;
    }
    close(fd);
    return -1;
}

struct Counts {
    std::atomic<uint64_t> opened{0}, refused{0}, dropped{0}, calls{0}, lackedResources{0}, failed{0};
};

void Print(const char *mode, const Counts &counts)
{
    std::printf("%s opened=%llu refused=%llu dropped=%llu calls=%llu lacked=%llu failed=%llu\n", mode,
                (unsigned long long)counts.opened, (unsigned long long)counts.refused,
                (unsigned long long)counts.dropped, (unsigned long long)counts.calls,
                (unsigned long long)counts.lackedResources, (unsigned long long)counts.failed);
    std::fflush(stdout);
}

/* Connections that never say hello: how many the host took, how many it refused at
 * once (with a busy welcome), and how many it dropped while they were held. */
void Idle(int count, int seconds, Counts *counts)
{
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        int fd = ConnectRaw();
        if (fd < 0)
            counts->failed++;
        else
            fds.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<int> held;
    for (int fd : fds) {
        transport::HostMessage answer;
        if (ReceiveHostMessage(fd, 0, &answer) || recv(fd, nullptr, 0, MSG_DONTWAIT) == 0) {
            counts->refused++;
            close(fd);
        } else {
            counts->opened++;
            held.push_back(fd);
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (int fd : held) {
        char byte;
        if (recv(fd, &byte, 1, MSG_DONTWAIT) == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            counts->dropped++;
        close(fd);
    }
}

/* count welcomed connections (the refused ones counted), then "ready". */
std::vector<int> OpenWelcomed(int count, Counts *counts)
{
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        int fd = ConnectWelcomed();
        if (fd < 0) {
            counts->refused++;
            continue;
        }
        counts->opened++;
        fds.push_back(fd);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return fds;
}

/* Welcomed connections that then do nothing, as an idle program keeps them. */
void Held(int count, int seconds, Counts *counts)
{
    std::vector<int> fds = OpenWelcomed(count, counts);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (int fd : fds)
        close(fd);
}

void BadHello(int count, Counts *counts)
{
    for (int i = 0; i < count; ++i) {
        int fd = ConnectRaw();
        if (fd < 0) {
            counts->failed++;
            continue;
        }
        counts->opened++;
        const char garbage[] = "\x01\x02 not a hello";
        (void)!send(fd, garbage, sizeof(garbage), MSG_NOSIGNAL);
        transport::HostMessage answer;
        ReceiveHostMessage(fd, 200, &answer);
        close(fd);
    }
}

/* NtCreateFile of \??\Vorel through a client; null handle when refused. */
HANDLE OpenControlDevice(transport::Client &client)
{
    struct Staged {
        OBJECT_ATTRIBUTES attributes;
        UNICODE_STRING name;
        WCHAR text[16];
        HANDLE handle;
        IO_STATUS_BLOCK iosb;
    };
    auto *staged = static_cast<Staged *>(client.Allocate(sizeof(Staged)));
    if (staged == nullptr)
        return nullptr;
    std::memset(staged, 0, sizeof(*staged));
    const char path[] = "\\??\\Vorel";
    for (size_t i = 0; i < sizeof(path) - 1; ++i)
        staged->text[i] = (WCHAR)path[i];
    staged->name.Buffer = staged->text;
    staged->name.Length = staged->name.MaximumLength = (USHORT)((sizeof(path) - 1) * sizeof(WCHAR));
    InitializeObjectAttributes(&staged->attributes, &staged->name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    uint64_t arguments[11] = {(uint64_t)(uintptr_t)&staged->handle, SYNCHRONIZE, (uint64_t)(uintptr_t)&staged->attributes,
                              (uint64_t)(uintptr_t)&staged->iosb, 0, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                              FILE_SYNCHRONOUS_IO_NONALERT, 0, 0};
    NTSTATUS status = client.Call(CallNumber::NtCreateFile, arguments, 11);
    HANDLE handle = NT_SUCCESS(status) ? staged->handle : nullptr;
    client.Release(staged);
    return handle;
}

/* Threads sending buffered device controls of 63 MiB in and out, all from one buffer. */
void Huge(int count, int seconds, Counts *counts)
{
    transport::Client client(SocketPath());
    HANDLE device = client.Connect() == 0 ? OpenControlDevice(client) : nullptr;
    constexpr ULONG kBytes = 63u << 20;
    auto *buffer = static_cast<uint8_t *>(device != nullptr ? client.Allocate(kBytes + 64) : nullptr);
    if (buffer == nullptr) {
        counts->failed++;
        return;
    }
    auto *iosb = reinterpret_cast<IO_STATUS_BLOCK *>(buffer);
    uint8_t *data = buffer + 64;
    // A buffered code the driver does not serve: the I/O manager still buffers both ways.
    const ULONG code = CTL_CODE(0x8123, 0xFFE, METHOD_BUFFERED, FILE_ANY_ACCESS);
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&] {
            while (Clock::now() < deadline) {
                uint64_t arguments[10] = {(uint64_t)(uintptr_t)device, 0, 0, 0, (uint64_t)(uintptr_t)iosb, code,
                                          (uint64_t)(uintptr_t)data, kBytes, (uint64_t)(uintptr_t)data, kBytes};
                NTSTATUS status = client.Call(CallNumber::NtDeviceIoControlFile, arguments, 10);
                counts->calls++;
                if (status == STATUS_INSUFFICIENT_RESOURCES)
                    counts->lackedResources++;
                if (status == transport::kStatusDisconnected) {
                    counts->dropped++;
                    return;
                }
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
}

/* Calls sent as fast as the socket takes them; no reply is ever read. */
void Unread(int count, int seconds, Counts *counts)
{
    std::vector<int> fds = OpenWelcomed(count, counts);
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    uint64_t id = 1;
    std::vector<bool> gone(fds.size(), false);
    while (Clock::now() < deadline) {
        bool sentAny = false;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (gone[i])
                continue;
            uint8_t buffer[transport::kMaxMessageBytes];
            uint64_t arguments[1] = {0x1234};
            size_t length = transport::EncodeCall(buffer, id++, CallNumber::NtClose, arguments, 1);
            ssize_t sent = send(fds[i], buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent == (ssize_t)length) {
                counts->calls++;
                sentAny = true;
            } else if (sent < 0 && errno != EAGAIN) {
                gone[i] = true;
                counts->dropped++;
            }
        }
        if (!sentAny)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (int fd : fds)
        close(fd);
}

/* Waits on an event nobody sets: each holds a call of the host until the connection ends. */
void Wait(int count, int seconds, Counts *counts)
{
    std::vector<std::unique_ptr<transport::Client>> clients;
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        auto client = std::make_unique<transport::Client>(SocketPath());
        int32_t status = client->Connect();
        if (status != 0) {
            counts->refused++;
            continue;
        }
        counts->opened++;
        auto *event = static_cast<HANDLE *>(client->Allocate(sizeof(HANDLE)));
        uint64_t create[5] = {(uint64_t)(uintptr_t)event, EVENT_ALL_ACCESS, 0, NotificationEvent, 0};
        NTSTATUS created = event == nullptr ? STATUS_NO_MEMORY : client->Call(CallNumber::NtCreateEvent, create, 5);
        if (created != 0) {
            /* This user's other connections may already hold its share: the refusal is the defence. */
            if (created == STATUS_INSUFFICIENT_RESOURCES)
                counts->lackedResources++;
            else
                counts->failed++;
            continue;
        }
        for (int j = 0; j < 64; ++j) {
            threads.emplace_back([client = client.get(), handle = *event, counts] {
                uint64_t arguments[3] = {(uint64_t)(uintptr_t)handle, 0, 0};
                NTSTATUS status = client->Call(CallNumber::NtWaitForSingleObject, arguments, 3);
                counts->calls++;
                if (status == STATUS_INSUFFICIENT_RESOURCES)
                    counts->lackedResources++;
            });
        }
        clients.push_back(std::move(client));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    for (auto &client : clients)
        client->Disconnect();
    for (auto &thread : threads)
        thread.join();
}

/* One wait that ends only when the host goes: prints the status the call got. */
void Hang()
{
    transport::Client client(SocketPath());
    if (client.Connect() != 0) {
        std::printf("status=connect-failed\n");
        return;
    }
    auto *event = static_cast<HANDLE *>(client.Allocate(sizeof(HANDLE)));
    uint64_t create[5] = {(uint64_t)(uintptr_t)event, EVENT_ALL_ACCESS, 0, NotificationEvent, 0};
    if (client.Call(CallNumber::NtCreateEvent, create, 5) != 0) {
        std::printf("status=create-failed\n");
        return;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    uint64_t arguments[3] = {(uint64_t)(uintptr_t)*event, 0, 0};
    NTSTATUS status = client.Call(CallNumber::NtWaitForSingleObject, arguments, 3);
    std::printf("status=0x%08X\n", (unsigned)status);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: hostile-client idle|held|badhello|huge|unread|wait|hang COUNT SECONDS [NAME]\n");
        return 2;
    }
    std::string mode = argv[1];
    int count = std::atoi(argv[2]);
    int seconds = std::atoi(argv[3]);
    if (argc > 4)
        prctl(PR_SET_NAME, argv[4], 0, 0, 0);
    srandom((unsigned)getpid());
    Counts counts;
    if (mode == "idle")
        Idle(count, seconds, &counts);
    else if (mode == "held")
        Held(count, seconds, &counts);
    else if (mode == "badhello")
        BadHello(count, &counts);
    else if (mode == "huge")
        Huge(count, seconds, &counts);
    else if (mode == "unread")
        Unread(count, seconds, &counts);
    else if (mode == "wait")
        Wait(count, seconds, &counts);
    else if (mode == "hang")
        Hang();
    else
        return 2;
    if (mode != "hang")
        Print(mode.c_str(), counts);
    return 0;
}
