/*
 * The change watch: one notification request on the root, for the whole tree.
 */
#include "volume_internal.h"

#include <cstring>

namespace fusebridge {

namespace {

constexpr ULONG kEveryChange = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                               FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                               FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION |
                               FILE_NOTIFY_CHANGE_EA | FILE_NOTIFY_CHANGE_SECURITY;

bool KindOf(ULONG action, ChangeRecord::Kind *kind)
{
    switch (action) {
    case FILE_ACTION_ADDED:
        *kind = ChangeRecord::Added;
        return true;
    case FILE_ACTION_REMOVED:
        *kind = ChangeRecord::Removed;
        return true;
    case FILE_ACTION_MODIFIED:
        *kind = ChangeRecord::Modified;
        return true;
    case FILE_ACTION_RENAMED_OLD_NAME:
        *kind = ChangeRecord::RenamedOld;
        return true;
    case FILE_ACTION_RENAMED_NEW_NAME:
        *kind = ChangeRecord::RenamedNew;
        return true;
    default:
        return false; /* stream actions: the volume has no named streams */
    }
}

} // namespace

Status VolumeCalls::OpenWatch(Handle *handle)
{
    return OpenNode(kRootNode, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, handle);
}

const void *VolumeCalls::StatusBlock() const
{
    return &frame_->iosb;
}

Status VolumeCalls::WaitForChanges(Handle watch, std::vector<ChangeRecord> *changes, bool *overflowed)
{
    changes->clear();
    *overflowed = false;
    Frame *f = frame_;
    NTSTATUS status = NtNotifyChangeDirectoryFile(AsHandle(watch), nullptr, nullptr, nullptr, &f->iosb, f->record,
                                                  sizeof(f->record), kEveryChange, TRUE);
    if (status == STATUS_NOTIFY_ENUM_DIR) {
        *overflowed = true;
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status))
        return status;
    size_t filled = f->iosb.Information;
    if (filled > sizeof(f->record))
        filled = sizeof(f->record);
    size_t head = FIELD_OFFSET(FILE_NOTIFY_INFORMATION, FileName);
    size_t at = 0;
    while (at + head <= filled) {
        auto *record = reinterpret_cast<const FILE_NOTIFY_INFORMATION *>(f->record + at);
        if (at + head + record->FileNameLength > filled)
            break;
        ChangeRecord change;
        if (KindOf(record->Action, &change.kind)) {
            change.path.assign(reinterpret_cast<const char16_t *>(f->record + at + head),
                               record->FileNameLength / sizeof(char16_t));
            changes->push_back(std::move(change));
        }
        if (record->NextEntryOffset == 0)
            break;
        at += record->NextEntryOffset;
    }
    return STATUS_SUCCESS;
}

Status VolumeCalls::IdOfPath(const std::u16string &path, uint64_t *id)
{
    if (path.empty()) {
        *id = kRootNode;
        return STATUS_SUCCESS;
    }
    Handle handle;
    Status status = OpenByPath(VolumeRootPath(letter_, path), FILE_READ_ATTRIBUTES, FILE_OPEN, 0, nullptr, 0, &handle, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    FILE_INTERNAL_INFORMATION internal;
    status = QueryInformation(handle, &internal, sizeof(internal), FileInternalInformation);
    (void)NtClose(AsHandle(handle));
    if (NT_SUCCESS(status))
        *id = (uint64_t)internal.IndexNumber.QuadPart;
    return status;
}

} // namespace fusebridge
