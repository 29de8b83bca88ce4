/*
 * IRPs: allocation, sending, completion and cancellation, and the records of the
 * requests the I/O manager issues itself.
 *
 * A request the I/O manager issues (an open, a device control, a cleanup, a
 * close, a threaded driver request) has a record beside its IRP. Completion
 * finishes it the way the issuer asked (buffered output copied back, status block
 * written, event signalled) and the IRP memory goes once both the completion and
 * the issuer's dispatch call have let go of it. In builds with the address
 * sanitizer the IRP is poisoned at completion, so a driver that touches an IRP it
 * has completed is caught at once.
 *
 * The verifier checks each dispatch against the completion: a status returned
 * must equal the IRP's final status unless it is STATUS_PENDING; STATUS_PENDING is
 * returned exactly when the IRP was marked pending; an IRP is completed once; no
 * lock is held when a dispatch routine returns to the I/O manager.
 */
#include "io/internal.h"

#include "base/spin.h"
#include "ke/dispatcher.h"
#include "ke/verifier.h"
#include "mm/user_arena.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/list.h>

#include <chrono>
#include <cstring>
#include <unordered_map>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define VRL_POISON(address, size) __asan_poison_memory_region((address), (size))
#define VRL_UNPOISON(address, size) __asan_unpoison_memory_region((address), (size))
#else
#define VRL_POISON(address, size) ((void)(address), (void)(size))
#define VRL_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace io {
namespace {

constexpr ULONG kIrpTag = POOL_TAG('I', 'r', 'p', ' ');
constexpr ULONG kSystemBufferTag = POOL_TAG('I', 'o', 'S', 'B');

/* Records by IRP, and the lock over them and the processes' pending lists. */
struct Requests {
    base::SpinLock lock;
    std::unordered_map<const void *, Request *> byIrp;
    KSPIN_LOCK cancelLock = 0;
    bool cancelLockReady = false;
};

Requests &Table()
{
    static Requests requests;
    return requests;
}

Request *RecordOf(PIRP irp)
{
    auto &table = Table();
    base::SpinGuard guard(table.lock);
    auto it = table.byIrp.find(irp);
    return it == table.byIrp.end() ? nullptr : it->second;
}

void FreeIrpMemory(PIRP irp, USHORT size)
{
    VRL_UNPOISON(irp, size);
    irp->Type = 0;
    ExFreePoolWithTag(irp, kIrpTag);
}

/* Finishes a completed I/O-manager request: the issuer's view of its outcome. */
void FinishRequest(Request *request)
{
    PIRP irp = request->irp;
    request->status = irp->IoStatus.Status;
    request->information = irp->IoStatus.Information;

    // Buffered output goes back for success and warning statuses, never for errors.
    if (request->copyBack && !NT_ERROR(request->status) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        ULONG_PTR bytes = request->information < request->outputLength ? request->information : request->outputLength;
        if (bytes != 0)
            memcpy(request->outputBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
    }
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    while (PMDL mdl = irp->MdlAddress) {
        irp->MdlAddress = mdl->Next;
        mdl->Next = nullptr;
        if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
            MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
        if (mdl->MdlFlags & MDL_PAGES_LOCKED)
            MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    if (request->userIosb != nullptr) {
        request->userIosb->Status = request->status;
        request->userIosb->Information = request->information;
    }
    if (irp->Flags & IRP_CREATE_OPERATION)
        request->file->FinalStatus = request->status;

    bool poisonNow;
    {
        auto &table = Table();
        base::SpinGuard guard(table.lock);
        request->completed = true;
        if (request->processEntry.Flink != nullptr)
            RemoveEntryList(&request->processEntry);
        request->processEntry.Flink = request->processEntry.Blink = nullptr;
        // A canceller that picked the request up before it completed may still be inside
        // IoCancelIrp; the last one of them poisons the IRP instead.
        poisonNow = request->cancelHolds == 0;
        request->poisonDeferred = !poisonNow;
    }
    if (request->userEvent != nullptr)
        KeSetEvent(request->userEvent, 0, FALSE);
    if (request->file != nullptr && !(irp->Flags & (IRP_CREATE_OPERATION | IRP_CLOSE_OPERATION)))
        KeSetEvent(&request->file->Event, 0, FALSE);
    KeSetEvent(&request->done, 0, FALSE);
    if (poisonNow)
        VRL_POISON(irp, request->irpSize);
    ReleaseRequest(request);
}

void CheckDispatchAgainstCompletion(PDEVICE_OBJECT device, Request *request, NTSTATUS status, bool markedNow)
{
    if (!verifier::Enabled())
        return;
    auto &table = Table();
    bool completed, pendingMarked;
    NTSTATUS final;
    {
        base::SpinGuard guard(table.lock);
        completed = request->completed;
        pendingMarked = completed ? request->pendingMarked : markedNow;
        final = request->status;
    }
    if (status == STATUS_PENDING) {
        if (!pendingMarked)
            KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_PENDING_NOT_MARKED, (ULONG_PTR)device,
                         (ULONG_PTR)request->irp, 0);
        return;
    }
    if (!completed)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_RETURNED_WITHOUT_COMPLETING, (ULONG_PTR)device,
                     (ULONG_PTR)request->irp, (ULONG_PTR)(ULONG)status);
    if (pendingMarked)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_MARKED_PENDING_NOT_RETURNED, (ULONG_PTR)device,
                     (ULONG_PTR)request->irp, (ULONG_PTR)(ULONG)status);
    if (final != status)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_STATUS_MISMATCH, (ULONG_PTR)(ULONG)status,
                     (ULONG_PTR)(ULONG)final, (ULONG_PTR)request->irp);
}

