/*
 * Device and file-system controls: NtDeviceIoControlFile, NtFsControlFile and their
 * Zw forms, with the four buffering methods as Windows implements them (buffers.cpp).
 *
 * A handle needs FILE_READ_DATA or FILE_WRITE_DATA when the control code's access
 * bits ask for it (from user mode). The buffers a user-mode caller names must lie in
 * its user space, except a METHOD_NEITHER control's, which its driver probes. A file
 * system control goes as IRP_MJ_FILE_SYSTEM_CONTROL / IRP_MN_USER_FS_REQUEST. A
 * synchronous file object waits for the request; an asynchronous one returns
 * STATUS_PENDING and signals the event (or the file object) when it completes.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

namespace io {
namespace {

struct ControlCall {
    HANDLE fileHandle;
    HANDLE event;
    PIO_APC_ROUTINE apcRoutine;
    PIO_STATUS_BLOCK iosb;
    ULONG code;
    PVOID input;
    ULONG inputLength;
    PVOID output;
    ULONG outputLength;
    UCHAR major;
};

ACCESS_MASK RequiredAccess(ULONG code)
{
    ULONG access = (code >> 14) & 3;
    return ((access & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) | ((access & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
}

NTSTATUS Control(const ControlCall &c)
{
    if (c.apcRoutine != nullptr)
        return STATUS_NOT_IMPLEMENTED; /* user APCs are not part of this machine */
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if (mode == UserMode && METHOD_FROM_CTL_CODE(c.code) != METHOD_NEITHER &&
        (!IsUserRange(c.input, c.inputLength) || !IsUserRange(c.output, c.outputLength)))
        return STATUS_ACCESS_VIOLATION;
    FileCall call;
    NTSTATUS status = BeginFileCall(&call, c.fileHandle, 0, c.event, c.iosb);
    if (!NT_SUCCESS(status))
        return status;
    if (mode == UserMode && (RequiredAccess(c.code) & ~call.granted) != 0) {
        EndFileCall(&call);
        return STATUS_ACCESS_DENIED;
    }
    UCHAR minor = c.major == IRP_MJ_FILE_SYSTEM_CONTROL ? IRP_MN_USER_FS_REQUEST : 0;
    return IssueFileRequest(&call, c.major, minor, false, [&](Request *request, PIO_STACK_LOCATION stack) {
        stack->Parameters.DeviceIoControl.IoControlCode = c.code;
        stack->Parameters.DeviceIoControl.InputBufferLength = c.inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = c.outputLength;
        return AttachControlBuffers(request, stack, c.code, c.input, c.inputLength, c.output, c.outputLength);
    });
}

} // namespace
} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                                  PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                                  ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                                  PVOID OutputBuffer, ULONG OutputBufferLength)
{
    (void)ApcContext;
    ke::CheckIrql((const void *)&NtDeviceIoControlFile, PASSIVE_LEVEL);
    return io::Control({FileHandle, Event, ApcRoutine, IoStatusBlock, IoControlCode, InputBuffer, InputBufferLength,
                        OutputBuffer, OutputBufferLength, IRP_MJ_DEVICE_CONTROL});
}

NTSYSAPI NTSTATUS NTAPI ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                              PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                              ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                              PVOID OutputBuffer, ULONG OutputBufferLength)
{
    return io::AsKernelCall([&] {
        return NtDeviceIoControlFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, IoControlCode,
                                     InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength);
    });
}

NTSYSCALLAPI NTSTATUS NTAPI NtFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                            PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
                                            PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                            ULONG OutputBufferLength)
{
    (void)ApcContext;
    ke::CheckIrql((const void *)&NtFsControlFile, PASSIVE_LEVEL);
    return io::Control({FileHandle, Event, ApcRoutine, IoStatusBlock, FsControlCode, InputBuffer, InputBufferLength,
                        OutputBuffer, OutputBufferLength, IRP_MJ_FILE_SYSTEM_CONTROL});
}

NTSYSAPI NTSTATUS NTAPI ZwFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                        PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode, PVOID InputBuffer,
                                        ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength)
{
    return io::AsKernelCall([&] {
        return NtFsControlFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, FsControlCode, InputBuffer,
                               InputBufferLength, OutputBuffer, OutputBufferLength);
    });
}

} // extern "C"
