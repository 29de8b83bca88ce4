/*
 * Extended attributes: replacing a node's whole set, and the query and set
 * requests sent to the driver's dispatch table on a file-system device whose
 * volume holds the node, as the I/O manager sends them: EA lists, indexes, the
 * handle's enumeration cursor, the 64 KiB limit and malformed buffers.
 */
#include "namespace_test.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
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

std::vector<UCHAR> GetList(const std::vector<std::string> &names)
{
    std::vector<Ea> eas;
    for (const auto &name : names)
        eas.push_back({name, ""});
    return Pack(eas, true);
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

bool NamesEqual(const std::string &a, const std::string &b)
{
    auto up = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return up(x) == up(y); });
}

ULONG PackedSize(const std::vector<Ea> &eas)
{
    ULONG size = 0;
    for (const auto &ea : eas)
        size += (ULONG)(ea.name.size() + ea.value.size() + 9);
    return size;
}

struct Reply {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<Ea> eas;
};

/*
 * The tests run on a file-system device of the driver whose extension holds the
 * volume, so requests pass the driver's own frame and admission.
 */
class EaTest : public NamespaceTest {
protected:
    PVCB MakeVolume() override { return MakeDeviceVolume(); }
    void DropVolume() override { DropDeviceVolume(); }

    void SetUp() override
    {
        NamespaceTest::SetUp();
        if (HasFatalFailure())
            return;
        file = Create(root, u"f");
        ASSERT_NE(file, nullptr);
        ccb.Signature = CCB_SIGNATURE;
        ccb.EaCursor = 0;
    }

    /* Sends one request through the driver's dispatch table; fill sets its parameters. */
    template <typename Fill>
    void Send(UCHAR major, PFCB fcb, PCCB handle, Reply *reply, Fill fill)
    {
        Completion done = Dispatch(major, fcb, handle, KernelMode, fill);
        reply->status = done.status;
        reply->information = done.information;
    }

    Reply Query(ULONG length, UCHAR flags = 0, const std::vector<UCHAR> *list = nullptr, ULONG index = 0,
                PCCB handle = nullptr, PFCB fcb = nullptr)
    {
        Reply reply;
        /* Exactly length bytes, so the address sanitizer sees any write past the caller's buffer. */
        std::unique_ptr<UCHAR[]> buffer(new UCHAR[length + 1]);
        Send(IRP_MJ_QUERY_EA, fcb != nullptr ? fcb : file, handle, &reply, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->UserBuffer = length != 0 ? buffer.get() : nullptr;
            stack->Parameters.QueryEa.Length = length;
            stack->Parameters.QueryEa.EaList = list != nullptr ? (PVOID)list->data() : nullptr;
            stack->Parameters.QueryEa.EaListLength = list != nullptr ? (ULONG)list->size() : 0;
            stack->Parameters.QueryEa.EaIndex = index;
            stack->Flags = flags;
        });
        if (reply.status == STATUS_SUCCESS || reply.status == STATUS_BUFFER_OVERFLOW)
            reply.eas = Unpack(buffer.get(), reply.information);
        return reply;
    }

    Reply Set(const std::vector<UCHAR> &input, PFCB fcb = nullptr)
    {
        Reply reply;
        std::unique_ptr<UCHAR[]> buffer(new UCHAR[input.size() + 1]);
        std::copy(input.begin(), input.end(), buffer.get());
        Send(IRP_MJ_SET_EA, fcb != nullptr ? fcb : file, nullptr, &reply, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->UserBuffer = input.empty() ? nullptr : buffer.get();
            stack->Parameters.SetEa.Length = (ULONG)input.size();
        });
        return reply;
    }

    Reply SetEas(const std::vector<Ea> &eas) { return Set(Pack(eas)); }

    /* Everything stored, in order, read through a restarted enumeration. */
    std::vector<Ea> All()
    {
        Reply reply = Query(0x20000, SL_RESTART_SCAN);
        if (reply.status == STATUS_NO_EAS_ON_FILE)
            return {};
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        return reply.eas;
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
    CCB ccb;
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

/* The limit is on the packed size: 65536 bytes pass, 65537 fail, by replace and by set alike. */
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

    /* The set adds to what is stored. */
    std::vector<Ea> add = {{"C", std::string(65537 - PackedSize(old) - 10, 'c')}};
    EXPECT_EQ(PackedSize(old) + PackedSize(add), 65537u);
    EXPECT_EQ(SetEas(add).status, STATUS_EA_TOO_LARGE);
    EXPECT_EQ(Stored(file), before);

    add[0].value.pop_back();
    ASSERT_EQ(SetEas(add).status, STATUS_SUCCESS);
    EXPECT_EQ(file->EaPackedSize, 65536u);
    std::vector<Ea> both = {old[0], add[0]};
    EXPECT_EQ(All(), both);

    std::vector<Ea> exact = {{"B", std::string(65526, 'b')}};
    ASSERT_EQ(Replace(file, Pack(exact), &errorOffset), STATUS_SUCCESS);
    EXPECT_EQ(file->EaPackedSize, 65536u);
    EXPECT_EQ(All(), exact);
}

