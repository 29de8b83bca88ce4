/*
 * The in-process host for user-mode tests (see test_host.h).
 */
#include "test_host.h"

#include "server.h"

#include <ntifs.h>
#include <wdmsec.h>

#include <vorel_control.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include <sys/stat.h>
#include <unistd.h>

namespace testhost {

namespace {

struct DriverState {
    std::mutex lock;
    std::map<uint32_t, Reply> scripted;
    std::vector<SeenRequest> seen;
    std::atomic<int> creates{0}, cleanups{0}, closes{0}, controls{0}, cancelled{0}, pending{0};
    std::atomic<uint32_t> allowUserAccess{1};
    std::condition_variable releaseWake;
    bool released = false;
    std::string driveLinks; /* letters with a drive link to the control device */
    std::vector<uint8_t> fileData;        /* the one file every name under the device opens */
    std::vector<FileRequest> fileRequests;
    bool fullSizeClass = true;
};

DriverState *state = nullptr;
PDEVICE_OBJECT controlDevice = nullptr;

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID NTAPI CancelPending(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    state->cancelled++;
    state->pending--;
    CompleteRequest(irp, STATUS_CANCELLED);
}

NTSTATUS Pend(PIRP irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoMarkIrpPending(irp);
    state->pending++;
    IoSetCancelRoutine(irp, CancelPending);
    bool cancelled = irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr;
    IoReleaseCancelSpinLock(irql);
    if (cancelled) {
        state->cancelled++;
        state->pending--;
        CompleteRequest(irp, STATUS_CANCELLED);
    }
    return STATUS_PENDING;
}

NTSTATUS Control(PIRP irp, PIO_STACK_LOCATION stack)
{
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto *buffer = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    Reply reply;
    bool scripted;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        SeenRequest seen;
        seen.code = code;
        if (inLength != 0 && buffer != nullptr)
            seen.input.assign(buffer, buffer + inLength);
        seen.outputLength = outLength;
        state->seen.push_back(seen);
        auto it = state->scripted.find(code);
        scripted = it != state->scripted.end();
        if (scripted)
            reply = it->second;
    }
    if (scripted) {
        size_t room = inLength > outLength ? inLength : outLength;
        size_t n = reply.data.size() < room ? reply.data.size() : room;
        if (n != 0)
            std::memcpy(buffer, reply.data.data(), n);
        return CompleteRequest(irp, reply.status, reply.information);
    }
    switch (code) {
    case kEcho:
        return CompleteRequest(irp, STATUS_SUCCESS, inLength < outLength ? inLength : outLength);
    case kPendUntilCancelled:
        return Pend(irp);
    case kWaitForRelease: {
        std::unique_lock<std::mutex> guard(state->lock);
        state->releaseWake.wait(guard, [] { return state->released; });
        guard.unlock();
        return CompleteRequest(irp, STATUS_SUCCESS, inLength < outLength ? inLength : outLength);
    }
    case kIdentity: {
        if (outLength < 8)
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        SECURITY_SUBJECT_CONTEXT subject;
        SeCaptureSubjectContext(&subject);
        SeLockSubjectContext(&subject);
        BOOLEAN admin = SeTokenIsAdmin(SeQuerySubjectContextToken(&subject));
        SeUnlockSubjectContext(&subject);
        SeReleaseSubjectContext(&subject);
        ULONG reply2[2] = {admin ? 1u : 0u, (ULONG)(ULONG_PTR)PsGetCurrentProcessId()};
        std::memcpy(buffer, reply2, sizeof(reply2));
        return CompleteRequest(irp, STATUS_SUCCESS, sizeof(reply2));
    }
    case IOCTL_VOREL_PING: {
        if (outLength < sizeof(VOREL_PING_REPLY))
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        VOREL_PING_REPLY ping{};
        ping.Major = VOREL_VERSION_MAJOR;
        ping.Minor = VOREL_VERSION_MINOR;
        std::memcpy(ping.BuildStamp, "Jan  1 2026 00:00:00", 20);
        std::memcpy(buffer, &ping, sizeof(ping));
        return CompleteRequest(irp, STATUS_SUCCESS, sizeof(ping));
    }
    case IOCTL_VOREL_GET_SETTINGS: {
        if (outLength < sizeof(VOREL_SETTINGS))
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        VOREL_SETTINGS settings{state->allowUserAccess.load(), 0};
        std::memcpy(buffer, &settings, sizeof(settings));
        return CompleteRequest(irp, STATUS_SUCCESS, sizeof(settings));
    }
    case IOCTL_VOREL_SET_SETTINGS: {
        if (inLength < sizeof(VOREL_SETTINGS))
            return CompleteRequest(irp, STATUS_BUFFER_TOO_SMALL);
        VOREL_SETTINGS settings;
        std::memcpy(&settings, buffer, sizeof(settings));
        state->allowUserAccess = settings.AllowUserAccess != 0;
        return CompleteRequest(irp, STATUS_SUCCESS);
    }
    default:
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

constexpr uint32_t kSerialNumber = 0x5EA1F11E;
constexpr int64_t kFileIndex = 0x0000123487654321ll;
constexpr int64_t kFileTime = 0x01DA000000000000ll;

/*
 * The file requests: one file of state->fileData's size behind every name, its
 * information fixed but for the size; sets and file-system controls recorded, the
 * end of file applied.
 */
NTSTATUS ServeFileRequest(PIRP irp, PIO_STACK_LOCATION stack)
{
    std::unique_lock<std::mutex> guard(state->lock);
    testhost::FileRequest seen;
    seen.major = stack->MajorFunction;
    auto *system = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    std::vector<uint8_t> &data = state->fileData;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_QUERY_INFORMATION: {
        seen.informationClass = stack->Parameters.QueryFile.FileInformationClass;
        if (seen.informationClass != FileAllInformation) {
            status = STATUS_INVALID_INFO_CLASS;
            break;
        }
        if (stack->Parameters.QueryFile.Length < sizeof(FILE_ALL_INFORMATION)) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        auto *all = reinterpret_cast<FILE_ALL_INFORMATION *>(system);
        std::memset(all, 0, sizeof(*all));
        all->BasicInformation.CreationTime.QuadPart = kFileTime;
        all->BasicInformation.LastAccessTime.QuadPart = kFileTime + 2;
        all->BasicInformation.LastWriteTime.QuadPart = kFileTime + 1;
        all->BasicInformation.FileAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SPARSE_FILE;
        all->StandardInformation.EndOfFile.QuadPart = (LONGLONG)data.size();
        all->StandardInformation.NumberOfLinks = 3;
        all->InternalInformation.IndexNumber.QuadPart = kFileIndex;
        information = sizeof(*all);
        break;
    }
    case IRP_MJ_QUERY_VOLUME_INFORMATION: {
        seen.informationClass = stack->Parameters.QueryVolume.FsInformationClass;
        ULONG length = stack->Parameters.QueryVolume.Length;
        if (seen.informationClass == FileFsVolumeInformation && length >= sizeof(FILE_FS_VOLUME_INFORMATION)) {
            auto *volume = reinterpret_cast<FILE_FS_VOLUME_INFORMATION *>(system);
            std::memset(volume, 0, sizeof(*volume));
            volume->VolumeSerialNumber = kSerialNumber;
            information = FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
        } else if (seen.informationClass == FileFsFullSizeInformation && state->fullSizeClass &&
                   length >= sizeof(FILE_FS_FULL_SIZE_INFORMATION)) {
            auto *full = reinterpret_cast<FILE_FS_FULL_SIZE_INFORMATION *>(system);
            full->TotalAllocationUnits.QuadPart = 1000;
            full->CallerAvailableAllocationUnits.QuadPart = 300;
            full->ActualAvailableAllocationUnits.QuadPart = 400;
            full->SectorsPerAllocationUnit = 8;
            full->BytesPerSector = 512;
            information = sizeof(*full);
        } else if (seen.informationClass == FileFsSizeInformation && length >= sizeof(FILE_FS_SIZE_INFORMATION)) {
            auto *size = reinterpret_cast<FILE_FS_SIZE_INFORMATION *>(system);
            size->TotalAllocationUnits.QuadPart = 1000;
            size->AvailableAllocationUnits.QuadPart = 400;
            size->SectorsPerAllocationUnit = 1;
            size->BytesPerSector = 4096;
            information = sizeof(*size);
        } else {
            status = STATUS_INVALID_INFO_CLASS;
        }
        break;
    }
    case IRP_MJ_SET_INFORMATION:
        seen.informationClass = stack->Parameters.SetFile.FileInformationClass;
        seen.input.assign(system, system + stack->Parameters.SetFile.Length);
        if (seen.informationClass == FileEndOfFileInformation)
            data.resize(reinterpret_cast<FILE_END_OF_FILE_INFORMATION *>(system)->EndOfFile.QuadPart);
        break;
    default: /* IRP_MJ_FILE_SYSTEM_CONTROL */
        seen.code = stack->Parameters.FileSystemControl.FsControlCode;
        if (system != nullptr)
            seen.input.assign(system, system + stack->Parameters.FileSystemControl.InputBufferLength);
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    state->fileRequests.push_back(seen);
    guard.unlock();
    return CompleteRequest(irp, status, information);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        state->creates++;
        return CompleteRequest(irp, STATUS_SUCCESS);
    case IRP_MJ_CLEANUP:
        state->cleanups++;
        return CompleteRequest(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        state->closes++;
        return CompleteRequest(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
        state->controls++;
        return Control(irp, stack);
    case IRP_MJ_QUERY_INFORMATION:
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
    case IRP_MJ_SET_INFORMATION:
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        return ServeFileRequest(irp, stack);
    default:
        return CompleteRequest(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

/* \DosDevices\X: as a counted string over buffer (7 units). */
UNICODE_STRING DriveLinkName(char letter, WCHAR *buffer)
{
    const WCHAR prefix[] = L"\\DosDevices\\";
    size_t i = 0;
    for (; prefix[i] != 0; ++i)
        buffer[i] = prefix[i];
    buffer[i++] = (WCHAR)letter;
    buffer[i++] = L':';
    UNICODE_STRING name;
    name.Buffer = buffer;
    name.Length = name.MaximumLength = (USHORT)(i * sizeof(WCHAR));
    return name;
}

VOID NTAPI Unload(PDRIVER_OBJECT)
{
    std::string letters = state->driveLinks;
    for (char letter : letters)
        RemoveDriveLink(letter);
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\Vorel");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(controlDevice);
    controlDevice = nullptr;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT object, PUNICODE_STRING)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Vorel");
    UNICODE_STRING sddl = RTL_CONSTANT_STRING(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)");
    NTSTATUS status = IoCreateDeviceSecure(object, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                                           &sddl, nullptr, &controlDevice);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\Vorel");
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(controlDevice);
        return status;
    }
    for (auto &routine : object->MajorFunction)
        routine = Dispatch;
    object->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

} // namespace

void ScriptReply(uint32_t code, const Reply &reply)
{
    std::lock_guard<std::mutex> guard(state->lock);
    state->scripted[code] = reply;
}

std::vector<SeenRequest> SeenRequests()
{
    std::lock_guard<std::mutex> guard(state->lock);
    return state->seen;
}

Counts Count()
{
    Counts counts;
    counts.creates = state->creates;
    counts.cleanups = state->cleanups;
    counts.closes = state->closes;
    counts.controls = state->controls;
    counts.cancelled = state->cancelled;
    counts.pending = state->pending;
    return counts;
}

void MakeDriveLink(char letter)
{
    WCHAR buffer[16];
    UNICODE_STRING link = DriveLinkName(letter, buffer);
    UNICODE_STRING target = RTL_CONSTANT_STRING(L"\\Device\\Vorel");
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &target));
    std::lock_guard<std::mutex> guard(state->lock);
    state->driveLinks += letter;
}

void RemoveDriveLink(char letter)
{
    WCHAR buffer[16];
    UNICODE_STRING link = DriveLinkName(letter, buffer);
    IoDeleteSymbolicLink(&link);
    std::lock_guard<std::mutex> guard(state->lock);
    auto at = state->driveLinks.find(letter);
    if (at != std::string::npos)
        state->driveLinks.erase(at, 1);
}

void SetFileData(const std::vector<uint8_t> &data)
{
    std::lock_guard<std::mutex> guard(state->lock);
    state->fileData = data;
}

std::vector<uint8_t> FileData()
{
    std::lock_guard<std::mutex> guard(state->lock);
    return state->fileData;
}

std::vector<FileRequest> FileRequests()
{
    std::lock_guard<std::mutex> guard(state->lock);
    return state->fileRequests;
}

void OfferFullSizeClass(bool offered)
{
    state->fullSizeClass = offered;
}

uint32_t AllowUserAccess()
{
    return state->allowUserAccess;
}

void Release()
{
    std::lock_guard<std::mutex> guard(state->lock);
    state->released = true;
    state->releaseWake.notify_all();
}

std::string MakeTemporaryDirectory(const char *prefix)
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::string path = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    if (!path.empty())
        chmod(path.c_str(), 0755); /* other users (the tests' standard user) reach what is inside */
    return path;
}

void RemoveTree(const std::string &path)
{
    std::error_code error;
    std::filesystem::remove_all(path, error);
}

TestHost::TestHost() = default;
TestHost::~TestHost() = default;

void TestHost::SetUp()
{
    state = new DriverState();
    runtimeDirectory_ = MakeTemporaryDirectory("vorel-host");
    ASSERT_FALSE(runtimeDirectory_.empty());
    setenv("VOREL_RUNTIME_DIR", runtimeDirectory_.c_str(), 1);
    socketPath_ = runtimeDirectory_ + "/vorel.sock";
    machine::Boot(BootConfig());
    if (LoadsDriver()) {
        ASSERT_EQ(STATUS_SUCCESS, machine::LoadBuiltInDriver((void *)&Entry, "vorel"));
    }
    transport::ServerOptions options;
    options.socketPath = socketPath_;
    ConfigureServer(options);
    std::string error;
    server_ = transport::Server::Start(options, &error);
    ASSERT_NE(nullptr, server_) << error;
}

void TestHost::TearDown()
{
    Release(); /* nothing may stay blocked in the driver */
    if (server_ != nullptr)
        server_->Stop();
    server_.reset();
    if (machine::IsBooted()) {
        if (machine::IsDriverLoaded("vorel")) {
            EXPECT_EQ(STATUS_SUCCESS, machine::UnloadDriver("vorel"));
        }
        machine::AuditReport report = machine::Shutdown();
        EXPECT_TRUE(report.Clean()) << report.Text();
    }
    RemoveTree(runtimeDirectory_);
    delete state;
    state = nullptr;
}

} // namespace testhost
