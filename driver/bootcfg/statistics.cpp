/*
 * I/O statistics: the running totals over the mounted volumes, the lifetime
 * totals and peak speeds that outlive the driver, the registry keys that carry
 * both, and the statistics service that samples them once a second.
 *
 * Two sums are taken over the volumes' per-processor counters. The running
 * totals count the Online volumes only, as the I/O statistics request reports
 * them; they fall when a volume goes and dip while one is Busy. The growth
 * totals, from which the lifetime figures grow, count every mounted volume
 * whatever its state plus the final counters of every volume torn down since
 * start-up (RetireVolumeIo). They never fall, so a volume that is Busy across a
 * sample (a save, a dismount that gives up) is not counted again when it comes
 * back, and what a volume did between the last sample and its dismount is not
 * lost.
 */
#include "vorel.h"

/* The lifetime values, in the order of VorelData.LifetimeBaseline. */
static const PCWSTR LifetimeValueNames[] = {L"BytesRead", L"BytesWritten", L"MaxReadSpeed", L"MaxWriteSpeed"};
#define LIFETIME_READ 0
#define LIFETIME_WRITTEN 1
#define LIFETIME_PEAK_READ 2
#define LIFETIME_PEAK_WRITE 3

/* A sample raises the peaks only over an elapsed time of 1 ms up to this (exclusive). */
#define PEAK_ELAPSED_LIMIT_MS 600000ULL
#define SAMPLE_PERIOD_100NS (10000000LL)
#define SAMPLES_PER_PERSIST 60

/* What one walk of the volume list gathers. */
typedef struct _VOLUME_IO_SUMS {
    VOREL_IO_STATISTICS Running;            /* Online mounted volumes */
    ULONGLONG BytesInUse;                   /* Online mounted volumes */
    ULONGLONG GrowthRead;                   /* every mounted volume, and those torn down */
    ULONGLONG GrowthWritten;
} VOLUME_IO_SUMS;

/* SummedSlots: the per-processor records that can hold counts, min(active processors, 64). */
static ULONG SummedSlots(VOID)
{
    ULONG processors = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    return processors == 0 ? 1 : min(processors, (ULONG)VOLUME_IO_SLOTS);
}

/* AddVolumeCounters: adds a volume's first Slots records to Totals. Any IRQL; no lock needed. */
static VOID AddVolumeCounters(PVCB Vcb, ULONG Slots, VOREL_IO_STATISTICS *Totals)
{
    PVOLUME_IO_SLOT slots = VcbIoSlots(Vcb);
    for (ULONG i = 0; i < Slots; i++) {
        Totals->WriteOperations += (ULONGLONG)ReadNoFence64(&slots[i].Counters[IO_SLOT_WRITE_COUNT]);
        Totals->BytesWritten += (ULONGLONG)ReadNoFence64(&slots[i].Counters[IO_SLOT_WRITE_COUNT + 1]);
        Totals->ReadOperations += (ULONGLONG)ReadNoFence64(&slots[i].Counters[IO_SLOT_READ_COUNT]);
        Totals->BytesRead += (ULONGLONG)ReadNoFence64(&slots[i].Counters[IO_SLOT_READ_COUNT + 1]);
    }
}

/*
 * SumVolumeIo: both sums in one walk under the volume list lock, so a volume is
 * counted either among the mounted ones or among the retired ones, never in
 * both or neither. Any IRQL up to DISPATCH_LEVEL; no spin lock held.
 */
static VOID SumVolumeIo(VOLUME_IO_SUMS *Sums)
{
    ULONG slots = SummedSlots();
    RtlZeroMemory(Sums, sizeof(*Sums));
    KIRQL irql = AcquireVolumeList();
    Sums->GrowthRead = VorelData.RetiredBytes[LIFETIME_READ];
    Sums->GrowthWritten = VorelData.RetiredBytes[LIFETIME_WRITTEN];
    for (PLIST_ENTRY entry = VorelData.VolumeList.Flink; entry != &VorelData.VolumeList; entry = entry->Flink) {
        PVOLUME_DEVICE_RECORD vdr = CONTAINING_RECORD(entry, VOLUME_DEVICE_RECORD, ListLinks);
        PVCB vcb = MountedVcb(vdr);
        if (vcb == NULL)
            continue;
        VOREL_IO_STATISTICS volume;
        RtlZeroMemory(&volume, sizeof(volume));
        AddVolumeCounters(vcb, slots, &volume);
        Sums->GrowthRead += volume.BytesRead;
        Sums->GrowthWritten += volume.BytesWritten;
        if (vdr->State != VOLUME_ONLINE)
            continue;
        Sums->Running.BytesRead += volume.BytesRead;
        Sums->Running.BytesWritten += volume.BytesWritten;
        Sums->Running.ReadOperations += volume.ReadOperations;
        Sums->Running.WriteOperations += volume.WriteOperations;
        Sums->BytesInUse += (ULONGLONG)ReadNoFence64(&vcb->Store.ChargedBytes);
    }
    ReleaseVolumeList(irql);
}

