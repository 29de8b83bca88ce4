/*
 * Opening devices: NtCreateFile, ZwCreateFile and IoGetDeviceObjectPointer.
 *
 * The name is walked through the object namespace to a device; what is left of it
 * goes to the device's driver in IRP_MJ_CREATE. A user-mode open (or one forced to
 * be checked) is checked against the device's security descriptor when it opens
 * the device itself, or anything under it when the device was created with
 * FILE_DEVICE_SECURE_OPEN; otherwise the driver alone decides.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"
#include "ob/handles.h"
#include "ob/namespace.h"
#include "se/security.h"

#include "machine.h"

#include <km/se.h>

#include <cstring>

namespace io {
namespace {

constexpr ULONG kEaTag = POOL_TAG('I', 'o', 'E', 'a');

struct OpenParameters {
    ACCESS_MASK desiredAccess;
    POBJECT_ATTRIBUTES attributes;
    PLARGE_INTEGER allocationSize;
    ULONG fileAttributes;
    ULONG shareAccess;
    ULONG disposition;
    ULONG options;
    PVOID eaBuffer;
    ULONG eaLength;
    KPROCESSOR_MODE mode;
    bool forceAccessCheck;
};

/*
 * A user-mode caller's arguments, captured as Windows captures them: every range must
 * lie in the caller's user space, and the attributes and the name are copied once
 * into kernel memory before anything looks at them, so a user thread that rewrites
 * them meanwhile (another thread of the program, or a client on the far side of the
 * host's socket, which shares that memory) can change what is opened but never make
 * the I/O manager follow a pointer it did not check.
 */
struct CapturedArguments {
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING name;
    std::u16string nameText;
};

bool CaptureUserArguments(OpenParameters &p, PHANDLE handle, PIO_STATUS_BLOCK iosb, CapturedArguments *captured)
{
    if (!IsUserRange(handle, sizeof(HANDLE)) || !IsUserRange(iosb, sizeof(IO_STATUS_BLOCK)) ||
        !IsUserRange(p.attributes, sizeof(OBJECT_ATTRIBUTES)))
        return false;
    if (p.allocationSize != nullptr && !IsUserRange(p.allocationSize, sizeof(LARGE_INTEGER)))
        return false;
    if (p.eaLength != 0 && !IsUserRange(p.eaBuffer, p.eaLength))
        return false;
    memcpy(&captured->attributes, p.attributes, sizeof(OBJECT_ATTRIBUTES));
    PUNICODE_STRING name = captured->attributes.ObjectName;
    if (name != nullptr) {
        if (!IsUserRange(name, sizeof(UNICODE_STRING)))
            return false;
        memcpy(&captured->name, name, sizeof(UNICODE_STRING));
        if (!IsUserRange(captured->name.Buffer, captured->name.Length))
            return false;
        captured->nameText.assign(reinterpret_cast<const char16_t *>(captured->name.Buffer),
                                  captured->name.Length / sizeof(WCHAR));
        captured->name.Buffer = reinterpret_cast<PWCH>(captured->nameText.data());
        captured->name.Length = (USHORT)(captured->nameText.size() * sizeof(WCHAR));
        captured->name.MaximumLength = captured->name.Length;
        captured->attributes.ObjectName = &captured->name;
    }
    p.attributes = &captured->attributes;
    return true;
}

