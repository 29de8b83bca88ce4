/*
 * File information queries: every buffer length from empty to past each record,
 * sent straight to the volume (the I/O manager's own length floor would hide the
 * file system's rules), checking status, Information and that nothing is written
 * past Information; then the native API as a program sees it: nested names in
 * their stored case; then the sets of times, attributes and the position (and
 * where reads leave it).
 */
#include "set_information_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr UCHAR kGuard = 0xCC;
constexpr ULONG kSlack = 64; /* buffer bytes beyond the length the driver is told */

struct QueryResult {
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<UCHAR> bytes; /* the whole buffer, guard included */
};

/* The set helpers (user and direct sets, user queries) are the set-information fixture's. */
class InformationTest : public SetInformationTest {
protected:
    /* IRP_MJ_QUERY_INFORMATION for a file object from the test thread, with a guarded system buffer. */
    static QueryResult Query(PFILE_OBJECT file, FILE_INFORMATION_CLASS c, ULONG length)
    {
        QueryResult result{STATUS_UNSUCCESSFUL, 0, std::vector<UCHAR>(length + kSlack, kGuard)};
        result.status = SendFileRequest(
            file, IRP_MJ_QUERY_INFORMATION,
            [&](PIRP irp, PIO_STACK_LOCATION stack) {
                irp->AssociatedIrp.SystemBuffer = result.bytes.data();
                stack->Parameters.QueryFile.Length = length;
                stack->Parameters.QueryFile.FileInformationClass = c;
            },
            &result.information);
        return result;
    }

    /* The basic record as the user program reads it. */
    FILE_BASIC_INFORMATION Basic(HANDLE handle)
    {
        FILE_BASIC_INFORMATION record{};
        EXPECT_EQ(UserQuery(handle, FileBasicInformation, sizeof(record)), STATUS_SUCCESS);
        memcpy(&record, scratch, sizeof(record));
        return record;
    }
    /* Nothing past Information (or past the length) is touched. */
    static void ExpectGuardFrom(const QueryResult &r, size_t from, const char *what, ULONG length)
    {
        for (size_t i = from; i < r.bytes.size(); ++i)
            if (r.bytes[i] != kGuard) {
                ADD_FAILURE() << what << " length " << length << ": byte " << i << " written past " << from;
                return;
            }
    }

    /*
     * A name record whose length field sits at head - 4: the full length always;
     * the name only when it fits whole, else STATUS_BUFFER_OVERFLOW with the head
     * alone written.
     */
    static void ExpectNameAt(const QueryResult &r, ULONG head, const std::u16string &path, ULONG length)
    {
        const ULONG pathBytes = (ULONG)(path.size() * 2);
        ULONG nameLength = 0;
        memcpy(&nameLength, r.bytes.data() + head - 4, 4);
        EXPECT_EQ(nameLength, pathBytes) << length;
        bool fits = length >= head + pathBytes;
        EXPECT_EQ(r.status, fits ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW) << length;
        EXPECT_EQ(r.information, fits ? head + pathBytes : head) << length;
        if (fits) {
            EXPECT_EQ(memcmp(r.bytes.data() + head, path.data(), pathBytes), 0) << length;
        }
        ExpectGuardFrom(r, r.information, "name", length);
    }
};

struct FixedClass {
    FILE_INFORMATION_CLASS c;
    ULONG size;
    const char *name;
};

/*
 * Every fixed record at every length up to and past its size: shorter buffers
 * fail with STATUS_BUFFER_TOO_SMALL and are left alone, and a long enough one is
 * filled with exactly the record and nothing after it.
 */
