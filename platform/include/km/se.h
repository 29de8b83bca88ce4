/*
 * Security reference monitor: SIDs, ACLs, security descriptors, tokens, subject
 * contexts, access states and access checks. Layouts and values are Windows'
 * own (winnt.h, wdm.h, ntifs.h), so that descriptors stored by the driver are
 * byte-for-byte what Windows would store.
 */
#pragma once

#include <ntdef.h>
#include <km/ob.h>
#include <km/ps.h>
#include <km/pool.h>

#ifndef ANYSIZE_ARRAY
#define ANYSIZE_ARRAY 1
#endif

/* ---- Security identifiers --------------------------------------------------------------- */

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[ANYSIZE_ARRAY];
} SID, *PISID;

typedef PVOID PSID;

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SID_RECOMMENDED_SUB_AUTHORITIES 1
#define SECURITY_MAX_SID_SIZE (sizeof(SID) - sizeof(ULONG) + (SID_MAX_SUB_AUTHORITIES * sizeof(ULONG)))

typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    ULONG Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;

#define SECURITY_NULL_SID_AUTHORITY         {0, 0, 0, 0, 0, 0}
#define SECURITY_WORLD_SID_AUTHORITY        {0, 0, 0, 0, 0, 1}
#define SECURITY_LOCAL_SID_AUTHORITY        {0, 0, 0, 0, 0, 2}
#define SECURITY_CREATOR_SID_AUTHORITY      {0, 0, 0, 0, 0, 3}
#define SECURITY_NON_UNIQUE_AUTHORITY       {0, 0, 0, 0, 0, 4}
#define SECURITY_NT_AUTHORITY               {0, 0, 0, 0, 0, 5}
#define SECURITY_RESOURCE_MANAGER_AUTHORITY {0, 0, 0, 0, 0, 9}
#define SECURITY_APP_PACKAGE_AUTHORITY      {0, 0, 0, 0, 0, 15}
#define SECURITY_MANDATORY_LABEL_AUTHORITY  {0, 0, 0, 0, 0, 16}
#define SECURITY_PROCESS_TRUST_AUTHORITY    {0, 0, 0, 0, 0, 19}

#define SECURITY_NULL_RID                 (0x00000000L)
#define SECURITY_WORLD_RID                (0x00000000L)
#define SECURITY_LOCAL_RID                (0x00000000L)
#define SECURITY_CREATOR_OWNER_RID        (0x00000000L)
#define SECURITY_CREATOR_GROUP_RID        (0x00000001L)
#define SECURITY_CREATOR_OWNER_SERVER_RID (0x00000002L)
#define SECURITY_CREATOR_GROUP_SERVER_RID (0x00000003L)
#define SECURITY_CREATOR_OWNER_RIGHTS_RID (0x00000004L)

#define SECURITY_DIALUP_RID               (0x00000001L)
#define SECURITY_NETWORK_RID              (0x00000002L)
#define SECURITY_BATCH_RID                (0x00000003L)
#define SECURITY_INTERACTIVE_RID          (0x00000004L)
#define SECURITY_LOGON_IDS_RID            (0x00000005L)
#define SECURITY_SERVICE_RID              (0x00000006L)
#define SECURITY_ANONYMOUS_LOGON_RID      (0x00000007L)
#define SECURITY_PROXY_RID                (0x00000008L)
#define SECURITY_ENTERPRISE_CONTROLLERS_RID (0x00000009L)
#define SECURITY_PRINCIPAL_SELF_RID       (0x0000000AL)
#define SECURITY_AUTHENTICATED_USER_RID   (0x0000000BL)
#define SECURITY_RESTRICTED_CODE_RID      (0x0000000CL)
#define SECURITY_IUSER_RID                (0x00000011L)
#define SECURITY_LOCAL_SYSTEM_RID         (0x00000012L)
#define SECURITY_LOCAL_SERVICE_RID        (0x00000013L)
#define SECURITY_NETWORK_SERVICE_RID      (0x00000014L)
#define SECURITY_BUILTIN_DOMAIN_RID       (0x00000020L)

#define DOMAIN_ALIAS_RID_ADMINS           (0x00000220L)
#define DOMAIN_ALIAS_RID_USERS            (0x00000221L)
#define DOMAIN_ALIAS_RID_GUESTS           (0x00000222L)
#define DOMAIN_ALIAS_RID_POWER_USERS      (0x00000223L)
#define DOMAIN_ALIAS_RID_ACCOUNT_OPS      (0x00000224L)
#define DOMAIN_ALIAS_RID_SYSTEM_OPS       (0x00000225L)
#define DOMAIN_ALIAS_RID_PRINT_OPS        (0x00000226L)
#define DOMAIN_ALIAS_RID_BACKUP_OPS       (0x00000227L)

#define SECURITY_MANDATORY_UNTRUSTED_RID  (0x00000000L)
#define SECURITY_MANDATORY_LOW_RID        (0x00001000L)
#define SECURITY_MANDATORY_MEDIUM_RID     (0x00002000L)
#define SECURITY_MANDATORY_HIGH_RID       (0x00003000L)
#define SECURITY_MANDATORY_SYSTEM_RID     (0x00004000L)

#define SECURITY_APP_PACKAGE_BASE_RID     (0x00000002L)
#define SECURITY_BUILTIN_PACKAGE_ANY_PACKAGE (0x00000001L)

/* ---- Access control lists ---------------------------------------------------------------- */

typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;

#define ACL_REVISION     (2)
#define ACL_REVISION_DS  (4)
#define ACL_REVISION1    (1)
#define MIN_ACL_REVISION ACL_REVISION2
#define ACL_REVISION2    (2)
#define ACL_REVISION3    (3)
#define ACL_REVISION4    (4)
#define MAX_ACL_REVISION ACL_REVISION4

typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;
} ACE_HEADER, *PACE_HEADER;

#define ACCESS_MIN_MS_ACE_TYPE                  (0x0)
#define ACCESS_ALLOWED_ACE_TYPE                 (0x0)
#define ACCESS_DENIED_ACE_TYPE                  (0x1)
#define SYSTEM_AUDIT_ACE_TYPE                   (0x2)
#define SYSTEM_ALARM_ACE_TYPE                   (0x3)
#define ACCESS_MAX_MS_V2_ACE_TYPE               (0x3)
#define ACCESS_ALLOWED_COMPOUND_ACE_TYPE        (0x4)
#define ACCESS_MAX_MS_V3_ACE_TYPE               (0x4)
#define ACCESS_MIN_MS_OBJECT_ACE_TYPE           (0x5)
#define ACCESS_ALLOWED_OBJECT_ACE_TYPE          (0x5)
#define ACCESS_DENIED_OBJECT_ACE_TYPE           (0x6)
#define SYSTEM_AUDIT_OBJECT_ACE_TYPE            (0x7)
#define SYSTEM_ALARM_OBJECT_ACE_TYPE            (0x8)
#define ACCESS_MAX_MS_OBJECT_ACE_TYPE           (0x8)
#define ACCESS_MAX_MS_V4_ACE_TYPE               (0x8)
#define ACCESS_MAX_MS_ACE_TYPE                  (0x8)
#define ACCESS_ALLOWED_CALLBACK_ACE_TYPE        (0x9)
#define ACCESS_DENIED_CALLBACK_ACE_TYPE         (0xA)
#define ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE (0xB)
#define ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE  (0xC)
#define SYSTEM_AUDIT_CALLBACK_ACE_TYPE          (0xD)
#define SYSTEM_ALARM_CALLBACK_ACE_TYPE          (0xE)
#define SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE   (0xF)
#define SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE   (0x10)
#define SYSTEM_MANDATORY_LABEL_ACE_TYPE         (0x11)
#define SYSTEM_RESOURCE_ATTRIBUTE_ACE_TYPE      (0x12)
#define SYSTEM_SCOPED_POLICY_ID_ACE_TYPE        (0x13)
#define SYSTEM_PROCESS_TRUST_LABEL_ACE_TYPE     (0x14)
#define SYSTEM_ACCESS_FILTER_ACE_TYPE           (0x15)
#define ACCESS_MAX_MS_V5_ACE_TYPE               (0x15)

/* ACE flags: inheritance (VALID_INHERIT_FLAGS) and audit. */
#define OBJECT_INHERIT_ACE         (0x1)
#define CONTAINER_INHERIT_ACE      (0x2)
#define NO_PROPAGATE_INHERIT_ACE   (0x4)
#define INHERIT_ONLY_ACE           (0x8)
#define INHERITED_ACE              (0x10)
#define VALID_INHERIT_FLAGS        (0x1F)
#define CRITICAL_ACE_FLAG          (0x20)
#define SUCCESSFUL_ACCESS_ACE_FLAG (0x40)
#define FAILED_ACCESS_ACE_FLAG     (0x80)
#define TRUST_PROTECTED_FILTER_ACE_FLAG (0x40)

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

typedef struct _ACCESS_DENIED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;

typedef struct _SYSTEM_AUDIT_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} SYSTEM_AUDIT_ACE, *PSYSTEM_AUDIT_ACE;

typedef struct _SYSTEM_ALARM_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} SYSTEM_ALARM_ACE, *PSYSTEM_ALARM_ACE;

typedef struct _SYSTEM_MANDATORY_LABEL_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} SYSTEM_MANDATORY_LABEL_ACE, *PSYSTEM_MANDATORY_LABEL_ACE;

#define SYSTEM_MANDATORY_LABEL_NO_WRITE_UP   0x1
#define SYSTEM_MANDATORY_LABEL_NO_READ_UP    0x2
#define SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP 0x4
#define SYSTEM_MANDATORY_LABEL_VALID_MASK    0x7

typedef struct _ACCESS_ALLOWED_OBJECT_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG Flags;
    GUID ObjectType;
    GUID InheritedObjectType;
    ULONG SidStart;
} ACCESS_ALLOWED_OBJECT_ACE, *PACCESS_ALLOWED_OBJECT_ACE;

#define ACE_OBJECT_TYPE_PRESENT           0x1
#define ACE_INHERITED_OBJECT_TYPE_PRESENT 0x2

/* ---- Security descriptors ---------------------------------------------------------------- */

typedef USHORT SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;

#define SE_OWNER_DEFAULTED       (0x0001)
#define SE_GROUP_DEFAULTED       (0x0002)
#define SE_DACL_PRESENT          (0x0004)
#define SE_DACL_DEFAULTED        (0x0008)
#define SE_SACL_PRESENT          (0x0010)
#define SE_SACL_DEFAULTED        (0x0020)
#define SE_DACL_UNTRUSTED        (0x0040)
#define SE_SERVER_SECURITY       (0x0080)
#define SE_DACL_AUTO_INHERIT_REQ (0x0100)
#define SE_SACL_AUTO_INHERIT_REQ (0x0200)
#define SE_DACL_AUTO_INHERITED   (0x0400)
#define SE_SACL_AUTO_INHERITED   (0x0800)
#define SE_DACL_PROTECTED        (0x1000)
#define SE_SACL_PROTECTED        (0x2000)
#define SE_RM_CONTROL_VALID      (0x4000)
#define SE_SELF_RELATIVE         (0x8000)

#define SECURITY_DESCRIPTOR_REVISION  (1)
#define SECURITY_DESCRIPTOR_REVISION1 (1)

