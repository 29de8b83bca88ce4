/*
 * The stream model: random consistent streams, written through the driver's
 * writer and read back through its reader with the load's ordering and counting
 * rules.
 */
#include "image_test.h"

static Bytes RandomBytes(std::mt19937_64 &random, size_t length)
{
    Bytes bytes(length);
    for (auto &b : bytes)
        b = (UCHAR)random();
    return bytes;
}

static std::u16string RandomName(std::mt19937_64 &random, ULONGLONG id, ULONG k)
{
    std::u16string name = u"n";
    for (char c : std::to_string(id) + "." + std::to_string(k))
        name += (char16_t)c;
    if (random() % 4 == 0)
        name += (char16_t)(0x100 + random() % 0xD000); /* not ASCII, not a surrogate */
    if (random() % 8 == 0)
        name.resize(IMAGE_NAME_BYTES_MAX / 2, u'x'); /* the longest name */
    return name;
}

/* The data map of a file: some of its extents, raw or compressed, each in a slot of its own. */
static std::vector<IMAGE_DATA_MAP_ENTRY> RandomMap(std::mt19937_64 &random, ULONGLONG size,
                                                   std::vector<ULONG> &freeSlots)
{
    std::vector<IMAGE_DATA_MAP_ENTRY> map;
    ULONGLONG extents = (size + IMAGE_SLOT_SIZE - 1) >> IMAGE_SLOT_SHIFT;
    std::vector<ULONG> numbers;
    if (extents == 0)
        return map;
    for (int i = 0; i < 6; ++i)
        numbers.push_back((ULONG)(i < 2 ? std::min<ULONGLONG>(i, extents - 1) : random() % extents));
    numbers.push_back((ULONG)(extents - 1)); /* the tail */
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    for (ULONG number : numbers) {
        if (freeSlots.empty() || (random() % 3 == 0 && number != extents - 1))
            continue; /* a hole */
        ULONGLONG rest = size - ((ULONGLONG)number << IMAGE_SLOT_SHIFT);
        ULONG covered = (ULONG)std::min<ULONGLONG>(IMAGE_SLOT_SIZE, rest);
        IMAGE_DATA_MAP_ENTRY e = {};
        e.ExtentNumber = number;
        e.SlotNumber = freeSlots.back();
        freeSlots.pop_back();
        e.Checksum = random();
        if (random() % 2 && covered > 1) {
            e.ExtentLength = (covered + 4095) / 4096 * 4096;
            ULONG stored = 1 + (ULONG)(random() % (e.ExtentLength - 1));
            e.StorageWord = stored | ((ULONG)(CODEC_LZ4 + random() % 3) << IMAGE_STORED_CODEC_SHIFT);
        } else {
            e.ExtentLength = random() % 4 == 0 ? 1 + (ULONG)(random() % covered) : covered;
            e.StorageWord = random() % 2 ? IMAGE_STORED_COLD : 0;
        }
        map.push_back(e);
    }
    return map;
}

