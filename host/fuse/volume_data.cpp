/*
 * Data: positioned reads and writes on asynchronous handles, sizes and times,
 * flush, reservation, zeroing, allocated ranges and block clones.
 */
#include "volume_internal.h"

#include <algorithm>
#include <cstring>

namespace fusebridge {

Status VolumeCalls::Read(Handle handle, uint64_t offset, uint32_t length, uint32_t *done)
{
    *done = 0;
    if (length > dataBytes_)
        return STATUS_INVALID_PARAMETER;
    Status status = EnsureEvent();
    if (!NT_SUCCESS(status))
        return status;
    Frame *f = frame_;
    f->offset.QuadPart = (LONGLONG)offset;
    status = NtReadFile(AsHandle(handle), AsHandle(event_), nullptr, nullptr, &f->iosb, data_, length, &f->offset,
                        nullptr);
    status = Wait(handle, status);
    if (status == STATUS_END_OF_FILE)
        return STATUS_SUCCESS;
    if (NT_SUCCESS(status))
        *done = (uint32_t)std::min<ULONG_PTR>(f->iosb.Information, length);
    return status;
}

Status VolumeCalls::Write(Handle handle, uint64_t offset, const void *bytes, uint32_t length, uint32_t *done)
{
    *done = 0;
    if (length > dataBytes_)
        return STATUS_INVALID_PARAMETER;
    Status status = EnsureEvent();
    if (!NT_SUCCESS(status))
        return status;
    if (bytes != data_)
        std::memcpy(data_, bytes, length);
    Frame *f = frame_;
    if (offset == UINT64_MAX) {
        f->offset.LowPart = FILE_WRITE_TO_END_OF_FILE;
        f->offset.HighPart = -1;
    } else {
        f->offset.QuadPart = (LONGLONG)offset;
    }
    status = NtWriteFile(AsHandle(handle), AsHandle(event_), nullptr, nullptr, &f->iosb, data_, length, &f->offset,
                         nullptr);
    status = Wait(handle, status);
    if (NT_SUCCESS(status))
        *done = (uint32_t)std::min<ULONG_PTR>(f->iosb.Information, length);
    return status;
}

Status VolumeCalls::SetSize(uint64_t id, Handle handle, uint64_t size)
{
    Handle use, opened;
    Status status = WithNode(id, handle, FILE_WRITE_DATA, &use, &opened);
    if (!NT_SUCCESS(status))
        return status;
    FILE_END_OF_FILE_INFORMATION end;
    end.EndOfFile.QuadPart = (LONGLONG)size;
    status = SetInformation(use, &end, sizeof(end), FileEndOfFileInformation);
    if (opened != 0)
        (void)NtClose(AsHandle(opened));
    return status;
}

Status VolumeCalls::SetTimes(uint64_t id, Handle handle, int64_t accessTime, int64_t writeTime)
{
    // Times are attributes: a handle of the Linux file may lack the right, so one is opened for it.
    (void)handle;
    Handle opened;
    Status status = OpenNode(id, FILE_WRITE_ATTRIBUTES, 0, &opened);
    if (!NT_SUCCESS(status))
        return status;
    FILE_BASIC_INFORMATION basic = {};
    basic.LastAccessTime.QuadPart = accessTime;
    basic.LastWriteTime.QuadPart = writeTime;
    status = SetInformation(opened, &basic, sizeof(basic), FileBasicInformation);
    (void)NtClose(AsHandle(opened));
    return status;
}

Status VolumeCalls::Flush(Handle handle)
{
    Frame *f = frame_;
    NTSTATUS status = NtFlushBuffersFile(AsHandle(handle), &f->iosb);
    return Wait(handle, status);
}

Status VolumeCalls::Reserve(Handle handle, uint64_t end, bool keepSize)
{
    FILE_STANDARD_INFORMATION standard;
    Status status = QueryInformation(handle, &standard, sizeof(standard), FileStandardInformation);
    if (!NT_SUCCESS(status))
        return status;
    if ((uint64_t)standard.AllocationSize.QuadPart < end) {
        // Memory is taken as data arrives: a reservation is a promise the volume's free
        // space must be able to keep now.
        VolumeSize size;
        status = QueryVolumeSize(&size);
        if (!NT_SUCCESS(status))
            return status;
        uint64_t needed = end - (uint64_t)standard.AllocationSize.QuadPart;
        if (size.clusterBytes == 0 || needed / size.clusterBytes > size.callerFreeClusters)
            return STATUS_DISK_FULL;
        FILE_ALLOCATION_INFORMATION allocation;
        allocation.AllocationSize.QuadPart = (LONGLONG)end;
        status = SetInformation(handle, &allocation, sizeof(allocation), FileAllocationInformation);
        if (!NT_SUCCESS(status))
            return status;
    }
    if (!keepSize && (uint64_t)standard.EndOfFile.QuadPart < end) {
        FILE_END_OF_FILE_INFORMATION eof;
        eof.EndOfFile.QuadPart = (LONGLONG)end;
        status = SetInformation(handle, &eof, sizeof(eof), FileEndOfFileInformation);
    }
    return status;
}

Status VolumeCalls::ZeroRange(Handle handle, uint64_t offset, uint64_t length, bool punch)
{
    if (length == 0)
        return STATUS_SUCCESS;
    if (offset > (uint64_t)INT64_MAX || length > (uint64_t)INT64_MAX - offset)
        return STATUS_INVALID_PARAMETER;
    // A hole is punched in a sparse file: the file becomes sparse first, as Windows tools do.
    if (punch) {
        Status status = FsControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, nullptr);
        if (!NT_SUCCESS(status))
            return status;
    }
    FILE_ZERO_DATA_INFORMATION zero;
    zero.FileOffset.QuadPart = (LONGLONG)offset;
    zero.BeyondFinalZero.QuadPart = (LONGLONG)(offset + length);
    return FsControl(handle, FSCTL_SET_ZERO_DATA, &zero, sizeof(zero), nullptr, 0, nullptr);
}

