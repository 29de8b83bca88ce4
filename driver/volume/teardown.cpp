/*
 * The two lower layers of a volume's going: teardown of the file-system device
 * (the VCB, its tree and store, its device) and the final free of the disk device
 * and its volume device record. Dismount and a failed create use both.
 *
 * Teardown sets the dismounted flag under the main resource, so admission refuses
 * new requests, then waits for the admitted ones through the rundown protection.
 * A teardown that must respect open handles gives up while they stay, and leaves
 * the volume exactly as usable as before.
 */
#include "vorel.h"

#define BUSY_WAIT_RETRIES 6
#define BUSY_RETRY_100NS (50LL * 10000)
#define TEARDOWN_BUSY_ATTEMPTS 6
#define TEARDOWN_ATTEMPTS 40
#define TEARDOWN_PURGE_EVERY 10
#define VPB_RETRY_100NS (50LL * 10000)
#define VPB_RETRIES 200

static VOID SleepBusyRetry(VOID)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -BUSY_RETRY_100NS;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

/* TestVolumeBusy: the busy test under the main resource. PASSIVE_LEVEL, no volume lock held. */
static BOOLEAN TestVolumeBusy(PVCB Vcb, PBOOLEAN NeedsPurge)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Vcb->Resource, TRUE);
    BOOLEAN busy = IsVolumeBusy(Vcb, NeedsPurge);
    ExReleaseResourceLite(&Vcb->Resource);
    KeLeaveCriticalRegion();
    return busy;
}

/*
 * WaitWhileVolumeBusy: the short busy wait: the busy test, then up to six more
 * 50 ms apart while it says busy. Returns whether the volume is still busy.
 */
BOOLEAN WaitWhileVolumeBusy(PVCB Vcb)
{
    BOOLEAN needsPurge;
    BOOLEAN busy = TestVolumeBusy(Vcb, &needsPurge);
    for (ULONG retry = 0; busy && retry < BUSY_WAIT_RETRIES; retry++) {
        SleepBusyRetry();
        busy = TestVolumeBusy(Vcb, &needsPurge);
    }
    return busy;
}

/*
 * SettleBusyVolume: with the main resource held exclusively (inside a critical
 * region), repeats the busy test until nothing holds the volume and nothing needs
 * a purge. Between attempts the resource is dropped; every tenth attempt that
 * found sections to purge purges them, the others sleep 50 ms. Returns FALSE
 * (resource held) after the sixth attempt that found the volume busy or the 40th
 * in any case.
 */
static BOOLEAN SettleBusyVolume(PVCB Vcb)
{
    BOOLEAN needsPurge;
    BOOLEAN busy = IsVolumeBusy(Vcb, &needsPurge);
    for (ULONG attempt = 1; busy || needsPurge; attempt++) {
        if ((busy && attempt >= TEARDOWN_BUSY_ATTEMPTS) || attempt >= TEARDOWN_ATTEMPTS)
            return FALSE;
        ExReleaseResourceLite(&Vcb->Resource);
        if (needsPurge && (attempt % TEARDOWN_PURGE_EVERY) == 0)
            (VOID)FlushAllFiles(Vcb, TRUE);
        else
            SleepBusyRetry();
        ExAcquireResourceExclusiveLite(&Vcb->Resource, TRUE);
        busy = IsVolumeBusy(Vcb, &needsPurge);
    }
    return TRUE;
}

/*
 * SwapOutVpb: under the VPB spin lock, gives the disk device the spare VPB when its
 * VPB is mounted on this file-system device, so the disk can be mounted again or
 * deleted while open file objects still count the old one. The old VPB stays the
 * record's (persistent, so the I/O manager leaves it alone) until the final free.
 */
