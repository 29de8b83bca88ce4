/*
 * A file's sections as a file system sees them (ntifs.h): the memory manager's
 * questions and orders on a file's section object pointers, and the cache
 * manager's coherent flush and purge. Section objects and their views as
 * programs and drivers make them (wdm.h, ntifs.h).
 */
#pragma once

#include <ntdef.h>
#include <km/io.h>

typedef enum _MMFLUSH_TYPE { MmFlushForDelete, MmFlushForWrite } MMFLUSH_TYPE;

#define CC_FLUSH_AND_PURGE_NO_PURGE 0x1

/* Page protections (winnt.h / wdm.h). */
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define PAGE_EXECUTE 0x10
#define PAGE_EXECUTE_READ 0x20
#define PAGE_EXECUTE_READWRITE 0x40
#define PAGE_EXECUTE_WRITECOPY 0x80

/* Section allocation attributes. */
#define SEC_IMAGE 0x1000000
#define SEC_RESERVE 0x4000000
#define SEC_COMMIT 0x8000000

/* Section access rights. */
#define SECTION_QUERY 0x0001
#define SECTION_MAP_WRITE 0x0002
#define SECTION_MAP_READ 0x0004
#define SECTION_MAP_EXECUTE 0x0008
#define SECTION_EXTEND_SIZE 0x0010
#define SECTION_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SECTION_QUERY | SECTION_MAP_WRITE | SECTION_MAP_READ | \
                            SECTION_MAP_EXECUTE | SECTION_EXTEND_SIZE)

typedef enum _SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 } SECTION_INHERIT;

EXTERN_C_START

extern NTKERNELAPI POBJECT_TYPE *MmSectionObjectType;

NTKERNELAPI BOOLEAN NTAPI MmCanFileBeTruncated(PSECTION_OBJECT_POINTERS SectionPointer, PLARGE_INTEGER NewFileSize);
NTKERNELAPI BOOLEAN NTAPI MmFlushImageSection(PSECTION_OBJECT_POINTERS SectionObjectPointer, MMFLUSH_TYPE FlushType);
NTKERNELAPI BOOLEAN NTAPI MmForceSectionClosed(PSECTION_OBJECT_POINTERS SectionObjectPointer, BOOLEAN DelayClose);
NTKERNELAPI ULONG NTAPI MmDoesFileHaveUserWritableReferences(PSECTION_OBJECT_POINTERS SectionPointer);
NTKERNELAPI VOID NTAPI CcCoherencyFlushAndPurgeCache(PSECTION_OBJECT_POINTERS SectionObjectPointer,
                                                     PLARGE_INTEGER FileOffset, ULONG Length,
                                                     PIO_STATUS_BLOCK IoStatus, ULONG Flags);


NTSYSCALLAPI NTSTATUS NTAPI NtCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                            POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER MaximumSize,
                                            ULONG SectionPageProtection, ULONG AllocationAttributes,
                                            HANDLE FileHandle);
NTSYSAPI NTSTATUS NTAPI ZwCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER MaximumSize,
                                        ULONG SectionPageProtection, ULONG AllocationAttributes, HANDLE FileHandle);
NTSYSCALLAPI NTSTATUS NTAPI NtMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID *BaseAddress,
                                               ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                                               PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition,
                                               ULONG AllocationType, ULONG Win32Protect);
NTSYSAPI NTSTATUS NTAPI ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID *BaseAddress,
                                           ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                                           PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition,
                                           ULONG AllocationType, ULONG Win32Protect);
NTSYSCALLAPI NTSTATUS NTAPI NtUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress);
NTSYSAPI NTSTATUS NTAPI ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress);
NTSYSCALLAPI NTSTATUS NTAPI NtFlushVirtualMemory(HANDLE ProcessHandle, PVOID *BaseAddress, PSIZE_T RegionSize,
                                                 PIO_STATUS_BLOCK IoStatus);
NTSYSAPI NTSTATUS NTAPI ZwFlushVirtualMemory(HANDLE ProcessHandle, PVOID *BaseAddress, PSIZE_T RegionSize,
                                             PIO_STATUS_BLOCK IoStatus);

EXTERN_C_END
