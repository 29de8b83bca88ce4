/*
 * How the host shares itself out among local users: connections per user with a
 * reserve for root, the hello's time limit, the bytes and threads calls may hold,
 * replies to a client that stops reading, and threads the host cannot have.
 */
#include "transport_test.h"

#include "server.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

namespace {

using namespace transporttest;
using transport::CallNumber;
using transport::kMaxMessageBytes;
using transport::kUserSpaceBytes;

/* ---- Another user's process ------------------------------------------------------------ */

constexpr int kMostForeign = 8;

/* What the other user's process has heard on each of its connections. */
struct Heard {
    int value = -1;                      /* the order's own result */
    char told[kMostForeign] = {};        /* 'B' busy, 'E' ended, '-' nothing yet */
    int refusedCalls[kMostForeign] = {}; /* replies with STATUS_INSUFFICIENT_RESOURCES */
};

/*
 * A process of another user: a child of the test that takes the uid, then follows
 * orders over a socket pair, so that its connections come from a peer the host sees
 * as that user. It makes only system calls (the test process has threads).
 */
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
            Serve(ends[1], uid, socketPath.c_str());
        }
        close(ends[1]);
        control_ = ends[0];
    }
    ~ForeignUser()
    {
        if (pid_ <= 0)
            return;
        close(control_); /* no more orders: the child exits */
        int status;
        waitpid(pid_, &status, 0);
    }
    /* 'o': open count connections (no hello); 'w': hello on the first until welcomed, then
     * count waits there; 'r': read what has come. */
    Heard Ask(char op, int count = 0)
    {
        int order[2] = {op, count};
        Heard heard;
        pollfd wait{control_, POLLIN, 0};
        if (send(control_, order, sizeof(order), MSG_NOSIGNAL) != (ssize_t)sizeof(order) || poll(&wait, 1, 30000) <= 0 ||
            recv(control_, &heard, sizeof(heard), 0) != (ssize_t)sizeof(heard))
            heard.value = -1;
        return heard;
    }

private:
    [[noreturn]] static void Serve(int control, uid_t uid, const char *path)
    {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0)
            _exit(3);
        int fds[kMostForeign], open = 0, order[2];
        Heard heard;
        while (recv(control, order, sizeof(order), 0) == (ssize_t)sizeof(order)) {
            heard.value = 0;
            for (int i = 0; order[0] == 'o' && i < order[1] && open < kMostForeign; ++i) {
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                std::strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
                fds[open] = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
                heard.value += connect(fds[open], reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
                heard.told[open++] = '-';
            }
            if (order[0] == 'w' && open > 0 && (heard.value = Welcome(fds[0])) == 0) {
                for (int i = 0; i < order[1]; ++i) {
                    // A wait on its own process, which ends only when the process does.
                    uint64_t arguments[3] = {~0ull, 0, 0};
                    uint8_t buffer[kMaxMessageBytes];
                    size_t length =
                        transport::EncodeCall(buffer, 1 + i, CallNumber::NtWaitForSingleObject, arguments, 3);
                    send(fds[0], buffer, length, MSG_NOSIGNAL);
                }
            }
            for (int i = 0; order[0] == 'r' && i < open; ++i) {
                uint8_t buffer[kMaxMessageBytes + 1];
                transport::HostMessage message;
                for (ssize_t n; (n = recv(fds[i], buffer, sizeof(buffer), MSG_DONTWAIT)) >= 0;) {
                    if (n == 0) {
                        heard.told[i] = heard.told[i] == '-' ? 'E' : heard.told[i];
                        break;
                    }
                    if (transport::DecodeHostMessage(buffer, (size_t)n, &message) != transport::DecodeError::None)
                        continue;
                    if (message.kind == transport::Kind::Welcome && message.welcome.status == transport::kStatusBusy)
                        heard.told[i] = 'B';
                    heard.refusedCalls[i] +=
                        message.kind == transport::Kind::Reply && message.reply.status == STATUS_INSUFFICIENT_RESOURCES;
                }
            }
            if (send(control, &heard, sizeof(heard), MSG_NOSIGNAL) != (ssize_t)sizeof(heard))
                break;
        }
        _exit(0);
    }

    /* Hello until welcomed: first the window, then its slots. The user space is the host's
     * business here; this process never touches it. 0 when welcomed. */
    static int Welcome(int fd)
    {
        uint64_t proposal = transport::kLowestUserAddress;
        for (uint64_t slot = 0; slot < 64; ++slot) {
            uint8_t buffer[kMaxMessageBytes + 1];
            pollfd wait{fd, POLLIN, 0};
            transport::HostMessage message;
            ssize_t n = -1;
            if (send(fd, buffer, transport::EncodeHello(buffer, proposal), MSG_NOSIGNAL) > 0 && poll(&wait, 1, 5000) > 0)
                n = recv(fd, buffer, sizeof(buffer), 0); /* the memory's descriptor is dropped */
            if (n <= 0 || transport::DecodeHostMessage(buffer, (size_t)n, &message) != transport::DecodeError::None)
                return -1;
            if (message.welcome.status != transport::kStatusConflictingAddresses)
                return message.welcome.status;
            proposal = message.welcome.userSpaceAddress + slot * kUserSpaceBytes;
        }
        return -1;
    }

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
    // One user takes its share of three; the fourth is told at once that the host is busy.
    ASSERT_EQ(4, nobody.Ask('o', 4).value);
    ASSERT_TRUE(Eventually([&] { return server_->ConnectionCount() == 3 && Stats().connectionsRefused == 1; }));
    // Another user gets what is left to users (six less the two kept for root).
    ASSERT_EQ(2, other.Ask('o', 2).value);
    ASSERT_TRUE(Eventually([&] { return server_->ConnectionCount() == 4 && Stats().connectionsRefused == 2; }));
    EXPECT_EQ(std::string("---B"), std::string(nobody.Ask('r').told, 4));
    EXPECT_EQ(std::string("-B"), std::string(other.Ask('r').told, 2));

    // Root still gets in, up to the overall limit; past it, it is busy too.
    transport::Client first(socketPath_), second(socketPath_), third(socketPath_);
    EXPECT_EQ(transport::kStatusSuccess, first.Connect());
    EXPECT_EQ(transport::kStatusSuccess, second.Connect());
    EXPECT_EQ(transport::kStatusBusy, third.Connect());
    EXPECT_TRUE(Eventually([&] { return Stats().connectionsRefused == 3; }));
}

