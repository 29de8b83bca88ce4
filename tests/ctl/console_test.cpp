/*
 * vorelctl as a user runs it: the listing, exit codes, the texts of a missing
 * driver and of failed requests, and the settings subcommand, against a host
 * whose driver replies as each test scripts.
 */
#include <vorel_control.h>
#include <ntdef.h>
#include <ntstatus.h>

#include "programs.h"
#include "test_host.h"

#include <gtest/gtest.h>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using testhost::Outcome;

const char kListing[] =
    "usage: vorelctl <subcommand> [args]\n"
    "\n"
    "subcommands:\n"
    "  create     Create a volume.   usage: create <letter> <size> [label] [nosec] [norecycle] "
    "[compress=fast|normal|max]\n"
    "  dismount   Dismount a volume. usage: dismount <letter>\n"
    "  resize     Resize a mounted volume live. usage: resize <letter> <size>\n"
    "  settings   Show/set driver settings. usage: settings [allowuser on|off]\n"
    "  save       Save volume to its image file. usage: save <letter> [newpath] (newpath = full save + rebind)\n"
    "  auto       Configured boot volumes. usage: auto add <letter> <size> [opts] | auto del <letter> | auto list\n"
    "  list       List mounted volumes with live runtime state (size/used/compression).\n"
    "  iostats    Show driver-global cumulative I/O counters (bytes + ops, per direction).\n"
    "  lifetime   Show persistent lifetime I/O totals (survive reload/reboot) + peak speeds.\n"
    "  help       Show this help.\n";

const char kNotRunning[] = "vorelctl: cannot open the VOREL control device (driver not running)\n"
                           "          (most likely the vorel service is not running;\n"
                           "           try: sc start vorel)\n"
                           "          (Win32 error 2: The system cannot find the file specified.)\n";

Outcome Vorelctl(const std::vector<std::string> &arguments, const std::string &runtimeDirectory)
{
    testhost::RunOptions options;
    options.environment["VOREL_RUNTIME_DIR"] = runtimeDirectory;
    return testhost::Run(testhost::ProgramPath("vorelctl"), arguments, options);
}

std::vector<uint8_t> Bytes(const void *data, size_t size)
{
    const auto *p = static_cast<const uint8_t *>(data);
    return std::vector<uint8_t>(p, p + size);
}

class ConsoleWithoutHost : public testing::Test {
protected:
    void SetUp() override { directory_ = testhost::MakeTemporaryDirectory("vorelctl"); }
    void TearDown() override { testhost::RemoveTree(directory_); }
    Outcome Run(const std::vector<std::string> &arguments) { return Vorelctl(arguments, directory_); }
    std::string directory_;
};

TEST_F(ConsoleWithoutHost, TheListingLeavesOutHiddenRowsAndTellsByTheExitCodeHowItWasAsked)
{
    Outcome alone = Run({});
    EXPECT_EQ(1, alone.exitCode);
    EXPECT_EQ(kListing, alone.err);
    EXPECT_EQ("", alone.out);
    Outcome help = Run({"help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_EQ(kListing, help.err);
    EXPECT_EQ(0, Run({"HeLp"}).exitCode);
    Outcome bogus = Run({"bogus"});
    EXPECT_EQ(1, bogus.exitCode);
    EXPECT_EQ(std::string("vorelctl: unknown subcommand 'bogus'\n") + kListing, bogus.err);
}

TEST_F(ConsoleWithoutHost, WithoutAHostTheDriverIsNotRunning)
{
    for (const auto &arguments : std::vector<std::vector<std::string>>{{"settings"}, {"SETTINGS", "allowuser", "on"},
                                                                       {"list"}, {"iostats"}, {"lifetime"}}) {
        Outcome outcome = Run(arguments);
        EXPECT_EQ(2, outcome.exitCode) << arguments[0];
        EXPECT_EQ(kNotRunning, outcome.err) << arguments[0];
        EXPECT_EQ("", outcome.out);
    }
}

TEST_F(ConsoleWithoutHost, ASocketLeftByAHostThatIsGoneIsTheSame)
{
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = directory_ + "/vorel.sock";
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)));
    close(fd);
    Outcome outcome = Run({"settings"});
    EXPECT_EQ(2, outcome.exitCode);
    EXPECT_EQ(kNotRunning, outcome.err);
}

