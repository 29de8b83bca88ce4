/*
 * Permission bits as descriptors: every mode made a descriptor is valid and reads
 * back; the security reference monitor grants each kind of Linux caller what Linux
 * would; descriptors other programs wrote read as their ACEs mean; and truncated or
 * corrupted descriptors are read without a byte outside the buffer being touched.
 */
#include "security_mode.h"

#include "../../platform/se/se_test_support.h"

#include <memory>
#include <random>

namespace {

using namespace setest;
using fusebridge::DescriptorOfOwnership;
using fusebridge::OwnershipOfDescriptor;
using fusebridge::PosixOwnership;

constexpr uint32_t kOwnerUid = 1000, kFileGid = 100;

PosixOwnership Ownership(uint32_t mode, uint32_t uid = kOwnerUid, uint32_t gid = kFileGid)
{
    PosixOwnership ownership;
    ownership.mode = mode;
    ownership.uid = uid;
    ownership.gid = gid;
    return ownership;
}

/* The mode a descriptor made from Mode reads back as: Windows adds up allowed ACEs,
 * so the owner and the group also hold the other bits. */
uint32_t ReadBackMode(uint32_t mode)
{
    uint32_t other = mode & 7;
    return (((mode >> 6) | other) & 7) << 6 | (((mode >> 3) | other) & 7) << 3 | other;
}

/* Modes where each class holds at least what the later ones hold: these read back
 * unchanged and are honoured exactly. */
bool IsOrdered(uint32_t mode)
{
    uint32_t u = (mode >> 6) & 7, g = (mode >> 3) & 7, o = mode & 7;
    return (o & ~g) == 0 && (g & ~u) == 0;
}

void ExpectSame(const PosixOwnership &got, const PosixOwnership &want, const char *what)
{
    EXPECT_EQ(got.mode, want.mode) << what;
    EXPECT_EQ(got.uid, want.uid) << what;
    EXPECT_EQ(got.gid, want.gid) << what;
}

PosixOwnership Unrestricted()
{
    return Ownership(0777, 0, 0);
}

/* What a Linux program asks for: a bridge opening for read, write or execute on a
 * file, or listing, changing and passing through a directory. */
ACCESS_MASK RightsOfBit(int bit, bool directory)
{
    switch (bit) {
    case 4:
        return GENERIC_READ;
    case 2:
        return directory ? GENERIC_WRITE | FILE_DELETE_CHILD : GENERIC_WRITE;
    default:
        return GENERIC_EXECUTE;
    }
}

/* Reads a descriptor from an allocation of exactly its size, so the address
 * sanitizer sees any read past the end. */
PosixOwnership ReadExact(const uint8_t *bytes, size_t length)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length == 0 ? 1 : length]);
    std::memcpy(copy.get(), bytes, length);
    return OwnershipOfDescriptor(copy.get(), length);
}

class SecurityModeTest : public MachineTest {
protected:
    /* A Linux caller and the class Linux puts it in for a file owned by
     * kOwnerUid:kFileGid. */
    struct Caller {
        const char *name;
        PVOID token;
        int shift; /* 6 owner, 3 group, 0 other; -1 root */
        bool ownerInGroup;
    };

    void SetUp() override
    {
        MachineTest::SetUp();
        callers_ = {
            {"owner", se::CreateLinuxUserToken(kOwnerUid, 500, {}), 6, false},
            {"owner in the file's group", se::CreateLinuxUserToken(kOwnerUid, kFileGid, {}), 6, true},
            {"group member", se::CreateLinuxUserToken(1001, 500, {kFileGid}), 3, false},
            {"other", se::CreateLinuxUserToken(1002, 500, {501}), 0, false},
            {"root", se::CreateLinuxUserToken(0, 0, {}), -1, false},
        };
        for (const Caller &caller : callers_)
            ASSERT_NE(caller.token, nullptr) << caller.name;
    }
    void TearDown() override
    {
        for (const Caller &caller : callers_) {
            if (caller.token != nullptr)
                ObDereferenceObject(caller.token);
        }
        MachineTest::TearDown();
    }

    static bool Allowed(const std::vector<uint8_t> &sd, PVOID token, ACCESS_MASK desired)
    {
        CheckOutcome outcome = Check(const_cast<uint8_t *>(sd.data()), token, desired);
        return outcome.allowed;
    }

    std::vector<Caller> callers_;
};

