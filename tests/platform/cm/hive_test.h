/*
 * Helpers for tests of the registry's files: a machine whose state and runtime
 * directories are a scratch directory, file helpers, and hive files made by hand.
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

/* A hive file of keys with no class and no values: header (magic, version 1, kind,
 * payload length, CRC-32 of payload and header), then the records. */
struct HiveImage {
    std::string records;
    uint32_t count = 0;

    static void U32(std::string &out, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out += (char)(uint8_t)(v >> (8 * i));
    }
    static void Text(std::string &out, const std::u16string &text)
    {
        U32(out, (uint32_t)text.size() * 2);
        out += Utf16Bytes(text);
    }
    static uint32_t Crc32(const std::string &bytes)
    {
        uint32_t crc = 0xFFFFFFFFu;
        for (unsigned char byte : bytes) {
            crc ^= byte;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
        }
        return ~crc;
    }
    /* parent: an earlier record, or 0xFFFFFFFF for a top record hung at anchor. */
    void AddKey(uint32_t parent, const std::u16string &name, bool isVolatile, const std::u16string &anchor = u"")
    {
        U32(records, parent);
        if (parent == 0xFFFFFFFF)
            Text(records, anchor);
        records += std::string(8, '\0'); /* last write time */
        U32(records, isVolatile);
        Text(records, name);
        records += std::string(8, '\0'); /* no class, no values */
        count++;
    }
    std::string File(uint32_t kind /* 1 persistent, 2 volatile */) const
    {
        std::string payload, header = "VORELREG";
        U32(payload, count);
        payload += records;
        U32(header, 1);
        U32(header, kind);
        U32(header, (uint32_t)payload.size());
        U32(header, 0);
        U32(header, Crc32(payload));
        U32(header, Crc32(header));
        return header + payload;
    }
};
