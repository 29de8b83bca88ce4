/*
 * SeSetSecurityDescriptorInfo(Ex) and SeQuerySecurityDescriptorInfo: each kind of
 * security information replaces exactly its part, automatic inheritance keeps the
 * object's inherited ACEs, protection flags, label ACEs apart from audit ACEs, and
 * refused changes leave the object's descriptor as it was.
 */
#include "se_test_support.h"

#include <string>

namespace {

using namespace setest;

std::string Text(PSECURITY_DESCRIPTOR sd)
{
    std::string text;
    EXPECT_EQ(se::SddlFromSecurityDescriptor(sd, &text), STATUS_SUCCESS);
    return text;
}

class SetSecurityTest : public MachineTest {
protected:
    /* Sets the parts named by information from modification on object; returns the status and
     * leaves the resulting descriptor's text in *result (the object's own text on failure). */
    NTSTATUS Set(const wchar_t *object, SECURITY_INFORMATION information, const wchar_t *modification,
                 std::string *result, ULONG flags = 0, bool ex = true)
    {
        Descriptor before(object), change(modification);
        EXPECT_EQ(before.status(), STATUS_SUCCESS);
        EXPECT_EQ(change.status(), STATUS_SUCCESS);
        std::vector<UCHAR> original(before.bytes(), before.bytes() + before.length());
        PSECURITY_DESCRIPTOR sd = before.get();
        GENERIC_MAPPING mapping = FileMapping();
        NTSTATUS status = ex ? SeSetSecurityDescriptorInfoEx(nullptr, &information, change.get(), &sd, flags,
                                                             PagedPool, &mapping)
                             : SeSetSecurityDescriptorInfo(nullptr, &information, change.get(), &sd, PagedPool,
                                                           &mapping);
        EXPECT_EQ(std::vector<UCHAR>(before.bytes(), before.bytes() + before.length()), original)
            << "the old descriptor is left alone";
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(sd, before.get()) << "a refused change keeps the object's descriptor";
            *result = Text(sd);
            return status;
        }
        EXPECT_NE(sd, before.get());
        EXPECT_TRUE(RtlValidRelativeSecurityDescriptor(sd, RtlLengthSecurityDescriptor(sd), 0));
        *result = Text(sd);
        ExFreePool(sd);
        return status;
    }
    std::string SetOk(const wchar_t *object, SECURITY_INFORMATION information, const wchar_t *modification,
                      ULONG flags = 0)
    {
        std::string text;
        EXPECT_EQ(Set(object, information, modification, &text, flags), STATUS_SUCCESS);
        return text;
    }
};

constexpr wchar_t kFile[] = L"O:BAG:SYD:AI(A;;FR;;;BU)(A;ID;FA;;;WD)(A;ID;FA;;;SY)S:(AU;SA;FA;;;WD)(ML;;NW;;;LW)";

TEST_F(SetSecurityTest, EachKindOfInformationReplacesOnlyItsPart)
{
    EXPECT_EQ(SetOk(kFile, OWNER_SECURITY_INFORMATION, L"O:S-1-22-1-7G:BU"),
              "O:S-1-22-1-7G:SYD:AI(A;;FR;;;BU)(A;ID;FA;;;WD)(A;ID;FA;;;SY)S:(AU;SA;FA;;;WD)(ML;;NW;;;LW)");
    EXPECT_EQ(SetOk(kFile, GROUP_SECURITY_INFORMATION, L"O:S-1-22-1-7G:BU"),
              "O:BAG:BUD:AI(A;;FR;;;BU)(A;ID;FA;;;WD)(A;ID;FA;;;SY)S:(AU;SA;FA;;;WD)(ML;;NW;;;LW)");
    EXPECT_EQ(SetOk(kFile, DACL_SECURITY_INFORMATION, L"D:(A;;GA;;;AU)"),
              "O:BAG:SYD:(A;;FA;;;AU)S:(AU;SA;FA;;;WD)(ML;;NW;;;LW)")
        << "replaced wholesale, generic rights mapped";
    EXPECT_EQ(SetOk(kFile, DACL_SECURITY_INFORMATION, L"D:NO_ACCESS_CONTROL"),
              "O:BAG:SYD:NO_ACCESS_CONTROLS:(AU;SA;FA;;;WD)(ML;;NW;;;LW)");
    EXPECT_EQ(SetOk(kFile, DACL_SECURITY_INFORMATION, L"O:BA"), "O:BAG:SYD:NO_ACCESS_CONTROLS:(AU;SA;FA;;;WD)(ML;;NW;;;LW)")
        << "a modification without a DACL sets a NULL DACL";
    EXPECT_EQ(SetOk(kFile, SACL_SECURITY_INFORMATION, L"S:(AU;FA;FR;;;BU)"),
              "O:BAG:SYD:AI(A;;FR;;;BU)(A;ID;FA;;;WD)(A;ID;FA;;;SY)S:(AU;FA;FR;;;BU)(ML;;NW;;;LW)")
        << "the label stays: LABEL_SECURITY_INFORMATION governs it";
    EXPECT_EQ(SetOk(kFile, LABEL_SECURITY_INFORMATION, L"S:(ML;;NW;;;HI)(AU;FA;FR;;;BU)"),
              "O:BAG:SYD:AI(A;;FR;;;BU)(A;ID;FA;;;WD)(A;ID;FA;;;SY)S:(AU;SA;FA;;;WD)(ML;;NW;;;HI)");
    EXPECT_EQ(SetOk(L"O:BAG:SY", LABEL_SECURITY_INFORMATION, L"S:(ML;;NW;;;LW)"), "O:BAG:SYS:(ML;;NW;;;LW)");
    EXPECT_EQ(SetOk(kFile, 0, L"O:SYG:SYD:(A;;FA;;;WD)"), Text(Descriptor(kFile).get())) << "nothing named";
}

