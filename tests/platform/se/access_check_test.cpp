/*
 * SeAccessCheck: ACE order, inherit-only ACEs, NULL and empty DACLs, the owner's
 * implicit rights, MAXIMUM_ALLOWED, privileges, generic mapping, deny-only groups,
 * restricted and write-restricted tokens, previously granted access, and the control
 * device's descriptor; a model of the DACL walk checked against random DACLs; and
 * the rights a descriptor computed by inheritance gives its creator and others.
 */
#include "se_test_support.h"

#include <random>

namespace {

using namespace setest;

class AccessCheckTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        user_ = se::CreateLinuxUserToken(1000, 1000, {});
        root_ = se::CreateLinuxUserToken(0, 0, {});
        ASSERT_TRUE(user_ && root_);
    }
    void TearDown() override
    {
        ObDereferenceObject(user_);
        ObDereferenceObject(root_);
        MachineTest::TearDown();
    }
    bool Allowed(const wchar_t *sddl, PVOID token, ACCESS_MASK desired, ACCESS_MASK previous = 0)
    {
        Descriptor sd(sddl);
        EXPECT_EQ(sd.status(), STATUS_SUCCESS) << "descriptor text";
        CheckOutcome outcome = Check(sd.get(), token, desired, UserMode, previous);
        EXPECT_EQ(outcome.status, outcome.allowed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        if (!outcome.allowed) {
            EXPECT_EQ(outcome.granted, 0u) << "nothing granted on denial";
        }
        return outcome.allowed;
    }
    ACCESS_MASK Maximum(const wchar_t *sddl, PVOID token, ACCESS_MASK extra = 0)
    {
        Descriptor sd(sddl);
        CheckOutcome outcome = Check(sd.get(), token, MAXIMUM_ALLOWED | extra);
        return outcome.allowed ? outcome.granted : 0;
    }
    PVOID user_ = nullptr;
    PVOID root_ = nullptr;
};

TEST_F(AccessCheckTest, AcesAreEvaluatedInStoredOrder)
{
    const wchar_t *denyFirst = L"O:SYG:SYD:(D;;0x2;;;WD)(A;;FA;;;WD)";
    EXPECT_FALSE(Allowed(denyFirst, user_, kWriteData)) << "deny before allow";
    EXPECT_TRUE(Allowed(denyFirst, user_, kReadData)) << "the deny names another bit";
    EXPECT_FALSE(Allowed(denyFirst, user_, kReadData | kWriteData));

    const wchar_t *allowFirst = L"O:SYG:SYD:(A;;FA;;;WD)(D;;0x2;;;WD)";
    EXPECT_TRUE(Allowed(allowFirst, user_, kWriteData)) << "granted before the deny is reached";

    const wchar_t *split = L"O:SYG:SYD:(A;;0x1;;;WD)(D;;0x3;;;WD)(A;;0x2;;;WD)";
    EXPECT_TRUE(Allowed(split, user_, kReadData)) << "the deny refuses only bits still wanted";
    EXPECT_FALSE(Allowed(split, user_, kReadData | kWriteData)) << "write was still wanted at the deny";

    EXPECT_FALSE(Allowed(L"O:SYG:SYD:(A;;0x1;;;WD)(A;;0x4;;;WD)", user_, kReadData | kWriteData))
        << "bits no ACE grants are denied";
    EXPECT_TRUE(Allowed(L"O:SYG:SYD:(A;;0x1;;;WD)(A;;0x2;;;BU)", user_, kReadData | kWriteData))
        << "grants add up across ACEs and groups";
}

TEST_F(AccessCheckTest, InheritOnlyAcesTakeNoPart)
{
    EXPECT_TRUE(Allowed(L"O:SYD:(D;OIIO;FA;;;WD)(A;OICI;FA;;;WD)", user_, kFileAll));
    EXPECT_FALSE(Allowed(L"O:SYD:(A;CIIO;FA;;;WD)", user_, kReadData));
}

