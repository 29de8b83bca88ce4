/*
 * IRP_MJ_FLUSH_BUFFERS. The volume lives in memory, so a flush has nothing to
 * write but the pages a file's mappings dirtied: those reach the file's storage
 * through paging writes. Directories, volume handles and files without a data
 * section are already as durable as they get. Saving an image is a separate,
 * volume-wide operation; a flush never writes one.
 */
#include "vorel.h"

/*
 * CommonFlushBuffers: a flush on an admitted volume. For a mapped file, writes
 * the dirty pages under the node's main resource exclusive, so no new section
 * or size change slips in while the cache manager walks the pages. Returns the
 * cache manager's status, else STATUS_SUCCESS.
 */
static NTSTATUS CommonFlushBuffers(PIRP Irp, PVCB Vcb)
{
    UNREFERENCED_PARAMETER(Vcb);
    PCCB ccb = HandleCcb(IoGetCurrentIrpStackLocation(Irp)->FileObject);
    if (ccb == NULL || ccb->Node->IsDirectory)
        return STATUS_SUCCESS;
    PFCB node = ccb->Node;
    if (ReadPointerAcquire((PVOID const volatile *)&node->SectionObjectPointers.DataSectionObject) == NULL)
        return STATUS_SUCCESS;

    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_SUCCESS;
    iosb.Information = 0;
    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    CcCoherencyFlushAndPurgeCache(&node->SectionObjectPointers, NULL, 0, &iosb, CC_FLUSH_AND_PURGE_NO_PURGE);
    ExReleaseResourceLite(&node->MainResource);
    return NT_SUCCESS(iosb.Status) ? STATUS_SUCCESS : iosb.Status;
}

/* VorelFlushBuffers: PASSIVE_LEVEL. Admission refusals as for every volume request, else CommonFlushBuffers. */
NTSTATUS NTAPI VorelFlushBuffers(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeRequest(DeviceObject, Irp, CommonFlushBuffers);
}
