/*
 * Volumes made and dropped from several threads at once: one letter goes to
 * exactly one of the creates racing for it, and a long mix of creates and
 * dismounts on a few letters ends with no volume and nothing allocated.
 */
#include "volume_test.h"

#include "system_threads.h"

#include <atomic>

namespace {

TEST_F(VolumeTest, CreatesRacingForOneLetterHaveOneWinner)
{
    for (int round = 0; round < 5; ++round) {
        constexpr int kThreads = 4;
        std::atomic<int> go{0}, won{0}, collided{0}, other{0};
        std::vector<PKTHREAD> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.push_back(StartThread([&] {
                go++;
                while (go.load() < kThreads)
                    usleep(100);
                NTSTATUS status = Create('R', 8 * kMiB);
                if (status == STATUS_SUCCESS)
                    won++;
                else if (status == STATUS_OBJECT_NAME_COLLISION)
                    collided++;
                else
                    other++;
            }));
            ASSERT_NE(threads.back(), nullptr);
        }
        for (PKTHREAD thread : threads)
            JoinThread(thread);
        EXPECT_EQ(won.load(), 1);
        EXPECT_EQ(collided.load(), kThreads - 1);
        EXPECT_EQ(other.load(), 0);
        ASSERT_EQ(List().size(), 1u);
        EXPECT_EQ(VolumeLetters().size(), 1u);
        EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
        ExpectNoVolumeTrace('R');
    }
}

TEST_F(VolumeTest, CreatesAndDismountsOnSeveralLettersFromSeveralThreads)
{
    constexpr int kThreads = 3;
    constexpr int kRounds = 25;
    const char letters[] = {'P', 'Q', 'R'};
    std::atomic<int> unexpected{0}, created{0};
    std::vector<PKTHREAD> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartThread([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                char letter = letters[(t + round) % 3];
                NTSTATUS status = Create(letter, 4 * kMiB + round);
                if (status == STATUS_SUCCESS)
                    created++;
                else if (status != STATUS_OBJECT_NAME_COLLISION)
                    unexpected++;
                VOREL_RESIZE_INPUT resize{(VOREL_U16)letter, 0, 0, 8 * kMiB};
                status = Control(IOCTL_VOREL_RESIZE_VOLUME, &resize, sizeof(resize));
                if (status != STATUS_SUCCESS && status != STATUS_OBJECT_NAME_NOT_FOUND &&
                    status != STATUS_DEVICE_BUSY)
                    unexpected++;
                status = Dismount(letters[(t + round + 1) % 3]);
                if (status != STATUS_SUCCESS && status != STATUS_OBJECT_NAME_NOT_FOUND &&
                    status != STATUS_DEVICE_BUSY)
                    unexpected++;
            }
        }));
        ASSERT_NE(threads.back(), nullptr);
    }
    for (PKTHREAD thread : threads)
        JoinThread(thread);
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_GT(created.load(), 0);
    for (char letter : letters)
        (void)Dismount(letter);
    EXPECT_TRUE(List().empty());
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(VolumeDevices(), 0u);
    EXPECT_TRUE(VolumeLetters().empty());
}

} // namespace
