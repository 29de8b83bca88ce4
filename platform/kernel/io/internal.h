/*
 * I/O manager internals shared by its files: the stand-in's private state of
 * devices and file objects, the record of every request the I/O manager issues
 * (so that completion can finish it the way the caller asked, and the verifier can
 * check the driver's dispatch against its completion), and the frame every native
 * file call runs in.
 *
 * Locks, outermost first: a device's mount lock (DeviceLock event) -> a synchronous
 * file object's lock -> the VPB spin lock / the request table lock / the cancel
 * spin lock (never nested in each other).
 */
#pragma once

#include "base/spin.h"
#include "ke/thread.h"
#include "ob/object.h"

#include <km/io.h>
#include <km/fsrtl.h>

#include <atomic>
#include <string>
#include <vector>

struct _KPROCESS;

namespace io {

constexpr ULONG kSystemBufferTag = POOL_TAG('I', 'o', 'S', 'B');

/* ---- Devices (device.cpp) ---------------------------------------------------------------- */

struct DeviceState {
    const void *creator = nullptr;             /* the thread that made it (a PKTHREAD) */
    bool deletePending = false;
    bool machineOwned = false;                 /* a device of the stand-in's own drivers (host memory) */
    PSECURITY_DESCRIPTOR descriptor = nullptr; /* self-relative, pool ("IoSd"); host memory when machine-owned */
};

DeviceState *StateOf(PDEVICE_OBJECT device);
/* Guards the drivers' device lists and the device stacks. */
base::SpinLock &DeviceListLock();
ob::ObjectType *DeviceType();
/*
 * IoCreateDevice's body. machineOwned: a device of the stand-in's own drivers, made at
 * boot, in host memory and left out of the audits (no type that gets a VPB).
 */
NTSTATUS CreateDeviceObject(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                            ULONG characteristics, BOOLEAN exclusive, bool machineOwned, PDEVICE_OBJECT *device);
/* The device at the top of the stack attached above this one (IoGetAttachedDevice). */
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
/* Whether the device can take new opens (not initialising, not deleted). */
bool AcceptsOpens(PDEVICE_OBJECT device);

/* ---- Drivers (driver_load.cpp) ------------------------------------------------------------- */

/* A device of an unloading driver is gone: the last one lets the driver's image go. */
void DriverDeviceDeleted(PDRIVER_OBJECT driver);
/*
 * Sets up the driver object of one of the stand-in's own drivers (host memory, made at
 * boot): its name, its extension, and every major function sent to unsupported.
 */
void InitializeMachineDriver(PDRIVER_OBJECT driver, PDRIVER_EXTENSION extension, PCWSTR name,
                             PDRIVER_DISPATCH unsupported);

/* ---- Volume parameter blocks and the mount path (vpb.cpp) ---------------------------------- */

/*
 * The mounted VPB of a device, with one more reference for a new file object; mounts
 * a file system first when none is mounted. STATUS_UNRECOGNIZED_VOLUME when no
 * registered file system takes the volume.
 */
NTSTATUS ReferenceMountedVpb(PDEVICE_OBJECT realDevice, PVPB *vpb);
/* Drops a file object's VPB reference; a VPB that was swapped out of its device goes with its last one. */
void DereferenceVpb(PVPB vpb);

/* ---- File objects (file.cpp) ------------------------------------------------------------- */

struct FileState {
    bool opened = false;       /* the create succeeded: close is owed (cleanup too, once a handle was made) */
    bool cleanupSent = false;
    bool unlockAllSent = false;
    struct _KPROCESS *process = nullptr;
};

ob::ObjectType *FileType();
FileState *StateOf(PFILE_OBJECT file);
/* A new file object on a device (referenced once, with references on the device). */
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device);
/* Gives a file object its name (pool, freed with the file object). */
NTSTATUS SetFileObjectName(PFILE_OBJECT file, const std::u16string &name);
/* The synchronous file object's lock: every call on the handle runs under it, as on Windows. */
void AcquireFileObjectLock(PFILE_OBJECT file);
void ReleaseFileObjectLock(PFILE_OBJECT file);
/* The device a request on the file object goes to (IoGetRelatedDeviceObject). */
PDEVICE_OBJECT TargetOf(PFILE_OBJECT file);

