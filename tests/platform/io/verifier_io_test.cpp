/*
 * The I/O verifier: a driver's dispatch must agree with its completion.
 */
#include "io_fixture.h"

namespace {

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

class IoVerifierDeathTest : public IoTest {
protected:
    NTSTATUS Send()
    {
        iotest::Name name("\\Device\\IoTest");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name.string, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        HANDLE handle;
        NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ | SYNCHRONIZE, &oa, &iosb, nullptr, 0, 0, FILE_OPEN,
                                       FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        if (!NT_SUCCESS(status))
            return status;
        status = ZwDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, kCode, nullptr, 0, nullptr, 0);
        ZwClose(handle);
        return status;
    }
};

TEST_F(IoVerifierDeathTest, ReturningAStatusOtherThanTheIrpsIsCaught)
{
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        iotest::Complete(irp, STATUS_SUCCESS);
        return (NTSTATUS)STATUS_UNSUCCESSFUL;
    };
    EXPECT_BUGCHECK(Send(), DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                    {VERIFIER_IO_STATUS_MISMATCH, (uint64_t)(ULONG)STATUS_UNSUCCESSFUL, (uint64_t)STATUS_SUCCESS});
}

TEST_F(IoVerifierDeathTest, PendingWithoutMarkingIsCaught)
{
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        iotest::Complete(irp, STATUS_SUCCESS);
        return (NTSTATUS)STATUS_PENDING;
    };
    EXPECT_BUGCHECK(Send(), DRIVER_VERIFIER_IOMANAGER_VIOLATION, {VERIFIER_IO_PENDING_NOT_MARKED});
}

TEST_F(IoVerifierDeathTest, MarkedPendingButReturnedSuccessIsCaught)
{
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        return iotest::Complete(irp, STATUS_SUCCESS);
    };
    EXPECT_BUGCHECK(Send(), DRIVER_VERIFIER_IOMANAGER_VIOLATION, {VERIFIER_IO_MARKED_PENDING_NOT_RETURNED});
}

TEST_F(IoVerifierDeathTest, CompletingTwiceIsCaught)
{
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        iotest::Complete(irp, STATUS_SUCCESS);
        iotest::Complete(irp, STATUS_SUCCESS);
        return (NTSTATUS)STATUS_PENDING;
    };
    EXPECT_DEATH(Send(), "BUGCHECK 0x00000044|use-after-poison");
}

TEST_F(IoVerifierDeathTest, CompletingWithStatusPendingOrWithACancelRoutineSetIsCaught)
{
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        return iotest::Complete(irp, STATUS_PENDING);
    };
    EXPECT_BUGCHECK(Send(), DRIVER_VERIFIER_IOMANAGER_VIOLATION, {0x06, (uint64_t)STATUS_PENDING});
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
        return iotest::Complete(irp, STATUS_SUCCESS);
    };
    EXPECT_BUGCHECK(Send(), DRIVER_VERIFIER_IOMANAGER_VIOLATION, {0x07});
}

TEST_F(IoVerifierDeathTest, ReturningWithALockHeldIsCaught)
{
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        return iotest::Complete(irp, STATUS_SUCCESS); /* completes with the lock held */
    };
    EXPECT_BUGCHECK(Send(), DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_LOCK_HELD_AT_EXIT});
}

} // namespace

namespace {

constexpr ULONG kStackCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, METHOD_NEITHER, FILE_ANY_ACCESS);

TEST_F(IoVerifierDeathTest, CompletingWithAResourceHeldIsAllowedButWithASpinLockHeldIsNot)
{
    static ERESOURCE resource;
    ExInitializeResourceLite(&resource);
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&resource, TRUE);
        NTSTATUS status = iotest::Complete(irp, STATUS_SUCCESS); /* as the lock and oplock packages do */
        ExReleaseResourceLite(&resource);
        KeLeaveCriticalRegion();
        return status;
    };
    EXPECT_EQ(Send(), STATUS_SUCCESS);
    ExDeleteResourceLite(&resource);
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    driver().hooks[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        iotest::Complete(irp, STATUS_SUCCESS);
        KeReleaseSpinLock(&lock, old);
        return (NTSTATUS)STATUS_SUCCESS;
    };
    EXPECT_BUGCHECK(Send(), DRIVER_VERIFIER_DETECTED_VIOLATION, {VERIFIER_LOCK_HELD_AT_EXIT});
}

/* An IRP a driver allocates itself, for the test device, with a completion routine. */
PIRP DriverIrp(PDEVICE_OBJECT device, PIO_COMPLETION_ROUTINE routine)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = kStackCode;
    IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    return irp;
}

NTSTATUS NTAPI LetCompletionGoOn(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI StopCompletion(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoVerifierDeathTest, ADriversOwnIrpMustBeStoppedByItsCompletionRoutineAndCompletedOnce)
{
    EXPECT_BUGCHECK(IoCallDriver(driver().device, DriverIrp(driver().device, LetCompletionGoOn)),
                    DRIVER_VERIFIER_IOMANAGER_VIOLATION, {VERIFIER_IO_DRIVER_IRP_NOT_STOPPED});
    PIRP irp = DriverIrp(driver().device, StopCompletion);
    EXPECT_EQ(IoCallDriver(driver().device, irp), STATUS_SUCCESS);
    EXPECT_BUGCHECK(IoCompleteRequest(irp, IO_NO_INCREMENT), MULTIPLE_IRP_COMPLETE_REQUESTS);
    IoFreeIrp(irp);
}

} // namespace
