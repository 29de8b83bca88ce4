/*
 * Boot configurations as JSON: round trips at every field's limit, the length
 * protocol of export, the rules of import, and hostile text.
 */
#include <vorellib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Records = std::vector<vorel_boot_config>;

/* Zero-filled records; a 27th, when asked for, is filled with a pattern no call may touch. */
Records Blank(size_t n)
{
    Records records(n);
    std::memset(records.data(), 0, n * sizeof(vorel_boot_config));
    if (n > 26)
        std::memset(&records[26], 0x5A, sizeof(vorel_boot_config));
    return records;
}

/* Exports records, checking the length protocol on the way: a buffer one byte short gets nothing. */
std::string Export(const Records &records)
{
    unsigned long long size = 0;
    EXPECT_EQ(VOREL_OK, vorel_config_export_json(records.data(), (unsigned)records.size(), nullptr, &size));
    std::string text(size + 1, '#');
    EXPECT_EQ(VOREL_ERR_SHORT_REPLY, vorel_config_export_json(records.data(), (unsigned)records.size(), text.data(), &size));
    EXPECT_EQ(text.size() - 1, size);
    EXPECT_EQ(std::string(text.size(), '#'), text);
    size = text.size();
    EXPECT_EQ(VOREL_OK, vorel_config_export_json(records.data(), (unsigned)records.size(), text.data(), &size));
    EXPECT_EQ(text.size() - 1, size);
    EXPECT_EQ('\0', text.back());
    text.pop_back();
    return text;
}

/* Imports text into 26 records and a 27th that must stay untouched. */
vorel_status Import(const std::string &text, Records *out, unsigned int *count)
{
    *out = Blank(27);
    Records spare = Blank(27);
    vorel_status status = vorel_config_import_json(text.c_str(), out->data(), count);
    EXPECT_LE(*count, 26u);
    EXPECT_EQ(0, std::memcmp(&spare[26], &(*out)[26], sizeof(vorel_boot_config)));
    return status;
}

std::string Document(const std::string &volumes, const std::string &head = R"("platform": "windows", "version": 1)")
{
    return "{" + head + ", \"volumes\": [" + volumes + "]}";
}

/* bytes of text made of unit (a tail of 'x'), with its NUL. */
void Fill(char *field, size_t bytes, const std::string &unit)
{
    std::string text;
    while (text.size() + unit.size() <= bytes)
        text += unit;
    std::memcpy(field, text.append(bytes - text.size(), 'x').c_str(), bytes + 1);
}

TEST(JsonConfig, ExportThenImportGivesBackEveryFieldAtItsLimits)
{
    EXPECT_EQ("{\n  \"platform\": \"windows\",\n  \"version\": 1,\n  \"volumes\": []\n}", Export({}));
    Records records = Blank(26);
    std::string folders, joined; /* joined: the folders without their empty lines */
    for (int i = 0; folders.size() < 4000; ++i) {
        std::string folder = std::string(1 + i % 40, (char)('a' + i % 26)) + "\\\xE2\x82\xAC";
        folders += (i % 3 ? "" : "\n\n") + folder + "\n";
        joined += (i ? "\n" : "") + folder;
    }
    joined += "\n" + std::string(4095 - folders.size(), 'z');
    folders.append(4095 - folders.size(), 'z');
    for (int i = 0; i < 26; ++i) {
        vorel_boot_config &r = records[i];
        r = {(char)('A' + i), 0x37, (unsigned)i % 8, i ? (unsigned)i : ~0u, ~0ull - (unsigned)i, 1, 0xC0000001u};
        Fill(r.label, 127, i % 2 ? "\xC3\xA9" : "\xF0\x9F\x98\x80\"\\\t");
        Fill(r.image_path, 2047, "C:\\\xE6\x97\xA5\\");
        std::memcpy(r.folders, folders.c_str(), 4096);
    }
    std::string text = Export(records);
    EXPECT_EQ(0u, text.find("{\n  \"platform\": \"windows\",\n  \"version\": 1,\n  \"volumes\": [\n    {\n"));
    EXPECT_NE(std::string::npos, text.find("\xF0\x9F\x98\x80")); /* UTF-8 is written as it is */
    EXPECT_LT(text.find("\"autoSave\""), text.find("\"autoSavePeriodSec\""));

    Records back;
    unsigned int count = 0;
    ASSERT_EQ(VOREL_OK, Import(text, &back, &count));
    ASSERT_EQ(26u, count);
    for (int i = 0; i < 26; ++i) {
        vorel_boot_config want = records[i];
        want.compression = want.compression > 3 ? 0 : want.compression;
        want.mounted = want.auto_mount_status = 0;
        std::memset(want.folders, 0, sizeof(want.folders));
        std::memcpy(want.folders, joined.c_str(), joined.size());
        EXPECT_EQ(0, std::memcmp(&want, &back[i], sizeof(want))) << i;
    }
    EXPECT_EQ(text, Export(Records(back.begin(), back.begin() + 26)));
}

TEST(JsonConfig, ExportRefusesBadArgumentsAndTextThatIsNotUtf8OrRunsPastItsField)
{
    Records records = Blank(27);
    unsigned long long size = 99;
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_export_json(records.data(), 27, nullptr, &size));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_export_json(nullptr, 1, nullptr, &size));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_export_json(records.data(), 1, nullptr, nullptr));
    for (int field = 0; field < 6; ++field) {
        Records one = Blank(1); /* the folders end the heap block: a read past them would show */
        one[0].letter = 'R';
        char *texts[] = {one[0].label, one[0].image_path, one[0].folders};
        size_t sizes[] = {sizeof(one[0].label), sizeof(one[0].image_path), sizeof(one[0].folders)};
        if (field < 3)
            std::memset(texts[field], 'a', sizes[field]);
        else if (field < 5)
            std::strcpy(texts[field - 3], field == 3 ? "caf\xC3" : "a\n\xED\xA0\x80"); /* cut; a surrogate */
        else
            one[0].letter = (char)0xC3;
        std::vector<char> buffer(size, '#');
        EXPECT_EQ(VOREL_ERR_INVALID, vorel_config_export_json(one.data(), 1, buffer.data(), &size)) << field;
        EXPECT_EQ(99u, size);
        EXPECT_EQ('#', buffer[0]);
    }
}

