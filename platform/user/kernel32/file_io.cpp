/*
 * File data, file information and disk space: ReadFile, WriteFile,
 * GetFileInformationByHandle, SetFileInformationByHandle and GetDiskFreeSpaceExW,
 * as Windows' kernel32 builds them on the native calls (NtReadFile, NtWriteFile,
 * NtQueryInformationFile, NtQueryVolumeInformationFile, NtSetInformationFile). A
 * handle on a host file is served locally instead (host_files.cpp).
 *
 * Every native call stages its status block and buffers in the process's user
 * space (see files.cpp), and copies results back only for what the call returned.
 */
#include "win32_internal.h"

#include <km/fileinfo.h>

#include <memory>

namespace {

using transport::CallNumber;
using win32::Arg;
using win32::UserBuffer;

/* Native information classes the calls below use (FILE_INFORMATION_CLASS, FS_INFORMATION_CLASS). */
constexpr ULONG kFileBasicInformation = 4;
constexpr ULONG kFileDispositionInformation = 13;
constexpr ULONG kFileAllInformation = 18;
constexpr ULONG kFileAllocationInformation = 19;
constexpr ULONG kFileEndOfFileInformation = 20;
constexpr ULONG kFileDispositionInformationEx = 64;
constexpr ULONG kFileFsVolumeInformation = 1;
constexpr ULONG kFileFsSizeInformation = 3;
constexpr ULONG kFileFsFullSizeInformation = 7;

/* FILE_LIST_DIRECTORY: what GetDiskFreeSpaceExW needs on the directory it is given. */
constexpr ACCESS_MASK kListDirectory = 0x0001;
/* Room for the names a query returns beside its fixed part; a longer name only overflows. */
constexpr ULONG kNameRoom = 1024;
/* The status block, then (16-byte aligned) the call's buffers. */
constexpr size_t kBufferOffset = 32;

BOOL FailWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL FailWithStatus(NTSTATUS status)
{
    win32::SetLastNtError(status);
    return FALSE;
}

/* How SetFileInformationByHandle passes each class it takes on: the native class and the record size. */
struct SetClass {
    FILE_INFO_BY_HANDLE_CLASS win32;
    ULONG native;
    DWORD size;
};
constexpr SetClass kSetClasses[] = {
    {FileBasicInfo, kFileBasicInformation, sizeof(FILE_BASIC_INFO)},
    {FileDispositionInfo, kFileDispositionInformation, sizeof(FILE_DISPOSITION_INFO)},
    {FileAllocationInfo, kFileAllocationInformation, sizeof(FILE_ALLOCATION_INFO)},
    {FileEndOfFileInfo, kFileEndOfFileInformation, sizeof(FILE_END_OF_FILE_INFO)},
    {FileDispositionInfoEx, kFileDispositionInformationEx, sizeof(FILE_DISPOSITION_INFO_EX)},
};
static_assert(sizeof(FILE_BASIC_INFO) == sizeof(FILE_BASIC_INFORMATION) &&
                  sizeof(FILE_END_OF_FILE_INFO) == sizeof(FILE_END_OF_FILE_INFORMATION) &&
                  sizeof(FILE_DISPOSITION_INFO) == sizeof(FILE_DISPOSITION_INFORMATION) &&
                  sizeof(FILE_DISPOSITION_INFO_EX) == sizeof(FILE_DISPOSITION_INFORMATION_EX),
              "the Win32 records are the native ones");

/*
 * The staging of one call on a handle of the host: its status block, then bytes of
 * buffers at kBufferOffset. Null, with the last error set, for a handle that is not
 * the current connection's or when no user space could be had.
 */
std::unique_ptr<UserBuffer> StageFileCall(HANDLE handle, size_t bytes)
{
    transport::Client &client = win32::HostConnection();
    if (!win32::CheckHandle(handle, client))
        return nullptr;
    auto staging = std::make_unique<UserBuffer>(client, kBufferOffset + bytes);
    if (staging->get() == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return staging;
}

/*
 * A read or write on a host handle of this process through NtReadFile / NtWriteFile.
 * With an OVERLAPPED (on a synchronous handle) the transfer starts at its offset and
 * its Internal fields receive the outcome. A synchronous read at the end of the file
 * succeeds with 0 bytes; a positioned one fails with ERROR_HANDLE_EOF.
 */
BOOL TransferNative(bool write, HANDLE handle, void *buffer, DWORD length, DWORD *done, LPOVERLAPPED overlapped)
{
    std::unique_ptr<UserBuffer> staging = StageFileCall(handle, length);
    if (staging == nullptr)
        return FALSE;
    uint8_t *base = staging->get();
    transport::Client &client = win32::HostConnection();
    auto *iosb = reinterpret_cast<IO_STATUS_BLOCK *>(base);
    auto *offset = reinterpret_cast<LARGE_INTEGER *>(base + sizeof(IO_STATUS_BLOCK));
    uint8_t *data = base + kBufferOffset;
    if (write && length != 0)
        std::memcpy(data, buffer, length);
    if (overlapped != nullptr) {
        offset->LowPart = overlapped->Offset;
        offset->HighPart = (LONG)overlapped->OffsetHigh; /* -1:-1 writes at the end of the file */
    }
    uint64_t arguments[9] = {Arg(handle), 0, 0, 0, Arg(iosb), Arg(data), length,
                             overlapped != nullptr ? Arg(offset) : 0, 0};
    NTSTATUS status = client.Call(write ? CallNumber::NtWriteFile : CallNumber::NtReadFile, arguments, 9, Arg(handle));
    if (status == STATUS_PENDING) {
        staging->Abandon(); /* not on a synchronous handle; the request owns the memory */
        return FailWith(ERROR_IO_PENDING);
    }
    if (status == transport::kStatusDisconnected)
        return FailWithStatus(status); /* nothing came back */
    ULONG_PTR information = NT_SUCCESS(status) ? iosb->Information : 0;
    if (information > length)
        information = length;
    if (!write && information != 0)
        std::memcpy(buffer, data, information);
    if (overlapped != nullptr) {
        overlapped->Internal = (ULONG_PTR)(ULONG)status;
        overlapped->InternalHigh = information;
    }
    if (!write && status == STATUS_END_OF_FILE && overlapped == nullptr)
        return TRUE;
    if (!NT_SUCCESS(status))
        return FailWithStatus(status);
    if (done != nullptr)
        *done = (DWORD)information;
    return TRUE;
}

/* A query of file or volume information into the staging after the status block; overflow is fine. */
NTSTATUS QueryNative(transport::Client &client, CallNumber call, HANDLE handle, uint8_t *base, ULONG length,
                     ULONG informationClass)
{
    std::memset(base, 0, kBufferOffset + length);
    uint64_t arguments[5] = {Arg(handle), Arg(base), Arg(base + kBufferOffset), length, informationClass};
    NTSTATUS status = client.Call(call, arguments, 5, Arg(handle));
    return status == STATUS_BUFFER_OVERFLOW ? STATUS_SUCCESS : status;
}

FILETIME FileTimeOf(const LARGE_INTEGER &time)
{
    return FILETIME{time.LowPart, (DWORD)time.HighPart};
}

BOOL QueryFileNative(HANDLE handle, BY_HANDLE_FILE_INFORMATION *information)
{
    std::unique_ptr<UserBuffer> staging = StageFileCall(handle, sizeof(FILE_ALL_INFORMATION) + kNameRoom);
    if (staging == nullptr)
        return FALSE;
    uint8_t *base = staging->get();
    transport::Client &client = win32::HostConnection();
    NTSTATUS status = QueryNative(client, CallNumber::NtQueryVolumeInformationFile, handle, base,
                                  sizeof(FILE_FS_VOLUME_INFORMATION) + kNameRoom, kFileFsVolumeInformation);
    if (!NT_SUCCESS(status))
        return FailWithStatus(status);
    DWORD serial = reinterpret_cast<const FILE_FS_VOLUME_INFORMATION *>(base + kBufferOffset)->VolumeSerialNumber;
    status = QueryNative(client, CallNumber::NtQueryInformationFile, handle, base,
                         sizeof(FILE_ALL_INFORMATION) + kNameRoom, kFileAllInformation);
    if (!NT_SUCCESS(status))
        return FailWithStatus(status);
    const auto *all = reinterpret_cast<const FILE_ALL_INFORMATION *>(base + kBufferOffset);
    information->dwFileAttributes = all->BasicInformation.FileAttributes;
    information->ftCreationTime = FileTimeOf(all->BasicInformation.CreationTime);
    information->ftLastAccessTime = FileTimeOf(all->BasicInformation.LastAccessTime);
    information->ftLastWriteTime = FileTimeOf(all->BasicInformation.LastWriteTime);
    information->dwVolumeSerialNumber = serial;
    information->nFileSizeHigh = (DWORD)all->StandardInformation.EndOfFile.HighPart;
    information->nFileSizeLow = all->StandardInformation.EndOfFile.LowPart;
    information->nNumberOfLinks = all->StandardInformation.NumberOfLinks;
    information->nFileIndexHigh = (DWORD)all->InternalInformation.IndexNumber.HighPart;
    information->nFileIndexLow = all->InternalInformation.IndexNumber.LowPart;
    return TRUE;
}

BOOL SetFileNative(HANDLE handle, ULONG informationClass, const void *record, DWORD length)
{
    std::unique_ptr<UserBuffer> staging = StageFileCall(handle, length);
    if (staging == nullptr)
        return FALSE;
    uint8_t *base = staging->get();
    std::memcpy(base + kBufferOffset, record, length);
    uint64_t arguments[5] = {Arg(handle), Arg(base), Arg(base + kBufferOffset), length, informationClass};
    NTSTATUS status = win32::HostConnection().Call(CallNumber::NtSetInformationFile, arguments, 5, Arg(handle));
    return NT_SUCCESS(status) ? TRUE : FailWithStatus(status);
}

/* The sizes of the volume that holds an NT directory name, from its size information. */
BOOL DiskFreeSpaceNative(const std::u16string &name, ULARGE_INTEGER *callerFree, ULARGE_INTEGER *total,
                         ULARGE_INTEGER *totalFree)
{
    HANDLE directory = nullptr;
    ULONG_PTR opened = 0;
    NTSTATUS status = win32::OpenNative(
        name, kListDirectory | SYNCHRONIZE, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, OBJ_CASE_INSENSITIVE,
        &directory, &opened);
    if (!NT_SUCCESS(status))
        return FailWithStatus(status);
    transport::Client &client = win32::HostConnection();
    UserBuffer staging(client, kBufferOffset + sizeof(FILE_FS_FULL_SIZE_INFORMATION));
    uint8_t *base = staging.get();
    if (base == nullptr) {
        win32::CloseNative(directory);
        return FailWith(ERROR_NOT_ENOUGH_MEMORY);
    }
    // The full-size class tells what the caller may use; a file system without it has the plain one.
    const auto *full = reinterpret_cast<const FILE_FS_FULL_SIZE_INFORMATION *>(base + kBufferOffset);
    const auto *size = reinterpret_cast<const FILE_FS_SIZE_INFORMATION *>(base + kBufferOffset);
    uint64_t units[3] = {}; /* caller available, total, actually available */
    uint64_t unitBytes = 0;
    status = QueryNative(client, CallNumber::NtQueryVolumeInformationFile, directory, base,
                         sizeof(FILE_FS_FULL_SIZE_INFORMATION), kFileFsFullSizeInformation);
    if (NT_SUCCESS(status)) {
        units[0] = (uint64_t)full->CallerAvailableAllocationUnits.QuadPart;
        units[1] = (uint64_t)full->TotalAllocationUnits.QuadPart;
        units[2] = (uint64_t)full->ActualAvailableAllocationUnits.QuadPart;
        unitBytes = (uint64_t)full->SectorsPerAllocationUnit * full->BytesPerSector;
    } else if (status == STATUS_INVALID_INFO_CLASS || status == STATUS_INVALID_PARAMETER) {
        status = QueryNative(client, CallNumber::NtQueryVolumeInformationFile, directory, base,
                             sizeof(FILE_FS_SIZE_INFORMATION), kFileFsSizeInformation);
        units[0] = units[2] = (uint64_t)size->AvailableAllocationUnits.QuadPart;
        units[1] = (uint64_t)size->TotalAllocationUnits.QuadPart;
        unitBytes = (uint64_t)size->SectorsPerAllocationUnit * size->BytesPerSector;
    }
    win32::CloseNative(directory);
    if (!NT_SUCCESS(status))
        return FailWithStatus(status);
    if (callerFree != nullptr)
        callerFree->QuadPart = units[0] * unitBytes;
    if (total != nullptr)
        total->QuadPart = units[1] * unitBytes;
    if (totalFree != nullptr)
        totalFree->QuadPart = units[2] * unitBytes;
    return TRUE;
}

} // namespace

extern "C" {

WINBASEAPI BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                                LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = 0; /* before any work or check */
    if (lpNumberOfBytesRead == nullptr && lpOverlapped == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER); /* only an overlapped call may leave it out */
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0)
        return FailWith(ERROR_NOACCESS);
    if (win32::IsHostFileHandle(hFile))
        return win32::ReadHostFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    return TransferNative(false, hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

WINBASEAPI BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    if (lpNumberOfBytesWritten == nullptr && lpOverlapped == nullptr)
        return FailWith(ERROR_INVALID_PARAMETER);
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0)
        return FailWith(ERROR_NOACCESS);
    if (win32::IsHostFileHandle(hFile))
        return win32::WriteHostFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
    return TransferNative(true, hFile, const_cast<void *>(lpBuffer), nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                          lpOverlapped);
}