void AuditRequests(machine::AuditReport &report)
{
    auto &table = Table();
    base::SpinGuard guard(table.lock);
    if (!table.byIrp.empty())
        report.findings.push_back("io: " + std::to_string(table.byIrp.size()) + " request(s) never finished");
}

void BootRequests()
{
    auto &table = Table();
    KeInitializeSpinLock(&table.cancelLock);
    table.cancelLockReady = true;
}

const bool registered = [] {
    machine::RegisterComponent({"requests", machine::kOrderIo, BootRequests, AuditRequests, nullptr});
    return true;
}();

} // namespace

Request *NewRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, KPROCESSOR_MODE mode, UCHAR major, UCHAR minor,
                    PIO_STACK_LOCATION *stack)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    auto *request = new Request();
    request->irp = irp;
    request->irpSize = irp->Size;
    request->process = ke::CurrentProcess();
    request->file = file;
    // A close is sent while its file object is being deleted: it holds no reference.
    request->referencedFile = file != nullptr && major != IRP_MJ_CLOSE;
    if (request->referencedFile)
        ob::Reference(file);
    request->references = 2; /* the issuer and the completion */
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    irp->RequestorMode = mode;
    irp->Tail.Overlay.Thread = ke::CurrentThread();
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->FileObject = file;
    *stack = next;
    auto &table = Table();
    base::SpinGuard guard(table.lock);
    table.byIrp[irp] = request;
    InsertTailList(&request->process->PendingIrps, &request->processEntry);
    return request;
}

void ReleaseRequest(Request *request)
{
    if (request->references.fetch_sub(1) != 1)
        return;
    {
        auto &table = Table();
        base::SpinGuard guard(table.lock);
        table.byIrp.erase(request->irp);
        if (request->processEntry.Flink != nullptr)
            RemoveEntryList(&request->processEntry);
    }
    if (request->referencedEvent)
        ob::Dereference(request->userEvent);
    if (request->referencedFile)
        ob::Dereference(request->file);
    FreeIrpMemory(request->irp, request->irpSize);
    delete request;
}

NTSTATUS CallDriverChecked(PDEVICE_OBJECT device, Request *request)
{
    PIRP irp = request->irp;
    PIO_STACK_LOCATION top = IoGetNextIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(device, irp);
    // The IRP may already be completed (and poisoned): look only at what the record saw,
    // or, while it is outstanding, at the top stack location the driver owns.
    bool markedNow = false;
    {
        auto &table = Table();
        base::SpinGuard guard(table.lock);
        if (!request->completed)
            markedNow = (top->Control & SL_PENDING_RETURNED) != 0;
    }
    CheckDispatchAgainstCompletion(device, request, status, markedNow);
    verifier::CheckNoLocksHeld((uintptr_t)irp);
    return status;
}

NTSTATUS WaitForRequest(Request *request)
{
    KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, nullptr);
    return request->status;
}

NTSTATUS CallDriverAndWait(PDEVICE_OBJECT device, Request *request, ULONG_PTR *information)
{
    NTSTATUS status = CallDriverChecked(device, request);
    if (status == STATUS_PENDING || request->completed)
        status = WaitForRequest(request);
    if (information != nullptr)
        *information = request->information;
    ReleaseRequest(request);
    return status;
}

