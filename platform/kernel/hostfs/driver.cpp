/*
 * The host file system's driver object, its drives, the table of open host files,
 * cleanup and close, and the audit (no host file may stay open past shutdown).
 */
#include "hostfs/internal.h"

#include "io/internal.h"

#include "machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace hostfs {
namespace {

const WCHAR kDriverName[] = L"\\FileSystem\\HostFs";

struct State {
    DRIVER_OBJECT driver{};
    DRIVER_EXTENSION extension{};
    std::vector<std::unique_ptr<Drive>> drives;                      /* the lock */
    std::map<std::pair<dev_t, ino_t>, std::unique_ptr<HostFile>> files; /* the lock */
};

State &TheState()
{
    static State state;
    return state;
}

NTSTATUS NTAPI DispatchUnsupported(PDEVICE_OBJECT, PIRP irp)
{
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

void Boot()
{
    State &state = TheState();
    io::InitializeMachineDriver(&state.driver, &state.extension, kDriverName, DispatchUnsupported);
    state.driver.MajorFunction[IRP_MJ_CREATE] = Create;
    state.driver.MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
    state.driver.MajorFunction[IRP_MJ_CLOSE] = Close;
    state.driver.MajorFunction[IRP_MJ_READ] = Read;
    state.driver.MajorFunction[IRP_MJ_WRITE] = Write;
    state.driver.MajorFunction[IRP_MJ_FLUSH_BUFFERS] = FlushBuffers;
    state.driver.MajorFunction[IRP_MJ_FILE_SYSTEM_CONTROL] = FileSystemControl;
    state.driver.MajorFunction[IRP_MJ_QUERY_INFORMATION] = QueryInformation;
    state.driver.MajorFunction[IRP_MJ_SET_INFORMATION] = SetInformation;
    state.driver.MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = QueryVolumeInformation;
}

void AuditFiles(machine::AuditReport &report)
{
    std::lock_guard<std::mutex> guard(Lock());
    for (const auto &entry : TheState().files)
        report.findings.push_back("hostfs: host file still open: " + entry.second->drive->directory + "/" +
                                  entry.second->name);
}

void Shutdown()
{
    State &state = TheState();
    machine::DisarmHostFileFaults();
    std::lock_guard<std::mutex> guard(Lock());
    // File objects the audit found left: their descriptors go with the machine.
    state.files.clear();
    for (auto &drive : state.drives)
        if (drive->directoryFd >= 0)
            ::close(drive->directoryFd);
    state.drives.clear();
}

const bool registered = [] {
    machine::RegisterComponent({"host-files", machine::kOrderIo + 5, Boot, AuditFiles, Shutdown});
    return true;
}();

} // namespace

std::mutex &Lock()
{
    static std::mutex lock;
    return lock;
}

NTSTATUS CreateDriveDevice(char16_t letter, const std::u16string &deviceName, const std::string &directory,
                           PDEVICE_OBJECT *device)
{
    *device = nullptr;
    auto drive = std::make_unique<Drive>();
    drive->letter = letter;
    drive->directory = directory.size() > 1 && directory.back() == '/' ? directory.substr(0, directory.size() - 1)
                                                                        : directory;
    drive->confined = drive->directory != "/";
    const char *mountRoot = std::getenv("VOREL_MOUNT_ROOT");
    drive->mountRoot = mountRoot != nullptr && mountRoot[0] != 0 ? mountRoot : "/mnt/vorel";
    while (drive->mountRoot.size() > 1 && drive->mountRoot.back() == '/')
        drive->mountRoot.pop_back();
    // A drive whose directory is missing still holds its letter; its opens find nothing until it comes.
    DirectoryOf(drive.get());
    UNICODE_STRING counted;
    counted.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t *>(deviceName.data()));
    counted.Length = counted.MaximumLength = (USHORT)(deviceName.size() * sizeof(WCHAR));
    NTSTATUS status = io::CreateDeviceObject(&TheState().driver, 0, &counted, FILE_DEVICE_MASS_STORAGE,
                                             FILE_DEVICE_SECURE_OPEN, FALSE, true, device);
    if (!NT_SUCCESS(status)) {
        if (drive->directoryFd >= 0)
            ::close(drive->directoryFd);
        return status;
    }
    // A local disk to FileFsDeviceInformation, which the I/O manager answers from the device;
    // made as mass storage so it gets no VPB: the drive is its own mounted volume.
    (*device)->DeviceType = FILE_DEVICE_DISK;
    (*device)->SectorSize = 512;
    (*device)->AlignmentRequirement = 512 - 1;
    (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    drive->device = *device;
    std::lock_guard<std::mutex> guard(Lock());
    TheState().drives.push_back(std::move(drive));
    return STATUS_SUCCESS;
}

void ForgetDriveDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(Lock());
    auto &drives = TheState().drives;
    for (auto it = drives.begin(); it != drives.end(); ++it) {
        if ((*it)->device == device) {
            if ((*it)->directoryFd >= 0)
                ::close((*it)->directoryFd);
            drives.erase(it);
            return;
        }
    }
}

