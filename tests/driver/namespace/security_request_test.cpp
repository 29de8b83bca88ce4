/*
 * The query-security and set-security requests, sent through the driver's
 * dispatch table to a file-system device whose extension holds the volume, with
 * file objects pointing at nodes of it: what a query returns and when it is
 * refused, what a set changes (the node's descriptor becomes its own, its
 * siblings keep the shared one) and that a refused or malformed set changes
 * nothing.
 */
#include "security_test.h"

#include <functional>

namespace {

class SecurityRequestTest : public SecurityTest {
protected:
    using Reply = Completion;

    virtual bool WithoutSecurity() const { return false; }
    PVCB MakeVolume() override { return MakeDeviceVolume(WithoutSecurity()); }
    void DropVolume() override { DropDeviceVolume(); }

    void SetUp() override
    {
        SecurityTest::SetUp();
        if (HasFatalFailure())
            return;
        user = UserToken();
        dir = NewChild(root, u"dir", user, true);
        file = NewChild(dir, u"file", user);
        sibling = NewChild(dir, u"sibling", user);
        ASSERT_NE(sibling, nullptr);
        ccb.Signature = CCB_SIGNATURE;
    }

    /* Send: one request through the dispatch table; fill sets its parameters. */
    Reply Send(UCHAR major, PVOID context, PCCB handle, KPROCESSOR_MODE mode,
               const std::function<void(PIRP, PIO_STACK_LOCATION)> &fill)
    {
        return Dispatch(major, context, handle, mode, fill);
    }

    Reply Query(PVOID context, SECURITY_INFORMATION information, std::vector<UCHAR> *out, ULONG length = 1024,
                PCCB handle = nullptr, KPROCESSOR_MODE mode = KernelMode)
    {
        out->assign(length, 0);
        return Send(IRP_MJ_QUERY_SECURITY, context, handle, mode, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->UserBuffer = out->data();
            stack->Parameters.QuerySecurity.SecurityInformation = information;
            stack->Parameters.QuerySecurity.Length = length;
        });
    }

    Reply Set(PVOID context, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR sd, PCCB handle = nullptr,
              KPROCESSOR_MODE mode = KernelMode)
    {
        return Send(IRP_MJ_SET_SECURITY, context, handle, mode, [&](PIRP, PIO_STACK_LOCATION stack) {
            stack->Parameters.SetSecurity.SecurityInformation = information;
            stack->Parameters.SetSecurity.SecurityDescriptor = sd;
        });
    }

    static std::string Text(const std::vector<UCHAR> &bytes)
    {
        std::string text;
        EXPECT_EQ(se::SddlFromSecurityDescriptor((PSECURITY_DESCRIPTOR)bytes.data(), &text), STATUS_SUCCESS);
        return text;
    }

    /* A snapshot of what a failed set must leave as it was. */
    struct Snapshot {
        PSECURITY_DESCRIPTOR pointer;
        std::vector<UCHAR> bytes;
        BOOLEAN shared, byDefault;
        LONGLONG changeTime;
        ULONG stored;
    };
    Snapshot Take(PFCB node)
    {
        const UCHAR *p = static_cast<const UCHAR *>(node->SecurityDescriptor);
        return {node->SecurityDescriptor, std::vector<UCHAR>(p, p + node->SecurityLength), node->SharedSecurity,
                node->DefaultSecurity, node->ChangeTime.QuadPart, StoredDescriptors()};
    }
    void ExpectUnchanged(PFCB node, const Snapshot &s)
    {
        EXPECT_EQ(node->SecurityDescriptor, s.pointer);
        ASSERT_EQ(node->SecurityLength, s.bytes.size());
        EXPECT_EQ(memcmp(node->SecurityDescriptor, s.bytes.data(), s.bytes.size()), 0);
        EXPECT_EQ(node->SharedSecurity, s.shared);
        EXPECT_EQ(node->DefaultSecurity, s.byDefault);
        EXPECT_EQ(node->ChangeTime.QuadPart, s.changeTime);
        EXPECT_EQ(StoredDescriptors(), s.stored);
    }

