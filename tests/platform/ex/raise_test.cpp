/*
 * Raised statuses: a guarded call receives what the routines inside it raise
 * (a failed probe, a raise from deep inside), the innermost guard first, and
 * the thread goes on; a raise with no guard stops the machine.
 */
#include "machine_test.h"

#include <wdm.h>

#include <thread>

namespace {

using RaiseTest = MachineTest;
using RaiseDeathTest = MachineTest;


/* Raises at a depth, so the jump crosses frames that hold locals of their own. */
DECLSPEC_NOINLINE void RaiseAtDepth(int depth, NTSTATUS status)
{
    volatile char frame[64] = {};
    frame[depth & 63] = (char)depth;
    if (frame[0] < 0 && depth < 0)
        return;
    if (depth < 0)
        return;
    if (depth == 0)
        ExRaiseStatus(status);
    RaiseAtDepth(depth - 1, status);
}

TEST_F(RaiseDeathTest, AGuardedCallReceivesTheRaisedStatusAndTheThreadGoesOn)
{
    NTSTATUS status = STATUS_SUCCESS;
    STANDIN_GUARDED_CALL(status, RaiseAtDepth(20, STATUS_INSUFFICIENT_RESOURCES));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);

    // A call that raises nothing leaves the status alone, and the guard is gone after it.
    status = STATUS_PENDING;
    STANDIN_GUARDED_CALL(status, RaiseAtDepth(-1, STATUS_SUCCESS) /* returns at once */);
    EXPECT_EQ(status, STATUS_PENDING);
    EXPECT_BUGCHECK(ExRaiseStatus(STATUS_INVALID_PARAMETER), KMODE_EXCEPTION_NOT_HANDLED);
}

TEST_F(RaiseTest, TheInnermostGuardReceivesAndTheOuterOneStaysArmed)
{
    NTSTATUS outer = STATUS_SUCCESS;
    NTSTATUS inner = STATUS_SUCCESS;
    auto nested = [&inner] {
        STANDIN_GUARDED_CALL(inner, RaiseAtDepth(2, STATUS_ACCESS_VIOLATION));
        ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT); /* now the outer guard's */
    };
    STANDIN_GUARDED_CALL(outer, nested());
    EXPECT_EQ(inner, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(outer, STATUS_DATATYPE_MISALIGNMENT);
}

TEST_F(RaiseTest, FailedProbesAreReceivedOnEveryThread)
{
    // Guards are per thread: concurrent raises each land in their own thread's guard.
    std::vector<std::thread> threads;
    std::atomic<int> received{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&received] {
            for (int i = 0; i < 1000; ++i) {
                NTSTATUS status = STATUS_SUCCESS;
                char kernelBuffer[8];
                STANDIN_GUARDED_CALL(status, ProbeForWrite(kernelBuffer, sizeof(kernelBuffer), 1));
                if (status == STATUS_ACCESS_VIOLATION)
                    received++;
            }
        });
    for (auto &thread : threads)
        thread.join();
    EXPECT_EQ(received.load(), 4000);
}

TEST_F(RaiseDeathTest, ARaiseWithNoGuardStopsTheMachine)
{
    EXPECT_BUGCHECK(ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES), KMODE_EXCEPTION_NOT_HANDLED);
}

} // namespace
