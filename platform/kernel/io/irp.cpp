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
 * lock is held when a dispatch routine returns to the I/O manager, and no spin lock
 * when an IRP is completed (file systems complete requests holding resources).
 *
 * As on Windows, an error completed without pending leaves the caller's status
 * block and event alone: the status comes back as the call's return value.
 * A request keeps its process (and so the process's user memory) alive until it
 * is finished, so a completion that comes after the process exited still writes
 * into memory that exists.
 */
#include "io/internal.h"

#include "base/spin.h"
#include "ke/dispatcher.h"
#include "ke/verifier.h"
#include "mm/user_arena.h"

#include "machine.h"

#include <km/bugcheck.h>
#include <km/list.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
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

/*
 * Every IRP is preceded by a header the I/O manager keeps: the record of the request
 * it carries, if the I/O manager issued it. A driver's IRP (IoAllocateIrp) is a pool
 * block of header and IRP; a request's IRP sits in one block with its record, taken
 * from the processor's cache of such blocks, so a request costs no heap or pool call.
 */
struct alignas(16) IrpHeader {
    Request *record; /* set before the IRP is sent, cleared when its request ends */
    bool requestBlock;
};

IrpHeader *HeaderOf(PIRP irp)
{
    return reinterpret_cast<IrpHeader *>(irp) - 1;
}

/* The request blocks' cache: records parked per processor, as Windows keeps IRP lookasides. */
constexpr CCHAR kCachedStackSize = 8;
constexpr size_t kRequestOffset = 0;
constexpr size_t kHeaderOffset = (sizeof(Request) + 15) & ~size_t{15};
constexpr size_t kRequestBlockSize =
    kHeaderOffset + sizeof(IrpHeader) + sizeof(IRP) + kCachedStackSize * sizeof(IO_STACK_LOCATION);
constexpr uint32_t kCacheProcessors = 64;
constexpr uint32_t kCacheDepth = 16;

struct alignas(64) RequestCache {
    base::SpinLock lock;
    uint32_t count = 0;
    void *blocks[kCacheDepth] = {};
};

/* The lock over the processes' pending lists and the records' completion state. */
struct Requests {
    base::SpinLock lock;
    std::atomic<uint64_t> live{0}; /* requests not yet ended */
    KSPIN_LOCK cancelLock = 0;
    bool cancelLockReady = false;
    RequestCache caches[kCacheProcessors];
};

Requests &Table()
{
    static Requests requests;
    return requests;
}

Request *RecordOf(PIRP irp)
{
    return HeaderOf(irp)->record;
}

/*
 * Sets up the memory of a fresh IRP of stackSize locations, as IoAllocateIrp
 * returns it: zeroed, its size, stack count and current location those of an
 * unsent IRP.
 */
void InitializeIrpMemory(PIRP irp, USHORT size, CCHAR stackSize)
{
    memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = (CHAR)(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    InitializeListHead(&irp->ThreadListEntry);
}

/* Takes a request block from the processor's cache or, when it is empty, from the heap. */
void *TakeRequestBlock(size_t size)
{
    if (size <= kRequestBlockSize) {
        RequestCache &cache = Table().caches[ke::CurrentThreadState().processor % kCacheProcessors];
        void *block = nullptr;
        {
            base::SpinGuard guard(cache.lock);
            if (cache.count != 0)
                block = cache.blocks[--cache.count];
        }
        if (block != nullptr) {
            VRL_UNPOISON(block, kRequestBlockSize);
            return block;
        }
        size = kRequestBlockSize;
    }
    return ::operator new(size, std::align_val_t{16}, std::nothrow);
}

/* Parks a request block in the processor's cache, or frees it when the cache is full. */
void GiveRequestBlock(void *block, size_t size)
{
    if (size <= kRequestBlockSize) {
        VRL_POISON(block, kRequestBlockSize);
        RequestCache &cache = Table().caches[ke::CurrentThreadState().processor % kCacheProcessors];
        base::SpinGuard guard(cache.lock);
        if (cache.count < kCacheDepth) {
            cache.blocks[cache.count++] = block;
            return;
        }
        VRL_UNPOISON(block, kRequestBlockSize);
    }
    ::operator delete(block, std::align_val_t{16});
}

void DrainRequestCaches()
{
    for (RequestCache &cache : Table().caches) {
        base::SpinGuard guard(cache.lock);
        while (cache.count != 0) {
            void *block = cache.blocks[--cache.count];
            VRL_UNPOISON(block, kRequestBlockSize);
            ::operator delete(block, std::align_val_t{16});
        }
    }
}

size_t RequestBlockSize(CCHAR stackSize)
{
    return kHeaderOffset + sizeof(IrpHeader) + sizeof(IRP) + (size_t)stackSize * sizeof(IO_STACK_LOCATION);
}

/* Frees a driver's IRP: its pool block of header and IRP. */
void FreeIrpMemory(PIRP irp, USHORT size)
{
    VRL_UNPOISON(irp, size);
    irp->Type = 0;
    ExFreePoolWithTag(HeaderOf(irp), kIrpTag);
}

/* Frees what the I/O manager attached to a request's IRP. */
void ReleaseIrpBuffers(Request *request)
{
    PIRP irp = request->irp;
    if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    // A paging request's MDL is the memory manager's: it frees it after the request.
    if (irp->Flags & IRP_PAGING_IO)
        irp->MdlAddress = nullptr;
    while (PMDL mdl = irp->MdlAddress) {
        irp->MdlAddress = mdl->Next;
        mdl->Next = nullptr;
        if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
            MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
        if (mdl->MdlFlags & MDL_PAGES_LOCKED)
            MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    // A driver's auxiliary buffer (a reparse buffer, a captured argument) is the I/O
    // manager's to free, whatever tag it was allocated with; a create keeps it for
    // its issuer to read first.
    if (irp->Tail.Overlay.AuxiliaryBuffer != nullptr) {
        if (request->keepAuxiliary)
            request->auxiliary = irp->Tail.Overlay.AuxiliaryBuffer;
        else
            ExFreePool(irp->Tail.Overlay.AuxiliaryBuffer);
        irp->Tail.Overlay.AuxiliaryBuffer = nullptr;
    }
}

/* Finishes a completed I/O-manager request: the issuer's view of its outcome. */
void FinishRequest(Request *request)
{
    PIRP irp = request->irp;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    // An error completed without pending goes back as the call's return value only.
    bool report = !NT_ERROR(status) || request->pendingMarked;

    // Buffered output goes back for success and warning statuses, never for errors.
    if (request->copyBack && !NT_ERROR(status) && irp->AssociatedIrp.SystemBuffer != nullptr) {
        ULONG_PTR bytes = information < request->outputLength ? information : request->outputLength;
        if (bytes != 0)
            memcpy(request->outputBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
    }
    ReleaseIrpBuffers(request);
    if (report && request->userIosb != nullptr) {
        request->userIosb->Status = status;
        request->userIosb->Information = information;
    }
    PFILE_OBJECT file = request->file;
    if (file != nullptr && (irp->Flags & IRP_CREATE_OPERATION))
        file->FinalStatus = status;

    bool poisonNow;
    {
        // The issuer's dispatch check reads the outcome under this lock.
        auto &table = Table();
        base::SpinGuard guard(table.lock);
        request->status = status;
        request->information = information;
        request->completed = true;
        if (request->processEntry.Flink != nullptr)
            RemoveEntryList(&request->processEntry);
        request->processEntry.Flink = request->processEntry.Blink = nullptr;
        // A canceller that picked the request up before it completed may still be inside
        // IoCancelIrp; the last one of them poisons the IRP instead.
        poisonNow = request->cancelHolds == 0;
        request->poisonDeferred = !poisonNow;
    }
    if (report) {
        // The file object is read before the caller's event is set: once it is, the
        // caller may go on to close the handle, and the cleanup writes the object's flags.
        bool fileRequest = file != nullptr && !(irp->Flags & (IRP_CREATE_OPERATION | IRP_CLOSE_OPERATION));
        bool setFileEvent = fileRequest && !(file->Flags & FO_SKIP_SET_EVENT);
        if (fileRequest) {
            // Requests on an asynchronous file object may complete at once on two
            // threads: the last status stands, as on Windows, with no torn store.
            std::atomic_ref<NTSTATUS>(file->FinalStatus).store(status, std::memory_order_relaxed);
        }
        if (request->userEvent != nullptr)
            KeSetEvent(request->userEvent, 0, FALSE);
        if (setFileEvent)
            KeSetEvent(&file->Event, 0, FALSE);
    }
    KeSetEvent(&request->done, 0, FALSE);
    if (poisonNow)
        VRL_POISON(irp, request->irpSize);
    ReleaseRequest(request);
}

void CheckDispatchAgainstCompletion(PDEVICE_OBJECT device, Request *request, NTSTATUS status)
{
    if (!verifier::Enabled())
        return;
    auto &table = Table();
    bool completed, marked;
    NTSTATUS final;
    {
        base::SpinGuard guard(table.lock);
        completed = request->completed;
        final = request->status;
        if (request->topCleared) {
            marked = request->pendingMarked;
        } else {
            // Still outstanding: the location is the first driver's, and completion, which
            // clears it, takes this lock first.
            PIRP irp = request->irp;
            PIO_STACK_LOCATION top = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount - 1;
            marked = (top->Control & SL_PENDING_RETURNED) != 0;
            if (status == STATUS_PENDING && !marked) {
                request->pendingCheckDeferred = true;
                request->checkedDevice = device;
                return;
            }
        }
    }
    if (status == STATUS_PENDING) {
        if (!marked)
            KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_PENDING_NOT_MARKED, (ULONG_PTR)device,
                         (ULONG_PTR)request->irp, 0);
        return;
    }
    if (!completed)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_RETURNED_WITHOUT_COMPLETING, (ULONG_PTR)device,
                     (ULONG_PTR)request->irp, (ULONG_PTR)(ULONG)status);
    if (marked)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_MARKED_PENDING_NOT_RETURNED, (ULONG_PTR)device,
                     (ULONG_PTR)request->irp, (ULONG_PTR)(ULONG)status);
    if (final != status)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_STATUS_MISMATCH, (ULONG_PTR)(ULONG)status,
                     (ULONG_PTR)(ULONG)final, (ULONG_PTR)request->irp);
}

