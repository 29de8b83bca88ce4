/*
 * The machine: the one object that owns every piece of the stand-in kernel's
 * state in a process. Tests and the host boot it, drive it, and shut it down;
 * shutdown audits that everything the drivers made is gone.
 *
 * Linux-world interface (C++), exported by libntoskrnl next to the Windows routines.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#define MACHINE_API __attribute__((visibility("default")))

namespace machine {

/*
 * The machine's one clock: system time, interrupt time, timers and every timed wait.
 *   Real         time flows with the host's monotonic clock;
 *   Manual       time moves only when a test calls AdvanceClock;
 *   AutoAdvance  as Manual, and whenever every attached thread is blocked in the
 *                dispatcher the clock jumps to the next deadline.
 */
enum class ClockMode { Real, Manual, AutoAdvance };

/* One processor core of the described topology. */
struct CoreDescription {
    uint8_t efficiencyClass = 0;   /* higher = faster */
    uint8_t logicalProcessors = 1; /* 2 = simultaneous multithreading */
    uint16_t group = 0;
};

struct Config {
    ClockMode clock = ClockMode::Real;
    /* System time at boot, 100 ns units since 1601; 0 = the host's current time. */
    uint64_t bootSystemTime = 0;
    /* Processor cores; empty = four uniform cores in group 0. */
    std::vector<CoreDescription> cores;
    /* The verifier's lock-order and I/O checks. */
    bool verifier = true;
    /* Persistent state (the registry hive); empty = kept in memory only, gone at shutdown. */
    std::string stateDirectory;
    /* Runtime state (volatile registry keys); empty = kept in memory only. */
    std::string runtimeDirectory;
    /* How long after a change the registry writes the changed hives on its own (changes
     * in between go in the same write); 0 = only ZwFlushKey, FlushRegistry and shutdown
     * write them. */
    uint32_t registryLazyWriteMilliseconds = 1000;
    /* Fixed figure reported as available physical pages; 0 = the host's real figure. */
    uint64_t availablePages = 4u * 1024 * 1024;
    /* Physical pages the machine describes (SystemBasicInformation). */
    uint64_t physicalPages = 8u * 1024 * 1024;
    /* System worker threads started at boot: the real-time pool (critical queues) and the
     * delayed pool (delayed, normal and background queues). At least 1 each. */
    uint32_t criticalWorkerThreads = 5;
    uint32_t delayedWorkerThreads = 3;
};

struct MACHINE_API AuditReport {
    std::vector<std::string> findings;
    bool Clean() const { return findings.empty(); }
    std::string Text() const;
};

/* Boots the machine in this process. A process holds at most one machine at a time. */
MACHINE_API void Boot(const Config &config = Config());
/* Audits, then tears every component down. The machine may be booted again afterwards. */
MACHINE_API AuditReport Shutdown();
/* The audit alone: what is left that a clean machine would not hold. */
MACHINE_API AuditReport Audit();
MACHINE_API bool IsBooted();
MACHINE_API const Config &CurrentConfig();

/*
 * Components register themselves (from their own translation unit) with an order:
 * lower orders boot first and shut down last.
 */
struct Component {
    const char *name;
    int order;
    std::function<void()> boot;
    std::function<void(AuditReport &)> audit;
    std::function<void()> shutdown;
};
MACHINE_API void RegisterComponent(const Component &component);

/* Component orders. */
enum : int {
    kOrderHalt = 0,
    kOrderPool = 10,
    kOrderFaults = 15,
    kOrderClock = 20,
    kOrderDispatcher = 30,
    kOrderExecutive = 40,
    kOrderObjects = 50,
    kOrderRegistry = 60,
    kOrderWorkers = 65, /* system worker threads: up before the I/O manager, down after every driver */
    kOrderIo = 70,
    kOrderMountManager = 80, /* the stand-in's mount manager: up before drivers load, down after they unload */
    kOrderDrivers = 90,
};

