/*
 * Registry values: byte-exact data, the default value, order, deletes and the
 * buffer rules of ZwQueryValueKey and ZwEnumerateValueKey.
 */
#include "cm_test.h"

#include <cstring>

namespace {

class RegistryValueTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_EQ(CreateKey(key_, SERVICES u"\\vorel"), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        key_.Close();
        MachineTest::TearDown();
    }
    Key key_;
};

TEST_F(RegistryValueTest, DataIsStoredByteExactWhateverTheType)
{
    const WCHAR label[] = L"RAM\0disk";                    /* embedded NUL, terminator included */
    const WCHAR folders[] = L"Temp\0Cache\0\0";            /* REG_MULTI_SZ */
    const uint8_t odd[] = {1, 2, 3};                       /* odd length in a string type */
    ULONGLONG size = 0x123456789ABCull;
    ASSERT_EQ(SetValue(key_.get(), u"Label", REG_SZ, label, sizeof(label)), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key_.get(), u"InitialFolders", REG_MULTI_SZ, folders, sizeof(folders)), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key_.get(), u"Odd", REG_SZ, odd, sizeof(odd)), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key_.get(), u"SizeBytes", REG_QWORD, &size, sizeof(size)), STATUS_SUCCESS);
    ASSERT_EQ(SetValue(key_.get(), u"Custom", 0xFF00FF00, nullptr, 0), STATUS_SUCCESS) << "no data at all";
    ASSERT_EQ(SetValue(key_.get(), u"", REG_DWORD, &size, 4), STATUS_SUCCESS) << "the default value";

    ValueData value = QueryValue(key_.get(), u"label");
    EXPECT_EQ(value.type, (ULONG)REG_SZ);
    EXPECT_EQ(value.data, std::vector<uint8_t>((const uint8_t *)label, (const uint8_t *)label + sizeof(label)));
    value = QueryValue(key_.get(), u"InitialFolders");
    EXPECT_EQ(value.type, (ULONG)REG_MULTI_SZ);
    EXPECT_EQ(value.data.size(), sizeof(folders));
    EXPECT_EQ(std::memcmp(value.data.data(), folders, sizeof(folders)), 0);
    EXPECT_EQ(QueryValue(key_.get(), u"Odd").data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(QueryValue(key_.get(), u"SizeBytes").data,
              (std::vector<uint8_t>{0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12, 0, 0}));
    value = QueryValue(key_.get(), u"Custom");
    EXPECT_EQ(value.status, STATUS_SUCCESS);
    EXPECT_EQ(value.type, 0xFF00FF00u);
    EXPECT_TRUE(value.data.empty());
    EXPECT_EQ(QueryValue(key_.get(), u"").data.size(), 4u);
    EXPECT_EQ(QueryValue(key_.get(), u"Missing").status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryValueTest, ValuesKeepInsertionOrderAndIndicesShiftAfterADelete)
{
    for (const char16_t *name : {u"Zeta", u"alpha", u"Mid", u"Beta"})
        ASSERT_EQ(SetDword(key_.get(), name, 1), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(key_.get(), u"ALPHA", 2), STATUS_SUCCESS);
    EXPECT_EQ(ValueNames(key_.get()), (std::vector<std::string>{"Zeta", "alpha", "Mid", "Beta"}))
        << "an overwritten value keeps its place and the spelling of its name";
    EXPECT_EQ(QueryValue(key_.get(), u"alpha").data, (std::vector<uint8_t>{2, 0, 0, 0}));

    ASSERT_EQ(ZwDeleteValueKey(key_.get(), Name(u"ALPHA")), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key_.get(), Name(u"alpha")), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ValueNames(key_.get()), (std::vector<std::string>{"Zeta", "Mid", "Beta"}));
    alignas(8) uint8_t buffer[64];
    ULONG length = 0xDEAD;
    EXPECT_EQ(ZwEnumerateValueKey(key_.get(), 3, KeyValueBasicInformation, buffer, sizeof(buffer), &length),
              STATUS_NO_MORE_ENTRIES);

    // The collect-then-delete pattern: deleting index 0 each time empties the key.
    while (ZwEnumerateValueKey(key_.get(), 0, KeyValueBasicInformation, buffer, sizeof(buffer), &length) ==
           STATUS_SUCCESS) {
        auto info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
        std::u16string name((const char16_t *)info->Name, info->NameLength / 2);
        ASSERT_EQ(ZwDeleteValueKey(key_.get(), Name(name)), STATUS_SUCCESS);
    }
    EXPECT_TRUE(ValueNames(key_.get()).empty());
}

