/*
 * Security descriptors of nodes: the per-volume store that keeps each distinct
 * descriptor once, the descriptor a new volume gives its root, the descriptor of
 * a new node (with a cache of the last inheritance), the access checks of opens
 * and path walks, and the query-security and set-security requests.
 *
 * A node's descriptor is either shared (the store's bytes, one store reference
 * per node) or private (its own "vlSd" block, after a set-security or for the
 * root). The store's resource is a leaf: no other lock is taken while it is held,
 * so token and object references it protects are dropped after its release.
 */
#include "vorel.h"

/*
 * InitializeDescriptorStore: the store and the inheritance cache of a new volume
 * control block, empty and invalid. Returns STATUS_INSUFFICIENT_RESOURCES when the
 * buckets cannot be had.
 */
NTSTATUS InitializeDescriptorStore(PVCB Vcb)
{
    NTSTATUS status = ExInitializeResourceLite(&Vcb->DescriptorResource);
    if (!NT_SUCCESS(status))
        return status;
    status = InitializeHashTable(&Vcb->DescriptorStore, DESCRIPTOR_STORE_BUCKETS, TAG_DESCRIPTOR_STORE);
    if (!NT_SUCCESS(status)) {
        ExDeleteResourceLite(&Vcb->DescriptorResource);
        return status;
    }
    RtlZeroMemory(&Vcb->InheritanceCache, sizeof(Vcb->InheritanceCache));
    return STATUS_SUCCESS;
}

/* UninitializeDescriptorStore: after the tree is torn down; drops the cache first, which holds store references. */
VOID UninitializeDescriptorStore(PVCB Vcb)
{
    DropInheritanceCache(Vcb);
    FreeHashTable(&Vcb->DescriptorStore);
    ExDeleteResourceLite(&Vcb->DescriptorResource);
}

/* FindStoredDescriptor: the entry with these bytes, or NULL. Store resource held, either way. */
static PDESCRIPTOR_ENTRY FindStoredDescriptor(PVCB Vcb, ULONGLONG Hash, const VOID *Descriptor, ULONG Length)
{
    PLIST_ENTRY bucket = HashBucket(&Vcb->DescriptorStore, Hash);
    for (PLIST_ENTRY e = bucket->Flink; e != bucket; e = e->Flink) {
        if (e->Flink->Blink != e)
            RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
        PDESCRIPTOR_ENTRY entry = CONTAINING_RECORD(e, DESCRIPTOR_ENTRY, StoreEntry.Links);
        if (entry->StoreEntry.Hash == Hash && entry->Length == Length &&
            RtlCompareMemory(entry->Bytes, Descriptor, Length) == Length)
            return entry;
    }
    return NULL;
}

/*
 * InternDescriptor: the store's copy of a self-relative descriptor, with one more
 * reference for the caller; NULL when a new entry cannot be allocated. Store
 * resource not held.
 */
PSECURITY_DESCRIPTOR InternDescriptor(PVCB Vcb, PSECURITY_DESCRIPTOR Descriptor, ULONG Length)
{
    ULONGLONG hash = HashBytes(Descriptor, Length);

    ExAcquireResourceSharedLite(&Vcb->DescriptorResource, TRUE);
    PDESCRIPTOR_ENTRY entry = FindStoredDescriptor(Vcb, hash, Descriptor, Length);
    if (entry != NULL)
        InterlockedIncrement(&entry->ReferenceCount);
    ExReleaseResourceLite(&Vcb->DescriptorResource);
    if (entry != NULL)
        return entry->Bytes;

    /* Allocate outside the resource, then search again: another thread may have inserted the same bytes. */
    PDESCRIPTOR_ENTRY fresh = (PDESCRIPTOR_ENTRY)VorelData.AllocatePool(
        FIELD_OFFSET(DESCRIPTOR_ENTRY, Bytes) + Length, TAG_DESCRIPTOR, PagedPool);
    if (fresh == NULL)
        return NULL;
    fresh->StoreEntry.Hash = hash;
    fresh->ReferenceCount = 1;
    fresh->Length = Length;
    RtlCopyMemory(fresh->Bytes, Descriptor, Length);

    ExAcquireResourceExclusiveLite(&Vcb->DescriptorResource, TRUE);
    entry = FindStoredDescriptor(Vcb, hash, Descriptor, Length);
    if (entry != NULL)
        InterlockedIncrement(&entry->ReferenceCount);
    else
        InsertHashEntry(&Vcb->DescriptorStore, &fresh->StoreEntry);
    ExReleaseResourceLite(&Vcb->DescriptorResource);
    if (entry == NULL)
        return fresh->Bytes;
    VorelData.FreePool(fresh, TAG_DESCRIPTOR);
    return entry->Bytes;
}

/* ReferenceStoredDescriptor: one more reference on bytes the caller already holds a reference on. */
static VOID ReferenceStoredDescriptor(PSECURITY_DESCRIPTOR Descriptor)
{
    InterlockedIncrement(&DescriptorEntryFromBytes(Descriptor)->ReferenceCount);
}

