/*
 * Windows statuses as Linux programs see them.
 *
 * One table, kept sorted by status value at compile time and searched by halving:
 * every failed FUSE request passes through here. The entries are written grouped by
 * meaning; the build sorts them and refuses a status listed twice.
 *
 * Choices a reader may question, and why:
 *   - A sharing violation is EBUSY: another handle's share mode is a transient refusal
 *     by someone else, which is what EBUSY tells a Linux program (the kernel's SMB
 *     client answers the same way). EACCES would send users looking at permissions.
 *   - A byte-range lock conflict on read or write is EAGAIN, the answer Linux gave for
 *     I/O on a region under a mandatory lock. Windows locks are mandatory; a refused
 *     lock request (LOCK_NOT_GRANTED) is EAGAIN as F_SETLK's is.
 *   - A missing privilege, a file Windows will not delete (read-only attribute, a
 *     mapped image) and an owner the caller may not set are EPERM, as Linux answers
 *     unlink of an immutable file or chown by a non-owner; access checks are EACCES.
 *   - A pending delete is ENOENT: the name is going and a new open cannot reach it.
 *   - End of file and the end of a listing (files, EAs) are 0: the Linux answer to a
 *     read or a listing at its end is an empty reply, not an error. A file with no EAs
 *     at all is 0 for the same reason: the driver says so only to an enumeration, and
 *     listxattr's answer is an empty list (a failure would make cp -a complain).
 *   - A volume without extended attributes is EOPNOTSUPP (getxattr on such a file
 *     system); an EA index past the last is ENODATA. A query by name for a missing EA
 *     succeeds with an empty value; getxattr's ENODATA for it is the bridge's to give.
 *   - Buffers too small are ERANGE, getxattr's and listxattr's answer for a short buffer.
 *   - Not supported, an invalid device request and an unknown information class are
 *     EOPNOTSUPP, never ENOSYS: the FUSE kernel module takes ENOSYS from some
 *     operations as "never ask again" for the whole mount.
 *   - A dismounted volume or a device gone is ENODEV: the handle's volume no longer exists.
 *     A volume not ready yet (still mounting) is EAGAIN: the same request can succeed later.
 *   - A cancelled request is EINTR: cancellation is how a FUSE interrupt ends a request.
 *   - Corruption and device errors are EIO explicitly, so they are known and not logged.
 */
#include "errno_map.h"

#include <ntdef.h>
#include <ntstatus.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <unordered_set>

