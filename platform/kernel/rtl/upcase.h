/*
 * The system's Unicode case tables (simple one-to-one mappings of the Basic
 * Multilingual Plane, identical in every locale), shared by the kernel's Rtl
 * routines and the C runtime layer. Each library compiles its own copy: the
 * lookups are inline and the tables are generated data (upcase_table.inc, from
 * gen_upcase.py), so there is one definition of the mapping and no link-time
 * dependency between libvcrt and libntoskrnl.
 */
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace unicase {

/* Code points first..last (every step-th one) map to (c + delta) mod 0x10000. */
struct CaseRange {
    uint16_t first;
    uint16_t last;
    uint16_t delta;
    uint8_t step;
};

#include "upcase_table.inc"

template <size_t N>
inline uint16_t MapThrough(const CaseRange (&table)[N], uint16_t c)
{
    // Last range whose first code point is <= c.
    size_t low = 0;
    size_t high = N;
    while (low < high) {
        size_t middle = low + (high - low) / 2;
        if (table[middle].first <= c)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == 0)
        return c;
    const CaseRange &range = table[low - 1];
    if (c > range.last || ((c - range.first) % range.step) != 0)
        return c;
    return (uint16_t)(c + range.delta);
}

inline uint16_t Upcase(uint16_t c)
{
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') ? (uint16_t)(c - ('a' - 'A')) : c;
    return MapThrough(kUpcaseRanges, c);
}

inline uint16_t Downcase(uint16_t c)
{
    if (c < 0x80)
        return (c >= 'A' && c <= 'Z') ? (uint16_t)(c + ('a' - 'A')) : c;
    return MapThrough(kDowncaseRanges, c);
}

} // namespace unicase
