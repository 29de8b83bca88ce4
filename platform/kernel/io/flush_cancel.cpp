/*
 * NtFlushBuffersFile, NtCancelIoFile and NtCancelIoFileEx (and their Zw forms).
 *
 * A flush needs FILE_WRITE_DATA or FILE_APPEND_DATA (from user mode) and is
 * synchronous for every handle. NtCancelIoFile cancels the requests the calling
 * thread issued on the file object and waits (a bounded while) for them to finish,
 * then reports success in the status block whether or not there were any;
 * NtCancelIoFileEx cancels those of any thread of the process (only the one with
 * the given status block, when one is named) and answers STATUS_NOT_FOUND when there
 * was none, as Windows does.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

namespace io {
namespace {

NTSTATUS Flush(HANDLE handle, PIO_STATUS_BLOCK iosb)
{
    FileCall call;
    NTSTATUS status = BeginFileCall(&call, handle, 0, nullptr, iosb);
    if (!NT_SUCCESS(status))
        return status;
    if (call.mode == UserMode && (call.granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) == 0) {
        EndFileCall(&call);
        return STATUS_ACCESS_DENIED;
    }
    return IssueFileRequest(&call, IRP_MJ_FLUSH_BUFFERS, 0, true,
                            [](Request *, PIO_STACK_LOCATION) { return (NTSTATUS)STATUS_SUCCESS; });
}

/* Waits a bounded while for the cancelled requests to finish, as Windows does. */
void WaitForCancelled(struct _KPROCESS *process, struct _KTHREAD *thread, PFILE_OBJECT file)
{
    for (int attempt = 0; attempt < 100 && OutstandingRequests(process, thread, file) != 0; ++attempt) {
        LARGE_INTEGER tenMs;
        tenMs.QuadPart = -100000;
        KeDelayExecutionThread(KernelMode, FALSE, &tenMs);
    }
}

NTSTATUS Cancel(HANDLE handle, PIO_STATUS_BLOCK requestToCancel, PIO_STATUS_BLOCK iosb, bool wholeProcess)
{
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if (mode == UserMode && !IsUserRange(iosb, sizeof(IO_STATUS_BLOCK)))
        return STATUS_ACCESS_VIOLATION;
    PVOID object;
    NTSTATUS status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, mode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    auto *file = static_cast<PFILE_OBJECT>(object);
    struct _KPROCESS *process = ke::CurrentProcess();
    struct _KTHREAD *thread = wholeProcess ? nullptr : ke::CurrentThread();
    size_t cancelled = CancelRequests(process, requestToCancel, thread, file);
    WaitForCancelled(process, thread, file);
    ob::Dereference(file);
    if (wholeProcess && cancelled == 0)
        return STATUS_NOT_FOUND;
    iosb->Status = STATUS_SUCCESS;
    iosb->Information = 0;
    return STATUS_SUCCESS;
}

} // namespace
} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    ke::CheckIrql((const void *)&NtFlushBuffersFile, PASSIVE_LEVEL);
    return io::Flush(FileHandle, IoStatusBlock);
}

NTSYSAPI NTSTATUS NTAPI ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    return io::AsKernelCall([&] { return NtFlushBuffersFile(FileHandle, IoStatusBlock); });
}

NTSYSCALLAPI NTSTATUS NTAPI NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    ke::CheckIrql((const void *)&NtCancelIoFile, PASSIVE_LEVEL);
    return io::Cancel(FileHandle, nullptr, IoStatusBlock, false);
}

NTSYSAPI NTSTATUS NTAPI ZwCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    return io::AsKernelCall([&] { return NtCancelIoFile(FileHandle, IoStatusBlock); });
}

NTSYSCALLAPI NTSTATUS NTAPI NtCancelIoFileEx(HANDLE FileHandle, PIO_STATUS_BLOCK IoRequestToCancel,
                                             PIO_STATUS_BLOCK IoStatusBlock)
{
    ke::CheckIrql((const void *)&NtCancelIoFileEx, PASSIVE_LEVEL);
    return io::Cancel(FileHandle, IoRequestToCancel, IoStatusBlock, true);
}

} // extern "C"
