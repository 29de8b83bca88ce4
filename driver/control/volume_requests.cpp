/*
 * Control requests about volumes: create, dismount, resize, the compression level
 * and statistics, the mounted volumes and the processes holding a volume. Each
 * runs after the request table's checks (gate, sizes, letter, record check).
 */
#include "vorel.h"

static WCHAR RequestLetter(PVOID Buffer)
{
    return (WCHAR)((const VOREL_LETTER_INPUT *)Buffer)->Letter;
}

/*
 * CreateVolumeRequest: the volume create with the record's fields (strings already
 * terminated by the record check). The record is read into the parameters before
 * anything runs: the reply shares its buffer.
 */
NTSTATUS CreateVolumeRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    const VOREL_CREATE_VOLUME_INPUT *input = (const VOREL_CREATE_VOLUME_INPUT *)Buffer;
    VOLUME_CREATE_PARAMETERS parameters;
    parameters.Letter = (WCHAR)input->Letter;
    parameters.SizeBytes = input->SizeBytes;
    parameters.Label = (PCWSTR)input->Label;
    parameters.Flags = input->Flags;
    parameters.ImagePath = (PCWSTR)input->ImagePath;
    parameters.RequestorIsUserMode = Irp->RequestorMode == UserMode;
    parameters.InitialFolders = (PCWSTR)input->InitialFolders;
    Irp->IoStatus.Information = 0;
    return CreateVolume(&parameters);
}

NTSTATUS DismountVolumeRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    Irp->IoStatus.Information = 0;
    return DismountVolume(RequestLetter(Buffer));
}

NTSTATUS ResizeVolumeRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    const VOREL_RESIZE_INPUT *input = (const VOREL_RESIZE_INPUT *)Buffer;
    Irp->IoStatus.Information = 0;
    return ResizeVolume((WCHAR)input->Letter, input->NewSizeBytes);
}

/*
 * SetCompressionLevelRequest: the Online volume's level changes at once and its
 * compression worker is woken to act on it. STATUS_DEVICE_NOT_READY while the
 * volume is not mounted yet.
 */
NTSTATUS SetCompressionLevelRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    const VOREL_COMPRESSION_LEVEL *input = (const VOREL_COMPRESSION_LEVEL *)Buffer;
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    KIRQL irql = AcquireVolumeList();
    PVOLUME_DEVICE_RECORD vdr = FindOnlineVolume((WCHAR)input->Letter);
    if (vdr != NULL) {
        PVCB vcb = MountedVcb(vdr);
        status = STATUS_DEVICE_NOT_READY;
        if (vcb != NULL) {
            InterlockedExchange(&vcb->CompressionLevel, (LONG)input->Level);
            KeSetEvent(&vcb->CompressionEvent, IO_NO_INCREMENT, FALSE);
            status = STATUS_SUCCESS;
        }
    }
    ReleaseVolumeList(irql);
    Irp->IoStatus.Information = 0;
    return status;
}

/* GetCompressionLevelRequest: the Online volume's level (mounted), or the level it was created with. */
NTSTATUS GetCompressionLevelRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    WCHAR letter = RequestLetter(Buffer);
    ULONG level = 0;
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    KIRQL irql = AcquireVolumeList();
    PVOLUME_DEVICE_RECORD vdr = FindOnlineVolume(letter);
    if (vdr != NULL) {
        PVCB vcb = MountedVcb(vdr);
        level = vcb != NULL ? (ULONG)ReadNoFence(&vcb->CompressionLevel) : vdr->CompressionLevel;
        status = STATUS_SUCCESS;
    }
    ReleaseVolumeList(irql);
    if (!NT_SUCCESS(status))
        return status;
    VOREL_COMPRESSION_LEVEL *reply = (VOREL_COMPRESSION_LEVEL *)Buffer;
    RtlZeroMemory(reply, sizeof(*reply));
    reply->Level = level;
    Irp->IoStatus.Information = sizeof(*reply);
    return STATUS_SUCCESS;
}

