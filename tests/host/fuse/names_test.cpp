/*
 * Names between Linux and the volume: every scalar value makes the round trip;
 * exactly the well-formed UTF-8 sequences are taken, judged against an encoder over
 * every short byte string; refused characters and dot names; the 255-unit limit;
 * stray surrogates from the volume.
 */
#include "names.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

using fusebridge::NameFromUtf8;
using fusebridge::Utf8FromName;

/* The shortest UTF-8 form of a code point, written from the encoding's definition. */
std::string Encode(uint32_t c)
{
    std::string s;
    if (c < 0x80) {
        s += (char)c;
    } else if (c < 0x800) {
        s += (char)(0xC0 | (c >> 6));
        s += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += (char)(0xE0 | (c >> 12));
        s += (char)(0x80 | ((c >> 6) & 0x3F));
        s += (char)(0x80 | (c & 0x3F));
    } else {
        s += (char)(0xF0 | (c >> 18));
        s += (char)(0x80 | ((c >> 12) & 0x3F));
        s += (char)(0x80 | ((c >> 6) & 0x3F));
        s += (char)(0x80 | (c & 0x3F));
    }
    return s;
}

bool IsSurrogate(uint32_t c)
{
    return c >= 0xD800 && c <= 0xDFFF;
}

bool IsRefusedAscii(uint32_t c)
{
    return c < 0x20 || std::string("\\/:*?\"<>|").find((char)c) != std::string::npos;
}

/* The code point a lone multi-byte sequence would stand for, if it were read by its
 * bit pattern alone (overlongs, surrogates and out-of-range values included). */
uint32_t PatternValue(const std::string &s)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    uint32_t value = s.size() == 2 ? p[0] & 0x1F : s.size() == 3 ? p[0] & 0x0F : p[0] & 0x07;
    for (size_t i = 1; i < s.size(); ++i)
        value = (value << 6) | (p[i] & 0x3F);
    return value;
}

/* A single lone sequence is taken exactly when it is the shortest form of a scalar value. */
bool WellFormedSingle(const std::string &s)
{
    uint32_t c = PatternValue(s);
    return c <= 0x10FFFF && !IsSurrogate(c) && Encode(c) == s;
}

int Convert(const std::string &name, std::u16string *out = nullptr)
{
    std::u16string scratch;
    return NameFromUtf8(name.c_str(), out != nullptr ? out : &scratch);
}

TEST(NamesTest, EveryScalarValueMakesTheRoundTrip)
{
    for (uint32_t c = 0x20; c <= 0x10FFFF; ++c) {
        if (IsSurrogate(c) || (c < 0x80 && IsRefusedAscii(c)) || c == '.')
            continue;
        std::string name = Encode(c);
        std::u16string units;
        ASSERT_EQ(Convert(name, &units), 0) << std::hex << c;
        ASSERT_EQ(units.size(), c >= 0x10000 ? 2u : 1u) << std::hex << c;
        ASSERT_EQ(Utf8FromName(units.data(), units.size()), name) << std::hex << c;
    }
    std::u16string units;
    ASSERT_EQ(Convert("\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80.txt", &units), 0);
    EXPECT_EQ(units, u"\u00E9t\u00E9 \U0001F600.txt");
    ASSERT_EQ(Convert("\xF4\x8F\xBF\xBF", &units), 0);
    EXPECT_EQ(units, u"\U0010FFFF");
}

/* All two-byte strings, and every single sequence led by E0..EF (all two following
 * bytes) and F0..FF (all second bytes, edge values after): taken exactly when the
 * encoder would write them. */
