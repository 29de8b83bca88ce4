/*
 * I/O manager internals shared by its files: the stand-in's private state of
 * devices and file objects, and the record of every request the I/O manager
 * issues (so that completion can finish it the way the caller asked, and the
 * verifier can check the driver's dispatch against its completion).
 */
#pragma once

#include "ke/thread.h"
#include "ob/object.h"

#include <km/io.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

struct _KPROCESS;

namespace io {

/* ---- Devices (device.cpp) ---------------------------------------------------------------- */

struct DeviceState {
    bool deletePending = false;
    PSECURITY_DESCRIPTOR descriptor = nullptr; /* self-relative, pool ("IoSd") */
};

DeviceState *StateOf(PDEVICE_OBJECT device);
ob::ObjectType *DeviceType();
/* The device at the top of the stack attached above this one. */
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

/* ---- File objects (file.cpp) ------------------------------------------------------------- */

struct FileState {
    bool opened = false; /* the create succeeded: cleanup and close are owed */
    struct _KPROCESS *process = nullptr;
};

ob::ObjectType *FileType();
FileState *StateOf(PFILE_OBJECT file);
/* A new file object on a device (referenced once, with a reference on the device). */
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, const std::u16string &remainingName);

/* ---- Requests (irp.cpp) ---------------------------------------------------------------- */

struct Request {
    PIRP irp = nullptr;
    USHORT irpSize = 0;              /* kept here: the IRP is poisoned once completed */
    struct _KPROCESS *process = nullptr;
    PFILE_OBJECT file = nullptr;      /* referenced while the request lives (but for a close) */
    bool referencedFile = false;
    bool threaded = true;
    PIO_STATUS_BLOCK userIosb = nullptr;
    bool userIosbInUserSpace = false;
    PKEVENT userEvent = nullptr;       /* kernel event to signal at completion */
    bool referencedEvent = false;      /* userEvent is an object reference to drop */
    PVOID outputBuffer = nullptr;      /* where buffered output goes back */
    ULONG outputLength = 0;
    bool copyBack = false;

    KEVENT done;                       /* signalled when the request is finished */
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool pendingMarked = false;        /* the top stack location had SL_PENDING_RETURNED */
    int cancelHolds = 0;               /* canceller calls under way (lock): completion leaves the IRP */
    bool poisonDeferred = false;       /* unpoisoned for them; the last one poisons it */
    std::atomic<int> references{1};
    LIST_ENTRY processEntry;
};

/*
 * A request for an I/O-manager IRP: IoAllocateIrp for the device's stack size, the
 * record, the requestor mode and the first stack location (returned in *stack).
 */
Request *NewRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, KPROCESSOR_MODE mode, UCHAR major, UCHAR minor,
                    PIO_STACK_LOCATION *stack);
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
 * userIosb, when given) without waiting; returns how many got IoCancelIrp. */
size_t CancelRequests(struct _KPROCESS *process, const void *userIosb);

/* ---- Buffers (buffers.cpp) ----------------------------------------------------------------- */

/* Whether a user-mode caller may pass this range (it lies in its process's user space). */
bool IsUserRange(const void *address, size_t length);

/* ---- Registrations (registration.cpp) --------------------------------------------------------- */

/* Findings about a driver that unloaded leaving things registered or created. */
void AuditDriverUnload(PDRIVER_OBJECT driver, std::vector<std::string> *findings);

} // namespace io