/*
 * For every class: below the fixed part nothing is written (STATUS_BUFFER_TOO_SMALL);
 * from the fixed part up the buffer gets what fits (STATUS_BUFFER_OVERFLOW); the
 * result length is always the full size; nothing beyond Length is ever touched.
 */
TEST_F(RegistryValueTest, QueryBufferRulesHoldForEveryClass)
{
    const WCHAR data[] = L"0123456789";
    ASSERT_EQ(SetValue(key_.get(), u"Lbl", REG_SZ, data, sizeof(data)), STATUS_SUCCESS); /* 22 bytes */
    const ULONG nameBytes = 6;
    struct Case {
        KEY_VALUE_INFORMATION_CLASS infoClass;
        ULONG fixed;
        ULONG full;
    } cases[] = {
        {KeyValueBasicInformation, 12, 12 + nameBytes},
        {KeyValuePartialInformation, 12, 12 + sizeof(data)},
        {KeyValuePartialInformationAlign64, 8, 8 + sizeof(data)},
        {KeyValueFullInformation, 20, 28 + sizeof(data)},        /* data at 20 + 6 rounded up to 4 */
        {KeyValueFullInformationAlign64, 20, 32 + sizeof(data)}, /* ... rounded up to 8 */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "class " << (int)c.infoClass);
        alignas(8) uint8_t buffer[128];
        for (ULONG length : {0u, c.fixed - 1, c.fixed, c.full - 1, c.full}) {
            std::memset(buffer, 0xBD, sizeof(buffer));
            ULONG result = 0;
            NTSTATUS status = ZwQueryValueKey(key_.get(), Name(u"LBL"), c.infoClass, buffer, length, &result);
            EXPECT_EQ(result, c.full) << "length " << length;
            EXPECT_EQ(status, length < c.fixed  ? STATUS_BUFFER_TOO_SMALL
                              : length < c.full ? STATUS_BUFFER_OVERFLOW
                                                : STATUS_SUCCESS)
                << "length " << length;
            ULONG written = length < c.fixed ? 0 : length;
            EXPECT_EQ(buffer[written], 0xBD) << "a byte past the buffer was written, length " << length;
            if (length >= c.fixed && c.infoClass == KeyValuePartialInformation) {
                auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
                EXPECT_EQ(info->Type, (ULONG)REG_SZ);
                EXPECT_EQ(info->DataLength, sizeof(data));
            }
            if (length == c.full && c.fixed == 20) {
                auto info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
                EXPECT_EQ(info->DataOffset, c.full - sizeof(data));
                EXPECT_EQ(std::memcmp(buffer + info->DataOffset, data, sizeof(data)), 0);
                EXPECT_EQ(Ascii(info->Name, info->NameLength), "Lbl");
            }
        }
    }
    ULONG result;
    EXPECT_EQ(ZwQueryValueKey(key_.get(), Name(u"Lbl"), KeyValueLayerInformation, nullptr, 0, &result),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(ZwQueryValueKey(key_.get(), Name(u"Lbl"), (KEY_VALUE_INFORMATION_CLASS)99, nullptr, 0, &result),
              STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryValueTest, ValueNamesLongerThan16383CharactersAreRefused)
{
    std::u16string longest(16383, u'v'), tooLong(16384, u'v');
    ULONG one = 1;
    EXPECT_EQ(ZwSetValueKey(key_.get(), Name(tooLong), 0, REG_DWORD, &one, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwSetValueKey(key_.get(), Name(longest), 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    ULONG length;
    EXPECT_EQ(ZwQueryValueKey(key_.get(), Name(longest), KeyValueBasicInformation, nullptr, 0, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 12u + 2 * 16383);
}

} // namespace
