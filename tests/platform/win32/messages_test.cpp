/*
 * FormatMessage: the system's own texts, and its buffer and language rules.
 */
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr DWORD kSystem = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
const DWORD kDefaultLanguage = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

std::string SystemText(DWORD code, DWORD language = kDefaultLanguage)
{
    char *text = nullptr;
    DWORD n = FormatMessageA(kSystem | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code, language,
                             reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (n == 0)
        return std::string("<").append(std::to_string(GetLastError())).append(">");
    std::string result(text, n);
    EXPECT_EQ(nullptr, LocalFree(text));
    return result;
}

TEST(FormatMessage, SystemTextsAreWindowsOwnAndEndInCrLf)
{
    EXPECT_EQ("The system cannot find the file specified.\r\n", SystemText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ("Access is denied.\r\n", SystemText(ERROR_ACCESS_DENIED));
    EXPECT_EQ("Incorrect function.\r\n", SystemText(ERROR_INVALID_FUNCTION));
    EXPECT_EQ("The parameter is incorrect.\r\n", SystemText(ERROR_INVALID_PARAMETER));
    EXPECT_EQ("The requested resource is in use.\r\n", SystemText(ERROR_BUSY));
    EXPECT_EQ("The volume does not contain a recognized file system.\r\n"
              "Please make sure that all required file system drivers are loaded and that the volume is not "
              "corrupted.\r\n",
              SystemText(ERROR_UNRECOGNIZED_VOLUME));
    // The default, the neutral and English ask for the same table; another language is not there.
    EXPECT_EQ(SystemText(ERROR_BUSY), SystemText(ERROR_BUSY, 0));
    EXPECT_EQ(SystemText(ERROR_BUSY), SystemText(ERROR_BUSY, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)));
    EXPECT_EQ("<15100>", SystemText(ERROR_BUSY, MAKELANGID(0x07, 0x01)));
}

TEST(FormatMessage, ACodeWithoutTextFailsWithMessageNotFound)
{
    EXPECT_EQ("<317>", SystemText(0x12345));
    EXPECT_EQ("<317>", SystemText(ERROR_WRONG_DISK));
    // The not-found text itself has inserts: kept as they are, or refused without IGNORE_INSERTS.
    EXPECT_EQ("The system cannot find message text for message number 0x%1 in the message file for %2.\r\n",
              SystemText(ERROR_MR_MID_NOT_FOUND));
    char buffer[256];
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_MR_MID_NOT_FOUND, 0, buffer,
                                 sizeof(buffer), nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(FormatMessage, ACallersBufferMustHoldTheTextAndItsNul)
{
    const char *expected = "Access is denied.\r\n";
    size_t length = std::strlen(expected);
    char buffer[64];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(0u, FormatMessageA(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, buffer, (DWORD)length, nullptr));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(length, FormatMessageA(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, buffer, (DWORD)length + 1, nullptr));
    EXPECT_STREQ(expected, buffer);
}

TEST(FormatMessage, TheWideFormHasTheSameText)
{
    WCHAR buffer[64];
    DWORD n = FormatMessageW(kSystem, nullptr, ERROR_ACCESS_DENIED, 0, buffer, 64, nullptr);
    std::u16string text(reinterpret_cast<const char16_t *>(buffer), n);
    EXPECT_EQ(u"Access is denied.\r\n", text);
}

TEST(FormatMessage, OnlyTheSystemTableIsOffered)
{
    char buffer[64];
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_STRING, "text", 0, 0, buffer, sizeof(buffer), nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

} // namespace
