/*
 * A fixture for C runtime tests: it installs an invalid-parameter handler that
 * records calls instead of stopping the process, so each test can assert exactly
 * which calls reported an invalid parameter, and clears errno.
 */
#pragma once

#include "utf16_text.h"

#include <vcrt.h>

#include <gtest/gtest.h>

#include <string>

class CrtTest : public testing::Test {
protected:
    void SetUp() override
    {
        handlerCalls = 0;
        lastFunction.clear();
        previous_ = vcrt::_set_invalid_parameter_handler(&Record);
        Errno() = 0;
    }
    void TearDown() override { vcrt::_set_invalid_parameter_handler(previous_); }

    static int &Errno() { return *vcrt::_errno(); }

    static inline int handlerCalls = 0;
    static inline std::string lastFunction;

private:
    static void Record(const wchar_t *, const wchar_t *function, const wchar_t *, unsigned, unsigned long long)
    {
        ++handlerCalls;
        lastFunction = function ? Utf8(function) : "";
    }
    vcrt::_invalid_parameter_handler previous_ = nullptr;
};
