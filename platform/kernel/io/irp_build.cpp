/*
 * IRPs drivers build for other drivers: IoBuildDeviceIoControlRequest,
 * IoBuildSynchronousFsdRequest and IoBuildAsynchronousFsdRequest.
 *
 * The first two are threaded requests of the I/O manager in kernel mode: completion
 * copies buffered output back, writes the status block, signals the event and frees
 * the IRP (unless a completion routine stops it, when the sender completes it once
 * more). The asynchronous one belongs to its builder: a completion routine must
 * stop completion with STATUS_MORE_PROCESSING_REQUIRED, free any MDL and call
 * IoFreeIrp; completing it to its top is caught.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

#include <cstring>

namespace io {
namespace {

bool IsFsdTransfer(ULONG major)
{
    return major == IRP_MJ_READ || major == IRP_MJ_WRITE;
}

bool IsFsdMajor(ULONG major)
{
    return IsFsdTransfer(major) || major == IRP_MJ_FLUSH_BUFFERS || major == IRP_MJ_SHUTDOWN ||
           major == IRP_MJ_PNP || major == IRP_MJ_POWER;
}

/* The stack location and buffer of a read or write built for a lower driver. */
NTSTATUS PrepareFsdTransfer(PIRP irp, PIO_STACK_LOCATION stack, PDEVICE_OBJECT device, ULONG major, PVOID buffer,
                            ULONG length, PLARGE_INTEGER startingOffset, Request *request)
{
    stack->Parameters.Read.Length = length;
    if (startingOffset != nullptr)
        stack->Parameters.Read.ByteOffset = *startingOffset;
    bool read = major == IRP_MJ_READ;
    if (length == 0)
        return STATUS_SUCCESS;
    if (device->Flags & DO_BUFFERED_IO) {
        irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, length, kSystemBufferTag);
        if (irp->AssociatedIrp.SystemBuffer == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        irp->UserBuffer = buffer;
        if (read) {
            irp->Flags |= IRP_INPUT_OPERATION;
            if (request != nullptr) {
                request->outputBuffer = buffer;
                request->outputLength = length;
                request->copyBack = true;
            }
        } else {
            memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
        }
        return STATUS_SUCCESS;
    }
    if (device->Flags & DO_DIRECT_IO) {
        PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
        if (mdl == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        MmProbeAndLockPages(mdl, KernelMode, read ? IoWriteAccess : IoReadAccess);
        return STATUS_SUCCESS;
    }
    irp->UserBuffer = buffer;
    return STATUS_SUCCESS;
}

/* A threaded request handed to its builder: completion alone finishes it, reporting here. */
PIRP HandOver(Request *request, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    request->references = 1;
    PIRP irp = request->irp;
    irp->UserIosb = iosb;
    irp->UserEvent = event;
    request->userIosb = iosb;
    request->userEvent = event;
    return irp;
}

} // namespace
} // namespace io

extern "C" {

NTKERNELAPI PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                     PVOID InputBuffer, ULONG InputBufferLength,
                                                     PVOID OutputBuffer, ULONG OutputBufferLength,
                                                     BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                     PIO_STATUS_BLOCK IoStatusBlock)
{
    ke::CheckIrql((const void *)&IoBuildDeviceIoControlRequest, PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack;
    io::Request *request =
        io::NewRequest(DeviceObject, nullptr, KernelMode,
                       InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, 0, &stack);
    if (request == nullptr)
        return nullptr;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (!NT_SUCCESS(io::AttachControlBuffers(request, stack, IoControlCode, InputBuffer, InputBufferLength,
                                             OutputBuffer, OutputBufferLength))) {
        io::DiscardRequest(request);
        return nullptr;
    }
    return io::HandOver(request, Event, IoStatusBlock);
}

NTKERNELAPI PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                    ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                    PIO_STATUS_BLOCK IoStatusBlock)
{
    ke::CheckIrql((const void *)&IoBuildSynchronousFsdRequest, PASSIVE_LEVEL);
    if (!io::IsFsdMajor(MajorFunction))
        return nullptr;
    PIO_STACK_LOCATION stack;
    io::Request *request = io::NewRequest(DeviceObject, nullptr, KernelMode, (UCHAR)MajorFunction, 0, &stack);
    if (request == nullptr)
        return nullptr;
    PIRP irp = request->irp;
    if (io::IsFsdTransfer(MajorFunction) &&
        !NT_SUCCESS(io::PrepareFsdTransfer(irp, stack, DeviceObject, MajorFunction, Buffer, Length, StartingOffset,
                                           request))) {
        io::DiscardRequest(request);
        return nullptr;
    }
    irp->Flags |= IRP_SYNCHRONOUS_API;
    return io::HandOver(request, Event, IoStatusBlock);
}

NTKERNELAPI PIRP NTAPI IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                     ULONG Length, PLARGE_INTEGER StartingOffset,
                                                     PIO_STATUS_BLOCK IoStatusBlock)
{
    ke::CheckIrql((const void *)&IoBuildAsynchronousFsdRequest, DISPATCH_LEVEL);
    if (!io::IsFsdMajor(MajorFunction))
        return nullptr;
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = ke::CurrentThread();
    irp->UserIosb = IoStatusBlock;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = (UCHAR)MajorFunction;
    if (io::IsFsdTransfer(MajorFunction) &&
        !NT_SUCCESS(io::PrepareFsdTransfer(irp, stack, DeviceObject, MajorFunction, Buffer, Length, StartingOffset,
                                           nullptr))) {
        if (PMDL mdl = irp->MdlAddress) {
            irp->MdlAddress = nullptr;
            IoFreeMdl(mdl);
        }
        IoFreeIrp(irp);
        return nullptr;
    }
    return irp;
}

} // extern "C"
