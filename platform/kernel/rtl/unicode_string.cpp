/*
 * Counted strings: initialisation, copy, append, allocation and case
 * conversion. Lengths are in bytes; a counted string is NUL-terminated only
 * where a routine says so, and these routines add a terminator only when the
 * destination has room beyond Length.
 */
#include "rtl/rtl_strings.h"
#include "rtl/upcase.h"

#include <ntdef.h>
#include <ntstatus.h>
#include <km/pool.h>
#include <km/rtl.h>

namespace {

size_t WideLength(PCWSTR s)
{
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

size_t NarrowLength(PCSTR s)
{
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

/* Terminates the string after Length when a whole terminator fits. */
void TerminateIfRoom(PUNICODE_STRING string)
{
    if ((size_t)string->Length + sizeof(WCHAR) <= string->MaximumLength)
        string->Buffer[string->Length / sizeof(WCHAR)] = UNICODE_NULL;
}

/* Longest counted strings RtlInitUnicodeString and RtlInitAnsiString describe, in bytes. */
constexpr size_t kMaxUnicodeInitBytes = 0xFFFC;
constexpr size_t kMaxAnsiInitBytes = 0xFFFE;

/* Upcases or downcases Source into Destination, allocating the buffer when asked. */
NTSTATUS ConvertCase(PUNICODE_STRING Destination, PCUNICODE_STRING Source, BOOLEAN Allocate,
                     uint16_t (*map)(uint16_t))
{
    const USHORT length = Source->Length;
    const PCWCH source = Source->Buffer;
    PWCH target;
    if (Allocate) {
        // A zero-length string still gets a buffer, so that a later free has something to free.
        SIZE_T bytes = length != 0 ? length : sizeof(WCHAR);
        target = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes, kRtlStringTag));
        if (target == nullptr)
            return STATUS_NO_MEMORY;
        Destination->Buffer = target;
        Destination->MaximumLength = length;
    } else {
        if (length > Destination->MaximumLength)
            return STATUS_BUFFER_OVERFLOW;
        target = Destination->Buffer;
    }
    // Source and destination may be the same string: each unit is read before it is written.
    for (size_t i = 0; i < length / sizeof(WCHAR); ++i)
        target[i] = (WCHAR)map((uint16_t)source[i]);
    Destination->Length = length;
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
    } else {
        size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
        if (bytes > kMaxUnicodeInitBytes)
            bytes = kMaxUnicodeInitBytes;
        DestinationString->Length = (USHORT)bytes;
        DestinationString->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    }
    DestinationString->Buffer = const_cast<PWCH>(SourceString);
}

NTSYSAPI NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (SourceString != nullptr && WideLength(SourceString) * sizeof(WCHAR) > kMaxUnicodeInitBytes)
        return STATUS_NAME_TOO_LONG;
    RtlInitUnicodeString(DestinationString, SourceString);
    return STATUS_SUCCESS;
}

NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
    } else {
        size_t bytes = NarrowLength(SourceString);
        if (bytes > kMaxAnsiInitBytes)
            bytes = kMaxAnsiInitBytes;
        DestinationString->Length = (USHORT)bytes;
        DestinationString->MaximumLength = (USHORT)(bytes + 1);
    }
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

NTSYSAPI VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString)
{
    RtlInitAnsiString(DestinationString, SourceString);
}

NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                          : DestinationString->MaximumLength;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    TerminateIfRoom(DestinationString);
}

NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (Source == nullptr)
        return STATUS_SUCCESS;
    size_t bytes = WideLength(Source) * sizeof(WCHAR);
    if ((size_t)Destination->Length + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((PCHAR)Destination->Buffer + Destination->Length, Source, bytes);
    Destination->Length = (USHORT)(Destination->Length + bytes);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    USHORT bytes = Source->Length;
    if (bytes == 0)
        return STATUS_SUCCESS;
    if ((size_t)Destination->Length + bytes > Destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((PCHAR)Destination->Buffer + Destination->Length, Source->Buffer, bytes);
    Destination->Length = (USHORT)(Destination->Length + bytes);
    TerminateIfRoom(Destination);
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString)
{
    return ConvertCase(DestinationString, SourceString, AllocateDestinationString, unicase::Upcase);
}

NTSYSAPI NTSTATUS NTAPI RtlDowncaseUnicodeString(PUNICODE_STRING DestinationString,
                                                 PCUNICODE_STRING SourceString, BOOLEAN AllocateDestinationString)
{
    return ConvertCase(DestinationString, SourceString, AllocateDestinationString, unicase::Downcase);
}

NTSYSAPI BOOLEAN NTAPI RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    size_t bytes = (WideLength(SourceString) + 1) * sizeof(WCHAR);
    if (bytes > UNICODE_STRING_MAX_BYTES)
        return FALSE;
    auto *buffer = static_cast<PWCH>(ExAllocatePoolWithTag(PagedPool, bytes, kRtlStringTag));
    if (buffer == nullptr)
        return FALSE;
    memcpy(buffer, SourceString, bytes);
    DestinationString->Buffer = buffer;
    DestinationString->Length = (USHORT)(bytes - sizeof(WCHAR));
    DestinationString->MaximumLength = (USHORT)bytes;
    return TRUE;
}

NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr)
        ExFreePoolWithTag(UnicodeString->Buffer, kRtlStringTag);
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
    UnicodeString->Buffer = nullptr;
}

} // extern "C"
