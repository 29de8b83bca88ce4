/*
 * String to integer conversion with the C rules Microsoft documents: optional
 * white space and sign, a 0x prefix for base 16 (and base 0), octal for a leading
 * 0 in base 0; overflow clamps and sets ERANGE. LLP64: long and unsigned long
 * are 32 bits here, as on Windows, whatever this compiler's long is.
 */
#include "crt_internal.h"

#include <limits>
#include <type_traits>

namespace vcrt {
namespace {

using detail::DigitValue;
using detail::InvalidParameter;
using detail::Unit;

bool IsSpaceUnit(char c)
{
    return detail::IsAsciiSpace((unsigned char)c);
}
bool IsSpaceUnit(wchar_t c)
{
    return iswspace((wint_t)(uint16_t)c) != 0;
}

template <typename T, typename C>
T ParseInteger(const C *s, C **end, int base, const char *function)
{
    if (end != nullptr)
        *end = const_cast<C *>(s);
    if (s == nullptr || (base != 0 && (base < 2 || base > 36))) {
        InvalidParameter(function);
        return 0;
    }
    const C *p = s;
    while (IsSpaceUnit(*p))
        ++p;
    bool negative = false;
    if (*p == '-' || *p == '+')
        negative = *p++ == '-';
    // A 0x prefix belongs to the number only when a hexadecimal digit follows it.
    bool hexPrefix = p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(Unit(p[2])) < 16;
    if (base == 0)
        base = hexPrefix ? 16 : (p[0] == '0' ? 8 : 10);
    if (base == 16 && hexPrefix)
        p += 2;

    using Unsigned = std::make_unsigned_t<T>;
    const uint64_t maximum = std::numeric_limits<T>::max();
    const uint64_t limit = (std::numeric_limits<T>::is_signed && negative) ? maximum + 1 : maximum;
    uint64_t value = 0;
    bool overflow = false;
    bool anyDigit = false;
    for (unsigned digit; (digit = DigitValue(Unit(*p))) < (unsigned)base; ++p) {
        anyDigit = true;
        if (overflow)
            continue;
        if (value > (limit - digit) / (unsigned)base)
            overflow = true;
        else
            value = value * (unsigned)base + digit;
    }
    if (!anyDigit)
        return 0;
    if (end != nullptr)
        *end = const_cast<C *>(p);
    if (overflow) {
        *_errno() = ERANGE;
        if (std::numeric_limits<T>::is_signed && negative)
            return std::numeric_limits<T>::min();
        return std::numeric_limits<T>::max();
    }
    Unsigned result = (Unsigned)value;
    if (negative)
        result = (Unsigned)(0 - result);
    return (T)result;
}

} // namespace

long strtol(const char *s, char **end, int base) noexcept
{
    return ParseInteger<int32_t>(s, end, base, "strtol");
}

unsigned long strtoul(const char *s, char **end, int base) noexcept
{
    return ParseInteger<uint32_t>(s, end, base, "strtoul");
}

long long strtoll(const char *s, char **end, int base) noexcept
{
    return ParseInteger<int64_t>(s, end, base, "strtoll");
}

unsigned long long strtoull(const char *s, char **end, int base) noexcept
{
    return ParseInteger<uint64_t>(s, end, base, "strtoull");
}

unsigned long long _strtoui64(const char *s, char **end, int base) noexcept
{
    return ParseInteger<uint64_t>(s, end, base, "_strtoui64");
}

long long _strtoi64(const char *s, char **end, int base) noexcept
{
    return ParseInteger<int64_t>(s, end, base, "_strtoi64");
}

int atoi(const char *s) noexcept
{
    return ParseInteger<int32_t, char>(s, nullptr, 10, "atoi");
}

long wcstol(const wchar_t *s, wchar_t **end, int base) noexcept
{
    return ParseInteger<int32_t>(s, end, base, "wcstol");
}

unsigned long wcstoul(const wchar_t *s, wchar_t **end, int base) noexcept
{
    return ParseInteger<uint32_t>(s, end, base, "wcstoul");
}

unsigned long long _wcstoui64(const wchar_t *s, wchar_t **end, int base) noexcept
{
    return ParseInteger<uint64_t>(s, end, base, "_wcstoui64");
}

int _wtoi(const wchar_t *s) noexcept
{
    return ParseInteger<int32_t, wchar_t>(s, nullptr, 10, "_wtoi");
}

} // namespace vcrt
