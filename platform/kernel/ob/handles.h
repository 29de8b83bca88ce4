/*
 * Handle tables: one per process and one for the kernel. Handle values are
 * multiples of 4; kernel handles carry the high bit, and user-mode references to
 * them are refused.
 */
#pragma once

#include "ob/object.h"

#include <km/ob.h>

#include <vector>

struct _KPROCESS;

namespace ob {

struct HandleEntry {
    void *object = nullptr;
    ACCESS_MASK grantedAccess = 0;
    ULONG attributes = 0;
};

struct HandleTable;

HandleTable *CreateHandleTable();
/* Closes every handle left (process exit) and frees the table. */
void DestroyHandleTable(HandleTable *table, struct _KPROCESS *process);
HandleTable *KernelHandleTable();

/* Generic rights mapped to the type's specific ones (MAXIMUM_ALLOWED dropped). */
ACCESS_MASK SpecificAccess(const ObjectType *type, ACCESS_MASK access);
/* Adds a handle (taking one reference and one handle count); kernel = OBJ_KERNEL_HANDLE. */
NTSTATUS InsertHandle(void *object, ACCESS_MASK grantedAccess, ULONG attributes, bool kernel, HANDLE *handle);
/* Looks a handle up in the table its value names; returns a referenced object. */
NTSTATUS LookupHandle(HANDLE handle, KPROCESSOR_MODE mode, HandleEntry *entry);
NTSTATUS CloseHandle(HANDLE handle, KPROCESSOR_MODE mode);
/* Live handles of a table, for audits. */
size_t HandleCount(HandleTable *table);

} // namespace ob
