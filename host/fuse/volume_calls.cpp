/*
 * The call frame, opens and closes, attributes, security and the volume's size.
 *
 * Every record a native call reads or writes is in the frame, which lives in the
 * current process's user space: previous mode is user, so the I/O manager probes
 * each pointer as it would a Windows program's.
 */
#include "volume_internal.h"

#include "machine.h"

#include <cstring>

namespace fusebridge {

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;
constexpr SECURITY_INFORMATION kOwnershipParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

void Fill(NodeAttributes *attributes, const FILE_STAT_INFORMATION &stat)
{
    attributes->id = (uint64_t)stat.FileId.QuadPart;
    attributes->size = (uint64_t)stat.EndOfFile.QuadPart;
    attributes->allocation = (uint64_t)stat.AllocationSize.QuadPart;
    attributes->links = stat.NumberOfLinks;
    attributes->fileAttributes = stat.FileAttributes;
    attributes->reparseTag = (stat.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? stat.ReparseTag : 0;
    attributes->creationTime = stat.CreationTime.QuadPart;
    attributes->accessTime = stat.LastAccessTime.QuadPart;
    attributes->writeTime = stat.LastWriteTime.QuadPart;
    attributes->changeTime = stat.ChangeTime.QuadPart;
    attributes->directory = (stat.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    attributes->symlink = attributes->reparseTag == IO_REPARSE_TAG_SYMLINK;
}

} // namespace

int64_t FileTimeOfUnix(int64_t seconds, long nanoseconds)
{
    return seconds * 10000000LL + nanoseconds / 100 + kUnixEpochAsFileTime;
}

void UnixOfFileTime(int64_t fileTime, int64_t *seconds, long *nanoseconds)
{
    int64_t since = fileTime - kUnixEpochAsFileTime;
    int64_t whole = since / 10000000LL;
    int64_t rest = since % 10000000LL;
    if (rest < 0) {
        rest += 10000000LL;
        whole--;
    }
    *seconds = whole;
    *nanoseconds = (long)(rest * 100);
}

/*
 * Each serving thread keeps the frame, data area and event of the last few processes it
 * acted in, so a request costs no allocation in user space; they go back when the
 * thread ends (every serving thread ends before the bridge releases its processes).
 */
struct KeptFrame {
    void *process = nullptr;
    VolumeCalls::Frame *frame = nullptr;
    uint8_t *data = nullptr;
    size_t dataBytes = 0;
    Handle event = 0;
    bool busy = false;
};

struct ThreadFrames {
    static constexpr size_t kMaxKept = 4;
    static constexpr size_t kMaxKeptData = 1024 * 1024;
    KeptFrame kept[kMaxKept];
    size_t count = 0;

    ~ThreadFrames()
    {
        for (size_t i = 0; i < count; ++i) {
            KeptFrame &k = kept[i];
            if (k.event != 0) {
                machine::AttachCurrentThread();
                machine::EnterProcess(k.process);
                (void)NtClose(AsHandle(k.event));
                machine::LeaveProcess();
                machine::DetachCurrentThread();
            }
            if (k.data != nullptr)
                machine::UserFree(k.process, k.data);
            machine::UserFree(k.process, k.frame);
        }
    }

    /* A kept frame for the process with room for dataBytes, or null (the caller allocates its own). */
    KeptFrame *Take(void *process, size_t dataBytes)
    {
        if (dataBytes > kMaxKeptData)
            return nullptr;
        KeptFrame *slot = nullptr;
        for (size_t i = 0; i < count && slot == nullptr; ++i)
            if (kept[i].process == process && !kept[i].busy)
                slot = &kept[i];
        if (slot == nullptr) {
            if (count == kMaxKept)
                return nullptr;
            auto *frame = static_cast<VolumeCalls::Frame *>(machine::UserAlloc(process, sizeof(VolumeCalls::Frame)));
            if (frame == nullptr)
                return nullptr;
            new (frame) VolumeCalls::Frame;
            slot = &kept[count++];
            slot->process = process;
            slot->frame = frame;
        }
        if (slot->dataBytes < dataBytes) {
            uint8_t *data = static_cast<uint8_t *>(machine::UserAlloc(process, kMaxKeptData));
            if (data == nullptr)
                return nullptr;
            if (slot->data != nullptr)
                machine::UserFree(process, slot->data);
            slot->data = data;
            slot->dataBytes = kMaxKeptData;
        }
        slot->busy = true;
        return slot;
    }
};

thread_local ThreadFrames threadFrames;

VolumeCalls::VolumeCalls(char16_t letter, void *process, size_t dataBytes) : letter_(letter), process_(process)
{
    if (process == nullptr)
        return;
    if (KeptFrame *kept = threadFrames.Take(process, dataBytes)) {
        cached_ = kept;
        frame_ = kept->frame;
        event_ = kept->event;
        if (dataBytes != 0) {
            data_ = kept->data;
            dataBytes_ = dataBytes;
        }
        return;
    }
    frame_ = static_cast<Frame *>(machine::UserAlloc(process, sizeof(Frame)));
    if (frame_ == nullptr)
        return;
    new (frame_) Frame;
    if (dataBytes != 0) {
        data_ = static_cast<uint8_t *>(machine::UserAlloc(process, dataBytes));
        if (data_ == nullptr) {
            machine::UserFree(process, frame_);
            frame_ = nullptr;
            return;
        }
        dataBytes_ = dataBytes;
    }
}

VolumeCalls::~VolumeCalls()
{
    if (root_ != 0)
        (void)NtClose(AsHandle(root_));
    if (cached_ != nullptr) {
        auto *kept = static_cast<KeptFrame *>(cached_);
        kept->event = event_;
        kept->busy = false;
        return;
    }
    if (event_ != 0)
        (void)NtClose(AsHandle(event_));
    if (data_ != nullptr)
        machine::UserFree(process_, data_);
    if (frame_ != nullptr)
        machine::UserFree(process_, frame_);
}

/* The name in the frame: false (nothing set) when it does not fit. */
bool VolumeCalls::Frame::SetName(const char16_t *prefix, const std::u16string &rest)
{
    size_t prefixUnits = prefix == nullptr ? 0 : std::char_traits<char16_t>::length(prefix);
    size_t units = prefixUnits + rest.size();
    if (units > kNameUnits)
        return false;
    if (prefixUnits != 0)
        std::memcpy(nameBuffer, prefix, prefixUnits * sizeof(char16_t));
    if (!rest.empty())
        std::memcpy(nameBuffer + prefixUnits, rest.data(), rest.size() * sizeof(char16_t));
    name.Buffer = reinterpret_cast<PWCH>(nameBuffer);
    name.Length = (USHORT)(units * sizeof(char16_t));
    name.MaximumLength = name.Length;
    return true;
}

Status VolumeCalls::OpenByPath(const std::u16string &path, uint32_t access, uint32_t disposition, uint32_t options,
                               const std::vector<uint8_t> *descriptor, Handle related, Handle *handle,
                               uint64_t *action)
{
    Frame *f = frame_;
    if (path.size() * sizeof(char16_t) > 0xFFFE || !f->SetName(nullptr, path))
        return STATUS_NAME_TOO_LONG;
    void *security = nullptr;
    if (descriptor != nullptr && !descriptor->empty()) {
        if (descriptor->size() > sizeof(f->descriptor))
            return STATUS_INVALID_SECURITY_DESCR;
        std::memcpy(f->descriptor, descriptor->data(), descriptor->size());
        security = f->descriptor;
    }
    // Synchronous I/O waits on the file object: the handle needs the right to.
    if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        access |= SYNCHRONIZE;
    InitializeObjectAttributes(&f->attributes, &f->name, OBJ_CASE_INSENSITIVE, AsHandle(related), security);
    f->handle = nullptr;
    NTSTATUS status = NtCreateFile(&f->handle, access, &f->attributes, &f->iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   kShareAll, disposition, options | FILE_OPEN_REPARSE_POINT, nullptr, 0);
    if (NT_SUCCESS(status)) {
        *handle = AsValue(f->handle);
        if (action != nullptr)
            *action = (uint64_t)f->iosb.Information;
    }
    return status;
}

Status VolumeCalls::OpenRoot(Handle *handle)
{
    if (root_ == 0) {
        char16_t root[] = {u'\\', u'?', u'?', u'\\', letter_, u':', u'\\', 0};
        Status status = OpenByPath(root, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, nullptr, 0, &root_, nullptr);
        if (!NT_SUCCESS(status))
            return status;
    }
    *handle = root_;
    return STATUS_SUCCESS;
}

Status VolumeCalls::OpenNode(uint64_t id, uint32_t access, uint32_t options, Handle *handle)
{
    if (id == kRootNode) {
        char16_t root[] = {u'\\', u'?', u'?', u'\\', letter_, u':', u'\\', 0};
        return OpenByPath(root, access, FILE_OPEN, options, nullptr, 0, handle, nullptr);
    }
    Handle root;
    Status status = OpenRoot(&root);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string idName(4, u'\0');
    std::memcpy(&idName[0], &id, sizeof(id));
    return OpenByPath(idName, access, FILE_OPEN, options | FILE_OPEN_BY_FILE_ID, nullptr, root, handle, nullptr);
}

Status VolumeCalls::OpenChild(uint64_t parent, const std::u16string &name, uint32_t access, uint32_t options,
                              Handle *handle)
{
    if (parent == kRootNode) {
        return OpenByPath(VolumeRootPath(letter_, name), access, FILE_OPEN, options, nullptr, 0, handle, nullptr);
    }
    Handle directory;
    Status status = OpenNode(parent, FILE_READ_ATTRIBUTES, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                             &directory);
    if (!NT_SUCCESS(status))
        return status;
    status = OpenByPath(name, access, FILE_OPEN, options, nullptr, directory, handle, nullptr);
    (void)NtClose(AsHandle(directory));
    return status;
}

Status VolumeCalls::Close(Handle handle)
{
    return NtClose(AsHandle(handle));
}

Status VolumeCalls::QueryInformation(Handle handle, void *record, uint32_t length, int infoClass)
{
    Frame *f = frame_;
    if (length > sizeof(f->record))
        return STATUS_BUFFER_OVERFLOW;
    NTSTATUS status =
        NtQueryInformationFile(AsHandle(handle), &f->iosb, f->record, length, (FILE_INFORMATION_CLASS)infoClass);
    status = Wait(handle, status);
    if (NT_SUCCESS(status) && record != nullptr)
        std::memcpy(record, f->record, length);
    return status;
}

Status VolumeCalls::SetInformation(Handle handle, const void *record, uint32_t length, int infoClass)
{
    Frame *f = frame_;
    if (length > sizeof(f->record))
        return STATUS_INVALID_PARAMETER;
    std::memcpy(f->record, record, length);
    NTSTATUS status =
        NtSetInformationFile(AsHandle(handle), &f->iosb, f->record, length, (FILE_INFORMATION_CLASS)infoClass);
    return Wait(handle, status);
}

/*
 * Wait: a call on an asynchronous handle that came back pending (an oplock break in
 * progress, say) is waited for: on the frame's event when the call had one, else on
 * the file handle, which the I/O manager signals at completion.
 */
Status VolumeCalls::Wait(Handle handle, Status status)
{
    if (status != STATUS_PENDING)
        return status;
    Handle waitOn = event_ != 0 ? event_ : handle;
    NTSTATUS waited = NtWaitForSingleObject(AsHandle(waitOn), FALSE, nullptr);
    if (!NT_SUCCESS(waited))
        return waited;
    return frame_->iosb.Status;
}

Status VolumeCalls::FsControl(Handle handle, uint32_t code, const void *input, uint32_t inputLength, void *output,
                              uint32_t outputLength, uint32_t *returned)
{
    Frame *f = frame_;
    if (inputLength > sizeof(f->input) || outputLength > sizeof(f->record))
        return STATUS_INVALID_PARAMETER;
    if (inputLength != 0)
        std::memcpy(f->input, input, inputLength);
    Status status = EnsureEvent();
    if (!NT_SUCCESS(status))
        return status;
    status = NtFsControlFile(AsHandle(handle), AsHandle(event_), nullptr, nullptr, &f->iosb, code,
                             inputLength != 0 ? f->input : nullptr, inputLength,
                             outputLength != 0 ? f->record : nullptr, outputLength);
    status = Wait(handle, status);
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        uint32_t got = (uint32_t)f->iosb.Information;
        if (got > outputLength)
            got = outputLength;
        if (output != nullptr)
            std::memcpy(output, f->record, got);
        if (returned != nullptr)
            *returned = got;
    }
    return status;
}

/* EnsureEvent: the request's event for calls on asynchronous handles, made once. */
Status VolumeCalls::EnsureEvent()
{
    if (event_ != 0)
        return STATUS_SUCCESS;
    Frame *f = frame_;
    f->handle = nullptr;
    NTSTATUS status = NtCreateEvent(&f->handle, EVENT_ALL_ACCESS, nullptr, SynchronizationEvent, FALSE);
    if (NT_SUCCESS(status))
        event_ = AsValue(f->handle);
    return status;
}

/* QueryOwnership: the owner, group and permission bits; unknown where the volume keeps no descriptors. */
Status VolumeCalls::QueryOwnership(Handle handle, NodeAttributes *attributes)
{
    Frame *f = frame_;
    NTSTATUS status = NtQuerySecurityObject(AsHandle(handle), kOwnershipParts, f->record, sizeof(f->record),
                                            &f->needed);
    if (!NT_SUCCESS(status)) {
        attributes->ownershipKnown = false;
        return status;
    }
    attributes->ownership = OwnershipOfDescriptor(f->record, f->needed <= sizeof(f->record) ? f->needed : 0);
    attributes->ownershipKnown = true;
    return STATUS_SUCCESS;
}

Status VolumeCalls::StatHandle(Handle handle, NodeAttributes *attributes)
{
    FILE_STAT_INFORMATION stat;
    Status status = QueryInformation(handle, &stat, sizeof(stat), FileStatInformation);
    if (!NT_SUCCESS(status))
        return status;
    Fill(attributes, stat);
    (void)QueryOwnership(handle, attributes);
    if (attributes->symlink)
        (void)LinkOfHandle(handle, &attributes->link);
    return STATUS_SUCCESS;
}

Status VolumeCalls::Stat(uint64_t id, NodeAttributes *attributes)
{
    Handle handle;
    Status status = OpenNode(id, FILE_READ_ATTRIBUTES | READ_CONTROL, 0, &handle);
    if (status == STATUS_ACCESS_DENIED)
        status = OpenNode(id, FILE_READ_ATTRIBUTES, 0, &handle);
    if (!NT_SUCCESS(status))
        return status;
    status = StatHandle(handle, attributes);
    (void)NtClose(AsHandle(handle));
    return status;
}

Status VolumeCalls::Lookup(uint64_t parent, const std::u16string &name, NodeAttributes *attributes)
{
    Handle handle;
    Status status = OpenChild(parent, name, FILE_READ_ATTRIBUTES | READ_CONTROL, 0, &handle);
    if (status == STATUS_ACCESS_DENIED)
        status = OpenChild(parent, name, FILE_READ_ATTRIBUTES, 0, &handle);
    if (!NT_SUCCESS(status))
        return status;
    status = StatHandle(handle, attributes);
    (void)NtClose(AsHandle(handle));
    return status;
}

/* The access an open asks for, as Linux flags mean it. */
uint32_t AccessOfIntent(const OpenIntent &intent)
{
    uint32_t access = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    if (intent.directory)
        return access | FILE_LIST_DIRECTORY;
    if (intent.read)
        access |= FILE_READ_DATA;
    if (intent.write)
        access |= intent.append ? FILE_APPEND_DATA : FILE_WRITE_DATA | FILE_APPEND_DATA;
    if (intent.execute)
        access |= FILE_EXECUTE;
    return access;
}

/* Files are opened for asynchronous positioned I/O; directories synchronously, as their listing needs. */
static uint32_t OptionsOfIntent(const OpenIntent &intent)
{
    return intent.directory ? FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT : FILE_NON_DIRECTORY_FILE;
}

Status VolumeCalls::Open(uint64_t id, const OpenIntent &intent, Handle *handle)
{
    return OpenNode(id, AccessOfIntent(intent), OptionsOfIntent(intent), handle);
}

Status VolumeCalls::Create(uint64_t parent, const std::u16string &name, const PosixOwnership &ownership,
                           bool directory, CreateMode mode, const OpenIntent &intent, Handle *handle,
                           NodeAttributes *attributes)
{
    OpenIntent asked = intent;
    asked.directory = directory;
    uint32_t access = AccessOfIntent(asked) | READ_CONTROL;
    uint32_t options = OptionsOfIntent(asked);
    uint32_t disposition = mode == CreateMode::Exclusive ? FILE_CREATE : FILE_OPEN_IF;
    std::vector<uint8_t> descriptor = DescriptorOfOwnership(ownership, directory);
    Handle directoryHandle = 0;
    std::u16string path = name;
    if (parent == kRootNode) {
        path = VolumeRootPath(letter_, name);
    } else {
        Status status = OpenNode(parent, FILE_READ_ATTRIBUTES, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                                 &directoryHandle);
        if (!NT_SUCCESS(status))
            return status;
    }
    Handle opened = 0;
    Status status = OpenByPath(path, access, disposition, options, &descriptor, directoryHandle, &opened, nullptr);
    if (directoryHandle != 0)
        (void)NtClose(AsHandle(directoryHandle));
    if (!NT_SUCCESS(status))
        return status;
    if (attributes != nullptr)
        status = StatHandle(opened, attributes);
    if (handle != nullptr && NT_SUCCESS(status))
        *handle = opened;
    else
        (void)NtClose(AsHandle(opened));
    return status;
}

/*
 * WithNode: the handle to use for a change: the caller's own when it has one (an open
 * Linux file), else a handle opened here with the access the change needs (returned in
 * *opened, for the caller to close).
 */
Status VolumeCalls::WithNode(uint64_t id, Handle handle, uint32_t access, Handle *use, Handle *opened)
{
    *opened = 0;
    if (handle != 0) {
        *use = handle;
        return STATUS_SUCCESS;
    }
    Status status = OpenNode(id, access, 0, opened);
    *use = *opened;
    return status;
}

Status VolumeCalls::SetOwnership(uint64_t id, Handle handle, const PosixOwnership &ownership, bool setMode,
                                 bool setOwner, bool setGroup)
{
    SECURITY_INFORMATION parts = (setMode ? DACL_SECURITY_INFORMATION : 0) |
                                 (setOwner ? OWNER_SECURITY_INFORMATION : 0) |
                                 (setGroup ? GROUP_SECURITY_INFORMATION : 0);
    if (parts == 0)
        return STATUS_SUCCESS;
    uint32_t access = FILE_READ_ATTRIBUTES | READ_CONTROL | (setMode ? WRITE_DAC : 0) | (setOwner || setGroup ? WRITE_OWNER : 0);
    Handle opened;
    Status status = OpenNode(id, access, 0, &opened);
    (void)handle; /* the Linux file's own handle was opened for data, not for its descriptor */
    if (!NT_SUCCESS(status))
        return status;
    NodeAttributes current;
    status = QueryOwnership(opened, &current);
    if (status == STATUS_INVALID_DEVICE_REQUEST)
        status = STATUS_SUCCESS; /* a volume without per-file security: nothing to change, as on FAT */
    else if (NT_SUCCESS(status)) {
        FILE_STAT_INFORMATION stat;
        status = QueryInformation(opened, &stat, sizeof(stat), FileStatInformation);
        if (NT_SUCCESS(status)) {
            // The DACL follows the mode against the owner and group it will have.
            PosixOwnership next = current.ownership;
            if (setMode)
                next.mode = ownership.mode;
            if (setOwner)
                next.uid = ownership.uid;
            if (setGroup)
                next.gid = ownership.gid;
            std::vector<uint8_t> descriptor =
                DescriptorOfOwnership(next, (stat.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
            Frame *f = frame_;
            if (descriptor.size() > sizeof(f->descriptor)) {
                status = STATUS_INVALID_SECURITY_DESCR;
            } else {
                std::memcpy(f->descriptor, descriptor.data(), descriptor.size());
                status = NtSetSecurityObject(AsHandle(opened), parts, f->descriptor);
            }
        }
    }
    (void)NtClose(AsHandle(opened));
    return status;
}

Status VolumeCalls::QueryVolumeSize(VolumeSize *size)
{
    Handle root;
    Status status = OpenRoot(&root);
    if (!NT_SUCCESS(status))
        return status;
    Frame *f = frame_;
    status = NtQueryVolumeInformationFile(AsHandle(root), &f->iosb, f->record, sizeof(FILE_FS_FULL_SIZE_INFORMATION),
                                          FileFsFullSizeInformation);
    if (!NT_SUCCESS(status))
        return status;
    FILE_FS_FULL_SIZE_INFORMATION full;
    std::memcpy(&full, f->record, sizeof(full));
    size->clusterBytes = (uint64_t)full.SectorsPerAllocationUnit * full.BytesPerSector;
    size->totalClusters = (uint64_t)full.TotalAllocationUnits.QuadPart;
    size->freeClusters = (uint64_t)full.ActualAvailableAllocationUnits.QuadPart;
    size->callerFreeClusters = (uint64_t)full.CallerAvailableAllocationUnits.QuadPart;
    return STATUS_SUCCESS;
}

/* VolumePath: a node's path on its volume ("\a\b"; "\" for the root). */
Status VolumeCalls::VolumePath(Handle handle, std::u16string *path)
{
    Frame *f = frame_;
    NTSTATUS status =
        NtQueryInformationFile(AsHandle(handle), &f->iosb, f->record, sizeof(f->record), FileNameInformation);
    status = Wait(handle, status);
    if (!NT_SUCCESS(status))
        return status;
    FILE_NAME_INFORMATION *name = reinterpret_cast<FILE_NAME_INFORMATION *>(f->record);
    size_t units = name->FileNameLength / sizeof(char16_t);
    if (units > (sizeof(f->record) - sizeof(ULONG)) / sizeof(char16_t))
        return STATUS_INVALID_PARAMETER;
    path->assign(reinterpret_cast<const char16_t *>(name->FileName), units);
    return STATUS_SUCCESS;
}

} // namespace fusebridge
