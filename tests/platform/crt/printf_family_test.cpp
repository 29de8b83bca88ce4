/*
 * Return values, truncation and terminator placement of every buffer-writing
 * printf routine, and the invalid-parameter contract (custom and default handler).
 */
#include "crt_test.h"

#include <cstring>

namespace {

class PrintfFamilyTest : public CrtTest {
protected:
    // A buffer pre-filled with '#', so that every unit written (or not) shows.
    template <size_t N>
    static void Fill(char (&buffer)[N])
    {
        std::memset(buffer, '#', N);
    }
    template <size_t N>
    static void Fill(wchar_t (&buffer)[N])
    {
        for (auto &unit : buffer)
            unit = L'#';
    }
};

TEST_F(PrintfFamilyTest, SnprintfAlwaysTerminatesAndReturnsTheFullLength)
{
    char buffer[8];
    Fill(buffer);
    EXPECT_EQ(vcrt::snprintf(buffer, 5, "%s", "abcdefgh"), 8);
    EXPECT_EQ(std::memcmp(buffer, "abcd\0###", 8), 0);
    Fill(buffer);
    EXPECT_EQ(vcrt::snprintf(buffer, 5, "abcde"), 5);
    EXPECT_EQ(std::memcmp(buffer, "abcd\0###", 8), 0);
    Fill(buffer);
    EXPECT_EQ(vcrt::snprintf(buffer, 5, "ab"), 2);
    EXPECT_EQ(std::memcmp(buffer, "ab\0#####", 8), 0);
    EXPECT_EQ(vcrt::snprintf(nullptr, 0, "%d", 12345), 5);
    EXPECT_EQ(vcrt::snprintf(buffer, 0, "%d", 12345), 5);
    EXPECT_EQ(handlerCalls, 0);
}

TEST_F(PrintfFamilyTest, LegacySnprintfTerminatesOnlyWithRoomAndReportsOverflow)
{
    char buffer[8];
    Fill(buffer);
    EXPECT_EQ(vcrt::_snprintf(buffer, 5, "abcdefgh"), -1);
    EXPECT_EQ(std::memcmp(buffer, "abcde###", 8), 0);
    Fill(buffer);
    EXPECT_EQ(vcrt::_snprintf(buffer, 5, "abcde"), 5); // fits exactly: no terminator
    EXPECT_EQ(std::memcmp(buffer, "abcde###", 8), 0);
    Fill(buffer);
    EXPECT_EQ(vcrt::_snprintf(buffer, 5, "abcd"), 4);
    EXPECT_EQ(std::memcmp(buffer, "abcd\0###", 8), 0);
    EXPECT_EQ(vcrt::_snprintf(nullptr, 0, "%s", "xyz"), 3);

    wchar_t wide[8];
    Fill(wide);
    EXPECT_EQ(vcrt::_snwprintf(wide, 3, L"%ls", L"abcd"), -1);
    EXPECT_EQ(Utf8(wide, 8), "abc#####");
    Fill(wide);
    EXPECT_EQ(vcrt::_snwprintf(wide, 3, L"abc"), 3);
    EXPECT_EQ(Utf8(wide, 8), "abc#####");
    Fill(wide);
    EXPECT_EQ(vcrt::_snwprintf(wide, 3, L"%d", 7), 1);
    EXPECT_EQ(Utf8(wide, 3), std::string("7\0#", 3));
    EXPECT_EQ(handlerCalls, 0);
}

TEST_F(PrintfFamilyTest, SprintfSEmptiesTheBufferWhenTooSmall)
{
    char buffer[8];
    Fill(buffer);
    EXPECT_EQ(vcrt::sprintf_s(buffer, 5, "abcd"), 4);
    EXPECT_EQ(std::memcmp(buffer, "abcd\0###", 8), 0);
    EXPECT_EQ(handlerCalls, 0);

    Fill(buffer);
    EXPECT_EQ(vcrt::sprintf_s(buffer, 5, "abcde"), -1);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[5], '#'); // nothing past the stated size
    EXPECT_EQ(handlerCalls, 1);
    EXPECT_EQ(Errno(), ERANGE);
    EXPECT_EQ(lastFunction, "sprintf_s");

    wchar_t wide[4];
    Fill(wide);
    EXPECT_EQ(vcrt::swprintf_s(wide, 4, L"%ls", L"\U0001F600\u00E4x"), -1); // four units and a terminator
    EXPECT_EQ(wide[0], L'\0');
    EXPECT_EQ(handlerCalls, 2);
    EXPECT_EQ(Errno(), ERANGE);
    EXPECT_EQ(vcrt::swprintf_s(wide, 4, L"%ls", L"\U0001F600\u00E4"), 3);
    EXPECT_EQ(Utf8(wide), "\xF0\x9F\x98\x80\xC3\xA4");
}