Status VolumeCalls::AllocatedRanges(Handle handle, uint64_t offset, uint64_t end, std::vector<DataRange> *ranges)
{
    ranges->clear();
    uint64_t from = offset;
    while (from < end) {
        FILE_ALLOCATED_RANGE_BUFFER query;
        query.FileOffset.QuadPart = (LONGLONG)from;
        query.Length.QuadPart = (LONGLONG)(end - from);
        constexpr uint32_t kBatch = 256;
        uint32_t got = 0;
        Status status = FsControl(handle, FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof(query), nullptr,
                                  kBatch * sizeof(FILE_ALLOCATED_RANGE_BUFFER), &got);
        if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW)
            return status;
        size_t count = got / sizeof(FILE_ALLOCATED_RANGE_BUFFER);
        const auto *found = reinterpret_cast<const FILE_ALLOCATED_RANGE_BUFFER *>(frame_->record);
        for (size_t i = 0; i < count; ++i)
            ranges->push_back({(uint64_t)found[i].FileOffset.QuadPart, (uint64_t)found[i].Length.QuadPart});
        if (status != STATUS_BUFFER_OVERFLOW || count == 0)
            return STATUS_SUCCESS;
        // More than one batch: go on after the last range returned.
        from = ranges->back().offset + ranges->back().length;
    }
    return STATUS_SUCCESS;
}

Status VolumeCalls::Clone(Handle source, uint64_t sourceOffset, Handle target, uint64_t targetOffset,
                          uint64_t length)
{
    DUPLICATE_EXTENTS_DATA duplicate;
    duplicate.FileHandle = AsHandle(source);
    duplicate.SourceFileOffset.QuadPart = (LONGLONG)sourceOffset;
    duplicate.TargetFileOffset.QuadPart = (LONGLONG)targetOffset;
    duplicate.ByteCount.QuadPart = (LONGLONG)length;
    return FsControl(target, FSCTL_DUPLICATE_EXTENTS_TO_FILE, &duplicate, sizeof(duplicate), nullptr, 0, nullptr);
}

} // namespace fusebridge
