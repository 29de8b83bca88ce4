/*
 * Directory listings through NtQueryDirectoryFile as a program sends them:
 * patterns with the DOS wildcards, restart and single-entry listings, listings
 * through buffers of every small size, and a randomised run that adds and
 * deletes entries between calls and holds the result to a model of the
 * directory.
 */
#include "fileops_test.h"
#include "system_threads.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

/* prefix, number, then pad copies of fill (snprintf: GCC 12 misjudges string concatenation at -O2). */
std::string NumberedName(char prefix, unsigned number, size_t pad, char fill)
{
    char text[96];
    int length = std::snprintf(text, sizeof(text), "%c%u", prefix, number);
    for (size_t i = 0; i < pad && (size_t)length + 1 < sizeof(text); ++i)
        text[length++] = fill;
    text[length] = 0;
    return text;
}

constexpr size_t kScratchBytes = 64 * 1024;

struct Entry {
    std::string name;
    std::vector<UCHAR> bytes; /* the whole record, padding included */
};

struct Listing {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
    std::vector<Entry> entries;
};

/* Each record format and where its name begins. */
struct Format {
    FILE_INFORMATION_CLASS c;
    ULONG fixed;
};

const Format kFormats[] = {
    {FileDirectoryInformation, 64},       {FileFullDirectoryInformation, 68},
    {FileBothDirectoryInformation, 94},   {FileNamesInformation, 12},
    {FileIdBothDirectoryInformation, 104}, {FileIdFullDirectoryInformation, 80},
    {FileIdExtdDirectoryInformation, 88}, {FileIdExtdBothDirectoryInformation, 114},
};

ULONG FixedOf(FILE_INFORMATION_CLASS c)
{
    for (const Format &f : kFormats)
        if (f.c == c)
            return f.fixed;
    return 0;
}

class EnumerationTest : public DataFileOpsTest {
protected:
    void SetUp() override
    {
        FileOpsTest::SetUp();
        ASSERT_EQ(MakeVolume(0, ""), STATUS_SUCCESS);
        AllocateScratch(kScratchBytes);
        pattern = process->New<UNICODE_STRING>();
        patternText = static_cast<PWCH>(process->Alloc(1024 * sizeof(WCHAR)));
    }

