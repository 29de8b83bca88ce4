/*
 * The namespace's diagnostic table of the stand-in build (see
 * namespace_diagnostics.h), and the volume control blocks it lets a test make
 * without mounting anything.
 */
#include "vorel.h"
#include "namespace/namespace_diagnostics.h"

#define TAG_DIAGNOSTIC_VCB POOL_TAG('v', 'l', 'D', 'c')

static PVCB MakeVolume(ULONGLONG SizeBytes, BOOLEAN NoSecurity)
{
    PVCB vcb = (PVCB)AllocateZeroed(sizeof(VCB), TAG_DIAGNOSTIC_VCB, NonPagedPoolNx);
    if (vcb == NULL)
        return NULL;
    vcb->Signature = VCB_SIGNATURE;
    vcb->NoSecurity = NoSecurity;
    InitializeStoreVolume(&vcb->Store, SizeBytes);
    if (!NT_SUCCESS(InitializeVcbNamespace(vcb)))
        goto undo_store;
    if (!NT_SUCCESS(CreateRootDirectory(vcb)))
        goto undo_namespace;
    return vcb;

undo_namespace:
    UninitializeVcbNamespace(vcb);
undo_store:
    TearDownStoreVolume(&vcb->Store);
    VorelData.FreePool(vcb, TAG_DIAGNOSTIC_VCB);
    return NULL;
}

static PVCB CreateVolume(ULONGLONG SizeBytes)
{
    return MakeVolume(SizeBytes, FALSE);
}

static PVCB CreateVolumeWithoutSecurity(ULONGLONG SizeBytes)
{
    return MakeVolume(SizeBytes, TRUE);
}

static VOID DeleteVolume(PVCB Vcb)
{
    TearDownTree(Vcb);
    UninitializeVcbNamespace(Vcb);
    TearDownStoreVolume(&Vcb->Store);
    Vcb->Signature = 0;
    VorelData.FreePool(Vcb, TAG_DIAGNOSTIC_VCB);
}

EXTERN_C DECLSPEC_EXPORT const VOREL_NAMESPACE_DIAGNOSTICS VorelNamespaceDiagnostics = {
    sizeof(VOREL_NAMESPACE_DIAGNOSTICS),
    VOREL_NAMESPACE_DIAGNOSTICS_VERSION,
    CreateVolume,
    DeleteVolume,
    AllocateNode,
    ReferenceNode,
    DereferenceNode,
    MakeLink,
    AddLink,
    RemoveLink,
    ReleaseLink,
    LookupChild,
    LookupNodeById,
    IsValidNewName,
    HashName,
    WalkPath,
    CollectNodes,
    ReleaseCollectedNodes,
    TearDownTree,
    IsVolumeBusy,
    NoteDataModified,
    ReportedAttributes,
    CreateVolumeWithoutSecurity,
    InternDescriptor,
    ReleaseDescriptor,
    FreeNodeDescriptor,
    AssignNewNodeDescriptor,
    MapGenericAccess,
    CheckOpenAccess,
    CheckTraverse,
    SelectTraverseCheck,
};
