/*
 * Processor topology: which cores count as performance cores. The worker queues,
 * the compression worker and the codecs size themselves by it.
 */
#include "vorel.h"

/* Walks the core entries of a topology buffer; NULL when the walk is done or the buffer is malformed. */
static PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX NextCoreEntry(PUCHAR Buffer, ULONG Length, PULONG Offset)
{
    const ULONG header = FIELD_OFFSET(SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX, Processor.GroupMask);
    while (*Offset < Length && Length - *Offset >= header) {
        PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX entry = (PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX)(Buffer + *Offset);
        if (entry->Size < header || entry->Size > Length - *Offset)
            return NULL;
        *Offset += entry->Size;
        if (entry->Relationship != RelationProcessorCore)
            continue;
        if ((ULONGLONG)entry->Processor.GroupCount * sizeof(GROUP_AFFINITY) > entry->Size - header)
            return NULL;
        return entry;
    }
    return NULL;
}

/*
 * CountPerformanceCores: over the core entries, finds the efficiency classes and
 * adds one logical processor (the lowest) of every performance core in group 0 to
 * the mask. On a heterogeneous system only cores of the highest class count.
 */
static VOID CountPerformanceCores(PUCHAR Buffer, ULONG Length)
{
    UCHAR highest = 0, lowest = 0xFF;
    ULONG offset = 0;
    PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX entry;
    while ((entry = NextCoreEntry(Buffer, Length, &offset)) != NULL) {
        highest = max(highest, entry->Processor.EfficiencyClass);
        lowest = min(lowest, entry->Processor.EfficiencyClass);
    }
    VorelData.Heterogeneous = (UCHAR)(lowest != 0xFF && highest != lowest);

    offset = 0;
    while ((entry = NextCoreEntry(Buffer, Length, &offset)) != NULL) {
        if (VorelData.Heterogeneous && entry->Processor.EfficiencyClass != highest)
            continue;
        for (USHORT i = 0; i < entry->Processor.GroupCount; i++) {
            PGROUP_AFFINITY affinity = &entry->Processor.GroupMask[i];
            if (affinity->Group != 0 || affinity->Mask == 0)
                continue;
            VorelData.PerformanceCoreMask |= affinity->Mask & (~affinity->Mask + 1);
            VorelData.PerformanceCoreCount++;
        }
    }
}

/*
 * DescribeProcessorTopology: fills the performance-core count and mask and the
 * heterogeneous flag. PASSIVE_LEVEL, at start-up. Never fails: when the query
 * fails or finds nothing, the mask is empty and every active processor counts.
 */
VOID DescribeProcessorTopology(VOID)
{
    VorelData.PerformanceCoreCount = 0;
    VorelData.PerformanceCoreMask = 0;
    VorelData.ProcessorGroup = 0;
    VorelData.Heterogeneous = 0;

    ULONG length = 0;
    NTSTATUS status = KeQueryLogicalProcessorRelationship(NULL, RelationProcessorCore, NULL, &length);
    if (status == STATUS_INFO_LENGTH_MISMATCH && length != 0) {
        PUCHAR buffer = (PUCHAR)VorelData.AllocatePool(length, TAG_TOPOLOGY, NonPagedPoolNx);
        if (buffer != NULL) {
            status = KeQueryLogicalProcessorRelationship(NULL, RelationProcessorCore,
                                                         (PSYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX)buffer, &length);
            if (NT_SUCCESS(status))
                CountPerformanceCores(buffer, length);
            VorelData.FreePool(buffer, TAG_TOPOLOGY);
        }
    }

    if (VorelData.PerformanceCoreCount == 0) {
        VorelData.PerformanceCoreMask = 0;
        VorelData.PerformanceCoreCount = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    }
}
