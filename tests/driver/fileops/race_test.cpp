/*
 * Opens racing on one name from several threads: open-if makes the entry once
 * and opens it for everyone else; delete-on-close handles coming and going on
 * one name never leave a half-deleted entry or a stray count behind.
 */
#include "fileops_test.h"
#include "system_threads.h"

#include <atomic>
#include <vector>

namespace {

constexpr int kThreads = 4;

/* A kernel-mode open of R:path; the action in *action. */
NTSTATUS KernelOpen(const std::string &path, ULONG disposition, ULONG options, HANDLE *handle, ULONG_PTR *action)
{
    support::Name name(("\\??\\R:" + path).c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwCreateFile(handle, FILE_READ_DATA | DELETE | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                                   options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    *action = iosb.Information;
    return status;
}

/* Runs body on kThreads system threads released together. */
void RunTogether(const std::function<void(int)> &body)
{
    std::atomic<int> go{0};
    std::vector<PKTHREAD> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.push_back(StartThread([&, t] {
            go++;
            while (go.load() < kThreads)
                usleep(100);
            body(t);
        }));
    }
    for (PKTHREAD thread : threads)
        JoinThread(thread);
}

TEST_F(FileOpsTest, OpenIfRacingOnOneNameCreatesItOnce)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    for (int round = 0; round < 10; ++round) {
        std::string path = "\\race" + std::to_string(round);
        std::atomic<int> created{0}, opened{0}, other{0};
        std::vector<HANDLE> handles(kThreads);
        RunTogether([&](int t) {
            ULONG_PTR action = 0;
            NTSTATUS status = KernelOpen(path, FILE_OPEN_IF, 0, &handles[t], &action);
            if (status == STATUS_SUCCESS && action == FILE_CREATED)
                created++;
            else if (status == STATUS_SUCCESS && action == FILE_OPENED)
                opened++;
            else
                other++;
        });
        EXPECT_EQ(created.load(), 1) << path;
        EXPECT_EQ(opened.load(), kThreads - 1) << path;
        EXPECT_EQ(other.load(), 0) << path;
        for (HANDLE handle : handles)
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        EXPECT_TRUE(Exists(path));
    }
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

TEST_F(FileOpsTest, DeleteOnCloseHandlesComingAndGoingLeaveNothingBehind)
{
    ASSERT_EQ(MakeVolume(), STATUS_SUCCESS);
    ASSERT_EQ(Make("\\dir", FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    std::atomic<int> unexpected{0};
    RunTogether([&](int) {
        for (int i = 0; i < 50; ++i) {
            HANDLE handle;
            ULONG_PTR action;
            NTSTATUS status = KernelOpen("\\dir\\tmp", FILE_OPEN_IF, FILE_DELETE_ON_CLOSE, &handle, &action);
            if (status == STATUS_SUCCESS)
                ZwClose(handle);
            else if (status != STATUS_DELETE_PENDING)
                unexpected++;
        }
    });
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_FALSE(Exists("\\dir\\tmp"));
    HANDLE dir;
    ASSERT_EQ(Open("\\dir", &dir), STATUS_SUCCESS);
    PFCB node = NodeOf(dir);
    EXPECT_EQ(node->ChildCount, 0u);
    EXPECT_TRUE(IsListEmpty(&node->Children));
    EXPECT_EQ(Close(dir), STATUS_SUCCESS);
    EXPECT_EQ(Dismount('R'), STATUS_SUCCESS);
}

} // namespace
