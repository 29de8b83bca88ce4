/*
 * IRP_MJ_QUERY_VOLUME_INFORMATION. Every class is answered from the volume's
 * records as they stand: the size and label from the volume device record, the
 * free space from the store's charge. No lock is taken: the size is a single
 * aligned store that resize publishes, the charge an interlocked counter, and
 * the label is fixed once the volume is listed. A free-space answer is a
 * snapshot that a concurrent write may already have made stale, as on any
 * file system.
 *
 * Setting volume information has no handler: the label is chosen when the
 * volume is created and never changes, so the default handler refuses it.
 */
#include "vorel.h"

#define VOREL_ALLOCATION_UNIT 4096
#define VOREL_SECTOR_BYTES 512
#define VOREL_FILE_SYSTEM_NAME L"VOREL"

#define VOREL_FS_ATTRIBUTES                                                                                   \
    (FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK | FILE_SUPPORTS_SPARSE_FILES |                          \
     FILE_SUPPORTS_REPARSE_POINTS | FILE_SUPPORTS_EXTENDED_ATTRIBUTES | FILE_SUPPORTS_OPEN_BY_FILE_ID |       \
     FILE_SUPPORTS_BLOCK_REFCOUNTING)

/*
 * VolumeUnits: the volume's total and available allocation units. Available
 * space is the size less the charged bytes, 0 when the charge runs past the
 * size (a shrink below the data held, or an image loaded without the check).
 */
static VOID VolumeUnits(PVCB Vcb, PLONGLONG Total, PLONGLONG Available)
{
    ULONGLONG size = ReadULong64NoFence(&Vcb->Store.SizeBytes);
    LONG64 charged = ReadNoFence64(&Vcb->Store.ChargedBytes);
    ULONGLONG used = charged > 0 ? (ULONGLONG)charged : 0;
    *Total = (LONGLONG)(size / VOREL_ALLOCATION_UNIT);
    *Available = (LONGLONG)(used < size ? (size - used) / VOREL_ALLOCATION_UNIT : 0);
}

/*
 * QueryFsVolume: the serial number and label. A buffer that holds the fixed
 * part but not the whole label gets the fixed part (with the full label length,
 * so the caller can size its retry) and STATUS_BUFFER_OVERFLOW.
 */
static NTSTATUS QueryFsVolume(PVCB Vcb, PFILE_FS_VOLUME_INFORMATION Buffer, ULONG Length, PULONG_PTR Information)
{
    PVOLUME_DEVICE_RECORD vdr = Vcb->Vdr;
    ULONG units = 0;
    while (units < VOLUME_LABEL_UNITS - 1 && vdr->Label[units] != L'\0')
        units++;
    ULONG labelBytes = units * sizeof(WCHAR);
    ULONG fixed = FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel);

    Buffer->VolumeCreationTime.QuadPart = 0;
    Buffer->VolumeSerialNumber = vdr->SerialNumber;
    Buffer->VolumeLabelLength = labelBytes;
    Buffer->SupportsObjects = FALSE;
    if (Length - fixed < labelBytes) {
        *Information = fixed;
        return STATUS_BUFFER_OVERFLOW;
    }
    RtlCopyMemory(Buffer->VolumeLabel, vdr->Label, labelBytes);
    *Information = fixed + labelBytes;
    return STATUS_SUCCESS;
}

/*
 * QueryFsAttribute: the file system's features and its name. The name is all
 * or nothing: a buffer too short for it gets the fixed part and
 * STATUS_BUFFER_OVERFLOW.
 */
static NTSTATUS QueryFsAttribute(PVCB Vcb, PFILE_FS_ATTRIBUTE_INFORMATION Buffer, ULONG Length,
                                 PULONG_PTR Information)
{
    ULONG nameBytes = sizeof(VOREL_FILE_SYSTEM_NAME) - sizeof(WCHAR);
    ULONG fixed = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);

    Buffer->FileSystemAttributes = VOREL_FS_ATTRIBUTES | (Vcb->NoSecurity ? 0 : FILE_PERSISTENT_ACLS);
    Buffer->MaximumComponentNameLength = 255;
    Buffer->FileSystemNameLength = nameBytes;
    if (Length - fixed < nameBytes) {
        *Information = fixed;
        return STATUS_BUFFER_OVERFLOW;
    }
    RtlCopyMemory(Buffer->FileSystemName, VOREL_FILE_SYSTEM_NAME, nameBytes);
    *Information = fixed + nameBytes;
    return STATUS_SUCCESS;
}

