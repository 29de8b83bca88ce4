/*
 * Conversions between numbers and counted strings, and GUID text.
 */
#include "rtl/rtl_strings.h"

#include <ntdef.h>
#include <ntstatus.h>
#include <km/pool.h>
#include <km/rtl.h>

namespace {

const char kDigits[] = "0123456789ABCDEF";

/* The base a routine accepts (0 means decimal), or 0 when it refuses it. */
ULONG CheckedBase(ULONG base)
{
    if (base == 0)
        return 10;
    return (base == 2 || base == 8 || base == 10 || base == 16) ? base : 0;
}

ULONG DigitValue(WCHAR c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'Z')
        return c - L'A' + 10;
    return 99;
}

WCHAR *PutHex(WCHAR *out, ULONG value, int digits)
{
    for (int i = digits - 1; i >= 0; --i)
        *out++ = (WCHAR)kDigits[(value >> (4 * i)) & 0xF];
    return out;
}

} // namespace

extern "C" {

NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    ULONG base = CheckedBase(Base);
    if (base == 0)
        return STATUS_INVALID_PARAMETER;
    WCHAR reversed[32];
    size_t count = 0;
    do {
        reversed[count++] = (WCHAR)kDigits[Value % base];
        Value /= base;
    } while (Value != 0);
    // The text and its terminator must fit.
    if ((count + 1) * sizeof(WCHAR) > String->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < count; ++i)
        String->Buffer[i] = reversed[count - 1 - i];
    String->Buffer[count] = UNICODE_NULL;
    String->Length = (USHORT)(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

/*
 * Leading characters up to the space are skipped, then an optional sign; base 0
 * reads a 0x, 0o or 0b prefix (else decimal). Digits stop at the first character
 * that is not a digit of the base; the value wraps as a ULONG and a minus sign
 * negates it. An empty string is refused; one without digits gives 0.
 */
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    if (String->Length == 0 || String->Buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    PCWCH p = String->Buffer;
    size_t remaining = String->Length / sizeof(WCHAR);
    while (remaining > 0 && *p <= L' ') {
        ++p;
        --remaining;
    }
    bool negative = false;
    if (remaining > 0 && (*p == L'+' || *p == L'-')) {
        negative = *p == L'-';
        ++p;
        --remaining;
    }
    ULONG base = Base;
    if (base == 0) {
        base = 10;
        if (remaining >= 2 && p[0] == L'0') {
            WCHAR marker = p[1];
            ULONG prefixed = marker == L'x' ? 16 : marker == L'o' ? 8 : marker == L'b' ? 2 : 0;
            if (prefixed != 0) {
                base = prefixed;
                p += 2;
                remaining -= 2;
            }
        }
    } else if (CheckedBase(base) != base) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Value == nullptr)
        return STATUS_ACCESS_VIOLATION;
    ULONG total = 0;
    for (; remaining > 0; ++p, --remaining) {
        ULONG digit = DigitValue(*p);
        if (digit >= base)
            break;
        total = total * base + digit;
    }
    *Value = negative ? 0 - total : total;
    return STATUS_SUCCESS;
}

/* "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in a new buffer the caller frees with RtlFreeUnicodeString. */
NTSYSAPI NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString)
{
    constexpr size_t kCharacters = 38;
    constexpr size_t kBytes = (kCharacters + 1) * sizeof(WCHAR);
    auto *buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, kBytes, kRtlStringTag));
    if (buffer == nullptr)
        return STATUS_NO_MEMORY;
    WCHAR *out = buffer;
    *out++ = L'{';
    out = PutHex(out, Guid.Data1, 8);
    *out++ = L'-';
    out = PutHex(out, Guid.Data2, 4);
    *out++ = L'-';
    out = PutHex(out, Guid.Data3, 4);
    *out++ = L'-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2)
            *out++ = L'-';
        out = PutHex(out, Guid.Data4[i], 2);
    }
    *out++ = L'}';
    *out = UNICODE_NULL;
    GuidString->Buffer = buffer;
    GuidString->Length = (USHORT)(kCharacters * sizeof(WCHAR));
    GuidString->MaximumLength = (USHORT)kBytes;
    return STATUS_SUCCESS;
}

} // extern "C"
