/*
 * Event objects reachable by handle, and waiting on any waitable object by handle.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ob/handles.h"

#include "machine.h"

#include <km/ex.h>

namespace {

ob::ObjectType eventType = {"Event", POOL_TAG('E', 'v', 'e', 'n'),
                            {STANDARD_RIGHTS_READ | EVENT_QUERY_STATE, STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE,
                             STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE, EVENT_ALL_ACCESS},
                            EVENT_ALL_ACCESS, nullptr, nullptr};
POBJECT_TYPE eventTypePointer = reinterpret_cast<POBJECT_TYPE>(&eventType);

NTSTATUS CreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     EVENT_TYPE EventType, BOOLEAN InitialState, KPROCESSOR_MODE mode)
{
    if (mode == UserMode && (!io::IsUserRange(EventHandle, sizeof(HANDLE)) ||
                             (ObjectAttributes != nullptr && !io::IsUserRange(ObjectAttributes, sizeof(OBJECT_ATTRIBUTES)))))
        return STATUS_ACCESS_VIOLATION;
    if (EventType != NotificationEvent && EventType != SynchronizationEvent)
        return STATUS_INVALID_PARAMETER;
    ULONG attributes = ObjectAttributes != nullptr ? ObjectAttributes->Attributes : 0;
    auto *event = static_cast<PKEVENT>(ob::CreateObject(&eventType, sizeof(KEVENT)));
    if (event == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    KeInitializeEvent(event, EventType, InitialState);
    HANDLE handle;
    NTSTATUS status = ob::InsertHandle(event, DesiredAccess == MAXIMUM_ALLOWED ? EVENT_ALL_ACCESS : DesiredAccess,
                                       attributes & OBJ_INHERIT,
                                       mode == KernelMode && (attributes & OBJ_KERNEL_HANDLE), &handle);
    ob::Dereference(event);
    if (NT_SUCCESS(status))
        *EventHandle = handle;
    return status;
}

/* The dispatcher object a waitable object's handle stands for. */
PVOID WaitableOf(PVOID object)
{
    ob::ObjectType *type = ob::HeaderOf(object)->type;
    if (type == io::FileType())
        return &static_cast<PFILE_OBJECT>(object)->Event;
    if (type == &eventType || type == ob::ThreadType() || type == ob::ProcessType())
        return object;
    return nullptr;
}

NTSTATUS WaitByHandle(HANDLE Handle, PLARGE_INTEGER Timeout, KPROCESSOR_MODE mode)
{
    if (mode == UserMode && Timeout != nullptr && !io::IsUserRange(Timeout, sizeof(LARGE_INTEGER)))
        return STATUS_ACCESS_VIOLATION;
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(Handle, SYNCHRONIZE, nullptr, mode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    PVOID waitable = WaitableOf(object);
    status = waitable == nullptr ? STATUS_OBJECT_TYPE_MISMATCH
                                 : KeWaitForSingleObject(waitable, UserRequest, mode, FALSE, Timeout);
    ob::Dereference(object);
    return status;
}

} // namespace

extern "C" {

NTKERNELAPI POBJECT_TYPE *ExEventObjectType = &eventTypePointer;

NTSYSCALLAPI NTSTATUS NTAPI NtCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                          BOOLEAN InitialState)
{
    return CreateEvent(EventHandle, DesiredAccess, ObjectAttributes, EventType, InitialState,
                       ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                      BOOLEAN InitialState)
{
    return CreateEvent(EventHandle, DesiredAccess, ObjectAttributes, EventType, InitialState, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtSetEvent(HANDLE EventHandle, PLONG PreviousState)
{
    PVOID event;
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if (mode == UserMode && PreviousState != nullptr && !io::IsUserRange(PreviousState, sizeof(LONG)))
        return STATUS_ACCESS_VIOLATION;
    NTSTATUS status = ObReferenceObjectByHandle(EventHandle, EVENT_MODIFY_STATE, eventTypePointer, mode, &event,
                                                nullptr);
    if (!NT_SUCCESS(status))
        return status;
    LONG previous = KeSetEvent(static_cast<PKEVENT>(event), 0, FALSE);
    if (PreviousState != nullptr)
        *PreviousState = previous;
    ob::Dereference(event);
    return STATUS_SUCCESS;
}

NTSYSCALLAPI NTSTATUS NTAPI NtClearEvent(HANDLE EventHandle)
{
    PVOID event;
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    NTSTATUS status = ObReferenceObjectByHandle(EventHandle, EVENT_MODIFY_STATE, eventTypePointer, mode, &event,
                                                nullptr);
    if (!NT_SUCCESS(status))
        return status;
    KeClearEvent(static_cast<PKEVENT>(event));
    ob::Dereference(event);
    return STATUS_SUCCESS;
}

NTSYSCALLAPI NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)Alertable;
    return WaitByHandle(Handle, Timeout, ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)Alertable;
    return WaitByHandle(Handle, Timeout, KernelMode);
}

} // extern "C"
