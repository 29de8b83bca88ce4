/*
 * The mount manager's driver: its driver object and \Device\MountPointManager, made
 * at boot and deleted at shutdown; the machine's own drives (C:, the letters of
 * VOREL_HOST_DRIVES, foreign letters of tests) on devices \Device\HostDisk<N> (the
 * host file system's, platform/kernel/hostfs) and \Device\ForeignDisk<X> (which take
 * no file system); the dispatch of its requests; the
 * table of volumes and the links of drive letters; and the host's letter observer.
 *
 * Every device and link the machine makes for itself is host memory and no audit
 * finding; the links it makes for drivers' volumes are ordinary links, so a letter a
 * driver leaves behind shows in the shutdown audit.
 */
#include "mountmgr/mountmgr.h"

#include "hostfs/hostfs.h"

#include "io/internal.h"
#include "ob/namespace.h"

#include "mount_manager.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <mutex>

namespace mountmgr {
namespace {

/* A drive of the machine itself and the device behind its letter. */
struct MachineDrive {
    char16_t letter;
    PDEVICE_OBJECT device;
    bool foreign;
};

struct MountManager {
    KEVENT deviceLock;                    /* the device lock: signalled when free */
    DRIVER_OBJECT driver{};
    DRIVER_EXTENSION extension{};
    PDEVICE_OBJECT device = nullptr;      /* \Device\MountPointManager */
    std::vector<MountedVolume> volumes;   /* device lock */
    std::vector<MachineDrive> drives;     /* device lock */
    std::mutex observerLock;              /* innermost; never held while the observer runs */
    machine::LetterObserver observer;     /* observerLock */
};

MountManager &State()
{
    static MountManager state;
    return state;
}

const WCHAR kDriverName[] = L"\\Driver\\MountMgr";

void SetCounted(UNICODE_STRING *counted, const std::u16string &text)
{
    counted->Buffer = reinterpret_cast<PWCH>(const_cast<char16_t *>(text.data()));
    counted->Length = counted->MaximumLength = (USHORT)(text.size() * sizeof(WCHAR));
}

char16_t Upcase(char16_t c)
{
    return c >= u'a' && c <= u'z' ? (char16_t)(c - 32) : c;
}

/* ---- Dispatch ---------------------------------------------------------------------------- */

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchUnsupported(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    irp->IoStatus.Information = 0;
    return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
}

/* Opens of the devices themselves succeed; there is nothing under them to open. */
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (stack->FileObject != nullptr && stack->FileObject->FileName.Length != 0)
        return CompleteWith(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    irp->IoStatus.Information = FILE_OPENED;
    return CompleteWith(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchCleanupOrClose(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    irp->IoStatus.Information = 0;
    return CompleteWith(irp, STATUS_SUCCESS);
}

/* The mount manager's requests; the machine's drive devices answer none. */
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (device != State().device)
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    NTSTATUS status;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION:
        status = VolumeArrival(irp, stack);
        break;
    case IOCTL_MOUNTMGR_QUERY_POINTS:
        status = QueryPoints(irp, stack);
        break;
    case IOCTL_MOUNTMGR_DELETE_POINTS:
        status = DeletePoints(irp, stack);
        break;
    case IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY:
        status = DeletePointsDatabaseOnly(irp, stack);
        break;
    case IOCTL_MOUNTMGR_CREATE_POINT:
        status = CreatePoint(irp, stack);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return CompleteWith(irp, status);
}

/* ---- The machine's drives -------------------------------------------------------------------- */

NTSTATUS CreateMachineDevice(const std::u16string &name, DEVICE_TYPE type, PDEVICE_OBJECT *device)
{
    UNICODE_STRING counted;
    SetCounted(&counted, name);
    NTSTATUS status = io::CreateDeviceObject(&State().driver, 0, &counted, type, FILE_DEVICE_SECURE_OPEN, FALSE,
                                             true, device);
    if (NT_SUCCESS(status))
        (*device)->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

/*
 * Puts a drive of the machine on a letter: its device, its link and its record in the
 * table (unique ID: the device name's UTF-16 bytes, as no database value names it).
 * Device lock held, or boot.
 */
NTSTATUS AddMachineDrive(char16_t letter, const std::u16string &deviceName, bool foreign,
                         const std::string &directory = std::string())
{
    auto &state = State();
    if (LetterTaken(letter))
        return STATUS_OBJECT_NAME_COLLISION;
    PDEVICE_OBJECT device;
    NTSTATUS status = foreign ? CreateMachineDevice(deviceName, FILE_DEVICE_MASS_STORAGE, &device)
                              : hostfs::CreateDriveDevice(letter, deviceName, directory, &device);
    if (!NT_SUCCESS(status))
        return status;
    status = ob::CreateMachineLink(NamespacePath(letter), deviceName);
    if (!NT_SUCCESS(status)) {
        if (!foreign)
            hostfs::ForgetDriveDevice(device);
        IoDeleteDevice(device);
        return status;
    }
    MountedVolume volume;
    volume.deviceName = deviceName;
    auto *bytes = reinterpret_cast<const UCHAR *>(deviceName.data());
    volume.uniqueId.assign(bytes, bytes + deviceName.size() * sizeof(WCHAR));
    volume.links.push_back(DriveLetterLink(letter));
    volume.machineOwned = true;
    state.volumes.push_back(std::move(volume));
    state.drives.push_back({letter, device, foreign});
    return STATUS_SUCCESS;
}

/* Takes a machine drive away: its link (while its record still holds it), record and device. */
void RemoveMachineDrive(size_t index)
{
    auto &state = State();
    MachineDrive drive = state.drives[index];
    state.drives.erase(state.drives.begin() + (std::ptrdiff_t)index);
    std::u16string deviceName = ob::NameOf(drive.device);
    MountedVolume *volume = FindVolumeByDevice(deviceName);
    if (volume != nullptr) {
        while (!volume->links.empty())
            RemoveLink(volume, volume->links.front(), nullptr);
        state.volumes.erase(state.volumes.begin() + (volume - state.volumes.data()));
    }
    if (!drive.foreign)
        hostfs::ForgetDriveDevice(drive.device);
    IoDeleteDevice(drive.device);
}

/* The drives of VOREL_HOST_DRIVES ("D=/srv/images,E=/x"; ';' separates too), after C: (the root). */
std::vector<std::pair<char16_t, std::string>> HostDrives()
{
    std::vector<std::pair<char16_t, std::string>> drives{{u'C', "/"}};
    const char *list = std::getenv("VOREL_HOST_DRIVES");
    for (const char *p = list; p != nullptr && *p != 0;) {
        const char *start = p;
        while (*p != 0 && *p != ',' && *p != ';')
            ++p;
        char16_t letter = Upcase((char16_t)(unsigned char)*start);
        bool known = std::any_of(drives.begin(), drives.end(), [&](const auto &d) { return d.first == letter; });
        if (letter >= u'A' && letter <= u'Z' && start[1] == '=' && !known)
            drives.push_back({letter, std::string(start + 2, p)});
        if (*p != 0)
            ++p;
    }
    return drives;
}

void BootMountManager()
{
    auto &state = State();
    KeInitializeEvent(&state.deviceLock, SynchronizationEvent, TRUE);
    io::InitializeMachineDriver(&state.driver, &state.extension, kDriverName, DispatchUnsupported);
    state.driver.MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    state.driver.MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanupOrClose;
    state.driver.MajorFunction[IRP_MJ_CLOSE] = DispatchCleanupOrClose;
    state.driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;

    NTSTATUS status = CreateMachineDevice(u"\\Device\\MountPointManager", FILE_DEVICE_UNKNOWN, &state.device);
    if (!NT_SUCCESS(status)) {
        machine::FailBoot("mountmgr: cannot make \\Device\\MountPointManager");
        return;
    }
    unsigned index = 0;
    for (const auto &drive : HostDrives()) {
        std::string number = std::to_string(index++);
        AddMachineDrive(drive.first, u"\\Device\\HostDisk" + std::u16string(number.begin(), number.end()), false,
                        drive.second);
    }
}

void ShutdownMountManager()
{
    auto &state = State();
    while (!state.drives.empty())
        RemoveMachineDrive(state.drives.size() - 1);
    // Volumes of drivers that never said goodbye: their links are the audit's finding and
    // go with the namespace.
    state.volumes.clear();
    if (state.device != nullptr)
        IoDeleteDevice(state.device);
    state.device = nullptr;
    std::lock_guard<std::mutex> guard(state.observerLock);
    state.observer = nullptr;
}

const bool registered = [] {
    machine::RegisterComponent(
        {"mount-manager", machine::kOrderMountManager, BootMountManager, nullptr, ShutdownMountManager});
    return true;
}();

} // namespace

/* ---- The lock and the table -------------------------------------------------------------------- */

void AcquireDeviceLock()
{
    KeWaitForSingleObject(&State().deviceLock, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseDeviceLock(std::vector<LetterChange> *changes)
{
    auto &state = State();
    KeSetEvent(&state.deviceLock, IO_NO_INCREMENT, FALSE);
    if (changes == nullptr || changes->empty())
        return;
    machine::LetterObserver observer;
    {
        std::lock_guard<std::mutex> guard(state.observerLock);
        observer = state.observer;
    }
    if (observer)
        for (const auto &change : *changes)
            observer(change.letter, change.deviceName, change.arrived);
}

std::vector<MountedVolume> &Volumes()
{
    return State().volumes;
}

MountedVolume *FindVolumeByDevice(const std::u16string &deviceName)
{
    for (auto &volume : State().volumes)
        if (SameName(volume.deviceName, deviceName))
            return &volume;
    return nullptr;
}

/* ---- Names ------------------------------------------------------------------------------- */

char16_t DriveLetterOf(const std::u16string &link)
{
    static const std::u16string kDos = u"\\DosDevices\\";
    static const std::u16string kShort = u"\\??\\";
    std::u16string rest;
    if (link.size() == kDos.size() + 2 && SameName(link.substr(0, kDos.size()), kDos))
        rest = link.substr(kDos.size());
    else if (link.size() == kShort.size() + 2 && link.compare(0, kShort.size(), kShort) == 0)
        rest = link.substr(kShort.size());
    else
        return 0;
    return rest[0] >= u'A' && rest[0] <= u'Z' && rest[1] == u':' ? rest[0] : 0;
}

std::u16string DriveLetterLink(char16_t letter)
{
    return std::u16string(u"\\DosDevices\\") + letter + u":";
}

std::u16string NamespacePath(char16_t letter)
{
    return std::u16string(u"\\GLOBAL??\\") + letter + u":";
}

bool SameName(const std::u16string &a, const std::u16string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upcase(a[i]) != Upcase(b[i]))
            return false;
    return true;
}

bool LetterTaken(char16_t letter)
{
    ob::LookupResult found;
    if (!NT_SUCCESS(ob::LookupObject(NamespacePath(letter), true, &found)))
        return false;
    ob::Dereference(found.object);
    return true;
}

/* ---- Links ----------------------------------------------------------------------------- */

std::u16string NamespacePathOf(const std::u16string &link)
{
    static const std::u16string kDos = u"\\DosDevices\\";
    static const std::u16string kShort = u"\\??\\";
    if (link.size() > kDos.size() && SameName(link.substr(0, kDos.size()), kDos))
        return u"\\GLOBAL??\\" + link.substr(kDos.size());
    if (link.size() > kShort.size() && link.compare(0, kShort.size(), kShort) == 0)
        return u"\\GLOBAL??\\" + link.substr(kShort.size());
    return std::u16string();
}

NTSTATUS AddLink(MountedVolume *volume, const std::u16string &link, std::vector<LetterChange> *changes)
{
    std::u16string path = NamespacePathOf(link);
    if (path.empty())
        return STATUS_INVALID_PARAMETER;
    ob::LookupResult found;
    if (NT_SUCCESS(ob::LookupObject(path, true, &found))) {
        ob::Dereference(found.object);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    UNICODE_STRING linkName, target;
    SetCounted(&linkName, path);
    SetCounted(&target, volume->deviceName);
    NTSTATUS status = IoCreateSymbolicLink(&linkName, &target);
    if (!NT_SUCCESS(status))
        return status;
    status = WriteDatabaseValue(link, volume->uniqueId);
    if (!NT_SUCCESS(status)) {
        IoDeleteSymbolicLink(&linkName);
        return status;
    }
    // Drive letters come first among a volume's links, each kind in the order given.
    char16_t letter = DriveLetterOf(link);
    auto position = letter == 0 ? volume->links.end()
                                : std::find_if(volume->links.begin(), volume->links.end(),
                                               [](const std::u16string &l) { return DriveLetterOf(l) == 0; });
    volume->links.insert(position, link);
    if (letter != 0 && !volume->machineOwned && changes != nullptr)
        changes->push_back({letter, volume->deviceName, true});
    return STATUS_SUCCESS;
}

void RemoveLink(MountedVolume *volume, std::u16string link, std::vector<LetterChange> *changes)
{
    std::u16string path = NamespacePathOf(link);
    if (!path.empty()) {
        UNICODE_STRING linkName;
        SetCounted(&linkName, path);
        IoDeleteSymbolicLink(&linkName);
    }
    // The machine's drives have no database values of their own.
    if (!volume->machineOwned)
        DeleteDatabaseValue(link);
    auto it = std::find_if(volume->links.begin(), volume->links.end(),
                           [&](const std::u16string &l) { return SameName(l, link); });
    if (it != volume->links.end())
        volume->links.erase(it);
    char16_t letter = DriveLetterOf(link);
    if (letter != 0 && !volume->machineOwned && changes != nullptr)
        changes->push_back({letter, volume->deviceName, false});
}

} // namespace mountmgr

namespace machine {

void SetLetterObserver(LetterObserver observer)
{
    auto &state = mountmgr::State();
    std::lock_guard<std::mutex> guard(state.observerLock);
    state.observer = std::move(observer);
}

std::vector<DriveLetter> DriveLetters()
{
    std::vector<DriveLetter> letters;
    mountmgr::AcquireDeviceLock();
    for (const auto &volume : mountmgr::Volumes())
        for (const auto &link : volume.links)
            if (char16_t letter = mountmgr::DriveLetterOf(link))
                letters.push_back({letter, volume.deviceName});
    mountmgr::ReleaseDeviceLock(nullptr);
    std::sort(letters.begin(), letters.end(),
              [](const DriveLetter &a, const DriveLetter &b) { return a.letter < b.letter; });
    return letters;
}

int32_t RegisterForeignLetter(char16_t letter)
{
    letter = mountmgr::Upcase(letter);
    if (letter < u'A' || letter > u'Z')
        return STATUS_INVALID_PARAMETER;
    mountmgr::AcquireDeviceLock();
    NTSTATUS status = mountmgr::AddMachineDrive(letter, std::u16string(u"\\Device\\ForeignDisk") + letter, true);
    mountmgr::ReleaseDeviceLock(nullptr);
    return status;
}

int32_t AddHostDrive(char16_t letter, const std::string &directory)
{
    letter = mountmgr::Upcase(letter);
    if (letter < u'A' || letter > u'Z')
        return STATUS_INVALID_PARAMETER;
    // Boot numbers its drives; a drive that arrives later is named for its letter.
    std::u16string deviceName = std::u16string(u"\\Device\\HostDisk") + letter;
    mountmgr::AcquireDeviceLock();
    NTSTATUS status = mountmgr::AddMachineDrive(letter, deviceName, false, directory);
    mountmgr::ReleaseDeviceLock(nullptr);
    if (!NT_SUCCESS(status))
        return status;
    // The arrival is reported outside the device lock: a driver told of it may ask the
    // mount manager at once.
    static const GUID volumeClass = {0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    DeviceInterfaceArrived(&volumeClass, std::u16string(u"\\??\\STORAGE#HostDisk#") + letter +
                                             u"#{53f5630d-b6bf-11d0-94f2-00a0c91efb8b}");
    return STATUS_SUCCESS;
}

int32_t RemoveForeignLetter(char16_t letter)
{
    letter = mountmgr::Upcase(letter);
    auto &state = mountmgr::State();
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    mountmgr::AcquireDeviceLock();
    for (size_t i = 0; i < state.drives.size(); ++i) {
        if (state.drives[i].foreign && state.drives[i].letter == letter) {
            mountmgr::RemoveMachineDrive(i);
            status = STATUS_SUCCESS;
            break;
        }
    }
    mountmgr::ReleaseDeviceLock(nullptr);
    return status;
}

} // namespace machine
