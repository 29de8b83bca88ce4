/*
 * Volume lifecycle routines.
 *
 * Unless a routine says otherwise: PASSIVE_LEVEL, no driver lock held (the volume
 * list lock is a spin lock and never held across I/O, registry or mount-manager
 * calls).
 */
#pragma once

/* "\DosDevices\X:" and its terminator; "\Device\Volume{GUID}" and its terminator, with room. */
#define LETTER_LINK_UNITS 16
#define DEVICE_NAME_UNITS 80

/* The inputs of a volume create: the create request's or a stored boot configuration's. */
typedef struct _VOLUME_CREATE_PARAMETERS {
    WCHAR Letter;                           /* 'A'..'Z' */
    ULONGLONG SizeBytes;
    PCWSTR Label;                           /* may be NULL; at most 31 characters are kept */
    ULONG Flags;                            /* VOREL_CREATE_* */
    PCWSTR ImagePath;                       /* NULL or empty: no image */
    BOOLEAN RequestorIsUserMode;
    PCWSTR InitialFolders;                  /* line-feed separated; may be NULL */
} VOLUME_CREATE_PARAMETERS;
typedef const VOLUME_CREATE_PARAMETERS *PCVOLUME_CREATE_PARAMETERS;

/* volume_list.cpp: the list and lookups (those marked "locked" need the volume list lock held). */
PVOLUME_DEVICE_RECORD VdrFromDevice(PDEVICE_OBJECT DeviceObject);
KIRQL AcquireVolumeList(VOID);
VOID ReleaseVolumeList(KIRQL Irql);
VOID InsertVolumeRecord(PVOLUME_DEVICE_RECORD Vdr);                 /* locked */
VOID UnlinkVolumeRecord(PVOLUME_DEVICE_RECORD Vdr);                 /* locked */
BOOLEAN IsVolumeRecordListed(PVOLUME_DEVICE_RECORD Vdr);            /* locked */
PVOLUME_DEVICE_RECORD FindVolumeRecord(WCHAR Letter);               /* locked */
PVOLUME_DEVICE_RECORD FindOnlineVolume(WCHAR Letter);               /* locked */
PVCB MountedVcb(PVOLUME_DEVICE_RECORD Vdr);                         /* locked */
NTSTATUS AcquireVolumeForOperation(WCHAR Letter, PVOLUME_DEVICE_RECORD *Vdr, PVCB *Vcb);
VOID ReleaseVolumeOperation(PVOLUME_DEVICE_RECORD Vdr);
VOID RelistVolume(PVOLUME_DEVICE_RECORD Vdr);
ULONG CollectOnlineLetters(WCHAR Letters[VOREL_LETTER_COUNT]);
ULONG CollectMountedLetters(WCHAR Letters[VOREL_LETTER_COUNT]);

/* volume_names.cpp */
NTSTATUS FormatDeviceName(PWCH Buffer);
VOID FormatLetterName(PCWSTR Prefix, WCHAR Letter, PCWSTR Suffix, PWCH Buffer, USHORT Units, PUNICODE_STRING Name);
VOID FormatLetterLink(WCHAR Letter, PWCH Buffer, PUNICODE_STRING Link);

/* mount_manager.cpp */
NTSTATUS SendMountManagerRequest(ULONG Code, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                                 PULONG_PTR Information);
BOOLEAN LetterLeadsToDevice(WCHAR Letter, PCUNICODE_STRING DeviceName);
NTSTATUS QueryFirstLinkOfDevice(PCUNICODE_STRING DeviceName, PUNICODE_STRING Link);
NTSTATUS CreateMountPoint(PCUNICODE_STRING Link, PCUNICODE_STRING DeviceName);
NTSTATUS AnnounceVolumeArrival(PCUNICODE_STRING DeviceName);
NTSTATUS RemoveMountedDevicesId(const UCHAR *UniqueId);
VOID ClearStaleLetterState(PVOLUME_DEVICE_RECORD Vdr);
VOID RemoveVolumeLetter(PVOLUME_DEVICE_RECORD Vdr, PCUNICODE_STRING Link);

/* disk_device.cpp: requests to a volume's disk device (any IRQL up to APC_LEVEL) */
NTSTATUS DiskDeviceRequest(PVOLUME_DEVICE_RECORD Vdr, PIRP Irp);

/* create.cpp, mount.cpp */
ULONG BuildStampSerial(VOID);
NTSTATUS CreateVolume(PCVOLUME_CREATE_PARAMETERS Parameters);
NTSTATUS InitializeVolumeContents(PVCB Vcb, ULONGLONG SizeBytes);
NTSTATUS MountVolume(PIRP Irp);

/* teardown.cpp, dismount.cpp, volume_events.cpp */
BOOLEAN WaitWhileVolumeBusy(PVCB Vcb);
VOID UninitializeVolumeContents(PVCB Vcb);
NTSTATUS TearDownVolumeDevice(PVOLUME_DEVICE_RECORD Vdr, BOOLEAN CheckBusy);
VOID FreeVolumeRecord(PVOLUME_DEVICE_RECORD Vdr, BOOLEAN Unlink);
NTSTATUS DismountVolume(WCHAR Letter);
ULONG DismountAllVolumes(VOID);
ULONG DismountAllVolumesForUnload(VOID);
VOID NotifyVolumeEvent(PVOLUME_DEVICE_RECORD Vdr, ULONG Event);

/* resize.cpp */
NTSTATUS ResizeVolume(WCHAR Letter, ULONGLONG NewSize);
