/*
 * Live resize. File data lives in pages allocated on demand, so a volume's size is
 * only an accounting limit: resizing changes the limit and nothing else, while
 * files stay open and the drive mounted.
 */
#include "vorel.h"

/*
 * ResizeVolume: the volume on the letter gets NewSize bytes of capacity; it may
 * shrink down to the bytes in use. PASSIVE_LEVEL, no lock held. Returns
 * STATUS_OBJECT_NAME_NOT_FOUND when no mounted volume has the letter,
 * STATUS_DEVICE_BUSY when an exclusive operation holds it, STATUS_DISK_FULL for a
 * size below the bytes in use (the size is then unchanged).
 */
NTSTATUS ResizeVolume(WCHAR Letter, ULONGLONG NewSize)
{
    PVOLUME_DEVICE_RECORD vdr;
    PVCB vcb;
    NTSTATUS status = AcquireVolumeForOperation(Letter, &vdr, &vcb);
    if (status != STATUS_SUCCESS)
        return status;

    ULONGLONG inUse = (ULONGLONG)ReadNoFence64(&vcb->Store.ChargedBytes);
    if (NewSize < ReadULong64Acquire(&vdr->SizeBytes) && NewSize < inUse) {
        status = STATUS_DISK_FULL;
    } else {
        /* Readers see the old or the new size, never a mix: single aligned stores. */
        WriteULong64Release(&vdr->SizeBytes, NewSize);
        WriteULong64Release(&vcb->Store.SizeBytes, NewSize);
    }
    ReleaseVolumeOperation(vdr);
    return status;
}
