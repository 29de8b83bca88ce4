/*
 * The security reference monitor's records and the helpers its files share.
 *
 * Synchronisation
 *   1. Each token has a reader/writer lock (Token::lock). Checks and queries hold it
 *      shared while they read group and privilege attributes and the defaults;
 *      SeLockSubjectContext holds it shared across several checks. Changes to a token
 *      (AdjustTokenPrivilege, SetTokenDefaultDacl, ...) hold it exclusive. It is a
 *      leaf: nothing else is acquired while it is held, so it stays outside the
 *      dispatcher and the lock verifier. A writer spins until the readers leave.
 *   2. The binding lock (Bindings::lock, subject.cpp) guards every process's Token field and every
 *      thread's ImpersonationToken field with its impersonation level, so that a
 *      capture takes a reference on a token that cannot be swapped away under it.
 *      Tokens are referenced under it and dereferenced after it is dropped.
 * Immutable after creation: a token's user and group SIDs, its restricting SIDs, its
 * privilege LUIDs, its ids and restriction flags.
 */
#pragma once

#include "se/security.h"

#include <ntdef.h>
#include <ntstatus.h>
#include <km/bugcheck.h>
#include <km/se.h>

#include <atomic>
#include <cstdint>
#include <sched.h>
#include <vector>

namespace se {

/* SECURITY_SYSTEM: the stand-in stops here when a security invariant breaks. Parameter 1 names it. */
constexpr ULONG kSecuritySystemBugCheck = 0x00000029;
constexpr ULONG_PTR kBadTokenPointer = 1;       /* P2 = the pointer that is no token */
constexpr ULONG_PTR kSubjectNotLocked = 2;      /* P2 = the subject context unlocked more often than locked */
constexpr ULONG_PTR kProcessWithoutToken = 3;   /* P2 = the process */

[[noreturn]] void SecurityBugCheck(ULONG_PTR invariant, const void *subject);

class TokenLock {
public:
    void LockShared() noexcept
    {
        for (;;) {
            int32_t state = state_.load(std::memory_order_relaxed);
            if (state >= 0 && state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire))
                return;
            sched_yield();
        }
    }
    void UnlockShared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
    void LockExclusive() noexcept
    {
        for (;;) {
            int32_t idle = 0;
            if (state_.compare_exchange_weak(idle, -1, std::memory_order_acquire))
                return;
            sched_yield();
        }
    }
    void UnlockExclusive() noexcept { state_.store(0, std::memory_order_release); }
    int32_t State() const noexcept { return state_.load(std::memory_order_relaxed); }

private:
    std::atomic<int32_t> state_{0}; /* > 0 readers, -1 a writer */
};

constexpr ULONG kTokenSignature = 0x6E6B6F54; /* "Tokn": checked before every use */

/* A token: this record followed by its variable part (SID_AND_ATTRIBUTES array, LUID_AND_ATTRIBUTES
 * array, SIDs). The primary group and default DACL live in a separate dynamic part so that they can be
 * replaced. */
struct Token {
    ULONG signature;
    ULONG flags;                         /* TOKEN_* flags; privilege-derived bits follow the privileges (lock) */
    LUID tokenId;
    LUID authenticationId;
    LUID modifiedId;                     /* lock (exclusive to change) */
    TOKEN_TYPE type;
    ULONG sessionId;
    bool hostMemory;                     /* the machine's own system token: host memory, not pool */
    TokenLock lock;
    ULONG userAndGroupCount;             /* [0] is the user */
    PSID_AND_ATTRIBUTES userAndGroups;   /* attributes: lock */
    ULONG privilegeCount;
    PLUID_AND_ATTRIBUTES privileges;     /* attributes: lock */
    ULONG restrictingSidCount;           /* non-zero exactly for a restricted token (TOKEN_IS_RESTRICTED) */
    PSID_AND_ATTRIBUTES restrictingSids; /* immutable; every one counts as enabled */
    ULONG defaultOwnerIndex;             /* lock */
    PSID primaryGroup;                   /* lock; inside dynamicPart */
    PACL defaultDacl;                    /* lock; inside dynamicPart; null = none */
    PVOID dynamicPart;                   /* lock */
    ULONG dynamicLength;
};

/* The token behind a PACCESS_TOKEN; stops the machine when it is none. */
Token *TokenFromPointer(PVOID pointer);

/* Lock guards. */
class SharedTokenGuard {
public:
    explicit SharedTokenGuard(Token *token) noexcept : token_(token) { token_->lock.LockShared(); }
    ~SharedTokenGuard() { token_->lock.UnlockShared(); }
    SharedTokenGuard(const SharedTokenGuard &) = delete;
    SharedTokenGuard &operator=(const SharedTokenGuard &) = delete;

private:
    Token *token_;
};

/* ---- Queries on a token (caller holds its lock shared or exclusive) -------------------------- */

/* Whether the SID matches the token's user or an enabled group. For a deny ACE, deny-only groups
 * match too; for anything else they never do. */
