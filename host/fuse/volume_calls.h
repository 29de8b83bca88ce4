/*
 * A volume as the FUSE bridge uses it: every operation a Linux request needs, made
 * of native calls (NtCreateFile, NtReadFile, ...) in the calling thread's current
 * process, with previous mode user, so the driver checks the caller's token exactly
 * as for a Windows program. The records of the native calls live in the process's
 * user space; nothing of Windows shows in this interface.
 *
 * The files (the only ones of the bridge that include the Windows headers):
 *   volume_calls.cpp   the call frame, opens and closes, attributes, security, volume size
 *   volume_names.cpp   unlink, rename, hard links, symbolic links, listings
 *   volume_data.cpp    read, write, sizes, times, flush, allocation, zeroing, ranges, clones
 *   volume_eas.cpp     extended attributes
 *
 * Node identifiers are the driver's 64-bit file identifiers; the root is 1. Handles
 * belong to the process that was current when they were opened and must be used and
 * closed in it. Every routine returns an NTSTATUS.
 */
#pragma once

#include "security_mode.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fusebridge {

using Status = int32_t;
using Handle = uint64_t; /* a handle value in the opening process's table; 0 = none */

constexpr uint64_t kRootNode = 1;

/* A symbolic link's target as the volume keeps it. */
struct LinkTarget {
    std::u16string substitute; /* "\??\C:\x\y" or "x\y" */
    std::u16string print;
    bool relative = false;
};

/* Times in 100-nanosecond units since 1601 (Windows' file times). */
struct NodeAttributes {
    uint64_t id = 0;
    uint64_t size = 0;
    uint64_t allocation = 0;
    uint32_t links = 0;
    uint32_t fileAttributes = 0;
    uint32_t reparseTag = 0;
    int64_t creationTime = 0, accessTime = 0, writeTime = 0, changeTime = 0;
    bool directory = false;
    bool symlink = false;
    bool ownershipKnown = false; /* false on a volume without per-file security */
    PosixOwnership ownership;
    LinkTarget link; /* a symbolic link's target */
};

/* An open as Linux asks for it. */
struct OpenIntent {
    bool read = false;
    bool write = false;
    bool append = false;     /* every write goes to the end of the file */
    bool directory = false;  /* the node must be a directory (opendir, mkdir) */
    bool execute = false;
};

/* How a create treats an existing name. */
enum class CreateMode { Exclusive, OpenIf };

struct DirectoryEntry {
    std::u16string name;
    uint64_t id = 0;
    bool directory = false;
    bool symlink = false;
};

/* A change the volume reported under a watched directory. */
struct ChangeRecord {
    enum Kind { Added, Removed, Modified, RenamedOld, RenamedNew } kind = Modified;
    std::u16string path; /* relative to the watched directory: "a\\b" */
};

struct VolumeSize {
    uint64_t clusterBytes = 0;
    uint64_t totalClusters = 0;
    uint64_t freeClusters = 0;
    uint64_t callerFreeClusters = 0;
};


/* The byte ranges that hold data, from an offset to the end of the file. */
struct DataRange {
    uint64_t offset = 0;
    uint64_t length = 0;
};

class VolumeCalls {
public:
    /* For the volume on letter (its root is \??\<letter>:\), in the current process.
     * dataBytes: room for one read or write of that many bytes. */
    VolumeCalls(char16_t letter, void *process, size_t dataBytes = 0);
    ~VolumeCalls();
    VolumeCalls(const VolumeCalls &) = delete;
    VolumeCalls &operator=(const VolumeCalls &) = delete;

    /* Whether the call frame could be had in the process's user space. */
    bool Ready() const { return frame_ != nullptr; }
    /* The data area: reads land here; writes may be staged here. */
    uint8_t *Data() const { return data_; }
    size_t DataBytes() const { return dataBytes_; }

    /* ---- Nodes (volume_calls.cpp) ---- */
    Status Lookup(uint64_t parent, const std::u16string &name, NodeAttributes *attributes);
    Status Stat(uint64_t id, NodeAttributes *attributes);
    Status StatHandle(Handle handle, NodeAttributes *attributes);
    /* A long-lived open of a node (FUSE open/opendir): asynchronous, for positioned I/O;
     * directories synchronous (their listing state lives in the handle). */
    Status Open(uint64_t id, const OpenIntent &intent, Handle *handle);
    /* Create a file (directory=false) or directory under parent; handle may be null (closed at once). */
    Status Create(uint64_t parent, const std::u16string &name, const PosixOwnership &ownership, bool directory,
                  CreateMode mode, const OpenIntent &intent, Handle *handle, NodeAttributes *attributes);
    Status Close(Handle handle);
    Status SetOwnership(uint64_t id, Handle handle, const PosixOwnership &ownership, bool setMode, bool setOwner,
                        bool setGroup);
    Status QueryVolumeSize(VolumeSize *size);

