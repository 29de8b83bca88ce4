/*
 * Boot configurations as JSON: export and import round trips at every field's
 * limit, the length protocol of export, the rules import applies, and hostile text.
 */
#include <vorellib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Records = std::vector<vorel_boot_config>;

/* Zero-filled records on the heap, one sentinel-filled spare past the 26. */
Records Blank(size_t n = 27)
{
    Records records(n);
    std::memset(records.data(), 0, n * sizeof(vorel_boot_config));
    if (n > 26)
        std::memset(&records[26], 0x5A, sizeof(vorel_boot_config));
    return records;
}

std::string Export(const Records &records)
{
    unsigned long long size = 0;
    EXPECT_EQ(VOREL_OK, vorel_config_export_json(records.data(), (unsigned)records.size(), nullptr, &size));
    std::string text(size + 1, '\0');
    size = text.size();
    EXPECT_EQ(VOREL_OK, vorel_config_export_json(records.data(), (unsigned)records.size(), text.data(), &size));
    text.resize(size);
    return text;
}

/* Imports text; checks that nothing past the 26 records was touched. */
vorel_status Import(const std::string &text, Records *out, unsigned int *count)
{
    *out = Blank();
    vorel_boot_config spare;
    std::memset(&spare, 0x5A, sizeof(spare));
    vorel_status status = vorel_config_import_json(text.c_str(), out->data(), count);
    EXPECT_LE(*count, 26u);
    EXPECT_EQ(0, std::memcmp(&spare, &(*out)[26], sizeof(spare)));
    return status;
}

std::string Document(const std::string &volumes, const std::string &head = R"("platform": "windows", "version": 1)")
{
    return "{" + head + ", \"volumes\": [" + volumes + "]}";
}

void Fill(char *field, size_t bytes, const std::string &unit)
{
    std::string text;
    while (text.size() + unit.size() <= bytes)
        text += unit;
    text.append(bytes - text.size(), 'x');
    std::memcpy(field, text.c_str(), bytes + 1);
}

TEST(JsonConfig, ExportThenImportGivesBackEveryFieldAtItsLimits)
{
    Records records = Blank(26);
    std::string folders;
    for (int i = 0; folders.size() < 4000; ++i)
        folders += (i % 3 == 0 ? "\n\n" : "") + std::string(1 + i % 40, (char)('a' + i % 26)) + "\\\xE2\x82\xAC\n";
    folders.append(4095 - folders.size(), 'z');
    for (int i = 0; i < 26; ++i) {
        vorel_boot_config &r = records[i];
        r.letter = (char)('A' + i);
        r.flags = 0x37;
        r.compression = (unsigned)i % 8;
        r.period = i == 0 ? 0xFFFFFFFFu : (unsigned)i;
        r.size = ~0ull - (unsigned)i;
        r.mounted = 1;
        r.auto_mount_status = 0xC0000001u;
        Fill(r.label, 127, i % 2 ? "\xC3\xA9" : "\xF0\x9F\x98\x80\"\\\t");
        Fill(r.image_path, 2047, "C:\\\xE6\x97\xA5\\");
        std::memcpy(r.folders, folders.c_str(), 4096);
    }
    std::string text = Export(records);
    EXPECT_EQ(0u, text.find("{\n  \"platform\": \"windows\",\n  \"version\": 1,\n  \"volumes\": [\n    {\n"));
    EXPECT_NE(std::string::npos, text.find("\xF0\x9F\x98\x80")); /* UTF-8 written as it is */
    EXPECT_LT(text.find("\"autoSave\""), text.find("\"autoSavePeriodSec\""));
    EXPECT_LT(text.find("\"manualMount\""), text.find("\"noRecycle\""));

    Records back;
    unsigned int count = 0;
    ASSERT_EQ(VOREL_OK, Import(text, &back, &count));
    ASSERT_EQ(26u, count);
    std::string joined;
    for (size_t start = 0, end; start <= folders.size(); start = end + 1) {
        end = std::min(folders.find('\n', start), folders.size());
        if (end > start)
            joined += (joined.empty() ? "" : "\n") + folders.substr(start, end - start);
    }
    for (int i = 0; i < 26; ++i) {
        SCOPED_TRACE(i);
        vorel_boot_config want = records[i];
        want.compression = want.compression > 3 ? 0 : want.compression;
        want.mounted = want.auto_mount_status = 0;
        std::memset(want.folders, 0, sizeof(want.folders));
        std::memcpy(want.folders, joined.c_str(), joined.size());
        EXPECT_EQ(0, std::memcmp(&want, &back[i], sizeof(want)));
    }
    EXPECT_EQ(text, Export(Records(back.begin(), back.begin() + 26)));
}

