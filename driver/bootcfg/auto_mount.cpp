/*
 * The auto-mount service: once per driver start, it mounts every stored boot
 * configuration that is not manual. An image file may live on a disk that
 * appears only later in the boot, so a mount that fails for want of its disk is
 * retried: at every volume arrival the system reports, and every 5 seconds,
 * until 120 seconds have passed. Every outcome is kept per letter in the
 * auto-mount status array, which the configuration list shows.
 */
#include "vorel.h"

#define AUTO_MOUNT_DEADLINE_100NS (120LL * 10000000)
#define AUTO_MOUNT_RETRY_100NS (5LL * 10000000)

/* The interface class of volume devices (GUID_DEVINTERFACE_VOLUME). */
static const GUID VolumeInterfaceClass = {0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

/* The arrival notification's registration; exchanged atomically by start and stop. */
static PVOID volatile VolumeArrivalRegistration;

/* AUTO_MOUNT_PASS: the letters still to mount, in letter order, and the entry buffer the pass reads into. */
typedef struct _AUTO_MOUNT_PASS {
    WCHAR Letters[VOREL_LETTER_COUNT];
    BOOLEAN Done[VOREL_LETTER_COUNT];
    ULONG Count;
    VOREL_BOOT_CONFIGURATION *Entry;        /* pool; 3 KiB is too much for a kernel stack */
} AUTO_MOUNT_PASS, *PAUTO_MOUNT_PASS;

/*
 * VolumeArrived: the device-interface arrival callback for volume devices.
 * PASSIVE_LEVEL. A disk that held a missing image may have come: the service
 * tries its pending letters now rather than at its next retry.
 */
static NTSTATUS NTAPI VolumeArrived(PVOID NotificationStructure, PVOID Context)
{
    UNREFERENCED_PARAMETER(NotificationStructure);
    UNREFERENCED_PARAMETER(Context);
    KeSetEvent(&VorelData.AutoMountWakeEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_SUCCESS;
}

/* IsRetryableMountFailure: failures of a disk or file that may still come, or of a moment's shortage. */
static BOOLEAN IsRetryableMountFailure(NTSTATUS Status)
{
    switch (Status) {
    case STATUS_OBJECT_PATH_NOT_FOUND:
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_NO_MEDIA_IN_DEVICE:
    case STATUS_DEVICE_NOT_READY:
    case STATUS_DEVICE_BUSY:
    case STATUS_SHARING_VIOLATION:
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_UNRECOGNIZED_VOLUME:
        return TRUE;
    default:
        return FALSE;
    }
}

/*
 * ReadPendingLetters: the pass's letters: every readable, non-manual entry.
 * Takes the configuration mutex. A corrupt entry is marked in the status array
 * now; with a store of version 2 or later nothing is mounted.
 */
static VOID ReadPendingLetters(PAUTO_MOUNT_PASS Pass)
{
    AcquireConfiguration();
    HANDLE volumes;
    if (NT_SUCCESS(OpenBootConfigurations(&volumes))) {
        if (ReadBootConfigurationVersion(volumes) < 2) {
            for (WCHAR letter = L'A'; letter <= L'Z'; letter++) {
                NTSTATUS status = ReadBootConfiguration(volumes, letter, Pass->Entry);
                if (status == STATUS_FILE_CORRUPT_ERROR)
                    SetAutoMountStatus(letter, STATUS_FILE_CORRUPT_ERROR);
                else if (NT_SUCCESS(status) && (Pass->Entry->Flags & VOREL_BOOT_MANUAL_MOUNT) == 0)
                    Pass->Letters[Pass->Count++] = letter;
            }
        }
        ZwClose(volumes);
    }
    ReleaseConfiguration();
}

/*
 * RereadEntry: the letter's entry as it is now (it may have changed or gone
 * since the pass began). Takes the configuration mutex. Returns TRUE when the
 * letter is still to be mounted; otherwise its outcome is settled and, for a
 * corrupt entry, recorded.
 */
static BOOLEAN RereadEntry(PAUTO_MOUNT_PASS Pass, WCHAR Letter)
{
    BOOLEAN mount = FALSE;
    AcquireConfiguration();
    HANDLE volumes;
    if (NT_SUCCESS(OpenBootConfigurations(&volumes))) {
        NTSTATUS status = ReadBootConfiguration(volumes, Letter, Pass->Entry);
        ZwClose(volumes);
        if (status == STATUS_FILE_CORRUPT_ERROR)
            SetAutoMountStatus(Letter, STATUS_FILE_CORRUPT_ERROR);
        else
            mount = NT_SUCCESS(status) && (Pass->Entry->Flags & VOREL_BOOT_MANUAL_MOUNT) == 0;
    }
    if (mount) {
        KIRQL irql = AcquireVolumeList();
        BOOLEAN online = FindOnlineVolume(Letter) != NULL;
        ReleaseVolumeList(irql);
        if (online) {
            SetAutoMountStatus(Letter, STATUS_SUCCESS);
            mount = FALSE;
        }
    }
    ReleaseConfiguration();
    return mount;
}

/* MountEntry: the volume create of a stored entry, as a kernel-mode request. */
static NTSTATUS MountEntry(const VOREL_BOOT_CONFIGURATION *Entry)
{
    VOLUME_CREATE_PARAMETERS parameters;
    parameters.Letter = (WCHAR)Entry->Letter;
    parameters.SizeBytes = Entry->SizeBytes;
    parameters.Label = (PCWSTR)Entry->Label;
    parameters.Flags = ((Entry->Flags & VOREL_BOOT_NO_SECURITY) != 0 ? VOREL_CREATE_NO_SECURITY : 0) |
                       ((Entry->CompressionLevel << VOREL_CREATE_COMPRESSION_SHIFT) & VOREL_CREATE_COMPRESSION_MASK) |
                       ((Entry->Flags & VOREL_BOOT_NO_RECYCLE) != 0 ? VOREL_CREATE_NO_RECYCLE : 0);
    parameters.ImagePath = (PCWSTR)Entry->ImagePath;
    parameters.RequestorIsUserMode = FALSE;
    parameters.InitialFolders = (PCWSTR)Entry->InitialFolders;
    return CreateVolume(&parameters);
}

/*
 * MountRound: one attempt at every pending letter. Late says the deadline has
 * passed, so no failure is retried. Returns whether a letter is left pending.
 * No lock is held across a mount.
 */
static BOOLEAN MountRound(PSERVICE_THREAD Service, PAUTO_MOUNT_PASS Pass, BOOLEAN Late)
{
    BOOLEAN pending = FALSE;
    for (ULONG i = 0; i < Pass->Count; i++) {
        if (Pass->Done[i])
            continue;
        if (ServiceStopRequested(Service))
            return FALSE;
        WCHAR letter = Pass->Letters[i];
        if (!RereadEntry(Pass, letter)) {
            Pass->Done[i] = TRUE;
            continue;
        }
        NTSTATUS status = MountEntry(Pass->Entry);
        if (!NT_SUCCESS(status) && !Late && IsRetryableMountFailure(status)) {
            pending = TRUE;
            continue;
        }
        SetAutoMountStatus(letter, status);
        Pass->Done[i] = TRUE;
    }
    return pending;
}

/* AnythingStored: whether a configuration store exists at all. Takes the configuration mutex. */
static BOOLEAN AnythingStored(VOID)
{
    AcquireConfiguration();
    HANDLE volumes;
    BOOLEAN stored = NT_SUCCESS(OpenBootConfigurations(&volumes));
    if (stored)
        ZwClose(volumes);
    ReleaseConfiguration();
    return stored;
}

/*
 * AutoMountService: the service thread; Context is its SERVICE_THREAD. Runs one
 * pass and ends; a stop request ends it between mounts. A driver with nothing
 * stored ends at once, without so much as an allocation.
 */
VOID NTAPI AutoMountService(PVOID Context)
{
    PSERVICE_THREAD service = (PSERVICE_THREAD)Context;
    if (!AnythingStored())
        PsTerminateSystemThread(STATUS_SUCCESS);
    AUTO_MOUNT_PASS pass;
    RtlZeroMemory(&pass, sizeof(pass));
    pass.Entry = (VOREL_BOOT_CONFIGURATION *)VorelData.AllocatePool(sizeof(VOREL_BOOT_CONFIGURATION),
                                                                    TAG_BOOT_CONFIGURATION, PagedPool);
    if (pass.Entry == NULL)
        PsTerminateSystemThread(STATUS_INSUFFICIENT_RESOURCES);

    ReadPendingLetters(&pass);
    ULONGLONG deadline = KeQueryInterruptTime() + AUTO_MOUNT_DEADLINE_100NS;
    while (!ServiceStopRequested(service)) {
        BOOLEAN late = KeQueryInterruptTime() >= deadline;
        if (!MountRound(service, &pass, late))
            break;
        LARGE_INTEGER retry;
        retry.QuadPart = -AUTO_MOUNT_RETRY_100NS;
        KeWaitForSingleObject(service->WakeEvent, Executive, KernelMode, FALSE, &retry);
    }
    VorelData.FreePool(pass.Entry, TAG_BOOT_CONFIGURATION);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * StartAutoMount: PASSIVE_LEVEL. Registers for volume arrivals, then starts the
 * service (a service started before is left alone). Without the registration
 * the service still runs: it retries on its timer alone.
 */
VOID StartAutoMount(VOID)
{
    PVOID registration = NULL;
    if (NT_SUCCESS(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0,
                                                  (PVOID)&VolumeInterfaceClass, VorelData.DriverObject,
                                                  VolumeArrived, NULL, &registration)) &&
        InterlockedCompareExchangePointer(&VolumeArrivalRegistration, registration, NULL) != NULL) {
        /* A start that raced this one registered first. */
        (VOID)IoUnregisterPlugPlayNotificationEx(registration);
    }
    (VOID)StartServiceThread(&VorelData.AutoMountService, AutoMountService, &VorelData.AutoMountWakeEvent);
}

/* StopAutoMount: PASSIVE_LEVEL. Stops the service (waiting for its thread) and drops the registration. */
VOID StopAutoMount(VOID)
{
    StopServiceThread(&VorelData.AutoMountService);
    PVOID registration = InterlockedExchangePointer(&VolumeArrivalRegistration, NULL);
    if (registration != NULL)
        (VOID)IoUnregisterPlugPlayNotificationEx(registration);
}
