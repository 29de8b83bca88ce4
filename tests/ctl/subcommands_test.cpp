/*
 * The volume and boot-configuration subcommands: their argument grammar (refused
 * before anything is sent), what they send, and what they print.
 */
#include <vorel_control.h>
#include <ntdef.h>
#include <ntstatus.h>

#include "programs.h"
#include "test_host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

using testhost::Outcome;

std::vector<uint8_t> Bytes(const void *data, size_t size)
{
    const auto *p = static_cast<const uint8_t *>(data);
    return std::vector<uint8_t>(p, p + size);
}

template <typename Record>
std::unique_ptr<Record> As(const std::vector<uint8_t> &bytes)
{
    auto record = std::make_unique<Record>();
    std::memset(record.get(), 0, sizeof(Record));
    std::memcpy(record.get(), bytes.data(), std::min(bytes.size(), sizeof(Record)));
    return record;
}

std::u16string Field(const wchar_t *units)
{
    return std::u16string(reinterpret_cast<const char16_t *>(units));
}

class Subcommands : public testhost::TestHost {
protected:
    void SetUp() override
    {
        TestHost::SetUp();
        for (uint32_t code : {IOCTL_VOREL_CREATE_VOLUME, IOCTL_VOREL_DISMOUNT_VOLUME, IOCTL_VOREL_RESIZE_VOLUME,
                              IOCTL_VOREL_SAVE_VOLUME, IOCTL_VOREL_SET_BOOT_CONFIGURATION,
                              IOCTL_VOREL_DELETE_BOOT_CONFIGURATION})
            testhost::ScriptReply(code, {STATUS_SUCCESS, {}, 0});
    }
    Outcome Run(const std::vector<std::string> &arguments)
    {
        testhost::RunOptions options;
        options.environment["VOREL_RUNTIME_DIR"] = runtimeDirectory_;
        return testhost::Run(testhost::ProgramPath("vorelctl"), arguments, options);
    }
    /* A usage or argument error: exit 1, the message, and not even a connection. */
    void ExpectRefused(const std::vector<std::string> &arguments, const std::string &message)
    {
        int opens = testhost::Count().creates;
        Outcome outcome = Run(arguments);
        EXPECT_EQ(1, outcome.exitCode) << arguments[0];
        EXPECT_EQ(message, outcome.err) << arguments[0];
        EXPECT_EQ(opens, testhost::Count().creates) << arguments[0];
    }
    testhost::SeenRequest Last() { return testhost::SeenRequests().back(); }
};

TEST_F(Subcommands, LettersSizesAndOptionsAreCheckedBeforeConnecting)
{
    ExpectRefused({"create", "X:", "64M"}, "vorelctl: drive letter must be A..Z\n");
    ExpectRefused({"create", "1", "64M"}, "vorelctl: drive letter must be A..Z\n");
    for (const char *size : {"64MB", "1.5G", "0", "", "64Q", "99999999999999999999", "20000000T"})
        ExpectRefused({"create", "R", size}, std::string("vorelctl: invalid size '") + size + "'\n");
    ExpectRefused({"create", "R", "64M", "compress=zip"}, "vorelctl: compression level must be none/fast/normal/max\n");
    ExpectRefused({"create", "R", "64M", "image="}, "vorelctl: image= needs a path\n");
    // Options are read before the letter.
    ExpectRefused({"create", "X:", "64M", "compress=zip"}, "vorelctl: compression level must be none/fast/normal/max\n");
    ExpectRefused({"create", "R", "64M", std::string(40, 'l')}, "vorelctl: label too long or invalid\n");
    ExpectRefused({"dismount"}, "usage: vorelctl dismount <letter>\n");
    ExpectRefused({"resize", "R"}, "usage: vorelctl resize <letter> <size>\n"
                                   "       size = number with K/M/G/T suffix (e.g. 64M, 2G)\n");
    ExpectRefused({"save"}, "usage: vorelctl save <letter> [newpath]\n");
    ExpectRefused({"auto", "add", "X", "1G", "period=4", "image=D:\\x.img"}, "vorelctl: period must be 5..86400 seconds\n");
    ExpectRefused({"auto", "add", "X", "1G", "period=5s", "image=D:\\x.img"}, "vorelctl: period must be 5..86400 seconds\n");
    ExpectRefused({"auto", "add", "X", "1G", "autosave"}, "vorelctl: autosave/period need image=<path>\n");
    // The auto usage for a missing or unknown sub-word.
    Outcome usage = Run({"auto", "bogus"});
    EXPECT_EQ(1, usage.exitCode);
    EXPECT_EQ(0u, usage.err.find("usage: vorelctl auto add <letter> <size> [label] [nosec] [norecycle]\n"));
    EXPECT_TRUE(testhost::SeenRequests().empty());
}

