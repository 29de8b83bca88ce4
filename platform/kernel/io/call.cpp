/*
 * The frame every native call on a file handle runs in, as the Windows I/O manager
 * runs it: the handle is referenced with the access the call needs (checked for
 * user-mode callers only), the caller's event is referenced and cleared, a file
 * object opened for synchronous I/O is locked for the whole call, the request is
 * built with the caller's status block and event, and the caller either waits (a
 * synchronous file object, or a call that is synchronous for every handle) or gets
 * STATUS_PENDING and learns the outcome from the status block and the event.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

namespace io {

NTSTATUS BeginFileCall(FileCall *call, HANDLE handle, ACCESS_MASK required, HANDLE event, PIO_STATUS_BLOCK iosb)
{
    call->mode = ke::CurrentThreadState().previousMode;
    call->iosb = iosb;
    if (call->mode == UserMode && iosb != nullptr && !IsUserRange(iosb, sizeof(IO_STATUS_BLOCK)))
        return STATUS_ACCESS_VIOLATION;
    PVOID object;
    OBJECT_HANDLE_INFORMATION info{};
    NTSTATUS status = ObReferenceObjectByHandle(handle, required, *IoFileObjectType, call->mode, &object, &info);
    if (!NT_SUCCESS(status))
        return status;
    call->file = static_cast<PFILE_OBJECT>(object);
    call->granted = info.GrantedAccess;
    if (event != nullptr) {
        PVOID eventObject;
        status = ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType, call->mode, &eventObject,
                                           nullptr);
        if (!NT_SUCCESS(status)) {
            ob::Dereference(call->file);
            call->file = nullptr;
            return status;
        }
        call->event = static_cast<PKEVENT>(eventObject);
        KeClearEvent(call->event);
    }
    call->device = TargetOf(call->file);
    call->synchronous = (call->file->Flags & FO_SYNCHRONOUS_IO) != 0;
    if (call->synchronous) {
        AcquireFileObjectLock(call->file);
        call->locked = true;
    }
    return STATUS_SUCCESS;
}

void EndFileCall(FileCall *call)
{
    if (call->locked)
        ReleaseFileObjectLock(call->file);
    call->locked = false;
    if (call->event != nullptr)
        ob::Dereference(call->event);
    call->event = nullptr;
    if (call->file != nullptr)
        ob::Dereference(call->file);
    call->file = nullptr;
}

Request *NewFileRequest(FileCall *call, UCHAR major, UCHAR minor, PIO_STACK_LOCATION *stack)
{
    Request *request = NewRequest(call->device, call->file, call->mode, major, minor, stack);
    if (request == nullptr)
        return nullptr;
    PIRP irp = request->irp;
    request->userIosb = call->iosb;
    irp->UserIosb = call->iosb;
    if (call->event != nullptr) {
        ob::Reference(call->event);
        request->userEvent = call->event;
        request->referencedEvent = true;
        irp->UserEvent = call->event;
    }
    // The file object is signalled when this request completes, as a handle waited on.
    KeClearEvent(&call->file->Event);
    return request;
}

NTSTATUS SendFileRequest(FileCall *call, Request *request, bool waitAlways)
{
    if (!call->synchronous && waitAlways)
        request->irp->Flags |= IRP_SYNCHRONOUS_API;
    NTSTATUS status = CallDriverChecked(call->device, request);
    if (status == STATUS_PENDING && (call->synchronous || waitAlways))
        status = WaitForRequest(request);
    ReleaseRequest(request);
    return status;
}

void CompleteWithoutRequest(FileCall *call, NTSTATUS status, ULONG_PTR information)
{
    if (call->iosb == nullptr)
        return;
    call->iosb->Status = status;
    call->iosb->Information = information;
    if (call->event != nullptr)
        KeSetEvent(call->event, 0, FALSE);
}

PFAST_IO_DISPATCH FastIoTable(PDEVICE_OBJECT device, size_t entryOffset)
{
    PFAST_IO_DISPATCH table = device->DriverObject != nullptr ? device->DriverObject->FastIoDispatch : nullptr;
    if (table == nullptr || table->SizeOfFastIoDispatch < entryOffset + sizeof(PVOID))
        return nullptr;
    PVOID entry;
    memcpy(&entry, reinterpret_cast<const UCHAR *>(table) + entryOffset, sizeof(entry));
    return entry != nullptr ? table : nullptr;
}

} // namespace io