/* ---- Boot failures and the registry's files -----------------------------------------------
 * TryBoot boots as Boot does, but a component that cannot boot (FailBoot) ends it: the
 * components booted before it are shut down, last booted first, no audit runs, the machine
 * is left not booted, and TryBoot returns false with the reason in *error (when given).
 * Boot prints the reason and aborts the process instead. The registry fails a boot when its
 * state directory cannot be made or is locked by another machine or tool, or a hive is not
 * a regular file or cannot be read.
 *
 * FailBoot is for a component's boot routine: the component first undoes what it did (its
 * shutdown routine is not called), then reports why and returns. The first reason wins.
 *
 * FlushRegistry writes every changed hive now; false, with a line on standard error naming
 * the file and the system's reason, when a write failed (the hive stays changed, so a later
 * flush or the shutdown tries again). RegistryWrittenAtShutdown says whether the last
 * Shutdown wrote every changed hive (true after a boot until a shutdown fails to), so a host
 * learns of a failed final write whatever the audit found. */
MACHINE_API bool TryBoot(const Config &config, std::string *error);
MACHINE_API void FailBoot(const std::string &reason);
MACHINE_API bool FlushRegistry();
MACHINE_API bool RegistryWrittenAtShutdown();

/* ---- Clock ------------------------------------------------------------------------------ */
MACHINE_API void SetClockMode(ClockMode mode);
MACHINE_API ClockMode GetClockMode();
/* Moves the clock forward (Manual and AutoAdvance modes), firing every timer that falls due;
 * DPCs of those timers have run when it returns. */
MACHINE_API void AdvanceClock(uint64_t hundredNanoseconds);
/* Interrupt time now, 100 ns units since boot. */
MACHINE_API uint64_t InterruptTimeNow();

/* ---- Threads ----------------------------------------------------------------------------- */
/* Threads that serve the machine only part of the time (socket and FUSE servers) detach while
 * idle, so that auto-advance does not wait for them; a scope attaches for one native call. */
MACHINE_API void DetachCurrentThread();
MACHINE_API void AttachCurrentThread();
/* System threads created by drivers that are still running. */
MACHINE_API uint32_t LiveSystemThreads();
/* Threads waiting on a dispatcher object (event, mutex, timer, queue, thread, ...). */
MACHINE_API uint32_t WaitersOn(const void *dispatcherObject);
/* Attached threads of the machine, and how many of them are blocked in the dispatcher.
 * Idle system worker threads are left out of both. */
MACHINE_API uint32_t AttachedThreads();
MACHINE_API uint32_t BlockedThreads();

/* ---- System worker threads ----------------------------------------------------------------
 * The machine starts its system worker threads at boot (Config) and ends them at shutdown;
 * they run ExQueueWorkItem and IoQueueWorkItem items and the machine's own deferred work
 * (deferred object deletion, ...). They are no driver's threads: LiveSystemThreads and the
 * audit leave them out, and idle they wait in the dispatcher, so auto-advance moves on.
 *
 * DrainSystemWork waits, in the dispatcher, until no work item is queued or running (work
 * the running items queue included). It gives up and returns false after hostMilliseconds
 * of host time or, in AutoAdvance mode (where its wait lets the clock jump), once the clock
 * has moved a week; and at once when called from a system worker thread. The audit calls it
 * first, then reports queued work that never ran and work still running. PASSIVE_LEVEL or
 * APC_LEVEL. */
MACHINE_API bool DrainSystemWork(uint32_t hostMilliseconds = 5000);

/* ---- Processes ------------------------------------------------------------------------------
 * Tests act as Windows programs from user processes: each has a Linux identity (mapped to a
 * token), its own handle table and a user address space (an arena) where user-mode requests
 * must keep their buffers. */
