/*
 * Security of files: NtQuerySecurityObject and NtSetSecurityObject (and their Zw
 * forms) on file handles. The handle needs the access each kind of information
 * asks for (SeQuerySecurityAccessMask, SeSetSecurityAccessMask). A file on a file
 * system gets IRP_MJ_QUERY_SECURITY (the caller's buffer in UserBuffer; a file
 * system's STATUS_BUFFER_OVERFLOW becomes STATUS_BUFFER_TOO_SMALL with the length it
 * needs) or IRP_MJ_SET_SECURITY (the caller's descriptor captured, checked to carry
 * the parts the information names); an open of a device itself answers a query from
 * the device's descriptor. Both are synchronous for every handle. Other kinds of
 * objects keep no security in this machine.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

#include <km/se.h>

namespace io {
namespace {

/* Whether the file object is an open of a device itself rather than of a file on a volume. */
bool IsDeviceOpen(PFILE_OBJECT file)
{
    if (file->Flags & FO_DIRECT_DEVICE_OPEN)
        return true;
    return file->Vpb == nullptr && file->FileName.Length == 0 && file->RelatedFileObject == nullptr;
}

/*
 * Begins a security call on a handle: it must grant the access the information
 * needs, and name a file (the security of other objects is not kept here). The
 * outcome goes to a status block of the call's own.
 */
NTSTATUS BeginSecurityCall(FileCall *call, HANDLE handle, ACCESS_MASK access, PIO_STATUS_BLOCK local)
{
    PVOID object;
    NTSTATUS status =
        ObReferenceObjectByHandle(handle, access, nullptr, ke::CurrentThreadState().previousMode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    bool isFile = ob::HeaderOf(object)->type == FileType();
    ob::Dereference(object);
    if (!isFile)
        return STATUS_NOT_SUPPORTED;
    status = BeginFileCall(call, handle, access, nullptr, nullptr);
    call->iosb = local;
    return status;
}

NTSTATUS QuerySecurity(HANDLE handle, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, ULONG length,
                       PULONG lengthNeeded)
{
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if (mode == UserMode && (!IsUserRange(descriptor, length) || !IsUserRange(lengthNeeded, sizeof(ULONG))))
        return STATUS_ACCESS_VIOLATION;
    ACCESS_MASK access;
    SeQuerySecurityAccessMask(information, &access);
    IO_STATUS_BLOCK local{};
    FileCall call;
    NTSTATUS status = BeginSecurityCall(&call, handle, access, &local);
    if (!NT_SUCCESS(status))
        return status;
    if (IsDeviceOpen(call.file)) {
        ULONG size = length;
        PSECURITY_DESCRIPTOR deviceDescriptor = call.file->DeviceObject->SecurityDescriptor;
        status = SeQuerySecurityDescriptorInfo(&information, descriptor, &size, &deviceDescriptor);
        *lengthNeeded = size;
        EndFileCall(&call);
        return status;
    }
    status = IssueFileRequest(&call, IRP_MJ_QUERY_SECURITY, 0, true, [&](Request *request, PIO_STACK_LOCATION stack) {
        stack->Parameters.QuerySecurity.SecurityInformation = information;
        stack->Parameters.QuerySecurity.Length = length;
        request->irp->UserBuffer = descriptor;
        return (NTSTATUS)STATUS_SUCCESS;
    });
    if (status == STATUS_BUFFER_OVERFLOW)
        status = STATUS_BUFFER_TOO_SMALL;
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL)
        *lengthNeeded = (ULONG)local.Information;
    return status;
}

/* The parts the information names must be in the descriptor. */
NTSTATUS CheckDescriptorCarries(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    PSID sid;
    BOOLEAN defaulted, present;
    PACL acl;
    if ((information & OWNER_SECURITY_INFORMATION) &&
        (!NT_SUCCESS(RtlGetOwnerSecurityDescriptor(descriptor, &sid, &defaulted)) || sid == nullptr))
        return STATUS_INVALID_OWNER;
    if ((information & GROUP_SECURITY_INFORMATION) &&
        (!NT_SUCCESS(RtlGetGroupSecurityDescriptor(descriptor, &sid, &defaulted)) || sid == nullptr))
        return STATUS_INVALID_PRIMARY_GROUP;
    if ((information & DACL_SECURITY_INFORMATION) &&
        (!NT_SUCCESS(RtlGetDaclSecurityDescriptor(descriptor, &present, &acl, &defaulted)) || !present))
        return STATUS_INVALID_SECURITY_DESCR;
    return STATUS_SUCCESS;
}

NTSTATUS SetSecurity(HANDLE handle, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if (descriptor == nullptr)
        return STATUS_ACCESS_VIOLATION;
    ACCESS_MASK access;
    SeSetSecurityAccessMask(information, &access);
    IO_STATUS_BLOCK local{};
    FileCall call;
    NTSTATUS status = BeginSecurityCall(&call, handle, access, &local);
    if (!NT_SUCCESS(status))
        return status;
    if (IsDeviceOpen(call.file)) {
        EndFileCall(&call);
        return STATUS_NOT_SUPPORTED; /* devices keep the descriptor they were created with */
    }
    PSECURITY_DESCRIPTOR captured = nullptr;
    status = SeCaptureSecurityDescriptor(descriptor, mode, PagedPool, TRUE, &captured);
    if (NT_SUCCESS(status))
        status = CheckDescriptorCarries(information, captured);
    if (!NT_SUCCESS(status)) {
        EndFileCall(&call);
        SeReleaseSecurityDescriptor(captured, mode, TRUE);
        return status;
    }
    status = IssueFileRequest(&call, IRP_MJ_SET_SECURITY, 0, true, [&](Request *, PIO_STACK_LOCATION stack) {
        stack->Parameters.SetSecurity.SecurityInformation = information;
        stack->Parameters.SetSecurity.SecurityDescriptor = captured;
        return (NTSTATUS)STATUS_SUCCESS;
    });
    SeReleaseSecurityDescriptor(captured, mode, TRUE);
    return status;
}

} // namespace
} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                                  PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                                  PULONG LengthNeeded)
{
    ke::CheckIrql((const void *)&NtQuerySecurityObject, PASSIVE_LEVEL);
    return io::QuerySecurity(Handle, SecurityInformation, SecurityDescriptor, Length, LengthNeeded);
}

NTSYSCALLAPI NTSTATUS NTAPI NtSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                                PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    ke::CheckIrql((const void *)&NtSetSecurityObject, PASSIVE_LEVEL);
    return io::SetSecurity(Handle, SecurityInformation, SecurityDescriptor);
}

NTSYSAPI NTSTATUS NTAPI ZwQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                              PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                              PULONG LengthNeeded)
{
    return io::AsKernelCall(
        [&] { return NtQuerySecurityObject(Handle, SecurityInformation, SecurityDescriptor, Length, LengthNeeded); });
}

NTSYSAPI NTSTATUS NTAPI ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                            PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    return io::AsKernelCall([&] { return NtSetSecurityObject(Handle, SecurityInformation, SecurityDescriptor); });
}

} // extern "C"