void AuditRequests(machine::AuditReport &report)
{
    uint64_t live = Table().live.load(std::memory_order_acquire);
    if (live != 0)
        report.findings.push_back("io: " + std::to_string(live) + " request(s) never finished");
}

void BootRequests()
{
    auto &table = Table();
    KeInitializeSpinLock(&table.cancelLock);
    table.cancelLockReady = true;
}

const bool registered = [] {
    machine::RegisterComponent({"requests", machine::kOrderIo, BootRequests, AuditRequests, DrainRequestCaches});
    return true;
}();

} // namespace

Request *NewRequest(PDEVICE_OBJECT device, PFILE_OBJECT file, KPROCESSOR_MODE mode, UCHAR major, UCHAR minor,
                    PIO_STACK_LOCATION *stack, bool referenceFile)
{
    CCHAR stackSize = device->StackSize;
    if (stackSize <= 0 || machine::ShouldFail("ExAllocatePoolWithTag", kIrpTag))
        return nullptr;
    size_t blockSize = RequestBlockSize(stackSize);
    auto *block = static_cast<UCHAR *>(TakeRequestBlock(blockSize));
    if (block == nullptr)
        return nullptr;
    auto *header = reinterpret_cast<IrpHeader *>(block + kHeaderOffset);
    auto *irp = reinterpret_cast<PIRP>(header + 1);
    InitializeIrpMemory(irp, (USHORT)(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION)), stackSize);
    auto *request = new (block + kRequestOffset) Request();
    header->requestBlock = true;
    header->record = request;
    request->irp = irp;
    request->irpSize = irp->Size;
    request->process = ke::CurrentProcess();
    request->thread = ke::CurrentThread();
    // The process outlives its requests (the system process is permanent).
    if (!request->process->System)
        ob::Reference(request->process);
    request->file = file;
    // A close (and a cleanup owed at the same point) is sent while its file object is
    // being deleted: it holds no reference.
    request->referencedFile = file != nullptr && major != IRP_MJ_CLOSE && referenceFile;
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
    table.live.fetch_add(1, std::memory_order_relaxed);
    base::SpinGuard guard(table.lock);
    InsertTailList(&request->process->PendingIrps, &request->processEntry);
    return request;
}

