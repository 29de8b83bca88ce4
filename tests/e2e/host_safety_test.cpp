/*
 * The host and an unlucky administrator: directories and driver images no other
 * user can swap, and start-up errors that say what is wrong, on the terminal, at
 * once.
 */
#include "e2e_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using e2e::EndToEnd;
using e2e::kNobody;
using testhost::Outcome;

constexpr const char *kOff = "AllowUserAccess = off  (create/dismount restricted to administrators)\n";

class HostSafety : public EndToEnd {
protected:
    std::string Path(const char *relative) const { return base_ + "/" + relative; }
    void MakeDirectory(const char *relative, mode_t mode, uid_t owner = 0)
    {
        std::string path = Path(relative);
        ASSERT_EQ(0, mkdir(path.c_str(), mode)) << path;
        ASSERT_EQ(0, chmod(path.c_str(), mode));
        ASSERT_EQ(0, chown(path.c_str(), owner, owner));
    }
    /* A copy of the driver image at a path below the base. */
    std::string CopyDriver(const char *relative)
    {
        std::string path = Path(relative);
        std::ifstream in(VOREL_DRIVER_PATH, std::ios::binary);
        std::ofstream out(path, std::ios::binary);
        out << in.rdbuf();
        out.close();
        chmod(path.c_str(), 0755);
        return path;
    }
    /* Runs vorelhost to its end (it must not need to be stopped) and says how long it took. */
    Outcome HostFails(const std::vector<std::string> &arguments, std::chrono::seconds *took = nullptr)
    {
        auto start = std::chrono::steady_clock::now();
        testhost::RunOptions options = options_;
        options.timeoutSeconds = 30;
        Outcome outcome = testhost::Run(testhost::ProgramPath("vorelhost"), arguments, options);
        if (took != nullptr)
            *took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
        EXPECT_EQ(1, outcome.exitCode) << outcome.err;
        return outcome;
    }
    static void ExpectSays(const Outcome &outcome, const std::string &text)
    {
        EXPECT_NE(std::string::npos, outcome.err.find(text)) << outcome.err;
    }
};

TEST_F(HostSafety, TheStateDirectoryGetsTheRuntimeDirectorysChecks)
{
    RequireRoot();
    MakeDirectory("state", 0777);
    ExpectSays(HostFails({"--driver", VOREL_DRIVER_PATH}), "writable by other users");
    ASSERT_EQ(0, chmod(Path("state").c_str(), 0755));
    ASSERT_EQ(0, chown(Path("state").c_str(), kNobody, kNobody));
    ExpectSays(HostFails({"--driver", VOREL_DRIVER_PATH}), "belongs to user nobody (uid 65534)");
    ASSERT_EQ(0, rmdir(Path("state").c_str()));

    // Made fresh, it is writable by no one else whatever the umask.
    testhost::RunOptions options = options_;
    Outcome started = testhost::Run(
        "/bin/sh", {"-c", "umask 0; exec \"$0\" --daemon --driver \"$1\"", testhost::ProgramPath("vorelhost"),
                    VOREL_DRIVER_PATH},
        options);
    ASSERT_EQ(0, started.exitCode) << started.err;
    struct stat info;
    ASSERT_EQ(0, stat(Path("state").c_str(), &info));
    EXPECT_EQ(0755u, info.st_mode & 07777);
    ASSERT_EQ(0, stat(Path("state/registry.hive").c_str(), &info));
    EXPECT_EQ(0u, info.st_mode & 022);
    int pid = std::atoi(testhost::ReadFile(Path("run/vorelhost.pid")).c_str());
    kill(pid, SIGTERM);
    EXPECT_TRUE(WaitFor([&] { return kill(pid, 0) != 0; }));
}

TEST_F(HostSafety, APlantedLinkAtTheHivesTemporaryFileTruncatesNothing)
{
    MakeDirectory("state", 0755);
    std::string victim = Path("victim");
    {
        std::ofstream out(victim);
        out << "precious";
    }
    ASSERT_EQ(0, symlink(victim.c_str(), Path("state/registry.hive.tmp").c_str()));
    StartHost();
    ASSERT_EQ(0, Vorelctl({"settings", "allowuser", "off"}).exitCode);
    EXPECT_EQ(0, StopHost().exitCode);
    EXPECT_EQ("precious", testhost::ReadFile(victim));
    StartHost();
    EXPECT_EQ(kOff, Vorelctl({"settings"}).out); /* the hive itself was written */
    EXPECT_EQ(0, StopHost().exitCode);
}

