/*
 * Requests: the four buffering methods, synchronous and asynchronous completion,
 * completion routines, cancellation, and what process exit does to requests.
 */
#include "io_fixture.h"

#include <cstring>
#include <thread>

namespace {

using iotest::UserProcess;

constexpr ULONG kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kInDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_IN_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kOutDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG kNeedsWrite = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_WRITE_ACCESS);

class RequestTest : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        process = std::make_unique<UserProcess>(0, 0);
    }
    void TearDown() override
    {
        process.reset();
        IoTest::TearDown();
    }
    NTSTATUS Control(HANDLE handle, ULONG code, const void *input, ULONG inLength, void *output, ULONG outLength,
                     IO_STATUS_BLOCK *iosb, HANDLE event = nullptr)
    {
        return iotest::AsUser(*process, [&] {
            return NtDeviceIoControlFile(handle, event, nullptr, nullptr, iosb, code, const_cast<void *>(input),
                                         inLength, output, outLength);
        });
    }
    char *UserText(const char *text)
    {
        auto *buffer = static_cast<char *>(process->Alloc(strlen(text) + 1));
        strcpy(buffer, text);
        return buffer;
    }
    std::unique_ptr<UserProcess> process;
};

TEST_F(RequestTest, BufferedOutputGoesBackForSuccessAndWarningsButNotErrors)
{
    NTSTATUS answer = STATUS_SUCCESS;
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        auto *stack = IoGetCurrentIrpStackLocation(irp);
        auto *buffer = static_cast<char *>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 6u);
        EXPECT_STREQ(buffer, "hello") << "the input arrives in the system buffer";
        memcpy(buffer, "01234567", 8);
        return iotest::Complete(irp, answer, 10); /* Information larger than the output buffer */
    };
    HANDLE handle;
    ASSERT_EQ(process->Open("\\??\\IoTest", GENERIC_READ, &handle), STATUS_SUCCESS);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    char *output = static_cast<char *>(process->Alloc(8));

    memset(output, '-', 8);
    EXPECT_EQ(Control(handle, kBuffered, UserText("hello"), 6, output, 8, iosb), STATUS_SUCCESS);
    EXPECT_EQ(std::string(output, 8), "01234567") << "min(Information, output length) bytes";
    EXPECT_EQ(iosb->Information, 10u);

    answer = STATUS_BUFFER_OVERFLOW;
    memset(output, '-', 8);
    EXPECT_EQ(Control(handle, kBuffered, UserText("hello"), 6, output, 8, iosb), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::string(output, 8), "01234567") << "a warning still copies the reply";

    answer = STATUS_INVALID_PARAMETER;
    memset(output, '-', 8);
    iosb->Status = 12345;
    EXPECT_EQ(Control(handle, kBuffered, UserText("hello"), 6, output, 8, iosb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(std::string(output, 8), "--------") << "an error copies nothing";
    EXPECT_EQ(iosb->Status, 12345) << "an error completed without pending leaves the status block alone";
}

TEST_F(RequestTest, DirectOutputIsASecondMappingOfTheCallersPagesAndNeitherPassesRawPointers)
{
    void *seenInput = nullptr, *seenOutput = nullptr, *systemAddress = nullptr;
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        auto *stack = IoGetCurrentIrpStackLocation(irp);
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        if (code == kNeither) {
            seenInput = stack->Parameters.DeviceIoControl.Type3InputBuffer;
            seenOutput = irp->UserBuffer;
            return iotest::Complete(irp, STATUS_SUCCESS);
        }
        EXPECT_STREQ(static_cast<char *>(irp->AssociatedIrp.SystemBuffer), "in") << "direct input is buffered";
        auto *mapped = static_cast<char *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        systemAddress = mapped;
        EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), 16u);
        if (code == kOutDirect)
            memcpy(mapped, "written-through!", 16);
        return iotest::Complete(irp, STATUS_SUCCESS, 16);
    };
    HANDLE handle;
    ASSERT_EQ(process->Open("\\??\\IoTest", GENERIC_READ, &handle), STATUS_SUCCESS);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    char *output = static_cast<char *>(process->Alloc(16));
    ASSERT_EQ(Control(handle, kOutDirect, UserText("in"), 3, output, 16, iosb), STATUS_SUCCESS);
    EXPECT_EQ(std::string(output, 16), "written-through!");
    EXPECT_NE(systemAddress, (void *)output) << "the driver wrote through its own mapping";
    ASSERT_EQ(Control(handle, kInDirect, UserText("in"), 3, output, 16, iosb), STATUS_SUCCESS);

    char *input = UserText("raw");
    ASSERT_EQ(Control(handle, kNeither, input, 4, output, 16, iosb), STATUS_SUCCESS);
    EXPECT_EQ(seenInput, (void *)input);
    EXPECT_EQ(seenOutput, (void *)output);
}

