/*
 * Opening files and devices: NtCreateFile, NtOpenFile, their Zw forms, IoCreateFile,
 * IoCreateFileEx, IoGetDeviceObjectPointer, NtQueryAttributesFile and
 * NtQueryFullAttributesFile.
 *
 * The road of an open, as Windows walks it:
 *   1. The caller's arguments are captured (a user-mode caller's are bounds-checked
 *      and copied once, so another thread rewriting them changes nothing that was
 *      checked) and validated; an EA buffer is checked with IoCheckEaBufferValidity.
 *   2. The name is looked up in the object namespace, from the root or from
 *      RootDirectory (an object directory, or a file object whose device gets the
 *      whole name as a relative open). Symbolic links are followed; the rest of the
 *      name goes to the device unchanged.
 *   3. The device: a direct open of a mountable device (no name, no related file,
 *      only attribute and security access) goes to the device itself; any other
 *      open of such a device mounts its volume first (vpb.cpp) and goes to the file
 *      system. A user-mode (or forced) open of a device itself, or of anything under
 *      a FILE_DEVICE_SECURE_OPEN device without a file system, is checked against
 *      the device's security descriptor here; the file system checks the rest.
 *   4. IRP_MJ_CREATE with the access state, the captured descriptor and EAs, and
 *      the flags of the open. Kernel-mode opens present their whole access to the
 *      file system as still to be granted; once it accepts, the handle gets the
 *      access granted before plus the access that remained.
 *   5. STATUS_REPARSE: IO_REPARSE re-parses the file object's new name from the
 *      top; mount points and symbolic links are followed by the I/O manager with
 *      the substitute name and the unparsed rest (relative links from the link's
 *      directory), up to 63 reparses; IO_STOP_ON_SYMLINK stops at a symbolic link
 *      with STATUS_STOPPED_ON_SYMLINK; other tags end the open with
 *      STATUS_IO_REPARSE_TAG_NOT_HANDLED. The auxiliary buffer is freed here.
 *   6. A handle with the granted access. The related file object was referenced for
 *      the create only.
 *
 * The system's default is case-insensitive names, so every open is made as if with
 * OBJ_CASE_INSENSITIVE and SL_CASE_SENSITIVE is never set, as on a default Windows.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"
#include "ob/handles.h"
#include "ob/namespace.h"
#include "se/security.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/se.h>

#include <cstring>

namespace io {
namespace {

constexpr ULONG kEaTag = POOL_TAG('I', 'o', 'E', 'a');
/* Reparse points one open may follow, as Windows allows. */
constexpr int kMaxReparse = 63;
/* Access that opens a mountable device itself rather than its volume. */
constexpr ACCESS_MASK kDirectDeviceAccess =
    SYNCHRONIZE | FILE_READ_ATTRIBUTES | READ_CONTROL | ACCESS_SYSTEM_SECURITY | WRITE_OWNER | WRITE_DAC;
/* Options a directory open may carry. */
constexpr ULONG kDirectoryOptions = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT |
                                    FILE_WRITE_THROUGH | FILE_COMPLETE_IF_OPLOCKED | FILE_OPEN_FOR_BACKUP_INTENT |
                                    FILE_DELETE_ON_CLOSE | FILE_OPEN_FOR_FREE_SPACE_QUERY | FILE_OPEN_BY_FILE_ID |
                                    FILE_NO_COMPRESSION | FILE_OPEN_REPARSE_POINT | FILE_OPEN_REQUIRING_OPLOCK;

/* An open: what the caller asked, captured, and what came of it. */
struct OpenPacket {
    ACCESS_MASK desiredAccess = 0;
    HANDLE rootDirectory = nullptr;
    ULONG objectAttributes = 0;
    std::u16string name;
    PSECURITY_DESCRIPTOR securityDescriptor = nullptr;
    bool capturedDescriptor = false;
    bool hasAllocationSize = false;
    LARGE_INTEGER allocationSize{};
    ULONG fileAttributes = 0;
    ULONG shareAccess = 0;
    ULONG disposition = 0;
    ULONG options = 0;
    PVOID eaBuffer = nullptr; /* a copy in pool */
    ULONG eaLength = 0;
    KPROCESSOR_MODE mode = KernelMode;
    ULONG ioOptions = 0;
    bool forceAccessCheck = false;
    PDEVICE_OBJECT deviceHint = nullptr;

    /* A query-only open answered by the file system's FastIoQueryOpen, when it can. */
    PFILE_NETWORK_OPEN_INFORMATION queryOpen = nullptr;
    bool queryAnswered = false;

