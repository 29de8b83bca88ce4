/*
 * The socket protocol's format (see wire.h): encoders and the two decoders.
 */
#include "wire.h"

#include <cstring>

namespace transport {
namespace {

constexpr size_t kHelloBodyBytes = 16;
constexpr size_t kCallFixedBytes = 8;
constexpr size_t kWelcomeBodyBytes = 32;
constexpr size_t kReplyBodyBytes = 8;

/* A mask of argument positions. */
constexpr uint32_t At()
{
    return 0;
}

template <typename... Rest>
constexpr uint32_t At(unsigned position, Rest... rest)
{
    return (1u << position) | At(rest...);
}

/* Each routine's arguments in its order (* marks a pointer into the user space); the first
 * mask lists the positions of the 32-bit ones, the second those of buffer lengths. */
constexpr CallShape kShapes[] = {
    /* handle*, access, attributes*, iosb*, allocation size*, file attributes, share, disposition, options,
     * EA buffer*, EA length */
    {CallNumber::NtCreateFile, "NtCreateFile", 11, At(1, 5, 6, 7, 8, 10), At(10)},
    /* handle, event, APC routine, APC context, iosb*, code, input*, input length, output*, output length */
    {CallNumber::NtDeviceIoControlFile, "NtDeviceIoControlFile", 10, At(5, 7, 9), At(7, 9)},
    {CallNumber::NtClose, "NtClose", 1, At(), At()},
    /* handle*, access, attributes*, iosb*, share, options */
    {CallNumber::NtOpenFile, "NtOpenFile", 6, At(1, 4, 5), At()},
    /* handle, event, APC routine, APC context, iosb*, buffer*, length, byte offset*, key* */
    {CallNumber::NtReadFile, "NtReadFile", 9, At(6), At(6)},
    {CallNumber::NtWriteFile, "NtWriteFile", 9, At(6), At(6)},
    /* handle, iosb*, information*, length, class */
    {CallNumber::NtQueryInformationFile, "NtQueryInformationFile", 5, At(3, 4), At(3)},
    {CallNumber::NtSetInformationFile, "NtSetInformationFile", 5, At(3, 4), At(3)},
    /* handle, event, APC routine, APC context, iosb*, information*, length, class, return single entry,
     * file name*, restart scan */
    {CallNumber::NtQueryDirectoryFile, "NtQueryDirectoryFile", 11, At(6, 7, 8, 10), At(6)},
    /* handle, iosb*, information*, length, class */
    {CallNumber::NtQueryVolumeInformationFile, "NtQueryVolumeInformationFile", 5, At(3, 4), At(3)},
    {CallNumber::NtSetVolumeInformationFile, "NtSetVolumeInformationFile", 5, At(3, 4), At(3)},
    /* as NtDeviceIoControlFile */
    {CallNumber::NtFsControlFile, "NtFsControlFile", 10, At(5, 7, 9), At(7, 9)},
    /* handle, event, APC routine, APC context, iosb*, byte offset*, length*, key, fail immediately, exclusive */
    {CallNumber::NtLockFile, "NtLockFile", 10, At(7, 8, 9), At()},
    /* handle, iosb*, byte offset*, length*, key */
    {CallNumber::NtUnlockFile, "NtUnlockFile", 5, At(4), At()},
    /* handle, event, APC routine, APC context, iosb*, buffer*, length, completion filter, watch tree */
    {CallNumber::NtNotifyChangeDirectoryFile, "NtNotifyChangeDirectoryFile", 9, At(6, 7, 8), At(6)},
    /* handle, iosb*, buffer*, length, return single entry, EA list*, EA list length, EA index*, restart scan */
    {CallNumber::NtQueryEaFile, "NtQueryEaFile", 9, At(3, 4, 6, 8), At(3, 6)},
    /* handle, iosb*, buffer*, length */
    {CallNumber::NtSetEaFile, "NtSetEaFile", 4, At(3), At(3)},
    /* handle, security information, descriptor*, length, length needed* */
    {CallNumber::NtQuerySecurityObject, "NtQuerySecurityObject", 5, At(1, 3), At(3)},
    /* handle, security information, descriptor* */
    {CallNumber::NtSetSecurityObject, "NtSetSecurityObject", 3, At(1), At()},
    /* handle, iosb* */
    {CallNumber::NtFlushBuffersFile, "NtFlushBuffersFile", 2, At(), At()},
    {CallNumber::NtCancelIoFile, "NtCancelIoFile", 2, At(), At()},
    /* handle, iosb of the request to cancel*, iosb* */
    {CallNumber::NtCancelIoFileEx, "NtCancelIoFileEx", 3, At(), At()},
    /* attributes*, information* */
    {CallNumber::NtQueryAttributesFile, "NtQueryAttributesFile", 2, At(), At()},
    {CallNumber::NtQueryFullAttributesFile, "NtQueryFullAttributesFile", 2, At(), At()},
    /* handle*, access, attributes* */
    {CallNumber::NtOpenDirectoryObject, "NtOpenDirectoryObject", 3, At(1), At()},
    /* handle*, access, attributes*, event type, initial state */
    {CallNumber::NtCreateEvent, "NtCreateEvent", 5, At(1, 3, 4), At()},
    /* handle, previous state* */
    {CallNumber::NtSetEvent, "NtSetEvent", 2, At(), At()},
    {CallNumber::NtClearEvent, "NtClearEvent", 1, At(), At()},
    /* handle, alertable, time-out* */
    {CallNumber::NtWaitForSingleObject, "NtWaitForSingleObject", 3, At(1), At()},
    /* handle*, access, attributes*, title index, class*, options, disposition* */
    {CallNumber::NtCreateKey, "NtCreateKey", 7, At(1, 3, 5), At()},
    /* handle*, access, attributes* */
    {CallNumber::NtOpenKey, "NtOpenKey", 3, At(1), At()},
    /* handle */
    {CallNumber::NtDeleteKey, "NtDeleteKey", 1, At(), At()},
    /* handle, value name*, class, information*, length, result length* */
    {CallNumber::NtQueryValueKey, "NtQueryValueKey", 6, At(2, 4), At(4)},
    /* handle, index, class, information*, length, result length* */
    {CallNumber::NtEnumerateValueKey, "NtEnumerateValueKey", 6, At(1, 2, 4), At(4)},
    /* handle, value name*, title index, type, data*, data size */
    {CallNumber::NtSetValueKey, "NtSetValueKey", 6, At(2, 3, 5), At(5)},
    /* handle, value name* */
    {CallNumber::NtDeleteValueKey, "NtDeleteValueKey", 2, At(), At()},
    /* handle */
    {CallNumber::NtFlushKey, "NtFlushKey", 1, At(), At()},
    /* handle, index, class, information*, length, result length* */
    {CallNumber::NtEnumerateKey, "NtEnumerateKey", 6, At(1, 2, 4), At(4)},
};

/* Every length is a 32-bit argument of its call. */
constexpr bool LengthsAreNarrow()
{
    for (const CallShape &shape : kShapes)
        if ((shape.lengthArguments & ~shape.narrowArguments) != 0)
            return false;
    return true;
}
static_assert(LengthsAreNarrow(), "a buffer length must be a 32-bit argument");

/* Little-endian readers and writers over byte buffers. */
uint16_t Get16(const uint8_t *p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t Get32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint64_t Get64(const uint8_t *p)
{
    return (uint64_t)Get32(p) | ((uint64_t)Get32(p + 4) << 32);
}

void Put16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

void Put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = (uint8_t)(v >> (8 * i));
}

void Put64(uint8_t *p, uint64_t v)
{
    Put32(p, (uint32_t)v);
    Put32(p + 4, (uint32_t)(v >> 32));
}

size_t PutHeader(uint8_t *p, size_t length, Kind kind, uint64_t requestId)
{
    Put32(p, (uint32_t)length);
    Put16(p + 4, (uint16_t)kind);
    Put16(p + 6, 0);
    Put64(p + 8, requestId);
    return length;
}

/* The header's checks common to both directions; *bodySize is what follows it. */
DecodeError DecodeHeader(const uint8_t *p, size_t size, uint16_t *kind, uint64_t *requestId, size_t *bodySize)
{
    if (size < kHeaderBytes)
        return DecodeError::Truncated;
    uint32_t length = Get32(p);
    if (length > size)
        return DecodeError::Truncated;
    if (length != size)
        return DecodeError::LengthMismatch;
    if (Get16(p + 6) != 0)
        return DecodeError::NonZeroReserved;
    *kind = Get16(p + 4);
    *requestId = Get64(p + 8);
    *bodySize = size - kHeaderBytes;
    return DecodeError::None;
}

bool ValidUserSpaceAddress(uint64_t address)
{
    return address >= kLowestUserAddress && (address & (kPageBytes - 1)) == 0 && address < kUserAddressLimit &&
           kUserAddressLimit - address >= kUserSpaceBytes;
}

} // namespace

const CallShape *ShapeOf(uint32_t number)
{
    for (const CallShape &shape : kShapes)
        if ((uint32_t)shape.number == number)
            return &shape;
    return nullptr;
}

uint64_t BufferBytesOf(const CallBody &call)
{
    const CallShape *shape = ShapeOf(call.number);
    if (shape == nullptr)
        return 0;
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < shape->argumentCount && i < kMaxArguments; ++i)
        if (shape->lengthArguments & (1u << i))
            bytes += call.arguments[i] < kUserSpaceBytes ? call.arguments[i] : kUserSpaceBytes;
    return bytes;
}

