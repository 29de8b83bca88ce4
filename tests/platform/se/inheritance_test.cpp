/*
 * SeAssignSecurityEx: what new files and directories inherit, compared as SDDL and
 * as bytes (the bytes of a computed descriptor must equal those of the same text read
 * back, so equal inputs can be interned as equal descriptors), the fallbacks when
 * nothing is inherited, explicit descriptors and the owner and privilege checks.
 */
#include "se_test_support.h"

#include <optional>
#include <string>

namespace {

using namespace setest;

constexpr const char kUser[] = "S-1-22-1-1000";
constexpr const char kGroup[] = "S-1-22-2-1000";
constexpr const wchar_t kRoot[] = L"O:BAG:SYD:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr ULONG kAuto = SEF_DACL_AUTO_INHERIT | SEF_SACL_AUTO_INHERIT;

std::vector<wchar_t> Wide(const std::string &text)
{
    std::vector<wchar_t> wide(text.begin(), text.end());
    wide.push_back(0);
    return wide;
}

std::string Text(PSECURITY_DESCRIPTOR sd)
{
    std::string text;
    EXPECT_EQ(se::SddlFromSecurityDescriptor(sd, &text), STATUS_SUCCESS);
    return text;
}

/* A descriptor from SeAssignSecurityEx, given back at scope exit. */
class Assigned {
public:
    Assigned(const wchar_t *parent, const wchar_t *creator, bool directory, ULONG flags, PVOID token)
    {
        std::optional<Descriptor> parentSd, creatorSd;
        if (parent != nullptr)
            parentSd.emplace(parent);
        if (creator != nullptr)
            creatorSd.emplace(creator);
        SECURITY_SUBJECT_CONTEXT subject = {};
        subject.PrimaryToken = token;
        GENERIC_MAPPING mapping = FileMapping();
        sd_ = reinterpret_cast<PSECURITY_DESCRIPTOR>(0x1); /* must be overwritten */
        status_ = SeAssignSecurityEx(parentSd ? parentSd->get() : nullptr, creatorSd ? creatorSd->get() : nullptr,
                                     &sd_, nullptr, directory, flags, &subject, &mapping, PagedPool);
    }
    ~Assigned()
    {
        if (sd_ != nullptr)
            SeDeassignSecurity(&sd_);
    }
    Assigned(const Assigned &) = delete;
    Assigned &operator=(const Assigned &) = delete;
    NTSTATUS status() const { return status_; }
    PSECURITY_DESCRIPTOR get() const { return sd_; }
    std::string text() const { return Text(sd_); }
    std::vector<UCHAR> bytes() const
    {
        auto base = static_cast<const UCHAR *>(sd_);
        return std::vector<UCHAR>(base, base + RtlLengthSecurityDescriptor(sd_));
    }

private:
    NTSTATUS status_;
    PSECURITY_DESCRIPTOR sd_ = nullptr;
};

class InheritanceTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        user_ = se::CreateLinuxUserToken(1000, 1000, {});
        ASSERT_NE(user_, nullptr);
    }
    void TearDown() override
    {
        ObDereferenceObject(user_);
        MachineTest::TearDown();
    }
    /* The descriptor a child of parent gets, as text; checks that its bytes are those of the text. */
    std::string Child(const wchar_t *parent, bool directory, ULONG flags = kAuto, const wchar_t *creator = nullptr)
    {
        Assigned child(parent, creator, directory, flags, user_);
        EXPECT_EQ(child.status(), STATUS_SUCCESS);
        if (!NT_SUCCESS(child.status()))
            return "";
        EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(child.get(), (ULONG)child.bytes().size(), 0));
        std::string text = child.text();
        Descriptor reread(Wide(text).data());
        EXPECT_EQ(std::vector<UCHAR>(reread.bytes(), reread.bytes() + reread.length()), child.bytes())
            << "bytes of " << text;
        return text;
    }
    PVOID user_ = nullptr;
};

std::string Mine(const std::string &dacl)
{
    return std::string("O:") + kUser + "G:" + kGroup + dacl;
}

TEST_F(InheritanceTest, VolumeRootPassesItsAcesToFilesAndDirectories)
{
    EXPECT_EQ(Child(kRoot, false), Mine("D:AI(A;ID;FA;;;WD)(A;ID;FA;;;SY)(A;ID;FA;;;BA)"));
    EXPECT_EQ(Child(kRoot, true), Mine("D:AI(A;OICIID;FA;;;WD)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)"));
    EXPECT_EQ(Child(kRoot, false, 0), Mine("D:(A;;FA;;;WD)(A;;FA;;;SY)(A;;FA;;;BA)"))
        << "without automatic inheritance nothing is marked inherited";

    Assigned first(kRoot, nullptr, false, kAuto, user_), second(kRoot, nullptr, false, kAuto, user_);
    ASSERT_EQ(first.status(), STATUS_SUCCESS);
    EXPECT_EQ(first.bytes(), second.bytes()) << "equal inputs, equal bytes";
    Assigned folder(kRoot, nullptr, true, kAuto, user_);
    EXPECT_NE(first.bytes(), folder.bytes());
}

