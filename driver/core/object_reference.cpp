/*
 * Object references the driver takes: tagged (so a leak names the driver) when the
 * system offers the tagged routines, untagged otherwise.
 */
#include "vorel.h"

/* LookUpTaggedReferenceRoutines: resolves the tagged routines by name; absent ones stay null. */
VOID LookUpTaggedReferenceRoutines(VOID)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"ObfReferenceObjectWithTag");
    *(PVOID *)&VorelData.ReferenceObjectWithTag = MmGetSystemRoutineAddress(&name);
    RtlInitUnicodeString(&name, L"ObfDereferenceObjectWithTag");
    *(PVOID *)&VorelData.DereferenceObjectWithTag = MmGetSystemRoutineAddress(&name);
    RtlInitUnicodeString(&name, L"ObReferenceObjectByHandleWithTag");
    *(PVOID *)&VorelData.ReferenceObjectByHandleWithTag = MmGetSystemRoutineAddress(&name);
}

VOID ReferenceObject(PVOID Object)
{
    if (VorelData.ReferenceObjectWithTag != NULL)
        VorelData.ReferenceObjectWithTag(Object, TAG_OBJECT_REFERENCE);
    else
        ObfReferenceObject(Object);
}

VOID DereferenceObject(PVOID Object)
{
    if (VorelData.DereferenceObjectWithTag != NULL)
        VorelData.DereferenceObjectWithTag(Object, TAG_OBJECT_REFERENCE);
    else
        ObfDereferenceObject(Object);
}

/* ReferenceObjectByHandle: a kernel-mode reference through a kernel handle. */
NTSTATUS ReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, PVOID *Object)
{
    if (VorelData.ReferenceObjectByHandleWithTag != NULL)
        return VorelData.ReferenceObjectByHandleWithTag(Handle, DesiredAccess, ObjectType, KernelMode,
                                                        TAG_OBJECT_REFERENCE, Object, NULL);
    return ObReferenceObjectByHandle(Handle, DesiredAccess, ObjectType, KernelMode, Object, NULL);
}
