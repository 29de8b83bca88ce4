/*
 * The library's operations without the driver: free space where an image is to go,
 * an image file's header (written here, copy by copy), and cloning a file, whose
 * failures must leave no half-made target behind.
 */
#include <vorellib.h>
#include <ntdef.h>

#include "test_host.h"
#include "win32_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

/* What one header copy says; the defaults make a copy the library accepts. */
struct Copy {
    bool magic = true;
    uint16_t version = 1;
    uint32_t headerBytes = 4096;
    uint64_t generation = 1;
    uint8_t slotShift = 21;
    uint8_t writer = 0;
    uint64_t highWater = 10;
    uint64_t size = 64ull << 20;
    uint32_t security = 1;
    uint32_t compression = 2;
    std::u16string label = u"Vorel";
    uint32_t metadataSlots = 1;
    bool checksum = true;      /* false: the copy's checksum does not match (a torn write) */
};

template <typename T>
void Put(std::vector<uint8_t> &bytes, size_t at, T value)
{
    std::memcpy(bytes.data() + at, &value, sizeof(value));
}

/* Header copy i of an image file, at the offsets of the format. */
void WriteCopy(std::vector<uint8_t> &bytes, int i, const Copy &c)
{
    size_t base = (size_t)i * 4096;
    if (bytes.size() < base + 4096)
        bytes.resize(base + 4096);
    if (c.magic)
        std::memcpy(bytes.data() + base, "VORELIMG", 8);
    Put<uint16_t>(bytes, base + 8, c.version);
    Put<uint16_t>(bytes, base + 10, 2);
    Put<uint32_t>(bytes, base + 12, c.headerBytes);
    Put<uint64_t>(bytes, base + 16, 0);
    Put<uint64_t>(bytes, base + 24, c.generation);
    bytes[base + 56] = c.slotShift;
    bytes[base + 57] = c.writer;
    Put<uint64_t>(bytes, base + 64, c.highWater);
    Put<uint64_t>(bytes, base + 72, c.size);
    Put<uint32_t>(bytes, base + 84, c.security);
    Put<uint32_t>(bytes, base + 88, c.compression);
    for (size_t u = 0; u < c.label.size() && u < 32; ++u)
        Put<uint16_t>(bytes, base + 112 + 2 * u, (uint16_t)c.label[u]);
    Put<uint32_t>(bytes, base + 192, c.metadataSlots);
    uint64_t sum = XXH3_64bits(bytes.data() + base, 4096);
    Put<uint64_t>(bytes, base + 16, c.checksum ? sum : sum ^ 1);
}

bool Exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

