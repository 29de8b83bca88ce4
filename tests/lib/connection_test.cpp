/*
 * The library's connection layer: connecting with and without a driver, status
 * texts, the native error kept per connection, short replies, and how each
 * failure of the driver reaches the caller as a status.
 */
#include <vorellib.h>
#include <vorel_control.h>
#include <ntdef.h>
#include <ntstatus.h>

#include "client.h"
#include "server.h"
#include "test_host.h"
#include "win32_harness.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using testhost::Reply;

std::vector<uint8_t> Bytes(const void *data, size_t size)
{
    const auto *p = static_cast<const uint8_t *>(data);
    return std::vector<uint8_t>(p, p + size);
}

class Library : public testhost::TestHost {
protected:
    void SetUp() override
    {
        TestHost::SetUp();
        ASSERT_EQ(VOREL_OK, vorel_connect(&h_, nullptr));
    }
    void TearDown() override
    {
        vorel_disconnect(h_);
        TestHost::TearDown();
    }
    vorel_handle h_ = nullptr;
};

TEST(LibraryStatus, EveryStatusHasItsTextAndOthersAreUnknown)
{
    const char *expected[] = {"ok", "driver not running", "access denied", "busy", "not found", "already exists",
                              "invalid argument", "no bound image", "disk full", "out of memory", "short reply",
                              "not supported by driver", "transport error"};
    for (unsigned status = 0; status < 13; ++status)
        EXPECT_STREQ(expected[status], vorel_status_name(status));
    EXPECT_STREQ("unknown status", vorel_status_name(13));
    EXPECT_STREQ("unknown status", vorel_status_name(0xFFFFFFFFu));
}

TEST(LibraryStatus, NullConnectionsAreHarmless)
{
    EXPECT_EQ(0u, vorel_last_native_error(nullptr));
    vorel_disconnect(nullptr);
    unsigned int native = 77;
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_connect(nullptr, &native));
    EXPECT_EQ(0u, native);
    vorel_ping_info info;
    unsigned int value;
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_ping(nullptr, &info));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_settings_get(nullptr, &value));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_settings_set(nullptr, 1));
}

class LibraryNoHost : public testing::Test {
protected:
    void SetUp() override
    {
        directory_ = testhost::MakeTemporaryDirectory("vorel-lib");
        setenv("VOREL_RUNTIME_DIR", directory_.c_str(), 1);
    }
    void TearDown() override { testhost::RemoveTree(directory_); }
    std::string directory_;
};

TEST_F(LibraryNoHost, WithoutTheDriverConnectingFailsWithDriverNotRunning)
{
    vorel_handle h = reinterpret_cast<vorel_handle>(0x1);
    unsigned int native = 0;
    EXPECT_EQ(VOREL_ERR_NOT_RUNNING, vorel_connect(&h, &native));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(2u, native);
    // The native error is optional.
    EXPECT_EQ(VOREL_ERR_NOT_RUNNING, vorel_connect(&h, nullptr));
}

class LibraryNoDriver : public testhost::TestHost {
protected:
    bool LoadsDriver() override { return false; }
};

TEST_F(LibraryNoDriver, AHostWithoutTheDriverIsDriverNotRunning)
{
    vorel_handle h;
    unsigned int native = 0;
    EXPECT_EQ(VOREL_ERR_NOT_RUNNING, vorel_connect(&h, &native));
    EXPECT_EQ(2u, native);
}

class LibraryFullHost : public testhost::TestHost {
protected:
    void ConfigureServer(transport::ServerOptions &options) override
    {
        options.maxConnections = 1;
        options.reservedConnections = 0;
    }
};

TEST_F(LibraryFullHost, AHostThatTakesNoMoreConnectionsIsBusy)
{
    transport::Client other(socketPath_); /* another process holds the one connection */
    ASSERT_EQ(transport::kStatusSuccess, other.Connect());
    vorel_handle h = nullptr;
    unsigned int native = 0;
    EXPECT_EQ(VOREL_ERR_BUSY, vorel_connect(&h, &native));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(170u, native);
}

TEST_F(Library, AFailedAllocationIsOutOfMemory)
{
    vorel_handle h = nullptr;
    unsigned int native = 5;
    win32::FailHeapAllocation(1); /* the connection */
    EXPECT_EQ(VOREL_ERR_NO_MEMORY, vorel_connect(&h, &native));
    EXPECT_EQ(0u, native);
    win32::FailHeapAllocation(2); /* the block that holds the device handle */
    EXPECT_EQ(VOREL_ERR_NO_MEMORY, vorel_connect(&h, &native));
    EXPECT_EQ(8u, native);
    EXPECT_EQ(nullptr, h);
}

