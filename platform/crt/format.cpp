/*
 * The formatting engine. A conversion specification is
 *   %[flags][width][.precision][size]type
 * with Microsoft's size prefixes: h, hh, l (32 bits: LLP64), ll, L, w, I32, I64,
 * I (pointer-sized), z, j, t. Character and string conversions take narrow or
 * UTF-16 arguments by Microsoft's rule (%s natural to the routine, %S the other
 * kind, h forces narrow, l and w force UTF-16); text crossing between the two is
 * converted (narrow is UTF-8). Floating-point digits come from the host's
 * snprintf, which prints what Microsoft's runtime prints for the same request.
 */
#include "format.h"

#include "utf.h"

#include <climits>
#include <cstdio>

#include <ntdef.h>

namespace vcrt::detail {
namespace {

enum class Size { kDefault, kChar, kShort, kLong, kLongLong, kInt32, kInt64, kPointer, kWide, kLongDouble };

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    Size size = Size::kDefault;
};

/* The variable arguments, copied so that the caller's list is left alone. */
class Arguments {
public:
    explicit Arguments(va_list args) { va_copy(list_, args); }
    ~Arguments() { va_end(list_); }
    Arguments(const Arguments &) = delete;
    Arguments &operator=(const Arguments &) = delete;

    int Int() { return va_arg(list_, int); }
    long long LongLong() { return va_arg(list_, long long); }
    double Double() { return va_arg(list_, double); }
    long double LongDouble() { return va_arg(list_, long double); }
    const void *Pointer() { return va_arg(list_, const void *); }

private:
    va_list list_;
};

int64_t SignedArgument(Arguments &args, Size size)
{
    switch (size) {
    case Size::kChar:
        return (signed char)args.Int();
    case Size::kShort:
        return (short)args.Int();
    case Size::kLongLong:
    case Size::kInt64:
    case Size::kPointer:
    case Size::kLongDouble:
        return args.LongLong();
    default: // none, l, I32, w: 32 bits
        return args.Int();
    }
}

uint64_t UnsignedArgument(Arguments &args, Size size)
{
    switch (size) {
    case Size::kChar:
        return (unsigned char)args.Int();
    case Size::kShort:
        return (unsigned short)args.Int();
    case Size::kLongLong:
    case Size::kInt64:
    case Size::kPointer:
    case Size::kLongDouble:
        return (uint64_t)args.LongLong();
    default:
        return (uint32_t)args.Int();
    }
}

/* Whether a c, C, s, S or Z conversion takes a UTF-16 argument. */
template <typename CharT>
bool TakesWideArgument(unsigned type, Size size)
{
    if (size == Size::kShort || size == Size::kChar)
        return false;
    if (size == Size::kLong || size == Size::kWide)
        return true;
    const bool natural = sizeof(CharT) == sizeof(wchar_t);
    return (type == 'C' || type == 'S') ? !natural : natural;
}

size_t Decode(const char *p, size_t available, char32_t *codePoint)
{
    return DecodeUtf8(p, available, codePoint);
}
size_t Decode(const wchar_t *p, size_t available, char32_t *codePoint)
{
    return DecodeUtf16(p, available, codePoint);
}
size_t Encode(char32_t codePoint, char *out)
{
    return EncodeUtf8(codePoint, out);
}
size_t Encode(char32_t codePoint, wchar_t *out)
{
    return EncodeUtf16(codePoint, out);
}

/*
 * Walks `available` units of `text` (or up to its NUL when available is
 * kTerminated), producing at most `budget` output units; a converted character
 * that would not fit whole is left out. Emits into `out` when it is given and
 * returns the number of output units either way.
 */
template <typename CharT, typename SourceT>
size_t Transcode(const SourceT *text, size_t available, size_t budget, FormatOutput<CharT> *out)
{
    const bool terminated = available == kTerminated;
    size_t produced = 0;
    if constexpr (sizeof(CharT) == sizeof(SourceT)) {
        for (size_t i = 0; i < available && produced < budget; ++i) {
            if (terminated && text[i] == 0)
                break;
            if (out != nullptr)
                out->Put((CharT)text[i]);
            ++produced;
        }
    } else {
        size_t used = 0;
        while (used < available) {
            if (terminated && text[used] == 0)
                break;
            char32_t codePoint;
            size_t consumed = Decode(text + used, terminated ? kTerminated : available - used, &codePoint);
            CharT units[4];
            size_t count = Encode(codePoint, units);
            if (produced + count > budget)
                break;
            for (size_t k = 0; out != nullptr && k < count; ++k)
                out->Put(units[k]);
            produced += count;
            used += consumed;
        }
    }
    return produced;
}

/* Pads `length` units of body to the field width; `body` writes them. */
template <typename CharT, typename Body>
void EmitPadded(FormatOutput<CharT> &out, const Spec &spec, size_t length, Body &&body)
{
    size_t pad = spec.width > length ? spec.width - length : 0;
    if (!spec.left)
        out.Repeat(spec.zero ? '0' : ' ', pad);
    body();
    if (spec.left)
        out.Repeat(' ', pad);
}

template <typename CharT, typename SourceT>
void EmitText(FormatOutput<CharT> &out, const Spec &spec, const SourceT *text, size_t available)
{
    size_t budget = spec.hasPrecision ? spec.precision : SIZE_MAX;
    size_t length = Transcode<CharT>(text, available, budget, nullptr);
    EmitPadded(out, spec, length, [&] { Transcode<CharT>(text, available, budget, &out); });
}

template <typename CharT>
void EmitNull(FormatOutput<CharT> &out, const Spec &spec)
{
    static const char text[] = "(null)";
    EmitText(out, spec, text, kTerminated);
}

template <typename CharT>
void EmitCharacter(FormatOutput<CharT> &out, Spec spec, bool wide, int value)
{
    spec.hasPrecision = false; // precision has no effect on a character
    if (wide) {
        const wchar_t unit = (wchar_t)(uint16_t)value;
        EmitText(out, spec, &unit, 1);
    } else {
        const char byte = (char)value;
        EmitText(out, spec, &byte, 1);
    }
}

template <typename CharT>
void EmitCountedString(FormatOutput<CharT> &out, const Spec &spec, bool wide, const void *argument)
{
    if (wide) {
        auto *string = static_cast<const UNICODE_STRING *>(argument);
        if (string == nullptr || string->Buffer == nullptr)
            return EmitNull(out, spec);
        EmitText(out, spec, string->Buffer, string->Length / sizeof(WCHAR));
    } else {
        auto *string = static_cast<const STRING *>(argument);
        if (string == nullptr || string->Buffer == nullptr)
            return EmitNull(out, spec);
        EmitText(out, spec, string->Buffer, string->Length);
    }
}

struct Integer {
    uint64_t magnitude = 0;
    char sign = 0; // '-', '+', ' ' or none
    unsigned base = 10;
    bool upper = false;
};

template <typename CharT>
void EmitInteger(FormatOutput<CharT> &out, Spec spec, const Integer &value)
{
    const char *digitSet = value.upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    size_t count = 0;
    uint64_t rest = value.magnitude;
    if (!(spec.hasPrecision && spec.precision == 0 && rest == 0)) {
        do {
            digits[count++] = digitSet[rest % value.base];
            rest /= value.base;
        } while (rest != 0);
    }
    size_t zeros = (spec.hasPrecision && spec.precision > count) ? spec.precision - count : 0;
    // '#' with o makes the first digit a zero; with x or X it prefixes a non-zero value.
    if (spec.alternate && value.base == 8 && zeros == 0 && (count == 0 || digits[count - 1] != '0'))
        zeros = 1;
    char prefix[2];
    size_t prefixLength = 0;
    if (value.sign != 0)
        prefix[prefixLength++] = value.sign;
    if (spec.alternate && value.base == 16 && value.magnitude != 0) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = value.upper ? 'X' : 'x';
    }
    if (spec.hasPrecision) // a precision turns the 0 flag off for integers
        spec.zero = false;
    size_t length = prefixLength + zeros + count;
    size_t pad = spec.width > length ? spec.width - length : 0;
    if (!spec.left && !spec.zero)
        out.Repeat(' ', pad);
    for (size_t i = 0; i < prefixLength; ++i)
        out.Put(prefix[i]);
    if (!spec.left && spec.zero)
        out.Repeat('0', pad);
    out.Repeat('0', zeros);
    while (count > 0)
        out.Put(digits[--count]);
    if (spec.left)
        out.Repeat(' ', pad);
}

