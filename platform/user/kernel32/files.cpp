/*
 * Files and devices: CreateFileW, DeviceIoControl, CancelIoEx and CloseHandle, on
 * the native calls the host runs for this process (the socket protocol is this
 * stand-in's system-call boundary). Paths on host drives are opened locally
 * (host_files.cpp); their handles take the same calls.
 *
 * Buffers. A native call only takes memory in the process's user space, which is
 * shared with the host; the caller's own buffers are ordinary memory. So every
 * call stages its arguments in user space: the object name and attributes of an
 * open; the status block, the input and the output of a device control. The output
 * goes back as Windows leaves it: for METHOD_BUFFERED only the bytes the request
 * returned, and only for success and warning statuses (the I/O manager copies
 * nothing back for errors); for the direct and neither methods, where the driver
 * writes straight into the caller's memory, the whole buffer.
 *
 * Handles. A file handle is the host's handle value itself, since drivers resolve
 * handles that arrive inside requests. The layer remembers which connection made
 * each one: after the host restarts, an old handle would name a different object
 * of the new process, so it fails with ERROR_INVALID_HANDLE instead, and the
 * process reconnects only once it has closed every old handle.
 *
 * Only synchronous handles are offered (no FILE_FLAG_OVERLAPPED): a call returns
 * when its request is complete.
 */
#include "win32_internal.h"

#include "client.h"

#include <cstring>
#include <map>
#include <mutex>

namespace {

using transport::CallNumber;
using win32::Arg;
using win32::CheckHandle;
using win32::UserBuffer;

std::mutex handleLock;
std::map<uintptr_t, uint64_t> handles; /* handle value -> connection generation */

/* Connects for an open. Handles of a connection that broke must be closed first. */
NTSTATUS ConnectForOpen(transport::Client &client)
{
    if (client.Connected())
        return STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(handleLock);
        if (!handles.empty())
            return STATUS_INVALID_HANDLE;
    }
    client.SetSocketPath(transport::DefaultSocketPath()); /* the environment names the host */
    return client.Connect();
}

bool IsSeparator(WCHAR c)
{
    return c == L'\\' || c == L'/';
}

ULONG DispositionOf(DWORD creation)
{
    switch (creation) {
    case CREATE_NEW: return FILE_CREATE;
    case CREATE_ALWAYS: return FILE_OVERWRITE_IF;
    case OPEN_EXISTING: return FILE_OPEN;
    case OPEN_ALWAYS: return FILE_OPEN_IF;
    case TRUNCATE_EXISTING: return FILE_OVERWRITE;
    }
    return ~0u;
}

ULONG OptionsOf(DWORD flags)
{
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT;
    if (!(flags & FILE_FLAG_BACKUP_SEMANTICS))
        options |= FILE_NON_DIRECTORY_FILE;
    else
        options |= FILE_OPEN_FOR_BACKUP_INTENT;
    if (flags & FILE_FLAG_WRITE_THROUGH)
        options |= FILE_WRITE_THROUGH;
    if (flags & FILE_FLAG_NO_BUFFERING)
        options |= FILE_NO_INTERMEDIATE_BUFFERING;
    if (flags & FILE_FLAG_RANDOM_ACCESS)
        options |= FILE_RANDOM_ACCESS;
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN)
        options |= FILE_SEQUENTIAL_ONLY;
    if (flags & FILE_FLAG_DELETE_ON_CLOSE)
        options |= FILE_DELETE_ON_CLOSE;
    if (flags & FILE_FLAG_OPEN_REPARSE_POINT)
        options |= FILE_OPEN_REPARSE_POINT;
    return options;
}

/* The staging of an open in user space. */
struct OpenBlock {
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING name;
    WCHAR text[1];
};

/* Fills the staging of an open (sized for the name) with the name and its attributes; null when
 * no user space could be had. */
OpenBlock *StageOpen(const UserBuffer &staging, const std::u16string &name, ULONG objectAttributes)
{
    auto *block = reinterpret_cast<OpenBlock *>(staging.get());
    if (block == nullptr)
        return nullptr;
    std::memcpy(block->text, name.data(), name.size() * sizeof(WCHAR));
    block->name.Buffer = block->text;
    block->name.Length = block->name.MaximumLength = (USHORT)(name.size() * sizeof(WCHAR));
    InitializeObjectAttributes(&block->attributes, &block->name, objectAttributes, nullptr, nullptr);
    return block;
}

} // namespace

