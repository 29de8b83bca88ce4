/*
 * The registry's files as an accident or another user may leave them: links,
 * FIFOs, directories and devices where the hive, its temporary file or its lock
 * belong. Nothing is followed or truncated, nothing hangs, and a machine that
 * cannot use its state fails to boot cleanly (TryBoot) instead of aborting.
 */
#include "hive_test.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

using RegistryFileSafetyTest = RegistryFilesTest;

TEST_F(RegistryFileSafetyTest, WhatSitsAtTheTemporaryNameIsReplacedNeverFollowed)
{
    const std::string victim = base_ + "/victim";
    WriteFile(victim, "precious");
    Key vorel;
    ASSERT_EQ(CreateKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
    ASSERT_EQ(symlink(victim.c_str(), (Hive() + ".tmp").c_str()), 0);
    EXPECT_EQ(ZwFlushKey(vorel.get()), STATUS_SUCCESS);
    EXPECT_EQ(ReadFile(victim), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Hive()))) << "the hive is no planted link";
}

TEST_F(RegistryFileSafetyTest, ABootOnStateItCannotUseFailsCleanlyAndTheNextBootWorks)
{
    Shutdown();
    const std::string victim = base_ + "/victim", lock = base_ + "/state/registry.lock";
    int held = -1;
    struct Case {
        const char *what;
        std::function<int()> make; /* 0 when made */
        std::string says;
    } cases[] = {
        {"a directory", [&] { return mkdir(Hive().c_str(), 0700); }, Hive() + " is not a regular file"},
        {"a FIFO", [&] { return mkfifo(Hive().c_str(), 0600); }, Hive() + " is not a regular file"},
        {"a device", [&] { return mknod(Hive().c_str(), S_IFCHR | 0600, makedev(1, 3)); },
         Hive() + " is not a regular file"},
        {"a link", [&] { return symlink(victim.c_str(), Hive().c_str()); }, Hive() + " is a symbolic link"},
        {"a link as the lock",
         [&] { return unlink(lock.c_str()) == 0 ? symlink(victim.c_str(), lock.c_str()) : -1; },
         "cannot open " + lock},
        {"a held lock",
         [&] {
             held = open(lock.c_str(), O_RDWR | O_CLOEXEC);
             return flock(held, LOCK_EX | LOCK_NB);
         },
         lock + " is held by another machine or tool"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int made = c.make();
        if (made != 0 && errno == EPERM)
            continue; /* making a device needs privilege */
        ASSERT_EQ(made, 0) << std::strerror(errno);
        std::string error;
        EXPECT_FALSE(machine::TryBoot(BootConfig(), &error));
        EXPECT_FALSE(machine::IsBooted());
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(victim)) << "a link was followed";
        fs::remove(Hive());
        fs::remove(lock);
        if (held >= 0)
            close(held);
        held = -1;
        // What the failed boot took (the state directory's lock above all) is free again.
        ASSERT_TRUE(machine::TryBoot(BootConfig(), &error)) << error;
        Shutdown();
    }
}

} // namespace
