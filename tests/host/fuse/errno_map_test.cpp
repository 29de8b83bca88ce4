/*
 * Statuses as errno values: every status the driver and the I/O manager answer file
 * requests with is known to the table (none falls through to the logged EIO); success
 * statuses are 0; an unknown status is logged once, however many threads meet it.
 */
#include "errno_map.h"

#include <ntdef.h>
#include <ntstatus.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using fusebridge::ErrnoOfStatus;
using fusebridge::SetStatusLog;

std::mutex gLinesLock;
std::vector<std::string> gLines;

void CollectLine(const char *line)
{
    std::lock_guard<std::mutex> guard(gLinesLock);
    gLines.emplace_back(line);
}

size_t LineCount()
{
    std::lock_guard<std::mutex> guard(gLinesLock);
    return gLines.size();
}

class ErrnoMapTest : public testing::Test {
protected:
    void SetUp() override { SetStatusLog(CollectLine); }
    void TearDown() override { SetStatusLog(nullptr); }
};

/* The failure statuses found in the driver's and the stand-in kernel's request paths
 * (a search of their sources for status names, less those that never leave the
 * kernel: registry, loader and completion-routine statuses). */
const NTSTATUS kReturnedByFileRequests[] = {
    STATUS_ACCESS_DENIED, STATUS_ACCESS_VIOLATION, STATUS_ALLOTTED_SPACE_EXCEEDED, STATUS_BAD_DESCRIPTOR_FORMAT,
    STATUS_BAD_IMPERSONATION_LEVEL, STATUS_BAD_INHERITANCE_ACL, STATUS_BUFFER_OVERFLOW, STATUS_BUFFER_TOO_SMALL,
    STATUS_CANCELLED, STATUS_CANNOT_DELETE, STATUS_CANT_WAIT, STATUS_CONFLICTING_ADDRESSES,
    STATUS_DATATYPE_MISALIGNMENT, STATUS_DELETE_PENDING, STATUS_DEVICE_BUSY, STATUS_DEVICE_NOT_CONNECTED,
    STATUS_DEVICE_NOT_READY, STATUS_DIRECTORY_NOT_EMPTY, STATUS_DISK_FULL, STATUS_EA_LIST_INCONSISTENT,
    STATUS_EA_TOO_LARGE, STATUS_END_OF_FILE, STATUS_FILE_IS_A_DIRECTORY, STATUS_FILE_LOCK_CONFLICT,
    STATUS_INFO_LENGTH_MISMATCH, STATUS_INSUFFICIENT_RESOURCES, STATUS_INTERNAL_ERROR, STATUS_INVALID_ACL,
    STATUS_INVALID_BUFFER_SIZE, STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_DEVICE_STATE,
    STATUS_INVALID_FILE_FOR_SECTION, STATUS_INVALID_HANDLE, STATUS_INVALID_INFO_CLASS, STATUS_INVALID_LOCK_RANGE,
    STATUS_INVALID_OPLOCK_PROTOCOL, STATUS_INVALID_OWNER, STATUS_INVALID_PAGE_PROTECTION, STATUS_INVALID_PARAMETER,
    STATUS_INVALID_PARAMETER_4, STATUS_INVALID_PARAMETER_6, STATUS_INVALID_PARAMETER_8,
    STATUS_INVALID_PRIMARY_GROUP, STATUS_INVALID_SECURITY_DESCR, STATUS_INVALID_SID, STATUS_INVALID_USER_BUFFER,
    STATUS_INVALID_VIEW_SIZE, STATUS_IN_PAGE_ERROR, STATUS_IO_REPARSE_DATA_INVALID, STATUS_IO_REPARSE_TAG_INVALID,
    STATUS_IO_REPARSE_TAG_MISMATCH, STATUS_IO_REPARSE_TAG_NOT_HANDLED, STATUS_IO_TIMEOUT, STATUS_LOCK_NOT_GRANTED,
    STATUS_MAPPED_FILE_SIZE_ZERO, STATUS_MEDIA_WRITE_PROTECTED, STATUS_NAME_TOO_LONG, STATUS_NONEXISTENT_EA_ENTRY,
    STATUS_NOT_A_DIRECTORY, STATUS_NOT_A_REPARSE_POINT, STATUS_NOT_FOUND, STATUS_NOT_IMPLEMENTED,
    STATUS_NOT_MAPPED_VIEW, STATUS_NOT_SAME_DEVICE, STATUS_NOT_SUPPORTED, STATUS_NO_EAS_ON_FILE,
    STATUS_NO_MEDIA_IN_DEVICE, STATUS_NO_MEMORY, STATUS_NO_MORE_EAS, STATUS_NO_MORE_ENTRIES, STATUS_NO_MORE_FILES,
    STATUS_NO_SECURITY_ON_OBJECT, STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_FILE, STATUS_OBJECT_NAME_COLLISION,
    STATUS_OBJECT_NAME_INVALID, STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND,
    STATUS_OBJECT_PATH_SYNTAX_BAD, STATUS_OBJECT_TYPE_MISMATCH, STATUS_OPLOCK_NOT_GRANTED,
    STATUS_PRIVILEGE_NOT_HELD, STATUS_RANGE_NOT_LOCKED, STATUS_REPARSE_ATTRIBUTE_CONFLICT,
    STATUS_REPARSE_POINT_NOT_RESOLVED, STATUS_RETRY, STATUS_REVISION_MISMATCH, STATUS_SECTION_PROTECTION,
    STATUS_SECTION_TOO_BIG, STATUS_SHARING_VIOLATION, STATUS_STOPPED_ON_SYMLINK, STATUS_UNKNOWN_REVISION,
    STATUS_UNRECOGNIZED_MEDIA, STATUS_UNRECOGNIZED_VOLUME, STATUS_UNSUCCESSFUL, STATUS_USER_MAPPED_FILE,
    STATUS_VERIFY_REQUIRED, STATUS_VOLUME_DISMOUNTED, STATUS_WRONG_VOLUME,
};

