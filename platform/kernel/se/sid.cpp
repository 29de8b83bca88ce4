/*
 * Security identifiers: the Rtl routines, the well-known SIDs the kernel exports
 * (SeExports) and the SIDs of Linux identities.
 */
#include "se/se_private.h"

#include <cstring>

namespace se {
namespace {

/* Room for a SID of up to eight sub-authorities (the longest well-known one has six). */
struct WellKnownSid {
    SID sid;
    ULONG more[7];
};

/* The SIDs SeExports points at, in host memory for the life of the library. */
struct WellKnownSids {
    WellKnownSid null, world, local, creatorOwner, creatorGroup, ntAuthority, dialup, network, batch, interactive,
        localSystem, admins, users, guests, powerUsers, accountOps, systemOps, printOps, backupOps,
        authenticatedUsers, restricted, anonymous, localService, networkService, iuser, untrustedLabel, lowLabel,
        mediumLabel, highLabel, systemLabel, ownerRights, allAppPackages, userModeDrivers, procTrustWinTcb,
        trustedInstaller;
};

void Make(WellKnownSid &storage, UCHAR authority, std::initializer_list<ULONG> subAuthorities)
{
    std::memset(&storage, 0, sizeof(storage));
    storage.sid.Revision = SID_REVISION;
    storage.sid.SubAuthorityCount = (UCHAR)subAuthorities.size();
    storage.sid.IdentifierAuthority.Value[5] = authority;
    ULONG *out = storage.sid.SubAuthority;
    for (ULONG rid : subAuthorities)
        *out++ = rid;
}

WellKnownSids BuildWellKnownSids()
{
    WellKnownSids w;
    Make(w.null, 0, {SECURITY_NULL_RID});
    Make(w.world, 1, {SECURITY_WORLD_RID});
    Make(w.local, 2, {SECURITY_LOCAL_RID});
    Make(w.creatorOwner, 3, {SECURITY_CREATOR_OWNER_RID});
    Make(w.creatorGroup, 3, {SECURITY_CREATOR_GROUP_RID});
    Make(w.ntAuthority, 5, {});
    Make(w.dialup, 5, {SECURITY_DIALUP_RID});
    Make(w.network, 5, {SECURITY_NETWORK_RID});
    Make(w.batch, 5, {SECURITY_BATCH_RID});
    Make(w.interactive, 5, {SECURITY_INTERACTIVE_RID});
    Make(w.localSystem, 5, {SECURITY_LOCAL_SYSTEM_RID});
    Make(w.admins, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
    Make(w.users, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS});
    Make(w.guests, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_GUESTS});
    Make(w.powerUsers, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_POWER_USERS});
    Make(w.accountOps, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ACCOUNT_OPS});
    Make(w.systemOps, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_SYSTEM_OPS});
    Make(w.printOps, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_PRINT_OPS});
    Make(w.backupOps, 5, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_BACKUP_OPS});
    Make(w.authenticatedUsers, 5, {SECURITY_AUTHENTICATED_USER_RID});
    Make(w.restricted, 5, {SECURITY_RESTRICTED_CODE_RID});
    Make(w.anonymous, 5, {SECURITY_ANONYMOUS_LOGON_RID});
    Make(w.localService, 5, {SECURITY_LOCAL_SERVICE_RID});
    Make(w.networkService, 5, {SECURITY_NETWORK_SERVICE_RID});
    Make(w.iuser, 5, {SECURITY_IUSER_RID});
    Make(w.untrustedLabel, 16, {SECURITY_MANDATORY_UNTRUSTED_RID});
    Make(w.lowLabel, 16, {SECURITY_MANDATORY_LOW_RID});
    Make(w.mediumLabel, 16, {SECURITY_MANDATORY_MEDIUM_RID});
    Make(w.highLabel, 16, {SECURITY_MANDATORY_HIGH_RID});
    Make(w.systemLabel, 16, {SECURITY_MANDATORY_SYSTEM_RID});
    Make(w.ownerRights, 3, {SECURITY_CREATOR_OWNER_RIGHTS_RID});
    Make(w.allAppPackages, 15, {SECURITY_APP_PACKAGE_BASE_RID, SECURITY_BUILTIN_PACKAGE_ANY_PACKAGE});
    Make(w.userModeDrivers, 5, {84, 0, 0, 0, 0, 0});
    Make(w.procTrustWinTcb, 19, {1024, 8192});
    Make(w.trustedInstaller, 5, {80, 956008885, 3418522649, 1831038044, 1853292631, 2271478464});
    return w;
}

WellKnownSids &Sids()
{
    static WellKnownSids sids = BuildWellKnownSids();
    return sids;
}

LUID Privilege(LONG value)
{
    return RtlConvertLongToLuid(value);
}

