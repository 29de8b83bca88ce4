/*
 * The reparse-point controls on a handle's node: get, set, set over a named
 * point (set-ex) and delete. The stored point and its validation belong to the
 * namespace (reparse.cpp); these routines check the request, take the node's
 * main resource and report the change.
 *
 * Buffers are the I/O manager's system copies (METHOD_BUFFERED), so they are
 * read without probing; they need not be aligned for the reparse records.
 */
#include "vorel.h"

#define REPARSE_CHANGE_ACCESS (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES) /* 0x102 */
#define REPARSE_CHANGE_FILTER (FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_ATTRIBUTES) /* 0x14 */

/*
 * GetReparsePointControl: FSCTL_GET_REPARSE_POINT. Copies the stored buffer
 * into the output under the node's main resource shared. Returns
 * STATUS_INVALID_PARAMETER (no node, or an input), STATUS_INVALID_USER_BUFFER,
 * STATUS_NOT_A_REPARSE_POINT or STATUS_BUFFER_TOO_SMALL; Information is the
 * stored length on success.
 */
NTSTATUS GetReparsePointControl(PIRP Irp, PIO_STACK_LOCATION IrpSp)
{
    PCCB ccb = HandleCcb(IrpSp->FileObject);
    ULONG outputLength = IrpSp->Parameters.FileSystemControl.OutputBufferLength;
    PVOID output = Irp->AssociatedIrp.SystemBuffer;
    if (ccb == NULL || IrpSp->Parameters.FileSystemControl.InputBufferLength != 0)
        return STATUS_INVALID_PARAMETER;
    if (outputLength == 0 || output == NULL)
        return STATUS_INVALID_USER_BUFFER;

    PFCB node = ccb->Node;
    NTSTATUS status = STATUS_SUCCESS;
    ExAcquireResourceSharedLite(&node->MainResource, TRUE);
    if (node->ReparseTag == 0 || node->ReparseBuffer == NULL) {
        status = STATUS_NOT_A_REPARSE_POINT;
    } else if (outputLength < node->ReparseLength) {
        status = STATUS_BUFFER_TOO_SMALL;
    } else {
        RtlCopyMemory(output, node->ReparseBuffer, node->ReparseLength);
        Irp->IoStatus.Information = node->ReparseLength;
    }
    ExReleaseResourceLite(&node->MainResource);
    return status;
}

/*
 * CheckExistingReparsePoint: set-ex's condition on the point the node has now,
 * named by the caller's ExistingReparseTag and GUID. Main resource exclusive.
 * Returns STATUS_IO_REPARSE_TAG_MISMATCH, STATUS_REPARSE_ATTRIBUTE_CONFLICT or
 * STATUS_SUCCESS.
 */
static NTSTATUS CheckExistingReparsePoint(PFCB Node, const REPARSE_DATA_BUFFER_EX *Input)
{
    ULONG flags, existingTag;
    GUID existingGuid;
    RtlCopyMemory(&flags, &Input->Flags, sizeof(flags));
    RtlCopyMemory(&existingTag, &Input->ExistingReparseTag, sizeof(existingTag));
    RtlCopyMemory(&existingGuid, &Input->ExistingReparseGuid, sizeof(existingGuid));
    if (existingTag == 0)
        return Node->ReparseTag != 0 ? STATUS_IO_REPARSE_TAG_MISMATCH : STATUS_SUCCESS;
    if (Node->ReparseTag != existingTag) {
        if ((flags & REPARSE_DATA_EX_FLAG_GIVEN_TAG_OR_NONE) && Node->ReparseTag == 0)
            return STATUS_SUCCESS;
        return STATUS_IO_REPARSE_TAG_MISMATCH;
    }
    if (!IsReparseTagMicrosoft(existingTag) && Node->ReparseLength >= REPARSE_GUID_DATA_BUFFER_HEADER_SIZE &&
        RtlCompareMemory((const UCHAR *)Node->ReparseBuffer + REPARSE_DATA_BUFFER_HEADER_SIZE, &existingGuid,
                         sizeof(GUID)) != sizeof(GUID))
        return STATUS_REPARSE_ATTRIBUTE_CONFLICT;
    return STATUS_SUCCESS;
}

