/*
 * The security reference monitor's interface for the rest of the stand-in and for
 * the harness (tests, the host): tokens for the machine's identities, thread
 * impersonation, and descriptors from SDDL text.
 *
 * Identity mapping (Linux world -> Windows world):
 *   uid U           -> user  S-1-22-1-U
 *   gid G           -> group S-1-22-2-G (primary group and each supplementary group)
 *   every token     -> also Everyone (S-1-1-0), Users (S-1-5-32-545), Authenticated Users (S-1-5-11)
 *   uid 0 (root)    -> also Administrators (S-1-5-32-544) enabled and the token's default owner, as in an
 *                      elevated Windows administrator's token, and the administrator privileges (present,
 *                      disabled by default as on Windows; AdjustTokenPrivilege enables them)
 *   other uids      -> SeChangeNotifyPrivilege (traverse) only, enabled
 * Default DACL of every token: (A;;GA;;;<default owner>)(A;;GA;;;SY) - the owner and SYSTEM get full
 * control, as Windows gives an elevated administrator's or a service's token.
 *
 * Every token returned here carries one reference for the caller (ob::Dereference drops it).
 */
#pragma once

#include <ntdef.h>
#include <ntstatus.h>
#include <km/pool.h>
#include <km/se.h>

#include <cstdint>
#include <string>
#include <vector>

#define SE_API __attribute__((visibility("default")))

struct _KTHREAD;
struct _KPROCESS;

namespace se {

/* The identifier authority of Linux identities: S-1-22-1-<uid> users, S-1-22-2-<gid> groups. */
constexpr UCHAR kLinuxAuthority = 22;
constexpr ULONG kLinuxUserRid = 1;
constexpr ULONG kLinuxGroupRid = 2;

/* The pool tag of token objects. */
constexpr ULONG kTokenTag = POOL_TAG('T', 'o', 'k', 'e');

/* A SID as bytes (Windows' binary form). */
using SidBytes = std::vector<UCHAR>;

SE_API SidBytes LinuxUserSid(uint32_t uid);
SE_API SidBytes LinuxGroupSid(uint32_t gid);
/* A SID from its SDDL spelling: an alias ("BA", "SY", ...) or "S-1-5-32-544". */
SE_API NTSTATUS SidFromSddl(PCWSTR text, SidBytes *sid);

/* ---- Tokens --------------------------------------------------------------------------------- */

struct TokenGroupTemplate {
    SidBytes sid;
    ULONG attributes; /* SE_GROUP_* */
};

/* Everything a token is made of. */
struct TokenTemplate {
    SidBytes user;
    std::vector<TokenGroupTemplate> groups;
    std::vector<LUID_AND_ATTRIBUTES> privileges; /* SE_PRIVILEGE_* attributes */
    ULONG defaultOwnerIndex = 0;                  /* 0 = the user, n = groups[n - 1] (which must carry SE_GROUP_OWNER) */
    SidBytes primaryGroup;
    std::vector<UCHAR> defaultDacl;               /* an ACL's bytes; empty = no default DACL */
    std::vector<SidBytes> restrictingSids;        /* a restricted token's second set of SIDs for access checks */
    ULONG restrictionFlags = 0;                   /* TOKEN_IS_RESTRICTED exactly when there are restricting SIDs;
                                                     TOKEN_WRITE_RESTRICTED (they limit write access only) needs
                                                     them; TOKEN_LOWBOX */
    LUID authenticationId{};                      /* logon session; zero = a new one */
    ULONG sessionId = 0;
};

/* A new primary token; null when the pool is exhausted or the description is inconsistent. */
SE_API PVOID CreateToken(const TokenTemplate &tokenTemplate);
/* LocalSystem (S-1-5-18): Administrators (owner, enabled), Everyone, Authenticated Users; every
 * privilege the system holds, enabled as in Windows' SYSTEM token. From the pool: the caller owns it. */
SE_API PVOID CreateSystemToken();
/* A Linux identity's token (see the mapping above). */
SE_API PVOID CreateLinuxUserToken(uint32_t uid, uint32_t gid, const std::vector<uint32_t> &groups);
SE_API TokenTemplate SystemTokenTemplate();
SE_API TokenTemplate LinuxUserTokenTemplate(uint32_t uid, uint32_t gid, const std::vector<uint32_t> &groups);

/* Changes to a token; each gives it a new modified-id. As NtAdjustPrivilegesToken: a privilege the
 * token does not hold gives STATUS_NOT_ALL_ASSIGNED and changes nothing. */
SE_API NTSTATUS AdjustTokenPrivilege(PVOID token, LUID privilege, bool enable);
/* Enables or disables a group; mandatory and deny-only groups cannot be changed
 * (STATUS_CANT_DISABLE_MANDATORY, STATUS_INVALID_PARAMETER); an absent one is STATUS_INVALID_PARAMETER. */
SE_API NTSTATUS AdjustTokenGroup(PVOID token, const SidBytes &group, bool enable);
/* The default owner must be the user or a group with SE_GROUP_OWNER (else STATUS_INVALID_OWNER). */
SE_API NTSTATUS SetTokenDefaultOwner(PVOID token, const SidBytes &owner);
/* The primary group must be the user or one of the token's groups (else STATUS_INVALID_PRIMARY_GROUP). */
SE_API NTSTATUS SetTokenPrimaryGroup(PVOID token, const SidBytes &group);
/* Replaces the default DACL (null = none). */
SE_API NTSTATUS SetTokenDefaultDacl(PVOID token, PACL dacl);

/* ---- Processes and threads ------------------------------------------------------------------ */

/* Gives a process its primary token (referenced here; null drops it). The previous one is dereferenced. */
SE_API void SetProcessToken(struct _KPROCESS *process, PVOID token);
/* Makes a thread impersonate a token at a level (referenced here), or stop impersonating (null).
 * A thread must stop impersonating before it ends. */
SE_API void SetThreadImpersonation(struct _KTHREAD *thread, PVOID token, SECURITY_IMPERSONATION_LEVEL level);

/* ---- Descriptors ---------------------------------------------------------------------------- */

/* Reads SDDL text into a self-relative descriptor in pool memory (the caller frees it with the tag).
 * Malformed text gives STATUS_INVALID_PARAMETER and allocates nothing. */
SE_API NTSTATUS SecurityDescriptorFromSddl(PCWSTR sddl, POOL_TYPE pool, ULONG tag,
                                           PSECURITY_DESCRIPTOR *selfRelative, ULONG *length);

/* The SDDL text of a descriptor (absolute or self-relative), as Windows writes it (see
 * sddl_writer.cpp); STATUS_NOT_SUPPORTED for ACE types SDDL is not written for here. */
SE_API NTSTATUS SddlFromSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, std::string *text);
/* A SID's SDDL spelling: its alias, else "S-1-...". */
SE_API std::string SidToSddl(PSID sid);

/* ---- Access states -------------------------------------------------------------------------- */

/* The auxiliary record behind ACCESS_STATE.AuxData (Windows' AUX_ACCESS_DATA, opaque to drivers).
 * Callers of SeCreateAccessState pass a buffer of at least this size. */
struct AuxAccessData {
    PPRIVILEGE_SET PrivilegesUsed;
    GENERIC_MAPPING GenericMapping;
    ACCESS_MASK AccessesToAudit;
    ACCESS_MASK MaximumAuditMask;
    GUID TransactionId;
};

/* A new locally unique identifier. */
SE_API LUID AllocateLuid();

} // namespace se
