/*
 * Access control lists: creation, validation, adding ACEs and walking them.
 *
 * An ACL is its header followed by AceCount ACEs packed from byte 8; AclSize counts
 * the header, the ACEs and any free space after them. Validation never reads past
 * AclSize, so it is safe on descriptors read from untrusted images.
 */
#include "se/se_private.h"

#include <cstring>

namespace se {
namespace {

/* Offset of the SID in an ACE of the object types (5-8, 0xB, 0xC, 0xF, 0x10), from its flags. */
ULONG ObjectAceSidOffset(ULONG flags)
{
    ULONG offset = FIELD_OFFSET(ACCESS_ALLOWED_OBJECT_ACE, ObjectType);
    if (flags & ACE_OBJECT_TYPE_PRESENT)
        offset += sizeof(GUID);
    if (flags & ACE_INHERITED_OBJECT_TYPE_PRESENT)
        offset += sizeof(GUID);
    return offset;
}

bool IsObjectAceType(UCHAR type)
{
    return (type >= ACCESS_MIN_MS_OBJECT_ACE_TYPE && type <= ACCESS_MAX_MS_OBJECT_ACE_TYPE) ||
           type == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE ||
           type == SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE || type == SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE;
}

/* Types laid out as header, mask, SID (and, for callbacks, application data after the SID). */
bool IsKnownAceType(UCHAR type)
{
    return type <= ACCESS_MAX_MS_V2_ACE_TYPE || type == ACCESS_ALLOWED_CALLBACK_ACE_TYPE ||
           type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == SYSTEM_AUDIT_CALLBACK_ACE_TYPE ||
           type == SYSTEM_ALARM_CALLBACK_ACE_TYPE || type == SYSTEM_MANDATORY_LABEL_ACE_TYPE ||
           type == SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE || type == SYSTEM_SCOPED_POLICY_ID_ACE_TYPE ||
           type == SYSTEM_PROCESS_TRUST_LABEL_ACE_TYPE || type == SYSTEM_ACCESS_FILTER_ACE_TYPE;
}

/* Whether a SID starting at offset lies wholly inside an ACE of aceSize bytes and is well formed. */
bool SidFitsInAce(PACE_HEADER ace, ULONG offset, ULONG aceSize)
{
    if (offset + RtlLengthRequiredSid(0) > aceSize)
        return false;
    PSID sid = (PUCHAR)ace + offset;
    return RtlValidSid(sid) && offset + RtlLengthSid(sid) <= aceSize;
}

bool ValidAce(PACL acl, PACE_HEADER ace, ULONG aceSize)
{
    UCHAR type = ace->AceType;
    if (IsKnownAceType(type)) {
        if (acl->AclRevision < ACL_REVISION2)
            return false;
        return SidFitsInAce(ace, FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart), aceSize);
    }
    if (type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE)
        return acl->AclRevision >= ACL_REVISION3 && aceSize >= sizeof(ACE_HEADER) + 8;
    if (IsObjectAceType(type)) {
        if (acl->AclRevision < ACL_REVISION_DS || aceSize < FIELD_OFFSET(ACCESS_ALLOWED_OBJECT_ACE, ObjectType))
            return false;
        ULONG flags = ((PACCESS_ALLOWED_OBJECT_ACE)ace)->Flags;
        return SidFitsInAce(ace, ObjectAceSidOffset(flags), aceSize);
    }
    return true; /* an unknown type is carried, not interpreted */
}

/* The first byte after the last ACE, or null when the ACL does not hold together. */
PUCHAR FirstFreeAce(PACL acl)
{
    ULONG offset = sizeof(ACL);
    for (ULONG i = 0; i < acl->AceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > acl->AclSize)
            return nullptr;
        auto ace = (PACE_HEADER)((PUCHAR)acl + offset);
        if (ace->AceSize < sizeof(ACE_HEADER) || offset + ace->AceSize > acl->AclSize)
            return nullptr;
        offset += ace->AceSize;
    }
    return (PUCHAR)acl + offset;
}

