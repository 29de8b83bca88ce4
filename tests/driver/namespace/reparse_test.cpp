/*
 * Reparse points: setting, replacing and deleting a node's point by the rules the
 * set- and delete-reparse-point requests rely on, buffers whose lengths lie, and
 * the attribute a reparse point reports.
 */
#include "namespace_test.h"

#include <cstring>

namespace {

constexpr ULONG kThirdPartyTag = 0x00000123;       /* no Microsoft bit: a GUID header */
constexpr ULONG kOtherThirdPartyTag = 0x00000124;
constexpr ULONG kMicrosoftTag = 0x80000023;        /* Microsoft bit, a format nobody parses */

/* A header (8 bytes, or 24 with the GUID for a tag without the Microsoft bit) and data. */
std::vector<UCHAR> ReparseBuffer(ULONG tag, const std::vector<UCHAR> &data, UCHAR guidByte = 0x5A)
{
    bool microsoft = (tag & 0x80000000u) != 0;
    size_t header = microsoft ? 8 : 24;
    std::vector<UCHAR> out(header + data.size(), 0);
    std::memcpy(out.data(), &tag, 4);
    USHORT length = (USHORT)data.size();
    std::memcpy(out.data() + 4, &length, 2);
    if (!microsoft)
        std::memset(out.data() + 8, guidByte, 16);
    if (!data.empty())
        std::memcpy(out.data() + header, data.data(), data.size());
    return out;
}

/* A mount point to \??\C:\target with an empty print name. */
std::vector<UCHAR> MountPoint()
{
    std::u16string target = u"\\??\\C:\\target";
    USHORT bytes = (USHORT)(target.size() * 2);
    std::vector<UCHAR> data(8, 0);
    USHORT fields[4] = {0, bytes, (USHORT)(bytes + 2), 0};
    std::memcpy(data.data(), fields, sizeof(fields));
    data.insert(data.end(), (const UCHAR *)target.data(), (const UCHAR *)target.data() + bytes);
    data.insert(data.end(), 4, 0);
    return ReparseBuffer(IO_REPARSE_TAG_MOUNT_POINT, data);
}

/* A buffer a routine must refuse, and the status it refuses it with. */
struct RefusedBuffer {
    const char *what;
    std::vector<UCHAR> buffer;
    NTSTATUS status;
};

class ReparseTest : public NamespaceTest {
protected:
    using Call = NTSTATUS (*)(PFCB, PVOID, ULONG);

    NTSTATUS Run(Call call, PFCB fcb, std::vector<UCHAR> buffer)
    {
        ExAcquireResourceExclusiveLite(&fcb->MainResource, TRUE);
        NTSTATUS status = call(fcb, buffer.empty() ? nullptr : buffer.data(), (ULONG)buffer.size());
        ExReleaseResourceLite(&fcb->MainResource);
        return status;
    }
    NTSTATUS Set(PFCB fcb, const std::vector<UCHAR> &buffer) { return Run(n->SetReparse, fcb, buffer); }
    NTSTATUS SetChecked(PFCB fcb, const std::vector<UCHAR> &buffer) { return Run(n->SetReparseChecked, fcb, buffer); }
    NTSTATUS Delete(PFCB fcb, const std::vector<UCHAR> &buffer) { return Run(n->DeleteReparse, fcb, buffer); }

