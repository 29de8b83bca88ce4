/*
 * Boot-volume configurations as a JSON document, for saving them to a file and
 * storing them again elsewhere. This file is Linux-world code: it sees only the
 * library's C interface (UTF-8 records), never a Windows header, and no exception
 * leaves it.
 *
 * The document: {"platform": "windows", "version": 1, "volumes": [ {...}, ... ]},
 * each volume with the keys "letter", "sizeBytes", "label", "imagePath",
 * "compression" (a level name), "noSecurity", "noRecycle", "manualMount",
 * "autoSave", "savePeriodic", "autoSavePeriodSec" and "folders" (one string per
 * folder). Keys are written sorted, indented by two spaces, text as UTF-8.
 */
#define VORELLIB_BUILDING 1
#include "vorellib.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Json = nlohmann::json;

constexpr unsigned int kMaxEntries = 26;
/*
 * The longest text import reads. The largest document export can write (26 volumes
 * with every string at its limit, folders of one-byte names) is well under 1 MiB.
 */
constexpr size_t kMaxImportText = 4u << 20;
/* A configuration document nests four levels deep; anything far deeper is refused
 * before parsing, so no part of parsing or freeing the value can run out of stack. */
constexpr int kMaxNesting = 64;

const char *const kLevelNames[] = {"none", "fast", "normal", "max"};

struct FlagKey {
    const char *key;
    unsigned int flag;
};
const FlagKey kFlagKeys[] = {
    {"noSecurity", 0x1}, {"noRecycle", 0x20}, {"manualMount", 0x2}, {"autoSave", 0x4}, {"savePeriodic", 0x10},
};

/*
 * Whether bytes[0..length) is well-formed UTF-8: no overlong forms, no surrogates,
 * nothing above U+10FFFF (what the system's strict UTF-8 conversion accepts).
 */
bool ValidUtf8(const unsigned char *bytes, size_t length)
{
    size_t i = 0;
    while (i < length) {
        unsigned char c = bytes[i];
        size_t extra;
        unsigned char low = 0x80, high = 0xBF; /* bounds of the second byte */
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0)
                low = 0xA0; /* overlong */
            if (c == 0xED)
                high = 0x9F; /* surrogates */
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0)
                low = 0x90; /* overlong */
            if (c == 0xF4)
                high = 0x8F; /* above U+10FFFF */
        } else {
            return false;
        }
        if (length - i <= extra)
            return false;
        if (bytes[i + 1] < low || bytes[i + 1] > high)
            return false;
        for (size_t k = 2; k <= extra; ++k)
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
        i += extra + 1;
    }
    return true;
}

/*
 * A record's text field: the bytes up to its NUL, which must lie inside the array,
 * and valid UTF-8. False for a field that is neither (the export is refused).
 */
template <size_t N>
bool FieldText(const char (&field)[N], std::string_view *text)
{
    const void *end = std::memchr(field, 0, N);
    if (end == nullptr)
        return false;
    size_t length = (size_t)(static_cast<const char *>(end) - field);
    if (!ValidUtf8(reinterpret_cast<const unsigned char *>(field), length))
        return false;
    *text = std::string_view(field, length);
    return true;
}

/* One volume object from a record; false when a text field is unusable. */
bool VolumeObject(const vorel_boot_config &entry, Json *volume)
{
    std::string_view label, imagePath, folders;
    // A letter is one character of text: a byte above 0x7F is no character on its own.
    if ((unsigned char)entry.letter > 0x7F || !FieldText(entry.label, &label) ||
        !FieldText(entry.image_path, &imagePath) || !FieldText(entry.folders, &folders))
        return false;
    Json &v = *volume;
    v = Json::object();
    v["letter"] = std::string(1, entry.letter);
    v["sizeBytes"] = entry.size;
    v["label"] = std::string(label);
    v["imagePath"] = std::string(imagePath);
    v["compression"] = kLevelNames[entry.compression < 4 ? entry.compression : 0];
    for (const FlagKey &key : kFlagKeys)
        v[key.key] = (entry.flags & key.flag) != 0;
    v["autoSavePeriodSec"] = entry.period;
    Json list = Json::array();
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find('\n', start);
        if (end == std::string_view::npos)
            end = folders.size();
        if (end > start)
            list.push_back(std::string(folders.substr(start, end - start)));
        start = end + 1;
    }
    v["folders"] = std::move(list);
    return true;
}

/*
 * Whether no array or object in text[0..length) opens deeper than limit. Brackets
 * inside strings do not count; a malformed text is left to the parser.
 */
bool NestingWithin(const char *text, size_t length, int limit)
{
    int depth = 0;
    bool inString = false, escaped = false;
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit)
                return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

/*
 * Copies text into field (size bytes with its NUL), cut to size - 1 bytes at a
 * character boundary, so a cut never leaves half a character behind.
 */
template <size_t N>
void CopyCut(std::string_view text, char (&field)[N])
{
    size_t length = text.size();
    if (length > N - 1) {
        length = N - 1;
        while (length > 0 && ((unsigned char)text[length] & 0xC0) == 0x80)
            --length;
    }
    if (length != 0)
        std::memcpy(field, text.data(), length);
    field[length] = 0;
}

/* The string under key in object, or empty when absent or not a string. */
std::string_view StringKey(const Json &object, const char *key)
{
    auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return {};
    return it->get_ref<const std::string &>();
}

/* An unsigned number under key that is at most limit, or false. */
bool UnsignedKey(const Json &object, const char *key, unsigned long long limit, unsigned long long *value)
{
    auto it = object.find(key);
    if (it == object.end() || !it->is_number_unsigned())
        return false;
    unsigned long long number = it->get<unsigned long long>();
    if (number > limit)
        return false;
    *value = number;
    return true;
}

