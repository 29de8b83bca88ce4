/*
 * Volumes end to end: vorelctl creates, lists, resizes and dismounts a volume of a
 * real vorelhost, and the refusals on the way read as an administrator sees them.
 */
#include "e2e_fixture.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

using testhost::Outcome;
using e2e::EndToEnd;

/* One line of `vorelctl list` for a volume: size, any used figure, level and label. */
std::regex ListLine(const std::string &letterAndSize, const std::string &level, const std::string &label)
{
    return std::regex(letterAndSize + "  used=[0-9.]+ (B|KB|MB|GB|TB) *  compress=" + level + " *  label='" + label +
                      "'\n");
}

TEST_F(EndToEnd, AVolumeIsCreatedListedResizedAndDismounted)
{
    StartHost();
    Outcome created = Vorelctl({"create", "R", "512M", "scratch"});
    ASSERT_EQ(0, created.exitCode) << created.err;
    EXPECT_EQ("Created volume R: (512.0 MB, label='scratch')\n", created.out);
    Outcome listed = Vorelctl({"list"});
    EXPECT_EQ(0, listed.exitCode) << listed.err;
    EXPECT_TRUE(std::regex_match(listed.out, ListLine("R:  512\\.0 MB ", "none", "scratch"))) << listed.out;

    // The letter is taken now: found before anything is sent.
    Outcome again = Vorelctl({"create", "r", "64M"});
    EXPECT_EQ(3, again.exitCode);
    EXPECT_EQ("vorelctl: create volume failed: already exists\n", again.err);
    // Below 4 MiB without an image the library refuses, so no system error follows.
    Outcome small = Vorelctl({"create", "S", "3M"});
    EXPECT_EQ(3, small.exitCode);
    EXPECT_EQ("vorelctl: create volume failed: invalid argument\n", small.err);
    EXPECT_EQ("", small.out);

    Outcome resized = Vorelctl({"resize", "R", "1G"});
    EXPECT_EQ(0, resized.exitCode) << resized.err;
    EXPECT_EQ("Resized volume R: to 1.0 GB\n", resized.out); /* no boot configuration to follow */
    listed = Vorelctl({"list"});
    EXPECT_TRUE(std::regex_match(listed.out, ListLine("R:  1\\.0 GB   ", "none", "scratch"))) << listed.out;

    Outcome dismounted = Vorelctl({"dismount", "R"});
    EXPECT_EQ(0, dismounted.exitCode) << dismounted.err;
    EXPECT_EQ("Dismounted volume R:\n", dismounted.out);
    listed = Vorelctl({"list"});
    EXPECT_EQ(0, listed.exitCode) << listed.err;
    EXPECT_EQ("No volumes mounted\n", listed.out);
    Outcome gone = Vorelctl({"dismount", "R"});
    EXPECT_EQ(3, gone.exitCode);
    EXPECT_EQ("vorelctl: dismount volume failed: not found\n"
              "          (Win32 error 2: The system cannot find the file specified.)\n",
              gone.err);
    // The letter is free again.
    Outcome recreated = Vorelctl({"create", "R", "8M", "compress=fast"});
    EXPECT_EQ(0, recreated.exitCode) << recreated.err;
    EXPECT_EQ("Created volume R: (8.0 MB, label='Vorel', compress=fast)\n", recreated.out);
    listed = Vorelctl({"list"});
    EXPECT_TRUE(std::regex_match(listed.out, ListLine("R:  8\\.0 MB   ", "fast", "Vorel"))) << listed.out;

    // The host's stop dismounts what is left and ends cleanly.
    Outcome stopped = StopHost();
    EXPECT_EQ(0, stopped.exitCode) << stopped.err;
}

TEST_F(EndToEnd, TheSwitchDecidesWhetherAStandardUserMayMakeVolumes)
{
    RequireRoot();
    StartHost();
    ASSERT_EQ(0, Vorelctl({"settings", "allowuser", "off"}).exitCode);
    Outcome refused = Vorelctl({"create", "U", "16M"}, e2e::kNobody);
    EXPECT_EQ(3, refused.exitCode);
    EXPECT_EQ("vorelctl: create volume failed: access denied (blocked by the AllowUserAccess policy \xE2\x80\x94 run "
              "elevated)\n          (Win32 error 5: Access is denied.)\n",
              refused.err);
    EXPECT_EQ("No volumes mounted\n", Vorelctl({"list"}, e2e::kNobody).out);

    ASSERT_EQ(0, Vorelctl({"settings", "allowuser", "on"}).exitCode);
    Outcome created = Vorelctl({"create", "U", "16M", "mine"}, e2e::kNobody);
    EXPECT_EQ(0, created.exitCode) << created.err;
    EXPECT_EQ("Created volume U: (16.0 MB, label='mine')\n", created.out);
    Outcome dismounted = Vorelctl({"dismount", "U"}, e2e::kNobody);
    EXPECT_EQ(0, dismounted.exitCode) << dismounted.err;
    EXPECT_EQ("Dismounted volume U:\n", dismounted.out);
    Outcome stopped = StopHost();
    EXPECT_EQ(0, stopped.exitCode) << stopped.err;
}

TEST_F(EndToEnd, AResizeOfNoVolumeOrBelowFourMegabytesFails)
{
    StartHost();
    Outcome absent = Vorelctl({"resize", "Q", "64M"});
    EXPECT_EQ(3, absent.exitCode);
    EXPECT_EQ("vorelctl: resize volume failed: not found\n"
              "          (Win32 error 2: The system cannot find the file specified.)\n",
              absent.err);
    Outcome small = Vorelctl({"resize", "Q", "3M"});
    EXPECT_EQ(3, small.exitCode);
    EXPECT_EQ("vorelctl: resize volume failed: invalid argument\n", small.err);
    Outcome stopped = StopHost();
    EXPECT_EQ(0, stopped.exitCode) << stopped.err;
}

} // namespace
