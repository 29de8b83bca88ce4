/*
 * The end of a driver's entry routine: the devices it made are made ready to
 * open; a device a thread of the driver makes meanwhile is left for that thread
 * to ready, and the loader's walk of the device list does not race its insertion.
 */
#include "machine_test.h"

#include <ntifs.h>

namespace {

struct StartingDriver {
    PDEVICE_OBJECT entryDevice = nullptr;
    PDEVICE_OBJECT threadDevice = nullptr;
    HANDLE thread = nullptr;
    KEVENT made;
} starting;

VOID NTAPI MakeDevice(PVOID)
{
    IoCreateDevice(starting.entryDevice->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &starting.threadDevice);
    KeSetEvent(&starting.made, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS NTAPI StartingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    KeInitializeEvent(&starting.made, NotificationEvent, FALSE);
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &starting.entryDevice);
    if (NT_SUCCESS(status))
        status = PsCreateSystemThread(&starting.thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, MakeDevice,
                                      nullptr);
    driver->DriverUnload = [](PDRIVER_OBJECT) {
        ZwWaitForSingleObject(starting.thread, FALSE, nullptr);
        ZwClose(starting.thread);
        if (starting.threadDevice != nullptr)
            IoDeleteDevice(starting.threadDevice);
        IoDeleteDevice(starting.entryDevice);
    };
    return status;
}

} // namespace

TEST_F(MachineTest, DevicesOfTheEntryRoutineAreReadiedAndAThreadsDeviceIsLeftToIt)
{
    for (int round = 0; round < 20; ++round) {
        starting = StartingDriver();
        ASSERT_EQ(machine::LoadBuiltInDriver((void *)&StartingEntry, "starting"), STATUS_SUCCESS);
        EXPECT_FALSE(starting.entryDevice->Flags & DO_DEVICE_INITIALIZING);
        KeWaitForSingleObject(&starting.made, Executive, KernelMode, FALSE, nullptr);
        ASSERT_NE(starting.threadDevice, nullptr);
        EXPECT_TRUE(starting.threadDevice->Flags & DO_DEVICE_INITIALIZING) << "round " << round;
        ASSERT_EQ(machine::UnloadDriver("starting"), STATUS_SUCCESS);
    }
}
