/*
 * Binding a volume to its image file: the open, the checks on the target, and
 * what an existing image's committed header says. A binding is closed when its
 * volume goes or a save moves the volume to another file.
 */
#include "vorel.h"

#define NT_PREFIX L"\\??\\"
#define NT_PREFIX_UNITS 4u

/* The messages a bind records. */
static const WCHAR MessagePathLength[] = L"image path empty or too long";
static const WCHAR MessageContext[] = L"context allocation failed";
static const WCHAR MessagePath[] = L"path allocation failed";
static const WCHAR MessageOpen[] = L"image open failed";
static const WCHAR MessageTarget[] = L"image target validation failed";
static const WCHAR MessageUuid[] = L"UUID mint failed";
static const WCHAR MessageStaging[] = L"header staging allocation failed";
static const WCHAR MessageNoHeader[] = L"no valid image header (corrupt or not a VOREL image)";
static const WCHAR MessageOtherSystem[] = L"image was created by VOREL for another operating system";

/*
 * CloseImageBinding: closes the file and frees the binding and everything it
 * holds. PASSIVE_LEVEL; no save may be running on it.
 */
VOID CloseImageBinding(PIMAGE_BINDING Binding)
{
    if (Binding == NULL)
        return;
    if (Binding->File != NULL)
        (VOID)ZwClose(Binding->File);
    FreeAndClear((PVOID *)&Binding->Path.Buffer, TAG_IMAGE_PATH);
    FreeImageSlotTable(&Binding->CommittedSlots);
    Binding->Signature = 0;
    VorelData.FreePool(Binding, TAG_IMAGE_BINDING);
}

