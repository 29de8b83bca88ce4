/*
 * Descriptors that cross the system-call boundary: SeCaptureSecurityDescriptor and
 * SeReleaseSecurityDescriptor, SeQuerySecurityDescriptorInfo, and the access a query
 * or a change of each kind of security information needs.
 *
 * A user-mode caller's descriptor (absolute, with pointers to its parts, or
 * self-relative, with offsets) lives in memory the caller can rewrite at any time.
 * Each part is bounds-checked against the caller's user space and copied once; the
 * self-relative copy is built from those copies and validated as a whole, so what
 * the kernel goes on to use is exactly what it checked.
 */
#include "se/se_private.h"

#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "mm/user_arena.h"

#include <km/ex.h>
#include <km/se.h>

#include <cstring>
#include <vector>

namespace {

constexpr ULONG kCapturedTag = POOL_TAG('S', 'e', 'S', 'c');

bool Readable(KPROCESSOR_MODE mode, const void *address, size_t length)
{
    if (mode == KernelMode || length == 0)
        return address != nullptr || length == 0;
    return mm::ArenaContains(ke::CurrentProcess()->Arena, address, length);
}

/* Copies a SID part: its header first, then as many bytes as its own count says. */
bool CopySid(KPROCESSOR_MODE mode, const void *sid, std::vector<UCHAR> *copy)
{
    if (!Readable(mode, sid, 8))
        return false;
    UCHAR count = static_cast<const UCHAR *>(sid)[1];
    size_t length = 8 + 4 * (size_t)count;
    if (count > SID_MAX_SUB_AUTHORITIES || !Readable(mode, sid, length))
        return false;
    copy->assign(static_cast<const UCHAR *>(sid), static_cast<const UCHAR *>(sid) + length);
    return RtlValidSid(copy->data());
}

bool CopyAcl(KPROCESSOR_MODE mode, const void *acl, std::vector<UCHAR> *copy)
{
    if (!Readable(mode, acl, sizeof(ACL)))
        return false;
    ACL header;
    memcpy(&header, acl, sizeof(header));
    if (header.AclSize < sizeof(ACL) || !Readable(mode, acl, header.AclSize))
        return false;
    copy->assign(static_cast<const UCHAR *>(acl), static_cast<const UCHAR *>(acl) + header.AclSize);
    reinterpret_cast<PACL>(copy->data())->AclSize = header.AclSize;
    return RtlValidAcl(reinterpret_cast<PACL>(copy->data()));
}

/* Where a part of the descriptor lives: a pointer (absolute) or an offset (self-relative). */
const void *PartAddress(const UCHAR *descriptor, bool selfRelative, ULONG offset, const void *pointer)
{
    if (selfRelative)
        return offset == 0 ? nullptr : descriptor + offset;
    return pointer;
}

NTSTATUS Capture(PSECURITY_DESCRIPTOR input, KPROCESSOR_MODE mode, POOL_TYPE pool, PSECURITY_DESCRIPTOR *output)
{
    if (!Readable(mode, input, sizeof(SECURITY_DESCRIPTOR_RELATIVE)))
        return STATUS_ACCESS_VIOLATION;
    SECURITY_DESCRIPTOR_RELATIVE header;
    memcpy(&header, input, sizeof(header));
    if (header.Revision != SECURITY_DESCRIPTOR_REVISION)
        return STATUS_UNKNOWN_REVISION;
    bool selfRelative = (header.Control & SE_SELF_RELATIVE) != 0;
    SECURITY_DESCRIPTOR absolute{};
    if (!selfRelative) {
        if (!Readable(mode, input, sizeof(SECURITY_DESCRIPTOR)))
            return STATUS_ACCESS_VIOLATION;
        memcpy(&absolute, input, sizeof(absolute));
    }
    auto *bytes = static_cast<const UCHAR *>(input);
    std::vector<UCHAR> owner, group, sacl, dacl;
    se::DescriptorParts parts{};
    parts.control = (SECURITY_DESCRIPTOR_CONTROL)(header.Control & ~SE_SELF_RELATIVE);
    if (const void *p = PartAddress(bytes, selfRelative, header.Owner, absolute.Owner)) {
        if (!CopySid(mode, p, &owner))
            return STATUS_INVALID_SID;
        parts.owner = owner.data();
    }
    if (const void *p = PartAddress(bytes, selfRelative, header.Group, absolute.Group)) {
        if (!CopySid(mode, p, &group))
            return STATUS_INVALID_SID;
        parts.group = group.data();
    }
    if (header.Control & SE_SACL_PRESENT) {
        if (const void *p = PartAddress(bytes, selfRelative, header.Sacl, absolute.Sacl)) {
            if (!CopyAcl(mode, p, &sacl))
                return STATUS_INVALID_ACL;
            parts.sacl = reinterpret_cast<PACL>(sacl.data());
        }
    }
    if (header.Control & SE_DACL_PRESENT) {
        if (const void *p = PartAddress(bytes, selfRelative, header.Dacl, absolute.Dacl)) {
            if (!CopyAcl(mode, p, &dacl))
                return STATUS_INVALID_ACL;
            parts.dacl = reinterpret_cast<PACL>(dacl.data());
        }
    }
    ULONG length = se::SelfRelativeLength(parts);
    PVOID copy = ExAllocatePoolWithTag(pool, length, kCapturedTag);
    if (copy == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    se::WriteSelfRelative(parts, copy);
    *output = copy;
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

NTKERNELAPI VOID NTAPI SeQuerySecurityAccessMask(SECURITY_INFORMATION SecurityInformation, PACCESS_MASK DesiredAccess)
{
    ACCESS_MASK access = 0;
    if (SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                               LABEL_SECURITY_INFORMATION | ATTRIBUTE_SECURITY_INFORMATION |
                               SCOPE_SECURITY_INFORMATION))
        access |= READ_CONTROL;
    if (SecurityInformation & (SACL_SECURITY_INFORMATION | BACKUP_SECURITY_INFORMATION))
        access |= ACCESS_SYSTEM_SECURITY;
    *DesiredAccess = access;
}

NTKERNELAPI VOID NTAPI SeSetSecurityAccessMask(SECURITY_INFORMATION SecurityInformation, PACCESS_MASK DesiredAccess)
{
    ACCESS_MASK access = 0;
    if (SecurityInformation & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION))
        access |= WRITE_OWNER;
    if (SecurityInformation & DACL_SECURITY_INFORMATION)
        access |= WRITE_DAC;
    if (SecurityInformation & (SACL_SECURITY_INFORMATION | ATTRIBUTE_SECURITY_INFORMATION |
                               SCOPE_SECURITY_INFORMATION | BACKUP_SECURITY_INFORMATION))
        access |= ACCESS_SYSTEM_SECURITY;
    *DesiredAccess = access;
}

/*
 * The parts of an object's descriptor the caller asked for, as a self-relative
 * descriptor in its buffer; STATUS_BUFFER_TOO_SMALL with the length needed when it
 * does not fit. SACL information gives the SACL's audit ACEs, label information its
 * mandatory label ACEs, both the whole SACL.
 */
NTKERNELAPI NTSTATUS NTAPI SeQuerySecurityDescriptorInfo(PSECURITY_INFORMATION SecurityInformation,
                                                         PSECURITY_DESCRIPTOR SecurityDescriptor, PULONG Length,
                                                         PSECURITY_DESCRIPTOR *ObjectsSecurityDescriptor)
{
    se::DescriptorParts all{};
    if (*ObjectsSecurityDescriptor != nullptr)
        se::ReadDescriptor(*ObjectsSecurityDescriptor, &all);
    SECURITY_INFORMATION asked = *SecurityInformation;
    se::DescriptorParts parts{};
    parts.control = 0;
    if (asked & OWNER_SECURITY_INFORMATION)
        parts.owner = all.owner;
    if (asked & GROUP_SECURITY_INFORMATION)
        parts.group = all.group;
    if (asked & DACL_SECURITY_INFORMATION) {
        parts.dacl = all.dacl;
        parts.control |= all.control & (SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_PROTECTED |
                                        SE_DACL_AUTO_INHERITED);
    }
    // The SACL's audit ACEs come with SACL information, its label ACEs with label information.
    std::vector<UCHAR> selected;
    if (asked & (SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) {
        parts.sacl = all.sacl;
        parts.control |= all.control & (SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_PROTECTED |
                                        SE_SACL_AUTO_INHERITED);
        bool audit = (asked & SACL_SECURITY_INFORMATION) != 0, labels = (asked & LABEL_SECURITY_INFORMATION) != 0;
        if (all.sacl != nullptr && audit != labels) {
            se::AclBuilder builder;
            se::AppendSelectedAces(all.sacl, labels ? se::LabelAces::Only : se::LabelAces::Without, false, &builder);
            selected = builder.Build();
            parts.sacl = selected.empty() ? all.sacl : (PACL)selected.data();
        }
    }
    ULONG needed = se::SelfRelativeLength(parts);
    if (*Length < needed) {
        *Length = needed;
        return STATUS_BUFFER_TOO_SMALL;
    }
    se::WriteSelfRelative(parts, SecurityDescriptor);
    *Length = needed;
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR InputSecurityDescriptor,
                                                       KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
                                                       BOOLEAN ForceCapture,
                                                       PSECURITY_DESCRIPTOR *OutputSecurityDescriptor)
{
    ke::CheckIrql((const void *)&SeCaptureSecurityDescriptor, APC_LEVEL);
    *OutputSecurityDescriptor = nullptr;
    if (InputSecurityDescriptor == nullptr)
        return STATUS_SUCCESS;
    // A kernel caller's descriptor is trusted and used in place unless a copy is asked for.
    if (RequestorMode == KernelMode && !ForceCapture) {
        *OutputSecurityDescriptor = InputSecurityDescriptor;
        return STATUS_SUCCESS;
    }
    return Capture(InputSecurityDescriptor, RequestorMode, PoolType, OutputSecurityDescriptor);
}

NTKERNELAPI VOID NTAPI SeReleaseSecurityDescriptor(PSECURITY_DESCRIPTOR CapturedSecurityDescriptor,
                                                   KPROCESSOR_MODE RequestorMode, BOOLEAN ForceCapture)
{
    if (CapturedSecurityDescriptor != nullptr && (RequestorMode != KernelMode || ForceCapture))
        ExFreePoolWithTag(CapturedSecurityDescriptor, kCapturedTag);
}

} // extern "C"
