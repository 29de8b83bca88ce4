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

#include <cstring>
#include <string>

namespace transporttest {

inline uint64_t Arg(const void *pointer)
{
    return (uint64_t)(uintptr_t)pointer;
}

/* Opens \??\Vorel (the test driver's control device) through the client. */
inline NTSTATUS OpenControlDevice(transport::Client &client, HANDLE *handle, const char *name = "\\??\\Vorel")
{
    size_t length = std::strlen(name);
    struct Block {
        HANDLE handle;
        IO_STATUS_BLOCK iosb;
        OBJECT_ATTRIBUTES attributes;
        UNICODE_STRING name;
    };
    auto *block = static_cast<Block *>(client.Allocate(sizeof(Block) + length * sizeof(WCHAR)));
    if (block == nullptr)
        return STATUS_NO_MEMORY;
    block->handle = nullptr;
    auto *text = reinterpret_cast<WCHAR *>(block + 1);
    for (size_t i = 0; i < length; ++i)
        text[i] = (WCHAR)name[i];
    block->name.Buffer = text;
    block->name.Length = block->name.MaximumLength = (USHORT)(length * sizeof(WCHAR));
    InitializeObjectAttributes(&block->attributes, &block->name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    uint64_t arguments[11] = {Arg(&block->handle), GENERIC_READ | SYNCHRONIZE, Arg(&block->attributes),
                              Arg(&block->iosb), 0, 0, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, 0, 0};
    NTSTATUS status = client.Call(transport::CallNumber::NtCreateFile, arguments, 11);
    *handle = block->handle;
    client.Release(block);
    return status;
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
    uint64_t arguments[1] = {Arg(handle)};
    return client.Call(transport::CallNumber::NtClose, arguments, 1);
}

} // namespace transporttest
