/*
 * The diagnostic table of the stand-in build (see diagnostics.h).
 */
#include "vorel.h"
#include "core/diagnostics.h"

EXTERN_C DECLSPEC_EXPORT const VOREL_DIAGNOSTICS VorelDiagnostics = {
    sizeof(VOREL_DIAGNOSTICS),
    VOREL_DIAGNOSTICS_VERSION,
    &VorelData,
    AllocateZeroed,
    DuplicateBuffer,
    FreeAndClear,
    CacheAllocate,
    CacheFree,
    InitializeVcbAdmission,
    UninitializeVcbAdmission,
    AdmitVolumeRequest,
    ReleaseVolumeRequest,
    HoldVolume,
    ReleaseVolumeHold,
    WorkerQueueStart,
    WorkerQueuePost,
    WorkerQueueDrainWait,
    WorkerQueueStop,
    CreateVolume,
    DismountVolume,
    AcquireVolumeForOperation,
    ReleaseVolumeOperation,
};