void ReleaseRequest(Request *request)
{
    if (request->references.fetch_sub(1) != 1)
        return;
    // Completion unlinked a finished request already; the last reference is this one.
    if (request->processEntry.Flink != nullptr) {
        base::SpinGuard guard(Table().lock);
        RemoveEntryList(&request->processEntry);
    }
    if (!request->completed) {
        VRL_UNPOISON(request->irp, request->irpSize);
        ReleaseIrpBuffers(request); /* never sent */
    }
    if (request->auxiliary != nullptr)
        ExFreePool(request->auxiliary);
    if (request->referencedEvent)
        ob::Dereference(request->userEvent);
    if (request->referencedFile)
        ob::Dereference(request->file);
    if (!request->process->System)
        ob::Dereference(request->process);
    PIRP irp = request->irp;
    VRL_UNPOISON(irp, request->irpSize);
    irp->Type = 0;
    HeaderOf(irp)->record = nullptr;
    size_t blockSize = RequestBlockSize(irp->StackCount);
    request->~Request();
    GiveRequestBlock(reinterpret_cast<UCHAR *>(request) - kRequestOffset, blockSize);
    Table().live.fetch_sub(1, std::memory_order_release);
}

void DiscardRequest(Request *request)
{
    ReleaseRequest(request);
    ReleaseRequest(request);
}

