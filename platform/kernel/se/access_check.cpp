/*
 * Access checks: SeAccessCheck and the privilege checks.
 *
 * SeAccessCheck decides in this order:
 *   1. generic bits of the desired access are mapped through the object's mapping;
 *   2. KernelMode: the desired access is granted (MAXIMUM_ALLOWED gives GenericAll);
 *   3. no descriptor: denied; an impersonating subject below SecurityImpersonation:
 *      STATUS_BAD_IMPERSONATION_LEVEL; nothing desired: the previously granted access, if any;
 *   4. privileges: ACCESS_SYSTEM_SECURITY needs SeSecurityPrivilege enabled (else
 *      STATUS_PRIVILEGE_NOT_HELD); WRITE_OWNER is granted by SeTakeOwnershipPrivilege enabled;
 *      each use is reported in *Privileges. Backup and restore are not applied here;
 *   5. the owner has READ_CONTROL and WRITE_DAC implicitly, unless the DACL names OWNER RIGHTS
 *      (S-1-3-4), whose ACEs then say what the owner gets;
 *   6. no DACL, or a NULL DACL: everything desired;
 *   7. the DACL's ACEs in stored order, inherit-only ones skipped, generic bits of their masks
 *      mapped: an allow ACE grants its bits; a deny ACE refuses the request if it names a bit still
 *      wanted and not yet granted. With MAXIMUM_ALLOWED every ACE is visited and the grantable mask
 *      is returned (an empty grant is a denial).
 * A token group matches an allow ACE when enabled, a deny ACE when enabled or deny-only.
 *
 * A restricted token (one with restricting SIDs) goes through steps 5-7 twice: once with its user
 * and groups, once with its restricting SIDs alone (each counts as enabled, for allow and deny ACEs
 * alike, and the owner's implicit rights need the owner among them). Only what both evaluations
 * grant is granted. For a write-restricted token the second evaluation decides only the rights the
 * object's GENERIC_WRITE maps to; the rest come from the first alone. Rights that privileges
 * grant (step 4) and previously granted ones are not evaluated again.
 */
#include "se/se_private.h"

#include "ke/dispatcher.h"

#include <km/pool.h>

#include <cstring>

namespace se {
namespace {

constexpr ULONG kPrivilegeSetTag = POOL_TAG('S', 'e', 'P', 's');
constexpr ACCESS_MASK kOwnerImplicit = READ_CONTROL | WRITE_DAC;

/* Privileges an access check used, for *Privileges. */
struct UsedPrivileges {
    ULONG count = 0;
    LUID_AND_ATTRIBUTES entries[2];

    void Add(LONG privilege)
    {
        entries[count].Luid = RtlConvertLongToLuid(privilege);
        entries[count].Attributes = SE_PRIVILEGE_USED_FOR_ACCESS;
        count++;
    }
};

struct CheckResult {
    bool granted;
    ACCESS_MASK access;
};

/* Calls visit(ace) for each ACE of the ACL that takes part in a check (an allow or deny ACE that is
 * not inherit-only), in stored order, until visit returns false. */
template <typename Visit>
void ForEachEffectiveAce(PACL acl, Visit visit)
{
    ForEachAce(acl, [&](PACE_HEADER ace) {
        if (ace->AceFlags & INHERIT_ONLY_ACE)
            return true;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE && ace->AceType != ACCESS_DENIED_ACE_TYPE)
            return true;
        return visit(ace);
    });
}

bool DaclNamesOwnerRights(PACL dacl)
{
    bool found = false;
    ForEachEffectiveAce(dacl, [&](PACE_HEADER ace) {
        found = RtlEqualSid(KnownAceSid(ace), OwnerRightsSid());
        return !found;
    });
    return found;
}

ACCESS_MASK AceMask(PACE_HEADER ace, const GENERIC_MAPPING *mapping)
{
    ACCESS_MASK mask = ((PACCESS_ALLOWED_ACE)ace)->Mask;
    RtlMapGenericMask(&mask, mapping);
    return mask & ~(MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY); /* never granted through a DACL */
}

/* The SIDs an evaluation of a descriptor matches: the token's user and groups, or its restricting SIDs. */
struct Identity {
    const Token *token;
    bool restricting;
};

bool SidMatches(const Identity &who, PSID sid, bool denyAce)
{
    return who.restricting ? SidInRestrictingSids(who.token, sid) : SidInToken(who.token, sid, denyAce);
}

bool AceApplies(const Identity &who, PACE_HEADER ace, bool isOwner)
{
    PSID sid = KnownAceSid(ace);
    if (RtlEqualSid(sid, OwnerRightsSid()))
        return isOwner;
    return SidMatches(who, sid, ace->AceType == ACCESS_DENIED_ACE_TYPE);
}

/* Everything the DACL grants the identity on top of granted (an allow counts for the bits no earlier
 * deny took, a deny for the bits no earlier allow gave). */
ACCESS_MASK MaximumFromDacl(const Identity &who, PACL dacl, ACCESS_MASK granted, bool isOwner,
                            const GENERIC_MAPPING *mapping)
{
    ACCESS_MASK denied = 0;
    ForEachEffectiveAce(dacl, [&](PACE_HEADER ace) {
        if (!AceApplies(who, ace, isOwner))
            return true;
        ACCESS_MASK mask = AceMask(ace, mapping);
        if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE)
            granted |= mask & ~denied;
        else
            denied |= mask & ~granted;
        return true;
    });
    return granted;
}

