/*
 * Volume create: the first half of a volume's creation. It makes the disk device
 * with its volume device record, lists it (Creating), has the mount manager give
 * it its drive letter, and opens the drive's root so the I/O manager mounts the
 * file system on it (mount.cpp). Only a mounted volume goes Online.
 *
 * Two creates for one letter race safely: the letter is checked once early (a
 * cheap refusal of an Online volume) and again, for a record in any state, under
 * the same hold of the volume list lock that lists the new record. Every failure
 * after the disk device exists leaves no trace: no list entry, device, link,
 * mount-manager point or MountedDevices value.
 */
#include "vorel.h"

#define GLOBAL_LINK_UNITS 16
#define ROOT_PATH_UNITS 8
#define UNIQUE_ID_MARK 0x766C0000
#define FNV_OFFSET_BASIS 0x811C9DC5
#define FNV_PRIME 0x01000193
#define FOLDERS_EXAMINED 1024
#define FOLDER_PATH_UNITS 1039

/* BuildStampSerial: the 32-bit FNV-1a hash of the build stamp: every fresh volume of one build shares it. */
ULONG BuildStampSerial(VOID)
{
    ULONG hash = FNV_OFFSET_BASIS;
    for (const char *c = BuildStamp; *c != 0; c++) {
        hash ^= (UCHAR)*c;
        hash *= FNV_PRIME;
    }
    return hash;
}

/* FillVolumeRecord: the record of a new disk device, from the create's parameters. */
static VOID FillVolumeRecord(PVOLUME_DEVICE_RECORD Vdr, PDEVICE_OBJECT Disk, PCVOLUME_CREATE_PARAMETERS Parameters,
                             PCWSTR DeviceName, PCIMAGE_LOADED_VALUES Loaded)
{
    InitializeListHead(&Vdr->ListLinks);
    Vdr->DiskDevice = Disk;
    Vdr->Letter = Parameters->Letter;
    Vdr->SizeBytes = Parameters->SizeBytes;
    Vdr->PerFileSecurity = (Parameters->Flags & VOREL_CREATE_NO_SECURITY) == 0;
    Vdr->NoRecycle = (Parameters->Flags & VOREL_CREATE_NO_RECYCLE) != 0;
    Vdr->CompressionLevel = (Parameters->Flags & VOREL_CREATE_COMPRESSION_MASK) >> VOREL_CREATE_COMPRESSION_SHIFT;

    Vdr->DeviceName.Buffer = Vdr->DeviceNameBuffer;
    Vdr->DeviceName.Length = 0;
    Vdr->DeviceName.MaximumLength = sizeof(Vdr->DeviceNameBuffer);
    RtlAppendUnicodeToString(&Vdr->DeviceName, DeviceName);

    if (Parameters->Label != NULL) {
        for (ULONG i = 0; i < VOLUME_LABEL_UNITS - 1 && Parameters->Label[i] != 0; i++)
            Vdr->Label[i] = Parameters->Label[i];
    }
    Vdr->SerialNumber = BuildStampSerial();
    /* An existing image brings its own settings. */
    if (Loaded->Valid) {
        Vdr->SizeBytes = Loaded->VolumeSize;
        Vdr->PerFileSecurity = Loaded->PerFileSecurity != 0;
        Vdr->CompressionLevel = Loaded->CompressionLevel;
        Vdr->SerialNumber = Loaded->SerialNumber;
        RtlZeroMemory(Vdr->Label, sizeof(Vdr->Label));
        for (ULONG i = 0; i < VOLUME_LABEL_UNITS - 1 && Loaded->Label[i] != 0; i++)
            Vdr->Label[i] = Loaded->Label[i];
    }
    ULONG id = (ULONG)Parameters->Letter | UNIQUE_ID_MARK;
    for (ULONG i = 0; i < sizeof(id); i++)
        Vdr->UniqueId[i] = (UCHAR)(id >> (8 * i));
    Vdr->Signature = VDR_SIGNATURE;
}

/*
 * ListNewVolume: under the volume list lock, lists the record as Creating unless
 * any record has its letter. Returns STATUS_OBJECT_NAME_COLLISION when one has.
 */
static NTSTATUS ListNewVolume(PVOLUME_DEVICE_RECORD Vdr)
{
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    KIRQL irql = AcquireVolumeList();
    if (FindVolumeRecord(Vdr->Letter) == NULL) {
        Vdr->State = VOLUME_CREATING;
        InsertVolumeRecord(Vdr);
        status = STATUS_SUCCESS;
    }
    ReleaseVolumeList(irql);
    return status;
}

/* LetterHeldElsewhere: whether a drive link of the letter exists (or cannot be ruled out). */
static BOOLEAN LetterHeldElsewhere(WCHAR Letter)
{
    WCHAR buffer[GLOBAL_LINK_UNITS];
    UNICODE_STRING name;
    FormatLetterName(L"\\GLOBAL??\\", Letter, L":", buffer, GLOBAL_LINK_UNITS, &name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE link;
    NTSTATUS status = ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes);
    if (NT_SUCCESS(status))
        ZwClose(link);
    return status != STATUS_OBJECT_NAME_NOT_FOUND;
}