    /* Impersonation of a token by the test thread, for user-mode requests' privilege and owner checks. */
    struct Impersonation {
        explicit Impersonation(PVOID token) { se::SetThreadImpersonation(KeGetCurrentThread(), token, SecurityImpersonation); }
        ~Impersonation() { se::SetThreadImpersonation(KeGetCurrentThread(), nullptr, SecurityAnonymous); }
    };

    static constexpr SECURITY_INFORMATION kAllButSacl =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

    PVOID user = nullptr;
    PFCB dir = nullptr, file = nullptr, sibling = nullptr;
    CCB ccb = {};
};

TEST_F(SecurityRequestTest, QueryReturnsTheNodesDescriptor)
{
    std::vector<UCHAR> out;
    Reply r = Query(file, kAllButSacl, &out);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, (ULONG_PTR)file->SecurityLength);
    EXPECT_EQ(Text(out), Sddl(file));

    r = Query(file, DACL_SECURITY_INFORMATION, &out);
    EXPECT_EQ(Text(out), "D:AI(A;ID;FA;;;WD)(A;ID;FA;;;SY)(A;ID;FA;;;BA)") << "only what was asked for";

    r = Query(vcb, kAllButSacl, &out);
    ASSERT_EQ(r.status, STATUS_SUCCESS) << "a volume open asks about the root";
    EXPECT_EQ(Text(out), "O:BAG:SYD:(A;OICI;FA;;;WD)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");

    /* Too small: the length needed, and nothing written past the buffer. */
    for (ULONG length : {0u, 8u, file->SecurityLength - 1}) {
        r = Query(file, kAllButSacl, &out, length);
        EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW) << length;
        EXPECT_EQ(r.information, (ULONG_PTR)file->SecurityLength) << length;
    }
}

TEST_F(SecurityRequestTest, QueryRefusals)
{
    std::vector<UCHAR> out;
    FCB dead = {};
    EXPECT_EQ(Query(&dead, kAllButSacl, &out).status, STATUS_INVALID_PARAMETER) << "not a live node";
    EXPECT_EQ(Query(nullptr, kAllButSacl, &out).status, STATUS_INVALID_PARAMETER);

    ccb.GrantedAccess = FILE_READ_DATA;
    EXPECT_EQ(Query(file, kAllButSacl, &out, 1024, &ccb, UserMode).status, STATUS_ACCESS_DENIED)
        << "the handle lacks READ_CONTROL";
    ccb.GrantedAccess = READ_CONTROL;
    EXPECT_EQ(Query(file, SACL_SECURITY_INFORMATION, &out, 1024, &ccb, UserMode).status, STATUS_ACCESS_DENIED)
        << "the SACL needs ACCESS_SYSTEM_SECURITY on the handle";
    ccb.GrantedAccess = READ_CONTROL | ACCESS_SYSTEM_SECURITY;
    {
        Impersonation as(user);
        EXPECT_EQ(Query(file, SACL_SECURITY_INFORMATION, &out, 1024, &ccb, UserMode).status,
                  STATUS_PRIVILEGE_NOT_HELD);
    }
    EXPECT_EQ(Query(file, kAllButSacl, &out, 1024, &ccb, UserMode).status, STATUS_ACCESS_VIOLATION)
        << "a user-mode caller's buffer is probed: this one is outside its space";

    WriteRelease((volatile LONG *)&vcb->Dismounted, 1);
    EXPECT_EQ(Query(file, kAllButSacl, &out).status, STATUS_VOLUME_DISMOUNTED);
    WriteRelease((volatile LONG *)&vcb->Dismounted, 0);
}