/* ---- Requests (irp.cpp) ---------------------------------------------------------------- */

struct Request {
    PIRP irp = nullptr;
    USHORT irpSize = 0;              /* kept here: the IRP is poisoned once completed */
    struct _KPROCESS *process = nullptr; /* referenced while the request lives */
    struct _KTHREAD *thread = nullptr;
    PFILE_OBJECT file = nullptr;      /* referenced while the request lives (but for a close) */
    bool referencedFile = false;
    PIO_STATUS_BLOCK userIosb = nullptr;
    PKEVENT userEvent = nullptr;       /* event to signal at completion */
    bool referencedEvent = false;      /* userEvent is an object reference to drop */
    PVOID outputBuffer = nullptr;      /* where buffered output goes back */
    ULONG outputLength = 0;
    bool copyBack = false;
    bool keepAuxiliary = false;        /* the issuer takes the auxiliary buffer (create) */
    PVOID auxiliary = nullptr;

    KEVENT done;                       /* signalled when the request is finished */
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool pendingMarked = false;        /* the first driver's stack location had SL_PENDING_RETURNED */
    bool topCleared = false;           /* completion has recorded and cleared that location */
    bool pendingCheckDeferred = false; /* STATUS_PENDING came back before the location was marked */
    PDEVICE_OBJECT checkedDevice = nullptr;
    int cancelHolds = 0;               /* canceller calls under way (lock): completion leaves the IRP */
    bool poisonDeferred = false;       /* unpoisoned for them; the last one poisons it */
    std::atomic<int> references{1};
    LIST_ENTRY processEntry;
};

/*
 * A request for an I/O-manager IRP: IoAllocateIrp for the device's stack size, the
 * record, the requestor mode and the first stack location (returned in *stack).
 * Null when the pool is exhausted.
 */
Request *NewRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, KPROCESSOR_MODE mode, UCHAR major, UCHAR minor,
                    PIO_STACK_LOCATION *stack, bool referenceFile = true);
/* Drops a request that was never sent (both the issuer's and the completion's holds). */
void DiscardRequest(Request *request);
/*
 * Sends a new request to its driver and checks the dispatch against the completion
 * as the verifier does. Returns the driver's status (STATUS_PENDING when it pends).
 */
NTSTATUS CallDriverChecked(PDEVICE_OBJECT device, Request *request);
/* Waits for a pended request to finish and returns its final status. */
NTSTATUS WaitForRequest(Request *request);
/* Drops the issuer's hold on a request (the IRP goes when both issuer and completion let go). */
void ReleaseRequest(Request *request);
/* Sends a request and waits for it: the body of every synchronous call. */
NTSTATUS CallDriverAndWait(PDEVICE_OBJECT device, Request *request, ULONG_PTR *information = nullptr);

/* Process exit: cancels the process's requests and waits (bounded) for them to finish. */
void CancelProcessRequests(struct _KPROCESS *process);
/* Cancels the process's outstanding requests (only the one whose user status block is at
 * userIosb, when given; only those of one thread and file object, when given) without
 * waiting; returns how many got IoCancelIrp. */
size_t CancelRequests(struct _KPROCESS *process, const void *userIosb, struct _KTHREAD *thread = nullptr,
                      PFILE_OBJECT file = nullptr);
/* Requests of the process still outstanding (of one thread and file object, when given). */
size_t OutstandingRequests(struct _KPROCESS *process, struct _KTHREAD *thread = nullptr, PFILE_OBJECT file = nullptr);

/* ---- Buffers ------------------------------------------------------------------------------- */

/* Whether a user-mode caller may pass this range (it lies in its process's user space). */
bool IsUserRange(const void *address, size_t length);
/*
 * Gives a request the caller's data buffer by the target device's I/O method:
 * DO_BUFFERED_IO a system buffer (filled from the caller's when the device reads
 * it, copied back at completion when the device fills it), DO_DIRECT_IO a locked
 * MDL, otherwise the caller's own pointer in UserBuffer.
 */
NTSTATUS AttachDataBuffer(Request *request, PDEVICE_OBJECT device, PVOID buffer, ULONG length, bool deviceWrites);
/* A system buffer whatever the device's method (information classes): input copied in, output copied back. */
NTSTATUS AttachSystemBuffer(Request *request, PVOID buffer, ULONG length, bool copyIn, bool copyBack);
/* The four control-code methods (device and file-system controls). */
NTSTATUS AttachControlBuffers(Request *request, PIO_STACK_LOCATION stack, ULONG code, PVOID input,
                              ULONG inputLength, PVOID output, ULONG outputLength);

