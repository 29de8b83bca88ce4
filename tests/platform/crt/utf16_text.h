/*
 * Test helpers for UTF-16 text: the project's wchar_t is 16 bits, which neither
 * std::wstring nor GoogleTest's wide assertions handle, so tests compare UTF-8
 * renderings (a conversion written here, independent of the code under test) or
 * raw code units.
 */
#pragma once

#include <ntdef.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

/* UTF-8 of `count` units of UTF-16 (or up to the NUL); a lone surrogate shows as "<DXXX>". */
inline std::string Utf8(const wchar_t *text, size_t count = SIZE_MAX)
{
    std::string out;
    if (text == nullptr)
        return "<null>";
    for (size_t i = 0; i < count && (count != SIZE_MAX || text[i] != 0); ++i) {
        uint32_t c = (uint16_t)text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && (uint16_t)text[i + 1] >= 0xDC00 &&
            (uint16_t)text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((uint16_t)text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            char mark[16];
            std::snprintf(mark, sizeof(mark), "<%04X>", c);
            out += mark;
            continue;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

inline std::string Utf8(const UNICODE_STRING &string)
{
    return Utf8(string.Buffer, string.Length / sizeof(WCHAR));
}

/* The code units of a NUL-terminated UTF-16 string, for exact comparisons. */
inline std::vector<uint16_t> Units(const wchar_t *text)
{
    std::vector<uint16_t> units;
    for (; *text; ++text)
        units.push_back((uint16_t)*text);
    return units;
}
