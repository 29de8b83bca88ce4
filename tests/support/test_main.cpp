/*
 * The test suite's main routine. Death tests re-execute the binary ("threadsafe"
 * style), so a halt in a child never sees threads of the parent.
 */
#include <gtest/gtest.h>

/*
 * ThreadSanitizer's defaults for every test program. A first touch of a page of a
 * section view is served inside the SIGSEGV handler, on the faulting thread, as
 * Windows serves a page fault: the paging read it sends allocates, which the
 * sanitizer would report as a call unsafe in a signal handler. The fault is
 * synchronous, so the thread is at a known instruction and the calls are safe.
 */
extern "C" const char *__tsan_default_options()
{
    return "report_signal_unsafe=0";
}

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
