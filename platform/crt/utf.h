/*
 * UTF-8 and UTF-16 conversion for the C runtime layer. The stand-in's ANSI code
 * page is UTF-8, so narrow text meeting wide text is converted with these.
 * Malformed input (a lone surrogate, a bad UTF-8 sequence) becomes U+FFFD.
 */
#pragma once

#include <cstddef>
#include <cstdint>

namespace vcrt::detail {

constexpr char32_t kReplacementCharacter = 0xFFFD;
/* An "available" count for NUL-terminated input: decoding stops at the NUL by itself. */
constexpr size_t kTerminated = SIZE_MAX;

inline bool IsHighSurrogate(uint32_t u)
{
    return u >= 0xD800 && u <= 0xDBFF;
}
inline bool IsLowSurrogate(uint32_t u)
{
    return u >= 0xDC00 && u <= 0xDFFF;
}

/* Decodes one code point from at most `available` UTF-16 units; returns the units used. */
inline size_t DecodeUtf16(const wchar_t *p, size_t available, char32_t *codePoint)
{
    uint32_t u = (uint16_t)p[0];
    if (IsHighSurrogate(u) && available >= 2) {
        uint32_t next = (uint16_t)p[1];
        if (IsLowSurrogate(next)) {
            *codePoint = 0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00);
            return 2;
        }
    }
    *codePoint = (IsHighSurrogate(u) || IsLowSurrogate(u)) ? kReplacementCharacter : u;
    return 1;
}

/*
 * Decodes one code point from at most `available` bytes; returns the bytes used.
 * An invalid sequence yields U+FFFD and consumes one byte. Continuation bytes are
 * checked one at a time, so a terminating NUL is never read past.
 */
inline size_t DecodeUtf8(const char *p, size_t available, char32_t *codePoint)
{
    uint32_t b0 = (unsigned char)p[0];
    if (b0 < 0x80) {
        *codePoint = b0;
        return 1;
    }
    size_t length;
    uint32_t value;
    uint32_t minimum;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2, value = b0 & 0x1F, minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3, value = b0 & 0x0F, minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4, value = b0 & 0x07, minimum = 0x10000;
    } else {
        *codePoint = kReplacementCharacter;
        return 1;
    }
    if (available < length) {
        *codePoint = kReplacementCharacter;
        return 1;
    }
    for (size_t i = 1; i < length; ++i) {
        uint32_t b = (unsigned char)p[i];
        if ((b & 0xC0) != 0x80) {
            *codePoint = kReplacementCharacter;
            return 1;
        }
        value = (value << 6) | (b & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        *codePoint = kReplacementCharacter;
        return 1;
    }
    *codePoint = value;
    return length;
}

/* Encodes a code point (anything out of range becomes U+FFFD); returns the bytes written. */
inline size_t EncodeUtf8(char32_t codePoint, char out[4])
{
    uint32_t c = codePoint;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = kReplacementCharacter;
    if (c < 0x80) {
        out[0] = (char)c;
        return 1;
    }
    if (c < 0x800) {
        out[0] = (char)(0xC0 | (c >> 6));
        out[1] = (char)(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = (char)(0xE0 | (c >> 12));
        out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
        out[2] = (char)(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (c >> 18));
    out[1] = (char)(0x80 | ((c >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((c >> 6) & 0x3F));
    out[3] = (char)(0x80 | (c & 0x3F));
    return 4;
}

/* Encodes a code point as UTF-16; returns the units written. */
inline size_t EncodeUtf16(char32_t codePoint, wchar_t out[2])
{
    uint32_t c = codePoint;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = kReplacementCharacter;
    if (c < 0x10000) {
        out[0] = (wchar_t)c;
        return 1;
    }
    c -= 0x10000;
    out[0] = (wchar_t)(0xD800 + (c >> 10));
    out[1] = (wchar_t)(0xDC00 + (c & 0x3FF));
    return 2;
}

} // namespace vcrt::detail
