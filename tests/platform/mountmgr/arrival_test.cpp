/*
 * Host drives that arrive while the machine runs: the drive serves its directory
 * like a boot-time one, and drivers registered for volume arrivals hear of it,
 * once, after its letter works; a refused arrival reports nothing.
 */
#include "mountmgr_fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace mmtest;

namespace {

const GUID kVolumeClass = {0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

/* What one registration heard: the links, and whether the drive's file opened inside the callback. */
struct Heard {
    std::vector<std::u16string> links;
    std::vector<NTSTATUS> opens;
};

NTSTATUS OpenProbe(const char16_t *path)
{
    std::u16string text = path;
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWCH>(text.data());
    name.Length = name.MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(&handle, FILE_READ_DATA | SYNCHRONIZE, &oa, &iosb, nullptr, 0, FILE_SHARE_READ,
                                   FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (NT_SUCCESS(status))
        ZwClose(handle);
    return status;
}

NTSTATUS NTAPI OnArrival(PVOID notification, PVOID context)
{
    auto *change = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(notification);
    auto *heard = static_cast<Heard *>(context);
    heard->links.emplace_back((const char16_t *)change->SymbolicLinkName->Buffer,
                              change->SymbolicLinkName->Length / sizeof(WCHAR));
    heard->opens.push_back(OpenProbe(u"\\??\\J:\\probe.txt"));
    return STATUS_SUCCESS;
}

} // namespace

TEST_F(MountManagerTest, AHostDriveArrivingLaterServesItsDirectoryAndIsReportedOnce)
{
    char pattern[] = "/tmp/vorel-arrival-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string directory = pattern;
    std::ofstream(directory + "/probe.txt") << "here";

    Heard volumes;
    PVOID volumeEntry = nullptr;
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, (PVOID)&kVolumeClass, nullptr,
                                             OnArrival, &volumes, &volumeEntry),
              STATUS_SUCCESS);

    EXPECT_NE(OpenProbe(u"\\??\\J:\\probe.txt"), STATUS_SUCCESS);
    ASSERT_EQ(machine::AddHostDrive(u'j', directory), STATUS_SUCCESS);
    // The letter already worked when the driver was told.
    ASSERT_EQ(volumes.links.size(), 1u);
    EXPECT_EQ(volumes.opens[0], STATUS_SUCCESS);
    EXPECT_NE(volumes.links[0].find(u"{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}"), std::u16string::npos);
    std::u16string target;
    EXPECT_EQ(OpenLetter(u'J', &target), STATUS_SUCCESS);
    EXPECT_EQ(target, u"\\Device\\HostDiskJ");

    // Refused arrivals change nothing and report nothing.
    EXPECT_EQ(machine::AddHostDrive(u'J', directory), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(machine::AddHostDrive(u'C', directory), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(machine::AddHostDrive(u'7', directory), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(volumes.links.size(), 1u);
    ASSERT_EQ(IoUnregisterPlugPlayNotificationEx(volumeEntry), STATUS_SUCCESS);

    std::string command = "rm -rf '" + directory + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    // The drives go with the machine, leaving the audit clean.
}
