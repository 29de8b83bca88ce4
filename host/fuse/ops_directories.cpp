/*
 * Listings: a Linux directory stream is one directory handle, whose listing the
 * driver continues from call to call. Offsets number the entries ("." is 1, ".." 2,
 * then the volume's entries in its order); entries read from the volume that did not
 * fit a reply wait in the open directory for the next one. An offset other than the
 * next one (a seekdir) starts the listing again and skips to it.
 */
#include "session.h"

#include "names.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <sys/stat.h>

namespace fusebridge {

namespace {

/* The next entry of a listing, or false at its end (or on a failure, set in *status). */
bool NextEntry(VolumeCalls *calls, OpenFile *directory, DirectoryEntry *entry, Status *status)
{
    *status = 0;
    if (directory->nextOffset < 2) {
        entry->name = directory->nextOffset == 0 ? u"." : u"..";
        entry->id = directory->id;
        entry->directory = true;
        entry->symlink = false;
        return true;
    }
    if (directory->pendingAt == directory->pending.size()) {
        if (directory->ended)
            return false;
        directory->pendingAt = 0;
        *status = calls->ListDirectory(directory->handle, !directory->listed, &directory->pending);
        directory->listed = true;
        if (*status < 0 || directory->pending.empty()) {
            directory->pending.clear();
            directory->ended = *status >= 0;
            return false;
        }
    }
    *entry = directory->pending[directory->pendingAt];
    return true;
}

void Consume(OpenFile *directory)
{
    if (directory->nextOffset >= 2)
        directory->pendingAt++;
    directory->nextOffset++;
}

void Restart(OpenFile *directory)
{
    directory->pending.clear();
    directory->pendingAt = 0;
    directory->nextOffset = 0;
    directory->listed = false;
    directory->ended = false;
}

/*
 * FillListing: the entries that fit size bytes from offset on, under the stream's
 * lock. Returns false when the request was answered already (no frame).
 */
bool FillListing(fuse_req_t request, OpenFile *directory, size_t size, off_t offset, bool plus,
                 std::vector<char> *listing, Status *failure)
{
    std::lock_guard<std::mutex> guard(directory->lock);
    Request r(request, directory->process);
    if (!r.Ready())
        return false;
    uint64_t skipTo = (uint64_t)offset;
    if (skipTo != directory->nextOffset || skipTo == 0)
        Restart(directory);
    std::vector<char> &buffer = *listing;
    buffer.resize(size);
    size_t used = 0;
    DirectoryEntry entry;
    Status status = 0;
    while (NextEntry(&r.calls, directory, &entry, &status)) {
        uint64_t entryOffset = directory->nextOffset + 1;
        if (entryOffset <= skipTo) {
            Consume(directory);
            continue;
        }
        std::string name = Utf8FromName(entry.name.data(), entry.name.size());
        size_t need;
        if (plus) {
            fuse_entry_param param;
            bool dots = directory->nextOffset < 2;
            NodeAttributes attributes;
            if (!dots && r.calls.Stat(entry.id, &attributes) < 0) {
                Consume(directory); /* gone since it was listed */
                continue;
            }
            if (dots) {
                std::memset(&param, 0, sizeof(param));
                param.ino = entry.id;
                param.attr.st_ino = entry.id;
                param.attr.st_mode = S_IFDIR;
            } else {
                FillEntry(r.scope.Of(), attributes, &param);
            }
            need = fuse_add_direntry_plus(request, buffer.data() + used, size - used, name.c_str(), &param,
                                          (off_t)entryOffset);
        } else {
            struct stat attributes;
            std::memset(&attributes, 0, sizeof(attributes));
            attributes.st_ino = entry.id;
            attributes.st_mode = entry.symlink ? S_IFLNK : entry.directory ? S_IFDIR : S_IFREG;
            need = fuse_add_direntry(request, buffer.data() + used, size - used, name.c_str(), &attributes,
                                     (off_t)entryOffset);
        }
        if (need > size - used)
            break; /* kept for the next call */
        used += need;
        Consume(directory);
    }
    buffer.resize(used);
    *failure = used == 0 ? status : 0;
    return true;
}

/* List: the reply goes after the stream's lock: once answered, its release may come and free it. */
void List(fuse_req_t request, size_t size, off_t offset, fuse_file_info *info, bool plus)
{
    if (offset < 0)
        return (void)fuse_reply_err(request, EINVAL);
    std::vector<char> listing;
    Status failure = 0;
    if (!FillListing(request, FileOf(info), size, offset, plus, &listing, &failure))
        return;
    if (failure < 0)
        return ReplyStatus(request, failure);
    fuse_reply_buf(request, listing.data(), listing.size());
}

} // namespace

void OpOpendir(fuse_req_t request, fuse_ino_t node, fuse_file_info *info)
{
    Request r(request);
    if (!r.Ready())
        return;
    OpenIntent intent;
    intent.directory = true;
    Handle handle;
    Status status = r.calls.Open(node, intent, &handle);
    if (status < 0)
        return ReplyStatus(request, status);
    auto *directory = new OpenFile();
    directory->process = r.scope.Process();
    directory->handle = handle;
    directory->id = node;
    info->fh = (uint64_t)(uintptr_t)directory;
    info->keep_cache = 0;
    if (fuse_reply_open(request, info) != 0) {
        (void)r.calls.Close(handle);
        delete directory;
    }
}

void OpReaddir(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info *info)
{
    List(request, size, offset, info, false);
}

void OpReaddirplus(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info *info)
{
    List(request, size, offset, info, true);
}

void OpReleasedir(fuse_req_t request, fuse_ino_t, fuse_file_info *info)
{
    OpenFile *directory = FileOf(info);
    {
        Request r(request, directory->process);
        (void)r.calls.Close(directory->handle);
    }
    delete directory;
    fuse_reply_err(request, 0);
}

void OpFsyncdir(fuse_req_t request, fuse_ino_t, int, fuse_file_info *)
{
    fuse_reply_err(request, 0);
}

} // namespace fusebridge