/* Whether the DACL grants the identity every desired bit not already granted before a deny refuses one. */
bool DesiredFromDacl(const Identity &who, PACL dacl, ACCESS_MASK desired, ACCESS_MASK granted, bool isOwner,
                     const GENERIC_MAPPING *mapping)
{
    ACCESS_MASK remaining = desired & ~granted;
    bool refused = false;
    ForEachEffectiveAce(dacl, [&](PACE_HEADER ace) {
        if (!AceApplies(who, ace, isOwner))
            return true;
        ACCESS_MASK mask = AceMask(ace, mapping);
        if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            remaining &= ~mask;
            return remaining != 0;
        }
        refused = (mask & remaining) != 0;
        return !refused;
    });
    return !refused && remaining == 0;
}

/* Steps 5-7 for one identity. granted holds the rights already settled (previous and privileges).
 * complete: every right desired by name is granted; access: what is granted (with MAXIMUM_ALLOWED,
 * everything this identity can have). */
CheckResult Evaluate(const Identity &who, const DescriptorParts &parts, ACCESS_MASK desired, ACCESS_MASK granted,
                     const GENERIC_MAPPING *mapping)
{
    bool isOwner = parts.owner != nullptr && SidMatches(who, parts.owner, false);
    bool ownerRights = parts.dacl != nullptr && DaclNamesOwnerRights(parts.dacl);
    if (isOwner && !ownerRights && (desired & (kOwnerImplicit | MAXIMUM_ALLOWED))) {
        granted |= (desired & MAXIMUM_ALLOWED) ? kOwnerImplicit : (desired & kOwnerImplicit);
        desired &= ~kOwnerImplicit;
    }
    if (desired == 0)
        return {true, granted};
    if (!(parts.control & SE_DACL_PRESENT) || parts.dacl == nullptr) {
        ACCESS_MASK all = (desired & MAXIMUM_ALLOWED) ? (mapping->GenericAll | (desired & ~MAXIMUM_ALLOWED)) : desired;
        return {true, all | granted};
    }
    if (desired & MAXIMUM_ALLOWED) {
        ACCESS_MASK access = MaximumFromDacl(who, parts.dacl, granted, isOwner, mapping);
        return {(desired & ~MAXIMUM_ALLOWED & ~access) == 0, access};
    }
    if (!DesiredFromDacl(who, parts.dacl, desired, granted, isOwner, mapping))
        return {false, granted};
    return {true, desired | granted};
}

