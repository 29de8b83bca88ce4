/*
 * Handles to keys: the access a user-mode caller's handle was granted is checked
 * on every call, kernel-mode callers are not checked, and handles that are not
 * keys (or not handles) are refused.
 */
#include "cm_test.h"


namespace {

using RegistryAccessTest = MachineTest;

NTSTATUS UserOpen(Key &key, const char16_t *path, ACCESS_MASK access)
{
    Name name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return NtOpenKey(key.out(), access, &attributes);
}

NTSTATUS UserSet(HANDLE key, ULONG value)
{
    return NtSetValueKey(key, Name(u"Flags"), 0, REG_DWORD, &value, sizeof(value));
}

NTSTATUS UserQuery(HANDLE key)
{
    alignas(8) uint8_t buffer[64];
    ULONG length;
    return NtQueryValueKey(key, Name(u"Flags"), KeyValuePartialInformation, buffer, sizeof(buffer), &length);
}

TEST_F(RegistryAccessTest, UserModeCallsNeedTheAccessTheirHandleWasGranted)
{
    Key setup;
    ASSERT_EQ(CreateKey(setup, SERVICES u"\\vorel"), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(setup.get(), u"Flags", 1), STATUS_SUCCESS);

    RunAsUserModeCaller([] {
        Key reader, writer, generic, maximum, nothing;
        ASSERT_EQ(UserOpen(reader, SERVICES u"\\vorel", KEY_READ), STATUS_SUCCESS);
        EXPECT_FALSE((ULONG_PTR)reader.get() & 0x80000000) << "a user-mode caller gets a user handle";
        EXPECT_EQ(UserQuery(reader.get()), STATUS_SUCCESS);
        EXPECT_EQ(UserSet(reader.get(), 2), STATUS_ACCESS_DENIED);
        EXPECT_EQ(NtDeleteValueKey(reader.get(), Name(u"Flags")), STATUS_ACCESS_DENIED);
        EXPECT_EQ(NtDeleteKey(reader.get()), STATUS_ACCESS_DENIED);

        ASSERT_EQ(UserOpen(writer, SERVICES u"\\vorel", KEY_SET_VALUE), STATUS_SUCCESS);
        EXPECT_EQ(UserSet(writer.get(), 2), STATUS_SUCCESS);
        EXPECT_EQ(UserQuery(writer.get()), STATUS_ACCESS_DENIED);
        alignas(8) uint8_t buffer[256];
        ULONG length;
        EXPECT_EQ(NtEnumerateKey(writer.get(), 0, KeyBasicInformation, buffer, sizeof(buffer), &length),
                  STATUS_ACCESS_DENIED);
        EXPECT_EQ(NtQueryKey(writer.get(), KeyFullInformation, buffer, sizeof(buffer), &length),
                  STATUS_ACCESS_DENIED);
        EXPECT_EQ(NtQueryKey(writer.get(), KeyNameInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS)
            << "a key's name needs no access";

        ASSERT_EQ(UserOpen(generic, SERVICES u"\\vorel", GENERIC_WRITE), STATUS_SUCCESS);
        EXPECT_EQ(UserSet(generic.get(), 3), STATUS_SUCCESS) << "GENERIC_WRITE maps to KEY_WRITE";
        ASSERT_EQ(UserOpen(maximum, SERVICES u"\\vorel", MAXIMUM_ALLOWED), STATUS_SUCCESS);
        EXPECT_EQ(UserQuery(maximum.get()), STATUS_SUCCESS);
        EXPECT_EQ(UserOpen(nothing, SERVICES u"\\vorel", 0), STATUS_ACCESS_DENIED);
    });
    EXPECT_EQ(QueryValue(setup.get(), u"Flags").data, (std::vector<uint8_t>{3, 0, 0, 0}));
}

TEST_F(RegistryAccessTest, KernelModeCallersAreNotCheckedButKernelHandlesStayInKernelMode)
{
    Key reader;
    ASSERT_EQ(CreateKey(reader, SERVICES u"\\vorel"), STATUS_SUCCESS);
    ASSERT_EQ(OpenKey(reader, SERVICES u"\\vorel", nullptr, KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(reader.get(), u"Flags", 5), STATUS_SUCCESS) << "Zw calls run with previous mode kernel";

    HANDLE kernelHandle = reader.get();
    RunAsUserModeCaller([kernelHandle] {
        EXPECT_EQ(UserQuery(kernelHandle), STATUS_INVALID_HANDLE);
    });
}

TEST_F(RegistryAccessTest, OnlyAnAdministratorChangesTheMachinesKeys)
{
    Key setup;
    ASSERT_EQ(CreateKey(setup, SERVICES u"\\vorel"), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(setup.get(), u"Flags", 1), STATUS_SUCCESS);

    machine::ProcessIdentity standardUser;
    standardUser.uid = standardUser.gid = 65534;
    void *process = machine::CreateProcess(standardUser);
    machine::EnterProcess(process);
    Key reader, writer, deleter, created, outside;
    EXPECT_EQ(UserOpen(reader, SERVICES u"\\vorel", KEY_READ), STATUS_SUCCESS) << "everyone reads HKLM";
    EXPECT_EQ(UserQuery(reader.get()), STATUS_SUCCESS);
    EXPECT_EQ(UserOpen(writer, SERVICES u"\\vorel", KEY_SET_VALUE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(UserOpen(writer, SERVICES u"\\vorel", GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(UserOpen(deleter, SERVICES u"\\vorel", DELETE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(writer.get(), nullptr);
    Name name(SERVICES u"\\vorel\\Added");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    EXPECT_EQ(NtCreateKey(created.out(), KEY_READ, &attributes, 0, nullptr, 0, nullptr), STATUS_ACCESS_DENIED)
        << "creating a subkey changes its parent";
    Name top(u"\\Registry\\Added");
    InitializeObjectAttributes(&attributes, top, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    EXPECT_EQ(NtCreateKey(outside.out(), KEY_READ, &attributes, 0, nullptr, 0, nullptr), STATUS_ACCESS_DENIED);
    reader.Close();
    machine::LeaveProcess();
    machine::ReleaseProcess(process);

    Key added;
    EXPECT_EQ(OpenKey(added, SERVICES u"\\vorel\\Added"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenKey(added, u"\\Registry\\Added"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryAccessTest, HandlesThatAreNotKeysAreRefused)
{
    HANDLE thread;
    ASSERT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(UserQuery(thread), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwFlushKey(thread), STATUS_OBJECT_TYPE_MISMATCH);
    Key key;
    EXPECT_EQ(OpenKey(key, u"Parameters", thread), STATUS_OBJECT_TYPE_MISMATCH) << "as a root directory too";
    PVOID object;
    ASSERT_EQ(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ZwClose(thread);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);

    EXPECT_EQ(ZwDeleteKey(nullptr), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwFlushKey((HANDLE)(ULONG_PTR)0xFFFFFFFF80001000ull), STATUS_INVALID_HANDLE);
}

} // namespace
