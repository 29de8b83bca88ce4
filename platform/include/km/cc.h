/*
 * Cache manager: the calls a file system makes about the system cache of its
 * files. Declared in ntifs.h on Windows.
 */
#pragma once

EXTERN_C_START

NTKERNELAPI BOOLEAN NTAPI CcPurgeCacheSection(PSECTION_OBJECT_POINTERS SectionObjectPointer,
                                              PLARGE_INTEGER FileOffset, ULONG Length, ULONG Flags);

EXTERN_C_END