NTSTATUS ValidateParameters(const OpenParameters &p)
{
    if (p.disposition > FILE_MAXIMUM_DISPOSITION || (p.options & ~FILE_VALID_OPTION_FLAGS) != 0 ||
        (p.shareAccess & ~FILE_SHARE_VALID_FLAGS) != 0)
        return STATUS_INVALID_PARAMETER;
    if ((p.options & FILE_DIRECTORY_FILE) && (p.options & FILE_NON_DIRECTORY_FILE))
        return STATUS_INVALID_PARAMETER;
    if ((p.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) &&
        !(p.desiredAccess & SYNCHRONIZE))
        return STATUS_INVALID_PARAMETER;
    if ((p.options & FILE_SYNCHRONOUS_IO_ALERT) && (p.options & FILE_SYNCHRONOUS_IO_NONALERT))
        return STATUS_INVALID_PARAMETER;
    if (p.attributes == nullptr || p.attributes->Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

/* Where the open goes: a device and the name left for its driver. */
NTSTATUS ResolveTarget(const OpenParameters &p, PDEVICE_OBJECT *device, std::u16string *remaining,
                       PFILE_OBJECT *related)
{
    std::u16string name = ob::FromCounted(p.attributes->ObjectName);
    *related = nullptr;
    if (p.attributes->RootDirectory != nullptr) {
        PVOID object;
        NTSTATUS status = ObReferenceObjectByHandle(p.attributes->RootDirectory, 0, *IoFileObjectType, p.mode, &object,
                                                    nullptr);
        if (!NT_SUCCESS(status))
            return status;
        *related = static_cast<PFILE_OBJECT>(object);
        *device = (*related)->DeviceObject;
        ob::Reference(*device);
        *remaining = name;
        return STATUS_SUCCESS;
    }
    if (name.empty())
        return STATUS_OBJECT_NAME_INVALID;
    ob::LookupResult found;
    NTSTATUS status = ob::LookupObject(name, false, &found);
    if (!NT_SUCCESS(status))
        return status;
    if (ob::HeaderOf(found.object)->type != DeviceType()) {
        ob::Dereference(found.object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *device = static_cast<PDEVICE_OBJECT>(found.object);
    *remaining = found.remaining;
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
    return flags;
}

/*
 * The open itself. On success returns a referenced, opened file object and the
 * access its handle is granted; the status block is filled when the driver saw
 * the request.
 */
NTSTATUS OpenFile(const OpenParameters &p, PIO_STATUS_BLOCK iosb, PFILE_OBJECT *opened, ACCESS_MASK *granted)
{
    PDEVICE_OBJECT device = nullptr;
    std::u16string remaining;
    PFILE_OBJECT related = nullptr;
    NTSTATUS status = ResolveTarget(p, &device, &remaining, &related);
    if (!NT_SUCCESS(status))
        return status;
    DeviceState *state = StateOf(device);
    if ((device->Flags & DO_DEVICE_INITIALIZING) || state->deletePending) {
        ob::Dereference(device);
        if (related != nullptr)
            ob::Dereference(related);
        return STATUS_NO_SUCH_DEVICE;
    }

    se::AuxAccessData aux{};
    ACCESS_STATE accessState;
    status = SeCreateAccessState(&accessState, &aux, p.desiredAccess, IoGetFileObjectGenericMapping());
    if (!NT_SUCCESS(status)) {
        ob::Dereference(device);
        if (related != nullptr)
            ob::Dereference(related);
        return status;
    }

    // Backup and restore semantics belong to opens that ask for them.
    if (!(p.options & FILE_OPEN_FOR_BACKUP_INTENT))
        accessState.Flags &= ~(TOKEN_HAS_BACKUP_PRIVILEGE | TOKEN_HAS_RESTORE_PRIVILEGE);

    bool checked = p.mode == UserMode || p.forceAccessCheck;
    if (checked && (remaining.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN))) {
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
            ob::Dereference(device);
            if (related != nullptr)
                ob::Dereference(related);
            return accessStatus;
        }
        accessState.PreviouslyGrantedAccess |= accessGranted;
        accessState.RemainingDesiredAccess = 0;
    } else if (!checked) {
        // Kernel-mode opens are granted what they ask for.
        accessState.PreviouslyGrantedAccess |= accessState.RemainingDesiredAccess;
        accessState.RemainingDesiredAccess = 0;
    }

    PFILE_OBJECT file = CreateFileObject(device, remaining);
    ob::Dereference(device); /* the file object holds its own reference now */
    if (file == nullptr) {
        SeDeleteAccessState(&accessState);
        if (related != nullptr)
            ob::Dereference(related);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    file->Flags |= FileObjectFlags(p.options);
    file->RelatedFileObject = related;
    StateOf(file)->process = ke::CurrentProcess();

    PDEVICE_OBJECT target = IoGetRelatedDeviceObject(file);
    PIO_STACK_LOCATION stack;
    Request *request = NewRequest(target, file, p.mode, IRP_MJ_CREATE, 0, &stack);
    if (request == nullptr) {
        SeDeleteAccessState(&accessState);
        ob::Dereference(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIRP irp = request->irp;
    if (p.eaLength != 0) {
        irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, p.eaLength, kEaTag);
        if (irp->AssociatedIrp.SystemBuffer == nullptr) {
            ReleaseRequest(request); /* never sent: drop the completion's hold too */
            ReleaseRequest(request);
            SeDeleteAccessState(&accessState);
            ob::Dereference(file);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memcpy(irp->AssociatedIrp.SystemBuffer, p.eaBuffer, p.eaLength);
    }
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
    if (!(p.attributes->Attributes & OBJ_CASE_INSENSITIVE))
        stack->Flags |= SL_CASE_SENSITIVE;
    irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION;
    if (p.eaLength != 0)
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (p.allocationSize != nullptr)
        irp->Overlay.AllocationSize = *p.allocationSize;
    IO_STATUS_BLOCK result{};
    request->userIosb = &result;

    status = CallDriverAndWait(target, request);
    if (iosb != nullptr) {
        iosb->Status = result.Status;
        iosb->Information = result.Information;
    }
    *granted = accessState.PreviouslyGrantedAccess;
    SeDeleteAccessState(&accessState);
    if (!NT_SUCCESS(status) || status == STATUS_REPARSE) {
        ob::Dereference(file); /* never opened: no cleanup or close is owed */
        return status;
    }
    StateOf(file)->opened = true;
    file->Flags |= FO_HANDLE_CREATED;
    *opened = file;
    return status;
}

NTSTATUS CreateFileCommon(PHANDLE handle, OpenParameters p, PIO_STATUS_BLOCK iosb)
{
    CapturedArguments captured;
    if (p.mode == UserMode && !CaptureUserArguments(p, handle, iosb, &captured))
        return STATUS_ACCESS_VIOLATION;
    NTSTATUS status = ValidateParameters(p);
    if (!NT_SUCCESS(status))
        return status;
    PFILE_OBJECT file = nullptr;
    ACCESS_MASK granted = 0;
    status = OpenFile(p, iosb, &file, &granted);
    if (!NT_SUCCESS(status) || status == STATUS_REPARSE)
        return status;
    bool kernelHandle = p.mode == KernelMode && (p.attributes->Attributes & OBJ_KERNEL_HANDLE);
    HANDLE value;
    NTSTATUS insert = ob::InsertHandle(file, granted, p.attributes->Attributes & OBJ_INHERIT, kernelHandle, &value);
    ob::Dereference(file);
    if (!NT_SUCCESS(insert))
        return insert;
    *handle = value;
    return status;
}

OpenParameters Parameters(ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes, PLARGE_INTEGER allocationSize,
                          ULONG fileAttributes, ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer,
                          ULONG eaLength, KPROCESSOR_MODE mode)
{
    OpenParameters p{};
    p.desiredAccess = desiredAccess;
    p.attributes = attributes;
    p.allocationSize = allocationSize;
    p.fileAttributes = fileAttributes;
    p.shareAccess = shareAccess;
    p.disposition = disposition;
    p.options = options;
    p.eaBuffer = eaBuffer;
    p.eaLength = eaLength;
    p.mode = mode;
    p.forceAccessCheck = mode == UserMode || (attributes != nullptr && (attributes->Attributes & OBJ_FORCE_ACCESS_CHECK));
    return p;
}

} // namespace
} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                         PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                         ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                                         ULONG EaLength)
{
    ke::CheckIrql((const void *)&NtCreateFile, PASSIVE_LEVEL);
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    io::OpenParameters p = io::Parameters(DesiredAccess, ObjectAttributes, AllocationSize, FileAttributes, ShareAccess,
                                          CreateDisposition, CreateOptions, EaBuffer, EaLength, mode);
    if (mode == KernelMode)
        p.forceAccessCheck = ObjectAttributes != nullptr && (ObjectAttributes->Attributes & OBJ_FORCE_ACCESS_CHECK);
    return io::CreateFileCommon(FileHandle, p, IoStatusBlock);
}

NTSYSAPI NTSTATUS NTAPI ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                     POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                     PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                     ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
{
    ke::CheckIrql((const void *)&ZwCreateFile, PASSIVE_LEVEL);
    if (machine::ShouldFail("ZwCreateFile"))
        return STATUS_INSUFFICIENT_RESOURCES;
    ke::ThreadState &state = ke::CurrentThreadState();
    KPROCESSOR_MODE previous = state.previousMode;
    state.previousMode = KernelMode;
    io::OpenParameters p = io::Parameters(DesiredAccess, ObjectAttributes, AllocationSize, FileAttributes, ShareAccess,
                                          CreateDisposition, CreateOptions, EaBuffer, EaLength, KernelMode);
    NTSTATUS status = io::CreateFileCommon(FileHandle, p, IoStatusBlock);
    state.previousMode = previous;
    return status;
}

NTKERNELAPI NTSTATUS NTAPI IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                                    PFILE_OBJECT *FileObject, PDEVICE_OBJECT *DeviceObject)
{
    ke::CheckIrql((const void *)&IoGetDeviceObjectPointer, PASSIVE_LEVEL);
    if (machine::ShouldFail("IoGetDeviceObjectPointer"))
        return STATUS_INSUFFICIENT_RESOURCES;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, ObjectName, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    io::OpenParameters p = io::Parameters(DesiredAccess, &attributes, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          FILE_OPEN, FILE_NON_DIRECTORY_FILE, nullptr, 0, KernelMode);
    // As on Windows: open a handle, reference its file object, close the handle (which
    // sends the cleanup at once); the caller's reference ends in the close.
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = io::CreateFileCommon(&handle, p, &iosb);
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

} // extern "C"
