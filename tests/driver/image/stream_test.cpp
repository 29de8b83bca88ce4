/*
 * The metadata stream: random streams written from a model read back to the
 * same model; every prefix of a stream, every flipped byte and every short
 * buffer refused or harmless, never read past; and each record and entry rule
 * broken on its own.
 */
#include "image_test.h"

namespace {

constexpr ULONGLONG kHighWater = 4000;

using ImageStreamTest = ImageTest;

void ExpectSameModel(const StreamModel &a, const StreamModel &b)
{
    EXPECT_EQ(a.HasSecurityTable, b.HasSecurityTable);
    EXPECT_TRUE(a.Descriptors == b.Descriptors);
    EXPECT_EQ(a.SkippedRecords, b.SkippedRecords);
    ASSERT_EQ(a.Nodes.size(), b.Nodes.size());
    for (size_t i = 0; i < a.Nodes.size(); ++i)
        EXPECT_TRUE(a.Nodes[i] == b.Nodes[i]) << "node " << i;
    EXPECT_TRUE(a.Directories == b.Directories);
}

TEST_F(ImageStreamTest, RandomStreamsReadBackToTheirModel)
{
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        StreamModel model = RandomModel(seed, kHighWater), back;
        Bytes stream;
        ASSERT_EQ(Write(model, stream), STATUS_SUCCESS);
        ASSERT_EQ(stream.size() % 8, 0u);
        Bytes exact(stream); /* a buffer of exactly the stream's length */
        ASSERT_EQ(Read(exact, kHighWater, back), STATUS_SUCCESS);
        ExpectSameModel(back, model);
    }
}

TEST_F(ImageStreamTest, TheWriterRefusesToOverrunAndWritesNothingPastItsBuffer)
{
    StreamModel model = RandomModel(5, kHighWater);
    Bytes whole;
    ASSERT_EQ(Write(model, whole), STATUS_SUCCESS);
    for (size_t capacity = 0; capacity < whole.size(); capacity += capacity < 300 ? 1 : 61) {
        Bytes stream;
        ASSERT_EQ(Write(model, stream, capacity), STATUS_BUFFER_TOO_SMALL) << capacity;
    }
    Bytes stream;
    ASSERT_EQ(Write(model, stream, whole.size()), STATUS_SUCCESS);
    EXPECT_TRUE(stream == whole);
}