    /* Makes the directory path holding the named empty files, in that order. */
    void MakeDirectory(const std::string &path, const std::vector<std::string> &files)
    {
        ASSERT_EQ(Make(path, FILE_DIRECTORY_FILE), STATUS_SUCCESS) << path;
        for (const std::string &n : files)
            ASSERT_EQ(Make(path + "\\" + n), STATUS_SUCCESS) << n;
    }
    HANDLE OpenDirectory(const std::string &path)
    {
        OpenRequest rq;
        rq.access = FILE_LIST_DIRECTORY;
        rq.options = FILE_DIRECTORY_FILE;
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, &handle, rq), STATUS_SUCCESS) << path;
        return handle;
    }

    /* One NtQueryDirectoryFile as the program, with its records split apart. */
    Listing Query(HANDLE handle, FILE_INFORMATION_CLASS c, ULONG length, bool single = false, bool restart = false,
                  const std::string *filter = nullptr)
    {
        Listing out;
        memset(scratch, 0xCC, length + 64);
        PUNICODE_STRING name = nullptr;
        if (filter != nullptr) {
            for (size_t i = 0; i < filter->size(); ++i)
                patternText[i] = (WCHAR)(unsigned char)(*filter)[i];
            pattern->Buffer = patternText;
            pattern->Length = pattern->MaximumLength = (USHORT)(filter->size() * sizeof(WCHAR));
            name = pattern;
        }
        out.status = support::AsUser(*process, [&] {
            return NtQueryDirectoryFile(handle, nullptr, nullptr, nullptr, iosb, scratch, length, c, single, name,
                                        restart);
        });
        out.information = iosb->Information;
        if (out.status != STATUS_SUCCESS)
            return out;
        ULONG fixed = FixedOf(c);
        ULONG at = 0;
        for (;;) {
            ULONG next;
            ULONG nameLength;
            memcpy(&next, scratch + at, 4);
            memcpy(&nameLength, scratch + at + (c == FileNamesInformation ? 8 : 60), 4);
            Entry entry;
            for (ULONG i = 0; i < nameLength / 2; ++i) {
                WCHAR ch;
                memcpy(&ch, scratch + at + fixed + i * 2, 2);
                entry.name.push_back((char)ch);
            }
            ULONG size = (fixed + nameLength + 7) & ~7u;
            entry.bytes.assign(scratch + at, scratch + at + size);
            EXPECT_TRUE(next == 0 || next == size) << entry.name;
            EXPECT_EQ(at % 8, 0u);
            out.entries.push_back(entry);
            if (next == 0) {
                EXPECT_EQ(out.information, at + size) << "Information counts the last record's padding";
                break;
            }
            at += next;
            if (at >= length) {
                ADD_FAILURE() << "records run past the buffer";
                break;
            }
        }
        return out;
    }
    static std::vector<std::string> Names(const Listing &l)
    {
        std::vector<std::string> names;
        for (const Entry &e : l.entries)
            names.push_back(e.name);
        return names;
    }
    /* Every name a handle lists from a fresh start with a pattern, through a large buffer. */
    std::vector<std::string> ListAll(HANDLE handle, const std::string *filter = nullptr)
    {
        std::vector<std::string> names;
        Listing l = Query(handle, FileNamesInformation, kScratchBytes, false, true, filter);
        while (l.status == STATUS_SUCCESS) {
            for (const Entry &e : l.entries)
                names.push_back(e.name);
            l = Query(handle, FileNamesInformation, kScratchBytes);
        }
        EXPECT_TRUE(l.status == STATUS_NO_MORE_FILES || (names.empty() && l.status == STATUS_NO_SUCH_FILE))
            << std::hex << l.status;
        return names;
    }
    PUNICODE_STRING pattern = nullptr;
    PWCH patternText = nullptr;
};

/*
 * Patterns: ordinary and DOS wildcards, case-insensitively; a literal name is
 * found in any case and then the listing is over; a missing literal or a
 * pattern nothing matches is "no such file"; a pattern too long to keep lists
 * everything.
 */
TEST_F(EnumerationTest, PatternsSelectEntries)
{
    MakeDirectory("\\p", {"a.txt", "B.TXT", "abc.doc", "readme", "x.tar.gz"});
    HANDLE p = OpenDirectory("\\p");
    const std::map<std::string, std::vector<std::string>> cases = {
        {"*", {".", "..", "a.txt", "B.TXT", "abc.doc", "readme", "x.tar.gz"}},
        {"*.TXT", {"a.txt", "B.TXT"}},
        {"?.txt", {"a.txt", "B.TXT"}},
        {"A*", {"a.txt", "abc.doc"}},
        {"*e*", {"readme"}},
        {"<.txt", {"a.txt", "B.TXT"}},
        {"<.gz", {"x.tar.gz"}},
        {"a>>>>.doc", {"abc.doc"}},
        {"a>.txt", {"a.txt"}},
        {"readme\"*", {"readme"}},
        {"..", {".."}},
        {".", {"."}},
        {"*.none", {}},
    };
    for (const auto &[filter, expected] : cases)
        EXPECT_EQ(ListAll(p, &filter), expected) << filter;

    std::string literal = "ABC.DOC";
    Listing l = Query(p, FileDirectoryInformation, 4096, false, true, &literal);
    ASSERT_EQ(l.status, STATUS_SUCCESS);
    EXPECT_EQ(Names(l), (std::vector<std::string>{"abc.doc"}));
    EXPECT_EQ(Query(p, FileDirectoryInformation, 4096).status, STATUS_NO_MORE_FILES);
    std::string missing = "nothing.here";
    EXPECT_EQ(Query(p, FileDirectoryInformation, 4096, false, true, &missing).status, STATUS_NO_SUCH_FILE);
    EXPECT_EQ(Query(p, FileDirectoryInformation, 8, false, true, &literal).status, STATUS_BUFFER_OVERFLOW);

    std::string huge(300, 'q');
    EXPECT_EQ(ListAll(p, &huge).size(), 7u) << "a pattern too long to keep lists everything";
    EXPECT_EQ(Close(p), STATUS_SUCCESS);
}

