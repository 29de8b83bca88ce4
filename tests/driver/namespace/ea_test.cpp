/*
 * Extended attributes: replacing a node's whole set, its counts, the 64 KiB limit
 * and malformed chains.
 */
#include "namespace_test.h"

#include <cstring>
#include <tuple>

namespace {

struct Ea {
    std::string name;
    std::string value;
    UCHAR flags = 0;
    bool operator==(const Ea &o) const { return name == o.name && value == o.value && flags == o.flags; }
};

constexpr ULONG kFixed = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName);

void PutUlong(std::vector<UCHAR> &buffer, size_t offset, ULONG value)
{
    std::memcpy(buffer.data() + offset, &value, sizeof(value));
}

/*
 * A chain as a program builds it: aligned, linked, no padding after the last
 * entry. FILE_FULL_EA_INFORMATION entries, or with getList the names alone as
 * FILE_GET_EA_INFORMATION entries.
 */
std::vector<UCHAR> Pack(const std::vector<Ea> &eas, bool getList = false)
{
    std::vector<UCHAR> out;
    size_t last = 0;
    for (size_t i = 0; i < eas.size(); i++) {
        size_t position = (out.size() + 3) & ~size_t(3);
        out.resize(position + 4);
        if (i != 0)
            PutUlong(out, last, (ULONG)(position - last));
        if (!getList)
            out.push_back(eas[i].flags);
        out.push_back((UCHAR)eas[i].name.size());
        if (!getList)
            out.insert(out.end(), {UCHAR(eas[i].value.size()), UCHAR(eas[i].value.size() >> 8)});
        out.insert(out.end(), eas[i].name.begin(), eas[i].name.end());
        out.push_back(0);
        if (!getList)
            out.insert(out.end(), eas[i].value.begin(), eas[i].value.end());
        last = position;
    }
    return out;
}

/* Reads a chain the driver wrote; its bytes must be exactly what Pack makes of the entries found. */
std::vector<Ea> Unpack(const UCHAR *chain, size_t length)
{
    std::vector<Ea> eas;
    for (size_t offset = 0; offset + kFixed <= length;) {
        FILE_FULL_EA_INFORMATION entry;
        std::memcpy(&entry, chain + offset, kFixed);
        const char *name = (const char *)chain + offset + kFixed;
        if (offset + kFixed + entry.EaNameLength + 1 + entry.EaValueLength > length)
            break;
        eas.push_back({std::string(name, entry.EaNameLength),
                       std::string(name + entry.EaNameLength + 1, entry.EaValueLength), entry.Flags});
        if (entry.NextEntryOffset == 0)
            break;
        offset += entry.NextEntryOffset;
    }
    EXPECT_EQ(Pack(eas), std::vector<UCHAR>(chain, chain + length)) << "aligned, linked, padding zeroed, nothing after";
    return eas;
}

ULONG PackedSize(const std::vector<Ea> &eas)
{
    ULONG size = 0;
    for (const auto &ea : eas)
        size += (ULONG)(ea.name.size() + ea.value.size() + 9);
    return size;
}

class EaTest : public NamespaceTest {
protected:
    void SetUp() override
    {
        NamespaceTest::SetUp();
        if (HasFatalFailure())
            return;
        file = Create(root, u"f");
        ASSERT_NE(file, nullptr);
    }

    NTSTATUS Replace(PFCB fcb, const std::vector<UCHAR> &buffer, ULONG *errorOffset)
    {
        ExAcquireResourceExclusiveLite(&fcb->MainResource, TRUE);
        NTSTATUS status = n->ReplaceEas(fcb, buffer.empty() ? nullptr : (PFILE_FULL_EA_INFORMATION)buffer.data(),
                                        (ULONG)buffer.size(), errorOffset);
        ExReleaseResourceLite(&fcb->MainResource);
        return status;
    }

    /* The node's stored set, bytes and counts, to show a failure changed nothing. */
    using Snapshot = std::tuple<std::vector<UCHAR>, ULONG, ULONG, ULONG, ULONG>;
    static Snapshot Stored(PFCB fcb)
    {
        const UCHAR *bytes = (const UCHAR *)fcb->EaBuffer;
        return {bytes != nullptr ? std::vector<UCHAR>(bytes, bytes + fcb->EaLength) : std::vector<UCHAR>(),
                fcb->EaLength, fcb->EaPackedSize, fcb->EaCount, fcb->NeedEaCount};
    }

    PFCB file = nullptr;
};

/* Broken chains, each with the offset of the entry the validator names. */
struct BrokenChain {
    const char *what;
    std::vector<UCHAR> bytes;
    ULONG badEntry;
};

