/*
 * Connections, status codes and the request frame.
 */
#include "vorellib_internal.h"

namespace {

const char *const kStatusNames[] = {
    "ok",
    "driver not running",
    "access denied",
    "busy",
    "not found",
    "already exists",
    "invalid argument",
    "no bound image",
    "disk full",
    "out of memory",
    "short reply",
    "not supported by driver",
    "transport error",
};

} // namespace

namespace vorellib {

vorel_status MapNativeError(DWORD error)
{
    switch (error) {
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
        return VOREL_ERR_NOT_SUPPORTED;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return VOREL_ERR_NOT_FOUND;
    case ERROR_ACCESS_DENIED:
        return VOREL_ERR_ACCESS_DENIED;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
        return VOREL_ERR_NO_MEMORY;
    case ERROR_BAD_COMMAND: /* the driver's invalid-device-state completion */
        return VOREL_ERR_NO_IMAGE;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_BUSY:
        return VOREL_ERR_BUSY;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
        return VOREL_ERR_DISK_FULL;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return VOREL_ERR_EXISTS;
    case ERROR_INVALID_PARAMETER:
        return VOREL_ERR_INVALID;
    case ERROR_INSUFFICIENT_BUFFER:
    case ERROR_MORE_DATA:
        return VOREL_ERR_SHORT_REPLY;
    default:
        return VOREL_ERR_TRANSPORT;
    }
}

vorel_status SendRequest(vorel_handle h, DWORD code, void *input, DWORD inputBytes, void *output, DWORD outputBytes)
{
    DWORD returned = 0;
    if (!DeviceIoControl(*h->device, code, input, inputBytes, output, outputBytes, &returned, nullptr)) {
        DWORD error = GetLastError();
        h->lastNativeError = error;
        return MapNativeError(error);
    }
    h->lastNativeError = 0;
    if (outputBytes != 0 && returned < outputBytes)
        return VOREL_ERR_SHORT_REPLY;
    return VOREL_OK;
}

} // namespace vorellib

extern "C" {

VORELLIB_API vorel_status vorel_connect(vorel_handle *out, unsigned int *native_error)
{
    if (native_error != nullptr)
        *native_error = 0;
    if (out == nullptr)
        return VOREL_ERR_INVALID;
    *out = nullptr;
    auto *connection =
        static_cast<vorel_connection *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(vorel_connection)));
    if (connection == nullptr)
        return VOREL_ERR_NO_MEMORY;
    auto *device = static_cast<HANDLE *>(HeapAlloc(GetProcessHeap(), 0, sizeof(HANDLE)));
    if (device == nullptr) {
        HeapFree(GetProcessHeap(), 0, connection);
        if (native_error != nullptr)
            *native_error = ERROR_NOT_ENOUGH_MEMORY;
        return VOREL_ERR_NO_MEMORY;
    }
    HANDLE handle = CreateFileW(VOREL_CONTROL_USER_PATH, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        HeapFree(GetProcessHeap(), 0, device);
        DWORD error = GetLastError();
        HeapFree(GetProcessHeap(), 0, connection);
        if (native_error != nullptr)
            *native_error = error;
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return VOREL_ERR_NOT_RUNNING;
        return vorellib::MapNativeError(error);
    }
    *device = handle;
    connection->device = device;
    *out = connection;
    return VOREL_OK;
}

VORELLIB_API void vorel_disconnect(vorel_handle h)
{
    if (h == nullptr)
        return;
    if (h->device != nullptr) {
        CloseHandle(*h->device);
        HeapFree(GetProcessHeap(), 0, h->device);
    }
    HeapFree(GetProcessHeap(), 0, h);
}

VORELLIB_API unsigned int vorel_last_native_error(vorel_handle h)
{
    return h == nullptr ? 0 : h->lastNativeError;
}

VORELLIB_API const char *vorel_status_name(unsigned int status)
{
    if (status < sizeof(kStatusNames) / sizeof(kStatusNames[0]))
        return kStatusNames[status];
    return "unknown status";
}

} // extern "C"
