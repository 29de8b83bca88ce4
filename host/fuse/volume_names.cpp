/*
 * Names: unlink with POSIX semantics, rename and hard links to full target names,
 * symbolic links as Windows keeps them (IO_REPARSE_TAG_SYMLINK reparse points), and
 * directory listings.
 */
#include "volume_internal.h"

#include <cstring>

namespace fusebridge {

Status VolumeCalls::Unlink(uint64_t parent, const std::u16string &name, bool directory)
{
    Handle handle;
    Status status = OpenChild(parent, name, DELETE | FILE_READ_ATTRIBUTES,
                              directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE, &handle);
    if (!NT_SUCCESS(status))
        return status;
    // POSIX semantics: the name goes now; handles Linux programs still hold keep working.
    FILE_DISPOSITION_INFORMATION_EX disposition;
    disposition.Flags =
        FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS | FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE;
    status = SetInformation(handle, &disposition, sizeof(disposition), FileDispositionInformationEx);
    (void)NtClose(AsHandle(handle));
    return status;
}

/*
 * TargetRecord: a rename or link record naming newName in newParent by its full name
 * (the driver resolves targets by name, not relative to a handle). Built in the
 * frame's input area; returns its length, or 0 when the name does not fit.
 */
static uint32_t TargetRecord(uint8_t *area, size_t areaBytes, ULONG flags, const std::u16string &fullName)
{
    size_t nameBytes = fullName.size() * sizeof(char16_t);
    size_t length = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + nameBytes;
    if (length > areaBytes || nameBytes > 0xFFFF)
        return 0;
    std::memset(area, 0, FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName));
    auto *record = reinterpret_cast<FILE_RENAME_INFORMATION *>(area);
    record->Flags = flags;
    record->RootDirectory = nullptr;
    record->FileNameLength = (ULONG)nameBytes;
    std::memcpy(record->FileName, fullName.data(), nameBytes);
    return (uint32_t)length;
}

/* TargetName: "\??\X:\dir\name" for a name in the directory with identifier parent. */
static Status TargetName(VolumeCalls *calls, uint64_t parent, const std::u16string &name, char16_t letter,
                         std::u16string *fullName, Status (VolumeCalls::*pathOf)(uint64_t, std::u16string *))
{
    std::u16string directory;
    Status status = (calls->*pathOf)(parent, &directory);
    if (!NT_SUCCESS(status))
        return status;
    // directory is "\\" or "\\a\\b": the root path's separator takes its first one's place.
    *fullName = VolumeRootPath(letter, directory.substr(1));
    if (fullName->back() != u'\\')
        fullName->push_back(u'\\');
    fullName->append(name);
    return STATUS_SUCCESS;
}

Status VolumeCalls::PathOfNode(uint64_t id, std::u16string *path)
{
    if (id == kRootNode) {
        path->assign(1, u'\\');
        return STATUS_SUCCESS;
    }
    Handle handle;
    Status status = OpenNode(id, FILE_READ_ATTRIBUTES, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle);
    if (!NT_SUCCESS(status))
        return status;
    status = VolumePath(handle, path);
    (void)NtClose(AsHandle(handle));
    return status;
}

Status VolumeCalls::Rename(uint64_t parent, const std::u16string &name, uint64_t newParent,
                           const std::u16string &newName, bool noReplace)
{
    std::u16string target;
    Status status = TargetName(this, newParent, newName, letter_, &target, &VolumeCalls::PathOfNode);
    if (!NT_SUCCESS(status))
        return status;
    Handle handle;
    status = OpenChild(parent, name, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_SYNCHRONOUS_IO_NONALERT,
                       &handle);
    if (!NT_SUCCESS(status))
        return status;
    ULONG flags = FILE_RENAME_POSIX_SEMANTICS | (noReplace ? 0 : FILE_RENAME_REPLACE_IF_EXISTS);
    uint32_t length = TargetRecord(frame_->input, sizeof(frame_->input), flags, target);
    if (length == 0) {
        status = STATUS_NAME_TOO_LONG;
    } else {
        NTSTATUS set = NtSetInformationFile(AsHandle(handle), &frame_->iosb, frame_->input, length,
                                            FileRenameInformationEx);
        status = Wait(handle, set);
    }
    (void)NtClose(AsHandle(handle));
    return status;
}

