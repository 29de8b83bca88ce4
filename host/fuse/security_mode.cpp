/*
 * Linux permission bits and owners as Windows security descriptors, and back.
 *
 * The descriptors made here hold only allowed ACEs, and Windows adds up what every
 * matching ACE allows, so a caller gets the union of the classes it belongs to: the
 * owner also gets the other bits (and the group bits when it is a member of the file's
 * group), a group member also the other bits. Linux takes only the first class that
 * matches. The two agree whenever each class holds at least what the classes after it
 * hold (0755, 0644, 0750, 0700, ...), which is what programs set. For any other mode,
 * reading the descriptor back reports the owner and group bits as the union, so stat
 * shows the access a caller really has (except an owner who is also in the file's
 * group, who is shown the owner and other bits).
 *
 * Descriptors from the volume come from any Windows program: every length, offset,
 * count and size in them is checked against the buffer before it is used, and all
 * reads go through memcpy, since a hostile offset need not be aligned.
 */
#include "security_mode.h"

#include <wdm.h>

#include <cstring>
#include <initializer_list>

namespace fusebridge {

namespace {

/* ---- Rights ------------------------------------------------------------------------------ */

constexpr ACCESS_MASK kOwnerAlways =
    READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK kEveryoneAlways = FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;

constexpr ACCESS_MASK kDirectoryRead =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_READ_EA | READ_CONTROL | SYNCHRONIZE;
constexpr ACCESS_MASK kDirectoryWrite = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                        FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | SYNCHRONIZE;
constexpr ACCESS_MASK kDirectoryExecute = FILE_TRAVERSE | SYNCHRONIZE;

/* The rights of one rwx triple (bit 4 r, 2 w, 1 x). */
ACCESS_MASK MaskOfBits(uint32_t bits, bool directory)
{
    ACCESS_MASK mask = 0;
    if (bits & 4)
        mask |= directory ? kDirectoryRead : FILE_GENERIC_READ;
    if (bits & 2)
        mask |= directory ? kDirectoryWrite : FILE_GENERIC_WRITE;
    if (bits & 1)
        mask |= directory ? kDirectoryExecute : FILE_GENERIC_EXECUTE;
    return mask;
}

/* The rwx triple an ACE's mask speaks for: read data, write data, execute (the same
 * bits as list, add file and traverse on a directory). Generic rights count too: a
 * Windows program may store them unmapped. */
uint32_t BitsOfMask(ACCESS_MASK mask)
{
    uint32_t bits = 0;
    if (mask & GENERIC_ALL)
        bits = 7;
    if (mask & (FILE_READ_DATA | GENERIC_READ))
        bits |= 4;
    if (mask & (FILE_WRITE_DATA | GENERIC_WRITE))
        bits |= 2;
    if (mask & (FILE_EXECUTE | GENERIC_EXECUTE))
        bits |= 1;
    return bits;
}

/* ---- SIDs -------------------------------------------------------------------------------- */

constexpr size_t kSidHeader = 8; /* revision, count, authority */

/* A SID as bytes, of at most two sub-authorities here. */
struct SidImage {
    UCHAR bytes[kSidHeader + 2 * sizeof(ULONG)];
    size_t length;
};

SidImage MakeSid(UCHAR authority, std::initializer_list<ULONG> subAuthorities)
{
    SidImage sid = {};
    sid.bytes[0] = SID_REVISION;
    sid.bytes[1] = (UCHAR)subAuthorities.size();
    sid.bytes[7] = authority; /* the authority is big-endian; ours fit its last byte */
    size_t at = kSidHeader;
    for (ULONG sub : subAuthorities) {
        std::memcpy(sid.bytes + at, &sub, sizeof(sub)); /* sub-authorities are little-endian */
        at += sizeof(sub);
    }
    sid.length = at;
    return sid;
}

constexpr UCHAR kWorldAuthority = 1;
constexpr UCHAR kNtAuthority = 5;
constexpr UCHAR kLinuxAuthority = 22;
constexpr ULONG kLinuxUser = 1, kLinuxGroup = 2;

SidImage LinuxSid(ULONG kind, uint32_t id)
{
    return MakeSid(kLinuxAuthority, {kind, id});
}

SidImage EveryoneSid()
{
    return MakeSid(kWorldAuthority, {SECURITY_WORLD_RID});
}

SidImage AdministratorsSid()
{
    return MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
}

/* A SID found in a descriptor: where its bytes are and how many. */
struct SidView {
    const UCHAR *bytes;
    size_t length;
};

/* The SID at Offset within a buffer of Length bytes; false when it does not fit or
 * its header is no SID's. */
bool ReadSid(const UCHAR *buffer, size_t length, size_t offset, SidView *sid)
{
    if (offset > length || length - offset < kSidHeader)
        return false;
    const UCHAR *p = buffer + offset;
    if (p[0] != SID_REVISION || p[1] > SID_MAX_SUB_AUTHORITIES)
        return false;
    size_t size = kSidHeader + p[1] * sizeof(ULONG);
    if (length - offset < size)
        return false;
    sid->bytes = p;
    sid->length = size;
    return true;
}

bool SameSid(const SidView &a, const SidImage &b)
{
    return a.length == b.length && std::memcmp(a.bytes, b.bytes, b.length) == 0;
}

bool SameSid(const SidView &a, const SidView &b)
{
    return a.length == b.length && std::memcmp(a.bytes, b.bytes, a.length) == 0;
}

/* The Linux id a SID stands for: its id for S-1-22-<Kind>-<id>, 0 (root) for anything else. */
uint32_t IdOfSid(const SidView &sid, ULONG kind)
{
    static const UCHAR kLinuxPrefix[kSidHeader] = {SID_REVISION, 2, 0, 0, 0, 0, 0, kLinuxAuthority};
    if (sid.length != kSidHeader + 2 * sizeof(ULONG) || std::memcmp(sid.bytes, kLinuxPrefix, kSidHeader) != 0)
        return 0;
    ULONG sub[2];
    std::memcpy(sub, sid.bytes + kSidHeader, sizeof(sub));
    return sub[0] == kind ? sub[1] : 0;
}

/* Everyone, Users and Authenticated Users: every token holds them, so an ACE naming
 * any of them applies to every caller. */
bool IsWorldSid(const SidView &sid)
{
    static const SidImage kWorld[] = {
        EveryoneSid(),
        MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}),
        MakeSid(kNtAuthority, {SECURITY_AUTHENTICATED_USER_RID}),
    };
    for (const SidImage &world : kWorld) {
        if (SameSid(sid, world))
            return true;
    }
    return false;
}