TEST_F(RequestTest, UserBuffersMustBeInUserSpaceAndAccessBitsNeedTheHandlesAccess)
{
    HANDLE handle;
    ASSERT_EQ(process->Open("\\??\\IoTest", GENERIC_READ, &handle), STATUS_SUCCESS);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    char kernelBuffer[8] = {};
    EXPECT_EQ(Control(handle, kBuffered, kernelBuffer, 8, nullptr, 0, iosb), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Control(handle, kOutDirect, nullptr, 0, kernelBuffer, 8, iosb), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Control(handle, kNeedsWrite, nullptr, 0, nullptr, 0, iosb), STATUS_ACCESS_DENIED);
    int controls = 0;
    for (UCHAR major : driver().seen)
        controls += major == IRP_MJ_DEVICE_CONTROL;
    EXPECT_EQ(controls, 0);

    iotest::AsUser(*process, [&] { return NtClose(handle); });
    EXPECT_EQ(Control(handle, kBuffered, nullptr, 0, nullptr, 0, iosb), STATUS_INVALID_HANDLE);
}

/*
 * Request IRPs are recycled: whatever a driver left in one (fields, stack locations,
 * a completion routine) must not reach the next request, on a device stack of any
 * depth, on one thread or on several at once; and each IRP still leads back to its
 * requestor.
 */
TEST_F(RequestTest, EveryRequestGetsAFreshIrpWhateverTheStackDepthAndThreads)
{
    std::atomic<int> stale{0}, foreign{0};
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT device, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        bool fresh = irp->StackCount == device->StackSize && irp->CurrentLocation == device->StackSize &&
                     irp->IoStatus.Information == 0 && irp->Cancel == FALSE && irp->CancelRoutine == nullptr &&
                     irp->Tail.Overlay.DriverContext[0] == nullptr && stack->CompletionRoutine == nullptr &&
                     stack->Context == nullptr && stack->Control == 0 && irp->MdlAddress == nullptr;
        auto *first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
        for (PIO_STACK_LOCATION below = first; fresh && below < stack; ++below)
            fresh = below->MajorFunction == 0 && below->CompletionRoutine == nullptr;
        stale += !fresh;
        foreign += (void *)IoGetRequestorProcess(irp) != process->process();
        // Leave marks behind for the IRP's next user to trip over.
        irp->Tail.Overlay.DriverContext[0] = irp;
        stack->Context = irp;
        for (PIO_STACK_LOCATION below = first; below < stack; ++below)
            below->MajorFunction = IRP_MJ_WRITE;
        return iotest::Complete(irp, STATUS_SUCCESS, 3);
    };
    HANDLE handle;
    ASSERT_EQ(process->Open("\\??\\IoTest", GENERIC_READ, &handle), STATUS_SUCCESS);
    for (CCHAR depth : {1, 2, 8, 9, 12, 3}) {
        driver().device->StackSize = depth;
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&] {
                auto *iosb = process->New<IO_STATUS_BLOCK>();
                for (int i = 0; i < 40; ++i)
                    EXPECT_EQ(Control(handle, kNeither, nullptr, 0, nullptr, 0, iosb), STATUS_SUCCESS);
                EXPECT_EQ(iosb->Information, 3u);
            });
        for (std::thread &thread : threads)
            thread.join();
    }
    driver().device->StackSize = 1;
    EXPECT_EQ(stale.load(), 0);
    EXPECT_EQ(foreign.load(), 0);
}

