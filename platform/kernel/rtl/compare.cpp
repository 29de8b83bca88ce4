/*
 * Comparing memory and counted strings, and single-character case mapping.
 * Case-insensitive comparisons upcase both sides with the system's Unicode
 * upcase table (no locale rules: U+00DF stays U+00DF).
 */
#include "rtl/upcase.h"

#include <ntdef.h>
#include <km/rtl.h>

namespace {

WCHAR Fold(WCHAR c, BOOLEAN caseInsensitive)
{
    return caseInsensitive ? (WCHAR)unicase::Upcase((uint16_t)c) : c;
}

bool EqualUnits(PCWCH a, PCWCH b, size_t count, BOOLEAN caseInsensitive)
{
    for (size_t i = 0; i < count; ++i) {
        if (Fold(a[i], caseInsensitive) != Fold(b[i], caseInsensitive))
            return false;
    }
    return true;
}

} // namespace

extern "C" {

NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    auto *a = static_cast<const UCHAR *>(Source1);
    auto *b = static_cast<const UCHAR *>(Source2);
    SIZE_T same = 0;
    while (same < Length && a[same] == b[same])
        ++same;
    return same;
}

NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter)
{
    return (WCHAR)unicase::Upcase((uint16_t)SourceCharacter);
}

NTSYSAPI WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter)
{
    return (WCHAR)unicase::Downcase((uint16_t)SourceCharacter);
}

/* Compares the common prefix unit by unit, then the lengths. Lengths are in characters. */
NTSYSAPI LONG NTAPI RtlCompareUnicodeStrings(PCWCH String1, SIZE_T String1Length, PCWCH String2,
                                             SIZE_T String2Length, BOOLEAN CaseInSensitive)
{
    SIZE_T common = String1Length < String2Length ? String1Length : String2Length;
    for (SIZE_T i = 0; i < common; ++i) {
        WCHAR a = Fold(String1[i], CaseInSensitive);
        WCHAR b = Fold(String2[i], CaseInSensitive);
        if (a != b)
            return (LONG)(uint16_t)a - (LONG)(uint16_t)b;
    }
    if (String1Length == String2Length)
        return 0;
    return String1Length < String2Length ? -1 : 1;
}

NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive)
{
    return RtlCompareUnicodeStrings(String1->Buffer, String1->Length / sizeof(WCHAR), String2->Buffer,
                                    String2->Length / sizeof(WCHAR), CaseInSensitive);
}

NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive)
{
    if (String1->Length != String2->Length)
        return FALSE;
    return EqualUnits(String1->Buffer, String2->Buffer, String1->Length / sizeof(WCHAR), CaseInSensitive);
}

/* TRUE when String1 is a prefix of String2. */
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive)
{
    if (String1->Length > String2->Length)
        return FALSE;
    return EqualUnits(String1->Buffer, String2->Buffer, String1->Length / sizeof(WCHAR), CaseInSensitive);
}

} // extern "C"