Status VolumeCalls::Link(uint64_t id, uint64_t newParent, const std::u16string &newName, NodeAttributes *attributes)
{
    std::u16string target;
    Status status = TargetName(this, newParent, newName, letter_, &target, &VolumeCalls::PathOfNode);
    if (!NT_SUCCESS(status))
        return status;
    Handle handle;
    status = OpenNode(id, FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                      FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle);
    if (status == STATUS_FILE_IS_A_DIRECTORY)
        return STATUS_ACCESS_DENIED; /* no links to directories, as on Linux (EPERM there) */
    if (!NT_SUCCESS(status))
        return status;
    uint32_t length = TargetRecord(frame_->input, sizeof(frame_->input), FILE_LINK_POSIX_SEMANTICS, target);
    if (length == 0) {
        status = STATUS_NAME_TOO_LONG;
    } else {
        NTSTATUS set =
            NtSetInformationFile(AsHandle(handle), &frame_->iosb, frame_->input, length, FileLinkInformationEx);
        status = Wait(handle, set);
    }
    if (NT_SUCCESS(status))
        status = StatHandle(handle, attributes);
    (void)NtClose(AsHandle(handle));
    return status;
}

Status VolumeCalls::Symlink(uint64_t parent, const std::u16string &name, const LinkTarget &target,
                            const PosixOwnership &ownership, NodeAttributes *attributes)
{
    size_t substituteBytes = target.substitute.size() * sizeof(char16_t);
    size_t printBytes = target.print.size() * sizeof(char16_t);
    size_t pathOffset = FIELD_OFFSET(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer);
    size_t length = pathOffset + substituteBytes + printBytes;
    if (length > MAXIMUM_REPARSE_DATA_BUFFER_SIZE)
        return STATUS_NAME_TOO_LONG;

    OpenIntent intent;
    intent.write = true;
    Handle handle;
    Status status = Create(parent, name, ownership, false, CreateMode::Exclusive, intent, &handle, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<uint8_t> buffer(length, 0);
    auto *reparse = reinterpret_cast<REPARSE_DATA_BUFFER *>(buffer.data());
    reparse->ReparseTag = IO_REPARSE_TAG_SYMLINK;
    reparse->ReparseDataLength = (USHORT)(length - REPARSE_DATA_BUFFER_HEADER_SIZE);
    auto &link = reparse->SymbolicLinkReparseBuffer;
    link.SubstituteNameOffset = 0;
    link.SubstituteNameLength = (USHORT)substituteBytes;
    link.PrintNameOffset = (USHORT)substituteBytes;
    link.PrintNameLength = (USHORT)printBytes;
    link.Flags = target.relative ? SYMLINK_FLAG_RELATIVE : 0;
    std::memcpy(buffer.data() + pathOffset, target.substitute.data(), substituteBytes);
    std::memcpy(buffer.data() + pathOffset + substituteBytes, target.print.data(), printBytes);
    status = FsControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(), (uint32_t)length, nullptr, 0, nullptr);
    if (NT_SUCCESS(status))
        status = StatHandle(handle, attributes);
    if (!NT_SUCCESS(status)) {
        // Half a link is no link: the file made for it goes again.
        FILE_DISPOSITION_INFORMATION_EX disposition;
        disposition.Flags = FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS;
        Frame *f = frame_;
        std::memcpy(f->input, &disposition, sizeof(disposition));
        (void)NtClose(AsHandle(handle));
        Handle doomed;
        if (NT_SUCCESS(OpenChild(parent, name, DELETE, FILE_NON_DIRECTORY_FILE, &doomed))) {
            (void)NtSetInformationFile(AsHandle(doomed), &f->iosb, f->input, sizeof(disposition),
                                       FileDispositionInformationEx);
            (void)NtClose(AsHandle(doomed));
        }
        return status;
    }
    (void)NtClose(AsHandle(handle));
    return status;
}

Status VolumeCalls::ReadLink(uint64_t id, LinkTarget *target)
{
    Handle handle;
    Status status = OpenNode(id, FILE_READ_ATTRIBUTES, 0, &handle);
    if (!NT_SUCCESS(status))
        return status;
    status = LinkOfHandle(handle, target);
    (void)NtClose(AsHandle(handle));
    return status;
}