TEST_F(AccessCheckTest, NullDaclGrantsAllAndEmptyDaclOnlyTheOwnersRights)
{
    EXPECT_TRUE(Allowed(L"O:SYD:NO_ACCESS_CONTROL", user_, kFileAll | WRITE_OWNER));
    EXPECT_EQ(Maximum(L"O:SYD:NO_ACCESS_CONTROL", user_), kFileAll) << "the full mask of the type";
    EXPECT_TRUE(Allowed(L"O:SYG:SY", user_, kFileAll)) << "no DACL at all";

    EXPECT_FALSE(Allowed(L"O:SYD:", user_, READ_CONTROL)) << "empty DACL, not the owner";
    EXPECT_EQ(Maximum(L"O:SYD:", user_), 0u);
    const wchar_t *ownedEmpty = L"O:S-1-22-1-1000D:";
    EXPECT_TRUE(Allowed(ownedEmpty, user_, READ_CONTROL | WRITE_DAC));
    EXPECT_FALSE(Allowed(ownedEmpty, user_, READ_CONTROL | kReadData));
    EXPECT_EQ(Maximum(ownedEmpty, user_), (ACCESS_MASK)(READ_CONTROL | WRITE_DAC));
}

TEST_F(AccessCheckTest, OwnerHasReadControlAndWriteDacUnlessOwnerRightsSay)
{
    EXPECT_TRUE(Allowed(L"O:BUD:(A;;0x1;;;SY)", user_, READ_CONTROL | WRITE_DAC)) << "owner through a group";
    EXPECT_FALSE(Allowed(L"O:BUD:(A;;0x1;;;SY)", user_, WRITE_OWNER)) << "WRITE_OWNER is not implicit";
    EXPECT_TRUE(Allowed(L"O:BUD:(D;;WD;;;WD)", user_, WRITE_DAC)) << "implicit rights come before the DACL";

    const wchar_t *ownerRights = L"O:S-1-22-1-1000D:(A;;0x1;;;OW)";
    EXPECT_FALSE(Allowed(ownerRights, user_, READ_CONTROL)) << "an OWNER RIGHTS ACE replaces the implicit rights";
    EXPECT_TRUE(Allowed(ownerRights, user_, kReadData));
    EXPECT_FALSE(Allowed(ownerRights, root_, kReadData)) << "OWNER RIGHTS names only the owner";
}

TEST_F(AccessCheckTest, MaximumAllowedCollectsEveryGrantableBit)
{
    const wchar_t *sddl = L"O:SYD:(A;;FR;;;WD)(D;;0x100;;;BU)(A;;FA;;;BU)";
    EXPECT_EQ(Maximum(sddl, user_), kFileAll & ~0x100u) << "the deny removes what no earlier ACE granted";
    EXPECT_EQ(Maximum(sddl, user_, kReadData), kFileAll & ~0x100u);
    EXPECT_EQ(Maximum(sddl, user_, 0x100), 0u) << "an explicit bit that cannot be granted denies";
    EXPECT_EQ(Maximum(L"O:SYD:(A;;0x100;;;WD)(D;;0x100;;;WD)", user_), 0x100u) << "a later deny cannot take back";
}

