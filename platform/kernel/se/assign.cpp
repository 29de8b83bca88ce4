/*
 * Descriptors of new objects (SeAssignSecurity, SeAssignSecurityEx, SeDeassignSecurity)
 * and changes to an object's descriptor (SeSetSecurityDescriptorInfo and its Ex form).
 *
 * A new descriptor is computed part by part:
 *   owner  the explicit descriptor's owner (the token must be able to own it: its user, a group
 *          with SE_GROUP_OWNER, or SeRestorePrivilege enabled; SEF_AVOID_OWNER_CHECK skips this,
 *          else STATUS_INVALID_OWNER); without one, the parent's owner under
 *          SEF_DEFAULT_OWNER_FROM_PARENT, else the token's default owner.
 *   group  the explicit group; else the parent's under SEF_DEFAULT_GROUP_FROM_PARENT; else the
 *          token's primary group.
 *   DACL   an explicit DACL that is not defaulted is used (a NULL DACL stays NULL). With
 *          SEF_DACL_AUTO_INHERIT and no SE_DACL_PROTECTED its ACEs marked inherited are dropped, the
 *          parent's inheritable ACEs follow, and the result is SE_DACL_AUTO_INHERITED; a protected
 *          one keeps SE_DACL_PROTECTED and inherits nothing. Otherwise, when the parent's DACL has
 *          anything the child inherits, the inherited ACL is used (SE_DACL_AUTO_INHERITED under
 *          SEF_DACL_AUTO_INHERIT), then a defaulted explicit DACL (kept SE_DACL_DEFAULTED), then the
 *          token's default DACL; with none of these the descriptor has no DACL.
 *   SACL   the same with the SACL bits and SEF_SACL_AUTO_INHERIT; a token has no default SACL. An
 *          explicit SACL needs SeSecurityPrivilege enabled unless SEF_AVOID_PRIVILEGE_CHECK
 *          (STATUS_PRIVILEGE_NOT_HELD).
 * Object types are not modelled: ObjectType is accepted and does not take part, so no
 * object-specific ACE is ever inherited for it and SEF_DEFAULT_DESCRIPTOR_FOR_OBJECT, which sets the
 * explicit descriptor aside only when such ACEs are, changes nothing.
 *
 * The result is self-relative in the fixed order of descriptor.cpp (header, SACL, DACL, owner,
 * group), with exactly sized ACLs and zeroed padding, so equal inputs give equal bytes: the driver
 * interns descriptors by their bytes.
 */
#include "se/se_private.h"

#include "ke/dispatcher.h"

#include <km/pool.h>

#include <cstring>
#include <optional>

namespace se {
namespace {

constexpr ULONG kAssignedTag = POOL_TAG('S', 'e', 'A', 's');

/* The control bits and flags of one kind of ACL. */
struct AclKind {
    SECURITY_DESCRIPTOR_CONTROL present, defaulted, autoInherited, isProtected;
    ULONG autoInheritFlag;
    SECURITY_INFORMATION protect, unprotect;
    PACL DescriptorParts::*part;
};
constexpr AclKind kDacl = {SE_DACL_PRESENT,       SE_DACL_DEFAULTED,  SE_DACL_AUTO_INHERITED,
                           SE_DACL_PROTECTED,     SEF_DACL_AUTO_INHERIT, PROTECTED_DACL_SECURITY_INFORMATION,
                           UNPROTECTED_DACL_SECURITY_INFORMATION, &DescriptorParts::dacl};
constexpr AclKind kSacl = {SE_SACL_PRESENT,       SE_SACL_DEFAULTED,  SE_SACL_AUTO_INHERITED,
                           SE_SACL_PROTECTED,     SEF_SACL_AUTO_INHERIT, PROTECTED_SACL_SECURITY_INFORMATION,
                           UNPROTECTED_SACL_SECURITY_INFORMATION, &DescriptorParts::sacl};

SECURITY_DESCRIPTOR_CONTROL AclBits(const AclKind &kind)
{
    return kind.present | kind.defaulted | kind.autoInherited | kind.isProtected;
}

/* One ACL of a descriptor being built: absent, NULL (present without an ACL) or these bytes. */
struct AclResult {
    SECURITY_DESCRIPTOR_CONTROL control = 0; /* this kind's bits only */
    std::optional<std::vector<UCHAR>> bytes;

