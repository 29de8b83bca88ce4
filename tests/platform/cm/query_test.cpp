/*
 * Key information: ZwQueryKey's classes, ZwEnumerateKey's node records, their
 * buffer rules and the last-write time.
 */
#include "cm_test.h"

#include <cstring>

namespace {

class RegistryQueryTest : public MachineTest {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config;
        config.clock = machine::ClockMode::Manual;
        return config;
    }
    /* vorel (class "VorelClass") with subkeys Parameters and Volumes and two values. */
    void MakeTree(Key &vorel)
    {
        Name className(u"VorelClass");
        Name path(SERVICES u"\\vorel");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, path, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(ZwCreateKey(vorel.out(), KEY_ALL_ACCESS, &attributes, 0, className, 0, nullptr), STATUS_SUCCESS);
        Key parameters, volumes;
        ASSERT_EQ(CreateKey(parameters, u"Parameters", 0, vorel.get()), STATUS_SUCCESS);
        ASSERT_EQ(CreateKey(volumes, u"Volumes", 0, vorel.get()), STATUS_SUCCESS);
        uint8_t blob[40] = {};
        ASSERT_EQ(SetDword(vorel.get(), u"Start", 1), STATUS_SUCCESS);
        ASSERT_EQ(SetValue(vorel.get(), u"ImagePathX", REG_BINARY, blob, sizeof(blob)), STATUS_SUCCESS);
    }
};

TEST_F(RegistryQueryTest, QueryKeyReportsFiguresInBytesNameAndClass)
{
    Key vorel;
    MakeTree(vorel);
    alignas(8) uint8_t buffer[512];
    ULONG length = 0;

    ASSERT_EQ(ZwQueryKey(vorel.get(), KeyFullInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    auto full = reinterpret_cast<PKEY_FULL_INFORMATION>(buffer);
    EXPECT_EQ(length, 44u + 20);
    EXPECT_EQ(full->ClassOffset, 44u);
    EXPECT_EQ(Ascii(full->Class, full->ClassLength), "VorelClass");
    EXPECT_EQ(full->SubKeys, 2u);
    EXPECT_EQ(full->MaxNameLen, 20u) << "\"Parameters\", in bytes";
    EXPECT_EQ(full->MaxClassLen, 0u);
    EXPECT_EQ(full->Values, 2u);
    EXPECT_EQ(full->MaxValueNameLen, 20u);
    EXPECT_EQ(full->MaxValueDataLen, 40u);

    ASSERT_EQ(ZwQueryKey(vorel.get(), KeyNodeInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    auto node = reinterpret_cast<PKEY_NODE_INFORMATION>(buffer);
    EXPECT_EQ(Ascii(node->Name, node->NameLength), "vorel");
    EXPECT_EQ(node->ClassOffset, 24u + 10);
    EXPECT_EQ(Ascii((const WCHAR *)(buffer + node->ClassOffset), node->ClassLength), "VorelClass");
    EXPECT_EQ(length, 24u + 10 + 20);

    ASSERT_EQ(ZwQueryKey(vorel.get(), KeyNameInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    auto name = reinterpret_cast<PKEY_NAME_INFORMATION>(buffer);
    EXPECT_EQ(Ascii(name->Name, name->NameLength), "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vorel");

    ASSERT_EQ(ZwQueryKey(vorel.get(), KeyCachedInformation, buffer, sizeof(buffer), &length), STATUS_SUCCESS);
    auto cached = reinterpret_cast<PKEY_CACHED_INFORMATION>(buffer);
    EXPECT_EQ(length, sizeof(KEY_CACHED_INFORMATION));
    EXPECT_EQ(cached->SubKeys, 2u);
    EXPECT_EQ(cached->NameLength, 10u);
    EXPECT_EQ(cached->MaxValueDataLen, 40u);

    EXPECT_EQ(ZwQueryKey(vorel.get(), KeyVirtualizationInformation, buffer, sizeof(buffer), &length),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(ZwEnumerateKey(vorel.get(), 0, KeyNameInformation, buffer, sizeof(buffer), &length),
              STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryQueryTest, KeyRecordsFollowTheBufferRules)
{
    Key vorel;
    MakeTree(vorel);
    alignas(8) uint8_t buffer[512];
    ULONG length = 0;
    const ULONG nameBytes = sizeof(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vorel") - 2;

    EXPECT_EQ(ZwQueryKey(vorel.get(), KeyNameInformation, nullptr, 0, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 4 + nameBytes);
    std::memset(buffer, 0xBD, sizeof(buffer));
    EXPECT_EQ(ZwQueryKey(vorel.get(), KeyNameInformation, buffer, 8, &length), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reinterpret_cast<PKEY_NAME_INFORMATION>(buffer)->NameLength, nameBytes);
    EXPECT_EQ(buffer[8], 0xBD);

    EXPECT_EQ(ZwQueryKey(vorel.get(), KeyCachedInformation, buffer, sizeof(KEY_CACHED_INFORMATION) - 1, &length),
              STATUS_BUFFER_TOO_SMALL) << "a fixed-size record has no partial form";

    // Enumeration: the node record of subkey 1 ("Volumes"), first only its fixed part.
    EXPECT_EQ(ZwEnumerateKey(vorel.get(), 1, KeyNodeInformation, buffer, 23, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 24u + 14);
    EXPECT_EQ(ZwEnumerateKey(vorel.get(), 1, KeyNodeInformation, buffer, 24, &length), STATUS_BUFFER_OVERFLOW);
    auto node = reinterpret_cast<PKEY_NODE_INFORMATION>(buffer);
    EXPECT_EQ(node->NameLength, 14u);
    EXPECT_EQ(node->ClassOffset, 0xFFFFFFFFu) << "no class";
    ASSERT_EQ(ZwEnumerateKey(vorel.get(), 1, KeyNodeInformation, buffer, length, &length), STATUS_SUCCESS);
    EXPECT_EQ(Ascii(node->Name, node->NameLength), "Volumes");
    EXPECT_EQ(ZwEnumerateKey(vorel.get(), 2, KeyNodeInformation, buffer, sizeof(buffer), &length),
              STATUS_NO_MORE_ENTRIES);
}

TEST_F(RegistryQueryTest, LastWriteTimeMovesWithValuesAndSubkeys)
{
    Key vorel;
    MakeTree(vorel);
    auto lastWrite = [&] {
        KEY_BASIC_INFORMATION info[4];
        ULONG length;
        EXPECT_EQ(ZwQueryKey(vorel.get(), KeyBasicInformation, info, sizeof(info), &length), STATUS_SUCCESS);
        return info[0].LastWriteTime.QuadPart;
    };
    LONGLONG before = lastWrite();
    machine::AdvanceClock(10'000'000);
    ASSERT_EQ(SetDword(vorel.get(), u"Start", 3), STATUS_SUCCESS);
    LONGLONG afterValue = lastWrite();
    EXPECT_EQ(afterValue - before, 10'000'000);
    machine::AdvanceClock(10'000'000);
    Key child;
    ASSERT_EQ(CreateKey(child, u"Statistics", REG_OPTION_VOLATILE, vorel.get()), STATUS_SUCCESS);
    EXPECT_EQ(lastWrite() - afterValue, 10'000'000);
}

} // namespace
