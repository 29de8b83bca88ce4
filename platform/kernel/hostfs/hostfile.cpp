/*
 * Every change of host data goes through here (writes, size changes, zeroing, flushes),
 * so the fault injector sees each one in order.
 *
 * The injector counts writes (size changes and zeroing count as writes) and flushes
 * from the moment it is armed. At the armed position it fails the operation, tears a
 * write (a prefix of its bytes reaches the file, the call fails), or stops every later
 * write and flush ("the process died"); a power loss also undoes, file by file, every
 * change not yet made durable by a flush of that file. While armed it keeps, per file,
 * an undo log of the bytes and size each change replaced since the file's last flush,
 * with a descriptor of its own, so a file closed before the power goes is still rolled
 * back. Every counted operation runs under the lock while armed.
 */
#include "hostfs/internal.h"

#include "machine.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

namespace hostfs {
namespace {

struct UndoRecord {
    uint64_t offset = 0;
    uint64_t end = 0;                  /* of the changed range */
    std::vector<unsigned char> before; /* the bytes of the changed range the file held */
    uint64_t sizeBefore = 0;
    uint64_t sequence = 0;             /* the operation's count since the arming */
};

struct UndoLog {
    int fd = -1; /* read-write, the log's own */
    std::vector<UndoRecord> records;
};

/* The injector. Every field: the lock; armed is read without it first. */
struct Injector {
    std::atomic<bool> armed{false};
    machine::HostFileFault kind = machine::HostFileFault::FailDiskFull;
    uint64_t position = 0;
    uint64_t tornBytes = 0;
    uint64_t count = 0;
    bool dead = false;
    std::map<std::pair<dev_t, ino_t>, UndoLog> logs;
};

Injector &TheInjector()
{
    static Injector injector;
    return injector;
}

void DropLog(UndoLog &log)
{
    if (log.fd >= 0)
        ::close(log.fd);
    log.fd = -1;
    log.records.clear();
}

/*
 * Rolls every logged file back to its last flush (the lock held). With
 * keepLatest the most recent change stays, as a disk that wrote its last request
 * first would leave it; the changes of one file are taken to cover distinct
 * ranges, as an image's writes do.
 */
void RollBack(Injector &injector, bool keepLatest)
{
    const UndoRecord *kept = nullptr;
    for (auto &entry : injector.logs) {
        for (const UndoRecord &record : entry.second.records) {
            if (keepLatest && (kept == nullptr || record.sequence > kept->sequence))
                kept = &record;
        }
    }
    for (auto &entry : injector.logs) {
        UndoLog &log = entry.second;
        uint64_t keptEnd = 0;
        for (const UndoRecord &record : log.records)
            keptEnd = &record == kept ? record.end : keptEnd;
        for (auto it = log.records.rbegin(); it != log.records.rend(); ++it) {
            if (&*it == kept)
                continue;
            size_t done = 0;
            while (done < it->before.size()) {
                ssize_t n = ::pwrite(log.fd, it->before.data() + done, it->before.size() - done,
                                     (off_t)(it->offset + done));
                if (n <= 0)
                    break;
                done += (size_t)n;
            }
            if (::ftruncate(log.fd, (off_t)std::max(it->sizeBefore, keptEnd)) != 0)
                break;
        }
        DropLog(log);
    }
    injector.logs.clear();
}

/* Write moves data (a tear keeps a prefix); Change resizes or zeroes (all or nothing). */
enum class Operation { Write, Change, Flush };

/*
 * Counts an operation while armed (the lock held). Returns the status it must fail
 * with (success when it goes ahead); *allowed is how many of its bytes may reach the file.
 */
NTSTATUS CountOperation(Injector &injector, Operation operation, uint64_t *allowed)
{
    if (injector.dead)
        return STATUS_IO_DEVICE_ERROR;
    if (++injector.count != injector.position)
        return STATUS_SUCCESS;
    using machine::HostFileFault;
    switch (injector.kind) {
    case HostFileFault::FailDiskFull:
        *allowed = 0;
        return STATUS_DISK_FULL;
    case HostFileFault::FailDeviceError:
        *allowed = 0;
        return STATUS_IO_DEVICE_ERROR;
    case HostFileFault::Tear:
        if (operation == Operation::Write && *allowed > 0)
            *allowed = injector.tornBytes < *allowed ? injector.tornBytes : *allowed - 1;
        else
            *allowed = 0;
        return STATUS_IO_DEVICE_ERROR;
    case HostFileFault::Die:
        injector.dead = true;
        *allowed = 0;
        return STATUS_IO_DEVICE_ERROR;
    case HostFileFault::PowerLoss:
    case HostFileFault::PowerLossOutOfOrder:
        injector.dead = true;
        RollBack(injector, injector.kind == HostFileFault::PowerLossOutOfOrder);
        *allowed = 0;
        return STATUS_IO_DEVICE_ERROR;
    }
    return STATUS_SUCCESS;
}

/* Logs what a change of [offset, offset + length) and the size will replace (the lock held). */
void LogChange(Injector &injector, HostFile *file, int fd, uint64_t offset, uint64_t length)
{
    UndoLog &log = injector.logs[file->key];
    if (log.fd < 0) {
        char path[64];
        std::snprintf(path, sizeof(path), "/proc/self/fd/%d", fd);
        log.fd = ::open(path, O_RDWR | O_CLOEXEC);
        if (log.fd < 0)
            return;
    }
    struct stat st {};
    fstat(log.fd, &st);
    UndoRecord record;
    record.offset = offset;
    record.end = offset + length;
    record.sequence = injector.count;
    record.sizeBefore = (uint64_t)st.st_size;
    uint64_t end = offset + length < (uint64_t)st.st_size ? offset + length : (uint64_t)st.st_size;
    if (end > offset) {
        record.before.resize(end - offset);
        ssize_t n = ::pread(log.fd, record.before.data(), record.before.size(), (off_t)offset);
        record.before.resize(n > 0 ? (size_t)n : 0);
    }
    log.records.push_back(std::move(record));
}

/* The writing itself: blocks reserved first, so a disk that cannot take it all fails it whole. */
NTSTATUS WriteBytes(int fd, uint64_t offset, const void *data, size_t length)
{
    if (length == 0)
        return STATUS_SUCCESS;
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, (off_t)offset, (off_t)length) != 0 && errno != EOPNOTSUPP &&
        errno != ENOSYS)
        return StatusFromErrno(errno);
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pwrite(fd, static_cast<const char *>(data) + done, length - done, (off_t)(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 ? STATUS_DISK_FULL : StatusFromErrno(errno);
        done += (size_t)n;
    }
    return STATUS_SUCCESS;
}

/* Runs a change through the injector: counted, logged, maybe cut short or refused. */
template <typename Change>
NTSTATUS Counted(HostFile *file, int fd, Operation operation, uint64_t offset, uint64_t length, Change change)
{
    Injector &injector = TheInjector();
    if (!injector.armed.load(std::memory_order_acquire))
        return change(length);
    std::lock_guard<std::mutex> guard(Lock());
    uint64_t allowed = length;
    NTSTATUS fault = CountOperation(injector, operation, &allowed);
    if (!NT_SUCCESS(fault) && (injector.dead || allowed == 0))
        return fault;
    if (operation != Operation::Flush)
        LogChange(injector, file, fd, offset, length);
    NTSTATUS status = change(allowed);
    if (operation == Operation::Flush && NT_SUCCESS(status)) {
        auto it = injector.logs.find(file->key);
        if (it != injector.logs.end()) {
            DropLog(it->second);
            injector.logs.erase(it);
        }
    }
    return NT_SUCCESS(fault) ? status : fault;
}

uint64_t SizeOf(int fd)
{
    struct stat st {};
    fstat(fd, &st);
    return (uint64_t)st.st_size;
}

} // namespace

