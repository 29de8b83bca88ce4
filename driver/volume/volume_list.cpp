/*
 * The volume list: every volume device record from create until teardown, at most
 * one per drive letter, whatever its state. The list, each record's links and
 * state, and its mounted-device pointer are guarded by VorelData.VolumeListLock, a
 * spin lock that is never held across I/O, registry or mount-manager calls. The
 * list routines check their neighbours' links and fast-fail on a broken one.
 */
#include "vorel.h"

/*
 * VdrFromDevice: the volume device record in a device's extension, or NULL when
 * the device is no volume disk of this driver. The mount request offers other
 * drivers' disks too, whose extensions are not this driver's to read.
 */
PVOLUME_DEVICE_RECORD VdrFromDevice(PDEVICE_OBJECT DeviceObject)
{
    if (DeviceObject->DriverObject != VorelData.DriverObject)
        return NULL;
    PVOLUME_DEVICE_RECORD vdr = (PVOLUME_DEVICE_RECORD)DeviceObject->DeviceExtension;
    if (vdr == NULL || vdr->Signature != VDR_SIGNATURE)
        return NULL;
    return vdr;
}

/* AcquireVolumeList / ReleaseVolumeList: the volume list lock. */
KIRQL AcquireVolumeList(VOID)
{
    KIRQL irql;
    KeAcquireSpinLock(&VorelData.VolumeListLock, &irql);
    return irql;
}

VOID ReleaseVolumeList(KIRQL Irql)
{
    KeReleaseSpinLock(&VorelData.VolumeListLock, Irql);
}

/* InsertVolumeRecord: appends the record at the tail. Volume list lock held. */
VOID InsertVolumeRecord(PVOLUME_DEVICE_RECORD Vdr)
{
    InsertTailList(&VorelData.VolumeList, &Vdr->ListLinks);
}

/*
 * UnlinkVolumeRecord: takes the record out of the list; its links then point at
 * itself, so IsVolumeRecordListed says it is out. Volume list lock held.
 */
VOID UnlinkVolumeRecord(PVOLUME_DEVICE_RECORD Vdr)
{
    RemoveEntryList(&Vdr->ListLinks);
    InitializeListHead(&Vdr->ListLinks);
}

BOOLEAN IsVolumeRecordListed(PVOLUME_DEVICE_RECORD Vdr)
{
    return !IsListEmpty(&Vdr->ListLinks);
}

/* FindVolumeRecord: the record with this letter in any state, or NULL. Volume list lock held. */
PVOLUME_DEVICE_RECORD FindVolumeRecord(WCHAR Letter)
{
    for (PLIST_ENTRY entry = VorelData.VolumeList.Flink; entry != &VorelData.VolumeList; entry = entry->Flink) {
        PVOLUME_DEVICE_RECORD vdr = CONTAINING_RECORD(entry, VOLUME_DEVICE_RECORD, ListLinks);
        if (vdr->Letter == Letter)
            return vdr;
    }
    return NULL;
}

/* FindOnlineVolume: the Online record with this letter, or NULL. Volume list lock held. */
PVOLUME_DEVICE_RECORD FindOnlineVolume(WCHAR Letter)
{
    PVOLUME_DEVICE_RECORD vdr = FindVolumeRecord(Letter);
    return vdr != NULL && vdr->State == VOLUME_ONLINE ? vdr : NULL;
}

/* MountedVcb: the VCB of a record's mounted file-system device, or NULL. Volume list lock held. */
PVCB MountedVcb(PVOLUME_DEVICE_RECORD Vdr)
{
    if (Vdr->MountedDevice == NULL)
        return NULL;
    return (PVCB)Vdr->MountedDevice->DeviceExtension;
}

/*
 * AcquireVolumeForOperation: claims the volume with this letter for an exclusive
 * control operation (Online -> Busy). Returns STATUS_SUCCESS with the record and
 * its VCB, STATUS_OBJECT_NAME_NOT_FOUND when there is no mounted volume with the
 * letter (or it is still being created), STATUS_DEVICE_BUSY when another
 * operation or a dismount has it. Any IRQL up to DISPATCH_LEVEL.
 */
NTSTATUS AcquireVolumeForOperation(WCHAR Letter, PVOLUME_DEVICE_RECORD *Vdr, PVCB *Vcb)
{
    *Vdr = NULL;
    *Vcb = NULL;
    KIRQL irql = AcquireVolumeList();
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    PVOLUME_DEVICE_RECORD vdr = FindVolumeRecord(Letter);
    if (vdr != NULL && vdr->State != VOLUME_CREATING && vdr->MountedDevice != NULL) {
        status = STATUS_DEVICE_BUSY;
        if (vdr->State == VOLUME_ONLINE) {
            vdr->State = VOLUME_BUSY;
            *Vdr = vdr;
            *Vcb = MountedVcb(vdr);
            status = STATUS_SUCCESS;
        }
    }
    ReleaseVolumeList(irql);
    return status;
}

/* ReleaseVolumeOperation: ends an exclusive operation (Busy -> Online). */
VOID ReleaseVolumeOperation(PVOLUME_DEVICE_RECORD Vdr)
{
    KIRQL irql = AcquireVolumeList();
    Vdr->State = VOLUME_ONLINE;
    ReleaseVolumeList(irql);
}

/* RelistVolume: a dismount that gave up puts the record back, Online, at the tail. */
VOID RelistVolume(PVOLUME_DEVICE_RECORD Vdr)
{
    KIRQL irql = AcquireVolumeList();
    Vdr->State = VOLUME_ONLINE;
    if (IsVolumeRecordListed(Vdr))
        UnlinkVolumeRecord(Vdr);
    InsertVolumeRecord(Vdr);
    ReleaseVolumeList(irql);
}

/* CollectLetters: the letters of the volumes in either state, in list order; returns how many (at most 26). */
static ULONG CollectLetters(WCHAR Letters[VOREL_LETTER_COUNT], ULONG State, ULONG OtherState)
{
    ULONG count = 0;
    KIRQL irql = AcquireVolumeList();
    for (PLIST_ENTRY entry = VorelData.VolumeList.Flink; entry != &VorelData.VolumeList && count < VOREL_LETTER_COUNT;
         entry = entry->Flink) {
        PVOLUME_DEVICE_RECORD vdr = CONTAINING_RECORD(entry, VOLUME_DEVICE_RECORD, ListLinks);
        if (vdr->State == State || vdr->State == OtherState)
            Letters[count++] = vdr->Letter;
    }
    ReleaseVolumeList(irql);
    return count;
}

/* CollectOnlineLetters: the letters of every Online volume, in list order; returns how many (at most 26). */
ULONG CollectOnlineLetters(WCHAR Letters[VOREL_LETTER_COUNT])
{
    return CollectLetters(Letters, VOLUME_ONLINE, VOLUME_ONLINE);
}

/* CollectMountedLetters: the letters of every volume Online or held by an exclusive operation (Busy). */
ULONG CollectMountedLetters(WCHAR Letters[VOREL_LETTER_COUNT])
{
    return CollectLetters(Letters, VOLUME_ONLINE, VOLUME_BUSY);
}
