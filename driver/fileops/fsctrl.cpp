/*
 * IRP_MJ_FILE_SYSTEM_CONTROL: the mount request the I/O manager sends to the
 * registered file system, and the file-system controls of a volume: oplocks,
 * the volume's mounted test and statistics here; reparse points
 * (reparse_control.cpp), sparse files, allocated ranges and zeroing
 * (sparse_control.cpp) and block cloning (clone.cpp).
 */
#include "vorel.h"

#define STATISTICS_RECORD_BYTES 320u /* the common head and the NTFS-shaped rest, per processor */

/* ClampToULong: a counter as the 32-bit field of a statistics record. */
static ULONG ClampToULong(LONG64 Value)
{
    return Value < 0 ? 0 : Value > (LONG64)MAXULONG ? MAXULONG : (ULONG)Value;
}

/* What an oplock control asks for. */
typedef struct _OPLOCK_REQUEST_KIND {
    BOOLEAN Request;       /* asks for an oplock (else an acknowledgement or notify) */
    BOOLEAN Shared;        /* level 2, or a Windows 7 level without write caching */
    BOOLEAN HandleCaching; /* batch, filter, or a level with handle caching */
} OPLOCK_REQUEST_KIND;

/*
 * ClassifyOplockControl: reads Code (and for FSCTL_REQUEST_OPLOCK its buffered
 * input) into Kind. Returns STATUS_BUFFER_TOO_SMALL or STATUS_INVALID_PARAMETER
 * for a malformed FSCTL_REQUEST_OPLOCK, else STATUS_SUCCESS.
 */
static NTSTATUS ClassifyOplockControl(PIRP Irp, PIO_STACK_LOCATION IrpSp, ULONG Code, OPLOCK_REQUEST_KIND *Kind)
{
    RtlZeroMemory(Kind, sizeof(*Kind));
    switch (Code) {
    case FSCTL_REQUEST_OPLOCK_LEVEL_2:
        Kind->Shared = TRUE;
        /* fall through */
    case FSCTL_REQUEST_OPLOCK_LEVEL_1:
        Kind->Request = TRUE;
        return STATUS_SUCCESS;
    case FSCTL_REQUEST_BATCH_OPLOCK:
    case FSCTL_REQUEST_FILTER_OPLOCK:
        Kind->Request = TRUE;
        Kind->HandleCaching = TRUE;
        return STATUS_SUCCESS;
    case FSCTL_REQUEST_OPLOCK: {
        if (IrpSp->Parameters.FileSystemControl.InputBufferLength < sizeof(REQUEST_OPLOCK_INPUT_BUFFER) ||
            IrpSp->Parameters.FileSystemControl.OutputBufferLength < sizeof(REQUEST_OPLOCK_OUTPUT_BUFFER) ||
            Irp->AssociatedIrp.SystemBuffer == NULL)
            return STATUS_BUFFER_TOO_SMALL;
        PREQUEST_OPLOCK_INPUT_BUFFER input = (PREQUEST_OPLOCK_INPUT_BUFFER)Irp->AssociatedIrp.SystemBuffer;
        ULONG which = input->Flags & (REQUEST_OPLOCK_INPUT_FLAG_REQUEST | REQUEST_OPLOCK_INPUT_FLAG_ACK);
        if (which != REQUEST_OPLOCK_INPUT_FLAG_REQUEST && which != REQUEST_OPLOCK_INPUT_FLAG_ACK)
            return STATUS_INVALID_PARAMETER;
        Kind->Request = which == REQUEST_OPLOCK_INPUT_FLAG_REQUEST;
        Kind->Shared = !(input->RequestedOplockLevel & OPLOCK_LEVEL_CACHE_WRITE);
        Kind->HandleCaching = (input->RequestedOplockLevel & OPLOCK_LEVEL_CACHE_HANDLE) != 0;
        return STATUS_SUCCESS;
    }
    default: /* acknowledgements and the break notification */
        return STATUS_SUCCESS;
    }
}