static VOID SwapOutVpb(PVOLUME_DEVICE_RECORD Vdr, PVCB Vcb)
{
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    PVPB old = Vdr->DiskDevice->Vpb;
    if (old != NULL && old->DeviceObject == Vcb->DeviceObject && Vcb->SpareVpb != NULL) {
        PVPB spare = Vcb->SpareVpb;
        Vcb->SpareVpb = NULL;
        RtlZeroMemory(spare, sizeof(VPB));
        spare->Type = IO_TYPE_VPB;
        spare->Size = sizeof(VPB);
        spare->RealDevice = Vdr->DiskDevice;
        spare->Flags = old->Flags & VPB_REMOVE_PENDING;
        Vdr->DiskDevice->Vpb = spare;
        old->DeviceObject = NULL;
        old->Flags = (USHORT)((old->Flags & ~VPB_MOUNTED) | VPB_PERSISTENT);
        Vdr->OldVpb = old;
    }
    IoReleaseVpbSpinLock(irql);
}

/*
 * UninitializeVolumeContents: the tree, the namespace's indexes and the store of a
 * volume no request reaches any more. PASSIVE_LEVEL, inside a critical region.
 */
VOID UninitializeVolumeContents(PVCB Vcb)
{
    UninitializeChangeNotify(Vcb);
    TearDownTree(Vcb);
    UninitializeVcbNamespace(Vcb);
    TearDownStoreVolume(&Vcb->Store);
}

/*
 * TearDownVolumeDevice: empties and deletes the record's file-system device.
 * PASSIVE_LEVEL, no lock held; the record is out of other hands (Removing, or
 * Creating and never Online). With CheckBusy, a volume that stays held by
 * handles or sections gets STATUS_DEVICE_BUSY and is left fully usable; without
 * it, the teardown never refuses. Returns STATUS_SUCCESS once the device is gone
 * (or when there was none).
 */
NTSTATUS TearDownVolumeDevice(PVOLUME_DEVICE_RECORD Vdr, BOOLEAN CheckBusy)
{
    PDEVICE_OBJECT device = Vdr->MountedDevice;
    if (device == NULL)
        return STATUS_SUCCESS;
    PVCB vcb = (PVCB)device->DeviceExtension;

    /* The whole teardown runs in a critical region: it holds the volume's resources. */
    KIRQL irql;
    KeEnterCriticalRegion();
    NTSTATUS status = STATUS_DEVICE_BUSY;
    if (CheckBusy) {
        if (WaitWhileVolumeBusy(vcb))
            goto done;
        (VOID)FlushAllFiles(vcb, FALSE);
    }

    /* Release: a request admitted after this store sees the flag, and one that saw
       it clear holds a rundown reference the wait below drains. */
    ExAcquireResourceExclusiveLite(&vcb->Resource, TRUE);
    WriteUCharRelease(&vcb->Dismounted, TRUE);
    ExReleaseResourceLite(&vcb->Resource);

    ExWaitForRundownProtectionReleaseCacheAware(VcbRundown(vcb));
    WorkerQueueDrainWait(&vcb->WorkerQueue);
    /* The compression worker lets go of the file it is in and the queue of its
       nodes, which would otherwise keep deleted files waiting for a purge. */
    PauseColdQueue(vcb);

    ExAcquireResourceExclusiveLite(&vcb->Resource, TRUE);
    if (CheckBusy && !SettleBusyVolume(vcb)) {
        WriteUCharRelease(&vcb->Dismounted, FALSE);
        ExReInitializeRundownProtectionCacheAware(VcbRundown(vcb));
        ExReleaseResourceLite(&vcb->Resource);
        ResumeColdQueue(vcb);
        goto done;
    }
    vcb->Signature = 0;
    ExReleaseResourceLite(&vcb->Resource);

    WorkerQueueStop(&vcb->WorkerQueue);
    StopCompressionWorker(vcb);
    SwapOutVpb(Vdr, vcb);
    UninitializeVolumeContents(vcb);
    FreeAndClear((PVOID *)&vcb->SpareVpb, TAG_VOLUME_SPARE);

    /* Once more around the resource: anyone who still waited on it is gone before it is deleted. */
    ExAcquireResourceExclusiveLite(&vcb->Resource, TRUE);
    ExReleaseResourceLite(&vcb->Resource);
    UninitializeVcbAdmission(vcb);

    /* In one hold with forgetting the device: the statistics see the volume's
       counters either here or among the retired ones. */
    irql = AcquireVolumeList();
    RetireVolumeIo(vcb);
    Vdr->MountedDevice = NULL;
    ReleaseVolumeList(irql);
    IoDeleteDevice(device);
    status = STATUS_SUCCESS;

done:
    KeLeaveCriticalRegion();
    return status;
}

