/*
 * XXH3, the driver's one hash (names, descriptors, image checksums): the 64-bit
 * form with seed 0 and the default secret, from xxHash's header alone, inlined
 * here as a kernel uses it. Only the one-shot routine is used.
 */
#include "vorel.h"

/*
 * The header allocates only a streaming state, from the C library's heap, which a
 * kernel does not have: its allocator is pointed at routines that answer no
 * memory, so a state could never be made (the driver never streams).
 */
#define malloc XxhNoHeapAllocate
#define free XxhNoHeapFree
EXTERN_C void *XxhNoHeapAllocate(SIZE_T Size) noexcept
{
    UNREFERENCED_PARAMETER(Size);
    return NULL;
}
EXTERN_C void XxhNoHeapFree(void *Block) noexcept
{
    UNREFERENCED_PARAMETER(Block);
}

#if defined(_MSC_VER)
/*
 * On Windows the header takes its byte swaps from Microsoft's <stdlib.h> and
 * <intrin.h>; a freestanding image gets them from the compiler. The names are
 * replaced by plain ones, which the header's later <intrin.h> may still declare.
 * On 64-bit ARM that header brings no NEON types with it, so the accumulation
 * runs on the scalar path there.
 */
static inline unsigned long XxhByteSwap32(unsigned long Value)
{
    return __builtin_bswap32(Value);
}
static inline unsigned __int64 XxhByteSwap64(unsigned __int64 Value)
{
    return __builtin_bswap64(Value);
}
#define _byteswap_ulong XxhByteSwap32
#define _byteswap_uint64 XxhByteSwap64
#if defined(_M_ARM64)
#define XXH_VECTOR 0 /* XXH_SCALAR */
#endif
#endif
#define XXH_INLINE_ALL
#include <xxhash.h>
#undef malloc
#undef free

ULONGLONG HashBytes(const VOID *Buffer, SIZE_T Length)
{
    return XXH3_64bits(Buffer, Length);
}