NTSTATUS CallDriverChecked(PDEVICE_OBJECT device, Request *request)
{
    PIRP irp = request->irp;
    // Callers may hold resources of their own across a request (a flush under a file's
    // main resource, a file system writing its own log file under its locks); what the
    // dispatch routine must not do is return with more held than it was called with,
    // as the verifier compares the thread's APC-disable count across the call.
    size_t held = verifier::HeldLockCount();
    NTSTATUS status = IofCallDriver(device, irp);
    // The IRP may already be completed (and poisoned): the check looks only at what the
    // record saw, or, while it is outstanding, at the location the driver still owns.
    CheckDispatchAgainstCompletion(device, request, status);
    verifier::CheckNoLocksHeldBeyond(held, (uintptr_t)irp);
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
    if (status == STATUS_PENDING)
        status = WaitForRequest(request);
    if (information != nullptr)
        *information = request->information;
    ReleaseRequest(request);
    return status;
}

namespace {

bool Selected(const Request *request, const void *userIosb, struct _KTHREAD *thread, PFILE_OBJECT file)
{
    if (request->completed)
        return false;
    if (userIosb != nullptr && static_cast<const void *>(request->userIosb) != userIosb)
        return false;
    if (thread != nullptr && request->thread != thread)
        return false;
    return file == nullptr || request->irp->Tail.Overlay.OriginalFileObject == file;
}

} // namespace

size_t OutstandingRequests(struct _KPROCESS *process, struct _KTHREAD *thread, PFILE_OBJECT file)
{
    auto &table = Table();
    base::SpinGuard guard(table.lock);
    size_t count = 0;
    for (PLIST_ENTRY e = process->PendingIrps.Flink; e != &process->PendingIrps; e = e->Flink)
        count += Selected(CONTAINING_RECORD(e, Request, processEntry), nullptr, thread, file);
    return count;
}

