/*
 * The test file system (see test_fs.h).
 */
#include "test_fs.h"

#include <cstring>

namespace testfs {
namespace {

constexpr ULONG kReparseTag = POOL_TAG('T', 'f', 's', 'R');
constexpr ULONG kNameTag = POOL_TAG('T', 'f', 's', 'N');

Fs fs;

/* Per open: the node's full name, or the volume itself. */
struct Ccb {
    std::u16string name;
    bool volumeOpen = false;
};

Ccb *CcbOf(PFILE_OBJECT file)
{
    return file != nullptr ? static_cast<Ccb *>(file->FsContext2) : nullptr;
}

/* The header's sizes follow the file's data (fs lock held). */
void SyncHeader(Node *node)
{
    if (!node->fcb)
        return;
    LONGLONG size = (LONGLONG)node->data.size();
    node->fcb->header.FileSize.QuadPart = size;
    node->fcb->header.ValidDataLength.QuadPart = size;
    node->fcb->header.AllocationSize.QuadPart = (size + 4095) & ~4095LL;
}

/* Gives an open of a file its node's control block (fs lock held). */
void AttachFcb(PFILE_OBJECT file, Node *node)
{
    if (node->directory)
        return;
    if (!node->fcb) {
        node->fcb = std::make_shared<Fcb>();
        ExInitializeResourceLite(&node->fcb->resource);
        ExInitializeResourceLite(&node->fcb->pagingResource);
        node->fcb->header.Resource = &node->fcb->resource;
        node->fcb->header.PagingIoResource = &node->fcb->pagingResource;
        SyncHeader(node);
    }
    file->FsContext = &node->fcb->header;
    file->SectionObjectPointer = &node->fcb->sections;
}

std::u16string Counted(const UNICODE_STRING &s)
{
    return s.Buffer == nullptr ? std::u16string()
                               : std::u16string(reinterpret_cast<const char16_t *>(s.Buffer), s.Length / 2);
}

std::u16string ParentOf(const std::u16string &name)
{
    size_t slash = name.rfind(u'\\');
    return slash == 0 || slash == std::u16string::npos ? u"\\" : name.substr(0, slash);
}

void Record(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Seen s;
    s.major = stack->MajorFunction;
    s.minor = stack->MinorFunction;
    s.stack = *stack;
    s.irpFlags = irp->Flags;
    s.requestorMode = irp->RequestorMode;
    s.userBuffer = irp->UserBuffer;
    s.systemBuffer = irp->AssociatedIrp.SystemBuffer;
    s.hasMdl = irp->MdlAddress != nullptr;
    s.userIosb = irp->UserIosb;
    s.userEvent = irp->UserEvent;
    s.file = stack->FileObject;
    if (s.file != nullptr) {
        s.fileName = Counted(s.file->FileName);
        s.related = s.file->RelatedFileObject;
    }
    if (s.major == IRP_MJ_CREATE) {
        PACCESS_STATE state = stack->Parameters.Create.SecurityContext->AccessState;
        s.remainingAccess = state->RemainingDesiredAccess;
        s.previouslyGranted = state->PreviouslyGrantedAccess;
        s.accessStateFlags = state->Flags;
        s.hasSecurityDescriptor = state->SecurityDescriptor != nullptr;
        s.eaLength = stack->Parameters.Create.EaLength;
    }
    if (s.major == IRP_MJ_SET_INFORMATION && stack->Parameters.SetFile.FileObject != nullptr)
        s.targetName = Counted(stack->Parameters.SetFile.FileObject->FileName);
    std::lock_guard<std::mutex> guard(fs.lock);
    fs.seen.push_back(s);
}

/* Where a request's data lies for the driver: system buffer, mapped MDL or the caller's pointer. */
char *DataBuffer(PIRP irp)
{
    if (irp->AssociatedIrp.SystemBuffer != nullptr && (irp->Flags & IRP_BUFFERED_IO))
        return static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
    if (irp->MdlAddress != nullptr)
        return static_cast<char *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    return static_cast<char *>(irp->UserBuffer);
}

/* A reparse point met on the way: the buffer the I/O manager follows, with the unparsed length. */
NTSTATUS ReparseAt(PIRP irp, const Node &node, size_t unparsedChars)
{
    bool symlink = node.reparse.tag == IO_REPARSE_TAG_SYMLINK;
    size_t pathStart = symlink ? FIELD_OFFSET(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer)
                               : FIELD_OFFSET(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
    USHORT bytes = (USHORT)(node.reparse.substitute.size() * 2);
    size_t size = pathStart + bytes + 2;
    auto *data = static_cast<PREPARSE_DATA_BUFFER>(ExAllocatePoolWithTag(PagedPool, size, kReparseTag));
    if (data == nullptr)
        return Complete(irp, STATUS_INSUFFICIENT_RESOURCES);
    memset(data, 0, size);
    data->ReparseTag = node.reparse.tag;
    data->ReparseDataLength = (USHORT)(size - REPARSE_DATA_BUFFER_HEADER_SIZE);
    data->Reserved = (USHORT)(unparsedChars * 2);
    if (symlink) {
        data->SymbolicLinkReparseBuffer.SubstituteNameLength = bytes;
        data->SymbolicLinkReparseBuffer.Flags = node.reparse.relative ? SYMLINK_FLAG_RELATIVE : 0;
        memcpy(data->SymbolicLinkReparseBuffer.PathBuffer, node.reparse.substitute.data(), bytes);
    } else {
        data->MountPointReparseBuffer.SubstituteNameLength = bytes;
        memcpy(data->MountPointReparseBuffer.PathBuffer, node.reparse.substitute.data(), bytes);
    }
    irp->Tail.Overlay.AuxiliaryBuffer = reinterpret_cast<PCHAR>(data);
    return Complete(irp, STATUS_REPARSE, node.reparse.tag);
}

NTSTATUS Create(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    std::u16string name = Counted(file->FileName);
    if (Ccb *related = CcbOf(file->RelatedFileObject))
        name = name.empty() ? related->name : (related->name == u"\\" ? u"" : related->name) + u"\\" + name;
    auto *ccb = new Ccb();
    if (name.empty()) {
        ccb->volumeOpen = true;
        file->FsContext2 = ccb;
        return Complete(irp, STATUS_SUCCESS, FILE_OPENED);
    }
    if (name.size() > 1 && name.back() == u'\\')
        name.pop_back();
    ULONG disposition = stack->Parameters.Create.Options >> 24;
    ULONG options = stack->Parameters.Create.Options & FILE_VALID_OPTION_FLAGS;
    std::unique_lock<std::mutex> guard(fs.lock);
    if (stack->Flags & SL_OPEN_TARGET_DIRECTORY) {
        std::u16string parent = ParentOf(name);
        Node *directory = fs.Find(parent);
        if (directory == nullptr || !directory->directory) {
            delete ccb;
            guard.unlock();
            return Complete(irp, STATUS_OBJECT_PATH_NOT_FOUND);
        }
        // The file object names the last component now, as the I/O manager expects.
        std::u16string last = name.substr(name.rfind(u'\\') + 1);
        memmove(file->FileName.Buffer, last.data(), last.size() * 2);
        file->FileName.Length = (USHORT)(last.size() * 2);
        bool exists = fs.Find(name) != nullptr;
        ccb->name = parent;
        file->FsContext2 = ccb;
        guard.unlock();
        return Complete(irp, STATUS_SUCCESS, exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST);
    }
    // Reparse points on the way (and at the end, unless the open asks for the point itself).
    for (size_t end = 1; end <= name.size(); ++end) {
        if (end != name.size() && name[end] != u'\\')
            continue;
        Node *node = fs.Find(name.substr(0, end));
        if (node == nullptr)
            break;
        bool last = end == name.size();
        if (!node->redirect.empty() && !(last && (options & FILE_OPEN_REPARSE_POINT))) {
            std::u16string target = node->redirect + name.substr(end);
            delete ccb;
            guard.unlock();
            IoReplaceFileObjectName(file, reinterpret_cast<PWSTR>(target.data()), (USHORT)(target.size() * 2));
            return Complete(irp, STATUS_REPARSE, IO_REPARSE);
        }
        if (node->reparse.tag != 0 && !(last && (options & FILE_OPEN_REPARSE_POINT))) {
            Node copy = *node;
            delete ccb;
            guard.unlock();
            return ReparseAt(irp, copy, name.size() - end);
        }
    }
    Node *node = fs.Find(name);
    ULONG_PTR information = FILE_OPENED;
    if (node == nullptr) {
        Node *parent = fs.Find(ParentOf(name));
        if (parent == nullptr || !parent->directory || disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
            delete ccb;
            guard.unlock();
            return Complete(irp, parent == nullptr ? STATUS_OBJECT_PATH_NOT_FOUND : STATUS_OBJECT_NAME_NOT_FOUND);
        }
        Node fresh;
        fresh.directory = (options & FILE_DIRECTORY_FILE) != 0;
        fs.nodes[Key(name)] = fresh;
        node = fs.Find(name);
        information = FILE_CREATED;
    } else if (disposition == FILE_CREATE) {
        delete ccb;
        guard.unlock();
        return Complete(irp, STATUS_OBJECT_NAME_COLLISION);
    } else if (disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF) {
        node->data.clear();
        SyncHeader(node);
        information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
    }
    PACCESS_STATE state = stack->Parameters.Create.SecurityContext->AccessState;
    ACCESS_MASK access = state->PreviouslyGrantedAccess | state->RemainingDesiredAccess;
    NTSTATUS status = IoCheckShareAccess(access, stack->Parameters.Create.ShareAccess, file, &node->share, TRUE);
    if (!NT_SUCCESS(status)) {
        delete ccb;
        guard.unlock();
        return Complete(irp, status);
    }
    ccb->name = name;
    file->FsContext2 = ccb;
    AttachFcb(file, node);
    guard.unlock();
    return Complete(irp, STATUS_SUCCESS, information);
}

/*
 * Reads and writes stage the caller's bytes outside the table's lock: a caller's
 * buffer may be a view of a section, whose first touch comes back here as a paging
 * read. Paging writes never extend a file.
 */
NTSTATUS ReadWrite(PIRP irp, bool write)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    Ccb *ccb = CcbOf(file);
    LARGE_INTEGER offset = stack->Parameters.Read.ByteOffset;
    ULONG length = stack->Parameters.Read.Length;
    bool paging = (irp->Flags & IRP_PAGING_IO) != 0;
    char *buffer = DataBuffer(irp);
    std::string staged;
    if (write && length != 0)
        staged.assign(buffer, length);
    std::unique_lock<std::mutex> guard(fs.lock);
    Node *node = ccb != nullptr ? fs.Find(ccb->name) : nullptr;
    if (node == nullptr || node->directory)
        return guard.unlock(), Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION)
        offset = file->CurrentByteOffset;
    if (write && offset.HighPart == -1 && offset.LowPart == FILE_WRITE_TO_END_OF_FILE)
        offset.QuadPart = (LONGLONG)node->data.size();
    ULONG done = length;
    if (write) {
        if (paging)
            done = (size_t)offset.QuadPart >= node->data.size()
                       ? 0
                       : (ULONG)std::min<size_t>(length, node->data.size() - (size_t)offset.QuadPart);
        else if (node->data.size() < (size_t)offset.QuadPart + length)
            node->data.resize((size_t)offset.QuadPart + length);
        if (done != 0)
            memcpy(&node->data[(size_t)offset.QuadPart], staged.data(), done);
        SyncHeader(node);
    } else {
        if ((size_t)offset.QuadPart >= node->data.size() && length != 0)
            return guard.unlock(), Complete(irp, STATUS_END_OF_FILE);
        done = (ULONG)std::min<size_t>(length, node->data.size() - (size_t)offset.QuadPart);
        staged.assign(node->data, (size_t)offset.QuadPart, done);
    }
    if ((file->Flags & FO_SYNCHRONOUS_IO) && !paging)
        file->CurrentByteOffset.QuadPart = offset.QuadPart + done;
    guard.unlock();
    if (!write && done != 0)
        memcpy(buffer, staged.data(), done);
    return Complete(irp, STATUS_SUCCESS, done);
}

void FillNetworkOpen(const Node &node, FILE_NETWORK_OPEN_INFORMATION *info)
{
    memset(info, 0, sizeof(*info));
    info->EndOfFile.QuadPart = (LONGLONG)node.data.size();
    info->AllocationSize.QuadPart = (LONGLONG)((node.data.size() + 4095) & ~size_t(4095));
    info->FileAttributes = node.directory ? FILE_ATTRIBUTE_DIRECTORY : node.attributes;
}

NTSTATUS QueryInformation(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    Ccb *ccb = CcbOf(file);
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    ULONG length = stack->Parameters.QueryFile.Length;
    std::unique_lock<std::mutex> guard(fs.lock);
    Node *node = ccb != nullptr ? fs.Find(ccb->name) : nullptr;
    if (node == nullptr)
        return guard.unlock(), Complete(irp, STATUS_INVALID_PARAMETER);
    FILE_NETWORK_OPEN_INFORMATION open;
    FillNetworkOpen(*node, &open);
    guard.unlock();
    switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileBasicInformation: {
        FILE_BASIC_INFORMATION basic{};
        basic.FileAttributes = open.FileAttributes;
        basic.CreationTime.QuadPart = 1;
        memcpy(buffer, &basic, sizeof(basic));
        return Complete(irp, STATUS_SUCCESS, sizeof(basic));
    }
    case FileStandardInformation: {
        FILE_STANDARD_INFORMATION standard{};
        standard.EndOfFile = open.EndOfFile;
        standard.AllocationSize = open.AllocationSize;
        standard.NumberOfLinks = 1;
        standard.Directory = node->directory;
        memcpy(buffer, &standard, sizeof(standard));
        return Complete(irp, STATUS_SUCCESS, sizeof(standard));
    }
    case FileNetworkOpenInformation:
        memcpy(buffer, &open, sizeof(open));
        return Complete(irp, STATUS_SUCCESS, sizeof(open));
    case FilePositionInformation:
        memcpy(buffer, &file->CurrentByteOffset, sizeof(LARGE_INTEGER));
        return Complete(irp, STATUS_SUCCESS, sizeof(LARGE_INTEGER));
    case FileNameInformation: {
        auto *info = static_cast<PFILE_NAME_INFORMATION>(buffer);
        ULONG bytes = (ULONG)(ccb->name.size() * 2);
        info->FileNameLength = bytes;
        ULONG room = length - FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
        memcpy(info->FileName, ccb->name.data(), std::min(room, bytes));
        if (room < bytes)
            return Complete(irp, STATUS_BUFFER_OVERFLOW, length);
        return Complete(irp, STATUS_SUCCESS, FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) + bytes);
    }
    default:
        return Complete(irp, STATUS_INVALID_INFO_CLASS);
    }
}