/* CompressionStatisticsRequest: the Online volume's compression counters and its held bytes. */
NTSTATUS CompressionStatisticsRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    WCHAR letter = RequestLetter(Buffer);
    VOREL_COMPRESSION_STATISTICS statistics;
    RtlZeroMemory(&statistics, sizeof(statistics));
    NTSTATUS status = STATUS_OBJECT_NAME_NOT_FOUND;
    KIRQL irql = AcquireVolumeList();
    PVOLUME_DEVICE_RECORD vdr = FindOnlineVolume(letter);
    if (vdr != NULL) {
        PVCB vcb = MountedVcb(vdr);
        if (vcb != NULL) {
            const COMPRESSION_COUNTERS *counters = &vcb->CompressionCounters;
            statistics.CompressedFiles = (VOREL_U64)ReadNoFence64(&counters->CompressedFiles);
            statistics.CompressedExtentBytes = (VOREL_U64)ReadNoFence64(&counters->CompressedExtentBytes);
            statistics.CompressedMemory = (VOREL_U64)ReadNoFence64(&counters->CompressedMemory);
            statistics.ExtentsCompressed = (VOREL_U64)ReadNoFence64(&counters->ExtentsCompressed);
            statistics.ExtentsDecompressed = (VOREL_U64)ReadNoFence64(&counters->ExtentsDecompressed);
            statistics.ExtentsNotWorthCompressing = (VOREL_U64)ReadNoFence64(&counters->ExtentsNotWorthCompressing);
            statistics.ZeroExtentsReleased = (VOREL_U64)ReadNoFence64(&counters->ZeroExtentsReleased);
            statistics.HeldBytes = (VOREL_U64)ReadNoFence64(&vcb->Store.HeldBytes);
        }
        status = STATUS_SUCCESS;
    }
    ReleaseVolumeList(irql);
    if (!NT_SUCCESS(status))
        return status;
    RtlCopyMemory(Buffer, &statistics, sizeof(statistics));
    Irp->IoStatus.Information = sizeof(statistics);
    return STATUS_SUCCESS;
}

/* FillMountedVolume: one entry of the mounted-volumes reply. Volume list lock held. */
static VOID FillMountedVolume(VOREL_MOUNTED_VOLUME *Entry, PVOLUME_DEVICE_RECORD Vdr)
{
    Entry->Letter = Vdr->Letter;
    Entry->Flags = (Vdr->PerFileSecurity ? 0 : VOREL_CREATE_NO_SECURITY) |
                   (Vdr->NoRecycle ? VOREL_CREATE_NO_RECYCLE : 0);
    Entry->SizeBytes = ReadULong64Acquire(&Vdr->SizeBytes);
    Entry->CompressionLevel = Vdr->CompressionLevel;
    RtlCopyMemory(Entry->Label, Vdr->Label, sizeof(Entry->Label));
    PVCB vcb = MountedVcb(Vdr);
    if (vcb != NULL) {
        Entry->BytesInUse = (VOREL_U64)ReadNoFence64(&vcb->Store.ChargedBytes);
        Entry->CompressionLevel = (VOREL_U32)ReadNoFence(&vcb->CompressionLevel);
    }
}

/* QueryMountedVolumesRequest: every Online volume, in list order (29128 bytes). */
NTSTATUS QueryMountedVolumesRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    VOREL_MOUNTED_VOLUME_LIST *reply = (VOREL_MOUNTED_VOLUME_LIST *)Buffer;
    RtlZeroMemory(reply, sizeof(*reply));
    KIRQL irql = AcquireVolumeList();
    for (PLIST_ENTRY entry = VorelData.VolumeList.Flink;
         entry != &VorelData.VolumeList && reply->Count < VOREL_LETTER_COUNT; entry = entry->Flink) {
        PVOLUME_DEVICE_RECORD vdr = CONTAINING_RECORD(entry, VOLUME_DEVICE_RECORD, ListLinks);
        if (vdr->State == VOLUME_ONLINE)
            FillMountedVolume(&reply->Entries[reply->Count++], vdr);
    }
    ReleaseVolumeList(irql);
    Irp->IoStatus.Information = sizeof(*reply);
    return STATUS_SUCCESS;
}

/*
 * VolumeHoldersRequest: the processes with handles open on the Online mounted
 * volume, in table order; an unknown letter gets an empty list. Spin locks never
 * nest, so the volume is kept from teardown by a rundown reference taken under
 * the volume list lock, and its holder table is read under the holder lock
 * after the list lock is dropped.
 */