TEST_F(AccessCheckTest, AccessSystemSecurityNeedsTheSecurityPrivilegeEnabled)
{
    Descriptor sd(L"O:SYD:(A;;FA;;;WD)");
    CheckOutcome denied = Check(sd.get(), root_, ACCESS_SYSTEM_SECURITY | kReadData);
    EXPECT_FALSE(denied.allowed);
    EXPECT_EQ(denied.status, STATUS_PRIVILEGE_NOT_HELD) << "held but not enabled";
    EXPECT_EQ(Check(sd.get(), user_, ACCESS_SYSTEM_SECURITY).status, STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_TRUE(Check(sd.get(), user_, ACCESS_SYSTEM_SECURITY, KernelMode).allowed);

    ASSERT_EQ(se::AdjustTokenPrivilege(root_, SeExports->SeSecurityPrivilege, true), STATUS_SUCCESS);
    SECURITY_SUBJECT_CONTEXT subject = {};
    subject.PrimaryToken = root_;
    GENERIC_MAPPING mapping = FileMapping();
    PPRIVILEGE_SET used = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = STATUS_PENDING;
    ASSERT_TRUE(SeAccessCheck(sd.get(), &subject, FALSE, ACCESS_SYSTEM_SECURITY | kReadData, 0, &used, &mapping,
                              UserMode, &granted, &status));
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(granted, (ACCESS_MASK)(ACCESS_SYSTEM_SECURITY | kReadData));
    ASSERT_NE(used, nullptr);
    ASSERT_EQ(used->PrivilegeCount, 1u);
    EXPECT_EQ(used->Privilege[0].Luid.LowPart, (ULONG)SE_SECURITY_PRIVILEGE);
    SeFreePrivileges(used);

    EXPECT_EQ(Maximum(L"O:SYD:(A;;FA;;;WD)", root_), kFileAll) << "never granted through MAXIMUM_ALLOWED alone";
    EXPECT_FALSE(Allowed(L"O:SYD:(A;;0x1000000;;;WD)", user_, 0)) << "nothing desired, nothing granted before";
}

TEST_F(AccessCheckTest, TakeOwnershipPrivilegeGrantsWriteOwner)
{
    const wchar_t *sddl = L"O:SYD:(A;;0x1;;;WD)";
    EXPECT_FALSE(Allowed(sddl, root_, WRITE_OWNER));
    se::AdjustTokenPrivilege(root_, SeExports->SeTakeOwnershipPrivilege, true);
    EXPECT_TRUE(Allowed(sddl, root_, WRITE_OWNER | kReadData));
    EXPECT_FALSE(Allowed(sddl, root_, WRITE_OWNER | kWriteData)) << "the privilege grants only WRITE_OWNER";
    se::AdjustTokenPrivilege(root_, SeExports->SeBackupPrivilege, true);
    EXPECT_FALSE(Allowed(sddl, root_, kWriteData)) << "backup and restore are the file system's business";
}

TEST_F(AccessCheckTest, GenericBitsAreMappedOnBothSides)
{
    Descriptor sd(L"O:SYD:(A;;GR;;;WD)");
    CheckOutcome read = Check(sd.get(), user_, GENERIC_READ);
    EXPECT_TRUE(read.allowed);
    EXPECT_EQ(read.granted, kFileRead) << "granted in specific rights";
    EXPECT_TRUE(Check(sd.get(), user_, kReadData | SYNCHRONIZE).allowed) << "the ACE's GR means FILE_GENERIC_READ";
    EXPECT_FALSE(Check(sd.get(), user_, GENERIC_WRITE).allowed);
    EXPECT_FALSE(Check(sd.get(), user_, kAppendData).allowed);

    ACCESS_MASK mask = GENERIC_READ | GENERIC_EXECUTE | DELETE;
    GENERIC_MAPPING mapping = FileMapping();
    RtlMapGenericMask(&mask, &mapping);
    EXPECT_EQ(mask, kFileRead | kFileExecute | DELETE);
}

TEST_F(AccessCheckTest, ControlDeviceDescriptorSeparatesUsersFromAdministrators)
{
    const wchar_t *device = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)";
    EXPECT_TRUE(Allowed(device, user_, GENERIC_READ));
    EXPECT_FALSE(Allowed(device, user_, GENERIC_WRITE));
    EXPECT_FALSE(Allowed(device, user_, GENERIC_READ | GENERIC_WRITE));
    EXPECT_TRUE(Allowed(device, root_, GENERIC_READ | GENERIC_WRITE));
    SECURITY_SUBJECT_CONTEXT system;
    SeCaptureSubjectContext(&system);
    EXPECT_TRUE(Allowed(device, system.PrimaryToken, GENERIC_ALL));
    SeReleaseSubjectContext(&system);
    TokenRef nobody(se::CreateLinuxUserToken(65534, 65534, {}));
    EXPECT_EQ(Maximum(device, nobody.get()), kFileRead);
}

