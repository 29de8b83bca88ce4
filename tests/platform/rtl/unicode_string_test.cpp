/*
 * Counted-string routines of the kernel's run-time library: initialisation
 * limits, copy and append edge cases, and allocation through the pool.
 */
#include "../crt/utf16_text.h"
#include "machine_test.h"

#include <ntstatus.h>
#include <km/pool.h>
#include <km/rtl.h>

#include <vector>

namespace {

constexpr uint32_t kStringTag = POOL_TAG('S', 't', 'r', 'g');

TEST(UnicodeStringInit, NullSourceAndLengthLimits)
{
    UNICODE_STRING s = {2, 2, (PWCH)L"x"};
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);

    RtlInitUnicodeString(&s, L"abc");
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(s.MaximumLength, 8);

    // Longer than a counted string can describe: clamped, and refused by the Ex form.
    std::vector<wchar_t> huge(40000, L'a');
    huge.back() = 0;
    RtlInitUnicodeString(&s, huge.data());
    EXPECT_EQ(s.Length, 0xFFFC);
    EXPECT_EQ(s.MaximumLength, 0xFFFE);
    UNICODE_STRING untouched = {0, 0, nullptr};
    EXPECT_EQ(RtlInitUnicodeStringEx(&untouched, huge.data()), STATUS_NAME_TOO_LONG);
    EXPECT_EQ(untouched.Buffer, nullptr);
    huge[32766] = 0; // 0xFFFC bytes: still fits
    EXPECT_EQ(RtlInitUnicodeStringEx(&s, huge.data()), STATUS_SUCCESS);
    EXPECT_EQ(s.Length, 0xFFFC);

    std::vector<char> narrow(70000, 'n');
    narrow.back() = 0;
    ANSI_STRING a;
    RtlInitAnsiString(&a, narrow.data());
    EXPECT_EQ(a.Length, 0xFFFE);
    EXPECT_EQ(a.MaximumLength, 0xFFFF);
    RtlInitString(&a, "hi");
    EXPECT_EQ(a.Length, 2);
    EXPECT_EQ(a.MaximumLength, 3);
}

TEST(UnicodeStringCopy, TruncatesToTheDestinationAndTerminatesOnlyWithRoom)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"abcdef");
    std::vector<wchar_t> storage(4, L'#'); // exact heap size: a write past it is caught
    UNICODE_STRING d = {0, 4 * sizeof(WCHAR), storage.data()};
    RtlCopyUnicodeString(&d, &source);
    EXPECT_EQ(Utf8(d), "abcd");

    std::vector<wchar_t> roomy(8, L'#');
    UNICODE_STRING r = {0, 8 * sizeof(WCHAR), roomy.data()};
    RtlCopyUnicodeString(&r, &source);
    EXPECT_EQ(Utf8(r), "abcdef");
    EXPECT_EQ(roomy[6], L'\0');
    EXPECT_EQ(roomy[7], L'#');

    RtlCopyUnicodeString(&r, nullptr);
    EXPECT_EQ(r.Length, 0);
}

TEST(UnicodeStringAppend, RefusesWhatDoesNotFitAndChangesNothing)
{
    std::vector<wchar_t> storage(5, L'#');
    UNICODE_STRING d = {0, 5 * sizeof(WCHAR), storage.data()};
    EXPECT_EQ(RtlAppendUnicodeToString(&d, L"ab"), STATUS_SUCCESS);
    EXPECT_EQ(storage[2], L'\0'); // terminated: there was room
    EXPECT_EQ(RtlAppendUnicodeToString(&d, L"cdef"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Utf8(d), "ab");
    EXPECT_EQ(storage[3], L'#');
    EXPECT_EQ(RtlAppendUnicodeToString(&d, nullptr), STATUS_SUCCESS);

    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, L"cde");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &tail), STATUS_SUCCESS); // fills exactly, no terminator
    EXPECT_EQ(Utf8(d), "abcde");
    EXPECT_EQ(d.Length, d.MaximumLength);
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &tail), STATUS_BUFFER_TOO_SMALL);
    UNICODE_STRING empty = {0, 0, nullptr};
    EXPECT_EQ(RtlAppendUnicodeStringToString(&d, &empty), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(d), "abcde");
}

class UnicodeStringAllocation : public MachineTest {};