/*
 * ReleaseDescriptor: drops one reference on the store's bytes; the last one takes
 * the entry out of the store and frees it. Store resource not held.
 */
VOID ReleaseDescriptor(PVCB Vcb, PSECURITY_DESCRIPTOR Descriptor)
{
    PDESCRIPTOR_ENTRY entry = DescriptorEntryFromBytes(Descriptor);
    ExAcquireResourceExclusiveLite(&Vcb->DescriptorResource, TRUE);
    LONG count = InterlockedDecrement(&entry->ReferenceCount);
    if (count < 0)
        NamespaceInvariantFailed(INVARIANT_DESCRIPTOR_UNDERFLOW, entry);
    if (count == 0)
        RemoveHashEntry(&Vcb->DescriptorStore, &entry->StoreEntry);
    ExReleaseResourceLite(&Vcb->DescriptorResource);
    if (count == 0)
        VorelData.FreePool(entry, TAG_DESCRIPTOR);
}

/*
 * FreeNodeDescriptor: gives back the node's descriptor (a store reference or its
 * own block) and clears its length and flags. The node's main resource is held
 * exclusively, or the node is being torn down.
 */
VOID FreeNodeDescriptor(PFCB Fcb)
{
    if (Fcb->SecurityDescriptor != NULL) {
        if (Fcb->SharedSecurity)
            ReleaseDescriptor(Fcb->Vcb, Fcb->SecurityDescriptor);
        else
            VorelData.FreePool(Fcb->SecurityDescriptor, TAG_DESCRIPTOR);
    }
    Fcb->SecurityDescriptor = NULL;
    Fcb->SecurityLength = 0;
    Fcb->SharedSecurity = FALSE;
    Fcb->DefaultSecurity = FALSE;
}

/*
 * CreateRootDescriptor: the descriptor a volume with security gives its root:
 * owner Administrators, group Local System, a DACL granting all access to
 * Everyone, Local System and Administrators, inherited by files and directories.
 * The root's own block, not in the store; it is the volume default. Returns
 * STATUS_INSUFFICIENT_RESOURCES when the pool is exhausted.
 */
NTSTATUS CreateRootDescriptor(PFCB Root)
{
    PSID grantees[3] = {SeExports->SeWorldSid, SeExports->SeLocalSystemSid, SeExports->SeAliasAdminsSid};
    DECLSPEC_ALIGN(8) UCHAR aclBuffer[sizeof(ACL) + 3 * (sizeof(ACCESS_ALLOWED_ACE) + 16)];
    PACL dacl = (PACL)aclBuffer;
    SECURITY_DESCRIPTOR absolute;

    /* The ACL is exactly as long as its entries: its size is copied into the descriptor. */
    ULONG aclLength = sizeof(ACL);
    for (ULONG i = 0; i < 3; ++i)
        aclLength += FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + RtlLengthSid(grantees[i]);
    NTSTATUS status = RtlCreateAcl(dacl, aclLength, ACL_REVISION);
    for (ULONG i = 0; i < 3 && NT_SUCCESS(status); ++i)
        status = RtlAddAccessAllowedAceEx(dacl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                          FILE_ALL_ACCESS, grantees[i]);
    if (NT_SUCCESS(status))
        status = RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status))
        status = RtlSetOwnerSecurityDescriptor(&absolute, SeExports->SeAliasAdminsSid, FALSE);
    if (NT_SUCCESS(status))
        status = RtlSetGroupSecurityDescriptor(&absolute, SeExports->SeLocalSystemSid, FALSE);
    if (NT_SUCCESS(status))
        status = RtlSetDaclSecurityDescriptor(&absolute, TRUE, dacl, FALSE);
    if (!NT_SUCCESS(status))
        return status;

    ULONG length = 0;
    status = RtlAbsoluteToSelfRelativeSD(&absolute, NULL, &length);
    if (status != STATUS_BUFFER_TOO_SMALL)
        return NT_SUCCESS(status) ? STATUS_INTERNAL_ERROR : status;
    PSECURITY_DESCRIPTOR selfRelative = VorelData.AllocatePool(length, TAG_DESCRIPTOR, PagedPool);
    if (selfRelative == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = RtlAbsoluteToSelfRelativeSD(&absolute, selfRelative, &length);
    if (!NT_SUCCESS(status)) {
        VorelData.FreePool(selfRelative, TAG_DESCRIPTOR);
        return status;
    }
    Root->SecurityDescriptor = selfRelative;
    Root->SecurityLength = length;
    Root->SharedSecurity = FALSE;
    Root->DefaultSecurity = TRUE;
    return STATUS_SUCCESS;
}

/* The file object type's generic mapping. */
static GENERIC_MAPPING FileGenericMapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                                             FILE_ALL_ACCESS};

/*
 * DropInheritanceCache: invalidates the cache and gives back its references. Store
 * resource not held.
 */
