/*
 * The codecs' view of <stdlib.h> in a Windows kernel image: nothing from the C
 * library. Their Windows code paths include it only for the _byteswap routines,
 * which the compiler provides.
 */
#pragma once
#include <stddef.h>

/* Microsoft's <stdlib.h> byte swaps, which a freestanding build does not take as built-ins. */
static __inline unsigned short _byteswap_ushort(unsigned short value)
{
    return __builtin_bswap16(value);
}

static __inline unsigned long _byteswap_ulong(unsigned long value)
{
    return __builtin_bswap32(value);
}

static __inline unsigned __int64 _byteswap_uint64(unsigned __int64 value)
{
    return __builtin_bswap64(value);
}
