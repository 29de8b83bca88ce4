/* The memory routines of the C library, bound to the C library itself. */
#pragma once

#if defined(__cplusplus)
#define VCRT_NOTHROW noexcept
extern "C" {
#else
#define VCRT_NOTHROW
#endif

void *memcpy(void *dest, const void *src, __SIZE_TYPE__ n) VCRT_NOTHROW;
void *memmove(void *dest, const void *src, __SIZE_TYPE__ n) VCRT_NOTHROW;
void *memset(void *s, int c, __SIZE_TYPE__ n) VCRT_NOTHROW;
int memcmp(const void *a, const void *b, __SIZE_TYPE__ n) VCRT_NOTHROW;
void *memchr(const void *s, int c, __SIZE_TYPE__ n) VCRT_NOTHROW;

#if defined(__cplusplus)
}
#endif