TEST_F(InformationTest, FixedRecordsAtEveryLength)
{
    const FixedClass classes[] = {
        {FileBasicInformation, 40, "basic"},         {FileStandardInformation, 24, "standard"},
        {FileInternalInformation, 8, "internal"},    {FileEaInformation, 4, "ea"},
        {FilePositionInformation, 8, "position"},    {FileNetworkOpenInformation, 56, "network-open"},
        {FileAttributeTagInformation, 8, "tag"},     {FileStandardLinkInformation, 12, "standard-link"},
        {FileIdInformation, 24, "id"},               {FileStatInformation, 72, "stat"},
        {FileStatLxInformation, 96, "stat-lx"},
    };
    HANDLE handle = OpenFile("\\sweep");
    ASSERT_EQ(WriteAt(handle, 0, "0123456789", 10), STATUS_SUCCESS);
    PFILE_OBJECT file = FileObjectOf(handle, *process);
    for (const FixedClass &fc : classes) {
        for (ULONG length = 0; length <= fc.size + 8; ++length) {
            QueryResult r = Query(file, fc.c, length);
            if (length < fc.size) {
                EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << fc.name << " length " << length;
                EXPECT_EQ(r.information, 0u) << fc.name << " length " << length;
                ExpectGuardFrom(r, 0, fc.name, length);
            } else {
                ASSERT_EQ(r.status, STATUS_SUCCESS) << fc.name << " length " << length;
                EXPECT_EQ(r.information, fc.size) << fc.name << " length " << length;
                ExpectGuardFrom(r, fc.size, fc.name, length);
            }
        }
    }

    /* The records agree with each other and with the node. */
    PFCB node = NodeOf(handle);
    auto stat = Query(file, FileStatLxInformation, 96);
    auto basic = Query(file, FileBasicInformation, 40);
    auto open = Query(file, FileNetworkOpenInformation, 56);
    auto id = Query(file, FileIdInformation, 24);
    const auto *st = reinterpret_cast<const FILE_STAT_LX_INFORMATION *>(stat.bytes.data());
    const auto *ba = reinterpret_cast<const FILE_BASIC_INFORMATION *>(basic.bytes.data());
    const auto *no = reinterpret_cast<const FILE_NETWORK_OPEN_INFORMATION *>(open.bytes.data());
    const auto *fi = reinterpret_cast<const FILE_ID_INFORMATION *>(id.bytes.data());
    EXPECT_EQ((ULONGLONG)st->FileId.QuadPart, node->NodeId);
    EXPECT_EQ(st->LastWriteTime.QuadPart, ba->LastWriteTime.QuadPart);
    EXPECT_EQ(st->FileAttributes, ba->FileAttributes);
    EXPECT_EQ(st->EndOfFile.QuadPart, 10);
    EXPECT_EQ(st->AllocationSize.QuadPart, no->AllocationSize.QuadPart);
    EXPECT_EQ(st->NumberOfLinks, 1u);
    EXPECT_EQ(st->EffectiveAccess, static_cast<PCCB>(file->FsContext2)->GrantedAccess);
    EXPECT_NE(st->EffectiveAccess & FILE_WRITE_DATA, 0u);
    EXPECT_EQ(st->LxFlags | st->LxUid | st->LxGid | st->LxMode | st->LxDeviceIdMajor | st->LxDeviceIdMinor, 0u);
    EXPECT_EQ(fi->VolumeSerialNumber, node->Vcb->Vdr->SerialNumber);
    ULONGLONG low = 0, high = 0;
    memcpy(&low, fi->FileId.Identifier, 8);
    memcpy(&high, fi->FileId.Identifier + 8, 8);
    EXPECT_EQ(low, node->NodeId);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);

    /* The EA size is the packed size: name + value + 9 for each attribute. */
    alignas(8) UCHAR ea[32];
    ULONG eaLength = PackOneEa(ea, "COLOR", "blue");
    OpenRequest rq;
    rq.disposition = FILE_CREATE;
    rq.ea = ea;
    rq.eaLength = eaLength;
    ASSERT_EQ(Open("\\colored", &handle, rq), STATUS_SUCCESS);
    QueryResult eas = Query(FileObjectOf(handle, *process), FileEaInformation, 4);
    EXPECT_EQ(reinterpret_cast<const FILE_EA_INFORMATION *>(eas.bytes.data())->EaSize, 5u + 4u + 9u);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

/*
 * The name, all and hard-link records at every length: the head's floor, the
 * overflow that reports the full length with nothing of the name copied, and the
 * whole record once it fits.
 */
