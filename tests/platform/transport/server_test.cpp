/*
 * The socket protocol end to end in one process: clients as separate machine
 * processes, replies in completion order, cancellation, and what happens to a
 * process whose client goes away.
 */
#include "transport_test.h"

#include "server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace transporttest;
using testhost::Count;

using Transport = testhost::TestHost;

TEST_F(Transport, AClientIsAProcessWithItsOwnHandlesAndTheCallersIdentity)
{
    transport::Client first(socketPath_), second(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, first.Connect());
    ASSERT_EQ(transport::kStatusSuccess, second.Connect());
    EXPECT_NE(first.ProcessId(), second.ProcessId());
    EXPECT_EQ(2u, server_->ConnectionCount());

    HANDLE a = nullptr, b = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(first, &a));
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(second, &b));
    // The driver sees each call in its own process, with the token of this test's user
    // (an administrator's when that is root).
    ULONG identity[2] = {};
    ASSERT_EQ(STATUS_SUCCESS, Control(first, a, testhost::kIdentity, nullptr, 0, identity, 8));
    EXPECT_EQ(geteuid() == 0 ? 1u : 0u, identity[0]);
    EXPECT_EQ(first.ProcessId(), identity[1]);
    ASSERT_EQ(STATUS_SUCCESS, Control(second, b, testhost::kIdentity, nullptr, 0, identity, 8));
    EXPECT_EQ(second.ProcessId(), identity[1]);
    // A handle means something only in the process that has it.
    if (a == b) {
        ASSERT_EQ(STATUS_SUCCESS, Close(second, b));
        EXPECT_EQ(STATUS_INVALID_HANDLE, Control(second, b, testhost::kEcho, "x", 1, nullptr, 0));
        EXPECT_EQ(STATUS_SUCCESS, Control(first, a, testhost::kEcho, "x", 1, nullptr, 0));
    } else {
        EXPECT_EQ(STATUS_INVALID_HANDLE, Control(second, a, testhost::kEcho, "x", 1, nullptr, 0));
        ASSERT_EQ(STATUS_SUCCESS, Close(second, b));
    }
    ASSERT_EQ(STATUS_SUCCESS, Close(first, a));
    EXPECT_EQ(2, Count().closes);
}

TEST_F(Transport, ManyClientsCallConcurrentlyAndEachGetsItsOwnReplies)
{
    constexpr int kClients = 8, kThreads = 4, kCalls = 60;
    std::vector<std::unique_ptr<transport::Client>> clients;
    std::vector<HANDLE> handles(kClients);
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(std::make_unique<transport::Client>(socketPath_));
        ASSERT_EQ(transport::kStatusSuccess, clients[c]->Connect());
        ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(*clients[c], &handles[c]));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, c, t] {
                for (int i = 0; i < kCalls; ++i) {
                    uint64_t sent[4] = {(uint64_t)c, (uint64_t)t, (uint64_t)i, 0x5a5a5a5a5a5a5a5aull ^ i};
                    uint64_t back[4] = {};
                    ULONG_PTR returned = 0;
                    NTSTATUS status =
                        Control(*clients[c], handles[c], testhost::kEcho, sent, sizeof(sent), back, sizeof(back), &returned);
                    if (status != STATUS_SUCCESS || returned != sizeof(sent) || std::memcmp(sent, back, sizeof(sent)) != 0)
                        wrong++;
                }
            });
        }
    }
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(0, wrong.load());
    for (int c = 0; c < kClients; ++c)
        EXPECT_EQ(STATUS_SUCCESS, Close(*clients[c], handles[c]));
    EXPECT_GE(server_->Statistics().callsServed, (uint64_t)(kClients * kThreads * kCalls));
}

TEST_F(Transport, RepliesComeInCompletionOrderSoACallThatWaitsHoldsUpNoOther)
{
    transport::Client client(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, client.Connect());
    // Two handles: calls on one synchronous handle are serialised by its file object, as on Windows.
    HANDLE handle = nullptr, slowHandle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(client, &handle));
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(client, &slowHandle));
    std::atomic<bool> slowDone{false};
    std::thread slow([&] {
        EXPECT_EQ(STATUS_SUCCESS, Control(client, slowHandle, testhost::kWaitForRelease, "s", 1, nullptr, 0));
        slowDone = true;
    });
    ASSERT_TRUE(Eventually([&] { return Count().controls >= 1; }));
    // Sent after the slow one, answered while it still waits.
    for (int i = 0; i < 20; ++i) {
        char back = 0;
        ASSERT_EQ(STATUS_SUCCESS, Control(client, handle, testhost::kEcho, "f", 1, &back, 1));
        EXPECT_EQ('f', back);
    }
    EXPECT_FALSE(slowDone.load());
    testhost::Release();
    slow.join();
    EXPECT_TRUE(slowDone.load());
    EXPECT_EQ(STATUS_SUCCESS, Close(client, handle));
    EXPECT_EQ(STATUS_SUCCESS, Close(client, slowHandle));
}

