/*
 * The control device \Device\Vorel and its link \DosDevices\Vorel: the one door
 * through which management requests arrive.
 */
#include "vorel.h"

/*
 * The control device's descriptor: full access for SYSTEM and Administrators,
 * read for Users. The caller gate decides further who may change state.
 */
#define CONTROL_DEVICE_SDDL L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)"

/*
 * CreateControlDevice: PASSIVE_LEVEL, at start-up. Creates the device and its link.
 * Returns the system's status; on failure neither exists.
 *
 * The device is secure-open: without it the descriptor would guard only opens of
 * the device itself, and a path below it (\\.\Vorel\x) would pass unchecked.
 */
NTSTATUS CreateControlDevice(VOID)
{
    UNICODE_STRING deviceName = RTL_CONSTANT_STRING(VOREL_CONTROL_DEVICE_NAME);
    UNICODE_STRING linkName = RTL_CONSTANT_STRING(VOREL_CONTROL_LINK_NAME);
    UNICODE_STRING sddl = RTL_CONSTANT_STRING(CONTROL_DEVICE_SDDL);

    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDeviceSecure(VorelData.DriverObject, 0, &deviceName, FILE_DEVICE_DISK_FILE_SYSTEM,
                                           FILE_DEVICE_SECURE_OPEN, FALSE, &sddl, NULL, &device);
    if (!NT_SUCCESS(status))
        return status;
    device->Flags |= DO_BUFFERED_IO;

    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    WritePointerRelease((PVOID volatile *)&VorelData.ControlDevice, device);
    VorelData.LinkCreated = TRUE;
    return STATUS_SUCCESS;
}

/*
 * IsControlDevice: whether a request's device is the control device. Any IRQL.
 * Prepare-unload may remove the device while requests that arrived on it still
 * run; they then no longer count it as the control device.
 */
BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject != NULL && DeviceObject == ReadPointerAcquire((PVOID const volatile *)&VorelData.ControlDevice);
}

/*
 * RemoveControlDevice: PASSIVE_LEVEL, at unload, prepare-unload (under the
 * service control mutex) or a failed start-up. Undoes the registrations, the
 * link and the device, each only when it is there, so it may run more than once.
 * A request in progress on the device keeps its object (its file object holds a
 * reference) until that request is completed.
 */
VOID RemoveControlDevice(VOID)
{
    PDEVICE_OBJECT device = VorelData.ControlDevice;

    if (VorelData.FileSystemRegistered) {
        IoUnregisterFileSystem(device);
        VorelData.FileSystemRegistered = FALSE;
    }
    if (VorelData.ShutdownRegistered) {
        IoUnregisterShutdownNotification(device);
        VorelData.ShutdownRegistered = FALSE;
    }
    if (VorelData.LinkCreated) {
        UNICODE_STRING linkName = RTL_CONSTANT_STRING(VOREL_CONTROL_LINK_NAME);
        IoDeleteSymbolicLink(&linkName);
        VorelData.LinkCreated = FALSE;
    }
    if (device == NULL)
        return;
    PDEVICE_OBJECT below = IoGetLowerDeviceObject(device);
    if (below != NULL) {
        IoDetachDevice(below);
        DereferenceObject(below);
    }
    WritePointerRelease((PVOID volatile *)&VorelData.ControlDevice, NULL);
    IoDeleteDevice(device);
}
