/*
 * Hive files: the persistent keys in <state>/registry.hive, the volatile keys in
 * <runtime>/registry-volatile.hive.
 *
 * File format, version 1, every integer little-endian:
 *   header (32 bytes)
 *     0  magic "VORELREG"
 *     8  u32 version (1)
 *    12  u32 kind (1 persistent, 2 volatile)
 *    16  u64 payload length (the file is exactly header + payload)
 *    24  u32 CRC-32 of the payload
 *    28  u32 CRC-32 of header bytes 0..27
 *   payload
 *     u32 key count, then that many key records, each parent before its children:
 *       u32 parent          index of an earlier record, or 0xFFFFFFFF for a top record
 *       text anchor         top records only: the parent's path below \REGISTRY ("" = \REGISTRY)
 *       u64 last write time
 *       u32 flags           bit 0 volatile; no other bit is defined
 *       text name, text class
 *       u32 value count, then per value: u32 type, text name, u32 data length, data bytes
 *     where text = u32 byte length + UTF-16LE code units.
 *   The persistent hive has exactly one top record, \REGISTRY itself, and no
 *   volatile key; the volatile hive holds only volatile keys, each of its top
 *   records a subtree hung below the non-volatile key its anchor names.
 *   No key nests deeper than kMaxKeyDepth levels (\REGISTRY being the first).
 *
 * Writes go to <hive>.tmp, created afresh (never opened as found), which is synced
 * and renamed over the hive, and the directory is synced: a crash at any point
 * leaves either the old or the new hive. A temporary file left by a crash is
 * removed at the next boot. A hive that fails any check is moved aside to
 * <hive>.corrupt (never silently dropped), a line goes to standard error, and the
 * machine starts with that hive empty. A hive the machine cannot use at all (not a
 * regular file, unreadable) fails the boot instead: running without it would
 * overwrite what it holds at the next write.
 */
#include "cm/cmprocs.h"

#include "machine.h"

