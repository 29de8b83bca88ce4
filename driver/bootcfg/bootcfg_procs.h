/*
 * Boot configuration, services and statistics routines.
 */
#pragma once

/* Pool tags of the boot configuration: entries and registry value buffers. */
#define TAG_BOOT_CONFIGURATION POOL_TAG('v', 'l', 'B', 'c')
#define TAG_BOOT_VALUE         POOL_TAG('v', 'l', 'B', 'v')

/*
 * config_store.cpp: the stored boot configurations, one registry subkey per letter
 * below "Parameters\Volumes". PASSIVE_LEVEL. The routines marked "locked" need the
 * configuration mutex held (AcquireConfiguration); none takes another lock but the
 * volume list lock, briefly.
 */
VOID AcquireConfiguration(VOID);
VOID ReleaseConfiguration(VOID);
NTSTATUS OpenBootConfigurations(PHANDLE VolumesKey);                                          /* locked */
ULONG ReadBootConfigurationVersion(HANDLE VolumesKey);                                        /* locked */
NTSTATUS ReadBootConfiguration(HANDLE VolumesKey, WCHAR Letter, VOREL_BOOT_CONFIGURATION *Entry); /* locked */
NTSTATUS ReadBootSaveSettings(HANDLE VolumesKey, WCHAR Letter, PULONG Flags, PULONG Period);  /* locked */
NTSTATUS StoreBootConfiguration(const VOREL_BOOT_CONFIGURATION *Entry);                       /* locked */
NTSTATUS DeleteBootConfiguration(WCHAR Letter);                                               /* locked */
NTSTATUS ListBootConfigurations(VOREL_BOOT_CONFIGURATION_LIST *List);                         /* locked */
BOOLEAN ConfiguredForAutoSave(WCHAR Letter);
VOID SetAutoMountStatus(WCHAR Letter, NTSTATUS Status);

/* auto_mount.cpp: the boot-time mounts and the volume arrivals that wake them. */
KSTART_ROUTINE AutoMountService;
VOID StartAutoMount(VOID);
VOID StopAutoMount(VOID);

/* auto_save.cpp: the periodic saves. */
KSTART_ROUTINE AutoSaveService;

/* shutdown_saves.cpp: the saves of the volumes configured for them, at system shutdown. */
VOID SaveConfiguredVolumes(VOID);

/* statistics.cpp: the I/O figures and the statistics service (its context is the SERVICE_THREAD). */
KSTART_ROUTINE StatisticsService;
VOID OpenStatisticsKeys(VOID);
VOID CloseStatisticsKeys(VOID);
VOID QueryRunningTotals(VOREL_IO_STATISTICS *Totals);
VOID QueryLifetimeTotals(VOREL_LIFETIME_STATISTICS *Totals);
VOID RetireVolumeIo(PVCB Vcb);                                      /* volume list lock held */
