/*
 * Header copies: round trips of every field, every byte of a copy flipped,
 * short and long reads, each validity rule broken under a correct checksum,
 * the choice between two copies, and the committed header's contents.
 */
#include "image_test.h"

namespace {

using ImageHeaderTest = ImageTest;

void ExpectSameHeader(const IMAGE_HEADER &a, const IMAGE_HEADER &b)
{
    EXPECT_EQ(a.Generation, b.Generation);
    EXPECT_EQ(memcmp(a.Identifier, b.Identifier, sizeof(a.Identifier)), 0);
    EXPECT_EQ(a.Flags, b.Flags);
    EXPECT_EQ(a.Writer, b.Writer);
    EXPECT_EQ(a.HighWater, b.HighWater);
    EXPECT_EQ(a.VolumeSize, b.VolumeSize);
    EXPECT_EQ(a.SerialNumber, b.SerialNumber);
    EXPECT_EQ(a.PerFileSecurity, b.PerFileSecurity);
    EXPECT_EQ(a.CompressionLevel, b.CompressionLevel);
    EXPECT_EQ(a.BuildHash, b.BuildHash);
    EXPECT_EQ(a.SaveTime, b.SaveTime);
    EXPECT_EQ(a.NextNodeId, b.NextNodeId);
    EXPECT_EQ(memcmp(a.Label, b.Label, sizeof(a.Label)), 0);
    EXPECT_EQ(a.StreamLength, b.StreamLength);
    EXPECT_EQ(a.StreamChecksum, b.StreamChecksum);
    EXPECT_EQ(a.MetadataSlotCount, b.MetadataSlotCount);
    EXPECT_EQ(memcmp(a.MetadataSlots, b.MetadataSlots, sizeof(a.MetadataSlots)), 0);
}

TEST_F(ImageHeaderTest, BuiltCopiesParseBackToTheSameFields)
{
    for (unsigned seed = 1; seed <= 50; ++seed) {
        SCOPED_TRACE(seed);
        auto header = RandomHeader(seed);
        Bytes copy = Build(*header);
        EXPECT_EQ(memcmp(copy.data(), "VORELIMG", 8), 0);
        EXPECT_EQ(copy[10], IMAGE_FORMAT_COMPAT);
        ULONGLONG generation = 0;
        ASSERT_EQ(m->CheckImageHeaderCopy(copy.data(), copy.size(), &generation), STATUS_SUCCESS);
        EXPECT_EQ(generation, header->Generation);
        Bytes independent = copy;
        Rechecksum(independent);
        EXPECT_TRUE(independent == copy) << "the checksum is XXH3 of the copy with its field zero";

        auto parsed = std::make_unique<IMAGE_HEADER>();
        m->ParseImageHeaderCopy(copy.data(), parsed.get());
        ExpectSameHeader(*parsed, *header);
        EXPECT_EQ(CheckContents(*parsed), STATUS_SUCCESS);
    }
}

TEST_F(ImageHeaderTest, EveryFlippedByteMakesTheCopyInvalid)
{
    auto header = RandomHeader(7);
    Bytes copy = Build(*header);
    ULONGLONG generation;
    for (size_t at = 0; at < IMAGE_HEADER_SIZE; ++at) {
        for (UCHAR flip : {0x01, 0x80, 0xFF}) {
            Bytes bad = copy;
            bad[at] ^= flip;
            ASSERT_EQ(m->CheckImageHeaderCopy(bad.data(), bad.size(), &generation), STATUS_FILE_CORRUPT_ERROR)
                << "byte " << at << " flipped by " << (int)flip;
        }
    }
}

TEST_F(ImageHeaderTest, ShortReadsAreInvalidAndBytesPastTheCopyDoNotCount)
{
    Bytes copy = Build(*RandomHeader(3));
    ULONGLONG generation;
    for (size_t length = 0; length < IMAGE_HEADER_SIZE; length += length < 64 ? 1 : 97) {
        Bytes shortRead(copy.begin(), copy.begin() + length);
        EXPECT_EQ(m->CheckImageHeaderCopy(shortRead.data(), length, &generation), STATUS_FILE_CORRUPT_ERROR) << length;
    }
    Bytes longRead = copy;
    longRead.resize(3 * IMAGE_HEADER_SIZE, 0xA5);
    EXPECT_EQ(m->CheckImageHeaderCopy(longRead.data(), longRead.size(), &generation), STATUS_SUCCESS);
}

TEST_F(ImageHeaderTest, EachValidityRuleHoldsUnderACorrectChecksum)
{
    auto header = RandomHeader(11);
    struct Case {
        const char *what;
        size_t at;
        std::vector<UCHAR> bytes;
        bool valid;
    } cases[] = {
        {"magic", 0, {'v'}, false},
        {"version 0", 8, {0, 0}, false},
        {"version 2", 8, {2, 0}, false},
        {"the word after the version is not checked", 10, {9, 9}, true},
        {"header size 4095", 12, {0xFF, 0x0F, 0, 0}, false},
        {"slot shift 20", 56, {20}, false},
        {"another writer is still a valid copy", 57, {1}, true},
        {"high-water 0x7FFFFFFF", 64, {0xFF, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0}, true},
        {"high-water 0x80000000", 64, {0, 0, 0, 0x80, 0, 0, 0, 0}, false},
        {"high-water above 32 bits", 64, {0, 0, 0, 0, 1, 0, 0, 0}, false},
        {"975 metadata slots", 192, {0xCF, 0x03, 0, 0}, true},
        {"976 metadata slots", 192, {0xD0, 0x03, 0, 0}, false},
    };
    for (auto &c : cases) {
        Bytes copy = Build(*header);
        std::copy(c.bytes.begin(), c.bytes.end(), copy.begin() + c.at);
        Rechecksum(copy);
        ULONGLONG generation;
        EXPECT_EQ(m->CheckImageHeaderCopy(copy.data(), copy.size(), &generation),
                  c.valid ? STATUS_SUCCESS : STATUS_FILE_CORRUPT_ERROR)
            << c.what;
    }
}

TEST_F(ImageHeaderTest, TheValidCopyWithTheLargerGenerationIsCommitted)
{
    enum Kind { Valid, Flipped, Short };
    struct Case {
        Kind kind0;
        ULONGLONG generation0;
        Kind kind1;
        ULONGLONG generation1;
        NTSTATUS status;
        ULONG active;
    } cases[] = {
        {Valid, 1, Valid, 2, STATUS_SUCCESS, 1},
        {Valid, 5, Valid, 4, STATUS_SUCCESS, 0},
        {Valid, 3, Valid, 3, STATUS_SUCCESS, 0},
        {Valid, 1, Flipped, 9, STATUS_SUCCESS, 0},
        {Flipped, 9, Valid, 1, STATUS_SUCCESS, 1},
        {Short, 9, Valid, 2, STATUS_SUCCESS, 1},
        {Valid, 0, Short, 9, STATUS_SUCCESS, 0},
        {Flipped, 1, Short, 2, STATUS_FILE_CORRUPT_ERROR, 0},
        {Short, 1, Short, 2, STATUS_FILE_CORRUPT_ERROR, 0},
        {Valid, ~0ull, Valid, 0, STATUS_SUCCESS, 0},
    };
    auto copyOf = [&](Kind kind, ULONGLONG generation, unsigned seed, size_t &length) {
        auto header = RandomHeader(seed);
        header->Generation = generation;
        Bytes copy = Build(*header);
        if (kind == Flipped)
            copy[100] ^= 4;
        length = kind == Short ? IMAGE_HEADER_SIZE - 512 : IMAGE_HEADER_SIZE;
        copy.resize(length);
        return copy;
    };
    for (auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.generation0 << "/" << c.generation1);
        size_t length0, length1;
        Bytes copy0 = copyOf(c.kind0, c.generation0, 1, length0), copy1 = copyOf(c.kind1, c.generation1, 2, length1);
        auto header = std::make_unique<IMAGE_HEADER>();
        ULONG active = 7;
        ASSERT_EQ(m->ChooseImageHeaderCopy(copy0.data(), length0, copy1.data(), length1, &active, header.get()),
                  c.status);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(active, c.active);
            EXPECT_EQ(header->Generation, c.active == 0 ? c.generation0 : c.generation1);
        }
    }
}