/*
 * The root lists no dot entries. Single-entry listings return the entries
 * one by one, then "no more files" for good; a new pattern takes effect only
 * with a restart (a restart after the end is the pattern test's, which lists
 * one handle again and again).
 */
TEST_F(EnumerationTest, SingleEntryAndRestart)
{
    MakeDirectory("\\s", {"one", "two", "three"});
    HANDLE root = OpenDirectory("\\");
    EXPECT_EQ(ListAll(root), (std::vector<std::string>{"s"}));
    EXPECT_EQ(Close(root), STATUS_SUCCESS);
    HANDLE s = OpenDirectory("\\s");
    std::vector<std::string> seen;
    Listing l = Query(s, FileBothDirectoryInformation, 4096, true, true);
    while (l.status == STATUS_SUCCESS) {
        EXPECT_EQ(l.entries.size(), 1u);
        seen.push_back(l.entries[0].name);
        l = Query(s, FileBothDirectoryInformation, 4096, true);
    }
    EXPECT_EQ(l.status, STATUS_NO_MORE_FILES);
    EXPECT_EQ(Query(s, FileBothDirectoryInformation, 4096, true).status, STATUS_NO_MORE_FILES);
    EXPECT_EQ(seen, (std::vector<std::string>{".", "..", "one", "two", "three"}));
    std::string t = "t*";
    l = Query(s, FileNamesInformation, 4096, false, false, &t);
    EXPECT_EQ(l.status, STATUS_NO_MORE_FILES) << "a pattern without restart is ignored";
    l = Query(s, FileNamesInformation, 4096, false, true, &t);
    EXPECT_EQ(Names(l), (std::vector<std::string>{"two", "three"}));

    /* Refusals change nothing: an unsupported class, a file handle. */
    EXPECT_EQ(Query(s, FileObjectIdInformation, 4096, false, true).status, STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(Close(s), STATUS_SUCCESS);
    HANDLE file = OpenFile("\\s\\one", FILE_READ_DATA | FILE_LIST_DIRECTORY);
    EXPECT_EQ(Query(file, FileNamesInformation, 4096, false, true).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Close(file), STATUS_SUCCESS);
}

/*
 * Buffers of every size from too small for any record up: the listing comes
 * out whole and in order however the calls cut it. A first call whose buffer
 * holds no record gets STATUS_BUFFER_OVERFLOW, and the next starts from the
 * beginning.
 */
TEST_F(EnumerationTest, EveryBufferSizeListsEverythingOnce)
{
    ASSERT_EQ(Make("\\b", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    std::vector<std::string> expected = {".", ".."};
    for (int i = 0; i < 60; ++i) {
        std::string n = NumberedName('n', (unsigned)i, (size_t)(i * 7) % 40, 'x');
        ASSERT_EQ(Make("\\b\\" + n), STATUS_SUCCESS);
        expected.push_back(n);
    }
    HANDLE b = OpenDirectory("\\b");
    for (const Format &f : kFormats) {
        for (ULONG length = 0; length <= 480; length += (length < f.fixed + 24 ? 1 : 23)) {
            /* Later calls keep a length that holds the longest record (200 bytes). */
            ULONG follow = length >= 208 ? length : 208 + length % 64;
            std::vector<std::string> seen;
            Listing l = Query(b, f.c, length, false, true);
            if (l.status == STATUS_BUFFER_OVERFLOW) {
                EXPECT_EQ(l.information, 0u);
                l = Query(b, f.c, follow);
            }
            int calls = 0;
            while (l.status == STATUS_SUCCESS && calls++ < 200) {
                for (const Entry &e : l.entries)
                    seen.push_back(e.name);
                l = Query(b, f.c, follow);
            }
            EXPECT_EQ(l.status, STATUS_NO_MORE_FILES) << length;
            ASSERT_EQ(seen, expected) << "class " << f.c << " length " << length;
        }
    }
    EXPECT_EQ(Close(b), STATUS_SUCCESS);
}

/*
 * Deleting the entry a listing returned last does not repeat or skip what
 * follows; neither does deleting the one it stopped before.
 */
TEST_F(EnumerationTest, DeletingAroundTheResumePoint)
{
    MakeDirectory("\\r", {"a", "b", "c", "d", "e"});
    HANDLE r = OpenDirectory("\\r");
    Listing l = Query(r, FileNamesInformation, 4096, true, true);
    ASSERT_EQ(Names(l), (std::vector<std::string>{"."}));
    l = Query(r, FileNamesInformation, 4096, true);
    ASSERT_EQ(Names(l), (std::vector<std::string>{".."}));
    l = Query(r, FileNamesInformation, 4096, true);
    ASSERT_EQ(Names(l), (std::vector<std::string>{"a"}));
    Delete("\\r\\a");
    l = Query(r, FileNamesInformation, 4096, true);
    ASSERT_EQ(Names(l), (std::vector<std::string>{"b"}));
    Delete("\\r\\c");
    l = Query(r, FileNamesInformation, 4096, true);
    ASSERT_EQ(Names(l), (std::vector<std::string>{"d"}));
    Delete("\\r\\d");
    ASSERT_EQ(Make("\\r\\d"), STATUS_SUCCESS); /* the same name, another node, at the end */
    l = Query(r, FileNamesInformation, 4096);
    EXPECT_EQ(Names(l), (std::vector<std::string>{"e", "d"}));

    /* The last one returned and the next both go; then the last one comes back under its name. */
    for (const char *n : {"f", "g", "h"})
        ASSERT_EQ(Make(std::string("\\r\\") + n), STATUS_SUCCESS);
    l = Query(r, FileNamesInformation, 4096, true, true);
    for (int i = 0; i < 3; ++i) /* "..", "b", "e" */
        l = Query(r, FileNamesInformation, 4096, true);
    ASSERT_EQ(Names(l), (std::vector<std::string>{"e"}));
    Delete("\\r\\e");
    Delete("\\r\\d");
    ASSERT_EQ(Make("\\r\\e"), STATUS_SUCCESS);
    l = Query(r, FileNamesInformation, 4096);
    EXPECT_EQ(Names(l), (std::vector<std::string>{"f", "g", "h", "e"}));
    EXPECT_EQ(Close(r), STATUS_SUCCESS);
}

/*
 * A model of one directory under random change: between the calls of a
 * listing through random small buffers, new entries arrive and random ones go
 * (the last one returned and the next among them). An entry present from the first call to the
 * last is returned exactly once; no entry is returned twice; everything
 * returned existed; the order is the order of arrival.
 */
TEST_F(EnumerationTest, ChangesBetweenCallsAgainstAModel)
{
    ASSERT_EQ(Make("\\m", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    std::mt19937 random(20261207);
    std::vector<std::string> present; /* in arrival order */
    std::map<std::string, int> arrival;
    int made = 0;
    auto add = [&] {
        std::string n = NumberedName('e', (unsigned)made, random() % 30, 'z');
        ASSERT_EQ(Make("\\m\\" + n), STATUS_SUCCESS);
        arrival[n] = made++;
        present.push_back(n);
    };
    for (int i = 0; i < 80; ++i)
        add();
    HANDLE m = OpenDirectory("\\m");
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        std::set<std::string> throughout(present.begin(), present.end());
        std::set<std::string> ever(present.begin(), present.end());
        std::vector<std::string> seen;
        Listing l = Query(m, FileIdBothDirectoryInformation, 200 + random() % 600, false, true);
        for (int calls = 0; l.status == STATUS_SUCCESS && calls < 1000; ++calls) {
            for (const Entry &e : l.entries)
                if (e.name != "." && e.name != "..")
                    seen.push_back(e.name);
            /* Half the time the last one returned and the next both go: the listing still goes on. */
            std::string last = seen.empty() ? "" : seen.back();
            auto lastAt = std::find(present.begin(), present.end(), last);
            if (lastAt != present.end() && lastAt + 1 != present.end() && random() % 2 == 0) {
                for (int both = 0; both < 2; ++both) {
                    throughout.erase(*lastAt);
                    Delete("\\m\\" + *lastAt);
                    lastAt = present.erase(lastAt);
                }
            }
            for (int change = random() % 4; change > 0; --change) {
                if (random() % 2 == 0 || present.size() < 10) {
                    add();
                    ever.insert(present.back());
                    continue;
                }
                size_t victim = random() % present.size();
                std::string n = present[victim];
                Delete("\\m\\" + n);
                present.erase(present.begin() + (long)victim);
                throughout.erase(n);
            }
            l = Query(m, FileIdBothDirectoryInformation, 200 + random() % 600);
        }
        ASSERT_EQ(l.status, STATUS_NO_MORE_FILES);
        std::set<std::string> unique(seen.begin(), seen.end());
        EXPECT_EQ(unique.size(), seen.size()) << "an entry came twice";
        for (const std::string &n : throughout)
            EXPECT_EQ(unique.count(n), 1u) << n << " was there throughout and was not listed";
        for (const std::string &n : seen)
            EXPECT_EQ(ever.count(n), 1u) << n << " never existed";
        for (size_t i = 1; i < seen.size(); ++i)
            EXPECT_LT(arrival[seen[i - 1]], arrival[seen[i]]) << "out of order at " << seen[i];
    }
    EXPECT_EQ(Close(m), STATUS_SUCCESS);
}

/*
 * Two threads list through one asynchronous handle at once, restarting now and
 * then: every call gets whole, well-formed records of entries that exist (the
 * listing state of a handle is never torn between two queries).
 */
TEST_F(EnumerationTest, ConcurrentQueriesOnOneAsynchronousHandle)
{
    std::vector<std::string> files;
    for (int i = 0; i < 40; ++i)
        files.push_back(NumberedName('c', (unsigned)i, 0, 'c'));
    MakeDirectory("\\c", files);
    std::set<std::string> known(files.begin(), files.end());
    known.insert(".");
    known.insert("..");
    HANDLE c = nullptr;
    ASSERT_EQ(KernelOpen("\\c", &c, FILE_DIRECTORY_FILE, FILE_LIST_DIRECTORY), STATUS_SUCCESS);
    std::atomic<int> bad{0};
    auto lister = [&](int seed) {
        alignas(8) UCHAR buffer[512];
        IO_STATUS_BLOCK status{};
        for (int i = 0; i < 300; ++i) {
            NTSTATUS s = ZwQueryDirectoryFile(c, nullptr, nullptr, nullptr, &status, buffer, sizeof(buffer),
                                              FileNamesInformation, FALSE, nullptr, (i + seed) % 7 == 0);
            if (s == STATUS_NO_MORE_FILES)
                continue;
            if (s != STATUS_SUCCESS) {
                bad++;
                continue;
            }
            for (ULONG at = 0;;) {
                auto *record = reinterpret_cast<PFILE_NAMES_INFORMATION>(buffer + at);
                std::string name;
                for (ULONG k = 0; k < record->FileNameLength / 2; ++k)
                    name.push_back((char)record->FileName[k]);
                if (known.count(name) == 0)
                    bad++;
                if (record->NextEntryOffset == 0)
                    break;
                at += record->NextEntryOffset;
            }
        }
    };
    PKTHREAD one = StartThread([&] { lister(0); });
    PKTHREAD two = StartThread([&] { lister(3); });
    JoinThread(one);
    JoinThread(two);
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(ZwClose(c), STATUS_SUCCESS);
}

} // namespace
