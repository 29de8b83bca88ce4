/*
 * COM task memory, on the C library's allocator. Blocks are counted so tests see
 * one that was never freed (TaskMemoryBlocks).
 */
#include <objbase.h>

#include "win32_harness.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<size_t> liveBlocks{0};

} // namespace

namespace win32 {

size_t TaskMemoryBlocks()
{
    return liveBlocks.load();
}

} // namespace win32

extern "C" {

WINOLEAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb)
{
    void *block = std::malloc(cb == 0 ? 1 : cb);
    if (block != nullptr)
        liveBlocks.fetch_add(1);
    return block;
}

WINOLEAPI_(VOID) CoTaskMemFree(LPVOID pv)
{
    if (pv == nullptr)
        return; /* freeing null is allowed and does nothing */
    liveBlocks.fetch_sub(1);
    std::free(pv);
}

} // extern "C"