TEST_F(SecurityModeTest, EveryModeMakesAValidDescriptorThatReadsBack)
{
    for (bool directory : {false, true}) {
        for (uint32_t mode = 0; mode <= 0777; ++mode) {
            SCOPED_TRACE(testing::Message() << (directory ? "directory " : "file ") << std::oct << mode);
            std::vector<uint8_t> sd = DescriptorOfOwnership(Ownership(mode), directory);
            ASSERT_TRUE(RtlValidRelativeSecurityDescriptor(
                sd.data(), (ULONG)sd.size(),
                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION));
            ExpectSame(ReadExact(sd.data(), sd.size()), Ownership(ReadBackMode(mode)), "read back");
            if (IsOrdered(mode)) {
                EXPECT_EQ(ReadBackMode(mode), mode);
            }
        }
    }
    std::vector<uint8_t> special = DescriptorOfOwnership(Ownership(07755, 4294967294u, 65534), true);
    ExpectSame(ReadExact(special.data(), special.size()), Ownership(0755, 4294967294u, 65534),
               "set-id and sticky bits dropped, large ids kept");
}

/* The Linux SIDs as the security reference monitor spells them; "P": nothing
 * inherited may override the mode. */
TEST_F(SecurityModeTest, DescriptorIsProtectedAndOwnedByTheLinuxIds)
{
    std::vector<uint8_t> sd = DescriptorOfOwnership(Ownership(0640), false);
    std::string text;
    ASSERT_EQ(se::SddlFromSecurityDescriptor(sd.data(), &text), STATUS_SUCCESS);
    EXPECT_EQ(text.rfind("O:S-1-22-1-1000G:S-1-22-2-100D:P(", 0), 0u) << text;
}

/* The test that matters: for every mode, file and directory, each kind of caller is
 * granted read, write and execute exactly as Linux decides on the mode stat shows.
 * For modes whose classes are ordered this is the mode itself, for every caller. */
TEST_F(SecurityModeTest, AccessCheckGrantsWhatLinuxWould)
{
    for (bool directory : {false, true}) {
        for (uint32_t mode = 0; mode <= 0777; ++mode) {
            std::vector<uint8_t> sd = DescriptorOfOwnership(Ownership(mode), directory);
            const uint32_t shown = ReadBackMode(mode);
            for (const Caller &caller : callers_) {
                for (int bit : {4, 2, 1}) {
                    bool granted = Allowed(sd, caller.token, RightsOfBit(bit, directory));
                    bool expected;
                    if (caller.shift < 0) {
                        expected = true; /* root passes every check */
                    } else if (caller.ownerInGroup) {
                        /* The one caller the union misleads: it also holds the group's bits. */
                        if (!IsOrdered(mode))
                            continue;
                        expected = ((mode >> 6) & bit) != 0;
                    } else {
                        expected = ((shown >> caller.shift) & bit) != 0;
                    }
                    EXPECT_EQ(granted, expected) << (directory ? "directory " : "file ") << std::oct << mode
                                              << std::dec << ", " << caller.name << ", bit " << bit;
                }
            }
        }
    }
}

TEST_F(SecurityModeTest, RightsLinuxNeverRefusesAndOnlyTheOwnerHolds)
{
    const ACCESS_MASK stat = FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    const ACCESS_MASK chmod = WRITE_DAC | WRITE_OWNER | FILE_WRITE_ATTRIBUTES;
    for (bool directory : {false, true}) {
        std::vector<uint8_t> none = DescriptorOfOwnership(Ownership(0), directory);
        for (const Caller &caller : callers_) {
            EXPECT_TRUE(Allowed(none, caller.token, stat)) << caller.name << ": stat works at mode 0";
            bool owner = caller.shift == 6 || caller.shift < 0;
            EXPECT_EQ(Allowed(none, caller.token, chmod), owner) << caller.name << ": chmod and utimes";
        }
        std::vector<uint8_t> open = DescriptorOfOwnership(Ownership(0777), directory);
        EXPECT_FALSE(Allowed(open, callers_[3].token, WRITE_DAC)) << "mode 0777 still lets no other chmod";
        EXPECT_FALSE(Allowed(open, callers_[2].token, WRITE_OWNER)) << "nor a group member chown";
        EXPECT_TRUE(Allowed(none, callers_[4].token, FILE_ALL_ACCESS)) << "root holds everything";
    }
    std::vector<uint8_t> dir = DescriptorOfOwnership(Ownership(0700), true);
    EXPECT_FALSE(Allowed(dir, callers_[0].token, DELETE)) << "deleting goes through the parent's w";
}