const char *DecodeErrorText(DecodeError error)
{
    switch (error) {
    case DecodeError::None: return "none";
    case DecodeError::Truncated: return "truncated message";
    case DecodeError::LengthMismatch: return "length field does not match the message";
    case DecodeError::UnknownKind: return "unknown message kind";
    case DecodeError::NonZeroReserved: return "reserved field not zero";
    case DecodeError::BodySize: return "wrong body size";
    case DecodeError::UnknownCall: return "unknown native call";
    case DecodeError::ArgumentCount: return "wrong argument count";
    case DecodeError::ArgumentRange: return "32-bit argument out of range";
    case DecodeError::RequestId: return "bad request id";
    case DecodeError::Address: return "bad user-space address";
    }
    return "unknown error";
}

DecodeError DecodeClientMessage(const void *data, size_t size, ClientMessage *message)
{
    const auto *p = static_cast<const uint8_t *>(data);
    uint16_t kind;
    uint64_t requestId;
    size_t bodySize;
    DecodeError error = DecodeHeader(p, size, &kind, &requestId, &bodySize);
    if (error != DecodeError::None)
        return error;
    const uint8_t *body = p + kHeaderBytes;
    *message = ClientMessage();
    message->requestId = requestId;
    switch ((Kind)kind) {
    case Kind::Hello:
        if (bodySize != kHelloBodyBytes)
            return DecodeError::BodySize;
        if (requestId != 0)
            return DecodeError::RequestId;
        if (Get32(body + 4) != 0)
            return DecodeError::NonZeroReserved;
        message->kind = Kind::Hello;
        message->hello.version = Get32(body);
        message->hello.userSpaceAddress = Get64(body + 8);
        if (!ValidUserSpaceAddress(message->hello.userSpaceAddress))
            return DecodeError::Address;
        return DecodeError::None;
    case Kind::Call: {
        if (bodySize < kCallFixedBytes)
            return DecodeError::BodySize;
        if (requestId == 0)
            return DecodeError::RequestId;
        uint32_t number = Get32(body);
        uint32_t count = Get32(body + 4);
        const CallShape *shape = ShapeOf(number);
        if (shape == nullptr)
            return DecodeError::UnknownCall;
        if (count != shape->argumentCount)
            return DecodeError::ArgumentCount;
        if (bodySize != kCallFixedBytes + 8 * (size_t)count)
            return DecodeError::BodySize;
        message->kind = Kind::Call;
        message->call.number = number;
        message->call.argumentCount = count;
        for (uint32_t i = 0; i < count; ++i) {
            uint64_t value = Get64(body + kCallFixedBytes + 8 * i);
            if ((shape->narrowArguments & (1u << i)) && (value >> 32) != 0)
                return DecodeError::ArgumentRange;
            message->call.arguments[i] = value;
        }
        return DecodeError::None;
    }
    case Kind::Cancel:
        if (bodySize != 0)
            return DecodeError::BodySize;
        if (requestId == 0)
            return DecodeError::RequestId;
        message->kind = Kind::Cancel;
        return DecodeError::None;
    default:
        return DecodeError::UnknownKind;
    }
}