SE_EXPORTS BuildExports()
{
    WellKnownSids &w = Sids();
    SE_EXPORTS e;
    std::memset(&e, 0, sizeof(e));
    e.SeCreateTokenPrivilege = Privilege(SE_CREATE_TOKEN_PRIVILEGE);
    e.SeAssignPrimaryTokenPrivilege = Privilege(SE_ASSIGNPRIMARYTOKEN_PRIVILEGE);
    e.SeLockMemoryPrivilege = Privilege(SE_LOCK_MEMORY_PRIVILEGE);
    e.SeIncreaseQuotaPrivilege = Privilege(SE_INCREASE_QUOTA_PRIVILEGE);
    e.SeUnsolicitedInputPrivilege = Privilege(SE_MACHINE_ACCOUNT_PRIVILEGE);
    e.SeTcbPrivilege = Privilege(SE_TCB_PRIVILEGE);
    e.SeSecurityPrivilege = Privilege(SE_SECURITY_PRIVILEGE);
    e.SeTakeOwnershipPrivilege = Privilege(SE_TAKE_OWNERSHIP_PRIVILEGE);
    e.SeLoadDriverPrivilege = Privilege(SE_LOAD_DRIVER_PRIVILEGE);
    e.SeCreatePagefilePrivilege = Privilege(SE_CREATE_PAGEFILE_PRIVILEGE);
    e.SeIncreaseBasePriorityPrivilege = Privilege(SE_INC_BASE_PRIORITY_PRIVILEGE);
    e.SeSystemProfilePrivilege = Privilege(SE_SYSTEM_PROFILE_PRIVILEGE);
    e.SeSystemtimePrivilege = Privilege(SE_SYSTEMTIME_PRIVILEGE);
    e.SeProfileSingleProcessPrivilege = Privilege(SE_PROF_SINGLE_PROCESS_PRIVILEGE);
    e.SeCreatePermanentPrivilege = Privilege(SE_CREATE_PERMANENT_PRIVILEGE);
    e.SeBackupPrivilege = Privilege(SE_BACKUP_PRIVILEGE);
    e.SeRestorePrivilege = Privilege(SE_RESTORE_PRIVILEGE);
    e.SeShutdownPrivilege = Privilege(SE_SHUTDOWN_PRIVILEGE);
    e.SeDebugPrivilege = Privilege(SE_DEBUG_PRIVILEGE);
    e.SeAuditPrivilege = Privilege(SE_AUDIT_PRIVILEGE);
    e.SeSystemEnvironmentPrivilege = Privilege(SE_SYSTEM_ENVIRONMENT_PRIVILEGE);
    e.SeChangeNotifyPrivilege = Privilege(SE_CHANGE_NOTIFY_PRIVILEGE);
    e.SeRemoteShutdownPrivilege = Privilege(SE_REMOTE_SHUTDOWN_PRIVILEGE);
    e.SeNullSid = &w.null;
    e.SeWorldSid = &w.world;
    e.SeLocalSid = &w.local;
    e.SeCreatorOwnerSid = &w.creatorOwner;
    e.SeCreatorGroupSid = &w.creatorGroup;
    e.SeNtAuthoritySid = &w.ntAuthority;
    e.SeDialupSid = &w.dialup;
    e.SeNetworkSid = &w.network;
    e.SeBatchSid = &w.batch;
    e.SeInteractiveSid = &w.interactive;
    e.SeLocalSystemSid = &w.localSystem;
    e.SeAliasAdminsSid = &w.admins;
    e.SeAliasUsersSid = &w.users;
    e.SeAliasGuestsSid = &w.guests;
    e.SeAliasPowerUsersSid = &w.powerUsers;
    e.SeAliasAccountOpsSid = &w.accountOps;
    e.SeAliasSystemOpsSid = &w.systemOps;
    e.SeAliasPrintOpsSid = &w.printOps;
    e.SeAliasBackupOpsSid = &w.backupOps;
    e.SeAuthenticatedUsersSid = &w.authenticatedUsers;
    e.SeRestrictedSid = &w.restricted;
    e.SeAnonymousLogonSid = &w.anonymous;
    e.SeUndockPrivilege = Privilege(SE_UNDOCK_PRIVILEGE);
    e.SeSyncAgentPrivilege = Privilege(SE_SYNC_AGENT_PRIVILEGE);
    e.SeEnableDelegationPrivilege = Privilege(SE_ENABLE_DELEGATION_PRIVILEGE);
    e.SeLocalServiceSid = &w.localService;
    e.SeNetworkServiceSid = &w.networkService;
    e.SeManageVolumePrivilege = Privilege(SE_MANAGE_VOLUME_PRIVILEGE);
    e.SeImpersonatePrivilege = Privilege(SE_IMPERSONATE_PRIVILEGE);
    e.SeCreateGlobalPrivilege = Privilege(SE_CREATE_GLOBAL_PRIVILEGE);
    e.SeTrustedCredManAccessPrivilege = Privilege(SE_TRUSTED_CREDMAN_ACCESS_PRIVILEGE);
    e.SeRelabelPrivilege = Privilege(SE_RELABEL_PRIVILEGE);
    e.SeIncreaseWorkingSetPrivilege = Privilege(SE_INC_WORKING_SET_PRIVILEGE);
    e.SeTimeZonePrivilege = Privilege(SE_TIME_ZONE_PRIVILEGE);
    e.SeCreateSymbolicLinkPrivilege = Privilege(SE_CREATE_SYMBOLIC_LINK_PRIVILEGE);
    e.SeIUserSid = &w.iuser;
    e.SeUntrustedMandatorySid = &w.untrustedLabel;
    e.SeLowMandatorySid = &w.lowLabel;
    e.SeMediumMandatorySid = &w.mediumLabel;
    e.SeHighMandatorySid = &w.highLabel;
    e.SeSystemMandatorySid = &w.systemLabel;
    e.SeOwnerRightsSid = &w.ownerRights;
    e.SeAllAppPackagesSid = &w.allAppPackages;
    e.SeUserModeDriversSid = &w.userModeDrivers;
    e.SeProcTrustWinTcbSid = &w.procTrustWinTcb;
    e.SeTrustedInstallerSid = &w.trustedInstaller;
    e.SeDelegateSessionUserImpersonatePrivilege = Privilege(SE_DELEGATE_SESSION_USER_IMPERSONATE_PRIVILEGE);
    /* The app-silo SIDs are left null: the stand-in has no app silos. */
    return e;
}