/* A set gives the node its own descriptor; the sibling keeps the shared one and the store is as it was. */
TEST_F(SecurityRequestTest, SetMakesTheDescriptorPrivate)
{
    PSECURITY_DESCRIPTOR shared = sibling->SecurityDescriptor;
    ASSERT_EQ(file->SecurityDescriptor, shared);
    ULONG stored = StoredDescriptors();
    LONG refs = StoreRefs(shared);
    machine::AdvanceClock(10000000);

    setest::Descriptor change(L"D:(A;;FR;;;WD)");
    Reply r = Set(file, DACL_SECURITY_INFORMATION, change.get());
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_FALSE(file->SharedSecurity);
    EXPECT_FALSE(file->DefaultSecurity) << "the volume default is lost for good";
    EXPECT_EQ(Sddl(file), "O:S-1-22-1-1000G:S-1-22-2-1000D:(A;;FR;;;WD)") << "owner and group kept";
    EXPECT_GT(file->ChangeTime.QuadPart, file->CreationTime.QuadPart);
    EXPECT_EQ(sibling->SecurityDescriptor, shared);
    EXPECT_EQ(StoreRefs(shared), refs - 1);
    EXPECT_EQ(StoredDescriptors(), stored);

    /* A second set replaces the private descriptor; the query sees it. */
    setest::Descriptor owner(L"O:BA");
    ASSERT_EQ(Set(file, OWNER_SECURITY_INFORMATION, owner.get()).status, STATUS_SUCCESS);
    std::vector<UCHAR> out;
    ASSERT_EQ(Query(file, kAllButSacl, &out).status, STATUS_SUCCESS);
    EXPECT_EQ(Text(out), "O:BAG:S-1-22-2-1000D:(A;;FR;;;WD)");

    /* The descriptor now decides opens: the fast grant no longer applies. */
    auto req = Request(user);
    EXPECT_EQ(Open(req->input, file, dir, FILE_WRITE_DATA).status, STATUS_ACCESS_DENIED);

    /* The shared entry goes with its last sharer (and the cache). */
    Remove(Lookup(dir, u"sibling"));
    n->DropInheritanceCache(vcb);
    EXPECT_EQ(StoredDescriptors(), stored - 1);
}

/* Malformed descriptors are refused with their status, and nothing changes. */
TEST_F(SecurityRequestTest, MalformedDescriptorsChangeNothing)
{
    setest::Descriptor good(L"O:BAG:SYD:(A;;FR;;;WD)");
    ASSERT_EQ(good.status(), STATUS_SUCCESS);
    Snapshot before = Take(file);
    machine::AdvanceClock(10000000);

    auto corrupt = [&](const std::function<void(std::vector<UCHAR> &)> &damage) {
        std::vector<UCHAR> bytes(good.bytes(), good.bytes() + good.length());
        damage(bytes);
        return bytes;
    };
    auto daclOffset = [](std::vector<UCHAR> &b) { return *(ULONG *)&b[16]; };
    std::vector<std::pair<const char *, std::vector<UCHAR>>> cases = {
        {"revision", corrupt([](std::vector<UCHAR> &b) { b[0] = 7; })},
        {"ACE count beyond the ACL", corrupt([&](std::vector<UCHAR> &b) { b[daclOffset(b) + 4] = 9; })},
        {"ACL revision", corrupt([&](std::vector<UCHAR> &b) { b[daclOffset(b)] = 9; })},
        {"ACE size beyond the ACL",
         corrupt([&](std::vector<UCHAR> &b) { *(USHORT *)&b[daclOffset(b) + 8 + 2] = 0x400; })},
        {"owner SID sub-authority count", corrupt([](std::vector<UCHAR> &b) { b[*(ULONG *)&b[4] + 1] = 40; })},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.first);
        Reply r = Set(file, kAllButSacl, (PSECURITY_DESCRIPTOR)c.second.data());
        EXPECT_TRUE(NT_ERROR(r.status)) << std::hex << r.status;
        ExpectUnchanged(file, before);
    }
    EXPECT_EQ(Set(file, DACL_SECURITY_INFORMATION, nullptr).status, STATUS_INVALID_SECURITY_DESCR);
    ExpectUnchanged(file, before);

    /* Without pool for the merged descriptor. */
    machine::ArmPoolFault(1, machine::TagFromText("vlSd"));
    EXPECT_EQ(Set(file, DACL_SECURITY_INFORMATION, good.get()).status, STATUS_INSUFFICIENT_RESOURCES);
    machine::DisarmFaults();
    ExpectUnchanged(file, before);
}