WINBASEAPI BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation)
{
    if (lpFileInformation == nullptr)
        return FailWith(ERROR_NOACCESS);
    if (win32::IsHostFileHandle(hFile))
        return win32::QueryHostFile(hFile, lpFileInformation);
    return QueryFileNative(hFile, lpFileInformation);
}

/*
 * SetFileInformationByHandle: the classes it takes on pass to NtSetInformationFile
 * as their native twins (the records are the same); a record shorter than its class
 * is ERROR_BAD_LENGTH, a class the call does not set ERROR_INVALID_PARAMETER. Renames
 * and priority hints are not offered by this layer (ERROR_NOT_SUPPORTED).
 */
WINBASEAPI BOOL WINAPI SetFileInformationByHandle(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                                  LPVOID lpFileInformation, DWORD dwBufferSize)
{
    const SetClass *mapping = nullptr;
    for (const SetClass &entry : kSetClasses)
        if (entry.win32 == FileInformationClass)
            mapping = &entry;
    if (mapping == nullptr) {
        bool settable = FileInformationClass == FileRenameInfo || FileInformationClass == FileRenameInfoEx ||
                        FileInformationClass == FileIoPriorityHintInfo ||
                        FileInformationClass == FileCaseSensitiveInfo;
        return FailWith(settable ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER);
    }
    if (lpFileInformation == nullptr)
        return FailWith(ERROR_NOACCESS);
    if (dwBufferSize < mapping->size)
        return FailWith(ERROR_BAD_LENGTH);
    if (win32::IsHostFileHandle(hFile))
        return win32::SetHostFileInformation(hFile, FileInformationClass, lpFileInformation, dwBufferSize);
    return SetFileNative(hFile, mapping->native, lpFileInformation, dwBufferSize);
}

