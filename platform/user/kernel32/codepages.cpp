/*
 * Code pages. The stand-in's ANSI and OEM code pages are both UTF-8 (65001), as on
 * a Windows system set to use UTF-8 worldwide, so CP_ACP, CP_OEMCP, CP_THREAD_ACP
 * and CP_UTF8 all convert with UTF-8's rules as Windows applies them:
 *   - a sequence that is not well-formed UTF-8 (overlong, a surrogate, above
 *     U+10FFFF, cut short) fails the call with MB_ERR_INVALID_CHARS
 *     (ERROR_NO_UNICODE_TRANSLATION) and otherwise becomes U+FFFD, one per
 *     maximal ill-formed subpart;
 *   - a lone surrogate fails WideCharToMultiByte with WC_ERR_INVALID_CHARS and
 *     otherwise becomes U+FFFD;
 *   - a length of -1 converts up to and including the terminating NUL; any other
 *     length converts exactly that many units and adds no NUL;
 *   - an output size of 0 asks for the size needed; an output too small fails with
 *     ERROR_INSUFFICIENT_BUFFER;
 *   - UTF-8 takes no default character and no flags but the error flag
 *     (ERROR_INVALID_PARAMETER, ERROR_INVALID_FLAGS).
 */
#include "win32_internal.h"

namespace {

bool IsUtf8CodePage(UINT codePage)
{
    return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP || codePage == CP_UTF8;
}

/* Decodes one well-formed sequence; returns its length, or 0 with *bad set to the
 * length of the maximal ill-formed subpart (at least 1). */
size_t DecodeOne(const unsigned char *p, size_t available, char32_t *codePoint, size_t *bad)
{
    unsigned char lead = p[0];
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    size_t need;
    char32_t value;
    unsigned char low = 0x80, high = 0xBF; /* range of the second byte */
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0; /* no overlongs */
        if (lead == 0xED)
            high = 0x9F; /* no surrogates */
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F; /* nothing above U+10FFFF */
    } else {
        *bad = 1;
        return 0;
    }
    for (size_t i = 1; i < need; ++i) {
        unsigned char lo = i == 1 ? low : 0x80, hi = i == 1 ? high : 0xBF;
        if (i >= available || p[i] < lo || p[i] > hi) {
            *bad = i;
            return 0;
        }
        value = (value << 6) | (p[i] & 0x3F);
    }
    *codePoint = value;
    return need;
}

void AppendUtf16(char32_t codePoint, std::u16string *out)
{
    if (codePoint < 0x10000) {
        out->push_back((char16_t)codePoint);
    } else {
        codePoint -= 0x10000;
        out->push_back((char16_t)(0xD800 | (codePoint >> 10)));
        out->push_back((char16_t)(0xDC00 | (codePoint & 0x3FF)));
    }
}

void AppendUtf8(char32_t codePoint, std::string *out)
{
    if (codePoint < 0x80) {
        out->push_back((char)codePoint);
    } else if (codePoint < 0x800) {
        out->push_back((char)(0xC0 | (codePoint >> 6)));
        out->push_back((char)(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out->push_back((char)(0xE0 | (codePoint >> 12)));
        out->push_back((char)(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (codePoint & 0x3F)));
    } else {
        out->push_back((char)(0xF0 | (codePoint >> 18)));
        out->push_back((char)(0x80 | ((codePoint >> 12) & 0x3F)));
        out->push_back((char)(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (codePoint & 0x3F)));
    }
}

/* Length of a counted or NUL-terminated (-1) input, or -1 for an invalid length. */
template <typename Unit>
long long InputLength(const Unit *text, int length)
{
    if (length >= 0)
        return length;
    if (length != -1)
        return -1;
    long long n = 0;
    while (text[n] != 0)
        ++n;
    return n + 1; /* the NUL converts too */
}

} // namespace

namespace win32 {

bool Utf8ToUtf16(const char *text, size_t length, bool strict, std::u16string *out)
{
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    size_t i = 0;
    while (i < length) {
        char32_t codePoint;
        size_t bad = 0;
        size_t used = DecodeOne(p + i, length - i, &codePoint, &bad);
        if (used == 0) {
            if (strict)
                return false;
            out->push_back(0xFFFD);
            i += bad;
            continue;
        }
        AppendUtf16(codePoint, out);
        i += used;
    }
    return true;
}

bool Utf16ToUtf8(const char16_t *text, size_t length, bool strict, std::string *out)
{
    for (size_t i = 0; i < length; ++i) {
        char32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00), out);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            if (strict)
                return false;
            AppendUtf8(0xFFFD, out);
        } else {
            AppendUtf8(unit, out);
        }
    }
    return true;
}

} // namespace win32

extern "C" {

WINBASEAPI UINT WINAPI GetACP(VOID)
{
    return CP_UTF8;
}

WINBASEAPI UINT WINAPI GetOEMCP(VOID)
{
    return CP_UTF8;
}

WINBASEAPI int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!IsUtf8CodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((dwFlags & ~(DWORD)MB_ERR_INVALID_CHARS) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    long long length = InputLength(lpMultiByteStr, cbMultiByte);
    if (length < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string converted;
    if (!win32::Utf8ToUtf16(lpMultiByteStr, (size_t)length, (dwFlags & MB_ERR_INVALID_CHARS) != 0, &converted)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (converted.size() > 0x7FFFFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cchWideChar == 0)
        return (int)converted.size();
    if (converted.size() > (size_t)cchWideChar) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < converted.size(); ++i)
        lpWideCharStr[i] = (WCHAR)converted[i];
    return (int)converted.size();
}

WINBASEAPI int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar)
{
    if (!IsUtf8CodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && lpMultiByteStr == nullptr) || lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if ((dwFlags & ~(DWORD)WC_ERR_INVALID_CHARS) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    long long length = InputLength(lpWideCharStr, cchWideChar);
    if (length < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string converted;
    if (!win32::Utf16ToUtf8(reinterpret_cast<const char16_t *>(lpWideCharStr), (size_t)length,
                            (dwFlags & WC_ERR_INVALID_CHARS) != 0, &converted)) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
    }
    if (converted.size() > 0x7FFFFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (cbMultiByte == 0)
        return (int)converted.size();
    if (converted.size() > (size_t)cbMultiByte) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < converted.size(); ++i)
        lpMultiByteStr[i] = converted[i];
    return (int)converted.size();
}

} // extern "C"