    PACL Acl() const { return bytes ? (PACL)bytes->data() : nullptr; }
};

/* The parts of a descriptor being built, owned here. */
struct Draft {
    SECURITY_DESCRIPTOR_CONTROL control = 0; /* owner and group defaulted bits */
    std::vector<UCHAR> owner, group;
    AclResult dacl, sacl;
};

NTSTATUS Built(const AclBuilder &builder, std::optional<std::vector<UCHAR>> *bytes)
{
    std::vector<UCHAR> acl = builder.Build();
    if (acl.empty())
        return STATUS_BAD_INHERITANCE_ACL; /* the ACEs outgrew an ACL */
    *bytes = std::move(acl);
    return STATUS_SUCCESS;
}

std::vector<UCHAR> SidCopy(PSID sid)
{
    return std::vector<UCHAR>((PUCHAR)sid, (PUCHAR)sid + RtlLengthSid(sid));
}

/* Copies an ACL (null = a NULL ACL) with its explicit ACEs mapped. */
NTSTATUS CopyExplicit(PACL acl, const GENERIC_MAPPING *mapping, AclResult *out)
{
    if (acl == nullptr)
        return STATUS_SUCCESS;
    AclBuilder builder;
    AppendExplicitAces(acl, mapping, false, &builder);
    return Built(builder, &out->bytes);
}

/* The DACL or SACL of a new descriptor (see the header comment). */
NTSTATUS AssignAcl(const AclKind &kind, const DescriptorParts *parent, const DescriptorParts *creator,
                   const InheritContext &context, PACL tokenDefault, AclResult *out)
{
    bool creatorPresent = creator != nullptr && (creator->control & kind.present);
    bool creatorDefaulted = creatorPresent && (creator->control & kind.defaulted);
    bool isProtected = creatorPresent && !creatorDefaulted && (creator->control & kind.isProtected);

    AclBuilder inherited;
    bool inheritable = false;
    if (parent != nullptr && !isProtected && (parent->control & kind.present) && parent->*kind.part != nullptr)
        inheritable = InheritAces(parent->*kind.part, context, &inherited);

    if (creatorPresent && !creatorDefaulted) {
        PACL acl = creator->*kind.part;
        bool merge = context.autoInherit && !isProtected && acl != nullptr;
        out->control = kind.present | (isProtected ? kind.isProtected : 0) | (merge ? kind.autoInherited : 0);
        if (!merge)
            return CopyExplicit(acl, context.mapping, out);
        AclBuilder builder;
        AppendExplicitAces(acl, context.mapping, true, &builder);
        builder.AppendAll(inherited);
        return Built(builder, &out->bytes);
    }
    if (inheritable) {
        out->control = kind.present | (context.autoInherit ? kind.autoInherited : 0);
        return Built(inherited, &out->bytes);
    }
    if (creatorPresent) {
        out->control = kind.present | kind.defaulted;
        return CopyExplicit(creator->*kind.part, context.mapping, out);
    }
    if (tokenDefault != nullptr) {
        out->control = kind.present;
        return CopyExplicit(tokenDefault, context.mapping, out);
    }
    return STATUS_SUCCESS;
}

/* Lays a draft out as a self-relative descriptor in pool memory. */
NTSTATUS Emit(const Draft &draft, POOL_TYPE pool, PSECURITY_DESCRIPTOR *result)
{
    DescriptorParts parts{};
    parts.control = draft.control | draft.dacl.control | draft.sacl.control;
    parts.owner = draft.owner.empty() ? nullptr : (PSID)draft.owner.data();
    parts.group = draft.group.empty() ? nullptr : (PSID)draft.group.data();
    parts.dacl = draft.dacl.Acl();
    parts.sacl = draft.sacl.Acl();
    ULONG length = SelfRelativeLength(parts);
    PVOID buffer = ExAllocatePoolWithTag(pool, length, kAssignedTag);
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    WriteSelfRelative(parts, buffer);
    *result = buffer;
    return STATUS_SUCCESS;
}

bool RevisionKnown(PSECURITY_DESCRIPTOR descriptor)
{
    return descriptor == nullptr || ((PISECURITY_DESCRIPTOR)descriptor)->Revision == SECURITY_DESCRIPTOR_REVISION;
}

/* Everything of the new descriptor that depends on the token, with its lock held shared. */
NTSTATUS DraftLocked(const Token *token, const DescriptorParts *parent, const DescriptorParts *creator,
                     bool container, ULONG flags, const GENERIC_MAPPING *mapping, Draft *draft)
{
    if (creator != nullptr && creator->owner != nullptr) {
        if (!(flags & SEF_AVOID_OWNER_CHECK) && !SidMayOwn(token, creator->owner) &&
            !PrivilegeEnabled(token, SE_RESTORE_PRIVILEGE))
            return STATUS_INVALID_OWNER;
        draft->owner = SidCopy(creator->owner);
    } else if ((flags & SEF_DEFAULT_OWNER_FROM_PARENT) && parent != nullptr && parent->owner != nullptr) {
        draft->owner = SidCopy(parent->owner);
    } else {
        draft->owner = SidCopy(token->userAndGroups[token->defaultOwnerIndex].Sid);
    }
    if (creator != nullptr && creator->group != nullptr)
        draft->group = SidCopy(creator->group);
    else if ((flags & SEF_DEFAULT_GROUP_FROM_PARENT) && parent != nullptr && parent->group != nullptr)
        draft->group = SidCopy(parent->group);
    else
        draft->group = SidCopy(token->primaryGroup);

    bool creatorSacl = creator != nullptr && (creator->control & SE_SACL_PRESENT) &&
                       !(creator->control & SE_SACL_DEFAULTED);
    if (creatorSacl && !(flags & SEF_AVOID_PRIVILEGE_CHECK) && !PrivilegeEnabled(token, SE_SECURITY_PRIVILEGE))
        return STATUS_PRIVILEGE_NOT_HELD;

    InheritContext context{container, (flags & SEF_DACL_AUTO_INHERIT) != 0, (PSID)draft->owner.data(),
                           (PSID)draft->group.data(), mapping};
    NTSTATUS status = AssignAcl(kDacl, parent, creator, context, token->defaultDacl, &draft->dacl);
    if (!NT_SUCCESS(status))
        return status;
    context.autoInherit = (flags & SEF_SACL_AUTO_INHERIT) != 0;
    return AssignAcl(kSacl, parent, creator, context, nullptr, &draft->sacl);
}

/* Appends an ACL's ACEs as explicit ones (see AppendExplicitAces), those the label filter takes. */
void AppendSetAces(PACL acl, const GENERIC_MAPPING *mapping, bool dropInherited, LabelAces labels, AclBuilder *out)
{
    if (acl == nullptr)
        return;
    AclBuilder all;
    AppendExplicitAces(acl, mapping, dropInherited, &all);
    std::vector<UCHAR> bytes = all.Build();
    if (!bytes.empty())
        AppendSelectedAces((PACL)bytes.data(), labels, false, out);
}

/* Keeps an ACL of the object's descriptor as it is. */
void KeepAcl(const AclKind &kind, const DescriptorParts &object, AclResult *out)
{
    out->control = object.control & AclBits(kind);
    PACL acl = object.*kind.part;
    if ((object.control & kind.present) && acl != nullptr)
        out->bytes = std::vector<UCHAR>((PUCHAR)acl, (PUCHAR)acl + acl->AclSize);
}

/* The ACL of one kind after a set. setAudit: the set names this ACL; for a SACL, setLabels: it names
 * its label ACEs (LABEL_SECURITY_INFORMATION governs those alone). Named nowhere, it stays as it is. */
NTSTATUS SetAcl(const AclKind &kind, const DescriptorParts &object, const DescriptorParts &modification,
                SECURITY_INFORMATION information, ULONG flags, bool setAudit, bool setLabels,
                const GENERIC_MAPPING *mapping, AclResult *out)
{
    if (!setAudit && !setLabels) {
        KeepAcl(kind, object, out);
        return STATUS_SUCCESS;
    }
    bool isSacl = &kind == &kSacl;
    const DescriptorParts &source = setAudit ? modification : object;
    bool isProtected = (source.control & kind.isProtected) != 0;
    if (setAudit && (information & kind.protect))
        isProtected = true;
    if (setAudit && (information & kind.unprotect))
        isProtected = false;
    PACL auditSource = setAudit ? modification.*kind.part : object.*kind.part;
    bool present = (source.control & kind.present) != 0 || (setAudit && !isSacl);

    if (present && auditSource == nullptr && !(isSacl && setLabels != setAudit)) {
        out->control = kind.present | (isProtected ? kind.isProtected : 0);
        return STATUS_SUCCESS; /* a NULL ACL */
    }
    bool merge = setAudit && (flags & kind.autoInheritFlag) && !isProtected;
    AclBuilder builder;
    LabelAces auditLabels = isSacl && setAudit != setLabels ? LabelAces::Without : LabelAces::All;
    AppendSetAces(auditSource, mapping, merge, auditLabels, &builder);
    if (merge && object.*kind.part != nullptr)
        AppendSelectedAces(object.*kind.part, auditLabels, true, &builder);
    if (auditLabels != LabelAces::All) {
        PACL labelSource = setLabels ? modification.sacl : object.sacl;
        AppendSetAces(labelSource, mapping, false, LabelAces::Only, &builder);
    }
    SECURITY_DESCRIPTOR_CONTROL autoInherited = merge ? kind.autoInherited : (source.control & kind.autoInherited);
    if (!present && builder.Count() == 0)
        return STATUS_SUCCESS;
    out->control = kind.present | (isProtected ? kind.isProtected : 0) | autoInherited;
    return Built(builder, &out->bytes);
}

} // namespace
} // namespace se