typedef PVOID PSECURITY_DESCRIPTOR;

/* Absolute form: the parts live anywhere, the descriptor points at them. */
typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;

/* Self-relative form: one block, the parts found by byte offsets from its start (0 = absent). */
typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    ULONG Owner;
    ULONG Group;
    ULONG Sacl;
    ULONG Dacl;
} SECURITY_DESCRIPTOR_RELATIVE, *PISECURITY_DESCRIPTOR_RELATIVE;

#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))

typedef ULONG SECURITY_INFORMATION, *PSECURITY_INFORMATION;

#define OWNER_SECURITY_INFORMATION               (0x00000001L)
#define GROUP_SECURITY_INFORMATION               (0x00000002L)
#define DACL_SECURITY_INFORMATION                (0x00000004L)
#define SACL_SECURITY_INFORMATION                (0x00000008L)
#define LABEL_SECURITY_INFORMATION               (0x00000010L)
#define ATTRIBUTE_SECURITY_INFORMATION           (0x00000020L)
#define SCOPE_SECURITY_INFORMATION               (0x00000040L)
#define PROCESS_TRUST_LABEL_SECURITY_INFORMATION (0x00000080L)
#define ACCESS_FILTER_SECURITY_INFORMATION       (0x00000100L)
#define BACKUP_SECURITY_INFORMATION              (0x00010000L)
#define PROTECTED_DACL_SECURITY_INFORMATION      (0x80000000L)
#define PROTECTED_SACL_SECURITY_INFORMATION      (0x40000000L)
#define UNPROTECTED_DACL_SECURITY_INFORMATION    (0x20000000L)
#define UNPROTECTED_SACL_SECURITY_INFORMATION    (0x10000000L)

/* Automatic inheritance and the checks SeAssignSecurityEx / SeSetSecurityDescriptorInfoEx make. */
#define SEF_DACL_AUTO_INHERIT             0x01
#define SEF_SACL_AUTO_INHERIT             0x02
#define SEF_DEFAULT_DESCRIPTOR_FOR_OBJECT 0x04
#define SEF_AVOID_PRIVILEGE_CHECK         0x08
#define SEF_AVOID_OWNER_CHECK             0x10
#define SEF_DEFAULT_OWNER_FROM_PARENT     0x20
#define SEF_DEFAULT_GROUP_FROM_PARENT     0x40
#define SEF_MACL_NO_WRITE_UP              0x100
#define SEF_MACL_NO_READ_UP               0x200
#define SEF_MACL_NO_EXECUTE_UP            0x400
#define SEF_AI_USE_EXTRA_PARAMS           0x800
#define SEF_AVOID_OWNER_RESTRICTION       0x1000
#define SEF_FORCE_USER_MODE               0x2000

/* ---- Privileges -------------------------------------------------------------------------- */

typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    ULONG Attributes;
} LUID_AND_ATTRIBUTES, *PLUID_AND_ATTRIBUTES;

#define SE_PRIVILEGE_ENABLED_BY_DEFAULT (0x00000001L)
#define SE_PRIVILEGE_ENABLED            (0x00000002L)
#define SE_PRIVILEGE_REMOVED            (0x00000004L)
#define SE_PRIVILEGE_USED_FOR_ACCESS    (0x80000000L)
#define SE_PRIVILEGE_VALID_ATTRIBUTES \
    (SE_PRIVILEGE_ENABLED_BY_DEFAULT | SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_REMOVED | SE_PRIVILEGE_USED_FOR_ACCESS)

#define PRIVILEGE_SET_ALL_NECESSARY (1)

typedef struct _PRIVILEGE_SET {
    ULONG PrivilegeCount;
    ULONG Control;
    LUID_AND_ATTRIBUTES Privilege[ANYSIZE_ARRAY];
} PRIVILEGE_SET, *PPRIVILEGE_SET;

#define INITIAL_PRIVILEGE_COUNT 3

typedef struct _INITIAL_PRIVILEGE_SET {
    ULONG PrivilegeCount;
    ULONG Control;
    LUID_AND_ATTRIBUTES Privilege[INITIAL_PRIVILEGE_COUNT];
} INITIAL_PRIVILEGE_SET, *PINITIAL_PRIVILEGE_SET;