size_t CancelRequests(struct _KPROCESS *process, const void *userIosb)
{
    auto &table = Table();
    std::vector<Request *> pending;
    {
        base::SpinGuard guard(table.lock);
        for (PLIST_ENTRY e = process->PendingIrps.Flink; e != &process->PendingIrps; e = e->Flink) {
            Request *request = CONTAINING_RECORD(e, Request, processEntry);
            if (request->completed)
                continue;
            if (userIosb != nullptr && static_cast<const void *>(request->userIosb) != userIosb)
                continue;
            // The reference keeps the IRP's memory, the hold keeps it unpoisoned, should the
            // driver complete it before IoCancelIrp below looks at it.
            request->references++;
            request->cancelHolds++;
            pending.push_back(request);
        }
    }
    for (Request *request : pending) {
        IoCancelIrp(request->irp);
        {
            base::SpinGuard guard(table.lock);
            if (--request->cancelHolds == 0 && request->poisonDeferred) {
                request->poisonDeferred = false;
                VRL_POISON(request->irp, request->irpSize);
            }
        }
        ReleaseRequest(request);
    }
    return pending.size();
}

void CancelProcessRequests(struct _KPROCESS *process)
{
    auto &table = Table();
    for (int attempt = 0; attempt < 500; ++attempt) {
        CancelRequests(process, nullptr);
        {
            base::SpinGuard guard(table.lock);
            if (IsListEmpty(&process->PendingIrps))
                return;
        }
        LARGE_INTEGER tenMs;
        tenMs.QuadPart = -100000;
        KeDelayExecutionThread(KernelMode, FALSE, &tenMs);
    }
}

bool IsUserRange(const void *address, size_t length)
{
    if (length == 0)
        return true;
    return mm::ArenaContains(ke::CurrentProcess()->Arena, address, length);
}

} // namespace io

extern "C" {

NTKERNELAPI PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    ke::CheckIrql((const void *)&IoAllocateIrp, DISPATCH_LEVEL);
    if (StackSize <= 0)
        return nullptr;
    USHORT size = (USHORT)(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
    auto *irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPoolNx, size, io::kIrpTag));
    if (irp == nullptr)
        return nullptr;
    memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = StackSize;
    irp->CurrentLocation = (CHAR)(StackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
    InitializeListHead(&irp->ThreadListEntry);
    return irp;
}

NTKERNELAPI VOID NTAPI IoFreeIrp(PIRP Irp)
{
    if (Irp->Type != IO_TYPE_IRP)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x01, (ULONG_PTR)Irp, 0, 0);
    if (io::RecordOf(Irp) != nullptr || !IsListEmpty(&Irp->ThreadListEntry))
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x02, (ULONG_PTR)Irp, 0, 0);
    io::FreeIrpMemory(Irp, Irp->Size);
}

NTKERNELAPI VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    USHORT size = Irp->Size;
    CCHAR stackSize = Irp->StackCount;
    memset(Irp, 0, size);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = size;
    Irp->StackCount = stackSize;
    Irp->CurrentLocation = (CHAR)(stackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + stackSize;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->IoStatus.Status = Iostatus;
}

NTKERNELAPI NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x10, irql, 0, 0);
    if (Irp->Type != IO_TYPE_IRP)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x03, (ULONG_PTR)Irp, 0, 0);
    if (DeviceObject == nullptr || DeviceObject->Type != IO_TYPE_DEVICE)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x04, (ULONG_PTR)DeviceObject, 0, 0);
    Irp->CurrentLocation--;
    if (Irp->CurrentLocation <= 0)
        KeBugCheckEx(NO_MORE_IRP_STACK_LOCATIONS, (ULONG_PTR)Irp, 0, 0, 0);
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH routine = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    NTSTATUS status = routine(DeviceObject, Irp);
    KIRQL after = KeGetCurrentIrql();
    if (after != irql)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x05, (ULONG_PTR)DeviceObject, irql, after);
    return status;
}

NTKERNELAPI VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    (void)PriorityBoost;
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x0E, irql, (ULONG_PTR)Irp, 0);
    io::Request *request = io::RecordOf(Irp);
    if (Irp->Type != IO_TYPE_IRP || (request != nullptr && request->completed) ||
        Irp->CurrentLocation > (CHAR)(Irp->StackCount + 1))
        KeBugCheckEx(MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0);
    if (Irp->IoStatus.Status == STATUS_PENDING || Irp->IoStatus.Status == -1)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x06, (ULONG_PTR)(ULONG)Irp->IoStatus.Status,
                     (ULONG_PTR)Irp, 0);
    if (Irp->CancelRoutine != nullptr)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x07, (ULONG_PTR)Irp->CancelRoutine, (ULONG_PTR)Irp, 0);
    verifier::CheckNoLocksHeld((uintptr_t)Irp);

    // Walk the stack locations from the current one up, running completion routines.
    bool topPending = false;
    for (PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
         Irp->CurrentLocation <= Irp->StackCount; stack++) {
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        if (Irp->CurrentLocation == Irp->StackCount)
            topPending = Irp->PendingReturned;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = stack->CompletionRoutine != nullptr &&
                      ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        memset(stack, 0, sizeof(*stack));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    if (request != nullptr) {
        {
            auto &table = io::Table();
            base::SpinGuard guard(table.lock);
            request->pendingMarked = topPending || Irp->PendingReturned;
        }
        io::FinishRequest(request);
    }
}

