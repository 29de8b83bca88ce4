/*
 * Names and wildcards: expression matching with the DOS wildcards, checked
 * against a table of documented cases and against a plain backtracking matcher
 * written here from the same rules; splitting a path; spotting wildcards.
 */
#include "machine_test.h"

#include <ntifs.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using NameExpressionTest = MachineTest;
using Units = std::vector<WCHAR>;

Units UnitsOf(const wchar_t *text)
{
    Units units;
    for (; *text != 0; ++text)
        units.push_back(*text);
    return units;
}

UNICODE_STRING Counted(const Units &units)
{
    USHORT bytes = (USHORT)(units.size() * sizeof(WCHAR));
    return UNICODE_STRING{bytes, bytes, units.empty() ? nullptr : const_cast<PWCH>(units.data())};
}

bool Matches(const Units &expression, const Units &name, BOOLEAN ignoreCase, PWCH table = nullptr)
{
    UNICODE_STRING e = Counted(expression);
    UNICODE_STRING n = Counted(name);
    return FsRtlIsNameInExpression(&e, &n, ignoreCase, table) != FALSE;
}

std::string Narrow(const Units &units)
{
    return std::string(units.begin(), units.end());
}

/* The rules, one expression character at a time, trying every way a star can go. */
bool ReferenceFrom(const Units &e, size_t ei, const Units &n, size_t ni, size_t finalDot)
{
    if (ei == e.size())
        return ni == n.size();
    const bool end = ni == n.size();
    switch (e[ei]) {
    case L'*':
        for (size_t k = ni; k <= n.size(); ++k)
            if (ReferenceFrom(e, ei + 1, n, k, finalDot))
                return true;
        return false;
    case L'<':
        for (size_t k = ni;; ++k) {
            if (ReferenceFrom(e, ei + 1, n, k, finalDot))
                return true;
            if (k == n.size() || k == finalDot)
                return false;
        }
    case L'?':
        return !end && ReferenceFrom(e, ei + 1, n, ni + 1, finalDot);
    case L'>':
        if (end || n[ni] == L'.')
            return ReferenceFrom(e, ei + 1, n, ni, finalDot);
        return ReferenceFrom(e, ei + 1, n, ni + 1, finalDot);
    case L'"':
        if (end)
            return ReferenceFrom(e, ei + 1, n, ni, finalDot);
        return n[ni] == L'.' && ReferenceFrom(e, ei + 1, n, ni + 1, finalDot);
    default:
        return !end && n[ni] == e[ei] && ReferenceFrom(e, ei + 1, n, ni + 1, finalDot);
    }
}

bool Reference(const Units &expression, Units name, bool ignoreCase)
{
    if (expression.empty() || name.empty())
        return expression.empty() && name.empty();
    if (ignoreCase) {
        for (WCHAR &c : name)
            c = RtlUpcaseUnicodeChar(c);
    }
    size_t finalDot = SIZE_MAX;
    for (size_t i = 0; i < name.size(); ++i)
        if (name[i] == L'.')
            finalDot = i;
    return ReferenceFrom(expression, 0, name, 0, finalDot);
}

struct Case {
    const wchar_t *expression;
    const wchar_t *name;
    bool ignoreCase;
    bool expected;
};