TEST_F(AccessCheckTest, DenyOnlyAndDisabledGroups)
{
    se::TokenTemplate shape = se::LinuxUserTokenTemplate(1000, 1000, {});
    shape.groups.push_back({Sid(L"S-1-5-32-551"), SE_GROUP_USE_FOR_DENY_ONLY});
    shape.groups.push_back({Sid(L"S-1-5-32-550"), SE_GROUP_ENABLED_BY_DEFAULT}); /* present, disabled */
    TokenRef token(se::CreateToken(shape));
    ASSERT_NE(token.get(), nullptr);

    EXPECT_FALSE(Allowed(L"O:SYD:(A;;FA;;;BO)", token.get(), kReadData)) << "deny-only never allows";
    EXPECT_FALSE(Allowed(L"O:SYD:(D;;0x2;;;BO)(A;;FA;;;WD)", token.get(), kWriteData)) << "but it denies";
    EXPECT_FALSE(Allowed(L"O:SYD:(A;;FA;;;PO)", token.get(), kReadData)) << "a disabled group does not allow";
    EXPECT_TRUE(Allowed(L"O:SYD:(D;;FA;;;PO)(A;;FA;;;WD)", token.get(), kReadData)) << "nor deny";
    EXPECT_FALSE(Allowed(L"O:BOD:", token.get(), READ_CONTROL)) << "a deny-only group does not own";

    ASSERT_EQ(se::AdjustTokenGroup(token.get(), Sid(L"PO"), true), STATUS_SUCCESS);
    EXPECT_TRUE(Allowed(L"O:SYD:(A;;FA;;;PO)", token.get(), kReadData));
}

/* A token of uid with the given restricting SIDs (SDDL spellings). */
PVOID RestrictedToken(uint32_t uid, std::initializer_list<const wchar_t *> sids, ULONG flags = TOKEN_IS_RESTRICTED)
{
    se::TokenTemplate shape = se::LinuxUserTokenTemplate(uid, uid, {});
    for (const wchar_t *sid : sids)
        shape.restrictingSids.push_back(Sid(sid));
    shape.restrictionFlags = flags;
    return se::CreateToken(shape);
}

TEST_F(AccessCheckTest, RestrictedTokenGetsOnlyWhatItsSidsAndItsRestrictingSidsBothGrant)
{
    TokenRef token(RestrictedToken(1000, {L"RC"}));
    ASSERT_NE(token.get(), nullptr);
    EXPECT_TRUE(Allowed(L"O:SYD:(A;;FA;;;WD)", user_, kReadData)) << "the same user, unrestricted";
    EXPECT_FALSE(Allowed(L"O:SYD:(A;;FA;;;WD)", token.get(), kReadData)) << "no ACE for the restricting SIDs";
    EXPECT_FALSE(Allowed(L"O:SYD:(A;;FA;;;RC)", token.get(), kReadData)) << "nor for the user and groups";

    const wchar_t *both = L"O:SYD:(A;;FA;;;WD)(A;;FR;;;RC)";
    EXPECT_TRUE(Allowed(both, token.get(), kReadData));
    EXPECT_FALSE(Allowed(both, token.get(), kReadData | kWriteData)) << "write only through the user's SIDs";
    EXPECT_EQ(Maximum(both, token.get()), kFileRead) << "the intersection of the two";
    EXPECT_EQ(Maximum(L"O:SYD:(A;;FR;;;WD)(A;;FA;;;RC)", token.get()), kFileRead);

    const wchar_t *denied = L"O:SYD:(D;;0x2;;;RC)(A;;FA;;;WD)(A;;FA;;;RC)";
    EXPECT_FALSE(Allowed(denied, token.get(), kWriteData)) << "a restricting SID meets deny ACEs too";
    EXPECT_TRUE(Allowed(denied, token.get(), kReadData));
    EXPECT_EQ(Maximum(L"O:SYD:(A;;FA;;;WD)", token.get()), 0u) << "nothing in common is a denial";
}