/* MakeImagePath: "\??\" and Path (Units units) into the binding's path buffer. */
static NTSTATUS MakeImagePath(PIMAGE_BINDING Binding, PCWSTR Path, ULONG Units)
{
    USHORT bytes = (USHORT)((NT_PREFIX_UNITS + Units + 1) * sizeof(WCHAR));
    PWCH buffer = (PWCH)AllocateZeroed(bytes, TAG_IMAGE_PATH, NonPagedPoolNx);
    if (buffer == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(buffer, NT_PREFIX, NT_PREFIX_UNITS * sizeof(WCHAR));
    RtlCopyMemory(buffer + NT_PREFIX_UNITS, Path, Units * sizeof(WCHAR));
    Binding->Path.Buffer = buffer;
    Binding->Path.Length = (USHORT)((NT_PREFIX_UNITS + Units) * sizeof(WCHAR));
    Binding->Path.MaximumLength = bytes;
    return STATUS_SUCCESS;
}

/*
 * OpenImageFile: read and write access, others may only read; created when
 * missing (replaced when Overwrite). A request from user mode is checked against
 * its caller's rights, so the driver never opens a file its caller could not.
 */
static NTSTATUS OpenImageFile(PIMAGE_BINDING Binding, BOOLEAN UserMode, BOOLEAN Overwrite)
{
    OBJECT_ATTRIBUTES attributes;
    ULONG objectFlags = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | (UserMode ? OBJ_FORCE_ACCESS_CHECK : 0);
    InitializeObjectAttributes(&attributes, &Binding->Path, objectFlags, NULL, NULL);
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE | FILE_RANDOM_ACCESS;
    if (!VorelData.PersistBufferedIo)
        options |= FILE_NO_INTERMEDIATE_BUFFERING;
    IO_STATUS_BLOCK io;
    return ZwCreateFile(&Binding->File, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, NULL,
                        FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, Overwrite ? FILE_OVERWRITE_IF : FILE_OPEN_IF, options,
                        NULL, 0);
}

/*
 * CheckImageDevice: the file must lie on a local disk that is not one of this
 * driver's volumes (a volume saved into itself, or into another RAM volume,
 * would not survive what it is saved against).
 */
static NTSTATUS CheckImageDevice(PIMAGE_BINDING Binding)
{
    PFILE_OBJECT fileObject;
    NTSTATUS status = ObReferenceObjectByHandle(Binding->File, 0, *IoFileObjectType, KernelMode,
                                                (PVOID *)&fileObject, NULL);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(fileObject);
    PDEVICE_OBJECT real = fileObject->DeviceObject;
    BOOLEAN refused = device == NULL || device->DriverObject == VorelData.DriverObject ||
                      (real != NULL && real->DriverObject == VorelData.DriverObject) ||
                      (device->Characteristics & FILE_REMOTE_DEVICE) != 0 ||
                      device->DeviceType == FILE_DEVICE_NETWORK_FILE_SYSTEM ||
                      (real != NULL && (real->Characteristics & FILE_REMOTE_DEVICE) != 0);
    ObDereferenceObject(fileObject);
    return refused ? STATUS_INVALID_DEVICE_REQUEST : STATUS_SUCCESS;
}

/* QueryImageSectorSize: the target's bytes per sector, checked. */
static NTSTATUS QueryImageSectorSize(PIMAGE_BINDING Binding)
{
    IO_STATUS_BLOCK io;
    FILE_FS_SIZE_INFORMATION size;
    NTSTATUS status = ZwQueryVolumeInformationFile(Binding->File, &io, &size, sizeof(size), FileFsSizeInformation);
    if (!NT_SUCCESS(status))
        return STATUS_INVALID_DEVICE_REQUEST;
    return CheckImageSectorSize(size.BytesPerSector, &Binding->SectorSize);
}

static NTSTATUS MakeImageSparse(PIMAGE_BINDING Binding)
{
    IO_STATUS_BLOCK io;
    return ZwFsControlFile(Binding->File, NULL, NULL, NULL, &io, FSCTL_SET_SPARSE, NULL, 0, NULL, 0);
}

/* TakeCommittedHeader: the binding and the loaded values from an existing image's committed header. */
static VOID TakeCommittedHeader(PIMAGE_BINDING Binding, ULONG Active, PCIMAGE_HEADER Header,
                                PIMAGE_LOADED_VALUES Loaded)
{
    Binding->Committed = TRUE;
    Binding->ActiveCopy = Active;
    Binding->Generation = Header->Generation;
    RtlCopyMemory(Binding->Identifier, Header->Identifier, sizeof(Binding->Identifier));
    Binding->HighWater = Header->HighWater;
    Binding->Checksums = (Header->Flags & IMAGE_FLAG_DATA_CHECKSUMS) != 0;
    Binding->LastSaveTime = Header->SaveTime;
    if (Loaded == NULL)
        return;
    RtlZeroMemory(Loaded, sizeof(*Loaded));
    Loaded->Valid = TRUE;
    Loaded->VolumeSize = Header->VolumeSize;
    Loaded->SerialNumber = Header->SerialNumber;
    Loaded->PerFileSecurity = Header->PerFileSecurity;
    Loaded->CompressionLevel = Header->CompressionLevel;
    for (ULONG i = 0; i < IMAGE_LABEL_UNITS - 1 && Header->Label[i] != 0; ++i)
        Loaded->Label[i] = Header->Label[i];
}

/*
 * BindImage: opens Path (the path as the user gave it, e.g. "C:\img\r.img") as
 * an image file and returns a binding for it. With Overwrite the file is
 * replaced (a save to a new path); otherwise an existing image is kept and its
 * committed header's settings go to Loaded (Valid set) when asked for.
 * PASSIVE_LEVEL, no lock held. Every failure is recorded (operation bind) and
 * leaves nothing open.
 */
NTSTATUS BindImage(PCWSTR Path, BOOLEAN UserMode, BOOLEAN Overwrite, PIMAGE_BINDING *Result,
                   PIMAGE_LOADED_VALUES Loaded)
{
    *Result = NULL;
    if (Loaded != NULL)
        RtlZeroMemory(Loaded, sizeof(*Loaded));
    ULONG units = 0;
    while (Path != NULL && units <= IMAGE_PATH_UNITS_MAX && Path[units] != 0)
        units++;
    UNICODE_STRING given;
    given.Buffer = (PWCH)Path;
    given.Length = (USHORT)(min(units, IMAGE_PATH_UNITS_MAX) * sizeof(WCHAR));
    given.MaximumLength = given.Length;
    if (units == 0 || units > IMAGE_PATH_UNITS_MAX) {
        RecordPersistenceError(STATUS_INVALID_PARAMETER, VOREL_OPERATION_BIND, IMAGE_STAGE_OPEN, &given,
                               MessagePathLength);
        return STATUS_INVALID_PARAMETER;
    }

    PIMAGE_BINDING binding =
        (PIMAGE_BINDING)AllocateZeroed(sizeof(IMAGE_BINDING), TAG_IMAGE_BINDING, NonPagedPoolNx);
    if (binding == NULL) {
        RecordPersistenceError(STATUS_INSUFFICIENT_RESOURCES, VOREL_OPERATION_BIND, IMAGE_STAGE_MEMORY, &given,
                               MessageContext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    binding->Signature = IMAGE_BINDING_SIGNATURE;
    PUCHAR staging = NULL;
    PIMAGE_HEADER header = NULL;
    ULONGLONG fileSize = 0;
    ULONG active = 0;
    ULONG stage = IMAGE_STAGE_MEMORY;
    PCWSTR message = MessagePath;
    NTSTATUS status = MakeImagePath(binding, Path, units);
    if (!NT_SUCCESS(status))
        goto failed;

    stage = IMAGE_STAGE_OPEN;
    message = MessageOpen;
    status = OpenImageFile(binding, UserMode, Overwrite);
    if (!NT_SUCCESS(status)) {
        binding->File = NULL;
        goto failed;
    }

    message = MessageTarget;
    stage = IMAGE_STAGE_DEVICE;
    status = CheckImageDevice(binding);
    if (!NT_SUCCESS(status))
        goto failed;
    stage = IMAGE_STAGE_SECTOR_SIZE;
    status = QueryImageSectorSize(binding);
    if (!NT_SUCCESS(status))
        goto failed;
    stage = IMAGE_STAGE_SPARSE;
    status = MakeImageSparse(binding);
    if (!NT_SUCCESS(status))
        goto failed;
    stage = IMAGE_STAGE_FILE_SIZE;
    status = QueryImageFileSize(binding, &fileSize);
    if (!NT_SUCCESS(status))
        goto failed;

    if (fileSize == 0) {
        stage = IMAGE_STAGE_UUID;
        message = MessageUuid;
        status = ExUuidCreate((GUID *)binding->Identifier);
        if (!NT_SUCCESS(status))
            goto failed;
        binding->Checksums = TRUE;
        *Result = binding;
        return STATUS_SUCCESS;
    }

    stage = IMAGE_STAGE_MEMORY;
    message = MessageStaging;
    staging = (PUCHAR)VorelData.AllocatePool(IMAGE_HEADER_COPIES * IMAGE_HEADER_SIZE, TAG_IMAGE_HEADER,
                                             NonPagedPoolNx);
    if (staging == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto failed;
    }
    header = (PIMAGE_HEADER)VorelData.AllocatePool(sizeof(IMAGE_HEADER), TAG_IMAGE_HEADER,
                                                                  NonPagedPoolNx);
    if (header == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto failed;
    }
    status = ReadImageHeaderCopies(binding, staging, &active, header);
    if (NT_SUCCESS(status))
        TakeCommittedHeader(binding, active, header, Loaded);
    VorelData.FreePool(header, TAG_IMAGE_HEADER);
    if (status == STATUS_INVALID_DEVICE_REQUEST) {
        stage = IMAGE_STAGE_OTHER_SYSTEM;
        message = MessageOtherSystem;
        goto failed;
    }
    if (status == STATUS_INSUFFICIENT_RESOURCES)
        goto failed;
    if (!NT_SUCCESS(status)) {
        stage = IMAGE_STAGE_NO_HEADER;
        message = MessageNoHeader;
        status = STATUS_FILE_CORRUPT_ERROR;
        goto failed;
    }
    VorelData.FreePool(staging, TAG_IMAGE_HEADER);
    *Result = binding;
    return STATUS_SUCCESS;

failed:
    RecordPersistenceError(status, VOREL_OPERATION_BIND, stage, &given, message);
    if (staging != NULL)
        VorelData.FreePool(staging, TAG_IMAGE_HEADER);
    if (Loaded != NULL)
        RtlZeroMemory(Loaded, sizeof(*Loaded));
    CloseImageBinding(binding);
    return status;
}