TEST_F(ImageHeaderTest, ACommittedCopyFromAnotherSystemIsRefusedButAnInvalidOneIsPassedOver)
{
    auto foreign = RandomHeader(1), ours = RandomHeader(2);
    foreign->Writer = 1;
    foreign->Generation = 10;
    ours->Generation = 9;
    Bytes copy0 = Build(*ours), copy1 = Build(*foreign);
    auto header = std::make_unique<IMAGE_HEADER>();
    ULONG active;
    EXPECT_EQ(m->ChooseImageHeaderCopy(copy0.data(), copy0.size(), copy1.data(), copy1.size(), &active, header.get()),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(active, 1u);
    EXPECT_EQ(header->Writer, 1);
    copy1[300] ^= 1; /* the foreign copy torn: ours is committed */
    EXPECT_EQ(m->ChooseImageHeaderCopy(copy0.data(), copy0.size(), copy1.data(), copy1.size(), &active, header.get()),
              STATUS_SUCCESS);
    EXPECT_EQ(active, 0u);
}

TEST_F(ImageHeaderTest, ACheckThatCannotAllocateSaysSoAndLeavesNothing)
{
    Bytes copy = Build(*RandomHeader(5));
    ULONGLONG generation;
    auto header = std::make_unique<IMAGE_HEADER>();
    ULONG active;
    for (uint64_t n = 1; n <= 2; ++n) {
        machine::ArmPoolFault(n, TAG_IMAGE_HEADER);
        EXPECT_EQ(m->ChooseImageHeaderCopy(copy.data(), copy.size(), copy.data(), copy.size(), &active, header.get()),
                  STATUS_INSUFFICIENT_RESOURCES);
        machine::DisarmFaults();
    }
    EXPECT_EQ(m->CheckImageHeaderCopy(copy.data(), copy.size(), &generation), STATUS_SUCCESS);
}

TEST_F(ImageHeaderTest, TheCommittedHeadersStreamAndSettingsMustBeInRange)
{
    struct Case {
        const char *what;
        void (*change)(IMAGE_HEADER &);
        NTSTATUS status;
    } cases[] = {
        {"as saved", [](IMAGE_HEADER &) {}, STATUS_SUCCESS},
        {"975 slots of stream", [](IMAGE_HEADER &h) {
             h.MetadataSlotCount = IMAGE_METADATA_SLOTS_MAX;
             h.StreamLength = IMAGE_STREAM_LENGTH_MAX;
             for (ULONG i = 0; i < IMAGE_METADATA_SLOTS_MAX; ++i)
                 h.MetadataSlots[i] = IMAGE_METADATA_SLOTS_MAX - i;
             h.HighWater = IMAGE_METADATA_SLOTS_MAX + 1;
         }, STATUS_SUCCESS},
        {"one byte more than 975 slots hold", [](IMAGE_HEADER &h) {
             h.MetadataSlotCount = IMAGE_METADATA_SLOTS_MAX;
             h.StreamLength = IMAGE_STREAM_LENGTH_MAX + 1;
             for (ULONG i = 0; i < IMAGE_METADATA_SLOTS_MAX; ++i)
                 h.MetadataSlots[i] = i;
         }, STATUS_FILE_CORRUPT_ERROR},
        {"empty stream", [](IMAGE_HEADER &h) { h.StreamLength = 0; }, STATUS_FILE_CORRUPT_ERROR},
        {"a slot more than the stream fills", [](IMAGE_HEADER &h) {
             h.MetadataSlots[h.MetadataSlotCount] = 900;
             h.MetadataSlotCount++;
         }, STATUS_FILE_CORRUPT_ERROR},
        {"a stream longer than its slots", [](IMAGE_HEADER &h) { h.StreamLength += IMAGE_SLOT_SIZE; },
         STATUS_FILE_CORRUPT_ERROR},
        {"a listed slot at the high-water mark", [](IMAGE_HEADER &h) { h.MetadataSlots[0] = (ULONG)h.HighWater; },
         STATUS_FILE_CORRUPT_ERROR},
        {"a slot listed twice", [](IMAGE_HEADER &h) {
             h.MetadataSlotCount = 2;
             h.StreamLength = IMAGE_SLOT_SIZE + 1;
             h.MetadataSlots[1] = h.MetadataSlots[0];
             for (ULONG i = 2; i < IMAGE_METADATA_SLOTS_MAX; ++i)
                 h.MetadataSlots[i] = 0;
         }, STATUS_FILE_CORRUPT_ERROR},
        {"compression level 4", [](IMAGE_HEADER &h) { h.CompressionLevel = 4; }, STATUS_FILE_CORRUPT_ERROR},
        {"per-file security 2", [](IMAGE_HEADER &h) { h.PerFileSecurity = 2; }, STATUS_FILE_CORRUPT_ERROR},
        {"next node identifier 0", [](IMAGE_HEADER &h) { h.NextNodeId = 0; }, STATUS_FILE_CORRUPT_ERROR},
    };
    for (auto &c : cases) {
        auto header = RandomHeader(21);
        header->MetadataSlotCount = 3;
        header->StreamLength = 2 * IMAGE_SLOT_SIZE + 8;
        c.change(*header);
        /* Through the bytes, as a load gets it. */
        Bytes copy = Build(*header);
        auto parsed = std::make_unique<IMAGE_HEADER>();
        ULONGLONG generation;
        ASSERT_EQ(m->CheckImageHeaderCopy(copy.data(), copy.size(), &generation), STATUS_SUCCESS) << c.what;
        m->ParseImageHeaderCopy(copy.data(), parsed.get());
        EXPECT_EQ(CheckContents(*parsed), c.status) << c.what;
    }

    /* An unused slot list entry that is not 0, which no writer leaves. */
    auto header = RandomHeader(21);
    Bytes copy = Build(*header);
    copy[IMAGE_HEADER_SIZE - 4] = 5;
    Rechecksum(copy);
    auto parsed = std::make_unique<IMAGE_HEADER>();
    m->ParseImageHeaderCopy(copy.data(), parsed.get());
    EXPECT_EQ(CheckContents(*parsed), STATUS_FILE_CORRUPT_ERROR);
}

TEST_F(ImageHeaderTest, TheNextNodeIdentifierLiesAboveEveryLoadedOne)
{
    auto header = RandomHeader(1);
    header->NextNodeId = 100;
    EXPECT_EQ(m->CheckImageNextNodeId(header.get(), 99), STATUS_SUCCESS);
    EXPECT_EQ(m->CheckImageNextNodeId(header.get(), 100), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(m->CheckImageNextNodeId(header.get(), 101), STATUS_FILE_CORRUPT_ERROR);
}

TEST_F(ImageHeaderTest, AGenerationThatWouldWrapIsNotFollowed)
{
    ULONGLONG next = 0;
    EXPECT_EQ(m->NextImageGeneration(0, &next), STATUS_SUCCESS);
    EXPECT_EQ(next, 1u);
    EXPECT_EQ(m->NextImageGeneration(~0ull - 1, &next), STATUS_SUCCESS);
    EXPECT_EQ(next, ~0ull);
    EXPECT_EQ(m->NextImageGeneration(~0ull, &next), STATUS_FILE_CORRUPT_ERROR);
    EXPECT_EQ(next, ~0ull);
}

TEST_F(ImageHeaderTest, SlotsLieWhereTheGeometrySaysAndInsideTheFile)
{
    ULONG sector;
    for (auto [reported, size, status] : {std::tuple{0u, 4096u, STATUS_SUCCESS}, {512u, 512u, STATUS_SUCCESS},
                                         {4096u, 4096u, STATUS_SUCCESS}, {8192u, 0u, STATUS_INVALID_DEVICE_REQUEST},
                                         {520u, 0u, STATUS_INVALID_DEVICE_REQUEST}}) {
        sector = 0;
        EXPECT_EQ(m->CheckImageSectorSize(reported, &sector), status) << reported;
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(sector, size);
        }
    }
    EXPECT_EQ(m->ImageSlotOffset(0), IMAGE_SLOT_SIZE);
    EXPECT_EQ(m->ImageSlotOffset(IMAGE_SLOT_LIMIT - 1), (ULONGLONG)IMAGE_SLOT_LIMIT << IMAGE_SLOT_SHIFT);
    EXPECT_EQ(m->ImageWrittenLength(1, 4096), 4096u);
    EXPECT_EQ(m->ImageWrittenLength(513, 512), 1024u);
    EXPECT_EQ(m->ImageWrittenLength((ULONG)IMAGE_SLOT_SIZE, 4096), (ULONG)IMAGE_SLOT_SIZE);
    EXPECT_TRUE(m->ImageSlotInsideFile(2, 1, 4096, 3 * IMAGE_SLOT_SIZE + 4096));
    EXPECT_FALSE(m->ImageSlotInsideFile(2, 1, 4096, 3 * IMAGE_SLOT_SIZE + 4095));
    EXPECT_FALSE(m->ImageSlotInsideFile(IMAGE_SLOT_LIMIT, 1, 4096, ~0ull));
    EXPECT_FALSE(m->ImageSlotInsideFile(0, (ULONG)IMAGE_SLOT_SIZE + 1, 4096, ~0ull));
    EXPECT_EQ(m->ImageStreamPieceCount(1), 1u);
    EXPECT_EQ(m->ImageStreamPieceCount(IMAGE_SLOT_SIZE), 1u);
    EXPECT_EQ(m->ImageStreamPieceCount(IMAGE_SLOT_SIZE + 1), 2u);
}

} // namespace
