/*
 * Object manager internals: every object is a body preceded by a header that
 * holds its reference and handle counts and its type. Bodies come from the pool
 * under their type's tag, so a leaked object shows in the pool audit as well as
 * in the object audit.
 */
#pragma once

#include <ntdef.h>
#include <ntstatus.h>
#include <km/ob.h>
#include <km/pool.h>

#include <atomic>
#include <cstdint>
#include <string>

struct _KPROCESS;

namespace ob {

struct ObjectType {
    const char *name;
    ULONG poolTag;
    GENERIC_MAPPING mapping;
    ACCESS_MASK validAccess;
    /* Last reference gone: tear the body down (the memory is freed afterwards). */
    void (*deleteProcedure)(void *body);
    /* A handle to the object was closed by process: the handles it still holds to the
     * object, and the handles left in the whole system. */
    void (*closeProcedure)(void *body, struct _KPROCESS *process, int64_t processHandles, int64_t handleCount);
};

constexpr uint32_t kHeaderMagic = 0x6A624F56; /* "VObj" */
constexpr uint32_t kPermanent = 0x1;          /* references do not free it (adopted threads, system process) */
constexpr uint32_t kHostMemory = 0x2;         /* not from the pool (objects of the machine itself) */
constexpr uint32_t kBootObject = 0x4;         /* made at every boot; not an audit finding */

struct alignas(16) ObjectHeader {
    std::atomic<int64_t> pointerCount{1};
    std::atomic<int64_t> handleCount{0};
    ObjectType *type = nullptr;
    uint32_t magic = kHeaderMagic;
    uint32_t flags = 0;
    std::u16string *name = nullptr;
    void *parent = nullptr; /* directory that names it */
};

/* A new object with one reference; null when the pool is exhausted. The body is zeroed. */
void *CreateObject(ObjectType *type, size_t bodySize, uint32_t flags = 0);
/* Makes an object in caller-provided memory (header followed by body); it is never freed. */
void *InitializeEmbeddedObject(ObjectHeader *header, ObjectType *type, void *body);

ObjectHeader *HeaderOf(const void *body);
/* Stops the machine when body is not a live object. */
ObjectHeader *CheckedHeaderOf(const void *body);

void Reference(void *body);
void Dereference(void *body);

/* The types this component and others register. */
ObjectType *ThreadType();
ObjectType *ProcessType();

} // namespace ob
