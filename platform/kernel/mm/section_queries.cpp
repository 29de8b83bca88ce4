/*
 * What a file system asks the memory manager about a file's sections (see
 * control_area.h). This system makes data sections only: a file never has an
 * image section of this system's making, so a non-null ImageSectionObject is one
 * the stand-in did not make and stands for an image section in use; so does a data
 * section pointer it did not make.
 */
#include "mm/control_area.h"

#include "ke/dispatcher.h"

extern "C" {

/*
 * MmCanFileBeTruncated: FALSE with an image section, with a view that maps
 * anything at or beyond the new size (0 when none is given), or while section
 * objects reference the data section and the new size does not pass the file's
 * current size.
 */
NTKERNELAPI BOOLEAN NTAPI MmCanFileBeTruncated(PSECTION_OBJECT_POINTERS SectionPointer, PLARGE_INTEGER NewFileSize)
{
    ke::CheckIrql((const void *)&MmCanFileBeTruncated, APC_LEVEL);
    if (SectionPointer->ImageSectionObject != nullptr)
        return FALSE;
    uint64_t newSize = NewFileSize != nullptr ? (uint64_t)NewFileSize->QuadPart : 0;
    std::lock_guard<std::mutex> guard(mm::Sections().lock);
    bool foreign;
    mm::ControlArea *area = mm::AreaOf(SectionPointer, &foreign);
    if (foreign)
        return FALSE;
    if (area == nullptr)
        return TRUE;
    for (const mm::View *view : area->views)
        if (view->offset + view->bytes > newSize)
            return FALSE;
    auto *header = static_cast<PFSRTL_COMMON_FCB_HEADER>(area->file->FsContext);
    if (area->sections != 0 && (LONGLONG)newSize <= header->FileSize.QuadPart)
        return FALSE;
    return TRUE;
}

/*
 * MmDoesFileHaveUserWritableReferences: the writable section objects of the file
 * and the writable views of it in user processes.
 */
NTKERNELAPI ULONG NTAPI MmDoesFileHaveUserWritableReferences(PSECTION_OBJECT_POINTERS SectionPointer)
{
    ke::CheckIrql((const void *)&MmDoesFileHaveUserWritableReferences, APC_LEVEL);
    std::lock_guard<std::mutex> guard(mm::Sections().lock);
    bool foreign;
    mm::ControlArea *area = mm::AreaOf(SectionPointer, &foreign);
    if (area == nullptr)
        return foreign ? 1 : 0;
    ULONG count = (ULONG)area->writableSections;
    for (const mm::View *view : area->views)
        if (view->writable && view->process != nullptr)
            count++;
    return count;
}

/* MmFlushImageSection: TRUE when the file has no image section (data sections are not its business). */
NTKERNELAPI BOOLEAN NTAPI MmFlushImageSection(PSECTION_OBJECT_POINTERS SectionObjectPointer, MMFLUSH_TYPE FlushType)
{
    ke::CheckIrql((const void *)&MmFlushImageSection, APC_LEVEL);
    (void)FlushType;
    return SectionObjectPointer->ImageSectionObject == nullptr;
}

/*
 * MmForceSectionClosed: TRUE when no section of the file is left. A data section
 * here lives exactly as long as section objects or views reference it, so one that
 * exists cannot be closed by force and the answer is FALSE.
 */
NTKERNELAPI BOOLEAN NTAPI MmForceSectionClosed(PSECTION_OBJECT_POINTERS SectionObjectPointer, BOOLEAN DelayClose)
{
    ke::CheckIrql((const void *)&MmForceSectionClosed, APC_LEVEL);
    (void)DelayClose;
    std::lock_guard<std::mutex> guard(mm::Sections().lock);
    return SectionObjectPointer->ImageSectionObject == nullptr && SectionObjectPointer->DataSectionObject == nullptr;
}

} // extern "C"
