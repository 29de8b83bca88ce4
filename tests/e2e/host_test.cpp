/*
 * The system end to end: a real vorelhost with vorel.sys, in a machine of its own
 * (isolated runtime, state, mount and system directories), driven by vorelctl as
 * root and as a standard Linux user.
 */
#include "e2e_fixture.h"

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

namespace {

using testhost::Outcome;
using e2e::EndToEnd;
using e2e::kNobody;
using e2e::kNotRunning;

TEST_F(EndToEnd, RootSetsTheSwitchAStandardUserOnlyReadsIt)
{
    RequireRoot();
    StartHost();
    Outcome shown = Vorelctl({"settings"});
    EXPECT_EQ(0, shown.exitCode) << shown.err;
    EXPECT_EQ("AllowUserAccess = on  (any user may create/dismount volumes)\n", shown.out);
    Outcome off = Vorelctl({"settings", "allowuser", "off"});
    EXPECT_EQ(0, off.exitCode) << off.err;
    EXPECT_EQ("AllowUserAccess = off\n", off.out);

    // A standard user reaches the driver (socket and device open to everyone) but its
    // token is not an administrator's.
    Outcome refused = Vorelctl({"settings", "allowuser", "on"}, kNobody);
    EXPECT_EQ(3, refused.exitCode);
    EXPECT_EQ("vorelctl: set settings failed: access denied (needs an elevated / administrator command prompt)\n"
              "          (Win32 error 5: Access is denied.)\n",
              refused.err);
    Outcome read = Vorelctl({"settings"}, kNobody);
    EXPECT_EQ(0, read.exitCode) << read.err;
    EXPECT_EQ("AllowUserAccess = off  (create/dismount restricted to administrators)\n", read.out);
    // Queries that change nothing pass no gate.
    Outcome list = Vorelctl({"list"}, kNobody);
    EXPECT_EQ(0, list.exitCode) << list.err;
    EXPECT_EQ("No volumes mounted\n", list.out);

    Outcome stopped = StopHost();
    EXPECT_EQ(0, stopped.exitCode) << stopped.err;
    EXPECT_EQ(std::string::npos, stopped.err.find("did not")) << stopped.err;
}

TEST_F(EndToEnd, TheSettingSurvivesARestartAndTheServiceKeyNamesTheDriver)
{
    StartHost();
    ASSERT_EQ(0, Vorelctl({"settings", "allowuser", "off"}).exitCode);
    Outcome first = StopHost();
    EXPECT_EQ(0, first.exitCode) << first.err;
    EXPECT_EQ(kNotRunning, Vorelctl({"settings"}).err);

    // No --driver: the first start wrote the service key, and the host loads from its ImagePath.
    StartHost({});
    Outcome shown = Vorelctl({"settings"});
    EXPECT_EQ(0, shown.exitCode) << shown.err;
    EXPECT_EQ("AllowUserAccess = off  (create/dismount restricted to administrators)\n", shown.out);
    Outcome second = StopHost(SIGINT); /* an interrupt ends the machine the same way */
    EXPECT_EQ(0, second.exitCode) << second.err;
}

TEST_F(EndToEnd, ASettingOutlivesAHostThatDiesAndAnUnwritableRegistryFailsTheExit)
{
    StartHost();
    ASSERT_EQ(0, Vorelctl({"settings", "allowuser", "off"}).exitCode);
    StopHost(SIGKILL);
    StartHost();
    EXPECT_EQ("AllowUserAccess = off  (create/dismount restricted to administrators)\n", Vorelctl({"settings"}).out);
    // No write of the hive can succeed: the setting takes effect, the exit says it was not kept.
    std::string temporary = base_ + "/state/registry.hive.tmp";
    ASSERT_EQ(0, mkdir(temporary.c_str(), 0700));
    EXPECT_EQ(0, Vorelctl({"settings", "allowuser", "on"}).exitCode);
    Outcome stopped = StopHost();
    EXPECT_EQ(1, stopped.exitCode);
    EXPECT_NE(std::string::npos, stopped.err.find("the registry could not be written")) << stopped.err;
}

TEST_F(EndToEnd, AHostThatCannotUseItsStateSaysWhyAndExits)
{
    std::string hive = base_ + "/state/registry.hive";
    ASSERT_EQ(0, mkdir((base_ + "/state").c_str(), 0755));
    ASSERT_EQ(0, mkfifo(hive.c_str(), 0600)); /* opening it to read would wait for a writer */
    Outcome outcome = Vorelhost({"--driver", VOREL_DRIVER_PATH});
    EXPECT_EQ(1, outcome.exitCode);
    EXPECT_NE(std::string::npos, outcome.err.find(hive + " is not a regular file")) << outcome.err;
}

TEST_F(EndToEnd, AHostThatDiedLeavesASocketThatReadsAsNotRunning)
{
    StartHost();
    StopHost(SIGKILL);
    ASSERT_EQ(0, access(Socket().c_str(), F_OK)); /* left behind */
    Outcome outcome = Vorelctl({"settings"});
    EXPECT_EQ(2, outcome.exitCode);
    EXPECT_EQ(kNotRunning, outcome.err);
    // The next host takes the place over.
    StartHost();
    EXPECT_EQ(0, Vorelctl({"settings"}).exitCode);
    EXPECT_EQ(0, StopHost().exitCode);
}

TEST_F(EndToEnd, DaemonModeDetachesAndKeepsAPidFile)
{
    Outcome started = Vorelhost({"--daemon", "--driver", VOREL_DRIVER_PATH});
    ASSERT_EQ(0, started.exitCode) << started.err;
    std::string pidFile = base_ + "/run/vorelhost.pid";
    int pid = std::atoi(testhost::ReadFile(pidFile).c_str());
    ASSERT_GT(pid, 1);
    EXPECT_EQ(0, kill(pid, 0));
    EXPECT_EQ(0, Vorelctl({"settings"}).exitCode);
    // One host per runtime directory.
    Outcome second = Vorelhost({"--driver", VOREL_DRIVER_PATH});
    EXPECT_EQ(1, second.exitCode);
    EXPECT_NE(std::string::npos, second.err.find("another host serves this runtime directory")) << second.err;
    kill(pid, SIGTERM);
    EXPECT_TRUE(WaitFor([&] { return kill(pid, 0) != 0; }));
    EXPECT_NE(0, access(pidFile.c_str(), F_OK));
    EXPECT_NE(0, access(Socket().c_str(), F_OK));
    EXPECT_EQ(std::string::npos, testhost::ReadFile(base_ + "/run/vorelhost.log").find("did not"));
}

TEST_F(EndToEnd, ARootClientTrustsNoHostOfAnotherUser)
{
    RequireRoot();
    // A host a standard user runs in directories of its own.
    for (const char *name : {"/run", "/state"}) {
        std::string directory = base_ + name;
        ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
        ASSERT_EQ(0, chown(directory.c_str(), kNobody, kNobody));
    }
    testhost::RunOptions asNobody = options_;
    asNobody.uid = kNobody;
    host_ = testhost::Start(testhost::ProgramPath("vorelhost"), {"--driver", VOREL_DRIVER_PATH}, asNobody, base_);
    ASSERT_TRUE(WaitFor([&] { return Serving(); })) << testhost::ReadFile(host_.errPath);
    // Its own user may use it; root does not hand its requests to it.
    EXPECT_EQ(0, Vorelctl({"settings"}, kNobody).exitCode);
    Outcome root = Vorelctl({"settings"});
    EXPECT_EQ(2, root.exitCode);
    EXPECT_EQ("vorelctl: cannot open the VOREL control device (access denied)\n"
              "          (Win32 error 5: Access is denied.)\n",
              root.err);
    EXPECT_EQ(0, StopHost().exitCode);
}

TEST_F(EndToEnd, TheHostRefusesWhatItCannotServeSafely)
{
    // A runtime directory others can write to: anyone could put a socket of their own there.
    std::string run = base_ + "/run";
    ASSERT_EQ(0, mkdir(run.c_str(), 0755));
    ASSERT_EQ(0, chmod(run.c_str(), 0777));
    Outcome open = Vorelhost({"--driver", VOREL_DRIVER_PATH});
    EXPECT_EQ(1, open.exitCode);
    EXPECT_NE(std::string::npos, open.err.find("writable by other users")) << open.err;
    ASSERT_EQ(0, chmod(run.c_str(), 0755));
    // No --driver and no service: nothing to load.
    Outcome nothing = Vorelhost({});
    EXPECT_EQ(1, nothing.exitCode);
    EXPECT_NE(std::string::npos, nothing.err.find("not installed")) << nothing.err;
    Outcome bad = Vorelhost({"--frobnicate"});
    EXPECT_EQ(2, bad.exitCode);
}

} // namespace