int ClampToInt(size_t value)
{
    return value > INT_MAX ? INT_MAX : (int)value;
}

template <typename CharT>
void EmitFloat(FormatOutput<CharT> &out, const Spec &spec, unsigned type, double value)
{
    char format[16];
    size_t f = 0;
    format[f++] = '%';
    if (spec.left)
        format[f++] = '-';
    if (spec.plus)
        format[f++] = '+';
    if (spec.space)
        format[f++] = ' ';
    if (spec.alternate)
        format[f++] = '#';
    if (spec.zero)
        format[f++] = '0';
    format[f++] = '*';
    format[f++] = '.';
    format[f++] = '*';
    format[f++] = (char)type;
    format[f] = 0;
    // Microsoft prints all 13 hexadecimal digits of a double's fraction when %a has no precision.
    int precision = spec.hasPrecision ? ClampToInt(spec.precision) : ((type == 'a' || type == 'A') ? 13 : 6);
    int width = ClampToInt(spec.width);
    char local[128];
    int length = ::snprintf(local, sizeof(local), format, width, precision, value);
    if (length < 0)
        return;
    if ((size_t)length < sizeof(local)) {
        for (int i = 0; i < length; ++i)
            out.Put(local[i]);
        return;
    }
    std::vector<char> text((size_t)length + 1);
    ::snprintf(text.data(), text.size(), format, width, precision, value);
    for (int i = 0; i < length; ++i)
        out.Put(text[(size_t)i]);
}

template <typename CharT>
bool IsDigit(CharT c)
{
    return c >= '0' && c <= '9';
}

