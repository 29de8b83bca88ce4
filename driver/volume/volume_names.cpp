/*
 * The names a volume goes by: its GUID device name and the paths and links built
 * from its drive letter. They are assembled here by hand: the Windows image of
 * the driver imports no C runtime formatting routine.
 */
#include "vorel.h"

/* AppendHex: Digits lower-case hexadecimal digits of Value at Text; returns the position after them. */
static PWCH AppendHex(PWCH Text, ULONG Value, ULONG Digits)
{
    static const WCHAR hex[] = L"0123456789abcdef";
    for (ULONG i = 0; i < Digits; i++)
        Text[i] = hex[(Value >> (4 * (Digits - 1 - i))) & 0xF];
    return Text + Digits;
}

/*
 * FormatDeviceName: "\Device\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" from a
 * fresh GUID (Data1, Data2, Data3, then the eight bytes of Data4; lower-case), in
 * a buffer of DEVICE_NAME_UNITS units. Returns ExUuidCreate's failure.
 */
NTSTATUS FormatDeviceName(PWCH Buffer)
{
    GUID guid;
    NTSTATUS status = ExUuidCreate(&guid);
    if (!NT_SUCCESS(status))
        return status;
    static const WCHAR prefix[] = L"\\Device\\Volume{";
    C_ASSERT(RTL_NUMBER_OF(prefix) - 1 + 36 + 2 <= DEVICE_NAME_UNITS);
    RtlCopyMemory(Buffer, prefix, sizeof(prefix) - sizeof(WCHAR));
    PWCH text = Buffer + RTL_NUMBER_OF(prefix) - 1;
    text = AppendHex(text, guid.Data1, 8);
    *text++ = L'-';
    text = AppendHex(text, guid.Data2, 4);
    *text++ = L'-';
    text = AppendHex(text, guid.Data3, 4);
    *text++ = L'-';
    for (ULONG i = 0; i < 8; i++) {
        if (i == 2)
            *text++ = L'-';
        text = AppendHex(text, guid.Data4[i], 2);
    }
    *text++ = L'}';
    *text = 0;
    return STATUS_SUCCESS;
}

/*
 * FormatLetterName: Prefix, the letter and Suffix as a counted string over Buffer
 * (Units units, zero-terminated). The caller sizes Buffer for the longest use.
 */
VOID FormatLetterName(PCWSTR Prefix, WCHAR Letter, PCWSTR Suffix, PWCH Buffer, USHORT Units, PUNICODE_STRING Name)
{
    WCHAR letter[2] = {Letter, 0};
    Name->Buffer = Buffer;
    Name->Length = 0;
    Name->MaximumLength = (USHORT)((Units - 1) * sizeof(WCHAR));
    RtlAppendUnicodeToString(Name, Prefix);
    RtlAppendUnicodeToString(Name, letter);
    RtlAppendUnicodeToString(Name, Suffix);
    Buffer[Name->Length / sizeof(WCHAR)] = 0;
}

/* FormatLetterLink: "\DosDevices\X:" in a buffer of LETTER_LINK_UNITS units. */
VOID FormatLetterLink(WCHAR Letter, PWCH Buffer, PUNICODE_STRING Link)
{
    FormatLetterName(L"\\DosDevices\\", Letter, L":", Buffer, LETTER_LINK_UNITS, Link);
}
