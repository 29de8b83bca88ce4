/*
 * The driver's side of the conversation with the mount manager: the requests it
 * sends to \Device\MountPointManager and its edits of the MountedDevices database.
 * Everything here runs at PASSIVE_LEVEL in the calling thread and holds no driver
 * lock while it waits for the mount manager or the registry.
 */
#include "vorel.h"

#define MOUNT_POINTS_FIRST_REPLY 32
#define MOUNT_POINTS_MINIMUM_GROWTH 4096
#define MOUNTED_DEVICES_KEY L"\\Registry\\Machine\\System\\MountedDevices"
#define VALUE_ENUMERATION_BYTES 512

/* Stops the completion of a mount-manager request so its sender can read the reply before finishing it. */
static NTSTATUS NTAPI MountManagerRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * SendMountManagerRequest: one device-control request to the mount manager.
 * Returns its status and, in *Information, the bytes it returned; the open's status
 * when the mount manager cannot be opened, STATUS_INVALID_DEVICE_STATE when it
 * yields no device, STATUS_INSUFFICIENT_RESOURCES when no request can be built.
 */
NTSTATUS SendMountManagerRequest(ULONG Code, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                                 PULONG_PTR Information)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(MOUNTMGR_DEVICE_NAME);
    PFILE_OBJECT fileObject;
    PDEVICE_OBJECT device;
    if (Information != NULL)
        *Information = 0;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &fileObject, &device);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    if (top == NULL) {
        DereferenceObject(fileObject);
        return STATUS_INVALID_DEVICE_STATE;
    }

    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Code, top, Input, InputLength, Output, OutputLength, FALSE, &event,
                                             &iosb);
    if (irp == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto done;
    }
    IoSetCompletionRoutine(irp, MountManagerRequestDone, &event, TRUE, TRUE, TRUE);
    status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
    if (Information != NULL)
        *Information = irp->IoStatus.Information;

    /* The request was stopped in its completion: finishing it now lets the I/O
       manager copy the reply out and free it, in this thread, before the event and
       status block on this stack go. */
    IofCompleteRequest(irp, IO_NO_INCREMENT);

done:
    DereferenceObject(top);
    DereferenceObject(fileObject);
    return status;
}

/*
 * MountPointRequest: a query or delete request selected by any of a link name, a
 * device name and a unique ID (each may be NULL), with its reply grown when the
 * first one overflows. Whenever a request was sent (a failed growth leaves the
 * first answer) *Reply is a pool buffer (TAG_VOLUME_REQUEST) of *ReplyLength bytes
 * that the caller frees; a successful reply is valid up to its Size.
 */
