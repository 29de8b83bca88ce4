/*
 * The memory-pressure check. Memory is low while the system reports between 1 and
 * LOW_MEMORY_PAGES available pages (0 means it does not know). An answer of "not
 * low" is reused for 100 ms by requests below 2 MiB, so small allocations do not
 * query the system each time.
 *
 * The cache is driver-wide and unlocked: a stale or torn value changes one answer
 * at most.
 */
#include "vorel.h"

static ULONG CachedAvailablePages;
static ULONGLONG CachedAt;              /* interrupt time of the last query */
static UCHAR CacheValid;                /* a query has been made */

static VOID RememberAnswer(ULONG AvailablePages, ULONGLONG Now)
{
    WriteULongNoFence(&CachedAvailablePages, AvailablePages);
    WriteULong64Release(&CachedAt, Now);
    WriteUCharRelease(&CacheValid, 1);
}

/*
 * IsLowMemory: whether the system is low on memory for a request of Size bytes.
 * When it is and a volume is given, that volume's chunk cache is given back first.
 * PASSIVE_LEVEL (the query requires it).
 */
BOOLEAN IsLowMemory(PSTORE_VOLUME Volume, ULONGLONG Size)
{
    ULONGLONG now = KeQueryInterruptTime();
    if (Size < EXTENT_SIZE && ReadUCharAcquire(&CacheValid)) {
        ULONGLONG at = ReadULong64Acquire(&CachedAt);
        ULONG pages = ReadULongNoFence(&CachedAvailablePages);
        // pages - 1 wraps for 0 ("unknown"), which is not low either.
        if (now - at <= PRESSURE_CACHE_TIME && pages - 1 > LOW_MEMORY_PAGES - 1)
            return FALSE;
    }

    SYSTEM_PERFORMANCE_INFORMATION information;
    RtlZeroMemory(&information, sizeof(information));
    NTSTATUS status = ZwQuerySystemInformation(SystemPerformanceInformation, &information, sizeof(information), NULL);
    if (!NT_SUCCESS(status)) {
        RememberAnswer(0, now);
        return FALSE;
    }
    RememberAnswer(information.AvailablePages, now);
    BOOLEAN low = information.AvailablePages >= 1 && information.AvailablePages <= LOW_MEMORY_PAGES;
    if (low && Volume != NULL)
        TrimChunkCache(Volume);
    return low;
}
