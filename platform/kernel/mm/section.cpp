/*
 * Section objects on files (see control_area.h): NtCreateSection and
 * ZwCreateSection, the file system's section synchronisation around them, and the
 * life of a file's control area.
 *
 * Only data sections of files are made here (SEC_COMMIT on a file handle); the
 * section is as long as the file, or the MaximumSize asked when that is not
 * larger. Page-file-backed sections, image sections, copy-on-write protections
 * and sections that would extend their file are refused with
 * STATUS_NOT_SUPPORTED / STATUS_SECTION_TOO_BIG.
 */
#include "mm/control_area.h"

#include "io/internal.h"
#include "ke/dispatcher.h"
#include "ob/handles.h"

#include "machine.h"

#include <sys/mman.h>
#include <unistd.h>

namespace mm {
namespace {

constexpr ULONG kPageSize = PAGE_SIZE;

struct SectionObject {
    ControlArea *area;
    ULONG protection;
    bool writable;
};

void DeleteSection(void *body);

ob::ObjectType sectionType = {"Section", POOL_TAG('S', 'e', 'c', 't'),
                              {STANDARD_RIGHTS_READ | SECTION_QUERY | SECTION_MAP_READ,
                               STANDARD_RIGHTS_WRITE | SECTION_MAP_WRITE,
                               STANDARD_RIGHTS_EXECUTE | SECTION_MAP_EXECUTE, SECTION_ALL_ACCESS},
                              SECTION_ALL_ACCESS, DeleteSection, nullptr};
POBJECT_TYPE sectionTypePointer = reinterpret_cast<POBJECT_TYPE>(&sectionType);

bool IsWritableProtection(ULONG protection)
{
    return (protection & (PAGE_READWRITE | PAGE_EXECUTE_READWRITE)) != 0;
}

/* The protections a data section of a file may have; copy-on-write ones are not made here. */
NTSTATUS CheckSectionProtection(ULONG protection)
{
    switch (protection) {
    case PAGE_READONLY:
    case PAGE_READWRITE:
    case PAGE_EXECUTE:
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_READWRITE:
        return STATUS_SUCCESS;
    case PAGE_WRITECOPY:
    case PAGE_EXECUTE_WRITECOPY:
        return STATUS_NOT_SUPPORTED;
    default:
        return STATUS_INVALID_PAGE_PROTECTION;
    }
}

/* How the file was acquired for the section's creation, so the matching release is made. */
struct SyncHold {
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PERESOURCE resource = nullptr; /* the common header's resource, taken here */
};

/*
 * AcquireForSectionCreate: acquires the file for creating a section, as the
 * memory manager does before it looks at the file's size: the file system's
 * PreAcquireForSectionSynchronization callback when it registered one (a success
 * status means it holds the file, except STATUS_SUCCESS, which leaves the acquire
 * to what follows), else its fast I/O AcquireFileForNtCreateSection, else the
 * common header's Resource exclusive. Runs inside the caller's critical region.
 * Returns the callback's failure status, or success with the file held.
 */
NTSTATUS AcquireForSectionCreate(PFILE_OBJECT file, ULONG protection, ULONG attributes, SyncHold *hold)
{
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    hold->file = file;
    hold->device = device;
    FS_FILTER_CALLBACKS callbacks;
    if (io::FilterCallbacksOf(device->DriverObject, &callbacks) &&
        callbacks.PreAcquireForSectionSynchronization != nullptr) {
        FS_FILTER_CALLBACK_DATA data{};
        data.SizeOfFsFilterCallbackData = sizeof(data);
        data.Operation = FS_FILTER_ACQUIRE_FOR_SECTION_SYNCHRONIZATION;
        data.DeviceObject = device;
        data.FileObject = file;
        data.Parameters.AcquireForSectionSynchronization.SyncType = SyncTypeCreateSection;
        data.Parameters.AcquireForSectionSynchronization.PageProtection = protection;
        data.Parameters.AcquireForSectionSynchronization.AllocationAttributes = attributes;
        PVOID context = nullptr;
        NTSTATUS status = callbacks.PreAcquireForSectionSynchronization(&data, &context);
        if (!NT_SUCCESS(status))
            return status;
        // STATUS_FSFILTER_OP_COMPLETED_SUCCESSFULLY, STATUS_FILE_LOCKED_WITH_ONLY_READERS and
        // STATUS_FILE_LOCKED_WITH_WRITERS all say the file system holds the file.
        if (status != STATUS_SUCCESS)
            return STATUS_SUCCESS;
    }
    if (PFAST_IO_DISPATCH fastIo = io::FastIoTable(device, FIELD_OFFSET(FAST_IO_DISPATCH, AcquireFileForNtCreateSection))) {
        fastIo->AcquireFileForNtCreateSection(file);
        return STATUS_SUCCESS;
    }
    auto *header = static_cast<PFSRTL_COMMON_FCB_HEADER>(file->FsContext);
    if (header->Resource != nullptr) {
        ExAcquireResourceExclusiveLite(header->Resource, TRUE);
        hold->resource = header->Resource;
    }
    return STATUS_SUCCESS;
}

/*
 * ReleaseForSectionCreate: the matching release. No release callback is called:
 * a file system's ReleaseFileForNtCreateSection when it has one, else the
 * common header's Resource (whoever acquired it, the callback or this file).
 */
void ReleaseForSectionCreate(SyncHold *hold)
{
    if (hold->resource != nullptr) {
        ExReleaseResourceLite(hold->resource);
        return;
    }
    if (PFAST_IO_DISPATCH fastIo = io::FastIoTable(hold->device, FIELD_OFFSET(FAST_IO_DISPATCH, ReleaseFileForNtCreateSection))) {
        fastIo->ReleaseFileForNtCreateSection(hold->file);
        return;
    }
    auto *header = static_cast<PFSRTL_COMMON_FCB_HEADER>(hold->file->FsContext);
    if (header->Resource != nullptr)
        ExReleaseResourceLite(header->Resource);
}

/* A new control area for the file of `size` bytes, referenced once; null when memory runs out. */
ControlArea *CreateArea(PFILE_OBJECT file, uint64_t size)
{
    size_t pages = (size_t)((size + kPageSize - 1) / kPageSize);
    if (machine::ShouldFail("MmCreateSection"))
        return nullptr;
    int fd = memfd_create("vorel-section", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    if (ftruncate(fd, (off_t)pages * kPageSize) != 0) {
        close(fd);
        return nullptr;
    }
    void *system = mmap(nullptr, pages * kPageSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (system == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    auto *area = new ControlArea();
    area->file = file;
    area->pointers = file->SectionObjectPointer;
    area->fd = fd;
    area->system = static_cast<unsigned char *>(system);
    area->size = size;
    area->pageCount = pages;
    area->state.assign(pages, kPageAbsent);
    area->busy.assign(pages, 0);
    area->references = 1;
    ObReferenceObject(file);
    return area;
}

void FreeArea(ControlArea *area)
{
    munmap(area->system, area->pageCount * kPageSize);
    close(area->fd);
    ObDereferenceObject(area->file);
    delete area;
}

void DeleteSection(void *body)
{
    auto *section = static_cast<SectionObject *>(body);
    ControlArea *area = section->area;
    {
        std::lock_guard<std::mutex> guard(Sections().lock);
        area->sections--;
        if (section->writable)
            area->writableSections--;
    }
    DereferenceArea(area);
}

/*
 * CreateSection: the body of NtCreateSection / ZwCreateSection (mode = previous
 * mode). A data section of the file behind FileHandle, reusing the file's control
 * area when it has one.
 */
NTSTATUS CreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                       PLARGE_INTEGER MaximumSize, ULONG SectionPageProtection, ULONG AllocationAttributes,
                       HANDLE FileHandle, KPROCESSOR_MODE mode)
{
    if (mode == UserMode &&
        (!io::IsUserRange(SectionHandle, sizeof(HANDLE)) ||
         (MaximumSize != nullptr && !io::IsUserRange(MaximumSize, sizeof(LARGE_INTEGER))) ||
         (ObjectAttributes != nullptr && !io::IsUserRange(ObjectAttributes, sizeof(OBJECT_ATTRIBUTES)))))
        return STATUS_ACCESS_VIOLATION;
    if (AllocationAttributes & SEC_IMAGE)
        return STATUS_NOT_SUPPORTED;
    if ((AllocationAttributes & ~(ULONG)(SEC_COMMIT | SEC_RESERVE)) != 0 ||
        (AllocationAttributes & (SEC_COMMIT | SEC_RESERVE)) == (SEC_COMMIT | SEC_RESERVE))
        return STATUS_INVALID_PARAMETER_6;
    NTSTATUS status = CheckSectionProtection(SectionPageProtection);
    if (!NT_SUCCESS(status))
        return status;
    if (FileHandle == nullptr)
        return STATUS_NOT_SUPPORTED; /* sections backed by the paging file are not made here */
    LONGLONG maximum = MaximumSize != nullptr ? MaximumSize->QuadPart : 0;
    if (maximum < 0)
        return STATUS_INVALID_PARAMETER_4;
    bool writable = IsWritableProtection(SectionPageProtection);

    // A writable section needs a handle that can write the file.
    PVOID object;
    ACCESS_MASK fileAccess = FILE_READ_DATA | (writable ? FILE_WRITE_DATA : 0);
    status = ObReferenceObjectByHandle(FileHandle, fileAccess, *IoFileObjectType, mode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    auto *file = static_cast<PFILE_OBJECT>(object);
    if (file->SectionObjectPointer == nullptr || file->FsContext == nullptr) {
        ObDereferenceObject(file);
        return STATUS_INVALID_FILE_FOR_SECTION;
    }

    // The file system holds the file while its size is read and the control area found or made.
    KeEnterCriticalRegion();
    SyncHold hold;
    status = AcquireForSectionCreate(file, SectionPageProtection, AllocationAttributes, &hold);
    if (!NT_SUCCESS(status)) {
        KeLeaveCriticalRegion();
        ObDereferenceObject(file);
        return status;
    }
    auto *header = static_cast<PFSRTL_COMMON_FCB_HEADER>(file->FsContext);
    LONGLONG fileSize = header->FileSize.QuadPart;
    LONGLONG size = maximum != 0 ? maximum : fileSize;
    ControlArea *area = nullptr;
    if (size == 0)
        status = STATUS_MAPPED_FILE_SIZE_ZERO;
    else if (size > fileSize)
        status = STATUS_SECTION_TOO_BIG; /* a section never extends its file here */
    if (NT_SUCCESS(status)) {
        SectionState &state = Sections();
        std::unique_lock<std::mutex> guard(state.lock);
        bool foreign;
        area = AreaOf(file->SectionObjectPointer, &foreign);
        if (foreign) {
            status = STATUS_INVALID_FILE_FOR_SECTION; /* a section this system did not make */
        } else if (area != nullptr) {
            if ((uint64_t)size > area->size)
                status = STATUS_SECTION_TOO_BIG; /* the file grew since its control area was made */
            else
                ReferenceArea(area);
        } else {
            guard.unlock();
            area = CreateArea(file, (uint64_t)fileSize);
            guard.lock();
            if (area == nullptr)
                status = STATUS_INSUFFICIENT_RESOURCES;
            else {
                file->SectionObjectPointer->DataSectionObject = area;
                state.areas.insert(area);
            }
        }
        if (NT_SUCCESS(status)) {
            area->sections++;
            if (writable)
                area->writableSections++;
        }
    }
    ReleaseForSectionCreate(&hold);
    KeLeaveCriticalRegion();
    ObDereferenceObject(file);
    if (!NT_SUCCESS(status))
        return status;

    auto *section = static_cast<SectionObject *>(ob::CreateObject(&sectionType, sizeof(SectionObject)));
    if (section == nullptr) {
        {
            std::lock_guard<std::mutex> guard(Sections().lock);
            area->sections--;
            if (writable)
                area->writableSections--;
        }
        DereferenceArea(area);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    section->area = area;
    section->protection = SectionPageProtection;
    section->writable = writable;
    ULONG attributes = ObjectAttributes != nullptr ? ObjectAttributes->Attributes : 0;
    HANDLE handle;
    status = ob::InsertHandle(section, DesiredAccess == MAXIMUM_ALLOWED ? SECTION_ALL_ACCESS
                                                                        : ob::SpecificAccess(&sectionType, DesiredAccess),
                              attributes & OBJ_INHERIT, mode == KernelMode && (attributes & OBJ_KERNEL_HANDLE),
                              &handle);
    ob::Dereference(section);
    if (NT_SUCCESS(status))
        *SectionHandle = handle;
    return status;
}

void AuditSections(machine::AuditReport &report)
{
    std::lock_guard<std::mutex> guard(Sections().lock);
    if (!Sections().areas.empty())
        report.findings.push_back("mm: a file's data section is still alive");
    if (!Sections().views.empty())
        report.findings.push_back("mm: a view of a section is still mapped");
}

void ResetSections()
{
    std::lock_guard<std::mutex> guard(Sections().lock);
    Sections().areas.clear();
    Sections().views.clear();
}

const bool registered = [] {
    machine::RegisterComponent({"sections", machine::kOrderIo + 2, ResetSections, AuditSections, ResetSections});
    return true;
}();

} // namespace

SectionState &Sections()
{
    static SectionState state;
    return state;
}

void ReferenceArea(ControlArea *area)
{
    area->references++;
}

ControlArea *AreaOf(PSECTION_OBJECT_POINTERS pointers, bool *foreign)
{
    const void *pointer = pointers->DataSectionObject;
    *foreign = pointer != nullptr && Sections().areas.count(pointer) == 0;
    return pointer != nullptr && !*foreign ? static_cast<ControlArea *>(pointers->DataSectionObject) : nullptr;
}

ControlArea *ReferenceAreaOf(PSECTION_OBJECT_POINTERS pointers)
{
    std::lock_guard<std::mutex> guard(Sections().lock);
    bool foreign;
    ControlArea *area = AreaOf(pointers, &foreign);
    if (foreign || pointers->SharedCacheMap != nullptr)
        KeBugCheckEx(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_NO_CACHE_SECTIONS, (ULONG_PTR)pointers, 0, 0);
    if (area != nullptr)
        ReferenceArea(area);
    return area;
}

/*
 * DereferenceArea: drops a reference. The last one writes the dirty pages back
 * (the modified page writer's work, done here at once) holding a reference of its
 * own, and frees the control area only when nobody took it up again meanwhile.
 */
void DereferenceArea(ControlArea *area)
{
    SectionState &state = Sections();
    std::unique_lock<std::mutex> guard(state.lock);
    if (--area->references != 0)
        return;
    area->references = 1;
    guard.unlock();
    (void)FlushPages(area, 0, area->pageCount);
    guard.lock();
    if (--area->references != 0)
        return;
    area->pointers->DataSectionObject = nullptr;
    state.areas.erase(area);
    guard.unlock();
    FreeArea(area);
}

/* The section object a handle names, referenced with `access`. */
NTSTATUS ReferenceSection(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, ControlArea **area,
                          bool *writable, PVOID *object)
{
    NTSTATUS status = ObReferenceObjectByHandle(handle, access, sectionTypePointer, mode, object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    auto *section = static_cast<SectionObject *>(*object);
    *area = section->area;
    *writable = section->writable;
    return STATUS_SUCCESS;
}

} // namespace mm

extern "C" {

NTKERNELAPI POBJECT_TYPE *MmSectionObjectType = &mm::sectionTypePointer;

NTSYSCALLAPI NTSTATUS NTAPI NtCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                            POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER MaximumSize,
                                            ULONG SectionPageProtection, ULONG AllocationAttributes,
                                            HANDLE FileHandle)
{
    ke::CheckIrql((const void *)&NtCreateSection, PASSIVE_LEVEL);
    return mm::CreateSection(SectionHandle, DesiredAccess, ObjectAttributes, MaximumSize, SectionPageProtection,
                             AllocationAttributes, FileHandle, ke::CurrentThreadState().previousMode);
}

NTSYSAPI NTSTATUS NTAPI ZwCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, PLARGE_INTEGER MaximumSize,
                                        ULONG SectionPageProtection, ULONG AllocationAttributes, HANDLE FileHandle)
{
    ke::CheckIrql((const void *)&ZwCreateSection, PASSIVE_LEVEL);
    return mm::CreateSection(SectionHandle, DesiredAccess, ObjectAttributes, MaximumSize, SectionPageProtection,
                             AllocationAttributes, FileHandle, KernelMode);
}

} // extern "C"
