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
    // Pairs published after the table was fixed stay apart: Georgian Mkhedruli and
    // Mtavruli, ɐ and Ɐ. Names stored with them must keep colliding exactly as before.
    EXPECT_FALSE(Equal(L"\u10D0", L"\u1C90", TRUE));
    EXPECT_FALSE(Equal(L"\u0250", L"\u2C6F", TRUE));
}

/* FNV-1a 64 over a whole table as 65,536 little-endian 16-bit entries. */
uint64_t TableHash(WCHAR (*map)(WCHAR))
{
    uint64_t hash = 0xCBF29CE484222325ull;
    for (uint32_t c = 0; c <= 0xFFFF; ++c) {
        uint16_t mapped = (uint16_t)map((WCHAR)c);
        for (uint8_t byte : {(uint8_t)(mapped & 0xFF), (uint8_t)(mapped >> 8)}) {
            hash ^= byte;
            hash *= 0x100000001B3ull;
        }
    }
    return hash;
}

WCHAR Upcase(WCHAR c)
{
    return RtlUpcaseUnicodeChar(c);
}

WCHAR Downcase(WCHAR c)
{
    return RtlDowncaseUnicodeChar(c);
}

TEST(RtlCase, TablesArePinned)
{
    // Stored names are compared through these tables: a change to any single entry
    // would split or merge names already held in images.
    EXPECT_EQ(TableHash(Upcase), 0xF88302293ED87BC1ull);
    EXPECT_EQ(TableHash(Downcase), 0xB20ED71F1192746Cull);
}

TEST(RtlCase, SingleCharacters)
{
    for (WCHAR c = 0; c < 0x80; ++c) {
        WCHAR upper = (c >= L'a' && c <= L'z') ? (WCHAR)(c - 32) : c;
        WCHAR lower = (c >= L'A' && c <= L'Z') ? (WCHAR)(c + 32) : c;
        ASSERT_EQ(RtlUpcaseUnicodeChar(c), upper) << (int)c;
        ASSERT_EQ(RtlDowncaseUnicodeChar(c), lower) << (int)c;
    }
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x00E9), 0x00C9);   // é → É
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x00F7), 0x00F7);   // the division sign is no letter
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x00B5), 0x039C);   // micro sign → Greek capital mu
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x03C2), 0x03A3);   // final sigma → Σ
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x01C6), 0x01C4);   // dž → DŽ
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x01C5), 0x01C4);   // the titlecase digraph too
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x1F80), 0x1F88);   // ᾀ: the simple mapping, not the two-unit one
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x0149), 0x0149);   // ŉ has no simple uppercase
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x00DF), 0x00DF);   // nor has ß
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x0345), 0x0399);   // combining ypogegrammeni → Ι
    EXPECT_EQ(RtlUpcaseUnicodeChar(0x24D0), 0x24B6);   // circled a
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xFF41), 0xFF21);   // fullwidth a
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xD801), 0xD801);   // a surrogate, on its own
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xDC28), 0xDC28);   // the low half of 𐐨 stays too
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xE000), 0xE000);   // private use
    EXPECT_EQ(RtlDowncaseUnicodeChar(0x03A3), 0x03C3); // Σ → σ
    EXPECT_EQ(RtlDowncaseUnicodeChar(0x0178), 0x00FF); // Ÿ → ÿ
    EXPECT_EQ(RtlDowncaseUnicodeChar(0x212A), L'k');   // Kelvin sign → k
    EXPECT_EQ(RtlDowncaseUnicodeChar(0x0130), L'i');   // İ → i
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

/*
 * Model: case-insensitive equality and ordering are exactly those of the upcased
 * strings compared case-sensitively, for random strings over units that upcase
 * in every way the table knows (ASCII, Latin-1, Greek sigmas, digraphs,
 * surrogates, units with no upper case).
 */
TEST(RtlCase, CaseInsensitiveCompareIsCompareOfUpcasedStrings)
{
    const WCHAR alphabet[] = {L'a', L'A', L'_', 0x00E4, 0x00C4, 0x00DF, 0x00FF, 0x0178, 0x03C2, 0x03C3, 0x03A3,
                              0x01C4, 0x01C5, 0x01C6, 0x0131, L'I', 0x0130, 0x212A, L'k', 0xD801, 0xDC28, 0x1F80};
    constexpr size_t kUnits = sizeof(alphabet) / sizeof(alphabet[0]);
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    auto next = [&seed](uint32_t bound) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return (uint32_t)(seed % bound);
    };
    auto fill = [&](WCHAR *text) {
        USHORT units = (USHORT)next(4);
        for (USHORT i = 0; i < units; ++i)
            text[i] = alphabet[next(kUnits)];
        return UNICODE_STRING{(USHORT)(units * 2), (USHORT)(units * 2), text};
    };
    auto sign = [](LONG v) { return (v > 0) - (v < 0); };
    for (int round = 0; round < 20000; ++round) {
        WCHAR a[4], b[4], ua[4], ub[4];
        UNICODE_STRING x = fill(a);
        UNICODE_STRING y = fill(b);
        UNICODE_STRING ux = {0, sizeof(ua), ua};
        UNICODE_STRING uy = {0, sizeof(ub), ub};
        ASSERT_EQ(RtlUpcaseUnicodeString(&ux, &x, FALSE), STATUS_SUCCESS);
        ASSERT_EQ(RtlUpcaseUnicodeString(&uy, &y, FALSE), STATUS_SUCCESS);
        ASSERT_EQ(RtlEqualUnicodeString(&x, &y, TRUE), RtlEqualUnicodeString(&ux, &uy, FALSE)) << round;
        ASSERT_EQ(sign(RtlCompareUnicodeString(&x, &y, TRUE)), sign(RtlCompareUnicodeString(&ux, &uy, FALSE)))
            << round;
        // Upcasing an upcased string changes nothing.
        WCHAR again[4];
        UNICODE_STRING twice = {0, sizeof(again), again};
        ASSERT_EQ(RtlUpcaseUnicodeString(&twice, &ux, FALSE), STATUS_SUCCESS);
        ASSERT_TRUE(RtlEqualUnicodeString(&twice, &ux, FALSE)) << round;
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