/* Descriptors other Windows programs store. */
TEST_F(SecurityModeTest, ForeignDescriptorsReadAsTheirAcesMean)
{
    struct Case {
        const wchar_t *sddl;
        PosixOwnership want;
    } cases[] = {
        {L"O:S-1-22-1-1000G:S-1-22-2-100D:(A;;FA;;;S-1-22-1-1000)(A;;FRFX;;;S-1-22-2-100)(A;;FR;;;WD)",
         Ownership(0754)},
        /* Not Linux owners: root. Users and Authenticated Users reach everyone. */
        {L"O:BAG:SYD:(A;;FA;;;BA)(A;;FA;;;SY)(A;;0x1200a9;;;BU)", Ownership(0775, 0, 0)},
        {L"O:S-1-5-21-1-2-3-1001G:S-1-22-1-5D:(A;;FR;;;AU)(A;;FW;;;BU)", Ownership(0666, 0, 0)},
        {L"O:S-1-22-2-7G:S-1-22-1-8D:(A;;FA;;;WD)", Ownership(0777, 0, 0)},
        /* Denies take away from the classes they name. */
        {L"O:S-1-22-1-5G:S-1-22-2-6D:(D;;FW;;;WD)(A;;FA;;;WD)", Ownership(0555, 5, 6)},
        {L"O:S-1-22-1-5G:S-1-22-2-6D:(D;;FX;;;S-1-22-1-5)(A;;FA;;;WD)", Ownership(0677, 5, 6)},
        {L"O:S-1-22-1-5G:S-1-22-2-6D:(D;;0x1;;;S-1-22-2-6)(A;;FA;;;WD)", Ownership(0737, 5, 6)},
        /* Inherit-only ACEs do not apply to the file; generic rights do. */
        {L"O:S-1-22-1-5G:S-1-22-2-6D:(A;OICIIO;FA;;;WD)(A;;FR;;;S-1-22-1-5)", Ownership(0400, 5, 6)},
        {L"O:S-1-22-1-5G:S-1-22-2-6D:(A;;GA;;;S-1-22-1-5)(A;;GR;;;WD)(A;;GWGX;;;S-1-22-2-6)", Ownership(0774, 5, 6)},
        /* Rights other than data, write and execute make no bits. */
        {L"O:S-1-22-1-5G:S-1-22-2-6D:(A;;0x1f01d8;;;WD)", Ownership(0, 5, 6)},
        /* A null DACL protects nothing; an empty one grants nothing. */
        {L"O:S-1-22-1-7G:S-1-22-2-8D:NO_ACCESS_CONTROL", Ownership(0777, 7, 8)},
        {L"O:S-1-22-1-7G:S-1-22-2-8D:", Ownership(0, 7, 8)},
        /* Without a DACL, without an owner. */
        {L"O:S-1-22-1-7G:S-1-22-2-8", Unrestricted()},
        {L"G:S-1-22-2-8D:(A;;FR;;;WD)", Ownership(0444, 0, 8)},
    };
    for (const Case &c : cases) {
        Descriptor sd(c.sddl);
        ASSERT_EQ(sd.status(), STATUS_SUCCESS) << "descriptor text";
        std::string text;
        se::SddlFromSecurityDescriptor(sd.get(), &text);
        ExpectSame(ReadExact(sd.bytes(), sd.length()), c.want, text.c_str());
    }
}

/* Every prefix of a descriptor cuts off a part it points at. */
TEST_F(SecurityModeTest, TruncatedDescriptorsReadAsUnrestricted)
{
    for (bool directory : {false, true}) {
        std::vector<uint8_t> sd = DescriptorOfOwnership(Ownership(0751), directory);
        for (size_t length = 0; length < sd.size(); ++length)
            ExpectSame(ReadExact(sd.data(), length), Unrestricted(), ("length " + std::to_string(length)).c_str());
    }
    Descriptor foreign(L"O:BAG:SYD:(D;;FW;;;S-1-22-1-5)(A;OICI;FA;;;BA)(A;;FR;;;WD)(A;;GA;;;S-1-22-2-9)");
    ASSERT_EQ(foreign.status(), STATUS_SUCCESS);
    for (size_t length = 0; length < foreign.length(); ++length)
        ReadExact(foreign.bytes(), length);
}