TEST_F(RequestTest, SynchronousFileObjectWaitsForARequestCompletedOnAnotherThread)
{
    std::thread completer;
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        completer = std::thread([irp] {
            usleep(20000);
            strcpy(static_cast<char *>(irp->AssociatedIrp.SystemBuffer), "late");
            iotest::Complete(irp, STATUS_SUCCESS, 5);
        });
        return (NTSTATUS)STATUS_PENDING;
    };
    HANDLE handle;
    ASSERT_EQ(process->Open("\\??\\IoTest", GENERIC_READ, &handle), STATUS_SUCCESS);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    char *output = static_cast<char *>(process->Alloc(8));
    EXPECT_EQ(Control(handle, kBuffered, nullptr, 0, output, 8, iosb), STATUS_SUCCESS);
    EXPECT_STREQ(output, "late");
    completer.join();
}

TEST_F(RequestTest, AsynchronousFileObjectReturnsPendingAndSignalsItsEvent)
{
    PIRP held = nullptr;
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return (NTSTATUS)STATUS_PENDING;
    };
    HANDLE handle;
    ASSERT_EQ(process->Open("\\??\\IoTest", GENERIC_READ, &handle, 0), STATUS_SUCCESS);
    auto *eventHandle = process->New<HANDLE>();
    ASSERT_EQ(iotest::AsUser(*process, [&] {
                  return NtCreateEvent(eventHandle, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE);
              }),
              STATUS_SUCCESS);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    char *output = static_cast<char *>(process->Alloc(8));
    EXPECT_EQ(Control(handle, kBuffered, nullptr, 0, output, 8, iosb, *eventHandle), STATUS_PENDING);
    ASSERT_NE(held, nullptr);
    auto *zero = process->New<LARGE_INTEGER>();
    zero->QuadPart = 0;
    EXPECT_EQ(iotest::AsUser(*process, [&] { return NtWaitForSingleObject(*eventHandle, FALSE, zero); }),
              STATUS_TIMEOUT);

    strcpy(static_cast<char *>(held->AssociatedIrp.SystemBuffer), "done");
    iotest::Complete(held, STATUS_SUCCESS, 5);
    EXPECT_EQ(iotest::AsUser(*process, [&] { return NtWaitForSingleObject(*eventHandle, FALSE, nullptr); }),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb->Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb->Information, 5u);
    EXPECT_STREQ(output, "done");
}

struct RoutineTrace {
    KEVENT event;
    int calls = 0;
};

NTSTATUS NTAPI StopCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto *trace = static_cast<RoutineTrace *>(context);
    trace->calls++;
    KeSetEvent(&trace->event, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(RequestTest, CompletionRoutineThatStopsCompletionLetsTheSenderFinishIt)
{
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        memcpy(irp->AssociatedIrp.SystemBuffer, "reply", 6);
        return iotest::Complete(irp, STATUS_SUCCESS, 6);
    };
    RoutineTrace trace;
    KeInitializeEvent(&trace.event, NotificationEvent, FALSE);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    char reply[8] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(kBuffered, driver().device, nullptr, 0, reply, sizeof(reply), FALSE,
                                             &done, &iosb);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, StopCompletion, &trace, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(driver().device, irp), STATUS_SUCCESS);
    EXPECT_EQ(trace.calls, 1);
    EXPECT_EQ(KeReadStateEvent(&done), 0) << "completion stopped before the I/O manager finished it";
    EXPECT_EQ(reply[0], 0);
    // The sender completes it again; this time it is finished normally.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(KeReadStateEvent(&done), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_STREQ(reply, "reply");
}

VOID NTAPI CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    iotest::Complete(irp, STATUS_CANCELLED);
}

