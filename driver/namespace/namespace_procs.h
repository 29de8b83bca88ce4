/*
 * Namespace routines.
 *
 * Unless a routine says otherwise: PASSIVE_LEVEL inside a critical region, and a
 * failure changes nothing.
 */
#pragma once

/* hash_table.cpp: the generic hash table (the caller's lock guards the table). */
NTSTATUS InitializeHashTable(PHASH_TABLE Table, ULONG BucketCount, ULONG Tag);
VOID FreeHashTable(PHASH_TABLE Table);
VOID InsertHashEntry(PHASH_TABLE Table, PHASH_ENTRY Entry);
VOID RemoveHashEntry(PHASH_TABLE Table, PHASH_ENTRY Entry);
PLIST_ENTRY HashBucket(PHASH_TABLE Table, ULONGLONG Hash);

/* node.cpp: node records and their life. */
NTSTATUS InitializeVcbNamespace(PVCB Vcb);
VOID UninitializeVcbNamespace(PVCB Vcb);
NTSTATUS InitializeNodeResources(PFCB Fcb);
VOID InitializeNodeHeader(PFCB Fcb, BOOLEAN IsDirectory);
NTSTATUS AllocateNode(PVCB Vcb, BOOLEAN IsDirectory, PFCB *Fcb);
NTSTATUS CreateRootDirectory(PVCB Vcb);
VOID ReferenceNode(PFCB Fcb);
VOID DereferenceNode(PFCB Fcb);
BOOLEAN ReferenceNodeIfLive(PFCB Fcb);
VOID NoteDataModified(PFCB Fcb);
ULONG ReportedAttributes(PFCB Fcb);
VOID NamespaceInvariantFailed(ULONG Number, PVOID Record);

/* link.cpp: names and directories. */
NTSTATUS MakeLink(PFCB Fcb, PCUNICODE_STRING Name, PLINK *Link);
NTSTATUS AddLink(PFCB Directory, PLINK Link);
VOID RemoveLink(PLINK Link);
NTSTATUS RenameLinkInPlace(PLINK Link, PCUNICODE_STRING NewName);
NTSTATUS DetachLink(PLINK Link, PCUNICODE_STRING NewName);
VOID AttachLink(PLINK Link, PFCB Target);
VOID FinishLinkMove(PLINK Link);
VOID ReleaseLink(PLINK Link);

/* node_id.cpp: the node-id index and the orphan list. */
VOID InsertNodeIdIndex(PFCB Fcb);
VOID RemoveNodeIdIndex(PFCB Fcb);
PFCB LookupNodeById(PVCB Vcb, ULONGLONG NodeId);
VOID InsertOrphan(PFCB Fcb);
VOID RemoveOrphan(PFCB Fcb);

/* names.cpp */
BOOLEAN IsValidNewName(PCUNICODE_STRING Name);
ULONGLONG HashName(PCUNICODE_STRING Name);
PLINK LookupChild(PFCB Directory, PCUNICODE_STRING Name);

/* path_walk.cpp */
NTSTATUS WalkPath(PFCB Start, PCUNICODE_STRING Path, BOOLEAN WantReparse, BOOLEAN OpensTargetDirectory,
                  PTRAVERSE_CHECK TraverseCheck, PVOID TraverseContext, PWALK_RESULT Result);

/* tree_walk.cpp: walks over the whole tree. */
PLINK NextLinkInTree(PVCB Vcb, PLINK Link);
NTSTATUS CollectNodes(PVCB Vcb, PNODE_PREDICATE Predicate, PVOID Context, PFCB **Nodes, PULONG Count);
VOID ReleaseCollectedNodes(PFCB *Nodes, ULONG Count);
VOID TearDownTree(PVCB Vcb);
BOOLEAN IsVolumeBusy(PVCB Vcb, PBOOLEAN NeedsPurge);
NTSTATUS FlushAllFiles(PVCB Vcb, BOOLEAN Purge);

/* security.cpp: the descriptor store, new nodes' descriptors and access checks. */
NTSTATUS InitializeDescriptorStore(PVCB Vcb);
VOID UninitializeDescriptorStore(PVCB Vcb);
PSECURITY_DESCRIPTOR InternDescriptor(PVCB Vcb, PSECURITY_DESCRIPTOR Descriptor, ULONG Length);
VOID ReleaseDescriptor(PVCB Vcb, PSECURITY_DESCRIPTOR Descriptor);
VOID FreeNodeDescriptor(PFCB Fcb);
NTSTATUS CreateRootDescriptor(PFCB Root);
VOID DropInheritanceCache(PVCB Vcb);
NTSTATUS AssignNewNodeDescriptor(PVCB Vcb, PFCB Parent, PFCB Node, PACCESS_STATE AccessState);
ACCESS_MASK MapGenericAccess(ACCESS_MASK Mask);
NTSTATUS CheckOpenAccess(PACCESS_CHECK_INPUT Input, PFCB Node, PFCB Parent, ACCESS_MASK Desired,
                         PACCESS_MASK Granted);
BOOLEAN CheckTraverse(PFCB Node, PACCESS_CHECK_INPUT Input);
BOOLEAN CheckReadAttributes(PFCB Node, PACCESS_CHECK_INPUT Input);
VOID FillAccessCheckInput(PACCESS_CHECK_INPUT Input, PIRP Irp, PVCB Vcb);
PTRAVERSE_CHECK SelectTraverseCheck(PVCB Vcb, PACCESS_CHECK_INPUT Input);
DRIVER_DISPATCH VorelQuerySecurity;
DRIVER_DISPATCH VorelSetSecurity;

/* ea.cpp: the node's extended attributes (main resource exclusive). */
NTSTATUS ReplaceEas(PFCB Fcb, PFILE_FULL_EA_INFORMATION Buffer, ULONG Length, PULONG ErrorOffset);
NTSTATUS MergeEas(PFCB Fcb, PFILE_FULL_EA_INFORMATION Input, ULONG InputLength);
VOID RemoveEas(PFCB Fcb);
DRIVER_DISPATCH VorelQueryEa;
DRIVER_DISPATCH VorelSetEa;

/* reparse.cpp: the node's reparse point (main resource exclusive). */
NTSTATUS SetReparse(PFCB Fcb, PVOID Buffer, ULONG Length);
NTSTATUS SetReparseChecked(PFCB Fcb, PVOID Buffer, ULONG Length);
NTSTATUS DeleteReparse(PFCB Fcb, PVOID Buffer, ULONG Length);
VOID RemoveReparse(PFCB Fcb);
