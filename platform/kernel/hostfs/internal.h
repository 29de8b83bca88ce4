/*
 * The host file system's records and the routines its files share (see hostfs.h for
 * the design and the lock).
 */
#pragma once

#include "hostfs/hostfs.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace hostfs {

/* A drive: the directory its names live under. Fixed once made. */
struct Drive {
    PDEVICE_OBJECT device = nullptr;
    char16_t letter = 0;
    ULONG sectorSize = 512; /* reported; the device's SectorSize is enforced (512 for 0) */
    std::string directory; /* absolute, without a trailing '/' but for the root */
    std::atomic<int> directoryFd{-1}; /* O_PATH descriptor of the directory, once it exists (interlocked) */
    bool confined = false; /* names may not leave the directory, even through symlinks (all drives but C:) */
    std::string mountRoot; /* where the machine's volumes appear to Linux (VOREL_MOUNT_ROOT) */
};

/* A Linux file some file objects have open. Every field: the lock. */
struct HostFile {
    Drive *drive = nullptr;
    std::pair<dev_t, ino_t> key;
    std::string name;          /* drive-relative, '/'-separated, no leading '/' ("" = the drive's directory) */
    bool directory = false;
    SHARE_ACCESS share{};
    ULONG opens = 0;           /* file objects that hold it */
    ULONG handles = 0;         /* of those, the ones not yet cleaned up */
    bool deletePending = false;
    bool sparse = false;
    bool nameDirty = false;    /* created or renamed since its directory was last flushed */
};

/* A file object's open. */
struct Open {
    HostFile *file = nullptr;
    int fd = -1;               /* O_PATH when the open asked for neither reading nor writing */
    bool readable = false;
    bool writable = false;
    bool deleteOnClose = false;
};

std::mutex &Lock();

/* The drive of a device (null for a device that is not one). */
Drive *DriveOf(PDEVICE_OBJECT device);
/* The open of a file object (null for a direct open of the device). */
inline Open *OpenOf(PFILE_OBJECT file)
{
    return file != nullptr ? static_cast<Open *>(file->FsContext2) : nullptr;
}

/* The drive directory's descriptor (opened at first use: the directory may come after boot); -1 while missing. */
int DirectoryOf(Drive *drive);
/* The status for a Linux error. */
NTSTATUS StatusFromErrno(int error);
/* Completes the request with the status and returns it. */
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
/* 100-ns units since 1601 of a Linux time. */
LONGLONG WindowsTime(const struct timespec &time);
/* The sector size the drive enforces on unbuffered I/O. */
ULONG SectorOf(PDEVICE_OBJECT device);

/* ---- Host files (hostfile.cpp): the one place host data changes, seen by the fault injector. */
/* Writes length bytes at offset; STATUS_DISK_FULL when the disk cannot take them all. */
NTSTATUS WriteHostFile(HostFile *file, int fd, uint64_t offset, const void *data, size_t length);
/* Sets the file's size. */
NTSTATUS ResizeHostFile(HostFile *file, int fd, uint64_t size);
/* Zeroes a range inside the file (punching a hole where the file system can). */
NTSTATUS ZeroHostFile(HostFile *file, int fd, uint64_t offset, uint64_t length);
/* Makes the file's data (and, when its name changed, its directory entry) durable. */
NTSTATUS FlushHostFile(HostFile *file, int fd);
/* Opens a drive-relative name under the drive's directory ("" is the directory itself). */
int OpenBeneath(Drive *drive, const std::string &name, int flags, mode_t mode);

/* ---- Dispatch routines ------------------------------------------------------------------- */
NTSTATUS Create(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS Cleanup(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS Close(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS Read(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS Write(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS FlushBuffers(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS FileSystemControl(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS QueryInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS SetInformation(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS QueryVolumeInformation(PDEVICE_OBJECT device, PIRP irp);

/* Finds or makes the HostFile of an open descriptor (lock held); null when out of memory. */
HostFile *FindOrAddHostFile(Drive *drive, const struct ::stat &st, const std::string &name);
/* Drops a file object's hold on its HostFile (lock held): the last one frees it. */
void ReleaseHostFile(HostFile *file);

} // namespace hostfs
