/*
 * Tokens: the object type, creation from a description, the machine's system token
 * and the Linux identity mapping (see se/security.h), changes that renew the
 * modified-id, and SeQueryInformationToken.
 */
#include "se/se_private.h"

#include "ke/dispatcher.h"
#include "ke/thread.h"
#include "ob/object.h"

#include "machine.h"

#include <km/pool.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace se {
namespace {

constexpr ULONG kQueryTag = POOL_TAG('S', 'e', 'Q', 'i');
constexpr LUID kSystemLuid = {0x3E7, 0};     /* SYSTEM_LUID: the system's logon session */
constexpr ULONG kDynamicCharge = 1024;       /* what Windows charges for a token's dynamic part */
constexpr ULONG kTokenFlagsFromPrivileges =
    TOKEN_HAS_TRAVERSE_PRIVILEGE | TOKEN_HAS_BACKUP_PRIVILEGE | TOKEN_HAS_RESTORE_PRIVILEGE |
    TOKEN_HAS_IMPERSONATE_PRIVILEGE;
constexpr ULONG kRestrictionFlags = TOKEN_IS_RESTRICTED | TOKEN_WRITE_RESTRICTED | TOKEN_LOWBOX;

std::atomic<uint64_t> nextLuid{0x3E8}; /* the first one after SYSTEM_LUID */

void DeleteToken(void *body);

ob::ObjectType tokenType = {
    "Token",
    kTokenTag,
    {TOKEN_READ, TOKEN_WRITE, TOKEN_EXECUTE, TOKEN_ALL_ACCESS},
    TOKEN_ALL_ACCESS,
    DeleteToken,
    nullptr,
};
POBJECT_TYPE tokenTypePointer = reinterpret_cast<POBJECT_TYPE>(&tokenType);

/* The system process's token is a boot object in host memory, like the process itself, so that the
 * pool and object audits see only what drivers and tests leave behind. */
constexpr std::align_val_t kObjectAlignment{16};

ULONG LongAlign(ULONG length)
{
    return (length + 3) & ~3u;
}

void *AllocatePart(bool hostMemory, size_t size)
{
    if (hostMemory)
        return ::operator new(size, kObjectAlignment, std::nothrow);
    return ExAllocatePoolWithTag(PagedPool, size, kTokenTag);
}

void FreePart(bool hostMemory, void *part)
{
    if (hostMemory)
        ::operator delete(part, kObjectAlignment);
    else
        ExFreePoolWithTag(part, kTokenTag);
}

void DeleteToken(void *body)
{
    auto token = static_cast<Token *>(body);
    if (token->dynamicPart != nullptr)
        FreePart(token->hostMemory, token->dynamicPart);
    token->dynamicPart = nullptr;
    token->signature = 0;
    token->~Token();
}

/* Recomputes the flags that follow the privileges (caller holds the lock exclusive, or owns the token). */
void UpdatePrivilegeFlags(Token *token)
{
    ULONG flags = token->flags & ~kTokenFlagsFromPrivileges;
    if (PrivilegeEnabled(token, SE_CHANGE_NOTIFY_PRIVILEGE))
        flags |= TOKEN_HAS_TRAVERSE_PRIVILEGE;
    if (PrivilegeEnabled(token, SE_BACKUP_PRIVILEGE))
        flags |= TOKEN_HAS_BACKUP_PRIVILEGE;
    if (PrivilegeEnabled(token, SE_RESTORE_PRIVILEGE))
        flags |= TOKEN_HAS_RESTORE_PRIVILEGE;
    if (PrivilegeEnabled(token, SE_IMPERSONATE_PRIVILEGE))
        flags |= TOKEN_HAS_IMPERSONATE_PRIVILEGE;
    token->flags = flags;
}

/* Builds the dynamic part (primary group, then default DACL) and installs it, freeing the old one.
 * Caller holds the lock exclusive, or owns the token. */
NTSTATUS ReplaceDynamicPart(Token *token, PSID primaryGroup, PACL defaultDacl)
{
    ULONG groupLength = RtlLengthSid(primaryGroup);
    ULONG daclLength = defaultDacl != nullptr ? defaultDacl->AclSize : 0;
    ULONG length = LongAlign(groupLength) + LongAlign(daclLength);
    auto part = (PUCHAR)AllocatePart(token->hostMemory, length);
    if (part == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(part, 0, length);
    std::memcpy(part, primaryGroup, groupLength);
    if (defaultDacl != nullptr)
        std::memcpy(part + LongAlign(groupLength), defaultDacl, daclLength);
    if (token->dynamicPart != nullptr)
        FreePart(token->hostMemory, token->dynamicPart);
    token->dynamicPart = part;
    token->dynamicLength = length;
    token->primaryGroup = part;
    token->defaultDacl = defaultDacl != nullptr ? (PACL)(part + LongAlign(groupLength)) : nullptr;
    return STATUS_SUCCESS;
}

bool TemplateConsistent(const TokenTemplate &tokenTemplate)
{
    auto validSid = [](const SidBytes &sid) {
        return sid.size() >= RtlLengthRequiredSid(0) && RtlValidSid((PSID)sid.data()) &&
               RtlLengthSid((PSID)sid.data()) == sid.size();
    };
    if (!validSid(tokenTemplate.user) || !validSid(tokenTemplate.primaryGroup))
        return false;
    for (const auto &group : tokenTemplate.groups)
        if (!validSid(group.sid))
            return false;
    if (tokenTemplate.defaultOwnerIndex > tokenTemplate.groups.size())
        return false;
    if (tokenTemplate.defaultOwnerIndex != 0 &&
        !(tokenTemplate.groups[tokenTemplate.defaultOwnerIndex - 1].attributes & SE_GROUP_OWNER))
        return false;
    for (const auto &sid : tokenTemplate.restrictingSids)
        if (!validSid(sid))
            return false;
    if (!tokenTemplate.defaultDacl.empty()) {
        if (tokenTemplate.defaultDacl.size() < sizeof(ACL))
            return false;
        auto acl = (PACL)tokenTemplate.defaultDacl.data();
        if (acl->AclSize > tokenTemplate.defaultDacl.size() || !RtlValidAcl(acl))
            return false;
    }
    // As SeFilterToken makes them: a token is restricted exactly when it has restricting SIDs, and
    // write-restricted only as a restricted token.
    ULONG flags = tokenTemplate.restrictionFlags;
    bool restricted = !tokenTemplate.restrictingSids.empty();
    if ((flags & ~kRestrictionFlags) != 0 || ((flags & TOKEN_IS_RESTRICTED) != 0) != restricted)
        return false;
    return !(flags & TOKEN_WRITE_RESTRICTED) || restricted;
}

/* Makes a token from a description; hostMemory for the machine's own system token. */
Token *BuildToken(const TokenTemplate &tokenTemplate, bool hostMemory)
{
    if (!TemplateConsistent(tokenTemplate))
        return nullptr;
    ULONG entries = 1 + (ULONG)tokenTemplate.groups.size();
    ULONG restricting = (ULONG)tokenTemplate.restrictingSids.size();
    ULONG sidBytes = (ULONG)tokenTemplate.user.size();
    for (const auto &group : tokenTemplate.groups)
        sidBytes += (ULONG)group.sid.size();
    for (const auto &sid : tokenTemplate.restrictingSids)
        sidBytes += (ULONG)sid.size();
    size_t bodySize = sizeof(Token) + (entries + restricting) * sizeof(SID_AND_ATTRIBUTES) +
                      tokenTemplate.privileges.size() * sizeof(LUID_AND_ATTRIBUTES) + sidBytes;

    void *body = ob::CreateObject(&tokenType, bodySize, hostMemory ? ob::kHostMemory | ob::kBootObject : 0);
    if (body == nullptr)
        return nullptr;

    auto token = new (body) Token();
    token->signature = kTokenSignature;
    token->hostMemory = hostMemory;
    token->type = TokenPrimary;
    token->tokenId = AllocateLuid();
    token->modifiedId = AllocateLuid();
    const LUID &logon = tokenTemplate.authenticationId;
    token->authenticationId = (logon.LowPart != 0 || logon.HighPart != 0) ? logon : AllocateLuid();
    token->sessionId = tokenTemplate.sessionId;
    token->flags = tokenTemplate.restrictionFlags;

    auto cursor = (PUCHAR)(token + 1);
    token->userAndGroupCount = entries;
    token->userAndGroups = (PSID_AND_ATTRIBUTES)cursor;
    cursor += entries * sizeof(SID_AND_ATTRIBUTES);
    token->restrictingSidCount = restricting;
    token->restrictingSids = (PSID_AND_ATTRIBUTES)cursor;
    cursor += restricting * sizeof(SID_AND_ATTRIBUTES);
    token->privilegeCount = (ULONG)tokenTemplate.privileges.size();
    token->privileges = (PLUID_AND_ATTRIBUTES)cursor;
    cursor += tokenTemplate.privileges.size() * sizeof(LUID_AND_ATTRIBUTES);
    for (ULONG i = 0; i < token->privilegeCount; ++i)
        token->privileges[i] = tokenTemplate.privileges[i];

    auto placeSid = [&cursor](const SidBytes &sid) {
        PSID placed = cursor;
        std::memcpy(cursor, sid.data(), sid.size());
        cursor += sid.size();
        return placed;
    };
    token->userAndGroups[0].Sid = placeSid(tokenTemplate.user);
    token->userAndGroups[0].Attributes = 0;
    for (ULONG i = 1; i < entries; ++i) {
        token->userAndGroups[i].Sid = placeSid(tokenTemplate.groups[i - 1].sid);
        token->userAndGroups[i].Attributes = tokenTemplate.groups[i - 1].attributes;
    }
    for (ULONG i = 0; i < restricting; ++i) {
        token->restrictingSids[i].Sid = placeSid(tokenTemplate.restrictingSids[i]);
        token->restrictingSids[i].Attributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
    }
    token->defaultOwnerIndex = tokenTemplate.defaultOwnerIndex;
    UpdatePrivilegeFlags(token);

    PACL dacl = tokenTemplate.defaultDacl.empty() ? nullptr : (PACL)tokenTemplate.defaultDacl.data();
    if (!NT_SUCCESS(ReplaceDynamicPart(token, (PSID)tokenTemplate.primaryGroup.data(), dacl))) {
        ob::Dereference(token);
        return nullptr;
    }
    return token;
}

/* Default DACL: the default owner and SYSTEM get GENERIC_ALL. */
std::vector<UCHAR> DefaultDacl(const SidBytes &owner)
{
    ULONG length = sizeof(ACL) + 2 * FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) + (ULONG)owner.size() +
                   RtlLengthSid(LocalSystemSid());
    std::vector<UCHAR> acl(length);
    RtlCreateAcl((PACL)acl.data(), length, ACL_REVISION);
    RtlAddAccessAllowedAce((PACL)acl.data(), ACL_REVISION, GENERIC_ALL, (PSID)owner.data());
    RtlAddAccessAllowedAce((PACL)acl.data(), ACL_REVISION, GENERIC_ALL, LocalSystemSid());
    return acl;
}

SidBytes Bytes(PSID sid)
{
    auto p = (const UCHAR *)sid;
    return SidBytes(p, p + RtlLengthSid(sid));
}

LUID_AND_ATTRIBUTES PrivilegeEntry(LONG value, ULONG attributes)
{
    return {RtlConvertLongToLuid(value), attributes};
}

constexpr ULONG kOn = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
constexpr ULONG kGroupOn = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

/* ---- The machine component: the system process's token ------------------------------------- */

void BootSecurity()
{
    Token *token = BuildToken(SystemTokenTemplate(), true);
    if (token == nullptr)
        KeBugCheckEx(kSecuritySystemBugCheck, kProcessWithoutToken, (ULONG_PTR)ke::SystemProcess(), 0, 0);
    SetProcessToken(ke::SystemProcess(), token);
    ob::Dereference(token); /* the process holds it now */
}

void AuditSecurity(machine::AuditReport &report)
{
    PVOID token = ke::SystemProcess() != nullptr ? ke::SystemProcess()->Token : nullptr;
    if (token == nullptr)
        return;
    int64_t references = ob::HeaderOf(token)->pointerCount.load();
    if (references > 1)
        report.findings.push_back("se: the system token holds " + std::to_string(references - 1) +
                                  " reference(s) besides the system process's (unreleased subject contexts?)");
}

/* The token goes with its last reference; one leaked (and reported by the audit) keeps it alive. */
void ShutdownSecurity()
{
    SetProcessToken(ke::SystemProcess(), nullptr);
}

const bool registered = [] {
    machine::RegisterComponent(
        {"security", machine::kOrderObjects + 5, BootSecurity, AuditSecurity, ShutdownSecurity});
    return true;
}();

/* ---- Information queries --------------------------------------------------------------------- */

void *AllocateQuery(size_t length)
{
    return ExAllocatePoolWithTag(PagedPool, length, kQueryTag);
}

/* A TOKEN_GROUPS (or, for the user, a TOKEN_USER) record of count entries of a token's list. */
PVOID QuerySids(const SID_AND_ATTRIBUTES *list, ULONG count, bool asGroups)
{
    ULONG header = asGroups ? FIELD_OFFSET(TOKEN_GROUPS, Groups) : 0;
    ULONG length = header + count * sizeof(SID_AND_ATTRIBUTES);
    for (ULONG i = 0; i < count; ++i)
        length += RtlLengthSid(list[i].Sid);
    auto buffer = (PUCHAR)AllocateQuery(length);
    if (buffer == nullptr)
        return nullptr;
    if (asGroups)
        ((PTOKEN_GROUPS)buffer)->GroupCount = count;
    auto entries = (PSID_AND_ATTRIBUTES)(buffer + header);
    PUCHAR sids = (PUCHAR)(entries + count);
    for (ULONG i = 0; i < count; ++i) {
        const SID_AND_ATTRIBUTES &source = list[i];
        ULONG sidLength = RtlLengthSid(source.Sid);
        std::memcpy(sids, source.Sid, sidLength);
        entries[i].Sid = sids;
        entries[i].Attributes = source.Attributes;
        sids += sidLength;
    }
    return buffer;
}

/* A record holding one pointer followed by the thing it points at (TOKEN_OWNER and the like). */
PVOID QueryPointerRecord(const void *thing, ULONG thingLength)
{
    auto buffer = (PUCHAR)AllocateQuery(sizeof(PVOID) + thingLength);
    if (buffer == nullptr)
        return nullptr;
    PVOID target = thing != nullptr ? buffer + sizeof(PVOID) : nullptr;
    std::memcpy(buffer, &target, sizeof(PVOID));
    if (thing != nullptr)
        std::memcpy(buffer + sizeof(PVOID), thing, thingLength);
    return buffer;
}

NTSTATUS QueryToken(Token *token, TOKEN_INFORMATION_CLASS infoClass, PVOID *information)
{
    PVOID buffer = nullptr;
    switch (infoClass) {
    case TokenUser:
        buffer = QuerySids(token->userAndGroups, 1, false);
        break;
    case TokenGroups:
        buffer = QuerySids(token->userAndGroups + 1, token->userAndGroupCount - 1, true);
        break;
    case TokenRestrictedSids:
        buffer = QuerySids(token->restrictingSids, token->restrictingSidCount, true);
        break;
    case TokenPrivileges: {
        ULONG length = FIELD_OFFSET(TOKEN_PRIVILEGES, Privileges) + token->privilegeCount * sizeof(LUID_AND_ATTRIBUTES);
        auto privileges = (PTOKEN_PRIVILEGES)AllocateQuery(length);
        if (privileges != nullptr) {
            privileges->PrivilegeCount = token->privilegeCount;
            std::memcpy(privileges->Privileges, token->privileges, token->privilegeCount * sizeof(LUID_AND_ATTRIBUTES));
        }
        buffer = privileges;
        break;
    }
    case TokenOwner: {
        PSID owner = token->userAndGroups[token->defaultOwnerIndex].Sid;
        buffer = QueryPointerRecord(owner, RtlLengthSid(owner));
        break;
    }
    case TokenPrimaryGroup:
        buffer = QueryPointerRecord(token->primaryGroup, RtlLengthSid(token->primaryGroup));
        break;
    case TokenDefaultDacl:
        buffer = QueryPointerRecord(token->defaultDacl, token->defaultDacl ? token->defaultDacl->AclSize : 0);
        break;
    case TokenType: {
        auto type = (PTOKEN_TYPE)AllocateQuery(sizeof(TOKEN_TYPE));
        if (type != nullptr)
            *type = token->type;
        buffer = type;
        break;
    }
    case TokenImpersonationLevel:
        return STATUS_INVALID_INFO_CLASS; /* every token here is a primary token */
    case TokenSessionId:
        *information = (PVOID)(ULONG_PTR)token->sessionId; /* the value itself, not a buffer */
        return STATUS_SUCCESS;
    case TokenStatistics: {
        auto statistics = (PTOKEN_STATISTICS)AllocateQuery(sizeof(TOKEN_STATISTICS));
        if (statistics != nullptr) {
            std::memset(statistics, 0, sizeof(*statistics));
            statistics->TokenId = token->tokenId;
            statistics->AuthenticationId = token->authenticationId;
            statistics->ExpirationTime.QuadPart = MAXLONGLONG;
            statistics->TokenType = token->type;
            statistics->ImpersonationLevel = SecurityAnonymous;
            statistics->DynamicCharged = std::max(kDynamicCharge, token->dynamicLength);
            statistics->DynamicAvailable = statistics->DynamicCharged - token->dynamicLength;
            statistics->GroupCount = token->userAndGroupCount - 1;
            statistics->PrivilegeCount = token->privilegeCount;
            statistics->ModifiedId = token->modifiedId;
        }
        buffer = statistics;
        break;
    }
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *information = buffer;
    return STATUS_SUCCESS;
}

/* Runs a change under the token's exclusive lock; a successful one renews the modified-id. */
template <typename Change>
NTSTATUS ChangeToken(PVOID pointer, Change change)
{
    Token *token = TokenFromPointer(pointer);
    token->lock.LockExclusive();
    NTSTATUS status = change(token);
    if (status == STATUS_SUCCESS)
        token->modifiedId = AllocateLuid();
    token->lock.UnlockExclusive();
    return status;
}

} // namespace

[[noreturn]] void SecurityBugCheck(ULONG_PTR invariant, const void *subject)
{
    KeBugCheckEx(kSecuritySystemBugCheck, invariant, (ULONG_PTR)subject, 0, 0);
}

LUID AllocateLuid()
{
    uint64_t value = nextLuid.fetch_add(1);
    LUID luid;
    luid.LowPart = (ULONG)value;
    luid.HighPart = (LONG)(value >> 32);
    return luid;
}

Token *TokenFromPointer(PVOID pointer)
{
    if (pointer == nullptr)
        SecurityBugCheck(kBadTokenPointer, pointer);
    ob::ObjectHeader *header = ob::CheckedHeaderOf(pointer);
    auto token = static_cast<Token *>(pointer);
    if (header->type != &tokenType || token->signature != kTokenSignature)
        SecurityBugCheck(kBadTokenPointer, pointer);
    return token;
}

bool PrivilegeEnabled(const Token *token, LUID privilege)
{
    for (ULONG i = 0; i < token->privilegeCount; ++i) {
        const LUID_AND_ATTRIBUTES &entry = token->privileges[i];
        if (RtlEqualLuid(&entry.Luid, &privilege))
            return (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    return false;
}

bool PrivilegeEnabled(const Token *token, ULONG privilege)
{
    return PrivilegeEnabled(token, RtlConvertLongToLuid((LONG)privilege));
}

bool SidInToken(const Token *token, PSID sid, bool denyAce)
{
    for (ULONG i = 0; i < token->userAndGroupCount; ++i) {
        const SID_AND_ATTRIBUTES &entry = token->userAndGroups[i];
        if (!RtlEqualSid(entry.Sid, sid))
            continue;
        if (entry.Attributes & SE_GROUP_USE_FOR_DENY_ONLY)
            return denyAce;
        if (i == 0 || (entry.Attributes & SE_GROUP_ENABLED))
            return true;
    }
    return false;
}

bool SidMayOwn(const Token *token, PSID sid)
{
    if (RtlEqualSid(token->userAndGroups[0].Sid, sid))
        return true;
    for (ULONG i = 1; i < token->userAndGroupCount; ++i)
        if ((token->userAndGroups[i].Attributes & SE_GROUP_OWNER) && RtlEqualSid(token->userAndGroups[i].Sid, sid))
            return true;
    return false;
}

bool SidInRestrictingSids(const Token *token, PSID sid)
{
    for (ULONG i = 0; i < token->restrictingSidCount; ++i)
        if (RtlEqualSid(token->restrictingSids[i].Sid, sid))
            return true;
    return false;
}

TokenTemplate SystemTokenTemplate()
{
    TokenTemplate tokenTemplate;
    tokenTemplate.user = Bytes(LocalSystemSid());
    tokenTemplate.groups = {
        {Bytes(AdministratorsSid()), SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED | SE_GROUP_OWNER},
        {Bytes(WorldSid()), kGroupOn},
        {Bytes(AuthenticatedUsersSid()), kGroupOn},
    };
    // The privileges of Windows' SYSTEM token, with the ones enabled there enabled here.
    tokenTemplate.privileges = {
        PrivilegeEntry(SE_CREATE_TOKEN_PRIVILEGE, 0),
        PrivilegeEntry(SE_ASSIGNPRIMARYTOKEN_PRIVILEGE, 0),
        PrivilegeEntry(SE_LOCK_MEMORY_PRIVILEGE, kOn),
        PrivilegeEntry(SE_INCREASE_QUOTA_PRIVILEGE, 0),
        PrivilegeEntry(SE_TCB_PRIVILEGE, kOn),
        PrivilegeEntry(SE_SECURITY_PRIVILEGE, 0),
        PrivilegeEntry(SE_TAKE_OWNERSHIP_PRIVILEGE, 0),
        PrivilegeEntry(SE_LOAD_DRIVER_PRIVILEGE, 0),
        PrivilegeEntry(SE_SYSTEM_PROFILE_PRIVILEGE, kOn),
        PrivilegeEntry(SE_SYSTEMTIME_PRIVILEGE, 0),
        PrivilegeEntry(SE_PROF_SINGLE_PROCESS_PRIVILEGE, kOn),
        PrivilegeEntry(SE_INC_BASE_PRIORITY_PRIVILEGE, kOn),
        PrivilegeEntry(SE_CREATE_PAGEFILE_PRIVILEGE, kOn),
        PrivilegeEntry(SE_CREATE_PERMANENT_PRIVILEGE, kOn),
        PrivilegeEntry(SE_BACKUP_PRIVILEGE, 0),
        PrivilegeEntry(SE_RESTORE_PRIVILEGE, 0),
        PrivilegeEntry(SE_SHUTDOWN_PRIVILEGE, 0),
        PrivilegeEntry(SE_DEBUG_PRIVILEGE, kOn),
        PrivilegeEntry(SE_AUDIT_PRIVILEGE, kOn),
        PrivilegeEntry(SE_SYSTEM_ENVIRONMENT_PRIVILEGE, 0),
        PrivilegeEntry(SE_CHANGE_NOTIFY_PRIVILEGE, kOn),
        PrivilegeEntry(SE_UNDOCK_PRIVILEGE, 0),
        PrivilegeEntry(SE_MANAGE_VOLUME_PRIVILEGE, 0),
        PrivilegeEntry(SE_IMPERSONATE_PRIVILEGE, kOn),
        PrivilegeEntry(SE_CREATE_GLOBAL_PRIVILEGE, kOn),
        PrivilegeEntry(SE_INC_WORKING_SET_PRIVILEGE, kOn),
        PrivilegeEntry(SE_TIME_ZONE_PRIVILEGE, kOn),
        PrivilegeEntry(SE_CREATE_SYMBOLIC_LINK_PRIVILEGE, kOn),
        PrivilegeEntry(SE_DELEGATE_SESSION_USER_IMPERSONATE_PRIVILEGE, kOn),
    };
    tokenTemplate.defaultOwnerIndex = 1; /* Administrators */
    tokenTemplate.primaryGroup = Bytes(LocalSystemSid());
    // Windows' SYSTEM token: SYSTEM all, Administrators read/execute/read-control.
    std::vector<UCHAR> dacl(sizeof(ACL) + 2 * FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) +
                            RtlLengthSid(LocalSystemSid()) + RtlLengthSid(AdministratorsSid()));
    RtlCreateAcl((PACL)dacl.data(), (ULONG)dacl.size(), ACL_REVISION);
    RtlAddAccessAllowedAce((PACL)dacl.data(), ACL_REVISION, GENERIC_ALL, LocalSystemSid());
    RtlAddAccessAllowedAce((PACL)dacl.data(), ACL_REVISION, GENERIC_READ | GENERIC_EXECUTE | READ_CONTROL,
                           AdministratorsSid());
    tokenTemplate.defaultDacl = dacl;
    tokenTemplate.authenticationId = kSystemLuid;
    return tokenTemplate;
}

TokenTemplate LinuxUserTokenTemplate(uint32_t uid, uint32_t gid, const std::vector<uint32_t> &groups)
{
    TokenTemplate tokenTemplate;
    tokenTemplate.user = LinuxUserSid(uid);
    tokenTemplate.primaryGroup = LinuxGroupSid(gid);
    tokenTemplate.groups.push_back({LinuxGroupSid(gid), kGroupOn});
    for (uint32_t group : groups) {
        bool seen = group == gid;
        for (const auto &known : tokenTemplate.groups)
            seen = seen || known.sid == LinuxGroupSid(group);
        if (!seen)
            tokenTemplate.groups.push_back({LinuxGroupSid(group), kGroupOn});
    }
    tokenTemplate.groups.push_back({Bytes(WorldSid()), kGroupOn});
    tokenTemplate.groups.push_back({Bytes(UsersSid()), kGroupOn});
    tokenTemplate.groups.push_back({Bytes(AuthenticatedUsersSid()), kGroupOn});
    if (uid == 0) {
        tokenTemplate.groups.push_back({Bytes(AdministratorsSid()), kGroupOn | SE_GROUP_OWNER});
        tokenTemplate.defaultOwnerIndex = (ULONG)tokenTemplate.groups.size();
        // An elevated administrator's privileges; as on Windows most are held but disabled.
        tokenTemplate.privileges = {
            PrivilegeEntry(SE_INCREASE_QUOTA_PRIVILEGE, 0),
            PrivilegeEntry(SE_SECURITY_PRIVILEGE, 0),
            PrivilegeEntry(SE_TAKE_OWNERSHIP_PRIVILEGE, 0),
            PrivilegeEntry(SE_LOAD_DRIVER_PRIVILEGE, 0),
            PrivilegeEntry(SE_SYSTEM_PROFILE_PRIVILEGE, 0),
            PrivilegeEntry(SE_SYSTEMTIME_PRIVILEGE, 0),
            PrivilegeEntry(SE_PROF_SINGLE_PROCESS_PRIVILEGE, 0),
            PrivilegeEntry(SE_INC_BASE_PRIORITY_PRIVILEGE, 0),
            PrivilegeEntry(SE_CREATE_PAGEFILE_PRIVILEGE, 0),
            PrivilegeEntry(SE_BACKUP_PRIVILEGE, 0),
            PrivilegeEntry(SE_RESTORE_PRIVILEGE, 0),
            PrivilegeEntry(SE_SHUTDOWN_PRIVILEGE, 0),
            PrivilegeEntry(SE_DEBUG_PRIVILEGE, 0),
            PrivilegeEntry(SE_SYSTEM_ENVIRONMENT_PRIVILEGE, 0),
            PrivilegeEntry(SE_CHANGE_NOTIFY_PRIVILEGE, kOn),
            PrivilegeEntry(SE_REMOTE_SHUTDOWN_PRIVILEGE, 0),
            PrivilegeEntry(SE_UNDOCK_PRIVILEGE, 0),
            PrivilegeEntry(SE_MANAGE_VOLUME_PRIVILEGE, 0),
            PrivilegeEntry(SE_IMPERSONATE_PRIVILEGE, kOn),
            PrivilegeEntry(SE_CREATE_GLOBAL_PRIVILEGE, kOn),
            PrivilegeEntry(SE_INC_WORKING_SET_PRIVILEGE, 0),
            PrivilegeEntry(SE_TIME_ZONE_PRIVILEGE, 0),
            PrivilegeEntry(SE_CREATE_SYMBOLIC_LINK_PRIVILEGE, 0),
            PrivilegeEntry(SE_DELEGATE_SESSION_USER_IMPERSONATE_PRIVILEGE, 0),
        };
    } else {
        tokenTemplate.privileges = {PrivilegeEntry(SE_CHANGE_NOTIFY_PRIVILEGE, kOn)};
    }
    ULONG ownerIndex = tokenTemplate.defaultOwnerIndex;
    SidBytes owner = ownerIndex == 0 ? tokenTemplate.user : tokenTemplate.groups[ownerIndex - 1].sid;
    tokenTemplate.defaultDacl = DefaultDacl(owner);
    return tokenTemplate;
}

PVOID CreateToken(const TokenTemplate &tokenTemplate)
{
    return BuildToken(tokenTemplate, false);
}

PVOID CreateSystemToken()
{
    return BuildToken(SystemTokenTemplate(), false);
}

PVOID CreateLinuxUserToken(uint32_t uid, uint32_t gid, const std::vector<uint32_t> &groups)
{
    return BuildToken(LinuxUserTokenTemplate(uid, gid, groups), false);
}

NTSTATUS AdjustTokenPrivilege(PVOID token, LUID privilege, bool enable)
{
    return ChangeToken(token, [&](Token *t) {
        for (ULONG i = 0; i < t->privilegeCount; ++i) {
            LUID_AND_ATTRIBUTES &entry = t->privileges[i];
            if (!RtlEqualLuid(&entry.Luid, &privilege))
                continue;
            entry.Attributes = enable ? (entry.Attributes | SE_PRIVILEGE_ENABLED) : (entry.Attributes & ~SE_PRIVILEGE_ENABLED);
            UpdatePrivilegeFlags(t);
            return STATUS_SUCCESS;
        }
        return STATUS_NOT_ALL_ASSIGNED;
    });
}

NTSTATUS AdjustTokenGroup(PVOID token, const SidBytes &group, bool enable)
{
    return ChangeToken(token, [&](Token *t) {
        for (ULONG i = 1; i < t->userAndGroupCount; ++i) {
            SID_AND_ATTRIBUTES &entry = t->userAndGroups[i];
            if (!RtlEqualSid(entry.Sid, (PSID)group.data()))
                continue;
            if (entry.Attributes & SE_GROUP_USE_FOR_DENY_ONLY)
                return STATUS_INVALID_PARAMETER;
            if (entry.Attributes & SE_GROUP_MANDATORY)
                return enable ? STATUS_SUCCESS : STATUS_CANT_DISABLE_MANDATORY;
            entry.Attributes = enable ? (entry.Attributes | SE_GROUP_ENABLED) : (entry.Attributes & ~SE_GROUP_ENABLED);
            return STATUS_SUCCESS;
        }
        return STATUS_INVALID_PARAMETER;
    });
}

NTSTATUS SetTokenDefaultOwner(PVOID token, const SidBytes &owner)
{
    return ChangeToken(token, [&](Token *t) {
        for (ULONG i = 0; i < t->userAndGroupCount; ++i) {
            if (RtlEqualSid(t->userAndGroups[i].Sid, (PSID)owner.data()) && SidMayOwn(t, (PSID)owner.data())) {
                t->defaultOwnerIndex = i;
                return STATUS_SUCCESS;
            }
        }
        return STATUS_INVALID_OWNER;
    });
}

NTSTATUS SetTokenPrimaryGroup(PVOID token, const SidBytes &group)
{
    return ChangeToken(token, [&](Token *t) {
        for (ULONG i = 0; i < t->userAndGroupCount; ++i)
            if (RtlEqualSid(t->userAndGroups[i].Sid, (PSID)group.data()))
                return ReplaceDynamicPart(t, (PSID)group.data(), t->defaultDacl);
        return STATUS_INVALID_PRIMARY_GROUP;
    });
}

NTSTATUS SetTokenDefaultDacl(PVOID token, PACL dacl)
{
    if (dacl != nullptr && !RtlValidAcl(dacl))
        return STATUS_INVALID_ACL;
    return ChangeToken(token, [&](Token *t) {
        // The primary group is copied out first: the new dynamic part replaces the one it lives in.
        SidBytes group = Bytes(t->primaryGroup);
        return ReplaceDynamicPart(t, (PSID)group.data(), dacl);
    });
}

} // namespace se

extern "C" {

NTKERNELAPI POBJECT_TYPE *SeTokenObjectType = &se::tokenTypePointer;

NTKERNELAPI BOOLEAN NTAPI SeTokenIsAdmin(PACCESS_TOKEN Token)
{
    ke::CheckIrql((const void *)&SeTokenIsAdmin, PASSIVE_LEVEL);
    se::Token *token = se::TokenFromPointer(Token);
    se::SharedTokenGuard guard(token);
    return se::SidInToken(token, se::AdministratorsSid(), false) ? TRUE : FALSE;
}

NTKERNELAPI BOOLEAN NTAPI SeTokenIsRestricted(PACCESS_TOKEN Token)
{
    ke::CheckIrql((const void *)&SeTokenIsRestricted, PASSIVE_LEVEL);
    se::Token *token = se::TokenFromPointer(Token);
    return (token->flags & TOKEN_IS_RESTRICTED) ? TRUE : FALSE;
}

NTKERNELAPI NTSTATUS NTAPI SeQueryInformationToken(PACCESS_TOKEN Token,
                                                   TOKEN_INFORMATION_CLASS TokenInformationClass,
                                                   PVOID *TokenInformation)
{
    ke::CheckIrql((const void *)&SeQueryInformationToken, PASSIVE_LEVEL);
    se::Token *token = se::TokenFromPointer(Token);
    se::SharedTokenGuard guard(token);
    return se::QueryToken(token, TokenInformationClass, TokenInformation);
}

} // extern "C"