DecodeError DecodeHostMessage(const void *data, size_t size, HostMessage *message)
{
    const auto *p = static_cast<const uint8_t *>(data);
    uint16_t kind;
    uint64_t requestId;
    size_t bodySize;
    DecodeError error = DecodeHeader(p, size, &kind, &requestId, &bodySize);
    if (error != DecodeError::None)
        return error;
    const uint8_t *body = p + kHeaderBytes;
    *message = HostMessage();
    message->requestId = requestId;
    switch ((Kind)kind) {
    case Kind::Welcome:
        if (bodySize != kWelcomeBodyBytes)
            return DecodeError::BodySize;
        if (requestId != 0)
            return DecodeError::RequestId;
        if (Get32(body + 28) != 0)
            return DecodeError::NonZeroReserved;
        message->kind = Kind::Welcome;
        message->welcome.version = Get32(body);
        message->welcome.status = (int32_t)Get32(body + 4);
        message->welcome.userSpaceAddress = Get64(body + 8);
        message->welcome.userSpaceBytes = Get64(body + 16);
        message->welcome.processId = Get32(body + 24);
        return DecodeError::None;
    case Kind::Reply:
        if (bodySize != kReplyBodyBytes)
            return DecodeError::BodySize;
        if (requestId == 0)
            return DecodeError::RequestId;
        if (Get32(body + 4) != 0)
            return DecodeError::NonZeroReserved;
        message->kind = Kind::Reply;
        message->reply.status = (int32_t)Get32(body);
        return DecodeError::None;
    default:
        return DecodeError::UnknownKind;
    }
}