namespace win32 {

bool CheckHandle(HANDLE handle, transport::Client &client)
{
    std::lock_guard<std::mutex> guard(handleLock);
    auto it = handles.find((uintptr_t)handle);
    if (it == handles.end() || it->second != client.Generation() || !client.Connected()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

bool NtPathOf(LPCWSTR path, std::u16string *nt)
{
    size_t length = 0;
    while (path[length] != 0)
        ++length;
    std::u16string text(reinterpret_cast<const char16_t *>(path), length);
    for (auto &c : text)
        if (c == u'/')
            c = u'\\';
    if (length >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == L'.' || path[2] == L'?') &&
        IsSeparator(path[3])) {
        *nt = u"\\??\\" + text.substr(4);
        return length > 4;
    }
    if (length >= 4 && text.compare(0, 4, u"\\??\\") == 0) {
        *nt = text;
        return true;
    }
    bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
    if (length >= 3 && letter && path[1] == L':' && IsSeparator(path[2])) {
        *nt = u"\\??\\" + text;
        return true;
    }
    return false;
}


NTSTATUS OpenNative(const std::u16string &name, ACCESS_MASK access, ULONG attributes, ULONG share,
                    ULONG disposition, ULONG options, ULONG objectAttributes, HANDLE *handle, ULONG_PTR *information)
{
    transport::Client &client = HostConnection();
    NTSTATUS status = ConnectForOpen(client);
    if (!NT_SUCCESS(status))
        return status;
    UserBuffer staging(client, sizeof(OpenBlock) + name.size() * sizeof(WCHAR));
    OpenBlock *block = StageOpen(staging, name, objectAttributes);
    if (block == nullptr)
        return STATUS_NO_MEMORY;
    uint64_t arguments[11] = {Arg(&block->handle), access, Arg(&block->attributes), Arg(&block->iosb), 0,
                              attributes, share, disposition, options, 0, 0};
    status = client.Call(CallNumber::NtCreateFile, arguments, 11);
    if (NT_SUCCESS(status)) {
        *handle = block->handle;
        *information = block->iosb.Information;
    }
    return status;
}

NTSTATUS OpenNativeDirectoryObject(const std::u16string &name, ACCESS_MASK access, HANDLE *handle)
{
    transport::Client &client = HostConnection();
    NTSTATUS status = ConnectForOpen(client);
    if (!NT_SUCCESS(status))
        return status;
    UserBuffer staging(client, sizeof(OpenBlock) + name.size() * sizeof(WCHAR));
    OpenBlock *block = StageOpen(staging, name, OBJ_CASE_INSENSITIVE);
    if (block == nullptr)
        return STATUS_NO_MEMORY;
    uint64_t arguments[3] = {Arg(&block->handle), access, Arg(&block->attributes)};
    status = client.Call(CallNumber::NtOpenDirectoryObject, arguments, 3);
    if (NT_SUCCESS(status))
        *handle = block->handle;
    return status;
}

NTSTATUS CloseNative(HANDLE handle)
{
    uint64_t arguments[1] = {Arg(handle)};
    return HostConnection().Call(CallNumber::NtClose, arguments, 1);
}

transport::Client &HostConnection()
{
    static transport::Client *client = new transport::Client(transport::DefaultSocketPath());
    return *client;
}

size_t OpenHandleCount()
{
    transport::Client &client = HostConnection();
    uint64_t generation = client.Generation();
    std::lock_guard<std::mutex> guard(handleLock);
    size_t count = HostFileCount();
    for (const auto &[handle, madeBy] : handles)
        count += madeBy == generation;
    return count;
}

} // namespace win32

extern "C" {

WINBASEAPI HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)hTemplateFile; /* attributes come from the template only when creating, which needs a file system */
    if (lpFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    ULONG disposition = DispositionOf(dwCreationDisposition);
    if (disposition == ~0u || (disposition == FILE_OVERWRITE && !(dwDesiredAccess & GENERIC_WRITE))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) {
        SetLastError(ERROR_NOT_SUPPORTED); /* asynchronous handles are not offered */
        return INVALID_HANDLE_VALUE;
    }
    if (lpSecurityAttributes != nullptr && lpSecurityAttributes->lpSecurityDescriptor != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED); /* a descriptor for a new file: not offered yet */
        return INVALID_HANDLE_VALUE;
    }
    std::string hostPath;
    std::u16string name;
    switch (win32::ResolvePath(lpFileName, &hostPath, &name)) {
    case win32::PathKind::Host:
        return win32::OpenHostFile(hostPath, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                                   dwFlagsAndAttributes);
    case win32::PathKind::Invalid:
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    case win32::PathKind::Machine:
        break;
    }
    if (name.size() * sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }

