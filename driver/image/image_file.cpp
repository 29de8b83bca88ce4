/*
 * I/O on a bound image file: positioned reads and writes, flushes and the
 * deallocation of slot runs. The file is opened for synchronous I/O, so every
 * call here returns when the transfer is done. PASSIVE_LEVEL; the caller owns the
 * binding for the duration (a save, a load or the bind itself).
 */
#include "vorel.h"

/*
 * ReadImageFile: reads up to Length bytes at Offset into Buffer (sector-aligned
 * offset and length, and a page-aligned buffer, for unbuffered files). Returns
 * the bytes read in Read: fewer than asked at the end of the file, 0 at or past
 * it, which is no error here (the caller decides whether a short read is corrupt).
 */
NTSTATUS ReadImageFile(PIMAGE_BINDING Binding, ULONGLONG Offset, PVOID Buffer, ULONG Length, PULONG Read)
{
    IO_STATUS_BLOCK io;
    LARGE_INTEGER position;
    position.QuadPart = (LONGLONG)Offset;
    *Read = 0;
    NTSTATUS status = ZwReadFile(Binding->File, NULL, NULL, NULL, &io, Buffer, Length, &position, NULL);
    if (status == STATUS_END_OF_FILE)
        return STATUS_SUCCESS;
    if (!NT_SUCCESS(status))
        return status;
    *Read = (ULONG)io.Information;
    return STATUS_SUCCESS;
}

/*
 * WriteImageFile: writes Length bytes at Offset. A write that transfers fewer
 * bytes than asked is STATUS_DISK_FULL.
 */
NTSTATUS WriteImageFile(PIMAGE_BINDING Binding, ULONGLONG Offset, const VOID *Buffer, ULONG Length)
{
    IO_STATUS_BLOCK io;
    LARGE_INTEGER position;
    position.QuadPart = (LONGLONG)Offset;
    NTSTATUS status = ZwWriteFile(Binding->File, NULL, NULL, NULL, &io, (PVOID)Buffer, Length, &position, NULL);
    if (!NT_SUCCESS(status))
        return status;
    return io.Information == Length ? STATUS_SUCCESS : STATUS_DISK_FULL;
}

/* FlushImageFile: everything written so far is on the disk when this returns successfully. */
NTSTATUS FlushImageFile(PIMAGE_BINDING Binding)
{
    IO_STATUS_BLOCK io;
    return ZwFlushBuffersFile(Binding->File, &io);
}

/* ZeroImageRange: deallocates [From, To) of a sparse image file. */
NTSTATUS ZeroImageRange(PIMAGE_BINDING Binding, ULONGLONG From, ULONGLONG To)
{
    IO_STATUS_BLOCK io;
    FILE_ZERO_DATA_INFORMATION range;
    range.FileOffset.QuadPart = (LONGLONG)From;
    range.BeyondFinalZero.QuadPart = (LONGLONG)To;
    return ZwFsControlFile(Binding->File, NULL, NULL, NULL, &io, FSCTL_SET_ZERO_DATA, &range, sizeof(range), NULL,
                           0);
}

/* QueryImageFileSize: the file's end-of-file position. */
NTSTATUS QueryImageFileSize(PIMAGE_BINDING Binding, PULONGLONG Size)
{
    IO_STATUS_BLOCK io;
    FILE_STANDARD_INFORMATION standard;
    NTSTATUS status =
        ZwQueryInformationFile(Binding->File, &io, &standard, sizeof(standard), FileStandardInformation);
    if (NT_SUCCESS(status))
        *Size = (ULONGLONG)standard.EndOfFile.QuadPart;
    return status;
}

/*
 * ReadImageHeaderCopies: both header copies into Staging (2 * 4096 bytes,
 * page-aligned) and, of the valid ones, the committed copy's record and number.
 * A copy read short is invalid. Returns STATUS_FILE_CORRUPT_ERROR when neither is
 * valid, or the read's status.
 */
NTSTATUS ReadImageHeaderCopies(PIMAGE_BINDING Binding, PUCHAR Staging, PULONG Active, PIMAGE_HEADER Header)
{
    ULONG read0 = 0;
    ULONG read1 = 0;
    NTSTATUS status = ReadImageFile(Binding, 0, Staging, IMAGE_HEADER_SIZE, &read0);
    if (NT_SUCCESS(status))
        status = ReadImageFile(Binding, IMAGE_HEADER_SIZE, Staging + IMAGE_HEADER_SIZE, IMAGE_HEADER_SIZE, &read1);
    if (!NT_SUCCESS(status))
        return status;
    return ChooseImageHeaderCopy(Staging, read0, Staging + IMAGE_HEADER_SIZE, read1, Active, Header);
}