/*
 * RetireVolumeIo: the volume's counters leave the sums for good; its bytes join
 * the retired totals. Volume list lock held, in the same hold that forgets the
 * volume's mounted device; no I/O can reach the volume any more.
 */
VOID RetireVolumeIo(PVCB Vcb)
{
    VOREL_IO_STATISTICS volume;
    RtlZeroMemory(&volume, sizeof(volume));
    AddVolumeCounters(Vcb, VOLUME_IO_SLOTS, &volume);
    VorelData.RetiredBytes[LIFETIME_READ] += volume.BytesRead;
    VorelData.RetiredBytes[LIFETIME_WRITTEN] += volume.BytesWritten;
}

/* Growth: how far a total moved since it was sampled; a fall is no growth. */
static ULONGLONG Growth(ULONGLONG Now, ULONGLONG Sampled)
{
    return Now > Sampled ? Now - Sampled : 0;
}

/* BytesPerSecond: Bytes over ElapsedMs (non-zero), without overflowing for any byte count. */
static ULONGLONG BytesPerSecond(ULONGLONG Bytes, ULONGLONG ElapsedMs)
{
    return Bytes / ElapsedMs * 1000 + Bytes % ElapsedMs * 1000 / ElapsedMs;
}

/* QueryRunningTotals: the I/O statistics reply, summed over the Online volumes. */
VOID QueryRunningTotals(VOREL_IO_STATISTICS *Totals)
{
    VOLUME_IO_SUMS sums;
    SumVolumeIo(&sums);
    *Totals = sums.Running;
}

/*
 * QueryLifetimeTotals: the lifetime statistics reply: the lifetime bytes plus
 * what has grown since the last sample, and the peak speeds.
 */
VOID QueryLifetimeTotals(VOREL_LIFETIME_STATISTICS *Totals)
{
    VOLUME_IO_SUMS sums;
    SumVolumeIo(&sums);
    KIRQL irql;
    KeAcquireSpinLock(&VorelData.StatisticsLock, &irql);
    Totals->BytesRead = VorelData.LifetimeBaseline[LIFETIME_READ] +
                        Growth(sums.GrowthRead, VorelData.LastSampledBytes[LIFETIME_READ]);
    Totals->BytesWritten = VorelData.LifetimeBaseline[LIFETIME_WRITTEN] +
                           Growth(sums.GrowthWritten, VorelData.LastSampledBytes[LIFETIME_WRITTEN]);
    Totals->PeakReadBytesPerSecond = VorelData.LifetimeBaseline[LIFETIME_PEAK_READ];
    Totals->PeakWriteBytesPerSecond = VorelData.LifetimeBaseline[LIFETIME_PEAK_WRITE];
    KeReleaseSpinLock(&VorelData.StatisticsLock, irql);
}

/* SetQwordValue: one REG_QWORD; failures are ignored (the statistics are best effort). */
static VOID SetQwordValue(HANDLE Key, PCWSTR ValueName, ULONGLONG Value)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    (VOID)ZwSetValueKey(Key, &name, 0, REG_QWORD, &Value, sizeof(Value));
}

/*
 * SampleStatistics: PASSIVE_LEVEL, from the statistics service only. Moves the
 * growth since the last sample into the lifetime totals, raises the peaks when
 * the elapsed time is meaningful, and writes the running totals into the
 * volatile key.
 */
static VOID SampleStatistics(VOID)
{
    VOLUME_IO_SUMS sums;
    SumVolumeIo(&sums);
    ULONGLONG now = KeQueryInterruptTime();

    KIRQL irql;
    KeAcquireSpinLock(&VorelData.StatisticsLock, &irql);
    ULONGLONG grownRead = Growth(sums.GrowthRead, VorelData.LastSampledBytes[LIFETIME_READ]);
    ULONGLONG grownWritten = Growth(sums.GrowthWritten, VorelData.LastSampledBytes[LIFETIME_WRITTEN]);
    VorelData.LifetimeBaseline[LIFETIME_READ] += grownRead;
    VorelData.LifetimeBaseline[LIFETIME_WRITTEN] += grownWritten;
    if (now > VorelData.LastSampleTime) {
        ULONGLONG elapsedMs = (now - VorelData.LastSampleTime) / 10000;
        if (elapsedMs >= 1 && elapsedMs < PEAK_ELAPSED_LIMIT_MS) {
            ULONGLONG readSpeed = BytesPerSecond(grownRead, elapsedMs);
            ULONGLONG writeSpeed = BytesPerSecond(grownWritten, elapsedMs);
            if (readSpeed > VorelData.LifetimeBaseline[LIFETIME_PEAK_READ])
                VorelData.LifetimeBaseline[LIFETIME_PEAK_READ] = readSpeed;
            if (writeSpeed > VorelData.LifetimeBaseline[LIFETIME_PEAK_WRITE])
                VorelData.LifetimeBaseline[LIFETIME_PEAK_WRITE] = writeSpeed;
        }
    }
    VorelData.LastSampleTime = now;
    VorelData.LastSampledBytes[LIFETIME_READ] = sums.GrowthRead;
    VorelData.LastSampledBytes[LIFETIME_WRITTEN] = sums.GrowthWritten;
    KeReleaseSpinLock(&VorelData.StatisticsLock, irql);

    HANDLE key = VorelData.VolatileStatisticsKey;
    if (key != NULL) {
        SetQwordValue(key, L"BytesRead", sums.Running.BytesRead);
        SetQwordValue(key, L"BytesWritten", sums.Running.BytesWritten);
        SetQwordValue(key, L"ReadOps", sums.Running.ReadOperations);
        SetQwordValue(key, L"WriteOps", sums.Running.WriteOperations);
        SetQwordValue(key, L"AllocatedBytes", sums.BytesInUse);
    }
    InterlockedIncrement(&VorelData.StatisticsSamples);
}

