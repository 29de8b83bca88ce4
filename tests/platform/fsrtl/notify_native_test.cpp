/*
 * Change notification seen from a program: NtNotifyChangeDirectoryFile on a
 * directory of the test file system, whose directory-control and cleanup requests
 * go to the notify package, ended by a change, by NtCancelIoFile and by closing
 * the handle.
 */
#include "../io/fs_fixture.h"

namespace {

class NotifyNativeTest : public FsTest {
protected:
    void SetUp() override
    {
        FsTest::SetUp();
        fs().Add(u"\\d", "", true);
        FsRtlNotifyInitializeSync(&sync_);
        InitializeListHead(&list_);
        gTest = this;
        // The file system's side: a notify request joins the open's watch on "\d";
        // cleanup of the open ends it.
        fs().hooks[IRP_MJ_DIRECTORY_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MinorFunction != IRP_MN_NOTIFY_CHANGE_DIRECTORY)
                return testfs::kNotHandled;
            FsRtlNotifyFullChangeDirectory(gTest->sync_, &gTest->list_, stack->FileObject->FsContext2,
                                           &gTest->dir_, (stack->Flags & SL_WATCH_TREE) != 0, FALSE,
                                           stack->Parameters.NotifyDirectory.CompletionFilter, irp, nullptr, nullptr);
            return (NTSTATUS)STATUS_PENDING;
        };
        fs().hooks[IRP_MJ_CLEANUP] = [](PDEVICE_OBJECT, PIRP irp) {
            FsRtlNotifyCleanup(gTest->sync_, &gTest->list_, IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext2);
            return testfs::kNotHandled;
        };
        dir_.Buffer = reinterpret_cast<PCHAR>(dirName_);
        dir_.Length = dir_.MaximumLength = sizeof(dirName_) - sizeof(WCHAR);
    }
    void TearDown() override
    {
        fs().hooks[IRP_MJ_DIRECTORY_CONTROL] = nullptr;
        fs().hooks[IRP_MJ_CLEANUP] = nullptr;
        FsRtlNotifyCleanupAll(sync_, &list_);
        FsRtlNotifyUninitializeSync(&sync_);
        FsTest::TearDown();
    }

    NTSTATUS Watch(HANDLE h, PIO_STATUS_BLOCK iosb, PVOID buffer, ULONG length)
    {
        return User([&] {
            return NtNotifyChangeDirectoryFile(h, nullptr, nullptr, nullptr, iosb, buffer, length,
                                               FILE_NOTIFY_CHANGE_FILE_NAME, FALSE);
        });
    }
    void Report(const char16_t *path, USHORT finalOffset)
    {
        STRING target;
        target.Buffer = reinterpret_cast<PCHAR>(const_cast<char16_t *>(path));
        target.Length = target.MaximumLength = static_cast<USHORT>(std::char_traits<char16_t>::length(path) * 2);
        FsRtlNotifyFullReportChange(sync_, &list_, &target, finalOffset, nullptr, nullptr,
                                    FILE_NOTIFY_CHANGE_FILE_NAME, FILE_ACTION_ADDED, nullptr);
    }

    static NotifyNativeTest *gTest;
    PNOTIFY_SYNC sync_ = nullptr;
    LIST_ENTRY list_;
    char16_t dirName_[3] = u"\\d";
    STRING dir_{};
};

NotifyNativeTest *NotifyNativeTest::gTest = nullptr;

TEST_F(NotifyNativeTest, AProgramsRequestEndsWithItsChangeOrWhenCancelledOrWhenItsHandleCloses)
{
    HANDLE h;
    ASSERT_EQ(Open("\\??\\T:\\d", FILE_LIST_DIRECTORY, &h, FILE_OPEN, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    auto *buffer = static_cast<UCHAR *>(process->Alloc(64));
    memset(buffer, 0xCC, 64);
    ASSERT_EQ(Watch(h, iosb, buffer, 64), STATUS_PENDING);
    Report(u"\\d\\new", 6);
    EXPECT_EQ(iosb->Status, STATUS_SUCCESS);
    ASSERT_EQ(iosb->Information, 12u + 6u);
    FILE_NOTIFY_INFORMATION record;
    memcpy(&record, buffer, 12);
    EXPECT_EQ(record.NextEntryOffset, 0u);
    EXPECT_EQ(record.Action, (ULONG)FILE_ACTION_ADDED);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(buffer + 12), 3), u"new");
    EXPECT_EQ(buffer[18], 0xCC);

    // A change while nothing is pending waits for the next request, which returns at once.
    Report(u"\\d\\two", 6);
    memset(buffer, 0xCC, 64);
    EXPECT_EQ(Watch(h, iosb, buffer, 64), STATUS_PENDING) << "the file system always pends the request";
    EXPECT_EQ(iosb->Status, STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(buffer + 12), 3), u"two");

    ASSERT_EQ(Watch(h, iosb, buffer, 64), STATUS_PENDING);
    auto *cancel = process->New<IO_STATUS_BLOCK>();
    ASSERT_EQ(User([&] { return NtCancelIoFile(h, cancel); }), STATUS_SUCCESS);
    EXPECT_EQ(iosb->Status, STATUS_CANCELLED);

    ASSERT_EQ(Watch(h, iosb, buffer, 64), STATUS_PENDING);
    iosb->Status = STATUS_PENDING;
    EXPECT_EQ(Close(h), STATUS_SUCCESS);
    EXPECT_EQ(iosb->Status, STATUS_NOTIFY_CLEANUP);
    EXPECT_TRUE(IsListEmpty(&list_));
}

} // namespace