TEST_F(NameExpressionTest, DocumentedWildcardRules)
{
    const Case cases[] = {
        // Empty strings: only both empty match; "*" does not match the empty name.
        {L"", L"", false, true}, {L"*", L"", false, false}, {L"", L"A", false, false}, {L"**", L"", false, false},
        // Star and question mark take dots like any character.
        {L"*", L"a.b.c", false, true}, {L"*", L".", false, true}, {L"*.*", L"ab", false, false},
        {L"*.*", L"a.", false, true}, {L"*.*", L".a", false, true}, {L"?", L".", false, true},
        {L"???", L"ab", false, false}, {L"A*B*C", L"AXBYC", false, true}, {L"A*B*C", L"ACB", false, false},
        {L"*A", L"BBA", false, true}, {L"*A", L"AAB", false, false},
        // DOS_STAR never takes the final dot; it may cross earlier ones.
        {L"<", L"abc", false, true}, {L"<", L"a.b", false, false}, {L"<", L"a.", false, false},
        {L"<.<", L"a.b", false, true}, {L"<.<", L"ab", false, false}, {L"<.<", L"a.b.c", false, true},
        {L"<.<", L"a.", false, true}, {L"<.<", L".a", false, true}, {L"<.TXT", L"a.b.txt", true, true},
        {L"<.TXT", L"a.txt.bak", true, false}, {L"<B", L"a.b", true, false}, {L"<B", L"ab", true, true},
        {L"<<.C", L"a.b.c", true, true},
        // DOS_QM: one non-dot character, nothing at a dot or at the end.
        {L">>>", L"ab", false, true}, {L">>>", L"abc", false, true}, {L">>>", L"abcd", false, false},
        {L">", L".", false, false}, {L">>>.TXT", L"ab.txt", true, true}, {L">>>.TXT", L".txt", true, true},
        {L">>>.TXT", L"abcd.txt", true, false}, {L"A>.B", L"a.b", true, true}, {L"A>.B", L"ax.b", true, true},
        {L"A>.B", L"axx.b", true, false}, {L">B", L"b", false, false}, {L"?>", L"a.", false, false},
        // DOS_DOT: a dot, or nothing once the name is used up.
        {L"A\"", L"a", true, true}, {L"A\"", L"a.", true, true}, {L"A\"", L"ab", true, false},
        {L"A\"B", L"a.b", true, true}, {L"A\"B", L"ab", true, false}, {L"\"", L".", false, true},
        // The Win32 forms of "*.*" and "*.".
        {L"<\"*", L"abc", false, true}, {L"<\"*", L"a.b.c", false, true}, {L"<\"*", L".x", false, true},
        {L"<\"", L"abc", false, true}, {L"<\"", L"abc.txt", false, false}, {L"<\"", L"a.b.", false, true},
        // Case: the name is upcased, the expression taken as given.
        {L"ABC", L"abc", false, false}, {L"ABC", L"abc", true, true}, {L"abc", L"abc", true, false},
        {L"\u00C9T\u00C9", L"\u00E9t\u00E9", true, true}, {L"\u039C", L"\u00B5", true, true},
        {L"\u00DF", L"\u00DF", true, true}, {L"SS", L"\u00DF", true, false},
        // A name holding a wildcard character is only text.
        {L"*", L"*", false, true}, {L"A?", L"A?", false, true}, {L"A\"", L"A\"", false, false},
    };
    for (const Case &c : cases) {
        Units expression = UnitsOf(c.expression);
        Units name = UnitsOf(c.name);
        EXPECT_EQ(Matches(expression, name, c.ignoreCase), c.expected)
            << Narrow(expression) << " / " << Narrow(name) << (c.ignoreCase ? " ignoring case" : "");
        EXPECT_EQ(Reference(expression, name, c.ignoreCase), c.expected) << "reference: " << Narrow(expression);
    }
}

TEST_F(NameExpressionTest, OnlyTheCountedUnitsTakePart)
{
    Units expression = UnitsOf(L"*C");
    Units name = UnitsOf(L"ABC");
    UNICODE_STRING e = Counted(expression);
    UNICODE_STRING n = Counted(name);
    n.Length = 2 * sizeof(WCHAR);
    EXPECT_FALSE(FsRtlIsNameInExpression(&e, &n, FALSE, nullptr));
    e.Length = sizeof(WCHAR); // "*"
    EXPECT_TRUE(FsRtlIsNameInExpression(&e, &n, FALSE, nullptr));
}

TEST_F(NameExpressionTest, AgreesWithBacktrackingOnRandomExpressions)
{
    const WCHAR exprAlphabet[] = {L'A', L'B', L'.', L'*', L'?', L'<', L'>', L'"', L'a'};
    const WCHAR nameAlphabet[] = {L'a', L'A', L'b', L'.'};
    std::mt19937 random(20261207);
    for (int round = 0; round < 20000; ++round) {
        Units e(random() % 8);
        Units n(random() % 10);
        for (WCHAR &c : e)
            c = exprAlphabet[random() % std::size(exprAlphabet)];
        for (WCHAR &c : n)
            c = nameAlphabet[random() % std::size(nameAlphabet)];
        bool ignoreCase = random() % 2 == 0;
        ASSERT_EQ(Matches(e, n, ignoreCase), Reference(e, n, ignoreCase))
            << Narrow(e) << " / " << Narrow(n) << (ignoreCase ? " ignoring case" : "");
    }
}

TEST_F(NameExpressionTest, ManyStarsOverALongNameStayPolynomial)
{
    // A backtracking matcher tries every way of spreading the stars over the name.
    Units name(4000, L'a');
    for (const wchar_t *stars : {L"*a*a*a*a*a*a*a*a*a*a*a*a*b", L"<a<a<a<a<a<a<a<a<a<a<a<a<b"}) {
        Units expression = UnitsOf(stars);
        EXPECT_FALSE(Matches(expression, name, FALSE));
        name.back() = L'b';
        EXPECT_TRUE(Matches(expression, name, FALSE));
        name.back() = L'a';
    }
}