    IO_STATUS_BLOCK result{};
    bool driverSawIt = false;
    PFILE_OBJECT file = nullptr;
    ACCESS_MASK granted = 0;

    ~OpenPacket()
    {
        if (eaBuffer != nullptr)
            ExFreePoolWithTag(eaBuffer, kEaTag);
        if (capturedDescriptor)
            SeReleaseSecurityDescriptor(securityDescriptor, UserMode, TRUE);
    }
};

struct CreateArguments {
    PHANDLE handle;
    ACCESS_MASK desiredAccess;
    POBJECT_ATTRIBUTES attributes;
    PIO_STATUS_BLOCK iosb;
    PLARGE_INTEGER allocationSize;
    ULONG fileAttributes;
    ULONG shareAccess;
    ULONG disposition;
    ULONG options;
    PVOID eaBuffer;
    ULONG eaLength;
};

/*
 * Copies the caller's arguments into the packet. A user-mode caller's pointers must
 * lie in its user space; everything is read once.
 */
NTSTATUS CaptureArguments(const CreateArguments &a, OpenPacket *p)
{
    bool user = p->mode == UserMode;
    if (user && !IsUserRange(a.attributes, sizeof(OBJECT_ATTRIBUTES)))
        return STATUS_ACCESS_VIOLATION;
    if (a.attributes == nullptr)
        return STATUS_INVALID_PARAMETER;
    OBJECT_ATTRIBUTES attributes;
    memcpy(&attributes, a.attributes, sizeof(attributes));
    if (attributes.Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    p->rootDirectory = attributes.RootDirectory;
    // The system's default: object names are case-insensitive.
    p->objectAttributes = attributes.Attributes | OBJ_CASE_INSENSITIVE;
    if (user)
        p->objectAttributes &= ~OBJ_KERNEL_HANDLE;
    if (attributes.ObjectName != nullptr) {
        if (user && !IsUserRange(attributes.ObjectName, sizeof(UNICODE_STRING)))
            return STATUS_ACCESS_VIOLATION;
        UNICODE_STRING name;
        memcpy(&name, attributes.ObjectName, sizeof(name));
        if ((name.Length & 1) || name.Length > name.MaximumLength)
            return STATUS_OBJECT_NAME_INVALID;
        if (name.Length != 0 && (name.Buffer == nullptr || (user && !IsUserRange(name.Buffer, name.Length))))
            return STATUS_ACCESS_VIOLATION;
        p->name = ob::FromCounted(&name);
    }
    if (attributes.SecurityDescriptor != nullptr) {
        NTSTATUS status =
            SeCaptureSecurityDescriptor(attributes.SecurityDescriptor, p->mode, PagedPool, FALSE, &p->securityDescriptor);
        if (!NT_SUCCESS(status))
            return status;
        p->capturedDescriptor = user;
    }
    if (a.allocationSize != nullptr) {
        if (user && !IsUserRange(a.allocationSize, sizeof(LARGE_INTEGER)))
            return STATUS_ACCESS_VIOLATION;
        p->hasAllocationSize = true;
        p->allocationSize = *a.allocationSize;
    }
    if (a.eaBuffer != nullptr && a.eaLength != 0) {
        if (user && !IsUserRange(a.eaBuffer, a.eaLength))
            return STATUS_ACCESS_VIOLATION;
        p->eaBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, a.eaLength, kEaTag);
        if (p->eaBuffer == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        memcpy(p->eaBuffer, a.eaBuffer, a.eaLength);
        p->eaLength = a.eaLength;
    }
    p->desiredAccess = a.desiredAccess;
    p->fileAttributes = a.fileAttributes;
    p->shareAccess = a.shareAccess;
    p->disposition = a.disposition;
    p->options = a.options;
    p->forceAccessCheck = (p->ioOptions & IO_FORCE_ACCESS_CHECK) || (attributes.Attributes & OBJ_FORCE_ACCESS_CHECK);
    return STATUS_SUCCESS;
}

/* The parameter checks of IoCreateFile. */
NTSTATUS ValidateParameters(const OpenPacket &p)
{
    ULONG o = p.options;
    if ((p.fileAttributes & ~FILE_ATTRIBUTE_VALID_FLAGS) || (p.shareAccess & ~FILE_SHARE_VALID_FLAGS) ||
        p.disposition > FILE_MAXIMUM_DISPOSITION || (o & ~FILE_VALID_OPTION_FLAGS))
        return STATUS_INVALID_PARAMETER;
    if ((o & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) && !(p.desiredAccess & SYNCHRONIZE))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_SYNCHRONOUS_IO_ALERT) && (o & FILE_SYNCHRONOUS_IO_NONALERT))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_DELETE_ON_CLOSE) && !(p.desiredAccess & DELETE))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_DIRECTORY_FILE) && (o & FILE_NON_DIRECTORY_FILE))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_DIRECTORY_FILE) &&
        ((o & ~kDirectoryOptions) ||
         (p.disposition != FILE_CREATE && p.disposition != FILE_OPEN && p.disposition != FILE_OPEN_IF)))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_COMPLETE_IF_OPLOCKED) && (o & FILE_RESERVE_OPFILTER))
        return STATUS_INVALID_PARAMETER;
    if ((o & FILE_NO_INTERMEDIATE_BUFFERING) && (p.desiredAccess & FILE_APPEND_DATA))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

