/*
 * A small file system for the I/O manager's tests, driven the way Vorel is:
 *
 *   - a disk driver ("tfsdisk") with the disk device \Device\TestDisk0 (a VPB, as
 *     disk devices have) and the drive link \??\T:;
 *   - a file-system driver ("tfs") whose control device registers with
 *     IoRegisterFileSystem and mounts a volume device on the disk when the I/O
 *     manager offers it the volume.
 *
 * The volume holds a table of files and directories by full name. Creates, reads,
 * writes, information queries, cleanup and close are answered from the table; every
 * request the file system sees is recorded with a copy of its stack location, so
 * tests can compare what the I/O manager built with what Windows builds. A hook per
 * major function can take a request over.
 */
#pragma once

#include "machine_test.h"
#include "user_process.h"

#include <ntifs.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testfs {

/* A request as the file system saw it when it arrived. */
struct Seen {
    UCHAR major = 0;
    UCHAR minor = 0;
    IO_STACK_LOCATION stack{};
    ULONG irpFlags = 0;
    KPROCESSOR_MODE requestorMode = KernelMode;
    PVOID userBuffer = nullptr;
    PVOID systemBuffer = nullptr;
    bool hasMdl = false;
    PIO_STATUS_BLOCK userIosb = nullptr;
    PKEVENT userEvent = nullptr;
    PFILE_OBJECT file = nullptr;
    std::u16string fileName;           /* the file object's name at the time */
    ACCESS_MASK remainingAccess = 0;   /* a create's access state */
    ACCESS_MASK previouslyGranted = 0;
    ULONG accessStateFlags = 0;
    bool hasSecurityDescriptor = false;
    PFILE_OBJECT related = nullptr;
    ULONG eaLength = 0;
    std::u16string targetName;         /* a rename's target file object, when given */
};

/* What a reparse point sends an open to. */
struct Reparse {
    ULONG tag = 0;                     /* IO_REPARSE_TAG_MOUNT_POINT / _SYMLINK / another */
    std::u16string substitute;
    bool relative = false;
};

/*
 * A file's control block, made at its first open: the common header the memory
 * manager reads (sizes, resources) and the section object pointers its sections
 * hang on. Shared by every open of the file (FsContext; the open's own record is
 * FsContext2).
 */
struct Fcb {
    FSRTL_COMMON_FCB_HEADER header{};
    ERESOURCE resource;
    ERESOURCE pagingResource;
    SECTION_OBJECT_POINTERS sections{};
    ~Fcb();
};

struct Node {
    bool directory = false;
    std::string data;
    ULONG attributes = FILE_ATTRIBUTE_NORMAL;
    SHARE_ACCESS share{};
    Reparse reparse;                   /* tag 0: none */
    std::u16string redirect;           /* non-empty: an open is sent to this full name (IO_REPARSE) */
    std::shared_ptr<Fcb> fcb;          /* made at the first open of a file */
};

using Hook = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
/* A hook's answer that lets the file system handle the request itself. */
constexpr NTSTATUS kNotHandled = (NTSTATUS)0x7EADBEEF;

struct Fs {
    std::mutex lock;
    std::map<std::u16string, Node> nodes;  /* by upper-cased full name ("\" is the root) */
    std::vector<Seen> seen;
    Hook hooks[IRP_MJ_MAXIMUM_FUNCTION + 1];
    PDEVICE_OBJECT disk = nullptr;         /* \Device\TestDisk0 */
    PDEVICE_OBJECT control = nullptr;      /* the file system's control device */
    PDEVICE_OBJECT volume = nullptr;       /* the volume device mounted last */
    std::vector<PDEVICE_OBJECT> volumes;   /* every volume device it mounted */
    PDRIVER_OBJECT fsDriver = nullptr;
    bool refuseMounts = false;
    std::function<void()> duringMount;     /* runs inside each mount request */
    ULONG volumeFlags = 0;                 /* DO_BUFFERED_IO / DO_DIRECT_IO for the volume device */
    FAST_IO_DISPATCH fastIo{};             /* entries a test turns on; the driver points at it */
    std::atomic<int> mounts{0}, creates{0}, cleanups{0}, closes{0};

    /* Requests of one major function seen so far (copies). */
    std::vector<Seen> Of(UCHAR major);
    Seen Last(UCHAR major);
    void Add(const std::u16string &name, const std::string &data, bool directory = false);
    Node *Find(const std::u16string &name);
};

Fs &TheFs();
/* Forgets everything a previous test set or saw (the root directory stays). */
void Reset();

/* Loads the disk driver and the file system; unloads the file system, then the disk. */
NTSTATUS Load();
void Unload();

/* Completes a request (a helper for hooks). */
NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

/* Upper-cases a name the way the file system keys its table. */
std::u16string Key(const std::u16string &name);

} // namespace testfs
