/*
 * How the host shares itself out among local users: connections per user with a
 * reserve for root, the hello's time limit, the bytes and threads calls may hold,
 * replies to a client that stops reading, and threads the host cannot have.
 */
#include "transport_test.h"

#include "server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace {

using namespace transporttest;
using transport::CallNumber;
using transport::kMaxMessageBytes;
using transport::kUserSpaceBytes;

/* ---- Another user's process ------------------------------------------------------------ */

constexpr int kMostForeign = 16;

struct Order {
    char op = 0;   /* 'o' open, 'h' hello and an event, 'w' waits, 'r' read what came, 'q' quit */
    int count = 0;
    int index = 0;
};

struct Answer {
    int value = 0;
    char heard[kMostForeign] = {};  /* per connection: 'B' told busy, 'E' ended, 'W' welcomed, '-' nothing */
    int replies[kMostForeign] = {};
    int refusedCalls[kMostForeign] = {}; /* replies with STATUS_INSUFFICIENT_RESOURCES */
};

/* The child's side: only system calls and the protocol's encoders (the test process has threads). */
class ForeignProcess {
public:
    ForeignProcess(int control, const char *path) : control_(control), path_(path) {}

    [[noreturn]] void Serve(uid_t uid)
    {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
            _exit(3);
        for (;;) {
            Order order;
            if (recv(control_, &order, sizeof(order), 0) != (ssize_t)sizeof(order) || order.op == 'q')
                _exit(0);
            Answer answer;
            switch (order.op) {
            case 'o': answer.value = Open(order.count); break;
            case 'h': answer.value = Hello(order.index); break;
            case 'w': answer.value = Waits(order.index, order.count); break;
            case 'r': Read(&answer); break;
            default: break;
            }
            std::memcpy(answer.heard, heard_, sizeof(heard_));
            std::memcpy(answer.replies, replies_, sizeof(replies_));
            std::memcpy(answer.refusedCalls, refusedCalls_, sizeof(refusedCalls_));
            if (send(control_, &answer, sizeof(answer), MSG_NOSIGNAL) != (ssize_t)sizeof(answer))
                _exit(4);
        }
    }

private:
    int Open(int count)
    {
        int opened = 0;
        for (int i = 0; i < count && connections_ < kMostForeign; ++i) {
            int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, path_, sizeof(address.sun_path) - 1);
            if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
                close(fd);
                continue;
            }
            heard_[connections_] = '-';
            fds_[connections_++] = fd;
            ++opened;
        }
        return opened;
    }

    /* One datagram within five seconds (its size, 0 at the end, -1 for none); a passed descriptor to *memory. */
    ssize_t Receive(int fd, uint8_t *buffer, int *memory, int timeoutMs = 5000)
    {
        pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) <= 0)
            return -1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        iovec part{buffer, kMaxMessageBytes + 1};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(fd, &message, MSG_CMSG_CLOEXEC);
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        if (n > 0 && header != nullptr && header->cmsg_type == SCM_RIGHTS) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(header), sizeof(int));
            if (memory != nullptr)
                *memory = passed;
            else
                close(passed);
        }
        return n;
    }

    bool Welcome(int fd, uint64_t address, transport::WelcomeBody *welcome, int *memory)
    {
        uint8_t buffer[kMaxMessageBytes + 1];
        if (send(fd, buffer, transport::EncodeHello(buffer, address), MSG_NOSIGNAL) <= 0)
            return false;
        ssize_t n = Receive(fd, buffer, memory);
        transport::HostMessage message;
        if (n <= 0 || transport::DecodeHostMessage(buffer, (size_t)n, &message) != transport::DecodeError::None ||
            message.kind != transport::Kind::Welcome)
            return false;
        *welcome = message.welcome;
        return true;
    }

    /* Hello until welcomed (mapping the user space over this process's copy of the window),
     * then an event to wait on. The event's creation status, or -1. */
    int Hello(int index)
    {
        int fd = fds_[index];
        transport::WelcomeBody welcome;
        if (!Welcome(fd, transport::kLowestUserAddress, &welcome, nullptr))
            return -1;
        uint64_t window = welcome.userSpaceAddress, slots = welcome.userSpaceBytes / kUserSpaceBytes;
        uint8_t *space = nullptr;
        for (uint64_t slot = 0; slot < slots && slot < 64 && space == nullptr; ++slot) {
            int memory = -1;
            uint64_t address = window + slot * kUserSpaceBytes;
            if (!Welcome(fd, address, &welcome, &memory))
                return -1;
            if (welcome.status == 0 && memory >= 0) {
                void *mapped = mmap(reinterpret_cast<void *>((uintptr_t)address), kUserSpaceBytes,
                                    PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, memory, 0);
                close(memory);
                if (mapped == MAP_FAILED)
                    return -1;
                space = static_cast<uint8_t *>(mapped);
            }
        }
        if (space == nullptr)
            return -1;
        heard_[index] = 'W';
        auto *handle = reinterpret_cast<uint64_t *>(space + transport::kPageBytes);
        uint64_t arguments[5] = {Arg(handle), EVENT_ALL_ACCESS, 0, (uint64_t)NotificationEvent, 0};
        uint8_t buffer[kMaxMessageBytes + 1];
        send(fd, buffer, transport::EncodeCall(buffer, nextId_++, CallNumber::NtCreateEvent, arguments, 5),
             MSG_NOSIGNAL);
        ssize_t n = Receive(fd, buffer, nullptr);
        transport::HostMessage message;
        if (n <= 0 || transport::DecodeHostMessage(buffer, (size_t)n, &message) != transport::DecodeError::None)
            return -1;
        events_[index] = *handle;
        return message.reply.status;
    }

    /* Waits on the connection's event (which nobody sets): each holds a thread of the host's, if it gets one. */
    int Waits(int index, int count)
    {
        int sent = 0;
        for (int i = 0; i < count; ++i) {
            uint64_t arguments[3] = {events_[index], 0, 0};
            uint8_t buffer[kMaxMessageBytes];
            size_t length =
                transport::EncodeCall(buffer, nextId_++, CallNumber::NtWaitForSingleObject, arguments, 3);
            sent += send(fds_[index], buffer, length, MSG_NOSIGNAL) == (ssize_t)length;
        }
        return sent;
    }

    /* What has come on every connection so far, without waiting. */
    void Read(Answer *)
    {
        for (int i = 0; i < connections_; ++i) {
            for (;;) {
                uint8_t buffer[kMaxMessageBytes + 1];
                ssize_t n = Receive(fds_[i], buffer, nullptr, 0);
                if (n < 0)
                    break;
                transport::HostMessage message;
                if (n == 0) {
                    if (heard_[i] == '-')
                        heard_[i] = 'E';
                    break;
                }
                if (transport::DecodeHostMessage(buffer, (size_t)n, &message) != transport::DecodeError::None)
                    continue;
                if (message.kind == transport::Kind::Welcome && message.welcome.status == transport::kStatusBusy)
                    heard_[i] = 'B';
                if (message.kind == transport::Kind::Reply) {
                    replies_[i]++;
                    refusedCalls_[i] += message.reply.status == STATUS_INSUFFICIENT_RESOURCES;
                }
            }
        }
    }

    int control_;
    const char *path_;
    int fds_[kMostForeign] = {};
    char heard_[kMostForeign] = {};
    int replies_[kMostForeign] = {};
    int refusedCalls_[kMostForeign] = {};
    uint64_t events_[kMostForeign] = {};
    int connections_ = 0;
    uint64_t nextId_ = 1;
};

