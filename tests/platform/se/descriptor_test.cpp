/*
 * SIDs, ACLs and security descriptors: the Rtl routines, the exported well-known
 * SIDs, and the validation of self-relative descriptors read from outside.
 */
#include "se_test_support.h"

namespace {

using namespace setest;
using SecurityDescriptorTest = MachineTest;

std::vector<UCHAR> SidOf(UCHAR authority, std::initializer_list<ULONG> rids)
{
    std::vector<UCHAR> sid(RtlLengthRequiredSid((ULONG)rids.size()));
    SID_IDENTIFIER_AUTHORITY id = {{0, 0, 0, 0, 0, authority}};
    EXPECT_EQ(RtlInitializeSid(sid.data(), &id, (UCHAR)rids.size()), STATUS_SUCCESS);
    ULONG n = 0;
    for (ULONG rid : rids)
        *RtlSubAuthoritySid(sid.data(), n++) = rid;
    return sid;
}

TEST_F(SecurityDescriptorTest, SidRoutinesFollowTheBinaryFormat)
{
    auto admins = SidOf(5, {32, 544});
    EXPECT_EQ(RtlLengthRequiredSid(2), 16u);
    EXPECT_EQ(RtlLengthSid(admins.data()), 16u);
    EXPECT_EQ(*RtlSubAuthorityCountSid(admins.data()), 2);
    const UCHAR expected[] = {1, 2, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 2, 0, 0};
    EXPECT_EQ(std::memcmp(admins.data(), expected, sizeof(expected)), 0);
    EXPECT_TRUE(RtlEqualSid(admins.data(), SeExports->SeAliasAdminsSid));

    auto builtin = SidOf(5, {32}); /* a prefix of Administrators: same leading bytes, other count */
    EXPECT_FALSE(RtlEqualSid(admins.data(), builtin.data()));
    EXPECT_FALSE(RtlEqualSid(admins.data(), SeExports->SeAliasUsersSid));

    std::vector<UCHAR> copy(16);
    EXPECT_EQ(RtlCopySid(15, copy.data(), admins.data()), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlCopySid(16, copy.data(), admins.data()), STATUS_SUCCESS);
    EXPECT_EQ(copy, admins);

    std::vector<UCHAR> big(RtlLengthRequiredSid(16));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    EXPECT_EQ(RtlInitializeSid(big.data(), &nt, 16), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlInitializeSid(big.data(), &nt, 15), STATUS_SUCCESS);
    EXPECT_TRUE(RtlValidSid(big.data()));
    ((PISID)big.data())->SubAuthorityCount = 16;
    EXPECT_FALSE(RtlValidSid(big.data()));
    ((PISID)admins.data())->Revision = 2;
    EXPECT_FALSE(RtlValidSid(admins.data()));
}

TEST_F(SecurityDescriptorTest, ExportedSidsAndPrivilegesHaveWindowsValues)
{
    struct {
        PSID sid;
        const wchar_t *text;
    } sids[] = {
        {SeExports->SeWorldSid, L"S-1-1-0"},         {SeExports->SeLocalSystemSid, L"S-1-5-18"},
        {SeExports->SeAliasUsersSid, L"S-1-5-32-545"}, {SeExports->SeAuthenticatedUsersSid, L"S-1-5-11"},
        {SeExports->SeCreatorOwnerSid, L"S-1-3-0"},  {SeExports->SeCreatorGroupSid, L"S-1-3-1"},
        {SeExports->SeOwnerRightsSid, L"S-1-3-4"},   {SeExports->SeHighMandatorySid, L"S-1-16-12288"},
    };
    for (const auto &entry : sids)
        EXPECT_TRUE(RtlEqualSid(entry.sid, Sid(entry.text).data())) << "entry " << (&entry - sids);
    EXPECT_EQ(SeExports->SeSecurityPrivilege.LowPart, 8u);
    EXPECT_EQ(SeExports->SeTakeOwnershipPrivilege.LowPart, 9u);
    EXPECT_EQ(SeExports->SeBackupPrivilege.LowPart, 17u);
    EXPECT_EQ(SeExports->SeRestorePrivilege.LowPart, 18u);
    EXPECT_EQ(SeExports->SeChangeNotifyPrivilege.LowPart, 23u);
    EXPECT_EQ(SeExports->SeManageVolumePrivilege.LowPart, 28u);
    EXPECT_EQ(SeExports->SeDelegateSessionUserImpersonatePrivilege.LowPart, 36u);
}

TEST_F(SecurityDescriptorTest, AclsGrowByAppendingUntilTheirSpaceRunsOut)
{
    UCHAR buffer[64];
    auto acl = (PACL)buffer;
    EXPECT_EQ(RtlCreateAcl(acl, 7, ACL_REVISION), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlCreateAcl(acl, sizeof(buffer), 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlCreateAcl(acl, sizeof(buffer), 5), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlCreateAcl(acl, 0x10000, ACL_REVISION), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(RtlCreateAcl(acl, 60, ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(acl->AclSize, 60);
    EXPECT_EQ(acl->AceCount, 0);

    auto admins = SidOf(5, {32, 544});
    auto system = SidOf(5, {18});
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, kFileAll, system.data()), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessDeniedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE, WRITE_DAC,
                                      admins.data()),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAceEx(acl, ACL_REVISION, 0x20, kFileRead, system.data()), STATUS_INVALID_PARAMETER)
        << "only inheritance flags";
    std::vector<UCHAR> badSid = system;
    badSid[0] = 3;
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, kFileRead, badSid.data()), STATUS_INVALID_SID);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION, kFileRead, admins.data()), STATUS_ALLOTTED_SPACE_EXCEEDED)
        << "8 + 20 + 24 bytes used, a 24-byte ACE does not fit in 60";
    EXPECT_EQ(acl->AceCount, 2);
    EXPECT_TRUE(RtlValidAcl(acl));

    PVOID ace = nullptr;
    ASSERT_EQ(RtlGetAce(acl, 1, &ace), STATUS_SUCCESS);
    auto denied = (PACCESS_DENIED_ACE)ace;
    EXPECT_EQ(denied->Header.AceType, ACCESS_DENIED_ACE_TYPE);
    EXPECT_EQ(denied->Header.AceFlags, OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE);
    EXPECT_EQ(denied->Header.AceSize, 24);
    EXPECT_EQ((PUCHAR)ace - buffer, 8 + 20) << "appended after the first ACE";
    EXPECT_TRUE(RtlEqualSid(&denied->SidStart, admins.data()));
    EXPECT_EQ(RtlGetAce(acl, 2, &ace), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(acl, ACL_REVISION4, 0, SidOf(1, {0}).data()), STATUS_SUCCESS);
    EXPECT_EQ(acl->AclRevision, ACL_REVISION4) << "a later ACE revision raises the ACL's";
}

