/*
 * Directory requests: NtQueryDirectoryFile and NtNotifyChangeDirectoryFile (and
 * their Zw forms). The handle needs FILE_LIST_DIRECTORY (from user mode); the
 * records go into the caller's buffer by the device's I/O method; both may pend on
 * an asynchronous file object and report through the status block and event.
 *
 * The search pattern is captured into the IRP's auxiliary buffer (a counted string
 * with its characters after it), which completion frees, so the file system never
 * reads the caller's memory for it.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

#include <cstring>

namespace io {
namespace {

constexpr ULONG kPatternTag = POOL_TAG('I', 'o', 'D', 'p');

/* A copy of the caller's pattern as one pool block: the string, then its characters. */
NTSTATUS CapturePattern(KPROCESSOR_MODE mode, PUNICODE_STRING pattern, PUNICODE_STRING *copy)
{
    *copy = nullptr;
    if (pattern == nullptr)
        return STATUS_SUCCESS;
    if (mode == UserMode && !IsUserRange(pattern, sizeof(UNICODE_STRING)))
        return STATUS_ACCESS_VIOLATION;
    UNICODE_STRING name = *pattern;
    if ((name.Length & 1) || (name.Length != 0 && name.Buffer == nullptr))
        return STATUS_INVALID_PARAMETER;
    if (mode == UserMode && !IsUserRange(name.Buffer, name.Length))
        return STATUS_ACCESS_VIOLATION;
    auto *block = static_cast<PUNICODE_STRING>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(UNICODE_STRING) + name.Length, kPatternTag));
    if (block == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    block->Buffer = reinterpret_cast<PWCH>(block + 1);
    block->Length = block->MaximumLength = name.Length;
    if (name.Length != 0)
        memcpy(block->Buffer, name.Buffer, name.Length);
    *copy = block;
    return STATUS_SUCCESS;
}

struct DirectoryCall {
    HANDLE handle;
    HANDLE event;
    PIO_APC_ROUTINE apcRoutine;
    PIO_STATUS_BLOCK iosb;
    PVOID buffer;
    ULONG length;
    UCHAR minor;
    /* query */
    FILE_INFORMATION_CLASS infoClass;
    BOOLEAN returnSingleEntry;
    PUNICODE_STRING pattern;
    BOOLEAN restartScan;
    /* notify */
    ULONG completionFilter;
    BOOLEAN watchTree;
};

NTSTATUS DirectoryRequest(const DirectoryCall &d)
{
    if (d.apcRoutine != nullptr)
        return STATUS_NOT_IMPLEMENTED; /* user APCs are not part of this machine */
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    bool query = d.minor == IRP_MN_QUERY_DIRECTORY;
    if (query && (ULONG)d.infoClass >= FileMaximumInformation)
        return STATUS_INVALID_INFO_CLASS;
    if (!query && (d.completionFilter == 0 || (d.completionFilter & ~FILE_NOTIFY_VALID_MASK)))
        return STATUS_INVALID_PARAMETER;
    if (mode == UserMode && !IsUserRange(d.buffer, d.length))
        return STATUS_ACCESS_VIOLATION;
    PUNICODE_STRING pattern = nullptr;
    if (query) {
        NTSTATUS status = CapturePattern(mode, d.pattern, &pattern);
        if (!NT_SUCCESS(status))
            return status;
    }
    FileCall call;
    NTSTATUS status = BeginFileCall(&call, d.handle, FILE_LIST_DIRECTORY, d.event, d.iosb);
    if (!NT_SUCCESS(status)) {
        if (pattern != nullptr)
            ExFreePoolWithTag(pattern, kPatternTag);
        return status;
    }
    bool handedOver = false;
    status = IssueFileRequest(&call, IRP_MJ_DIRECTORY_CONTROL, d.minor, false,
                              [&](Request *request, PIO_STACK_LOCATION stack) {
                                  if (query) {
                                      // The auxiliary buffer owns the pattern from here on.
                                      request->irp->Tail.Overlay.AuxiliaryBuffer = reinterpret_cast<PCHAR>(pattern);
                                      handedOver = true;
                                      stack->Parameters.QueryDirectory.Length = d.length;
                                      stack->Parameters.QueryDirectory.FileName = pattern;
                                      stack->Parameters.QueryDirectory.FileInformationClass = d.infoClass;
                                      stack->Parameters.QueryDirectory.FileIndex = 0;
                                      stack->Flags = (UCHAR)((d.restartScan ? SL_RESTART_SCAN : 0) |
                                                             (d.returnSingleEntry ? SL_RETURN_SINGLE_ENTRY : 0));
                                  } else {
                                      stack->Parameters.NotifyDirectory.Length = d.length;
                                      stack->Parameters.NotifyDirectory.CompletionFilter = d.completionFilter;
                                      stack->Flags = d.watchTree ? SL_WATCH_TREE : 0;
                                  }
                                  return AttachDataBuffer(request, call.device, d.buffer, d.length, true);
                              });
    if (!handedOver && pattern != nullptr)
        ExFreePoolWithTag(pattern, kPatternTag);
    return status;
}

} // namespace
} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                 PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                 PVOID FileInformation, ULONG Length,
                                                 FILE_INFORMATION_CLASS FileInformationClass,
                                                 BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                                 BOOLEAN RestartScan)
{
    (void)ApcContext;
    ke::CheckIrql((const void *)&NtQueryDirectoryFile, PASSIVE_LEVEL);
    io::DirectoryCall d{};
    d.handle = FileHandle;
    d.event = Event;
    d.apcRoutine = ApcRoutine;
    d.iosb = IoStatusBlock;
    d.buffer = FileInformation;
    d.length = Length;
    d.minor = IRP_MN_QUERY_DIRECTORY;
    d.infoClass = FileInformationClass;
    d.returnSingleEntry = ReturnSingleEntry;
    d.pattern = FileName;
    d.restartScan = RestartScan;
    return io::DirectoryRequest(d);
}

NTSYSAPI NTSTATUS NTAPI ZwQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                             PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                             ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                                             BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                             BOOLEAN RestartScan)
{
    return io::AsKernelCall([&] {
        return NtQueryDirectoryFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, FileInformation, Length,
                                    FileInformationClass, ReturnSingleEntry, FileName, RestartScan);
    });
}

NTSYSCALLAPI NTSTATUS NTAPI NtNotifyChangeDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                        PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                        PVOID Buffer, ULONG Length, ULONG CompletionFilter,
                                                        BOOLEAN WatchTree)
{
    (void)ApcContext;
    ke::CheckIrql((const void *)&NtNotifyChangeDirectoryFile, PASSIVE_LEVEL);
    io::DirectoryCall d{};
    d.handle = FileHandle;
    d.event = Event;
    d.apcRoutine = ApcRoutine;
    d.iosb = IoStatusBlock;
    d.buffer = Buffer;
    d.length = Length;
    d.minor = IRP_MN_NOTIFY_CHANGE_DIRECTORY;
    d.completionFilter = CompletionFilter;
    d.watchTree = WatchTree;
    return io::DirectoryRequest(d);
}

NTSYSAPI NTSTATUS NTAPI ZwNotifyChangeDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                    PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                                    ULONG Length, ULONG CompletionFilter, BOOLEAN WatchTree)
{
    return io::AsKernelCall([&] {
        return NtNotifyChangeDirectoryFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, Buffer, Length,
                                           CompletionFilter, WatchTree);
    });
}

} // extern "C"
