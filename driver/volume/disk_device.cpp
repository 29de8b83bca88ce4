/*
 * A volume's disk device: the mount-device and disk queries the mount manager,
 * the volume manager and applications send to it. The answers come from the
 * volume device record alone, so they need no lock: every field they read is
 * fixed while the record lives, but the size, a single aligned 64-bit value.
 */
#include "vorel.h"

#define GEOMETRY_BYTES_PER_CYLINDER (1024 * 1024)
#define GEOMETRY_TRACKS_PER_CYLINDER 64
#define GEOMETRY_SECTORS_PER_TRACK 32
#define GEOMETRY_BYTES_PER_SECTOR 512

/* QueryDeviceName: u16 length, then the name; the length alone when the name does not fit. */
static NTSTATUS QueryDeviceName(PVOLUME_DEVICE_RECORD Vdr, PVOID Buffer, ULONG OutputLength, PULONG_PTR Reply)
{
    if (OutputLength < sizeof(MOUNTDEV_NAME))
        return STATUS_INVALID_PARAMETER;
    PMOUNTDEV_NAME name = (PMOUNTDEV_NAME)Buffer;
    name->NameLength = Vdr->DeviceName.Length;
    ULONG needed = FIELD_OFFSET(MOUNTDEV_NAME, Name) + Vdr->DeviceName.Length;
    if (OutputLength < needed) {
        *Reply = sizeof(MOUNTDEV_NAME);
        return STATUS_BUFFER_OVERFLOW;
    }
    RtlCopyMemory(name->Name, Vdr->DeviceName.Buffer, Vdr->DeviceName.Length);
    *Reply = needed;
    return STATUS_SUCCESS;
}

/* QueryUniqueId: u16 16, then the 16-byte unique ID. */
static NTSTATUS QueryUniqueId(PVOLUME_DEVICE_RECORD Vdr, PVOID Buffer, ULONG OutputLength, PULONG_PTR Reply)
{
    if (OutputLength < sizeof(MOUNTDEV_UNIQUE_ID))
        return STATUS_INVALID_PARAMETER;
    PMOUNTDEV_UNIQUE_ID id = (PMOUNTDEV_UNIQUE_ID)Buffer;
    id->UniqueIdLength = VOLUME_UNIQUE_ID_BYTES;
    ULONG needed = FIELD_OFFSET(MOUNTDEV_UNIQUE_ID, UniqueId) + VOLUME_UNIQUE_ID_BYTES;
    if (OutputLength < needed) {
        *Reply = sizeof(MOUNTDEV_UNIQUE_ID);
        return STATUS_BUFFER_OVERFLOW;
    }
    RtlCopyMemory(id->UniqueId, Vdr->UniqueId, VOLUME_UNIQUE_ID_BYTES);
    *Reply = needed;
    return STATUS_SUCCESS;
}

/* QuerySuggestedLinkName: "\DosDevices\X:", to be used only when the volume has no other link. */
static NTSTATUS QuerySuggestedLinkName(PVOLUME_DEVICE_RECORD Vdr, PVOID Buffer, ULONG OutputLength,
                                       PULONG_PTR Reply)
{
    if (OutputLength < sizeof(MOUNTDEV_SUGGESTED_LINK_NAME))
        return STATUS_INVALID_PARAMETER;
    WCHAR linkBuffer[LETTER_LINK_UNITS];
    UNICODE_STRING link;
    FormatLetterLink(Vdr->Letter, linkBuffer, &link);
    PMOUNTDEV_SUGGESTED_LINK_NAME suggested = (PMOUNTDEV_SUGGESTED_LINK_NAME)Buffer;
    suggested->UseOnlyIfThereAreNoOtherLinks = TRUE;
    suggested->NameLength = link.Length;
    ULONG needed = FIELD_OFFSET(MOUNTDEV_SUGGESTED_LINK_NAME, Name) + link.Length;
    if (OutputLength < needed) {
        *Reply = sizeof(MOUNTDEV_SUGGESTED_LINK_NAME);
        return STATUS_BUFFER_OVERFLOW;
    }
    RtlCopyMemory(suggested->Name, link.Buffer, link.Length);
    *Reply = needed;
    return STATUS_SUCCESS;
}

