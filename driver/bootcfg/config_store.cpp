/*
 * The boot configuration store: the volumes the driver mounts by itself at start,
 * one registry subkey per letter below "Parameters\Volumes" of the service key.
 * Every access runs under the configuration mutex, so a reader never sees a
 * letter's entry half written.
 *
 * Reading is forgiving by design: the registry can be edited by hand, so a value
 * of an unexpected type is ignored (its field keeps its default), numbers are
 * masked or clamped, strings are cut; only a missing size makes an entry corrupt.
 */
#include "vorel.h"

#define VOLUMES_SUBKEY_UNITS 24
#define FOLDERS_MULTI_SZ_UNITS (VOREL_FOLDERS_UNITS + 2)

static const WCHAR ValueSizeBytes[] = L"SizeBytes";
static const WCHAR ValueFlags[] = L"Flags";
static const WCHAR ValueCompressLevel[] = L"CompressLevel";
static const WCHAR ValueAutoSavePeriod[] = L"AutoSavePeriodSec";
static const WCHAR ValueLabel[] = L"Label";
static const WCHAR ValueImagePath[] = L"ImagePath";
static const WCHAR ValueInitialFolders[] = L"InitialFolders";

/* AcquireConfiguration / ReleaseConfiguration: the configuration mutex (rank 1). PASSIVE_LEVEL. */
VOID AcquireConfiguration(VOID)
{
    KeWaitForSingleObject(&VorelData.ConfigurationMutex, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseConfiguration(VOID)
{
    KeReleaseMutex(&VorelData.ConfigurationMutex, FALSE);
}

/* SetAutoMountStatus: the status of the letter's last automatic mount, as the list shows it. */
VOID SetAutoMountStatus(WCHAR Letter, NTSTATUS Status)
{
    InterlockedExchange((volatile LONG *)&VorelData.AutoMountStatus[Letter - L'A'], Status);
}

/*
 * NoteConfigurationChange: after a store or a delete: the letter starts with a
 * clean auto-mount status and the periodic save service re-reads its periods.
 */
static VOID NoteConfigurationChange(WCHAR Letter)
{
    SetAutoMountStatus(Letter, STATUS_SUCCESS);
    InterlockedIncrement(&VorelData.VolumeGeneration);
    KeSetEvent(&VorelData.VolumeSetChangeEvent, IO_NO_INCREMENT, FALSE);
}

/* OpenRelativeKey: a key below Parent, opened (or created) with Access. *Key is null on failure. */
static NTSTATUS OpenRelativeKey(HANDLE Parent, PCWSTR Name, BOOLEAN Create, ACCESS_MASK Access, PHANDLE Key)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, Parent, NULL);
    NTSTATUS status = Create ? ZwCreateKey(Key, Access, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE, NULL)
                             : ZwOpenKey(Key, Access, &attributes);
    if (!NT_SUCCESS(status))
        *Key = NULL;
    return status;
}

/* OpenLetterKey: the letter's subkey (named by the letter alone) below the open store. */
static NTSTATUS OpenLetterKey(HANDLE VolumesKey, WCHAR Letter, BOOLEAN Create, ACCESS_MASK Access, PHANDLE Key)
{
    WCHAR name[2] = {Letter, 0};
    return OpenRelativeKey(VolumesKey, name, Create, Access, Key);
}

/*
 * OpenBootConfigurations: "Parameters\Volumes" for reading. Locked. Returns the
 * registry's status (STATUS_OBJECT_NAME_NOT_FOUND when nothing was ever stored),
 * or STATUS_INVALID_PARAMETER when the driver was started without a service key.
 */
NTSTATUS OpenBootConfigurations(PHANDLE VolumesKey)
{
    *VolumesKey = NULL;
    if (VorelData.ServiceKeyPath.Length == 0)
        return STATUS_INVALID_PARAMETER;
    return OpenServiceSubkey(L"Parameters\\Volumes", FALSE, 0, VolumesKey);
}

/*
 * QueryConfigValue: a value of the open key into a pool buffer of its own size.
 * Returns the registry's status; on success *Info (tag TAG_BOOT_VALUE) is the
 * caller's to free.
 */