/* A process of another user (a child that takes the uid), run by orders from the test. */
class ForeignUser {
public:
    ForeignUser(uid_t uid, const std::string &socketPath)
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            close(ends[0]);
            ForeignProcess(ends[1], socketPath.c_str()).Serve(uid);
        }
        close(ends[1]);
        control_ = ends[0];
    }
    ~ForeignUser()
    {
        if (pid_ <= 0)
            return;
        Order order;
        order.op = 'q';
        send(control_, &order, sizeof(order), MSG_NOSIGNAL);
        close(control_);
        int status;
        waitpid(pid_, &status, 0);
    }
    bool Running() const { return pid_ > 0; }
    Answer Ask(char op, int count = 0, int index = 0)
    {
        Order order;
        order.op = op;
        order.count = count;
        order.index = index;
        Answer answer;
        answer.value = -1;
        if (send(control_, &order, sizeof(order), MSG_NOSIGNAL) == (ssize_t)sizeof(order)) {
            pollfd wait{control_, POLLIN, 0};
            if (poll(&wait, 1, 30000) > 0 && recv(control_, &answer, sizeof(answer), 0) != (ssize_t)sizeof(answer))
                answer.value = -1;
        }
        return answer;
    }

private:
    pid_t pid_ = -1;
    int control_ = -1;
};

