/*
 * Letter assignment at arrival, creating points, and the observer: which letter a
 * volume gets from the database, its suggestion and the free letters; what the links,
 * the database and the device see afterwards.
 */
#include "mountmgr_fixture.h"

#include <tuple>

using namespace mmtest;

namespace {

struct Seen {
    char16_t letter;
    std::u16string device;
    bool arrived;
    bool operator==(const Seen &o) const
    {
        return std::tie(letter, device, arrived) == std::tie(o.letter, o.device, o.arrived);
    }
};

/* The letter's link leads to the volume and its database value holds the volume's unique ID. */
void ExpectLetterHeldBy(char16_t letter, const FakeVolume &volume)
{
    std::u16string target;
    EXPECT_EQ(OpenLetter(letter, &target), STATUS_SUCCESS);
    EXPECT_EQ(target, volume.deviceName);
    Bytes value;
    EXPECT_TRUE(ReadDatabaseValue(LetterLink(letter), &value));
    EXPECT_EQ(value, volume.uniqueId);
}

/* Records every letter change the observer hears. */
void ObserveLetters(std::vector<Seen> *seen)
{
    machine::SetLetterObserver([seen](char16_t letter, std::u16string device, bool arrived) {
        seen->push_back({letter, device, arrived});
    });
}

NTSTATUS Arrive(PDEVICE_OBJECT device)
{
    return Call(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, TargetName(VolumeOf(device).deviceName), 0).status;
}

/* The letter the mount manager gave the volume (0 when none). */
char16_t LetterOf(PDEVICE_OBJECT device)
{
    for (const auto &drive : machine::DriveLetters())
        if (drive.deviceName == VolumeOf(device).deviceName)
            return drive.letter;
    return 0;
}

} // namespace

TEST_F(MountManagerTest, ArrivalGivesTheSuggestedLetterWithLinkValueAndNotice)
{
    std::vector<Seen> seen;
    ObserveLetters(&seen);
    PDEVICE_OBJECT device = AddVolume(u"r1", u'R');
    FakeVolume &volume = VolumeOf(device);
    ASSERT_EQ(Arrive(device), STATUS_SUCCESS);

    ExpectLetterHeldBy(u'R', volume);
    // Its volume name came first, then the letter; the observer hears of the letter only.
    ASSERT_EQ(volume.created.size(), 2u);
    EXPECT_TRUE(IsVolumeName(volume.created[0]));
    EXPECT_EQ(volume.created[1], LetterLink(u'R'));
    EXPECT_EQ(seen, (std::vector<Seen>{{u'R', volume.deviceName, true}}));
    Bytes nameValue;
    ASSERT_TRUE(ReadDatabaseValue(volume.created[0], &nameValue));
    EXPECT_EQ(nameValue, volume.uniqueId);
    std::u16string nameTarget;
    EXPECT_EQ(OpenLink(u"\\GLOBAL??\\" + volume.created[0].substr(4), &nameTarget), STATUS_SUCCESS);
    EXPECT_EQ(nameTarget, volume.deviceName);

    // A second notification of a volume that has its letter changes nothing.
    ASSERT_EQ(Arrive(device), STATUS_SUCCESS);
    EXPECT_EQ(volume.created.size(), 2u);
    EXPECT_EQ(seen.size(), 1u);

    // A volume that comes back after its links went gets the name the database keeps for it.
    std::u16string name = volume.created[0];
    ASSERT_EQ(CallGrowing(IOCTL_MOUNTMGR_DELETE_POINTS, MountPoint(u"", {}, volume.deviceName)).status,
              STATUS_SUCCESS);
    ASSERT_EQ(SetDatabaseValue(name, volume.uniqueId), STATUS_SUCCESS);
    ASSERT_EQ(Arrive(device), STATUS_SUCCESS);
    ASSERT_EQ(volume.created.size(), 4u);
    EXPECT_EQ(volume.created[2], name);
}

