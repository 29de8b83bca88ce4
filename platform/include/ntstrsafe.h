/*
 * Safe string routines for kernel-mode code, inline as in the WDK's ntstrsafe.h.
 * Sizes are in characters (Cch) or bytes (Cb); every routine refuses a zero or
 * over-large destination, always leaves a NUL-terminated result when it writes
 * into a character buffer, and reports truncation as STATUS_BUFFER_OVERFLOW.
 * The UNICODE_STRING routines set Length to what was written and add no NUL.
 *
 * Formatting goes through the C runtime layer's _vsnwprintf/_vsnprintf, so the
 * Microsoft format rules hold (%wZ, %ls, %lu is 32 bits, %I64x).
 */
#pragma once

#include <ntdef.h>
#include <ntstatus.h>
#include <vcrt.h>

/* Linux-world code sees the C runtime in namespace vcrt; Windows-world code sees it plainly. */
#if defined(VOREL_LINUX_WORLD)
#define NTSTRSAFE_CRT(name) ::vcrt::name
#else
#define NTSTRSAFE_CRT(name) name
#endif

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_MAX_LENGTH (NTSTRSAFE_MAX_CCH - 1)
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767

typedef char *NTSTRSAFE_PSTR;
typedef const char *NTSTRSAFE_PCSTR;
typedef wchar_t *NTSTRSAFE_PWSTR;
typedef const wchar_t *NTSTRSAFE_PCWSTR;

/* ---- Workers shared by the narrow and wide forms -------------------------------------- */

template <typename C>
static inline NTSTATUS NtStrSafeValidateDest(const C *Dest, size_t CchDest)
{
    return (Dest == NULL || CchDest == 0 || CchDest > NTSTRSAFE_MAX_CCH) ? STATUS_INVALID_PARAMETER
                                                                         : STATUS_SUCCESS;
}