NTSTATUS SetInformation(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    Ccb *ccb = CcbOf(file);
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    std::unique_lock<std::mutex> guard(fs.lock);
    Node *node = ccb != nullptr ? fs.Find(ccb->name) : nullptr;
    if (node == nullptr)
        return guard.unlock(), Complete(irp, STATUS_INVALID_PARAMETER);
    switch (stack->Parameters.SetFile.FileInformationClass) {
    case FileEndOfFileInformation:
        node->data.resize((size_t)static_cast<PFILE_END_OF_FILE_INFORMATION>(buffer)->EndOfFile.QuadPart);
        SyncHeader(node);
        break;
    case FilePositionInformation:
        file->CurrentByteOffset = static_cast<PFILE_POSITION_INFORMATION>(buffer)->CurrentByteOffset;
        break;
    case FileRenameInformation:
    case FileLinkInformation: {
        auto *info = static_cast<PFILE_RENAME_INFORMATION>(buffer);
        PFILE_OBJECT target = stack->Parameters.SetFile.FileObject;
        std::u16string to;
        if (target != nullptr)
            to = (CcbOf(target)->name == u"\\" ? u"" : CcbOf(target)->name) + u"\\" + Counted(target->FileName);
        else
            to = (ParentOf(ccb->name) == u"\\" ? u"" : ParentOf(ccb->name)) + u"\\" +
                 std::u16string(reinterpret_cast<const char16_t *>(info->FileName), info->FileNameLength / 2);
        if (fs.Find(to) != nullptr && !stack->Parameters.SetFile.ReplaceIfExists)
            return guard.unlock(), Complete(irp, STATUS_OBJECT_NAME_COLLISION);
        Node moved = *node;
        if (stack->Parameters.SetFile.FileInformationClass == FileRenameInformation) {
            fs.nodes.erase(Key(ccb->name));
            ccb->name = to;
        }
        fs.nodes[Key(to)] = moved;
        break;
    }
    default:
        break;
    }
    guard.unlock();
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS Cleanup(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (Ccb *ccb = CcbOf(file)) {
        std::lock_guard<std::mutex> guard(fs.lock);
        if (Node *node = fs.Find(ccb->name))
            if (!ccb->volumeOpen)
                IoRemoveShareAccess(file, &node->share);
    }
    file->Flags |= FO_CLEANUP_COMPLETE;
    fs.cleanups++;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS Close(PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    delete CcbOf(file);
    file->FsContext2 = nullptr;
    file->FsContext = nullptr;
    fs.closes++;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS Mount(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (fs.duringMount)
        fs.duringMount();
    if (fs.refuseMounts)
        return Complete(irp, STATUS_UNRECOGNIZED_VOLUME);
    PVPB vpb = stack->Parameters.MountVolume.Vpb;
    PDEVICE_OBJECT target = stack->Parameters.MountVolume.DeviceObject;
    PDEVICE_OBJECT volume;
    NTSTATUS status = IoCreateDevice(fs.fsDriver, 0, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &volume);
    if (!NT_SUCCESS(status))
        return Complete(irp, status);
    volume->Flags |= fs.volumeFlags;
    volume->StackSize = (CCHAR)(target->StackSize + 1);
    volume->Flags &= ~DO_DEVICE_INITIALIZING;
    vpb->DeviceObject = volume;
    vpb->SerialNumber = 0x5EED;
    fs.volume = volume;
    fs.volumes.push_back(volume);
    fs.mounts++;
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchFs(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = stack->MajorFunction;
    if (device == fs.control) {
        if (major == IRP_MJ_FILE_SYSTEM_CONTROL && stack->MinorFunction == IRP_MN_MOUNT_VOLUME) {
            Record(irp);
            return Mount(irp);
        }
        return Complete(irp, STATUS_SUCCESS);
    }
    Record(irp);
    if (fs.hooks[major]) {
        NTSTATUS status = fs.hooks[major](device, irp);
        if (status != kNotHandled)
            return status;
    }
    switch (major) {
    case IRP_MJ_CREATE:
        fs.creates++;
        return Create(irp);
    case IRP_MJ_READ:
        return ReadWrite(irp, false);
    case IRP_MJ_WRITE:
        return ReadWrite(irp, true);
    case IRP_MJ_QUERY_INFORMATION:
        return QueryInformation(irp);
    case IRP_MJ_SET_INFORMATION:
        return SetInformation(irp);
    case IRP_MJ_CLEANUP:
        return Cleanup(irp);
    case IRP_MJ_CLOSE:
        return Close(irp);
    default:
        return Complete(irp, STATUS_SUCCESS);
    }
}

VOID NTAPI UnloadFs(PDRIVER_OBJECT)
{
    IoUnregisterFileSystem(fs.control);
    for (PDEVICE_OBJECT volume : fs.volumes)
        IoDeleteDevice(volume);
    fs.volumes.clear();
    IoDeleteDevice(fs.control);
    fs.volume = fs.control = nullptr;
}

NTSTATUS NTAPI FsEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\FileSystem\\TestFs");
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &fs.control);
    if (!NT_SUCCESS(status))
        return status;
    fs.fsDriver = driver;
    for (auto &routine : driver->MajorFunction)
        routine = DispatchFs;
    fs.fastIo.SizeOfFastIoDispatch = sizeof(FAST_IO_DISPATCH);
    driver->FastIoDispatch = &fs.fastIo;
    driver->DriverUnload = UnloadFs;
    IoRegisterFileSystem(fs.control);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchDisk(PDEVICE_OBJECT, PIRP irp)
{
    Record(irp);
    return Complete(irp, STATUS_SUCCESS);
}

VOID NTAPI UnloadDisk(PDRIVER_OBJECT)
{
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\T:");
    IoDeleteSymbolicLink(&link);
    if (fs.disk != nullptr)
        IoDeleteDevice(fs.disk);
    fs.disk = nullptr;
}

NTSTATUS NTAPI DiskEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\TestDisk0");
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_DISK, FILE_DEVICE_SECURE_OPEN, FALSE, &fs.disk);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\DosDevices\\T:");
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fs.disk);
        return status;
    }
    for (auto &routine : driver->MajorFunction)
        routine = DispatchDisk;
    driver->DriverUnload = UnloadDisk;
    return STATUS_SUCCESS;
}

} // namespace