StreamModel RandomModel(unsigned seed, ULONGLONG highWater)
{
    static const ULONGLONG sizes[] = {0, 1, 4095, 4096, IMAGE_SLOT_SIZE, IMAGE_SLOT_SIZE + 5,
                                      5 * IMAGE_SLOT_SIZE + 7, 1ull << 40, IMAGE_NODE_SIZE_MAX};
    std::mt19937_64 random(seed);
    StreamModel model;
    model.HasSecurityTable = random() % 4 != 0;
    if (model.HasSecurityTable) {
        model.Descriptors.resize(random() % 5);
        for (auto &d : model.Descriptors)
            d = RandomBytes(random, 1 + random() % 90);
    }
    model.SkippedRecords = (ULONG)(random() % 3);
    std::vector<ULONG> freeSlots;
    for (ULONG slot = 0; slot < highWater; ++slot)
        freeSlots.push_back(slot);
    std::shuffle(freeSlots.begin(), freeSlots.end(), random);

    auto security = [&]() {
        return model.Descriptors.empty() || random() % 3 == 0 ? IMAGE_NODE_NO_SECURITY
                                                              : (ULONG)(random() % model.Descriptors.size());
    };
    ModelNode root;
    root.Fixed.NodeId = IMAGE_NODE_ROOT_ID;
    root.Fixed.LinkCount = 1;
    root.Fixed.Flags = IMAGE_NODE_DIRECTORY;
    root.Fixed.SecurityIndex = security();
    model.Nodes.push_back(root);
    model.Directories.push_back({IMAGE_NODE_ROOT_ID, {}});

    ULONGLONG id = 1;
    ULONG count = 1 + (ULONG)(random() % 40);
    for (ULONG i = 0; i < count; ++i) {
        ModelNode node;
        IMAGE_NODE_RECORD &f = node.Fixed;
        f.NodeId = id += 1 + random() % 1000;
        bool directory = random() % 4 == 0;
        f.Flags = (UCHAR)((directory ? IMAGE_NODE_DIRECTORY : 0) | (random() % 2 ? IMAGE_NODE_OWN_SECURITY : 0) |
                          (!directory && random() % 3 == 0 ? IMAGE_NODE_SPARSE : 0));
        f.FileSize = directory ? 0 : sizes[random() % std::size(sizes)];
        f.AllocationSize = random();
        f.CreationTime = (LONGLONG)(random() >> 1);
        f.LastWriteTime = (LONGLONG)(random() >> 1);
        f.LastAccessTime = (LONGLONG)(random() >> 1);
        f.ChangeTime = (LONGLONG)(random() >> 1);
        f.Attributes = (ULONG)random() & IMAGE_NODE_ATTRIBUTE_MASK;
        f.LinkCount = directory ? 1 : 1 + (ULONG)(random() % 3);
        f.SecurityIndex = security();
        if (random() % 3 == 0)
            node.Eas = RandomBytes(random, 1 + random() % 200);
        if (random() % 5 == 0)
            node.Reparse = RandomBytes(random, 8 + random() % 100);
        node.HasMap = directory ? random() % 2 == 0 : f.FileSize != 0 || random() % 2 == 0;
        if (!directory)
            node.Map = RandomMap(random, f.FileSize, freeSlots);
        for (ULONG k = 0; k < f.LinkCount; ++k) {
            auto &parent = model.Directories[random() % model.Directories.size()];
            parent.Entries.push_back({f.NodeId, RandomName(random, f.NodeId, k)});
        }
        model.Nodes.push_back(node);
        if (directory)
            model.Directories.push_back({f.NodeId, {}});
    }
    return model;
}

NTSTATUS ImageTest::Write(const StreamModel &model, Bytes &stream, size_t capacity)
{
    return WriteStreamModel(m, model, stream, capacity);
}

