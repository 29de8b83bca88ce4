/*
 * Steps the subcommands share: connecting, reporting a failed request with the
 * system's message, and the letter and size arguments.
 */
#include "vorelctl.h"

#include <string.h>

namespace ctl {

void PrintWin32Error(DWORD code)
{
    if (code == 0)
        return;
    char *message = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(&message), 0, nullptr);
    if (length == 0 || message == nullptr) {
        fprintf(stderr, "          (Win32 error %lu)\n", code);
        return;
    }
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n'))
        message[--length] = 0;
    fprintf(stderr, "          (Win32 error %lu: %s)\n", code, message);
    LocalFree(message);
}

bool Connect(vorel_handle *h)
{
    unsigned int nativeError = 0;
    vorel_status status = vorel_connect(h, &nativeError);
    if (status == VOREL_OK)
        return true;
    fprintf(stderr, "vorelctl: cannot open the VOREL control device (%s)\n", vorel_status_name(status));
    if (status == VOREL_ERR_NOT_RUNNING)
        fprintf(stderr, "          (most likely the vorel service is not running;\n"
                        "           try: sc start vorel)\n");
    PrintWin32Error(nativeError);
    return false;
}

int RequestFailed(vorel_handle h, const char *operation, vorel_status status, const char *hint)
{
    fprintf(stderr, "vorelctl: %s failed: %s%s%s%s\n", operation, vorel_status_name(status), hint ? " (" : "",
            hint ? hint : "", hint ? ")" : "");
    PrintWin32Error(vorel_last_native_error(h));
    return kExitFailed;
}

bool ParseLetter(const char *text, char *letter)
{
    if (text[0] != 0 && text[1] == 0) {
        char c = text[0];
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
        if (c >= 'A' && c <= 'Z') {
            *letter = c;
            return true;
        }
    }
    fprintf(stderr, "vorelctl: drive letter must be A..Z\n");
    return false;
}

bool ParseSize(const char *text, unsigned long long *bytes)
{
    const char *p = text;
    unsigned long long value = 0;
    bool valid = *p >= '0' && *p <= '9';
    for (; valid && *p >= '0' && *p <= '9'; ++p) {
        unsigned digit = (unsigned)(*p - '0');
        if (value > (~0ull - digit) / 10) {
            valid = false; /* does not fit in 64 bits */
            break;
        }
        value = value * 10 + digit;
    }
    unsigned shift = 0;
    if (valid && *p != 0) {
        switch (*p) {
        case 'k': case 'K': shift = 10; break;
        case 'm': case 'M': shift = 20; break;
        case 'g': case 'G': shift = 30; break;
        case 't': case 'T': shift = 40; break;
        default: valid = false; break;
        }
        if (valid && p[1] != 0)
            valid = false;
    }
    if (valid && (value == 0 || (shift != 0 && value > (~0ull >> shift))))
        valid = false;
    if (!valid) {
        fprintf(stderr, "vorelctl: invalid size '%s'\n", text);
        return false;
    }
    *bytes = value << shift;
    return true;
}

void FormatSize(unsigned long long bytes, char *text, size_t size)
{
    static const char *const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
    double value = (double)bytes;
    int divisions = 0;
    while (value >= 1024.0 && divisions < 4) {
        value /= 1024.0;
        ++divisions;
    }
    if (divisions == 0)
        snprintf(text, size, "%llu %s", bytes, kUnits[0]);
    else
        snprintf(text, size, "%.1f %s", value, kUnits[divisions]);
}

const WCHAR *WideText(const char *text, WCHAR *buffer, int units)
{
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, units) <= 0)
        buffer[0] = 0;
    return buffer;
}

const char *LevelName(unsigned int level)
{
    switch (level) {
    case 1: return "fast";
    case 2: return "normal";
    case 3: return "max";
    default: return "none";
    }
}

} // namespace ctl