static NTSTATUS MountPointRequest(ULONG Code, PCUNICODE_STRING Link, PCUNICODE_STRING DeviceName,
                                  const UCHAR *UniqueId, PMOUNTMGR_MOUNT_POINTS *Reply, PULONG ReplyLength)
{
    *Reply = NULL;
    *ReplyLength = 0;
    ULONG linkBytes = Link != NULL ? Link->Length : 0;
    ULONG deviceBytes = DeviceName != NULL ? DeviceName->Length : 0;
    ULONG idBytes = UniqueId != NULL ? VOLUME_UNIQUE_ID_BYTES : 0;
    ULONG inputLength = sizeof(MOUNTMGR_MOUNT_POINT) + linkBytes + deviceBytes + idBytes;
    PMOUNTMGR_MOUNT_POINT input = (PMOUNTMGR_MOUNT_POINT)AllocateZeroed(inputLength, TAG_VOLUME_REQUEST, PagedPool);
    if (input == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    /* Strings follow the header: device name, unique ID, link name, each when used. */
    ULONG offset = sizeof(MOUNTMGR_MOUNT_POINT);
    if (deviceBytes != 0) {
        input->DeviceNameOffset = offset;
        input->DeviceNameLength = (USHORT)deviceBytes;
        RtlCopyMemory((PUCHAR)input + offset, DeviceName->Buffer, deviceBytes);
        offset += deviceBytes;
    }
    if (idBytes != 0) {
        input->UniqueIdOffset = offset;
        input->UniqueIdLength = (USHORT)idBytes;
        RtlCopyMemory((PUCHAR)input + offset, UniqueId, idBytes);
        offset += idBytes;
    }
    if (linkBytes != 0) {
        input->SymbolicLinkNameOffset = offset;
        input->SymbolicLinkNameLength = (USHORT)linkBytes;
        RtlCopyMemory((PUCHAR)input + offset, Link->Buffer, linkBytes);
    }

    ULONG replyLength = MOUNT_POINTS_FIRST_REPLY;
    PMOUNTMGR_MOUNT_POINTS reply = (PMOUNTMGR_MOUNT_POINTS)AllocateZeroed(replyLength, TAG_VOLUME_REQUEST, PagedPool);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (reply == NULL)
        goto done;
    status = SendMountManagerRequest(Code, input, inputLength, reply, replyLength, NULL);
    if (status == STATUS_BUFFER_OVERFLOW) {
        ULONG needed = max(reply->Size, (ULONG)MOUNT_POINTS_MINIMUM_GROWTH);
        PMOUNTMGR_MOUNT_POINTS grown = (PMOUNTMGR_MOUNT_POINTS)AllocateZeroed(needed, TAG_VOLUME_REQUEST, PagedPool);
        if (grown != NULL) {
            grown->Size = needed;
            NTSTATUS again = SendMountManagerRequest(Code, input, inputLength, grown, needed, NULL);
            if (NT_SUCCESS(again)) {
                VorelData.FreePool(reply, TAG_VOLUME_REQUEST);
                reply = grown;
                replyLength = needed;
                status = again;
            } else {
                VorelData.FreePool(grown, TAG_VOLUME_REQUEST);
            }
        }
    }
    *Reply = reply;
    *ReplyLength = replyLength;

done:
    VorelData.FreePool(input, TAG_VOLUME_REQUEST);
    return status;
}

/* DeleteMountPoints: a delete request whose reply nobody reads. */
static NTSTATUS DeleteMountPoints(ULONG Code, PCUNICODE_STRING Link, PCUNICODE_STRING DeviceName,
                                  const UCHAR *UniqueId)
{
    PMOUNTMGR_MOUNT_POINTS reply;
    ULONG replyLength;
    NTSTATUS status = MountPointRequest(Code, Link, DeviceName, UniqueId, &reply, &replyLength);
    if (reply != NULL)
        VorelData.FreePool(reply, TAG_VOLUME_REQUEST);
    return status;
}

/*
 * FirstPointString: a string of a successful reply's first mount point (by its
 * offset and length fields), when the reply holds one whose string lies inside
 * the valid part of the reply.
 */
static BOOLEAN FirstPointString(PMOUNTMGR_MOUNT_POINTS Reply, ULONG ReplyLength, ULONG Offset, USHORT Length,
                                PUNICODE_STRING String)
{
    ULONG valid = min(Reply->Size, ReplyLength);
    if (Reply->NumberOfMountPoints == 0 || valid < sizeof(MOUNTMGR_MOUNT_POINTS) || Length == 0 ||
        Offset > valid || Length > valid - Offset || (Length % sizeof(WCHAR)) != 0)
        return FALSE;
    String->Buffer = (PWCH)((PUCHAR)Reply + Offset);
    String->Length = String->MaximumLength = Length;
    return TRUE;
}

/*
 * LetterLeadsToDevice: whether the mount manager's first point of the letter's
 * link names this device (compared case-insensitively).
 */
BOOLEAN LetterLeadsToDevice(WCHAR Letter, PCUNICODE_STRING DeviceName)
{
    WCHAR buffer[LETTER_LINK_UNITS];
    UNICODE_STRING link;
    FormatLetterLink(Letter, buffer, &link);
    PMOUNTMGR_MOUNT_POINTS reply;
    ULONG replyLength;
    NTSTATUS status = MountPointRequest(IOCTL_MOUNTMGR_QUERY_POINTS, &link, NULL, NULL, &reply, &replyLength);
    BOOLEAN leads = FALSE;
    if (reply != NULL) {
        UNICODE_STRING device;
        if (NT_SUCCESS(status) &&
            FirstPointString(reply, replyLength, reply->MountPoints[0].DeviceNameOffset,
                             reply->MountPoints[0].DeviceNameLength, &device))
            leads = RtlEqualUnicodeString(&device, DeviceName, TRUE);
        VorelData.FreePool(reply, TAG_VOLUME_REQUEST);
    }
    return leads;
}

/*
 * QueryFirstLinkOfDevice: a copy of the link name of the device's first mount
 * point (paged pool, TAG_GENERIC; free Link->Buffer), or STATUS_NOT_FOUND.
 */
NTSTATUS QueryFirstLinkOfDevice(PCUNICODE_STRING DeviceName, PUNICODE_STRING Link)
{
    RtlZeroMemory(Link, sizeof(*Link));
    PMOUNTMGR_MOUNT_POINTS reply;
    ULONG replyLength;
    NTSTATUS status = MountPointRequest(IOCTL_MOUNTMGR_QUERY_POINTS, NULL, DeviceName, NULL, &reply, &replyLength);
    if (reply == NULL)
        return status;
    UNICODE_STRING found;
    if (NT_SUCCESS(status)) {
        status = STATUS_NOT_FOUND;
        if (FirstPointString(reply, replyLength, reply->MountPoints[0].SymbolicLinkNameOffset,
                             reply->MountPoints[0].SymbolicLinkNameLength, &found)) {
            Link->Buffer = (PWCH)DuplicateBuffer(found.Buffer, found.Length);
            status = STATUS_INSUFFICIENT_RESOURCES;
            if (Link->Buffer != NULL) {
                Link->Length = Link->MaximumLength = found.Length;
                status = STATUS_SUCCESS;
            }
        }
    }
    VorelData.FreePool(reply, TAG_VOLUME_REQUEST);
    return status;
}

/* CreateMountPoint: asks the mount manager for a point from Link to the device. */
NTSTATUS CreateMountPoint(PCUNICODE_STRING Link, PCUNICODE_STRING DeviceName)
{
    ULONG length = sizeof(MOUNTMGR_CREATE_POINT_INPUT) + DeviceName->Length + Link->Length;
    PMOUNTMGR_CREATE_POINT_INPUT input =
        (PMOUNTMGR_CREATE_POINT_INPUT)AllocateZeroed(length, TAG_VOLUME_REQUEST, PagedPool);
    if (input == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    input->DeviceNameOffset = sizeof(MOUNTMGR_CREATE_POINT_INPUT);
    input->DeviceNameLength = DeviceName->Length;
    input->SymbolicLinkNameOffset = (USHORT)(input->DeviceNameOffset + DeviceName->Length);
    input->SymbolicLinkNameLength = Link->Length;
    RtlCopyMemory((PUCHAR)input + input->DeviceNameOffset, DeviceName->Buffer, DeviceName->Length);
    RtlCopyMemory((PUCHAR)input + input->SymbolicLinkNameOffset, Link->Buffer, Link->Length);
    NTSTATUS status = SendMountManagerRequest(IOCTL_MOUNTMGR_CREATE_POINT, input, length, NULL, 0, NULL);
    VorelData.FreePool(input, TAG_VOLUME_REQUEST);
    return status;
}

/* AnnounceVolumeArrival: tells the mount manager the device is a new volume. */
NTSTATUS AnnounceVolumeArrival(PCUNICODE_STRING DeviceName)
{
    ULONG length = FIELD_OFFSET(MOUNTMGR_TARGET_NAME, DeviceName) + DeviceName->Length;
    PMOUNTMGR_TARGET_NAME input = (PMOUNTMGR_TARGET_NAME)AllocateZeroed(length, TAG_VOLUME_REQUEST, PagedPool);
    if (input == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    input->DeviceNameLength = DeviceName->Length;
    RtlCopyMemory(input->DeviceName, DeviceName->Buffer, DeviceName->Length);
    NTSTATUS status =
        SendMountManagerRequest(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, input, length, NULL, 0, NULL);
    VorelData.FreePool(input, TAG_VOLUME_REQUEST);
    return status;
}

static NTSTATUS OpenMountedDevices(ACCESS_MASK Access, PHANDLE Key)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(MOUNTED_DEVICES_KEY);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    return ZwOpenKey(Key, Access, &attributes);
}

/* SetMountedDevicesLink: the value named by the link, holding the unique ID. */
static NTSTATUS SetMountedDevicesLink(PCUNICODE_STRING Link, const UCHAR *UniqueId)
{
    HANDLE key;
    NTSTATUS status = OpenMountedDevices(KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status))
        return status;
    status = ZwSetValueKey(key, (PUNICODE_STRING)Link, 0, REG_BINARY, (PVOID)UniqueId, VOLUME_UNIQUE_ID_BYTES);
    ZwClose(key);
    return status;
}

/*
 * RemoveMountedDevicesId: deletes every MountedDevices value whose data is the
 * unique ID. A deletion shifts the later values down one index, so the index
 * advances only past values that stay.
 */
NTSTATUS RemoveMountedDevicesId(const UCHAR *UniqueId)
{
    HANDLE key;
    NTSTATUS status = OpenMountedDevices(KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status))
        return status;
    PKEY_VALUE_FULL_INFORMATION info =
        (PKEY_VALUE_FULL_INFORMATION)AllocateZeroed(VALUE_ENUMERATION_BYTES, TAG_VOLUME_SCRATCH, PagedPool);
    if (info == NULL) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = STATUS_SUCCESS;
    for (ULONG index = 0;;) {
        ULONG length;
        NTSTATUS enumerated =
            ZwEnumerateValueKey(key, index, KeyValueFullInformation, info, VALUE_ENUMERATION_BYTES, &length);
        if (enumerated == STATUS_NO_MORE_ENTRIES)
            break;
        if (enumerated == STATUS_BUFFER_OVERFLOW || enumerated == STATUS_BUFFER_TOO_SMALL) {
            index++; /* a value this long is no unique ID of ours */
            continue;
        }
        if (!NT_SUCCESS(enumerated)) {
            status = enumerated;
            break;
        }
        if (info->DataLength == VOLUME_UNIQUE_ID_BYTES &&
            RtlCompareMemory((PUCHAR)info + info->DataOffset, UniqueId, VOLUME_UNIQUE_ID_BYTES) ==
                VOLUME_UNIQUE_ID_BYTES) {
            UNICODE_STRING name;
            name.Buffer = info->Name;
            name.Length = name.MaximumLength = (USHORT)info->NameLength;
            NTSTATUS deleted = ZwDeleteValueKey(key, &name);
            if (NT_SUCCESS(deleted))
                continue;
            status = deleted;
        }
        index++;
    }
    VorelData.FreePool(info, TAG_VOLUME_SCRATCH);
    ZwClose(key);
    return status;
}