struct ProcessIdentity {
    std::string name = "program";
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<uint32_t> groups;
    /* A process whose program runs outside the machine (a socket client) shares its user
     * space with it: the machine maps it at exactly this address, where the client maps the
     * same pages. The range must lie in the user-space window (below) and overlap no other
     * process's user space there, or the process is not created. Null: the machine places it. */
    void *userSpaceAddress = nullptr;
    /* Size of the user space; 0 = the machine's default. */
    size_t userSpaceBytes = 0;
    /* Privileges (SE_*_PRIVILEGE values) the process enables at its start, as a program
     * enables the ones its token holds (one the token does not hold stays absent). */
    std::vector<uint32_t> enabledPrivileges;
};
/* A new process (a referenced PEPROCESS). */
MACHINE_API void *CreateProcess(const ProcessIdentity &identity);
/* Process exit: cancels its pending requests, closes its handles, signals the process object. */
MACHINE_API void TerminateProcess(void *process);
/* Drops the reference CreateProcess returned (terminating the process first if needed). */
MACHINE_API void ReleaseProcess(void *process);
/* The calling thread acts for the process in user mode (previous mode UserMode) until LeaveProcess. */
MACHINE_API void EnterProcess(void *process);
MACHINE_API void LeaveProcess();
/* Memory in a process's user address space; null when the arena is full. */
MACHINE_API void *UserAlloc(void *process, size_t bytes);
MACHINE_API void UserFree(void *process, void *address);
/* Handles open in a process's table. */
MACHINE_API size_t ProcessHandleCount(void *process);
/* A process's id (its PsGetProcessId). */
MACHINE_API uint32_t ProcessId(void *process);
/* A process's user space: where it lives and the memory descriptor behind it. */
struct UserSpace {
    void *base = nullptr;
    size_t bytes = 0;
    int descriptor = -1;
};
MACHINE_API UserSpace ProcessUserSpace(void *process);
/* Cancels the process's outstanding requests: every one, or only the one whose status
 * block is at userIosb. Returns how many were still outstanding and got IoCancelIrp;
 * does not wait for them to finish. */
MACHINE_API size_t CancelProcessRequests(void *process, const void *userIosb = nullptr);
/* The process's threads are being terminated: every user-mode wait made in it ends
 * with STATUS_USER_APC, now and from now on, as a terminating thread's
 * waits end on Windows. Kernel-mode waits are left to finish. TerminateProcess
 * does this first. */
MACHINE_API void EndProcessWaits(void *process);

/* ---- User-space window (socket clients) ------------------------------------------------
 * The user spaces of processes whose programs run outside the machine live only inside one
 * address range of this process, reserved once (inaccessible, backed by nothing), so that a
 * client's proposed address meets nothing of the host's own. The window outlives the
 * machine: it is the Linux process's, and never released. */
struct UserSpaceWindow {
    void *base = nullptr;
    size_t bytes = 0;
};
/* Reserves the window (bytes rounded up to alignment, a power of two; the base aligned to
 * it) where the kernel chooses, on the first call; every later call returns that window
 * whatever it asks. A window of 0 bytes: the reservation failed. */
MACHINE_API UserSpaceWindow ReserveUserSpaceWindow(size_t bytes, size_t alignment);
/* Whether [address, address + bytes) overlaps a user space now placed in the window
 * (or one being placed or given back). */
MACHINE_API bool UserSpaceInUse(const void *address, size_t bytes);

/* ---- System events ---------------------------------------------------------------------- */
/* A system shutdown: IRP_MJ_SHUTDOWN to every device registered for it, last registered first. */
MACHINE_API void SystemShutdown();
/* A device interface arrived: calls every device-interface notification registered for the class. */
MACHINE_API void DeviceInterfaceArrived(const void *interfaceClassGuid, const std::u16string &symbolicLink);
/* Volume events file systems reported (FsRtlNotifyVolumeEvent), oldest first: the real
 * device of the file object's volume and the FSRTL_VOLUME_* code. Cleared at boot. */
struct VolumeEvent {
    const void *device = nullptr; /* a PDEVICE_OBJECT */
    uint32_t code = 0;
};
MACHINE_API std::vector<VolumeEvent> VolumeEvents();
MACHINE_API void ClearVolumeEvents();
/*
 * The host's watcher of volume events, as a program registered for a volume's device
 * events is told on Windows: called after each event is recorded, with the name of the
 * volume's real device ("\Device\Volume{...}") and the code, on the reporting thread
 * with no lock of the machine held. A watcher told of FSRTL_VOLUME_LOCK closes its
 * handles on the volume (without waiting for the driver: the driver is inside its
 * dismount) and may open them again at FSRTL_VOLUME_LOCK_FAILED. One observer at a
 * time; an empty function removes it.
 */