TEST_F(PrintfFamilyTest, SnprintfSWithACountCutsSilentlyAndWithoutRoomFails)
{
    // The cases of Microsoft's own example: a 10-byte buffer and "<<<%d>>>".
    char buffer[10];
    Fill(buffer);
    EXPECT_EQ(vcrt::_snprintf_s(buffer, sizeof(buffer), 8, "<<<%d>>>", 121), -1);
    EXPECT_STREQ(buffer, "<<<121>>");
    EXPECT_EQ(vcrt::_snprintf_s(buffer, sizeof(buffer), 9, "<<<%d>>>", 121), 9);
    EXPECT_STREQ(buffer, "<<<121>>>");
    EXPECT_EQ(vcrt::_snprintf_s(buffer, sizeof(buffer), 10, "<<<%d>>>", 121), 9);
    EXPECT_STREQ(buffer, "<<<121>>>");
    EXPECT_EQ(handlerCalls, 0);

    EXPECT_EQ(vcrt::_snprintf_s(buffer, sizeof(buffer), 10, "<<<%d>>>", 1221), -1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(handlerCalls, 1);
    EXPECT_EQ(Errno(), ERANGE);

    Errno() = 0;
    EXPECT_EQ(vcrt::_snprintf_s(buffer, sizeof(buffer), 0, "abc"), -1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(vcrt::_snprintf_s(nullptr, 0, 0, "abc"), 0);
    EXPECT_EQ(handlerCalls, 1);
}

TEST_F(PrintfFamilyTest, SnprintfSTruncateFillsWhatFitsAndReportsTruncation)
{
    char buffer[10];
    Fill(buffer);
    EXPECT_EQ(vcrt::_snprintf_s(buffer, sizeof(buffer), VCRT_TRUNCATE, "<<<%d>>>", 1221), -1);
    EXPECT_STREQ(buffer, "<<<1221>>");
    EXPECT_EQ(Errno(), VCRT_STRUNCATE);
    Errno() = 0;
    EXPECT_EQ(vcrt::_snprintf_s(buffer, sizeof(buffer), VCRT_TRUNCATE, "<<<%d>>>", 121), 9);
    EXPECT_STREQ(buffer, "<<<121>>>");
    EXPECT_EQ(Errno(), 0);

    wchar_t wide[5];
    Fill(wide);
    EXPECT_EQ(vcrt::_snwprintf_s(wide, 5, VCRT_TRUNCATE, L"%s", L"abcdefg"), -1);
    EXPECT_EQ(Utf8(wide), "abcd");
    EXPECT_EQ(vcrt::_snwprintf_s(wide, 5, 2, L"%s", L"abcdefg"), -1);
    EXPECT_EQ(Utf8(wide, 5), std::string("ab\0d\0", 5));
    EXPECT_EQ(vcrt::_snwprintf_s(wide, 5, 9, L"%s", L"abcdefg"), -1);
    EXPECT_EQ(wide[0], L'\0');
    EXPECT_EQ(handlerCalls, 1);
}

TEST_F(PrintfFamilyTest, LengthOnlyRoutinesCountOutputUnits)
{
    EXPECT_EQ(vcrt::_scprintf("%d-%s", 123, "abc"), 7);
    EXPECT_EQ(vcrt::_scprintf("%ls", L"\u00E4\U0001F600"), 6);  // UTF-8 bytes
    EXPECT_EQ(vcrt::_scwprintf(L"%hs", "\xC3\xA4\xF0\x9F\x98\x80"), 3); // UTF-16 units
    EXPECT_EQ(handlerCalls, 0);
}

TEST_F(PrintfFamilyTest, InvalidArgumentsGoToTheHandlerAndFailWithEinval)
{
    char buffer[8] = "keep";
    wchar_t wide[8];
    struct Case {
        const char *function;
        int result;
    };
    const Case cases[] = {
        {"sprintf_s", vcrt::sprintf_s(buffer, sizeof(buffer), nullptr)},
        {"sprintf_s", vcrt::sprintf_s(nullptr, 8, "x")},
        {"sprintf_s", vcrt::sprintf_s(buffer, 0, "x")},
        {"snprintf", vcrt::snprintf(nullptr, 8, "x")},
        {"_snprintf", vcrt::_snprintf(buffer, 8, nullptr)},
        {"_snprintf_s", vcrt::_snprintf_s(nullptr, 8, 4, "x")},
        {"_snprintf_s", vcrt::_snprintf_s(buffer, 0, 4, "x")},
        {"_scprintf", vcrt::_scprintf(nullptr)},
        {"swprintf_s", vcrt::swprintf_s(wide, 8, nullptr)},
        {"_snwprintf", vcrt::_snwprintf(nullptr, 3, L"x")},
        {"_scwprintf", vcrt::_scwprintf(nullptr)},
        {"sprintf", vcrt::sprintf(nullptr, "x")},
    };
    EXPECT_EQ(handlerCalls, (int)(sizeof(cases) / sizeof(cases[0])));
    for (const Case &c : cases)
        EXPECT_EQ(c.result, -1) << c.function;
    EXPECT_EQ(Errno(), EINVAL);
}

TEST_F(PrintfFamilyTest, SetHandlerReturnsThePreviousOne)
{
    auto other = [](const wchar_t *, const wchar_t *, const wchar_t *, unsigned, unsigned long long) {};
    vcrt::_invalid_parameter_handler mine = vcrt::_get_invalid_parameter_handler();
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(vcrt::_set_invalid_parameter_handler(other), mine);
    EXPECT_EQ(vcrt::_get_invalid_parameter_handler(), (vcrt::_invalid_parameter_handler)other);
    EXPECT_EQ(vcrt::_set_invalid_parameter_handler(mine), (vcrt::_invalid_parameter_handler)other);
}

TEST(PrintfFamilyDeathTest, DefaultHandlerStopsTheProcessWithFastFailFive)
{
    vcrt::_set_invalid_parameter_handler(nullptr);
    char buffer[4];
    EXPECT_DEATH(vcrt::sprintf_s(buffer, sizeof(buffer), "%s", "too long"),
                 "FAST_FAIL 5 \\(invalid parameter in sprintf_s\\)");
    EXPECT_DEATH(vcrt::strcpy_s(nullptr, 4, "x"), "FAST_FAIL 5 \\(invalid parameter in strcpy_s\\)");
}

} // namespace