std::vector<Seen> Fs::Of(UCHAR major)
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<Seen> found;
    for (const Seen &s : seen)
        if (s.major == major)
            found.push_back(s);
    return found;
}

Seen Fs::Last(UCHAR major)
{
    std::vector<Seen> found = Of(major);
    return found.empty() ? Seen() : found.back();
}

void Fs::Add(const std::u16string &name, const std::string &data, bool directory)
{
    std::lock_guard<std::mutex> guard(lock);
    Node node;
    node.data = data;
    node.directory = directory;
    nodes[Key(name)] = node;
}

Node *Fs::Find(const std::u16string &name)
{
    auto it = nodes.find(Key(name));
    return it == nodes.end() ? nullptr : &it->second;
}

Fcb::~Fcb()
{
    ExDeleteResourceLite(&resource);
    ExDeleteResourceLite(&pagingResource);
}

Fs &TheFs()
{
    return fs;
}

std::u16string Key(const std::u16string &name)
{
    std::u16string key = name;
    for (auto &c : key)
        c = (char16_t)RtlUpcaseUnicodeChar((WCHAR)c);
    return key;
}

void Reset()
{
    std::lock_guard<std::mutex> guard(fs.lock);
    fs.nodes.clear();
    fs.nodes[u"\\"].directory = true;
    fs.seen.clear();
    for (auto &hook : fs.hooks)
        hook = nullptr;
    fs.disk = fs.control = fs.volume = nullptr;
    fs.volumes.clear();
    fs.fsDriver = nullptr;
    fs.refuseMounts = false;
    fs.duringMount = nullptr;
    fs.volumeFlags = 0;
    fs.fastIo = FAST_IO_DISPATCH{};
    fs.mounts = fs.creates = fs.cleanups = fs.closes = 0;
}

NTSTATUS Load()
{
    NTSTATUS status = (NTSTATUS)machine::LoadBuiltInDriver((void *)&DiskEntry, "tfsdisk");
    if (!NT_SUCCESS(status))
        return status;
    status = (NTSTATUS)machine::LoadBuiltInDriver((void *)&FsEntry, "tfs");
    if (!NT_SUCCESS(status))
        machine::UnloadDriver("tfsdisk");
    return status;
}

void Unload()
{
    if (machine::IsDriverLoaded("tfs"))
        machine::UnloadDriver("tfs");
    if (machine::IsDriverLoaded("tfsdisk"))
        machine::UnloadDriver("tfsdisk");
    // The control blocks' resources go with the machine that made them.
    std::lock_guard<std::mutex> guard(fs.lock);
    for (auto &entry : fs.nodes)
        entry.second.fcb.reset();
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace testfs