TEST_F(AccessCheckTest, RestrictedOwnerKeepsItsImplicitRightsOnlyAmongTheRestrictingSids)
{
    const wchar_t *owned = L"O:S-1-22-1-1000D:(A;;FA;;;WD)(A;;0x1;;;RC)";
    TokenRef outside(RestrictedToken(1000, {L"RC"}));
    EXPECT_TRUE(Allowed(owned, user_, WRITE_DAC));
    EXPECT_FALSE(Allowed(owned, outside.get(), WRITE_DAC)) << "the owner is not among the restricting SIDs";
    TokenRef inside(RestrictedToken(1000, {L"RC", L"S-1-22-1-1000"}));
    EXPECT_TRUE(Allowed(owned, inside.get(), WRITE_DAC | READ_CONTROL | kReadData));

    TokenRef root(RestrictedToken(0, {L"RC"}));
    se::AdjustTokenPrivilege(root.get(), SeExports->SeTakeOwnershipPrivilege, true);
    EXPECT_TRUE(Allowed(L"O:SYD:(A;;0x1;;;WD)(A;;0x1;;;RC)", root.get(), WRITE_OWNER | kReadData))
        << "what a privilege grants is not checked again";
    EXPECT_TRUE(Allowed(L"O:SYD:(A;;FA;;;WD)", outside.get(), kWriteData | kReadData, kReadData | kWriteData))
        << "nor what was granted before";
}

TEST_F(AccessCheckTest, WriteRestrictedTokenIsRestrictedForWriteAccessOnly)
{
    TokenRef token(RestrictedToken(1000, {L"WR"}, TOKEN_IS_RESTRICTED | TOKEN_WRITE_RESTRICTED));
    ASSERT_NE(token.get(), nullptr);
    const wchar_t *everyone = L"O:SYD:(A;;FA;;;WD)";
    EXPECT_TRUE(Allowed(everyone, token.get(), kReadData | kExecute)) << "reading needs the user's SIDs only";
    EXPECT_FALSE(Allowed(everyone, token.get(), kWriteData));
    EXPECT_FALSE(Allowed(everyone, token.get(), kAppendData | kReadData));
    EXPECT_FALSE(Allowed(L"O:SYD:(A;;FR;;;WD)(A;;FA;;;WR)", token.get(), kWriteData)) << "and both for writing";

    const wchar_t *writable = L"O:SYD:(A;;FA;;;WD)(A;;FW;;;WR)";
    EXPECT_TRUE(Allowed(writable, token.get(), kReadData | kWriteData | kAppendData));
    EXPECT_EQ(Maximum(writable, token.get()), kFileAll);
    EXPECT_EQ(Maximum(L"O:SYD:(A;;FA;;;WD)(A;;FR;;;WR)", token.get()), kFileAll & ~(kFileWrite & ~kFileRead))
        << "only the write bits are cut";
}

TEST_F(AccessCheckTest, PreviouslyGrantedAccessIsHonoured)
{
    const wchar_t *sddl = L"O:SYD:(D;;0x2;;;WD)(A;;FA;;;WD)";
    Descriptor sd(sddl);
    CheckOutcome outcome = Check(sd.get(), user_, kReadData | kWriteData, UserMode, kWriteData);
    EXPECT_TRUE(outcome.allowed) << "the deny meets no bit still wanted";
    EXPECT_EQ(outcome.granted, (ACCESS_MASK)(kReadData | kWriteData));
    outcome = Check(sd.get(), user_, 0, UserMode, kAppendData);
    EXPECT_TRUE(outcome.allowed);
    EXPECT_EQ(outcome.granted, (ACCESS_MASK)kAppendData);
    EXPECT_FALSE(Check(sd.get(), user_, 0).allowed);
}

