/*
 * Save and load round trips: a volume holding every kind of content is saved,
 * dismounted and created again on its image, and each node comes back as it
 * was: identifier, kind, sizes, times, attributes, link count, extended
 * attributes, reparse data, descriptor, data byte for byte, holes where there
 * were holes and packed extents still packed. The next save after a load
 * rewrites nothing but the stream.
 */
#include "image_volume_test.h"

#include <map>

namespace {

constexpr ULONG kColdSeconds = 80;
constexpr ULONG kThirdPartyTag = 0x00000077;

/* What a node is, as far as an image keeps it; data read through a handle. */
struct NodeState {
    ULONGLONG id = 0;
    bool directory = false, sparse = false, defaultSecurity = false;
    ULONGLONG size = 0, allocation = 0;
    LONGLONG times[4] = {};
    ULONG attributes = 0, links = 0;
    std::vector<UCHAR> eas, reparse, descriptor, data;
    std::string extents; /* per extent: '.' hole, 'r' raw, 'c' packed */

    bool operator==(const NodeState &) const = default;
};

class RoundTripTest : public ImageVolumeTest {
protected:
    NodeState StateOf(const std::string &path)
    {
        NodeState state;
        OpenRequest rq;
        rq.access = FILE_READ_ATTRIBUTES | FILE_READ_DATA;
        rq.options = FILE_OPEN_REPARSE_POINT;
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, &handle, rq), STATUS_SUCCESS) << path;
        if (handle == nullptr)
            return state;
        PFCB node = NodeOf(handle);
        state.id = node->NodeId;
        state.directory = node->IsDirectory;
        state.sparse = node->Sparse;
        state.defaultSecurity = node->DefaultSecurity;
        state.size = node->IsDirectory ? 0 : node->Data.FileSize;
        if (!node->IsDirectory) {
            auto *standard = reinterpret_cast<FILE_STANDARD_INFORMATION *>(scratch);
            EXPECT_EQ(support::AsUser(*process, [&] {
                          return NtQueryInformationFile(handle, iosb, standard, sizeof(*standard),
                                                        FileStandardInformation);
                      }),
                      STATUS_SUCCESS);
            state.allocation = (ULONGLONG)standard->AllocationSize.QuadPart;
        }
        LARGE_INTEGER times[4] = {node->CreationTime, node->LastWriteTime, node->LastAccessTime, node->ChangeTime};
        for (int i = 0; i < 4; ++i)
            state.times[i] = times[i].QuadPart;
        state.attributes = (ULONG)node->Attributes & 0x3127u;
        state.links = node->LinkCount;
        auto bytes = [](const void *p, ULONG n) {
            const UCHAR *b = static_cast<const UCHAR *>(p);
            return p == nullptr ? std::vector<UCHAR>() : std::vector<UCHAR>(b, b + n);
        };
        state.eas = bytes(node->EaBuffer, node->EaLength);
        state.reparse = bytes(node->ReparseBuffer, node->ReparseLength);
        state.descriptor = bytes(node->SecurityDescriptor, node->SecurityLength);
        if (!node->IsDirectory) {
            /* A slot or a single buffer is one raw extent, however the file came to hold it. */
            if (node->Data.Extents == nullptr && node->Data.DataBase != nullptr && node->Data.FileSize != 0)
                state.extents = "r";
            for (ULONG i = 0; node->Data.Extents != nullptr && i < node->Data.ExtentCapacity; ++i) {
                const EXTENT_ENTRY &entry = node->Data.Extents[i];
                state.extents += entry.Compressed != nullptr ? 'c' : entry.Data != nullptr ? 'r' : '.';
            }
            while (!state.extents.empty() && state.extents.back() == '.')
                state.extents.pop_back();
            if (!NT_SUCCESS(Get(handle, 0, (size_t)state.size + 1, &state.data)))
                ADD_FAILURE() << path;
        }
        Close(handle);
        return state;
    }
    std::map<std::string, NodeState> Snapshot(const std::vector<std::string> &paths)
    {
        std::map<std::string, NodeState> states;
        for (const std::string &path : paths)
            states[path] = StateOf(path);
        return states;
    }

    NTSTATUS SetTimesAndAttributes(const std::string &path, LONGLONG base, ULONG attributes)
    {
        OpenRequest rq;
        rq.access = FILE_WRITE_ATTRIBUTES;
        HANDLE handle = nullptr;
        NTSTATUS status = Open(path, &handle, rq);
        if (!NT_SUCCESS(status))
            return status;
        auto *basic = reinterpret_cast<FILE_BASIC_INFORMATION *>(scratch);
        basic->CreationTime.QuadPart = base;
        basic->LastAccessTime.QuadPart = base + 1;
        basic->LastWriteTime.QuadPart = base + 2;
        basic->ChangeTime.QuadPart = base + 3;
        basic->FileAttributes = attributes;
        status = support::AsUser(*process, [&] {
            return NtSetInformationFile(handle, iosb, basic, sizeof(*basic), FileBasicInformation);
        });
        Close(handle);
        return status;
    }
    NTSTATUS HardLink(const std::string &existing, const std::string &link)
    {
        HANDLE handle = nullptr;
        OpenRequest rq;
        rq.access = FILE_READ_ATTRIBUTES;
        NTSTATUS status = Open(existing, &handle, rq);
        if (!NT_SUCCESS(status))
            return status;
        std::string target = "\\??\\R:" + link;
        size_t bytes = FIELD_OFFSET(FILE_LINK_INFORMATION, FileName) + target.size() * sizeof(WCHAR);
        auto *info = reinterpret_cast<FILE_LINK_INFORMATION *>(scratch);
        memset(info, 0, bytes);
        info->FileNameLength = (ULONG)(target.size() * sizeof(WCHAR));
        for (size_t i = 0; i < target.size(); ++i)
            info->FileName[i] = (WCHAR)target[i];
        status = support::AsUser(*process, [&] {
            return NtSetInformationFile(handle, iosb, info, (ULONG)bytes, FileLinkInformation);
        });
        Close(handle);
        return status;
    }
    NTSTATUS SetEa(const std::string &path, const char *name, const char *value)
    {
        HANDLE handle = OpenFile(path, FILE_WRITE_EA);
        UCHAR buffer[32];
        ULONG length = PackOneEa(buffer, name, value);
        memcpy(scratch, buffer, length);
        NTSTATUS status = support::AsUser(*process, [&] { return NtSetEaFile(handle, iosb, scratch, length); });
        Close(handle);
        return status;
    }
    static std::vector<UCHAR> ReparseRecord(const std::vector<UCHAR> &data)
    {
        std::vector<UCHAR> buffer(24 + data.size());
        ULONG tag = kThirdPartyTag;
        memcpy(buffer.data(), &tag, 4);
        USHORT length = (USHORT)data.size();
        memcpy(buffer.data() + 4, &length, 2);
        std::fill(buffer.begin() + 8, buffer.begin() + 24, 0x5A);
        std::copy(data.begin(), data.end(), buffer.begin() + 24);
        return buffer;
    }
};