/* A malformed chain is refused with the bad entry's offset, by replace and by set, and nothing changes. */
TEST_F(EaTest, BrokenChainsAreRefusedWithTheirOffset)
{
    ULONG errorOffset;
    ASSERT_EQ(Replace(file, Pack({{"keep", "me"}}), &errorOffset), STATUS_SUCCESS);
    Snapshot before = Stored(file);
    LARGE_INTEGER written = file->LastWriteTime;
    machine::AdvanceClock(10000000);
    for (const auto &broken : BrokenChains()) {
        errorOffset = 12345;
        NTSTATUS status = Replace(file, broken.bytes, &errorOffset);
        EXPECT_EQ(status, STATUS_EA_LIST_INCONSISTENT) << broken.what;
        EXPECT_EQ(errorOffset, broken.badEntry) << broken.what;
        EXPECT_EQ(Stored(file), before) << broken.what;

        Reply reply = Set(broken.bytes);
        EXPECT_EQ(reply.status, STATUS_EA_LIST_INCONSISTENT) << broken.what;
        EXPECT_EQ(reply.information, broken.badEntry) << broken.what;
        EXPECT_EQ(Stored(file), before) << broken.what;
    }
    EXPECT_EQ(file->LastWriteTime.QuadPart, written.QuadPart) << "a refused set does not touch the node";
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlEa")).liveBlocks, 1u);
}

/* Every pool failure on the way leaves the old set in place, and later attempts succeed. */
TEST_F(EaTest, AllocationFailuresChangeNothing)
{
    ULONG errorOffset;
    ASSERT_EQ(Replace(file, Pack({{"keep", "me"}, {"also", "this"}}), &errorOffset), STATUS_SUCCESS);
    Snapshot before = Stored(file);
    std::vector<UCHAR> input = Pack({{"KEEP", ""}, {"new", "value"}});
    for (uint64_t nth = 1;; nth++) {
        machine::ArmPoolFault(nth, machine::TagFromText("vlEa"));
        Reply reply = Set(input);
        bool injected = machine::FaultsInjected("ExAllocatePoolWithTag") != 0;
        machine::DisarmFaults();
        if (!injected) {
            EXPECT_EQ(reply.status, STATUS_SUCCESS);
            break;
        }
        EXPECT_EQ(reply.status, STATUS_INSUFFICIENT_RESOURCES) << "failing allocation " << nth;
        EXPECT_EQ(Stored(file), before) << "failing allocation " << nth;
        EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlEa")).liveBlocks, 1u);
    }
    EXPECT_EQ(All(), (std::vector<Ea>{{"also", "this"}, {"new", "value"}}));

    machine::ArmPoolFault(1, machine::TagFromText("vlEa"));
    before = Stored(file);
    EXPECT_EQ(Replace(file, Pack({{"x", "y"}}), &errorOffset), STATUS_INSUFFICIENT_RESOURCES);
    machine::DisarmFaults();
    EXPECT_EQ(Stored(file), before);
}

/*
 * Model: random sets of names differing in case, some deleting (empty value),
 * against a list that replaces a name by moving it to the end. After every set
 * the enumeration, the counts and the packed size agree with the model.
 */