/* Privilege values (the low part of each privilege's LUID). */
#define SE_MIN_WELL_KNOWN_PRIVILEGE       (2L)
#define SE_CREATE_TOKEN_PRIVILEGE         (2L)
#define SE_ASSIGNPRIMARYTOKEN_PRIVILEGE   (3L)
#define SE_LOCK_MEMORY_PRIVILEGE          (4L)
#define SE_INCREASE_QUOTA_PRIVILEGE       (5L)
#define SE_MACHINE_ACCOUNT_PRIVILEGE      (6L)
#define SE_TCB_PRIVILEGE                  (7L)
#define SE_SECURITY_PRIVILEGE             (8L)
#define SE_TAKE_OWNERSHIP_PRIVILEGE       (9L)
#define SE_LOAD_DRIVER_PRIVILEGE          (10L)
#define SE_SYSTEM_PROFILE_PRIVILEGE       (11L)
#define SE_SYSTEMTIME_PRIVILEGE           (12L)
#define SE_PROF_SINGLE_PROCESS_PRIVILEGE  (13L)
#define SE_INC_BASE_PRIORITY_PRIVILEGE    (14L)
#define SE_CREATE_PAGEFILE_PRIVILEGE      (15L)
#define SE_CREATE_PERMANENT_PRIVILEGE     (16L)
#define SE_BACKUP_PRIVILEGE               (17L)
#define SE_RESTORE_PRIVILEGE              (18L)
#define SE_SHUTDOWN_PRIVILEGE             (19L)
#define SE_DEBUG_PRIVILEGE                (20L)
#define SE_AUDIT_PRIVILEGE                (21L)
#define SE_SYSTEM_ENVIRONMENT_PRIVILEGE   (22L)
#define SE_CHANGE_NOTIFY_PRIVILEGE        (23L)
#define SE_REMOTE_SHUTDOWN_PRIVILEGE      (24L)
#define SE_UNDOCK_PRIVILEGE               (25L)
#define SE_SYNC_AGENT_PRIVILEGE           (26L)
#define SE_ENABLE_DELEGATION_PRIVILEGE    (27L)
#define SE_MANAGE_VOLUME_PRIVILEGE        (28L)
#define SE_IMPERSONATE_PRIVILEGE          (29L)
#define SE_CREATE_GLOBAL_PRIVILEGE        (30L)
#define SE_TRUSTED_CREDMAN_ACCESS_PRIVILEGE (31L)
#define SE_RELABEL_PRIVILEGE              (32L)
#define SE_INC_WORKING_SET_PRIVILEGE      (33L)
#define SE_TIME_ZONE_PRIVILEGE            (34L)
#define SE_CREATE_SYMBOLIC_LINK_PRIVILEGE (35L)
#define SE_DELEGATE_SESSION_USER_IMPERSONATE_PRIVILEGE (36L)
#define SE_MAX_WELL_KNOWN_PRIVILEGE       SE_DELEGATE_SESSION_USER_IMPERSONATE_PRIVILEGE

/* ---- Tokens ------------------------------------------------------------------------------ */

typedef PVOID PACCESS_TOKEN;

typedef enum _TOKEN_TYPE {
    TokenPrimary = 1,
    TokenImpersonation
} TOKEN_TYPE, *PTOKEN_TYPE;

typedef enum _SECURITY_IMPERSONATION_LEVEL {
    SecurityAnonymous,
    SecurityIdentification,
    SecurityImpersonation,
    SecurityDelegation
} SECURITY_IMPERSONATION_LEVEL, *PSECURITY_IMPERSONATION_LEVEL;

#define SECURITY_MAX_IMPERSONATION_LEVEL SecurityDelegation
#define SECURITY_MIN_IMPERSONATION_LEVEL SecurityAnonymous
#define DEFAULT_IMPERSONATION_LEVEL SecurityImpersonation
#define VALID_IMPERSONATION_LEVEL(L) (((L) >= SECURITY_MIN_IMPERSONATION_LEVEL) && ((L) <= SECURITY_MAX_IMPERSONATION_LEVEL))

typedef BOOLEAN SECURITY_CONTEXT_TRACKING_MODE, *PSECURITY_CONTEXT_TRACKING_MODE;
#define SECURITY_DYNAMIC_TRACKING (TRUE)
#define SECURITY_STATIC_TRACKING  (FALSE)

typedef struct _SECURITY_QUALITY_OF_SERVICE {
    ULONG Length;
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    SECURITY_CONTEXT_TRACKING_MODE ContextTrackingMode;
    BOOLEAN EffectiveOnly;
} SECURITY_QUALITY_OF_SERVICE, *PSECURITY_QUALITY_OF_SERVICE;

typedef enum _TOKEN_INFORMATION_CLASS {
    TokenUser = 1,
    TokenGroups,
    TokenPrivileges,
    TokenOwner,
    TokenPrimaryGroup,
    TokenDefaultDacl,
    TokenSource,
    TokenType,
    TokenImpersonationLevel,
    TokenStatistics,
    TokenRestrictedSids,
    TokenSessionId,
    TokenGroupsAndPrivileges,
    TokenSessionReference,
    TokenSandBoxInert,
    TokenAuditPolicy,
    TokenOrigin,
    TokenElevationType,
    TokenLinkedToken,
    TokenElevation,
    TokenHasRestrictions,
    TokenAccessInformation,
    TokenVirtualizationAllowed,
    TokenVirtualizationEnabled,
    TokenIntegrityLevel,
    TokenUIAccess,
    TokenMandatoryPolicy,
    TokenLogonSid,
    TokenIsAppContainer,
    TokenCapabilities,
    TokenAppContainerSid,
    TokenAppContainerNumber,
    TokenUserClaimAttributes,
    TokenDeviceClaimAttributes,
    TokenRestrictedUserClaimAttributes,
    TokenRestrictedDeviceClaimAttributes,
    TokenDeviceGroups,
    TokenRestrictedDeviceGroups,
    TokenSecurityAttributes,
    TokenIsRestricted,
    TokenProcessTrustLevel,
    TokenPrivateNameSpace,
    TokenSingletonAttributes,
    TokenBnoIsolation,
    TokenChildProcessFlags,
    TokenIsLessPrivilegedAppContainer,
    TokenIsSandboxed,
    TokenIsAppSilo,
    TokenLoggingInformation,
    MaxTokenInfoClass
} TOKEN_INFORMATION_CLASS, *PTOKEN_INFORMATION_CLASS;

typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;

typedef struct _TOKEN_GROUPS {
    ULONG GroupCount;
    SID_AND_ATTRIBUTES Groups[ANYSIZE_ARRAY];
} TOKEN_GROUPS, *PTOKEN_GROUPS;

