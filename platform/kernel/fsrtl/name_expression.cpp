/*
 * Names and wildcards: FsRtlIsNameInExpression, FsRtlDoesNameContainWildCards
 * and FsRtlDissectName.
 *
 * Matching rules of an expression against a name:
 *
 *   *         any run of characters, the empty one included;
 *   ?         exactly one character, a dot included;
 *   DOS_STAR  (<) any run of characters that does not take the name's final
 *             dot: it may cross earlier dots, never the last one;
 *   DOS_QM    (>) one character other than a dot; in front of a dot or at the
 *             end of the name it matches nothing (so ">>>" takes at most three
 *             characters of a part and stops at its dot);
 *   DOS_DOT   (") a dot, or nothing once the name is used up;
 *   other     itself; with IgnoreCase the name is upcased (through UpcaseTable
 *             when given, else the system's table) and the expression is taken
 *             as it is: the caller hands it over upcased.
 *
 * An empty expression matches only an empty name and an empty name only an
 * empty expression, so "*" does not match the empty name.
 *
 * The match walks the name once, keeping the set of expression positions the
 * prefix read so far can have reached (a nondeterministic automaton run as a
 * set). Every position has at most one way forward without reading a name
 * character (past a star, and past DOS_QM or DOS_DOT where they match nothing),
 * so closing a set is a walk along the expression. Time is bounded by name
 * length times expression length whatever the wildcards; a backtracking matcher
 * would be exponential in the stars of an expression like "*A*A*A*A*B".
 */
#include "ke/dispatcher.h"
#include "rtl/upcase.h"

#include <km/fsrtl.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace fsrtl {
namespace {

constexpr WCHAR kDot = L'.';
constexpr WCHAR kBackslash = L'\\';

/* The name as the expression sees it: upcased when the match ignores case. */
struct FoldedName {
    PCWCH buffer;
    size_t length;
    BOOLEAN ignoreCase;
    PCWCH upcaseTable;

    WCHAR At(size_t index) const
    {
        WCHAR c = buffer[index];
        if (!ignoreCase)
            return c;
        if (upcaseTable != nullptr)
            return upcaseTable[(uint16_t)c];
        return (WCHAR)unicase::Upcase((uint16_t)c);
    }
};

/*
 * The set of expression positions reached after a prefix of the name. A
 * position is in the set when its mark equals the set's generation (the name
 * position), so moving on to the next name position needs no clearing.
 */
class PositionSet {
public:
    explicit PositionSet(size_t expressionLength) : marks_(expressionLength + 1, UINT32_MAX) {}

    bool Contains(size_t position) const { return marks_[position] == generation_; }
    const std::vector<uint32_t> &Members() const { return members_; }
    bool Empty() const { return members_.empty(); }

    void Reset(uint32_t generation)
    {
        generation_ = generation;
        members_.clear();
    }

    /* Adds position and whatever it reaches without reading a character, standing at name index at. */
    void Add(size_t position, PCWCH expression, size_t expressionLength, const FoldedName &name, size_t at)
    {
        const bool atEnd = at == name.length;
        const bool atDot = !atEnd && name.At(at) == kDot;
        for (;;) {
            if (marks_[position] == generation_)
                return; // already there, and so is everything it reaches
            marks_[position] = generation_;
            members_.push_back((uint32_t)position);
            if (position == expressionLength)
                return;
            const WCHAR e = expression[position];
            const bool passes =
                e == L'*' || e == DOS_STAR || (e == DOS_QM && (atDot || atEnd)) || (e == DOS_DOT && atEnd);
            if (!passes)
                return;
            ++position;
        }
    }

private:
    std::vector<uint32_t> marks_;
    std::vector<uint32_t> members_;
    uint32_t generation_ = 0;
};

/* Where a position goes on reading c at name index at: the next position, itself, or nowhere. */
size_t Step(PCWCH expression, size_t position, WCHAR c, size_t at, size_t finalDot)
{
    constexpr size_t kNowhere = SIZE_MAX;
    const WCHAR e = expression[position];
    switch (e) {
    case L'*':
        return position;
    case DOS_STAR:
        // Crosses a dot only when another dot follows it.
        return (c != kDot || (finalDot != kNowhere && at < finalDot)) ? position : kNowhere;
    case L'?':
        return position + 1;
    case DOS_QM:
        return c != kDot ? position + 1 : kNowhere;
    case DOS_DOT:
        return c == kDot ? position + 1 : kNowhere;
    default:
        return e == c ? position + 1 : kNowhere;
    }
}

/*
 * Runs a non-empty expression over a non-empty name. Returns whether the end of
 * the expression is reached exactly at the end of the name.
 */
bool MatchNonEmpty(PCWCH expression, size_t expressionLength, const FoldedName &name)
{
    size_t finalDot = SIZE_MAX;
    for (size_t i = name.length; i-- > 0;) {
        if (name.At(i) == kDot) {
            finalDot = i;
            break;
        }
    }

    PositionSet current(expressionLength);
    PositionSet next(expressionLength);
    current.Add(0, expression, expressionLength, name, 0);
    for (size_t i = 0; i < name.length; ++i) {
        const WCHAR c = name.At(i);
        next.Reset((uint32_t)(i + 1));
        for (uint32_t position : current.Members()) {
            if (position == expressionLength)
                continue;
            size_t target = Step(expression, position, c, i, finalDot);
            if (target != SIZE_MAX)
                next.Add(target, expression, expressionLength, name, i + 1);
        }
        if (next.Empty())
            return false;
        std::swap(current, next);
    }
    return current.Contains(expressionLength);
}

} // namespace
} // namespace fsrtl