using VolumeEventObserver = std::function<void(std::u16string deviceName, uint32_t code)>;
MACHINE_API void SetVolumeEventObserver(VolumeEventObserver observer);
/* MmGetSystemRoutineAddress answers null for a hidden routine. */
MACHINE_API void HideSystemRoutine(const std::string &name, bool hidden = true);

/* ---- Fault injection ---------------------------------------------------------------
 * A site is a routine name ("ExAllocatePoolWithTag", "ZwCreateKey", ...). Arming a site
 * makes its nth call from now fail (and, with repeat, every later call too). */
MACHINE_API void ArmFault(const std::string &site, uint64_t nth, bool repeat = false);
/* The pool site with a tag filter: only allocations with this tag count. */
MACHINE_API void ArmPoolFault(uint64_t nth, uint32_t tag, bool repeat = false);
MACHINE_API void DisarmFaults();
/* How many failures were injected since the site was last armed. */
MACHINE_API uint64_t FaultsInjected(const std::string &site);
/* Called by stand-in routines: true when this call must fail. */
MACHINE_API bool ShouldFail(const char *site, uint32_t tag = 0);
/* Calls made by this thread (a PKTHREAD) neither count nor fail at any armed site, for the
 * life of the thread: a driver's background threads, whose calls come at times a count of
 * a request's calls cannot foresee. */
MACHINE_API void ExemptFromFaults(const void *thread);


/* ---- Host-file faults ----------------------------------------------------------------
 * The host file system's writes (size changes and zeroing count as writes) and flushes are
 * counted from the arming, 1 first. At the armed position:
 *   FailDiskFull / FailDeviceError  that operation fails (STATUS_DISK_FULL /
 *                                   STATUS_IO_DEVICE_ERROR) and changes nothing;
 *   Tear                            a write puts only its first tornBytes (fewer than all)
 *                                   into the file and fails; a size change, zeroing or
 *                                   flush fails whole;
 *   Die                             that and every later write and flush fail and change
 *                                   nothing ("the process died");
 *   PowerLoss                       as Die, and every change of each file since that file's
 *                                   last flush (while armed) is undone first;
 *   PowerLossOutOfOrder             as PowerLoss, but the most recent of those changes stays:
 *                                   a disk may write what it was given in any order.
 * LoseHostPower does what PowerLoss does, now. Disarming keeps the files as they are. */
enum class HostFileFault { FailDiskFull, FailDeviceError, Tear, Die, PowerLoss, PowerLossOutOfOrder };
MACHINE_API void ArmHostFileFault(HostFileFault kind, uint64_t position, uint64_t tornBytes = 0);
MACHINE_API void DisarmHostFileFaults();
/* Writes and flushes counted since the arming. */
MACHINE_API uint64_t HostFileOperations();
MACHINE_API void LoseHostPower();
/* The sector size a machine drive (C:, VOREL_HOST_DRIVES) enforces on unbuffered I/O and
 * reports (512 unless set; 0 reports 0 and enforces 512). False when no such drive or the
 * size is not 0 or a power of two up to 32768. */
MACHINE_API bool SetHostDriveSectorSize(char16_t letter, uint32_t bytes);

/* ---- Pool ----------------------------------------------------------------------------- */
struct PoolTagStats {
    uint32_t tag = 0;
    uint64_t liveBlocks = 0;
    uint64_t liveBytes = 0;
    uint64_t allocations = 0;
    uint64_t frees = 0;
};
MACHINE_API std::string TagText(uint32_t tag);
MACHINE_API uint32_t TagFromText(const char *text);
MACHINE_API std::vector<PoolTagStats> PoolSnapshot();
MACHINE_API PoolTagStats PoolTag(uint32_t tag);
/* Live blocks and bytes of every tag together. */
MACHINE_API PoolTagStats PoolTotals();
/* Byte the pool fills fresh allocations with, so that a missed initialisation shows. */
constexpr unsigned char kPoolPoisonByte = 0xE5;

/* A check run on every free: may stop the machine when the block holds a live object. */
using PoolFreeCheck = std::function<void(const void *block, size_t size)>;
MACHINE_API void AddPoolFreeCheck(const std::string &name, PoolFreeCheck check);

