/*
 * Comparison of counted strings and the system upcase table behind the
 * case-insensitive forms.
 */
#include "../crt/utf16_text.h"

#include <ntstatus.h>
#include <km/rtl.h>

#include <gtest/gtest.h>

namespace {

UNICODE_STRING Counted(const wchar_t *text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

LONG Compare(const wchar_t *a, const wchar_t *b, BOOLEAN caseInsensitive)
{
    UNICODE_STRING x = Counted(a);
    UNICODE_STRING y = Counted(b);
    return RtlCompareUnicodeString(&x, &y, caseInsensitive);
}

bool Equal(const wchar_t *a, const wchar_t *b, BOOLEAN caseInsensitive)
{
    UNICODE_STRING x = Counted(a);
    UNICODE_STRING y = Counted(b);
    return RtlEqualUnicodeString(&x, &y, caseInsensitive) != FALSE;
}

bool Prefix(const wchar_t *prefix, const wchar_t *text, BOOLEAN caseInsensitive)
{
    UNICODE_STRING x = Counted(prefix);
    UNICODE_STRING y = Counted(text);
    return RtlPrefixUnicodeString(&x, &y, caseInsensitive) != FALSE;
}

TEST(RtlCompare, CommonPrefixFirstThenLength)
{
    EXPECT_EQ(Compare(L"abc", L"abc", FALSE), 0);
    EXPECT_LT(Compare(L"abc", L"abcd", FALSE), 0);
    EXPECT_GT(Compare(L"abd", L"abcd", FALSE), 0); // a differing unit outranks the length
    EXPECT_LT(Compare(L"", L"a", FALSE), 0);
    EXPECT_LT(Compare(L"ABC", L"abc", FALSE), 0);
    EXPECT_EQ(Compare(L"ABC", L"abc", TRUE), 0);
    // Both sides are upcased: '_' (0x5F) sorts after 'A' (0x41) even against a lowercase 'a'.
    EXPECT_GT(Compare(L"_", L"a", TRUE), 0);
    EXPECT_LT(Compare(L"a", L"B", TRUE), 0);

    // The lengths of the counted strings decide, whatever follows them in memory.
    const wchar_t text[] = L"abcdef";
    EXPECT_EQ(RtlCompareUnicodeStrings(text, 3, L"abcxyz", 3, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeStrings(text, 4, L"abc", 3, FALSE), 0);
    UNICODE_STRING odd = {7, 8, (PWCH)text}; // an odd byte count covers three whole characters
    UNICODE_STRING three = Counted(L"abc");
    EXPECT_EQ(RtlCompareUnicodeString(&odd, &three, FALSE), 0);
}

TEST(RtlCompare, EqualAndPrefix)
{
    EXPECT_TRUE(Equal(L"\\Device\\Vorel", L"\\DEVICE\\vorel", TRUE));
    EXPECT_FALSE(Equal(L"\\Device\\Vorel", L"\\DEVICE\\vorel", FALSE));
    EXPECT_FALSE(Equal(L"abc", L"abcd", TRUE));

    EXPECT_TRUE(Prefix(L"\\??\\", L"\\??\\C:\\", FALSE));
    EXPECT_TRUE(Prefix(L"\\GLOBAL??", L"\\global??\\R:", TRUE));
    EXPECT_FALSE(Prefix(L"\\GLOBAL??", L"\\global??\\R:", FALSE));
    EXPECT_FALSE(Prefix(L"abcd", L"abc", TRUE)); // longer than the string
    EXPECT_TRUE(Prefix(L"", L"abc", FALSE));
}

TEST(RtlCompare, NonAsciiCaseFollowsTheSystemTable)
{
    EXPECT_TRUE(Equal(L"\u00E4", L"\u00C4", TRUE));                 // ä Ä
    EXPECT_TRUE(Equal(L"\u03C3\u03C2", L"\u03A3\u03A3", TRUE));     // σ ς both upcase to Σ
    EXPECT_TRUE(Equal(L"\u0436\u0451", L"\u0416\u0401", TRUE));     // жё ЖЁ
    EXPECT_TRUE(Equal(L"\u00FF", L"\u0178", TRUE));                 // ÿ Ÿ
    EXPECT_FALSE(Equal(L"\u00DF", L"SS", TRUE));                    // ß stays ß
    EXPECT_FALSE(Equal(L"\u00DF", L"\u1E9E", TRUE));                // capital sharp s is its own character
    // The table's simple mappings: dotless i and long s upcase to ASCII letters...
    EXPECT_TRUE(Equal(L"\u0131", L"I", TRUE));
    EXPECT_TRUE(Equal(L"\u017F", L"s", TRUE));
    // ...while the Kelvin sign and the dotted capital I are already upper case.
    EXPECT_FALSE(Equal(L"\u212A", L"k", TRUE));
    EXPECT_FALSE(Equal(L"\u0130", L"i", TRUE));
    EXPECT_FALSE(Equal(L"\u00E4", L"\u00C4", FALSE));
}

TEST(RtlCase, SingleCharacters)
{
    for (WCHAR c = 0; c < 0x80; ++c) {
        WCHAR upper = (c >= L'a' && c <= L'z') ? (WCHAR)(c - 32) : c;
        WCHAR lower = (c >= L'A' && c <= L'Z') ? (WCHAR)(c + 32) : c;
        ASSERT_EQ(RtlUpcaseUnicodeChar(c), upper) << (int)c;
        ASSERT_EQ(RtlDowncaseUnicodeChar(c), lower) << (int)c;
    }
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x00B5), 0x039C);   // micro sign → Greek capital mu
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x01C6), 0x01C4);   // dž → DŽ
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x1F80), 0x1F80);   // ᾀ: its uppercase is two characters
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xFF41), 0xFF21);   // fullwidth a
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xD801), 0xD801);   // a surrogate
    EXPECT_EQ(RtlDowncaseUnicodeChar(0x03A3), 0x03C3); // Σ → σ
    EXPECT_EQ(RtlDowncaseUnicodeChar(0x0178), 0x00FF); // Ÿ → ÿ
    EXPECT_EQ(RtlDowncaseUnicodeChar(0x212A), L'k');   // Kelvin sign → k
    EXPECT_EQ(RtlDowncaseUnicodeChar(0x00DF), 0x00DF);

    // Upcasing is idempotent over the whole plane, and downcasing the upper case of a
    // lower-case letter gives a letter with that same upper case.
    for (uint32_t c = 0; c <= 0xFFFF; ++c) {
        WCHAR upper = RtlUpcaseUnicodeChar((WCHAR)c);
        ASSERT_EQ(RtlUpcaseUnicodeChar(upper), upper) << std::hex << c;
        if (upper != c) {
            ASSERT_EQ(RtlUpcaseUnicodeChar(RtlDowncaseUnicodeChar(upper)), upper) << std::hex << c;
        }
    }
}

TEST(RtlCompare, CompareMemoryCountsTheMatchingPrefix)
{
    const char a[] = "abcdef";
    const char b[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
    EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

} // namespace
