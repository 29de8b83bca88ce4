/*
 * File and volume information of host files: what Linux's stat and statvfs say, in
 * Windows' records, and the changes of size, position, disposition and name.
 */
#include "hostfs/internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace hostfs {
namespace {

constexpr ULONG kAllocationUnit = 4096;
const WCHAR kFileSystemName[] = L"HOSTFS";

ULONG AttributesOf(const HostFile *file)
{
    if (file->directory)
        return FILE_ATTRIBUTE_DIRECTORY;
    return FILE_ATTRIBUTE_ARCHIVE | (file->sparse ? FILE_ATTRIBUTE_SPARSE_FILE : 0);
}

void FillBasic(const struct stat &st, const HostFile *file, FILE_BASIC_INFORMATION *info)
{
    info->CreationTime.QuadPart = WindowsTime(st.st_mtim);
    info->LastAccessTime.QuadPart = WindowsTime(st.st_atim);
    info->LastWriteTime.QuadPart = WindowsTime(st.st_mtim);
    info->ChangeTime.QuadPart = WindowsTime(st.st_ctim);
    info->FileAttributes = AttributesOf(file);
}

} // namespace

NTSTATUS QueryInformation(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    Open *open = OpenOf(fileObject);
    if (open == nullptr)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    ULONG length = stack->Parameters.QueryFile.Length;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    struct stat st {};
    if (fstat(open->fd, &st) != 0)
        return Complete(irp, StatusFromErrno(errno));
    HostFile snapshot;
    {
        std::lock_guard<std::mutex> guard(Lock());
        snapshot.directory = open->file->directory;
        snapshot.sparse = open->file->sparse;
        snapshot.deletePending = open->file->deletePending;
    }
    const HostFile *file = &snapshot;
    switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileBasicInformation: {
        if (length < sizeof(FILE_BASIC_INFORMATION))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        auto *info = static_cast<FILE_BASIC_INFORMATION *>(buffer);
        *info = FILE_BASIC_INFORMATION{};
        FillBasic(st, file, info);
        return Complete(irp, STATUS_SUCCESS, sizeof(*info));
    }
    case FileStandardInformation: {
        if (length < sizeof(FILE_STANDARD_INFORMATION))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        auto *info = static_cast<FILE_STANDARD_INFORMATION *>(buffer);
        *info = FILE_STANDARD_INFORMATION{};
        info->AllocationSize.QuadPart = file->directory ? 0 : (LONGLONG)st.st_blocks * 512;
        info->EndOfFile.QuadPart = file->directory ? 0 : (LONGLONG)st.st_size;
        info->NumberOfLinks = (ULONG)st.st_nlink;
        info->DeletePending = file->deletePending ? TRUE : FALSE;
        info->Directory = file->directory ? TRUE : FALSE;
        return Complete(irp, STATUS_SUCCESS, sizeof(*info));
    }
    case FilePositionInformation: {
        if (length < sizeof(FILE_POSITION_INFORMATION))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        static_cast<FILE_POSITION_INFORMATION *>(buffer)->CurrentByteOffset = fileObject->CurrentByteOffset;
        return Complete(irp, STATUS_SUCCESS, sizeof(FILE_POSITION_INFORMATION));
    }
    case FileNetworkOpenInformation: {
        if (length < sizeof(FILE_NETWORK_OPEN_INFORMATION))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        auto *info = static_cast<FILE_NETWORK_OPEN_INFORMATION *>(buffer);
        *info = FILE_NETWORK_OPEN_INFORMATION{};
        FILE_BASIC_INFORMATION basic{};
        FillBasic(st, file, &basic);
        info->CreationTime = basic.CreationTime;
        info->LastAccessTime = basic.LastAccessTime;
        info->LastWriteTime = basic.LastWriteTime;
        info->ChangeTime = basic.ChangeTime;
        info->AllocationSize.QuadPart = file->directory ? 0 : (LONGLONG)st.st_blocks * 512;
        info->EndOfFile.QuadPart = file->directory ? 0 : (LONGLONG)st.st_size;
        info->FileAttributes = basic.FileAttributes;
        return Complete(irp, STATUS_SUCCESS, sizeof(*info));
    }
    default:
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
}

