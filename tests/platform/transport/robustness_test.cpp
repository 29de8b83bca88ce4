/*
 * What a hostile or broken client can do to the host: nothing but lose its own
 * connection. Malformed and truncated datagrams, calls before the hello,
 * descriptors passed in, pointers outside the client's user space, arguments
 * rewritten while the call runs, addresses probed to map the host's memory, and
 * text of its own smuggled into the host's log.
 */
#include "transport_test.h"

#include "server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

using namespace transporttest;
using transport::kMaxMessageBytes;

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
    size_t hello = transport::EncodeHello(buffer, transport::kLowestUserAddress);
    cases.push_back({"a second hello", std::vector<uint8_t>(buffer, buffer + hello), true});

    uint64_t refusedBefore = server_->Statistics().connectionsRefused;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        RawConnection raw(socketPath_);
        ASSERT_TRUE(raw.connected());
        if (c.hello) {
            ASSERT_NE(0u, raw.Welcomed());
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
    size_t n = transport::EncodeHello(buffer, transport::kLowestUserAddress);
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

TEST_F(Robustness, ProbedAddressesRevealNothingOfTheHostsMemory)
{
    // What lies in this process (the host's) at a proposed address: its heap, its stack, a
    // mapping of its own, or nothing at all.
    auto heap = std::make_unique<uint8_t[]>(1 << 20);
    uint8_t stack[64];
    void *mapped = mmap(nullptr, transport::kUserSpaceBytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, mapped);
    void *unmapped = mmap(nullptr, transport::kUserSpaceBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_EQ(0, munmap(unmapped, transport::kUserSpaceBytes));
    // A proposal whose user space covers p: its page, or, near the top of the address space
    // (where the stack may lie), the highest proposal that still reaches it.
    auto page = [](const void *p) {
        uint64_t at = (uint64_t)(uintptr_t)p & ~(transport::kPageBytes - 1);
        return std::min(at, transport::kUserAddressLimit - transport::kUserSpaceBytes);
    };
    const uint64_t probes[] = {page(heap.get()), page(stack), page(mapped), page(unmapped), transport::kLowestUserAddress,
                               transport::kUserAddressLimit - transport::kUserSpaceBytes};

    RawConnection raw(socketPath_);
    transport::WelcomeBody first;
    ASSERT_TRUE(raw.Hello(probes[0], &first));
    EXPECT_EQ(transport::kStatusConflictingAddresses, first.status);
    // The answer names the window and nothing else, whatever the probe met.
    const uint64_t windowBase = first.userSpaceAddress, windowBytes = first.userSpaceBytes;
    EXPECT_GE(windowBytes, 4 * transport::kUserSpaceBytes);
    EXPECT_EQ(0u, windowBase % transport::kUserSpaceBytes);
    for (uint64_t probe : probes) {
        transport::WelcomeBody answer;
        ASSERT_TRUE(raw.Hello(probe, &answer)) << std::hex << probe;
        EXPECT_EQ(transport::kStatusConflictingAddresses, answer.status);
        EXPECT_EQ(windowBase, answer.userSpaceAddress);
        EXPECT_EQ(windowBytes, answer.userSpaceBytes);
        EXPECT_EQ(0u, answer.processId);
    }
    // Inside the window only slots will do, and only free ones.
    auto other = std::make_unique<transport::Client>(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, other->Connect());
    void *held = other->Allocate(16);
    uint64_t slot = windowBase + ((uint64_t)(uintptr_t)held - windowBase) / transport::kUserSpaceBytes *
                                     transport::kUserSpaceBytes;
    for (uint64_t probe : {slot, slot + transport::kPageBytes}) {
        transport::WelcomeBody answer;
        ASSERT_TRUE(raw.Hello(probe, &answer));
        EXPECT_EQ(transport::kStatusConflictingAddresses, answer.status);
        EXPECT_EQ(windowBase, answer.userSpaceAddress);
    }
    // A user space given back stays reserved: nothing else of the host's lands there, and
    // the next client gets it.
    other->Release(held);
    other.reset();
    ASSERT_TRUE(Eventually([&] { return !machine::UserSpaceInUse((void *)(uintptr_t)slot, transport::kUserSpaceBytes); }));
    void *taken = mmap(reinterpret_cast<void *>((uintptr_t)slot), transport::kPageBytes, PROT_READ,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    EXPECT_EQ(MAP_FAILED, taken);
    transport::WelcomeBody answer;
    int memory = -1;
    ASSERT_TRUE(raw.Hello(slot, &answer, &memory));
    EXPECT_EQ(0, answer.status);
    ASSERT_GE(memory, 0);
    // The user space is sealed: a client cannot shrink it under the host.
    EXPECT_NE(0, ftruncate(memory, 4096));
    close(memory);
    munmap(mapped, transport::kUserSpaceBytes);
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

/* The host's log, as a test sees it. */
std::mutex logLock;
std::vector<std::string> logLines;

class HostLog : public Robustness {
protected:
    void SetUp() override
    {
        {
            std::lock_guard<std::mutex> guard(logLock);
            logLines.clear();
        }
        Robustness::SetUp();
    }
    void ConfigureServer(transport::ServerOptions &options) override
    {
        options.log = [](const char *line) {
            std::lock_guard<std::mutex> guard(logLock);
            logLines.push_back(line);
        };
        options.logBurst = 5;
        options.logWindowMs = 2000;
    }
    std::vector<std::string> LinesWith(const char *text)
    {
        std::lock_guard<std::mutex> guard(logLock);
        std::vector<std::string> found;
        for (const std::string &line : logLines)
            if (line.find(text) != std::string::npos)
                found.push_back(line);
        return found;
    }
    /* A connection that sends garbage and is ended for it. */
    void Misbehave()
    {
        RawConnection raw(socketPath_);
        raw.Send("garbage that is no message of any kind", 38);
        EXPECT_TRUE(raw.Ended());
    }
};

TEST_F(HostLog, AClientsOwnNameReachesTheLogOnlyEscaped)
{
    // This process is the client: its name is what the host reads for the peer.
    char saved[17] = {};
    prctl(PR_GET_NAME, saved);
    ASSERT_EQ(0, prctl(PR_SET_NAME, "a\nb\x1b[2J\\x41\xc3\xa9\x7f"));
    Misbehave();
    prctl(PR_SET_NAME, saved);
    ASSERT_TRUE(Eventually([&] { return LinesWith("refused a message").size() == 1; }));
    std::string line = LinesWith("refused a message")[0];
    EXPECT_NE(std::string::npos, line.find("a\\x0Ab\\x1B[2J\\x5Cx41\\xC3\\xA9\\x7F (pid ")) << line;
    for (char c : line)
        EXPECT_TRUE(c >= 0x20 && c < 0x7F) << line;
}

TEST_F(HostLog, RefusalsAreLoggedAFewAtATimeAndTheRestSummedUp)
{
    constexpr int kRefusals = 20;
    for (int i = 0; i < kRefusals; ++i)
        Misbehave();
    ASSERT_TRUE(Eventually([&] { return server_->Statistics().connectionsRefused == kRefusals; }));
    EXPECT_EQ(5u, LinesWith("refused a message").size());
    EXPECT_EQ(15u, server_->Statistics().logLinesSuppressed);
    // The count is written when the user's window closes, unasked.
    ASSERT_TRUE(Eventually([&] { return LinesWith("15 more refusals from uid 0 suppressed").size() == 1; }));
    // A new window: refusals are logged again.
    Misbehave();
    EXPECT_TRUE(Eventually([&] { return LinesWith("refused a message").size() == 6; }));
    ExpectHostServes();
}

} // namespace
