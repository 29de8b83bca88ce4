/*
 * The FUSE end-to-end fixture: a real vorelhost whose lettered volumes appear as
 * FUSE mounts under the test's own mount root, and ordinary Linux programs run in
 * them through bash scripts, as root or as a standard user.
 */
#pragma once

#include "e2e_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace e2e {

/*
 * Shell helpers every script gets: `fails TEXT command...` runs a command that must
 * fail and whose output must name TEXT (bash's `! command` would not stop a script
 * under -e), and `same A B` compares two values with a readable complaint.
 */
inline const char kScriptPreamble[] = R"SH(
umask 022
fails() {
  local want=$1 out
  shift
  if out=$("$@" 2>&1); then
    echo "succeeded but should have failed with '$want': $*" >&2
    exit 1
  fi
  case $out in
    *"$want"*) ;;
    *) echo "$*: expected '$want', got: $out" >&2; exit 1 ;;
  esac
}
same() {
  if [[ "$1" != "$2" ]]; then
    echo "${3:-value}: expected '$2', got '$1'" >&2
    exit 1
  fi
}
cd "$M"
)SH";

class FuseEndToEnd : public EndToEnd {
protected:
    void SetUp() override
    {
#ifndef VOREL_FUSE_BRIDGE
        GTEST_SKIP() << "vorelhost is built without its FUSE bridge: volumes get no Linux mount";
#endif
        if (access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "no usable /dev/fuse: the volumes cannot be mounted for Linux programs here";
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root: the host mounts with allow_other and the scripts run as another user too";
        EndToEnd::SetUp();
        mountRoot_ = options_.environment.at("VOREL_MOUNT_ROOT");
    }
    void TearDown() override
    {
        for (int pid : holders_)
            testhost::Stop(testhost::Started{pid, "", ""}, SIGKILL, 5);
        // A clean stop unmounts; whatever a killed host left is detached so the tree can go.
        if (host_.pid > 0)
            StopHost(SIGTERM);
        if (!base_.empty()) {
            for (const std::string &mount : MountsUnder(base_))
                umount2(mount.c_str(), MNT_DETACH);
        }
        EndToEnd::TearDown();
    }

    std::string MountPoint(char letter) const { return mountRoot_ + "/" + letter; }
    /* The Windows path of a file under the test's directory (C: is the Linux root). */
    std::string WindowsPath(const std::string &name) const
    {
        std::string path = "C:" + base_ + "/" + name;
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    }

    /* The file-system type mounted exactly at a path ("" when nothing is), from our mount table. */
    static std::string MountType(const std::string &path)
    {
        std::string type;
        ForEachMount([&](const std::string &point, const std::string &fstype) {
            if (point == path)
                type = fstype; /* the last entry is the one on top */
        });
        return type;
    }
    static bool FuseMounted(const std::string &path) { return MountType(path).rfind("fuse", 0) == 0; }
    static std::vector<std::string> MountsUnder(const std::string &directory)
    {
        std::vector<std::string> mounts;
        ForEachMount([&](const std::string &point, const std::string &) {
            if (point.rfind(directory + "/", 0) == 0)
                mounts.insert(mounts.begin(), point); /* the newest first, so stacked mounts all go */
        });
        return mounts;
    }

    /* Creates a volume and waits (bounded) until its FUSE mount is there. */
    void CreateMounted(char letter, const std::string &size = "64M", int seconds = 10)
    {
        Outcome created = Vorelctl({"create", std::string(1, letter), size});
        ASSERT_EQ(0, created.exitCode) << created.out << created.err;
        ASSERT_TRUE(WaitFor([&] { return FuseMounted(MountPoint(letter)); }, seconds))
            << "no FUSE mount at " << MountPoint(letter) << " after " << seconds << " s\n"
            << testhost::ReadFile("/proc/self/mountinfo") << testhost::ReadFile(host_.errPath);
    }
    /* A host serving one mounted volume R: of 64 MiB, the usual start of a test. */
    void StartWithVolume(const std::string &size = "64M")
    {
        StartHost();
        if (HasFatalFailure())
            return;
        CreateMounted('R', size);
    }

    /*
     * Runs a bash script (-euo pipefail) in the mount of a letter, as root or as a
     * uid (its gid the same, no other groups). The script sees M (the mount point),
     * WORK (a scratch directory outside the mount, owned by the user) and HOME.
     */
    Outcome Script(const std::string &script, int uid = -1, char letter = 'R', int timeoutSeconds = 120)
    {
        std::string work = base_ + "/work-" + std::to_string(++scripts_);
        mkdir(work.c_str(), 0755);
        mkdir((work + "/home").c_str(), 0755);
        if (uid >= 0 && (chown(work.c_str(), uid, uid) != 0 || chown((work + "/home").c_str(), uid, uid) != 0))
            ADD_FAILURE() << "cannot hand " << work << " to uid " << uid;
        testhost::RunOptions options = options_;
        options.uid = uid;
        options.timeoutSeconds = timeoutSeconds;
        options.environment["M"] = MountPoint(letter);
        options.environment["WORK"] = work;
        options.environment["HOME"] = work + "/home";
        options.environment["LC_ALL"] = "C.UTF-8";
        return testhost::Run("/bin/bash", {"-euo", "pipefail", "-c", std::string(kScriptPreamble) + script},
                             options);
    }
    /* Runs a script that must succeed; the test fails with all it printed otherwise. */
    void ExpectScript(const std::string &script, int uid = -1, char letter = 'R', int timeoutSeconds = 120)
    {
        Outcome outcome = Script(script, uid, letter, timeoutSeconds);
        EXPECT_EQ(0, outcome.exitCode) << "signal " << outcome.signal << "\n--- stdout\n"
                                       << outcome.out << "--- stderr\n"
                                       << outcome.err;
    }

    /* A bash left running (a process holding files open); killed at teardown. */
    testhost::Started StartShell(const std::string &script, char letter = 'R')
    {
        std::string directory = base_ + "/shell-" + std::to_string(++scripts_);
        mkdir(directory.c_str(), 0755);
        testhost::RunOptions options = options_;
        options.environment["M"] = MountPoint(letter);
        testhost::Started started = testhost::Start("/bin/bash", {"-euo", "pipefail", "-c", script}, options,
                                                    directory);
        if (started.pid > 0)
            holders_.push_back(started.pid);
        return started;
    }
    /* Ends a shell started above (bounded) and forgets it. */
    void StopShell(const testhost::Started &started)
    {
        testhost::Stop(started, SIGKILL, 10);
        std::erase(holders_, started.pid);
    }

    std::string mountRoot_;
    std::vector<int> holders_;
    int scripts_ = 0;

private:
    /* Calls visit(mount point, fs type) for each line of /proc/self/mountinfo, octal escapes undone. */
    template <typename Visit>
    static void ForEachMount(Visit visit)
    {
        std::istringstream table(testhost::ReadFile("/proc/self/mountinfo"));
        std::string line;
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string field, point, type;
            for (int i = 0; i < 5 && fields >> field; ++i)
                point = field;
            while (fields >> field && field != "-") {
            }
            fields >> type;
            visit(Unescape(point), type);
        }
    }
    static std::string Unescape(const std::string &text)
    {
        std::string plain;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 3 < text.size()) {
                plain += (char)std::stoi(text.substr(i + 1, 3), nullptr, 8);
                i += 3;
            } else {
                plain += text[i];
            }
        }
        return plain;
    }
};

} // namespace e2e