TEST_F(AccessCheckTest, KernelModeAndSubjectStateShortCuts)
{
    Descriptor empty(L"O:SYD:");
    CheckOutcome kernel = Check(empty.get(), user_, kFileAll, KernelMode);
    EXPECT_TRUE(kernel.allowed);
    EXPECT_EQ(kernel.granted, kFileAll);
    EXPECT_EQ(Check(empty.get(), user_, MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY, KernelMode).granted,
              kFileAll | ACCESS_SYSTEM_SECURITY);
    EXPECT_EQ(Check(nullptr, user_, kReadData).status, STATUS_ACCESS_DENIED);

    Descriptor open(L"O:SYD:(A;;FA;;;WD)");
    GENERIC_MAPPING mapping = FileMapping();
    ACCESS_MASK granted = 0;
    NTSTATUS status = STATUS_PENDING;
    SECURITY_SUBJECT_CONTEXT subject;
    se::SetThreadImpersonation(KeGetCurrentThread(), user_, SecurityIdentification);
    SeCaptureSubjectContext(&subject);
    EXPECT_FALSE(SeAccessCheck(open.get(), &subject, FALSE, kReadData, 0, nullptr, &mapping, UserMode, &granted,
                               &status));
    EXPECT_EQ(status, STATUS_BAD_IMPERSONATION_LEVEL);
    SeReleaseSubjectContext(&subject);

    se::SetThreadImpersonation(KeGetCurrentThread(), user_, SecurityImpersonation);
    SeCaptureSubjectContext(&subject);
    SeLockSubjectContext(&subject);
    EXPECT_TRUE(SeAccessCheck(open.get(), &subject, TRUE, kReadData, 0, nullptr, &mapping, UserMode, &granted,
                              &status));
    Descriptor systemOnly(L"O:SYD:(A;;FA;;;SY)");
    EXPECT_FALSE(SeAccessCheck(systemOnly.get(), &subject, TRUE, kReadData, 0, nullptr, &mapping, UserMode,
                               &granted, &status))
        << "the client's token decides, not the process's";
    SeUnlockSubjectContext(&subject);
    SeReleaseSubjectContext(&subject);
    se::SetThreadImpersonation(KeGetCurrentThread(), nullptr, SecurityAnonymous);
}

/* One ACE of a random DACL, and the model's view of it. */
struct ModelAce {
    bool deny;
    bool inheritOnly;
    int who; /* index into the SIDs of ModelSids() */
    ACCESS_MASK mask;
};

std::vector<se::SidBytes> ModelSids()
{
    return {Sid(L"WD"), Sid(L"BU"), Sid(L"BO"), Sid(L"S-1-22-1-1000"), Sid(L"S-1-22-1-1001"), Sid(L"CO")};
}

/* Whether SID i of ModelSids() stands for the model's token (user 1000, BO deny-only) in an ACE. */
bool ModelMatches(int who, bool deny)
{
    return who == 0 || who == 1 || who == 3 || (who == 2 && deny);
}

/* The rights MAXIMUM_ALLOWED yields: each bit goes to the first applicable ACE that names it. */
ACCESS_MASK ModelMaximum(const std::vector<ModelAce> &aces, bool owner)
{
    ACCESS_MASK granted = owner ? (READ_CONTROL | WRITE_DAC) : 0, denied = 0;
    for (const ModelAce &ace : aces) {
        if (ace.inheritOnly || !ModelMatches(ace.who, ace.deny))
            continue;
        ACCESS_MASK mask = (ace.mask & GENERIC_READ) ? ((ace.mask & ~GENERIC_READ) | kFileRead) : ace.mask;
        if (ace.deny)
            denied |= mask & ~granted;
        else
            granted |= mask & ~denied;
    }
    return granted;
}

