/*
 * CcCoherencyFlushAndPurgeCache: makes a file's mapped data and the file system's
 * storage agree. Dirty pages of the range are written back with paging writes on
 * the calling thread (which holds the file exclusive), then, unless
 * CC_FLUSH_AND_PURGE_NO_PURGE, the range's pages are dropped, mapped or not: a
 * user view loses them and its next touch reads them again, so views see what the
 * file system has. A page under paging I/O cannot be dropped: the status block
 * then says STATUS_CACHE_PAGE_LOCKED, a success status. No shared cache map is
 * ever made here, so there is no cached data beyond the data section.
 */
#include "mm/control_area.h"

#include "ke/dispatcher.h"

extern "C" {

NTKERNELAPI VOID NTAPI CcCoherencyFlushAndPurgeCache(PSECTION_OBJECT_POINTERS SectionObjectPointer,
                                                     PLARGE_INTEGER FileOffset, ULONG Length,
                                                     PIO_STATUS_BLOCK IoStatus, ULONG Flags)
{
    ke::CheckIrql((const void *)&CcCoherencyFlushAndPurgeCache, PASSIVE_LEVEL);
    IoStatus->Status = STATUS_SUCCESS;
    IoStatus->Information = 0;
    mm::ControlArea *area = mm::ReferenceAreaOf(SectionObjectPointer);
    if (area == nullptr)
        return;
    size_t first = 0;
    size_t last = area->pageCount;
    if (FileOffset != nullptr) {
        uint64_t start = (uint64_t)FileOffset->QuadPart;
        first = (size_t)(start / PAGE_SIZE);
        last = Length == 0 ? first : (size_t)((start + Length + PAGE_SIZE - 1) / PAGE_SIZE);
    }
    NTSTATUS status = mm::FlushPages(area, first, last);
    if (!NT_SUCCESS(status))
        IoStatus->Status = status;
    else if (!(Flags & CC_FLUSH_AND_PURGE_NO_PURGE) && first < last && !mm::DropPages(area, first, last))
        IoStatus->Status = STATUS_CACHE_PAGE_LOCKED;
    mm::DereferenceArea(area);
}

} // extern "C"