extern "C" {

NTKERNELAPI NTSTATUS NTAPI SeAssignSecurityEx(PSECURITY_DESCRIPTOR ParentDescriptor,
                                              PSECURITY_DESCRIPTOR ExplicitDescriptor,
                                              PSECURITY_DESCRIPTOR *NewDescriptor, GUID *ObjectType,
                                              BOOLEAN IsDirectoryObject, ULONG AutoInheritFlags,
                                              PSECURITY_SUBJECT_CONTEXT SubjectContext,
                                              PGENERIC_MAPPING GenericMapping, POOL_TYPE PoolType)
{
    (void)ObjectType;
    (void)PoolType; /* always paged pool, as documented */
    ke::CheckIrql((const void *)&SeAssignSecurityEx, PASSIVE_LEVEL);
    *NewDescriptor = nullptr;
    if (!se::RevisionKnown(ParentDescriptor) || !se::RevisionKnown(ExplicitDescriptor))
        return STATUS_UNKNOWN_REVISION;
    se::DescriptorParts parent{}, creator{};
    if (ParentDescriptor != nullptr)
        se::ReadDescriptor(ParentDescriptor, &parent);
    if (ExplicitDescriptor != nullptr)
        se::ReadDescriptor(ExplicitDescriptor, &creator);

    se::Token *token = se::EffectiveToken(SubjectContext);
    se::Draft draft;
    NTSTATUS status;
    {
        se::SharedTokenGuard guard(token);
        status = se::DraftLocked(token, ParentDescriptor != nullptr ? &parent : nullptr,
                                 ExplicitDescriptor != nullptr ? &creator : nullptr, IsDirectoryObject != FALSE,
                                 AutoInheritFlags, GenericMapping, &draft);
    }
    if (!NT_SUCCESS(status))
        return status;
    return se::Emit(draft, PagedPool, NewDescriptor);
}

NTKERNELAPI NTSTATUS NTAPI SeAssignSecurity(PSECURITY_DESCRIPTOR ParentDescriptor,
                                            PSECURITY_DESCRIPTOR ExplicitDescriptor,
                                            PSECURITY_DESCRIPTOR *NewDescriptor, BOOLEAN IsDirectoryObject,
                                            PSECURITY_SUBJECT_CONTEXT SubjectContext,
                                            PGENERIC_MAPPING GenericMapping, POOL_TYPE PoolType)
{
    return SeAssignSecurityEx(ParentDescriptor, ExplicitDescriptor, NewDescriptor, nullptr, IsDirectoryObject, 0,
                              SubjectContext, GenericMapping, PoolType);
}

NTKERNELAPI NTSTATUS NTAPI SeDeassignSecurity(PSECURITY_DESCRIPTOR *SecurityDescriptor)
{
    if (*SecurityDescriptor != nullptr) {
        ExFreePoolWithTag(*SecurityDescriptor, se::kAssignedTag);
        *SecurityDescriptor = nullptr;
    }
    return STATUS_SUCCESS;
}

/*
 * A new self-relative descriptor (from PoolType) holding the parts SecurityInformation names taken
 * from ModificationDescriptor and the rest from *ObjectsSecurityDescriptor, which then points at it.
 * The old descriptor stays the caller's to free; the new one is freed with ExFreePool. Setting the
 * owner or group without one gives STATUS_INVALID_OWNER / STATUS_INVALID_PRIMARY_GROUP. A DACL (SACL)
 * set under SEF_DACL_AUTO_INHERIT (SEF_SACL_AUTO_INHERIT) and not protected keeps the object's
 * inherited ACEs after the modification's explicit ones; PROTECTED_ / UNPROTECTED_ DACL (SACL)
 * information sets or clears protection. Rights checks are the caller's. On failure nothing changes.
 */
NTKERNELAPI NTSTATUS NTAPI SeSetSecurityDescriptorInfoEx(PVOID Object, PSECURITY_INFORMATION SecurityInformation,
                                                         PSECURITY_DESCRIPTOR ModificationDescriptor,
                                                         PSECURITY_DESCRIPTOR *ObjectsSecurityDescriptor,
                                                         ULONG AutoInheritFlags, POOL_TYPE PoolType,
                                                         PGENERIC_MAPPING GenericMapping)
{
    (void)Object;
    ke::CheckIrql((const void *)&SeSetSecurityDescriptorInfoEx, PASSIVE_LEVEL);
    if (*ObjectsSecurityDescriptor == nullptr)
        return STATUS_NO_SECURITY_ON_OBJECT;
    if (ModificationDescriptor == nullptr || !se::RevisionKnown(ModificationDescriptor) ||
        !se::RevisionKnown(*ObjectsSecurityDescriptor))
        return STATUS_UNKNOWN_REVISION;
    SECURITY_INFORMATION information = *SecurityInformation;
    se::DescriptorParts object{}, modification{};
    se::ReadDescriptor(*ObjectsSecurityDescriptor, &object);
    se::ReadDescriptor(ModificationDescriptor, &modification);

    se::Draft draft;
    const se::DescriptorParts &ownerSource = (information & OWNER_SECURITY_INFORMATION) ? modification : object;
    if (ownerSource.owner == nullptr && (information & OWNER_SECURITY_INFORMATION))
        return STATUS_INVALID_OWNER;
    const se::DescriptorParts &groupSource = (information & GROUP_SECURITY_INFORMATION) ? modification : object;
    if (groupSource.group == nullptr && (information & GROUP_SECURITY_INFORMATION))
        return STATUS_INVALID_PRIMARY_GROUP;
    if (ownerSource.owner != nullptr)
        draft.owner = se::SidCopy(ownerSource.owner);
    if (groupSource.group != nullptr)
        draft.group = se::SidCopy(groupSource.group);
    draft.control = (ownerSource.control & SE_OWNER_DEFAULTED) | (groupSource.control & SE_GROUP_DEFAULTED);

    NTSTATUS status = se::SetAcl(se::kDacl, object, modification, information, AutoInheritFlags,
                                 (information & DACL_SECURITY_INFORMATION) != 0, false, GenericMapping, &draft.dacl);
    if (NT_SUCCESS(status))
        status = se::SetAcl(se::kSacl, object, modification, information, AutoInheritFlags,
                            (information & SACL_SECURITY_INFORMATION) != 0,
                            (information & LABEL_SECURITY_INFORMATION) != 0, GenericMapping, &draft.sacl);
    if (!NT_SUCCESS(status))
        return status;

    return se::Emit(draft, PoolType, ObjectsSecurityDescriptor);
}

NTKERNELAPI NTSTATUS NTAPI SeSetSecurityDescriptorInfo(PVOID Object, PSECURITY_INFORMATION SecurityInformation,
                                                       PSECURITY_DESCRIPTOR ModificationDescriptor,
                                                       PSECURITY_DESCRIPTOR *ObjectsSecurityDescriptor,
                                                       POOL_TYPE PoolType, PGENERIC_MAPPING GenericMapping)
{
    return SeSetSecurityDescriptorInfoEx(Object, SecurityInformation, ModificationDescriptor,
                                         ObjectsSecurityDescriptor, 0, PoolType, GenericMapping);
}

} // extern "C"
