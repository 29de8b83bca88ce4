/*
 * Fixtures for the driver core's tests: the driver loaded on a machine whose
 * configuration a test chooses, a file-system device with a VCB in its extension,
 * and requests built by hand.
 */
#pragma once

#include "driver_test.h"
#include "system_threads.h"
#include "user_process.h"

#include <functional>
#include <string>

/* The driver loaded for each test, and its driver object. */
/* A processor core of a machine to boot: its efficiency class, logical processors and group. */
inline machine::CoreDescription CpuCore(uint8_t efficiencyClass, uint8_t logical = 1, uint16_t group = 0)
{
    machine::CoreDescription core;
    core.efficiencyClass = efficiencyClass;
    core.logicalProcessors = logical;
    core.group = group;
    return core;
}

class CoreTest : public LoadedDriverTest {
protected:
    PDRIVER_OBJECT DriverObject() { return static_cast<PDRIVER_OBJECT>(machine::DriverObject(kService)); }
};

/* A file-system device of the driver whose extension holds a VCB ready for admission. */
class TestVolume {
public:
    TestVolume(const VOREL_DIAGNOSTICS *diagnostics, PDRIVER_OBJECT driver) : d_(diagnostics)
    {
        ULONG size = (ULONG)VCB_EXTENSION_SIZE(ExSizeOfRundownProtectionCacheAware());
        NTSTATUS status = IoCreateDevice(driver, size, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device);
        if (!NT_SUCCESS(status))
            return;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        vcb = static_cast<PVCB>(device->DeviceExtension);
        d_->InitializeVcbAdmission(vcb);
    }
    ~TestVolume()
    {
        if (device == nullptr)
            return;
        d_->WorkerQueueStop(&vcb->WorkerQueue);
        d_->UninitializeVcbAdmission(vcb);
        IoDeleteDevice(device);
    }
    TestVolume(const TestVolume &) = delete;
    TestVolume &operator=(const TestVolume &) = delete;

    PDEVICE_OBJECT device = nullptr;
    PVCB vcb = nullptr;

private:
    const VOREL_DIAGNOSTICS *d_;
};

/* A node as the worker queue sees it: signature and reference count. */
struct TestNode {
    TestNode()
    {
        RtlZeroMemory(&fcb, sizeof(fcb));
        fcb.Signature = FCB_SIGNATURE;
        fcb.ReferenceCount = 1;
    }
    FCB fcb;
};

/*
 * A request built by hand, as a read or write handler would hold it: one stack
 * location with the major function, and a completion routine that records the
 * outcome (and may run a hook first, in the completing thread) and keeps the IRP
 * for the test to free.
 */
class TestRequest {
public:
    explicit TestRequest(UCHAR major)
    {
        KeInitializeEvent(&completed, NotificationEvent, FALSE);
        irp = IoAllocateIrp(2, FALSE);
        IoSetCompletionRoutine(irp, OnComplete, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->MajorFunction = major;
    }
    ~TestRequest()
    {
        if (irp != nullptr)
            IoFreeIrp(irp);
    }
    TestRequest(const TestRequest &) = delete;
    TestRequest &operator=(const TestRequest &) = delete;

    bool WaitCompleted(long long milliseconds = 10000)
    {
        LARGE_INTEGER timeout = RelativeMs(milliseconds);
        return KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
    }

    PIRP irp = nullptr;
    KEVENT completed;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = ~(ULONG_PTR)0;
    PKTHREAD completedBy = nullptr;
    bool pendingReturned = false;       /* the request was marked pending before it completed */
    std::function<void()> onComplete;

private:
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto *self = static_cast<TestRequest *>(context);
        self->status = irp->IoStatus.Status;
        self->information = irp->IoStatus.Information;
        self->completedBy = KeGetCurrentThread();
        self->pendingReturned = irp->PendingReturned;
        if (self->onComplete)
            self->onComplete();
        KeSetEvent(&self->completed, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

/* Sends a device-control request from kernel mode to a device; returns its status. */
NTSTATUS KernelDeviceControl(PDEVICE_OBJECT device, ULONG code, const void *input, ULONG inputLength, void *output,
                             ULONG outputLength, ULONG_PTR *information = nullptr);

/* The control device, opened by a user process; requests carry their buffers in its user space. */
class ControlClient {
public:
    explicit ControlClient(uint32_t uid) : process_(uid) {}
    ~ControlClient();
    NTSTATUS Open(const char *path = "\\??\\Vorel", ACCESS_MASK access = GENERIC_READ);
    /* One request: the input is copied into user space, the reply out of it. */
    NTSTATUS Send(ULONG code, const void *input, ULONG inputLength, void *output, ULONG outputLength,
                  ULONG_PTR *information = nullptr);
    support::UserProcess &process() { return process_; }

private:
    support::UserProcess process_;
    HANDLE handle_ = nullptr;
};

/* Reads a REG_DWORD under the driver's service key; false when missing. */
bool ReadServiceDword(const char *subkey, const char *value, ULONG *data);
/* Writes a value under the driver's service key (creating the key). */
void WriteServiceValue(const char *subkey, const char *value, ULONG type, const void *data, ULONG size);
