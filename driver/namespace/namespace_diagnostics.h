/*
 * The namespace's diagnostic entry points. The stand-in build of the driver exports
 * this table as "VorelNamespaceDiagnostics" so that the test suite and the
 * benchmarks can drive nodes, names and walks in the loaded module on a volume
 * control block of their own making, before any volume is mounted.
 */
#pragma once

#define VOREL_NAMESPACE_DIAGNOSTICS_VERSION 2

typedef struct _VOREL_NAMESPACE_DIAGNOSTICS {
    ULONG Size;
    ULONG Version;

    /* A volume control block with its store, tree state and root; deleting it tears the tree down. */
    PVCB (*CreateVolume)(ULONGLONG SizeBytes);
    VOID (*DeleteVolume)(PVCB Vcb);
    /* The same in place, on a VCB a test keeps in a file-system device's extension (admission prepared). */
    NTSTATUS (*InitializeVolume)(PVCB Vcb, ULONGLONG SizeBytes);
    VOID (*UninitializeVolume)(PVCB Vcb);

    NTSTATUS (*AllocateNode)(PVCB Vcb, BOOLEAN IsDirectory, PFCB *Fcb);
    VOID (*ReferenceNode)(PFCB Fcb);
    VOID (*DereferenceNode)(PFCB Fcb);
    NTSTATUS (*MakeLink)(PFCB Fcb, PCUNICODE_STRING Name, PLINK *Link);
    NTSTATUS (*AddLink)(PFCB Directory, PLINK Link);
    VOID (*RemoveLink)(PLINK Link);
    VOID (*ReleaseLink)(PLINK Link);
    PLINK (*LookupChild)(PFCB Directory, PCUNICODE_STRING Name);
    PFCB (*LookupNodeById)(PVCB Vcb, ULONGLONG NodeId);
    BOOLEAN (*IsValidNewName)(PCUNICODE_STRING Name);
    ULONGLONG (*HashName)(PCUNICODE_STRING Name);
    NTSTATUS (*WalkPath)(PFCB Start, PCUNICODE_STRING Path, BOOLEAN WantReparse, BOOLEAN OpensTargetDirectory,
                         PTRAVERSE_CHECK TraverseCheck, PVOID TraverseContext, PWALK_RESULT Result);
    NTSTATUS (*CollectNodes)(PVCB Vcb, PNODE_PREDICATE Predicate, PVOID Context, PFCB **Nodes, PULONG Count);
    VOID (*ReleaseCollectedNodes)(PFCB *Nodes, ULONG Count);
    VOID (*TearDownTree)(PVCB Vcb);
    BOOLEAN (*IsVolumeBusy)(PVCB Vcb, PBOOLEAN NeedsPurge);
    NTSTATUS (*FlushAllFiles)(PVCB Vcb, BOOLEAN Purge);
    VOID (*NoteDataModified)(PFCB Fcb);
    ULONG (*ReportedAttributes)(PFCB Fcb);

    /* Extended attributes and reparse points (the caller holds the node's main resource exclusively). */
    NTSTATUS (*ReplaceEas)(PFCB Fcb, PFILE_FULL_EA_INFORMATION Buffer, ULONG Length, PULONG ErrorOffset);
    VOID (*RemoveEas)(PFCB Fcb);
    NTSTATUS (*SetReparse)(PFCB Fcb, PVOID Buffer, ULONG Length);
    NTSTATUS (*SetReparseChecked)(PFCB Fcb, PVOID Buffer, ULONG Length);
    NTSTATUS (*DeleteReparse)(PFCB Fcb, PVOID Buffer, ULONG Length);
    /* Security: a volume without it, the descriptor store and the access checks. */
    PVCB (*CreateVolumeWithoutSecurity)(ULONGLONG SizeBytes);
    PSECURITY_DESCRIPTOR (*InternDescriptor)(PVCB Vcb, PSECURITY_DESCRIPTOR Descriptor, ULONG Length);
    VOID (*ReleaseDescriptor)(PVCB Vcb, PSECURITY_DESCRIPTOR Descriptor);
    VOID (*FreeNodeDescriptor)(PFCB Fcb);
    VOID (*DropInheritanceCache)(PVCB Vcb);
    NTSTATUS (*AssignNewNodeDescriptor)(PVCB Vcb, PFCB Parent, PFCB Node, PACCESS_STATE AccessState);
    ACCESS_MASK (*MapGenericAccess)(ACCESS_MASK Mask);
    NTSTATUS (*CheckOpenAccess)(PACCESS_CHECK_INPUT Input, PFCB Node, PFCB Parent, ACCESS_MASK Desired,
                                PACCESS_MASK Granted);
    BOOLEAN (*CheckTraverse)(PFCB Node, PACCESS_CHECK_INPUT Input);
    PTRAVERSE_CHECK (*SelectTraverseCheck)(PVCB Vcb, PACCESS_CHECK_INPUT Input);
} VOREL_NAMESPACE_DIAGNOSTICS, *PVOREL_NAMESPACE_DIAGNOSTICS;