/* Length of a string that must end within CchMax characters. */
template <typename C>
static inline NTSTATUS NtStrSafeLength(const C *Psz, size_t CchMax, size_t *CchLength)
{
    size_t length = 0;
    while (length < CchMax && Psz[length] != 0)
        length++;
    if (length == CchMax) {
        if (CchLength != NULL)
            *CchLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (CchLength != NULL)
        *CchLength = length;
    return STATUS_SUCCESS;
}

/* Copies at most CchToCopy characters of Src; the result is always terminated. */
template <typename C>
static inline NTSTATUS NtStrSafeCopy(C *Dest, size_t CchDest, const C *Src, size_t CchToCopy)
{
    size_t copied = 0;
    while (copied < CchDest && copied < CchToCopy && Src[copied] != 0) {
        Dest[copied] = Src[copied];
        copied++;
    }
    if (copied == CchDest) {
        Dest[CchDest - 1] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    Dest[copied] = 0;
    return STATUS_SUCCESS;
}

template <typename C>
static inline NTSTATUS NtStrSafeCat(C *Dest, size_t CchDest, const C *Src, size_t CchToAppend)
{
    size_t used;
    NTSTATUS status = NtStrSafeLength(Dest, CchDest, &used);
    if (!NT_SUCCESS(status))
        return status;
    return NtStrSafeCopy(Dest + used, CchDest - used, Src, CchToAppend);
}

/* Interprets a formatter's result for a buffer of CchDest characters (one kept for the NUL). */
template <typename C>
static inline NTSTATUS NtStrSafeFinishPrintf(C *Dest, size_t CchDest, int Written)
{
    size_t cchMax = CchDest - 1;
    if (Written < 0 || (size_t)Written > cchMax) {
        Dest[cchMax] = 0;
        return STATUS_BUFFER_OVERFLOW;
    }
    if ((size_t)Written == cchMax)
        Dest[cchMax] = 0;
    return STATUS_SUCCESS;
}

/* ---- Length ---------------------------------------------------------------------------- */

NTSTRSAFEDDI RtlStringCchLengthW(NTSTRSAFE_PCWSTR psz, size_t cchMax, size_t *pcchLength)
{
    if (psz == NULL || cchMax > NTSTRSAFE_MAX_CCH) {
        if (pcchLength != NULL)
            *pcchLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return NtStrSafeLength(psz, cchMax, pcchLength);
}

NTSTRSAFEDDI RtlStringCchLengthA(NTSTRSAFE_PCSTR psz, size_t cchMax, size_t *pcchLength)
{
    if (psz == NULL || cchMax > NTSTRSAFE_MAX_CCH) {
        if (pcchLength != NULL)
            *pcchLength = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return NtStrSafeLength(psz, cchMax, pcchLength);
}

NTSTRSAFEDDI RtlStringCbLengthW(NTSTRSAFE_PCWSTR psz, size_t cbMax, size_t *pcbLength)
{
    size_t cch = 0;
    NTSTATUS status = RtlStringCchLengthW(psz, cbMax / sizeof(wchar_t), &cch);
    if (pcbLength != NULL)
        *pcbLength = cch * sizeof(wchar_t);
    return status;
}

NTSTRSAFEDDI RtlStringCbLengthA(NTSTRSAFE_PCSTR psz, size_t cbMax, size_t *pcbLength)
{
    return RtlStringCchLengthA(psz, cbMax, pcbLength);
}

/* ---- Copy and concatenate ---------------------------------------------------------------- */

NTSTRSAFEDDI RtlStringCchCopyW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc)
{
    NTSTATUS status = NtStrSafeValidateDest(pszDest, cchDest);
    if (!NT_SUCCESS(status))
        return status;
    return NtStrSafeCopy(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_LENGTH);
}

NTSTRSAFEDDI RtlStringCchCopyA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc)
{
    NTSTATUS status = NtStrSafeValidateDest(pszDest, cchDest);
    if (!NT_SUCCESS(status))
        return status;
    return NtStrSafeCopy(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_LENGTH);
}

NTSTRSAFEDDI RtlStringCbCopyW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc)
{
    return RtlStringCchCopyW(pszDest, cbDest / sizeof(wchar_t), pszSrc);
}

NTSTRSAFEDDI RtlStringCbCopyA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc)
{
    return RtlStringCchCopyA(pszDest, cbDest, pszSrc);
}

NTSTRSAFEDDI RtlStringCchCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc, size_t cchToCopy)
{
    NTSTATUS status = NtStrSafeValidateDest(pszDest, cchDest);
    if (!NT_SUCCESS(status))
        return status;
    if (cchToCopy > NTSTRSAFE_MAX_LENGTH) {
        *pszDest = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return NtStrSafeCopy(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTRSAFEDDI RtlStringCchCopyNA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc, size_t cchToCopy)
{
    NTSTATUS status = NtStrSafeValidateDest(pszDest, cchDest);
    if (!NT_SUCCESS(status))
        return status;
    if (cchToCopy > NTSTRSAFE_MAX_LENGTH) {
        *pszDest = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return NtStrSafeCopy(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTRSAFEDDI RtlStringCbCopyNW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc, size_t cbToCopy)
{
    return RtlStringCchCopyNW(pszDest, cbDest / sizeof(wchar_t), pszSrc, cbToCopy / sizeof(wchar_t));
}

NTSTRSAFEDDI RtlStringCbCopyNA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc, size_t cbToCopy)
{
    return RtlStringCchCopyNA(pszDest, cbDest, pszSrc, cbToCopy);
}

NTSTRSAFEDDI RtlStringCchCatW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszSrc)
{
    NTSTATUS status = NtStrSafeValidateDest(pszDest, cchDest);
    if (!NT_SUCCESS(status))
        return status;
    return NtStrSafeCat(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_LENGTH);
}

NTSTRSAFEDDI RtlStringCchCatA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszSrc)
{
    NTSTATUS status = NtStrSafeValidateDest(pszDest, cchDest);
    if (!NT_SUCCESS(status))
        return status;
    return NtStrSafeCat(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_LENGTH);
}

NTSTRSAFEDDI RtlStringCbCatW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszSrc)
{
    return RtlStringCchCatW(pszDest, cbDest / sizeof(wchar_t), pszSrc);
}