/*
 * OplockControl: an oplock request, acknowledgement or break notification on a
 * handle. Takes the node's main resource exclusive around the package call, so the
 * open count it passes cannot change under it. Sets *HandedOn once the package owns
 * (and completes) the request. Returns the package's status or the refusal.
 */
static NTSTATUS OplockControl(PIRP Irp, PIO_STACK_LOCATION IrpSp, ULONG Code, PBOOLEAN HandedOn)
{
    PCCB ccb = HandleCcb(IrpSp->FileObject);
    if (ccb == NULL)
        return STATUS_INVALID_PARAMETER; /* a volume handle has no node */
    PFCB node = ccb->Node;
    OPLOCK_REQUEST_KIND kind;
    NTSTATUS status = ClassifyOplockControl(Irp, IrpSp, Code, &kind);
    if (!NT_SUCCESS(status))
        return status;
    if (kind.Request && !kind.Shared && node->IsDirectory)
        return STATUS_INVALID_PARAMETER;

    ExAcquireResourceExclusiveLite(&node->MainResource, TRUE);
    node->OplockInUse = TRUE;
    ULONG count = 0;
    if (kind.Request && !kind.Shared)
        count = (ULONG)node->OpenCount;
    else if (kind.Request && !node->IsDirectory)
        count = HasFileLocks(node) ? 1 : 0;
    if (kind.Request && kind.HandleCaching && (node->DeletePending || ccb->DeleteOnClose)) {
        status = STATUS_DELETE_PENDING;
    } else {
        *HandedOn = TRUE;
        status = FsRtlOplockFsctrl(&node->Oplock, Irp, count);
    }
    ExReleaseResourceLite(&node->MainResource);
    return status;
}

/*
 * FilesystemStatistics: FSCTL_FILESYSTEM_GET_STATISTICS. One 320-byte record
 * per active processor; each record whose common head fits is filled from the
 * processor's I/O slot of the volume (read and written counts and bytes, each
 * clamped to 32 bits), the rest of the reply is zero. Any IRQL up to
 * APC_LEVEL; the slots are read without a lock, each counter whole. Returns
 * STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_USER_BUFFER, STATUS_BUFFER_OVERFLOW
 * when not every record fits, or STATUS_SUCCESS.
 */