TEST(JsonConfig, ExportReportsTheLengthAndWritesOnlyWhenTheTextAndItsNulFit)
{
    unsigned long long size = 12345;
    ASSERT_EQ(VOREL_OK, vorel_config_export_json(nullptr, 0, nullptr, &size));
    std::string expected = "{\n  \"platform\": \"windows\",\n  \"version\": 1,\n  \"volumes\": []\n}";
    ASSERT_EQ(expected.size(), size);
    std::vector<char> buffer(size + 1, '#');
    size = expected.size();
    EXPECT_EQ(VOREL_ERR_SHORT_REPLY, vorel_config_export_json(nullptr, 0, buffer.data(), &size));
    EXPECT_EQ(expected.size(), size);
    EXPECT_EQ(std::string(buffer.size(), '#'), std::string(buffer.begin(), buffer.end()));
    size = expected.size() + 1;
    EXPECT_EQ(VOREL_OK, vorel_config_export_json(nullptr, 0, buffer.data(), &size));
    EXPECT_EQ(expected, std::string(buffer.data()));

    Records records = Blank(27);
    size = 99;
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_export_json(records.data(), 27, nullptr, &size));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_export_json(nullptr, 1, nullptr, &size));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_export_json(records.data(), 1, nullptr, nullptr));
    EXPECT_EQ(99u, size);
}

TEST(JsonConfig, ExportRefusesTextThatIsNotUtf8OrRunsPastItsField)
{
    // Each record ends its heap block, so a read past the folders would show.
    for (int field = 0; field < 6; ++field) {
        SCOPED_TRACE(field);
        auto record = std::make_unique<vorel_boot_config>();
        std::memset(record.get(), 0, sizeof(*record));
        record->letter = 'R';
        switch (field) {
        case 0: std::memset(record->label, 'a', sizeof(record->label)); break;
        case 1: std::memset(record->image_path, 'a', sizeof(record->image_path)); break;
        case 2: std::memset(record->folders, 'a', sizeof(record->folders)); break;
        case 3: std::strcpy(record->label, "caf\xC3"); break;
        case 4: std::strcpy(record->folders, "a\n\xED\xA0\x80"); break; /* a surrogate */
        case 5: record->letter = (char)0xC3; break;
        }
        unsigned long long size = 4096;
        std::vector<char> buffer(size, '#');
        EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_export_json(record.get(), 1, buffer.data(), &size));
        EXPECT_EQ(4096u, size);
        EXPECT_EQ('#', buffer[0]);
    }
}