NTKERNELAPI VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&io::Table().cancelLock, Irql);
}

NTKERNELAPI VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&io::Table().cancelLock, Irql);
}

NTKERNELAPI BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    ke::CheckIrql((const void *)&IoCancelIrp, DISPATCH_LEVEL);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp); /* releases the cancel spin lock */
    return TRUE;
}

NTKERNELAPI PIRP NTAPI IoGetTopLevelIrp(VOID)
{
    return reinterpret_cast<PIRP>(ke::CurrentThreadState().topLevelIrpValue);
}

NTKERNELAPI VOID NTAPI IoSetTopLevelIrp(PIRP Irp)
{
    ke::CurrentThreadState().topLevelIrpValue = reinterpret_cast<ULONG_PTR>(Irp);
}

NTKERNELAPI PEPROCESS NTAPI IoGetRequestorProcess(PIRP Irp)
{
    if (io::Request *request = io::RecordOf(Irp))
        return request->process;
    return Irp->Tail.Overlay.Thread != nullptr ? Irp->Tail.Overlay.Thread->Process : nullptr;
}

NTKERNELAPI ULONG NTAPI IoGetRequestorProcessId(PIRP Irp)
{
    PEPROCESS process = IoGetRequestorProcess(Irp);
    return process != nullptr ? (ULONG)process->Id : 0;
}

NTKERNELAPI BOOLEAN NTAPI IoIsOperationSynchronous(PIRP Irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    bool synchronous = (file != nullptr && (file->Flags & FO_SYNCHRONOUS_IO)) ||
                       (Irp->Flags & IRP_SYNCHRONOUS_API) || (Irp->Flags & IRP_SYNCHRONOUS_PAGING_IO);
    bool asynchronousPaging = (Irp->Flags & IRP_PAGING_IO) && !(Irp->Flags & IRP_SYNCHRONOUS_PAGING_IO);
    return synchronous && !asynchronousPaging ? TRUE : FALSE;
}

NTKERNELAPI PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                     PVOID InputBuffer, ULONG InputBufferLength,
                                                     PVOID OutputBuffer, ULONG OutputBufferLength,
                                                     BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                                     PIO_STATUS_BLOCK IoStatusBlock)
{
    ke::CheckIrql((const void *)&IoBuildDeviceIoControlRequest, PASSIVE_LEVEL);
    PIO_STACK_LOCATION stack;
    io::Request *request =
        io::NewRequest(DeviceObject, nullptr, KernelMode,
                       InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, 0, &stack);
    if (request == nullptr)
        return nullptr;
    request->references = 1; /* the driver sends it; completion alone finishes it */
    PIRP irp = request->irp;
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_BUFFERED || method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
        ULONG length = method == METHOD_BUFFERED && OutputBufferLength > InputBufferLength ? OutputBufferLength
                                                                                          : InputBufferLength;
        if (length != 0) {
            irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, length, io::kSystemBufferTag);
            if (irp->AssociatedIrp.SystemBuffer == nullptr) {
                request->references = 1;
                io::ReleaseRequest(request);
                return nullptr;
            }
            if (InputBufferLength != 0)
                memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (method == METHOD_BUFFERED) {
            irp->UserBuffer = OutputBuffer;
            request->outputBuffer = OutputBuffer;
            request->outputLength = OutputBufferLength;
            request->copyBack = OutputBufferLength != 0;
            if (OutputBufferLength != 0)
                irp->Flags |= IRP_INPUT_OPERATION;
        } else if (OutputBufferLength != 0) {
            PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            if (mdl == nullptr) {
                io::ReleaseRequest(request);
                return nullptr;
            }
            mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
            mdl->MappedSystemVa = OutputBuffer;
        }
    } else {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    request->userIosb = IoStatusBlock;
    request->userEvent = Event;
    return irp;
}

} // extern "C"