TEST_F(InheritanceTest, EachInheritanceFlagReachesTheRightChildren)
{
    const wchar_t *parent = L"O:BAG:SYD:(A;OI;FR;;;WD)(A;CI;FW;;;WD)(A;OICINP;SD;;;WD)(A;OIIO;RC;;;WD)"
                            L"(A;CIIO;GA;;;CO)(A;OICI;GR;;;BU)(A;;FA;;;SY)(A;OINP;FX;;;WD)";
    EXPECT_EQ(Child(parent, false), Mine("D:AI(A;ID;FR;;;WD)(A;ID;SD;;;WD)(A;ID;RC;;;WD)(A;ID;FR;;;BU)"
                                         "(A;ID;FX;;;WD)"));
    std::string folder = Child(parent, true);
    EXPECT_EQ(folder, Mine(std::string("D:AI(A;OIIOID;FR;;;WD)(A;CIID;FW;;;WD)(A;ID;SD;;;WD)(A;OIIOID;RC;;;WD)"
                                       "(A;ID;FA;;;") +
                           kUser + ")(A;CIIOID;GA;;;CO)(A;ID;FR;;;BU)(A;OICIIOID;GR;;;BU)"))
        << "CREATOR OWNER and generic rights split into an effective ACE and an inherit-only original";

    // A grandchild sees the parent's words, not the folder's effective copies.
    std::vector<wchar_t> folderText = Wide(folder);
    EXPECT_EQ(Child(folderText.data(), false), Mine("D:AI(A;ID;FR;;;WD)(A;ID;RC;;;WD)(A;ID;FR;;;BU)"));
    EXPECT_EQ(Child(folderText.data(), true),
              Mine(std::string("D:AI(A;OIIOID;FR;;;WD)(A;CIID;FW;;;WD)(A;OIIOID;RC;;;WD)(A;ID;FA;;;") + kUser +
                   ")(A;CIIOID;GA;;;CO)(A;ID;FR;;;BU)(A;OICIIOID;GR;;;BU)"));
}

TEST_F(InheritanceTest, CreatorGroupAndAuditAcesAreInheritedToo)
{
    EXPECT_EQ(Child(L"O:BAG:SYD:(A;OI;FR;;;CG)S:(AU;OISA;FW;;;WD)(AU;CIFA;GA;;;WD)", false),
              Mine(std::string("D:AI(A;ID;FR;;;") + kGroup + ")S:AI(AU;IDSA;FW;;;WD)"));
    EXPECT_EQ(Child(L"O:BAG:SYS:(AU;OISA;FW;;;WD)", false, SEF_DACL_AUTO_INHERIT),
              Mine(std::string("D:(A;;FA;;;") + kUser + ")(A;;FA;;;SY)S:(AU;SA;FW;;;WD)"))
        << "each ACL follows its own auto-inherit flag; the DACL is the token's default";
}