bool SidInToken(const Token *token, PSID sid, bool denyAce);
/* Whether the token may make the SID an object's owner: its user, or a group with SE_GROUP_OWNER. */
bool SidMayOwn(const Token *token, PSID sid);
/* Whether the SID is one of a restricted token's restricting SIDs (they match allow and deny ACEs alike). */
bool SidInRestrictingSids(const Token *token, PSID sid);
/* Whether the token holds the privilege enabled. */
bool PrivilegeEnabled(const Token *token, ULONG privilege);
bool PrivilegeEnabled(const Token *token, LUID privilege);

/* ---- Subject contexts ---------------------------------------------------------------------- */

Token *EffectiveToken(PSECURITY_SUBJECT_CONTEXT context);

/* ---- Descriptors --------------------------------------------------------------------------- */

/* A descriptor's parts, whatever its form (null = absent; dacl null with SE_DACL_PRESENT = NULL DACL). */
struct DescriptorParts {
    SECURITY_DESCRIPTOR_CONTROL control;
    PSID owner;
    PSID group;
    PACL sacl;
    PACL dacl;
};

/* Reads the parts of an absolute or self-relative descriptor (offsets are trusted: validate first). */
void ReadDescriptor(PSECURITY_DESCRIPTOR descriptor, DescriptorParts *parts);
/* Bytes of the self-relative form of these parts. */
ULONG SelfRelativeLength(const DescriptorParts &parts);
/* Writes the self-relative form (header, then SACL, DACL, owner, group, each padded to 4 bytes). */
void WriteSelfRelative(const DescriptorParts &parts, PVOID buffer);

/* ---- ACLs ---------------------------------------------------------------------------------- */

/* The SID of an ACE of a type whose SID follows its mask (allowed, denied, audit, alarm, label), else null. */
PSID KnownAceSid(PACE_HEADER ace);

/* Calls visit(ace) for each ACE of a well-formed ACL in stored order, until visit returns false; a
 * malformed ACE ends the walk. */
template <typename Visit>
void ForEachAce(PACL acl, Visit visit)
{
    ULONG offset = sizeof(ACL);
    for (ULONG i = 0; i < acl->AceCount; ++i) {
        if (offset + sizeof(ACE_HEADER) > acl->AclSize)
            return;
        auto ace = (PACE_HEADER)((PUCHAR)acl + offset);
        if (ace->AceSize < sizeof(ACE_HEADER) || offset + ace->AceSize > acl->AclSize)
            return;
        offset += ace->AceSize;
        if (!visit(ace))
            return;
    }
}

/* An ACL under construction: ACEs appended in order, then laid out as one ACL. */
class AclBuilder {
public:
    /* Appends an ACE whose SID follows its mask (allowed, denied, audit, alarm, label). */
    void AppendKnown(UCHAR type, UCHAR flags, ACCESS_MASK mask, PSID sid);
    /* Appends any ACE as it stands, with new flags. */
    void AppendRaw(PACE_HEADER ace, UCHAR flags);
    /* Appends every ACE of another builder, in its order. */
    void AppendAll(const AclBuilder &other);
    /* Raises the revision to that of a source ACL (object ACEs need ACL_REVISION_DS). */
    void NoteRevision(UCHAR revision) { revision_ = revision > revision_ ? revision : revision_; }
    ULONG Count() const { return count_; }
    /* The ACL's bytes; empty when the ACEs do not fit an ACL's 16-bit size. */
    std::vector<UCHAR> Build() const;

private:
    std::vector<UCHAR> aces_;
    ULONG count_ = 0;
    UCHAR revision_ = ACL_REVISION;
};

/* Which ACEs of a SACL a copy takes: all, only the mandatory label ACEs, or all but those. */
enum class LabelAces { All, Only, Without };
/* Appends, as they stand, the ACEs of acl the filter takes; inheritedOnly: only those marked INHERITED_ACE. */
void AppendSelectedAces(PACL acl, LabelAces labels, bool inheritedOnly, AclBuilder *out);

/* What an object or container child inherits from one parent ACL. */
struct InheritContext {
    bool container;                 /* the child is a directory */
    bool autoInherit;               /* mark inherited ACEs INHERITED_ACE */
    PSID owner;                     /* substituted for CREATOR OWNER */
    PSID group;                     /* substituted for CREATOR GROUP */
    const GENERIC_MAPPING *mapping; /* maps generic rights of the ACEs that take effect on the child */
};

/* Appends the child's inherited ACEs to out; returns whether the parent held any ACE the child inherits. */
bool InheritAces(PACL parent, const InheritContext &context, AclBuilder *out);
/* Appends an ACL's ACEs as explicit ones: generic rights of ACEs that take effect here and propagate
 * nowhere are mapped; with dropInherited, ACEs marked INHERITED_ACE are left out. */
void AppendExplicitAces(PACL acl, const GENERIC_MAPPING *mapping, bool dropInherited, AclBuilder *out);

/* ---- Well-known SIDs ----------------------------------------------------------------------- */

PSID WorldSid();
PSID LocalSystemSid();
PSID AdministratorsSid();
PSID UsersSid();
PSID AuthenticatedUsersSid();
PSID OwnerRightsSid();
PSID CreatorOwnerSid();
PSID CreatorGroupSid();

} // namespace se
