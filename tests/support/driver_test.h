/*
 * Test support: loading the driver module under test as the service "vorel".
 */
#pragma once

#include <unistd.h>

#include "machine_test.h"

#include <vorel.h>
#include "core/diagnostics.h"

#include <chrono>
#include <thread>

/*
 * Waits (up to 2 s) until no more than Baseline system threads are alive: a driver's
 * thread that has signalled its end may still be dropping its own reference to its
 * thread object when the routine that stopped it returns.
 */
inline void WaitForEndingSystemThreads(uint64_t baseline = 0)
{
    for (int wait = 0; wait < 400 && machine::LiveSystemThreads() > baseline; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

class DriverTest : public MachineTest {
protected:
    static constexpr const char *kService = "vorel";

    NTSTATUS LoadDriver() { return (NTSTATUS)machine::LoadDriver(VOREL_DRIVER_PATH, kService); }
    NTSTATUS UnloadDriver() { return (NTSTATUS)machine::UnloadDriver(kService); }
    const VOREL_DIAGNOSTICS *Diagnostics()
    {
        return static_cast<const VOREL_DIAGNOSTICS *>(machine::DriverSymbol(kService, "VorelDiagnostics"));
    }
};

/* The driver loaded for every test; unloaded at the end, which must leave an empty pool. */
class LoadedDriverTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
        d = Diagnostics();
        ASSERT_NE(d, nullptr);
        ASSERT_EQ(d->Version, (ULONG)VOREL_DIAGNOSTICS_VERSION);
        /* The start's auto-mount pass (a fresh machine has nothing stored) ends before a
           test counts threads or pool blocks. */
        PKTHREAD pass = d->Data->AutoMountService.Thread;
        if (pass != nullptr)
            KeWaitForSingleObject(pass, Executive, KernelMode, FALSE, nullptr);
        /* So are the periodic saves' and the statistics' first rounds: each opens keys
           briefly before it first waits on its event. */
        WaitForIdleServices();
        /* Their later rounds come when a volume arrives or a minute has passed: a fault
           sweep counting a request's calls must not count theirs. */
        for (PKTHREAD service : {d->Data->AutoSaveService.Thread, d->Data->StatisticsService.Thread})
            if (service != nullptr)
                machine::ExemptFromFaults(service);
    }
    /*
     * Waits until the periodic-save and statistics services block on their events.
     * A volume coming online wakes the periodic saves to re-read the store, which
     * holds a key and a value buffer for a moment: a test counting pool blocks
     * around creates waits for that read to end before each count.
     */
    void WaitForIdleServices() const
    {
        WaitUntilWaiting(&d->Data->VolumeSetChangeEvent, d->Data->AutoSaveService.Thread);
        WaitUntilWaiting(&d->Data->StatisticsWakeEvent, d->Data->StatisticsService.Thread);
    }
    /*
     * Live pool blocks but registry key objects: the services open the configuration
     * keys for a moment at times a test cannot know (the statistics persist every
     * minute). A key left open is still found by the unload's audit.
     */
    static uint64_t PoolBlocksButKeys()
    {
        return machine::PoolTotals().liveBlocks - machine::PoolTag(machine::TagFromText("Key ")).liveBlocks;
    }
    /* Waits (bounded) until a running service thread blocks on its wake event. */
    static void WaitUntilWaiting(const KEVENT *event, PKTHREAD thread)
    {
        for (int i = 0; thread != nullptr && machine::WaitersOn(event) == 0 && i < 5000; ++i)
            usleep(1000);
    }
    void TearDown() override
    {
        if (machine::IsDriverLoaded(kService)) {
            EXPECT_EQ(UnloadDriver(), STATUS_SUCCESS);
        }
        WaitForEndingSystemThreads();
        EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u);
        DriverTest::TearDown();
    }

    const VOREL_DIAGNOSTICS *d = nullptr;
};
