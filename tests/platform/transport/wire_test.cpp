/*
 * The socket protocol's decoders: every message a peer may send decodes to what
 * was encoded, and anything malformed is refused with its reason.
 */
#include "wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace transport;

std::vector<uint8_t> CallMessage(uint64_t id = 7)
{
    std::vector<uint8_t> buffer(kMaxMessageBytes);
    uint64_t arguments[10] = {4, 0, 0, 0, 0x10000, 0x81232000, 0, 0, 0x10100, 44};
    buffer.resize(EncodeCall(buffer.data(), id, CallNumber::NtDeviceIoControlFile, arguments, 10));
    return buffer;
}

void Put32(std::vector<uint8_t> &m, size_t offset, uint32_t v)
{
    std::memcpy(m.data() + offset, &v, 4);
}

void Put64(std::vector<uint8_t> &m, size_t offset, uint64_t v)
{
    std::memcpy(m.data() + offset, &v, 8);
}

DecodeError DecodeClient(const std::vector<uint8_t> &m)
{
    ClientMessage decoded;
    return DecodeClientMessage(m.data(), m.size(), &decoded);
}

TEST(Wire, EveryClientMessageDecodesToWhatWasEncoded)
{
    uint8_t buffer[kMaxMessageBytes];
    ClientMessage m;
    size_t n = EncodeHello(buffer, 0x7f0000000000);
    ASSERT_EQ(DecodeError::None, DecodeClientMessage(buffer, n, &m));
    EXPECT_EQ(Kind::Hello, m.kind);
    EXPECT_EQ(kProtocolVersion, m.hello.version);
    EXPECT_EQ(0x7f0000000000u, m.hello.userSpaceAddress);

    uint64_t arguments[11] = {1, 0x80100000, 3, 4, 0, 0x80, 7, 1, 0x20, 0, 0};
    n = EncodeCall(buffer, 99, CallNumber::NtCreateFile, arguments, 11);
    ASSERT_EQ(DecodeError::None, DecodeClientMessage(buffer, n, &m));
    EXPECT_EQ(Kind::Call, m.kind);
    EXPECT_EQ(99u, m.requestId);
    EXPECT_EQ((uint32_t)CallNumber::NtCreateFile, m.call.number);
    ASSERT_EQ(11u, m.call.argumentCount);
    for (int i = 0; i < 11; ++i)
        EXPECT_EQ(arguments[i], m.call.arguments[i]) << i;

    n = EncodeCancel(buffer, 99);
    ASSERT_EQ(DecodeError::None, DecodeClientMessage(buffer, n, &m));
    EXPECT_EQ(Kind::Cancel, m.kind);
    EXPECT_EQ(99u, m.requestId);
}

TEST(Wire, HostMessagesDecodeToWhatWasEncoded)
{
    uint8_t buffer[kMaxMessageBytes];
    HostMessage m;
    WelcomeBody welcome;
    welcome.version = kProtocolVersion;
    welcome.status = (int32_t)0xC0000018;
    welcome.userSpaceAddress = 0x7f0000000000;
    welcome.userSpaceBytes = kUserSpaceBytes;
    welcome.processId = 0x1004;
    size_t n = EncodeWelcome(buffer, welcome);
    ASSERT_EQ(DecodeError::None, DecodeHostMessage(buffer, n, &m));
    EXPECT_EQ(Kind::Welcome, m.kind);
    EXPECT_EQ(welcome.status, m.welcome.status);
    EXPECT_EQ(welcome.userSpaceAddress, m.welcome.userSpaceAddress);
    EXPECT_EQ(welcome.processId, m.welcome.processId);

    n = EncodeReply(buffer, 5, (int32_t)0x80000005);
    ASSERT_EQ(DecodeError::None, DecodeHostMessage(buffer, n, &m));
    EXPECT_EQ(Kind::Reply, m.kind);
    EXPECT_EQ(5u, m.requestId);
    EXPECT_EQ((int32_t)0x80000005, m.reply.status);
}

TEST(Wire, EveryTruncationOfAMessageIsRefused)
{
    std::vector<uint8_t> m = CallMessage();
    for (size_t size = 0; size < m.size(); ++size) {
        ClientMessage decoded;
        EXPECT_NE(DecodeError::None, DecodeClientMessage(m.data(), size, &decoded)) << size;
    }
    // A length field that promises more than arrived, or less.
    std::vector<uint8_t> longer = m;
    Put32(longer, 0, (uint32_t)m.size() + 8);
    EXPECT_EQ(DecodeError::Truncated, DecodeClient(longer));
    std::vector<uint8_t> padded = m;
    padded.resize(m.size() + 8);
    EXPECT_EQ(DecodeError::LengthMismatch, DecodeClient(padded));
}