/* User-mode sets need a handle with the right rights, and only some owners may be given. */
TEST_F(SecurityRequestTest, UserModeSetRules)
{
    setest::Descriptor dacl(L"D:(A;;FA;;;WD)");
    Snapshot before = Take(file);
    EXPECT_EQ(Set(file, DACL_SECURITY_INFORMATION, dacl.get(), nullptr, UserMode).status, STATUS_ACCESS_DENIED)
        << "no handle context";
    EXPECT_EQ(Set(vcb, DACL_SECURITY_INFORMATION, dacl.get(), &ccb, UserMode).status, STATUS_ACCESS_DENIED)
        << "a volume open";
    ccb.GrantedAccess = READ_CONTROL | WRITE_OWNER;
    EXPECT_EQ(Set(file, DACL_SECURITY_INFORMATION, dacl.get(), &ccb, UserMode).status, STATUS_ACCESS_DENIED);
    ccb.GrantedAccess = WRITE_DAC;
    setest::Descriptor group(L"G:BA");
    EXPECT_EQ(Set(file, GROUP_SECURITY_INFORMATION, group.get(), &ccb, UserMode).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Set(file, SACL_SECURITY_INFORMATION, dacl.get(), &ccb, UserMode).status, STATUS_ACCESS_DENIED);
    ExpectUnchanged(file, before);

    Impersonation as(user);
    ccb.GrantedAccess = WRITE_OWNER | WRITE_DAC | ACCESS_SYSTEM_SECURITY;
    setest::Descriptor sacl(L"S:");
    EXPECT_EQ(Set(file, SACL_SECURITY_INFORMATION, sacl.get(), &ccb, UserMode).status, STATUS_PRIVILEGE_NOT_HELD);
    setest::Descriptor stranger(L"O:S-1-22-1-1001");
    EXPECT_EQ(Set(file, OWNER_SECURITY_INFORMATION, stranger.get(), &ccb, UserMode).status, STATUS_INVALID_OWNER);
    setest::Descriptor admins(L"O:BA");
    EXPECT_EQ(Set(file, OWNER_SECURITY_INFORMATION, admins.get(), &ccb, UserMode).status, STATUS_INVALID_OWNER)
        << "a group the user is not in";
    ExpectUnchanged(file, before);

    setest::Descriptor self(L"O:S-1-22-1-1000");
    EXPECT_EQ(Set(file, OWNER_SECURITY_INFORMATION, self.get(), &ccb, UserMode).status, STATUS_SUCCESS);
    EXPECT_EQ(Set(file, DACL_SECURITY_INFORMATION, dacl.get(), &ccb, UserMode).status, STATUS_SUCCESS);
    EXPECT_EQ(Sddl(file), "O:S-1-22-1-1000G:S-1-22-2-1000D:(A;;FA;;;WD)");
}

/* The root's own descriptor is replaced like any other; it was never in the store. */
TEST_F(SecurityRequestTest, SetOnTheRootThroughAVolumeOpen)
{
    setest::Descriptor dacl(L"D:(A;OICI;FA;;;BA)");
    ULONG stored = StoredDescriptors();
    ASSERT_EQ(Set(vcb, DACL_SECURITY_INFORMATION, dacl.get()).status, STATUS_SUCCESS);
    EXPECT_EQ(Sddl(root), "O:BAG:SYD:(A;OICI;FA;;;BA)");
    EXPECT_FALSE(root->DefaultSecurity);
    EXPECT_EQ(StoredDescriptors(), stored);
    PFCB later = NewChild(root, u"later", user);
    EXPECT_FALSE(later->DefaultSecurity) << "children of a changed root are no longer the default";
}

class NoSecurityRequestTest : public SecurityRequestTest {
protected:
    bool WithoutSecurity() const override { return true; }
};

TEST_F(NoSecurityRequestTest, RequestsAreInvalid)
{
    std::vector<UCHAR> out;
    EXPECT_EQ(Query(file, kAllButSacl, &out).status, STATUS_INVALID_DEVICE_REQUEST);
    setest::Descriptor dacl(L"D:(A;;FA;;;WD)");
    EXPECT_EQ(Set(file, DACL_SECURITY_INFORMATION, dacl.get()).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(file->SecurityDescriptor, nullptr);
}

} // namespace