typedef struct _TOKEN_PRIVILEGES {
    ULONG PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;

typedef struct _TOKEN_OWNER {
    PSID Owner;
} TOKEN_OWNER, *PTOKEN_OWNER;

typedef struct _TOKEN_PRIMARY_GROUP {
    PSID PrimaryGroup;
} TOKEN_PRIMARY_GROUP, *PTOKEN_PRIMARY_GROUP;

typedef struct _TOKEN_DEFAULT_DACL {
    PACL DefaultDacl;
} TOKEN_DEFAULT_DACL, *PTOKEN_DEFAULT_DACL;

typedef struct _TOKEN_STATISTICS {
    LUID TokenId;
    LUID AuthenticationId;
    LARGE_INTEGER ExpirationTime;
    TOKEN_TYPE TokenType;
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    ULONG DynamicCharged;
    ULONG DynamicAvailable;
    ULONG GroupCount;
    ULONG PrivilegeCount;
    LUID ModifiedId;
} TOKEN_STATISTICS, *PTOKEN_STATISTICS;

/* Group attributes in a token. */
#define SE_GROUP_MANDATORY          (0x00000001L)
#define SE_GROUP_ENABLED_BY_DEFAULT (0x00000002L)
#define SE_GROUP_ENABLED            (0x00000004L)
#define SE_GROUP_OWNER              (0x00000008L)
#define SE_GROUP_USE_FOR_DENY_ONLY  (0x00000010L)
#define SE_GROUP_INTEGRITY          (0x00000020L)
#define SE_GROUP_INTEGRITY_ENABLED  (0x00000040L)
#define SE_GROUP_LOGON_ID           (0xC0000000L)
#define SE_GROUP_RESOURCE           (0x20000000L)
#define SE_GROUP_VALID_ATTRIBUTES                                                                        \
    (SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED | SE_GROUP_OWNER |              \
     SE_GROUP_USE_FOR_DENY_ONLY | SE_GROUP_LOGON_ID | SE_GROUP_RESOURCE | SE_GROUP_INTEGRITY |          \
     SE_GROUP_INTEGRITY_ENABLED)

/* Token object access rights. */
#define TOKEN_ASSIGN_PRIMARY    (0x0001)
#define TOKEN_DUPLICATE         (0x0002)
#define TOKEN_IMPERSONATE       (0x0004)
#define TOKEN_QUERY             (0x0008)
#define TOKEN_QUERY_SOURCE      (0x0010)
#define TOKEN_ADJUST_PRIVILEGES (0x0020)
#define TOKEN_ADJUST_GROUPS     (0x0040)
#define TOKEN_ADJUST_DEFAULT    (0x0080)
#define TOKEN_ADJUST_SESSIONID  (0x0100)
#define TOKEN_ALL_ACCESS                                                                                 \
    (STANDARD_RIGHTS_REQUIRED | TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY | \
     TOKEN_QUERY_SOURCE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT |         \
     TOKEN_ADJUST_SESSIONID)
#define TOKEN_READ    (STANDARD_RIGHTS_READ | TOKEN_QUERY)
#define TOKEN_WRITE   (STANDARD_RIGHTS_WRITE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT)
#define TOKEN_EXECUTE (STANDARD_RIGHTS_EXECUTE)

/* Token flags, as ACCESS_STATE.Flags reports them. */
#define TOKEN_HAS_TRAVERSE_PRIVILEGE    0x0001
#define TOKEN_HAS_BACKUP_PRIVILEGE      0x0002
#define TOKEN_HAS_RESTORE_PRIVILEGE     0x0004
#define TOKEN_WRITE_RESTRICTED          0x0008
#define TOKEN_IS_RESTRICTED             0x0010
#define TOKEN_SESSION_NOT_REFERENCED    0x0020
#define TOKEN_SANDBOX_INERT             0x0040
#define TOKEN_HAS_IMPERSONATE_PRIVILEGE 0x0080
#define SE_BACKUP_PRIVILEGES_CHECKED    0x0100
#define TOKEN_VIRTUALIZE_ALLOWED        0x0200
#define TOKEN_VIRTUALIZE_ENABLED        0x0400
#define TOKEN_IS_FILTERED               0x0800
#define TOKEN_UIACCESS                  0x1000
#define TOKEN_NOT_LOW                   0x2000
#define TOKEN_LOWBOX                    0x4000

/* ---- Subject contexts and access states -------------------------------------------------- */

/* Opaque to drivers: the captured tokens of a subject. */
typedef struct _SECURITY_SUBJECT_CONTEXT {
    PACCESS_TOKEN ClientToken;
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    PACCESS_TOKEN PrimaryToken;
    PVOID ProcessAuditId;
} SECURITY_SUBJECT_CONTEXT, *PSECURITY_SUBJECT_CONTEXT;

typedef struct _ACCESS_STATE {
    LUID OperationID;
    BOOLEAN SecurityEvaluated;
    BOOLEAN GenerateAudit;
    BOOLEAN GenerateOnClose;
    BOOLEAN PrivilegesAllocated;
    ULONG Flags;
    ACCESS_MASK RemainingDesiredAccess;
    ACCESS_MASK PreviouslyGrantedAccess;
    ACCESS_MASK OriginalDesiredAccess;
    SECURITY_SUBJECT_CONTEXT SubjectSecurityContext;
    PSECURITY_DESCRIPTOR SecurityDescriptor;
    PVOID AuxData;
    union {
        INITIAL_PRIVILEGE_SET InitialPrivilegeSet;
        PRIVILEGE_SET PrivilegeSet;
    } Privileges;
    BOOLEAN AuditPrivileges;
    UNICODE_STRING ObjectName;
    UNICODE_STRING ObjectTypeName;
} ACCESS_STATE, *PACCESS_STATE;

/* ---- The kernel's exported well-known SIDs and privilege values -------------------------- */

typedef struct _SE_EXPORTS {
    LUID SeCreateTokenPrivilege;
    LUID SeAssignPrimaryTokenPrivilege;
    LUID SeLockMemoryPrivilege;
    LUID SeIncreaseQuotaPrivilege;
    LUID SeUnsolicitedInputPrivilege;
    LUID SeTcbPrivilege;
    LUID SeSecurityPrivilege;
    LUID SeTakeOwnershipPrivilege;
    LUID SeLoadDriverPrivilege;
    LUID SeCreatePagefilePrivilege;
    LUID SeIncreaseBasePriorityPrivilege;
    LUID SeSystemProfilePrivilege;
    LUID SeSystemtimePrivilege;
    LUID SeProfileSingleProcessPrivilege;
    LUID SeCreatePermanentPrivilege;
    LUID SeBackupPrivilege;
    LUID SeRestorePrivilege;
    LUID SeShutdownPrivilege;
    LUID SeDebugPrivilege;
    LUID SeAuditPrivilege;
    LUID SeSystemEnvironmentPrivilege;
    LUID SeChangeNotifyPrivilege;
    LUID SeRemoteShutdownPrivilege;

    PSID SeNullSid;
    PSID SeWorldSid;
    PSID SeLocalSid;
    PSID SeCreatorOwnerSid;
    PSID SeCreatorGroupSid;

    PSID SeNtAuthoritySid;
    PSID SeDialupSid;
    PSID SeNetworkSid;
    PSID SeBatchSid;
    PSID SeInteractiveSid;
    PSID SeLocalSystemSid;
    PSID SeAliasAdminsSid;
    PSID SeAliasUsersSid;
    PSID SeAliasGuestsSid;
    PSID SeAliasPowerUsersSid;
    PSID SeAliasAccountOpsSid;
    PSID SeAliasSystemOpsSid;
    PSID SeAliasPrintOpsSid;
    PSID SeAliasBackupOpsSid;

    PSID SeAuthenticatedUsersSid;
    PSID SeRestrictedSid;
    PSID SeAnonymousLogonSid;

    LUID SeUndockPrivilege;
    LUID SeSyncAgentPrivilege;
    LUID SeEnableDelegationPrivilege;

    PSID SeLocalServiceSid;
    PSID SeNetworkServiceSid;

    LUID SeManageVolumePrivilege;
    LUID SeImpersonatePrivilege;
    LUID SeCreateGlobalPrivilege;

    LUID SeTrustedCredManAccessPrivilege;
    LUID SeRelabelPrivilege;
    LUID SeIncreaseWorkingSetPrivilege;
    LUID SeTimeZonePrivilege;
    LUID SeCreateSymbolicLinkPrivilege;

    PSID SeIUserSid;

    PSID SeUntrustedMandatorySid;
    PSID SeLowMandatorySid;
    PSID SeMediumMandatorySid;
    PSID SeHighMandatorySid;
    PSID SeSystemMandatorySid;

    PSID SeOwnerRightsSid;

    PSID SeAllAppPackagesSid;
    PSID SeUserModeDriversSid;

    PSID SeProcTrustWinTcbSid;

    PSID SeTrustedInstallerSid;

    LUID SeDelegateSessionUserImpersonatePrivilege;

    PSID SeAppSiloSid;
    PSID SeAppSiloVolumeRootMinimalCapabilitySid;
    PSID SeAppSiloProfilesRootMinimalCapabilitySid;
    PSID SeAppSiloPromptForAccessCapabilitySid;
    PSID SeAppSiloAccessToPublisherDirectoryCapabilitySid;
} SE_EXPORTS, *PSE_EXPORTS;

/* ---- Routines ---------------------------------------------------------------------------- */

EXTERN_C_START

extern NTKERNELAPI PSE_EXPORTS SeExports;
extern NTKERNELAPI POBJECT_TYPE *SeTokenObjectType;

/* SIDs. */
NTSYSAPI ULONG NTAPI RtlLengthSid(PSID Sid);
NTSYSAPI BOOLEAN NTAPI RtlValidSid(PSID Sid);
NTSYSAPI BOOLEAN NTAPI RtlEqualSid(PSID Sid1, PSID Sid2);
NTSYSAPI ULONG NTAPI RtlLengthRequiredSid(ULONG SubAuthorityCount);
NTSYSAPI NTSTATUS NTAPI RtlInitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY IdentifierAuthority,
                                         UCHAR SubAuthorityCount);
