/*
 * Views of data sections (see control_area.h): NtMapViewOfSection,
 * NtUnmapViewOfSection, NtFlushVirtualMemory and their Zw forms.
 *
 * A user view lies in its process's user arena: page-aligned space is carved from
 * the arena and the section's pages are mapped over it, so a view address is a
 * user buffer like any other for probes and for NtReadFile / NtWriteFile. When the
 * view goes, the arena's own pages are mapped back. A kernel-mode caller mapping
 * into the system process gets a view in system space. Views are placed by the
 * system: a requested base address is refused (STATUS_CONFLICTING_ADDRESSES).
 */
#include "mm/control_area.h"
#include "mm/user_arena.h"
#include "mm/views.h"

#include "io/internal.h"
#include "ke/dispatcher.h"
#include "ke/thread.h"

#include <sys/mman.h>

namespace mm {
namespace {

constexpr size_t kPageSize = PAGE_SIZE;
constexpr uint64_t kAllocationGranularity = 0x10000;
constexpr ACCESS_MASK kProcessVmOperation = 0x0008;

bool IsWritableProtection(ULONG protection)
{
    return (protection & (PAGE_READWRITE | PAGE_EXECUTE_READWRITE)) != 0;
}

/* The process a handle names (referenced), or the caller's for NtCurrentProcess(). */
NTSTATUS ReferenceProcess(HANDLE handle, KPROCESSOR_MODE mode, struct _KPROCESS **process)
{
    if (handle == NtCurrentProcess()) {
        *process = ke::CurrentProcess();
        ObReferenceObject(*process);
        return STATUS_SUCCESS;
    }
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(handle, kProcessVmOperation, *PsProcessType, mode, &object, nullptr);
    if (NT_SUCCESS(status))
        *process = static_cast<struct _KPROCESS *>(object);
    return status;
}

/* Takes a view out of the tables (lock held). */
void DetachView(View *view)
{
    SectionState &state = Sections();
    state.views.erase(reinterpret_cast<uintptr_t>(view->base));
    auto &views = view->area->views;
    for (auto it = views.begin(); it != views.end(); ++it)
        if (*it == view) {
            views.erase(it);
            break;
        }
}

/*
 * ReleaseView: unmaps a detached view and gives its space back. The last view of a
 * control area writes its dirty pages back, then the view's reference goes.
 */
void ReleaseView(View *view)
{
    ControlArea *area = view->area;
    if (view->process != nullptr) {
        ArenaRestorePages(view->process->Arena, view->base, view->bytes);
        ArenaFree(view->process->Arena, view->arenaBlock);
        ObDereferenceObject(view->process);
    } else {
        munmap(view->base, view->bytes);
    }
    bool last;
    {
        std::lock_guard<std::mutex> guard(Sections().lock);
        last = area->views.empty();
    }
    if (last)
        (void)FlushPages(area, 0, area->pageCount);
    delete view;
    DereferenceArea(area);
}

NTSTATUS MapView(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID *BaseAddress, PLARGE_INTEGER SectionOffset,
                 PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition, ULONG AllocationType, ULONG Win32Protect,
                 KPROCESSOR_MODE mode)
{
    if (mode == UserMode && (!io::IsUserRange(BaseAddress, sizeof(PVOID)) || !io::IsUserRange(ViewSize, sizeof(SIZE_T)) ||
                             (SectionOffset != nullptr && !io::IsUserRange(SectionOffset, sizeof(LARGE_INTEGER)))))
        return STATUS_ACCESS_VIOLATION;
    if (InheritDisposition != ViewShare && InheritDisposition != ViewUnmap)
        return STATUS_INVALID_PARAMETER_8;
    if (AllocationType != 0)
        return STATUS_NOT_SUPPORTED;
    bool writable = IsWritableProtection(Win32Protect);
    if (!writable && Win32Protect != PAGE_READONLY && Win32Protect != PAGE_EXECUTE_READ && Win32Protect != PAGE_EXECUTE)
        return Win32Protect == PAGE_WRITECOPY || Win32Protect == PAGE_EXECUTE_WRITECOPY ? STATUS_NOT_SUPPORTED
                                                                                        : STATUS_INVALID_PAGE_PROTECTION;
    if (*BaseAddress != nullptr)
        return STATUS_CONFLICTING_ADDRESSES;

    ControlArea *area;
    bool sectionWritable;
    PVOID section;
    NTSTATUS status = ReferenceSection(SectionHandle, SECTION_MAP_READ | (writable ? SECTION_MAP_WRITE : 0), mode,
                                       &area, &sectionWritable, &section);
    if (!NT_SUCCESS(status))
        return status;
    if (writable && !sectionWritable) {
        ObDereferenceObject(section);
        return STATUS_SECTION_PROTECTION;
    }
    struct _KPROCESS *process;
    status = ReferenceProcess(ProcessHandle, mode, &process);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(section);
        return status;
    }