/*
 * ClearStaleLetterState: before a new volume takes the letter, forgets whatever
 * the mount manager remembers of the letter and of the volume's unique ID, then
 * records the letter for the ID, so the arrival gets that letter. Failures are
 * ignored: a stale entry at worst costs the letter, which the create then asks
 * for explicitly.
 */
VOID ClearStaleLetterState(PVOLUME_DEVICE_RECORD Vdr)
{
    WCHAR buffer[LETTER_LINK_UNITS];
    UNICODE_STRING link;
    FormatLetterLink(Vdr->Letter, buffer, &link);
    (VOID)DeleteMountPoints(IOCTL_MOUNTMGR_DELETE_POINTS, &link, NULL, NULL);
    (VOID)DeleteMountPoints(IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY, NULL, NULL, Vdr->UniqueId);
    (VOID)RemoveMountedDevicesId(Vdr->UniqueId);
    (VOID)SetMountedDevicesLink(&link, Vdr->UniqueId);
}

/*
 * RemoveVolumeLetter: takes the volume's letter and every point of its device
 * away: the kept link (when there is one), then the points of the device name and
 * unique ID, then the database values holding the ID. Failures are ignored.
 */
VOID RemoveVolumeLetter(PVOLUME_DEVICE_RECORD Vdr, PCUNICODE_STRING Link)
{
    if (Link != NULL && Link->Length != 0)
        (VOID)DeleteMountPoints(IOCTL_MOUNTMGR_DELETE_POINTS, Link, NULL, NULL);
    (VOID)DeleteMountPoints(IOCTL_MOUNTMGR_DELETE_POINTS, NULL, &Vdr->DeviceName, Vdr->UniqueId);
    (VOID)RemoveMountedDevicesId(Vdr->UniqueId);
}
