/*
 * Paging I/O of data sections (see control_area.h): pages are read in and written
 * back by paging IRPs to the file system, on the thread that needs the page, as
 * the Windows memory manager does: IRP_MJ_READ / IRP_MJ_WRITE with IRP_PAGING_IO |
 * IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO, KernelMode, an MDL of the page (locked,
 * its system address the control area's own mapping), whole pages, at APC_LEVEL.
 * The file system clips them to the file; the bytes of a read's last page beyond
 * what it returned are zeroed here.
 */
#include "mm/control_area.h"

#include "io/internal.h"
#include "ke/dispatcher.h"

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>

namespace mm {
namespace {

constexpr ULONG kPageSize = PAGE_SIZE;

/*
 * PagingIo: one page of the file moved between the control area and the file
 * system. Returns the file system's status; *done the bytes it moved.
 */
NTSTATUS PagingIo(ControlArea *area, size_t page, bool write, ULONG_PTR *done)
{
    PFILE_OBJECT file = area->file;
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL)
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)(area->system + page * kPageSize), irql, write ? 1 : 0, 0);
    KIRQL previous;
    KeRaiseIrql(APC_LEVEL, &previous);
    PMDL mdl = IoAllocateMdl(area->system + page * kPageSize, kPageSize, FALSE, FALSE, nullptr);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (mdl != nullptr) {
        mdl->MdlFlags |= MDL_PAGES_LOCKED;
        PIO_STACK_LOCATION stack;
        io::Request *request = io::NewRequest(device, file, KernelMode, write ? IRP_MJ_WRITE : IRP_MJ_READ, 0, &stack);
        if (request != nullptr) {
            PIRP irp = request->irp;
            irp->Flags = IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO | (write ? 0 : IRP_INPUT_OPERATION);
            irp->MdlAddress = mdl;
            irp->UserBuffer = MmGetMdlVirtualAddress(mdl);
            stack->Parameters.Read.Length = kPageSize;
            stack->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)(page * kPageSize);
            status = io::CallDriverAndWait(device, request, done);
        }
        IoFreeMdl(mdl);
    }
    KeLowerIrql(previous);
    return status;
}

} // namespace

/* The protection a view gives a page: none while absent, read-only while clean or in a read-only view. */
void ProtectPage(ControlArea *area, size_t page)
{
    uint64_t offset = (uint64_t)page * kPageSize;
    for (View *view : area->views) {
        if (offset < view->offset || offset - view->offset >= view->bytes)
            continue;
        int protection = PROT_NONE;
        if (area->state[page] == kPageClean || (area->state[page] == kPageDirty && !view->writable))
            protection = PROT_READ;
        else if (area->state[page] == kPageDirty)
            protection = PROT_READ | PROT_WRITE;
        mprotect(view->base + (offset - view->offset), kPageSize, protection);
    }
}

NTSTATUS MakePagePresent(std::unique_lock<std::mutex> &guard, ControlArea *area, size_t page, bool write)
{
    SectionState &state = Sections();
    for (;;) {
        if (area->busy[page]) {
            state.idle.wait(guard);
            continue;
        }
        if (area->state[page] == kPageAbsent) {
            area->busy[page] = 1;
            guard.unlock();
            ULONG_PTR done = 0;
            NTSTATUS status = PagingIo(area, page, false, &done);
            if (status == STATUS_END_OF_FILE) {
                // The file was cut below the page since the section was made: it reads as zeros.
                status = STATUS_SUCCESS;
                done = 0;
            }
            if (NT_SUCCESS(status) && done < kPageSize)
                memset(area->system + page * kPageSize + done, 0, kPageSize - done);
            guard.lock();
            area->busy[page] = 0;
            state.idle.notify_all();
            if (!NT_SUCCESS(status))
                return status;
            area->state[page] = kPageClean;
            ProtectPage(area, page);
            continue;
        }
        if (write && area->state[page] != kPageDirty) {
            area->state[page] = kPageDirty;
            ProtectPage(area, page);
        }
        return STATUS_SUCCESS;
    }
}

/*
 * FlushPages: each dirty page is made clean and read-only in every view before its
 * paging write, so a write through a view during the paging write faults, waits
 * for it, and dirties the page again. A failed write leaves the page dirty.
 */
NTSTATUS FlushPages(ControlArea *area, size_t first, size_t last)
{
    SectionState &state = Sections();
    NTSTATUS result = STATUS_SUCCESS;
    std::unique_lock<std::mutex> guard(state.lock);
    for (size_t page = first; page < last && page < area->pageCount; page++) {
        // Another flush's write of the page is waited for: this flush promises the data is
        // written when it returns. A page being read in holds nothing to write.
        while (area->busy[page] && area->state[page] != kPageAbsent)
            state.idle.wait(guard);
        if (area->busy[page] || area->state[page] != kPageDirty)
            continue;
        area->state[page] = kPageClean;
        area->busy[page] = 1;
        ProtectPage(area, page);
        guard.unlock();
        ULONG_PTR done = 0;
        NTSTATUS status = PagingIo(area, page, true, &done);
        guard.lock();
        area->busy[page] = 0;
        state.idle.notify_all();
        if (!NT_SUCCESS(status)) {
            area->state[page] = kPageDirty;
            ProtectPage(area, page);
            if (NT_SUCCESS(result))
                result = status;
        }
    }
    return result;
}

bool DropPages(ControlArea *area, size_t first, size_t last)
{
    std::lock_guard<std::mutex> guard(Sections().lock);
    bool all = true;
    last = last < area->pageCount ? last : area->pageCount;
    for (size_t page = first; page < last; page++) {
        if (area->busy[page]) {
            all = false;
            continue;
        }
        if (area->state[page] == kPageAbsent)
            continue;
        area->state[page] = kPageAbsent;
        ProtectPage(area, page);
        // The memory goes back too; the next touch reads the page from the file system.
        fallocate(area->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (off_t)(page * kPageSize), kPageSize);
    }
    return all;
}

bool ViewsMap(const ControlArea *area, size_t first, size_t last)
{
    uint64_t start = (uint64_t)first * kPageSize;
    uint64_t end = (uint64_t)last * kPageSize;
    for (const View *view : area->views)
        if (view->offset < end && start < view->offset + view->bytes)
            return true;
    return false;
}

} // namespace mm
