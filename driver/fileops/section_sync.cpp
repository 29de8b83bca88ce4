/*
 * Section synchronisation: the memory manager asks the file system to hold a file
 * while it creates a section on it. Before any page of the file can be mapped, the
 * node's storage is made private (a writable mapping must not write into data
 * another file shares copy-on-write) and the section flags are set, so reads and
 * writes keep coherent with the mapping (read_write.cpp). Compressed extents are
 * decoded first, whatever the protection: paging I/O copies memory only, and the
 * compression worker leaves a file alone while it has a section.
 *
 * Section flags: SectionCreated is the section-present flag, Mapped the
 * flush-before-read flag (set for writable sections); both under the main resource
 * exclusive.
 *
 * The node's main resource, taken here, stays held until the system releases it:
 * through ReleaseFileForNtCreateSection, or directly through the header's Resource
 * (no post or release callback is registered).
 */
#include "vorel.h"

/* NodeOfFile: the node of a file object opened on a file or directory; NULL for a volume or control handle. */
static PFCB NodeOfFile(PFILE_OBJECT FileObject)
{
    if (FileObject == NULL || FileObject->FsContext == NULL || FileObject->FsContext2 == NULL)
        return NULL;
    PCCB ccb = (PCCB)FileObject->FsContext2;
    PFCB node = (PFCB)FileObject->FsContext;
    if (ccb->Signature != CCB_SIGNATURE || node->Signature != FCB_SIGNATURE)
        return NULL;
    return node;
}

/*
 * DecodeForMapping: decodes every compressed extent of the node, under its paging
 * resource exclusive. The caller holds the main resource exclusive.
 */
static NTSTATUS DecodeForMapping(PFCB Node)
{
    if (ReadULongNoFence(&Node->Data.CompressedExtentCount) == 0)
        return STATUS_SUCCESS;
    ExAcquireResourceExclusiveLite(&Node->PagingIoResource, TRUE);
    NTSTATUS status = DecompressExtents(Node, 0, MAXULONGLONG);
    ExReleaseResourceLite(&Node->PagingIoResource);
    return status;
}

/*
 * AcquireFileForNtCreateSection: takes the node's main resource exclusive (it
 * stays held), sets both section flags, decodes compressed extents and makes
 * shared storage private. A failure cannot be reported through this entry: a
 * failure to unshare leaves the flags to send every later write through the slow
 * path, which unshares as it writes. A failure to decode would leave paging I/O
 * facing compressed data: the system calls this entry only for a file system
 * without the section-synchronisation callback below, which the driver
 * registers and which does report it.
 */
VOID NTAPI AcquireFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    PFCB node = NodeOfFile(FileObject);
    if (node == NULL)
        return;
    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    node->SectionCreated = TRUE;
    node->Mapped = TRUE;
    (VOID)DecodeForMapping(node);
    (VOID)UnshareAll(node);
}

/* ReleaseFileForNtCreateSection: releases what AcquireFileForNtCreateSection took. */
VOID NTAPI ReleaseFileForNtCreateSection(PFILE_OBJECT FileObject)
{
    PFCB node = NodeOfFile(FileObject);
    if (node == NULL)
        return;
    ExReleaseResourceLite(&node->MainResource);
}

/*
 * PreAcquireForSectionSynchronization: the filter callback the memory manager
 * calls before it creates a section. Takes the node's main resource exclusive
 * through the common header; for a section with a writable page protection makes
 * the storage private and sets both section flags, otherwise only section-present.
 * Compressed extents are decoded for any section.
 * Returns STATUS_FILE_LOCKED_WITH_WRITERS / _WITH_ONLY_READERS for a section
 * creation (by the share access's writers), STATUS_FSFILTER_OP_COMPLETED_SUCCESSFULLY
 * for any other sync type, with the resource held; or the decoding or unsharing
 * failure with the resource released.
 */
NTSTATUS NTAPI PreAcquireForSectionSynchronization(PFS_FILTER_CALLBACK_DATA Data, PVOID *CompletionContext)
{
    UNREFERENCED_PARAMETER(CompletionContext);
    PFCB node = NodeOfFile(Data->FileObject);
    if (node != NULL)
        ExAcquireResourceExclusiveLite(node->Header.Resource, TRUE);
    if (Data->Parameters.AcquireForSectionSynchronization.SyncType != SyncTypeCreateSection)
        return STATUS_FSFILTER_OP_COMPLETED_SUCCESSFULLY;
    if (node == NULL)
        return STATUS_FILE_LOCKED_WITH_ONLY_READERS;
    NTSTATUS decoded = DecodeForMapping(node);
    if (!NT_SUCCESS(decoded)) {
        ExReleaseResourceLite(node->Header.Resource);
        return decoded;
    }
    if (Data->Parameters.AcquireForSectionSynchronization.PageProtection & (PAGE_READWRITE | PAGE_EXECUTE_READWRITE)) {
        NTSTATUS status = UnshareAll(node);
        if (!NT_SUCCESS(status)) {
            ExReleaseResourceLite(node->Header.Resource);
            return status;
        }
        node->SectionCreated = TRUE;
        node->Mapped = TRUE;
    } else {
        node->SectionCreated = TRUE;
    }
    return node->ShareAccessInitialized && node->ShareAccess.Writers != 0 ? STATUS_FILE_LOCKED_WITH_WRITERS
                                                                         : STATUS_FILE_LOCKED_WITH_ONLY_READERS;
}