/* The fixed size of each class served, 0 for a class this file system does not answer. */
static ULONG FixedSizeOf(FS_INFORMATION_CLASS Class)
{
    switch (Class) {
    case FileFsVolumeInformation:
        return sizeof(FILE_FS_VOLUME_INFORMATION);
    case FileFsSizeInformation:
        return sizeof(FILE_FS_SIZE_INFORMATION);
    case FileFsDeviceInformation:
        return sizeof(FILE_FS_DEVICE_INFORMATION);
    case FileFsAttributeInformation:
        return sizeof(FILE_FS_ATTRIBUTE_INFORMATION);
    case FileFsFullSizeInformation:
        return sizeof(FILE_FS_FULL_SIZE_INFORMATION);
    default:
        return 0;
    }
}

/*
 * CommonQueryVolumeInformation: a volume-information query on an admitted
 * volume, buffered: the record is built in the system buffer. No lock is held
 * or taken. Returns STATUS_INVALID_INFO_CLASS for a class not served,
 * STATUS_BUFFER_TOO_SMALL below the class's fixed size, STATUS_BUFFER_OVERFLOW
 * when only a variable tail does not fit, else STATUS_SUCCESS; sets Information.
 */
static NTSTATUS CommonQueryVolumeInformation(PIRP Irp, PVCB Vcb)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    FS_INFORMATION_CLASS infoClass = stack->Parameters.QueryVolume.FsInformationClass;
    ULONG length = stack->Parameters.QueryVolume.Length;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG fixed = FixedSizeOf(infoClass);
    LONGLONG total;
    LONGLONG available;

    if (fixed == 0)
        return STATUS_INVALID_INFO_CLASS;
    if (length < fixed || buffer == NULL)
        return STATUS_BUFFER_TOO_SMALL;

    switch (infoClass) {
    case FileFsVolumeInformation:
        return QueryFsVolume(Vcb, (PFILE_FS_VOLUME_INFORMATION)buffer, length, &Irp->IoStatus.Information);
    case FileFsAttributeInformation:
        return QueryFsAttribute(Vcb, (PFILE_FS_ATTRIBUTE_INFORMATION)buffer, length, &Irp->IoStatus.Information);
    case FileFsSizeInformation: {
        PFILE_FS_SIZE_INFORMATION record = (PFILE_FS_SIZE_INFORMATION)buffer;
        VolumeUnits(Vcb, &total, &available);
        record->TotalAllocationUnits.QuadPart = total;
        record->AvailableAllocationUnits.QuadPart = available;
        record->SectorsPerAllocationUnit = VOREL_ALLOCATION_UNIT / VOREL_SECTOR_BYTES;
        record->BytesPerSector = VOREL_SECTOR_BYTES;
        break;
    }
    case FileFsFullSizeInformation: {
        PFILE_FS_FULL_SIZE_INFORMATION record = (PFILE_FS_FULL_SIZE_INFORMATION)buffer;
        VolumeUnits(Vcb, &total, &available);
        record->TotalAllocationUnits.QuadPart = total;
        record->CallerAvailableAllocationUnits.QuadPart = available;
        record->ActualAvailableAllocationUnits.QuadPart = available;
        record->SectorsPerAllocationUnit = VOREL_ALLOCATION_UNIT / VOREL_SECTOR_BYTES;
        record->BytesPerSector = VOREL_SECTOR_BYTES;
        break;
    }
    default: {
        PFILE_FS_DEVICE_INFORMATION record = (PFILE_FS_DEVICE_INFORMATION)buffer;
        record->DeviceType = FILE_DEVICE_DISK;
        record->Characteristics = 0;
        break;
    }
    }
    Irp->IoStatus.Information = fixed;
    return STATUS_SUCCESS;
}

/* VorelQueryVolumeInformation: PASSIVE_LEVEL. Admission refusals as for every volume request, else the common worker. */
NTSTATUS NTAPI VorelQueryVolumeInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeRequest(DeviceObject, Irp, CommonQueryVolumeInformation);
}