static NTSTATUS FilesystemStatistics(PIRP Irp, PIO_STACK_LOCATION IrpSp, PVCB Vcb)
{
    ULONG length = IrpSp->Parameters.FileSystemControl.OutputBufferLength;
    PUCHAR output = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (length < sizeof(FILESYSTEM_STATISTICS))
        return STATUS_BUFFER_TOO_SMALL;
    if (output == NULL)
        return STATUS_INVALID_USER_BUFFER;

    ULONG processors = KeQueryActiveProcessorCountEx(ALL_PROCESSOR_GROUPS);
    if (processors == 0)
        processors = 1;
    ULONGLONG total = (ULONGLONG)STATISTICS_RECORD_BYTES * processors;
    ULONG reply = (ULONG)min((ULONGLONG)length, total);
    RtlZeroMemory(output, reply);
    for (ULONG i = 0; i < processors && (ULONGLONG)i * STATISTICS_RECORD_BYTES + sizeof(FILESYSTEM_STATISTICS) <= reply;
         i++) {
        FILESYSTEM_STATISTICS record;
        RtlZeroMemory(&record, sizeof(record));
        record.FileSystemType = FILESYSTEM_STATISTICS_TYPE_NTFS;
        record.Version = 1;
        record.SizeOfCompleteStructure = STATISTICS_RECORD_BYTES;
        if (i < VOLUME_IO_SLOTS) {
            PVOLUME_IO_SLOT slot = &VcbIoSlots(Vcb)[i];
            record.UserFileReads = record.UserDiskReads = ClampToULong(ReadNoFence64(&slot->Counters[IO_SLOT_READ_COUNT]));
            record.UserFileReadBytes = ClampToULong(ReadNoFence64(&slot->Counters[IO_SLOT_READ_COUNT + 1]));
            record.UserFileWrites = record.UserDiskWrites =
                ClampToULong(ReadNoFence64(&slot->Counters[IO_SLOT_WRITE_COUNT]));
            record.UserFileWriteBytes = ClampToULong(ReadNoFence64(&slot->Counters[IO_SLOT_WRITE_COUNT + 1]));
        }
        RtlCopyMemory(output + (SIZE_T)i * STATISTICS_RECORD_BYTES, &record, sizeof(record));
    }
    Irp->IoStatus.Information = reply;
    return reply < total ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

/*
 * CommonUserFsRequest: IRP_MN_USER_FS_REQUEST on an admitted volume. The oplock
 * controls go to the oplock package, the volume's own and the file controls to
 * their routines; every other control is refused with
 * STATUS_INVALID_DEVICE_REQUEST before it reaches a node.
 */
static NTSTATUS CommonUserFsRequest(PIRP Irp, PVCB Vcb, PBOOLEAN HandedOn)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    if (irpSp->MinorFunction != IRP_MN_USER_FS_REQUEST)
        return STATUS_INVALID_DEVICE_REQUEST;
    ULONG code = irpSp->Parameters.FileSystemControl.FsControlCode;
    switch (code) {
    case FSCTL_REQUEST_OPLOCK_LEVEL_1:
    case FSCTL_REQUEST_OPLOCK_LEVEL_2:
    case FSCTL_REQUEST_BATCH_OPLOCK:
    case FSCTL_OPLOCK_BREAK_ACKNOWLEDGE:
    case FSCTL_OPBATCH_ACK_CLOSE_PENDING:
    case FSCTL_OPLOCK_BREAK_NOTIFY:
    case FSCTL_OPLOCK_BREAK_ACK_NO_2:
    case FSCTL_REQUEST_FILTER_OPLOCK:
    case FSCTL_REQUEST_OPLOCK:
        return OplockControl(Irp, irpSp, code, HandedOn);
    case FSCTL_IS_VOLUME_MOUNTED:
        return STATUS_SUCCESS;
    case FSCTL_FILESYSTEM_GET_STATISTICS:
        return FilesystemStatistics(Irp, irpSp, Vcb);
    case FSCTL_GET_REPARSE_POINT:
        return GetReparsePointControl(Irp, irpSp);
    case FSCTL_SET_REPARSE_POINT:
    case FSCTL_SET_REPARSE_POINT_EX:
    case FSCTL_DELETE_REPARSE_POINT:
        return ChangeReparsePointControl(Irp, irpSp, Vcb, code);
    case FSCTL_SET_SPARSE:
        return SetSparseControl(Irp, irpSp);
    case FSCTL_QUERY_ALLOCATED_RANGES:
        return QueryAllocatedRangesControl(Irp, irpSp);
    case FSCTL_SET_ZERO_DATA:
        return SetZeroDataControl(Irp, irpSp);
    case FSCTL_DUPLICATE_EXTENTS_TO_FILE:
        return DuplicateExtentsControl(Irp, irpSp);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

/*
 * VorelFileSystemControl: PASSIVE_LEVEL. A mount request goes to the volume
 * mount; the controls on a volume are served by CommonUserFsRequest; anything
 * else is refused with STATUS_INVALID_DEVICE_REQUEST. Completes the request with
 * its status, unless the oplock package took it.
 */
NTSTATUS NTAPI VorelFileSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_MOUNT_VOLUME && VcbFromDevice(DeviceObject) != NULL)
        return DispatchVolumeHandOff(DeviceObject, Irp, CommonUserFsRequest);

    IRP_FRAME frame;
    FrameEnter(&frame, Irp);
    Irp->IoStatus.Information = 0;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction == IRP_MN_MOUNT_VOLUME)
        status = MountVolume(Irp);
    FrameLeave(&frame, status);
    return status;
}
