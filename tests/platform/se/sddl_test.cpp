/*
 * The SDDL reader: the bytes it produces for the control device's descriptor,
 * the parts, flags and rights it understands, and the malformed text it refuses
 * without allocating anything. The writer: Windows' spelling of every part, and
 * text that survives a read and a write unchanged.
 */
#include "se_test_support.h"

#include <string>

namespace {

using namespace setest;
using SddlTest = MachineTest;

PACCESS_ALLOWED_ACE AceAt(PSECURITY_DESCRIPTOR sd, ULONG index)
{
    BOOLEAN present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    EXPECT_EQ(RtlGetDaclSecurityDescriptor(sd, &present, &dacl, &defaulted), STATUS_SUCCESS);
    PVOID ace = nullptr;
    EXPECT_EQ(RtlGetAce(dacl, index, &ace), STATUS_SUCCESS);
    return (PACCESS_ALLOWED_ACE)ace;
}

TEST_F(SddlTest, DeviceDescriptorHasWindowsBytes)
{
    Descriptor sd(L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)");
    ASSERT_EQ(sd.status(), STATUS_SUCCESS);
    const UCHAR expected[] = {
        1, 0, 0x04, 0x90, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 20, 0, 0, 0, /* header: DACL at 20 */
        2, 0, 76, 0, 3, 0, 0, 0,                                            /* ACL: 76 bytes, 3 ACEs */
        0, 0, 20, 0, 0, 0, 0, 0x10, 1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,    /* allow GA SYSTEM */
        0, 0, 24, 0, 0, 0, 0, 0x10, 1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0, /* allow GA admins */
        0, 0, 24, 0, 0, 0, 0, 0x80, 1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x21, 2, 0, 0, /* allow GR users */
    };
    ASSERT_EQ(sd.length(), sizeof(expected));
    EXPECT_EQ(std::memcmp(sd.bytes(), expected, sizeof(expected)), 0);
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd.get(), sd.length(), DACL_SECURITY_INFORMATION));
    EXPECT_EQ(machine::PoolTag(kSdTag).liveBytes, sizeof(expected)) << "one block under the caller's tag";
}

TEST_F(SddlTest, ReadsEveryPartWithFlagsRightsAndLiteralSids)
{
    Descriptor sd(L"O:BAG:S-1-5-21-1-2-3-513D:PAI(A;OICI;FRWD;;;S-1-5-21-1-2-3-500)(D;IONPID;0x1f01ff;;;WD)"
                  L"S:AR(AU;SAFA;GW;;;AU)");
    ASSERT_EQ(sd.status(), STATUS_SUCCESS);
    auto header = (PISECURITY_DESCRIPTOR_RELATIVE)sd.get();
    EXPECT_EQ(header->Control, SE_SELF_RELATIVE | SE_DACL_PRESENT | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED |
                                   SE_SACL_PRESENT | SE_SACL_AUTO_INHERIT_REQ);

    PSID owner = nullptr, group = nullptr;
    BOOLEAN defaulted = FALSE;
    RtlGetOwnerSecurityDescriptor(sd.get(), &owner, &defaulted);
    RtlGetGroupSecurityDescriptor(sd.get(), &group, &defaulted);
    EXPECT_TRUE(RtlEqualSid(owner, SeExports->SeAliasAdminsSid));
    se::SidBytes domainUsers = Sid(L"S-1-5-21-1-2-3-513");
    EXPECT_EQ(*RtlSubAuthorityCountSid(domainUsers.data()), 5);
    EXPECT_TRUE(RtlEqualSid(group, domainUsers.data()));

    PACCESS_ALLOWED_ACE allow = AceAt(sd.get(), 0);
    EXPECT_EQ(allow->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allow->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(allow->Mask, kFileRead | WRITE_DAC);
    EXPECT_EQ(*RtlSubAuthoritySid(&allow->SidStart, 4), 500u);
    PACCESS_ALLOWED_ACE deny = AceAt(sd.get(), 1);
    EXPECT_EQ(deny->Header.AceType, ACCESS_DENIED_ACE_TYPE);
    EXPECT_EQ(deny->Header.AceFlags, INHERIT_ONLY_ACE | NO_PROPAGATE_INHERIT_ACE | INHERITED_ACE);
    EXPECT_EQ(deny->Mask, kFileAll);
    EXPECT_TRUE(RtlEqualSid(&deny->SidStart, SeExports->SeWorldSid));

    auto sacl = (PACL)(sd.bytes() + header->Sacl);
    auto audit = (PSYSTEM_AUDIT_ACE)(sacl + 1);
    EXPECT_EQ(sacl->AceCount, 1);
    EXPECT_EQ(audit->Header.AceType, SYSTEM_AUDIT_ACE_TYPE);
    EXPECT_EQ(audit->Header.AceFlags, SUCCESSFUL_ACCESS_ACE_FLAG | FAILED_ACCESS_ACE_FLAG);
    EXPECT_EQ(audit->Mask, (ACCESS_MASK)GENERIC_WRITE);
    EXPECT_TRUE(RtlEqualSid(&audit->SidStart, SeExports->SeAuthenticatedUsersSid));
    EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd.get(), sd.length(), 0xF));
}