/* AssignedLetter: the first letter whose first mount point is the volume's device, or 0. */
static WCHAR AssignedLetter(PVOLUME_DEVICE_RECORD Vdr)
{
    for (WCHAR letter = L'A'; letter <= L'Z'; letter++) {
        if (LetterLeadsToDevice(letter, &Vdr->DeviceName))
            return letter;
    }
    return 0;
}

/* OpenDirectory: opens (Disposition FILE_OPEN) or opens-or-creates a directory by its full path, then closes it. */
static NTSTATUS OpenDirectory(PUNICODE_STRING Path, ACCESS_MASK Access, ULONG Disposition)
{
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, Path, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = ZwCreateFile(&handle, Access, &attributes, &iosb, NULL, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, Disposition,
                                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0);
    if (NT_SUCCESS(status))
        ZwClose(handle);
    return status;
}

/* MountNewVolume: opens the drive's root, which makes the I/O manager mount the file system on it. */
static NTSTATUS MountNewVolume(WCHAR Letter)
{
    WCHAR buffer[ROOT_PATH_UNITS];
    UNICODE_STRING root;
    FormatLetterName(L"\\??\\", Letter, L":\\", buffer, ROOT_PATH_UNITS, &root);
    /* Synchronous I/O on the handle needs SYNCHRONIZE besides the read. */
    return OpenDirectory(&root, FILE_READ_DATA | SYNCHRONIZE, FILE_OPEN);
}

/*
 * CreateFolderEntry: opens or creates each directory of one folder entry (its
 * components split at '\' and '/', empty ones skipped) under Path, which holds
 * "\??\X:" and has room for FOLDER_PATH_UNITS units. Characters beyond that
 * are dropped; the first failure ends the entry.
 */
static VOID CreateFolderEntry(PUNICODE_STRING Path, PCWCH Entry, ULONG Units)
{
    USHORT prefix = Path->Length;
    ULONG i = 0;
    while (i < Units) {
        while (i < Units && (Entry[i] == L'\\' || Entry[i] == L'/'))
            i++;
        if (i == Units)
            break;
        WCHAR separator[2] = {L'\\', 0};
        RtlAppendUnicodeToString(Path, separator);
        for (; i < Units && Entry[i] != L'\\' && Entry[i] != L'/'; i++) {
            if (Path->Length < Path->MaximumLength) {
                Path->Buffer[Path->Length / sizeof(WCHAR)] = Entry[i];
                Path->Length += sizeof(WCHAR);
            }
        }
        if (!NT_SUCCESS(OpenDirectory(Path, FILE_ALL_ACCESS, FILE_OPEN_IF)))
            break;
    }
    Path->Length = prefix;
}

/*
 * CreateInitialFolders: the line-feed separated folder list of a new volume
 * without an image; at most its first 1024 characters count. A folder that
 * cannot be made abandons the rest of its entry only.
 */
static VOID CreateInitialFolders(WCHAR Letter, PCWSTR Folders)
{
    PWCH buffer = (PWCH)AllocateZeroed((FOLDER_PATH_UNITS + 1) * sizeof(WCHAR), TAG_VOLUME_SCRATCH, PagedPool);
    if (buffer == NULL)
        return;
    UNICODE_STRING path;
    FormatLetterName(L"\\??\\", Letter, L":", buffer, FOLDER_PATH_UNITS + 1, &path);

    ULONG end = 0;
    while (end < FOLDERS_EXAMINED && Folders[end] != 0)
        end++;
    for (ULONG start = 0; start < end;) {
        ULONG stop = start;
        while (stop < end && Folders[stop] != L'\n')
            stop++;
        CreateFolderEntry(&path, Folders + start, stop - start);
        start = stop + 1;
    }
    VorelData.FreePool(buffer, TAG_VOLUME_SCRATCH);
}

static BOOLEAN IsVolumeMounted(PVOLUME_DEVICE_RECORD Vdr)
{
    KIRQL irql = AcquireVolumeList();
    BOOLEAN mounted = Vdr->MountedDevice != NULL;
    ReleaseVolumeList(irql);
    return mounted;
}

/* AbandonVolume: a create that failed: the file-system device (if it was mounted) and the record go. */
static VOID AbandonVolume(PVOLUME_DEVICE_RECORD Vdr)
{
    (VOID)TearDownVolumeDevice(Vdr, FALSE);
    FreeVolumeRecord(Vdr, TRUE);
}

/* GoOnline: the mounted volume is Online; the auto-mount service learns that the volume set changed. */
static VOID GoOnline(PVOLUME_DEVICE_RECORD Vdr)
{
    KIRQL irql = AcquireVolumeList();
    Vdr->State = VOLUME_ONLINE;
    ReleaseVolumeList(irql);
    InterlockedIncrement(&VorelData.VolumeGeneration);
    KeSetEvent(&VorelData.VolumeSetChangeEvent, IO_NO_INCREMENT, FALSE);
}

/*
 * AnnounceAndMount: the mount manager's half and the mount, for a listed record.
 * Returns STATUS_SUCCESS with the volume mounted, or the failure after which the
 * caller abandons the record (the mount manager forgot it already).
 */