class LibraryFiles : public testhost::TestHost {
protected:
    void SetUp() override
    {
        TestHost::SetUp();
        directory_ = testhost::MakeTemporaryDirectory("vorel-libfiles");
        ASSERT_FALSE(directory_.empty());
    }
    void TearDown() override
    {
        EXPECT_EQ(0u, win32::OpenHandleCount());
        testhost::RemoveTree(directory_);
        TestHost::TearDown();
    }
    std::string Linux(const std::string &name) const { return directory_ + "/" + name; }
    /* The library's (Win32) name of a file in the directory: "C:\tmp\...\name". */
    std::string Name(const std::string &name) const
    {
        std::string path = "C:" + Linux(name);
        for (char &c : path)
            if (c == '/')
                c = '\\';
        return path;
    }
    void WriteFile(const std::string &name, const std::vector<uint8_t> &bytes) const
    {
        std::ofstream(Linux(name), std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    }
    /* Writes an image of the given copies (copy 1 optional) and queries it. */
    vorel_status Query(const std::vector<Copy> &copies, vorel_image_info *info, size_t truncate = 0)
    {
        std::vector<uint8_t> bytes(8192 + 4096, 0); /* a first slot's worth beyond the headers */
        for (size_t i = 0; i < copies.size(); ++i)
            WriteCopy(bytes, (int)i, copies[i]);
        if (truncate != 0)
            bytes.resize(truncate);
        WriteFile("image", bytes);
        return vorel_image_query(Name("image").c_str(), info);
    }

    std::string directory_;
};

TEST_F(LibraryFiles, TheLaterAcceptedHeaderCopyWinsAndCopyZeroOnATie)
{
    vorel_image_info info;
    Copy first, second;
    first.label = u"first";
    second.label = u"second";
    second.generation = 2;
    second.size = 1ull << 40;
    second.compression = 3;
    second.security = 0;
    ASSERT_EQ(VOREL_OK, Query({first, second}, &info));
    EXPECT_STREQ("second", info.label);
    EXPECT_EQ(1ull << 40, info.size);
    EXPECT_EQ(3u, info.compression);
    EXPECT_EQ(0u, info.security);

    second.generation = 1;
    ASSERT_EQ(VOREL_OK, Query({first, second}, &info));
    EXPECT_STREQ("first", info.label);
    first.generation = 7;
    ASSERT_EQ(VOREL_OK, Query({second, first}, &info)); /* copy 1 may hold the later save */
    EXPECT_STREQ("first", info.label);
    EXPECT_EQ(64ull << 20, info.size);
    EXPECT_EQ(2u, info.compression);
    EXPECT_EQ(1u, info.security);

    // A later copy the library does not accept does not count.
    second.generation = 9;
    second.slotShift = 20;
    ASSERT_EQ(VOREL_OK, Query({first, second}, &info));
    EXPECT_STREQ("first", info.label);
    // Copy 1 counts only when it was read whole.
    second.slotShift = 21;
    ASSERT_EQ(VOREL_OK, Query({first, second}, &info, 8191));
    EXPECT_STREQ("first", info.label);
    ASSERT_EQ(VOREL_OK, Query({first}, &info, 4096));
    EXPECT_STREQ("first", info.label);

    // The label in UTF-8: all 32 units when no NUL ends them.
    first.label = u"R\u00e9sum\u00e9 \u6587\u4ef6";
    ASSERT_EQ(VOREL_OK, Query({first}, &info));
    EXPECT_STREQ("R\xC3\xA9sum\xC3\xA9 \xE6\x96\x87\xE4\xBB\xB6", info.label);
    first.label = std::u16string(32, u'\u20AC');
    ASSERT_EQ(VOREL_OK, Query({first}, &info));
    EXPECT_EQ(96u, std::strlen(info.label));
}

/* Each field a copy is judged by, one bad value at a time, with the accepted limit beside it. */
TEST_F(LibraryFiles, EachCheckedFieldRefusesACopyOnItsOwn)
{
    struct Case {
        const char *field;
        void (*spoil)(Copy &);
        void (*limit)(Copy &);
    };
    const Case cases[] = {
        {"version", [](Copy &c) { c.version = 2; }, [](Copy &c) { c.version = 1; }},
        {"header size", [](Copy &c) { c.headerBytes = 4095; }, [](Copy &) {}},
        {"slot shift", [](Copy &c) { c.slotShift = 22; }, [](Copy &) {}},
        {"writer", [](Copy &c) { c.writer = 1; }, [](Copy &) {}},
        {"metadata slots", [](Copy &c) { c.metadataSlots = 976; }, [](Copy &c) { c.metadataSlots = 975; }},
        {"high-water mark", [](Copy &c) { c.highWater = 1ull << 31; },
         [](Copy &c) { c.highWater = (1ull << 31) - 1; }},
        {"checksum", [](Copy &c) { c.checksum = false; }, [](Copy &) {}},
    };
    for (const Case &c : cases) {
        vorel_image_info info;
        Copy bad;
        c.spoil(bad);
        std::memset(&info, 0x55, sizeof(info));
        // With the magic but nothing accepted: a format this library does not read.
        EXPECT_EQ(VOREL_ERR_NOT_SUPPORTED, Query({bad}, &info)) << c.field;
        EXPECT_EQ(0u, info.size) << c.field; /* zeroed, nothing filled */
        EXPECT_STREQ("", info.label) << c.field;
        Copy good;
        good.label = u"good";
        EXPECT_EQ(VOREL_OK, Query({bad, good}, &info)) << c.field;
        EXPECT_STREQ("good", info.label) << c.field;
        Copy limit;
        c.limit(limit);
        EXPECT_EQ(VOREL_OK, Query({limit}, &info)) << c.field;
    }
}

TEST_F(LibraryFiles, FilesThatAreNoImageAreInvalidArguments)
{
    vorel_image_info info;
    Copy wrongVersion;
    wrongVersion.version = 3;
    EXPECT_EQ(VOREL_ERR_NOT_SUPPORTED, Query({wrongVersion}, &info)); /* copy 1 empty */
    Copy noMagic;
    noMagic.magic = false;
    EXPECT_EQ(VOREL_ERR_INVALID, Query({noMagic, noMagic}, &info));
    Copy good;
    EXPECT_EQ(VOREL_ERR_INVALID, Query({good}, &info, 4095)); /* shorter than one copy */
    WriteFile("empty", {});
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_image_query(Name("empty").c_str(), &info));

