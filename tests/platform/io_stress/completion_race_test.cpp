/*
 * Races between a dispatch routine and the completion of its request on another
 * thread, between calls on one synchronous handle, and between completions on
 * one asynchronous handle. Run under ThreadSanitizer too.
 */
#include "../io/io_fixture.h"

#include <atomic>
#include <thread>

namespace {

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

/* A worker that completes every IRP handed to it at once. */
struct Completer {
    std::atomic<PIRP> slot{nullptr};
    std::atomic<bool> stop{false};
    std::thread thread;

    void Start()
    {
        thread = std::thread([this] {
            while (!stop.load()) {
                PIRP irp = slot.exchange(nullptr);
                if (irp != nullptr)
                    iotest::Complete(irp, STATUS_SUCCESS);
            }
        });
    }
    void Finish()
    {
        stop = true;
        thread.join();
    }
};

TEST_F(IoTest, ARequestMarkedPendingAndCompletedAtOnceElsewhereIsNeverTakenForUnmarked)
{
    static Completer completer;
    completer.stop = false;
    completer.Start();
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        completer.slot.store(irp); /* completed before (or while) this returns */
        return (NTSTATUS)STATUS_PENDING;
    };
    support::UserProcess process(0, 0);
    HANDLE handle;
    ASSERT_EQ(process.Open("\\??\\IoTest", GENERIC_READ, &handle), STATUS_SUCCESS);
    auto *iosb = process.New<IO_STATUS_BLOCK>();
    for (int i = 0; i < 3000; ++i)
        ASSERT_EQ(iotest::AsUser(process, [&] {
                      return NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, iosb, kCode, nullptr, 0,
                                                   nullptr, 0);
                  }),
                  STATUS_SUCCESS);
    completer.Finish();
    iotest::AsUser(process, [&] { return NtClose(handle); });
}

TEST_F(IoTest, CallsOnOneSynchronousHandleRunOneAtATime)
{
    static KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    static std::atomic<int> inside{0}, most{0};
    inside = most = 0;
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
        --inside;
        return iotest::Complete(irp, STATUS_SUCCESS);
    };
    support::UserProcess process(0, 0);
    HANDLE handle;
    ASSERT_EQ(process.Open("\\??\\IoTest", GENERIC_READ, &handle), STATUS_SUCCESS);
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i)
        callers.emplace_back([&] {
            auto *iosb = process.New<IO_STATUS_BLOCK>();
            EXPECT_EQ(iotest::AsUser(process, [&] {
                          return NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, iosb, kCode, nullptr, 0,
                                                       nullptr, 0);
                      }),
                      STATUS_SUCCESS);
        });
    while (inside.load() == 0)
        usleep(1000);
    usleep(20000); /* the others have had time to arrive */
    EXPECT_EQ(most.load(), 1) << "the others wait on the file object's lock";
    KeSetEvent(&release, 0, FALSE);
    for (auto &t : callers)
        t.join();
    EXPECT_EQ(most.load(), 1);
    iotest::AsUser(process, [&] { return NtClose(handle); });
}

/* Calls on an asynchronous handle run side by side: their completions record the file's status without a race. */
TEST_F(IoTest, CallsOnOneAsynchronousHandleCompleteSideBySide)
{
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        return iotest::Complete(irp, STATUS_SUCCESS);
    };
    support::UserProcess process(0, 0);
    HANDLE handle;
    ASSERT_EQ(process.Open("\\??\\IoTest", GENERIC_READ, &handle, 0), STATUS_SUCCESS);
    std::vector<std::thread> callers;
    for (int i = 0; i < 2; ++i)
        callers.emplace_back([&] {
            auto *iosb = process.New<IO_STATUS_BLOCK>();
            for (int k = 0; k < 20000; ++k)
                EXPECT_EQ(iotest::AsUser(process, [&] {
                              return NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, iosb, kCode, nullptr,
                                                           0, nullptr, 0);
                          }),
                          STATUS_SUCCESS);
        });
    for (auto &t : callers)
        t.join();
    iotest::AsUser(process, [&] { return NtClose(handle); });
}

} // namespace
