/*
 * Security descriptors in both forms: absolute (the header points at its parts)
 * and self-relative (one block; the parts are found by offsets from its start).
 *
 * The self-relative layout is always header, SACL, DACL, owner, group, each part
 * padded to a multiple of four bytes with zeros, so that equal parts give equal
 * bytes: the driver interns descriptors by their bytes.
 */
#include "se/se_private.h"

#include <cstring>

namespace se {
namespace {

ULONG LongAlign(ULONG length)
{
    return (length + 3) & ~3u;
}

bool IsSelfRelative(PSECURITY_DESCRIPTOR descriptor)
{
    return (((PISECURITY_DESCRIPTOR)descriptor)->Control & SE_SELF_RELATIVE) != 0;
}

PVOID AtOffset(PSECURITY_DESCRIPTOR descriptor, ULONG offset)
{
    return offset == 0 ? nullptr : (PUCHAR)descriptor + offset;
}

/* Whether a part of at least minimum bytes can start at offset in a block of length bytes; on success
 * *room is the space from offset to the block's end. */
bool PartOffsetValid(ULONG offset, ULONG length, ULONG minimum, ULONG *room)
{
    if (offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || (offset & 3) != 0 || offset >= length)
        return false;
    *room = length - offset;
    return *room >= minimum;
}

bool RelativeSidValid(PUCHAR base, ULONG offset, ULONG length)
{
    ULONG room;
    if (!PartOffsetValid(offset, length, RtlLengthRequiredSid(0), &room))
        return false;
    PSID sid = base + offset;
    return RtlValidSid(sid) && RtlLengthSid(sid) <= room;
}

bool RelativeAclValid(PUCHAR base, ULONG offset, ULONG length)
{
    ULONG room;
    if (!PartOffsetValid(offset, length, sizeof(ACL), &room))
        return false;
    auto acl = (PACL)(base + offset);
    return acl->AclSize <= room && RtlValidAcl(acl);
}

ULONG CopyPart(PUCHAR base, ULONG offset, const void *part, ULONG length)
{
    std::memcpy(base + offset, part, length);
    std::memset(base + offset + length, 0, LongAlign(length) - length);
    return offset + LongAlign(length);
}

NTSTATUS CheckAbsoluteForSet(PSECURITY_DESCRIPTOR descriptor)
{
    auto sd = (PISECURITY_DESCRIPTOR)descriptor;
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    if (sd->Control & SE_SELF_RELATIVE)
        return STATUS_INVALID_SECURITY_DESCR;
    return STATUS_SUCCESS;
}

} // namespace

void ReadDescriptor(PSECURITY_DESCRIPTOR descriptor, DescriptorParts *parts)
{
    if (IsSelfRelative(descriptor)) {
        auto sd = (PISECURITY_DESCRIPTOR_RELATIVE)descriptor;
        parts->control = sd->Control;
        parts->owner = AtOffset(descriptor, sd->Owner);
        parts->group = AtOffset(descriptor, sd->Group);
        parts->sacl = (sd->Control & SE_SACL_PRESENT) ? (PACL)AtOffset(descriptor, sd->Sacl) : nullptr;
        parts->dacl = (sd->Control & SE_DACL_PRESENT) ? (PACL)AtOffset(descriptor, sd->Dacl) : nullptr;
    } else {
        auto sd = (PISECURITY_DESCRIPTOR)descriptor;
        parts->control = sd->Control;
        parts->owner = sd->Owner;
        parts->group = sd->Group;
        parts->sacl = (sd->Control & SE_SACL_PRESENT) ? sd->Sacl : nullptr;
        parts->dacl = (sd->Control & SE_DACL_PRESENT) ? sd->Dacl : nullptr;
    }
}

ULONG SelfRelativeLength(const DescriptorParts &parts)
{
    ULONG length = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    if (parts.sacl != nullptr)
        length += LongAlign(parts.sacl->AclSize);
    if (parts.dacl != nullptr)
        length += LongAlign(parts.dacl->AclSize);
    if (parts.owner != nullptr)
        length += RtlLengthSid(parts.owner);
    if (parts.group != nullptr)
        length += RtlLengthSid(parts.group);
    return length;
}

void WriteSelfRelative(const DescriptorParts &parts, PVOID buffer)
{
    auto base = (PUCHAR)buffer;
    auto sd = (PISECURITY_DESCRIPTOR_RELATIVE)buffer;
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    sd->Sbz1 = 0;
    sd->Control = parts.control | SE_SELF_RELATIVE;
    sd->Owner = sd->Group = sd->Sacl = sd->Dacl = 0;
    ULONG offset = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    if (parts.sacl != nullptr) {
        sd->Sacl = offset;
        offset = CopyPart(base, offset, parts.sacl, parts.sacl->AclSize);
    }
    if (parts.dacl != nullptr) {
        sd->Dacl = offset;
        offset = CopyPart(base, offset, parts.dacl, parts.dacl->AclSize);
    }
    if (parts.owner != nullptr) {
        sd->Owner = offset;
        offset = CopyPart(base, offset, parts.owner, RtlLengthSid(parts.owner));
    }
    if (parts.group != nullptr) {
        sd->Group = offset;
        CopyPart(base, offset, parts.group, RtlLengthSid(parts.group));
    }
}

} // namespace se

