/*
 * vorel_prepare_unload through a real connection: its argument checks, and the
 * count it reads from a reply whatever the status, as long as the reply came.
 */
#include <vorellib.h>
#include <vorel_control.h>
#include <ntdef.h>
#include <ntstatus.h>

#include "test_host.h"

#include <gtest/gtest.h>

namespace {

constexpr unsigned int kUntouched = 0xC0FFEEu;
constexpr unsigned int kErrorBusy = 170; /* ERROR_BUSY */

class PrepareUnload : public testhost::TestHost {
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
    /* The driver's next answer: a status and a count in a reply of `bytes` bytes. */
    static void Answer(NTSTATUS status, uint32_t count, size_t bytes)
    {
        std::vector<uint8_t> data{(uint8_t)count, (uint8_t)(count >> 8), (uint8_t)(count >> 16), (uint8_t)(count >> 24)};
        testhost::ScriptReply(IOCTL_VOREL_PREPARE_UNLOAD, {status, data, bytes});
    }
    vorel_handle h_ = nullptr;
};

TEST_F(PrepareUnload, TheCountArrivesWithSuccessAndWithTheBusyWarning)
{
    unsigned int left = kUntouched;
    EXPECT_EQ(VOREL_ERR_INVALID, vorel_prepare_unload(nullptr, &left));
    EXPECT_TRUE(testhost::SeenRequests().empty()) << "refused before anything was sent";
    EXPECT_EQ(kUntouched, left);

    Answer(STATUS_DEVICE_BUSY, 2, 4);
    EXPECT_EQ(VOREL_ERR_BUSY, vorel_prepare_unload(h_, &left));
    EXPECT_EQ(2u, left);
    EXPECT_EQ(kErrorBusy, vorel_last_native_error(h_));
    ASSERT_EQ(1u, testhost::SeenRequests().size());
    EXPECT_EQ(IOCTL_VOREL_PREPARE_UNLOAD, testhost::SeenRequests()[0].code);
    EXPECT_TRUE(testhost::SeenRequests()[0].input.empty());
    EXPECT_EQ(4u, testhost::SeenRequests()[0].outputLength);

    Answer(STATUS_SUCCESS, 0, 4);
    EXPECT_EQ(VOREL_OK, vorel_prepare_unload(h_, &left));
    EXPECT_EQ(0u, left);
    EXPECT_EQ(0u, vorel_last_native_error(h_));

    Answer(STATUS_DEVICE_BUSY, 1, 4);
    EXPECT_EQ(VOREL_ERR_BUSY, vorel_prepare_unload(h_, nullptr)) << "the count is optional";
}

TEST_F(PrepareUnload, WithoutAWholeCountTheCallerKeepsItsOwn)
{
    unsigned int left = kUntouched;
    Answer(STATUS_SUCCESS, 5, 0);
    EXPECT_EQ(VOREL_OK, vorel_prepare_unload(h_, &left)) << "no short-reply check";
    EXPECT_EQ(kUntouched, left);

    Answer(STATUS_DEVICE_BUSY, 5, 3);
    EXPECT_EQ(VOREL_ERR_BUSY, vorel_prepare_unload(h_, &left));
    EXPECT_EQ(kUntouched, left);

    Answer(STATUS_ACCESS_DENIED, 5, 4);
    EXPECT_EQ(VOREL_ERR_ACCESS_DENIED, vorel_prepare_unload(h_, &left));
    EXPECT_EQ(kUntouched, left) << "an error carries no reply";
    EXPECT_EQ(5u, vorel_last_native_error(h_));
}

} // namespace
