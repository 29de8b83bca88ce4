/*
 * SDDL vocabulary: SID aliases, access-right codes, ACE types and flags, ACL flags.
 */
#include "se/sddl.h"

namespace se::sddl {

const SidAlias kSidAliases[] = {
    {"AN", 5, 1, {SECURITY_ANONYMOUS_LOGON_RID, 0}},
    {"AO", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ACCOUNT_OPS}},
    {"AU", 5, 1, {SECURITY_AUTHENTICATED_USER_RID, 0}},
    {"BA", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}},
    {"BG", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_GUESTS}},
    {"BO", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_BACKUP_OPS}},
    {"BU", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}},
    {"CG", 3, 1, {SECURITY_CREATOR_GROUP_RID, 0}},
    {"CO", 3, 1, {SECURITY_CREATOR_OWNER_RID, 0}},
    {"ED", 5, 1, {SECURITY_ENTERPRISE_CONTROLLERS_RID, 0}},
    {"IU", 5, 1, {SECURITY_INTERACTIVE_RID, 0}},
    {"LS", 5, 1, {SECURITY_LOCAL_SERVICE_RID, 0}},
    {"NO", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, 556}}, /* network configuration operators */
    {"NS", 5, 1, {SECURITY_NETWORK_SERVICE_RID, 0}},
    {"NU", 5, 1, {SECURITY_NETWORK_RID, 0}},
    {"OW", 3, 1, {SECURITY_CREATOR_OWNER_RIGHTS_RID, 0}},
    {"PO", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_PRINT_OPS}},
    {"PS", 5, 1, {SECURITY_PRINCIPAL_SELF_RID, 0}},
    {"PU", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_POWER_USERS}},
    {"RC", 5, 1, {SECURITY_RESTRICTED_CODE_RID, 0}},
    {"RD", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, 555}}, /* remote desktop users */
    {"RE", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, 552}}, /* replicator */
    {"RU", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, 554}}, /* pre-Windows 2000 compatible access */
    {"SO", 5, 2, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_SYSTEM_OPS}},
    {"SU", 5, 1, {SECURITY_SERVICE_RID, 0}},
    {"SY", 5, 1, {SECURITY_LOCAL_SYSTEM_RID, 0}},
    {"WD", 1, 1, {SECURITY_WORLD_RID, 0}},
    {"WR", 5, 1, {33, 0}}, /* write restricted code */
    {"AC", 15, 2, {SECURITY_APP_PACKAGE_BASE_RID, SECURITY_BUILTIN_PACKAGE_ANY_PACKAGE}},
    {"LW", 16, 1, {SECURITY_MANDATORY_LOW_RID, 0}},
    {"ME", 16, 1, {SECURITY_MANDATORY_MEDIUM_RID, 0}},
    {"MP", 16, 1, {SECURITY_MANDATORY_MEDIUM_RID + 0x100, 0}}, /* medium plus */
    {"HI", 16, 1, {SECURITY_MANDATORY_HIGH_RID, 0}},
    {"SI", 16, 1, {SECURITY_MANDATORY_SYSTEM_RID, 0}},
};
const size_t kSidAliasCount = sizeof(kSidAliases) / sizeof(kSidAliases[0]);

const Code kRights[] = {
    /* generic */
    {"GA", GENERIC_ALL},
    {"GR", GENERIC_READ},
    {"GW", GENERIC_WRITE},
    {"GX", GENERIC_EXECUTE},
    /* standard */
    {"RC", READ_CONTROL},
    {"SD", DELETE},
    {"WD", WRITE_DAC},
    {"WO", WRITE_OWNER},
    /* directory-service object rights */
    {"RP", 0x00000010},
    {"WP", 0x00000020},
    {"CC", 0x00000001},
    {"DC", 0x00000002},
    {"LC", 0x00000004},
    {"SW", 0x00000008},
    {"LO", 0x00000080},
    {"DT", 0x00000040},
    {"CR", 0x00000100},
    /* files */
    {"FA", 0x001F01FF},
    {"FR", 0x00120089},
    {"FW", 0x00120116},
    {"FX", 0x001200A0},
    /* registry keys */
    {"KA", 0x000F003F},
    {"KR", 0x00020019},
    {"KW", 0x00020006},
    {"KX", 0x00020019},
    /* mandatory labels */
    {"NR", SYSTEM_MANDATORY_LABEL_NO_READ_UP},
    {"NW", SYSTEM_MANDATORY_LABEL_NO_WRITE_UP},
    {"NX", SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP},
};
const size_t kRightCount = sizeof(kRights) / sizeof(kRights[0]);

const Code kAceTypes[] = {
    {"A", ACCESS_ALLOWED_ACE_TYPE},
    {"D", ACCESS_DENIED_ACE_TYPE},
    {"AU", SYSTEM_AUDIT_ACE_TYPE},
    {"AL", SYSTEM_ALARM_ACE_TYPE},
    {"ML", SYSTEM_MANDATORY_LABEL_ACE_TYPE},
};
const size_t kAceTypeCount = sizeof(kAceTypes) / sizeof(kAceTypes[0]);

const Code kAceFlags[] = {
    {"CI", CONTAINER_INHERIT_ACE},
    {"OI", OBJECT_INHERIT_ACE},
    {"NP", NO_PROPAGATE_INHERIT_ACE},
    {"IO", INHERIT_ONLY_ACE},
    {"ID", INHERITED_ACE},
    {"SA", SUCCESSFUL_ACCESS_ACE_FLAG},
    {"FA", FAILED_ACCESS_ACE_FLAG},
};
const size_t kAceFlagCount = sizeof(kAceFlags) / sizeof(kAceFlags[0]);

const Code kAclFlags[] = {
    {"P", SE_DACL_PROTECTED},
    {"AI", SE_DACL_AUTO_INHERITED},
    {"AR", SE_DACL_AUTO_INHERIT_REQ},
};
const size_t kAclFlagCount = sizeof(kAclFlags) / sizeof(kAclFlags[0]);

} // namespace se::sddl
