/*
 * The namespace's diagnostic table of the stand-in build (see
 * namespace_diagnostics.h), and the volume control blocks it lets a test make
 * without mounting anything.
 */
#include "vorel.h"
#include "namespace/namespace_diagnostics.h"

#define TAG_DIAGNOSTIC_VCB POOL_TAG('v', 'l', 'D', 'c')

/* InitializeVolume: store, tree state and root of a zeroed VCB (NoSecurity set beforehand, if wanted). */
static NTSTATUS InitializeVolume(PVCB Vcb, ULONGLONG SizeBytes)
{
    InitializeStoreVolume(&Vcb->Store, SizeBytes);
    NTSTATUS status = InitializeVcbNamespace(Vcb);
    if (!NT_SUCCESS(status))
        goto undo_store;
    status = CreateRootDirectory(Vcb);
    if (!NT_SUCCESS(status))
        goto undo_namespace;
    return STATUS_SUCCESS;

undo_namespace:
    UninitializeVcbNamespace(Vcb);
undo_store:
    TearDownStoreVolume(&Vcb->Store);
    return status;
}

static VOID UninitializeVolume(PVCB Vcb)
{
    TearDownTree(Vcb);
    UninitializeVcbNamespace(Vcb);
    TearDownStoreVolume(&Vcb->Store);
}

static PVCB MakeVolume(ULONGLONG SizeBytes, BOOLEAN NoSecurity)
{
    PVCB vcb = (PVCB)AllocateZeroed(sizeof(VCB), TAG_DIAGNOSTIC_VCB, NonPagedPoolNx);
    if (vcb == NULL)
        return NULL;
    vcb->Signature = VCB_SIGNATURE;
    vcb->NoSecurity = NoSecurity;
    if (!NT_SUCCESS(InitializeVolume(vcb, SizeBytes))) {
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
    UninitializeVolume(Vcb);
    Vcb->Signature = 0;
    VorelData.FreePool(Vcb, TAG_DIAGNOSTIC_VCB);
}

EXTERN_C DECLSPEC_EXPORT const VOREL_NAMESPACE_DIAGNOSTICS VorelNamespaceDiagnostics = {
    sizeof(VOREL_NAMESPACE_DIAGNOSTICS),
    VOREL_NAMESPACE_DIAGNOSTICS_VERSION,
    CreateVolume,
    DeleteVolume,
    InitializeVolume,
    UninitializeVolume,
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