TEST_F(ErrnoMapTest, EveryStatusFileRequestsReturnIsKnown)
{
    for (NTSTATUS status : kReturnedByFileRequests)
        ErrnoOfStatus(status);
    EXPECT_EQ(LineCount(), 0u) << (gLines.empty() ? "" : gLines.front());
}

TEST_F(ErrnoMapTest, SuccessesAndEndsOfDataAreZero)
{
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_PENDING, STATUS_REPARSE, STATUS_TIMEOUT, STATUS_OBJECT_NAME_EXISTS,
                            STATUS_OPLOCK_BREAK_IN_PROGRESS, STATUS_NOTIFY_ENUM_DIR, (NTSTATUS)0x7FFFFFFF})
        EXPECT_EQ(ErrnoOfStatus(status), 0) << std::hex << status;
    for (NTSTATUS status : {STATUS_END_OF_FILE, STATUS_NO_MORE_FILES, STATUS_NO_MORE_EAS, STATUS_NO_EAS_ON_FILE})
        EXPECT_EQ(ErrnoOfStatus(status), 0) << std::hex << status << ": the end of data is an empty reply";
    for (NTSTATUS status : {STATUS_NOT_SUPPORTED, STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_INFO_CLASS})
        EXPECT_NE(ErrnoOfStatus(status), ENOSYS) << "ENOSYS would switch an operation off for the whole mount";
    EXPECT_EQ(LineCount(), 0u);
}

TEST_F(ErrnoMapTest, AnUnknownStatusIsLoggedOnceAndIsEio)
{
    const NTSTATUS unknown = (NTSTATUS)0xC0DE0001;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                if (ErrnoOfStatus(unknown) != EIO || ErrnoOfStatus(STATUS_ACCESS_DENIED) != EACCES)
                    ++wrong;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    ASSERT_EQ(LineCount(), 1u);
    EXPECT_NE(gLines[0].find("0xC0DE0001"), std::string::npos) << gLines[0];

    EXPECT_EQ(ErrnoOfStatus((NTSTATUS)0x8000FFFF), EIO) << "an unknown warning fails too";
    EXPECT_EQ(ErrnoOfStatus((NTSTATUS)0xC0DE0001), EIO);
    EXPECT_EQ(LineCount(), 2u) << "a second unknown status gets its own line, the first no more";

    for (uint32_t i = 0; i < 5000; ++i)
        ErrnoOfStatus((NTSTATUS)(0xE0000000u + i));
    EXPECT_LE(LineCount(), 1000u) << "a flood of invented statuses must not flood the log";
}

} // namespace