TEST_F(Subcommands, CreateSendsWhatWasAskedAndSaysWhatItMade)
{
    Outcome made = Run({"CREATE", "x", "64m", "data", "nosec", "work"});
    EXPECT_EQ(0, made.exitCode) << made.err;
    EXPECT_EQ("Created volume X: (64.0 MB, label='work', nosec)\n", made.out);
    auto record = As<VOREL_CREATE_VOLUME_INPUT>(Last().input);
    EXPECT_EQ(u'X', record->Letter);
    EXPECT_EQ(64ull << 20, record->SizeBytes);
    EXPECT_EQ(0x1u, record->Flags);
    EXPECT_EQ(u"work", Field(record->Label));

    Outcome imaged = Run({"create", "R", "1T", "norecycle", "compress=MAX", "image=C:\\r.img", "folders=a;b\\c"});
    EXPECT_EQ(0, imaged.exitCode) << imaged.err;
    EXPECT_EQ("Created volume R: (1.0 TB, label='Vorel', norecycle, compress=max, image=C:\\r.img)\n"
              "(loaded values from an existing image override size/label shown above)\n",
              imaged.out);
    record = As<VOREL_CREATE_VOLUME_INPUT>(Last().input);
    EXPECT_EQ(1ull << 40, record->SizeBytes);
    EXPECT_EQ(0x8u | (3u << 1), record->Flags);
    EXPECT_EQ(u"a\nb\\c", Field(record->InitialFolders));
    EXPECT_EQ(u"C:\\r.img", Field(record->ImagePath));

    // 512 bytes reach the library, which wants 4 MiB without an image.
    Outcome tiny = Run({"create", "R", "512"});
    EXPECT_EQ(3, tiny.exitCode);
    EXPECT_EQ("vorelctl: create volume failed: invalid argument\n", tiny.err);
    // C: is taken (the Linux root).
    Outcome taken = Run({"create", "C", "64M"});
    EXPECT_EQ("vorelctl: create volume failed: already exists\n", taken.err);
    testhost::ScriptReply(IOCTL_VOREL_CREATE_VOLUME, {STATUS_ACCESS_DENIED, {}, 0});
    EXPECT_EQ("vorelctl: create volume failed: access denied (blocked by the AllowUserAccess policy \xE2\x80\x94 run "
              "elevated)\n          (Win32 error 5: Access is denied.)\n",
              Run({"create", "R", "64M"}).err);
}

TEST_F(Subcommands, DismountSaveAndTheirHints)
{
    EXPECT_EQ("Dismounted volume Q:\n", Run({"dismount", "q"}).out);
    testhost::ScriptReply(IOCTL_VOREL_DISMOUNT_VOLUME, {STATUS_DEVICE_BUSY, {}, 0});
    Outcome busy = Run({"dismount", "Q"});
    EXPECT_EQ(3, busy.exitCode);
    EXPECT_EQ("vorelctl: dismount volume failed: busy (volume is in use (open handles / mapped files))\n"
              "          (Win32 error 170: The requested resource is in use.)\n",
              busy.err);

    Outcome saved = Run({"save", "R", "C:\\new.img"});
    EXPECT_EQ(0, saved.exitCode) << saved.err;
    EXPECT_EQ("Saving volume R: to C:\\new.img ...\nSaved volume R:\n", saved.out);
    EXPECT_EQ(u"C:\\new.img", Field(As<VOREL_SAVE_INPUT>(Last().input)->NewImagePath));
    testhost::ScriptReply(IOCTL_VOREL_SAVE_VOLUME, {STATUS_INVALID_DEVICE_STATE, {}, 0});
    Outcome unbound = Run({"save", "R"});
    EXPECT_EQ("Saving volume R: ...\n", unbound.out);
    EXPECT_EQ("vorelctl: save volume failed: no bound image (volume has no bound image \xE2\x80\x94 pass a path)\n"
              "          (Win32 error 22: The device does not recognize the command.)\n",
              unbound.err);
}

