/*
 * Tokens: the Linux identity mapping, the system token, queries, changes and their
 * modified-id, subject contexts with and without impersonation, access states and
 * privilege checks.
 */
#include "se_test_support.h"

#include "../ke/ke_test_support.h"

namespace {

using namespace setest;
using TokenTest = MachineTest;

template <typename T>
struct Queried {
    explicit Queried(PVOID token, TOKEN_INFORMATION_CLASS infoClass)
    {
        status = SeQueryInformationToken(token, infoClass, &buffer);
    }
    ~Queried()
    {
        if (NT_SUCCESS(status))
            ExFreePool(buffer);
    }
    T *operator->() const { return static_cast<T *>(buffer); }
    NTSTATUS status;
    PVOID buffer = nullptr;
};

se::SidBytes Bytes(PSID sid)
{
    auto p = static_cast<const UCHAR *>(sid);
    return se::SidBytes(p, p + RtlLengthSid(sid));
}

LUID ModifiedId(PVOID token)
{
    Queried<TOKEN_STATISTICS> statistics(token, TokenStatistics);
    return statistics->ModifiedId;
}

bool SameLuid(LUID a, LUID b)
{
    return RtlEqualLuid(&a, &b);
}

ULONG PrivilegeAttributes(PVOID token, LONG privilege)
{
    Queried<TOKEN_PRIVILEGES> privileges(token, TokenPrivileges);
    for (ULONG i = 0; i < privileges->PrivilegeCount; ++i)
        if (privileges->Privileges[i].Luid.LowPart == (ULONG)privilege)
            return privileges->Privileges[i].Attributes;
    return 0xFFFFFFFF; /* not held */
}

/* The default DACL's ACEs as (SID, mask). */
std::vector<std::pair<se::SidBytes, ACCESS_MASK>> DefaultDacl(PVOID token)
{
    Queried<TOKEN_DEFAULT_DACL> dacl(token, TokenDefaultDacl);
    std::vector<std::pair<se::SidBytes, ACCESS_MASK>> aces;
    for (ULONG i = 0; dacl->DefaultDacl != nullptr && i < dacl->DefaultDacl->AceCount; ++i) {
        PVOID ace = nullptr;
        RtlGetAce(dacl->DefaultDacl, i, &ace);
        aces.emplace_back(Bytes(&((PACCESS_ALLOWED_ACE)ace)->SidStart), ((PACCESS_ALLOWED_ACE)ace)->Mask);
    }
    return aces;
}

TEST_F(TokenTest, StandardUserMapsToUnixSidsWithTraverseOnly)
{
    TokenRef token(se::CreateLinuxUserToken(1000, 1000, {27, 1000, 100, 27}));
    ASSERT_NE(token.get(), nullptr);

    Queried<TOKEN_USER> user(token.get(), TokenUser);
    ASSERT_EQ(user.status, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(user->User.Sid), Sid(L"S-1-22-1-1000"));
    std::vector<ULONG> attributes;
    std::vector<se::SidBytes> expected = {Sid(L"S-1-22-2-1000"), Sid(L"S-1-22-2-27"), Sid(L"S-1-22-2-100"),
                                          Sid(L"WD"), Sid(L"BU"), Sid(L"AU")};
    EXPECT_EQ(GroupSids(token.get(), &attributes), expected) << "primary group first, duplicates once";
    for (ULONG attribute : attributes)
        EXPECT_EQ(attribute, SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED);
    EXPECT_FALSE(SeTokenIsAdmin(token.get()));

    Queried<TOKEN_PRIVILEGES> privileges(token.get(), TokenPrivileges);
    ASSERT_EQ(privileges->PrivilegeCount, 1u);
    EXPECT_EQ(privileges->Privileges[0].Luid.LowPart, (ULONG)SE_CHANGE_NOTIFY_PRIVILEGE);
    EXPECT_TRUE(privileges->Privileges[0].Attributes & SE_PRIVILEGE_ENABLED);

    Queried<TOKEN_OWNER> owner(token.get(), TokenOwner);
    EXPECT_EQ(Bytes(owner->Owner), Sid(L"S-1-22-1-1000"));
    Queried<TOKEN_PRIMARY_GROUP> group(token.get(), TokenPrimaryGroup);
    EXPECT_EQ(Bytes(group->PrimaryGroup), Sid(L"S-1-22-2-1000"));
    std::vector<std::pair<se::SidBytes, ACCESS_MASK>> dacl = {{Sid(L"S-1-22-1-1000"), GENERIC_ALL},
                                                              {Sid(L"SY"), GENERIC_ALL}};
    EXPECT_EQ(DefaultDacl(token.get()), dacl);
}

TEST_F(TokenTest, RootIsAnElevatedAdministrator)
{
    TokenRef token(se::CreateLinuxUserToken(0, 0, {}));
    ASSERT_NE(token.get(), nullptr);
    EXPECT_TRUE(SeTokenIsAdmin(token.get()));
    std::vector<ULONG> attributes;
    std::vector<se::SidBytes> groups = GroupSids(token.get(), &attributes);
    ASSERT_EQ(groups.back(), Sid(L"BA"));
    EXPECT_EQ(attributes.back(), SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED | SE_GROUP_OWNER);
    Queried<TOKEN_OWNER> owner(token.get(), TokenOwner);
    EXPECT_EQ(Bytes(owner->Owner), Sid(L"BA")) << "objects root creates belong to Administrators";
    std::vector<std::pair<se::SidBytes, ACCESS_MASK>> dacl = {{Sid(L"BA"), GENERIC_ALL}, {Sid(L"SY"), GENERIC_ALL}};
    EXPECT_EQ(DefaultDacl(token.get()), dacl);

    for (LONG held : {SE_SECURITY_PRIVILEGE, SE_BACKUP_PRIVILEGE, SE_RESTORE_PRIVILEGE, SE_TAKE_OWNERSHIP_PRIVILEGE})
        EXPECT_EQ(PrivilegeAttributes(token.get(), held), 0u) << "held but disabled: " << held;
    EXPECT_EQ(PrivilegeAttributes(token.get(), SE_CHANGE_NOTIFY_PRIVILEGE),
              (ULONG)(SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT));
    EXPECT_EQ(PrivilegeAttributes(token.get(), SE_TCB_PRIVILEGE), 0xFFFFFFFFu);
}

TEST_F(TokenTest, SystemProcessRunsAsLocalSystem)
{
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    EXPECT_EQ(subject.ClientToken, nullptr);
    ASSERT_NE(subject.PrimaryToken, nullptr);
    EXPECT_EQ(SeQuerySubjectContextToken(&subject), subject.PrimaryToken);
    Queried<TOKEN_USER> user(subject.PrimaryToken, TokenUser);
    EXPECT_TRUE(RtlEqualSid(user->User.Sid, SeExports->SeLocalSystemSid));
    EXPECT_TRUE(SeTokenIsAdmin(subject.PrimaryToken));
    Queried<TOKEN_STATISTICS> statistics(subject.PrimaryToken, TokenStatistics);
    EXPECT_EQ(statistics->AuthenticationId.LowPart, 0x3E7u) << "SYSTEM_LUID";
    EXPECT_EQ(statistics->TokenType, TokenPrimary);
    EXPECT_EQ(PrivilegeAttributes(subject.PrimaryToken, SE_TCB_PRIVILEGE) & SE_PRIVILEGE_ENABLED,
              (ULONG)SE_PRIVILEGE_ENABLED);
    EXPECT_EQ(PrivilegeAttributes(subject.PrimaryToken, SE_SECURITY_PRIVILEGE), 0u);
    SeReleaseSubjectContext(&subject);
    EXPECT_EQ(subject.PrimaryToken, nullptr);
    EXPECT_EQ(machine::PoolTag(se::kTokenTag).liveBlocks, 0u) << "the system token is not pool memory";
}

TEST_F(TokenTest, EveryChangeRenewsTheModifiedId)
{
    TokenRef token(se::CreateLinuxUserToken(0, 0, {}));
    Queried<TOKEN_STATISTICS> before(token.get(), TokenStatistics);
    LUID last = before->ModifiedId;
    auto changed = [&] {
        LUID now = ModifiedId(token.get());
        bool renewed = !SameLuid(now, last);
        last = now;
        return renewed;
    };

    EXPECT_EQ(se::AdjustTokenPrivilege(token.get(), SeExports->SeBackupPrivilege, true), STATUS_SUCCESS);
    EXPECT_TRUE(changed());
    EXPECT_EQ(PrivilegeAttributes(token.get(), SE_BACKUP_PRIVILEGE), (ULONG)SE_PRIVILEGE_ENABLED);
    EXPECT_EQ(se::AdjustTokenPrivilege(token.get(), SeExports->SeTcbPrivilege, true), STATUS_NOT_ALL_ASSIGNED);
    EXPECT_FALSE(changed());
    EXPECT_EQ(se::AdjustTokenGroup(token.get(), Sid(L"WD"), false), STATUS_CANT_DISABLE_MANDATORY);
    EXPECT_FALSE(changed());
    EXPECT_EQ(se::SetTokenDefaultOwner(token.get(), Sid(L"S-1-22-1-0")), STATUS_SUCCESS);
    EXPECT_TRUE(changed());
    EXPECT_EQ(se::SetTokenDefaultOwner(token.get(), Sid(L"WD")), STATUS_INVALID_OWNER) << "not an owner group";
    EXPECT_EQ(se::SetTokenPrimaryGroup(token.get(), Sid(L"BG")), STATUS_INVALID_PRIMARY_GROUP);
    EXPECT_FALSE(changed());
    EXPECT_EQ(se::SetTokenPrimaryGroup(token.get(), Sid(L"BA")), STATUS_SUCCESS);
    EXPECT_TRUE(changed());
    EXPECT_EQ(se::SetTokenDefaultDacl(token.get(), nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(changed());
    EXPECT_TRUE(DefaultDacl(token.get()).empty());
    Queried<TOKEN_PRIMARY_GROUP> group(token.get(), TokenPrimaryGroup);
    EXPECT_EQ(Bytes(group->PrimaryGroup), Sid(L"BA")) << "the primary group survives a new default DACL";

    Queried<TOKEN_STATISTICS> after(token.get(), TokenStatistics);
    EXPECT_TRUE(SameLuid(after->TokenId, before->TokenId)) << "the token id never changes";
}

TEST_F(TokenTest, QueriesAllocateFromThePoolAndRefuseUnsupportedClasses)
{
    TokenRef token(se::CreateLinuxUserToken(1000, 1000, {}));
    Queried<TOKEN_TYPE> type(token.get(), TokenType);
    EXPECT_EQ(*static_cast<PTOKEN_TYPE>(type.buffer), TokenPrimary);
    PVOID value = (PVOID)1;
    EXPECT_EQ(SeQueryInformationToken(token.get(), TokenSessionId, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, nullptr) << "session 0, returned as the value itself";
    EXPECT_EQ(SeQueryInformationToken(token.get(), TokenImpersonationLevel, &value), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(SeQueryInformationToken(token.get(), TokenSource, &value), STATUS_INVALID_INFO_CLASS);
    machine::ArmFault("ExAllocatePoolWithTag", 1);
    EXPECT_EQ(SeQueryInformationToken(token.get(), TokenGroups, &value), STATUS_INSUFFICIENT_RESOURCES);
    machine::DisarmFaults();
}

TEST_F(TokenTest, ATokenIsRestrictedExactlyWhenItHasRestrictingSids)
{
    se::TokenTemplate shape = se::LinuxUserTokenTemplate(1000, 1000, {});
    shape.restrictingSids = {Sid(L"RC"), Sid(L"S-1-22-1-1000")};
    EXPECT_EQ(se::CreateToken(shape), nullptr) << "restricting SIDs without the flag";
    shape.restrictionFlags = TOKEN_IS_RESTRICTED;
    TokenRef restricted(se::CreateToken(shape));
    ASSERT_NE(restricted.get(), nullptr);
    EXPECT_TRUE(SeTokenIsRestricted(restricted.get()));
    Queried<TOKEN_GROUPS> sids(restricted.get(), TokenRestrictedSids);
    ASSERT_EQ(sids.status, STATUS_SUCCESS);
    ASSERT_EQ(sids->GroupCount, 2u);
    EXPECT_EQ(Bytes(sids->Groups[0].Sid), Sid(L"RC"));
    EXPECT_EQ(Bytes(sids->Groups[1].Sid), Sid(L"S-1-22-1-1000"));
    EXPECT_TRUE(sids->Groups[1].Attributes & SE_GROUP_ENABLED) << "restricting SIDs always take part";

    shape.restrictingSids.clear();
    EXPECT_EQ(se::CreateToken(shape), nullptr) << "the flag without restricting SIDs";
    shape.restrictionFlags = TOKEN_WRITE_RESTRICTED;
    EXPECT_EQ(se::CreateToken(shape), nullptr) << "write-restricted needs restricting SIDs";
}

TEST_F(TokenTest, LastReferenceFreesTheTokenAndLeaksAreAudited)
{
    PVOID token = se::CreateLinuxUserToken(1000, 1000, {});
    ObReferenceObject(token);
    ObDereferenceObject(token);
    EXPECT_GT(machine::PoolTag(se::kTokenTag).liveBlocks, 0u);
    EXPECT_FALSE(machine::Audit().Clean()) << "a live token is a leak at shutdown";
    ObDereferenceObject(token);
    EXPECT_EQ(machine::PoolTag(se::kTokenTag).liveBlocks, 0u) << "body and dynamic part freed";

    SECURITY_SUBJECT_CONTEXT forgotten;
    SeCaptureSubjectContext(&forgotten);
    machine::AuditReport report = machine::Audit();
    ASSERT_EQ(report.findings.size(), 1u) << report.Text();
    EXPECT_NE(report.findings[0].find("system token holds 1 reference"), std::string::npos) << report.Text();
    SeReleaseSubjectContext(&forgotten);
}

TEST_F(TokenTest, ImpersonationIsCapturedPerThread)
{
    TokenRef client(se::CreateLinuxUserToken(1000, 1000, {}));
    se::SetThreadImpersonation(KeGetCurrentThread(), client.get(), SecurityImpersonation);

    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    EXPECT_EQ(subject.ClientToken, client.get());
    EXPECT_EQ(subject.ImpersonationLevel, SecurityImpersonation);
    EXPECT_EQ(SeQuerySubjectContextToken(&subject), client.get());
    Queried<TOKEN_USER> primaryUser(subject.PrimaryToken, TokenUser);
    EXPECT_TRUE(RtlEqualSid(primaryUser->User.Sid, SeExports->SeLocalSystemSid)) << "the process keeps its token";

    SECURITY_SUBJECT_CONTEXT other = {};
    PKTHREAD thread = StartThread([&] { SeCaptureSubjectContext(&other); });
    JoinThread(thread);
    EXPECT_EQ(other.ClientToken, nullptr) << "another thread of the process does not impersonate";
    EXPECT_EQ(other.PrimaryToken, subject.PrimaryToken);
    SeReleaseSubjectContext(&other);

    se::SetThreadImpersonation(KeGetCurrentThread(), nullptr, SecurityAnonymous);
    SECURITY_SUBJECT_CONTEXT reverted;
    SeCaptureSubjectContext(&reverted);
    EXPECT_EQ(reverted.ClientToken, nullptr);
    SeReleaseSubjectContext(&reverted);
    SeReleaseSubjectContext(&subject);
}

TEST_F(TokenTest, AnImpersonatingThreadMustRevertBeforeShutdown)
{
    PVOID token = se::CreateLinuxUserToken(1000, 1000, {});
    se::SetThreadImpersonation(KeGetCurrentThread(), token, SecurityImpersonation);
    ObDereferenceObject(token); /* the thread holds it */
    machine::AuditReport report = machine::Audit();
    bool named = false;
    for (const auto &finding : report.findings)
        named = named || finding.find("still impersonating") != std::string::npos;
    EXPECT_TRUE(named) << report.Text();
    se::SetThreadImpersonation(KeGetCurrentThread(), nullptr, SecurityAnonymous);
    EXPECT_EQ(machine::PoolTag(se::kTokenTag).liveBlocks, 0u);
}

TEST_F(TokenTest, AccessStateCarriesTheSubjectsTokenFlags)
{
    GENERIC_MAPPING mapping = FileMapping();
    se::AuxAccessData aux;
    ACCESS_STATE state;

    TokenRef user(se::CreateLinuxUserToken(1000, 1000, {}));
    se::SetThreadImpersonation(KeGetCurrentThread(), user.get(), SecurityImpersonation);
    ASSERT_EQ(SeCreateAccessState(&state, &aux, GENERIC_READ | DELETE, &mapping), STATUS_SUCCESS);
    EXPECT_EQ(state.Flags, (ULONG)TOKEN_HAS_TRAVERSE_PRIVILEGE);
    EXPECT_EQ(state.RemainingDesiredAccess, kFileRead | DELETE);
    EXPECT_EQ(state.OriginalDesiredAccess, kFileRead | DELETE);
    EXPECT_EQ(state.PreviouslyGrantedAccess, 0u);
    EXPECT_EQ(state.SubjectSecurityContext.ClientToken, user.get());
    EXPECT_EQ(state.AuxData, &aux);
    EXPECT_EQ(aux.GenericMapping.GenericAll, kFileAll);
    SeDeleteAccessState(&state);

    TokenRef root(se::CreateLinuxUserToken(0, 0, {}));
    se::AdjustTokenPrivilege(root.get(), SeExports->SeBackupPrivilege, true);
    se::AdjustTokenPrivilege(root.get(), SeExports->SeRestorePrivilege, true);
    se::SetThreadImpersonation(KeGetCurrentThread(), root.get(), SecurityImpersonation);
    ASSERT_EQ(SeCreateAccessState(&state, &aux, kReadData, &mapping), STATUS_SUCCESS);
    EXPECT_EQ(state.Flags,
              (ULONG)(TOKEN_HAS_TRAVERSE_PRIVILEGE | TOKEN_HAS_BACKUP_PRIVILEGE | TOKEN_HAS_RESTORE_PRIVILEGE));
    SeDeleteAccessState(&state);

    se::TokenTemplate lowbox = se::LinuxUserTokenTemplate(1000, 1000, {});
    lowbox.restrictingSids = {Sid(L"RC")};
    lowbox.restrictionFlags = TOKEN_IS_RESTRICTED | TOKEN_LOWBOX;
    lowbox.privileges.clear();
    TokenRef restricted(se::CreateToken(lowbox));
    ASSERT_NE(restricted.get(), nullptr);
    EXPECT_TRUE(SeTokenIsRestricted(restricted.get()));
    EXPECT_FALSE(SeTokenIsRestricted(user.get()));
    se::SetThreadImpersonation(KeGetCurrentThread(), restricted.get(), SecurityImpersonation);
    ASSERT_EQ(SeCreateAccessState(&state, &aux, kReadData, &mapping), STATUS_SUCCESS);
    EXPECT_EQ(state.Flags, (ULONG)(TOKEN_IS_RESTRICTED | TOKEN_LOWBOX)) << "no traverse without the privilege";
    SeDeleteAccessState(&state);
    se::SetThreadImpersonation(KeGetCurrentThread(), nullptr, SecurityAnonymous);
}

TEST_F(TokenTest, PrivilegeChecksNeedThePrivilegeEnabled)
{
    TokenRef root(se::CreateLinuxUserToken(0, 0, {}));
    se::SetThreadImpersonation(KeGetCurrentThread(), root.get(), SecurityImpersonation);
    EXPECT_FALSE(SeSinglePrivilegeCheck(SeExports->SeSecurityPrivilege, UserMode)) << "held but disabled";
    EXPECT_TRUE(SeSinglePrivilegeCheck(SeExports->SeSecurityPrivilege, KernelMode));
    ASSERT_EQ(se::AdjustTokenPrivilege(root.get(), SeExports->SeSecurityPrivilege, true), STATUS_SUCCESS);
    EXPECT_TRUE(SeSinglePrivilegeCheck(SeExports->SeSecurityPrivilege, UserMode));

    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    alignas(PRIVILEGE_SET) UCHAR storage[sizeof(PRIVILEGE_SET) + sizeof(LUID_AND_ATTRIBUTES)] = {};
    auto required = (PPRIVILEGE_SET)storage;
    PLUID_AND_ATTRIBUTES entries = required->Privilege;
    required->PrivilegeCount = 2;
    entries[0].Luid = SeExports->SeSecurityPrivilege;
    entries[1].Luid = SeExports->SeTcbPrivilege; /* not held by root */
    EXPECT_TRUE(SePrivilegeCheck(required, &subject, UserMode)) << "any one suffices";
    EXPECT_EQ(entries[0].Attributes, SE_PRIVILEGE_USED_FOR_ACCESS);
    EXPECT_EQ(entries[1].Attributes, 0u);
    required->Control = PRIVILEGE_SET_ALL_NECESSARY;
    EXPECT_FALSE(SePrivilegeCheck(required, &subject, UserMode));
    SeReleaseSubjectContext(&subject);

    se::SetThreadImpersonation(KeGetCurrentThread(), root.get(), SecurityIdentification);
    SeCaptureSubjectContext(&subject);
    EXPECT_FALSE(SePrivilegeCheck(required, &subject, UserMode)) << "an identification-level client";
    SeReleaseSubjectContext(&subject);
    se::SetThreadImpersonation(KeGetCurrentThread(), nullptr, SecurityAnonymous);
}

using TokenDeathTest = TokenTest;

TEST_F(TokenDeathTest, SomethingElseUsedAsATokenStopsTheMachine)
{
    EXPECT_BUGCHECK(SeTokenIsAdmin(KeGetCurrentThread()), 0x29, {1, kAnyParameter});
}

TEST_F(TokenDeathTest, CaptureAbovePassiveLevelStopsTheMachine)
{
    EXPECT_BUGCHECK(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            SECURITY_SUBJECT_CONTEXT subject;
            SeCaptureSubjectContext(&subject);
        },
        IRQL_NOT_LESS_OR_EQUAL);
}

} // namespace

TEST_F(TokenTest, AProcessEnablesOnlyThePrivilegesItsTokenHolds)
{
    machine::ProcessIdentity identity;
    identity.enabledPrivileges = {SE_RESTORE_PRIVILEGE, SE_TCB_PRIVILEGE};
    void *root = machine::CreateProcess(identity);
    identity.uid = identity.gid = 1000;
    void *user = machine::CreateProcess(identity);
    ASSERT_NE(root, nullptr);
    ASSERT_NE(user, nullptr);
    machine::EnterProcess(root);
    EXPECT_TRUE(SeSinglePrivilegeCheck(SeExports->SeRestorePrivilege, UserMode));
    EXPECT_FALSE(SeSinglePrivilegeCheck(SeExports->SeTcbPrivilege, UserMode)) << "root's token has no TCB privilege";
    EXPECT_FALSE(SeSinglePrivilegeCheck(SeExports->SeBackupPrivilege, UserMode)) << "held, not asked for";
    machine::LeaveProcess();
    machine::EnterProcess(user);
    EXPECT_FALSE(SeSinglePrivilegeCheck(SeExports->SeRestorePrivilege, UserMode)) << "a user's token lacks it";
    machine::LeaveProcess();
    machine::ReleaseProcess(root);
    machine::ReleaseProcess(user);
}
