/*
 * Symbolic-link targets: what Linux writes comes back unchanged through the Windows
 * form, and the Windows form is what Windows programs expect (relative targets
 * relative, absolute ones on a drive).
 */
#include "link_targets.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using fusebridge::LinkTarget;
using fusebridge::LinkTargetOfLinux;
using fusebridge::LinuxOfLinkTarget;

const std::string kRoot = "/mnt/vorel";

TEST(LinkTargets, LinuxTargetsComeBackAsWritten)
{
    for (const char *text : {"b.txt", "../up/x", "./here", "a/b/c", "/etc/passwd", "/", "/mnt/vorel/S/dir/f",
                             "/mnt/vorel/S", "/mnt/vorelx/y", "/mnt/vorel/s/lower", "..", "día/ñ"}) {
        LinkTarget target;
        ASSERT_EQ(LinkTargetOfLinux(text, kRoot, &target), 0) << text;
        EXPECT_EQ(LinuxOfLinkTarget(target, kRoot), text) << text;
    }
}

TEST(LinkTargets, WindowsFormsNameDrivesAndKeepRelativeTargetsRelative)
{
    LinkTarget target;
    ASSERT_EQ(LinkTargetOfLinux("../x/y", kRoot, &target), 0);
    EXPECT_TRUE(target.relative);
    EXPECT_EQ(target.substitute, u"..\\x\\y");
    EXPECT_EQ(target.print, u"..\\x\\y");

    ASSERT_EQ(LinkTargetOfLinux("/etc//passwd", kRoot, &target), 0);
    EXPECT_FALSE(target.relative);
    EXPECT_EQ(target.substitute, u"\\??\\C:\\etc\\passwd") << "doubled separators collapse";
    EXPECT_EQ(target.print, u"C:\\etc\\passwd");

    ASSERT_EQ(LinkTargetOfLinux("/mnt/vorel/S/d", kRoot, &target), 0);
    EXPECT_EQ(target.substitute, u"\\??\\S:\\d") << "a path into a volume's mount is a path on that volume";

    // A target Windows programs made: drive letters in either case, without the \??\ prefix.
    LinkTarget windows;
    windows.substitute = u"\\??\\c:\\tmp\\x";
    windows.print = u"c:\\tmp\\x";
    EXPECT_EQ(LinuxOfLinkTarget(windows, kRoot), "/tmp/x");
    windows.substitute = u"T:\\a";
    windows.print = u"T:\\a";
    EXPECT_EQ(LinuxOfLinkTarget(windows, kRoot), "/mnt/vorel/T/a");
}

TEST(LinkTargets, TargetsWindowsCannotHoldAreRefused)
{
    LinkTarget target;
    EXPECT_EQ(LinkTargetOfLinux("", kRoot, &target), ENOENT);
    EXPECT_EQ(LinkTargetOfLinux("a:b", kRoot, &target), EINVAL);
    EXPECT_EQ(LinkTargetOfLinux("dir/\xff", kRoot, &target), EINVAL);
    EXPECT_EQ(LinkTargetOfLinux(("x/" + std::string(300, 'n')).c_str(), kRoot, &target), ENAMETOOLONG);
}

} // namespace
