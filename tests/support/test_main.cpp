/*
 * The test suite's main routine. Death tests re-execute the binary ("threadsafe"
 * style), so a halt in a child never sees threads of the parent.
 */
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