    ULONG objectAttributes = OBJ_CASE_INSENSITIVE;
    if (lpSecurityAttributes != nullptr && lpSecurityAttributes->bInheritHandle)
        objectAttributes |= OBJ_INHERIT;
    ACCESS_MASK access = dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    ULONG fileAttributes = dwFlagsAndAttributes & 0x0000FFFF & ~(ULONG)FILE_ATTRIBUTE_DIRECTORY;
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
    NTSTATUS status = win32::OpenNative(name, access, fileAttributes, dwShareMode, disposition,
                                        OptionsOf(dwFlagsAndAttributes), objectAttributes, &handle, &information);
    if (!NT_SUCCESS(status)) {
        if (status == STATUS_OBJECT_NAME_COLLISION && dwCreationDisposition == CREATE_NEW)
            SetLastError(ERROR_FILE_EXISTS);
        else
            win32::SetLastNtError(status);
        return INVALID_HANDLE_VALUE;
    }
    {
        std::lock_guard<std::mutex> guard(handleLock);
        handles[(uintptr_t)handle] = win32::HostConnection().Generation();
    }
    bool existed = information == FILE_OPENED || information == FILE_OVERWRITTEN;
    SetLastError((dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS) && existed
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return handle;
}

WINBASEAPI BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                       LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped != nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED); /* overlapped requests need an asynchronous handle */
        return FALSE;
    }
    if (lpBytesReturned == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER); /* Windows writes through it regardless */
        return FALSE;
    }
    if (win32::IsHostFileHandle(hDevice)) {
        SetLastError(ERROR_INVALID_FUNCTION); /* host file systems' controls are not offered */
        return FALSE;
    }
    transport::Client &client = win32::HostConnection();
    if (!CheckHandle(hDevice, client))
        return FALSE;

    // Status block, input and output, each 16-byte aligned. A null buffer with a
    // length stays null, so the I/O manager's probe reports it as Windows does.
    size_t inputOffset = sizeof(IO_STATUS_BLOCK);
    size_t outputOffset = inputOffset + ((nInBufferSize + 15) & ~(size_t)15);
    UserBuffer staging(client, outputOffset + nOutBufferSize);
    uint8_t *base = staging.get();
    if (base == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    auto *iosb = reinterpret_cast<IO_STATUS_BLOCK *>(base);
    uint8_t *input = lpInBuffer != nullptr ? base + inputOffset : nullptr;
    uint8_t *output = lpOutBuffer != nullptr ? base + outputOffset : nullptr;
    if (input != nullptr && nInBufferSize != 0)
        std::memcpy(input, lpInBuffer, nInBufferSize);
    // The output starts as the caller's own bytes, so what the driver leaves alone
    // comes back unchanged (direct requests also read it).
    if (output != nullptr && nOutBufferSize != 0)
        std::memcpy(output, lpOutBuffer, nOutBufferSize);

    uint64_t arguments[10] = {Arg(hDevice), 0, 0, 0, Arg(iosb), dwIoControlCode,
                              Arg(input), nInBufferSize, Arg(output), nOutBufferSize};
    // File-system controls go to the file system, as Windows' DeviceIoControl sends them.
    CallNumber call = DEVICE_TYPE_FROM_CTL_CODE(dwIoControlCode) == FILE_DEVICE_FILE_SYSTEM
                          ? CallNumber::NtFsControlFile
                          : CallNumber::NtDeviceIoControlFile;
    NTSTATUS status = client.Call(call, arguments, 10, Arg(hDevice));
    if (status == STATUS_PENDING) {
        // Not on a synchronous handle; should a driver manage it, the request still owns
        // the staging memory, so it is left to it.
        staging.Abandon();
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (status == transport::kStatusDisconnected) {
        // The host went before the reply: what became of the request is unknown, and in
        // a test that hosts the machine itself the staging memory went with the process,
        // so nothing is read back.
        win32::SetLastNtError(status);
        return FALSE;
    }
    ULONG_PTR information = iosb->Information;
    if (output != nullptr && nOutBufferSize != 0) {
        if (METHOD_FROM_CTL_CODE(dwIoControlCode) != METHOD_BUFFERED)
            std::memcpy(lpOutBuffer, output, nOutBufferSize);
        else if (!NT_ERROR(status))
            std::memcpy(lpOutBuffer, output, information < nOutBufferSize ? information : nOutBufferSize);
    }
    if (NT_SUCCESS(status)) {
        *lpBytesReturned = (DWORD)information;
        return TRUE;
    }
    // Warnings (STATUS_BUFFER_OVERFLOW, STATUS_DEVICE_BUSY, ...) fail the call but
    // still report what came back.
    if (!NT_ERROR(status))
        *lpBytesReturned = (DWORD)information;
    win32::SetLastNtError(status);
    return FALSE;
}

WINBASEAPI BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    if (win32::IsHostFileHandle(hFile)) {
        SetLastError(ERROR_NOT_FOUND); /* their calls complete before they return */
        return FALSE;
    }
    transport::Client &client = win32::HostConnection();
    if (!CheckHandle(hFile, client))
        return FALSE;
    if (lpOverlapped != nullptr || client.CancelTagged(Arg(hFile)) == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

WINBASEAPI BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (win32::CloseHostFile(hObject))
        return TRUE;
    transport::Client &client = win32::HostConnection();
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(handleLock);
        auto it = handles.find((uintptr_t)hObject);
        if (it == handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        generation = it->second;
        handles.erase(it);
    }
    if (generation != client.Generation() || !client.Connected()) {
        SetLastError(ERROR_INVALID_HANDLE); /* its process ended with the old connection */
        return FALSE;
    }
    uint64_t arguments[1] = {Arg(hObject)};
    NTSTATUS status = client.Call(CallNumber::NtClose, arguments, 1);
    if (!NT_SUCCESS(status)) {
        win32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
