/*
 * The printf family that writes into caller buffers, narrow and UTF-16. They
 * share one engine and differ only in their documented contracts:
 *   sprintf       no bound;
 *   snprintf      C99: always terminated when count > 0, returns the full length;
 *   _snprintf     at most count units, terminated only if there is room, -1 when
 *                 the text did not fit, count (unterminated) when it fits exactly;
 *   sprintf_s     too small: empty string, invalid parameter, -1 and ERANGE;
 *   _snprintf_s   at most count units, or with _TRUNCATE as much as fits (-1 and
 *                 STRUNCATE when cut); text that overflows the buffer otherwise is
 *                 the sprintf_s error;
 *   _scprintf     the length alone.
 */
#include "format.h"

namespace vcrt {
namespace {

using detail::FormatOutput;
using detail::FormatTo;
using detail::InvalidParameter;

/* The engine's verdict: ok == false means the handler already ran for a bad format. */
struct Formatted {
    bool ok;
    size_t length;
};

template <typename C>
Formatted Format(C *buffer, size_t capacity, const C *format, va_list args, const char *function)
{
    FormatOutput<C> out(buffer, capacity);
    bool ok = FormatTo(out, format, args, function);
    return {ok, out.Count()};
}

int ResultLength(size_t length)
{
    return length > (size_t)INT32_MAX ? -1 : (int)length;
}

/* sprintf: no bound. */
template <typename C>
int FormatUnbounded(C *buffer, const C *format, va_list args, const char *function)
{
    if (buffer == nullptr || format == nullptr) {
        InvalidParameter(function);
        return -1;
    }
    Formatted result = Format(buffer, SIZE_MAX, format, args, function);
    if (!result.ok) {
        buffer[0] = 0;
        return -1;
    }
    buffer[result.length] = 0;
    return ResultLength(result.length);
}

/* snprintf (C99) when standard is true, _snprintf otherwise. */
template <typename C>
int FormatCounted(C *buffer, size_t count, const C *format, va_list args, bool standard, const char *function)
{
    if (format == nullptr || (buffer == nullptr && count != 0)) {
        InvalidParameter(function);
        return -1;
    }
    Formatted result = Format(buffer, count, format, args, function);
    if (!result.ok) {
        if (count > 0)
            buffer[0] = 0;
        return -1;
    }
    if (standard) {
        if (count > 0)
            buffer[result.length < count ? result.length : count - 1] = 0;
        return ResultLength(result.length);
    }
    if (buffer == nullptr) // a length query: count is 0
        return ResultLength(result.length);
    if (result.length < count)
        buffer[result.length] = 0;
    else if (result.length > count)
        return -1;
    return ResultLength(result.length);
}

/* sprintf_s. */
template <typename C>
int FormatSecure(C *buffer, size_t size, const C *format, va_list args, const char *function)
{
    if (format == nullptr || buffer == nullptr || size == 0) {
        InvalidParameter(function);
        return -1;
    }
    Formatted result = Format(buffer, size, format, args, function);
    if (!result.ok) {
        buffer[0] = 0;
        return -1;
    }
    if (result.length >= size) {
        buffer[0] = 0;
        InvalidParameter(function, ERANGE);
        return -1;
    }
    buffer[result.length] = 0;
    return ResultLength(result.length);
}

/* _snprintf_s. */
template <typename C>
int FormatCountedSecure(C *buffer, size_t size, size_t count, const C *format, va_list args, const char *function)
{
    if (count == 0 && buffer == nullptr && size == 0)
        return 0;
    if (format == nullptr || buffer == nullptr || size == 0) {
        InvalidParameter(function);
        return -1;
    }
    if (count != VCRT_TRUNCATE && count < size) {
        // Room for count units and the terminator: the text is cut to count units.
        Formatted result = Format(buffer, count, format, args, function);
        if (!result.ok) {
            buffer[0] = 0;
            return -1;
        }
        if (result.length > count) {
            buffer[count] = 0;
            return -1;
        }
        buffer[result.length] = 0;
        return ResultLength(result.length);
    }
    Formatted result = Format(buffer, size, format, args, function);
    if (!result.ok) {
        buffer[0] = 0;
        return -1;
    }
    if (result.length < size) {
        buffer[result.length] = 0;
        return ResultLength(result.length);
    }
    if (count == VCRT_TRUNCATE) {
        buffer[size - 1] = 0;
        *_errno() = VCRT_STRUNCATE;
        return -1;
    }
    buffer[0] = 0;
    InvalidParameter(function, ERANGE);
    return -1;
}

/* _scprintf. */
template <typename C>
int FormatLength(const C *format, va_list args, const char *function)
{
    if (format == nullptr) {
        InvalidParameter(function);
        return -1;
    }
    Formatted result = Format<C>(nullptr, 0, format, args, function);
    return result.ok ? ResultLength(result.length) : -1;
}

} // namespace

/* ---- Narrow ---------------------------------------------------------------------------- */

int vsprintf(char *buffer, const char *format, va_list args) noexcept
{
    return FormatUnbounded(buffer, format, args, "vsprintf");
}

int sprintf(char *buffer, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatUnbounded(buffer, format, args, "sprintf");
    va_end(args);
    return result;
}

int vsnprintf(char *buffer, size_t count, const char *format, va_list args) noexcept
{
    return FormatCounted(buffer, count, format, args, true, "vsnprintf");
}

int snprintf(char *buffer, size_t count, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatCounted(buffer, count, format, args, true, "snprintf");
    va_end(args);
    return result;
}

int _vsnprintf(char *buffer, size_t count, const char *format, va_list args) noexcept
{
    return FormatCounted(buffer, count, format, args, false, "_vsnprintf");
}

int _snprintf(char *buffer, size_t count, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatCounted(buffer, count, format, args, false, "_snprintf");
    va_end(args);
    return result;
}

int vsprintf_s(char *buffer, size_t size, const char *format, va_list args) noexcept
{
    return FormatSecure(buffer, size, format, args, "vsprintf_s");
}

int sprintf_s(char *buffer, size_t size, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatSecure(buffer, size, format, args, "sprintf_s");
    va_end(args);
    return result;
}

int _vsnprintf_s(char *buffer, size_t size, size_t count, const char *format, va_list args) noexcept
{
    return FormatCountedSecure(buffer, size, count, format, args, "_vsnprintf_s");
}

int _snprintf_s(char *buffer, size_t size, size_t count, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatCountedSecure(buffer, size, count, format, args, "_snprintf_s");
    va_end(args);
    return result;
}

int _vscprintf(const char *format, va_list args) noexcept
{
    return FormatLength(format, args, "_vscprintf");
}

int _scprintf(const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatLength(format, args, "_scprintf");
    va_end(args);
    return result;
}

/* ---- UTF-16 ---------------------------------------------------------------------------- */

int vswprintf_s(wchar_t *buffer, size_t size, const wchar_t *format, va_list args) noexcept
{
    return FormatSecure(buffer, size, format, args, "vswprintf_s");
}

int swprintf_s(wchar_t *buffer, size_t size, const wchar_t *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatSecure(buffer, size, format, args, "swprintf_s");
    va_end(args);
    return result;
}

int _vsnwprintf(wchar_t *buffer, size_t count, const wchar_t *format, va_list args) noexcept
{
    return FormatCounted(buffer, count, format, args, false, "_vsnwprintf");
}

int _snwprintf(wchar_t *buffer, size_t count, const wchar_t *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatCounted(buffer, count, format, args, false, "_snwprintf");
    va_end(args);
    return result;
}

int _vsnwprintf_s(wchar_t *buffer, size_t size, size_t count, const wchar_t *format, va_list args) noexcept
{
    return FormatCountedSecure(buffer, size, count, format, args, "_vsnwprintf_s");
}

int _snwprintf_s(wchar_t *buffer, size_t size, size_t count, const wchar_t *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatCountedSecure(buffer, size, count, format, args, "_snwprintf_s");
    va_end(args);
    return result;
}

int _vscwprintf(const wchar_t *format, va_list args) noexcept
{
    return FormatLength(format, args, "_vscwprintf");
}

int _scwprintf(const wchar_t *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatLength(format, args, "_scwprintf");
    va_end(args);
    return result;
}

} // namespace vcrt
