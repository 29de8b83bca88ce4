/*
 * Bitmaps (RTL_BITMAP). A search for a run starts at the hint, goes to the end of
 * the map and then wraps round to its start, as Windows' does; it answers the
 * first index of the run or 0xFFFFFFFF. Single-bit searches, the common case,
 * scan a word at a time.
 */
#include <ntdef.h>
#include <km/rtl.h>

#include <cstring>

namespace {

constexpr ULONG kNotFound = 0xFFFFFFFF;

bool BitAt(const RTL_BITMAP *map, ULONG index)
{
    return (map->Buffer[index / 32] >> (index % 32)) & 1;
}

void ChangeBits(PRTL_BITMAP map, ULONG start, ULONG count, bool set)
{
    for (ULONG i = start; i < start + count; ++i) {
        ULONG mask = 1u << (i % 32);
        if (set)
            map->Buffer[i / 32] |= mask;
        else
            map->Buffer[i / 32] &= ~mask;
    }
}

/* The first bit of the wanted state in [from, to), or kNotFound. */
ULONG FindOneBit(const RTL_BITMAP *map, ULONG from, ULONG to, bool set)
{
    ULONG index = from;
    while (index < to) {
        ULONG word = map->Buffer[index / 32];
        if (!set)
            word = ~word;
        word &= ~0u << (index % 32); /* bits below index do not count */
        if (word != 0) {
            ULONG found = (index & ~31u) + (ULONG)__builtin_ctz(word);
            return found < to ? found : kNotFound;
        }
        index = (index & ~31u) + 32;
    }
    return kNotFound;
}

/* The first start in [from, lastStart] of count bits of the wanted state, or kNotFound. */
ULONG FindRun(const RTL_BITMAP *map, ULONG from, ULONG lastStart, ULONG count, bool set)
{
    if (count == 1)
        return lastStart == kNotFound ? kNotFound : FindOneBit(map, from, lastStart + 1, set);
    for (ULONG start = from; start <= lastStart && lastStart != kNotFound; ++start) {
        ULONG length = 0;
        while (length < count && BitAt(map, start + length) == set)
            ++length;
        if (length == count)
            return start;
        start += length; /* the bit at start + length breaks every run that includes it */
    }
    return kNotFound;
}

ULONG FindBits(PRTL_BITMAP map, ULONG count, ULONG hint, bool set)
{
    ULONG size = map->SizeOfBitMap;
    if (count == 0)
        return 0;
    if (count > size)
        return kNotFound;
    if (hint >= size)
        hint = 0;
    ULONG lastStart = size - count;
    ULONG found = hint <= lastStart ? FindRun(map, hint, lastStart, count, set) : kNotFound;
    if (found == kNotFound && hint > 0)
        found = FindRun(map, 0, (hint - 1 < lastStart ? hint - 1 : lastStart), count, set);
    return found;
}

ULONG CountSetBits(const RTL_BITMAP *map)
{
    ULONG count = 0;
    ULONG fullWords = map->SizeOfBitMap / 32;
    for (ULONG i = 0; i < fullWords; ++i)
        count += (ULONG)__builtin_popcount(map->Buffer[i]);
    for (ULONG i = fullWords * 32; i < map->SizeOfBitMap; ++i)
        count += BitAt(map, i);
    return count;
}

} // namespace

extern "C" {

NTSYSAPI VOID NTAPI RtlInitializeBitMap(PRTL_BITMAP BitMapHeader, PULONG BitMapBuffer, ULONG SizeOfBitMap)
{
    BitMapHeader->SizeOfBitMap = SizeOfBitMap;
    BitMapHeader->Buffer = BitMapBuffer;
}

NTSYSAPI VOID NTAPI RtlClearAllBits(PRTL_BITMAP BitMapHeader)
{
    std::memset(BitMapHeader->Buffer, 0, ((BitMapHeader->SizeOfBitMap + 31) / 32) * sizeof(ULONG));
}

NTSYSAPI VOID NTAPI RtlSetAllBits(PRTL_BITMAP BitMapHeader)
{
    std::memset(BitMapHeader->Buffer, 0xFF, ((BitMapHeader->SizeOfBitMap + 31) / 32) * sizeof(ULONG));
}

NTSYSAPI VOID NTAPI RtlSetBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber)
{
    ChangeBits(BitMapHeader, BitNumber, 1, true);
}

NTSYSAPI VOID NTAPI RtlClearBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber)
{
    ChangeBits(BitMapHeader, BitNumber, 1, false);
}

NTSYSAPI BOOLEAN NTAPI RtlTestBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber)
{
    return BitAt(BitMapHeader, BitNumber) ? TRUE : FALSE;
}

NTSYSAPI VOID NTAPI RtlSetBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG NumberToSet)
{
    ChangeBits(BitMapHeader, StartingIndex, NumberToSet, true);
}

NTSYSAPI VOID NTAPI RtlClearBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG NumberToClear)
{
    ChangeBits(BitMapHeader, StartingIndex, NumberToClear, false);
}

NTSYSAPI ULONG NTAPI RtlFindSetBits(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex)
{
    return FindBits(BitMapHeader, NumberToFind, HintIndex, true);
}

NTSYSAPI ULONG NTAPI RtlFindClearBits(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex)
{
    return FindBits(BitMapHeader, NumberToFind, HintIndex, false);
}

NTSYSAPI ULONG NTAPI RtlFindSetBitsAndClear(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex)
{
    ULONG found = FindBits(BitMapHeader, NumberToFind, HintIndex, true);
    if (found != kNotFound)
        ChangeBits(BitMapHeader, found, NumberToFind, false);
    return found;
}

NTSYSAPI ULONG NTAPI RtlFindClearBitsAndSet(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex)
{
    ULONG found = FindBits(BitMapHeader, NumberToFind, HintIndex, false);
    if (found != kNotFound)
        ChangeBits(BitMapHeader, found, NumberToFind, true);
    return found;
}

NTSYSAPI ULONG NTAPI RtlNumberOfSetBits(PRTL_BITMAP BitMapHeader)
{
    return CountSetBits(BitMapHeader);
}

NTSYSAPI ULONG NTAPI RtlNumberOfClearBits(PRTL_BITMAP BitMapHeader)
{
    return BitMapHeader->SizeOfBitMap - CountSetBits(BitMapHeader);
}

} // extern "C"