TEST(JsonConfig, ImportAppliesItsRulesToDocumentsAndVolumes)
{
    const std::string one = R"({"letter": "R"})";
    const std::pair<std::string, unsigned int> documents[] = { /* the text, and its count; ~0u: refused */
        {Document(one, R"("version": 1)"), ~0u}, {Document(one, R"("platform": "linux")"), ~0u},
        {Document(one, R"("platform": "windows", "version": 2)"), ~0u},
        {Document(one, R"("platform": "windows", "version": "1")"), ~0u},
        {Document(one, R"("platform": "windows", "version": -1)"), ~0u},
        {R"({"platform": "windows", "volumes": {}})", ~0u}, {R"({"platform": "windows"})", ~0u},
        {R"([{"platform": "windows", "volumes": []}])", ~0u}, {"", ~0u},
        {Document(one, R"("platform": "windows")"), 1}, {Document(one), 1},
        {Document(R"(1, "R", null, [], {}, {"letter": ""}, {"letter": 7}, {"letter": "ST"}, {"letter": "S"})"), 2},
    };
    Records out;
    unsigned int count;
    for (const auto &[text, expected] : documents) {
        count = 99;
        EXPECT_EQ(expected == ~0u ? VOREL_ERR_INVALID : VOREL_OK, Import(text, &out, &count)) << text;
        EXPECT_EQ(expected == ~0u ? 0 : expected, count) << text;
    }

    std::string volumes;
    for (const char *level : {R"("Fast")", "3", "-1", R"("max")", "4", "2.0", R"("normal")"})
        volumes += std::string(R"({"letter": "x", "compression": )") + level + "},";
    volumes += R"({"letter": "r", "sizeBytes": "5", "label": 5, "noSecurity": "true", "noRecycle": true,
                   "autoSave": 1, "savePeriodic": true, "autoSavePeriodSec": 4294967296,
                   "folders": ["a", "", 3, null, "b\\c"], "imagePath": ")" + std::string(2046, 'p') + "\xC3\xA9q\"}";
    ASSERT_EQ(VOREL_OK, Import(Document(volumes), &out, &count));
    ASSERT_EQ(8u, count);
    const unsigned int levels[] = {0, 3, 0, 3, 0, 0, 2};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(levels[i], out[i].compression) << i;
    EXPECT_EQ('r', out[7].letter);
    EXPECT_EQ(0u, out[7].size | out[7].period | (unsigned char)out[7].label[0]);
    EXPECT_EQ(0x30u, out[7].flags);
    EXPECT_STREQ("a\nb\\c", out[7].folders);
    EXPECT_EQ(std::string(2046, 'p'), out[7].image_path); /* no half character is kept */

    std::string many; /* 40 volumes, one letter: 26 records come back, duplicates as they are */
    for (int i = 0; i < 40; ++i)
        many += std::string(i ? "," : "") + R"({"letter": "D", "sizeBytes": )" + std::to_string(i) + "}";
    ASSERT_EQ(VOREL_OK, Import(Document(many), &out, &count));
    EXPECT_EQ(26u, count);
    EXPECT_EQ(25u, out[25].size);
}

TEST(JsonConfig, HostileTextGetsAStatusAndNeverMoreThan26Records)
{
    Records records = Blank(3);
    for (int i = 0; i < 3; ++i) {
        records[i].letter = (char)('P' + i);
        std::strcpy(records[i].label, "d\xC3\xA9j\xC3\xA0");
        std::strcpy(records[i].folders, "a\nb");
    }
    const std::string valid = Export(records);
    Records out;
    unsigned int count;
    for (size_t cut = 0; cut < valid.size(); ++cut)
        EXPECT_EQ(VOREL_ERR_INVALID, Import(valid.substr(0, cut), &out, &count)) << cut;

    for (size_t deep : {300000, 40}) { /* deep nesting is refused before parsing, however well formed */
        std::string nested = R"("platform": "windows", "x": )" + std::string(deep, '[') + std::string(deep, ']');
        EXPECT_EQ(deep > 64 ? VOREL_ERR_INVALID : VOREL_OK, Import(Document("", nested), &out, &count));
    }
    EXPECT_EQ(VOREL_ERR_INVALID, Import(std::string(5u << 20, ' ') + valid, &out, &count));
    EXPECT_EQ(VOREL_OK, Import(std::string(1u << 20, ' ') + valid, &out, &count));

    std::mt19937 random(20261208); /* random edits: overwrite, insert or erase */
    const char pieces[] = "[]{}\",:\\0123456789.-etrufalsn \xC3\xA9\x80\xFF";
    for (int round = 0; round < 3000; ++round) {
        std::string text = valid;
        for (int edits = 1 + (int)(random() % 8); edits > 0 && !text.empty(); --edits) {
            size_t at = random() % text.size(), kind = random() % 3;
            char c = pieces[random() % (sizeof(pieces) - 1)];
            if (kind == 0)
                text[at] = c;
            else if (kind == 1)
                text.insert(at, 1, c);
            else
                text.erase(at, 1 + random() % 16);
        }
        vorel_status status = Import(text, &out, &count);
        EXPECT_TRUE(status == VOREL_OK || status == VOREL_ERR_INVALID) << text;
    }
}

} // namespace
