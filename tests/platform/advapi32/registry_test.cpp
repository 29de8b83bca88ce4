/*
 * The registry API through a host: keys opened, values set, queried, enumerated
 * and deleted by a client process, with Win32's buffer rules.
 */
#include "test_host.h"

#include <winreg.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

class Registry : public testhost::TestHost {
protected:
    void SetUp() override
    {
        TestHost::SetUp();
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\RegistryTest", 0, nullptr,
                                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key_, nullptr));
    }
    void TearDown() override
    {
        if (key_ != nullptr) {
            EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key_));
        }
        TestHost::TearDown();
    }
    void SetBinary(const WCHAR *name, size_t bytes, BYTE fill)
    {
        std::vector<BYTE> data(bytes, fill);
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key_, name, 0, REG_BINARY, data.data(), (DWORD)bytes));
    }
    HKEY key_ = nullptr;
};

bool SameText(const WCHAR *a, const WCHAR *b)
{
    size_t length = 0;
    while (a[length] != 0 && a[length] == b[length])
        ++length;
    return a[length] == b[length];
}

TEST_F(Registry, EnumerationSkipsAValueTooLargeForTheBufferAndGoesOn)
{
    SetBinary(L"small", 16, 0x11);
    SetBinary(L"large", 200, 0x22);
    SetBinary(L"last", 8, 0x33);

    WCHAR name[256];
    BYTE data[128];
    DWORD units, bytes, type;
    auto enumerate = [&](DWORD index) {
        units = 256;
        bytes = sizeof(data);
        type = 0;
        return RegEnumValueW(key_, index, name, &units, nullptr, &type, data, &bytes);
    };
    ASSERT_EQ(ERROR_SUCCESS, enumerate(0));
    EXPECT_TRUE(SameText(name, L"small"));
    EXPECT_EQ(5u, units);
    EXPECT_EQ((DWORD)REG_BINARY, type);
    EXPECT_EQ(16u, bytes);
    EXPECT_EQ(0x11, data[15]);

    // Too large for 128 bytes: the size it needs, and the next index still answers.
    EXPECT_EQ(ERROR_MORE_DATA, enumerate(1));
    EXPECT_EQ(200u, bytes);
    ASSERT_EQ(ERROR_SUCCESS, enumerate(2));
    EXPECT_TRUE(SameText(name, L"last"));
    EXPECT_EQ(8u, bytes);
    EXPECT_EQ(ERROR_NO_MORE_ITEMS, enumerate(3));

    // A name buffer without room for the terminator is too small as well.
    units = 4;
    EXPECT_EQ(ERROR_MORE_DATA, RegEnumValueW(key_, 0, name, &units, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(Registry, DeletedValuesAndMissingKeysAreNotFound)
{
    SetBinary(L"gone", 4, 0x44);
    DWORD bytes = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegQueryValueExW(key_, L"gone", nullptr, nullptr, nullptr, &bytes));
    EXPECT_EQ(4u, bytes);
    BYTE tiny[2];
    bytes = sizeof(tiny);
    EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExW(key_, L"gone", nullptr, nullptr, tiny, &bytes));
    EXPECT_EQ(4u, bytes);

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteValueW(key_, L"gone"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegDeleteValueW(key_, L"gone"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key_, L"gone", nullptr, nullptr, nullptr, &bytes));

    HKEY missing = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\NoSuchKey", 0, KEY_READ, &missing));
    EXPECT_EQ(nullptr, missing);
}

TEST_F(Registry, KeysAreCreatedOnceDeletedAndClosedOnce)
{
    HKEY child = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key_, L"child", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                             nullptr, &child, &disposition));
    EXPECT_EQ((DWORD)REG_CREATED_NEW_KEY, disposition);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(child));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegCloseKey(child));

    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(key_, L"child", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                             nullptr, &child, &disposition));
    EXPECT_EQ((DWORD)REG_OPENED_EXISTING_KEY, disposition);
    EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(child));

    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyW(key_, L"child"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExW(key_, L"child", 0, KEY_READ, &child));
}

TEST_F(Registry, BadArgumentsChangeNothing)
{
    DWORD value = 7;
    EXPECT_EQ(ERROR_INVALID_PARAMETER,
              RegSetValueExW(key_, L"v", 1, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof(value)));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegSetValueExW(key_, L"v", 0, REG_DWORD, nullptr, 4));
    EXPECT_EQ(ERROR_INVALID_HANDLE, RegSetValueExW(reinterpret_cast<HKEY>(&value), L"v", 0, REG_DWORD,
                                                   reinterpret_cast<const BYTE *>(&value), sizeof(value)));
    DWORD bytes = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegQueryValueExW(key_, L"v", nullptr, nullptr, nullptr, &bytes));
}

} // namespace
