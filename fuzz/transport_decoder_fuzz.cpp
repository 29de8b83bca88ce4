/*
 * Fuzzing the socket protocol's decoders. Any bytes may arrive from a local user:
 * the decoders must never read outside them, and whatever they accept must encode
 * back to exactly the bytes that came in (so nothing unchecked slips through).
 */
#include "wire.h"

#include <cstring>

using namespace transport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A heap copy of exactly the datagram's size: the address sanitizer sees any read past it.
    uint8_t *copy = new uint8_t[size];
    if (size != 0)
        std::memcpy(copy, data, size);

    ClientMessage client;
    if (DecodeClientMessage(copy, size, &client) == DecodeError::None) {
        uint8_t again[kMaxMessageBytes];
        size_t n = 0;
        switch (client.kind) {
        case Kind::Hello:
            if (client.hello.version == kProtocolVersion)
                n = EncodeHello(again, client.hello.userSpaceAddress);
            break;
        case Kind::Call: {
            // What the host hands on must have its routine's shape: the count, and the
            // 32-bit slots within 32 bits.
            const CallShape *shape = ShapeOf(client.call.number);
            if (shape == nullptr || client.call.argumentCount != shape->argumentCount ||
                client.call.argumentCount > kMaxArguments)
                __builtin_trap();
            for (uint32_t i = 0; i < client.call.argumentCount; ++i)
                if ((shape->narrowArguments & (1u << i)) && (client.call.arguments[i] >> 32) != 0)
                    __builtin_trap();
            n = EncodeCall(again, client.requestId, (CallNumber)client.call.number, client.call.arguments,
                           client.call.argumentCount);
            break;
        }
        case Kind::Cancel:
            n = EncodeCancel(again, client.requestId);
            break;
        default:
            __builtin_trap(); /* a host-side kind accepted from a client */
        }
        if (n != 0 && (n != size || std::memcmp(again, copy, size) != 0))
            __builtin_trap();
    }

    HostMessage host;
    if (DecodeHostMessage(copy, size, &host) == DecodeError::None) {
        uint8_t again[kMaxMessageBytes];
        size_t n = host.kind == Kind::Welcome ? EncodeWelcome(again, host.welcome)
                                              : EncodeReply(again, host.requestId, host.reply.status);
        if (n != size || std::memcmp(again, copy, size) != 0)
            __builtin_trap();
    }
    delete[] copy;
    return 0;
}