    static std::vector<UCHAR> Stored(PFCB fcb)
    {
        const UCHAR *bytes = (const UCHAR *)fcb->ReparseBuffer;
        EXPECT_EQ(bytes == nullptr, fcb->ReparseTag == 0);
        return bytes != nullptr ? std::vector<UCHAR>(bytes, bytes + fcb->ReparseLength) : std::vector<UCHAR>();
    }
};

/* Mount points need an empty directory; a point reports its attribute and goes with the node. */
TEST_F(ReparseTest, MountPointsNeedAnEmptyDirectory)
{
    PFCB file = Create(root, u"file");
    PFCB full = Create(root, u"full", true);
    PFCB empty = Create(root, u"empty", true);
    ASSERT_NE(Create(full, u"child"), nullptr);

    EXPECT_EQ(Set(file, MountPoint()), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(Set(full, MountPoint()), STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_EQ(Stored(file), std::vector<UCHAR>());
    EXPECT_EQ(Stored(full), std::vector<UCHAR>());

    ASSERT_EQ(Set(empty, MountPoint()), STATUS_SUCCESS);
    EXPECT_EQ(Stored(empty), MountPoint());
    EXPECT_EQ(empty->ReparseTag, IO_REPARSE_TAG_MOUNT_POINT);
    EXPECT_EQ(n->ReportedAttributes(empty), (ULONG)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));

    /* Any other tag may sit on a file or a directory with children. */
    ASSERT_EQ(Set(file, ReparseBuffer(kMicrosoftTag, {1, 2, 3})), STATUS_SUCCESS);
    ASSERT_EQ(Set(full, ReparseBuffer(kThirdPartyTag, {4})), STATUS_SUCCESS);
    EXPECT_EQ(n->ReportedAttributes(file) & FILE_ATTRIBUTE_REPARSE_POINT, (ULONG)FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlRp")).liveBlocks, 3u);
    /* The nodes are torn down with their points in place; the fixture checks the pool. */
}

/* Replacing: the checked form keeps tag and GUID; the plain form (image load) replaces anything. */
TEST_F(ReparseTest, ReplacingKeepsTagAndGuid)
{
    PFCB file = Create(root, u"f");
    ASSERT_EQ(SetChecked(file, ReparseBuffer(kThirdPartyTag, {1, 2})), STATUS_SUCCESS);
    std::vector<UCHAR> first = Stored(file);

    EXPECT_EQ(SetChecked(file, ReparseBuffer(kOtherThirdPartyTag, {9})), STATUS_IO_REPARSE_TAG_MISMATCH);
    EXPECT_EQ(SetChecked(file, ReparseBuffer(kMicrosoftTag, {9})), STATUS_IO_REPARSE_TAG_MISMATCH);
    EXPECT_EQ(SetChecked(file, ReparseBuffer(kThirdPartyTag, {9}, 0x77)), STATUS_REPARSE_ATTRIBUTE_CONFLICT);
    EXPECT_EQ(Stored(file), first);

    std::vector<UCHAR> longer = ReparseBuffer(kThirdPartyTag, std::vector<UCHAR>(300, 0xEE));
    ASSERT_EQ(SetChecked(file, longer), STATUS_SUCCESS);
    EXPECT_EQ(Stored(file), longer);
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlRp")).liveBlocks, 1u) << "the old buffer is freed";

    ASSERT_EQ(Set(file, ReparseBuffer(kMicrosoftTag, {})), STATUS_SUCCESS);
    EXPECT_EQ(file->ReparseTag, kMicrosoftTag);
    EXPECT_EQ(file->ReparseLength, 8u);

    /* Microsoft tags carry no GUID: the same tag replaces whatever data it had. */
    ASSERT_EQ(SetChecked(file, ReparseBuffer(kMicrosoftTag, {7, 7})), STATUS_SUCCESS);
    EXPECT_EQ(Stored(file), ReparseBuffer(kMicrosoftTag, {7, 7}));
}

/* Deleting needs a bare header naming the point's tag and GUID; every refusal keeps the point. */
TEST_F(ReparseTest, DeleteNeedsTheMatchingHeader)
{
    PFCB file = Create(root, u"f");
    EXPECT_EQ(Delete(file, ReparseBuffer(kThirdPartyTag, {})), STATUS_NOT_A_REPARSE_POINT);
    ASSERT_EQ(Set(file, ReparseBuffer(kThirdPartyTag, {1, 2, 3})), STATUS_SUCCESS);
    std::vector<UCHAR> stored = Stored(file);

    std::vector<UCHAR> withData = ReparseBuffer(kThirdPartyTag, {1});
    std::vector<UCHAR> lyingLength = ReparseBuffer(kThirdPartyTag, {});
    lyingLength[4] = 3;
    std::vector<UCHAR> truncated = ReparseBuffer(kThirdPartyTag, {});
    truncated.resize(8);
    const RefusedBuffer cases[] = {
        {"no buffer", {}, STATUS_IO_REPARSE_DATA_INVALID},
        {"short of a header", {0x23, 1, 0, 0}, STATUS_IO_REPARSE_DATA_INVALID},
        {"with data", withData, STATUS_IO_REPARSE_DATA_INVALID},
        {"data length without data", lyingLength, STATUS_IO_REPARSE_DATA_INVALID},
        {"GUID header cut to 8 bytes", truncated, STATUS_IO_REPARSE_DATA_INVALID},
        {"reserved tag 1", ReparseBuffer(1, {}), STATUS_IO_REPARSE_TAG_INVALID},
        {"reserved tag 1 in a bare header", {1, 0, 0, 0, 0, 0, 0, 0}, STATUS_IO_REPARSE_TAG_INVALID},
        {"reserved tag 0", ReparseBuffer(0, {}), STATUS_IO_REPARSE_TAG_INVALID},
        {"other tag", ReparseBuffer(kOtherThirdPartyTag, {}), STATUS_IO_REPARSE_TAG_MISMATCH},
        {"other Microsoft tag", ReparseBuffer(kMicrosoftTag, {}), STATUS_IO_REPARSE_TAG_MISMATCH},
        {"other GUID", ReparseBuffer(kThirdPartyTag, {}, 0x11), STATUS_REPARSE_ATTRIBUTE_CONFLICT},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Delete(file, c.buffer), c.status) << c.what;
        EXPECT_EQ(Stored(file), stored) << c.what;
    }

    ASSERT_EQ(Delete(file, ReparseBuffer(kThirdPartyTag, {})), STATUS_SUCCESS);
    EXPECT_EQ(Stored(file), std::vector<UCHAR>());
    EXPECT_EQ(file->ReparseLength, 0u);
    EXPECT_EQ(n->ReportedAttributes(file) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    EXPECT_EQ(Delete(file, ReparseBuffer(kThirdPartyTag, {})), STATUS_NOT_A_REPARSE_POINT);

    ASSERT_EQ(Set(file, ReparseBuffer(kMicrosoftTag, {5})), STATUS_SUCCESS);
    ASSERT_EQ(Delete(file, ReparseBuffer(kMicrosoftTag, {})), STATUS_SUCCESS);
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlRp")).liveBlocks, 0u);
}

/* Buffers whose lengths lie, reserved tags and broken mount points are refused and change nothing. */
TEST_F(ReparseTest, LyingBuffersChangeNothing)
{
    PFCB dir = Create(root, u"d", true);
    ASSERT_EQ(Set(dir, ReparseBuffer(kMicrosoftTag, {1})), STATUS_SUCCESS);
    std::vector<UCHAR> stored = Stored(dir);

    std::vector<UCHAR> longer = ReparseBuffer(kMicrosoftTag, {1, 2, 3});
    longer[4] = 9;
    std::vector<UCHAR> shorter = ReparseBuffer(kMicrosoftTag, {1, 2, 3});
    shorter[4] = 1;
    std::vector<UCHAR> guidCut = ReparseBuffer(kThirdPartyTag, {});
    guidCut.resize(20);
    std::vector<UCHAR> mountOutside = MountPoint();
    mountOutside[8 + 2] = 0xF0; /* substitute name length far past the data */
    std::vector<UCHAR> bigger(16 * 1024 + 8, 0);
    std::vector<UCHAR> header = ReparseBuffer(kMicrosoftTag, {});
    std::memcpy(bigger.data(), header.data(), 8);
    USHORT big = 16 * 1024;
    std::memcpy(bigger.data() + 4, &big, 2);
    const RefusedBuffer cases[] = {
        {"no buffer", {}, STATUS_INVALID_BUFFER_SIZE},
        {"seven bytes", {0x23, 0, 0, 0x80, 0, 0, 0}, STATUS_INVALID_BUFFER_SIZE},
        {"data length beyond the buffer", longer, STATUS_IO_REPARSE_DATA_INVALID},
        {"data length short of the buffer", shorter, STATUS_IO_REPARSE_DATA_INVALID},
        {"GUID header cut short", guidCut, STATUS_IO_REPARSE_DATA_INVALID},
        {"mount point names outside", mountOutside, STATUS_IO_REPARSE_DATA_INVALID},
        {"over 16 KiB", bigger, STATUS_IO_REPARSE_DATA_INVALID},
        {"tag 0", ReparseBuffer(0, {}), STATUS_IO_REPARSE_TAG_INVALID},
        {"tag 2", ReparseBuffer(2, {}), STATUS_IO_REPARSE_TAG_INVALID},
        {"reserved bit 30", ReparseBuffer(0x40000123, {}), STATUS_IO_REPARSE_TAG_INVALID},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Set(dir, c.buffer), c.status) << c.what;
        EXPECT_EQ(Stored(dir), stored) << c.what;
    }
    EXPECT_EQ(machine::PoolTag(machine::TagFromText("vlRp")).liveBlocks, 1u);
}

/* A failed allocation keeps the old point. */
TEST_F(ReparseTest, AllocationFailureKeepsThePoint)
{
    PFCB file = Create(root, u"f");
    ASSERT_EQ(Set(file, ReparseBuffer(kMicrosoftTag, {1})), STATUS_SUCCESS);
    std::vector<UCHAR> stored = Stored(file);
    machine::ArmPoolFault(1, machine::TagFromText("vlRp"));
    EXPECT_EQ(SetChecked(file, ReparseBuffer(kMicrosoftTag, {2, 2})), STATUS_INSUFFICIENT_RESOURCES);
    machine::DisarmFaults();
    EXPECT_EQ(Stored(file), stored);
    ASSERT_EQ(SetChecked(file, ReparseBuffer(kMicrosoftTag, {2, 2})), STATUS_SUCCESS);
}

} // namespace