NTSTATUS AddKnownAce(PACL acl, ULONG aceRevision, ULONG aceFlags, ACCESS_MASK mask, PSID sid, UCHAR type)
{
    if (!RtlValidSid(sid))
        return STATUS_INVALID_SID;
    if (aceRevision > MAX_ACL_REVISION || acl->AclRevision > MAX_ACL_REVISION)
        return STATUS_REVISION_MISMATCH;
    if (aceFlags & ~VALID_INHERIT_FLAGS)
        return STATUS_INVALID_PARAMETER;
    if (!RtlValidAcl(acl))
        return STATUS_INVALID_ACL;
    PUCHAR free = FirstFreeAce(acl);
    if (free == nullptr)
        return STATUS_INVALID_ACL;
    ULONG aceSize = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + RtlLengthSid(sid);
    if ((ULONG)(free - (PUCHAR)acl) + aceSize > acl->AclSize)
        return STATUS_ALLOTTED_SPACE_EXCEEDED;
    auto ace = (PACCESS_ALLOWED_ACE)free;
    ace->Header.AceType = type;
    ace->Header.AceFlags = (UCHAR)aceFlags;
    ace->Header.AceSize = (USHORT)aceSize;
    ace->Mask = mask;
    std::memcpy(&ace->SidStart, sid, RtlLengthSid(sid));
    acl->AceCount++;
    if (aceRevision > acl->AclRevision)
        acl->AclRevision = (UCHAR)aceRevision;
    return STATUS_SUCCESS;
}

} // namespace

PSID KnownAceSid(PACE_HEADER ace)
{
    switch (ace->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
        return &((PACCESS_ALLOWED_ACE)ace)->SidStart;
    default:
        return nullptr;
    }
}

} // namespace se

extern "C" {

NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision)
{
    if (AclLength < sizeof(ACL))
        return STATUS_BUFFER_TOO_SMALL;
    if (AclRevision < MIN_ACL_REVISION || AclRevision > MAX_ACL_REVISION || AclLength > MAXUSHORT)
        return STATUS_INVALID_PARAMETER;
    Acl->AclRevision = (UCHAR)AclRevision;
    Acl->Sbz1 = 0;
    Acl->AclSize = (USHORT)(AclLength & ~3u); /* whole ULONGs: the rest of the buffer stays unused */
    Acl->AceCount = 0;
    Acl->Sbz2 = 0;
    return STATUS_SUCCESS;
}

NTSYSAPI BOOLEAN NTAPI RtlValidAcl(PACL Acl)
{
    if (Acl->AclRevision < MIN_ACL_REVISION || Acl->AclRevision > MAX_ACL_REVISION)
        return FALSE;
    if (Acl->AclSize < sizeof(ACL) || (Acl->AclSize & 1) != 0)
        return FALSE;
    ULONG offset = sizeof(ACL);
    for (ULONG i = 0; i < Acl->AceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > Acl->AclSize)
            return FALSE;
        auto ace = (PACE_HEADER)((PUCHAR)Acl + offset);
        ULONG aceSize = ace->AceSize;
        if (aceSize < sizeof(ACE_HEADER) || (aceSize & 1) != 0 || offset + aceSize > Acl->AclSize)
            return FALSE;
        if (!se::ValidAce(Acl, ace, aceSize))
            return FALSE;
        offset += aceSize;
    }
    return TRUE;
}

NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    return se::AddKnownAce(Acl, AceRevision, 0, AccessMask, Sid, ACCESS_ALLOWED_ACE_TYPE);
}

NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                 ACCESS_MASK AccessMask, PSID Sid)
{
    return se::AddKnownAce(Acl, AceRevision, AceFlags, AccessMask, Sid, ACCESS_ALLOWED_ACE_TYPE);
}

NTSYSAPI NTSTATUS NTAPI RtlAddAccessDeniedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid)
{
    return se::AddKnownAce(Acl, AceRevision, 0, AccessMask, Sid, ACCESS_DENIED_ACE_TYPE);
}

NTSYSAPI NTSTATUS NTAPI RtlAddAccessDeniedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                ACCESS_MASK AccessMask, PSID Sid)
{
    return se::AddKnownAce(Acl, AceRevision, AceFlags, AccessMask, Sid, ACCESS_DENIED_ACE_TYPE);
}

NTSYSAPI NTSTATUS NTAPI RtlGetAce(PACL Acl, ULONG AceIndex, PVOID *Ace)
{
    if (Acl->AclRevision < MIN_ACL_REVISION || Acl->AclRevision > MAX_ACL_REVISION || AceIndex >= Acl->AceCount)
        return STATUS_INVALID_PARAMETER;
    ULONG offset = sizeof(ACL);
    for (ULONG i = 0;; ++i) {
        if (offset + sizeof(ACE_HEADER) > Acl->AclSize)
            return STATUS_INVALID_PARAMETER;
        auto ace = (PACE_HEADER)((PUCHAR)Acl + offset);
        if (ace->AceSize < sizeof(ACE_HEADER) || offset + ace->AceSize > Acl->AclSize)
            return STATUS_INVALID_PARAMETER;
        if (i == AceIndex) {
            *Ace = ace;
            return STATUS_SUCCESS;
        }
        offset += ace->AceSize;
    }
}

} // extern "C"
