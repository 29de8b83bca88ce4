/*
 * An in-process test driver for the I/O manager's tests. It creates
 * "\Device\IoTest" (optionally with FILE_DEVICE_SECURE_OPEN) with the descriptor
 * "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)" and the link "\DosDevices\IoTest";
 * every request is handed to a hook a test sets, or completed with success.
 */
#pragma once

#include "machine_test.h"
#include "user_process.h"

#include <ntifs.h>
#include <wdmsec.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace iotest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct Driver {
    Dispatch hooks[IRP_MJ_MAXIMUM_FUNCTION + 1];
    std::vector<UCHAR> seen; /* major functions in arrival order */
    PDEVICE_OBJECT device = nullptr;
    bool secureOpen = true;
    bool deleteDeviceOnUnload = true;
    std::atomic<int> cleanups{0}, closes{0};
};

Driver &TheDriver();
/* Forgets everything a previous test set or saw. */
void ResetDriver(bool secureOpen = true);

/* Completes an IRP (a helper for hooks). */
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

/* Loads the test driver as service "iotest". */
NTSTATUS Load();
NTSTATUS Unload();

using support::Name;
using support::UserProcess;
using support::AsUser;

} // namespace iotest
