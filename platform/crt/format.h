/*
 * The formatting engine behind every printf-family routine: one implementation,
 * instantiated for narrow (UTF-8) and UTF-16 output, with Microsoft's rules for
 * size prefixes, %s/%S/%Z, %p and %n.
 */
#pragma once

#include "crt_internal.h"

#include <cstdarg>
#include <vector>

namespace vcrt::detail {

/*
 * Where formatted units go: a caller's buffer of fixed capacity (units past the
 * capacity are counted, not stored) or a growable vector. Count() is always the
 * full length the format produces.
 */
template <typename CharT>
class FormatOutput {
public:
    FormatOutput(CharT *buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
    explicit FormatOutput(std::vector<CharT> *growable) : growable_(growable) {}

    void Put(CharT c)
    {
        if (growable_ != nullptr)
            growable_->push_back(c);
        else if (count_ < capacity_)
            buffer_[count_] = c;
        ++count_;
    }
    void Repeat(CharT c, size_t times)
    {
        while (times-- > 0)
            Put(c);
    }
    size_t Count() const { return count_; }

private:
    CharT *buffer_ = nullptr;
    size_t capacity_ = 0;
    std::vector<CharT> *growable_ = nullptr;
    size_t count_ = 0;
};

/*
 * Formats `format` with `args` into `out`. An invalid format (%n, an unknown
 * conversion, a specification cut off by the end of the string) goes to the
 * invalid-parameter handler on behalf of `function`; then it returns false.
 */
template <typename CharT>
bool FormatTo(FormatOutput<CharT> &out, const CharT *format, va_list args, const char *function);

extern template bool FormatTo<char>(FormatOutput<char> &, const char *, va_list, const char *);
extern template bool FormatTo<wchar_t>(FormatOutput<wchar_t> &, const wchar_t *, va_list, const char *);

} // namespace vcrt::detail
