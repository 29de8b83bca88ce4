/*
 * The standard streams: narrow and UTF-16 output both leave as UTF-8 bytes, and
 * the return values count the routine's own units.
 */
#include "crt_test.h"


namespace {

using StreamsTest = CrtTest;

vcrt::FILE *Out()
{
    return vcrt::__acrt_iob_func(1);
}

TEST_F(StreamsTest, FormattedOutputReturnsUnitsAndWritesUtf8)
{
    testing::internal::CaptureStdout();
    int narrow = vcrt::printf("%d-%ls|", 5, L"\u00E4");
    int wide = vcrt::wprintf(L"%s\U0001F600\n", L"\u00E4");
    vcrt::fflush(Out());
    std::string written = testing::internal::GetCapturedStdout();
    EXPECT_EQ(written, "5-\xC3\xA4|\xC3\xA4\xF0\x9F\x98\x80\n");
    EXPECT_EQ(narrow, 5); // bytes
    EXPECT_EQ(wide, 4);   // UTF-16 units
}

TEST_F(StreamsTest, StandardErrorAndCharacterOutput)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(vcrt::fprintf(vcrt::__acrt_iob_func(2), "%s:%u", "err", 7u), 5);
    EXPECT_EQ(vcrt::fwprintf(vcrt::__acrt_iob_func(2), L"|%c", L'\u00DF'), 2);
    EXPECT_GE(vcrt::fputs("!", vcrt::__acrt_iob_func(2)), 0);
    EXPECT_EQ(vcrt::fputc('?', vcrt::__acrt_iob_func(2)), '?');
    vcrt::fflush(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "err:7|\xC3\x9F!?");

    testing::internal::CaptureStdout();
    EXPECT_GE(vcrt::puts("line"), 0);
    EXPECT_EQ(vcrt::putchar('x'), 'x');
    vcrt::fflush(Out());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "line\nx");
}

TEST_F(StreamsTest, OnlyTheThreeStandardStreamsExist)
{
    EXPECT_EQ(vcrt::__acrt_iob_func(3), nullptr);
    EXPECT_EQ(vcrt::fprintf(nullptr, "x"), -1);
    EXPECT_EQ(vcrt::fputs("x", nullptr), -1);
    char line[4];
    EXPECT_EQ(vcrt::fgets(line, 0, vcrt::__acrt_iob_func(0)), nullptr);
    EXPECT_EQ(handlerCalls, 3);
    EXPECT_EQ(Errno(), EINVAL);
}

} // namespace
