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
    if (!NT_SUCCESS(InitializeVolumeContents(vcb, SizeBytes))) {
        VorelData.FreePool(vcb, TAG_DIAGNOSTIC_VCB);
        return NULL;
    }
    return vcb;
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
    UninitializeVolumeContents(Vcb);
    Vcb->Signature = 0;
    VorelData.FreePool(Vcb, TAG_DIAGNOSTIC_VCB);
}

EXTERN_C DECLSPEC_EXPORT const VOREL_NAMESPACE_DIAGNOSTICS VorelNamespaceDiagnostics = {
    sizeof(VOREL_NAMESPACE_DIAGNOSTICS),
    VOREL_NAMESPACE_DIAGNOSTICS_VERSION,
    CreateVolume,
    DeleteVolume,
    InitializeVolumeContents,
    UninitializeVolumeContents,
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
    FlushAllFiles,
    NoteDataModified,
    ReportedAttributes,
    ReplaceEas,
    RemoveEas,
    SetReparse,
    SetReparseChecked,
    DeleteReparse,
    CreateVolumeWithoutSecurity,
    InternDescriptor,
    ReleaseDescriptor,
    FreeNodeDescriptor,
    DropInheritanceCache,
    AssignNewNodeDescriptor,
    MapGenericAccess,
    CheckOpenAccess,
    CheckTraverse,
    SelectTraverseCheck,
};