Status VolumeCalls::LinkOfHandle(Handle handle, LinkTarget *target)
{
    uint32_t got = 0;
    Status status = FsControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, frame_->record,
                              MAXIMUM_REPARSE_DATA_BUFFER_SIZE, &got);
    if (!NT_SUCCESS(status))
        return status;
    const uint8_t *bytes = frame_->record;
    auto *reparse = reinterpret_cast<const REPARSE_DATA_BUFFER *>(bytes);
    size_t pathOffset = FIELD_OFFSET(REPARSE_DATA_BUFFER, SymbolicLinkReparseBuffer.PathBuffer);
    if (got < pathOffset || reparse->ReparseTag != IO_REPARSE_TAG_SYMLINK)
        return STATUS_NOT_A_REPARSE_POINT;
    const auto &link = reparse->SymbolicLinkReparseBuffer;
    // The buffer was written by whoever set the point: every range is checked.
    size_t available = got - pathOffset;
    auto piece = [&](USHORT offset, USHORT length, std::u16string *out) {
        if ((size_t)offset + length > available || (length % 2) != 0)
            return false;
        out->resize(length / 2);
        std::memcpy(&(*out)[0], bytes + pathOffset + offset, length);
        return true;
    };
    if (!piece(link.SubstituteNameOffset, link.SubstituteNameLength, &target->substitute) ||
        !piece(link.PrintNameOffset, link.PrintNameLength, &target->print))
        return STATUS_IO_REPARSE_DATA_INVALID;
    target->relative = (link.Flags & SYMLINK_FLAG_RELATIVE) != 0;
    return STATUS_SUCCESS;
}

Status VolumeCalls::ListDirectory(Handle directory, bool restart, std::vector<DirectoryEntry> *entries)
{
    entries->clear();
    // A batch of nothing but "." and ".." is not the end: the next one is asked for.
    for (;;) {
        Status status = ListBatch(directory, restart, entries);
        if (status == STATUS_NO_MORE_FILES)
            return STATUS_SUCCESS;
        if (!NT_SUCCESS(status) || !entries->empty())
            return status;
        restart = false;
    }
}

/* ListBatch: one query's worth of entries; STATUS_NO_MORE_FILES at the end. */
Status VolumeCalls::ListBatch(Handle directory, bool restart, std::vector<DirectoryEntry> *entries)
{
    Frame *f = frame_;
    NTSTATUS status = NtQueryDirectoryFile(AsHandle(directory), nullptr, nullptr, nullptr, &f->iosb, f->record,
                                           sizeof(f->record), FileIdExtdDirectoryInformation, FALSE, nullptr,
                                           restart ? TRUE : FALSE);
    if (status == STATUS_NO_MORE_FILES || status == STATUS_NO_SUCH_FILE)
        return STATUS_NO_MORE_FILES;
    if (!NT_SUCCESS(status))
        return status;
    size_t filled = f->iosb.Information;
    if (filled > sizeof(f->record))
        filled = sizeof(f->record);
    size_t at = 0;
    size_t nameOffset = FIELD_OFFSET(FILE_ID_EXTD_DIR_INFORMATION, FileName);
    for (;;) {
        if (at + nameOffset > filled)
            break;
        auto *entry = reinterpret_cast<const FILE_ID_EXTD_DIR_INFORMATION *>(f->record + at);
        if (at + nameOffset + entry->FileNameLength > filled)
            break;
        DirectoryEntry out;
        out.name.assign(reinterpret_cast<const char16_t *>(f->record + at + nameOffset),
                        entry->FileNameLength / sizeof(char16_t));
        bool dots = out.name == u"." || out.name == u"..";
        if (!dots) {
            std::memcpy(&out.id, entry->FileId.Identifier, sizeof(out.id));
            out.directory = (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            out.symlink = (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                          entry->ReparsePointTag == IO_REPARSE_TAG_SYMLINK;
            entries->push_back(std::move(out));
        }
        if (entry->NextEntryOffset == 0)
            break;
        at += entry->NextEntryOffset;
    }
    return STATUS_SUCCESS;
}

} // namespace fusebridge