    EXPECT_EQ(VOREL_ERR_NOT_FOUND, vorel_image_query(Name("missing").c_str(), &info));
    EXPECT_EQ(VOREL_ERR_NOT_FOUND, vorel_image_query(Name("missing\\deeper").c_str(), &info));
    EXPECT_EQ(VOREL_ERR_ACCESS_DENIED, vorel_image_query(Name("").c_str(), &info)); /* a folder */
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_image_query("", &info));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_image_query(nullptr, &info));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_image_query("C:\\x\xC3", &info)); /* not UTF-8 */
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_image_query(Name("image").c_str(), nullptr));
}

TEST_F(LibraryFiles, FreeSpaceIsAskedOfTheNearestFolderThatExists)
{
    struct statvfs vfs;
    ASSERT_EQ(0, statvfs(directory_.c_str(), &vfs));
    uint64_t expected = (uint64_t)vfs.f_bavail * vfs.f_frsize;
    unsigned long long free = 0;
    for (std::string path : {Name(""), Name("image.img"), Name("new\\deeper\\image.img")}) {
        ASSERT_EQ(VOREL_OK, vorel_free_space_query(path.c_str(), &free)) << path;
        // Other programs write meanwhile: the same file system, within a margin.
        EXPECT_NEAR((double)expected, (double)free, 64.0 * 1024 * 1024) << path;
    }
    ASSERT_EQ(VOREL_OK, vorel_free_space_query("C:\\no-such-folder-here", &free)); /* retried as C:\ */
    EXPECT_GT(free, 0u);

    // The machine's volumes: the full-size class's caller figure.
    testhost::MakeDriveLink('T');
    ASSERT_EQ(VOREL_OK, vorel_free_space_query("T:\\folder\\image.img", &free));
    EXPECT_EQ(300u * 4096, free);

    free = 77;
    EXPECT_EQ(VOREL_ERR_NOT_FOUND, vorel_free_space_query("Q:\\images\\r.img", &free)); /* no such drive */
    EXPECT_EQ(0u, free);
    EXPECT_EQ(VOREL_ERR_NOT_FOUND, vorel_free_space_query("relative.img", &free));
    EXPECT_EQ(VOREL_ERR_NOT_FOUND, vorel_free_space_query("\\rooted.img", &free));
    free = 77;
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_free_space_query("", &free));
    EXPECT_EQ(0u, free);
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_free_space_query(nullptr, &free));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_free_space_query(Name("").c_str(), nullptr));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_free_space_query(("C:\\" + std::string(600, 'a')).c_str(), &free));
}

