/*
 * Volume admission: the gate every request aimed at a volume passes.
 *
 * A volume-wide operation (a save) holds the volume: new non-paging requests wait
 * until it releases. Paging I/O is never held back, so the memory manager can
 * always make progress while a save runs. Every admitted request owns a reference
 * on the volume's rundown protection until it finishes; teardown waits for them.
 */
#include "vorel.h"

/* VcbFromDevice: the VCB in a device's extension, or NULL when the device is not a mounted volume's. */
PVCB VcbFromDevice(PDEVICE_OBJECT DeviceObject)
{
    PVCB vcb = (PVCB)DeviceObject->DeviceExtension;
    if (vcb == NULL || vcb->Signature != VCB_SIGNATURE)
        return NULL;
    return vcb;
}

/* WaitWhileVolumeHeld: PASSIVE_LEVEL; returns once the hold count is zero. */
VOID WaitWhileVolumeHeld(PVCB Vcb)
{
    while (InterlockedCompareExchange(&Vcb->HoldCount, 0, 0) != 0)
        KeWaitForSingleObject(&Vcb->HoldEvent, Executive, KernelMode, FALSE, NULL);
}

/*
 * AdmitVolumeRequest: PASSIVE_LEVEL (paging I/O: up to APC_LEVEL).
 * Returns STATUS_SUCCESS with *Vcb holding one rundown reference (release it with
 * ReleaseVolumeRequest), STATUS_INVALID_DEVICE_REQUEST for a device that is not a
 * volume, or STATUS_VOLUME_DISMOUNTED once teardown has begun.
 */
NTSTATUS AdmitVolumeRequest(PDEVICE_OBJECT DeviceObject, BOOLEAN PagingIo, PVCB *Vcb)
{
    *Vcb = NULL;
    PVCB vcb = VcbFromDevice(DeviceObject);
    if (vcb == NULL)
        return STATUS_INVALID_DEVICE_REQUEST;

    for (;;) {
        if (!PagingIo)
            WaitWhileVolumeHeld(vcb);
        if (!ExAcquireRundownProtectionCacheAware(VcbRundown(vcb)))
            return STATUS_VOLUME_DISMOUNTED;
        /* A hold set between the wait and the acquisition must not let this request
           slip past it: step back and wait again. */
        if (PagingIo || InterlockedCompareExchange(&vcb->HoldCount, 0, 0) == 0)
            break;
        ExReleaseRundownProtectionCacheAware(VcbRundown(vcb));
    }

    /* Acquire: pairs with teardown's release store, so a request that sees the flag
       clear also sees everything the volume was before teardown began. */
    if (ReadUCharAcquire(&vcb->Dismounted) != 0) {
        ExReleaseRundownProtectionCacheAware(VcbRundown(vcb));
        return STATUS_VOLUME_DISMOUNTED;
    }
    *Vcb = vcb;
    return STATUS_SUCCESS;
}

/* ReleaseVolumeRequest: drops the rundown reference an admitted request holds. Any IRQL up to DISPATCH_LEVEL. */
VOID ReleaseVolumeRequest(PVCB Vcb)
{
    ExReleaseRundownProtectionCacheAware(VcbRundown(Vcb));
}

/*
 * HoldVolume / ReleaseVolumeHold: bracket a volume-wide operation. The event is
 * cleared before the count rises and signalled after it falls, so a waiter never
 * sleeps on a signalled event while the volume is held, nor misses a release.
 */
VOID HoldVolume(PVCB Vcb)
{
    KeClearEvent(&Vcb->HoldEvent);
    InterlockedExchange(&Vcb->HoldCount, 1);
}

VOID ReleaseVolumeHold(PVCB Vcb)
{
    InterlockedExchange(&Vcb->HoldCount, 0);
    KeSetEvent(&Vcb->HoldEvent, IO_NO_INCREMENT, FALSE);
}

/*
 * InitializeVcbAdmission: prepares the admission fields of a zeroed VCB that
 * starts a device extension of VCB_EXTENSION_SIZE(ExSizeOfRundownProtectionCacheAware())
 * bytes, places its I/O counters and rundown block, and signs it. PASSIVE_LEVEL,
 * before the device accepts requests.
 */
VOID InitializeVcbAdmission(PVCB Vcb)
{
    ULONG_PTR slots = ALIGN_UP_BY((ULONG_PTR)Vcb + sizeof(VCB), 128);
    Vcb->IoSlotsOffset = (ULONG)(slots - (ULONG_PTR)Vcb);
    ULONG_PTR rundown = ALIGN_UP_BY(slots + VOLUME_IO_SLOTS * sizeof(VOLUME_IO_SLOT), 128);
    Vcb->RundownOffset = (ULONG)(rundown - (ULONG_PTR)Vcb);
    ExInitializeRundownProtectionCacheAware(VcbRundown(Vcb), ExSizeOfRundownProtectionCacheAware());
    Vcb->HoldCount = 0;
    KeInitializeEvent(&Vcb->HoldEvent, NotificationEvent, TRUE);
    ExInitializeResourceLite(&Vcb->Resource);
    WriteUCharRelease(&Vcb->Dismounted, FALSE);
    Vcb->WorkerQueue.State = WORKER_QUEUE_STOPPED;
    Vcb->Signature = VCB_SIGNATURE;
}

/* UninitializeVcbAdmission: the last step of a VCB's life; no request may be admitted any more. */
VOID UninitializeVcbAdmission(PVCB Vcb)
{
    Vcb->Signature = 0;
    ExDeleteResourceLite(&Vcb->Resource);
}

/*
 * DispatchVolumeRequest: the whole frame of a request served at once on a volume:
 * enter, admit on the volume, run the common worker (Information starts at 0),
 * release the admission, complete. PASSIVE_LEVEL. Returns the worker's status, or
 * the admission's refusal.
 */
static NTSTATUS DispatchVolumeWorker(PDEVICE_OBJECT DeviceObject, PIRP Irp, VOLUME_REQUEST_WORKER *Common,
                                     VOLUME_HANDOFF_WORKER *HandOff)
{
    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    PVCB vcb;
    BOOLEAN handedOn = FALSE;
    NTSTATUS status = AdmitVolumeRequest(DeviceObject, FALSE, &vcb);
    if (NT_SUCCESS(status)) {
        Irp->IoStatus.Information = 0;
        status = Common != NULL ? Common(Irp, vcb) : HandOff(Irp, vcb, &handedOn);
        ReleaseVolumeRequest(vcb);
    }
    /* A request handed to a package is completed there and may be gone already. */
    FrameLeave(&frame, handedOn ? STATUS_PENDING : status);
    return status;
}

NTSTATUS DispatchVolumeRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, VOLUME_REQUEST_WORKER *Common)
{
    return DispatchVolumeWorker(DeviceObject, Irp, Common, NULL);
}

/*
 * DispatchVolumeHandOff: as DispatchVolumeRequest, for a worker that may hand the
 * request to a package (the oplock package) which completes it: the worker sets
 * *HandedOn, and the frame then leaves the request alone. Returns the worker's
 * status (the package's), or the admission's refusal.
 */
NTSTATUS DispatchVolumeHandOff(PDEVICE_OBJECT DeviceObject, PIRP Irp, VOLUME_HANDOFF_WORKER *Common)
{
    return DispatchVolumeWorker(DeviceObject, Irp, NULL, Common);
}