/*
 * TryFreeOldVpb: under the VPB spin lock, frees the record's old VPB and deletes
 * the disk device when no file object counts the VPB any more. Returns whether
 * it did.
 */
static BOOLEAN TryFreeOldVpb(PVOLUME_DEVICE_RECORD Vdr, PDEVICE_OBJECT DiskDevice)
{
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    PVPB old = Vdr->OldVpb;
    BOOLEAN free = old->ReferenceCount == 0;
    if (free)
        Vdr->OldVpb = NULL;
    IoReleaseVpbSpinLock(irql);
    if (!free)
        return FALSE;
    ExFreePool(old);
    IoDeleteDevice(DiskDevice);
    return TRUE;
}

/*
 * LeaveOldVpbToSystem: the last file objects outlived the retries: the VPB stops
 * being persistent, so the I/O manager frees it with the last of them, and the
 * disk device goes now (its object stays while those file objects refer to it).
 */
static VOID LeaveOldVpbToSystem(PVOLUME_DEVICE_RECORD Vdr, PDEVICE_OBJECT DiskDevice)
{
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    PVPB old = Vdr->OldVpb;
    Vdr->OldVpb = NULL;
    BOOLEAN free = old->ReferenceCount == 0;
    old->Flags &= ~VPB_PERSISTENT;
    IoReleaseVpbSpinLock(irql);
    if (free)
        ExFreePool(old);
    IoDeleteDevice(DiskDevice);
}

/* RetryFreeOldVpb: every 50 ms, at most 200 times, frees the old VPB and the disk as soon as nothing counts it. */
static VOID RetryFreeOldVpb(PVOLUME_DEVICE_RECORD Vdr, PDEVICE_OBJECT DiskDevice)
{
    for (ULONG retry = 0; retry < VPB_RETRIES; retry++) {
        LARGE_INTEGER interval;
        interval.QuadPart = -VPB_RETRY_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        if (TryFreeOldVpb(Vdr, DiskDevice))
            return;
    }
    LeaveOldVpbToSystem(Vdr, DiskDevice);
}

/*
 * The delayed work item of a final free whose old VPB was still counted. The
 * queued item holds its own reference on the disk device, so the extension stays
 * readable after the device is deleted here, until the item is freed.
 */
static VOID NTAPI OldVpbWork(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PIO_WORKITEM item = (PIO_WORKITEM)Context;
    PVOLUME_DEVICE_RECORD vdr = (PVOLUME_DEVICE_RECORD)DeviceObject->DeviceExtension;
    RetryFreeOldVpb(vdr, DeviceObject);
    IoFreeWorkItem(item);
}

/*
 * FreeVolumeRecord: the final free of a record whose file-system device is gone.
 * PASSIVE_LEVEL, no lock held. With Unlink the record leaves the volume list
 * (state Removing) first. The disk device goes at once unless the VPB swapped
 * out at teardown is still counted by file objects; then a delayed work item
 * (or, without one, this thread) waits up to 10 seconds for them.
 */
VOID FreeVolumeRecord(PVOLUME_DEVICE_RECORD Vdr, BOOLEAN Unlink)
{
    if (Unlink) {
        KIRQL irql = AcquireVolumeList();
        Vdr->State = VOLUME_REMOVING;
        if (IsVolumeRecordListed(Vdr))
            UnlinkVolumeRecord(Vdr);
        ReleaseVolumeList(irql);
    }
    Vdr->Signature = 0;
    CloseImageBinding(Vdr->Binding);
    Vdr->Binding = NULL;

    PDEVICE_OBJECT disk = Vdr->DiskDevice;
    if (Vdr->OldVpb == NULL) {
        IoDeleteDevice(disk);
        return;
    }
    if (TryFreeOldVpb(Vdr, disk))
        return;
    PIO_WORKITEM item = IoAllocateWorkItem(disk);
    if (item == NULL) {
        RetryFreeOldVpb(Vdr, disk);
        return;
    }
    IoQueueWorkItem(item, OldVpbWork, DelayedWorkQueue, item);
}