/*
 * GetDiskFreeSpaceExW: the sizes of the volume that holds a directory (the caller
 * needs to be able to list it; a file is ERROR_DIRECTORY). Null is the current
 * directory's drive, C:. Host drives are asked locally, the machine's volumes (also
 * through the mount root) for their size information. Each output is optional.
 */
WINBASEAPI BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName, PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                           PULARGE_INTEGER lpTotalNumberOfBytes,
                                           PULARGE_INTEGER lpTotalNumberOfFreeBytes)
{
    if (lpDirectoryName == nullptr)
        lpDirectoryName = L"C:\\";
    std::string hostPath;
    std::u16string name;
    switch (win32::ResolvePath(lpDirectoryName, &hostPath, &name)) {
    case win32::PathKind::Host:
        return win32::HostDiskFreeSpace(hostPath, lpFreeBytesAvailableToCaller, lpTotalNumberOfBytes,
                                        lpTotalNumberOfFreeBytes);
    case win32::PathKind::Invalid:
        return FailWith(ERROR_PATH_NOT_FOUND);
    case win32::PathKind::Machine:
        break;
    }
    return DiskFreeSpaceNative(name, lpFreeBytesAvailableToCaller, lpTotalNumberOfBytes, lpTotalNumberOfFreeBytes);
}

} // extern "C"
