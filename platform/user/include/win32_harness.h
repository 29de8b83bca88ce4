/*
 * The stand-in's user mode seen from Linux: what tests and tools reach behind the
 * Win32 API. Linux-world interface, exported by libkernel32 next to the Win32 routines.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#define WIN32_HARNESS_API __attribute__((visibility("default")))

namespace transport {
class Client;
}

namespace win32 {

/* The connection this process's Win32 layer keeps to the host (made on first use,
 * at $VOREL_RUNTIME_DIR/vorel.sock). */
WIN32_HARNESS_API transport::Client &HostConnection();

/* Makes the nth call of a routine from now fail (1 = the next); 0 disarms. Routines
 * that take it: HeapAlloc, GlobalMemoryStatusEx, GetLogicalDrives. */
WIN32_HARNESS_API void FailCall(const char *routine, uint64_t nth);
/* FailCall("HeapAlloc", nth). */
WIN32_HARNESS_API void FailHeapAllocation(uint64_t nth);

/* Handles this process holds: from its current connection, and on host files. */
WIN32_HARNESS_API size_t OpenHandleCount();

/* The shell's change notifications so far (shell32). */
struct ShellNotification {
    uint32_t event = 0;
    uint32_t flags = 0;
    std::u16string path; /* for path notifications */
};
WIN32_HARNESS_API std::vector<ShellNotification> ShellNotifications();

/* COM task-memory blocks (CoTaskMemAlloc) not yet freed (ole32): the shell's item lists
 * are among them, so a caller that forgets CoTaskMemFree shows here. */
WIN32_HARNESS_API size_t TaskMemoryBlocks();

} // namespace win32