static NTSTATUS QueryConfigValue(HANDLE Key, PCWSTR ValueName, PKEY_VALUE_PARTIAL_INFORMATION *Info)
{
    *Info = NULL;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    ULONG length = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONGLONG);
    for (;;) {
        PKEY_VALUE_PARTIAL_INFORMATION info =
            (PKEY_VALUE_PARTIAL_INFORMATION)VorelData.AllocatePool(length, TAG_BOOT_VALUE, PagedPool);
        if (info == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        ULONG needed = 0;
        NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValuePartialInformation, info, length, &needed);
        if (NT_SUCCESS(status)) {
            *Info = info;
            return status;
        }
        VorelData.FreePool(info, TAG_BOOT_VALUE);
        /* A value that grew between the two queries is asked for again. */
        if ((status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) || needed <= length)
            return status;
        length = needed;
    }
}

/* QueryConfigDword: a REG_DWORD of the key; FALSE (Value untouched) when missing or of another form. */
static BOOLEAN QueryConfigDword(HANDLE Key, PCWSTR ValueName, PULONG Value)
{
    PKEY_VALUE_PARTIAL_INFORMATION info;
    if (!NT_SUCCESS(QueryConfigValue(Key, ValueName, &info)))
        return FALSE;
    BOOLEAN found = info->Type == REG_DWORD && info->DataLength == sizeof(ULONG);
    if (found)
        RtlCopyMemory(Value, info->Data, sizeof(ULONG));
    VorelData.FreePool(info, TAG_BOOT_VALUE);
    return found;
}

/*
 * QueryConfigText: a REG_SZ or REG_MULTI_SZ (Type) into Buffer (Units units,
 * zeroed first), trailing NULs dropped, at most Units - 1 units kept. The strings
 * of a REG_MULTI_SZ are joined with line feeds, empty ones skipped. A value of
 * another type is ignored.
 */
static VOID QueryConfigText(HANDLE Key, PCWSTR ValueName, ULONG Type, VOREL_WCHAR *Buffer, ULONG Units)
{
    RtlZeroMemory(Buffer, Units * sizeof(WCHAR));
    PKEY_VALUE_PARTIAL_INFORMATION info;
    if (!NT_SUCCESS(QueryConfigValue(Key, ValueName, &info)))
        return;
    if (info->Type == Type) {
        const WCHAR *data = (const WCHAR *)info->Data;
        ULONG length = info->DataLength / sizeof(WCHAR);
        while (length > 0 && data[length - 1] == 0)
            length--;
        ULONG out = 0;
        for (ULONG i = 0; i < length && out < Units - 1; i++) {
            if (Type == REG_MULTI_SZ && data[i] == 0) {
                if (out > 0 && Buffer[out - 1] != L'\n')
                    Buffer[out++] = L'\n';
                continue;
            }
            Buffer[out++] = data[i];
        }
        /* A separator the limit left dangling names no folder. */
        if (Type == REG_MULTI_SZ && out > 0 && Buffer[out - 1] == L'\n')
            Buffer[out - 1] = 0;
    }
    VorelData.FreePool(info, TAG_BOOT_VALUE);
}

/* ReadBootConfigurationVersion: "ConfigVersion" of the open store; missing reads as 1. Locked. */
ULONG ReadBootConfigurationVersion(HANDLE VolumesKey)
{
    ULONG version = 1;
    if (!QueryConfigDword(VolumesKey, L"ConfigVersion", &version))
        version = 1;
    return version;
}

/* NormalizeBootFlags: the stored flags as read: the defined bits, and periodic save implying auto-save. */
static ULONG NormalizeBootFlags(ULONG Flags)
{
    Flags &= VOREL_BOOT_VALID_FLAGS;
    if ((Flags & VOREL_BOOT_PERIODIC_SAVE) != 0)
        Flags |= VOREL_BOOT_AUTO_SAVE;
    return Flags;
}

/*
 * ReadBootConfiguration: the letter's entry into *Entry (zeroed first). Locked.
 * Returns the open's failure when the letter has no subkey, and
 * STATUS_FILE_CORRUPT_ERROR (with the letter and whatever else was read) when
 * the size is missing or 0.
 */