/* ---- Writing ----------------------------------------------------------------------------- */

template <typename T>
void Put(std::vector<uint8_t> *out, size_t offset, const T &value)
{
    std::memcpy(out->data() + offset, &value, sizeof(value));
}

/* Appends an allowed ACE for Sid to the ACL being built at the end of Out. */
void AppendAllowedAce(std::vector<uint8_t> *out, const SidImage &sid, ACCESS_MASK mask)
{
    size_t at = out->size();
    size_t size = FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + sid.length;
    out->resize(at + size);
    ACE_HEADER header = {ACCESS_ALLOWED_ACE_TYPE, 0, (USHORT)size};
    Put(out, at, header);
    Put(out, at + FIELD_OFFSET(ACCESS_ALLOWED_ACE, Mask), mask);
    std::memcpy(out->data() + at + FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart), sid.bytes, sid.length);
}

void AppendSid(std::vector<uint8_t> *out, const SidImage &sid)
{
    out->insert(out->end(), sid.bytes, sid.bytes + sid.length);
}

/* ---- Reading ----------------------------------------------------------------------------- */

/* What one DACL allows and denies to each class: owner, group, world. */
struct ClassBits {
    uint32_t allowed[3] = {0, 0, 0};
    uint32_t denied[3] = {0, 0, 0};
};

enum { kOwnerClass, kGroupClass, kWorldClass };

/*
 * Walks the DACL at Offset (within Length bytes) and collects what its allowed and
 * denied ACEs give the owner, the group and the world. Inherit-only ACEs do not apply
 * to the file itself and are skipped; so are ACE types other than plain allowed and
 * denied (object and callback ACEs carry conditions this mapping cannot judge).
 * Returns false for an ACL that is malformed or does not fit the buffer.
 */
bool ReadDacl(const UCHAR *buffer, size_t length, size_t offset, const SidView &owner, const SidView &group,
              bool haveOwner, bool haveGroup, ClassBits *bits)
{
    if (offset > length || length - offset < sizeof(ACL))
        return false;
    ACL acl;
    std::memcpy(&acl, buffer + offset, sizeof(acl));
    if (acl.AclRevision < MIN_ACL_REVISION || acl.AclRevision > MAX_ACL_REVISION)
        return false;
    if (acl.AclSize < sizeof(ACL) || acl.AclSize > length - offset)
        return false;
    const size_t end = offset + acl.AclSize;
    size_t at = offset + sizeof(ACL);
    for (USHORT i = 0; i < acl.AceCount; ++i) {
        ACE_HEADER header;
        if (end - at < sizeof(header))
            return false;
        std::memcpy(&header, buffer + at, sizeof(header));
        if (header.AceSize < sizeof(header) || header.AceSize > end - at)
            return false;
        const size_t aceEnd = at + header.AceSize;
        bool allowed = header.AceType == ACCESS_ALLOWED_ACE_TYPE;
        bool denied = header.AceType == ACCESS_DENIED_ACE_TYPE;
        if (allowed || denied) {
            const size_t sidAt = at + FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart);
            if (header.AceSize < FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart))
                return false;
            ACCESS_MASK mask;
            std::memcpy(&mask, buffer + at + FIELD_OFFSET(ACCESS_ALLOWED_ACE, Mask), sizeof(mask));
            SidView sid;
            /* The SID must lie within the ACE, not merely within the buffer. */
            if (!ReadSid(buffer, aceEnd, sidAt, &sid))
                return false;
            if ((header.AceFlags & INHERIT_ONLY_ACE) == 0) {
                uint32_t *target = allowed ? bits->allowed : bits->denied;
                uint32_t rwx = BitsOfMask(mask);
                if (IsWorldSid(sid)) {
                    target[kOwnerClass] |= rwx;
                    target[kGroupClass] |= rwx;
                    target[kWorldClass] |= rwx;
                } else {
                    if (haveOwner && SameSid(sid, owner))
                        target[kOwnerClass] |= rwx;
                    if (haveGroup && SameSid(sid, group))
                        target[kGroupClass] |= rwx;
                }
            }
        }
        at = aceEnd;
    }
    return true;
}

