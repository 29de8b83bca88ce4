/*
 * Images end to end: a volume created by vorelctl on an image file, filled by
 * Linux programs through its mount, saved, dismounted and created again on the
 * same file comes back with the same tree; a host killed in the middle of a long
 * save leaves an image that a new host loads.
 */
#include "fuse_fixture.h"

#include <vorellib.h>


namespace {

using e2e::FuseEndToEnd;
using testhost::Outcome;

class FuseImage : public FuseEndToEnd {
protected:
    void CreateFromImage(char letter, const std::string &image, const std::string &size = "256M")
    {
        Outcome created = Vorelctl({"create", std::string(1, letter), size, "image=" + WindowsPath(image)});
        ASSERT_EQ(0, created.exitCode) << created.out << created.err;
        ASSERT_TRUE(WaitFor([&] { return FuseMounted(MountPoint(letter)); }, 10));
    }
    void Dismount(char letter)
    {
        Outcome dismounted = Vorelctl({"dismount", std::string(1, letter)});
        ASSERT_EQ(0, dismounted.exitCode) << dismounted.out << dismounted.err;
        ASSERT_TRUE(WaitFor([&] { return !FuseMounted(MountPoint(letter)); }, 10));
    }
    /* A script that lists the tree's shape, sizes, link targets, checksums and xattrs into $1. */
    static std::string Manifest(const std::string &file)
    {
        return "find . -printf '%y %p %s %n %l\\n' | sort > '" + file +
               "'\nfind . -type f -print0 | sort -z | xargs -0 -r sha256sum >> '" + file +
               "'\n{ getfattr -R -d -m user. . 2>/dev/null || true; } | { grep -v '^#' || true; } | sort >> '" + file + "'\n";
    }
};

TEST_F(FuseImage, SaveDismountAndCreateAgainBringTheTreeBack)
{
    StartHost();
    CreateFromImage('R', "r.img");
    const std::string fill = R"SH(
set +o pipefail # head ends the producers early
mkdir -p tree/deep/er
cp -a /usr/include/asm-generic tree/
head -c 5000000 /dev/urandom > tree/deep/noise
seq 1 200000 > tree/deep/er/numbers
echo one > a && ln a hard && ln -s tree/deep/noise soft
truncate -s 50M sparse && printf x | dd of=sparse bs=1 seek=30000000 conv=notrunc 2>/dev/null
setfattr -n user.colour -v blue a
)SH";
    ExpectScript(fill + Manifest(base_ + "/before"));
    Outcome saved = Vorelctl({"save", "R"});
    ASSERT_EQ(0, saved.exitCode) << saved.out << saved.err;
    EXPECT_NE(std::string::npos, saved.out.find("Saved volume R:")) << saved.out;
    // The library reads the committed header without the driver.
    vorel_image_info info{};
    ASSERT_EQ(VOREL_OK, vorel_image_query(WindowsPath("r.img").c_str(), &info));
    EXPECT_EQ(256ull << 20, info.size);
    EXPECT_STREQ("Vorel", info.label);
    EXPECT_EQ(1u, info.security);
    Dismount('R');

    CreateFromImage('R', "r.img", "64M");  /* the image's own size wins */
    ExpectScript(Manifest(base_ + "/after") + "cmp '" + base_ + "/before' '" + base_ + "/after'\n" +
                 "same \"$(stat -c %h a)\" 2\nsame \"$(readlink soft)\" tree/deep/noise\n"
                 "same \"$(df --output=size -B1M . | tail -1 | tr -d ' ')\" 256\n");
    // A save to a new file is a full one, and the volume stays bound to it.
    Outcome moved = Vorelctl({"save", "R", WindowsPath("other.img")});
    ASSERT_EQ(0, moved.exitCode) << moved.out << moved.err;
    Dismount('R');
    CreateFromImage('S', "other.img");
    ExpectScript(Manifest(base_ + "/other") + "cmp '" + base_ + "/before' '" + base_ + "/other'\n", -1, 'S');
}

TEST_F(FuseImage, AHostKilledDuringASaveLeavesAnImageThatLoads)
{
    StartHost();
    CreateFromImage('R', "r.img", "1G");
    ExpectScript("head -c 300000000 /dev/urandom > big\necho first > marker\n" + Manifest(base_ + "/first"));
    Outcome saved = Vorelctl({"save", "R"});
    ASSERT_EQ(0, saved.exitCode) << saved.out << saved.err;
    ExpectScript("head -c 300000000 /dev/urandom > big2\necho second > marker\n" + Manifest(base_ + "/second"));

    // The second save writes 300 MB; the host dies while it does.
    testhost::Started save = StartProgram("vorelctl", {"save", "R"});
    ASSERT_GT(save.pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    StopHost(SIGKILL);
    testhost::Stop(save, SIGKILL, 10);
    for (const std::string &mount : MountsUnder(base_))
        umount2(mount.c_str(), MNT_DETACH);

    StartHost();
    CreateFromImage('R', "r.img", "1G");
    ExpectScript(Manifest(base_ + "/loaded") + "cmp -s '" + base_ + "/first' '" + base_ + "/loaded' || cmp '" +
                 base_ + "/second' '" + base_ + "/loaded'\n");
}

} // namespace