extern "C" {

/*
 * Whether Name matches Expression by the rules above. Name and Expression are
 * only read. With IgnoreCase the expression must already be upcased; the name is
 * upcased through UpcaseTable (65,536 entries) or, when that is NULL, through the
 * system's table, the one RtlUpcaseUnicodeChar uses. Callers run at PASSIVE_LEVEL.
 */
NTKERNELAPI BOOLEAN NTAPI FsRtlIsNameInExpression(PUNICODE_STRING Expression, PUNICODE_STRING Name,
                                                  BOOLEAN IgnoreCase, PWCH UpcaseTable)
{
    ke::CheckIrql((const void *)&FsRtlIsNameInExpression, PASSIVE_LEVEL);
    const size_t expressionLength = Expression->Length / sizeof(WCHAR);
    const fsrtl::FoldedName name{Name->Buffer, Name->Length / sizeof(WCHAR), IgnoreCase, UpcaseTable};
    if (expressionLength == 0 || name.length == 0)
        return (expressionLength == 0 && name.length == 0) ? TRUE : FALSE;
    return fsrtl::MatchNonEmpty(Expression->Buffer, expressionLength, name) ? TRUE : FALSE;
}

/* Whether Name holds any of the five wildcards: *, ?, DOS_STAR, DOS_QM and DOS_DOT. */
NTKERNELAPI BOOLEAN NTAPI FsRtlDoesNameContainWildCards(PUNICODE_STRING Name)
{
    ke::CheckIrql((const void *)&FsRtlDoesNameContainWildCards, PASSIVE_LEVEL);
    const size_t length = Name->Length / sizeof(WCHAR);
    for (size_t i = 0; i < length; ++i) {
        const WCHAR c = Name->Buffer[i];
        if (c == L'*' || c == L'?' || c == DOS_STAR || c == DOS_QM || c == DOS_DOT)
            return TRUE;
    }
    return FALSE;
}

/*
 * Splits Path at its first backslash, ignoring one leading backslash: FirstName
 * is what comes before it, RemainingName everything after it (empty when there
 * is no backslash). Both describe Path's own buffer; nothing is allocated and no
 * character is checked. An empty path gives two empty strings without buffers.
 */
NTKERNELAPI VOID NTAPI FsRtlDissectName(UNICODE_STRING Path, PUNICODE_STRING FirstName,
                                        PUNICODE_STRING RemainingName)
{
    ke::CheckIrql((const void *)&FsRtlDissectName, PASSIVE_LEVEL);
    *FirstName = UNICODE_STRING{0, 0, nullptr};
    *RemainingName = UNICODE_STRING{0, 0, nullptr};
    const size_t length = Path.Length / sizeof(WCHAR);
    if (length == 0)
        return;
    const size_t first = Path.Buffer[0] == fsrtl::kBackslash ? 1 : 0;
    size_t end = first;
    while (end < length && Path.Buffer[end] != fsrtl::kBackslash)
        ++end;
    FirstName->Buffer = Path.Buffer + first;
    FirstName->Length = FirstName->MaximumLength = (USHORT)((end - first) * sizeof(WCHAR));
    if (end == length)
        return;
    RemainingName->Buffer = Path.Buffer + end + 1;
    RemainingName->Length = RemainingName->MaximumLength = (USHORT)((length - end - 1) * sizeof(WCHAR));
}

} // extern "C"