static NTSTATUS AnnounceAndMount(PVOLUME_DEVICE_RECORD Vdr)
{
    ClearStaleLetterState(Vdr);
    NTSTATUS status = AnnounceVolumeArrival(&Vdr->DeviceName);
    if (!NT_SUCCESS(status))
        goto forget;

    if (AssignedLetter(Vdr) != Vdr->Letter) {
        WCHAR buffer[LETTER_LINK_UNITS];
        UNICODE_STRING link;
        FormatLetterLink(Vdr->Letter, buffer, &link);
        if (!NT_SUCCESS(CreateMountPoint(&link, &Vdr->DeviceName))) {
            status = STATUS_OBJECT_NAME_COLLISION;
            goto forget;
        }
    }

    status = MountNewVolume(Vdr->Letter);
    if (IsVolumeMounted(Vdr))
        return STATUS_SUCCESS;
    /* The I/O manager reports a refused mount as an unrecognized volume; a failed
       image load says why. The open cannot have succeeded without a mount of ours;
       if it did, the volume is someone else's. */
    if (!NT_SUCCESS(Vdr->LoadStatus))
        status = Vdr->LoadStatus;
    else if (NT_SUCCESS(status))
        status = STATUS_UNRECOGNIZED_VOLUME;

forget:
    RemoveVolumeLetter(Vdr, NULL);
    return status;
}

/*
 * CreateVolume: a new volume on a letter, mounted and Online on success.
 * PASSIVE_LEVEL, no lock held; called by the create request and the auto-mount
 * service. Returns STATUS_INVALID_PARAMETER for a letter outside 'A'..'Z' or a
 * size below 4 MiB, STATUS_OBJECT_NAME_COLLISION when the letter is taken (by a
 * volume of ours or any other drive) or cannot be given to the volume, the mount
 * manager's status when it refuses the arrival, the root open's status (or
 * STATUS_UNRECOGNIZED_VOLUME) when the mount did not happen, or the system's.
 */
NTSTATUS CreateVolume(PCVOLUME_CREATE_PARAMETERS Parameters)
{
    BOOLEAN image = Parameters->ImagePath != NULL && Parameters->ImagePath[0] != 0;
    if (Parameters->Letter < L'A' || Parameters->Letter > L'Z')
        return STATUS_INVALID_PARAMETER;
    if (!image && Parameters->SizeBytes < VOLUME_MINIMUM_SIZE)
        return STATUS_INVALID_PARAMETER;

    PIMAGE_BINDING binding = NULL;
    IMAGE_LOADED_VALUES loaded;
    RtlZeroMemory(&loaded, sizeof(loaded));
    if (image) {
        NTSTATUS bound = BindImage(Parameters->ImagePath, Parameters->RequestorIsUserMode, FALSE, &binding, &loaded);
        if (!NT_SUCCESS(bound))
            return bound;
    }

    KIRQL irql = AcquireVolumeList();
    BOOLEAN online = FindOnlineVolume(Parameters->Letter) != NULL;
    ReleaseVolumeList(irql);
    NTSTATUS status = online ? STATUS_OBJECT_NAME_COLLISION : STATUS_SUCCESS;

    WCHAR deviceName[DEVICE_NAME_UNITS];
    if (NT_SUCCESS(status))
        status = FormatDeviceName(deviceName);
    UNICODE_STRING name;
    PDEVICE_OBJECT disk;
    if (NT_SUCCESS(status)) {
        RtlInitUnicodeString(&name, deviceName);
        status = IoCreateDevice(VorelData.DriverObject, sizeof(VOLUME_DEVICE_RECORD), &name, FILE_DEVICE_DISK,
                                FILE_DEVICE_SECURE_OPEN, FALSE, &disk);
    }
    if (!NT_SUCCESS(status)) {
        CloseImageBinding(binding);
        return status;
    }
    PVOLUME_DEVICE_RECORD vdr = (PVOLUME_DEVICE_RECORD)disk->DeviceExtension;
    RtlZeroMemory(vdr, sizeof(*vdr));
    FillVolumeRecord(vdr, disk, Parameters, deviceName, &loaded);
    vdr->Binding = binding;
    /* Only a complete record may be reached by a request. */
    disk->Flags &= ~DO_DEVICE_INITIALIZING;

    status = ListNewVolume(vdr);
    if (!NT_SUCCESS(status)) {
        vdr->Signature = 0;
        CloseImageBinding(binding);
        IoDeleteDevice(disk);
        return status;
    }
    if (LetterHeldElsewhere(vdr->Letter)) {
        AbandonVolume(vdr);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    status = AnnounceAndMount(vdr);
    if (!NT_SUCCESS(status)) {
        AbandonVolume(vdr);
        return status;
    }
    GoOnline(vdr);

    /* The record is anyone's now (a dismount may already free it): only the letter is used. */
    if (!image && Parameters->InitialFolders != NULL && Parameters->InitialFolders[0] != 0)
        CreateInitialFolders(Parameters->Letter, Parameters->InitialFolders);
    return STATUS_SUCCESS;
}
