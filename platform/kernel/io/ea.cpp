/*
 * Extended attributes: NtQueryEaFile and NtSetEaFile (and their Zw forms). Both are
 * synchronous for every handle; the handle needs FILE_READ_EA or FILE_WRITE_EA
 * (from user mode). The EA records travel by the device's I/O method. A query's list
 * of names is captured into the IRP's auxiliary buffer (freed at completion) after
 * its entries are checked to lie within it; a set checks a buffered copy with
 * IoCheckEaBufferValidity, reporting the offset of the first bad entry in the status
 * block, as Windows does.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

#include <cstring>

namespace io {
namespace {

constexpr ULONG kEaListTag = POOL_TAG('I', 'o', 'E', 'l');

/* Checks a FILE_GET_EA_INFORMATION chain; *errorOffset names the first bad entry. */
NTSTATUS CheckGetEaList(const UCHAR *list, ULONG length, ULONG *errorOffset)
{
    ULONG offset = 0;
    for (;;) {
        *errorOffset = offset;
        if ((offset & 3) || length - offset < FIELD_OFFSET(FILE_GET_EA_INFORMATION, EaName))
            return STATUS_EA_LIST_INCONSISTENT;
        auto *entry = reinterpret_cast<const FILE_GET_EA_INFORMATION *>(list + offset);
        ULONG size = FIELD_OFFSET(FILE_GET_EA_INFORMATION, EaName) + entry->EaNameLength + 1;
        if (size > length - offset || entry->EaName[entry->EaNameLength] != '\0')
            return STATUS_EA_LIST_INCONSISTENT;
        if (entry->NextEntryOffset == 0)
            return STATUS_SUCCESS;
        if (entry->NextEntryOffset < size || entry->NextEntryOffset > length - offset)
            return STATUS_EA_LIST_INCONSISTENT;
        offset += entry->NextEntryOffset;
    }
}

NTSTATUS QueryEa(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length, BOOLEAN returnSingleEntry,
                 PVOID eaList, ULONG eaListLength, PULONG eaIndex, BOOLEAN restartScan)
{
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if (mode == UserMode && (!IsUserRange(buffer, length) || !IsUserRange(eaList, eaListLength) ||
                             (eaIndex != nullptr && !IsUserRange(eaIndex, sizeof(ULONG))) ||
                             !IsUserRange(iosb, sizeof(IO_STATUS_BLOCK))))
        return STATUS_ACCESS_VIOLATION;
    ULONG index = eaIndex != nullptr ? *eaIndex : 0;
    UCHAR *list = nullptr;
    if (eaList != nullptr && eaListLength != 0) {
        list = static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPoolNx, eaListLength, kEaListTag));
        if (list == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
        memcpy(list, eaList, eaListLength);
        ULONG errorOffset = 0;
        NTSTATUS status = CheckGetEaList(list, eaListLength, &errorOffset);
        if (status != STATUS_SUCCESS) {
            ExFreePoolWithTag(list, kEaListTag);
            iosb->Status = status;
            iosb->Information = errorOffset;
            return status;
        }
    }
    FileCall call;
    NTSTATUS status = BeginFileCall(&call, handle, FILE_READ_EA, nullptr, iosb);
    bool handedOver = false;
    if (NT_SUCCESS(status))
        status = IssueFileRequest(&call, IRP_MJ_QUERY_EA, 0, true, [&](Request *request, PIO_STACK_LOCATION stack) {
            // The auxiliary buffer owns the list from here on.
            request->irp->Tail.Overlay.AuxiliaryBuffer = reinterpret_cast<PCHAR>(list);
            handedOver = true;
            stack->Parameters.QueryEa.Length = length;
            stack->Parameters.QueryEa.EaList = list;
            stack->Parameters.QueryEa.EaListLength = list != nullptr ? eaListLength : 0;
            stack->Parameters.QueryEa.EaIndex = index;
            stack->Flags = (UCHAR)((restartScan ? SL_RESTART_SCAN : 0) |
                                   (returnSingleEntry ? SL_RETURN_SINGLE_ENTRY : 0) |
                                   (eaIndex != nullptr ? SL_INDEX_SPECIFIED : 0));
            return AttachDataBuffer(request, call.device, buffer, length, true);
        });
    if (!handedOver && list != nullptr)
        ExFreePoolWithTag(list, kEaListTag);
    return status;
}

NTSTATUS SetEa(HANDLE handle, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length)
{
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if (mode == UserMode && !IsUserRange(buffer, length))
        return STATUS_ACCESS_VIOLATION;
    FileCall call;
    NTSTATUS status = BeginFileCall(&call, handle, FILE_WRITE_EA, nullptr, iosb);
    if (!NT_SUCCESS(status))
        return status;
    return IssueFileRequest(&call, IRP_MJ_SET_EA, 0, true, [&](Request *request, PIO_STACK_LOCATION stack) {
        stack->Parameters.SetEa.Length = length;
        NTSTATUS attached = AttachDataBuffer(request, call.device, buffer, length, false);
        if (!NT_SUCCESS(attached) || !(call.device->Flags & DO_BUFFERED_IO) || length == 0)
            return attached;
        // A buffered copy can be checked safely: the offset of its first bad entry goes back.
        ULONG errorOffset = 0;
        NTSTATUS valid = IoCheckEaBufferValidity(
            static_cast<PFILE_FULL_EA_INFORMATION>(request->irp->AssociatedIrp.SystemBuffer), length, &errorOffset);
        if (!NT_SUCCESS(valid)) {
            iosb->Status = valid;
            iosb->Information = errorOffset;
        }
        return valid;
    });
}

} // namespace
} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtQueryEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                          ULONG Length, BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength,
                                          PULONG EaIndex, BOOLEAN RestartScan)
{
    ke::CheckIrql((const void *)&NtQueryEaFile, PASSIVE_LEVEL);
    return io::QueryEa(FileHandle, IoStatusBlock, Buffer, Length, ReturnSingleEntry, EaList, EaListLength, EaIndex,
                       RestartScan);
}

NTSYSCALLAPI NTSTATUS NTAPI NtSetEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length)
{
    ke::CheckIrql((const void *)&NtSetEaFile, PASSIVE_LEVEL);
    return io::SetEa(FileHandle, IoStatusBlock, Buffer, Length);
}

NTSYSAPI NTSTATUS NTAPI ZwQueryEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      BOOLEAN ReturnSingleEntry, PVOID EaList, ULONG EaListLength, PULONG EaIndex,
                                      BOOLEAN RestartScan)
{
    return io::AsKernelCall([&] {
        return NtQueryEaFile(FileHandle, IoStatusBlock, Buffer, Length, ReturnSingleEntry, EaList, EaListLength,
                             EaIndex, RestartScan);
    });
}

NTSYSAPI NTSTATUS NTAPI ZwSetEaFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length)
{
    return io::AsKernelCall([&] { return NtSetEaFile(FileHandle, IoStatusBlock, Buffer, Length); });
}

} // extern "C"
