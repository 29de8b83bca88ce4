/*
 * Boot volumes end to end: a volume stored with `vorelctl auto add` is mounted by
 * the host's next start, filled by Linux programs, saved by the host's clean
 * shutdown and back with its data after the following start; the I/O figures
 * follow what was written, and the lifetime ones survive the restarts.
 */
#include "fuse_fixture.h"

#include <cstdlib>

namespace {

using e2e::FuseEndToEnd;
using testhost::Outcome;

class FuseBootVolumes : public FuseEndToEnd {
protected:
    void Restart()
    {
        Outcome stopped = StopHost(SIGTERM);
        ASSERT_EQ(0, stopped.exitCode) << stopped.err;
        StartHost();
    }
    /* The exact byte count printed in a line "<name> : <formatted>  (<bytes> bytes...". */
    static unsigned long long Bytes(const std::string &out, const std::string &name)
    {
        size_t at = out.find(name);
        if (at == std::string::npos)
            return 0;
        at = out.find('(', at);
        return at == std::string::npos ? 0 : std::strtoull(out.c_str() + at + 1, nullptr, 10);
    }
    static std::string Manifest(const std::string &file)
    {
        return "find . -printf '%y %p %s\\n' | sort > '" + file +
               "'\nfind . -type f -print0 | sort -z | xargs -0 -r sha256sum >> '" + file + "'\n";
    }
};

TEST_F(FuseBootVolumes, AStoredVolumeMountsAtStartAndIsSavedByTheCleanShutdown)
{
    StartHost();
    Outcome added = Vorelctl({"auto", "add", "R", "128M", "Boot", "image=" + WindowsPath("r.img"), "autosave",
                              "period=300"});
    ASSERT_EQ(0, added.exitCode) << added.out << added.err;
    EXPECT_NE(std::string::npos, added.out.find("Configured volume R: (128.0 MB, label='Boot', autosave, period=300s"))
        << added.out;
    Outcome listed = Vorelctl({"auto", "list"});
    EXPECT_NE(std::string::npos, listed.out.find("state: not mounted")) << listed.out;
    EXPECT_FALSE(FuseMounted(MountPoint('R')));

    // The next start mounts it by itself.
    Restart();
    ASSERT_TRUE(WaitFor([&] { return FuseMounted(MountPoint('R')); }, 20));
    listed = Vorelctl({"auto", "list"});
    EXPECT_NE(std::string::npos, listed.out.find("state: mounted")) << listed.out;
    Outcome before = Vorelctl({"iostats"});
    ASSERT_EQ(0, before.exitCode) << before.err;
    ExpectScript("set +o pipefail\nmkdir -p data\nhead -c 3000000 /dev/urandom > data/noise\nseq 1 100000 > "
                 "data/numbers\n" +
                 Manifest(base_ + "/before"));
    Outcome after = Vorelctl({"iostats"});
    ASSERT_EQ(0, after.exitCode) << after.err;
    EXPECT_GE(Bytes(after.out, "write :") - Bytes(before.out, "write :"), 3000000ull) << before.out << after.out;

    // A clean shutdown saves it (no explicit save here); the start after brings the data back.
    Restart();
    ASSERT_TRUE(WaitFor([&] { return FuseMounted(MountPoint('R')); }, 20));
    ExpectScript(Manifest(base_ + "/after") + "cmp '" + base_ + "/before' '" + base_ + "/after'\n");
    Outcome lifetime = Vorelctl({"lifetime"});
    ASSERT_EQ(0, lifetime.exitCode) << lifetime.err;
    EXPECT_GE(Bytes(lifetime.out, "write      :"), 3000000ull) << lifetime.out;
    EXPECT_NE(std::string::npos, lifetime.out.find("peak write : ")) << lifetime.out;

    // Removed, it stays mounted now and is not mounted by the next start.
    Outcome removed = Vorelctl({"auto", "del", "R"});
    ASSERT_EQ(0, removed.exitCode) << removed.out << removed.err;
    EXPECT_TRUE(FuseMounted(MountPoint('R')));
    Restart();
    EXPECT_EQ("No volumes configured\n", Vorelctl({"auto", "list"}).out);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ("No volumes mounted\n", Vorelctl({"list"}).out);
}

TEST_F(FuseBootVolumes, AFailedAutoMountIsListedWithItsStatus)
{
    StartHost();
    // A directory is no image file: the mount fails for good, not for a disk that may still come.
    std::string directory = base_ + "/not-an-image";
    ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
    Outcome added = Vorelctl({"auto", "add", "S", "64M", "image=" + WindowsPath("not-an-image")});
    ASSERT_EQ(0, added.exitCode) << added.out << added.err;
    Restart();
    ASSERT_TRUE(WaitFor([&] { return Vorelctl({"auto", "list"}).out.find("auto-mount failed 0x") != std::string::npos; },
                        20))
        << Vorelctl({"auto", "list"}).out;
    EXPECT_FALSE(FuseMounted(MountPoint('S')));
}

} // namespace