class HelloTimeOut : public Limits {
protected:
    void ConfigureServer(transport::ServerOptions &options) override { options.helloTimeoutMs = 200; }
};

TEST_F(HelloTimeOut, AConnectionWithoutAHelloIsClosedWhenItsTimeIsUp)
{
    RawConnection idle(socketPath_), welcomed(socketPath_);
    ASSERT_NE(0u, welcomed.Welcomed());
    EXPECT_TRUE(idle.Ended());
    EXPECT_EQ(1u, Stats().connectionsRefused);
    // Once welcomed, a connection has all the time it wants.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(1u, server_->ConnectionCount());
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
    // Three waits: the user's share is two threads; the third is refused at once.
    ASSERT_EQ(0, nobody.Ask('w', 3).value);
    ASSERT_TRUE(Eventually([&] { return Stats().callThreads == 2 && Stats().callsRefused == 1; }));
    EXPECT_EQ(1, nobody.Ask('r').refusedCalls[0]);

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

TEST_F(Unread, RepliesWaitForAClientThatDoesNotReadNoThreadWaitsWithThemAndTheirNumberIsBounded)
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
    EXPECT_TRUE(Eventually([&] { return Stats().threads == 2; })); /* the listener and the reader */
    // Reading now brings every reply, each once.
    std::set<uint64_t> ids;
    for (uint8_t buffer[kMaxMessageBytes + 1]; (int)ids.size() < sent;) {
        ssize_t n = raw.Receive(buffer, sizeof(buffer));
        transport::HostMessage message;
        ASSERT_TRUE(n > 0 && transport::DecodeHostMessage(buffer, (size_t)n, &message) == transport::DecodeError::None);
        EXPECT_TRUE(ids.insert(message.requestId).second);
    }
    EXPECT_EQ(0u, Stats().repliesQueued);
    // A client that goes on sending and never reads is ended once its replies pile up.
    for (int batch = 0; batch < 1000 && server_->ConnectionCount() != 0; ++batch)
        if (SendCalls(raw, 8) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
    EXPECT_EQ(1u, Stats().connectionsRefused);
    EXPECT_EQ(0u, Stats().repliesQueued);
    EXPECT_TRUE(Eventually([&] { return Stats().threads == 1; })); /* the listener alone */
}

} // namespace
