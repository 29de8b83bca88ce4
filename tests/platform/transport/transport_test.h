/*
 * Helpers for the socket protocol's tests: native calls made through a client as
 * a Win32 layer would make them, with every argument staged in the client's
 * shared user space.
 */
#pragma once

#include "test_host.h"

#include <wdm.h>

#include "client.h"
#include "wire.h"

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <type_traits>

namespace transporttest {

/* Waits (bounded) until a condition holds; whether it does. */
template <typename Condition>
bool Eventually(Condition condition, int milliseconds = 5000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return condition();
}

/* An argument as the protocol carries it: pointers and handles as they are, 32-bit values
 * (ULONG, BOOLEAN, enumerations) zero-extended. */
template <typename T>
uint64_t Arg(T value)
{
    if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>)
        return (uint64_t)(uintptr_t)value;
    else if constexpr (std::is_enum_v<T>)
        return (uint64_t)(uint32_t)value;
    else
        return (uint64_t)(std::make_unsigned_t<T>)value;
}

/* One native call with its arguments in the routine's order, tagged with the first (the
 * handle, for calls on a handle) as the Win32 layer tags its calls. */
template <typename... Arguments>
NTSTATUS Native(transport::Client &client, transport::CallNumber number, Arguments... arguments)
{
    uint64_t values[] = {Arg(arguments)...};
    return client.Call(number, values, sizeof...(Arguments), values[0]);
}

/* A zeroed T in the client's user space (null when there is no room); client.Release frees it. */
template <typename T>
T *Stage(transport::Client &client)
{
    void *memory = client.Allocate(sizeof(T));
    if (memory != nullptr)
        std::memset(memory, 0, sizeof(T));
    return static_cast<T *>(memory);
}

/* A name in user space, ready to pass as object attributes. */
struct StagedName {
    OBJECT_ATTRIBUTES attributes;
    UNICODE_STRING name;
    WCHAR text[120];
};

inline StagedName *StageName(transport::Client &client, const char *path)
{
    auto *staged = Stage<StagedName>(client);
    if (staged == nullptr)
        return nullptr;
    size_t length = std::strlen(path);
    for (size_t i = 0; i < length && i < 120; ++i)
        staged->text[i] = (WCHAR)path[i];
    staged->name.Buffer = staged->text;
    staged->name.Length = staged->name.MaximumLength = (USHORT)(length * sizeof(WCHAR));
    InitializeObjectAttributes(&staged->attributes, &staged->name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return staged;
}

/* NtCreateFile through the client; *information gets the status block's Information. */
inline NTSTATUS Open(transport::Client &client, const char *path, ACCESS_MASK access, ULONG disposition,
                     ULONG options, HANDLE *handle, ULONG_PTR *information = nullptr)
{
    struct Block {
        HANDLE handle;
        IO_STATUS_BLOCK iosb;
    };
    StagedName *name = StageName(client, path);
    auto *block = Stage<Block>(client);
    if (name == nullptr || block == nullptr)
        return STATUS_NO_MEMORY;
    NTSTATUS status = Native(client, transport::CallNumber::NtCreateFile, &block->handle, access, &name->attributes,
                             &block->iosb, nullptr, 0u, FILE_SHARE_READ | FILE_SHARE_WRITE, disposition, options,
                             nullptr, 0u);
    *handle = block->handle;
    if (information != nullptr)
        *information = block->iosb.Information;
    client.Release(name);
    client.Release(block);
    return status;
}

/* Opens \??\Vorel (the test driver's control device) through the client. */
inline NTSTATUS OpenControlDevice(transport::Client &client, HANDLE *handle, const char *name = "\\??\\Vorel")
{
    return Open(client, name, GENERIC_READ | SYNCHRONIZE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, handle);
}

/* One device control: input and output staged in user space; *returned gets Information. */
inline NTSTATUS Control(transport::Client &client, HANDLE handle, ULONG code, const void *input, ULONG inputLength,
                        void *output, ULONG outputLength, ULONG_PTR *returned = nullptr,
                        uint64_t *requestId = nullptr)
{
    auto *space = static_cast<uint8_t *>(client.Allocate(sizeof(IO_STATUS_BLOCK) + inputLength + outputLength));
    if (space == nullptr)
        return STATUS_NO_MEMORY;
    auto *iosb = reinterpret_cast<IO_STATUS_BLOCK *>(space);
    std::memset(iosb, 0, sizeof(*iosb));
    uint8_t *in = space + sizeof(IO_STATUS_BLOCK);
    uint8_t *out = in + inputLength;
    if (inputLength != 0)
        std::memcpy(in, input, inputLength);
    uint64_t arguments[10] = {Arg(handle), 0, 0, 0, Arg(iosb), code, Arg(in), inputLength, Arg(out), outputLength};
    NTSTATUS status = client.Call(transport::CallNumber::NtDeviceIoControlFile, arguments, 10, Arg(handle), requestId);
    // After a broken connection the user space may be gone with the process (in this
    // very address space): only the allocator's records are touched then.
    if (status != transport::kStatusDisconnected) {
        if (outputLength != 0 && output != nullptr)
            std::memcpy(output, out, outputLength);
        if (returned != nullptr)
            *returned = iosb->Information;
    }
    client.Release(space);
    return status;
}

inline NTSTATUS Close(transport::Client &client, HANDLE handle)
{
    return Native(client, transport::CallNumber::NtClose, handle);
}

} // namespace transporttest
