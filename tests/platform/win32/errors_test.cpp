/*
 * Last errors and the NTSTATUS to Win32 error mapping.
 */
#include <windows.h>
#include <winternl.h>
#include <ntstatus.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(Win32Errors, StatusesMapAsWindowsMapsThem)
{
    struct Case {
        NTSTATUS status;
        ULONG error;
    };
    const Case cases[] = {
        // Those the client library's status table rests on.
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
        {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        {STATUS_FILE_LOCK_CONFLICT, ERROR_LOCK_VIOLATION},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_DISK_FULL, ERROR_DISK_FULL},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_DEVICE_BUSY, ERROR_BUSY},
        {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        // What a request reports when the host went before answering it.
        {STATUS_PIPE_BROKEN, ERROR_BROKEN_PIPE},
        // Others the system meets.
        {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
        {STATUS_VOLUME_DISMOUNTED, ERROR_NOT_READY},
        {STATUS_FILE_CORRUPT_ERROR, ERROR_FILE_CORRUPT},
        {STATUS_UNRECOGNIZED_VOLUME, ERROR_UNRECOGNIZED_VOLUME},
        {STATUS_CRC_ERROR, ERROR_CRC},
        {STATUS_FILE_TOO_LARGE, ERROR_FILE_TOO_LARGE},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {STATUS_PENDING, ERROR_IO_PENDING},
        // A Win32 code wrapped in a status comes back out.
        {(NTSTATUS)0xC0070005, 5},
        {(NTSTATUS)0x80070057, 87},
        // A status the system does not know.
        {(NTSTATUS)0xC0DEC0DE, ERROR_MR_MID_NOT_FOUND},
        {(NTSTATUS)0xC0000007, ERROR_MR_MID_NOT_FOUND},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.error, RtlNtStatusToDosError(c.status)) << std::hex << (ULONG)c.status;
}

TEST(Win32Errors, TheLastErrorBelongsToEachThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen = 1;
    std::thread other([&] {
        seen = GetLastError();
        SetLastError(ERROR_BUSY);
    });
    other.join();
    EXPECT_EQ(0u, seen);
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
}

} // namespace