TEST_F(SddlTest, DistinguishesNullAndEmptyDacls)
{
    Descriptor nullDacl(L"D:NO_ACCESS_CONTROL");
    ASSERT_EQ(nullDacl.status(), STATUS_SUCCESS);
    BOOLEAN present = FALSE, defaulted = FALSE;
    PACL dacl = (PACL)1;
    RtlGetDaclSecurityDescriptor(nullDacl.get(), &present, &dacl, &defaulted);
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
    EXPECT_EQ(nullDacl.length(), sizeof(SECURITY_DESCRIPTOR_RELATIVE));

    Descriptor emptyDacl(L"D:P");
    ASSERT_EQ(emptyDacl.status(), STATUS_SUCCESS);
    RtlGetDaclSecurityDescriptor(emptyDacl.get(), &present, &dacl, &defaulted);
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 0);
    EXPECT_EQ(dacl->AclSize, sizeof(ACL));
}

TEST_F(SddlTest, MalformedTextIsRefusedWithNothingAllocated)
{
    const wchar_t *malformed[] = {
        L"D:P(A;;GA;;;SY",                  /* unclosed ACE */
        L"D:(A;;GA;;;XX)",                  /* unknown alias */
        L"D:(A;;GA;;;DA)",                  /* domain-relative alias */
        L"D:(X;;GA;;;SY)",                  /* unknown ACE type */
        L"D:(OA;;GA;;;SY)",                 /* object ACE */
        L"D:(A;;GZ;;;SY)",                  /* unknown right */
        L"D:(A;;;;;SY)",                    /* no rights */
        L"D:(A;;0x1FFFFFFFF;;;SY)",         /* rights beyond 32 bits */
        L"D:(A;QQ;GA;;;SY)",                /* unknown ACE flag */
        L"D:(A;;GA;;;SY;)",                 /* extra field */
        L"D:(A;;GA;;;)",                    /* no SID */
        L"D:(A;;GA;a;;SY)",                 /* object GUID */
        L"D:(A;;GA;;;S-1-5-x)",             /* bad sub-authority */
        L"D:(A;;GA;;;S-2-5-18)",            /* SID revision 2 */
        L"D:(A;;GA;;;S-1-5-4294967296)",    /* sub-authority beyond 32 bits */
        L"O:S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", /* 16 sub-authorities */
        L"D:P (A;;GA;;;SY)",                /* space */
        L"D:NO_ACCESS_CONTROL(A;;GA;;;SY)", /* ACEs in a NULL DACL */
        L"D:(A;;GA;;;SY)junk",
        L"D:PX",
        L"O:BAjunk",
        L"O:BAO:SY",                        /* owner twice */
        L"D:D:",                            /* DACL twice */
        L"Q:BA",                            /* unknown part */
        L"O:",
        L"O",
        L"D:(A;;GA;;;SY)\u00e9",            /* not ASCII */
    };
    for (size_t i = 0; i < ARRAYSIZE(malformed); ++i) {
        PSECURITY_DESCRIPTOR sd = (PSECURITY_DESCRIPTOR)1;
        ULONG length = 77;
        EXPECT_EQ(se::SecurityDescriptorFromSddl(malformed[i], PagedPool, kSdTag, &sd, &length),
                  STATUS_INVALID_PARAMETER)
            << "entry " << i;
        EXPECT_EQ(sd, (PSECURITY_DESCRIPTOR)1) << "entry " << i;
    }
    EXPECT_EQ(machine::PoolTag(kSdTag).allocations, 0u);
    EXPECT_EQ(machine::PoolTotals().liveBlocks, 0u);
}