BOOLEAN Finish(bool granted, ACCESS_MASK access, const UsedPrivileges &used, PPRIVILEGE_SET *privileges,
               PACCESS_MASK grantedAccess, PNTSTATUS accessStatus)
{
    if (!granted) {
        *grantedAccess = 0;
        *accessStatus = STATUS_ACCESS_DENIED;
        return FALSE;
    }
    if (privileges != nullptr && used.count != 0) {
        ULONG length = FIELD_OFFSET(PRIVILEGE_SET, Privilege) + used.count * sizeof(LUID_AND_ATTRIBUTES);
        auto set = (PPRIVILEGE_SET)ExAllocatePoolWithTag(PagedPool, length, kPrivilegeSetTag);
        if (set == nullptr) {
            *grantedAccess = 0;
            *accessStatus = STATUS_INSUFFICIENT_RESOURCES;
            return FALSE;
        }
        set->PrivilegeCount = used.count;
        set->Control = 0;
        std::memcpy(set->Privilege, used.entries, used.count * sizeof(LUID_AND_ATTRIBUTES));
        *privileges = set;
    }
    *grantedAccess = access;
    *accessStatus = STATUS_SUCCESS;
    return TRUE;
}

/* Steps 4-7 of the header comment (twice for a restricted token), with the effective token's lock held. */
BOOLEAN CheckLocked(const Token *token, const DescriptorParts &parts, ACCESS_MASK desired, ACCESS_MASK previous,
                    PPRIVILEGE_SET *privileges, const GENERIC_MAPPING *mapping, PACCESS_MASK grantedAccess,
                    PNTSTATUS accessStatus)
{
    UsedPrivileges used;
    if (desired & ACCESS_SYSTEM_SECURITY) {
        if (!PrivilegeEnabled(token, SE_SECURITY_PRIVILEGE)) {
            *grantedAccess = 0;
            *accessStatus = STATUS_PRIVILEGE_NOT_HELD;
            return FALSE;
        }
        used.Add(SE_SECURITY_PRIVILEGE);
        previous |= ACCESS_SYSTEM_SECURITY;
        desired &= ~ACCESS_SYSTEM_SECURITY;
    }
    if ((desired & WRITE_OWNER) && PrivilegeEnabled(token, SE_TAKE_OWNERSHIP_PRIVILEGE)) {
        used.Add(SE_TAKE_OWNERSHIP_PRIVILEGE);
        previous |= WRITE_OWNER;
        desired &= ~WRITE_OWNER;
    }

    CheckResult result = Evaluate({token, false}, parts, desired, previous, mapping);
    if (result.granted && token->restrictingSidCount != 0) {
        ACCESS_MASK limited = (token->flags & TOKEN_WRITE_RESTRICTED) ? mapping->GenericWrite : ~(ACCESS_MASK)0;
        ACCESS_MASK asked = desired & (limited | MAXIMUM_ALLOWED);
        if (asked != 0) {
            CheckResult second = Evaluate({token, true}, parts, asked, previous, mapping);
            result.granted = second.granted;
            result.access &= second.access | ~limited;
        }
    }
    // Checked after both evaluations: a MAXIMUM_ALLOWED request that ends with nothing is a denial.
    if (result.granted && result.access == 0)
        result.granted = false;
    return Finish(result.granted, result.access, used, privileges, grantedAccess, accessStatus);
}

} // namespace
} // namespace se

