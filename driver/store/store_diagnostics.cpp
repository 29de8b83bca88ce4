/*
 * The store's diagnostic table of the stand-in build (see store_diagnostics.h),
 * and the volumes and nodes it lets a test make without mounting anything.
 */
#include "vorel.h"
#include "store/store_diagnostics.h"

#define TAG_DIAGNOSTIC_VOLUME   POOL_TAG('v', 'l', 'D', 'v')
#define TAG_DIAGNOSTIC_NODE     POOL_TAG('v', 'l', 'D', 'n')

static PSTORE_VOLUME CreateVolume(ULONGLONG SizeBytes)
{
    PSTORE_VOLUME volume = (PSTORE_VOLUME)AllocateZeroed(sizeof(STORE_VOLUME), TAG_DIAGNOSTIC_VOLUME, NonPagedPoolNx);
    if (volume != NULL)
        InitializeStoreVolume(volume, SizeBytes);
    return volume;
}

static VOID DeleteVolume(PSTORE_VOLUME Volume)
{
    TearDownStoreVolume(Volume);
    VorelData.FreePool(Volume, TAG_DIAGNOSTIC_VOLUME);
}

/* CreateNode: a file node as node creation makes one, as far as the store needs it. */
static PFCB CreateNode(PSTORE_VOLUME Volume)
{
    PFCB fcb = (PFCB)AllocateZeroed(sizeof(FCB), TAG_DIAGNOSTIC_NODE, NonPagedPoolNx);
    if (fcb == NULL)
        return NULL;
    if (!NT_SUCCESS(InitializeNodeResources(fcb))) {
        VorelData.FreePool(fcb, TAG_DIAGNOSTIC_NODE);
        return NULL;
    }
    InitializeNodeHeader(fcb, FALSE);
    fcb->Signature = FCB_SIGNATURE;
    fcb->ReferenceCount = 1;
    fcb->Data.Volume = Volume;
    return fcb;
}

static VOID DeleteNode(PFCB Fcb)
{
    ReleaseAllData(Fcb);
    ExDeleteResourceLite(&Fcb->PagingIoResource);
    ExDeleteResourceLite(&Fcb->MainResource);
    Fcb->Signature = 0;
    VorelData.FreePool(Fcb, TAG_DIAGNOSTIC_NODE);
}

EXTERN_C DECLSPEC_EXPORT const VOREL_STORE_DIAGNOSTICS VorelStoreDiagnostics = {
    sizeof(VOREL_STORE_DIAGNOSTICS),
    VOREL_STORE_DIAGNOSTICS_VERSION,
    CreateVolume,
    TearDownStoreVolume,
    DeleteVolume,
    CreateNode,
    DeleteNode,
    AllocatePages,
    FreePages,
    AllocateChunk,
    ReferenceChunk,
    ReleaseChunk,
    TrimChunkCache,
    IsLowMemory,
    AllocateSlot,
    FreeSlot,
    WouldExceedVolumeSize,
    EnsureSmallCapacity,
    ConvertToExtentTable,
    ReserveRange,
    AllocateExtentOnDemand,
    ExpandPartialExtent,
    WriteData,
    CopyIntoExtents,
    CopyFromStorage,
    WriteInPlace,
    ZeroRange,
    ZeroOrDeallocate,
    SetDataSize,
    ExtendSizesAfterWrite,
    ReleaseAllData,
    TrimToSize,
    ShareRange,
    UnshareRange,
    UnshareAll,
    QueryAllocatedRanges,
    IsAllZero,
};
