/*
 * The end-to-end fixture: a real vorelhost with vorel.sys in a machine of its own
 * (isolated runtime, state, mount and system directories), and the programs that
 * talk to it run as root or as a standard Linux user.
 */
#pragma once

#include "programs.h"
#include "test_host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace e2e {

using testhost::Outcome;

constexpr int kNobody = 65534;

inline const char kNotRunning[] = "vorelctl: cannot open the VOREL control device (driver not running)\n"
                                  "          (most likely the vorel service is not running;\n"
                                  "           try: sc start vorel)\n"
                                  "          (Win32 error 2: The system cannot find the file specified.)\n";

class EndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        base_ = testhost::MakeTemporaryDirectory("vorel-e2e");
        ASSERT_FALSE(base_.empty());
        options_.environment = {{"VOREL_RUNTIME_DIR", base_ + "/run"},
                                {"VOREL_STATE_DIR", base_ + "/state"},
                                {"VOREL_MOUNT_ROOT", base_ + "/mnt"},
                                {"VOREL_SYSTEM_DIR", base_ + "/system"}};
    }
    void TearDown() override
    {
        if (host_.pid > 0)
            StopHost(SIGKILL);
        testhost::RemoveTree(base_);
    }

    /* Starts vorelhost in the foreground and waits until it serves. */
    void StartHost(std::vector<std::string> arguments = {"--driver", VOREL_DRIVER_PATH})
    {
        host_ = testhost::Start(testhost::ProgramPath("vorelhost"), arguments, options_, base_);
        ASSERT_GT(host_.pid, 0);
        ASSERT_TRUE(WaitFor([&] { return Serving(); }))
            << testhost::ReadFile(host_.errPath);
    }
    Outcome StopHost(int signal = SIGTERM)
    {
        Outcome outcome = testhost::Stop(host_, signal);
        host_.pid = -1;
        return outcome;
    }
    Outcome Vorelctl(const std::vector<std::string> &arguments, int uid = -1)
    {
        testhost::RunOptions options = options_;
        options.uid = uid;
        return testhost::Run(testhost::ProgramPath("vorelctl"), arguments, options);
    }
    Outcome Vorelhost(const std::vector<std::string> &arguments)
    {
        return testhost::Run(testhost::ProgramPath("vorelhost"), arguments, options_);
    }
    std::string Socket() const { return options_.environment.at("VOREL_RUNTIME_DIR") + "/vorel.sock"; }
    /* Whether a host listens on the socket (a file left by a dead one does not count). */
    bool Serving() const
    {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, Socket().c_str(), sizeof(address.sun_path) - 1);
        bool listening = connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
        close(fd);
        return listening;
    }
    template <typename Condition>
    static bool WaitFor(Condition condition, int seconds = 30)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    /* A program of the tests started as a user, its output in a directory of its own. */
    testhost::Started StartProgram(const char *program, const std::vector<std::string> &arguments, int uid = -1)
    {
        std::string directory = base_ + "/program-" + std::to_string(++programs_);
        mkdir(directory.c_str(), 0755);
        testhost::RunOptions options = options_;
        options.uid = uid;
        return testhost::Start(testhost::ProgramPath(program), arguments, options, directory);
    }
    /* Waits until a started program has printed a line (bounded); whether it did. */
    static bool WaitForOutput(const testhost::Started &started, const std::string &line, int seconds = 30)
    {
        return WaitFor([&] { return testhost::ReadFile(started.outPath).find(line) != std::string::npos; },
                       seconds);
    }
    /* A number from /proc/<pid>/status ("Threads", "VmHWM" in KiB, ...); -1 when unreadable. */
    static long ProcessStatus(int pid, const char *field)
    {
        std::string status = testhost::ReadFile("/proc/" + std::to_string(pid) + "/status");
        size_t at = status.find(std::string("\n") + field + ":");
        return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(field) + 2);
    }
    static void RequireRoot()
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: the test runs vorelctl as a standard user too";
    }

    std::string base_;
    testhost::RunOptions options_;
    testhost::Started host_;
    int programs_ = 0;
};

} // namespace e2e