TEST_F(RoundTripTest, EveryKindOfContentComesBack)
{
    ASSERT_EQ(SetLevel('R', COMPRESSION_LEVEL_NORMAL), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\d", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\d\\e", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    MakeFile("\\d\\small", Noise(100, 1));
    MakeFile("\\d\\single", Noise(300 * 1024, 2));
    MakeFile("\\big", Noise(5 * kMiB + 3, 3));
    MakeFile("\\cold", Text(4 * kMiB + 5000, 4));
    MakeFile("\\empty", {});
    ASSERT_EQ(HardLink("\\d\\single", "\\d\\e\\again"), STATUS_SUCCESS);
    ASSERT_EQ(SetEa("\\d\\small", "COLOUR", "blue"), STATUS_SUCCESS);
    Protect("\\d\\small", L"O:BAG:SYD:(A;;FA;;;WD)(A;;FR;;;BU)");
    ASSERT_EQ(SetTimesAndAttributes("\\big", 130000000000000000ll, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY),
              STATUS_SUCCESS);
    ASSERT_EQ(SetTimesAndAttributes("\\d", 131000000000000000ll, FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY),
              STATUS_SUCCESS);
    {
        HANDLE point = Keep("\\point");
        ASSERT_EQ(Fsctl(point, FSCTL_SET_REPARSE_POINT, ReparseRecord({1, 2, 3}).data(), 27, 0).status,
                  STATUS_SUCCESS);
        HANDLE sparse = Keep("\\sparse");
        ASSERT_EQ(Fsctl(sparse, FSCTL_SET_SPARSE, nullptr, 0, 0).status, STATUS_SUCCESS);
        std::vector<UCHAR> middle = Noise(70000, 5);
        WriteAll(sparse, 6 * kMiB + 10, middle.data(), middle.size());
        ASSERT_EQ(SetEndOfFile(sparse, 11 * kMiB), STATUS_SUCCESS);
        HANDLE clone = Keep("\\clone");
        ASSERT_EQ(SetEndOfFile(clone, 4 * kMiB), STATUS_SUCCESS);
        HANDLE big = Keep("\\big", FILE_READ_DATA);
        DUPLICATE_EXTENTS_DATA duplicate{big, {.QuadPart = 0}, {.QuadPart = 0}, {.QuadPart = (LONGLONG)(4 * kMiB)}};
        ASSERT_EQ(Fsctl(clone, FSCTL_DUPLICATE_EXTENTS_TO_FILE, &duplicate, sizeof(duplicate), 0).status,
                  STATUS_SUCCESS);
        for (HANDLE h : {point, sparse, clone, big})
            Close(h);
        handles.clear();
    }
    LetTimePass(kColdSeconds);

    const std::vector<std::string> paths = {"\\",      "\\d",      "\\d\\e",   "\\d\\small", "\\d\\single",
                                            "\\d\\e\\again", "\\big", "\\cold", "\\empty", "\\point",
                                            "\\sparse", "\\clone"};
    std::map<std::string, NodeState> before = Snapshot(paths);
    ASSERT_NE(before["\\cold"].extents.find('c'), std::string::npos) << "the worker packed nothing";
    EXPECT_EQ(before["\\sparse"].extents.substr(0, 3), "...");

    ASSERT_EQ(Save('R', ImagePath("r.img")), STATUS_SUCCESS);
    ASSERT_EQ(Dismount('R'), STATUS_SUCCESS);
    ASSERT_EQ(CreateFromImage('R', ImagePath("r.img")), STATUS_SUCCESS) << Message(LastError());
    std::map<std::string, NodeState> after = Snapshot(paths);
    for (const std::string &path : paths) {
        const NodeState &was = before[path], &is = after[path];
        EXPECT_TRUE(was == is) << path << ": id " << was.id << "/" << is.id << " size " << was.size << "/" << is.size
                               << " extents " << was.extents << "/" << is.extents << " links " << was.links << "/"
                               << is.links << " attributes " << was.attributes << "/" << is.attributes
                               << " allocation " << was.allocation << "/" << is.allocation << " eas "
                               << was.eas.size() << "/" << is.eas.size() << " descriptor " << was.descriptor.size()
                               << "/" << is.descriptor.size() << " default " << was.defaultSecurity << "/"
                               << is.defaultSecurity << " times " << (memcmp(was.times, is.times, 32) == 0)
                               << " data " << (was.data == is.data);
    }
    ULONGLONG largest = 0;
    for (const auto &entry : after)
        largest = std::max(largest, entry.second.id);
    MakeFile("\\newer", Noise(10, 6));
    EXPECT_GT(StateOf("\\newer").id, largest);

    /* Synced by the load: the next save writes the new file and the stream only. */
    ASSERT_EQ(Save('R'), STATUS_SUCCESS);
    EXPECT_EQ(PersistState().LastSaveCounter, 2u);
    EXPECT_EQ(PersistState().Generation, 2u);
}

TEST_F(RoundTripTest, AVolumeWithoutSecurityComesBackWithoutIt)
{
    ASSERT_EQ(Dismount('R'), STATUS_SUCCESS);
    ASSERT_EQ(CreateFromImage('R', ImagePath("n.img"), 64 * kMiB, VOREL_CREATE_NO_SECURITY), STATUS_SUCCESS);
    MakeFile("\\f", Text(10000, 7));
    ASSERT_EQ(Save('R'), STATUS_SUCCESS);
    ASSERT_EQ(Dismount('R'), STATUS_SUCCESS);
    /* The image's settings win over the request's. */
    ASSERT_EQ(CreateFromImage('R', ImagePath("n.img"), 512 * kMiB), STATUS_SUCCESS);
    EXPECT_TRUE(MountedVcb()->NoSecurity);
    EXPECT_EQ(MountedVcb()->Vdr->SizeBytes, 64 * kMiB);
    EXPECT_EQ(StateOf("\\f").data, Text(10000, 7));
}

} // namespace
