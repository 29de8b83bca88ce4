/*
 * errno and parameter validation. The C runtime's errno is its own per-thread
 * value, not the host C library's. An invalid parameter goes to the handler the
 * process installed; the default handler stops the process the way Windows'
 * __fastfail(FAST_FAIL_INVALID_ARG) does. libvcrt does not link the stand-in
 * kernel, so it writes the halt line itself.
 */
#include "crt_internal.h"

#include <atomic>
#include <cstdlib>
#include <unistd.h>

namespace vcrt {
namespace {

thread_local int threadErrno = 0;
std::atomic<_invalid_parameter_handler> currentHandler{nullptr};

void WriteAll(const char *text, size_t length)
{
    while (length > 0) {
        ssize_t written = ::write(2, text, length);
        if (written <= 0)
            return;
        text += written;
        length -= (size_t)written;
    }
}

[[noreturn]] void DefaultInvalidParameterHandler(const wchar_t *function)
{
    char line[200];
    static const char prefix[] = "*** STOP: FAST_FAIL 5 (invalid parameter in ";
    size_t length = 0;
    for (const char *p = prefix; *p; ++p)
        line[length++] = *p;
    const wchar_t unknown[] = L"an unnamed routine";
    const wchar_t *name = function ? function : unknown;
    for (; *name && length < sizeof(line) - 3; ++name) {
        unsigned unit = (uint16_t)*name;
        line[length++] = unit < 0x80 ? (char)unit : '?';
    }
    line[length++] = ')';
    line[length++] = '\n';
    WriteAll(line, length);
    std::abort();
}

} // namespace

int *_errno(void) noexcept
{
    return &threadErrno;
}

_invalid_parameter_handler _set_invalid_parameter_handler(_invalid_parameter_handler handler) noexcept
{
    return currentHandler.exchange(handler);
}

_invalid_parameter_handler _get_invalid_parameter_handler(void) noexcept
{
    return currentHandler.load();
}

namespace detail {

void InvalidParameter(const char *function, int error) noexcept
{
    *_errno() = error;
    // The handler receives the routine's name as a wide string, as the debug runtime gives it.
    wchar_t name[64];
    size_t length = 0;
    for (; function && function[length] && length < 63; ++length)
        name[length] = (wchar_t)(unsigned char)function[length];
    name[length] = 0;
    _invalid_parameter_handler handler = currentHandler.load();
    if (handler == nullptr)
        DefaultInvalidParameterHandler(name);
    handler(nullptr, name, nullptr, 0, 0);
}

} // namespace detail
} // namespace vcrt