VOID DropInheritanceCache(PVCB Vcb)
{
    ExAcquireResourceExclusiveLite(&Vcb->DescriptorResource, TRUE);
    INHERITANCE_CACHE old = Vcb->InheritanceCache;
    RtlZeroMemory(&Vcb->InheritanceCache, sizeof(Vcb->InheritanceCache));
    ExReleaseResourceLite(&Vcb->DescriptorResource);
    if (old.Valid) {
        ReleaseDescriptor(Vcb, old.ParentDescriptor);
        ReleaseDescriptor(Vcb, old.Result);
        ObDereferenceObject(old.Token);
    }
}

/* TokenModifiedId: the token's current modified-id; FALSE when it cannot be queried. */
static BOOLEAN TokenModifiedId(PACCESS_TOKEN Token, PLUID ModifiedId)
{
    PTOKEN_STATISTICS statistics = NULL;
    if (!NT_SUCCESS(SeQueryInformationToken(Token, TokenStatistics, (PVOID *)&statistics)))
        return FALSE;
    *ModifiedId = statistics->ModifiedId;
    ExFreePool(statistics);
    return TRUE;
}

/*
 * UseCachedInheritance: gives Node the cached result when it was computed from
 * Parent's descriptor for this token, unchanged since, and a child of the same
 * kind. Returns FALSE (nothing changed) on a miss.
 */
static BOOLEAN UseCachedInheritance(PVCB Vcb, PFCB Parent, PFCB Node, PACCESS_TOKEN Token, PLUID ModifiedId)
{
    BOOLEAN hit = FALSE;
    ExAcquireResourceSharedLite(&Vcb->DescriptorResource, TRUE);
    PINHERITANCE_CACHE cache = &Vcb->InheritanceCache;
    if (cache->Valid && cache->Token == Token && cache->IsDirectory == Node->IsDirectory &&
        cache->ParentDescriptor == Parent->SecurityDescriptor && RtlEqualLuid(&cache->ModifiedId, ModifiedId)) {
        ReferenceStoredDescriptor(cache->Result);
        Node->SecurityDescriptor = cache->Result;
        Node->SecurityLength = cache->ResultLength;
        Node->SharedSecurity = TRUE;
        Node->DefaultSecurity = cache->DefaultSecurity;
        hit = TRUE;
    }
    ExReleaseResourceLite(&Vcb->DescriptorResource);
    return hit;
}

/* RefreshInheritanceCache: remembers Node's new descriptor as computed from Parent's for Token. */
static VOID RefreshInheritanceCache(PVCB Vcb, PFCB Parent, PFCB Node, PACCESS_TOKEN Token, PLUID ModifiedId)
{
    ExAcquireResourceExclusiveLite(&Vcb->DescriptorResource, TRUE);
    INHERITANCE_CACHE old = Vcb->InheritanceCache;
    PINHERITANCE_CACHE cache = &Vcb->InheritanceCache;
    ReferenceStoredDescriptor(Parent->SecurityDescriptor);
    ReferenceStoredDescriptor(Node->SecurityDescriptor);
    ObReferenceObject(Token);
    cache->ParentDescriptor = Parent->SecurityDescriptor;
    cache->Result = Node->SecurityDescriptor;
    cache->ResultLength = Node->SecurityLength;
    cache->Token = Token;
    cache->ModifiedId = *ModifiedId;
    cache->IsDirectory = Node->IsDirectory;
    cache->DefaultSecurity = Node->DefaultSecurity;
    cache->Valid = TRUE;
    ExReleaseResourceLite(&Vcb->DescriptorResource);
    if (old.Valid) {
        ReleaseDescriptor(Vcb, old.ParentDescriptor);
        ReleaseDescriptor(Vcb, old.Result);
        ObDereferenceObject(old.Token);
    }
}

/*
 * AssignNewNodeDescriptor: the descriptor of a new node, inherited from Parent's
 * for the requester of AccessState (and its explicit descriptor, if any), shared
 * through the store. Many nodes created in one directory by one user cost one
 * computation: the last result is cached. Nothing is done on a volume without
 * security. The caller holds Parent's main resource; Node is not yet visible.
 * Returns the assignment's failure, or STATUS_INSUFFICIENT_RESOURCES; on a
 * failure Node has no descriptor.
 */
