/*
 * Helpers for tests of the registry's files: a machine whose state and runtime
 * directories are a scratch directory, and file helpers.
 */
#pragma once

#include "cm_test.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

inline std::string FileBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/* Text as hives store it (UTF-16LE). */
inline std::string Utf16Bytes(const std::u16string &text)
{
    std::string bytes;
    for (char16_t c : text)
        bytes += {(char)(c & 0xFF), (char)(c >> 8)};
    return bytes;
}

class RegistryFilesTest : public MachineTest {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/vorel-cm-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        MachineTest::SetUp();
    }
    void TearDown() override
    {
        MachineTest::TearDown();
        std::filesystem::remove_all(base_);
    }
    machine::Config BootConfig() override
    {
        machine::Config config;
        config.stateDirectory = base_ + "/state";
        config.runtimeDirectory = base_ + "/run";
        config.registryLazyWriteMilliseconds = lazyWriteMilliseconds_;
        return config;
    }
    void Shutdown()
    {
        machine::AuditReport report = machine::Shutdown();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }
    /* The machine stops and starts again: the runtime directory is kept. */
    void Restart()
    {
        Shutdown();
        machine::Boot(BootConfig());
    }
    /* The host reboots: the runtime directory (memory) is cleared. */
    void Reboot()
    {
        Shutdown();
        std::filesystem::remove_all(base_ + "/run");
        machine::Boot(BootConfig());
    }
    std::string Hive() const { return base_ + "/state/registry.hive"; }
    std::string VolatileHive() const { return base_ + "/run/registry-volatile.hive"; }
    static std::string ReadFile(const std::string &path) { return FileBytes(path); }
    static void WriteFile(const std::string &path, const std::string &bytes)
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }

    std::string base_;
    uint32_t lazyWriteMilliseconds_ = 0; /* hives are written only when asked */
};