namespace fusebridge {

namespace {

struct StatusErrno {
    uint32_t status;
    int error;
};

constexpr StatusErrno E(NTSTATUS status, int error)
{
    return {(uint32_t)status, error};
}

/* Grouped by meaning; sorted below. Only failure statuses (warnings and errors)
 * appear: every success and information status is 0 before the table is consulted. */
constexpr StatusErrno kUnsorted[] = {
    /* Names and paths. */
    E(STATUS_OBJECT_NAME_NOT_FOUND, ENOENT),
    E(STATUS_OBJECT_PATH_NOT_FOUND, ENOENT),
    E(STATUS_NO_SUCH_FILE, ENOENT),
    E(STATUS_NOT_FOUND, ENOENT),
    E(STATUS_OBJECTID_NOT_FOUND, ENOENT),
    E(STATUS_DELETE_PENDING, ENOENT),
    E(STATUS_FILE_DELETED, ENOENT),
    E(STATUS_OBJECT_NAME_COLLISION, EEXIST),
    E(STATUS_DUPLICATE_NAME, EEXIST),
    E(STATUS_OBJECT_NAME_INVALID, EINVAL),
    E(STATUS_OBJECT_PATH_SYNTAX_BAD, EINVAL),
    E(STATUS_OBJECT_PATH_INVALID, ENOTDIR),
    E(STATUS_NAME_TOO_LONG, ENAMETOOLONG),
    E(STATUS_NOT_A_DIRECTORY, ENOTDIR),
    E(STATUS_DIRECTORY_IS_A_REPARSE_POINT, ENOTDIR),
    E(STATUS_FILE_IS_A_DIRECTORY, EISDIR),
    E(STATUS_DIRECTORY_NOT_EMPTY, ENOTEMPTY),
    E(STATUS_NOT_SAME_DEVICE, EXDEV),
    E(STATUS_STOPPED_ON_SYMLINK, ELOOP),

    /* Access and ownership. */
    E(STATUS_ACCESS_DENIED, EACCES),
    E(STATUS_NETWORK_ACCESS_DENIED, EACCES),
    E(STATUS_BAD_IMPERSONATION_LEVEL, EACCES),
    E(STATUS_NO_IMPERSONATION_TOKEN, EACCES),
    E(STATUS_CANT_OPEN_ANONYMOUS, EACCES),
    E(STATUS_NO_TOKEN, EACCES),
    E(STATUS_PRIVILEGE_NOT_HELD, EPERM),
    E(STATUS_NO_SUCH_PRIVILEGE, EPERM),
    E(STATUS_CANNOT_DELETE, EPERM),
    E(STATUS_INVALID_OWNER, EPERM),
    E(STATUS_INVALID_PRIMARY_GROUP, EPERM),
    E(STATUS_MEDIA_WRITE_PROTECTED, EROFS),

    /* Sharing, locks, mappings, oplocks. */
    E(STATUS_SHARING_VIOLATION, EBUSY),
    E(STATUS_DEVICE_BUSY, EBUSY),
    E(STATUS_FILES_OPEN, EBUSY),
    E(STATUS_USER_MAPPED_FILE, EBUSY),
    E(STATUS_FILE_LOCK_CONFLICT, EAGAIN),
    E(STATUS_LOCK_NOT_GRANTED, EAGAIN),
    E(STATUS_OPLOCK_NOT_GRANTED, EAGAIN),
    E(STATUS_CANT_WAIT, EAGAIN),
    E(STATUS_RETRY, EAGAIN),
    E(STATUS_DEVICE_NOT_READY, EAGAIN),
    E(STATUS_RANGE_NOT_LOCKED, ENOLCK),
    E(STATUS_NOT_LOCKED, ENOLCK),
    E(STATUS_INVALID_LOCK_RANGE, EINVAL),
    E(STATUS_INVALID_LOCK_SEQUENCE, EINVAL),
    E(STATUS_INVALID_OPLOCK_PROTOCOL, EINVAL),

    /* Space and size. */
    E(STATUS_DISK_FULL, ENOSPC),
    E(STATUS_ALLOTTED_SPACE_EXCEEDED, ENOSPC),
    E(STATUS_QUOTA_EXCEEDED, EDQUOT),
    E(STATUS_FILE_TOO_LARGE, EFBIG),
    E(STATUS_SECTION_TOO_BIG, EFBIG),
    E(STATUS_INSUFFICIENT_RESOURCES, ENOMEM),
    E(STATUS_NO_MEMORY, ENOMEM),
    E(STATUS_TOO_MANY_OPENED_FILES, EMFILE),

    /* Ends of data: an empty answer. */
    E(STATUS_END_OF_FILE, 0),
    E(STATUS_NO_MORE_FILES, 0),
    E(STATUS_NO_MORE_ENTRIES, 0),
    E(STATUS_NO_MORE_EAS, 0),
    E(STATUS_NO_EAS_ON_FILE, 0),

    /* Extended attributes. */
    E(STATUS_EAS_NOT_SUPPORTED, EOPNOTSUPP),
    E(STATUS_NONEXISTENT_EA_ENTRY, ENODATA),
    E(STATUS_EA_TOO_LARGE, E2BIG),
    E(STATUS_EA_LIST_INCONSISTENT, EINVAL),
    E(STATUS_INVALID_EA_NAME, EINVAL),
    E(STATUS_INVALID_EA_FLAG, EINVAL),

    /* Reparse points. */
    E(STATUS_NOT_A_REPARSE_POINT, EINVAL),
    E(STATUS_IO_REPARSE_TAG_MISMATCH, EINVAL),
    E(STATUS_IO_REPARSE_TAG_INVALID, EINVAL),
    E(STATUS_IO_REPARSE_DATA_INVALID, EINVAL),
    E(STATUS_REPARSE_ATTRIBUTE_CONFLICT, EINVAL),
    E(STATUS_IO_REPARSE_TAG_NOT_HANDLED, EOPNOTSUPP),
    E(STATUS_REPARSE_POINT_NOT_RESOLVED, ENOENT),

    /* Security descriptors. */
    E(STATUS_NO_SECURITY_ON_OBJECT, EOPNOTSUPP),
    E(STATUS_INVALID_SECURITY_DESCR, EINVAL),
    E(STATUS_BAD_DESCRIPTOR_FORMAT, EINVAL),
    E(STATUS_INVALID_ACL, EINVAL),
    E(STATUS_INVALID_SID, EINVAL),
    E(STATUS_BAD_INHERITANCE_ACL, EINVAL),
    E(STATUS_UNKNOWN_REVISION, EINVAL),
    E(STATUS_REVISION_MISMATCH, EINVAL),

    /* Requests the file system does not do. */
    E(STATUS_NOT_SUPPORTED, EOPNOTSUPP),
    E(STATUS_NOT_IMPLEMENTED, EOPNOTSUPP),
    E(STATUS_INVALID_DEVICE_REQUEST, EOPNOTSUPP),
    E(STATUS_ILLEGAL_FUNCTION, EOPNOTSUPP),
    E(STATUS_INVALID_INFO_CLASS, EOPNOTSUPP),
    E(STATUS_INVALID_LEVEL, EOPNOTSUPP),

    /* Malformed requests and buffers. */
    E(STATUS_INVALID_PARAMETER, EINVAL),
    E(STATUS_INVALID_PARAMETER_1, EINVAL),
    E(STATUS_INVALID_PARAMETER_2, EINVAL),
    E(STATUS_INVALID_PARAMETER_3, EINVAL),
    E(STATUS_INVALID_PARAMETER_4, EINVAL),
    E(STATUS_INVALID_PARAMETER_5, EINVAL),
    E(STATUS_INVALID_PARAMETER_6, EINVAL),
    E(STATUS_INVALID_PARAMETER_7, EINVAL),
    E(STATUS_INVALID_PARAMETER_8, EINVAL),
    E(STATUS_INVALID_PARAMETER_MIX, EINVAL),
    E(STATUS_INVALID_BUFFER_SIZE, EINVAL),
    E(STATUS_INFO_LENGTH_MISMATCH, EINVAL),
    E(STATUS_INVALID_VIEW_SIZE, EINVAL),
    E(STATUS_INVALID_PAGE_PROTECTION, EINVAL),
    E(STATUS_INVALID_FILE_FOR_SECTION, EINVAL),
    E(STATUS_MAPPED_FILE_SIZE_ZERO, EINVAL),
    E(STATUS_SECTION_PROTECTION, EACCES),
    E(STATUS_CONFLICTING_ADDRESSES, EINVAL),
    E(STATUS_NOT_MAPPED_VIEW, EINVAL),
    E(STATUS_BUFFER_TOO_SMALL, ERANGE),
    E(STATUS_BUFFER_OVERFLOW, ERANGE),
    E(STATUS_INVALID_USER_BUFFER, EFAULT),
    E(STATUS_ACCESS_VIOLATION, EFAULT),
    E(STATUS_DATATYPE_MISALIGNMENT, EFAULT),
    E(STATUS_INVALID_ADDRESS, EFAULT),

    /* Handles. */
    E(STATUS_INVALID_HANDLE, EBADF),
    E(STATUS_OBJECT_TYPE_MISMATCH, EBADF),
    E(STATUS_FILE_CLOSED, EBADF),
    E(STATUS_FILE_FORCED_CLOSED, EBADF),
    E(STATUS_HANDLE_NOT_CLOSABLE, EBADF),

    /* Requests ended early. */
    E(STATUS_CANCELLED, EINTR),
    E(STATUS_PROCESS_IS_TERMINATING, EINTR),
    E(STATUS_THREAD_IS_TERMINATING, EINTR),
    E(STATUS_IO_TIMEOUT, ETIMEDOUT),
    E(STATUS_PIPE_BROKEN, EPIPE),

    /* Volumes and devices. */
    E(STATUS_VOLUME_DISMOUNTED, ENODEV),
    E(STATUS_FILE_INVALID, ENODEV),
    E(STATUS_UNRECOGNIZED_VOLUME, ENODEV),
    E(STATUS_NO_SUCH_DEVICE, ENODEV),
    E(STATUS_DEVICE_NOT_CONNECTED, ENODEV),
    E(STATUS_DEVICE_DOES_NOT_EXIST, ENODEV),
    E(STATUS_DEVICE_REMOVED, ENODEV),
    E(STATUS_NO_MEDIA_IN_DEVICE, ENOMEDIUM),
    E(STATUS_UNRECOGNIZED_MEDIA, ENOMEDIUM),
    E(STATUS_WRONG_VOLUME, EIO),
    E(STATUS_VERIFY_REQUIRED, EIO),
    E(STATUS_INVALID_DEVICE_STATE, EIO),

    /* Failures with nothing more specific to say. */
    E(STATUS_UNSUCCESSFUL, EIO),
    E(STATUS_INTERNAL_ERROR, EIO),
    E(STATUS_DRIVER_INTERNAL_ERROR, EIO),
    E(STATUS_IN_PAGE_ERROR, EIO),
    E(STATUS_IO_DEVICE_ERROR, EIO),
    E(STATUS_UNEXPECTED_IO_ERROR, EIO),
    E(STATUS_DEVICE_DATA_ERROR, EIO),
    E(STATUS_DATA_ERROR, EIO),
    E(STATUS_CRC_ERROR, EIO),
    E(STATUS_DISK_CORRUPT_ERROR, EIO),
    E(STATUS_FILE_CORRUPT_ERROR, EIO),
    E(STATUS_EA_CORRUPT_ERROR, EIO),
};

constexpr size_t kEntries = sizeof(kUnsorted) / sizeof(kUnsorted[0]);

constexpr std::array<StatusErrno, kEntries> SortedTable()
{
    std::array<StatusErrno, kEntries> table{};
    for (size_t i = 0; i < kEntries; ++i)
        table[i] = kUnsorted[i];
    std::sort(table.begin(), table.end(),
              [](const StatusErrno &a, const StatusErrno &b) { return a.status < b.status; });
    return table;
}

constexpr std::array<StatusErrno, kEntries> kTable = SortedTable();

constexpr bool EachStatusOnceAndFailing()
{
    for (size_t i = 0; i < kEntries; ++i) {
        if (NT_SUCCESS((NTSTATUS)kTable[i].status))
            return false;
        if (i > 0 && kTable[i - 1].status == kTable[i].status)
            return false;
    }
    return true;
}
static_assert(EachStatusOnceAndFailing(), "a status is listed twice, or a success status is listed");

/* Unmapped statuses already reported. Bounded, so a stream of invented statuses from
 * a faulty caller cannot grow the host's memory or its log without end. */
constexpr size_t kMaxReported = 256;
std::mutex gReportedLock;
std::unordered_set<uint32_t> gReported; /* guarded by gReportedLock */
std::atomic<LogRoutine> gLog{nullptr};

/*
 * Reports an unmapped status the first time it is seen. Takes gReportedLock; the
 * log routine is called outside it, so a slow log never holds up other requests'
 * reports and a log that itself fails a request cannot deadlock.
 */
void ReportUnmapped(uint32_t status)
{
    {
        std::lock_guard<std::mutex> guard(gReportedLock);
        if (gReported.size() >= kMaxReported || !gReported.insert(status).second)
            return;
    }
    char line[96];
    std::snprintf(line, sizeof(line), "fuse: status 0x%08X has no errno; answering EIO", status);
    LogRoutine log = gLog.load(std::memory_order_acquire);
    if (log != nullptr)
        log(line);
    else
        std::fprintf(stderr, "%s\n", line);
}

} // namespace

int ErrnoOfStatus(int32_t status)
{
    if (NT_SUCCESS(status))
        return 0;
    uint32_t key = (uint32_t)status;
    const StatusErrno *entry = std::lower_bound(kTable.begin(), kTable.end(), key,
                                                [](const StatusErrno &e, uint32_t k) { return e.status < k; });
    if (entry != kTable.end() && entry->status == key)
        return entry->error;
    ReportUnmapped(key);
    return EIO;
}

void SetStatusLog(LogRoutine log)
{
    gLog.store(log, std::memory_order_release);
}

} // namespace fusebridge
