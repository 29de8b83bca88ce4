/*
 * Objects: creation, reference counting and deletion.
 */
#include "ob/object.h"

#include "base/spin.h"
#include "ex/worker.h"
#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "machine.h"

#include <km/bugcheck.h>
#include <km/pool.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <new>

namespace ob {
namespace {

struct ObjectRegistry {
    base::SpinLock lock;
    std::map<const void *, ObjectType *> live; /* objects drivers can leak (not boot objects) */
};

ObjectRegistry &Registry()
{
    static ObjectRegistry registry;
    return registry;
}

void AuditObjects(machine::AuditReport &report)
{
    auto &registry = Registry();
    base::SpinGuard guard(registry.lock);
    std::map<std::string, int> counts;
    for (const auto &[body, type] : registry.live)
        counts[type->name]++;
    for (const auto &[name, count] : counts)
        report.findings.push_back("ob: " + std::to_string(count) + " " + name + " object(s) still referenced");
}

void ResetObjects()
{
    auto &registry = Registry();
    base::SpinGuard guard(registry.lock);
    registry.live.clear();
}

/* Objects still alive at shutdown were reported; their memory goes with the pool, their names here. */
void ShutdownObjects()
{
    auto &registry = Registry();
    base::SpinGuard guard(registry.lock);
    for (auto &[body, type] : registry.live) {
        ObjectHeader *header = HeaderOf(body);
        delete header->name;
        header->name = nullptr;
    }
    registry.live.clear();
}

const bool registered = [] {
    machine::RegisterComponent({"objects", machine::kOrderObjects, ResetObjects, AuditObjects, ShutdownObjects});
    return true;
}();

[[noreturn]] void BadReference(const void *body, ULONG_PTR reason)
{
    KeBugCheckEx(REFERENCE_BY_POINTER, 0, (ULONG_PTR)body, reason, 0);
}

void DeleteObject(ObjectHeader *header, void *body)
{
    ObjectType *type = header->type;
    if (type->deleteProcedure != nullptr)
        type->deleteProcedure(body);
    delete header->name;
    header->name = nullptr;
    header->magic = 0;
    if (header->flags & kPermanent)
        return;
    {
        auto &registry = Registry();
        base::SpinGuard guard(registry.lock);
        registry.live.erase(body);
    }
    uint32_t flags = header->flags;
    header->~ObjectHeader();
    if (flags & kHostMemory)
        ::operator delete(static_cast<void *>(header), std::align_val_t(16));
    else
        ExFreePoolWithTag(header, type->poolTag);
}

/* A deferred deletion, on a system worker thread. */
void DeleteDeferred(void *body)
{
    DeleteObject(static_cast<ObjectHeader *>(body) - 1, body);
}

} // namespace

void *CreateObject(ObjectType *type, size_t bodySize, uint32_t flags)
{
    size_t total = sizeof(ObjectHeader) + bodySize;
    void *memory = (flags & kHostMemory) ? ::operator new(total, std::align_val_t(16))
                                         : ExAllocatePoolWithTag(NonPagedPoolNx, total, type->poolTag);
    if (memory == nullptr)
        return nullptr;
    auto header = new (memory) ObjectHeader();
    header->type = type;
    header->flags = flags;
    void *body = header + 1;
    std::memset(body, 0, bodySize);
    if (!(flags & kBootObject)) {
        auto &registry = Registry();
        base::SpinGuard guard(registry.lock);
        registry.live[body] = type;
    }
    return body;
}

void *InitializeEmbeddedObject(ObjectHeader *header, ObjectType *type, void *body)
{
    if ((void *)(header + 1) != body)
        KeBugCheckEx(REFERENCE_BY_POINTER, 1, (ULONG_PTR)body, 0, 0);
    header->type = type;
    header->flags = kPermanent | kHostMemory;
    return body;
}

ObjectHeader *HeaderOf(const void *body)
{
    return const_cast<ObjectHeader *>(static_cast<const ObjectHeader *>(body) - 1);
}

ObjectHeader *CheckedHeaderOf(const void *body)
{
    if (body == nullptr)
        BadReference(body, 0);
    ObjectHeader *header = HeaderOf(body);
    if (header->magic != kHeaderMagic)
        BadReference(body, 1);
    return header;
}

void Reference(void *body)
{
    ObjectHeader *header = CheckedHeaderOf(body);
    if (header->pointerCount.fetch_add(1) <= 0)
        BadReference(body, 2);
}

void Dereference(void *body)
{
    ObjectHeader *header = CheckedHeaderOf(body);
    int64_t left = header->pointerCount.fetch_sub(1) - 1;
    if (left < 0)
        BadReference(body, 3);
    if (left == 0)
        DeleteObject(header, body);
}

} // namespace ob

extern "C" {

NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    ob::Reference(Object);
    return (LONG_PTR)ob::HeaderOf(Object)->pointerCount.load();
}

NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    ob::ObjectHeader *header = ob::CheckedHeaderOf(Object);
    LONG_PTR left = (LONG_PTR)header->pointerCount.load() - 1;
    ob::Dereference(Object);
    return left;
}

NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObjectWithTag(PVOID Object, ULONG Tag)
{
    (void)Tag;
    return ObfReferenceObject(Object);
}

NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObjectWithTag(PVOID Object, ULONG Tag)
{
    (void)Tag;
    return ObfDereferenceObject(Object);
}

/*
 * The last reference's deletion runs later on a system worker thread at PASSIVE_LEVEL,
 * never on the caller's stack: the caller may hold a spin lock, or a lock the delete
 * procedure takes. Until then the object is unreachable (no reference may be taken on
 * it) but still counted by the audits, which drain the worker queues first.
 */
NTKERNELAPI VOID NTAPI ObDereferenceObjectDeferDelete(PVOID Object)
{
    ke::CheckIrql((const void *)&ObDereferenceObjectDeferDelete, DISPATCH_LEVEL);
    ob::ObjectHeader *header = ob::CheckedHeaderOf(Object);
    int64_t left = header->pointerCount.fetch_sub(1) - 1;
    if (left < 0)
        ob::BadReference(Object, 3);
    if (left == 0)
        ex::QueueSystemWork(DelayedWorkQueue, ob::DeleteDeferred, Object);
}

NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                                      POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode)
{
    (void)DesiredAccess;
    (void)AccessMode;
    ob::ObjectHeader *header = ob::CheckedHeaderOf(Object);
    if (ObjectType != nullptr && reinterpret_cast<ob::ObjectType *>(ObjectType) != header->type)
        return STATUS_OBJECT_TYPE_MISMATCH;
    ob::Reference(Object);
    return STATUS_SUCCESS;
}

} // extern "C"
