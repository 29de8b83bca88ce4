/*
 * Dismount by letter: decides whether a volume may go, gives programs that watch
 * it a chance to let go, removes its drive letter and calls the two teardown
 * layers. A volume that stays busy is put back exactly as it was.
 */
#include "vorel.h"

#define LOCK_REQUEST_GRACE_100NS (1500LL * 10000)

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
 * TakeVolumeForDismount: under the volume list lock, the Online record of the
 * letter goes Removing. It stays listed until the final free: its letter, link
 * and database values are still its own while the teardown removes them, so a
 * create of the same letter collides with it instead of getting a letter whose
 * link and MountedDevices value this dismount is about to delete. Returns STATUS_OBJECT_NAME_NOT_FOUND for no
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
        *Vdr = vdr;
        *Vcb = MountedVcb(vdr);
        status = STATUS_SUCCESS;
    }
    ReleaseVolumeList(irql);
    return status;
}

/*
 * SaveBeforeDismount: a volume whose boot configuration asks for auto-save is
 * saved to its image before it goes; it must be quiet first, as the save needs.
 * Sets *Kept and returns the status to give back when the dismount stops here:
 * STATUS_DEVICE_BUSY when the volume stays in use, or the save's failure unless
 * Unloading. A kept volume is Online again and its watchers resume.
 */
static NTSTATUS SaveBeforeDismount(WCHAR Letter, PVOLUME_DEVICE_RECORD Vdr, PVCB Vcb, BOOLEAN Unloading,
                                   PBOOLEAN Kept)
{
    *Kept = FALSE;
    if (Vcb == NULL || Vdr->Binding == NULL || !ConfiguredForAutoSave(Letter))
        return STATUS_SUCCESS;
    BOOLEAN lockRequested = FALSE;
    if (WaitWhileVolumeBusy(Vcb)) {
        if (!RequestVolumeLock(Vdr, Vcb)) {
            *Kept = TRUE;
            return GiveUpDismount(Vdr);
        }
        lockRequested = TRUE;
    }
    NTSTATUS status = SaveVolumeImage(Vdr, Vcb, NULL, FALSE);
    if (NT_SUCCESS(status) || Unloading)
        return STATUS_SUCCESS;
    /* Going on would discard every change since the last good save. */
    if (lockRequested)
        NotifyVolumeEvent(Vdr, FSRTL_VOLUME_LOCK_FAILED);
    RelistVolume(Vdr);
    *Kept = TRUE;
    return status;
}

/*
 * DismountVolumeCommon: the volume on the letter goes: its letter, its
 * file-system device, its disk device. PASSIVE_LEVEL, no lock held. A volume
 * configured for auto-save is saved first; when that save fails, an explicit
 * dismount keeps the volume (its unsaved data would be lost) and returns the
 * save's status, while the driver's unload (Unloading) goes on regardless.
 * Returns STATUS_SUCCESS, STATUS_OBJECT_NAME_NOT_FOUND when no Online volume
 * has the letter, or STATUS_DEVICE_BUSY when it is held by an exclusive
 * operation or stays in use (it is then left fully usable).
 */
static NTSTATUS DismountVolumeCommon(WCHAR Letter, BOOLEAN Unloading)
{
    PVOLUME_DEVICE_RECORD vdr;
    PVCB vcb;
    NTSTATUS status = TakeVolumeForDismount(Letter, &vdr, &vcb);
    if (status != STATUS_SUCCESS)
        return status;

    BOOLEAN kept;
    status = SaveBeforeDismount(Letter, vdr, vcb, Unloading, &kept);
    if (kept)
        return status;

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
    FreeVolumeRecord(vdr, TRUE);
    return STATUS_SUCCESS;
}

/* DismountVolume: the dismount of the control request and of prepare-unload. */
NTSTATUS DismountVolume(WCHAR Letter)
{
    return DismountVolumeCommon(Letter, FALSE);
}

/* DismountLetters: every Online volume, letters collected first; returns how many could not go. */
static ULONG DismountLetters(BOOLEAN Unloading)
{
    WCHAR letters[VOREL_LETTER_COUNT];
    ULONG count = CollectOnlineLetters(letters);
    ULONG failures = 0;
    for (ULONG i = 0; i < count; i++) {
        if (DismountVolumeCommon(letters[i], Unloading) != STATUS_SUCCESS)
            failures++;
    }
    return failures;
}

/* DismountAllVolumes: prepare-unload's dismounts; a volume whose save fails stays. */
ULONG DismountAllVolumes(VOID)
{
    return DismountLetters(FALSE);
}

/* DismountAllVolumesForUnload: the unload's dismounts; a failed save does not keep a volume. */
ULONG DismountAllVolumesForUnload(VOID)
{
    return DismountLetters(TRUE);
}