class Console : public testhost::TestHost {
protected:
    Outcome Run(const std::vector<std::string> &arguments) { return Vorelctl(arguments, runtimeDirectory_); }
};

TEST_F(Console, SettingsShowsAndSetsTheSwitch)
{
    Outcome shown = Run({"settings"});
    EXPECT_EQ(0, shown.exitCode) << shown.err;
    EXPECT_EQ("AllowUserAccess = on  (any user may create/dismount volumes)\n", shown.out);
    Outcome off = Run({"SETTINGS", "AllowUser", "OFF"});
    EXPECT_EQ(0, off.exitCode) << off.err;
    EXPECT_EQ("AllowUserAccess = off\n", off.out);
    EXPECT_EQ(0u, testhost::AllowUserAccess());
    EXPECT_EQ("AllowUserAccess = off  (create/dismount restricted to administrators)\n", Run({"settings"}).out);
    Outcome on = Run({"settings", "allowuser", "1"});
    EXPECT_EQ("AllowUserAccess = on\n", on.out);
    EXPECT_EQ(1u, testhost::AllowUserAccess());
    EXPECT_EQ("AllowUserAccess = off\n", Run({"settings", "allowuser", "0"}).out);
}

TEST_F(Console, SettingsArgumentsAreCheckedAfterConnecting)
{
    const char kUsage[] = "usage: vorelctl settings [allowuser on|off]\n";
    for (const auto &arguments : std::vector<std::vector<std::string>>{{"settings", "allowuser"},
                                                                       {"settings", "bogus", "on"}}) {
        Outcome outcome = Run(arguments);
        EXPECT_EQ(1, outcome.exitCode);
        EXPECT_EQ(kUsage, outcome.err);
    }
    for (const char *value : {"yes", "ON1", "2", ""}) {
        Outcome outcome = Run({"settings", "allowuser", value});
        EXPECT_EQ(1, outcome.exitCode) << value;
        EXPECT_EQ("vorelctl: allowuser value must be on/off\n", outcome.err) << value;
    }
    // Nothing reached the driver but the connection.
    EXPECT_TRUE(testhost::SeenRequests().empty());
    EXPECT_EQ(6, testhost::Count().creates);
    EXPECT_EQ(6, testhost::Count().closes);
}

TEST_F(Console, AFailedRequestNamesTheOperationTheStatusTheHintAndTheSystemsMessage)
{
    testhost::ScriptReply(IOCTL_VOREL_SET_SETTINGS, {STATUS_ACCESS_DENIED, {}, 0});
    Outcome set = Run({"settings", "allowuser", "on"});
    EXPECT_EQ(3, set.exitCode);
    EXPECT_EQ("vorelctl: set settings failed: access denied (needs an elevated / administrator command prompt)\n"
              "          (Win32 error 5: Access is denied.)\n",
              set.err);
    EXPECT_EQ("", set.out);

    testhost::ScriptReply(IOCTL_VOREL_GET_SETTINGS, {STATUS_ACCESS_DENIED, {}, 0});
    Outcome get = Run({"settings"});
    EXPECT_EQ(3, get.exitCode);
    EXPECT_EQ("vorelctl: get settings failed: access denied\n"
              "          (Win32 error 5: Access is denied.)\n",
              get.err);

    // A Win32 error without a system message, and a short reply, which has no native error.
    testhost::ScriptReply(IOCTL_VOREL_GET_SETTINGS, {STATUS_WRONG_VOLUME, {}, 0});
    EXPECT_EQ("vorelctl: get settings failed: transport error\n          (Win32 error 34)\n", Run({"settings"}).err);
    VOREL_SETTINGS settings{1, 0};
    testhost::ScriptReply(IOCTL_VOREL_GET_SETTINGS, {STATUS_SUCCESS, Bytes(&settings, 8), 7});
    Outcome shortReply = Run({"settings"});
    EXPECT_EQ(3, shortReply.exitCode);
    EXPECT_EQ("vorelctl: get settings failed: short reply\n", shortReply.err);
}

