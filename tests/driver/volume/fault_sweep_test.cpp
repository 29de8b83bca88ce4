/*
 * Volume create under injected failures: each pool allocation, and each call of the
 * system routines the create depends on, fails in turn until a create runs with
 * nothing injected. Every failed create leaves no list entry, device, letter,
 * MountedDevices value or pool block behind, and a create that succeeds despite a
 * failure (one it could do without) dismounts cleanly.
 */
#include "volume_test.h"

namespace {

class FaultSweepTest : public VolumeTest {
protected:
    /* Runs create-and-dismount once with the fault armed by arm(n); returns whether anything was injected. */
    bool RunOnce(const std::function<void(uint64_t)> &arm, const std::string &site, uint64_t n)
    {
        WaitForIdleServices();
        uint64_t poolBefore = PoolBlocksButKeys();
        uint64_t threadsBefore = machine::LiveSystemThreads();
        arm(n);
        NTSTATUS status = Create('R', 8 * kMiB, "sweep");
        uint64_t injected = machine::FaultsInjected(site);
        machine::DisarmFaults();
        SCOPED_TRACE(site + " #" + std::to_string(n) + " status " + std::to_string((uint32_t)status));
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(List().size(), 1u);
            EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
        } else {
            EXPECT_NE(injected, 0u) << "only an injected failure may fail the create";
            EXPECT_TRUE(NT_ERROR(status));
        }
        ExpectNoVolumeTrace('R');
        // Work the failure queued (a deferred deletion) finishes before the pool is counted.
        machine::DrainSystemWork();
        WaitForEndingSystemThreads(threadsBefore); /* the volume's workers drop their thread objects */
        WaitForIdleServices();
        EXPECT_EQ(PoolBlocksButKeys(), poolBefore);
        return injected != 0;
    }
    /* Fails the 1st, 2nd, ... call until a run injects nothing; returns how many runs injected. */
    uint64_t Sweep(const std::string &site, const std::function<void(uint64_t)> &arm)
    {
        for (uint64_t n = 1; n < 2000; ++n) {
            if (!RunOnce(arm, site, n) || HasFailure())
                return n - 1;
        }
        ADD_FAILURE() << site << ": the sweep never ran out of calls";
        return 0;
    }
};

TEST_F(FaultSweepTest, EveryPoolAllocationOfCreate)
{
    EXPECT_GT(Sweep("ExAllocatePoolWithTag", [](uint64_t n) { machine::ArmPoolFault(n, 0); }), 20u);
}

TEST_F(FaultSweepTest, EveryNamedCallOfCreate)
{
    for (const char *site : {"IoCreateDevice", "ExUuidCreate", "ZwCreateFile", "IoGetDeviceObjectPointer",
                             "ZwOpenSymbolicLinkObject", "ZwOpenKey", "ZwSetValueKey",
                             "ZwEnumerateValueKey", "PsCreateSystemThread", "ObReferenceObjectByHandle"}) {
        EXPECT_GT(Sweep(site, [site](uint64_t n) { machine::ArmFault(site, n); }), 0u) << site;
        if (HasFailure())
            return;
    }
}

} // namespace
