/*
 * Registry keys: the predefined tree, create and open, names, volatile keys,
 * deletion and enumeration order.
 */
#include "cm_test.h"

namespace {

using RegistryKeyTest = MachineTest;

TEST_F(RegistryKeyTest, BootsWithThePredefinedKeys)
{
    for (const char16_t *path : {u"\\Registry", u"\\Registry\\Machine", u"\\Registry\\Machine\\System",
                                 u"\\Registry\\Machine\\System\\CurrentControlSet", SERVICES,
                                 u"\\Registry\\Machine\\Software", u"\\Registry\\User"}) {
        Key key;
        EXPECT_EQ(OpenKey(key, path), STATUS_SUCCESS) << std::string(path, path + std::char_traits<char16_t>::length(path));
    }
    Key machine;
    ASSERT_EQ(OpenKey(machine, u"\\Registry\\Machine"), STATUS_SUCCESS);
    EXPECT_EQ(SubkeyNames(machine.get()), (std::vector<std::string>{"SOFTWARE", "SYSTEM"}));
    EXPECT_EQ(ZwDeleteKey(machine.get()), STATUS_CANNOT_DELETE);
}

TEST_F(RegistryKeyTest, CreateReportsDispositionAndNamesAreCaseInsensitiveButPreserved)
{
    Key first, second, opened;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(first, SERVICES u"\\VoRel", REG_OPTION_NON_VOLATILE, nullptr, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ASSERT_EQ(CreateKey(second, u"\\REGISTRY\\MACHINE\\SYSTEM\\currentcontrolset\\SERVICES\\VOREL",
                        REG_OPTION_VOLATILE, nullptr, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    ASSERT_EQ(OpenKey(opened, u"vorel"), STATUS_OBJECT_PATH_SYNTAX_BAD)
        << "an absolute name must begin with a separator";

    ASSERT_EQ(SetDword(second.get(), u"Flags", 7), STATUS_SUCCESS);
    EXPECT_EQ(QueryValue(first.get(), u"FLAGS").data, (std::vector<uint8_t>{7, 0, 0, 0})) << "both handles, one key";

    Key services;
    ASSERT_EQ(OpenKey(services, SERVICES), STATUS_SUCCESS);
    EXPECT_EQ(SubkeyNames(services.get()), std::vector<std::string>{"VoRel"});
    ASSERT_EQ(CreateKey(opened, u"Parameters\\", REG_OPTION_VOLATILE, first.get()), STATUS_SUCCESS)
        << "one trailing separator is accepted";
    Key reopened, child;
    ASSERT_EQ(CreateKey(reopened, u"parameters", REG_OPTION_NON_VOLATILE, first.get(), &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(CreateKey(child, u"x", REG_OPTION_NON_VOLATILE, reopened.get()), STATUS_CHILD_MUST_BE_VOLATILE)
        << "opening an existing key with other options leaves it volatile";
}

TEST_F(RegistryKeyTest, CreateMakesOnlyTheLastComponentAndOpenNeverCreates)
{
    Key key, services;
    ASSERT_EQ(OpenKey(services, SERVICES), STATUS_SUCCESS);
    EXPECT_EQ(CreateKey(key, u"vorel\\Parameters", REG_OPTION_NON_VOLATILE, services.get()),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKey(key, u"vorel", services.get()), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key.get(), nullptr) << "a failed open leaves no handle";
    EXPECT_TRUE(SubkeyNames(services.get()).empty());

    ASSERT_EQ(OpenKey(key, u"", services.get()), STATUS_SUCCESS) << "an empty relative name opens the root key";
    EXPECT_EQ(OpenKey(key, u"\\vorel", services.get()), STATUS_OBJECT_PATH_SYNTAX_BAD);
}

TEST_F(RegistryKeyTest, InvalidNamesAreRefusedWithoutAnyChange)
{
    Key services;
    ASSERT_EQ(OpenKey(services, SERVICES), STATUS_SUCCESS);
    std::u16string component256(256, u'n'), component257(257, u'n');
    struct Case {
        std::u16string name;
        NTSTATUS status;
    } cases[] = {
        {u"", STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\", STATUS_OBJECT_TYPE_MISMATCH},
        {u"\\\\Registry", STATUS_OBJECT_NAME_INVALID},
        {u"\\Foobar", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Foobar\\Machine", STATUS_OBJECT_PATH_NOT_FOUND},
        {SERVICES u"\\\\a", STATUS_OBJECT_NAME_INVALID},
        {SERVICES u"\\a\\\\", STATUS_OBJECT_NAME_INVALID},
        {SERVICES u"\\" + component257, STATUS_INVALID_PARAMETER},
    };
    for (auto &c : cases) {
        Key key;
        EXPECT_EQ(CreateKey(key, c.name.c_str()), c.status) << std::string(c.name.begin(), c.name.end());
    }
    EXPECT_TRUE(SubkeyNames(services.get()).empty());

    Key key;
    Name odd(SERVICES u"\\a");
    PUNICODE_STRING oddName = odd;
    oddName->Length -= 1;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, oddName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    EXPECT_EQ(ZwCreateKey(key.out(), KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr), STATUS_OBJECT_NAME_INVALID);
    Name valid(SERVICES u"\\a");
    attributes.ObjectName = valid;
    attributes.Length = sizeof(attributes) + 8;
    EXPECT_EQ(ZwCreateKey(key.out(), KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(SubkeyNames(services.get()).empty());

    EXPECT_EQ(CreateKey(key, SERVICES u"\\a", 0x80), STATUS_INVALID_PARAMETER) << "an undefined create option";
    EXPECT_EQ(CreateKey(key, component256.c_str(), REG_OPTION_NON_VOLATILE, services.get()), STATUS_SUCCESS)
        << "256 characters is the longest component";
    EXPECT_EQ(ZwDeleteKey(key.get()), STATUS_SUCCESS);
}

TEST_F(RegistryKeyTest, VolatileKeysTakeOnlyVolatileChildren)
{
    Key parent, child;
    ASSERT_EQ(CreateKey(parent, SERVICES u"\\vorel", REG_OPTION_VOLATILE), STATUS_SUCCESS);
    EXPECT_EQ(CreateKey(child, u"Stable", REG_OPTION_NON_VOLATILE, parent.get()), STATUS_CHILD_MUST_BE_VOLATILE);
    EXPECT_TRUE(SubkeyNames(parent.get()).empty());
    EXPECT_EQ(CreateKey(child, u"Statistics", REG_OPTION_VOLATILE, parent.get()), STATUS_SUCCESS);
}

TEST_F(RegistryKeyTest, DeleteRefusesKeysWithSubkeysAndLeavesHandlesOnADeletedKey)
{
    Key parent, child, second;
    ASSERT_EQ(CreateKey(parent, SERVICES u"\\vorel"), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(child, u"Parameters", REG_OPTION_NON_VOLATILE, parent.get()), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(second, u"Parameters", parent.get()), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(child.get(), u"Flags", 1), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent.get()), STATUS_CANNOT_DELETE);

    ASSERT_EQ(ZwDeleteKey(child.get()), STATUS_SUCCESS);
    uint8_t buffer[256];
    ULONG length;
    Key sub;
    EXPECT_EQ(ZwDeleteKey(child.get()), STATUS_KEY_DELETED);
    EXPECT_EQ(SetDword(second.get(), u"Flags", 2), STATUS_KEY_DELETED) << "every handle to the key sees it deleted";
    EXPECT_EQ(QueryValue(second.get(), u"Flags").status, STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteValueKey(second.get(), Name(u"Flags")), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwEnumerateValueKey(second.get(), 0, KeyValueBasicInformation, buffer, sizeof(buffer), &length),
              STATUS_KEY_DELETED);
    EXPECT_EQ(ZwEnumerateKey(second.get(), 0, KeyBasicInformation, buffer, sizeof(buffer), &length),
              STATUS_KEY_DELETED);
    EXPECT_EQ(ZwQueryKey(second.get(), KeyNameInformation, buffer, sizeof(buffer), &length), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwFlushKey(second.get()), STATUS_KEY_DELETED);
    EXPECT_EQ(CreateKey(sub, u"Sub", REG_OPTION_NON_VOLATILE, second.get()), STATUS_KEY_DELETED);

    Key again;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(again, u"Parameters", REG_OPTION_NON_VOLATILE, parent.get(), &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY) << "the name is free as soon as the key is deleted";
    EXPECT_EQ(QueryValue(again.get(), u"Flags").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwDeleteKey(parent.get()), STATUS_CANNOT_DELETE);
    EXPECT_EQ(ZwDeleteKey(again.get()), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent.get()), STATUS_SUCCESS) << "a deleted key no longer counts as a subkey";
}

TEST_F(RegistryKeyTest, SubkeysEnumerateInUpcasedOrderAndIndicesShiftAfterADelete)
{
    Key root;
    ASSERT_EQ(CreateKey(root, SERVICES u"\\vorel"), STATUS_SUCCESS);
    for (const char16_t *name : {u"beta", u"a_b", u"Gamma", u"AB", u"alpha"}) {
        Key key;
        ASSERT_EQ(CreateKey(key, name, REG_OPTION_NON_VOLATILE, root.get()), STATUS_SUCCESS);
    }
    // Upcased, "A_B" sorts after "AB" and "ALPHA" ('_' is above the capitals).
    EXPECT_EQ(SubkeyNames(root.get()), (std::vector<std::string>{"AB", "alpha", "a_b", "beta", "Gamma"}));

    Key beta;
    ASSERT_EQ(OpenKey(beta, u"BETA", root.get()), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(beta.get()), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[256];
    ULONG length = 0;
    ASSERT_EQ(ZwEnumerateKey(root.get(), 3, KeyBasicInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    auto info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(Ascii(info->Name, info->NameLength), "Gamma");
    EXPECT_EQ(ZwEnumerateKey(root.get(), 4, KeyBasicInformation, buffer, sizeof(buffer), &length),
              STATUS_NO_MORE_ENTRIES);
    for (const char16_t *name : {u"AB", u"alpha", u"a_b", u"Gamma"}) {
        Key key;
        ASSERT_EQ(OpenKey(key, name, root.get()), STATUS_SUCCESS);
        ASSERT_EQ(ZwDeleteKey(key.get()), STATUS_SUCCESS);
    }
}

} // namespace
