/*
 * A file's sections as a file system sees them (ntifs.h): the memory manager's
 * questions and orders on a file's section object pointers, and the cache
 * manager's coherent flush and purge.
 */
#pragma once

#include <ntdef.h>
#include <km/io.h>

typedef enum _MMFLUSH_TYPE { MmFlushForDelete, MmFlushForWrite } MMFLUSH_TYPE;

#define CC_FLUSH_AND_PURGE_NO_PURGE 0x1

EXTERN_C_START

NTKERNELAPI BOOLEAN NTAPI MmCanFileBeTruncated(PSECTION_OBJECT_POINTERS SectionPointer, PLARGE_INTEGER NewFileSize);
NTKERNELAPI BOOLEAN NTAPI MmFlushImageSection(PSECTION_OBJECT_POINTERS SectionObjectPointer, MMFLUSH_TYPE FlushType);
NTKERNELAPI BOOLEAN NTAPI MmForceSectionClosed(PSECTION_OBJECT_POINTERS SectionObjectPointer, BOOLEAN DelayClose);
NTKERNELAPI VOID NTAPI CcCoherencyFlushAndPurgeCache(PSECTION_OBJECT_POINTERS SectionObjectPointer,
                                                     PLARGE_INTEGER FileOffset, ULONG Length,
                                                     PIO_STATUS_BLOCK IoStatus, ULONG Flags);

EXTERN_C_END
