/*
 * NtReadFile and NtWriteFile (and their Zw forms), as the Windows I/O manager
 * issues them.
 *
 * The handle needs FILE_READ_DATA for a read, FILE_WRITE_DATA or FILE_APPEND_DATA
 * for a write (from user mode); a handle with append access alone writes at the end
 * of file whatever offset it names. On a file object opened for synchronous I/O the
 * call holds the file object's lock, and a missing offset or
 * FILE_USE_FILE_POINTER_POSITION means its CurrentByteOffset (which the file system
 * advances); an asynchronous file object needs an explicit offset. Without
 * intermediate buffering, the length and offset must be multiples of the device's
 * sector size and the buffer aligned as the device requires.
 *
 * The file system's FastIoRead / FastIoWrite are tried first for a synchronous file
 * object whose caching has begun (PrivateCacheMap set); when one answers FALSE the
 * request goes as an IRP: IRP_READ_OPERATION or IRP_WRITE_OPERATION, with
 * IRP_NOCACHE without intermediate buffering, SL_WRITE_THROUGH for write-through
 * file objects, and the buffer by the device's I/O method.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

namespace io {
namespace {

struct Transfer {
    HANDLE handle;
    HANDLE event;
    PIO_APC_ROUTINE apcRoutine;
    PVOID apcContext;
    PIO_STATUS_BLOCK iosb;
    PVOID buffer;
    ULONG length;
    PLARGE_INTEGER byteOffset;
    PULONG key;
    bool write;
};

bool IsSpecialOffset(const LARGE_INTEGER &offset, ULONG low)
{
    return offset.HighPart == -1 && offset.LowPart == low;
}

NTSTATUS Transfer(const Transfer &t)
{
    if (t.apcRoutine != nullptr)
        return STATUS_NOT_IMPLEMENTED; /* user APCs are not part of this machine */
    KPROCESSOR_MODE mode = ke::CurrentThreadState().previousMode;
    LARGE_INTEGER offset{};
    bool hasOffset = t.byteOffset != nullptr;
    ULONG key = 0;
    if (mode == UserMode) {
        if (!IsUserRange(t.buffer, t.length) || (hasOffset && !IsUserRange(t.byteOffset, sizeof(LARGE_INTEGER))) ||
            (t.key != nullptr && !IsUserRange(t.key, sizeof(ULONG))))
            return STATUS_ACCESS_VIOLATION;
    }
    if (hasOffset)
        offset = *t.byteOffset;
    if (t.key != nullptr)
        key = *t.key;

    FileCall call;
    NTSTATUS status = BeginFileCall(&call, t.handle, 0, t.event, t.iosb);
    if (!NT_SUCCESS(status))
        return status;
    PFILE_OBJECT file = call.file;
    if (mode == UserMode) {
        ACCESS_MASK needed = t.write ? (FILE_WRITE_DATA | FILE_APPEND_DATA) : FILE_READ_DATA;
        if ((call.granted & needed) == 0) {
            EndFileCall(&call);
            return STATUS_ACCESS_DENIED;
        }
    }

    // The offset: the file pointer of a synchronous file object, or the caller's.
    if (call.synchronous) {
        if (!hasOffset || IsSpecialOffset(offset, FILE_USE_FILE_POINTER_POSITION)) {
            offset = file->CurrentByteOffset;
            hasOffset = true;
        }
    } else if (!hasOffset || IsSpecialOffset(offset, FILE_USE_FILE_POINTER_POSITION)) {
        EndFileCall(&call);
        return STATUS_INVALID_PARAMETER;
    }
    if (t.write && (call.granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) == FILE_APPEND_DATA) {
        offset.LowPart = FILE_WRITE_TO_END_OF_FILE;
        offset.HighPart = -1;
    }
    PDEVICE_OBJECT device = call.device;
    if (file->Flags & FO_NO_INTERMEDIATE_BUFFERING) {
        ULONG sector = device->SectorSize != 0 ? device->SectorSize : 1;
        bool special = offset.QuadPart < 0;
        if ((t.length & (sector - 1)) || ((ULONG_PTR)t.buffer & device->AlignmentRequirement) ||
            (!special && (offset.LowPart & (sector - 1)))) {
            EndFileCall(&call);
            return STATUS_INVALID_PARAMETER;
        }
    }

    if (call.synchronous && file->PrivateCacheMap != nullptr) {
        size_t entry = t.write ? FIELD_OFFSET(FAST_IO_DISPATCH, FastIoWrite) : FIELD_OFFSET(FAST_IO_DISPATCH, FastIoRead);
        if (PFAST_IO_DISPATCH fastIo = FastIoTable(device, entry)) {
            IO_STATUS_BLOCK local{};
            BOOLEAN done = t.write ? fastIo->FastIoWrite(file, &offset, t.length, TRUE, key, t.buffer, &local, device)
                                   : fastIo->FastIoRead(file, &offset, t.length, TRUE, key, t.buffer, &local, device);
            if (done) {
                CompleteWithoutRequest(&call, local.Status, local.Information);
                EndFileCall(&call);
                return local.Status;
            }
        }
    }

    return IssueFileRequest(&call, t.write ? IRP_MJ_WRITE : IRP_MJ_READ, 0, false,
                            [&](Request *request, PIO_STACK_LOCATION stack) {
                                PIRP irp = request->irp;
                                irp->Flags |= (t.write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION) |
                                              IRP_DEFER_IO_COMPLETION;
                                if (file->Flags & FO_NO_INTERMEDIATE_BUFFERING)
                                    irp->Flags |= IRP_NOCACHE;
                                irp->Overlay.AsynchronousParameters.UserApcContext = t.apcContext;
                                stack->Parameters.Read.Length = t.length;
                                stack->Parameters.Read.Key = key;
                                stack->Parameters.Read.ByteOffset = offset;
                                if (t.write && (file->Flags & FO_WRITE_THROUGH))
                                    stack->Flags |= SL_WRITE_THROUGH;
                                return AttachDataBuffer(request, device, t.buffer, t.length, !t.write);
                            });
}

} // namespace
} // namespace io

extern "C" {

NTSYSCALLAPI NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                       PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                       PLARGE_INTEGER ByteOffset, PULONG Key)
{
    ke::CheckIrql((const void *)&NtReadFile, PASSIVE_LEVEL);
    return io::Transfer({FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, Buffer, Length, ByteOffset, Key,
                         false});
}

NTSYSCALLAPI NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                        PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER ByteOffset, PULONG Key)
{
    ke::CheckIrql((const void *)&NtWriteFile, PASSIVE_LEVEL);
    return io::Transfer({FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, Buffer, Length, ByteOffset, Key,
                         true});
}

NTSYSAPI NTSTATUS NTAPI ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                   PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER ByteOffset, PULONG Key)
{
    return io::AsKernelCall(
        [&] { return NtReadFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, Buffer, Length, ByteOffset, Key); });
}

NTSYSAPI NTSTATUS NTAPI ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                    PLARGE_INTEGER ByteOffset, PULONG Key)
{
    return io::AsKernelCall([&] {
        return NtWriteFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, Buffer, Length, ByteOffset, Key);
    });
}

} // extern "C"