NTSTATUS WriteStreamModel(const VOREL_IMAGE_DIAGNOSTICS *m, const StreamModel &model, Bytes &stream, size_t capacity)
{
    stream.assign(capacity, 0xEE);
    IMAGE_STREAM_WRITER writer;
    m->InitializeImageStreamWriter(&writer, stream.data(), stream.size());
    ULONGLONG entries = 0;
    NTSTATUS status = m->AppendImageRecord(&writer, IMAGE_RECORD_STREAM_START, nullptr, 0);
    for (ULONG i = 0; i < model.SkippedRecords && NT_SUCCESS(status); ++i) {
        static const char junk[] = "a record of a later version";
        status = m->AppendImageRecord(&writer, 7 + i, junk, (ULONG)(i * 5 % sizeof(junk)));
    }
#define TRY(call)                                                                                                      \
    do {                                                                                                               \
        if (!NT_SUCCESS(status = (call)))                                                                              \
            return status;                                                                                             \
    } while (0)
    TRY(status);
    if (model.HasSecurityTable) {
        TRY(m->OpenImageRecord(&writer, IMAGE_RECORD_SECURITY_TABLE));
        TRY(m->AppendImageSecurityTableHead(&writer, (ULONG)model.Descriptors.size()));
        for (auto &d : model.Descriptors)
            TRY(m->AppendImageSecurityEntry(&writer, d.data(), (ULONG)d.size()));
        TRY(m->CloseImageRecord(&writer));
    }
    for (auto &node : model.Nodes) {
        TRY(m->OpenImageRecord(&writer, IMAGE_RECORD_NODE));
        TRY(m->AppendImageNodeFixed(&writer, &node.Fixed));
        if (!node.Eas.empty())
            TRY(m->AppendImageRecord(&writer, IMAGE_NODE_EAS, node.Eas.data(), (ULONG)node.Eas.size()));
        if (!node.Reparse.empty())
            TRY(m->AppendImageRecord(&writer, IMAGE_NODE_REPARSE, node.Reparse.data(), (ULONG)node.Reparse.size()));
        if (node.HasMap) {
            TRY(m->OpenImageRecord(&writer, IMAGE_NODE_DATA_MAP));
            TRY(m->AppendImageDataMapHead(&writer, (ULONG)node.Map.size()));
            for (auto &e : node.Map)
                TRY(m->AppendImageDataMapEntry(&writer, &e));
            TRY(m->CloseImageRecord(&writer));
        }
        TRY(m->CloseImageRecord(&writer));
    }
    for (auto &directory : model.Directories) {
        TRY(m->OpenImageRecord(&writer, IMAGE_RECORD_DIRECTORY));
        TRY(m->AppendImageDirectoryHead(&writer, directory.Id, (ULONG)directory.Entries.size()));
        for (auto &[child, name] : directory.Entries) {
            TRY(m->AppendImageDirectoryEntry(&writer, child, (const WCHAR *)name.data(), (USHORT)(name.size() * 2)));
            entries++;
        }
        TRY(m->CloseImageRecord(&writer));
    }
    TRY(m->AppendImageStreamEnd(&writer, model.Nodes.size(), entries));
#undef TRY
    if (writer.Depth != 0)
        return STATUS_INTERNAL_ERROR;
    stream.resize(writer.Length);
    return STATUS_SUCCESS;
}

NTSTATUS ImageTest::Read(const Bytes &stream, ULONGLONG highWater, StreamModel &model)
{
    return ReadStreamModel(m, stream, highWater, model);
}