TEST_F(Subcommands, AResizeCarriesTheNewSizeIntoTheBootConfiguration)
{
    auto list = std::make_unique<VOREL_BOOT_CONFIGURATION_LIST>();
    std::memset(list.get(), 0, sizeof(*list));
    list->Count = 1;
    list->Entries[0].Letter = 'R';
    list->Entries[0].SizeBytes = 64ull << 20;
    testhost::ScriptReply(IOCTL_VOREL_QUERY_BOOT_CONFIGURATION,
                          {STATUS_SUCCESS, Bytes(list.get(), sizeof(*list)), sizeof(*list)});
    Outcome resized = Run({"resize", "R", "1G"});
    EXPECT_EQ(0, resized.exitCode) << resized.err;
    EXPECT_EQ("Resized volume R: to 1.0 GB\nUpdated the boot configuration for volume R:\n", resized.out);
    EXPECT_EQ(1ull << 30, As<VOREL_BOOT_CONFIGURATION>(Last().input)->SizeBytes);
    // A letter with no configuration: nothing more.
    EXPECT_EQ("Resized volume S: to 1.0 GB\n", Run({"resize", "S", "1G"}).out);
    // The configuration cannot follow, whether it cannot be stored or not even read: still success.
    const char *notUpdated = "vorelctl: volume resized, but the boot configuration was NOT updated;\n"
                             "          if R: is a configured volume, re-run 'vorelctl auto add R ...' with the new size\n";
    testhost::ScriptReply(IOCTL_VOREL_SET_BOOT_CONFIGURATION, {STATUS_ACCESS_DENIED, {}, 0});
    Outcome warned = Run({"resize", "R", "2G"});
    EXPECT_EQ(0, warned.exitCode);
    EXPECT_EQ("Resized volume R: to 2.0 GB\n", warned.out);
    EXPECT_EQ(notUpdated, warned.err);
    testhost::ScriptReply(IOCTL_VOREL_QUERY_BOOT_CONFIGURATION, {STATUS_ACCESS_DENIED, {}, 0});
    Outcome unread = Run({"resize", "R", "3G"});
    EXPECT_EQ(0, unread.exitCode);
    EXPECT_EQ(notUpdated, unread.err);
}

TEST_F(Subcommands, CreateAndResizeFailuresCarryTheirHintsAndExitCodes)
{
    Outcome usage = Run({"create", "R"});
    EXPECT_EQ(1, usage.exitCode);
    EXPECT_EQ(0u, usage.err.find("usage: vorelctl create <letter> <size> [label] [nosec] [norecycle] "
                                 "[compress=fast|normal|max] [image=<path>] [folders=a;b;c]\n"
                                 "       size     = number with K/M/G/T suffix (e.g. 64M, 2G)\n"));
    EXPECT_NE(std::string::npos, usage.err.find("                  and materialises at first 'save'\n"));
    size_t sent = testhost::SeenRequests().size();
    // Below 4 MiB the library refuses before sending: no system error to show.
    for (const char *command : {"create", "resize"}) {
        Outcome small = Run({command, "R", "3M"});
        EXPECT_EQ(3, small.exitCode) << command;
        EXPECT_EQ(std::string("vorelctl: ") + command + " volume failed: invalid argument\n", small.err);
        EXPECT_EQ("", small.out);
    }
    // A letter some other device holds is found before sending, too.
    testhost::MakeDriveLink('T');
    Outcome held = Run({"create", "T", "64M"});
    EXPECT_EQ(3, held.exitCode);
    EXPECT_EQ("vorelctl: create volume failed: already exists\n", held.err);
    testhost::RemoveDriveLink('T');
    EXPECT_EQ(sent, testhost::SeenRequests().size());
    // The driver's refusals, with their hints where the command has one.
    testhost::ScriptReply(IOCTL_VOREL_CREATE_VOLUME, {STATUS_OBJECT_NAME_COLLISION, {}, 0});
    EXPECT_EQ("vorelctl: create volume failed: already exists\n"
              "          (Win32 error 183: Cannot create a file when that file already exists.)\n",
              Run({"create", "T", "64M"}).err);
    testhost::ScriptReply(IOCTL_VOREL_RESIZE_VOLUME, {STATUS_DISK_FULL, {}, 0});
    Outcome full = Run({"resize", "r", "4M"});
    EXPECT_EQ(3, full.exitCode);
    EXPECT_EQ("", full.out);
    EXPECT_EQ("vorelctl: resize volume failed: disk full (content does not fit the new size - free space and retry)\n"
              "          (Win32 error 112: There is not enough space on the disk.)\n",
              full.err);
    testhost::ScriptReply(IOCTL_VOREL_RESIZE_VOLUME, {STATUS_OBJECT_NAME_NOT_FOUND, {}, 0});
    EXPECT_EQ("vorelctl: resize volume failed: not found\n"
              "          (Win32 error 2: The system cannot find the file specified.)\n",
              Run({"resize", "Q", "1G"}).err);
    testhost::ScriptReply(IOCTL_VOREL_DISMOUNT_VOLUME, {STATUS_OBJECT_NAME_NOT_FOUND, {}, 0});
    Outcome absent = Run({"dismount", "Q"});
    EXPECT_EQ(3, absent.exitCode);
    EXPECT_EQ("vorelctl: dismount volume failed: not found\n"
              "          (Win32 error 2: The system cannot find the file specified.)\n",
              absent.err);
}

