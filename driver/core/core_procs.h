/*
 * Driver core routines.
 */
#pragma once

EXTERN_C_START
DRIVER_INITIALIZE DriverEntry;
EXTERN_C_END

DRIVER_UNLOAD VorelUnload;

/* driver_entry.cpp */
VOID InstallPoolRoutines(VOID);
VOID ReleaseDriverState(VOID);

/* parameters.cpp: values under the service key */
NTSTATUS OpenServiceSubkey(PCWSTR Subkey, BOOLEAN Create, ULONG CreateOptions, PHANDLE Key);
ULONG QuerySubkeyDword(PCWSTR Subkey, PCWSTR ValueName, ULONG Default);
ULONG QueryParameterDword(PCWSTR ValueName, ULONG Default);
NTSTATUS SetParameterDword(PCWSTR ValueName, ULONG Value);
ULONGLONG QueryQwordValue(HANDLE Key, PCWSTR ValueName);

/* topology.cpp */
VOID DescribeProcessorTopology(VOID);

/* control_device.cpp */
NTSTATUS CreateControlDevice(VOID);
BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject);
VOID RemoveControlDevice(VOID);

/* object_reference.cpp: tagged when the system has the tagged routines */
VOID ReferenceObject(PVOID Object);
VOID DereferenceObject(PVOID Object);
NTSTATUS ReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType, PVOID *Object);
VOID LookUpTaggedReferenceRoutines(VOID);

/* hash.cpp: XXH3 64-bit, seed 0. Any IRQL. */
ULONGLONG HashBytes(const VOID *Buffer, SIZE_T Length);

/*
 * GUARDED_CALL: runs Call, one probe of a caller's buffer or one copy through it,
 * and turns an exception it raises (a failed probe, an access fault) into Status.
 * On Windows that is a structured exception handler; on the stand-in, its guarded
 * call receives what the stand-in's routines raise. The call changes no local of
 * its caller.
 */
#if defined(_WIN32)
#define GUARDED_CALL(Status, Call)                                                                           \
    do {                                                                                                     \
        __try {                                                                                              \
            Call;                                                                                            \
        } __except (1 /* EXCEPTION_EXECUTE_HANDLER */) {                                                     \
            (Status) = _exception_code();                                                                    \
        }                                                                                                    \
    } while (0)
#else
#define GUARDED_CALL(Status, Call) STANDIN_GUARDED_CALL(Status, Call)
#endif

/* frame.cpp */
VOID FrameEnter(PIRP_FRAME Frame, PIRP Irp);
VOID FrameLeave(PIRP_FRAME Frame, NTSTATUS Status);
DRIVER_DISPATCH VorelDefaultDispatch;

/* admission.cpp */
struct _VCB;
struct _VCB *VcbFromDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS AdmitVolumeRequest(PDEVICE_OBJECT DeviceObject, BOOLEAN PagingIo, struct _VCB **Vcb);
VOID ReleaseVolumeRequest(struct _VCB *Vcb);
VOID WaitWhileVolumeHeld(struct _VCB *Vcb);
VOID HoldVolume(struct _VCB *Vcb);
VOID ReleaseVolumeHold(struct _VCB *Vcb);
VOID InitializeVcbAdmission(struct _VCB *Vcb);
VOID UninitializeVcbAdmission(struct _VCB *Vcb);
typedef NTSTATUS VOLUME_REQUEST_WORKER(PIRP Irp, struct _VCB *Vcb);
NTSTATUS DispatchVolumeRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp, VOLUME_REQUEST_WORKER *Common);
typedef NTSTATUS VOLUME_HANDOFF_WORKER(PIRP Irp, struct _VCB *Vcb, PBOOLEAN HandedOn);
NTSTATUS DispatchVolumeHandOff(PDEVICE_OBJECT DeviceObject, PIRP Irp, VOLUME_HANDOFF_WORKER *Common);

/* worker_queue.cpp */
NTSTATUS WorkerQueueStart(PWORKER_QUEUE Queue);
NTSTATUS WorkerQueuePost(PWORKER_QUEUE Queue, PIRP Irp, struct _FCB *Fcb);
VOID WorkerQueueDrainWait(PWORKER_QUEUE Queue);
VOID WorkerQueueStop(PWORKER_QUEUE Queue);

/* service_threads.cpp */
NTSTATUS StartReferencedThread(PKSTART_ROUTINE Routine, PVOID Context, PKTHREAD *Thread, PHANDLE Unreferenced);
NTSTATUS StartServiceThread(PSERVICE_THREAD Service, PKSTART_ROUTINE Routine, PKEVENT WakeEvent);
BOOLEAN ServiceStopRequested(PSERVICE_THREAD Service);
VOID LockServiceControl(VOID);
VOID UnlockServiceControl(VOID);
VOID StopServiceThread(PSERVICE_THREAD Service);
VOID StartDriverServices(VOID);
VOID StopDriverServices(VOID);

/* shutdown.cpp */
DRIVER_DISPATCH VorelShutdown;
