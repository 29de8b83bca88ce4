/*
 * The registry's native calls from a client process: carried with their arguments,
 * every pointer held to the client's user space, and HKLM's writes kept for
 * administrators.
 */
#include "transport_test.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace transporttest;
using transport::CallNumber;

/* What the tests stage in the client's user space. */
struct KeyBlock {
    HANDLE handle;
    ULONG disposition;
    ULONG resultLength;
    UNICODE_STRING valueName;
    WCHAR valueText[8];
    ULONG data;
    uint8_t record[256];
};

class RegistryCalls : public testhost::TestHost {
protected:
    void SetUp() override
    {
        TestHost::SetUp();
        client_ = std::make_unique<transport::Client>(socketPath_);
        ASSERT_EQ(transport::kStatusSuccess, client_->Connect());
        b = Stage<KeyBlock>(*client_);
        name = StageName(*client_, "\\Registry\\Machine\\System\\CallsTest");
        ASSERT_TRUE(b != nullptr && name != nullptr);
        b->valueText[0] = L'v';
        b->valueName.Buffer = b->valueText;
        b->valueName.Length = b->valueName.MaximumLength = sizeof(WCHAR);
    }
    void TearDown() override
    {
        client_.reset();
        TestHost::TearDown();
    }
    template <typename... Arguments>
    NTSTATUS Call(CallNumber number, Arguments... arguments)
    {
        return Native(*client_, number, arguments...);
    }
    std::unique_ptr<transport::Client> client_;
    KeyBlock *b = nullptr;
    StagedName *name = nullptr;
};

TEST_F(RegistryCalls, AKeyIsCreatedWrittenReadAndDeletedThroughTheHost)
{
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtCreateKey, &b->handle, KEY_ALL_ACCESS, &name->attributes, 0u,
                                   nullptr, 0u, &b->disposition));
    EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, b->disposition);
    HANDLE key = b->handle;
    b->data = 0x12345678;
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtSetValueKey, key, &b->valueName, 0u, (ULONG)REG_DWORD, &b->data,
                                   (ULONG)sizeof(b->data)));
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtQueryValueKey, key, &b->valueName, KeyValuePartialInformation,
                                   b->record, (ULONG)sizeof(b->record), &b->resultLength));
    auto *partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(b->record);
    EXPECT_EQ((ULONG)REG_DWORD, partial->Type);
    EXPECT_EQ(0x12345678u, *reinterpret_cast<ULONG *>(partial->Data));
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtEnumerateValueKey, key, 0u, KeyValueBasicInformation, b->record,
                                   (ULONG)sizeof(b->record), &b->resultLength));
    EXPECT_EQ(STATUS_NO_MORE_ENTRIES, Call(CallNumber::NtEnumerateValueKey, key, 1u, KeyValueBasicInformation,
                                           b->record, (ULONG)sizeof(b->record), &b->resultLength));
    EXPECT_EQ(STATUS_SUCCESS, Call(CallNumber::NtDeleteValueKey, key, &b->valueName));
    EXPECT_EQ(STATUS_SUCCESS, Call(CallNumber::NtDeleteKey, key));
    EXPECT_EQ(STATUS_SUCCESS, Call(CallNumber::NtClose, key));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Call(CallNumber::NtOpenKey, &b->handle, KEY_READ, &name->attributes));
}

TEST_F(RegistryCalls, PointersOutsideTheUserSpaceAreAccessViolations)
{
    ASSERT_EQ(STATUS_SUCCESS, Call(CallNumber::NtCreateKey, &b->handle, KEY_ALL_ACCESS, &name->attributes, 0u,
                                   nullptr, 0u, nullptr));
    HANDLE key = b->handle;
    uint8_t hostMemory[64] = {};
    auto *outside = reinterpret_cast<UNICODE_STRING *>(hostMemory);
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, Call(CallNumber::NtOpenKey, &b->handle, KEY_READ, outside));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, Call(CallNumber::NtOpenKey, hostMemory, KEY_READ, &name->attributes));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, Call(CallNumber::NtSetValueKey, key, outside, 0u, (ULONG)REG_DWORD, &b->data,
                                            (ULONG)sizeof(b->data)));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, Call(CallNumber::NtSetValueKey, key, &b->valueName, 0u, (ULONG)REG_BINARY,
                                            hostMemory, (ULONG)sizeof(hostMemory)));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, Call(CallNumber::NtQueryValueKey, key, &b->valueName,
                                            KeyValuePartialInformation, hostMemory, (ULONG)sizeof(hostMemory),
                                            &b->resultLength));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, Call(CallNumber::NtEnumerateKey, key, 0u, KeyBasicInformation, b->record,
                                            (ULONG)sizeof(b->record), hostMemory));
    // A name whose text lies outside, behind a header inside.
    b->valueName.Buffer = reinterpret_cast<PWCH>(hostMemory);
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, Call(CallNumber::NtDeleteValueKey, key, &b->valueName));
    EXPECT_TRUE(std::all_of(hostMemory, hostMemory + sizeof(hostMemory), [](uint8_t c) { return c == 0; }));
    EXPECT_EQ(STATUS_SUCCESS, Call(CallNumber::NtDeleteKey, key));
    EXPECT_EQ(STATUS_SUCCESS, Call(CallNumber::NtClose, key));
}

} // namespace