/* QueryGeometry: 1 MiB cylinders of 64 tracks of 32 sectors of 512 bytes; never 0 cylinders. */
static NTSTATUS QueryGeometry(PVOLUME_DEVICE_RECORD Vdr, PVOID Buffer, ULONG OutputLength, PULONG_PTR Reply)
{
    if (OutputLength < sizeof(DISK_GEOMETRY))
        return STATUS_BUFFER_TOO_SMALL;
    PDISK_GEOMETRY geometry = (PDISK_GEOMETRY)Buffer;
    ULONGLONG cylinders = ReadULong64Acquire(&Vdr->SizeBytes) / GEOMETRY_BYTES_PER_CYLINDER;
    geometry->Cylinders.QuadPart = (LONGLONG)max(cylinders, 1ULL);
    geometry->MediaType = FixedMedia;
    geometry->TracksPerCylinder = GEOMETRY_TRACKS_PER_CYLINDER;
    geometry->SectorsPerTrack = GEOMETRY_SECTORS_PER_TRACK;
    geometry->BytesPerSector = GEOMETRY_BYTES_PER_SECTOR;
    *Reply = sizeof(DISK_GEOMETRY);
    return STATUS_SUCCESS;
}

static NTSTATUS QueryLength(PVOLUME_DEVICE_RECORD Vdr, PVOID Buffer, ULONG OutputLength, PULONG_PTR Reply)
{
    if (OutputLength < sizeof(GET_LENGTH_INFORMATION))
        return STATUS_BUFFER_TOO_SMALL;
    ((PGET_LENGTH_INFORMATION)Buffer)->Length.QuadPart = (LONGLONG)ReadULong64Acquire(&Vdr->SizeBytes);
    *Reply = sizeof(GET_LENGTH_INFORMATION);
    return STATUS_SUCCESS;
}

/*
 * DiskDeviceRequest: a device-control request sent to a volume's disk device.
 * Any IRQL up to APC_LEVEL. Returns the completion status and sets the reply
 * length (the frame clears it for an error).
 */
NTSTATUS DiskDeviceRequest(PVOLUME_DEVICE_RECORD Vdr, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    PULONG_PTR reply = &Irp->IoStatus.Information;

    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOUNTDEV_QUERY_DEVICE_NAME:
        return QueryDeviceName(Vdr, buffer, outputLength, reply);
    case IOCTL_MOUNTDEV_QUERY_UNIQUE_ID:
        return QueryUniqueId(Vdr, buffer, outputLength, reply);
    case IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME:
        return QuerySuggestedLinkName(Vdr, buffer, outputLength, reply);
    case IOCTL_MOUNTDEV_QUERY_STABLE_GUID:
        return STATUS_NOT_FOUND;
    case IOCTL_DISK_GET_LENGTH_INFO:
        return QueryLength(Vdr, buffer, outputLength, reply);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        return QueryGeometry(Vdr, buffer, outputLength, reply);
    case IOCTL_MOUNTDEV_LINK_CREATED:
    case IOCTL_MOUNTDEV_LINK_DELETED:
    case IOCTL_DISK_IS_WRITABLE:
    case IOCTL_DISK_CHECK_VERIFY:
    case IOCTL_DISK_MEDIA_REMOVAL:
    case IOCTL_STORAGE_CHECK_VERIFY2:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_MEDIA_REMOVAL:
    case IOCTL_VOLUME_ONLINE:
    case IOCTL_VOLUME_POST_ONLINE:
        return STATUS_SUCCESS;
    case IOCTL_VOLUME_IS_PARTITION:
    case IOCTL_VOLUME_IS_DYNAMIC:
        return STATUS_INVALID_PARAMETER;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}
