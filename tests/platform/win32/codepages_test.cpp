/*
 * Code-page conversion with Windows' rules, the ANSI code page being UTF-8; and
 * the process heap.
 */
#include <windows.h>

#include "win32_harness.h"

#include <gtest/gtest.h>

#include <string>

namespace {

/* MultiByteToWideChar into a generous buffer: the text, or u"!" and the error in lastError. */
DWORD lastError = 0;
std::u16string ToWide(const std::string &text, int length, DWORD flags = MB_ERR_INVALID_CHARS, UINT page = CP_UTF8)
{
    WCHAR buffer[64];
    int n = MultiByteToWideChar(page, flags, text.data(), length, buffer, 64);
    lastError = n == 0 ? GetLastError() : 0;
    if (n == 0)
        return u"!";
    return std::u16string(reinterpret_cast<const char16_t *>(buffer), (size_t)n);
}

/* WideCharToMultiByte likewise: the text, or "!" and the error in lastError. */
std::string ToNarrow(const std::u16string &text, int length, DWORD flags = 0)
{
    char buffer[64];
    int n = WideCharToMultiByte(CP_UTF8, flags, reinterpret_cast<LPCWCH>(text.data()), length, buffer, 64, nullptr,
                                nullptr);
    lastError = n == 0 ? GetLastError() : 0;
    return n == 0 ? std::string("!") : std::string(buffer, (size_t)n);
}

TEST(CodePages, MinusOneConvertsTheNulAndACountDoesNot)
{
    EXPECT_EQ(std::u16string(u"abc\0", 4), ToWide("abc", -1));
    EXPECT_EQ(u"ab", ToWide("abc", 2));
    EXPECT_EQ(std::string("x\xC3\xA9\0", 4), ToNarrow(u"x\u00e9", -1));
    EXPECT_EQ("x\xC3\xA9", ToNarrow(u"x\u00e9", 2));
}

TEST(CodePages, SizeQueriesAndBuffersThatAreTooSmall)
{
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
    WCHAR three[3];
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "abc", -1, three, 3));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(5, WideCharToMultiByte(CP_UTF8, 0, L"a\u20ac", -1, nullptr, 0, nullptr, nullptr));
    char four[4];
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, L"a\u20ac", -1, four, 4, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 0, three, 3));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(CodePages, IllFormedUtf8FailsStrictlyOrBecomesReplacementCharacters)
{
    const std::string illFormed[] = {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\xE2\x82", "\xFF"};
    for (const std::string &text : illFormed) {
        EXPECT_EQ(u"!", ToWide(text, (int)text.size())) << text;
        EXPECT_EQ((DWORD)ERROR_NO_UNICODE_TRANSLATION, lastError) << text;
    }
    // One U+FFFD per maximal ill-formed subpart.
    EXPECT_EQ(u"a\uFFFD", ToWide("a\xE2\x82", 3, 0));
    EXPECT_EQ(u"\uFFFD\uFFFD\uFFFD", ToWide("\xED\xA0\x80", 3, 0));
    EXPECT_EQ(u"\uFFFDb", ToWide("\xC3" "b", 2, 0));
}

TEST(CodePages, CharactersBeyondTheBasicPlaneTravelAsSurrogatePairs)
{
    EXPECT_EQ(u"\U0001F600", ToWide("\xF0\x9F\x98\x80", 4));
    EXPECT_EQ("\xF0\x9F\x98\x80", ToNarrow(u"\U0001F600", 2));
    std::u16string lone(1, (char16_t)0xD800);
    EXPECT_EQ("!", ToNarrow(lone, 1, WC_ERR_INVALID_CHARS));
    EXPECT_EQ((DWORD)ERROR_NO_UNICODE_TRANSLATION, lastError);
    EXPECT_EQ("\xEF\xBF\xBD", ToNarrow(lone, 1));
}

TEST(CodePages, TheAnsiAndOemCodePagesAreUtf8)
{
    EXPECT_EQ(65001u, GetACP());
    EXPECT_EQ(65001u, GetOEMCP());
    EXPECT_EQ(u"\u00e9", ToWide("\xC3\xA9", 2, MB_ERR_INVALID_CHARS, CP_ACP));
    EXPECT_EQ(u"!", ToWide("a", 1, 0, 1252)); /* no other code page */
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, lastError);
}

TEST(CodePages, Utf8TakesNoDefaultCharacterAndNoOtherFlag)
{
    char out[8];
    BOOL usedDefault = FALSE;
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, L"a", 1, out, 8, nullptr, &usedDefault));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, L"a", 1, out, 8, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_FLAGS, GetLastError());
    WCHAR wide[8];
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", 1, wide, 8));
    EXPECT_EQ((DWORD)ERROR_INVALID_FLAGS, GetLastError());
}

TEST(Heap, ZeroFilledBlocksAndInjectedFailures)
{
    auto *block = static_cast<unsigned char *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
    ASSERT_NE(nullptr, block);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(0, block[i]);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
    win32::FailHeapAllocation(2);
    void *first = HeapAlloc(GetProcessHeap(), 0, 8);
    void *second = HeapAlloc(GetProcessHeap(), 0, 8);
    void *third = HeapAlloc(GetProcessHeap(), 0, 8);
    EXPECT_NE(nullptr, first);
    EXPECT_EQ(nullptr, second);
    EXPECT_NE(nullptr, third);
    HeapFree(GetProcessHeap(), 0, first);
    HeapFree(GetProcessHeap(), 0, third);
}

} // namespace