NTSTATUS AssignNewNodeDescriptor(PVCB Vcb, PFCB Parent, PFCB Node, PACCESS_STATE AccessState)
{
    if (Vcb->NoSecurity)
        return STATUS_SUCCESS;
    PSECURITY_SUBJECT_CONTEXT subject = &AccessState->SubjectSecurityContext;
    PACCESS_TOKEN token = SeQuerySubjectContextToken(subject);
    PSECURITY_DESCRIPTOR explicitDescriptor = AccessState->SecurityDescriptor;
    LUID modifiedId = {0, 0};
    BOOLEAN cacheable = Parent->SharedSecurity && token != NULL && TokenModifiedId(token, &modifiedId);

    if (cacheable && explicitDescriptor == NULL && UseCachedInheritance(Vcb, Parent, Node, token, &modifiedId))
        return STATUS_SUCCESS;

    PSECURITY_DESCRIPTOR computed = NULL;
    ULONG flags = explicitDescriptor == NULL ? (SEF_DACL_AUTO_INHERIT | SEF_SACL_AUTO_INHERIT) : SEF_SACL_AUTO_INHERIT;
    NTSTATUS status = SeAssignSecurityEx(Parent->SecurityDescriptor, explicitDescriptor, &computed, NULL,
                                         Node->IsDirectory, flags, subject, &FileGenericMapping, PagedPool);
    if (!NT_SUCCESS(status))
        return status;
    ULONG length = RtlLengthSecurityDescriptor(computed);
    PSECURITY_DESCRIPTOR stored = InternDescriptor(Vcb, computed, length);
    SeDeassignSecurity(&computed);
    if (stored == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;
    Node->SecurityDescriptor = stored;
    Node->SecurityLength = length;
    Node->SharedSecurity = TRUE;
    Node->DefaultSecurity = Parent->DefaultSecurity && explicitDescriptor == NULL;

    if (cacheable)
        RefreshInheritanceCache(Vcb, Parent, Node, token, &modifiedId);
    return STATUS_SUCCESS;
}

#define READ_ONLY_DENIED_ACCESS (FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD)
#define BACKUP_ACCESS           0x11200A9u  /* read access, ACCESS_SYSTEM_SECURITY */
#define RESTORE_ACCESS          0x11F0116u  /* write access, DELETE, WRITE_DAC, WRITE_OWNER, ACCESS_SYSTEM_SECURITY */

/*
 * MapGenericAccess: Mask with its generic bits mapped to file rights; a request
 * for MAXIMUM_ALLOWED becomes FILE_ALL_ACCESS and loses the MAXIMUM_ALLOWED bit.
 */
ACCESS_MASK MapGenericAccess(ACCESS_MASK Mask)
{
    if (Mask & MAXIMUM_ALLOWED)
        Mask |= FILE_ALL_ACCESS;
    RtlMapGenericMask(&Mask, &FileGenericMapping);
    return Mask & ~(ACCESS_MASK)MAXIMUM_ALLOWED;
}

/* CheckDescriptor: SeAccessCheck of Desired on a descriptor for the requester (subject context locked). */
static BOOLEAN CheckDescriptor(PSECURITY_DESCRIPTOR Descriptor, PACCESS_CHECK_INPUT Input, ACCESS_MASK Desired,
                              PACCESS_MASK Granted, PNTSTATUS Status)
{
    return SeAccessCheck(Descriptor, Input->SubjectContext, TRUE, Desired, 0, NULL, &FileGenericMapping,
                         Input->AccessMode, Granted, Status);
}

/* HoldsSecurityPrivilege: the requester holds SeSecurityPrivilege (subject context locked). */
static BOOLEAN HoldsSecurityPrivilege(PACCESS_CHECK_INPUT Input)
{
    PRIVILEGE_SET privileges;
    privileges.PrivilegeCount = 1;
    privileges.Control = PRIVILEGE_SET_ALL_NECESSARY;
    privileges.Privilege[0].Luid = SeExports->SeSecurityPrivilege;
    privileges.Privilege[0].Attributes = 0;
    return SePrivilegeCheck(&privileges, Input->SubjectContext, Input->AccessMode);
}

/*
 * ParentYield: the rights on a node that its directory's descriptor lends: DELETE
 * for FILE_DELETE_CHILD, FILE_READ_ATTRIBUTES for FILE_LIST_DIRECTORY, of those in
 * Wants. Each is checked on its own, so one denied does not hide the other.
 */
static ACCESS_MASK ParentYield(PFCB Parent, PACCESS_CHECK_INPUT Input, ACCESS_MASK Wants)
{
    ACCESS_MASK yielded = 0;
    ACCESS_MASK granted;
    NTSTATUS status;
    if ((Wants & FILE_DELETE_CHILD) &&
        CheckDescriptor(Parent->SecurityDescriptor, Input, FILE_DELETE_CHILD, &granted, &status))
        yielded |= DELETE;
    if ((Wants & FILE_LIST_DIRECTORY) &&
        CheckDescriptor(Parent->SecurityDescriptor, Input, FILE_LIST_DIRECTORY, &granted, &status))
        yielded |= FILE_READ_ATTRIBUTES;
    return yielded;
}

/*
 * CheckNodeAndParent: the node's descriptor for Desired, then what the directory
 * lends (see ParentYield) when the node alone refused, or when a maximum request
 * lacks DELETE or FILE_READ_ATTRIBUTES. Subject context locked.
 */
static BOOLEAN CheckNodeAndParent(PACCESS_CHECK_INPUT Input, PFCB Node, PFCB Parent, ACCESS_MASK Desired,
                                  PACCESS_MASK Granted, PNTSTATUS Status)
{
    BOOLEAN maximum = (Desired & MAXIMUM_ALLOWED) != 0;
    BOOLEAN allowed = CheckDescriptor(Node->SecurityDescriptor, Input, Desired, Granted, Status);
    if (Parent == NULL || Parent->SecurityDescriptor == NULL)
        return allowed;

    ACCESS_MASK wants = 0;
    if (Desired & (FILE_READ_ATTRIBUTES | MAXIMUM_ALLOWED))
        wants |= FILE_LIST_DIRECTORY;
    if (Desired & (DELETE | MAXIMUM_ALLOWED))
        wants |= FILE_DELETE_CHILD;
    if (wants == 0)
        return allowed;

    if (allowed) {
        if (maximum && (*Granted & (DELETE | FILE_READ_ATTRIBUTES)) != (DELETE | FILE_READ_ATTRIBUTES))
            *Granted |= ParentYield(Parent, Input, wants);
        return TRUE;
    }

    ACCESS_MASK yielded = ParentYield(Parent, Input, wants);
    if (yielded == 0)
        return FALSE;
    ACCESS_MASK rest = Desired;
    RtlMapGenericMask(&rest, &FileGenericMapping);
    rest &= ~yielded;
    if (rest == 0) {
        *Granted = yielded;
        *Status = STATUS_SUCCESS;
        return TRUE;
    }
    if (!CheckDescriptor(Node->SecurityDescriptor, Input, rest, Granted, Status))
        return FALSE;
    *Granted |= yielded;
    return TRUE;
}

/*
 * CheckOpenAccess: what an open of Node (in directory Parent, NULL for the root)
 * is granted for Desired. A node without a descriptor (a volume without
 * security) grants what is asked. The caller holds Node's and Parent's main resources at
 * least shared. Returns STATUS_SUCCESS with *Granted, or STATUS_PRIVILEGE_NOT_HELD
 * or the access check's failure with nothing granted.
 */
NTSTATUS CheckOpenAccess(PACCESS_CHECK_INPUT Input, PFCB Node, PFCB Parent, ACCESS_MASK Desired,
                         PACCESS_MASK Granted)
{
    *Granted = 0;
    if (!Input->CheckRequired || Node->SecurityDescriptor == NULL) {
        *Granted = MapGenericAccess(Desired);
        return STATUS_SUCCESS;
    }

    BOOLEAN backupOpen = Input->BackupIntent && (Input->BackupPrivilege || Input->RestorePrivilege);
    BOOLEAN maximum = (Desired & MAXIMUM_ALLOWED) != 0;
    BOOLEAN readOnlyFile = !Node->IsDirectory && (ReadNoFence(&Node->Attributes) & FILE_ATTRIBUTE_READONLY) != 0;
    ACCESS_MASK securityBit = 0;
    ACCESS_MASK granted = 0;
    NTSTATUS status = STATUS_SUCCESS;

    SeLockSubjectContext(Input->SubjectContext);
    if (Desired & ACCESS_SYSTEM_SECURITY) {
        if (!backupOpen && !HoldsSecurityPrivilege(Input)) {
            status = STATUS_PRIVILEGE_NOT_HELD;
            goto end;
        }
        securityBit = ACCESS_SYSTEM_SECURITY;
        Desired &= ~(ACCESS_MASK)ACCESS_SYSTEM_SECURITY;
    }

    /* Nodes still under the volume default grant ordinary users everything without an evaluation. */
    if (Node->DefaultSecurity && Input->OrdinaryToken) {
        granted = MapGenericAccess(Desired);
        if (maximum && readOnlyFile)
            granted &= ~(ACCESS_MASK)READ_ONLY_DENIED_ACCESS;
        goto end;
    }

    if (!CheckNodeAndParent(Input, Node, Parent, Desired, &granted, &status)) {
        ACCESS_MASK allowedSet = Input->BackupPrivilege && Input->RestorePrivilege ? BACKUP_ACCESS | RESTORE_ACCESS
                                 : Input->BackupPrivilege                          ? BACKUP_ACCESS
                                                                                   : RESTORE_ACCESS;
        ACCESS_MASK mapped = MapGenericAccess(Desired);
        if (!backupOpen || (mapped & ~allowedSet) != 0) {
            granted = 0;
            goto end;
        }
        granted = mapped;
        status = STATUS_SUCCESS;
    }

    if (Input->BackupIntent) {
        ACCESS_MASK extra = (Input->BackupPrivilege ? BACKUP_ACCESS : 0) | (Input->RestorePrivilege ? RESTORE_ACCESS : 0);
        if (!maximum)
            extra &= MapGenericAccess(Desired);
        granted |= extra;
    }
    if (maximum && readOnlyFile)
        granted &= ~(ACCESS_MASK)READ_ONLY_DENIED_ACCESS;

end:
    SeUnlockSubjectContext(Input->SubjectContext);
    if (!NT_SUCCESS(status))
        return status;
    *Granted = granted | securityBit;
    return STATUS_SUCCESS;
}

/*
 * DeniesRight: TRUE when Node's own descriptor refuses the requester Right. A node
 * still under the volume default refuses an ordinary user nothing, and a node
 * without a descriptor refuses no one. The caller holds Node's main resource shared.
 */
static BOOLEAN DeniesRight(PFCB Node, PACCESS_CHECK_INPUT Input, ACCESS_MASK Right)
{
    if (Node->DefaultSecurity && Input->OrdinaryToken)
        return FALSE;
    if (Node->SecurityDescriptor == NULL)
        return FALSE;
    ACCESS_MASK granted;
    NTSTATUS status;
    SeLockSubjectContext(Input->SubjectContext);
    BOOLEAN allowed = CheckDescriptor(Node->SecurityDescriptor, Input, Right, &granted, &status);
    SeUnlockSubjectContext(Input->SubjectContext);
    return !allowed;
}

/*
 * CheckTraverse: TRUE when the requester may not pass through directory Node. The
 * caller holds Node's main resource shared.
 */
BOOLEAN CheckTraverse(PFCB Node, PACCESS_CHECK_INPUT Input)
{
    return DeniesRight(Node, Input, FILE_TRAVERSE);
}

/*
 * CheckReadAttributes: TRUE when the requester may read Node's attributes on the
 * node's own descriptor (what its directory would lend is not asked). Always TRUE
 * when the request needs no check. The caller holds Node's main resource shared.
 */
BOOLEAN CheckReadAttributes(PFCB Node, PACCESS_CHECK_INPUT Input)
{
    return !Input->CheckRequired || !DeniesRight(Node, Input, FILE_READ_ATTRIBUTES);
}

#define RESTRICTED_TOKEN_FLAGS (TOKEN_WRITE_RESTRICTED | TOKEN_IS_RESTRICTED | TOKEN_LOWBOX)

/*
 * FillAccessCheckInput: what an open's access checks know of its requester, from
 * the create request Irp on Vcb (its stack location carries the security context).
 */
VOID FillAccessCheckInput(PACCESS_CHECK_INPUT Input, PIRP Irp, PVCB Vcb)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    PACCESS_STATE accessState = irpSp->Parameters.Create.SecurityContext->AccessState;
    RtlZeroMemory(Input, sizeof(*Input));
    Input->AccessState = accessState;
    Input->SubjectContext = &accessState->SubjectSecurityContext;
    Input->AccessMode = (irpSp->Flags & SL_FORCE_ACCESS_CHECK) ? (KPROCESSOR_MODE)UserMode : Irp->RequestorMode;
    Input->CheckRequired = !Vcb->NoSecurity && Input->AccessMode == UserMode;
    Input->TraversePrivilege = (accessState->Flags & TOKEN_HAS_TRAVERSE_PRIVILEGE) != 0;
    Input->BackupPrivilege = (accessState->Flags & TOKEN_HAS_BACKUP_PRIVILEGE) != 0;
    Input->RestorePrivilege = (accessState->Flags & TOKEN_HAS_RESTORE_PRIVILEGE) != 0;
    Input->OrdinaryToken = (accessState->Flags & RESTRICTED_TOKEN_FLAGS) == 0;
    Input->BackupIntent = (irpSp->Parameters.Create.Options & FILE_OPEN_FOR_BACKUP_INTENT) != 0;
    Input->OpenTargetDirectory = (irpSp->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
}

/* TraverseCheckCallback: CheckTraverse in the shape WalkPath asks for each directory it passes. */
static BOOLEAN TraverseCheckCallback(PFCB Directory, PVOID Context)
{
    return CheckTraverse(Directory, (PACCESS_CHECK_INPUT)Context);
}

/*
 * SelectTraverseCheck: the traverse check WalkPath is to make for a requester, or
 * NULL when none applies (a volume without security, a kernel-mode request, a
 * holder of the traverse privilege). The input is WalkPath's TraverseContext.
 */
PTRAVERSE_CHECK SelectTraverseCheck(PVCB Vcb, PACCESS_CHECK_INPUT Input)
{
    if (Vcb->NoSecurity || Input->AccessMode != UserMode || Input->TraversePrivilege)
        return NULL;
    return TraverseCheckCallback;
}

/*
 * SecurityTarget: the node a security request is about: the file object's node,
 * or the root for an open of the volume itself (*VolumeOpen). Returns
 * STATUS_INVALID_DEVICE_REQUEST on a volume without security and
 * STATUS_INVALID_PARAMETER when the context is neither (a foreign or dead record).
 */
static NTSTATUS SecurityTarget(PIO_STACK_LOCATION IrpSp, PVCB Vcb, PBOOLEAN VolumeOpen, PFCB *Fcb)
{
    *VolumeOpen = FALSE;
    *Fcb = NULL;
    if (Vcb->NoSecurity)
        return STATUS_INVALID_DEVICE_REQUEST;
    PFILE_OBJECT fileObject = IrpSp->FileObject;
    if (fileObject == NULL)
        return STATUS_INVALID_PARAMETER;
    if (fileObject->FsContext == Vcb) {
        *VolumeOpen = TRUE;
        *Fcb = Vcb->RootFcb;
        return STATUS_SUCCESS;
    }
    PFCB fcb = (PFCB)fileObject->FsContext;
    if (fcb == NULL || fcb->Signature != FCB_SIGNATURE || fcb->Vcb != Vcb)
        return STATUS_INVALID_PARAMETER;
    *Fcb = fcb;
    return STATUS_SUCCESS;
}

/* HandleContext: the handle's context control block, or NULL when it has none. */
static PCCB HandleContext(PFILE_OBJECT FileObject)
{
    PCCB ccb = (PCCB)FileObject->FsContext2;
    if (ccb == NULL || ccb->Signature != CCB_SIGNATURE)
        return NULL;
    return ccb;
}

/*
 * CheckHandleRights: a user-mode request's handle must hold Needed, and touching
 * the SACL needs the security privilege besides.
 */
static NTSTATUS CheckHandleRights(PCCB Ccb, ACCESS_MASK Needed, SECURITY_INFORMATION Information)
{
    if ((Ccb->GrantedAccess & Needed) != Needed)
        return STATUS_ACCESS_DENIED;
    if ((Information & SACL_SECURITY_INFORMATION) && !SeSinglePrivilegeCheck(SeExports->SeSecurityPrivilege, UserMode))
        return STATUS_PRIVILEGE_NOT_HELD;
    return STATUS_SUCCESS;
}

/*
 * SecurityOutputBuffer: where a query writes: the request's MDL mapped to system
 * space, or the caller's own buffer, probed for writing when the caller is in user
 * mode (the I/O manager hands a user's buffer over as it is; the write into it is
 * guarded as well, since the probe cannot keep the pages there).
 */
static NTSTATUS SecurityOutputBuffer(PIRP Irp, ULONG Length, PVOID *Buffer)
{
    *Buffer = NULL;
    if (Irp->MdlAddress != NULL) {
        *Buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute);
        return *Buffer != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (Length != 0 && Irp->RequestorMode == UserMode)
        GUARDED_CALL(status, ProbeForWrite(Irp->UserBuffer, Length, sizeof(UCHAR)));
    if (NT_SUCCESS(status))
        *Buffer = Irp->UserBuffer;
    return status;
}

/* QuerySecurityCommon: the work of IRP_MJ_QUERY_SECURITY on an admitted volume. Sets Information. */
static NTSTATUS QuerySecurityCommon(PIRP Irp, PVCB Vcb)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    SECURITY_INFORMATION information = irpSp->Parameters.QuerySecurity.SecurityInformation;
    ULONG length = irpSp->Parameters.QuerySecurity.Length;
    BOOLEAN volumeOpen;
    PFCB fcb;
    NTSTATUS status = SecurityTarget(irpSp, Vcb, &volumeOpen, &fcb);
    if (!NT_SUCCESS(status))
        return status;

    /* Opens of the volume carry no handle context; the I/O manager checked their handle. */
    PCCB ccb = HandleContext(irpSp->FileObject);
    if (Irp->RequestorMode == UserMode && ccb != NULL) {
        ACCESS_MASK needed = READ_CONTROL;
        if (information & SACL_SECURITY_INFORMATION)
            needed |= ACCESS_SYSTEM_SECURITY;
        status = CheckHandleRights(ccb, needed, information);
        if (!NT_SUCCESS(status))
            return status;
    }
    PVOID buffer;
    status = SecurityOutputBuffer(Irp, length, &buffer);
    if (!NT_SUCCESS(status))
        return status;

    ExAcquireResourceSharedLite(&fcb->MainResource, TRUE);
    if (fcb->SecurityDescriptor == NULL) {
        status = STATUS_NO_SECURITY_ON_OBJECT;
    } else {
        PSECURITY_DESCRIPTOR descriptor = fcb->SecurityDescriptor;
        GUARDED_CALL(status, status = SeQuerySecurityDescriptorInfo(&information, (PSECURITY_DESCRIPTOR)buffer,
                                                                    &length, &descriptor));
        if (status == STATUS_BUFFER_TOO_SMALL)
            status = STATUS_BUFFER_OVERFLOW;
        if (status == STATUS_SUCCESS || status == STATUS_BUFFER_OVERFLOW)
            Irp->IoStatus.Information = length;
    }
    ExReleaseResourceLite(&fcb->MainResource);
    return status;
}

