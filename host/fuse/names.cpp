/*
 * Names between Linux and the volume.
 *
 * Decoding is strict (the well-formed UTF-8 of Unicode's table 3-7): a name that
 * could be read two ways, or that encodes a surrogate, would give two Linux names for
 * one volume name, and the volume's name lookup and Linux's dentry cache would
 * disagree about which file is meant.
 */
#include "names.h"

#include <cerrno>
#include <cstdint>
#include <utility>

namespace fusebridge {

namespace {

/* The longest name the volume keeps, in UTF-16 units. */
constexpr size_t kMaxNameUnits = 255;

constexpr char32_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

/* Characters Windows refuses in a name component. */
bool IsRefused(char32_t c)
{
    if (c < 0x20)
        return true;
    switch (c) {
    case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return true;
    default:
        return false;
    }
}

/*
 * Reads one character at *at (which is before the terminating zero) and moves past
 * it. Returns false for an ill-formed sequence: a stray continuation byte, C0/C1 and
 * F5..FF leads, an overlong form, an encoded surrogate, a value past U+10FFFF, or a
 * sequence cut short (by the end of the name or by a byte that does not continue it).
 * The terminating zero is never a continuation byte, so no read passes it.
 */
bool DecodeOne(const unsigned char **at, char32_t *c)
{
    const unsigned char *p = *at;
    unsigned char lead = p[0];
    if (lead < 0x80) {
        *c = lead;
        *at = p + 1;
        return true;
    }
    size_t count;
    char32_t value;
    unsigned char low = 0x80, high = 0xBF; /* allowed range of the second byte */
    if (lead >= 0xC2 && lead <= 0xDF) {
        count = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        count = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0; /* below: overlong */
        else if (lead == 0xED)
            high = 0x9F; /* above: surrogates */
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        count = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90; /* below: overlong */
        else if (lead == 0xF4)
            high = 0x8F; /* above: past U+10FFFF */
    } else {
        return false;
    }
    if (p[1] < low || p[1] > high)
        return false;
    for (size_t i = 1; i < count; ++i) {
        if (!IsContinuation(p[i]))
            return false;
        value = (value << 6) | (p[i] & 0x3F);
    }
    *c = value;
    *at = p + count;
    return true;
}

void AppendUtf8(char32_t c, std::string *out)
{
    if (c < 0x80) {
        out->push_back((char)c);
    } else if (c < 0x800) {
        out->push_back((char)(0xC0 | (c >> 6)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back((char)(0xE0 | (c >> 12)));
        out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    } else {
        out->push_back((char)(0xF0 | (c >> 18)));
        out->push_back((char)(0x80 | ((c >> 12) & 0x3F)));
        out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    }
}

} // namespace

/*
 * NameFromUtf8: the whole name is checked before its length is judged, so an
 * ill-formed name is EINVAL however long it is. *out is left unchanged on failure.
 */
int NameFromUtf8(const char *name, std::u16string *out)
{
    if (name == nullptr || name[0] == '\0')
        return EINVAL;
    if ((name[0] == '.' && name[1] == '\0') || (name[0] == '.' && name[1] == '.' && name[2] == '\0'))
        return EINVAL;

    std::u16string units;
    const unsigned char *at = reinterpret_cast<const unsigned char *>(name);
    while (*at != 0) {
        char32_t c;
        if (!DecodeOne(&at, &c) || IsRefused(c))
            return EINVAL;
        if (c >= 0x10000) {
            c -= 0x10000;
            units.push_back((char16_t)(0xD800 | (c >> 10)));
            units.push_back((char16_t)(0xDC00 | (c & 0x3FF)));
        } else {
            units.push_back((char16_t)c);
        }
    }
    if (units.size() > kMaxNameUnits)
        return ENAMETOOLONG;
    *out = std::move(units);
    return 0;
}

std::string Utf8FromName(const char16_t *name, size_t units)
{
    std::string out;
    out.reserve(units * 3);
    for (size_t i = 0; i < units; ++i) {
        char32_t c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        AppendUtf8(c, &out);
    }
    return out;
}

} // namespace fusebridge