TEST_F(Transport, ACancelledCallEndsCancelledAndTheConnectionGoesOn)
{
    transport::Client client(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, client.Connect());
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(client, &handle));
    NTSTATUS status = STATUS_PENDING;
    std::thread caller(
        [&] { status = Control(client, handle, testhost::kPendUntilCancelled, nullptr, 0, nullptr, 0); });
    ASSERT_TRUE(Eventually([&] { return Count().pending == 1; }));
    ASSERT_EQ(1u, client.CancelTagged(Arg(handle)));
    caller.join();
    EXPECT_EQ(STATUS_CANCELLED, status);
    EXPECT_EQ(1, Count().cancelled);
    // Cancelling what already finished asks nothing.
    EXPECT_EQ(0u, client.CancelTagged(Arg(handle)));
    char back = 0;
    EXPECT_EQ(STATUS_SUCCESS, Control(client, handle, testhost::kEcho, "k", 1, &back, 1));
    EXPECT_EQ('k', back);
    EXPECT_EQ(STATUS_SUCCESS, Close(client, handle));
    EXPECT_TRUE(Eventually([&] { return server_->Statistics().cancelsHonoured == 1; }));
}

TEST_F(Transport, AClientThatGoesMidCallHasItsRequestsCancelledAndItsHandlesClosed)
{
    auto client = std::make_unique<transport::Client>(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, client->Connect());
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(*client, &handle));
    NTSTATUS status = STATUS_SUCCESS;
    std::thread caller([&] {
        status = Control(*client, handle, testhost::kPendUntilCancelled, nullptr, 0, nullptr, 0);
    });
    ASSERT_TRUE(Eventually([&] { return Count().pending == 1; }));
    client->Disconnect(); /* as a process that crashes */
    caller.join();
    EXPECT_EQ(transport::kStatusDisconnected, status);
    // The host ends the process: the pending request is cancelled, the handle closed.
    EXPECT_TRUE(Eventually([&] { return Count().closes == 1; }));
    EXPECT_EQ(1, Count().cancelled);
    EXPECT_EQ(1, Count().cleanups);
    EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 0; }));
    client.reset();

    // The host serves the next client as before.
    transport::Client next(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, next.Connect());
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(next, &handle));
    EXPECT_EQ(STATUS_SUCCESS, Close(next, handle));
}

TEST_F(Transport, StoppingTheServerEndsEveryProcessAndLeavesNothingBehind)
{
    transport::Client client(socketPath_);
    ASSERT_EQ(transport::kStatusSuccess, client.Connect());
    HANDLE handle = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenControlDevice(client, &handle));
    NTSTATUS status = STATUS_SUCCESS;
    std::thread caller([&] { status = Control(client, handle, testhost::kPendUntilCancelled, nullptr, 0, nullptr, 0); });
    ASSERT_TRUE(Eventually([&] { return Count().pending == 1; }));
    server_->Stop();
    caller.join();
    EXPECT_EQ(transport::kStatusDisconnected, status);
    EXPECT_EQ(1, Count().closes);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(transport::kStatusHostNotRunning, client.Connect()); /* the socket is gone */
    // The fixture's shutdown audits that no handle, request or process is left.
}

TEST_F(Transport, AClientWithoutAHostIsToldTheHostIsNotRunning)
{
    server_->Stop();
    transport::Client client(socketPath_);
    EXPECT_EQ(transport::kStatusHostNotRunning, client.Connect());
    uint64_t arguments[1] = {4};
    EXPECT_EQ(transport::kStatusInvalidHandle, client.Call(transport::CallNumber::NtClose, arguments, 1));
    EXPECT_EQ(nullptr, client.Allocate(16));
}

TEST_F(Transport, AClientLearnsAtOnceWhatAHostThatClosesDidWithItsHello)
{
    // A host of the test's own: it takes one connection and acts as told.
    std::string path = runtimeDirectory_ + "/other.sock";
    int listening = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(0, bind(listening, reinterpret_cast<sockaddr *>(&address), sizeof(address)));
    ASSERT_EQ(0, listen(listening, 4));
    auto host = [&](bool busy) {
        return std::thread([listening, busy] {
            int fd = accept(listening, nullptr, nullptr);
            if (busy) {
                uint8_t buffer[transport::kMaxMessageBytes];
                transport::WelcomeBody welcome;
                welcome.version = transport::kProtocolVersion;
                welcome.status = transport::kStatusBusy;
                send(fd, buffer, transport::EncodeWelcome(buffer, welcome), MSG_NOSIGNAL);
            }
            close(fd);
        });
    };
    // Closed without a word: the host went, and there is nothing to wait for.
    std::thread silent = host(false);
    transport::Client client(path);
    EXPECT_EQ(transport::kStatusDisconnected, client.Connect());
    silent.join();
    // Told busy, then closed, whether or not the hello was read.
    std::thread full = host(true);
    EXPECT_EQ(transport::kStatusBusy, client.Connect());
    full.join();
    EXPECT_FALSE(client.Connected());
    close(listening);
}

} // namespace
