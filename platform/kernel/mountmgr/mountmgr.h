/*
 * The stand-in mount manager: the driver behind \Device\MountPointManager. It knows
 * the volumes that announced themselves (device name, unique ID, their links), gives
 * them drive letters from the MountedDevices database in the registry, and keeps the
 * \GLOBAL??\X: links. The machine's own drives (C:, VOREL_HOST_DRIVES, foreign letters
 * tests register) are volumes it knows from boot, on devices of its own.
 *
 * Synchronisation: one lock, the mount manager's device lock (a synchronization
 * event, waited on at PASSIVE_LEVEL), guards the table of volumes and every change of
 * links and database values, as the Windows mount manager's device lock does. Unlike
 * Windows it is never held while a volume's device is asked anything (its identity
 * before, IOCTL_MOUNTDEV_LINK_CREATED/_DELETED after), so a device that calls back into
 * the mount manager cannot deadlock; the database is read under it, so the letter is
 * chosen from the database as it is at that moment. It is never held while the
 * observer runs either: letter changes are collected under the lock and reported after
 * it is dropped. The registry's and the object namespace's own locks nest inside it.
 */
#pragma once

#include <ntifs.h>
#include <mountdev.h>

#include <string>
#include <vector>

namespace mountmgr {

/* A volume the mount manager knows. */
struct MountedVolume {
    std::u16string deviceName;      /* "\Device\..." as the device reported it */
    std::vector<UCHAR> uniqueId;
    std::vector<std::u16string> links; /* "\DosDevices\X:" names, drive letters first */
    bool machineOwned = false;      /* a drive of the machine: its links and device are host memory */
};

/* A drive letter given or taken, for the observer. */
struct LetterChange {
    char16_t letter;
    std::u16string deviceName;
    bool arrived;
};

/* The selection of a query or delete (empty fields select everything). */
struct PointSelection {
    std::u16string link;
    std::vector<UCHAR> uniqueId;
    std::u16string deviceName;
    bool hasLink = false, hasId = false, hasDevice = false;
};

/* One point of a reply: a link of a volume. */
struct Point {
    std::u16string link;
    std::vector<UCHAR> uniqueId;
    std::u16string deviceName;
};

/* ---- The lock and the table (mountmgr.cpp) ---------------------------------------------- */

void AcquireDeviceLock();
/* Drops the lock, then reports the letter changes to the observer. */
void ReleaseDeviceLock(std::vector<LetterChange> *changes);
/* The table; the device lock is held. */
std::vector<MountedVolume> &Volumes();
MountedVolume *FindVolumeByDevice(const std::u16string &deviceName);

/* ---- Names --------------------------------------------------------------------------------- */

/* "\DosDevices\X:" (or "\??\X:") with X in A..Z: the letter; 0 otherwise. */
char16_t DriveLetterOf(const std::u16string &link);
std::u16string DriveLetterLink(char16_t letter);       /* "\DosDevices\X:" */
std::u16string NamespacePath(char16_t letter);         /* "\GLOBAL??\X:" */
bool SameName(const std::u16string &a, const std::u16string &b); /* case-insensitive */
/* Where a link lives in the namespace: "\DosDevices\N" and "\??\N" are "\GLOBAL??\N"; "" otherwise. */
std::u16string NamespacePathOf(const std::u16string &link);
/* Whether \GLOBAL??\X: exists now (any object). */
bool LetterTaken(char16_t letter);

/* ---- Links (mountmgr.cpp) --------------------------------------------------------------------
 * Adds a link ("\DosDevices\X:" or "\??\Volume{...}") to a known volume: the namespace
 * link, the database value, the table entry, and for a letter a letter change.
 * STATUS_OBJECT_NAME_COLLISION when the name exists. Device lock held. */
NTSTATUS AddLink(MountedVolume *volume, const std::u16string &link, std::vector<LetterChange> *changes);
/* Removes a link of a volume: the namespace link, the database value and the table entry.
 * The link is taken by value: callers pass the volume's own entry, which this erases.
 * Device lock held. */
void RemoveLink(MountedVolume *volume, std::u16string link, std::vector<LetterChange> *changes);

/* ---- The MountedDevices database (database.cpp) ------------------------------------------- */

struct DatabaseValue {
    std::u16string name;
    std::vector<UCHAR> data;
};
/* Every value of \Registry\Machine\System\MountedDevices, as it is now. */
NTSTATUS ReadDatabase(std::vector<DatabaseValue> *values);
NTSTATUS WriteDatabaseValue(const std::u16string &name, const std::vector<UCHAR> &data);
NTSTATUS DeleteDatabaseValue(const std::u16string &name);

/* ---- Requests to a volume's device (arrival.cpp) -------------------------------------------- */

/* Sends IOCTL_MOUNTDEV_LINK_CREATED or _LINK_DELETED for a link to the named device, when it opens. */
void TellDeviceOfLink(const std::u16string &deviceName, const std::u16string &link, bool created);

/* ---- Requests (arrival.cpp, points.cpp) ----------------------------------------------------- */

NTSTATUS VolumeArrival(PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS QueryPoints(PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS DeletePoints(PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS DeletePointsDatabaseOnly(PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS CreatePoint(PIRP irp, PIO_STACK_LOCATION stack);

} // namespace mountmgr