ULONG FileObjectFlags(ULONG options)
{
    ULONG flags = 0;
    if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        flags |= FO_SYNCHRONOUS_IO;
    if (options & FILE_SYNCHRONOUS_IO_ALERT)
        flags |= FO_ALERTABLE_IO;
    if (options & FILE_NO_INTERMEDIATE_BUFFERING)
        flags |= FO_NO_INTERMEDIATE_BUFFERING;
    if (options & FILE_WRITE_THROUGH)
        flags |= FO_WRITE_THROUGH;
    if (options & FILE_SEQUENTIAL_ONLY)
        flags |= FO_SEQUENTIAL_ONLY;
    if (options & FILE_RANDOM_ACCESS)
        flags |= FO_RANDOM_ACCESS;
    if (options & FILE_DELETE_ON_CLOSE)
        flags |= FO_DELETE_ON_CLOSE;
    return flags;
}

/* Where a name leads: a device (referenced), the name left for it, and a related file object (referenced). */
struct Target {
    PDEVICE_OBJECT device = nullptr;
    std::u16string remaining;
    PFILE_OBJECT related = nullptr;

    ~Target()
    {
        if (device != nullptr)
            ob::Dereference(device);
        if (related != nullptr)
            ob::Dereference(related);
    }
};

NTSTATUS ResolveName(const OpenPacket &p, HANDLE root, const std::u16string &name, Target *target)
{
    void *start = nullptr;
    if (root != nullptr) {
        PVOID object;
        NTSTATUS status = ObReferenceObjectByHandle(root, 0, nullptr, p.mode, &object, nullptr);
        if (!NT_SUCCESS(status))
            return status;
        if (ob::HeaderOf(object)->type == FileType()) {
            // A relative open: the related file's device parses the whole name itself.
            target->related = static_cast<PFILE_OBJECT>(object);
            target->device = target->related->DeviceObject;
            ob::Reference(target->device);
            target->remaining = name;
            return STATUS_SUCCESS;
        }
        start = object;
    } else if (name.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    ob::LookupResult found;
    NTSTATUS status = ob::LookupObject(start, name, false, &found);
    if (start != nullptr)
        ob::Dereference(start);
    if (!NT_SUCCESS(status))
        return status;
    if (ob::HeaderOf(found.object)->type != DeviceType()) {
        ob::Dereference(found.object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    target->device = static_cast<PDEVICE_OBJECT>(found.object);
    target->remaining = found.remaining;
    return STATUS_SUCCESS;
}

/* Canonical form of a path below a device: "." and ".." resolved, never above its root. */
std::u16string Canonical(const std::u16string &path)
{
    std::vector<std::u16string> parts;
    size_t position = 0;
    while (position <= path.size()) {
        size_t end = path.find(u'\\', position);
        if (end == std::u16string::npos)
            end = path.size();
        std::u16string part = path.substr(position, end - position);
        if (part == u"..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != u".") {
            parts.push_back(part);
        }
        position = end + 1;
    }
    std::u16string result;
    for (const auto &part : parts)
        result += u"\\" + part;
    bool trailing = !path.empty() && path.back() == u'\\';
    return result.empty() || trailing ? result + u"\\" : result;
}

/*
 * The name a mount point or symbolic link sends the open to: its substitute name and
 * the part of the file name the file system did not parse; a relative link resolves
 * from the directory that holds it.
 */
NTSTATUS NameFromReparseData(ULONG tag, const REPARSE_DATA_BUFFER *data, const UNICODE_STRING &fileName,
                             const std::u16string &prefix, std::u16string *newName)
{
    if (data == nullptr || data->ReparseTag != tag)
        return STATUS_IO_REPARSE_DATA_INVALID;
    bool symlink = tag == IO_REPARSE_TAG_SYMLINK;
    size_t pathStart = symlink ? FIELD_OFFSET(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer)
                               : FIELD_OFFSET(REPARSE_DATA_BUFFER, MountPointReparseBuffer.PathBuffer);
    size_t dataEnd = REPARSE_DATA_BUFFER_HEADER_SIZE + (size_t)data->ReparseDataLength;
    USHORT offset = symlink ? data->SymbolicLinkReparseBuffer.SubstituteNameOffset
                            : data->MountPointReparseBuffer.SubstituteNameOffset;
    USHORT length = symlink ? data->SymbolicLinkReparseBuffer.SubstituteNameLength
                            : data->MountPointReparseBuffer.SubstituteNameLength;
    if (dataEnd < pathStart || pathStart + offset + length > dataEnd || (offset & 1) || (length & 1) || length == 0 ||
        data->Reserved > fileName.Length || (data->Reserved & 1))
        return STATUS_IO_REPARSE_DATA_INVALID;
    auto *path = reinterpret_cast<const char16_t *>(reinterpret_cast<const UCHAR *>(data) + pathStart + offset);
    std::u16string substitute(path, length / sizeof(WCHAR));
    std::u16string name = ob::FromCounted(&fileName);
    size_t parsed = (fileName.Length - data->Reserved) / sizeof(WCHAR);
    std::u16string rest = name.substr(parsed);
    if (symlink && (data->SymbolicLinkReparseBuffer.Flags & SYMLINK_FLAG_RELATIVE)) {
        std::u16string link = name.substr(0, parsed);
        size_t slash = link.rfind(u'\\');
        std::u16string directory = slash == std::u16string::npos ? u"" : link.substr(0, slash);
        *newName = prefix + Canonical(directory + u"\\" + substitute + rest);
        return STATUS_SUCCESS;
    }
    if (!substitute.empty() && substitute.back() == u'\\' && !rest.empty() && rest[0] == u'\\')
        rest.erase(0, 1);
    *newName = substitute + rest;
    return STATUS_SUCCESS;
}

/* Asks the file system's FastIoQueryOpen to answer a query-only open with the prepared create. */
bool TryFastQueryOpen(OpenPacket &p, Request *request, PDEVICE_OBJECT target)
{
    PFAST_IO_DISPATCH fastIo = FastIoTable(target, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryOpen));
    if (fastIo == nullptr)
        return false;
    PIRP irp = request->irp;
    // The file system sees the create as if it had been sent to it.
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = target;
    BOOLEAN answered = fastIo->FastIoQueryOpen(irp, p.queryOpen, target);
    IoSkipCurrentIrpStackLocation(irp);
    if (!answered)
        return false;
    p.result = irp->IoStatus;
    p.queryAnswered = true;
    return true;
}

/*
 * The device's part of the open (IopParseDevice). Returns the open's status;
 * STATUS_REPARSE with *newName when the open must start again from the top.
 */
NTSTATUS ParseDevice(OpenPacket &p, Target &t, std::u16string *newName)
{
    PDEVICE_OBJECT device = t.device;
    if (!AcceptsOpens(device))
        return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0 && t.related == nullptr)
        return STATUS_ACCESS_DENIED;
    bool directDeviceOpen = t.remaining.empty() && t.related == nullptr && (p.desiredAccess & ~kDirectDeviceAccess) == 0;

    se::AuxAccessData aux{};
    ACCESS_STATE accessState;
    NTSTATUS status = SeCreateAccessState(&accessState, &aux, p.desiredAccess, IoGetFileObjectGenericMapping());
    if (!NT_SUCCESS(status))
        return status;
    accessState.SecurityDescriptor = p.securityDescriptor;
    // Backup and restore semantics belong to opens that ask for them.
    if (!(p.options & FILE_OPEN_FOR_BACKUP_INTENT))
        accessState.Flags &= ~(TOKEN_HAS_BACKUP_PRIVILEGE | TOKEN_HAS_RESTORE_PRIVILEGE);

    // The device itself guards opens of itself, and of its whole namespace when it asked
    // for that and no file system answers for it.
    bool checked = p.mode == UserMode || p.forceAccessCheck;
    if (checked && t.related == nullptr && (t.remaining.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN)) &&
        (device->Vpb == nullptr || directDeviceOpen)) {
        ACCESS_MASK accessGranted = 0;
        NTSTATUS accessStatus = STATUS_SUCCESS;
        PPRIVILEGE_SET privileges = nullptr;
        BOOLEAN allowed = SeAccessCheck(device->SecurityDescriptor, &accessState.SubjectSecurityContext, FALSE,
                                        accessState.RemainingDesiredAccess, 0, &privileges,
                                        IoGetFileObjectGenericMapping(), UserMode, &accessGranted, &accessStatus);
        if (privileges != nullptr)
            SeFreePrivileges(privileges);
        if (!allowed) {
            SeDeleteAccessState(&accessState);
            return accessStatus;
        }
        accessState.PreviouslyGrantedAccess |= accessGranted;
        accessState.RemainingDesiredAccess = 0;
    }

    // The volume: a related open shares its related file's; any other open of a
    // mountable device but a direct one needs it mounted.
    PVPB vpb = nullptr;
    if (t.related != nullptr) {
        vpb = t.related->Vpb;
        if (vpb != nullptr) {
            KIRQL irql;
            IoAcquireVpbSpinLock(&irql);
            vpb->ReferenceCount++;
            IoReleaseVpbSpinLock(irql);
        }
    } else if (device->Vpb != nullptr && !directDeviceOpen) {
        status = ReferenceMountedVpb(device, &vpb);
        if (!NT_SUCCESS(status)) {
            SeDeleteAccessState(&accessState);
            return status;
        }
    }
    PDEVICE_OBJECT target = TopOfStack(vpb != nullptr ? vpb->DeviceObject : device);
    if (p.deviceHint != nullptr)
        target = p.deviceHint;

    PFILE_OBJECT file = CreateFileObject(device);
    if (file == nullptr || !NT_SUCCESS(status = SetFileObjectName(file, t.remaining))) {
        if (file != nullptr)
            ob::Dereference(file);
        if (vpb != nullptr)
            DereferenceVpb(vpb);
        SeDeleteAccessState(&accessState);
        return file == nullptr ? STATUS_INSUFFICIENT_RESOURCES : status;
    }
    file->Vpb = vpb; /* the file object's count of it from now on */
    file->Flags |= FileObjectFlags(p.options) | (directDeviceOpen ? FO_DIRECT_DEVICE_OPEN : 0);
    file->RelatedFileObject = t.related;
    StateOf(file)->process = ke::CurrentProcess();

    PIO_STACK_LOCATION stack;
    Request *request = NewRequest(target, file, p.mode, IRP_MJ_CREATE, 0, &stack);
    if (request == nullptr) {
        SeDeleteAccessState(&accessState);
        ob::Dereference(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->keepAuxiliary = true;
    PIRP irp = request->irp;
    irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION;
    irp->AssociatedIrp.SystemBuffer = p.eaBuffer; /* stays the packet's */
    irp->UserIosb = &p.result;
    if (p.hasAllocationSize)
        irp->Overlay.AllocationSize = p.allocationSize;
    IO_SECURITY_CONTEXT securityContext{};
    securityContext.AccessState = &accessState;
    securityContext.DesiredAccess = p.desiredAccess;
    securityContext.FullCreateOptions = p.options;
    stack->Parameters.Create.SecurityContext = &securityContext;
    stack->Parameters.Create.Options = (p.disposition << 24) | (p.options & FILE_VALID_OPTION_FLAGS);
    stack->Parameters.Create.FileAttributes = (USHORT)p.fileAttributes;
    stack->Parameters.Create.ShareAccess = (USHORT)p.shareAccess;
    stack->Parameters.Create.EaLength = p.eaLength;
    if (p.forceAccessCheck)
        stack->Flags |= SL_FORCE_ACCESS_CHECK;
    if (p.ioOptions & IO_OPEN_TARGET_DIRECTORY)
        stack->Flags |= SL_OPEN_TARGET_DIRECTORY;
    if (p.ioOptions & IO_STOP_ON_SYMLINK)
        stack->Flags |= SL_STOP_ON_SYMLINK;
    if (!(p.objectAttributes & OBJ_CASE_INSENSITIVE))
        stack->Flags |= SL_CASE_SENSITIVE;

    if (p.queryOpen != nullptr && TryFastQueryOpen(p, request, target)) {
        DiscardRequest(request);
        SeDeleteAccessState(&accessState);
        ob::Dereference(file); /* never opened: no cleanup or close is owed */
        return p.result.Status;
    }

    status = CallDriverChecked(target, request);
    if (status == STATUS_PENDING)
        status = WaitForRequest(request);
    // The open's outcome is the file system's, error or not: the caller's status block gets it.
    ULONG_PTR information = request->information;
    p.result.Status = request->status;
    p.result.Information = information;
    auto *reparseData = static_cast<PREPARSE_DATA_BUFFER>(request->auxiliary);
    request->auxiliary = nullptr;
    ReleaseRequest(request);
    p.driverSawIt = true;
    // The related file object was held for the create alone.
    if (t.related != nullptr) {
        ob::Dereference(t.related);
        t.related = nullptr;
    }
    p.granted = accessState.PreviouslyGrantedAccess | (accessState.RemainingDesiredAccess & ~MAXIMUM_ALLOWED);
    SeDeleteAccessState(&accessState);

    if (status == STATUS_REPARSE) {
        if (t.remaining.empty() && file->RelatedFileObject == nullptr)
            KeBugCheckEx(DRIVER_RETURNED_STATUS_REPARSE_FOR_VOLUME_OPEN, (ULONG_PTR)device, (ULONG_PTR)target,
                         (ULONG_PTR)&file->FileName, information);
        ULONG tag = (ULONG)information;
        if (tag == IO_REPARSE) {
            *newName = ob::FromCounted(&file->FileName);
        } else if (tag == IO_REPARSE_TAG_SYMLINK && (p.ioOptions & IO_STOP_ON_SYMLINK)) {
            status = STATUS_STOPPED_ON_SYMLINK;
        } else if (tag == IO_REPARSE_TAG_MOUNT_POINT || tag == IO_REPARSE_TAG_SYMLINK) {
            UNICODE_STRING base = file->FileName;
            // Relative links resolve below the device's name; only a reparse needs it, so it is looked up here.
            std::u16string prefix = t.related == nullptr ? ob::NameOf(t.device) : std::u16string();
            status = NameFromReparseData(tag, reparseData, base, prefix, newName);
            if (NT_SUCCESS(status))
                status = STATUS_REPARSE;
        } else {
            status = STATUS_IO_REPARSE_TAG_NOT_HANDLED;
        }
    }
    if (reparseData != nullptr)
        ExFreePool(reparseData);
    if (!NT_SUCCESS(status) || status == STATUS_REPARSE) {
        ob::Dereference(file); /* never opened: no cleanup or close is owed */
        return status;
    }
    StateOf(file)->opened = true;
    p.file = file;
    return status;
}

/* The open, re-parsed from the top as often as the file systems ask. */
NTSTATUS Open(OpenPacket &p)
{
    const std::u16string *name = &p.name; /* the captured name until a file system re-parses it */
    std::u16string reparsed;
    HANDLE root = p.rootDirectory;
    for (int reparses = 0;;) {
        Target target;
        NTSTATUS status = ResolveName(p, root, *name, &target);
        if (!NT_SUCCESS(status))
            return status;
        std::u16string newName;
        status = ParseDevice(p, target, &newName);
        if (status != STATUS_REPARSE)
            return status;
        if (++reparses > kMaxReparse)
            return STATUS_REPARSE_POINT_NOT_RESOLVED;
        reparsed = std::move(newName);
        name = &reparsed;
        root = nullptr;
    }
}

/* The common body of every create routine: capture, check, open, and a handle. */
NTSTATUS CreateFileCommon(const CreateArguments &a, KPROCESSOR_MODE mode, ULONG ioOptions,
                          PIO_DRIVER_CREATE_CONTEXT context)
{
    OpenPacket p;
    p.mode = mode;
    p.ioOptions = ioOptions;
    if (mode == UserMode && (!IsUserRange(a.handle, sizeof(HANDLE)) || !IsUserRange(a.iosb, sizeof(IO_STATUS_BLOCK))))
        return STATUS_ACCESS_VIOLATION;
    NTSTATUS status = CaptureArguments(a, &p);
    if (!NT_SUCCESS(status))
        return status;
    if (context != nullptr) {
        if (context->ExtraCreateParameter != nullptr || context->TxnParameters != nullptr)
            return STATUS_NOT_SUPPORTED; /* extra create parameters and transactions are not part of this machine */
        p.deviceHint = static_cast<PDEVICE_OBJECT>(context->DeviceObjectHint);
    }
    if (!(ioOptions & IO_NO_PARAMETER_CHECKING)) {
        status = ValidateParameters(p);
        if (!NT_SUCCESS(status))
            return status;
        if (p.eaBuffer != nullptr) {
            ULONG errorOffset = 0;
            status = IoCheckEaBufferValidity(static_cast<PFILE_FULL_EA_INFORMATION>(p.eaBuffer), p.eaLength,
                                             &errorOffset);
            if (!NT_SUCCESS(status)) {
                a.iosb->Status = status;
                a.iosb->Information = errorOffset;
                return status;
            }
        }
    }
    status = Open(p);
    if (p.driverSawIt)
        *a.iosb = p.result;
    if (!NT_SUCCESS(status))
        return status;
    bool kernelHandle = mode == KernelMode && (p.objectAttributes & OBJ_KERNEL_HANDLE);
    HANDLE value;
    p.file->Flags |= FO_HANDLE_CREATED;
    NTSTATUS insert = ob::InsertHandle(p.file, p.granted, p.objectAttributes & OBJ_INHERIT, kernelHandle, &value);
    if (!NT_SUCCESS(insert))
        p.file->Flags &= ~FO_HANDLE_CREATED; /* its cleanup comes with its close */
    ob::Dereference(p.file);
    if (!NT_SUCCESS(insert))
        return insert;
    *a.handle = value;
    return status;
}

/* NtQueryAttributesFile and NtQueryFullAttributesFile: an open for attributes, a query, a close. */
NTSTATUS QueryAttributesByName(POBJECT_ATTRIBUTES attributes, FILE_NETWORK_OPEN_INFORMATION *info)
{
    OpenPacket p;
    p.mode = ke::CurrentThreadState().previousMode;
    IO_STATUS_BLOCK iosb;
    HANDLE unused;
    CreateArguments a{&unused, FILE_READ_ATTRIBUTES, attributes, &iosb, nullptr, 0,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0, nullptr, 0};
    NTSTATUS status = CaptureArguments(a, &p);
    if (!NT_SUCCESS(status))
        return status;
    status = ValidateParameters(p);
    if (!NT_SUCCESS(status))
        return status;
    p.queryOpen = info;
    status = Open(p);
    if (!NT_SUCCESS(status) || p.queryAnswered)
        return status;
    // A full open: the query goes to the file (fast I/O first), then the file object goes.
    PDEVICE_OBJECT target = TargetOf(p.file);
    IO_STATUS_BLOCK local{};
    PFAST_IO_DISPATCH fastIo = FastIoTable(target, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoQueryNetworkOpenInfo));
    if (fastIo == nullptr || !fastIo->FastIoQueryNetworkOpenInfo(p.file, TRUE, info, &local, target)) {
        PIO_STACK_LOCATION stack;
        Request *request = NewRequest(target, p.file, KernelMode, IRP_MJ_QUERY_INFORMATION, 0, &stack);
        if (request == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            request->irp->Flags |= IRP_SYNCHRONOUS_API;
            stack->Parameters.QueryFile.Length = sizeof(*info);
            stack->Parameters.QueryFile.FileInformationClass = FileNetworkOpenInformation;
            status = AttachSystemBuffer(request, info, sizeof(*info), false, true);
            if (!NT_SUCCESS(status))
                DiscardRequest(request);
            else
                status = CallDriverAndWait(target, request);
        }
    } else {
        status = local.Status;
    }
    ob::Dereference(p.file); /* no handle was made: the cleanup and close go now */
    return status;
}

} // namespace
} // namespace io

