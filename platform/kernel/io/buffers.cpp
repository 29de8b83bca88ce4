/*
 * How a request carries the caller's buffers, by the target device's I/O method
 * and the kind of request, as the Windows I/O manager builds them:
 *
 *   buffered  one system buffer from nonpaged pool; what the device reads is copied
 *             in before the request goes, what it fills is copied back at completion
 *             (min(Information, length) bytes, for success and warning statuses);
 *   direct    an MDL over the caller's pages, probed and locked, unlocked and freed
 *             at completion;
 *   neither   the caller's own pointer in UserBuffer, for the driver to probe.
 *
 * Information classes always travel in a system buffer, whatever the device's method.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"
#include "mm/user_arena.h"

#include <cstring>

namespace io {
namespace {

NTSTATUS AllocateSystemBuffer(Request *request, PVOID buffer, ULONG length, bool copyIn, bool copyBack)
{
    PIRP irp = request->irp;
    irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, length, kSystemBufferTag);
    if (irp->AssociatedIrp.SystemBuffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (copyIn)
        memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
    if (copyBack) {
        irp->Flags |= IRP_INPUT_OPERATION;
        request->outputBuffer = buffer;
        request->outputLength = length;
        request->copyBack = true;
    }
    return STATUS_SUCCESS;
}

NTSTATUS LockCallerPages(Request *request, PVOID buffer, ULONG length, LOCK_OPERATION operation)
{
    PIRP irp = request->irp;
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, TRUE, irp);
    if (mdl == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The range was checked against the caller's user space before: the probe holds.
    MmProbeAndLockPages(mdl, irp->RequestorMode, operation);
    return STATUS_SUCCESS;
}

} // namespace

bool IsUserRange(const void *address, size_t length)
{
    if (length == 0)
        return true;
    return mm::ArenaContains(ke::CurrentProcess()->Arena, address, length);
}

NTSTATUS AttachDataBuffer(Request *request, PDEVICE_OBJECT device, PVOID buffer, ULONG length, bool deviceWrites)
{
    PIRP irp = request->irp;
    if (length == 0) {
        irp->UserBuffer = buffer;
        return STATUS_SUCCESS;
    }
    if (device->Flags & DO_BUFFERED_IO) {
        irp->UserBuffer = buffer;
        return AllocateSystemBuffer(request, buffer, length, !deviceWrites, deviceWrites);
    }
    if (device->Flags & DO_DIRECT_IO)
        return LockCallerPages(request, buffer, length, deviceWrites ? IoWriteAccess : IoReadAccess);
    irp->UserBuffer = buffer;
    return STATUS_SUCCESS;
}

NTSTATUS AttachSystemBuffer(Request *request, PVOID buffer, ULONG length, bool copyIn, bool copyBack)
{
    request->irp->UserBuffer = buffer;
    if (length == 0)
        return STATUS_SUCCESS;
    return AllocateSystemBuffer(request, buffer, length, copyIn, copyBack);
}

NTSTATUS AttachControlBuffers(Request *request, PIO_STACK_LOCATION stack, ULONG code, PVOID input,
                              ULONG inputLength, PVOID output, ULONG outputLength)
{
    PIRP irp = request->irp;
    ULONG method = METHOD_FROM_CTL_CODE(code);
    if (method == METHOD_NEITHER) {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = input;
        irp->UserBuffer = output;
        return STATUS_SUCCESS;
    }
    // Buffered: one buffer for the input and then the output; direct: the input buffered,
    // the output locked in an MDL.
    ULONG systemLength = inputLength;
    if (method == METHOD_BUFFERED && outputLength > systemLength)
        systemLength = outputLength;
    if (systemLength != 0) {
        irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, systemLength, kSystemBufferTag);
        if (irp->AssociatedIrp.SystemBuffer == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        if (inputLength != 0)
            memcpy(irp->AssociatedIrp.SystemBuffer, input, inputLength);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    }
    if (method == METHOD_BUFFERED) {
        irp->UserBuffer = output;
        request->outputBuffer = output;
        request->outputLength = outputLength;
        request->copyBack = outputLength != 0;
        if (outputLength != 0)
            irp->Flags |= IRP_INPUT_OPERATION;
        return STATUS_SUCCESS;
    }
    if (outputLength == 0)
        return STATUS_SUCCESS;
    return LockCallerPages(request, output, outputLength, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
}

} // namespace io
