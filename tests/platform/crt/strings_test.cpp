/*
 * String, character and number routines of the C runtime layer: the _s copy
 * contract, case-insensitive comparison, and LLP64 integer parsing.
 */
#include "crt_test.h"

#include <climits>
#include <cstring>

namespace {

using StringsTest = CrtTest;

TEST_F(StringsTest, CopySecureReportsEveryFailureAndEmptiesTheDestination)
{
    char d[5];
    EXPECT_EQ(vcrt::strcpy_s(d, sizeof(d), "abcd"), 0);
    EXPECT_STREQ(d, "abcd");
    EXPECT_EQ(vcrt::strcpy_s(d, sizeof(d), "abcde"), ERANGE);
    EXPECT_STREQ(d, "");
    std::strcpy(d, "old");
    EXPECT_EQ(vcrt::strcpy_s(d, sizeof(d), nullptr), EINVAL);
    EXPECT_STREQ(d, "");
    EXPECT_EQ(vcrt::strcpy_s(d, 0, "a"), EINVAL);
    EXPECT_EQ(handlerCalls, 3);

    wchar_t w[3];
    EXPECT_EQ(vcrt::wcscpy_s(w, 3, L"ab"), 0);
    EXPECT_EQ(Utf8(w), "ab");
    EXPECT_EQ(vcrt::wcscpy_s(w, 3, L"abc"), ERANGE);
    EXPECT_EQ(w[0], L'\0');
    EXPECT_EQ(handlerCalls, 4);
}

TEST_F(StringsTest, CountedCopySecureTruncatesOnlyWhenAsked)
{
    char d[5];
    EXPECT_EQ(vcrt::strncpy_s(d, sizeof(d), "abcdefgh", VCRT_TRUNCATE), VCRT_STRUNCATE);
    EXPECT_STREQ(d, "abcd");
    EXPECT_EQ(vcrt::strncpy_s(d, sizeof(d), "abc", VCRT_TRUNCATE), 0);
    EXPECT_STREQ(d, "abc");
    EXPECT_EQ(vcrt::strncpy_s(d, sizeof(d), "abcdefgh", 4), 0); // four units and a terminator fit
    EXPECT_STREQ(d, "abcd");
    EXPECT_EQ(vcrt::strncpy_s(d, sizeof(d), "abcdefgh", 2), 0);
    EXPECT_STREQ(d, "ab");
    EXPECT_EQ(vcrt::strncpy_s(d, sizeof(d), "xyz", 0), 0);
    EXPECT_STREQ(d, "");
    EXPECT_EQ(vcrt::strncpy_s(nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(handlerCalls, 0);

    EXPECT_EQ(vcrt::strncpy_s(d, sizeof(d), "abcdefgh", 5), ERANGE);
    EXPECT_STREQ(d, "");
    EXPECT_EQ(handlerCalls, 1);

    wchar_t w[4];
    EXPECT_EQ(vcrt::wcsncpy_s(w, 4, L"\u00E4\u00F6\u00FC\u00DF", VCRT_TRUNCATE), VCRT_STRUNCATE);
    EXPECT_EQ(Utf8(w), "\xC3\xA4\xC3\xB6\xC3\xBC");
}

TEST_F(StringsTest, AppendSecureChecksTheExistingStringAndTheRoom)
{
    char d[8] = "abc";
    EXPECT_EQ(vcrt::strcat_s(d, sizeof(d), "defg"), 0);
    EXPECT_STREQ(d, "abcdefg");
    EXPECT_EQ(vcrt::strcat_s(d, sizeof(d), "h"), ERANGE);
    EXPECT_STREQ(d, "");
    std::memset(d, 'x', sizeof(d)); // not terminated within its size
    EXPECT_EQ(vcrt::strcat_s(d, sizeof(d), ""), EINVAL);
    EXPECT_EQ(d[0], '\0');
    EXPECT_EQ(handlerCalls, 2);

    wchar_t w[6] = L"ab";
    EXPECT_EQ(vcrt::wcscat_s(w, 6, L"cde"), 0);
    EXPECT_EQ(Utf8(w), "abcde");
}

TEST_F(StringsTest, PlainRoutinesEdgeCases)
{
    EXPECT_GT(vcrt::strcmp("ab\xE4", "abc"), 0); // bytes compare unsigned
    EXPECT_GT(vcrt::wcscmp(L"\u00E4", L"z"), 0);
    char d[8];
    std::memset(d, 'x', sizeof(d));
    vcrt::strncpy(d, "ab", 5);
    EXPECT_EQ(std::memcmp(d, "ab\0\0\0x", 6), 0); // padded with NULs up to n
    EXPECT_EQ(vcrt::strchr(d, 0), d + 2);            // the terminator can be found
    const wchar_t *text = L"a\u00E4b\u00E4";
    EXPECT_EQ(vcrt::wcsrchr(text, L'\u00E4'), text + 3);
    EXPECT_EQ(vcrt::wcsstr(text, L""), text);
    wchar_t w[8] = L"ab";
    vcrt::wcsncat(w, L"cdef", 2);
    EXPECT_EQ(Utf8(w), "abcd");
}

TEST_F(StringsTest, CaseInsensitiveComparison)
{
    // Microsoft orders by lowercase: '_' (0x5F) sorts before 'a' (0x61), not after 'A'.
    EXPECT_LT(vcrt::_stricmp("_", "A"), 0);
    EXPECT_EQ(vcrt::_stricmp("HeLLo", "hEllO"), 0);
    EXPECT_EQ(vcrt::_strnicmp("ABCx", "abcy", 3), 0);
    EXPECT_NE(vcrt::_stricmp("\xC3\x84", "\xC3\xA4"), 0); // narrow is the "C" locale: ASCII only
    EXPECT_LT(vcrt::_wcsicmp(L"_", L"A"), 0);

    EXPECT_EQ(vcrt::_wcsicmp(L"\u00C4rger", L"\u00E4RGER"), 0);                     // German
    EXPECT_EQ(vcrt::_wcsicmp(L"\u03A3\u0399\u03A3\u03A5\u03A6\u039F\u03A3",        // ΣΙΣΥΦΟΣ
                             L"\u03C3\u03B9\u03C3\u03C5\u03C6\u03BF\u03C2"), 0);   // σισυφος
    EXPECT_EQ(vcrt::_wcsicmp(L"\u0416\u0443\u043A", L"\u0436\u0423\u041A"), 0);      // Жук
    EXPECT_NE(vcrt::_wcsicmp(L"stra\u00DFe", L"STRASSE"), 0); // no full case folding
    EXPECT_EQ(vcrt::_wcsnicmp(L"\u00E9cole", L"\u00C9COLIER", 4), 0);
    EXPECT_EQ(handlerCalls, 0);

    EXPECT_EQ(vcrt::_stricmp(nullptr, "a"), INT_MAX);
    EXPECT_EQ(vcrt::_wcsicmp(L"a", nullptr), INT_MAX);
    EXPECT_EQ(handlerCalls, 2);
    EXPECT_EQ(Errno(), EINVAL);
}

TEST_F(StringsTest, CharacterClassesAndCaseMappings)
{
    EXPECT_TRUE(vcrt::isspace('\v') && vcrt::isdigit('7') && vcrt::isxdigit('F') && vcrt::isalnum('z'));
    EXPECT_FALSE(vcrt::isalpha(0xE4) || vcrt::isspace(-1) || vcrt::isprint(0x7F) || vcrt::isupper('a'));
    EXPECT_EQ(vcrt::toupper('q'), 'Q');
    EXPECT_EQ(vcrt::toupper(0xE4), 0xE4);
    EXPECT_EQ(vcrt::tolower('Q'), 'q');

    EXPECT_EQ(vcrt::towupper(0x00E4), 0x00C4);
    EXPECT_EQ(vcrt::towupper(0x00FF), 0x0178);  // ÿ → Ÿ, outside Latin-1
    EXPECT_EQ(vcrt::towupper(0x00DF), 0x00DF);  // ß has no single-character uppercase
    EXPECT_EQ(vcrt::towupper(0x0131), 0x0049);  // the table maps dotless i to I
    EXPECT_EQ(vcrt::towlower(0x03A3), 0x03C3);  // Σ → σ, not final ς
    EXPECT_EQ(vcrt::towlower(0x0049), 0x0069);  // I → i in every locale
    EXPECT_EQ(vcrt::towupper(0xD83D), 0xD83D);  // surrogates are left alone
    EXPECT_EQ(vcrt::towupper(0xFFFF), 0xFFFF);  // WEOF
    EXPECT_TRUE(vcrt::iswspace(0x3000) && vcrt::iswspace(L'\t') && vcrt::iswdigit(L'5'));
    EXPECT_FALSE(vcrt::iswspace(L'x') || vcrt::iswdigit(0x0661));
}

TEST_F(StringsTest, LongParsingIsThirtyTwoBitsAndClamps)
{
    char *end = nullptr;
    EXPECT_EQ(vcrt::strtol("2147483647", nullptr, 10), 2147483647L);
    EXPECT_EQ(Errno(), 0);
    EXPECT_EQ(vcrt::strtol("2147483648", &end, 10), 2147483647L);
    EXPECT_EQ(Errno(), ERANGE);
    EXPECT_EQ(*end, '\0'); // all digits are consumed even past the overflow
    Errno() = 0;
    EXPECT_EQ(vcrt::strtol("-2147483648", nullptr, 10), -2147483647L - 1);
    EXPECT_EQ(Errno(), 0);
    EXPECT_EQ(vcrt::strtol("-2147483649", nullptr, 10), -2147483647L - 1);
    EXPECT_EQ(Errno(), ERANGE);
    Errno() = 0;
    EXPECT_EQ(vcrt::strtoul("4294967295", nullptr, 10), 4294967295UL);
    EXPECT_EQ(vcrt::strtoul("-1", nullptr, 10), 4294967295UL); // negated in 32 bits, not an overflow
    EXPECT_EQ(Errno(), 0);
    EXPECT_EQ(vcrt::strtoul("4294967296", nullptr, 10), 4294967295UL);
    EXPECT_EQ(Errno(), ERANGE);

    Errno() = 0;
    EXPECT_EQ(vcrt::_strtoui64("18446744073709551615", nullptr, 10), 18446744073709551615ULL);
    EXPECT_EQ(vcrt::strtoull("18446744073709551616", nullptr, 10), 18446744073709551615ULL);
    EXPECT_EQ(Errno(), ERANGE);
    Errno() = 0;
    EXPECT_EQ(vcrt::strtoll("-9223372036854775808", nullptr, 10), INT64_MIN);
    EXPECT_EQ(vcrt::_strtoi64("9223372036854775808", nullptr, 10), INT64_MAX);
    EXPECT_EQ(Errno(), ERANGE);
}

TEST_F(StringsTest, ParsingPrefixesBasesAndEndPointers)
{
    char *end = nullptr;
    const char *text = "  -0x1Az";
    EXPECT_EQ(vcrt::strtol(text, &end, 0), -26);
    EXPECT_EQ(end, text + 7);
    EXPECT_EQ(vcrt::strtol("017", nullptr, 0), 15);
    EXPECT_EQ(vcrt::strtol("0x1f", nullptr, 16), 31);
    const char *bare = "0xg";
    EXPECT_EQ(vcrt::strtol(bare, &end, 16), 0);
    EXPECT_EQ(end, bare + 1); // the 0 is a number; the x without digits is not part of it
    const char *none = "  +z";
    EXPECT_EQ(vcrt::strtoul(none, &end, 10), 0u);
    EXPECT_EQ(end, none);
    EXPECT_EQ(vcrt::strtol("zz", nullptr, 36), 35 * 36 + 35);
    EXPECT_EQ(handlerCalls, 0);

    EXPECT_EQ(vcrt::strtol("12", &end, 1), 0);
    EXPECT_EQ(vcrt::strtol(nullptr, nullptr, 10), 0);
    EXPECT_EQ(handlerCalls, 2);
    EXPECT_EQ(Errno(), EINVAL);

    wchar_t *wideEnd = nullptr;
    const wchar_t *wide = L"\u3000 0x7fffffff!";
    EXPECT_EQ(vcrt::wcstol(wide, &wideEnd, 16), 0x7FFFFFFF);
    EXPECT_EQ(*wideEnd, L'!');
    EXPECT_EQ(vcrt::wcstoul(L"-2", nullptr, 10), 4294967294UL);
    EXPECT_EQ(vcrt::_wcstoui64(L"ffffffffffffffff", nullptr, 16), UINT64_MAX);

    Errno() = 0;
    EXPECT_EQ(vcrt::atoi("  -2309 "), -2309);
    EXPECT_EQ(vcrt::atoi("3336402735171707160320"), INT_MAX);
    EXPECT_EQ(Errno(), ERANGE);
    EXPECT_EQ(vcrt::_wtoi(L"-99999999999"), INT_MIN);
    EXPECT_EQ(vcrt::_wtoi(L"42abc"), 42);
}

} // namespace