extern "C" {

NTKERNELAPI NTSTATUS NTAPI IoCreateFileEx(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                          PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                          ULONG Disposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                                          CREATE_FILE_TYPE CreateFileType, PVOID InternalParameters, ULONG Options,
                                          PIO_DRIVER_CREATE_CONTEXT DriverContext)
{
    (void)InternalParameters;
    ke::CheckIrql((const void *)&IoCreateFileEx, PASSIVE_LEVEL);
    if (CreateFileType != CreateFileTypeNone)
        return STATUS_NOT_SUPPORTED; /* named pipes and mailslots are not part of this machine */
    // No parameter checking means a trusted kernel caller: the open is made in kernel mode.
    KPROCESSOR_MODE mode = (Options & IO_NO_PARAMETER_CHECKING) ? (KPROCESSOR_MODE)KernelMode : ke::CurrentThreadState().previousMode;
    io::CreateArguments a{FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                          ShareAccess, Disposition, CreateOptions, EaBuffer, EaLength};
    return io::CreateFileCommon(a, mode, Options, DriverContext);
}

NTKERNELAPI NTSTATUS NTAPI IoCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                        PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                                        ULONG FileAttributes, ULONG ShareAccess, ULONG Disposition,
                                        ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                                        CREATE_FILE_TYPE CreateFileType, PVOID InternalParameters, ULONG Options)
{
    return IoCreateFileEx(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                          ShareAccess, Disposition, CreateOptions, EaBuffer, EaLength, CreateFileType,
                          InternalParameters, Options, nullptr);
}