Drive *DriveOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(Lock());
    for (auto &drive : TheState().drives)
        if (drive->device == device)
            return drive.get();
    return nullptr;
}

int DirectoryOf(Drive *drive)
{
    int fd = drive->directoryFd.load(std::memory_order_acquire);
    if (fd >= 0)
        return fd;
    fd = ::open(drive->directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int expected = -1;
    if (drive->directoryFd.compare_exchange_strong(expected, fd, std::memory_order_acq_rel))
        return fd;
    ::close(fd); /* another thread's is the drive's */
    return expected;
}

ULONG SectorOf(PDEVICE_OBJECT device)
{
    return device->SectorSize != 0 ? device->SectorSize : 512;
}

HostFile *FindOrAddHostFile(Drive *drive, const struct stat &st, const std::string &name)
{
    auto key = std::make_pair(st.st_dev, st.st_ino);
    auto &files = TheState().files;
    auto it = files.find(key);
    if (it != files.end())
        return it->second.get();
    auto file = std::make_unique<HostFile>();
    file->drive = drive;
    file->key = key;
    file->name = name;
    file->directory = S_ISDIR(st.st_mode);
    HostFile *result = file.get();
    files.emplace(key, std::move(file));
    return result;
}

void ReleaseHostFile(HostFile *file)
{
    if (--file->opens != 0)
        return;
    TheState().files.erase(file->key);
}

NTSTATUS StatusFromErrno(int error)
{
    switch (error) {
    case 0:
        return STATUS_SUCCESS;
    case EACCES:
    case EPERM:
    case EXDEV: /* a name that would leave its drive */
        return STATUS_ACCESS_DENIED;
    case ENOENT:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EEXIST:
        return STATUS_OBJECT_NAME_COLLISION;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENOTEMPTY:
        return STATUS_DIRECTORY_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return STATUS_DISK_FULL;
    case ENAMETOOLONG:
        return STATUS_OBJECT_NAME_INVALID;
    case EROFS:
        return STATUS_MEDIA_WRITE_PROTECTED;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
        return STATUS_INSUFFICIENT_RESOURCES;
    case EINVAL:
        return STATUS_INVALID_PARAMETER;
    case EIO:
        return STATUS_IO_DEVICE_ERROR;
    case EBUSY:
    case ETXTBSY:
        return STATUS_SHARING_VIOLATION;
    default:
        return STATUS_UNEXPECTED_IO_ERROR;
    }
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

LONGLONG WindowsTime(const struct timespec &time)
{
    constexpr LONGLONG kEpochDifference = 116444736000000000LL; /* 1601 to 1970 in 100 ns */
    return kEpochDifference + (LONGLONG)time.tv_sec * 10000000 + time.tv_nsec / 100;
}

/*
 * The last handle went: share access is given back, and a file whose delete is pending
 * loses its name (the descriptors of other file objects keep the data alive, as on Linux).
 */
NTSTATUS Cleanup(PDEVICE_OBJECT, PIRP irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    Open *open = OpenOf(fileObject);
    if (open != nullptr) {
        std::lock_guard<std::mutex> guard(Lock());
        HostFile *file = open->file;
        IoRemoveShareAccess(fileObject, &file->share);
        if (open->deleteOnClose)
            file->deletePending = true;
        if (--file->handles == 0 && file->deletePending) {
            Drive *drive = file->drive;
            int dirFd = DirectoryOf(drive);
            if (::unlinkat(dirFd, file->name.c_str(), file->directory ? AT_REMOVEDIR : 0) == 0) {
                file->nameDirty = true;
                file->deletePending = false;
            }
        }
        fileObject->Flags |= FO_CLEANUP_COMPLETE;
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS Close(PDEVICE_OBJECT, PIRP irp)
{
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    Open *open = OpenOf(fileObject);
    if (open != nullptr) {
        {
            std::lock_guard<std::mutex> guard(Lock());
            ReleaseHostFile(open->file);
        }
        ::close(open->fd);
        delete open;
        fileObject->FsContext = nullptr;
        fileObject->FsContext2 = nullptr;
    }
    return Complete(irp, STATUS_SUCCESS);
}

} // namespace hostfs

bool machine::SetHostDriveSectorSize(char16_t letter, uint32_t bytes)
{
    if (bytes > 32768 || (bytes & (bytes - 1)) != 0)
        return false; /* the device's field holds powers of two up to 32 KiB */
    std::lock_guard<std::mutex> guard(hostfs::Lock());
    for (auto &drive : hostfs::TheState().drives) {
        if (drive->letter == letter) {
            drive->sectorSize = bytes;
            drive->device->SectorSize = (USHORT)(bytes != 0 ? bytes : 512);
            drive->device->AlignmentRequirement = (bytes != 0 ? bytes : 512) - 1;
            return true;
        }
    }
    return false;
}