TEST_F(LibraryFiles, AFailedCloneRemovesTheTargetItMade)
{
    // The machine's files (the test driver's device refuses the clone control): the
    // target is sized, the clone asked for with the source's handle, then deleted.
    testhost::MakeDriveLink('T');
    testhost::SetFileData(std::vector<uint8_t>(5000, 7));
    EXPECT_EQ(VOREL_ERR_NOT_SUPPORTED, vorel_file_clone("T:\\source", "T:\\target"));
    auto requests = testhost::FileRequests();
    ASSERT_GE(requests.size(), 3u);
    const testhost::FileRequest &end = requests[requests.size() - 3], &clone = requests[requests.size() - 2],
                                 &remove = requests.back();
    EXPECT_EQ(20u, end.informationClass); /* end of file */
    ASSERT_EQ(8u, end.input.size());
    EXPECT_EQ(5000u, *reinterpret_cast<const uint64_t *>(end.input.data()));
    EXPECT_EQ(0x00098344u, clone.code);
    ASSERT_EQ(32u, clone.input.size());
    EXPECT_EQ(5000u, *reinterpret_cast<const uint64_t *>(clone.input.data() + 24)); /* the byte count */
    EXPECT_EQ(0u, *reinterpret_cast<const uint64_t *>(clone.input.data() + 8));     /* both offsets 0 */
    EXPECT_EQ(0u, *reinterpret_cast<const uint64_t *>(clone.input.data() + 16));
    EXPECT_EQ(13u, remove.informationClass); /* disposition: delete */
    EXPECT_EQ(std::vector<uint8_t>({1}), remove.input);

    // Host files cannot be cloned: the target made for it is gone again, also one
    // that existed before (it was replaced first).
    std::ofstream(Linux("source")) << "content";
    EXPECT_EQ(VOREL_ERR_NOT_SUPPORTED, vorel_file_clone(Name("source").c_str(), Name("target").c_str()));
    EXPECT_FALSE(Exists(Linux("target")));
    std::ofstream(Linux("old")) << "old";
    EXPECT_EQ(VOREL_ERR_NOT_SUPPORTED, vorel_file_clone(Name("source").c_str(), Name("old").c_str()));
    EXPECT_FALSE(Exists(Linux("old")));
    // Cloning a file onto itself never gets as far as replacing it.
    EXPECT_EQ(VOREL_ERR_BUSY, vorel_file_clone(Name("source").c_str(), Name("source").c_str()));
    EXPECT_TRUE(Exists(Linux("source")));
    // An empty file needs no clone control.
    std::ofstream(Linux("empty")).flush();
    EXPECT_EQ(VOREL_OK, vorel_file_clone(Name("empty").c_str(), Name("copy").c_str()));
    EXPECT_TRUE(Exists(Linux("copy")));
}

TEST_F(LibraryFiles, CloneArgumentsAreCheckedBeforeAnythingIsOpened)
{
    std::ofstream(Linux("source")) << "content";
    std::string source = Name("source"), target = Name("target");
    EXPECT_EQ(VOREL_ERR_NOT_FOUND, vorel_file_clone(Name("missing").c_str(), target.c_str()));
    EXPECT_EQ(VOREL_ERR_NOT_FOUND, vorel_file_clone(source.c_str(), Name("no\\folder").c_str()));
    EXPECT_EQ(VOREL_ERR_ACCESS_DENIED, vorel_file_clone(Name("").c_str(), target.c_str())); /* a folder */
    std::string tooLong = "C:\\" + std::string(520, 'x');
    const char *refused[][2] = {{nullptr, target.c_str()},      {source.c_str(), nullptr},
                                {"", target.c_str()},           {source.c_str(), ""},
                                {"C:\\\xFF", target.c_str()}, {source.c_str(), tooLong.c_str()}};
    for (const auto &pair : refused)
        EXPECT_EQ(VOREL_ERR_INVALID, vorel_file_clone(pair[0], pair[1]));
    EXPECT_FALSE(Exists(Linux("target")));
}

} // namespace