TEST(Wire, MalformedHeadersAndBodiesAreRefused)
{
    std::vector<uint8_t> m = CallMessage();
    auto with = [&](auto change) {
        std::vector<uint8_t> copy = m;
        change(copy);
        return DecodeClient(copy);
    };
    EXPECT_EQ(DecodeError::NonZeroReserved, with([](auto &c) { c[6] = 1; }));
    EXPECT_EQ(DecodeError::UnknownKind, with([](auto &c) { c[4] = 0x82; })); /* a reply, from a client */
    EXPECT_EQ(DecodeError::UnknownKind, with([](auto &c) { c[4] = 9; }));
    EXPECT_EQ(DecodeError::RequestId, with([](auto &c) { Put64(c, 8, 0); }));
    EXPECT_EQ(DecodeError::UnknownCall, with([](auto &c) { Put32(c, 16, 77); }));
    EXPECT_EQ(DecodeError::ArgumentCount, with([](auto &c) { Put32(c, 20, 11); }));
    /* the control code (argument 5) and the lengths are 32-bit values */
    EXPECT_EQ(DecodeError::ArgumentRange, with([](auto &c) { Put64(c, 24 + 5 * 8, 0x100000000ull); }));
    EXPECT_EQ(DecodeError::ArgumentRange, with([](auto &c) { Put64(c, 24 + 9 * 8, ~0ull); }));

    uint8_t buffer[kMaxMessageBytes];
    std::vector<uint8_t> hello(buffer, buffer + EncodeHello(buffer, 0x7f0000000000));
    auto helloWith = [&](auto change) {
        std::vector<uint8_t> copy = hello;
        change(copy);
        return DecodeClient(copy);
    };
    EXPECT_EQ(DecodeError::RequestId, helloWith([](auto &c) { Put64(c, 8, 3); }));
    EXPECT_EQ(DecodeError::NonZeroReserved, helloWith([](auto &c) { Put32(c, 20, 1); }));
    EXPECT_EQ(DecodeError::Address, helloWith([](auto &c) { Put64(c, 24, 0); }));
    /* Windows maps no user memory below 64 KiB */
    EXPECT_EQ(DecodeError::Address, helloWith([](auto &c) { Put64(c, 24, kLowestUserAddress - kPageBytes); }));
    EXPECT_EQ(DecodeError::None, helloWith([](auto &c) { Put64(c, 24, kLowestUserAddress); }));
    EXPECT_EQ(DecodeError::Address, helloWith([](auto &c) { Put64(c, 24, 0x7f0000000010); }));
    /* the whole user space must fit below the user half's end */
    EXPECT_EQ(DecodeError::Address, helloWith([](auto &c) { Put64(c, 24, kUserAddressLimit - kPageBytes); }));
    EXPECT_EQ(DecodeError::Address, helloWith([](auto &c) { Put64(c, 24, 0xffff800000000000ull); }));

    std::vector<uint8_t> cancel(buffer, buffer + EncodeCancel(buffer, 4));
    cancel.push_back(0);
    Put32(cancel, 0, (uint32_t)cancel.size());
    EXPECT_EQ(DecodeError::BodySize, DecodeClient(cancel));
}

TEST(Wire, ACallOfTheFileInterfaceIsHeldToItsRoutinesShape)
{
    // NtReadFile: handle, event, APC routine and context, status block, buffer, length (a ULONG), offset, key.
    uint64_t read[10] = {4, 0, 0, 0, 0x10000, 0x10100, 64, 0x10040, 0, 0};
    uint8_t buffer[kMaxMessageBytes];
    ClientMessage m;
    for (uint32_t count : {8u, 10u})
        EXPECT_EQ(DecodeError::ArgumentCount,
                  DecodeClientMessage(buffer, EncodeCall(buffer, 3, CallNumber::NtReadFile, read, count), &m));
    read[6] = 1ull << 32;
    EXPECT_EQ(DecodeError::ArgumentRange,
              DecodeClientMessage(buffer, EncodeCall(buffer, 3, CallNumber::NtReadFile, read, 9), &m));
}

TEST(Wire, TheClientRefusesWhatOnlyAClientSends)
{
    std::vector<uint8_t> m = CallMessage();
    HostMessage decoded;
    EXPECT_EQ(DecodeError::UnknownKind, DecodeHostMessage(m.data(), m.size(), &decoded));
    uint8_t buffer[kMaxMessageBytes];
    size_t n = EncodeReply(buffer, 0, 0);
    EXPECT_EQ(DecodeError::RequestId, DecodeHostMessage(buffer, n, &decoded));
}

} // namespace