namespace {

/* Renames within the drive: to a target directory the I/O manager opened, or beside the file. */
NTSTATUS Rename(PIO_STACK_LOCATION stack, Open *open, const FILE_RENAME_INFORMATION *info, ULONG length)
{
    if (length < FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) ||
        info->FileNameLength > length - FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) ||
        info->FileNameLength == 0)
        return STATUS_INVALID_PARAMETER;
    PFILE_OBJECT targetObject = stack->Parameters.SetFile.FileObject;
    std::string lastName;
    const WCHAR *text = targetObject != nullptr ? targetObject->FileName.Buffer : info->FileName;
    size_t units = targetObject != nullptr ? targetObject->FileName.Length / sizeof(WCHAR)
                                           : info->FileNameLength / sizeof(WCHAR);
    for (size_t i = 0; i < units; ++i) {
        uint16_t c = (uint16_t)text[i];
        if (c == u'\\' || c == u'/' || c == 0)
            return STATUS_OBJECT_NAME_INVALID;
        if (c >= 0x80)
            return STATUS_OBJECT_NAME_INVALID; /* renames keep to ASCII names here */
        lastName.push_back((char)c);
    }
    if (lastName.empty() || lastName == "." || lastName == "..")
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> guard(Lock());
    HostFile *file = open->file;
    std::string directory;
    if (targetObject != nullptr) {
        Open *target = OpenOf(targetObject);
        if (target == nullptr || target->file->drive != file->drive)
            return STATUS_NOT_SAME_DEVICE;
        directory = target->file->name;
    } else {
        size_t slash = file->name.rfind('/');
        directory = slash == std::string::npos ? std::string() : file->name.substr(0, slash);
    }
    std::string newName = directory.empty() ? lastName : directory + "/" + lastName;
    int dirFd = DirectoryOf(file->drive);
    unsigned flags = stack->Parameters.SetFile.ReplaceIfExists ? 0 : RENAME_NOREPLACE;
    if (::renameat2(dirFd, file->name.c_str(), dirFd, newName.c_str(), flags) != 0)
        return errno == ENOENT ? STATUS_OBJECT_PATH_NOT_FOUND : StatusFromErrno(errno);
    file->name = newName;
    file->nameDirty = true;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS SetInformation(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    Open *open = OpenOf(fileObject);
    if (open == nullptr)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    ULONG length = stack->Parameters.SetFile.Length;
    const void *buffer = irp->AssociatedIrp.SystemBuffer;
    HostFile *file = open->file;
    switch (stack->Parameters.SetFile.FileInformationClass) {
    case FileEndOfFileInformation:
    case FileAllocationInformation: {
        if (length < sizeof(LARGE_INTEGER))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        if (file->directory)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        if (!open->writable)
            return Complete(irp, STATUS_ACCESS_DENIED);
        LONGLONG size = static_cast<const LARGE_INTEGER *>(buffer)->QuadPart;
        if (size < 0)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        struct stat st {};
        fstat(open->fd, &st);
        if (stack->Parameters.SetFile.FileInformationClass == FileEndOfFileInformation)
            return Complete(irp, ResizeHostFile(file, open->fd, (uint64_t)size));
        // Allocation: a smaller one cuts the file; a larger one reserves blocks, size unchanged.
        if (size < st.st_size)
            return Complete(irp, ResizeHostFile(file, open->fd, (uint64_t)size));
        if (size > 0 && ::fallocate(open->fd, FALLOC_FL_KEEP_SIZE, 0, (off_t)size) != 0 && errno != EOPNOTSUPP)
            return Complete(irp, StatusFromErrno(errno));
        return Complete(irp, STATUS_SUCCESS);
    }
    case FilePositionInformation: {
        if (length < sizeof(FILE_POSITION_INFORMATION))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        LARGE_INTEGER offset = static_cast<const FILE_POSITION_INFORMATION *>(buffer)->CurrentByteOffset;
        if (offset.QuadPart < 0 ||
            ((fileObject->Flags & FO_NO_INTERMEDIATE_BUFFERING) && offset.QuadPart % SectorOf(device) != 0))
            return Complete(irp, STATUS_INVALID_PARAMETER);
        fileObject->CurrentByteOffset = offset;
        return Complete(irp, STATUS_SUCCESS);
    }
    case FileDispositionInformation: {
        if (length < sizeof(FILE_DISPOSITION_INFORMATION))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        bool remove = static_cast<const FILE_DISPOSITION_INFORMATION *>(buffer)->DeleteFile != FALSE;
        NTSTATUS status = STATUS_SUCCESS;
        if (remove && file->directory) {
            // Only an empty directory may go.
            int fd = OpenBeneath(file->drive, file->name, O_RDONLY | O_DIRECTORY, 0);
            DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
            if (dir == nullptr) {
                status = StatusFromErrno(errno);
                if (fd >= 0)
                    ::close(fd);
            } else {
                while (struct dirent *entry = readdir(dir)) {
                    std::string entryName = entry->d_name;
                    if (entryName != "." && entryName != "..") {
                        status = STATUS_DIRECTORY_NOT_EMPTY;
                        break;
                    }
                }
                closedir(dir);
            }
        }
        if (NT_SUCCESS(status)) {
            std::lock_guard<std::mutex> guard(Lock());
            file->deletePending = remove;
        }
        return Complete(irp, status);
    }
    case FileRenameInformation:
        return Complete(irp, Rename(stack, open, static_cast<const FILE_RENAME_INFORMATION *>(buffer), length));
    default:
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
}

NTSTATUS QueryVolumeInformation(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Drive *drive = DriveOf(device);
    if (drive == nullptr)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    ULONG length = stack->Parameters.QueryVolume.Length;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG sector;
    {
        std::lock_guard<std::mutex> guard(Lock());
        sector = drive->sectorSize;
    }
    struct statvfs vfs {};
    auto unitsOf = [&](uint64_t blocks) { return (LONGLONG)(blocks * vfs.f_frsize / kAllocationUnit); };
    switch (stack->Parameters.QueryVolume.FsInformationClass) {
    case FileFsSizeInformation:
    case FileFsFullSizeInformation: {
        if (DirectoryOf(drive) < 0 || fstatvfs(DirectoryOf(drive), &vfs) != 0)
            return Complete(irp, STATUS_NO_SUCH_DEVICE);
        ULONG perUnit = sector != 0 && sector <= kAllocationUnit ? kAllocationUnit / sector : 1;
        if (stack->Parameters.QueryVolume.FsInformationClass == FileFsSizeInformation) {
            if (length < sizeof(FILE_FS_SIZE_INFORMATION))
                return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
            auto *info = static_cast<FILE_FS_SIZE_INFORMATION *>(buffer);
            info->TotalAllocationUnits.QuadPart = unitsOf(vfs.f_blocks);
            info->AvailableAllocationUnits.QuadPart = unitsOf(vfs.f_bavail);
            info->SectorsPerAllocationUnit = perUnit;
            info->BytesPerSector = sector;
            return Complete(irp, STATUS_SUCCESS, sizeof(*info));
        }
        if (length < sizeof(FILE_FS_FULL_SIZE_INFORMATION))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        auto *info = static_cast<FILE_FS_FULL_SIZE_INFORMATION *>(buffer);
        info->TotalAllocationUnits.QuadPart = unitsOf(vfs.f_blocks);
        info->CallerAvailableAllocationUnits.QuadPart = unitsOf(vfs.f_bavail);
        info->ActualAvailableAllocationUnits.QuadPart = unitsOf(vfs.f_bfree);
        info->SectorsPerAllocationUnit = perUnit;
        info->BytesPerSector = sector;
        return Complete(irp, STATUS_SUCCESS, sizeof(*info));
    }
    case FileFsSectorSizeInformation: {
        if (length < sizeof(FILE_FS_SECTOR_SIZE_INFORMATION))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        auto *info = static_cast<FILE_FS_SECTOR_SIZE_INFORMATION *>(buffer);
        *info = FILE_FS_SECTOR_SIZE_INFORMATION{};
        info->LogicalBytesPerSector = sector;
        info->PhysicalBytesPerSectorForAtomicity = sector;
        info->PhysicalBytesPerSectorForPerformance = sector;
        info->FileSystemEffectivePhysicalBytesPerSectorForAtomicity = sector;
        info->Flags = 0x1 | 0x2; /* SSINFO_FLAGS_ALIGNED_DEVICE | SSINFO_FLAGS_PARTITION_ALIGNED_ON_DEVICE */
        return Complete(irp, STATUS_SUCCESS, sizeof(*info));
    }
    case FileFsAttributeInformation: {
        ULONG nameBytes = sizeof(kFileSystemName) - sizeof(WCHAR);
        ULONG needed = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) + nameBytes;
        if (length < FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName))
            return Complete(irp, STATUS_INFO_LENGTH_MISMATCH);
        auto *info = static_cast<FILE_FS_ATTRIBUTE_INFORMATION *>(buffer);
        info->FileSystemAttributes =
            FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK | FILE_SUPPORTS_SPARSE_FILES;
        info->MaximumComponentNameLength = 255;
        info->FileSystemNameLength = nameBytes;
        ULONG room = length - FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
        memcpy(info->FileSystemName, kFileSystemName, room < nameBytes ? room : nameBytes);
        if (room < nameBytes)
            return Complete(irp, STATUS_BUFFER_OVERFLOW, length);
        return Complete(irp, STATUS_SUCCESS, needed);
    }
    default:
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
}

} // namespace hostfs