    // The offset goes down to the allocation granularity, the size up to whole pages.
    uint64_t requested = SectionOffset != nullptr ? (uint64_t)SectionOffset->QuadPart : 0;
    uint64_t offset = requested & ~(kAllocationGranularity - 1);
    uint64_t sectionBytes = (area->size + kPageSize - 1) & ~(uint64_t)(kPageSize - 1);
    uint64_t bytes = *ViewSize != 0 ? ((uint64_t)*ViewSize + (requested - offset) + kPageSize - 1) & ~(uint64_t)(kPageSize - 1)
                                    : (offset < sectionBytes ? sectionBytes - offset : 0);
    if (SectionOffset != nullptr && SectionOffset->QuadPart < 0)
        status = STATUS_INVALID_PARAMETER_6;
    else if (offset >= sectionBytes || bytes == 0 || bytes > sectionBytes - offset)
        status = STATUS_INVALID_VIEW_SIZE;
    auto *view = new View{area, nullptr, nullptr, (size_t)bytes, offset, writable, nullptr};
    if (NT_SUCCESS(status)) {
        void *address = MAP_FAILED;
        if (!process->System) {
            // Page-aligned space in the arena, then the section's pages over it.
            view->arenaBlock = ArenaAllocate(process->Arena, (size_t)bytes + kPageSize);
            if (view->arenaBlock != nullptr) {
                auto start = (reinterpret_cast<uintptr_t>(view->arenaBlock) + kPageSize - 1) & ~(uintptr_t)(kPageSize - 1);
                address = mmap(reinterpret_cast<void *>(start), (size_t)bytes, PROT_NONE, MAP_SHARED | MAP_FIXED,
                               area->fd, (off_t)offset);
                if (address == MAP_FAILED) {
                    ArenaRestorePages(process->Arena, reinterpret_cast<void *>(start), (size_t)bytes);
                    ArenaFree(process->Arena, view->arenaBlock);
                }
            }
        } else if (mode == KernelMode) {
            address = mmap(nullptr, (size_t)bytes, PROT_NONE, MAP_SHARED, area->fd, (off_t)offset);
        } else {
            status = STATUS_ACCESS_DENIED;
        }
        if (NT_SUCCESS(status) && address == MAP_FAILED)
            status = STATUS_NO_MEMORY;
        else if (NT_SUCCESS(status))
            view->base = static_cast<unsigned char *>(address);
    }
    if (!NT_SUCCESS(status)) {
        delete view;
        ObDereferenceObject(process);
        ObDereferenceObject(section);
        return status;
    }
    if (!process->System) {
        view->process = process;
    } else {
        ObDereferenceObject(process);
    }
    InstallPageFaultHandler();
    {
        std::lock_guard<std::mutex> guard(Sections().lock);
        ReferenceArea(area);
        area->views.push_back(view);
        Sections().views[reinterpret_cast<uintptr_t>(view->base)] = view;
        size_t first = (size_t)(offset / kPageSize);
        for (size_t page = first; page < first + bytes / kPageSize; page++)
            if (area->state[page] != kPageAbsent)
                ProtectPage(area, page);
    }
    ObDereferenceObject(section);
    *BaseAddress = view->base;
    *ViewSize = (SIZE_T)bytes;
    if (SectionOffset != nullptr)
        SectionOffset->QuadPart = (LONGLONG)offset;
    return STATUS_SUCCESS;
}

NTSTATUS UnmapView(HANDLE ProcessHandle, PVOID BaseAddress, KPROCESSOR_MODE mode)
{
    struct _KPROCESS *process;
    NTSTATUS status = ReferenceProcess(ProcessHandle, mode, &process);
    if (!NT_SUCCESS(status))
        return status;
    View *view;
    {
        std::lock_guard<std::mutex> guard(Sections().lock);
        view = ViewAt(BaseAddress);
        if (view != nullptr && view->process != (process->System ? nullptr : process))
            view = nullptr;
        if (view != nullptr)
            DetachView(view);
    }
    ObDereferenceObject(process);
    if (view == nullptr)
        return STATUS_NOT_MAPPED_VIEW;
    ReleaseView(view);
    return STATUS_SUCCESS;
}

/*
 * FlushView: writes the dirty pages of [*BaseAddress, + *RegionSize) of one view
 * back (to the view's end when the size is 0); reports the flushed range.
 */
NTSTATUS FlushView(HANDLE ProcessHandle, PVOID *BaseAddress, PSIZE_T RegionSize, PIO_STATUS_BLOCK IoStatus,
                   KPROCESSOR_MODE mode)
{
    if (mode == UserMode && (!io::IsUserRange(BaseAddress, sizeof(PVOID)) || !io::IsUserRange(RegionSize, sizeof(SIZE_T)) ||
                             !io::IsUserRange(IoStatus, sizeof(IO_STATUS_BLOCK))))
        return STATUS_ACCESS_VIOLATION;
    struct _KPROCESS *process;
    NTSTATUS status = ReferenceProcess(ProcessHandle, mode, &process);
    if (!NT_SUCCESS(status))
        return status;
    ControlArea *area = nullptr;
    size_t first = 0, last = 0;
    uintptr_t start = reinterpret_cast<uintptr_t>(*BaseAddress) & ~(uintptr_t)(kPageSize - 1);
    {
        std::lock_guard<std::mutex> guard(Sections().lock);
        View *view = ViewAt(reinterpret_cast<void *>(start));
        if (view != nullptr && view->process == (process->System ? nullptr : process)) {
            uintptr_t base = reinterpret_cast<uintptr_t>(view->base);
            uintptr_t end = base + view->bytes;
            if (*RegionSize != 0 && reinterpret_cast<uintptr_t>(*BaseAddress) + *RegionSize < end)
                end = (reinterpret_cast<uintptr_t>(*BaseAddress) + *RegionSize + kPageSize - 1) & ~(uintptr_t)(kPageSize - 1);
            area = view->area;
            ReferenceArea(area);
            first = (size_t)((view->offset + (start - base)) / kPageSize);
            last = first + (end - start) / kPageSize;
        }
    }
    ObDereferenceObject(process);
    if (area == nullptr)
        return STATUS_NOT_MAPPED_VIEW;
    status = FlushPages(area, first, last);
    DereferenceArea(area);
    *BaseAddress = reinterpret_cast<PVOID>(start);
    *RegionSize = (last - first) * kPageSize;
    IoStatus->Status = status;
    IoStatus->Information = 0;
    return status;
}

} // namespace

