/*
 * Byte-range locks: NtLockFile and NtUnlockFile (and their Zw forms), and the
 * unlock-all a process's last handle of a file object sends.
 *
 * The handle needs FILE_READ_DATA or FILE_WRITE_DATA (from user mode). A lock marks
 * the file object (LockOperation), so that closing handles knows to release locks.
 * The file system's fast I/O entry is tried first (with the requesting process); when
 * it answers FALSE, IRP_MJ_LOCK_CONTROL goes with the minor function, the key, the
 * offset, and the length in a pool copy that the IRP's auxiliary buffer owns (freed at
 * completion); a lock may pend on an asynchronous file object (a waiting lock), an
 * unlock is synchronous.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

namespace io {
namespace {

constexpr ULONG kLengthTag = POOL_TAG('I', 'o', 'L', 'k');

struct LockCall {
    HANDLE handle;
    HANDLE event;
    PIO_APC_ROUTINE apcRoutine;
    PIO_STATUS_BLOCK iosb;
    PLARGE_INTEGER byteOffset;
    PLARGE_INTEGER length;
    ULONG key;
    BOOLEAN failImmediately;
    BOOLEAN exclusive;
    UCHAR minor;
};

NTSTATUS LockControl(const LockCall &l)
{
    if (l.apcRoutine != nullptr)
        return STATUS_NOT_IMPLEMENTED; /* user APCs are not part of this machine */
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    if (mode == UserMode &&
        (!IsUserRange(l.byteOffset, sizeof(LARGE_INTEGER)) || !IsUserRange(l.length, sizeof(LARGE_INTEGER))))
        return STATUS_ACCESS_VIOLATION;
    if (l.byteOffset == nullptr || l.length == nullptr)
        return STATUS_INVALID_PARAMETER;
    LARGE_INTEGER offset = *l.byteOffset;
    LARGE_INTEGER length = *l.length;
    FileCall call;
    NTSTATUS status = BeginFileCall(&call, l.handle, 0, l.event, l.iosb);
    if (!NT_SUCCESS(status))
        return status;
    if (mode == UserMode && (call.granted & (FILE_READ_DATA | FILE_WRITE_DATA)) == 0) {
        EndFileCall(&call);
        return STATUS_ACCESS_DENIED;
    }
    PFILE_OBJECT file = call.file;
    PDEVICE_OBJECT device = call.device;
    bool lock = l.minor == IRP_MN_LOCK;
    if (lock)
        file->LockOperation = TRUE;

    IO_STATUS_BLOCK local{};
    BOOLEAN done = FALSE;
    PEPROCESS process = ke::CurrentProcess();
    if (lock) {
        if (PFAST_IO_DISPATCH fastIo = FastIoTable(device, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoLock)))
            done = fastIo->FastIoLock(file, &offset, &length, process, l.key, l.failImmediately, l.exclusive, &local,
                                      device);
    } else if (PFAST_IO_DISPATCH fastIo = FastIoTable(device, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoUnlockSingle))) {
        done = fastIo->FastIoUnlockSingle(file, &offset, &length, process, l.key, &local, device);
    }
    if (done) {
        CompleteWithoutRequest(&call, local.Status, local.Information);
        EndFileCall(&call);
        return local.Status;
    }

    return IssueFileRequest(&call, IRP_MJ_LOCK_CONTROL, l.minor, !lock, [&](Request *request, PIO_STACK_LOCATION stack) {
        // The length travels as a pool copy the auxiliary buffer owns (freed at completion).
        auto *lengthCopy =
            static_cast<PLARGE_INTEGER>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(LARGE_INTEGER), kLengthTag));
        if (lengthCopy == nullptr)
            return (NTSTATUS)STATUS_INSUFFICIENT_RESOURCES;
        *lengthCopy = length;
        request->irp->Tail.Overlay.AuxiliaryBuffer = reinterpret_cast<PCHAR>(lengthCopy);
        stack->Parameters.LockControl.Length = lengthCopy;
        stack->Parameters.LockControl.Key = l.key;
        stack->Parameters.LockControl.ByteOffset = offset;
        if (lock)
            stack->Flags = (UCHAR)((l.failImmediately ? SL_FAIL_IMMEDIATELY : 0) | (l.exclusive ? SL_EXCLUSIVE_LOCK : 0));
        return (NTSTATUS)STATUS_SUCCESS;
    });
}

} // namespace

void UnlockAllForProcess(PFILE_OBJECT file, struct _KPROCESS *process)
{
    PDEVICE_OBJECT device = TargetOf(file);
    IO_STATUS_BLOCK iosb{};
    bool synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
    if (synchronous)
        AcquireFileObjectLock(file);
    PFAST_IO_DISPATCH fastIo = FastIoTable(device, FIELD_OFFSET(FAST_IO_DISPATCH, FastIoUnlockAll));
    if (fastIo == nullptr || !fastIo->FastIoUnlockAll(file, process, &iosb, device)) {
        PIO_STACK_LOCATION stack;
        Request *request = NewRequest(device, file, KernelMode, IRP_MJ_LOCK_CONTROL, IRP_MN_UNLOCK_ALL, &stack);
        if (request != nullptr) {
            request->irp->Flags |= IRP_SYNCHRONOUS_API;
            CallDriverAndWait(device, request);
        }
    }
    if (synchronous)
        ReleaseFileObjectLock(file);
}

} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtLockFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                       PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                                       PLARGE_INTEGER Length, ULONG Key, BOOLEAN FailImmediately,
                                       BOOLEAN ExclusiveLock)
{
    (void)ApcContext;
    ke::CheckIrql((const void *)&NtLockFile, PASSIVE_LEVEL);
    return io::LockControl({FileHandle, Event, ApcRoutine, IoStatusBlock, ByteOffset, Length, Key, FailImmediately,
                            ExclusiveLock, IRP_MN_LOCK});
}

NTSYSCALLAPI NTSTATUS NTAPI NtUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                                         PLARGE_INTEGER Length, ULONG Key)
{
    ke::CheckIrql((const void *)&NtUnlockFile, PASSIVE_LEVEL);
    return io::LockControl(
        {FileHandle, nullptr, nullptr, IoStatusBlock, ByteOffset, Length, Key, FALSE, FALSE, IRP_MN_UNLOCK_SINGLE});
}

NTSYSAPI NTSTATUS NTAPI ZwLockFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                   PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length,
                                   ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock)
{
    return io::AsKernelCall([&] {
        return NtLockFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, ByteOffset, Length, Key,
                          FailImmediately, ExclusiveLock);
    });
}

NTSYSAPI NTSTATUS NTAPI ZwUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                                     PLARGE_INTEGER Length, ULONG Key)
{
    return io::AsKernelCall([&] { return NtUnlockFile(FileHandle, IoStatusBlock, ByteOffset, Length, Key); });
}

} // extern "C"