NTSTATUS ReadBootConfiguration(HANDLE VolumesKey, WCHAR Letter, VOREL_BOOT_CONFIGURATION *Entry)
{
    RtlZeroMemory(Entry, sizeof(*Entry));
    Entry->Letter = (VOREL_U16)Letter;
    HANDLE key;
    NTSTATUS status = OpenLetterKey(VolumesKey, Letter, FALSE, KEY_READ, &key);
    if (!NT_SUCCESS(status))
        return status;

    Entry->SizeBytes = QueryQwordValue(key, ValueSizeBytes);
    ULONG value = 0;
    if (QueryConfigDword(key, ValueFlags, &value))
        Entry->Flags = NormalizeBootFlags(value);
    value = 0;
    if (QueryConfigDword(key, ValueCompressLevel, &value))
        Entry->CompressionLevel = value <= 3 ? value : 0;
    value = 0;
    if (QueryConfigDword(key, ValueAutoSavePeriod, &value))
        Entry->SaveIntervalSeconds = value;
    QueryConfigText(key, ValueLabel, REG_SZ, Entry->Label, VOREL_LABEL_UNITS);
    QueryConfigText(key, ValueImagePath, REG_SZ, Entry->ImagePath, VOREL_PATH_UNITS);
    QueryConfigText(key, ValueInitialFolders, REG_MULTI_SZ, Entry->InitialFolders, VOREL_FOLDERS_UNITS);
    ZwClose(key);
    return Entry->SizeBytes == 0 ? STATUS_FILE_CORRUPT_ERROR : STATUS_SUCCESS;
}

/*
 * ReadBootSaveSettings: only what the save paths need: the letter's flags (read
 * as ReadBootConfiguration reads them) and, with periodic save, its stored
 * period (0 when missing). Locked. Fails as the open of the letter's subkey fails.
 */
NTSTATUS ReadBootSaveSettings(HANDLE VolumesKey, WCHAR Letter, PULONG Flags, PULONG Period)
{
    *Flags = 0;
    *Period = 0;
    HANDLE key;
    NTSTATUS status = OpenLetterKey(VolumesKey, Letter, FALSE, KEY_READ, &key);
    if (!NT_SUCCESS(status))
        return status;
    ULONG value = 0;
    if (QueryConfigDword(key, ValueFlags, &value))
        *Flags = NormalizeBootFlags(value);
    value = 0;
    if ((*Flags & VOREL_BOOT_PERIODIC_SAVE) != 0 && QueryConfigDword(key, ValueAutoSavePeriod, &value))
        *Period = value;
    ZwClose(key);
    return STATUS_SUCCESS;
}

/*
 * ConfiguredForAutoSave: whether the letter's stored configuration asks to save
 * the volume at shutdown and before it is dismounted. PASSIVE_LEVEL; takes the
 * configuration mutex for the read. A letter without configuration does not.
 */
BOOLEAN ConfiguredForAutoSave(WCHAR Letter)
{
    BOOLEAN autoSave = FALSE;
    AcquireConfiguration();
    HANDLE volumes;
    if (NT_SUCCESS(OpenBootConfigurations(&volumes))) {
        ULONG flags, period;
        autoSave = NT_SUCCESS(ReadBootSaveSettings(volumes, Letter, &flags, &period)) &&
                   (flags & VOREL_BOOT_AUTO_SAVE) != 0;
        ZwClose(volumes);
    }
    ReleaseConfiguration();
    return autoSave;
}

/* SetConfigValue: one value of the letter's subkey. */
static NTSTATUS SetConfigValue(HANDLE Key, PCWSTR ValueName, ULONG Type, const VOID *Data, ULONG Size)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName);
    return ZwSetValueKey(Key, &name, 0, Type, (PVOID)Data, Size);
}

/*
 * SetConfigString: a REG_SZ of the string and its terminator. The string ends at
 * its first NUL within Units units; the request handler has zeroed the last one.
 */
static NTSTATUS SetConfigString(HANDLE Key, PCWSTR ValueName, const VOREL_WCHAR *Text, ULONG Units)
{
    ULONG length = 0;
    while (length < Units - 1 && Text[length] != 0)
        length++;
    return SetConfigValue(Key, ValueName, REG_SZ, Text, (length + 1) * sizeof(WCHAR));
}