/* ---- The frame of a native file call (call.cpp) --------------------------------------------- */

struct FileCall {
    KPROCESSOR_MODE mode = KernelMode;
    PFILE_OBJECT file = nullptr;      /* referenced */
    ACCESS_MASK granted = 0;          /* the handle's access */
    PKEVENT event = nullptr;          /* the caller's event, referenced */
    PIO_STATUS_BLOCK iosb = nullptr;
    PDEVICE_OBJECT device = nullptr;  /* where requests go */
    bool synchronous = false;         /* FO_SYNCHRONOUS_IO: serialised on the file object's lock */
    bool locked = false;
};

/*
 * Begins a call on a file handle: the status block must be writable by the caller,
 * the handle must name a file object and (from user mode) grant `required`; the
 * caller's event is referenced and cleared; a synchronous file object's lock is taken.
 */
NTSTATUS BeginFileCall(FileCall *call, HANDLE handle, ACCESS_MASK required, HANDLE event, PIO_STATUS_BLOCK iosb);
/* Ends it: the lock and the references go. */
void EndFileCall(FileCall *call);
/* A request of the call: IRP fields as the native routines fill them (status block, event, thread). */
Request *NewFileRequest(FileCall *call, UCHAR major, UCHAR minor, PIO_STACK_LOCATION *stack);
/*
 * Sends it. A synchronous file object (or waitAlways, the calls that are synchronous
 * for every handle) waits for the outcome; otherwise STATUS_PENDING goes back to
 * the caller, who learns the outcome from the status block and the event.
 */
NTSTATUS SendFileRequest(FileCall *call, Request *request, bool waitAlways);
/*
 * The common tail of a native file call: a request of the call, prepared by
 * prepare(request, stack) (its parameters and buffers; a failure status drops the
 * request unsent), sent as SendFileRequest sends it; the call ends either way.
 */
template <typename Prepare>
NTSTATUS IssueFileRequest(FileCall *call, UCHAR major, UCHAR minor, bool waitAlways, Prepare prepare)
{
    PIO_STACK_LOCATION stack;
    Request *request = NewFileRequest(call, major, minor, &stack);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (request != nullptr) {
        status = prepare(request, stack);
        if (NT_SUCCESS(status))
            status = SendFileRequest(call, request, waitAlways);
        else
            DiscardRequest(request);
    }
    EndFileCall(call);
    return status;
}
/* Reports an outcome the I/O manager produced itself (fast I/O, classes it answers). */
void CompleteWithoutRequest(FileCall *call, NTSTATUS status, ULONG_PTR information);
/* The fast I/O table of the driver behind a device, when it provides the entry at offset. */
PFAST_IO_DISPATCH FastIoTable(PDEVICE_OBJECT device, size_t entryOffset);

/* The Zw form of a native call: the call made with previous mode kernel. */
template <typename Fn>
NTSTATUS AsKernelCall(Fn fn)
{
    ke::ThreadState &state = ke::CurrentThreadState();
    KPROCESSOR_MODE previous = state.previousMode;
    state.previousMode = KernelMode;
    NTSTATUS status = fn();
    state.previousMode = previous;
    return status;
}

/* ---- Locks held through file objects (lock.cpp) --------------------------------------------- */

/* A process closed its last handle of a file object others still hold: its locks go. */
void UnlockAllForProcess(PFILE_OBJECT file, struct _KPROCESS *process);

/* ---- Registrations (registration.cpp) --------------------------------------------------------- */

/* Findings about a driver that unloaded leaving things registered or created. */
void AuditDriverUnload(PDRIVER_OBJECT driver, std::vector<std::string> *findings);
/* The registered file systems that mount volumes of a device type, referenced, most recent first. */
std::vector<PDEVICE_OBJECT> FileSystemsFor(DEVICE_TYPE type);
/* The file-system filter callbacks a driver registered (a copy); false when none. */
bool FilterCallbacksOf(PDRIVER_OBJECT driver, FS_FILTER_CALLBACKS *callbacks);

} // namespace io
