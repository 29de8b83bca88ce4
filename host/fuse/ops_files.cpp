/*
 * Open files: each Linux open file holds one handle of the volume, in the process of
 * the identity that opened it, until its release; every request on it runs in that
 * process, as a Windows program's calls on its handle would.
 */
#include "session.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <vector>

#include <linux/falloc.h>

namespace fusebridge {

namespace {

constexpr size_t kCopyChunk = 1024 * 1024;

OpenIntent IntentOfFlags(int flags)
{
    OpenIntent intent;
    int access = flags & O_ACCMODE;
    intent.read = access != O_WRONLY;
    intent.write = access != O_RDONLY;
    intent.append = intent.write && (flags & O_APPEND) != 0;
    return intent;
}

OpenFile *NewOpenFile(void *process, Handle handle, uint64_t id, const OpenIntent &intent)
{
    auto *file = new OpenFile();
    file->process = process;
    file->handle = handle;
    file->id = id;
    file->append = intent.append;
    file->writable = intent.write && !intent.append;
    return file;
}

/* Hands an open file to the kernel; a request the caller gave up on closes it again. */
void ReplyOpen(fuse_req_t request, VolumeCalls *calls, OpenFile *file, fuse_file_info *info,
               const fuse_entry_param *entry)
{
    info->fh = (uint64_t)(uintptr_t)file;
    // The page cache may stay: changes made elsewhere take it away through the change watch.
    info->keep_cache = 1;
    Session *session = static_cast<Session *>(fuse_req_userdata(request));
    session->Remember(file);
    int replied = entry != nullptr ? fuse_reply_create(request, entry, info) : fuse_reply_open(request, info);
    if (replied != 0) {
        session->Forget(file);
        (void)calls->Close(file->handle);
        delete file;
    }
}

} // namespace

void OpOpen(fuse_req_t request, fuse_ino_t node, fuse_file_info *info)
{
    Request r(request);
    if (!r.Ready())
        return;
    OpenIntent intent = IntentOfFlags(info->flags);
    Handle handle;
    Status status = r.calls.Open(node, intent, &handle);
    if (status < 0)
        return ReplyStatus(request, status);
    ReplyOpen(request, &r.calls, NewOpenFile(r.scope.Process(), handle, node, intent), info, nullptr);
}

void OpCreate(fuse_req_t request, fuse_ino_t parent, const char *name, mode_t mode, fuse_file_info *info)
{
    std::u16string volumeName;
    if (!VolumeNameOrReply(request, name, &volumeName))
        return;
    Request r(request);
    if (!r.Ready())
        return;
    OpenIntent intent = IntentOfFlags(info->flags);
    PosixOwnership ownership;
    ownership.mode = mode & 0777;
    ownership.uid = r.scope.Uid();
    ownership.gid = r.scope.Gid();
    CreateMode createMode = (info->flags & O_EXCL) ? CreateMode::Exclusive : CreateMode::OpenIf;
    Handle handle;
    NodeAttributes attributes;
    r.scope.Of()->NoteOwnName(parent, volumeName); /* before: its report may come first */
    Status status = r.calls.Create(parent, volumeName, ownership, false, createMode, intent, &handle, &attributes);
    if (status < 0)
        return ReplyStatus(request, status);
    // The name existed after all (made in between by someone else): O_TRUNC still applies.
    if ((info->flags & O_TRUNC) && attributes.size != 0 && intent.write) {
        status = r.calls.SetSize(attributes.id, handle, 0);
        if (status >= 0)
            status = r.calls.StatHandle(handle, &attributes);
        if (status < 0) {
            (void)r.calls.Close(handle);
            return ReplyStatus(request, status);
        }
    }
    fuse_entry_param entry;
    FillEntry(r.scope.Of(), attributes, &entry);
    ReplyOpen(request, &r.calls, NewOpenFile(r.scope.Process(), handle, attributes.id, intent), info, &entry);
}

void OpRead(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info *info)
{
    OpenFile *file = FileOf(info);
    if (offset < 0)
        return (void)fuse_reply_err(request, EINVAL);
    Request r(request, file->process, std::max<size_t>(size, 1));
    if (!r.Ready())
        return;
    uint32_t done = 0;
    Status status = r.calls.Read(file->handle, (uint64_t)offset, (uint32_t)size, &done);
    if (status < 0)
        return ReplyStatus(request, status);
    fuse_reply_buf(request, reinterpret_cast<const char *>(r.calls.Data()), done);
}

void OpWrite(fuse_req_t request, fuse_ino_t, const char *bytes, size_t size, off_t offset, fuse_file_info *info)
{
    OpenFile *file = FileOf(info);
    if (offset < 0)
        return (void)fuse_reply_err(request, EINVAL);
    Request r(request, file->process, std::max<size_t>(size, 1));
    if (!r.Ready())
        return;
    uint32_t done = 0;
    Status status =
        r.calls.Write(file->handle, file->append ? UINT64_MAX : (uint64_t)offset, bytes, (uint32_t)size, &done);
    if (status < 0)
        return ReplyStatus(request, status);
    fuse_reply_write(request, done);
}

void OpFlush(fuse_req_t request, fuse_ino_t, fuse_file_info *)
{
    // Every write already reached the volume; the close of a descriptor asks nothing more.
    fuse_reply_err(request, 0);
}

void OpRelease(fuse_req_t request, fuse_ino_t, fuse_file_info *info)
{
    OpenFile *file = FileOf(info);
    static_cast<Session *>(fuse_req_userdata(request))->Forget(file);
    {
        Request r(request, file->process);
        (void)r.calls.Close(file->handle);
    }
    delete file;
    fuse_reply_err(request, 0);
}

void OpFsync(fuse_req_t request, fuse_ino_t, int, fuse_file_info *info)
{
    OpenFile *file = FileOf(info);
    Request r(request, file->process);
    if (!r.Ready())
        return;
    Status status = r.calls.Flush(file->handle);
    if (status < 0)
        return ReplyStatus(request, status);
    fuse_reply_err(request, 0);
}

void OpFallocate(fuse_req_t request, fuse_ino_t, int mode, off_t offset, off_t length, fuse_file_info *info)
{
    OpenFile *file = FileOf(info);
    if (offset < 0 || length <= 0 || offset > INT64_MAX - length)
        return (void)fuse_reply_err(request, EINVAL);
    if (!file->writable && !file->append)
        return (void)fuse_reply_err(request, EBADF);
    bool keepSize = (mode & FALLOC_FL_KEEP_SIZE) != 0;
    int kind = mode & ~FALLOC_FL_KEEP_SIZE;
    if (kind != 0 && kind != FALLOC_FL_PUNCH_HOLE && kind != FALLOC_FL_ZERO_RANGE)
        return (void)fuse_reply_err(request, EOPNOTSUPP);
    if (kind == FALLOC_FL_PUNCH_HOLE && !keepSize)
        return (void)fuse_reply_err(request, EOPNOTSUPP); /* as Linux: a hole never changes the size */
    Request r(request, file->process);
    if (!r.Ready())
        return;
    uint64_t end = (uint64_t)offset + (uint64_t)length;
    Status status = 0;
    if (kind == 0) {
        status = r.calls.Reserve(file->handle, end, keepSize);
    } else if (kind == FALLOC_FL_PUNCH_HOLE) {
        status = r.calls.ZeroRange(file->handle, (uint64_t)offset, (uint64_t)length, true);
    } else {
        // Zeroes past the end only count once the end has moved there.
        if (!keepSize)
            status = r.calls.Reserve(file->handle, end, false);
        if (status >= 0)
            status = r.calls.ZeroRange(file->handle, (uint64_t)offset, (uint64_t)length, false);
    }
    if (status < 0)
        return ReplyStatus(request, status);
    fuse_reply_err(request, 0);
}

void OpLseek(fuse_req_t request, fuse_ino_t, off_t offset, int whence, fuse_file_info *info)
{
    OpenFile *file = FileOf(info);
    if (whence != SEEK_DATA && whence != SEEK_HOLE)
        return (void)fuse_reply_err(request, EINVAL);
    if (offset < 0)
        return (void)fuse_reply_err(request, ENXIO);
    Request r(request, file->process);
    if (!r.Ready())
        return;
    NodeAttributes attributes;
    Status status = r.calls.StatHandle(file->handle, &attributes);
    if (status < 0)
        return ReplyStatus(request, status);
    uint64_t from = (uint64_t)offset;
    if (from >= attributes.size)
        return (void)fuse_reply_err(request, ENXIO);
    std::vector<DataRange> ranges;
    status = r.calls.AllocatedRanges(file->handle, from, attributes.size, &ranges);
    if (status < 0)
        return ReplyStatus(request, status);
    if (whence == SEEK_DATA) {
        for (const DataRange &range : ranges) {
            if (range.offset + range.length > from)
                return (void)fuse_reply_lseek(request, (off_t)std::max(range.offset, from));
        }
        return (void)fuse_reply_err(request, ENXIO);
    }
    uint64_t at = from;
    for (const DataRange &range : ranges) {
        if (range.offset > at)
            break;
        at = std::max(at, range.offset + range.length);
    }
    fuse_reply_lseek(request, (off_t)std::min<uint64_t>(at, attributes.size));
}

/*
 * CopyByClone: the cluster-aligned part of a copy shares the source's extents (no data
 * moves); both handles must belong to one process. Returns the bytes cloned (0 when
 * cloning does not apply) or a failed status in *status.
 */
static uint64_t CopyByClone(VolumeCalls *calls, const OpenFile *in, uint64_t inOffset, const OpenFile *out,
                            uint64_t outOffset, uint64_t length, uint64_t cluster, Status *status)
{
    *status = 0;
    if (in->process != out->process || cluster == 0 || inOffset % cluster != 0 || outOffset % cluster != 0)
        return 0;
    uint64_t aligned = length - length % cluster;
    if (aligned == 0)
        return 0;
    NodeAttributes target;
    *status = calls->StatHandle(out->handle, &target);
    if (*status >= 0 && target.size < outOffset + aligned)
        *status = calls->SetSize(out->id, out->handle, outOffset + aligned);
    if (*status >= 0)
        *status = calls->Clone(in->handle, inOffset, out->handle, outOffset, aligned);
    if (*status < 0)
        return 0;
    return aligned;
}

void OpCopyFileRange(fuse_req_t request, fuse_ino_t, off_t inOffset, fuse_file_info *inInfo, fuse_ino_t,
                     off_t outOffset, fuse_file_info *outInfo, size_t length, int flags)
{
    OpenFile *in = FileOf(inInfo);
    OpenFile *out = FileOf(outInfo);
    if (flags != 0 || inOffset < 0 || outOffset < 0)
        return (void)fuse_reply_err(request, EINVAL);
    if (!out->writable)
        return (void)fuse_reply_err(request, EBADF);
    uint64_t copied = 0;
    uint64_t wanted = length;
    {
        Request r(request, in->process);
        if (!r.Ready())
            return;
        NodeAttributes source;
        Status status = r.calls.StatHandle(in->handle, &source);
        if (status < 0)
            return ReplyStatus(request, status);
        if ((uint64_t)inOffset >= source.size)
            return (void)fuse_reply_write(request, 0);
        wanted = std::min<uint64_t>(wanted, source.size - (uint64_t)inOffset);
        uint64_t cluster = r.scope.Of()->clusterBytes.load();
        if (cluster == 0) {
            VolumeSize size;
            if (r.calls.QueryVolumeSize(&size) >= 0)
                r.scope.Of()->clusterBytes.store(cluster = size.clusterBytes);
        }
        // A clone that fails (a compressed or locked range, say) leaves the copy to the bytes.
        copied = CopyByClone(&r.calls, in, (uint64_t)inOffset, out, (uint64_t)outOffset, wanted, cluster, &status);
    }
    // The rest is copied: read in the source's process, written in the target's.
    std::vector<char> chunk;
    while (copied < wanted) {
        uint32_t piece = (uint32_t)std::min<uint64_t>(kCopyChunk, wanted - copied);
        uint32_t got = 0;
        {
            Request r(request, in->process, piece);
            if (!r.Ready())
                break;
            Status status = r.calls.Read(in->handle, (uint64_t)inOffset + copied, piece, &got);
            if (status < 0) {
                if (copied == 0)
                    return ReplyStatus(request, status);
                break;
            }
            chunk.assign(r.calls.Data(), r.calls.Data() + got);
        }
        if (got == 0)
            break;
        uint32_t written = 0;
        {
            Request r(request, out->process, got);
            if (!r.Ready())
                break;
            Status status = r.calls.Write(out->handle, (uint64_t)outOffset + copied, chunk.data(), got, &written);
            if (status < 0) {
                if (copied == 0)
                    return ReplyStatus(request, status);
                break;
            }
        }
        copied += written;
        if (written < got)
            break;
    }
    if (copied == 0 && wanted != 0)
        return (void)fuse_reply_err(request, ENOMEM);
    fuse_reply_write(request, (size_t)copied);
}

} // namespace fusebridge
