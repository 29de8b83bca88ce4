/*
 * String routines, narrow and UTF-16, written once for both code-unit types.
 * The bounds-checked (_s) forms follow Microsoft's contract: 0, EINVAL, ERANGE
 * or STRUNCATE; on failure the destination is left as an empty string and the
 * invalid-parameter handler runs (truncation with _TRUNCATE is not a failure).
 */
#include "crt_internal.h"

#include "../kernel/rtl/upcase.h"

namespace vcrt {
namespace {

using detail::InvalidParameter;
using detail::Unit;

/* Microsoft's value for a failed case-insensitive comparison. */
constexpr int kCompareError = 0x7FFFFFFF;

template <typename C>
size_t Length(const C *s)
{
    const C *p = s;
    while (*p)
        ++p;
    return (size_t)(p - s);
}

template <typename C>
size_t LengthAtMost(const C *s, size_t limit)
{
    size_t n = 0;
    while (n < limit && s[n])
        ++n;
    return n;
}

template <typename C>
int Compare(const C *a, const C *b, size_t limit)
{
    for (size_t i = 0; i < limit; ++i) {
        unsigned x = Unit(a[i]);
        unsigned y = Unit(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
        if (x == 0)
            break;
    }
    return 0;
}

/*
 * Case folding for the case-insensitive comparisons. Microsoft orders by the
 * lowercase forms, which matters for [ \ ] ^ _ ` against letters. Beyond ASCII the
 * system upcase table decides equality, so _wcsicmp agrees with RtlEqualUnicodeString.
 */
unsigned Fold(char c)
{
    return detail::AsciiLower((unsigned char)c);
}
unsigned Fold(wchar_t c)
{
    unsigned u = unicase::Upcase((uint16_t)c);
    return detail::AsciiLower(u);
}

template <typename C>
int CompareIgnoringCase(const C *a, const C *b, size_t limit, const char *function)
{
    if (a == nullptr || b == nullptr) {
        InvalidParameter(function);
        return kCompareError;
    }
    for (size_t i = 0; i < limit; ++i) {
        unsigned x = Fold(a[i]);
        unsigned y = Fold(b[i]);
        if (x != y)
            return (int)x - (int)y;
        if (x == 0)
            break;
    }
    return 0;
}

template <typename C>
C *Copy(C *d, const C *s)
{
    C *p = d;
    while ((*p++ = *s++) != 0) {
    }
    return d;
}

template <typename C>
C *CopyPadded(C *d, const C *s, size_t n)
{
    size_t i = 0;
    for (; i < n && s[i]; ++i)
        d[i] = s[i];
    for (; i < n; ++i)
        d[i] = 0;
    return d;
}

template <typename C>
C *Append(C *d, const C *s, size_t limit)
{
    C *p = d + Length(d);
    size_t i = 0;
    for (; i < limit && s[i]; ++i)
        p[i] = s[i];
    p[i] = 0;
    return d;
}

template <typename C>
C *FindFirst(const C *s, unsigned c)
{
    for (;; ++s) {
        if (Unit(*s) == c)
            return const_cast<C *>(s);
        if (*s == 0)
            return nullptr;
    }
}

template <typename C>
C *FindLast(const C *s, unsigned c)
{
    const C *found = nullptr;
    for (;; ++s) {
        if (Unit(*s) == c)
            found = s;
        if (*s == 0)
            return const_cast<C *>(found);
    }
}

template <typename C>
C *FindString(const C *haystack, const C *needle)
{
    if (*needle == 0)
        return const_cast<C *>(haystack);
    for (; *haystack; ++haystack) {
        size_t i = 0;
        while (needle[i] && haystack[i] == needle[i])
            ++i;
        if (needle[i] == 0)
            return const_cast<C *>(haystack);
    }
    return nullptr;
}

/* strcpy_s / wcscpy_s. */
template <typename C>
errno_t CopySecure(C *d, rsize_t size, const C *s, const char *function)
{
    if (d == nullptr || size == 0) {
        InvalidParameter(function);
        return EINVAL;
    }
    if (s == nullptr) {
        d[0] = 0;
        InvalidParameter(function);
        return EINVAL;
    }
    for (rsize_t i = 0; i < size; ++i) {
        d[i] = s[i];
        if (s[i] == 0)
            return 0;
    }
    d[0] = 0;
    InvalidParameter(function, ERANGE);
    return ERANGE;
}

/* strncpy_s / wcsncpy_s: copies at most `count` units (or, with _TRUNCATE, what fits). */
template <typename C>
errno_t CopyCountedSecure(C *d, rsize_t size, const C *s, rsize_t count, const char *function)
{
    if (count == 0 && d == nullptr && size == 0)
        return 0;
    if (d == nullptr || size == 0) {
        InvalidParameter(function);
        return EINVAL;
    }
    if (count == 0) {
        d[0] = 0;
        return 0;
    }
    if (s == nullptr) {
        d[0] = 0;
        InvalidParameter(function);
        return EINVAL;
    }
    const bool truncate = count == VCRT_TRUNCATE;
    size_t wanted = LengthAtMost(s, truncate ? size : count);
    if (wanted < size) {
        for (size_t i = 0; i < wanted; ++i)
            d[i] = s[i];
        d[wanted] = 0;
        return 0;
    }
    if (truncate) {
        for (size_t i = 0; i + 1 < size; ++i)
            d[i] = s[i];
        d[size - 1] = 0;
        return VCRT_STRUNCATE;
    }
    d[0] = 0;
    InvalidParameter(function, ERANGE);
    return ERANGE;
}

/* strcat_s / wcscat_s. */
template <typename C>
errno_t AppendSecure(C *d, rsize_t size, const C *s, const char *function)
{
    if (d == nullptr || size == 0) {
        InvalidParameter(function);
        return EINVAL;
    }
    if (s == nullptr) {
        d[0] = 0;
        InvalidParameter(function);
        return EINVAL;
    }
    size_t used = LengthAtMost(d, size);
    if (used == size) { // the destination is not terminated within its size
        d[0] = 0;
        InvalidParameter(function);
        return EINVAL;
    }
    size_t extra = LengthAtMost(s, size - used);
    if (used + extra >= size) {
        d[0] = 0;
        InvalidParameter(function, ERANGE);
        return ERANGE;
    }
    for (size_t i = 0; i < extra; ++i)
        d[used + i] = s[i];
    d[used + extra] = 0;
    return 0;
}

} // namespace

/* ---- Narrow strings ------------------------------------------------------------------ */

size_t strlen(const char *s) noexcept
{
    return Length(s);
}

size_t strnlen(const char *s, size_t maxlen) noexcept
{
    return LengthAtMost(s, maxlen);
}

int strcmp(const char *a, const char *b) noexcept
{
    return Compare(a, b, SIZE_MAX);
}

int strncmp(const char *a, const char *b, size_t n) noexcept
{
    return Compare(a, b, n);
}

int _stricmp(const char *a, const char *b) noexcept
{
    return CompareIgnoringCase(a, b, SIZE_MAX, "_stricmp");
}

int _strnicmp(const char *a, const char *b, size_t n) noexcept
{
    return CompareIgnoringCase(a, b, n, "_strnicmp");
}

char *strcpy(char *d, const char *s) noexcept
{
    return Copy(d, s);
}

char *strncpy(char *d, const char *s, size_t n) noexcept
{
    return CopyPadded(d, s, n);
}

char *strcat(char *d, const char *s) noexcept
{
    return Append(d, s, SIZE_MAX);
}

char *strchr(const char *s, int c) noexcept
{
    return FindFirst(s, (unsigned char)c);
}

char *strrchr(const char *s, int c) noexcept
{
    return FindLast(s, (unsigned char)c);
}

char *strstr(const char *h, const char *n) noexcept
{
    return FindString(h, n);
}

errno_t strcpy_s(char *d, rsize_t size, const char *s) noexcept
{
    return CopySecure(d, size, s, "strcpy_s");
}

errno_t strncpy_s(char *d, rsize_t size, const char *s, rsize_t count) noexcept
{
    return CopyCountedSecure(d, size, s, count, "strncpy_s");
}

errno_t strcat_s(char *d, rsize_t size, const char *s) noexcept
{
    return AppendSecure(d, size, s, "strcat_s");
}

/* ---- UTF-16 strings ------------------------------------------------------------------ */

size_t wcslen(const wchar_t *s) noexcept
{
    return Length(s);
}

size_t wcsnlen(const wchar_t *s, size_t maxlen) noexcept
{
    return LengthAtMost(s, maxlen);
}

int wcscmp(const wchar_t *a, const wchar_t *b) noexcept
{
    return Compare(a, b, SIZE_MAX);
}

int wcsncmp(const wchar_t *a, const wchar_t *b, size_t n) noexcept
{
    return Compare(a, b, n);
}

int _wcsicmp(const wchar_t *a, const wchar_t *b) noexcept
{
    return CompareIgnoringCase(a, b, SIZE_MAX, "_wcsicmp");
}

int _wcsnicmp(const wchar_t *a, const wchar_t *b, size_t n) noexcept
{
    return CompareIgnoringCase(a, b, n, "_wcsnicmp");
}

wchar_t *wcscpy(wchar_t *d, const wchar_t *s) noexcept
{
    return Copy(d, s);
}

wchar_t *wcsncpy(wchar_t *d, const wchar_t *s, size_t n) noexcept
{
    return CopyPadded(d, s, n);
}

wchar_t *wcscat(wchar_t *d, const wchar_t *s) noexcept
{
    return Append(d, s, SIZE_MAX);
}

wchar_t *wcsncat(wchar_t *d, const wchar_t *s, size_t n) noexcept
{
    return Append(d, s, n);
}

wchar_t *wcschr(const wchar_t *s, wchar_t c) noexcept
{
    return FindFirst(s, Unit(c));
}

wchar_t *wcsrchr(const wchar_t *s, wchar_t c) noexcept
{
    return FindLast(s, Unit(c));
}

wchar_t *wcsstr(const wchar_t *h, const wchar_t *n) noexcept
{
    return FindString(h, n);
}

errno_t wcscpy_s(wchar_t *d, rsize_t size, const wchar_t *s) noexcept
{
    return CopySecure(d, size, s, "wcscpy_s");
}

errno_t wcsncpy_s(wchar_t *d, rsize_t size, const wchar_t *s, rsize_t count) noexcept
{
    return CopyCountedSecure(d, size, s, count, "wcsncpy_s");
}

errno_t wcscat_s(wchar_t *d, rsize_t size, const wchar_t *s) noexcept
{
    return AppendSecure(d, size, s, "wcscat_s");
}

} // namespace vcrt
