/*
 * The auto-save service: saves image-backed volumes whose boot configuration
 * asks for periodic saves, each at its own period. It sleeps on the volume-set
 * change event until the earliest save is due; a stored configuration or a
 * volume coming online wakes it to re-read the periods and look again.
 *
 * A volume is saved only while the service holds it Busy, set under the volume
 * list lock, so a save never overlaps a control save, a resize, a persistence
 * query, a shutdown save or a dismount of the same volume.
 */
#include "vorel.h"

#define SECOND_100NS 10000000LL
#define CONFIGURATION_RETRY_100NS (60LL * SECOND_100NS)

/*
 * AUTO_SAVE_LETTER: what the service remembers of one letter between loops.
 * LastVolume identifies the volume seen last time (0: none). It is not the
 * VCB's address: a volume dismounted and created again may well get the freed
 * block back, and would then be taken for the one seen before.
 */
typedef struct _AUTO_SAVE_LETTER {
    ULONGLONG LastVolume;
    ULONGLONG LastSave;                     /* interrupt time of the last save, or when first seen */
    ULONG Period;                           /* seconds, 5..86400; 0: no periodic save */
} AUTO_SAVE_LETTER, *PAUTO_SAVE_LETTER;

/*
 * VolumeIdentity: a volume's identity across remounts: every create names its
 * disk device after a fresh GUID. Never 0. The volume is held by the caller.
 */
static ULONGLONG VolumeIdentity(PVOLUME_DEVICE_RECORD Vdr)
{
    return HashBytes(Vdr->DeviceName.Buffer, Vdr->DeviceName.Length) | 1;
}

/*
 * ReadSavePeriods: every letter's period from the store. Takes the configuration
 * mutex. Returns the status of opening the store; when it cannot be opened no
 * letter has a period.
 */
static NTSTATUS ReadSavePeriods(AUTO_SAVE_LETTER Letters[VOREL_LETTER_COUNT])
{
    AcquireConfiguration();
    HANDLE volumes;
    NTSTATUS status = OpenBootConfigurations(&volumes);
    for (ULONG i = 0; i < VOREL_LETTER_COUNT; i++) {
        ULONG flags = 0, period = 0;
        if (!NT_SUCCESS(status) || !NT_SUCCESS(ReadBootSaveSettings(volumes, (WCHAR)(L'A' + i), &flags, &period)) ||
            (flags & VOREL_BOOT_PERIODIC_SAVE) == 0)
            period = 0;
        else if (period != 0)
            period = min(max(period, (ULONG)VOREL_MIN_SAVE_INTERVAL), (ULONG)VOREL_MAX_SAVE_INTERVAL);
        if (period == 0)
            Letters[i].LastVolume = 0;
        Letters[i].Period = period;
    }
    if (NT_SUCCESS(status))
        ZwClose(volumes);
    ReleaseConfiguration();
    return status;
}

/*
 * VisitLetter: one letter with a period. Returns the interrupt time its next
 * save is due, or 0 when no volume of the letter is there to save.
 */
static ULONGLONG VisitLetter(PAUTO_SAVE_LETTER State, WCHAR Letter, BOOLEAN GenerationChanged)
{
    ULONGLONG period = (ULONGLONG)State->Period * SECOND_100NS;
    ULONGLONG now = KeQueryInterruptTime();
    if (State->LastVolume != 0 && now < State->LastSave + period && !GenerationChanged)
        return State->LastSave + period;

    PVOLUME_DEVICE_RECORD vdr;
    PVCB vcb;
    NTSTATUS status = AcquireVolumeForOperation(Letter, &vdr, &vcb);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        State->LastVolume = 0;
        State->LastSave = now;
        return 0;
    }
    if (!NT_SUCCESS(status)) {
        /* Held by another operation: no save now; one that was due waits a period. */
        if (now >= State->LastSave + period)
            State->LastSave = now;
        return State->LastSave + period;
    }

    ULONGLONG identity = VolumeIdentity(vdr);
    if (identity != State->LastVolume) {
        /* Mounted since last time (its image was just loaded): its period starts now. */
        State->LastVolume = identity;
        State->LastSave = now;
    } else if (now >= State->LastSave + period) {
        if (vdr->Binding != NULL)
            (VOID)SaveVolumeImage(vdr, vcb, NULL, FALSE);
        State->LastSave = KeQueryInterruptTime();
    }
    ReleaseVolumeOperation(vdr);
    return State->LastSave + period;
}

/*
 * AutoSaveService: the service thread; Context is its SERVICE_THREAD. Loops
 * until stopped: re-read the periods, save what is due, sleep until the next
 * due time or a change of the volume set. Its state (624 bytes) lives on its
 * own stack, so the service needs no allocation that could fail.
 */
VOID NTAPI AutoSaveService(PVOID Context)
{
    PSERVICE_THREAD service = (PSERVICE_THREAD)Context;
    AUTO_SAVE_LETTER letters[VOREL_LETTER_COUNT];
    RtlZeroMemory(letters, sizeof(letters));

    LONG lastGeneration = InterlockedCompareExchange(&VorelData.VolumeGeneration, 0, 0);
    BOOLEAN first = TRUE;
    while (!ServiceStopRequested(service)) {
        NTSTATUS status = ReadSavePeriods(letters);
        LONG generation = InterlockedCompareExchange(&VorelData.VolumeGeneration, 0, 0);
        BOOLEAN generationChanged = first || generation != lastGeneration;
        lastGeneration = generation;
        first = FALSE;

        ULONGLONG earliest = 0;
        for (ULONG i = 0; i < VOREL_LETTER_COUNT && !ServiceStopRequested(service); i++) {
            if (letters[i].Period == 0)
                continue;
            ULONGLONG due = VisitLetter(&letters[i], (WCHAR)(L'A' + i), generationChanged);
            if (due != 0 && (earliest == 0 || due < earliest))
                earliest = due;
        }

        LARGE_INTEGER timeout;
        PLARGE_INTEGER wait = &timeout;
        if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND) {
            timeout.QuadPart = -CONFIGURATION_RETRY_100NS;
        } else if (earliest != 0) {
            ULONGLONG now = KeQueryInterruptTime();
            timeout.QuadPart = earliest > now ? -(LONGLONG)(earliest - now) : 0;
        } else {
            wait = NULL;
        }
        KeWaitForSingleObject(service->WakeEvent, Executive, KernelMode, FALSE, wait);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}