TEST_F(Library, PingAndSettingsTravelAsTheirRecords)
{
    vorel_ping_info info;
    std::memset(&info, 0xAB, sizeof(info));
    ASSERT_EQ(VOREL_OK, vorel_ping(h_, &info));
    EXPECT_EQ(26u, info.major);
    EXPECT_EQ(7u, info.minor);
    EXPECT_EQ(0u, info.reserved);
    EXPECT_STREQ("Jan  1 2026 00:00:00", info.build);

    ASSERT_EQ(VOREL_OK, vorel_settings_set(h_, 0));
    unsigned int allow = 9;
    ASSERT_EQ(VOREL_OK, vorel_settings_get(h_, &allow));
    EXPECT_EQ(0u, allow);
    ASSERT_EQ(VOREL_OK, vorel_settings_set(h_, 5));
    EXPECT_EQ(1u, testhost::AllowUserAccess());

    auto seen = testhost::SeenRequests();
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ(IOCTL_VOREL_PING, seen[0].code);
    EXPECT_TRUE(seen[0].input.empty());
    EXPECT_EQ(44u, seen[0].outputLength);
    EXPECT_EQ(IOCTL_VOREL_SET_SETTINGS, seen[1].code);
    VOREL_SETTINGS off = {0, 0};
    EXPECT_EQ(Bytes(&off, 8), seen[1].input);
    EXPECT_EQ(0u, seen[1].outputLength);
    EXPECT_EQ(IOCTL_VOREL_GET_SETTINGS, seen[2].code);
    EXPECT_EQ(8u, seen[2].outputLength);
    VOREL_SETTINGS five = {5, 0};
    EXPECT_EQ(Bytes(&five, 8), seen[3].input);
}

TEST_F(Library, AReplyOneByteShortLeavesTheCallersRecordAlone)
{
    VOREL_PING_REPLY reply{};
    reply.Major = 99;
    testhost::ScriptReply(IOCTL_VOREL_PING, {STATUS_SUCCESS, Bytes(&reply, sizeof(reply)), sizeof(reply) - 1});
    vorel_ping_info info, before;
    std::memset(&info, 0xAB, sizeof(info));
    before = info;
    EXPECT_EQ(VOREL_ERR_SHORT_REPLY, vorel_ping(h_, &info));
    EXPECT_EQ(0, std::memcmp(&before, &info, sizeof(info)));
    EXPECT_EQ(0u, vorel_last_native_error(h_));

    VOREL_SETTINGS settings{1, 0};
    testhost::ScriptReply(IOCTL_VOREL_GET_SETTINGS, {STATUS_SUCCESS, Bytes(&settings, 8), 7});
    unsigned int allow = 42;
    EXPECT_EQ(VOREL_ERR_SHORT_REPLY, vorel_settings_get(h_, &allow));
    EXPECT_EQ(42u, allow);
}

TEST_F(Library, TheBuildTextIsAlwaysTerminated)
{
    VOREL_PING_REPLY reply{};
    std::memset(reply.BuildStamp, 'X', sizeof(reply.BuildStamp));
    testhost::ScriptReply(IOCTL_VOREL_PING, {STATUS_SUCCESS, Bytes(&reply, sizeof(reply)), sizeof(reply)});
    vorel_ping_info info;
    ASSERT_EQ(VOREL_OK, vorel_ping(h_, &info));
    EXPECT_EQ(31u, std::strlen(info.build));
}

TEST_F(Library, EachDriverFailureReachesTheCallerAsItsStatus)
{
    struct Case {
        NTSTATUS driverStatus;
        unsigned int nativeError;
        vorel_status status;
    };
    const Case cases[] = {
        {STATUS_INVALID_DEVICE_REQUEST, 1, VOREL_ERR_NOT_SUPPORTED},
        {STATUS_NOT_SUPPORTED, 50, VOREL_ERR_NOT_SUPPORTED},
        {STATUS_OBJECT_NAME_NOT_FOUND, 2, VOREL_ERR_NOT_FOUND},
        {STATUS_OBJECT_PATH_NOT_FOUND, 3, VOREL_ERR_NOT_FOUND},
        {STATUS_ACCESS_DENIED, 5, VOREL_ERR_ACCESS_DENIED},
        {STATUS_NO_MEMORY, 8, VOREL_ERR_NO_MEMORY},
        {STATUS_INSUFFICIENT_RESOURCES, 1450, VOREL_ERR_NO_MEMORY},
        {STATUS_INVALID_DEVICE_STATE, 22, VOREL_ERR_NO_IMAGE},
        {STATUS_SHARING_VIOLATION, 32, VOREL_ERR_BUSY},
        {STATUS_FILE_LOCK_CONFLICT, 33, VOREL_ERR_BUSY},
        {STATUS_DEVICE_BUSY, 170, VOREL_ERR_BUSY},
        {STATUS_DISK_FULL, 112, VOREL_ERR_DISK_FULL},
        {STATUS_OBJECT_NAME_COLLISION, 183, VOREL_ERR_EXISTS},
        {STATUS_INVALID_PARAMETER, 87, VOREL_ERR_INVALID},
        {STATUS_BUFFER_TOO_SMALL, 122, VOREL_ERR_SHORT_REPLY},
        {STATUS_BUFFER_OVERFLOW, 234, VOREL_ERR_SHORT_REPLY},
        {STATUS_CANCELLED, 995, VOREL_ERR_TRANSPORT},
        {(NTSTATUS)0xC0DEC0DE, 317, VOREL_ERR_TRANSPORT},
    };
    for (const Case &c : cases) {
        testhost::ScriptReply(IOCTL_VOREL_GET_SETTINGS, {c.driverStatus, {}, 0});
        unsigned int allow = 42;
        EXPECT_EQ(c.status, vorel_settings_get(h_, &allow)) << std::hex << (ULONG)c.driverStatus;
        EXPECT_EQ(c.nativeError, vorel_last_native_error(h_)) << std::hex << (ULONG)c.driverStatus;
        EXPECT_EQ(42u, allow);
    }
}

