/*
 * Large asynchronous reads and writes handed to the volume's I/O workers: they
 * return pending and complete later with the right bytes; shorter ones, appends
 * and synchronous handles run on the caller's thread.
 */
#include "fileops_test.h"

#include <vector>

namespace {

class OffloadTest : public FileOpsTest {
protected:
    /* Two cores: the volume's queue runs two workers. */
    machine::Config BootConfig() override
    {
        machine::Config config = AutoClockConfig();
        config.cores.resize(2);
        return config;
    }
    void SetUp() override
    {
        FileOpsTest::SetUp();
        ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
        ASSERT_EQ(Make("\\f"), STATUS_SUCCESS);
    }

    /* A user-mode handle without FILE_SYNCHRONOUS_IO_*, and an event of the same process. */
    void OpenAsynchronous(HANDLE *handle, HANDLE *event)
    {
        POBJECT_ATTRIBUTES oa = process->Attributes("\\??\\R:\\f");
        auto *io = process->New<IO_STATUS_BLOCK>();
        auto *userHandle = process->New<HANDLE>();
        auto *userEvent = process->New<HANDLE>();
        ASSERT_EQ(support::AsUser(*process, [&] {
                      return NtCreateFile(userHandle, FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE, oa, io, nullptr,
                                          0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, nullptr, 0);
                  }),
                  STATUS_SUCCESS);
        ASSERT_EQ(support::AsUser(*process,
                                  [&] { return NtCreateEvent(userEvent, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE); }),
                  STATUS_SUCCESS);
        *handle = *userHandle;
        *event = *userEvent;
    }

    /* One asynchronous transfer from the user program's memory; returns what the call returned. */
    NTSTATUS Transfer(bool write, HANDLE handle, HANDLE event, LONGLONG at, void *buffer, ULONG length,
                      IO_STATUS_BLOCK *io)
    {
        auto *offset = process->New<LARGE_INTEGER>();
        offset->QuadPart = at;
        return support::AsUser(*process, [&] {
            NtClearEvent(event);
            return write ? NtWriteFile(handle, event, nullptr, nullptr, io, buffer, length, offset, nullptr)
                         : NtReadFile(handle, event, nullptr, nullptr, io, buffer, length, offset, nullptr);
        });
    }
    void WaitFor(HANDLE event)
    {
        support::AsUser(*process, [&] { return NtWaitForSingleObject(event, FALSE, nullptr); });
    }
};

TEST_F(OffloadTest, LargeAsynchronousRequestsCompleteOnTheWorkers)
{
    HANDLE handle = nullptr, event = nullptr;
    OpenAsynchronous(&handle, &event);
    PFCB node = NodeOf(handle);
    ASSERT_EQ(node->Vcb->WorkerQueue.ThreadCount, 2u);

    auto *io = process->New<IO_STATUS_BLOCK>();
    auto *buffer = static_cast<UCHAR *>(process->Alloc(65536));
    for (ULONG i = 0; i < 16384; ++i)
        buffer[i] = (UCHAR)(i * 7 + 1);
    /* One byte short of the threshold: on the caller's thread. */
    EXPECT_EQ(Transfer(true, handle, event, 0, buffer + 16384, 16383, io), STATUS_SUCCESS);
    EXPECT_EQ(io->Information, 16383u);

    ASSERT_EQ(Transfer(true, handle, event, 4096, buffer, 16384, io), STATUS_PENDING);
    WaitFor(event);
    EXPECT_EQ(io->Status, STATUS_SUCCESS);
    EXPECT_EQ(io->Information, 16384u);
    EXPECT_EQ(node->Data.FileSize, 4096u + 16384);

    /* An append never leaves the caller's thread: appends must run in order. */
    EXPECT_EQ(Transfer(true, handle, event, -1 /* FILE_WRITE_TO_END_OF_FILE */, buffer, 16384, io), STATUS_SUCCESS);
    EXPECT_EQ(node->Data.FileSize, 4096u + 2 * 16384);

    /* A read: the worker fills the caller's pages through their locked MDL. */
    UCHAR *back = buffer + 32768;
    memset(back, 0, 32768);
    ASSERT_EQ(Transfer(false, handle, event, 4096, back, 32768, io), STATUS_PENDING);
    WaitFor(event);
    EXPECT_EQ(io->Status, STATUS_SUCCESS);
    EXPECT_EQ(io->Information, 32768u);
    EXPECT_EQ(memcmp(back, buffer, 16384), 0);
    EXPECT_EQ(memcmp(back + 16384, buffer, 16384), 0) << "the append's bytes";

    /* Beyond the size, on a worker: end of file, through the event. */
    ASSERT_EQ(Transfer(false, handle, event, 1 << 20, back, 16384, io), STATUS_PENDING);
    WaitFor(event);
    EXPECT_EQ(io->Status, STATUS_END_OF_FILE);

    support::AsUser(*process, [&] { return NtClose(event); });
    Close(handle);
}

} // namespace