/*
 * BuildFoldersMultiString: the folders text cut at line feeds into Out, empty
 * pieces dropped, each piece terminated and one more terminator ending the list
 * (an empty list is two terminators). Returns the units written.
 */
static ULONG BuildFoldersMultiString(const VOREL_WCHAR *Text, PWCH Out)
{
    ULONG out = 0;
    ULONG pieceStart = 0;
    for (ULONG i = 0; i < VOREL_FOLDERS_UNITS && Text[i] != 0; i++) {
        if (Text[i] == L'\n') {
            if (out > pieceStart)
                Out[out++] = 0;
            pieceStart = out;
            continue;
        }
        Out[out++] = Text[i];
    }
    if (out > pieceStart)
        Out[out++] = 0;
    if (out == 0)
        Out[out++] = 0;
    Out[out++] = 0;
    return out;
}

/* WriteConfigValues: the entry's values into its fresh subkey, in the store's order. */
static NTSTATUS WriteConfigValues(HANDLE Key, const VOREL_BOOT_CONFIGURATION *Entry)
{
    ULONGLONG size = Entry->SizeBytes;
    ULONG flags = Entry->Flags;
    ULONG level = Entry->CompressionLevel;
    ULONG period = Entry->SaveIntervalSeconds;
    NTSTATUS status = SetConfigValue(Key, ValueSizeBytes, REG_QWORD, &size, sizeof(size));
    if (NT_SUCCESS(status))
        status = SetConfigValue(Key, ValueFlags, REG_DWORD, &flags, sizeof(flags));
    if (NT_SUCCESS(status))
        status = SetConfigValue(Key, ValueCompressLevel, REG_DWORD, &level, sizeof(level));
    if (NT_SUCCESS(status) && (flags & VOREL_BOOT_PERIODIC_SAVE) != 0)
        status = SetConfigValue(Key, ValueAutoSavePeriod, REG_DWORD, &period, sizeof(period));
    if (NT_SUCCESS(status))
        status = SetConfigString(Key, ValueLabel, Entry->Label, VOREL_LABEL_UNITS);
    if (NT_SUCCESS(status) && Entry->ImagePath[0] != 0)
        status = SetConfigString(Key, ValueImagePath, Entry->ImagePath, VOREL_PATH_UNITS);
    if (NT_SUCCESS(status) && Entry->InitialFolders[0] != 0) {
        PWCH folders =
            (PWCH)VorelData.AllocatePool(FOLDERS_MULTI_SZ_UNITS * sizeof(WCHAR), TAG_BOOT_VALUE, PagedPool);
        if (folders == NULL)
            return STATUS_INSUFFICIENT_RESOURCES;
        ULONG units = BuildFoldersMultiString(Entry->InitialFolders, folders);
        status = SetConfigValue(Key, ValueInitialFolders, REG_MULTI_SZ, folders, units * sizeof(WCHAR));
        VorelData.FreePool(folders, TAG_BOOT_VALUE);
    }
    return status;
}

/* DeleteLetterKey: the letter's subkey and its values; STATUS_SUCCESS when there is none. */
static NTSTATUS DeleteLetterKey(HANDLE VolumesKey, WCHAR Letter)
{
    HANDLE key;
    NTSTATUS status = OpenLetterKey(VolumesKey, Letter, FALSE, DELETE, &key);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    status = ZwDeleteKey(key);
    ZwClose(key);
    return status;
}

/*
 * StoreBootConfiguration: replaces the letter's entry by Entry (checked by the
 * caller: letter, flags, level, size, period, image path). Locked. The subkey
 * is made afresh, so no value of an earlier entry survives; a write that fails
 * takes the new subkey away again and is returned. On success the letter's
 * auto-mount status is cleared and the periodic saves re-read their periods.
 * The entry is mounted at the next driver start, not now.
 */
