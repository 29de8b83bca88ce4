/*
 * What a file system asks the memory manager about a file's sections. This system
 * makes no sections yet (they come with mapped files), so the section object
 * pointers a file system hands in hold none: a file can be truncated, its image
 * section flushed and its sections closed. A pointer the stand-in did not make
 * stands for a section in use, and the answers say so.
 */
#include "ke/dispatcher.h"

#include <km/section.h>

extern "C" {

NTKERNELAPI BOOLEAN NTAPI MmCanFileBeTruncated(PSECTION_OBJECT_POINTERS SectionPointer, PLARGE_INTEGER NewFileSize)
{
    ke::CheckIrql((const void *)&MmCanFileBeTruncated, APC_LEVEL);
    (void)NewFileSize;
    /* An image section forbids truncation; a data section means users hold references or views. */
    return SectionPointer->ImageSectionObject == nullptr && SectionPointer->DataSectionObject == nullptr;
}

NTKERNELAPI BOOLEAN NTAPI MmFlushImageSection(PSECTION_OBJECT_POINTERS SectionObjectPointer, MMFLUSH_TYPE FlushType)
{
    ke::CheckIrql((const void *)&MmFlushImageSection, APC_LEVEL);
    (void)FlushType;
    return SectionObjectPointer->ImageSectionObject == nullptr;
}

NTKERNELAPI BOOLEAN NTAPI MmForceSectionClosed(PSECTION_OBJECT_POINTERS SectionObjectPointer, BOOLEAN DelayClose)
{
    ke::CheckIrql((const void *)&MmForceSectionClosed, APC_LEVEL);
    (void)DelayClose;
    /* TRUE when the sections were deleted or none was found. */
    return SectionObjectPointer->ImageSectionObject == nullptr && SectionObjectPointer->DataSectionObject == nullptr;
}

} // extern "C"