TEST_F(SddlTest, SidTextAcceptsAliasesAndHexAuthorities)
{
    EXPECT_EQ(Sid(L"SY"), Sid(L"S-1-5-18"));
    EXPECT_EQ(Sid(L"BU"), Sid(L"S-1-5-32-545"));
    EXPECT_EQ(Sid(L"CO"), Sid(L"S-1-3-0"));
    EXPECT_EQ(Sid(L"S-1-0x5-18"), Sid(L"S-1-5-18"));
    se::SidBytes wide = Sid(L"S-1-0x123456789ABC-7");
    const UCHAR authority[] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    EXPECT_EQ(std::memcmp(wide.data() + 2, authority, 6), 0);
    EXPECT_EQ(se::LinuxUserSid(1000), Sid(L"S-1-22-1-1000"));
    EXPECT_EQ(se::LinuxGroupSid(0), Sid(L"S-1-22-2-0"));
    se::SidBytes unused;
    EXPECT_EQ(se::SidFromSddl(L"S-1-5-18-", &unused), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(se::SidFromSddl(L"S-1", &unused), STATUS_INVALID_PARAMETER);
}

TEST_F(SddlTest, PoolFailureIsReportedAsInsufficientResources)
{
    machine::ArmPoolFault(1, kSdTag);
    PSECURITY_DESCRIPTOR sd = nullptr;
    EXPECT_EQ(se::SecurityDescriptorFromSddl(L"D:(A;;GA;;;SY)", PagedPool, kSdTag, &sd, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sd, nullptr);
    machine::DisarmFaults();
}

/* The text the writer gives for the descriptor read from text. */
std::string Rewritten(const wchar_t *text)
{
    Descriptor sd(text);
    EXPECT_EQ(sd.status(), STATUS_SUCCESS);
    std::string out;
    EXPECT_EQ(se::SddlFromSecurityDescriptor(sd.get(), &out), STATUS_SUCCESS);
    return out;
}

TEST_F(SddlTest, WriterGivesBackCanonicalText)
{
    const wchar_t *canonical[] = {
        L"O:BAG:SYD:PAI(A;OICI;FA;;;WD)(A;OICIIOID;GA;;;CO)(D;NP;FW;;;BG)S:AI(AU;IDSAFA;FR;;;WD)(ML;;NW;;;LW)",
        L"O:S-1-22-1-1000G:S-1-22-2-1000D:NO_ACCESS_CONTROL",
        L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)",
        L"D:(A;;0x1200a9;;;AU)(A;;SDRCWDWO;;;OW)(A;;GRGX;;;S-1-5-21-1-2-3-500)(A;;0x100000;;;AN)",
        L"D:ARS:P",
        L"O:SY",
        L"",
    };
    for (const wchar_t *text : canonical) {
        std::string expected;
        for (const wchar_t *p = text; *p != 0; ++p)
            expected += (char)*p;
        EXPECT_EQ(Rewritten(text), expected);
    }
}

TEST_F(SddlTest, WriterSpellsRightsFlagsAndSidsAsWindowsDoes)
{
    EXPECT_EQ(Rewritten(L"D:AIP(A;IDCIOI;0x1F01FF;;;S-1-1-0)"), "D:PAI(A;OICIID;FA;;;WD)") << "canonical order";
    EXPECT_EQ(Rewritten(L"D:(A;;0x30000;;;WD)(A;;0x10000000;;;WD)(A;;0;;;WD)"), "D:(A;;SDRC;;;WD)(A;;GA;;;WD)(A;;0x0;;;WD)");
    EXPECT_EQ(Rewritten(L"O:S-1-0x123456789ABC-7"), "O:S-1-0x123456789abc-7") << "authorities past 32 bits in hex";
    EXPECT_EQ(Rewritten(L"O:S-1-4294967295-7"), "O:S-1-4294967295-7");
    EXPECT_EQ(Rewritten(L"S:(ML;;0x7;;;HI)(ML;;0x8;;;HI)"), "S:(ML;;NRNWNX;;;HI)(ML;;0x8;;;HI)");
    se::SidBytes rootSid = se::LinuxUserSid(0);
    EXPECT_EQ(se::SidToSddl(rootSid.data()), "S-1-22-1-0");
    EXPECT_EQ(se::SidToSddl(SeExports->SeAliasAdminsSid), "BA");
    EXPECT_EQ(se::SidToSddl(SeExports->SeLocalSystemSid), "SY");

    // An object ACE has no spelling here: refused, nothing written.
    UCHAR buffer[128] = {};
    auto acl = (PACL)buffer;
    ASSERT_EQ(RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION_DS), STATUS_SUCCESS);
    auto ace = (PACCESS_ALLOWED_OBJECT_ACE)(buffer + sizeof(ACL));
    ace->Header.AceType = ACCESS_ALLOWED_OBJECT_ACE_TYPE;
    ace->Header.AceSize = FIELD_OFFSET(ACCESS_ALLOWED_OBJECT_ACE, ObjectType) + 12;
    ace->Flags = 0;
    std::memcpy((PUCHAR)ace + FIELD_OFFSET(ACCESS_ALLOWED_OBJECT_ACE, ObjectType), SeExports->SeWorldSid, 12);
    acl->AceCount = 1;
    ASSERT_TRUE(RtlValidAcl(acl));
    SECURITY_DESCRIPTOR absolute;
    ASSERT_EQ(RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&absolute, TRUE, acl, FALSE), STATUS_SUCCESS);
    std::string text = "unchanged";
    EXPECT_EQ(se::SddlFromSecurityDescriptor(&absolute, &text), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(text, "unchanged");
}

} // namespace
