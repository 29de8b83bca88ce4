/*
 * Character classes. Narrow characters follow the "C" locale (ASCII only); the
 * UTF-16 case mappings use the system's Unicode case tables, the same ones the
 * kernel's Rtl routines use.
 */
#include "crt_internal.h"

#include "../kernel/rtl/upcase.h"

namespace vcrt {
namespace {

/* Values outside 0..127 (EOF, bytes of multi-byte characters) belong to no class. */
bool InAscii(int c)
{
    return c >= 0 && c < 0x80;
}

} // namespace

int isdigit(int c) noexcept
{
    return c >= '0' && c <= '9';
}

int isxdigit(int c) noexcept
{
    return InAscii(c) && detail::DigitValue((unsigned)c) < 16;
}

int isspace(int c) noexcept
{
    return InAscii(c) && detail::IsAsciiSpace((unsigned)c);
}

int isupper(int c) noexcept
{
    return c >= 'A' && c <= 'Z';
}

int islower(int c) noexcept
{
    return c >= 'a' && c <= 'z';
}

int isalpha(int c) noexcept
{
    return isupper(c) || islower(c);
}

int isalnum(int c) noexcept
{
    return isalpha(c) || isdigit(c);
}

int isprint(int c) noexcept
{
    return c >= 0x20 && c < 0x7F;
}

int toupper(int c) noexcept
{
    return islower(c) ? c - ('a' - 'A') : c;
}

int tolower(int c) noexcept
{
    return isupper(c) ? c + ('a' - 'A') : c;
}

wint_t towupper(wint_t c) noexcept
{
    return unicase::Upcase(c);
}

wint_t towlower(wint_t c) noexcept
{
    return unicase::Downcase(c);
}

int iswdigit(wint_t c) noexcept
{
    return c >= '0' && c <= '9';
}

/* The white-space characters of Unicode's Basic Multilingual Plane. */
int iswspace(wint_t c) noexcept
{
    if (c < 0x80)
        return detail::IsAsciiSpace(c);
    switch (c) {
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return 1;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

} // namespace vcrt