TEST_F(AccessCheckTest, RandomDaclsAgreeWithTheModel)
{
    se::TokenTemplate shape = se::LinuxUserTokenTemplate(1000, 1000, {});
    shape.groups.push_back({Sid(L"BO"), SE_GROUP_USE_FOR_DENY_ONLY});
    TokenRef token(se::CreateToken(shape));
    ASSERT_NE(token.get(), nullptr);
    std::vector<se::SidBytes> sids = ModelSids();
    const ACCESS_MASK bits[] = {kReadData, kWriteData, kAppendData, kExecute, DELETE, READ_CONTROL, WRITE_DAC,
                                GENERIC_READ};
    std::mt19937 random(20261207);
    GENERIC_MAPPING mapping = FileMapping();

    for (int round = 0; round < 400; ++round) {
        std::vector<ModelAce> aces(random() % 7);
        UCHAR buffer[512];
        auto acl = (PACL)buffer;
        ASSERT_EQ(RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION), STATUS_SUCCESS);
        for (ModelAce &ace : aces) {
            ace.deny = random() % 3 == 0;
            ace.inheritOnly = random() % 6 == 0;
            ace.who = (int)(random() % sids.size());
            ace.mask = 0;
            for (ACCESS_MASK bit : bits)
                if (random() % 3 == 0)
                    ace.mask |= bit;
            ULONG flags = ace.inheritOnly ? (INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE) : 0;
            PSID sid = sids[ace.who].data();
            ASSERT_EQ(ace.deny ? RtlAddAccessDeniedAceEx(acl, ACL_REVISION, flags, ace.mask, sid)
                               : RtlAddAccessAllowedAceEx(acl, ACL_REVISION, flags, ace.mask, sid),
                      STATUS_SUCCESS);
        }
        bool owner = random() % 2 == 0;
        SECURITY_DESCRIPTOR sd;
        ASSERT_EQ(RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
        ASSERT_EQ(RtlSetOwnerSecurityDescriptor(&sd, sids[owner ? 3 : 4].data(), FALSE), STATUS_SUCCESS);
        ASSERT_EQ(RtlSetDaclSecurityDescriptor(&sd, TRUE, acl, FALSE), STATUS_SUCCESS);

        ACCESS_MASK expected = ModelMaximum(aces, owner);
        CheckOutcome maximum = Check(&sd, token.get(), MAXIMUM_ALLOWED);
        ASSERT_EQ(maximum.allowed, expected != 0) << "round " << round;
        ASSERT_EQ(maximum.allowed ? maximum.granted : 0, expected) << "round " << round;
        for (int probe = 0; probe < 4; ++probe) {
            ACCESS_MASK desired = 0;
            for (ACCESS_MASK bit : bits)
                if (random() % 4 == 0)
                    desired |= bit;
            ACCESS_MASK mapped = desired;
            RtlMapGenericMask(&mapped, &mapping);
            if (mapped == 0)
                continue;
            CheckOutcome outcome = Check(&sd, token.get(), desired);
            ASSERT_EQ(outcome.allowed, (mapped & ~expected) == 0) << "round " << round << " desired " << desired;
            if (outcome.allowed) {
                ASSERT_EQ(outcome.granted, mapped);
            }
        }
    }
}

TEST_F(AccessCheckTest, InheritedDescriptorGivesTheCreatorWhatCreatorOwnerHad)
{
    Descriptor parent(L"O:BAG:SYD:(D;OICI;SD;;;S-1-22-1-1001)(A;OICIIO;GA;;;CO)(A;OICI;GR;;;BU)");
    SECURITY_SUBJECT_CONTEXT subject = {};
    subject.PrimaryToken = user_;
    GENERIC_MAPPING mapping = FileMapping();
    PSECURITY_DESCRIPTOR file = nullptr;
    ASSERT_EQ(SeAssignSecurityEx(parent.get(), nullptr, &file, nullptr, FALSE,
                                 SEF_DACL_AUTO_INHERIT | SEF_SACL_AUTO_INHERIT, &subject, &mapping, PagedPool),
              STATUS_SUCCESS);
    TokenRef other(se::CreateLinuxUserToken(1001, 1001, {}));
    EXPECT_EQ(Check(file, user_, MAXIMUM_ALLOWED).granted, kFileAll) << "the creator, through CREATOR OWNER";
    EXPECT_EQ(Check(file, other.get(), MAXIMUM_ALLOWED).granted, kFileRead) << "another user, through Users";
    EXPECT_FALSE(Check(file, other.get(), DELETE).allowed) << "the inherited deny comes first";
    EXPECT_TRUE(Check(file, other.get(), READ_CONTROL).allowed);
    EXPECT_EQ(Check(file, root_, MAXIMUM_ALLOWED).granted, kFileRead)
        << "Administrators owned the parent, not the file";
    SeDeassignSecurity(&file);
    EXPECT_EQ(file, nullptr);
}

} // namespace