/*
 * ChangeReparsePoint: the part of set, set-ex and delete that runs under the
 * node's main resource exclusive (taken and released here). On success the
 * node's last write and change times become now.
 */
static NTSTATUS ChangeReparsePoint(PFCB Node, ULONG Code, PUCHAR Input, ULONG InputLength)
{
    NTSTATUS status;
    ExAcquireResourceExclusiveLite(&Node->MainResource, TRUE);
    switch (Code) {
    case FSCTL_SET_REPARSE_POINT:
        status = SetReparseChecked(Node, Input, InputLength);
        break;
    case FSCTL_SET_REPARSE_POINT_EX:
        status = CheckExistingReparsePoint(Node, (const REPARSE_DATA_BUFFER_EX *)Input);
        if (NT_SUCCESS(status))
            status = SetReparse(Node, Input + REPARSE_DATA_BUFFER_EX_HEADER_SIZE,
                                InputLength - REPARSE_DATA_BUFFER_EX_HEADER_SIZE);
        break;
    default:
        status = DeleteReparse(Node, Input, InputLength);
        break;
    }
    if (NT_SUCCESS(status)) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        WriteNoFence64(&Node->LastWriteTime.QuadPart, now.QuadPart);
        WriteNoFence64(&Node->ChangeTime.QuadPart, now.QuadPart);
    }
    ExReleaseResourceLite(&Node->MainResource);
    return status;
}

/*
 * ChangeReparsePointControl: FSCTL_SET_REPARSE_POINT, FSCTL_SET_REPARSE_POINT_EX
 * and FSCTL_DELETE_REPARSE_POINT. A user-mode handle needs write-data or
 * write-attributes access. Holds no lock on entry; reports the change once the
 * node's resource is released. Returns STATUS_INVALID_PARAMETER,
 * STATUS_ACCESS_DENIED, STATUS_INVALID_BUFFER_SIZE, or the namespace's status;
 * a failure leaves the point as it was.
 */
NTSTATUS ChangeReparsePointControl(PIRP Irp, PIO_STACK_LOCATION IrpSp, PVCB Vcb, ULONG Code)
{
    PCCB ccb = HandleCcb(IrpSp->FileObject);
    ULONG inputLength = IrpSp->Parameters.FileSystemControl.InputBufferLength;
    ULONG outputLength = IrpSp->Parameters.FileSystemControl.OutputBufferLength;
    PUCHAR input = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (ccb == NULL)
        return STATUS_INVALID_PARAMETER;
    if (Irp->RequestorMode == UserMode && (ccb->GrantedAccess & REPARSE_CHANGE_ACCESS) == 0)
        return STATUS_ACCESS_DENIED;
    if (Code == FSCTL_DELETE_REPARSE_POINT) {
        if (outputLength != 0)
            return STATUS_INVALID_PARAMETER;
        if (input == NULL || inputLength < REPARSE_DATA_BUFFER_HEADER_SIZE)
            return STATUS_INVALID_BUFFER_SIZE;
    } else {
        if (outputLength != 0 || Irp->UserBuffer != NULL)
            return STATUS_INVALID_PARAMETER;
        if (Code == FSCTL_SET_REPARSE_POINT_EX &&
            (input == NULL || inputLength < REPARSE_DATA_BUFFER_EX_HEADER_SIZE + REPARSE_DATA_BUFFER_HEADER_SIZE))
            return STATUS_INVALID_BUFFER_SIZE;
    }

    NTSTATUS status = ChangeReparsePoint(ccb->Node, Code, input, inputLength);
    if (NT_SUCCESS(status))
        ReportChange(Vcb, ccb->Node, REPARSE_CHANGE_FILTER, FILE_ACTION_MODIFIED);
    return status;
}