TEST_F(InformationTest, VariableRecordsAtEveryLength)
{
    ASSERT_EQ(Make("\\outer", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\outer\\inner", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    HANDLE handle = OpenFile("\\outer\\inner\\leaf.txt");
    PFILE_OBJECT file = FileObjectOf(handle, *process);
    const std::u16string path = Utf16("\\outer\\inner\\leaf.txt");
    const ULONG pathBytes = (ULONG)(path.size() * 2);

    for (FILE_INFORMATION_CLASS c : {FileNameInformation, FileNormalizedNameInformation}) {
        for (ULONG length = 0; length <= 4 + pathBytes + 4; ++length) {
            QueryResult r = Query(file, c, length);
            if (length < 8) {
                EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << length;
                ExpectGuardFrom(r, 0, "name", length);
            } else {
                ExpectNameAt(r, 4, path, length);
            }
        }
    }

    for (ULONG length = 0; length <= 100 + pathBytes + 4; ++length) {
        QueryResult r = Query(file, FileAllInformation, length);
        if (length < 100) {
            EXPECT_EQ(r.status, STATUS_INFO_LENGTH_MISMATCH) << length;
            ExpectGuardFrom(r, 0, "all", length);
            continue;
        }
        const auto *all = reinterpret_cast<const FILE_ALL_INFORMATION *>(r.bytes.data());
        EXPECT_EQ(all->StandardInformation.NumberOfLinks, 1u);
        EXPECT_EQ((ULONGLONG)all->InternalInformation.IndexNumber.QuadPart, NodeOf(handle)->NodeId);
        EXPECT_EQ(all->AccessInformation.AccessFlags | all->ModeInformation.Mode |
                      all->AlignmentInformation.AlignmentRequirement,
                  0u);
        ExpectNameAt(r, 100, path, length);
    }

    /* One name: an entry of (16 + 27) & ~7 = 40 bytes, written once its head and name fit. */
    const ULONG leafBytes = 16;
    const ULONG entryBytes = (leafBytes + 27) & ~7u;
    for (ULONG length = 0; length <= 8 + entryBytes + 8; ++length) {
        QueryResult r = Query(file, FileHardLinkInformation, length);
        if (length < 8) {
            EXPECT_EQ(r.status, STATUS_INFO_LENGTH_MISMATCH) << length;
            ExpectGuardFrom(r, 0, "links", length);
            continue;
        }
        const auto *links = reinterpret_cast<const FILE_LINKS_INFORMATION *>(r.bytes.data());
        EXPECT_EQ(links->BytesNeeded, 8 + entryBytes) << length;
        if (length < 8 + 20 + leafBytes) {
            EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW) << length;
            EXPECT_EQ(links->EntriesReturned, 0u) << length;
            EXPECT_EQ(r.information, 8u) << length;
            ExpectGuardFrom(r, 8, "links", length);
        } else {
            ASSERT_EQ(r.status, STATUS_SUCCESS) << length;
            EXPECT_EQ(links->EntriesReturned, 1u);
            EXPECT_EQ(r.information, std::min<ULONG>(length, 8 + entryBytes)) << length;
            EXPECT_EQ(links->Entry.NextEntryOffset, 0u);
            EXPECT_EQ(links->Entry.FileNameLength, leafBytes / 2);
            EXPECT_EQ(memcmp(links->Entry.FileName, u"leaf.txt", leafBytes), 0);
            ExpectGuardFrom(r, 8 + 20 + leafBytes, "links", length);
        }
    }

    /* Classes this handler leaves to others. */
    EXPECT_EQ(Query(file, FileAccessInformation, 64).status, STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(Query(file, FileStreamInformation, 64).status, STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

/* Through the native API: the root and nested directories, by their stored case (the overflow is the sweep's). */
TEST_F(InformationTest, NamesThroughTheNativeApi)
{
    ASSERT_EQ(Make("\\a", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\a\\bb", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    struct Case {
        const char *open;
        const char *expect;
    } cases[] = {{"\\", "\\"}, {"\\a", "\\a"}, {"\\a\\bb", "\\a\\bb"}, {"\\A\\BB", "\\a\\bb"}};
    for (const Case &c : cases) {
        OpenRequest rq;
        rq.access = FILE_READ_ATTRIBUTES;
        HANDLE handle;
        ASSERT_EQ(Open(c.open, &handle, rq), STATUS_SUCCESS) << c.open;
        ASSERT_EQ(UserQuery(handle, FileNameInformation, 256), STATUS_SUCCESS) << c.open;
        const auto *name = reinterpret_cast<const FILE_NAME_INFORMATION *>(scratch);
        std::u16string expect = Utf16(c.expect);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(name->FileName), name->FileNameLength / 2),
                  expect)
            << c.open;
        EXPECT_EQ(iosb->Information, 4 + expect.size() * 2);
        EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    }
}

/*
 * Setting times and attributes: a time above 0 replaces, 0 and negative leave the
 * stored one; FILE_ATTRIBUTE_NORMAL alone clears every kept bit; bits a node does
 * not keep are dropped; a record shorter than its size changes nothing.
 */
TEST_F(InformationTest, SetBasicReplacesOnlyWhatItNames)
{
    HANDLE handle = OpenFile("\\times", FILE_READ_DATA | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES);
    const FILE_BASIC_INFORMATION before = Basic(handle);

    FILE_BASIC_INFORMATION set{};
    set.CreationTime.QuadPart = 1000;
    set.LastAccessTime.QuadPart = -1;
    set.LastWriteTime.QuadPart = 3000;
    set.ChangeTime.QuadPart = 0;
    set.FileAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY |
                         FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SPARSE_FILE;
    ASSERT_EQ(UserSet(handle, FileBasicInformation, &set, sizeof(set)), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION after = Basic(handle);
    EXPECT_EQ(after.CreationTime.QuadPart, 1000);
    EXPECT_EQ(after.LastAccessTime.QuadPart, before.LastAccessTime.QuadPart);
    EXPECT_EQ(after.LastWriteTime.QuadPart, 3000);
    EXPECT_EQ(after.ChangeTime.QuadPart, before.ChangeTime.QuadPart);
    EXPECT_EQ(after.FileAttributes,
              (ULONG)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY));

    /* Zero attributes leave them; NORMAL alone clears them. */
    FILE_BASIC_INFORMATION keep{};
    ASSERT_EQ(UserSet(handle, FileBasicInformation, &keep, sizeof(keep)), STATUS_SUCCESS);
    EXPECT_EQ(Basic(handle).FileAttributes, after.FileAttributes);
    FILE_BASIC_INFORMATION normal{};
    normal.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ASSERT_EQ(UserSet(handle, FileBasicInformation, &normal, sizeof(normal)), STATUS_SUCCESS);
    EXPECT_EQ(Basic(handle).FileAttributes, (ULONG)FILE_ATTRIBUTE_NORMAL);

    /* Every short length is refused by the file system itself and leaves the node as it was. */
    PFILE_OBJECT file = FileObjectOf(handle, *process);
    FILE_BASIC_INFORMATION change{};
    change.CreationTime.QuadPart = 77;
    change.FileAttributes = FILE_ATTRIBUTE_HIDDEN;
    for (ULONG length = 0; length < sizeof(change); ++length)
        EXPECT_EQ(SetDirect(file, FileBasicInformation, &change, length), STATUS_INFO_LENGTH_MISMATCH) << length;
    FILE_BASIC_INFORMATION unchanged = Basic(handle);
    EXPECT_EQ(unchanged.CreationTime.QuadPart, 1000);
    EXPECT_EQ(unchanged.FileAttributes, (ULONG)FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

/* The position a file object keeps: short records and negative offsets leave it; others become it. */
TEST_F(InformationTest, SetPositionOnTheFileObject)
{
    HANDLE handle = OpenFile("\\pos");
    PFILE_OBJECT file = FileObjectOf(handle, *process);
    FILE_POSITION_INFORMATION position{};
    position.CurrentByteOffset.QuadPart = 12345;
    ASSERT_EQ(SetDirect(file, FilePositionInformation, &position, sizeof(position)), STATUS_SUCCESS);
    EXPECT_EQ(file->CurrentByteOffset.QuadPart, 12345);
    FILE_POSITION_INFORMATION other{};
    other.CurrentByteOffset.QuadPart = 99;
    for (ULONG length = 0; length < sizeof(other); ++length)
        EXPECT_EQ(SetDirect(file, FilePositionInformation, &other, length), STATUS_INFO_LENGTH_MISMATCH) << length;
    other.CurrentByteOffset.QuadPart = -1;
    EXPECT_EQ(SetDirect(file, FilePositionInformation, &other, sizeof(other)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(file->CurrentByteOffset.QuadPart, 12345);

    /* Through the native API the next read starts there, and the reads move it on for both queries. */
    ASSERT_EQ(WriteAt(handle, 0, "abcdefghij", 10), STATUS_SUCCESS);
    position.CurrentByteOffset.QuadPart = 6;
    ASSERT_EQ(UserSet(handle, FilePositionInformation, &position, sizeof(position)), STATUS_SUCCESS);
    std::vector<UCHAR> data;
    ASSERT_EQ(Read(handle, nullptr, 3, &data), STATUS_SUCCESS);
    EXPECT_EQ(std::string(data.begin(), data.end()), "ghi");
    ASSERT_EQ(UserQuery(handle, FilePositionInformation, 8), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<const FILE_POSITION_INFORMATION *>(scratch)->CurrentByteOffset.QuadPart, 9);
    ASSERT_EQ(Read(handle, nullptr, 10, &data), STATUS_SUCCESS);
    QueryResult all = Query(file, FileAllInformation, 256);
    EXPECT_EQ(reinterpret_cast<const FILE_ALL_INFORMATION *>(all.bytes.data())->PositionInformation.CurrentByteOffset.QuadPart,
              10);
    EXPECT_EQ(reinterpret_cast<const FILE_POSITION_INFORMATION *>(Query(file, FilePositionInformation, 8).bytes.data())
                  ->CurrentByteOffset.QuadPart,
              10);

    EXPECT_EQ(SetDirect(file, FileStreamInformation, &position, sizeof(position)), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

} // namespace