NTSYSAPI PULONG NTAPI RtlSubAuthoritySid(PSID Sid, ULONG SubAuthority);
NTSYSAPI PUCHAR NTAPI RtlSubAuthorityCountSid(PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid);

/* ACLs. */
NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision);
NTSYSAPI BOOLEAN NTAPI RtlValidAcl(PACL Acl);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                 ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessDeniedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessDeniedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                                ACCESS_MASK AccessMask, PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlGetAce(PACL Acl, ULONG AceIndex, PVOID *Ace);

/* Security descriptors. */
NTSYSAPI NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Revision);
NTSYSAPI NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                                      BOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                                      BOOLEAN GroupDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN DaclPresent,
                                                     PACL Dacl, BOOLEAN DaclDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Owner,
                                                      PBOOLEAN OwnerDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Group,
                                                      PBOOLEAN GroupDefaulted);
NTSYSAPI NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                                     PBOOLEAN DaclPresent, PACL *Dacl, PBOOLEAN DaclDefaulted);
NTSYSAPI ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSYSAPI BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSYSAPI BOOLEAN NTAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                                          ULONG SecurityDescriptorLength,
                                                          SECURITY_INFORMATION RequiredInformation);
NTSYSAPI NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                                    PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                                    PULONG BufferLength);
NTSYSAPI VOID NTAPI RtlMapGenericMask(PACCESS_MASK AccessMask, const GENERIC_MAPPING *GenericMapping);