NTSTRSAFEDDI RtlStringCbCatA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszSrc)
{
    return RtlStringCchCatA(pszDest, cbDest, pszSrc);
}

/* ---- Formatting ------------------------------------------------------------------------------ */

NTSTRSAFEDDI RtlStringCchVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat,
                                  va_list argList)
{
    NTSTATUS status = NtStrSafeValidateDest(pszDest, cchDest);
    if (!NT_SUCCESS(status))
        return status;
    int written = NTSTRSAFE_CRT(_vsnwprintf)(pszDest, cchDest - 1, pszFormat, argList);
    return NtStrSafeFinishPrintf(pszDest, cchDest, written);
}

NTSTRSAFEDDI RtlStringCchVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat,
                                  va_list argList)
{
    NTSTATUS status = NtStrSafeValidateDest(pszDest, cchDest);
    if (!NT_SUCCESS(status))
        return status;
    int written = NTSTRSAFE_CRT(_vsnprintf)(pszDest, cchDest - 1, pszFormat, argList);
    return NtStrSafeFinishPrintf(pszDest, cchDest, written);
}

NTSTRSAFEDDI RtlStringCbVPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat,
                                 va_list argList)
{
    return RtlStringCchVPrintfW(pszDest, cbDest / sizeof(wchar_t), pszFormat, argList);
}

NTSTRSAFEDDI RtlStringCbVPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat,
                                 va_list argList)
{
    return RtlStringCchVPrintfA(pszDest, cbDest, pszFormat, argList);
}

NTSTRSAFEDDI RtlStringCchPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cchDest, NTSTRSAFE_PCWSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cchDest, pszFormat, argList);
    va_end(argList);
    return status;
}

NTSTRSAFEDDI RtlStringCchPrintfA(NTSTRSAFE_PSTR pszDest, size_t cchDest, NTSTRSAFE_PCSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfA(pszDest, cchDest, pszFormat, argList);
    va_end(argList);
    return status;
}

NTSTRSAFEDDI RtlStringCbPrintfW(NTSTRSAFE_PWSTR pszDest, size_t cbDest, NTSTRSAFE_PCWSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cbDest / sizeof(wchar_t), pszFormat, argList);
    va_end(argList);
    return status;
}

NTSTRSAFEDDI RtlStringCbPrintfA(NTSTRSAFE_PSTR pszDest, size_t cbDest, NTSTRSAFE_PCSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfA(pszDest, cbDest, pszFormat, argList);
    va_end(argList);
    return status;
}

/* ---- UNICODE_STRING ----------------------------------------------------------------------------- */

/*
 * A counted string is usable when its lengths are even, Length <= MaximumLength,
 * MaximumLength is within NTSTRSAFE_UNICODE_STRING_MAX_CCH characters, and a
 * buffer exists whenever either length is non-zero.
 */