TEST_F(RequestTest, CancellingAPendingRequestRunsItsCancelRoutine)
{
    PIRP held = nullptr;
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelHeld);
        held = irp;
        return (NTSTATUS)STATUS_PENDING;
    };
    HANDLE handle;
    ASSERT_EQ(process->Open("\\??\\IoTest", GENERIC_READ, &handle, 0), STATUS_SUCCESS);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    iosb->Status = 12345;
    EXPECT_EQ(Control(handle, kBuffered, nullptr, 0, nullptr, 0, iosb), STATUS_PENDING);
    EXPECT_TRUE(IoCancelIrp(held));
    EXPECT_EQ(iosb->Status, STATUS_CANCELLED);
}

TEST_F(RequestTest, ProcessExitCancelsItsRequestsAndClosesItsHandles)
{
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelHeld);
        return (NTSTATUS)STATUS_PENDING;
    };
    HANDLE handle;
    ASSERT_EQ(process->Open("\\??\\IoTest", GENERIC_READ, &handle, 0), STATUS_SUCCESS);
    ASSERT_EQ(process->Open("\\??\\IoTest", GENERIC_READ, &handle, 0), STATUS_SUCCESS);
    auto *iosb = process->New<IO_STATUS_BLOCK>();
    EXPECT_EQ(Control(handle, kBuffered, nullptr, 0, nullptr, 0, iosb), STATUS_PENDING);
    EXPECT_EQ(machine::ProcessHandleCount(process->process()), 2u);
    machine::TerminateProcess(process->process());
    EXPECT_EQ(iosb->Status, STATUS_CANCELLED) << "the pending request was cancelled";
    EXPECT_EQ(driver().cleanups, 2);
    EXPECT_EQ(driver().closes, 2);
    EXPECT_EQ(machine::ProcessHandleCount(process->process()), 0u);
}

} // namespace

namespace {

struct CancelTrace {
    int calls = 0;
};

NTSTATUS NTAPI CountAndStop(PDEVICE_OBJECT, PIRP, PVOID context)
{
    static_cast<CancelTrace *>(context)->calls++;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI CancelWithSuccess(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    iotest::Complete(irp, STATUS_SUCCESS); /* a driver may finish a cancelled request normally */
}

TEST_F(IoTest, ACompletionRoutineForCancelOnlyRunsForACancelledRequest)
{
    PIRP held = nullptr;
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelWithSuccess);
        held = irp;
        return (NTSTATUS)STATUS_PENDING;
    };
    for (bool cancel : {false, true}) {
        CancelTrace trace;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(kNeither, driver().device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
        IoSetCompletionRoutine(irp, CountAndStop, &trace, FALSE, FALSE, TRUE);
        ASSERT_EQ(IoCallDriver(driver().device, irp), STATUS_PENDING);
        if (cancel) {
            EXPECT_TRUE(IoCancelIrp(irp)); /* completed with success, but cancelled */
            EXPECT_EQ(trace.calls, 1);
            IoCompleteRequest(irp, IO_NO_INCREMENT); /* the routine stopped it: finish it */
        } else {
            IoSetCancelRoutine(held, nullptr);
            iotest::Complete(held, STATUS_SUCCESS);
            EXPECT_EQ(trace.calls, 0) << "the routine asked only for cancelled requests";
        }
        EXPECT_EQ(KeReadStateEvent(&event), 1);
    }
}

TEST_F(IoTest, IrpsBuiltForLowerDriversCarryTheirBuffersAndReportThroughEventAndStatusBlock)
{
    driver().hooks[IRP_MJ_READ] = [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(stack->Parameters.Read.ByteOffset.QuadPart, 4096);
        EXPECT_EQ(irp->RequestorMode, KernelMode);
        memcpy(irp->UserBuffer, "sector", 6);
        return iotest::Complete(irp, STATUS_SUCCESS, 6);
    };
    char buffer[8] = {};
    LARGE_INTEGER offset;
    offset.QuadPart = 4096;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, driver().device, buffer, 6, &offset, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(driver().device, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(std::string(buffer, 6), "sector");

    // The asynchronous kind is its builder's: the routine frees it and stops completion.
    irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, driver().device, buffer, 6, &offset, &iosb);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID) {
            IoFreeIrp(done);
            return (NTSTATUS)STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(driver().device, irp), STATUS_SUCCESS);
}

} // namespace