TEST_F(NameExpressionTest, IgnoringCaseUsesTheSystemTableOrTheCallersTable)
{
    // The system table is the one RtlUpcaseUnicodeChar uses, for every code unit.
    size_t disagreements = 0;
    for (uint32_t c = 1; c <= 0xFFFF; ++c) {
        if (c == L'*' || c == L'?' || c == L'<' || c == L'>' || c == L'"')
            continue;
        Units upper{RtlUpcaseUnicodeChar((WCHAR)c)};
        Units name{(WCHAR)c};
        if (!Matches(upper, name, TRUE) && ++disagreements <= 10)
            ADD_FAILURE() << "unit " << c;
    }
    EXPECT_EQ(disagreements, 0u);

    // A caller's table replaces the system's: here it folds nothing but x to Y.
    std::vector<WCHAR> table(0x10000);
    for (uint32_t c = 0; c <= 0xFFFF; ++c)
        table[c] = (WCHAR)c;
    table[L'x'] = L'Y';
    EXPECT_TRUE(Matches(UnitsOf(L"Y*"), UnitsOf(L"xa"), TRUE, table.data()));
    EXPECT_FALSE(Matches(UnitsOf(L"A*"), UnitsOf(L"ax"), TRUE, table.data()));
    EXPECT_FALSE(Matches(UnitsOf(L"Y*"), UnitsOf(L"xa"), FALSE, table.data())); // the table serves only IgnoreCase
}

TEST_F(NameExpressionTest, DissectTakesOneComponentAndPointsIntoThePath)
{
    struct Dissection {
        const wchar_t *path;
        const wchar_t *first;
        const wchar_t *remaining;
    } cases[] = {
        {L"", L"", L""},         {L"A", L"A", L""},          {L"A\\B\\C\\D\\E", L"A", L"B\\C\\D\\E"},
        {L"*A?", L"*A?", L""},   {L"\\A", L"A", L""},        {L"A[,]", L"A[,]", L""},
        {L"A\\\\B+;\\C", L"A", L"\\B+;\\C"}, {L"A\\", L"A", L""}, {L"\\", L"", L""},
        {L"\\\\A", L"", L"A"},   {L"\\AB\\C", L"AB", L"C"},
    };
    for (const Dissection &d : cases) {
        Units path = UnitsOf(d.path);
        UNICODE_STRING first = {7, 7, (PWCH)1};
        UNICODE_STRING remaining = first;
        FsRtlDissectName(Counted(path), &first, &remaining);
        EXPECT_EQ(Narrow(Units(first.Buffer, first.Buffer + first.Length / 2)), Narrow(UnitsOf(d.first)))
            << Narrow(path);
        EXPECT_EQ(Narrow(Units(remaining.Buffer, remaining.Buffer + remaining.Length / 2)),
                  Narrow(UnitsOf(d.remaining)))
            << Narrow(path);
        for (const UNICODE_STRING *part : {&first, &remaining}) {
            if (part->Length != 0) {
                EXPECT_GE(part->Buffer, path.data());
                EXPECT_LE(part->Buffer + part->Length / 2, path.data() + path.size());
            }
            EXPECT_EQ(part->MaximumLength, part->Length);
        }
    }
}

TEST_F(NameExpressionTest, WildcardsAreTheFiveCharacters)
{
    auto hasWildcards = [](const wchar_t *text) {
        Units units = UnitsOf(text);
        UNICODE_STRING s = Counted(units);
        return FsRtlDoesNameContainWildCards(&s) != FALSE;
    };
    for (const wchar_t *name : {L"*", L"a?", L"<b", L"c>d", L"e\"", L"..\"\""})
        EXPECT_TRUE(hasWildcards(name)) << Narrow(UnitsOf(name));
    for (const wchar_t *name : {L"", L"plain.txt", L"[]|:+;,=", L"\\dir\\file"})
        EXPECT_FALSE(hasWildcards(name)) << Narrow(UnitsOf(name));
    Units tail = UnitsOf(L"name*");
    UNICODE_STRING s = Counted(tail);
    s.Length -= sizeof(WCHAR); // the star lies beyond the counted units
    EXPECT_FALSE(FsRtlDoesNameContainWildCards(&s));
}

using NameExpressionDeathTest = MachineTest;

TEST_F(NameExpressionDeathTest, RoutinesRefuseDispatchLevel)
{
    Units text = UnitsOf(L"A");
    UNICODE_STRING s = Counted(text);
    UNICODE_STRING first, remaining;
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    EXPECT_BUGCHECK(FsRtlIsNameInExpression(&s, &s, FALSE, nullptr), IRQL_NOT_LESS_OR_EQUAL);
    EXPECT_BUGCHECK(FsRtlDoesNameContainWildCards(&s), IRQL_NOT_LESS_OR_EQUAL);
    EXPECT_BUGCHECK(FsRtlDissectName(s, &first, &remaining), IRQL_NOT_LESS_OR_EQUAL);
    KeLowerIrql(irql);
}

} // namespace