#include <ntstatus.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cm {
namespace {

constexpr char kMagic[8] = {'V', 'O', 'R', 'E', 'L', 'R', 'E', 'G'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderBytes = 32;
constexpr uint32_t kTopRecord = 0xFFFFFFFF;
constexpr uint32_t kFlagVolatile = 0x1;
constexpr char16_t kSeparator = u'\\';

uint32_t FileKind(HiveKind kind)
{
    return kind == kPersistentHive ? 1 : 2;
}

/* CRC-32 (IEEE 802.3, reflected, as zlib computes it). */
uint32_t Crc32(const uint8_t *data, size_t length)
{
    static const auto table = [] {
        std::array<uint32_t, 256> entries{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[i] = c;
        }
        return entries;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string ErrnoText()
{
    return std::strerror(errno);
}

std::string DirectoryOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

/* ---- Encoding ------------------------------------------------------------------------ */

class Encoder {
public:
    void U32(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes.push_back((uint8_t)(v >> (8 * i)));
    }
    void U64(uint64_t v)
    {
        for (int i = 0; i < 8; ++i)
            bytes.push_back((uint8_t)(v >> (8 * i)));
    }
    void Text(const std::u16string &text)
    {
        U32((uint32_t)(text.size() * 2));
        for (char16_t c : text) {
            bytes.push_back((uint8_t)c);
            bytes.push_back((uint8_t)(c >> 8));
        }
    }
    void Raw(const std::vector<uint8_t> &data)
    {
        U32((uint32_t)data.size());
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    void PatchU32(size_t offset, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            bytes[offset + i] = (uint8_t)(v >> (8 * i));
    }
    std::vector<uint8_t> bytes;
};

/* The path below \REGISTRY of a key ("" for \REGISTRY itself). */
std::u16string AnchorOf(const Node *parent)
{
    std::vector<const Node *> chain;
    for (const Node *n = parent; n != nullptr && n->parent != nullptr; n = n->parent)
        chain.push_back(n);
    std::u16string anchor;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if (!anchor.empty())
            anchor += kSeparator;
        anchor += (*it)->name;
    }
    return anchor;
}

void EncodeKey(Encoder &out, const Node &node, uint32_t parent)
{
    out.U32(parent);
    if (parent == kTopRecord)
        out.Text(AnchorOf(node.parent));
    out.U64(node.lastWriteTime);
    out.U32(node.isVolatile ? kFlagVolatile : 0);
    out.Text(node.name);
    out.Text(node.className);
    out.U32((uint32_t)node.values.size());
    for (const Value &value : node.values) {
        out.U32(value.type);
        out.Text(value.name);
        out.Raw(value.data);
    }
}

/*
 * One key and, below it, every key of the same hive, in pre-order (lock held). The
 * walk keeps its own stack rather than recursing, so its depth costs heap, not
 * thread stack; subkeys are pushed last first so that they are written in
 * enumeration order.
 */
void EncodeSubtree(Encoder &out, const Node &top, HiveKind kind, uint32_t &count)
{
    struct Pending {
        const Node *node;
        uint32_t parent;
    };
    std::vector<Pending> stack{{&top, kTopRecord}};
    while (!stack.empty()) {
        Pending pending = stack.back();
        stack.pop_back();
        uint32_t self = count++;
        EncodeKey(out, *pending.node, pending.parent);
        const auto &subkeys = pending.node->subkeys;
        for (auto it = subkeys.rbegin(); it != subkeys.rend(); ++it)
            if (it->second->isVolatile == (kind == kVolatileHive))
                stack.push_back({it->second.get(), self});
    }
}

/* The volatile subtrees hang below non-volatile keys; find their tops, in the same
 * order a recursive walk would, without recursing (lock held). */
void EncodeVolatileTops(Encoder &out, const Node &root, uint32_t &count)
{
    std::vector<const Node *> stack{&root};
    while (!stack.empty()) {
        const Node *node = stack.back();
        stack.pop_back();
        if (node->isVolatile) {
            EncodeSubtree(out, *node, kVolatileHive, count);
            continue;
        }
        for (auto it = node->subkeys.rbegin(); it != node->subkeys.rend(); ++it)
            stack.push_back(it->second.get());
    }
}

/* The whole file image of one hive (lock held). */
std::vector<uint8_t> EncodeHive(const Registry &registry, HiveKind kind)
{
    Encoder payload;
    payload.U32(0);
    uint32_t count = 0;
    if (kind == kPersistentHive)
        EncodeSubtree(payload, *registry.root, kind, count);
    else
        EncodeVolatileTops(payload, *registry.root, count);
    payload.PatchU32(0, count);

    Encoder file;
    file.bytes.assign(kMagic, kMagic + sizeof(kMagic));
    file.U32(kVersion);
    file.U32(FileKind(kind));
    file.U64(payload.bytes.size());
    file.U32(Crc32(payload.bytes.data(), payload.bytes.size()));
    file.U32(Crc32(file.bytes.data(), file.bytes.size()));
    file.bytes.insert(file.bytes.end(), payload.bytes.begin(), payload.bytes.end());
    return file.bytes;
}

/* ---- Decoding ------------------------------------------------------------------------ */

class Decoder {
public:
    Decoder(const uint8_t *data, size_t length) : data_(data), left_(length) {}
    bool Failed() const { return failed_; }
    bool AtEnd() const { return left_ == 0; }
    uint32_t U32() { return (uint32_t)Integer(4); }
    uint64_t U64() { return Integer(8); }
    std::u16string Text(size_t maxBytes)
    {
        uint32_t bytes = U32();
        if (failed_ || (bytes & 1) || bytes > maxBytes || bytes > left_)
            return Fail<std::u16string>();
        std::u16string text(bytes / 2, u'\0');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = (char16_t)(data_[2 * i] | (data_[2 * i + 1] << 8));
        Skip(bytes);
        return text;
    }
    std::vector<uint8_t> Raw()
    {
        uint32_t bytes = U32();
        if (failed_ || bytes > left_)
            return Fail<std::vector<uint8_t>>();
        std::vector<uint8_t> raw(data_, data_ + bytes);
        Skip(bytes);
        return raw;
    }

private:
    uint64_t Integer(size_t width)
    {
        if (failed_ || left_ < width)
            return Fail<uint64_t>();
        uint64_t v = 0;
        for (size_t i = 0; i < width; ++i)
            v |= (uint64_t)data_[i] << (8 * i);
        Skip(width);
        return v;
    }
    void Skip(size_t bytes)
    {
        data_ += bytes;
        left_ -= bytes;
    }
    template <typename T> T Fail()
    {
        failed_ = true;
        return T();
    }
    const uint8_t *data_;
    size_t left_;
    bool failed_ = false;
};

struct DecodedHive {
    std::unique_ptr<Node> root;                                   /* persistent */
    std::vector<std::pair<std::u16string, std::unique_ptr<Node>>> tops; /* volatile: anchor, subtree */
};

bool ValidKeyName(const std::u16string &name)
{
    return !name.empty() && name.find(kSeparator) == std::u16string::npos;
}

/* How deep the key an anchor names lies: 1 for \REGISTRY (""), one more per component. */
uint64_t AnchorDepth(const std::u16string &anchor)
{
    if (anchor.empty())
        return 1;
    uint64_t depth = 2;
    for (char16_t c : anchor)
        depth += c == kSeparator;
    return depth;
}

/* Checks and decodes a whole file; on failure says why in *reason. */
bool DecodeHive(const std::vector<uint8_t> &file, HiveKind kind, DecodedHive *hive, std::string *reason)
{
    if (file.size() < kHeaderBytes || std::memcmp(file.data(), kMagic, sizeof(kMagic)) != 0) {
        *reason = "not a hive file";
        return false;
    }
    Decoder header(file.data() + 8, kHeaderBytes - 8);
    uint32_t version = header.U32();
    uint32_t fileKind = header.U32();
    uint64_t payloadLength = header.U64();
    uint32_t payloadCrc = header.U32();
    uint32_t headerCrc = header.U32();
    if (headerCrc != Crc32(file.data(), kHeaderBytes - 4)) {
        *reason = "header checksum mismatch";
        return false;
    }
    if (version != kVersion || fileKind != FileKind(kind)) {
        *reason = "version " + std::to_string(version) + ", kind " + std::to_string(fileKind) + " not understood";
        return false;
    }
    if (payloadLength != file.size() - kHeaderBytes) {
        *reason = "length " + std::to_string(file.size()) + " does not match the header";
        return false;
    }
    if (payloadCrc != Crc32(file.data() + kHeaderBytes, payloadLength)) {
        *reason = "payload checksum mismatch";
        return false;
    }

    Decoder in(file.data() + kHeaderBytes, payloadLength);
    uint32_t count = in.U32();
    std::vector<Node *> nodes;
    std::vector<uint32_t> depths; /* of each record's key, as the tree will hold it */
    for (uint32_t i = 0; i < count && !in.Failed(); ++i) {
        uint32_t parent = in.U32();
        std::u16string anchor;
        if (parent == kTopRecord)
            anchor = in.Text(SIZE_MAX);
        auto node = std::make_unique<Node>();
        node->lastWriteTime = in.U64();
        uint32_t flags = in.U32();
        node->name = in.Text(kMaxKeyNameBytes);
        node->className = in.Text(kMaxClassBytes);
        uint32_t values = in.U32();
        for (uint32_t v = 0; v < values && !in.Failed(); ++v) {
            Value value;
            value.type = in.U32();
            value.name = in.Text(kMaxValueNameBytes);
            value.data = in.Raw();
            if (FindValue(node.get(), value.name.data(), value.name.size()) >= 0) {
                *reason = "key record " + std::to_string(i) + " repeats a value name";
                return false;
            }
            node->values.push_back(std::move(value));
        }
        if (in.Failed())
            break;
        node->isVolatile = (flags & kFlagVolatile) != 0;
        bool wellFormed = (flags & ~kFlagVolatile) == 0 && node->isVolatile == (kind == kVolatileHive) &&
                          (parent == kTopRecord || parent < i) && ValidKeyName(node->name);
        if (kind == kPersistentHive)
            wellFormed = wellFormed && (i == 0) == (parent == kTopRecord) && (i != 0 || anchor.empty()) &&
                         (i != 0 || UpcaseName(node->name) == u"REGISTRY");
        if (!wellFormed) {
            *reason = "key record " + std::to_string(i) + " is malformed";
            return false;
        }
        // Refused before it is linked, so that no tree built here is ever deeper than
        // the registry allows, however deep the file's keys go.
        uint64_t depth = parent == kTopRecord ? AnchorDepth(anchor) + (kind == kVolatileHive) : depths[parent] + 1ull;
        if (depth > kMaxKeyDepth) {
            *reason = "key record " + std::to_string(i) + " nests deeper than " + std::to_string(kMaxKeyDepth) +
                      " levels";
            return false;
        }
        nodes.push_back(node.get());
        depths.push_back((uint32_t)depth);
        if (parent == kTopRecord) {
            if (kind == kPersistentHive)
                hive->root = std::move(node);
            else
                hive->tops.emplace_back(std::move(anchor), std::move(node));
            continue;
        }
        node->parent = nodes[parent];
        if (!nodes[parent]->subkeys.emplace(UpcaseName(node->name), std::move(node)).second) {
            *reason = "key record " + std::to_string(i) + " repeats a subkey name";
            return false;
        }
    }
    if (in.Failed() || !in.AtEnd() || nodes.size() != count || (kind == kPersistentHive && count == 0)) {
        *reason = "payload is truncated or has trailing bytes";
        return false;
    }
    return true;
}

/* ---- Files ------------------------------------------------------------------------------ */

enum class HiveFile { Read, Missing, Unusable };

/*
 * The hive file's bytes. O_NOFOLLOW: a symbolic link in the hive's place is refused,
 * never followed to a file of its choosing. O_NONBLOCK: opening a FIFO for reading
 * would wait, forever and deaf to signals, for a writer. O_NOCTTY: a terminal device
 * must not become a detached host's controlling terminal. Whatever opened is then
 * refused unless fstat says it is a regular file. Unusable comes with *error.
 */
HiveFile ReadHiveFile(const std::string &path, std::vector<uint8_t> *bytes, std::string *error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return HiveFile::Missing;
        struct stat link;
        if (errno == ELOOP && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
            *error = "registry hive " + path + " is a symbolic link; refusing to follow it";
        else
            *error = "cannot open registry hive " + path + ": " + ErrnoText();
        return HiveFile::Unusable;
    }
    HiveFile result = HiveFile::Read;
    struct stat status;
    if (fstat(fd, &status) != 0) {
        *error = "cannot stat registry hive " + path + ": " + ErrnoText();
        result = HiveFile::Unusable;
    } else if (!S_ISREG(status.st_mode)) {
        *error = "registry hive " + path + " is not a regular file";
        result = HiveFile::Unusable;
    } else {
        bytes->resize((size_t)status.st_size);
        size_t done = 0;
        while (done < bytes->size()) {
            ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *error = "cannot read registry hive " + path + ": " + ErrnoText();
                result = HiveFile::Unusable;
                break;
            }
            if (n == 0)
                break;
            done += (size_t)n;
        }
        bytes->resize(done);
    }
    close(fd);
    return result;
}

/* A damaged hive is kept for inspection under the first free <hive>.corrupt[.n]
 * name (a name taken by anything, a dangling link included, is not free). False,
 * with *error, when it cannot be moved. */
bool SetHiveAside(const std::string &path, const std::string &reason, std::string *error)
{
    std::string aside = path + ".corrupt";
    std::error_code ignored;
    for (int n = 1; std::filesystem::exists(std::filesystem::symlink_status(aside, ignored)); ++n)
        aside = path + ".corrupt." + std::to_string(n);
    if (rename(path.c_str(), aside.c_str()) != 0) {
        *error = "registry hive " + path + " is damaged (" + reason + ") and cannot be moved aside: " + ErrnoText();
        return false;
    }
    std::fprintf(stderr, "cm: registry hive %s is damaged (%s); moved it to %s and started with that hive empty\n",
                 path.c_str(), reason.c_str(), aside.c_str());
    return true;
}

bool WriteAll(int fd, const uint8_t *data, size_t length)
{
    while (length != 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        data += n;
        length -= (size_t)n;
    }
    return true;
}

/*
 * Replaces a hive file: temporary file, fsync, rename, fsync of the directory.
 * The temporary file is always a new one: whatever has its name (the leftover of a
 * write cut short, or a link planted there to make this root process truncate a
 * file of its choosing) is unlinked first, which removes a link itself and never
 * its target, and O_EXCL | O_NOFOLLOW refuse anything that is there at the open
 * (a directory unlink could not remove, or a link planted again in between).
 * The fault site stops after half of the temporary file, as a crash would, and
 * leaves it behind. False, with *error naming the file and the reason, when the
 * hive could not be replaced.
 */
bool WriteHiveFile(const std::string &path, const std::vector<uint8_t> &image, const char *faultSite,
                   std::string *error)
{
    std::string temporary = path + ".tmp";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot create " + temporary + ": " + ErrnoText();
        return false;
    }
    if (machine::ShouldFail(faultSite)) {
        WriteAll(fd, image.data(), image.size() / 2);
        close(fd);
        *error = "writing " + temporary + " failed (injected fault)";
        return false;
    }
    bool written = WriteAll(fd, image.data(), image.size()) && fsync(fd) == 0;
    std::string reason = written ? std::string() : ErrnoText();
    if (close(fd) != 0 && written) {
        written = false;
        reason = ErrnoText();
    }
    if (written && rename(temporary.c_str(), path.c_str()) != 0) {
        written = false;
        reason = ErrnoText();
    }
    if (!written) {
        *error = "writing " + path + " failed: " + reason;
        unlink(temporary.c_str());
        return false;
    }
    int directory = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool durable = directory >= 0 && fsync(directory) == 0;
    if (!durable)
        reason = ErrnoText();
    if (directory >= 0)
        close(directory);
    if (!durable) {
        *error = "syncing the directory of " + path + " failed: " + reason;
        return false;
    }
    return true;
}

bool MakeDirectory(const std::string &directory, std::string *error)
{
    std::error_code failure;
    std::filesystem::create_directories(directory, failure);
    if (failure) {
        *error = "cannot create directory " + directory + ": " + failure.message();
        return false;
    }
    return true;
}

/*
 * One owner per state directory: a second machine (or a tool editing the hive)
 * would overwrite the other's writes, so a boot that finds the lock taken fails at
 * once rather than run with a registry it cannot keep. The lock goes with the
 * descriptor, so a machine that crashed never leaves it behind. The lock file is
 * opened as the hive is read: no link followed, no FIFO waited on, nothing but a
 * regular file used.
 */
bool LockStateDirectory(Registry &registry, const std::string &directory, std::string *error)
{
    if (!MakeDirectory(directory, error))
        return false;
    std::string path = directory + "/registry.lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + ErrnoText();
        return false;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        *error = path + " is not a regular file";
        close(fd);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            *error = path + " is held by another machine or tool; refusing to boot on the same state directory";
        else
            *error = "cannot lock " + path + ": " + ErrnoText();
        close(fd);
        return false;
    }
    registry.lockDescriptor = fd;
    return true;
}

std::unique_ptr<Node> EmptyRoot()
{
    auto root = std::make_unique<Node>();
    root->name = u"REGISTRY";
    root->lastWriteTime = Now();
    return root;
}

/* The key an anchor names, or null (lock held). */
Node *ResolveAnchor(Node *root, const std::u16string &anchor)
{
    Node *node = root;
    size_t start = 0;
    while (node != nullptr && start < anchor.size()) {
        size_t end = anchor.find(kSeparator, start);
        if (end == std::u16string::npos)
            end = anchor.size();
        node = FindSubkey(node, anchor.substr(start, end - start));
        start = end + 1;
    }
    return node;
}

std::string Narrow(const std::u16string &text)
{
    std::string narrow;
    for (char16_t c : text)
        narrow += (c >= 0x20 && c < 0x7F) ? (char)c : '?';
    return narrow;
}

/*
 * Reads and decodes one hive file after clearing a write that never finished.
 * False only when the boot must fail (*error says why); *found says whether a
 * usable hive came out (a missing one, or a damaged one set aside, gives none).
 */
bool ReadHive(const std::string &path, HiveKind kind, DecodedHive *hive, bool *found, std::string *error)
{
    *found = false;
    unlink((path + ".tmp").c_str()); /* a write that never finished */
    std::vector<uint8_t> file;
    switch (ReadHiveFile(path, &file, error)) {
    case HiveFile::Missing:
        return true;
    case HiveFile::Unusable:
        return false;
    case HiveFile::Read:
        break;
    }
    std::string reason;
    if (!DecodeHive(file, kind, hive, &reason))
        return SetHiveAside(path, reason, error);
    *found = true;
    return true;
}

} // namespace