TEST_F(SetSecurityTest, AutomaticInheritanceKeepsTheInheritedAces)
{
    EXPECT_EQ(SetOk(kFile, DACL_SECURITY_INFORMATION, L"D:(A;;FW;;;BU)(A;ID;FA;;;BG)", SEF_DACL_AUTO_INHERIT),
              "O:BAG:SYD:AI(A;;FW;;;BU)(A;ID;FA;;;WD)(A;ID;FA;;;SY)S:(AU;SA;FA;;;WD)(ML;;NW;;;LW)")
        << "the modification's own inherited ACEs are stale and dropped";
    EXPECT_EQ(SetOk(kFile, DACL_SECURITY_INFORMATION, L"D:P(A;;FW;;;BU)", SEF_DACL_AUTO_INHERIT),
              "O:BAG:SYD:P(A;;FW;;;BU)S:(AU;SA;FA;;;WD)(ML;;NW;;;LW)");
    EXPECT_EQ(SetOk(kFile, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, L"D:(A;;FW;;;BU)",
                    SEF_DACL_AUTO_INHERIT),
              "O:BAG:SYD:P(A;;FW;;;BU)S:(AU;SA;FA;;;WD)(ML;;NW;;;LW)");
    EXPECT_EQ(SetOk(L"O:BAG:SYD:P(A;;FA;;;WD)", DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                    L"D:P(A;;FW;;;BU)"),
              "O:BAG:SYD:(A;;FW;;;BU)");
    EXPECT_EQ(SetOk(kFile, DACL_SECURITY_INFORMATION, L"D:(A;;FW;;;BU)", SEF_SACL_AUTO_INHERIT),
              "O:BAG:SYD:(A;;FW;;;BU)S:(AU;SA;FA;;;WD)(ML;;NW;;;LW)")
        << "the SACL flag does not touch the DACL";
}

TEST_F(SetSecurityTest, RefusedChangesKeepTheObjectsDescriptor)
{
    std::string text;
    EXPECT_EQ(Set(kFile, OWNER_SECURITY_INFORMATION, L"D:(A;;FA;;;WD)", &text), STATUS_INVALID_OWNER);
    EXPECT_EQ(Set(kFile, GROUP_SECURITY_INFORMATION, L"O:BA", &text, 0, false), STATUS_INVALID_PRIMARY_GROUP);
    EXPECT_EQ(text, Text(Descriptor(kFile).get()));
    machine::ArmPoolFault(1, POOL_TAG('S', 'e', 'A', 's'));
    EXPECT_EQ(Set(kFile, DACL_SECURITY_INFORMATION, L"D:(A;;FA;;;WD)", &text), STATUS_INSUFFICIENT_RESOURCES);
    machine::DisarmFaults();
    EXPECT_EQ(text, Text(Descriptor(kFile).get()));

    SECURITY_INFORMATION information = DACL_SECURITY_INFORMATION;
    Descriptor change(L"D:(A;;FA;;;WD)");
    PSECURITY_DESCRIPTOR none = nullptr;
    GENERIC_MAPPING mapping = FileMapping();
    EXPECT_EQ(SeSetSecurityDescriptorInfo(nullptr, &information, change.get(), &none, PagedPool, &mapping),
              STATUS_NO_SECURITY_ON_OBJECT);
    EXPECT_EQ(none, nullptr);
}

TEST_F(SetSecurityTest, QueryCopiesTheAskedPartsAndReportsTheLengthNeeded)
{
    Descriptor file(kFile);
    SECURITY_INFORMATION asked = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR object = file.get();
    ULONG length = 8;
    UCHAR small[8];
    ASSERT_EQ(SeQuerySecurityDescriptorInfo(&asked, small, &length, &object), STATUS_BUFFER_TOO_SMALL);
    std::vector<UCHAR> buffer(length);
    ULONG needed = length;
    ASSERT_EQ(SeQuerySecurityDescriptorInfo(&asked, buffer.data(), &length, &object), STATUS_SUCCESS);
    EXPECT_EQ(length, needed);
    EXPECT_EQ(Text(buffer.data()), "O:BAD:AI(A;;FR;;;BU)(A;ID;FA;;;WD)(A;ID;FA;;;SY)");
    Descriptor expected(L"O:BAD:AI(A;;FR;;;BU)(A;ID;FA;;;WD)(A;ID;FA;;;SY)");
    EXPECT_EQ(buffer, std::vector<UCHAR>(expected.bytes(), expected.bytes() + expected.length()));

    auto query = [&](SECURITY_INFORMATION information) {
        std::vector<UCHAR> out(256);
        ULONG size = (ULONG)out.size();
        EXPECT_EQ(SeQuerySecurityDescriptorInfo(&information, out.data(), &size, &object), STATUS_SUCCESS);
        return Text(out.data());
    };
    EXPECT_EQ(query(LABEL_SECURITY_INFORMATION), "S:(ML;;NW;;;LW)");
    EXPECT_EQ(query(SACL_SECURITY_INFORMATION), "S:(AU;SA;FA;;;WD)");
    EXPECT_EQ(query(SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION),
              "G:SYS:(AU;SA;FA;;;WD)(ML;;NW;;;LW)");
}

} // namespace