/* A record from one volume object; false when the element is to be skipped. */
bool ReadVolume(const Json &element, vorel_boot_config *entry)
{
    if (!element.is_object())
        return false;
    std::string_view letter = StringKey(element, "letter");
    if (letter.empty())
        return false;
    std::memset(entry, 0, sizeof(*entry));
    entry->letter = letter[0];
    unsigned long long number;
    if (UnsignedKey(element, "sizeBytes", ~0ull, &number))
        entry->size = number;
    CopyCut(StringKey(element, "label"), entry->label);
    CopyCut(StringKey(element, "imagePath"), entry->image_path);
    auto compression = element.find("compression");
    if (UnsignedKey(element, "compression", 3, &number)) {
        entry->compression = (unsigned int)number;
    } else if (compression != element.end() && compression->is_string()) {
        const std::string &name = compression->get_ref<const std::string &>();
        for (unsigned int level = 1; level < 4; ++level)
            if (name == kLevelNames[level])
                entry->compression = level;
    }
    for (const FlagKey &key : kFlagKeys) {
        auto flag = element.find(key.key);
        if (flag != element.end() && flag->is_boolean() && flag->get<bool>())
            entry->flags |= key.flag;
    }
    if (UnsignedKey(element, "autoSavePeriodSec", 0xFFFFFFFFull, &number))
        entry->period = (unsigned int)number;
    auto folders = element.find("folders");
    if (folders != element.end() && folders->is_array()) {
        std::string joined;
        for (const Json &folder : *folders) {
            if (!folder.is_string() || folder.get_ref<const std::string &>().empty())
                continue;
            if (!joined.empty())
                joined += '\n';
            joined += folder.get_ref<const std::string &>();
            if (joined.size() >= sizeof(entry->folders))
                break; /* the rest would be cut anyway */
        }
        CopyCut(joined, entry->folders);
    }
    return true;
}

/* Parses text[0..length) and fills entries and *count from it; the status. May throw std::bad_alloc. */
vorel_status ImportDocument(const char *text, size_t length, vorel_boot_config *entries, unsigned int *count)
{
    if (!NestingWithin(text, length, kMaxNesting))
        return VOREL_ERR_INVALID;
    Json root = Json::parse(text, text + length, nullptr, false);
    if (root.is_discarded() || !root.is_object())
        return VOREL_ERR_INVALID;
    if (StringKey(root, "platform") != "windows")
        return VOREL_ERR_INVALID;
    unsigned long long version;
    // A version must be a number this library knows: anything else is another format.
    if (root.contains("version") && !UnsignedKey(root, "version", 1, &version))
        return VOREL_ERR_INVALID;
    auto volumes = root.find("volumes");
    if (volumes == root.end() || !volumes->is_array())
        return VOREL_ERR_INVALID;
    // Records are gathered first, so a failure part-way leaves the caller's array as it was.
    std::vector<vorel_boot_config> records(kMaxEntries);
    unsigned int produced = 0;
    for (const Json &element : *volumes) {
        if (produced == kMaxEntries)
            break;
        if (ReadVolume(element, &records[produced]))
            ++produced;
    }
    std::memcpy(entries, records.data(), produced * sizeof(vorel_boot_config));
    *count = produced;
    return VOREL_OK;
}

/* The document of entries[0..count) into buffer (null: length only); *size as in the export call. May throw. */
vorel_status ExportDocument(const vorel_boot_config *entries, unsigned int count, char *buffer,
                            unsigned long long *size)
{
    Json root = Json::object();
    root["platform"] = "windows";
    root["version"] = 1u;
    Json &volumes = root["volumes"] = Json::array();
    for (unsigned int i = 0; i < count; ++i) {
        Json volume;
        if (!VolumeObject(entries[i], &volume))
            return VOREL_ERR_INVALID;
        volumes.push_back(std::move(volume));
    }
    // Text fields were checked above; replacing rather than throwing is only the last guard.
    std::string text = root.dump(2, ' ', false, Json::error_handler_t::replace);
    unsigned long long length = text.size();
    if (buffer != nullptr) {
        if (*size < length + 1) {
            *size = length;
            return VOREL_ERR_SHORT_REPLY;
        }
        std::memcpy(buffer, text.c_str(), text.size() + 1);
    }
    *size = length;
    return VOREL_OK;
}

} // namespace

extern "C" {

VORELLIB_API vorel_status vorel_config_export_json(const vorel_boot_config *entries, unsigned int count,
                                                   char *buffer, unsigned long long *size)
{
    if (size == nullptr || count > kMaxEntries || (entries == nullptr && count != 0))
        return VOREL_ERR_INVALID;
    try {
        return ExportDocument(entries, count, buffer, size);
    } catch (...) {
        return VOREL_ERR_NO_MEMORY; /* the JSON library fails only for want of memory */
    }
}

VORELLIB_API vorel_status vorel_config_import_json(const char *text, vorel_boot_config *entries,
                                                   unsigned int *count)
{
    if (count != nullptr)
        *count = 0;
    if (text == nullptr || entries == nullptr || count == nullptr)
        return VOREL_ERR_INVALID;
    size_t length = strnlen(text, kMaxImportText + 1);
    if (length > kMaxImportText)
        return VOREL_ERR_INVALID;
    try {
        return ImportDocument(text, length, entries, count);
    } catch (...) {
        return VOREL_ERR_NO_MEMORY;
    }
}

} // extern "C"
