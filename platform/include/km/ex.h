/*
 * Executive synchronisation: resources, fast mutexes and rundown protection.
 */
#pragma once

#include <ntdef.h>
#include <km/ke.h>

typedef ULONG_PTR ERESOURCE_THREAD, *PERESOURCE_THREAD;

typedef struct _OWNER_ENTRY {
    ERESOURCE_THREAD OwnerThread;
    ULONG TableSize;
} OWNER_ENTRY, *POWNER_ENTRY;

/*
 * An executive resource. The stand-in keeps the exclusive owner in OwnerEntry and
 * the shared owners in a table of its own (OwnerTable); waiters park on wait
 * blocks listed from SharedWaiters and ExclusiveWaiters.
 */
typedef struct _ERESOURCE {
    LIST_ENTRY SystemResourcesList;
    POWNER_ENTRY OwnerTable;
    SHORT ActiveCount;
    USHORT Flag;
    PVOID SharedWaiters;
    PVOID ExclusiveWaiters;
    OWNER_ENTRY OwnerEntry;
    ULONG ActiveEntries;
    ULONG ContentionCount;
    ULONG NumberOfSharedWaiters;
    ULONG NumberOfExclusiveWaiters;
    PVOID Reserved2;
    union {
        PVOID Address;
        ULONG_PTR CreatorBackTraceIndex;
    };
    KSPIN_LOCK SpinLock;
} ERESOURCE, *PERESOURCE;

#define ResourceOwnedExclusive 0x0080

typedef struct _FAST_MUTEX {
    volatile LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX, KGUARDED_MUTEX, *PKGUARDED_MUTEX;

#define FM_LOCK_BIT 0x1

/* Rundown protection: the count of references times 2, bit 0 set once a wait began. */
typedef struct _EX_RUNDOWN_REF {
    union {
        volatile ULONG_PTR Count;
        volatile PVOID Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;

typedef struct _EX_RUNDOWN_REF_CACHE_AWARE *PEX_RUNDOWN_REF_CACHE_AWARE;

/*
 * System worker threads: a bounded pool of threads per queue runs queued work items.
 * Critical, HyperCritical, SuperCritical and RealTime items (and custom priorities of 13
 * and above) run on the real-time pool, the others on the delayed pool; each item runs
 * at its type's documented priority.
 */
typedef enum _WORK_QUEUE_TYPE {
    CriticalWorkQueue,
    DelayedWorkQueue,
    HyperCriticalWorkQueue,
    NormalWorkQueue,
    BackgroundWorkQueue,
    RealTimeWorkQueue,
    SuperCriticalWorkQueue,
    MaximumWorkQueue,
    CustomPriorityWorkQueue = 32
} WORK_QUEUE_TYPE;

typedef VOID WORKER_THREAD_ROUTINE(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE *PWORKER_THREAD_ROUTINE;

/* List.Flink is null while the item is not queued: queueing it again before a worker has
 * taken it off its queue stops the machine. */
typedef struct _WORK_QUEUE_ITEM {
    LIST_ENTRY List;
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    __volatile PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;

FORCEINLINE VOID ExInitializeWorkItem(PWORK_QUEUE_ITEM Item, PWORKER_THREAD_ROUTINE Routine, PVOID Context)
{
    Item->WorkerRoutine = Routine;
    Item->Parameter = Context;
    Item->List.Flink = NULL;
}

EXTERN_C_START

NTKERNELAPI NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Resource);
NTKERNELAPI NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Resource);
NTKERNELAPI NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Resource);
NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN NTAPI ExAcquireSharedStarveExclusive(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI BOOLEAN NTAPI ExAcquireSharedWaitForExclusive(PERESOURCE Resource, BOOLEAN Wait);
NTKERNELAPI VOID FASTCALL ExReleaseResourceLite(PERESOURCE Resource);
NTKERNELAPI VOID NTAPI ExReleaseResourceForThreadLite(PERESOURCE Resource, ERESOURCE_THREAD ResourceThreadId);
NTKERNELAPI VOID NTAPI ExSetResourceOwnerPointer(PERESOURCE Resource, PVOID OwnerPointer);
NTKERNELAPI VOID NTAPI ExSetResourceOwnerPointerEx(PERESOURCE Resource, PVOID OwnerPointer, ULONG Flags);
NTKERNELAPI VOID NTAPI ExConvertExclusiveToSharedLite(PERESOURCE Resource);
NTKERNELAPI BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Resource);
NTKERNELAPI ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Resource);
NTKERNELAPI ULONG NTAPI ExGetExclusiveWaiterCount(PERESOURCE Resource);
NTKERNELAPI ULONG NTAPI ExGetSharedWaiterCount(PERESOURCE Resource);
NTKERNELAPI ERESOURCE_THREAD NTAPI ExGetCurrentResourceThread(VOID);

#define ExIsResourceAcquiredLite ExIsResourceAcquiredSharedLite
#define ExReleaseResource(R) ExReleaseResourceLite(R)

NTKERNELAPI VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);