TEST_F(SecurityDescriptorTest, MalformedAclsAreRejected)
{
    UCHAR buffer[64];
    auto acl = (PACL)buffer;
    auto reset = [&] {
        std::memset(buffer, 0, sizeof(buffer));
        RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION);
        RtlAddAccessAllowedAce(acl, ACL_REVISION, kFileRead, SidOf(5, {18}).data()); /* 20 bytes at 8 */
        ASSERT_TRUE(RtlValidAcl(acl));
    };
    auto ace = (PACCESS_ALLOWED_ACE)(buffer + 8);

    reset();
    acl->AclRevision = 1;
    EXPECT_FALSE(RtlValidAcl(acl)) << "revision below 2";
    reset();
    acl->AceCount = 4;
    EXPECT_FALSE(RtlValidAcl(acl)) << "more ACEs than the size holds";
    reset();
    acl->AclSize = 26;
    EXPECT_FALSE(RtlValidAcl(acl)) << "ACL truncated inside its ACE";
    reset();
    ace->Header.AceSize = 64;
    EXPECT_FALSE(RtlValidAcl(acl)) << "ACE overrunning its ACL";
    reset();
    ace->Header.AceSize = 16;
    EXPECT_FALSE(RtlValidAcl(acl)) << "SID overrunning its ACE";
    reset();
    ace->Header.AceSize = 2;
    EXPECT_FALSE(RtlValidAcl(acl)) << "ACE smaller than its header";
    reset();
    ((PISID)&ace->SidStart)->SubAuthorityCount = 20;
    EXPECT_FALSE(RtlValidAcl(acl)) << "ill-formed SID";
    reset();
    acl->AclSize = 7;
    EXPECT_FALSE(RtlValidAcl(acl)) << "smaller than the header";
}