size_t EncodeHello(void *buffer, uint64_t userSpaceAddress)
{
    auto *p = static_cast<uint8_t *>(buffer);
    Put32(p + kHeaderBytes, kProtocolVersion);
    Put32(p + kHeaderBytes + 4, 0);
    Put64(p + kHeaderBytes + 8, userSpaceAddress);
    return PutHeader(p, kHeaderBytes + kHelloBodyBytes, Kind::Hello, 0);
}

size_t EncodeCall(void *buffer, uint64_t requestId, CallNumber number, const uint64_t *arguments,
                  uint32_t argumentCount)
{
    auto *p = static_cast<uint8_t *>(buffer);
    if (argumentCount > kMaxArguments)
        argumentCount = kMaxArguments;
    Put32(p + kHeaderBytes, (uint32_t)number);
    Put32(p + kHeaderBytes + 4, argumentCount);
    for (uint32_t i = 0; i < argumentCount; ++i)
        Put64(p + kHeaderBytes + kCallFixedBytes + 8 * i, arguments[i]);
    return PutHeader(p, kHeaderBytes + kCallFixedBytes + 8 * argumentCount, Kind::Call, requestId);
}

size_t EncodeCancel(void *buffer, uint64_t requestId)
{
    return PutHeader(static_cast<uint8_t *>(buffer), kHeaderBytes, Kind::Cancel, requestId);
}

size_t EncodeWelcome(void *buffer, const WelcomeBody &welcome)
{
    auto *p = static_cast<uint8_t *>(buffer);
    uint8_t *body = p + kHeaderBytes;
    Put32(body, welcome.version);
    Put32(body + 4, (uint32_t)welcome.status);
    Put64(body + 8, welcome.userSpaceAddress);
    Put64(body + 16, welcome.userSpaceBytes);
    Put32(body + 24, welcome.processId);
    Put32(body + 28, 0);
    return PutHeader(p, kHeaderBytes + kWelcomeBodyBytes, Kind::Welcome, 0);
}

size_t EncodeReply(void *buffer, uint64_t requestId, int32_t status)
{
    auto *p = static_cast<uint8_t *>(buffer);
    Put32(p + kHeaderBytes, (uint32_t)status);
    Put32(p + kHeaderBytes + 4, 0);
    return PutHeader(p, kHeaderBytes + kReplyBodyBytes, Kind::Reply, requestId);
}

} // namespace transport