TEST(JsonConfig, ImportAppliesItsRulesToDocumentsAndVolumes)
{
    struct Case {
        std::string text;
        vorel_status status;
        unsigned int count;
    };
    const std::string one = R"({"letter": "R"})";
    const Case cases[] = {
        {Document(one, R"("version": 1)"), VOREL_ERR_INVALID, 0},
        {Document(one, R"("platform": "linux")"), VOREL_ERR_INVALID, 0},
        {Document(one, R"("platform": "Windows")"), VOREL_ERR_INVALID, 0},
        {Document(one, R"("platform": "windows", "version": 2)"), VOREL_ERR_INVALID, 0},
        {Document(one, R"("platform": "windows", "version": "1")"), VOREL_ERR_INVALID, 0},
        {Document(one, R"("platform": "windows", "version": -1)"), VOREL_ERR_INVALID, 0},
        {Document(one, R"("platform": "windows")"), VOREL_OK, 1},
        {Document(one), VOREL_OK, 1},
        {R"({"platform": "windows", "volumes": {}})", VOREL_ERR_INVALID, 0},
        {R"({"platform": "windows"})", VOREL_ERR_INVALID, 0},
        {R"([{"platform": "windows", "volumes": []}])", VOREL_ERR_INVALID, 0},
        {"", VOREL_ERR_INVALID, 0},
        {Document(R"(1, "R", null, [], {}, {"letter": ""}, {"letter": 7}, {"letter": "ST"}, {"letter": "S"})"),
         VOREL_OK, 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Records out;
        unsigned int count = 99;
        EXPECT_EQ(c.status, Import(c.text, &out, &count));
        EXPECT_EQ(c.count, count);
    }

    std::string volumes;
    for (const char *compression : {R"("Fast")", "3", "-1", R"("max")", "4", "2.0", R"("normal")"})
        volumes += std::string(volumes.empty() ? "" : ",") + R"({"letter": "x", "compression": )" + compression + "}";
    volumes += R"(, {"letter": "r", "sizeBytes": "5", "label": 5, "noSecurity": "true", "noRecycle": true,
                     "autoSave": 1, "savePeriodic": true, "autoSavePeriodSec": 4294967296,
                     "folders": ["a", "", 3, null, "b\\c"], "imagePath": ")" + std::string(2046, 'p') + "\xC3\xA9q\"}";
    Records out;
    unsigned int count = 0;
    ASSERT_EQ(VOREL_OK, Import(Document(volumes), &out, &count));
    ASSERT_EQ(8u, count);
    const unsigned int levels[] = {0, 3, 0, 3, 0, 0, 2};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(levels[i], out[i].compression) << i;
    const vorel_boot_config &r = out[7];
    EXPECT_EQ('r', r.letter);
    EXPECT_EQ(0u, r.size);
    EXPECT_EQ(0x30u, r.flags);
    EXPECT_EQ(0u, r.period);
    EXPECT_STREQ("", r.label);
    EXPECT_STREQ("a\nb\\c", r.folders);
    // Cut to at most 2047 bytes at a character boundary: no half of the two-byte character stays.
    EXPECT_EQ(std::string(2046, 'p'), r.image_path);

    std::string many;
    for (int i = 0; i < 40; ++i)
        many += std::string(i ? "," : "") + R"({"letter": "D", "sizeBytes": )" + std::to_string(i) + "}";
    ASSERT_EQ(VOREL_OK, Import(Document(many), &out, &count));
    EXPECT_EQ(26u, count); /* duplicate letters come back as they are */
    EXPECT_EQ(25u, out[25].size);
}

TEST(JsonConfig, HostileTextGetsAStatusAndNeverMoreThan26Records)
{
    Records records = Blank(3);
    for (int i = 0; i < 3; ++i) {
        records[i].letter = (char)('P' + i);
        records[i].size = 1ull << (20 + i);
        std::strcpy(records[i].label, "d\xC3\xA9j\xC3\xA0");
        std::strcpy(records[i].folders, "a\nb");
    }
    const std::string valid = Export(records);
    Records out;
    unsigned int count;
    for (size_t cut = 0; cut < valid.size(); ++cut)
        EXPECT_EQ(VOREL_ERR_INVALID, Import(valid.substr(0, cut), &out, &count)) << cut;

    const size_t deep = 300000;
    for (const char *open : {"[", "{\"a\":"}) {
        std::string nested;
        for (size_t i = 0; i < deep; ++i)
            nested += open;
        EXPECT_EQ(VOREL_ERR_INVALID, Import(nested, &out, &count));
        EXPECT_EQ(VOREL_ERR_INVALID, Import(Document("", std::string(R"("platform": "windows", "x": )") + nested +
                                                              std::string(deep, open[0] == '[' ? ']' : '}')),
                                            &out, &count));
    }
    std::string shallow = std::string(40, '[') + std::string(40, ']');
    EXPECT_EQ(VOREL_OK, Import(Document("", R"("platform": "windows", "x": )" + shallow), &out, &count));
    EXPECT_EQ(VOREL_ERR_INVALID, Import(std::string(5u << 20, ' ') + valid, &out, &count));
    EXPECT_EQ(VOREL_OK, Import(std::string(1u << 20, ' ') + valid, &out, &count));

    std::mt19937 random(20261208);
    const char pieces[] = "[]{}\",:\\0123456789.-etrufalsn \xC3\xA9\x80\xFF";
    for (int round = 0; round < 3000; ++round) {
        std::string text = valid;
        for (int edits = 1 + (int)(random() % 8); edits > 0; --edits) {
            size_t at = random() % text.size();
            char c = pieces[random() % (sizeof(pieces) - 1)];
            switch (random() % 3) {
            case 0: text[at] = c; break;
            case 1: text.insert(at, 1, c); break;
            default: text.erase(at, 1 + random() % 16); break;
            }
            if (text.empty())
                text = "{";
        }
        vorel_status status = Import(text, &out, &count);
        EXPECT_TRUE(status == VOREL_OK || status == VOREL_ERR_INVALID) << text;
    }
}

} // namespace
