/*
 * The socket protocol between user-mode processes and the host: the native-call
 * boundary of the stand-in.
 *
 * A client process (the Win32 layer of vorellib, vorelctl, tests) keeps one
 * SOCK_SEQPACKET connection to the host; the host gives it a process of the
 * machine, with a token made from the peer's Linux credentials (SO_PEERCRED), its
 * own handle table and a user space. The user space is shared memory: the client
 * proposes an address it has reserved, the host maps a sealed memfd there and sends
 * the descriptor back, and the client maps the same pages at the same address. So
 * a native call carries only its arguments, as Windows passes them to the kernel:
 * pointers into user space, handles and numbers. The machine probes every pointer
 * against the process's user space, exactly as it does for an in-process caller.
 *
 * Where user spaces go. The host places user spaces only in its user-space window,
 * one range it reserved when it started, in slots: the window's base plus a
 * multiple of kUserSpaceBytes. A proposal that is no free slot of the window is
 * answered by a Welcome with STATUS_CONFLICTING_ADDRESSES whose userSpaceAddress
 * and userSpaceBytes are the window's base and size, whatever lies at the proposed
 * address in the host; the client then proposes slots of the window (reserving each
 * in its own address space first, unless it shares the host's), a bounded number of
 * times, on the same connection. So a client learns where the window is and which
 * slots other clients hold, and nothing else of the host's memory. Windows maps no
 * user memory below 64 KiB: a Hello proposing an address there is refused.
 *
 * Every message is one datagram, little-endian:
 *
 *   header   u32 length (the whole datagram)  u16 kind  u16 flags (0)  u64 request id
 *
 *   client -> host
 *     Hello    u32 version  u32 zero  u64 user-space address        (request id 0)
 *     Call     u32 call number  u32 argument count  u64 arguments[count]
 *     Cancel   no body; the request id names the call to cancel
 *   host -> client
 *     Welcome  u32 version  s32 status  u64 user-space address  u64 user-space bytes
 *              u32 process id  u32 zero; with the memfd as SCM_RIGHTS when status is 0
 *     Reply    s32 status (the native call's NTSTATUS)  u32 zero
 *
 * A Call names one native routine of the machine (CallNumber) and carries its
 * arguments in the routine's order, each widened to 64 bits: pointers and handles as
 * they are, 32-bit values (ULONG, ACCESS_MASK, BOOLEAN, enumerations) zero-extended.
 * A 32-bit slot with high bits set, or an argument count other than the routine's,
 * is refused. The Reply carries the routine's return value; everything else it
 * reports (status block, handles, output buffers) it writes into the user space.
 * A call on a handle opened for asynchronous I/O answers STATUS_PENDING as soon as
 * its request is under way; the client learns the outcome from the status block and
 * waits with NtWaitForSingleObject, itself a call, on its event or the file handle.
 *
 * Request ids are the client's: non-zero and unique among its calls in flight.
 * Replies come in completion order, not request order, so a thread whose call waits
 * in a driver never holds up the others. A Cancel asks the host to cancel the call's
 * I/O (IoCancelIrp); the call still gets its one Reply.
 *
 * The host accepts a Hello until it has welcomed the client, then only Calls and
 * Cancels. Anything else, and any datagram the decoder refuses, ends the
 * connection: the host cancels the process's requests, closes its handles and
 * ends it, as Windows does when a process exits.
 *
 * Limits. Every local user reaches the socket, so the host shares itself out:
 *   - connections: each user a bounded number, and some always kept for root and the
 *     host's own user. A connection the host will not take gets, at once, a Welcome
 *     with STATUS_DEVICE_BUSY (Win32: ERROR_BUSY) and is closed;
 *   - the hello: a connection not welcomed within a few seconds is closed;
 *   - calls: each is charged, until its Reply, the bytes its buffer-length arguments
 *     name (each at most kUserSpaceBytes), against budgets of its connection and its
 *     user, and needs a thread of the host's, of which each user may hold a bounded
 *     number. A call the host cannot take is answered STATUS_INSUFFICIENT_RESOURCES
 *     at once, and the connection goes on;
 *   - replies: the host never waits for a client to read. Replies that do not fit in
 *     the socket wait on the connection, a bounded number; past that the client is
 *     taken to have stopped reading and the connection ends.
 *
 * Version 2 added every call after NtClose; version 3 the registry calls (NtCreateKey on). The Hello is the only place the two
 * sides agree on what they speak, so the set of calls is part of the version: a
 * client is told at once that a host does not know its calls, rather than losing
 * its connection (and every handle) at the first one the host would refuse.
 *
 * This file is the format alone, with no dependency on the machine, so the decoder
 * can be fuzzed by itself.
 */
#pragma once

#include <cstddef>
#include <cstdint>

