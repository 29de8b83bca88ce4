/*
 * Volume events: what the driver tells the programs that watch a volume (shell
 * windows, indexers) so they close their handles before a dismount, or resume
 * when it gave up.
 */
#include "vorel.h"

/*
 * NotifyVolumeEvent: reports Event (FSRTL_VOLUME_LOCK, FSRTL_VOLUME_LOCK_FAILED)
 * on a stream file object of the volume's disk device, whose VPB is the disk's.
 * PASSIVE_LEVEL, no lock held. A stream file object that cannot be made costs
 * the watchers the event, nothing else.
 */
VOID NotifyVolumeEvent(PVOLUME_DEVICE_RECORD Vdr, ULONG Event)
{
    PFILE_OBJECT fileObject = IoCreateStreamFileObjectLite(NULL, Vdr->DiskDevice);
    if (fileObject == NULL)
        return;
    fileObject->Vpb = Vdr->DiskDevice->Vpb;
    (VOID)FsRtlNotifyVolumeEvent(fileObject, Event);
    DereferenceObject(fileObject);
}
