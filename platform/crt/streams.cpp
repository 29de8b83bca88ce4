/*
 * Standard streams. stdin, stdout and stderr are the host's, reached through
 * __acrt_iob_func; every routine writes bytes, and UTF-16 output leaves as UTF-8
 * (the stand-in's console code page), so the host streams never take a wide
 * orientation.
 */
#include "format.h"
#include "utf.h"

#include <cstdio>
#include <string>

namespace vcrt {

/* The C runtime's stream record: which host stream it stands for. */
struct _iobuf {
    int index;
};

namespace {

using detail::InvalidParameter;

_iobuf standardStreams[3] = {{0}, {1}, {2}};

std::FILE *HostStream(FILE *stream)
{
    if (stream == &standardStreams[0])
        return stdin;
    if (stream == &standardStreams[1])
        return stdout;
    if (stream == &standardStreams[2])
        return stderr;
    return nullptr;
}

/* Writes bytes to the stream; false when the host write fails. */
bool WriteBytes(std::FILE *host, const char *data, size_t length)
{
    return length == 0 || std::fwrite(data, 1, length, host) == length;
}

std::string ToUtf8(const std::vector<wchar_t> &text)
{
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char32_t codePoint;
        i += detail::DecodeUtf16(text.data() + i, text.size() - i, &codePoint);
        char bytes[4];
        result.append(bytes, detail::EncodeUtf8(codePoint, bytes));
    }
    return result;
}

int FormatToStream(FILE *stream, const char *format, va_list args, const char *function)
{
    std::FILE *host = HostStream(stream);
    if (host == nullptr || format == nullptr) {
        InvalidParameter(function);
        return -1;
    }
    std::vector<char> text;
    detail::FormatOutput<char> out(&text);
    if (!detail::FormatTo(out, format, args, function))
        return -1;
    if (!WriteBytes(host, text.data(), text.size()))
        return -1;
    return (int)text.size();
}

int FormatToStream(FILE *stream, const wchar_t *format, va_list args, const char *function)
{
    std::FILE *host = HostStream(stream);
    if (host == nullptr || format == nullptr) {
        InvalidParameter(function);
        return -1;
    }
    std::vector<wchar_t> text;
    detail::FormatOutput<wchar_t> out(&text);
    if (!detail::FormatTo(out, format, args, function))
        return -1;
    std::string bytes = ToUtf8(text);
    if (!WriteBytes(host, bytes.data(), bytes.size()))
        return -1;
    return (int)text.size();
}

} // namespace

FILE *__acrt_iob_func(unsigned index) noexcept
{
    return index < 3 ? &standardStreams[index] : nullptr;
}

int vfprintf(FILE *stream, const char *format, va_list args) noexcept
{
    return FormatToStream(stream, format, args, "vfprintf");
}

int fprintf(FILE *stream, const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatToStream(stream, format, args, "fprintf");
    va_end(args);
    return result;
}

int vprintf(const char *format, va_list args) noexcept
{
    return FormatToStream(&standardStreams[1], format, args, "vprintf");
}

int printf(const char *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatToStream(&standardStreams[1], format, args, "printf");
    va_end(args);
    return result;
}

int vfwprintf(FILE *stream, const wchar_t *format, va_list args) noexcept
{
    return FormatToStream(stream, format, args, "vfwprintf");
}

int fwprintf(FILE *stream, const wchar_t *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatToStream(stream, format, args, "fwprintf");
    va_end(args);
    return result;
}

int wprintf(const wchar_t *format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    int result = FormatToStream(&standardStreams[1], format, args, "wprintf");
    va_end(args);
    return result;
}

int fputs(const char *s, FILE *stream) noexcept
{
    std::FILE *host = HostStream(stream);
    if (s == nullptr || host == nullptr) {
        InvalidParameter("fputs");
        return EOF;
    }
    return std::fputs(s, host) < 0 ? EOF : 0;
}

int puts(const char *s) noexcept
{
    if (s == nullptr) {
        InvalidParameter("puts");
        return EOF;
    }
    if (std::fputs(s, stdout) < 0 || std::fputc('\n', stdout) == EOF)
        return EOF;
    return 0;
}

int fputc(int c, FILE *stream) noexcept
{
    std::FILE *host = HostStream(stream);
    if (host == nullptr) {
        InvalidParameter("fputc");
        return EOF;
    }
    return std::fputc(c, host);
}

int putchar(int c) noexcept
{
    return std::fputc(c, stdout);
}

int fflush(FILE *stream) noexcept
{
    if (stream == nullptr)
        return std::fflush(nullptr) == 0 ? 0 : EOF;
    std::FILE *host = HostStream(stream);
    if (host == nullptr) {
        InvalidParameter("fflush");
        return EOF;
    }
    return std::fflush(host) == 0 ? 0 : EOF;
}

char *fgets(char *s, int size, FILE *stream) noexcept
{
    std::FILE *host = HostStream(stream);
    if (s == nullptr || size <= 0 || host == nullptr) {
        InvalidParameter("fgets");
        return nullptr;
    }
    return std::fgets(s, size, host);
}

} // namespace vcrt
