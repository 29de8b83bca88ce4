/*
 * The query of a file's allocated ranges (runs of extents that hold data).
 */
#include "vorel.h"

/*
 * QueryAllocatedRanges: the runs of allocated data in [Start, End), End cut to
 * the file size. In a table file, adjacent extents with data or a compressed form
 * make one run; a slot or single-buffer file that is not empty is one run. Each
 * run is cut to the range. When more runs exist than Capacity, Overflow is set
 * and Count tells how many were stored. Paging resource held at least shared.
 */
VOID QueryAllocatedRanges(PFCB Fcb, ULONGLONG Start, ULONGLONG End, PALLOCATED_RANGE Ranges, ULONG Capacity,
                          PULONG Count, PBOOLEAN Overflow)
{
    PFCB_DATA data = &Fcb->Data;
    ULONG count = 0;
    *Overflow = FALSE;
    End = min(End, data->FileSize);
    if (Start >= End) {
        *Count = 0;
        return;
    }

    if (data->Extents == NULL) {
        if (Capacity == 0) {
            *Overflow = TRUE;
        } else {
            Ranges[0].Offset = Start;
            Ranges[0].Length = End - Start;
            count = 1;
        }
        *Count = count;
        return;
    }

    ULONGLONG last = min((End - 1) >> EXTENT_SHIFT, (ULONGLONG)data->ExtentCapacity - 1);
    BOOLEAN inRun = FALSE;
    ULONGLONG runStart = 0;
    for (ULONGLONG i = Start >> EXTENT_SHIFT; i <= last + 1 && data->ExtentCapacity != 0; i++) {
        BOOLEAN allocated = i <= last && (data->Extents[i].Data != NULL || data->Extents[i].Compressed != NULL);
        if (allocated && !inRun) {
            inRun = TRUE;
            runStart = i << EXTENT_SHIFT;
        } else if (!allocated && inRun) {
            inRun = FALSE;
            if (count == Capacity) {
                *Overflow = TRUE;
                break;
            }
            ULONGLONG from = max(runStart, Start);
            ULONGLONG to = min(i << EXTENT_SHIFT, End);
            Ranges[count].Offset = from;
            Ranges[count].Length = to - from;
            count++;
        }
    }
    *Count = count;
}
