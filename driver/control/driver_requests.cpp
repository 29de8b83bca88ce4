/*
 * Control requests about the driver itself: ping, the settings, the last
 * persistence error, the I/O statistics and prepare-unload.
 */
#include "vorel.h"

/* The driver's compile date and time, as the compiler gives them: "Mmm dd yyyy hh:mm:ss". */
const char BuildStamp[] = __DATE__ " " __TIME__;
C_ASSERT(sizeof(BuildStamp) - 1 == 20);
C_ASSERT(sizeof(BuildStamp) <= VOREL_BUILD_STAMP_BYTES);

/* PingRequest: the version and build stamp (44 bytes). */
NTSTATUS PingRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    VOREL_PING_REPLY *reply = (VOREL_PING_REPLY *)Buffer;
    RtlZeroMemory(reply, sizeof(*reply));
    reply->Major = VOREL_VERSION_MAJOR;
    reply->Minor = VOREL_VERSION_MINOR;
    RtlCopyMemory(reply->BuildStamp, BuildStamp, sizeof(BuildStamp) - 1);
    Irp->IoStatus.Information = sizeof(*reply);
    return STATUS_SUCCESS;
}

/* GetSettingsRequest: AllowUserAccess as 0 or 1 (8 bytes). */
NTSTATUS GetSettingsRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    VOREL_SETTINGS *reply = (VOREL_SETTINGS *)Buffer;
    RtlZeroMemory(reply, sizeof(*reply));
    reply->AllowUserAccess = ReadUCharAcquire(&VorelData.AllowUserAccess) != 0 ? 1 : 0;
    Irp->IoStatus.Information = sizeof(*reply);
    return STATUS_SUCCESS;
}

/*
 * SetSettingsRequest: PASSIVE_LEVEL (the request table let only administrators and
 * kernel callers through). The switch takes effect at once; persisting it is best
 * effort, so a registry failure does not fail the request.
 */
NTSTATUS SetSettingsRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    ULONG allow = ((VOREL_SETTINGS *)Buffer)->AllowUserAccess != 0 ? 1 : 0;
    WriteUCharRelease(&VorelData.AllowUserAccess, (UCHAR)allow);
    (VOID)SetParameterDword(L"AllowUserAccess", allow);
    Irp->IoStatus.Information = 0;
    return STATUS_SUCCESS;
}

/* LastPersistenceErrorRequest: the record of the last failed image operation (1304 bytes), copied whole. */
NTSTATUS LastPersistenceErrorRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    C_ASSERT(sizeof(VorelData.LastPersistenceError) == sizeof(VOREL_PERSISTENCE_ERROR));
    KIRQL irql;
    KeAcquireSpinLock(&VorelData.PersistenceErrorLock, &irql);
    RtlCopyMemory(Buffer, VorelData.LastPersistenceError, sizeof(VOREL_PERSISTENCE_ERROR));
    KeReleaseSpinLock(&VorelData.PersistenceErrorLock, irql);
    Irp->IoStatus.Information = sizeof(VOREL_PERSISTENCE_ERROR);
    return STATUS_SUCCESS;
}

/* ReplyWith: the request's reply is Length bytes of Reply. */
static NTSTATUS ReplyWith(PIRP Irp, PVOID Buffer, const VOID *Reply, ULONG Length)
{
    RtlCopyMemory(Buffer, Reply, Length);
    Irp->IoStatus.Information = Length;
    return STATUS_SUCCESS;
}

/* IoStatisticsRequest: the running I/O totals of the Online volumes (32 bytes). */
NTSTATUS IoStatisticsRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    VOREL_IO_STATISTICS totals;
    QueryRunningTotals(&totals);
    return ReplyWith(Irp, Buffer, &totals, sizeof(totals));
}

/* LifetimeStatisticsRequest: the lifetime totals and peak speeds (32 bytes). */
NTSTATUS LifetimeStatisticsRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    VOREL_LIFETIME_STATISTICS totals;
    QueryLifetimeTotals(&totals);
    return ReplyWith(Irp, Buffer, &totals, sizeof(totals));
}

/*
 * PrepareUnloadRequest: PASSIVE_LEVEL. Gets the driver ready to be unloaded:
 * stops the services, dismounts every Online volume and, when all went, removes
 * the control device and the registrations. A volume that stays puts the
 * services back and the result is STATUS_DEVICE_BUSY, a warning, so the count
 * still reaches the caller. The reply (when the output holds it) is the number
 * of volumes that stayed.
 *
 * The whole request holds the service control mutex: a second prepare-unload
 * waits and then finds nothing left to do, instead of removing the device twice,
 * and a shutdown that stops the services meanwhile waits for it.
 */
NTSTATUS PrepareUnloadRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    LockServiceControl();
    StopDriverServices();
    ULONG failures = DismountAllVolumes();
    if (OutputLength >= sizeof(VOREL_PREPARE_UNLOAD_REPLY)) {
        ((VOREL_PREPARE_UNLOAD_REPLY *)Buffer)->VolumesNotDismounted = failures;
        Irp->IoStatus.Information = sizeof(VOREL_PREPARE_UNLOAD_REPLY);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (failures == 0) {
        RemoveControlDevice();
    } else {
        StartDriverServices();
        status = STATUS_DEVICE_BUSY;
    }
    UnlockServiceControl();
    return status;
}