View *ViewAt(const void *address)
{
    SectionState &state = Sections();
    auto key = reinterpret_cast<uintptr_t>(address);
    auto it = state.views.upper_bound(key);
    if (it == state.views.begin())
        return nullptr;
    --it;
    View *view = it->second;
    return key - it->first < view->bytes ? view : nullptr;
}

/* A process ends: its views go, as if it unmapped them. */
void UnmapProcessViews(struct _KPROCESS *process)
{
    for (;;) {
        View *view = nullptr;
        {
            std::lock_guard<std::mutex> guard(Sections().lock);
            for (auto &entry : Sections().views)
                if (entry.second->process == process) {
                    view = entry.second;
                    break;
                }
            if (view != nullptr)
                DetachView(view);
        }
        if (view == nullptr)
            return;
        ReleaseView(view);
    }
}

/*
 * MapViewAlias: a system mapping of a locked user range that lies in one view: the
 * section's pages under it (the arena's own pages there are hidden by the view).
 * Null when the range is not wholly in a view.
 */
void *MapViewAlias(const void *address, size_t length)
{
    std::lock_guard<std::mutex> guard(Sections().lock);
    View *view = ViewAt(address);
    auto start = reinterpret_cast<uintptr_t>(address);
    if (view == nullptr || length > view->bytes - (start - reinterpret_cast<uintptr_t>(view->base)))
        return nullptr;
    uint64_t offset = view->offset + (start - reinterpret_cast<uintptr_t>(view->base));
    uint64_t pageOffset = offset & ~(uint64_t)(kPageSize - 1);
    size_t span = (size_t)(((offset + length + kPageSize - 1) & ~(uint64_t)(kPageSize - 1)) - pageOffset);
    void *alias = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_SHARED, view->area->fd, (off_t)pageOffset);
    if (alias == MAP_FAILED)
        return nullptr;
    return static_cast<unsigned char *>(alias) + (offset - pageOffset);
}