/* PersistLifetimeStatistics: PASSIVE_LEVEL. The four lifetime values into the lifetime key. */
static VOID PersistLifetimeStatistics(VOID)
{
    ULONGLONG values[RTL_NUMBER_OF(LifetimeValueNames)];
    C_ASSERT(sizeof(values) == sizeof(VorelData.LifetimeBaseline));
    KIRQL irql;
    KeAcquireSpinLock(&VorelData.StatisticsLock, &irql);
    RtlCopyMemory(values, VorelData.LifetimeBaseline, sizeof(values));
    KeReleaseSpinLock(&VorelData.StatisticsLock, irql);

    if (VorelData.LifetimeStatisticsKey == NULL)
        return;
    for (ULONG i = 0; i < RTL_NUMBER_OF(LifetimeValueNames); i++)
        SetQwordValue(VorelData.LifetimeStatisticsKey, LifetimeValueNames[i], values[i]);
}

/*
 * StatisticsService: the statistics thread; Context is its SERVICE_THREAD.
 * Samples once a second and persists the lifetime values every minute. A stop
 * wakes it early: it takes a last sample and persists before it ends, so every
 * stop (shutdown, prepare-unload, unload) writes the final figures, and two
 * stops that race write them once, since only one of them ends the thread.
 */
VOID NTAPI StatisticsService(PVOID Context)
{
    PSERVICE_THREAD service = (PSERVICE_THREAD)Context;
    ULONG samples = 0;
    LARGE_INTEGER period;
    period.QuadPart = -SAMPLE_PERIOD_100NS;
    for (;;) {
        (VOID)KeWaitForSingleObject(service->WakeEvent, Executive, KernelMode, FALSE, &period);
        if (ServiceStopRequested(service))
            break;
        SampleStatistics();
        if (++samples % SAMPLES_PER_PERSIST == 0)
            PersistLifetimeStatistics();
    }
    SampleStatistics();
    PersistLifetimeStatistics();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * OpenStatisticsKeys: PASSIVE_LEVEL, at start-up. Opens or creates the volatile
 * and the lifetime key and reads the baselines. A key that cannot be had stays
 * null (statistics are then not kept there); missing values read as 0.
 */
VOID OpenStatisticsKeys(VOID)
{
    if (!NT_SUCCESS(OpenServiceSubkey(L"VolatileStatistics", TRUE, REG_OPTION_VOLATILE,
                                      &VorelData.VolatileStatisticsKey)))
        VorelData.VolatileStatisticsKey = NULL;
    if (!NT_SUCCESS(OpenServiceSubkey(L"LifetimeStatistics", TRUE, REG_OPTION_NON_VOLATILE,
                                      &VorelData.LifetimeStatisticsKey)))
        VorelData.LifetimeStatisticsKey = NULL;

    for (ULONG i = 0; i < RTL_NUMBER_OF(LifetimeValueNames); i++) {
        VorelData.LifetimeBaseline[i] =
            VorelData.LifetimeStatisticsKey != NULL
                ? QueryQwordValue(VorelData.LifetimeStatisticsKey, LifetimeValueNames[i])
                : 0;
    }
    VorelData.StartTime = KeQueryInterruptTime();
    VorelData.LastSampleTime = VorelData.StartTime;
}

/* CloseStatisticsKeys: PASSIVE_LEVEL, at unload or a failed start-up. */
VOID CloseStatisticsKeys(VOID)
{
    if (VorelData.VolatileStatisticsKey != NULL) {
        ZwClose(VorelData.VolatileStatisticsKey);
        VorelData.VolatileStatisticsKey = NULL;
    }
    if (VorelData.LifetimeStatisticsKey != NULL) {
        ZwClose(VorelData.LifetimeStatisticsKey);
        VorelData.LifetimeStatisticsKey = NULL;
    }
}
