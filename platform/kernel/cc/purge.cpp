/*
 * The cache manager's purge. This machine has no cache manager sections yet: they
 * arrive with memory-mapped files. Until then no file has a data section or a
 * shared cache map, so nothing is ever cached and a purge has nothing to do. Any
 * such pointer is not one this machine made, and stops it.
 */
#include "ke/dispatcher.h"

#include <ntifs.h>

/*
 * CcPurgeCacheSection: purges the cached data of a file, wholly (FileOffset NULL)
 * or a range of it (Length 0: to the end of the file). Returns TRUE when the data
 * was purged, which, with no data section and no shared cache map, it always is.
 * IRQL < DISPATCH_LEVEL.
 */
NTKERNELAPI BOOLEAN NTAPI CcPurgeCacheSection(PSECTION_OBJECT_POINTERS SectionObjectPointer,
                                              PLARGE_INTEGER FileOffset, ULONG Length, ULONG Flags)
{
    (void)FileOffset;
    (void)Length;
    (void)Flags;
    ke::CheckIrql((const void *)&CcPurgeCacheSection, APC_LEVEL);
    if (SectionObjectPointer->DataSectionObject != nullptr || SectionObjectPointer->SharedCacheMap != nullptr)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_NO_CACHE_SECTIONS,
                     (ULONG_PTR)SectionObjectPointer, 0, 0);
    return TRUE;
}
