/*
 * The process heap and local memory, on the C library's allocator. Allocation
 * failure can be injected (FailHeapAllocation) so callers' out-of-memory paths run
 * in tests.
 */
#include "win32_internal.h"

#include <atomic>
#include <cstdlib>

namespace {

/* A value that is no pointer; HeapAlloc takes no other heap. */
HANDLE const kProcessHeap = reinterpret_cast<HANDLE>((uintptr_t)0x00010000);
std::atomic<uint64_t> heapFaultCountdown{0};

bool InjectedHeapFailure()
{
    uint64_t left = heapFaultCountdown.load();
    while (left != 0) {
        if (heapFaultCountdown.compare_exchange_weak(left, left - 1))
            return left == 1;
    }
    return false;
}

} // namespace

namespace win32 {

void FailHeapAllocation(uint64_t nth)
{
    heapFaultCountdown.store(nth);
}

} // namespace win32

extern "C" {

WINBASEAPI HANDLE WINAPI GetProcessHeap(VOID)
{
    return kProcessHeap;
}

WINBASEAPI LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    if (hHeap != kProcessHeap || InjectedHeapFailure())
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

} // extern "C"
