/*
 * Test support: a fixture that boots the machine for each test and insists that
 * it shuts down clean, and matchers for halts.
 */
#pragma once

#include "machine.h"

#include <wdm.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

class MachineTest : public testing::Test {
protected:
    void SetUp() override { machine::Boot(BootConfig()); }
    void TearDown() override
    {
        if (!machine::IsBooted())
            return;
        machine::AuditReport report = machine::Shutdown();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }
    virtual machine::Config BootConfig() { return machine::Config(); }
};

/* A bug-check parameter that may take any value (addresses differ in the death test's child). */
constexpr uint64_t kAnyParameter = 0xA11A11A11A11A11Aull;

/* Regular expression for the line a bug check prints, up to the given parameters. */
inline std::string BugCheckPattern(uint32_t code, std::initializer_list<uint64_t> parameters = {})
{
    char text[64];
    std::snprintf(text, sizeof(text), "BUGCHECK 0x%08X \\(", code);
    std::string pattern = text;
    bool first = true;
    for (uint64_t p : parameters) {
        if (p == kAnyParameter)
            std::snprintf(text, sizeof(text), "%s0x[0-9A-F]+", first ? "" : ", ");
        else
            std::snprintf(text, sizeof(text), "%s0x%016llX", first ? "" : ", ", (unsigned long long)p);
        pattern += text;
        first = false;
    }
    return pattern;
}

inline std::string FastFailPattern(uint32_t code)
{
    return "FAST_FAIL " + std::to_string(code) + " ";
}

#define EXPECT_BUGCHECK(statement, ...) EXPECT_DEATH(statement, BugCheckPattern(__VA_ARGS__))
#define EXPECT_FASTFAIL(statement, code) EXPECT_DEATH(statement, FastFailPattern(code))

/* A machine whose clock jumps to the next deadline whenever every thread waits. */
inline machine::Config AutoClockConfig()
{
    machine::Config config;
    config.clock = machine::ClockMode::AutoAdvance;
    return config;
}

/* A machine whose clock moves only when the test advances it. */
inline machine::Config ManualClockConfig()
{
    machine::Config config;
    config.clock = machine::ClockMode::Manual;
    return config;
}

class AutoClockTest : public MachineTest {
protected:
    machine::Config BootConfig() override { return AutoClockConfig(); }
};

/* Relative time-outs in 100 ns units, as the kernel takes them. */
inline LARGE_INTEGER RelativeMs(long long milliseconds)
{
    LARGE_INTEGER value;
    value.QuadPart = -milliseconds * 10000;
    return value;
}