/* Subject contexts. */
NTKERNELAPI VOID NTAPI SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID NTAPI SeCaptureSubjectContextEx(PETHREAD Thread, PEPROCESS Process,
                                                 PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID NTAPI SeLockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID NTAPI SeUnlockSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
NTKERNELAPI VOID NTAPI SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);

/* Tokens. */
NTKERNELAPI BOOLEAN NTAPI SeTokenIsAdmin(PACCESS_TOKEN Token);
NTKERNELAPI BOOLEAN NTAPI SeTokenIsRestricted(PACCESS_TOKEN Token);
NTKERNELAPI NTSTATUS NTAPI SeQueryInformationToken(PACCESS_TOKEN Token,
                                                   TOKEN_INFORMATION_CLASS TokenInformationClass,
                                                   PVOID *TokenInformation);

/* Access and privilege checks. */
NTKERNELAPI BOOLEAN NTAPI SeAccessCheck(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                        PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                                        BOOLEAN SubjectContextLocked, ACCESS_MASK DesiredAccess,
                                        ACCESS_MASK PreviouslyGrantedAccess, PPRIVILEGE_SET *Privileges,
                                        PGENERIC_MAPPING GenericMapping, KPROCESSOR_MODE AccessMode,
                                        PACCESS_MASK GrantedAccess, PNTSTATUS AccessStatus);
NTKERNELAPI BOOLEAN NTAPI SePrivilegeCheck(PPRIVILEGE_SET RequiredPrivileges,
                                           PSECURITY_SUBJECT_CONTEXT SubjectSecurityContext,
                                           KPROCESSOR_MODE AccessMode);
NTKERNELAPI BOOLEAN NTAPI SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode);
NTKERNELAPI VOID NTAPI SeFreePrivileges(PPRIVILEGE_SET Privileges);

/* Captured descriptors. */
NTKERNELAPI NTSTATUS NTAPI SeCaptureSecurityDescriptor(PSECURITY_DESCRIPTOR InputSecurityDescriptor,
                                                       KPROCESSOR_MODE RequestorMode, POOL_TYPE PoolType,
                                                       BOOLEAN ForceCapture,
                                                       PSECURITY_DESCRIPTOR *OutputSecurityDescriptor);
NTKERNELAPI VOID NTAPI SeReleaseSecurityDescriptor(PSECURITY_DESCRIPTOR CapturedSecurityDescriptor,
                                                   KPROCESSOR_MODE RequestorMode, BOOLEAN ForceCapture);
NTKERNELAPI VOID NTAPI SeQuerySecurityAccessMask(SECURITY_INFORMATION SecurityInformation, PACCESS_MASK DesiredAccess);
NTKERNELAPI VOID NTAPI SeSetSecurityAccessMask(SECURITY_INFORMATION SecurityInformation, PACCESS_MASK DesiredAccess);
NTKERNELAPI NTSTATUS NTAPI SeQuerySecurityDescriptorInfo(PSECURITY_INFORMATION SecurityInformation,
                                                         PSECURITY_DESCRIPTOR SecurityDescriptor, PULONG Length,
                                                         PSECURITY_DESCRIPTOR *ObjectsSecurityDescriptor);
/* Descriptors of new objects and changes to an object's descriptor. */
NTKERNELAPI NTSTATUS NTAPI SeAssignSecurity(PSECURITY_DESCRIPTOR ParentDescriptor,
                                            PSECURITY_DESCRIPTOR ExplicitDescriptor,
                                            PSECURITY_DESCRIPTOR *NewDescriptor, BOOLEAN IsDirectoryObject,
                                            PSECURITY_SUBJECT_CONTEXT SubjectContext,
                                            PGENERIC_MAPPING GenericMapping, POOL_TYPE PoolType);
NTKERNELAPI NTSTATUS NTAPI SeAssignSecurityEx(PSECURITY_DESCRIPTOR ParentDescriptor,
                                              PSECURITY_DESCRIPTOR ExplicitDescriptor,
                                              PSECURITY_DESCRIPTOR *NewDescriptor, GUID *ObjectType,
                                              BOOLEAN IsDirectoryObject, ULONG AutoInheritFlags,
                                              PSECURITY_SUBJECT_CONTEXT SubjectContext,
                                              PGENERIC_MAPPING GenericMapping, POOL_TYPE PoolType);
NTKERNELAPI NTSTATUS NTAPI SeDeassignSecurity(PSECURITY_DESCRIPTOR *SecurityDescriptor);
NTKERNELAPI NTSTATUS NTAPI SeSetSecurityDescriptorInfo(PVOID Object, PSECURITY_INFORMATION SecurityInformation,
                                                       PSECURITY_DESCRIPTOR ModificationDescriptor,
                                                       PSECURITY_DESCRIPTOR *ObjectsSecurityDescriptor,
                                                       POOL_TYPE PoolType, PGENERIC_MAPPING GenericMapping);
NTKERNELAPI NTSTATUS NTAPI SeSetSecurityDescriptorInfoEx(PVOID Object, PSECURITY_INFORMATION SecurityInformation,
                                                         PSECURITY_DESCRIPTOR ModificationDescriptor,
                                                         PSECURITY_DESCRIPTOR *ObjectsSecurityDescriptor,
                                                         ULONG AutoInheritFlags, POOL_TYPE PoolType,
                                                         PGENERIC_MAPPING GenericMapping);
/* Access states. */
NTKERNELAPI NTSTATUS NTAPI SeCreateAccessState(PACCESS_STATE AccessState, PVOID AuxData,
                                               ACCESS_MASK DesiredAccess, PGENERIC_MAPPING GenericMapping);
NTKERNELAPI VOID NTAPI SeDeleteAccessState(PACCESS_STATE AccessState);

EXTERN_C_END