TEST_F(Library, ArgumentsRefusedBeforeSendingLeaveTheNativeErrorAlone)
{
    testhost::ScriptReply(IOCTL_VOREL_SET_SETTINGS, {STATUS_ACCESS_DENIED, {}, 0});
    EXPECT_EQ(VOREL_ERR_ACCESS_DENIED, vorel_settings_set(h_, 0));
    EXPECT_EQ(5u, vorel_last_native_error(h_));
    size_t sent = testhost::SeenRequests().size();
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_ping(h_, nullptr));
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_settings_get(h_, nullptr));
    EXPECT_EQ(5u, vorel_last_native_error(h_));
    EXPECT_EQ(sent, testhost::SeenRequests().size());
    // A request that succeeds clears it.
    unsigned int allow;
    EXPECT_EQ(VOREL_OK, vorel_settings_get(h_, &allow));
    EXPECT_EQ(0u, vorel_last_native_error(h_));
}

TEST_F(Library, ConnectionsAreIndependentAndEachHoldsItsOwnError)
{
    vorel_handle other;
    ASSERT_EQ(VOREL_OK, vorel_connect(&other, nullptr));
    testhost::ScriptReply(IOCTL_VOREL_SET_SETTINGS, {STATUS_ACCESS_DENIED, {}, 0});
    EXPECT_EQ(VOREL_ERR_ACCESS_DENIED, vorel_settings_set(other, 1));
    EXPECT_EQ(5u, vorel_last_native_error(other));
    EXPECT_EQ(0u, vorel_last_native_error(h_));
    vorel_disconnect(other);
    EXPECT_EQ(1, testhost::Count().closes);
    vorel_ping_info info;
    EXPECT_EQ(VOREL_OK, vorel_ping(h_, &info));
}

TEST_F(Library, MountedVolumesComeBackWithTheirTextAndAtMostTwentySix)
{
    auto *list = new VOREL_MOUNTED_VOLUME_LIST();
    list->Count = 30;
    list->Entries[0].Letter = 'R';
    list->Entries[0].SizeBytes = 64ull << 20;
    list->Entries[0].BytesInUse = 4096;
    list->Entries[0].CompressionLevel = 2;
    list->Entries[0].Flags = 0x9;
    const char16_t label[] = u"Caf\u00e9";
    std::memcpy(list->Entries[0].Label, label, sizeof(label));
    testhost::ScriptReply(IOCTL_VOREL_QUERY_MOUNTED_VOLUMES,
                          {STATUS_SUCCESS, Bytes(list, sizeof(*list)), sizeof(*list)});
    delete list;
    std::vector<vorel_live_volume> volumes(26);
    unsigned int count = 99;
    ASSERT_EQ(VOREL_OK, vorel_live_query(h_, volumes.data(), &count));
    EXPECT_EQ(26u, count);
    EXPECT_EQ('R', volumes[0].letter);
    EXPECT_EQ(64ull << 20, volumes[0].size);
    EXPECT_EQ(4096u, volumes[0].used);
    EXPECT_EQ(2u, volumes[0].compression);
    EXPECT_EQ(0x9u, volumes[0].flags);
    EXPECT_STREQ("Caf\xC3\xA9", volumes[0].label);
    EXPECT_STREQ("", volumes[0].image_path);
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_live_query(h_, nullptr, &count));
    EXPECT_EQ(0u, count);
}

} // namespace