extern "C" {

NTSYSAPI NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision)
{
    if (Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    std::memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
    ((PISECURITY_DESCRIPTOR)SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                                      BOOLEAN OwnerDefaulted)
{
    NTSTATUS status = se::CheckAbsoluteForSet(SecurityDescriptor);
    if (!NT_SUCCESS(status))
        return status;
    auto sd = (PISECURITY_DESCRIPTOR)SecurityDescriptor;
    sd->Owner = Owner;
    sd->Control = OwnerDefaulted ? (sd->Control | SE_OWNER_DEFAULTED) : (sd->Control & ~SE_OWNER_DEFAULTED);
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                                      BOOLEAN GroupDefaulted)
{
    NTSTATUS status = se::CheckAbsoluteForSet(SecurityDescriptor);
    if (!NT_SUCCESS(status))
        return status;
    auto sd = (PISECURITY_DESCRIPTOR)SecurityDescriptor;
    sd->Group = Group;
    sd->Control = GroupDefaulted ? (sd->Control | SE_GROUP_DEFAULTED) : (sd->Control & ~SE_GROUP_DEFAULTED);
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                                     PACL Dacl, BOOLEAN DaclDefaulted)
{
    NTSTATUS status = se::CheckAbsoluteForSet(SecurityDescriptor);
    if (!NT_SUCCESS(status))
        return status;
    auto sd = (PISECURITY_DESCRIPTOR)SecurityDescriptor;
    if (!DaclPresent) {
        sd->Control &= ~SE_DACL_PRESENT;
        return STATUS_SUCCESS;
    }
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = Dacl;
    sd->Control = DaclDefaulted ? (sd->Control | SE_DACL_DEFAULTED) : (sd->Control & ~SE_DACL_DEFAULTED);
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Owner,
                                                      PBOOLEAN OwnerDefaulted)
{
    if (((PISECURITY_DESCRIPTOR)SecurityDescriptor)->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    se::DescriptorParts parts;
    se::ReadDescriptor(SecurityDescriptor, &parts);
    *Owner = parts.owner;
    *OwnerDefaulted = (parts.control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Group,
                                                      PBOOLEAN GroupDefaulted)
{
    if (((PISECURITY_DESCRIPTOR)SecurityDescriptor)->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    se::DescriptorParts parts;
    se::ReadDescriptor(SecurityDescriptor, &parts);
    *Group = parts.group;
    *GroupDefaulted = (parts.control & SE_GROUP_DEFAULTED) ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

NTSYSAPI NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     PBOOLEAN DaclPresent, PACL *Dacl, PBOOLEAN DaclDefaulted)
{
    if (((PISECURITY_DESCRIPTOR)SecurityDescriptor)->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    se::DescriptorParts parts;
    se::ReadDescriptor(SecurityDescriptor, &parts);
    *DaclPresent = (parts.control & SE_DACL_PRESENT) ? TRUE : FALSE;
    if (*DaclPresent) {
        *Dacl = parts.dacl;
        *DaclDefaulted = (parts.control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
    }
    return STATUS_SUCCESS;
}

NTSYSAPI ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    se::DescriptorParts parts;
    se::ReadDescriptor(SecurityDescriptor, &parts);
    ULONG length = se::SelfRelativeLength(parts);
    if (!se::IsSelfRelative(SecurityDescriptor))
        length += sizeof(SECURITY_DESCRIPTOR) - sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    return length;
}

NTSYSAPI BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor)
{
    if (((PISECURITY_DESCRIPTOR)SecurityDescriptor)->Revision != SECURITY_DESCRIPTOR_REVISION)
        return FALSE;
    se::DescriptorParts parts;
    se::ReadDescriptor(SecurityDescriptor, &parts);
    if (parts.owner != nullptr && !RtlValidSid(parts.owner))
        return FALSE;
    if (parts.group != nullptr && !RtlValidSid(parts.group))
        return FALSE;
    if (parts.dacl != nullptr && !RtlValidAcl(parts.dacl))
        return FALSE;
    if (parts.sacl != nullptr && !RtlValidAcl(parts.sacl))
        return FALSE;
    return TRUE;
}

/*
 * The check for descriptors that come from outside (an image, a caller's buffer): every offset
 * must be ULONG-aligned, past the header and inside the block, and every part must end inside it
 * and be well formed. RequiredInformation names parts that must be present.
 */
NTSYSAPI BOOLEAN NTAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                                          ULONG SecurityDescriptorLength,
                                                          SECURITY_INFORMATION RequiredInformation)
{
    if (SecurityDescriptorInput == nullptr || SecurityDescriptorLength < sizeof(SECURITY_DESCRIPTOR_RELATIVE))
        return FALSE;
    auto sd = (PISECURITY_DESCRIPTOR_RELATIVE)SecurityDescriptorInput;
    auto base = (PUCHAR)SecurityDescriptorInput;
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION || !(sd->Control & SE_SELF_RELATIVE))
        return FALSE;

    if (sd->Owner == 0) {
        if (RequiredInformation & OWNER_SECURITY_INFORMATION)
            return FALSE;
    } else if (!se::RelativeSidValid(base, sd->Owner, SecurityDescriptorLength)) {
        return FALSE;
    }

    if (sd->Group == 0) {
        if (RequiredInformation & GROUP_SECURITY_INFORMATION)
            return FALSE;
    } else if (!se::RelativeSidValid(base, sd->Group, SecurityDescriptorLength)) {
        return FALSE;
    }

    if (!(sd->Control & SE_DACL_PRESENT)) {
        if (RequiredInformation & DACL_SECURITY_INFORMATION)
            return FALSE;
    } else if (sd->Dacl != 0 && !se::RelativeAclValid(base, sd->Dacl, SecurityDescriptorLength)) {
        return FALSE;
    }

    if (!(sd->Control & SE_SACL_PRESENT)) {
        if (RequiredInformation & SACL_SECURITY_INFORMATION)
            return FALSE;
    } else if (sd->Sacl != 0 && !se::RelativeAclValid(base, sd->Sacl, SecurityDescriptorLength)) {
        return FALSE;
    }
    return TRUE;
}

NTSYSAPI NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                                    PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                    PULONG BufferLength)
{
    auto sd = (PISECURITY_DESCRIPTOR)AbsoluteSecurityDescriptor;
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    if (sd->Control & SE_SELF_RELATIVE)
        return STATUS_BAD_DESCRIPTOR_FORMAT;
    se::DescriptorParts parts;
    se::ReadDescriptor(AbsoluteSecurityDescriptor, &parts);
    ULONG length = se::SelfRelativeLength(parts);
    if (*BufferLength < length) {
        *BufferLength = length;
        return STATUS_BUFFER_TOO_SMALL;
    }
    se::WriteSelfRelative(parts, SelfRelativeSecurityDescriptor);
    return STATUS_SUCCESS;
}

} // extern "C"
