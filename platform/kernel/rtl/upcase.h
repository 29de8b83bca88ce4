/*
 * The system's Unicode case tables, shared by the kernel's Rtl routines and the
 * C runtime layer: one fixed mapping of every UTF-16 code unit (Unicode 5.0.0's
 * simple one-to-one mappings, identical in every locale; surrogates map to
 * themselves, each unit on its own). Names stored in images are compared
 * through it, so it never changes: upcase_table.inc is data generated once by
 * tools/gen-upcase-table and pinned by its checksum in the unit tests. Each
 * library compiles its own copy of the inline lookups, so there is no
 * link-time dependency between libvcrt and libntoskrnl.
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
