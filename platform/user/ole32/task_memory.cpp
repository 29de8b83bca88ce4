/*
 * COM task memory, on the C library's allocator.
 */
#include <objbase.h>

#include <cstdlib>

extern "C" {

WINOLEAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb)
{
    return std::malloc(cb == 0 ? 1 : cb);
}

WINOLEAPI_(VOID) CoTaskMemFree(LPVOID pv)
{
    std::free(pv);
}

} // extern "C"
