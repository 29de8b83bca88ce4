/*
 * Failures: every registry routine's named fault, pool exhaustion in create, and
 * the IRQL every routine demands.
 */
#include "cm_test.h"

#include <functional>

namespace {

using RegistryFaultTest = MachineTest;

TEST_F(RegistryFaultTest, EveryInjectedFailureLeavesTheRegistryUnchanged)
{
    Key vorel, parameters;
    ASSERT_EQ(CreateKey(vorel, SERVICES u"\\vorel"), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(parameters, u"Parameters", 0, vorel.get()), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(vorel.get(), u"Start", 3), STATUS_SUCCESS);
    ASSERT_EQ(SetDword(vorel.get(), u"Type", 2), STATUS_SUCCESS);

    alignas(8) uint8_t buffer[256];
    ULONG length;
    // Ordered so that each call, repeated without the fault, leaves what the next one needs.
    struct Case {
        const char *site;
        std::function<NTSTATUS()> call;
    } cases[] = {
        {"ZwCreateKey", [&] { Key k; return CreateKey(k, u"New", 0, vorel.get()); }},
        {"ZwOpenKey", [&] { Key k; return OpenKey(k, u"Parameters", vorel.get()); }},
        {"ZwSetValueKey", [&] { return SetDword(vorel.get(), u"Start", 4); }},
        {"ZwQueryValueKey",
         [&] { return ZwQueryValueKey(vorel.get(), Name(u"Start"), KeyValueBasicInformation, buffer, 256, &length); }},
        {"ZwEnumerateValueKey",
         [&] { return ZwEnumerateValueKey(vorel.get(), 0, KeyValueBasicInformation, buffer, 256, &length); }},
        {"ZwEnumerateKey", [&] { return ZwEnumerateKey(vorel.get(), 0, KeyBasicInformation, buffer, 256, &length); }},
        {"ZwQueryKey", [&] { return ZwQueryKey(vorel.get(), KeyBasicInformation, buffer, 256, &length); }},
        {"ZwFlushKey", [&] { return ZwFlushKey(vorel.get()); }},
        {"ZwDeleteValueKey", [&] { return ZwDeleteValueKey(vorel.get(), Name(u"Start")); }},
        {"ZwDeleteKey", [&] { return ZwDeleteKey(parameters.get()); }},
    };
    for (auto &c : cases) {
        const std::string before = Dump(vorel.get());
        machine::ArmFault(c.site, 1);
        EXPECT_EQ(c.call(), STATUS_INSUFFICIENT_RESOURCES) << c.site;
        EXPECT_EQ(machine::FaultsInjected(c.site), 1u) << c.site;
        machine::DisarmFaults();
        EXPECT_EQ(Dump(vorel.get()), before) << c.site;
        EXPECT_EQ(c.call(), STATUS_SUCCESS) << c.site << " works again once disarmed";
    }
    EXPECT_EQ(Dump(vorel.get()), "value Type type 4 [2 0 0 0 ]\nkey New {\n}\n");
}

TEST_F(RegistryFaultTest, PoolExhaustionInCreateChangesNothing)
{
    Key services, key;
    ASSERT_EQ(OpenKey(services, SERVICES), STATUS_SUCCESS);
    machine::ArmPoolFault(1, POOL_TAG('K', 'e', 'y', ' '));
    ULONG disposition = 0;
    EXPECT_EQ(CreateKey(key, u"vorel", 0, services.get(), &disposition), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(disposition, 0u);
    machine::DisarmFaults();
    EXPECT_TRUE(SubkeyNames(services.get()).empty());
}

TEST_F(RegistryFaultTest, RoutinesStopTheMachineAbovePassiveLevel)
{
    Key services;
    ASSERT_EQ(OpenKey(services, SERVICES), STATUS_SUCCESS);
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(APC_LEVEL, &old);
            SetDword(services.get(), u"Start", 1);
        },
        IRQL_NOT_LESS_OR_EQUAL, {kAnyParameter, APC_LEVEL, PASSIVE_LEVEL});
}

} // namespace