NTSTATUS WriteHostFile(HostFile *file, int fd, uint64_t offset, const void *data, size_t length)
{
    return Counted(file, fd, Operation::Write, offset, length,
                   [&](uint64_t allowed) { return WriteBytes(fd, offset, data, (size_t)allowed); });
}

NTSTATUS ResizeHostFile(HostFile *file, int fd, uint64_t size)
{
    uint64_t old = SizeOf(fd);
    uint64_t from = size < old ? size : old;
    return Counted(file, fd, Operation::Change, from, old > size ? old - size : 0, [&](uint64_t) {
        return ::ftruncate(fd, (off_t)size) == 0 ? STATUS_SUCCESS : StatusFromErrno(errno);
    });
}

NTSTATUS ZeroHostFile(HostFile *file, int fd, uint64_t offset, uint64_t length)
{
    // Only bytes inside the file are zeroed; a range beyond it changes nothing (but counts).
    uint64_t size = SizeOf(fd);
    length = offset >= size ? 0 : length > size - offset ? size - offset : length;
    return Counted(file, fd, Operation::Change, offset, length, [&](uint64_t) {
        if (length == 0)
            return STATUS_SUCCESS;
        if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, (off_t)offset, (off_t)length) == 0)
            return STATUS_SUCCESS;
        if (errno != EOPNOTSUPP && errno != ENOSYS)
            return StatusFromErrno(errno);
        // No holes here: zeros written, a block at a time.
        static const unsigned char zeros[65536] = {};
        for (uint64_t done = 0; done < length;) {
            size_t piece = length - done < sizeof(zeros) ? (size_t)(length - done) : sizeof(zeros);
            NTSTATUS status = WriteBytes(fd, offset + done, zeros, piece);
            if (!NT_SUCCESS(status))
                return status;
            done += piece;
        }
        return STATUS_SUCCESS;
    });
}