extern "C" {

NTSYSAPI VOID NTAPI RtlMapGenericMask(PACCESS_MASK AccessMask, const GENERIC_MAPPING *GenericMapping)
{
    ACCESS_MASK mask = *AccessMask;
    if (mask & GENERIC_READ)
        mask |= GenericMapping->GenericRead;
    if (mask & GENERIC_WRITE)
        mask |= GenericMapping->GenericWrite;
    if (mask & GENERIC_EXECUTE)
        mask |= GenericMapping->GenericExecute;
    if (mask & GENERIC_ALL)
        mask |= GenericMapping->GenericAll;
    *AccessMask = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

NTKERNELAPI BOOLEAN NTAPI SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                        PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                                        BOOLEAN SubjectContextLocked, ACCESS_MASK DesiredAccess,
                                        ACCESS_MASK PreviouslyGrantedAccess, PPRIVILEGE_SET *Privileges,
                                        PGENERIC_MAPPING GenericMapping, KPROCESSOR_MODE AccessMode,
                                        PACCESS_MASK GrantedAccess, PNTSTATUS AccessStatus)
{
    ke::CheckIrql((const void *)&SeAccessCheck, PASSIVE_LEVEL);
    if (Privileges != nullptr)
        *Privileges = nullptr;
    RtlMapGenericMask(&DesiredAccess, GenericMapping);

    if (AccessMode == KernelMode) {
        if (DesiredAccess & MAXIMUM_ALLOWED)
            *GrantedAccess = GenericMapping->GenericAll | (DesiredAccess & ~MAXIMUM_ALLOWED) | PreviouslyGrantedAccess;
        else
            *GrantedAccess = DesiredAccess | PreviouslyGrantedAccess;
        *AccessStatus = STATUS_SUCCESS;
        return TRUE;
    }
    if (SecurityDescriptor == nullptr) {
        *GrantedAccess = 0;
        *AccessStatus = STATUS_ACCESS_DENIED;
        return FALSE;
    }
    if (SubjectSecurityContext->ClientToken != nullptr &&
        SubjectSecurityContext->ImpersonationLevel < SecurityImpersonation) {
        *GrantedAccess = 0;
        *AccessStatus = STATUS_BAD_IMPERSONATION_LEVEL;
        return FALSE;
    }
    if (DesiredAccess == 0) {
        *GrantedAccess = PreviouslyGrantedAccess;
        *AccessStatus = PreviouslyGrantedAccess != 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
        return PreviouslyGrantedAccess != 0 ? TRUE : FALSE;
    }

    se::DescriptorParts parts;
    se::ReadDescriptor(SecurityDescriptor, &parts);
    se::Token *token = se::EffectiveToken(SubjectSecurityContext);
    if (!SubjectContextLocked)
        token->lock.LockShared();
    BOOLEAN granted = se::CheckLocked(token, parts, DesiredAccess, PreviouslyGrantedAccess, Privileges,
                                      GenericMapping, GrantedAccess, AccessStatus);
    if (!SubjectContextLocked)
        token->lock.UnlockShared();
    return granted;
}

NTKERNELAPI VOID NTAPI SeFreePrivileges(PPRIVILEGE_SET Privileges)
{
    ExFreePoolWithTag(Privileges, se::kPrivilegeSetTag);
}

NTKERNELAPI BOOLEAN NTAPI SePrivilegeCheck(PPRIVILEGE_SET RequiredPrivileges,
                                           PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                                           KPROCESSOR_MODE AccessMode)
{
    ke::CheckIrql((const void *)&SePrivilegeCheck, PASSIVE_LEVEL);
    if (AccessMode == KernelMode)
        return TRUE;
    if (SubjectSecurityContext->ClientToken != nullptr &&
        SubjectSecurityContext->ImpersonationLevel < SecurityImpersonation)
        return FALSE;

    se::Token *token = se::EffectiveToken(SubjectSecurityContext);
    se::SharedTokenGuard guard(token);
    ULONG held = 0;
    PLUID_AND_ATTRIBUTES entries = RequiredPrivileges->Privilege; /* PrivilegeCount of them */
    for (ULONG i = 0; i < RequiredPrivileges->PrivilegeCount; ++i) {
        LUID_AND_ATTRIBUTES &required = entries[i];
        if (se::PrivilegeEnabled(token, required.Luid)) {
            required.Attributes |= SE_PRIVILEGE_USED_FOR_ACCESS;
            held++;
        }
    }
    if (RequiredPrivileges->Control & PRIVILEGE_SET_ALL_NECESSARY)
        return held == RequiredPrivileges->PrivilegeCount ? TRUE : FALSE;
    return held != 0 ? TRUE : FALSE;
}

NTKERNELAPI BOOLEAN NTAPI SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode)
{
    ke::CheckIrql((const void *)&SeSinglePrivilegeCheck, PASSIVE_LEVEL);
    if (PreviousMode == KernelMode)
        return TRUE;
    SECURITY_SUBJECT_CONTEXT context;
    SeCaptureSubjectContext(&context);
    PRIVILEGE_SET required;
    required.PrivilegeCount = 1;
    required.Control = PRIVILEGE_SET_ALL_NECESSARY;
    required.Privilege[0].Luid = PrivilegeValue;
    required.Privilege[0].Attributes = 0;
    BOOLEAN held = SePrivilegeCheck(&required, &context, PreviousMode);
    SeReleaseSubjectContext(&context);
    return held;
}

} // extern "C"