/* Field by field: hostile values where the reader could loop, overflow or read past. */
TEST_F(SecurityModeTest, HostileFieldsAreRefused)
{
    const std::vector<uint8_t> sd = DescriptorOfOwnership(Ownership(0750), false);
    const size_t dacl = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    const size_t firstAce = dacl + sizeof(ACL);
    auto patched = [&](size_t offset, std::initializer_list<uint8_t> bytes) {
        std::vector<uint8_t> copy = sd;
        std::copy(bytes.begin(), bytes.end(), copy.begin() + offset);
        return ReadExact(copy.data(), copy.size());
    };
    const uint8_t end = (uint8_t)sd.size();
    ExpectSame(OwnershipOfDescriptor(nullptr, 100), Unrestricted(), "null");
    ExpectSame(patched(3, {0}), Unrestricted(), "absolute, not self-relative");
    ExpectSame(patched(0, {2}), Unrestricted(), "unknown revision");
    ExpectSame(patched(4, {0xFF, 0xFF, 0xFF, 0xFF}), Unrestricted(), "owner offset near 4 GiB");
    ExpectSame(patched(4, {(uint8_t)(end - 4), 0, 0, 0}), Unrestricted(), "owner SID across the end");
    ExpectSame(patched(8, {(uint8_t)(end - 8), 0, 0, 0}), Unrestricted(), "group offset into sub-authorities");
    std::vector<uint8_t> lastHeader = sd;
    const uint8_t header[] = {SID_REVISION, 1, 0, 0, 0, 0, 0, 22};
    std::memcpy(lastHeader.data() + lastHeader.size() - 8, header, sizeof(header));
    lastHeader[8] = (uint8_t)(end - 8);
    ExpectSame(ReadExact(lastHeader.data(), lastHeader.size()), Unrestricted(),
               "a SID header that ends the buffer, its sub-authority past it");
    ExpectSame(patched(sd[8], {SID_REVISION, 15}), Unrestricted(), "group SID with 15 sub-authorities");
    ExpectSame(patched(16, {0xF8, 0xFF, 0xFF, 0xFF}), Unrestricted(), "DACL offset wrapping");
    ExpectSame(patched(16, {(uint8_t)(end - 4), 0, 0, 0}), Unrestricted(), "DACL header across the end");
    ExpectSame(patched(dacl + 2, {0xFF, 0xFF}), Unrestricted(), "ACL larger than the buffer");
    ExpectSame(patched(dacl + 2, {4, 0}), Unrestricted(), "ACL smaller than its header");
    ExpectSame(patched(dacl + 4, {0xFF, 0xFF}), Unrestricted(), "more ACEs than the ACL holds");
    ExpectSame(patched(firstAce + 2, {0, 0}), Unrestricted(), "an ACE of size 0 must not stall the walk");
    ExpectSame(patched(firstAce + 2, {4, 0}), Unrestricted(), "an allowed ACE too short for its mask");
    ExpectSame(patched(firstAce + 2, {12, 0}), Unrestricted(), "the SID runs past its ACE");
    ExpectSame(patched(firstAce + 9, {7}), Unrestricted(), "the SID claims more sub-authorities than fit");
    ExpectSame(patched(dacl, {1}), Unrestricted(), "ACL revision 1");

    /* A well-formed change still reads: fewer ACEs, an unknown ACE type. */
    ExpectSame(patched(dacl + 4, {1, 0}), Ownership(0700), "only the owner's ACE counted");
    ExpectSame(patched(firstAce, {ACCESS_ALLOWED_CALLBACK_ACE_TYPE}), Ownership(0050), "a callback ACE is skipped");
}

/* Random corruption of a few bytes anywhere, in exact-size buffers: the address
 * sanitizer fails the test on any read outside. */
TEST_F(SecurityModeTest, RandomCorruptionNeverReadsOutside)
{
    std::vector<std::vector<uint8_t>> bases = {
        DescriptorOfOwnership(Ownership(0754), false),
        DescriptorOfOwnership(Ownership(0700, 0, 0), true),
    };
    Descriptor foreign(L"O:BAG:SYD:(D;;FW;;;S-1-22-1-5)(A;OICI;FA;;;BA)(A;;FR;;;WD)(A;;GA;;;S-1-22-2-9)");
    ASSERT_EQ(foreign.status(), STATUS_SUCCESS);
    bases.emplace_back(foreign.bytes(), foreign.bytes() + foreign.length());

    std::mt19937 random(20261207);
    const uint8_t interesting[] = {0x00, 0x01, 0x04, 0x0F, 0x10, 0x7F, 0x80, 0xFE, 0xFF};
    for (int round = 0; round < 30000; ++round) {
        std::vector<uint8_t> copy = bases[round % bases.size()];
        int changes = 1 + (int)(random() % 4);
        for (int i = 0; i < changes; ++i) {
            size_t at = random() % copy.size();
            copy[at] = (random() & 1) ? interesting[random() % sizeof(interesting)] : (uint8_t)random();
        }
        size_t length = (random() % 8 == 0) ? random() % copy.size() : copy.size();
        PosixOwnership got = ReadExact(copy.data(), length);
        ASSERT_LE(got.mode, 0777u);
    }
}

} // namespace