bool LoadPersistentHive(Registry &registry, std::unique_ptr<Node> *root, std::string *error)
{
    const std::string &path = registry.hivePath[kPersistentHive];
    *root = EmptyRoot();
    if (path.empty())
        return true;
    if (!LockStateDirectory(registry, DirectoryOf(path), error))
        return false;
    DecodedHive hive;
    bool found;
    if (!ReadHive(path, kPersistentHive, &hive, &found, error))
        return false;
    if (found)
        *root = std::move(hive.root);
    return true;
}

bool LoadVolatileHive(Registry &registry, std::string *error)
{
    const std::string &path = registry.hivePath[kVolatileHive];
    if (path.empty())
        return true;
    if (!MakeDirectory(DirectoryOf(path), error))
        return false;
    DecodedHive hive;
    bool found;
    if (!ReadHive(path, kVolatileHive, &hive, &found, error))
        return false;
    if (!found)
        return true;
    std::lock_guard<std::mutex> guard(registry.lock);
    for (auto &[anchor, top] : hive.tops) {
        // A volatile key outlives its hive file's partner only when the persistent
        // hive was replaced or damaged: its parent is gone or a persistent key took
        // its name. The persistent state wins; the subtree is dropped, and said so.
        Node *parent = ResolveAnchor(registry.root.get(), anchor);
        if (parent == nullptr || FindSubkey(parent, top->name) != nullptr) {
            std::fprintf(stderr, "cm: volatile key %s\\%s has no place in the registry any more; dropped\n",
                         Narrow(anchor).c_str(), Narrow(top->name).c_str());
            NoteHiveChange(registry, kVolatileHive);
            continue;
        }
        top->parent = parent;
        std::u16string key = UpcaseName(top->name);
        parent->subkeys.emplace(std::move(key), std::move(top));
    }
    return true;
}

bool SaveHive(Registry &registry, HiveKind kind, const char *faultSite, std::string *error)
{
    std::lock_guard<std::mutex> fileGuard(registry.fileLock);
    std::vector<uint8_t> image;
    uint64_t snapshot;
    std::string path;
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        if (!registry.booted || registry.changes[kind] == registry.saved[kind])
            return true;
        snapshot = registry.changes[kind];
        if (registry.hivePath[kind].empty()) {
            registry.saved[kind] = snapshot; /* kept in memory only */
            return true;
        }
        path = registry.hivePath[kind];
        image = EncodeHive(registry, kind);
    }
    if (!WriteHiveFile(path, image, faultSite, error))
        return false;
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.saved[kind] = snapshot; /* changes made meanwhile keep the hive dirty */
    return true;
}

void ReleaseHiveLock(Registry &registry)
{
    if (registry.lockDescriptor >= 0)
        close(registry.lockDescriptor);
    registry.lockDescriptor = -1;
}

} // namespace cm
