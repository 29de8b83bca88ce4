/*
 * Writes the seed corpus of the socket protocol's decoder: one datagram of each kind
 * either side sends, and one call of every native routine the protocol carries, all
 * made by the encoders, so the seeds follow the format as it changes:
 *
 *   build/fuzz/transport_corpus fuzz/corpus/transport_decoder
 *
 * A call's arguments look like what a client sends: user-space addresses in the
 * 64-bit slots, small numbers in the 32-bit ones.
 */
#include "wire.h"

#include <cstdio>
#include <string>

using namespace transport;

namespace {

constexpr uint64_t kUserSpace = 0x7f0000000000ull;

bool Write(const std::string &directory, const std::string &name, const uint8_t *bytes, size_t size)
{
    std::string path = directory + "/" + name;
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    bool written = std::fwrite(bytes, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    std::string directory = argv[1];
    uint8_t buffer[kMaxMessageBytes];
    bool ok = Write(directory, "hello", buffer, EncodeHello(buffer, kUserSpace));
    WelcomeBody welcome;
    welcome.version = kProtocolVersion;
    welcome.userSpaceAddress = kUserSpace;
    welcome.userSpaceBytes = kUserSpaceBytes;
    welcome.processId = 0x1004;
    ok = ok && Write(directory, "welcome", buffer, EncodeWelcome(buffer, welcome));
    // The window's answer to a proposal outside it, and the refusal of a connection.
    WelcomeBody answer;
    answer.version = kProtocolVersion;
    answer.status = (int32_t)0xC0000018; /* STATUS_CONFLICTING_ADDRESSES */
    answer.userSpaceAddress = kUserSpace;
    answer.userSpaceBytes = 1024 * kUserSpaceBytes;
    ok = ok && Write(directory, "welcome-window", buffer, EncodeWelcome(buffer, answer));
    answer = WelcomeBody();
    answer.version = kProtocolVersion;
    answer.status = (int32_t)0x80000011; /* STATUS_DEVICE_BUSY */
    ok = ok && Write(directory, "welcome-busy", buffer, EncodeWelcome(buffer, answer));
    // The lowest address a hello may propose.
    ok = ok && Write(directory, "hello-lowest", buffer, EncodeHello(buffer, kLowestUserAddress));
    ok = ok && Write(directory, "reply", buffer, EncodeReply(buffer, 7, (int32_t)0xC0000022));
    ok = ok && Write(directory, "cancel", buffer, EncodeCancel(buffer, 7));

    uint64_t requestId = 1;
    for (uint32_t number = 1; number < 256; ++number) {
        const CallShape *shape = ShapeOf(number);
        if (shape == nullptr)
            continue;
        uint64_t arguments[kMaxArguments];
        for (uint32_t i = 0; i < shape->argumentCount; ++i)
            arguments[i] = (shape->narrowArguments & (1u << i)) ? 0x20 + i : kUserSpace + 0x1000 + 0x40 * i;
        size_t size = EncodeCall(buffer, requestId++, shape->number, arguments, shape->argumentCount);
        ok = ok && Write(directory, std::string("call-") + shape->name, buffer, size);
    }
    return ok ? 0 : 1;
}
