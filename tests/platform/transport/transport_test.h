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

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

/* A connection that speaks the protocol by hand, as a broken or hostile client would. */
class RawConnection {
public:
    explicit RawConnection(const std::string &path)
    {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    }
    ~RawConnection() { close(fd_); }
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;
    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    bool Send(const void *data, size_t length) { return send(fd_, data, length, MSG_NOSIGNAL) == (ssize_t)length; }
    /* A datagram (its size), 0 when the host closed the connection, -1 on time-out. */
    ssize_t Receive(void *buffer, size_t size, int *descriptor = nullptr, int timeoutMs = 5000)
    {
        pollfd wait{fd_, POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) <= 0)
            return -1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        iovec part{buffer, size};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        if (n > 0 && header != nullptr && header->cmsg_type == SCM_RIGHTS) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(header), sizeof(int));
            if (descriptor != nullptr)
                *descriptor = passed;
            else
                close(passed);
        }
        return n;
    }
    /* One hello and the Welcome it gets; false when none came. */
    bool Hello(uint64_t address, transport::WelcomeBody *welcome, int *descriptor = nullptr)
    {
        uint8_t buffer[transport::kMaxMessageBytes + 1];
        if (!Send(buffer, transport::EncodeHello(buffer, address)))
            return false;
        ssize_t got = Receive(buffer, sizeof(buffer), descriptor);
        transport::HostMessage decoded;
        if (got <= 0 || transport::DecodeHostMessage(buffer, (size_t)got, &decoded) != transport::DecodeError::None ||
            decoded.kind != transport::Kind::Welcome)
            return false;
        *welcome = decoded.welcome;
        return true;
    }
    /* Says hello until welcomed, as a client does: a first proposal the host answers with its
     * window, then the window's slots in turn. The user space's base, or 0. The host maps it
     * in this very process, so the test reaches it directly. */
    uint64_t Welcomed()
    {
        transport::WelcomeBody welcome;
        if (!Hello(transport::kLowestUserAddress, &welcome) ||
            welcome.status != transport::kStatusConflictingAddresses)
            return 0;
        uint64_t base = welcome.userSpaceAddress, slots = welcome.userSpaceBytes / transport::kUserSpaceBytes;
        for (uint64_t slot = 0; slot < slots && slot < 64; ++slot) {
            uint64_t address = base + slot * transport::kUserSpaceBytes;
            int memory = -1;
            if (!Hello(address, &welcome, &memory))
                return 0;
            if (memory >= 0)
                close(memory);
            if (welcome.status == transport::kStatusSuccess)
                return address;
            if (welcome.status != transport::kStatusConflictingAddresses)
                return 0;
        }
        return 0;
    }
    /* Whether the host has ended the connection. */
    bool Ended()
    {
        uint8_t buffer[transport::kMaxMessageBytes + 1];
        return Receive(buffer, sizeof(buffer)) == 0;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

} // namespace transporttest