TEST_F(HostSafety, AParentAnotherUserCouldSwapIsRefused)
{
    RequireRoot();
    MakeDirectory("theirs", 0755, kNobody);
    options_.environment["VOREL_RUNTIME_DIR"] = Path("theirs/run");
    ExpectSays(HostFails({"--driver", VOREL_DRIVER_PATH}), "belongs to user nobody (uid 65534)");
    EXPECT_NE(0, access(Path("theirs/run").c_str(), F_OK)); /* nothing made there */

    MakeDirectory("open", 0777); /* writable by all, and not sticky */
    options_.environment["VOREL_RUNTIME_DIR"] = Path("open/run");
    ExpectSays(HostFails({"--driver", VOREL_DRIVER_PATH}), "writable by other users");

    // A sticky directory on the way is fine (no one can move another's entry there).
    MakeDirectory("sticky", 01777);
    MakeDirectory("sticky/mine", 0755);
    options_.environment["VOREL_STATE_DIR"] = Path("sticky/mine/state");
    options_.environment["VOREL_RUNTIME_DIR"] = Path("sticky/mine/run");
    StartHost();
    EXPECT_EQ(0, StopHost().exitCode);
}

TEST_F(HostSafety, OnlyADriverImageNoOtherUserCanChangeIsLoaded)
{
    RequireRoot();
    MakeDirectory("images", 0755);
    std::string image = CopyDriver("images/vorel.sys");
    ASSERT_EQ(0, chmod(image.c_str(), 0757));
    ExpectSays(HostFails({"--driver", image}), "is writable by other users; refusing to load it");
    ASSERT_EQ(0, chmod(image.c_str(), 0755));
    ASSERT_EQ(0, chown(image.c_str(), kNobody, kNobody));
    ExpectSays(HostFails({"--driver", image}), "belongs to user nobody (uid 65534); refusing to load it");
    ASSERT_EQ(0, chown(image.c_str(), 0, 0));

    // The first start registers the image; the service key alone must not make a root
    // host load it once a user can write to it.
    StartHost({"--driver", image});
    EXPECT_EQ(0, StopHost().exitCode);
    ASSERT_EQ(0, chmod(image.c_str(), 0757));
    ExpectSays(HostFails({}), "refusing to load it");
    ASSERT_EQ(0, chmod(image.c_str(), 0755));
    StartHost({});
    EXPECT_EQ(0, StopHost().exitCode);
}

TEST_F(HostSafety, AHiveThatIsADirectoryStopsTheStartWithAReason)
{
    MakeDirectory("state", 0755);
    ASSERT_EQ(0, mkdir(Path("state/registry.hive").c_str(), 0755));
    std::chrono::seconds took{};
    Outcome directory = HostFails({"--driver", VOREL_DRIVER_PATH}, &took);
    ExpectSays(directory, "registry.hive is not a regular file"); /* and exit code 1: no abort */
    EXPECT_LT(took.count(), 20);
}

TEST_F(HostSafety, ADaemonReportsAFailedStartOnTheTerminal)
{
    Outcome missing = HostFails({"--daemon", "--driver", Path("nowhere.sys")});
    ExpectSays(missing, "nowhere.sys");

    // The state directory (made by the start above) locked by another tool.
    int lock = open(Path("state/registry.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(0, flock(lock, LOCK_EX));
    ExpectSays(HostFails({"--daemon", "--driver", VOREL_DRIVER_PATH}), "held by another");
    close(lock);

    ASSERT_EQ(0, mkfifo(Path("state/registry.hive").c_str(), 0600));
    ExpectSays(HostFails({"--daemon", "--driver", VOREL_DRIVER_PATH}), "registry.hive");
}

TEST_F(HostSafety, TheCommandLineAndItsMessagesSayWhatIsMeant)
{
    Outcome help = Vorelhost({"--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("usage: vorelhost")) << help.out;

    StartHost();
    Outcome second = HostFails({"--driver", VOREL_DRIVER_PATH});
    EXPECT_NE(std::string::npos, second.err.find("another host serves this runtime directory (pid " +
                                                 std::to_string(host_.pid) + ")\n"))
        << second.err;
    EXPECT_EQ(0, StopHost().exitCode);

    MakeDirectory("elsewhere", 0755);
    ASSERT_EQ(0, symlink(Path("elsewhere").c_str(), Path("linked").c_str()));
    options_.environment["VOREL_RUNTIME_DIR"] = Path("linked");
    ExpectSays(HostFails({"--driver", VOREL_DRIVER_PATH}), "is a symbolic link");
}

TEST_F(HostSafety, ARuntimeDirectoryOfAnotherUserIsRefusedByName)
{
    RequireRoot();
    MakeDirectory("run", 0755, kNobody);
    ExpectSays(HostFails({"--driver", VOREL_DRIVER_PATH}), "belongs to user nobody (uid 65534)");
}

} // namespace