TEST_F(InheritanceTest, WithNothingToInheritTheTokensDefaultDaclApplies)
{
    const std::string fallback = Mine(std::string("D:(A;;FA;;;") + kUser + ")(A;;FA;;;SY)");
    EXPECT_EQ(Child(L"O:BAG:SYD:(A;;FA;;;WD)", false), fallback) << "no inheritable ACE";
    EXPECT_EQ(Child(L"O:BAG:SYD:(A;CI;FA;;;WD)", false), fallback) << "container-only ACE, file child";
    EXPECT_EQ(Child(L"O:BAG:SYD:(A;OINP;FA;;;WD)", true), fallback) << "object-only, no propagation, folder child";
    EXPECT_EQ(Child(L"O:BAG:SYD:NO_ACCESS_CONTROL", false), fallback) << "a NULL DACL passes nothing on";
    EXPECT_EQ(Child(nullptr, true), fallback) << "no parent";

    ASSERT_EQ(se::SetTokenDefaultDacl(user_, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Child(nullptr, false), Mine("")) << "no default DACL: no DACL at all";
}

TEST_F(InheritanceTest, ExplicitDescriptorsMergeOrReplace)
{
    EXPECT_EQ(Child(kRoot, false, kAuto, L"D:(A;;GR;;;BU)(A;ID;FA;;;BG)"),
              Mine("D:AI(A;;FR;;;BU)(A;ID;FA;;;WD)(A;ID;FA;;;SY)(A;ID;FA;;;BA)"))
        << "explicit ACEs first, stale inherited ones dropped, generic rights mapped";
    EXPECT_EQ(Child(kRoot, false, kAuto, L"D:P(A;;FR;;;BU)"), Mine("D:P(A;;FR;;;BU)"));
    EXPECT_EQ(Child(kRoot, false, SEF_SACL_AUTO_INHERIT, L"D:(A;ID;FR;;;BU)"), Mine("D:(A;ID;FR;;;BU)"))
        << "without DACL auto-inheritance the explicit DACL stands alone";
    EXPECT_EQ(Child(kRoot, false, kAuto, L"D:NO_ACCESS_CONTROL"), Mine("D:NO_ACCESS_CONTROL"));
    EXPECT_EQ(Child(kRoot, true, kAuto, L"O:" L"S-1-22-1-1000" L"G:BU"),
              std::string("O:") + kUser + "G:BUD:AI(A;OICIID;FA;;;WD)(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)");
    EXPECT_EQ(Child(kRoot, false, kAuto | SEF_DEFAULT_OWNER_FROM_PARENT | SEF_DEFAULT_GROUP_FROM_PARENT),
              "O:BAG:SYD:AI(A;ID;FA;;;WD)(A;ID;FA;;;SY)(A;ID;FA;;;BA)");

    // Without object types no object-specific ACE is inherited, so a type's default descriptor is
    // handled as any explicit one.
    EXPECT_EQ(Child(kRoot, false, kAuto | SEF_DEFAULT_DESCRIPTOR_FOR_OBJECT, L"D:(A;;FR;;;BU)"),
              Child(kRoot, false, kAuto, L"D:(A;;FR;;;BU)"));
}

TEST_F(InheritanceTest, DefaultedExplicitAclsYieldToInheritance)
{
    Descriptor defaulted(L"D:(A;;FR;;;BU)");
    ((PISECURITY_DESCRIPTOR_RELATIVE)defaulted.get())->Control |= SE_DACL_DEFAULTED;
    SECURITY_SUBJECT_CONTEXT subject = {};
    subject.PrimaryToken = user_;
    GENERIC_MAPPING mapping = FileMapping();
    auto assign = [&](const wchar_t *parentText) {
        Descriptor parent(parentText);
        PSECURITY_DESCRIPTOR sd = nullptr;
        EXPECT_EQ(SeAssignSecurityEx(parent.get(), defaulted.get(), &sd, nullptr, FALSE, kAuto, &subject, &mapping,
                                     PagedPool),
                  STATUS_SUCCESS);
        std::pair<std::string, SECURITY_DESCRIPTOR_CONTROL> result{Text(sd),
                                                                   ((PISECURITY_DESCRIPTOR_RELATIVE)sd)->Control};
        SeDeassignSecurity(&sd);
        return result;
    };
    EXPECT_EQ(assign(kRoot).first, Child(kRoot, false)) << "inherited ACEs win over a defaulted DACL";
    auto fallback = assign(L"O:BAG:SYD:(A;;FA;;;WD)");
    EXPECT_EQ(fallback.first, Mine("D:(A;;FR;;;BU)")) << "and it wins over the token's default";
    EXPECT_TRUE(fallback.second & SE_DACL_DEFAULTED);
}

TEST_F(InheritanceTest, OwnerAndSaclOfAnExplicitDescriptorAreChecked)
{
    Assigned foreign(kRoot, L"O:BA", false, kAuto, user_);
    EXPECT_EQ(foreign.status(), STATUS_INVALID_OWNER);
    EXPECT_EQ(foreign.get(), nullptr);
    Assigned unchecked(kRoot, L"O:BA", false, kAuto | SEF_AVOID_OWNER_CHECK, user_);
    EXPECT_EQ(unchecked.status(), STATUS_SUCCESS);

    TokenRef root(se::CreateLinuxUserToken(0, 0, {}));
    Assigned admin(kRoot, L"O:BA", false, kAuto, root.get());
    EXPECT_EQ(admin.status(), STATUS_SUCCESS) << "Administrators is an owner group of root's token";
    Assigned notOwnable(kRoot, L"O:SY", false, kAuto, root.get());
    EXPECT_EQ(notOwnable.status(), STATUS_INVALID_OWNER);
    ASSERT_EQ(se::AdjustTokenPrivilege(root.get(), RtlConvertLongToLuid(SE_RESTORE_PRIVILEGE), true), STATUS_SUCCESS);
    Assigned restored(kRoot, L"O:SY", false, kAuto, root.get());
    EXPECT_EQ(restored.status(), STATUS_SUCCESS) << "the restore privilege may set any owner";

    Assigned audit(kRoot, L"S:(AU;SA;FA;;;WD)", false, kAuto, user_);
    EXPECT_EQ(audit.status(), STATUS_PRIVILEGE_NOT_HELD);
    EXPECT_EQ(audit.get(), nullptr);
    Assigned trusted(kRoot, L"S:(AU;SA;FA;;;WD)", false, kAuto | SEF_AVOID_PRIVILEGE_CHECK, user_);
    ASSERT_EQ(trusted.status(), STATUS_SUCCESS);
    EXPECT_NE(trusted.text().find("S:AI(AU;SA;FA;;;WD)"), std::string::npos) << trusted.text();
}

TEST_F(InheritanceTest, PoolFailureLeavesNothingBehind)
{
    machine::ArmPoolFault(1, POOL_TAG('S', 'e', 'A', 's'));
    Assigned child(kRoot, nullptr, false, kAuto, user_);
    EXPECT_EQ(child.status(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(child.get(), nullptr);
    machine::DisarmFaults();
}

} // namespace
