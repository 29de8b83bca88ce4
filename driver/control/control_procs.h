/*
 * Control interface routines: the device-control handler and the requests of the
 * control device.
 */
#pragma once

/* control_dispatch.cpp */
DRIVER_DISPATCH VorelDeviceControl;

/* caller_gate.cpp */
BOOLEAN CallerIsAdministratorOrKernel(PIRP Irp);
BOOLEAN CallerGateAllows(PIRP Irp);

/*
 * A control request's worker: runs after the request table's checks (gate, sizes,
 * letter) passed. Buffer is the shared system buffer; a reply sets
 * Irp->IoStatus.Information. Returns the completion status.
 */
typedef NTSTATUS CONTROL_REQUEST_ROUTINE(PIRP Irp, PVOID Buffer, ULONG InputLength, ULONG OutputLength);
typedef CONTROL_REQUEST_ROUTINE *PCONTROL_REQUEST_ROUTINE;

/* driver_requests.cpp: requests about the driver itself (statistics and prepare-unload too), and the build stamp */
extern const char BuildStamp[];
CONTROL_REQUEST_ROUTINE PingRequest;
CONTROL_REQUEST_ROUTINE GetSettingsRequest;
CONTROL_REQUEST_ROUTINE SetSettingsRequest;
CONTROL_REQUEST_ROUTINE LastPersistenceErrorRequest;
CONTROL_REQUEST_ROUTINE IoStatisticsRequest;
CONTROL_REQUEST_ROUTINE LifetimeStatisticsRequest;
CONTROL_REQUEST_ROUTINE PrepareUnloadRequest;

/* request_checks.cpp: each request's own record checks */
CONTROL_REQUEST_ROUTINE CheckCreateVolume;
CONTROL_REQUEST_ROUTINE CheckSetCompressionLevel;
CONTROL_REQUEST_ROUTINE CheckSaveVolume;
CONTROL_REQUEST_ROUTINE CheckSetBootConfiguration;
CONTROL_REQUEST_ROUTINE CheckResizeVolume;

/* volume_requests.cpp: requests about volumes */
CONTROL_REQUEST_ROUTINE CreateVolumeRequest;
CONTROL_REQUEST_ROUTINE DismountVolumeRequest;
CONTROL_REQUEST_ROUTINE ResizeVolumeRequest;
CONTROL_REQUEST_ROUTINE SaveVolumeRequest;
CONTROL_REQUEST_ROUTINE PersistenceStateRequest;
CONTROL_REQUEST_ROUTINE SetCompressionLevelRequest;
CONTROL_REQUEST_ROUTINE GetCompressionLevelRequest;
CONTROL_REQUEST_ROUTINE CompressionStatisticsRequest;
CONTROL_REQUEST_ROUTINE QueryMountedVolumesRequest;
CONTROL_REQUEST_ROUTINE VolumeHoldersRequest;

/* boot_config_requests.cpp: the stored boot configuration */
CONTROL_REQUEST_ROUTINE SetBootConfigurationRequest;
CONTROL_REQUEST_ROUTINE DeleteBootConfigurationRequest;
CONTROL_REQUEST_ROUTINE QueryBootConfigurationRequest;