/*
 * CheckNewOwner: without the restore privilege a user may give a node only
 * itself or one of its owner groups as owner. Returns STATUS_INVALID_OWNER
 * otherwise.
 */
static NTSTATUS CheckNewOwner(PSECURITY_DESCRIPTOR Modification)
{
    PSID owner = NULL;
    BOOLEAN defaulted;
    NTSTATUS status = RtlGetOwnerSecurityDescriptor(Modification, &owner, &defaulted);
    if (!NT_SUCCESS(status) || owner == NULL)
        return STATUS_INVALID_OWNER;
    if (SeSinglePrivilegeCheck(SeExports->SeRestorePrivilege, UserMode))
        return STATUS_SUCCESS;

    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    PACCESS_TOKEN token = SeQuerySubjectContextToken(&subject);
    PTOKEN_USER user = NULL;
    PTOKEN_GROUPS groups = NULL;
    status = STATUS_INVALID_OWNER;
    if (NT_SUCCESS(SeQueryInformationToken(token, TokenUser, (PVOID *)&user)) && RtlEqualSid(user->User.Sid, owner))
        status = STATUS_SUCCESS;
    if (status != STATUS_SUCCESS && NT_SUCCESS(SeQueryInformationToken(token, TokenGroups, (PVOID *)&groups))) {
        for (ULONG i = 0; i < groups->GroupCount; ++i) {
            if ((groups->Groups[i].Attributes & SE_GROUP_OWNER) && RtlEqualSid(groups->Groups[i].Sid, owner)) {
                status = STATUS_SUCCESS;
                break;
            }
        }
    }
    if (groups != NULL)
        ExFreePool(groups);
    if (user != NULL)
        ExFreePool(user);
    SeReleaseSubjectContext(&subject);
    return status;
}

