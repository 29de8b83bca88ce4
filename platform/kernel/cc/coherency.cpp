/*
 * CcCoherencyFlushAndPurgeCache: flushes a file's cached and mapped data and
 * purges it, so that the next read comes from the file system. Without a shared
 * cache map or a data section (this system makes neither yet) there is nothing
 * to flush or purge, and the status block reports success with no bytes.
 */
#include "ke/dispatcher.h"

#include <km/section.h>

extern "C" {

NTKERNELAPI VOID NTAPI CcCoherencyFlushAndPurgeCache(PSECTION_OBJECT_POINTERS SectionObjectPointer,
                                                     PLARGE_INTEGER FileOffset, ULONG Length,
                                                     PIO_STATUS_BLOCK IoStatus, ULONG Flags)
{
    ke::CheckIrql((const void *)&CcCoherencyFlushAndPurgeCache, PASSIVE_LEVEL);
    (void)SectionObjectPointer;
    (void)FileOffset;
    (void)Length;
    (void)Flags;
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = 0;
}

} // extern "C"
