/*
 * Extended attributes: one by name, all names, set and remove (a value of no bytes
 * removes an attribute, as Windows defines it).
 */
#include "volume_internal.h"

#include <cstring>

namespace fusebridge {

namespace {

constexpr size_t kFullHead = FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName);
constexpr size_t kGetHead = FIELD_OFFSET(FILE_GET_EA_INFORMATION, EaName);

/* Walks a returned FILE_FULL_EA_INFORMATION chain of filled bytes; visit(name, value, length). */
template <typename Visit>
bool WalkEas(const uint8_t *buffer, size_t filled, Visit visit)
{
    size_t at = 0;
    while (at + kFullHead <= filled) {
        auto *ea = reinterpret_cast<const FILE_FULL_EA_INFORMATION *>(buffer + at);
        size_t need = kFullHead + ea->EaNameLength + 1 + ea->EaValueLength;
        if (at + need > filled)
            return false;
        const char *name = reinterpret_cast<const char *>(buffer + at + kFullHead);
        visit(std::string(name, ea->EaNameLength), buffer + at + kFullHead + ea->EaNameLength + 1,
              (size_t)ea->EaValueLength);
        if (ea->NextEntryOffset == 0)
            return true;
        at += ea->NextEntryOffset;
    }
    return filled == 0;
}

} // namespace

Status VolumeCalls::GetEa(uint64_t id, const std::string &name, std::vector<uint8_t> *value)
{
    if (name.empty() || name.size() > 255)
        return STATUS_INVALID_EA_NAME;
    Handle handle;
    Status status = OpenNode(id, FILE_READ_EA, 0, &handle);
    if (!NT_SUCCESS(status))
        return status;
    Frame *f = frame_;
    auto *query = reinterpret_cast<FILE_GET_EA_INFORMATION *>(f->input);
    query->NextEntryOffset = 0;
    query->EaNameLength = (UCHAR)name.size();
    std::memcpy(f->input + kGetHead, name.c_str(), name.size() + 1);
    ULONG listLength = (ULONG)(kGetHead + name.size() + 1);
    status = NtQueryEaFile(AsHandle(handle), &f->iosb, f->record, sizeof(f->record), FALSE, f->input, listLength,
                           nullptr, TRUE);
    status = Wait(handle, status);
    (void)NtClose(AsHandle(handle));
    if (status == STATUS_NO_EAS_ON_FILE || status == STATUS_NONEXISTENT_EA_ENTRY)
        return STATUS_NONEXISTENT_EA_ENTRY;
    if (!NT_SUCCESS(status))
        return status;
    bool found = false;
    bool whole = WalkEas(f->record, f->iosb.Information, [&](const std::string &, const uint8_t *bytes, size_t n) {
        if (found || n == 0)
            return;
        value->assign(bytes, bytes + n);
        found = true;
    });
    if (!whole)
        return STATUS_EA_CORRUPT_ERROR;
    // Windows answers a name it does not have with an entry of no value.
    return found ? STATUS_SUCCESS : STATUS_NONEXISTENT_EA_ENTRY;
}

Status VolumeCalls::SetEa(uint64_t id, const std::string &name, const void *value, size_t length)
{
    if (name.empty() || name.size() > 255)
        return STATUS_INVALID_EA_NAME;
    if (length > 0xFFFF)
        return STATUS_EA_TOO_LARGE;
    Frame *f = frame_;
    size_t need = kFullHead + name.size() + 1 + length;
    if (need > sizeof(f->input))
        return STATUS_EA_TOO_LARGE;
    Handle handle;
    Status status = OpenNode(id, FILE_WRITE_EA, 0, &handle);
    if (!NT_SUCCESS(status))
        return status;
    auto *ea = reinterpret_cast<FILE_FULL_EA_INFORMATION *>(f->input);
    ea->NextEntryOffset = 0;
    ea->Flags = 0;
    ea->EaNameLength = (UCHAR)name.size();
    ea->EaValueLength = (USHORT)length;
    std::memcpy(f->input + kFullHead, name.c_str(), name.size() + 1);
    if (length != 0)
        std::memcpy(f->input + kFullHead + name.size() + 1, value, length);
    status = NtSetEaFile(AsHandle(handle), &f->iosb, f->input, (ULONG)need);
    status = Wait(handle, status);
    (void)NtClose(AsHandle(handle));
    return status;
}

Status VolumeCalls::ListEas(uint64_t id, std::vector<std::string> *names)
{
    names->clear();
    Handle handle;
    Status status = OpenNode(id, FILE_READ_EA, 0, &handle);
    if (!NT_SUCCESS(status))
        return status;
    Frame *f = frame_;
    status = NtQueryEaFile(AsHandle(handle), &f->iosb, f->record, sizeof(f->record), FALSE, nullptr, 0, nullptr,
                           TRUE);
    status = Wait(handle, status);
    (void)NtClose(AsHandle(handle));
    if (status == STATUS_NO_EAS_ON_FILE)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    bool whole = WalkEas(f->record, f->iosb.Information,
                         [&](const std::string &name, const uint8_t *, size_t) { names->push_back(name); });
    return whole ? STATUS_SUCCESS : STATUS_EA_CORRUPT_ERROR;
}

} // namespace fusebridge
