/*
 * FsRtlValidateReparsePointBuffer, called as a file system calls it on the
 * buffer of a set-reparse-point request: the length rules (header, 16 KiB
 * limit, data length against buffer length, GUID header for tags without the
 * Microsoft bit), the tag rules, and the names inside mount-point and
 * symbolic-link records.
 */
#include "machine_test.h"

#include <ntifs.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using ReparseBufferTest = MachineTest;
using ReparseBufferDeathTest = MachineTest;

constexpr ULONG kThirdPartyTag = 0x00001234; /* no Microsoft bit: needs the GUID header */

/* A buffer with the tag, a header of the tag's kind, and dataBytes bytes of data. */
std::vector<UCHAR> Buffer(ULONG tag, size_t dataBytes)
{
    size_t header = IsReparseTagMicrosoft(tag) ? REPARSE_DATA_BUFFER_HEADER_SIZE : REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    std::vector<UCHAR> buffer(header + dataBytes, 0x5A);
    USHORT dataLength = (USHORT)dataBytes;
    USHORT reserved = 0;
    std::memcpy(&buffer[0], &tag, 4);
    std::memcpy(&buffer[4], &dataLength, 2);
    std::memcpy(&buffer[6], &reserved, 2);
    return buffer;
}

void SetDataLength(std::vector<UCHAR> &buffer, USHORT dataLength)
{
    std::memcpy(&buffer[4], &dataLength, 2);
}

/* A mount-point or symbolic-link record: substitute name, then print name, in the path buffer. */
std::vector<UCHAR> Link(ULONG tag, const std::u16string &substitute, const std::u16string &print)
{
    size_t fixed = tag == IO_REPARSE_TAG_SYMLINK ? 12 : 8;
    size_t path = (substitute.size() + print.size()) * 2;
    std::vector<UCHAR> buffer = Buffer(tag, fixed + path);
    USHORT names[4] = {0, (USHORT)(substitute.size() * 2), (USHORT)(substitute.size() * 2),
                       (USHORT)(print.size() * 2)};
    std::memcpy(&buffer[8], names, sizeof(names));
    std::memcpy(&buffer[8 + fixed], substitute.data(), substitute.size() * 2);
    std::memcpy(&buffer[8 + fixed + substitute.size() * 2], print.data(), print.size() * 2);
    return buffer;
}

void SetName(std::vector<UCHAR> &buffer, size_t field, USHORT value)
{
    std::memcpy(&buffer[8 + field * 2], &value, 2);
}

/* Validates a copy one byte past a ULONG boundary, and checks the copy was left alone. */
NTSTATUS Validate(const std::vector<UCHAR> &buffer, ULONG length)
{
    std::vector<UCHAR> storage(buffer.size() + 8);
    UCHAR *start = storage.data() + 1;
    std::memcpy(start, buffer.data(), buffer.size());
    NTSTATUS status = FsRtlValidateReparsePointBuffer(length, reinterpret_cast<PREPARSE_DATA_BUFFER>(start));
    EXPECT_EQ(std::memcmp(start, buffer.data(), buffer.size()), 0);
    return status;
}

NTSTATUS Validate(const std::vector<UCHAR> &buffer)
{
    return Validate(buffer, (ULONG)buffer.size());
}

