/*
 * ACE inheritance: what a new object or container receives from its parent's ACLs,
 * and the explicit ACEs a caller supplies.
 *
 * For each parent ACE (an ACE marked INHERITED_ACE in the parent counts as any other):
 *   object child     inherits an OBJECT_INHERIT ACE as an effective ACE with no inheritance flags.
 *   container child  inherits a CONTAINER_INHERIT ACE as an effective ACE; unless NO_PROPAGATE_INHERIT
 *                    is set it keeps OI/CI so that it passes on further. An ACE with OBJECT_INHERIT
 *                    alone (and no NO_PROPAGATE_INHERIT) arrives inherit-only, to reach the
 *                    container's own files.
 * An effective ACE names the new owner in place of CREATOR OWNER and the new group in place of
 * CREATOR GROUP, and its generic rights are mapped. When the ACE must both take effect and propagate
 * but substitution or mapping changed it, the child gets two ACEs, in this order: the effective one
 * (no inheritance flags) and the original one made inherit-only, so grandchildren see the parent's
 * words. Audit flags (SUCCESSFUL / FAILED_ACCESS) go along; INHERITED_ACE is set on every inherited
 * ACE when automatic inheritance was asked for. An effective ACE whose mask maps to nothing is left
 * out. The result depends only on its inputs, so equal inputs give equal bytes.
 */
#include "se/se_private.h"

#include <cstring>

namespace se {
namespace {

constexpr UCHAR kInheritanceFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE |
                                    INHERIT_ONLY_ACE | INHERITED_ACE;
constexpr ACCESS_MASK kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

ACCESS_MASK Mapped(ACCESS_MASK mask, const GENERIC_MAPPING *mapping)
{
    RtlMapGenericMask(&mask, mapping);
    return mask;
}

/* The SID an effective copy of the ACE names: the creator SIDs become the new owner and group. */
PSID EffectiveSid(PSID sid, const InheritContext &context)
{
    if (RtlEqualSid(sid, CreatorOwnerSid()))
        return context.owner;
    if (RtlEqualSid(sid, CreatorGroupSid()))
        return context.group;
    return sid;
}

} // namespace

void AclBuilder::AppendKnown(UCHAR type, UCHAR flags, ACCESS_MASK mask, PSID sid)
{
    ULONG sidLength = RtlLengthSid(sid);
    ULONG aceSize = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + sidLength;
    size_t at = aces_.size();
    aces_.resize(at + aceSize);
    ACCESS_ALLOWED_ACE ace{};
    ace.Header.AceType = type;
    ace.Header.AceFlags = flags;
    ace.Header.AceSize = (USHORT)aceSize;
    ace.Mask = mask;
    std::memcpy(aces_.data() + at, &ace, FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart));
    std::memcpy(aces_.data() + at + FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart), sid, sidLength);
    count_++;
}

void AclBuilder::AppendRaw(PACE_HEADER ace, UCHAR flags)
{
    size_t at = aces_.size();
    aces_.insert(aces_.end(), (PUCHAR)ace, (PUCHAR)ace + ace->AceSize);
    ((PACE_HEADER)(aces_.data() + at))->AceFlags = flags;
    count_++;
}

void AclBuilder::AppendAll(const AclBuilder &other)
{
    aces_.insert(aces_.end(), other.aces_.begin(), other.aces_.end());
    count_ += other.count_;
    NoteRevision(other.revision_);
}

std::vector<UCHAR> AclBuilder::Build() const
{
    size_t size = sizeof(ACL) + aces_.size();
    if (size > MAXUSHORT || count_ > MAXUSHORT)
        return {};
    std::vector<UCHAR> bytes(size);
    ACL header{};
    header.AclRevision = revision_;
    header.AclSize = (USHORT)size;
    header.AceCount = (USHORT)count_;
    std::memcpy(bytes.data(), &header, sizeof(header));
    if (!aces_.empty())
        std::memcpy(bytes.data() + sizeof(ACL), aces_.data(), aces_.size());
    return bytes;
}

bool InheritAces(PACL parent, const InheritContext &context, AclBuilder *out)
{
    bool inheritable = false;
    out->NoteRevision(parent->AclRevision);
    ForEachAce(parent, [&](PACE_HEADER ace) {
        UCHAR flags = ace->AceFlags;
        bool effective, propagate;
        if (context.container) {
            effective = (flags & CONTAINER_INHERIT_ACE) != 0;
            propagate = (flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) && !(flags & NO_PROPAGATE_INHERIT_ACE);
        } else {
            effective = (flags & OBJECT_INHERIT_ACE) != 0;
            propagate = false;
        }
        if (!effective && !propagate)
            return true;
        inheritable = true;

        UCHAR kept = flags & ~kInheritanceFlags; /* audit flags */
        UCHAR inherited = context.autoInherit ? INHERITED_ACE : 0;
        UCHAR passedOn = (flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) | kept | inherited;
        PSID sid = KnownAceSid(ace);
        if (sid == nullptr) {
            /* Not interpreted here: carried as it stands. */
            out->AppendRaw(ace, effective ? (propagate ? passedOn : (UCHAR)(kept | inherited))
                                          : (UCHAR)(passedOn | INHERIT_ONLY_ACE));
            return true;
        }
        ACCESS_MASK mask = ((PACCESS_ALLOWED_ACE)ace)->Mask;
        if (!effective) {
            out->AppendKnown(ace->AceType, passedOn | INHERIT_ONLY_ACE, mask, sid);
            return true;
        }
        PSID effectiveSid = EffectiveSid(sid, context);
        ACCESS_MASK effectiveMask = Mapped(mask, context.mapping);
        bool changed = effectiveSid != sid || (mask & kGenericRights) != 0;
        if (propagate && !changed) {
            out->AppendKnown(ace->AceType, passedOn, mask, sid);
            return true;
        }
        if (effectiveMask != 0)
            out->AppendKnown(ace->AceType, kept | inherited, effectiveMask, effectiveSid);
        if (propagate)
            out->AppendKnown(ace->AceType, passedOn | INHERIT_ONLY_ACE, mask, sid);
        return true;
    });
    return inheritable;
}

void AppendExplicitAces(PACL acl, const GENERIC_MAPPING *mapping, bool dropInherited, AclBuilder *out)
{
    out->NoteRevision(acl->AclRevision);
    ForEachAce(acl, [&](PACE_HEADER ace) {
        UCHAR flags = ace->AceFlags;
        if (dropInherited && (flags & INHERITED_ACE))
            return true;
        PSID sid = KnownAceSid(ace);
        bool staysHere = !(flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE));
        if (sid == nullptr || !staysHere) {
            out->AppendRaw(ace, flags);
            return true;
        }
        out->AppendKnown(ace->AceType, flags, Mapped(((PACCESS_ALLOWED_ACE)ace)->Mask, mapping), sid);
        return true;
    });
}

void AppendSelectedAces(PACL acl, LabelAces labels, bool inheritedOnly, AclBuilder *out)
{
    out->NoteRevision(acl->AclRevision);
    ForEachAce(acl, [&](PACE_HEADER ace) {
        bool label = ace->AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE;
        bool wanted = labels == LabelAces::All || (labels == LabelAces::Only) == label;
        if (wanted && (!inheritedOnly || (ace->AceFlags & INHERITED_ACE)))
            out->AppendRaw(ace, ace->AceFlags);
        return true;
    });
}

} // namespace se
