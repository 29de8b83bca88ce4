/*
 * Device control requests: NtDeviceIoControlFile and ZwDeviceIoControlFile, with
 * the four buffering methods as Windows implements them.
 *
 *   buffered     one system buffer holds the input, then the output; on completion
 *                min(Information, output length) bytes go back to the caller, for
 *                success and warning statuses, never for errors;
 *   in/out direct  the input is buffered, the output buffer is described by an MDL
 *                locked after a probe;
 *   neither      the driver gets the caller's raw pointers (Type3InputBuffer and
 *                UserBuffer) and probes them itself.
 *
 * A handle needs FILE_READ_DATA or FILE_WRITE_DATA when the control code's access
 * bits ask for it. A synchronous file object makes the call wait for the request;
 * an asynchronous one returns STATUS_PENDING and signals the event (or the file
 * object) when the request completes.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

#include <km/ex.h>

#include "machine.h"

#include <cstring>

namespace io {
namespace {

constexpr ULONG kSystemBufferTag = POOL_TAG('I', 'o', 'S', 'B');

struct ControlCall {
    HANDLE fileHandle;
    HANDLE event;
    PIO_STATUS_BLOCK iosb;
    ULONG code;
    PVOID input;
    ULONG inputLength;
    PVOID output;
    ULONG outputLength;
    KPROCESSOR_MODE mode;
    bool internal;
};

ACCESS_MASK RequiredAccess(ULONG code)
{
    ULONG access = (code >> 14) & 3;
    return ((access & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) | ((access & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
}

/* The buffers a user-mode caller passes must lie in its user space (neither-I/O ones are the driver's to probe). */
bool BuffersReadable(const ControlCall &c)
{
    if (c.mode != UserMode)
        return true;
    if (!IsUserRange(c.iosb, sizeof(IO_STATUS_BLOCK)))
        return false;
    if (METHOD_FROM_CTL_CODE(c.code) == METHOD_NEITHER)
        return true;
    return IsUserRange(c.input, c.inputLength) && IsUserRange(c.output, c.outputLength);
}

/* Gives the request its buffers; STATUS_INSUFFICIENT_RESOURCES when pool runs out. */
NTSTATUS AttachBuffers(const ControlCall &c, Request *request, PIO_STACK_LOCATION stack)
{
    PIRP irp = request->irp;
    ULONG method = METHOD_FROM_CTL_CODE(c.code);
    if (method == METHOD_NEITHER) {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = c.input;
        irp->UserBuffer = c.output;
        return STATUS_SUCCESS;
    }
    ULONG systemLength = c.inputLength;
    if (method == METHOD_BUFFERED && c.outputLength > systemLength)
        systemLength = c.outputLength;
    if (systemLength != 0) {
        irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, systemLength, kSystemBufferTag);
        if (irp->AssociatedIrp.SystemBuffer == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        if (c.inputLength != 0)
            memcpy(irp->AssociatedIrp.SystemBuffer, c.input, c.inputLength);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (method == METHOD_BUFFERED) {
        irp->UserBuffer = c.output;
        request->outputBuffer = c.output;
        request->outputLength = c.outputLength;
        request->copyBack = c.outputLength != 0;
        if (c.outputLength != 0)
            irp->Flags |= IRP_INPUT_OPERATION;
        return STATUS_SUCCESS;
    }
    if (c.outputLength != 0) {
        PMDL mdl = IoAllocateMdl(c.output, c.outputLength, FALSE, FALSE, irp);
        if (mdl == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        MmProbeAndLockPages(mdl, c.mode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DeviceControl(const ControlCall &c)
{
    if (!BuffersReadable(c))
        return STATUS_ACCESS_VIOLATION;
    PVOID object;
    OBJECT_HANDLE_INFORMATION info{};
    NTSTATUS status = ObReferenceObjectByHandle(c.fileHandle, 0, *IoFileObjectType, c.mode, &object, &info);
    if (!NT_SUCCESS(status))
        return status;
    auto *file = static_cast<PFILE_OBJECT>(object);
    ACCESS_MASK required = RequiredAccess(c.code);
    if (c.mode == UserMode && (required & ~info.GrantedAccess) != 0) {
        ob::Dereference(file);
        return STATUS_ACCESS_DENIED;
    }
    PKEVENT event = nullptr;
    if (c.event != nullptr) {
        PVOID eventObject;
        status = ObReferenceObjectByHandle(c.event, EVENT_MODIFY_STATE, *ExEventObjectType, c.mode, &eventObject,
                                           nullptr);
        if (!NT_SUCCESS(status)) {
            ob::Dereference(file);
            return status;
        }
        event = static_cast<PKEVENT>(eventObject);
        KeClearEvent(event);
    }

    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    PIO_STACK_LOCATION stack;
    Request *request = NewRequest(device, file, c.mode, c.internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL
                                                                   : IRP_MJ_DEVICE_CONTROL,
                                  0, &stack);
    ob::Dereference(file); /* the request holds the file object now */
    if (request == nullptr) {
        if (event != nullptr)
            ob::Dereference(event);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->userEvent = event;
    request->referencedEvent = event != nullptr;
    request->userIosb = c.iosb;
    stack->Parameters.DeviceIoControl.IoControlCode = c.code;
    stack->Parameters.DeviceIoControl.InputBufferLength = c.inputLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = c.outputLength;
    status = AttachBuffers(c, request, stack);
    if (!NT_SUCCESS(status)) {
        ReleaseRequest(request); /* never sent: both holds go */
        ReleaseRequest(request);
        return status;
    }

    bool synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
    if (synchronous)
        KeClearEvent(&file->Event);
    status = CallDriverChecked(device, request);
    if (synchronous && status == STATUS_PENDING)
        status = WaitForRequest(request);
    ReleaseRequest(request);
    return status;
}

} // namespace
} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                  PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                  ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                                  PVOID OutputBuffer, ULONG OutputBufferLength)
{
    (void)ApcContext;
    ke::CheckIrql((const void *)&NtDeviceIoControlFile, PASSIVE_LEVEL);
    if (ApcRoutine != nullptr)
        return STATUS_NOT_IMPLEMENTED; /* user APCs are not part of this machine */
    io::ControlCall call{FileHandle,  Event,          IoStatusBlock,
                         IoControlCode, InputBuffer,  InputBufferLength,
                         OutputBuffer,  OutputBufferLength, ke::CurrentThreadState().previousMode, false};
    return io::DeviceControl(call);
}

NTSYSAPI NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                              PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                              ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                              PVOID OutputBuffer, ULONG OutputBufferLength)
{
    (void)ApcContext;
    ke::CheckIrql((const void *)&ZwDeviceIoControlFile, PASSIVE_LEVEL);
    if (ApcRoutine != nullptr)
        return STATUS_NOT_IMPLEMENTED;
    ke::ThreadState &state = ke::CurrentThreadState();
    KPROCESSOR_MODE previous = state.previousMode;
    state.previousMode = KernelMode;
    io::ControlCall call{FileHandle,  Event,          IoStatusBlock,
                         IoControlCode, InputBuffer,  InputBufferLength,
                         OutputBuffer,  OutputBufferLength, KernelMode, false};
    NTSTATUS status = io::DeviceControl(call);
    state.previousMode = previous;
    return status;
}

} // extern "C"
