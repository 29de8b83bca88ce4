/*
 * Handle tables. A handle's value is (slot + 1) * 4; kernel handles set the high
 * bits as on Windows (0xFFFFFFFF8xxxxxxx). Each entry holds a reference to its
 * object and the access granted when the handle was made.
 */
#include "ob/handles.h"

#include "base/spin.h"
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "machine.h"

#include <km/bugcheck.h>

#include <cstdio>

namespace ob {

struct HandleTable {
    base::SpinLock lock;
    std::vector<HandleEntry> entries;
    std::vector<uint32_t> freeSlots;
};

namespace {

constexpr ULONG_PTR kKernelHandleBits = 0xFFFFFFFF80000000ull;

HandleTable *&KernelTableSlot()
{
    static HandleTable *table = nullptr;
    return table;
}

/* The handles of a table to one object (the table's lock is taken). */
int64_t HandlesTo(HandleTable *table, const void *object)
{
    base::SpinGuard guard(table->lock);
    int64_t count = 0;
    for (const auto &entry : table->entries)
        count += entry.object == object;
    return count;
}

bool IsKernelHandle(HANDLE handle)
{
    return ((ULONG_PTR)handle & kKernelHandleBits) == kKernelHandleBits && (LONG_PTR)handle < -2;
}

uint32_t SlotOf(HANDLE handle)
{
    return (uint32_t)((((ULONG_PTR)handle) & 0x7FFFFFFF) >> 2) - 1;
}

HandleTable *TableFor(HANDLE handle)
{
    if (IsKernelHandle(handle))
        return KernelHandleTable();
    struct _KPROCESS *process = ke::CurrentProcess();
    return process->HandleTable != nullptr ? process->HandleTable : KernelHandleTable();
}

void AuditHandles(machine::AuditReport &report)
{
    HandleTable *table = KernelTableSlot();
    if (table == nullptr)
        return;
    base::SpinGuard guard(table->lock);
    for (size_t i = 0; i < table->entries.size(); ++i) {
        const HandleEntry &entry = table->entries[i];
        if (entry.object == nullptr)
            continue;
        char line[128];
        std::snprintf(line, sizeof(line), "ob: kernel handle 0x%llx to a %s object is still open",
                      (unsigned long long)(kKernelHandleBits | ((i + 1) << 2)), HeaderOf(entry.object)->type->name);
        report.findings.push_back(line);
    }
}

void BootHandles()
{
    KernelTableSlot() = CreateHandleTable();
}

void ShutdownHandles()
{
    HandleTable *table = KernelTableSlot();
    KernelTableSlot() = nullptr;
    delete table; /* objects left open were reported by the audit and go with the pool */
}

const bool registered = [] {
    machine::RegisterComponent({"handles", machine::kOrderObjects + 1, BootHandles, AuditHandles, ShutdownHandles});
    return true;
}();

} // namespace

HandleTable *CreateHandleTable()
{
    return new HandleTable();
}

HandleTable *KernelHandleTable()
{
    return KernelTableSlot();
}

size_t HandleCount(HandleTable *table)
{
    base::SpinGuard guard(table->lock);
    size_t count = 0;
    for (const auto &entry : table->entries)
        count += entry.object != nullptr;
    return count;
}

void DestroyHandleTable(HandleTable *table, struct _KPROCESS *process)
{
    for (;;) {
        HandleEntry entry;
        {
            base::SpinGuard guard(table->lock);
            size_t i = 0;
            while (i < table->entries.size() && table->entries[i].object == nullptr)
                ++i;
            if (i == table->entries.size())
                break;
            entry = table->entries[i];
            table->entries[i] = HandleEntry();
        }
        ObjectHeader *header = HeaderOf(entry.object);
        int64_t left = header->handleCount.fetch_sub(1) - 1;
        if (header->type->closeProcedure != nullptr)
            header->type->closeProcedure(entry.object, process, HandlesTo(table, entry.object), left);
        Dereference(entry.object);
    }
    delete table;
}

ACCESS_MASK SpecificAccess(const ObjectType *type, ACCESS_MASK access)
{
    const GENERIC_MAPPING &mapping = type->mapping;
    if (access & GENERIC_READ)
        access |= mapping.GenericRead;
    if (access & GENERIC_WRITE)
        access |= mapping.GenericWrite;
    if (access & GENERIC_EXECUTE)
        access |= mapping.GenericExecute;
    if (access & GENERIC_ALL)
        access |= mapping.GenericAll;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

NTSTATUS InsertHandle(void *object, ACCESS_MASK grantedAccess, ULONG attributes, bool kernel, HANDLE *handle)
{
    HandleTable *table = kernel ? KernelHandleTable() : TableFor(nullptr);
    if (table == KernelHandleTable())
        kernel = true;
    Reference(object);
    HeaderOf(object)->handleCount.fetch_add(1);
    uint32_t slot;
    {
        base::SpinGuard guard(table->lock);
        if (!table->freeSlots.empty()) {
            slot = table->freeSlots.back();
            table->freeSlots.pop_back();
        } else {
            slot = (uint32_t)table->entries.size();
            table->entries.emplace_back();
        }
        table->entries[slot] = HandleEntry{object, grantedAccess, attributes};
    }
    ULONG_PTR value = ((ULONG_PTR)slot + 1) << 2;
    *handle = (HANDLE)(kernel ? (value | kKernelHandleBits) : value);
    return STATUS_SUCCESS;
}

NTSTATUS LookupHandle(HANDLE handle, KPROCESSOR_MODE mode, HandleEntry *entry)
{
    if (handle == nullptr || (LONG_PTR)handle == -1 || (LONG_PTR)handle == -2)
        return STATUS_INVALID_HANDLE;
    if (IsKernelHandle(handle) && mode == UserMode)
        return STATUS_INVALID_HANDLE;
    HandleTable *table = TableFor(handle);
    uint32_t slot = SlotOf(handle);
    base::SpinGuard guard(table->lock);
    if (slot >= table->entries.size() || table->entries[slot].object == nullptr)
        return STATUS_INVALID_HANDLE;
    *entry = table->entries[slot];
    Reference(entry->object);
    return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode)
{
    if (IsKernelHandle(handle) && mode == UserMode)
        return STATUS_INVALID_HANDLE;
    HandleTable *table = TableFor(handle);
    uint32_t slot = SlotOf(handle);
    HandleEntry entry;
    {
        base::SpinGuard guard(table->lock);
        if (handle == nullptr || ((LONG_PTR)handle < 0 && !IsKernelHandle(handle)) || slot >= table->entries.size() ||
            table->entries[slot].object == nullptr)
            entry.object = nullptr;
        else {
            entry = table->entries[slot];
            table->entries[slot] = HandleEntry();
            table->freeSlots.push_back(slot);
        }
    }
    if (entry.object == nullptr) {
        if (mode == KernelMode)
            KeBugCheckEx(INVALID_KERNEL_HANDLE, (ULONG_PTR)handle, 0, 0, 0);
        return STATUS_INVALID_HANDLE;
    }
    ObjectHeader *header = HeaderOf(entry.object);
    int64_t left = header->handleCount.fetch_sub(1) - 1;
    if (header->type->closeProcedure != nullptr)
        header->type->closeProcedure(entry.object, ke::CurrentProcess(), HandlesTo(table, entry.object), left);
    Dereference(entry.object);
    return STATUS_SUCCESS;
}

} // namespace ob

extern "C" {

NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandleWithTag(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                            POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                            ULONG Tag, PVOID *Object,
                                                            POBJECT_HANDLE_INFORMATION HandleInformation)
{
    (void)Tag;
    ke::CheckIrql((const void *)&ObReferenceObjectByHandleWithTag, APC_LEVEL);
    *Object = nullptr;
    if (machine::ShouldFail("ObReferenceObjectByHandle"))
        return STATUS_INSUFFICIENT_RESOURCES;
    ob::HandleEntry entry;
    void *object;
    if ((LONG_PTR)Handle == -2) { /* NtCurrentThread() */
        object = ke::CurrentThread();
        ob::Reference(object);
        entry = ob::HandleEntry{object, THREAD_ALL_ACCESS, 0};
    } else if ((LONG_PTR)Handle == -1) { /* NtCurrentProcess() */
        object = ke::CurrentProcess();
        ob::Reference(object);
        entry = ob::HandleEntry{object, PROCESS_ALL_ACCESS, 0};
    } else {
        NTSTATUS status = ob::LookupHandle(Handle, AccessMode, &entry);
        if (!NT_SUCCESS(status))
            return status;
        object = entry.object;
    }
    ob::ObjectHeader *header = ob::HeaderOf(object);
    if (ObjectType != nullptr && reinterpret_cast<ob::ObjectType *>(ObjectType) != header->type) {
        ob::Dereference(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (AccessMode == UserMode) {
        ACCESS_MASK wanted = ob::SpecificAccess(header->type, DesiredAccess);
        if ((wanted & ~entry.grantedAccess) != 0) {
            ob::Dereference(object);
            return STATUS_ACCESS_DENIED;
        }
    }
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = entry.attributes;
        HandleInformation->GrantedAccess = entry.grantedAccess;
    }
    *Object = object;
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                                     PVOID *Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    return ObReferenceObjectByHandleWithTag(Handle, DesiredAccess, ObjectType, AccessMode, 0, Object,
                                            HandleInformation);
}

NTKERNELAPI NTSTATUS NTAPI ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes, struct _ACCESS_STATE *PassedAccessState,
                                                 ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                                 KPROCESSOR_MODE AccessMode, PHANDLE Handle)
{
    (void)PassedAccessState;
    ke::CheckIrql((const void *)&ObOpenObjectByPointer, PASSIVE_LEVEL);
    ob::ObjectHeader *header = ob::CheckedHeaderOf(Object);
    if (ObjectType != nullptr && reinterpret_cast<ob::ObjectType *>(ObjectType) != header->type)
        return STATUS_OBJECT_TYPE_MISMATCH;
    // A kernel handle only for kernel callers.
    ACCESS_MASK access = ob::SpecificAccess(header->type, DesiredAccess);
    bool kernel = AccessMode == KernelMode && (HandleAttributes & OBJ_KERNEL_HANDLE);
    return ob::InsertHandle(Object, access, HandleAttributes, kernel, Handle);
}

NTKERNELAPI NTSTATUS NTAPI ObCloseHandle(HANDLE Handle, KPROCESSOR_MODE PreviousMode)
{
    return ob::CloseHandle(Handle, PreviousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    ke::CheckIrql((const void *)&ZwClose, PASSIVE_LEVEL);
    return ob::CloseHandle(Handle, KernelMode);
}

NTSYSAPI NTSTATUS NTAPI NtClose(HANDLE Handle)
{
    return ob::CloseHandle(Handle, ke::CurrentThreadState().previousMode);
}

} // extern "C"