TEST_F(EaTest, SetsFollowTheModel)
{
    std::mt19937 random(7);
    const std::vector<std::string> names = {"a", "A", "Ab", "aB", "AB", "long.name.x", "LONG.NAME.X", "q", "[]", "{}"};
    std::vector<Ea> model;
    LARGE_INTEGER last = file->ChangeTime;
    for (int round = 0; round < 200; round++) {
        std::vector<Ea> input;
        size_t entries = 1 + random() % 4;
        for (size_t i = 0; i < entries; i++) {
            std::string name = names[random() % names.size()];
            bool duplicate = std::any_of(input.begin(), input.end(), [&](const Ea &e) { return NamesEqual(e.name, name); });
            if (duplicate)
                continue;
            std::string value = random() % 4 == 0 ? "" : std::string(1 + random() % 40, char('a' + round % 26));
            input.push_back({name, value, UCHAR(random() % 3 == 0 ? FILE_NEED_EA : 0)});
        }
        std::vector<Ea> expected;
        for (const auto &ea : model)
            if (std::none_of(input.begin(), input.end(), [&](const Ea &e) { return NamesEqual(e.name, ea.name); }))
                expected.push_back(ea);
        for (const auto &ea : input)
            if (!ea.value.empty())
                expected.push_back(ea);
        model = expected;

        machine::AdvanceClock(1000);
        ASSERT_EQ(SetEas(input).status, STATUS_SUCCESS) << "round " << round;
        ASSERT_EQ(All(), model) << "round " << round;
        EXPECT_EQ(file->EaCount, model.size());
        EXPECT_EQ(file->EaPackedSize, PackedSize(model));
        EXPECT_EQ(file->NeedEaCount,
                  (ULONG)std::count_if(model.begin(), model.end(), [](const Ea &e) { return e.flags & FILE_NEED_EA; }));
        EXPECT_GT(file->ChangeTime.QuadPart, last.QuadPart) << "a set changes the node's times";
        EXPECT_EQ(file->LastWriteTime.QuadPart, file->ChangeTime.QuadPart);
        last = file->ChangeTime;
        if (model.empty()) {
            EXPECT_EQ(file->EaBuffer, nullptr) << "the last attribute removed leaves no chain";
            EXPECT_EQ(Query(256, SL_INDEX_SPECIFIED, nullptr, 1).status, STATUS_NO_EAS_ON_FILE);
            continue;
        }
        /* Indexes are 1-based and return one entry alone; 0 and one past the end name nothing. */
        ULONG index = (ULONG)(random() % (model.size() + 2));
        Reply one = Query(0x20000, SL_INDEX_SPECIFIED, nullptr, index);
        if (index == 0 || index > model.size()) {
            EXPECT_EQ(one.status, STATUS_NONEXISTENT_EA_ENTRY) << "index " << index;
        } else {
            EXPECT_EQ(one.eas, std::vector<Ea>{model[index - 1]}) << "index " << index;
        }
    }

    /* An empty set only touches the node. */
    Snapshot before = Stored(file);
    machine::AdvanceClock(1000);
    ASSERT_EQ(Set(std::vector<UCHAR>()).status, STATUS_SUCCESS);
    EXPECT_EQ(Stored(file), before);
    EXPECT_GT(file->ChangeTime.QuadPart, last.QuadPart);
}

/* EA lists: list order, case-folded matches, missing names answered empty, single entry, overflow, bad lists. */
TEST_F(EaTest, ListQueries)
{
    ASSERT_EQ(SetEas({{"first", "111", FILE_NEED_EA}, {"Second", "22"}}).status, STATUS_SUCCESS);

    std::vector<UCHAR> list = GetList({"SECOND", "nothere", "FIRST"});
    Reply reply = Query(256, 0, &list);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.eas, (std::vector<Ea>{{"Second", "22"}, {"nothere", ""}, {"first", "111", FILE_NEED_EA}}));

    reply = Query(256, SL_RETURN_SINGLE_ENTRY, &list);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.eas, (std::vector<Ea>{{"Second", "22"}}));
    EXPECT_EQ(reply.information, kFixed + 6 + 1 + 2);

    /* Room for the first two answers only: they come back, with the end of the second as information. */
    ULONG two = 20 + kFixed + 7 + 1;
    reply = Query(two, 0, &list);
    EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reply.eas, (std::vector<Ea>{{"Second", "22"}, {"nothere", ""}}));
    EXPECT_EQ(reply.information, two);
    EXPECT_EQ(Query(0, 0, &list).status, STATUS_BUFFER_OVERFLOW);

    /* A list on a node without attributes answers every name empty. */
    PFCB bare = Create(root, u"bare");
    reply = Query(256, 0, &list, 0, nullptr, bare);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.eas.size(), 3u);

    struct Bad {
        const char *what;
        std::vector<UCHAR> list;
        ULONG offset;
    };
    std::vector<Bad> bad;
    bad.push_back({"shorter than 5 bytes", {0, 0, 0, 0}, 0});
    std::vector<UCHAR> inside = list;
    PutUlong(inside, 0, 4);
    bad.push_back({"next offset inside the entry", inside, 0});
    std::vector<UCHAR> past = list;
    PutUlong(past, 12, 200);
    bad.push_back({"next offset past the list", past, 12});
    std::vector<UCHAR> longName = list;
    longName[list.size() - 7] = 100;
    bad.push_back({"name past the list", longName, (ULONG)list.size() - 11});
    for (const auto &b : bad) {
        reply = Query(256, 0, &b.list);
        EXPECT_EQ(reply.status, STATUS_EA_LIST_INCONSISTENT) << b.what;
        EXPECT_EQ(reply.information, b.offset) << b.what;
    }
}