/* ---- Memory manager ---------------------------------------------------------------------
 * Page lists (MmAllocatePagesForMdl and its Ex and node forms) are resident, pre-faulted runs
 * of host memory aligned to 2 MiB, each with an inaccessible guard page behind it. A run is
 * addressable only while its list is mapped; freed runs are recycled. In the checking builds
 * (kPagesPoisoned) every page that was not asked to be zeroed comes back filled with
 * kPagePoisonByte, so a missed zeroing shows; in the plain build it holds whatever it held. */
constexpr unsigned char kPagePoisonByte = 0xD9;
#if defined(VOREL_POISON_PAGES)
constexpr bool kPagesPoisoned = true;
#else
constexpr bool kPagesPoisoned = false;
#endif
/* Pages and page lists handed out and not yet freed (MmFreePagesFromMdl). */
MACHINE_API uint64_t PagesInUse();
MACHINE_API uint64_t PageListsInUse();
/* Bytes of freed runs kept for reuse, and their bound (1 GiB from each boot): lowering it gives
 * the oldest runs back to the host at once; 0 keeps none. The host being out of memory for a
 * new run gives every kept run back before the run is tried again. */
MACHINE_API uint64_t RetainedPageBytes();
MACHINE_API void SetRetainedPageLimit(uint64_t bytes);
/* The AvailablePages figure SystemPerformanceInformation reports from now on
 * (0 = the host's real figure). Boot sets it from Config::availablePages. */
MACHINE_API void SetAvailablePages(uint64_t pages);
/* Page allocation faults, until ClearPageAllocationFaults (or the next boot):
 *   FailPageAllocations          every request returns null;
 *   FailPageAllocationsAfter(n)  n more pages are granted in all; a request that crosses the
 *                                limit gets what is left (a short list), later ones get null;
 *   ShortenPageLists(n)          every list describes at most n pages.
 * A request with MM_ALLOCATE_FULLY_REQUIRED that cannot be met in full returns null. The named
 * sites ("MmAllocateNodePagesForMdlEx", ...) also work with ArmFault. */
MACHINE_API void FailPageAllocations();
MACHINE_API void FailPageAllocationsAfter(uint64_t pages);
MACHINE_API void ShortenPageLists(uint64_t pagesPerList);
MACHINE_API void ClearPageAllocationFaults();

/* ---- Halts ------------------------------------------------------------------------------
 * KeBugCheckEx and fast-fail write one line to standard error (and, when VOREL_HALT_FD is
 * set, a binary HaltRecord to that descriptor), then abort the process. */
struct HaltRecord {
    char magic[8]; /* "VRLHALT\0" */
    uint32_t kind; /* 1 = bug check, 2 = fast-fail */
    uint32_t code;
    uint64_t parameters[4];
    uint32_t frameCount;
    uint32_t reserved;
    uint64_t frames[32];
};
constexpr uint32_t kHaltBugCheck = 1;
constexpr uint32_t kHaltFastFail = 2;
/* The line a halt prints, for death-test matchers. */
MACHINE_API std::string HaltLine(uint32_t kind, uint32_t code, const uint64_t parameters[4]);

/* ---- Drivers ----------------------------------------------------------------------------- */
/* Loads a driver module and calls its entry routine with the service's registry path.
 * Returns the entry routine's status (or the loader's); on failure nothing stays loaded. */
MACHINE_API int32_t LoadDriver(const std::string &imagePath, const std::string &serviceName);
/* Loads a driver whose entry routine is linked into the calling program (a test's own driver):
 * everything as LoadDriver but the module. entry is a PDRIVER_INITIALIZE. */
MACHINE_API int32_t LoadBuiltInDriver(void *entry, const std::string &serviceName);
/* Calls the driver's unload routine and unloads the module. */
MACHINE_API int32_t UnloadDriver(const std::string &serviceName);
MACHINE_API bool IsDriverLoaded(const std::string &serviceName);
/* The address of an exported symbol of a loaded driver module, or null. */
MACHINE_API void *DriverSymbol(const std::string &serviceName, const char *symbol);
/* The driver object handed to the driver's entry routine (a PDRIVER_OBJECT), or null. */
MACHINE_API void *DriverObject(const std::string &serviceName);

} // namespace machine
