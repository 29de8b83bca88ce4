/*
 * The holder table: which processes hold handles on a volume, for the
 * volume-holders request. A leaf: the holder lock is a spin lock taken alone.
 */
#include "vorel.h"

/*
 * RecordHolder: counts one more open of ProcessId (0 is a system open, not
 * counted): its slot, else the first free slot. With all slots taken by other
 * processes the open is simply not recorded. Any IRQL up to DISPATCH_LEVEL.
 */
VOID RecordHolder(PVCB Vcb, ULONG ProcessId)
{
    if (ProcessId == 0)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&Vcb->HolderLock, &irql);
    PVOLUME_HOLDER freeSlot = NULL;
    PVOLUME_HOLDER slot = NULL;
    for (ULONG i = 0; i < VOLUME_HOLDER_SLOTS && slot == NULL; i++) {
        PVOLUME_HOLDER candidate = &Vcb->Holders[i];
        if (candidate->OpenCount > 0 && candidate->ProcessId == ProcessId)
            slot = candidate;
        else if (candidate->OpenCount == 0 && freeSlot == NULL)
            freeSlot = candidate;
    }
    if (slot != NULL) {
        slot->OpenCount++;
    } else if (freeSlot != NULL) {
        freeSlot->ProcessId = ProcessId;
        freeSlot->OpenCount = 1;
        Vcb->HolderSlotsInUse++;
    }
    KeReleaseSpinLock(&Vcb->HolderLock, irql);
}

/*
 * ReleaseHolder: one open of ProcessId ended; its slot is freed at 0. An open
 * that was not recorded (the table was full) finds no slot and changes nothing.
 */
VOID ReleaseHolder(PVCB Vcb, ULONG ProcessId)
{
    if (ProcessId == 0)
        return;
    KIRQL irql;
    KeAcquireSpinLock(&Vcb->HolderLock, &irql);
    for (ULONG i = 0; i < VOLUME_HOLDER_SLOTS; i++) {
        PVOLUME_HOLDER slot = &Vcb->Holders[i];
        if (slot->OpenCount > 0 && slot->ProcessId == ProcessId) {
            if (--slot->OpenCount == 0) {
                slot->ProcessId = 0;
                Vcb->HolderSlotsInUse--;
            }
            break;
        }
    }
    KeReleaseSpinLock(&Vcb->HolderLock, irql);
}