TEST_F(ImageStreamTest, AFailedAppendLeavesTheWriterAsItWas)
{
    Bytes buffer(48, 0xEE);
    IMAGE_STREAM_WRITER writer;
    m->InitializeImageStreamWriter(&writer, buffer.data(), buffer.size());
    ASSERT_EQ(m->OpenImageRecord(&writer, IMAGE_RECORD_DIRECTORY), STATUS_SUCCESS);
    ASSERT_EQ(m->AppendImageDirectoryHead(&writer, 1, 1), STATUS_SUCCESS);
    const WCHAR name[] = L"abcdefgh";
    EXPECT_EQ(m->AppendImageDirectoryEntry(&writer, 2, name, 16), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(writer.Length, 24u);
    EXPECT_EQ(m->AppendImageDirectoryEntry(&writer, 2, name, 2), STATUS_SUCCESS);
    EXPECT_EQ(m->CloseImageRecord(&writer), STATUS_SUCCESS);
    EXPECT_EQ(writer.Length, 48u);
    EXPECT_EQ(m->CloseImageRecord(&writer), STATUS_INVALID_PARAMETER) << "nothing is open";
    EXPECT_EQ(m->AppendImageBytes(&writer, name, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m->AppendImageSecurityEntry(&writer, name, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(ImageStreamTest, EveryProperPrefixOfAStreamIsRefused)
{
    StreamModel model = RandomModel(9, kHighWater), back;
    Bytes stream;
    ASSERT_EQ(Write(model, stream), STATUS_SUCCESS);
    for (size_t length = 0; length < stream.size(); ++length) {
        Bytes prefix(stream.begin(), stream.begin() + length);
        NTSTATUS status = Read(prefix, kHighWater, back);
        ASSERT_EQ(status, STATUS_FILE_CORRUPT_ERROR) << "prefix of " << length << " bytes";
    }
}

TEST_F(ImageStreamTest, FlippedBytesAreRefusedOrReadAsSomethingConsistent)
{
    for (unsigned seed : {2u, 3u}) {
        StreamModel model = RandomModel(seed, kHighWater), back;
        Bytes stream;
        ASSERT_EQ(Write(model, stream), STATUS_SUCCESS);
        size_t refused = 0;
        for (size_t at = 0; at < stream.size(); ++at) {
            for (UCHAR flip : {UCHAR(at % 2 ? 0x80 : 0x01)}) {
                Bytes bad = stream;
                bad[at] ^= flip;
                NTSTATUS status = Read(bad, kHighWater, back);
                ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_FILE_CORRUPT_ERROR ||
                            status == STATUS_INVALID_DEVICE_REQUEST || status == STATUS_OBJECT_PATH_NOT_FOUND)
                    << "byte " << at << ": " << std::hex << status;
                refused += !NT_SUCCESS(status);
                if (NT_SUCCESS(status)) {
                    /* What was accepted reads back the same way after a rewrite. */
                    Bytes again;
                    StreamModel twice;
                    ASSERT_EQ(Write(back, again, 2 * stream.size()), STATUS_SUCCESS);
                    ASSERT_EQ(Read(again, kHighWater, twice), STATUS_SUCCESS);
                    ExpectSameModel(twice, back);
                }
            }
        }
        EXPECT_GT(refused, stream.size() / 16);
    }
}

/* A stream with one node and a map of the given entry, for the entry rules. */
Bytes OneFileStream(ImageTest &t, ULONGLONG fileSize, std::vector<IMAGE_DATA_MAP_ENTRY> map)
{
    StreamModel model;
    ModelNode root, file;
    root.Fixed.NodeId = 1;
    root.Fixed.Flags = IMAGE_NODE_DIRECTORY;
    root.Fixed.LinkCount = 1;
    root.Fixed.SecurityIndex = IMAGE_NODE_NO_SECURITY;
    file.Fixed.NodeId = 2;
    file.Fixed.FileSize = fileSize;
    file.Fixed.LinkCount = 1;
    file.Fixed.SecurityIndex = IMAGE_NODE_NO_SECURITY;
    file.HasMap = true;
    file.Map = map;
    model.Nodes = {root, file};
    model.Directories = {{1, {{2, u"f"}}}};
    Bytes stream;
    EXPECT_EQ(t.Write(model, stream), STATUS_SUCCESS);
    return stream;
}

ULONG Stored(ULONG length, ULONG codec, bool cold = false)
{
    return length | (codec << IMAGE_STORED_CODEC_SHIFT) | (cold ? IMAGE_STORED_COLD : 0);
}

TEST_F(ImageStreamTest, DataMapEntriesOutOfRangeAreCorrupt)
{
    const ULONGLONG mib2 = IMAGE_SLOT_SIZE;
    struct Case {
        const char *what;
        ULONGLONG size;
        std::vector<IMAGE_DATA_MAP_ENTRY> map;
        NTSTATUS status;
    } cases[] = {
        {"a raw 1-byte file", 1, {{0, 0, 1, 0, 0}}, STATUS_SUCCESS},
        {"a cold raw extent", mib2, {{0, 3, (ULONG)mib2, IMAGE_STORED_COLD, 9}}, STATUS_SUCCESS},
        {"a compressed tail", mib2 + 5, {{1, 3, 4096, Stored(100, CODEC_ZSTD), 0}}, STATUS_SUCCESS},
        {"every codec", 3 * mib2, {{0, 1, (ULONG)mib2, Stored(1, 2), 0}, {1, 2, (ULONG)mib2, Stored(1, 3), 0},
                                  {2, 3, (ULONG)mib2, Stored((ULONG)mib2 - 1, 4), 0}}, STATUS_SUCCESS},
        {"extent length 0", 10, {{0, 0, 0, 0, 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"extent length above 2 MiB", 3 * mib2, {{0, 0, (ULONG)mib2 + 1, 0, 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"extent past the end of file", mib2, {{1, 0, 1, 0, 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"raw bytes past the end of file", 10, {{0, 0, 11, 0, 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"slot at the high-water mark", 10, {{0, (ULONG)kHighWater, 10, 0, 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"slot at the slot limit", 10, {{0, IMAGE_SLOT_LIMIT, 10, 0, 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"one slot for two extents", 2 * mib2, {{0, 5, (ULONG)mib2, 0, 0}, {1, 5, (ULONG)mib2, 0, 0}},
         STATUS_FILE_CORRUPT_ERROR},
        {"one extent twice", 2 * mib2, {{0, 5, (ULONG)mib2, 0, 0}, {0, 6, (ULONG)mib2, 0, 0}},
         STATUS_FILE_CORRUPT_ERROR},
        {"extents out of order", 2 * mib2, {{1, 5, (ULONG)mib2, 0, 0}, {0, 6, (ULONG)mib2, 0, 0}},
         STATUS_FILE_CORRUPT_ERROR},
        {"reserved storage bits", 10, {{0, 0, 10, 0x10000000, 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"raw with a stored length", 10, {{0, 0, 10, 5, 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"codec 1", mib2, {{0, 0, (ULONG)mib2, Stored(10, 1), 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"codec 5", mib2, {{0, 0, (ULONG)mib2, Stored(10, 5), 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"stored length equal to the extent", mib2, {{0, 0, (ULONG)mib2, Stored((ULONG)mib2 & 0xFFFFFF, 2), 0}},
         STATUS_FILE_CORRUPT_ERROR},
        {"stored length above the extent", 8192, {{0, 0, 8192, Stored(8193, 2), 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"an empty compressed form", 8192, {{0, 0, 8192, Stored(0, 2), 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"a cold compressed extent", 8192, {{0, 0, 8192, Stored(10, 2, true), 0}}, STATUS_FILE_CORRUPT_ERROR},
        {"a compressed length not a multiple of 4096", 8000, {{0, 0, 8000, Stored(10, 2), 0}},
         STATUS_FILE_CORRUPT_ERROR},
        {"a compressed extent short of the end of file", 3 * 4096, {{0, 0, 8192, Stored(10, 2), 0}},
         STATUS_FILE_CORRUPT_ERROR},
    };
    for (auto &c : cases) {
        StreamModel back;
        EXPECT_EQ(Read(OneFileStream(*this, c.size, c.map), kHighWater, back), c.status) << c.what;
    }
}

TEST_F(ImageStreamTest, NamesBreakingTheRulesAreCorrupt)
{
    auto units = [](const char16_t *text) { return Bytes((const UCHAR *)text, (const UCHAR *)text + 2 * std::char_traits<char16_t>::length(text)); };
    std::vector<std::pair<Bytes, NTSTATUS>> cases = {
        {units(u"a"), STATUS_SUCCESS},
        {units(u"..."), STATUS_SUCCESS},
        {units(u".a"), STATUS_SUCCESS},
        {Bytes(510, 'x'), STATUS_SUCCESS},
        {Bytes(512, 'x'), STATUS_FILE_CORRUPT_ERROR},
        {Bytes(), STATUS_FILE_CORRUPT_ERROR},
        {Bytes(3, 'x'), STATUS_FILE_CORRUPT_ERROR},
        {units(u"a/b"), STATUS_FILE_CORRUPT_ERROR},
        {units(u"a\\b"), STATUS_FILE_CORRUPT_ERROR},
        {Bytes{'a', 0, 0, 0}, STATUS_FILE_CORRUPT_ERROR},
        {units(u"."), STATUS_FILE_CORRUPT_ERROR},
        {units(u".."), STATUS_FILE_CORRUPT_ERROR},
    };
    for (auto &[name, status] : cases) {
        EXPECT_EQ(m->CheckImageName(name.data(), (ULONG)name.size()), status) << name.size() << " bytes";
        /* The same name inside a directory record, in a buffer of exactly its length. */
        Bytes record(IMAGE_DIRECTORY_HEAD_SIZE + IMAGE_DIRECTORY_ENTRY_HEAD + name.size(), 0);
        record[0] = 1;
        record[8] = 1;
        record[16] = 2;
        record[24] = (UCHAR)name.size();
        record[25] = (UCHAR)(name.size() >> 8);
        std::copy(name.begin(), name.end(), record.begin() + 32);
        IMAGE_RECORD r = {IMAGE_RECORD_DIRECTORY, (ULONG)record.size(), record.data()};
        IMAGE_DIRECTORY directory;
        IMAGE_DIRECTORY_ENTRY entry;
        ASSERT_EQ(m->ParseImageDirectory(&r, &directory), STATUS_SUCCESS);
        EXPECT_EQ(m->NextImageDirectoryEntry(&directory, &entry), status);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(m->NextImageDirectoryEntry(&directory, &entry), STATUS_NO_MORE_ENTRIES);
        }
    }
}

TEST_F(ImageStreamTest, RecordHeadsTypesAndCountsAreChecked)
{
    BOOLEAN skip;
    EXPECT_EQ(m->CheckImageRecordType(7, &skip), STATUS_SUCCESS);
    EXPECT_TRUE(skip);
    for (ULONG type = IMAGE_RECORD_STREAM_START; type <= IMAGE_RECORD_STREAM_END; ++type) {
        EXPECT_EQ(m->CheckImageRecordType(type, &skip), STATUS_SUCCESS);
        EXPECT_FALSE(skip);
    }
    EXPECT_EQ(m->CheckImageRecordType(0x80000000u, &skip), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(m->CheckImageRecordType(0x80000006u, &skip), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(m->CheckImageSubRecordType(3), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(m->CheckImageSubRecordType(5), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(m->CheckImageSubRecordType(0), STATUS_FILE_CORRUPT_ERROR);

    /* A record whose length runs one byte past the stream. */
    Bytes stream = {1, 0, 0, 0x80, 1, 0, 0, 0};
    IMAGE_STREAM_READER reader;
    IMAGE_RECORD record;
    BOOLEAN end;
    m->InitializeImageStreamReader(&reader, stream.data(), stream.size());
    EXPECT_EQ(m->ReadImageRecord(&reader, &record, &end), STATUS_FILE_CORRUPT_ERROR);
    stream.resize(9);
    m->InitializeImageStreamReader(&reader, stream.data(), stream.size());
    EXPECT_EQ(m->ReadImageRecord(&reader, &record, &end), STATUS_SUCCESS);
    EXPECT_EQ(record.PayloadLength, 1u);
    EXPECT_EQ(m->ReadImageRecord(&reader, &record, &end), STATUS_SUCCESS) << "padding cut short by the end";
    EXPECT_TRUE(end);
    stream = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    m->InitializeImageStreamReader(&reader, stream.data(), stream.size());
    EXPECT_EQ(m->ReadImageRecord(&reader, &record, &end), STATUS_FILE_CORRUPT_ERROR);
    stream.resize(7);
    m->InitializeImageStreamReader(&reader, stream.data(), stream.size());
    EXPECT_EQ(m->ReadImageRecord(&reader, &record, &end), STATUS_FILE_CORRUPT_ERROR) << "a head cut short";

    /* Entry counts that the payload does not hold, in either direction. */
    Bytes table = {2, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0, 0};
    IMAGE_RECORD r = {IMAGE_RECORD_SECURITY_TABLE, (ULONG)table.size(), table.data()};
    IMAGE_SECURITY_TABLE security;
    const UCHAR *bytes;
    ULONG length;
    ASSERT_EQ(m->ParseImageSecurityTable(&r, &security), STATUS_SUCCESS);
    EXPECT_EQ(m->NextImageSecurityEntry(&security, &bytes, &length), STATUS_SUCCESS);
    EXPECT_EQ(m->NextImageSecurityEntry(&security, &bytes, &length), STATUS_FILE_CORRUPT_ERROR);
    table[0] = 0;
    ASSERT_EQ(m->ParseImageSecurityTable(&r, &security), STATUS_SUCCESS);
    EXPECT_EQ(m->NextImageSecurityEntry(&security, &bytes, &length), STATUS_FILE_CORRUPT_ERROR) << "bytes left over";
    table[0] = 1;
    table[8] = 0;
    ASSERT_EQ(m->ParseImageSecurityTable(&r, &security), STATUS_SUCCESS);
    EXPECT_EQ(m->NextImageSecurityEntry(&security, &bytes, &length), STATUS_FILE_CORRUPT_ERROR) << "an empty entry";
    table[8] = 17;
    ASSERT_EQ(m->ParseImageSecurityTable(&r, &security), STATUS_SUCCESS);
    EXPECT_EQ(m->NextImageSecurityEntry(&security, &bytes, &length), STATUS_FILE_CORRUPT_ERROR) << "past the record";

    Bytes map = {1, 0, 0, 0, 0, 0, 0, 0};
    IMAGE_RECORD mr = {IMAGE_NODE_DATA_MAP, (ULONG)map.size(), map.data()};
    IMAGE_NODE_RECORD node = {};
    node.FileSize = 100;
    IMAGE_DATA_MAP dataMap;
    EXPECT_EQ(m->ParseImageDataMap(&mr, &node, kHighWater, &dataMap), STATUS_FILE_CORRUPT_ERROR);
    map[0] = 0;
    node.Flags = IMAGE_NODE_DIRECTORY;
    EXPECT_EQ(m->ParseImageDataMap(&mr, &node, kHighWater, &dataMap), STATUS_SUCCESS);
    map[0] = 0xFF;
    map[3] = 0xFF;
    EXPECT_EQ(m->ParseImageDataMap(&mr, &node, kHighWater, &dataMap), STATUS_FILE_CORRUPT_ERROR);
}

TEST_F(ImageStreamTest, NodeRecordsAreCheckedAgainstThemselvesAndTheTable)
{
    auto base = [] {
        IMAGE_NODE_RECORD n = {};
        n.NodeId = 5;
        n.LinkCount = 2;
        n.FileSize = IMAGE_NODE_SIZE_MAX;
        n.SecurityIndex = 2;
        return n;
    };
    struct Case {
        const char *what;
        void (*change)(IMAGE_NODE_RECORD &);
        NTSTATUS status;
    } cases[] = {
        {"a file with two names", [](IMAGE_NODE_RECORD &) {}, STATUS_SUCCESS},
        {"identifier 0", [](IMAGE_NODE_RECORD &n) { n.NodeId = 0; }, STATUS_FILE_CORRUPT_ERROR},
        {"size above 2^53", [](IMAGE_NODE_RECORD &n) { n.FileSize++; }, STATUS_FILE_CORRUPT_ERROR},
        {"a root that is a file", [](IMAGE_NODE_RECORD &n) { n.NodeId = 1; }, STATUS_FILE_CORRUPT_ERROR},
        {"a directory with a size", [](IMAGE_NODE_RECORD &n) { n.Flags = IMAGE_NODE_DIRECTORY; n.LinkCount = 1; },
         STATUS_FILE_CORRUPT_ERROR},
        {"a directory with two names", [](IMAGE_NODE_RECORD &n) { n.Flags = IMAGE_NODE_DIRECTORY; n.FileSize = 0; },
         STATUS_FILE_CORRUPT_ERROR},
        {"a file with no name", [](IMAGE_NODE_RECORD &n) { n.LinkCount = 0; }, STATUS_FILE_CORRUPT_ERROR},
        {"a descriptor past the table", [](IMAGE_NODE_RECORD &n) { n.SecurityIndex = 3; }, STATUS_FILE_CORRUPT_ERROR},
        {"no descriptor", [](IMAGE_NODE_RECORD &n) { n.SecurityIndex = IMAGE_NODE_NO_SECURITY; }, STATUS_SUCCESS},
    };
    for (auto &c : cases) {
        IMAGE_NODE_RECORD node = base();
        c.change(node);
        EXPECT_EQ(m->CheckImageNodeRecord(&node, 3), c.status) << c.what;
    }

    /* The fixed part cut short, and the flag this version refuses, through the bytes. */
    Bytes fixed(IMAGE_NODE_FIXED_SIZE, 0);
    IMAGE_RECORD r = {IMAGE_RECORD_NODE, IMAGE_NODE_FIXED_SIZE - 1, fixed.data()};
    IMAGE_NODE_RECORD node;
    IMAGE_STREAM_READER subRecords;
    EXPECT_EQ(m->ParseImageNodeRecord(&r, &node, &subRecords), STATUS_FILE_CORRUPT_ERROR);
    r.PayloadLength = IMAGE_NODE_FIXED_SIZE;
    fixed[68] = IMAGE_NODE_UNSUPPORTED;
    EXPECT_EQ(m->ParseImageNodeRecord(&r, &node, &subRecords), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(ImageStreamTest, StreamsBreakingTheOrderOrTheCountsAreRefused)
{
    StreamModel model = RandomModel(12, kHighWater), back;
    Bytes stream;
    ASSERT_EQ(Write(model, stream), STATUS_SUCCESS);

    /* A file named once fewer than its link count. */
    StreamModel unnamed = model;
    for (auto &d : unnamed.Directories) {
        if (!d.Entries.empty()) {
            d.Entries.pop_back();
            break;
        }
    }
    ASSERT_EQ(Write(unnamed, stream), STATUS_SUCCESS);
    EXPECT_EQ(Read(stream, kHighWater, back), STATUS_OBJECT_PATH_NOT_FOUND);

    /* A directory named twice. */
    StreamModel twice = model;
    twice.Directories[0].Entries.push_back(twice.Directories[0].Entries.empty()
                                               ? std::pair{ULONGLONG(2), std::u16string(u"z")}
                                               : twice.Directories[0].Entries.front());
    for (auto &n : twice.Nodes) {
        if (n.Fixed.NodeId != 1 && (n.Fixed.Flags & IMAGE_NODE_DIRECTORY)) {
            twice.Directories[0].Entries.push_back({n.Fixed.NodeId, u"again"});
            break;
        }
    }
    ASSERT_EQ(Write(twice, stream), STATUS_SUCCESS);
    EXPECT_NE(Read(stream, kHighWater, back), STATUS_SUCCESS);

    /* A data slot that is also taken by another file. */
    StreamModel shared = model;
    std::vector<IMAGE_DATA_MAP_ENTRY *> entries;
    for (auto &n : shared.Nodes)
        for (auto &e : n.Map)
            entries.push_back(&e);
    if (entries.size() >= 2) {
        entries[1]->SlotNumber = entries[0]->SlotNumber;
        ASSERT_EQ(Write(shared, stream), STATUS_SUCCESS);
        EXPECT_EQ(Read(stream, kHighWater, back), STATUS_FILE_CORRUPT_ERROR);
    }
}

TEST_F(ImageStreamTest, SlotClaimsRefuseTheSameSlotTwiceAndSlotsPastTheMark)
{
    std::vector<ULONGLONG> words(m->ImageSlotClaimWords(130));
    ASSERT_EQ(words.size(), 3u);
    IMAGE_SLOT_CLAIMS claims;
    m->InitializeImageSlotClaims(&claims, words.data(), 130);
    std::mt19937 random(1);
    std::vector<ULONG> order(130);
    for (ULONG i = 0; i < 130; ++i)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), random);
    for (ULONG slot : order)
        ASSERT_EQ(m->ClaimImageSlot(&claims, slot), STATUS_SUCCESS) << slot;
    for (ULONG slot : order)
        ASSERT_EQ(m->ClaimImageSlot(&claims, slot), STATUS_FILE_CORRUPT_ERROR) << slot;
    EXPECT_EQ(m->ClaimImageSlot(&claims, 130), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(m->ClaimImageSlot(&claims, 0xFFFFFFFFu), STATUS_FILE_CORRUPT_ERROR);
}

} // namespace
