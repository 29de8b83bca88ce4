/*
 * Dismount by letter: decides whether a volume may go, gives programs that watch
 * it a chance to let go, removes its drive letter and calls the two teardown
 * layers. A volume that stays busy is put back exactly as it was.
 */
#include "vorel.h"

#define LOCK_REQUEST_GRACE_100NS (1500LL * 10000)
#define CONFIGURATION_KEY_UNITS 24

/*
 * RequestVolumeLock: asks the volume's watchers to close their handles (a lock
 * event), waits 1.5 seconds, then the short busy wait. Returns whether the volume
 * is free now. PASSIVE_LEVEL, no lock held.
 */
static BOOLEAN RequestVolumeLock(PVOLUME_DEVICE_RECORD Vdr, PVCB Vcb)
{
    NotifyVolumeEvent(Vdr, FSRTL_VOLUME_LOCK);
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        LARGE_INTEGER interval;
        interval.QuadPart = -LOCK_REQUEST_GRACE_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    return !WaitWhileVolumeBusy(Vcb);
}

/* GiveUpDismount: the volume stays: watchers resume, and the record is Online again at the list's tail. */
static NTSTATUS GiveUpDismount(PVOLUME_DEVICE_RECORD Vdr)
{
    NotifyVolumeEvent(Vdr, FSRTL_VOLUME_LOCK_FAILED);
    RelistVolume(Vdr);
    return STATUS_DEVICE_BUSY;
}

/*
 * ConfiguredForAutoSave: whether the letter's boot configuration asks to save the
 * volume before it goes (the periodic-save flag implies it). Read under the
 * configuration mutex; a letter without configuration does not.
 */
static BOOLEAN ConfiguredForAutoSave(WCHAR Letter)
{
    WCHAR subkey[CONFIGURATION_KEY_UNITS];
    UNICODE_STRING name;
    FormatLetterName(L"Parameters\\Volumes\\", Letter, L"", subkey, CONFIGURATION_KEY_UNITS, &name);
    KeWaitForSingleObject(&VorelData.ConfigurationMutex, Executive, KernelMode, FALSE, NULL);
    ULONG flags = QuerySubkeyDword(subkey, L"Flags", 0);
    KeReleaseMutex(&VorelData.ConfigurationMutex, FALSE);
    return (flags & (VOREL_BOOT_AUTO_SAVE | VOREL_BOOT_PERIODIC_SAVE)) != 0;
}

/*
 * TakeVolumeForDismount: under the volume list lock, the Online record of the
 * letter leaves the list (Removing). Returns STATUS_OBJECT_NAME_NOT_FOUND for no
 * such volume (or one still being created or already going), STATUS_DEVICE_BUSY
 * for one held by an exclusive operation.
 */
static NTSTATUS TakeVolumeForDismount(WCHAR Letter, PVOLUME_DEVICE_RECORD *Vdr, PVCB *Vcb)
{
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    KIRQL irql = AcquireVolumeList();
    PVOLUME_DEVICE_RECORD vdr = FindVolumeRecord(Letter);
    if (vdr != NULL && vdr->State == VOLUME_BUSY) {
        status = STATUS_DEVICE_BUSY;
    } else if (vdr != NULL && vdr->State == VOLUME_ONLINE) {
        vdr->State = VOLUME_REMOVING;
        UnlinkVolumeRecord(vdr);
        *Vdr = vdr;
        *Vcb = MountedVcb(vdr);
        status = STATUS_SUCCESS;
    }
    ReleaseVolumeList(irql);
    return status;
}

/*
 * DismountVolume: the volume on the letter goes: its letter, its file-system
 * device, its disk device. PASSIVE_LEVEL, no lock held. Returns STATUS_SUCCESS,
 * STATUS_OBJECT_NAME_NOT_FOUND when no Online volume has the letter, or
 * STATUS_DEVICE_BUSY when it is held by an exclusive operation or stays in use
 * (it is then left fully usable).
 */
NTSTATUS DismountVolume(WCHAR Letter)
{
    PVOLUME_DEVICE_RECORD vdr;
    PVCB vcb;
    NTSTATUS status = TakeVolumeForDismount(Letter, &vdr, &vcb);
    if (status != STATUS_SUCCESS)
        return status;

    /* Saving to an image is not built yet; a volume configured for it still gets
       the chance to be quiet before it would be saved, as the save needs. */
    if (vcb != NULL && ConfiguredForAutoSave(Letter)) {
        if (WaitWhileVolumeBusy(vcb) && !RequestVolumeLock(vdr, vcb))
            return GiveUpDismount(vdr);
    }

    UNICODE_STRING link;
    (VOID)QueryFirstLinkOfDevice(&vdr->DeviceName, &link);

    status = TearDownVolumeDevice(vdr, TRUE);
    if (status == STATUS_DEVICE_BUSY && vcb != NULL && RequestVolumeLock(vdr, vcb))
        status = TearDownVolumeDevice(vdr, TRUE);
    if (status == STATUS_DEVICE_BUSY) {
        FreeAndClear((PVOID *)&link.Buffer, TAG_GENERIC);
        return GiveUpDismount(vdr);
    }

    RemoveVolumeLetter(vdr, &link);
    FreeAndClear((PVOID *)&link.Buffer, TAG_GENERIC);
    FreeVolumeRecord(vdr, FALSE);
    return STATUS_SUCCESS;
}

/* DismountAllVolumes: every Online volume, letters collected first; returns how many could not go. */
ULONG DismountAllVolumes(VOID)
{
    WCHAR letters[VOREL_LETTER_COUNT];
    ULONG count = CollectOnlineLetters(letters);
    ULONG failures = 0;
    for (ULONG i = 0; i < count; i++) {
        if (DismountVolume(letters[i]) != STATUS_SUCCESS)
            failures++;
    }
    return failures;
}