/* ---- Fixtures ---------------------------------------------------------------------------- */

class Limits : public testhost::TestHost {
protected:
    void ConfigureServer(transport::ServerOptions &options) override { options.helloTimeoutMs = 60000; }
    transport::ServerStatistics Stats() { return server_->Statistics(); }
};

/* ---- Connections ------------------------------------------------------------------------- */

class ConnectionShares : public Limits {
protected:
    void ConfigureServer(transport::ServerOptions &options) override
    {
        Limits::ConfigureServer(options);
        options.maxConnections = 6;
        options.reservedConnections = 2;
        options.maxConnectionsPerUser = 3;
    }
};

TEST_F(ConnectionShares, EachUserHasAShareAndRootKeepsItsReserve)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "connecting as other users needs root";
    ForeignUser nobody(65534, socketPath_), other(65533, socketPath_);
    ASSERT_TRUE(nobody.Running() && other.Running());
    // One user takes its share of three; the fourth is told at once that the host is busy.
    ASSERT_EQ(4, nobody.Ask('o', 4).value);
    ASSERT_TRUE(Eventually([&] { return server_->ConnectionCount() == 3 && Stats().connectionsRefused == 1; }));
    // Another user gets what is left to users (six less the two kept for root).
    ASSERT_EQ(2, other.Ask('o', 2).value);
    ASSERT_TRUE(Eventually([&] { return server_->ConnectionCount() == 4 && Stats().connectionsRefused == 2; }));
    EXPECT_EQ(std::string("---B"), std::string(nobody.Ask('r').heard, 4));
    EXPECT_EQ(std::string("-B"), std::string(other.Ask('r').heard, 2));

    // Root still gets in, up to the overall limit; past it, it is busy too.
    transport::Client first(socketPath_), second(socketPath_), third(socketPath_);
    EXPECT_EQ(transport::kStatusSuccess, first.Connect());
    EXPECT_EQ(transport::kStatusSuccess, second.Connect());
    EXPECT_EQ(transport::kStatusBusy, third.Connect());
    EXPECT_TRUE(Eventually([&] { return Stats().connectionsRefused == 3; }));

    // The users' connections are real ones: a welcome, calls.
    EXPECT_EQ(0, nobody.Ask('h', 0, 0).value);
}

TEST_F(Limits, AConnectionWithoutAHelloIsClosedWhenItsTimeIsUp)
{
    server_->Stop();
    transport::ServerOptions options;
    options.socketPath = socketPath_;
    options.helloTimeoutMs = 200;
    std::string error;
    server_ = transport::Server::Start(options, &error);
    ASSERT_NE(nullptr, server_) << error;

    RawConnection idle(socketPath_), welcomed(socketPath_);
    ASSERT_NE(0u, welcomed.Welcomed());
    EXPECT_TRUE(idle.Ended());
    EXPECT_EQ(1u, Stats().connectionsRefused);
    // Once welcomed, a connection has all the time it wants.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(1u, server_->ConnectionCount());
}

TEST_F(Limits, AClientTheHostIsFullForIsToldBusyAndGetsInOnceThereIsRoom)
{
    server_->Stop();
    transport::ServerOptions options;
    options.socketPath = socketPath_;
    options.maxConnections = 1;
    options.reservedConnections = 0;
    std::string error;
    server_ = transport::Server::Start(options, &error);
    ASSERT_NE(nullptr, server_) << error;

    auto first = std::make_unique<transport::Client>(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, first->Connect());
    transport::Client second(socketPath_);
    EXPECT_EQ(transport::kStatusBusy, second.Connect());
    EXPECT_FALSE(second.Connected());
    first.reset();
    ASSERT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
    EXPECT_EQ(transport::kStatusSuccess, second.Connect());
}

/* ---- Bytes ------------------------------------------------------------------------------- */

class ByteBudgets : public Limits {
protected:
    void ConfigureServer(transport::ServerOptions &options) override
    {
        Limits::ConfigureServer(options);
        options.maxBytesInFlightPerConnection = 64 << 10;
        options.maxBytesInFlightPerUser = 96 << 10;
    }
};