size_t CancelRequests(struct _KPROCESS *process, const void *userIosb, struct _KTHREAD *thread, PFILE_OBJECT file)
{
    auto &table = Table();
    std::vector<Request *> pending;
    {
        base::SpinGuard guard(table.lock);
        for (PLIST_ENTRY e = process->PendingIrps.Flink; e != &process->PendingIrps; e = e->Flink) {
            Request *request = CONTAINING_RECORD(e, Request, processEntry);
            if (!Selected(request, userIosb, thread, file))
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

} // namespace io

extern "C" {

NTKERNELAPI PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    (void)ChargeQuota;
    ke::CheckIrql((const void *)&IoAllocateIrp, DISPATCH_LEVEL);
    if (StackSize <= 0)
        return nullptr;
    USHORT size = (USHORT)(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
    auto *header = static_cast<io::IrpHeader *>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(io::IrpHeader) + size, io::kIrpTag));
    if (header == nullptr)
        return nullptr;
    header->record = nullptr;
    header->requestBlock = false;
    auto *irp = reinterpret_cast<PIRP>(header + 1);
    io::InitializeIrpMemory(irp, size, StackSize);
    return irp;
}

NTKERNELAPI VOID NTAPI IoFreeIrp(PIRP Irp)
{
    if (Irp->Type != IO_TYPE_IRP)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x01, (ULONG_PTR)Irp, 0, 0);
    if (io::RecordOf(Irp) != nullptr || io::HeaderOf(Irp)->requestBlock || !IsListEmpty(&Irp->ThreadListEntry))
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x02, (ULONG_PTR)Irp, 0, 0);
    // A system buffer of IoBuildAsynchronousFsdRequest goes with its IRP; MDLs are the
    // driver's to free first, as Windows documents.
    if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != nullptr)
        ExFreePoolWithTag(Irp->AssociatedIrp.SystemBuffer, io::kSystemBufferTag);
    io::FreeIrpMemory(Irp, Irp->Size);
}

NTKERNELAPI VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    io::InitializeIrpMemory(Irp, Irp->Size, Irp->StackCount);
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
    // An IRP of the I/O manager may be completed once more after a completion routine
    // stopped its completion (the sender finishes it); one a driver allocated has no
    // one to finish it, so a completion with no stack location left is a second one.
    CHAR limit = (CHAR)(request != nullptr ? Irp->StackCount + 1 : Irp->StackCount);
    if (Irp->Type != IO_TYPE_IRP || (request != nullptr && request->completed) || Irp->CurrentLocation > limit)
        KeBugCheckEx(MULTIPLE_IRP_COMPLETE_REQUESTS, (ULONG_PTR)Irp, 0, 0, 0);
    if (Irp->IoStatus.Status == STATUS_PENDING || Irp->IoStatus.Status == -1)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x06, (ULONG_PTR)(ULONG)Irp->IoStatus.Status,
                     (ULONG_PTR)Irp, 0);
    // IoCancelIrp may exchange the cancel routine on another thread at this very moment.
    PDRIVER_CANCEL cancelRoutine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE);
    if (cancelRoutine != nullptr)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, 0x07, (ULONG_PTR)cancelRoutine, (ULONG_PTR)Irp, 0);
    verifier::CheckNoSpinLocksHeld((uintptr_t)Irp);

    // Walk the stack locations from the current one up, running completion routines.
    for (PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
         Irp->CurrentLocation <= Irp->StackCount; stack++) {
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        bool top = Irp->CurrentLocation == Irp->StackCount;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = stack->CompletionRoutine != nullptr &&
                      ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        if (top && request != nullptr) {
            // The issuer's dispatch check may be reading this location right now on the
            // thread that sent the request: record what it needs, under the lock, before
            // the location is cleared; a check it left for now is made here.
            bool unmarked;
            PDEVICE_OBJECT checked;
            {
                auto &table = io::Table();
                base::SpinGuard guard(table.lock);
                request->pendingMarked = Irp->PendingReturned;
                request->topCleared = true;
                unmarked = request->pendingCheckDeferred && !Irp->PendingReturned;
                checked = request->checkedDevice;
                memset(stack, 0, sizeof(*stack));
            }
            if (unmarked)
                KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_PENDING_NOT_MARKED, (ULONG_PTR)checked,
                             (ULONG_PTR)Irp, 0);
        } else {
            memset(stack, 0, sizeof(*stack));
        }
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

    if (request == nullptr)
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_DRIVER_IRP_NOT_STOPPED, (ULONG_PTR)Irp, 0, 0);
    io::FinishRequest(request);
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

} // extern "C"