TEST_F(SecurityDescriptorTest, AbsoluteDescriptorBecomesSelfRelativeInWindowsOrder)
{
    auto owner = SidOf(5, {32, 544});
    auto group = SidOf(5, {18});
    UCHAR aclBuffer[32];
    auto dacl = (PACL)aclBuffer;
    RtlCreateAcl(dacl, sizeof(aclBuffer), ACL_REVISION);
    RtlAddAccessAllowedAce(dacl, ACL_REVISION, kFileAll, group.data());

    SECURITY_DESCRIPTOR absolute;
    EXPECT_EQ(RtlCreateSecurityDescriptor(&absolute, 2), STATUS_UNKNOWN_REVISION);
    ASSERT_EQ(RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlSetOwnerSecurityDescriptor(&absolute, owner.data(), TRUE), STATUS_SUCCESS);
    EXPECT_EQ(RtlSetGroupSecurityDescriptor(&absolute, group.data(), FALSE), STATUS_SUCCESS);
    EXPECT_EQ(RtlSetDaclSecurityDescriptor(&absolute, TRUE, dacl, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(RtlValidSecurityDescriptor(&absolute));
    EXPECT_EQ(RtlLengthSecurityDescriptor(&absolute), 40u + 32 + 16 + 12);

    ULONG length = 10;
    UCHAR out[96];
    EXPECT_EQ(RtlAbsoluteToSelfRelativeSD(&absolute, out, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 20u + 32 + 16 + 12);
    std::memset(out, 0xCC, sizeof(out));
    ASSERT_EQ(RtlAbsoluteToSelfRelativeSD(&absolute, out, &length), STATUS_SUCCESS);

    auto relative = (PISECURITY_DESCRIPTOR_RELATIVE)out;
    EXPECT_EQ(relative->Control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_OWNER_DEFAULTED);
    EXPECT_EQ(relative->Sacl, 0u);
    EXPECT_EQ(relative->Dacl, 20u) << "SACL, DACL, owner, group";
    EXPECT_EQ(relative->Owner, 52u);
    EXPECT_EQ(relative->Group, 68u);
    EXPECT_EQ(RtlLengthSecurityDescriptor(out), length);
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(
        out, length, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(out, length, SACL_SECURITY_INFORMATION));

    PSID gotOwner = nullptr;
    BOOLEAN defaulted = FALSE, present = FALSE;
    PACL gotDacl = nullptr;
    ASSERT_EQ(RtlGetOwnerSecurityDescriptor(out, &gotOwner, &defaulted), STATUS_SUCCESS);
    EXPECT_EQ(gotOwner, (PVOID)(out + 52));
    EXPECT_TRUE(defaulted);
    ASSERT_EQ(RtlGetDaclSecurityDescriptor(out, &present, &gotDacl, &defaulted), STATUS_SUCCESS);
    EXPECT_TRUE(present);
    EXPECT_EQ(gotDacl, (PACL)(out + 20));
    EXPECT_FALSE(defaulted);

    EXPECT_EQ(RtlAbsoluteToSelfRelativeSD(out, out, &length), STATUS_BAD_DESCRIPTOR_FORMAT);
    EXPECT_EQ(RtlSetOwnerSecurityDescriptor(out, group.data(), FALSE), STATUS_INVALID_SECURITY_DESCR);

    EXPECT_EQ(RtlSetDaclSecurityDescriptor(&absolute, FALSE, nullptr, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(RtlGetDaclSecurityDescriptor(&absolute, &present, &gotDacl, &defaulted), STATUS_SUCCESS);
    EXPECT_FALSE(present);
}

/* A valid self-relative descriptor with every part present: DACL at 20, SACL, owner, group. */
std::vector<UCHAR> FullDescriptor()
{
    Descriptor sd(L"O:BAG:SYD:(A;;FA;;;SY)S:(AU;FA;FA;;;WD)");
    EXPECT_EQ(sd.status(), STATUS_SUCCESS);
    return std::vector<UCHAR>(sd.bytes(), sd.bytes() + sd.length());
}

TEST_F(SecurityDescriptorTest, RelativeValidationRejectsEveryOutOfRangeOffset)
{
    std::vector<UCHAR> good = FullDescriptor();
    ULONG length = (ULONG)good.size();
    ASSERT_TRUE(RtlValidRelativeSecurityDescriptor(good.data(), length, 0));

    const ULONG fields[] = {FIELD_OFFSET(SECURITY_DESCRIPTOR_RELATIVE, Owner),
                            FIELD_OFFSET(SECURITY_DESCRIPTOR_RELATIVE, Group),
                            FIELD_OFFSET(SECURITY_DESCRIPTOR_RELATIVE, Sacl),
                            FIELD_OFFSET(SECURITY_DESCRIPTOR_RELATIVE, Dacl)};
    const ULONG badOffsets[] = {4, 16, 21, length, length - 4, length + 8, 0x7FFFFFFC, 0xFFFFFFFC};
    for (ULONG field : fields) {
        for (ULONG offset : badOffsets) {
            std::vector<UCHAR> bad = good;
            std::memcpy(bad.data() + field, &offset, sizeof(offset));
            EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(bad.data(), length, 0))
                << "field at " << field << " set to " << offset;
        }
    }
    for (ULONG shorter = 0; shorter < length; ++shorter)
        EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(good.data(), shorter, 0)) << "truncated to " << shorter;

    auto corrupt = [&](auto change) {
        std::vector<UCHAR> bad = good;
        change((PISECURITY_DESCRIPTOR_RELATIVE)bad.data(), bad.data());
        return RtlValidRelativeSecurityDescriptor(bad.data(), length, 0);
    };
    EXPECT_FALSE(corrupt([](auto sd, auto) { sd->Revision = 2; }));
    EXPECT_FALSE(corrupt([](auto sd, auto) { sd->Control &= ~SE_SELF_RELATIVE; }));
    EXPECT_FALSE(corrupt([](auto sd, auto base) { ((PACL)(base + sd->Dacl))->AclSize = 0x400; }))
        << "ACL longer than the descriptor";
    EXPECT_FALSE(corrupt([](auto sd, auto base) { ((PACE_HEADER)(base + sd->Dacl + 8))->AceSize = 0x40; }))
        << "ACE overrunning its ACL";
    EXPECT_FALSE(corrupt([](auto sd, auto base) { ((PISID)(base + sd->Owner))->SubAuthorityCount = 15; }))
        << "owner SID running past the end";
    EXPECT_TRUE(corrupt([](auto sd, auto) {
        sd->Control &= ~SE_SACL_PRESENT;
        sd->Sacl = 0xFFFFFFF0; /* not present: the offset means nothing */
    }));
    EXPECT_TRUE(corrupt([](auto sd, auto) { sd->Dacl = 0; })) << "a NULL DACL is valid";
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(nullptr, length, 0));
}

TEST_F(SecurityDescriptorTest, RelativeValidationHonoursRequiredParts)
{
    Descriptor dacl(L"D:(A;;FA;;;SY)");
    ASSERT_EQ(dacl.status(), STATUS_SUCCESS);
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(dacl.get(), dacl.length(), DACL_SECURITY_INFORMATION));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(dacl.get(), dacl.length(), OWNER_SECURITY_INFORMATION));
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(dacl.get(), dacl.length(), GROUP_SECURITY_INFORMATION));
    Descriptor owner(L"O:SY");
    EXPECT_FALSE(RtlValidRelativeSecurityDescriptor(owner.get(), owner.length(), DACL_SECURITY_INFORMATION));
}

} // namespace