NTSTATUS VolumeHoldersRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    WCHAR letter = RequestLetter(Buffer);
    VOREL_VOLUME_HOLDERS *reply = (VOREL_VOLUME_HOLDERS *)Buffer;
    RtlZeroMemory(reply, sizeof(*reply));
    KIRQL irql = AcquireVolumeList();
    PVOLUME_DEVICE_RECORD vdr = FindOnlineVolume(letter);
    PVCB vcb = vdr != NULL ? MountedVcb(vdr) : NULL;
    if (vcb != NULL && !ExAcquireRundownProtectionCacheAware(VcbRundown(vcb)))
        vcb = NULL;
    ReleaseVolumeList(irql);
    if (vcb != NULL) {
        KeAcquireSpinLock(&vcb->HolderLock, &irql);
        for (ULONG i = 0; i < VOLUME_HOLDER_SLOTS; i++) {
            if (vcb->Holders[i].OpenCount > 0)
                reply->ProcessIds[reply->Count++] = vcb->Holders[i].ProcessId;
        }
        KeReleaseSpinLock(&vcb->HolderLock, irql);
        ExReleaseRundownProtectionCacheAware(VcbRundown(vcb));
    }
    Irp->IoStatus.Information = sizeof(*reply);
    return STATUS_SUCCESS;
}

/*
 * SaveVolumeRequest: saves the volume to its image, or fully to a new path that
 * it is then bound to. The volume is Busy for the save, so a second save, a
 * resize or a dismount of it is refused meanwhile.
 */
NTSTATUS SaveVolumeRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    const VOREL_SAVE_INPUT *input = (const VOREL_SAVE_INPUT *)Buffer;
    Irp->IoStatus.Information = 0;
    PVOLUME_DEVICE_RECORD vdr;
    PVCB vcb;
    NTSTATUS status = AcquireVolumeForOperation((WCHAR)input->Letter, &vdr, &vcb);
    if (!NT_SUCCESS(status))
        return status;
    PCWSTR path = input->NewImagePath[0] != 0 ? (PCWSTR)input->NewImagePath : NULL;
    status = SaveVolumeImage(vdr, vcb, path, Irp->RequestorMode == UserMode);
    ReleaseVolumeOperation(vdr);
    return status;
}

/* PersistenceStateRequest: the volume's image binding and the state of its saves. */
NTSTATUS PersistenceStateRequest(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength)
{
    UNREFERENCED_PARAMETER(InputLength);
    UNREFERENCED_PARAMETER(OutputLength);
    VOREL_PERSISTENCE_STATE *state = (VOREL_PERSISTENCE_STATE *)Buffer;
    WCHAR letter = (WCHAR)state->Letter;
    Irp->IoStatus.Information = 0;
    PVOLUME_DEVICE_RECORD vdr;
    PVCB vcb;
    NTSTATUS status = AcquireVolumeForOperation(letter, &vdr, &vcb);
    if (!NT_SUCCESS(status))
        return status;
    RtlZeroMemory(state, sizeof(*state));
    state->Letter = (VOREL_U16)letter;
    PIMAGE_BINDING binding = vdr->Binding;
    if (binding != NULL) {
        state->Bound = 1;
        state->Committed = binding->Committed ? 1 : 0;
        state->Checksums = binding->Checksums ? 1 : 0;
        state->LastSaveStatus = (VOREL_U32)binding->LastSaveStatus;
        state->Generation = binding->Generation;
        state->LastSaveTime = (VOREL_U64)binding->LastSaveTime;
        state->SlotHighWater = binding->HighWater;
        state->LastSaveCounter = binding->StatisticsValid ? binding->Statistics.SlotsWritten : 0;
        RtlCopyMemory(state->ImageId, binding->Identifier, sizeof(state->ImageId));
        /* The path as the user gave it: the binding's, without its "\??\". */
        ULONG units = binding->Path.Length / sizeof(WCHAR);
        units = units > 4 ? units - 4 : 0;
        units = min(units, (ULONG)(VOREL_PATH_UNITS - 1));
        RtlCopyMemory(state->ImagePath, binding->Path.Buffer + 4, units * sizeof(WCHAR));
    }
    ReleaseVolumeOperation(vdr);
    Irp->IoStatus.Information = sizeof(*state);
    return STATUS_SUCCESS;
}
