/*
 * Cache manager: the calls a file system makes about the system cache of its
 * files. Declared in ntifs.h on Windows.
 */
#pragma once

/* Flags of CcPurgeCacheSection. */
#define UNINITIALIZE_CACHE_MAPS (1)
#define PURGE_WITH_ACTIVE_VIEWS (2)

EXTERN_C_START

NTKERNELAPI BOOLEAN NTAPI CcPurgeCacheSection(PSECTION_OBJECT_POINTERS SectionObjectPointer,
                                              PLARGE_INTEGER FileOffset, ULONG Length, ULONG Flags);

EXTERN_C_END
