/*
 * Text conversion between the caller's UTF-8 and the driver's UTF-16 fields.
 */
#include "vorellib_internal.h"

namespace vorellib {

bool ToWideField(const char *text, WCHAR *field, int capacity)
{
    if (text[0] == 0) {
        field[0] = 0;
        return true;
    }
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, field, capacity) > 0;
}

void FromWideField(const WCHAR *field, size_t capacity, char *text, size_t size)
{
    size_t length = 0;
    while (length < capacity && field[length] != 0)
        ++length;
    int written = 0;
    if (length != 0) {
        written = WideCharToMultiByte(CP_UTF8, 0, field, (int)length, text, (int)(size - 1), nullptr, nullptr);
        if (written <= 0 || (size_t)written > size - 1)
            written = 0;
    }
    text[written] = 0;
}

} // namespace vorellib