NTSTATUS ReadStreamModel(const VOREL_IMAGE_DIAGNOSTICS *m, const Bytes &stream, ULONGLONG highWater,
                         StreamModel &model)
{
    model = {};
    IMAGE_STREAM_READER reader;
    m->InitializeImageStreamReader(&reader, stream.data(), stream.size());
    std::vector<ULONGLONG> words(m->ImageSlotClaimWords(highWater));
    IMAGE_SLOT_CLAIMS claims;
    m->InitializeImageSlotClaims(&claims, words.data(), highWater);
    std::map<ULONGLONG, std::pair<ULONG, ULONG>> linked; /* id → names met, link count */
    std::map<ULONGLONG, bool> isDirectory;
    ULONGLONG entries = 0;
    NTSTATUS status;
#define TRY(call)                                                                                                      \
    do {                                                                                                               \
        if (!NT_SUCCESS(status = (call)))                                                                              \
            return status;                                                                                             \
    } while (0)
    for (;;) {
        IMAGE_RECORD record;
        BOOLEAN end, skip;
        TRY(m->ReadImageRecord(&reader, &record, &end));
        if (end)
            return STATUS_FILE_CORRUPT_ERROR; /* no stream end */
        TRY(m->CheckImageRecordType(record.Type, &skip));
        if (skip) {
            model.SkippedRecords++;
            continue;
        }
        switch (record.Type) {
        case IMAGE_RECORD_STREAM_START:
            break;
        case IMAGE_RECORD_SECURITY_TABLE: {
            if (model.HasSecurityTable || !model.Nodes.empty())
                return STATUS_FILE_CORRUPT_ERROR;
            model.HasSecurityTable = true;
            IMAGE_SECURITY_TABLE table;
            TRY(m->ParseImageSecurityTable(&record, &table));
            const UCHAR *bytes;
            ULONG length;
            while ((status = m->NextImageSecurityEntry(&table, &bytes, &length)) == STATUS_SUCCESS)
                model.Descriptors.emplace_back(bytes, bytes + length);
            if (status != STATUS_NO_MORE_ENTRIES)
                return status;
            break;
        }
        case IMAGE_RECORD_NODE: {
            if (!model.Directories.empty())
                return STATUS_FILE_CORRUPT_ERROR;
            ModelNode node;
            IMAGE_STREAM_READER subRecords;
            TRY(m->ParseImageNodeRecord(&record, &node.Fixed, &subRecords));
            TRY(m->CheckImageNodeRecord(&node.Fixed, (ULONG)model.Descriptors.size()));
            if (isDirectory.count(node.Fixed.NodeId))
                return STATUS_FILE_CORRUPT_ERROR;
            for (;;) {
                IMAGE_RECORD sub;
                TRY(m->ReadImageRecord(&subRecords, &sub, &end));
                if (end)
                    break;
                TRY(m->CheckImageSubRecordType(sub.Type));
                Bytes payload(sub.Payload, sub.Payload + sub.PayloadLength);
                if (sub.Type == IMAGE_NODE_EAS)
                    node.Eas = payload;
                else if (sub.Type == IMAGE_NODE_REPARSE)
                    node.Reparse = payload;
                else {
                    if (node.HasMap)
                        return STATUS_FILE_CORRUPT_ERROR;
                    node.HasMap = true;
                    IMAGE_DATA_MAP map;
                    TRY(m->ParseImageDataMap(&sub, &node.Fixed, highWater, &map));
                    IMAGE_DATA_MAP_ENTRY entry;
                    while ((status = m->NextImageDataMapEntry(&map, &entry)) == STATUS_SUCCESS) {
                        TRY(m->ClaimImageSlot(&claims, entry.SlotNumber));
                        node.Map.push_back(entry);
                    }
                    if (status != STATUS_NO_MORE_ENTRIES)
                        return status;
                }
            }
            isDirectory[node.Fixed.NodeId] = node.Fixed.Flags & IMAGE_NODE_DIRECTORY;
            if (node.Fixed.NodeId != IMAGE_NODE_ROOT_ID)
                linked[node.Fixed.NodeId] = {0, node.Fixed.LinkCount};
            model.Nodes.push_back(node);
            break;
        }
        case IMAGE_RECORD_DIRECTORY: {
            IMAGE_DIRECTORY directory;
            TRY(m->ParseImageDirectory(&record, &directory));
            auto found = isDirectory.find(directory.DirectoryId);
            if (directory.DirectoryId != IMAGE_NODE_ROOT_ID && (found == isDirectory.end() || !found->second))
                return STATUS_FILE_CORRUPT_ERROR;
            ModelDirectory &out = model.Directories.emplace_back();
            out.Id = directory.DirectoryId;
            IMAGE_DIRECTORY_ENTRY entry;
            while ((status = m->NextImageDirectoryEntry(&directory, &entry)) == STATUS_SUCCESS) {
                auto child = linked.find(entry.ChildId);
                if (child == linked.end() || child->second.first >= child->second.second)
                    return STATUS_FILE_CORRUPT_ERROR;
                child->second.first++;
                entries++;
                std::u16string name(entry.NameLength / 2, 0);
                memcpy(name.data(), entry.Name, entry.NameLength);
                out.Entries.push_back({entry.ChildId, name});
            }
            if (status != STATUS_NO_MORE_ENTRIES)
                return status;
            break;
        }
        case IMAGE_RECORD_STREAM_END: {
            ULONGLONG nodes, ends;
            TRY(m->ParseImageStreamEnd(&record, &nodes, &ends));
            if (nodes != model.Nodes.size())
                return STATUS_FILE_CORRUPT_ERROR;
            for (auto &[id, counts] : linked) {
                if (counts.first != counts.second)
                    return STATUS_OBJECT_PATH_NOT_FOUND; /* the reachability failure, told apart */
            }
            return ends == entries ? STATUS_SUCCESS : STATUS_OBJECT_PATH_NOT_FOUND;
        }
        }
    }
#undef TRY
}