NTSTATUS StoreBootConfiguration(const VOREL_BOOT_CONFIGURATION *Entry)
{
    if (VorelData.ServiceKeyPath.Length == 0)
        return STATUS_INVALID_PARAMETER;
    WCHAR letter = (WCHAR)Entry->Letter;
    HANDLE parameters = NULL, volumes = NULL, key = NULL;
    NTSTATUS status = OpenServiceSubkey(L"Parameters", TRUE, REG_OPTION_NON_VOLATILE, &parameters);
    if (NT_SUCCESS(status))
        status = OpenRelativeKey(parameters, L"Volumes", TRUE, KEY_ALL_ACCESS, &volumes);
    if (!NT_SUCCESS(status))
        goto done;

    ULONG version;
    version = 1;
    status = SetConfigValue(volumes, L"ConfigVersion", REG_DWORD, &version, sizeof(version));
    if (NT_SUCCESS(status))
        status = DeleteLetterKey(volumes, letter);
    if (NT_SUCCESS(status))
        status = OpenLetterKey(volumes, letter, TRUE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status))
        goto done;

    status = WriteConfigValues(key, Entry);
    if (!NT_SUCCESS(status)) {
        /* No partial entry: it would be mounted with whatever was written. */
        (VOID)ZwDeleteKey(key);
        goto done;
    }
    /* An administrator's configuration must not wait for the registry's lazy write. */
    (VOID)ZwFlushKey(key);
    NoteConfigurationChange(letter);

done:
    if (key != NULL)
        ZwClose(key);
    if (volumes != NULL)
        ZwClose(volumes);
    if (parameters != NULL)
        ZwClose(parameters);
    return status;
}

/*
 * DeleteBootConfiguration: removes the letter's entry. Locked. A missing entry is
 * success; a store that cannot be opened is STATUS_OBJECT_NAME_NOT_FOUND. A
 * volume mounted from the entry stays mounted.
 */
NTSTATUS DeleteBootConfiguration(WCHAR Letter)
{
    HANDLE volumes;
    NTSTATUS status = OpenBootConfigurations(&volumes);
    if (status == STATUS_INVALID_PARAMETER)
        return status;
    if (!NT_SUCCESS(status))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    status = DeleteLetterKey(volumes, Letter);
    if (NT_SUCCESS(status)) {
        (VOID)ZwFlushKey(volumes);
        NoteConfigurationChange(Letter);
    }
    ZwClose(volumes);
    return status;
}

/* IsLetterOnline: whether a volume with the letter is Online (volume list lock taken briefly). */
static BOOLEAN IsLetterOnline(WCHAR Letter)
{
    KIRQL irql = AcquireVolumeList();
    BOOLEAN online = FindOnlineVolume(Letter) != NULL;
    ReleaseVolumeList(irql);
    return online;
}

/*
 * ListBootConfigurations: every entry, in letter order, into *List (zeroed
 * first). Locked. A corrupt entry is listed with STATUS_FILE_CORRUPT_ERROR and
 * what could be read; a letter that cannot be read otherwise is skipped; the
 * others carry the letter's auto-mount status. A store that cannot be opened
 * lists nothing and is success.
 */
NTSTATUS ListBootConfigurations(VOREL_BOOT_CONFIGURATION_LIST *List)
{
    RtlZeroMemory(List, sizeof(*List));
    HANDLE volumes;
    NTSTATUS status = OpenBootConfigurations(&volumes);
    if (status == STATUS_INVALID_PARAMETER)
        return status;
    if (!NT_SUCCESS(status))
        return STATUS_SUCCESS;
    for (WCHAR letter = L'A'; letter <= L'Z'; letter++) {
        VOREL_BOOT_CONFIGURATION *entry = &List->Entries[List->Count];
        status = ReadBootConfiguration(volumes, letter, entry);
        if (status == STATUS_FILE_CORRUPT_ERROR) {
            entry->AutoMountStatus = (VOREL_U32)STATUS_FILE_CORRUPT_ERROR;
        } else if (NT_SUCCESS(status)) {
            entry->AutoMountStatus =
                (VOREL_U32)InterlockedCompareExchange((volatile LONG *)&VorelData.AutoMountStatus[letter - L'A'], 0, 0);
        } else {
            RtlZeroMemory(entry, sizeof(*entry));
            continue;
        }
        entry->Mounted = IsLetterOnline(letter) ? 1 : 0;
        List->Count++;
    }
    ZwClose(volumes);
    return STATUS_SUCCESS;
}
