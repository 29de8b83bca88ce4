/*
 * Reads, writes, flushes and the file-system controls of host files.
 *
 * A file object without intermediate buffering moves whole sectors only: offset, length
 * and buffer address must be multiples of the drive's sector size (the I/O manager
 * checks the same; the check here keeps the rule the drive's own). A synchronous file
 * object's CurrentByteOffset advances past what moved.
 */
#include "hostfs/internal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace hostfs {
namespace {

bool Aligned(PDEVICE_OBJECT device, PFILE_OBJECT fileObject, uint64_t offset, ULONG length, const void *buffer)
{
    if (!(fileObject->Flags & FO_NO_INTERMEDIATE_BUFFERING))
        return true;
    ULONG sector = SectorOf(device);
    return offset % sector == 0 && length % sector == 0 && (ULONG_PTR)buffer % sector == 0;
}

/* The caller's buffer of a transfer: a locked MDL's system address, or the address itself. */
void *TransferBuffer(PIRP irp)
{
    return irp->MdlAddress != nullptr ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                                      : irp->UserBuffer;
}

void Advance(PFILE_OBJECT fileObject, uint64_t offset, ULONG_PTR moved)
{
    if (fileObject->Flags & FO_SYNCHRONOUS_IO)
        fileObject->CurrentByteOffset.QuadPart = (LONGLONG)(offset + moved);
}

} // namespace

NTSTATUS Read(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    Open *open = OpenOf(fileObject);
    if (open == nullptr || open->file->directory)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    ULONG length = stack->Parameters.Read.Length;
    LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
    void *buffer = TransferBuffer(irp);
    if (offset < 0 || !Aligned(device, fileObject, (uint64_t)offset, length, buffer))
        return Complete(irp, STATUS_INVALID_PARAMETER);
    if (!open->readable)
        return Complete(irp, STATUS_ACCESS_DENIED);
    if (length == 0)
        return Complete(irp, STATUS_SUCCESS);
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::pread(open->fd, static_cast<char *>(buffer) + done, length - done, (off_t)(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Complete(irp, StatusFromErrno(errno));
        if (n == 0)
            break;
        done += (size_t)n;
    }
    if (done == 0)
        return Complete(irp, STATUS_END_OF_FILE);
    Advance(fileObject, (uint64_t)offset, done);
    return Complete(irp, STATUS_SUCCESS, done);
}

NTSTATUS Write(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT fileObject = stack->FileObject;
    Open *open = OpenOf(fileObject);
    if (open == nullptr || open->file->directory)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    ULONG length = stack->Parameters.Write.Length;
    LARGE_INTEGER byteOffset = stack->Parameters.Write.ByteOffset;
    const void *buffer = TransferBuffer(irp);
    uint64_t offset;
    if (byteOffset.HighPart == -1 && byteOffset.LowPart == FILE_WRITE_TO_END_OF_FILE) {
        struct stat st {};
        fstat(open->fd, &st);
        offset = (uint64_t)st.st_size;
    } else if (byteOffset.QuadPart < 0) {
        return Complete(irp, STATUS_INVALID_PARAMETER);
    } else {
        offset = (uint64_t)byteOffset.QuadPart;
    }
    if (!Aligned(device, fileObject, offset, length, buffer))
        return Complete(irp, STATUS_INVALID_PARAMETER);
    if (!open->writable)
        return Complete(irp, STATUS_ACCESS_DENIED);
    NTSTATUS status = WriteHostFile(open->file, open->fd, offset, buffer, length);
    if (!NT_SUCCESS(status))
        return Complete(irp, status);
    Advance(fileObject, offset, length);
    return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS FlushBuffers(PDEVICE_OBJECT, PIRP irp)
{
    Open *open = OpenOf(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (open == nullptr)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return Complete(irp, FlushHostFile(open->file, open->fd));
}

/* FSCTL_SET_SPARSE (recorded: Linux files are sparse anyway) and FSCTL_SET_ZERO_DATA. */
NTSTATUS FileSystemControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Open *open = OpenOf(stack->FileObject);
    if (stack->MinorFunction != IRP_MN_USER_FS_REQUEST || open == nullptr)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    ULONG code = stack->Parameters.FileSystemControl.FsControlCode;
    ULONG inputLength = stack->Parameters.FileSystemControl.InputBufferLength;
    const void *input = irp->AssociatedIrp.SystemBuffer;
    HostFile *file = open->file;
    switch (code) {
    case FSCTL_SET_SPARSE: {
        if (file->directory)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        bool sparse = true;
        if (inputLength >= sizeof(FILE_SET_SPARSE_BUFFER))
            sparse = static_cast<const FILE_SET_SPARSE_BUFFER *>(input)->SetSparse != FALSE;
        std::lock_guard<std::mutex> guard(Lock());
        file->sparse = sparse;
        return Complete(irp, STATUS_SUCCESS);
    }
    case FSCTL_SET_ZERO_DATA: {
        if (inputLength < sizeof(FILE_ZERO_DATA_INFORMATION))
            return Complete(irp, STATUS_INVALID_PARAMETER);
        if (file->directory)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        if (!open->writable)
            return Complete(irp, STATUS_ACCESS_DENIED);
        auto *range = static_cast<const FILE_ZERO_DATA_INFORMATION *>(input);
        LONGLONG from = range->FileOffset.QuadPart, to = range->BeyondFinalZero.QuadPart;
        if (from < 0 || to < 0 || from > to)
            return Complete(irp, STATUS_INVALID_PARAMETER);
        return Complete(irp, ZeroHostFile(file, open->fd, (uint64_t)from, (uint64_t)(to - from)));
    }
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

} // namespace hostfs
