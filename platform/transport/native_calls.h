/*
 * A decoded call made into the call of the machine's native routine it names
 * (native_calls.cpp, the one file of the server that sees the Windows routines).
 */
#pragma once

#include "wire.h"

#include <ntdef.h>

namespace transport {

/* Runs one decoded call in the calling thread's current process (previous mode user). */
NTSTATUS InvokeNativeCall(const CallBody &call);

/* Runs one of the registry's calls, its client's pointers probed and its names captured
 * (registry_calls.cpp). */
NTSTATUS InvokeRegistryCall(const CallBody &call);

/* The user status block by which a Cancel can reach the call's request, or null. */
const void *CancellableStatusBlock(const CallBody &call);

} // namespace transport