SE_EXPORTS exportsTable = BuildExports();

SidBytes LinuxSid(ULONG kind, uint32_t id)
{
    SidBytes bytes(RtlLengthRequiredSid(2));
    SID_IDENTIFIER_AUTHORITY authority = {{0, 0, 0, 0, 0, kLinuxAuthority}};
    RtlInitializeSid(bytes.data(), &authority, 2);
    *RtlSubAuthoritySid(bytes.data(), 0) = kind;
    *RtlSubAuthoritySid(bytes.data(), 1) = id;
    return bytes;
}

} // namespace

PSID WorldSid() { return &Sids().world; }
PSID LocalSystemSid() { return &Sids().localSystem; }
PSID AdministratorsSid() { return &Sids().admins; }
PSID UsersSid() { return &Sids().users; }
PSID AuthenticatedUsersSid() { return &Sids().authenticatedUsers; }
PSID OwnerRightsSid() { return &Sids().ownerRights; }
PSID CreatorOwnerSid() { return &Sids().creatorOwner; }
PSID CreatorGroupSid() { return &Sids().creatorGroup; }

SidBytes LinuxUserSid(uint32_t uid)
{
    return LinuxSid(kLinuxUserRid, uid);
}

SidBytes LinuxGroupSid(uint32_t gid)
{
    return LinuxSid(kLinuxGroupRid, gid);
}

} // namespace se

extern "C" {

NTKERNELAPI PSE_EXPORTS SeExports = &se::exportsTable;

NTSYSAPI ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount)
{
    return (ULONG)(sizeof(SID) - sizeof(ULONG) + SubAuthorityCount * sizeof(ULONG));
}

NTSYSAPI ULONG NTAPI RtlLengthSid(PSID Sid)
{
    return RtlLengthRequiredSid(((PISID)Sid)->SubAuthorityCount);
}

NTSYSAPI BOOLEAN NTAPI RtlValidSid(PSID Sid)
{
    auto sid = (PISID)Sid;
    return sid != nullptr && sid->Revision == SID_REVISION && sid->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

NTSYSAPI BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2)
{
    auto a = (PISID)Sid1;
    auto b = (PISID)Sid2;
    if (a->Revision != b->Revision || a->SubAuthorityCount != b->SubAuthorityCount)
        return FALSE;
    return std::memcmp(a, b, RtlLengthSid(a)) == 0;
}

NTSYSAPI NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                         UCHAR SubAuthorityCount)
{
    if (SubAuthorityCount > SID_MAX_SUB_AUTHORITIES)
        return STATUS_INVALID_PARAMETER;
    auto sid = (PISID)Sid;
    sid->Revision = SID_REVISION;
    sid->SubAuthorityCount = SubAuthorityCount;
    sid->IdentifierAuthority = *IdentifierAuthority;
    return STATUS_SUCCESS;
}

NTSYSAPI PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority)
{
    return &((PISID)Sid)->SubAuthority[SubAuthority];
}

NTSYSAPI PUCHAR NTAPI RtlSubAuthorityCountSid(PSID Sid)
{
    return &((PISID)Sid)->SubAuthorityCount;
}

NTSYSAPI NTSTATUS NTAPI RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid)
{
    ULONG length = RtlLengthSid(SourceSid);
    if (DestinationSidLength < length)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(DestinationSid, SourceSid, length);
    return STATUS_SUCCESS;
}

} // extern "C"
