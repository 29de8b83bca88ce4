/*
 * Volume parameter blocks and the mount path.
 *
 * A device of a mountable type (disk, CD-ROM, virtual disk, tape) has a VPB. The
 * first open that needs the volume (anything but a direct open of the device
 * itself) finds the VPB not mounted and offers the volume to the registered file
 * systems of the device's class, one at a time, most recently registered first,
 * each with IRP_MJ_FILE_SYSTEM_CONTROL / IRP_MN_MOUNT_VOLUME. Mounts of one device
 * are serialised on its DeviceLock event, so two opens never mount twice. The file
 * system that recognises the volume fills the VPB (DeviceObject, serial number,
 * label); the I/O manager marks it mounted. No file system: the open fails with
 * STATUS_UNRECOGNIZED_VOLUME (this machine has no RAW file system to fall back on).
 *
 * Every file object opened through a mounted VPB holds one count of its
 * ReferenceCount, taken and dropped under the VPB spin lock; a VPB that its file
 * system swapped out of the device (so the device can be mounted again) is freed by
 * the I/O manager when its last file object goes, as Windows does.
 */
#include "io/internal.h"

#include "ke/dispatcher.h"

#include "machine.h"

#include <km/bugcheck.h>

namespace io {
namespace {

struct VpbLock {
    KSPIN_LOCK lock = 0;
};

VpbLock &Lock()
{
    static VpbLock lock;
    return lock;
}

void BootVpbLock()
{
    KeInitializeSpinLock(&Lock().lock);
}

const bool registered = [] {
    machine::RegisterComponent({"vpb", machine::kOrderIo, BootVpbLock, nullptr, nullptr});
    return true;
}();

/* File systems of the class that mounts volumes of this device type. */
DEVICE_TYPE FileSystemTypeFor(DEVICE_TYPE type)
{
    switch (type) {
    case FILE_DEVICE_CD_ROM:
        return FILE_DEVICE_CD_ROM_FILE_SYSTEM;
    case 0x1F: /* FILE_DEVICE_TAPE */
        return 0x20; /* FILE_DEVICE_TAPE_FILE_SYSTEM */
    default:
        return FILE_DEVICE_DISK_FILE_SYSTEM;
    }
}

/* Errors a user's action causes (no media, a write-protected one): the mount stops there. */
bool IsUserInducedError(NTSTATUS status)
{
    return status == STATUS_DEVICE_NOT_READY || status == STATUS_NO_MEDIA_IN_DEVICE ||
           status == STATUS_VERIFY_REQUIRED || status == STATUS_WRONG_VOLUME ||
           status == STATUS_MEDIA_WRITE_PROTECTED || status == STATUS_IO_TIMEOUT ||
           status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_UNRECOGNIZED_MEDIA;
}

NTSTATUS OfferVolume(PDEVICE_OBJECT fileSystem, PDEVICE_OBJECT realDevice)
{
    PIO_STACK_LOCATION stack;
    Request *request =
        NewRequest(fileSystem, nullptr, KernelMode, IRP_MJ_FILE_SYSTEM_CONTROL, IRP_MN_MOUNT_VOLUME, &stack);
    if (request == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    request->irp->Flags |= IRP_MOUNT_COMPLETION | IRP_SYNCHRONOUS_PAGING_IO;
    stack->Parameters.MountVolume.Vpb = realDevice->Vpb;
    stack->Parameters.MountVolume.DeviceObject = TopOfStack(realDevice);
    return CallDriverAndWait(fileSystem, request);
}

/* Mounts a file system on the device unless one is mounted already (under its mount lock). */
NTSTATUS MountVolume(PDEVICE_OBJECT realDevice)
{
    KeWaitForSingleObject(&realDevice->DeviceLock, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = STATUS_UNRECOGNIZED_VOLUME;
    if (realDevice->Vpb->Flags & VPB_MOUNTED) {
        status = STATUS_SUCCESS;
    } else {
        std::vector<PDEVICE_OBJECT> fileSystems = FileSystemsFor(FileSystemTypeFor(realDevice->DeviceType));
        bool decided = false;
        for (PDEVICE_OBJECT fileSystem : fileSystems) {
            if (!decided) {
                NTSTATUS offered = OfferVolume(fileSystem, realDevice);
                if (NT_SUCCESS(offered)) {
                    KIRQL irql;
                    IoAcquireVpbSpinLock(&irql);
                    PVPB vpb = realDevice->Vpb;
                    if (vpb->DeviceObject == nullptr) {
                        IoReleaseVpbSpinLock(irql);
                        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, VERIFIER_IO_MOUNT_WITHOUT_DEVICE,
                                     (ULONG_PTR)fileSystem, (ULONG_PTR)vpb, 0);
                    }
                    vpb->Flags |= VPB_MOUNTED;
                    IoReleaseVpbSpinLock(irql);
                    status = STATUS_SUCCESS;
                    decided = true;
                } else if (offered != STATUS_UNRECOGNIZED_VOLUME && IsUserInducedError(offered)) {
                    status = offered;
                    decided = true;
                }
            }
            ob::Dereference(fileSystem);
        }
    }
    KeSetEvent(&realDevice->DeviceLock, 0, FALSE);
    return status;
}

} // namespace

NTSTATUS ReferenceMountedVpb(PDEVICE_OBJECT realDevice, PVPB *result)
{
    for (int attempt = 0;; ++attempt) {
        KIRQL irql;
        IoAcquireVpbSpinLock(&irql);
        PVPB vpb = realDevice->Vpb;
        if (vpb->Flags & VPB_MOUNTED) {
            NTSTATUS status = STATUS_SUCCESS;
            if (vpb->Flags & VPB_LOCKED)
                status = STATUS_ACCESS_DENIED; /* the volume is locked for its locker alone */
            else if (vpb->Flags & VPB_REMOVE_PENDING)
                status = STATUS_NO_SUCH_DEVICE;
            else
                vpb->ReferenceCount++;
            IoReleaseVpbSpinLock(irql);
            *result = vpb;
            return status;
        }
        IoReleaseVpbSpinLock(irql);
        // A mount that succeeded may be dismounted again before we look; give up after a few rounds.
        if (attempt == 8)
            return STATUS_UNRECOGNIZED_VOLUME;
        NTSTATUS status = MountVolume(realDevice);
        if (!NT_SUCCESS(status))
            return status;
    }
}

void DereferenceVpb(PVPB vpb)
{
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    ULONG left = --vpb->ReferenceCount;
    bool free = left == 0 && vpb->RealDevice->Vpb != vpb && !(vpb->Flags & VPB_PERSISTENT);
    IoReleaseVpbSpinLock(irql);
    if (free)
        ExFreePool(vpb);
}

} // namespace io

extern "C" {

NTKERNELAPI VOID NTAPI IoAcquireVpbSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&io::Lock().lock, Irql);
}

NTKERNELAPI VOID NTAPI IoReleaseVpbSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&io::Lock().lock, Irql);
}

} // extern "C"
