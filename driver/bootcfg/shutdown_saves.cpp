/*
 * The saves at system shutdown: every Online volume whose boot configuration
 * asks for auto-save is saved to its image, so that it survives the reboot. The
 * periodic saves are stopped before this runs, so they cannot race it.
 */
#include "vorel.h"

#define SHUTDOWN_POLL_100NS (250LL * 10000)
#define SHUTDOWN_POLLS 240

/*
 * KeepAutoSaveLetters: of Letters, those whose stored configuration has the
 * auto-save flag, compacted in place. Takes the configuration mutex. Returns how
 * many are kept; none when the store cannot be opened.
 */
static ULONG KeepAutoSaveLetters(WCHAR Letters[VOREL_LETTER_COUNT], ULONG Count)
{
    ULONG kept = 0;
    AcquireConfiguration();
    HANDLE volumes;
    if (NT_SUCCESS(OpenBootConfigurations(&volumes))) {
        for (ULONG i = 0; i < Count; i++) {
            ULONG flags, period;
            if (NT_SUCCESS(ReadBootSaveSettings(volumes, Letters[i], &flags, &period)) &&
                (flags & VOREL_BOOT_AUTO_SAVE) != 0)
                Letters[kept++] = Letters[i];
        }
        ZwClose(volumes);
    }
    ReleaseConfiguration();
    return kept;
}

/*
 * SaveAtShutdown: claims the letter's volume (Online -> Busy), waiting up to 60
 * seconds while another operation holds it, saves it to its image and lets it
 * go. A volume that went, or was never mounted, is skipped; the save's failure is
 * recorded by the save and otherwise ignored: the system is going down.
 */
static VOID SaveAtShutdown(WCHAR Letter)
{
    PVOLUME_DEVICE_RECORD vdr;
    PVCB vcb;
    NTSTATUS status = AcquireVolumeForOperation(Letter, &vdr, &vcb);
    for (ULONG poll = 0; status == STATUS_DEVICE_BUSY && poll < SHUTDOWN_POLLS; poll++) {
        LARGE_INTEGER interval;
        interval.QuadPart = -SHUTDOWN_POLL_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        status = AcquireVolumeForOperation(Letter, &vdr, &vcb);
    }
    if (!NT_SUCCESS(status))
        return;
    if (vdr->Binding != NULL)
        (VOID)SaveVolumeImage(vdr, vcb, NULL, FALSE);
    ReleaseVolumeOperation(vdr);
}

/*
 * SaveConfiguredVolumes: PASSIVE_LEVEL, at shutdown, with the periodic saves
 * stopped. The letters of the mounted volumes are collected first, then those
 * configured for auto-save are saved one by one. The volumes stay mounted.
 */
VOID SaveConfiguredVolumes(VOID)
{
    WCHAR letters[VOREL_LETTER_COUNT];
    /* A volume held at this moment (a control save, a resize, a persistence
       query) still has data to keep: it is waited for, not passed over. */
    ULONG count = CollectMountedLetters(letters);
    count = KeepAutoSaveLetters(letters, count);
    for (ULONG i = 0; i < count; i++)
        SaveAtShutdown(letters[i]);
}
