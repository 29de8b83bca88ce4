/*
 * What a hostile or broken client can do to the host: nothing but lose its own
 * connection. Malformed and truncated datagrams, calls before the hello,
 * descriptors passed in, pointers outside the client's user space, arguments
 * rewritten while the call runs, and an address the host cannot map.
 */
#include "transport_test.h"

#include "server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace transporttest;
using transport::kMaxMessageBytes;

/* A free address for a user space in this process (which is the host's). */
uint64_t FreeAddress()
{
    void *probe = mmap(nullptr, transport::kUserSpaceBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(probe, transport::kUserSpaceBytes);
    return (uint64_t)(uintptr_t)probe;
}

/* A connection that speaks the protocol by hand. */
class RawConnection {
public:
    explicit RawConnection(const std::string &path)
    {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    }
    ~RawConnection() { close(fd_); }
    bool connected() const { return connected_; }
    bool Send(const void *data, size_t length) { return send(fd_, data, length, MSG_NOSIGNAL) == (ssize_t)length; }
    /* A datagram (its size), 0 when the host closed the connection, -1 on time-out. */
    ssize_t Receive(void *buffer, size_t size, int *descriptor = nullptr, int timeoutMs = 5000)
    {
        pollfd wait{fd_, POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) <= 0)
            return -1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        iovec part{buffer, size};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        if (n > 0 && header != nullptr && header->cmsg_type == SCM_RIGHTS) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(header), sizeof(int));
            if (descriptor != nullptr)
                *descriptor = passed;
            else
                close(passed);
        }
        return n;
    }
    /* Says hello until welcomed. In the host's own process a probed free range can be
     * taken (by a new thread's stack) before the host maps it: then it proposes again. */
    bool Welcomed()
    {
        for (int attempt = 0; attempt < 8; ++attempt) {
            uint8_t buffer[kMaxMessageBytes + 1];
            if (!Send(buffer, transport::EncodeHello(buffer, FreeAddress())))
                return false;
            ssize_t got = Receive(buffer, sizeof(buffer));
            transport::HostMessage decoded;
            if (got <= 0 || transport::DecodeHostMessage(buffer, (size_t)got, &decoded) != transport::DecodeError::None)
                return false;
            if (decoded.welcome.status == 0)
                return true;
            if (decoded.welcome.status != transport::kStatusConflictingAddresses)
                return false;
        }
        return false;
    }
    /* Whether the host has ended the connection. */
    bool Ended()
    {
        uint8_t buffer[kMaxMessageBytes + 1];
        return Receive(buffer, sizeof(buffer)) == 0;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool connected_ = false;
};

class Robustness : public testhost::TestHost {
protected:
    /* A well-behaved client keeps being served whatever the others do. */
    void ExpectHostServes()
    {
        transport::Client client(socketPath_);
        ASSERT_EQ(transport::kStatusSuccess, client.Connect());
        HANDLE handle = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(client, &handle));
        char back = 0;
        EXPECT_EQ(STATUS_SUCCESS, Control(client, handle, testhost::kEcho, "z", 1, &back, 1));
        EXPECT_EQ('z', back);
        EXPECT_EQ(STATUS_SUCCESS, Close(client, handle));
    }
};

TEST_F(Robustness, MalformedTruncatedAndOutOfTurnMessagesEndOnlyTheirConnection)
{
    uint8_t buffer[kMaxMessageBytes + 64] = {};
    uint64_t arguments[1] = {4};
    size_t call = transport::EncodeCall(buffer, 1, transport::CallNumber::NtClose, arguments, 1);
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        bool hello;
    };
    std::vector<Case> cases;
    cases.push_back({"garbage", std::vector<uint8_t>(40, 0xEE), false});
    cases.push_back({"a call before the hello", std::vector<uint8_t>(buffer, buffer + call), false});
    cases.push_back({"a truncated call", std::vector<uint8_t>(buffer, buffer + call - 3), true});
    cases.push_back({"an empty datagram", std::vector<uint8_t>(), true});
    cases.push_back({"an oversized datagram", std::vector<uint8_t>(kMaxMessageBytes + 50, 0), true});
    size_t hello = transport::EncodeHello(buffer, FreeAddress());
    cases.push_back({"a second hello", std::vector<uint8_t>(buffer, buffer + hello), true});

    uint64_t refusedBefore = server_->Statistics().connectionsRefused;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        RawConnection raw(socketPath_);
        ASSERT_TRUE(raw.connected());
        if (c.hello) {
            ASSERT_TRUE(raw.Welcomed());
        }
        raw.Send(c.bytes.data(), c.bytes.size());
        EXPECT_TRUE(raw.Ended());
    }
    // An empty datagram reads as the end of the stream: that connection ends without a refusal.
    EXPECT_EQ(refusedBefore + cases.size() - 1, server_->Statistics().connectionsRefused);
    ExpectHostServes();
}