template <typename CharT>
size_t ReadNumber(const CharT *&p)
{
    size_t value = 0;
    for (; IsDigit(*p); ++p)
        value = value > (SIZE_MAX - 9) / 10 ? SIZE_MAX : value * 10 + (size_t)(*p - '0');
    return value;
}

template <typename CharT>
Size ReadSize(const CharT *&p)
{
    switch (*p) {
    case 'h':
        if (p[1] == 'h') {
            p += 2;
            return Size::kChar;
        }
        ++p;
        return Size::kShort;
    case 'l':
        if (p[1] == 'l') {
            p += 2;
            return Size::kLongLong;
        }
        ++p;
        return Size::kLong;
    case 'I':
        if (p[1] == '3' && p[2] == '2') {
            p += 3;
            return Size::kInt32;
        }
        if (p[1] == '6' && p[2] == '4') {
            p += 3;
            return Size::kInt64;
        }
        ++p;
        return Size::kPointer;
    case 'z':
    case 'j':
    case 't':
        ++p;
        return Size::kPointer;
    case 'w':
        ++p;
        return Size::kWide;
    case 'L':
        ++p;
        return Size::kLongDouble;
    default:
        return Size::kDefault;
    }
}

} // namespace

template <typename CharT>
bool FormatTo(FormatOutput<CharT> &out, const CharT *format, va_list list, const char *function)
{
    Arguments args(list);
    const CharT *p = format;
    while (*p != 0) {
        if (*p != '%') {
            out.Put(*p++);
            continue;
        }
        ++p;
        Spec spec;
        for (;; ++p) {
            if (*p == '-')
                spec.left = true;
            else if (*p == '+')
                spec.plus = true;
            else if (*p == ' ')
                spec.space = true;
            else if (*p == '#')
                spec.alternate = true;
            else if (*p == '0')
                spec.zero = true;
            else
                break;
        }
        if (*p == '*') {
            ++p;
            int width = args.Int();
            if (width < 0) { // a negative width means left alignment
                spec.left = true;
                spec.width = (size_t)(-(int64_t)width);
            } else {
                spec.width = (size_t)width;
            }
        } else {
            spec.width = ReadNumber(p);
        }
        if (*p == '.') {
            ++p;
            spec.hasPrecision = true;
            if (*p == '*') {
                ++p;
                int precision = args.Int();
                spec.hasPrecision = precision >= 0; // a negative precision counts as none
                spec.precision = precision >= 0 ? (size_t)precision : 0;
            } else {
                spec.precision = ReadNumber(p);
            }
        }
        if (spec.left)
            spec.zero = false;
        spec.size = ReadSize(p);
        const unsigned type = Unit(*p);
        if (type == 0) { // a specification cut off by the end of the format
            InvalidParameter(function);
            return false;
        }
        ++p;

        switch (type) {
        case '%':
            out.Put('%');
            break;
        case 'c':
        case 'C':
            EmitCharacter(out, spec, TakesWideArgument<CharT>(type, spec.size), args.Int());
            break;
        case 's':
        case 'S': {
            const void *text = args.Pointer();
            if (text == nullptr)
                EmitNull(out, spec);
            else if (TakesWideArgument<CharT>(type, spec.size))
                EmitText(out, spec, static_cast<const wchar_t *>(text), kTerminated);
            else
                EmitText(out, spec, static_cast<const char *>(text), kTerminated);
            break;
        }
        case 'Z':
            EmitCountedString(out, spec, TakesWideArgument<CharT>(type, spec.size), args.Pointer());
            break;
        case 'd':
        case 'i': {
            int64_t value = SignedArgument(args, spec.size);
            Integer integer;
            integer.magnitude = value < 0 ? 0 - (uint64_t)value : (uint64_t)value;
            integer.sign = value < 0 ? '-' : spec.plus ? '+' : spec.space ? ' ' : 0;
            EmitInteger(out, spec, integer);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            Integer integer;
            integer.magnitude = UnsignedArgument(args, spec.size);
            integer.base = type == 'u' ? 10 : type == 'o' ? 8 : 16;
            integer.upper = type == 'X';
            EmitInteger(out, spec, integer);
            break;
        }
        case 'p': {
            // Microsoft prints every digit of the address, upper case, with no prefix.
            Integer integer;
            integer.magnitude = (uint64_t)(uintptr_t)args.Pointer();
            integer.base = 16;
            integer.upper = true;
            spec.hasPrecision = true;
            spec.precision = 2 * sizeof(void *);
            spec.alternate = false;
            EmitInteger(out, spec, integer);
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            // Microsoft's long double is a double; a long double argument prints as one.
            double value = spec.size == Size::kLongDouble ? (double)args.LongDouble() : args.Double();
            EmitFloat(out, spec, type, value);
            break;
        }
        case 'n': // refused: writing through an argument is the classic format-string attack
        default:
            InvalidParameter(function);
            return false;
        }
    }
    return true;
}

template bool FormatTo<char>(FormatOutput<char> &, const char *, va_list, const char *);
template bool FormatTo<wchar_t>(FormatOutput<wchar_t> &, const wchar_t *, va_list, const char *);

} // namespace vcrt::detail
