/*
 * Shared internals of the C runtime layer: parameter validation and the
 * character-class helpers every part uses. Linux-world code.
 */
#pragma once

#include <vcrt.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace vcrt::detail {

/*
 * Reports an invalid parameter the way Microsoft's C runtime does: errno is set
 * to `error` first, then the current handler runs (by default it stops the
 * process). When a custom handler returns, the caller goes on to its documented
 * failure return.
 */
void InvalidParameter(const char *function, int error = EINVAL) noexcept;

inline bool IsAsciiSpace(unsigned c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

inline unsigned AsciiLower(unsigned c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

/* The value of an ASCII digit or letter in bases up to 36, or 99 for anything else. */
inline unsigned DigitValue(unsigned c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = AsciiLower(c);
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    return 99;
}

/* A code unit as an unsigned value, whatever the character type. */
inline unsigned Unit(char c)
{
    return (unsigned char)c;
}
inline unsigned Unit(wchar_t c)
{
    return (uint16_t)c;
}

} // namespace vcrt::detail