TEST(NamesTest, ExactlyTheWellFormedSequencesAreTaken)
{
    for (unsigned a = 1; a < 256; ++a) {
        for (unsigned b = 1; b < 256; ++b) {
            std::string s = {(char)a, (char)b};
            bool want = (a < 0x80 && b < 0x80) ? !IsRefusedAscii(a) && !IsRefusedAscii(b) && s != ".."
                                               : WellFormedSingle(s);
            ASSERT_EQ(Convert(s), want ? 0 : EINVAL) << std::hex << a << " " << b;
        }
    }
    for (unsigned a = 0xE0; a <= 0xEF; ++a) {
        for (unsigned b = 0x80; b < 256; ++b) {
            for (unsigned c = 0x80; c < 256; ++c) {
                std::string s = {(char)a, (char)b, (char)c};
                ASSERT_EQ(Convert(s), WellFormedSingle(s) ? 0 : EINVAL) << std::hex << a << " " << b << " " << c;
            }
        }
    }
    for (unsigned a = 0xF0; a < 256; ++a) {
        for (unsigned b = 0x80; b < 256; ++b) {
            for (unsigned tail : {0x80u, 0xA5u, 0xBFu}) {
                std::string s = {(char)a, (char)b, (char)tail, (char)tail};
                ASSERT_EQ(Convert(s), WellFormedSingle(s) ? 0 : EINVAL) << std::hex << a << " " << b;
            }
        }
    }
}

TEST(NamesTest, WindowsRefusedCharactersAndDotNames)
{
    for (uint32_t c = 1; c < 0x80; ++c) {
        char text[] = {'a', (char)c, 'b', 0};
        std::string name = text;
        EXPECT_EQ(Convert(name), IsRefusedAscii(c) ? EINVAL : 0) << c;
    }
    EXPECT_EQ(Convert(""), EINVAL);
    EXPECT_EQ(NameFromUtf8(nullptr, nullptr), EINVAL);
    EXPECT_EQ(Convert("."), EINVAL);
    EXPECT_EQ(Convert(".."), EINVAL);
    for (const char *fine : {"...", ".a", "a.", "..a", " ", "a ", "\x7F", "CON", "nul.txt"})
        EXPECT_EQ(Convert(fine), 0) << fine;
    EXPECT_EQ(Convert("\xEF\xBC\x9A"), 0) << "a full-width colon is an ordinary character";

    /* Ill-formed across characters, which the single-sequence sweep does not reach. */
    for (const char *name : {"a\xF0\x9F\x98", "\xF0\x9F\x98\xC3\xA9", "\xED\xA0\xBD\xED\xB8\x80", "a\xBF" "b"}) {
        std::u16string out = u"unchanged";
        EXPECT_EQ(NameFromUtf8(name, &out), EINVAL) << testing::PrintToString(std::string(name));
        EXPECT_EQ(out, u"unchanged") << "nothing is written on failure";
    }
}

TEST(NamesTest, TheLimitCountsUtf16Units)
{
    const std::string emoji = "\xF0\x9F\x98\x80"; /* two units */
    std::string accents, emojis;
    for (int i = 0; i < 255; ++i)
        accents += "\xC3\xA9";
    for (int i = 0; i < 127; ++i)
        emojis += emoji;
    EXPECT_EQ(Convert(std::string(255, 'a')), 0);
    EXPECT_EQ(Convert(std::string(256, 'a')), ENAMETOOLONG);
    EXPECT_EQ(Convert(accents), 0) << "510 bytes, 255 units";
    EXPECT_EQ(Convert(emojis + "a"), 0) << "255 units";
    EXPECT_EQ(Convert(emojis + emoji), ENAMETOOLONG) << "256 units";
    EXPECT_EQ(Convert(std::string(254, 'a') + emoji), ENAMETOOLONG) << "the pair crosses the limit";
    EXPECT_EQ(Convert(std::string(300, 'a') + "\xC3"), EINVAL) << "ill-formed wins over too long";
}

TEST(NamesTest, StraySurrogatesFromTheVolumeBecomeReplacementCharacters)
{
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::u16string name;
        std::string want;
    } cases[] = {
        {u"a\xD83D", "a" + fffd},
        {std::u16string(u"\xDE00" "b"), fffd + "b"},
        {std::u16string(u"\xDE00\xD83D"), fffd + fffd},
        {std::u16string(u"\xD83D\xD83D\xDE00"), fffd + "\xF0\x9F\x98\x80"},
        {std::u16string(u"\xD83D" "x\xDE00"), fffd + "x" + fffd},
        {u"", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Utf8FromName(c.name.data(), c.name.size()), c.want);
    const char16_t pair[] = {0xD83D, 0xDE00};
    EXPECT_EQ(Utf8FromName(pair, 1), fffd) << "a pair cut by the length is a stray high surrogate";
}

} // namespace
