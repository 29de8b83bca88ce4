/*
 * Saves while the volume is busy: writers patch their files, a renamer moves a
 * file back and forth and the compression worker packs what goes cold, while
 * the test saves again and again. Each save must succeed (or meet another as
 * busy), every writer's reads must match its model throughout, and the last
 * save, loaded into a new volume, must hold exactly the final models.
 */
#include "image_volume_test.h"

#include <atomic>

namespace {

class SaveConcurrencyTest : public ImageVolumeTest {
protected:
    static NTSTATUS Rename(HANDLE file, const std::string &target)
    {
        std::vector<UCHAR> buffer(sizeof(FILE_RENAME_INFORMATION) + target.size() * sizeof(WCHAR));
        auto *info = reinterpret_cast<FILE_RENAME_INFORMATION *>(buffer.data());
        info->ReplaceIfExists = FALSE;
        info->FileNameLength = (ULONG)(target.size() * sizeof(WCHAR));
        for (size_t i = 0; i < target.size(); ++i)
            info->FileName[i] = (WCHAR)target[i];
        IO_STATUS_BLOCK io{};
        return ZwSetInformationFile(file, &io, info, (ULONG)buffer.size(), FileRenameInformation);
    }
};

TEST_F(SaveConcurrencyTest, SavesRaceWritersRenamesAndTheWorker)
{
    ASSERT_EQ(SetLevel('R', COMPRESSION_LEVEL_FAST), STATUS_SUCCESS);
    constexpr unsigned kWriters = 2;
    std::vector<std::vector<UCHAR>> models;
    for (unsigned t = 0; t < kWriters; ++t) {
        models.push_back(Text(3 * kMiB + 777 * t, 80 + t));
        MakeFile("\\w" + std::to_string(t), models.back());
    }
    MakeFile("\\ping", Noise(9000, 90));
    ASSERT_EQ(Make("\\dir2", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(Save('R', ImagePath("r.img")), STATUS_SUCCESS);

    std::atomic<int> wrong{0};
    std::atomic<bool> stop{false};
    std::vector<PKTHREAD> threads;
    for (unsigned t = 0; t < kWriters; ++t)
        threads.push_back(StartModelWriter("\\w" + std::to_string(t), &models[t], 100 + t, 40, 2, false, &wrong));
    threads.push_back(StartThread([&] {
        bool there = false;
        while (!stop.load()) {
            HANDLE file = nullptr;
            if (KernelOpen(there ? "\\dir2\\pong" : "\\ping", &file, FILE_SYNCHRONOUS_IO_NONALERT, DELETE) !=
                STATUS_SUCCESS) {
                wrong++;
                return;
            }
            if (Rename(file, there ? "\\??\\R:\\ping" : "\\??\\R:\\dir2\\pong") == STATUS_SUCCESS)
                there = !there;
            ZwClose(file);
            LetTimePass(3);
        }
        if (there) {
            HANDLE file = nullptr;
            if (KernelOpen("\\dir2\\pong", &file, FILE_SYNCHRONOUS_IO_NONALERT, DELETE) != STATUS_SUCCESS ||
                Rename(file, "\\??\\R:\\ping") != STATUS_SUCCESS)
                wrong++;
            if (file != nullptr)
                ZwClose(file);
        }
    }));

    int saves = 0;
    for (int i = 0; i < 12; ++i) {
        NTSTATUS status = Save('R');
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DEVICE_BUSY) << std::hex << status;
        saves += status == STATUS_SUCCESS;
        LetTimePass(20);
    }
    for (unsigned t = 0; t < kWriters; ++t)
        JoinThread(threads[t]);
    stop = true;
    JoinThread(threads.back());
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(saves, 0);

    ASSERT_EQ(Save('R'), STATUS_SUCCESS);
    ASSERT_EQ(Dismount('R'), STATUS_SUCCESS);
    ASSERT_EQ(CreateFromImage('R', ImagePath("r.img")), STATUS_SUCCESS);
    for (unsigned t = 0; t < kWriters; ++t) {
        HANDLE file = OpenFile("\\w" + std::to_string(t), FILE_READ_DATA);
        std::vector<UCHAR> got;
        ASSERT_EQ(Get(file, 0, models[t].size() + 1, &got), STATUS_SUCCESS);
        Close(file);
        EXPECT_TRUE(got == models[t]) << "writer " << t;
    }
    EXPECT_TRUE(Exists("\\ping"));
}

} // namespace