NTSYSCALLAPI NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                         PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                         ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                         ULONG EaLength)
{
    ke::CheckIrql((const void *)&NtCreateFile, PASSIVE_LEVEL);
    io::CreateArguments a{FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                          ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength};
    return io::CreateFileCommon(a, ke::CurrentThreadState().previousMode, 0, nullptr);
}

NTSYSCALLAPI NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                       ULONG ShareAccess, ULONG OpenOptions)
{
    return NtCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                        OpenOptions, nullptr, 0);
}

NTSYSAPI NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                     PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                     ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
{
    ke::CheckIrql((const void *)&ZwCreateFile, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwCreateFile"))
        return STATUS_INSUFFICIENT_RESOURCES;
    io::CreateArguments a{FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes,
                          ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength};
    return io::AsKernelCall([&] { return io::CreateFileCommon(a, KernelMode, 0, nullptr); });
}

NTSYSAPI NTSTATUS NTAPI ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                   PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions)
{
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0, ShareAccess, FILE_OPEN,
                        OpenOptions, nullptr, 0);
}

NTKERNELAPI NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                    PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject)
{
    ke::CheckIrql((const void *)&IoGetDeviceObjectPointer, PASSIVE_LEVEL);
    if (machine::ShouldFail("IoGetDeviceObjectPointer"))
        return STATUS_INSUFFICIENT_RESOURCES;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, ObjectName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    // As on Windows: open a handle, reference its file object, close the handle (which
    // sends the cleanup at once); the caller's reference ends in the close.
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    io::CreateArguments a{&handle, DesiredAccess, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN,
                          FILE_NON_DIRECTORY_FILE, nullptr, 0};
    NTSTATUS status = io::CreateFileCommon(a, KernelMode, 0, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    PVOID object;
    status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode, &object, nullptr);
    ZwClose(handle);
    if (!NT_SUCCESS(status))
        return status;
    *FileObject = static_cast<PFILE_OBJECT>(object);
    *DeviceObject = IoGetRelatedDeviceObject(*FileObject);
    return STATUS_SUCCESS;
}

