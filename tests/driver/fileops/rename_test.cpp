/*
 * Renames and links: a table of sources, targets and replace flags, each on a fresh copy
 * of one small tree, checked by which paths open afterwards and which node they
 * open; handles open on the source and on a replaced target; and bad records
 * sent straight to the volume, after which the tree is as it was.
 */
#include "set_information_test.h"

namespace {

class RenameTest : public SetInformationTest {
protected:
    /* \<dir>\f1 (10 bytes), \<dir>\f2 (5 bytes), \<dir>\d\sub, \<dir>\d\g, \<dir>\e. */
    void MakeTree(const std::string &dir)
    {
        ASSERT_EQ(Make(dir, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
        for (const char *d : {"\\d", "\\d\\sub", "\\e"})
            ASSERT_EQ(Make(dir + d, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
        for (const char *f : {"\\f1", "\\f2", "\\d\\g"})
            ASSERT_EQ(Make(dir + f), STATUS_SUCCESS);
        HANDLE handle;
        ASSERT_EQ(OpenForSet(dir + "\\f1", &handle), STATUS_SUCCESS);
        ASSERT_EQ(WriteAt(handle, 0, "1111111111", 10), STATUS_SUCCESS);
        Close(handle);
        ASSERT_EQ(OpenForSet(dir + "\\f2", &handle), STATUS_SUCCESS);
        ASSERT_EQ(WriteAt(handle, 0, "22222", 5), STATUS_SUCCESS);
        Close(handle);
    }
    /* The next name a listing of dir returns, one entry per call; "" at its end. */
    std::string NextListed(HANDLE dir, bool restart = false)
    {
        NTSTATUS status = support::AsUser(*process, [&] {
            return NtQueryDirectoryFile(dir, nullptr, nullptr, nullptr, iosb, scratch, 4096, FileNamesInformation,
                                        TRUE, nullptr, restart);
        });
        if (status != STATUS_SUCCESS)
            return "";
        const auto *record = reinterpret_cast<const FILE_NAMES_INFORMATION *>(scratch);
        return Narrow(std::u16string(reinterpret_cast<const char16_t *>(record->FileName), record->FileNameLength / 2));
    }
    /* Every path of the tree that opens, with the node it opens. */
    std::vector<std::pair<std::string, ULONGLONG>> Snapshot(const std::string &dir)
    {
        std::vector<std::pair<std::string, ULONGLONG>> paths;
        for (const char *p : {"", "\\d", "\\d\\sub", "\\e", "\\f1", "\\f2", "\\d\\g"})
            paths.push_back({p, IdAt(dir + p)});
        return paths;
    }
};

struct RenameCase {
    const char *source;      /* under the case's directory */
    const char *target;      /* "\x": under the case's directory; else as sent (relative) */
    bool replace;
    NTSTATUS expect;
    const char *present;     /* after: a path that opens the source's node ("" for none) */
    const char *absent;      /* after: a path that no longer opens ("" for none) */
    bool link = false;       /* a hard link instead of a rename */
};

/*
 * Each rename or link on its own copy of the tree: the status, the source's
 * node under its new name, the old name gone (a rename's); a failed rename leaves every path as it was.
 * Plain renames and links between files, with and without replace and in any
 * case, are the rename model's; the rows here are what it never makes:
 * directories, the root of a case's copy, bad names and paths, long names.
 */
TEST_F(RenameTest, TableOfTargets)
{
    const std::string longName(100, 'L');
    const std::string tooLong(256, 'T');
    const RenameCase cases[] = {
        {"\\f1", "d", true, STATUS_ACCESS_DENIED, "\\f1", ""},
        {"\\d", "e", true, STATUS_ACCESS_DENIED, "\\d", ""},
        {"\\d", "\\d\\sub\\x", false, STATUS_INVALID_PARAMETER, "\\d", "\\d\\sub\\x"},
        {"\\d", "\\d\\x", false, STATUS_SHARING_VIOLATION, "\\d", "\\d\\x"}, /* the target's open meets DELETE */
        {"\\d", "\\e\\moved", false, STATUS_SUCCESS, "\\e\\moved", "\\d"},
        {"\\d", "D2", false, STATUS_SUCCESS, "\\d2", "\\d"},
        {"\\f1", "a*b", false, STATUS_OBJECT_NAME_INVALID, "\\f1", ""},
        {"\\f1", "..", false, STATUS_OBJECT_NAME_INVALID, "\\f1", ""},
        {"\\f1", "a\\b", false, STATUS_OBJECT_NAME_INVALID, "\\f1", ""},
        {"\\f1", "\\nodir\\x", false, STATUS_OBJECT_PATH_NOT_FOUND, "\\f1", ""},
        {"\\f1", "\\f2\\x", false, STATUS_OBJECT_PATH_NOT_FOUND, "\\f1", ""},
        {"\\f1", longName.c_str(), false, STATUS_SUCCESS, nullptr, "\\f1"},
        {"\\f1", tooLong.c_str(), false, STATUS_OBJECT_NAME_INVALID, "\\f1", ""},
        {"\\f1", "d", true, STATUS_ACCESS_DENIED, "\\f1", "", true},
        {"\\f1", "a*", false, STATUS_OBJECT_NAME_INVALID, "\\f1", "", true},
        {"\\f1", "\\nodir\\x", false, STATUS_OBJECT_PATH_NOT_FOUND, "\\f1", "", true},
        {"\\d", "dl", false, STATUS_FILE_IS_A_DIRECTORY, "\\d", "\\dl", true},
    };
    int index = 0;
    for (const RenameCase &c : cases) {
        const std::string dir = "\\c" + std::to_string(index++);
        MakeTree(dir);
        const ULONGLONG id = IdAt(dir + c.source);
        ASSERT_NE(id, 0u) << dir;
        auto before = Snapshot(dir);
        std::string target = c.target[0] == '\\' ? dir + c.target : c.target;
        HANDLE handle;
        ASSERT_EQ(OpenForSet(dir + c.source, &handle), STATUS_SUCCESS) << dir;
        EXPECT_EQ(Rename(handle, target, c.replace, c.link), c.expect)
            << dir << (c.link ? " link " : " rename ") << c.source << " -> " << c.target;
        Close(handle);
        std::string present = c.present != nullptr ? c.present : "\\" + longName;
        if (!present.empty()) {
            EXPECT_EQ(IdAt(dir + present), id) << dir << " " << present;
        }
        if (c.absent[0] != 0) {
            EXPECT_EQ(IdAt(dir + c.absent), 0u) << dir << " " << c.absent;
        }
        if (!NT_SUCCESS(c.expect)) {
            EXPECT_EQ(Snapshot(dir), before) << dir;
        }
    }
}

/* A rename that changes only case keeps the stored name; a new name is what every handle reports. */
TEST_F(RenameTest, NamesAsHandlesReportThem)
{
    MakeTree("\\n");
    HANDLE source, other;
    ASSERT_EQ(OpenForSet("\\n\\f1", &source), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\n\\f1", &other), STATUS_SUCCESS);
    ASSERT_EQ(Rename(source, "F1"), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(other), "\\n\\f1");
    ASSERT_EQ(Rename(source, "\\n\\e\\Renamed"), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(source), "\\n\\e\\Renamed");
    EXPECT_EQ(NameOf(other), "\\n\\e\\Renamed");
    /* A directory moved with an open handle below it: the handle's path follows. */
    HANDLE below;
    ASSERT_EQ(OpenForSet("\\n\\d\\g", &below), STATUS_SUCCESS);
    HANDLE dir;
    ASSERT_EQ(OpenForSet("\\n\\d", &dir, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Rename(dir, "\\n\\e\\dd"), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(below), "\\n\\e\\dd\\g");
    for (HANDLE h : {source, other, below, dir})
        EXPECT_EQ(Close(h), STATUS_SUCCESS);
}

/*
 * Replacing a file that another handle holds open: the name goes to the source,
 * the replaced file lives on, nameless, for its handle (its data intact) until
 * that handle closes; the pool check at teardown sees its data given back.
 */
TEST_F(RenameTest, ReplacedTargetLivesOnForItsHandle)
{
    MakeTree("\\r");
    HANDLE victim, source;
    ASSERT_EQ(OpenForSet("\\r\\f2", &victim), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\r\\f1", &source), STATUS_SUCCESS);
    const ULONGLONG sourceId = IdOf(source);
    ASSERT_EQ(Rename(source, "f2", true), STATUS_SUCCESS);
    EXPECT_EQ(IdAt("\\r\\f2"), sourceId);
    std::vector<UCHAR> data;
    ASSERT_EQ(ReadAt(victim, 0, 5, &data), STATUS_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), "22222");
    ASSERT_EQ(WriteAt(victim, 5, "33", 2), STATUS_SUCCESS);
    EXPECT_EQ(Standard(victim).NumberOfLinks, 0u);
    EXPECT_TRUE(LinksOf(victim).empty());
    EXPECT_EQ(Close(victim), STATUS_SUCCESS);
    ASSERT_EQ(ReadAt(source, 0, 10, &data), STATUS_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), "1111111111");
    EXPECT_EQ(Close(source), STATUS_SUCCESS);
}

/*
 * Records the I/O manager would refuse, and names it would pass on, sent straight
 * to the volume: short heads and lying lengths, name lengths of 0 and past the
 * limit, another drive, an odd length; the root, a directory into itself, a
 * root handle. Nothing of the tree changes; the drive
 * prefix is matched without case, and only the Ex class reads the flags word.
 */
TEST_F(RenameTest, BadRecordsChangeNothing)
{
    MakeTree("\\b");
    auto before = Snapshot("\\b");
    HANDLE handle;
    ASSERT_EQ(OpenForSet("\\b\\f1", &handle), STATUS_SUCCESS);
    PFILE_OBJECT file = FileObjectOf(handle, *process);
    std::vector<UCHAR> record = TargetRecord(u"renamed", 0);
    for (ULONG length = 0; length < FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName); ++length)
        EXPECT_EQ(SetDirect(file, FileRenameInformation, record.data(), length), STATUS_INFO_LENGTH_MISMATCH)
            << length;
    for (ULONG length = 20; length < record.size(); ++length)
        EXPECT_EQ(SetDirect(file, FileRenameInformation, record.data(), length), STATUS_INFO_LENGTH_MISMATCH)
            << length;
    auto *info = reinterpret_cast<FILE_RENAME_INFORMATION *>(record.data());
    for (ULONG claimed : {0u, 65536u, 0xFFFFFFFFu}) {
        info->FileNameLength = claimed;
        EXPECT_EQ(SetDirect(file, FileRenameInformation, record.data(), (ULONG)record.size()),
                  STATUS_INVALID_PARAMETER)
            << claimed;
    }
    info->FileNameLength = 13;
    EXPECT_EQ(SetDirect(file, FileRenameInformation, record.data(), (ULONG)record.size()),
              STATUS_OBJECT_NAME_INVALID);
    std::vector<UCHAR> other = TargetRecord(u"\\??\\Q:\\b\\x", 0);
    EXPECT_EQ(SetDirect(file, FileRenameInformation, other.data(), (ULONG)other.size()), STATUS_NOT_SAME_DEVICE);
    std::vector<UCHAR> bare = TargetRecord(u"\\", 0);
    EXPECT_EQ(SetDirect(file, FileRenameInformation, bare.data(), (ULONG)bare.size()), STATUS_INVALID_PARAMETER);
    std::vector<UCHAR> flags = TargetRecord(u"f2", 0x100); /* the byte is 0: no replace */
    EXPECT_EQ(SetDirect(file, FileRenameInformation, flags.data(), (ULONG)flags.size()),
              STATUS_OBJECT_NAME_COLLISION);
    std::vector<UCHAR> exNoReplace = TargetRecord(u"f2", 0x100);
    EXPECT_EQ(SetDirect(file, FileRenameInformationEx, exNoReplace.data(), (ULONG)exNoReplace.size()),
              STATUS_OBJECT_NAME_COLLISION);
    /* The root is never renamed, a directory never into itself, and a rename takes no root handle. */
    HANDLE root, d, e;
    OpenRequest rq;
    rq.access = FILE_READ_ATTRIBUTES;
    ASSERT_EQ(Open("\\", &root, rq), STATUS_SUCCESS);
    rq.options = FILE_DIRECTORY_FILE;
    ASSERT_EQ(Open("\\b\\e", &e, rq), STATUS_SUCCESS);
    ASSERT_EQ(OpenForSet("\\b\\d", &d, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    std::vector<UCHAR> plain = TargetRecord(u"x", 0), into = TargetRecord(u"\\b\\d\\x", 0);
    EXPECT_EQ(SetDirect(FileObjectOf(root, *process), FileRenameInformation, plain.data(), (ULONG)plain.size()),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetDirect(FileObjectOf(d, *process), FileRenameInformation, into.data(), (ULONG)into.size()),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Rename(handle, "x", false, false, e), STATUS_NOT_SUPPORTED);
    for (HANDLE h : {root, d, e})
        EXPECT_EQ(Close(h), STATUS_SUCCESS);
    EXPECT_EQ(IdAt("\\b\\e\\x"), 0u);
    EXPECT_EQ(Snapshot("\\b"), before);

    /* Accepted forms: a lower-case drive letter and a backslash walk from the root; the Ex replace flag. */
    std::vector<UCHAR> lower = TargetRecord(u"\\??\\r:\\b\\e\\x", 0);
    EXPECT_EQ(SetDirect(file, FileRenameInformation, lower.data(), (ULONG)lower.size()), STATUS_SUCCESS);
    std::vector<UCHAR> fromRoot = TargetRecord(u"\\b\\y", 0);
    EXPECT_EQ(SetDirect(file, FileRenameInformation, fromRoot.data(), (ULONG)fromRoot.size()), STATUS_SUCCESS);
    std::vector<UCHAR> exReplace = TargetRecord(u"f2", FILE_RENAME_REPLACE_IF_EXISTS | 0x100);
    EXPECT_EQ(SetDirect(file, FileRenameInformationEx, exReplace.data(), (ULONG)exReplace.size()), STATUS_SUCCESS);
    EXPECT_EQ(IdAt("\\b\\f2"), before[4].second);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

/*
 * Renames and links to a long name over an existing file, with each pool
 * allocation of the call failing in turn (the I/O manager's own included) until
 * one runs with nothing injected: a failed call leaves both names as they were,
 * a successful one moves or adds the name; the pool check at teardown sees the
 * replaced files and every undo given back.
 */
TEST_F(RenameTest, EveryPoolAllocationFailsInTurn)
{
    ASSERT_EQ(Make("\\a", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\b", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    const std::string target = "\\b\\" + std::string(100, 'T');
    for (bool link : {false, true}) {
        uint64_t n = 1;
        for (; n < 200; ++n) {
            for (const std::string &path : {std::string("\\a\\src"), target}) {
                if (IdAt(path) == 0) {
                    ASSERT_EQ(Make(path), STATUS_SUCCESS);
                }
            }
            const ULONGLONG source = IdAt("\\a\\src"), replaced = IdAt(target);
            HANDLE handle;
            ASSERT_EQ(OpenForSet("\\a\\src", &handle), STATUS_SUCCESS);
            machine::ArmPoolFault(n, 0);
            NTSTATUS status = Rename(handle, target, true, link);
            uint64_t injected = machine::FaultsInjected("ExAllocatePoolWithTag");
            machine::DisarmFaults();
            Close(handle);
            SCOPED_TRACE((link ? "link, allocation #" : "rename, allocation #") + std::to_string(n));
            if (NT_SUCCESS(status)) {
                EXPECT_EQ(IdAt(target), source);
                EXPECT_EQ(IdAt("\\a\\src"), link ? source : 0);
                ASSERT_EQ(DeleteByDisposition(target), STATUS_SUCCESS);
            } else {
                EXPECT_NE(injected, 0u) << "only an injected failure may fail the call";
                EXPECT_EQ(IdAt("\\a\\src"), source);
                EXPECT_EQ(IdAt(target), replaced);
            }
            if (injected == 0 || HasFailure())
                break;
        }
        EXPECT_GT(n, 2u) << "some allocations were failed";
    }
}

/*
 * A listing in progress meets renames between its calls: the last entry it
 * returned moves away, the next one is renamed in place, another arrives from
 * elsewhere. It goes on with every entry that stayed, once, in its place, and
 * ends with the one that arrived.
 */
TEST_F(RenameTest, ListingGoesOnAcrossRenames)
{
    for (const char *dir : {"\\l", "\\o"})
        ASSERT_EQ(Make(dir, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    for (const char *file : {"\\l\\a", "\\l\\b", "\\l\\c", "\\l\\d", "\\o\\x"})
        ASSERT_EQ(Make(file), STATUS_SUCCESS);
    OpenRequest rq;
    rq.access = FILE_LIST_DIRECTORY;
    rq.options = FILE_DIRECTORY_FILE;
    HANDLE list;
    ASSERT_EQ(Open("\\l", &list, rq), STATUS_SUCCESS);
    std::vector<std::string> seen{NextListed(list, true)};
    for (int i = 0; i < 3; ++i)
        seen.push_back(NextListed(list));
    ASSERT_EQ(seen, (std::vector<std::string>{".", "..", "a", "b"}));
    for (const auto &[from, to] : {std::pair<const char *, const char *>{"\\l\\b", "\\o\\b2"},
                                   {"\\l\\c", "c2"},
                                   {"\\o\\x", "\\l\\x"}}) {
        HANDLE handle;
        ASSERT_EQ(OpenForSet(from, &handle), STATUS_SUCCESS) << from;
        EXPECT_EQ(Rename(handle, to), STATUS_SUCCESS) << from;
        Close(handle);
    }
    seen.clear();
    for (std::string name = NextListed(list); !name.empty(); name = NextListed(list))
        seen.push_back(name);
    EXPECT_EQ(seen, (std::vector<std::string>{"c2", "d", "x"}));
    EXPECT_EQ(Close(list), STATUS_SUCCESS);
}

} // namespace
