/*
 * The machine's host file system: the driver behind the devices \Device\HostDisk<N>
 * that the mount manager puts on the machine's own drive letters (C: is the Linux
 * root, VOREL_HOST_DRIVES maps further letters onto host directories). Kernel code
 * opens, reads, writes, queries and flushes files on those drives through the native
 * calls; each open is a Linux file descriptor under the drive's directory.
 *
 * The drive device is its own volume (it has no VPB: the machine's devices live in
 * host memory, outside the drivers' audits, and take no mount): IRP_MJ_CREATE with a
 * remaining name reaches this driver directly.
 *
 * A drive reports sector size 512 unless a test sets another (machine::SetHostDriveSectorSize);
 * a drive whose directory is missing answers opens with STATUS_NO_MEDIA_IN_DEVICE until
 * the directory appears. Names that lead into the mount root are reparsed to the volume
 * of their letter (create.cpp); the fault injector sits where host data changes
 * (hostfile.cpp).
 *
 * Records: a Drive per device (its directory, sector size); a HostFile per Linux file
 * that is open (keyed by device and inode number: share access, delete pending, the
 * drive-relative name, whether its name still needs a directory flush, the undo log of
 * the fault injector); an Open per file object (its descriptor, its own name).
 *
 * Synchronisation: one lock (a host mutex, innermost of everything in the machine; no
 * kernel call is made under it) guards the drive table, every HostFile field and the
 * fault injector. Reads and writes run on the descriptor without it, except while the
 * injector is armed, when every counted operation runs under it so that its order is
 * the count's. A file object's CurrentByteOffset is the I/O manager's file-object lock's.
 */
#pragma once

#include <ntifs.h>

#include <string>

namespace hostfs {

/*
 * Makes the device of a drive letter's drive on a host directory ("/" for C:), named deviceName, owned
 * by the host file system. Boot or the mount manager's device lock.
 */
NTSTATUS CreateDriveDevice(char16_t letter, const std::u16string &deviceName, const std::string &directory, PDEVICE_OBJECT *device);
/* Forgets the drive of a device the mount manager is about to delete. */
void ForgetDriveDevice(PDEVICE_OBJECT device);

} // namespace hostfs