PosixOwnership Unrestricted()
{
    PosixOwnership ownership;
    ownership.mode = 0777;
    return ownership;
}

} // namespace

std::vector<uint8_t> DescriptorOfOwnership(const PosixOwnership &ownership, bool directory)
{
    const SidImage owner = LinuxSid(kLinuxUser, ownership.uid);
    const SidImage group = LinuxSid(kLinuxGroup, ownership.gid);
    const uint32_t mode = ownership.mode;

    /* Windows' own self-relative order: header, DACL, owner, group. */
    std::vector<uint8_t> out(sizeof(SECURITY_DESCRIPTOR_RELATIVE) + sizeof(ACL));
    const size_t daclAt = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    AppendAllowedAce(&out, owner, MaskOfBits((mode >> 6) & 7, directory) | kOwnerAlways);
    AppendAllowedAce(&out, group, MaskOfBits((mode >> 3) & 7, directory));
    AppendAllowedAce(&out, EveryoneSid(), MaskOfBits(mode & 7, directory) | kEveryoneAlways);
    AppendAllowedAce(&out, AdministratorsSid(), FILE_ALL_ACCESS);
    const size_t ownerAt = out.size();
    AppendSid(&out, owner);
    const size_t groupAt = out.size();
    AppendSid(&out, group);

    ACL acl = {ACL_REVISION, 0, (USHORT)(ownerAt - daclAt), 4, 0};
    Put(&out, daclAt, acl);
    SECURITY_DESCRIPTOR_RELATIVE header = {};
    header.Revision = SECURITY_DESCRIPTOR_REVISION;
    header.Control = SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED;
    header.Owner = (ULONG)ownerAt;
    header.Group = (ULONG)groupAt;
    header.Dacl = (ULONG)daclAt;
    Put(&out, 0, header);
    return out;
}

/*
 * Deny ACEs are subtracted from the classes they name after every allow is added:
 * exact for ACLs in Windows' canonical order (denies first), and an under-report for
 * an ACL that allows a right before it denies it.
 */
PosixOwnership OwnershipOfDescriptor(const void *descriptor, size_t length)
{
    const UCHAR *buffer = static_cast<const UCHAR *>(descriptor);
    SECURITY_DESCRIPTOR_RELATIVE header;
    if (buffer == nullptr || length < sizeof(header))
        return Unrestricted();
    std::memcpy(&header, buffer, sizeof(header));
    if (header.Revision != SECURITY_DESCRIPTOR_REVISION || (header.Control & SE_SELF_RELATIVE) == 0)
        return Unrestricted();

    SidView owner = {}, group = {};
    bool haveOwner = header.Owner != 0, haveGroup = header.Group != 0;
    if ((haveOwner && !ReadSid(buffer, length, header.Owner, &owner)) ||
        (haveGroup && !ReadSid(buffer, length, header.Group, &group)))
        return Unrestricted();
    if ((header.Control & SE_DACL_PRESENT) == 0)
        return Unrestricted();

    PosixOwnership ownership;
    ownership.uid = haveOwner ? IdOfSid(owner, kLinuxUser) : 0;
    ownership.gid = haveGroup ? IdOfSid(group, kLinuxGroup) : 0;
    if (header.Dacl == 0) {
        ownership.mode = 0777; /* a null DACL: no protection at all */
        return ownership;
    }

    ClassBits bits;
    if (!ReadDacl(buffer, length, header.Dacl, owner, group, haveOwner, haveGroup, &bits))
        return Unrestricted();
    uint32_t mode = 0;
    for (int c = kOwnerClass; c <= kWorldClass; ++c)
        mode = (mode << 3) | (bits.allowed[c] & ~bits.denied[c] & 7);
    ownership.mode = mode;
    return ownership;
}

} // namespace fusebridge