TEST_F(MountManagerTest, ArrivalPrefersTheDatabaseThenTheSuggestionThenTheFirstFreeLetter)
{
    // The database (edited directly, as the volume driver does) beats the suggestion.
    PDEVICE_OBJECT seeded = AddVolume(u"s1", u'R');
    ASSERT_EQ(SetDatabaseValue(LetterLink(u'S'), VolumeOf(seeded).uniqueId), STATUS_SUCCESS);
    ASSERT_EQ(Arrive(seeded), STATUS_SUCCESS);
    EXPECT_EQ(LetterOf(seeded), u'S');

    // A database letter that another drive holds falls back to the suggestion.
    ASSERT_EQ(machine::RegisterForeignLetter(u'T'), STATUS_SUCCESS);
    PDEVICE_OBJECT blocked = AddVolume(u"t1", u'U');
    ASSERT_EQ(SetDatabaseValue(LetterLink(u'T'), VolumeOf(blocked).uniqueId), STATUS_SUCCESS);
    ASSERT_EQ(Arrive(blocked), STATUS_SUCCESS);
    EXPECT_EQ(LetterOf(blocked), u'U');

    // A taken suggestion falls back to the first free letter from C: on; C: (the Linux
    // root) and a foreign D: are taken.
    ASSERT_EQ(machine::RegisterForeignLetter(u'd'), STATUS_SUCCESS);
    PDEVICE_OBJECT late = AddVolume(u"e1", u'S');
    ASSERT_EQ(Arrive(late), STATUS_SUCCESS);
    EXPECT_EQ(LetterOf(late), u'E');

    // No suggestion at all: the next free letter.
    PDEVICE_OBJECT plain = AddVolume(u"f1", 0);
    ASSERT_EQ(Arrive(plain), STATUS_SUCCESS);
    EXPECT_EQ(LetterOf(plain), u'F');

    EXPECT_EQ(machine::RemoveForeignLetter(u'T'), STATUS_SUCCESS);
    EXPECT_EQ(machine::RemoveForeignLetter(u'D'), STATUS_SUCCESS);
    EXPECT_EQ(machine::RemoveForeignLetter(u'D'), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenLetter(u'D'), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(MountManagerTest, ArrivalFailuresLeaveNothing)
{
    EXPECT_EQ(Arrive(AddVolume(u"gone", 0)), STATUS_SUCCESS); /* the control case */
    EXPECT_EQ(Call(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, TargetName(u"\\Device\\NoSuchVolume"), 0).status,
              STATUS_OBJECT_NAME_NOT_FOUND);

    PDEVICE_OBJECT refusing = AddVolume(u"bad", u'W');
    VolumeOf(refusing).uniqueIdStatus = STATUS_DEVICE_NOT_READY;
    EXPECT_EQ(Arrive(refusing), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(OpenLetter(u'W'), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(LetterOf(refusing), 0);

    // Every injected failure on the way fails the arrival cleanly or lets it through.
    PDEVICE_OBJECT swept = AddVolume(u"swp", u'W');
    for (const char *site :
         {"IoGetDeviceObjectPointer", "IoCreateSymbolicLink", "ZwSetValueKey", "ZwCreateKey", "ExUuidCreate"}) {
        machine::ArmFault(site, 1, true);
        NTSTATUS status = Arrive(swept);
        machine::DisarmFaults();
        EXPECT_EQ(status, std::string(site) == "ExUuidCreate" ? STATUS_RETRY : STATUS_INSUFFICIENT_RESOURCES) << site;
        EXPECT_EQ(OpenLetter(u'W'), STATUS_OBJECT_NAME_NOT_FOUND) << site;
        EXPECT_FALSE(ReadDatabaseValue(LetterLink(u'W'), nullptr)) << site;
        EXPECT_TRUE(VolumeOf(swept).created.empty()) << site;
        EXPECT_EQ(Call(IOCTL_MOUNTMGR_QUERY_POINTS, MountPoint(u"", {}, VolumeOf(swept).deviceName), 4096).status,
                  STATUS_INVALID_PARAMETER)
            << site << ": the volume stays unknown";
    }
    // A pool failure either fails the arrival with nothing made, or (a query that may
    // fail) leaves the volume with one letter all the same.
    for (uint64_t n = 1;; ++n) {
        machine::ArmPoolFault(n, 0);
        NTSTATUS status = Arrive(swept);
        bool injected = machine::FaultsInjected("ExAllocatePoolWithTag") != 0;
        machine::DisarmFaults();
        if (!NT_SUCCESS(status)) {
            ASSERT_TRUE(injected) << "failed without an injected fault: " << std::hex << status;
            EXPECT_EQ(LetterOf(swept), 0) << n;
            EXPECT_EQ(Call(IOCTL_MOUNTMGR_QUERY_POINTS, MountPoint(u"", {}, VolumeOf(swept).deviceName), 4096).status,
                      STATUS_INVALID_PARAMETER)
                << n;
            continue;
        }
        EXPECT_NE(LetterOf(swept), 0) << n;
        CallGrowing(IOCTL_MOUNTMGR_DELETE_POINTS, MountPoint(u"", {}, VolumeOf(swept).deviceName));
        EXPECT_EQ(LetterOf(swept), 0) << n;
        if (!injected)
            break;
    }
}

TEST_F(MountManagerTest, CreatePointAddsALetterOnlyWhereNoneIs)
{
    std::vector<Seen> seen;
    ObserveLetters(&seen);
    PDEVICE_OBJECT device = AddVolume(u"cp", u'R');
    FakeVolume &volume = VolumeOf(device);
    ASSERT_EQ(Arrive(device), STATUS_SUCCESS);

    EXPECT_EQ(Call(IOCTL_MOUNTMGR_CREATE_POINT, CreatePointInput(LetterLink(u'C'), volume.deviceName), 0).status,
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Call(IOCTL_MOUNTMGR_CREATE_POINT, CreatePointInput(LetterLink(u'R'), volume.deviceName), 0).status,
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Call(IOCTL_MOUNTMGR_CREATE_POINT, CreatePointInput(LetterLink(u'V'), u"\\Device\\Unknown"), 0).status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenLetter(u'V'), STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_EQ(Call(IOCTL_MOUNTMGR_CREATE_POINT, CreatePointInput(LetterLink(u'V'), volume.deviceName), 0).status,
              STATUS_SUCCESS);
    ExpectLetterHeldBy(u'V', volume);
    ASSERT_EQ(volume.created.size(), 3u);
    EXPECT_EQ(volume.created[2], LetterLink(u'V'));
    EXPECT_EQ(seen, (std::vector<Seen>{{u'R', volume.deviceName, true}, {u'V', volume.deviceName, true}}));

    // Dismounting the volume the driver's way takes both letters, with notices.
    seen.clear();
    Reply deleted = CallGrowing(IOCTL_MOUNTMGR_DELETE_POINTS, MountPoint(u"", volume.uniqueId, volume.deviceName));
    ASSERT_EQ(deleted.status, STATUS_SUCCESS);
    EXPECT_EQ(ParsePoints(deleted.output).size(), 3u);
    EXPECT_EQ(seen, (std::vector<Seen>{{u'R', volume.deviceName, false}, {u'V', volume.deviceName, false}}));
    EXPECT_EQ(volume.deleted,
              (std::vector<std::u16string>{LetterLink(u'R'), LetterLink(u'V'), volume.created[0]}));
    EXPECT_EQ(OpenLetter(u'R'), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenLetter(u'V'), STATUS_OBJECT_NAME_NOT_FOUND);
}