namespace transport {

constexpr uint32_t kProtocolVersion = 3;
/* Every client's user space has this size. */
constexpr uint64_t kUserSpaceBytes = 64ull << 20;
/* Lowest address a user space may start at: Windows never maps user memory below 64 KiB. */
constexpr uint64_t kLowestUserAddress = 64ull << 10;
/* Highest address (exclusive) a user space may reach: the 47-bit user half. */
constexpr uint64_t kUserAddressLimit = 1ull << 47;
constexpr uint64_t kPageBytes = 4096;

constexpr size_t kHeaderBytes = 16;
constexpr size_t kMaxArguments = 12;
/* No datagram of this version is longer. */
constexpr size_t kMaxMessageBytes = kHeaderBytes + 8 + 8 * kMaxArguments;

enum class Kind : uint16_t {
    Hello = 1,
    Call = 2,
    Cancel = 3,
    Welcome = 0x81,
    Reply = 0x82,
};

/* The native calls a client can make (their shapes are in wire.cpp). */
enum class CallNumber : uint32_t {
    NtCreateFile = 1,
    NtDeviceIoControlFile = 2,
    NtClose = 3,
    NtOpenFile = 4,
    NtReadFile = 5,
    NtWriteFile = 6,
    NtQueryInformationFile = 7,
    NtSetInformationFile = 8,
    NtQueryDirectoryFile = 9,
    NtQueryVolumeInformationFile = 10,
    NtSetVolumeInformationFile = 11,
    NtFsControlFile = 12,
    NtLockFile = 13,
    NtUnlockFile = 14,
    NtNotifyChangeDirectoryFile = 15,
    NtQueryEaFile = 16,
    NtSetEaFile = 17,
    NtQuerySecurityObject = 18,
    NtSetSecurityObject = 19,
    NtFlushBuffersFile = 20,
    NtCancelIoFile = 21,
    NtCancelIoFileEx = 22,
    NtQueryAttributesFile = 23,
    NtQueryFullAttributesFile = 24,
    NtOpenDirectoryObject = 25,
    NtCreateEvent = 26,
    NtSetEvent = 27,
    NtClearEvent = 28,
    NtWaitForSingleObject = 29,
    NtCreateKey = 30,
    NtOpenKey = 31,
    NtDeleteKey = 32,
    NtQueryValueKey = 33,
    NtEnumerateValueKey = 34,
    NtSetValueKey = 35,
    NtDeleteValueKey = 36,
    NtFlushKey = 37,
    NtEnumerateKey = 38,
};

/* A call's shape: its argument count, which arguments are 32-bit values, and which
 * of those are the lengths of buffers the call hands its routine. */
struct CallShape {
    CallNumber number;
    const char *name;
    uint32_t argumentCount;
    uint32_t narrowArguments; /* bit i: argument i must fit in 32 bits */
    uint32_t lengthArguments; /* bit i: argument i is a buffer's length (a ULONG) */
};
/* The shape of a call number, or null for an unknown one. */
const CallShape *ShapeOf(uint32_t number);

struct HelloBody {
    uint32_t version = 0;
    uint64_t userSpaceAddress = 0;
};

struct CallBody {
    uint32_t number = 0;
    uint32_t argumentCount = 0;
    uint64_t arguments[kMaxArguments] = {};
};

struct WelcomeBody {
    uint32_t version = 0;
    int32_t status = 0;
    uint64_t userSpaceAddress = 0;
    uint64_t userSpaceBytes = 0;
    uint32_t processId = 0;
};

struct ReplyBody {
    int32_t status = 0;
};

/* A datagram from a client, decoded. Only the member its kind names is filled. */
struct ClientMessage {
    Kind kind = Kind::Hello;
    uint64_t requestId = 0;
    HelloBody hello;
    CallBody call;
};

/* A datagram from the host, decoded. */
struct HostMessage {
    Kind kind = Kind::Welcome;
    uint64_t requestId = 0;
    WelcomeBody welcome;
    ReplyBody reply;
};

enum class DecodeError {
    None,
    Truncated,        /* shorter than its header, or than its length field says */
    LengthMismatch,   /* the length field is not the datagram's size */
    UnknownKind,      /* a kind this side never receives */
    NonZeroReserved,  /* flags or a zero field is set */
    BodySize,         /* the body is not the size its kind (and argument count) needs */
    UnknownCall,
    ArgumentCount,    /* not the call's argument count */
    ArgumentRange,    /* a 32-bit argument with high bits set */
    RequestId,        /* zero where an id is needed, non-zero in a Hello */
    Address,          /* a user-space address not page-aligned in the user half, or below 64 KiB */
};
const char *DecodeErrorText(DecodeError error);

/* What a decoded call may make the host hold while it runs: the sum of its buffer
 * lengths, each counted as at most kUserSpaceBytes (no buffer can be larger). */
uint64_t BufferBytesOf(const CallBody &call);

/* Decoders: never read outside [data, data + size), never trust a field before checking it. */
DecodeError DecodeClientMessage(const void *data, size_t size, ClientMessage *message);
DecodeError DecodeHostMessage(const void *data, size_t size, HostMessage *message);

/* Encoders: write one datagram into buffer (at least kMaxMessageBytes) and return its size. */
size_t EncodeHello(void *buffer, uint64_t userSpaceAddress);
size_t EncodeCall(void *buffer, uint64_t requestId, CallNumber number, const uint64_t *arguments,
                  uint32_t argumentCount);
size_t EncodeCancel(void *buffer, uint64_t requestId);
size_t EncodeWelcome(void *buffer, const WelcomeBody &welcome);
size_t EncodeReply(void *buffer, uint64_t requestId, int32_t status);

} // namespace transport