NTSYSCALLAPI NTSTATUS NTAPI NtQueryFullAttributesFile(POBJECT_ATTRIBUTES ObjectAttributes,
                                                      PFILE_NETWORK_OPEN_INFORMATION FileInformation)
{
    ke::CheckIrql((const void *)&NtQueryFullAttributesFile, PASSIVE_LEVEL);
    if (ke::CurrentThreadState().previousMode == UserMode &&
        !io::IsUserRange(FileInformation, sizeof(FILE_NETWORK_OPEN_INFORMATION)))
        return STATUS_ACCESS_VIOLATION;
    FILE_NETWORK_OPEN_INFORMATION info{};
    NTSTATUS status = io::QueryAttributesByName(ObjectAttributes, &info);
    if (NT_SUCCESS(status))
        *FileInformation = info;
    return status;
}

NTSYSCALLAPI NTSTATUS NTAPI NtQueryAttributesFile(POBJECT_ATTRIBUTES ObjectAttributes,
                                                  PFILE_BASIC_INFORMATION FileInformation)
{
    ke::CheckIrql((const void *)&NtQueryAttributesFile, PASSIVE_LEVEL);
    if (ke::CurrentThreadState().previousMode == UserMode &&
        !io::IsUserRange(FileInformation, sizeof(FILE_BASIC_INFORMATION)))
        return STATUS_ACCESS_VIOLATION;
    FILE_NETWORK_OPEN_INFORMATION info{};
    NTSTATUS status = io::QueryAttributesByName(ObjectAttributes, &info);
    if (NT_SUCCESS(status)) {
        FILE_BASIC_INFORMATION basic{};
        basic.CreationTime = info.CreationTime;
        basic.LastAccessTime = info.LastAccessTime;
        basic.LastWriteTime = info.LastWriteTime;
        basic.ChangeTime = info.ChangeTime;
        basic.FileAttributes = info.FileAttributes;
        *FileInformation = basic;
    }
    return status;
}

NTSYSAPI NTSTATUS NTAPI ZwQueryFullAttributesFile(POBJECT_ATTRIBUTES ObjectAttributes,
                                                  PFILE_NETWORK_OPEN_INFORMATION FileInformation)
{
    return io::AsKernelCall([&] { return NtQueryFullAttributesFile(ObjectAttributes, FileInformation); });
}

NTSYSAPI NTSTATUS NTAPI ZwQueryAttributesFile(POBJECT_ATTRIBUTES ObjectAttributes,
                                              PFILE_BASIC_INFORMATION FileInformation)
{
    return io::AsKernelCall([&] { return NtQueryAttributesFile(ObjectAttributes, FileInformation); });
}

} // extern "C"
