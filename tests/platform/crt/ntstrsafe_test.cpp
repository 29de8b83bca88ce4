/*
 * The kernel's safe string routines: status codes, terminator placement on
 * truncation, and UNICODE_STRING lengths.
 */
#include "crt_test.h"

#include <ntstrsafe.h>

namespace {

using NtStrSafeTest = CrtTest;

TEST_F(NtStrSafeTest, PrintfTruncatesAndAlwaysTerminates)
{
    wchar_t buffer[8];
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 8, L"%ls-%lu", L"abc", (ULONG)123), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(buffer), "abc-123");                      // exactly seven characters and the NUL
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 8, L"%ls-%lu", L"abcd", (ULONG)123), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Utf8(buffer), "abcd-12");
    EXPECT_EQ(RtlStringCbPrintfW(buffer, 9, L"%d", 123456789), STATUS_BUFFER_OVERFLOW); // 4 characters
    EXPECT_EQ(Utf8(buffer), "123");
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 1, L"x"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer[0], L'\0');

    char narrow[6];
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof(narrow), "%s", "abcdefg"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "abcde");
    EXPECT_EQ(RtlStringCchPrintfA(narrow, sizeof(narrow), "%I64u", 12345ULL), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "12345");
}

TEST_F(NtStrSafeTest, PrintfBuildsTheNamesTheDriverUses)
{
    wchar_t name[64];
    GUID id = {0x0123ABCD, 0x4567, 0x89EF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    EXPECT_EQ(RtlStringCbPrintfW(name, sizeof(name), L"\\Device\\Volume{%08lx-%04hx-%04hx-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                                 id.Data1, id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2], id.Data4[3],
                                 id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]),
              STATUS_SUCCESS);
    EXPECT_EQ(Utf8(name), "\\Device\\Volume{0123abcd-4567-89ef-0123-456789abcdef}");
    EXPECT_EQ(RtlStringCchPrintfW(name, 64, L"\\DosDevices\\%C:", (wint_t)L'R'), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(name), "\\DosDevices\\R:");
}

TEST_F(NtStrSafeTest, InvalidDestinationsAreRefusedUntouched)
{
    wchar_t buffer[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(RtlStringCchPrintfW(buffer, 0, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchCopyW(buffer, (size_t)NTSTRSAFE_MAX_CCH + 1, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCbCopyW(buffer, 1, L"x"), STATUS_INVALID_PARAMETER); // less than one character
    EXPECT_EQ(RtlStringCchCopyW(nullptr, 4, L"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], L'#');
    EXPECT_EQ(RtlStringCchCopyNW(buffer, 4, L"x", (size_t)NTSTRSAFE_MAX_CCH), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(handlerCalls, 0);
}

TEST_F(NtStrSafeTest, CopyCatAndLength)
{
    wchar_t buffer[6];
    EXPECT_EQ(RtlStringCchCopyW(buffer, 6, L"abcdefgh"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Utf8(buffer), "abcde");
    EXPECT_EQ(RtlStringCbCopyNW(buffer, sizeof(buffer), L"abcdefgh", 2 * sizeof(wchar_t)), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(buffer), "ab");
    EXPECT_EQ(RtlStringCchCatW(buffer, 6, L"cd"), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(buffer), "abcd");
    EXPECT_EQ(RtlStringCbCatW(buffer, sizeof(buffer), L"efg"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Utf8(buffer), "abcde");
    for (auto &unit : buffer)
        unit = L'x';
    EXPECT_EQ(RtlStringCchCatW(buffer, 6, L"y"), STATUS_INVALID_PARAMETER); // destination not terminated

    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 4, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(RtlStringCchLengthW(L"abc", 3, &length), STATUS_INVALID_PARAMETER); // no NUL within 3
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(RtlStringCbLengthW(L"abc", 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 3 * sizeof(wchar_t));
    EXPECT_EQ(RtlStringCbLengthA("abc", 3, &length), STATUS_INVALID_PARAMETER);

    char narrow[4];
    EXPECT_EQ(RtlStringCbCopyA(narrow, sizeof(narrow), "abcd"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "abc");
}

TEST_F(NtStrSafeTest, UnicodeStringRoutinesSetLengthToWhatFits)
{
    wchar_t storage[4] = {L'#', L'#', L'#', L'#'};
    UNICODE_STRING s = {0, sizeof(storage), storage};
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, L"%04lu", (ULONG)7), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "0007"); // fills the buffer exactly; a counted string needs no NUL
    EXPECT_EQ(RtlUnicodeStringPrintf(&s, L"%d", 123456), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(s.Length, sizeof(storage));
    EXPECT_EQ(Utf8(s), "1234");

    UNICODE_STRING source;
    ASSERT_EQ(RtlUnicodeStringInit(&source, L"xyz"), STATUS_SUCCESS);
    EXPECT_EQ(RtlUnicodeStringCopy(&s, &source), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "xyz");
    EXPECT_EQ(RtlUnicodeStringCat(&s, &source), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Utf8(s), "xyzx");
    EXPECT_EQ(RtlUnicodeStringCopyString(&s, L"ab"), STATUS_SUCCESS);
    EXPECT_EQ(RtlUnicodeStringCatString(&s, L"cde"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Utf8(s), "abcd");

    UNICODE_STRING odd = {3, 8, storage};
    EXPECT_EQ(RtlUnicodeStringCopy(&odd, &source), STATUS_INVALID_PARAMETER);
    UNICODE_STRING longer = {8, 6, storage};
    EXPECT_EQ(RtlUnicodeStringCatString(&longer, L"a"), STATUS_INVALID_PARAMETER);
    UNICODE_STRING noBuffer = {0, 8, nullptr};
    EXPECT_EQ(RtlUnicodeStringPrintf(&noBuffer, L"a"), STATUS_INVALID_PARAMETER);
}

TEST_F(NtStrSafeTest, UnicodeStringInitLimits)
{
    UNICODE_STRING s = {1, 1, (PWCH)L"junk"};
    EXPECT_EQ(RtlUnicodeStringInit(&s, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);

    std::vector<wchar_t> text(NTSTRSAFE_UNICODE_STRING_MAX_CCH + 1, L'a');
    text[NTSTRSAFE_UNICODE_STRING_MAX_CCH - 1] = 0; // 32766 characters: the longest allowed
    EXPECT_EQ(RtlUnicodeStringInit(&s, text.data()), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 65532);
    EXPECT_EQ(s.MaximumLength, 65534);
    text[NTSTRSAFE_UNICODE_STRING_MAX_CCH - 1] = L'a';
    text[NTSTRSAFE_UNICODE_STRING_MAX_CCH] = 0; // 32767 characters
    EXPECT_EQ(RtlUnicodeStringInit(&s, text.data()), STATUS_INVALID_PARAMETER);
}

} // namespace
