/*
 * Test support: loading the driver module under test as the service "vorel".
 */
#pragma once

#include "machine_test.h"

#include <vorel.h>
#include "core/diagnostics.h"

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
