/*
 * Diagnostic entry points. The stand-in build of the driver exports one table,
 * "VorelDiagnostics", through which the test suite reaches internal routines of
 * the loaded module (the tests never link the driver's code themselves).
 */
#pragma once

#define VOREL_DIAGNOSTICS_VERSION 3

typedef struct _VOREL_DIAGNOSTICS {
    ULONG Size;
    ULONG Version;
    PVOREL_DATA Data;
    PVOID (*AllocateZeroed)(SIZE_T Size, ULONG Tag, POOL_TYPE PoolType);
    PVOID (*DuplicateBuffer)(const VOID *Source, SIZE_T Length);
    VOID (*FreeAndClear)(PVOID *Slot, ULONG Tag);
    PVOID (*CacheAllocate)(PRECORD_CACHE Cache);
    VOID (*CacheFree)(PRECORD_CACHE Cache, PVOID *Slot);

    /* Volume admission and the I/O worker queue, on a VCB a test builds in a device extension. */
    VOID (*InitializeVcbAdmission)(PVCB Vcb);
    VOID (*UninitializeVcbAdmission)(PVCB Vcb);
    NTSTATUS (*AdmitVolumeRequest)(PDEVICE_OBJECT DeviceObject, BOOLEAN PagingIo, PVCB *Vcb);
    VOID (*ReleaseVolumeRequest)(PVCB Vcb);
    VOID (*HoldVolume)(PVCB Vcb);
    VOID (*ReleaseVolumeHold)(PVCB Vcb);
    NTSTATUS (*WorkerQueueStart)(PWORKER_QUEUE Queue);
    NTSTATUS (*WorkerQueuePost)(PWORKER_QUEUE Queue, PIRP Irp, PFCB Fcb);
    VOID (*WorkerQueueDrainWait)(PWORKER_QUEUE Queue);
    VOID (*WorkerQueueStop)(PWORKER_QUEUE Queue);

    /* The volume lifecycle, called as the control requests and the boot services call it. */
    NTSTATUS (*CreateVolume)(PCVOLUME_CREATE_PARAMETERS Parameters);
    NTSTATUS (*DismountVolume)(WCHAR Letter);
    NTSTATUS (*AcquireVolumeForOperation)(WCHAR Letter, PVOLUME_DEVICE_RECORD *Vdr, PVCB *Vcb);
    VOID (*ReleaseVolumeOperation)(PVOLUME_DEVICE_RECORD Vdr);
} VOREL_DIAGNOSTICS, *PVOREL_DIAGNOSTICS;
