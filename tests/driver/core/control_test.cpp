/*
 * Control requests on \Device\Vorel as programs send them: the request table's
 * checks (sizes, letters, malformed records, unknown and reserved codes), the
 * caller gate for standard users, administrators and kernel callers, and the
 * settings.
 */
#include "core_fixture.h"

#include <cstring>
#include <memory>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

namespace {

constexpr uint32_t kStandardUser = 1000;
constexpr uint32_t kRoot = 0;

class ControlTest : public CoreTest {
protected:
    /* Sets AllowUserAccess through the driver, as an administrator would. */
    void SetAllowUserAccess(ULONG allow)
    {
        VOREL_SETTINGS settings{allow, 0};
        ASSERT_EQ(KernelDeviceControl(d->Data->ControlDevice, IOCTL_VOREL_SET_SETTINGS, &settings,
                                      sizeof(settings), nullptr, 0),
                  STATUS_SUCCESS);
    }
};

TEST_F(ControlTest, ShortBuffersAreTooSmallAndCarryNoReply)
{
    ControlClient client(kRoot);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    char buffer[64] = {};
    EXPECT_EQ(client.Send(IOCTL_VOREL_PING, nullptr, 0, buffer, 43), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(client.Send(IOCTL_VOREL_GET_SETTINGS, nullptr, 0, buffer, 7), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(client.Send(IOCTL_VOREL_SET_SETTINGS, buffer, 7, nullptr, 0), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(d->Data->AllowUserAccess, 1) << "a refused set changes nothing";

    std::vector<char> create(sizeof(VOREL_CREATE_VOLUME_INPUT), 0);
    create[0] = 'R';
    EXPECT_EQ(client.Send(IOCTL_VOREL_CREATE_VOLUME, create.data(), (ULONG)create.size() - 1, nullptr, 0),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(client.Send(IOCTL_VOREL_VOLUME_HOLDERS, create.data(), 4, buffer, 64), STATUS_BUFFER_TOO_SMALL)
        << "volume holders replies 260 bytes";
}

TEST_F(ControlTest, LettersMustBeUpperCaseAsciiBeforeAnyWork)
{
    ControlClient client(kRoot);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    char reply[sizeof(VOREL_VOLUME_HOLDERS)];
    for (VOREL_U16 letter : {(VOREL_U16)'c', (VOREL_U16)'@', (VOREL_U16)'[', (VOREL_U16)0, (VOREL_U16)0x0141}) {
        VOREL_LETTER_INPUT input{letter, 0};
        EXPECT_EQ(client.Send(IOCTL_VOREL_DISMOUNT_VOLUME, &input, sizeof(input), nullptr, 0),
                  STATUS_INVALID_PARAMETER)
            << letter;
        EXPECT_EQ(client.Send(IOCTL_VOREL_VOLUME_HOLDERS, &input, sizeof(input), reply, sizeof(reply)),
                  STATUS_INVALID_PARAMETER)
            << letter;
    }
    /* A well-formed letter reaches the work: the system drive is no volume of this driver. */
    VOREL_LETTER_INPUT input{'C', 0};
    EXPECT_EQ(client.Send(IOCTL_VOREL_DISMOUNT_VOLUME, &input, sizeof(input), nullptr, 0),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

/* Each request's own record checks run before any work, served or not, and change nothing they refuse. */
TEST_F(ControlTest, MalformedRecordsAreInvalidParametersBeforeAnyWork)
{
    ControlClient client(kRoot);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);

    for (VOREL_U32 flags : {0x10u, 0x80000000u, 0xFFFFFFF0u}) {
        VOREL_CREATE_VOLUME_INPUT create{};
        create.Letter = 'R';
        create.SizeBytes = 64ull << 20;
        create.Flags = flags;
        EXPECT_EQ(client.Send(IOCTL_VOREL_CREATE_VOLUME, &create, sizeof(create), nullptr, 0),
                  STATUS_INVALID_PARAMETER)
            << std::hex << flags;
    }
    VOREL_COMPRESSION_LEVEL level{'R', 0, 4};
    EXPECT_EQ(client.Send(IOCTL_VOREL_SET_COMPRESSION_LEVEL, &level, sizeof(level), nullptr, 0),
              STATUS_INVALID_PARAMETER);
    level.Level = 0xFFFFFFFF;
    EXPECT_EQ(client.Send(IOCTL_VOREL_SET_COMPRESSION_LEVEL, &level, sizeof(level), nullptr, 0),
              STATUS_INVALID_PARAMETER);

    VOREL_RESIZE_INPUT resize{'R', 0, 0, VOREL_MIN_RESIZE_BYTES - 1};
    EXPECT_EQ(client.Send(IOCTL_VOREL_RESIZE_VOLUME, &resize, sizeof(resize), nullptr, 0), STATUS_INVALID_PARAMETER);
    resize = {'R', 1, 0, VOREL_MIN_RESIZE_BYTES};
    EXPECT_EQ(client.Send(IOCTL_VOREL_RESIZE_VOLUME, &resize, sizeof(resize), nullptr, 0), STATUS_INVALID_PARAMETER);
    resize = {'R', 0, 1, VOREL_MIN_RESIZE_BYTES};
    EXPECT_EQ(client.Send(IOCTL_VOREL_RESIZE_VOLUME, &resize, sizeof(resize), nullptr, 0), STATUS_INVALID_PARAMETER);

    /* Save: the reserved word; a well-formed save with a path filling the whole array is accepted as far as the checks go. */
    auto save = std::make_unique<VOREL_SAVE_INPUT>();
    save->Letter = 'R';
    save->Zero2 = 1;
    EXPECT_EQ(client.Send(IOCTL_VOREL_SAVE_VOLUME, save.get(), sizeof(*save), nullptr, 0), STATUS_INVALID_PARAMETER);
    save->Zero2 = 0;
    for (auto &unit : save->NewImagePath)
        unit = 'x';
    EXPECT_NE(client.Send(IOCTL_VOREL_SAVE_VOLUME, save.get(), sizeof(*save), nullptr, 0), STATUS_INVALID_PARAMETER);

    /* Boot configuration: flags, level, size, and the auto-save and period rules. */
    struct BootCase {
        VOREL_U32 flags;
        VOREL_U32 level;
        VOREL_U64 size;
        VOREL_U32 period;
        bool image;
        bool valid;
    } cases[] = {
        {0x08, 0, 1 << 20, 0, false, false},  {0x40, 0, 1 << 20, 0, false, false},
        {0x00, 4, 1 << 20, 0, false, false},  {0x00, 0, 0, 0, false, false},
        {0x04, 0, 1 << 20, 0, false, false},  {0x10, 0, 1 << 20, 60, true, false},
        {0x14, 0, 1 << 20, 4, true, false},   {0x14, 0, 1 << 20, 86401, true, false},
        {0x14, 0, 1 << 20, 5, true, true},    {0x14, 0, 1 << 20, 86400, true, true},
        {0x37, 3, 1, 5, true, true},          {0x23, 0, 1 << 20, 0, false, true},
    };
    for (const BootCase &c : cases) {
        auto config = std::make_unique<VOREL_BOOT_CONFIGURATION>();
        config->Letter = 'R';
        config->Flags = c.flags;
        config->CompressionLevel = c.level;
        config->SizeBytes = c.size;
        config->SaveIntervalSeconds = c.period;
        if (c.image)
            config->ImagePath[0] = 'C';
        NTSTATUS status = client.Send(IOCTL_VOREL_SET_BOOT_CONFIGURATION, config.get(), sizeof(*config), nullptr, 0);
        if (c.valid)
            EXPECT_NE(status, STATUS_INVALID_PARAMETER) << std::hex << c.flags << " " << std::dec << c.period;
        else
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << std::hex << c.flags << " " << std::dec << c.period;
    }
    /* An image path whose only character sits in the last unit is empty once terminated. */
    auto config = std::make_unique<VOREL_BOOT_CONFIGURATION>();
    config->Letter = 'R';
    config->Flags = VOREL_BOOT_AUTO_SAVE;
    config->SizeBytes = 1 << 20;
    config->ImagePath[VOREL_PATH_UNITS - 1] = 'C';
    EXPECT_EQ(client.Send(IOCTL_VOREL_SET_BOOT_CONFIGURATION, config.get(), sizeof(*config), nullptr, 0),
              STATUS_INVALID_PARAMETER);
}

TEST_F(ControlTest, UnknownAndReservedCodesAreInvalidDeviceRequests)
{
    ControlClient client(kRoot);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    char buffer[128] = {'A'};
    const ULONG codes[] = {
        IOCTL_VOREL_SLAB_STATISTICS,
        IOCTL_VOREL_DESCRIPTOR_STATISTICS,
        VOREL_CTL_CODE(0x813),
        VOREL_CTL_CODE(0x81F),
        IOCTL_VOREL_PING | METHOD_OUT_DIRECT,                          /* right function, other method */
        CTL_CODE(FILE_DEVICE_DISK, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS), /* other device type */
    };
    for (ULONG code : codes)
        EXPECT_EQ(client.Send(code, buffer, 8, buffer, sizeof(buffer)), STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
}

TEST_F(ControlTest, WithUserAccessOffAStandardUserMayQueryButNotChangeState)
{
    SetAllowUserAccess(0);
    ControlClient user(kStandardUser);
    ASSERT_EQ(user.Open(), STATUS_SUCCESS);
    VOREL_LETTER_INPUT letter{'R', 0};
    EXPECT_EQ(user.Send(IOCTL_VOREL_DISMOUNT_VOLUME, &letter, sizeof(letter), nullptr, 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(user.Send(IOCTL_VOREL_PREPARE_UNLOAD, nullptr, 0, nullptr, 0), STATUS_ACCESS_DENIED);
    VOREL_PING_REPLY ping;
    EXPECT_EQ(user.Send(IOCTL_VOREL_PING, nullptr, 0, &ping, sizeof(ping)), STATUS_SUCCESS);
    VOREL_SETTINGS settings{7, 7};
    ASSERT_EQ(user.Send(IOCTL_VOREL_GET_SETTINGS, nullptr, 0, &settings, sizeof(settings)), STATUS_SUCCESS);
    EXPECT_EQ(settings.AllowUserAccess, 0u);
    EXPECT_EQ(settings.Zero, 0u);

    /* The gate comes before the size check: a refused caller learns nothing more. */
    EXPECT_EQ(user.Send(IOCTL_VOREL_DISMOUNT_VOLUME, &letter, 1, nullptr, 0), STATUS_ACCESS_DENIED);

    /* Administrators and kernel callers pass the gate and reach the work (no volume on R:). */
    ControlClient root(kRoot);
    ASSERT_EQ(root.Open(), STATUS_SUCCESS);
    EXPECT_EQ(root.Send(IOCTL_VOREL_DISMOUNT_VOLUME, &letter, sizeof(letter), nullptr, 0),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(KernelDeviceControl(d->Data->ControlDevice, IOCTL_VOREL_DISMOUNT_VOLUME, &letter, sizeof(letter),
                                  nullptr, 0),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ControlTest, SetSettingsIsForAdministratorsEvenWithUserAccessOn)
{
    ASSERT_EQ(d->Data->AllowUserAccess, 1);
    ControlClient user(kStandardUser);
    ASSERT_EQ(user.Open(), STATUS_SUCCESS);
    VOREL_SETTINGS off{0, 0};
    EXPECT_EQ(user.Send(IOCTL_VOREL_SET_SETTINGS, &off, sizeof(off), nullptr, 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(d->Data->AllowUserAccess, 1);

    ControlClient root(kRoot);
    ASSERT_EQ(root.Open(), STATUS_SUCCESS);
    ULONG_PTR information = 1;
    ASSERT_EQ(root.Send(IOCTL_VOREL_SET_SETTINGS, &off, sizeof(off), nullptr, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(d->Data->AllowUserAccess, 0);
    VOREL_SETTINGS read{9, 9};
    ASSERT_EQ(user.Send(IOCTL_VOREL_GET_SETTINGS, nullptr, 0, &read, sizeof(read)), STATUS_SUCCESS);
    EXPECT_EQ(read.AllowUserAccess, 0u);

    /* Any non-zero value turns it on, and reads back as 1. */
    VOREL_SETTINGS on{0x80000000u, 0};
    ASSERT_EQ(root.Send(IOCTL_VOREL_SET_SETTINGS, &on, sizeof(on), nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(user.Send(IOCTL_VOREL_GET_SETTINGS, nullptr, 0, &read, sizeof(read)), STATUS_SUCCESS);
    EXPECT_EQ(read.AllowUserAccess, 1u);
}

TEST_F(ControlTest, SetSettingsPersistsUnderParametersAndSurvivesAReload)
{
    SetAllowUserAccess(0);
    ULONG stored = 9;
    ASSERT_TRUE(ReadServiceDword("Parameters", "AllowUserAccess", &stored));
    EXPECT_EQ(stored, 0u);

    ASSERT_EQ(UnloadDriver(), STATUS_SUCCESS);
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    d = Diagnostics();
    EXPECT_EQ(d->Data->AllowUserAccess, 0);
}

TEST_F(ControlTest, SetSettingsTakesEffectEvenWhenTheRegistryFails)
{
    for (const char *site : {"ZwCreateKey", "ZwSetValueKey"}) {
        machine::ArmFault(site, 1, true);
        VOREL_SETTINGS settings{d->Data->AllowUserAccess ? 0u : 1u, 0};
        UCHAR expected = (UCHAR)settings.AllowUserAccess;
        EXPECT_EQ(KernelDeviceControl(d->Data->ControlDevice, IOCTL_VOREL_SET_SETTINGS, &settings, sizeof(settings),
                                      nullptr, 0),
                  STATUS_SUCCESS)
            << site;
        machine::DisarmFaults();
        EXPECT_EQ(d->Data->AllowUserAccess, expected) << site;
    }
    ULONG stored;
    EXPECT_FALSE(ReadServiceDword("Parameters", "AllowUserAccess", &stored));
}

/* The control tests on a machine whose registry has a file, written only when asked. */
class PersistedControlTest : public ControlTest {
protected:
    machine::Config BootConfig() override
    {
        machine::Config config;
        config.stateDirectory = state_;
        config.registryLazyWriteMilliseconds = 0;
        return config;
    }
    void TearDown() override
    {
        ControlTest::TearDown();
        std::filesystem::remove_all(state_);
    }
    std::string state_ = "/tmp/vorel-core-" + std::to_string(getpid());
};

TEST_F(PersistedControlTest, ASettingIsOnDiskWhenTheRequestCompletesAndAFailedFlushIsNoFailure)
{
    SetAllowUserAccess(0);
    std::ifstream in(state_ + "/registry.hive", std::ios::binary);
    std::string onDisk((std::istreambuf_iterator<char>(in)), {});
    const char name[] = {'A', 0, 'l', 0, 'l', 0, 'o', 0, 'w', 0, 'U', 0, 's', 0, 'e', 0, 'r', 0};
    EXPECT_NE(onDisk.find(std::string(name, sizeof(name))), std::string::npos) << "still only in memory";

    machine::ArmFault("ZwFlushKey", 1, true);
    SetAllowUserAccess(1);
    EXPECT_EQ(machine::FaultsInjected("ZwFlushKey"), 1u);
    EXPECT_EQ(d->Data->AllowUserAccess, 1);
}

TEST_F(ControlTest, TheDescriptorGuardsPathsBelowTheDevice)
{
    ControlClient user(kStandardUser);
    HANDLE handle;
    EXPECT_EQ(user.process().Open("\\??\\Vorel\\anything", GENERIC_WRITE, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(user.process().Open("\\??\\Vorel", GENERIC_WRITE, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(user.Open("\\??\\Vorel", GENERIC_READ), STATUS_SUCCESS);

    ControlClient root(kRoot);
    EXPECT_EQ(root.Open("\\??\\Vorel", GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
}

} // namespace