    /* ---- Names (volume_names.cpp) ---- */
    Status Unlink(uint64_t parent, const std::u16string &name, bool directory);
    Status Rename(uint64_t parent, const std::u16string &name, uint64_t newParent, const std::u16string &newName,
                  bool noReplace);
    Status Link(uint64_t id, uint64_t newParent, const std::u16string &newName, NodeAttributes *attributes);
    Status Symlink(uint64_t parent, const std::u16string &name, const LinkTarget &target,
                   const PosixOwnership &ownership, NodeAttributes *attributes);
    Status ReadLink(uint64_t id, LinkTarget *target);
    /* The next entries of a directory handle's listing ("." and ".." left out); an empty
     * batch with success is the end. */
    Status ListDirectory(Handle directory, bool restart, std::vector<DirectoryEntry> *entries);

    /* ---- Data (volume_data.cpp) ---- */
    /* Reads into Data(). */
    Status Read(Handle handle, uint64_t offset, uint32_t length, uint32_t *done);
    /* Writes bytes (copied into Data() first when they are not already there); offset
     * UINT64_MAX writes at the end of the file. */
    Status Write(Handle handle, uint64_t offset, const void *bytes, uint32_t length, uint32_t *done);
    /* Size, times (0 = leave; -1 = now), by handle when there is one, else by id. */
    Status SetSize(uint64_t id, Handle handle, uint64_t size);
    Status SetTimes(uint64_t id, Handle handle, int64_t accessTime, int64_t writeTime);
    Status Flush(Handle handle);
    Status Reserve(Handle handle, uint64_t end, bool keepSize);
    Status ZeroRange(Handle handle, uint64_t offset, uint64_t length, bool punch);
    Status AllocatedRanges(Handle handle, uint64_t offset, uint64_t end, std::vector<DataRange> *ranges);
    Status Clone(Handle source, uint64_t sourceOffset, Handle target, uint64_t targetOffset, uint64_t length);

    /* ---- Extended attributes (volume_eas.cpp); names as the volume keeps them ---- */
    Status GetEa(uint64_t id, const std::string &name, std::vector<uint8_t> *value);
    Status SetEa(uint64_t id, const std::string &name, const void *value, size_t length);
    Status ListEas(uint64_t id, std::vector<std::string> *names);

    /* ---- Change watch (volume_watch.cpp) ---- */
    /* A handle on the root for watching the whole tree. */
    Status OpenWatch(Handle *handle);
    /* Waits for the next changes (synchronous; ends early when the request is cancelled
     * through the status block below). overflowed: more changed than could be told. */
    Status WaitForChanges(Handle watch, std::vector<ChangeRecord> *changes, bool *overflowed);
    /* The status block of the wait in progress, by which it can be cancelled. */
    const void *StatusBlock() const;
    /* The identifier of the node a path from the root names. */
    Status IdOfPath(const std::u16string &path, uint64_t *id);

    struct Frame;

private:
    Status OpenByPath(const std::u16string &path, uint32_t access, uint32_t disposition, uint32_t options,
                      const std::vector<uint8_t> *descriptor, Handle related, Handle *handle, uint64_t *action);
    Status OpenNode(uint64_t id, uint32_t access, uint32_t options, Handle *handle);
    Status OpenChild(uint64_t parent, const std::u16string &name, uint32_t access, uint32_t options, Handle *handle);
    Status OpenRoot(Handle *handle);
    Status QueryInformation(Handle handle, void *record, uint32_t length, int infoClass);
    Status SetInformation(Handle handle, const void *record, uint32_t length, int infoClass);
    Status FsControl(Handle handle, uint32_t code, const void *input, uint32_t inputLength, void *output,
                     uint32_t outputLength, uint32_t *returned);
    Status Wait(Handle handle, Status status);
    Status QueryOwnership(Handle handle, NodeAttributes *attributes);
    Status VolumePath(Handle handle, std::u16string *path);
    Status WithNode(uint64_t id, Handle handle, uint32_t access, Handle *use, Handle *opened);
    Status EnsureEvent();
    Status PathOfNode(uint64_t id, std::u16string *path);
    Status LinkOfHandle(Handle handle, LinkTarget *target);
    Status ListBatch(Handle directory, bool restart, std::vector<DirectoryEntry> *entries);

    char16_t letter_;
    void *process_;
    Frame *frame_ = nullptr;
    uint8_t *data_ = nullptr;
    size_t dataBytes_ = 0;
    Handle event_ = 0;
    Handle root_ = 0; /* the root, opened once per request for opens by identifier */
    void *cached_ = nullptr; /* the thread's kept frame this request uses, if it does */
};

/* Windows file times and Linux seconds and nanoseconds. */
int64_t FileTimeOfUnix(int64_t seconds, long nanoseconds);
void UnixOfFileTime(int64_t fileTime, int64_t *seconds, long *nanoseconds);

} // namespace fusebridge