TEST_F(Robustness, ADescriptorPassedToTheHostIsClosedAndRefused)
{
    RawConnection raw(socketPath_);
    ASSERT_TRUE(raw.connected());
    uint8_t buffer[kMaxMessageBytes];
    size_t n = transport::EncodeHello(buffer, FreeAddress());
    int pipeEnds[2];
    ASSERT_EQ(0, pipe(pipeEnds));
    iovec part{buffer, n};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof(control);
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &pipeEnds[1], sizeof(int));
    ASSERT_EQ((ssize_t)n, sendmsg(raw.fd(), &message, MSG_NOSIGNAL));
    close(pipeEnds[1]);
    EXPECT_TRUE(raw.Ended());
    // The host kept no copy of the write end: the read end sees the pipe's end.
    char byte;
    EXPECT_EQ(0, read(pipeEnds[0], &byte, 1));
    close(pipeEnds[0]);
    ExpectHostServes();
}

TEST_F(Robustness, AnAddressTheHostCannotMapIsRefusedAndAnotherIsTaken)
{
    // A range this process (the host) already uses.
    void *taken = mmap(nullptr, transport::kUserSpaceBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, taken);
    RawConnection raw(socketPath_);
    uint8_t buffer[kMaxMessageBytes + 1];
    ASSERT_TRUE(raw.Send(buffer, transport::EncodeHello(buffer, (uint64_t)(uintptr_t)taken)));
    transport::HostMessage decoded;
    ssize_t got = raw.Receive(buffer, sizeof(buffer));
    ASSERT_GT(got, 0);
    ASSERT_EQ(transport::DecodeError::None, transport::DecodeHostMessage(buffer, (size_t)got, &decoded));
    EXPECT_EQ(transport::kStatusConflictingAddresses, decoded.welcome.status);
    // The same connection proposes again (and again, should a new thread's stack take
    // the probed range first).
    uint64_t address = 0;
    int memory = -1;
    for (int attempt = 0; attempt < 8 && memory < 0; ++attempt) {
        address = FreeAddress();
        ASSERT_TRUE(raw.Send(buffer, transport::EncodeHello(buffer, address)));
        got = raw.Receive(buffer, sizeof(buffer), &memory);
        ASSERT_GT(got, 0);
        ASSERT_EQ(transport::DecodeError::None, transport::DecodeHostMessage(buffer, (size_t)got, &decoded));
    }
    EXPECT_EQ(0, decoded.welcome.status);
    EXPECT_EQ(address, decoded.welcome.userSpaceAddress);
    EXPECT_GE(memory, 0);
    // The user space is sealed: a client cannot shrink it under the host.
    EXPECT_NE(0, ftruncate(memory, 4096));
    close(memory);
    munmap(taken, transport::kUserSpaceBytes);
}

