/*
 * Run-time library: memory helpers, counted strings and their upcase rules.
 * Case-insensitive comparisons use the system's Unicode upcase table: one fixed
 * table of simple uppercase mappings for all 65,536 UTF-16 code units, the same
 * in every locale, applied unit by unit.
 */
#pragma once

#include <ntdef.h>

/* The C library's memory routines are the only ones the kernel shares with it. */
#if defined(VOREL_LINUX_WORLD)
#include <string.h>
#else
#include <vcrt_memory.h>
#endif

EXTERN_C_START

NTSYSAPI SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);

NTSYSAPI VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI NTSTATUS NTAPI RtlInitUnicodeStringEx(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
NTSYSAPI VOID NTAPI RtlInitString(PSTRING DestinationString, PCSTR SourceString);
NTSYSAPI VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                            BOOLEAN CaseInSensitive);
NTSYSAPI LONG NTAPI RtlCompareUnicodeStrings(PCWCH String1, SIZE_T String1Length, PCWCH String2,
                                             SIZE_T String2Length, BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                             BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                              BOOLEAN CaseInSensitive);
NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI WCHAR NTAPI RtlDowncaseUnicodeChar(WCHAR SourceCharacter);
NTSYSAPI NTSTATUS NTAPI RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                               BOOLEAN AllocateDestinationString);
NTSYSAPI NTSTATUS NTAPI RtlDowncaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                                 BOOLEAN AllocateDestinationString);
NTSYSAPI BOOLEAN NTAPI RtlCreateUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
NTSYSAPI NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
NTSYSAPI NTSTATUS NTAPI RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value);
NTSYSAPI NTSTATUS NTAPI RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);

EXTERN_C_END

#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))

FORCEINLINE PVOID RtlSecureZeroMemory(PVOID ptr, SIZE_T cnt)
{
    volatile char *vptr = (volatile char *)ptr;
    while (cnt != 0) {
        *vptr++ = 0;
        cnt--;
    }
    return ptr;
}

/*
 * Bitmaps: SizeOfBitMap bits in 32-bit words at Buffer, bit n of the map being bit
 * (n % 32) of word n / 32. The caller owns the buffer; the header only describes it.
 */
typedef struct _RTL_BITMAP {
    ULONG SizeOfBitMap;
    PULONG Buffer;
} RTL_BITMAP, *PRTL_BITMAP;

EXTERN_C_START

NTSYSAPI VOID NTAPI RtlInitializeBitMap(PRTL_BITMAP BitMapHeader, PULONG BitMapBuffer, ULONG SizeOfBitMap);
NTSYSAPI VOID NTAPI RtlClearAllBits(PRTL_BITMAP BitMapHeader);
NTSYSAPI VOID NTAPI RtlSetAllBits(PRTL_BITMAP BitMapHeader);
NTSYSAPI VOID NTAPI RtlSetBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber);
NTSYSAPI VOID NTAPI RtlClearBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber);
NTSYSAPI BOOLEAN NTAPI RtlTestBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber);
NTSYSAPI VOID NTAPI RtlSetBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG NumberToSet);
NTSYSAPI VOID NTAPI RtlClearBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG NumberToClear);
NTSYSAPI ULONG NTAPI RtlFindSetBits(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex);
NTSYSAPI ULONG NTAPI RtlFindClearBits(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex);
NTSYSAPI ULONG NTAPI RtlFindSetBitsAndClear(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex);
NTSYSAPI ULONG NTAPI RtlFindClearBitsAndSet(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex);
NTSYSAPI ULONG NTAPI RtlNumberOfSetBits(PRTL_BITMAP BitMapHeader);
NTSYSAPI ULONG NTAPI RtlNumberOfClearBits(PRTL_BITMAP BitMapHeader);

EXTERN_C_END
