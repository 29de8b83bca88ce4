/*
 * Share access and EA-buffer checks, called as a file system calls them: on a
 * file's SHARE_ACCESS (and a link's LINK_SHARE_ACCESS) with the file objects of
 * its opens, and on FILE_FULL_EA_INFORMATION chains.
 */
#include "machine_test.h"

#include <ntifs.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using ShareAccessTest = MachineTest;
using ShareAccessDeathTest = MachineTest;
using EaBufferTest = MachineTest;

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/* OpenCount, Readers, Writers, Deleters, SharedRead, SharedWrite, SharedDelete. */
using Counts = std::array<ULONG, 7>;
Counts Of(const SHARE_ACCESS &s)
{
    return {s.OpenCount, s.Readers, s.Writers, s.Deleters, s.SharedRead, s.SharedWrite, s.SharedDelete};
}
/* OpenCount, Deleters, SharedDelete. */
using LinkCounts = std::array<ULONG, 3>;
LinkCounts Of(const LINK_SHARE_ACCESS &l)
{
    return {l.OpenCount, l.Deleters, l.SharedDelete};
}

struct Bit {
    ACCESS_MASK access;
    ULONG share; /* the sharing another open needs to give for this access */
};
constexpr Bit kCounted[] = {{FILE_READ_DATA, FILE_SHARE_READ},   {FILE_EXECUTE, FILE_SHARE_READ},
                            {FILE_WRITE_DATA, FILE_SHARE_WRITE}, {FILE_APPEND_DATA, FILE_SHARE_WRITE},
                            {DELETE, FILE_SHARE_DELETE}};
constexpr ULONG kShares[] = {FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE};

/* One counted open, then a second: the second conflicts exactly when one side withholds what the other uses. */
TEST_F(ShareAccessTest, EachCountedAccessAgainstEachWithheldShareBothWays)
{
    for (const Bit &first : kCounted)
        for (const Bit &second : kCounted)
            for (ULONG withheld : kShares)
                for (bool firstWithholds : {true, false}) {
                    SCOPED_TRACE(testing::Message() << std::hex << "first " << first.access << " second "
                                                    << second.access << " withheld " << withheld << " by "
                                                    << (firstWithholds ? "first" : "second"));
                    SHARE_ACCESS share;
                    FILE_OBJECT a{}, b{};
                    IoSetShareAccess(first.access, firstWithholds ? kShareAll & ~withheld : kShareAll, &a, &share);
                    bool conflict = firstWithholds ? second.share == withheld : first.share == withheld;
                    NTSTATUS status = IoCheckShareAccess(second.access, firstWithholds ? kShareAll : kShareAll & ~withheld,
                                                         &b, &share, TRUE);
                    ASSERT_EQ(status, conflict ? STATUS_SHARING_VIOLATION : STATUS_SUCCESS);
                    EXPECT_EQ(share.OpenCount, conflict ? 1u : 2u) << "a refused open is not counted";
                    if (!conflict)
                        IoRemoveShareAccess(&b, &share);
                    IoRemoveShareAccess(&a, &share);
                    EXPECT_EQ(Of(share), Counts{});
                }
}

TEST_F(ShareAccessTest, OpensWithoutReadWriteOrDeleteAreNeitherCheckedNorCounted)
{
    const ACCESS_MASK uncounted[] = {FILE_READ_ATTRIBUTES, FILE_WRITE_ATTRIBUTES, FILE_READ_EA, FILE_WRITE_EA,
                                     READ_CONTROL,        WRITE_DAC,             WRITE_OWNER,  SYNCHRONIZE};
    SHARE_ACCESS share;
    FILE_OBJECT exclusive{};
    IoSetShareAccess(FILE_READ_DATA | FILE_WRITE_DATA | DELETE, 0, &exclusive, &share);
    for (ACCESS_MASK access : uncounted) {
        FILE_OBJECT file{};
        EXPECT_EQ(IoCheckShareAccess(access, 0, &file, &share, TRUE), STATUS_SUCCESS) << access;
        EXPECT_FALSE(file.ReadAccess || file.WriteAccess || file.DeleteAccess);
        IoRemoveShareAccess(&file, &share);
        EXPECT_EQ(Of(share), (Counts{1, 1, 1, 1, 0, 0, 0})) << access;
    }
    // Setting the first open initialises the record even when that open is not counted.
    std::memset(&share, 0xCC, sizeof(share));
    FILE_OBJECT attributes{};
    IoSetShareAccess(FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, &attributes, &share);
    EXPECT_EQ(Of(share), Counts{});
}