std::vector<BrokenChain> BrokenChains()
{
    std::vector<Ea> two = {{"ONE", "1"}, {"TWO", "22"}};
    std::vector<UCHAR> good = Pack(two);
    ULONG second = 16; /* 8 + 3 + 1 + 1 = 13, aligned */
    std::vector<BrokenChain> cases;
    auto mutate = [&](const char *what, ULONG bad, auto change) {
        std::vector<UCHAR> bytes = good;
        change(bytes);
        cases.push_back({what, bytes, bad});
    };
    mutate("next offset not aligned", 0, [](auto &b) { PutUlong(b, 0, 13); });
    mutate("next offset inside the entry", 0, [](auto &b) { PutUlong(b, 0, 8); });
    mutate("next offset past the end", 0, [](auto &b) { PutUlong(b, 0, 64); });
    mutate("name longer than the buffer", second, [&](auto &b) { b[second + 5] = 200; });
    mutate("value longer than the buffer", second, [&](auto &b) { b[second + 6] = 0xFF; });
    mutate("name without its NUL", 0, [](auto &b) { b[8 + 3] = 'X'; });
    mutate("name with an inner NUL", second, [&](auto &b) { b[second + 9] = 0; });
    mutate("second entry cut short", second, [&](auto &b) { b.resize(second + 6); });
    return cases;
}

/* ReplaceEas copies a valid chain whole, counts it, and an empty buffer removes every attribute. */
TEST_F(EaTest, ReplaceStoresTheChainAndItsCounts)
{
    std::vector<Ea> eas = {{"alpha", "value"}, {"NEED", "x", FILE_NEED_EA}, {"z", std::string(300, 'v')}};
    std::vector<UCHAR> chain = Pack(eas);
    ULONG errorOffset = 99;
    ASSERT_EQ(Replace(file, chain, &errorOffset), STATUS_SUCCESS);
    EXPECT_EQ(file->EaCount, 3u);
    EXPECT_EQ(file->NeedEaCount, 1u);
    EXPECT_EQ(file->EaPackedSize, PackedSize(eas));
    EXPECT_EQ(file->EaLength, chain.size());
    EXPECT_EQ(Unpack((const UCHAR *)file->EaBuffer, file->EaLength), eas);

    ASSERT_EQ(Replace(file, {}, &errorOffset), STATUS_SUCCESS);
    EXPECT_EQ(file->EaBuffer, nullptr);
    EXPECT_EQ(Stored(file), Snapshot({}, 0, 0, 0, 0));

    /* A node torn down with attributes gives them back (the fixture checks the pool). */
    ASSERT_EQ(Replace(file, chain, &errorOffset), STATUS_SUCCESS);
}

/* The limit is on the packed size: 65536 bytes pass, 65537 fail. */
TEST_F(EaTest, PackedSizeLimitIs64KiB)
{
    ULONG errorOffset;
    std::vector<Ea> old = {{"keep", "me"}};
    ASSERT_EQ(Replace(file, Pack(old), &errorOffset), STATUS_SUCCESS);
    Snapshot before = Stored(file);

    /* One entry: name 1 + value + 9. */
    std::vector<Ea> over = {{"B", std::string(65527, 'b')}};
    EXPECT_EQ(Replace(file, Pack(over), &errorOffset), STATUS_EA_TOO_LARGE);
    EXPECT_EQ(Stored(file), before);

    std::vector<Ea> exact = {{"B", std::string(65526, 'b')}};
    ASSERT_EQ(Replace(file, Pack(exact), &errorOffset), STATUS_SUCCESS);
    EXPECT_EQ(file->EaPackedSize, 65536u);
    EXPECT_EQ(Unpack((const UCHAR *)file->EaBuffer, file->EaLength), exact);
}

/* A malformed chain is refused with the bad entry's offset, and nothing changes. */
TEST_F(EaTest, BrokenChainsAreRefusedWithTheirOffset)
{
    ULONG errorOffset;
    ASSERT_EQ(Replace(file, Pack({{"keep", "me"}}), &errorOffset), STATUS_SUCCESS);
    Snapshot before = Stored(file);
    for (const auto &broken : BrokenChains()) {
        errorOffset = 12345;
        NTSTATUS status = Replace(file, broken.bytes, &errorOffset);
        EXPECT_EQ(status, STATUS_EA_LIST_INCONSISTENT) << broken.what;
        EXPECT_EQ(errorOffset, broken.badEntry) << broken.what;
        EXPECT_EQ(Stored(file), before) << broken.what;
    }
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlEa")).liveBlocks, 1u);
}

/* A failed copy leaves the old set in place. */
TEST_F(EaTest, AllocationFailuresChangeNothing)
{
    ULONG errorOffset;
    ASSERT_EQ(Replace(file, Pack({{"keep", "me"}, {"also", "this"}}), &errorOffset), STATUS_SUCCESS);
    Snapshot before = Stored(file);
    machine::ArmPoolFault(1, machine::TagFromText("vlEa"));
    EXPECT_EQ(Replace(file, Pack({{"x", "y"}}), &errorOffset), STATUS_INSUFFICIENT_RESOURCES);
    machine::DisarmFaults();
    EXPECT_EQ(Stored(file), before);
}

} // namespace
