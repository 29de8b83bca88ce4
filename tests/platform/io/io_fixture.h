/*
 * A machine with the test driver loaded, for the I/O manager's tests.
 */
#pragma once

#include "io_test_support.h"

class IoTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        iotest::ResetDriver(SecureOpen());
        ASSERT_EQ(iotest::Load(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (machine::IsDriverLoaded("iotest")) {
            EXPECT_EQ(iotest::Unload(), STATUS_SUCCESS);
        }
        MachineTest::TearDown();
    }
    virtual bool SecureOpen() { return true; }
    iotest::Driver &driver() { return iotest::TheDriver(); }
};
