/*
 * The cache manager's purge. No shared cache map is ever made here (there is no
 * cached I/O), so what a purge can drop is the pages of the file's data section.
 * It refuses while any view maps the range ("mapped files are not purged") and
 * discards the pages otherwise, dirty ones unwritten, so the next touch reads them
 * from the file system. UNINITIALIZE_CACHE_MAPS has no cache maps to act on.
 */
#include "mm/control_area.h"

#include "ke/dispatcher.h"

/*
 * CcPurgeCacheSection: purges a file's data, wholly (FileOffset NULL) or a range
 * of it (Length 0: to the end of the file). Returns TRUE when the data was purged
 * or there was none. IRQL < DISPATCH_LEVEL; the caller holds the file exclusive.
 */
NTKERNELAPI BOOLEAN NTAPI CcPurgeCacheSection(PSECTION_OBJECT_POINTERS SectionObjectPointer,
                                              PLARGE_INTEGER FileOffset, ULONG Length, ULONG Flags)
{
    (void)Flags;
    ke::CheckIrql((const void *)&CcPurgeCacheSection, APC_LEVEL);
    mm::ControlArea *area = mm::ReferenceAreaOf(SectionObjectPointer);
    if (area == nullptr)
        return TRUE;
    size_t first = 0;
    size_t last = area->pageCount;
    if (FileOffset != nullptr) {
        uint64_t start = (uint64_t)FileOffset->QuadPart;
        first = (size_t)(start / PAGE_SIZE);
        if (Length != 0)
            last = (size_t)((start + Length + PAGE_SIZE - 1) / PAGE_SIZE);
    }
    bool mapped;
    {
        std::lock_guard<std::mutex> guard(mm::Sections().lock);
        mapped = mm::ViewsMap(area, first, last);
    }
    // A view mapped after this check finds the pages absent and reads them again.
    BOOLEAN purged = !mapped && (first >= last || mm::DropPages(area, first, last)) ? TRUE : FALSE;
    mm::DereferenceArea(area);
    return purged;
}
