/*
 * Volume information: NtQueryVolumeInformationFile and NtSetVolumeInformationFile
 * (and their Zw forms). From user mode each class has a minimum length and an access
 * the handle must grant; the record travels in a system buffer and both calls are
 * synchronous for every handle.
 *
 * As on Windows, the I/O manager answers two classes from the device itself:
 * FileFsDeviceInformation (the type and characteristics of the device the file was
 * opened on, FILE_DEVICE_IS_MOUNTED while a file system is mounted on it) and
 * FileFsDriverPathInformation (whether a named driver is in the device's stack).
 */
#include "io/internal.h"

#include "ke/dispatcher.h"
#include "ob/namespace.h"

#include <cstring>

namespace io {
namespace {

struct VolumeRule {
    UCHAR queryLength;
    ACCESS_MASK queryAccess;
    UCHAR setLength;
    ACCESS_MASK setAccess;
};

VolumeRule RuleOf(FS_INFORMATION_CLASS c)
{
    switch (c) {
    case FileFsVolumeInformation:
        return {sizeof(FILE_FS_VOLUME_INFORMATION), 0, 0, 0};
    case FileFsLabelInformation:
        return {0, 0, sizeof(FILE_FS_LABEL_INFORMATION), FILE_WRITE_DATA};
    case FileFsSizeInformation:
        return {sizeof(FILE_FS_SIZE_INFORMATION), 0, 0, 0};
    case FileFsDeviceInformation:
        return {sizeof(FILE_FS_DEVICE_INFORMATION), 0, 0, 0};
    case FileFsAttributeInformation:
        return {sizeof(FILE_FS_ATTRIBUTE_INFORMATION), 0, 0, 0};
    case FileFsControlInformation:
        return {sizeof(FILE_FS_CONTROL_INFORMATION), FILE_READ_DATA, sizeof(FILE_FS_CONTROL_INFORMATION),
                FILE_WRITE_DATA};
    case FileFsFullSizeInformation:
        return {sizeof(FILE_FS_FULL_SIZE_INFORMATION), 0, 0, 0};
    case FileFsObjectIdInformation:
        return {sizeof(FILE_FS_OBJECTID_INFORMATION), 0, sizeof(FILE_FS_OBJECTID_INFORMATION), FILE_WRITE_DATA};
    case FileFsDriverPathInformation:
        return {sizeof(FILE_FS_DRIVER_PATH_INFORMATION), 0, 0, 0};
    case FileFsVolumeFlagsInformation:
        return {sizeof(FILE_FS_VOLUME_FLAGS_INFORMATION), 0, sizeof(FILE_FS_VOLUME_FLAGS_INFORMATION),
                FILE_WRITE_DATA};
    case FileFsSectorSizeInformation:
        return {sizeof(FILE_FS_SECTOR_SIZE_INFORMATION), 0, 0, 0};
    case FileFsDataCopyInformation:
        return {sizeof(FILE_FS_DATA_COPY_INFORMATION), 0, 0, 0};
    case FileFsMetadataSizeInformation:
        return {sizeof(FILE_FS_METADATA_SIZE_INFORMATION), 0, 0, 0};
    case FileFsFullSizeInformationEx:
        return {sizeof(FILE_FS_FULL_SIZE_INFORMATION_EX), 0, 0, 0};
    default:
        return {0, 0, 0, 0};
    }
}

/* Whether a driver of this name ("\Driver\x" or "\FileSystem\x") serves the device's stack. */
bool DriverInStack(PDEVICE_OBJECT device, const std::u16string &name)
{
    auto same = [](const std::u16string &a, const UNICODE_STRING &b) {
        std::u16string other = ob::FromCounted(&b);
        if (a.size() != other.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i)
            if (RtlUpcaseUnicodeChar((WCHAR)a[i]) != RtlUpcaseUnicodeChar((WCHAR)other[i]))
                return false;
        return true;
    };
    for (PDEVICE_OBJECT d = TopOfStack(device); d != nullptr; d = d->DeviceObjectExtension->AttachedTo)
        if (d->DriverObject != nullptr && same(name, d->DriverObject->DriverName))
            return true;
    return false;
}

/* Answers the classes the device itself holds; false for the file system's. */
bool QueryOwnClass(FileCall &call, FS_INFORMATION_CLASS c, PVOID buffer, ULONG length, NTSTATUS *status)
{
    PDEVICE_OBJECT device = call.file->DeviceObject;
    if (c == FileFsDeviceInformation) {
        FILE_FS_DEVICE_INFORMATION info{};
        info.DeviceType = device->DeviceType;
        info.Characteristics = device->Characteristics;
        PVPB vpb = device->Vpb;
        if (vpb != nullptr && (vpb->Flags & VPB_MOUNTED))
            info.Characteristics |= FILE_DEVICE_IS_MOUNTED;
        memcpy(buffer, &info, sizeof(info));
        CompleteWithoutRequest(&call, STATUS_SUCCESS, sizeof(info));
        *status = STATUS_SUCCESS;
        return true;
    }
    if (c == FileFsDriverPathInformation) {
        auto *info = static_cast<PFILE_FS_DRIVER_PATH_INFORMATION>(buffer);
        ULONG nameLength = info->DriverNameLength;
        if ((ULONGLONG)FIELD_OFFSET(FILE_FS_DRIVER_PATH_INFORMATION, DriverName) + nameLength > length) {
            *status = STATUS_INVALID_PARAMETER;
            return true;
        }
        std::u16string name(reinterpret_cast<const char16_t *>(info->DriverName), nameLength / sizeof(WCHAR));
        info->DriverInPath = DriverInStack(device, name) ? TRUE : FALSE;
        CompleteWithoutRequest(&call, STATUS_SUCCESS, 0);
        *status = STATUS_SUCCESS;
        return true;
    }
    return false;
}

NTSTATUS VolumeInformation(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, FS_INFORMATION_CLASS c,
                           bool set)
{
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if ((ULONG)c >= FileFsMaximumInformation)
        return STATUS_INVALID_INFO_CLASS;
    VolumeRule rule = RuleOf(c);
    UCHAR minimum = set ? rule.setLength : rule.queryLength;
    if (mode == UserMode && minimum == 0)
        return STATUS_INVALID_INFO_CLASS;
    if (mode == UserMode) {
        if (length < minimum)
            return STATUS_INFO_LENGTH_MISMATCH;
        if (!IsUserRange(buffer, length))
            return STATUS_ACCESS_VIOLATION;
    }
    FileCall call;
    ACCESS_MASK access = set ? rule.setAccess : rule.queryAccess;
    NTSTATUS status = BeginFileCall(&call, handle, mode == UserMode ? access : 0, nullptr, iosb);
    if (!NT_SUCCESS(status))
        return status;
    if (!set && length >= minimum && QueryOwnClass(call, c, buffer, length, &status)) {
        EndFileCall(&call);
        return status;
    }
    UCHAR major = set ? IRP_MJ_SET_VOLUME_INFORMATION : IRP_MJ_QUERY_VOLUME_INFORMATION;
    return IssueFileRequest(&call, major, 0, true, [&](Request *request, PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryVolume.Length = length;
        stack->Parameters.QueryVolume.FsInformationClass = c;
        return AttachSystemBuffer(request, buffer, length, set, !set);
    });
}

} // namespace
} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                         PVOID FsInformation, ULONG Length,
                                                         FS_INFORMATION_CLASS FsInformationClass)
{
    ke::CheckIrql((const void *)&NtQueryVolumeInformationFile, PASSIVE_LEVEL);
    return io::VolumeInformation(FileHandle, IoStatusBlock, FsInformation, Length, FsInformationClass, false);
}

NTSYSCALLAPI NTSTATUS NTAPI NtSetVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                       PVOID FsInformation, ULONG Length,
                                                       FS_INFORMATION_CLASS FsInformationClass)
{
    ke::CheckIrql((const void *)&NtSetVolumeInformationFile, PASSIVE_LEVEL);
    return io::VolumeInformation(FileHandle, IoStatusBlock, FsInformation, Length, FsInformationClass, true);
}

NTSYSAPI NTSTATUS NTAPI ZwQueryVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                     PVOID FsInformation, ULONG Length,
                                                     FS_INFORMATION_CLASS FsInformationClass)
{
    return io::AsKernelCall([&] {
        return NtQueryVolumeInformationFile(FileHandle, IoStatusBlock, FsInformation, Length, FsInformationClass);
    });
}

NTSYSAPI NTSTATUS NTAPI ZwSetVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                                   PVOID FsInformation, ULONG Length,
                                                   FS_INFORMATION_CLASS FsInformationClass)
{
    return io::AsKernelCall([&] {
        return NtSetVolumeInformationFile(FileHandle, IoStatusBlock, FsInformation, Length, FsInformationClass);
    });
}

} // extern "C"