TEST_F(ByteBudgets, ACallIsChargedItsBuffersAgainstItsConnectionAndItsUser)
{
    transport::Client first(socketPath_), second(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, first.Connect());
    ASSERT_EQ(transport::kStatusSuccess, second.Connect());
    HANDLE held = nullptr, handle = nullptr, secondHandle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(first, &held));
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(first, &handle));
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(second, &secondHandle));
    // 1 byte in and 48 KiB out, held by the driver.
    std::vector<uint8_t> out(48 << 10);
    std::thread holder([&] {
        EXPECT_EQ(STATUS_SUCCESS, Control(first, held, testhost::kWaitForRelease, "s", 1, out.data(), (ULONG)out.size()));
    });
    ASSERT_TRUE(Eventually([&] { return Stats().bytesInFlight == 1 + (48 << 10); }));

    std::vector<uint8_t> buffer(48 << 10);
    auto echo = [&](transport::Client &client, HANDLE h, size_t bytes) {
        return Control(client, h, testhost::kEcho, "e", 1, buffer.data(), (ULONG)bytes);
    };
    // The connection's budget: 64 KiB.
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, echo(first, handle, 20 << 10));
    EXPECT_EQ(STATUS_SUCCESS, echo(first, handle, 8 << 10));
    // The user's: 96 KiB over both connections.
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, echo(second, secondHandle, 48 << 10));
    EXPECT_EQ(STATUS_SUCCESS, echo(second, secondHandle, 40 << 10));
    // A length past any user space counts as a whole one: more than either budget.
    uint64_t huge[10] = {Arg(secondHandle), 0, 0, 0, 0, testhost::kEcho, 0, 0, 0, 0xFFFFFFFFull};
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, second.Call(CallNumber::NtDeviceIoControlFile, huge, 10));
    EXPECT_EQ(3u, Stats().callsRefused);

    // Given back at the reply.
    testhost::Release();
    holder.join();
    EXPECT_EQ(0u, Stats().bytesInFlight);
    EXPECT_EQ(STATUS_SUCCESS, echo(first, handle, 20 << 10));
    for (HANDLE h : {held, handle})
        EXPECT_EQ(STATUS_SUCCESS, Close(first, h));
    EXPECT_EQ(STATUS_SUCCESS, Close(second, secondHandle));
}

/* ---- Threads ----------------------------------------------------------------------------- */

class ThreadShares : public Limits {
protected:
    void ConfigureServer(transport::ServerOptions &options) override
    {
        Limits::ConfigureServer(options);
        options.maxCallThreads = 5;
        options.maxCallThreadsPerUser = 2;
    }
};

TEST_F(ThreadShares, CallThreadsAreBoundedOverallAndPerUserButRootIsNotHeldToAShare)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "connecting as another user needs root";
    ForeignUser nobody(65534, socketPath_);
    ASSERT_EQ(1, nobody.Ask('o', 1).value);
    ASSERT_EQ(0, nobody.Ask('h', 0, 0).value);
    // Three waits: the user's share is two threads; the third is refused at once.
    ASSERT_EQ(3, nobody.Ask('w', 3, 0).value);
    ASSERT_TRUE(Eventually([&] { return Stats().callThreads == 2 && Stats().callsRefused == 1; }));
    Answer heard = nobody.Ask('r');
    EXPECT_EQ(1, heard.replies[0]);
    EXPECT_EQ(1, heard.refusedCalls[0]);

    // Root has no share, only the overall limit of five.
    transport::Client client(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, client.Connect());
    std::vector<HANDLE> handles(4);
    for (HANDLE &h : handles)
        ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(client, &h));
    std::vector<std::thread> waiting;
    for (int i = 0; i < 3; ++i)
        waiting.emplace_back([&, i] {
            EXPECT_EQ(STATUS_SUCCESS, Control(client, handles[i], testhost::kWaitForRelease, "w", 1, nullptr, 0));
        });
    ASSERT_TRUE(Eventually([&] { return Stats().callThreads == 5; }));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Control(client, handles[3], testhost::kEcho, "x", 1, nullptr, 0));
    // Every thread the server runs: the listener, two readers and the five calls.
    EXPECT_TRUE(Eventually([&] { return Stats().threads == 8; }));

    testhost::Release();
    for (auto &thread : waiting)
        thread.join();
    EXPECT_EQ(STATUS_SUCCESS, Control(client, handles[3], testhost::kEcho, "x", 1, nullptr, 0));
    for (HANDLE h : handles)
        EXPECT_EQ(STATUS_SUCCESS, Close(client, h));
    EXPECT_TRUE(Eventually([&] { return Stats().callThreads == 2; })); /* the other user's waits go on */
}