TEST_F(Console, RequestsTheDriverDoesNotServeFailHonestly)
{
    struct Case {
        const char *subcommand;
        const char *operation;
    };
    for (const Case &c : {Case{"list", "query live volumes"}, Case{"iostats", "query I/O stats"},
                          Case{"lifetime", "query lifetime stats"}}) {
        Outcome outcome = Run({c.subcommand});
        EXPECT_EQ(3, outcome.exitCode) << c.subcommand;
        EXPECT_EQ(std::string("vorelctl: ") + c.operation +
                      " failed: not supported by driver\n          (Win32 error 1: Incorrect function.)\n",
                  outcome.err);
        EXPECT_EQ("", outcome.out);
    }
}

TEST_F(Console, ListAndStatisticsPrintWhatTheDriverReports)
{
    auto *list = new VOREL_MOUNTED_VOLUME_LIST();
    testhost::ScriptReply(IOCTL_VOREL_QUERY_MOUNTED_VOLUMES, {STATUS_SUCCESS, Bytes(list, sizeof(*list)), sizeof(*list)});
    EXPECT_EQ("No volumes mounted\n", Run({"list"}).out);
    list->Count = 2;
    list->Entries[0] = VOREL_MOUNTED_VOLUME{'R', 0, 0, 64ull << 20, 1536, 1, 0, {}, {}};
    std::memcpy(list->Entries[0].Label, u"Vorel", 12);
    list->Entries[1] = VOREL_MOUNTED_VOLUME{'S', 0, 0, 512, 0, 7, 0, {}, {}};
    std::memcpy(list->Entries[1].Label, u"\u00e9t\u00e9", 8);
    testhost::ScriptReply(IOCTL_VOREL_QUERY_MOUNTED_VOLUMES, {STATUS_SUCCESS, Bytes(list, sizeof(*list)), sizeof(*list)});
    delete list;
    Outcome listed = Run({"list"});
    EXPECT_EQ(0, listed.exitCode) << listed.err;
    EXPECT_EQ("R:  64.0 MB    used=1.5 KB     compress=fast     label='Vorel'\n"
              "S:  512 B      used=0 B        compress=none     label='\xC3\xA9t\xC3\xA9'\n",
              listed.out);

    VOREL_IO_STATISTICS io{3ull << 30, 1024, 17, 5};
    testhost::ScriptReply(IOCTL_VOREL_IO_STATISTICS, {STATUS_SUCCESS, Bytes(&io, sizeof(io)), sizeof(io)});
    EXPECT_EQ("read  : 3.0 GB      (3221225472 bytes, 17 ops)\n"
              "write : 1.0 KB      (1024 bytes, 5 ops)\n",
              Run({"iostats"}).out);
    VOREL_LIFETIME_STATISTICS lifetime{5ull << 40, 0, 200ull << 20, 1023};
    testhost::ScriptReply(IOCTL_VOREL_LIFETIME_STATISTICS,
                          {STATUS_SUCCESS, Bytes(&lifetime, sizeof(lifetime)), sizeof(lifetime)});
    EXPECT_EQ("read       : 5.0 TB      (5497558138880 bytes)\n"
              "write      : 0 B         (0 bytes)\n"
              "peak read  : 200.0 MB/s\n"
              "peak write : 1023 B/s\n",
              Run({"lifetime"}).out);
}

} // namespace