TEST_F(Subcommands, AutoStoresRemovesAndListsConfigurations)
{
    Outcome added = Run({"auto", "add", "s", "1G", "backup", "nosec", "norecycle", "manual", "period=60",
                         "compress=fast", "image=C:\\s.img", "folders=a;b\\c"});
    EXPECT_EQ(0, added.exitCode) << added.err;
    EXPECT_EQ("Configured volume S: (1.0 GB, label='backup', nosec, norecycle, manual, autosave, period=60s, "
              "compress=fast, folders=a;b\\c, image=C:\\s.img)\n"
              "(stored only \xE2\x80\x94 it mounts at the next service start; 'create' mounts it now)\n",
              added.out);
    auto record = As<VOREL_BOOT_CONFIGURATION>(Last().input);
    EXPECT_EQ(0x1u | 0x20u | 0x2u | 0x4u | 0x10u, record->Flags);
    EXPECT_EQ(60u, record->SaveIntervalSeconds);
    EXPECT_EQ(1u, record->CompressionLevel);

    EXPECT_EQ("Removed configuration for volume S: (a mounted volume stays mounted)\n", Run({"auto", "del", "S"}).out);
    testhost::ScriptReply(IOCTL_VOREL_DELETE_BOOT_CONFIGURATION, {STATUS_OBJECT_NAME_NOT_FOUND, {}, 0});
    EXPECT_EQ("vorelctl: remove volume configuration failed: not found (no configuration for that letter)\n"
              "          (Win32 error 2: The system cannot find the file specified.)\n",
              Run({"auto", "del", "S"}).err);

    auto list = std::make_unique<VOREL_BOOT_CONFIGURATION_LIST>();
    std::memset(list.get(), 0, sizeof(*list));
    testhost::ScriptReply(IOCTL_VOREL_QUERY_BOOT_CONFIGURATION,
                          {STATUS_SUCCESS, Bytes(list.get(), sizeof(*list)), sizeof(*list)});
    EXPECT_EQ("No volumes configured\n", Run({"auto", "list"}).out);
    list->Count = 3;
    list->Entries[0] = VOREL_BOOT_CONFIGURATION{'R', 0, 0x37, 64ull << 20, 2, 1, 0, 300, {}, {}, {}};
    std::memcpy(list->Entries[0].Label, u"Vorel", 12);
    std::memcpy(list->Entries[0].ImagePath, u"C:\\r.img", 18);
    std::memcpy(list->Entries[0].InitialFolders, u"a\nb", 8);
    list->Entries[1] = VOREL_BOOT_CONFIGURATION{'S', 0, 0, 1ull << 30, 0, 0, 0xC0000102, 0, {}, {}, {}};
    list->Entries[2] = VOREL_BOOT_CONFIGURATION{'T', 0, 0x2, 512, 9, 0, 0, 0, {}, {}, {}};
    testhost::ScriptReply(IOCTL_VOREL_QUERY_BOOT_CONFIGURATION,
                          {STATUS_SUCCESS, Bytes(list.get(), sizeof(*list)), sizeof(*list)});
    Outcome listed = Run({"auto", "list"});
    EXPECT_EQ(0, listed.exitCode) << listed.err;
    EXPECT_EQ("R:  64.0 MB    label='Vorel'  compress=normal  nosec  norecycle  manual  autosave  period=300s\n"
              "    image: C:\\r.img\n"
              "    folders: a, b\n"
              "    state: mounted\n"
              "S:  1.0 GB     label=''\n"
              "    state: NOT mounted (auto-mount failed 0xC0000102)\n"
              "T:  512 B      label=''  compress=none  manual\n"
              "    state: not mounted\n",
              listed.out);
}

TEST_F(Subcommands, InstallWithoutAPathLooksInTheSystemDirectory)
{
    setenv("VOREL_SYSTEM_DIR", "/nonexistent-vorel-system", 1);
    Outcome install = Run({"install"});
    unsetenv("VOREL_SYSTEM_DIR");
    EXPECT_EQ(3, install.exitCode);
    EXPECT_EQ("vorelctl: driver file not found: C:\\nonexistent-vorel-system\\drivers\\vorel.sys\n", install.err);
    EXPECT_EQ("", install.out);

    // The host's machine has no such service: nothing to remove.
    Outcome uninstall = Run({"uninstall"});
    EXPECT_EQ(0, uninstall.exitCode) << uninstall.err;
    EXPECT_EQ("Already uninstalled.\n", uninstall.out);
}

} // namespace
