/*
 * File-system controls from a user program: the volume's own controls and the
 * refused ones, reparse points set, read and
 * deleted by their rules, and sparse files zeroed at random against a model of
 * their bytes and holes, with the allocated ranges and the volume's charge
 * checked after every step. Every refused request is checked to change nothing.
 */
#include "fsctl_test.h"

namespace {

constexpr ULONG kThirdPartyTag = 0x00000123;            /* no Microsoft bit: a GUID follows the header */
constexpr ULONG kMicrosoftTag = 0x8000001B;

/* A reparse buffer: header, the GUID (filled with guidByte) for a tag without the Microsoft bit, then data. */
std::vector<UCHAR> ReparseBuffer(ULONG tag, const std::vector<UCHAR> &data, UCHAR guidByte = 0x5A)
{
    size_t head = IsReparseTagMicrosoft(tag) ? 8 : 24;
    std::vector<UCHAR> buffer(head + data.size(), guidByte);
    USHORT length = (USHORT)data.size();
    memcpy(buffer.data(), &tag, 4);
    memcpy(buffer.data() + 4, &length, 2);
    memset(buffer.data() + 6, 0, 2);
    if (!data.empty())
        memcpy(buffer.data() + head, data.data(), data.size());
    return buffer;
}

/* A set-ex input: the existing point named by tag, GUID and flags, then the new buffer. */
std::vector<UCHAR> ReparseEx(ULONG flags, ULONG existingTag, UCHAR existingGuidByte, const std::vector<UCHAR> &buffer)
{
    std::vector<UCHAR> input(REPARSE_DATA_BUFFER_EX_HEADER_SIZE + buffer.size(), 0);
    memcpy(input.data(), &flags, 4);
    memcpy(input.data() + 4, &existingTag, 4);
    memset(input.data() + 8, existingGuidByte, 16);
    if (!buffer.empty())
        memcpy(input.data() + REPARSE_DATA_BUFFER_EX_HEADER_SIZE, buffer.data(), buffer.size());
    return input;
}

class FsctlControlTest : public FsctlTest {
protected:
    Reply Send(HANDLE handle, ULONG code, const std::vector<UCHAR> &input, ULONG outLength = 0)
    {
        return Fsctl(handle, code, input.empty() ? nullptr : input.data(), (ULONG)input.size(), outLength);
    }
    /* The stored point as FSCTL_GET_REPARSE_POINT returns it, or empty when there is none. */
    std::vector<UCHAR> Point(HANDLE handle)
    {
        Reply r = Fsctl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
        EXPECT_TRUE(r.status == STATUS_SUCCESS || r.status == STATUS_NOT_A_REPARSE_POINT) << std::hex << r.status;
        return r.status == STATUS_SUCCESS ? r.output : std::vector<UCHAR>();
    }
    /* The allocation size a standard-information query reports. */
    ULONGLONG AllocationSize(HANDLE handle)
    {
        auto *info = process->New<FILE_STANDARD_INFORMATION>();
        EXPECT_EQ(support::AsUser(*process,
                                  [&] {
                                      return NtQueryInformationFile(handle, controlIosb, info, sizeof(*info),
                                                                    FileStandardInformation);
                                  }),
                  STATUS_SUCCESS);
        return (ULONGLONG)info->AllocationSize.QuadPart;
    }
    HANDLE VolumeHandle()
    {
        OpenRequest rq;
        rq.access = FILE_READ_DATA | FILE_WRITE_DATA;
        HANDLE handle = nullptr;
        EXPECT_EQ(Open("", &handle, rq), STATUS_SUCCESS);
        handles.push_back(handle);
        return handle;
    }
};

/* The volume's controls: the mounted test answers, the lock and dismount family is refused, file controls need a node. */
TEST_F(FsctlControlTest, VolumeHandleControls)
{
    HANDLE volume = VolumeHandle();
    EXPECT_EQ(Fsctl(volume, FSCTL_IS_VOLUME_MOUNTED, nullptr, 0, 0).status, STATUS_SUCCESS);
    for (ULONG code : {(ULONG)FSCTL_LOCK_VOLUME, (ULONG)FSCTL_UNLOCK_VOLUME, (ULONG)FSCTL_DISMOUNT_VOLUME, 0x900F0u, 0x90064u})
        EXPECT_EQ(Fsctl(volume, code, nullptr, 0, 0).status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
    FILE_ZERO_DATA_INFORMATION zero{};
    EXPECT_EQ(Fsctl(volume, FSCTL_SET_ZERO_DATA, zero).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Fsctl(volume, FSCTL_SET_SPARSE, nullptr, 0, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Fsctl(volume, FSCTL_GET_REPARSE_POINT, nullptr, 0, 64).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Exists("\\")) << "the volume is still mounted";
}

/*
 * Reparse points through the controls: set, read back, rewrite, set-ex over the
 * named point, delete; each refused request leaves the stored point as it was.
 * The tag, GUID and length rules themselves are the namespace's reparse tests;
 * here one refusal of each routine shows the control reaches the checked form.
 */
TEST_F(FsctlControlTest, ReparsePointRules)
{
    HANDLE file = Keep("\\point");
    HANDLE readOnly = Keep("\\point", FILE_READ_DATA | FILE_READ_ATTRIBUTES);
    std::vector<UCHAR> first = ReparseBuffer(kThirdPartyTag, {1, 2, 3, 4});
    std::vector<UCHAR> lying = first;
    lying[4] = 40; /* a data length beyond the buffer */

    EXPECT_EQ(Point(file), std::vector<UCHAR>());
    EXPECT_EQ(Send(file, FSCTL_DELETE_REPARSE_POINT, ReparseBuffer(kThirdPartyTag, {})).status,
              STATUS_NOT_A_REPARSE_POINT);
    EXPECT_EQ(Send(file, FSCTL_SET_REPARSE_POINT, lying).status, STATUS_IO_REPARSE_DATA_INVALID);
    EXPECT_EQ(Send(readOnly, FSCTL_SET_REPARSE_POINT, first).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Send(file, FSCTL_SET_REPARSE_POINT, first, 16).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(file, FSCTL_SET_REPARSE_POINT, {1, 2, 3}).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(Point(file), std::vector<UCHAR>()) << "nothing refused was stored";

    LARGE_INTEGER before = NodeOf(file)->LastWriteTime;
    ASSERT_EQ(Send(file, FSCTL_SET_REPARSE_POINT, first).status, STATUS_SUCCESS);
    EXPECT_EQ(Point(file), first);
    EXPECT_GE(NodeOf(file)->LastWriteTime.QuadPart, before.QuadPart);
    EXPECT_NE(n->ReportedAttributes(NodeOf(file)) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    /* Reading: no input allowed, the buffer must hold the whole point. */
    EXPECT_EQ(Fsctl(file, FSCTL_GET_REPARSE_POINT, nullptr, 0, (ULONG)first.size() - 1).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Fsctl(file, FSCTL_GET_REPARSE_POINT, first.data(), 4, 256).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Fsctl(file, FSCTL_GET_REPARSE_POINT, nullptr, 0, 0).status, STATUS_INVALID_USER_BUFFER);
    Reply exact = Fsctl(readOnly, FSCTL_GET_REPARSE_POINT, nullptr, 0, (ULONG)first.size());
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.information, first.size());

    struct Refused {
        const char *what;
        ULONG code;
        std::vector<UCHAR> input;
        ULONG outLength;
        NTSTATUS status;
    };
    const std::vector<UCHAR> second = ReparseBuffer(kThirdPartyTag, {9, 9});
    const Refused refused[] = {
        {"set of another tag", FSCTL_SET_REPARSE_POINT, ReparseBuffer(kMicrosoftTag, {1}), 0,
         STATUS_IO_REPARSE_TAG_MISMATCH},
        {"set-ex short of its header", FSCTL_SET_REPARSE_POINT_EX, std::vector<UCHAR>(39, 0), 0,
         STATUS_INVALID_BUFFER_SIZE},
        {"set-ex naming no point", FSCTL_SET_REPARSE_POINT_EX, ReparseEx(0, 0, 0, second), 0,
         STATUS_IO_REPARSE_TAG_MISMATCH},
        {"set-ex naming another tag", FSCTL_SET_REPARSE_POINT_EX, ReparseEx(1, kMicrosoftTag, 0, second), 0,
         STATUS_IO_REPARSE_TAG_MISMATCH},
        {"set-ex naming another GUID", FSCTL_SET_REPARSE_POINT_EX, ReparseEx(0, kThirdPartyTag, 0x11, second), 0,
         STATUS_REPARSE_ATTRIBUTE_CONFLICT},
        {"set-ex with a lying length", FSCTL_SET_REPARSE_POINT_EX, ReparseEx(0, kThirdPartyTag, 0x5A, lying), 0,
         STATUS_IO_REPARSE_DATA_INVALID},
        {"delete with output", FSCTL_DELETE_REPARSE_POINT, ReparseBuffer(kThirdPartyTag, {}), 8,
         STATUS_INVALID_PARAMETER},
        {"delete short of a header", FSCTL_DELETE_REPARSE_POINT, {0x23, 1, 0, 0}, 0, STATUS_INVALID_BUFFER_SIZE},
        {"delete of another tag", FSCTL_DELETE_REPARSE_POINT, ReparseBuffer(0x00000777, {}), 0,
         STATUS_IO_REPARSE_TAG_MISMATCH},
    };
    for (const Refused &c : refused) {
        EXPECT_EQ(Send(file, c.code, c.input, c.outLength).status, c.status) << c.what;
        EXPECT_EQ(Point(file), first) << c.what;
    }
    EXPECT_EQ(Send(readOnly, FSCTL_DELETE_REPARSE_POINT, ReparseBuffer(kThirdPartyTag, {})).status,
              STATUS_ACCESS_DENIED);

    ASSERT_EQ(Send(file, FSCTL_SET_REPARSE_POINT_EX, ReparseEx(0, kThirdPartyTag, 0x5A, second)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Point(file), second);
    ASSERT_EQ(Send(file, FSCTL_DELETE_REPARSE_POINT, ReparseBuffer(kThirdPartyTag, {})).status, STATUS_SUCCESS);
    EXPECT_EQ(Point(file), std::vector<UCHAR>());
    EXPECT_EQ(n->ReportedAttributes(NodeOf(file)) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    /* Set-ex on a node without a point: "the given tag or none" lets a named tag through. */
    std::vector<UCHAR> microsoft = ReparseBuffer(kMicrosoftTag, {4, 5});
    EXPECT_EQ(Send(file, FSCTL_SET_REPARSE_POINT_EX, ReparseEx(0, kMicrosoftTag, 0, microsoft)).status,
              STATUS_IO_REPARSE_TAG_MISMATCH);
    ASSERT_EQ(Send(file, FSCTL_SET_REPARSE_POINT_EX,
                   ReparseEx(REPARSE_DATA_EX_FLAG_GIVEN_TAG_OR_NONE, kMicrosoftTag, 0, microsoft))
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(Point(file), microsoft);

    /* A directory may carry a point too. */
    HANDLE directory = Keep("\\folder", FILE_READ_DATA | FILE_WRITE_DATA, FILE_DIRECTORY_FILE);
    ASSERT_EQ(Send(directory, FSCTL_SET_REPARSE_POINT, first).status, STATUS_SUCCESS);
    EXPECT_EQ(Point(directory), first);
}

/* Zeroing and sparse requests that are malformed change nothing. */
TEST_F(FsctlControlTest, MalformedZeroAndSparseRequests)
{
    std::vector<UCHAR> model;
    HANDLE file = MakeFile("\\zeroed", 3 * kExtent + 100, &model);
    ASSERT_EQ(Fsctl(file, FSCTL_SET_SPARSE, nullptr, 0, 0).status, STATUS_SUCCESS);
    LONG64 charged = Charged(file);
    const FILE_ZERO_DATA_INFORMATION bad[] = {
        {{.QuadPart = -1}, {.QuadPart = 100}},
        {{.QuadPart = 0}, {.QuadPart = -1}},
        {{.QuadPart = (LONGLONG)kExtent}, {.QuadPart = 4096}},
    };
    for (const auto &z : bad)
        EXPECT_EQ(Fsctl(file, FSCTL_SET_ZERO_DATA, z).status, STATUS_INVALID_PARAMETER);
    FILE_ZERO_DATA_INFORMATION whole{{.QuadPart = 0}, {.QuadPart = (LONGLONG)(4 * kExtent)}};
    EXPECT_EQ(Fsctl(file, FSCTL_SET_ZERO_DATA, &whole, sizeof(whole) - 1, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Fsctl(file, FSCTL_SET_ZERO_DATA, nullptr, 0, 0).status, STATUS_INVALID_PARAMETER);
    HANDLE directory = Keep("\\dir", FILE_READ_DATA | FILE_WRITE_DATA, FILE_DIRECTORY_FILE);
    EXPECT_EQ(Fsctl(directory, FSCTL_SET_ZERO_DATA, whole).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Fsctl(directory, FSCTL_SET_SPARSE, nullptr, 0, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Charged(file), charged);
    EXPECT_EQ(Contents(file), model);

    /* The flag follows the first input byte; no input sets it. */
    UCHAR clear = 0;
    ASSERT_EQ(Fsctl(file, FSCTL_SET_SPARSE, &clear, 1, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(n->ReportedAttributes(NodeOf(file)) & FILE_ATTRIBUTE_SPARSE_FILE, 0u);
    ASSERT_EQ(Fsctl(file, FSCTL_SET_SPARSE, nullptr, 0, 0).status, STATUS_SUCCESS);
    EXPECT_NE(n->ReportedAttributes(NodeOf(file)) & FILE_ATTRIBUTE_SPARSE_FILE, 0u);
}

class SparseModelTest : public FsctlControlTest {
protected:
    /* FSCTL_QUERY_ALLOCATED_RANGES with room for capacity records. */
    Reply Ranges(HANDLE handle, LONGLONG offset, LONGLONG length, ULONG capacity)
    {
        FILE_ALLOCATED_RANGE_BUFFER query{{.QuadPart = offset}, {.QuadPart = length}};
        return Fsctl(handle, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof(query),
                     capacity * (ULONG)sizeof(FILE_ALLOCATED_RANGE_BUFFER));
    }
    /* The runs of allocated extents, cut to [start, end) and the size. */
    static std::vector<std::pair<ULONGLONG, ULONGLONG>> ModelRuns(const std::vector<bool> &allocated, ULONGLONG size,
                                                                  ULONGLONG start, ULONGLONG end)
    {
        std::vector<std::pair<ULONGLONG, ULONGLONG>> runs;
        end = std::min(end, size);
        for (size_t i = 0; i < allocated.size(); ++i) {
            if (!allocated[i])
                continue;
            ULONGLONG from = std::max(start, i * kExtent), to = std::min(end, (i + 1) * kExtent);
            if (from >= to)
                continue;
            if (!runs.empty() && runs.back().first + runs.back().second == from && from % kExtent == 0)
                runs.back().second += to - from;
            else
                runs.push_back({from, to - from});
        }
        return runs;
    }
    void CheckRanges(HANDLE handle, const std::vector<bool> &allocated, ULONGLONG size, ULONGLONG start,
                     ULONGLONG length, ULONG capacity)
    {
        auto runs = ModelRuns(allocated, size, start, start + length);
        Reply r = Ranges(handle, (LONGLONG)start, (LONGLONG)length, capacity);
        size_t fit = std::min<size_t>(runs.size(), capacity);
        ASSERT_EQ(r.status, runs.size() > capacity ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS);
        ASSERT_EQ(r.information, fit * sizeof(FILE_ALLOCATED_RANGE_BUFFER));
        for (size_t i = 0; i < fit; ++i) {
            FILE_ALLOCATED_RANGE_BUFFER got;
            memcpy(&got, r.output.data() + i * sizeof(got), sizeof(got));
            EXPECT_EQ((ULONGLONG)got.FileOffset.QuadPart, runs[i].first) << "range " << i;
            EXPECT_EQ((ULONGLONG)got.Length.QuadPart, runs[i].second) << "range " << i;
        }
    }
};

/*
 * Random zeroing and writes on a file of many extents, sparse or not, against
 * a model of its bytes and of which extents hold memory: reads match the
 * bytes, allocated-range queries match the extents at random offsets and
 * capacities, and the volume's charge falls by exactly one extent for each
 * whole extent a sparse file gives back (a dense file gives nothing back).
 */
TEST_F(SparseModelTest, ZeroingMatchesTheModel)
{
    for (bool sparse : {true, false}) {
        SCOPED_TRACE(sparse ? "sparse" : "dense");
        const ULONGLONG size = 8 * kExtent + 12345;
        const size_t extents = (size_t)((size + kExtent - 1) / kExtent);
        std::vector<UCHAR> model;
        HANDLE file = MakeFile(sparse ? "\\sparse" : "\\dense", (size_t)size, &model);
        std::vector<bool> allocated(extents, true);
        if (sparse) {
            ASSERT_EQ(Fsctl(file, FSCTL_SET_SPARSE, nullptr, 0, 0).status, STATUS_SUCCESS);
        }
        LONG64 base = Charged(file) - (LONG64)(extents * kExtent);

        for (int step = 0; step < 30; ++step) {
            SCOPED_TRACE(step);
            if (random() % 3 != 0) {
                ULONGLONG offset = random() % (size + kMiB);
                if (random() % 2)
                    offset = offset / kExtent * kExtent;
                ULONGLONG end = offset + random() % (5 * kExtent);
                if (random() % 2)
                    end = (end + kExtent - 1) / kExtent * kExtent;
                FILE_ZERO_DATA_INFORMATION z{{.QuadPart = (LONGLONG)offset}, {.QuadPart = (LONGLONG)end}};
                ASSERT_EQ(Fsctl(file, FSCTL_SET_ZERO_DATA, z).status, STATUS_SUCCESS);
                ULONGLONG cut = std::min(end, size);
                for (ULONGLONG b = offset; b < cut; ++b)
                    model[b] = 0;
                for (size_t i = 0; i < extents && sparse; ++i)
                    if (offset <= i * kExtent && (i + 1) * kExtent <= cut)
                        allocated[i] = false;
            } else {
                size_t length = 1 + random() % (3 * kMiB);
                ULONGLONG at = random() % (size - length);
                std::vector<UCHAR> bytes = RandomBytes(length);
                WriteAll(file, at, bytes.data(), length);
                std::copy(bytes.begin(), bytes.end(), model.begin() + at);
                for (ULONGLONG i = at / kExtent; i <= (at + length - 1) / kExtent; ++i)
                    allocated[i] = true;
            }
            ASSERT_EQ(Contents(file), model);
            LONG64 held = std::count(allocated.begin(), allocated.end(), true) * (LONG64)kExtent;
            ASSERT_EQ(Charged(file) - base, held);
            ULONGLONG start = random() % (size + kExtent);
            CheckRanges(file, allocated, size, start, random() % (size + kExtent), random() % 8);
            CheckRanges(file, allocated, size, 0, size, 64);
        }
        if (sparse) {
            EXPECT_EQ(AllocationSize(file), (ULONGLONG)std::count(allocated.begin(), allocated.end(), true) * kExtent);
        }
    }
}

/* Allocated-range queries with bad or extreme inputs. */
TEST_F(SparseModelTest, AllocatedRangeQueryInputs)
{
    std::vector<UCHAR> model;
    HANDLE file = MakeFile("\\ranges", 3 * kExtent, &model);
    ASSERT_EQ(Fsctl(file, FSCTL_SET_SPARSE, nullptr, 0, 0).status, STATUS_SUCCESS);
    FILE_ZERO_DATA_INFORMATION z{{.QuadPart = (LONGLONG)kExtent}, {.QuadPart = (LONGLONG)(2 * kExtent)}};
    ASSERT_EQ(Fsctl(file, FSCTL_SET_ZERO_DATA, z).status, STATUS_SUCCESS);

    EXPECT_EQ(Ranges(file, -1, 10, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ranges(file, 0, -1, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ranges(file, LLONG_MIN, LLONG_MAX, 4).status, STATUS_INVALID_PARAMETER);
    FILE_ALLOCATED_RANGE_BUFFER query{{.QuadPart = 0}, {.QuadPart = 100}};
    EXPECT_EQ(Fsctl(file, FSCTL_QUERY_ALLOCATED_RANGES, &query, 15, 64).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Fsctl(file, FSCTL_QUERY_ALLOCATED_RANGES, nullptr, 16, 64).status, STATUS_INVALID_PARAMETER);
    HANDLE directory = Keep("\\d", FILE_READ_DATA, FILE_DIRECTORY_FILE);
    EXPECT_EQ(Fsctl(directory, FSCTL_QUERY_ALLOCATED_RANGES, query, 64).status, STATUS_INVALID_PARAMETER);

    /* Ends far beyond the file (the sum passes 2^63 but not 2^64) are cut to its size. */
    CheckRanges(file, {true, false, true}, 3 * kExtent, 0, LLONG_MAX, 4);
    CheckRanges(file, {true, false, true}, 3 * kExtent, 1ull << 62, LLONG_MAX, 4);
    CheckRanges(file, {true, false, true}, 3 * kExtent, 100, 0, 4);
    /* No room at all: the first range overflows. */
    CheckRanges(file, {true, false, true}, 3 * kExtent, 0, 3 * kExtent, 0);
    /* Room that is not a whole record counts down to whole records. */
    Reply r = Fsctl(file, FSCTL_QUERY_ALLOCATED_RANGES, query, 31);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 16u);

    /* The buffers of this control reach the file system unchecked: one outside the caller's space is refused. */
    std::vector<UCHAR> foreign(64);
    FILE_ALLOCATED_RANGE_BUFFER *userQuery = reinterpret_cast<FILE_ALLOCATED_RANGE_BUFFER *>(in);
    *userQuery = query;
    for (auto [input, output] : {std::pair<PVOID, PVOID>{foreign.data(), out}, {in, foreign.data()}}) {
        NTSTATUS status = support::AsUser(*process, [&] {
            return NtFsControlFile(file, nullptr, nullptr, nullptr, controlIosb, FSCTL_QUERY_ALLOCATED_RANGES, input,
                                   sizeof(query), output, 64);
        });
        EXPECT_EQ(status, STATUS_ACCESS_VIOLATION);
    }

    /* A small file is one range from the offset to its end. */
    std::vector<UCHAR> small;
    HANDLE little = MakeFile("\\little", 3000, &small);
    CheckRanges(little, {true}, 3000, 1000, 10000, 2);
    CheckRanges(little, {true}, 3000, 3000, 10, 2);
}

} // namespace