TEST_F(Robustness, PointersOutsideTheUserSpaceAreRefusedAsAccessViolations)
{
    transport::Client client(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, client.Connect());
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(client, &handle));
    // Memory of the host itself (this process's stack), and addresses mapped nowhere.
    uint8_t hostMemory[64] = {};
    auto *iosb = static_cast<IO_STATUS_BLOCK *>(client.Allocate(sizeof(IO_STATUS_BLOCK)));
    auto *inside = static_cast<uint8_t *>(client.Allocate(64));
    const uint64_t outsides[] = {Arg(hostMemory), 0x10, 0x7ffffffff000ull, 0xffff800000000000ull};
    for (uint64_t outside : outsides) {
        uint64_t input[10] = {Arg(handle), 0, 0, 0, Arg(iosb), testhost::kEcho, outside, 8, Arg(inside), 8};
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, client.Call(transport::CallNumber::NtDeviceIoControlFile, input, 10));
        uint64_t output[10] = {Arg(handle), 0, 0, 0, Arg(iosb), testhost::kEcho, Arg(inside), 8, outside, 8};
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, client.Call(transport::CallNumber::NtDeviceIoControlFile, output, 10));
        uint64_t status[10] = {Arg(handle), 0, 0, 0, outside, testhost::kEcho, Arg(inside), 8, Arg(inside), 8};
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, client.Call(transport::CallNumber::NtDeviceIoControlFile, status, 10));
        uint64_t open[11] = {Arg(inside), GENERIC_READ, outside, Arg(iosb), 0, 0, 0, FILE_OPEN, 0, 0, 0};
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, client.Call(transport::CallNumber::NtCreateFile, open, 11));
    }
    EXPECT_TRUE(std::all_of(hostMemory, hostMemory + sizeof(hostMemory), [](uint8_t b) { return b == 0; }));
    client.Release(iosb);
    client.Release(inside);
    EXPECT_EQ(STATUS_SUCCESS, Close(client, handle));
}

TEST_F(Robustness, ArgumentsRewrittenDuringTheCallNeverLeadTheHostOutsideTheUserSpace)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the race on user memory is this test's point; ThreadSanitizer reports it as such";
#endif
    transport::Client client(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, client.Connect());
    struct Block {
        HANDLE handle = nullptr;
        IO_STATUS_BLOCK iosb;
        OBJECT_ATTRIBUTES attributes;
        UNICODE_STRING name;
        WCHAR text[16];
    };
    auto *block = static_cast<Block *>(client.Allocate(sizeof(Block)));
    const char *name = "\\??\\Vorel";
    for (size_t i = 0; i < std::strlen(name); ++i)
        block->text[i] = (WCHAR)name[i];
    block->name.Length = block->name.MaximumLength = (USHORT)(std::strlen(name) * sizeof(WCHAR));
    block->name.Buffer = block->text;
    InitializeObjectAttributes(&block->attributes, &block->name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);

    // Another thread of the client flips the name between good and pointing into the host.
    static uint8_t hostSecret[4096];
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        auto *volatile nameSlot = &block->attributes.ObjectName;
        auto *volatile bufferSlot = &block->name.Buffer;
        auto *volatile lengthSlot = &block->name.Length;
        for (unsigned i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            __atomic_store_n(nameSlot, (i & 1) ? &block->name : reinterpret_cast<PUNICODE_STRING>(hostSecret),
                             __ATOMIC_RELAXED);
            __atomic_store_n(bufferSlot, (i & 2) ? block->text : reinterpret_cast<PWCH>(hostSecret), __ATOMIC_RELAXED);
            __atomic_store_n(lengthSlot, (USHORT)((i & 4) ? 18 : 4000), __ATOMIC_RELAXED);
        }
    });
    int opened = 0;
    for (int i = 0; i < 300; ++i) {
        uint64_t arguments[11] = {Arg(&block->handle), GENERIC_READ | SYNCHRONIZE, Arg(&block->attributes),
                                  Arg(&block->iosb), 0, 0, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, 0, 0};
        NTSTATUS status = client.Call(transport::CallNumber::NtCreateFile, arguments, 11);
        if (status == STATUS_SUCCESS) {
            ++opened;
            ASSERT_EQ(STATUS_SUCCESS, Close(client, __atomic_load_n(&block->handle, __ATOMIC_RELAXED)));
        } else {
            // Whatever the name was when the host captured it; never the host's memory.
            EXPECT_TRUE(status == STATUS_ACCESS_VIOLATION || status == STATUS_OBJECT_NAME_NOT_FOUND ||
                        status == STATUS_OBJECT_NAME_INVALID || status == STATUS_OBJECT_PATH_SYNTAX_BAD ||
                        status == STATUS_OBJECT_PATH_NOT_FOUND)
                << std::hex << status;
        }
    }
    stop = true;
    flipper.join();
    client.Release(block);
    EXPECT_EQ(opened, testhost::Count().closes);
}

} // namespace