static inline NTSTATUS NtStrSafeValidateUnicodeString(PCUNICODE_STRING String)
{
    if (String == NULL || (String->Length & 1) != 0 || (String->MaximumLength & 1) != 0 ||
        String->Length > String->MaximumLength ||
        String->MaximumLength > NTSTRSAFE_UNICODE_STRING_MAX_CCH * sizeof(wchar_t) ||
        (String->Buffer == NULL && String->MaximumLength != 0))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

/* Appends at most CchSource characters (stopping early at a NUL when StopAtNul) after Offset. */
static inline NTSTATUS NtStrSafeUnicodeStringPut(PUNICODE_STRING Dest, size_t Offset, const wchar_t *Source,
                                                 size_t CchSource, BOOLEAN StopAtNul)
{
    size_t cchDest = Dest->MaximumLength / sizeof(wchar_t);
    size_t written = Offset;
    size_t taken = 0;
    while (taken < CchSource && !(StopAtNul && Source[taken] == 0)) {
        if (written == cchDest) {
            Dest->Length = (USHORT)(written * sizeof(wchar_t));
            return STATUS_BUFFER_OVERFLOW;
        }
        Dest->Buffer[written++] = Source[taken++];
    }
    Dest->Length = (USHORT)(written * sizeof(wchar_t));
    return STATUS_SUCCESS;
}

NTSTRSAFEDDI RtlUnicodeStringInit(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc)
{
    if (DestinationString == NULL)
        return STATUS_INVALID_PARAMETER;
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = NULL;
    if (pszSrc == NULL)
        return STATUS_SUCCESS;
    size_t cch;
    NTSTATUS status = NtStrSafeLength(pszSrc, NTSTRSAFE_UNICODE_STRING_MAX_CCH, &cch);
    if (!NT_SUCCESS(status))
        return status;
    DestinationString->Length = (USHORT)(cch * sizeof(wchar_t));
    DestinationString->MaximumLength = (USHORT)((cch + 1) * sizeof(wchar_t));
    DestinationString->Buffer = (PWCH)pszSrc;
    return STATUS_SUCCESS;
}

NTSTRSAFEDDI RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!NT_SUCCESS(NtStrSafeValidateUnicodeString(DestinationString)) ||
        !NT_SUCCESS(NtStrSafeValidateUnicodeString(SourceString)))
        return STATUS_INVALID_PARAMETER;
    return NtStrSafeUnicodeStringPut(DestinationString, 0, SourceString->Buffer,
                                     SourceString->Length / sizeof(wchar_t), FALSE);
}

NTSTRSAFEDDI RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc)
{
    if (!NT_SUCCESS(NtStrSafeValidateUnicodeString(DestinationString)) || pszSrc == NULL)
        return STATUS_INVALID_PARAMETER;
    return NtStrSafeUnicodeStringPut(DestinationString, 0, pszSrc, NTSTRSAFE_MAX_LENGTH, TRUE);
}

NTSTRSAFEDDI RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!NT_SUCCESS(NtStrSafeValidateUnicodeString(DestinationString)) ||
        !NT_SUCCESS(NtStrSafeValidateUnicodeString(SourceString)))
        return STATUS_INVALID_PARAMETER;
    return NtStrSafeUnicodeStringPut(DestinationString, DestinationString->Length / sizeof(wchar_t),
                                     SourceString->Buffer, SourceString->Length / sizeof(wchar_t), FALSE);
}

NTSTRSAFEDDI RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszSrc)
{
    if (!NT_SUCCESS(NtStrSafeValidateUnicodeString(DestinationString)) || pszSrc == NULL)
        return STATUS_INVALID_PARAMETER;
    return NtStrSafeUnicodeStringPut(DestinationString, DestinationString->Length / sizeof(wchar_t), pszSrc,
                                     NTSTRSAFE_MAX_LENGTH, TRUE);
}

NTSTRSAFEDDI RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat,
                                     va_list argList)
{
    if (!NT_SUCCESS(NtStrSafeValidateUnicodeString(DestinationString)) || pszFormat == NULL)
        return STATUS_INVALID_PARAMETER;
    size_t cchDest = DestinationString->MaximumLength / sizeof(wchar_t);
    int written = NTSTRSAFE_CRT(_vsnwprintf)(DestinationString->Buffer, cchDest, pszFormat, argList);
    if (written < 0 || (size_t)written > cchDest) {
        DestinationString->Length = (USHORT)(cchDest * sizeof(wchar_t));
        return STATUS_BUFFER_OVERFLOW;
    }
    DestinationString->Length = (USHORT)((size_t)written * sizeof(wchar_t));
    return STATUS_SUCCESS;
}

NTSTRSAFEDDI RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, NTSTRSAFE_PCWSTR pszFormat, ...)
{
    va_list argList;
    va_start(argList, pszFormat);
    NTSTATUS status = RtlUnicodeStringVPrintf(DestinationString, pszFormat, argList);
    va_end(argList);
    return status;
}
