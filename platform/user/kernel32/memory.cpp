/*
 * The process heap, local memory and the machine's memory figures. Failure of a
 * routine can be injected by count (FailCall) so callers' failure paths run in tests.
 */
#include "win32_internal.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

namespace {

/* A value that is no pointer; HeapAlloc takes no other heap. */
HANDLE const kProcessHeap = reinterpret_cast<HANDLE>((uintptr_t)0x00010000);

/* Armed injections: routine -> calls left until the failing one. The count of armed
 * routines lets every call skip the lock while nothing is armed (HeapAlloc is hot). */
std::mutex faultLock;
std::map<std::string, uint64_t> faultCountdowns;
std::atomic<size_t> armedFaults{0};

/* The user half of a 64-bit process's address space below the guard regions, as
 * Windows reports it for the total virtual memory. */
constexpr DWORDLONG kUserVirtualBytes = 0x7FFFFFFE0000ull;

/* The machine's physical memory: MemTotal and MemAvailable of /proc/meminfo (the
 * figures a client process sees; the kernel reports them in KiB), plus the swap. */
struct MachineMemory {
    DWORDLONG total = 0, available = 0, swapTotal = 0, swapFree = 0;
};

bool ReadMachineMemory(MachineMemory *memory)
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key, unit;
    DWORDLONG kilobytes = 0;
    bool total = false, available = false;
    while (meminfo >> key >> kilobytes) {
        if (meminfo.peek() != '\n')
            meminfo >> unit;
        if (key == "MemTotal:") {
            memory->total = kilobytes << 10;
            total = true;
        } else if (key == "MemAvailable:") {
            memory->available = kilobytes << 10;
            available = true;
        } else if (key == "SwapTotal:")
            memory->swapTotal = kilobytes << 10;
        else if (key == "SwapFree:")
            memory->swapFree = kilobytes << 10;
    }
    return total && available && memory->total != 0;
}

} // namespace

namespace win32 {

void FailCall(const char *routine, uint64_t nth)
{
    std::lock_guard<std::mutex> guard(faultLock);
    if (nth == 0)
        faultCountdowns.erase(routine);
    else
        faultCountdowns[routine] = nth;
    armedFaults.store(faultCountdowns.size());
}

bool ShouldFailCall(const char *routine)
{
    if (armedFaults.load() == 0)
        return false;
    std::lock_guard<std::mutex> guard(faultLock);
    auto it = faultCountdowns.find(routine);
    if (it == faultCountdowns.end())
        return false;
    if (--it->second != 0)
        return false;
    faultCountdowns.erase(it);
    armedFaults.store(faultCountdowns.size());
    return true;
}

void FailHeapAllocation(uint64_t nth)
{
    FailCall("HeapAlloc", nth);
}

} // namespace win32

extern "C" {

WINBASEAPI HANDLE WINAPI GetProcessHeap(VOID)
{
    return kProcessHeap;
}

WINBASEAPI LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    if (hHeap != kProcessHeap || win32::ShouldFailCall("HeapAlloc"))
        return nullptr; /* HeapAlloc does not set the last error */
    void *block = (dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, dwBytes == 0 ? 1 : dwBytes)
                                               : std::malloc(dwBytes == 0 ? 1 : dwBytes);
    return block;
}

WINBASEAPI BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
    (void)dwFlags;
    if (hHeap != kProcessHeap) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::free(lpMem);
    return TRUE;
}

WINBASEAPI HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    if ((uFlags & ~(UINT)LMEM_ZEROINIT) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER); /* only fixed memory is offered */
        return nullptr;
    }
    void *block = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes == 0 ? 1 : uBytes)
                                           : std::malloc(uBytes == 0 ? 1 : uBytes);
    if (block == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

WINBASEAPI HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    std::free(hMem);
    return nullptr;
}

/*
 * GlobalMemoryStatusEx: the machine's physical memory, its commit limit (physical
 * plus swap, as Windows counts the page file in) and the process's virtual space.
 * The caller must set dwLength to the record's size; otherwise ERROR_INVALID_PARAMETER
 * and nothing is written.
 */
WINBASEAPI BOOL WINAPI GlobalMemoryStatusEx(LPMEMORYSTATUSEX lpBuffer)
{
    if (lpBuffer == nullptr || lpBuffer->dwLength != sizeof(MEMORYSTATUSEX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    MachineMemory memory;
    if (win32::ShouldFailCall("GlobalMemoryStatusEx") || !ReadMachineMemory(&memory)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    if (memory.available > memory.total)
        memory.available = memory.total;
    lpBuffer->dwMemoryLoad = (DWORD)((memory.total - memory.available) * 100 / memory.total);
    lpBuffer->ullTotalPhys = memory.total;
    lpBuffer->ullAvailPhys = memory.available;
    lpBuffer->ullTotalPageFile = memory.total + memory.swapTotal;
    lpBuffer->ullAvailPageFile = memory.available + memory.swapFree;
    lpBuffer->ullTotalVirtual = kUserVirtualBytes;
    lpBuffer->ullAvailVirtual = kUserVirtualBytes;
    lpBuffer->ullAvailExtendedVirtual = 0; /* reserved: always 0 */
    return TRUE;
}

} // extern "C"