/* The handle's cursor: one entry per call in a small buffer, overflow leaves it, single entries move it, restart. */
TEST_F(EaTest, EnumerationCursor)
{
    std::vector<Ea> eas = {{"e1", "aaaa"}, {"e2", "bbbb"}, {"e3", "cccc"}};
    ASSERT_EQ(SetEas(eas).status, STATUS_SUCCESS);
    ULONG oneEntry = kFixed + 2 + 1 + 4 + 3; /* room for one, never for two */

    for (ULONG i = 0; i < 2; i++) {
        Reply reply = Query(oneEntry, 0, nullptr, 0, &ccb);
        EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW) << "the next entry does not fit";
        EXPECT_EQ(reply.eas, std::vector<Ea>{eas[i]});
        EXPECT_EQ(ccb.EaCursor, i + 2) << "an overflow leaves the cursor on the entry that did not fit";
    }
    Reply reply = Query(oneEntry, 0, nullptr, 0, &ccb);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << "the last entry fits and ends the enumeration";
    EXPECT_EQ(reply.eas, std::vector<Ea>{eas[2]});
    EXPECT_EQ(ccb.EaCursor, 4u);
    reply = Query(oneEntry, 0, nullptr, 0, &ccb);
    EXPECT_EQ(reply.status, STATUS_NO_MORE_EAS);
    EXPECT_EQ(reply.information, 0u);

    /* Restart, single entries: the cursor moves past each. */
    reply = Query(256, SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY, nullptr, 0, &ccb);
    EXPECT_EQ(reply.eas, std::vector<Ea>{eas[0]});
    EXPECT_EQ(ccb.EaCursor, 2u);
    reply = Query(256, 0, nullptr, 0, &ccb);
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.eas, (std::vector<Ea>{eas[1], eas[2]}));

    /* A buffer too small for anything leaves the cursor where it was. */
    ccb.EaCursor = 2;
    reply = Query(4, 0, nullptr, 0, &ccb);
    EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reply.information, 0u);
    EXPECT_EQ(ccb.EaCursor, 2u);

    /* A cursor of 0 counts as 1; lists and indexes never move it. */
    ccb.EaCursor = 0;
    EXPECT_EQ(Query(256, 0, nullptr, 0, &ccb).eas, eas);
    std::vector<UCHAR> list = GetList({"e1"});
    Query(256, 0, &list, 0, &ccb);
    Query(256, SL_INDEX_SPECIFIED, nullptr, 1, &ccb);
    EXPECT_EQ(ccb.EaCursor, 4u);

    /* Without a handle context every enumeration starts at the first entry. */
    EXPECT_EQ(Query(oneEntry).eas, std::vector<Ea>{eas[0]});
    EXPECT_EQ(Query(oneEntry).eas, std::vector<Ea>{eas[0]});
}

/* Requests that name no live node of this volume, or reach a dismounted volume, are refused untouched. */
TEST_F(EaTest, RequestsNeedALiveNodeOnAMountedVolume)
{
    ASSERT_EQ(SetEas({{"x", "1"}}).status, STATUS_SUCCESS);
    FCB dead;
    RtlZeroMemory(&dead, sizeof(dead));
    EXPECT_EQ(Query(256, 0, nullptr, 0, nullptr, &dead).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(Pack({{"y", "2"}}), &dead).status, STATUS_INVALID_PARAMETER);

    vcb->Dismounted = TRUE;
    EXPECT_EQ(Query(256).status, STATUS_VOLUME_DISMOUNTED);
    EXPECT_EQ(SetEas({{"y", "2"}}).status, STATUS_VOLUME_DISMOUNTED);
    vcb->Dismounted = FALSE;
    EXPECT_EQ(All(), (std::vector<Ea>{{"x", "1"}}));
}

} // namespace