#define SeLengthSid(Sid) (8 + (4 * ((SID *)(Sid))->SubAuthorityCount))
#define SeQuerySubjectContextToken(SubjectContext)                                                 \
    (ARGUMENT_PRESENT(((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->ClientToken)                  \
         ? ((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->ClientToken                               \
         : ((PSECURITY_SUBJECT_CONTEXT)(SubjectContext))->PrimaryToken)
#define RtlEqualLuid(L1, L2) (((L1)->LowPart == (L2)->LowPart) && ((L1)->HighPart == (L2)->HighPart))

FORCEINLINE LUID RtlConvertLongToLuid(LONG Long)
{
    LUID TempLuid;
    TempLuid.LowPart = (ULONG)Long;
    TempLuid.HighPart = 0;
    return TempLuid;
}

#if defined(__cplusplus)
static_assert(sizeof(SID_IDENTIFIER_AUTHORITY) == 6 && sizeof(SID) == 12, "SID");
static_assert(FIELD_OFFSET(SID, IdentifierAuthority) == 2 && FIELD_OFFSET(SID, SubAuthority) == 8, "SID layout");
static_assert(SECURITY_MAX_SID_SIZE == 68, "largest SID");
static_assert(sizeof(SID_AND_ATTRIBUTES) == 16, "SID_AND_ATTRIBUTES");
static_assert(sizeof(ACL) == 8 && sizeof(ACE_HEADER) == 4, "ACL headers");
static_assert(sizeof(ACCESS_ALLOWED_ACE) == 12 && FIELD_OFFSET(ACCESS_ALLOWED_ACE, SidStart) == 8, "known ACE");
static_assert(sizeof(ACCESS_DENIED_ACE) == 12 && sizeof(SYSTEM_AUDIT_ACE) == 12 &&
                  sizeof(SYSTEM_MANDATORY_LABEL_ACE) == 12,
              "known ACEs");
static_assert(FIELD_OFFSET(ACCESS_ALLOWED_OBJECT_ACE, SidStart) == 44, "object ACE");
static_assert(sizeof(SECURITY_DESCRIPTOR) == 40 && FIELD_OFFSET(SECURITY_DESCRIPTOR, Owner) == 8 &&
                  FIELD_OFFSET(SECURITY_DESCRIPTOR, Dacl) == 32,
              "absolute descriptor");
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20 && FIELD_OFFSET(SECURITY_DESCRIPTOR_RELATIVE, Owner) == 4 &&
                  FIELD_OFFSET(SECURITY_DESCRIPTOR_RELATIVE, Group) == 8 &&
                  FIELD_OFFSET(SECURITY_DESCRIPTOR_RELATIVE, Sacl) == 12 &&
                  FIELD_OFFSET(SECURITY_DESCRIPTOR_RELATIVE, Dacl) == 16,
              "self-relative descriptor");
static_assert(sizeof(LUID_AND_ATTRIBUTES) == 12 && sizeof(PRIVILEGE_SET) == 20 &&
                  sizeof(INITIAL_PRIVILEGE_SET) == 44,
              "privilege sets");
static_assert(sizeof(TOKEN_USER) == 16 && sizeof(TOKEN_GROUPS) == 24 && FIELD_OFFSET(TOKEN_GROUPS, Groups) == 8 &&
                  sizeof(TOKEN_PRIVILEGES) == 16 && FIELD_OFFSET(TOKEN_PRIVILEGES, Privileges) == 4,
              "token information records");
static_assert(sizeof(TOKEN_STATISTICS) == 56 && FIELD_OFFSET(TOKEN_STATISTICS, TokenType) == 24 &&
                  FIELD_OFFSET(TOKEN_STATISTICS, ModifiedId) == 48,
              "TOKEN_STATISTICS");
static_assert(sizeof(SECURITY_QUALITY_OF_SERVICE) == 12, "SECURITY_QUALITY_OF_SERVICE");
static_assert(sizeof(SECURITY_SUBJECT_CONTEXT) == 32 && FIELD_OFFSET(SECURITY_SUBJECT_CONTEXT, PrimaryToken) == 16,
              "SECURITY_SUBJECT_CONTEXT");
static_assert(sizeof(ACCESS_STATE) == 0xA0 && FIELD_OFFSET(ACCESS_STATE, Flags) == 0x0C &&
                  FIELD_OFFSET(ACCESS_STATE, RemainingDesiredAccess) == 0x10 &&
                  FIELD_OFFSET(ACCESS_STATE, SubjectSecurityContext) == 0x20 &&
                  FIELD_OFFSET(ACCESS_STATE, SecurityDescriptor) == 0x40 &&
                  FIELD_OFFSET(ACCESS_STATE, AuxData) == 0x48 && FIELD_OFFSET(ACCESS_STATE, Privileges) == 0x50 &&
                  FIELD_OFFSET(ACCESS_STATE, AuditPrivileges) == 0x7C &&
                  FIELD_OFFSET(ACCESS_STATE, ObjectName) == 0x80 &&
                  FIELD_OFFSET(ACCESS_STATE, ObjectTypeName) == 0x90,
              "ACCESS_STATE layout");
static_assert(FIELD_OFFSET(SE_EXPORTS, SeNullSid) == 23 * 8 && FIELD_OFFSET(SE_EXPORTS, SeUndockPrivilege) == 45 * 8 &&
                  FIELD_OFFSET(SE_EXPORTS, SeIUserSid) == 58 * 8 &&
                  FIELD_OFFSET(SE_EXPORTS, SeDelegateSessionUserImpersonatePrivilege) == 69 * 8 &&
                  sizeof(SE_EXPORTS) == 75 * 8,
              "SE_EXPORTS layout");
#endif