/*
 * ReplaceNodeDescriptor: merges Modification into the node's descriptor as a new
 * private one ("vlSd"); the old one goes back to the store or the pool. Main
 * resource exclusive. On a failure the node keeps its descriptor.
 */
static NTSTATUS ReplaceNodeDescriptor(PFCB Fcb, SECURITY_INFORMATION Information, PSECURITY_DESCRIPTOR Modification)
{
    PSECURITY_DESCRIPTOR merged = Fcb->SecurityDescriptor;
    NTSTATUS status = SeSetSecurityDescriptorInfo(NULL, &Information, Modification, &merged, PagedPool,
                                                  &FileGenericMapping);
    if (!NT_SUCCESS(status))
        return status;
    ULONG length = RtlLengthSecurityDescriptor(merged);
    PSECURITY_DESCRIPTOR own = VorelData.AllocatePool(length, TAG_DESCRIPTOR, PagedPool);
    if (own != NULL)
        RtlCopyMemory(own, merged, length);
    ExFreePool(merged);
    if (own == NULL)
        return STATUS_INSUFFICIENT_RESOURCES;

    FreeNodeDescriptor(Fcb);
    Fcb->SecurityDescriptor = own;
    Fcb->SecurityLength = length;
    KeQuerySystemTime(&Fcb->ChangeTime);
    return STATUS_SUCCESS;
}