TEST_F(ShareAccessTest, EveryOpenMustShareAndRemovalRestoresExactly)
{
    SHARE_ACCESS share;
    FILE_OBJECT a{}, b{}, writer{}, reader{};
    IoSetShareAccess(FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &a, &share);
    ASSERT_EQ(IoCheckShareAccess(FILE_EXECUTE, FILE_SHARE_READ, &b, &share, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Of(share), (Counts{2, 2, 0, 0, 2, 1, 0}));
    EXPECT_EQ(IoCheckShareAccess(FILE_WRITE_DATA, kShareAll, &writer, &share, TRUE), STATUS_SHARING_VIOLATION)
        << "b does not share writing, though a does";
    IoRemoveShareAccess(&b, &share);
    ASSERT_EQ(IoCheckShareAccess(FILE_APPEND_DATA, kShareAll, &writer, &share, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Of(share), (Counts{2, 1, 1, 0, 2, 2, 1}));
    EXPECT_EQ(IoCheckShareAccess(FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, &reader, &share, TRUE),
              STATUS_SHARING_VIOLATION)
        << "a writer is open";
    IoRemoveShareAccess(&writer, &share);
    EXPECT_EQ(IoCheckShareAccess(FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, &reader, &share, TRUE),
              STATUS_SUCCESS);
    IoRemoveShareAccess(&reader, &share);
    IoRemoveShareAccess(&a, &share);
    EXPECT_EQ(Of(share), Counts{});
}

TEST_F(ShareAccessTest, CheckingWithoutUpdateRecordsTheFileObjectForALaterUpdate)
{
    SHARE_ACCESS share;
    FILE_OBJECT first{}, second{};
    IoSetShareAccess(FILE_READ_DATA, kShareAll, &first, &share);
    SHARE_ACCESS before = share;
    ASSERT_EQ(IoCheckShareAccess(FILE_WRITE_DATA | DELETE, FILE_SHARE_READ, &second, &share, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Of(share), Of(before));
    EXPECT_TRUE(!second.ReadAccess && second.WriteAccess && second.DeleteAccess);
    EXPECT_TRUE(second.SharedRead && !second.SharedWrite && !second.SharedDelete);
    IoUpdateShareAccess(&second, &share);
    EXPECT_EQ(Of(share), (Counts{2, 1, 1, 1, 2, 1, 1}));
    FILE_OBJECT third{};
    EXPECT_EQ(IoCheckShareAccess(FILE_READ_DATA, kShareAll, &third, &share, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoCheckShareAccess(FILE_READ_DATA, kShareAll, &third, &share, FALSE), STATUS_SUCCESS);
    IoRemoveShareAccess(&second, &share);
    IoRemoveShareAccess(&third, &share);
    EXPECT_EQ(Of(share), Of(before));
}

TEST_F(ShareAccessTest, WithoutWritePermissionExclusiveReadBecomesSharedRead)
{
    BOOLEAN no = FALSE, yes = TRUE;
    for (PBOOLEAN permission : {&no, &yes, PBOOLEAN(nullptr)}) {
        bool downgraded = permission == &no;
        SHARE_ACCESS share;
        FILE_OBJECT first{}, second{}, third{};
        IoSetShareAccessEx(FILE_READ_DATA, 0, &first, &share, permission);
        EXPECT_EQ(first.SharedRead, downgraded);
        EXPECT_EQ(IoCheckShareAccessEx(FILE_READ_DATA, FILE_SHARE_READ, &second, &share, TRUE, nullptr),
                  downgraded ? STATUS_SUCCESS : STATUS_SHARING_VIOLATION);
        EXPECT_EQ(IoCheckShareAccessEx(FILE_EXECUTE, 0, &third, &share, TRUE, permission),
                  downgraded ? STATUS_SUCCESS : STATUS_SHARING_VIOLATION);
        EXPECT_EQ(share.SharedRead, downgraded ? 3u : 0u);
    }
}

/* One file with two names: read and write sharing is the file's, delete sharing each name's. */
TEST_F(ShareAccessTest, LinksShareDeletePerLinkAndReadWritePerFile)
{
    const ULONG update = IO_CHECK_SHARE_ACCESS_UPDATE_SHARE_ACCESS;
    SHARE_ACCESS file;
    LINK_SHARE_ACCESS one, two = {};
    FILE_OBJECT a{}, b{}, c{}, probe{};
    IoSetLinkShareAccess(FILE_READ_DATA | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, &a, &file, &one, update);
    ASSERT_EQ(IoCheckLinkShareAccess(DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, &b, &file, &two, update),
              STATUS_SUCCESS)
        << "a withholds delete from its own name only";
    EXPECT_EQ(IoCheckLinkShareAccess(DELETE, kShareAll, &probe, &file, &one, 0), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(IoCheckLinkShareAccess(FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &probe, &file, &one, 0),
              STATUS_SHARING_VIOLATION)
        << "a deletes through this name and the probe does not share that";
    EXPECT_EQ(IoCheckLinkShareAccess(FILE_READ_DATA, FILE_SHARE_WRITE | FILE_SHARE_DELETE, &probe, &file, &two, 0),
              STATUS_SHARING_VIOLATION)
        << "a reads the file through the other name";
    EXPECT_EQ(IoCheckLinkShareAccess(DELETE, kShareAll, &probe, &file, &two, IO_CHECK_SHARE_ACCESS_FORCE_USING_SCB),
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(IoCheckLinkShareAccess(DELETE, kShareAll, &probe, &file, nullptr, 0), STATUS_SHARING_VIOLATION)
        << "without a link record delete is the file's";
    EXPECT_EQ(IoCheckLinkShareAccess(DELETE, kShareAll, &probe, &file, &one, IO_CHECK_SHARE_ACCESS_DONT_CHECK_DELETE),
              STATUS_SUCCESS);
    EXPECT_EQ(IoCheckLinkShareAccess(FILE_READ_DATA, FILE_SHARE_DELETE, &probe, &file, &two,
                                     IO_CHECK_SHARE_ACCESS_DONT_CHECK_READ | IO_CHECK_SHARE_ACCESS_DONT_CHECK_WRITE),
              STATUS_SUCCESS);
    EXPECT_EQ(IoCheckLinkShareAccess(FILE_READ_ATTRIBUTES, 0, &probe, &file, &two, 0), STATUS_SUCCESS);
    EXPECT_EQ(IoCheckLinkShareAccess(FILE_READ_ATTRIBUTES, 0, &probe, &file, &two, IO_CHECK_SHARE_ACCESS_FORCE_CHECK),
              STATUS_SHARING_VIOLATION)
        << "forced, an open without counted access is checked too";
    ASSERT_EQ(IoCheckLinkShareAccess(FILE_WRITE_DATA, kShareAll, &c, &file, &two, update), STATUS_SUCCESS);
    EXPECT_EQ(Of(file), (Counts{3, 1, 1, 2, 3, 3, 1}));
    EXPECT_EQ(Of(one), (LinkCounts{1, 1, 0}));
    EXPECT_EQ(Of(two), (LinkCounts{2, 1, 1}));

    FILE_OBJECT untouched{};
    untouched.ReadAccess = untouched.SharedRead = TRUE;
    EXPECT_EQ(IoCheckLinkShareAccess(FILE_WRITE_DATA, kShareAll, &untouched, &file, &two,
                                     IO_CHECK_SHARE_ACCESS_DONT_UPDATE_FILE_OBJECT),
              STATUS_SUCCESS);
    EXPECT_TRUE(untouched.ReadAccess && !untouched.WriteAccess && untouched.SharedRead && !untouched.SharedDelete);
    IoSetLinkShareAccess(DELETE, 0, &probe, &file, &two, 0);
    EXPECT_EQ(Of(file).at(0), 3u) << "set without the update flag counts nothing";

    IoRemoveLinkShareAccess(&a, &file, &one);
    IoRemoveLinkShareAccess(&b, &file, &two);
    IoRemoveLinkShareAccess(&c, &file, &two);
    EXPECT_EQ(Of(file), Counts{});
    EXPECT_EQ(Of(one), LinkCounts{});
    EXPECT_EQ(Of(two), LinkCounts{});
}

TEST_F(ShareAccessDeathTest, AboveTheDocumentedIrqlTheMachineStops)
{
    SHARE_ACCESS share{};
    FILE_OBJECT file{};
    auto atDispatch = [](auto call) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        call();
    };
    EXPECT_BUGCHECK(atDispatch([&] { IoCheckShareAccess(FILE_READ_DATA, 0, &file, &share, TRUE); }),
                    IRQL_NOT_LESS_OR_EQUAL, {kAnyParameter, DISPATCH_LEVEL, PASSIVE_LEVEL});
    EXPECT_BUGCHECK(atDispatch([&] { IoRemoveLinkShareAccess(&file, &share, nullptr); }), IRQL_NOT_LESS_OR_EQUAL,
                    {kAnyParameter, DISPATCH_LEVEL, PASSIVE_LEVEL});
    ULONG offset;
    EXPECT_BUGCHECK(atDispatch([&] { IoCheckEaBufferValidity(nullptr, 0, &offset); }), IRQL_NOT_LESS_OR_EQUAL,
                    {kAnyParameter, DISPATCH_LEVEL, APC_LEVEL});
}

/* A well-formed chain: each entry's name and value length, NextEntryOffset padded to a ULONG. */
struct Ea {
    std::string name;
    USHORT valueLength;
};
std::vector<UCHAR> Chain(std::initializer_list<Ea> entries)
{
    std::vector<UCHAR> buffer;
    size_t previous = 0;
    for (const Ea &ea : entries) {
        if (!buffer.empty()) {
            buffer.resize((buffer.size() + 3) & ~size_t(3));
            ULONG next = ULONG(buffer.size() - previous);
            std::memcpy(&buffer[previous], &next, sizeof(next));
        }
        previous = buffer.size();
        buffer.resize(previous + 8 + ea.name.size() + 1 + ea.valueLength, 0x5A);
        FILE_FULL_EA_INFORMATION header = {0, 0, UCHAR(ea.name.size()), ea.valueLength, {}};
        std::memcpy(&buffer[previous], &header, 8);
        std::memcpy(&buffer[previous + 8], ea.name.c_str(), ea.name.size() + 1);
    }
    return buffer;
}

void SetNext(std::vector<UCHAR> &buffer, size_t entry, ULONG next)
{
    std::memcpy(&buffer[entry], &next, sizeof(next));
}

TEST_F(EaBufferTest, FirstBadEntryIsReported)
{
    constexpr ULONG kWhole = ~0u;
    // Entries of {"A", 3} take 13 bytes, padded to 16; {"NAME", 5} take 18, padded to 20.
    struct Case {
        const char *what;
        std::vector<UCHAR> buffer;
        ULONG length; /* kWhole: the buffer's size */
        NTSTATUS status;
        ULONG errorOffset;
    };
    std::vector<Case> cases = {
        {"single entry", Chain({{"NAME", 5}}), kWhole, STATUS_SUCCESS, 0},
        {"three entries", Chain({{"A", 3}, {"NAME", 5}, {"A", 3}}), kWhole, STATUS_SUCCESS, 0},
        {"empty name, no value", Chain({{"", 0}}), kWhole, STATUS_SUCCESS, 0},
        {"empty value between two entries", Chain({{"A", 3}, {"NAME", 0}, {"A", 3}}), kWhole, STATUS_SUCCESS, 0},
        {"longest name and value", Chain({{std::string(255, 'N'), 0xFFFF}}), kWhole, STATUS_SUCCESS, 0},
        {"bytes after the last entry", Chain({{"A", 3}, {"A", 3}}), 40, STATUS_SUCCESS, 0},
        {"zero-length buffer", Chain({{"A", 3}}), 0, STATUS_EA_LIST_INCONSISTENT, 0},
        {"fixed part cut", Chain({{"A", 3}}), 7, STATUS_EA_LIST_INCONSISTENT, 0},
        {"name cut", Chain({{"NAME", 5}}), 11, STATUS_EA_LIST_INCONSISTENT, 0},
        {"value cut", Chain({{"NAME", 5}}), 17, STATUS_EA_LIST_INCONSISTENT, 0},
        {"second entry's value cut", Chain({{"A", 3}, {"NAME", 5}}), 33, STATUS_EA_LIST_INCONSISTENT, 16},
        {"chain promises a fourth entry", Chain({{"A", 3}, {"A", 3}, {"A", 3}}), kWhole,
         STATUS_EA_LIST_INCONSISTENT, 48},
        {"next entry past the buffer's end", Chain({{"A", 3}, {"A", 3}}), 14, STATUS_EA_LIST_INCONSISTENT, 0},
    };
    cases[1].buffer[16 + 8 + 5 + 2] = 0; /* a NUL inside a value is fine */
    cases[11].buffer.resize(48);
    SetNext(cases[11].buffer, 32, 16);
    auto add = [&](const char *what, std::vector<UCHAR> buffer, ULONG errorOffset) {
        cases.push_back({what, std::move(buffer), kWhole, STATUS_EA_LIST_INCONSISTENT, errorOffset});
    };
    auto chain = Chain({{"A", 3}, {"NAME", 5}, {"A", 3}});
    auto noNul = chain;
    noNul[16 + 8 + 4] = 'X';
    add("name of the second entry not terminated", noNul, 16);
    auto innerNul = chain;
    innerNul[16 + 8 + 2] = 0;
    add("name of the second entry shorter than its EaNameLength", innerNul, 16);
    auto longest = Chain({{"A", 3}, {std::string(255, 'N'), 4}});
    longest[16 + 8 + 255] = 'N';
    add("a 255-byte name running into its value", longest, 16);
    for (ULONG next : {13u, 12u, 20u, 15u}) {
        auto misplaced = chain;
        SetNext(misplaced, 0, next);
        add("first NextEntryOffset not the padded entry size", misplaced, 0);
    }
    auto overlong = chain;
    SetNext(overlong, 16, 24);
    add("second NextEntryOffset past the padded size", overlong, 16);

    // Every case at a ULONG boundary and one byte past it: callers hand in buffers
    // on any byte, and the verdict and the offset do not depend on where.
    for (const Case &c : cases) {
        for (size_t shift : {size_t(0), size_t(1)}) {
            ULONG length = c.length == kWhole ? ULONG(c.buffer.size()) : c.length;
            std::vector<ULONG> storage((c.buffer.size() + 3) / 4 + 16);
            auto *start = reinterpret_cast<UCHAR *>(storage.data()) + shift;
            std::memcpy(start, c.buffer.data(), c.buffer.size());
            ULONG errorOffset = 0xFFFFFFFF;
            EXPECT_EQ(IoCheckEaBufferValidity(reinterpret_cast<PFILE_FULL_EA_INFORMATION>(start), length,
                                              &errorOffset),
                      c.status)
                << c.what << " at +" << shift;
            EXPECT_EQ(errorOffset, c.status == STATUS_SUCCESS ? 0xFFFFFFFF : c.errorOffset)
                << c.what << " at +" << shift;
        }
    }
}

} // namespace