TEST_F(Limits, AThreadTheHostCannotHaveRefusesTheCallOrTheConnectionAndNothingElse)
{
    transport::Client client(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, client.Connect());
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(client, &handle));

    machine::ArmFault("transport::StartThread", 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Control(client, handle, testhost::kEcho, "x", 1, nullptr, 0));
    EXPECT_EQ(1u, machine::FaultsInjected("transport::StartThread"));
    char back = 0;
    EXPECT_EQ(STATUS_SUCCESS, Control(client, handle, testhost::kEcho, "y", 1, &back, 1));
    EXPECT_EQ('y', back);

    // No reader for a new connection: it is refused, and told so.
    machine::ArmFault("transport::StartThread", 1);
    transport::Client refused(socketPath_);
    EXPECT_EQ(transport::kStatusBusy, refused.Connect());
    machine::DisarmFaults();
    EXPECT_EQ(transport::kStatusSuccess, refused.Connect());
    EXPECT_EQ(STATUS_SUCCESS, Close(client, handle));
    EXPECT_EQ(0u, Stats().callThreads);
}

/* ---- Replies ----------------------------------------------------------------------------- */

/* A welcomed raw connection that sends NtClose calls (answered at once) and reads nothing. */
class Unread : public Limits {
protected:
    /* Sends a batch of calls; how many went. */
    int SendCalls(RawConnection &raw, int count)
    {
        int sent = 0;
        for (int i = 0; i < count; ++i) {
            uint64_t arguments[1] = {0x7777};
            uint8_t buffer[kMaxMessageBytes];
            size_t length = transport::EncodeCall(buffer, nextId_++, CallNumber::NtClose, arguments, 1);
            if (send(raw.fd(), buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT) != (ssize_t)length)
                break;
            ++sent;
        }
        return sent;
    }
    uint64_t nextId_ = 1;
};

TEST_F(Unread, RepliesWaitForAClientThatDoesNotReadAndNoThreadWaitsWithThem)
{
    RawConnection raw(socketPath_);
    ASSERT_NE(0u, raw.Welcomed());
    // Fill the socket until replies have to wait on the connection.
    int sent = 0;
    for (int batch = 0; batch < 200 && Stats().repliesQueued == 0; ++batch) {
        sent += SendCalls(raw, 8);
        ASSERT_TRUE(Eventually([&] { return Stats().callsServed + Stats().callsRefused == (uint64_t)sent; }));
    }
    ASSERT_GT(Stats().repliesQueued, 0u);
    // Every call has returned: no worker waits for the client to read.
    EXPECT_TRUE(Eventually([&] { return Stats().callThreads == 0; }));
    EXPECT_TRUE(Eventually([&] { return Stats().threads == 2; })); /* the listener and the reader */
    EXPECT_EQ(1u, server_->ConnectionCount());

    // Reading now brings every reply, each once.
    std::set<uint64_t> ids;
    while ((int)ids.size() < sent) {
        uint8_t buffer[kMaxMessageBytes + 1];
        ssize_t n = raw.Receive(buffer, sizeof(buffer));
        ASSERT_GT(n, 0);
        transport::HostMessage message;
        ASSERT_EQ(transport::DecodeError::None, transport::DecodeHostMessage(buffer, (size_t)n, &message));
        EXPECT_TRUE(message.reply.status == STATUS_INVALID_HANDLE ||
                    message.reply.status == STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(ids.insert(message.requestId).second);
    }
    EXPECT_EQ(0u, Stats().repliesQueued);
    EXPECT_EQ(1u, server_->ConnectionCount());
}

TEST_F(Unread, AClientThatNeverReadsIsEndedOnceItsRepliesPileUp)
{
    RawConnection raw(socketPath_);
    ASSERT_NE(0u, raw.Welcomed());
    for (int batch = 0; batch < 1000 && server_->ConnectionCount() != 0; ++batch)
        if (SendCalls(raw, 8) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
    EXPECT_EQ(1u, Stats().connectionsRefused);
    EXPECT_EQ(0u, Stats().repliesQueued);
    EXPECT_TRUE(Eventually([&] { return Stats().threads == 1; })); /* the listener alone */
}

} // namespace