TEST_F(UnicodeStringAllocation, UpcaseIntoCallerBufferOrNewPoolBlock)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"stra\u00DFe \u00E4\u03C3\u0436 \U0001F600");

    std::vector<wchar_t> small(4, L'#');
    UNICODE_STRING tooSmall = {0, 4 * sizeof(WCHAR), small.data()};
    EXPECT_EQ(RtlUpcaseUnicodeString(&tooSmall, &source, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tooSmall.Length, 0);
    EXPECT_EQ(small[0], L'#');

    UNICODE_STRING upper = {};
    ASSERT_EQ(RtlUpcaseUnicodeString(&upper, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(upper), "STRA\xC3\x9F" "E \xC3\x84\xCE\xA3\xD0\x96 \xF0\x9F\x98\x80");
    EXPECT_EQ(upper.MaximumLength, source.Length);
    EXPECT_EQ(machine::PoolTag(kStringTag).liveBlocks, 1u);

    UNICODE_STRING lower = {};
    ASSERT_EQ(RtlDowncaseUnicodeString(&lower, &upper, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(lower), "stra\xC3\x9F" "e \xC3\xA4\xCF\x83\xD0\xB6 \xF0\x9F\x98\x80");

    // In place: source and destination are the same string.
    EXPECT_EQ(RtlUpcaseUnicodeString(&lower, &lower, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(lower), Utf8(upper));

    RtlFreeUnicodeString(&upper);
    RtlFreeUnicodeString(&lower);
    EXPECT_EQ(upper.Buffer, nullptr);
    EXPECT_EQ(upper.Length, 0);
    EXPECT_EQ(upper.MaximumLength, 0);
    EXPECT_EQ(machine::PoolTag(kStringTag).liveBlocks, 0u);
}

TEST_F(UnicodeStringAllocation, FailedAllocationLeavesTheDestinationAlone)
{
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, L"abc");
    UNICODE_STRING d = {0, 0, nullptr};
    machine::ArmPoolFault(1, kStringTag);
    EXPECT_EQ(RtlUpcaseUnicodeString(&d, &source, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(d.Buffer, nullptr);
    machine::ArmPoolFault(1, kStringTag);
    EXPECT_FALSE(RtlCreateUnicodeString(&d, L"abc"));
    machine::ArmPoolFault(1, kStringTag);
    GUID id = {};
    EXPECT_EQ(RtlStringFromGUID(id, &d), STATUS_NO_MEMORY);
    machine::DisarmFaults();
    EXPECT_EQ(d.Buffer, nullptr);
}

TEST_F(UnicodeStringAllocation, CreateAndGuidText)
{
    UNICODE_STRING created;
    ASSERT_TRUE(RtlCreateUnicodeString(&created, L"\\Device\\Vorel"));
    EXPECT_EQ(Utf8(created), "\\Device\\Vorel");
    EXPECT_EQ(created.MaximumLength, created.Length + sizeof(WCHAR));
    EXPECT_EQ(created.Buffer[created.Length / sizeof(WCHAR)], L'\0');
    RtlFreeUnicodeString(&created);

    GUID id = {0x6B29FC40, 0xCA47, 0x1067, {0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}};
    UNICODE_STRING text;
    ASSERT_EQ(RtlStringFromGUID(id, &text), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(text), "{6B29FC40-CA47-1067-B31D-00DD010662DA}");
    EXPECT_EQ(text.Length, 76);
    EXPECT_EQ(text.MaximumLength, 78);
    EXPECT_EQ(text.Buffer[38], L'\0');
    RtlFreeUnicodeString(&text);
}

TEST(IntegerText, ToUnicodeStringBasesAndRoom)
{
    std::vector<wchar_t> storage(8, L'#');
    UNICODE_STRING s = {0, 8 * sizeof(WCHAR), storage.data()};
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "FF");
    EXPECT_EQ(storage[2], L'\0');
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "101");
    EXPECT_EQ(RtlIntegerToUnicodeString(4294967295u, 0, &s), STATUS_BUFFER_OVERFLOW); // ten digits
    EXPECT_EQ(Utf8(s), "101");
    EXPECT_EQ(RtlIntegerToUnicodeString(8, 8, &s), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "10");
    EXPECT_EQ(RtlIntegerToUnicodeString(1, 7, &s), STATUS_INVALID_PARAMETER);

    s.MaximumLength = 3 * sizeof(WCHAR); // "123" leaves no room for the terminator
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &s), STATUS_BUFFER_OVERFLOW);
    s.MaximumLength = 4 * sizeof(WCHAR);
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &s), STATUS_SUCCESS);
    EXPECT_EQ(Utf8(s), "123");
}

TEST(IntegerText, FromUnicodeString)
{
    struct Case {
        const wchar_t *text;
        ULONG base;
        ULONG value;
    };
    // Microsoft's documented examples, then the prefixes of base 0.
    const Case cases[] = {
        {L"123", 10, 123},        {L"  -345", 10, (ULONG)-345}, {L"xyz", 10, 0},     {L"   +678abc", 10, 678},
        {L"   +678abc", 16, 6785724}, {L"007", 10, 7},          {L"789", 8, 7},      {L"FGH", 16, 15},
        {L"      ", 10, 0},       {L"0x1F", 0, 31},             {L"0o17", 0, 15},    {L"0b101", 0, 5},
        {L"019", 0, 19},          {L"-1", 0, 0xFFFFFFFF},       {L"4294967296", 10, 0}, // wraps as a ULONG
    };
    for (const Case &c : cases) {
        UNICODE_STRING s;
        RtlInitUnicodeString(&s, c.text);
        ULONG value = 12345;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), STATUS_SUCCESS) << Utf8(c.text);
        EXPECT_EQ(value, c.value) << Utf8(c.text) << " base " << c.base;
    }

    wchar_t digits[] = {L'1', L'2', L'3'};
    UNICODE_STRING counted = {2 * sizeof(WCHAR), sizeof(digits), digits}; // "12", then a 3 outside Length
    ULONG value = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&counted, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 12u);

    UNICODE_STRING empty = {0, 0, nullptr};
    EXPECT_EQ(RtlUnicodeStringToInteger(&empty, 10, &value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringToInteger(&counted, 3, &value), STATUS_INVALID_PARAMETER);
}

} // namespace
