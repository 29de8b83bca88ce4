/*
 * FormatMessage from the system's message table: Windows' own English texts, each
 * ending in CR LF, for the errors the library and the console can meet. A message
 * the table lacks fails with ERROR_MR_MID_NOT_FOUND, as on Windows for a code
 * without text. Only the system table and English (or the neutral/default
 * language, which resolves to English) are offered; inserts (%1 ...) are kept as
 * they stand with FORMAT_MESSAGE_IGNORE_INSERTS, and refused without it, since no
 * message of the table takes arguments the callers would pass.
 */
#include "win32_internal.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

struct Message {
    DWORD code;
    const char *text;
};

/* Sorted by code. */
constexpr Message kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough storage is available to complete this operation.\r\n"},
    {17, "The system cannot move the file to a different disk drive.\r\n"},
    {18, "There are no more files.\r\n"},
    {19, "The media is write protected.\r\n"},
    {21, "The device is not ready.\r\n"},
    {22, "The device does not recognize the command.\r\n"},
    {23, "Data error (cyclic redundancy check).\r\n"},
    {24, "The program issued a command but the command length is incorrect.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {39, "The disk is full.\r\n"},
    {50, "The request is not supported.\r\n"},
    {55, "The specified network resource or device is no longer available.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {223, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {234, "More data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1005, "The volume does not contain a recognized file system.\r\n"
           "Please make sure that all required file system drivers are loaded and that the volume is not "
           "corrupted.\r\n"},
    {1052, "The requested control is not valid for this service.\r\n"},
    {1053, "The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1056, "An instance of the service is already running.\r\n"},
    {1060, "The specified service does not exist as an installed service.\r\n"},
    {1062, "The service has not been started.\r\n"},
    {1072, "The specified service has been marked for deletion.\r\n"},
    {1073, "The specified service already exists.\r\n"},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1117, "The request could not be performed because of an I/O device error.\r\n"},
    {1168, "Element not found.\r\n"},
    {1314, "A required privilege is not held by the client.\r\n"},
    {1392, "The file or directory is corrupted and unreadable.\r\n"},
    {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1784, "The supplied user buffer is not valid for the requested operation.\r\n"},
    {2001, "The specified driver is invalid.\r\n"},
};

constexpr bool SortedByCode()
{
    for (size_t i = 1; i < std::size(kMessages); ++i)
        if (kMessages[i - 1].code >= kMessages[i].code)
            return false;
    return true;
}
static_assert(SortedByCode(), "the message table is searched by bisection");

const char *FindMessage(DWORD code)
{
    auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                               [](const Message &m, DWORD key) { return m.code < key; });
    return it != std::end(kMessages) && it->code == code ? it->text : nullptr;
}

bool LanguageOffered(DWORD language)
{
    WORD primary = PRIMARYLANGID(language), sub = SUBLANGID(language);
    if (primary == LANG_NEUTRAL)
        return sub == SUBLANG_NEUTRAL || sub == SUBLANG_DEFAULT || sub == SUBLANG_SYS_DEFAULT;
    return primary == LANG_ENGLISH;
}

/* The text FormatMessage produces, or null with the last error set. */
const char *MessageText(DWORD flags, LPCVOID source, DWORD code, DWORD language)
{
    (void)source;
    if ((flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) != 0 ||
        !(flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
        SetLastError(ERROR_INVALID_PARAMETER); /* only the system's own table is offered */
        return nullptr;
    }
    if (!LanguageOffered(language)) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return nullptr;
    }
    const char *text = FindMessage(code);
    if (text == nullptr) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return nullptr;
    }
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && std::strchr(text, '%') != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return text;
}

/* Copies text (n units and a NUL) to the caller's buffer or one allocated for it. */
template <typename Unit>
DWORD Deliver(DWORD flags, const Unit *text, size_t n, Unit *buffer, DWORD size)
{
    if (n >= 0x7FFFFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Unit *target;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        if (buffer == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t units = std::max<size_t>(n + 1, size);
        target = static_cast<Unit *>(LocalAlloc(LMEM_FIXED, units * sizeof(Unit)));
        if (target == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        *reinterpret_cast<Unit **>(buffer) = target;
    } else {
        if (buffer == nullptr || (size_t)size < n + 1) {
            SetLastError(buffer == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        target = buffer;
    }
    std::memcpy(target, text, n * sizeof(Unit));
    target[n] = 0;
    return (DWORD)n;
}

} // namespace

extern "C" {

WINBASEAPI DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPSTR lpBuffer, DWORD nSize, va_list *Arguments)
{
    (void)Arguments;
    const char *text = MessageText(dwFlags, lpSource, dwMessageId, dwLanguageId);
    if (text == nullptr)
        return 0;
    return Deliver<char>(dwFlags, text, std::strlen(text), lpBuffer, nSize);
}

WINBASEAPI DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPWSTR lpBuffer, DWORD nSize, va_list *Arguments)
{
    (void)Arguments;
    const char *text = MessageText(dwFlags, lpSource, dwMessageId, dwLanguageId);
    if (text == nullptr)
        return 0;
    std::u16string wide;
    win32::Utf8ToUtf16(text, std::strlen(text), false, &wide);
    return Deliver<WCHAR>(dwFlags, reinterpret_cast<const WCHAR *>(wide.data()), wide.size(), lpBuffer, nSize);
}

} // extern "C"
