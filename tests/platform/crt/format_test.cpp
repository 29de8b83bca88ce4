/*
 * The formatting engine's conversions, through sprintf_s (narrow, UTF-8) and
 * swprintf_s (UTF-16): Microsoft's size prefixes, the narrow/wide string rules,
 * counted strings, %p, and refused conversions.
 */
#include "crt_test.h"

#include <cstdarg>
#include <cstring>

namespace {

class FormatTest : public CrtTest {
protected:
    static std::string Narrow(const char *format, ...)
    {
        char buffer[512];
        va_list args;
        va_start(args, format);
        int length = vcrt::vsprintf_s(buffer, sizeof(buffer), format, args);
        va_end(args);
        EXPECT_EQ(length, (int)std::strlen(buffer));
        return buffer;
    }
    static std::string Wide(const wchar_t *format, ...)
    {
        wchar_t buffer[512];
        va_list args;
        va_start(args, format);
        int length = vcrt::vswprintf_s(buffer, 512, format, args);
        va_end(args);
        EXPECT_EQ(length, (int)Units(buffer).size());
        return Utf8(buffer);
    }
};

TEST_F(FormatTest, LongIsThirtyTwoBitsAndSixtyFourBitPrefixesTakeWholeWords)
{
    // Nine arguments: the later ones travel on the stack in 8-byte slots, so a 64-bit
    // read of a 32-bit argument would pick up garbage and shift everything after it.
    EXPECT_EQ(Narrow("%lu %lu %lu %lu %lu %ld %lx %d %s", (ULONG)1, (ULONG)2, (ULONG)3, (ULONG)4, (ULONG)0xFFFFFFFF,
                     (LONG)-1, (ULONG)0xDEADBEEF, 42, "end"),
              "1 2 3 4 4294967295 -1 deadbeef 42 end");
    EXPECT_EQ(Narrow("%I64x|%llu|%I64d|%lld", 0x123456789ABCDEF0ULL, 18446744073709551615ULL, (LONGLONG)-5,
                     (long long)INT64_MIN),
              "123456789abcdef0|18446744073709551615|-5|-9223372036854775808");
    EXPECT_EQ(Narrow("%Iu|%zu|%Ix|%I32d|%I32u", (SIZE_T)-1, (size_t)7, (ULONG_PTR)0x1000000000, -3, 0xFFFFFFFFu),
              "18446744073709551615|7|1000000000|-3|4294967295");
    EXPECT_EQ(Narrow("%hd|%hu|%hhx|%hhd", 0x12345, 0x1FFFF, 0x1FF, 200), "9029|65535|ff|-56");
    EXPECT_EQ(Wide(L"%lu %I64u %lx", (ULONG)4000000000u, 1ULL << 40, (ULONG)0xABCDEF), "4000000000 1099511627776 abcdef");
}

TEST_F(FormatTest, FlagsWidthAndPrecisionOnIntegers)
{
    EXPECT_EQ(Narrow("[%5d][%-5d][%05d][%+d][% d][%+ d]", 42, 42, -42, 42, 42, 42),
              "[   42][42   ][-0042][+42][ 42][+42]");
    EXPECT_EQ(Narrow("[%.3d][%08.3d][%.0d][%.0x][%#x][%#X][%#x][%#o][%#o]", 7, 7, 0, 0, 255, 255, 0, 8, 0),
              "[007][     007][][][0xff][0XFF][0][010][0]");
    EXPECT_EQ(Narrow("[%*d][%-*d][%.*d][%*d]", 4, 1, 4, 2, 3, 3, -4, 5), "[   1][2   ][003][5   ]");
    EXPECT_EQ(Narrow("[%.*d]", -1, 9), "[9]"); // a negative precision counts as none
    EXPECT_EQ(Narrow("100%%"), "100%");
}

TEST_F(FormatTest, StringsAreNaturalWidthWithSAndTheOtherWidthWithCapitalS)
{
    const wchar_t wide[] = L"gr\u00FC\u00DFe \U0001F600"; // non-ASCII and a surrogate pair
    const char narrow[] = "gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x98\x80";
    EXPECT_EQ(Narrow("%s|%S|%ls|%ws|%hs", "abc", wide, wide, wide, "def"), std::string("abc|") + narrow + "|" + narrow +
                                                                             "|" + narrow + "|def");
    EXPECT_EQ(Wide(L"%s|%S|%hs|%ls|%ws", wide, narrow, narrow, wide, wide),
              std::string(narrow) + "|" + narrow + "|" + narrow + "|" + narrow + "|" + narrow);

    wchar_t units[32];
    ASSERT_EQ(vcrt::swprintf_s(units, 32, L"%S", "\xF0\x9F\x98\x80"), 2); // one code point, two units
    EXPECT_EQ(Units(units), (std::vector<uint16_t>{0xD83D, 0xDE00}));
    EXPECT_EQ(Narrow("[%s][%S]", (const char *)nullptr, (const wchar_t *)nullptr), "[(null)][(null)]");
    EXPECT_EQ(Wide(L"[%s][%hs]", (const wchar_t *)nullptr, (const char *)nullptr), "[(null)][(null)]");
}

TEST_F(FormatTest, StringPrecisionAndWidthCountOutputUnitsAndNeverSplitACharacter)
{
    EXPECT_EQ(Wide(L"[%.3ls][%6.2s][%-6ls]", L"abcdef", L"xyz", L"ab"), "[abc][    xy][ab    ]");
    EXPECT_EQ(Narrow("[%.3s]", "abcdef"), "[abc]");
    // "ä" is two bytes: a precision of 3 keeps "aä", 2 keeps only "a".
    EXPECT_EQ(Narrow("[%.3ls][%.2ls]", L"a\u00E4b", L"a\u00E4b"), "[a\xC3\xA4][a]");
    // A surrogate pair is two UTF-16 units: a budget of one unit cannot hold it.
    EXPECT_EQ(Wide(L"[%.1S][%.2S]", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"), "[][\xF0\x9F\x98\x80]");
    // The precision bounds what is read: the array below has no terminator.
    const char unterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(Narrow("[%.3s]", unterminated), "[xyz]");
}

TEST_F(FormatTest, MalformedTextBecomesReplacementCharacters)
{
    const wchar_t lone[] = {L'a', (wchar_t)0xD800, L'b', (wchar_t)0xDC00, 0};
    EXPECT_EQ(Narrow("%ls", lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    EXPECT_EQ(Wide(L"%hs", "a\xFF" "b\xC3"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

TEST_F(FormatTest, Characters)
{
    EXPECT_EQ(Narrow("[%c][%C][%lc][%wc][%hc][%3c][%-3c]", 'a', (wint_t)0x00E9, (wint_t)0x20AC, (wint_t)'w', 'h', 'r', 'l'),
              "[a][\xC3\xA9][\xE2\x82\xAC][w][h][  r][l  ]");
    EXPECT_EQ(Wide(L"[%c][%C][%hc][%lc]", (wint_t)0x00E9, 'n', 'h', (wint_t)0x20AC), "[\xC3\xA9][n][h][\xE2\x82\xAC]");
    EXPECT_EQ(Narrow("[%C]", (wint_t)0xDC00), "[\xEF\xBF\xBD]");
}

TEST_F(FormatTest, CountedStringsUseLengthNotATerminator)
{
    wchar_t wideText[] = {L'a', L'b', L'c', L'd', L'e', L'f'}; // no terminator anywhere
    UNICODE_STRING unicode = {3 * sizeof(WCHAR), sizeof(wideText), wideText};
    char narrowText[] = {'x', 'y', 'z', '!'};
    STRING ansi = {2, sizeof(narrowText), narrowText};
    EXPECT_EQ(Narrow("[%wZ][%Z][%hZ][%lZ]", &unicode, &ansi, &ansi, &unicode), "[abc][xy][xy][abc]");
    EXPECT_EQ(Wide(L"[%wZ][%hZ][%.2wZ][%5wZ]", &unicode, &ansi, &unicode, &unicode), "[abc][xy][ab][  abc]");

    UNICODE_STRING noBuffer = {4, 4, nullptr};
    EXPECT_EQ(Narrow("[%wZ][%wZ]", (PUNICODE_STRING) nullptr, &noBuffer), "[(null)][(null)]");

    wchar_t withNul[] = {L'a', 0, L'b'};
    UNICODE_STRING embedded = {sizeof(withNul), sizeof(withNul), withNul};
    char out[8];
    ASSERT_EQ(vcrt::sprintf_s(out, sizeof(out), "%wZ", &embedded), 3);
    EXPECT_EQ(std::memcmp(out, "a\0b", 4), 0);
}

TEST_F(FormatTest, PointersPrintSixteenUpperCaseDigits)
{
    EXPECT_EQ(Narrow("%p", (void *)0x1234ABCDULL), "000000001234ABCD");
    EXPECT_EQ(Narrow("[%p][%20p]", (void *)nullptr, (void *)0xFFFFFFFFFFFFFFFFULL),
              "[0000000000000000][    FFFFFFFFFFFFFFFF]");
    EXPECT_EQ(Wide(L"%p", (void *)0xABCDEF0123456789ULL), "ABCDEF0123456789");
}

TEST_F(FormatTest, FloatingPoint)
{
    EXPECT_EQ(Narrow("%.2f|%e|%g|%G|%08.3f|%-8.1f|", 3.14159, 12345.678, 0.0001, 1e-10, -3.14159, 2.5),
              "3.14|1.234568e+04|0.0001|1E-10|-003.142|2.5     |");
    EXPECT_EQ(Narrow("%a|%.1a|%A", 1.0, 1.5, 0.5), "0x1.0000000000000p+0|0x1.8p+0|0X1.0000000000000P-1");
    EXPECT_EQ(Wide(L"%.3f %5.1Lf", 2.0 / 3.0, (long double)1.25), "0.667   1.2");
}

TEST_F(FormatTest, RefusedConversionsReportAnInvalidParameter)
{
    char buffer[32] = "sentinel";
    int count = 0;
    EXPECT_EQ(vcrt::sprintf_s(buffer, sizeof(buffer), "abc%n", &count), -1);
    EXPECT_EQ(handlerCalls, 1);
    EXPECT_EQ(Errno(), EINVAL);
    EXPECT_EQ(count, 0);
    EXPECT_STREQ(buffer, "");

    EXPECT_EQ(vcrt::_scprintf("%y", 1), -1);
    EXPECT_EQ(vcrt::_scprintf("trailing %"), -1);
    wchar_t wide[8];
    EXPECT_EQ(vcrt::_snwprintf(wide, 8, L"%ln", &count), -1);
    EXPECT_EQ(handlerCalls, 4);
    EXPECT_EQ(lastFunction, "_snwprintf");
}

} // namespace