TEST_F(ReparseBufferTest, WellFormedBuffersPass)
{
    EXPECT_EQ(Validate(Link(IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\T:\\real\\", u"T:\\real\\")), STATUS_SUCCESS);
    EXPECT_EQ(Validate(Link(IO_REPARSE_TAG_SYMLINK, u"..\\real", u"..\\real")), STATUS_SUCCESS);
    EXPECT_EQ(Validate(Link(IO_REPARSE_TAG_MOUNT_POINT, u"", u"")), STATUS_SUCCESS);
    EXPECT_EQ(Validate(Buffer(IO_REPARSE_TAG_DFS, 0)), STATUS_SUCCESS);      // a Microsoft header alone
    EXPECT_EQ(Validate(Buffer(IO_REPARSE_TAG_HSM, 100)), STATUS_SUCCESS);    // Microsoft may set bit 30
    EXPECT_EQ(Validate(Buffer(kThirdPartyTag, 0)), STATUS_SUCCESS);          // a GUID header alone
    EXPECT_EQ(Validate(Buffer(kThirdPartyTag, 3)), STATUS_SUCCESS);
    EXPECT_EQ(Validate(Buffer(0x0FFF0000 | kThirdPartyTag, 3)), STATUS_SUCCESS); // reserved bits ignored
    EXPECT_EQ(Validate(Buffer(0x20000000 | kThirdPartyTag, 3)), STATUS_SUCCESS); // name surrogate
    EXPECT_EQ(Validate(Buffer(0x10000000 | kThirdPartyTag, 3)), STATUS_SUCCESS); // directory
}

TEST_F(ReparseBufferTest, TagsNobodyMaySetAreRefused)
{
    for (ULONG tag : {0u, 1u, 2u, 0x40000000u | kThirdPartyTag, 0x30000000u | kThirdPartyTag,
                      0xB0000000u | 0x1234u}) {
        EXPECT_EQ(Validate(Buffer(tag, 4)), STATUS_IO_REPARSE_TAG_INVALID) << std::hex << tag;
    }
    EXPECT_EQ(Validate(Buffer(3, 4)), STATUS_SUCCESS); // the first tag above the reserved range
}

TEST_F(ReparseBufferTest, LengthsMustAgreeWithTheHeader)
{
    // Too short to hold a header: nothing else is read.
    std::vector<UCHAR> header = Buffer(IO_REPARSE_TAG_DFS, 0);
    for (ULONG length = 0; length < REPARSE_DATA_BUFFER_HEADER_SIZE; ++length)
        EXPECT_EQ(Validate(header, length), STATUS_IO_REPARSE_DATA_INVALID) << length;

    // Sweep: every buffer length and every claimed data length around a well-formed
    // buffer of each kind. Only header + data length = buffer length passes, and for
    // a link only while the claimed data still holds both names.
    for (const std::vector<UCHAR> &good :
         {Link(IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\T:\\x", u"T:\\x"), Link(IO_REPARSE_TAG_SYMLINK, u"x", u"x"),
          Buffer(IO_REPARSE_TAG_DFS, 20), Buffer(kThirdPartyTag, 20)}) {
        ULONG tag;
        std::memcpy(&tag, good.data(), 4);
        bool link = tag == IO_REPARSE_TAG_MOUNT_POINT || tag == IO_REPARSE_TAG_SYMLINK;
        ULONG headerBytes = IsReparseTagMicrosoft(tag) ? 8 : 24;
        ULONG dataLength = (ULONG)good.size() - headerBytes;
        std::vector<UCHAR> padded = good;
        padded.resize(good.size() + 8, 0);
        for (ULONG length = 8; length <= padded.size(); ++length) {
            for (ULONG claimed = 0; claimed <= dataLength + 8; ++claimed) {
                SetDataLength(padded, (USHORT)claimed);
                bool consistent = length == headerBytes + claimed && (!link || claimed >= dataLength);
                ASSERT_EQ(Validate(padded, length), consistent ? STATUS_SUCCESS : STATUS_IO_REPARSE_DATA_INVALID)
                    << std::hex << tag << std::dec << " length " << length << " claimed " << claimed;
            }
        }
    }

    // A tag without the Microsoft bit sized as if it had the 8-byte header lies by the GUID.
    std::vector<UCHAR> noGuid = Buffer(IO_REPARSE_TAG_DFS, 20);
    ULONG thirdParty = kThirdPartyTag;
    std::memcpy(noGuid.data(), &thirdParty, 4);
    EXPECT_EQ(Validate(noGuid), STATUS_IO_REPARSE_DATA_INVALID);
    EXPECT_EQ(Validate(Buffer(kThirdPartyTag, 0), 8), STATUS_IO_REPARSE_DATA_INVALID);
}

TEST_F(ReparseBufferTest, SixteenKiBIsTheLimit)
{
    std::vector<UCHAR> largest = Buffer(IO_REPARSE_TAG_DFS, MAXIMUM_REPARSE_DATA_BUFFER_SIZE - 8);
    EXPECT_EQ(Validate(largest), STATUS_SUCCESS);
    std::vector<UCHAR> over = Buffer(IO_REPARSE_TAG_DFS, MAXIMUM_REPARSE_DATA_BUFFER_SIZE - 7);
    EXPECT_EQ(Validate(over), STATUS_IO_REPARSE_DATA_INVALID);
    EXPECT_EQ(Validate(Buffer(kThirdPartyTag, MAXIMUM_REPARSE_DATA_BUFFER_SIZE - 24)), STATUS_SUCCESS);
    EXPECT_EQ(Validate(Buffer(kThirdPartyTag, MAXIMUM_REPARSE_DATA_BUFFER_SIZE - 23)), STATUS_IO_REPARSE_DATA_INVALID);
    // The largest data length the header can claim, with a buffer to match.
    EXPECT_EQ(Validate(Buffer(IO_REPARSE_TAG_DFS, 0xFFFF)), STATUS_IO_REPARSE_DATA_INVALID);
    // The limit is checked before the tag: an oversized buffer with a reserved tag is bad data.
    EXPECT_EQ(Validate(Buffer(1, MAXIMUM_REPARSE_DATA_BUFFER_SIZE)), STATUS_IO_REPARSE_DATA_INVALID);
}

TEST_F(ReparseBufferTest, NamesMustLieInThePathBuffer)
{
    for (ULONG tag : {(ULONG)IO_REPARSE_TAG_MOUNT_POINT, (ULONG)IO_REPARSE_TAG_SYMLINK}) {
        const std::vector<UCHAR> good = Link(tag, u"\\??\\T:\\x", u"T:\\x");
        const size_t fixed = tag == IO_REPARSE_TAG_SYMLINK ? 12 : 8;
        const USHORT path = (USHORT)(good.size() - 8 - fixed);
        // Each offset or length moved to the end of the path buffer, one byte past it, and far past it.
        for (size_t field = 0; field < 4; ++field) {
            USHORT names[4]; /* substitute offset, length, print offset, length */
            std::memcpy(names, &good[8], sizeof(names));
            USHORT partner = names[field ^ 1];
            std::vector<UCHAR> edge = good;
            SetName(edge, field, (USHORT)(path - partner));
            EXPECT_EQ(Validate(edge), STATUS_SUCCESS) << std::hex << tag << " field " << field;
            SetName(edge, field, (USHORT)(path - partner + 1));
            EXPECT_EQ(Validate(edge), STATUS_IO_REPARSE_DATA_INVALID) << std::hex << tag << " field " << field;
            SetName(edge, field, 0xFFFF);
            EXPECT_EQ(Validate(edge), STATUS_IO_REPARSE_DATA_INVALID) << std::hex << tag << " field " << field;
        }
        // Data too short for the record's own fields.
        for (size_t data = 0; data < fixed; ++data) {
            std::vector<UCHAR> cut = Buffer(tag, data);
            EXPECT_EQ(Validate(cut), STATUS_IO_REPARSE_DATA_INVALID) << std::hex << tag << " data " << data;
        }
    }
}

TEST_F(ReparseBufferDeathTest, AbovePassiveLevelTheMachineStops)
{
    std::vector<UCHAR> buffer = Buffer(IO_REPARSE_TAG_DFS, 0);
    auto atApc = [&] {
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        FsRtlValidateReparsePointBuffer((ULONG)buffer.size(), reinterpret_cast<PREPARSE_DATA_BUFFER>(buffer.data()));
    };
    EXPECT_BUGCHECK(atApc(), IRQL_NOT_LESS_OR_EQUAL, {kAnyParameter, APC_LEVEL, PASSIVE_LEVEL});
}

} // namespace
