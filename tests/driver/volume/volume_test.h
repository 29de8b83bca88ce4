/*
 * Fixtures for the volume lifecycle's tests: the driver loaded on a machine with the
 * mount manager, volumes made and dropped through the control device, and views of
 * what a volume leaves in the system (its disk device, letter, registry values).
 */
#pragma once

#include "core_fixture.h"
#include "mount_manager.h"

#include <string>
#include <vector>

/* A create record with the letter, size, label (UTF-8 ASCII) and flags. */
inline VOREL_CREATE_VOLUME_INPUT CreateRecord(char letter, ULONGLONG size, const char *label = "", ULONG flags = 0)
{
    VOREL_CREATE_VOLUME_INPUT input{};
    input.Letter = (VOREL_U16)letter;
    input.SizeBytes = size;
    for (size_t i = 0; label[i] != 0 && i < VOREL_LABEL_UNITS; ++i)
        input.Label[i] = (VOREL_WCHAR)label[i];
    input.Flags = flags;
    return input;
}

inline std::u16string Utf16(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

inline std::string Narrow(const char16_t *text, size_t units)
{
    std::string out;
    for (size_t i = 0; i < units && text[i] != 0; ++i)
        out.push_back((char)text[i]);
    return out;
}

constexpr ULONGLONG kMiB = 1024ull * 1024;

/* A volume's disk device, reached by its drive letter or name (a direct open: no mount involved). */
struct DiskDevice {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ~DiskDevice()
    {
        if (file != nullptr)
            ObDereferenceObject(file);
    }
};

class VolumeTest : public CoreTest {
protected:
    /* Kernel-mode control request to the control device. */
    NTSTATUS Control(ULONG code, const void *input, ULONG inputLength, void *output = nullptr, ULONG outputLength = 0,
                     ULONG_PTR *information = nullptr)
    {
        return KernelDeviceControl(d->Data->ControlDevice, code, input, inputLength, output, outputLength,
                                   information);
    }
    NTSTATUS Create(char letter, ULONGLONG size, const char *label = "", ULONG flags = 0)
    {
        VOREL_CREATE_VOLUME_INPUT input = CreateRecord(letter, size, label, flags);
        return Control(IOCTL_VOREL_CREATE_VOLUME, &input, sizeof(input));
    }
    NTSTATUS Dismount(char letter)
    {
        VOREL_LETTER_INPUT input{(VOREL_U16)letter, 0};
        return Control(IOCTL_VOREL_DISMOUNT_VOLUME, &input, sizeof(input));
    }
    NTSTATUS Resize(char letter, ULONGLONG size)
    {
        VOREL_RESIZE_INPUT input{(VOREL_U16)letter, 0, 0, size};
        return Control(IOCTL_VOREL_RESIZE_VOLUME, &input, sizeof(input));
    }
    /* The mounted-volumes reply (kept on the heap: it is 29 KiB). */
    std::vector<VOREL_MOUNTED_VOLUME> List()
    {
        auto reply = std::make_unique<VOREL_MOUNTED_VOLUME_LIST>();
        EXPECT_EQ(Control(IOCTL_VOREL_QUERY_MOUNTED_VOLUMES, nullptr, 0, reply.get(), sizeof(*reply)),
                  STATUS_SUCCESS);
        return std::vector<VOREL_MOUNTED_VOLUME>(reply->Entries, reply->Entries + reply->Count);
    }

    NTSTATUS OpenDisk(const char *path, DiskDevice *disk)
    {
        support::Name name(path);
        return IoGetDeviceObjectPointer(&name.string, FILE_READ_ATTRIBUTES, &disk->file, &disk->device);
    }
    NTSTATUS DiskControl(DiskDevice &disk, ULONG code, void *output, ULONG outputLength,
                         ULONG_PTR *information = nullptr)
    {
        return KernelDeviceControl(disk.device, code, nullptr, 0, output, outputLength, information);
    }
    /* "\Device\Volume{...}" of the volume on the letter, asked of its disk device. */
    std::u16string DeviceNameOf(char letter)
    {
        DiskDevice disk;
        std::string path = std::string("\\??\\") + letter + ":";
        if (OpenDisk(path.c_str(), &disk) != STATUS_SUCCESS)
            return u"";
        UCHAR buffer[256] = {};
        if (DiskControl(disk, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, buffer, sizeof(buffer)) != STATUS_SUCCESS)
            return u"";
        auto *name = reinterpret_cast<PMOUNTDEV_NAME>(buffer);
        return std::u16string((const char16_t *)name->Name, name->NameLength / 2);
    }

    /* Devices of the driver other than the control device (disk and file-system devices). */
    size_t VolumeDevices()
    {
        size_t count = 0;
        for (PDEVICE_OBJECT device = DriverObject()->DeviceObject; device != nullptr; device = device->NextDevice)
            count += device != d->Data->ControlDevice;
        return count;
    }
    /* Letters the mount manager gives to volumes (its own drives and foreign letters left out). */
    std::vector<machine::DriveLetter> VolumeLetters()
    {
        std::vector<machine::DriveLetter> letters;
        for (auto &letter : machine::DriveLetters()) {
            if (letter.deviceName.rfind(u"\\Device\\Volume{", 0) == 0)
                letters.push_back(letter);
        }
        return letters;
    }
    /* Values of \Registry\Machine\System\MountedDevices whose data is the unique ID of a letter's volume. */
    std::vector<std::u16string> MountedDevicesHolding(char letter)
    {
        UCHAR id[16] = {};
        ULONG mark = (ULONG)letter | 0x766C0000;
        memcpy(id, &mark, sizeof(mark));
        std::vector<std::u16string> names;
        support::Name keyName("\\Registry\\Machine\\System\\MountedDevices");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &keyName.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE key;
        if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &oa)))
            return names;
        std::vector<UCHAR> buffer(1024);
        for (ULONG index = 0;; ++index) {
            ULONG length = 0;
            NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer.data(),
                                                  (ULONG)buffer.size(), &length);
            if (!NT_SUCCESS(status))
                break;
            auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
            if (info->DataLength == sizeof(id) && memcmp(buffer.data() + info->DataOffset, id, sizeof(id)) == 0)
                names.emplace_back((const char16_t *)info->Name, info->NameLength / 2);
        }
        ZwClose(key);
        return names;
    }
    /* The volume list's records (read under its lock). */
    std::vector<PVOLUME_DEVICE_RECORD> Records()
    {
        std::vector<PVOLUME_DEVICE_RECORD> records;
        KIRQL irql;
        KeAcquireSpinLock(&d->Data->VolumeListLock, &irql);
        for (PLIST_ENTRY e = d->Data->VolumeList.Flink; e != &d->Data->VolumeList; e = e->Flink)
            records.push_back(CONTAINING_RECORD(e, VOLUME_DEVICE_RECORD, ListLinks));
        KeReleaseSpinLock(&d->Data->VolumeListLock, irql);
        return records;
    }
    /* The mounted VCB of the letter's volume, or null. */
    PVCB VcbOf(char letter)
    {
        for (PVOLUME_DEVICE_RECORD vdr : Records()) {
            if (vdr->Letter == (WCHAR)letter && vdr->MountedDevice != nullptr)
                return static_cast<PVCB>(vdr->MountedDevice->DeviceExtension);
        }
        return nullptr;
    }
    /* Nothing of any volume is left: no record, device, letter or database value of ours. */
    void ExpectNoVolumeTrace(char letter)
    {
        EXPECT_TRUE(Records().empty());
        EXPECT_EQ(VolumeDevices(), 0u);
        EXPECT_TRUE(VolumeLetters().empty());
        EXPECT_TRUE(MountedDevicesHolding(letter).empty());
    }
};

/* The same on a machine whose clock jumps over waits (the busy retries, the lock request's grace). */
class AutoClockVolumeTest : public VolumeTest {
protected:
    machine::Config BootConfig() override { return AutoClockConfig(); }
};
