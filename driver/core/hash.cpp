/*
 * XXH3, the driver's one hash (names, descriptors, image checksums): the 64-bit
 * form with seed 0 and the default secret, from xxHash's header alone, inlined
 * here as a kernel uses it. The header's only allocation (a streaming state) has
 * no pool to come from, so it answers null; the driver never streams.
 */
#include "vorel.h"

#include <stdlib.h>
#if defined(_M_ARM64) || defined(__aarch64__)
#include <arm_neon.h> /* the header reaches for NEON on 64-bit ARM but includes it only for GCC */
#endif
#if defined(_MSC_VER)
/*
 * Microsoft's <stdlib.h> gives the byte swaps xxHash's Windows path calls; a
 * freestanding image takes them from the compiler. <intrin.h>, which the header
 * includes on ARM64, declares them first, so it comes before the replacement.
 */
#if defined(_M_ARM64)
#include <intrin.h>
#endif
#define _byteswap_ulong(value) __builtin_bswap32(value)
#define _byteswap_uint64(value) __builtin_bswap64(value)
#endif
#define malloc(size) ((void)(size), (void *)0)
#define free(p) ((void)(p))
#define XXH_INLINE_ALL
#include <xxhash.h>
#undef malloc
#undef free

ULONGLONG HashBytes(const VOID *Buffer, SIZE_T Length)
{
    return XXH3_64bits(Buffer, Length);
}