/*
 * LockViewPages: MmProbeAndLockPages on a range in views makes its pages present
 * (dirty when the device will write them), since the system mapping of the MDL
 * reaches them without faulting.
 */
void LockViewPages(const void *address, size_t length, bool write)
{
    auto start = reinterpret_cast<uintptr_t>(address) & ~(uintptr_t)(kPageSize - 1);
    auto end = reinterpret_cast<uintptr_t>(address) + length;
    std::unique_lock<std::mutex> guard(Sections().lock);
    for (uintptr_t at = start; at < end; at += kPageSize) {
        View *view = ViewAt(reinterpret_cast<void *>(at));
        if (view == nullptr)
            continue;
        ControlArea *area = view->area;
        size_t page = (size_t)((view->offset + (at - reinterpret_cast<uintptr_t>(view->base))) / kPageSize);
        ReferenceArea(area);
        NTSTATUS status = MakePagePresent(guard, area, page, write && view->writable);
        guard.unlock();
        DereferenceArea(area);
        if (!NT_SUCCESS(status))
            ExRaiseStatus(STATUS_IN_PAGE_ERROR);
        guard.lock();
    }
}

} // namespace mm

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID *BaseAddress,
                                               ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                                               PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition,
                                               ULONG AllocationType, ULONG Win32Protect)
{
    (void)ZeroBits;
    (void)CommitSize; /* a file's data section is committed whole */
    ke::CheckIrql((const void *)&NtMapViewOfSection, PASSIVE_LEVEL);
    return mm::MapView(SectionHandle, ProcessHandle, BaseAddress, SectionOffset, ViewSize, InheritDisposition,
                       AllocationType, Win32Protect, ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID *BaseAddress,
                                           ULONG_PTR ZeroBits, SIZE_T CommitSize, PLARGE_INTEGER SectionOffset,
                                           PSIZE_T ViewSize, SECTION_INHERIT InheritDisposition,
                                           ULONG AllocationType, ULONG Win32Protect)
{
    (void)ZeroBits;
    (void)CommitSize;
    ke::CheckIrql((const void *)&ZwMapViewOfSection, PASSIVE_LEVEL);
    return mm::MapView(SectionHandle, ProcessHandle, BaseAddress, SectionOffset, ViewSize, InheritDisposition,
                       AllocationType, Win32Protect, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress)
{
    ke::CheckIrql((const void *)&NtUnmapViewOfSection, PASSIVE_LEVEL);
    return mm::UnmapView(ProcessHandle, BaseAddress, ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress)
{
    ke::CheckIrql((const void *)&ZwUnmapViewOfSection, PASSIVE_LEVEL);
    return mm::UnmapView(ProcessHandle, BaseAddress, KernelMode);
}

NTSYSCALLAPI NTSTATUS NTAPI NtFlushVirtualMemory(HANDLE ProcessHandle, PVOID *BaseAddress, PSIZE_T RegionSize,
                                                 PIO_STATUS_BLOCK IoStatus)
{
    ke::CheckIrql((const void *)&NtFlushVirtualMemory, PASSIVE_LEVEL);
    return mm::FlushView(ProcessHandle, BaseAddress, RegionSize, IoStatus, ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwFlushVirtualMemory(HANDLE ProcessHandle, PVOID *BaseAddress, PSIZE_T RegionSize,
                                             PIO_STATUS_BLOCK IoStatus)
{
    ke::CheckIrql((const void *)&ZwFlushVirtualMemory, PASSIVE_LEVEL);
    return mm::FlushView(ProcessHandle, BaseAddress, RegionSize, IoStatus, KernelMode);
}

} // extern "C"