/* SetSecurityCommon: the work of IRP_MJ_SET_SECURITY on an admitted volume (Information stays 0). */
static NTSTATUS SetSecurityCommon(PIRP Irp, PVCB Vcb)
{
    PIO_STACK_LOCATION irpSp = IoGetCurrentIrpStackLocation(Irp);
    SECURITY_INFORMATION information = irpSp->Parameters.SetSecurity.SecurityInformation;
    PSECURITY_DESCRIPTOR modification = irpSp->Parameters.SetSecurity.SecurityDescriptor;
    BOOLEAN volumeOpen;
    PFCB fcb;
    NTSTATUS status = SecurityTarget(irpSp, Vcb, &volumeOpen, &fcb);
    if (!NT_SUCCESS(status))
        return status;

    if (Irp->RequestorMode == UserMode) {
        PCCB ccb = HandleContext(irpSp->FileObject);
        if (volumeOpen || ccb == NULL)
            return STATUS_ACCESS_DENIED;
        ACCESS_MASK needed = 0;
        if (information & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION))
            needed |= WRITE_OWNER;
        if (information & DACL_SECURITY_INFORMATION)
            needed |= WRITE_DAC;
        if (information & SACL_SECURITY_INFORMATION)
            needed |= ACCESS_SYSTEM_SECURITY;
        status = CheckHandleRights(ccb, needed, information);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (modification == NULL || !RtlValidSecurityDescriptor(modification))
        return STATUS_INVALID_SECURITY_DESCR;
    if (Irp->RequestorMode == UserMode && (information & OWNER_SECURITY_INFORMATION)) {
        status = CheckNewOwner(modification);
        if (!NT_SUCCESS(status))
            return status;
    }

    ExAcquireResourceExclusiveLite(&fcb->MainResource, TRUE);
    status = fcb->SecurityDescriptor == NULL ? STATUS_NO_SECURITY_ON_OBJECT
                                                      : ReplaceNodeDescriptor(fcb, information, modification);
    ExReleaseResourceLite(&fcb->MainResource);
    return status;
}

/* VorelQuerySecurity: IRP_MJ_QUERY_SECURITY. PASSIVE_LEVEL. */
NTSTATUS NTAPI VorelQuerySecurity(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeRequest(DeviceObject, Irp, QuerySecurityCommon);
}

/* VorelSetSecurity: IRP_MJ_SET_SECURITY. PASSIVE_LEVEL. */
NTSTATUS NTAPI VorelSetSecurity(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return DispatchVolumeRequest(DeviceObject, Irp, SetSecurityCommon);
}