NTSTATUS FlushHostFile(HostFile *file, int fd)
{
    bool nameDirty;
    {
        std::lock_guard<std::mutex> guard(Lock());
        nameDirty = file->nameDirty;
    }
    NTSTATUS status = Counted(file, fd, Operation::Flush, 0, 0, [&](uint64_t) {
        return ::fsync(fd) == 0 ? STATUS_SUCCESS : StatusFromErrno(errno);
    });
    if (!NT_SUCCESS(status) || !nameDirty)
        return status;
    // The name: its directory's entry is durable only once the directory is flushed.
    std::string name;
    {
        std::lock_guard<std::mutex> guard(Lock());
        name = file->name;
    }
    size_t slash = name.rfind('/');
    int dirFd = OpenBeneath(file->drive, slash == std::string::npos ? std::string() : name.substr(0, slash),
                            O_RDONLY | O_DIRECTORY, 0);
    if (dirFd < 0)
        return StatusFromErrno(errno);
    int result = ::fsync(dirFd);
    int error = errno;
    ::close(dirFd);
    if (result != 0)
        return StatusFromErrno(error);
    std::lock_guard<std::mutex> guard(Lock());
    file->nameDirty = false;
    return STATUS_SUCCESS;
}

} // namespace hostfs

namespace machine {

void ArmHostFileFault(HostFileFault kind, uint64_t position, uint64_t tornBytes)
{
    auto &injector = hostfs::TheInjector();
    std::lock_guard<std::mutex> guard(hostfs::Lock());
    for (auto &entry : injector.logs)
        hostfs::DropLog(entry.second);
    injector.logs.clear();
    injector.kind = kind;
    injector.position = position;
    injector.tornBytes = tornBytes;
    injector.count = 0;
    injector.dead = false;
    injector.armed.store(true, std::memory_order_release);
}

void DisarmHostFileFaults()
{
    auto &injector = hostfs::TheInjector();
    std::lock_guard<std::mutex> guard(hostfs::Lock());
    for (auto &entry : injector.logs)
        hostfs::DropLog(entry.second);
    injector.logs.clear();
    injector.dead = false;
    injector.armed.store(false, std::memory_order_release);
}

uint64_t HostFileOperations()
{
    std::lock_guard<std::mutex> guard(hostfs::Lock());
    return hostfs::TheInjector().count;
}

void LoseHostPower()
{
    auto &injector = hostfs::TheInjector();
    std::lock_guard<std::mutex> guard(hostfs::Lock());
    if (!injector.armed.load(std::memory_order_relaxed))
        return;
    injector.dead = true;
    hostfs::RollBack(injector, false);
}

} // namespace machine