NTKERNELAPI VOID NTAPI ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI BOOLEAN NTAPI ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExRundownCompleted(PEX_RUNDOWN_REF RunRef);

NTKERNELAPI SIZE_T NTAPI ExSizeOfRundownProtectionCacheAware(VOID);
NTKERNELAPI VOID NTAPI ExInitializeRundownProtectionCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRefCacheAware,
                                                               SIZE_T RunRefSize);
NTKERNELAPI VOID NTAPI ExReInitializeRundownProtectionCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRefCacheAware);
NTKERNELAPI BOOLEAN NTAPI ExAcquireRundownProtectionCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRefCacheAware);
NTKERNELAPI VOID NTAPI ExReleaseRundownProtectionCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRefCacheAware);
NTKERNELAPI VOID NTAPI ExWaitForRundownProtectionReleaseCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRef);
NTKERNELAPI VOID NTAPI ExRundownCompletedCacheAware(PEX_RUNDOWN_REF_CACHE_AWARE RunRefCacheAware);

/* Event objects reachable by handle. */
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)

NTSYSCALLAPI NTSTATUS NTAPI NtCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                          BOOLEAN InitialState);
NTSYSCALLAPI NTSTATUS NTAPI NtSetEvent(HANDLE EventHandle, PLONG PreviousState);
NTSYSCALLAPI NTSTATUS NTAPI NtClearEvent(HANDLE EventHandle);
NTSYSCALLAPI NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSYSAPI NTSTATUS NTAPI ZwCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                      BOOLEAN InitialState);
NTSYSAPI NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);

NTKERNELAPI VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

/* Raising a status: the stand-in's exception dispatch (see ExRaiseStatus users). */
NTKERNELAPI DECLSPEC_NORETURN VOID NTAPI ExRaiseStatus(NTSTATUS Status);

EXTERN_C_END

#if !defined(_WIN32) && defined(__cplusplus)
/*
 * Guarded calls on the stand-in, where the compiler has no __try. A guarded call
 * pushes a frame and marks the spot with __builtin_setjmp; ExRaiseStatus inside
 * the call jumps back there with its status instead of stopping the machine, as
 * Windows dispatches the raise to the __except handler. The body is one call that
 * changes no local of its caller. These routines have C++ linkage: they belong to
 * the stand-in, not to the import list of a Windows build.
 */
typedef struct _STANDIN_GUARD_FRAME {
    PVOID JumpBuffer[5];                        /* __builtin_setjmp's buffer */
    struct _STANDIN_GUARD_FRAME *Previous;
    NTSTATUS Raised;                            /* the raised status, once jumped back */
} STANDIN_GUARD_FRAME, *PSTANDIN_GUARD_FRAME;

NTKERNELAPI VOID StandInPushGuardFrame(PSTANDIN_GUARD_FRAME Frame);
NTKERNELAPI VOID StandInPopGuardFrame(PSTANDIN_GUARD_FRAME Frame);

#define STANDIN_GUARDED_CALL(GuardStatus, GuardCall)                                                       \
    do {                                                                                                     \
        STANDIN_GUARD_FRAME standInFrame_;                                                                   \
        StandInPushGuardFrame(&standInFrame_);                                                               \
        if (__builtin_setjmp(standInFrame_.JumpBuffer) == 0) {                                               \
            GuardCall;                                                                                       \
        } else {                                                                                             \
            (GuardStatus) = standInFrame_.Raised;                                                            \
        }                                                                                                    \
        StandInPopGuardFrame(&standInFrame_);                                                                \
    } while (0)
#endif

#if defined(__cplusplus)
static_assert(sizeof(ERESOURCE) == 104, "ERESOURCE");
static_assert(sizeof(FAST_MUTEX) == 56, "FAST_MUTEX");
static_assert(sizeof(EX_RUNDOWN_REF) == 8, "EX_RUNDOWN_REF");
static_assert(sizeof(WORK_QUEUE_ITEM) == 32, "WORK_QUEUE_ITEM");
#endif
